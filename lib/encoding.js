'use strict';
// Content codings: which one the appliance is asked for, whether the client
// takes the one that came, and the zlib stream that removes it.
const zlib = require('zlib');

// Parses an Accept-Encoding list into Map(coding -> q).  A coding without a
// valid q counts as q=1; a malformed q counts as 0, so a garbled entry never
// widens what the client accepts.
function parseAcceptEncoding(value) {
  const out = new Map();
  if (typeof value !== 'string') return out;
  for (const item of value.split(',')) {
    const [name, ...params] = item.split(';').map((s) => s.trim());
    if (!name) continue;
    let q = 1;
    for (const p of params) {
      const m = /^q\s*=\s*(.*)$/i.exec(p);
      if (m) q = /^(0(\.\d{0,3})?|1(\.0{0,3})?)$/.test(m[1]) ? Number(m[1]) : 0;
    }
    const coding = name.toLowerCase() === 'x-gzip' ? 'gzip' : name.toLowerCase();
    // The first mention of a coding decides.
    if (!out.has(coding)) out.set(coding, q);
  }
  return out;
}

// True when the client's Accept-Encoding takes `coding`: named with q > 0,
// or not named and "*" has q > 0.  No Accept-Encoding at all takes no coding,
// as node_zel_req has it: the relay then decodes.
function accepts(acceptEncoding, coding) {
  const list = parseAcceptEncoding(acceptEncoding);
  const c = coding.toLowerCase() === 'x-gzip' ? 'gzip' : coding.toLowerCase();
  if (list.has(c)) return list.get(c) > 0;
  return list.has('*') && list.get('*') > 0;
}

// What the appliance is asked for: deflate only when that is exactly what
// the client named, gzip otherwise; either can be decoded here.
function requestedEncoding(acceptEncoding) {
  return acceptEncoding === 'deflate' ? 'deflate' : 'gzip';
}

// Output pieces of 256 KiB rather than zlib's 16 KiB: a sixteenth of the trips
// to the thread pool and of the pushes down the body.  The stream holds as
// much as the stages before it before it asks them to wait.
const DECODER_CHUNK = 256 * 1024;

// A stream that removes the response's coding, or null for none we decode.
// `highWaterMark`, when given, is the stream's mark on both sides.
function decoderFor(contentEncoding, highWaterMark) {
  const opts = { chunkSize: DECODER_CHUNK };
  if (highWaterMark !== undefined) opts.highWaterMark = highWaterMark;
  switch (String(contentEncoding || '').trim().toLowerCase()) {
    case 'gzip':
    case 'x-gzip':
      return zlib.createGunzip(opts);
    case 'deflate':
      return zlib.createInflate(opts);
    case 'br':
      return zlib.createBrotliDecompress(opts);
    default:
      return null;
  }
}

module.exports = { parseAcceptEncoding, accepts, requestedEncoding, decoderFor };
