#!/usr/bin/env node
'use strict';
// Runs the benchmarks: first every native benchmark the build made
// (build/bench/*_bench, the relay's de-framing and inflating in isolation),
// then the end-to-end suite (bench/e2e.js), which gets this script's options.
// Every figure is a ratio against a baseline measured in the same run.
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.join(__dirname, '..');
const args = process.argv.slice(2);

if (args.includes('--help') || args.includes('-h')) {
  console.log(`usage: node tools/bench.js [--native-only] [end-to-end options]
       (after \`npm run compile\`; or simply \`npm run bench -- [options]\`)

Runs the native benchmarks in build/bench/*_bench, then the end-to-end suite
bench/e2e.js with the options given (--quick, --only PATTERN, --pairs N,
--json PATH, --md PATH, --socket PATH; see \`node bench/e2e.js --help\`).

  --native-only  run the native benchmarks alone`);
  process.exit(0);
}
const nativeOnly = args.includes('--native-only');
const e2eArgs = args.filter((a) => a !== '--native-only');

const dir = path.join(root, 'build', 'bench');
const benches = fs.existsSync(dir) ? fs.readdirSync(dir).filter((f) => f.endsWith('_bench')) : [];
if (benches.length === 0) {
  console.error('No benchmarks built; run `npm run compile` first.');
  process.exit(1);
}
let failed = 0;
for (const b of benches) {
  console.log(`== ${b}`);
  const r = spawnSync(path.join(dir, b), { stdio: 'inherit' });
  if (r.status !== 0) failed++;
}
if (!nativeOnly) {
  console.log('== end-to-end suite (bench/e2e.js)');
  const r = spawnSync(process.execPath, [path.join(root, 'bench', 'e2e.js'), ...e2eArgs], { stdio: 'inherit' });
  if (r.status !== 0) failed++;
}
process.exit(failed ? 1 : 0);
