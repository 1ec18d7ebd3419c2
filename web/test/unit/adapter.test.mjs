// Adapter calls: the params text and the result list.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { adapterParams, adapterResult } from '../../vasquill-client.js';

const decode = (params) => JSON.parse(Buffer.from(params, 'base64').toString('utf8'));
const reply = (items) => ({ returnvalue: Buffer.from(JSON.stringify({ returnvalue: items }) + '\n').toString('base64') });

test('params: Base64 of {"functionid","parameters":[one object with the vendor]}', () => {
  assert.deepEqual(decode(adapterParams('GetCert', { szSN: '中文', certType: 1, keyType: 1 }, 'test')), {
    functionid: 'GetCert',
    parameters: [{ szSN: '中文', certType: 1, keyType: 1, vendor: 'test' }],
  });
  assert.deepEqual(decode(adapterParams('GetPrintNumber', {}, 'wq')), { functionid: 'GetPrintNumber', parameters: [{ vendor: 'wq' }] });
  // The vendor argument wins over one among the parameters; without it the
  // parameters' own vendor serves.
  assert.equal(decode(adapterParams('GetLabel', { vendor: 'wq', szSN: 'A' }, 'test')).parameters[0].vendor, 'test');
  assert.equal(decode(adapterParams('GetLabel', { vendor: 'wq', szSN: 'A' })).parameters[0].vendor, 'wq');
  assert.equal(decode(adapterParams('GetLabel', { szSN: 'A' }, 'test')).functionid, 'GetLabel');
});

test('params: wrong arguments are refused before anything is sent', () => {
  const cases = [['', {}, 'test'], [7, {}, 'test'], ['Sign', [], 'test'], ['Sign', null, 'test'], ['Sign', {}, undefined],
    ['Sign', {}, ''], ['Sign', {}, 1]];
  for (const [functionid, parameters, vendor] of cases) {
    assert.throws(() => adapterParams(functionid, parameters, vendor), TypeError, JSON.stringify([functionid, parameters, vendor]));
  }
});

test('results: values after ret and errormessage', () => {
  assert.deepEqual(adapterResult(reply([{ ret: 0 }, { errormessage: '成功' }, { value: 'SK0001,SK0002' }])), {
    ret: 0, errormessage: '成功', value: 'SK0001,SK0002', values: ['SK0001,SK0002'],
  });
  assert.deepEqual(adapterResult(reply([{ ret: 0 }, { errormessage: '成功' }, { value: 3 }, { value: '{"a":1}' }])).values, [3, '{"a":1}']);
  assert.deepEqual(adapterResult(reply([{ ret: 0 }, { errormessage: '成功' }])).values, []);
});

test('results: failures carry the code and its text', () => {
  const cases = [
    [reply([{ ret: 184549387 }, { errormessage: 'PIN码错误' }, { value: true }]), 184549387, 'PIN码错误', 'ukey'],
    [reply([{ ret: -928 }, { errormessage: 'uk方法不支持' }, { value: true }]), -928, 'uk方法不支持', 'ukey'],
    [{ ecode: -925, message: 'uk不存在' }, -925, 'uk不存在', 'service'],
    [{ ecode: -902, message: '加载组件库失败' }, -902, '加载组件库失败', 'service'],
  ];
  for (const [answer, code, text, source] of cases) {
    assert.throws(() => adapterResult(answer), (e) => {
      assert.equal(e.name, 'VasquillError');
      assert.deepEqual([e.code, e.text, e.source], [code, text, source]);
      assert.equal(e.message, `${text} (${code})`);
      return true;
    });
  }
});

test('results: replies that are not the adapter\'s', () => {
  const b64 = (text) => ({ returnvalue: Buffer.from(text).toString('base64') });
  const cases = [null, {}, { returnvalue: 5 }, { returnvalue: 'not base64!' }, b64('not json'), b64('{"returnvalue":{}}'),
    b64('{"returnvalue":[{"ret":0}]}'), b64('{"returnvalue":[{"ret":"0"},{"errormessage":""}]}'),
    b64('{"returnvalue":[{"ret":0},{"errormessage":""},{"other":1}]}'), { returnvalue: Buffer.from([0xff, 0xfe]).toString('base64') }];
  for (const answer of cases) {
    assert.throws(() => adapterResult(answer), (e) => e.code === 'EBADREPLY', JSON.stringify(answer));
  }
});
