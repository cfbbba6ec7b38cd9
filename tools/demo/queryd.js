'use strict';
// Starting and stopping the reference query daemon, shared by the demo, the
// command-line client and the Node tests.  The module talks to the socket
// path below (ZEL_QUERY_SOCKET, read once, moves it; the daemon reads the same
// variable), so only one daemon can serve a path at a time: before starting
// one we make sure no live process is bound there.
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const { makeOwnedTempDir } = require('./leftovers');

const ROOT = path.resolve(__dirname, '..', '..');
const QUERY_SOCKET = process.env.ZEL_QUERY_SOCKET || '/tmp/nst/.nst.query';

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

// The id of a process that has a Unix socket bound at `sockPath`, or null
// when none can be seen.  /proc/net/unix gives the socket's inode, and the
// process holding it shows "socket:[INODE]" among its descriptors (another
// user's are visible to root only).
function socketOwner(sockPath = QUERY_SOCKET) {
  let inode = null;
  try {
    for (const line of fs.readFileSync('/proc/net/unix', 'utf8').split('\n')) {
      // Num RefCount Protocol Flags Type St Inode Path
      const f = line.trim().split(/\s+/);
      if (f.length >= 8 && f.slice(7).join(' ') === sockPath) inode = f[6];
    }
  } catch {
    return null;
  }
  if (!inode) return null;
  const wanted = `socket:[${inode}]`;
  for (const pid of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d) && Number(d) !== process.pid)) {
    let fds;
    try {
      fds = fs.readdirSync(`/proc/${pid}/fd`);
    } catch {
      continue;
    }
    for (const fd of fds) {
      try {
        if (fs.readlinkSync(`/proc/${pid}/fd/${fd}`) === wanted) return Number(pid);
      } catch {
        // closed meanwhile
      }
    }
  }
  return null;
}

// How the process serving `sockPath` is named in a refusal: "process 123
// (zel-queryd --socket ...)", or a neutral phrase when it cannot be seen.
function describeOwner(sockPath) {
  const pid = socketOwner(sockPath);
  if (!pid) return 'a process this program did not start';
  let cmd = '';
  try {
    cmd = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').filter(Boolean).join(' ');
  } catch {
    // gone meanwhile, or not ours to read
  }
  return `process ${pid}${cmd ? ` (${cmd.length > 120 ? `${cmd.slice(0, 117)}...` : cmd})` : ''}`;
}

// Starts the daemon with `args` and resolves once it has printed its
// "listening on" line.  Rejects (and kills the child) when the socket is
// already served by someone else, when the daemon exits early, or when it
// does not come up within `timeoutMs`.
//
// The daemon's standard error goes to a file, not a pipe: node_zel_req
// blocks our thread for whole exchanges (and tests make a thousand calls in a
// row), and a daemon writing into a pipe nobody reads would stall once the
// pipe is full.  `onLine` receives the lines written after start-up, read
// from that file whenever our event loop runs.
//
// With `watchParent` the daemon gets one end of a pipe as standard input and
// --watch-stdin: when this process ends, however it ends, the pipe closes
// and the daemon stops as on SIGTERM, removing its socket file.
function startQueryd(args = [], { bin = querydPath(), timeoutMs = 10000, onLine = null, stdout = 'ignore',
  watchParent = false } = {}) {
  const sockIdx = args.indexOf('--socket');
  const sockPath = sockIdx >= 0 ? args[sockIdx + 1] : QUERY_SOCKET;
  if (socketInUse(sockPath)) {
    return Promise.reject(new Error(
      `the query socket ${sockPath} is already served by ${describeOwner(sockPath)}; ` +
      'stop that daemon first (or wait for whoever is testing against it)'));
  }
  if (!fs.existsSync(bin)) {
    return Promise.reject(new Error(`query daemon not found at ${bin}; build it with \`npm run build\``));
  }
  const logDir = makeOwnedTempDir('zel-queryd-');
  const logFile = path.join(logDir, 'stderr.log');
  const logFd = fs.openSync(logFile, 'w+');
  let child;
  try {
    child = spawn(bin, watchParent ? [...args, '--watch-stdin'] : args,
      { stdio: [watchParent ? 'pipe' : 'ignore', stdout, logFd] });
    child.stdin?.on('error', () => {});
  } finally {
    fs.closeSync(logFd);
  }
  const log = { file: logFile, offset: 0, pending: '', lines: [] };
  // Reads what the daemon wrote since the last look; returns the new lines.
  const readNew = () => {
    let text;
    try {
      const fd = fs.openSync(logFile, 'r');
      try {
        const size = fs.fstatSync(fd).size;
        if (size <= log.offset) return [];
        const buf = Buffer.alloc(size - log.offset);
        fs.readSync(fd, buf, 0, buf.length, log.offset);
        log.offset = size;
        text = buf.toString('utf8');
      } finally {
        fs.closeSync(fd);
      }
    } catch {
      return [];
    }
    const parts = (log.pending + text).split('\n');
    log.pending = parts.pop();
    log.lines.push(...parts);
    return parts;
  };
  const removeLog = () => fs.rmSync(logDir, { recursive: true, force: true });

  return new Promise((resolve, reject) => {
    let settled = false;
    const fail = (err) => {
      if (settled) return;
      settled = true;
      clearInterval(poll);
      clearTimeout(timer);
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      readNew();
      removeLog();
      err.message += log.lines.length ? `\n${log.lines.join('\n')}` : '';
      reject(err);
    };
    const timer = setTimeout(() => fail(new Error(
      `query daemon did not report "listening" within ${timeoutMs} ms`)), timeoutMs);
    const poll = setInterval(() => {
      if (!readNew().some((l) => l.startsWith('zel-queryd: listening on '))) return;
      settled = true;
      clearInterval(poll);
      clearTimeout(timer);
      resolve(makeHandle(child, sockPath, log, readNew, removeLog, onLine));
    }, 20);
    child.on('error', (err) => fail(err));
    child.on('exit', (code, sig) => fail(new Error(
      `query daemon exited before listening (code ${code}, signal ${sig})`)));
  });
}

function makeHandle(child, sockPath, log, readNew, removeLog, onLine) {
  const exited = new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve();
    else child.once('exit', () => resolve());
  });
  const deliver = () => {
    for (const line of readNew()) if (onLine) onLine(line);
  };
  const tail = setInterval(deliver, 100);
  exited.then(() => {
    clearInterval(tail);
    deliver();
  });
  return {
    child,
    socket: sockPath,
    exited,
    // Every line the daemon has written so far.
    lines() {
      deliver();
      return log.lines.slice();
    },
    // SIGTERM lets the daemon remove its socket file; SIGKILL follows if it
    // does not exit in time, and then the file is removed here.
    async stop(graceMs = 5000) {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        const t = setTimeout(() => child.kill('SIGKILL'), graceMs);
        await exited;
        clearTimeout(t);
      }
      clearInterval(tail);
      deliver();
      removeLog();
      if (!socketInUse(sockPath)) fs.rmSync(sockPath, { force: true });
    },
  };
}

module.exports = { QUERY_SOCKET, ROOT, querydPath, socketInUse, socketOwner, startQueryd };
