'use strict';
// End to end: node_zel_req -> query daemon -> real HTTP servers and back.
// Everything here binds or sends to the fixed query socket, so the whole file
// runs under the shared socket lock.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');
const v8 = require('v8');
const vm = require('vm');

const { startQueryd, socketInUse, QUERY_SOCKET } = require('../../tools/demo/queryd');
const { acquireSocketLock } = require('./support/socket_lock');
const { startTargets, makeBody, chunksOf } = require('./support/targets');
const { loadModule, relay, expectedRequest, openFds } = require('./support/relay');

const mod = loadModule();
const MiB = 1024 * 1024;

let release;
let targets;
let tmpDir;

before(async () => {
  release = await acquireSocketLock();
  if (socketInUse(QUERY_SOCKET)) {
    throw new Error(`${QUERY_SOCKET} is served by a daemon these tests did not start; stop it and run again`);
  }
  targets = await startTargets();
  tmpDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-e2e-'));
});

after(async () => {
  if (exactFillStops) console.log(`# inflated bodies that stopped at an exact block fill: ${exactFillStops}`);
  if (targets) await targets.stop();
  if (tmpDir) fs.rmSync(tmpDir, { recursive: true, force: true });
  if (release) await release();
});

function routeArgs() {
  const p = targets.ports;
  return ['--route', `TPLAIN=127.0.0.1:${p.plain}`, '--route', `TCHUNK=127.0.0.1:${p.chunked}`,
    '--route', `TGZIP=127.0.0.1:${p.gzip}`, '--route', `TSLOW=127.0.0.1:${p.slow}`,
    // Nothing listens on port 1: a route to an appliance that cannot be reached.
    '--route', 'TDEAD=127.0.0.1:1'];
}

// Runs `fn` with a daemon started with `args`; the daemon is always stopped
// and its socket file must be gone afterwards.
let daemon = null;
function withDaemon(argsFn) {
  let d;
  before(async () => {
    d = await startQueryd(argsFn());
    daemon = d;
  });
  after(async () => {
    if (d) await d.stop();
    assert.equal(fs.existsSync(QUERY_SOCKET), false, 'daemon left its socket file behind');
  });
}

// What the header object must look like for a response from `server` with a
// client that does or does not accept gzip.  `absent` fields must be missing;
// `equal` fields must have exactly that value; `clOf` is the length a kept
// content-length must state (it is kept only when the whole body arrived with
// the header).
function headerRule(server, accepts, { body, gz }) {
  switch (server) {
    case 'plain': return { absent: ['transfer-encoding'], equal: {}, clOf: body.length };
    case 'chunked': return { absent: ['content-length', 'transfer-encoding'], equal: {} };
    case 'gzip': return accepts
      ? { absent: ['transfer-encoding'], equal: { 'content-encoding': 'gzip' }, clOf: gz.length }
      : { absent: ['content-length', 'transfer-encoding', 'content-encoding'], equal: {} };
    // A chunked body starts with a chunk-size line, never with the gzip
    // magic, so it is not recognised as gzip: it is de-chunked only and
    // keeps its encoding field, whatever the client accepts.
    case 'gzip-chunked':
      return { absent: ['content-length', 'transfer-encoding'], equal: { 'content-encoding': 'gzip' } };
    default: throw new Error(server);
  }
}

function checkHeaders(headers, rule, label) {
  for (const k of rule.absent) assert.equal(headers[k], undefined, `${label}: ${k} must be removed`);
  for (const [k, v] of Object.entries(rule.equal)) assert.equal(headers[k], v, `${label}: ${k}`);
  if (headers['content-length'] !== undefined) {
    assert.ok(rule.clOf !== undefined, `${label}: content-length must be removed`);
    assert.equal(headers['content-length'], String(rule.clOf), `${label}: kept content-length`);
  }
  for (const k of Object.keys(headers)) assert.equal(k, k.toLowerCase(), `${label}: key ${k} not lower case`);
}

