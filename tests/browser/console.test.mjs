// The venue console in a real browser: Debian's chromium, driven headless by playwright-core (which uses the
// system's browser and downloads none), against kr7-bridge with projectors on pseudo-terminals
// (kr7-projector-sim). Checks what an operator and a viewer see and can do in every view (the fleet, a
// projector's page, the schedule, the history), keyboard use, that no request leaves for another host, no
// console errors, and axe-core's accessibility rules; with --screenshot FILE it leaves the fleet view there and
// the projector's page and both on a phone beside it (FILE-projector.png, FILE-phone.png, ...).
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

// Ports come from below the kernel's ephemeral range (an outgoing connection may take a port that bind(0)
// just handed out), at random, never twice, and only once a listen on them succeeds.
const givenPorts = new Set();
const tryListen = (port) => new Promise((resolve) => {
  const s = createServer();
  s.once('error', () => resolve(false));
  s.listen(port, '127.0.0.1', () => s.close(() => resolve(true)));
});
const freePort = async () => {
  let low = 32768;
  try { low = Math.max(1025, Number(readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/)[0])); } catch {}
  const first = Math.min(10000, Math.floor(low / 2));
  for (let attempt = 0; attempt < 200; attempt++) {
    const port = first + Math.floor(Math.random() * (low - first));
    if (givenPorts.has(port) || !(await tryListen(port))) continue;
    givenPorts.add(port);
    return port;
  }
  throw new Error('no free port below the ephemeral range');
};

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
const WORDS = {on: 'On', warming_up: 'Warming up', cooling: 'Cooling down', standby: 'Standby', failed: 'Power fail'};
const shots = screenshot ? (suffix) => screenshot.replace(/\.png$/, `${suffix}.png`) : null;

// Every button of the view reached by Tab alone, each with a visible focus.
async function keyboardReaches(page, what) {
  const buttons = await page.locator('button:visible').count();
  const reached = new Set();
  await page.locator('nav a').first().focus();
  for (let i = 0; i < 600 && reached.size < buttons; i++) {
    await page.keyboard.press('Tab');
    const label = await page.evaluate(() => {
      const e = document.activeElement;
      if (e.tagName !== 'BUTTON') return null;
      const style = getComputedStyle(e);
      return `${e.getAttribute('aria-label') || e.textContent}|${style.outlineStyle !== 'none' && style.outlineWidth !== '0px'}`;
    });
    if (label) { assert.ok(label.endsWith('|true'), `${what}: no visible focus on ${label}`); reached.add(label); }
  }
  assert.equal(reached.size, buttons, `${what}: ${reached.size} of ${buttons} buttons reached`);
}

// axe-core in a page of the operator's own browser (one pool of connections; the bridge holds at most 8 from one
// address), evaluated as a devtools script, which the page's Content-Security-Policy does not cover.
const axeSource = readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
async function axeFinds(context, url, ready, what) {
  const axePage = await context.newPage();
  await axePage.setViewportSize({width: 1366, height: 900});
  await axePage.goto(url);
  await ready(axePage);
  await axePage.evaluate(axeSource);
  const result = await axePage.evaluate(() => window.axe.run(document, {resultTypes: ['violations']}));
  const serious = result.violations.filter((v) => ['serious', 'critical'].includes(v.impact));
  assert.deepEqual(serious.map((v) => `${what}: ${v.id}: ${v.help}`), []);
  await axePage.setViewportSize({width: 360, height: 800});
  await axePage.evaluate(() => { document.documentElement.style.fontSize = '200%'; });
  const overflow = await axePage.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 0, `${what}: the page is ${overflow} px wider than a phone`);
  await axePage.close();
}

