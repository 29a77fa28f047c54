// The sample panel in a real browser on a phone-sized screen, against the built program in a folder of its
// own, pressing keys on a private X server where an X client of ours (xkeys) reports them.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const skip = (why) => { console.log(`SKIP: ${why}`); process.exit(77); };
let chromium;
try { ({ chromium } = require('playwright-core')); } catch { skip('playwright-core: see scripts/test.sh'); }
for (const [file, pkg] of [['/usr/bin/chromium', 'chromium'], ['/usr/bin/Xvfb', 'xvfb']])
  if (!fs.existsSync(file)) skip(`${file} is missing (Debian package ${pkg})`);

const children = [];
process.on('exit', () => children.forEach((child) => child.kill('SIGKILL')));
// A child whose output lines are kept whole; until(match) polls them until match answers, not undefined.
function start(command, args, env) {
  const child = spawn(command, args, { env, stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
  children.push(Object.assign(child, { lines: [] }));
  [child.stdout, child.stderr, child.stdio[3]].forEach((input) =>
    require('node:readline').createInterface({ input }).on('line', (line) => line && child.lines.push(line)));
  child.until = (match, deadline = Date.now() + 10000) => new Promise((resolve, reject) => {
    const poll = setInterval(() => {
      const found = match(child.lines);
      if (found !== undefined) resolve(found, clearInterval(poll));
      else if (Date.now() > deadline)
        reject(new Error(`${command}: no ${match}\n${child.lines.join('\n')}`), clearInterval(poll));
    }, 10);
  });
  return child;
}
const listen = (s, host) => new Promise((done) => s.listen(0, host, () => done(s.address().port)));
const dir = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'vanterel-browser-'));
let program, xkeys, otherSite, context, page, base, seen = 0; // seen: key events already looked at

// Presses GEARUP (G, X key code 42) from a page of the program: the key events before G, as {time, text}.
async function keysBeforeGearUp() {
  if (!page.url().startsWith(base)) await page.goto(`${base}index.htm`);
  await page.evaluate(() => fetch('index.htm?GEARUP'));
  const gUp = (lines) => lines.findIndex((line, i) => i > seen && line.endsWith(' up 42'));
  const end = await xkeys.until((lines) => gUp(lines) + 1 || undefined);
  const events = xkeys.lines.slice(seen + 1, end - 2); // line 0 is "ready"
  seen = end - 1;
  return events.map((line) => ({ time: Number(line.split(' ')[0]), text: line.replace(/^\d+ /, '') }));
}

before(async () => {
  const xvfb = start('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-screen', '0', '320x240x24']);
  const display = `:${await xvfb.until((lines) => lines.find((l) => /^\d+$/.test(l)))}`;
  xkeys = start(process.env.XKEYS, [], { ...process.env, DISPLAY: display });
  await xkeys.until((lines) => lines.find((l) => l === 'ready'));
  // The program as a user has it: the sample panel and its bindings, on a free port.
  const probe = http.createServer();
  const port = await listen(probe, '127.0.0.1').finally(() => probe.close());
  fs.cpSync(path.join(process.env.SOURCES, 'htdocs'), path.join(dir, 'htdocs'), { recursive: true });
  const sample = fs.readFileSync(path.join(process.env.SOURCES, 'keys.sample.dat'), 'latin1');
  // A name of the user's for this machine: the browser reaches it by name, as on a network, not at
  // 127.0.0.1, to which it sends more than to an ordinary http origin.
  const dat = sample.replace(/^PORT\x1e\d+/m, `PORT\x1e${port}\r\nHOSTS\x1epanel.test`);
  fs.writeFileSync(path.join(dir, 'keys.dat'), dat, 'latin1');
  fs.copyFileSync(process.env.VANTEREL, path.join(dir, 'vanterel'));
  const env = { ...process.env, DISPLAY: display, QT_QPA_PLATFORM: 'offscreen', QT_LOGGING_RULES: '' };
  program = start(path.join(dir, 'vanterel'), [], env);
  await program.until((lines) => lines.find((l) => l.includes('Key presses through XTest')));
  base = `http://panel.test:${port}/`;
  // Another site, at another name: every way a page can name a command, each at a path of its own.
  otherSite = http.createServer((req, res) => res.end(`<!DOCTYPE html>
    <img src="${base}img?FIRE"><img referrerpolicy="no-referrer" src="${base}no-referrer?FIRE">
    <iframe src="${base}frame?FIRE"></iframe><a rel="noreferrer" href="${base}index.htm?FIRE">x</a>
    <script>fetch('${base}fetch?FIRE', { mode: 'no-cors' })</script>`));
  otherSite.url = `http://evil.test:${await listen(otherSite, '127.0.0.1')}/`;
  const { DISPLAY, ...headless } = process.env; // the browser needs no X server
  context = await chromium.launchPersistentContext(path.join(dir, 'profile'), {
    executablePath: '/usr/bin/chromium', env: headless, viewport: { width: 390, height: 844 }, isMobile: true,
    hasTouch: true, deviceScaleFactor: 3, args: ['--no-sandbox', '--disable-gpu', '--no-first-run',
      '--host-resolver-rules=MAP panel.test 127.0.0.1, MAP evil.test 127.0.0.1'],
  });
  page = context.pages()[0] || (await context.newPage());
});

