'use strict';
// The package as its users get it: entry points for require and import, and a
// tarball with a prebuilt module installed on a machine without build tools.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');

const { modulePath, root } = require('./lib/paths');
const { bareBin, cleanEnv, emptyProject, loadBothWays, npm, packTarball, tempDir } = require('./support/package');

describe('entry points', () => {
  it('import gives the same functions as require, as named and default exports', async () => {
    process.env.ZEL_MODULE_PATH = modulePath;
    // Through the package's own name, so the exports map is what resolves it.
    const esm = await import('node-zel-mod');
    const cjs = require('node-zel-mod');
    assert.equal(typeof esm.node_zel_req, 'function');
    assert.equal(esm.node_zel_req, cjs.node_zel_req);
    for (const name of ['relay', 'createRelayHandler', 'filterResponseHeaders']) {
      assert.equal(typeof esm[name], 'function', name);
      assert.equal(esm[name], cjs[name], name);
    }
    assert.equal(esm.default, cjs);
  });

  it('the exports map names a file and types for each condition', () => {
    const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
    for (const cond of ['import', 'require']) {
      for (const [, file] of Object.entries(pkg.exports['.'][cond])) {
        assert.ok(fs.existsSync(path.join(root, file)), `${cond}: ${file}`);
        assert.ok(pkg.files.includes(file.slice(2)), `${file} is packed`);
      }
    }
    assert.equal(pkg.cpu, undefined);
    assert.deepEqual(pkg.binary.napi_versions, [8]);
  });
});

describe('a tarball with a prebuilt module', () => {
  let dir, tarball, project, env;
  before(() => {
    dir = tempDir('zel-pkg-');
    tarball = packTarball(dir, modulePath);
    project = emptyProject(path.join(dir, 'project'));
    env = cleanEnv({ PATH: bareBin(path.join(dir, 'bin')) });
  });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  it('installs without a compiler or CMake and loads with require and import', () => {
    const r = npm(project, ['install', tarball], env);
    assert.equal(r.status, 0, r.stderr);
    assert.match(r.stderr, /node-zel-mod: using prebuilds\//);
    assert.equal(fs.existsSync(path.join(project, 'node_modules', 'node-zel-mod', 'build')), false, 'nothing compiled');
    assert.deepEqual(loadBothWays(project, env), { cjs: 'function', esm: 'function true' });
  });

  it('npm rebuild compiles, and without build tools names the packages to install', () => {
    const r = npm(project, ['rebuild', 'node-zel-mod'], env);
    assert.notEqual(r.status, 0);
    assert.match(r.stderr, /missing CMake, a C and C\+\+ compiler, make/);
    assert.match(r.stderr, /apt-get install cmake g\+\+ make/);
    assert.match(r.stderr, /apk add cmake g\+\+ make/);
    assert.match(r.stderr, /dnf install cmake gcc-c\+\+ make/);
    assert.match(r.stderr, /then run `npm rebuild node-zel-mod` again/);
  });
});

describe('a tarball without a prebuilt module', () => {
  let dir, tarball;
  before(() => {
    dir = tempDir('zel-pkg-');
    tarball = packTarball(dir, null);
  });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  it('stops on a machine without build tools and says what to install', () => {
    const project = emptyProject(path.join(dir, 'project'));
    const r = npm(project, ['install', tarball], cleanEnv({ PATH: bareBin(path.join(dir, 'bin')) }));
    assert.notEqual(r.status, 0);
    assert.match(r.stderr, /no prebuilt module for linux-\w+ and it cannot be compiled here/);
    assert.match(r.stderr, /apt-get install cmake g\+\+ make/);
    // npm rolled the install back: only running the install again helps.
    assert.match(r.stderr, /then run the same `npm install` \(or `npm ci`\) again/);
    assert.equal(fs.existsSync(path.join(project, 'node_modules', 'node-zel-mod')), false);
  });
});
