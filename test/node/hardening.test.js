'use strict';
// What the module refuses so that a caller cannot change the identity an
// appliance sees, and replies it does not take for complete: line breaks and
// NULs in head texts, a header too long for its buffer, cut replies.  Runs the
// real module against the reference daemon and real targets, directly and
// through the demo's admin server.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

require('./support/private_socket');
const { createAdminServer } = require('../../tools/demo/admin_server');
const { startTargets, makeBody } = require('./support/targets');
const { loadModule, relay, expectedRequest } = require('./support/relay');
const { withDaemon } = require('./support/daemon');

const mod = loadModule();
let targets, tmpDir;

before(async () => {
  targets = await startTargets();
  tmpDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-harden-'));
});
after(async () => {
  await targets?.stop();
  if (tmpDir) fs.rmSync(tmpDir, { recursive: true, force: true });
});

const routeArgs = () => ['--route', `TPLAIN=127.0.0.1:${targets.ports.plain}`];

// Resolves { status, headers, body }, or { error } when the response broke off.
const request = (url, { method = 'GET', body } = {}) => new Promise((resolve) => {
  http.request(url, { method, agent: false }, (res) => {
    const parts = [];
    res.on('data', (d) => parts.push(d))
      .on('error', (error) => resolve({ error }))
      .on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(parts) }));
  }).on('error', (error) => resolve({ error })).end(body);
});

// The identity lines of a request as the target received it.
const identityLines = (raw) => raw.toString('latin1').split('\r\n').filter((l) => /^X-(ADMIN|ZEL)-/i.test(l));

// A body of identity fields, for a request whose header would be cut just
// before them.
const INJECTED = 'X-ADMIN-NAME: ZL_root\r\nX-ADMIN-PERMISSIONS: read-write\r\nX-ADMIN-SUPER: 1\r\nContent-Length: 0\r\n\r\n';

