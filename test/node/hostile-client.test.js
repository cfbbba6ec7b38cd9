'use strict';
// A hostile caller of relay() or client of the handler: it cannot send a
// request the relay cannot carry, or set an identity field under another
// spelling.  Refused requests send nothing: the appliance never sees them.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');

const { relay } = require('../..');
const { guard, outcome, fetch, startScene } = require('./support/hostile');

const REPLY = { writes: ['HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok'] };

let scene;
before(async () => { scene = await startScene(); });
after(() => scene?.stop());

// The identity lines of a request head, as the appliance received it.
const identity = (head) => head.toString('latin1').split('\r\n').filter((l) => /^X[-_](ADMIN|ZEL)[-_]/i.test(l));

// Runs relay() with `change`; resolves with its error, after checking that
// the appliance got nothing.
async function refused(change) {
  const c = await scene.scripted(REPLY);
  const err = await guard(relay({ ...c.options, ...change }).then(() => null, (e) => e), JSON.stringify(change));
  const got = await scene.appliance.request(c.id);
  assert.ok(got === null, `${JSON.stringify(change)} reached the appliance:\n${got}`);
  return err;
}

describe('methods a relay cannot carry', () => {
  it('CONNECT, in any case, is refused before anything is sent', async () => {
    for (const method of ['CONNECT', 'connect', 'Connect']) {
      const err = await refused({ method });
      assert.equal(err?.code, 'ERR_INVALID_ARG_VALUE', method);
      assert.match(err.message, /CONNECT/i);
    }
    // Other methods are carried as they are.
    for (const method of ['TRACE', 'OPTIONS', 'M-SEARCH']) {
      const o = await guard(outcome({ ...(await scene.scripted(REPLY)).options, method }), method);
      assert.equal(o.at, 'end', `${method}: ${o.message}`);
    }
  });
});

describe('identity fields under another spelling', () => {
  it('relay() refuses a reserved name once _ is read as - and case is ignored', async () => {
    const names = ['X-ADMIN_SUPER', 'X_ADMIN_NAME', 'x_admin_permissions', 'X-ZEL_SN', 'X_ZEL_SOURCE_SN', 'Content_Length',
      'TRANSFER_ENCODING', 'Accept_Encoding', 'Upgrade', 'Keep_Alive', 'TE', 'Host', 'HOST', 'host', 'Connection',
      'Proxy_Connection', 'Trailer'];
    for (const name of names) {
      const err = await refused({ headers: { [name]: '1' } });
      assert.equal(err?.code, 'ERR_INVALID_ARG_VALUE', name);
    }
    // A name with '_' that folds to no reserved one is sent as given.
    const c = await scene.scripted(REPLY);
    const o = await guard(outcome({ ...c.options, headers: { X_Trace_Id: 'abc' } }), 'relay');
    assert.equal(o.at, 'end', o.message);
    assert.match((await scene.appliance.request(c.id)).toString('latin1'), /\r\nX_Trace_Id: abc\r\n/);
  });

  it('a client of the handler cannot add to the identity the handler sets', async () => {
    const c = await scene.scripted(REPLY);
    const r = await guard(fetch(c.url, {
      method: 'POST',
      body: '{}',
      headers: {
        'Content-Type': 'application/json', 'X-ADMIN-SUPER': '1', 'X_ADMIN_SUPER': '1', 'X-ADMIN_NAME': 'root',
        'X-ZEL-SN': 'OTHER', 'X_ZEL_SOURCE_SN': 'OTHER', 'X-ADMIN-PERMISSIONS': 'read-write',
      },
    }), 'request');
    assert.equal(r.status, 200);
    assert.deepEqual(identity(await scene.appliance.request(c.id)),
      ['X-ZEL-SN: APP', 'X-ZEL-SOURCE-SN: ZL1', 'X-ADMIN-NAME: ZL_bob', 'X-ADMIN-PERMISSIONS: read-only', 'X-ADMIN-SUPER: 0']);
  });
});
