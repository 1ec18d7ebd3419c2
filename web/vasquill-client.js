// vasquill-client.js: the web page's side of the Vasquill service (ES module).
// Built from web/src by web/build.mjs (npm run build); do not edit by hand.
// Bundles @noble/ciphers 2.4.0: MIT License,
// Copyright (c) 2022 Paul Miller (https://paulmillr.com),
// Copyright (c) 2016 Thomas Pornin <pornin@bolet.org>.
var __typeError = (msg) => {
  throw TypeError(msg);
};
var __accessCheck = (obj, member, msg) => member.has(obj) || __typeError("Cannot " + msg);
var __privateGet = (obj, member, getter) => (__accessCheck(obj, member, "read from private field"), getter ? getter.call(obj) : member.get(obj));
var __privateAdd = (obj, member, value) => member.has(obj) ? __typeError("Cannot add the same private member more than once") : member instanceof WeakSet ? member.add(obj) : member.set(obj, value);
var __privateSet = (obj, member, value, setter) => (__accessCheck(obj, member, "write to private field"), setter ? setter.call(obj, value) : member.set(obj, value), value);
var __privateMethod = (obj, member, method) => (__accessCheck(obj, member, "access private method"), method);

// node_modules/@noble/ciphers/utils.js
/*! noble-ciphers - MIT License (c) 2023 Paul Miller (paulmillr.com) */
function isBytes(a) {
  return a instanceof Uint8Array || ArrayBuffer.isView(a) && a.constructor.name === "Uint8Array" && "BYTES_PER_ELEMENT" in a && a.BYTES_PER_ELEMENT === 1;
}
var atitle = (title) => title ? `"${title}" ` : "";
function anumber(n, title = "") {
  if (typeof n !== "number")
    throw new TypeError(atitle(title) + "expected number, got " + typeof n);
  if (!Number.isSafeInteger(n) || n < 0)
    throw new RangeError(atitle(title) + "expected integer >= 0, got " + n);
  return n;
}
function abytes(value, length, title = "") {
  if (isBytes(value) && (length === void 0 || value.length === length))
    return value;
  if (length !== void 0)
    anumber(length, "length");
  const bytes = isBytes(value);
  const ofLen = length !== void 0 ? ` of length ${length}` : "";
  const got = bytes ? `length=${value.length}` : `type=${typeof value}`;
  const message = atitle(title) + "expected Uint8Array" + ofLen + ", got " + got;
  if (!bytes)
    throw new TypeError(message);
  throw new RangeError(message);
}
function u32(arr) {
  return new Uint32Array(arr.buffer, arr.byteOffset, Math.floor(arr.byteLength / 4));
}
function clean(...arrays) {
  for (let i = 0; i < arrays.length; i++) {
    arrays[i].fill(0);
  }
}
var isLE = /* @__PURE__ */ (() => new Uint8Array(new Uint32Array([287454020]).buffer)[0] === 68)();
function byteSwap(word) {
  return word << 24 & 4278190080 | word << 8 & 16711680 | word >>> 8 & 65280 | word >>> 24 & 255;
}
function byteSwap32(arr) {
  for (let i = 0; i < arr.length; i++) {
    arr[i] = byteSwap(arr[i]);
  }
  return arr;
}
var swap32IfBE = isLE ? (u) => u : byteSwap32;
function overlapBytes(a, b) {
  if (!a.byteLength || !b.byteLength)
    return false;
  return a.buffer === b.buffer && // best we can do, may fail with an obscure Proxy
  a.byteOffset < b.byteOffset + b.byteLength && // a starts before b end
  b.byteOffset < a.byteOffset + a.byteLength;
}
function complexOverlapBytes(input, output) {
  if (overlapBytes(input, output) && input.byteOffset < output.byteOffset)
    throw new Error("complex overlap of input and output is not supported");
}
var wrapCipher = /* @__NO_SIDE_EFFECTS__ */ (params, constructor) => {
  function wrappedCipher(key, ...args) {
    abytes(key, void 0, "key");
    if (params.nonceLength !== void 0) {
      const nonce = args[0];
      abytes(nonce, params.varSizeNonce ? void 0 : params.nonceLength, "nonce");
    }
    const tagl = params.tagLength;
    const aadStart = params.nonceLength !== void 0 ? 1 : 0;
    if (!params.withAAD) {
      for (let i = aadStart; i < args.length; i++)
        if (isBytes(args[i]))
          throw new Error("AAD not supported");
    }
    if (params.withAAD && args[aadStart] !== void 0)
      abytes(args[aadStart], void 0, "AAD");
    const cipher = constructor(key, ...args);
    const checkOutput = (fnLength, output) => {
      if (output !== void 0) {
        if (fnLength !== 2)
          throw new Error("cipher output not supported");
        abytes(output, void 0, "output");
      }
    };
    let called = false;
    const wrCipher = {
      encrypt(data, output) {
        if (called)
          throw new Error("cannot encrypt() twice with same key + nonce");
        called = true;
        abytes(data, void 0, "data");
        checkOutput(cipher.encrypt.length, output);
        return cipher.encrypt(data, output);
      },
      decrypt(data, output) {
        abytes(data, void 0, "data");
        if (tagl && data.length < tagl)
          throw new Error('"ciphertext" expected length >= tagLength=' + tagl);
        checkOutput(cipher.decrypt.length, output);
        return cipher.decrypt(data, output);
      }
    };
    return wrCipher;
  }
  Object.assign(wrappedCipher, params);
  return wrappedCipher;
};
function getOutput(expectedLength, out, onlyAligned = true) {
  if (out === void 0)
    return new Uint8Array(expectedLength);
  abytes(out, expectedLength, "output");
  if (onlyAligned && !isAligned32(out))
    throw new Error("invalid output, must be aligned");
  return out;
}
function isAligned32(bytes) {
  return bytes.byteOffset % 4 === 0;
}
function copyBytes(bytes) {
  return Uint8Array.from(abytes(bytes));
}

