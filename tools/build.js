#!/usr/bin/env node
'use strict';
// Builds the addon, the reference daemon and the tests with CMake, and runs
// the tests with CTest.
//
// In a checkout (`npm test`, `npm start`, `npm run compile`) it first installs
// what building and testing need when it is missing: the Debian packages
// (tools/ensure-deps.sh, saying what it installs) and the package's npm
// dependencies.  With --consumer (the package's install script, on someone
// else's machine) it changes nothing on the system: it builds the module alone
// and, when the tools for that are missing, stops and names them.
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const root = path.resolve(__dirname, '..');

const USAGE = `usage: node tools/build.js [options]

  --test          run every test with CTest after building
  --sanitize      build into build-asan/ with AddressSanitizer and UBSan and run
                  the native tests there
  --if-missing    do nothing when build/node_zel_mod.node and the daemon exist
  --debug         build without optimisation (CMAKE_BUILD_TYPE=Debug)
  --consumer      build the module alone (Release) into build/, installing
                  nothing: what \`npm install\` of the package does without a
                  prebuilt module; stops with the packages to install when a
                  compiler or CMake is missing
  --daemon        with --consumer: build the query daemon zel-queryd instead
                  of the module (needs the system's OpenSSL headers too)
  --fresh         configure from scratch and recompile everything
  --build-dir DIR build there instead of build/ (with --consumer)
  --help          this text`;

function parseArgs(argv) {
  const o = { buildDir: null };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--help' || a === '-h') o.help = true;
    else if (a === '--test') o.test = true;
    else if (a === '--sanitize') o.sanitize = true;
    else if (a === '--if-missing') o.ifMissing = true;
    else if (a === '--debug') o.debug = true;
    else if (a === '--consumer') o.consumer = true;
    else if (a === '--daemon') o.daemon = true;
    else if (a === '--fresh') o.fresh = true;
    else if (a === '--build-dir' && i + 1 < argv.length) o.buildDir = path.resolve(argv[++i]);
    else {
      console.error(`build.js: unknown option ${a}\n\n${USAGE}`);
      process.exit(2);
    }
  }
  return o;
}

function run(cmd, argv, opts = {}) {
  const r = spawnSync(cmd, argv, { stdio: 'inherit', cwd: root, ...opts });
  if (r.error) {
    console.error(`${cmd}: ${r.error.message}`);
    process.exit(1);
  }
  if (r.status !== 0) process.exit(r.status === null ? 1 : r.status);
}

function onPath(name) {
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    if (!dir) continue;
    try {
      fs.accessSync(path.join(dir, name), fs.constants.X_OK);
      return true;
    } catch {
      // not in this directory
    }
  }
  return false;
}

// The include directory that ships with the running Node, or null.
function nodeIncludeDir() {
  const dir = path.join(path.dirname(fs.realpathSync(process.execPath)), '..', 'include', 'node');
  return fs.existsSync(path.join(dir, 'node_api.h')) ? dir : null;
}

// What a module-only build needs (with `daemon`, what the daemon's build
// needs), as the package names of three families of distributions.  Empty
// when everything is there.
function missingBuildTools({ daemon = false } = {}) {
  const missing = [];
  const cxx = process.env.CXX ? process.env.CXX.split(' ')[0] : null;
  if (!onPath('cmake')) missing.push({ what: 'CMake', deb: 'cmake', apk: 'cmake', dnf: 'cmake' });
  if (!(cxx ? onPath(cxx) || fs.existsSync(cxx) : onPath('c++') || onPath('g++')) || !(onPath('cc') || onPath('gcc'))) {
    missing.push({ what: 'a C and C++ compiler', deb: 'g++', apk: 'g++', dnf: 'gcc-c++' });
  }
  if (!onPath('make') && !onPath('ninja')) missing.push({ what: 'make', deb: 'make', apk: 'make', dnf: 'make' });
  const inc = nodeIncludeDir();
  // The module takes zlib and OpenSSL from the hosting Node; the daemon links
  // the system's libcrypto and needs its headers.
  const has = (h) => (!daemon && inc && fs.existsSync(path.join(inc, h))) || fs.existsSync(path.join('/usr/include', h));
  if (!daemon && !has('zlib.h')) missing.push({ what: 'zlib headers', deb: 'zlib1g-dev', apk: 'zlib-dev', dnf: 'zlib-devel' });
  if (!has('openssl/md5.h')) {
    missing.push({ what: 'OpenSSL headers', deb: 'libssl-dev', apk: 'openssl-dev', dnf: 'openssl-devel' });
  }
  return missing;
}

// The command to run again once the missing packages are there.  After a
// failed `npm install` npm has rolled the package back, so `npm rebuild`
// would find nothing to build: the install itself must run again.
function retryHint(env = process.env) {
  if (env.npm_command === 'rebuild') return 'run `npm rebuild node-zel-mod` again';
  if (env.npm_lifecycle_event === 'install') {
    return 'run the same `npm install` (or `npm ci`) again (npm removed the package when its install failed, ' +
      'so `npm rebuild` would find nothing to build)';
  }
  return 'run the same command again';
}

