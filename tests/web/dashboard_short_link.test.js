// Teacher dashboard: the students' link in the Cockpit, from a short-link service on loopback
// (its address in the preferences, read at each start of the server) or the long address.
import assert from 'node:assert/strict';
import { mkdir, writeFile } from 'node:fs/promises';
import http from 'node:http';
import path from 'node:path';
import { after, test } from 'node:test';
import { screenshot } from './harness.js';
import { classroomForFile, config, dashboardPage, openLoggedIn, textOf, until } from './dashboard_helpers.js';

// The service answers {"shorturl": service.answer} and counts the replies it has finished.
const service = { answer: 'https://liens.test/k4x9', urls: [], answered: 0 };
const serviceServer = http.createServer((request, response) => {
  let body = '';
  request.on('data', (d) => { body += d; });
  request.on('end', () => {
    service.urls.push(JSON.parse(body).url);
    response.on('finish', () => { service.answered++; });
    response.writeHead(200, { 'Content-Type': 'application/json' });
    response.end(JSON.stringify({ shorturl: service.answer }));
  });
});
after(() => serviceServer.close());

async function preferService(home) {
  await new Promise((resolve) => serviceServer.listen(0, '127.0.0.1', resolve));
  const folder = path.join(home, '.config', 'klarion');
  await mkdir(folder, { recursive: true });
  const url = `http://127.0.0.1:${serviceServer.address().port}/api/shorturl.php`;
  await writeFile(path.join(folder, 'preferences.json'), JSON.stringify({ KLR_shortLinkServiceURL: url }));
}

let room;
let browser;
classroomForFile({ prepare: preferService }, (r, b) => { room = r; browser = b; });

const studentLink = async (page) => [await textOf(page, '#student-link'), await page.getAttribute('#student-link', 'href')];
const longAddress = () => room.url('');  // the page's own origin

test('the service\'s short link is the students\' link', async () => {
  await until('the short link', async () => (await config(room)).shortURL === service.answer);
  assert.deepEqual(service.urls.map((u) => u.replace(/^http:\/\/[^/]+/, 'ADDRESS')).sort(), ['ADDRESS', 'ADDRESS/teacher']);
  const page = await dashboardPage(browser, { viewport: { width: 1366, height: 768 } });
  await openLoggedIn(page, room);
  await until('the link', async () => (await textOf(page, '#student-link')) === service.answer);
  assert.deepEqual(await studentLink(page), [service.answer, service.answer]);
  await screenshot(page, 'dashboard-short-link');
  await page.close();
});

test('a short link that is no web address is not kept: the long address shows', async () => {
  service.answer = 'javascript:window.hacked=1//';
  const before = service.answered;
  await room.restart();
  await until('both replies', () => service.answered === before + 2);
  const page = await dashboardPage(browser, { viewport: { width: 1366, height: 768 } });
  await openLoggedIn(page, room);
  await until('the long address', async () => (await textOf(page, '#student-link')) === longAddress());
  assert.deepEqual([await studentLink(page), (await config(room)).shortURL], [[longAddress(), longAddress()], '']);
  await screenshot(page, 'dashboard-long-address');

  // The page keeps to web addresses whatever the configuration says (each row shows
  // something else than the row before, so that a round not yet applied cannot pass).
  let shortURL;
  await page.route('**/api/config', async (route) => route.fulfill({ json: { ...(await config(room)), shortURL } }));
  const [z, Z, long] = ['https://liens.test/z', 'HTTP://liens.test/Z', longAddress()];
  for (const [value, shown] of [[z, z], ['javascript:alert(1)', long], [Z, Z], [' https://liens.test/z', long], [z, z],
    [42, long]]) {
    shortURL = value;
    await page.evaluate(() => refreshConfig());
    await until(`${value} → ${shown}`, async () => (await textOf(page, '#student-link')) === shown);
    assert.equal(await page.getAttribute('#student-link', 'href'), shown, String(value));
  }
  await page.close();
});
