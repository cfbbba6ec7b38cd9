#!/usr/bin/env node
'use strict';
// The package's install script: what runs when a project installs (or
// rebuilds) node-zel-mod.
//
// A module that node-gyp-build finds for this platform (a prebuilt one under
// prebuilds/, or an earlier build in build/Release/) and that loads into this
// Node is used as it is: nothing is compiled and no compiler is needed.
// Otherwise the module is compiled from source with CMake.  `npm rebuild` and
// --build-from-source always compile.  Nothing here installs anything on the
// system: without a compiler or CMake the build stops and names the packages.
const { spawnSync } = require('child_process');
const path = require('path');

const root = path.resolve(__dirname, '..');

if (process.argv.includes('--help') || process.argv.includes('-h')) {
  console.log(`usage: node tools/install.js [--build-from-source]

Uses a prebuilt or already built module that loads into this Node, else
compiles the module into build/ (needs CMake and a C++ compiler; installs
nothing). \`npm rebuild\`, --build-from-source and the npm option
build-from-source (npm_config_build_from_source=true) always compile.`);
  process.exit(0);
}

const rebuild = process.env.npm_command === 'rebuild' ||
  process.env.npm_config_build_from_source === 'true' ||
  process.argv.includes('--build-from-source');

// Returns null when `file` loads into a fresh node and has the entry point,
// else why it does not (the loader's first line: a C library too old for a
// prebuilt module, another platform, a broken file), and it is compiled over.
function whyNotLoading(file) {
  const probe = `if (typeof require(${JSON.stringify(file)}).node_zel_req !== 'function') process.exit(1)`;
  const r = spawnSync(process.execPath, ['-e', probe],
    { stdio: ['ignore', 'ignore', 'pipe'], encoding: 'utf8', env: { ...process.env, ZEL_QUIET: '1' } });
  if (r.status === 0) return null;
  const line = (r.stderr || '').split('\n').find((l) => /^Error: /.test(l));
  return line ? line.replace(/^Error: /, '') : 'it has no node_zel_req';
}

if (!rebuild) {
  let found = null;
  try {
    found = require('node-gyp-build').path(root);
  } catch {
    // no prebuild for this platform and nothing built yet
  }
  const why = found && whyNotLoading(found);
  if (found && !why) {
    console.error(`node-zel-mod: using ${path.relative(root, found)}`);
    process.exit(0);
  }
  if (found) console.error(`node-zel-mod: ${path.relative(root, found)} does not load into this Node (${why}); compiling`);
}

const args = [path.join(__dirname, 'build.js'), '--consumer'];
if (rebuild) args.push('--fresh');
const r = spawnSync(process.execPath, args, { stdio: 'inherit', cwd: root });
process.exit(r.status === null ? 1 : r.status);
