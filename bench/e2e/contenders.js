'use strict';
// The contenders of the end-to-end suite.  Each one fetches one workload's
// body and resolves to { ns, bytes }: the time from the start of the request
// to the end of the body, and the body bytes it was handed.  Every contender
// only counts the bytes; none keeps them, so what is measured is delivery.
const http = require('http');
const zlib = require('zlib');

const SERIALS = 'B0:B1';
const ADMIN = { name: 'admin', profile: 'super_user', superAdmin: true };
const TIMEOUT_MS = 30000;

function now() {
  return process.hrtime.bigint();
}

function since(t0) {
  return Number(process.hrtime.bigint() - t0);
}

// Counts the bytes of a readable stream (inflated first when asked);
// resolves to the count when it ends.
function drain(stream, inflate) {
  return new Promise((resolve, reject) => {
    let src = stream;
    if (inflate) {
      src = zlib.createGunzip();
      stream.on('error', reject);
      stream.pipe(src);
    }
    let bytes = 0;
    src.on('data', (c) => {
      bytes += c.length;
    });
    src.on('end', () => resolve(bytes));
    src.on('error', reject);
  });
}

// node_zel_req: synchronous, so its time is the call itself.
function zelContender(binding) {
  return {
    name: 'node_zel_req',
    run(wl) {
      let bytes = 0;
      let status = 0;
      const t0 = now();
      const rc = binding.node_zel_req('GET', `/zel/${SERIALS}/bench`, wl.target, wl.accept,
        ADMIN.name, ADMIN.profile, ADMIN.superAdmin ? '1' : '0', '',
        (piece) => {
          bytes += piece.response_size;
        },
        (s) => {
          status = s;
        });
      const ns = since(t0);
      if (rc !== 0 || status !== 200) {
        throw new Error(`node_zel_req ${wl.target}: result ${rc}, status ${status}`);
      }
      return Promise.resolve({ ns, bytes });
    },
  };
}

// relay(): the non-blocking relay, when the module has it.
function relayContender(binding, socketPath) {
  if (typeof binding.relay !== 'function') return null;
  return {
    name: 'relay()',
    async run(wl) {
      const ac = new AbortController();
      const timer = setTimeout(() => ac.abort(), TIMEOUT_MS);
      try {
        const t0 = now();
        const res = await binding.relay({
          serials: SERIALS, path: wl.target, method: 'GET', acceptEncoding: wl.accept,
          admin: ADMIN, body: '', socketPath, signal: ac.signal, timeout: TIMEOUT_MS,
        });
        if (res.statusCode !== 200) throw new Error(`relay() ${wl.target}: status ${res.statusCode}`);
        const bytes = await drain(res.body, false);
        return { ns: since(t0), bytes };
      } finally {
        clearTimeout(timer);
      }
    },
  };
}

// Node's http.request over a Unix stream socket with one keep-alive
// connection; zlib.createGunzip() for an inflated gzip body.
function httpContender(socketPath) {
  const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
  return {
    name: 'node http',
    run(wl) {
      return new Promise((resolve, reject) => {
        const t0 = now();
        const req = http.request({
          socketPath, path: wl.target, agent,
          headers: wl.accept ? { 'accept-encoding': wl.accept } : {},
        }, (res) => {
          if (res.statusCode !== 200) {
            res.resume();
            reject(new Error(`node http ${wl.target}: status ${res.statusCode}`));
            return;
          }
          drain(res, wl.inflate).then((bytes) => resolve({ ns: since(t0), bytes }), reject);
        });
        req.setTimeout(TIMEOUT_MS, () => req.destroy(new Error(`node http ${wl.target}: timed out`)));
        req.on('error', reject);
        req.end();
      });
    },
    close() {
      agent.destroy();
    },
  };
}

// undici's request() over a Unix stream socket: one keep-alive connection,
// or a pool of `connections` for the concurrent rows.
function undiciContender(undici, socketPath, connections = 1) {
  if (!undici) return null;
  const dispatcher = connections === 1
    ? new undici.Client('http://localhost', { socketPath, headersTimeout: TIMEOUT_MS, bodyTimeout: TIMEOUT_MS })
    : new undici.Pool('http://localhost', {
      socketPath, connections, headersTimeout: TIMEOUT_MS, bodyTimeout: TIMEOUT_MS,
    });
  return {
    name: connections === 1 ? 'undici' : `undici (${connections} connections)`,
    async run(wl) {
      const t0 = now();
      const { statusCode, body } = await undici.request(`http://localhost${wl.target}`, {
        dispatcher, headers: wl.accept ? { 'accept-encoding': wl.accept } : {},
      });
      if (statusCode !== 200) {
        await body.dump();
        throw new Error(`undici ${wl.target}: status ${statusCode}`);
      }
      const bytes = await drain(body, wl.inflate);
      return { ns: since(t0), bytes };
    },
    close() {
      return dispatcher.close();
    },
  };
}

// The transport limit: the C client's query (bench/standin/transport_query.c)
// called in this process through its binding, and timed here as
// node_zel_req is, so that neither pays for a process hop the other does not.
function limitContender(addonPath, socketPath) {
  const { query } = require(addonPath);
  return {
    name: 'transport limit',
    run(wl) {
      const t0 = now();
      const bytes = query(socketPath, wl.target);
      return Promise.resolve({ ns: since(t0), bytes });
    },
  };
}

module.exports = { zelContender, relayContender, httpContender, undiciContender, limitContender };
