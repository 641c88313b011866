// The venue console: every projector the bridge watches, live from its event stream (/events), and for an
// operator the catalogue's commands (POST /api/projectors/NAME). Every text goes in as text, never as markup.
'use strict';

const operator = document.querySelector('meta[name="kr7-operator"]').content === 'yes';
const token = document.querySelector('meta[name="kr7-token"]').content;
const projectors = new Map(); // name -> {state, row}
const lines = new Map();      // port -> tbody
let clockOffset = 0;          // the bridge's clock minus ours
const DASH = '–';

const el = (tag, attrs = {}, text) => {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
};
const shown = (v, unit = '') => (v === null || v === undefined || v === '' ? DASH : `${v}${unit}`);

function ago(lastSeen) {
  if (!lastSeen) return 'never answered';
  const s = Math.max(0, Math.round((Date.now() + clockOffset - Date.parse(lastSeen)) / 1000));
  if (s < 90) return `last answer ${s} s ago`;
  if (s < 5400) return `last answer ${Math.round(s / 60)} min ago`;
  return `last answer ${Math.round(s / 3600)} h ago`;
}

const COLUMNS = ['Projector', 'Unit', 'Reachable', 'Power', 'Input', 'Lamp mode', 'Lamps', 'Temperatures',
  'Pressure', 'Signal', 'Alarms'];
if (operator) COLUMNS.push('Commands');

function lineTable(port) {
  if (lines.has(port)) return lines.get(port);
  const section = el('section', {'aria-labelledby': `line-${lines.size}`});
  section.dataset.line = port;
  section.append(el('h2', {id: `line-${lines.size}`}, `Line ${port}`));
  const wrap = el('div', {class: 'scroll'});
  const table = el('table');
  table.append(el('caption', {class: 'hidden'}, `Projectors on ${port}`));
  const head = el('tr');
  for (const c of COLUMNS) head.append(el('th', {scope: 'col'}, c));
  const thead = el('thead');
  thead.append(head);
  const body = el('tbody');
  table.append(thead, body);
  wrap.append(table);
  section.append(wrap);
  document.getElementById('lines').append(section);
  lines.set(port, body);
  return body;
}

function lampsText(s) {
  const hours = s.lamp_hours || [], on = s.lamps || [];
  const parts = [];
  for (let i = 0; i < 4; i++) {
    const state = on[i] === true ? 'on' : on[i] === false ? 'off' : DASH;
    parts.push(`${i + 1}: ${state}, ${shown(hours[i], ' h')}`);
  }
  return parts;
}

// A line or a reply as the monitor names its bytes: the CR that ends a line dropped, other control bytes named.
const CONTROL = {'\x06': '<ACK>', '\x15': '<NAK>', '\r': '<CR>', '\n': '<LF>'};
const visible = (t) => String(t).replace(/\r$/, '').replace(/[\x00-\x1f\x7f]/g,
  (c) => CONTROL[c] || `<${c.charCodeAt(0).toString(16).padStart(2, '0')}>`);

function send(name, request, result) {
  result.textContent = `Sending ${JSON.stringify(request)}…`;
  fetch(`/api/projectors/${encodeURIComponent(name)}`, {
    method: 'POST', headers: {'Content-Type': 'application/json', 'X-KR7-Token': token},
    body: JSON.stringify(request), credentials: 'same-origin',
  }).then(async (r) => {
    let o = null;
    try { o = await r.json(); } catch (e) { o = null; }
    if (!o) result.textContent = `Refused (${r.status}): ${await r.text().catch(() => '')}`;
    else if (o.error) result.textContent = `Refused: ${o.error}`;
    else if (o.accepted) result.textContent = 'Done.';
    else if (o.replied) result.textContent = `Sent ${visible(o.line)}: the projector answered ${visible(o.reply)} (${o.elapsed_ms} ms).`;
    else result.textContent = `Sent ${visible(o.line)}: the projector did not answer.`;
  }).catch((e) => { result.textContent = `Not sent: ${e.message}`; });
}

