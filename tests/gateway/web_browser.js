// The status page in Debian's chromium (headless), driven by puppeteer-core:
// node web_browser.js URL SIM_CONTROL_SOCKET SCREENSHOT. Prints
// "browser: ok" when every check holds, else what failed.
'use strict';
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

const [url, controlPath, screenshot] = process.argv.slice(2);

// One command to the simulator's control socket, its one-line answer.
function control(command) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ path: controlPath }, () => socket.write(command + '\n'));
    let answer = '';
    socket.setTimeout(5000, () => { socket.destroy(); reject(new Error('control: no answer')); });
    socket.on('data', d => {
      answer += d;
      if (answer.includes('\n')) { socket.end(); resolve(answer.trim()); }
    });
    socket.on('error', reject);
  });
}

const valueOf = 'tr[data-point="holding 0"] td.value';

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tiway-web-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--no-first-run',
           '--user-data-dir=' + profile],
  });
  const problems = [];
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1200, height: 900 });
    const origin = new URL(url).origin;
    page.on('console', m => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
    page.on('pageerror', e => problems.push('page error: ' + e.message));
    page.on('request', r => {
      if (new URL(r.url()).origin !== origin) problems.push('request outside: ' + r.url());
    });
    await page.goto(url, { waitUntil: 'load', timeout: 15000 });
    // Values equal to the simulator's memory.
    const dump = await control('dump 05 V 0064 2');  // "ok 0017 2710"
    const words = dump.split(' ').slice(1).map(h => parseInt(h, 16));
    await page.waitForFunction(
        (s, v) => document.querySelector(s) && document.querySelector(s).textContent === String(v),
        { timeout: 10000 }, valueOf, words[0]);
    const second = await page.$eval('tr[data-point="holding 1"] td.value', td => td.textContent);
    if (second !== String(words[1])) problems.push('holding 1 shows ' + second + ', not ' + words[1]);
    // A change within two seconds, without a reload.
    await page.evaluate(() => { window.notReloaded = true; });
    await control('set 05 V 0064 0099');
    await page.waitForFunction(
        s => document.querySelector(s) && document.querySelector(s).textContent === '153',
        { timeout: 2000 }, valueOf);
    if (!(await page.evaluate(() => window.notReloaded === true))) problems.push('page reloaded');
    // A few trend samples, then the picture for the docs.
    await page.waitForFunction(() => document.querySelectorAll('canvas').length > 0,
                               { timeout: 5000 });
    await page.screenshot({ path: screenshot, fullPage: true });
    // Silenced: the points are not good, with the reason.
    await control('fault silence@read 1000000');
    await page.waitForFunction(
        () => {
          const q = document.querySelector('tr[data-point="holding 0"] td.quality');
          return q && q.dataset.good === 'false' && /no reply|line north is/.test(q.textContent);
        },
        { timeout: 30000 });
  } catch (e) {
    problems.push(String(e));
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(problems.length === 0 ? 'browser: ok' : 'browser: ' + problems.join('\nbrowser: '));
})();
