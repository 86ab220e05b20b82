// Checks fiskald's asyncapi.yaml: parsed by the AsyncAPI parser (every
// diagnostic printed; an error fails, and so does a warning not allowed
// below), then held against the broker interface as fiskald has it and
// against openapi.json, whose schemas it shares.
//
//   node validate.mjs [ASYNCAPI.yaml [OPENAPI.json]]
//
// (default: ../asyncapi.yaml and ../openapi.json beside this file). Exits 0
// when everything holds, 1 otherwise.
import fs from 'node:fs';
import { fileURLToPath } from 'node:url';
import { Parser, DiagnosticSeverity } from '@asyncapi/parser';
import Ajv from 'ajv';
import addFormats from 'ajv-formats';
import yaml from 'js-yaml';

const here = (name) => fileURLToPath(new URL(name, import.meta.url));
const asyncapiPath = process.argv[2] ?? here('../asyncapi.yaml');
const openapiPath = process.argv[3] ?? here('../openapi.json');

// Warnings that do not apply, by code, each with its reason. None is
// allowed today; one added here is printed with its reason at every run.
const allowedWarnings = {};

// Diagnostics of a lower severity than a warning are printed and pass:
// the parser reports `asyncapi-latest-version` (information) because a
// newer AsyncAPI exists; the document is AsyncAPI 3.0 and MQTT binding
// 0.2.0 on purpose.
const severityName = {
  [DiagnosticSeverity.Error]: 'error',
  [DiagnosticSeverity.Warning]: 'warning',
  [DiagnosticSeverity.Information]: 'information',
  [DiagnosticSeverity.Hint]: 'hint',
};

const text = fs.readFileSync(asyncapiPath, 'utf8');
const raw = yaml.load(text);
const openapi = JSON.parse(fs.readFileSync(openapiPath, 'utf8'));

const { document, diagnostics } = await new Parser().parse(text, { source: asyncapiPath });
let failed = false;
for (const d of diagnostics) {
  const at = d.path.length ? d.path.join('.') : '(document)';
  const line = d.range ? `:${d.range.start.line + 1}` : '';
  const name = severityName[d.severity] ?? `severity ${d.severity}`;
  let verdict = '';
  if (d.severity === DiagnosticSeverity.Error) {
    failed = true;
  } else if (d.severity === DiagnosticSeverity.Warning) {
    if (allowedWarnings[d.code]) verdict = ` (allowed: ${allowedWarnings[d.code]})`;
    else failed = true;
  }
  console.log(`${asyncapiPath}${line}: ${name} ${d.code} at ${at}: ${d.message}${verdict}`);
}
if (!document) {
  console.log('asyncapi.yaml: the parser gave no document');
  process.exit(1);
}
if (failed) {
  console.log('asyncapi.yaml: the parser found errors (or warnings not allowed)');
  process.exit(1);
}

// --- the document against the interface and openapi.json ---

const problems = [];
const expect = (ok, what) => { if (!ok) problems.push(what); };
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

