'use strict';
// relay(): one admin API request to an appliance through the query daemon,
// without blocking the event loop.  Node's HTTP client composes the request
// and parses the reply over a QueryStream; zlib removes a content coding the
// client does not take.  Resolves with the response head and a body stream.
const http = require('http');
const util = require('util');
const diagnostics = require('diagnostics_channel');
const { Readable } = require('stream');
const { QueryStream, READ_HIGH_WATER_MARK } = require('./query_stream');
const { CODES, AbortError, zelError, argError } = require('./errors');
const {
  accepts, requestedEncoding, decoderFor, canDecode, canDecodeWhole, decodeWhole, WHOLE_CODED_MAX,
} = require('./encoding');
const { DEFAULT_SOCKET_PATH, DEFAULT_TIMEOUT } = require('./defaults');

const debug = util.debuglog('zel');
// NODE_DEBUG is read once, at start-up: without it no debug line is built.
const debugging = debug.enabled;
const channel = diagnostics.channel('node-zel-mod:relay');

const TOKEN = /^[!#$%&'*+\-.^_`|~0-9A-Za-z]+$/;
// Fields the relay owns: identity, framing and the connection.  Names are
// compared with '_' read as '-': CGI, WSGI and some proxies fold the two, so
// X-ADMIN_SUPER would reach an appliance as the identity field.
const RESERVED_FIELD = /^(x-zel-.*|x-admin-.*|host|content-length|transfer-encoding|connection|accept-encoding|keep-alive|proxy-connection|te|trailer|upgrade)$/i;
const isReservedField = (name) => RESERVED_FIELD.test(name.replace(/_/g, '-'));
// Methods a relay cannot carry: Node's client takes any answer to CONNECT
// as the start of a tunnel, and a relay is one request and one response.
const REFUSED_METHOD = /^CONNECT$/i;
// All response heads of a reply (informational ones included) fit in this.
const MAX_HEAD_BYTES = 64 * 1024;
const MAX_CONTENT_LENGTH = 2 ** 31 - 1;
const BLANK_LINE_END = Buffer.from('\r\n\r\n');
// The longest chain the first request datagram has room for, with its NUL.
const MAX_SERIALS_BYTES = 3555;
const MAX_SOCKET_PATH_BYTES = 107;

let nextId = 1;

function typeName(v) {
  if (v === null) return 'null';
  if (typeof v === 'object') return v.constructor ? `an instance of ${v.constructor.name}` : 'an object';
  return `type ${typeof v} (${util.inspect(v)})`;
}

function mustBeString(name, v) {
  if (typeof v !== 'string') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "${name}" property must be of type string. Received ${typeName(v)}`);
  }
}

// CR, LF and NUL are refused with Node's ERR_INVALID_CHAR in any text that
// reaches the request head; other controls too.
function checkText(name, v) {
  mustBeString(name, v);
  if (/[\r\n\0]/.test(v)) throw argError('ERR_INVALID_CHAR', `Invalid character in "${name}"`);
  http.validateHeaderValue(name, v);
}

// The parts of a request a client of an admin server chooses: method,
// serial chain, target path and Accept-Encoding.  Throws Node's option errors.
function checkTarget(o) {
  const method = o.method === undefined ? 'GET' : o.method;
  mustBeString('method', method);
  if (/[\r\n\0]/.test(method)) throw argError('ERR_INVALID_CHAR', 'Invalid character in "method"');
  if (!TOKEN.test(method)) throw argError('ERR_INVALID_ARG_VALUE', `The "method" property must be an HTTP token. Received ${util.inspect(method)}`);
  if (REFUSED_METHOD.test(method)) throw argError('ERR_INVALID_ARG_VALUE', `The "method" property cannot be ${method}: a relay carries one request and one response`);

  checkText('serials', o.serials);
  // A chain names at least two serials, none of them empty; the daemon
  // routes by them, so one that is empty or holds a blank is no chain.
  if (!o.serials.includes(':') || /\s|^:|::|:$/.test(o.serials)) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "serials" property must be a chain SRC:...:DST of non-empty serials. Received ${util.inspect(o.serials)}`);
  }
  if (Buffer.byteLength(o.serials) > MAX_SERIALS_BYTES) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "serials" property is longer than ${MAX_SERIALS_BYTES} bytes`);
  }

  mustBeString('path', o.path);
  if (/[\r\n\0]/.test(o.path)) throw argError('ERR_INVALID_CHAR', 'Invalid character in "path"');
  if (!o.path.startsWith('/') || /[^\u0021-\u007e]/.test(o.path)) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "path" property must be an origin-form target ("/..." of visible ASCII). Received ${util.inspect(o.path)}`);
  }

  if (o.acceptEncoding !== undefined) checkText('acceptEncoding', o.acceptEncoding);
  return method;
}

