// VasquillClient: finds the service, sends commands in envelopes, and offers
// one method per command and one for adapter calls.

import { buildEnvelope } from './envelope.js';
import { adapterParams, adapterResult } from './adapter.js';
import { TransportCode, VasquillError, transportError } from './errors.js';
import { sendJsonp, sendPost } from './transport.js';

export const PORTS = Object.freeze([5110, 5111, 5112, 5113, 5114]);

// Commands that change nothing: sent again once on a newly found port when
// the remembered one stops answering (the watchdog may have opened the
// service on another port).
const READ_ONLY = new Set([3, 4, 5, 8, 9]);

// Adapter functions that wait for the user (PIN entry, confirmation) or for a
// key event; the first get a longer time limit, WaitForKeyEvent none.
const USER_FUNCTIONS = new Set([
  'ChangePin', 'InitUKey', 'VerifyPIN', 'GenerateCertRequest', 'Batch_InitAndGenerateCertRequest',
  'ImportX509Cert', 'Batch_ImportX509Cert', 'ImportEncX509Cert', 'DelCertAndTempKey',
  'Sign', 'SignHash', 'Batch_Sign', 'AsymDec',
]);

function checkReply(reply) {
  if (reply === null) {
    throw transportError(TransportCode.BAD_REPLY, 'the service answered without a reply');
  }
  if (!Number.isInteger(reply.ecode)) throw transportError(TransportCode.BAD_REPLY, 'the reply has no "ecode"');
  if (reply.ecode !== 0) {
    throw new VasquillError(reply.ecode, String(reply.message ?? reply.errormessage ?? ''), { source: 'service', reply });
  }
  return reply;
}

export class VasquillClient {
  #port = null;
  #finding = null;

  // options: transport "post" (default: the answer is parsed, never run) or
  // "jsonp"; host (127.0.0.1); ports; timeout for a command in ms (30,000;
  // 0 for none), userTimeout for functions that wait for the user (180,000),
  // probeTimeout per port while looking for the service (5,000); and, for
  // other environments than a page, fetch, document and global.
  constructor(options = {}) {
    this.options = {
      transport: 'post',
      host: '127.0.0.1',
      ports: PORTS,
      timeout: 30000,
      userTimeout: 180000,
      probeTimeout: 5000,
      fetch: undefined,
      document: undefined,
      global: undefined,
      ...options,
    };
    if (!['post', 'jsonp'].includes(this.options.transport)) throw new TypeError('transport is "post" or "jsonp"');
  }

  // The port the service was found on, or null.
  get port() {
    return this.#port;
  }

