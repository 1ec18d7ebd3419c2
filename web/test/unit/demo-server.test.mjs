// The demo page's server: its CA issues SM2 certificates only for requests
// whose self-signature verifies, its check tells a right signature from a
// wrong one and its CA's certificates from others, and it answers only its
// own page on this machine.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { startDemoServer } from '../../demo/server.mjs';

const ID = 'distid:1234567812345678';
const work = mkdtempSync(path.join(os.tmpdir(), 'vasquill-demo-test-'));
const openssl = (...args) => execFileSync('openssl', args, { cwd: work, stdio: 'pipe' });
let demo;
let port;

before(async () => {
  demo = await startDemoServer({ port: 0 });
  port = Number(new URL(demo.url).port);
  // A key pair and its request, as the software UKey makes them.
  openssl('genpkey', '-algorithm', 'SM2', '-out', 'user.key');
  openssl('req', '-new', '-key', 'user.key', '-subj', '/CN=张三/O=Example Bank/C=CN', '-utf8', '-sm3', '-sigopt', ID,
    '-outform', 'DER', '-out', 'request.der');
});
after(async () => {
  await demo?.close();
  rmSync(work, { recursive: true, force: true });
});

function request(pathname, { method = 'POST', body, host = `127.0.0.1:${port}`, headers = {} } = {}) {
  return new Promise((resolve, reject) => {
    const text = body === undefined ? undefined : typeof body === 'string' ? body : JSON.stringify(body);
    const call = http.request({ host: '127.0.0.1', port, path: pathname, method,
      headers: { Host: host, 'Content-Type': 'application/json', ...headers } }, (response) => {
      let data = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => (data += chunk));
      response.on('end', () => resolve({ status: response.statusCode, headers: response.headers, body: data }));
    });
    call.on('error', reject);
    if (text !== undefined) call.write(text);
    call.end();
  });
}
const json = async (...args) => {
  const answer = await request(...args);
  return { status: answer.status, ...JSON.parse(answer.body) };
};
function sign(data) {
  writeFileSync(path.join(work, 'data'), data);
  openssl('dgst', '-sm3', '-sign', 'user.key', '-sigopt', ID, '-out', 'signature.der', 'data');
  return readFileSync(path.join(work, 'signature.der')).toString('base64');
}

test('issues a certificate for a request, and checks signatures against it', async () => {
  const issued = await json('/api/issue', { body: { request: readFileSync(path.join(work, 'request.der')).toString('base64') } });
  assert.equal(issued.status, 200);
  assert.equal(issued.subject, 'CN=张三,O=Example Bank,C=CN');
  writeFileSync(path.join(work, 'issued.der'), Buffer.from(issued.certificate, 'base64'));
  openssl('x509', '-inform', 'DER', '-in', 'issued.der', '-out', 'issued.pem');
  openssl('verify', '-CAfile', demo.caCertificate, '-vfyopt', ID, 'issued.pem');

  const data = '转账 100.00 元';
  const signature = sign(data);
  const cases = [
    [{ data, signature }, { verified: true, issued: true, signed: true }],
    [{ data: data + '.', signature }, { verified: false, issued: true, signed: false }],
    [{ data, signature: sign('other') }, { verified: false, issued: true, signed: false }],
  ];
  for (const [body, outcome] of cases) {
    const check = await json('/api/verify', { body: { certificate: issued.certificate, ...body } });
    assert.deepEqual({ verified: check.verified, issued: check.issued, signed: check.signed }, outcome, body.data);
  }
  // The same key certified by another CA: the signature is right, the
  // certificate is not the demo CA's.
  openssl('genpkey', '-algorithm', 'SM2', '-out', 'other-ca.key');
  openssl('req', '-new', '-x509', '-key', 'other-ca.key', '-subj', '/CN=Other CA', '-sm3', '-sigopt', ID, '-out', 'other-ca.crt');
  openssl('x509', '-req', '-inform', 'DER', '-in', 'request.der', '-CA', 'other-ca.crt', '-CAkey', 'other-ca.key',
    '-set_serial', '7', '-sm3', '-sigopt', ID, '-vfyopt', ID, '-outform', 'DER', '-out', 'other.der');
  const other = await json('/api/verify', { body: { certificate: readFileSync(path.join(work, 'other.der')).toString('base64'), data, signature } });
  assert.deepEqual([other.verified, other.issued, other.signed], [false, false, true]);
});

test('refuses what is not a valid request', async () => {
  const der = readFileSync(path.join(work, 'request.der'));
  const broken = Buffer.from(der);
  broken[broken.length - 5] ^= 1;
  const cases = [
    [{ request: 'not base64!' }, 400],
    [{ request: broken.toString('base64') }, 400],
    [{}, 400],
    [{ certificate: 'MIIB', data: 'x', signature: 'MEUC' }, 400, '/api/verify'],
    [{ certificate: der.toString('base64'), data: 5, signature: 'MEUC' }, 400, '/api/verify'],
  ];
  for (const [body, status, pathname = '/api/issue'] of cases) {
    assert.equal((await json(pathname, { body })).status, status, JSON.stringify(body));
  }
  assert.equal((await request('/api/issue', { body: 'x'.repeat(300 * 1024) })).status, 413);
});

test('answers only its own page on this machine', async () => {
  const page = await request('/', { method: 'GET' });
  assert.equal(page.status, 200);
  assert.match(page.headers['content-security-policy'], /connect-src 'self' https:\/\/127\.0\.0\.1:5110/);
  assert.equal((await request('/vasquill-client.js', { method: 'GET' })).status, 200);
  const refused = [
    ['/', { method: 'GET', host: `attacker.example:${port}` }, 421],
    ['/../build.mjs', { method: 'GET' }, 404],
    ['/demo/server.mjs', { method: 'GET' }, 404],
    ['/api/issue', { body: {}, headers: { Origin: 'http://attacker.example' } }, 403],
    ['/api/issue', { body: {}, headers: { 'Content-Type': 'text/plain' } }, 415],
    ['/api/issue', { method: 'GET' }, 404],
  ];
  for (const [pathname, options, status] of refused) {
    assert.equal((await request(pathname, options)).status, status, `${pathname} ${JSON.stringify(options)}`);
  }
  assert.equal((await json('/api/issue', { body: {}, headers: { Origin: `http://localhost:${port}` } })).status, 400);
});
