'use strict';
// The package: the native module's exact, synchronous node_zel_req, and the
// non-blocking relay() and createRelayHandler() built on it, and the filter
// the handler applies to an appliance's response fields.
const binding = require('./lib/binding');
const { relay } = require('./lib/relay');
const { createRelayHandler } = require('./lib/handler');
const { filterResponseHeaders } = require('./lib/response_headers');

module.exports = { ...binding, relay, createRelayHandler, filterResponseHeaders };
