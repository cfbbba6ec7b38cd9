'use strict';
// Time limits and measurements: relay()'s deadline and a signal's time-out
// end a relay with ZEL_ERR_TIMEOUT, before the head or in the body, for
// relay() and the handler; the diagnostics channel reports durations and
// byte counts.  A scripted appliance that stays silent stands for a slow one.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const diagnostics = require('diagnostics_channel');
const zlib = require('zlib');

const { relay } = require('../..');
const { guard, outcome, fetch, startScene, until } = require('./support/hostile');

const HEAD_100 = 'HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789';
// Ample for the head to arrive first on a loaded machine.
const IN_BODY_MS = 5000;
const NO_DATAGRAM_MS = 60000;

describe('time limits', () => {
  let scene;
  const errors = [];
  before(async () => {
    // The daemon would wait a minute for the silent appliance: what ends
    // each relay here is the limit under test.  A limit that must fall in
    // the body leaves the head ample time to arrive first.
    scene = await startScene({ deadline: IN_BODY_MS, timeout: NO_DATAGRAM_MS, onError: (err, req) => errors.push({ url: req.url, err }) },
      ['--target-timeout', '60']);
  });
  after(() => scene?.stop());

  // [name, what the appliance writes before it falls silent, relay options, where it ends, more checks]
  const ROWS = [
    ['deadline before the head', [], { deadline: 300 }, 'head', (r) => assert.equal(r.deadline, 300)],
    ['deadline in the body', [HEAD_100], { deadline: IN_BODY_MS }, 'body', (r) => assert.equal(r.deadline, IN_BODY_MS)],
    ['signal time-out before the head', [], () => ({ signal: AbortSignal.timeout(300) }), 'head',
      (r) => assert.equal(r.cause?.name, 'TimeoutError')],
    ['signal time-out in the body', [HEAD_100], () => ({ signal: AbortSignal.timeout(IN_BODY_MS) }), 'body'],
  ];
  for (const [name, writes, extra, at, check] of ROWS) {
    it(name, async () => {
      const { options } = await scene.scripted({ writes, then: 'hang' });
      // No reply datagram comes while the appliance is silent: the wait for
      // one is set longer than the guard, so it never ends a relay here.
      const o = { ...options, timeout: NO_DATAGRAM_MS, ...(typeof extra === 'function' ? extra() : extra) };
      const [where, err] = await guard(relay(o).then(async (res) => ['body', await readError(res.body)], (e) => ['head', e]), name);
      assert.deepEqual([where, err?.code], [at, 'ZEL_ERR_TIMEOUT'], err?.stack);
      check?.(err);
    });
  }

  it('a signal that already timed out refuses at once with ZEL_ERR_TIMEOUT; a cancel stays ABORT_ERR', async () => {
    const { options } = await scene.scripted({ writes: [], then: 'hang' });
    const expired = AbortSignal.timeout(1);
    await new Promise((resolve) => expired.addEventListener('abort', resolve));
    await assert.rejects(relay({ ...options, signal: expired }), { code: 'ZEL_ERR_TIMEOUT', cause: expired.reason });
    const ac = new AbortController();
    const pending = relay({ ...options, signal: ac.signal });
    ac.abort(new Error('user left'));
    await assert.rejects(pending, { code: 'ABORT_ERR', name: 'AbortError' });
  });

  it('the handler\'s deadline answers 504 before the head and breaks the connection off in the body', async () => {
    const silent = await scene.scripted({ writes: [], then: 'hang' });
    const r = await guard(fetch(silent.url), 'request');
    assert.deepEqual([r.status, JSON.parse(r.body).code], [504, 'ZEL_ERR_TIMEOUT']);

    const slow = await scene.scripted({ writes: [HEAD_100], then: 'hang' });
    const cut = await guard(fetch(slow.url), 'request');
    assert.ok(cut.error, 'the client got a whole response');
    assert.equal(cut.status, 200);
    const path = new URL(slow.url).pathname;
    await until(() => errors.some((e) => e.url === path), 'onError was not called');
    const { err } = errors.find((e) => e.url === path);
    assert.deepEqual([err.code, err.deadline], ['ZEL_ERR_TIMEOUT', IN_BODY_MS]);
  });
});

// The error a body ends with, or null.
async function readError(body) {
  try {
    for await (const p of body) void p; // eslint-disable-line no-unused-vars
    return null;
  } catch (err) {
    return err;
  }
}

describe('diagnostics events', () => {
  let scene;
  const events = [];
  const listen = (m) => events.push(m);
  before(async () => {
    scene = await startScene();
    diagnostics.subscribe('node-zel-mod:relay', listen);
  });
  after(async () => {
    diagnostics.unsubscribe('node-zel-mod:relay', listen);
    await scene?.stop();
  });
  const of = (path) => events.filter((m) => m.path === path);

  it('carry the head and total durations, the reply bytes read and the body bytes delivered', async () => {
    const text = 'decoded body '.repeat(500);
    const gz = zlib.gzipSync(text);
    const reply = Buffer.concat([Buffer.from(`HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: ${gz.length}\r\n\r\n`), gz]);
    const { options } = await scene.scripted({ writes: [reply.toString('latin1')] });
    const r = await guard(outcome(options), 'relay');
    assert.equal(r.body.toString(), text);
    const [start, head, end] = of(options.path);
    assert.deepEqual([start?.event, head?.event, end?.event], ['start', 'head', 'end']);
    assert.equal(head.statusCode, 200);
    assert.ok(head.headMs >= 0 && end.headMs === head.headMs && end.totalMs >= end.headMs, JSON.stringify(end));
    assert.deepEqual([end.replyBytes, end.bodyBytes, end.error], [reply.length, Buffer.byteLength(text), null]);
  });

  it('a relay that fails before its head ends with its error, no head time and no body bytes', async () => {
    const { options } = await scene.scripted({ writes: ['SSH-2.0-OpenSSH\r\n\r\n'] });
    const r = await guard(outcome(options), 'relay');
    assert.equal(r.code, 'ZEL_ERR_BAD_REPLY');
    const end = of(options.path).find((m) => m.event === 'end');
    assert.deepEqual([end.error?.code, end.headMs, end.bodyBytes, end.replyBytes], ['ZEL_ERR_BAD_REPLY', null, 0, Buffer.byteLength('SSH-2.0-OpenSSH\r\n\r\n')]);
    assert.ok(end.totalMs >= 0);
  });
});
