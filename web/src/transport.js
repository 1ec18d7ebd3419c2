// The two ways a page sends an envelope: a JSONP GET through a script element,
// and a multipart POST of exactly five fields through fetch.  Both answer
// with the text "NAME(reply)".

import { utf8Bytes } from './base64.js';
import { TransportCode, transportError } from './errors.js';

const SAFE = /^[A-Za-z0-9*\-._]$/;

// Percent-encoding as the service decodes it: letters, digits and "*-._"
// stay, the space becomes "+", every other byte of the UTF-8 text becomes
// "%XX" with upper-case digits (the service takes no lower-case ones).
export function encodeQueryValue(text) {
  let out = '';
  for (const byte of utf8Bytes(text)) {
    const c = String.fromCharCode(byte);
    if (byte < 128 && SAFE.test(c)) out += c;
    else if (byte === 32) out += '+';
    else out += '%' + byte.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

// The reply inside "NAME(" and ")": the parsed JSON object, or null for the
// empty "NAME()".  Throws EBADREPLY for any other text; the text is never run.
export function parseJsonp(text, callback) {
  const prefix = callback + '(';
  if (typeof text !== 'string' || !text.startsWith(prefix) || !text.endsWith(')')) {
    throw transportError(TransportCode.BAD_REPLY, 'the answer is not the service\'s JSONP reply');
  }
  const inner = text.slice(prefix.length, -1);
  if (inner.trim() === '') return null;
  let reply;
  try {
    reply = JSON.parse(inner);
  } catch (cause) {
    throw transportError(TransportCode.BAD_REPLY, 'the reply is not JSON', cause);
  }
  if (reply === null || typeof reply !== 'object' || Array.isArray(reply)) {
    throw transportError(TransportCode.BAD_REPLY, 'the reply is not a JSON object');
  }
  return reply;
}

let sequence = 0;

// A callback name no other request of this page uses.
export function uniqueCallbackName() {
  const random = new Uint8Array(6);
  globalThis.crypto.getRandomValues(random);
  const hex = Array.from(random, (b) => b.toString(16).padStart(2, '0')).join('');
  return `vasquill_${hex}_${++sequence}`;
}

function abortError(signal) {
  return transportError(TransportCode.ABORTED, 'the request was aborted', signal.reason);
}

// Runs start(finish) with a time limit (0: none) and an AbortSignal; finish
// settles once, and cleanup runs once after it in every case.
function guarded({ timeout, signal, cleanup }, start) {
  return new Promise((resolve, reject) => {
    let timer;
    let done = false;
    const onAbort = () => finish(abortError(signal));
    const finish = (error, value) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
      cleanup?.(error);
      if (error) reject(error);
      else resolve(value);
    };
    if (signal?.aborted) return finish(abortError(signal));
    signal?.addEventListener('abort', onAbort);
    if (timeout > 0) {
      timer = setTimeout(
        () => finish(transportError(TransportCode.TIMEOUT, `no answer within ${timeout} ms`)),
        timeout,
      );
    }
    start(finish);
  });
}

// JSONP: a script element whose source is
// BASE/?jsoncallback=NAME&str=ENVELOPE, and a global function NAME that the
// answer calls.  The element and the function are removed when the request
// ends; after a time-out or an abort the function stays as a no-op until the
// late answer has come or failed, so that it does not raise an error in the
// page.
export function sendJsonp(base, envelope, { document = globalThis.document, global = globalThis, timeout = 0, signal } = {}) {
  if (!document) throw new TypeError('JSONP needs a document');
  const name = uniqueCallbackName();
  const script = document.createElement('script');
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
          global[name] = () => {};
          script.onload = script.onerror = removeLater;
        }
        script.remove();
      },
    },
    (finish) => {
      global[name] = (value) => {
        answered = true;
        reply = value === undefined ? null : value;
      };
      script.onload = () => {
        script.onload = script.onerror = null;
        if (!answered) finish(transportError(TransportCode.BAD_REPLY, 'the answer did not call its callback'));
        else if (reply !== null && (typeof reply !== 'object' || Array.isArray(reply))) {
          finish(transportError(TransportCode.BAD_REPLY, 'the reply is not a JSON object'));
        } else finish(null, reply);
      };
      script.onerror = () => {
        script.onload = script.onerror = null;
        finish(transportError(TransportCode.NETWORK, `no answer from ${base} (is the service running, and its certificate trusted?)`));
      };
      script.async = true;
      script.charset = 'utf-8';
      script.referrerPolicy = 'no-referrer';
      script.src = `${base}/?jsoncallback=${name}&str=${encodeQueryValue(envelope)}`;
      (document.head || document.documentElement).appendChild(script);
    },
  );
}

// The five fields of the form: the callback, the percent-encoded envelope,
// "com" (not empty, or the service runs nothing) and two the service ignores.
export function formFields(callback, envelope, com = '1') {
  return [
    ['jsoncallback', callback],
    ['str', encodeQueryValue(envelope)],
    ['com', com],
    ['client', 'vasquill-client'],
    ['time', String(Date.now())],
  ];
}

// POST: a multipart form (a request that needs no CORS preflight) whose
// answer is read as text and parsed, never run as script.
export function sendPost(base, envelope, { fetch = globalThis.fetch, timeout = 0, signal } = {}) {
  if (typeof fetch !== 'function') throw new TypeError('POST needs fetch');
  const name = uniqueCallbackName();
  const form = new FormData();
  for (const [field, value] of formFields(name, envelope)) form.append(field, value);
  const controller = new AbortController();
  return guarded({ timeout, signal, cleanup: (error) => error && controller.abort() }, async (finish) => {
    try {
      const response = await fetch(`${base}/`, {
        method: 'POST',
        body: form,
        mode: 'cors',
        credentials: 'omit',
        cache: 'no-store',
        referrerPolicy: 'no-referrer',
        signal: controller.signal,
      });
      const text = await response.text();
      if (response.status !== 200) {
        finish(transportError(TransportCode.BAD_REPLY, `the service answered HTTP ${response.status}`));
      } else {
        finish(null, parseJsonp(text, name));
      }
    } catch (error) {
      if (error?.name === 'VasquillError') finish(error);
      else finish(transportError(TransportCode.NETWORK, `no answer from ${base} (is the service running, and its certificate trusted?)`, error));
    }
  });
}
