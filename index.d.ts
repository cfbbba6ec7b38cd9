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
 * Keys are lower case; values are the texts the target sent. Transfer framing
 * fields the relay removed are absent.
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
 *   (the reply cut short or the request header too long included),
 *   `undefined` when no request could be composed (no serial segment, or one
 *   without ':'). Throws an Error with code "EINVAL" when arguments are refused
 *   (fewer than eight, a text argument that is not a string, null or undefined,
 *   a CR, LF or NUL in `method`, `url`, `new_url`, `admin_name`, `admin_prof`
 *   or `is_super_admin`, or a `method` that is not an HTTP token).
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
