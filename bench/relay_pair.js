#!/usr/bin/env node
'use strict';
// relay() of one package build against another, in one process: both fetch
// from the in-memory daemon stand-in (build/bench/zel-standin), alternated
// with node_zel_req of the tested build, so all three see the same machine
// load.  Prints, per workload, the medians of the per-pair time ratios:
// node_zel_req's over each relay()'s, and the baseline's over the tested
// (above 1: the tested build is faster).
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const USAGE = `usage: node bench/relay_pair.js BASELINE [TESTED] [options]

BASELINE and TESTED are package folders (index.js, lib/ and the module that
lib/binding.js loads there), e.g. a git worktree of an older commit built
with \`node tools/build.js\`.  TESTED defaults to this checkout.

  --only LIST    workloads, comma-separated SIZE-SHAPE with SIZE 200B, 64KiB,
                 1MiB or 16MiB and SHAPE plain or gzip (default: all eight)
  --pairs N      pairs per workload (default by size: 400, 150, 40, 9)
  --warm N       warm-up pairs per workload, not counted (default 3: the
                 pairs then mostly run before V8 has optimised relay(); give
                 3000 to compare builds that have relayed for a while)
  --socket PATH  the stand-in's socket (default: a fresh one under the
                 temporary folder)
  --help         this text`;

const DEFAULT_PAIRS = { '200B': 400, '64KiB': 150, '1MiB': 40, '16MiB': 9 };
const DEFAULT_WARM = 3;

function parseArgs(argv) {
  const o = { roots: [], only: null, pairs: 0, warm: DEFAULT_WARM, socket: null };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === '--help' || a === '-h') o.help = true;
    else if (a === '--only') o.only = value().split(',');
    else if (a === '--pairs') o.pairs = Number(value());
    else if (a === '--warm') o.warm = Number(value());
    else if (a === '--socket') o.socket = path.resolve(value());
    else if (a.startsWith('-')) throw new Error(`unknown option ${a}`);
    else o.roots.push(path.resolve(a));
  }
  if (!o.help && (o.roots.length < 1 || o.roots.length > 2)) throw new Error('give a baseline folder, and optionally a tested one');
  if (o.pairs && !(Number.isInteger(o.pairs) && o.pairs > 0)) throw new Error('--pairs takes a positive number');
  if (!(Number.isInteger(o.warm) && o.warm >= 0)) throw new Error('--warm takes a number of 0 or more');
  return o;
}

const median = (xs) => {
  const s = [...xs].sort((x, y) => x - y);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

async function main() {
  let o;
  try {
    o = parseArgs(process.argv.slice(2));
  } catch (e) {
    console.error(`relay_pair: ${e.message}\n\n${USAGE}`);
    return 2;
  }
  if (o.help) {
    console.log(USAGE);
    return 0;
  }
  const root = path.join(__dirname, '..');
  const [baseRoot, testedRoot = root] = o.roots;
  const W = require('./e2e/workloads');
  const C = require('./e2e/contenders');
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-relay-pair-'));
  const sock = o.socket || path.join(tmp, 'query.sock');
  const wls = [];
  for (const size of ['200B', '64KiB', '1MiB', '16MiB']) {
    for (const shape of ['plain', 'gzip']) {
      if (!o.only || o.only.includes(`${size}-${shape}`)) wls.push({ size, shape });
    }
  }
  // The stand-in answers each resource's response bytes from memory.
  const bodies = new W.Bodies();
  for (const { size, shape } of wls) {
    const b = bodies.get(`${size}-${shape}`);
    const head = `HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n${shape === 'gzip' ? 'Content-Encoding: gzip\r\n' : ''}` +
      `Content-Length: ${b.sent.length}\r\nConnection: close\r\n\r\n`;
    fs.writeFileSync(path.join(tmp, `${size}-${shape}.http`), Buffer.concat([Buffer.from(head), b.sent]));
  }
  process.env.ZEL_QUERY_SOCKET = sock;
  process.env.ZEL_QUIET = '1';
  const base = require(baseRoot);
  const tested = require(testedRoot);
  const standin = spawn(path.join(root, 'build', 'bench', 'zel-standin'), ['--socket', sock, '--dir', tmp, '--quiet'],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  try {
    // Ready once it says it listens; what it printed before is its reason otherwise.
    await new Promise((resolve, reject) => {
      let said = '';
      standin.stderr.setEncoding('utf8');
      standin.stderr.on('data', (text) => {
        said += text;
        if (said.includes('listening on')) resolve();
      });
      standin.once('exit', (code) => reject(new Error(`zel-standin exited (${code}): ${said.trim()}`)));
    });
    const contenders = {
      base: C.relayContender(base, sock),
      tested: C.relayContender(tested, sock),
      zel: C.zelContender(tested),
    };
    for (const { size, shape } of wls) {
      const wl = { target: `/bench/${size}-${shape}`, accept: '', inflate: shape === 'gzip' };
      const pairs = o.pairs || DEFAULT_PAIRS[size];
      const t = { base: [], tested: [], zel: [] };
      for (let i = 0; i < o.warm + pairs; i++) {
        const order = i % 2 ? ['base', 'tested', 'zel'] : ['zel', 'tested', 'base'];
        for (const k of order) {
          const ns = (await contenders[k].run(wl)).ns;
          if (i >= o.warm) t[k].push(ns);
        }
      }
      const ratio = (num, den) => median(t[num].map((x, i) => x / t[den][i])).toFixed(2);
      console.log(`${size}-${shape}: node_zel_req/baseline ${ratio('zel', 'base')}, node_zel_req/tested ${ratio('zel', 'tested')}, ` +
        `baseline/tested ${ratio('base', 'tested')} (medians: baseline ${(median(t.base) / 1e3).toFixed(0)} µs, ` +
        `tested ${(median(t.tested) / 1e3).toFixed(0)} µs, node_zel_req ${(median(t.zel) / 1e3).toFixed(0)} µs; ${pairs} pairs)`);
    }
  } finally {
    standin.kill();
    fs.rmSync(tmp, { recursive: true, force: true });
  }
  return 0;
}

main().then((code) => {
  process.exitCode = code;
}, (e) => {
  console.error(`relay_pair: ${e.stack || e.message}`);
  process.exitCode = 1;
});
