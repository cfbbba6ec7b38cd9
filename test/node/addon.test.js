'use strict';
// The script entry: loading, argument checks and messages, worker threads.
// (Whether argument copies outlive their calls is measured by
// bench/memory.js.)
const { test } = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
require('./support/private_socket');
const { modulePath } = require('./lib/paths');

const addon = require(modulePath);
const noop = () => {};
const texts = (n) => Array.from({ length: n }, () => '');

// Runs `body` in a fresh node with the module loaded as `m`; native messages
// go to file descriptor 1, so only a child process can see them.
function runChild(body) {
  const script = `const m = require(${JSON.stringify(modulePath)});\n${body}`;
  const r = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8' });
  assert.strictEqual(r.status, 0, r.stderr);
  return r.stdout;
}

test('exports exactly one function, node_zel_req', () => {
  assert.deepStrictEqual(Object.keys(addon), ['node_zel_req']);
  assert.strictEqual(typeof addon.node_zel_req, 'function');
});

test('the package exposes the module\'s node_zel_req, relay, createRelayHandler and filterResponseHeaders', () => {
  const out = spawnSync(process.execPath, ['-p', "JSON.stringify(Object.keys(require('./')))"], {
    encoding: 'utf8', env: { ...process.env, ZEL_MODULE_PATH: modulePath },
  });
  assert.strictEqual(out.stdout.trim(), '["node_zel_req","relay","createRelayHandler","filterResponseHeaders"]', out.stderr);
});

test('the package loader explains a module that is not built', () => {
  // The package's scripts alone, in a folder with no build/, no prebuilds/
  // and no node_modules/: the override names a missing file and nothing
  // else can be found.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-unbuilt-'));
  try {
    const root = path.join(__dirname, '..', '..');
    fs.copyFileSync(path.join(root, 'index.js'), path.join(dir, 'index.js'));
    fs.cpSync(path.join(root, 'lib'), path.join(dir, 'lib'), { recursive: true });
    const out = spawnSync(process.execPath, ['-e', "require('./')"], {
      cwd: dir, encoding: 'utf8', env: { ...process.env, ZEL_MODULE_PATH: path.join(dir, 'missing.node') },
    });
    assert.notEqual(out.status, 0);
    assert.match(out.stderr, /node-zel-mod: could not load the native module /);
    assert.match(out.stderr, /There is no prebuilt module for linux-\w+ and none was compiled\./);
    assert.match(out.stderr, /npm rebuild node-zel-mod/);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('the package loader explains a C library too old for the module', () => {
  // The module with its GLIBC_2.28 requirement rewritten to a version no C
  // library has: the dynamic loader refuses it as it would on an old system.
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-glibc-'));
  try {
    const bytes = fs.readFileSync(modulePath);
    const at = bytes.indexOf('GLIBC_2.28\0');
    assert.ok(at > 0, 'the module names GLIBC_2.28');
    bytes.write('GLIBC_9.28', at);
    const file = path.join(dir, 'node_zel_mod.node');
    fs.writeFileSync(file, bytes);
    const out = spawnSync(process.execPath, ['-e', "require('./')"], { encoding: 'utf8', env: { ...process.env, ZEL_MODULE_PATH: file } });
    assert.notEqual(out.status, 0);
    assert.match(out.stderr, /needs the GNU C library 9\.28 or later; this system has \d+\.\d+/);
    assert.match(out.stderr, /npm rebuild node-zel-mod/);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('fewer than eight arguments are refused with EINVAL', () => {
  for (const n of [0, 1, 7]) {
    assert.throws(() => addon.node_zel_req(...texts(n)), (err) => {
      assert.strictEqual(err.code, 'EINVAL');
      assert.strictEqual(err.message, `Number of parameters: ${n} does not match expected: 8`);
      return true;
    });
  }
  const out = runChild(`try { m.node_zel_req(1,2,3,4,5,6,7); } catch (e) { console.log('threw ' + e.code); }`);
  assert.strictEqual(out, 'Failed to parse arguments.\nthrew EINVAL\n');
});

test('a text argument of another type is refused, in any of the eight slots', () => {
  for (const bad of [5, true, {}, [], Symbol('s'), 10n, noop]) {
    for (let slot = 0; slot < 8; slot++) {
      const args = [...texts(8), noop, noop];
      args[slot] = bad;
      assert.throws(() => addon.node_zel_req(...args), (err) => {
        assert.strictEqual(err.code, 'EINVAL');
        assert.strictEqual(err.message, 'Tried to create string buffer from non-string napi_value.');
        return true;
      }, `slot ${slot}`);
    }
  }
});

test('undefined and null stand for the empty text; no serial chain gives undefined', () => {
  const urls = ['', '/', '/a', '/a/', '//a//', '/a?x=/b/S1:S2', undefined, null];
  for (const url of urls) {
    assert.strictEqual(addon.node_zel_req('GET', url, '/api', undefined, null, undefined, null, undefined, noop, noop), undefined);
  }
  // Eight arguments pass the count check; twelve are accepted and the extra ones ignored.
  assert.strictEqual(addon.node_zel_req('GET', '/a', ...texts(6)), undefined);
  assert.strictEqual(addon.node_zel_req('GET', '/a', ...texts(6), noop, noop, 1, 2), undefined);
});

test('a serial chain without ":" composes nothing and calls no callback', () => {
  let called = 0;
  const cb = () => { called++; };
  assert.strictEqual(addon.node_zel_req('GET', '/a/S1/x', '/api', 'gzip', 'admin', 'p', '1', '', cb, cb), undefined);
  assert.strictEqual(called, 0);
});

test('loads and works inside worker threads', async () => {
  const src = `
    const { parentPort, workerData } = require('worker_threads');
    const m = require(workerData);
    let code;
    try { m.node_zel_req('GET'); } catch (e) { code = e.code; }
    parentPort.postMessage({ keys: Object.keys(m), code, r: m.node_zel_req('GET', '/a', '', '', '', '', '', '', () => {}, () => {}) });`;
  const results = await Promise.all([1, 2].map(() => new Promise((resolve, reject) => {
    const w = new Worker(src, { eval: true, workerData: modulePath });
    w.once('message', resolve);
    w.once('error', reject);
  })));
  for (const r of results) assert.deepStrictEqual(r, { keys: ['node_zel_req'], code: 'EINVAL', r: undefined });
});
