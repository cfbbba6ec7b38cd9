'use strict';
// The package: the native module's exact, synchronous node_zel_req, and the
// non-blocking relay() and createRelayHandler() built on it.
const binding = require('./lib/binding');
const { relay } = require('./lib/relay');
const { createRelayHandler } = require('./lib/handler');

module.exports = { ...binding, relay, createRelayHandler };
