// Teacher dashboard: Cockpit and Directive (settings, model, mission), then what the class
// does (students, word cloud, live feed, safety alerts), and the pictures for review.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { screenshot } from './harness.js';
import { ask, classroomForFile, config, count, dashboardPage, openLoggedIn, stored, textOf, until, visible } from './dashboard_helpers.js';

const HOSTILE = '<img src=x onerror="window.hacked=1">';
let room;
let page;
let browser;
classroomForFile({}, async (r, b) => {
  room = r;
  browser = b;
  await room.lm('/control/models', { models: [{ key: 'alpha-3b' }, { key: 'beta-7b' }], loaded: [{ id: 'alpha-3b', model: 'alpha-3b' }] });
  page = await dashboardPage(browser, { viewport: { width: 1280, height: 900 } });
  await openLoggedIn(page, room);
});

describe('cockpit and directive', () => {
  test('pause, audience, class PIN and journal reach the server with every setting', async () => {
    const pushed = page.waitForRequest((r) => r.url().endsWith('/api/admin/update'));
    await page.click('#db-ia-toggle');
    assert.deepEqual(Object.keys((await pushed).postDataJSON()).sort(),
      ['audience', 'isAiPaused', 'isSupervisionActive', 'pin', 'requiresPin', 'supervisionLevel']);
    assert.deepEqual([await textOf(page, '#db-status-text'), await page.getAttribute('#db-ia-ind', 'class'), await textOf(page, '#db-ia-toggle')], ['IA en pause', 'db-ia-ind paused', '▶ Relancer l\'IA']);
    await until('the pause', async () => (await config(room)).isAiPaused === true);

    await page.selectOption('#ctrl-audience', 'eleves');
    await page.check('#ctrl-pin');
    await page.check('#ctrl-journal');
    await page.selectOption('#ctrl-supervision-level', 'questions');
    await until('the settings', async () => {
      const c = await config(room);
      return c.audience === 'eleves' && c.requiresPin && c.isSupervisionActive && c.supervisionLevel === 'questions';
    });
    assert.match(await textOf(page, '#student-pin-display'), /^\d{4}$/);
    await page.click('#db-pause-ni');
    await until('the AI back and the audience counter', async () => !(await config(room)).isAiPaused && (await textOf(page, '#stat-audience')) === 'Élèves');
  });

  test('the model list marks the loaded model and switches to another', async () => {
    assert.deepEqual(await page.$$eval('#model-select option', (o) => o.map((x) => x.textContent)), ['alpha-3b ✅ Actif', 'beta-7b']);
    assert.deepEqual([await visible(page, '#btn-switch-model'), await visible(page, '#model-hint')], [false, true]);
    await page.selectOption('#model-select', 'beta-7b');
    await page.click('#btn-switch-model');
    await until('the switch', async () => (await textOf(page, '#btn-switch-model')) === '✅ Chargé !');
    assert.equal(page.dialogs.at(-1), 'Charger beta-7b ? L\'IA sera indisponible pendant 10-30 secondes.');
    assert.deepEqual((await room.lm('/control/state')).loaded.map((i) => i.model), ['beta-7b']);
    await until('the new list', async () => (await textOf(page, '#model-select')).includes('beta-7b ✅ Actif'));
  });

  test('a directive is applied, refused without a "saved" message, and cancelled', async () => {
    await page.click('#nav-directive');
    await page.fill('#m', 'Tu es Socrate.');
    await page.click('text=Appliquer à la classe');
    await until('the confirmation', () => page.dialogs.at(-1) === 'Directives enregistrées !');
    await until('the mission', async () => (await config(room)).customMission === 'Tu es Socrate.');

    await page.route('**/api/mission', (route) => route.fulfill({ status: 401, body: '' }));
    await page.click('text=Appliquer à la classe');
    await until('the refusal', () => page.dialogs.at(-1) === 'Directives non enregistrées : code PIN refusé.');
    await page.unroute('**/api/mission');

    await page.click('text=Annuler les directives');
    await until('no mission', async () => (await config(room)).customMission === '' && (await page.inputValue('#m')) === '');
  });
});

