/// <reference types="node" />

/** A piece of the response body, valid only until the callback returns. */
export interface ZelBodyPiece {
  /** The call's one 4096-byte Buffer; the piece is its first `response_size` bytes. */
  response: Buffer;
  /** Number of leading bytes of `response` that belong to this piece (1 to 4096). */
  response_size: number;
}

/**
 * Receives the target's status and header fields, once, before any body piece.
 * Keys are lower case; values are the bytes the target sent, one character
 * per byte (latin1, as Node's HTTP parser gives them), so `res.writeHead`
 * sends them on unchanged. Transfer framing fields the relay removed, and
 * `trailer`, are absent. Only heads `res.writeHead` accepts get here.
 */
export type ZelWriteHeadFn = (status: number, headers: Record<string, string>) => void;

/** Receives the body, de-chunked and inflated where needed, in pieces of at most 4096 bytes. */
export type ZelBodyCallback = (piece: ZelBodyPiece) => void;

type ZelText = string | null | undefined;

/**
 * Relays one admin API request to the appliance named by the serial segment of
 * `url` (its second path segment, `SRC:...:DST`), through the local query daemon.
 * Blocks until the exchange ends; both callbacks run before it returns.
 *
 * @returns 0 when the reply was relayed to its end, -1 when the exchange failed
 *   (the reply cut short, a refused reply head, bytes past the reply's end,
 *   or the request header too long included),
 *   `undefined` when no request could be composed (no serial segment, or one
 *   without ':'). Throws an Error with code "EINVAL" when arguments are refused
 *   (fewer than eight, a text argument that is not a string, null or undefined,
 *   a CR, LF or NUL in `method`, `url`, `new_url`, `admin_name`, `admin_prof`
 *   or `is_super_admin`, a `method` that is not an HTTP token, a space, tab,
 *   vertical tab or form feed in `new_url`, or a NUL in `post_body`).
 *   An exception thrown by a callback reaches the caller in place of the result.
 */
export function node_zel_req(
  method: ZelText,
  url: ZelText,
  new_url: ZelText,
  accept_encoding: ZelText,
  admin_name: ZelText,
  admin_prof: ZelText,
  is_super_admin: ZelText,
  post_body: ZelText,
  js_callback: ZelBodyCallback,
  js_writehead_fn: ZelWriteHeadFn,
): 0 | -1 | undefined;

import type { IncomingHttpHeaders, IncomingMessage, OutgoingHttpHeaders, ServerResponse } from 'http';
import type { Readable } from 'stream';

/** The administrator a relayed request acts for. */
export interface ZelAdmin {
  /** Sent as `X-ADMIN-NAME: ZL_<name>`. */
  name: string;
  /** Sent as `X-ADMIN-PERMISSIONS`. */
  profile: string;
  /** Sent as `X-ADMIN-SUPER: 1` or `0`. */
  superAdmin: boolean;
}

export interface RelayOptions {
  /** The serial chain `SRC:...:DST`; must contain ':'. */
  serials: string;
  /** Request target on the appliance, origin form: `/api/status?x=1`. */
  path: string;
  /** An HTTP token; default 'GET'.  CONNECT is refused (ERR_INVALID_ARG_VALUE): a relay carries one request and one response. */
  method?: string;
  /** The client's Accept-Encoding; a body in a coding it does not take (q-values honoured) is decoded. Absent: every body is decoded. */
  acceptEncoding?: string;
  admin: ZelAdmin;
  body?: string | Buffer | Uint8Array;
  /**
   * Extra request fields.  X-ZEL-*, X-ADMIN-*, Host, Content-Length,
   * Transfer-Encoding, Connection, Accept-Encoding, Keep-Alive,
   * Proxy-Connection, TE, Trailer and Upgrade are set by the relay and refused
   * here, in any case and with '_' in place of '-' (X_ADMIN_SUPER).
   */
  headers?: Record<string, string | number>;
  /** The daemon's socket; default `process.env.ZEL_QUERY_SOCKET` or "/tmp/nst/.nst.query", read at load. */
  socketPath?: string;
  /**
   * Aborts the relay: rejects, or errors the body, with an AbortError (code 'ABORT_ERR'), or with
   * ZEL_ERR_TIMEOUT (the reason as `cause`) when the reason is a TimeoutError, as with AbortSignal.timeout().
   */
  signal?: AbortSignal;
  /** Milliseconds without a reply datagram before ZEL_ERR_TIMEOUT; default 12000. */
  timeout?: number;
  /**
   * Milliseconds for the whole exchange, head and body; past it the promise rejects, or the body
   * errors, with ZEL_ERR_TIMEOUT (`deadline` set on the error).  Default: none.
   */
  deadline?: number;
}

