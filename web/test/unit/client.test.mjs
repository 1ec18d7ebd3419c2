// The client against a stand-in of the service: finding the port, the form
// it posts, JSONP through a script element, time limits, and the helpers of
// every command.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { VasquillClient, sendJsonp } from '../../vasquill-client.js';
import { fakeServiceFetch, versionReply } from '../helpers.mjs';

const service = (replies = {}) => (command) => {
  if (command === null) return { ecode: -2, message: '未定义错误码' };
  if (command.pcode === 4) return versionReply;
  return replies[command.pcode]?.(command) ?? { ecode: -2, message: '未定义错误码' };
};
const isError = (code) => (e) => e.name === 'VasquillError' && e.code === code;

test('the service is the first port in order that answers getVersion, and is remembered', async () => {
  const { fetch, requests } = fakeServiceFetch(
    { 5110: 'refused', 5111: () => ({ raw: '<html>not the service</html>' }), 5112: service(), 5113: service() },
    { delay: { 5112: 50 } },
  );
  const client = new VasquillClient({ fetch });
  assert.equal(await client.findService(), 5112);
  assert.equal(client.port, 5112);
  assert.deepEqual(requests.map((r) => r.port).sort(), [5110, 5111, 5112, 5113, 5114]);
  assert.ok(requests.every((r) => r.command === '{"pcode":4}'));
  requests.length = 0;
  assert.equal(await client.getVersion(), '1.0.0.0');
  assert.deepEqual(requests.map((r) => r.port), [5112]);
});

test('no port answers as the service', async () => {
  const { fetch } = fakeServiceFetch({ 5110: () => ({ ecode: 0, message: '成功' }), 5111: () => ({ raw: 'x' }) });
  await assert.rejects(new VasquillClient({ fetch }).getVersion(), isError('ENOSERVICE'));
});

test('when the remembered port stops answering, read-only commands find the service again', async () => {
  const answers = { 5110: service() };
  const { fetch, requests } = fakeServiceFetch(answers);
  const client = new VasquillClient({ fetch });
  assert.equal(await client.findService(), 5110);
  answers[5110] = 'refused';
  answers[5113] = service();
  assert.equal(await client.getVersion(), '1.0.0.0');
  assert.equal(client.port, 5113);
  // A command that changes something is not sent twice: it fails, and the
  // next command looks for the service again.
  answers[5113] = 'refused';
  answers[5114] = service({ 0: () => ({ ecode: 0, message: '成功' }) });
  requests.length = 0;
  await assert.rejects(client.loadComponent('tarven_ukey'), isError('ENETWORK'));
  assert.deepEqual(requests.map((r) => r.port), [5113]);
  assert.equal(client.port, null);
  await client.loadComponent('tarven_ukey');
  assert.equal(client.port, 5114);
});

test('the form has exactly five fields with the percent-encoded envelope', async () => {
  const { fetch, requests } = fakeServiceFetch({ 5110: service({ 5: (c) => ({ ecode: 0, errormessage: `text ${c.errcode}` }) }) });
  const client = new VasquillClient({ fetch });
  assert.equal(await client.getErrorMessage(-901), 'text -901');
  const last = requests.at(-1);
  assert.deepEqual(Object.keys(last.fields), ['jsoncallback', 'str', 'com', 'client', 'time']);
  assert.match(last.fields.jsoncallback, /^vasquill_[0-9a-f]{12}_\d+$/);
  assert.equal(last.fields.com, '1');
  assert.match(last.fields.str, /^%7B%22rankey%22%3A%22[A-Za-z0-9]{32}%22/);
  assert.equal(last.command, '{"pcode":5,"errcode":-901}');
  assert.notEqual(requests.at(-2).fields.jsoncallback, last.fields.jsoncallback);
});