// The administrator's fields, as the identity fields carry them.
function checkAdmin(admin) {
  if (admin === null || typeof admin !== 'object') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "admin" property must be of type object. Received ${typeName(admin)}`);
  }
  checkText('admin.name', admin.name);
  checkText('admin.profile', admin.profile);
  if (typeof admin.superAdmin !== 'boolean') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "admin.superAdmin" property must be of type boolean. Received ${typeName(admin.superAdmin)}`);
  }
}

// A time limit in ms: absent, or a number above 0 that a timer can hold.
function checkMs(name, v) {
  if (v === undefined) return;
  if (typeof v !== 'number') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "${name}" property must be of type number. Received ${typeName(v)}`);
  }
  if (!(v > 0 && v <= 2 ** 31 - 1)) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "${name}" property must be > 0 and <= 2147483647. Received ${v}`);
  }
}

// Returns the checked, filled-in options; throws Node's option errors.
function checkOptions(o) {
  if (o === null || typeof o !== 'object') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "options" argument must be of type object. Received ${typeName(o)}`);
  }
  const method = checkTarget(o);
  const admin = o.admin;
  checkAdmin(admin);

  let body = null;
  if (o.body !== undefined && o.body !== null) {
    if (typeof o.body === 'string') body = Buffer.from(o.body);
    else if (o.body instanceof Uint8Array) body = Buffer.from(o.body.buffer, o.body.byteOffset, o.body.byteLength);
    else throw argError('ERR_INVALID_ARG_TYPE', `The "body" property must be a string, Buffer or Uint8Array. Received ${typeName(o.body)}`);
  }

  const headers = [];
  if (o.headers !== undefined) {
    if (o.headers === null || typeof o.headers !== 'object') {
      throw argError('ERR_INVALID_ARG_TYPE', `The "headers" property must be of type object. Received ${typeName(o.headers)}`);
    }
    for (const [name, value] of Object.entries(o.headers)) {
      http.validateHeaderName(name);
      if (isReservedField(name)) {
        throw argError('ERR_INVALID_ARG_VALUE', `The header field "${name}" is set by the relay and cannot be given`);
      }
      const v = typeof value === 'number' ? String(value) : value;
      checkText(`headers["${name}"]`, v);
      headers.push([name, v]);
    }
  }

  const socketPath = o.socketPath === undefined ? DEFAULT_SOCKET_PATH : o.socketPath;
  mustBeString('socketPath', socketPath);
  if (socketPath === '' || socketPath.includes('\0') || Buffer.byteLength(socketPath) > MAX_SOCKET_PATH_BYTES) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "socketPath" property must be a socket path of 1 to ${MAX_SOCKET_PATH_BYTES} bytes`);
  }

  const timeout = o.timeout === undefined ? DEFAULT_TIMEOUT : o.timeout;
  checkMs('timeout', timeout);
  checkMs('deadline', o.deadline);

  const signal = o.signal;
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw argError('ERR_INVALID_ARG_TYPE', `The "signal" property must be an instance of AbortSignal. Received ${typeName(signal)}`);
  }
  return {
    method, serials: o.serials, path: o.path, acceptEncoding: o.acceptEncoding, admin, body, headers,
    socketPath, timeout, deadline: o.deadline, signal,
  };
}

// The request's header fields, in the order they are sent, as the flat
// name, value, ... list Node's client takes.
function requestFields(o) {
  const serials = o.serials;
  const fields = ['Host', '127.0.0.1', 'Accept-Encoding', requestedEncoding(o.acceptEncoding), 'User-Agent', 'Norvane ZEL'];
  for (const [name, value] of o.headers) fields.push(name, value);
  if (o.body) fields.push('Content-Length', String(o.body.length));
  fields.push(
    'X-ZEL-SN', serials.slice(serials.lastIndexOf(':') + 1),
    // A chain holds no empty serial (checkTarget), so the first is its source.
    'X-ZEL-SOURCE-SN', serials.slice(0, serials.indexOf(':')),
    'X-ADMIN-NAME', `ZL_${o.admin.name}`,
    'X-ADMIN-PERMISSIONS', o.admin.profile,
    'X-ADMIN-SUPER', o.admin.superAdmin ? '1' : '0',
    'Connection', 'close',
  );
  return fields;
}

