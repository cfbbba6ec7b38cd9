'use strict';
// What the suite measures: one row per pair of contenders on one workload.
// A row's ratio is B's time over A's time (above 1: A is faster), the median
// of the per-pair ratios; for the event-loop rows it is B's largest loop
// delay over A's.
const { allWorkloads, workload, slowWorkload } = require('./workloads');

const NAMES = {
  zel: 'node_zel_req',
  relay: 'relay()',
  http: 'node http keep-alive',
  undici: 'undici',
  limit: 'transport limit',
  'relay*16': 'relay() ×16 concurrent',
  'zel*16': 'node_zel_req ×16 in turn',
  'undici*16': 'undici ×16 connections',
};

// Pairs and warm-up pairs by body size: [full, quick].  Odd counts give a
// median that is one measured pair.
const PAIRS = { '200B': [1001, 151], '64KiB': [401, 61], '1MiB': [101, 21], '16MiB': [21, 7] };
const WARM = { '200B': [50, 10], '64KiB': [20, 5], '1MiB': [5, 2], '16MiB': [2, 1] };
// relay() runs far more script than node_zel_req, and V8 optimises it over
// its first few thousand calls: a 200-byte relay takes about 450 µs at first
// and about 100 µs from some 2,500 calls on (bench/README.md).  Its rows
// warm up that long first, so that they measure a server that has been
// relaying for a while rather than how fast V8 optimises; the cold figure
// is measured by the relay-cold/ row.
const RELAY_WARM = { '200B': [3000, 300], '64KiB': [1500, 150], '1MiB': [200, 20], '16MiB': [10, 2] };
const BATCH_PAIRS = { '64KiB': [31, 7], '1MiB': [11, 3] };
const LOOP_PAIRS = [11, 5];

const SLOW_PAIRS = [21, 7];

// The goals: relay() within reach of node_zel_req through the in-memory
// stand-in, 16 relays at once against a slow appliance well ahead of 16
// synchronous calls, a loop that stays responsive while 16 relays run, and
// node_zel_req no slower against the transport limit.
const GOALS = {
  'limit/200B-plain': 0.6,
  'limit/1MiB-plain': 1.0,
  'limit/16MiB-plain': 1.0,
  'relay/200B-plain': 0.6,
  'relay/200B-gzip-inflated': 0.6,
  'relay/64KiB-plain': 0.8,
  'relay/64KiB-gzip-inflated': 0.8,
  'relay/1MiB-plain': 0.8,
  'relay/1MiB-gzip-inflated': 0.8,
  'relay/16MiB-plain': 0.8,
  'relay/16MiB-gzip-inflated': 0.8,
  'slow/200B-plain': 8,
};
// Goals on an absolute figure rather than a ratio: the loop row's A side,
// the median over its runs of the largest event-loop delay, in ms.
const MAX_GOALS = {
  'loop16/1MiB-plain': 10,
};

function goalText(id, min) {
  return `≥ ${Number.isInteger(min) ? min.toFixed(1) : String(min)}`;
}

function row(id, phase, kind, wl, a, b, quick, pairsTable, warmTable) {
  const pick = (t) => t[quick ? 1 : 0];
  const r = {
    id, phase, kind, workload: wl, a, b,
    aName: NAMES[a], bName: NAMES[b],
    pairs: pick(pairsTable || PAIRS[wl.sizeName]),
    warm: kind !== 'latency' ? 1 : pick((warmTable || (a === 'relay' ? RELAY_WARM : WARM))[wl.sizeName]),
  };
  if (id in GOALS) r.goal = { min: GOALS[id], text: goalText(id, GOALS[id]) };
  if (id in MAX_GOALS) r.goal = { maxMs: MAX_GOALS[id], text: `median of A's largest delays < ${MAX_GOALS[id]} ms` };
  return r;
}

// The rows of a run.  Quick runs keep at least one row for every goal.
function planRows(quick) {
  const rows = [];
  const wls = allWorkloads();
  const quickKeep = {
    limit: (wl) => wl.shape === 'plain',
    http: (wl) => wl.id === '200B-plain' || wl.id === '1MiB-plain' || wl.id === '16MiB-gzip-inflated',
    undici: (wl) => wl.id === '200B-plain' || wl.id === '1MiB-plain',
    relayDaemon: (wl) => wl.id === '200B-plain',
  };
  // Through the datagram stand-in: the module against the transport limit,
  // and relay() against node_zel_req, both fetching from memory.
  for (const wl of wls) {
    if (!quick || quickKeep.limit(wl)) rows.push(row(`limit/${wl.id}`, 'standin', 'latency', wl, 'zel', 'limit', quick));
  }
  // The first relays of the process: relay() before V8 has optimised it.
  rows.push(row('relay-cold/200B-plain', 'standin', 'latency', workload('200B', 'plain'), 'relay', 'zel', quick, null, WARM));
  for (const wl of wls) {
    if (wl.shape === 'plain' || wl.shape === 'gzip-inflated') {
      rows.push(row(`relay/${wl.id}`, 'standin', 'latency', wl, 'relay', 'zel', quick));
    }
  }
  // Through the reference daemon to the appliance, against HTTP clients
  // that fetch from the appliance directly.
  for (const [b, keep] of [['http', quickKeep.http], ['undici', quickKeep.undici]]) {
    for (const wl of wls) {
      if (!quick || keep(wl)) rows.push(row(`${b}/${wl.id}`, 'daemon', 'latency', wl, 'zel', b, quick));
    }
  }
  for (const wl of wls) {
    if (!quick || quickKeep.relayDaemon(wl)) {
      rows.push(row(`relay-daemon/${wl.id}`, 'daemon', 'latency', wl, 'relay', 'zel', quick));
    }
  }
  const p16 = workload('16MiB', 'plain');
  rows.push(row('relay-undici/16MiB-plain', 'daemon', 'latency', p16, 'relay', 'undici', quick));
  rows.push(row('loop/16MiB-plain', 'daemon', 'loop', p16, 'relay', 'zel', quick, LOOP_PAIRS));
  const p1 = workload('1MiB', 'plain');
  rows.push(row('loop16/1MiB-plain', 'daemon', 'loop', p1, 'relay*16', 'zel*16', quick, LOOP_PAIRS));
  for (const size of ['64KiB', '1MiB']) {
    const wl = workload(size, 'plain');
    rows.push(row(`batch/${wl.id}`, 'daemon', 'batch', wl, 'relay*16', 'zel*16', quick, BATCH_PAIRS[size]));
    rows.push(row(`batch-undici/${wl.id}`, 'daemon', 'batch', wl, 'relay*16', 'undici*16', quick, BATCH_PAIRS[size]));
  }
  // An appliance that takes 2 ms to answer: what running relays at once is for.
  rows.push(row('slow/200B-plain', 'daemon', 'batch', slowWorkload('200B', 2), 'relay*16', 'zel*16', quick, SLOW_PAIRS));
  return rows;
}

module.exports = { planRows, NAMES };