// node_modules/@noble/ciphers/aes.js
var BLOCK_SIZE = 16;
var POLY = 283;
function validateKeyLength(key) {
  if (![16, 24, 32].includes(key.length))
    throw new Error('"aes key" expected Uint8Array of length 16/24/32, got length=' + key.length);
}
function mul2(n) {
  return n << 1 ^ POLY & -(n >> 7);
}
function mul(a, b) {
  let res = 0;
  for (; b > 0; b >>= 1) {
    res ^= a & -(b & 1);
    a = mul2(a);
  }
  return res;
}
var sbox = /* @__PURE__ */ (() => {
  const t = new Uint8Array(256);
  for (let i = 0, x = 1; i < 256; i++, x ^= mul2(x))
    t[i] = x;
  const box = new Uint8Array(256);
  box[0] = 99;
  for (let i = 0; i < 255; i++) {
    let x = t[255 - i];
    x |= x << 8;
    box[t[i]] = (x ^ x >> 4 ^ x >> 5 ^ x >> 6 ^ x >> 7 ^ 99) & 255;
  }
  clean(t);
  return box;
})();
var invSbox = /* @__PURE__ */ sbox.map((_, j) => sbox.indexOf(j));
var rotr32_8 = (n) => n << 24 | n >>> 8;
var rotl32_8 = (n) => n << 8 | n >>> 24;
function genTtable(sbox2, fn) {
  if (sbox2.length !== 256)
    throw new Error("wrong sbox length");
  const T0 = new Uint32Array(256).map((_, j) => fn(sbox2[j]));
  const T1 = T0.map(rotl32_8);
  const T2 = T1.map(rotl32_8);
  const T3 = T2.map(rotl32_8);
  const T01 = new Uint32Array(256 * 256);
  const T23 = new Uint32Array(256 * 256);
  const sbox22 = new Uint16Array(256 * 256);
  for (let i = 0; i < 256; i++) {
    for (let j = 0; j < 256; j++) {
      const idx = i * 256 + j;
      T01[idx] = T0[i] ^ T1[j];
      T23[idx] = T2[i] ^ T3[j];
      sbox22[idx] = sbox2[i] << 8 | sbox2[j];
    }
  }
  return { sbox: sbox2, sbox2: sbox22, T0, T1, T2, T3, T01, T23 };
}
var tableEncoding = /* @__PURE__ */ genTtable(sbox, (s) => mul(s, 3) << 24 | s << 16 | s << 8 | mul(s, 2));
var tableDecoding = /* @__PURE__ */ genTtable(invSbox, (s) => mul(s, 11) << 24 | mul(s, 13) << 16 | mul(s, 9) << 8 | mul(s, 14));
var xPowers = /* @__PURE__ */ (() => {
  const p = new Uint8Array(16);
  for (let i = 0, x = 1; i < 16; i++, x = mul2(x))
    p[i] = x;
  return p;
})();
function expandKeyLE(key) {
  abytes(key);
  const len = key.length;
  validateKeyLength(key);
  const { sbox2 } = tableEncoding;
  const toClean = [];
  if (!isLE || !isAligned32(key))
    toClean.push(key = copyBytes(key));
  const k32 = swap32IfBE(u32(key));
  const Nk = k32.length;
  const subByte = (n) => applySbox(sbox2, n, n, n, n);
  const xk = new Uint32Array(len + 28);
  xk.set(k32);
  for (let i = Nk; i < xk.length; i++) {
    let t = xk[i - 1];
    if (i % Nk === 0)
      t = subByte(rotr32_8(t)) ^ xPowers[i / Nk - 1];
    else if (Nk > 6 && i % Nk === 4)
      t = subByte(t);
    xk[i] = xk[i - Nk] ^ t;
  }
  clean(...toClean);
  return xk;
}
function expandKeyDecLE(key) {
  const encKey = expandKeyLE(key);
  const xk = encKey.slice();
  const Nk = encKey.length;
  const { sbox2 } = tableEncoding;
  const { T0, T1, T2, T3 } = tableDecoding;
  for (let i = 0; i < Nk; i += 4) {
    for (let j = 0; j < 4; j++)
      xk[i + j] = encKey[Nk - i - 4 + j];
  }
  clean(encKey);
  for (let i = 4; i < Nk - 4; i++) {
    const x = xk[i];
    const w = applySbox(sbox2, x, x, x, x);
    xk[i] = T0[w & 255] ^ T1[w >>> 8 & 255] ^ T2[w >>> 16 & 255] ^ T3[w >>> 24];
  }
  return xk;
}
function apply0123(T01, T23, s0, s1, s2, s3) {
  return T01[s0 << 8 & 65280 | s1 >>> 8 & 255] ^ T23[s2 >>> 8 & 65280 | s3 >>> 24 & 255];
}
function applySbox(sbox2, s0, s1, s2, s3) {
  return sbox2[s0 & 255 | s1 & 65280] | sbox2[s2 >>> 16 & 255 | s3 >>> 16 & 65280] << 16;
}
function encrypt(xk, s0, s1, s2, s3) {
  const { sbox2, T01, T23 } = tableEncoding;
  let k = 0;
  s0 ^= xk[k++], s1 ^= xk[k++], s2 ^= xk[k++], s3 ^= xk[k++];
  const rounds = xk.length / 4 - 2;
  for (let i = 0; i < rounds; i++) {
    const t02 = xk[k++] ^ apply0123(T01, T23, s0, s1, s2, s3);
    const t12 = xk[k++] ^ apply0123(T01, T23, s1, s2, s3, s0);
    const t22 = xk[k++] ^ apply0123(T01, T23, s2, s3, s0, s1);
    const t32 = xk[k++] ^ apply0123(T01, T23, s3, s0, s1, s2);
    s0 = t02, s1 = t12, s2 = t22, s3 = t32;
  }
  const t0 = xk[k++] ^ applySbox(sbox2, s0, s1, s2, s3);
  const t1 = xk[k++] ^ applySbox(sbox2, s1, s2, s3, s0);
  const t2 = xk[k++] ^ applySbox(sbox2, s2, s3, s0, s1);
  const t3 = xk[k++] ^ applySbox(sbox2, s3, s0, s1, s2);
  return { s0: t0, s1: t1, s2: t2, s3: t3 };
}
function decrypt(xk, s0, s1, s2, s3) {
  const { sbox2, T01, T23 } = tableDecoding;
  let k = 0;
  s0 ^= xk[k++], s1 ^= xk[k++], s2 ^= xk[k++], s3 ^= xk[k++];
  const rounds = xk.length / 4 - 2;
  for (let i = 0; i < rounds; i++) {
    const t02 = xk[k++] ^ apply0123(T01, T23, s0, s3, s2, s1);
    const t12 = xk[k++] ^ apply0123(T01, T23, s1, s0, s3, s2);
    const t22 = xk[k++] ^ apply0123(T01, T23, s2, s1, s0, s3);
    const t32 = xk[k++] ^ apply0123(T01, T23, s3, s2, s1, s0);
    s0 = t02, s1 = t12, s2 = t22, s3 = t32;
  }
  const t0 = xk[k++] ^ applySbox(sbox2, s0, s3, s2, s1);
  const t1 = xk[k++] ^ applySbox(sbox2, s1, s0, s3, s2);
  const t2 = xk[k++] ^ applySbox(sbox2, s2, s1, s0, s3);
  const t3 = xk[k++] ^ applySbox(sbox2, s3, s2, s1, s0);
  return { s0: t0, s1: t1, s2: t2, s3: t3 };
}
function validateBlockDecrypt(data, dst) {
  abytes(data);
  if (data.length % BLOCK_SIZE !== 0) {
    throw new Error("ciphertext must be multiple of " + BLOCK_SIZE);
  }
  if (dst !== void 0) {
    getOutput(data.length, dst);
    complexOverlapBytes(data, dst);
  }
}
function validateBlockEncrypt(plaintext, pkcs5, dst) {
  abytes(plaintext);
  let outLen = plaintext.length;
  const remaining = outLen % BLOCK_SIZE;
  if (!pkcs5 && remaining !== 0)
    throw new Error("plaintext must be multiple of " + BLOCK_SIZE);
  if (pkcs5) {
    let left = BLOCK_SIZE - remaining;
    if (!left)
      left = BLOCK_SIZE;
    outLen = outLen + left;
  }
  if (dst !== void 0) {
    getOutput(outLen, dst);
    complexOverlapBytes(plaintext, dst);
  }
  return outLen;
}
function prepareBlockEncrypt(plaintext, outLen, dst) {
  if (dst === void 0)
    dst = new Uint8Array(outLen);
  if (!isLE || !isAligned32(plaintext))
    plaintext = copyBytes(plaintext);
  const o = u32(dst);
  return { b: plaintext, o, out: dst };
}
function validatePKCS(data, pkcs5) {
  if (!pkcs5)
    return data;
  const len = data.length;
  if (len === 0)
    throw new Error("pkcs7: empty ciphertext not allowed");
  const lastByte = data[len - 1];
  let valid = 1;
  valid &= lastByte - 1 >>> 31 ^ 1;
  valid &= 16 - lastByte >>> 31 ^ 1;
  for (let i = 0; i < 16; i++) {
    const shouldCheck = i - lastByte >>> 31;
    const eq = (data[len - 1 - i] ^ lastByte) === 0 ? 1 : 0;
    valid &= eq | shouldCheck ^ 1;
  }
  if (!valid)
    throw new Error("aes: bad decrypt");
  return data.subarray(0, len - lastByte);
}
function padPCKS(left) {
  const tmp = new Uint8Array(16);
  const tmp32 = u32(tmp);
  tmp.set(left);
  const paddingByte = BLOCK_SIZE - left.length;
  for (let i = BLOCK_SIZE - paddingByte; i < BLOCK_SIZE; i++)
    tmp[i] = paddingByte;
  return tmp32;
}
var ecb = /* @__PURE__ */ wrapCipher({ blockSize: 16 }, function aesecb(key, opts = {}) {
  const pkcs5 = !opts.disablePadding;
  return {
    encrypt(plaintext, dst) {
      const outLen = validateBlockEncrypt(plaintext, pkcs5, dst);
      const xk = expandKeyLE(key);
      const { b: input, o, out: _out } = prepareBlockEncrypt(plaintext, outLen, dst);
      const b = u32(input);
      swap32IfBE(b);
      let i = 0;
      for (; i + 4 <= b.length; ) {
        const { s0, s1, s2, s3 } = encrypt(xk, b[i + 0], b[i + 1], b[i + 2], b[i + 3]);
        o[i++] = s0, o[i++] = s1, o[i++] = s2, o[i++] = s3;
      }
      if (pkcs5) {
        const tmp32 = padPCKS(plaintext.subarray(i * 4));
        swap32IfBE(tmp32);
        const { s0, s1, s2, s3 } = encrypt(xk, tmp32[0], tmp32[1], tmp32[2], tmp32[3]);
        o[i++] = s0, o[i++] = s1, o[i++] = s2, o[i++] = s3;
        clean(tmp32);
      }
      swap32IfBE(o);
      clean(xk);
      if (input !== plaintext)
        clean(input);
      return _out;
    },
    decrypt(ciphertext, dst) {
      validateBlockDecrypt(ciphertext, dst);
      const xk = expandKeyDecLE(key);
      if (dst === void 0)
        dst = new Uint8Array(ciphertext.length);
      const toClean = [xk];
      if (!isLE || !isAligned32(ciphertext))
        toClean.push(ciphertext = copyBytes(ciphertext));
      const b = u32(ciphertext);
      const o = u32(dst);
      swap32IfBE(b);
      for (let i = 0; i + 4 <= b.length; ) {
        const { s0, s1, s2, s3 } = decrypt(xk, b[i + 0], b[i + 1], b[i + 2], b[i + 3]);
        o[i++] = s0, o[i++] = s1, o[i++] = s2, o[i++] = s3;
      }
      swap32IfBE(o);
      clean(...toClean);
      return validatePKCS(dst, pkcs5);
    }
  };
});

