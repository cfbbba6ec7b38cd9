'use strict';
// createRelayHandler(): a node:http (req, res) handler, usable as Express or
// Connect middleware, that relays <prefix>/<SRC>:<DST>/<path> with relay()
// and pipes the appliance's answer into the response with back-pressure.
const { pipeline } = require('stream');
const { relay } = require('./relay');
const { CODES, argError } = require('./errors');
const { DEFAULT_MAX_BODY_BYTES, DEFAULT_SOCKET_PATH } = require('./defaults');

// Fields about this hop's connection; they are not passed on.
const HOP_BY_HOP = new Set(['connection', 'keep-alive', 'proxy-connection', 'upgrade', 'te', 'trailer', 'transfer-encoding']);

function sendJson(res, status, value) {
  if (res.headersSent || res.destroyed) return;
  const text = JSON.stringify(value) + '\n';
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
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
  const { prefix = '/zel', identity, timeout, maxBodyBytes = DEFAULT_MAX_BODY_BYTES, socketPath = DEFAULT_SOCKET_PATH } = options;
  if (typeof prefix !== 'string' || (prefix !== '' && (!prefix.startsWith('/') || prefix.endsWith('/')))) {
    throw argError('ERR_INVALID_ARG_VALUE', 'The "prefix" option must be "" or a path such as "/zel" (no trailing "/")');
  }
  if (typeof identity !== 'function') {
    throw argError('ERR_INVALID_ARG_TYPE', 'The "identity" option must be a function (req) => ({ name, profile, superAdmin })');
  }
  if (!Number.isSafeInteger(maxBodyBytes) || maxBodyBytes < 0) {
    throw argError('ERR_INVALID_ARG_VALUE', 'The "maxBodyBytes" option must be a non-negative integer');
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
    try {
      const body = await readBody(req, maxBodyBytes);
      if (body === null) {
        res.setHeader('Connection', 'close');
        return sendJson(res, 413, { error: `request body larger than ${maxBodyBytes} bytes`, code: 'ERR_BODY_TOO_LARGE' });
      }
      const admin = await identity(req);
      const r = await relay({
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
      const out = {};
      for (const [k, v] of Object.entries(r.headers)) if (!HOP_BY_HOP.has(k)) out[k] = v;
      res.writeHead(r.statusCode, out);
      pipeline(r.body, res, (err) => {
        // The status is out: a cut response is the only signal left.
        if (err && !res.destroyed) res.destroy();
      });
    } catch (err) {
      if (res.headersSent || res.destroyed) return undefined;
      const status = err.code === CODES.TIMEOUT ? 504
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
