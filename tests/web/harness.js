// Shared helper of the browser tests (node --test, playwright-core, Debian's chromium).
//
//   import { before, after, test } from 'node:test';
//   import { startClassroom, openBrowser, screenshot } from './harness.js';
//
//   let room, browser;
//   before(async () => { room = await startClassroom(); browser = await openBrowser(); });
//   after(async () => { await browser?.close(); await room?.stop(); });
//
//   test('...', async () => {
//     const page = await browser.newPage();            // a context of its own: empty storage
//     await page.goto(room.url('/'));                  // through the LAN-like name
//     await room.lm('/control/reply', { pieces: ['Bonjour'] });
//     const students = await room.api('/api/students', { pin: room.teacherPin });
//     await screenshot(page, 'student-light');         // <build>/screenshots/student-light.png
//   });
//
// startClassroom(options) starts the fake LM Studio program (fake-lmstudio) and the test server
// program (klarion-test-server) on free loopback ports, with HOME and the XDG folders in a fresh
// scratch folder. options.resources names the page folder (default <build>/resources). It
// returns a room:
//   room.port, room.teacherPin, room.home     the server's port, teacher PIN and scratch folder
//   room.url(path, host)   "http://" + host + ":" + port + path; host defaults to HOSTS[0]
//   room.api(path, body)   the classroom server on 127.0.0.1: GET without a body, else a JSON
//                          POST; resolves to the parsed JSON reply (text when it is not JSON)
//   room.lm(path, body)    the fake LM Studio's control port, same form (control paths are
//                          listed in tests/support/fake_lmstudio_control.h)
//   room.restart()         stops the test server and starts it again on the same port with the
//                          same scratch folder (a new teacher PIN in the individual mode)
//   room.stop()            SIGTERM to both programs, waits for them, removes the scratch folder
//
// options.prepare(home), when given, runs before the test server starts (to write the
// configuration files of the establishment mode into home/Documents/Klarion_Config).
//
// openBrowser() launches chromium headless with a fresh profile; HOSTS are names that the
// browser alone resolves to loopback addresses (HOSTS[0] to 127.0.0.1, HOSTS[1] to ::1: a
// second client address for the server), so that a page opened through them is not a secure
// context, as on the school network. browser.newPage(options) gives a page in a context
// of its own (empty storage; viewport, colorScheme ... as playwright takes them).
//
// Programs are taken from the build folder: $KLARION_BUILD_DIR (relative to the repository)
// or build/. KLARION_CHROMIUM overrides /usr/bin/chromium.
import { spawn } from 'node:child_process';
import { mkdtemp, mkdir, rm } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const buildDir = path.resolve(repoRoot, process.env.KLARION_BUILD_DIR || 'build');
export const HOSTS = ['salle-12.klarion', 'poste-2.klarion'];
const HOST_RULES = `MAP ${HOSTS[0]} 127.0.0.1, MAP ${HOSTS[1]} [::1]`;

// Starts `program args`, resolves once every pattern has matched its standard output (each
// pattern's first group is collected), rejects when the program ends first or after 30 s.
export function launch(program, args, env, patterns) {
  const child = spawn(program, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  const done = new Promise((resolve) => child.once('exit', resolve));
  const ready = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${program}: no start in 30 s\n${out}${err}`)), 30000);
    const check = () => {
      const found = patterns.map((p) => out.match(p)?.[1]);
      if (found.every(Boolean)) {
        clearTimeout(timer);
        resolve(found);
      }
    };
    child.stdout.on('data', (d) => { out += d; check(); });
    child.stderr.on('data', (d) => { err += d; });
    child.once('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`${program} ended (${code}) before it listened\n${out}${err}`));
    });
  });
  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
    await done;
    clearTimeout(timer);
  };
  return { ready, stop };
}

async function call(base, route, body) {
  const init = body === undefined ? {} : {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  };
  const reply = await fetch(base + route, init);
  const text = await reply.text();
  try { return JSON.parse(text); } catch { return text; }
}

export async function startClassroom(options = {}) {
  const home = await mkdtemp(path.join(tmpdir(), 'klarion-web-'));
  const env = {
    PATH: process.env.PATH, HOME: home, TZ: 'Europe/Paris', LANG: 'C.UTF-8',
    XDG_CONFIG_HOME: path.join(home, '.config'), XDG_DATA_HOME: path.join(home, '.local/share'),
  };
  const support = path.join(buildDir, 'tests/support');
  const fake = launch(path.join(support, 'fake-lmstudio'), [], env, [/listening on (\d+)/, /control on (\d+)/]);
  let server;
  try {
    const [lmPort, controlPort] = await fake.ready;
    if (options.prepare) await options.prepare(home);
    const startServer = (port) => launch(path.join(support, 'klarion-test-server'),
      ['--port', String(port), '--lmstudio', `http://127.0.0.1:${lmPort}`,
        '--resources', options.resources || path.join(buildDir, 'resources')],
      env, [/listening on (\d+)/, /teacher PIN (\d+)/]);
    server = startServer(0);
    const [port, teacherPin] = await server.ready;
    const room = {
      port: Number(port), teacherPin, home,
      restart: async () => {
        await server.stop();
        server = startServer(port);
        [, room.teacherPin] = await server.ready;
      },
      url: (route = '/', host = HOSTS[0]) => `http://${host}:${port}${route}`,
      api: (route, body) => call(`http://127.0.0.1:${port}`, route, body),
      lm: (route, body) => call(`http://127.0.0.1:${controlPort}`, route, body),
      stop: async () => {
        await Promise.all([server.stop(), fake.stop()]);
        await rm(home, { recursive: true, force: true });
      },
    };
    return room;
  } catch (error) {
    await Promise.all([server?.stop(), fake.stop()]);
    await rm(home, { recursive: true, force: true });
    throw error;
  }
}

export async function openBrowser() {
  // playwright gives every launch a fresh temporary profile (--user-data-dir) of its own.
  return chromium.launch({
    executablePath: process.env.KLARION_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--no-proxy-server', `--host-resolver-rules=${HOST_RULES}`],
  });
}

// Writes the page's picture to <build>/screenshots/NAME.png for review; returns its path.
export async function screenshot(page, name, options = {}) {
  const folder = path.join(buildDir, 'screenshots');
  await mkdir(folder, { recursive: true });
  const file = path.join(folder, `${name}.png`);
  await page.screenshot({ path: file, ...options });
  return file;
}
