'use strict';
// Defaults shared by relay(), the handler and the tools.  The socket path is
// read from the environment once, when the package loads.
module.exports = {
  DEFAULT_SOCKET_PATH: process.env.ZEL_QUERY_SOCKET || '/tmp/nst/.nst.query',
  // Milliseconds without a reply datagram before a relay gives up; the same
  // wait as the transport's blocking socket.
  DEFAULT_TIMEOUT: 12000,
  DEFAULT_MAX_BODY_BYTES: 1024 * 1024,
};
