'use strict';
// The module's two environment switches: ZEL_QUIET silences its standard
// output, ZEL_QUERY_SOCKET moves its query socket.  Both are read once per
// process, so each case runs the relay in a child process of its own; the
// appliance lives on this thread while the child blocks in node_zel_req.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { execFile } = require('child_process');
const http = require('http');

const { socketPath } = require('./support/private_socket');
const { startQueryd } = require('../../tools/demo/queryd');
const { modulePath } = require('./lib/paths');
const { expectedRequest } = require('./support/relay');

const MiB = 1024 * 1024;
const CHAIN = 'SRC1:APP1';
const BODY = 'q'.repeat(4 * MiB);

// Runs one POST relay of `body` to `target` in a child with `env` added; the
// child reports its result on stderr, so its stdout is the module's alone.
const relayInChild = (env, body = BODY, target = '/api/echo') => new Promise((resolve) => {
  const script = `
    const m = require(${JSON.stringify(modulePath)});
    let size = 0;
    const ret = m.node_zel_req('POST', '/zel/${CHAIN}/x', ${JSON.stringify(target)}, 'gzip', 'alice', 'full-access', '1',
      require('fs').readFileSync(0, 'utf8'), (p) => { size += p.response_size; }, () => {});
    process.stderr.write(JSON.stringify({ ret, size }));`;
  const child = execFile(process.execPath, ['-e', script], { env: { ...process.env, ...env }, maxBuffer: 64 * MiB },
    (err, stdout, stderr) => {
      let result = null;
      try {
        result = JSON.parse(stderr);
      } catch {
        // left null: the child failed; `stderr` says why
      }
      resolve({ stdout, stderr, result });
    });
  child.stdin.end(body);
});

// The transport's trace: one line per datagram sent, the data bytes sent so
// far and those still to send; header and path count before the data.
function traceLines(pathLen, len) {
  const lines = [];
  const head = 28 + pathLen;
  let base = -head;
  let sent = Math.min(head + len, 3584);
  while (base < len) {
    base += sent;
    lines.push(`base:${base} to_send:${len - base}\n`);
    sent = Math.min(len - base, 3584);
  }
  return lines.join('');
}

describe('ZEL_QUIET', () => {
  let server, daemon, received;
  before(async () => {
    server = http.createServer((req, res) => {
      let n = 0;
      req.on('data', (d) => { n += d.length; }).on('end', () => {
        received.push(n);
        res.writeHead(200, { 'Content-Type': 'text/plain', 'Content-Length': 2 }).end('ok');
      });
    });
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    daemon = await startQueryd(['--quiet', '--max-request', String(8 * MiB),
      '--route', `APP1=127.0.0.1:${server.address().port}`]);
  });
  after(async () => {
    await daemon?.stop();
    server?.close();
  });

  it('with ZEL_QUIET=1 a relay of a 4 MiB body writes nothing to standard output', async () => {
    received = [];
    const r = await relayInChild({ ZEL_QUIET: '1' });
    assert.deepEqual(r.result, { ret: 0, size: 2 }, r.stderr);
    assert.deepEqual(received, [BODY.length]);
    assert.equal(r.stdout.length, 0);
  });

  it('without it the request text and one trace line per datagram are written, as always', async () => {
    for (const env of [{}, { ZEL_QUIET: '0' }, { ZEL_QUIET: '' }]) {
      received = [];
      const r = await relayInChild(env);
      assert.deepEqual(r.result, { ret: 0, size: 2 }, r.stderr);
      assert.deepEqual(received, [BODY.length]);
      const request = expectedRequest({ method: 'POST', target: '/api/echo', acceptEncoding: 'gzip', sn: 'APP1',
        src: 'SRC1', adminName: 'alice', adminProf: 'full-access', isSuper: '1', body: BODY });
      const expected = 'Sent request:\n' + request.toString() + traceLines(CHAIN.length + 1, request.length);
      // Compared by length and ends first: a 4 MiB mismatch would print a 4 MiB message.
      assert.equal(r.stdout.length, expected.length, JSON.stringify(env));
      assert.ok(r.stdout === expected, `stdout differs from the request text and trace (${JSON.stringify(env)})`);
    }
  });

  it('a request head too long to send is reported, and ZEL_QUIET=1 silences that too', async () => {
    const target = `/api/${'a'.repeat(8200)}`;
    for (const [env, stdout] of [
      [{ ZEL_QUIET: '1' }, ''],
      [{}, 'Request header does not fit in 8189 bytes; nothing sent.\n'],
    ]) {
      received = [];
      const r = await relayInChild(env, 'small', target);
      assert.deepEqual(r.result, { ret: -1, size: 0 }, r.stderr);
      assert.deepEqual(received, [], 'nothing reached the appliance');
      assert.equal(r.stdout, stdout, JSON.stringify(env));
    }
  });
});

describe('ZEL_QUERY_SOCKET', () => {
  it('a path too long for a socket address fails the send and says so', async () => {
    const r = await relayInChild({ ZEL_QUERY_SOCKET: `/tmp/${'x'.repeat(120)}` }, 'small');
    assert.deepEqual(r.result, { ret: -1, size: 0 }, r.stderr);
    // The request text ends with its body, not a newline, so the line follows it directly.
    assert.ok(r.stdout.endsWith(`__nstd_query_req_send Error: query socket path is too long (/tmp/${'x'.repeat(120)})\n`), r.stdout);
  });

  it('the daemon binds the path from the environment when no --socket is given', async () => {
    const d = await startQueryd(['--quiet'], { timeoutMs: 10000 });
    try {
      assert.ok(d.lines().includes(`zel-queryd: listening on ${socketPath}`), d.lines().join('\n'));
    } finally {
      await d.stop();
    }
  });
});