describe('request heads', () => {
  withDaemon(routeArgs);

  it('text arguments holding CR, LF or NUL, and methods that are not tokens, are refused; nothing is sent', async () => {
    // Argument positions of the call, and what each is named in the error.
    const slots = [[0, 'method'], [1, 'url'], [2, 'new_url'], [4, 'admin_name'], [5, 'admin_prof'], [6, 'is_super_admin']];
    const good = (tag) => ['GET', '/zel/SRC1:TPLAIN/x', `/body/10?tag=${tag}`, '', 'bob', 'read-only', '0', ''];
    let n = 0;
    for (const [slot, name] of slots) {
      for (const bad of ['\r', '\n', '\0', '\r\nX-ADMIN-SUPER: 1']) {
        const tag = `refused-${n++}`;
        const args = good(tag);
        args[slot] += bad;
        let called = false;
        assert.throws(() => mod.node_zel_req(...args, () => { called = true; }, () => { called = true; }),
          { code: 'EINVAL', message: `${name} holds a CR, LF or NUL character` }, `${name} + ${JSON.stringify(bad)}`);
        assert.equal(called, false);
        await assert.rejects(targets.find(`tag=${tag}`, 200), /no request/, `${name} + ${JSON.stringify(bad)} was sent`);
      }
    }
    for (const method of ['GET /x', 'GET\t', '(GET)', 'G\u00c9T', 'GET:']) {
      const tag = `refused-${n++}`;
      assert.throws(() => relay(mod, '/zel/SRC1:TPLAIN/x', `/body/10?tag=${tag}`, { method }),
        { code: 'EINVAL', message: 'method holds a character that is not an HTTP token character' }, method);
      await assert.rejects(targets.find(`tag=${tag}`, 200), /no request/, `${method} was sent`);
    }
    // Token methods, and a body holding anything but NUL, go out as they are.
    for (const [method, body] of [['M-SEARCH', ''], ['POST', INJECTED + '\r\n']]) {
      const tag = `sent-${n++}`;
      assert.equal(relay(mod, '/zel/SRC1:TPLAIN/x', `/body/10?tag=${tag}`, { method, body }).ret, 0, method);
      const got = await targets.find(`tag=${tag}`);
      assert.deepEqual(identityLines(got.raw.subarray(0, got.raw.indexOf('\r\n\r\n'))),
        ['X-ZEL-SN: TPLAIN', 'X-ZEL-SOURCE-SN: SRC1', 'X-ADMIN-NAME: ZL_alice', 'X-ADMIN-PERMISSIONS: full-access', 'X-ADMIN-SUPER: 1']);
    }
  });

  it('a header that does not fit its 8190-byte buffer is not sent at all', async () => {
    const opts = { method: 'POST', body: INJECTED, adminName: 'bob', adminProf: 'read-only', isSuper: '0' };
    const target = (tag, pad) => `/body/10?tag=${tag}&pad=${'a'.repeat(pad)}`;
    const headerLen = (t) => expectedRequest({ ...opts, target: t, sn: 'TPLAIN', src: 'SRC1' }).length - INJECTED.length;
    const fits = 8189 - headerLen(target('fit-0', 0));
    for (const [tag, pad, ret] of [['fit-1', fits, 0], ['lng-1', fits + 1, -1], ['lng-2', 8000, -1]]) {
      assert.equal(headerLen(target(tag, pad)), 8189 + pad - fits);
      const r = relay(mod, '/zel/SRC1:TPLAIN/x', target(tag, pad), opts);
      assert.equal(r.ret, ret, tag);
      if (ret === 0) {
        const got = await targets.find(`tag=${tag}&`);
        assert.equal(got.raw.toString('latin1'), expectedRequest({ ...opts, target: target(tag, pad), sn: 'TPLAIN', src: 'SRC1' }).toString('latin1'));
      } else {
        assert.deepEqual(r.events, [], `${tag}: no callback`);
        await assert.rejects(targets.find(`tag=${tag}&`, 300), /no request/, `${tag} was sent`);
      }
    }
  });

  it('a URL-decoded CR LF is refused before anything is sent', () => {
    const decoded = decodeURIComponent('/body/10%0d%0aX-ADMIN-SUPER:%201?tag=dec-1');
    assert.throws(() => mod.node_zel_req('GET', '/zel/SRC1:TPLAIN', decoded, 'gzip', 'bob', 'read-only', '0', '', () => {}, () => {}),
      (err) => err.code === 'EINVAL' && /new_url holds a CR, LF or NUL character/.test(err.message));
    return assert.rejects(targets.find('tag=dec-1', 300), /no request/);
  });

  it('through the demo admin server, an encoded CR LF stays in the path and a padded POST keeps its identity', async () => {
    const s = createAdminServer({ identity: { name: 'bob', profile: 'read-only', superAdmin: false } });
    await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
    const base = `http://127.0.0.1:${s.address().port}`;
    const bob = ['X-ZEL-SN: TPLAIN', 'X-ZEL-SOURCE-SN: SRC1', 'X-ADMIN-NAME: ZL_bob', 'X-ADMIN-PERMISSIONS: read-only', 'X-ADMIN-SUPER: 0'];
    try {
      const evil = '/zel/SRC1:TPLAIN/body/10%0d%0aX-ADMIN-SUPER:%201%0d%0aX-ADMIN-PERMISSIONS:%20read-write?tag=plain-1';
      const kept = await request(base + evil);
      assert.equal(kept.status, 404);  // the appliance has no such path
      const got = await targets.find('tag=plain-1');
      assert.ok(got.raw.toString('latin1').startsWith('GET /body/10%0d%0aX-ADMIN-SUPER:%201%0d%0aX-ADMIN-PERMISSIONS:%20read-write?tag=plain-1 HTTP/1.1\r\n'));
      assert.deepEqual(identityLines(got.raw), bob);

      // A padded request: a long target path and identity fields in the
      // body.  Whatever reaches the appliance carries bob's identity once,
      // and the injected lines only as body bytes.
      const padReply = await request(`${base}/zel/SRC1:TPLAIN/body/10?tag=pad-1&p=${'a'.repeat(8000)}`, { method: 'POST', body: INJECTED });
      assert.equal(padReply.status, 200);
      const raw = (await targets.find('tag=pad-1')).raw.toString('latin1');
      const headEnd = raw.indexOf('\r\n\r\n');
      assert.deepEqual(identityLines(Buffer.from(raw.slice(0, headEnd), 'latin1')), bob);
      assert.equal(raw.slice(headEnd + 4), INJECTED);
    } finally {
      s.close();
    }
  });
});

