// The student page in chromium, against the test server and the fake LM Studio.
import assert from 'node:assert/strict';
import { after, before, beforeEach, test } from 'node:test';
import { HOSTS, openBrowser, screenshot, startClassroom } from './harness.js';

let room;
let browser;
before(async () => { [room, browser] = await Promise.all([startClassroom(), openBrowser()]); });
beforeEach(() => Promise.all([
  setClass({ requiresPin: false, audience: 'visiteurs', isSupervisionActive: false, isAiPaused: false }),
  room.lm('/control/refuse', { refusing: false }), room.lm('/control/clear-faults', {})]));
after(async () => Promise.all([browser?.close(), room?.stop()]));

const PHONE = { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true };
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
  page.on('request', (r) => {  // nothing from outside the classroom server
    if (/^https?:/.test(r.url()) && !r.url().startsWith(room.url('', host))) page.errors.push(new Error(`asked ${r.url()}`));
  });
  await page.goto(room.url('/', host));
  await page.waitForSelector('body.ready');
  return page;
}

// The rows of the conversation after the first `from` ones: [kind, text], kind being
// "user", "bot", "interrupted" (what came of an answer before its stream broke), "notice" or
// "error".
const rowsAfter = (page, from) => page.locator('.msg').evaluateAll((rows, n) => rows.slice(n).map((r) => [
  ['notice', 'error', 'user', 'interrupted'].find((k) => r.classList.contains(k)) || 'bot', r.innerText]), from);

// A screen to fill in first: a labelled modal dialog; the page behind it is out of reach of the
// keyboard (Tab stays in the dialog) and of screen readers.
async function assertModal(page, name) {
  assert.ok(await page.getByRole('dialog', { name }).isVisible());
  for (let i = 0; i < 4; i++) {
    await page.keyboard.press('Tab');
    assert.ok(await page.evaluate(() => document.activeElement === document.body
      || !!document.activeElement.closest('[role=dialog]')), name);
  }
  const { nodes } = await (await page.context().newCDPSession(page)).send('Accessibility.getFullAXTree');
  assert.doesNotMatch(nodes.filter((n) => !n.ignored).map((n) => n.name?.value).join('\n'), /Bonjour|Ta question|Mode nuit/);
}

// Sends a question; resolves to the new answer's text, the rows it added after the question
// and the bodies of the requests it made.
async function ask(page, text) {
  const bots = await page.locator('.msg.bot').count();
  const rows = await page.locator('.msg').count();
  const log = page.waitForRequest((r) => r.url().endsWith('/api/log'));
  const chat = page.waitForRequest((r) => r.url().endsWith('/api/chat'));
  await page.fill('#message', text);
  await page.press('#message', 'Enter');
  await page.locator('.msg.bot').nth(bots).locator('.typing').waitFor({ state: 'detached' });
  await page.waitForSelector('#send-btn:not([disabled])');
  const answer = await page.locator('.msg.bot').nth(bots).innerText();
  return { answer, rows: await rowsAfter(page, rows + 1), log: (await log).postDataJSON(), chat: (await chat).postDataJSON() };
}

// A picture of w by h pixels (a sun over grass), as a PNG file drawn in the page.
const picture = (page, w, h) => page.evaluate(([width, height]) => {
  const context = Object.assign(document.createElement('canvas'), { width, height }).getContext('2d');
  context.fillStyle = '#2e7d32';
  context.fillRect(0, 0, width, height);
  context.fillStyle = '#fbc02d';
  context.arc(width / 2, height / 3, width / 4, 0, 7);
  context.fill();
  return context.canvas.toDataURL('image/png').split(',')[1];
}, [w, h]).then((b64) => ({ name: 'photo.png', mimeType: 'image/png', buffer: Buffer.from(b64, 'base64') }));

