'use strict';
// The demo: its appliances, the admin server's relay (first with a stand-in
// for node_zel_req, then for real), and `npm start`'s process from start to
// Ctrl-C.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const zlib = require('zlib');

const { QUERY_SOCKET, ROOT, socketInUse } = require('../../tools/demo/queryd');
const { createAdminServer, splitAdminUrl } = require('../../tools/demo/admin_server');
const { acquireSocketLock } = require('./support/socket_lock');
const { request } = require('./support/http_get');

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(`http://127.0.0.1:${server.address().port}`)));
}

// Spawns a node script and resolves once `ready` matches a stdout line.
function startScript(script, args, ready, env = process.env) {
  const child = spawn(process.execPath, [script, ...args], { stdio: ['pipe', 'pipe', 'pipe'], env });
  const lines = [];
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  return new Promise((resolve, reject) => {
    const rl = readline.createInterface({ input: child.stdout });
    rl.on('line', (line) => {
      lines.push(line);
      const m = ready.exec(line);
      if (m) resolve({ child, lines, match: m, stderr: () => stderr });
    });
    child.on('exit', (code) => reject(new Error(`${script} exited (${code}) before it was ready:\n${lines.join('\n')}\n${stderr}`)));
  });
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child.exitCode);
  return new Promise((r) => child.once('exit', (code) => r(code)));
}

describe('admin URL split', () => {
  const cases = [
    ['/zel/S1:S2/api/status?x=1&y=2', { prefix: 'zel', chain: 'S1:S2', target: '/api/status?x=1&y=2' }],
    ['/zel/S1:S2', { prefix: 'zel', chain: 'S1:S2', target: '/' }],
    ['/zel/S1:S2/', { prefix: 'zel', chain: 'S1:S2', target: '/' }],
    ['/zel/S1:S2?q=1', { prefix: 'zel', chain: 'S1:S2', target: '/?q=1' }],
    ['/a/S1:S2:S3/x/y/z', { prefix: 'a', chain: 'S1:S2:S3', target: '/x/y/z' }],
    ['/zel/S1:S2/a?b=/c/d', { prefix: 'zel', chain: 'S1:S2', target: '/a?b=/c/d' }],
    ['/zel', null],
    ['/zel/', null],
    ['//S1:S2/x', null],
    ['/zel?x=/S1:S2/y', null],
  ];
  for (const [url, want] of cases) {
    it(`${url}`, () => assert.deepEqual(splitAdminUrl(url), want));
  }
});

