// The page in a real browser (Debian's chromium, driven by playwright-core) against a dashboard
// with a nodesim of its own, checked against what the simulated pins did (nodesim's trace).
//
// Environment: DASHBOARD and NODESIM (the programs), ARTIFACTS (where the screenshot goes).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, writeFileSync, readFileSync, mkdirSync, existsSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const here = new URL('.', import.meta.url).pathname;
const DASHBOARD = process.env.DASHBOARD ?? join(here, '../../../build/dashboard/dashboard');
const NODESIM = process.env.NODESIM ?? join(here, '../../../build/host/Tools/nodesim/nodesim');
const ARTIFACTS = process.env.ARTIFACTS ?? join(here, '../../../build/dashboard/artifacts');

// Five virtual seconds to a wall second: a report cycle (4.82 s) in under a second.
const SPEED = 5;
const CYCLE = 4.82;
const TEMPERATURE = 25.0625;   // a DS18B20 step (1/16 degree); the report rounds it to one decimal
const SENSOR_GONE_AT = 90;     // virtual seconds: from then on every reading fails

const work = mkdtempSync(join(tmpdir(), 'dashboard-browser-'));
const tracePath = join(work, 'trace.jsonl');
let dashboard, context, page, url;
const dashboardOutput = [];

function startDashboard() {
  const scenario = join(work, 'scenario.txt');
  writeFileSync(scenario, `0 temp ${TEMPERATURE}\n${SENSOR_GONE_AT} sensor absent\n`);
  dashboard = spawn(DASHBOARD, ['--nodesim', NODESIM, '--listen', '127.0.0.1:0', '--speed', String(SPEED),
                                '--db', join(work, 'history.sqlite'),
                                '--', '--scenario', scenario, '--trace', tracePath],
                    { stdio: ['ignore', 'pipe', 'pipe'] });
  dashboard.stderr.on('data', (d) => dashboardOutput.push(d.toString()));
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`no URL from the dashboard:\n${dashboardOutput.join('')}`)), 20000);
    dashboard.stdout.on('data', (d) => {
      text += d.toString();
      const m = text.match(/dashboard: open (http:\/\/\S+)/);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
    dashboard.on('exit', (code) => reject(new Error(`dashboard exited (${code}):\n${dashboardOutput.join('')}`)));
  });
}

function stopDashboard() {
  if (!dashboard || dashboard.exitCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    dashboard.on('exit', resolve);
    dashboard.kill('SIGTERM');   // it ends its nodesim, which writes out the trace
  });
}

