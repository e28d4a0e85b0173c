// Teacher dashboard: a stored PIN that stops working, and the lockout's message. Each runs the
// classroom in a state the other files must not share (a restarted server, a blocked address).
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { classroomForFile, dashboardPage, openLoggedIn, stored, until } from './dashboard_helpers.js';

let room;
let browser;
classroomForFile({}, (r, b) => { room = r; browser = b; });

test('after a restart with a new PIN the login screen comes back and the new PIN opens at once', async () => {
  const page = await dashboardPage(browser);
  await openLoggedIn(page, room);
  const oldPin = room.teacherPin;
  await room.restart();
  assert.notEqual(room.teacherPin, oldPin);
  // The refreshes keep sending the old PIN: the page must notice before the lockout does.
  await page.locator('#t-pin').waitFor({ state: 'visible', timeout: 10000 });
  assert.equal(await stored(page, 'teacherPin'), null);
  await page.fill('#t-pin', room.teacherPin);
  await page.press('#t-pin', 'Enter');
  await page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
  assert.deepEqual(page.dialogs, []);
  await page.close();
});

test('repeated wrong PINs end with the server\'s blocking message', async () => {
  const page = await dashboardPage(browser);
  await page.goto(room.url('/teacher'));
  const wrong = String((Number(room.teacherPin) + 1) % 10000).padStart(4, '0');
  for (let i = 1; i <= 6; i++) {
    await page.fill('#t-pin', wrong);
    await page.press('#t-pin', 'Enter');
    await until('the answer to try ' + i, () => page.dialogs.length === i);
  }
  assert.deepEqual(page.dialogs.slice(4), ['Code PIN incorrect.', 'Trop de tentatives. Veuillez patienter.']);
  // A stored PIN is not dropped for a block: the block says nothing about it.
  await page.evaluate((pin) => localStorage.setItem('teacherPin', pin), room.teacherPin);
  await Promise.all([page.waitForResponse((r) => r.url().endsWith('/api/verify-teacher')), page.reload()]);
  assert.equal(await stored(page, 'teacherPin'), room.teacherPin);
  await page.close();
});
