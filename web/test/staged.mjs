// The staged product for tests that run it: the install root (the
// environment's VASQUILL_TEST_ROOT, set by the build), the service started as
// a child process, and requests to it over TLS that trust its certificate.
import { spawn } from 'node:child_process';
import { readFileSync, rmSync } from 'node:fs';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import vm from 'node:vm';

export const root = process.env.VASQUILL_TEST_ROOT ?? '';
export const rooted = (path) => root.replace(/\/+$/, '') + path;
export const serviceExecutable = rooted('/Applications/Vasquill.app/Contents/MacOS/Vasquill');
export const certificatePath = rooted('/Library/Application Support/Vasquill/server.crt');
export const softKeyStore = (serial) => rooted(`${os.userInfo().homedir}/.local/share/vasquill-softkey/${serial}.key`);

function listening(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port }, () => {
      socket.destroy();
      resolve(true);
    });
    socket.on('error', () => resolve(false));
  });
}

// Starts the service and resolves once it listens: {port, process, output(), stop()}.
export async function startService(env = {}) {
  const child = spawn(serviceExecutable, [], { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  child.stdout.setEncoding('utf8');
  const port = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the service did not open a port:\n${output}`)), 15000);
    child.stdout.on('data', (text) => {
      output += text;
      const match = /建立端口成功:(\d+)\n/.exec(output);
      if (match) {
        clearTimeout(timer);
        resolve(Number(match[1]));
      }
    });
    child.on('error', (error) => {
      clearTimeout(timer);
      reject(error);
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`the service ended (${code}):\n${output}`));
    });
  });
  // The line comes between bind and listen.
  for (let i = 0; i < 200 && !(await listening(port)); i++) await new Promise((r) => setTimeout(r, 25));
  child.removeAllListeners('exit');
  const exited = new Promise((resolve) => child.once('exit', resolve));
  return {
    port,
    process: child,
    output: () => output,
    async stop() {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      await exited;
    },
  };
}

const ca = () => readFileSync(certificatePath);

// One HTTPS request to the service with its certificate as the only trusted
// one: {status, headers, body}.
export function httpsRequest(url, { method = 'GET', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    // One connection per request, as the service serves one request per connection.
    const request = https.request(url, { method, headers, ca: ca(), agent: false }, (response) => {
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () =>
        resolve({ status: response.statusCode, headers: response.headers, body: Buffer.concat(chunks).toString('utf8') }));
      response.on('error', reject);
    });
    request.on('error', reject);
    if (body !== undefined) request.write(body);
    request.end();
  });
}

// A fetch for the client that sends the request through node's https with
// the service's certificate trusted (the form is serialised by node's own
// FormData, as a browser does).
export async function trustingFetch(url, init) {
  const request = new Request(url, { method: init.method, body: init.body });
  const body = Buffer.from(await request.arrayBuffer());
  let answer;
  try {
    answer = await httpsRequest(url, {
      method: init.method,
      headers: { 'Content-Type': request.headers.get('content-type'), 'Content-Length': body.length },
      body,
    });
  } catch (cause) {
    throw new TypeError('fetch failed', { cause });
  }
  return new Response(answer.body, { status: answer.status });
}

// A document for JSONP: an appended script element is fetched over https
// with the certificate trusted and its answer is run, as a page would.
export function trustingDocument(global = globalThis) {
  return {
    createElement: () => ({ remove() {} }),
    head: {
      appendChild(script) {
        httpsRequest(script.src).then(
          (answer) => {
            try {
              vm.runInNewContext(answer.body, global);
            } catch {}
            script.onload?.();
          },
          () => script.onerror?.(),
        );
      },
    },
  };
}

export function removeSoftKey(serial) {
  rmSync(softKeyStore(serial), { force: true });
}
