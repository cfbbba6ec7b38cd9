#!/usr/bin/env node
'use strict';
// zel-req: relays one admin API request through the query daemon with
// relay() and prints the reply as it streams in.
const http = require('http');
const { pipeline } = require('stream/promises');
const { DEFAULT_SOCKET_PATH, DEFAULT_TIMEOUT } = require('../lib/defaults');

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
  --verbose                show each step of the exchange on stderr
  --help                   show this text

environment: ZEL_QUERY_SOCKET  the query daemon's socket (default /tmp/nst/.nst.query)

exit status: 0 reply relayed, 1 exchange failed, 2 bad usage or no serial chain

example:
  zel-req GET /zel/ZL1000:ZL1002 /api/status
  zel-req --data '{"hostname":"gw-7"}' POST /zel/ZL1000:ZL1001 /api/echo`;

const VALUE_OPTS = { '--accept-encoding': 'acceptEncoding', '--admin-name': 'adminName', '--admin-prof': 'adminProf', '--data': 'data',
  '--socket': 'socket', '--timeout': 'timeout' };
const FLAG_OPTS = { '--super': 'superAdmin', '--raw': 'raw', '--verbose': 'verbose', '--help': 'help', '-h': 'help' };

class UsageError extends Error {}

// Returns the options record; throws UsageError on bad usage.
function parseArgs(argv) {
  const o = { acceptEncoding: '', adminName: 'admin', adminProf: 'read-write', superAdmin: false, data: '',
    socket: DEFAULT_SOCKET_PATH, timeout: String(DEFAULT_TIMEOUT), raw: false, verbose: false, help: false, positional: [] };
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

// Explains a failed relay in the user's terms.
function describeFailure(err, o) {
  const dst = chainOf(o.url).split(':').pop();
  switch (err.code) {
    case 'ZEL_ERR_NO_DAEMON':
      return `no query daemon is listening on ${o.socket} (start one, e.g. with \`npm start\`)`;
    case 'ZEL_ERR_REPLY':
      return err.replyCode === 5
        ? `the query daemon on ${o.socket} answered ${err.message.replace(/^the query daemon answered /, '')}: ` +
          `the target serial "${dst}" is not in its route table`
        : `${err.message} (target serial "${dst}")`;
    case 'ZEL_ERR_TIMEOUT':
      return `${err.message}: the daemon or the appliance "${dst}" did not answer in time`;
    default:
      return err.message;
  }
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
  try {
    await pipeline(r.body, process.stdout, { end: false });
  } catch (err) {
    if (err.code === 'EPIPE') return 0;
    process.stderr.write(`\nzel-req: relay failed after the head: ${describeFailure(err, o)}\n`);
    return 1;
  }
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

module.exports = { parseArgs, formatHead, UsageError };