// src/base64.js
var ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
var VALUES = new Map([...ALPHABET].map((c, i) => [c, i]));
function encodeBase64(bytes) {
  let text = "";
  let i = 0;
  for (; i + 2 < bytes.length; i += 3) {
    const n = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    text += ALPHABET[n >> 18] + ALPHABET[n >> 12 & 63] + ALPHABET[n >> 6 & 63] + ALPHABET[n & 63];
  }
  if (i + 1 === bytes.length) {
    const n = bytes[i] << 16;
    text += ALPHABET[n >> 18] + ALPHABET[n >> 12 & 63] + "==";
  } else if (i + 2 === bytes.length) {
    const n = bytes[i] << 16 | bytes[i + 1] << 8;
    text += ALPHABET[n >> 18] + ALPHABET[n >> 12 & 63] + ALPHABET[n >> 6 & 63] + "=";
  }
  return text;
}
function decodeBase64(text) {
  if (typeof text !== "string" || text.length % 4 !== 0) return null;
  const padding = text.endsWith("==") ? 2 : text.endsWith("=") ? 1 : 0;
  const bytes = new Uint8Array(text.length / 4 * 3 - padding);
  let bits = 0;
  let pending = 0;
  let at = 0;
  for (let i = 0; i < text.length - padding; i++) {
    const value = VALUES.get(text[i]);
    if (value === void 0) return null;
    bits = (bits << 6 | value) & 65535;
    pending += 6;
    if (pending >= 8) {
      pending -= 8;
      bytes[at++] = bits >> pending & 255;
    }
  }
  return bytes;
}
var encoder = new TextEncoder();
var decoder = new TextDecoder("utf-8", { fatal: true });
function utf8Bytes(text) {
  return encoder.encode(text);
}
function utf8Text(bytes) {
  try {
    return decoder.decode(bytes);
  } catch {
    return null;
  }
}

