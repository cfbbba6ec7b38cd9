'use strict';
// Content codings: which one the appliance is asked for, whether the client
// takes the one that came, and the zlib call or stream that removes it.
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

// A gzip or deflate body up to this length is decoded in one call on the
// loop's own thread once it has all come, rather than by a stream: each
// stream's trips to the thread pool cost more than a relay of 200 bytes
// does.  The output of one such call is bounded (half a millisecond of the
// loop); a body that decodes to more is decoded by a stream after all.
// Brotli always streams: its decoder takes four times as long to reach the
// bound, time a hostile appliance could take from the loop on every relay.
const WHOLE_CODED_MAX = 64 * 1024;
const WHOLE_DECODED_MAX = 512 * 1024;

const WHOLE_DECODERS = {
  gzip: zlib.gunzipSync,
  'x-gzip': zlib.gunzipSync,
  deflate: zlib.inflateSync,
};

const codingName = (contentEncoding) => String(contentEncoding || '').trim().toLowerCase();

// True for a coding decoderFor() removes.
function canDecode(contentEncoding) {
  return ['gzip', 'x-gzip', 'deflate', 'br'].includes(codingName(contentEncoding));
}

// True for a coding decodeWhole() removes.
function canDecodeWhole(contentEncoding) {
  return Object.hasOwn(WHOLE_DECODERS, codingName(contentEncoding));
}

// Decodes a whole coded body, in a coding canDecodeWhole() takes: the
// decoded bytes, or null when they would be more than WHOLE_DECODED_MAX.
// Throws zlib's error for a body that does not decode.
function decodeWhole(contentEncoding, coded) {
  const decode = WHOLE_DECODERS[codingName(contentEncoding)];
  try {
    return decode(coded, { maxOutputLength: WHOLE_DECODED_MAX });
  } catch (err) {
    if (err.code === 'ERR_BUFFER_TOO_LARGE') return null;
    throw err;
  }
}

// A stream that removes the response's coding, or null for none we decode.
// `highWaterMark`, when given, is the stream's mark on both sides.
function decoderFor(contentEncoding, highWaterMark) {
  const opts = { chunkSize: DECODER_CHUNK };
  if (highWaterMark !== undefined) opts.highWaterMark = highWaterMark;
  switch (codingName(contentEncoding)) {
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

module.exports = {
  parseAcceptEncoding, accepts, requestedEncoding, decoderFor, canDecode, canDecodeWhole, decodeWhole, WHOLE_CODED_MAX,
};
