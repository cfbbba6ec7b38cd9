'use strict';
// Calls node_zel_req the way the admin server does and records what the
// script side sees: the write-head call, each body piece (copied out of the
// shared Buffer) and the result.
const path = require('path');
const { ROOT } = require('../../../tools/demo/queryd');

const loadModule = () => require(process.env.ZEL_MODULE_PATH || path.join(ROOT, 'build', 'node_zel_mod.node'));

const DEFAULTS = {
  method: 'GET', acceptEncoding: 'gzip, deflate, br', adminName: 'alice', adminProf: 'full-access', isSuper: '1', body: '',
};

// Returns { ret, status, headers, sizes, body, events, sameBuffer }; `events`
// is the call order ('head', 'body', ...).  onHead / onBody run inside the
// callbacks, so a test may throw from them.
function relay(mod, url, newUrl, opts = {}) {
  const o = { ...DEFAULTS, ...opts };
  const r = { events: [], sizes: [], sameBuffer: true };
  const chunks = [];
  let first;
  r.ret = mod.node_zel_req(o.method, url, newUrl, o.acceptEncoding, o.adminName, o.adminProf, o.isSuper, o.body,
    (piece) => {
      r.events.push('body');
      // Every piece must arrive in the call's one 4096-byte Buffer.
      first ??= piece.response;
      r.sameBuffer &&= piece.response === first && Buffer.isBuffer(first) && first.length === 4096;
      r.sizes.push(piece.response_size);
      chunks.push(Buffer.from(piece.response.subarray(0, piece.response_size)));
      o.onBody?.(piece);
    },
    (status, headers) => {
      r.events.push('head');
      Object.assign(r, { status, headers: { ...headers } });
      o.onHead?.(status, headers);
    });
  r.body = Buffer.concat(chunks);
  return r;
}

// The request text a target must receive for one call.  A field given as
// undefined or null stands for the empty text, as in the call itself.
function expectedRequest(args) {
  const { method, target, acceptEncoding, sn, src, adminName, adminProf, isSuper, body } = { ...DEFAULTS, ...args };
  const lines = [
    `${method} ${target} HTTP/1.1`,
    'Host: 127.0.0.1',
    'Accept: application/json, text/javascript, */*; q=0.01',
    'Accept-Language: en-GB,en-US;q=0.8,en;q=0.6,vi;q=0.4',
    `Accept-Encoding: ${acceptEncoding === 'deflate' ? 'deflate' : 'gzip'}`,
    'User-Agent: Norvane ZEL',
  ];
  if (body) lines.push('Content-Type: application/json;chartset=UTF-8', `Content-Length: ${Buffer.byteLength(body)}`);
  lines.push(`X-ZEL-SN: ${sn}`, `X-ZEL-SOURCE-SN: ${src}`, `X-ADMIN-NAME: ZL_${adminName ?? ''}`,
    `X-ADMIN-PERMISSIONS: ${adminProf ?? ''}`, `X-ADMIN-SUPER: ${isSuper ?? ''}`, 'Connection: Close', '', '');
  return Buffer.concat([Buffer.from(lines.join('\r\n')), Buffer.from(body ?? '')]);
}

module.exports = { loadModule, relay, expectedRequest };
