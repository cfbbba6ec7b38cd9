'use strict';
// An HTTP client without automatic decompression, so a test sees exactly the
// framing and encoding the server chose.  Resolves { status, headers, body }.
const http = require('http');

const request = (url, { method = 'GET', headers = {}, body } = {}) => new Promise((resolve, reject) => {
  http.request(url, { method, headers, agent: false }, (res) => {
    const parts = [];
    res.on('data', (d) => parts.push(d)).on('error', reject)
      .on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(parts) }));
  }).on('error', reject).end(body);
});

module.exports = { request };
