// Teacher dashboard in the establishment mode: the teachers' login, the session banners and
// the end of a session.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { startClassroom } from './harness.js';
import { ask, classroomForFile, dashboardPage, establishment, loginAs as login, stored, textOf, until, visible } from './dashboard_helpers.js';

const TEACHERS = [
  { id: 'T-ANNE', name: '<b>Anne</b> <img src=x onerror="window.hacked=1">', pin: '123456', createdAt: '2026-09-01' },
  { id: 'T-BRUNO', name: 'Bruno', pin: '654321', createdAt: '2026-09-01' },
];

let room;
let browser;
classroomForFile({ prepare: establishment(TEACHERS) }, (r, b) => { room = r; browser = b; });
const loginAs = (page, teacher, pin) => login(page, room, teacher, pin);

describe('login, establishment mode', () => {
  let anne;
  test('teachers list, messages, login of the first teacher', async () => {
    anne = await dashboardPage(browser);
    await loginAs(anne, TEACHERS[0], '12');
    assert.deepEqual([await visible(anne, '#t-pin'), await anne.$$eval('#teacher-select option', (o) => o.map((x) => x.textContent)),
      await textOf(anne, '#login-message')], [false, TEACHERS.map((t) => t.name), 'Le code PIN doit contenir 6 chiffres.']);
    await anne.fill('#t-pin-6', '000000');
    await anne.press('#t-pin-6', 'Enter');
    await until('the refusal', async () => (await textOf(anne, '#login-message')) === 'Code PIN incorrect.');
    assert.equal(await anne.inputValue('#t-pin-6'), '');
    await anne.fill('#t-pin-6', TEACHERS[0].pin);
    await anne.press('#t-pin-6', 'Enter');
    await anne.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
    await anne.locator('#end-session-card').waitFor();
    assert.deepEqual([await stored(anne, 'teacherId'), await stored(anne, 'teacherPin'), await textOf(anne, '#session-teacher-name'),
      await visible(anne, '#nav-agenda'), await anne.evaluate(() => window.hacked)], [TEACHERS[0].id, TEACHERS[0].pin, TEACHERS[0].name, true, undefined]);
  });

  test('a second teacher sees whose session is in progress', async () => {
    const bruno = await dashboardPage(browser);
    await loginAs(bruno, TEACHERS[1]);
    await bruno.locator('#session-in-progress-banner').waitFor();
    assert.equal(await textOf(bruno, '#session-banner-text'), `⚠️ Session en cours (${TEACHERS[0].name}). Merci de réserver un autre créneau.`);
    await bruno.close();
  });

  test('the session holder\'s alerts survive 12 s of refreshes', async () => {
    await room.lm('/control/reply', { content: 'pas d\'avis' });  // the AI verdict keeps the alert
    await ask(room, 'je veux mourir', 'Lou');
    await anne.click('#nav-supervision');
    await anne.locator('.db-alert').waitFor();
    await anne.waitForTimeout(12000);
    assert.deepEqual([await anne.locator('.db-alert').count(), (await room.api('/api/safety-alerts', { pin: TEACHERS[0].pin })).length], [1, 1]);
  });

  test('ending the session asks first, then shows the login screen with the teacher kept', async () => {
    await anne.click('#btn-end-session');
    await anne.locator('#t-pin-6').waitFor();
    assert.deepEqual(anne.dialogs, ['Terminer votre session ? Vos réglages seront sauvegardés.']);
    assert.deepEqual([await stored(anne, 'teacherId'), await stored(anne, 'teacherPin')], [TEACHERS[0].id, null]);
    assert.equal((await room.api('/api/config')).activeTeacherName, '');
    await anne.close();
  });

  test('repeated wrong PINs end with the server\'s blocking message', async () => {
    const page = await dashboardPage(browser);
    for (let i = 0; i < 6; i++) {
      const answered = page.waitForResponse((r) => r.url().endsWith('/api/verify-teacher'));
      await (i ? page.fill('#t-pin-6', '000000').then(() => page.click('text=Se connecter')) : loginAs(page, TEACHERS[1], '000000'));
      await answered;
    }
    assert.equal(await textOf(page, '#login-message'), 'Trop de tentatives. Veuillez patienter.');
    await page.close();
  });
});

test('a PIN in the address leaves the address bar and opens nothing', async () => {
  for (const address of [`#pin=${TEACHERS[1].pin}`, `?pin=${TEACHERS[1].pin}`]) {
    const page = await dashboardPage(browser);
    await page.goto(room.url('/teacher' + address));
    await page.locator('#teacher-select option[value="' + TEACHERS[1].id + '"]').waitFor({ state: 'attached' });
    const url = new URL(page.url());
    assert.deepEqual([url.pathname + url.search + url.hash, await stored(page, 'teacherPin'), await visible(page, '#t-pin-6'),
      page.paths.includes('/api/verify-teacher')], ['/teacher', null, true, false], address);
    await page.close();
  }
});

test('with no teacher configured the list says so and the login asks for a name', async () => {
  const empty = await startClassroom({ prepare: establishment([]) });
  try {
    const page = await dashboardPage(browser);
    await page.goto(empty.url('/teacher'));
    await until('the empty list', async () => (await textOf(page, '#teacher-select')) === 'Aucun enseignant configuré');
    await page.click('text=Se connecter');
    assert.equal(await textOf(page, '#login-message'), 'Sélectionnez un enseignant.');
    await page.close();
  } finally {
    await empty.stop();
  }
});
