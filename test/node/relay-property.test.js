'use strict';
// relay() and the handler against random replies, most of them malformed
// (bad status lines, control bytes, repeated and conflicting framing fields,
// informational heads, cut bodies, bytes after the end, endless heads and
// bodies), written by a scripted appliance through the reference daemon.
// Whatever comes: every relay settles, the descriptor count returns to where
// it started, nothing is thrown or rejected unhandled, and the handler's
// client gets a whole response or a broken connection.  A well-formed reply
// arrives exactly; bytes after a response's end are always refused.
//
// ZEL_PROPERTY_SEED repeats a run; ZEL_PROPERTY_RUNS sets its length.  The
// test suite runs a fixed seed, so it passes or fails the same way on every
// run; `npm run fuzz` and `npm run fuzz:relay` draw a new seed and run longer.
const { it, before, after } = require('node:test');
const assert = require('node:assert/strict');

const { guard, until, fetch, startScene, fdCount } = require('./support/hostile');

const SEED = process.env.ZEL_PROPERTY_SEED ? Number(process.env.ZEL_PROPERTY_SEED) : 20261206;
const RUNS = Number(process.env.ZEL_PROPERTY_RUNS || 300);
const AT_ONCE = 4;
// Generous, so no well-formed reply ever meets it; a silent appliance is
// ended sooner by the daemon's --target-timeout.  A relay to an appliance
// that hangs on purpose gets a short one, to run the time-out path.
const TIMEOUT_MS = 10000;
const SHORT_TIMEOUT_MS = 300;
// An endless body is read this far, then given up.
const READ_CAP = 256 * 1024;
// Fields no client of the handler may ever see from an appliance.
const NEVER = ['set-cookie', 'strict-transport-security', 'access-control-allow-origin', 'clear-site-data', 'x-named'];
const SANDBOX = "sandbox; default-src 'none'; frame-ancestors 'none'";

function generator(seed) {
  let x = (seed >>> 0) || 1;
  const next = () => {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    return x / 2 ** 32;
  };
  const int = (lo, hi) => lo + Math.floor(next() * (hi - lo + 1));
  const pick = (list) => list[int(0, list.length - 1)];
  const chance = (p) => next() < p;
  const text = (n, chars) => Array.from({ length: n }, () => chars[int(0, chars.length - 1)]).join('');
  return { int, pick, chance, text };
}

const VISIBLE = Array.from({ length: 95 }, (_, i) => String.fromCharCode(32 + i)).join('').replace(/\s/, '');
const ANY_BYTE = Array.from({ length: 256 }, (_, i) => String.fromCharCode(i)).join('');

