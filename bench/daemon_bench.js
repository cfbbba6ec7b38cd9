#!/usr/bin/env node
'use strict';
// One build of the reference daemon against another, relaying the same
// appliance: both daemons route to one Node http server (its own process),
// and the transport-limit query (build/bench/zel_transport.node, the least a
// client can do) alternates between them request by request, so the
// difference is the daemons' own.  Prints, per body, the median of the
// per-pair time ratios (tested/baseline; below 1 is faster).
//
//   node bench/daemon_bench.js TESTED-QUERYD BASELINE-QUERYD [--quick] [--build DIR]
//
// Each daemon binds a socket in a fresh temporary folder.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const USAGE = 'usage: node bench/daemon_bench.js TESTED-QUERYD BASELINE-QUERYD [--quick] [--build DIR]';
const args = process.argv.slice(2);
if (args.includes('--help') || args.includes('-h')) {
  console.log(`${USAGE}\n\nRelays the same bodies through both daemons, alternating, and prints\n` +
    'the median of the per-pair time ratios (tested over baseline) per body.\n\n' +
    '  --quick      a tenth of the pairs\n' +
    '  --build DIR  build folder with bench/zel_transport.node (default build/)');
  process.exit(0);
}
const quick = args.includes('--quick');
const buildAt = args.indexOf('--build');
const build = buildAt >= 0 ? args[buildAt + 1] : path.join(__dirname, '..', 'build');
const [testedPath, basePath] = args.filter((a, i) => !a.startsWith('--') && (buildAt < 0 || i !== buildAt + 1));
if (!testedPath || !basePath || !build) {
  console.error(USAGE);
  process.exit(2);
}
const transportPath = path.join(build, 'bench', 'zel_transport.node');
if (!fs.existsSync(transportPath)) {
  console.error(`daemon_bench: not built: ${transportPath} (run \`npm run compile\`)`);
  process.exit(1);
}
const { query } = require(path.resolve(transportPath));
const { Bodies } = require('./e2e/workloads');

const CASES = [
  ['200B-plain', 2000], ['64KiB-plain', 400], ['1MiB-plain', 100], ['16MiB-plain', 11], ['16MiB-gzip', 11],
];

// What the children wrote to standard error, shown when the run fails.
const childLog = [];

function waitFor(child, text, name) {
  return new Promise((resolve, reject) => {
    let err = '';
    child.stderr.on('data', (c) => {
      err += c;
      childLog.push(...String(c).split('\n').filter(Boolean).map((l) => `  ${path.basename(name)}: ${l}`));
      if (err.includes(text)) resolve(child);
    });
    child.once('exit', (code) => reject(new Error(`${name} exited with ${code}: ${err}`)));
  });
}

function stop(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null) {
      resolve();
      return;
    }
    child.removeAllListeners('exit');
    child.once('exit', resolve);
    child.kill('SIGTERM');
  });
}

const median = (a) => { const s = [...a].sort((x, y) => x - y); return s[(s.length - 1) >> 1]; };

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-daemon-bench-'));
  const app = path.join(dir, 'appliance.sock');
  const sockets = [path.join(dir, 'tested.sock'), path.join(dir, 'baseline.sock')];
  const children = [];
  try {
    // Every body is made before the appliance takes requests: made on the
    // first request, a 16 MiB gzip body could keep the daemon waiting past
    // its target time-out on a busy machine.
    const appliance = spawn(process.execPath, ['-e', `
      const w = require(${JSON.stringify(path.join(__dirname, 'e2e', 'workloads'))});
      const bodies = new w.Bodies();
      for (const r of ${JSON.stringify(CASES.map(([r]) => r))}) bodies.get(r);
      w.startAppliance(${JSON.stringify(app)}, bodies).then(() => console.error('appliance ready'));
    `], { stdio: ['ignore', 'ignore', 'pipe'] });
    children.push(appliance);
    await waitFor(appliance, 'appliance ready', 'appliance');
    for (const [bin, sock] of [[testedPath, sockets[0]], [basePath, sockets[1]]]) {
      // A time-out well past any pause of a busy machine: the bench times
      // relaying, and a target taken for silent would fail the run.
      const d = spawn(path.resolve(bin),
        ['--socket', sock, '--route', `B1=unix:${app}`, '--quiet', '--target-timeout', '60'],
        { stdio: ['ignore', 'ignore', 'pipe'] });
      children.push(d);
      await waitFor(d, 'listening on', bin);
    }
    const bodies = new Bodies();
    for (const [resource, fullPairs] of CASES) {
      const pairs = quick ? Math.max(3, Math.ceil(fullPairs / 10)) : fullPairs;
      const target = `/bench/${resource}`;
      const want = query(sockets[1], target);
      const b = bodies.get(resource);
      if (want < b.sent.length) throw new Error(`${resource}: ${want} bytes relayed, body alone is ${b.sent.length}`);
      const one = (sock) => {
        const t0 = process.hrtime.bigint();
        const got = query(sock, target);
        const t = Number(process.hrtime.bigint() - t0);
        if (got !== want) throw new Error(`${resource}: ${got} bytes through ${sock}, expected ${want}`);
        return t;
      };
      for (let i = 0; i < Math.min(pairs, 20); i++) {
        one(sockets[0]);
        one(sockets[1]);
      }
      const ratios = [];
      const times = [[], []];
      for (let i = 0; i < pairs; i++) {
        const order = i & 1 ? [1, 0] : [0, 1];
        const t = [0, 0];
        for (const k of order) t[k] = one(sockets[k]);
        ratios.push(t[0] / t[1]);
        times[0].push(t[0]);
        times[1].push(t[1]);
      }
      console.log(`${resource.padEnd(12)} tested/baseline ${median(ratios).toFixed(2)}  ` +
        `(medians ${(median(times[0]) / 1e3).toFixed(1)} µs vs ${(median(times[1]) / 1e3).toFixed(1)} µs, ${pairs} pairs)`);
    }
  } finally {
    await Promise.all(children.map(stop));
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(`daemon_bench: ${e.message}${childLog.length ? `\n${childLog.join('\n')}` : ''}`);
  process.exitCode = 1;
});
