#!/usr/bin/env node
'use strict';
// Runs every benchmark the build made (build/bench/*_bench).  Each prints its
// results as ratios against a baseline measured in the same run.
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

if (process.argv.includes('--help')) {
  console.log('usage: node tools/bench.js   (after `npm run compile`; or simply `npm run bench`)');
  process.exit(0);
}
const dir = path.join(__dirname, '..', 'build', 'bench');
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
process.exit(failed ? 1 : 0);
