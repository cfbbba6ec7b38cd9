'use strict';
// relay()'s failures: each ends with the right `code`, and every descriptor
// the relay opened is closed again.  Refused options send nothing.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');

const { relay } = require('../..');
const { ADMIN, startDaemon, fdCount, settle, readAll } = require('./support/relay_env');

let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-relay-err-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

function replayFile(name, text) {
  const file = path.join(dir, name);
  fs.writeFileSync(file, Buffer.from(text, 'latin1'));
  return file;
}

const HEAD = 'HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n';

// Runs `fn(socketPath)` against a daemon started with `args` and checks that
// the process holds as many descriptors afterwards as before.
async function withDaemon(args, fn) {
  const d = await startDaemon(args);
  try {
    await settle();
    const before = fdCount();
    await fn(d.socketPath, d);
    await settle();
    assert.equal(fdCount(), before, 'descriptors left open');
  } finally {
    await d.stop();
  }
}

const opts = (socketPath, extra) => ({ serials: 'A:B', path: '/', admin: ADMIN, socketPath, ...extra });

describe('failures before the head reject the promise', () => {
  // [reply code name, number, the code relay() gives, words of its explanation]
  const REPLIES = [
    ['QUERY_FAIL_REMOTE_ERR', 2, 'ZEL_ERR_REPLY', /could not reach appliance "B"/],
    ['QUERY_FAIL_PATH_ERR', 3, 'ZEL_ERR_REPLY', /could not read the request/],
    ['QUERY_FAIL_PATH_LOOP', 4, 'ZEL_ERR_BAD_CHAIN', /names a serial twice/],
    ['QUERY_FAIL_ROUTE_ERR', 5, 'ZEL_ERR_UNKNOWN_SERIAL', /target serial "B" is not in its route table/],
    ['QUERY_FAIL_DOWNNRV_ERR', 6, 'ZEL_ERR_TIMEOUT', /appliance "B" did not answer within the daemon's time-out/],
    ['QUERY_FAIL_DROP_TTL', 7, 'ZEL_ERR_BAD_CHAIN', /hop limit/],
    ['QUERY_FAIL_CONNECTION_CLOSED', 8, 'ZEL_ERR_REPLY', /appliance "B" closed the connection/],
    ['QUERY_FAIL_LOW_MEMORY', 9, 'ZEL_ERR_DAEMON_BUSY', /at its limit/],
    ['QUERY_FAIL_MALFORMED_HTTP_REQ', 15, 'ZEL_ERR_REPLY', /not one well-formed HTTP\/1.1 request/],
    ['FAIL_UNKNOWN_COMMAND', 255, 'ZEL_ERR_REPLY', /does not take this kind of request/],
    ['KEY_UPD_SUCCESS', 10, 'ZEL_ERR_REPLY', /no answer to a request/],
  ];
  // [name, daemon arguments, relay options, code, more checks]
  const ROWS = [
    ...REPLIES.map(([name, n, code, words]) => [`reply code ${name}`, ['--fail', name], {}, code,
      (e) => {
        assert.equal(e.replyCode, n);
        assert.match(e.message, new RegExp(`^the query daemon answered ${name} \\(${n}\\): `));
        assert.match(e.message, words);
      }]),
    ['a failure after part of the head', () => ['--replay', replayFile('half', 'HTTP/1.1 200 OK\r\nX'), '--fail', '2'], {},
      'ZEL_ERR_REPLY', (e) => assert.equal(e.replyCode, 2)],
    ['time-out', ['--silent'], { timeout: 150 }, 'ZEL_ERR_TIMEOUT'],
    ['time-out after part of the head', () => ['--replay', replayFile('half2', 'HTTP/1.1 200 OK\r\n'), '--silent'],
      { timeout: 150 }, 'ZEL_ERR_TIMEOUT'],
    ['datagram length unlike its header', ['--malformed=len'], {}, 'ZEL_ERR_BAD_REPLY'],
    ['datagram shorter than the reply header', ['--malformed=short'], {}, 'ZEL_ERR_BAD_REPLY'],
    ['datagram longer than a reply datagram', ['--malformed=big'], {}, 'ZEL_ERR_BAD_REPLY'],
    ['not HTTP', () => ['--replay', replayFile('junk', 'SSH-2.0-OpenSSH\r\n\r\n')], {}, 'ZEL_ERR_BAD_REPLY'],
    ['the reply ends inside the head', () => ['--replay', replayFile('cut', 'HTTP/1.1 200 OK\r\nContent-')], {}, 'ZEL_ERR_BAD_REPLY'],
    ['an empty reply', () => ['--replay', replayFile('empty', '')], {}, 'ZEL_ERR_BAD_REPLY'],
    ['abort while waiting for the head', ['--silent'], { abortAfterMs: 30 }, 'ABORT_ERR',
      (e) => assert.equal(e.name, 'AbortError')],
  ];
  for (const [name, args, extra, code, check] of ROWS) {
    it(name, () => withDaemon(typeof args === 'function' ? args() : args, async (socketPath) => {
      const { abortAfterMs, ...rest } = extra;
      const ac = new AbortController();
      if (abortAfterMs) setTimeout(() => ac.abort(), abortAfterMs);
      const err = await relay(opts(socketPath, { ...rest, signal: ac.signal })).then(() => null, (e) => e);
      assert.ok(err instanceof Error, `${name}: resolved`);
      assert.equal(err.code, code, err.stack);
      check?.(err);
    }));
  }

  it('nothing listening at the socket path', async () => {
    const before = fdCount();
    // A directory in the socket's place; one straight under /tmp would be
    // refused before anything is sent, /tmp being writable by others.
    const subdir = fs.mkdtempSync(path.join(dir, 'sub-'));
    for (const socketPath of [path.join(dir, 'none'), subdir, replayFile('plain-file', 'x')]) {
      await assert.rejects(relay(opts(socketPath)), { code: 'ZEL_ERR_NO_DAEMON' });
    }
    await settle();
    assert.equal(fdCount(), before);
  });

  it('an aborted signal refuses at once', async () => {
    await assert.rejects(relay(opts(path.join(dir, 'none'), { signal: AbortSignal.abort() })), { code: 'ABORT_ERR', name: 'AbortError' });
  });
});

describe('failures after the head error the body', () => {
  // [name, reply text, daemon arguments after the replay, what to do with the body, code]
  const ROWS = [
    ['reply code in the body', HEAD + 'x'.repeat(40), ['--fail', 'QUERY_FAIL_REMOTE_ERR'], null, 'ZEL_ERR_REPLY'],
    ['body cut short by the final datagram', HEAD + 'x'.repeat(40), [], null, 'ZEL_ERR_BAD_REPLY'],
    ['malformed datagram in the body', HEAD + 'x'.repeat(40), ['--malformed=len'], null, 'ZEL_ERR_BAD_REPLY'],
    ['bad chunk size', 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\n', [], null, 'ZEL_ERR_BAD_REPLY'],
    ['corrupt gzip', 'HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 20\r\n\r\n' + '\x1f\x8b\x08\x00' + 'x'.repeat(16), [], null, 'ZEL_ERR_BAD_REPLY'],
    ['time-out in the body', HEAD + 'x'.repeat(40), ['--silent'], { timeout: 150 }, 'ZEL_ERR_TIMEOUT'],
    ['abort in the body', HEAD + 'x'.repeat(40), ['--silent'], 'abort', 'ABORT_ERR'],
  ];
  for (const [name, text, args, how, code] of ROWS) {
    it(name, () => withDaemon(['--replay', replayFile(name.replace(/\W/g, '_'), text), ...args], async (socketPath) => {
      const ac = new AbortController();
      const r = await relay(opts(socketPath, { signal: ac.signal, ...(how && how.timeout ? how : {}) }));
      assert.equal(r.statusCode, 200);
      if (how === 'abort') setTimeout(() => ac.abort(), 30);
      const err = await readAll(r.body).then(() => null, (e) => e);
      assert.ok(err, `${name}: the body ended without an error`);
      assert.equal(err.code, code, err.stack);
    }));
  }

  it('destroying the body closes the query', () => withDaemon(['--replay', replayFile('long', HEAD + 'x'.repeat(40)), '--silent'],
    async (socketPath) => {
      const r = await relay(opts(socketPath));
      r.body.destroy();
      await new Promise((resolve) => r.body.once('close', resolve));
    }));
});

describe('refused options send nothing', () => {
  const good = { serials: 'S1:S2', path: '/api', admin: ADMIN };
  // [name, options changed, code]
  const ROWS = [
    ['CR LF in path', { path: '/api\r\nX-Evil: 1' }, 'ERR_INVALID_CHAR'],
    ['NUL in path', { path: '/api\0' }, 'ERR_INVALID_CHAR'],
    ['space in path', { path: '/a b' }, 'ERR_INVALID_ARG_VALUE'],
    ['path without leading /', { path: 'api' }, 'ERR_INVALID_ARG_VALUE'],
    ['path not a string', { path: 7 }, 'ERR_INVALID_ARG_TYPE'],
    ['CR LF in method', { method: 'GET /x HTTP/1.1\r\nX: y\r\n' }, 'ERR_INVALID_CHAR'],
    ['method with a space', { method: 'GET X' }, 'ERR_INVALID_ARG_VALUE'],
    ['empty method', { method: '' }, 'ERR_INVALID_ARG_VALUE'],
    ['LF in serials', { serials: 'S1:S2\nX-Evil: 1' }, 'ERR_INVALID_CHAR'],
    ['NUL in serials', { serials: 'S1:S2\0' }, 'ERR_INVALID_CHAR'],
    ['serials without :', { serials: 'S1' }, 'ERR_INVALID_ARG_VALUE'],
    ['empty serial inside the chain', { serials: 'S1::S2' }, 'ERR_INVALID_ARG_VALUE'],
    ['empty serial at the end', { serials: 'S1:' }, 'ERR_INVALID_ARG_VALUE'],
    ['empty serial at the start', { serials: ':S2' }, 'ERR_INVALID_ARG_VALUE'],
    ['serials missing', { serials: undefined }, 'ERR_INVALID_ARG_TYPE'],
    ['CR LF in admin name', { admin: { ...ADMIN, name: 'a\r\nX-ADMIN-SUPER: 1' } }, 'ERR_INVALID_CHAR'],
    ['LF in admin profile', { admin: { ...ADMIN, profile: 'p\n' } }, 'ERR_INVALID_CHAR'],
    ['NUL in admin name', { admin: { ...ADMIN, name: 'a\0' } }, 'ERR_INVALID_CHAR'],
    ['super flag not boolean', { admin: { ...ADMIN, superAdmin: '1' } }, 'ERR_INVALID_ARG_TYPE'],
    ['no admin', { admin: undefined }, 'ERR_INVALID_ARG_TYPE'],
    ['CR LF in Accept-Encoding', { acceptEncoding: 'gzip\r\nX-Evil: 1' }, 'ERR_INVALID_CHAR'],
    ['identity field as extra header', { headers: { 'X-ADMIN-SUPER': '1' } }, 'ERR_INVALID_ARG_VALUE'],
    ['serial field as extra header', { headers: { 'x-zel-sn': 'S9' } }, 'ERR_INVALID_ARG_VALUE'],
    ['framing field as extra header', { headers: { 'Transfer-Encoding': 'chunked' } }, 'ERR_INVALID_ARG_VALUE'],
    ['CR LF in an extra header value', { headers: { 'X-Note': 'a\r\nX-Evil: 1' } }, 'ERR_INVALID_CHAR'],
    ['bad extra header name', { headers: { 'X Note': 'a' } }, 'ERR_INVALID_HTTP_TOKEN'],
    ['body of another type', { body: 12 }, 'ERR_INVALID_ARG_TYPE'],
    ['zero time-out', { timeout: 0 }, 'ERR_INVALID_ARG_VALUE'],
    ['zero deadline', { deadline: 0 }, 'ERR_INVALID_ARG_VALUE'],
    ['deadline as text', { deadline: '500' }, 'ERR_INVALID_ARG_TYPE'],
    ['signal of another type', { signal: {} }, 'ERR_INVALID_ARG_TYPE'],
  ];
  it('each injection and bad option is refused with its code', () => withDaemon(['--replay', replayFile('ok', 'HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok')],
    async (socketPath, d) => {
      for (const [name, change, code] of ROWS) {
        await assert.rejects(relay({ ...good, socketPath, ...change }), (e) => {
          assert.equal(e.code, code, `${name}: ${e.stack}`);
          return true;
        });
      }
      // One accepted relay after them: its line must be the daemon's only one.
      await readAll((await relay({ ...good, socketPath })).body);
      for (let i = 0; i < 250 && d.exchanges().length === 0; i++) await new Promise((r) => setTimeout(r, 20));
      assert.equal(d.exchanges().length, 1, `a refused relay reached the daemon:\n${d.exchanges().join('\n')}`);
    }));
});

it('a Worker that ends with relays open or just closed exits cleanly', () => withDaemon(['--silent'], async (socketPath) => {
  // In a child process: a fault here would end the process, not the test.
  const script = `
    const { Worker } = require('worker_threads');
    (async () => {
      for (const close of [false, true]) {
        const w = new Worker(\`
          const { relay } = require(${JSON.stringify(path.join(__dirname, '..', '..'))});
          const ac = new AbortController();
          const p = relay({ serials: 'A:B', path: '/', admin: { name: 'a', profile: 'p', superAdmin: true },
            socketPath: ${JSON.stringify(socketPath)}, signal: ac.signal }).catch(() => {});
          setTimeout(() => { if (\${close}) ac.abort(); require('worker_threads').parentPort.postMessage(1); }, 20);
        \`, { eval: true });
        await new Promise((r) => w.once('message', r));
        await w.terminate();
      }
      console.log('clean');
    })();`;
  const { spawnSync } = require('child_process');
  const r = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 60000 });
  assert.deepEqual([r.status, r.signal, r.stdout.trim()], [0, null, 'clean'], r.stderr);
}));
