#!/usr/bin/env node
'use strict';
// node_zel_req of one module build against another, in one process: the
// reference daemon replays a recorded response from memory, and calls of the
// two modules alternate, so both see the same machine load.  Prints, per body
// size and framing, the median of the per-pair time ratios (tested/baseline;
// below 1 is faster).
//
//   node bench/sync_bench.js TESTED.node BASELINE.node [ZEL-QUERYD]
//
// The module's diagnostics go to standard output (send it to /dev/null); the
// results go to standard error.  The daemon binds the fixed query socket, so
// run it where nobody else uses that path (a private mount namespace).
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');

const [testedPath, basePath, querydArg] = process.argv.slice(2);
if (!testedPath || !basePath) {
  console.error('usage: node bench/sync_bench.js TESTED.node BASELINE.node [ZEL-QUERYD]');
  process.exit(2);
}
const queryd = querydArg || path.join(__dirname, '..', 'build', 'tools', 'zel-queryd');
const tested = require(path.resolve(testedPath));
const base = require(path.resolve(basePath));
const log = (s) => fs.writeSync(2, `${s}\n`);

function body(n) {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; i++) b[i] = 97 + ((i * 7 + (i >> 5)) % 26);
  return b;
}

function responseFile(dir, name, payload, gzip) {
  const wire = gzip ? zlib.gzipSync(payload) : payload;
  const head = `HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n${gzip ? 'Content-Encoding: gzip\r\n' : ''}` +
    `Content-Length: ${wire.length}\r\n\r\n`;
  const file = path.join(dir, name);
  fs.writeFileSync(file, Buffer.concat([Buffer.from(head), wire]));
  return file;
}

function startDaemon(file) {
  return new Promise((resolve, reject) => {
    const d = spawn(queryd, ['--replay', file, '--quiet'], { stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    d.stderr.on('data', (c) => {
      err += c;
      if (err.includes('listening on')) resolve(d);
    });
    d.once('exit', (code) => reject(new Error(`zel-queryd exited with ${code}: ${err}`)));
  });
}

function stopDaemon(d) {
  return new Promise((resolve) => {
    d.removeAllListeners('exit');
    d.once('exit', resolve);
    d.kill('SIGTERM');
  });
}

// One relay; returns its time in ns and checks that every byte arrived.
function timed(mod, expected, accept) {
  let got = 0;
  const onBody = (p) => { got += p.response_size; };
  const onHead = () => {};
  const t0 = process.hrtime.bigint();
  const r = mod.node_zel_req('GET', '/zel/B1:B2/x', '/api/x', accept, 'bench', 'p', '1', '', onBody, onHead);
  const t = Number(process.hrtime.bigint() - t0);
  if (r !== 0 || got !== expected) throw new Error(`relay gave ${r} with ${got} of ${expected} bytes`);
  return t;
}

const quantile = (a, q) => { const s = [...a].sort((x, y) => x - y); return s[Math.floor((s.length - 1) * q)]; };

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-sync-bench-'));
  const cases = [];
  for (const [label, n, pairs] of [['200 B', 200, 3000], ['64 KiB', 64 << 10, 600], ['1 MiB', 1 << 20, 150],
    ['16 MiB', 16 << 20, 15]]) {
    cases.push({ label: `${label} plain`, n, pairs, gzip: false });
    cases.push({ label: `${label} gzip inflated`, n, pairs, gzip: true });
  }
  try {
    for (const c of cases) {
      const file = responseFile(dir, 'r.http', body(c.n), c.gzip);
      const d = await startDaemon(file);
      try {
        const accept = c.gzip ? 'deflate' : 'gzip';
        for (let i = 0; i < Math.min(c.pairs, 50); i++) { timed(tested, c.n, accept); timed(base, c.n, accept); }
        const ratios = [];
        let tSum = 0;
        let bSum = 0;
        for (let i = 0; i < c.pairs; i++) {
          let t;
          let b;
          if (i & 1) { t = timed(tested, c.n, accept); b = timed(base, c.n, accept); } else { b = timed(base, c.n, accept); t = timed(tested, c.n, accept); }
          ratios.push(t / b);
          tSum += t;
          bSum += b;
        }
        log(`${c.label.padEnd(22)} tested/baseline median ${quantile(ratios, 0.5).toFixed(3)} ` +
          `[${quantile(ratios, 0.25).toFixed(3)}, ${quantile(ratios, 0.75).toFixed(3)}]  ` +
          `(mean per call ${(tSum / c.pairs / 1e3).toFixed(1)} us vs ${(bSum / c.pairs / 1e3).toFixed(1)} us)`);
      } finally {
        await stopDaemon(d);
      }
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => { log(e.stack); process.exit(1); });
