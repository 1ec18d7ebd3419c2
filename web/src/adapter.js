// Calls of the UKey adapter tarven_ukey: the "params" text of
// {"pcode":1,"params":...} and the result list of its reply.

import { decodeBase64, encodeBase64, utf8Bytes, utf8Text } from './base64.js';
import { TransportCode, VasquillError, transportError } from './errors.js';

// Base64 of the UTF-8 JSON {"functionid":...,"parameters":[{...,"vendor":...}]}.
export function adapterParams(functionid, parameters = {}, vendor) {
  if (typeof functionid !== 'string' || functionid === '') throw new TypeError('functionid is a non-empty text');
  if (parameters === null || typeof parameters !== 'object' || Array.isArray(parameters)) {
    throw new TypeError('parameters is an object of named values');
  }
  const merged = { ...parameters };
  if (vendor !== undefined) merged.vendor = vendor;
  if (typeof merged.vendor !== 'string' || merged.vendor === '') throw new TypeError('vendor is a non-empty text');
  return encodeBase64(utf8Bytes(JSON.stringify({ functionid, parameters: [merged] })));
}

function badReply(text) {
  return transportError(TransportCode.BAD_REPLY, text);
}

// The result of an adapter call from the reply of {"pcode":1}:
// {ret, errormessage, value, values}, value being the first of values.
// A reply of the service's own ({"ecode":...}) and a result other than 0
// become VasquillErrors.
export function adapterResult(reply) {
  if (reply === null || typeof reply !== 'object') throw badReply('no reply to the adapter call');
  if (typeof reply.returnvalue !== 'string') {
    if (Number.isInteger(reply.ecode)) {
      throw new VasquillError(reply.ecode, String(reply.message ?? ''), { source: 'service', reply });
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
  if (!Array.isArray(items) || items.length < 2 || !Number.isInteger(items[0]?.ret) ||
      typeof items[1]?.errormessage !== 'string' || !items.slice(2).every((item) => item && 'value' in item)) {
    throw badReply('the result list is not [{"ret"},{"errormessage"},{"value"}...]');
  }
  const values = items.slice(2).map((item) => item.value);
  const result = { ret: items[0].ret, errormessage: items[1].errormessage, value: values[0], values };
  if (result.ret !== 0) {
    throw new VasquillError(result.ret, result.errormessage, { source: 'ukey', reply: result });
  }
  return result;
}
