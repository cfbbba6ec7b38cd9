'use strict';
// The demo: the admin server's relay with a stand-in for node_zel_req, then
// `npm start`'s whole process, with its appliances, from start to Ctrl-C.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const fs = require('fs');
const http = require('http');
const path = require('path');
const readline = require('readline');
const zlib = require('zlib');

require('./support/private_socket');
const { QUERY_SOCKET, ROOT, socketInUse } = require('../../tools/demo/queryd');
const { createAdminServer, splitAdminUrl } = require('../../tools/demo/admin_server');

// A client without automatic decompression, so the test sees exactly the
// framing and encoding the server chose.
const request = (url, { method = 'GET', headers = {}, body } = {}) => new Promise((resolve, reject) => {
  http.request(url, { method, headers, agent: false }, (res) => {
    const parts = [];
    res.on('data', (d) => parts.push(d)).on('error', reject)
      .on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(parts) }));
  }).on('error', reject).end(body);
});

it('admin URL split', () => {
  const cases = [ // [URL, prefix, chain, target]; no prefix: no serial chain
    ['/zel/S1:S2/api/status?x=1&y=2', 'zel', 'S1:S2', '/api/status?x=1&y=2'],
    ['/zel/S1:S2', 'zel', 'S1:S2', '/'],
    ['/zel/S1:S2/', 'zel', 'S1:S2', '/'],
    ['/zel/S1:S2?q=1', 'zel', 'S1:S2', '/?q=1'],
    ['/a/S1:S2:S3/x/y/z', 'a', 'S1:S2:S3', '/x/y/z'],
    ['/zel/S1:S2/a?b=/c/d', 'zel', 'S1:S2', '/a?b=/c/d'],
    ['/zel'], ['/zel/'], ['//S1:S2/x'], ['/zel?x=/S1:S2/y'],
  ];
  for (const [url, prefix, chain, target] of cases) {
    assert.deepEqual(splitAdminUrl(url), prefix ? { prefix, chain, target } : null, url);
  }
});

// What the real module cannot be made to do on demand; the rest of the relay
// is exercised through `npm start` below.
describe('admin server relay (stand-in module)', () => {
  // Plays `script` back; like the module, it reuses one Buffer for every piece.
  let script, called, server, base;
  const stub = (...args) => {
    called = true;
    const [onBody, onHead] = args.slice(8);
    const buf = Buffer.alloc(4096);
    if (script.head) onHead(...script.head);
    for (const p of script.pieces ?? []) {
      buf.fill(0).write(p);
      onBody({ response: buf, response_size: Buffer.byteLength(p) });
    }
    if (script.throws) throw script.throws;
    return script.ret;
  };
  before(async () => {
    server = createAdminServer({ zelReq: stub, identity: {}, index: { hello: 1 } });
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    base = `http://127.0.0.1:${server.address().port}`;
  });
  after(() => { server.close(); server.closeAllConnections(); });

  it('relays status, fields and pieces but not hop-by-hop fields; serves the index at "/"', async () => {
    script = { head: [207, { 'x-a': 'b', 'keep-alive': 'timeout=5' }], pieces: ['{"a":', '1}'], ret: 0 };
    const r = await request(`${base}/zel/S1:S2/x`);
    assert.deepEqual([r.status, r.headers['x-a'], r.headers['keep-alive'], r.body.toString()], [207, 'b', undefined, '{"a":1}']);
    assert.deepEqual(JSON.parse((await request(`${base}/`)).body), { hello: 1 });
  });

  const failures = [ // [case, script (null: the module must not be called), status, error, URL]
    ['an exception before the head', { throws: new Error('EINVAL'), ret: 0 }, 500, /relay failed/],
    ['0 without a head', { ret: 0 }, 502, /could not be reached/],
    ['a URL without a chain', null, 400, /no serial chain/, '/zel'],
  ];
  for (const [name, s, status, error, url = '/zel/S1:S2/x'] of failures) {
    it(`${name}: ${status} with a JSON error`, async () => {
      [script, called] = [s, false];
      const r = await request(base + url);
      assert.equal(r.status, status);
      assert.match(JSON.parse(r.body).error, error);
      assert.equal(called, s !== null, 'module called');
    });
  }

  it('a failure after the head cuts the response', async () => {
    script = { head: [200, { 'content-length': '100' }], pieces: ['partial'], ret: -1 };
    await assert.rejects(request(`${base}/zel/S1:S2/x`));
  });
});

