'use strict';
// relay(): many exchanges at once through the reference daemon to real HTTP
// servers, every datagram split of a set of replies, and the request it
// composes.  Each daemon here has a private socket path.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const diagnostics = require('diagnostics_channel');

const { relay } = require('../..');
const { startTargets, makeBody } = require('./support/targets');
const { ADMIN, startDaemon, readAll } = require('./support/relay_env');

describe('many relays at once', () => {
  let targets, daemon;
  before(async () => {
    targets = await startTargets();
    daemon = await startDaemon(['--quiet', ...['plain', 'chunked', 'gzip', 'slow']
      .flatMap((s) => ['--route', `T${s.toUpperCase()}=127.0.0.1:${targets.ports[s]}`])]);
  });
  after(async () => {
    await daemon?.stop();
    await targets?.stop();
  });

  // [serial, target path, accept-encoding, what the body must be]
  const KINDS = [
    ['TPLAIN', (n) => `/body/${n}`, undefined, 'body'],
    ['TCHUNKED', (n) => `/body/${n}`, 'gzip', 'body'],
    ['TGZIP', (n) => `/body/${n}`, undefined, 'body'],
    ['TGZIP', (n) => `/body/${n}`, 'br, gzip;q=0.5', 'gz'],
    ['TGZIP', (n) => `/body/${n}?chunked`, 'identity', 'body'],
    ['TGZIP', (n) => `/body/${n}?chunked`, '*', 'gz'],
    ['TSLOW', (n) => `/body/${n}`, undefined, 'body'],
    ['TPLAIN', () => '/body/3000000', 'gzip;q=0', 'body'],
  ];

  it('32 relays deliver exactly their bytes while the event loop keeps running', async () => {
    // For each 3 MB relay: whether the event loop went round (a setImmediate
    // set at its first body piece ran) before its last piece came.  Such a
    // body takes many reads of the query socket, so this holds at any speed
    // unless something holds the loop for a whole exchange.
    const turned = [];
    const runs = Array.from({ length: 32 }, async (_, i) => {
      const [sn, target, ae, want] = KINDS[i % KINDS.length];
      const size = 1000 + i * 7919;
      const r = await relay({ serials: `ZL0:${sn}`, path: `${target(size)}${target(size).includes('?') ? '&' : '?'}seed=${i}`,
        acceptEncoding: ae, admin: ADMIN, socketPath: daemon.socketPath });
      assert.equal(r.statusCode, 200);
      const parts = [];
      let ended = false;
      for await (const p of r.body) {
        if (parts.length === 0) setImmediate(() => { if (target(size) === '/body/3000000') turned.push(!ended); });
        parts.push(p);
      }
      ended = true;
      const got = Buffer.concat(parts);
      const bodySize = /\/body\/(\d+)/.exec(target(size))[1];
      const body = makeBody(Number(bodySize), i);
      const expect = want === 'gz' ? zlib.gunzipSync(got) : got;
      assert.equal(Buffer.compare(expect, body), 0, `relay ${i} (${sn} ${ae}) body differs`);
      assert.equal(r.headers['content-encoding'], want === 'gz' ? 'gzip' : undefined);
      assert.equal(r.headers['transfer-encoding'], undefined);
    });
    await Promise.all(runs);
    assert.deepEqual(turned, [true, true, true, true]);
  });

  it('sends the identity fields and asks the appliance to close', async () => {
    const tag = `tag${process.pid}`;
    const seen = [];
    const onMsg = (m) => seen.push(m);
    diagnostics.subscribe('node-zel-mod:relay', onMsg);
    try {
      const r = await relay({ serials: 'ZL9:ZL8:TPLAIN', path: `/body/10?${tag}`, method: 'POST', body: '{"a":1}',
        headers: { 'Content-Type': 'application/json', 'X-Trace': 'on' },
        admin: { name: 'bob', profile: 'read-only', superAdmin: false }, socketPath: daemon.socketPath });
      await readAll(r.body);
    } finally {
      diagnostics.unsubscribe('node-zel-mod:relay', onMsg);
    }
    const { raw } = await targets.find(tag);
    const [head, body] = raw.toString('latin1').split('\r\n\r\n');
    const lines = head.split('\r\n');
    assert.equal(lines[0], `POST /body/10?${tag} HTTP/1.1`);
    for (const want of ['Host: 127.0.0.1', 'Accept-Encoding: gzip', 'Content-Type: application/json', 'X-Trace: on',
      'Content-Length: 7', 'X-ZEL-SN: TPLAIN', 'X-ZEL-SOURCE-SN: ZL9', 'X-ADMIN-NAME: ZL_bob',
      'X-ADMIN-PERMISSIONS: read-only', 'X-ADMIN-SUPER: 0', 'Connection: close']) {
      assert.ok(lines.includes(want), `request lacks "${want}":\n${head}`);
    }
    assert.equal(body, '{"a":1}');
    assert.deepEqual(seen.map((m) => m.event), ['start', 'head', 'end']);
    assert.equal(seen[2].error, null);
  });
});

