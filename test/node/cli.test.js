'use strict';
// zel-req: argument handling, exit status and output, against a real daemon
// and appliance.  The client runs as its own process, so the appliance can
// live on this thread.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFile } = require('child_process');
const http = require('http');
const path = require('path');
const zlib = require('zlib');

const { QUERY_SOCKET, ROOT, socketInUse, startQueryd } = require('../../tools/demo/queryd');
const { parseArgs } = require('../../tools/zel-req');
const { acquireSocketLock } = require('./support/socket_lock');

const CLI = path.join(ROOT, 'tools', 'zel-req.js');

function zelReq(args) {
  return new Promise((resolve) => {
    execFile(CLI, args, { encoding: 'buffer', maxBuffer: 64 * 1024 * 1024 }, (err, stdout, stderr) => {
      resolve({ code: err ? err.code : 0, stdout, out: stdout.toString(), err: stderr.toString() });
    });
  });
}

describe('argument parsing', () => {
  const ok = [
    [['GET', '/x/S1:S2', '/api/status'],
      { method: 'GET', url: '/x/S1:S2', targetPath: '/api/status', acceptEncoding: '', adminName: 'admin',
        adminProf: 'read-write', superAdmin: false, data: '', raw: false }],
    [['--super', '--raw', '--data', '{"a":1}', 'POST', '/x/S1:S2', '/api/echo'],
      { method: 'POST', superAdmin: true, raw: true, data: '{"a":1}' }],
    [['--accept-encoding=gzip, br', '--admin-name', 'bob', '--admin-prof=ro', 'GET', '/x/S1:S2', '/a'],
      { acceptEncoding: 'gzip, br', adminName: 'bob', adminProf: 'ro' }],
    [['--data', '--raw', 'PUT', '/x/A:B', '/a'], { data: '--raw', raw: false, method: 'PUT' }],
    [['GET', '--', '/x/S1:S2', '-weird'], { url: '/x/S1:S2', targetPath: '-weird' }],
    [['--data=', 'GET', '/x/S1:S2', '/'], { data: '' }],
  ];
  for (const [argv, want] of ok) {
    it(`accepts ${argv.join(' ')}`, () => {
      const got = parseArgs(argv);
      for (const [k, v] of Object.entries(want)) assert.deepEqual(got[k], v, k);
    });
  }
  const bad = [
    [[], /expected METHOD URL TARGET_PATH, got 0/],
    [['GET', '/x/S1:S2'], /got 2/],
    [['GET', '/x/S1:S2', '/a', 'extra'], /got 4/],
    [['--frobnicate', 'GET', '/x/S1:S2', '/a'], /unknown option: --frobnicate/],
    [['--raw=1', 'GET', '/x/S1:S2', '/a'], /unknown option/],
    [['GET', '/x/S1:S2', '/a', '--data'], /--data needs a value/],
  ];
  for (const [argv, msg] of bad) {
    it(`refuses ${argv.join(' ') || '(nothing)'}`, () => assert.throws(() => parseArgs(argv), msg));
  }
});

describe('exit status without a daemon exchange', () => {
  it('--help prints usage, status 0', async () => {
    const r = await zelReq(['--help']);
    assert.equal(r.code, 0);
    assert.match(r.out, /^usage: zel-req \[options\] METHOD URL TARGET_PATH/);
  });
  it('bad usage: status 2, message and usage on stderr', async () => {
    const r = await zelReq(['GET']);
    assert.equal(r.code, 2);
    assert.equal(r.out, '');
    assert.match(r.err, /expected METHOD URL TARGET_PATH[\s\S]*usage:/);
  });
  it('URL without a serial chain: status 2, nothing sent', async () => {
    for (const url of ['/x/S1', '/x', 'nothing']) {
      const r = await zelReq(['GET', url, '/api/status']);
      assert.equal(r.code, 2, url);
      assert.match(r.err, /no serial chain/);
    }
  });
});

