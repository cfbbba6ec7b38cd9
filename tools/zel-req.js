#!/usr/bin/env node
'use strict';
// zel-req: relays one admin API request through the query daemon with
// relay() and prints the reply as it streams in.
const http = require('http');
const { pipeline } = require('stream/promises');
const { DEFAULT_SOCKET_PATH, DEFAULT_TIMEOUT } = require('../lib/defaults');
const { REPLY_CODE_NAMES } = require('../lib/errors');

const USAGE = `usage: zel-req [options] METHOD URL TARGET_PATH

Relays one request to the appliance named by URL's serial chain through the
local query daemon, and prints the reply's status line, header and body.

  METHOD        request method, e.g. GET or POST (sent as given)
  URL           incoming URL whose second segment is the serial chain,
                e.g. /zel/ZL1000:ZL1002
  TARGET_PATH   path and query on the target appliance, e.g. /api/status

options:
  --accept-encoding VALUE  the client's Accept-Encoding (default: none, so a
                           gzip reply is inflated)
  --admin-name NAME        administrator name (default: admin)
  --admin-prof PROFILE     administrator profile (default: read-write)
  --super                  mark the administrator as super administrator
  --data BODY              request body (text)
  --socket PATH            the query daemon's socket (default:
                           ${DEFAULT_SOCKET_PATH}; $ZEL_QUERY_SOCKET sets it)
  --timeout MS             wait at most MS milliseconds for each reply
                           datagram (default ${DEFAULT_TIMEOUT})
  --raw                    print the body only
  --quiet                  no progress line (see below)
  --verbose                show each step of the exchange on stderr
  --help                   show this text

progress: when standard error is a terminal and the body goes elsewhere (a
file or a pipe), a large or slow body (over 1 MiB, or still coming after a
second) shows its bytes, rate and elapsed time on standard error.

environment: ZEL_QUERY_SOCKET  the query daemon's socket (default /tmp/nst/.nst.query)

exit status: 0 reply relayed, 1 exchange failed, 2 bad usage or no serial chain

example:
  zel-req GET /zel/ZL1000:ZL1002 /api/status
  zel-req --data '{"hostname":"gw-7"}' POST /zel/ZL1000:ZL1001 /api/echo`;

const VALUE_OPTS = { '--accept-encoding': 'acceptEncoding', '--admin-name': 'adminName', '--admin-prof': 'adminProf', '--data': 'data',
  '--socket': 'socket', '--timeout': 'timeout' };
const FLAG_OPTS = { '--super': 'superAdmin', '--raw': 'raw', '--quiet': 'quiet', '-q': 'quiet', '--verbose': 'verbose',
  '--help': 'help', '-h': 'help' };

class UsageError extends Error {}

// Returns the options record; throws UsageError on bad usage.
function parseArgs(argv) {
  const o = { acceptEncoding: '', adminName: 'admin', adminProf: 'read-write', superAdmin: false, data: '',
    socket: DEFAULT_SOCKET_PATH, timeout: String(DEFAULT_TIMEOUT), raw: false, quiet: false, verbose: false, help: false,
    positional: [] };
  let onlyPositional = false;
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (onlyPositional || !a.startsWith('-') || a === '-') {
      o.positional.push(a);
      continue;
    }
    if (a === '--') {
      onlyPositional = true;
      continue;
    }
    const eq = a.indexOf('=');
    const name = eq < 0 ? a : a.slice(0, eq);
    if (VALUE_OPTS[name]) {
      let v;
      if (eq >= 0) v = a.slice(eq + 1);
      else if (i + 1 < argv.length) v = argv[++i];
      else throw new UsageError(`${name} needs a value`);
      o[VALUE_OPTS[name]] = v;
    } else if (FLAG_OPTS[name] && eq < 0) {
      o[FLAG_OPTS[name]] = true;
    } else {
      throw new UsageError(`unknown option: ${a}`);
    }
  }
  if (!o.help && o.positional.length !== 3) {
    throw new UsageError(`expected METHOD URL TARGET_PATH, got ${o.positional.length} argument(s)`);
  }
  [o.method, o.url, o.targetPath] = o.positional;
  if (!/^[1-9]\d{0,9}$/.test(o.timeout) || Number(o.timeout) > 2 ** 31 - 1) {
    throw new UsageError(`--timeout needs a number of milliseconds, not ${JSON.stringify(o.timeout)}`);
  }
  return o;
}