// The pieces (matching `pattern`) of the text under `selector` in the last answer that the
// browser laid out on more than one line.
const brokenPieces = (page, selector, pattern) => page.locator('.msg.bot').last().evaluate((answer, [sel, source]) => {
  const broken = [];
  for (const frame of answer.querySelectorAll(sel)) {
    const walker = document.createTreeWalker(frame, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      for (const m of node.data.matchAll(new RegExp(source, 'g'))) {
        const range = document.createRange();
        range.setStart(node, m.index);
        range.setEnd(node, m.index + m[0].length);
        if (range.getClientRects().length !== 1) broken.push(m[0]);
      }
    }
  }
  return broken;
}, [selector, pattern]);

// The blocks of the last answer as text, each formula as ⟨its source⟩, each table row as its
// cells joined by " ¦ ".
const blocksOf = (page) => page.locator('.msg.bot:last-child .bubble').evaluate((bubble) => {
  const copy = bubble.cloneNode(true);
  copy.querySelectorAll('.math, .math-block').forEach((m) => m.replaceWith(Object.assign(document.createElement(m.tagName),
    { textContent: `⟨${m.querySelector('annotation').textContent}⟩` })));
  return [...copy.children].flatMap((block) => (block.matches('.table-wrap')
    ? [...block.querySelectorAll('tr')].map((tr) => [...tr.children].map((cell) => cell.textContent).join(' ¦ '))
    : [block.textContent]));
});

