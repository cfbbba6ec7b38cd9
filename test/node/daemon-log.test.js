'use strict';
// The daemon's log through relay(), the client that closes its query as soon
// as Node's HTTP parser has the whole response, often before the daemon's
// empty end mark arrives: such a relay is finished, not a client that went.
const { it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const http = require('http');

const { relay } = require('../..');
const { ADMIN, startDaemon } = require('./support/relay_env');

let server, daemon;

before(async () => {
  server = http.createServer((req, res) => {
    req.resume();
    const size = Number(new URL(req.url, 'http://t').searchParams.get('size') || 16);
    res.writeHead(200, { 'Content-Length': size });
    res.end(Buffer.alloc(size, 0x61));
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  daemon = await startDaemon(['--route', `APP=127.0.0.1:${server.address().port}`]);
});

after(async () => {
  await daemon?.stop();
  server?.close();
  server?.closeAllConnections();
});

// Resolves with the lines after the first `from` that pass `pick`, once there
// are `n` of them or after a generous wait (a hang guard, not a time limit).
async function waitForLines(pick, n, from = 0) {
  const found = () => daemon.lines().slice(from).filter(pick);
  for (let i = 0; i < 500 && found().length < n; i++) await new Promise((r) => setTimeout(r, 20));
  return found();
}

it('200 small relays: each is logged as finished, none as a client gone', async () => {
  for (let i = 0; i < 200; i++) {
    const r = await relay({ serials: 'SRC:APP', path: `/small?size=${100 + i}`, admin: ADMIN, socketPath: daemon.socketPath });
    for await (const piece of r.body) assert.ok(piece.length > 0);
  }
  const done = await waitForLines((l) => /^SRC:APP -> \S+ GET \/small\?size=\d+: \d+ bytes$/.test(l), 200);
  assert.equal(done.length, 200, daemon.lines().join('\n'));
  assert.deepEqual(daemon.lines().filter((l) => l.includes('gone')), []);
});

it('a client that leaves in the middle of the body is logged as gone', async () => {
  const from = daemon.lines().length;
  const r = await relay({ serials: 'SRC:APP', path: `/big?size=${32 << 20}`, admin: ADMIN, socketPath: daemon.socketPath });
  await new Promise((resolve) => r.body.once('data', resolve));
  r.body.destroy();
  const gone = await waitForLines((l) => l.includes('gone'), 1, from);
  assert.equal(gone.length, 1, daemon.lines().join('\n'));
  assert.match(gone[0], /^zel-queryd: client @\S+ gone \(Connection refused\): dropped SRC:APP -> \S+ GET \/big\?size=\d+ after \d+ bytes$/);
});
