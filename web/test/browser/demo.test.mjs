// The demo page in Debian's Chromium, driven by Playwright, against the
// service staged under VASQUILL_TEST_ROOT: find the service, load the
// adapter, create a virtual key, enrol it with the demo CA, sign, and see the
// signature verified; then the same client over JSONP.  The browser trusts
// the service's own certificate by its public key hash
// (--ignore-certificate-errors-spki-list), and a browser without it does not
// reach the service.  The screenshot goes to VASQUILL_TEST_ARTIFACTS.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { X509Certificate, createHash } from 'node:crypto';
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { certificatePath, removeSoftKey, root, softKeyStore, startService } from '../staged.mjs';
import { startDemoServer } from '../../demo/server.mjs';

const CHROMIUM = '/usr/bin/chromium';
// Skipped only when no root is given (a run by hand); the build gives one,
// and scripts/deps installs Chromium and playwright-core.
const skip = root ? false : 'VASQUILL_TEST_ROOT is not set';

const artifacts = process.env.VASQUILL_TEST_ARTIFACTS ?? path.join(os.tmpdir(), 'vasquill-test-artifacts');
const serial = `WEB${process.pid}`;
const work = mkdtempSync(path.join(os.tmpdir(), 'vasquill-browser-'));
let service;
let demo;
const contexts = [];

// The base64 SHA-256 of the certificate's SubjectPublicKeyInfo.
function spkiHash(file) {
  const spki = new X509Certificate(readFileSync(file)).publicKey.export({ type: 'spki', format: 'der' });
  return createHash('sha256').update(spki).digest('base64');
}

async function browser(name, extraArgs = []) {
  const context = await chromium.launchPersistentContext(path.join(work, name), {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1100, height: 1400 },
    args: ['--no-sandbox', '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--no-first-run', '--disable-gpu', '--disable-quic', ...extraArgs],
  });
  contexts.push(context);
  const page = context.pages()[0] ?? (await context.newPage());
  const problems = [];
  page.on('pageerror', (error) => problems.push(`page error: ${error.message}`));
  // Probes of the ports where nothing listens fail to load, as expected.
  page.on('console', (message) => {
    if (message.type() === 'error' && !/net::ERR_CONNECTION_REFUSED/.test(message.text())) {
      problems.push(`console: ${message.text()}`);
    }
  });
  return { page, problems };
}

before(async () => {
  if (skip) return;
  const askpass = path.join(work, 'askpass.sh');
  writeFileSync(askpass, '#!/bin/sh\necho 123456\n');
  chmodSync(askpass, 0o755);
  service = await startService({ VASQUILL_SOFTKEY_ASKPASS: askpass });
  demo = await startDemoServer({ port: 0 });
});

after(async () => {
  for (const context of contexts) await context.close().catch(() => {});
  await demo?.close();
  await service?.stop();
  removeSoftKey(serial);
  rmSync(work, { recursive: true, force: true });
});