describe('npm start', () => {
  let demo, base;
  const lines = [];
  const apps = {}; // framing -> { serial, base }
  const exited = () => (demo.exitCode !== null || demo.signalCode !== null
    ? Promise.resolve(demo.exitCode) : new Promise((r) => demo.once('exit', r)));
  before(async () => {
    assert.equal(socketInUse(QUERY_SOCKET), false, `${QUERY_SOCKET} is served by a daemon this test did not start`);
    demo = spawn(process.execPath, [path.join(ROOT, 'tools/demo/demo.js'), '--port', '0']);
    let stderr = '';
    demo.stderr.on('data', (d) => { stderr += d; });
    await new Promise((resolve, reject) => {
      // The address line comes first, the Ctrl-C hint last, once all is up.
      readline.createInterface({ input: demo.stdout }).on('line', (line) => {
        lines.push(line);
        if (line.startsWith('demo: Ctrl-C stops everything')) resolve();
      });
      demo.on('exit', (code) => reject(new Error(`demo exited (${code}) before it was ready:\n${lines.join('\n')}\n${stderr}`)));
    });
    base = lines.map((l) => /^demo: admin server listening on (http:\/\/127\.0\.0\.1:\d+)$/.exec(l)).find(Boolean)[1];
    for (const m of lines.map((l) => /^ {2}(\S+) +(plain|gzip|chunked) +(127\.0\.0\.1:\d+)$/.exec(l)).filter(Boolean)) {
      apps[m[2]] = { serial: m[1], base: `http://${m[3]}` };
    }
  });
  after(async () => {
    if (demo?.exitCode === null && demo.signalCode === null) {
      demo.kill('SIGKILL');
      await exited();
    }
  });
  const relayUrl = (framing, p) => `${base}/zel/ZL1000:${apps[framing].serial}${p}`;

  it('prints example requests; each appliance frames its replies its own way', async () => {
    assert.ok(lines.some((l) => l.includes(`curl -s ${base}/zel/`)), lines.join('\n'));
    const plain = await request(`${apps.plain.base}/api/status`);
    assert.equal(plain.headers['content-length'], String(plain.body.length));
    const gz = await request(`${apps.gzip.base}/api/status`, { headers: { 'Accept-Encoding': 'gzip' } });
    assert.equal(gz.headers['content-encoding'], 'gzip');
    assert.equal(JSON.parse(zlib.gunzipSync(gz.body)).serial, apps.gzip.serial);
    assert.equal((await request(`${apps.gzip.base}/api/status`)).headers['content-encoding'], undefined);
    assert.equal((await request(`${apps.chunked.base}/api/logs`)).headers['transfer-encoding'], 'chunked');
  });

  it('relays to the plain appliance with the admin identity; answers and refusals pass through', async () => {
    const j = JSON.parse((await request(relayUrl('plain', '/api/status'))).body);
    assert.deepEqual([j.serial, j.addressed_to], [apps.plain.serial, apps.plain.serial]);
    assert.deepEqual(j.asked_by, { name: 'ZL_demo', permissions: 'read-write', super: '1', source_serial: 'ZL1000' });
    const refusals = [ // [URL, status, error]: the appliance's own, then the relay's (-1, then undefined)
      [relayUrl('plain', '/api/logs?lines=x'), 400, /lines/],
      [relayUrl('plain', '/api/nope'), 404, /no such endpoint/],
      [`${base}/zel/ZL1000:NOSUCH/api/status`, 502, /could not be reached/],
      [`${base}/zel/ZL1001/api/status`, 400, /no serial chain/],
    ];
    for (const [url, status, error] of refusals) {
      const r = await request(url);
      assert.equal(r.status, status, url);
      assert.match(JSON.parse(r.body).error, error, url);
    }
    const echo = JSON.parse((await request(relayUrl('plain', '/api/echo?z=1'), { method: 'POST', body: '{"h":"gw-7"}' })).body);
    assert.deepEqual([echo.method, echo.target, echo.body], ['POST', '/api/echo?z=1', '{"h":"gw-7"}']);
  });

  it('gzip appliance: inflated for a plain client, gzip for one that accepts it; chunked: a large body', async () => {
    const plain = await request(relayUrl('gzip', '/api/logs?lines=200'));
    assert.equal(plain.headers['content-encoding'], undefined);
    assert.equal(JSON.parse(plain.body).lines.length, 200);
    const gz = await request(relayUrl('gzip', '/api/logs?lines=200'), { headers: { 'Accept-Encoding': 'gzip' } });
    assert.equal(gz.headers['content-encoding'], 'gzip');
    assert.equal(JSON.parse(zlib.gunzipSync(gz.body)).lines.length, 200);
    assert.equal(JSON.parse((await request(relayUrl('chunked', '/api/logs?lines=5000'))).body).lines.length, 5000);
  });

  it('Ctrl-C stops the daemon and removes its socket', async () => {
    demo.kill('SIGINT');
    assert.equal(await exited(), 0);
    assert.equal(fs.existsSync(QUERY_SOCKET), false);
    assert.equal(socketInUse(QUERY_SOCKET), false);
  });
});