// One reply: { writes, gapMs, then, method, expect, status, body, what }.
// expect is 'whole' (must arrive exactly), 'extra' (bytes after the end:
// must be ZEL_ERR_BAD_REPLY) or 'any' (must only settle).
function makeCase(g) {
  const faults = [];
  let extra = false;
  const method = g.chance(0.1) ? 'HEAD' : 'GET';
  let status = g.pick([200, 200, 201, 204, 304, 404, 500, 299, 999]);
  const noBody = method === 'HEAD' || status === 204 || status === 304;
  let body = noBody ? '' : g.text(g.pick([0, 1, 10, 700, 3000, 9000]), g.chance(0.5) ? VISIBLE : ANY_BYTE);
  let statusText = String(status);
  if (g.chance(0.08)) {
    statusText = g.pick(['099', '000', '1000', '20', '2x0', '101', '']);
    faults.push(`status "${statusText}"`);
  }
  let reason = g.pick(['OK', 'Fine', '', 'Some Reason']);
  if (g.chance(0.04)) {
    reason += '\x01';
    faults.push('reason control byte');
  }
  const fields = [];
  for (let i = g.int(0, 4); i > 0; i--) fields.push(`X-F${i}: ${g.text(g.int(0, 40), VISIBLE).trim()}`);
  if (g.chance(0.3)) fields.push('Set-Cookie: sid=evil', 'Strict-Transport-Security: max-age=1', 'Access-Control-Allow-Origin: *');
  if (g.chance(0.2)) fields.push('Connection: X-Named', 'X-Named: dropped');
  if (g.chance(0.3)) fields.push('Connection: close');
  if (g.chance(0.05)) {
    fields.push(g.pick(['X-Bad: a\x01b', 'X-Bad: a\x00b', 'X-Bad: a\x7fb', 'X Bad: a', 'X(Bad): a', 'X-Fold: a\r\n b']));
    faults.push('bad field');
  }

  // Framing, and what it does to the body.
  let payload = body;
  let framing = g.pick(['length', 'length', 'chunked', 'close']);
  if (noBody && framing === 'close') framing = 'length';
  if (framing === 'length') {
    let length = String(body.length);
    if (g.chance(0.2)) {
      const how = g.pick(['short', 'short', 'short', 'long', 'dup-same', 'dup-diff', 'bad', 'huge']);
      faults.push(`Content-Length ${how}`);
      if (how === 'short' && body.length > 0) {
        length = String(g.int(0, body.length - 1));
        extra = true;
      } else if (how === 'long') {
        length = String(body.length + g.int(1, 100));
      } else if (how === 'dup-same') {
        fields.push(`Content-Length: ${length}`);
      } else if (how === 'dup-diff') {
        fields.push(`Content-Length: ${body.length + 1}`);
      } else if (how === 'bad') {
        length = g.pick([`+${length}`, `${length} ${length}`, `0x${body.length.toString(16)}`, '-1', `${length}.0`]);
      } else if (how === 'huge') {
        length = g.pick(['2147483648', '4294967296', `${4294967296 + body.length}`, '99999999999999999999']);
      }
    }
    fields.push(`Content-Length: ${length}`);
    if (noBody && g.chance(0.1)) {
      payload = 'x';
      faults.push('a body where none may be');
      extra = true;
    }
  } else if (framing === 'chunked') {
    fields.push('Transfer-Encoding: chunked');
    const chunks = [];
    for (let off = 0; off < body.length;) {
      const n = Math.min(body.length - off, g.int(1, 5000));
      chunks.push(`${n.toString(16)}${g.chance(0.1) ? ';ext=1' : ''}\r\n${body.slice(off, off + n)}\r\n`);
      off += n;
    }
    payload = `${chunks.join('')}0\r\n${g.chance(0.2) ? 'X-Trailer: t\r\n' : ''}\r\n`;
    if (g.chance(0.2)) {
      const how = g.pick(['cut', 'bad-size', 'extra', 'extra', 'te-other', 'with-length']);
      faults.push(`chunked ${how}`);
      if (how === 'cut') payload = payload.slice(0, g.int(0, payload.length - 1));
      if (how === 'bad-size') payload = `zz\r\n${payload}`;
      if (how === 'extra') {
        payload += g.pick(['HTTP/1.1 200 OK\r\nSet-Cookie: a=b\r\n', 'X', `HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n`]);
        extra = true;
      }
      if (how === 'te-other') fields[fields.length - 1] = `Transfer-Encoding: ${g.pick(['gzip', 'chunked, chunked', 'gzip, chunked', 'identity'])}`;
      if (how === 'with-length') fields.push(`Content-Length: ${payload.length}`);
    }
    if (noBody) payload = '';
    if (noBody) extra = false;
  } else if (g.chance(0.1)) {
    fields.push(`Transfer-Encoding: ${g.pick(['gzip', 'chunked, gzip'])}`);
    faults.push('Transfer-Encoding not chunked');
  }

  let eol = '\r\n';
  if (g.chance(0.04)) {
    eol = '\n';
    faults.push('bare LF');
  }
  const informational = [];
  for (let i = g.chance(0.15) ? g.int(1, 3) : 0; i > 0; i--) {
    informational.push(`HTTP/1.1 ${g.pick(['100 Continue', '102 Processing', '103 Early Hints'])}\r\nLink: </x>; rel=preload\r\n\r\n`);
  }
  const head = `HTTP/1.1 ${statusText} ${reason}${eol}${fields.map((f) => f + eol).join('')}${eol}`;
  let text = informational.join('') + head + payload;

  let then = 'close';
  if (g.chance(0.12)) {
    then = g.pick(['hang', 'reset', 'reset', 'endless-body', 'endless-head', 'endless-1xx']);
    faults.push(`then ${then}`);
    if (then === 'endless-head') text = text.slice(0, informational.join('').length + head.indexOf('\n') + 1);
    if (then === 'endless-1xx') text = informational.join('');
  }
  if (then === 'reset' || then === 'hang') faults.push('not closed');

  // Cut the bytes into writes, so datagram boundaries fall anywhere.
  const writes = [];
  for (let rest = text; rest.length > 0;) {
    const n = g.chance(0.5) ? rest.length : g.int(1, rest.length);
    writes.push(rest.slice(0, n));
    rest = rest.slice(n);
  }
  const expect = faults.length === 0 ? 'whole' : extra && faults.length === 1 ? 'extra' : 'any';
  if (noBody) body = '';
  return { writes, gapMs: g.chance(0.3) ? g.int(1, 5) : 0, then, method, expect, status, body, what: faults.join(', ') || 'well formed' };
}