describe('admin server relay (stand-in module)', () => {
  // A stand-in for node_zel_req that plays back a script and records its
  // arguments.  Like the module, it reuses one Buffer for every piece.
  let script;
  let seen;
  const stub = (...args) => {
    seen = args.slice(0, 8);
    const [onBody, onHead] = args.slice(8);
    const buf = Buffer.alloc(4096);
    if (script.head) onHead(...script.head);
    for (const p of script.pieces || []) {
      buf.fill(0);
      buf.write(p);
      onBody({ response: buf, response_size: Buffer.byteLength(p) });
    }
    if (script.throws) throw script.throws;
    return script.ret;
  };
  let server;
  let base;
  before(async () => {
    server = createAdminServer({ zelReq: stub, identity: { name: 'n', profile: 'p', superAdmin: 's' }, index: { hello: 1 } });
    base = await listen(server);
  });
  after(() => { server.close(); server.closeAllConnections(); });

  it('passes method, URLs, encoding, identity and body on', async () => {
    script = { head: [200, {}], ret: 0 };
    await request(`${base}/zel/S1:S2/api/x?a=1`, { method: 'PUT', headers: { 'Accept-Encoding': 'br, gzip' }, body: '{"k":"é"}' });
    assert.deepEqual(seen, ['PUT', '/zel/S1:S2/api/x?a=1', '/api/x?a=1', 'br, gzip', 'n', 'p', 's', '{"k":"é"}']);
    await request(`${base}/zel/S1:S2`);
    assert.deepEqual(seen, ['GET', '/zel/S1:S2', '/', '', 'n', 'p', 's', '']);
  });

  it('status, header and every piece reach the client', async () => {
    script = {
      head: [207, { 'content-type': 'application/json', 'x-a': 'b', connection: 'close', 'keep-alive': 'timeout=5' }],
      pieces: ['{"a":', '1,', '"b":2}'],
      ret: 0,
    };
    const r = await request(`${base}/zel/S1:S2/x`);
    assert.equal(r.status, 207);
    assert.equal(r.headers['content-type'], 'application/json');
    assert.equal(r.headers['x-a'], 'b');
    assert.equal(r.headers['keep-alive'], undefined, 'hop-by-hop fields are not relayed');
    assert.equal(r.body.toString(), '{"a":1,"b":2}', 'pieces were copied before the Buffer was reused');
  });

  const failures = [
    { name: '-1 before the head', script: { ret: -1 }, status: 502, error: /could not be reached/ },
    { name: 'undefined (no serial chain)', script: { ret: undefined }, status: 400, error: /no serial chain/ },
    { name: 'exception before the head', script: { throws: new Error('EINVAL'), ret: 0 }, status: 500, error: /relay failed/ },
    { name: '0 without a head', script: { ret: 0 }, status: 502, error: /could not be reached/ },
  ];
  for (const f of failures) {
    it(`${f.name} gives ${f.status} with a JSON error`, async () => {
      script = f.script;
      const r = await request(`${base}/zel/S1:S2/x`);
      assert.equal(r.status, f.status);
      assert.match(JSON.parse(r.body).error, f.error);
    });
  }

  it('a failure after the head cuts the response', async () => {
    script = { head: [200, { 'content-length': '100' }], pieces: ['partial'], ret: -1 };
    await assert.rejects(request(`${base}/zel/S1:S2/x`));
  });

  it('a URL without a chain is refused before the module is called', async () => {
    seen = null;
    const r = await request(`${base}/zel`);
    assert.equal(r.status, 400);
    assert.equal(seen, null);
  });

  it('"/" serves the index', async () => {
    const r = await request(`${base}/`);
    assert.deepEqual(JSON.parse(r.body), { hello: 1 });
  });
});

describe('demo appliances', () => {
  let apps;
  const endpoints = {};
  before(async () => {
    apps = await startScript(path.join(ROOT, 'tools/demo/appliances.js'), [], /^appliances ready$/);
    for (const line of apps.lines) {
      const m = /^appliance (\S+) (\S+) (\S+)$/.exec(line);
      if (m) endpoints[m[2]] = { serial: m[1], base: `http://${m[3]}` };
    }
  });
  after(async () => {
    apps.child.kill('SIGTERM');
    await exited(apps.child);
  });

  it('one appliance per framing', () => {
    assert.deepEqual(Object.keys(endpoints).sort(), ['chunked', 'gzip', 'plain']);
  });

  it('framing: length, gzip when asked, chunked', async () => {
    const plain = await request(`${endpoints.plain.base}/api/status`);
    assert.equal(plain.headers['content-length'], String(plain.body.length));
    const gz = await request(`${endpoints.gzip.base}/api/status`, { headers: { 'Accept-Encoding': 'gzip' } });
    assert.equal(gz.headers['content-encoding'], 'gzip');
    assert.equal(JSON.parse(zlib.gunzipSync(gz.body)).serial, endpoints.gzip.serial);
    const noGz = await request(`${endpoints.gzip.base}/api/status`);
    assert.equal(noGz.headers['content-encoding'], undefined);
    const ch = await request(`${endpoints.chunked.base}/api/logs?lines=50`);
    assert.equal(ch.headers['transfer-encoding'], 'chunked');
    assert.equal(JSON.parse(ch.body).lines.length, 50);
  });

  it('endpoints and their refusals', async () => {
    const b = endpoints.plain.base;
    const cases = [
      ['/api/interfaces', 200, (j) => assert.ok(j.interfaces.length > 0)],
      ['/api/logs', 200, (j) => assert.equal(j.lines.length, 20)],
      ['/api/logs?lines=3', 200, (j) => assert.deepEqual(j.lines.map((l) => l.seq), [1, 2, 3])],
      ['/api/logs?lines=0', 400, (j) => assert.match(j.error, /lines/)],
      ['/api/logs?lines=x', 400, (j) => assert.match(j.error, /lines/)],
      ['/api/nope', 404, (j) => assert.match(j.error, /no such endpoint/)],
    ];
    for (const [p, status, check] of cases) {
      const r = await request(b + p);
      assert.equal(r.status, status, p);
      check(JSON.parse(r.body));
    }
    const echo = await request(`${b}/api/echo?z=1`, { method: 'POST', body: 'hi', headers: { 'X-Admin-Name': 'ZL_x' } });
    assert.deepEqual(
      (({ method, target, body, admin }) => ({ method, target, body, name: admin.name }))(JSON.parse(echo.body)),
      { method: 'POST', target: '/api/echo?z=1', body: 'hi', name: 'ZL_x' });
  });
});