// Replies replayed by the daemon.  Each must give `want` as its body.
function replies() {
  const text = makeBody(700, 3);
  const gz = zlib.gzipSync(text);
  const chunked = (buf, sizes) => {
    const out = [];
    for (let off = 0, i = 0; off < buf.length; i++) {
      const n = Math.min(sizes[i % sizes.length], buf.length - off);
      out.push(Buffer.from(`${n.toString(16)}${i === 1 ? ';ext=1' : ''}\r\n`), buf.subarray(off, off + n), Buffer.from('\r\n'));
      off += n;
    }
    return Buffer.concat(out);
  };
  const head = (fields) => Buffer.from(`HTTP/1.1 200 OK\r\n${fields.map((f) => f + '\r\n').join('')}\r\n`);
  return {
    plain: [Buffer.concat([head(['Content-Type: text/plain', `Content-Length: ${text.length}`]), text]), text],
    'chunked with trailers': [Buffer.concat([head(['Transfer-Encoding: chunked', 'Trailer: X-Sum']),
      chunked(text, [1, 16, 255, 3]), Buffer.from('0\r\nX-Sum: 42\r\n\r\n')]), text],
    gzip: [Buffer.concat([head(['Content-Encoding: gzip', `Content-Length: ${gz.length}`]), gz]), text],
    'chunked gzip': [Buffer.concat([head(['Content-Encoding: gzip', 'Transfer-Encoding: chunked']),
      chunked(gz, [7, 100, 1]), Buffer.from('0\r\n\r\n')]), text],
    'close-delimited': [Buffer.concat([head(['Connection: close']), text]), text],
  };
}

describe('every split of a reply gives the same body', () => {
  let dir;
  before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-splits-')); });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  // Cuts at k, k+STRIDE, k+2*STRIDE ...: over k = 1..STRIDE every offset of
  // the first CUT_SPAN bytes is a datagram boundary in some run.
  const STRIDE = 61;
  const CUT_SPAN = 400;
  const splits = (len) => {
    const out = ['fixed:1', 'fixed:4084'];
    for (let k = 1; k <= STRIDE; k++) {
      const cuts = [];
      for (let c = k; c < Math.min(len, CUT_SPAN + STRIDE); c += STRIDE) cuts.push(c);
      out.push(`at:${cuts.join(',')}`);
    }
    for (let seed = 1; seed <= 12; seed++) out.push(`random:${seed}:${[3, 17, 200, 4084][seed % 4]}`);
    return out;
  };

  for (const [name, [file, want]] of Object.entries(replies())) {
    it(name, async () => {
      const replay = path.join(dir, name.replace(/\W/g, '_'));
      fs.writeFileSync(replay, file);
      const todo = splits(file.length);
      const failures = [];
      // A few daemons at a time: each run is one short exchange.
      const worker = async () => {
        for (let split; (split = todo.shift()) !== undefined;) {
          const d = await startDaemon(['--quiet', '--replay', replay, '--split', split]);
          try {
            const r = await relay({ serials: 'A:B', path: '/', admin: ADMIN, socketPath: d.socketPath });
            const got = await readAll(r.body);
            if (!got.equals(want)) failures.push(`${split}: ${got.length} bytes, first difference at ${[...got].findIndex((b, i) => b !== want[i])}`);
          } catch (err) {
            failures.push(`${split}: ${err.code} ${err.message}`);
          } finally {
            await d.stop();
          }
        }
      };
      await Promise.all([worker(), worker(), worker()]);
      assert.deepEqual(failures, []);
    });
  }
});

