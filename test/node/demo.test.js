'use strict';
// The demo: `npm start`'s whole process, with its appliances, from start to
// Ctrl-C.  The relay handler it serves has its own tests (relay-handler).
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const zlib = require('zlib');

require('./support/private_socket');
const { QUERY_SOCKET, ROOT, socketInUse } = require('../../tools/demo/queryd');
const { processStart } = require('../../tools/demo/leftovers');

const { request } = require('./support/client');

// Starts the demo on a free port; resolves with { demo, lines, stderr(),
// exited() } once it printed its Ctrl-C hint (the last line, once all is up).
async function startDemo() {
  const demo = spawn(process.execPath, [path.join(ROOT, 'tools/demo/demo.js'), '--port', '0']);
  const lines = [];
  let stderr = '';
  demo.stderr.on('data', (d) => { stderr += d; });
  await new Promise((resolve, reject) => {
    readline.createInterface({ input: demo.stdout }).on('line', (line) => {
      lines.push(line);
      if (line.startsWith('demo: Ctrl-C stops everything')) resolve();
    });
    demo.on('exit', (code) => reject(new Error(`demo exited (${code}) before it was ready:\n${lines.join('\n')}\n${stderr}`)));
  });
  const exited = () => (demo.exitCode !== null || demo.signalCode !== null
    ? Promise.resolve(demo.exitCode) : new Promise((r) => demo.once('exit', r)));
  return { demo, lines, stderr: () => stderr, exited };
}

// The ids of the processes whose parent is `pid`.
function childrenOf(pid) {
  const kids = [];
  for (const d of fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n))) {
    try {
      const stat = fs.readFileSync(`/proc/${d}/stat`, 'utf8');
      if (Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]) === pid) kids.push(Number(d));
    } catch {
      // gone meanwhile
    }
  }
  return kids;
}

describe('npm start', () => {
  let demo, base, exited;
  let lines = [];
  const apps = {}; // framing -> { serial, base }
  before(async () => {
    assert.equal(socketInUse(QUERY_SOCKET), false, `${QUERY_SOCKET} is served by a daemon this test did not start`);
    ({ demo, lines, exited } = await startDemo());
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
    const refusals = [ // [URL, status, error]: the appliance's own, then the relay's
      [relayUrl('plain', '/api/logs?lines=x'), 400, /lines/],
      [relayUrl('plain', '/api/nope'), 404, /no such endpoint/],
      [`${base}/zel/ZL1000:NOSUCH/api/status`, 404, /QUERY_FAIL_ROUTE_ERR \(5\): the target serial "NOSUCH" is not in its route table/],
      [`${base}/zel/ZL1001/api/status`, 400, /SRC:\.\.\.:DST/],
      [`${base}/other/ZL1000:ZL1001/api/status`, 404, /not a relay URL/],
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

describe('the demo killed with SIGKILL', () => {
  it('its daemon and appliances stop by themselves; the next start removes what was left and works', async () => {
    assert.equal(socketInUse(QUERY_SOCKET), false, `${QUERY_SOCKET} is served by a daemon this test did not start`);
    const first = await startDemo();
    let kids, owned;
    try {
      kids = childrenOf(first.demo.pid).map((pid) => ({ pid, start: processStart(pid) }));
      assert.equal(kids.length, 2, 'the daemon and the appliances');
      const ownerOf = (n) => {
        try {
          return fs.readFileSync(path.join(os.tmpdir(), n, 'owner'), 'utf8').split(' ')[0];
        } catch {
          return null;
        }
      };
      owned = fs.readdirSync(os.tmpdir()).filter((n) => /^zel-(demo|queryd)-/.test(n) && ownerOf(n) === String(first.demo.pid));
      assert.equal(owned.length, 2, 'the demo\'s folder and its daemon\'s log folder');
    } finally {
      first.demo.kill('SIGKILL');
      await first.exited();
    }
    // Poll with a hang guard, not a time limit: children that stay are a
    // failure.  One that has exited but waits to be reaped counts as gone.
    const state = (pid) => {
      try {
        const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
        return stat.slice(stat.lastIndexOf(')') + 2).split(' ')[0];
      } catch {
        return null;
      }
    };
    const running = () => kids.filter((k) => processStart(k.pid) === k.start && state(k.pid) !== 'Z');
    for (let i = 0; i < 300 && running().length; i++) await new Promise((r) => setTimeout(r, 50));
    assert.deepEqual(running(), []);
    assert.equal(fs.existsSync(QUERY_SOCKET), false, 'the daemon stopped cleanly and removed its socket');

    const second = await startDemo();
    try {
      for (const n of owned) {
        assert.equal(fs.existsSync(path.join(os.tmpdir(), n)), false, n);
        assert.match(second.stderr(), new RegExp(`demo: removed \\S*${n}, left by an earlier run that was killed`));
      }
      const base = second.lines.map((l) => /^demo: admin server listening on (\S+)$/.exec(l)).find(Boolean)[1];
      const serial = second.lines.map((l) => /^ {2}(\S+) +plain /.exec(l)).find(Boolean)[1];
      const r = await request(`${base}/zel/ZL1000:${serial}/api/status`);
      assert.equal(JSON.parse(r.body).serial, serial);
    } finally {
      second.demo.kill('SIGINT');
      assert.equal(await second.exited(), 0);
    }
  });
});
