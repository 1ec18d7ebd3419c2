// Base64, percent-encoding for the service's decoder, and JSONP answers.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { decodeBase64, encodeBase64, encodeQueryValue, parseJsonp } from '../../vasquill-client.js';
import { serviceDecode } from '../helpers.mjs';

test('Base64 agrees with node\'s for every length and byte', () => {
  for (let length = 0; length < 70; length++) {
    const bytes = Buffer.from(Array.from({ length }, (_, i) => (i * 97 + length * 31) & 255));
    const text = encodeBase64(bytes);
    assert.equal(text, bytes.toString('base64'));
    assert.deepEqual(Buffer.from(decodeBase64(text)), bytes);
  }
});

test('Base64 decoding is strict', () => {
  for (const text of ['Y', 'YQ=', 'Y===', 'YQ==YQ==', 'YW=j', 'YWJ\n', 'YW-j', 'YWJj ']) {
    assert.equal(decodeBase64(text), null, JSON.stringify(text));
  }
  assert.deepEqual(decodeBase64(''), new Uint8Array());
});

test('percent-encoding: what the service decodes back, upper-case digits, "+" for a space', () => {
  const cases = [
    ['azAZ09*-._', 'azAZ09*-._'],
    ['a b', 'a+b'],
    ['+&=%#?/', '%2B%26%3D%25%23%3F%2F'],
    ['{"rankey":"R"}', '%7B%22rankey%22%3A%22R%22%7D'],
    ['中', '%E4%B8%AD'],
    ['\u00ff\n', '%C3%BF%0A'],
  ];
  for (const [text, encoded] of cases) assert.equal(encodeQueryValue(text), encoded);
  for (const text of ['PCQxDnaYPhM1XULsuUSPYOupqywa3vaI0YZ0qpKq6ao=', 'a+b c%2b&x=y', '转账 100.00 元 😀', '~!\'()']) {
    const encoded = encodeQueryValue(text);
    assert.match(encoded, /^[A-Za-z0-9*\-._+%]*$/);
    assert.doesNotMatch(encoded, /%[0-9A-F]?[a-f]/);
    assert.equal(serviceDecode(encoded), text);
  }
});

test('JSONP answers: the reply inside the callback, or an error; never run', () => {
  assert.deepEqual(parseJsonp('cb({"ecode":0,"message":"成功","version":"1.0.0.0"}\n)', 'cb'), {
    ecode: 0, message: '成功', version: '1.0.0.0',
  });
  assert.equal(parseJsonp('cb()', 'cb'), null);
  globalThis.ran = false;
  const bad = ['other({"ecode":0})', 'cb({"ecode":0}', 'cb(globalThis.ran=true)', 'cb([1])', 'cb("x")', 'cb(null)',
    'HTTP/1.1 400 Bad Request', ''];
  for (const text of bad) {
    assert.throws(() => parseJsonp(text, 'cb'), (e) => e.name === 'VasquillError' && e.code === 'EBADREPLY', text);
  }
  assert.equal(globalThis.ran, false);
});
