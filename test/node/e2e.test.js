'use strict';
// End to end: node_zel_req -> reference query daemon -> real HTTP servers and
// back, on a query socket of this file's own.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const zlib = require('zlib');

require('./support/private_socket');
const { socketInUse, QUERY_SOCKET } = require('../../tools/demo/queryd');
const { startTargets, makeBody, chunksOf } = require('./support/targets');
const { loadModule, relay, expectedRequest } = require('./support/relay');
const { withDaemon } = require('./support/daemon');
const { fdCount } = require('./support/relay_env');

const mod = loadModule();
const MiB = 1024 * 1024;
let targets, tmpDir;

before(async () => {
  targets = await startTargets();
  tmpDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-e2e-'));
});
after(async () => {
  await targets?.stop();
  if (tmpDir) fs.rmSync(tmpDir, { recursive: true, force: true });
});


// Nothing listens on port 1: TDEAD is an appliance that cannot be reached.
const routeArgs = () => [['TPLAIN', 'plain'], ['TCHUNK', 'chunked'], ['TGZIP', 'gzip'], ['TSLOW', 'slow']]
  .flatMap(([sn, s]) => ['--route', `${sn}=127.0.0.1:${targets.ports[s]}`]).concat('--route', 'TDEAD=127.0.0.1:1');

// Write-head's fields and the body, per reply: `absent` fields removed, `equal`
// ones kept; content-length is kept only when the whole body came with the
// header, stating the length of `cl`.  A chunked body starts with a size line,
// not the gzip magic, so a chunked gzip reply is only de-chunked.
const TE_CL = ['transfer-encoding', 'content-length'];
const REPLIES = {
  'plain': { absent: ['transfer-encoding'], cl: 'body', want: 'body' },
  'chunked': { absent: TE_CL, want: 'body' },
  'gzip, accepted': { absent: ['transfer-encoding'], equal: { 'content-encoding': 'gzip' }, cl: 'gz', want: 'gz' },
  'gzip, not accepted': { absent: [...TE_CL, 'content-encoding'], want: 'body', inflated: true },
  'gzip-chunked': { absent: TE_CL, equal: { 'content-encoding': 'gzip' }, want: 'gz' },
};

function checkReply(r, rule, bodies, label) {
  assert.equal(r.status, rule.status ?? 200, label);
  assert.equal(r.events.lastIndexOf('head'), 0, `${label}: write-head once, before any body piece`);
  assert.ok(r.sameBuffer, `${label}: pieces must come in the one 4096-byte Buffer`);
  for (const n of r.sizes) assert.ok(n >= 1 && n <= 4096, `${label}: piece size ${n}`);
  const h = r.headers;
  for (const k of rule.absent) assert.equal(h[k], undefined, `${label}: ${k} must be removed`);
  for (const [k, v] of Object.entries(rule.equal ?? {})) assert.equal(h[k], v, `${label}: ${k}`);
  if (h['content-length'] !== undefined) {
    assert.equal(h['content-length'], String(bodies[rule.cl]?.length), `${label}: kept content-length`);
  }
  for (const k of Object.keys(h)) assert.equal(k, k.toLowerCase(), `${label}: key ${k} not lower case`);
  const want = bodies[rule.want];
  // Inflate ends with -1 (Z_BUF_ERROR) when the input runs out exactly as a
  // 4096-byte block fills, which depends on where the datagrams cut the body.
  if (rule.inflated && r.ret === -1) {
    assert.ok(r.body.length < want.length, `${label}: -1 although the whole body arrived`);
    assert.ok(r.body.equals(want.subarray(0, r.body.length)), `${label}: delivered bytes are not a prefix`);
    return;
  }
  assert.equal(r.ret, rule.ret ?? 0, label);
  assert.ok(r.body.equals(want), `${label}: body differs (got ${r.body.length} B, want ${want.length} B)`);
}

// Calls that fail before write-head: the result and no callback at all.
function expectRefused(url, ret, target = '/body/10') {
  const r = relay(mod, url, target);
  assert.equal(r.ret, ret);
  assert.deepEqual(r.events, [], 'no callback');
}