// src/envelope.js
var REQUEST_KEY = "B20F6E13A48D4c7bE94C2A60D17F3E85";
var RANKEY_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
var RANKEY_PATTERN = /^[A-Za-z0-9]{17,1024}$/;
function randomRankey(length = 32) {
  if (!Number.isInteger(length) || length < 17 || length > 1024) {
    throw new RangeError("a rankey has 17 to 1024 characters");
  }
  const source = globalThis.crypto;
  if (!source || typeof source.getRandomValues !== "function") {
    throw new Error("no cryptographic random source (crypto.getRandomValues)");
  }
  let rankey = "";
  while (rankey.length < length) {
    for (const byte of source.getRandomValues(new Uint8Array(length))) {
      if (byte < 248 && rankey.length < length) rankey += RANKEY_ALPHABET[byte % 62];
    }
  }
  return rankey;
}
function checkRankey(rankey) {
  if (typeof rankey !== "string" || !RANKEY_PATTERN.test(rankey)) {
    throw new RangeError("a rankey is 17 to 1024 letters and digits");
  }
}
function secondKey(rankey) {
  checkRankey(rankey);
  const bytes = utf8Bytes(rankey);
  const padded = new Uint8Array(Math.ceil(bytes.length / 16) * 16);
  padded.set(bytes);
  const decrypted = ecb(utf8Bytes(REQUEST_KEY), { disablePadding: true }).decrypt(padded);
  return encodeBase64(decrypted.subarray(0, 32)).slice(0, 32);
}
function envelopeFields(commandText, rankey = randomRankey()) {
  if (typeof commandText !== "string") throw new TypeError("the command is a text");
  const key = secondKey(rankey);
  const datab = encodeBase64(ecb(utf8Bytes(key)).encrypt(utf8Bytes(rankey)));
  return { rankey, datab, datac: encodeBase64(utf8Bytes(commandText)) };
}
function buildEnvelope(commandText, options = {}) {
  return JSON.stringify(envelopeFields(commandText, options.rankey ?? randomRankey()));
}