describe('decoding a coded body', () => {
  let dir;
  before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-decode-')); });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  const head = (fields) => Buffer.from(`HTTP/1.1 200 OK\r\n${fields.map((f) => f + '\r\n').join('')}\r\n`);
  const lengthOf = (body) => [`Content-Length: ${body.length}`];
  const chunkedOf = (body) => ['Transfer-Encoding: chunked'];
  const frame = (fields, body) => Buffer.concat([head(fields), fields[0].startsWith('Transfer')
    ? Buffer.concat([Buffer.from(`${body.length.toString(16)}\r\n`), body, Buffer.from('\r\n0\r\n\r\n')]) : body]);
  async function fetchReplay(name, reply, options = {}) {
    const file = path.join(dir, name.replace(/\W/g, '_'));
    fs.writeFileSync(file, reply);
    const d = await startDaemon(['--quiet', '--replay', file]);
    try {
      const r = await relay({ serials: 'A:B', path: '/', admin: ADMIN, socketPath: d.socketPath, ...options });
      return { headers: r.headers, body: await readAll(r.body) };
    } catch (err) {
      return { err };
    } finally {
      await d.stop();
    }
  }

  it('a body that does not decode errors with ZEL_ERR_BAD_REPLY, zlib\'s code kept', async () => {
    const good = zlib.gzipSync(makeBody(5000, 1));
    const corrupt = Buffer.from(good);
    corrupt.fill(0x55, 20, 60);
    for (const [name, fields, body] of [
      ['short, with a length', ['Content-Encoding: gzip', ...lengthOf(corrupt)], corrupt],
      ['chunked', ['Transfer-Encoding: chunked', 'Content-Encoding: gzip'], corrupt],
      ['cut short', ['Content-Encoding: gzip', ...lengthOf(good.subarray(0, 100))], good.subarray(0, 100)],
    ]) {
      const reply = fields[0].startsWith('Transfer') ? frame(chunkedOf(body).concat(fields.slice(1)), body) : frame(fields, body);
      const { err } = await fetchReplay(name, reply);
      assert.equal(err?.code, 'ZEL_ERR_BAD_REPLY', name);
      assert.match(err.zlibCode, /^Z_/, name);
    }
  });

  it('gzip, deflate and brotli bodies arrive decoded, the coding\'s fields gone', async () => {
    const text = makeBody(5000, 3);
    for (const [coding, encode] of [['gzip', zlib.gzipSync], ['deflate', zlib.deflateSync], ['br', zlib.brotliCompressSync]]) {
      const coded = encode(text);
      const { headers, body, err } = await fetchReplay(coding, frame([`Content-Encoding: ${coding}`, ...lengthOf(coded)], coded));
      assert.ifError(err);
      assert.equal(Buffer.compare(body, text), 0, coding);
      assert.equal(headers['content-encoding'], undefined, coding);
    }
  });

  it('a short coded body that decodes to more than one call may make arrives whole', async () => {
    const text = Buffer.from('{"row":"abcdefghijklmnop","n":1},'.repeat(100000));
    const gz = zlib.gzipSync(text, { level: 9 });
    assert.ok(gz.length < 64 * 1024, `the coded body is ${gz.length} bytes`);
    const { body, err } = await fetchReplay('big', frame(['Content-Encoding: gzip', ...lengthOf(gz)], gz));
    assert.ifError(err);
    assert.equal(Buffer.compare(body, text), 0);
  });

  it('a response to HEAD has nothing to decode', async () => {
    const { headers, body, err } = await fetchReplay('head', head(['Content-Encoding: gzip', 'Content-Length: 1234']),
      { method: 'HEAD' });
    assert.ifError(err);
    assert.equal(body.length, 0);
    assert.equal(headers['content-encoding'], undefined);
  });
});

it('NODE_DEBUG=zel prints each relay\'s steps', async () => {
  const { execFile } = require('child_process');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-debug-'));
  const replay = path.join(dir, 'reply');
  fs.writeFileSync(replay, 'HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok');
  const d = await startDaemon(['--quiet', '--replay', replay]);
  try {
    const script = `require(${JSON.stringify(path.join(__dirname, '..', '..'))}).relay({ serials: 'A:B', path: '/x',
      admin: { name: 'a', profile: 'p', superAdmin: false }, socketPath: ${JSON.stringify(d.socketPath)} })
      .then((r) => r.body.resume())`;
    const stderr = await new Promise((resolve, reject) => {
      execFile(process.execPath, ['-e', script], { env: { ...process.env, NODE_DEBUG: 'zel' } },
        (err, out, errOut) => (err ? reject(err) : resolve(errOut)));
    });
    assert.match(stderr, /ZEL \d+: relay 1: GET \/x via A:B/);
    assert.match(stderr, /ZEL \d+: relay 1: 200, as sent/);
    assert.match(stderr, /ZEL \d+: relay 1: done, \d+ reply bytes, 2 body bytes/);
  } finally {
    await d.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