describe('relay through the daemon', () => {
  withDaemon(routeArgs);

  it('request text received by the target', async () => {
    const cases = [ // [case, incoming URL, call options, source serial]; the target is always TPLAIN
      ['GET, a list with gzip asks for gzip', '/zel/SRC1:TPLAIN/api', { target: '/api/x?x=1&y=%20', acceptEncoding: 'gzip, deflate' }],
      ['exactly "deflate" asks for deflate', '/zel/SRC1:TPLAIN', { acceptEncoding: 'deflate' }],
      ['a list holding deflate still asks for gzip', '/zel/SRC1:TPLAIN', { acceptEncoding: 'deflate, br' }],
      ['POST with a UTF-8 body counts bytes', '/zel/SRC1:TPLAIN/x', { method: 'POST', body: '{"n":"ééé"}' }],
      ['POST without a body uses the bodiless form', '/zel/SRC1:TPLAIN', { method: 'POST', body: '' }],
      ['GET with a body carries it', '/zel/SRC1:TPLAIN', { body: 'abc' }],
      ['null admin fields and empty super flag', '/zel/SRC1:TPLAIN', { adminName: null, adminProf: undefined, isSuper: '' }],
      ['the query of the incoming URL is not part of the chain', '/zel/SRC9:TPLAIN?a=b:c', { method: 'PATCH' }, 'SRC9'],
      ['a chain of three serials reaches the last one', '/zel/SRC1:HOP2:TPLAIN/x', {}],
    ];
    for (const [i, [name, url, { target = '/api/x', ...opts }, src = 'SRC1']] of cases.entries()) {
      // A tag in the target tells this call's request from any other.
      const tagged = `${target}${target.includes('?') ? '&' : '?'}case=${i}`;
      assert.equal(relay(mod, url, tagged, opts).ret, 0, name);
      const got = await targets.find(`case=${i} `);
      assert.equal(got.server, 'plain', name);
      assert.equal(got.raw.toString('latin1'), expectedRequest({ ...opts, target: tagged, sn: 'TPLAIN', src }).toString('latin1'), name);
    }
  });

  describe('bodies', () => {
    const servers = [['plain', 'TPLAIN', ''], ['chunked', 'TCHUNK', ''], ['gzip', 'TGZIP', ''], ['gzip-chunked', 'TGZIP', '&chunked=1']];
    // Only "gzip" at the very end of the list counts as accepting it.
    const clients = [['gzip', true], ['deflate, gzip', true], ['gzip, deflate', false], ['', false]];
    for (const size of [0, 1, 4095, 4096, 4097, 100000, 16 * MiB]) {
      it(`${size} bytes from every server, with and without gzip acceptance`, () => {
        const body = makeBody(size, size + 7);
        const bodies = { body, gz: zlib.gzipSync(body) };
        for (const [server, sn, query] of servers) {
          for (const [acceptEncoding, accepts] of clients) {
            const label = `${server} ${size} B, Accept-Encoding "${acceptEncoding}"`;
            const r = relay(mod, `/zel/SRC1:${sn}/b`, `/body/${size}?seed=${size + 7}${query}`, { acceptEncoding });
            checkReply(r, REPLIES[server === 'gzip' ? `gzip, ${accepts ? '' : 'not '}accepted` : server], bodies, label);
            assert.equal(r.headers['x-server'], server.split('-')[0], `${label}: other fields pass unchanged`);
          }
        }
      });
    }
  });

  it('slow target: the header comes alone, so the body streams without its length', () => {
    const r = relay(mod, '/zel/SRC1:TSLOW', '/body/20000?seed=3');
    checkReply(r, { absent: TE_CL, equal: { 'x-server': 'slow' }, want: 'body' }, { body: makeBody(20000, 3) }, 'slow');
  });

  it('an exception from either callback reaches the caller, and the next call works', () => {
    const err = new Error('body refused');
    assert.throws(() => relay(mod, '/zel/SRC1:TCHUNK', '/body/50000', { onBody: () => { throw err; } }), (e) => e === err);
    assert.throws(() => relay(mod, '/zel/SRC1:TPLAIN', '/body/10', { onHead: () => { throw new RangeError('head refused'); } }),
      { name: 'RangeError', message: 'head refused' });
    const r = relay(mod, '/zel/SRC1:TCHUNK', '/body/9000?seed=2', { acceptEncoding: '' });
    assert.equal(r.ret, 0);
    assert.ok(r.body.equals(makeBody(9000, 2)));
  });

  it('each body piece is a fresh plain {response, response_size} passed with the global this', () => {
    const seen = [];
    function onBody(piece) {
      seen.push({ self: this, piece, keys: Object.keys(piece), proto: Object.getPrototypeOf(piece) });
    }
    // A callback's own `call` property must not stand in for calling it.
    onBody.call = () => { throw new Error('own call property used'); };
    const ret = mod.node_zel_req('GET', '/zel/SRC1:TPLAIN', '/body/9000', '', 'a', 'p', '1', '', onBody, () => {});
    assert.equal(ret, 0);
    assert.ok(seen.length >= 3, `${seen.length} pieces`);
    for (const s of seen) {
      assert.equal(s.self, globalThis);
      assert.deepEqual(s.keys, ['response', 'response_size']);
      assert.equal(s.proto, Object.prototype);
    }
    assert.equal(new Set(seen.map((s) => s.piece)).size, seen.length, 'one new object per piece');
  });

  it('refused routes give -1 (or undefined without a serial chain), reach no target and call nothing', async () => {
    const cases = [
      ['/zel/SRC1:NOSUCH/x', -1], // serial not in the route table
      ['/zel/SRC1:TDEAD/x', -1], // route to an unreachable appliance
      ['/zel', undefined],
      ['/zel/TPLAIN/x', undefined], // serial segment without a colon
    ];
    for (const [i, [url, ret]] of cases.entries()) {
      expectRefused(url, ret, `/body/10?refused=${i}`);
      await assert.rejects(targets.find(`refused=${i} `, 300), /no request/, url);
    }
  });

  it('1,000 calls leave no descriptor open', async () => {
    const body = makeBody(3000, 11);
    const once = (i) => {
      const sn = ['TPLAIN', 'TCHUNK', 'TGZIP'][i % 3];
      const r = relay(mod, `/zel/SRC1:${sn}/x`, '/body/3000?seed=11', { acceptEncoding: i % 2 ? 'gzip' : '' });
      assert.equal(r.ret, 0, `call ${i}`);
      if (!(sn === 'TGZIP' && i % 2)) assert.ok(r.body.equals(body), `call ${i}`);
    };
    for (let i = 0; i < 20; i++) once(i);
    const fds = fdCount();
    for (let i = 0; i < 1000; i++) once(i);
    assert.equal(fdCount(), fds, 'descriptors left open');
  });
});