function commands(name) {
  const cell = el('div', {class: 'actions'});
  const result = el('span', {class: 'result', role: 'status'});
  const button = (label, request, confirmText) => {
    const b = el('button', {type: 'button'}, label);
    b.setAttribute('aria-label', `${label}: ${name}`);
    b.addEventListener('click', () => {
      if (confirmText && !window.confirm(confirmText)) return;
      send(name, request, result);
    });
    cell.append(b);
  };
  button('Power on', {power: 'ON'});
  button('Power off', {power: 'OFF'}, `Switch ${name} off? The lamps go out and the projector cools down.`);
  for (let i = 1; i <= 4; i++) button(`Input ${i}`, {input: i});
  button('NO SHOW on', {command: 'C0D'});
  button('NO SHOW off', {command: 'C0E'});
  button('Refresh', {refresh: true});
  const pauseLabel = el('label', {}, 'Pause minutes ');
  const minutes = el('input', {type: 'number', min: '1', max: '120', value: '10', size: '3'});
  minutes.setAttribute('aria-label', `Minutes to pause polling ${name}`);
  pauseLabel.append(minutes);
  cell.append(pauseLabel);
  const pause = el('button', {type: 'button'}, 'Pause polling');
  pause.setAttribute('aria-label', `Pause polling: ${name}`);
  pause.addEventListener('click', () => {
    const m = Math.round(Number(minutes.value));
    if (!(m >= 1 && m <= 120)) { result.textContent = 'Pause: 1 to 120 minutes.'; return; }
    send(name, {pause: m * 60}, result);
  });
  cell.append(pause, result);
  return cell;
}

function render(entry) {
  const s = entry.state;
  const row = entry.row;
  const cells = [];
  const cell = (label, value, cls) => {
    const td = el('td', cls ? {class: cls} : {});
    td.dataset.label = label;
    if (Array.isArray(value)) value.forEach((v, i) => { if (i) td.append(el('br')); td.append(v); });
    else td.textContent = value;
    cells.push(td);
    return td;
  };
  const name = el('th', {scope: 'row'}, s.name);
  name.dataset.label = 'Projector';
  cells.push(name);
  cell('Unit', shown(s.unit));
  cell('Reachable', s.available ? 'available' : `unreachable, ${ago(s.last_seen)}`, s.available ? 'ok' : 'down');
  cell('Power', shown(s.power_status));
  cell('Input', shown(s.input_text ?? s.input));
  cell('Lamp mode', shown(s.lamp_mode));
  cell('Lamps', lampsText(s), 'num');
  const t = s.temperature || [];
  cell('Temperatures', `${shown(t[0], ' °C')}, ${shown(t[1], ' °C')}`, 'num');
  cell('Pressure', shown(s.pressure_hpa, ' hPa'), 'num');
  cell('Signal', shown(s.signal));
  const alarms = s.alarms || [];
  cell('Alarms', alarms.length ? alarms.join('; ') : 'none', alarms.length ? 'alarms' : '');
  if (operator) {
    if (!entry.commands) entry.commands = commands(s.name);
    const td = el('td');
    td.dataset.label = 'Commands';
    td.append(entry.commands);
    cells.push(td);
  }
  row.replaceChildren(...cells);
  row.className = alarms.length ? 'alarm' : '';
}

function summary() {
  let up = 0, down = 0, on = 0, alarms = 0;
  for (const {state} of projectors.values()) {
    if (state.available) up++; else down++;
    if (state.power === 'ON') on++;
    if ((state.alarms || []).length) alarms++;
  }
  document.getElementById('summary').textContent =
    `${projectors.size} projectors: ${up} up, ${down} down, ${on} on, ${alarms} with alarms`;
}

function applyFilter() {
  const f = document.getElementById('filter').value.trim().toLowerCase();
  for (const [port, body] of lines) {
    let any = false;
    for (const row of body.rows) {
      const match = !f || row.dataset.name.toLowerCase().includes(f) || port.toLowerCase().includes(f);
      row.hidden = !match;
      any = any || match;
    }
    body.closest('section').hidden = !any;
  }
}

function onProjector(state) {
  let entry = projectors.get(state.name);
  if (!entry) {
    const row = el('tr');
    row.dataset.name = state.name;
    lineTable(state.line).append(row);
    entry = {row};
    projectors.set(state.name, entry);
  }
  entry.state = state;
  render(entry);
}

function reset() {
  projectors.clear();
  lines.clear();
  document.getElementById('lines').replaceChildren();
}

function connect() {
  const status = document.getElementById('stream');
  const source = new EventSource('/events');
  source.addEventListener('hello', (e) => {
    const hello = JSON.parse(e.data);
    clockOffset = Date.parse(hello.now) - Date.now();
    reset();
    status.textContent = '';
  });
  source.addEventListener('reset', reset);
  let pending = false;
  source.addEventListener('projector', (e) => {
    onProjector(JSON.parse(e.data));
    if (!pending) {
      pending = true;
      queueMicrotask(() => { pending = false; summary(); applyFilter(); });
    }
  });
  source.onerror = () => {
    status.textContent = 'The connection to the bridge is broken; what you see may be old. Reconnecting…';
  };
}

document.getElementById('filter').addEventListener('input', applyFilter);
// "last answer ... ago" keeps counting while a projector stays away.
setInterval(() => {
  for (const entry of projectors.values()) if (!entry.state.available) render(entry);
}, 10000);
connect();
