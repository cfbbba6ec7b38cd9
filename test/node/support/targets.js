'use strict';
// Target appliances for the end-to-end tests: real HTTP servers that the query
// daemon connects to.  node_zel_req blocks the thread that calls it, so the
// servers run in a Worker; each request they receive is posted back to the
// test thread as the exact bytes that arrived on the connection.
//
// Paths understood by every server:
//   /body/N?seed=S       N bytes of makeBody(N, S)
//   /echo                the raw request text as the body
//   /status/C            status C, body "status C"
// Servers differ in framing: plain (Content-Length), chunked (uneven chunk
// sizes), gzip (Content-Encoding gzip; ?chunked=1 sends it chunked) and slow
// (header first, then the body in delayed pieces).
const { Worker, isMainThread, parentPort } = require('worker_threads');
const http = require('http');
const zlib = require('zlib');

// Deterministic body: readable text with a little noise, so gzip has
// something to compress and every offset is distinguishable.
function makeBody(size, seed = 1) {
  const buf = Buffer.alloc(size);
  let x = (seed * 2654435761) >>> 0 || 1;
  for (let i = 0; i < size; i++) {
    x ^= x << 13; x >>>= 0;
    x ^= x >>> 17;
    x ^= x << 5; x >>>= 0;
    buf[i] = (i % 64 === 63) ? 0x0a : 0x61 + (x % 8 === 0 ? (x >>> 8) % 26 : (i >>> 6) % 26);
  }
  return buf;
}

// Chunk sizes for the chunked server: deliberately uneven, crossing the
// 4096-byte piece size and the datagram size on both sides.
const CHUNK_SIZES = [1, 7, 4095, 3, 4097, 13, 10000, 2, 65536, 511, 8191, 1];

function chunksOf(buf) {
  const out = [];
  for (let off = 0, i = 0; off < buf.length; i++) {
    const n = Math.min(CHUNK_SIZES[i % CHUNK_SIZES.length], buf.length - off);
    out.push(buf.subarray(off, off + n));
    off += n;
  }
  return out;
}

function bodyFor(url) {
  const m = /^\/body\/(\d+)/.exec(url.pathname);
  if (m) return makeBody(Number(m[1]), Number(url.searchParams.get('seed') || 1));
  return null;
}

function workerMain() {
  const servers = {};

  const writePieces = async (res, pieces, delayMs) => {
    for (const p of pieces) {
      if (delayMs) await new Promise((r) => setTimeout(r, delayMs));
      if (!res.write(p)) await new Promise((r) => res.once('drain', r));
    }
    res.end();
  };

  const handlers = {
    plain(req, res, url, body) {
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': body.length, 'X-Server': 'plain' });
      res.end(body);
    },
    chunked(req, res, url, body) {
      res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Transfer-Encoding': 'chunked', 'X-Server': 'chunked' });
      // Header and first chunk in one write, so the first reply payload
      // carries body bytes as a real appliance's would.
      writePieces(res, chunksOf(body), 0);
    },
    gzip(req, res, url, body) {
      const gz = zlib.gzipSync(body);
      if (url.searchParams.get('chunked')) {
        res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Encoding': 'gzip', 'Transfer-Encoding': 'chunked', 'X-Server': 'gzip' });
        writePieces(res, chunksOf(gz), 0);
      } else {
        res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Encoding': 'gzip', 'Content-Length': gz.length, 'X-Server': 'gzip' });
        res.end(gz);
      }
    },
    slow(req, res, url, body) {
      res.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Length': body.length, 'X-Server': 'slow' });
      res.flushHeaders();
      const pieces = [];
      for (let off = 0; off < body.length; off += 1000) pieces.push(body.subarray(off, off + 1000));
      writePieces(res, pieces, 40);
    },
  };

  const listen = (name) => new Promise((resolve) => {
    const server = http.createServer((req, res) => {
      const url = new URL(req.url, 'http://target');
      req.resume();
      req.on('end', () => {
        const raw = req.socket.zelRaw ? Buffer.concat(req.socket.zelRaw) : Buffer.alloc(0);
        parentPort.postMessage({ type: 'request', server: name, raw });
        if (url.pathname === '/echo') return handlers[name](req, res, url, raw);
        const st = /^\/status\/(\d+)$/.exec(url.pathname);
        if (st) {
          const text = Buffer.from(`status ${st[1]}`);
          res.writeHead(Number(st[1]), { 'Content-Length': text.length });
          return res.end(text);
        }
        const body = bodyFor(url);
        if (!body) {
          res.writeHead(404, { 'Content-Length': 9 });
          return res.end('not found');
        }
        handlers[name](req, res, url, body);
      });
    });
    // Keep the bytes exactly as they arrived, so tests can compare the
    // request text byte for byte rather than Node's parsed view of it.
    server.on('connection', (sock) => {
      sock.zelRaw = [];
      sock.on('data', (d) => sock.zelRaw.push(d));
    });
    server.listen(0, '127.0.0.1', () => {
      servers[name] = server;
      resolve(server.address().port);
    });
  });

  (async () => {
    const ports = {};
    for (const name of Object.keys(handlers)) ports[name] = await listen(name);
    parentPort.postMessage({ type: 'ready', ports });
  })();

  parentPort.on('message', (msg) => {
    if (msg === 'stop') {
      for (const s of Object.values(servers)) s.close();
      for (const s of Object.values(servers)) s.closeAllConnections();
      parentPort.close();
    }
  });
}

// Starts the servers; resolves with { ports, find(), stop() }.
function startTargets() {
  const worker = new Worker(__filename);
  // Requests arrive as messages, so they can trail the call that caused
  // them; tests pick theirs by content rather than by order.
  let requests = [];
  let waiters = [];
  worker.on('message', (msg) => {
    if (msg.type !== 'request') return;
    const entry = { server: msg.server, raw: Buffer.from(msg.raw) };
    requests.push(entry);
    waiters = waiters.filter((w) => !w(entry));
  });
  return new Promise((resolve, reject) => {
    worker.once('error', reject);
    worker.on('message', (msg) => {
      if (msg.type !== 'ready') return;
      resolve({
        ports: msg.ports,
        // The first request whose raw text holds `tag`; rejects after
        // `timeoutMs` when none came.
        find(tag, timeoutMs = 5000) {
          const hit = requests.find((e) => e.raw.includes(tag));
          if (hit) return Promise.resolve(hit);
          return new Promise((res, rej) => {
            const w = (e) => {
              if (!e.raw.includes(tag)) return false;
              clearTimeout(t);
              res(e);
              return true;
            };
            const t = setTimeout(() => {
              waiters = waiters.filter((x) => x !== w);
              rej(new Error(`no request holding ${JSON.stringify(tag)} reached a target`));
            }, timeoutMs);
            waiters.push(w);
          });
        },
        forget() { requests = []; },
        async stop() {
          const exited = new Promise((r) => worker.once('exit', r));
          worker.postMessage('stop');
          const t = setTimeout(() => worker.terminate(), 3000);
          await exited;
          clearTimeout(t);
        },
      });
    });
  });
}

if (!isMainThread) workerMain();

module.exports = { startTargets, makeBody, chunksOf, CHUNK_SIZES };
