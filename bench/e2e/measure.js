'use strict';
// The measuring process of the end-to-end suite, started by bench/e2e.js with
// an IPC channel.  It loads the module (whose diagnostics go to this
// process's standard output, which the runner discards), takes one row at a
// time, alternates the row's two contenders request by request and answers
// with the medians.  The query socket comes from ZEL_QUERY_SOCKET, set by the
// runner before this process starts.
const { monitorEventLoopDelay } = require('perf_hooks');
const C = require('./contenders');

let cfg = null;
let binding = null;
let undici = null;
const cache = new Map();

function median(xs) {
  const s = [...xs].sort((x, y) => x - y);
  const n = s.length;
  if (n === 0) return NaN;
  return n % 2 ? s[(n - 1) / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

// The contender behind a row's key, made once; null when it is not available
// here (relay() not in the module, undici not installed).
function contender(key) {
  if (cache.has(key)) return cache.get(key);
  let c = null;
  const sock = cfg.applianceSocket;
  switch (key) {
    case 'zel': c = C.zelContender(binding); break;
    case 'relay': c = C.relayContender(binding, cfg.querySocket); break;
    case 'http': c = C.httpContender(sock); break;
    case 'undici': c = C.undiciContender(undici, sock, 1); break;
    case 'limit': c = C.limitContender(cfg.transportPath, cfg.querySocket); break;
    case 'relay*16': c = batch(contender('relay'), true); break;
    case 'zel*16': c = batch(contender('zel'), false); break;
    case 'undici*16': c = batch(undici && C.undiciContender(undici, sock, 16), true); break;
    default: throw new Error(`unknown contender ${key}`);
  }
  cache.set(key, c);
  return c;
}

const BATCH = 16;

// Sixteen fetches of one contender, all at once or one after another; the
// time is the whole batch's, bytes the sum.
function batch(one, concurrent) {
  if (!one) return null;
  return {
    name: `${one.name} x${BATCH}`,
    async run(wl) {
      const t0 = process.hrtime.bigint();
      let bytes = 0;
      if (concurrent) {
        const rs = await Promise.all(Array.from({ length: BATCH }, () => one.run(wl)));
        for (const r of rs) bytes += r.bytes;
      } else {
        for (let i = 0; i < BATCH; i++) bytes += (await one.run(wl)).bytes;
      }
      return { ns: Number(process.hrtime.bigint() - t0), bytes };
    },
  };
}

function expected(row, key) {
  const per = key === 'limit' ? row.expect.raw : row.expect.delivered;
  return key.endsWith('*16') ? per * BATCH : per;
}

async function timed(row, key, c) {
  const r = await c.run(row.workload);
  if (r.bytes !== expected(row, key)) {
    throw new Error(`${c.name} ${row.workload.target}: ${r.bytes} bytes, expected ${expected(row, key)}`);
  }
  return r;
}

// Largest event-loop delay and its 99th percentile (ns) during one fetch.
async function loopDelay(row, key, c) {
  const h = monitorEventLoopDelay({ resolution: 1 });
  h.enable();
  await sleep(3);
  await timed(row, key, c);
  await sleep(5);
  h.disable();
  return { max: h.max, p99: h.percentile(99) };
}

function progress(row, done) {
  process.send({ type: 'progress', id: row.id, done, pairs: row.pairs });
}

async function measureRow(row) {
  const a = contender(row.a);
  const b = contender(row.b);
  const missing = [[a, row.a], [b, row.b]].filter(([c]) => !c).map(([, k]) => k);
  if (missing.length) {
    const why = missing.map((k) => (k.startsWith('relay') ? 'relay() not available' : 'undici not installed (npm install)'));
    return { id: row.id, status: 'n/a', note: [...new Set(why)].join('; ') };
  }
  const one = row.kind === 'loop' ? (k, c) => loopDelay(row, k, c) : (k, c) => timed(row, k, c);
  for (let i = 0; i < row.warm; i++) {
    await one(row.a, a);
    await one(row.b, b);
  }
  const ra = [];
  const rb = [];
  const step = Math.max(1, Math.ceil(row.pairs / 4));
  for (let i = 0; i < row.pairs; i++) {
    if (i % 2 === 0) {
      ra.push(await one(row.a, a));
      rb.push(await one(row.b, b));
    } else {
      rb.push(await one(row.b, b));
      ra.push(await one(row.a, a));
    }
    if ((i + 1) % step === 0 && i + 1 < row.pairs) progress(row, i + 1);
  }
  if (row.kind === 'loop') {
    return {
      id: row.id, status: 'ok', pairs: row.pairs,
      ratio: median(ra.map((x, i) => rb[i].max / x.max)),
      a: { maxNs: Math.max(...ra.map((x) => x.max)), medianMaxNs: median(ra.map((x) => x.max)), p99Ns: median(ra.map((x) => x.p99)) },
      b: { maxNs: Math.max(...rb.map((x) => x.max)), medianMaxNs: median(rb.map((x) => x.max)), p99Ns: median(rb.map((x) => x.p99)) },
    };
  }
  return {
    id: row.id, status: 'ok', pairs: row.pairs,
    ratio: median(ra.map((x, i) => rb[i].ns / x.ns)),
    a: { medianNs: median(ra.map((x) => x.ns)), bytes: ra[0].bytes },
    b: { medianNs: median(rb.map((x) => x.ns)), bytes: rb[0].bytes },
  };
}

async function closeAll() {
  for (const c of cache.values()) {
    if (c && c.close) await c.close();
  }
}

process.on('message', (msg) => {
  if (msg.type === 'init') {
    cfg = msg;
    binding = require(cfg.modulePath);
    try {
      undici = require('undici');
    } catch {
      undici = null;
    }
    process.send({ type: 'ready', relay: typeof binding.relay === 'function', undici: !!undici });
  } else if (msg.type === 'row') {
    measureRow(msg.row).then(
      (result) => process.send({ type: 'result', result }),
      (err) => process.send({ type: 'result', result: { id: msg.row.id, status: 'error', note: err.message } }));
  } else if (msg.type === 'stop') {
    closeAll().finally(() => process.disconnect());
  }
});
