'use strict';
// zel-req: argument handling, exit status and output, against a real daemon
// on a private socket path and a real appliance.  The client runs as its own
// process.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFile } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const zlib = require('zlib');

require('./support/private_socket');
const { ROOT, socketInUse, startQueryd } = require('../../tools/demo/queryd');
const { parseArgs } = require('../../tools/zel-req');

const zelReq = (args) => new Promise((resolve) => {
  execFile(path.join(ROOT, 'tools', 'zel-req.js'), args, { encoding: 'buffer' }, (err, stdout, stderr) =>
    resolve({ code: err ? err.code : 0, stdout, out: stdout.toString(), err: stderr.toString() }));
});

describe('arguments', () => {
  it('parses options in either form, and "--" or an option value that looks like one', () => {
    const cases = [ // [argv, fields of the options record]
      [['GET', '/x/S1:S2', '/api/status'], { method: 'GET', url: '/x/S1:S2', targetPath: '/api/status', acceptEncoding: '',
        adminName: 'admin', adminProf: 'read-write', superAdmin: false, data: '', raw: false }],
      [['--accept-encoding=gzip, br', '--admin-name', 'bob', '--admin-prof=ro', 'GET', '/x/S1:S2', '/a'],
        { acceptEncoding: 'gzip, br', adminName: 'bob', adminProf: 'ro' }],
      [['--data', '--raw', 'PUT', '/x/A:B', '/a'], { data: '--raw', raw: false, method: 'PUT' }],
      [['GET', '--', '/x/S1:S2', '-weird'], { url: '/x/S1:S2', targetPath: '-weird' }],
      [['--data=', 'GET', '/x/S1:S2', '/'], { data: '' }],
      [['--socket', '/run/q', '--timeout=500', 'GET', '/x/S1:S2', '/'], { socket: '/run/q', timeout: '500' }],
    ];
    for (const [argv, want] of cases) {
      const got = parseArgs(argv);
      for (const [k, v] of Object.entries(want)) assert.deepEqual(got[k], v, `${argv.join(' ')}: ${k}`);
    }
  });

  it('--help prints usage with status 0; bad usage or no serial chain: status 2, message on stderr', async () => {
    const help = await zelReq(['--help']);
    assert.equal(help.code, 0);
    assert.match(help.out, /^usage: zel-req \[options\] METHOD URL TARGET_PATH/);
    const cases = [
      [['GET'], /expected METHOD URL TARGET_PATH, got 1[\s\S]*usage:/],
      [['GET', '/x/S1:S2', '/a', 'extra'], /got 4/],
      [['--frobnicate', 'GET', '/x/S1:S2', '/a'], /unknown option: --frobnicate/],
      [['--raw=1', 'GET', '/x/S1:S2', '/a'], /unknown option/],
      [['GET', '/x/S1:S2', '/a', '--data'], /--data needs a value/],
      [['--timeout', '0', 'GET', '/x/S1:S2', '/a'], /--timeout needs a number/],
      [['GET', '/x/S1:S2', '/a b'], /arguments refused/],
      [['GET', '/x/S1', '/api/status'], /no serial chain/],
      [['GET', '/x', '/api/status'], /no serial chain/],
      [['GET', 'nothing', '/api/status'], /no serial chain/],
    ];
    for (const [args, msg] of cases) {
      const r = await zelReq(args);
      assert.deepEqual([r.code, r.out], [2, ''], args.join(' '));
      assert.match(r.err, msg, args.join(' '));
    }
  });
});

describe('relayed requests', () => {
  let dir, sock, daemon, server, last;
  const gzBody = zlib.gzipSync('{"zipped":true}');
  const zelReqHere = (args) => zelReq(['--socket', sock, ...args]);
  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-cli-'));
    sock = path.join(dir, 'q');
    server = http.createServer((req, res) => {
      const parts = [];
      req.on('data', (d) => parts.push(d)).on('end', () => {
        last = { method: req.method, url: req.url, headers: req.headers, body: Buffer.concat(parts).toString() };
        const [status, fields, body] = req.url === '/gz' ? [200, { 'Content-Encoding': 'gzip' }, gzBody]
          : [req.url === '/missing' ? 404 : 200, {}, Buffer.from(JSON.stringify({ ok: true, url: req.url }))];
        res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': body.length, ...fields }).end(body);
      });
    });
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    daemon = await startQueryd(['--socket', sock, '--route', `APP1=127.0.0.1:${server.address().port}`]);
  });
  after(async () => {
    await daemon?.stop();
    server?.close();
    server?.closeAllConnections();
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  it('prints status line, header and body; status 0, also for an error status', async () => {
    const r = await zelReqHere(['GET', '/zel/SRC:APP1', '/api/status?v=1']);
    assert.equal(r.code, 0, r.err);
    const [head, body] = r.out.split('\n\n');
    assert.equal(head.split('\n')[0], 'HTTP/1.1 200 OK');
    assert.ok(head.split('\n').includes('content-type: application/json'), head);
    assert.deepEqual(JSON.parse(body), { ok: true, url: '/api/status?v=1' });
    assert.equal(last.url, '/api/status?v=1');
    const missing = await zelReqHere(['GET', '/zel/SRC:APP1', '/missing']);
    assert.equal(missing.code, 0);
    assert.match(missing.out, /^HTTP\/1\.1 404 Not Found\n/);
  });

  it('--data, --super and the admin options reach the appliance', async () => {
    const r = await zelReqHere(['--data', '{"h":"gw"}', '--super', '--admin-name', 'bob', '--admin-prof', 'ro', 'POST', '/zel/SRC:APP1', '/api/echo']);
    assert.equal(r.code, 0, r.err);
    const h = last.headers;
    assert.deepEqual([last.method, last.body, h['x-admin-name'], h['x-admin-permissions'], h['x-admin-super'], h['x-zel-source-sn']],
      ['POST', '{"h":"gw"}', 'ZL_bob', 'ro', '1', 'SRC']);
  });

  it('--raw prints the body alone: a gzip reply inflated by default, kept with --accept-encoding gzip', async () => {
    assert.equal((await zelReqHere(['--raw', 'GET', '/zel/SRC:APP1', '/gz'])).out, '{"zipped":true}');
    assert.ok((await zelReqHere(['--raw', '--accept-encoding', 'gzip', 'GET', '/zel/SRC:APP1', '/gz'])).stdout.equals(gzBody));
  });

  it('exchange failures: status 1 with a message naming the cause', async () => {
    const r = await zelReqHere(['GET', '/zel/SRC:NOPE', '/a']);
    assert.deepEqual([r.code, r.out], [1, '']);
    assert.match(r.err, /relay failed[\s\S]*"NOPE" is not in its route table/);
    await daemon.stop();
    daemon = null;
    assert.equal(socketInUse(sock), false);
    const none = await zelReqHere(['GET', '/zel/SRC:APP1', '/a']);
    assert.equal(none.code, 1);
    assert.ok(none.err.includes(`no query daemon is listening on ${sock}`), none.err);
  });
});