// src/errors.js
var TransportCode = Object.freeze({
  NO_SERVICE: "ENOSERVICE",
  // no port of 5110-5114 answered as the service
  NETWORK: "ENETWORK",
  // the request failed (no listener, or a certificate the browser does not trust)
  TIMEOUT: "ETIMEDOUT",
  // no answer within the time limit
  ABORTED: "EABORTED",
  // the caller's AbortSignal ended the request
  BAD_REPLY: "EBADREPLY"
  // an answer that is not the service's
});
var VasquillError = class extends Error {
  constructor(code, text, { source = "service", reply, cause } = {}) {
    super(`${text} (${code})`, cause === void 0 ? void 0 : { cause });
    this.name = "VasquillError";
    this.code = code;
    this.text = text;
    this.source = source;
    if (reply !== void 0) this.reply = reply;
  }
};
function transportError(code, text, cause) {
  return new VasquillError(code, text, { source: "transport", cause });
}

// src/adapter.js
function adapterParams(functionid, parameters = {}, vendor) {
  if (typeof functionid !== "string" || functionid === "") throw new TypeError("functionid is a non-empty text");
  if (parameters === null || typeof parameters !== "object" || Array.isArray(parameters)) {
    throw new TypeError("parameters is an object of named values");
  }
  const merged = { ...parameters };
  if (vendor !== void 0) merged.vendor = vendor;
  if (typeof merged.vendor !== "string" || merged.vendor === "") throw new TypeError("vendor is a non-empty text");
  return encodeBase64(utf8Bytes(JSON.stringify({ functionid, parameters: [merged] })));
}
function badReply(text) {
  return transportError(TransportCode.BAD_REPLY, text);
}
function adapterResult(reply) {
  if (reply === null || typeof reply !== "object") throw badReply("no reply to the adapter call");
  if (typeof reply.returnvalue !== "string") {
    if (Number.isInteger(reply.ecode)) {
      throw new VasquillError(reply.ecode, String(reply.message ?? ""), { source: "service", reply });
    }
    throw badReply('the reply holds no "returnvalue"');
  }
  const bytes = decodeBase64(reply.returnvalue);
  const text = bytes && utf8Text(bytes);
  if (text === null) throw badReply('"returnvalue" is not Base64 of UTF-8');
  let inner;
  try {
    inner = JSON.parse(text);
  } catch {
    throw badReply('"returnvalue" is not Base64 of JSON');
  }
  const items = inner?.returnvalue;
  if (!Array.isArray(items) || items.length < 2 || !Number.isInteger(items[0]?.ret) || typeof items[1]?.errormessage !== "string" || !items.slice(2).every((item) => item && "value" in item)) {
    throw badReply('the result list is not [{"ret"},{"errormessage"},{"value"}...]');
  }
  const values = items.slice(2).map((item) => item.value);
  const result = { ret: items[0].ret, errormessage: items[1].errormessage, value: values[0], values };
  if (result.ret !== 0) {
    throw new VasquillError(result.ret, result.errormessage, { source: "ukey", reply: result });
  }
  return result;
}

