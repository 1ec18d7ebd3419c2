// The demo's local web server: serves the demo page and the client module,
// and plays the bank's part that a page cannot: a demo certificate authority
// that issues SM2 certificates for the software UKey's requests, and the
// check of a signature against the certificate read back from the key. Both
// run OpenSSL's command line (SM2 with SM3 and the identity
// 1234567812345678).
//
//   node server.mjs [--port N] [--state DIR]
//
// Listens on 127.0.0.1 only (port 8410 by default; 0 picks a free one) and
// prints "Demo page: http://127.0.0.1:PORT/".  The CA's key and certificate
// live in DIR (default: a fresh temporary folder, removed at exit).
import { execFile } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { randomBytes } from 'node:crypto';

const here = path.dirname(fileURLToPath(import.meta.url));
const ID = 'distid:1234567812345678';
const SERVICE_PORTS = [5110, 5111, 5112, 5113, 5114];

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  return at > 0 && at + 1 < process.argv.length ? process.argv[at + 1] : fallback;
}

// The files the server gives out, and nothing else.
const FILES = {
  '/': [path.join(here, 'index.html'), 'text/html; charset=utf-8'],
  '/demo.js': [path.join(here, 'demo.js'), 'text/javascript; charset=utf-8'],
  '/demo.css': [path.join(here, 'demo.css'), 'text/css; charset=utf-8'],
  '/vasquill-client.js': [path.join(here, '..', 'vasquill-client.js'), 'text/javascript; charset=utf-8'],
};

// The page may reach the service (fetch for POST, script elements for JSONP)
// and this server, nothing else.
const service = SERVICE_PORTS.map((port) => `https://127.0.0.1:${port}`).join(' ');
const POLICY = `default-src 'self'; script-src 'self' ${service}; connect-src 'self' ${service}; ` +
  "style-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'; form-action 'none'";

// Runs OpenSSL's command line (no shell); its standard output, or an error.
// With `both`, standard output and standard error together.
function openssl(args, cwd, { both = false } = {}) {
  return new Promise((resolve, reject) => {
    execFile('openssl', args, { cwd, encoding: 'utf8', timeout: 20000 }, (error, stdout, stderr) => {
      if (error) reject(new Error(`openssl ${args[0]}: ${stderr.trim() || error.message}`));
      else resolve(both ? stdout + stderr : stdout);
    });
  });
}

// The CA: made on first start in the state folder.
async function certificateAuthority(folder) {
  mkdirSync(folder, { recursive: true, mode: 0o700 });
  const key = path.join(folder, 'ca.key');
  const certificate = path.join(folder, 'ca.crt');
  if (!existsSync(key) || !existsSync(certificate)) {
    await openssl(['genpkey', '-algorithm', 'SM2', '-out', key], folder);
    await openssl(['req', '-new', '-x509', '-key', key, '-subj', '/O=Vasquill Demo/CN=Vasquill Demo CA', '-sm3',
      '-sigopt', ID, '-days', '3650', '-out', certificate], folder);
  }
  writeFileSync(path.join(folder, 'leaf.ext'),
    'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n');
  return { key, certificate, folder };
}

const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;
function base64Bytes(text, what) {
  const compact = typeof text === 'string' ? text.replace(/[\r\n]/g, '') : '';
  if (compact === '' || !BASE64.test(compact)) throw new RequestError(`${what} is not Base64`);
  return Buffer.from(compact, 'base64');
}

class RequestError extends Error {
  constructor(message, status = 400) {
    super(message);
    this.status = status;
  }
}

