'use strict';
// Loads the native module, in exactly one place for the whole package.  The
// file is built by `npm install` (or `npm run build`) into
// build/node_zel_mod.node; ZEL_MODULE_PATH points the loader at another
// build, such as a debug one.
const path = require('path');
const fs = require('fs');

const candidates = [
  process.env.ZEL_MODULE_PATH,
  path.join(__dirname, '..', 'build', 'node_zel_mod.node'),
].filter(Boolean);

function explain(file, err) {
  const lines = [`node-zel-mod: could not load the native module ${file}.`];
  if (err && err.code === 'MODULE_NOT_FOUND') {
    lines.push('The module has not been built. Run `npm install` (or `npm run build`) in ' + path.dirname(__dirname) + '.');
  } else if (err && /undefined symbol/.test(err.message)) {
    lines.push('The module needs a symbol this Node.js does not provide (zlib, OpenSSL or Node-API).',
      'It must be loaded by the Node.js it was built against; rebuild with `npm run build`.');
  } else if (err && /wrong ELF class|invalid ELF header/.test(err.message)) {
    lines.push('The file was built for another platform; rebuild it here with `npm run build`.');
  } else if (err && /did not self-register/.test(err.message)) {
    lines.push('The file is not a Node-API module of this package; rebuild it with `npm run build`.');
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