// src/transport.js
var SAFE = /^[A-Za-z0-9*\-._]$/;
function encodeQueryValue(text) {
  let out = "";
  for (const byte of utf8Bytes(text)) {
    const c = String.fromCharCode(byte);
    if (byte < 128 && SAFE.test(c)) out += c;
    else if (byte === 32) out += "+";
    else out += "%" + byte.toString(16).toUpperCase().padStart(2, "0");
  }
  return out;
}
function parseJsonp(text, callback) {
  const prefix = callback + "(";
  if (typeof text !== "string" || !text.startsWith(prefix) || !text.endsWith(")")) {
    throw transportError(TransportCode.BAD_REPLY, "the answer is not the service's JSONP reply");
  }
  const inner = text.slice(prefix.length, -1);
  if (inner.trim() === "") return null;
  let reply;
  try {
    reply = JSON.parse(inner);
  } catch (cause) {
    throw transportError(TransportCode.BAD_REPLY, "the reply is not JSON", cause);
  }
  if (reply === null || typeof reply !== "object" || Array.isArray(reply)) {
    throw transportError(TransportCode.BAD_REPLY, "the reply is not a JSON object");
  }
  return reply;
}
var sequence = 0;
function uniqueCallbackName() {
  const random = new Uint8Array(6);
  globalThis.crypto.getRandomValues(random);
  const hex = Array.from(random, (b) => b.toString(16).padStart(2, "0")).join("");
  return `vasquill_${hex}_${++sequence}`;
}
function abortError(signal) {
  return transportError(TransportCode.ABORTED, "the request was aborted", signal.reason);
}
function guarded({ timeout, signal, cleanup }, start) {
  return new Promise((resolve, reject) => {
    let timer;
    let done = false;
    const onAbort = () => finish(abortError(signal));
    const finish = (error, value) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      signal?.removeEventListener("abort", onAbort);
      cleanup?.(error);
      if (error) reject(error);
      else resolve(value);
    };
    if (signal?.aborted) return finish(abortError(signal));
    signal?.addEventListener("abort", onAbort);
    if (timeout > 0) {
      timer = setTimeout(
        () => finish(transportError(TransportCode.TIMEOUT, `no answer within ${timeout} ms`)),
        timeout
      );
    }
    start(finish);
  });
}
function sendJsonp(base, envelope, { document = globalThis.document, global = globalThis, timeout = 0, signal } = {}) {
  if (!document) throw new TypeError("JSONP needs a document");
  const name = uniqueCallbackName();
  const script = document.createElement("script");
  let answered = false;
  let reply = null;
  const removeLater = () => {
    script.onload = script.onerror = null;
    delete global[name];
  };
  return guarded(
    {
      timeout,
      signal,
      cleanup: () => {
        if (answered || script.onload === null) delete global[name];
        else {
          global[name] = () => {
          };
          script.onload = script.onerror = removeLater;
        }
        script.remove();
      }
    },
    (finish) => {
      global[name] = (value) => {
        answered = true;
        reply = value === void 0 ? null : value;
      };
      script.onload = () => {
        script.onload = script.onerror = null;
        if (!answered) finish(transportError(TransportCode.BAD_REPLY, "the answer did not call its callback"));
        else if (reply !== null && (typeof reply !== "object" || Array.isArray(reply))) {
          finish(transportError(TransportCode.BAD_REPLY, "the reply is not a JSON object"));
        } else finish(null, reply);
      };
      script.onerror = () => {
        script.onload = script.onerror = null;
        finish(transportError(TransportCode.NETWORK, `no answer from ${base} (is the service running, and its certificate trusted?)`));
      };
      script.async = true;
      script.charset = "utf-8";
      script.referrerPolicy = "no-referrer";
      script.src = `${base}/?jsoncallback=${name}&str=${encodeQueryValue(envelope)}`;
      (document.head || document.documentElement).appendChild(script);
    }
  );
}
function formFields(callback, envelope, com = "1") {
  return [
    ["jsoncallback", callback],
    ["str", encodeQueryValue(envelope)],
    ["com", com],
    ["client", "vasquill-client"],
    ["time", String(Date.now())]
  ];
}
function sendPost(base, envelope, { fetch = globalThis.fetch, timeout = 0, signal } = {}) {
  if (typeof fetch !== "function") throw new TypeError("POST needs fetch");
  const name = uniqueCallbackName();
  const form = new FormData();
  for (const [field, value] of formFields(name, envelope)) form.append(field, value);
  const controller = new AbortController();
  return guarded({ timeout, signal, cleanup: (error) => error && controller.abort() }, async (finish) => {
    try {
      const response = await fetch(`${base}/`, {
        method: "POST",
        body: form,
        mode: "cors",
        credentials: "omit",
        cache: "no-store",
        referrerPolicy: "no-referrer",
        signal: controller.signal
      });
      const text = await response.text();
      if (response.status !== 200) {
        finish(transportError(TransportCode.BAD_REPLY, `the service answered HTTP ${response.status}`));
      } else {
        finish(null, parseJsonp(text, name));
      }
    } catch (error) {
      if (error?.name === "VasquillError") finish(error);
      else finish(transportError(TransportCode.NETWORK, `no answer from ${base} (is the service running, and its certificate trusted?)`, error));
    }
  });
}