try {
  const hall = await startSim('1,2');
  const booth = await startSim('1');
  const box = await startSim('1');
  const history = join(dir, 'history.sqlite');
  const operatorYaml =
    `history: {file: ${history}}\ngroups:\n  hall: [hall-left, hall-right]\n` +
    `schedules:\n  - {name: night-off, group: all, at: '23:00', do: {power: 'OFF'}}\n` +
    `  - {name: morning, group: hall, at: '07:45', days: [mon, tue, wed, thu, fri], do: {power: 'ON'}}\n` +
    `lines:\n  - port: ${hall.device}\n    projectors: [{name: hall-left, unit: 1}, {name: hall-right, unit: 2}]\n` +
    `  - port: ${booth.device}\n    projectors: [{name: booth, unit: 1}]\n`;
  const operatorBridge = await startBridge('operator', operatorYaml);
  // Three days of booth's samples, as the bridge writes them every 10 minutes.
  await until('the history file', async () => {
    try { execFileSync('sqlite3', [history, 'SELECT count(*) FROM samples']); return true; } catch { return false; }
  });
  const now = Date.now();
  let sql = 'BEGIN;';
  for (let i = 0; i < 3 * 144; i += 3)
    sql += `INSERT INTO samples(at, projector, power_code, lamp1_hours, lamp2_hours, lamp3_hours, lamp4_hours, ` +
      `temperature1, temperature2, pressure_hpa) VALUES(${now - i * 600000}, 'booth', '00', ${1200 - Math.floor(i / 6)}, ` +
      `800, 700, 600, ${30 + (i % 7)}, ${40 + (i % 5)}, 1013);`;
  execFileSync('sqlite3', [history, sql + 'COMMIT;']);
  // A viewer's bridge: a web config with one user who is no operator.
  const hash = execFileSync('python3', ['-c',
    'import crypt; print(crypt.crypt("builder", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=1024)))']).toString().trim();
  writeFileSync(join(dir, 'web.yml'), `basic_auth_users:\n  bob: '${hash}'\n`);
  const viewerBridge = await startBridge('viewer',
    `lines:\n  - port: ${box.device}\n    projectors: [{name: box, unit: 1}]\n`,
    ['--web.config.file', join(dir, 'web.yml')]);

  const browser = await chromium.launch({executablePath: process.env.KR7_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu']});
  const context = await browser.newContext({viewport: {width: 1366, height: 768}});
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

  await check('the fleet rows match /state, grouped by the groups', async () => {
    const state = await (await fetch(`${operatorBridge.url}/state`)).json();
    for (const p of state) {
      const text = await rowText(page, p.name);
      assert.ok(text.includes(WORDS[p.power_state]), `${p.name}: ${p.power_state} in ${text}`);
      for (let i = 0; i < 4; i++) assert.ok(text.includes(`${i + 1}: ${p.lamp_hours[i]} h`), `${p.name}: lamp ${i + 1} in ${text}`);
      assert.ok(text.includes(`${p.temperature[0]} °C`), `${p.name}: temperature in ${text}`);
      const bars = await page.locator(`tr[data-name="${p.name}"] .bar`).evaluateAll((b) => b.map((e) => e.getAttribute('aria-label')));
      assert.equal(bars[0], `lamp 1: ${Math.round(p.lamp_hours[0] / p.lamp_life_hours[0] * 100)} % of its life used`);
    }
    assert.deepEqual(await page.locator('section h2').allInnerTexts(), ['Group hall', 'Not in a group']);
    assert.match(await page.locator('section[data-section="hall"] .group-summary').innerText(), /0 on, 2 in standby, 0 with alarms/);
    assert.equal(await page.locator('tr button').count(), 0, 'no command buttons in the rows');
    assert.match(await page.locator('#summary').innerText(), /3 projectors: 3 up, 0 down/);
    await page.fill('#filter', 'booth');
    assert.equal(await page.locator('tr[data-name="hall-left"]').isVisible(), false);
    assert.equal(await page.locator('tr[data-name="booth"]').isVisible(), true);
    await page.fill('#filter', '');
  });

  await check('a reply that changes shows up live, without a reload', async () => {
    const before = await rowText(page, 'booth');
    const token = await page.locator('meta[name="kr7-token"]').getAttribute('content');
    const r = await fetch(`${operatorBridge.url}/api/projectors/booth`, {method: 'POST',
      headers: {'X-KR7-Token': token, 'Content-Type': 'application/json'}, body: '{"power": "ON"}'});
    assert.equal(r.status, 200);
    await until('the status changes', async () => (await rowText(page, 'booth')) !== before, 5000);
    assert.equal(seen.navigations, 1);
  });

  await check("a group's power-off, confirmed, reaches every member's line and shows each outcome", async () => {
    let asked = '';
    page.once('dialog', (d) => { asked = d.message(); d.accept(); });
    await page.getByRole('button', {name: 'Power off: group hall'}).click();
    assert.match(asked, /Switch every projector of hall off\?/);
    const result = page.locator('section[data-section="hall"] [role="status"]');
    await until('each outcome', async () => (await result.locator('li').count()) === 2);
    assert.match(await result.locator('li[data-member="hall-left"]').innerText(), /hall-left: sent A001C01 CR: answered ACK/);
    assert.match(await result.locator('li[data-member="hall-right"]').innerText(), /hall-right: sent A002C01 CR: answered ACK/);
    await until('both lines on the wire', () => hall.heard.includes('A001C01') && hall.heard.includes('A002C01'));
    const heard = hall.heard.length;
    await page.getByRole('button', {name: 'Power on: group hall'}).click(); // power on asks nothing
    await until('power on sent', () => hall.heard.slice(heard).includes('A001C00'));
    const after = hall.heard.length;
    page.once('dialog', (d) => d.dismiss());
    await page.getByRole('button', {name: 'Power off: group hall'}).click();
    await new Promise((r) => setTimeout(r, 500));
    assert.ok(!hall.heard.slice(after).includes('C01'), 'a dismissed power-off sends nothing');
  });

  await check('keyboard alone reaches every button of the fleet view, with a visible focus', async () => {
    await keyboardReaches(page, 'fleet');
  });
  if (shots) await page.screenshot({path: screenshot, fullPage: true});

  await check("a projector's page shows its lamps and charts of its samples, and a one-shot goes on the wire", async () => {
    await page.getByRole('link', {name: 'booth'}).click();
    await page.locator('polyline[data-series="temperature1"]').waitFor({state: 'attached'});
    const state = (await (await fetch(`${operatorBridge.url}/state`)).json()).find((p) => p.name === 'booth');
    for (let i = 0; i < 4; i++) {
      const text = await page.locator(`tr[data-lamp="${i + 1}"]`).innerText();
      assert.ok(text.includes(`${state.lamp_hours[i]} h`) && text.includes(`${state.lamp_remaining_hours[i]} h`), text);
    }
    const since = new Date(Date.now() - 7 * 86400000).toISOString();
    const samples = (await (await fetch(`${operatorBridge.url}/api/samples?projector=booth&since=${encodeURIComponent(since)}`)).json()).samples;
    const points = Number(await page.locator('polyline[data-series="temperature1"]').getAttribute('data-points'));
    assert.ok(samples.length >= 140, `${samples.length} samples`);
    assert.equal(points, samples.filter((s) => typeof s.temperature[0] === 'number').length);
    assert.match(await page.locator('figure').first().innerText(), /Sensor 1: \d+ samples from 30 to 36 °C/);
    const heard = booth.heard.length;
    await page.getByRole('button', {name: 'Input mode 2: booth'}).click();
    await until('the line on the wire', () => booth.heard.slice(heard).includes('A001C06') || booth.heard.slice(heard).includes('C06'));
    await until('its answer beside it', async () => /sent .*C06 CR: answered ACK/.test(
      await page.getByRole('button', {name: 'Input mode 2: booth'}).locator('xpath=../..').locator('[role="status"]').innerText()));
    const groupsShown = await page.locator('.command-groups legend').allInnerTexts();
    for (const g of ['POWER', 'INPUT MODE SET', 'MENU', 'PICTURE MODE', 'LAMP MODE', 'INPUT SIGNAL', 'FAN SPEED']) assert.ok(groupsShown.includes(g), `${g} in ${groupsShown}`);
    await keyboardReaches(page, 'projector page');
    if (shots) await page.screenshot({path: shots('-projector'), fullPage: true});
  });

  await check('the schedule view lists the runs --calendar prints, and a skip shows in /api/schedules', async () => {
    await page.getByRole('link', {name: 'Schedule'}).click();
    await page.locator('#runs tbody tr').first().waitFor();
    const shown = await page.locator('#runs tbody tr').evaluateAll((rows) => rows.map((r) => `${r.dataset.at} ${r.dataset.entry}`));
    const from = new Date().toISOString().replace(/\.\d+Z$/, '+00:00');
    const printed = execFileSync(process.env.KR7_BRIDGE, ['--calendar', '--config', join(dir, 'operator.yaml'),
      '--from', from, '--days', '8']).toString().trim().split('\n').map((l) => l.split('\t').slice(0, 2).join(' '));
    assert.deepEqual(shown, printed);
    await page.getByRole('button', {name: 'Skip the next run: night-off'}).click();
    await until('the skip in the API', async () => (await (await fetch(`${operatorBridge.url}/api/schedules`)).json())
      .find((e) => e.name === 'night-off').override.skip_next === true);
    await page.locator('section[data-entry="night-off"]').getByText('the next run is skipped').waitFor();
    await keyboardReaches(page, 'schedule view');
  });

  await check("the history view's filter and its CSV match /api/history", async () => {
    await page.getByRole('link', {name: 'History'}).click();
    await page.locator('#history tbody tr').first().waitFor();
    await page.selectOption('select[name="kind"]', 'command');
    await page.getByRole('button', {name: 'Show'}).click();
    const api = await (await fetch(`${operatorBridge.url}/api/history?kind=command&limit=100`)).json();
    await until('the filtered rows', async () => (await page.locator('#history tbody tr').evaluateAll((r) => r.map((e) => e.dataset.id)))
      .join() === api.events.map((e) => String(e.id)).join());
    const href = await page.getByRole('link', {name: 'Download as CSV'}).getAttribute('href');
    assert.equal(href, '/api/history?kind=command&format=csv');
    const csv = await (await fetch(operatorBridge.url + href)).text();
    assert.equal(csv, await (await fetch(`${operatorBridge.url}/api/history?kind=command&format=csv`)).text());
    assert.ok(csv.split('\r\n').length >= api.events.length + 1);
    await keyboardReaches(page, 'history view');
  });

  if (shots) {
    // A phone's page in the operator's own browser: one pool of connections (the bridge holds at most 8 from
    // one address).
    const p = await context.newPage();
    await p.setViewportSize({width: 360, height: 740});
    await p.goto(operatorBridge.url + '/');
    await p.locator('tr[data-name="booth"]').waitFor();
    await p.screenshot({path: shots('-phone'), fullPage: true});
    await p.goto(operatorBridge.url + '/#/projector/booth');
    await p.locator('polyline[data-series="temperature1"]').waitFor({state: 'attached'});
    await p.locator('.events li', {hasText: ' · '}).first().waitFor();
    await p.screenshot({path: shots('-projector-phone'), fullPage: true});
    await p.close();
  }

  await check('a projector that goes silent turns unreachable', async () => {
    await page.getByRole('link', {name: 'Fleet'}).click();
    await page.locator('tr[data-name="booth"]').waitFor();
    booth.process.kill('SIGKILL');
    await until('unreachable', async () => /Unreachable for/.test(await rowText(page, 'booth')), 15000);
    assert.match(await page.locator('#summary').innerText(), /2 up, 1 down/);
  });

  await check('the page asks no other host, writes no console error, and says when its stream breaks', async () => {
    assert.deepEqual(seen.foreign, []);
    assert.deepEqual(seen.errors.filter((e) => !/EventSource|ERR_/.test(e)), []);
  });

  await check('no serious accessibility violation (axe-core) in any view, also on a 360 px phone at 200% text', async () => {
    const u = operatorBridge.url;
    await axeFinds(context, `${u}/`, (p) => p.locator('tr[data-name="hall-left"]').waitFor(), 'fleet');
    await axeFinds(context, `${u}/#/projector/hall-left`, (p) => p.locator('polyline[data-series="temperature1"]').waitFor({state: 'attached'}), 'projector page');
    await axeFinds(context, `${u}/#/schedule`, (p) => p.locator('#runs tbody tr').first().waitFor(), 'schedule');
    await axeFinds(context, `${u}/#/history`, (p) => p.locator('#history tbody tr').first().waitFor(), 'history');
  });

  await check('a viewer sees no command buttons, and a forged command is refused', async () => {
    const viewer = await browser.newContext({httpCredentials: {username: 'bob', password: 'builder'}});
    const vpage = await viewer.newPage();
    await vpage.goto(viewerBridge.url + '/');
    await vpage.locator('tr[data-name="box"]').waitFor();
    assert.equal(await vpage.locator('button').count(), 0);
    await vpage.goto(viewerBridge.url + '/#/projector/box');
    await vpage.locator('#projector-name').waitFor();
    assert.equal(await vpage.locator('.command-groups, form.record').count(), 0);
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

  console.log(`figure: first load to a complete fleet view of 3 projectors: ${loadMs} ms`);
  await browser.close();
} catch (e) {
  failures++;
  console.log(`FAIL!  : setup\n   ${e.stack || e}`);
} finally {
  for (const c of children) c.kill('SIGTERM');
}
console.log(failures ? `${failures} failed` : 'all passed');
process.exit(failures ? 1 : 0);
