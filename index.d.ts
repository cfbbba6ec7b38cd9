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
  /** Aborts the relay: rejects, or errors the body, with an AbortError (code 'ABORT_ERR'). */
  signal?: AbortSignal;
  /** Milliseconds without a reply datagram before ZEL_ERR_TIMEOUT; default 12000. */
  timeout?: number;
}

export interface RelayResult {
  statusCode: number;
  /** Lower-case fields as Node parses them; transfer-encoding removed, and content-encoding and content-length when the body was decoded. */
  headers: IncomingHttpHeaders;
  /** The decoded body.  Destroying it ends the relay and closes the query. */
  body: Readable;
}

/** `code` of every error relay() and its body stream give, beside Node's ERR_INVALID_ARG_TYPE, ERR_INVALID_ARG_VALUE, ERR_INVALID_CHAR and ERR_INVALID_HTTP_TOKEN for refused options. */
export type ZelRelayErrorCode =
  | 'ZEL_ERR_NO_DAEMON'
  | 'ZEL_ERR_TIMEOUT'
  | 'ZEL_ERR_REPLY'
  | 'ZEL_ERR_BAD_REPLY'
  | 'ZEL_ERR_SOCKET'
  | 'ZEL_ERR_SEND'
  | 'ZEL_ERR_UNTRUSTED_SOCKET'
  | 'ABORT_ERR';

export interface ZelRelayError extends Error {
  code: ZelRelayErrorCode;
  /** With ZEL_ERR_REPLY: the daemon's reply code (2 to 255). */
  replyCode?: number;
}

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
  /** URL prefix of relayed requests; default '/zel'. */
  prefix?: string;
  /** The administrator an incoming request acts for. */
  identity: (req: IncomingMessage) => ZelAdmin | Promise<ZelAdmin>;
  /** As relay()'s `timeout`. */
  timeout?: number;
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
