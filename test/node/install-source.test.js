'use strict';
// Installing a tarball without a prebuilt module compiles the module from
// source, and changes nothing on the system: an apt-get or sudo first in PATH
// is never called.  The query daemon is compiled the first time
// `zel-queryd` runs.  A full compile of the module and the daemon: slow.
const { it, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('child_process');
const { once } = require('events');
const fs = require('fs');
const path = require('path');

const { cleanEnv, emptyProject, loadBothWays, npm, packTarball, tempDir } = require('./support/package');

const dir = tempDir('zel-src-');
after(() => fs.rmSync(dir, { recursive: true, force: true }));

const project = emptyProject(path.join(dir, 'project'));
const spy = path.join(dir, 'spy');
const calls = path.join(dir, 'calls.log');
fs.mkdirSync(spy);
for (const name of ['apt-get', 'apt', 'sudo']) {
  fs.writeFileSync(path.join(spy, name), `#!/bin/sh\necho "${name} $*" >> '${calls}'\nexit 1\n`, { mode: 0o755 });
}
const env = cleanEnv({ PATH: `${spy}:${process.env.PATH}` });

it('builds from source with the tools at hand and never calls apt-get or sudo', () => {
  const tarball = packTarball(dir, null);

  const r = npm(project, ['install', tarball], env);
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stderr, /node-zel-mod: compiling the module/);
  assert.equal(fs.existsSync(calls) ? fs.readFileSync(calls, 'utf8') : '', '');
  assert.ok(fs.existsSync(path.join(project, 'node_modules', 'node-zel-mod', 'build', 'Release', 'node_zel_mod.node')));
  assert.deepEqual(loadBothWays(project, env), { cjs: 'function', esm: 'function true' });
});

it('zel-queryd compiles the daemon on its first run, then runs it; signals reach the daemon', async () => {
  const launcher = path.join(project, 'node_modules', '.bin', 'zel-queryd');
  const built = spawnSync(launcher, ['--print-path'], { cwd: project, env, encoding: 'utf8', timeout: 30 * 60 * 1000 });
  assert.equal(built.status, 0, built.stderr);
  assert.match(built.stderr, /zel-queryd: compiling the daemon \(once\)/);
  const bin = built.stdout.trim();
  assert.equal(bin, path.join(fs.realpathSync(project), 'node_modules', 'node-zel-mod', 'build', 'tools', 'zel-queryd'));
  assert.equal(fs.existsSync(calls) ? fs.readFileSync(calls, 'utf8') : '', '');

  const sock = path.join(dir, 'q');
  const daemon = spawn(launcher, ['--socket', sock, '--fail', '2'], { cwd: project, env, stdio: ['ignore', 'ignore', 'pipe'] });
  let err = '';
  daemon.stderr.on('data', (d) => { err += d; });
  // 'close', not 'exit': the last lines are read by then.
  const exited = once(daemon, 'close');
  try {
    for (let i = 0; i < 500 && !err.includes('listening on'); i++) await new Promise((r) => setTimeout(r, 20));
    assert.ok(err.includes(`zel-queryd: listening on ${sock}`), err);
    assert.doesNotMatch(err, /compiling/, 'compiled once only');
    daemon.kill('SIGTERM');
    const [code] = await exited;
    assert.equal(code, 0, err);
    assert.equal(fs.existsSync(sock), false);
  } finally {
    // A failed wait leaves neither the launcher nor its daemon behind.
    if (daemon.exitCode === null && daemon.signalCode === null) {
      daemon.kill('SIGKILL');
      daemon.stderr.destroy();
    }
  }
});
