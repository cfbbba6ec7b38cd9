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

// Output pieces of up to 256 KiB rather than zlib's 16 KiB: a sixteenth of
// the trips to the thread pool and of the pushes down the body.  zlib takes
// a piece's room when the stream is made, so a body whose length is known to
// be short gets a piece in proportion (four times its length, at least
// zlib's 16 KiB): 256 KiB taken and given back for a 200-byte body cost
// more than the whole relay.
const DECODER_CHUNK = 256 * 1024;
const MIN_DECODER_CHUNK = 16 * 1024;

function chunkFor(codedLength) {
  if (!(codedLength >= 0) || codedLength * 4 >= DECODER_CHUNK) return DECODER_CHUNK;
  let chunk = MIN_DECODER_CHUNK;
  while (chunk < codedLength * 4) chunk *= 2;
  return chunk;
}

// A coded body up to this length is decoded in one call on the loop's own
// thread once it has all come, rather than by a stream: each stream's trips
// to the thread pool cost more than a relay of 200 bytes does.  The output of
// one such call is bounded (half a millisecond of the loop); a body that
// decodes to more is decoded by a stream after all.
const WHOLE_CODED_MAX = 64 * 1024;
const WHOLE_DECODED_MAX = 512 * 1024;

const WHOLE_DECODERS = {
  gzip: zlib.gunzipSync,
  'x-gzip': zlib.gunzipSync,
  deflate: zlib.inflateSync,
  br: zlib.brotliDecompressSync,
};

// True for a coding decoderFor() and decodeWhole() remove.
function canDecode(contentEncoding) {
  return Object.hasOwn(WHOLE_DECODERS, String(contentEncoding || '').trim().toLowerCase());
}

// Decodes a whole coded body: the decoded bytes, or null when they would be
// more than WHOLE_DECODED_MAX.  Throws zlib's error for a body that does not
// decode.
function decodeWhole(contentEncoding, coded) {
  const decode = WHOLE_DECODERS[String(contentEncoding || '').trim().toLowerCase()];
  try {
    return decode(coded, { maxOutputLength: WHOLE_DECODED_MAX });
  } catch (err) {
    if (err.code === 'ERR_BUFFER_TOO_LARGE') return null;
    throw err;
  }
}

// A stream that removes the response's coding, or null for none we decode.
// `highWaterMark`, when given, is the stream's mark on both sides;
// `codedLength`, when known, the length of the coded body.
function decoderFor(contentEncoding, highWaterMark, codedLength) {
  const opts = { chunkSize: chunkFor(codedLength) };
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

module.exports = {
  parseAcceptEncoding, accepts, requestedEncoding, decoderFor, chunkFor, canDecode, decodeWhole, WHOLE_CODED_MAX, WHOLE_DECODED_MAX,
};
