'use strict';
// An appliance for the handler's tests: a Node HTTP server that answers
// every request with 200 and a short JSON echo, and keeps each request
// (method, target, raw header fields, body) by its target for the test.
const http = require('http');

async function startEchoAppliance() {
  const seen = new Map();
  const server = http.createServer((req, res) => {
    const parts = [];
    req.on('data', (d) => parts.push(d)).on('end', () => {
      const body = Buffer.concat(parts);
      seen.set(req.url, { method: req.method, url: req.url, rawHeaders: req.rawHeaders, headers: req.headers, body });
      const text = JSON.stringify({ method: req.method, url: req.url, length: body.length });
      res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) }).end(text);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    // The request that came for `url`, or undefined.
    request: (url) => seen.get(url),
    stop() {
      server.closeAllConnections();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}

module.exports = { startEchoAppliance };
