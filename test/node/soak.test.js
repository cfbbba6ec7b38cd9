'use strict';
// The soak at 1,000 calls: every response shape and failure, one process.
// After warm-up the descriptors must not grow.  (The soak also reports
// resident memory, which only a reader can judge: see bench/soak.js.)  The
// soak runs on a query socket of its own.
const { it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const path = require('path');

const MiB = 1024 * 1024;

it('1,000 calls give each shape its result and leave descriptors where warm-up left them', () => {
  const r = spawnSync(process.execPath, [path.join(__dirname, '..', '..', 'bench', 'soak.js'), '--calls', '1000', '--json'],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'], maxBuffer: 16 * MiB });
  const lines = r.stdout.trim().split('\n');
  let report;
  assert.doesNotThrow(() => { report = JSON.parse(lines[lines.length - 1]); }, `no report from the soak:\n${r.stdout}`);
  assert.deepEqual(report.mismatches, [], 'calls whose result differs from their shape');
  assert.ok(report.calls >= 1000 && report.shapes >= 20, `${report.calls} calls over ${report.shapes} shapes`);
  assert.ok(report.middle.fds <= report.start.fds && report.end.fds <= report.start.fds,
    `descriptors grew: ${report.start.fds} after warm-up, ${report.middle.fds} middle, ${report.end.fds} end`);
  assert.equal(r.status, 0, r.stdout);
});
