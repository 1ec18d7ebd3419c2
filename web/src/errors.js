// Every failure the client reports: a code and its text.
//
//   source "service"   the service refused the command: code is its "ecode"
//                      (-2, -900 to -930), text its "message"
//   source "ukey"      the adapter or the vendor driver answered with a
//                      result other than 0: code is "ret", text "errormessage"
//   source "transport" no answer: code is one of the texts below
export const TransportCode = Object.freeze({
  NO_SERVICE: 'ENOSERVICE', // no port of 5110-5114 answered as the service
  NETWORK: 'ENETWORK', // the request failed (no listener, or a certificate the browser does not trust)
  TIMEOUT: 'ETIMEDOUT', // no answer within the time limit
  ABORTED: 'EABORTED', // the caller's AbortSignal ended the request
  BAD_REPLY: 'EBADREPLY', // an answer that is not the service's
});

export class VasquillError extends Error {
  constructor(code, text, { source = 'service', reply, cause } = {}) {
    super(`${text} (${code})`, cause === undefined ? undefined : { cause });
    this.name = 'VasquillError';
    this.code = code;
    this.text = text;
    this.source = source;
    if (reply !== undefined) this.reply = reply;
  }
}

export function transportError(code, text, cause) {
  return new VasquillError(code, text, { source: 'transport', cause });
}