function formatHead(status, headers) {
  const lines = [`HTTP/1.1 ${status} ${http.STATUS_CODES[status] ?? ''}`.trimEnd()];
  for (const [k, v] of Object.entries(headers)) {
    for (const one of Array.isArray(v) ? v : [v]) lines.push(`${k}: ${one}`);
  }
  return lines.join('\n') + '\n\n';
}

// The serial chain: the second segment of the URL's path, or null.
function chainOf(url) {
  const chain = url.split('?')[0].split('/')[2] || '';
  return chain.includes(':') ? chain : null;
}

// What each reply code of the daemon means for the user; `dst` is the target
// serial.  Codes 0 and 1 end a successful reply and never fail a relay.
const REPLY_EXPLANATIONS = {
  2: (dst) => `the daemon could not reach appliance "${dst}", or lost the connection to it during the reply ` +
    '(see the daemon\'s log for the cause)',
  3: () => 'the daemon could not read the request: an empty serial in the chain, or a damaged or incomplete ' +
    'request (see the daemon\'s log)',
  4: () => 'the serial chain names a serial twice',
  5: (dst) => `the target serial "${dst}" is not in its route table`,
  6: (dst) => `appliance "${dst}" did not accept the connection or did not answer within the daemon's time-out ` +
    '(its --target-timeout)',
  7: () => 'the serial chain has more serials than the daemon\'s hop limit (its --max-hops)',
  8: (dst) => `appliance "${dst}" closed the connection without answering`,
  9: () => 'the daemon is at its limit (too many requests at once, or a request larger than it takes); ' +
    'try again shortly',
  15: () => 'the daemon refused the request as not one well-formed HTTP/1.1 request',
  255: () => 'the daemon does not take this kind of request: is a daemon of another kind serving the socket?',
};

// Explains a failed relay in the user's terms: what happened, in the words of
// the request (socket, target serial), and where to look next.
function describeFailure(err, o) {
  const dst = (chainOf(o.url) || '').split(':').pop();
  // A verdict of the daemon's, whatever code relay() gave it (an unknown
  // serial, a busy daemon and a silent target each have their own).
  if (Number.isInteger(err.replyCode)) {
    const name = `${REPLY_CODE_NAMES[err.replyCode] || `reply code ${err.replyCode}`} (${err.replyCode})`;
    const explain = REPLY_EXPLANATIONS[err.replyCode];
    return explain
      ? `the query daemon on ${o.socket} answered ${name}: ${explain(dst)}`
      : `the query daemon on ${o.socket} answered ${name}, which is no answer to a request ` +
        '(is a daemon of another kind serving the socket?)';
  }
  switch (err.code) {
    case 'ZEL_ERR_NO_DAEMON':
      return `no query daemon is listening on ${o.socket} (start one, e.g. with \`npm start\` or \`npx zel-queryd\`)`;
    case 'ZEL_ERR_UNTRUSTED_SOCKET':
      return `${err.message}: the socket ${o.socket} or its directory belongs to a user this client does not trust, ` +
        'or others may write to the directory; run the daemon as root or as this user, or set ZEL_QUERY_UID to ' +
        'the daemon\'s user';
    case 'ZEL_ERR_TIMEOUT':
      return `${err.message}: the daemon or the appliance "${dst}" did not answer in time (--timeout sets the wait)`;
    case 'ZEL_ERR_BAD_REPLY':
      return `${err.message}: the reply from appliance "${dst}" or the daemon was malformed or cut short`;
    case 'ZEL_ERR_SEND':
      return `${err.message}: the daemon on ${o.socket} did not take the request`;
    case 'ZEL_ERR_SOCKET':
      return `${err.message}: no local socket could be opened (out of descriptors or memory?)`;
    case 'ABORT_ERR':
      return 'the relay was cancelled';
    default:
      return err.message;
  }
}

// Progress of a body on standard error: "2.0 MiB of 16.0 MiB (12 %),
// 1.5 MiB/s, 1.3 s".  It starts once the body is large (over 1 MiB) or slow
// (still coming after a second), is redrawn in place at most five times a
// second, and ends with a line break.  `out` is the terminal's stream.
const PROGRESS_BYTES = 1 << 20;
const PROGRESS_MS = 1000;

function formatBytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let v = n / 1024;
  let i = 0;
  while (v >= 1024 && i < units.length - 1) {
    v /= 1024;
    i++;
  }
  return `${v.toFixed(1)} ${units[i]}`;
}

