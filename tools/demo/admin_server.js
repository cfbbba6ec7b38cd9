'use strict';
// The admin web server's relay: an incoming request
//   /<prefix>/<SRC>:...:<DST>/<path>?<query>
// is handed to node_zel_req with the target path /<path>?<query>, and the
// relayed reply is written into this server's own response: write-head
// becomes writeHead, each body piece a write, the end of the exchange the
// end of the response.
//
// node_zel_req blocks this thread until the exchange ends, so the server
// answers one relayed request at a time and every piece is buffered in the
// response until the call returns.
const http = require('http');

const MAX_BODY = 1024 * 1024;

// Fields that describe this hop's connection, not the reply; a relay must not
// pass them on.
const HOP_BY_HOP = new Set(['connection', 'keep-alive', 'proxy-connection', 'upgrade', 'te', 'trailer']);

// Splits an incoming URL; returns { chain, target } or null when the URL has
// no serial chain segment.  The chain is only shape-checked here: the module
// decides what it accepts.
function splitAdminUrl(rawUrl) {
  const q = rawUrl.indexOf('?');
  const pathname = q < 0 ? rawUrl : rawUrl.slice(0, q);
  const search = q < 0 ? '' : rawUrl.slice(q);
  const segs = pathname.split('/');
  // segs[0] is the empty text before the leading '/'.
  if (segs.length < 3 || segs[0] !== '' || segs[1] === '' || segs[2] === '') return null;
  return { prefix: segs[1], chain: segs[2], target: '/' + segs.slice(3).join('/') + search };
}

function sendJson(res, status, value) {
  const text = JSON.stringify(value) + '\n';
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
  res.end(text);
}

// Relays one request whose body has been read.  Resolves nothing; the
// response is finished (or destroyed, when the exchange broke after the
// status had gone out) before it returns.
function relayRequest(zelReq, req, res, body, identity, log) {
  const parts = splitAdminUrl(req.url);
  if (!parts) {
    return sendJson(res, 400, { error: 'no serial chain in the URL', expected: '/<prefix>/<SRC>:<DST>/<path>' });
  }
  let headSent = false;
  let ret;
  try {
    ret = zelReq(req.method, req.url, parts.target, req.headers['accept-encoding'] ?? '',
      identity.name, identity.profile, identity.superAdmin, body,
      (piece) => {
        // The module reuses its Buffer for the next piece: copy before queuing.
        res.write(Buffer.from(piece.response.subarray(0, piece.response_size)));
      },
      (status, headers) => {
        const out = {};
        for (const [k, v] of Object.entries(headers)) if (!HOP_BY_HOP.has(k)) out[k] = v;
        res.writeHead(status, out);
        headSent = true;
      });
  } catch (err) {
    log(`relay of ${req.method} ${req.url} threw: ${err.message}`);
    if (headSent) return res.destroy();
    return sendJson(res, 500, { error: 'relay failed', detail: err.message });
  }
  if (ret === 0 && headSent) return res.end();
  if (ret === undefined) {
    return sendJson(res, 400, { error: 'no serial chain in the URL', chain: parts.chain, expected: '<SRC>:<DST>' });
  }
  log(`relay of ${req.method} ${req.url} to ${parts.target} via ${parts.chain}: ${ret === 0 ? 'empty reply' : 'failed'}`);
  // The status line is out: the only honest signal left is a cut response.
  if (headSent) return res.destroy();
  return sendJson(res, 502, {
    error: 'the appliance could not be reached through the query daemon',
    chain: parts.chain,
    hint: 'is the daemon running, and is the last serial in its route table?',
  });
}

// Creates the admin server.  `zelReq` is node_zel_req (tests pass a stub);
// `index` is the JSON served at "/".
function createAdminServer({ zelReq, identity, index = {}, log = () => {} }) {
  return http.createServer((req, res) => {
    if (req.url === '/' || req.url === '/index.json') return sendJson(res, 200, index);
    const parts = [];
    let size = 0;
    req.on('data', (d) => {
      size += d.length;
      if (size <= MAX_BODY) parts.push(d);
    });
    req.on('end', () => {
      if (size > MAX_BODY) return sendJson(res, 413, { error: `request body larger than ${MAX_BODY} bytes` });
      relayRequest(zelReq, req, res, Buffer.concat(parts).toString('utf8'), identity, log);
    });
  });
}

module.exports = { createAdminServer, splitAdminUrl, relayRequest };