describe('npm start', () => {
  let release;
  let demo;
  let base;
  before(async () => {
    release = await acquireSocketLock();
    assert.equal(socketInUse(QUERY_SOCKET), false,
      `${QUERY_SOCKET} is served by a daemon this test did not start; stop it and run again`);
    // The address line comes first, the Ctrl-C hint last, once all is up.
    demo = await startScript(path.join(ROOT, 'tools/demo/demo.js'), ['--port', '0'], /^demo: Ctrl-C stops everything/);
    base = demo.lines.map((l) => /^demo: admin server listening on (http:\/\/127\.0\.0\.1:\d+)$/.exec(l))
      .find(Boolean)[1];
  });
  after(async () => {
    if (demo && demo.child.exitCode === null) {
      demo.child.kill('SIGKILL');
      await exited(demo.child);
    }
    if (release) await release();
  });

  const serialOf = (framing) => {
    const line = demo.lines.find((l) => new RegExp(`^ {2}(\\S+) +${framing} `).test(l));
    return line.trim().split(/\s+/)[0];
  };
  const relayUrl = (framing, p) => `${base}/zel/ZL1000:${serialOf(framing)}${p}`;

  it('prints example requests', () => {
    assert.ok(demo.lines.some((l) => l.includes(`curl -s ${base}/zel/`)), demo.lines.join('\n'));
  });

  it('relays to the plain appliance with the admin identity', async () => {
    const r = await request(relayUrl('plain', '/api/status'));
    assert.equal(r.status, 200);
    const j = JSON.parse(r.body);
    assert.equal(j.serial, serialOf('plain'));
    assert.equal(j.addressed_to, serialOf('plain'));
    assert.deepEqual(j.asked_by, { name: 'ZL_demo', permissions: 'read-write', super: '1', source_serial: 'ZL1000' });
  });

  it('gzip appliance: inflated for a plain client, gzip for one that accepts it', async () => {
    const plain = await request(relayUrl('gzip', '/api/logs?lines=200'));
    assert.equal(plain.headers['content-encoding'], undefined);
    assert.equal(JSON.parse(plain.body).lines.length, 200);
    const gz = await request(relayUrl('gzip', '/api/logs?lines=200'), { headers: { 'Accept-Encoding': 'gzip' } });
    assert.equal(gz.headers['content-encoding'], 'gzip');
    assert.equal(JSON.parse(zlib.gunzipSync(gz.body)).lines.length, 200);
  });

  it('chunked appliance: a large de-chunked body', async () => {
    const r = await request(relayUrl('chunked', '/api/logs?lines=5000'));
    assert.equal(r.status, 200);
    assert.equal(JSON.parse(r.body).lines.length, 5000);
  });

  it('POST body reaches the appliance', async () => {
    const r = await request(relayUrl('plain', '/api/echo'), { method: 'POST', body: '{"hostname":"gw-7"}' });
    const j = JSON.parse(r.body);
    assert.equal(j.method, 'POST');
    assert.equal(j.body, '{"hostname":"gw-7"}');
  });

  it('appliance errors pass through; unknown serials and bad URLs are refused', async () => {
    assert.equal((await request(relayUrl('plain', '/api/nope'))).status, 404);
    assert.equal((await request(`${base}/zel/ZL1000:NOSUCH/api/status`)).status, 502);
    assert.equal((await request(`${base}/zel/ZL1001/api/status`)).status, 400);
  });

  it('Ctrl-C stops the daemon and removes its socket', async () => {
    demo.child.kill('SIGINT');
    assert.equal(await exited(demo.child), 0);
    assert.equal(fs.existsSync(QUERY_SOCKET), false);
    assert.equal(socketInUse(QUERY_SOCKET), false);
  });
});