function formatProgress({ bytes, total, elapsedMs }) {
  const parts = [total > 0 ? `${formatBytes(bytes)} of ${formatBytes(total)} (${Math.floor((bytes * 100) / total)} %)`
    : formatBytes(bytes)];
  const rate = elapsedMs > 0 ? (bytes * 1000) / elapsedMs : 0;
  parts.push(`${formatBytes(Math.round(rate))}/s`, `${(elapsedMs / 1000).toFixed(1)} s`);
  return parts.join(', ');
}

function createProgress(out, { total = 0, now = () => Date.now() } = {}) {
  const start = now();
  let bytes = 0;
  let shown = false;
  let lastDraw = -Infinity;
  const draw = (t) => {
    out.write(`\r\x1b[Kzel-req: ${formatProgress({ bytes, total, elapsedMs: t - start })}`);
    shown = true;
    lastDraw = t;
  };
  const timer = setInterval(() => {
    const t = now();
    if (t - start >= PROGRESS_MS) draw(t);
  }, 250);
  timer.unref();
  return {
    add(n) {
      bytes += n;
      const t = now();
      if ((bytes > PROGRESS_BYTES || t - start >= PROGRESS_MS) && t - lastDraw >= 200) draw(t);
    },
    end() {
      clearInterval(timer);
      if (!shown) return;
      draw(now());
      out.write('\n');
    },
  };
}

// Progress is shown where a person watches standard error and the body does
// not go to the same terminal, where the two would mix.
function wantProgress(o, stdout = process.stdout, stderr = process.stderr) {
  return !o.quiet && Boolean(stderr.isTTY) && !stdout.isTTY;
}

async function run(o) {
  const { relay } = require('../index.js');
  const diagnostics = require('diagnostics_channel');
  if (o.verbose) {
    diagnostics.subscribe('node-zel-mod:relay', (m) => {
      const what = m.event === 'head' ? `status ${m.statusCode}`
        : m.event === 'end' ? `${m.bytes} reply bytes${m.error ? `, ${m.error.code}` : ''}` : `${m.method} ${m.path} via ${m.serials} on ${m.socketPath}`;
      process.stderr.write(`zel-req: ${m.event}: ${what}\n`);
    });
  }
  const chain = chainOf(o.url);
  if (!chain) {
    process.stderr.write(`zel-req: no request composed: URL ${JSON.stringify(o.url)} has no serial chain; ` +
      'expected /<prefix>/<SRC>:<DST> (the second segment holds serials separated by ":")\n');
    return 2;
  }
  let r;
  try {
    r = await relay({
      serials: chain, path: o.targetPath, method: o.method, acceptEncoding: o.acceptEncoding || undefined,
      admin: { name: o.adminName, profile: o.adminProf, superAdmin: o.superAdmin },
      body: o.data || undefined, socketPath: o.socket, timeout: Number(o.timeout),
    });
  } catch (err) {
    if (/^ERR_INVALID_/.test(err.code)) {
      process.stderr.write(`zel-req: arguments refused: ${err.message}\n`);
      return 2;
    }
    process.stderr.write(`zel-req: relay failed: ${describeFailure(err, o)}\n`);
    return 1;
  }
  if (!o.raw) process.stdout.write(formatHead(r.statusCode, r.headers));
  const total = Number(r.headers['content-length']) || 0;
  const progress = wantProgress(o) ? createProgress(process.stderr, { total }) : null;
  if (progress) r.body.on('data', (d) => progress.add(d.length));
  try {
    await pipeline(r.body, process.stdout, { end: false });
  } catch (err) {
    progress?.end();
    if (err.code === 'EPIPE') return 0;
    process.stderr.write(`\nzel-req: relay failed after the head: ${describeFailure(err, o)}\n`);
    return 1;
  }
  progress?.end();
  return 0;
}

async function main() {
  let o;
  try {
    o = parseArgs(process.argv.slice(2));
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    process.stderr.write(`zel-req: ${err.message}\n\n${USAGE}\n`);
    process.exitCode = 2;
    return;
  }
  if (o.help) {
    process.stdout.write(USAGE + '\n');
    return;
  }
  try {
    process.exitCode = await run(o);
  } catch (err) {
    process.stderr.write(`zel-req: ${err.message}\n`);
    process.exitCode = 1;
  }
}

if (require.main === module) main();

module.exports = { parseArgs, formatHead, UsageError, describeFailure, REPLY_EXPLANATIONS, formatProgress, createProgress,
  wantProgress };
