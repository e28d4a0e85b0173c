// Helpers of the dashboard's browser tests, over harness.js.
import assert from 'node:assert/strict';
import { mkdir, writeFile } from 'node:fs/promises';
import { request } from 'node:http';
import path from 'node:path';
import { after, before } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { openBrowser, startClassroom } from './harness.js';

// One classroom (startClassroom(options)) and one browser for the tests of a file, handed to
// `use(room, browser)` once started; both end after the file's last test.
export function classroomForFile(options, use) {
  let room;
  let browser;
  before(async () => { room = await startClassroom(options); browser = await openBrowser(); await use(room, browser); });
  after(async () => { await browser?.close(); await room?.stop(); });
}

// A page of its own (empty storage) that records the paths it requests and the texts of its
// dialogs (accepted), with the Markdown renderer's CDN cut off as on a network without internet.
export async function dashboardPage(browser, options = {}) {
  const page = await browser.newPage(options);
  await page.route('https://cdn.jsdelivr.net/**', (route) => route.abort());
  page.dialogs = [];
  page.on('dialog', (dialog) => { page.dialogs.push(dialog.message()); dialog.accept(); });
  page.paths = [];
  page.on('request', (request) => page.paths.push(new URL(request.url()).pathname));
  return page;
}

// Opens the dashboard with the PIN in the address and waits for the login to open it.
export async function openLoggedIn(page, room, pin = room.teacherPin) {
  await page.goto(room.url('/teacher#pin=' + pin));
  await page.locator('#teacher-pin-overlay').waitFor({ state: 'hidden' });
}

// Retries `check` every 100 ms until it returns a truthy value (given back); fails after ~15 s.
export async function until(what, check, tries = 150) {
  for (let i = 0; i < tries; i++) {
    const value = await check();
    if (value) return value;
    await sleep(100);
  }
  assert.fail('still waiting for ' + what);
}

export const textOf = (page, selector) => page.locator(selector).textContent();
export const visible = (page, selector) => page.locator(selector).isVisible();
export const stored = (page, key) => page.evaluate((k) => localStorage.getItem(k), key);
export const count = (page, route) => page.paths.filter((p) => p === route).length;

// The classroom's configuration as the dashboard reads it.
export const config = (room) => room.api('/api/config');

// Posts a student question from 127.0.0.1, as the student page does.
export const ask = (room, text, name = 'Anonyme') => room.api('/api/log', { type: 'question', text, name });

// Posts a student question from another loopback address (127.0.0.N), as another student's device.
export const askFrom = (room, n, text, name) => new Promise((resolve, reject) => {
  const body = JSON.stringify({ type: 'question', text, name });
  const post = request({ host: '127.0.0.1', port: room.port, localAddress: `127.0.0.${n}`, method: 'POST', path: '/api/log',
    headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) } }, (reply) => reply.resume().on('end', resolve));
  post.on('error', reject);
  post.end(body);
});

// A `prepare` of startClassroom for the establishment mode with these teachers.
export const establishment = (teachers) => async (home) => {
  const folder = path.join(home, 'Documents', 'Klarion_Config');
  await mkdir(folder, { recursive: true });
  await writeFile(path.join(folder, 'mode.json'), JSON.stringify({ mode: 'establishment' }));
  await writeFile(path.join(folder, 'teachers.json'), JSON.stringify(teachers));
};

// Logs a teacher in on the establishment login screen (the PIN typed, then "Se connecter").
export async function loginAs(page, room, teacher, pin = teacher.pin) {
  await page.goto(room.url('/teacher'));
  await page.locator('#teacher-select option[value="' + teacher.id + '"]').waitFor({ state: 'attached' });
  await page.selectOption('#teacher-select', teacher.id);
  await page.fill('#t-pin-6', pin);
  await page.click('text=Se connecter');
}
