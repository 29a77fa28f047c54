// The sample panel in a real browser on a phone-sized screen, against the
// built program in a folder of its own, pressing keys on a private X server
// where an X client of ours reports them.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

function skip(why) {
  console.log(`SKIP: ${why}`);
  process.exit(77);
}
let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch {
  skip('playwright-core is not installed: scripts/test.sh puts it in build/browser (npm ci)');
}
for (const [file, pkg] of [['/usr/bin/chromium', 'chromium'], ['/usr/bin/Xvfb', 'xvfb']])
  if (!fs.existsSync(file)) skip(`${file} is missing (Debian package ${pkg})`);

const children = [];
process.on('exit', () => children.forEach((child) => child.kill('SIGKILL')));

// A child whose output lines are kept; waitFor resolves once a line matches.
function start(command, args, options) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe', 'pipe'], ...options });
  children.push(child);
  child.lines = [];
  const waiting = new Set();
  const take = (chunk) => {
    child.lines.push(...chunk.toString().split('\n').filter(Boolean));
    waiting.forEach((check) => check());
  };
  [child.stdout, child.stderr, child.stdio[3]].forEach((stream) => stream.on('data', take));
  child.waitFor = (match, what = String(match), ms = 10000) =>
    new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        waiting.delete(check);
        reject(new Error(`${command}: no ${what} within ${ms} ms; it said:\n${child.lines.join('\n')}`));
      }, ms);
      function check() {
        const found = match(child.lines);
        if (found === undefined) return;
        clearTimeout(timer);
        waiting.delete(check);
        resolve(found);
      }
      waiting.add(check);
      check();
    });
  return child;
}

const listen = (server, host) =>
  new Promise((resolve) => server.listen(0, host, () => resolve(server.address().port)));
const stop = (child) =>
  new Promise((resolve) => (child.exitCode !== null ? resolve() : child.on('exit', resolve).kill()));
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vanterel-browser-'));
let program, xkeys, xvfb, otherSite, context, page, base, otherBase;
let seen = 0; // key events already looked at

// The key events since the last call, through the first that reads last,
// as {time, text}.
async function keysThrough(last) {
  const keys = (lines) => lines.filter((line) => /^\d+ (down|up) /.test(line)).slice(seen);
  const events = await xkeys.waitFor((lines) => {
    const through = keys(lines).findIndex((line) => line.endsWith(` ${last}`));
    return through < 0 ? undefined : keys(lines).slice(0, through + 1);
  }, `"${last}"`);
  seen += events.length;
  return events.map((line) => ({ time: Number(line.split(' ')[0]), text: line.replace(/^\d+ /, '') }));
}

before(async () => {
  xvfb = start('Xvfb', ['-displayfd', '3', '-nolisten', 'tcp', '-screen', '0', '320x240x24']);
  const display = `:${await xvfb.waitFor((lines) => lines.find((l) => /^\d+$/.test(l)), 'display number')}`;
  xkeys = start(process.env.XKEYS, [], { env: { ...process.env, DISPLAY: display } });
  await xkeys.waitFor((lines) => lines.find((l) => l === 'ready'), 'focused window');

  // The program as a user has it: beside its keys.dat (the sample bindings on
  // a free port) and the sample panel.
  const probe = net.createServer();
  const port = await listen(probe, '127.0.0.1');
  probe.close();
  fs.cpSync(path.join(process.env.SOURCES, 'htdocs'), path.join(dir, 'htdocs'), { recursive: true });
  const sample = fs.readFileSync(path.join(process.env.SOURCES, 'keys.sample.dat'), 'latin1');
  fs.writeFileSync(path.join(dir, 'keys.dat'), sample.replace(/^PORT\x1e\d+/m, `PORT\x1e${port}`), 'latin1');
  fs.copyFileSync(process.env.VANTEREL, path.join(dir, 'vanterel'));
  fs.chmodSync(path.join(dir, 'vanterel'), 0o755);
  const env = { ...process.env, DISPLAY: display, QT_QPA_PLATFORM: 'offscreen' };
  delete env.QT_LOGGING_RULES;
  program = start(path.join(dir, 'vanterel'), [], { cwd: dir, env });
  await program.waitFor((lines) => lines.find((l) => l.includes('Key presses through')), 'key backend line');
  const said = program.lines.join('\n');
  assert.ok(said.includes('Server listening on address '), said);
  assert.ok(said.includes('Key presses through XTest'), said);
  base = `http://127.0.0.1:${port}/`;

  // Another site: another address and port, a page that embeds a command.
  otherSite = http.createServer((request, response) => {
    response.setHeader('Content-Type', 'text/html');
    response.end(`<!DOCTYPE html><img src="${base}?FIRE">`);
  });
  otherBase = `http://127.0.0.2:${await listen(otherSite, '127.0.0.2')}/`;

  const headless = { ...process.env };
  delete headless.DISPLAY;
  context = await chromium.launchPersistentContext(path.join(dir, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
    env: headless,
    viewport: { width: 390, height: 844 },
    deviceScaleFactor: 3,
    isMobile: true,
    hasTouch: true,
  });
  page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(10000);
});

after(async () => {
  await context?.close();
  otherSite?.close();
  await Promise.all(children.map(stop)); // the program saves keys.dat as it goes
  fs.rmSync(dir, { recursive: true, force: true });
});

test('a tap on FIRE presses Ctrl+A', async () => {
  await page.goto(`${base}index.htm`);
  await page.tap('a.fire');
  const keys = await keysThrough('up 37 Ctrl');
  assert.deepStrictEqual(keys.map((k) => k.text), ['down 37', 'down 38 Ctrl', 'up 38 Ctrl', 'up 37 Ctrl']);
});

let brakes; // key events of the hold
test('a finger held on BRAKES for 300 ms sends +BRAKES, then -BRAKES once', async () => {
  await page.goto(`${base}index.htm`);
  const box = await page.locator('a[data-hold="BRAKES"]').boundingBox();
  const finger = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  const touch = await context.newCDPSession(page);
  await touch.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [finger] });
  await new Promise((resolve) => setTimeout(resolve, 300)); // the hold itself
  await touch.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
  const commands = (lines) =>
    lines.filter((l) => /Recieved command [-+]BRAKES$/.test(l)).map((l) => l.slice(-7));
  await program.waitFor((lines) => (commands(lines).length >= 2 ? true : undefined), '+BRAKES and -BRAKES');
  await page.goto(`${base}index.htm?GEARUP`); // G: a second -BRAKES, and B, would come before it
  await program.waitFor((lines) => lines.find((l) => l.includes('Recieved command GEARUP')));
  assert.deepStrictEqual(commands(program.lines), ['+BRAKES', '-BRAKES']);
  brakes = (await keysThrough('up 42')).slice(0, -2);
});

test('and B is down for as long', () => {
  assert.deepStrictEqual(brakes.map((k) => k.text), ['down 56', 'up 56']);
  const [down, up] = brakes;
  assert.ok(up.time - down.time >= 250, `B was down for ${up.time - down.time} ms`);
});

test('a page of another site cannot press FIRE', async () => {
  await page.goto(otherBase); // loads once its picture, the command, has been asked for
  await page.goto(`${base}index.htm?GEARUP`); // G: whatever FIRE pressed would come before it
  await program.waitFor((lines) => lines.find((l) => l.includes('Recieved command GEARUP')));
  const refused = program.lines.some((l) => l.includes('Refused command FIRE from another site'));
  assert.ok(refused, 'no refusal logged');
  assert.deepStrictEqual((await keysThrough('up 42')).map((k) => k.text), ['down 42', 'up 42']);
});