// Replaces what Node's HTTP client reports for a broken exchange with this
// package's codes; this package's own errors pass unchanged.
function exchangeError(err, phase) {
  if (err && Object.values(CODES).includes(err.code)) return err;
  const what = phase === 'head' ? 'the reply has no valid HTTP response head' : 'the reply\'s HTTP body is malformed or cut short';
  return zelError(CODES.BAD_REPLY, `${what}${err ? ` (${err.code || err.message})` : ''}`, { cause: err });
}

const badReply = (message) => zelError(CODES.BAD_REPLY, message);
// What a body stage closed before its end fails the relay with, as
// stream.pipeline would.
const prematureClose = () => Object.assign(new Error('Premature close'), { code: 'ERR_STREAM_PREMATURE_CLOSE' });

// Why a response head Node's parser took cannot be relayed, or null.  The
// parser already refuses control bytes in field values, field names that
// are not tokens, statuses of other than three digits, repeated or listed
// Content-Length fields and Content-Length beside Transfer-Encoding.
function headFault(res) {
  const status = res.statusCode;
  if (!(status >= 100 && status <= 999)) return `its status ${String(status).padStart(3, '0')} is not 100 to 999`;
  if (/[\0-\x08\x0a-\x1f\x7f]/.test(res.statusMessage)) return 'its reason phrase holds a control character';
  const length = res.headers['content-length'];
  if (length !== undefined && !(/^[0-9]+$/.test(length) && Number(length) <= MAX_CONTENT_LENGTH)) {
    return `its Content-Length ${util.inspect(length)} is not a decimal number up to ${MAX_CONTENT_LENGTH}`;
  }
  // Only chunked is a transfer coding Node's client removes: any other
  // would reach the caller as body bytes, with nothing saying so.
  const coding = res.headers['transfer-encoding'];
  if (coding !== undefined && coding.trim().toLowerCase() !== 'chunked') {
    return `its Transfer-Encoding ${util.inspect(coding)} is not chunked alone`;
  }
  return null;
}

// How many bytes may follow the head: none for a bodiless response,
// Content-Length's count, or any (chunked, which ends itself, or a body
// delimited by the reply's end).
function bodyLimit(res, method) {
  const status = res.statusCode;
  if (method === 'HEAD' || status === 204 || status === 304) return 0;
  if (res.headers['transfer-encoding'] === undefined && res.headers['content-length'] !== undefined) {
    return Number(res.headers['content-length']);
  }
  return Infinity;
}

// The response's fields as given to the caller: framing is removed, and the
// coding too when the body is decoded.
function callerHeaders(res, decoded) {
  // The response object is the relay's own, never the caller's: its field
  // object is handed on rather than copied.
  const out = res.headers;
  if (out['transfer-encoding'] !== undefined) delete out['transfer-encoding'];
  if (decoded) {
    delete out['content-encoding'];
    delete out['content-length'];
  }
  return out;
}

// The body as the caller reads it: what its source stage (the response, or
// a decoder) gives, passed on with back-pressure.  It ends only once the
// daemon's final datagram has come with nothing after the response, so no
// caller takes a reply for whole that went on past its end.  A Readable fed
// by hand costs a small relay less than a Transform joined with pipe().
class ReplyBody extends Readable {
  constructor(awaitFinal) {
    super({ highWaterMark: READ_HIGH_WATER_MARK });
    this._awaitFinal = awaitFinal;
    this._source = null;
    // Body bytes handed on, decoded where the body is decoded.
    this.bytesPassed = 0;
  }

  // Passes on what `source` gives, and ends after it.
  from(source) {
    this._source = source;
    source.on('data', (chunk) => {
      this.bytesPassed += chunk.length;
      if (!this.push(chunk)) source.pause();
    });
    source.once('end', () => this._awaitFinal(() => this.push(null)));
  }

  // Takes all that `source` gives (a short body: nothing holds it back) and
  // passes on what decode() makes of it at its end: the decoded bytes, or a
  // stream that decodes them.  A throw from decode() errors the body.
  fromWhole(source, decode) {
    this._source = source;
    const pieces = [];
    source.on('data', (chunk) => pieces.push(chunk));
    source.once('end', () => {
      let out;
      try {
        out = decode(pieces.length === 1 ? pieces[0] : Buffer.concat(pieces));
      } catch (err) {
        this.destroy(err);
        return;
      }
      if (!Buffer.isBuffer(out)) {
        this.from(out);
        return;
      }
      this.bytesPassed += out.length;
      if (out.length > 0) this.push(out);
      this._awaitFinal(() => this.push(null));
    });
  }

  _read() {
    if (this._source?.isPaused()) this._source.resume();
  }
}

