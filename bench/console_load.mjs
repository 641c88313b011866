// The console's first load in Debian's headless chromium (playwright-core): bytes of the page, its script
// and style and the stream's first events, and the time from navigation to a complete table.
//   node console_load.mjs URL PROJECTORS
import {createRequire} from 'node:module';
import {dirname, join} from 'node:path';
import {fileURLToPath} from 'node:url';

const require = createRequire(join(dirname(fileURLToPath(import.meta.url)), '../tests/browser/package.json'));
const {chromium} = require('playwright-core');
const [url, projectors] = [process.argv[2], Number(process.argv[3])];
const browser = await chromium.launch({executablePath: process.env.KR7_CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu']});
const page = await browser.newPage({viewport: {width: 1366, height: 900}});
const times = [];
let bytes = 0;
for (let i = 0; i < 5; i++) {
  const t0 = Date.now();
  await page.goto(url);
  await page.waitForFunction((n) => document.querySelectorAll('tbody tr').length === n, projectors, {polling: 10});
  times.push(Date.now() - t0);
  if (i === 0) {
    // What came: the documents' sizes, and the stream's bytes up to the last projector's first event.
    bytes = await page.evaluate(async () => {
      const files = await Promise.all(['/', '/console.js', '/console.css', '/icon.svg'].map(
        async (p) => (await (await fetch(p)).arrayBuffer()).byteLength));
      const reader = (await fetch('/events')).body.getReader();
      let events = 0, text = '';
      const n = document.querySelectorAll('tbody tr').length;
      while ((text.match(/event: projector/g) || []).length < n) {
        const {value} = await reader.read();
        events += value.byteLength;
        text += new TextDecoder().decode(value);
      }
      reader.cancel();
      return files.reduce((a, b) => a + b, 0) + events;
    });
  }
}
times.sort((a, b) => a - b);
console.log(`console first load           ${(bytes / 1024).toFixed(1)} KB (page, script, style, icon and the first ` +
  `${projectors} events); complete fleet view in median ${times[2]} ms, worst ${times[4]} ms of 5`);
// A projector's page with 30 days of samples, and the history view's first page, each loaded afresh.
const timed = async (hash, ready) => {
  const t = [];
  for (let i = 0; i < 5; i++) {
    await page.goto('about:blank');
    const t0 = Date.now();
    await page.goto(url + hash);
    await page.waitForFunction(ready, null, {polling: 10});
    t.push(Date.now() - t0);
  }
  return t.sort((a, b) => a - b);
};
const days30 = await timed('#/projector/p0-1', () => {
  const b = [...document.querySelectorAll('button')].find((x) => x.textContent === '30 days');
  if (b && b.getAttribute('aria-pressed') !== 'true') b.click();
  const p = document.querySelector('polyline[data-series="temperature1"]');
  return b && b.getAttribute('aria-pressed') === 'true' && p && Number(p.dataset.points) > 4000;
});
console.log(`a projector's page, 30 days  complete with its charts (4320 samples) in median ${days30[2]} ms, worst ${days30[4]} ms of 5`);
const history = await timed('#/history', () => document.querySelectorAll('#history tbody tr').length > 0);
console.log(`the history view             first page in median ${history[2]} ms, worst ${history[4]} ms of 5`);
await browser.close();
