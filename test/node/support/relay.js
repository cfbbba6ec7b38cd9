'use strict';
// Calls node_zel_req the way the admin server does and records everything
// the script side sees: the write-head call, each body piece (copied out of
// the shared Buffer) and the result.
const path = require('path');
const { ROOT } = require('../../../tools/demo/queryd');

function loadModule() {
  return require(process.env.ZEL_MODULE_PATH || path.join(ROOT, 'build', 'node_zel_mod.node'));
}

const DEFAULTS = {
  method: 'GET',
  acceptEncoding: 'gzip, deflate, br',
  adminName: 'alice',
  adminProf: 'full-access',
  isSuper: '1',
  body: '',
};

// Returns { ret, status, headers, pieces, sizes, body, events, sameBuffer }.
// `events` is the call order, e.g. ['head', 'body', 'body'].  Options
// onHead / onBody run inside the callbacks (a test may throw from them).
function relay(mod, url, newUrl, opts = {}) {
  const o = { ...DEFAULTS, ...opts };
  const events = [];
  const chunks = [];
  const sizes = [];
  const buffers = new Set();
  let status;
  let headers;
  const ret = mod.node_zel_req(o.method, url, newUrl, o.acceptEncoding, o.adminName, o.adminProf,
    o.isSuper, o.body,
    (piece) => {
      events.push('body');
      buffers.add(piece.response);
      sizes.push(piece.response_size);
      chunks.push(Buffer.from(piece.response.subarray(0, piece.response_size)));
      if (o.onBody) o.onBody(piece);
    },
    (st, hdr) => {
      events.push('head');
      status = st;
      headers = { ...hdr };
      if (o.onHead) o.onHead(st, hdr);
    });
  const bufs = [...buffers];
  return {
    ret,
    status,
    headers,
    sizes,
    body: Buffer.concat(chunks),
    events,
    // Every piece must arrive in the call's one 4096-byte Buffer.
    sameBuffer: bufs.length <= 1 && bufs.every((b) => Buffer.isBuffer(b) && b.length === 4096),
  };
}

// The request text a target must receive for one call.
function expectedRequest(args) {
  // A field given as undefined or null stands for the empty text, as in the
  // call itself, so the defaults apply only to fields left out.
  const { method, target, acceptEncoding, sn, src, adminName, adminProf, isSuper, body } = { ...DEFAULTS, ...args };
  const lines = [
    `${method} ${target} HTTP/1.1`,
    'Host: 127.0.0.1',
    'Accept: application/json, text/javascript, */*; q=0.01',
    'Accept-Language: en-GB,en-US;q=0.8,en;q=0.6,vi;q=0.4',
    `Accept-Encoding: ${acceptEncoding === 'deflate' ? 'deflate' : 'gzip'}`,
    'User-Agent: Norvane ZEL',
  ];
  if (body) {
    lines.push('Content-Type: application/json;chartset=UTF-8', `Content-Length: ${Buffer.byteLength(body)}`);
  }
  lines.push(`X-ZEL-SN: ${sn}`, `X-ZEL-SOURCE-SN: ${src}`, `X-ADMIN-NAME: ZL_${adminName ?? ''}`,
    `X-ADMIN-PERMISSIONS: ${adminProf ?? ''}`, `X-ADMIN-SUPER: ${isSuper ?? ''}`, 'Connection: Close', '', '');
  return Buffer.concat([Buffer.from(lines.join('\r\n')), Buffer.from(body ?? '')]);
}

function openFds() {
  return require('fs').readdirSync('/proc/self/fd').length;
}

module.exports = { loadModule, relay, expectedRequest, openFds, DEFAULTS };
