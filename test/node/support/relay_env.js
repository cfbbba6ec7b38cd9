'use strict';
// What the relay() tests share: a reference daemon on a private socket path
// (so these tests never touch the shared one), descriptor counts, and
// reading a body to its end.
const { spawn } = require('child_process');
const { once } = require('events');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { queryd } = require('../lib/paths');

const ADMIN = Object.freeze({ name: 'alice', profile: 'super_user', superAdmin: true });

// Starts zel-queryd with `args` on a fresh socket path; resolves once it
// listens with { socketPath, lines(), exchanges(), stop() }.
async function startDaemon(args = []) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-relay-'));
  const socketPath = path.join(dir, 'q');
  const child = spawn(queryd, ['--socket', socketPath, ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
  const lines = [];
  let pending = '';
  child.stderr.setEncoding('utf8');
  const listening = new Promise((resolve, reject) => {
    child.stderr.on('data', (text) => {
      const parts = (pending + text).split('\n');
      pending = parts.pop();
      lines.push(...parts);
      if (parts.some((l) => l.startsWith('zel-queryd: listening on '))) resolve();
    });
    child.once('exit', (code) => reject(new Error(`zel-queryd ${args.join(' ')} exited (${code}): ${lines.join('\n')}${pending}`)));
    child.once('error', reject);
  });
  await listening;
  const exited = once(child, 'exit');
  return {
    socketPath,
    lines: () => lines.slice(),
    // Lines the daemon printed for finished exchanges.
    exchanges: () => lines.filter((l) => !l.startsWith('zel-queryd:')),
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        await exited;
      }
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Descriptors of this process but its TCP sockets: every descriptor that is
// not a socket, and every Unix-domain socket.  The tests' HTTP servers and
// clients live in this process, and their connections close at the peer's
// pace, before or after either count (one that is closing has left the
// kernel's TCP table while its descriptor is still open, so TCP sockets are
// not told apart by that table).  The module opens only Unix-domain sockets,
// so a descriptor it leaks is always counted.
const unixInodes = () => new Set(fs.readFileSync('/proc/self/net/unix', 'utf8')
  .split('\n').slice(1).map((line) => line.trim().split(/\s+/)[6]).filter(Boolean));
function fdCount() {
  const unix = unixInodes();
  return fs.readdirSync('/proc/self/fd').filter((fd) => {
    let target;
    try { target = fs.readlinkSync(`/proc/self/fd/${fd}`); } catch { return false; }
    const m = /^socket:\[(\d+)\]$/.exec(target);
    return !m || unix.has(m[1]);
  }).length;
}

// Resolves once pending handle closes have run.
const settle = () => new Promise((resolve) => setImmediate(() => setImmediate(resolve)));

async function readAll(body) {
  const parts = [];
  for await (const p of body) parts.push(p);
  return Buffer.concat(parts);
}

module.exports = { ADMIN, startDaemon, fdCount, settle, readAll };
