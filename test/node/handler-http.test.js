'use strict';
// The handler in a plain node:http server: its prefix, the status and code
// of every failure through the reference daemon, the client's fields it
// forwards, and the onError hook.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

const { createRelayHandler } = require('../..');
const { startDaemon } = require('./support/relay_env');
const { startEchoAppliance } = require('./support/echo_appliance');
const { startRawAppliance } = require('./support/raw_appliance');
const { fetch, guard, until } = require('./support/hostile');

const ADMIN = { name: 'dave', profile: 'read-only', superAdmin: false };
const SECRET = 'db password=hunter2';

// A port nothing listens on: bound, then closed again.
async function closedPort() {
  const s = http.createServer();
  await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
  const { port } = s.address();
  await new Promise((resolve) => s.close(resolve));
  return port;
}

describe('a node:http server with the handler', () => {
  let echo, raw, main, downnrv, silent, busy, server, base, noDaemonDir;
  const errors = [];
  const daemons = [];
  before(async () => {
    echo = await startEchoAppliance();
    raw = await startRawAppliance();
    const start = async (args) => {
      const d = await startDaemon([...args, '--quiet']);
      daemons.push(d);
      return d;
    };
    main = await start(['--route', `APP=127.0.0.1:${echo.port}`, '--route', `RAW=127.0.0.1:${raw.port}`,
      '--route', `DOWN=127.0.0.1:${await closedPort()}`, '--max-hops', '3']);
    downnrv = await start(['--fail', 'QUERY_FAIL_DOWNNRV_ERR']);
    silent = await start(['--silent']);
    busy = await start(['--route', `RAW=127.0.0.1:${raw.port}`, '--max-clients', '1', '--target-timeout', '60']);
    noDaemonDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-no-daemon-'));

    const onError = (err, req) => errors.push({ url: req.url, err });
    const make = (prefix, socketPath, more) => createRelayHandler({ prefix, identity: () => ADMIN, socketPath, onError, ...more });
    // Connect-style chaining: each handler passes what is not its own on.
    const chain = [
      make('/api/zel', main.socketPath),
      make('/fwd-list', main.socketPath, { forwardHeaders: ['X-Tenant', 'accept'] }),
      make('/fwd-fn', main.socketPath, {
        forwardHeaders: (req) => ({ 'X-Tenant': req.headers['x-tenant'], 'X_ADMIN_SUPER': '1', Host: 'evil', 'content-length': '3', 'X-ZEL-SN': 'EVIL' }),
      }),
      make('/t6', downnrv.socketPath),
      make('/silent', silent.socketPath, { timeout: 150 }),
      make('/busy', busy.socketPath),
      make('/none', path.join(noDaemonDir, 'q')),
    ];
    const throwing = make('/throws', main.socketPath, { identity: () => { throw new Error(SECRET); } });
    const rejecting = make('/rejects', main.socketPath, { identity: () => Promise.reject(new Error(SECRET)) });
    const invalid = make('/invalid', main.socketPath, { identity: () => ({ name: 'x', profile: 7, superAdmin: false }) });
    // These are called without a next function, as node:http calls a handler.
    const direct = { throws: throwing, rejects: rejecting, invalid };
    server = http.createServer((req, res) => {
      const alone = direct[req.url.split('/')[1]];
      if (alone) return alone(req, res);
      const step = (i) => (i < chain.length ? chain[i](req, res, () => step(i + 1)) : res.writeHead(418).end());
      return step(0);
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    base = `http://127.0.0.1:${server.address().port}`;
  });
  after(async () => {
    server?.closeAllConnections();
    server?.close();
    for (const d of daemons) await d.stop();
    await raw?.stop();
    await echo?.stop();
    fs.rmSync(noDaemonDir, { recursive: true, force: true });
  });

  const get = (url, opts) => guard(fetch(base + url, opts), url);
  const errorFor = (url) => errors.filter((e) => e.url === url).map((e) => e.err);

  it('relays under its prefix, and outside it calls next', async () => {
    const r = await get('/api/zel/ZL1:APP/status?x=1');
    assert.equal(r.status, 200);
    assert.equal(echo.request('/status?x=1')?.headers['x-admin-name'], 'ZL_dave');
    assert.equal((await get('/zel/ZL1:APP/status')).status, 418);
  });

  it('answers each failure with its status, code and an explanation that names no socket', async () => {
    const ROWS = [ // [URL, status, code, explanation]
      ['/api/zel//x', 400, 'ERR_INVALID_ARG_VALUE', /"serials" property must be a chain/],
      ['/api/zel/ZL1/x', 400, 'ERR_INVALID_ARG_VALUE', /"serials" property must be a chain/],
      ['/api/zel/ZL1::APP/x', 400, 'ERR_INVALID_ARG_VALUE', /non-empty serials/],
      ['/api/zel/ZL1:APP:ZL1:APP/x', 400, 'ZEL_ERR_BAD_CHAIN', /names a serial twice/],
      ['/api/zel/A:B:C:APP/x', 400, 'ZEL_ERR_BAD_CHAIN', /hop limit/],
      ['/api/zel/ZL1:NOPE/x', 404, 'ZEL_ERR_UNKNOWN_SERIAL', /QUERY_FAIL_ROUTE_ERR \(5\): the target serial "NOPE" is not in its route table/],
      ['/t6/ZL1:APP/x', 504, 'ZEL_ERR_TIMEOUT', /appliance "APP" did not answer within the daemon's time-out/],
      ['/silent/ZL1:APP/x', 504, 'ZEL_ERR_TIMEOUT', /appliance "APP" did not answer in time/],
      ['/api/zel/ZL1:DOWN/x', 502, 'ZEL_ERR_REPLY', /could not reach appliance "DOWN"/],
      ['/none/ZL1:APP/x', 502, 'ZEL_ERR_NO_DAEMON', /^no query daemon is running for this server$/],
    ];
    for (const [url, status, code, explanation] of ROWS) {
      const r = await get(url);
      const answer = JSON.parse(r.body);
      assert.deepEqual([r.status, answer.code], [status, code], `${url}: ${r.body}`);
      assert.match(answer.error, explanation, url);
      assert.doesNotMatch(r.body.toString(), /\/tmp|zel-relay-|zel-no-daemon-/, url);
      const seen = errorFor(url);
      assert.equal(seen.length, 1, `${url}: onError called ${seen.length} times`);
      assert.equal(seen[0].code, code, url);
    }
    // onError gets the full error, socket path included.
    assert.match(errorFor('/none/ZL1:APP/x')[0].message, new RegExp(noDaemonDir));
  });

  it('answers 503 with Retry-After while the daemon is at its client limit', async () => {
    await raw.script('held', { writes: [], then: 'hang' });
    const held = http.request(`${base}/busy/ZL1:RAW/s/held`, { agent: false }).on('error', () => {});
    held.end();
    // The first exchange holds the daemon's one slot once the appliance has it.
    for (let i = 0; i < 1000 && !(await raw.request('held')); i++) await new Promise((resolve) => setTimeout(resolve, 20));
    const r = await get('/busy/ZL1:RAW/s/second');
    held.destroy();
    assert.equal(r.status, 503, r.body?.toString());
    assert.equal(r.headers['retry-after'], '2');
    const answer = JSON.parse(r.body);
    assert.deepEqual([answer.code, answer.replyCode], ['ZEL_ERR_DAEMON_BUSY', 9]);
    assert.match(answer.error, /at its limit/);
  });

  it('answers 502 for a reply it cannot relay, and breaks off a response cut after its head', async () => {
    await raw.script('junk', { writes: ['SSH-2.0-OpenSSH\r\n\r\n'] });
    const junk = await get('/api/zel/ZL1:RAW/s/junk');
    assert.deepEqual([junk.status, JSON.parse(junk.body).code], [502, 'ZEL_ERR_BAD_REPLY']);
    await raw.script('cut', { writes: ['HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789'] });
    const cut = await get('/api/zel/ZL1:RAW/s/cut');
    assert.ok(cut.error || cut.complete === false, 'a cut reply reached the client as a whole response');
    await until(() => errorFor('/api/zel/ZL1:RAW/s/cut').length > 0, 'onError was not called for the cut body');
    assert.equal(errorFor('/api/zel/ZL1:RAW/s/cut')[0].code, 'ZEL_ERR_BAD_REPLY');
  });

  it('answers an identity failure without next with a fixed 500 that keeps its message', async () => {
    for (const mount of ['/throws', '/rejects', '/invalid']) {
      const url = `${mount}/ZL1:APP/who${mount}`;
      const r = await get(url);
      assert.equal(r.status, 500, mount);
      assert.deepEqual(JSON.parse(r.body), { error: 'the administrator of this request could not be established', code: 'ZEL_ERR_IDENTITY' });
      assert.equal(echo.request(`/who${mount}`), undefined, `${mount}: relayed`);
      const [err] = errorFor(url);
      assert.ok(mount === '/invalid' ? err.code === 'ZEL_ERR_IDENTITY' : err.message === SECRET, `${mount}: onError got ${err?.message}`);
    }
  });

  it('forwards the client\'s end-to-end fields and never one that names the identity or the framing', async () => {
    const DEFAULTS = {
      Accept: 'application/json', 'Accept-Language': 'fr', 'Content-Type': 'application/json', 'Content-Language': 'fr',
      'If-Match': '"a"', 'If-None-Match': '"b"', 'If-Modified-Since': 'Mon, 01 Jan 2024 00:00:00 GMT',
      'If-Unmodified-Since': 'Tue, 02 Jan 2024 00:00:00 GMT', 'If-Range': '"c"', Range: 'bytes=0-9',
      'Cache-Control': 'no-cache', 'X-Request-Id': 'req-1', traceparent: '00-0af7651916cd43dd8448eb211c80319c-b7ad6b7169203331-01',
    };
    const NEVER = {
      Cookie: 'sid=1', Authorization: 'Basic eDp5', Origin: 'http://evil', 'X-ADMIN-SUPER': '1', 'X_ADMIN_NAME': 'root',
      'X-ZEL-SN': 'EVIL', 'X-Tenant': 't1',
    };
    // [prefix, fields that must arrive with the client's values]
    const ROWS = [
      ['/api/zel', Object.keys(DEFAULTS)],
      ['/fwd-list', ['X-Tenant', 'Accept']],
      ['/fwd-fn', ['X-Tenant']],
    ];
    for (const [prefix, expected] of ROWS) {
      const target = `/fwd${prefix}`;
      const r = await get(`${prefix}/ZL1:APP${target}`, { method: 'POST', headers: { ...DEFAULTS, ...NEVER }, body: '{}' });
      assert.equal(r.status, 200, `${prefix}: ${r.body}`);
      const seen = echo.request(target);
      const fields = {};
      for (let i = 0; i < seen.rawHeaders.length; i += 2) {
        const name = seen.rawHeaders[i].toLowerCase().replace(/_/g, '-');
        (fields[name] ??= []).push(seen.rawHeaders[i + 1]);
      }
      const sent = { ...DEFAULTS, ...NEVER };
      const passed = Object.keys(sent).filter((k) => fields[k.toLowerCase()]?.includes(sent[k]));
      assert.deepEqual(passed.sort(), [...expected].sort(), prefix);
      for (const name of ['x-admin-super', 'x-admin-name', 'x-zel-sn', 'host', 'content-length']) {
        assert.equal(fields[name]?.length, 1, `${prefix}: ${name} ${JSON.stringify(fields[name])}`);
      }
      assert.deepEqual([fields['x-admin-super'][0], fields['x-admin-name'][0], fields['x-zel-sn'][0], fields['content-length'][0]],
        ['0', 'ZL_dave', 'APP', '2'], prefix);
    }
  });

  it('refuses, when created, a list of fields that names one the relay sets', () => {
    const ROWS = [ // [forwardHeaders, code]
      [['accept', 'X-Admin_Super'], 'ERR_INVALID_ARG_VALUE'],
      [['Connection'], 'ERR_INVALID_ARG_VALUE'],
      [['x-zel-source-sn'], 'ERR_INVALID_ARG_VALUE'],
      [['bad name'], 'ERR_INVALID_HTTP_TOKEN'],
      [[7], 'ERR_INVALID_ARG_TYPE'],
      ['accept', 'ERR_INVALID_ARG_TYPE'],
    ];
    for (const [forwardHeaders, code] of ROWS) {
      assert.throws(() => createRelayHandler({ identity: () => ADMIN, forwardHeaders }), { code }, String(forwardHeaders));
    }
  });

  it('an onError that throws does not reach the server', async () => {
    const handler = createRelayHandler({ identity: () => ADMIN, socketPath: main.socketPath, onError: () => { throw new Error('logger broke'); } });
    const s = http.createServer((req, res) => handler(req, res));
    await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
    // The first warning of this code: any other the process emits meanwhile is not the one asked for.
    const warned = new Promise((resolve) => {
      const onWarning = (w) => {
        if (w.code !== 'ZEL_ON_ERROR_THREW') return;
        process.off('warning', onWarning);
        resolve(w);
      };
      process.on('warning', onWarning);
    });
    try {
      const r = await guard(fetch(`http://127.0.0.1:${s.address().port}/zel/ZL1:NOPE/x`), 'request');
      assert.equal(r.status, 404);
      assert.equal((await guard(warned, 'warning')).code, 'ZEL_ON_ERROR_THREW');
    } finally {
      s.closeAllConnections();
      s.close();
    }
  });
});
