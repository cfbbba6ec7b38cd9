'use strict';
// The bodies every contender fetches, and the appliance stand-in that serves
// them: one Node http server on a Unix stream socket.  The HTTP clients talk
// to it directly, the reference daemon relays to it, and the bytes it sends
// are recorded once for the datagram stand-in, so every contender gets the
// same response bytes.
const http = require('http');
const net = require('net');
const zlib = require('zlib');

const SIZES = [
  { name: '200B', bytes: 200 },
  { name: '64KiB', bytes: 64 * 1024 },
  { name: '1MiB', bytes: 1024 * 1024 },
  { name: '16MiB', bytes: 16 * 1024 * 1024 },
];

// Shapes of a response.  `resource` is what the server sends; `accept` is the
// client's Accept-Encoding; `inflate` says the client gets the body inflated.
const SHAPES = [
  { name: 'plain', resource: 'plain', accept: '', inflate: false, label: 'plain (Content-Length)' },
  { name: 'chunked', resource: 'chunked', accept: '', inflate: false, label: 'chunked' },
  { name: 'gzip-inflated', resource: 'gzip', accept: '', inflate: true, label: 'gzip, inflated' },
  { name: 'gzip-passed', resource: 'gzip', accept: 'gzip', inflate: false, label: 'gzip, passed through' },
];

const CHUNK_PIECE = 16 * 1024; // the size of each chunk of a chunked body

function workload(sizeName, shapeName) {
  const size = SIZES.find((s) => s.name === sizeName);
  const shape = SHAPES.find((s) => s.name === shapeName);
  if (!size || !shape) throw new Error(`no workload ${sizeName} ${shapeName}`);
  const resource = `${size.name}-${shape.resource}`;
  return {
    id: `${size.name}-${shape.name}`,
    label: `${size.name} ${shape.label}`,
    size: size.bytes,
    sizeName: size.name,
    shape: shape.name,
    resource,
    target: `/bench/${resource}`,
    accept: shape.accept,
    inflate: shape.inflate,
    gzip: shape.resource === 'gzip',
  };
}

// A plain body the appliance answers only after `ms` milliseconds.
function slowWorkload(sizeName, ms) {
  const wl = workload(sizeName, 'plain');
  return {
    ...wl,
    id: `${wl.id}-after-${ms}ms`,
    label: `${wl.label}, answered after ${ms} ms`,
    target: `/slow/${ms}/${wl.resource}`,
  };
}

function allWorkloads() {
  const out = [];
  for (const s of SIZES) for (const sh of SHAPES) out.push(workload(s.name, sh.name));
  return out;
}

// JSON-like text of exactly n bytes from a fixed generator: it compresses
// about as well as an appliance's API answers do (roughly 4 to 1).
function makeBody(n) {
  let seed = 0x2545f491;
  const rnd = (m) => {
    seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
    return (seed >>> 8) % m;
  };
  const states = ['up', 'down', 'testing', 'standby'];
  const parts = ['['];
  let len = 1;
  for (let i = 0; len < n; i++) {
    const rec = `{"id":${i},"name":"host-${rnd(65536).toString(16)}","addr":"10.${rnd(256)}.${rnd(256)}.${rnd(256)}",` +
      `"rx":${rnd(1e9)},"tx":${rnd(1e9)},"state":"${states[rnd(4)]}"},\n`;
    parts.push(rec);
    len += rec.length;
  }
  return Buffer.from(parts.join('')).subarray(0, n);
}

// Bodies by resource name, made on first use: { body, sent } where `sent` is
// what goes on the wire (gzip-compressed for gzip resources).
class Bodies {
  constructor() {
    this.map = new Map();
  }

  get(resource) {
    let b = this.map.get(resource);
    if (!b) {
      const [sizeName, kind] = resource.split('-');
      const size = SIZES.find((s) => s.name === sizeName);
      if (!size) return null;
      const body = makeBody(size.bytes);
      const sent = kind === 'gzip' ? zlib.gzipSync(body, { level: 6 }) : body;
      b = { body, sent, kind };
      this.map.set(resource, b);
    }
    return b;
  }
}

// Starts the appliance stand-in on a Unix stream socket; resolves to the
// http.Server.  GET /bench/RESOURCE answers the resource, GET
// /slow/MS/RESOURCE the same after MS milliseconds, anything else 404.
function startAppliance(socketPath, bodies) {
  const server = http.createServer((req, res) => {
    const slow = /^\/slow\/(\d{1,4})\/([\w-]+)$/.exec(req.url);
    if (slow) {
      setTimeout(() => answer(req, res, bodies.get(slow[2])), Number(slow[1]));
      return;
    }
    const m = /^\/bench\/([\w-]+)$/.exec(req.url);
    answer(req, res, m && bodies.get(m[1]));
  });
  server.keepAliveTimeout = 30000;
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(socketPath, () => resolve(server));
  });
}

// Answers one request with body `b` (null: 404).
function answer(req, res, b) {
  if (!b) {
    res.writeHead(404, { 'content-type': 'text/plain' });
    res.end('no such resource\n');
    return;
  }
  if (b.kind === 'chunked') {
    res.writeHead(200, { 'content-type': 'application/json' });
    for (let off = 0; off < b.sent.length; off += CHUNK_PIECE) {
      res.write(b.sent.subarray(off, Math.min(off + CHUNK_PIECE, b.sent.length)));
    }
    res.end();
    return;
  }
  const headers = { 'content-type': 'application/json', 'content-length': b.sent.length };
  if (b.kind === 'gzip') headers['content-encoding'] = 'gzip';
  res.writeHead(200, headers);
  res.end(b.sent);
}

// The raw bytes the appliance sends for one resource to a request like the
// module's (Connection: Close).  Resolves to a Buffer.
function recordResponse(socketPath, resource) {
  return new Promise((resolve, reject) => {
    const sock = net.connect(socketPath);
    const got = [];
    const timer = setTimeout(() => sock.destroy(new Error(`recording ${resource} timed out`)), 30000);
    sock.on('connect', () => {
      sock.write(`GET /bench/${resource} HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n` +
        'Connection: Close\r\n\r\n');
    });
    sock.on('data', (d) => got.push(d));
    sock.on('error', (e) => {
      clearTimeout(timer);
      reject(e);
    });
    sock.on('end', () => {
      clearTimeout(timer);
      resolve(Buffer.concat(got));
    });
  });
}

module.exports = { SIZES, SHAPES, workload, slowWorkload, allWorkloads, Bodies, startAppliance, recordResponse };
