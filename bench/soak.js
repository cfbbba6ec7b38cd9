#!/usr/bin/env node
'use strict';
// Soak: many node_zel_req calls in one process, across every response shape
// and failure the road has, against the reference query daemon and real HTTP
// servers.  Reports the process's resident memory and open descriptors after
// warm-up, in the middle and at the end; after warm-up neither should grow.
//
//   npm run soak                        10,000 calls
//   node bench/soak.js --calls 2000     another count
//
// The calls come in rounds of 100; each round runs the daemon in turn as a
// relay, a replayer, a malformed answerer and a failure answerer, and makes
// some calls with no daemon at all.  A call whose result is not the one its
// shape must give is counted as a mismatch.  The query socket path is fixed,
// so the run holds the shared socket lock (/tmp/zel-socket.lock).
//
// The transport's 12-second wait for a silent daemon is fixed, so a time-out
// is not among the shapes: one costs more than a whole round.
const { Worker, isMainThread, parentPort } = require('worker_threads');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const v8 = require('v8');
const vm = require('vm');
const zlib = require('zlib');

const ROOT = path.resolve(__dirname, '..');
const ROUND = 100;
const MiB = 1024 * 1024;

// --- the target appliances, in a Worker: node_zel_req blocks the main thread ---

function body(size) {
  const b = Buffer.alloc(size);
  for (let i = 0; i < size; i++) b[i] = i % 61 === 60 ? 0x0a : 0x61 + ((i * 7919) >>> 3) % 26;
  return b;
}

function serveTargets() {
  const gz = new Map();
  const gzipOf = (n) => gz.get(n) ?? gz.set(n, zlib.gzipSync(body(n))).get(n);
  const server = http.createServer((req, res) => req.resume().on('end', () => {
    const url = new URL(req.url, 'http://t');
    const m = /^\/(plain|chunked|gzip)\/(\d+)$/.exec(url.pathname);
    if (!m) return res.writeHead(404, { 'Content-Length': 0 }).end();
    const n = Number(m[2]);
    const data = m[1] === 'gzip' ? gzipOf(n) : body(n);
    const fields = { 'Content-Type': 'application/octet-stream' };
    if (m[1] === 'gzip') fields['Content-Encoding'] = 'gzip';
    if (m[1] === 'chunked' || url.searchParams.has('chunked')) {
      res.writeHead(200, fields);
      for (let at = 0; at < data.length; at += 3001) res.write(data.subarray(at, at + 3001));
      return res.end();
    }
    res.writeHead(200, { ...fields, 'Content-Length': data.length }).end(data);
  }));
  server.listen(0, '127.0.0.1', () => parentPort.postMessage({ port: server.address().port }));
}

if (!isMainThread) {
  serveTargets();
  return;
}

// --- the calls ---

// The soak runs its daemons on a query socket of its own, so it never meets
// a running demo or test; the module and tools/demo/queryd.js both read the
// variable once, so it is set before either is used.
const socketDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-soak-sock-'));
process.env.ZEL_QUERY_SOCKET = path.join(socketDir, 'q');
process.on('exit', () => fs.rmSync(socketDir, { recursive: true, force: true }));
const { startQueryd, socketInUse, QUERY_SOCKET } = require(path.join(ROOT, 'tools', 'demo', 'queryd'));

// One call: [url, target, accept-encoding, options]; `want` is the result
// (0, -1, undefined, or 'throws'), `body` the body length the script must get.
function call(mod, url, target, accept, o = {}) {
  let got = 0;
  let heads = 0;
  const args = [o.method ?? 'GET', url, target, accept, 'soak', 'full-access', '1', o.post ?? '',
    (piece) => {
      if (o.throwInBody) throw new Error('body callback refuses');
      got += piece.response_size;
    },
    () => {
      heads++;
      if (o.throwInHead) throw new Error('write-head refuses');
    }];
  if (o.badArgs) args[4] = 42;
  try {
    return { ret: mod.node_zel_req(...args), got, heads };
  } catch (e) {
    return { ret: 'throws', got, heads, error: e };
  }
}

