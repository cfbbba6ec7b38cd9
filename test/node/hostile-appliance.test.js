'use strict';
// A compromised appliance, against relay() and the handler: it cannot pass a
// reply off as whole that goes on after its end or misstates its framing,
// reach the admin server's origin, leave a query open, or keep a relay
// pending.  The appliance writes raw bytes through the reference daemon.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');

const { filterResponseHeaders } = require('../..');
const { guard, until, outcome, fetch, startScene, fdCount } = require('./support/hostile');

const OK = (fields, body) => `HTTP/1.1 200 OK\r\n${fields.map((f) => `${f}\r\n`).join('')}\r\n${body}`;

let scene;
before(async () => { scene = await startScene(); });
after(() => scene?.stop());

describe('replies that are not one whole response are ZEL_ERR_BAD_REPLY', () => {
  // [name, script, where it fails: 'head' rejects the promise, 'body' errors
  // the body (the head was fine)]
  const ROWS = [
    ['a second response after Content-Length', { writes: [OK(['Content-Length: 5'], 'hello') + OK(['Set-Cookie: sid=x', 'Content-Length: 0'], '')] }, 'body'],
    ['part of a second response after Content-Length', { writes: [OK(['Content-Length: 5'], 'helloHTTP/1.1 2')] }, 'body'],
    ['CR LF after Content-Length', { writes: [OK(['Content-Length: 5'], 'hello\r\n')] }, 'body'],
    ['bytes after Content-Length, in a later datagram', { writes: [OK(['Content-Length: 5'], 'hello'), '<script>'], gapMs: 50 }, 'body'],
    // The head's last line cut by a datagram's end, before and inside CR LF.
    ['bytes after Content-Length, the blank line cut after its CR', { writes: ['HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r', '\nhelloHTTP/1.1 2'], gapMs: 50 }, 'body'],
    ['bytes after Content-Length, the head cut before its blank line', { writes: ['HTTP/1.1 200 OK\r\nContent-Length: 5\r\n', '\r\nhelloHTTP/1.1 2'], gapMs: 50 }, 'body'],
    ['part of a second response after a chunked body', { writes: [OK(['Transfer-Encoding: chunked'], '5\r\nhello\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n')] }, 'body'],
    ['a body on a 204', { writes: ['HTTP/1.1 204 No Content\r\n\r\n<script>'] }, 'body'],
    ['Content-Length 4294967298, 2 modulo 2^32', { writes: [OK(['Content-Length: 4294967298'], 'hi')] }, 'head'],
    ['Content-Length 2147483648', { writes: [OK(['Content-Length: 2147483648'], 'hi')] }, 'head'],
    ['Content-Length not plain digits', { writes: [OK(['Content-Length: +2'], 'hi')] }, 'head'],
    ['two Content-Length fields', { writes: [OK(['Content-Length: 2', 'Content-Length: 7'], 'hi')] }, 'head'],
    ['Transfer-Encoding other than chunked alone', { writes: [OK(['Transfer-Encoding: gzip, chunked'], '2\r\nhi\r\n0\r\n\r\n')] }, 'head'],
    ['status 099', { writes: ['HTTP/1.1 099 Low\r\nContent-Length: 0\r\n\r\n'] }, 'head'],
    ['status 000', { writes: ['HTTP/1.1 000 Zero\r\nContent-Length: 0\r\n\r\n'] }, 'head'],
    ['a control byte in the reason phrase', { writes: ['HTTP/1.1 200 O\x01K\r\nContent-Length: 0\r\n\r\n'] }, 'head'],
    ['a control byte in a field value', { writes: [OK(['X-Bad: a\x01b', 'Content-Length: 0'], '')] }, 'head'],
    ['a field name that is not a token', { writes: [OK(['X(Bad): a', 'Content-Length: 0'], '')] }, 'head'],
    ['a head that never ends', { writes: ['HTTP/1.1 200 OK\r\n'], then: 'endless-head' }, 'head'],
    ['informational heads that never end', { then: 'endless-1xx' }, 'head'],
  ];
  it('each is refused, and no query stays open', async () => {
    const fds = fdCount();
    for (const [name, script, at] of ROWS) {
      const c = await scene.scripted(script);
      const o = await guard(outcome({ ...c.options, timeout: 5000 }), name);
      assert.deepEqual([o.at, o.code], [at, 'ZEL_ERR_BAD_REPLY'], `${name}: ${o.message ?? `${o.status}, ${o.body}`}`);
    }
    await until(() => fdCount() === fds, 'descriptors left open');
  });

  it('a reply that ends where its framing says passes', async () => {
    for (const script of [
      { writes: [OK(['Content-Length: 5'], 'hello')] },
      { writes: [OK(['Transfer-Encoding: chunked'], '5\r\nhello\r\n0\r\nX-Sum: 1\r\n\r\n')] },
      { writes: ['HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n', OK(['Content-Length: 5'], 'hello')], gapMs: 20 },
      { writes: [OK([], 'hello')] },
    ]) {
      const o = await guard(outcome((await scene.scripted(script)).options), 'relay');
      assert.deepEqual([o.at, o.status, String(o.body)], ['end', 200, 'hello'], o.message);
    }
  });
});

