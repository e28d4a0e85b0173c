// The harness itself: both programs start and stop, and a page opened through the LAN-like
// name reaches the classroom server without being a secure context.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { openBrowser, startClassroom } from './harness.js';

let room;
let browser;
before(async () => {
  room = await startClassroom();
  browser = await openBrowser();
});
after(async () => {
  await browser?.close();
  await room?.stop();
});

test('the dashboard opens through a LAN name, outside a secure context', async () => {
  const page = await browser.newPage();
  const reply = await page.goto(room.url('/teacher'));
  assert.equal(reply.status(), 200);
  assert.equal(await page.title(), 'Klarion - Tableau de bord');
  assert.equal(await page.evaluate(() => window.isSecureContext), false);
  assert.equal(typeof (await room.lm('/control/state')).port, 'number');
  await page.close();
});