test('enrolment and signing in the demo page', { skip, timeout: 240000 }, async () => {
  const { page, problems } = await browser('trusting', [`--ignore-certificate-errors-spki-list=${spkiHash(certificatePath)}`]);
  await page.goto(demo.url);
  const text = (selector) => page.locator(selector).textContent();

  // The page shows the version, then the components, once it has found the
  // service.
  await page.waitForFunction(() => document.getElementById('components').textContent !== '–');
  assert.equal(await text('#version'), '1.0.0.0');
  assert.match(await text('#address'), new RegExp(`^https://127\\.0\\.0\\.1:${service.port} \\(form POST\\)$`));
  assert.match(await text('#components'), /tarven_ukey/);

  await page.click('#load');
  await page.waitForFunction(() => document.getElementById('adapter').textContent === 'loaded');

  await page.fill('#serial', serial);
  await page.click('#create-key');
  await page.waitForFunction((s) => document.getElementById('keys').value === s, serial);
  assert.ok(existsSync(softKeyStore(serial)));

  await page.fill('#subject', 'CN=Web Tester,O=Example Bank,C=CN');
  await page.click('#enrol');
  await page.waitForFunction(() => document.getElementById('certificate-subject').textContent !== '–', null, { timeout: 60000 });
  assert.equal(await text('#certificate-subject'), 'CN=Web Tester,O=Example Bank,C=CN');

  const data = '转账 100.00 元 to Bob, ref 4711 <b>&amp;</b>';
  await page.fill('#text', data);
  await page.click('#sign');
  await page.waitForFunction(() => /ok|bad/.test(document.getElementById('verified').className), null, { timeout: 60000 });
  assert.equal(await page.getAttribute('#verified', 'class'), 'state ok', await text('#messages'));
  assert.match(await text('#verified'), /^✔ verified: signed by CN=Web Tester,O=Example Bank,C=CN/);

  // The signature checked here too, with OpenSSL against the certificate
  // the key holds, and refused for another text.
  const signature = await page.inputValue('#signature');
  const certificate = await page.inputValue('#certificate');
  writeFileSync(path.join(work, 'certificate.der'), Buffer.from(certificate, 'base64'));
  writeFileSync(path.join(work, 'signature.der'), Buffer.from(signature, 'base64'));
  execFileSync('openssl', ['x509', '-inform', 'DER', '-in', 'certificate.der', '-pubkey', '-noout', '-out', 'public.pem'], { cwd: work });
  const check = (text) => {
    writeFileSync(path.join(work, 'data'), text);
    try {
      execFileSync('openssl', ['dgst', '-sm3', '-verify', 'public.pem', '-sigopt', 'distid:1234567812345678',
        '-signature', 'signature.der', 'data'], { cwd: work, stdio: 'pipe' });
      return true;
    } catch {
      return false;
    }
  };
  assert.equal(check(data), true);
  assert.equal(check(data + ' '), false);

  mkdirSync(artifacts, { recursive: true });
  const screenshot = path.join(artifacts, 'web-demo.png');
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`screenshot: ${screenshot}`);

  // The same client over JSONP: script elements with unique callbacks, none
  // left behind afterwards.
  await page.check('input[value=jsonp]');
  await page.waitForFunction(() => /JSONP GET/.test(document.getElementById('address').textContent));
  const jsonp = await page.evaluate(async (sn) => {
    const { VasquillClient } = await import('/vasquill-client.js');
    const client = new VasquillClient({ transport: 'jsonp' });
    const version = await client.getVersion();
    const serials = (await client.invoke('GetPrintNumber', {}, 'test')).value.split(',');
    const certificate = (await client.invoke('GetCert', { szSN: sn, certType: 1, keyType: 1 }, 'test')).value;
    let refused;
    try {
      await client.invoke('GetCert', { szSN: sn, certType: 2, keyType: 1 }, 'test');
    } catch (error) {
      refused = { code: error.code, text: error.text };
    }
    return {
      version, serials, certificate, refused,
      leftovers: Object.keys(window).filter((key) => key.startsWith('vasquill_')).length,
      scripts: document.querySelectorAll('script[src^="https://127.0.0.1"]').length,
    };
  }, serial);
  assert.equal(jsonp.version, '1.0.0.0');
  assert.ok(jsonp.serials.includes(serial));
  assert.equal(jsonp.certificate, certificate);
  assert.deepEqual(jsonp.refused, { code: 0x0b000011, text: 'UKey中没有对应的证书' });
  assert.deepEqual([jsonp.leftovers, jsonp.scripts], [0, 0]);
  assert.deepEqual(problems, []);
});

test('a browser that does not trust the service\'s certificate does not reach it', { skip, timeout: 60000 }, async () => {
  const { page } = await browser('untrusting');
  await page.goto(demo.url);
  await page.waitForFunction(() => document.getElementById('address').textContent === 'not found', null, { timeout: 30000 });
  assert.match(await page.locator('#messages').textContent(), /ENOSERVICE.*certificate/s);
});