  #base(port) {
    return `https://${this.options.host}:${port}`;
  }

  async #exchange(port, commandText, { transport = this.options.transport, timeout = this.options.timeout, signal } = {}) {
    const envelope = buildEnvelope(commandText);
    const base = this.#base(port);
    if (transport === 'jsonp') {
      return sendJsonp(base, envelope, { document: this.options.document, global: this.options.global, timeout, signal });
    }
    if (transport === 'post') return sendPost(base, envelope, { fetch: this.options.fetch, timeout, signal });
    throw new TypeError('transport is "post" or "jsonp"');
  }

  // The first port (in the order of options.ports) where the service answers
  // getVersion, probing all of them at once; remembered for later requests.
  findService({ force = false, signal } = {}) {
    if (this.#port !== null && !force) return Promise.resolve(this.#port);
    if (this.#finding) return this.#finding;
    const ports = this.options.ports;
    const probes = ports.map((port) =>
      this.#exchange(port, '{"pcode":4}', { timeout: this.options.probeTimeout, signal })
        .then((reply) => reply !== null && reply.ecode === 0 && typeof reply.version === 'string')
        .catch((error) => {
          if (error.code === TransportCode.ABORTED) throw error;
          return false;
        }),
    );
    this.#finding = (async () => {
      for (let i = 0; i < ports.length; i++) {
        if (await probes[i]) return (this.#port = ports[i]);
      }
      throw transportError(
        TransportCode.NO_SERVICE,
        `the service answers on none of the ports ${ports.join(', ')} of ${this.options.host} ` +
          '(is it installed and running, and its certificate trusted by this browser?)',
      );
    })().finally(() => {
      this.#finding = null;
    });
    return this.#finding;
  }

  // Sends a command (an object with "pcode", or its JSON text) and gives the
  // reply object as the service wrote it, or null for an empty reply.
  async send(command, options = {}) {
    const text = typeof command === 'string' ? command : JSON.stringify(command);
    const port = await this.findService({ signal: options.signal });
    try {
      return await this.#exchange(port, text, options);
    } catch (error) {
      if (error.code !== TransportCode.NETWORK) throw error;
      // The service may have moved: look for it again next time, and now for
      // a command that can safely be sent twice.
      if (this.#port === port) this.#port = null;
      const pcode = typeof command === 'string' ? null : command.pcode;
      if (!READ_ONLY.has(pcode)) throw error;
      const found = await this.findService({ signal: options.signal });
      return this.#exchange(found, text, options);
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
    if (typeof name !== 'string' || name === '') throw new TypeError('name is a non-empty text');
    if (type !== 0 && type !== 1) throw new TypeError('type is 0 or 1');
    await this.command({ pcode: 0, name, type }, options);
  }

  // pcode 1: the loaded component's Invoke with a params text; the
  // component's reply as it wrote it.
  async callComponent(params, options) {
    if (typeof params !== 'string') throw new TypeError('params is a text');
    return this.send({ pcode: 1, params }, options);
  }

  // pcode 2: the loaded component's Finalize, and unloads it.
  async unloadComponent(options) {
    await this.command({ pcode: 2 }, options);
  }

  // pcode 3: the names of the installed components.
  async listComponents(componentpath, options) {
    const command = { pcode: 3 };
    if (componentpath !== undefined) {
      if (typeof componentpath !== 'string') throw new TypeError('componentpath is a text');
      command.componentpath = componentpath;
    }
    const reply = await this.command(command, options);
    return reply.list === '' ? [] : String(reply.list).split(',');
  }

  // pcode 4: the service's version ("1.0.0.0").
  async getVersion(options) {
    return (await this.command({ pcode: 4 }, options)).version;
  }

  // pcode 5: the service's text for an error code.
  async getErrorMessage(errcode, options) {
    if (!Number.isInteger(errcode)) throw new TypeError('errcode is an integer');
    return (await this.command({ pcode: 5, errcode }, options)).errormessage;
  }

  // pcode 7: switches the service's diagnostic log on or off.
  async setLog(on, options) {
    if (typeof on !== 'boolean') throw new TypeError('the log switch is true or false');
    await this.command({ pcode: 7, Log: on }, options);
  }

  // pcode 8: whether the diagnostic log is on.
  async getLogStatus(options) {
    return (await this.command({ pcode: 8 }, options)).Log;
  }

  // pcode 9: the MD5 of a component file (32 lower-case hexadecimal digits).
  async getComponentMd5(name, options) {
    if (typeof name !== 'string' || name === '') throw new TypeError('name is a non-empty text');
    return (await this.command({ pcode: 9, name }, options)).md5;
  }

  // A call of the loaded UKey adapter: invoke("Sign", {szSN, ...}, "test").
  // Resolves to {ret: 0, errormessage, value, values}; a refusal by the
  // service or a result other than 0 rejects with a VasquillError.
  async invoke(functionid, parameters = {}, vendor, options = {}) {
    const params = adapterParams(functionid, parameters, vendor);
    let timeout = options.timeout;
    if (timeout === undefined) {
      if (functionid === 'WaitForKeyEvent') timeout = 0;
      else if (USER_FUNCTIONS.has(functionid)) timeout = this.options.userTimeout;
    }
    const reply = await this.callComponent(params, { ...options, ...(timeout === undefined ? {} : { timeout }) });
    return adapterResult(reply);
  }
}
