#!/usr/bin/env node
'use strict';
// The demo behind `npm start`: a query daemon with a built-in route table,
// three demo appliances and an admin web server that relays
//   /<prefix>/<SRC>:<DST>/<path>
// to the appliance DST through relay() (createRelayHandler).  Ctrl-C stops
// everything it started and removes its temporary files.
//
// The daemon and the appliances watch this process through a pipe on their
// standard input: if it is killed outright (SIGKILL), the pipes close and
// they stop by themselves, the daemon removing its socket file.  What such a
// run leaves behind (its temporary folders) the next start removes.
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');

const { startQueryd } = require('./queryd');
const { makeOwnedTempDir, sweepLeftovers } = require('./leftovers');
const { DEFAULT_SOCKET_PATH } = require('../../lib/defaults');

const USAGE = `usage: npm start [-- --port N]
       node tools/demo/demo.js [--port N] [--help]

Starts the query daemon (${DEFAULT_SOCKET_PATH}), three demo appliances and an
admin web server on 127.0.0.1 that relays /zel/<SRC>:<DST>/<path> to
appliance DST through relay().

  --port N   admin server port (default 8080; 0 picks a free port)
  --help     show this text

Environment: ZEL_MODULE_PATH (module file), ZEL_QUERYD_PATH (daemon binary),
ZEL_QUERY_SOCKET (query socket path, default /tmp/nst/.nst.query).
Ctrl-C stops the daemon and the appliances and removes the temporary files;
if the demo is killed outright they stop by themselves, and the next start
removes the temporary files it left.`;

const SOURCE_SERIAL = 'ZL1000';
const PREFIX = 'zel';
const IDENTITY = { name: 'demo', profile: 'read-write', superAdmin: true };

function parseArgs(argv) {
  const opts = { port: 8080 };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--help' || a === '-h') opts.help = true;
    else if (a === '--port' || a.startsWith('--port=')) {
      const v = a.includes('=') ? a.slice(7) : argv[++i];
      if (!/^\d+$/.test(v ?? '') || Number(v) > 65535) throw new Error(`--port needs a number from 0 to 65535, not ${v}`);
      opts.port = Number(v);
    } else {
      throw new Error(`unknown argument: ${a}`);
    }
  }
  return opts;
}

// Starts appliances.js and resolves with the appliances it reports.
function startAppliances() {
  const child = spawn(process.execPath, [path.join(__dirname, 'appliances.js')],
    { stdio: ['pipe', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    const found = [];
    const rl = readline.createInterface({ input: child.stdout });
    rl.on('line', (line) => {
      const m = /^appliance (\S+) (\S+) (\S+)$/.exec(line);
      if (m) found.push({ serial: m[1], framing: m[2], endpoint: m[3] });
      else if (line === 'appliances ready') resolve({ child, list: found });
    });
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`demo appliances exited (code ${code})`)));
  });
}

function examples(base, list) {
  const bySerial = Object.fromEntries(list.map((a) => [a.framing, a.serial]));
  const u = (serial, p) => `${base}/${PREFIX}/${SOURCE_SERIAL}:${serial}${p}`;
  return [
    `curl -s ${u(bySerial.plain, '/api/status')}`,
    // Only an Accept-Encoding that ends in "gzip" keeps the body compressed.
    `curl -s -H 'Accept-Encoding: gzip' '${u(bySerial.gzip, '/api/logs?lines=5')}' | gunzip`,
    `curl -s ${u(bySerial.chunked, '/api/interfaces')}`,
    `curl -s -X POST -d '{"hostname":"gw-7"}' ${u(bySerial.plain, '/api/echo')}`,
    `npx zel-req GET /${PREFIX}/${SOURCE_SERIAL}:${bySerial.gzip} /api/status`,
  ];
}

async function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (err) {
    console.error(`demo: ${err.message}\n\n${USAGE}`);
    process.exit(2);
  }
  if (opts.help) {
    console.log(USAGE);
    return;
  }

  let createAdminServer;
  try {
    ({ createAdminServer } = require('./admin_server'));
  } catch (err) {
    console.error(err.message);
    process.exit(1);
  }

  for (const dir of sweepLeftovers()) console.error(`demo: removed ${dir}, left by an earlier run that was killed`);

  const started = { tmpDir: null, appliances: null, daemon: null, server: null };
  let stopping = false;
  const stop = async (code) => {
    if (stopping) return;
    stopping = true;
    if (started.server) {
      started.server.close();
      started.server.closeAllConnections();
    }
    if (started.daemon) await started.daemon.stop();
    const a = started.appliances;
    if (a && a.exitCode === null && a.signalCode === null) {
      const gone = new Promise((r) => a.once('exit', r));
      a.kill('SIGTERM');
      await gone;
    }
    if (started.tmpDir) fs.rmSync(started.tmpDir, { recursive: true, force: true });
    console.log('demo: stopped');
    process.exit(code);
  };
  // Ctrl-C in a terminal reaches the children too; one of them stopping
  // cleanly on it is part of the same shutdown, anything else is a fault.
  const onChildExit = (what) => (code, sig) => {
    if (stopping) return;
    if (code === 0 || sig === 'SIGINT' || sig === 'SIGTERM') return stop(0);
    console.error(`demo: ${what} exited unexpectedly (code ${code}, signal ${sig})`);
    stop(1);
  };
  process.on('SIGINT', () => stop(0));
  process.on('SIGTERM', () => stop(0));

  try {
    const apps = await startAppliances();
    started.appliances = apps.child;
    apps.child.on('exit', onChildExit('the appliances'));

    started.tmpDir = makeOwnedTempDir('zel-demo-');
    const routes = path.join(started.tmpDir, 'routes');
    fs.writeFileSync(routes, apps.list.map((a) => `${a.serial} ${a.endpoint}\n`).join(''));

    started.daemon = await startQueryd(['--socket', DEFAULT_SOCKET_PATH, '--routes', routes], {
      watchParent: true,
      onLine: (line) => console.error(line.startsWith('zel-queryd: ') ? line : `zel-queryd: ${line}`),
    });
    started.daemon.child.on('exit', onChildExit('the query daemon'));

    const index = {
      relay: `/${PREFIX}/<SRC>:<DST>/<path>`,
      source_serial: SOURCE_SERIAL,
      appliances: apps.list.map((a) => ({ serial: a.serial, framing: a.framing })),
      endpoints: ['/api/status', '/api/interfaces', '/api/logs?lines=N', '/api/echo'],
    };
    const server = createAdminServer({ identity: IDENTITY, index, prefix: `/${PREFIX}`, socketPath: DEFAULT_SOCKET_PATH,
      log: (msg) => console.error(`admin: ${msg}`) });
    started.server = server;
    await new Promise((resolve, reject) => {
      server.once('error', reject);
      server.listen(opts.port, '127.0.0.1', resolve);
    });
    const base = `http://127.0.0.1:${server.address().port}`;

    console.log(`demo: admin server listening on ${base}`);
    console.log(`demo: query daemon on ${DEFAULT_SOCKET_PATH}, appliances:`);
    for (const a of apps.list) console.log(`  ${a.serial}  ${a.framing.padEnd(8)} ${a.endpoint}`);
    console.log('demo: try');
    for (const e of examples(base, apps.list)) console.log(`  ${e}`);
    console.log('demo: Ctrl-C stops everything');
  } catch (err) {
    const msg = err.code === 'EADDRINUSE'
      ? `port ${opts.port} is in use; choose another with --port N (0 picks a free one)`
      : err.message;
    console.error(`demo: ${msg}`);
    await stop(1);
  }
}

main();
