'use strict';
// relay(): one admin API request to an appliance through the query daemon,
// without blocking the event loop.  Node's HTTP client composes the request
// and parses the reply over a QueryStream; zlib removes a content coding the
// client does not take.  Resolves with the response head and a body stream.
const http = require('http');
const util = require('util');
const diagnostics = require('diagnostics_channel');
const { pipeline } = require('stream');
const { QueryStream } = require('./query_stream');
const { CODES, AbortError, zelError, argError } = require('./errors');
const { accepts, requestedEncoding, decoderFor } = require('./encoding');
const { DEFAULT_SOCKET_PATH, DEFAULT_TIMEOUT } = require('./defaults');

const debug = util.debuglog('zel');
const channel = diagnostics.channel('node-zel-mod:relay');

const TOKEN = /^[!#$%&'*+\-.^_`|~0-9A-Za-z]+$/;
// Fields the relay owns: identity, framing and the connection.
const RESERVED_FIELD = /^(x-zel-.*|x-admin-.*|host|content-length|transfer-encoding|connection|accept-encoding)$/i;
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

// Returns the checked, filled-in options; throws Node's option errors.
function checkOptions(o) {
  if (o === null || typeof o !== 'object') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "options" argument must be of type object. Received ${typeName(o)}`);
  }
  const method = o.method === undefined ? 'GET' : o.method;
  mustBeString('method', method);
  if (/[\r\n\0]/.test(method)) throw argError('ERR_INVALID_CHAR', 'Invalid character in "method"');
  if (!TOKEN.test(method)) throw argError('ERR_INVALID_ARG_VALUE', `The "method" property must be an HTTP token. Received ${util.inspect(method)}`);

  checkText('serials', o.serials);
  if (!o.serials.includes(':') || /\s/.test(o.serials)) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "serials" property must be a chain SRC:...:DST. Received ${util.inspect(o.serials)}`);
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

  const admin = o.admin;
  if (admin === null || typeof admin !== 'object') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "admin" property must be of type object. Received ${typeName(admin)}`);
  }
  checkText('admin.name', admin.name);
  checkText('admin.profile', admin.profile);
  if (typeof admin.superAdmin !== 'boolean') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "admin.superAdmin" property must be of type boolean. Received ${typeName(admin.superAdmin)}`);
  }

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
      if (RESERVED_FIELD.test(name)) {
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
  if (typeof timeout !== 'number') {
    throw argError('ERR_INVALID_ARG_TYPE', `The "timeout" property must be of type number. Received ${typeName(timeout)}`);
  }
  if (!(timeout > 0 && timeout <= 2 ** 31 - 1)) {
    throw argError('ERR_INVALID_ARG_VALUE', `The "timeout" property must be > 0 and <= 2147483647. Received ${timeout}`);
  }

  const signal = o.signal;
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw argError('ERR_INVALID_ARG_TYPE', `The "signal" property must be an instance of AbortSignal. Received ${typeName(signal)}`);
  }
  return {
    method, serials: o.serials, path: o.path, acceptEncoding: o.acceptEncoding, admin, body, headers,
    socketPath, timeout, signal,
  };
}

// The request's header fields, in the order they are sent.
function requestFields(o) {
  const chain = o.serials.split(':');
  const fields = [
    ['Host', '127.0.0.1'],
    ['Accept-Encoding', requestedEncoding(o.acceptEncoding)],
    ['User-Agent', 'Norvane ZEL'],
    ...o.headers,
  ];
  if (o.body) fields.push(['Content-Length', String(o.body.length)]);
  fields.push(
    ['X-ZEL-SN', chain[chain.length - 1]],
    ['X-ZEL-SOURCE-SN', chain.find((s) => s !== '') ?? ''],
    ['X-ADMIN-NAME', `ZL_${o.admin.name}`],
    ['X-ADMIN-PERMISSIONS', o.admin.profile],
    ['X-ADMIN-SUPER', o.admin.superAdmin ? '1' : '0'],
    ['Connection', 'close'],
  );
  return fields.flat();
}