// Shapes served by the relaying daemon.  `body` is checked when given.
const RELAY_SHAPES = [
  ['plain small', '/zel/S0:SAPP/x', '/plain/3000', 'gzip', {}, 0, 3000],
  ['plain, several datagrams', '/zel/S0:SAPP/x', '/plain/50000', 'gzip', {}, 0, 50000],
  ['chunked', '/zel/S0:SAPP/x', '/chunked/20000', '', {}, 0, 20000],
  ['gzip accepted', '/zel/S0:SAPP/x', '/gzip/20000', 'gzip', {}, 0],
  ['gzip inflated', '/zel/S0:SAPP/x', '/gzip/20000', '', {}, 0, 20000],
  ['chunked gzip accepted', '/zel/S0:SAPP/x', '/gzip/20000?chunked', 'gzip', {}, 0],
  ['chunked gzip, not accepted', '/zel/S0:SAPP/x', '/gzip/20000?chunked', '', {}, 0],
  ['POST with a body', '/zel/S0:SAPP/x', '/plain/100', 'gzip', { method: 'POST', post: '{"a":1}' }, 0, 100],
  ['404', '/zel/S0:SAPP/x', '/missing', 'gzip', {}, 0, 0],
  ['unreachable target', '/zel/S0:SDEAD/x', '/plain/10', 'gzip', {}, -1],
  ['unknown route', '/zel/S0:SNONE/x', '/plain/10', 'gzip', {}, -1],
  ['serial loop', '/zel/SAPP:S0:SAPP/x', '/plain/10', 'gzip', {}, -1],
  ['method not a token', '/zel/S0:SAPP/x', '/plain/10', 'gzip', { method: 'G T' }, 'throws'],
  ['body callback throws', '/zel/S0:SAPP/x', '/plain/9000', 'gzip', { throwInBody: true }, 'throws'],
  ['write-head throws', '/zel/S0:SAPP/x', '/plain/10', 'gzip', { throwInHead: true }, 'throws'],
  ['no serial chain', '/zel', '/plain/10', 'gzip', {}, undefined],
  ['refused arguments', '/zel/S0:SAPP/x', '/plain/10', 'gzip', { badArgs: true }, 'throws'],
];

// Replay files: a plain body with Content-Length, which relays the same at
// any cut, and a chunked gzip body, relayed de-chunked.  (A chunked body cut
// inside its first size line is refused, so that one is cut at fixed sizes.)
function replayFiles(dir) {
  const plain = path.join(dir, 'plain.http');
  const b = body(30000);
  fs.writeFileSync(plain, Buffer.concat([Buffer.from(`HTTP/1.1 200 OK\r\nContent-Length: ${b.length}\r\n\r\n`), b]));
  const gz = zlib.gzipSync(b);
  const parts = [Buffer.from('HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n')];
  for (let at = 0; at < gz.length; at += 777) {
    const piece = gz.subarray(at, at + 777);
    parts.push(Buffer.from(`${piece.length.toString(16)}\r\n`), piece, Buffer.from('\r\n'));
  }
  parts.push(Buffer.from('0\r\n\r\n'));
  const chunked = path.join(dir, 'chunked-gzip.http');
  fs.writeFileSync(chunked, Buffer.concat(parts));
  return { plain, chunked };
}

// The daemon modes of one round, with the calls each gets: [label, daemon
// arguments or null for no daemon, calls, expected result].
function roundPlan(round, port, files) {
  const malformed = ['len', 'short', 'big'][round % 3];
  return [
    ['relay', ['--quiet', '--route', `SAPP=127.0.0.1:${port}`, '--route', 'SDEAD=127.0.0.1:1'], 64, null],
    ['replay, random cuts', ['--quiet', '--replay', files.plain, '--split', `random:${round}:300`], 6, 0],
    ['replay, chunked gzip', ['--quiet', '--replay', files.chunked, '--split', 'fixed:1000'], 6, 0],
    [`malformed (${malformed})`, ['--quiet', `--malformed=${malformed}`], 6, -1],
    ['failure code', ['--quiet', '--fail', 'QUERY_FAIL_ROUTE_ERR'], 6, -1],
    ['replay, then failure', ['--quiet', '--replay', files.plain, '--fail', 'QUERY_FAIL_CONNECTION_CLOSED'], 6, -1],
    ['no daemon', null, 6, -1],
  ];
}

function measure() {
  if (typeof global.gc === 'function') global.gc();
  const u = process.memoryUsage();
  return { rss: u.rss, heap: u.heapUsed, external: u.external, fds: fs.readdirSync('/proc/self/fd').length };
}

const fmt = (m) => `rss ${(m.rss / MiB).toFixed(1)} MiB (script heap ${(m.heap / MiB).toFixed(1)}, ` +
  `external ${(m.external / MiB).toFixed(1)}), ${m.fds} descriptors`;

