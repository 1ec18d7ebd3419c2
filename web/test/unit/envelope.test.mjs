// The envelope: the worked example, rankeys of many lengths against OpenSSL's
// command line, the service's check, and the rankey's random source.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { buildEnvelope, envelopeFields, randomRankey, secondKey } from '../../vasquill-client.js';
import { REQUEST_KEY, openEnvelope } from '../helpers.mjs';

const hex = (text) => Buffer.from(text).toString('hex');

// K and datab as OpenSSL's command line makes them.
function opensslFields(rankey) {
  const padded = Buffer.alloc(Math.ceil(rankey.length / 16) * 16);
  padded.write(rankey);
  const decrypted = execFileSync('openssl', ['enc', '-d', '-aes-256-ecb', '-nopad', '-K', hex(REQUEST_KEY)], { input: padded });
  const key = decrypted.subarray(0, 32).toString('base64').slice(0, 32);
  const datab = execFileSync('openssl', ['enc', '-aes-256-ecb', '-K', hex(key)], { input: rankey }).toString('base64');
  return { key, datab };
}

test('the worked example of the README', () => {
  const rankey = 'k7Rq2ZpX9vLmT4sWb8NcYe3H';
  assert.equal(secondKey(rankey), '/ifYCS/6PcL3dJB+ufq/kTkhN5IQ85EU');
  assert.equal(
    buildEnvelope('{"pcode":4}', { rankey }),
    '{"rankey":"k7Rq2ZpX9vLmT4sWb8NcYe3H","datab":"PCQxDnaYPhM1XULsuUSPYOupqywa3vaI0YZ0qpKq6ao=","datac":"eyJwY29kZSI6NH0="}',
  );
});

test('rankeys of 17 to 100 characters agree with OpenSSL and pass the service\'s check', () => {
  const command = '{"pcode":1,"params":"中文 + & = %"}';
  for (const length of [17, 24, 31, 32, 33, 47, 48, 64, 100]) {
    const rankey = randomRankey(length);
    const fields = envelopeFields(command, rankey);
    const expected = opensslFields(rankey);
    assert.equal(secondKey(rankey), expected.key, `K for ${length}`);
    assert.equal(fields.datab, expected.datab, `datab for ${length}`);
    assert.equal(Buffer.from(fields.datac, 'base64').toString('utf8'), command);
    assert.equal(openEnvelope(buildEnvelope(command, { rankey })), command, `check for ${length}`);
  }
});

test('an envelope of another rankey or a changed datab fails the check', () => {
  const envelope = JSON.parse(buildEnvelope('{"pcode":4}'));
  const other = JSON.parse(buildEnvelope('{"pcode":4}'));
  assert.equal(openEnvelope(JSON.stringify({ ...envelope, rankey: other.rankey })), null);
  assert.equal(openEnvelope(JSON.stringify({ ...envelope, datab: other.datab })), null);
});

test('random rankeys: 32 letters and digits by default, fresh every time', () => {
  const seen = new Set();
  const characters = new Set();
  for (let i = 0; i < 500; i++) {
    const rankey = randomRankey();
    assert.match(rankey, /^[A-Za-z0-9]{32}$/);
    seen.add(rankey);
    for (const c of rankey) characters.add(c);
  }
  assert.equal(seen.size, 500);
  assert.equal(characters.size, 62);
  assert.match(JSON.parse(buildEnvelope('x')).rankey, /^[A-Za-z0-9]{32}$/);
});

test('rankeys that cannot make a valid envelope are refused', () => {
  for (const rankey of ['', 'abcdefghijklmnop', 'abcdefghijklmnop-', 'abcdefghijklmnopq r', 'é'.repeat(20), 'a'.repeat(1025), 42]) {
    assert.throws(() => buildEnvelope('{"pcode":4}', { rankey }), RangeError, String(rankey));
  }
  for (const length of [0, 16, 1025, 20.5]) assert.throws(() => randomRankey(length), RangeError);
  assert.throws(() => buildEnvelope({ pcode: 4 }), TypeError);
});

test('no random source, no envelope', () => {
  const saved = Object.getOwnPropertyDescriptor(globalThis, 'crypto');
  Object.defineProperty(globalThis, 'crypto', { value: undefined, configurable: true });
  try {
    assert.throws(() => buildEnvelope('{"pcode":4}'), /random/);
  } finally {
    Object.defineProperty(globalThis, 'crypto', saved);
  }
});