const endOfChatInView = (page) => page.evaluate(() => {
  const chat = document.getElementById('chat');
  return chat.lastElementChild.getBoundingClientRect().bottom <= chat.getBoundingClientRect().bottom + 1;
});

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
  await page.click('#theme-btn');
  await page.reload();
  assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'dark');
  assert.deepEqual(page.errors, []);
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
  await assertModal(other, 'Klarion');
  const wrong = pin === '0000' ? '1111' : '0000';
  for (let i = 0; i < 5; i++) assert.deepEqual(await tryPin(other, wrong), ['Code PIN incorrect.', '']);
  assert.deepEqual(await tryPin(other, pin), ['Trop de tentatives. Veuillez patienter.', '']);
  assert.ok(await other.isVisible('#pin-overlay'));

  const page = await openStudent();
  assert.deepEqual(await tryPin(page, pin), ['', '']);
  assert.ok(await page.isHidden('#pin-overlay'));
  assert.equal(await page.evaluate(() => document.activeElement.id), 'message');
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
  await assertModal(page, 'Bienvenue !');
  await screenshot(page, 'student-name');
  await page.click('#name-form button');
  assert.equal(await page.locator('#name-error').innerText(), 'Écris ton prénom pour continuer.');
  const name = '<b>Léa</b>';
  await page.fill('#name-input', `  ${name} `);
  await page.press('#name-input', 'Enter');
  assert.ok(await page.isHidden('#name-overlay'));
  assert.equal(await page.evaluate(() => document.activeElement.id), 'message');
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
  const paused = await ask(page, 'Tu es là ?');
  assert.equal(paused.rows.length, 1);
  assert.equal(paused.rows[0][0], 'notice');
  assert.match(paused.rows[0][1], /IA en pause :/);
  assert.equal(await page.inputValue('#message'), 'Tu es là ?');  // given back, to send again
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

  // [what breaks, how, the rows that follow the question]. A broken exchange gives the question
  // back and is not sent as history; a whole answer is (the first row is a whole answer). An
  // answer is whole only when its stream said so ("[DONE]" or a finish_reason).
  const event = (data, name) => `${name ? `event: ${name}\n` : ''}data: ${JSON.stringify(data)}\n\n`;
  const ending = (content, reason) => `${event({ choices: [{ delta: { content }, finish_reason: reason }] })}data: [DONE]\n\n`;
  const cases = [
    ['LM Studio stopped', () => room.lm('/control/refuse', { refusing: true }), [['notice', /^⚠️ Erreur Proxy : Le serveur IA/]]],
    ['no content', () => room.lm('/control/reply', { rawStream: 'data: [DONE]\n\n' }), [['error', /réponse vide/]]],
    ['reasoning never closed', () => room.lm('/control/reply', { rawStream: ending('<think>Je calcule', 'length') }),
      [['error', /réflexion a été coupée/]]],
    ['cut at the length limit', () => room.lm('/control/reply', { rawStream: ending('Le début', 'length') }),
      [['bot', /^Le début$/], ['notice', /^✂️ La réponse a été coupée/]]],
    ['stream closed without its end', () => room.lm('/control/reply', { rawStream: sse('morceau0 ', 'morceau1').replace('data: [DONE]\n\n', '') }),
      [['interrupted', /^morceau0 morceau1$/], ['error', /interrompue/]]],
    ['server unreachable', () => page.route('**/api/chat', (r) => r.abort()), [['error', /Aucune réponse/]]],
    ['stream broken after two pieces', async () => {
      await room.lm('/control/reply', { pieces: ['La photo', 'synthèse', ' est'] });
      await room.lm('/control/faults', { path: '/v1/chat/completions', action: 'break-stream', afterEvents: 2, breakWith: 'reset' });
    }, [['interrupted', /^La photosynthèse$/], ['notice', /Erreur Proxy/]]],
    ['error event', () => room.lm('/control/reply', { rawStream: `${event({ error: { message: 'Model crashed' } })}data: [DONE]\n\n` }),
      [['error', /^⚠️ L'IA n'a pas pu répondre : Model crashed$/]]],
    ['error event after text', () => room.lm('/control/reply', {
      rawStream: `${sse('Début').replace('data: [DONE]\n\n', '')}${event({ error: 'overloaded' }, 'error')}`,
    }), [['interrupted', /^Début$/], ['error', /: overloaded$/]]],
    ['invalid UTF-8', () => page.route('**/api/chat', (r) => r.fulfill({
      contentType: 'text/event-stream',
      body: Buffer.concat([Buffer.from('data: {"choices":[{"delta":{"content":"a'), Buffer.from([0xff, 0xc3]),
        Buffer.from('b"}}]}\n\ndata: [DONE]\n\n')]),
    })), [['bot', /^a\uFFFD+b$/]]],
    ['classroom server stopped after four pieces', async () => {
      await room.lm('/control/reply', { pieces: Array.from({ length: 9 }, (_, i) => `morceau${i} `), gapMs: 150 });
      return { restarted: page.waitForSelector('.msg.bot:last-child:has-text("morceau3")').then(() => room.restart()) };
    }, [['interrupted', /^morceau0 morceau1 morceau2 morceau3/], ['error', /interrompue/]]],
  ];
  for (const [name, breakIt, expected] of cases) {
    const during = await breakIt();
    const { rows } = await ask(page, name);
    await during?.restarted;
    assert.deepEqual(rows.map(([kind]) => kind), expected.map(([kind]) => kind), name);
    rows.forEach(([, text], i) => assert.match(text, expected[i][1], name));
    const broken = expected[0][0] !== 'bot';
    assert.equal(await page.inputValue('#message'), broken ? name : '', name);
    await page.unrouteAll();
    await room.lm('/control/refuse', { refusing: false });
    await room.lm('/control/reply', { rawStream: sse('Revenu') });
    const next = await ask(page, 'encore');
    assert.equal(next.answer, 'Revenu', name);
    assert.equal(next.chat.history.some((turn) => turn.content === name), !broken, name);
  }
  await page.evaluate(() => document.querySelector('.msg.notice').scrollIntoView({ block: 'start' }));
  await screenshot(page, 'student-notices');
  await page.click('#theme-btn');
  await screenshot(page, 'student-notices-dark');
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.deepEqual(page.errors, []);
});

