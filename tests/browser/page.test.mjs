// The service's page in chromium over three virtual projectors, and the API it talks to, each
// answer checked against the OpenAPI document.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { Rig, freePort, waitFor } from './harness.mjs';
import { checkEvent, checkHeaders, documentPath, seen, validateAt } from './contract.mjs';

const axeSource = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
const rig = new Rig();
const card = (id) => `[data-projector="${id}"]`;
const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function openPage({ width = 1280, height = 900 } = {}) {
  const page = await rig.browser.newPage();
  await page.setViewport({ width, height });
  await page.goto(`${rig.origin}/`, { waitUntil: 'load' });
  await page.waitForSelector(card('p3'), { timeout: 10000 });
  return page;
}

async function enterToken(page) {
  await page.type('#token', rig.token);
  await page.click('#token-form button[type="submit"]');
}

const cardText = (page, id, selector = '') =>
  page.$eval(`${card(id)} ${selector}`.trim(), (element) => element.textContent);

async function waitForText(page, id, selector, test, what, timeoutMs = 10000) {
  return waitFor(what, async () => test(await cardText(page, id, selector)), timeoutMs, 100);
}

// The first `count` events of a fresh stream, each `data:` line checked as a Projector.
async function readEvents(count) {
  const stop = new AbortController();
  const timer = setTimeout(() => stop.abort(), 10000);
  try {
    const response = await fetch(`${rig.origin}/api/v1/events`, { signal: stop.signal });
    assert.equal(response.status, 200);
    assert.match(response.headers.get('content-type'), /^text\/event-stream/);
    const decoder = new TextDecoder();
    const projectors = [];
    let text = '';
    for await (const chunk of response.body) {
      text += decoder.decode(chunk, { stream: true });
      let end;
      while ((end = text.indexOf('\n\n')) >= 0) {
        const lines = text.slice(0, end).split('\n');
        text = text.slice(end + 2);
        if (!lines.includes('event: projector')) continue;
        const data = lines.filter((line) => line.startsWith('data:')).map((line) => line.slice(5).trim());
        assert.equal(data.length, 1, 'one data line an event');
        projectors.push(checkEvent(data[0]));
        if (projectors.length === count) return projectors;
      }
    }
    throw new Error('the stream ended');
  } finally {
    clearTimeout(timer);
    stop.abort();
  }
}

// The times of C09 on device `device` between `from` and `to` (unix ms).
const volumeUps = (device, from, to) =>
  rig.commands().filter((c) => c.device === device && c.command === 'C09' && c.at >= from && c.at <= to);

