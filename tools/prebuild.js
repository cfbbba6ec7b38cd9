#!/usr/bin/env node
'use strict';
// `npm run prebuild`: compiles the module for this platform and puts it where
// node-gyp-build looks for a prebuilt one, prebuilds/<platform>-<arch>/, so
// that `npm pack` ships it and installing the package compiles nothing.
//
// One file serves every Node with Node-API 8: the module calls only Node-API
// and the zlib and OpenSSL functions that every Node exports.  It is tagged
// "napi" (any Node ABI) and with the C library it was linked against, so a
// musl system (Alpine) compiles its own instead of loading a glibc one.
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');

// Where the prebuilt module for this platform goes.
function prebuildFile(base = root) {
  const libc = fs.existsSync('/etc/alpine-release') ? 'musl' : 'glibc';
  return path.join(base, 'prebuilds', `${process.platform}-${process.arch}`, `node_zel_mod.napi.${libc}.node`);
}

function main() {
  if (process.argv.includes('--help') || process.argv.includes('-h')) {
    console.log(`usage: npm run prebuild   (node tools/prebuild.js)

Compiles the module (Release, module only) into build-prebuild/ and copies it
to ${path.relative(root, prebuildFile())}.
Needs CMake and a C++ compiler; installs nothing.`);
    return;
  }
  const buildDir = path.join(root, 'build-prebuild');
  const b = spawnSync(process.execPath, [path.join(__dirname, 'build.js'), '--consumer', '--build-dir', buildDir],
    { stdio: 'inherit', cwd: root });
  if (b.status !== 0) process.exit(b.status === null ? 1 : b.status);

  const dest = prebuildFile();
  fs.mkdirSync(path.dirname(dest), { recursive: true });
  fs.copyFileSync(path.join(buildDir, 'node_zel_mod.node'), dest + '.tmp');
  fs.renameSync(dest + '.tmp', dest);
  const probe = spawnSync(process.execPath, ['-e', `require(${JSON.stringify(dest)}).node_zel_req.call`],
    { stdio: 'inherit' });
  if (probe.status !== 0) {
    console.error(`prebuild: ${dest} does not load into this Node`);
    process.exit(1);
  }
  console.log(`prebuild: ${path.relative(root, dest)}`);
}

if (require.main === module) main();

module.exports = { prebuildFile };
