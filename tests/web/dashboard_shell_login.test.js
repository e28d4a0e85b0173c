// Teacher dashboard: the frame (theme, text size, navigation, layouts) and the login in the
// individual mode with the refreshes it starts.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { openBrowser, startClassroom } from './harness.js';
import { count, dashboardPage, openLoggedIn, stored, textOf, until, visible } from './dashboard_helpers.js';

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

const wrongPin = () => String((Number(room.teacherPin) + 1) % 10000).padStart(4, '0');
const rootLook = (page) => page.evaluate(() =>
  [document.documentElement.dataset.theme, document.documentElement.dataset.fontsize,
    ...[...document.querySelectorAll('.db-pair .active')].map((b) => b.id)]);

describe('shell', () => {
  test('night theme and large text survive a reload, also on the login screen', async () => {
    const page = await dashboardPage(browser);
    await openLoggedIn(page, room);
    assert.deepEqual(await rootLook(page), ['light', 'normal', 'theme-btn-jour', 'font-btn-minus']);
    await page.click('#theme-btn-nuit');
    await page.click('#font-btn-plus');
    await page.evaluate(() => localStorage.removeItem('teacherPin'));
    await page.reload();
    assert.ok(await visible(page, '#t-pin'));
    assert.deepEqual(await rootLook(page), ['dark', 'large', 'theme-btn-nuit', 'font-btn-plus']);
    await page.close();
  });

  test('the three navigations mark the shown section; Directive in violet only', async () => {
    const page = await dashboardPage(browser);
    await openLoggedIn(page, room);
    const marks = () => page.evaluate(() => [...document.querySelectorAll('[id^=nav-],[id^=tab-],[id^=mni-]')]
      .filter((e) => e.classList.contains('active') || e.classList.contains('dir-active'))
      .map((e) => e.id + ' ' + [...e.classList].filter((c) => c.endsWith('active')).join()));
    const shown = () => page.evaluate(() => [...document.querySelectorAll('.db-sec')]
      .filter((s) => s.offsetParent !== null).map((s) => s.id));
    assert.deepEqual(await marks(), ['nav-cockpit active', 'tab-cockpit active', 'mni-cockpit active']);
    await page.click('#nav-directive');
    assert.deepEqual(await marks(), ['nav-directive dir-active', 'tab-directive dir-active', 'mni-directive dir-active']);
    assert.deepEqual(await shown(), ['sec-directive']);
    await page.click('#nav-nuage');
    assert.deepEqual(await marks(), ['nav-nuage active', 'tab-nuage active']);
    assert.deepEqual(await shown(), ['sec-nuage']);
    await page.close();
  });

  test('wide windows have the sidebar; 820 px the top tabs and a six-entry bottom bar', async () => {
    const page = await dashboardPage(browser, { viewport: { width: 1280, height: 800 } });
    await openLoggedIn(page, room);
    const layout = async () => [await visible(page, '.db-side'), await visible(page, '.db-tabs'), await visible(page, '.db-bottom')];
    assert.deepEqual(await layout(), [true, false, false]);
    await page.setViewportSize({ width: 820, height: 800 });
    assert.deepEqual(await layout(), [false, true, true]);
    assert.deepEqual(await page.$$eval('.db-bottom .db-ni', (e) => e.map((x) => x.id + ' ' + x.textContent)),
      ['mni-cockpit Cockpit', 'mni-directive Directive', 'mni-eleves Élèves', 'mni-supervision Supervis.',
        'mni-securite Sécurité', 'mni-logs Logs']);
    await page.click('#tab-expert');
    assert.equal(await page.$eval('#sec-expert', (s) => s.style.display), 'block');
    assert.equal(await visible(page, '#tab-agenda'), false);  // establishment mode only
    await page.close();
  });
});

describe('login, individual mode', () => {
  test('a PIN in the address logs in and leaves the address; a wrong one waits silently', async () => {
    const cases = [
      { address: () => '#pin=' + room.teacherPin, opens: true, kept: () => room.teacherPin, checks: 1 },
      { address: () => '?pin=' + room.teacherPin, opens: true, kept: () => room.teacherPin, checks: 1 },
      { address: () => '#pin=' + wrongPin(), opens: false, kept: () => null, checks: 1 },
      { address: () => '#pin=' + room.teacherPin + '9', opens: false, kept: () => null, checks: 0 },
    ];
    for (const c of cases) {
      const page = await dashboardPage(browser);
      const answered = c.checks ? page.waitForResponse((r) => r.url().endsWith('/api/verify-teacher')) : null;
      await page.goto(room.url('/teacher' + c.address()));
      await answered;
      if (c.opens) await page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
      else await page.waitForLoadState('networkidle');
      const label = c.address();
      assert.equal(await visible(page, '#teacher-pin-overlay'), !c.opens, label);
      assert.equal(new URL(page.url()).pathname + new URL(page.url()).search + new URL(page.url()).hash, '/teacher', label);
      assert.equal(await stored(page, 'teacherPin'), c.kept(), label);
      assert.equal(Math.min(count(page, '/api/verify-teacher'), 1), c.checks, label);
      assert.deepEqual(page.dialogs, [], label);
      await page.close();
    }
  });

  test('a typed PIN: three digits send nothing, a wrong one is refused, the right one opens', async () => {
    const page = await dashboardPage(browser);
    await page.goto(room.url('/teacher'));
    await page.fill('#t-pin', '123');
    await page.press('#t-pin', 'Enter');
    await page.fill('#t-pin', wrongPin());
    await page.click('text=Déverrouiller');
    await until('the refusal', () => page.dialogs.length);
    assert.deepEqual(page.dialogs, ['Code PIN incorrect.']);
    assert.equal(count(page, '/api/verify-teacher'), 1);
    assert.equal(await page.inputValue('#t-pin'), '');
    await page.fill('#t-pin', room.teacherPin);
    await page.press('#t-pin', 'Enter');
    await page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
    assert.equal(await stored(page, 'teacherPin'), room.teacherPin);
    await page.close();
  });

  test('the refreshes over 12 s, started once even when the login succeeds twice', async () => {
    const page = await dashboardPage(browser);
    await openLoggedIn(page, room);
    await page.evaluate(() => onLoginSuccess());
    page.paths.length = 0;
    await page.waitForTimeout(12000);
    const seen = Object.fromEntries(['config', 'verify-teacher', 'students', 'keywords', 'live-feed', 'safety-alerts']
      .map((r) => [r, count(page, '/api/' + r)]));
    // Every 5 s: configuration, login check, students, words; every 4 s the feed; every 3 s the alerts.
    for (const [route, [low, high]] of Object.entries({
      config: [2, 3], 'verify-teacher': [2, 3], students: [2, 3], keywords: [2, 3], 'live-feed': [3, 4], 'safety-alerts': [4, 5],
    })) {
      assert.ok(seen[route] >= low && seen[route] <= high, `${route}: ${seen[route]}`);
    }
    assert.ok(count(page, '/api/models') <= 1);
    assert.equal(await textOf(page, '#teacher-model-display'), 'qwen2.5-7b-instruct');
    await page.close();
  });
});
