'use strict';
// The query socket path is fixed and shared by everyone testing on this
// machine; tests that bind or send to it hold /tmp/zel-socket.lock for their
// whole run.  The lock is held by a `flock` child that waits on its stdin, so
// it is released when we close that pipe or when this process dies.
//
// When an ancestor process already holds the lock (the suite was started as
// `flock /tmp/zel-socket.lock ctest ...`), taking it again would wait for
// ourselves, so the ancestor's hold is used instead.
const { spawn } = require('child_process');
const fs = require('fs');

const LOCK_PATH = '/tmp/zel-socket.lock';

function ancestors() {
  const pids = new Set();
  let pid = process.pid;
  while (pid > 1) {
    pids.add(pid);
    let stat;
    try {
      stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    } catch {
      break;
    }
    // The command name may contain spaces; fields resume after its ')'.
    pid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
  }
  return pids;
}

function heldByAncestor() {
  let ino;
  try {
    ino = fs.statSync(LOCK_PATH).ino;
  } catch {
    return false;
  }
  const mine = ancestors();
  // Lines look like "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1835 0 EOF".
  return fs.readFileSync('/proc/locks', 'utf8').split('\n').some((line) => {
    const f = line.trim().split(/\s+/);
    return f[1] === 'FLOCK' && Number(f[4]) > 0 && mine.has(Number(f[4])) &&
      Number((f[5] || '').split(':')[2]) === ino;
  });
}

// Resolves with a release function once the lock is ours.
function acquireSocketLock({ waitSec = 600 } = {}) {
  if (heldByAncestor()) return Promise.resolve(async () => {});
  return new Promise((resolve, reject) => {
    const holder = spawn('flock', ['-w', String(waitSec), LOCK_PATH, 'sh', '-c', 'echo locked; exec cat >/dev/null'],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    let out = '';
    holder.stdout.setEncoding('utf8');
    holder.stdout.on('data', (t) => {
      out += t;
      if (out.includes('locked\n')) {
        resolve(async () => {
          if (holder.exitCode !== null) return;
          const done = new Promise((r) => holder.once('exit', r));
          holder.stdin.end();
          await done;
        });
      }
    });
    holder.on('error', reject);
    holder.on('exit', (code) => {
      if (!out.includes('locked\n')) reject(new Error(`could not take ${LOCK_PATH} within ${waitSec} s (flock exit ${code})`));
    });
  });
}

module.exports = { LOCK_PATH, acquireSocketLock };
