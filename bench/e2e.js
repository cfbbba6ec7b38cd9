#!/usr/bin/env node
'use strict';
// End-to-end benchmark suite: how long one relayed request takes and how many
// MB/s a body reaches, against plain HTTP clients and against what the
// datagram transport itself allows, all measured in one run.
//
// Pieces: this runner (options, helper processes, progress, table), the
// appliance stand-in it hosts (bench/e2e/workloads.js), the measuring process
// that loads the module and alternates contenders (bench/e2e/measure.js,
// bench/e2e/contenders.js), the row plan (bench/e2e/rows.js) and the table
// (bench/e2e/report.js).  The datagram stand-in and the transport-limit
// client are C programs built into build/bench/.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { Bodies, startAppliance, recordResponse } = require('./e2e/workloads');
const { planRows } = require('./e2e/rows');
const report = require('./e2e/report');

const ROOT = path.resolve(__dirname, '..');
const DEFAULT_SOCKET = '/tmp/nst/.nst.query';
const ROW_TIMEOUT_MS = 300000;
const START_TIMEOUT_MS = 15000;

const USAGE = `usage: node bench/e2e.js [options]     (or: npm run bench -- [options])

Runs the end-to-end suite: node_zel_req (and relay(), when the module has it)
through the reference query daemon against Node http and undici fetching the
same bodies from the same appliance stand-in, and node_zel_req against the
transport limit (a C client) through a datagram stand-in.  Prints one table
and writes it as Markdown and JSON.

  --quick          fewer rows and pairs (under a minute)
  --only PATTERN   run only the rows whose id contains PATTERN (a regular
                   expression), e.g. --only 200B or --only '^limit/'
  --pairs N        measure N pairs in every row (warm-up stays)
  --json PATH      JSON output (default build/bench/e2e.json)
  --md PATH        Markdown output (default build/bench/e2e.md)
  --socket PATH    query socket for the daemon and the stand-in (default
                   $ZEL_QUERY_SOCKET, else ${DEFAULT_SOCKET})
  --build DIR      build folder with the module and tools (default build/)
  --help           this text

Binds the query socket: on a shared machine run it in a private mount
namespace, e.g.
  unshare -m --propagation private bash -c \\
    'mkdir -p /tmp/nst && mount -t tmpfs -o mode=0755 tmpfs /tmp/nst && npm run bench -- --quick'`;

function parseArgs(argv) {
  const o = { quick: false, only: null, pairs: 0, json: null, md: null, socket: null, build: null };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const eq = a.indexOf('=');
    const key = eq > 0 ? a.slice(0, eq) : a;
    const value = () => {
      if (eq > 0) return a.slice(eq + 1);
      if (i + 1 >= argv.length) throw new Error(`${key} needs a value`);
      return argv[++i];
    };
    switch (key) {
      case '--help': case '-h': o.help = true; break;
      case '--quick': o.quick = true; break;
      case '--only': o.only = new RegExp(value()); break;
      case '--pairs': {
        o.pairs = Number(value());
        if (!Number.isInteger(o.pairs) || o.pairs < 1 || o.pairs > 100000) throw new Error('--pairs takes a number from 1 to 100000');
        break;
      }
      case '--json': o.json = path.resolve(value()); break;
      case '--md': o.md = path.resolve(value()); break;
      case '--socket': o.socket = path.resolve(value()); break;
      case '--build': o.build = path.resolve(value()); break;
      default: throw new Error(`unknown option ${a}`);
    }
  }
  return o;
}

