'use strict';
// The module file as the loader sees it: which libraries it needs, which
// names it exports, and that every name it imports is provided by the host.
const { test } = require('node:test');
const assert = require('node:assert');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const { modulePath } = require('./lib/paths');
const exportsBySubsystem = require('./lib/exports');

const run = (cmd, args) => execFileSync(cmd, args, { encoding: 'utf8', maxBuffer: 64 << 20 });

function dynamicSymbols(file, which) {
  return run('nm', ['-D', which, file]).split('\n').filter(Boolean).map((line) => {
    const parts = line.trim().split(/\s+/);
    return { type: parts[parts.length - 2], name: parts[parts.length - 1] };
  });
}

test('needs only the system C libraries', () => {
  const needed = run('readelf', ['-d', modulePath]).split('\n')
    .map((l) => /\(NEEDED\).*\[(.*)\]/.exec(l)).filter(Boolean).map((m) => m[1]);
  for (const lib of needed) {
    assert.match(lib, /^(libc|libm)\.so\.\d+$/, `unexpected needed library ${lib}`);
  }
  assert.ok(!needed.some((l) => /libz|libcrypto|libssl|libstdc\+\+|libgcc_s/.test(l)));
});

test('exports every name of the C API and nothing with C++ linkage', () => {
  const defined = new Set(dynamicSymbols(modulePath, '--defined-only').map((s) => s.name.replace(/@.*/, '')));
  const expected = new Set(Object.values(exportsBySubsystem).flat());
  const missing = [...expected].filter((n) => !defined.has(n));
  assert.deepStrictEqual(missing, [], 'names the module must export');
  const extra = [...defined].filter((n) => !expected.has(n));
  assert.deepStrictEqual(extra, [], 'names exported by accident');
  const cxx = [...defined].filter((n) => n.startsWith('_Z'));
  assert.deepStrictEqual(cxx, [], 'C++ symbols leaked into the dynamic symbol table');
});

test('every imported name is provided by the hosting node or the C library', () => {
  const node = fs.realpathSync(process.execPath);
  const provided = new Set(dynamicSymbols(node, '--defined-only').map((s) => s.name.replace(/@.*/, '')));
  const unresolved = dynamicSymbols(modulePath, '--undefined-only')
    .filter((s) => s.type === 'U' && !/@GLIBC_/.test(s.name) && !provided.has(s.name))
    .map((s) => s.name);
  assert.deepStrictEqual(unresolved, []);
});

test('runs on glibc 2.28 and later: no imported name needs a newer symbol version', () => {
  // 2.28 is the oldest glibc the Node.js releases themselves run on; a call
  // such as stat() (a 2.33 symbol) would raise the floor for nothing.
  const newer = dynamicSymbols(modulePath, '--undefined-only').map((s) => s.name).filter((name) => {
    const v = /@+GLIBC_(\d+)\.(\d+)/.exec(name);
    return v && (Number(v[1]) > 2 || Number(v[2]) > 28);
  });
  assert.deepStrictEqual(newer, []);
});

test('writes to standard output only through its one diagnostic helper, which ZEL_QUIET silences', () => {
  // The helper formats with vprintf and writes request texts with writev; a
  // printf or puts of its own would be a write the switch does not reach.
  const direct = dynamicSymbols(modulePath, '--undefined-only').map((s) => s.name.replace(/@.*/, ''))
    .filter((name) => /^(__)?(printf|puts|putchar|putc|dprintf)(_chk)?$/.test(name));
  assert.deepStrictEqual(direct, []);
});
