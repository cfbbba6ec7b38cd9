'use strict';
// Back-pressure end to end: a consumer that stops reading a 256 MiB body
// holds back the daemon and the appliance, which stops writing; once reading
// resumes the whole body arrives.  (What the paused relay costs in memory
// is measured by bench/memory.js.)
const { it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const http = require('http');
const crypto = require('crypto');
const { once } = require('events');

const { relay } = require('../..');
const { ADMIN, startDaemon } = require('./support/relay_env');

const MiB = 1024 * 1024;
const TOTAL = 256 * MiB;
const BLOCK = 64 * 1024;

let server, daemon;
const sent = { bytes: 0, hash: null };

before(async () => {
  // Blocks of a fixed pattern, each stamped with its number, written only
  // as fast as the connection takes them.
  const pattern = Buffer.alloc(BLOCK);
  for (let i = 0; i < BLOCK; i++) pattern[i] = 0x20 + ((i * 31) % 95);
  server = http.createServer(async (req, res) => {
    const size = Number(new URL(req.url, 'http://t').searchParams.get('size'));
    res.writeHead(200, { 'Content-Length': size });
    const hash = crypto.createHash('sha256');
    sent.bytes = 0;
    for (let n = 0; sent.bytes < size; n++) {
      const block = Buffer.from(pattern.subarray(0, Math.min(BLOCK, size - sent.bytes)));
      block.writeUInt32BE(n, 0);
      hash.update(block);
      sent.bytes += block.length;
      if (!res.write(block)) await once(res, 'drain');
    }
    sent.hash = hash.digest('hex');
    res.end();
  });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  daemon = await startDaemon(['--quiet', '--route', `BIG=127.0.0.1:${server.address().port}`]);
});

after(async () => {
  await daemon?.stop();
  server?.close();
});

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

it('a paused consumer of 256 MiB holds back the appliance, then gets every byte', async () => {
  const r = await relay({ serials: 'S:BIG', path: `/?size=${TOTAL}`, admin: ADMIN, socketPath: daemon.socketPath });
  assert.equal(r.statusCode, 200);
  // Nobody reads: wait until the appliance's writes stop advancing.
  let last = -1;
  for (let still = 0, i = 0; still < 5 && i < 600; i++) {
    await sleep(50);
    still = sent.bytes === last ? still + 1 : 0;
    last = sent.bytes;
  }
  assert.ok(sent.bytes < TOTAL / 4, `the appliance was not held back: ${sent.bytes} bytes written`);

  const hash = crypto.createHash('sha256');
  let got = 0;
  for await (const piece of r.body) {
    hash.update(piece);
    got += piece.length;
  }
  assert.equal(got, TOTAL);
  assert.equal(hash.digest('hex'), sent.hash);
});
