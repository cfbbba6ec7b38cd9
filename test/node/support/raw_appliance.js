'use strict';
// A scripted appliance that writes exactly the bytes a test gives it, well
// formed or not, for the reference daemon to relay.  It runs in a child
// process, so its sockets never count among the test process's descriptors.
//
// A script is { writes: [Buffer...], gapMs, then }: the writes go out in
// order (gapMs apart when given), then the connection does what `then`
// says: 'close', 'reset', 'hang' (stays open, silent), or goes on for ever
// with 'endless-head' (header lines), 'endless-1xx' (informational heads) or
// 'endless-body' (body bytes), until the daemon drops it.  A request for
// /s/<id> runs the script registered under <id>; the request's own bytes
// are kept for the test to look at.
const { fork } = require('child_process');
const net = require('net');

const FOREVER = {
  'endless-head': Buffer.from(`X-Pad: ${'p'.repeat(1000)}\r\n`),
  'endless-1xx': Buffer.from('HTTP/1.1 103 Early Hints\r\nLink: </x.css>; rel=preload\r\n\r\n'),
  'endless-body': Buffer.alloc(4000, 'b'),
};

function childMain() {
  const scripts = new Map();
  const requests = new Map();
  process.on('message', (m) => {
    if (m.script) {
      scripts.set(m.id, {
        ...m.script,
        writes: m.script.writes.map((w) => Buffer.from(w, 'base64')),
      });
      process.send({ ack: m.seq });
    } else if (m.request !== undefined) {
      const raw = requests.get(m.request);
      process.send({ ack: m.seq, raw: raw ? raw.toString('base64') : null });
    } else if (m.forget) {
      for (const id of m.forget) {
        scripts.delete(id);
        requests.delete(id);
      }
      process.send({ ack: m.seq });
    }
  });
  const server = net.createServer((sock) => {
    sock.on('error', () => {});
    let head = Buffer.alloc(0);
    const onData = (d) => {
      head = Buffer.concat([head, d]);
      const end = head.indexOf('\r\n\r\n');
      if (end < 0) return;
      sock.off('data', onData);
      sock.resume();
      const target = /^\S+ (\S+)/.exec(head.subarray(0, end).toString('latin1'))?.[1] || '';
      const id = /^\/s\/([\w-]+)/.exec(target)?.[1];
      if (id) requests.set(id, head);
      run(sock, scripts.get(id));
    };
    sock.on('data', onData);
  });
  server.listen(0, '127.0.0.1', () => process.send({ port: server.address().port }));
}

async function run(sock, script) {
  if (!script) {
    sock.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n');
    return;
  }
  const open = () => !sock.destroyed && sock.writable;
  const write = (b) => new Promise((resolve) => {
    if (!open()) return resolve(false);
    if (sock.write(b)) return resolve(true);
    const done = () => { sock.off('drain', done); sock.off('close', done); resolve(open()); };
    sock.once('drain', done);
    sock.once('close', done);
    return undefined;
  });
  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  for (const w of script.writes) {
    if (!(await write(w))) return;
    if (script.gapMs) await pause(script.gapMs);
  }
  switch (script.then) {
    case 'hang':
      return;
    case 'reset':
      sock.resetAndDestroy();
      return;
    case 'endless-head':
    case 'endless-1xx':
    case 'endless-body':
      while (await write(FOREVER[script.then]));
      return;
    default:
      sock.end();
  }
}

// Starts the appliance; resolves with { port, script(id, script), request(id),
// forget(ids), stop() }.
function startRawAppliance() {
  const child = fork(__filename, ['--child'], { stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  let seq = 0;
  const waiting = new Map();
  const ask = (msg) => new Promise((resolve) => {
    const n = ++seq;
    waiting.set(n, resolve);
    child.send({ ...msg, seq: n });
  });
  return new Promise((resolve, reject) => {
    child.once('error', reject);
    child.once('exit', (code) => reject(new Error(`the raw appliance exited (${code})`)));
    child.on('message', (m) => {
      if (m.port) {
        resolve({
          port: m.port,
          script: (id, script) => ask({
            id,
            script: { ...script, writes: script.writes.map((w) => Buffer.from(w, 'latin1').toString('base64')) },
          }),
          // The request head the appliance received for `id`, or null.
          request: async (id) => {
            const { raw } = await ask({ request: id });
            return raw === null ? null : Buffer.from(raw, 'base64');
          },
          forget: (ids) => ask({ forget: ids }),
          stop: () => new Promise((done) => {
            if (child.exitCode !== null) return done();
            child.removeAllListeners('exit');
            child.once('exit', () => done());
            child.kill('SIGTERM');
            return undefined;
          }),
        });
      } else if (m.ack !== undefined) {
        waiting.get(m.ack)?.(m);
        waiting.delete(m.ack);
      }
    });
  });
}

if (require.main === module && process.argv[2] === '--child') childMain();

module.exports = { startRawAppliance };
