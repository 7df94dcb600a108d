// The pictures of the service's page in the README: three virtual projectors, two of them on
// with an input and a mute set, at a desk's width; then a phone's width with the keypad open.
// Run by tools/page-screenshot, which builds the programs and names them as the tests do.
import { Rig, waitFor } from '../tests/browser/harness.mjs';

const [wide, phone] = process.argv.slice(2);
const rig = new Rig();
try {
  await rig.start();
  const post = (path) => rig.raw('POST', path, {
    headers: { authorization: `Bearer ${rig.token}`, 'content-type': 'application/json' }, body: '{}',
  });
  const state = async (id) => JSON.parse((await rig.raw('GET', `/api/v1/projectors/${id}`)).body);
  for (const id of ['p1', 'p2']) await post(`/api/v1/projectors/${id}/commands/power-on`);
  await waitFor('projectors on', async () => (await state('p2')).power === 'on', 20000, 200);
  await post('/api/v1/projectors/p2/commands/input-pc2');
  await post('/api/v1/projectors/p2/commands/mute-on');
  await waitFor('the mute shown', async () => (await state('p2')).soundMute === true, 20000, 200);

  const page = await rig.browser.newPage();
  await page.setViewport({ width: 1280, height: 760 });
  await page.goto(`${rig.origin}/`, { waitUntil: 'load' });
  await page.waitForSelector('[data-projector="p3"]');
  await page.type('#token', rig.token);
  await page.click('#token-form button[type="submit"]');
  await page.click('[data-projector="p2"] [data-command="mute-on"]').catch(() => {});
  await new Promise((resolve) => setTimeout(resolve, 1500));
  await page.screenshot({ path: wide });

  await page.setViewport({ width: 360, height: 740, deviceScaleFactor: 2 });
  await page.click('[data-projector="p1"] .open-keypad');
  await page.waitForSelector('[data-key="volume-up"]');
  await new Promise((resolve) => setTimeout(resolve, 500));
  await page.screenshot({ path: phone });
} finally {
  await rig.stop();
}
