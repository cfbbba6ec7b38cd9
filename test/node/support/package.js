'use strict';
// Packing the package and installing the tarball into an empty project, the
// way a user of node-zel-mod gets it.  The dependencies come from npm's cache
// when they are there (a checkout's `npm install` put them there).
const { execFileSync, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const { root } = require('../lib/paths');

const npmCli = fs.realpathSync(execFileSync('sh', ['-c', 'command -v npm'], { encoding: 'utf8' }).trim());

// The environment of a user's shell: nothing from this test run (module and
// build paths, an outer npm's settings) leaks into the install.
function cleanEnv(extra = {}) {
  const env = {};
  for (const [k, v] of Object.entries(process.env)) {
    if (!/^(npm_|ZEL_)/i.test(k)) env[k] = v;
  }
  return { ...env, ...extra };
}

// A directory with `node` and `sh` alone: PATH for a machine without a
// compiler, CMake or make.
function bareBin(dir) {
  fs.mkdirSync(dir, { recursive: true });
  fs.symlinkSync(process.execPath, path.join(dir, 'node'));
  fs.symlinkSync('/bin/sh', path.join(dir, 'sh'));
  return dir;
}

// Packs the package's files into a tarball in `dir`; `prebuilt`, when given,
// is shipped as the prebuilt module for this platform.  Returns its path.
function packTarball(dir, prebuilt) {
  const stage = path.join(dir, 'stage');
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  fs.mkdirSync(stage, { recursive: true });
  fs.copyFileSync(path.join(root, 'package.json'), path.join(stage, 'package.json'));
  for (const entry of pkg.files) {
    const name = entry.replace(/\/$/, '');
    if (name === 'prebuilds' || !fs.existsSync(path.join(root, name))) continue;
    fs.cpSync(path.join(root, name), path.join(stage, name), { recursive: true });
  }
  if (prebuilt) {
    const { prebuildFile } = require('../../../tools/prebuild');
    const dest = prebuildFile(stage);
    fs.mkdirSync(path.dirname(dest), { recursive: true });
    fs.copyFileSync(prebuilt, dest);
  }
  const r = spawnSync(process.execPath, [npmCli, 'pack', '--pack-destination', dir, '--json'],
    { cwd: stage, encoding: 'utf8', env: cleanEnv() });
  if (r.status !== 0) throw new Error(`npm pack failed:\n${r.stderr}`);
  return path.join(dir, JSON.parse(r.stdout)[0].filename);
}

// An empty project in `dir`.
function emptyProject(dir) {
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'package.json'), JSON.stringify({ name: 'consumer', version: '1.0.0', private: true }));
  return dir;
}

// Runs npm in `cwd` with the install scripts' output on the returned stderr.
function npm(cwd, args, env) {
  return spawnSync(process.execPath, [npmCli, ...args, '--foreground-scripts', '--no-audit', '--no-fund', '--prefer-offline'],
    { cwd, encoding: 'utf8', env, timeout: 30 * 60 * 1000 });
}

// Loads the installed package in `project` with require and with import;
// returns what each saw of node_zel_req.
function loadBothWays(project, env) {
  const cjs = spawnSync(process.execPath, ['-p', "typeof require('node-zel-mod').node_zel_req"],
    { cwd: project, encoding: 'utf8', env });
  const esm = spawnSync(process.execPath, ['--input-type=module', '-e',
    "import def, { node_zel_req } from 'node-zel-mod'; console.log(typeof node_zel_req, node_zel_req === def.node_zel_req)"],
  { cwd: project, encoding: 'utf8', env });
  return { cjs: cjs.stdout.trim() || cjs.stderr, esm: esm.stdout.trim() || esm.stderr };
}

const tempDir = (prefix) => fs.mkdtempSync(path.join(os.tmpdir(), prefix));

module.exports = { bareBin, cleanEnv, emptyProject, loadBothWays, npm, packTarball, tempDir };