// How a relay ended; an endless body is read up to READ_CAP.
async function relayOutcome(relay, options) {
  let r;
  try {
    r = await relay(options);
  } catch (err) {
    return { at: 'head', code: err.code };
  }
  const parts = [];
  let size = 0;
  try {
    for await (const p of r.body) {
      parts.push(p);
      size += p.length;
      if (size > READ_CAP) {
        r.body.destroy();
        return { at: 'capped', status: r.statusCode };
      }
    }
    return { at: 'end', status: r.statusCode, body: Buffer.concat(parts) };
  } catch (err) {
    return { at: 'body', status: r.statusCode, code: err.code };
  }
}

let scene;
const faults = [];
const onFault = (err) => faults.push(err);
before(async () => {
  process.on('uncaughtException', onFault);
  process.on('unhandledRejection', onFault);
  scene = await startScene({ timeout: TIMEOUT_MS });
});
after(async () => {
  process.off('uncaughtException', onFault);
  process.off('unhandledRejection', onFault);
  await scene?.stop();
});

it(`random replies (seed ${SEED}, ${RUNS} runs; ZEL_PROPERTY_SEED=${SEED} repeats)`, async (t) => {
  t.diagnostic(`seed ${SEED}, ${RUNS} runs: ZEL_PROPERTY_SEED=${SEED} ZEL_PROPERTY_RUNS=${RUNS} repeats this run`);
  const { relay } = require('../..');
  const g = generator(SEED);
  const start = fdCount();
  const counts = {};
  for (let done = 0; done < RUNS;) {
    const batch = [];
    for (; batch.length < AT_ONCE && done < RUNS; done++) batch.push([done, makeCase(g)]);
    const ids = await Promise.all(batch.map(async ([n, c]) => {
      const label = `run ${n} (seed ${SEED}): ${c.what}\n${JSON.stringify(c.writes.join('')).slice(0, 600)}`;
      const sc = await scene.scripted(c);
      const [o, r] = await Promise.all([
        guard(relayOutcome(relay, { ...sc.options, method: c.method, timeout: c.then === 'hang' ? SHORT_TIMEOUT_MS : TIMEOUT_MS }), `relay, ${label}`),
        guard(fetch(sc.url, { method: c.method, cap: READ_CAP }), `handler, ${label}`),
      ]);
      counts[c.expect] = (counts[c.expect] || 0) + 1;
      if (c.expect === 'whole') {
        assert.deepEqual([o.at, o.status, o.code], ['end', c.status, undefined], label);
        assert.ok(o.body.equals(Buffer.from(c.body, 'latin1')), `body differs, ${label}`);
        assert.deepEqual([r.status, r.complete, r.error], [c.status, true, undefined], label);
        assert.ok(r.body.equals(Buffer.from(c.body, 'latin1')), `handler body differs, ${label}`);
      } else if (c.expect === 'extra') {
        assert.equal(o.code, 'ZEL_ERR_BAD_REPLY', `${o.at}, ${label}`);
      }
      // The handler's client: a whole response, or a broken connection.
      assert.ok(r.error || r.complete || r.capped, label);
      if (r.headers) {
        assert.deepEqual(NEVER.filter((k) => k in r.headers), [], label);
        assert.equal(r.headers['content-security-policy'], SANDBOX, label);
      }
      return sc.id;
    }));
    await scene.appliance.forget(ids);
    await until(() => fdCount() === start, `descriptors: ${fdCount() - start} left open after run ${done - 1} (seed ${SEED})`);
  }
  assert.deepEqual(faults, [], `thrown or rejected unhandled (seed ${SEED})`);
  t.diagnostic(`cases: ${JSON.stringify(counts)}`);
});
