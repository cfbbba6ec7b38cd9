'use strict';
// Starting and stopping the reference query daemon, shared by the demo, the
// command-line client and the Node tests.  The module always talks to the
// fixed socket path below, so only one daemon can serve it at a time: before
// starting one we make sure no live process is bound there.
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');

const ROOT = path.resolve(__dirname, '..', '..');
const QUERY_SOCKET = '/tmp/nst/.nst.query';

function querydPath() {
  return process.env.ZEL_QUERYD_PATH || path.join(ROOT, 'build', 'tools', 'zel-queryd');
}

// True when a live process has a Unix socket bound at `sockPath`.  A socket
// file left behind by a process that died is not listed in /proc/net/unix,
// so it does not count.
function socketInUse(sockPath = QUERY_SOCKET) {
  let table;
  try {
    table = fs.readFileSync('/proc/net/unix', 'utf8');
  } catch {
    return fs.existsSync(sockPath);
  }
  return table.split('\n').some((line) => line.endsWith(' ' + sockPath));
}

// Starts the daemon with `args` and resolves once it has printed its
// "listening on" line.  Rejects (and kills the child) when the socket is
// already served by someone else, when the daemon exits early, or when it
// does not come up within `timeoutMs`.  `onLine` receives every later stderr
// line; `stdio` of stdout follows `stdout` ('ignore' unless asked).
function startQueryd(args = [], { bin = querydPath(), timeoutMs = 10000, onLine = null, stdout = 'ignore' } = {}) {
  const sockIdx = args.indexOf('--socket');
  const sockPath = sockIdx >= 0 ? args[sockIdx + 1] : QUERY_SOCKET;
  if (socketInUse(sockPath)) {
    return Promise.reject(new Error(
      `the query socket ${sockPath} is already served by a process this program did not start; ` +
      'stop that daemon first (or wait for whoever is testing against it)'));
  }
  if (!fs.existsSync(bin)) {
    return Promise.reject(new Error(`query daemon not found at ${bin}; build it with \`npm run build\``));
  }
  return new Promise((resolve, reject) => {
    const child = spawn(bin, args, { stdio: ['ignore', stdout, 'pipe'] });
    let settled = false;
    let pending = '';
    const log = [];
    const fail = (err) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      reject(err);
    };
    const timer = setTimeout(() => fail(new Error(
      `query daemon did not report "listening" within ${timeoutMs} ms:\n${log.join('\n')}`)), timeoutMs);
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      pending += text;
      let nl;
      while ((nl = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, nl);
        pending = pending.slice(nl + 1);
        if (!settled) {
          log.push(line);
          if (line.startsWith('zel-queryd: listening on ')) {
            settled = true;
            clearTimeout(timer);
            resolve(makeHandle(child, sockPath, log));
          }
        } else if (onLine) {
          onLine(line);
        }
      }
    });
    child.on('error', (err) => fail(err));
    child.on('exit', (code, sig) => fail(new Error(
      `query daemon exited before listening (code ${code}, signal ${sig}):\n${log.join('\n')}`)));
  });
}

function makeHandle(child, sockPath, log) {
  const exited = new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve();
    else child.once('exit', () => resolve());
  });
  return {
    child,
    socket: sockPath,
    log,
    exited,
    // SIGTERM lets the daemon remove its socket file; SIGKILL follows if it
    // does not exit in time, and then the file is removed here.
    async stop(graceMs = 5000) {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        const t = setTimeout(() => child.kill('SIGKILL'), graceMs);
        await exited;
        clearTimeout(t);
      }
      if (!socketInUse(sockPath)) fs.rmSync(sockPath, { force: true });
    },
  };
}

module.exports = { QUERY_SOCKET, ROOT, querydPath, socketInUse, startQueryd };
