// The demo page: every step a bank page takes with a UKey, through
// vasquill-client.js.  Texts from the service and the key are shown with
// textContent only, never as HTML.
import { VasquillClient, VasquillError, TransportCode } from './vasquill-client.js';

const $ = (id) => document.getElementById(id);
const VENDOR = 'test';
let client;
let certificate = '';

function say(text, kind = 'info') {
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  item.className = kind;
  $('messages').prepend(item);
}

function describe(error) {
  if (!(error instanceof VasquillError)) return String(error?.message ?? error);
  if (error.code === TransportCode.NO_SERVICE || error.code === TransportCode.NETWORK) {
    return `${error.code}: ${error.text}. Is the service running (scripts/run)? This browser must trust its ` +
      'certificate: see what scripts/run prints.';
  }
  return `${error.source === 'ukey' ? 'the key answered' : 'the service answered'} ${error.code}: ${error.text}`;
}

function setState(id, text, kind) {
  $(id).textContent = text;
  $(id).className = `state ${kind ?? ''}`;
}

// Runs one step with its button disabled meanwhile; failures are shown.
async function step(button, what, work) {
  button.disabled = true;
  try {
    const result = await work();
    say(`${what}: done`, 'ok');
    return result;
  } catch (error) {
    say(`${what} failed: ${describe(error)}`, 'error');
    throw error;
  } finally {
    button.disabled = false;
  }
}

async function connect() {
  const transport = document.querySelector('input[name=transport]:checked').value;
  client = new VasquillClient({ transport });
  $('address').textContent = 'looking for the service on ports 5110-5114…';
  try {
    const port = await client.findService();
    $('address').textContent = `https://127.0.0.1:${port} (${transport === 'post' ? 'form POST' : 'JSONP GET'})`;
    $('version').textContent = await client.getVersion();
    $('components').textContent = (await client.listComponents()).join(', ') || '(none)';
    $('load').disabled = false;
    say(`found the service on port ${port}`, 'ok');
  } catch (error) {
    $('address').textContent = 'not found';
    say(describe(error), 'error');
  }
}

async function refreshKeys() {
  const { value } = await client.invoke('GetPrintNumber', {}, VENDOR);
  const serials = value ? value.split(',') : [];
  const select = $('keys');
  const chosen = select.value;
  select.replaceChildren(...serials.map((serial) => new Option(serial, serial)));
  if (serials.includes(chosen)) select.value = chosen;
  select.disabled = serials.length === 0;
  $('enrol').disabled = serials.length === 0;
  say(`virtual keys: ${serials.join(', ') || 'none yet'}`);
  return serials;
}

const selectedKey = () => $('keys').value;

function randomSerial() {
  const digits = crypto.getRandomValues(new Uint32Array(1))[0] % 10000;
  return `DEMO${String(digits).padStart(4, '0')}`;
}

async function postJson(path, body) {
  const response = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
  const answer = await response.json();
  if (!response.ok) throw new Error(`the demo server: ${answer.error}`);
  return answer;
}

window.addEventListener('DOMContentLoaded', () => {
  $('serial').value = randomSerial();
  for (const radio of document.querySelectorAll('input[name=transport]')) radio.addEventListener('change', connect);
  $('find').addEventListener('click', connect);

  $('load').addEventListener('click', () =>
    step($('load'), 'loading tarven_ukey', async () => {
      await client.loadComponent('tarven_ukey');
      setState('adapter', 'loaded', 'ok');
      $('refresh-keys').disabled = false;
      $('create-key').disabled = false;
      await refreshKeys();
    }).catch(() => setState('adapter', 'not loaded', 'bad')));

  $('refresh-keys').addEventListener('click', () => step($('refresh-keys'), 'listing the keys', refreshKeys).catch(() => {}));

  $('create-key').addEventListener('click', () =>
    step($('create-key'), 'creating the key', async () => {
      const serial = $('serial').value.trim();
      const present = $('keys').disabled ? [] : [...$('keys').options].map((o) => o.value);
      if (present.includes(serial) && !confirm(`Key ${serial} exists: reset it? Its keys and certificates are lost.`)) return;
      await client.invoke('InitUKey', { szSN: serial }, VENDOR);
      await refreshKeys();
      $('keys').value = serial;
      $('serial').value = randomSerial();
    }).catch(() => {}));

  $('enrol').addEventListener('click', () =>
    step($('enrol'), 'enrolment', async () => {
      const szSN = selectedKey();
      setState('verified', '–');
      const request = await client.invoke('GenerateCertRequest', { szSN, szRequestInfo: $('subject').value }, VENDOR);
      say(`${szSN}: certificate request made`);
      const issued = await postJson('/api/issue', { request: request.value });
      say(`the demo CA issued a certificate for ${issued.subject}`);
      await client.invoke('ImportX509Cert', { szSN, szCert: issued.certificate }, VENDOR);
      const kind = { szSN, certType: 1, keyType: 1 };
      certificate = (await client.invoke('GetCert', kind, VENDOR)).value;
      if (certificate !== issued.certificate) throw new Error('the certificate read back is not the one imported');
      $('certificate').value = certificate;
      $('certificate-subject').textContent = (await client.invoke('GetCertDN', kind, VENDOR)).value;
      $('sign').disabled = false;
    }).catch(() => {}));

  $('keys').addEventListener('change', () => {
    $('sign').disabled = true;
    $('certificate').value = '';
    $('certificate-subject').textContent = '–';
  });

  $('sign').addEventListener('click', () =>
    step($('sign'), 'signing', async () => {
      const szSN = selectedKey();
      const data = $('text').value;
      setState('verified', 'checking…');
      $('signature').value = '';
      const signed = await client.invoke('Sign', {
        szSN, nHashType: 1, nFlag: 0, szData: data, szWarningMsg: 'Vasquill demo: sign this text?',
      }, VENDOR);
      $('signature').value = signed.value;
      // The certificate as the key holds it now, read back for the check.
      certificate = (await client.invoke('GetCert', { szSN, certType: 1, keyType: 1 }, VENDOR)).value;
      $('certificate').value = certificate;
      const check = await postJson('/api/verify', { certificate, data, signature: signed.value });
      if (check.verified) setState('verified', `✔ verified: signed by ${check.subject}, certificate of the demo CA`, 'ok');
      else setState('verified', `✘ not verified (signature ${check.signed ? 'ok' : 'wrong'}, certificate ${check.issued ? 'of the demo CA' : 'unknown'})`, 'bad');
    }).catch(() => setState('verified', '✘ no signature', 'bad')));

  connect();
});