export interface RelayResult {
  statusCode: number;
  /** Lower-case fields as Node parses them; transfer-encoding removed, and content-encoding and content-length when the body was decoded. */
  headers: IncomingHttpHeaders;
  /** The decoded body.  Destroying it ends the relay and closes the query. */
  body: Readable;
}

/**
 * `code` of every error relay() and its body stream give, beside Node's ERR_INVALID_ARG_TYPE,
 * ERR_INVALID_ARG_VALUE, ERR_INVALID_CHAR and ERR_INVALID_HTTP_TOKEN for refused options.
 * - ZEL_ERR_NO_DAEMON: nothing listens at the socket path.
 * - ZEL_ERR_UNTRUSTED_SOCKET: the socket or its directory belongs to a user the module does not trust.
 * - ZEL_ERR_TIMEOUT: no reply datagram for `timeout` ms, the `deadline` passed, the signal timed out,
 *   or the daemon's own time-out for a silent target (replyCode 6).
 * - ZEL_ERR_UNKNOWN_SERIAL: the daemon has no route to the target serial (replyCode 5).
 * - ZEL_ERR_BAD_CHAIN: the daemon refused the chain: a serial named twice, or more serials than its hop limit (replyCode 4 or 7).
 * - ZEL_ERR_DAEMON_BUSY: the daemon is at its limit of clients, or the request is larger than it takes (replyCode 9).
 * - ZEL_ERR_REPLY: any other failure code of the daemon (`replyCode`), such as an unreachable target.
 * - ZEL_ERR_BAD_REPLY: malformed datagrams, HTTP or coded body, or a reply cut short.
 * - ZEL_ERR_SOCKET, ZEL_ERR_SEND: the local socket failed.
 * - ABORT_ERR: the signal aborted (an AbortError).
 */
export type ZelRelayErrorCode =
  | 'ZEL_ERR_NO_DAEMON'
  | 'ZEL_ERR_UNTRUSTED_SOCKET'
  | 'ZEL_ERR_TIMEOUT'
  | 'ZEL_ERR_UNKNOWN_SERIAL'
  | 'ZEL_ERR_BAD_CHAIN'
  | 'ZEL_ERR_DAEMON_BUSY'
  | 'ZEL_ERR_REPLY'
  | 'ZEL_ERR_BAD_REPLY'
  | 'ZEL_ERR_SOCKET'
  | 'ZEL_ERR_SEND'
  | 'ZEL_ERR_UNTRUSTED_SOCKET'
  | 'ABORT_ERR';

export interface ZelRelayError extends Error {
  code: ZelRelayErrorCode;
  /** When the daemon answered with a failure code: that code (2 to 255); its name and meaning are in the message. */
  replyCode?: number;
  /** With ZEL_ERR_TIMEOUT from the `deadline` option: its value. */
  deadline?: number;
}

/**
 * `code` in the handler's JSON answers `{ error, code, replyCode? }` and of the errors onError gets,
 * beside those of relay():
 * - ERR_BODY_TOO_LARGE: the request body is over `maxBodyBytes` (413).
 * - ZEL_ERR_BODY_CONSUMED: a body parser read the body and left nothing relayable in req.body (500).
 * - ZEL_ERR_IDENTITY: `identity` threw, rejected or returned fields relay() refuses (500, or next(err)).
 * - ERR_RELAY: a failure inside the server, such as a `responseHeaders` or `forwardHeaders` function that threw (500).
 */
export type ZelHandlerErrorCode =
  | ZelRelayErrorCode
  | 'ERR_BODY_TOO_LARGE'
  | 'ZEL_ERR_BODY_CONSUMED'
  | 'ZEL_ERR_IDENTITY'
  | 'ERR_RELAY'
  | 'ERR_INVALID_ARG_VALUE'
  | 'ERR_INVALID_CHAR';

/** The body of the handler's own answers. */
export interface ZelHandlerErrorBody {
  /** What failed, written for the client; never the socket path or an error's own message. */
  error: string;
  code: ZelHandlerErrorCode;
  /** The daemon's reply code, when it answered with one. */
  replyCode?: number;
}