// openapi.json's own references, followed (its schemas have no cycles).
function resolveOpenapi(node) {
  if (Array.isArray(node)) return node.map(resolveOpenapi);
  if (node === null || typeof node !== 'object') return node;
  if (typeof node.$ref === 'string') {
    const target = node.$ref.replace(/^#\//, '').split('/').reduce((o, k) => o?.[k], openapi);
    if (target === undefined) throw new Error(`openapi.json: ${node.$ref} does not exist`);
    return resolveOpenapi(target);
  }
  return Object.fromEntries(Object.entries(node).map(([k, v]) => [k, resolveOpenapi(v)]));
}

const channelsByAddress = new Map(document.channels().all().map((c) => [c.address(), c]));
const channelOf = (address) => channelsByAddress.get(address);
const mqtt = (item) => item?.bindings().get('mqtt');
const mqttValue = (item) => mqtt(item)?.value() ?? {};
const messagesOf = (address) => channelOf(address)?.messages().all() ?? [];
const contentTypes = (address) => messagesOf(address).map((m) => m.contentType()).sort();

// The topics fiskald uses, each with the shop as its parameter.
const topics = ['fiskal/{shop}/receipts', 'fiskal/{shop}/states', 'fiskal/{shop}/status'];
for (const address of topics) {
  const channel = channelOf(address);
  expect(channel, `no channel has the address ${address}`);
  if (channel) {
    expect(channel.parameters().get('shop'), `${address}: no parameter shop`);
  }
}

// Content types: each message's own, and its MQTT binding's the same.
const wantedTypes = [
  ['fiskal/{shop}/receipts', ['application/json', 'text/plain']],
  ['fiskal/{shop}/states', ['application/json', 'application/problem+json']],
  ['fiskal/{shop}/status', ['application/json']],
];
for (const [address, types] of wantedTypes) {
  expect(same(contentTypes(address), types),
         `${address}: messages of content types ${contentTypes(address).join(', ')}, ` +
         `not ${types.join(', ')}`);
  for (const m of messagesOf(address)) {
    const binding = mqtt(m);
    expect(binding, `message ${m.id()}: no mqtt binding`);
    expect(binding?.version() === '0.2.0', `message ${m.id()}: mqtt binding not 0.2.0`);
    expect(mqttValue(m).contentType === m.contentType(),
           `message ${m.id()}: its mqtt binding's contentType is not ${m.contentType()}`);
  }
}

// Requests carry their key and may name a Response Topic; answers carry the key back.
const keyRule = resolveOpenapi(openapi.components.parameters.IdempotencyKey.schema);
for (const m of messagesOf('fiskal/{shop}/receipts')) {
  const key = mqttValue(m).correlationData;
  expect(key && ['type', 'minLength', 'maxLength', 'pattern'].every((k) => same(key[k], keyRule[k])),
         `message ${m.id()}: correlationData is not the Idempotency-Key of openapi.json ` +
         `(${JSON.stringify(keyRule)})`);
  expect(mqttValue(m).responseTopic, `message ${m.id()}: no responseTopic in its mqtt binding`);
}
for (const m of messagesOf('fiskal/{shop}/states')) {
  expect(mqttValue(m).correlationData, `message ${m.id()}: no correlationData in its mqtt binding`);
}

const answerOf = (type) => messagesOf('fiskal/{shop}/states').find((m) => m.contentType() === type);
const receiptAnswer = answerOf('application/json');
const problemAnswer = answerOf('application/problem+json');

// The problem's status names every status a published receipt can get.
const statuses = problemAnswer?.payload()?.json().properties?.status?.enum ?? [];
for (const status of [400, 409, 413, 415, 422, 503]) {
  expect(statuses.includes(status), `the problem's status enum lacks ${status}`);
}

// The answer's user property `state` tells every state a receipt has.
const stateProperty = receiptAnswer?.headers()?.json().properties?.state;
const stateWords = [...(stateProperty?.enum ?? []), stateProperty?.description ?? ''].join(' ');
const states = resolveOpenapi(openapi.components.schemas.Receipt).properties.state.enum;
for (const state of states) {
  expect(new RegExp(`\\b${state}\\b`).test(stateWords),
         `the answer's user property state does not name the state ${state}`);
}

// Who does what, at which QoS; presence retained, answers not.
const wantedOperations = [
  ['receive', 'fiskal/{shop}/receipts', { qos: 1 }],
  ['send', 'fiskal/{shop}/states', { qos: 1, retain: false }],
  ['send', null, { qos: 1, retain: false }],
  ['send', 'fiskal/{shop}/status', { qos: 1, retain: true }],
];
const operations = document.operations().all();
for (const [action, address, binding] of wantedOperations) {
  const op = operations.find((o) => o.action() === action &&
                                    o.channels().all().some((c) => (c.address() ?? null) === address));
  expect(op, `no operation ${action}s on ${address ?? 'a Response Topic (address null)'}`);
  if (!op) continue;
  for (const [k, v] of Object.entries(binding)) {
    expect(mqttValue(op)[k] === v, `operation ${op.id()}: mqtt ${k} is not ${v}`);
  }
}
const reply = operations.find((o) => o.action() === 'receive')?.reply();
expect(reply && reply.channel()?.address() === null &&
       same(reply.messages().all().map((m) => m.contentType()).sort(),
            ['application/json', 'application/problem+json']),
       'the receiving operation does not reply with the receipt and the problem on the Response Topic');

// Same version as openapi.json (which the build holds to fiskald's own).
expect(raw.info.version === openapi.info.version,
       `info.version ${raw.info.version} is not openapi.json's ${openapi.info.version}`);

// The shared schemas are openapi.json's word for word; Problem's status
// alone is narrowed to the statuses a published receipt gets.
function narrowedProblem(schema) {
  const copy = structuredClone(schema);
  if (copy?.properties?.status) {
    const { enum: list = [], description, ...rest } = copy.properties.status;
    expect(list.every((s) => s >= rest.minimum && s <= rest.maximum),
           'Problem.status lists a status outside its own range');
    copy.properties.status = rest;
  }
  return copy;
}
const shared = ['ReceiptRequest', 'ItemRequest', 'Amount', 'Receipt', 'ReceiptItem',
                'ReceiptState', 'Printer', 'Problem'];
for (const name of shared) {
  let ours = raw.components?.schemas?.[name];
  if (name === 'Problem') ours = narrowedProblem(ours);
  expect(same(ours, openapi.components.schemas[name]), `schema ${name} differs from openapi.json's`);
}
// And the messages carry them: each payload, as the parser resolved it, is
// the body of POST /v1/receipts or its answer, as openapi.json has them.
const withoutParserKeys = (node) => {
  if (Array.isArray(node)) return node.map(withoutParserKeys);
  if (node === null || typeof node !== 'object') return node;
  return Object.fromEntries(Object.entries(node).filter(([k]) => !k.startsWith('x-parser-'))
                              .map(([k, v]) => [k, withoutParserKeys(v)]));
};
const post = openapi.paths['/v1/receipts'].post;
const wantedPayloads = [
  ['fiskal/{shop}/receipts', 'text/plain', post.requestBody.content['text/plain'].schema],
  ['fiskal/{shop}/receipts', 'application/json', post.requestBody.content['application/json'].schema],
  ['fiskal/{shop}/states', 'application/json', post.responses['201'].content['application/json'].schema],
  ['fiskal/{shop}/states', 'application/problem+json',
   post.responses['422'].content['application/problem+json'].schema],
];
for (const [address, type, schema] of wantedPayloads) {
  const m = messagesOf(address).find((x) => x.contentType() === type);
  let ours = withoutParserKeys(m?.payload()?.json());
  if (type === 'application/problem+json') ours = narrowedProblem(ours);
  expect(same(ours, resolveOpenapi(schema)),
         `${address}: the ${type} payload is not what openapi.json has for POST /v1/receipts`);
}

// Every example fits its message: the parser does not check them in an
// AsyncAPI 3 document.
const ajv = new Ajv({ strict: false, allErrors: true });
addFormats(ajv);
ajv.addFormat('int64', { type: 'number', validate: Number.isSafeInteger });
for (const m of document.allMessages().all()) {
  const payload = m.payload()?.json();
  const headers = m.headers()?.json();
  expect(m.examples().length > 0, `message ${m.id()}: no example`);
  for (const [i, example] of m.examples().all().entries()) {
    const where = `message ${m.id()}, example ${example.name() ?? i}`;
    for (const [part, schema, value] of [['payload', payload, example.payload()],
                                         ['headers', headers, example.headers()]]) {
      if (value === undefined) {
        expect(!schema || part === 'headers' && !schema.required?.length, `${where}: no ${part}`);
        continue;
      }
      expect(schema, `${where}: ${part} without a schema`);
      if (!schema) continue;
      const validate = ajv.compile(schema);
      expect(validate(value), `${where}: ${part} does not fit: ${ajv.errorsText(validate.errors)}`);
    }
  }
}

for (const p of problems) console.log(`asyncapi.yaml: ${p}`);
if (problems.length) process.exit(1);
console.log(`asyncapi.yaml: parsed (${diagnostics.length} diagnostic(s), none failing), ` +
            `${channelsByAddress.size} channels, ${operations.length} operations, ` +
            `${document.allMessages().length} messages; it agrees with the interface and openapi.json`);
