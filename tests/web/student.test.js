// The student page in chromium, against the test server and the fake LM Studio.
import assert from 'node:assert/strict';
import { after, before, beforeEach, test } from 'node:test';
import { HOSTS, openBrowser, screenshot, startClassroom } from './harness.js';

let room;
let browser;
before(async () => { [room, browser] = await Promise.all([startClassroom(), openBrowser()]); });
beforeEach(() => setClass({ requiresPin: false, audience: 'visiteurs', isSupervisionActive: false, isAiPaused: false }));
after(async () => Promise.all([browser?.close(), room?.stop()]));

const sse = (...pieces) => pieces.map((p) => `data: ${JSON.stringify({ choices: [{ delta: { content: p } }] })}\n\n`)
  .join('') + 'data: [DONE]\n\n';

// Resolves to the first value of check() that is truthy, asking at most 100 times.
async function waitFor(check, what) {
  for (let i = 0; i < 100; i++) {
    const value = await check();
    if (value) return value;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`still waiting for ${what}`);
}

// Changes the class through the teacher's route and waits until "/api/config" shows it.
async function setClass(changes) {
  const reply = await room.api('/api/admin/update', { pin: room.teacherPin, ...changes });
  await waitFor(async () => {
    const config = await room.api('/api/config');
    return Object.entries(changes).every(([k, v]) => config[k] === v);
  }, 'the class');
  return reply.studentPinCode;
}

async function openStudent(options = {}, host = HOSTS[0]) {
  const page = await browser.newPage(options);
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e));
  page.on('dialog', (d) => { page.errors.push(new Error(`dialog ${d.message()}`)); d.dismiss(); });
  await page.goto(room.url('/', host));
  await page.waitForSelector('body.ready');
  return page;
}

// Sends a question; resolves to the new answer's text and the bodies of the requests it made.
async function ask(page, text) {
  const bots = await page.locator('.msg.bot').count();
  const log = page.waitForRequest((r) => r.url().endsWith('/api/log'));
  const chat = page.waitForRequest((r) => r.url().endsWith('/api/chat'));
  await page.fill('#message', text);
  await page.press('#message', 'Enter');
  await page.locator('.msg.bot').nth(bots).locator('.typing').waitFor({ state: 'detached' });
  await page.waitForSelector('#send-btn:not([disabled])');
  const answer = await page.locator('.msg.bot').nth(bots).innerText();
  return { answer, log: (await log).postDataJSON(), chat: (await chat).postDataJSON() };
}

test('a fresh class: question logged and sent, answer cut in three chunks shown whole and logged', async () => {
  const raw = sse('**Bonjour** ! ', "L'été est là 🌞");
  const bytes = Buffer.from(raw);
  const cut1 = bytes.indexOf(Buffer.from('é')) + 1;       // inside a two-byte letter
  const cut2 = bytes.indexOf(Buffer.from('data:'), 20) + 3;  // inside the second line
  await room.lm('/control/reply', { rawStream: raw, cuts: [cut1, cut2 - cut1, bytes.length], gapMs: 40 });
  const page = await openStudent();
  assert.equal(await page.evaluate(() => window.isSecureContext), false);
  const answerLogged = page.waitForRequest((r) => r.url().endsWith('/api/log') && r.postDataJSON().type === 'answer');
  const first = await ask(page, 'Bonjour');
  assert.deepEqual(first.log, { type: 'question', text: 'Bonjour' });
  assert.deepEqual(first.chat, { userMessage: 'Bonjour', history: [] });
  assert.equal(first.answer, "Bonjour ! L'été est là 🌞");
  assert.equal(await page.locator('.msg.bot strong').last().innerText(), 'Bonjour');
  assert.deepEqual((await answerLogged).postDataJSON(), { type: 'answer', text: "**Bonjour** ! L'été est là 🌞" });

  await room.lm('/control/reply', {
    rawStream: sse('Voici :\n\n1. **un**\n2. `deux`\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n```\ncode <b>\n```'),
  });
  const second = await ask(page, 'Et ensuite ?');
  assert.deepEqual(second.chat.history, [
    { role: 'user', content: 'Bonjour' }, { role: 'assistant', content: "**Bonjour** ! L'été est là 🌞" }]);
  assert.equal(await page.locator('.msg.bot').last().locator('ol li, td, pre').count(), 5);
  await screenshot(page, 'student-light');
  await page.click('#theme-btn');
  await screenshot(page, 'student-dark');
  await page.reload();
  assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'dark');
  await room.lm('/control/reply', { rawStream: sse('La **photosynthèse** : la plante capte la lumière et fabrique',
    ' du sucre à partir :\n\n- du CO₂ de l’air ;\n- de l’eau du sol.\n\nElle rejette du **dioxygène**.') });
  const phone = await openStudent({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true });
  await ask(phone, 'Peux-tu m’expliquer la photosynthèse en quelques lignes ?');
  await screenshot(phone, 'student-phone');
  assert.deepEqual([...page.errors, ...phone.errors], []);
});

