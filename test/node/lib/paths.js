'use strict';
// Where the tests find what the build made.  CTest passes the paths in the
// environment; a developer running `node --test` by hand gets the defaults.
const path = require('path');

const root = path.resolve(__dirname, '..', '..', '..');
const buildDir = process.env.ZEL_BUILD_DIR || path.join(root, 'build');

module.exports = {
  root,
  buildDir,
  modulePath: process.env.ZEL_MODULE_PATH || path.join(buildDir, 'node_zel_mod.node'),
  queryd: process.env.ZEL_QUERYD_PATH || path.join(buildDir, 'tools', 'zel-queryd'),
};