// src/client.js
var PORTS = Object.freeze([5110, 5111, 5112, 5113, 5114]);
var READ_ONLY = /* @__PURE__ */ new Set([3, 4, 5, 8, 9]);
var USER_FUNCTIONS = /* @__PURE__ */ new Set([
  "ChangePin",
  "InitUKey",
  "VerifyPIN",
  "GenerateCertRequest",
  "Batch_InitAndGenerateCertRequest",
  "ImportX509Cert",
  "Batch_ImportX509Cert",
  "ImportEncX509Cert",
  "DelCertAndTempKey",
  "Sign",
  "SignHash",
  "Batch_Sign",
  "AsymDec"
]);
function checkReply(reply) {
  if (reply === null) {
    throw transportError(TransportCode.BAD_REPLY, "the service answered without a reply");
  }
  if (!Number.isInteger(reply.ecode)) throw transportError(TransportCode.BAD_REPLY, 'the reply has no "ecode"');
  if (reply.ecode !== 0) {
    throw new VasquillError(reply.ecode, String(reply.message ?? reply.errormessage ?? ""), { source: "service", reply });
  }
  return reply;
}
var _port, _finding, _VasquillClient_instances, base_fn, exchange_fn;
var VasquillClient = class {
  // options: transport "post" (default: the answer is parsed, never run) or
  // "jsonp"; host (127.0.0.1); ports; timeout for a command in ms (30,000;
  // 0 for none), userTimeout for functions that wait for the user (180,000),
  // probeTimeout per port while looking for the service (5,000); and, for
  // other environments than a page, fetch, document and global.
  constructor(options = {}) {
    __privateAdd(this, _VasquillClient_instances);
    __privateAdd(this, _port, null);
    __privateAdd(this, _finding, null);
    this.options = {
      transport: "post",
      host: "127.0.0.1",
      ports: PORTS,
      timeout: 3e4,
      userTimeout: 18e4,
      probeTimeout: 5e3,
      fetch: void 0,
      document: void 0,
      global: void 0,
      ...options
    };
    if (!["post", "jsonp"].includes(this.options.transport)) throw new TypeError('transport is "post" or "jsonp"');
  }
  // The port the service was found on, or null.
  get port() {
    return __privateGet(this, _port);
  }
  // The first port (in the order of options.ports) where the service answers
  // getVersion, probing all of them at once; remembered for later requests.
  findService({ force = false, signal } = {}) {
    if (__privateGet(this, _port) !== null && !force) return Promise.resolve(__privateGet(this, _port));
    if (__privateGet(this, _finding)) return __privateGet(this, _finding);
    const ports = this.options.ports;
    const probes = ports.map(
      (port) => __privateMethod(this, _VasquillClient_instances, exchange_fn).call(this, port, '{"pcode":4}', { timeout: this.options.probeTimeout, signal }).then((reply) => reply !== null && reply.ecode === 0 && typeof reply.version === "string").catch((error) => {
        if (error.code === TransportCode.ABORTED) throw error;
        return false;
      })
    );
    __privateSet(this, _finding, (async () => {
      for (let i = 0; i < ports.length; i++) {
        if (await probes[i]) return __privateSet(this, _port, ports[i]);
      }
      throw transportError(
        TransportCode.NO_SERVICE,
        `the service answers on none of the ports ${ports.join(", ")} of ${this.options.host} (is it installed and running, and its certificate trusted by this browser?)`
      );
    })().finally(() => {
      __privateSet(this, _finding, null);
    }));
    return __privateGet(this, _finding);
  }
  // Sends a command (an object with "pcode", or its JSON text) and gives the
  // reply object as the service wrote it, or null for an empty reply.
  async send(command, options = {}) {
    const text = typeof command === "string" ? command : JSON.stringify(command);
    const port = await this.findService({ signal: options.signal });
    try {
      return await __privateMethod(this, _VasquillClient_instances, exchange_fn).call(this, port, text, options);
    } catch (error) {
      if (error.code !== TransportCode.NETWORK) throw error;
      if (__privateGet(this, _port) === port) __privateSet(this, _port, null);
      const pcode = typeof command === "string" ? null : command.pcode;
      if (!READ_ONLY.has(pcode)) throw error;
      const found = await this.findService({ signal: options.signal });
      return __privateMethod(this, _VasquillClient_instances, exchange_fn).call(this, found, text, options);
    }
  }
  // Sends a command and checks its "ecode": a reply with another code than 0
  // becomes a VasquillError.
  async command(command, options) {
    return checkReply(await this.send(command, options));
  }
  // pcode 0: checks the component's signature file, loads it and calls its
  // Initialize.  type 0 (default) or 1 is the signature file's type.
  async loadComponent(name, type = 0, options) {
    if (typeof name !== "string" || name === "") throw new TypeError("name is a non-empty text");
    if (type !== 0 && type !== 1) throw new TypeError("type is 0 or 1");
    await this.command({ pcode: 0, name, type }, options);
  }
  // pcode 1: the loaded component's Invoke with a params text; the
  // component's reply as it wrote it.
  async callComponent(params, options) {
    if (typeof params !== "string") throw new TypeError("params is a text");
    return this.send({ pcode: 1, params }, options);
  }
  // pcode 2: the loaded component's Finalize, and unloads it.
  async unloadComponent(options) {
    await this.command({ pcode: 2 }, options);
  }
  // pcode 3: the names of the installed components.
  async listComponents(componentpath, options) {
    const command = { pcode: 3 };
    if (componentpath !== void 0) {
      if (typeof componentpath !== "string") throw new TypeError("componentpath is a text");
      command.componentpath = componentpath;
    }
    const reply = await this.command(command, options);
    return reply.list === "" ? [] : String(reply.list).split(",");
  }
  // pcode 4: the service's version ("1.0.0.0").
  async getVersion(options) {
    return (await this.command({ pcode: 4 }, options)).version;
  }
  // pcode 5: the service's text for an error code.
  async getErrorMessage(errcode, options) {
    if (!Number.isInteger(errcode)) throw new TypeError("errcode is an integer");
    return (await this.command({ pcode: 5, errcode }, options)).errormessage;
  }
  // pcode 7: switches the service's diagnostic log on or off.
  async setLog(on, options) {
    if (typeof on !== "boolean") throw new TypeError("the log switch is true or false");
    await this.command({ pcode: 7, Log: on }, options);
  }
  // pcode 8: whether the diagnostic log is on.
  async getLogStatus(options) {
    return (await this.command({ pcode: 8 }, options)).Log;
  }
  // pcode 9: the MD5 of a component file (32 lower-case hexadecimal digits).
  async getComponentMd5(name, options) {
    if (typeof name !== "string" || name === "") throw new TypeError("name is a non-empty text");
    return (await this.command({ pcode: 9, name }, options)).md5;
  }
  // A call of the loaded UKey adapter: invoke("Sign", {szSN, ...}, "test").
  // Resolves to {ret: 0, errormessage, value, values}; a refusal by the
  // service or a result other than 0 rejects with a VasquillError.
  async invoke(functionid, parameters = {}, vendor, options = {}) {
    const params = adapterParams(functionid, parameters, vendor);
    let timeout = options.timeout;
    if (timeout === void 0) {
      if (functionid === "WaitForKeyEvent") timeout = 0;
      else if (USER_FUNCTIONS.has(functionid)) timeout = this.options.userTimeout;
    }
    const reply = await this.callComponent(params, { ...options, ...timeout === void 0 ? {} : { timeout } });
    return adapterResult(reply);
  }
};
_port = new WeakMap();
_finding = new WeakMap();
_VasquillClient_instances = new WeakSet();
base_fn = function(port) {
  return `https://${this.options.host}:${port}`;
};
exchange_fn = async function(port, commandText, { transport = this.options.transport, timeout = this.options.timeout, signal } = {}) {
  const envelope = buildEnvelope(commandText);
  const base = __privateMethod(this, _VasquillClient_instances, base_fn).call(this, port);
  if (transport === "jsonp") {
    return sendJsonp(base, envelope, { document: this.options.document, global: this.options.global, timeout, signal });
  }
  if (transport === "post") return sendPost(base, envelope, { fetch: this.options.fetch, timeout, signal });
  throw new TypeError('transport is "post" or "jsonp"');
};
export {
  PORTS,
  REQUEST_KEY,
  TransportCode,
  VasquillClient,
  VasquillError,
  adapterParams,
  adapterResult,
  buildEnvelope,
  decodeBase64,
  encodeBase64,
  encodeQueryValue,
  envelopeFields,
  formFields,
  parseJsonp,
  randomRankey,
  secondKey,
  sendJsonp,
  sendPost
};