// Replayed replies whose body ends before its framing says it does.  The
// daemon sends its final datagram after the file's last byte, exactly as when
// an appliance closes its connection early.
describe('cut replies', () => {
  const body = makeBody(3000, 9);
  const chunk = (b) => `${b.length.toString(16)}\r\n${b.toString('latin1')}\r\n`;
  const chunked = chunk(body.subarray(0, 1000)) + chunk(body.subarray(1000));
  const cases = [ // [name, reply, result, body delivered]
    ['Content-Length reached', `HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n${body.subarray(0, 10).toString('latin1')}`, 0, 10],
    ['Content-Length 100, 10 bytes', `HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n${body.subarray(0, 10).toString('latin1')}`, -1, 10],
    ['Content-Length 3000 streamed, 2999 bytes', `HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n${body.subarray(0, 2999).toString('latin1')}`, -1, 2999],
    ['chunked with its zero-size chunk', `HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n${chunked}0\r\n\r\n`, 0, 3000],
    ['chunked without its zero-size chunk', `HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n${chunked}`, -1, 3000],
    ['chunked, cut inside a chunk', `HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n${chunked.slice(0, 1500)}`, -1, 1488],
    ['header cut', 'HTTP/1.1 200 OK\r\nContent-Le', -1, 0],
  ];
  cases.forEach(([name, text, ret, delivered], i) => {
    describe(name, () => {
      withDaemon(() => {
        const file = path.join(tmpDir, `cut-${i}.http`);
        fs.writeFileSync(file, Buffer.from(text, 'latin1'));
        return ['--replay', file, '--split', 'fixed:700'];
      });
      it(`the call returns ${ret}`, () => {
        const r = relay(mod, '/zel/SRC1:ANY/x', '/replayed', { acceptEncoding: 'gzip' });
        assert.equal(r.ret, ret);
        assert.ok(r.body.equals(body.subarray(0, delivered)), `delivered ${r.body.length} B, want ${delivered} B`);
      });
      if (ret === -1 && delivered > 0) {
        it('the demo admin server never ends the response as a complete reply', async () => {
          const s = createAdminServer({ identity: { name: 'bob', profile: 'p', superAdmin: false } });
          await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
          try {
            const r = await request(`http://127.0.0.1:${s.address().port}/zel/SRC1:ANY/x`);
            // Broken off after the head, or a 502 when the cut was seen first.
            assert.ok(r.error || r.status === 502, `response ended as complete: ${r.status}, ${r.body?.length} B`);
          } finally {
            s.close();
          }
        });
      }
    });
  });
});

// A client of the admin server chooses the target and the body.  A blank in
// the target could end it early for some server, and a NUL used to cut the
// body there without notice.
describe('a client', () => {
  withDaemon(routeArgs);

  it('a target holding a blank, or a body holding a NUL, is refused; nothing is sent', async () => {
    const cases = [ // [argument slot, name, text appended, message]
      ...[' ', '\t', '\v', '\f', ' HTTP/1.0'].map((b) => [2, 'new_url', b, 'new_url holds a space, tab, vertical tab or form feed character']),
      [7, 'post_body', '\0', 'post_body holds a NUL character'],
      [7, 'post_body', '\0{"admin":true}', 'post_body holds a NUL character'],
    ];
    let n = 0;
    for (const [slot, name, bad, message] of cases) {
      const tag = `client-${n++}`;
      const args = ['POST', '/zel/SRC1:TPLAIN/x', `/body/10?tag=${tag}`, '', 'bob', 'read-only', '0', '{"a":1}'];
      args[slot] = slot === 2 ? `/body/10${bad}?tag=${tag}` : args[slot] + bad;
      let called = false;
      assert.throws(() => mod.node_zel_req(...args, () => { called = true; }, () => { called = true; }),
        { code: 'EINVAL', message }, `${name} + ${JSON.stringify(bad)}`);
      assert.equal(called, false);
      await assert.rejects(targets.find(`tag=${tag}`, 200), /no request/, `${name} + ${JSON.stringify(bad)} was sent`);
    }
    // The same call with a plain target and body is sent whole.
    const body = `{"a":1,"b":"${'x'.repeat(100)}"}`;
    const r = relay(mod, '/zel/SRC1:TPLAIN/x', '/body/10?tag=client-ok', { method: 'POST', body });
    assert.equal(r.ret, 0);
    const got = await targets.find('tag=client-ok');
    assert.equal(got.raw.subarray(got.raw.indexOf('\r\n\r\n') + 4).toString(), body);
  });
});

