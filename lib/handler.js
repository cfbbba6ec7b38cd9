'use strict';
// createRelayHandler(): a node:http (req, res) handler, usable as Express or
// Connect middleware, that relays <prefix>/<SRC>:<DST>/<path> with relay()
// and pipes the appliance's answer into the response with back-pressure.
// The answer's fields pass filterResponseHeaders (or the integrator's own
// choice) so an appliance cannot act on the admin server's origin.
const { pipeline } = require('stream');
const { relay } = require('./relay');
const { CODES, argError } = require('./errors');
const { filterResponseHeaders, withoutHopByHop, ADDED_FIELDS } = require('./response_headers');
const { DEFAULT_MAX_BODY_BYTES, DEFAULT_SOCKET_PATH } = require('./defaults');

// The handler's own answers quote what an appliance sent, so they carry the
// same protection as a relayed response.
function sendJson(res, status, value) {
  if (res.headersSent || res.destroyed) return;
  const text = JSON.stringify(value) + '\n';
  res.writeHead(status, { ...ADDED_FIELDS, 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
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

function createRelayHandler(options = {}) {
  const {
    prefix = '/zel', identity, timeout, maxBodyBytes = DEFAULT_MAX_BODY_BYTES, socketPath = DEFAULT_SOCKET_PATH,
    responseHeaders = filterResponseHeaders,
  } = options;
  if (typeof prefix !== 'string' || (prefix !== '' && (!prefix.startsWith('/') || prefix.endsWith('/')))) {
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

  return async function zelRelayHandler(req, res, next) {
    const parts = splitUrl(prefix, req.url);
    if (!parts) {
      if (typeof next === 'function') return next();
      return sendJson(res, 404, { error: 'not a relay URL', expected: `${prefix}/<SRC>:<DST>/<path>` });
    }
    // The relay stops at once when the client goes away.
    const ac = new AbortController();
    res.once('close', () => {
      if (!res.writableFinished) ac.abort();
    });
    let r = null;
    let sent = null;
    try {
      const body = await readBody(req, maxBodyBytes);
      if (body === null) {
        res.setHeader('Connection', 'close');
        return sendJson(res, 413, { error: `request body larger than ${maxBodyBytes} bytes`, code: 'ERR_BODY_TOO_LARGE' });
      }
      const admin = await identity(req);
      // Of the client's fields only Content-Type is passed on, and
      // Accept-Encoding chooses the coding: nothing the client sends can
      // add to or change the identity fields relay() sets.
      r = await relay({
        serials: parts.serials,
        path: parts.path,
        method: req.method,
        acceptEncoding: req.headers['accept-encoding'],
        admin,
        body: body.length > 0 ? body : undefined,
        headers: req.headers['content-type'] ? { 'Content-Type': req.headers['content-type'] } : undefined,
        socketPath,
        timeout,
        signal: ac.signal,
      });
      sent = responseHeaders(withoutHopByHop(r.headers),
        { req, statusCode: r.statusCode, serials: parts.serials, path: parts.path });
      if (sent === null || typeof sent !== 'object') {
        throw new TypeError('The "responseHeaders" option returned no object of header fields');
      }
      res.writeHead(r.statusCode, sent);
      pipeline(r.body, res, (err) => {
        // The status is out: a cut response is the only signal left.
        if (err && !res.destroyed) res.destroy();
      });
    } catch (err) {
      // Whatever failed, the query is closed now, not when the GC finds it.
      r?.body.destroy();
      if (res.headersSent || res.destroyed) {
        if (!res.destroyed) res.destroy();
        return undefined;
      }
      // A writeHead that threw may have set some of the fields already.
      if (sent && typeof sent === 'object') for (const name of Object.keys(sent)) res.removeHeader(name);
      // Once relay() has resolved, what fails is this server's own doing.
      const status = r ? 500 : err.code === CODES.TIMEOUT ? 504
        : /^ERR_INVALID_/.test(err.code || '') ? 400
          : Object.values(CODES).includes(err.code) ? 502 : 500;
      const payload = { error: err.message, code: err.code || 'ERR_RELAY' };
      if (err.replyCode !== undefined) payload.replyCode = err.replyCode;
      return sendJson(res, status, payload);
    }
    return undefined;
  };
}

module.exports = { createRelayHandler, splitUrl };
