'use strict';
// The query socket path is shared by everyone testing on this machine, so a
// test that uses it holds /tmp/zel-socket.lock for its whole run: a `flock`
// child holds the lock until we close its stdin or this process dies.  When
// an ancestor already holds it (`flock /tmp/zel-socket.lock ctest ...`),
// taking it again would wait for ourselves, so the ancestor's hold is used.
const { spawn } = require('child_process');
const { once } = require('events');
const fs = require('fs');

const LOCK_PATH = '/tmp/zel-socket.lock';

function heldByAncestor() {
  let ino;
  try {
    ino = fs.statSync(LOCK_PATH).ino;
  } catch {
    return false;
  }
  const mine = new Set();
  for (let pid = process.pid; pid > 1;) {
    mine.add(pid);
    try {
      // The command name may contain spaces; the parent's pid is the second field after its ')'.
      const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
      pid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
    } catch {
      break;
    }
  }
  // Lines look like "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1835 0 EOF".
  return fs.readFileSync('/proc/locks', 'utf8').split('\n').map((line) => line.trim().split(/\s+/))
    .some((f) => f[1] === 'FLOCK' && mine.has(Number(f[4])) && Number((f[5] || '').split(':')[2]) === ino);
}

// Resolves with a release function once the lock is ours.
function acquireSocketLock() {
  if (heldByAncestor()) return Promise.resolve(async () => {});
  const holder = spawn('flock', ['-w', '600', LOCK_PATH, 'sh', '-c', 'echo locked; exec cat >/dev/null'],
    { stdio: ['pipe', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    holder.on('error', reject);
    holder.on('exit', (code) => reject(new Error(`could not take ${LOCK_PATH} (flock exit ${code})`)));
    holder.stdout.once('data', () => resolve(async () => {
      if (holder.exitCode !== null) return;
      holder.stdin.end();
      await once(holder, 'exit');
    }));
  });
}

module.exports = { acquireSocketLock };
