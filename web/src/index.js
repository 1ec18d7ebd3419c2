// vasquill-client: the web page's side of the Vasquill service.
export { VasquillClient, PORTS } from './client.js';
export { VasquillError, TransportCode } from './errors.js';
export { buildEnvelope, envelopeFields, randomRankey, secondKey, REQUEST_KEY } from './envelope.js';
export { encodeQueryValue, parseJsonp, formFields, sendJsonp, sendPost } from './transport.js';
export { adapterParams, adapterResult } from './adapter.js';
export { encodeBase64, decodeBase64 } from './base64.js';
