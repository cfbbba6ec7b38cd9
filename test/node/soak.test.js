'use strict';
// The soak at 1,000 calls: every response shape and failure, one process.
// After warm-up the descriptors must not grow and resident memory must stay
// within a generous bound.  The soak runs on a query socket of its own.
const { it } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const path = require('path');

const MiB = 1024 * 1024;

it('1,000 calls leave descriptors and memory where warm-up left them', () => {
  const r = spawnSync(process.execPath, [path.join(__dirname, '..', '..', 'bench', 'soak.js'), '--calls', '1000', '--json'],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'], maxBuffer: 16 * MiB });
  const lines = r.stdout.trim().split('\n');
  let report;
  assert.doesNotThrow(() => { report = JSON.parse(lines[lines.length - 1]); }, `no report from the soak:\n${r.stdout}`);
  assert.deepEqual(report.mismatches, [], 'calls whose result differs from their shape');
  assert.ok(report.calls >= 1000 && report.shapes >= 20, `${report.calls} calls over ${report.shapes} shapes`);
  assert.ok(report.middle.fds <= report.start.fds && report.end.fds <= report.start.fds,
    `descriptors grew: ${report.start.fds} after warm-up, ${report.middle.fds} middle, ${report.end.fds} end`);
  const growth = report.end.rss - report.start.rss;
  assert.ok(growth < 8 * MiB, `resident memory grew by ${(growth / MiB).toFixed(1)} MiB after warm-up`);
  assert.equal(r.status, 0, r.stdout);
});
