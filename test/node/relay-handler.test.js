'use strict';
// createRelayHandler(): an admin server relaying through the reference daemon
// to a real appliance, and the handler's own answers.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const http = require('http');
const zlib = require('zlib');
const diagnostics = require('diagnostics_channel');

const { createRelayHandler } = require('../..');
const { splitUrl, mountedUrl } = require('../../lib/handler');
const { startDaemon } = require('./support/relay_env');

const { request } = require('./support/client');

it('splits <prefix>/<chain>/<path>', () => {
  const cases = [ // [prefix, URL, serials, path]; no serials: outside the prefix
    ['/zel', '/zel/S1:S2/api/status?x=1&y=2', 'S1:S2', '/api/status?x=1&y=2'],
    ['/zel', '/zel/S1:S2', 'S1:S2', '/'],
    ['/zel', '/zel/S1:S2?q=1', 'S1:S2', '/?q=1'],
    ['/zel', '/zel/S1:S2/a?b=/c/d', 'S1:S2', '/a?b=/c/d'],
    ['/a/b', '/a/b/S1:S2:S3/x', 'S1:S2:S3', '/x'],
    ['', '/S1:S2/x', 'S1:S2', '/x'],
    ['/zel', '/zel'], ['/zel', '/zelda/S1:S2/x'], ['/zel', '/other/S1:S2'],
  ];
  for (const [prefix, url, serials, p] of cases) {
    assert.deepEqual(splitUrl(prefix, url), serials ? { serials, path: p } : null, url);
  }
});

it('finds the mount path where Express and Connect leave it', () => {
  const cases = [ // [request fields, mount path, URL below it]
    [{ url: '/S1:S2/x', baseUrl: '/zel', originalUrl: '/zel/S1:S2/x' }, '/zel', '/S1:S2/x'],
    [{ url: '/', baseUrl: '/zel', originalUrl: '/zel?q=1' }, '/zel', '/?q=1'],
    [{ url: '/zel/S1:S2/x', baseUrl: '', originalUrl: '/zel/S1:S2/x' }, '', '/zel/S1:S2/x'],
    [{ url: '/S1:S2/x', originalUrl: '/admin/zel/S1:S2/x' }, '/admin/zel', '/S1:S2/x'], // Connect: no baseUrl
    [{ url: '/zel/S1:S2/x', originalUrl: '/old/S1:S2/x' }, '', '/zel/S1:S2/x'], // rewritten, not mounted
    [{ url: '/zel/S1:S2/x' }, '', '/zel/S1:S2/x'], // node:http
  ];
  for (const [req, base, url] of cases) assert.deepEqual(mountedUrl(req), { base, url }, JSON.stringify(req));
});