/** What the diagnostics_channel channel "node-zel-mod:relay" publishes for every relay. */
export type ZelRelayEvent =
  | { event: 'start'; id: number; serials: string; method: string; path: string; socketPath: string }
  | {
    event: 'head'; id: number; serials: string; method: string; path: string; socketPath: string;
    statusCode: number;
    /** Milliseconds from the start to the response head. */
    headMs: number;
  }
  | {
    event: 'end'; id: number; serials: string; method: string; path: string; socketPath: string;
    /** Milliseconds from the start to the head, or null when none came. */
    headMs: number | null;
    /** Milliseconds from the start to the end: the body's end, or the failure. */
    totalMs: number;
    /** Reply payload bytes read from the daemon: response heads, framing and coded body. */
    replyBytes: number;
    /** The same as replyBytes (kept for older subscribers). */
    bytes: number;
    /** Body bytes passed to the body stream, decoded where the body was decoded. */
    bodyBytes: number;
    /** Why the relay failed, or null. */
    error: Error | null;
  };

/**
 * Relays one request without blocking the event loop; resolves when the response head has arrived.
 * The body ends only after the daemon's final datagram; a reply that goes on after its response
 * (bytes beyond Content-Length), a 101, a status outside 100-999 or a Content-Length above
 * 2147483647 is ZEL_ERR_BAD_REPLY.
 */
export function relay(options: RelayOptions): Promise<RelayResult>;

/**
 * The fields of an appliance's response that may go to a browser on the admin server's origin:
 * a new object with lower-case names, without hop-by-hop fields (and those the Connection field
 * names), cookies, origin-wide policies (Strict-Transport-Security, Clear-Site-Data, Alt-Svc,
 * reporting), Access-Control-* and other grants to other origins, the appliance's
 * Content-Security-Policy, WWW-Authenticate, Refresh and Link; with
 * `Content-Security-Policy: sandbox; default-src 'none'; frame-ancestors 'none'`,
 * `X-Content-Type-Options: nosniff` and `Cross-Origin-Resource-Policy: same-origin` added.
 */
export function filterResponseHeaders(headers: IncomingHttpHeaders | OutgoingHttpHeaders): OutgoingHttpHeaders;

/** What the handler's `responseHeaders` function is told about the response. */
export interface RelayResponseContext {
  /** The client's request. */
  req: IncomingMessage;
  statusCode: number;
  serials: string;
  /** The request target on the appliance. */
  path: string;
}

export interface RelayHandlerOptions {
  /**
   * URL prefix of relayed requests, below the mount path when mounted (Express, Connect):
   * default '/zel', or '' when the handler is mounted at a path (`app.use('/zel', handler)`).
   */
  prefix?: string;
  /**
   * The administrator an incoming request acts for.  When it throws, rejects or returns fields
   * relay() refuses, the handler calls next(err), or without next answers 500 ZEL_ERR_IDENTITY.
   */
  identity: (req: IncomingMessage) => ZelAdmin | Promise<ZelAdmin>;
  /** As relay()'s `timeout`. */
  timeout?: number;
  /** As relay()'s `deadline`; default 120000 (two minutes). */
  deadline?: number;
  /**
   * The client's fields passed to the appliance: a list of names (one that the relay sets throws
   * here), or a function whose result loses every field the relay sets.  Default: Accept,
   * Accept-Language, Content-Type, Content-Language, If-Match, If-None-Match, If-Modified-Since,
   * If-Unmodified-Since, If-Range, Range, Cache-Control, X-Request-Id, traceparent.
   */
  forwardHeaders?: readonly string[] | ((req: IncomingMessage) => Record<string, string | number | undefined>);
  /** Called with the full error for every failure (what the client sees never quotes it); whatever it throws becomes a process warning. */
  onError?: (err: Error & { code?: string }, req: IncomingMessage) => void;
  /** Largest request body relayed; more gets a 413.  Default 1 MiB. */
  maxBodyBytes?: number;
  /** As relay()'s `socketPath`. */
  socketPath?: string;
  /**
   * The fields sent to the client, from the appliance's (hop-by-hop ones already removed).
   * Default: filterResponseHeaders.  An integrator that trusts its appliances may pass more on.
   * A function that throws, or returns no object, gets the client a 500.
   */
  responseHeaders?: (headers: IncomingHttpHeaders, context: RelayResponseContext) => OutgoingHttpHeaders;
}

/** A node:http handler (or Express/Connect middleware) that relays `<prefix>/<SRC>:<DST>/<path>`. */
export function createRelayHandler(
  options: RelayHandlerOptions,
): (req: IncomingMessage, res: ServerResponse, next?: (err?: unknown) => void) => Promise<void>;
