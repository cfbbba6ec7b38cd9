'use strict';
// A module file for the benchmark suite's tests: the real module's exports
// plus a relay() with the promised shape ({ statusCode, headers, body }),
// built from node_zel_req running in a Worker.  It lets the tests drive the
// suite's relay() rows whether or not the module has relay() of its own.
// ZEL_REAL_MODULE_PATH names the real module file.
const { Worker } = require('worker_threads');
const { Readable } = require('stream');

const realPath = process.env.ZEL_REAL_MODULE_PATH;
const real = require(realPath);

const WORKER = `
const { parentPort, workerData: d } = require('worker_threads');
const m = require(d.realPath);
const o = d.opts;
const rc = m.node_zel_req(o.method, '/relay/' + o.serials, o.path, o.acceptEncoding || '',
  o.admin.name, o.admin.profile, String(o.admin.superAdmin), o.body || '',
  ({ response, response_size }) => parentPort.postMessage({ piece: new Uint8Array(response.subarray(0, response_size)) }),
  (status, headers) => parentPort.postMessage({ status, headers }));
parentPort.postMessage({ rc });
`;

function relay(opts) {
  return new Promise((resolve, reject) => {
    const plain = {
      serials: opts.serials, path: opts.path, method: opts.method, acceptEncoding: opts.acceptEncoding,
      admin: opts.admin, body: opts.body,
    };
    const w = new Worker(WORKER, { eval: true, workerData: { realPath, opts: plain } });
    let body = null;
    w.on('message', (m) => {
      if (m.status !== undefined) {
        body = new Readable({ read() {} });
        resolve({ statusCode: m.status, headers: m.headers, body });
      } else if (m.piece) {
        body.push(Buffer.from(m.piece.buffer, m.piece.byteOffset, m.piece.length));
      } else if (m.rc !== 0) {
        const e = new Error(`relay double: node_zel_req gave ${m.rc}`);
        if (body) body.destroy(e);
        else reject(e);
      } else {
        body.push(null);
      }
    });
    w.on('error', (e) => (body ? body.destroy(e) : reject(e)));
  });
}

module.exports = { ...real, relay };
