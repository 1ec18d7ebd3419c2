// Base64 (standard alphabet, "=" padding, no line breaks) between bytes and
// text, and UTF-8 between text and bytes.

const ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
const VALUES = new Map([...ALPHABET].map((c, i) => [c, i]));

export function encodeBase64(bytes) {
  let text = '';
  let i = 0;
  for (; i + 2 < bytes.length; i += 3) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    text += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + ALPHABET[(n >> 6) & 63] + ALPHABET[n & 63];
  }
  if (i + 1 === bytes.length) {
    const n = bytes[i] << 16;
    text += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + '==';
  } else if (i + 2 === bytes.length) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    text += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + ALPHABET[(n >> 6) & 63] + '=';
  }
  return text;
}

// Strict decoding: a length that is a multiple of 4, alphabet characters
// only, "=" only as the padding at the end; null for anything else.
export function decodeBase64(text) {
  if (typeof text !== 'string' || text.length % 4 !== 0) return null;
  const padding = text.endsWith('==') ? 2 : text.endsWith('=') ? 1 : 0;
  const bytes = new Uint8Array((text.length / 4) * 3 - padding);
  let bits = 0;
  let pending = 0;
  let at = 0;
  for (let i = 0; i < text.length - padding; i++) {
    const value = VALUES.get(text[i]);
    if (value === undefined) return null;
    bits = ((bits << 6) | value) & 0xffff;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      bytes[at++] = (bits >> pending) & 255;
    }
  }
  return bytes;
}

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8', { fatal: true });

export function utf8Bytes(text) {
  return encoder.encode(text);
}

// The text of UTF-8 bytes; null when they are not UTF-8.
export function utf8Text(bytes) {
  try {
    return decoder.decode(bytes);
  } catch {
    return null;
  }
}
