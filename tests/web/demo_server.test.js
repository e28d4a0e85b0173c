// The demonstration server's login page in Chromium: the form posts, the echo comes back.
import { before, after, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtemp, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { buildDir, launch, openBrowser, screenshot } from './harness.js';

let demo, folder, browser, base;
before(async () => {
  folder = await mkdtemp(path.join(tmpdir(), 'klarion-demo-'));
  demo = launch(path.join(buildDir, 'http/extras/klarion-demo-server'), [folder], process.env, [/listening on (\d+)/]);
  base = `http://127.0.0.1:${(await demo.ready)[0]}`;
  browser = await openBrowser();
});
after(async () => Promise.all([browser?.close(), demo?.stop()]).then(() => rm(folder, { recursive: true, force: true })));

test('the login page submits its form and shows the fields it sent', async () => {
  const page = await browser.newPage();
  await page.route(/^https?:\/\/(?!127\.0\.0\.1)/, (route) => route.abort());  // the page names a public CDN
  await page.goto(`${base}/login`);
  assert.equal(await page.textContent('h3'), 'Sign In');
  await screenshot(page, 'demo-login');
  await page.fill('input[name=email]', 'eleve@ecole.fr');
  await page.fill('input[name=password]', '<b>&x');
  const [posted] = await Promise.all([page.waitForRequest((r) => r.method() === 'POST'), page.click('button[type=submit]')]);
  assert.equal(posted.postData(), 'email=eleve%40ecole.fr&password=%3Cb%3E%26x');
  await page.waitForFunction(() => document.body.innerText.startsWith('email ='));
  assert.equal(await page.innerText('body'), 'email = eleve@ecole.fr\npassword = <b>&x');
});

test('the WebSocket echo sends back each text and binary message', async () => {
  const page = await browser.newPage();
  await page.goto(`${base}/demo`);  // any page of the server: same origin
  const echoed = await page.evaluate(async (url) => {
    const socket = new WebSocket(url);
    socket.binaryType = 'arraybuffer';
    const messages = [];
    await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
    const done = new Promise((resolve) => socket.addEventListener('message', (event) => {
      messages.push(typeof event.data === 'string' ? event.data : [...new Uint8Array(event.data)]);
      if (messages.length === 3) resolve();
    }));
    ['hi', new Uint8Array([0, 255, 7]), 'é'.repeat(40000)].forEach((message) => socket.send(message));
    await done;
    socket.close();
    return messages;
  }, `${base.replace('http', 'ws')}/websocket-echo`);
  assert.deepEqual(echoed, ['hi', [0, 255, 7], 'é'.repeat(40000)]);
});