describe('relayed requests', () => {
  let release;
  let daemon;
  let server;
  let lastRequest;
  const gzBody = zlib.gzipSync(Buffer.from('{"zipped":true}'));

  before(async () => {
    release = await acquireSocketLock();
    server = http.createServer((req, res) => {
      const parts = [];
      req.on('data', (d) => parts.push(d));
      req.on('end', () => {
        lastRequest = { method: req.method, url: req.url, headers: req.headers, body: Buffer.concat(parts).toString() };
        if (req.url === '/gz') {
          res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Encoding': 'gzip', 'Content-Length': gzBody.length });
          return res.end(gzBody);
        }
        const text = JSON.stringify({ ok: true, url: req.url });
        res.writeHead(req.url === '/missing' ? 404 : 200, { 'Content-Type': 'application/json', 'Content-Length': text.length });
        res.end(text);
      });
    });
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    daemon = await startQueryd(['--route', `APP1=127.0.0.1:${server.address().port}`]);
  });
  after(async () => {
    if (daemon) await daemon.stop();
    if (server) { server.close(); server.closeAllConnections(); }
    if (release) await release();
  });

  it('prints status line, header and body; status 0', async () => {
    const r = await zelReq(['GET', '/zel/SRC:APP1', '/api/status?v=1']);
    assert.equal(r.code, 0, r.err);
    const [head, body] = r.out.split('\n\n');
    const lines = head.split('\n');
    assert.equal(lines[0], 'HTTP/1.1 200 OK');
    assert.ok(lines.includes('content-type: application/json'), head);
    assert.deepEqual(JSON.parse(body), { ok: true, url: '/api/status?v=1' });
    assert.equal(lastRequest.url, '/api/status?v=1');
  });

  it('--raw prints the body alone', async () => {
    const r = await zelReq(['--raw', 'GET', '/zel/SRC:APP1', '/a']);
    assert.equal(r.code, 0, r.err);
    assert.equal(r.out, JSON.stringify({ ok: true, url: '/a' }));
  });

  it('--data, --super and the admin options reach the appliance', async () => {
    const r = await zelReq(['--data', '{"h":"gw"}', '--super', '--admin-name', 'bob', '--admin-prof', 'ro',
      'POST', '/zel/SRC:APP1', '/api/echo']);
    assert.equal(r.code, 0, r.err);
    assert.equal(lastRequest.method, 'POST');
    assert.equal(lastRequest.body, '{"h":"gw"}');
    assert.equal(lastRequest.headers['x-admin-name'], 'ZL_bob');
    assert.equal(lastRequest.headers['x-admin-permissions'], 'ro');
    assert.equal(lastRequest.headers['x-admin-super'], '1');
    assert.equal(lastRequest.headers['x-zel-source-sn'], 'SRC');
  });

  it('gzip reply: inflated by default, kept with --accept-encoding gzip', async () => {
    const plain = await zelReq(['--raw', 'GET', '/zel/SRC:APP1', '/gz']);
    assert.equal(plain.out, '{"zipped":true}');
    const kept = await zelReq(['--raw', '--accept-encoding', 'gzip', 'GET', '/zel/SRC:APP1', '/gz']);
    assert.ok(kept.stdout.equals(gzBody));
  });

  it('an error status is still a relayed reply', async () => {
    const r = await zelReq(['GET', '/zel/SRC:APP1', '/missing']);
    assert.equal(r.code, 0);
    assert.match(r.out, /^HTTP\/1\.1 404 Not Found\n/);
  });

  it('unknown route: status 1, names the route table', async () => {
    const r = await zelReq(['GET', '/zel/SRC:NOPE', '/a']);
    assert.equal(r.code, 1);
    assert.equal(r.out, '');
    assert.match(r.err, /relay failed[\s\S]*"NOPE" is not in its route table/);
  });

  it('no daemon: status 1, says so', async () => {
    await daemon.stop();
    daemon = null;
    assert.equal(socketInUse(QUERY_SOCKET), false);
    const r = await zelReq(['GET', '/zel/SRC:APP1', '/a']);
    assert.equal(r.code, 1);
    assert.match(r.err, /no query daemon is listening on \/tmp\/nst\/\.nst\.query/);
  });
});