describe('students, word cloud, live feed and safety', () => {
  test('a question reaches the live feed, the word cloud and the students list, names as text', async () => {
    const name = HOSTILE + 'Léa';
    await ask(room, 'Pourquoi le volcan <b>volcan</b> explose ?', name);
    await page.click('#nav-supervision');
    await until('the feed', async () => (await page.locator('.db-live').count()) === 1);
    assert.deepEqual([await textOf(page, '.db-live-name'), await textOf(page, '.db-live-text'), await textOf(page, '#live-rate')],
      [name, 'Pourquoi le volcan <b>volcan</b> explose ?', '1 question / min']);
    await until('the cloud', async () => (await page.locator('#cloud .db-word').first().getAttribute('style'))?.startsWith('font-size:min(calc(21px'));
    await until('the students', async () => (await textOf(page, '#students-list')) === name);
    assert.equal(await textOf(page, '#stat-eleves'), '1');
    assert.equal(await page.locator('img[src=x]').count(), 0);
  });

  test('a keyword alert: tag, badges, sound button, acknowledgement', async () => {
    await room.lm('/control/reply', { content: 'pas d\'avis' });  // the AI verdict keeps the alert
    await ask(room, 'je veux mourir', 'Lou');
    const block = page.locator('.db-alert');
    await block.waitFor();
    assert.deepEqual([await block.getAttribute('class'), await textOf(page, '.db-alert-tag')], ['db-alert keyword fresh', 'À vérifier']);
    assert.deepEqual([await textOf(page, '#nav-alert-badge'), await textOf(page, '#mni-alert-badge'), await textOf(page, '#alert-sound-btn')], ['1', '1', '🔔']);
    await page.click('#alert-sound-btn');
    assert.deepEqual([await textOf(page, '#alert-sound-btn'), await stored(page, 'alertSoundOn')], ['🔕', 'false']);
    await page.click('#alert-sound-btn');
    await page.click('text=✓ J\'ai pris connaissance');
    await until('the acknowledgement', async () => (await block.getAttribute('class')).includes('ack'));
    assert.deepEqual([await block.locator('button').count(), await visible(page, '#nav-alert-badge'), await visible(page, '#safety-alerts-card')], [0, false, true]);
  });

  test('an acknowledgement clicked while the periodic PIN check waits is sent all the same', async () => {
    await ask(room, 'je veux mourir', 'Noé');
    const block = page.locator('.db-alert', { hasText: 'Noé' });
    await block.locator('button').waitFor();
    // The next check of the stored PIN is held until the click has gone out.
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    let holding;
    const holdingNow = new Promise((resolve) => { holding = resolve; });
    await page.route('**/api/verify-teacher', async (route) => {
      holding();
      await held;
      await route.continue();
    });
    await holdingNow;
    const acks = count(page, '/api/ack-alert');
    await block.locator('button').click();
    await until('the acknowledgement sent', () => count(page, '/api/ack-alert') === acks + 1);
    await page.unroute('**/api/verify-teacher');
    release();
    await until('the acknowledgement', async () => (await block.getAttribute('class')).includes('ack'));
  });

  test('a confirmed alert sounds once and shows its reason as text', async () => {
    await page.evaluate(() => {
      window.beeps = 0;
      const play = window.playAlertSound;
      window.playAlertSound = () => { window.beeps++; play(); };
    });
    await room.lm('/control/reply', { content: JSON.stringify({ danger: true, motif: HOSTILE }) });
    await ask(room, 'j\'ai envie d\'en finir', 'Max');
    await until('the confirmation', () => page.locator('.db-alert.confirmed').count());
    await page.waitForTimeout(3500);  // one more round of the alerts
    assert.deepEqual([await textOf(page, '.db-alert.confirmed .db-alert-reason'), await textOf(page, '.db-alert.confirmed .db-alert-tag'),
      await page.evaluate(() => [window.beeps, window.hacked])], ['IA : ' + HOSTILE, 'Confirmée IA', [1, undefined]]);
  });

  test('the AI screening switch reaches the server; pictures for review', async () => {
    await page.click('#nav-securite');
    await page.check('#ctrl-safety-scanall');
    assert.equal(await textOf(page, '#ai-scan-badge'), 'Activée');
    await until('the screening', async () => (await config(room)).safetyAiScanAll === true);

    await page.click('#nav-cockpit');
    await screenshot(page, 'dashboard-light');
    await page.click('#nav-supervision');
    await page.click('#theme-btn-nuit');
    await screenshot(page, 'dashboard-dark');
    await page.click('#theme-btn-jour');
    await page.setViewportSize({ width: 820, height: 1000 });
    await page.click('#mni-cockpit');
    await screenshot(page, 'dashboard-820');
  });

  test('what a refresh keeps and shows: a change just pushed, a directive being typed, the last words, empty lists, the last minute\'s rate', async () => {
    const p = await dashboardPage(browser, { viewport: { width: 1280, height: 900 } });
    const now = Date.now() / 1000;
    const replies = { models: null, keywords: [{ text: 'lave', size: 1 }], students: [],
      'live-feed': [{ name: 'A', text: 'a', time: now - 10 }, { name: 'B', text: 'b', time: now - 120 }] };
    for (const route of Object.keys(replies)) {
      await p.route('**/api/' + route, (r) => r.fulfill(replies[route] ? { json: replies[route] } : { status: 503 }));
    }
    await openLoggedIn(p, room);
    await p.locator('#cloud .db-word').waitFor({ state: 'attached' });
    await p.evaluate(() => Promise.all([refreshConfig(), loadLiveFeed()]));
    assert.deepEqual(await Promise.all(['#teacher-model-display', '#students-list', '#live-rate'].map((s) => textOf(p, s))),
      ['LM Studio hors ligne', 'Aucun élève connecté pour le moment.', '1 question / min']);
    Object.assign(replies, { keywords: [], 'live-feed': [] });
    await p.evaluate(() => Promise.all([load(), loadLiveFeed()]));
    assert.deepEqual([await textOf(p, '#cloud'), await textOf(p, '#live-feed')], ['lave', 'En attente de questions…']);

    // Within 3 s of a push the server's older values do not undo it, but the pause and a typed directive follow their own rules.
    await Promise.all([p.waitForResponse((r) => r.url().endsWith('/api/admin/update')), p.selectOption('#ctrl-audience', 'enseignants')]);
    await room.api('/api/admin/update', { pin: room.teacherPin, audience: 'eleves', isAiPaused: true, safetyAiScanAll: true });
    await room.api('/api/mission', { pin: room.teacherPin, mission: 'Tu es un volcan.' });
    await p.click('#nav-directive');
    await p.fill('#m', 'Tu es Jules');
    await until('the server\'s values', async () => (await config(room)).customMission === 'Tu es un volcan.' && (await config(room)).isAiPaused);
    await p.evaluate(() => refreshConfig());
    assert.deepEqual([await p.inputValue('#ctrl-audience'), await textOf(p, '#db-status-text'), await p.inputValue('#m')], ['enseignants', 'IA en pause', 'Tu es Jules']);
    await p.evaluate(() => { window._pushConfigTs = undefined; return refreshConfig(); });
    assert.deepEqual([await p.inputValue('#ctrl-audience'), await p.isChecked('#ctrl-safety-scanall')], ['eleves', true]);
    await room.api('/api/admin/update', { pin: room.teacherPin, isAiPaused: false });
    await p.close();
  });

  test('a press on an alert\'s button and a selected question survive the refreshes of their lists', async () => {
    await page.setViewportSize({ width: 1280, height: 900 });
    await page.click('#nav-supervision');
    await ask(room, 'je veux mourir', 'Inès');
    const button = page.locator('.db-alert', { hasText: 'Inès' }).locator('button');
    await button.waitFor();
    const afterNext = async (route) => {
      await page.waitForResponse((r) => r.url().endsWith(route));
      await page.evaluate(() => new Promise((resolve) => setTimeout(resolve, 100)));
    };
    const box = await button.boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await page.mouse.down();
    await afterNext('/api/safety-alerts');
    const acks = count(page, '/api/ack-alert');
    await page.mouse.up();
    await until('the acknowledgement sent', () => count(page, '/api/ack-alert') === acks + 1);

    const selection = () => page.evaluate(() => getSelection().toString());
    await page.evaluate(() => getSelection().selectAllChildren(document.querySelector('.db-live-text')));
    const selected = await selection();
    await ask(room, 'Et les séismes ?', 'Jade');
    await until('the new question', async () => (await page.locator('.db-live-text').first().textContent()) === 'Et les séismes ?');
    await afterNext('/api/live-feed');
    assert.equal(await selection(), selected);
  });

  test('a journal switched on during the lesson shows its log in Logs without a reload', async () => {
    // The journal was switched on by the first test, after the login; questions have been logged since.
    await until('the log', async () => (await textOf(page, '#stat-logs')) === '1' && (await page.inputValue('#log-file-select')) !== '');
  });

  test('a hung PIN check stops no refresh and is sent again; a refused PIN stops the rounds until a check clears it', async () => {
    const held = [];
    await page.route('**/api/verify-teacher', (route) => { held.push(route); });
    await until('a check held', () => held.length > 0);
    const checks = count(page, '/api/verify-teacher');
    await ask(room, 'je veux mourir', 'Paul');
    await page.locator('.db-alert', { hasText: 'Paul' }).waitFor();
    await until('the check sent again', () => count(page, '/api/verify-teacher') > checks, 250);

    const right = await stored(page, 'teacherPin');
    const wrong = String((Number(right) + 1) % 10000).padStart(4, '0');
    await page.evaluate((pin) => localStorage.setItem('teacherPin', pin), wrong);
    await until('a refusal', () => page.evaluate(() => pinSuspect));
    const sent = [];
    page.on('request', (r) => { if ((r.postDataJSON() || {}).pin === wrong) sent.push(new URL(r.url()).pathname); });
    const rounds = count(page, '/api/config');
    await until('two rounds', () => count(page, '/api/config') >= rounds + 2);
    assert.deepEqual(sent.filter((p) => p !== '/api/verify-teacher'), []);

    await page.evaluate((pin) => localStorage.setItem('teacherPin', pin), right);
    await page.unroute('**/api/verify-teacher');
    await Promise.all(held.map((route) => route.abort().catch(() => {})));
    await until('the rounds back', () => page.evaluate(() => !pinSuspect));
  });

  test('on a phone: every tab in sight, the whole students\' link, words within the card, no highlight left by a tap', async () => {
    const phone = await dashboardPage(browser, { viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true });
    await phone.route('**/api/keywords', (route) => route.fulfill({ json: [{ text: 'anticonstitutionnellement', size: 12 }, { text: 'lave', size: 1 }] }));
    await openLoggedIn(phone, room);
    const rights = await phone.$$eval('.db-tab', (tabs) => tabs.filter((t) => t.offsetParent).map((t) => t.getBoundingClientRect().right));
    assert.deepEqual([rights.length, rights.filter((r) => r > 390)], [8, []]);
    assert.ok(await phone.$eval('#student-link', (link) => link.scrollWidth <= link.clientWidth));
    await phone.tap('#tab-nuage');
    await phone.locator('.db-word').first().waitFor();
    assert.ok(await phone.$eval('#cloud', (cloud) => [...cloud.children].every((w) => w.getBoundingClientRect().right <= cloud.getBoundingClientRect().right + 0.5 &&
      w.getClientRects().length === 1 && w.offsetHeight < 2 * parseFloat(getComputedStyle(w).fontSize))));  // whole, on one line
    const look = (id) => phone.$eval(id, (e) => getComputedStyle(e).backgroundColor);
    const plain = await look('#mni-securite');
    await phone.tap('#mni-eleves');
    await phone.evaluate(() => showSection('cockpit'));
    assert.equal(await look('#mni-eleves'), plain);
    await phone.close();
  });

  // Last: the page ends on its login screen.
  test('an acknowledgement refused for its PIN sends that PIN only to the check', async () => {
    await ask(room, 'je veux mourir', 'Zoé');
    await page.click('#nav-supervision');
    const button = page.locator('.db-alert', { hasText: 'Zoé' }).locator('button');
    await button.waitFor();
    const wrong = String((Number(await stored(page, 'teacherPin')) + 1) % 10000).padStart(4, '0');
    const sent = [];
    page.on('request', (r) => {
      if (r.method() === 'POST' && (r.postDataJSON() || {}).pin === wrong) sent.push(new URL(r.url()).pathname);
    });
    await page.evaluate((pin) => localStorage.setItem('teacherPin', pin), wrong);
    await button.click();
    await until('the login screen', () => visible(page, '#teacher-pin-overlay'));
    // The timers' rounds wait for the check; nothing else may follow the refusal.
    assert.deepEqual(sent, ['/api/ack-alert', '/api/verify-teacher']);
  });
});