// Starts a helper program and resolves once a line of its standard error
// matches `ready`; rejects with what it printed if it exits or takes too long.
function startHelper(name, file, args) {
  return new Promise((resolve, reject) => {
    const child = spawn(file, args, { stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    let up = false;
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${name} did not start in ${START_TIMEOUT_MS / 1000} s:\n${err}`));
    }, START_TIMEOUT_MS);
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (d) => {
      if (up) {
        // Past start-up only what goes wrong is worth showing.
        if (!/: stopped\s*$/.test(d)) process.stderr.write(d);
        return;
      }
      err += d;
      if (/listening on/.test(err)) {
        up = true;
        clearTimeout(timer);
        resolve(child);
      }
    });
    child.on('error', (e) => {
      clearTimeout(timer);
      reject(new Error(`${name}: ${e.message}`));
    });
    child.on('exit', (code, sig) => {
      if (up) return;
      clearTimeout(timer);
      reject(new Error(`${name} exited (${sig || code}) before it was ready:\n${err.trim()}`));
    });
  });
}

// Stops a helper with SIGTERM (SIGKILL after 5 s); resolves when it is gone.
function stopHelper(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve();
    });
    child.kill('SIGTERM');
  });
}

// The measuring process and its request/answer exchange.
function startMeasurer(opts, env) {
  const child = spawn(process.execPath, [path.join(__dirname, 'e2e', 'measure.js')], {
    stdio: ['ignore', 'ignore', 'inherit', 'ipc'], env,
  });
  let waiter = null;
  let onProgress = () => {};
  child.on('message', (m) => {
    if (m.type === 'progress') onProgress(m);
    else if (waiter) {
      const w = waiter;
      waiter = null;
      w.resolve(m);
    }
  });
  child.on('exit', (code, sig) => {
    if (waiter) waiter.reject(new Error(`measuring process exited (${sig || code})`));
    waiter = null;
  });
  const ask = (msg, timeoutMs) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      waiter = null;
      child.kill('SIGKILL');
      reject(new Error(`measuring process gave no answer in ${timeoutMs / 1000} s`));
    }, timeoutMs);
    waiter = {
      resolve: (m) => { clearTimeout(timer); resolve(m); },
      reject: (e) => { clearTimeout(timer); reject(e); },
    };
    child.send(msg);
  });
  return {
    child,
    init: (cfg) => ask({ type: 'init', ...cfg }, START_TIMEOUT_MS),
    row: (row, progress) => {
      onProgress = progress;
      return ask({ type: 'row', row }, ROW_TIMEOUT_MS);
    },
    stop: () => {
      if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
      return new Promise((resolve) => {
        const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
        child.once('exit', () => { clearTimeout(timer); resolve(); });
        if (child.connected) child.send({ type: 'stop' });
        else child.kill('SIGTERM');
      });
    },
  };
}

async function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (e) {
    console.error(`e2e: ${e.message}\n\n${USAGE}`);
    return 2;
  }
  if (opts.help) {
    console.log(USAGE);
    return 0;
  }
  const build = opts.build || path.join(ROOT, 'build');
  const bins = {
    module: path.join(build, 'node_zel_mod.node'),
    daemon: path.join(build, 'tools', 'zel-queryd'),
    standin: path.join(build, 'bench', 'zel-standin'),
    transport: path.join(build, 'bench', 'zel_transport.node'),
  };
  const missing = Object.values(bins).filter((f) => !fs.existsSync(f));
  if (missing.length) {
    console.error(`e2e: not built: ${missing.join(', ')}\nRun \`npm run compile\` (or \`npm run bench\`, which builds first).`);
    return 1;
  }
  const querySocket = opts.socket || process.env.ZEL_QUERY_SOCKET || DEFAULT_SOCKET;

  let rows = planRows(opts.quick);
  if (opts.only) rows = rows.filter((r) => opts.only.test(r.id));
  if (rows.length === 0) {
    console.error('e2e: no row matches --only');
    return 2;
  }
  if (opts.pairs) for (const r of rows) r.pairs = opts.pairs;

  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-e2e-'));
  const applianceSocket = path.join(tmp, 'appliance.sock');
  const bodies = new Bodies();
  const results = new Map();
  const helpers = [];
  let measurer = null;
  let server = null;
  const started = Date.now();
  const info = {
    date: new Date().toISOString().replace(/\.\d+Z$/, 'Z'),
    quick: opts.quick,
    machine: report.machine(),
    querySocket,
  };

  const cleanup = async () => {
    if (measurer) await measurer.stop();
    await Promise.all(helpers.map(stopHelper));
    if (server) await new Promise((r) => server.close(r));
    fs.rmSync(tmp, { recursive: true, force: true });
  };
  const onSignal = () => {
    cleanup().finally(() => process.exit(130));
  };
  process.once('SIGINT', onSignal);
  process.once('SIGTERM', onSignal);

  let failed = false;
  try {
    // What each row's contenders must be handed.
    for (const r of rows) {
      const b = bodies.get(r.workload.resource);
      r.expect = { delivered: r.workload.gzip && !r.workload.inflate ? b.sent.length : b.body.length, raw: 0 };
    }
    server = await startAppliance(applianceSocket, bodies);

    const env = { ...process.env, ZEL_QUERY_SOCKET: querySocket, ZEL_QUIET: '1' };
    measurer = startMeasurer(opts, env);
    const ready = await measurer.init({
      modulePath: ROOT, querySocket, applianceSocket, transportPath: bins.transport,
    });
    info.relay = ready.relay;
    info.undici = ready.undici;
    console.log(`e2e: ${rows.length} rows${opts.quick ? ' (quick)' : ''}; query socket ${querySocket}; ` +
      `relay() ${ready.relay ? 'present' : 'not available'}; undici ${ready.undici ? 'present' : 'not installed'}`);

    let k = 0;
    for (const phase of ['standin', 'daemon']) {
      const phaseRows = rows.filter((r) => r.phase === phase);
      if (phaseRows.length === 0) continue;
      let helper;
      if (phase === 'standin') {
        // The stand-in answers the appliance's own bytes, recorded once.
        const dir = path.join(tmp, 'responses');
        fs.mkdirSync(dir, { recursive: true });
        for (const res of new Set(phaseRows.map((r) => r.workload.resource))) {
          const raw = await recordResponse(applianceSocket, res);
          fs.writeFileSync(path.join(dir, `${res}.http`), raw);
          for (const r of phaseRows) if (r.workload.resource === res) r.expect.raw = raw.length;
        }
        helper = await startHelper('zel-standin', bins.standin, ['--socket', querySocket, '--dir', dir]);
      } else {
        helper = await startHelper('zel-queryd', bins.daemon,
          ['--socket', querySocket, '--route', `B1=unix:${applianceSocket}`, '--quiet']);
      }
      helpers.push(helper);
      console.log(`e2e: ${phase === 'standin' ? 'datagram stand-in' : 'reference daemon'} on ${querySocket}`);
      for (const row of phaseRows) {
        k++;
        const t0 = Date.now();
        process.stdout.write(`[${k}/${rows.length}] ${row.id}: ${row.aName} vs ${row.bName}, ${row.pairs} pairs `);
        const m = await measurer.row(row, () => process.stdout.write('.'));
        const res = m.result;
        results.set(row.id, res);
        const secs = ((Date.now() - t0) / 1000).toFixed(1);
        if (res.status === 'ok') console.log(` ratio ${res.ratio.toFixed(2)} (${secs} s)`);
        else console.log(` ${res.status}: ${res.note}`);
        if (res.status === 'error') {
          failed = true;
          if (querySocket !== DEFAULT_SOCKET && /node_zel_req/.test(res.note)) {
            console.log(`e2e: a module that does not read ZEL_QUERY_SOCKET still sends to ${DEFAULT_SOCKET}; ` +
              'run the suite with the default socket in a private mount namespace (see --help).');
          }
        }
        if (failed) break;
      }
      await stopHelper(helper);
      if (failed) break;
    }
  } catch (e) {
    console.error(`\ne2e: ${e.message}`);
    if (/live (socket|daemon)|already/i.test(e.message)) {
      console.error(`e2e: another daemon answers on ${querySocket}; stop it, pass --socket, or run the suite in a private mount namespace (see --help).`);
    }
    failed = true;
  } finally {
    await cleanup();
  }

  info.seconds = Number(((Date.now() - started) / 1000).toFixed(1));
  console.log('');
  console.log(report.text(rows, results));
  const jsonPath = opts.json || path.join(build, 'bench', 'e2e.json');
  const mdPath = opts.md || path.join(build, 'bench', 'e2e.md');
  for (const [file, content] of [
    [jsonPath, JSON.stringify(report.json(rows, results, info), null, 2) + '\n'],
    [mdPath, report.markdown(rows, results, info)],
  ]) {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, content);
  }
  console.log(`\ne2e: ${info.seconds} s; wrote ${mdPath} and ${jsonPath}`);
  return failed ? 1 : 0;
}

main().then((code) => {
  process.exitCode = code;
}, (e) => {
  console.error(`e2e: ${e.stack || e.message}`);
  process.exitCode = 1;
});
