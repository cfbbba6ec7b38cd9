'use strict';
// createRelayHandler(): a node:http (req, res) handler, usable as Express or
// Connect middleware, that relays <prefix>/<SRC>:<DST>/<path> with relay()
// and pipes the appliance's answer into the response with back-pressure.
// The answer's fields pass filterResponseHeaders (or the integrator's own
// choice) so an appliance cannot act on the admin server's origin.
const http = require('http');
const util = require('util');
const { pipeline } = require('stream');
const { relay, checkTarget, checkAdmin, checkMs, isReservedField } = require('./relay');
const { CODES, HANDLER_CODES, AbortError, argError, zelError, httpFailure } = require('./errors');
const { filterResponseHeaders, withoutHopByHop, ADDED_FIELDS } = require('./response_headers');
const { DEFAULT_MAX_BODY_BYTES, DEFAULT_SOCKET_PATH } = require('./defaults');

const debug = util.debuglog('zel');

// The client's fields passed on by default: end-to-end fields that describe
// what the client wants and sends.  Identity, credentials and framing are not
// among them.
const DEFAULT_FORWARD_HEADERS = Object.freeze([
  'accept', 'accept-language', 'content-type', 'content-language',
  'if-match', 'if-none-match', 'if-modified-since', 'if-unmodified-since', 'if-range', 'range',
  'cache-control', 'x-request-id', 'traceparent',
]);

// A relay, body included, ends within this many ms unless the integrator
// chooses otherwise: a slow appliance cannot hold a client for ever.
const DEFAULT_DEADLINE = 120000;

// The handler's own answers quote what an appliance sent, so they carry the
// same protection as a relayed response.
function sendJson(res, status, value, fields = {}) {
  if (res.headersSent || res.destroyed) return;
  const text = JSON.stringify(value) + '\n';
  res.writeHead(status, {
    ...fields, ...ADDED_FIELDS, 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text),
  });
  res.end(text);
}

// Splits "<prefix>/<chain>/<rest>?<query>"; returns { serials, path } or
// null when the URL lies outside the prefix.
function splitUrl(prefix, url) {
  if (!url.startsWith(prefix + '/')) return null;
  const rest = url.slice(prefix.length + 1);
  const end = rest.search(/[/?]/);
  const serials = end < 0 ? rest : rest.slice(0, end);
  const tail = end < 0 ? '' : rest.slice(end);
  return { serials, path: tail.startsWith('/') ? tail : '/' + tail };
}

// The request's URL below the point the handler is mounted at, and that
// point.  Express and Connect strip a mount path from req.url and keep the
// URL as it came in req.originalUrl; Express keeps the mount path in
// req.baseUrl, and under Connect it is what req.originalUrl has before
// req.url.  The chain is read from req.originalUrl after the mount path.
function mountedUrl(req) {
  const original = req.originalUrl;
  let base = req.baseUrl;
  if (typeof base !== 'string' && typeof original === 'string' && typeof req.url === 'string'
      && original !== req.url && original.endsWith(req.url)) {
    base = original.slice(0, original.length - req.url.length);
  }
  if (typeof base === 'string' && base !== '' && typeof original === 'string' && original.startsWith(base)) {
    const rest = original.slice(base.length);
    return { base, url: rest.startsWith('/') ? rest : '/' + rest };
  }
  return { base: '', url: req.url };
}

function declaresBody(req) {
  const length = req.headers['content-length'];
  return req.headers['transfer-encoding'] !== undefined || (length !== undefined && length !== '0');
}

const isJsonType = (type) => /^\s*application\/([\w.+-]*\+)?json\s*(;|$)/i.test(type || '');

// The body a body parser mounted before the handler left in req.body: bytes
// and text as they are, a parsed JSON document as JSON again.  Anything else
// cannot be relayed as the client sent it.
function parsedBody(req) {
  const b = req.body;
  if (Buffer.isBuffer(b)) return b;
  if (b instanceof Uint8Array) return Buffer.from(b.buffer, b.byteOffset, b.byteLength);
  if (typeof b === 'string') return Buffer.from(b);
  if (b !== undefined && typeof b !== 'function' && isJsonType(req.headers['content-type'])) {
    return Buffer.from(JSON.stringify(b));
  }
  if (b === undefined && !declaresBody(req)) return Buffer.alloc(0);
  throw zelError(HANDLER_CODES.BODY_CONSUMED, 'the request body was read by a body parser before the relay handler, '
    + 'and req.body holds nothing that can be relayed as the client sent it: mount the relay handler before body '
    + 'parsers such as express.json() and express.urlencoded()');
}