test('an attached picture is downscaled in the page and sent with the question', async () => {
  const page = await openStudent();
  const chooser = page.waitForEvent('filechooser');  // asked first: the browser then hands it over
  await page.focus('#message');
  await page.keyboard.press('Shift+Tab');  // the picture button, reached with the keyboard
  await page.keyboard.press('Enter');
  await (await chooser).setFiles(await picture(page, 2000, 1000));
  await page.waitForSelector('#attachment:not([hidden])');
  await page.route('**/api/chat', (r) => r.abort());
  await ask(page, 'Que vois-tu ?');  // the send fails: the question and its picture are given back
  await page.unrouteAll();
  assert.equal(await page.inputValue('#message'), 'Que vois-tu ?');
  assert.ok(await page.isVisible('#attachment img'));
  await room.lm('/control/reply', { rawStream: sse('Un soleil sur de l’herbe.') });
  const { chat } = await ask(page, 'Que vois-tu ?');
  assert.equal(chat.image.mimeType, 'image/jpeg');
  const size = await page.evaluate(async (b64) => {
    const img = new Image();
    img.src = `data:image/jpeg;base64,${b64}`;
    await img.decode();
    return [img.naturalWidth, img.naturalHeight];
  }, chat.image.base64);
  assert.deepEqual(size, [1024, 512]);
  assert.equal(await page.locator('.msg.user img').last().getAttribute('alt'), 'Image envoyée avec la question');
});

const MATHS = 'La fraction $$\\frac{3}{4}$$ vaut 0,75 et $x^2 + 1 > 0$.\n\n$$\n\\sqrt{2} \\approx 1{,}414\n$$\n\n'
  + 'Cassée : $$\\frac{1}{$$ ; prix : 5 $ et 6 $ ; code : `$x$`.';
const TABLE = '| Gaz | Formule | Rôle dans la photosynthèse | Origine |\n|---|---|---|---|\n'
  + '| Oxygène | O₂ | Rejeté par la plante | Photolyse de l’eau |\n'
  + '| Dioxyde de carbone | CO₂ | Absorbé par les stomates | Atmosphère |';
const CODE = '```\nconst photosynthese = (lumiere, eau, dioxydeDeCarbone) => glucose + dioxygene;\nreturn photosynthese;\n```';