// The error of a relay whose signal aborted: a time-out when the signal's
// reason is one (AbortSignal.timeout()), else an AbortError.
function abortError(signal) {
  const reason = signal.reason;
  if (reason?.name === 'TimeoutError') {
    return zelError(CODES.TIMEOUT, 'the relay\'s signal timed out', { cause: reason });
  }
  return new AbortError(undefined, { cause: reason });
}

function relay(options) {
  let o;
  try {
    o = checkOptions(options);
  } catch (err) {
    return Promise.reject(err);
  }
  const id = nextId++;
  const trace = { id, serials: o.serials, method: o.method, path: o.path, socketPath: o.socketPath };
  if (o.signal?.aborted) return Promise.reject(abortError(o.signal));

  return new Promise((resolve, reject) => {
    if (debugging) debug('relay %d: %s %s via %s', id, o.method, o.path, o.serials);
    if (channel.hasSubscribers) channel.publish({ event: 'start', ...trace });
    const startedAt = performance.now();
    let headMs = null;

    const conn = new QueryStream({ socketPath: o.socketPath, serials: o.serials, timeout: o.timeout });
    conn.splitHeads = true;
    let req = null;
    let res = null;
    let body = null;
    let settled = false;
    let ended = false;
    let finalCame = false;
    let onFinal = null;
    let headBytes = 0;
    let bodyBytes = 0;
    let limit = Infinity;
    let tail = null;

    const finish = (err) => {
      if (ended) return;
      ended = true;
      clearTimeout(deadlineTimer);
      o.signal?.removeEventListener('abort', onAbort);
      const delivered = tail ? tail.bytesPassed : 0;
      if (debugging) debug('relay %d: %s, %d reply bytes, %d body bytes', id, err ? `failed: ${err.code} ${err.message}` : 'done',
        conn.bytesRead, delivered);
      if (channel.hasSubscribers) {
        channel.publish({
          event: 'end', ...trace, headMs, totalMs: performance.now() - startedAt,
          replyBytes: conn.bytesRead, bodyBytes: delivered, bytes: conn.bytesRead, error: err || null,
        });
      }
    };
    // Every failure ends here: the promise is rejected, or the body errors,
    // and the query is closed at once, whatever state the HTTP client is in.
    const fail = (err) => {
      clearTimeout(headTimer);
      if (!settled) {
        settled = true;
        finish(err);
        reject(err);
        if (res && !res.destroyed) res.destroy();
      } else {
        if (body && !body.destroyed) body.destroy(err);
        if (res && !res.destroyed) res.destroy(err);
      }
      if (!conn.destroyed) conn.destroy();
      if (req && !req.destroyed) req.destroy();
    };
    // Waiting for the head does not depend on the HTTP client's events: this
    // fires `timeout` ms after the latest reply datagram, or after the start.
    const headTimer = setTimeout(() => {
      fail(zelError(CODES.TIMEOUT, `no response head came: no reply datagram for ${o.timeout} ms`));
    }, o.timeout);
    // The whole exchange, head and body, ends by the deadline; a body still
    // coming then errors with the time-out.
    const deadlineTimer = o.deadline === undefined ? null : setTimeout(() => {
      fail(zelError(CODES.TIMEOUT, `the relay did not end within its deadline of ${o.deadline} ms`, { deadline: o.deadline }));
    }, o.deadline);
    function onAbort() {
      fail(abortError(o.signal));
    }
    o.signal?.addEventListener('abort', onAbort, { once: true });

    // Registered before the HTTP client's own listeners: the body gets the
    // query's real error rather than a generic "aborted", and each payload
    // piece is counted before the parser sees it.
    conn.on('error', (err) => fail(exchangeError(err, res ? 'body' : 'head')));
    conn.on('data', (piece) => {
      if (!res) {
        headTimer.refresh();
        headBytes += piece.length;
        if (headBytes > MAX_HEAD_BYTES) fail(badReply(`the reply has no response head within its first ${MAX_HEAD_BYTES} bytes`));
        return;
      }
      bodyBytes += piece.length;
      if (res.complete || bodyBytes > limit) fail(badReply('the reply holds bytes after the end of its HTTP response'));
    });
    conn.on('end', () => {
      finalCame = true;
      onFinal?.();
    });
    conn.on('close', () => {
      if (!settled) fail(exchangeError(conn.errored, 'head'));
      else if (res && !res.complete) fail(exchangeError(conn.errored, 'body'));
      // Node's client closes the query itself when a second response head
      // follows the first.
      else if (!finalCame) fail(conn.errored ? exchangeError(conn.errored, 'body') : badReply('the reply holds bytes after the end of its HTTP response'));
    });

    // A chunked body ends itself, inside some payload piece.  Bytes after
    // that end in the same piece are refused by Node's parser, or taken as
    // the start of another response: a whole one closes the query (seen
    // above), a part of one waits unseen.  Since the body always ends with
    // an empty line, a piece that completes it and does not end with one
    // held more.  Listens after the parser, so res.complete is up to date.
    function watchChunkedEnd() {
      let last = Buffer.alloc(0);
      const onPiece = (piece) => {
        const tail = Buffer.concat([last, piece.subarray(-4)]).subarray(-4);
        if (!res.complete) {
          last = tail;
          return;
        }
        conn.off('data', onPiece);
        if (!tail.equals(BLANK_LINE_END)) fail(badReply('the reply holds bytes after the end of its HTTP response'));
      };
      conn.on('data', onPiece);
    }

    req = http.request({
      method: o.method,
      path: o.path,
      headers: requestFields(o),
      setHost: false,
      createConnection: () => conn,
    });
    req.on('error', (err) => fail(exchangeError(err, res ? 'body' : 'head')));
    req.on('finish', () => conn.commit());
    // A relay carries one request and one response: a switch to another
    // protocol cannot be relayed.
    req.on('upgrade', (r) => fail(badReply(`the appliance answered ${r.statusCode} Switching Protocols, which a relay cannot carry`)));
    req.on('response', (r) => {
      res = r;
      conn.splitHeads = false;
      if (settled) return fail(new AbortError());
      clearTimeout(headTimer);
      const fault = headFault(r);
      if (fault) return fail(badReply(`the reply's response head cannot be relayed: ${fault}`));
      limit = bodyLimit(r, req.method);
      if (limit !== 0 && r.headers['transfer-encoding'] !== undefined) watchChunkedEnd();

      const coding = r.headers['content-encoding'];
      const decoded = Boolean(coding) && !accepts(o.acceptEncoding, coding) && canDecode(coding);
      // Every stage: an error in any, or one closed before its end, fails
      // the relay, which destroys every stage and closes the query.  The
      // stages are wired by hand rather than with stream.pipeline, whose
      // set-up and clean-up cost a small relay more than its transfer does.
      const watchStage = (stage) => {
        stage.on('error', fail);
        stage.on('close', () => {
          if (!stage.readableEnded) fail(prematureClose());
        });
      };
      // A body that does not decode is a malformed reply; the consumer sees
      // the error with this package's code, zlib's kept in zlibCode.
      const asBadBody = (err) => {
        if (err.code && err.code.startsWith('Z_')) {
          err.zlibCode = err.code;
          err.code = CODES.BAD_REPLY;
          err.message = `the reply's body could not be decoded (${coding}): ${err.message}`;
        }
        return err;
      };
      const newDecoder = () => {
        const decoder = decoderFor(coding, READ_HIGH_WATER_MARK);
        decoder.prependListener('error', asBadBody);
        watchStage(decoder);
        return decoder;
      };
      tail = new ReplyBody((cb) => {
        if (finalCame) return cb();
        onFinal = cb;
        conn.resume();
        return undefined;
      });
      watchStage(r);
      watchStage(tail);
      // A response that may carry no body (to HEAD, 204, 304) has nothing
      // to decode, whatever its coding.
      if (!decoded || limit === 0) {
        tail.from(r);
      } else if (limit <= WHOLE_CODED_MAX && canDecodeWhole(coding)) {
        tail.fromWhole(r, (coded) => {
          let out;
          try {
            out = decodeWhole(coding, coded);
          } catch (err) {
            throw asBadBody(err);
          }
          if (out) return out;
          const decoder = newDecoder();
          decoder.end(coded);
          return decoder;
        });
      } else {
        const decoder = newDecoder();
        r.pipe(decoder);
        tail.from(decoder);
      }
      body = tail;
      body.once('end', () => finish(null));
      body.once('close', () => {
        if (!ended) finish(body.errored || new AbortError('The body was destroyed before its end'));
      });
      settled = true;
      headMs = performance.now() - startedAt;
      if (debugging) debug('relay %d: %d, %s', id, r.statusCode, decoded ? `decoding ${coding}` : 'as sent');
      if (channel.hasSubscribers) channel.publish({ event: 'head', ...trace, statusCode: r.statusCode, headMs });
      resolve({ statusCode: r.statusCode, headers: callerHeaders(r, decoded), body });
      return undefined;
    });
    req.end(o.body ?? undefined);
  });
}

module.exports = { relay, checkOptions, checkTarget, checkAdmin, checkMs, isReservedField };
