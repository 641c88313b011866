// The venue console in a real browser: Debian's chromium, driven headless by playwright-core (which uses the
// system's browser and downloads none), against kr7-bridge with projectors on pseudo-terminals
// (kr7-projector-sim). Checks what an operator and a viewer see and can do, keyboard use, that no request
// leaves for another host, no console errors, and axe-core's accessibility rules.
//
//   KR7_BRIDGE=... KR7_SIM=... node console.test.mjs [--screenshot FILE]
import {chromium} from 'playwright-core';
import {spawn, execFileSync} from 'node:child_process';
import {mkdtempSync, writeFileSync, readFileSync} from 'node:fs';
import {createServer} from 'node:net';
import {tmpdir} from 'node:os';
import {join, dirname} from 'node:path';
import {createRequire} from 'node:module';
import assert from 'node:assert/strict';

const require = createRequire(import.meta.url);
const dir = mkdtempSync(join(tmpdir(), 'kr7-console-'));
const children = [];
const screenshot = process.argv.includes('--screenshot') ? process.argv[process.argv.indexOf('--screenshot') + 1] : null;
let failures = 0;

async function check(name, body) {
  try {
    await body();
    console.log(`PASS   : ${name}`);
  } catch (e) {
    failures++;
    console.log(`FAIL!  : ${name}\n   ${e.stack || e}`);
  }
}

