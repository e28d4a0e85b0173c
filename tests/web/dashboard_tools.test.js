// Teacher dashboard: log analysis, generation parameters and the booking agenda, in chromium
// against the test server and the fake LM Studio.
import assert from 'node:assert/strict';
import { mkdir, readFile, writeFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { openBrowser, screenshot, startClassroom } from './harness.js';

const markedFile = createRequire(import.meta.url).resolve('marked/marked.min.js');
const sse = (...pieces) => pieces.map((p) => `data: ${JSON.stringify({ choices: [{ delta: { content: p } }] })}\n\n`)
  .join('') + 'data: [DONE]\n\n';

let browser;
const pageErrors = [];
before(async () => { browser = await openBrowser(); });
after(async () => { await browser?.close(); assert.deepEqual(pageErrors, []); });

// A page of its own whose requests to the Markdown renderer's CDN get the npm package's file,
// or fail as on a school network without internet access.
async function openPage(options = {}, { marked = true } = {}) {
  const page = await browser.newPage({ timezoneId: 'Europe/Paris', ...options });
  await page.route('https://cdn.jsdelivr.net/**', async (route) => (marked
    ? route.fulfill({ body: await readFile(markedFile), contentType: 'application/javascript', headers: { 'Access-Control-Allow-Origin': '*' } })
    : route.abort()));
  Object.assign(page, { sent: [], dialogs: [] });
  page.on('request', (r) => page.sent.push({ path: new URL(r.url()).pathname, body: r.postDataJSON?.() }));
  page.on('dialog', (d) => { page.dialogs.push(d.message()); d.accept(); });
  page.on('pageerror', (e) => pageErrors.push(e));
  return page;
}
const bodies = (page, route) => page.sent.filter((r) => r.path === route).map((r) => r.body);

describe('logs and their analysis, individual mode', () => {
  let room;
  const logs = () => path.join(room.home, 'Documents', 'Klarion_Logs');
  before(async () => { room = await startClassroom(); await mkdir(logs(), { recursive: true }); });
  after(async () => room?.stop());

  async function openLogs(options) {
    const page = await openPage({}, options);
    await page.goto(room.url('/teacher#pin=' + room.teacherPin));
    await page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
    await page.click('#nav-logs');
    await page.locator('#log-file-select option[value="2026-12-01.txt"]').waitFor({ state: 'attached' });
    return page;
  }

  async function analyze(page, file) {
    await page.selectOption('#log-file-select', file);
    // The notices shown, and whether the box was ever left blank while the analysis ran.
    await page.evaluate(() => new MutationObserver((changes) => changes.forEach((c) => {
      c.addedNodes.forEach((n) => window.notices.push(n.textContent));
      if (document.getElementById('analysis-result').textContent === '') window.blank = true;
    })).observe(document.getElementById('analysis-result'), { childList: true }, window.notices = []));
    await page.click('#btn-analyze');
    await page.waitForFunction(() => window.notices.length > 0 && !document.getElementById('btn-analyze').disabled);
    return page.evaluate(() => window.notices.filter((t) => t.startsWith('⏳')));
  }

  test('a long log: condensed, three pieces one after another, then the synthesis without its reasoning', async () => {
    const entry = (i) => `[10:${String(Math.floor(i / 60)).padStart(2, '0')}:${String(i % 60).padStart(2, '0')}] Question (Élève ${i % 7}): ` +
      'Pourquoi le ciel est-il bleu 🌍 ? '.repeat(3).trim();
    const raw = ['[09:00:00] Question (Alice): Bonjour <b>toi</b>', '[09:00:02] Réponse IA (Alice): Voici un plan :',
      '1. introduction', '   2. développement  ', '', '3. conclusion &lt;think&gt;caché', '&lt;/THINK&gt; et fin',
      ...Array.from({ length: 250 }, (_, i) => entry(i))];
    const condensed = [raw[0], raw[1], '  → [Réponse IA résumée] 1. introduction 2. développement 3. conclusion  et fin...',
      ...raw.slice(7)].join('\n');
    await writeFile(path.join(logs(), '2026-12-01.txt'), raw.join('\n') + '\n');
    const stream = sse('<think>Je ré', 'fléchis…</think>', '**Alice** : stratégie précise 🎯');
    const bytes = Buffer.from(stream);
    const inLetter = bytes.indexOf(Buffer.from('é')) + 1;
    const inLine = bytes.indexOf(Buffer.from('data:'), 10) + 3;
    await room.lm('/control/reply', { rawStream: stream, cuts: [inLetter, inLine - inLetter, bytes.length], gapMs: 20 });
    await room.lm('/control/clear', {});

    const page = await openLogs();
    assert.equal(await page.textContent('#stat-logs'), '1');
    assert.deepEqual(await analyze(page, '2026-12-01.txt'), ['⏳ Extraction en cours...', '⏳ Log volumineux, analyse en plusieurs étapes...',
      '⏳ Analyse partie 1/3...', '⏳ Analyse partie 2/3...', '⏳ Analyse partie 3/3...', '⏳ Synthèse finale...']);
    assert.equal(await page.evaluate(() => window.blank), undefined);  // the last "⏳" line stays while the model reasons
    const chats = bodies(page, '/api/chat');
    assert.equal(chats.length, 4);
    const pieces = chats.slice(0, 3).map((c) => c.userMessage);
    assert.equal(pieces.join(''), condensed);
    assert.deepEqual(pieces.map((p) => Array.from(p).length), [12000, 12000, Array.from(condensed).length - 24000]);
    const answer = '**Alice** : stratégie précise 🎯';
    assert.equal(chats[3].userMessage, [1, 2, 3].map((n) => `--- Partie ${n} ---\n${answer}`).join('\n\n'));
    for (const c of chats) assert.deepEqual([c.history, c.pin], [[], room.teacherPin]);
    assert.equal(new Set(chats.slice(0, 3).map((c) => c.systemOverride)).size, 1);
    assert.notEqual(chats[3].systemOverride, chats[0].systemOverride);
    const relayed = (await room.lm('/control/requests')).filter((r) => r.path === '/v1/chat/completions')
      .map((r) => JSON.parse(r.body).messages[0].content);
    assert.deepEqual(relayed, chats.map((c) => c.systemOverride));

    assert.equal(await page.innerText('#analysis-result'), 'Alice : stratégie précise 🎯');
    assert.equal(await page.textContent('#analysis-result strong'), 'Alice');
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#btn-export')]);
    assert.match(download.suggestedFilename(), /^Analyse_Klarion_\d{4}-\d{2}-\d{2}\.txt$/);
    assert.equal(await readFile(await download.path(), 'utf8'), answer);
    assert.ok(await page.isHidden('#nav-agenda') && await page.isHidden('#tab-agenda'));
    assert.equal(bodies(page, '/api/schedule').length, 0);
  });

  test('a synthesis holding HTML shows it as text, with the renderer and with the offline one', async () => {
    const log = '[14:02:10] Question (Inès): Comment réviser le brevet ?\n';
    await writeFile(path.join(logs(), '2026-12-02.txt'), log);
    await room.lm('/control/reply', { rawStream: sse('## Synthèse\n\n**Inès** — questions précises, relance après chaque réponse.\n\n',
      '- autonomie : bonne\n- dépendance à l\'IA : faible\n\n<img src=x onerror="window.hacked=1"><b>gras</b> ',
      '[voir](javascript:window.hacked=2) `code` ![p](http://evil.example/p.png)'), gapMs: 300 });
    for (const marked of [true, false]) {
      const page = await openLogs({ marked });
      const outside = [];
      await page.route('http://evil.example/**', (route) => { outside.push(route.request().url()); route.abort(); });
      assert.deepEqual(await analyze(page, '2026-12-02.txt'), ['⏳ Extraction en cours...']);
      assert.deepEqual([outside, await page.evaluate(() => window.blank)], [[], undefined]);
      assert.equal(bodies(page, '/api/chat')[0].userMessage, log.trim());
      assert.equal(await page.evaluate(() => typeof window.marked), marked ? 'object' : 'undefined');
      const box = page.locator('#analysis-result');
      assert.equal(await box.locator('h2').textContent(), 'Synthèse');
      assert.equal(await box.locator('li').count(), 2);
      assert.equal(await box.locator('img, b, a:not([href="http://evil.example/p.png"])').count(), 0);
      assert.match(await box.innerText(), /<img src=x onerror="window.hacked=1"><b>gras<\/b> \S*voir\S* code \S*p\S*$/);
      assert.equal(await page.evaluate(() => window.hacked), undefined);
      assert.ok(await page.isVisible('#btn-export'));
      if (marked) {
        await screenshot(page, 'dashboard-logs');
        await page.setViewportSize({ width: 390, height: 844 });
        await screenshot(page, 'dashboard-logs-narrow');
        await page.click('#context-help-link');
        assert.ok(await page.isVisible('#context-help-modal img[src="/context_help.png"]'));
        await page.click('#context-help-modal');
        assert.ok(await page.isHidden('#context-help-modal'));
        const [download] = await Promise.all([page.waitForEvent('download'), page.click('#btn-download-log')]);
        assert.equal(download.suggestedFilename(), '2026-12-02.txt');
        assert.equal(await readFile(await download.path(), 'utf8'), log);
      }
      }
  });

  test('an LM Studio failure during an analysis is said as such; neither it nor a synthesis of 10 characters offers an export', async () => {
    const failed = '❌ LM Studio n\'a pas répondu (serveur IA inaccessible ou en erreur) : l\'analyse n\'a pas abouti. Vérifiez LM Studio, puis relancez l\'analyse.';
    for (const [control, body, shown] of [['/control/faults', { path: '/v1/chat/completions', action: 'status', status: 500, body: '{}' }, failed],
      ['/control/reply', { pieces: ['Dix lettre'] }, 'Dix lettre']]) {
      await room.lm(control, body);
      const page = await openLogs();
      await analyze(page, '2026-12-02.txt');
      assert.deepEqual([(await page.textContent('#analysis-result')).trim(), await page.isVisible('#btn-export')], [shown, false]);
    }
  });

  test('generation parameters: each preset sent at once, reset sends nothing, values clamped by the server read back', async () => {
    const page = await openLogs();
    await page.click('#nav-expert');
    const presets = {
      factuel: [0.1, 0.9, 0, 0, true, 1337, false, '', 1.1], standard: [0.7, 0.9, 0, 0, false, 42, false, '', 1.1],
      creatif: [1.4, 0.95, 0.3, 0, false, 42, false, '', 1.0], hallucinatoire: [1.9, 1.0, 0, 0, false, 42, true, 'Tu es un encyclopédiste', 1.0],
      repetitif: [0.7, 0.9, -2, -2, false, 42, true, '', 1.0], deterministe: [0, 1.0, 0, 0, true, 42, false, '', 1.1] };
    const keys = ['temperature', 'topP', 'freqPenalty', 'presPenalty', 'useSeed', 'seedValue', 'constraintsDisabled', 'expertDirective', 'repeatPenalty'];
    for (const [name, values] of Object.entries(presets)) {
      const sent = page.waitForRequest((r) => r.url().endsWith('/api/gen-params'));
      await page.click(`.preset-btn[data-preset="${name}"]`);
      const { expertDirective, ...body } = (await sent).postDataJSON();
      const expected = Object.fromEntries(keys.map((k, i) => [k, values[i]]));
      assert.ok(expertDirective.startsWith(expected.expertDirective), name);
      delete expected.expertDirective;
      assert.deepEqual(body, { pin: room.teacherPin, maxTokens: 4096, ...expected }, name);
      assert.deepEqual(await page.$$eval('.preset-btn.active', (b) => b.map((x) => x.dataset.preset)), [name]);
      if (name === 'hallucinatoire') {
        await page.waitForFunction(() => document.getElementById('gen-params-status').textContent.startsWith('✅ Mode exploration'));
        assert.ok(await page.isVisible('#expert-directive-block'));
        await page.setViewportSize({ width: 1280, height: 1300 });
        await screenshot(page, 'dashboard-expert');
        await page.click('#theme-btn-nuit');
        await screenshot(page, 'dashboard-expert-dark');
      }
    }
    const count = bodies(page, '/api/gen-params').length;
    await page.click('#btn-reset-gen-params');
    assert.equal(await page.textContent('#ep-temperature-val'), '0.70');
    assert.equal(bodies(page, '/api/gen-params').length, count);

    await room.api('/api/gen-params', { pin: room.teacherPin, temperature: 5, topP: 0, freqPenalty: -9, presPenalty: 9, maxTokens: 99999,
      useSeed: false, seedValue: 0, constraintsDisabled: false, expertDirective: '', repeatPenalty: 0.1 });
    await page.reload();
    await page.click('#nav-expert');
    await page.waitForFunction(() => document.getElementById('ep-max-tokens-val').textContent === '8192');
    assert.deepEqual(await page.$$eval('.ep-val', (v) => v.map((x) => x.textContent)), ['2.00', '0.01', '-2.0', '2.0', '8192', '0.50']);
    assert.ok(await page.isDisabled('#ep-seed-value') && await page.isDisabled('#ep-seed-dice'));
    const sent = page.waitForRequest((r) => r.url().endsWith('/api/gen-params'));
    await page.click('#btn-apply-gen-params');
    assert.deepEqual((await sent).postDataJSON(), { pin: room.teacherPin, temperature: 2, topP: 0.01, freqPenalty: -2, presPenalty: 2,
      maxTokens: 8192, useSeed: false, seedValue: 42, constraintsDisabled: false, expertDirective: '', repeatPenalty: 0.5 });
    await page.waitForFunction(() => document.getElementById('btn-apply-gen-params').textContent === '💾 Appliquer à la classe');

    // The seed field: what is out of range or not whole is refused in words; the field shows what the class got.
    await page.check('#ep-use-seed');
    for (const [typed, seed] of [['-5'], ['99999999999'], ['1e20'], ['3.7'], ['', 42], ['0', 42], ['1e3', 1000], ['007', 7]]) {
      const sent = bodies(page, '/api/gen-params').length;
      await page.fill('#ep-seed-value', typed);
      await page.click('#btn-apply-gen-params');
      if (seed === undefined) {
        assert.deepEqual([await page.textContent('#gen-params-status'), bodies(page, '/api/gen-params').length],
          ['❌ Graine refusée : un nombre entier de 0 à 99 999 999.', sent], typed);
      } else {
        await page.waitForFunction((s) => document.getElementById('ep-seed-value').value === s, String(seed));
        assert.equal(bodies(page, '/api/gen-params').at(-1).seedValue, seed, typed);
      }
    }
  });
});

describe('agenda, establishment mode', () => {
  const teachers = [{ id: 'T-ANNE', name: 'Anne', pin: '123456', createdAt: '2026-09-01' },
    { id: 'T-BRUNO', name: 'Bruno <i>B.</i>', pin: '654321', createdAt: '2026-09-01' }];
  const slots = [['Matin 1', '08:00', '09:45'], ['Matin 2', '10:05', '11:45'], ['AM 1', '13:15', '15:00']]
    .map(([label, start, end]) => ({ label, start, end }));
  let room;
  before(async () => {
    room = await startClassroom({ prepare: async (home) => {
      const folder = path.join(home, 'Documents', 'Klarion_Config');
      await mkdir(folder, { recursive: true });
      await writeFile(path.join(folder, 'mode.json'), JSON.stringify({ mode: 'establishment' }));
      await writeFile(path.join(folder, 'teachers.json'), JSON.stringify(teachers));
      await writeFile(path.join(folder, 'schedule.json'), JSON.stringify({ slotDefinitions: slots,
        reservations: { '2026-W53_wednesday_1': 'T-BRUNO' } }));
    } });
  });
  after(async () => room?.stop());

  const grid = (page) => page.$$eval('.agenda-grid tr', (rows) => rows.map((r) => [...r.cells].map((c) => c.innerText.replace(/\n/g, ' '))));
  // Shows a week (after a click on `button`, when given) and waits for its grid, whose Monday is `monday`.
  async function week(page, button, label, monday) {
    if (button) await page.click(button);
    await page.waitForFunction(([l, m]) => document.getElementById('week-label').textContent === l &&
      document.querySelector('.agenda-grid th:nth-child(2) small')?.textContent === m, [label, monday]);
  }

  test('ISO weeks on a fixed clock, booking and freeing, another teacher\'s booking refused', async () => {
    const page = await openPage();
    await page.clock.setFixedTime(new Date('2027-01-01T10:00:00+01:00'));
    await page.goto(room.url('/teacher'));
    await page.locator('#teacher-select option[value="T-ANNE"]').waitFor({ state: 'attached' });
    await page.selectOption('#teacher-select', 'T-ANNE');
    await page.fill('#t-pin-6', '123456');
    await page.click('#btn-login');
    await page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
    await page.click('#nav-agenda');
    await week(page, null, 'Semaine 2026-W53', '28/12');
    const weeks = await page.evaluate(() => ['2027-01-01', '2027-01-03', '2027-01-04', '2025-12-29', '2026-01-01', '2020-12-31', '2021-01-10']
      .map((d) => getISOWeek(new Date(d + 'T12:00:00'))));
    assert.deepEqual(weeks, ['2026-W53', '2026-W53', '2027-W01', '2026-W01', '2026-W01', '2020-W53', '2021-W01']);
    assert.deepEqual(await grid(page), [
      ['', 'Lundi 28/12', 'Mardi 29/12', 'Mercredi 30/12', 'Jeudi 31/12', 'Vendredi 01/01'],
      ['Matin 1 08:00-09:45', '—', '—', '—', '—', '—'],
      ['Matin 2 10:05-11:45', '—', '—', 'Bruno <i>B.</i>', '—', '—'],
      ['AM 1 13:15-15:00', '—', '—', '—', '—', '—']]);
    assert.deepEqual(await page.$$eval('.agenda-grid th.today', (t) => t.map((x) => x.cellIndex)), [5]);

    const cell = (day, slot) => `.agenda-grid tbody tr:nth-child(${slot + 1}) td:nth-child(${day + 2})`;
    await page.click(cell(4, 0));
    await page.locator(cell(4, 0) + '.mine').waitFor();
    assert.equal(await page.textContent(cell(4, 0)), '✓ Moi');
    await screenshot(page, 'dashboard-agenda');
    await page.click(cell(4, 0));
    await page.locator(cell(4, 0) + '.free').waitFor();
    await Promise.all([page.waitForEvent('dialog'), page.click(cell(2, 1))]);
    assert.deepEqual(bodies(page, '/api/reserve-slot').map(({ pin, ...b }) => [pin, Object.values(b).join(' ')]), [
      ['123456', '2026-W53 4 0 reserve'], ['123456', '2026-W53 4 0 unreserve'], ['123456', '2026-W53 2 1 reserve']]);
    await page.waitForFunction(() => document.querySelectorAll('.agenda-grid td.taken').length === 1);
    assert.match(page.dialogs.join('|'), /^Créneau déjà réservé par Bruno <i>B\.<\/i>\.?$/);

    await week(page, '#btn-week-next', 'Semaine 2027-W01', '04/01');
    assert.equal(await page.locator('.agenda-grid th.today').count(), 0);
    assert.deepEqual(await page.$$eval('.agenda-grid tbody td', (c) => c.map((x) => x.className)), Array(15).fill('free'));
    await week(page, '#btn-week-prev', 'Semaine 2026-W53', '28/12');
    await week(page, '#btn-week-prev', 'Semaine 2026-W52', '21/12');
    await page.clock.setFixedTime(new Date('2027-01-03T18:00:00+01:00'));
    await week(page, '#btn-week-today', 'Semaine 2026-W53', '28/12');
    assert.deepEqual(bodies(page, '/api/schedule').map((b) => b.week).slice(-4), ['2027-W01', '2026-W53', '2026-W52', '2026-W53']);
  });
});
