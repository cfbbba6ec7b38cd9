'use strict';
// Whether a client's Accept-Encoding takes a response's coding: the rule
// that decides whether relay() decodes a body.
const { it } = require('node:test');
const assert = require('node:assert/strict');
const { accepts, requestedEncoding } = require('../../lib/encoding');

it('reads Accept-Encoding lists with q-values, "*" and case', () => {
  const cases = [ // [Accept-Encoding, coding, taken]
    [undefined, 'gzip', false],
    ['', 'gzip', false],
    ['gzip', 'gzip', true],
    ['GZip', 'gzip', true],
    ['gzip', 'x-gzip', true],
    ['x-gzip', 'gzip', true],
    ['deflate, gzip', 'gzip', true],
    ['gzip, deflate, br', 'br', true],
    ['gzip;q=0', 'gzip', false],
    ['gzip; q=0.000', 'gzip', false],
    ['gzip;q=0.001', 'gzip', true],
    ['gzip ; Q=1.0', 'gzip', true],
    ['gzip;q=2', 'gzip', false],
    ['gzip;q=abc', 'gzip', false],
    ['identity', 'gzip', false],
    ['*', 'gzip', true],
    ['*;q=0', 'gzip', false],
    ['*, gzip;q=0', 'gzip', false],
    ['gzip;q=0, *', 'gzip', false],
    ['br;q=0, *;q=0.5', 'gzip', true],
    ['deflate', 'gzip', false],
    [' , ,gzip', 'gzip', true],
  ];
  for (const [ae, coding, want] of cases) assert.equal(accepts(ae, coding), want, `${JSON.stringify(ae)} takes ${coding}`);
});

it('asks the appliance for deflate only when the client named exactly that', () => {
  for (const [ae, want] of [['deflate', 'deflate'], ['deflate, gzip', 'gzip'], ['br', 'gzip'], [undefined, 'gzip']]) {
    assert.equal(requestedEncoding(ae), want, String(ae));
  }
});