// Runs work(folder) in a private temporary folder.
async function inScratch(work) {
  const folder = mkdtempSync(path.join(os.tmpdir(), 'vasquill-demo-'));
  try {
    return await work(folder);
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
}

// Issues a certificate for a PKCS#10 request (Base64 of DER) whose
// self-signature verifies; the certificate as Base64 of DER.
async function issue(ca, request) {
  const der = base64Bytes(request, 'the certificate request');
  return inScratch(async (folder) => {
    const requestFile = path.join(folder, 'request.der');
    writeFileSync(requestFile, der);
    // "req -verify" ends with status 0 also when the signature is wrong: its
    // verdict is the text it prints.
    const verdict = await openssl(['req', '-inform', 'DER', '-in', requestFile, '-noout', '-verify', '-vfyopt', ID], folder,
      { both: true }).catch(() => '');
    if (!/self-signature verify OK/.test(verdict)) throw new RequestError('the certificate request does not verify');
    const out = path.join(folder, 'certificate.der');
    await openssl(['x509', '-req', '-inform', 'DER', '-in', requestFile, '-CA', ca.certificate, '-CAkey', ca.key,
      '-set_serial', '0x' + randomBytes(16).toString('hex'), '-days', '365', '-sm3', '-sigopt', ID, '-vfyopt', ID,
      '-extfile', path.join(ca.folder, 'leaf.ext'), '-outform', 'DER', '-out', out], folder);
    const subject = await openssl(['x509', '-inform', 'DER', '-in', out, '-noout', '-subject', '-nameopt', 'utf8,sep_comma_plus,sname,esc_2253'], folder);
    return { certificate: readFileSync(out).toString('base64'), subject: subject.replace(/^subject=/, '').trim() };
  });
}

// Checks that the certificate was issued by the demo CA and that the
// signature (Base64 of DER) is its key's SM2 signature of the UTF-8 text.
async function verify(ca, { certificate, data, signature }) {
  if (typeof data !== 'string') throw new RequestError('data is a text');
  const certificateDer = base64Bytes(certificate, 'the certificate');
  const signatureDer = base64Bytes(signature, 'the signature');
  return inScratch(async (folder) => {
    const pem = path.join(folder, 'certificate.pem');
    writeFileSync(path.join(folder, 'certificate.der'), certificateDer);
    writeFileSync(path.join(folder, 'signature.der'), signatureDer);
    writeFileSync(path.join(folder, 'data'), data);
    try {
      await openssl(['x509', '-inform', 'DER', '-in', 'certificate.der', '-out', pem], folder);
    } catch {
      throw new RequestError('the certificate does not parse');
    }
    const subject = (await openssl(['x509', '-in', pem, '-noout', '-subject', '-nameopt', 'utf8,sep_comma_plus,sname,esc_2253'], folder))
      .replace(/^subject=/, '').trim();
    let issued = true;
    try {
      await openssl(['verify', '-CAfile', ca.certificate, '-vfyopt', ID, pem], folder);
    } catch {
      issued = false;
    }
    await openssl(['x509', '-in', pem, '-pubkey', '-noout', '-out', 'public.pem'], folder);
    let signed = true;
    try {
      await openssl(['dgst', '-sm3', '-verify', 'public.pem', '-sigopt', ID, '-signature', 'signature.der', 'data'], folder);
    } catch {
      signed = false;
    }
    return { verified: issued && signed, issued, signed, subject };
  });
}

// The body as text; a body over the limit is read to its end and dropped.
function readBody(request, limit = 256 * 1024) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    request.on('data', (chunk) => {
      size += chunk.length;
      if (size <= limit) chunks.push(chunk);
    });
    request.on('end', () => {
      if (size > limit) reject(new RequestError('the request is too large', 413));
      else resolve(Buffer.concat(chunks).toString('utf8'));
    });
    request.on('error', reject);
  });
}

function send(response, status, type, body, headers = {}) {
  response.writeHead(status, {
    'Content-Type': type,
    'Cache-Control': 'no-store',
    'X-Content-Type-Options': 'nosniff',
    'Referrer-Policy': 'no-referrer',
    ...headers,
  });
  response.end(body);
}
const sendJson = (response, status, value) => send(response, status, 'application/json; charset=utf-8', JSON.stringify(value));

export async function startDemoServer({ port = 8410, state } = {}) {
  const temporary = state === undefined;
  const folder = state ?? mkdtempSync(path.join(os.tmpdir(), 'vasquill-demo-ca-'));
  const ca = await certificateAuthority(folder);
  const server = http.createServer(async (request, response) => {
    const address = server.address();
    // Only this machine's names for this server: a page of another site that
    // a DNS name of its own points here is turned away.
    const hosts = [`127.0.0.1:${address.port}`, `localhost:${address.port}`];
    if (!hosts.includes(request.headers.host)) return send(response, 421, 'text/plain', 'Misdirected request\n');
    const url = new URL(request.url, `http://${request.headers.host}`);
    try {
      if (request.method === 'GET' && FILES[url.pathname]) {
        const [file, type] = FILES[url.pathname];
        const extra = url.pathname === '/' ? { 'Content-Security-Policy': POLICY } : {};
        return send(response, 200, type, readFileSync(file), extra);
      }
      if (request.method === 'GET' && url.pathname === '/ca.crt') {
        return send(response, 200, 'application/x-pem-file', readFileSync(ca.certificate));
      }
      if (request.method === 'POST' && (url.pathname === '/api/issue' || url.pathname === '/api/verify')) {
        // Only this server's own page: its requests carry its origin and a
        // JSON body (which another site's page cannot send without a CORS
        // preflight that this server never answers).
        const origin = request.headers.origin;
        if (origin !== undefined && !hosts.some((host) => origin === `http://${host}`)) {
          return sendJson(response, 403, { error: 'another origin' });
        }
        if (!String(request.headers['content-type']).startsWith('application/json')) {
          return sendJson(response, 415, { error: 'the body must be JSON' });
        }
        let body;
        try {
          body = JSON.parse(await readBody(request));
        } catch (error) {
          throw error instanceof RequestError ? error : new RequestError('the body is not JSON');
        }
        if (body === null || typeof body !== 'object') throw new RequestError('the body is not a JSON object');
        const result = url.pathname === '/api/issue' ? await issue(ca, body.request) : await verify(ca, body);
        return sendJson(response, 200, result);
      }
      return send(response, 404, 'text/plain', 'Not found\n');
    } catch (error) {
      if (error instanceof RequestError) return sendJson(response, error.status, { error: error.message });
      console.error(error);
      return sendJson(response, 500, { error: 'the demo server failed' });
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', resolve);
  });
  const url = `http://127.0.0.1:${server.address().port}/`;
  return {
    url,
    caCertificate: ca.certificate,
    close: () =>
      new Promise((resolve) => {
        server.close(() => {
          if (temporary) rmSync(folder, { recursive: true, force: true });
          resolve();
        });
        server.closeAllConnections();
      }),
  };
}

if (process.argv[1] && fileURLToPath(import.meta.url) === path.resolve(process.argv[1])) {
  const demo = await startDemoServer({ port: Number(option('--port', '8410')), state: option('--state', undefined) });
  console.log(`Demo page: ${demo.url}`);
  const stop = async () => {
    await demo.close();
    process.exit(0);
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}
