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
const { parseArgs, describeFailure, formatProgress, createProgress } = require('../../tools/zel-req');
const { CODES, REPLY_CODE_NAMES, replyStatusError } = require('../../lib/errors');

const zelReq = (args) => new Promise((resolve) => {
  execFile(path.join(ROOT, 'tools', 'zel-req.js'), args, { encoding: 'buffer', maxBuffer: 64 << 20 }, (err, stdout, stderr) =>
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

describe('failure explanations', () => {
  const o = { url: '/zel/SRC:APP9', socket: '/run/q' };
  // As relay() rejects: the daemon's verdict under its own code, with replyCode.
  const reply = (code) => replyStatusError(-code, 'SRC:APP9');

  it('every reply code the daemon can fail a relay with is explained in the request\'s terms', () => {
    const rows = [ // [reply code, what the explanation must say]
      [2, /could not reach appliance "APP9", or lost the connection/],
      [3, /could not read the request: an empty serial in the chain, or a damaged/],
      [4, /names a serial twice/],
      [5, /the target serial "APP9" is not in its route table/],
      [6, /appliance "APP9" did not accept the connection or did not answer within the daemon's time-out/],
      [7, /more serials than the daemon's hop limit/],
      [8, /appliance "APP9" closed the connection without answering/],
      [9, /at its limit \(too many requests at once, or a request larger than it takes\); try again/],
      [15, /not one well-formed HTTP\/1\.1 request/],
      [255, /does not take this kind of request/],
      [12, /APPLIANCE_REP_INVALID_JSON \(12\), which is no answer to a request/],
      [77, /reply code 77 \(77\), which is no answer to a request/],
    ];
    for (const [code, want] of rows) {
      const text = describeFailure(reply(code), o);
      assert.match(text, want, `code ${code}`);
      assert.ok(text.startsWith('the query daemon on /run/q answered '), text);
    }
    // Every failure code of the table has a row above.
    const failures = Object.keys(REPLY_CODE_NAMES).map(Number).filter((c) => c >= 2 && (c <= 9 || c >= 15));
    assert.deepEqual(failures.filter((c) => !rows.some(([r]) => r === c)), []);
  });

  it('every error code relay() rejects with gets its own explanation', () => {
    const rows = [ // [code, message, what the explanation must add]
      [CODES.NO_DAEMON, 'x', /^no query daemon is listening on \/run\/q \(start one/],
      [CODES.TIMEOUT, 'no reply datagram for 12000 ms', /: the daemon or the appliance "APP9" did not answer in time/],
      [CODES.BAD_REPLY, 'the response was cut', /: the reply from appliance "APP9" or the daemon was malformed or cut short/],
      [CODES.SEND, 'the request could not be sent', /: the daemon on \/run\/q did not take the request/],
      [CODES.SOCKET, 'socket failed', /: no local socket could be opened/],
      ['ZEL_ERR_UNTRUSTED_SOCKET', 'the socket is not trusted', /belongs to a user this client does not trust[\s\S]*ZEL_QUERY_UID/],
      [CODES.ABORT, 'The relay was aborted', /^the relay was cancelled$/],
    ];
    for (const [code, message, want] of rows) {
      assert.match(describeFailure(Object.assign(new Error(message), { code }), o), want, code);
    }
    // The codes left out always come with a reply code, explained above.
    const verdicts = [CODES.REPLY, CODES.UNKNOWN_SERIAL, CODES.BAD_CHAIN, CODES.DAEMON_BUSY];
    assert.deepEqual(Object.values(CODES).filter((c) => !verdicts.includes(c) && !rows.some(([r]) => r === c)), []);
  });
});

describe('progress', () => {
  it('formats bytes, share of the whole, rate and elapsed time', () => {
    const MiB = 1 << 20;
    const rows = [ // [bytes, total, elapsed ms, line]
      [3 * MiB, 16 * MiB, 1500, '3.0 MiB of 16.0 MiB (18 %), 2.0 MiB/s, 1.5 s'],
      [1536, 0, 2000, '1.5 KiB, 768 B/s, 2.0 s'],
      [6 * 1024 * MiB, 0, 4000, '6.0 GiB, 1.5 GiB/s, 4.0 s'],
      [0, 100, 0, '0 B of 100 B (0 %), 0 B/s, 0.0 s'],
    ];
    for (const [bytes, total, elapsedMs, line] of rows) assert.equal(formatProgress({ bytes, total, elapsedMs }), line);
  });

  it('starts only for a large or slow body, redraws in place, ends with a line break', () => {
    let t = 0;
    const run = (steps) => {
      const out = [];
      const p = createProgress({ write: (s) => out.push(s) }, { total: 0, now: () => t });
      for (const [dt, n] of steps) {
        t += dt;
        p.add(n);
      }
      p.end();
      return out;
    };
    assert.deepEqual(run([[100, 1000], [100, 500 * 1024]]), [], 'small and quick: nothing');
    const big = run([[10, 600 * 1024], [10, 600 * 1024], [10, 600 * 1024], [300, 10]]);
    assert.ok(big.length >= 3 && big.slice(0, -1).every((l) => l.startsWith('\r\x1b[Kzel-req: ')), big.join('|'));
    assert.equal(big[big.length - 1], '\n');
    const slow = run([[600, 10], [600, 10]]);
    assert.match(slow.join(''), /zel-req: 20 B, \d+ B\/s, 1\.\d s/);
  });
});

describe('progress and explanations against a daemon', () => {
  let dir, sock, daemon, silent;
  const BODY = 3 << 20;
  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-cli-progress-'));
    sock = path.join(dir, 'q');
    const replay = path.join(dir, 'big.http');
    fs.writeFileSync(replay, Buffer.concat([Buffer.from(`HTTP/1.1 200 OK\r\nContent-Length: ${BODY}\r\n\r\n`),
      Buffer.alloc(BODY, 0x62)]));
    // An appliance that takes the request and never answers.
    silent = http.createServer(() => {});
    await new Promise((r) => silent.listen(0, '127.0.0.1', r));
    daemon = await startQueryd(['--socket', sock, '--route', `MUTE=127.0.0.1:${silent.address().port}`,
      '--target-timeout', '1']);
  });
  after(async () => {
    await daemon?.stop();
    silent?.closeAllConnections();
    silent?.close();
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  it('a silent appliance: status 1 and the daemon\'s time-out explained', async () => {
    const r = await zelReq(['--socket', sock, 'GET', '/zel/SRC:MUTE', '/a']);
    assert.equal(r.code, 1);
    assert.match(r.err, /QUERY_FAIL_DOWNNRV_ERR \(6\): appliance "MUTE" did not accept the connection or did not answer/);
  });

  it('progress on a terminal when the body goes elsewhere; none when piped or with --quiet', async () => {
    const replayDaemon = await startQueryd(['--socket', path.join(dir, 'r'), '--replay', path.join(dir, 'big.http')]);
    try {
      const args = ['--raw', '--socket', path.join(dir, 'r'), 'GET', '/zel/SRC:ANY', '/big'];
      const piped = await zelReq(args);
      assert.deepEqual([piped.code, piped.stdout.length, piped.err], [0, BODY, '']);
      // script(1) gives the client a terminal for standard error; the body
      // goes to a file.
      const underTerminal = (extra) => new Promise((resolve) => {
        const cmd = [process.execPath, path.join(ROOT, 'tools', 'zel-req.js'), ...extra, ...args]
          .map((a) => `'${a}'`).join(' ') + ` > '${path.join(dir, 'out')}'`;
        execFile('script', ['-q', '-e', '-c', cmd, '/dev/null'], { encoding: 'utf8' }, (err, stdout) =>
          resolve({ code: err ? err.code : 0, screen: stdout }));
      });
      const shown = await underTerminal([]);
      assert.equal(shown.code, 0, shown.screen);
      assert.equal(fs.statSync(path.join(dir, 'out')).size, BODY);
      assert.match(shown.screen, /zel-req: 3\.0 MiB of 3\.0 MiB \(100 %\), [\d.]+ \S+\/s, \d+\.\d s\r?\n/);
      const quiet = await underTerminal(['--quiet']);
      assert.deepEqual([quiet.code, quiet.screen], [0, '']);
    } finally {
      await replayDaemon.stop();
    }
  });
});