test('a reply under another callback name is not taken', async () => {
  const answers = { 5110: service() };
  const { fetch } = fakeServiceFetch(answers);
  const client = new VasquillClient({ fetch });
  await client.findService();
  answers[5110] = () => ({ raw: 'vasquill_000000000000_1({"ecode":0,"version":"1.0.0.0"}\n)' });
  await assert.rejects(client.getVersion(), isError('EBADREPLY'));
});

test('time limits and aborts', async () => {
  const { fetch } = fakeServiceFetch({ 5110: service() }, { delay: { 5110: 400 } });
  const client = new VasquillClient({ fetch, probeTimeout: 2000 });
  await client.findService();
  await assert.rejects(client.getVersion({ timeout: 50 }), isError('ETIMEDOUT'));
  const controller = new AbortController();
  setTimeout(() => controller.abort(), 30);
  await assert.rejects(client.getVersion({ signal: controller.signal, timeout: 0 }), isError('EABORTED'));
  await assert.rejects(new VasquillClient({ fetch, probeTimeout: 50 }).findService(), isError('ENOSERVICE'));
});

test('each command helper sends its command and gives its result', async () => {
  const md5 = '0123456789abcdef0123456789abcdef';
  const replies = {
    0: (c) => ({ ecode: c.name === 'tarven_ukey' && c.type === 1 ? 0 : -901, message: 'm' }),
    1: (c) => ({ returnvalue: c.params }),
    2: () => ({ ecode: 0, message: '成功' }),
    3: (c) => ({ ecode: 0, list: c.componentpath === '/empty' ? '' : 'a,tarven_ukey', listsize: 2, message: '成功' }),
    5: (c) => ({ ecode: 0, errormessage: String(c.errcode) }),
    7: (c) => ({ ecode: c.Log === true ? 0 : -905, message: '' }),
    8: () => ({ Log: true, ecode: 0, message: '成功' }),
    9: (c) => ({ ecode: 0, md5: c.name === 'tarven_ukey' ? md5 : '', message: '成功' }),
  };
  const { fetch, requests } = fakeServiceFetch({ 5110: service(replies) });
  const client = new VasquillClient({ fetch });
  const cases = [
    [() => client.loadComponent('tarven_ukey', 1), undefined, { pcode: 0, name: 'tarven_ukey', type: 1 }],
    [() => client.callComponent('UA=='), { returnvalue: 'UA==' }, { pcode: 1, params: 'UA==' }],
    [() => client.unloadComponent(), undefined, { pcode: 2 }],
    [() => client.listComponents(), ['a', 'tarven_ukey'], { pcode: 3 }],
    [() => client.listComponents('/empty'), [], { pcode: 3, componentpath: '/empty' }],
    [() => client.getVersion(), '1.0.0.0', { pcode: 4 }],
    [() => client.getErrorMessage(-2), '-2', { pcode: 5, errcode: -2 }],
    [() => client.setLog(true), undefined, { pcode: 7, Log: true }],
    [() => client.getLogStatus(), true, { pcode: 8 }],
    [() => client.getComponentMd5('tarven_ukey'), md5, { pcode: 9, name: 'tarven_ukey' }],
  ];
  for (const [call, result, command] of cases) {
    assert.deepEqual(await call(), result, JSON.stringify(command));
    assert.deepEqual(JSON.parse(requests.at(-1).command), command);
  }
  await assert.rejects(client.loadComponent('other'), (e) => e.code === -901 && e.source === 'service');
  for (const call of [() => client.loadComponent(''), () => client.loadComponent('x', 2), () => client.getErrorMessage('-2'),
    () => client.setLog(1), () => client.getComponentMd5(''), () => client.callComponent({}), () => client.listComponents(3)]) {
    await assert.rejects(call(), TypeError);
  }
});