describe('the page over three virtual projectors', { concurrency: false }, () => {
  before(() => rig.start());
  after(() => rig.stop());

  it('reads: projectors, one projector, keypad, the document and the event stream', async () => {
    const list = await rig.api('GET', '/api/v1/projectors', '/api/v1/projectors');
    assert.deepEqual(list.json.projectors.map((p) => [p.id, p.name]),
      [['p1', 'Room 1'], ['p2', 'Room 2'], ['p3', 'Room 3']]);
    const one = await rig.api('GET', '/api/v1/projectors/p2', '/api/v1/projectors/{id}');
    assert.equal(one.json.answering, true);
    const unknown = await rig.api('GET', '/api/v1/projectors/p9', '/api/v1/projectors/{id}');
    assert.equal(unknown.json.error, 'unknown-projector');
    const keypad = await rig.api('GET', '/api/v1/keypad', '/api/v1/keypad');
    const volumeUp = keypad.json.groups.flatMap((g) => g.keys).find((k) => k.key === 'volume-up');
    assert.deepEqual([volumeUp?.repeats, volumeUp?.periodMs], [true, 250]);
    const served = await rig.api('GET', '/api/v1/openapi.json', '/api/v1/openapi.json');
    assert.deepEqual(served.json, JSON.parse(readFileSync(documentPath, 'utf8')));
    const events = await readEvents(3);
    assert.deepEqual(events.map((p) => p.id), ['p1', 'p2', 'p3']);
    // Answers of no operation are errors like any other, with the same headers.
    for (const [method, path, status] of [['GET', '/nothing', 404], ['OPTIONS', '/api/v1/projectors', 405]]) {
      const answer = await rig.raw(method, path);
      assert.equal(answer.status, status);
      checkHeaders(answer, `${method} ${path}`);
      validateAt('/components/schemas/Error', JSON.parse(answer.body), `${method} ${path}: ${answer.body}`);
      if (status === 404) assert.equal(JSON.parse(answer.body).error, 'not-found');
    }
  });

  it('writes through the API: commands, keys, holds and their refusals', async () => {
    const token = rig.token;
    const status = await rig.api('POST', '/api/v1/projectors/p3/commands/status',
      '/api/v1/projectors/{id}/commands/{command}', { token });
    assert.equal(status.status, 200, status.body);
    assert.deepEqual([status.json.projector, status.json.sent], ['p3', 'CR0']);
    const key = await rig.api('POST', '/api/v1/projectors/p3/keys/status', '/api/v1/projectors/{id}/keys/{key}', { token });
    assert.equal(key.json.sent, 'CR0');
    const hold = await rig.api('POST', '/api/v1/projectors/p3/keys/volume-down', '/api/v1/projectors/{id}/keys/{key}', { token });
    assert.deepEqual([hold.json.key, hold.json.periodMs, hold.json.heartbeatMs], ['volume-down', 250, 1000]);
    const holdPath = (what) => [`/api/v1/holds/${encodeURIComponent(hold.json.hold)}/${what}`, `/api/v1/holds/{hold}/${what}`];
    assert.equal((await rig.api('POST', ...holdPath('heartbeat'), { token })).status, 204);
    assert.equal((await rig.api('POST', ...holdPath('release'), { token })).status, 204);
    assert.equal((await rig.api('POST', ...holdPath('release'), { token })).status, 204);
    assert.equal((await rig.api('POST', ...holdPath('heartbeat'), { token })).json?.error, 'unknown-hold');
    const command = '/api/v1/projectors/{id}/commands/{command}';
    const refusals = [
      ['/api/v1/projectors/p3/commands/launch', { token }, 400, 'unknown-command'],
      ['/api/v1/projectors/p3/keys/launch', { token }, 400, 'unknown-key', '/api/v1/projectors/{id}/keys/{key}'],
      ['/api/v1/projectors/p3/commands/status', { token, body: '[' }, 400, 'bad-body'],
      ['/api/v1/projectors/p3/commands/status', { token, body: `{"a":"${'x'.repeat(1100)}"}` }, 413, 'too-large'],
      ['/api/v1/projectors/p3/commands/status', { token: 'x'.repeat(24) }, 401, 'unauthorized'],
      ['/api/v1/projectors/p9/commands/status', { token }, 404, 'unknown-projector'],
      ['/api/v1/projectors/p3/commands/power-off', { token, origin: 'http://evil.example' }, 403, 'cross-origin'],
    ];
    const wrong = [];
    for (const [path, options, status, error, template = command] of refusals) {
      try {
        const answer = await rig.api('POST', path, template, options);
        assert.deepEqual([answer.status, answer.json?.error], [status, error], `${path}: ${answer.body}`);
      } catch (failure) {
        wrong.push(`${error}: ${failure.message}`);
      }
    }
    assert.deepEqual(wrong, []);
    const plain = await rig.raw('POST', '/api/v1/projectors/p3/commands/status',
      { headers: { authorization: `Bearer ${token}`, 'content-type': 'text/plain' }, body: '{}' });
    assert.equal(plain.status, 415, plain.body);
    assert.ok(!rig.commands().some((c) => c.device === 3 && c.command === 'C01'), 'the cross-origin power-off was sent');
  });

  it('lists the projectors; refuses a write without the token, and says so on the card', async () => {
    const page = await openPage();
    assert.deepEqual(await page.$$eval('[data-projector]', (cards) => cards.map((c) => c.dataset.projector)),
      ['p1', 'p2', 'p3']);
    const refused = await rig.api('POST', '/api/v1/projectors/p3/commands/mute-on',
      '/api/v1/projectors/{id}/commands/{command}');
    assert.equal(refused.status, 401);
    assert.match(refused.headers['www-authenticate'], /^Bearer/);
    await page.click(`${card('p3')} [data-command="mute-on"]`);
    await waitForText(page, 'p3', '', (text) => text.includes(refused.json.message), 'the refusal on the card');
    await page.close();
  });

  it('with the token: power on warms up then is on; PC2 and sound mute show on the card', async () => {
    const page = await openPage();
    await enterToken(page);
    await page.click(`${card('p1')} [data-command="power-on"]`);
    const power = '[data-field="power"]';
    await waitForText(page, 'p1', power, (text) => text === 'warming up', '"warming up"', 6000);
    await waitForText(page, 'p1', power, (text) => text === 'on', '"on"', 10000);
    await page.click(`${card('p1')} [data-command="input-pc2"]`);
    await waitForText(page, 'p1', '[data-field="input"]', (text) => text === 'PC2', 'PC2');
    await page.click(`${card('p1')} [data-command="mute-on"]`);
    await waitForText(page, 'p1', '[data-field="soundMute"]', (text) => text === 'on', 'sound mute');
    const p1 = await rig.api('GET', '/api/v1/projectors/p1', '/api/v1/projectors/{id}');
    assert.deepEqual([p1.json.power, p1.json.input, p1.json.soundMute], ['on', 'pc2', true]);
    await page.close();
  });

  it('keypad in a phone-sized window: VOL + held repeats at 250 ms, stops at the release and when the tab closes', async () => {
    const press = async (page) => {
      await page.click(`${card('p2')} .open-keypad`);
      const key = await page.waitForSelector('#keypad button[data-key="volume-up"]', { visible: true });
      const box = await key.boundingBox();
      await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
      const at = Date.now();
      await page.mouse.down();
      return at;
    };
    let page = await openPage({ width: 360, height: 740 });
    await enterToken(page);
    const down = await press(page);
    await delay(1000);
    await page.mouse.up();
    const up = Date.now();
    await delay(1500);
    const times = volumeUps(2, down, up + 1500).map((c) => c.at);
    assert.ok(times.length >= 4, `C09 at ${times.map((t) => t - down)} ms after the press`);
    assert.ok(times[0] - down < 500, `the first C09 came ${times[0] - down} ms after the press`);
    const gap = (times.at(-1) - times[0]) / (times.length - 1);
    assert.ok(Math.abs(gap - 250) <= 60, `repeats every ${gap} ms on average`);
    assert.ok(times.at(-1) <= up + 500, `a C09 ${times.at(-1) - up} ms after the release`);

    await page.close();
    page = await openPage({ width: 360, height: 740 });
    await enterToken(page);
    const again = await press(page);
    await waitFor('repeats of the second hold', () => volumeUps(2, again, Infinity).length >= 2, 3000);
    await page.close();
    const closed = Date.now();
    await delay(2000);
    const late = volumeUps(2, closed + 1000, Infinity);
    assert.deepEqual(late.map((c) => c.at - closed), [], 'repeats more than 1 s after the tab closed');
  });

  it('refuses a cross-origin form post and a fetch from another origin', async () => {
    const port = await freePort();
    const target = `${rig.origin}/api/v1/projectors/p1/commands/power-off`;
    const evil = createServer((request, response) => {
      response.writeHead(200, { 'content-type': 'text/html' });
      response.end(`<form method="post" action="${target}"><input name="a" value="1"></form>` +
        '<script>document.forms[0].submit()</script>');
    });
    await new Promise((resolve) => evil.listen(port, '127.0.0.1', resolve));
    try {
      const page = await rig.browser.newPage();
      const answered = page.waitForResponse((response) => response.url() === target, { timeout: 10000 });
      const before = Date.now();
      await page.goto(`http://127.0.0.1:${port}/`);
      const answer = await answered;
      assert.ok([401, 403, 415].includes(answer.status()), `the form post got ${answer.status()}`);
      await delay(1000);
      assert.deepEqual(rig.commands().filter((c) => c.command === 'C01' && c.at >= before), []);
      await page.close();
    } finally {
      evil.closeAllConnections();
      await new Promise((resolve) => evil.close(resolve));
    }
    const fetched = await rig.api('POST', '/api/v1/projectors/p1/commands/power-off',
      '/api/v1/projectors/{id}/commands/{command}', { token: rig.token, origin: 'http://evil.example' });
    assert.deepEqual([fetched.status, fetched.json.error], [403, 'cross-origin']);
  });

  it('has no serious or critical accessibility violation, cards and open keypad alike', async () => {
    const page = await openPage();
    await page.evaluate(axeSource);
    const violations = async () => (await page.evaluate(() => axe.run(document)))
      .violations.filter((v) => ['serious', 'critical'].includes(v.impact))
      .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
    assert.deepEqual(await violations(), [], 'on the cards');
    await page.click(`${card('p1')} .open-keypad`);
    await page.waitForSelector('#keypad button[data-key]', { visible: true });
    assert.deepEqual(await violations(), [], 'with the keypad open');
    await page.close();
  });

  it('shows the cards as not answering or line closed within two polls of the projectors dying', async () => {
    const page = await openPage();
    rig.projectors.kill('SIGKILL');
    const died = Date.now();
    for (const id of rig.ids) {
      await waitForText(page, id, '', (text) => /not answering|line closed/.test(text),
        `${id} shown as gone`, Math.max(died + 10000 - Date.now(), 0));
    }
    const list = await rig.api('GET', '/api/v1/projectors', '/api/v1/projectors');
    assert.ok(list.json.projectors.every((p) => !p.lineOpen || !p.answering));
    await page.close();
  });

  it('checked every kind of answer against the document', () => {
    const kinds = new Set(seen.map((s) => `${s.method} ${s.template} ${s.status}${s.error ? ` ${s.error}` : ''}`));
    const expected = [
      'GET /api/v1/projectors 200', 'GET /api/v1/projectors/{id} 200', 'GET /api/v1/keypad 200',
      'GET /api/v1/projectors/{id} 404 unknown-projector', 'EVENT /api/v1/events data',
      'POST /api/v1/projectors/{id}/commands/{command} 200', 'POST /api/v1/projectors/{id}/keys/{key} 200',
      'POST /api/v1/holds/{hold}/heartbeat 204', 'POST /api/v1/holds/{hold}/release 204',
      'POST /api/v1/holds/{hold}/heartbeat 404 unknown-hold',
      'POST /api/v1/projectors/{id}/commands/{command} 401 unauthorized',
      'POST /api/v1/projectors/{id}/commands/{command} 403 cross-origin',
    ];
    assert.deepEqual(expected.filter((kind) => !kinds.has(kind)), []);
  });
});
