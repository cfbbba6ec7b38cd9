#!/usr/bin/env node
'use strict';
// Builds the addon, the reference daemon and the tests with CMake, and runs
// the tests with CTest.  Used by `npm install`, `npm test` and `npm start`.
//
//   node tools/build.js            configure (once) and build into build/
//   node tools/build.js --test     ... then run every test
//   node tools/build.js --sanitize build into build-asan/ with ASan+UBSan and
//                                  run the native tests
//   node tools/build.js --if-missing  build only when the module is missing
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');
const args = new Set(process.argv.slice(2));

if (args.has('--help') || args.has('-h')) {
  console.log(`usage: node tools/build.js [--test] [--sanitize] [--if-missing] [--debug]

  --test        run every test with CTest after building
  --sanitize    build into build-asan/ with AddressSanitizer and UBSan and run
                the native tests there
  --if-missing  do nothing when build/node_zel_mod.node and the daemon exist
  --debug       build without optimisation (CMAKE_BUILD_TYPE=Debug)`);
  process.exit(0);
}

function run(cmd, argv, opts = {}) {
  const r = spawnSync(cmd, argv, { stdio: 'inherit', cwd: root, ...opts });
  if (r.error) {
    console.error(`${cmd}: ${r.error.message}`);
    process.exit(1);
  }
  if (r.status !== 0) process.exit(r.status === null ? 1 : r.status);
}

const sanitize = args.has('--sanitize');
const buildDir = path.join(root, sanitize ? 'build-asan' : 'build');

if (args.has('--if-missing') && !sanitize &&
    fs.existsSync(path.join(buildDir, 'node_zel_mod.node')) &&
    fs.existsSync(path.join(buildDir, 'tools', 'zel-queryd'))) {
  process.exit(0);
}

run('bash', [path.join(root, 'tools', 'ensure-deps.sh')]);

// `npm install` and `npm start` need only the module and the daemon; every
// other use builds the tests too.
const configure = ['-S', root, '-B', buildDir,
  `-DCMAKE_BUILD_TYPE=${args.has('--debug') ? 'Debug' : 'RelWithDebInfo'}`,
  `-DZEL_BUILD_TESTS=${args.has('--if-missing') ? 'OFF' : 'ON'}`];
if (sanitize) configure.push('-DZEL_SANITIZE=ON');
run('cmake', configure);
run('cmake', ['--build', buildDir, '--parallel', String(Math.max(2, require('os').cpus().length))]);

if (args.has('--test') || sanitize) {
  const ctest = ['--test-dir', buildDir, '--output-on-failure', '--parallel', '2'];
  run('ctest', ctest, {
    env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=1:abort_on_error=0', UBSAN_OPTIONS: 'print_stacktrace=1' },
  });
}