test('formulas are typeset; a malformed one, prices and code stay as text', async () => {
  await room.lm('/control/reply', { rawStream: sse(MATHS) });
  const page = await openStudent();
  await ask(page, 'Des maths ?');
  const answer = page.locator('.msg.bot').last();
  assert.deepEqual(await answer.locator('math').evaluateAll((all) => all.map((m) => [
    m.getAttribute('display'), m.querySelector('annotation').textContent])),
  [[null, '\\frac{3}{4}'], [null, 'x^2 + 1 > 0'], ['block', '\\sqrt{2} \\approx 1{,}414']]);
  assert.equal(await answer.locator('mfrac').count(), 1);
  assert.match(await answer.innerText(), /Cassée : \$\$\\frac\{1\}\{\$\$ ; prix : 5 \$ et 6 \$ ; code : \$x\$\./);
  assert.deepEqual(page.errors, []);
});

// Formulas as models and classes write them, money, escaped marks, and bars in a table.
const WRITTEN = String.raw`Aire \(A = \pi r^2\), $50\%$ de $\{1, 2, 3\}$, $\widehat{ABC}$ dans $\mathbb{R}$ ; $prix$ reste du texte, 5$ ou $5, budget de 100$ aussi ; \$ et \* sans barre.

\[
\vec{u} \cdot \vec{v} = 0
\]

Chimie : $\ce{2H2 + O2 -> 2H2O}$ et \ce{CO2} à \pu{25 mol/L}.

| Notion | Écriture |
|---|---|
| Valeur absolue | $|x|$ |
| Probabilité | $P(A|B)$, ${'`a|b`'} |
| a \| b | fin |`;

test("maths as classes write it, drawn with KaTeX's fonts; money and escaped marks stay text; a formula's bars stay in its cell", async () => {
  await room.lm('/control/reply', { rawStream: sse(WRITTEN) });
  const page = await openStudent();
  await ask(page, 'Des maths ?');
  assert.deepEqual(await blocksOf(page), [
    String.raw`Aire ⟨A = \pi r^2⟩, ⟨50\%⟩ de ⟨\{1, 2, 3\}⟩, ⟨\widehat{ABC}⟩ dans ⟨\mathbb{R}⟩ ; $prix$ reste du texte, 5$ ou $5, budget de 100$ aussi ; $ et * sans barre.`,
    String.raw`⟨\vec{u} \cdot \vec{v} = 0⟩`,
    String.raw`Chimie : ⟨\ce{2H2 + O2 -> 2H2O}⟩ et ⟨\ce{CO2}⟩ à ⟨\pu{25 mol/L}⟩.`,
    'Notion ¦ Écriture', 'Valeur absolue ¦ ⟨|x|⟩', 'Probabilité ¦ ⟨P(A|B)⟩, a|b', 'a | b ¦ fin']);
  const fonts = await page.evaluate(async () => {
    await document.fonts.ready;
    return [...document.fonts].filter((f) => f.status === 'loaded').map((f) => f.family);
  });
  for (const family of ['KaTeX_Main', 'KaTeX_Math', 'KaTeX_AMS']) assert.ok(fonts.includes(family), family);
  assert.deepEqual(page.errors, []);
});

test('on a phone, a wide table scrolls in its frame with whole words; code lines stay unwrapped', async () => {
  await room.lm('/control/reply', { rawStream: sse(`${TABLE}\n\n${CODE}`) });
  const page = await openStudent(PHONE);
  await ask(page, 'Un tableau ?');
  assert.deepEqual(await brokenPieces(page, 'th, td', '\\S+'), []);
  assert.deepEqual(await brokenPieces(page, 'pre', '[^\\n]+'), []);
  const frames = await page.locator('.msg.bot').last().locator('.table-wrap, pre').evaluateAll((all) => all.map((f) => [
    f.scrollWidth > f.clientWidth, f.getBoundingClientRect().right <= innerWidth]));
  assert.deepEqual(frames, [[true, true], [true, true]]);
});

test('the view follows an answer below a late picture, stays where the student scrolled, shows an error', async () => {
  const page = await openStudent(PHONE);
  const lines = Array.from({ length: 14 }, (_, i) => `Ligne ${i + 1} d'une réponse assez longue pour remplir l'écran.\n\n`);
  await room.lm('/control/reply', { pieces: lines, gapMs: 20 });
  await ask(page, 'Première question');
  await room.lm('/control/reply', { pieces: lines, gapMs: 20 });
  await page.setInputFiles('#file-input', await picture(page, 600, 1200));
  await page.waitForSelector('#attachment:not([hidden])');
  // As in Safari, which keeps no element in place when the content above it grows.
  await page.addStyleTag({ content: '#chat { overflow-anchor: none; }' });
  await page.evaluate(() => {  // the sent picture gets its pixels only when released
    const { set } = Object.getOwnPropertyDescriptor(HTMLImageElement.prototype, 'src');
    Object.defineProperty(HTMLImageElement.prototype, 'src', {
      configurable: true,
      set(url) { if (this.classList.contains('sent-image')) window.releasePicture = () => set.call(this, url); else set.call(this, url); },
    });
  });
  await ask(page, 'Et cette image ?');
  await page.evaluate(() => window.releasePicture());  // after the answer's last piece
  await page.waitForFunction(() => document.querySelector('.msg.user:nth-last-child(2) img').offsetHeight > 200);
  await page.evaluate(() => new Promise((r) => { requestAnimationFrame(() => requestAnimationFrame(r)); }));
  assert.ok(await endOfChatInView(page));

  await room.lm('/control/reply', { pieces: lines, gapMs: 40 });
  await page.fill('#message', 'Encore');
  await page.press('#message', 'Enter');
  await page.locator('.msg.bot').last().locator('p').first().waitFor();
  await page.evaluate(() => { document.getElementById('chat').scrollTop = 0; });
  await page.waitForSelector('#send-btn:not([disabled])');
  assert.equal(await page.evaluate(() => document.getElementById('chat').scrollTop), 0);

  let release;
  const held = new Promise((resolve) => { release = resolve; });
  await page.route('**/api/chat', async (route) => { await held; await route.abort(); });
  await page.fill('#message', 'Dernière');
  await page.press('#message', 'Enter');
  await page.waitForSelector('.msg.bot:last-child .typing');
  await page.evaluate(() => { document.getElementById('chat').scrollTop = 0; });
  release();
  await page.waitForSelector('.msg.error');
  assert.ok(await endOfChatInView(page));
});

test('a streamed answer: finished blocks drawn once, each formula typeset once, a growing table keeps its scroll, the answer announced once at its end', async () => {
  const page = await openStudent();
  const steps = Array.from({ length: 30 }, (_, i) => `Étape ${i + 1} : $u_{${i + 1}} = ${2 * i}$.\n\n`);
  const row = (cell) => `|${Array.from({ length: 12 }, (_, c) => ` ${cell}${c} `).join('|')}|\n`;
  const table = [`${row('Photosynthèse')}${'|---'.repeat(12)}|\n`, ...Array.from({ length: 8 }, () => row('chlorophylle'))];
  await room.lm('/control/reply', { pieces: [...steps, ...table], gapMs: 15 });
  await page.evaluate(() => {
    window.drawn = { paragraphs: 0, typeset: 0, spoken: [] };
    const { render } = window.katex;
    window.katex.render = (...args) => { window.drawn.typeset++; return render(...args); };
    new MutationObserver((records) => records.forEach((r) => {
      const node = r.target.nodeType === Node.ELEMENT_NODE ? r.target : r.target.parentElement;
      const live = node.closest('[aria-live], [role=status], [role=alert], [role=log]');
      if (live && (r.type === 'characterData' || r.addedNodes.length)) window.drawn.spoken.push(live.textContent);
      window.drawn.paragraphs += [...r.addedNodes].filter((n) => n.nodeName === 'P' && n.closest('.msg.bot')).length;
      const frame = document.querySelector('.msg.bot:last-child .table-wrap');
      if (frame && !window.drawn.scrolled) window.drawn.scrolled = !!Object.assign(frame, { scrollLeft: 200 });  // while it grows
    })).observe(document.body, { subtree: true, childList: true, characterData: true });
  });
  await ask(page, 'Trente étapes');
  const drawn = await page.evaluate(() => window.drawn);
  assert.deepEqual([drawn.paragraphs, drawn.typeset, drawn.spoken.length], [30, 30, 1]);
  assert.match(drawn.spoken[0], /^Étape 1 : u1=0\.Étape 2 : u2=2\..*Étape 30 : u30=58\..*chlorophylle11$/);
  assert.equal(await page.locator('.msg.bot:last-child .table-wrap').evaluate((f) => f.scrollLeft), 200);
});

test('nothing is sent before the page knows whether the class needs a PIN', async () => {
  const pin = await setClass({ requiresPin: true });
  const page = await browser.newPage();
  let release;
  const held = new Promise((resolve) => { release = resolve; });
  await page.route('**/api/config', async (route) => { await held; await route.continue(); });
  const chats = [];
  page.on('request', (r) => { if (r.url().endsWith('/api/chat')) chats.push(r.postDataJSON()); });
  await page.goto(room.url('/'));
  await page.fill('#message', 'Trop tôt');
  await page.press('#message', 'Enter');
  release();
  await page.waitForSelector('#pin-overlay:not([hidden])');
  await page.fill('#pin-input', pin);
  await page.press('#pin-input', 'Enter');
  await page.waitForSelector('#pin-overlay', { state: 'hidden' });
  assert.equal(await page.inputValue('#message'), 'Trop tôt');
  await room.lm('/control/reply', { rawStream: sse('Bien reçu') });
  await page.press('#message', 'Enter');
  await page.waitForSelector('.msg.bot:last-child:has-text("Bien reçu")');
  assert.deepEqual(chats.map((c) => [c.userMessage, c.classPin]), [['Trop tôt', pin]]);
});

test('only the reasoning block that opens an answer is hidden; every other text stays', async () => {
  const page = await openStudent();
  await page.evaluate(() => {
    window.seen = [];
    new MutationObserver(() => window.seen.push(document.querySelector('#chat > .msg.bot:last-child')?.innerText ?? ''))
      .observe(document.getElementById('chat'), { subtree: true, childList: true, characterData: true });
  });
  // [pieces, the answer shown at the end, what must never show while it streams]
  const cases = [
    [['<thi', 'nk>Je calcule', ' 2 + 2', '</think>', '\n\nQuatre.'], 'Quatre.', /calcule|<thi/],
    [['Le tag `<think>` ouvre ', 'la réflexion', ' du modèle.'], 'Le tag <think> ouvre la réflexion du modèle.', /(?!)/],
    [['Je réfléchis', ' encore', '</think>', '\n\nRéponse : 4.'], 'Je réfléchis encore\n\nRéponse : 4.', /<\/think>/],
  ];
  for (const [pieces, shown, never] of cases) {
    await room.lm('/control/reply', { pieces, gapMs: 30 });
    await page.evaluate(() => { window.seen = []; });
    const { answer } = await ask(page, `Cas ${shown.length}`);
    assert.equal(answer, shown);
    assert.deepEqual((await page.evaluate(() => window.seen)).filter((t) => never.test(t)), []);
  }
});

test('Markdown: addresses holding parentheses, ***bold italic***, __bold__', async () => {
  const wiki = 'https://fr.wikipedia.org/wiki/Chlorophylle_(pigment)';
  await room.lm('/control/reply', {
    rawStream: sse(`Voir [Chlorophylle](${wiki}), ${wiki} (ou https://exemple.fr/page). ***très*** __gras__ _penché_ nom_de_variable`),
  });
  const page = await openStudent();
  const { answer } = await ask(page, 'Des liens ?');
  const last = page.locator('.msg.bot').last();
  assert.deepEqual(await last.locator('a').evaluateAll((all) => all.map((a) => a.getAttribute('href'))),
    [wiki, wiki, 'https://exemple.fr/page']);
  assert.deepEqual(await last.locator('strong, em').evaluateAll((all) => all.map((e) => `${e.tagName}>${e.innerHTML}`)),
    ['STRONG><em>très</em>', 'EM>très', 'STRONG>gras', 'EM>penché']);
  assert.match(answer, / \(ou https:\/\/exemple\.fr\/page\)\. très gras penché nom_de_variable$/);
});

test('the first focus, the picture\'s ✕, a long paste, Arabic questions and answers', async () => {
  const page = await openStudent({}, '127.0.0.1');  // a secure context: the test may use the clipboard
  assert.equal(await page.evaluate(() => document.activeElement.id), 'message');
  await page.setInputFiles('#file-input', await picture(page, 80, 60));
  await page.click('#attachment-remove');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'attach-btn');

  await page.context().grantPermissions(['clipboard-read', 'clipboard-write'], { origin: room.url('', '127.0.0.1') });
  await page.evaluate((text) => navigator.clipboard.writeText(text), 'é'.repeat(8100));
  await page.focus('#message');
  await page.keyboard.press('Control+V');
  assert.equal((await page.inputValue('#message')).length, 8000);
  assert.equal(await page.locator('.hint.error').innerText(), 'Le texte collé a été coupé : une question compte au plus 8 000 caractères.');

  await room.lm('/control/reply', { rawStream: sse('التمثيل الضوئي هو عملية.\n\n- الماء\n\nFin en français.') });
  await ask(page, 'ما هو التمثيل الضوئي؟');
  const directions = await page.evaluate(() => ['.msg.user:nth-last-child(2) .sent-text', '.msg.bot:last-child p', '.msg.bot:last-child ul',
    '.msg.bot:last-child p:last-child'].map((s) => getComputedStyle(document.querySelector(s)).direction));
  assert.deepEqual(directions, ['rtl', 'rtl', 'rtl', 'ltr']);
  await page.fill('#message', 'مرحبا');
  assert.equal(await page.evaluate(() => document.getElementById('message').matches(':dir(rtl)')), true);
});

