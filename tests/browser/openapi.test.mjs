// The OpenAPI document is valid, and strict enough that a response drifting from the contract
// fails against it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Validator } from '@seriousme/openapi-schema-validator';
import { openapi, check } from './contract.mjs';

const json = (status, body, extra = {}) => ({
  status,
  headers: {
    'content-type': 'application/json',
    'content-security-policy': openapi.components.headers['Content-Security-Policy'].schema.const,
    'x-content-type-options': 'nosniff',
    'referrer-policy': 'no-referrer',
    'cache-control': 'no-store',
    ...extra,
  },
  body: JSON.stringify(body),
});

const projector = {
  id: 'hall', name: 'Hall A', model: 'QM50', address: '/dev/pts/3', lineOpen: true,
  answering: true, power: 'on', input: 'pc1', pictureMute: false, soundMute: null,
  lampHours: 1234, temperatures: [31.5, null, 40.0],
  errors: { lamp: 'none', temperature: 'warning', other: 'error' },
  lastPoll: '2026-12-09T05:00:00Z', busy: false,
};

test('the document is valid OpenAPI 3.1, with the bearer scheme on every write alone', async () => {
  const validator = new Validator();
  const result = await validator.validate(structuredClone(openapi));
  assert.deepEqual(result, { valid: true });
  assert.equal(validator.version, '3.1');
  assert.deepEqual(openapi.components.securitySchemes.bearer, {
    ...openapi.components.securitySchemes.bearer, type: 'http', scheme: 'bearer',
  });
  for (const [path, item] of Object.entries(openapi.paths)) {
    for (const method of ['get', 'post']) {
      if (!item[method]) continue;
      assert.deepEqual(item[method].security, method === 'post' ? [{ bearer: [] }] : [], path);
      if (method === 'post') assert.ok(item[method].responses['401'], `${path} documents 401`);
    }
  }
});

test('answers that drift from the contract fail, the contract\'s own pass', () => {
  const projectorPath = ['GET', '/api/v1/projectors/{id}'];
  const commandPath = ['POST', '/api/v1/projectors/{id}/commands/{command}'];
  const keyPath = ['POST', '/api/v1/projectors/{id}/keys/{key}'];
  const hold = { projector: 'hall', key: 'volume-up', hold: 'h1', periodMs: 250, heartbeatMs: 1000 };
  const sent = { projector: 'hall', command: 'power-on', sent: 'C00', outcome: 'acknowledged', reply: '' };
  const cases = [
    [projectorPath, json(200, projector), true],
    [projectorPath, json(200, { ...projector, power: null, errors: null, lastPoll: null }), true],
    [projectorPath, json(200, { ...projector, extra: 1 }), false],
    [projectorPath, json(200, { ...projector, power: 'off' }), false],
    [projectorPath, json(200, { ...projector, temperatures: [1, 2] }), false],
    [projectorPath, json(200, { ...projector, errors: { lamp: 'none', temperature: 'none' } }), false],
    [projectorPath, json(200, { ...projector, lastPoll: 'yesterday' }), false],
    [projectorPath, json(200, (({ busy, ...rest }) => rest)(projector)), false],
    [projectorPath, json(404, { error: 'unknown-projector', message: 'No projector hall.' }), true],
    [projectorPath, json(404, { error: 'not-found', message: 'No projector hall.' }), false],
    [projectorPath, json(500, { error: 'internal', message: 'Oops.' }), false],
    [projectorPath, { ...json(200, projector), headers: { 'content-type': 'application/json' } }, false],
    [commandPath, json(200, sent), true],
    [commandPath, json(200, { ...sent, outcome: 'ok' }), false],
    [commandPath, json(401, { error: 'unauthorized', message: 'A token is needed.' },
      { 'www-authenticate': 'Bearer' }), true],
    [commandPath, json(401, { error: 'unauthorized', message: 'A token is needed.' }), false],
    [commandPath, json(503, { error: 'busy', message: 'A key is held.' }, { 'retry-after': '1' }), true],
    [commandPath, json(503, { error: 'busy', message: 'A key is held.' }), false],
    [keyPath, json(200, hold), true],
    [keyPath, json(200, sent), true],
    [keyPath, json(200, { ...hold, heartbeatMs: undefined }), false],
    [keyPath, json(400, { error: 'unknown-command', message: 'No such key.' }), false],
  ];
  for (const [[method, template], answer, passes] of cases) {
    const run = () => check(method, template, answer);
    if (passes) assert.doesNotThrow(run, answer.body);
    else assert.throws(run, Error, `${method} ${template} ${answer.status} ${answer.body}`);
  }
});
