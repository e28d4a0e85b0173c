// The demonstration server in Chromium: the login and upload forms post, the echoes come back.
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

test('the upload form reports each file whole, whatever its name holds', async () => {
  const page = await browser.newPage();
  await page.goto(`${base}/upload`);
  const files = [['a=b; c:d.txt', 'abc'], ['notes "v2".md', ''], ['été.bin', 'x'.repeat(70000)]];
  for (const [index, [name, text]] of files.entries())
    await page.setInputFiles(`input[name=my_file${index + 1}]`, { name, mimeType: 'text/plain', buffer: Buffer.from(text) });
  await Promise.all([page.waitForURL(/\/upload$/), page.click('button[type=submit]')]);
  await page.waitForFunction(() => document.body.innerText.startsWith('Name:'));
  await screenshot(page, 'demo-upload-report');
  assert.equal(await page.innerText('body'), [
    'Name: my_file1 File name: a=b; c:d.txt Size: 3',
    'Name: my_file2 File name: notes %22v2%22.md Size: 0',  // browsers escape a quote in a file name
    'Name: my_file3 File name: été.bin Size: 70000',
  ].join('\n') + '\n');  // each item ends in <br>
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