test('text on the accent colour and the placeholder read at 4.5:1 or more, by day and by night', async () => {
  const page = await openStudent();
  for (const theme of ['light', 'dark']) {
    const ratios = await page.evaluate((t) => {
      document.documentElement.dataset.theme = t;
      const row = document.createElement('div');
      row.className = 'msg user';
      row.innerHTML = '<div class="bubble">Question</div>';
      document.getElementById('chat').append(row);
      const lum = (color) => color.match(/[\d.]+/g).slice(0, 3).map((v) => v / 255)
        .map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4))
        .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
      const ratio = (node, pseudo) => {
        const [a, b] = [lum(getComputedStyle(node, pseudo).color), lum(getComputedStyle(node).backgroundColor)].sort((x, y) => y - x);
        return Math.round(((a + 0.05) / (b + 0.05)) * 100) / 100;
      };
      const result = Object.fromEntries(['#send-btn', '#pin-form button', '.msg.user .bubble', '#message::placeholder']
        .map((s) => [s, ratio(document.querySelector(s.split('::')[0]), s.split('::')[1] && '::placeholder')]));
      row.remove();
      return result;
    }, theme);
    for (const [what, ratio] of Object.entries(ratios)) assert.ok(ratio >= 4.5, `${theme} ${what}: ${ratio}`);
  }
});

