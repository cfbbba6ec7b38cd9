'use strict';
// The suite's table: as text for the terminal, as Markdown, and the JSON
// record behind both.
const os = require('os');
const fs = require('fs');

function fmtTime(ns) {
  if (!Number.isFinite(ns)) return '-';
  if (ns < 1e6) return `${(ns / 1e3).toFixed(ns < 1e5 ? 1 : 0)} µs`;
  if (ns < 1e9) return `${(ns / 1e6).toFixed(ns < 1e7 ? 2 : 1)} ms`;
  return `${(ns / 1e9).toFixed(2)} s`;
}

function fmtRate(bytes, ns) {
  if (!bytes || !ns || bytes < 65536) return '';
  const mbs = bytes / (ns / 1e9) / 1e6;
  return ` · ${mbs >= 100 ? mbs.toFixed(0) : mbs.toFixed(1)} MB/s`;
}

// "A median" and "B median" cells of one row.
function sideText(row, res, side) {
  const s = res[side];
  if (!s) return '';
  if (row.kind === 'loop') return `max ${fmtTime(s.maxNs)} · median max ${fmtTime(s.medianMaxNs)} · p99 ${fmtTime(s.p99Ns)}`;
  return fmtTime(s.medianNs) + fmtRate(s.bytes, s.medianNs);
}

function ratioText(res) {
  if (res.status === 'ok') return res.ratio >= 10 ? res.ratio.toFixed(0) : res.ratio.toFixed(2);
  if (res.status === 'n/a') return `n/a — ${res.note}`;
  if (res.status === 'not run') return 'not run';
  return `error: ${res.note}`;
}

function goalCell(row, res) {
  if (!row.goal) return '';
  if (res.status !== 'ok') return row.goal.text;
  if (row.goal.maxMs !== undefined) {
    return `${row.goal.text} ${res.a.medianMaxNs < row.goal.maxMs * 1e6 ? '(met)' : '(not met)'}`;
  }
  return `${row.goal.text} ${res.ratio >= row.goal.min ? '(met)' : '(not met)'}`;
}

function machine() {
  let distro = os.type();
  try {
    const rel = fs.readFileSync('/etc/os-release', 'utf8');
    const m = /^PRETTY_NAME="?([^"\n]*)"?/m.exec(rel);
    if (m) distro = m[1];
  } catch {
    // keep the kernel's name
  }
  const cpus = os.cpus();
  return {
    cpus: cpus.length,
    cpuModel: cpus.length ? cpus[0].model.trim() : 'unknown',
    os: `${distro}, Linux ${os.release()}`,
    node: process.version,
    loadavg: os.loadavg().map((x) => Number(x.toFixed(2))),
  };
}

function tableRows(rows, results) {
  return rows.map((row) => {
    const res = results.get(row.id) || { status: 'not run' };
    return [
      row.id,
      row.workload.label,
      `${row.aName} vs ${row.bName}`,
      res.status === 'ok' ? String(res.pairs) : '',
      sideText(row, res, 'a'),
      sideText(row, res, 'b'),
      ratioText(res),
      goalCell(row, res),
    ];
  });
}

const HEAD = ['row', 'workload', 'A vs B', 'pairs', 'A median', 'B median', 'ratio', 'goal'];
const LEGEND = [
  'ratio: B\'s time over A\'s, the median of the per-pair ratios (above 1: A is faster).',
  'Loop rows: B\'s largest event-loop delay over A\'s; "max" is the largest over all runs, "median max" the median',
  'of each run\'s largest.  Batch and slow rows: 16 fetches, aggregate MB/s.',
  'MB/s counts the bytes a contender was handed: the compressed body when gzip is passed',
  'through, the whole response for the transport limit.',
];

function text(rows, results) {
  const body = tableRows(rows, results);
  const w = HEAD.map((h, i) => Math.max(h.length, ...body.map((r) => [...r[i]].length)));
  const line = (r) => r.map((c, i) => c + ' '.repeat(w[i] - [...c].length)).join('  ').trimEnd();
  return [line(HEAD), line(w.map((n) => '-'.repeat(n))), ...body.map(line), '', ...LEGEND].join('\n');
}

function markdown(rows, results, info) {
  const m = info.machine;
  const lines = [
    `End-to-end benchmark, ${info.date}${info.quick ? ' (--quick)' : ''}: ${m.cpus} × ${m.cpuModel}, ${m.os}, ` +
    `Node.js ${m.node}, load average at start ${m.loadavg.join(' ')}.`,
    '',
    `| ${HEAD.join(' | ')} |`,
    `|${HEAD.map((h, i) => (i >= 3 && i <= 6 ? '---:' : '---')).join('|')}|`,
    ...tableRows(rows, results).map((r) => `| ${r.map((c) => c.replace(/\|/g, '\\|')).join(' | ')} |`),
    '',
    LEGEND.join(' '),
    '',
  ];
  return lines.join('\n');
}

function json(rows, results, info) {
  return {
    ...info,
    legend: LEGEND.join(' '),
    rows: rows.map((row) => {
      const res = results.get(row.id) || { status: 'not run' };
      return {
        id: row.id, kind: row.kind, workload: row.workload.id, a: row.aName, b: row.bName,
        goal: row.goal ? (row.goal.min ?? { maxMs: row.goal.maxMs }) : null,
        ...res,
      };
    }),
  };
}

module.exports = { text, markdown, json, machine, fmtTime };
