'use strict';
// Loads the native module, in exactly one place for the whole package.
// node-gyp-build picks it the way Node users know
// from other native packages: a build in build/Release/ (compiled by
// `npm install` where no prebuilt module fits, or by `npm run compile` in a
// checkout), else the prebuilt module for this platform under prebuilds/.
// ZEL_MODULE_PATH points the loader at another file, such as a debug build.
const path = require('path');
const fs = require('fs');

const root = path.join(__dirname, '..');

// The file node-gyp-build would load, or null.  Without node-gyp-build (a
// checkout whose npm dependencies are not installed) the compiled module is
// looked up where the build puts it.
function locate() {
  let gyp = null;
  try {
    gyp = require('node-gyp-build');
  } catch {
    // fall through to the build directory
  }
  if (gyp) {
    try {
      return gyp.path(root);
    } catch {
      return null;
    }
  }
  return [path.join(root, 'build', 'Release', 'node_zel_mod.node'), path.join(root, 'build', 'node_zel_mod.node')]
    .find((f) => fs.existsSync(f)) || null;
}

const candidates = [
  process.env.ZEL_MODULE_PATH,
  locate() || path.join(root, 'build', 'Release', 'node_zel_mod.node'),
].filter(Boolean);

// The C library version this process runs on, e.g. "2.36", or null.
function glibcVersion() {
  try {
    return process.report.getReport().header.glibcVersionRuntime || null;
  } catch {
    return null;
  }
}

function explain(file, err) {
  const lines = [`node-zel-mod: could not load the native module ${file}.`];
  const glibc = err && /version [`']GLIBC_([\d.]+)' not found/.exec(err.message);
  if (glibc) {
    const have = glibcVersion();
    lines.push(`The module needs the GNU C library ${glibc[1]} or later; this system has ${have || 'an older one'}.`,
      'Compile one for this system with `npm rebuild node-zel-mod` (needs CMake, make and a C++ compiler);',
      'installing the package does that by itself when the prebuilt module does not load.');
  } else if (err && err.code === 'MODULE_NOT_FOUND') {
    lines.push(`There is no prebuilt module for ${process.platform}-${process.arch} and none was compiled.`,
      'Run `npm rebuild node-zel-mod` (needs CMake and a C++ compiler; in a checkout: `npm run compile`).');
  } else if (err && /undefined symbol/.test(err.message)) {
    lines.push('The module needs a symbol this Node.js does not provide (zlib, OpenSSL or Node-API).',
      'It must be loaded by a Node.js with Node-API 8; rebuild with `npm rebuild node-zel-mod`.');
  } else if (err && /wrong ELF class|invalid ELF header/.test(err.message)) {
    lines.push('The file was built for another platform; rebuild it here with `npm rebuild node-zel-mod`.');
  } else if (err && /did not self-register/.test(err.message)) {
    lines.push('The file is not a Node-API module of this package; rebuild it with `npm rebuild node-zel-mod`.');
  }
  if (process.platform !== 'linux') {
    lines.push(`The module runs on Linux only (this is ${process.platform}).`);
  }
  lines.push(`Cause: ${err ? err.message : 'unknown'}`);
  return lines.join('\n');
}

let binding;
let lastErr;
for (const file of candidates) {
  if (!fs.existsSync(file)) {
    lastErr = Object.assign(new Error(`Cannot find module '${file}'`), { code: 'MODULE_NOT_FOUND' });
    continue;
  }
  try {
    binding = require(file);
    break;
  } catch (err) {
    const e = new Error(explain(file, err));
    e.cause = err;
    throw e;
  }
}
if (!binding) {
  const e = new Error(explain(candidates[candidates.length - 1], lastErr));
  e.cause = lastErr;
  throw e;
}

module.exports = binding;