test('message box keeps its height when typed in; the hint of an unreadable picture goes with the next question', async () => {
  const page = await openStudent();
  const height = () => page.evaluate(() => document.getElementById('message').offsetHeight);
  const empty = await height();
  await page.focus('#message');
  await page.keyboard.type('a');
  assert.equal(await height(), empty);
  for (let i = 0; i < 3; i++) await page.keyboard.press('Shift+Enter');
  assert.ok(await height() > empty);
  await page.fill('#message', '');
  assert.equal(await height(), empty);

  await page.setInputFiles('#file-input', { name: 'photo.png', mimeType: 'image/png', buffer: Buffer.from('pas une image') });
  assert.equal(await page.locator('.hint.error').innerText(), "Cette image n'a pas pu être lue.");
  await room.lm('/control/reply', { rawStream: sse('Oui') });
  await ask(page, 'Et sans image ?');
  assert.equal(await page.locator('.hint').innerText(), "L'IA peut se tromper : vérifie les informations importantes.");
  assert.equal(await page.locator('.hint.error').count(), 0);
});

test('screenshots: formulas, chemistry, tables, code and a picture; an interrupted answer; the PIN screen; phone and desktop, day and night', async () => {
  for (const [device, options] of [['phone', PHONE], ['desktop', { viewport: { width: 1280, height: 800 } }]]) {
    await setClass({ requiresPin: false });
    const page = await openStudent(options);
    await page.setInputFiles('#file-input', await picture(page, 800, 600));
    await room.lm('/control/reply', { rawStream: sse(`Sur ta photo, la feuille capte la lumière. ${MATHS}\n\n${WRITTEN}\n\n${TABLE}\n\n${CODE}`) });
    await ask(page, 'Que montre cette photo ?');
    await room.lm('/control/reply', { rawStream: sse('La photosynthèse', ' se fait dans', ' les chloroplastes').replace('data: [DONE]\n\n', '') });
    await ask(page, 'Et ensuite ?');
    const states = [
      ['maths', () => page.evaluate(() => document.querySelector('.msg.bot:nth-last-child(4)').scrollIntoView())],
      ['table', () => page.evaluate(() => document.querySelector('.msg.bot:nth-last-child(4) .table-wrap').scrollIntoView())],
      ['interrupted', () => page.evaluate(() => document.querySelector('.msg.interrupted').scrollIntoView())],
      ['pin', async () => { await setClass({ requiresPin: true }); await page.reload(); await page.waitForSelector('#pin-overlay:not([hidden])'); }],
    ];
    for (const [state, show] of states) {
      await show();  // the formulas' hidden MathML stays in the conversation's scrolling: the page never scrolls
      assert.equal(await page.evaluate(() => document.documentElement.scrollHeight), options.viewport.height, state);
      for (const theme of ['light', 'dark']) {
        await page.evaluate((t) => { document.documentElement.dataset.theme = t; }, theme);
        await screenshot(page, `student-${device}-${state}-${theme}`);
      }
    }
    assert.deepEqual(page.errors, []);
  }
});
