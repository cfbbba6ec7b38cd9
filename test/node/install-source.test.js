'use strict';
// Installing a tarball without a prebuilt module compiles the module from
// source, and changes nothing on the system: an apt-get or sudo first in PATH
// is never called.  A full compile of the module: slow.
const { it, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');

const { cleanEnv, emptyProject, loadBothWays, npm, packTarball, tempDir } = require('./support/package');

const dir = tempDir('zel-src-');
after(() => fs.rmSync(dir, { recursive: true, force: true }));

it('builds from source with the tools at hand and never calls apt-get or sudo', () => {
  const tarball = packTarball(dir, null);
  const project = emptyProject(path.join(dir, 'project'));
  const spy = path.join(dir, 'spy');
  const calls = path.join(dir, 'calls.log');
  fs.mkdirSync(spy);
  for (const name of ['apt-get', 'apt', 'sudo']) {
    fs.writeFileSync(path.join(spy, name), `#!/bin/sh\necho "${name} $*" >> '${calls}'\nexit 1\n`, { mode: 0o755 });
  }
  const env = cleanEnv({ PATH: `${spy}:${process.env.PATH}` });

  const r = npm(project, ['install', tarball], env);
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stderr, /node-zel-mod: compiling the module/);
  assert.equal(fs.existsSync(calls) ? fs.readFileSync(calls, 'utf8') : '', '');
  assert.ok(fs.existsSync(path.join(project, 'node_modules', 'node-zel-mod', 'build', 'Release', 'node_zel_mod.node')));
  assert.deepEqual(loadBothWays(project, env), { cjs: 'function', esm: 'function true' });
});