const freePort = () => new Promise((resolve) => {
  const s = createServer();
  s.listen(0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
});

// A simulated line: the program prints its device path first; --verbose logs every line it receives.
function startSim(units) {
  return new Promise((resolve, reject) => {
    const p = spawn(process.env.KR7_SIM, ['--units', units, '--verbose'], {stdio: ['ignore', 'pipe', 'pipe']});
    children.push(p);
    const sim = {process: p, heard: ''};
    p.stderr.on('data', (d) => { sim.heard += d; });
    p.stdout.once('data', (d) => { sim.device = String(d).split('\n')[0].trim(); resolve(sim); });
    p.once('error', reject);
  });
}

async function startBridge(name, yaml, args = []) {
  const port = await freePort();
  const config = join(dir, `${name}.yaml`);
  writeFileSync(config, `listen: 127.0.0.1:${port}\npoll_interval: 1\noffline_after: 2\n${yaml}`);
  const p = spawn(process.env.KR7_BRIDGE, ['--config', config, ...args], {stdio: ['ignore', 'inherit', 'pipe']});
  children.push(p);
  let said = '';
  p.stderr.on('data', (d) => { said += d; });
  const url = `http://127.0.0.1:${port}`;
  for (let i = 0; i < 100; i++) {
    try { await fetch(`${url}/state`, {headers: {Authorization: 'Basic ' + btoa('x:y')}}); return {url, said: () => said}; }
    catch { await new Promise((r) => setTimeout(r, 100)); }
  }
  throw new Error(`${name} did not start: ${said}`);
}

const until = async (what, test, ms = 10000) => {
  const end = Date.now() + ms;
  for (;;) {
    const v = await test();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out: ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
};

function watch(page, base) {
  const seen = {errors: [], foreign: [], navigations: 0};
  page.on('console', (m) => { if (m.type() === 'error') seen.errors.push(m.text()); });
  page.on('pageerror', (e) => seen.errors.push(String(e)));
  page.on('request', (r) => { if (!r.url().startsWith(base + '/')) seen.foreign.push(r.url()); });
  page.on('framenavigated', (f) => { if (f === page.mainFrame()) seen.navigations++; });
  return seen;
}

const rowText = (page, name) => page.locator(`tr[data-name="${name}"]`).innerText();

try {
  const hall = await startSim('1,2');
  const booth = await startSim('1');
  const box = await startSim('1');
  const operatorBridge = await startBridge('operator',
    `lines:\n  - port: ${hall.device}\n    projectors: [{name: hall-left, unit: 1}, {name: hall-right, unit: 2}]\n` +
    `  - port: ${booth.device}\n    projectors: [{name: booth, unit: 1}]\n`);
  // A viewer's bridge: a web config with one user who is no operator.
  const hash = execFileSync('python3', ['-c',
    'import crypt; print(crypt.crypt("builder", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1024)))']).toString().trim();
  writeFileSync(join(dir, 'web.yml'), `basic_auth_users:\n  bob: '${hash}'\n`);
  const viewerBridge = await startBridge('viewer',
    `lines:\n  - port: ${box.device}\n    projectors: [{name: box, unit: 1}]\n`,
    ['--web.config.file', join(dir, 'web.yml')]);

  const browser = await chromium.launch({executablePath: process.env.KR7_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu']});
  const context = await browser.newContext({viewport: {width: 1366, height: 900}});
  const page = await context.newPage();
  const seen = watch(page, operatorBridge.url);
  await until('every projector read once', async () => {
    const s = await (await fetch(`${operatorBridge.url}/state`)).json();
    return s.every((p) => p.available && p.lamp_hours);
  });
  const started = Date.now();
  await page.goto(operatorBridge.url + '/');
  await page.locator('tr[data-name="booth"]').waitFor();
  const loadMs = Date.now() - started;

  await check('the rows show what the projectors replied', async () => {
    const state = await (await fetch(`${operatorBridge.url}/state`)).json();
    for (const p of state) {
      const text = await rowText(page, p.name);
      assert.ok(text.includes(p.power_status), `${p.name}: ${p.power_status} in ${text}`);
      assert.ok(text.includes(`${p.lamp_hours[0]} h`), `${p.name}: lamp hours ${p.lamp_hours[0]} in ${text}`);
      assert.ok(text.includes(`${p.temperature[0]} °C`), `${p.name}: temperature in ${text}`);
      assert.ok(text.includes('available'), text);
    }
    const lines = await page.locator('section h2').allInnerTexts();
    assert.deepEqual(lines, [`Line ${hall.device}`, `Line ${booth.device}`]);
    assert.match(await page.locator('#summary').innerText(), /3 projectors: 3 up, 0 down/);
    await page.fill('#filter', 'booth');
    assert.equal(await page.locator('tr[data-name="hall-left"]').isVisible(), false);
    assert.equal(await page.locator('tr[data-name="booth"]').isVisible(), true);
    await page.fill('#filter', '');
  });

  await check('a reply that changes shows up live, without a reload', async () => {
    const before = await rowText(page, 'hall-right');
    const token = await page.locator('meta[name="kr7-token"]').getAttribute('content');
    const r = await fetch(`${operatorBridge.url}/api/projectors/hall-right`, {method: 'POST',
      headers: {'X-KR7-Token': token, 'Content-Type': 'application/json'}, body: '{"power": "ON"}'});
    assert.equal(r.status, 200);
    await until('the power text changes', async () => (await rowText(page, 'hall-right')) !== before, 5000);
    assert.equal(seen.navigations, 1);
  });

  await check("an operator's power-off, confirmed, goes on the wire and its result on the page", async () => {
    let asked = '';
    page.once('dialog', (d) => { asked = d.message(); d.accept(); });
    await page.getByRole('button', {name: 'Power off: hall-left'}).click();
    assert.match(asked, /Switch hall-left off\?/);
    const status = page.locator('tr[data-name="hall-left"] [role="status"]');
    await until('the result', async () => /Sent A001C01/.test(await status.innerText()));
    await until('the line on the wire', () => hall.heard.includes('A001C01'));
    page.once('dialog', (d) => d.dismiss());
    const heard = hall.heard.length;
    await page.getByRole('button', {name: 'Power off: hall-right'}).click();
    await new Promise((r) => setTimeout(r, 500));
    assert.ok(!hall.heard.slice(heard).includes('A002C01'), 'a dismissed power-off sends nothing');
  });

  await check('keyboard alone reaches every button, with a visible focus', async () => {
    const buttons = await page.locator('button:visible').count();
    const reached = new Set();
    await page.locator('#filter').focus();
    for (let i = 0; i < 200 && reached.size < buttons; i++) {
      await page.keyboard.press('Tab');
      const label = await page.evaluate(() => {
        const e = document.activeElement;
        if (e.tagName !== 'BUTTON') return null;
        const style = getComputedStyle(e);
        return `${e.getAttribute('aria-label')}|${style.outlineStyle !== 'none' && style.outlineWidth !== '0px'}`;
      });
      if (label) { assert.ok(label.endsWith('|true'), `no visible focus on ${label}`); reached.add(label); }
    }
    assert.equal(reached.size, buttons);
  });

  if (screenshot) await page.screenshot({path: screenshot, fullPage: true});

  await check('a projector that goes silent turns unreachable', async () => {
    booth.process.kill('SIGKILL');
    await until('unreachable', async () => /unreachable/.test(await rowText(page, 'booth')), 15000);
    assert.match(await rowText(page, 'booth'), /unreachable, last answer \d+ s ago/);
    assert.match(await page.locator('#summary').innerText(), /2 up, 1 down/);
  });

  await check('the page asks no other host, writes no console error, and says when its stream breaks', async () => {
    assert.deepEqual(seen.foreign, []);
    assert.deepEqual(seen.errors.filter((e) => !/EventSource|ERR_/.test(e)), []);
  });

  await check('no serious accessibility violation (axe-core), also on a 360 px phone at 200% text', async () => {
    const axeContext = await browser.newContext({bypassCSP: true, viewport: {width: 1366, height: 900}});
    const axePage = await axeContext.newPage();
    await axePage.goto(operatorBridge.url + '/');
    await axePage.locator('tr[data-name="hall-left"]').waitFor();
    await axePage.addScriptTag({path: require.resolve('axe-core/axe.min.js')});
    const result = await axePage.evaluate(() => window.axe.run(document, {resultTypes: ['violations']}));
    const serious = result.violations.filter((v) => ['serious', 'critical'].includes(v.impact));
    assert.deepEqual(serious.map((v) => `${v.id}: ${v.help}`), []);
    await axePage.setViewportSize({width: 360, height: 800});
    await axePage.evaluate(() => { document.documentElement.style.fontSize = '200%'; });
    const overflow = await axePage.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    assert.ok(overflow <= 0, `the page is ${overflow} px wider than a phone`);
    await axeContext.close();
  });

  await check('a viewer sees no command buttons, and a forged command is refused', async () => {
    const viewer = await browser.newContext({httpCredentials: {username: 'bob', password: 'builder'}});
    const vpage = await viewer.newPage();
    await vpage.goto(viewerBridge.url + '/');
    await vpage.locator('tr[data-name="box"]').waitFor();
    assert.equal(await vpage.locator('button').count(), 0);
    const heard = box.heard.length;
    const status = await vpage.evaluate(async () => (await fetch('/api/projectors/box', {method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-KR7-Token': 'forged'}, body: '{"power": "OFF"}'})).status);
    assert.equal(status, 403);
    await new Promise((r) => setTimeout(r, 300));
    assert.ok(!box.heard.slice(heard).includes('C01'));
    await viewer.close();
  });

  await check('when the bridge goes away the page says so', async () => {
    children.find((c) => c.spawnargs.includes(join(dir, 'operator.yaml'))).kill('SIGTERM');
    await until('the broken stream is said', async () => /broken/.test(await page.locator('#stream').innerText()), 10000);
  });

  console.log(`figure: first load to a complete table of 3 projectors: ${loadMs} ms`);
  await browser.close();
} catch (e) {
  failures++;
  console.log(`FAIL!  : setup\n   ${e.stack || e}`);
} finally {
  for (const c of children) c.kill('SIGTERM');
}
console.log(failures ? `${failures} failed` : 'all passed');
process.exit(failures ? 1 : 0);
