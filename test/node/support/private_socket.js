'use strict';
// Gives this test process a query socket path of its own, so test files run in
// parallel with each other and with a demo on the default socket.  The module
// reads ZEL_QUERY_SOCKET once, at its first query, and tools/demo/queryd.js
// when it is loaded: require this file before either.  Child processes (the
// daemon, the demo, zel-req) inherit the variable.
const fs = require('fs');
const os = require('os');
const path = require('path');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-node-test-'));
process.env.ZEL_QUERY_SOCKET = path.join(dir, 'q');
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));

module.exports = { socketPath: process.env.ZEL_QUERY_SOCKET };