function explainMissing(missing, { daemon = false } = {}) {
  const list = (key) => missing.map((m) => m[key]).join(' ');
  const tuple = `${process.platform}-${process.arch}`;
  return [
    daemon ? 'node-zel-mod: the query daemon zel-queryd cannot be compiled here:'
      : `node-zel-mod: there is no prebuilt module for ${tuple} and it cannot be compiled here:`,
    `missing ${missing.map((m) => m.what).join(', ')}.`,
    `Install them, then ${retryHint()}:`,
    `  Debian, Ubuntu:  apt-get install ${list('deb')}`,
    `  Alpine:          apk add ${list('apk')} linux-headers`,
    `  Fedora:          dnf install ${list('dnf')}`,
  ].join('\n');
}

// In a checkout the loader and the header fallback come from node_modules,
// and the tests use the development dependencies (Express, TypeScript,
// undici); a fresh clone has none until they are installed, and a checkout
// installed before a dependency was added lacks that one.  A failure here is
// not fatal: the build can do without them.
function ensureNpmDeps() {
  const pkg = require(path.join(root, 'package.json'));
  const deps = [...Object.keys(pkg.dependencies || {}), ...Object.keys(pkg.devDependencies || {})];
  const absent = deps.filter((d) => !fs.existsSync(path.join(root, 'node_modules', d, 'package.json')));
  if (absent.length === 0) return;
  console.error(`Installing missing npm dependencies: ${absent.join(' ')}`);
  const npm = process.platform === 'win32' ? 'npm.cmd' : 'npm';
  const r = spawnSync(npm, ['install', '--ignore-scripts', '--no-audit', '--no-fund', '--prefer-offline'],
    { stdio: ['ignore', 'ignore', 'inherit'], cwd: root });
  if (r.status !== 0) console.error('npm install failed; going on without the npm dependencies');
}

function main() {
  const o = parseArgs(process.argv.slice(2));
  if (o.help) {
    console.log(USAGE);
    return;
  }
  const buildDir = o.buildDir || path.join(root, o.sanitize ? 'build-asan' : 'build');

  if (o.consumer) {
    const missing = missingBuildTools({ daemon: o.daemon });
    if (missing.length) {
      console.error(explainMissing(missing, { daemon: o.daemon }));
      process.exit(1);
    }
    if (o.fresh) {
      fs.rmSync(path.join(buildDir, 'CMakeCache.txt'), { force: true });
      fs.rmSync(path.join(buildDir, 'CMakeFiles'), { recursive: true, force: true });
    }
    const target = o.daemon ? 'zel-queryd' : 'node_zel_mod';
    console.error(`node-zel-mod: compiling ${o.daemon ? 'the query daemon' : 'the module'} into ${buildDir}`);
    // Warnings stay warnings here: a user's compiler may warn where ours does
    // not (GCC 12 at -O3 sees overlaps in std::string that are not there),
    // and that must not fail an install.  Checkouts and CI keep -Werror.
    const configure = ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release', '-DZEL_BUILD_TESTS=OFF',
      '-DZEL_WERROR=OFF'];
    // A machine with Ninja and no make; the generator is fixed at the first configuration.
    if (!onPath('make') && !fs.existsSync(path.join(buildDir, 'CMakeCache.txt'))) configure.push('-G', 'Ninja');
    run('cmake', configure);
    run('cmake', ['--build', buildDir, '--target', target, '--parallel', String(Math.max(2, os.cpus().length))]);
    return;
  }

  if (o.ifMissing && !o.sanitize &&
      fs.existsSync(path.join(buildDir, 'node_zel_mod.node')) &&
      fs.existsSync(path.join(buildDir, 'tools', 'zel-queryd'))) {
    return;
  }

  run('bash', [path.join(root, 'tools', 'ensure-deps.sh')]);
  ensureNpmDeps();

  // `npm start` needs only the module and the daemon; every other use builds
  // the tests too.
  if (o.fresh) fs.rmSync(path.join(buildDir, 'CMakeCache.txt'), { force: true });
  const configure = ['-S', root, '-B', buildDir,
    `-DCMAKE_BUILD_TYPE=${o.debug ? 'Debug' : 'RelWithDebInfo'}`,
    `-DZEL_BUILD_TESTS=${o.ifMissing ? 'OFF' : 'ON'}`,
    // Explicit: an install in this checkout (--consumer) caches it OFF in the same folder.
    '-DZEL_WERROR=ON'];
  if (o.sanitize) configure.push('-DZEL_SANITIZE=ON');
  run('cmake', configure);
  run('cmake', ['--build', buildDir, '--parallel', String(Math.max(2, os.cpus().length))]);

  if (o.test || o.sanitize) {
    const ctest = ['--test-dir', buildDir, '--output-on-failure', '--parallel', '2'];
    run('ctest', ctest, {
      env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=1:abort_on_error=0', UBSAN_OPTIONS: 'print_stacktrace=1' },
    });
  }
}

if (require.main === module) main();

module.exports = { missingBuildTools, explainMissing, retryHint, nodeIncludeDir };
