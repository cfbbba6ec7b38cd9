#!/usr/bin/env node
'use strict';
// Demo appliances: small admin APIs that stand in for the other appliances of
// the group.  Run as a child of demo.js, which needs its event loop free
// (node_zel_req blocks the thread that calls it).
//
// Each appliance answers on its own 127.0.0.1 port:
//   GET  /api/status          identity, uptime and who asked (admin headers)
//   GET  /api/interfaces      network interfaces
//   GET  /api/logs?lines=N    the last N log lines (1..20000, default 20)
//   ANY  /api/echo            method, target, the admin headers and the body
// and frames its replies its own way:
//   plain    Content-Length
//   gzip     gzip with Content-Length when the request accepts gzip
//   chunked  chunked transfer coding, a piece per record
//
// Once all are listening it prints one line per appliance,
//   appliance SERIAL FRAMING 127.0.0.1:PORT
// then "appliances ready".  It exits on SIGTERM/SIGINT or when its stdin
// closes (the parent has gone).
const http = require('http');
const zlib = require('zlib');

const DEFAULT_APPLIANCES = [
  { serial: 'ZL1001', name: 'branch-gw-1', model: 'ZG-200', framing: 'plain' },
  { serial: 'ZL1002', name: 'branch-gw-2', model: 'ZG-400', framing: 'gzip' },
  { serial: 'ZL1003', name: 'dc-edge-1', model: 'ZG-900', framing: 'chunked' },
];

const FACILITIES = ['kernel', 'ike', 'dhcpd', 'fw', 'admin', 'ntp'];
const MESSAGES = ['link up on wan1', 'tunnel to 10.20.0.1 established', 'lease renewed for 192.168.1.34',
  'blocked tcp 203.0.113.9:51515 -> 198.51.100.2:22', 'admin login from 192.168.1.10',
  'clock synchronised, offset 0.004 s', 'configuration saved', 'link down on wan2'];

function logLines(app, n) {
  const now = Date.now();
  const out = [];
  for (let i = 0; i < n; i++) {
    const k = (i * 7 + app.serial.length) % MESSAGES.length;
    out.push({
      seq: i + 1,
      time: new Date(now - (n - i) * 1000).toISOString(),
      facility: FACILITIES[(i * 5) % FACILITIES.length],
      message: MESSAGES[k],
    });
  }
  return out;
}

function interfaces(app) {
  const id = Number(app.serial.slice(-2));
  return [
    { name: 'wan1', address: `203.0.113.${10 + id}/24`, state: 'up', rx_bytes: 912345678 * id, tx_bytes: 123456789 * id },
    { name: 'wan2', address: null, state: 'down', rx_bytes: 0, tx_bytes: 0 },
    { name: 'lan1', address: `192.168.${id}.1/24`, state: 'up', rx_bytes: 45678901 * id, tx_bytes: 98765432 * id },
  ];
}

function adminOf(req) {
  return {
    name: req.headers['x-admin-name'] ?? null,
    permissions: req.headers['x-admin-permissions'] ?? null,
    super: req.headers['x-admin-super'] ?? null,
    source_serial: req.headers['x-zel-source-sn'] ?? null,
  };
}

// The answer to one request, as a status and a JSON value.
function answer(app, req, url, body, started) {
  switch (url.pathname) {
    case '/api/status':
      return [200, {
        serial: app.serial, hostname: app.name, model: app.model, firmware: '7.4.2',
        uptime_s: Math.floor((Date.now() - started) / 1000), framing: app.framing,
        addressed_to: req.headers['x-zel-sn'] ?? null, asked_by: adminOf(req),
      }];
    case '/api/interfaces':
      return [200, { serial: app.serial, interfaces: interfaces(app) }];
    case '/api/logs': {
      const raw = url.searchParams.get('lines');
      const n = raw === null ? 20 : Number(raw);
      if (!Number.isInteger(n) || n < 1 || n > 20000) {
        return [400, { error: 'lines must be an integer from 1 to 20000' }];
      }
      return [200, { serial: app.serial, lines: logLines(app, n) }];
    }
    case '/api/echo':
      return [200, {
        serial: app.serial, method: req.method, target: req.url, admin: adminOf(req),
        accept_encoding: req.headers['accept-encoding'] ?? null, body: body.toString('utf8'),
      }];
    default:
      return [404, { error: `no such endpoint: ${url.pathname}` }];
  }
}

function send(app, req, res, status, value) {
  const headers = { 'Content-Type': 'application/json', 'X-Appliance': app.serial };
  if (app.framing === 'chunked' && status === 200) {
    // One chunk per record, so the reply really arrives in uneven pieces.
    res.writeHead(status, { ...headers, 'Transfer-Encoding': 'chunked' });
    const text = JSON.stringify(value, null, 1) + '\n';
    for (let off = 0, i = 0; off < text.length; i++) {
      const n = 200 + ((i * 397) % 1500);
      res.write(text.slice(off, off + n));
      off += n;
    }
    res.end();
    return;
  }
  let data = Buffer.from(JSON.stringify(value, null, 1) + '\n');
  if (app.framing === 'gzip' && /\bgzip\b/.test(req.headers['accept-encoding'] || '')) {
    data = zlib.gzipSync(data);
    headers['Content-Encoding'] = 'gzip';
  }
  res.writeHead(status, { ...headers, 'Content-Length': data.length });
  res.end(data);
}

function startAppliance(app, port = 0) {
  const started = Date.now();
  const server = http.createServer((req, res) => {
    const parts = [];
    req.on('data', (d) => parts.push(d));
    req.on('end', () => {
      const url = new URL(req.url, 'http://appliance');
      const [status, value] = answer(app, req, url, Buffer.concat(parts), started);
      send(app, req, res, status, value);
    });
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => resolve({ app, server, port: server.address().port }));
  });
}

async function main() {
  const running = [];
  for (const app of DEFAULT_APPLIANCES) running.push(await startAppliance(app));
  for (const r of running) console.log(`appliance ${r.app.serial} ${r.app.framing} 127.0.0.1:${r.port}`);
  console.log('appliances ready');
  const stop = () => {
    for (const r of running) r.server.close();
    process.exit(0);
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  process.stdin.on('end', stop);
  process.stdin.on('error', stop);
  process.stdin.resume();
}

if (require.main === module) {
  main().catch((err) => {
    console.error(`appliances: ${err.message}`);
    process.exit(1);
  });
}

module.exports = { DEFAULT_APPLIANCES, startAppliance };
