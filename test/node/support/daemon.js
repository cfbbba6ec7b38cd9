'use strict';
// A reference daemon for the enclosing suite.  Require ./private_socket first:
// the daemon binds the test process's own query socket.
const { before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');

const { startQueryd, QUERY_SOCKET } = require('../../../tools/demo/queryd');

// A daemon started with argsFn() serves the enclosing suite; once stopped,
// its socket file must be gone.
function withDaemon(argsFn) {
  let d;
  before(async () => { d = await startQueryd(argsFn()); });
  after(async () => {
    await d?.stop();
    assert.equal(fs.existsSync(QUERY_SOCKET), false, 'daemon left its socket file behind');
  });
}

module.exports = { withDaemon };
