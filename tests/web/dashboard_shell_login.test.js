// Teacher dashboard: the frame (theme, text size, navigation, layouts) and the login in the
// individual mode with the refreshes it starts.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import { classroomForFile, count, dashboardPage, openLoggedIn, stored, textOf, until, visible } from './dashboard_helpers.js';

let room;
let browser;
classroomForFile({}, (r, b) => { room = r; browser = b; });

const wrongPin = () => String((Number(room.teacherPin) + 1) % 10000).padStart(4, '0');

describe('shell', () => {
  test('night theme and large text survive a reload, also on the login screen', async () => {
    const page = await dashboardPage(browser);
    const look = () => page.evaluate(() => [document.documentElement.dataset.theme, document.documentElement.dataset.fontsize,
      ...[...document.querySelectorAll('.db-pair .active')].map((b) => b.id)]);
    await openLoggedIn(page, room);
    assert.deepEqual(await look(), ['light', 'normal', 'theme-btn-jour', 'font-btn-minus']);
    await page.click('#theme-btn-nuit');
    await page.click('#font-btn-plus');
    await page.evaluate(() => localStorage.removeItem('teacherPin'));
    await page.reload();
    assert.ok(await visible(page, '#t-pin'));
    assert.deepEqual(await look(), ['dark', 'large', 'theme-btn-nuit', 'font-btn-plus']);
    await page.close();
  });

  test('the navigations mark the shown section, Directive in violet; sidebar wide, tabs and bottom bar at 820 px', async () => {
    const page = await dashboardPage(browser, { viewport: { width: 1280, height: 800 } });
    await openLoggedIn(page, room);
    const state = () => page.evaluate(() => [...document.querySelectorAll('[id^=nav-],[id^=tab-],[id^=mni-],.db-sec')]
      .filter((e) => e.matches('.active,.dir-active') || (e.matches('.db-sec') && e.style.display === 'block'))
      .map((e) => e.id + (e.matches('.dir-active') ? ' violet' : '')));
    const layout = async () => Promise.all(['.db-side', '.db-tabs', '.db-bottom'].map((s) => visible(page, s)));
    assert.deepEqual(await layout(), [true, false, false]);
    await page.click('#nav-directive');
    assert.deepEqual(await state(), ['nav-directive violet', 'tab-directive violet', 'sec-directive', 'mni-directive violet']);
    await page.setViewportSize({ width: 820, height: 800 });
    assert.deepEqual(await layout(), [false, true, true]);
    assert.deepEqual(await page.$$eval('.db-bottom .db-ni', (e) => e.map((x) => x.textContent)),
      ['Cockpit', 'Directive', 'Élèves', 'Supervis.', 'Sécurité', 'Logs']);
    await page.click('#tab-nuage');
    assert.deepEqual(await state(), ['nav-nuage', 'tab-nuage', 'sec-nuage']);
    assert.equal(await visible(page, '#tab-agenda'), false);  // establishment mode only
    await page.close();
  });
});

describe('login, individual mode', () => {
  test('a PIN in the address logs in and leaves the address; a wrong one waits silently', async () => {
    for (const [address, opens, checks] of [[`#pin=${room.teacherPin}`, true, 1], [`?pin=${room.teacherPin}`, true, 1],
      [`#pin=${wrongPin()}`, false, 1], [`#pin=${room.teacherPin}9`, false, 0]]) {
      const page = await dashboardPage(browser);
      const answered = checks && page.waitForResponse((r) => r.url().endsWith('/api/verify-teacher'));
      await page.goto(room.url('/teacher' + address));
      await answered;
      await (opens ? page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' }) : page.waitForLoadState('networkidle'));
      const url = new URL(page.url());
      assert.deepEqual([url.pathname + url.search + url.hash, await stored(page, 'teacherPin'), await visible(page, '#t-pin'),
        Math.min(count(page, '/api/verify-teacher'), 1), page.dialogs], ['/teacher', opens ? room.teacherPin : null, !opens, checks, []], address);
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
    assert.deepEqual([page.dialogs, count(page, '/api/verify-teacher'), await page.inputValue('#t-pin')], [['Code PIN incorrect.'], 1, '']);
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
    // Every 5 s: configuration, login check, students, words; every 4 s the feed; every 3 s the alerts.
    for (const [route, low, high] of [['config', 2, 3], ['verify-teacher', 2, 3], ['students', 2, 3], ['keywords', 2, 3],
      ['live-feed', 2, 4], ['safety-alerts', 3, 5], ['models', 0, 1]]) {
      const seen = count(page, '/api/' + route);
      assert.ok(seen >= low && seen <= high, `${route}: ${seen}`);
    }
    assert.equal(await textOf(page, '#teacher-model-display'), 'qwen2.5-7b-instruct');
    await page.close();
  });
});
