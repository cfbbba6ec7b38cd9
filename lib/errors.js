'use strict';
// Errors of relay() and the handler: every one is an Error whose `code` says
// what happened.  Option errors carry Node's own codes.  This file also holds
// the one table that says what each of the daemon's reply codes means: the
// code relay() gives, the status the handler answers and the explanation.

// Transport results that reach the script (zel_error_codes).
const ZEL_ERR_BAD_LEN = -993;
const ZEL_ERR_RECV_FROM = -994;
const ZEL_ERR_REALLOC = -996;

const CODES = Object.freeze({
  NO_DAEMON: 'ZEL_ERR_NO_DAEMON',
  TIMEOUT: 'ZEL_ERR_TIMEOUT',
  // The daemon's verdicts that a caller acts on (see REPLY_CODES).
  UNKNOWN_SERIAL: 'ZEL_ERR_UNKNOWN_SERIAL',
  BAD_CHAIN: 'ZEL_ERR_BAD_CHAIN',
  DAEMON_BUSY: 'ZEL_ERR_DAEMON_BUSY',
  REPLY: 'ZEL_ERR_REPLY',
  BAD_REPLY: 'ZEL_ERR_BAD_REPLY',
  SOCKET: 'ZEL_ERR_SOCKET',
  SEND: 'ZEL_ERR_SEND',
  // The socket file or its directory belongs to an untrusted user, or the
  // directory is writable by group or others: nothing was sent.
  UNTRUSTED_SOCKET: 'ZEL_ERR_UNTRUSTED_SOCKET',
  ABORT: 'ABORT_ERR',
});

// Codes only the handler gives, in its answers and to onError.
const HANDLER_CODES = Object.freeze({
  BODY_TOO_LARGE: 'ERR_BODY_TOO_LARGE',
  BODY_CONSUMED: 'ZEL_ERR_BODY_CONSUMED',
  IDENTITY: 'ZEL_ERR_IDENTITY',
  RELAY: 'ERR_RELAY',
});

// Seconds a client is asked to wait (Retry-After) when the daemon is full:
// its exchanges last seconds, so a slot is soon free again.
const RETRY_AFTER_SECONDS = 2;

// The daemon's reply codes (nstd_reply_code in sysapi/nst/nst_query.h): the
// name, then for a code that fails a relay the error code relay() gives, the
// handler's status and what it means, in words naming the target serial.
const NOT_AN_ANSWER = () => 'which is no answer to a request (is a daemon of another kind serving the socket?)';
const REPLY_CODES = Object.freeze({
  0: { name: 'QUERY_SUCCESS' },
  1: { name: 'QUERY_SUCCESS_FIN' },
  2: { name: 'QUERY_FAIL_REMOTE_ERR', code: CODES.REPLY, status: 502,
    explain: (dst) => `the daemon could not reach appliance "${dst}", or lost the connection to it during the reply` },
  3: { name: 'QUERY_FAIL_PATH_ERR', code: CODES.REPLY, status: 502,
    explain: () => 'the daemon could not read the request (damaged or incomplete)' },
  4: { name: 'QUERY_FAIL_PATH_LOOP', code: CODES.BAD_CHAIN, status: 400,
    explain: () => 'the serial chain names a serial twice' },
  5: { name: 'QUERY_FAIL_ROUTE_ERR', code: CODES.UNKNOWN_SERIAL, status: 404,
    explain: (dst) => `the target serial "${dst}" is not in its route table` },
  // The reference daemon's answer to a target silent past its time-out,
  // whether it did not accept the connection or did not answer on it.
  6: { name: 'QUERY_FAIL_DOWNNRV_ERR', code: CODES.TIMEOUT, status: 504,
    explain: (dst) => `appliance "${dst}" did not answer within the daemon's time-out` },
  7: { name: 'QUERY_FAIL_DROP_TTL', code: CODES.BAD_CHAIN, status: 400,
    explain: () => 'the serial chain has more serials than the daemon\'s hop limit' },
  8: { name: 'QUERY_FAIL_CONNECTION_CLOSED', code: CODES.REPLY, status: 502,
    explain: (dst) => `appliance "${dst}" closed the connection without answering` },
  9: { name: 'QUERY_FAIL_LOW_MEMORY', code: CODES.DAEMON_BUSY, status: 503, retryAfter: RETRY_AFTER_SECONDS,
    explain: () => 'the daemon is at its limit (too many requests at once, or a request larger than it takes); try again shortly' },
  10: { name: 'KEY_UPD_SUCCESS', explain: NOT_AN_ANSWER },
  11: { name: 'FIXED_KEY_SET', explain: NOT_AN_ANSWER },
  12: { name: 'APPLIANCE_REP_INVALID_JSON', explain: NOT_AN_ANSWER },
  13: { name: 'APPLIANCE_REP_JSON_FAILED', explain: NOT_AN_ANSWER },
  14: { name: 'NSTD_HELLO_AUTH_MODE_CERT', explain: NOT_AN_ANSWER },
  15: { name: 'QUERY_FAIL_MALFORMED_HTTP_REQ', code: CODES.REPLY, status: 502,
    explain: () => 'the daemon refused the request as not one well-formed HTTP/1.1 request' },
  255: { name: 'FAIL_UNKNOWN_COMMAND', code: CODES.REPLY, status: 502,
    explain: () => 'the daemon does not take this kind of request (is a daemon of another kind serving the socket?)' },
});

