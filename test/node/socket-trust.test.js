'use strict';
// A local user who binds a socket where the daemon's should be receives
// nothing and answers nothing: node_zel_req returns -1 and relay() rejects
// with ZEL_ERR_UNTRUSTED_SOCKET, unless ZEL_QUERY_UID names that user.
//
// The squatter is the reference daemon run as uid 65534, answering every
// request with a forged response.  The module reads ZEL_QUERY_SOCKET and
// ZEL_QUERY_UID once per process, so every call runs in a child process.
const { describe, it, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync, execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

require('./support/private_socket');
const { root, modulePath, queryd } = require('./lib/paths');

const OTHER = 65534;
const FORGED = 'HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nforged';
const otherName = (() => {
  try {
    return execFileSync('id', ['-nu', String(OTHER)], { encoding: 'utf8' }).trim();
  } catch {
    return '';
  }
})();

// Calls node_zel_req, then relay(), in a child with `env`; returns what
// each gave.
function callsAsChild(env) {
  const script = `
    const mod = require(${JSON.stringify(modulePath)});
    const { relay } = require(${JSON.stringify(root)});
    const parts = [];
    let status = null;
    const ret = mod.node_zel_req('GET', '/zel/S1:S2/x', '/x', '', 'alice', 'full', '1', '',
      (p) => parts.push(Buffer.from(p.response.subarray(0, p.response_size))), (s) => { status = s; });
    relay({ serials: 'S1:S2', path: '/x', admin: { name: 'alice', profile: 'full', superAdmin: true }, timeout: 5000 })
      .then(async (r) => {
        const body = [];
        for await (const c of r.body) body.push(c);
        return { statusCode: r.statusCode, body: Buffer.concat(body).toString() };
      }, (e) => ({ code: e.code, message: e.message }))
      .then((relayed) => console.log(JSON.stringify({ ret, status, body: Buffer.concat(parts).toString(), relayed })));`;
  const r = spawnSync(process.execPath, ['-e', script], {
    encoding: 'utf8', timeout: 60000, env: { ...process.env, ZEL_QUIET: '1', ...env },
  });
  assert.equal(r.status, 0, r.stderr);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

describe('a socket another local user put in the daemon\'s place', () => {
  let base, dir, sock, squatter;
  const lines = [];
  const exchanges = () => lines.filter((l) => !l.startsWith('zel-queryd:'));

  before(async () => {
    if (process.getuid() !== 0) return;
    base = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-squat-'));
    fs.chmodSync(base, 0o755);
    const replay = path.join(base, 'forged.http');
    fs.writeFileSync(replay, FORGED, { mode: 0o644 });
    dir = path.join(base, 'nst');
    fs.mkdirSync(dir, { mode: 0o755 });
    fs.chownSync(dir, OTHER, OTHER);
    sock = path.join(dir, '.nst.query');
    squatter = spawn(queryd, ['--socket', sock, '--replay', replay], {
      uid: OTHER, gid: OTHER, stdio: ['ignore', 'ignore', 'pipe'],
    });
    squatter.stderr.setEncoding('utf8');
    let pending = '';
    await new Promise((resolve, reject) => {
      squatter.stderr.on('data', (text) => {
        const parts = (pending + text).split('\n');
        pending = parts.pop();
        lines.push(...parts);
        if (parts.some((l) => l.startsWith('zel-queryd: listening on '))) resolve();
      });
      squatter.once('exit', (code) => reject(new Error(`the squatter exited (${code}): ${lines.join('\n')}`)));
    });
  });
  after(() => {
    squatter?.kill('SIGKILL');
    if (base) fs.rmSync(base, { recursive: true, force: true });
  });

  // [name, directory owner, directory mode, ZEL_QUERY_UID, what the message says]
  const REFUSED = [
    ['its directory is another user\'s', OTHER, 0o755, undefined,
      () => `its directory ${dir} is owned by uid ${OTHER}${otherName ? ` (${otherName})` : ''}, mode 0755, not by a trusted user`],
    ['its directory is root\'s, but writable by others', 0, 0o777, undefined,
      () => `its directory ${dir} (owned by uid 0 (root), mode 0777) is writable by group or others`],
    ['ZEL_QUERY_UID trusts the user, not a directory others may write', OTHER, 0o777, String(OTHER),
      () => `its directory ${dir} (owned by uid ${OTHER}`],
  ];
  for (const [name, owner, mode, queryUid, says] of REFUSED) {
    it(`${name}: nothing is sent, node_zel_req gives -1, relay() ZEL_ERR_UNTRUSTED_SOCKET`, (t) => {
      if (process.getuid() !== 0) return t.skip('a socket of another user needs root');
      fs.chownSync(dir, owner, owner);
      fs.chmodSync(dir, mode);
      const got = callsAsChild({ ZEL_QUERY_SOCKET: sock, ZEL_QUERY_UID: queryUid ?? '' });
      assert.deepEqual([got.ret, got.status, got.body], [-1, null, '']);
      assert.equal(got.relayed.code, 'ZEL_ERR_UNTRUSTED_SOCKET', got.relayed.message);
      assert.ok(got.relayed.message.startsWith(`the query socket ${sock} is not trusted: ${says()}`), got.relayed.message);
      assert.ok(got.relayed.message.includes('; trusted are root, this process\'s user (uid 0 (root))'), got.relayed.message);
    });
  }

  it('ZEL_QUERY_UID, as a uid or a name, makes that user\'s socket the daemon', (t) => {
    if (process.getuid() !== 0) return t.skip('a socket of another user needs root');
    // Nothing of the refused calls reached the squatter.
    assert.deepEqual(exchanges(), []);
    fs.chownSync(dir, OTHER, OTHER);
    fs.chmodSync(dir, 0o755);
    const ids = otherName ? [String(OTHER), otherName] : [String(OTHER)];
    for (const id of ids) {
      const got = callsAsChild({ ZEL_QUERY_SOCKET: sock, ZEL_QUERY_UID: id });
      assert.deepEqual(got, { ret: 0, status: 200, body: 'forged', relayed: { statusCode: 200, body: 'forged' } }, id);
    }
  });
});