// The trace's lines, and the virtual time at which the peer finished sending `frame`.
function readTrace() {
  return readFileSync(tracePath, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
}
function frameEnd(trace, frame) {
  const rx = trace.filter((e) => e.kind === 'rx');
  const text = rx.map((e) => String.fromCharCode(e.byte)).join('');
  const at = text.lastIndexOf(frame);
  assert.ok(at >= 0, `the node never received ${frame}; it received ${JSON.stringify(text)}`);
  return rx[at + frame.length - 1].t;
}

before(async () => {
  for (const p of [DASHBOARD, NODESIM, '/usr/bin/chromium'])
    assert.ok(existsSync(p), `${p} is missing (build it, or apt-get install chromium)`);
  url = await startDashboard();
  // Chromium from Debian; the flags keep it from reaching out to a network this machine lacks.
  context = await chromium.launchPersistentContext(join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1200, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  page = context.pages()[0] ?? await context.newPage();
  await page.goto(url);
});

after(async () => {
  await context?.close();
  await stopDashboard();
  rmSync(work, { recursive: true, force: true });
});

test('the simulated node on the page: temperature, commands, a failed reading', { timeout: 180000 }, async (t) => {
  await t.test('shows the temperature as the node reports it and the link as connected', async () => {
    await page.locator('#link[data-connected="true"]').waitFor({ timeout: 20000 });
    await page.waitForFunction((want) => document.getElementById('temperature').textContent === want,
                               TEMPERATURE.toFixed(1), { timeout: 20000 });
    assert.equal(await page.locator('#stale').isHidden(), true);
    assert.match(await page.locator('#switch').textContent(), /off/);
    assert.match(await page.locator('#age').textContent(), /s ago/);
  });

  await t.test('the chart comes from the stored history, by hour, day or week, and downloads', async () => {
    await page.locator('#history-store', { hasText: /History kept in .*history\.sqlite/ }).waitFor({ timeout: 10000 });
    await page.click('button.span[data-span="86400"]');
    assert.equal(await page.locator('button.span[data-span="86400"]').getAttribute('aria-pressed'), 'true');
    const href = await page.locator('#csv').getAttribute('href');
    assert.match(href, /^\/history\.csv\?from=\d+$/);
    const csv = await page.evaluate(async (h) => (await fetch(h)).text(), href);
    assert.match(csv, /^time_utc,unix_seconds,direction,kind,frame,celsius,source\n/);
    assert.match(csv, /,rx,temperature,!A00=25\.1\$,25\.1,\n/);
    await page.click('button.span[data-span="3600"]');
  });

  await t.test('LED off, on and PWM 75 % go out with visible feedback', async () => {
    // The LED pin is low from reset (LED on): switch it off first so that "on" is a visible edge.
    await page.click('#led-off');
    await page.locator('#led-feedback', { hasText: /sent V00=0 at/ }).waitFor({ timeout: 20000 });
    assert.equal(await page.locator('#led').textContent(), 'off');
    await page.click('#led-on');
    await page.locator('#led-feedback', { hasText: /sent V00=1 at \d\d:\d\d:\d\d/ }).waitFor({ timeout: 20000 });
    assert.equal(await page.locator('#led').textContent(), 'on');
    await page.locator('#pwm-slider').fill('75');
    await page.locator('#pwm-feedback', { hasText: /sent V01=75\$ at/ }).waitFor({ timeout: 30000 });
    assert.equal(await page.locator('#pwm').textContent(), '75 %');
    const log = await page.locator('#log').textContent();
    assert.match(log, /→ V00=1/);
    assert.match(log, /→ V01=75\$/);
    assert.match(log, /← !A00=25\.1\$/);
  });

  await t.test('a failed reading leaves the last good value on the page, marked stale', async () => {
    await page.locator('#stale').waitFor({ state: 'visible', timeout: 60000 });
    assert.equal(await page.locator('#temperature').textContent(), TEMPERATURE.toFixed(1));
    assert.ok(await page.locator('.temperature.is-stale').count() === 1);
    mkdirSync(ARTIFACTS, { recursive: true });
    await page.screenshot({ path: join(ARTIFACTS, 'dashboard.png'), fullPage: true });
  });

  await t.test('the simulated pins followed the commands within one report cycle', async () => {
    await stopDashboard();
    const trace = readTrace();
    const pinAfter = (frame, level) => {
      const sent = frameEnd(trace, frame);
      const edge = trace.find((e) => e.kind === 'pin' && e.pin === 'C13' && e.level === level && e.t > sent);
      assert.ok(edge, `C13 never went to ${level} after ${frame}`);
      assert.ok(edge.t - sent <= CYCLE, `C13 went to ${level} ${edge.t - sent} s after ${frame}`);
    };
    pinAfter('V00=0', 1);
    pinAfter('V00=1', 0);

    const pwmSent = frameEnd(trace, 'V01=75$');
    const duty = trace.find((e) => e.kind === 'pwm' && e.t > pwmSent && e.period_us > 0 &&
                                   Math.abs(e.high_us / e.period_us - 0.75) < 0.001);
    assert.ok(duty, `no 75 % duty on A0 after V01=75$: ${JSON.stringify(trace.filter((e) => e.kind === 'pwm'))}`);
    assert.ok(duty.t - pwmSent <= CYCLE, `75 % duty came ${duty.t - pwmSent} s after V01=75$`);
  });
});

// The page's address, once the dashboard started as `other` prints it.
function pageAddress(other) {
  return new Promise((resolve, reject) => {
    let text = '';
    other.stdout.on('data', (d) => {
      text += d.toString();
      const m = text.match(/dashboard: open (http:\/\/\S+)/);
      if (m) resolve(m[1]);
    });
    other.on('exit', (code) => reject(new Error(`dashboard exited (${code})`)));
  });
}

test('a device that cannot be opened is named on the page, and commands wait for it', { timeout: 60000 }, async () => {
  const missing = join(work, 'ttyUSB-unplugged');
  const other = spawn(DASHBOARD, ['--device', missing, '--listen', '127.0.0.1:0', '--db', ':memory:'], { stdio: ['ignore', 'pipe', 'pipe'] });
  try {
    const address = await pageAddress(other);
    const tab = await context.newPage();
    await tab.goto(address);
    const banner = tab.locator('#banner');
    await banner.waitFor({ state: 'visible', timeout: 10000 });
    assert.match(await banner.textContent(), new RegExp(`cannot open ${missing}: No such file`));
    assert.equal(await tab.locator('#link').getAttribute('data-connected'), 'false');
    await tab.click('#led-on');
    await tab.locator('#led-feedback', { hasText: 'waiting for the node: V00=1' }).waitFor({ timeout: 10000 });
    await tab.close();
  } finally {
    other.kill('SIGTERM');
  }
});

test('a device at the wrong baud rate: the page stays alive and says what is probably wrong', { timeout: 60000 }, async () => {
  // A node on the far end of a socket that sends a reading no sensor can give, then what a wrong
  // baud rate gives (bytes 0x80-0xFF, 256 kB).
  const net = await import('node:net');
  const noise = Buffer.alloc(256 * 1024, 0);
  for (let i = 0; i < noise.length; ++i) noise[i] = 0x80 + ((i * 37) % 0x80);
  const node = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.write('!A00=-999999.9$!A01=0$', () => socket.write(noise));
  });
  await new Promise((resolve) => node.listen(0, '127.0.0.1', resolve));
  const other = spawn(DASHBOARD, ['--tcp', `127.0.0.1:${node.address().port}`, '--listen', '127.0.0.1:0', '--db', ':memory:'],
                      { stdio: ['ignore', 'pipe', 'pipe'] });
  try {
    const address = await pageAddress(other);
    const tab = await context.newPage();
    await tab.goto(address);
    await tab.locator('#invalid').waitFor({ state: 'visible', timeout: 20000 });
    await tab.locator('#line-warning').waitFor({ state: 'visible', timeout: 20000 });
    assert.match(await tab.locator('#line-warning').textContent(), /line noise or a wrong baud rate\?/);
    // The link shows connected once the page has the dashboard's state (read once, it was not yet, at
    // times, on a fresh machine's first run).
    await tab.locator('#link[data-connected="true"]').waitFor({ timeout: 20000 });
    // On a loaded machine the page may miss a beat and say so for a moment; a page that the noise killed
    // keeps saying it.
    await tab.locator('#banner').waitFor({ state: 'hidden', timeout: 20000 });
    assert.equal(await tab.locator('#temperature').textContent(), '-999999.9');
    assert.ok(await tab.locator('.temperature.is-invalid').count() === 1);
    mkdirSync(ARTIFACTS, { recursive: true });
    await tab.screenshot({ path: join(ARTIFACTS, 'dashboard-line-noise.png'), fullPage: true });
    await tab.close();
  } finally {
    other.kill('SIGTERM');
    node.close();
  }
});