after(async () => {
  await context?.close(), otherSite?.close();
  await Promise.all(children.map((c) => c.exitCode ?? new Promise((done) => c.on('exit', done).kill())));
  fs.rmSync(dir, { recursive: true, force: true });
});

test('a tap on FIRE goes over the live channel, is answered there and presses Ctrl+A', async () => {
  await page.goto(`${base}index.htm`);
  await page.waitForFunction(() => document.documentElement.classList.contains('live-up'));
  await Promise.all([page.waitForSelector('a.fire.sent'), page.tap('a.fire')]); // the answer's flash
  assert.ok(page.url().endsWith('/index.htm'), `${page.url()}: the tap loaded a page`);
  const keys = (await keysBeforeGearUp()).map((k) => k.text);
  assert.deepStrictEqual(keys, ['down 37', 'down 38 Ctrl', 'up 38 Ctrl', 'up 37 Ctrl']);
});

test('a finger on BRAKES for 300 ms holds B down as long', async () => {
  await page.goto(`${base}index.htm`);
  const box = await page.locator('a[data-hold="BRAKES"]').boundingBox();
  const touch = await context.newCDPSession(page);
  const finger = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  await touch.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [finger] });
  await new Promise((resolve) => setTimeout(resolve, 300)); // the hold itself
  await touch.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
  await program.until((lines) => lines.find((l) => l.endsWith('command -BRAKES')));
  const [down, up, ...more] = await keysBeforeGearUp();
  assert.deepStrictEqual([down.text, up.text, more], ['down 56', 'up 56', []]);
  assert.ok(up.time - down.time >= 250, `B was down for ${up.time - down.time} ms`);
});

test('pages of another site press nothing: picture, no-referrer, frame, fetch, link, navigation', async () => {
  const reasons = () => program.lines.filter((l) => l.startsWith('Refused command FIRE'));
  const more = (than) => program.until(() => (reasons().length > than ? reasons().length : undefined));
  await page.goto(otherSite.url);
  let seenSoFar = await program.until(() => (reasons().length >= 4 ? reasons().length : undefined));
  await Promise.all([page.waitForURL(/index.htm\?FIRE$/), page.click('a')]); // a link that names no referrer
  seenSoFar = await more(seenSoFar);
  await page.goto(otherSite.url);
  await page.evaluate((url) => { location.href = url; }, `${base}hold.htm?FIRE`); // the page moves the tab
  await page.waitForURL(/hold.htm\?FIRE$/);
  await more(seenSoFar);
  assert.deepStrictEqual(await keysBeforeGearUp(), []);
  const why = "Refused command FIRE: the page that sent it is not one of this server's";
  assert.ok(reasons().every((l) => l === why), reasons().join('\n'));
});

test('a page under a name that is not this machine\'s presses nothing (DNS rebinding)', async () => {
  const rebound = base.replace('panel.test', 'evil.test');
  await page.goto(`${rebound}index.htm`);
  await page.evaluate(() => fetch('index.htm?FIRE'));
  await program.until((lines) => lines.find((l) => l === 'Refused command FIRE: Host evil.test is not this machine'));
  assert.deepStrictEqual(await keysBeforeGearUp(), []);
});

test('the command panel: the search narrows to one, a tap presses it, a long press holds it', async () => {
  const received = (name) => program.lines.filter((l) => l === `Recieved command ${name}`).length;
  await page.goto(`${base}.vanterel/commands`);
  await page.fill('#search', 'fir');
  const shown = page.locator('.command:visible');
  assert.deepStrictEqual(await shown.locator('.name').allTextContents(), ['FIRE']);
  const fired = received('FIRE');
  await shown.tap();
  await program.until(() => (received('FIRE') > fired ? true : undefined));
  const tap = (await keysBeforeGearUp()).map((k) => k.text);
  assert.deepStrictEqual(tap, ['down 37', 'down 38 Ctrl', 'up 38 Ctrl', 'up 37 Ctrl']);

  await page.fill('#search', 'brakes');
  const box = await page.locator('.command:visible').boundingBox();
  const touch = await context.newCDPSession(page);
  const finger = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  await touch.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [finger] });
  await new Promise((resolve) => setTimeout(resolve, 800)); // the long press itself
  await touch.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
  await program.until((lines) => lines.find((l) => l === 'Recieved command -BRAKES'));
  const [down, up, ...more] = await keysBeforeGearUp();
  assert.deepStrictEqual([down.text, up.text, more], ['down 56', 'up 56', []]);
  assert.ok(up.time - down.time >= 250, `B was down for ${up.time - down.time} ms`);
});
