// Every answer the tests receive goes through check(): its status must be one the OpenAPI
// document lists for the operation, its headers those the document requires, and its JSON
// body must validate against the document's schema for that status. What was checked is
// kept, so a test can tell that each kind of answer was seen at least once.
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';
import Ajv2020 from 'ajv/dist/2020.js';
import addFormats from 'ajv-formats';

export const documentPath = fileURLToPath(new URL('../../data/web/openapi.json', import.meta.url));
export const openapi = JSON.parse(readFileSync(documentPath, 'utf8'));

const ajv = new Ajv2020({ allErrors: true, strict: true });
addFormats(ajv);
// The document's own words around the schemas; the schemas are reached by $ref into it.
ajv.addVocabulary(['openapi', 'info', 'security', 'paths', 'components', 'tags']);
ajv.addSchema(openapi, 'openapi.json');

const escape = (part) => part.replaceAll('~', '~0').replaceAll('/', '~1');

function validatorAt(pointer) {
  const validate = ajv.getSchema(`openapi.json#${pointer}`);
  if (!validate) throw new Error(`no schema at ${pointer}`);
  return validate;
}

// The response object for an operation and status, and the JSON pointer where it lives.
export function documented(method, template, status) {
  const operation = openapi.paths[template]?.[method.toLowerCase()];
  if (!operation) throw new Error(`${method} ${template} is not in the document`);
  let pointer = `/paths/${escape(template)}/${method.toLowerCase()}/responses/${status}`;
  let response = operation.responses[String(status)];
  if (response?.$ref) {
    pointer = response.$ref.slice(1);
    response = pointer.split('/').slice(1).reduce((node, key) => node[key], openapi);
  }
  return { response, pointer };
}

export const seen = [];

// The headers the contract puts on every answer.
export function checkHeaders(answer, where) {
  for (const [name, { schema }] of Object.entries(openapi.components.headers)) {
    if (schema.const && name !== 'Retry-After') {
      assert.equal(answer.headers[name.toLowerCase()], schema.const, `${where}: ${name}`);
    }
  }
}

// answer: { status, headers (lower-case names), body (text) }; returns the parsed JSON or null.
export function check(method, template, answer) {
  const where = `${method} ${template} -> ${answer.status}`;
  const { response, pointer } = documented(method, template, answer.status);
  if (!response) throw new Error(`${where}: status not in the document; body ${answer.body}`);
  for (const [name, header] of Object.entries(response.headers ?? {})) {
    const schema = header.$ref ? openapi.components.headers[header.$ref.split('/').pop()] : header;
    const value = answer.headers[name.toLowerCase()];
    if (value === undefined) {
      if (schema.required) throw new Error(`${where}: header ${name} missing`);
      continue;
    }
    const validate = validatorAt(`/components/headers/${escape(name)}/schema`);
    if (!validate(value)) throw new Error(`${where}: header ${name}: ${value}`);
  }
  const mediaTypes = Object.keys(response.content ?? {});
  if (mediaTypes.length === 0) {
    if (answer.body !== '') throw new Error(`${where}: a body where none belongs: ${answer.body}`);
    seen.push({ method, template, status: answer.status });
    return null;
  }
  const type = (answer.headers['content-type'] ?? '').split(';')[0].trim();
  if (!mediaTypes.includes(type)) throw new Error(`${where}: content type ${type}`);
  if (type !== 'application/json') {
    seen.push({ method, template, status: answer.status });
    return answer.body;
  }
  const json = JSON.parse(answer.body);
  validateAt(`${pointer}/content/application~1json/schema`, json, where);
  seen.push({ method, template, status: answer.status, error: json.error });
  return json;
}

export function validateAt(pointer, value, where = pointer) {
  const validate = validatorAt(pointer);
  if (!validate(value)) {
    throw new Error(`${where}: ${ajv.errorsText(validate.errors)} in ${JSON.stringify(value)}`);
  }
}

// A `data:` line of the event stream.
export function checkEvent(data) {
  const projector = JSON.parse(data);
  validateAt('/components/schemas/Projector', projector, 'event data');
  seen.push({ method: 'EVENT', template: '/api/v1/events', status: 'data' });
  return projector;
}