// A hostile appliance answers.  The script writes its head with Node's own
// res.writeHead, as a server built like the README's example does: a head it
// would throw on must never reach it, bytes past the response's end (a second
// response for the client) must never reach the body callback, and the call
// returns -1 for either.  Replayed by the daemon in 700-byte payloads.
describe('a hostile appliance', () => {
  const SMUGGLED = 'HTTP/1.1 200 OK\r\nSet-Cookie: sid=evil\r\nContent-Length: 8\r\n\r\n<script>';
  const head = (...lines) => `HTTP/1.1 200 OK\r\n${lines.map((l) => l + '\r\n').join('')}\r\n`;
  const euro = Buffer.from('\u20ac').toString('latin1');  // its UTF-8 bytes, one character each
  const cases = [ // [name, reply, result, body delivered, write-head called, header fields expected]
    ['bytes past Content-Length', head('Content-Length: 5') + 'hello' + SMUGGLED, -1, 'hello', true],
    ['a response behind a chunked body', head('Transfer-Encoding: chunked') + '5\r\nhello\r\n0\r\n\r\n' + SMUGGLED, -1, 'hello', true],
    ['a response behind a chunked body\'s trailer', head('Transfer-Encoding: chunked') + '5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n' + SMUGGLED, -1, 'hello', true],
    ['Content-Length 4294967298 (read as 2 once)', head('Content-Length: 4294967298') + 'hello', -1, '', false],
    ['Content-Length not a number', head('Content-Length: 5abc') + 'hello', -1, '', false],
    ['two Content-Lengths', head('Content-Length: 5', 'Content-Length: 2') + 'hello', -1, '', false],
    ['Content-Length with chunked coding', head('Content-Length: 5', 'Transfer-Encoding: chunked') + '5\r\nhello\r\n0\r\n\r\n', -1, '', false],
    ['a head that never ends', 'HTTP/1.1 200 OK\r\nX-Pad: ' + 'p'.repeat(70000), -1, '', false],
    ['a control byte in a value', head('Content-Length: 5', 'X-Bad: a\x01b') + 'hello', -1, '', false],
    ['DEL in a value', head('Content-Length: 5', 'X-Bad: a\x7fb') + 'hello', -1, '', false],
    ['a name that is not a token', head('Content-Length: 5', 'Bad Name: x') + 'hello', -1, '', false],
    ['a folded field', head('Content-Length: 5', 'X-A: 1', ' folded') + 'hello', -1, '', false],
    ['status 099', 'HTTP/1.1 099 Low\r\nContent-Length: 5\r\n\r\nhello', -1, '', false],
    ['status 1000', 'HTTP/1.1 1000 High\r\nContent-Length: 5\r\n\r\nhello', -1, '', false],
    // Heads that pass reach res.writeHead, which takes them.
    ['tab, latin1 and UTF-8 bytes in values', head('Content-Length: 5', 'X-Tab: a\tb', 'X-Latin: caf\xe9', `X-Utf8: ${euro}`) + 'hello', 0, 'hello', true,
      { 'content-length': '5', 'x-tab': 'a\tb', 'x-latin': 'caf\xe9', 'x-utf8': euro }],
    ['lines ended by a bare LF', 'HTTP/1.1 200 OK\nContent-Length: 5\nX-A: 1\r\n\r\nhello', 0, 'hello', true, { 'content-length': '5', 'x-a': '1' }],
    ['a Trailer field on a Content-Length body', head('Content-Length: 5', 'Trailer: X-Sum') + 'hello', 0, 'hello', true, { 'content-length': '5' }],
  ];
  cases.forEach(([name, text, ret, delivered, headCalled, fields], i) => {
    describe(name, () => {
      withDaemon(() => {
        const file = path.join(tmpDir, `hostile-${i}.http`);
        fs.writeFileSync(file, Buffer.from(text, 'latin1'));
        return ['--replay', file, '--split', 'fixed:700'];
      });
      it(`the call returns ${ret} and res.writeHead never throws`, () => {
        const res = new http.ServerResponse({ method: 'GET', httpVersionMajor: 1, httpVersionMinor: 1, headers: {} });
        let r;
        try {
          r = relay(mod, '/zel/SRC1:ANY/x', '/replayed', { acceptEncoding: 'gzip', onHead: (status, headers) => res.writeHead(status, headers) });
        } catch (err) {
          assert.fail(`the call threw ${err.code}: ${err.message}`);
        }
        assert.equal(r.ret, ret);
        assert.equal(r.body.toString('latin1'), delivered);
        assert.equal(r.events.includes('head'), headCalled);
        if (fields) assert.deepEqual(r.headers, fields);
      });
    });
  });
});
