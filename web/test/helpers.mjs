// Helpers of the client's tests: the service's side of the envelope and of
// the form, written independently of the client with node's own crypto.
import { createDecipheriv } from 'node:crypto';

export const REQUEST_KEY = 'B20F6E13A48D4c7bE94C2A60D17F3E85';

function aesEcbDecrypt(data, key, padding) {
  const decipher = createDecipheriv('aes-256-ecb', Buffer.from(key, 'latin1'), null);
  decipher.setAutoPadding(padding);
  return Buffer.concat([decipher.update(data), decipher.final()]);
}

// The command text of an envelope as the service checks it, or null when the
// check fails.
export function openEnvelope(envelopeText) {
  const { rankey, datab, datac } = JSON.parse(envelopeText);
  if (typeof rankey !== 'string' || rankey === '') return null;
  const padded = Buffer.alloc(Math.ceil(Buffer.byteLength(rankey) / 16) * 16);
  padded.write(rankey);
  const key = aesEcbDecrypt(padded, REQUEST_KEY, false).subarray(0, 32).toString('base64').slice(0, 32);
  if (key.length !== 32) return null;
  let check;
  try {
    check = aesEcbDecrypt(Buffer.from(datab, 'base64'), key, true);
  } catch {
    return null;
  }
  if (!check.subarray(0, Buffer.byteLength(rankey)).equals(Buffer.from(rankey))) return null;
  return Buffer.from(datac, 'base64').toString('utf8');
}

// The service's percent-decoding: "+" is a space, "%XX" with upper-case
// digits a byte, a "%" before anything else is dropped.
export function serviceDecode(text) {
  const bytes = [];
  const hex = /^[0-9A-F]{2}$/;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c === '+') bytes.push(32);
    else if (c === '%' && hex.test(text.slice(i + 1, i + 3))) {
      bytes.push(parseInt(text.slice(i + 1, i + 3), 16));
      i += 2;
    } else if (c === '%' && i + 1 < text.length) continue;
    else bytes.push(...Buffer.from(c));
  }
  return Buffer.from(bytes).toString('utf8');
}

// The fields of a multipart body as the service parses it: null unless the
// body splits into exactly five parts.
export function serviceFormFields(body, contentType) {
  const marker = '; boundary=';
  const at = contentType.indexOf(marker);
  if (at < 0) return null;
  const boundary = contentType.slice(at + marker.length);
  if (body.indexOf(boundary) !== 2) return null;
  const pieces = body.slice(boundary.length + 2).split('\r\n--' + boundary);
  pieces.pop(); // the text after the last separator is not a field
  if (pieces.length !== 5) return null;
  const fields = {};
  for (const piece of pieces) {
    const m = piece.indexOf('name="');
    const w = piece.indexOf('"\r\n\r\n');
    if (m > 0 && w > 0 && m < w) fields[piece.slice(m + 6, w)] = piece.slice(w + 5);
  }
  return fields;
}

// A fetch that answers like the service on the ports of `answers`:
// answers[port] is a function (command object) -> reply object, the text
// "refused" (a network error), or a function returning a raw body text
// ({raw}).  Records every request as {port, fields, command}.
export function fakeServiceFetch(answers, { delay = {} } = {}) {
  const requests = [];
  const fetch = async (url, init) => {
    const port = Number(new URL(url).port);
    const request = new Request(url, { method: init.method, body: init.body });
    const body = await request.text();
    const fields = serviceFormFields(body, request.headers.get('content-type'));
    const command = fields ? openEnvelope(serviceDecode(fields.str)) : null;
    requests.push({ port, fields, command });
    if (delay[port]) {
      await new Promise((resolve, reject) => {
        const timer = setTimeout(resolve, delay[port]);
        init.signal?.addEventListener('abort', () => {
          clearTimeout(timer);
          reject(new DOMException('aborted', 'AbortError'));
        });
      });
    }
    const answer = answers[port];
    if (answer === undefined || answer === 'refused') throw new TypeError('fetch failed');
    const reply = answer(command === null ? null : JSON.parse(command), fields);
    const text = reply && reply.raw !== undefined ? reply.raw : `${fields.jsoncallback}(${JSON.stringify(reply)}\n)`;
    return new Response(text, { status: 200, headers: { 'Content-Type': 'text/plain' } });
  };
  return { fetch, requests };
}

export const versionReply = { ecode: 0, message: '成功', version: '1.0.0.0' };