const REPLY_CODE_NAMES = Object.freeze(Object.fromEntries(Object.entries(REPLY_CODES).map(([n, r]) => [n, r.name])));

// What a reply code means for a relay to `dst`: { code, status, message,
// retryAfter }.  Codes outside the table are failures of the daemon's own.
function replyMeaning(replyCode, dst) {
  const row = REPLY_CODES[replyCode] || { name: `reply code ${replyCode}`, explain: NOT_AN_ANSWER };
  return {
    code: row.code || CODES.REPLY,
    status: row.status || 502,
    retryAfter: row.retryAfter,
    message: `the query daemon answered ${row.name} (${replyCode}): ${row.explain(dst)}`,
  };
}

function zelError(code, message, props) {
  const { cause, ...rest } = props || {};
  const err = new Error(message, cause === undefined ? undefined : { cause });
  err.code = code;
  return Object.assign(err, rest);
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

// The error for a negative status of a reply read (see node_zel_query.cc) in
// a relay over the chain `serials`.
function replyStatusError(status, serials = '') {
  if (status <= -2 && status >= -255) {
    const replyCode = -status;
    const { code, message } = replyMeaning(replyCode, serials.split(':').pop());
    return zelError(code, message, { replyCode });
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

// The handler's answer to a failure of relay() for the chain ending in `dst`:
// { status, code, message, replyCode, retryAfter }.  The message is written
// for the client: it explains what failed and never quotes the error itself,
// which may name the socket path or other details of the server.
const FAILURES = {
  [CODES.NO_DAEMON]: [502, () => 'no query daemon is running for this server'],
  [CODES.UNTRUSTED_SOCKET]: [502, () => 'this server does not trust the socket of its query daemon (see the server\'s log)'],
  [CODES.SOCKET]: [502, () => 'this server could not open a socket to its query daemon'],
  [CODES.SEND]: [502, () => 'the request could not be handed to the query daemon'],
  [CODES.BAD_REPLY]: [502, (dst) => `the reply of appliance "${dst}" could not be relayed: it was malformed or cut short`],
  [CODES.TIMEOUT]: [504, (dst) => `appliance "${dst}" did not answer in time`],
  [CODES.ABORT]: [502, () => 'the relay was cancelled'],
};

function httpFailure(err, dst) {
  const code = err?.code;
  if (Number.isInteger(err?.replyCode)) {
    return { ...replyMeaning(err.replyCode, dst), replyCode: err.replyCode };
  }
  const known = FAILURES[code];
  if (known) return { status: known[0], code, message: known[1](dst) };
  return { status: 500, code: HANDLER_CODES.RELAY, message: 'the relay failed inside this server (see the server\'s log)' };
}

module.exports = {
  CODES, HANDLER_CODES, REPLY_CODES, REPLY_CODE_NAMES, RETRY_AFTER_SECONDS,
  AbortError, zelError, argError, replyStatusError, replyMeaning, httpFailure,
};