test('invoke wraps the call and unwraps the result list', async () => {
  let seen;
  const items = [{ ret: 0 }, { errormessage: '成功' }, { value: 'SK0001' }];
  const { fetch } = fakeServiceFetch({
    5110: service({
      1: (c) => {
        seen = JSON.parse(Buffer.from(c.params, 'base64').toString('utf8'));
        if (seen.parameters[0].vendor === 'nobody') return { ecode: -925, message: 'uk不存在' };
        const list = seen.functionid === 'Sign' ? [{ ret: 184549387 }, { errormessage: 'PIN码错误' }, { value: true }] : items;
        return { returnvalue: Buffer.from(JSON.stringify({ returnvalue: list }) + '\n').toString('base64') };
      },
    }),
  });
  const client = new VasquillClient({ fetch });
  assert.deepEqual(await client.invoke('GetPrintNumber', {}, 'test'), { ret: 0, errormessage: '成功', value: 'SK0001', values: ['SK0001'] });
  assert.deepEqual(seen, { functionid: 'GetPrintNumber', parameters: [{ vendor: 'test' }] });
  await assert.rejects(client.invoke('Sign', { szSN: 'A', nHashType: 1, nFlag: 0, szData: 'x' }, 'test'),
    (e) => e.code === 184549387 && e.text === 'PIN码错误' && e.source === 'ukey' && e.reply.ret === 184549387);
  await assert.rejects(client.invoke('GetLabel', { szSN: 'A' }, 'nobody'), (e) => e.code === -925 && e.source === 'service');
});

// A page's document and window, just enough for JSONP: appending a script
// element hands its source to `serve`, which calls back like a browser that
// runs the answer (or fails to load it).
function fakePage(serve) {
  const global = {};
  const scripts = [];
  const document = {
    head: {
      appendChild(script) {
        scripts.push(script);
        script.remove = () => {
          script.removed = true;
        };
        serve(script, global);
      },
    },
    createElement: (tag) => ({ tag }),
  };
  return { document, global, scripts };
}
const callbackOf = (script) => new URL(script.src).searchParams.get('jsoncallback');

test('JSONP: a script element with a unique callback, removed with it afterwards', async () => {
  const { document, global, scripts } = fakePage((script, window) => {
    setTimeout(() => {
      window[callbackOf(script)]({ ecode: 0, message: '成功', version: '1.0.0.0' });
      script.onload();
    }, 5);
  });
  const client = new VasquillClient({ transport: 'jsonp', document, global });
  assert.equal(await client.getVersion(), '1.0.0.0');
  const script = scripts.at(-1);
  assert.equal(script.tag, 'script');
  assert.match(script.src, /^https:\/\/127\.0\.0\.1:5110\/\?jsoncallback=vasquill_[0-9a-f]{12}_\d+&str=%7B%22rankey%22/);
  assert.equal(new Set(scripts.map(callbackOf)).size, scripts.length);
  assert.ok(scripts.every((s) => s.removed));
  assert.deepEqual(Object.keys(global), []);
});

test('JSONP: a load failure, an answer without the callback, and a late answer after the time limit', async () => {
  const behaviour = { mode: 'error' };
  const { document, global, scripts } = fakePage((script, window) => {
    if (behaviour.mode === 'error') setTimeout(() => script.onerror(), 1);
    if (behaviour.mode === 'silent') setTimeout(() => script.onload(), 1);
    if (behaviour.mode === 'late') {
      setTimeout(() => {
        window[callbackOf(script)]({ ecode: 0 });
        script.onload?.();
      }, 80);
    }
  });
  const base = 'https://127.0.0.1:5110';
  await assert.rejects(sendJsonp(base, '{}', { document, global }), isError('ENETWORK'));
  behaviour.mode = 'silent';
  await assert.rejects(sendJsonp(base, '{}', { document, global }), isError('EBADREPLY'));
  assert.deepEqual(Object.keys(global), []);
  behaviour.mode = 'late';
  await assert.rejects(sendJsonp(base, '{}', { document, global, timeout: 20 }), isError('ETIMEDOUT'));
  const name = callbackOf(scripts.at(-1));
  assert.equal(typeof global[name], 'function');
  await new Promise((resolve) => setTimeout(resolve, 120));
  assert.deepEqual(Object.keys(global), []);
  assert.ok(scripts.every((s) => s.removed));
});
