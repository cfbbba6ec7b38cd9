'use strict';
// The daemon's life as a child process: stopped by the end of its standard
// input, and a second daemon refused on a live socket with the first one's
// process id.
const { it } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const { once } = require('events');
const fs = require('fs');

const { socketPath } = require('./support/private_socket');
const { startQueryd } = require('../../tools/demo/queryd');
const { queryd } = require('./lib/paths');

// Runs the daemon with `args` and `stdin`; resolves with its exit code and
// its standard error once it exits.
async function runToExit(args, stdin = 'ignore') {
  const child = spawn(queryd, ['--socket', socketPath, ...args], { stdio: [stdin, 'ignore', 'pipe'] });
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  // 'close', not 'exit': by then every line the daemon wrote has been read.
  const [code] = await once(child, 'close');
  return { code, err };
}

it('--watch-stdin: the end of standard input stops the daemon as SIGTERM does; it needs a pipe', async () => {
  const child = spawn(queryd, ['--socket', socketPath, '--watch-stdin', '--fail', '2'], { stdio: ['pipe', 'ignore', 'pipe'] });
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  for (let i = 0; i < 500 && !err.includes('listening on'); i++) await new Promise((r) => setTimeout(r, 20));
  assert.ok(fs.existsSync(socketPath), err);
  child.stdin.write('anything the parent writes is read and dropped\n');
  child.stdin.end();
  const [code] = await once(child, 'close');
  assert.equal(code, 0);
  assert.match(err, /standard input ended \(the parent is gone\): stopping\nzel-queryd: stopped\n$/);
  assert.equal(fs.existsSync(socketPath), false);

  const refused = await runToExit(['--watch-stdin', '--fail', '2']);
  assert.equal(refused.code, 1);
  assert.match(refused.err, /--watch-stdin needs standard input to be a pipe or a socket/);
  assert.equal(fs.existsSync(socketPath), false);
});

it('a second daemon on a live socket is refused, and the refusal names the first one\'s process', async () => {
  const first = await startQueryd(['--socket', socketPath, '--fail', '2']);
  try {
    const second = await runToExit(['--fail', '3']);
    assert.equal(second.code, 1);
    assert.ok(second.err.includes(`another daemon (pid ${first.child.pid}) is listening on ${socketPath}`), second.err);
    await assert.rejects(startQueryd(['--socket', socketPath]),
      new RegExp(`already served by process ${first.child.pid} \\(\\S*zel-queryd --socket `));
  } finally {
    await first.stop();
  }
});

it('the zel-queryd launcher runs the daemon and passes SIGHUP and SIGTERM on', async () => {
  const routes = `${socketPath}.routes`;
  fs.writeFileSync(routes, 'S2 127.0.0.1:9\n');
  const child = spawn(process.execPath, [require.resolve('../../tools/zel-queryd.js'), '--socket', socketPath,
    '--routes', routes], { stdio: ['ignore', 'ignore', 'pipe'] });
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  const exited = once(child, 'close');
  // A hang guard only: the lines come as soon as the daemon gets to them.
  const waitFor = async (text) => {
    for (let i = 0; i < 3000 && !err.includes(text); i++) await new Promise((r) => setTimeout(r, 20));
    assert.ok(err.includes(text), err);
  };
  try {
    await waitFor(`listening on ${socketPath}`);
    fs.writeFileSync(routes, 'S2 127.0.0.1:9\nS3 127.0.0.1:9\n');
    child.kill('SIGHUP');
    await waitFor(`routes reloaded from ${routes}: 2 routes`);
    child.kill('SIGTERM');
    const [code] = await exited;
    assert.equal(code, 0, err);
    assert.match(err, /zel-queryd: stopped\n$/);
    assert.equal(fs.existsSync(socketPath), false);
  } finally {
    // A failed step must not leave the launcher and its daemon behind.
    if (child.exitCode === null && child.signalCode === null) {
      child.kill('SIGKILL');
      child.stderr.destroy();
    }
    fs.rmSync(routes, { force: true });
  }
});
