'use strict';
// Errors of relay() and the handler: every one is an Error whose `code` says
// what happened.  Option errors carry Node's own codes.

// The daemon's reply codes (nstd_reply_code in sysapi/nst/nst_query.h).
const REPLY_CODE_NAMES = Object.freeze({
  0: 'QUERY_SUCCESS',
  1: 'QUERY_SUCCESS_FIN',
  2: 'QUERY_FAIL_REMOTE_ERR',
  3: 'QUERY_FAIL_PATH_ERR',
  4: 'QUERY_FAIL_PATH_LOOP',
  5: 'QUERY_FAIL_ROUTE_ERR',
  6: 'QUERY_FAIL_DOWNNRV_ERR',
  7: 'QUERY_FAIL_DROP_TTL',
  8: 'QUERY_FAIL_CONNECTION_CLOSED',
  9: 'QUERY_FAIL_LOW_MEMORY',
  10: 'KEY_UPD_SUCCESS',
  11: 'FIXED_KEY_SET',
  12: 'APPLIANCE_REP_INVALID_JSON',
  13: 'APPLIANCE_REP_JSON_FAILED',
  14: 'NSTD_HELLO_AUTH_MODE_CERT',
  15: 'QUERY_FAIL_MALFORMED_HTTP_REQ',
  255: 'FAIL_UNKNOWN_COMMAND',
});

// Transport results that reach the script (zel_error_codes).
const ZEL_ERR_BAD_LEN = -993;
const ZEL_ERR_RECV_FROM = -994;
const ZEL_ERR_REALLOC = -996;

const CODES = Object.freeze({
  NO_DAEMON: 'ZEL_ERR_NO_DAEMON',
  TIMEOUT: 'ZEL_ERR_TIMEOUT',
  REPLY: 'ZEL_ERR_REPLY',
  BAD_REPLY: 'ZEL_ERR_BAD_REPLY',
  SOCKET: 'ZEL_ERR_SOCKET',
  SEND: 'ZEL_ERR_SEND',
  // The socket file or its directory belongs to an untrusted user, or the
  // directory is writable by group or others: nothing was sent.
  UNTRUSTED_SOCKET: 'ZEL_ERR_UNTRUSTED_SOCKET',
  ABORT: 'ABORT_ERR',
});

function zelError(code, message, props) {
  const err = new Error(message);
  err.code = code;
  return Object.assign(err, props);
}

class AbortError extends Error {
  constructor(message = 'The relay was aborted', options = undefined) {
    super(message, options);
    this.name = 'AbortError';
    this.code = CODES.ABORT;
  }
}

// An option error with one of Node's own codes and its kind of Error.
function argError(code, message) {
  const err = new TypeError(message);
  err.code = code;
  return err;
}

// The error for a negative status of a reply read (see node_zel_query.cc).
function replyStatusError(status) {
  if (status <= -2 && status >= -255) {
    const replyCode = -status;
    const name = REPLY_CODE_NAMES[replyCode] || `reply code ${replyCode}`;
    return zelError(CODES.REPLY, `the query daemon answered ${name} (${replyCode})`, { replyCode });
  }
  if (status === ZEL_ERR_BAD_LEN) {
    return zelError(CODES.BAD_REPLY, 'a reply datagram is malformed (its length does not match its header)');
  }
  if (status === ZEL_ERR_RECV_FROM) {
    return zelError(CODES.BAD_REPLY, 'a reply datagram could not be received (empty or refused datagram)');
  }
  if (status === ZEL_ERR_REALLOC) return zelError(CODES.BAD_REPLY, 'no memory to receive a reply datagram');
  return zelError(CODES.BAD_REPLY, `the reply could not be read (transport status ${status})`);
}

module.exports = { CODES, REPLY_CODE_NAMES, AbortError, zelError, argError, replyStatusError };
