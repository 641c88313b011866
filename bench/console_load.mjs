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
  `${projectors} events); complete table in median ${times[2]} ms, worst ${times[4]} ms of 5`);
await browser.close();