describe('the handler keeps the appliance off the admin origin', () => {
  const DROPPED = [
    'Set-Cookie: sid=evil; Path=/', 'Set-Cookie2: a=b', 'Strict-Transport-Security: max-age=0',
    'Access-Control-Allow-Origin: *', 'Access-Control-Allow-Credentials: true', 'Clear-Site-Data: "*"',
    'Content-Security-Policy: script-src *', 'Content-Security-Policy-Report-Only: default-src *; report-uri //evil',
    'Refresh: 0; url=//evil', 'Link: <//evil/x.css>; rel=preload', 'WWW-Authenticate: Basic realm="admin"',
    'NEL: {"report_to":"e","max_age":9}', 'Report-To: {"group":"e"}', 'Alt-Svc: h2="evil:443"',
    'Keep-Alive: timeout=99', 'Proxy-Authenticate: Basic', 'Proxy-Authorization: Basic eA==', 'Upgrade: websocket',
    'TE: trailers', 'Trailer: X-Sum', 'Connection: X-Private', 'X-Private: named by Connection',
  ];
  const page = '<script>fetch("/zel/ZL1:OTHER/api/users", { method: "DELETE" })</script>';
  const reply = { writes: [OK([...DROPPED, 'Content-Type: text/html', 'X-Kept: yes', `Content-Length: ${page.length}`], page)] };
  const ADDED = {
    'content-security-policy': "sandbox; default-src 'none'; frame-ancestors 'none'",
    'x-content-type-options': 'nosniff',
    'cross-origin-resource-policy': 'same-origin',
  };
  // Node's server sets a Connection field of its own.
  const sent = (r) => DROPPED.map((f) => f.split(':')[0].toLowerCase())
    .filter((n) => n in r.headers && !(n in ADDED) && !(n === 'connection' && r.headers[n] === 'close'));

  it('drops cookies, origin-wide policies, grants and hop-by-hop fields, and adds a sandbox', async () => {
    const r = await guard(fetch((await scene.scripted(reply)).url), 'request');
    assert.equal(r.status, 200);
    assert.deepEqual(sent(r), [], 'fields that reached the client');
    for (const [k, v] of Object.entries(ADDED)) assert.equal(r.headers[k], v, k);
    assert.deepEqual([r.headers['content-type'], r.headers['x-kept'], String(r.body)], ['text/html', 'yes', page]);
    // The handler's own answers carry the same fields.
    const failed = await guard(fetch((await scene.scripted({ writes: ['HTTP/1.1 099 X\r\n\r\n'] })).url), 'request');
    assert.equal(failed.status, 502);
    for (const [k, v] of Object.entries(ADDED)) assert.equal(failed.headers[k], v, k);
  });

  it('relay() users get the same filter; an integrator may choose to pass more', async () => {
    const o = await guard(outcome((await scene.scripted(reply)).options), 'relay');
    assert.equal(o.headers['set-cookie'][0], 'sid=evil; Path=/', 'relay() itself gives what came');
    const filtered = filterResponseHeaders(o.headers);
    assert.deepEqual(sent({ headers: filtered }), []);
    assert.equal(filtered['x-kept'], 'yes');

    const trusting = await startScene({ responseHeaders: (headers, ctx) => ({ ...headers, 'x-status': String(ctx.statusCode) }) });
    try {
      const r = await guard(fetch((await trusting.scripted(reply)).url), 'request');
      assert.deepEqual([r.headers['set-cookie']?.[0], r.headers['x-status'], r.headers['content-security-policy']],
        ['sid=evil; Path=/', '200', 'script-src *']);
      // Hop-by-hop fields are never the integrator's to pass.
      assert.deepEqual([r.headers['keep-alive'], r.headers['x-private'], r.headers.upgrade], [undefined, undefined, undefined]);
    } finally {
      await trusting.stop();
    }
  });
});

describe('every failure of the handler closes its query', () => {
  it('a status the response cannot carry, and a responseHeaders that throws or returns bad fields', async () => {
    // Bodies that never end: a query left open stays open.
    const endless = (status) => ({ writes: [`HTTP/1.1 ${status} X\r\nContent-Type: text/plain\r\n\r\n`], then: 'endless-body' });
    const cases = [ // [handler options, reply, status the client gets]
      [{}, endless('099'), 502],
      [{}, endless('000'), 502],
      [{ responseHeaders: () => { throw new Error('no'); } }, endless(200), 500],
      [{ responseHeaders: () => ({ 'x-bad': 'a\nb', 'set-cookie': 'k=v' }) }, endless(200), 500],
    ];
    for (const [options, reply, status] of cases) {
      const s = await startScene(options);
      try {
        const fds = fdCount();
        const answers = [];
        for (let i = 0; i < 20; i++) answers.push(await guard(fetch((await s.scripted(reply)).url), 'request'));
        await until(() => fdCount() === fds, `descriptors left open after 20 requests answered ${answers[0].status}`);
        for (const r of answers) {
          assert.equal(r.status, status, String(r.body));
          assert.equal(r.headers['set-cookie'], undefined);
        }
      } finally {
        await s.stop();
      }
    }
  });
});

describe('a 101 Switching Protocols settles the relay', () => {
  const up = { writes: ['HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n'], then: 'hang' };
  it('relay() rejects with ZEL_ERR_BAD_REPLY, with or without timeout and signal; the handler answers 502', async () => {
    const fds = fdCount();
    // Limits far beyond the 101's arrival: what settles the relay is the 101.
    for (const extra of [{}, { timeout: 10000 }, { signal: AbortSignal.timeout(10000) }]) {
      const o = await guard(outcome({ ...(await scene.scripted(up)).options, ...extra }), '101 relay');
      assert.deepEqual([o.at, o.code], ['head', 'ZEL_ERR_BAD_REPLY'], o.message);
      assert.match(o.message, /101/);
    }
    const r = await guard(fetch((await scene.scripted(up)).url), 'request');
    assert.equal(r.status, 502);
    await until(() => fdCount() === fds, 'descriptors left open');
  });
});