describe('no daemon, or a daemon that fails', () => {
  it('no daemon listening: -1, no callback', () => {
    assert.equal(socketInUse(QUERY_SOCKET), false);
    expectRefused('/zel/SRC1:TPLAIN/x', -1);
  });
  for (const code of [2, 3, 5, 255]) {
    describe(`daemon failure code ${code}`, () => {
      withDaemon(() => [...routeArgs(), '--fail', String(code)]);
      it('gives -1 without calling back', () => expectRefused('/zel/SRC1:TPLAIN/x', -1));
    });
  }
});

// Replies replayed from a file and cut into datagrams at chosen places, down
// to single bytes.  A gzip body is recognised by its first two bytes in the
// payload that completes the header, so the gzip reply is cut only after
// them.  A chunked body's first size line must arrive whole with the first
// body bytes: a cut inside it ends the relay with -1 after write-head, so each
// split's outcome is computed from its cuts.
describe('replayed replies with odd splits', () => {
  const body = makeBody(30000, 5);
  const bodies = { body, gz: zlib.gzipSync(body), none: Buffer.alloc(0) };
  const chunked = (buf) => Buffer.concat([
    ...chunksOf(buf).flatMap((c) => [Buffer.from(`${c.length.toString(16)}\r\n`), c, Buffer.from('\r\n')]),
    Buffer.from('0\r\n\r\n')]);
  // `count` cuts scattered over `length` bytes by a multiplicative hash of `seed`.
  const scattered = (seed, length, count) => [...new Set(Array.from({ length: count },
    (_, k) => 1 + (((k + 1) * seed * 2654435761) >>> 0) % (length - 1)))].sort((a, b) => a - b);
  const replies = [
    { name: 'content-length', head: `HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: ${body.length}\r\n\r\n`,
      wire: body, rule: { status: 503, absent: ['content-length'], want: 'body' } },
    { name: 'chunked', head: 'HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\nX-Note: a:b\r\n\r\n', wire: chunked(body),
      rule: { status: 201, absent: TE_CL, equal: { 'x-note': 'a:b' }, want: 'body' } },
    { name: 'gzip', head: `HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: ${bodies.gz.length}\r\n\r\n`, wire: bodies.gz,
      rule: REPLIES['gzip, not accepted'] },
  ];
  for (const rep of replies) {
    const text = Buffer.concat([Buffer.from(rep.head), rep.wire]);
    const hl = rep.head.length;
    const firstLineEnd = hl + rep.wire.indexOf('\r\n') + 2;
    // [--split argument, cut offsets]
    const fixed = (n) => [`fixed:${n}`, Array.from({ length: Math.ceil(text.length / n) - 1 }, (_, k) => (k + 1) * n)];
    const at = (cuts) => [`at:${cuts.join(',')}`, cuts];
    const splits = [fixed(hl + 2), at([hl + 2, hl + 3, hl + 5, hl + 4000, hl + 4001]), ...(rep.rule.inflated ? [] : [
      fixed(1),
      at([hl - 3, hl - 1, hl + 1]),
      // The first body payload holds the whole size line, then cuts anywhere.
      at([hl - 1, firstLineEnd, firstLineEnd + 1, firstLineEnd + 4096]),
      at(scattered(7, text.length, 40)),
      at([firstLineEnd + 3, ...scattered(99, text.length, 60).filter((c) => c > firstLineEnd + 3)]),
    ])];
    splits.forEach(([arg, cuts], i) => {
      // -1 when the first payload holding body bytes ends before the first size line's LF.
      const cut = rep.head.includes('chunked') && [...cuts, Infinity].find((e) => e > hl) < firstLineEnd;
      describe(`${rep.name}, split ${i}: ${arg.length > 48 ? arg.slice(0, 45) + '...' : arg}`, () => {
        withDaemon(() => {
          const file = path.join(tmpDir, `${rep.name}.http`);
          fs.writeFileSync(file, text);
          return ['--replay', file, '--split', arg];
        });
        it(cut ? 'a cut first size line ends the relay with -1' : 'relays status, header and body intact', () => {
          const r = relay(mod, '/zel/SRC1:ANY/x', '/replayed', { acceptEncoding: 'deflate' });
          checkReply(r, cut ? { ...rep.rule, ret: -1, want: 'none' } : rep.rule, bodies, `${rep.name} split ${i}`);
        });
      });
    });
  }
});
