'use strict';
// The package: the native module's exact, synchronous node_zel_req; the
// non-blocking relay(), which runs Node's own HTTP client over the module's
// non-blocking query (not over node_zel_req); createRelayHandler(), built on
// relay(); and the filter the handler applies to an appliance's response
// fields.
const binding = require('./lib/binding');
const { relay } = require('./lib/relay');
const { createRelayHandler } = require('./lib/handler');
const { filterResponseHeaders } = require('./lib/response_headers');

module.exports = { ...binding, relay, createRelayHandler, filterResponseHeaders };
