'use strict';
// Target appliances for the end-to-end tests: real HTTP servers the query
// daemon connects to.  node_zel_req blocks the thread that calls it, so they
// run in a Worker and post each request back as the exact bytes that arrived.
// They answer /body/N?seed=S with makeBody(N, S) and any other path with 404.
const { Worker, isMainThread, parentPort } = require('worker_threads');
const { once } = require('events');
const http = require('http');
const zlib = require('zlib');

// Deterministic body: readable text with a little noise, so gzip has
// something to compress and every offset is distinguishable.
function makeBody(size, seed = 1) {
  const buf = Buffer.alloc(size);
  for (let i = 0, x = (seed * 2654435761) >>> 0 || 1; i < size; i++) {
    x = (x ^ (x << 13)) >>> 0; x ^= x >>> 17; x = (x ^ (x << 5)) >>> 0;
    buf[i] = i % 64 === 63 ? 0x0a : 0x61 + (x % 8 ? (i >>> 6) % 26 : (x >>> 8) % 26);
  }
  return buf;
}

// Uneven chunk sizes, crossing the 4096-byte piece size and the datagram size on both sides.
function chunksOf(buf, sizes = [1, 7, 4095, 3, 4097, 13, 10000, 2, 65536, 511, 8191, 1]) {
  const out = [];
  for (let off = 0, i = 0; off < buf.length; off += sizes[i++ % sizes.length]) {
    out.push(buf.subarray(off, off + sizes[i % sizes.length]));
  }
  return out;
}

// Each server's reply to `body`: [header fields, pieces written, delay before each piece in ms].
const SERVERS = {
  plain: (body) => [{ 'Content-Length': body.length }, [body]],
  chunked: (body) => [{ 'Transfer-Encoding': 'chunked' }, chunksOf(body)],
  gzip: (body, url) => {
    const gz = zlib.gzipSync(body);
    return url.searchParams.has('chunked')
      ? [{ 'Content-Encoding': 'gzip', 'Transfer-Encoding': 'chunked' }, chunksOf(gz)]
      : [{ 'Content-Encoding': 'gzip', 'Content-Length': gz.length }, [gz]];
  },
  // The header goes out alone, then the body trickles in.
  slow: (body) => [{ 'Content-Length': body.length }, chunksOf(body, [1000]), 40],
};

function workerMain() {
  const ports = {};
  for (const [name, reply] of Object.entries(SERVERS)) {
    const server = http.createServer((req, res) => req.resume().on('end', async () => {
      const url = new URL(req.url, 'http://target');
      const raw = Buffer.concat(req.socket.zelRaw);
      parentPort.postMessage({ server: name, raw });
      const m = /^\/body\/(\d+)$/.exec(url.pathname);
      const body = m && makeBody(Number(m[1]), Number(url.searchParams.get('seed') || 1));
      if (!body) return res.writeHead(404, { 'Content-Length': 0 }).end();
      const [fields, pieces, delayMs] = reply(body, url);
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'X-Server': name, ...fields });
      // Without a delay the header leaves in one write with the first piece, as a real appliance's does.
      if (delayMs) res.flushHeaders();
      for (const p of pieces) {
        if (delayMs) await new Promise((r) => setTimeout(r, delayMs));
        if (!res.write(p)) await new Promise((r) => res.once('drain', r));
      }
      res.end();
    }));
    // Keep the request bytes exactly as they arrived, not Node's parsed view of them.
    server.on('connection', (sock) => {
      sock.zelRaw = [];
      sock.on('data', (d) => sock.zelRaw.push(d));
    });
    server.listen(0, '127.0.0.1', () => {
      ports[name] = server.address().port;
      if (Object.keys(ports).length === Object.keys(SERVERS).length) parentPort.postMessage({ ports });
    });
  }
}

// Starts the servers; resolves with { ports, find(tag), stop() }.
function startTargets() {
  const worker = new Worker(__filename);
  // Requests arrive as messages and can trail the call that caused them, so
  // tests pick theirs by content rather than by order.
  const requests = [];
  worker.on('message', (msg) => msg.raw && requests.push({ server: msg.server, raw: Buffer.from(msg.raw) }));
  return new Promise((resolve, reject) => {
    worker.once('error', reject);
    worker.on('message', ({ ports }) => ports && resolve({
      ports,
      // The first request holding `tag`; rejects when none came within `timeoutMs`.
      async find(tag, timeoutMs = 5000) {
        const signal = AbortSignal.timeout(timeoutMs);
        for (;;) {
          const hit = requests.find((e) => e.raw.includes(tag));
          if (hit) return hit;
          await once(worker, 'message', { signal }).catch(() => {
            throw new Error(`no request holding ${JSON.stringify(tag)} reached a target`);
          });
        }
      },
      stop: () => worker.terminate(),
    }));
  });
}

if (!isMainThread) workerMain();

module.exports = { startTargets, makeBody, chunksOf };