function checkPieces(r, label) {
  assert.ok(r.sameBuffer, `${label}: pieces must come in the one 4096-byte Buffer`);
  for (const n of r.sizes) assert.ok(n >= 1 && n <= 4096, `${label}: piece size ${n}`);
  assert.equal(r.events[0], 'head', `${label}: write-head comes first`);
  assert.equal(r.events.filter((e) => e === 'head').length, 1, `${label}: write-head exactly once`);
}

// Streaming inflate ends with -1 when a payload's compressed input runs out
// exactly as a 4096-byte output block fills: zlib then has nothing to do and
// answers Z_BUF_ERROR, which the relay counts as a failure.  Whether that
// happens depends on where the daemon's datagrams cut the body, so a relayed
// inflated body is either whole with 0, or a prefix of it with -1.
let exactFillStops = 0;
function checkInflatedBody(r, expected, label) {
  if (r.ret === -1) {
    exactFillStops++;
    assert.ok(r.body.length < expected.length, `${label}: -1 although the whole body arrived`);
    assert.ok(r.body.equals(expected.subarray(0, r.body.length)), `${label}: delivered bytes are not a prefix`);
    return;
  }
  assert.equal(r.ret, 0, label);
  assert.ok(r.body.equals(expected), `${label}: body differs (got ${r.body.length} B, want ${expected.length} B)`);
}