// Replaces what Node's HTTP client reports for a broken exchange with this
// package's codes; this package's own errors pass unchanged.
function exchangeError(err, phase) {
  if (err && Object.values(CODES).includes(err.code)) return err;
  const what = phase === 'head' ? 'the reply has no valid HTTP response head' : 'the reply\'s HTTP body is malformed or cut short';
  return zelError(CODES.BAD_REPLY, `${what}${err ? ` (${err.code || err.message})` : ''}`, { cause: err });
}

// The response's fields as given to the caller: framing is removed, and the
// coding too when the body is decoded.
function callerHeaders(res, decoded) {
  const out = { ...res.headers };
  delete out['transfer-encoding'];
  if (decoded) {
    delete out['content-encoding'];
    delete out['content-length'];
  }
  return out;
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
  if (o.signal?.aborted) return Promise.reject(new AbortError(undefined, { cause: o.signal.reason }));

  return new Promise((resolve, reject) => {
    debug('relay %d: %s %s via %s', id, o.method, o.path, o.serials);
    if (channel.hasSubscribers) channel.publish({ event: 'start', ...trace });

    const conn = new QueryStream({ socketPath: o.socketPath, serials: o.serials, timeout: o.timeout });
    let res = null;
    let body = null;
    let settled = false;
    let ended = false;

    const finish = (err) => {
      if (ended) return;
      ended = true;
      o.signal?.removeEventListener('abort', onAbort);
      debug('relay %d: %s, %d reply bytes', id, err ? `failed: ${err.code} ${err.message}` : 'done', conn.bytesRead);
      if (channel.hasSubscribers) channel.publish({ event: 'end', ...trace, bytes: conn.bytesRead, error: err || null });
    };
    const fail = (err) => {
      if (!settled) {
        settled = true;
        finish(err);
        reject(err);
      } else if (res && !res.destroyed) {
        res.destroy(err);
      }
    };
    function onAbort() {
      conn.destroy(new AbortError(undefined, { cause: o.signal.reason }));
    }
    o.signal?.addEventListener('abort', onAbort, { once: true });

    // Registered before the HTTP client's own listeners, so the body gets
    // the query's real error rather than a generic "aborted".
    conn.on('error', (err) => fail(exchangeError(err, res ? 'body' : 'head')));
    conn.on('close', () => {
      if (res && !res.complete && !res.destroyed) res.destroy(exchangeError(null, 'body'));
    });

    const req = http.request({
      method: o.method,
      path: o.path,
      headers: requestFields(o),
      setHost: false,
      createConnection: () => conn,
    });
    req.on('error', (err) => fail(exchangeError(err, res ? 'body' : 'head')));
    req.on('finish', () => conn.commit());
    req.on('response', (r) => {
      res = r;
      const coding = r.headers['content-encoding'];
      const decoder = coding && !accepts(o.acceptEncoding, coding) ? decoderFor(coding) : null;
      if (decoder) {
        // A body that does not decode is a malformed reply; the consumer
        // sees the error with this package's code, zlib's kept in zlibCode.
        decoder.prependListener('error', (err) => {
          if (err.code && err.code.startsWith('Z_')) {
            err.zlibCode = err.code;
            err.code = CODES.BAD_REPLY;
            err.message = `the reply's body could not be decoded (${coding}): ${err.message}`;
          }
        });
        body = pipeline(r, decoder, (err) => { if (err) finish(err); });
      } else {
        body = r;
      }
      body.once('end', () => finish(null));
      body.once('close', () => {
        if (!ended) finish(body.errored || new AbortError('The body was destroyed before its end'));
      });
      settled = true;
      debug('relay %d: %d, %s', id, r.statusCode, decoder ? `decoding ${coding}` : 'as sent');
      if (channel.hasSubscribers) channel.publish({ event: 'head', ...trace, statusCode: r.statusCode });
      resolve({ statusCode: r.statusCode, headers: callerHeaders(r, Boolean(decoder)), body });
    });
    req.end(o.body ?? undefined);
  });
}

module.exports = { relay, checkOptions };
