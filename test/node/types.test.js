'use strict';
// index.d.ts against a program that uses every declared API the way the
// README shows, and misuses it where the declarations must refuse.
const { it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root } = require('./lib/paths');

const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');

it('the declarations type-check', { skip: !fs.existsSync(tsc) && 'typescript is not installed (npm install)' }, () => {
  const r = spawnSync(process.execPath, [tsc, '-p', path.join(root, 'test', 'types', 'tsconfig.json')], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stdout + r.stderr);
});