describe('relay through the daemon', () => {
  withDaemon(routeArgs);

  describe('request text received by the target', () => {
    const cases = [
      { name: 'GET, no body, gzip asked',
        call: { url: '/zel/SRC1:TPLAIN/echo', target: '/echo?x=1&y=%20', acceptEncoding: 'gzip, deflate' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'exactly "deflate" asks for deflate',
        call: { url: '/zel/SRC1:TPLAIN', target: '/echo', acceptEncoding: 'deflate' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'a list holding deflate still asks for gzip',
        call: { url: '/zel/SRC1:TPLAIN', target: '/echo', acceptEncoding: 'deflate, br' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'POST with a UTF-8 body counts bytes',
        call: { url: '/zel/SRC1:TPLAIN/x', target: '/echo', method: 'POST', body: '{"n":"ééé"}' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'POST without a body uses the bodiless form',
        call: { url: '/zel/SRC1:TPLAIN', target: '/echo', method: 'POST', body: '' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'GET with a body carries it',
        call: { url: '/zel/SRC1:TPLAIN', target: '/echo', body: 'abc' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'null admin fields and empty super flag',
        call: { url: '/zel/SRC1:TPLAIN', target: '/echo', adminName: null, adminProf: undefined, isSuper: '' },
        want: { sn: 'TPLAIN', src: 'SRC1' } },
      { name: 'query of the incoming URL is not part of the chain',
        call: { url: '/zel/SRC9:TPLAIN?a=b:c', target: '/echo', method: 'PATCH' },
        want: { sn: 'TPLAIN', src: 'SRC9' } },
    ];
    cases.forEach((c, i) => {
      it(c.name, async () => {
        const { url, ...opts } = c.call;
        // A tag in the target tells this call's request from any other.
        const target = `${c.call.target}${c.call.target.includes('?') ? '&' : '?'}case=${i}`;
        const r = relay(mod, url, target, opts);
        const expected = expectedRequest({ ...opts, target, ...c.want });
        assert.equal(r.ret, 0);
        const got = await targets.find(`case=${i} `);
        assert.equal(got.server, 'plain');
        assert.equal(got.raw.toString('latin1'), expected.toString('latin1'));
        // The echo comes back through the relay unchanged.
        assert.equal(r.status, 200);
        assert.deepEqual(r.body, expected);
      });
    });
  });

  describe('bodies', () => {
    const sizes = [0, 1, 4095, 4096, 4097, 100000, 16 * MiB];
    const servers = [
      { server: 'plain', serial: 'TPLAIN', query: '' },
      { server: 'chunked', serial: 'TCHUNK', query: '' },
      { server: 'gzip', serial: 'TGZIP', query: '' },
      { server: 'gzip-chunked', serial: 'TGZIP', query: '&chunked=1' },
    ];
    // Only "gzip" at the very end of the list counts as accepting it (or
    // the odd "gzip;q=0"): a browser's "gzip, deflate" gets inflated bodies.
    const clients = [
      { accepts: true, acceptEncoding: 'gzip' },
      { accepts: true, acceptEncoding: 'deflate, gzip' },
      { accepts: false, acceptEncoding: 'gzip, deflate' },
      { accepts: false, acceptEncoding: '' },
    ];
    for (const size of sizes) {
      it(`${size} bytes from every server, with and without gzip acceptance`, () => {
        const body = makeBody(size, size + 7);
        const gz = zlib.gzipSync(body);
        for (const s of servers) {
          for (const c of clients) {
            const label = `${s.server} ${size} B, Accept-Encoding "${c.acceptEncoding}"`;
            const r = relay(mod, `/zel/SRC1:${s.serial}/b`, `/body/${size}?seed=${size + 7}${s.query}`,
              { acceptEncoding: c.acceptEncoding });
            assert.equal(r.status, 200, label);
            checkPieces(r, label);
            checkHeaders(r.headers, headerRule(s.server, c.accepts, { body, gz }), label);
            if (s.server === 'gzip' && !c.accepts) {
              checkInflatedBody(r, body, label);
              continue;
            }
            const expected = (s.server === 'gzip' && c.accepts) || s.server === 'gzip-chunked' ? gz : body;
            assert.equal(r.ret, 0, label);
            assert.ok(r.body.equals(expected), `${label}: body differs (got ${r.body.length} B, want ${expected.length} B)`);
          }
        }
        targets.forget();
      });
    }
  });

  it('slow target: header first, body trickles in', () => {
    const body = makeBody(20000, 3);
    const r = relay(mod, '/zel/SRC1:TSLOW', '/body/20000?seed=3');
    assert.equal(r.ret, 0);
    checkPieces(r, 'slow');
    // The header arrived without the body, so the body is streamed and the
    // length field is dropped.
    assert.equal(r.headers['content-length'], undefined);
    assert.equal(r.headers['x-server'], 'slow');
    assert.ok(r.body.equals(body));
  });

  it('error statuses are relayed like any other reply', () => {
    for (const code of [404, 500, 503]) {
      const r = relay(mod, '/zel/SRC1:TPLAIN', `/status/${code}`);
      assert.equal(r.ret, 0);
      assert.equal(r.status, code);
      assert.equal(r.body.toString(), `status ${code}`);
    }
  });

  it('a chain of three serials reaches the last one', async () => {
    const r = relay(mod, '/zel/SRC1:HOP2:TPLAIN/x', '/echo?chain=3');
    assert.equal(r.ret, 0);
    const got = await targets.find('chain=3 ');
    assert.equal(got.raw.toString(), expectedRequest({ target: '/echo?chain=3', sn: 'TPLAIN', src: 'SRC1' }).toString());
  });

  describe('exceptions from callbacks', () => {
    it('a throwing body callback reaches the caller', () => {
      const err = new Error('body refused');
      assert.throws(() => relay(mod, '/zel/SRC1:TCHUNK', '/body/50000', { onBody: () => { throw err; } }),
        (e) => e === err);
    });
    it('a throwing write-head function reaches the caller', () => {
      assert.throws(() => relay(mod, '/zel/SRC1:TPLAIN', '/body/10', { onHead: () => { throw new RangeError('head refused'); } }),
        { name: 'RangeError', message: 'head refused' });
    });
    it('the next call after a throw works normally', () => {
      const r = relay(mod, '/zel/SRC1:TCHUNK', '/body/9000?seed=2', { acceptEncoding: '' });
      assert.equal(r.ret, 0);
      assert.ok(r.body.equals(makeBody(9000, 2)));
    });
  });

  describe('refused routes', () => {
    const cases = [
      { name: 'serial not in the route table', url: '/zel/SRC1:NOSUCH/x', ret: -1 },
      { name: 'route to an unreachable appliance', url: '/zel/SRC1:TDEAD/x', ret: -1 },
      { name: 'no serial chain at all', url: '/zel', ret: undefined },
      { name: 'serial segment without a colon', url: '/zel/TPLAIN/x', ret: undefined },
    ];
    cases.forEach((c, i) => {
      it(`${c.name} gives ${c.ret}, no callback`, async () => {
        const r = relay(mod, c.url, `/body/10?refused=${i}`);
        assert.equal(r.ret, c.ret);
        assert.deepEqual(r.events, []);
        await assert.rejects(targets.find(`refused=${i} `, 300), /no request/);
      });
    });
  });

  it('1,000 calls leak neither descriptors nor memory', () => {
    const gc = (() => {
      v8.setFlagsFromString('--expose-gc');
      return vm.runInNewContext('gc');
    })();
    const body = makeBody(3000, 11);
    const once = (i) => {
      const server = ['TPLAIN', 'TCHUNK', 'TGZIP'][i % 3];
      const r = relay(mod, `/zel/SRC1:${server}/x`, '/body/3000?seed=11', { acceptEncoding: i % 2 ? 'gzip' : '' });
      assert.equal(r.ret, 0, `call ${i} failed; daemon said:\n${daemon.lines().slice(-5).join('\n')}`);
      if (!(server === 'TGZIP' && i % 2)) assert.ok(r.body.equals(body), `call ${i}`);
    };
    for (let i = 0; i < 20; i++) once(i);
    gc();
    const fds = openFds();
    const rss = process.memoryUsage().rss;
    for (let i = 0; i < 1000; i++) {
      once(i);
    }
    targets.forget();
    gc();
    assert.equal(openFds(), fds, 'descriptors left open');
    const growth = process.memoryUsage().rss - rss;
    assert.ok(growth < 64 * MiB, `RSS grew by ${(growth / MiB).toFixed(1)} MiB over 1,000 calls`);
  });
});

describe('no daemon listening', () => {
  it('gives -1 and calls nothing', () => {
    assert.equal(socketInUse(QUERY_SOCKET), false);
    const r = relay(mod, '/zel/SRC1:TPLAIN/x', '/body/10');
    assert.equal(r.ret, -1);
    assert.deepEqual(r.events, []);
  });
});

describe('daemon failure codes', () => {
  for (const code of [2, 3, 5, 255]) {
    describe(`--fail ${code}`, () => {
      withDaemon(() => [...routeArgs(), '--fail', String(code)]);
      it('gives -1 without calling back', () => {
        const r = relay(mod, '/zel/SRC1:TPLAIN/x', '/body/10');
        assert.equal(r.ret, -1);
        assert.deepEqual(r.events, []);
      });
    });
  }
});

// Replies replayed from a file, cut into datagrams at chosen places.  A gzip
// body is recognised by its first two bytes in the payload that completes the
// header, so for the gzip reply the first cut falls after them; the others
// are also cut inside the header and down to single bytes.
//
// A chunked body's first size line must arrive whole with the first body
// bytes: a cut inside it ends the relay with -1 after write-head.  The cuts
// are therefore computed here (seeded), so each case knows its outcome.
function cutsOf(split, length) {
  const [kind, arg] = [split.slice(0, split.indexOf(':')), split.slice(split.indexOf(':') + 1)];
  if (kind === 'fixed') {
    const n = Number(arg);
    const out = [];
    for (let at = n; at < length; at += n) out.push(at);
    return out;
  }
  return arg.split(',').map(Number).filter((c) => c > 0 && c < length);
}

function seededCuts(seed, length, count) {
  let x = seed >>> 0;
  const next = () => { x = (x * 1664525 + 1013904223) >>> 0; return x; };
  const set = new Set();
  while (set.size < count) set.add(1 + (next() % (length - 1)));
  return [...set].sort((a, b) => a - b);
}

// -1 when the first payload holding body bytes ends before the first size
// line's LF; 0 otherwise.
function chunkedOutcome(cuts, headLen, firstLineEnd) {
  const ends = [...cuts, Infinity];
  const firstBodyEnd = ends.find((e) => e > headLen);
  return firstBodyEnd >= firstLineEnd ? 0 : -1;
}

describe('replayed replies with odd splits', () => {
  const body = makeBody(30000, 5);
  const gz = zlib.gzipSync(body);
  const chunkedText = (buf) => Buffer.concat([
    ...chunksOf(buf).map((c) => Buffer.concat([Buffer.from(c.length.toString(16) + '\r\n'), c, Buffer.from('\r\n')])),
    Buffer.from('0\r\n\r\n')]);
  const replies = [
    { name: 'content-length', head: `HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ${body.length}\r\n\r\n`,
      wire: body, want: body, absent: ['content-length'] },
    { name: 'chunked', head: 'HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\nX-Note: a:b\r\n\r\n',
      wire: chunkedText(body), want: body, absent: ['content-length', 'transfer-encoding'], chunked: true },
    // Not recognised as gzip (see the gzip-chunked server above): de-chunked only.
    { name: 'gzip, chunked', head: 'HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n',
      wire: chunkedText(gz), want: gz, absent: ['content-length', 'transfer-encoding'], chunked: true },
    { name: 'gzip, content-length', head: `HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: ${gz.length}\r\n\r\n`,
      wire: gz, want: body, absent: ['content-length', 'content-encoding'], gzipMagicFirst: true, inflated: true },
  ];
  const splits = (headLen, length, gzipMagicFirst, firstLineEnd) => [
    `fixed:${headLen + 2}`,
    `at:${headLen + 2},${headLen + 3},${headLen + 5},${headLen + 4000},${headLen + 4001}`,
    ...(gzipMagicFirst ? [] : [
      'fixed:1',
      `at:${headLen - 3},${headLen - 1},${headLen + 1}`,
      // The first body payload holds the whole size line, then cuts anywhere.
      `at:${headLen - 1},${firstLineEnd},${firstLineEnd + 1},${firstLineEnd + 4096}`,
      `at:${seededCuts(7, length, 40).join(',')}`,
      `at:${seededCuts(1234, length, 12).join(',')}`,
      `at:${[firstLineEnd + 3, ...seededCuts(99, length, 60).filter((c) => c > firstLineEnd + 3)].join(',')}`,
    ]),
  ];
  for (const rep of replies) {
    const text = Buffer.concat([Buffer.from(rep.head), rep.wire]);
    const headLen = rep.head.length;
    const firstLineEnd = rep.chunked ? headLen + rep.wire.indexOf('\r\n') + 2 : 0;
    splits(headLen, text.length, rep.gzipMagicFirst, firstLineEnd).forEach((split, i) => {
      const want = rep.chunked ? chunkedOutcome(cutsOf(split, text.length), headLen, firstLineEnd) : 0;
      describe(`${rep.name}, split ${i}: ${split.length > 48 ? split.slice(0, 45) + '...' : split}`, () => {
        withDaemon(() => {
          const file = path.join(tmpDir, `${rep.name.replace(/\W+/g, '-')}.http`);
          fs.writeFileSync(file, text);
          return ['--replay', file, '--split', split];
        });
        it(want === 0 ? 'relays status, header and body intact' : 'a cut first size line ends the relay with -1', () => {
          const r = relay(mod, '/zel/SRC1:ANY/x', '/replayed', { acceptEncoding: 'deflate' });
          assert.equal(r.status, Number(rep.head.slice(9, 12)));
          checkPieces(r, split);
          for (const k of rep.absent) assert.equal(r.headers[k], undefined, `${k} must be removed`);
          if (rep.inflated) {
            checkInflatedBody(r, rep.want, split);
          } else if (want === 0) {
            assert.equal(r.ret, 0);
            assert.ok(r.body.equals(rep.want), `body differs: got ${r.body.length} B`);
          } else {
            assert.equal(r.ret, -1);
            assert.equal(r.body.length, 0, 'no body after a cut first size line');
          }
        });
      });
    });
  }
});
