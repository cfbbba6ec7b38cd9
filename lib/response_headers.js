'use strict';
// Which of an appliance's response fields may reach a browser on the admin
// server's origin.  The admin server relays for many appliances under its
// own origin; one compromised appliance must not be able to act as that
// origin (cookies, script, policies the browser keeps for the whole origin)
// and so reach the other appliances as the logged-in administrator.
const { argError } = require('./errors');

// Fields about one connection (RFC 9110 7.6.1), never passed on by a relay,
// together with every field the Connection field names.
const HOP_BY_HOP = new Set([
  'connection', 'keep-alive', 'proxy-connection', 'proxy-authenticate', 'proxy-authorization',
  'te', 'trailer', 'transfer-encoding', 'upgrade', 'http2-settings',
]);

// Fields that would act on the whole admin origin, or on the browser, rather
// than describe this one response.
const ORIGIN_FIELDS = new Set([
  // State the browser keeps for the origin.
  'set-cookie', 'set-cookie2', 'clear-site-data', 'strict-transport-security', 'alt-svc',
  'nel', 'report-to', 'reporting-endpoints', 'accept-ch', 'critical-ch', 'origin-trial',
  'public-key-pins', 'public-key-pins-report-only', 'expect-ct',
  // Access granted to other origins.
  'timing-allow-origin', 'cross-origin-resource-policy', 'cross-origin-opener-policy',
  'cross-origin-embedder-policy', 'cross-origin-embedder-policy-report-only',
  // The appliance's own policies for a document on this origin: replaced by
  // ours.  A report-only policy would still send reports where it says.
  'content-security-policy', 'content-security-policy-report-only', 'permissions-policy',
  'feature-policy', 'document-policy', 'service-worker-allowed', 'speculation-rules',
  // What the browser does on its own: a login prompt in the admin server's
  // name, a redirect after a delay, fetches of resources the response names
  // (preload, preconnect, a style sheet in some browsers).
  'www-authenticate', 'refresh', 'link',
]);

// Added to every relayed response: whatever the body is, it runs no script,
// loads nothing, is not framed and not sniffed into something else, and is
// not readable by other origins' pages.
const ADDED_FIELDS = Object.freeze({
  'content-security-policy': "sandbox; default-src 'none'; frame-ancestors 'none'",
  'x-content-type-options': 'nosniff',
  'cross-origin-resource-policy': 'same-origin',
});

function fieldNames(value) {
  const text = Array.isArray(value) ? value.join(',') : String(value ?? '');
  return text.split(',').map((s) => s.trim().toLowerCase()).filter(Boolean);
}

function checkHeaders(headers) {
  if (headers === null || typeof headers !== 'object') {
    throw argError('ERR_INVALID_ARG_TYPE', 'The "headers" argument must be an object of header fields');
  }
}

// The fields without the hop-by-hop ones; names lower case.
function withoutHopByHop(headers) {
  checkHeaders(headers);
  const named = new Set();
  for (const [k, v] of Object.entries(headers)) {
    if (k.toLowerCase() === 'connection') for (const n of fieldNames(v)) named.add(n);
  }
  const out = {};
  for (const [k, v] of Object.entries(headers)) {
    const name = k.toLowerCase();
    if (v === undefined || HOP_BY_HOP.has(name) || named.has(name)) continue;
    out[name] = v;
  }
  return out;
}

// The fields an appliance's response may take to a browser on the admin
// origin: hop-by-hop fields, the fields the Connection field names and the
// ORIGIN_FIELDS are dropped (Access-Control-* too), and ADDED_FIELDS are set.
function filterResponseHeaders(headers) {
  const out = withoutHopByHop(headers);
  for (const name of Object.keys(out)) {
    if (ORIGIN_FIELDS.has(name) || name.startsWith('access-control-')) delete out[name];
  }
  return Object.assign(out, ADDED_FIELDS);
}

module.exports = { filterResponseHeaders, withoutHopByHop, ADDED_FIELDS };
