// Types of the ES module entry: the same names as the CommonJS entry.
import * as zel from './index.js';

export * from './index.js';
export default zel;
