// Teacher dashboard, establishment mode with three teachers: who holds the class, what a
// watching colleague's page may do, the end of the slot, and the pictures for review.
import assert from 'node:assert/strict';
import { mkdir, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { test } from 'node:test';
import { screenshot } from './harness.js';
import { askFrom, classroomForFile, config, count, dashboardPage, establishment, loginAs, textOf, until, visible } from './dashboard_helpers.js';

const [ANNE, BRUNO, CHLOE] = [['T-A', 'Anne', '111111'], ['T-B', 'Bruno', '222222'], ['T-C', 'Chloé', '333333']]
  .map(([id, name, pin]) => ({ id, name, pin, createdAt: '2026-09-01' }));
const LOG = '[09:00:00] Question (Léa): Pourquoi le ciel est bleu ?\n';
let room;
let browser;
let anne;
let bruno;
classroomForFile({ prepare: async (home) => {
  await establishment([ANNE, BRUNO, CHLOE])(home);
  const logs = path.join(home, 'Documents', 'Klarion_Logs', 'Anne');
  await mkdir(logs, { recursive: true });
  await writeFile(path.join(logs, 'Log_2026-12-01.txt'), LOG);
} }, async (r, b) => { room = r; browser = b; });

const holder = async () => (await config(room)).activeTeacherName;
const banner = (page) => visible(page, '#session-in-progress-banner').then((shown) => shown && textOf(page, '#session-banner-text'));
const checksOf = (page) => count(page, '/api/verify-teacher');

test('a watching colleague never takes the class; a session opens on a teacher\'s own login; each page says who holds it', async () => {
  anne = await dashboardPage(browser);
  await loginAs(anne, room, ANNE);
  await anne.locator('#end-session-card').waitFor();
  bruno = await dashboardPage(browser);
  await loginAs(bruno, room, BRUNO);
  await until('Bruno told', async () => (await banner(bruno)) === '⚠️ Session en cours (Anne). Merci de réserver un autre créneau.');
  assert.equal(await visible(bruno, '#end-session-card'), false);

  await anne.click('#btn-end-session');
  await anne.locator('#t-pin-6').waitFor();
  const checks = checksOf(bruno);
  await until('two checks of Bruno\'s page', () => checksOf(bruno) >= checks + 2, 250);
  assert.deepEqual([await holder(), await banner(bruno)], ['', 'Aucune session en cours : aucun enseignant ne tient la classe.']);

  await bruno.click('#btn-open-session');
  await until('Bruno\'s session', async () => (await holder()) === 'Bruno' && (await visible(bruno, '#end-session-card')));
  assert.equal(await banner(bruno), false);

  // Bruno's session ends elsewhere (the panel, another device) and Anne takes the class.
  await loginAs(anne, room, ANNE);
  await until('Anne told', async () => (await banner(anne)) === '⚠️ Session en cours (Bruno). Merci de réserver un autre créneau.');
  await room.api('/api/end-session', { pin: BRUNO.pin });
  await anne.click('#btn-open-session');
  await until('Bruno told he lost the class', async () => (await banner(bruno)) === '⚠️ Votre session a pris fin : la classe est maintenant tenue par Anne.');
  assert.deepEqual([await holder(), await visible(bruno, '#end-session-card'), await textOf(bruno, '#session-teacher-name')], ['Anne', false, 'Anne']);
});

test('a colleague\'s pause is refused in words, and an analysis is not sent for someone who does not hold the class', async () => {
  await bruno.click('#db-ia-toggle');
  await until('the refusal', () => bruno.dialogs.includes('Réglage non appliqué : seul l\'enseignant qui tient la session peut modifier la classe.'));
  assert.deepEqual([await textOf(bruno, '#db-status-text'), (await config(room)).isAiPaused], ['IA active', false]);

  await bruno.click('#nav-logs');
  await bruno.selectOption('#log-file-select', 'Log_2026-12-01.txt');
  await bruno.click('#btn-analyze');
  await until('the answer', async () => (await textOf(bruno, '#analysis-result')).startsWith('⚠️ L\'analyse nécessite votre session'));
  assert.deepEqual([count(bruno, '/api/log-content'), count(bruno, '/api/chat'), await visible(bruno, '#btn-export')], [0, 0, false]);
});

test('past the slot\'s end the reminder stays though the server says 0, and the session ends 5 minutes after it', async () => {
  const end = Math.floor(Date.now() / 1000) + 480;
  let reported = end;
  await anne.route('**/api/config', async (route) => {
    const reply = await route.fetch({ url: `http://127.0.0.1:${room.port}/api/config` });  // the name is the browser's only
    const json = await reply.json();
    if ('sessionSlotEndTime' in json) json.sessionSlotEndTime = reported;
    await route.fulfill({ response: reply, json });
  });
  await anne.clock.setFixedTime(new Date((end - 480) * 1000));
  await anne.locator('#session-end-reminder').waitFor();
  reported = 0;
  await anne.clock.setFixedTime(new Date((end + 60) * 1000));
  const rounds = count(anne, '/api/config');
  await until('two rounds', () => count(anne, '/api/config') >= rounds + 2);
  assert.equal(await visible(anne, '#session-end-reminder'), true);
  await anne.clock.setFixedTime(new Date((end + 301) * 1000));
  await anne.locator('#t-pin-6').waitFor({ timeout: 15000 });
  assert.equal(await holder(), '');
  await anne.close();
});

test('pictures: 30 students and alerts, the holder\'s page and a colleague\'s, wide and phone, day and night', async () => {
  await room.lm('/control/reply', { content: 'pas d\'avis' });
  await bruno.click('#btn-open-session');  // Anne's session has ended: Bruno takes the class
  await bruno.locator('#end-session-card').waitFor();
  const chloe = await dashboardPage(browser);
  await loginAs(chloe, room, CHLOE);
  for (let i = 0; i < 30; i++) await askFrom(room, 10 + i, i % 10 === 3 ? 'je veux mourir' : `Question ${i} sur les volcans ?`, `Élève ${i + 1}`);
  for (const [page, who] of [[chloe, 'watcher'], [bruno, 'holder']]) {
    await until('the class', async () => (await textOf(page, '#stat-eleves')) === '30' && (await page.locator('.db-alert').count()) === 3);
    for (const [width, height] of [[1366, 768], [390, 844]]) {
      await page.setViewportSize({ width, height });
      for (const theme of ['light', 'dark']) {
        await page.evaluate((t) => setTheme(t), theme);
        for (const section of ['cockpit', 'supervision', 'eleves']) {
          await page.evaluate((s) => showSection(s), section);
          await screenshot(page, `session-${who}-${section}-${width}-${theme}`, { animations: 'disabled' });
        }
      }
    }
  }
});