// Runs `warmup` calls, then `calls` more (both rounded up to whole rounds);
// the allocators and the engine settle during the warm-up.  Returns { start,
// middle, end, calls, mismatches, shapes }; `log` gets progress lines.
async function soak({ calls = 10000, warmup = 5 * ROUND, log = () => {} } = {}) {
  // A gc() to call before each measurement, so the numbers show memory that
  // is kept, not garbage waiting for collection.
  if (typeof global.gc !== 'function') {
    v8.setFlagsFromString('--expose-gc');
    global.gc = vm.runInNewContext('gc');
  }
  const mod = require(process.env.ZEL_MODULE_PATH || path.join(ROOT, 'build', 'node_zel_mod.node'));
  const worker = new Worker(__filename);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-soak-'));
  const out = { calls: 0, mismatches: [], shapes: new Set() };
  let daemon = null;
  try {
    const port = await new Promise((resolve, reject) => {
      worker.once('error', reject);
      worker.once('message', (m) => resolve(m.port));
    });
    if (socketInUse(QUERY_SOCKET)) throw new Error(`${QUERY_SOCKET} is served by another process`);
    const files = replayFiles(dir);
    const warmupRounds = Math.ceil(warmup / ROUND);
    const callRounds = Math.ceil(calls / ROUND);
    const rounds = warmupRounds + callRounds;
    const middleRound = warmupRounds + Math.floor(callRounds / 2);
    let shapeIndex = 0;
    for (let r = 0; r < rounds; r++) {
      if (r === warmupRounds) {
        out.start = measure();
        log(`soak: after warm-up (${out.calls} calls): ${fmt(out.start)}`);
      } else if (r === middleRound) {
        out.middle = measure();
        log(`soak: middle (${out.calls} calls): ${fmt(out.middle)}`);
      }
      for (const [label, args, n, want] of roundPlan(r, port, files)) {
        daemon = args ? await startQueryd(args) : null;
        for (let i = 0; i < n; i++) {
          const shape = want === null ? RELAY_SHAPES[shapeIndex++ % RELAY_SHAPES.length] : [label, '/zel/S0:SAPP/x', '/plain/10', '', {}, want];
          const [name, url, target, accept, o, wantRet, wantBody] = shape;
          const res = call(mod, url, target, accept, o);
          out.calls++;
          out.shapes.add(name);
          if (res.ret !== wantRet || (wantBody !== undefined && res.got !== wantBody)) {
            out.mismatches.push(`${name}: result ${res.ret}, ${res.got} body bytes` +
              (res.error ? ` (${res.error.message})` : ''));
          }
        }
        if (daemon) await daemon.stop();
        daemon = null;
      }
      if ((r + 1) % 10 === 0) log(`soak: ${out.calls} calls`);
    }
    out.end = measure();
    log(`soak: end (${out.calls} calls): ${fmt(out.end)}`);
    return out;
  } finally {
    if (daemon) await daemon.stop();
    await worker.terminate();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

module.exports = { soak };

// The module prints every request and the transport's progress on standard
// output, so the soak itself runs in a child whose standard output is thrown
// away; it reports on descriptor 3, which is our standard output.
function main(argv) {
  if (argv.includes('--help') || argv.includes('-h')) {
    console.log(`usage: node bench/soak.js [--calls N] [--json]   (npm run soak builds first)

Makes N node_zel_req calls (default 10000) after a warm-up of 500 calls,
across every response shape and failure, against build/tools/zel-queryd and
HTTP servers of its own, and reports resident memory and open descriptors
after warm-up, in the middle and at the end.  --json ends the report with one
line of JSON.  Exits 1 when a call gives another result than its shape must,
or when descriptors grew.`);
    return;
  }
  let calls = 10000;
  let json = false;
  for (let k = 0; k < argv.length; k++) {
    if (argv[k] === '--calls') calls = Number(argv[++k]);
    else if (argv[k] === '--json') json = true;
    else {
      console.error(`soak: unknown option "${argv[k]}" (try --help)`);
      process.exit(2);
    }
  }
  if (!Number.isInteger(calls) || calls < ROUND) {
    console.error(`soak: --calls needs a whole number of at least ${ROUND}`);
    process.exit(2);
  }

  if (!process.env.ZEL_SOAK_CHILD) {
    const { spawn } = require('child_process');
    const child = spawn(process.execPath, ['--expose-gc', __filename, ...argv], {
      stdio: ['ignore', 'ignore', 'inherit', 'pipe'],
      env: { ...process.env, ZEL_SOAK_CHILD: '1' },
    });
    child.stdio[3].pipe(process.stdout);
    child.on('exit', (code, signal) => {
      if (signal) console.error(`soak: ended by ${signal}`);
      process.exitCode = code ?? 1;
    });
    return;
  }

  const say = (line) => fs.writeSync(3, `${line}\n`);
  soak({ calls, log: say }).then((r) => {
    const grow = (a, b) => `${((b.rss - a.rss) / MiB).toFixed(1)} MiB, ${b.fds - a.fds} descriptors`;
    say(`soak: ${r.shapes.size} shapes; growth after warm-up: to the middle ${grow(r.start, r.middle)}, ` +
      `to the end ${grow(r.start, r.end)}`);
    for (const m of r.mismatches.slice(0, 20)) say(`soak: mismatch: ${m}`);
    if (r.mismatches.length) say(`soak: ${r.mismatches.length} call(s) gave another result than their shape`);
    if (json) {
      say(JSON.stringify({ calls: r.calls, shapes: r.shapes.size, start: r.start, middle: r.middle, end: r.end,
        mismatches: r.mismatches }));
    }
    process.exit(r.mismatches.length || r.end.fds > r.start.fds ? 1 : 0);
  }, (e) => {
    say(`soak: ${e.message}`);
    process.exit(1);
  });
}

if (require.main === module) main(process.argv.slice(2));
