'use strict';
// The handler as Express middleware: mounted at a path, behind body parsers
// and in front of an app's error handler.  Express from npm, the reference
// daemon, a real appliance and Node's HTTP client.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const express = require('express');

const { createRelayHandler } = require('../..');
const { startDaemon } = require('./support/relay_env');
const { startEchoAppliance } = require('./support/echo_appliance');
const { fetch, guard } = require('./support/hostile');

const ADMIN = { name: 'carol', profile: 'read-write', superAdmin: false };
const SECRET = 'db password=hunter2';

describe('an Express app with the handler', () => {
  let appliance, daemon, server, base;
  const caught = [];
  before(async () => {
    appliance = await startEchoAppliance();
    daemon = await startDaemon(['--route', `APP=127.0.0.1:${appliance.port}`, '--quiet']);
    const relayTo = (more) => createRelayHandler({ identity: () => ADMIN, socketPath: daemon.socketPath, ...more });

    const app = express();
    app.use('/zel', relayTo());
    const admin = express.Router();
    admin.use('/relay', relayTo({ prefix: '/to' }));
    app.use('/admin', admin);
    app.use('/parsed', express.json({ type: ['application/json', 'application/*+json'] }), express.text(), express.raw(), express.urlencoded({ extended: false }), relayTo());
    // Express 4's parsers set req.body = {} for a request they leave unread.
    app.use('/placeholder', (req, res, next) => { req.body = {}; next(); }, relayTo());
    app.use('/throws', relayTo({ identity: () => { throw new Error(SECRET); } }));
    app.use('/rejects', relayTo({ identity: async () => { throw new Error(SECRET); } }));
    app.use('/invalid', relayTo({ identity: () => ({ name: 'x\r\nX-ADMIN-SUPER: 1', profile: 'p', superAdmin: true }) }));
    app.use((req, res) => res.status(404).json({ fallthrough: req.originalUrl }));
    app.use((err, req, res, next) => { // eslint-disable-line no-unused-vars
      caught.push({ url: req.originalUrl, err });
      res.status(500).json({ handledBy: 'app', code: err.code ?? null });
    });
    server = app.listen(0, '127.0.0.1');
    await new Promise((resolve) => server.once('listening', resolve));
    base = `http://127.0.0.1:${server.address().port}`;
  });
  after(async () => {
    server?.closeAllConnections();
    await new Promise((resolve) => (server ? server.close(resolve) : resolve()));
    await daemon?.stop();
    await appliance?.stop();
  });

  const get = (url, opts) => guard(fetch(base + url, opts), `${opts?.method || 'GET'} ${url}`);

  it('reads the chain after the mount path; what lies outside its prefix goes on to the next middleware', async () => {
    const ROWS = [ // [URL, status, target the appliance saw, or what the app answered]
      ['/zel/ZL1:APP/api/a?x=1', 200, '/api/a?x=1'],
      ['/ZEL/ZL1:APP/api/case', 200, '/api/case'],
      ['/admin/relay/to/ZL1:APP/api/b', 200, '/api/b'],
      ['/admin/relay/other/ZL1:APP/api/c', 404, { fallthrough: '/admin/relay/other/ZL1:APP/api/c' }],
      ['/zel', 400, { code: 'ERR_INVALID_ARG_VALUE' }],
    ];
    for (const [url, status, expected] of ROWS) {
      const r = await get(url);
      assert.equal(r.status, status, `${url}: ${r.body}`);
      if (typeof expected === 'string') {
        const seen = appliance.request(expected);
        assert.ok(seen, `${url}: the appliance saw no request for ${expected}`);
        assert.deepEqual([seen.headers['x-zel-sn'], seen.headers['x-admin-name']], ['APP', 'ZL_carol'], url);
      } else {
        const answer = JSON.parse(r.body);
        assert.deepEqual(Object.fromEntries(Object.keys(expected).map((k) => [k, answer[k]])), expected, url);
      }
    }
  });

  it('relays a body that a parser mounted before it has read, and never waits for it', async () => {
    const binary = Buffer.from([0, 0xff, 0x0d, 0x0a, 0x80, 0x7f]);
    const ROWS = [ // [name, path, content type, body sent, body the appliance must get]
      ['JSON by express.json()', '/parsed', 'application/json', '{"a":1,"b":[true,null,"é"]}', '{"a":1,"b":[true,null,"é"]}'],
      ['JSON of a +json type', '/parsed', 'application/merge-patch+json', '{"op":"x"}', '{"op":"x"}'],
      ['text by express.text()', '/parsed', 'text/plain; charset=utf-8', 'plain text é', 'plain text é'],
      ['bytes by express.raw()', '/parsed', 'application/octet-stream', binary, binary],
      ['a type no parser takes', '/parsed', 'application/x-custom', 'as sent', 'as sent'],
      ['no body, through the parsers', '/parsed', undefined, undefined, ''],
      ['a placeholder req.body over an unread stream', '/placeholder', 'text/plain', 'still in the stream', 'still in the stream'],
    ];
    let n = 0;
    for (const [name, path, type, sent, expected] of ROWS) {
      const target = `/body/${++n}`;
      const headers = type ? { 'Content-Type': type } : {};
      const r = await get(`${path}/ZL1:APP${target}`, { method: sent === undefined ? 'GET' : 'POST', headers, body: sent });
      assert.equal(r.status, 200, `${name}: ${r.body ?? r.error}`);
      const seen = appliance.request(target);
      assert.ok(seen, `${name}: not relayed`);
      assert.equal(seen.body.toString('latin1'), Buffer.from(expected).toString('latin1'), name);
      assert.equal(seen.headers['content-type'], type, name);
    }
  });

  it('answers 500 for a body a parser turned into something it cannot relay', async () => {
    const r = await get('/parsed/ZL1:APP/form', { method: 'POST', headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: 'a=1&b=2' });
    assert.equal(r.status, 500);
    const { code, error } = JSON.parse(r.body);
    assert.equal(code, 'ZEL_ERR_BODY_CONSUMED');
    assert.match(error, /mount the relay handler before body parsers/);
    assert.equal(appliance.request('/form'), undefined);
  });

  it('passes identity failures to the app\'s error handler, and nothing to the appliance', async () => {
    const ROWS = [ // [mount path, what the error handler must get]
      ['/throws', (err) => assert.equal(err.message, SECRET)],
      ['/rejects', (err) => assert.equal(err.message, SECRET)],
      ['/invalid', (err) => {
        assert.equal(err.code, 'ZEL_ERR_IDENTITY');
        assert.equal(err.cause.code, 'ERR_INVALID_CHAR');
      }],
    ];
    for (const [mount, check] of ROWS) {
      const url = `${mount}/ZL1:APP/identity${mount}`;
      const r = await get(url);
      assert.deepEqual([r.status, JSON.parse(r.body).handledBy], [500, 'app'], mount);
      const entry = caught.find((c) => c.url === url);
      assert.ok(entry, `${mount}: the error handler did not run`);
      check(entry.err);
      assert.equal(appliance.request(`/identity${mount}`), undefined, mount);
    }
  });
});
