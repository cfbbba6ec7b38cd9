'use strict';
// The end-to-end benchmark suite runs, exits 0 and writes the rows it was
// asked for.  Only the shape of its output is checked, never a time.  The
// suite runs on this test's own query socket (ZEL_QUERY_SOCKET).
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

require('./support/private_socket');
const { root, buildDir, modulePath } = require('./lib/paths');

let tmpDir;

before(async () => {
  tmpDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-bench-test-'));
});
after(async () => {
  if (tmpDir) fs.rmSync(tmpDir, { recursive: true, force: true });
});

// Runs bench/e2e.js with `args`; resolves to { code, out, json }.
function runSuite(name, args, env = {}) {
  const jsonPath = path.join(tmpDir, `${name}.json`);
  const mdPath = path.join(tmpDir, `${name}.md`);
  const child = spawn(process.execPath, [path.join(root, 'bench', 'e2e.js'), '--build', buildDir,
    '--json', jsonPath, '--md', mdPath, ...args], { env: { ...process.env, ...env } });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  const timer = setTimeout(() => child.kill('SIGKILL'), 240000);
  return new Promise((resolve) => {
    child.on('close', (code) => {
      clearTimeout(timer);
      const json = fs.existsSync(jsonPath) ? JSON.parse(fs.readFileSync(jsonPath, 'utf8')) : null;
      assert.ok(!json || fs.existsSync(mdPath), 'the Markdown table is written with the JSON');
      resolve({ code, out, json });
    });
  });
}

function byId(json) {
  return Object.fromEntries(json.rows.map((r) => [r.id, r]));
}

test('--help names the options and exits 0', async () => {
  const r = await runSuite('help', ['--help']);
  assert.equal(r.code, 0);
  for (const opt of ['--quick', '--only', '--json', '--pairs']) assert.match(r.out, new RegExp(opt));
});

test('a quick 200-byte run measures every contender it has', async () => {
  const r = await runSuite('quick', ['--quick', '--only', '^(limit|http|undici|relay)/200B', '--pairs', '2']);
  assert.equal(r.code, 0, r.out);
  const rows = byId(r.json);
  assert.deepEqual(Object.keys(rows).sort(),
    ['http/200B-plain', 'limit/200B-plain', 'relay/200B-gzip-inflated', 'relay/200B-plain', 'undici/200B-plain']);
  for (const id of ['limit/200B-plain', 'http/200B-plain']) {
    assert.equal(rows[id].status, 'ok', id);
    assert.equal(rows[id].pairs, 2);
    assert.ok(rows[id].ratio > 0);
  }
  assert.equal(rows['undici/200B-plain'].status, r.json.undici ? 'ok' : 'n/a');
  assert.equal(rows['relay/200B-plain'].status, r.json.relay ? 'ok' : 'n/a');
  assert.equal(rows['limit/200B-plain'].goal, 0.6);
  assert.equal(rows['relay/200B-plain'].goal, 0.6);
  assert.match(r.out, /limit\/200B-plain/, 'the table is printed');
});

test('the relay() rows measure latency, loop delay, batches and a slow appliance', async () => {
  const r = await runSuite('relay', ['--quick', '--only',
    '^(relay/200B-plain|relay-daemon/200B-plain|relay-undici/|loop/|loop16/|batch/64KiB|slow/)', '--pairs', '1'],
  { ZEL_MODULE_PATH: modulePath });
  assert.equal(r.code, 0, r.out);
  assert.equal(r.json.relay, true);
  const rows = byId(r.json);
  assert.deepEqual(Object.keys(rows).sort(),
    ['batch/64KiB-plain', 'loop/16MiB-plain', 'loop16/1MiB-plain', 'relay-daemon/200B-plain',
      'relay-undici/16MiB-plain', 'relay/200B-plain', 'slow/200B-plain']);
  for (const id of ['relay/200B-plain', 'relay-daemon/200B-plain', 'loop/16MiB-plain', 'loop16/1MiB-plain',
    'batch/64KiB-plain', 'slow/200B-plain']) {
    assert.equal(rows[id].status, 'ok', `${id}: ${rows[id].note}`);
  }
  assert.equal(rows['relay-undici/16MiB-plain'].status, r.json.undici ? 'ok' : 'n/a');
  assert.ok(rows['loop/16MiB-plain'].a.maxNs > 0 && rows['loop/16MiB-plain'].b.maxNs > 0);
  assert.deepEqual(rows['loop16/1MiB-plain'].goal, { maxMs: 10 });
  assert.equal(rows['slow/200B-plain'].goal, 8);
});

test('daemon_bench compares two daemon builds body by body', async () => {
  const { queryd } = require('./lib/paths');
  const child = spawn(process.execPath, [path.join(root, 'bench', 'daemon_bench.js'), queryd, queryd, '--quick',
    '--build', buildDir]);
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  const code = await new Promise((resolve) => child.on('close', resolve));
  assert.equal(code, 0, out);
  const rows = out.split('\n').filter((l) => /^\S+\s+tested\/baseline \d+\.\d\d /.test(l));
  assert.deepEqual(rows.map((l) => l.split(/\s+/)[0]),
    ['200B-plain', '64KiB-plain', '1MiB-plain', '16MiB-plain', '16MiB-gzip']);
});

test('bench/memory.js measures the paused relay and the argument copies', async () => {
  const child = spawn(process.execPath, [path.join(root, 'bench', 'memory.js'), '--quick', '--build', buildDir]);
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { out += d; });
  const code = await new Promise((resolve) => child.on('close', resolve));
  assert.equal(code, 0, out);
  const rows = out.split('\n').filter((l) => / MiB {2}\(bound \d+ MiB\)/.test(l));
  assert.deepEqual(rows.map((l) => l.split(/\s+/)[0]), ['node_zel_req', 'relay()'], out);
});
