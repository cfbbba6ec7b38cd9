'use strict';
// A Duplex over one query: what is written is the request text, handed to
// the daemon in one framed send when the writer commits; what is read is the
// reply's payload bytes, in order, ending with the final datagram.  It is the
// connection of an http.request (createConnection), so Node's own HTTP client
// composes the request and parses the reply.
//
// The readable side drives the socket: reading is on only while the side
// wants data, so a consumer that stops reading stops the datagrams, the
// socket's queue fills and the daemon holds the appliance back.
const { Duplex } = require('stream');
const binding = require('./binding');
const { CODES, zelError, replyStatusError } = require('./errors');

// Errors of a failed send that mean nobody is listening at the path.
const NO_DAEMON_ERRNOS = new Set(['ENOENT', 'ECONNREFUSED', 'ENOTSOCK', 'EPROTOTYPE', 'ENOTDIR']);
const { getSystemErrorName } = require('util');

// Bytes the readable side holds before it stops reading: one wake-up's
// payloads (up to 256 KiB).  With Node's default of 16 KiB every such piece
// stopped the socket and restarted it on the next read, and the daemon,
// whose datagrams fill the socket's short queue at once, waited each time.
// Node's HTTP client gives the response the same mark, so the body keeps
// pace too.
const READ_HIGH_WATER_MARK = 256 * 1024;

class QueryStream extends Duplex {
  // { socketPath, serials, timeout }: timeout is the wait in ms for each
  // reply datagram (and for a full daemon queue to take the request).
  constructor({ socketPath, serials, timeout }) {
    super({ allowHalfOpen: true, readableHighWaterMark: READ_HIGH_WATER_MARK });
    this.socketPath = socketPath;
    this.serials = serials;
    this.timeout = timeout;
    this.bytesRead = 0;
    // While true, each payload is cut after every blank line (one holding
    // nothing, or CR alone), so that a reader parsing a head sees it end
    // exactly where a read ends and knows which bytes follow it.
    this.splitHeads = false;
    // The line a payload's end cut: its length so far, and whether that is
    // CR alone.
    this._lineBytes = 0;
    this._lineIsCR = false;
    this._request = [];
    this._handle = null;
    this._committed = false;
    this._sent = false;
    this._finished = false;
    this._wantRead = false;
    this._polling = false;
    this._timer = null;
    this._sendTimer = null;
    try {
      this._handle = binding._queryOpen(socketPath, serials, (buf, status) => this._onEvent(buf, status));
    } catch (err) {
      process.nextTick(() => this.destroy(err));
    }
  }

  // net.Socket's surface that Node's HTTP client may call.
  setNoDelay() { return this; }
  setKeepAlive() { return this; }
  setTimeout() { return this; }
  ref() { return this; }
  unref() { return this; }
  // Node's HTTP client calls this once the response is complete.  The reply
  // is still read to its final datagram, so bytes after the response are
  // seen rather than dropped; the stream closes itself then.
  destroySoon() { this.end(); }

  _write(chunk, encoding, cb) {
    if (this._committed) return cb(zelError(CODES.SEND, 'the request was already sent'));
    this._request.push(chunk);
    cb();
  }

  _final(cb) {
    this.commit();
    cb();
  }

  // Sends what was written as the one request of this query.
  commit() {
    if (this._committed || this.destroyed || !this._handle) return;
    this._committed = true;
    // Kept until the whole request is out: a send that finds the daemon's
    // queue full resumes from it.
    this._request = Buffer.concat(this._request);
    this._sendStart = Date.now();
    this._trySend(1);
  }

