// The ES module entry: the CommonJS entry's exports as named exports (and as
// the default export), so `import { node_zel_req } from 'node-zel-mod'` works.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const zel = require('./index.js');

export const { node_zel_req, relay, createRelayHandler, filterResponseHeaders } = zel;
export default zel;
