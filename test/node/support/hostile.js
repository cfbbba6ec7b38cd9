'use strict';
// What the tests of hostile parties share: a scripted appliance behind the
// reference daemon, an admin server with the handler in front of it, how a
// relay or a client's request ended, and waits bounded by a hang guard.
const http = require('http');

const { relay, createRelayHandler } = require('../../..');
const { ADMIN, startDaemon, fdCount } = require('./relay_env');
const { startRawAppliance } = require('./raw_appliance');

// A bound on waits that must end; reaching it fails the test as a hang.  It
// is never an expectation about speed.
const HANG_GUARD_MS = 20000;

function guard(promise, what, ms = HANG_GUARD_MS) {
  let timer;
  const hang = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} did not settle within ${ms} ms (hang guard)`)), ms);
  });
  return Promise.race([promise, hang]).finally(() => clearTimeout(timer));
}

// Resolves once pred() holds; polls, since sockets close asynchronously.
async function until(pred, what, ms = HANG_GUARD_MS) {
  const end = Date.now() + ms;
  while (!pred()) {
    if (Date.now() > end) throw new Error(`${what} (waited ${ms} ms)`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// How a relay ended: { at: 'head' } (rejected), { at: 'body' } (resolved,
// then the body errored) or { at: 'end' } (the body ended), with the error's
// code, the status and the body read.
async function outcome(options) {
  let r;
  try {
    r = await relay(options);
  } catch (err) {
    return { at: 'head', code: err.code, message: err.message };
  }
  const parts = [];
  try {
    for await (const p of r.body) parts.push(p);
    return { at: 'end', status: r.statusCode, headers: r.headers, body: Buffer.concat(parts) };
  } catch (err) {
    return { at: 'body', status: r.statusCode, code: err.code, message: err.message, body: Buffer.concat(parts) };
  }
}

// A client's request: { status, headers, body, complete } once the response
// ended, or { error } when the connection broke.  A body longer than `cap`
// is given up: { status, headers, capped: true }.
const fetch = (url, { method = 'GET', headers = {}, body, cap = Infinity } = {}) => new Promise((resolve) => {
  const req = http.request(url, { method, headers, agent: false }, (res) => {
    const parts = [];
    let size = 0;
    res.on('data', (d) => {
      parts.push(d);
      size += d.length;
      if (size > cap) {
        resolve({ status: res.statusCode, headers: res.headers, capped: true });
        req.destroy();
      }
    })
      .on('error', (error) => resolve({ error, status: res.statusCode }))
      .on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(parts), complete: res.complete }));
  });
  req.on('error', (error) => resolve({ error })).end(body);
});

// The appliance, a daemon routing APP to it, and an admin server with the
// handler (handlerOptions added to its own).  `run(id, script)` scripts the
// appliance for one case and returns the relay() options that reach it.
async function startScene(handlerOptions = {}, daemonArgs = []) {
  const appliance = await startRawAppliance();
  const daemon = await startDaemon(['--route', `APP=127.0.0.1:${appliance.port}`, '--target-timeout', '3', '--quiet', ...daemonArgs]);
  const handler = createRelayHandler({
    identity: () => ({ name: 'bob', profile: 'read-only', superAdmin: false }),
    socketPath: daemon.socketPath,
    ...handlerOptions,
  });
  const server = http.createServer((req, res) => handler(req, res));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const base = `http://127.0.0.1:${server.address().port}`;
  let n = 0;
  return {
    appliance,
    daemon,
    server,
    // Scripts a new case; resolves with { id, options, url }.
    async scripted(script) {
      const id = `c${++n}`;
      await appliance.script(id, { writes: [], ...script });
      return {
        id,
        options: { serials: 'ZL1:APP', path: `/s/${id}`, admin: ADMIN, socketPath: daemon.socketPath },
        url: `${base}/zel/ZL1:APP/s/${id}`,
      };
    },
    async stop() {
      server.closeAllConnections();
      await new Promise((resolve) => server.close(resolve));
      await daemon.stop();
      await appliance.stop();
    },
  };
}

module.exports = { HANG_GUARD_MS, guard, until, outcome, fetch, startScene, fdCount };
