#!/usr/bin/env node
'use strict';
// `npx zel-queryd [options]`: the reference query daemon for a project that
// installed node-zel-mod.  The daemon is a native program, compiled from the
// package's sources the first time it is needed (into the package's build/
// folder), then run with the given options.  Signals are passed on, so
// Ctrl-C, SIGTERM and SIGHUP (re-read the routes) reach the daemon, and the
// launcher exits as the daemon did.
//
// For a service, install the binary itself (`--print-path` says where it is)
// and run that, without Node in between.
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');

const USAGE = `usage: zel-queryd [daemon options]   compile the daemon if needed, then run it
       zel-queryd --print-path          compile it if needed and print its path
       zel-queryd --help                this text and the daemon's options

The first run compiles zel-queryd into ${path.join(root, 'build')} (needs CMake,
make, a C++ compiler and the OpenSSL headers: Debian \`apt-get install cmake
g++ make libssl-dev\`). ZEL_QUERYD_PATH names another binary to run.`;

// The daemon binary: $ZEL_QUERYD_PATH, else the package's own build.
function binaryPath() {
  return process.env.ZEL_QUERYD_PATH || path.join(root, 'build', 'tools', 'zel-queryd');
}

// Compiles the daemon when it is missing; build output goes to standard
// error, so standard output carries only what the daemon or --print-path
// print.  Exits when the compile fails.
function ensureBuilt(bin) {
  if (fs.existsSync(bin)) return;
  if (process.env.ZEL_QUERYD_PATH) {
    console.error(`zel-queryd: ZEL_QUERYD_PATH names ${bin}, which does not exist`);
    process.exit(1);
  }
  try {
    fs.accessSync(root, fs.constants.W_OK);
  } catch {
    console.error(`zel-queryd: the daemon is not compiled yet, and ${root} is not writable for this user; ` +
      'run `zel-queryd --print-path` once as its owner (e.g. with sudo) to compile it');
    process.exit(1);
  }
  console.error(`zel-queryd: compiling the daemon (once) into ${path.dirname(path.dirname(bin))}`);
  const r = spawnSync(process.execPath, [path.join(__dirname, 'build.js'), '--consumer', '--daemon'],
    { stdio: ['ignore', 2, 2], cwd: root });
  if (r.status !== 0 || !fs.existsSync(bin)) {
    console.error('zel-queryd: the daemon could not be compiled (see above); once that is fixed, run zel-queryd again');
    process.exit(1);
  }
}

function main(argv) {
  const bin = binaryPath();
  if (argv.includes('--help') || argv.includes('-h')) {
    console.log(`${USAGE}\n`);
    if (!fs.existsSync(bin)) {
      console.log('(the daemon is not compiled yet: `zel-queryd --print-path` compiles it; its options follow then)');
      return;
    }
    process.exitCode = spawnSync(bin, ['--help'], { stdio: 'inherit' }).status ?? 1;
    return;
  }
  ensureBuilt(bin);
  if (argv.length === 1 && argv[0] === '--print-path') {
    console.log(bin);
    return;
  }
  // The handlers are in place before the daemon starts: a signal that came
  // after the daemon said it listens, but before they were, would otherwise
  // end this launcher and leave the daemon running without it.
  let child = null;
  for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(sig, () => child?.kill(sig));
  child = spawn(bin, argv, { stdio: 'inherit' });
  child.on('error', (err) => {
    console.error(`zel-queryd: cannot run ${bin}: ${err.message}`);
    process.exit(1);
  });
  child.on('exit', (code, sig) => {
    if (sig) {
      // Die of the same signal, as a shell expects from the program it ran.
      process.removeAllListeners(sig);
      process.kill(process.pid, sig);
    }
    process.exit(code ?? 1);
  });
}

if (require.main === module) main(process.argv.slice(2));

module.exports = { binaryPath };