test('class PIN: wrong, blocked after repeated failures, right, kept on reload', async () => {
  const pin = await setClass({ requiresPin: true });
  const tryPin = async (page, value) => {
    await page.fill('#pin-input', value);
    await page.click('#pin-form button');
    await page.waitForFunction(() => !document.querySelector('#pin-form button').disabled);
    return [await page.locator('#pin-error').innerText(), await page.inputValue('#pin-input')];
  };
  const other = await openStudent({}, HOSTS[1]);
  assert.ok(await other.isVisible('#pin-overlay'));
  await screenshot(other, 'student-pin');
  const wrong = pin === '0000' ? '1111' : '0000';
  for (let i = 0; i < 5; i++) assert.deepEqual(await tryPin(other, wrong), ['Code PIN incorrect.', '']);
  assert.deepEqual(await tryPin(other, pin), ['Trop de tentatives. Veuillez patienter.', '']);
  assert.ok(await other.isVisible('#pin-overlay'));

  const page = await openStudent();
  assert.deepEqual(await tryPin(page, pin), ['', '']);
  assert.ok(await page.isHidden('#pin-overlay'));
  await page.reload();
  await page.waitForSelector('body.ready');
  assert.ok(await page.isHidden('#pin-overlay'));
  assert.equal((await ask(page, 'Salut')).chat.classPin, pin);
});

test('first name asked for a logged class of pupils, shown as text and listed for the teacher', async () => {
  await setClass({ audience: 'eleves', isSupervisionActive: true });
  await room.lm('/control/reply', { rawStream: sse('Réponse') });
  const page = await openStudent();
  assert.ok(await page.isVisible('#name-overlay'));
  await screenshot(page, 'student-name');
  await page.click('#name-form button');
  assert.equal(await page.locator('#name-error').innerText(), 'Écris ton prénom pour continuer.');
  const name = '<b>Léa</b>';
  await page.fill('#name-input', `  ${name} `);
  await page.click('#name-form button');
  assert.ok(await page.isHidden('#name-overlay'));
  const question = '<img src=x onerror="alert(1)">';
  const sent = await ask(page, question);
  assert.deepEqual(sent.log, { type: 'question', text: question, name });
  assert.equal(await page.locator('.msg.user').last().innerText(), question);
  assert.match(await page.locator('#who').innerText(), /<b>Léa<\/b>/);
  await waitFor(async () => (await room.api('/api/students', { pin: room.teacherPin })).some((s) => s.name === name),
    'the name in /api/students');
  assert.deepEqual(page.errors, []);
});

test('paused AI: banner and the pause reply as the answer', async () => {
  await setClass({ isAiPaused: true });
  const page = await openStudent();
  assert.ok(await page.isVisible('#pause-banner'));
  assert.match((await ask(page, 'Tu es là ?')).answer, /IA en pause/);
  await setClass({ isAiPaused: false });
  await room.lm('/control/reply', { rawStream: sse('Oui') });
  const next = await ask(page, 'Et maintenant ?');
  assert.deepEqual([next.answer, next.chat.history], ['Oui', []]);  // the pause notice is no history
  await page.waitForSelector('#pause-banner', { state: 'hidden' });
});

test('hostile or broken answers: shown as text, nothing run, the next question accepted', async () => {
  const page = await openStudent();
  const hostile = '<script>window.pwned=1</script> <img src=x onerror="window.pwned=2"> [x](javascript:alert(1))';
  await room.lm('/control/reply', { rawStream: sse(hostile) });
  assert.equal((await ask(page, 'a')).answer, hostile);
  assert.equal(await page.locator('.msg.bot img, .msg.bot script, .msg.bot a').count(), 0);

  const cases = [
    ['LM Studio stopped', () => room.lm('/control/refuse', { refusing: true }), /Erreur Proxy/],
    ['no content', () => room.lm('/control/reply', { rawStream: 'data: [DONE]\n\n' }), /Aucune réponse/],
    ['server unreachable', () => page.route('**/api/chat', (r) => r.abort()), /Aucune réponse/],
    ['invalid UTF-8', () => page.route('**/api/chat', (r) => r.fulfill({
      contentType: 'text/event-stream',
      body: Buffer.concat([Buffer.from('data: {"choices":[{"delta":{"content":"a'), Buffer.from([0xff, 0xc3]),
        Buffer.from('b"}}]}\n\ndata: [DONE]\n\n')]),
    })), /^a\uFFFD+b$/],
  ];
  for (const [name, breakIt, expected] of cases) {
    await breakIt();
    assert.match((await ask(page, name)).answer, expected, name);
    await page.unrouteAll();
    await room.lm('/control/refuse', { refusing: false });
    await room.lm('/control/reply', { rawStream: sse('Revenu') });
    assert.equal((await ask(page, 'encore')).answer, 'Revenu', name);
  }
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.deepEqual(page.errors, []);
});

test('an attached picture is downscaled in the page and sent with the question', async () => {
  const page = await openStudent();
  const png = await page.evaluate(() => {
    const canvas = Object.assign(document.createElement('canvas'), { width: 2000, height: 1000 });
    canvas.getContext('2d').fillRect(0, 0, 2000, 1000);
    return canvas.toDataURL('image/png').split(',')[1];
  });
  await page.setInputFiles('#file-input', { name: 'photo.png', mimeType: 'image/png', buffer: Buffer.from(png, 'base64') });
  await page.waitForSelector('#attachment:not([hidden])');
  const { chat } = await ask(page, 'Que vois-tu ?');
  assert.equal(chat.image.mimeType, 'image/jpeg');
  const size = await page.evaluate(async (b64) => {
    const img = new Image();
    img.src = `data:image/jpeg;base64,${b64}`;
    await img.decode();
    return [img.naturalWidth, img.naturalHeight];
  }, chat.image.base64);
  assert.deepEqual(size, [1024, 512]);
});