// Reads the request body up to `limit` bytes; resolves with a Buffer, or
// null when the body is larger (the rest is discarded unread).
function readBody(req, limit) {
  const declared = Number(req.headers['content-length']);
  if (declared > limit) {
    req.resume();
    return Promise.resolve(null);
  }
  return new Promise((resolve, reject) => {
    const parts = [];
    let size = 0;
    const onData = (d) => {
      size += d.length;
      if (size > limit) {
        req.off('data', onData);
        req.resume();
        resolve(null);
        return;
      }
      parts.push(d);
    };
    req.on('data', onData);
    req.once('end', () => resolve(Buffer.concat(parts)));
    req.once('error', reject);
  });
}

// The request body, or null when it is larger than `limit`.  A stream nobody
// has read yet is read here (Express 4's body parsers set req.body = {} for
// requests they leave alone); one a parser read is never waited for.
async function requestBody(req, limit) {
  const b = req.readableDidRead || req.readableEnded ? parsedBody(req) : await readBody(req, limit);
  return b !== null && b.length > limit ? null : b;
}

// Turns the forwardHeaders option into a function of the request that
// returns the fields to pass on.  A list that names a field the relay owns
// is refused here; a function's result is cleared of such fields.
function forwardPlan(option) {
  if (typeof option === 'function') {
    return (req) => {
      const given = option(req);
      if (given === undefined || given === null) return {};
      if (typeof given !== 'object') {
        throw new TypeError('The "forwardHeaders" function returned no object of header fields');
      }
      const out = {};
      for (const [name, value] of Object.entries(given)) {
        if (value !== undefined && !isReservedField(name)) out[name] = value;
      }
      return out;
    };
  }
  if (!Array.isArray(option)) {
    throw argError('ERR_INVALID_ARG_TYPE', 'The "forwardHeaders" option must be a list of field names or a function (req) => fields');
  }
  const names = option.map((name) => {
    if (typeof name !== 'string') {
      throw argError('ERR_INVALID_ARG_TYPE', `The "forwardHeaders" option must list field names as strings. Received ${util.inspect(name)}`);
    }
    http.validateHeaderName(name);
    if (isReservedField(name)) {
      throw argError('ERR_INVALID_ARG_VALUE', `The "forwardHeaders" option names "${name}", a field the relay sets itself`);
    }
    return name.toLowerCase();
  });
  return (req) => {
    const out = {};
    for (const name of names) if (req.headers[name] !== undefined) out[name] = req.headers[name];
    return out;
  };
}

// onError must not break the server: whatever it throws or rejects with is
// turned into a process warning.
function callHook(hook, err, req) {
  if (!hook) return;
  const warn = (e) => process.emitWarning(`the relay handler's onError threw: ${e?.stack || e}`, { code: 'ZEL_ON_ERROR_THREW' });
  try {
    const ret = hook(err, req);
    if (ret && typeof ret.then === 'function') ret.then(undefined, warn);
  } catch (e) {
    warn(e);
  }
}

