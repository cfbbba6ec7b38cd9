#!/usr/bin/env node
'use strict';
// Resident memory where only a measurement can tell: what a relay() whose
// consumer stopped reading holds while the appliance is held back, and
// whether argument copies of node_zel_req outlive their calls.  The tests
// check the behaviour (the appliance stops writing; calls are refused or
// accepted); this prints what it costs on this machine.
//
//   node bench/memory.js [--quick] [--build DIR]
//
// Each row prints the growth of resident memory after a warm-up and the
// bound it is expected to stay under, marked OVER when it does not.  Exits 1
// only when a measurement could not be made.  The daemon binds a socket in a
// fresh temporary folder.
const { spawn } = require('child_process');
const { once } = require('events');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const v8 = require('v8');
const vm = require('vm');

const args = process.argv.slice(2);
if (args.includes('--help') || args.includes('-h')) {
  console.log('usage: node bench/memory.js [--quick] [--build DIR]\n\n' +
    '  --quick      a quarter of the body and a tenth of the calls\n' +
    '  --build DIR  build folder with node_zel_mod.node and tools/zel-queryd (default build/)');
  process.exit(0);
}
const quick = args.includes('--quick');
const buildAt = args.indexOf('--build');
const build = path.resolve(buildAt >= 0 ? args[buildAt + 1] : path.join(__dirname, '..', 'build'));
const modulePath = path.join(build, 'node_zel_mod.node');
const queryd = path.join(build, 'tools', 'zel-queryd');
for (const f of [modulePath, queryd]) {
  if (!fs.existsSync(f)) {
    console.error(`memory: not built: ${f} (run \`npm run compile\`)`);
    process.exit(1);
  }
}
process.env.ZEL_MODULE_PATH = modulePath;
process.env.ZEL_QUIET = '1';   // the refused calls would each print a line
const { relay, node_zel_req: nodeZelReq } = require('..');

const MiB = 1024 * 1024;
const ADMIN = { name: 'bench', profile: 'super_user', superAdmin: true };
const rss = () => process.memoryUsage.rss();
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

function row(name, grown, bound) {
  console.log(`${name.padEnd(44)} ${(grown / MiB).toFixed(1).padStart(7)} MiB  (bound ${bound / MiB} MiB)${grown < bound ? '' : '  OVER'}`);
}

// Calls with 16 KiB texts, accepted (no serial chain: nothing is sent) and
// refused; a copy kept per call would show as hundreds of MiB.
function argumentCopies(calls) {
  const big = 'x'.repeat(16 * 1024);
  const noop = () => {};
  const round = (n) => {
    for (let i = 0; i < n; i++) {
      nodeZelReq(big, '/a', big, big, big, big, big, big, noop, noop);
      try { nodeZelReq(big, '/a', big, big, big, big, big, 7, noop, noop); } catch { /* refused */ }
      try { nodeZelReq(big, big, big, big, big, big, big); } catch { /* refused */ }
    }
  };
  round(500);
  gc();
  const before = rss();
  round(calls);
  gc();
  row(`node_zel_req argument copies, ${3 * calls} calls`, rss() - before, 64 * MiB);
}

// An appliance that writes a body of `size` bytes only as fast as the
// connection takes it, and a relay() whose consumer reads nothing until the
// appliance has stopped writing.
async function pausedConsumer(total) {
  let written = 0;
  const block = Buffer.alloc(64 * 1024, 'b');
  const server = http.createServer(async (req, res) => {
    const size = Number(new URL(req.url, 'http://t').searchParams.get('size'));
    res.writeHead(200, { 'Content-Length': size });
    for (written = 0; written < size;) {
      const n = Math.min(block.length, size - written);
      written += n;
      if (!res.write(block.subarray(0, n))) await once(res, 'drain');
    }
    res.end();
  });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-memory-'));
  const socketPath = path.join(dir, 'q');
  const daemon = spawn(queryd, ['--socket', socketPath, '--quiet', '--route', `BIG=127.0.0.1:${server.address().port}`],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  try {
    await new Promise((resolve, reject) => {
      daemon.stderr.on('data', (t) => { if (String(t).includes('listening on')) resolve(); });
      daemon.once('exit', (code) => reject(new Error(`zel-queryd exited with ${code}`)));
    });
    const get = (size) => relay({ serials: 'S:BIG', path: `/?size=${size}`, admin: ADMIN, socketPath });
    for await (const piece of (await get(4 * MiB)).body) void piece;   // warm-up
    const before = rss();
    const r = await get(total);
    let last = -1;
    for (let still = 0, i = 0; still < 5 && i < 600; i++) {
      await sleep(50);
      still = written === last ? still + 1 : 0;
      last = written;
    }
    row(`relay() paused at ${(written / MiB).toFixed(1)} of ${total / MiB} MiB`, rss() - before, 16 * MiB);
    let got = 0;
    for await (const piece of r.body) got += piece.length;
    if (got !== total) throw new Error(`the paused relay delivered ${got} of ${total} bytes`);
  } finally {
    daemon.kill('SIGTERM');
    server.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

async function main() {
  argumentCopies(quick ? 1000 : 10000);
  await pausedConsumer((quick ? 64 : 256) * MiB);
}

main().catch((e) => {
  console.error(`memory: ${e.message}`);
  process.exitCode = 1;
});