describe('an admin server with the handler', () => {
  let appliance, daemon, silent, server, base, last;
  const gz = zlib.gzipSync('{"zipped":true}');
  before(async () => {
    appliance = http.createServer((req, res) => {
      const parts = [];
      req.on('data', (d) => parts.push(d)).on('end', () => {
        last = { method: req.method, url: req.url, headers: req.headers, body: Buffer.concat(parts).toString() };
        if (req.url === '/gz') return res.writeHead(200, { 'Content-Encoding': 'gzip', 'Keep-Alive': 'timeout=5' }).end(gz);
        if (req.url === '/endless') {
          res.writeHead(200, { 'Content-Type': 'text/plain' });
          const t = setInterval(() => res.write('x'.repeat(1000)), 5);
          return res.on('close', () => clearInterval(t));
        }
        res.writeHead(201, { 'Content-Type': 'application/json', 'X-Seen': 'yes' }).end(JSON.stringify({ url: req.url }));
      });
    });
    await new Promise((r) => appliance.listen(0, '127.0.0.1', r));
    daemon = await startDaemon(['--route', `APP=127.0.0.1:${appliance.address().port}`]);
    silent = await startDaemon(['--silent']);
    const handler = createRelayHandler({
      identity: async (req) => ({ name: req.headers['x-user'] || 'anon', profile: 'read-only', superAdmin: false }),
      maxBodyBytes: 1000, socketPath: daemon.socketPath,
    });
    const slowHandler = createRelayHandler({ prefix: '/slow', identity: () => ({ name: 'a', profile: 'p', superAdmin: true }),
      timeout: 100, socketPath: silent.socketPath });
    // Connect-style chaining: each handler passes what is not its own on.
    server = http.createServer((req, res) => handler(req, res, () => slowHandler(req, res, () => {
      res.writeHead(418).end('not relayed');
    })));
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    base = `http://127.0.0.1:${server.address().port}`;
  });
  after(async () => {
    server?.close();
    server?.closeAllConnections();
    await daemon?.stop();
    await silent?.stop();
    appliance?.closeAllConnections();
    appliance?.close();
  });

  it('relays method, target, body and identity; status and fields come back without hop-by-hop ones', async () => {
    const r = await request(`${base}/zel/ZL1:APP/api/echo?z=1`, { method: 'PUT', body: '{"h":1}',
      headers: { 'X-User': 'carol', 'Content-Type': 'application/json' } });
    assert.equal(r.status, 201);
    assert.equal(r.headers['x-seen'], 'yes');
    assert.deepEqual(JSON.parse(r.body), { url: '/api/echo?z=1' });
    assert.deepEqual([last.method, last.body, last.headers['content-type'], last.headers['x-admin-name'], last.headers['x-zel-source-sn']],
      ['PUT', '{"h":1}', 'application/json', 'ZL_carol', 'ZL1']);
    const plain = await request(`${base}/zel/ZL1:APP/gz`);
    assert.deepEqual([plain.headers['content-encoding'], plain.headers['keep-alive'], plain.body.toString()], [undefined, undefined, '{"zipped":true}']);
    const kept = await request(`${base}/zel/ZL1:APP/gz`, { headers: { 'Accept-Encoding': 'gzip;q=0.8, br' } });
    assert.equal(kept.headers['content-encoding'], 'gzip');
    assert.ok(kept.body.equals(gz));
  });

  it('answers failures with a JSON body naming the code', async () => {
    const cases = [ // [URL, status, code, request options]
      ['/zel/ZL1:NOPE/x', 404, 'ZEL_ERR_UNKNOWN_SERIAL'],
      ['/zel/ZL1/x', 400, 'ERR_INVALID_ARG_VALUE'],
      ['/slow/ZL1:APP/x', 504, 'ZEL_ERR_TIMEOUT'],
      ['/zel/ZL1:APP/x', 413, 'ERR_BODY_TOO_LARGE', { method: 'POST', body: 'x'.repeat(1001) }],
    ];
    for (const [url, status, code, opts] of cases) {
      const r = await request(base + url, opts);
      assert.equal(r.status, status, url);
      assert.equal(JSON.parse(r.body).code, code, url);
    }
    assert.equal((await request(`${base}/other/ZL1:APP/x`)).status, 418);
  });

  it('a body over the limit is not relayed, even without a Content-Length', async () => {
    const before = daemon.exchanges().length;
    const r = await new Promise((resolve, reject) => {
      const req = http.request(`${base}/zel/ZL1:APP/x`, { method: 'POST', agent: false }, (res) => {
        res.resume().on('end', () => resolve(res.statusCode));
      }).on('error', reject);
      req.write('y'.repeat(600));
      setImmediate(() => req.end('y'.repeat(600)));
    });
    assert.equal(r, 413);
    await request(`${base}/zel/ZL1:APP/after`);
    for (let i = 0; i < 250 && daemon.exchanges().length < before + 1; i++) await new Promise((res) => setTimeout(res, 20));
    assert.deepEqual(daemon.exchanges().slice(before).map((l) => / (\/\S*):/.exec(l)?.[1]), ['/after']);
  });

  it('a client that goes away aborts its relay', async () => {
    const ended = new Promise((resolve) => {
      const onMsg = (m) => {
        if (m.event === 'end' && m.path === '/endless') {
          diagnostics.unsubscribe('node-zel-mod:relay', onMsg);
          resolve(m);
        }
      };
      diagnostics.subscribe('node-zel-mod:relay', onMsg);
    });
    await new Promise((resolve, reject) => {
      const req = http.request(`${base}/zel/ZL1:APP/endless`, { agent: false }, (res) => {
        res.once('data', () => { req.destroy(); resolve(); });
      }).on('error', () => {});
      req.on('error', reject);
      req.end();
    });
    const m = await ended;
    assert.equal(m.error?.code, 'ABORT_ERR');
  });
});
