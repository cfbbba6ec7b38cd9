'use strict';
// The admin web server: "/" serves an index, and
//   /<prefix>/<SRC>:...:<DST>/<path>?<query>
// is relayed to appliance DST by createRelayHandler: relay() underneath, so
// the server keeps answering while relays are in progress, and each reply is
// piped into the response as it arrives.
const http = require('http');
const { createRelayHandler } = require('../../lib/handler');

function sendJson(res, status, value) {
  const text = JSON.stringify(value) + '\n';
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
  res.end(text);
}

// Creates the admin server.  `identity` is the administrator every relayed
// request acts for; `index` is the JSON served at "/".
function createAdminServer({ identity, index = {}, prefix = '/zel', socketPath, log = () => {} }) {
  const relayHandler = createRelayHandler({ prefix, identity: () => identity, socketPath });
  return http.createServer((req, res) => {
    if (req.url === '/' || req.url === '/index.json') return sendJson(res, 200, index);
    res.once('finish', () => {
      if (res.statusCode >= 500) log(`${req.method} ${req.url}: ${res.statusCode}`);
    });
    return relayHandler(req, res, () => sendJson(res, 404, {
      error: 'not a relay URL', expected: `${prefix}/<SRC>:<DST>/<path>`,
    }));
  });
}

module.exports = { createAdminServer };
