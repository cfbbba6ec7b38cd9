#!/usr/bin/env node
'use strict';
// zel-req: relays one admin API request through the query daemon with
// node_zel_req and prints the reply.
//
// The module prints its own diagnostics ("Sent request: ...") on standard
// output from native code.  To keep our standard output to the reply alone,
// the call runs in a child process whose standard output is discarded (or
// sent to standard error with --verbose); the child writes the reply to
// descriptor 3, which is our standard output.
const fs = require('fs');
const path = require('path');
const http = require('http');
const { spawn } = require('child_process');

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
  --raw                    print the body only
  --verbose                show the module's own diagnostics on stderr
  --help                   show this text

environment: ZEL_QUERY_SOCKET  the query daemon's socket (default /tmp/nst/.nst.query)

exit status: 0 reply relayed, 1 exchange failed, 2 bad usage or no serial chain

example:
  zel-req GET /zel/ZL1000:ZL1002 /api/status
  zel-req --data '{"hostname":"gw-7"}' POST /zel/ZL1000:ZL1001 /api/echo`;

const VALUE_OPTS = { '--accept-encoding': 'acceptEncoding', '--admin-name': 'adminName', '--admin-prof': 'adminProf', '--data': 'data' };
const FLAG_OPTS = { '--super': 'superAdmin', '--raw': 'raw', '--verbose': 'verbose', '--help': 'help', '-h': 'help' };

class UsageError extends Error {}

// Returns the options record; throws UsageError on bad usage.
function parseArgs(argv) {
  const o = { acceptEncoding: '', adminName: 'admin', adminProf: 'read-write', superAdmin: false, data: '',
    raw: false, verbose: false, help: false, positional: [] };
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
  return o;
}

function formatHead(status, headers) {
  const lines = [`HTTP/1.1 ${status} ${http.STATUS_CODES[status] ?? ''}`.trimEnd()];
  for (const [k, v] of Object.entries(headers)) lines.push(`${k}: ${v}`);
  return lines.join('\n') + '\n\n';
}

// Writes all of `buf` to descriptor `fd`, waiting while a non-blocking pipe
// is full (the call holds the thread, so there is no event loop to wait on).
function writeAll(fd, buf) {
  const pause = new Int32Array(new SharedArrayBuffer(4));
  for (let off = 0; off < buf.length;) {
    try {
      off += fs.writeSync(fd, buf, off, buf.length - off);
    } catch (err) {
      if (err.code !== 'EAGAIN') throw err;
      Atomics.wait(pause, 0, 0, 5);
    }
  }
}

function runChild(o) {
  const { socketInUse, QUERY_SOCKET } = require('./demo/queryd');
  let zel;
  try {
    zel = require('../index.js');
  } catch (err) {
    process.stderr.write(`zel-req: ${err.message}\n`);
    return 1;
  }
  const OUT = 3;
  let ret;
  try {
    ret = zel.node_zel_req(o.method, o.url, o.targetPath, o.acceptEncoding, o.adminName, o.adminProf,
      o.superAdmin ? '1' : '0', o.data,
      (piece) => writeAll(OUT, piece.response.subarray(0, piece.response_size)),
      (status, headers) => {
        if (!o.raw) writeAll(OUT, Buffer.from(formatHead(status, headers)));
      });
  } catch (err) {
    process.stderr.write(`zel-req: ${err.code === 'EINVAL' ? 'arguments refused' : 'relay stopped'}: ${err.message.trim()}\n`);
    return err.code === 'EINVAL' ? 2 : 1;
  }
  if (ret === 0) return 0;
  if (ret === undefined) {
    process.stderr.write(`zel-req: no request composed: URL ${JSON.stringify(o.url)} has no serial chain; ` +
      'expected /<prefix>/<SRC>:<DST> (the second segment holds serials separated by ":")\n');
    return 2;
  }
  const dst = (o.url.split('?')[0].split('/')[2] || '').split(':').pop();
  const cause = socketInUse(QUERY_SOCKET)
    ? `the query daemon on ${QUERY_SOCKET} did not relay a reply: most likely the target serial "${dst}" is ` +
      'not in its route table, or the appliance is unreachable or answered with a malformed reply'
    : `no query daemon is listening on ${QUERY_SOCKET} (start one, e.g. with \`npm start\`)`;
  process.stderr.write(`zel-req: relay failed (-1): ${cause}\n`);
  return 1;
}

function main() {
  if (process.env.ZEL_REQ_CHILD) {
    process.exitCode = runChild(JSON.parse(process.env.ZEL_REQ_CHILD));
    return;
  }
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
  const child = spawn(process.execPath, [__filename], {
    stdio: ['ignore', o.verbose ? 2 : 'ignore', 'inherit', 1],
    env: { ...process.env, ZEL_REQ_CHILD: JSON.stringify(o) },
  });
  child.on('exit', (code, sig) => {
    process.exitCode = code ?? (sig === 'SIGPIPE' ? 0 : 1);
  });
}

if (require.main === module) main();

module.exports = { parseArgs, formatHead, UsageError };
