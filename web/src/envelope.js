// The request envelope {"rankey","datab","datac"} that carries every command
// to the service and proves that the page knows the request key.
//
//   K     = the first 32 characters of Base64(first 32 bytes of
//           AES-256-ECB-decrypt(rankey zero-padded to 16-byte blocks, request key))
//   datab = Base64(AES-256-ECB-encrypt(rankey, K), PKCS#7 padding)
//   datac = Base64(UTF-8 command text), not encrypted

import { ecb } from '@noble/ciphers/aes.js';
import { encodeBase64, utf8Bytes } from './base64.js';

export const REQUEST_KEY = 'B20F6E13A48D4c7bE94C2A60D17F3E85';

const RANKEY_ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789';
// A rankey of 16 bytes or fewer yields a second key shorter than 32
// characters; one of more than 1,024 would not fit the service's check buffer
// once padded and encrypted.
const RANKEY_PATTERN = /^[A-Za-z0-9]{17,1024}$/;

// A fresh rankey of letters and digits from the platform's cryptographic
// random source, uniformly chosen (bytes of 248 and above are drawn again, so
// that every character is equally likely).
export function randomRankey(length = 32) {
  if (!Number.isInteger(length) || length < 17 || length > 1024) {
    throw new RangeError('a rankey has 17 to 1024 characters');
  }
  const source = globalThis.crypto;
  if (!source || typeof source.getRandomValues !== 'function') {
    throw new Error('no cryptographic random source (crypto.getRandomValues)');
  }
  let rankey = '';
  while (rankey.length < length) {
    for (const byte of source.getRandomValues(new Uint8Array(length))) {
      if (byte < 248 && rankey.length < length) rankey += RANKEY_ALPHABET[byte % 62];
    }
  }
  return rankey;
}

function checkRankey(rankey) {
  if (typeof rankey !== 'string' || !RANKEY_PATTERN.test(rankey)) {
    throw new RangeError('a rankey is 17 to 1024 letters and digits');
  }
}

// The second key K for a rankey, as text (32 characters).
export function secondKey(rankey) {
  checkRankey(rankey);
  const bytes = utf8Bytes(rankey);
  const padded = new Uint8Array(Math.ceil(bytes.length / 16) * 16);
  padded.set(bytes);
  const decrypted = ecb(utf8Bytes(REQUEST_KEY), { disablePadding: true }).decrypt(padded);
  return encodeBase64(decrypted.subarray(0, 32)).slice(0, 32);
}

// The envelope's members for a command text.
export function envelopeFields(commandText, rankey = randomRankey()) {
  if (typeof commandText !== 'string') throw new TypeError('the command is a text');
  const key = secondKey(rankey);
  const datab = encodeBase64(ecb(utf8Bytes(key)).encrypt(utf8Bytes(rankey)));
  return { rankey, datab, datac: encodeBase64(utf8Bytes(commandText)) };
}

// The envelope's JSON text for a command text, with a fresh random rankey
// (or the one given in options, for tests and tools).
export function buildEnvelope(commandText, options = {}) {
  return JSON.stringify(envelopeFields(commandText, options.rankey ?? randomRankey()));
}