  _trySend(backoffMs) {
    this._sendTimer = null;
    if (this.destroyed) return;
    let rc;
    try {
      // Throws ZEL_ERR_UNTRUSTED_SOCKET, having sent nothing, when a local
      // user other than a trusted one could stand behind the socket path.
      rc = binding._querySend(this._handle, this._request);
    } catch (err) {
      this.destroy(err);
      return;
    }
    if (rc === 0) {
      this._sent = true;
      this._request = null;
      this.emit('sent');
      if (this._wantRead) this._startPolling();
      return;
    }
    if (rc === 1) {
      // The daemon's queue is full; a datagram socket gives no wake-up for
      // that, so try again shortly.
      if (Date.now() - this._sendStart >= this.timeout) {
        this.destroy(zelError(CODES.TIMEOUT, `the query daemon took no request for ${this.timeout} ms`));
        return;
      }
      this._sendTimer = setTimeout(() => this._trySend(Math.min(backoffMs * 2, 50)), backoffMs);
      return;
    }
    const name = rc < 0 && rc > -4096 ? getSystemErrorName(rc) : `status ${rc}`;
    if (NO_DAEMON_ERRNOS.has(name)) {
      this.destroy(zelError(CODES.NO_DAEMON, `no query daemon is listening at ${this.socketPath} (${name})`,
        { path: this.socketPath }));
    } else {
      this.destroy(zelError(CODES.SEND, `the request could not be sent to ${this.socketPath} (${name})`));
    }
  }

  _read() {
    this._wantRead = true;
    if (this._sent) this._startPolling();
  }

  _startPolling() {
    if (this._polling || this._finished || this.destroyed) return;
    this._polling = true;
    binding._queryResume(this._handle);
    this._armTimer();
  }

  _stopPolling() {
    if (!this._polling) return;
    this._polling = false;
    this._wantRead = false;
    if (!this.destroyed) binding._queryPause(this._handle);
    this._clearTimer();
  }

  _armTimer() {
    if (this._timer) return this._timer.refresh();
    this._timer = setTimeout(() => {
      this.destroy(zelError(CODES.TIMEOUT, `no reply datagram for ${this.timeout} ms`));
    }, this.timeout);
  }

  _clearTimer() {
    if (this._timer) clearTimeout(this._timer);
    this._timer = null;
  }

  _onEvent(buf, status) {
    if (this.destroyed) return;
    if (status !== 0) {
      this._finished = true;
      this._polling = false;
      this._clearTimer();
    } else if (this._timer) {
      this._timer.refresh();
    }
    if (status < 0) {
      this.destroy(replyStatusError(status, this.serials));
      return;
    }
    if (buf) {
      this.bytesRead += buf.length;
      const start = this.splitHeads ? this._pushHeads(buf) : 0;
      let room = this.readableLength < this.readableHighWaterMark;
      if (!this.destroyed && start < buf.length) room = this.push(start === 0 ? buf : buf.subarray(start));
      if (!room && status === 0) this._stopPolling();
    }
    if (status === 1) this.push(null);
  }

  // Pushes `buf` up to and including its last blank line, in pieces that
  // each end with one; returns where the rest starts.  A push may run the
  // reader, which may turn splitHeads off or destroy the stream: the rest
  // then goes as one piece.
  _pushHeads(buf) {
    let start = 0;
    let from = 0;
    for (let lf; this.splitHeads && !this.destroyed && (lf = buf.indexOf(0x0a, from)) >= 0; from = lf + 1) {
      const length = this._lineBytes + lf - from;
      const blank = length === 0 || (length === 1 && (lf > from ? buf[lf - 1] === 0x0d : this._lineIsCR));
      this._lineBytes = 0;
      this._lineIsCR = false;
      if (blank) {
        this.push(buf.subarray(start, lf + 1));
        start = lf + 1;
      }
    }
    const rest = buf.length - from;
    this._lineIsCR = rest === 1 ? this._lineBytes === 0 && buf[from] === 0x0d : rest === 0 && this._lineIsCR;
    this._lineBytes += rest;
    return start;
  }

  _destroy(err, cb) {
    this._clearTimer();
    if (this._sendTimer) clearTimeout(this._sendTimer);
    this._sendTimer = null;
    if (this._handle) binding._queryClose(this._handle);
    this._handle = null;
    cb(err);
  }
}

module.exports = { QueryStream, READ_HIGH_WATER_MARK };