function createRelayHandler(options = {}) {
  const {
    prefix, identity, timeout, deadline = DEFAULT_DEADLINE, maxBodyBytes = DEFAULT_MAX_BODY_BYTES,
    socketPath = DEFAULT_SOCKET_PATH, responseHeaders = filterResponseHeaders, forwardHeaders = DEFAULT_FORWARD_HEADERS,
    onError,
  } = options;
  if (prefix !== undefined && (typeof prefix !== 'string' || (prefix !== '' && (!prefix.startsWith('/') || prefix.endsWith('/'))))) {
    throw argError('ERR_INVALID_ARG_VALUE', 'The "prefix" option must be "" or a path such as "/zel" (no trailing "/")');
  }
  if (typeof identity !== 'function') {
    throw argError('ERR_INVALID_ARG_TYPE', 'The "identity" option must be a function (req) => ({ name, profile, superAdmin })');
  }
  if (!Number.isSafeInteger(maxBodyBytes) || maxBodyBytes < 0) {
    throw argError('ERR_INVALID_ARG_VALUE', 'The "maxBodyBytes" option must be a non-negative integer');
  }
  if (typeof responseHeaders !== 'function') {
    throw argError('ERR_INVALID_ARG_TYPE', 'The "responseHeaders" option must be a function (headers, context) => headers');
  }
  if (onError !== undefined && typeof onError !== 'function') {
    throw argError('ERR_INVALID_ARG_TYPE', 'The "onError" option must be a function (err, req)');
  }
  if (typeof socketPath !== 'string' || socketPath === '') {
    throw argError('ERR_INVALID_ARG_VALUE', 'The "socketPath" option must be a socket path');
  }
  checkMs('timeout', timeout);
  checkMs('deadline', deadline);
  const forwarded = forwardPlan(forwardHeaders);

  return async function zelRelayHandler(req, res, next) {
    const hasNext = typeof next === 'function';
    const { base, url } = mountedUrl(req);
    // Mounted at a path, the handler owns everything below it.
    const own = prefix ?? (base ? '' : '/zel');
    const parts = splitUrl(own, url);
    if (!parts) {
      if (hasNext) return next();
      return sendJson(res, 404, { error: 'not a relay URL', expected: `${base}${own}/<SRC>:<DST>/<path>` });
    }
    const report = (err) => {
      debug('handler: %s %s failed: %s %s', req.method, req.url, err?.code, err?.message);
      callHook(onError, err, req);
    };
    const dst = parts.serials.split(':').pop();

    // What the client chose is checked before anything else happens.
    try {
      checkTarget({ method: req.method, serials: parts.serials, path: parts.path, acceptEncoding: req.headers['accept-encoding'] });
    } catch (err) {
      report(err);
      return sendJson(res, 400, { error: err.message, code: err.code });
    }

    // The relay stops at once when the client goes away.
    const ac = new AbortController();
    res.once('close', () => {
      if (!res.writableFinished) ac.abort();
    });
    let r = null;
    let sent = null;
    try {
      const body = await requestBody(req, maxBodyBytes);
      if (body === null) {
        res.setHeader('Connection', 'close');
        report(zelError(HANDLER_CODES.BODY_TOO_LARGE, `the request body is larger than ${maxBodyBytes} bytes`));
        return sendJson(res, 413, { error: `request body larger than ${maxBodyBytes} bytes`, code: HANDLER_CODES.BODY_TOO_LARGE });
      }

      // The identity is the server's: a failure is the server's, and its
      // message stays in the server.
      let admin;
      try {
        admin = await identity(req);
        try {
          checkAdmin(admin);
        } catch (err) {
          throw zelError(HANDLER_CODES.IDENTITY, `The "identity" function returned an administrator relay() refuses: ${err.message}`, { cause: err });
        }
      } catch (thrown) {
        // next() with nothing would go on to the next middleware.
        const err = thrown ?? zelError(HANDLER_CODES.IDENTITY, `The "identity" function threw ${thrown}`);
        report(err);
        if (hasNext) return next(err);
        return sendJson(res, 500, { error: 'the administrator of this request could not be established', code: HANDLER_CODES.IDENTITY });
      }

      r = await relay({
        serials: parts.serials,
        path: parts.path,
        method: req.method,
        acceptEncoding: req.headers['accept-encoding'],
        admin,
        body: body.length > 0 ? body : undefined,
        headers: forwarded(req),
        socketPath,
        timeout,
        deadline,
        signal: ac.signal,
      });
      sent = responseHeaders(withoutHopByHop(r.headers),
        { req, statusCode: r.statusCode, serials: parts.serials, path: parts.path });
      if (sent === null || typeof sent !== 'object') {
        throw new TypeError('The "responseHeaders" option returned no object of header fields');
      }
      res.writeHead(r.statusCode, sent);
      const { body: replyBody } = r;
      pipeline(replyBody, res, (err) => {
        if (!err) return;
        // The body's own error says why, whichever stream reported first; a
        // relay aborted because the client left says so.
        const cause = replyBody.errored || err;
        report(cause.code === CODES.ABORT && ac.signal.aborted
          ? new AbortError('The client closed the connection before the response ended', { cause }) : cause);
        // The status is out: a cut response is the only signal left.
        if (!res.destroyed) res.destroy();
      });
    } catch (err) {
      // Whatever failed, the query is closed now, not when the GC finds it.
      r?.body.destroy();
      report(err);
      if (res.headersSent || res.destroyed) {
        if (!res.destroyed) res.destroy();
        return undefined;
      }
      // A writeHead that threw may have set some of the fields already.
      if (sent && typeof sent === 'object') for (const name of Object.keys(sent)) res.removeHeader(name);
      if (err?.code === HANDLER_CODES.BODY_CONSUMED) {
        return sendJson(res, 500, { error: err.message, code: err.code });
      }
      // Once relay() has resolved, what fails is this server's own doing.
      const f = r ? httpFailure(null, dst) : httpFailure(err, dst);
      const payload = { error: f.message, code: f.code };
      if (f.replyCode !== undefined) payload.replyCode = f.replyCode;
      return sendJson(res, f.status, payload, f.retryAfter ? { 'Retry-After': String(f.retryAfter) } : {});
    }
    return undefined;
  };
}

module.exports = { createRelayHandler, splitUrl, mountedUrl, DEFAULT_FORWARD_HEADERS, DEFAULT_DEADLINE };
