// The venue console: the fleet at a glance (grouped by the configuration's groups, or by line), a page per
// projector (#/projector/NAME: its lamps, charts of its samples, its history and, for an operator, every
// one-shot of the panel), the day's schedule (#/schedule) and the history (#/history). Live from the event
// stream (/events). Every text goes in as text, never as markup.
'use strict';

const operator = document.querySelector('meta[name="kr7-operator"]').content === 'yes';
const token = document.querySelector('meta[name="kr7-token"]').content;
const projectors = new Map(); // name -> state object
let groups = null;            // [{name, projectors}] from /api/groups
let catalogue = null;         // [{code, what, caption, group}] from /api/commands
let clockOffset = 0;          // the bridge's clock minus ours
let view = null;              // {name, render(), onProjector(state)}
const DASH = '–';
const SVG = 'http://www.w3.org/2000/svg';

const el = (tag, attrs = {}, text) => {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
};
const svg = (tag, attrs = {}, text) => {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, String(v));
  if (text !== undefined) e.textContent = text;
  return e;
};
const shown = (v, unit = '') => (v === null || v === undefined || v === '' ? DASH : `${v}${unit}`);
const api = (path) => fetch(path, {credentials: 'same-origin'}).then((r) => {
  if (!r.ok) throw new Error(`${path}: ${r.status}`);
  return r.json();
});
// A form's field: the control inside its label, appended to the form; the control back.
const labelled = (form, label, input) => { const l = el('label', {}, label); l.append(input); form.append(l); return input; };
const localTime = (iso) => (iso ? new Date(iso).toLocaleString() : DASH);

// Bytes as the monitor names them: a control byte by its name (ACK, CR), never a box.
const NAMES = {'\x06': 'ACK', '\x15': 'NAK', '\r': 'CR', '\n': 'LF', '\x02': 'STX', '\x03': 'ETX'};
const named = (t) => {
  const parts = [];
  let run = '';
  for (const c of String(t ?? '')) {
    if (c >= ' ' && c !== '\x7f') { run += c; continue; }
    if (run) parts.push(run);
    run = '';
    parts.push(NAMES[c] || `<${c.charCodeAt(0).toString(16).padStart(2, '0')}>`);
  }
  if (run) parts.push(run);
  return parts.join(' ');
};

// A projector's status in words, and its colour class, from the core's power table (power_state).
function status(s) {
  if (!s.available) {
    if (!s.last_seen) return ['Unreachable, never answered', 'st-bad'];
    const min = Math.max(0, Math.round((Date.now() + clockOffset - Date.parse(s.last_seen)) / 60000));
    return [min < 1 ? 'Unreachable for under a minute' : `Unreachable for ${min} min`, 'st-bad'];
  }
  switch (s.power_state) {
    case 'on': return ['On', 'st-on'];
    case 'warming_up': return ['Warming up', 'st-warm'];
    case 'cooling': return ['Cooling down', 'st-warm'];
    case 'standby': return ['Standby', 'st-idle'];
    case 'failed': return ['Power fail', 'st-bad'];
    default: return [DASH, 'st-idle'];
  }
}
const LAMP_MODES = ['all four lamps', 'lamps 1 and 4', 'lamps 2 and 3'];

// The four lamps as bars of the share of their life used, each with its hours and on or off.
function lampBars(s) {
  const box = el('div', {class: 'lamps'});
  const hours = s.lamp_hours || [], life = s.lamp_life_hours || [], on = s.lamps || [];
  for (let i = 0; i < 4; i++) {
    const h = hours[i], l = life[i];
    const state = on[i] === true ? 'on' : on[i] === false ? 'off' : DASH;
    const used = typeof h === 'number' && typeof l === 'number' && l > 0 ? Math.min(1, h / l) : null;
    const lamp = el('span', {class: 'lamp'});
    lamp.append(el('span', {}, `${i + 1}: ${shown(h, ' h')}, ${state}`));
    const bar = el('span', {class: used !== null && used >= 1 ? 'bar spent' : 'bar', role: 'img',
      'aria-label': used === null ? `lamp ${i + 1}: life used not known` :
        `lamp ${i + 1}: ${Math.round(used * 100)} % of its life used`});
    const fill = el('span');
    fill.style.width = `${used === null ? 0 : Math.round(used * 100)}%`;
    bar.append(fill);
    lamp.append(bar);
    box.append(lamp);
  }
  return box;
}

function post(path, body) {
  return fetch(path, {method: 'POST', credentials: 'same-origin',
    headers: {'Content-Type': 'application/json', 'X-KR7-Token': token}, body: JSON.stringify(body)})
    .then(async (r) => {
      let o = null;
      try { o = await r.json(); } catch (e) { o = null; }
      return {status: r.status, body: o};
    });
}

// A projector's result object in words.
function outcome(o) {
  if (!o) return 'no answer';
  if (o.error) return `refused: ${o.error}`;
  if (o.accepted) return 'done';
  if (o.replied) return `sent ${named(o.line)}: answered ${named(o.reply)} (${o.elapsed_ms} ms)`;
  return `sent ${named(o.line)}: no answer`;
}

function send(name, request, result) {
  result.textContent = `Sending ${JSON.stringify(request)}…`;
  post(`/api/projectors/${encodeURIComponent(name)}`, request)
    .then(({status: code, body}) => { result.textContent = body ? `${outcome(body)}.` : `Refused (${code}).`; })
    .catch((e) => { result.textContent = `Not sent: ${e.message}`; });
}

function summary() {
  let up = 0, down = 0, on = 0, alarms = 0;
  for (const s of projectors.values()) {
    if (s.available) up++; else down++;
    if (s.power === 'ON') on++;
    if ((s.alarms || []).length) alarms++;
  }
  document.getElementById('summary').textContent =
    `${projectors.size} projectors: ${up} up, ${down} down, ${on} on, ${alarms} with alarms`;
}

// ---- The fleet -------------------------------------------------------------------------------------------

function fleetSections() {
  const names = [...projectors.keys()];
  if (groups && groups.length) {
    const inGroup = new Set(groups.flatMap((g) => g.projectors));
    const out = groups.map((g) => ({id: `group-${g.name}`, title: `Group ${g.name}`, group: g.name,
      members: g.projectors.filter((n) => projectors.has(n))}));
    const rest = names.filter((n) => !inGroup.has(n));
    if (rest.length) out.push({id: 'group--none', title: 'Not in a group', members: rest});
    return out;
  }
  const byLine = new Map();
  for (const [n, s] of projectors) {
    if (!byLine.has(s.line)) byLine.set(s.line, []);
    byLine.get(s.line).push(n);
  }
  return [...byLine].map(([line, members], i) => ({id: `line-${i}`, title: `Line ${line}`, line, members}));
}

function fleetRow(s) {
  const row = el('tr', {'data-name': s.name});
  const cell = (label, content, cls) => {
    const td = el('td', cls ? {class: cls} : {});
    td.dataset.label = label;
    if (typeof content === 'string') td.textContent = content; else td.append(content);
    row.append(td);
  };
  const th = el('th', {scope: 'row'});
  th.dataset.label = 'Projector';
  th.append(el('a', {href: `#/projector/${encodeURIComponent(s.name)}`}, s.name));
  row.append(th);
  const [words, cls] = status(s);
  cell('Status', el('span', {class: `status ${cls}`}, words));
  cell('Input', shown(s.input));
  cell('Lamps', lampBars(s));
  const t = s.temperature || [];
  cell('Temperatures', `${shown(t[0], ' °C')}, ${shown(t[1], ' °C')}`, 'num');
  const alarms = s.alarms || [];
  cell('Alarms', alarms.length ? alarms.join('; ') : 'none', alarms.length ? 'alarms' : '');
  row.className = alarms.length ? 'alarm' : '';
  return row;
}

function groupSummary(members) {
  let on = 0, standby = 0, alarms = 0;
  for (const n of members) {
    const s = projectors.get(n);
    if (!s) continue;
    if (s.power_state === 'on' || s.power_state === 'warming_up') on++;
    if (s.power_state === 'standby') standby++;
    if ((s.alarms || []).length) alarms++;
  }
  return `${on} on, ${standby} in standby, ${alarms} with alarms`;
}

function groupActions(group) {
  const box = el('div', {class: 'actions'});
  const result = el('div', {class: 'result', role: 'status'});
  const button = (label, request, confirmText) => {
    const b = el('button', {type: 'button', 'aria-label': `${label}: group ${group}`}, label);
    b.addEventListener('click', () => {
      if (confirmText && !window.confirm(confirmText)) return;
      result.textContent = `Sending ${JSON.stringify(request)} to ${group}…`;
      post(`/api/groups/${encodeURIComponent(group)}`, request).then(({status: code, body}) => {
        if (!body || !body.results) { result.textContent = `Refused (${code}): ${body && body.error ? body.error : ''}`; return; }
        const list = el('ul');
        for (const [name, o] of Object.entries(body.results)) list.append(el('li', {'data-member': name}, `${name}: ${outcome(o)}`));
        result.replaceChildren(el('span', {}, `${group}:`), list);
      }).catch((e) => { result.textContent = `Not sent: ${e.message}`; });
    });
    box.append(b);
  };
  button('Power on', {power: 'ON'});
  button('Power off', {power: 'OFF'}, `Switch every projector of ${group} off? The lamps go out and they cool down.`);
  return [box, result];
}

const fleet = {
  name: 'fleet',
  sections: new Map(), // id -> {section, body, summary, members}
  render() {
    const main = document.getElementById('view');
    const tools = el('div', {class: 'tools'});
    tools.append(el('label', {for: 'filter'}, 'Filter by projector, group or line'));
    const filter = el('input', {id: 'filter', type: 'search', autocomplete: 'off', spellcheck: 'false'});
    filter.value = this.filter || '';
    filter.addEventListener('input', () => { this.filter = filter.value; this.applyFilter(); });
    tools.append(filter);
    main.replaceChildren(el('h2', {class: 'hidden'}, 'Fleet'), tools);
    this.sections = new Map();
    for (const sec of fleetSections()) {
      const section = el('section', {'aria-labelledby': sec.id, 'data-section': sec.group || sec.line || ''});
      const head = el('div', {class: 'group-head'});
      head.append(el('h2', {id: sec.id}, sec.title));
      const sum = el('p', {class: 'group-summary'}, groupSummary(sec.members));
      head.append(sum);
      section.append(head);
      if (operator && sec.group) section.append(...groupActions(sec.group));
      const wrap = el('div', {class: 'scroll'});
      const table = el('table', {class: 'fleet'});
      table.append(el('caption', {class: 'hidden'}, `Projectors of ${sec.title}`));
      const headRow = el('tr');
      for (const c of ['Projector', 'Status', 'Input', 'Lamps', 'Temperatures', 'Alarms']) headRow.append(el('th', {scope: 'col'}, c));
      const thead = el('thead');
      thead.append(headRow);
      const body = el('tbody');
      for (const n of sec.members) body.append(fleetRow(projectors.get(n)));
      table.append(thead, body);
      wrap.append(table);
      section.append(wrap);
      main.append(section);
      this.sections.set(sec.id, {section, body, sum, members: sec.members, title: sec.title});
    }
    this.applyFilter();
  },
  onProjector(s) {
    let placed = false;
    for (const sec of this.sections.values()) {
      if (!sec.members.includes(s.name)) continue;
      placed = true;
      const old = sec.body.querySelector(`tr[data-name="${CSS.escape(s.name)}"]`);
      const row = fleetRow(s);
      if (old) old.replaceWith(row); else sec.body.append(row);
      sec.sum.textContent = groupSummary(sec.members);
    }
    if (!placed) this.render(); // a projector the sections do not know yet
    this.applyFilter();
  },
  applyFilter() {
    const f = (this.filter || '').trim().toLowerCase();
    for (const sec of this.sections.values()) {
      let any = false;
      for (const row of sec.body.rows) {
        const s = projectors.get(row.dataset.name);
        const match = !f || row.dataset.name.toLowerCase().includes(f) || sec.title.toLowerCase().includes(f) ||
          (s && String(s.line).toLowerCase().includes(f));
        row.hidden = !match;
        any = any || match;
      }
      sec.section.hidden = !any;
    }
  },
};

// ---- A projector's page ----------------------------------------------------------------------------------

function chart(title, unit, series, days) {
  // series: [{name, label, points: [[ms, value]...]}]
  const W = 640, H = 220, L = 52, R = 12, T = 12, B = 34;
  const fig = el('figure');
  const id = `chart-${title.replace(/\W+/g, '-').toLowerCase()}`;
  fig.append(el('figcaption', {id: `${id}-cap`}, `${title} (${unit}), the last ${days} days`));
  const all = series.flatMap((s) => s.points);
  const end = Date.now() + clockOffset, start = end - days * 86400000;
  const values = all.map((p) => p[1]);
  let lo = values.length ? Math.min(...values) : 0, hi = values.length ? Math.max(...values) : 1;
  if (hi === lo) { hi += 1; lo -= 1; }
  const x = (ms) => L + ((ms - start) / (end - start)) * (W - L - R);
  const y = (v) => T + (1 - (v - lo) / (hi - lo)) * (H - T - B);
  const box = svg('svg', {class: 'chart', viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-labelledby': `${id}-cap ${id}-text`});
  box.append(svg('line', {x1: L, y1: H - B, x2: W - R, y2: H - B, stroke: '#111'}));
  box.append(svg('line', {x1: L, y1: T, x2: L, y2: H - B, stroke: '#111'}));
  for (const v of [lo, (lo + hi) / 2, hi]) {
    box.append(svg('text', {x: L - 6, y: y(v) + 4, 'text-anchor': 'end'}, `${Math.round(v * 10) / 10}`));
    box.append(svg('line', {x1: L, y1: y(v), x2: W - R, y2: y(v), stroke: '#dfe5ee'}));
  }
  box.append(svg('text', {x: 4, y: T + 4}, unit));
  for (const ms of [start, (start + end) / 2, end]) {
    box.append(svg('text', {x: x(ms), y: H - B + 16, 'text-anchor': 'middle'}, new Date(ms).toLocaleDateString()));
  }
  const COLOURS = ['#1f4e9e', '#a33a00', '#0b6b2e', '#6a1b9a'];
  const legend = el('ul', {class: 'legend'});
  const words = [];
  series.forEach((s, i) => {
    const pts = s.points.map((p) => `${x(p[0]).toFixed(1)},${y(p[1]).toFixed(1)}`).join(' ');
    box.append(svg('polyline', {points: pts, fill: 'none', stroke: COLOURS[i % 4], 'stroke-width': 2,
      'data-series': s.name, 'data-points': s.points.length}));
    const item = el('li');
    const sw = el('span', {class: 'swatch'});
    sw.style.background = COLOURS[i % 4];
    item.append(sw, document.createTextNode(s.label));
    legend.append(item);
    const v = s.points.map((p) => p[1]);
    words.push(v.length ? `${s.label}: ${v.length} samples from ${Math.min(...v)} to ${Math.max(...v)} ${unit}, the latest ${v[v.length - 1]} ${unit}`
      : `${s.label}: no samples`);
  });
  fig.append(box, legend, el('p', {class: 'chart-text', id: `${id}-text`}, `${words.join('; ')}.`));
  return fig;
}

function commandGroups(name) {
  const box = el('div', {class: 'command-groups'});
  const byGroup = new Map();
  for (const c of catalogue || []) {
    const g = c.group || 'Other';
    if (!byGroup.has(g)) byGroup.set(g, []);
    byGroup.get(g).push(c);
  }
  const set = (legendText, buttons) => {
    const fs = el('fieldset');
    fs.append(el('legend', {}, legendText));
    const actions = el('div', {class: 'actions'});
    const result = el('div', {class: 'result', role: 'status'});
    for (const [label, aria, request, confirmText] of buttons) {
      const b = el('button', {type: 'button', 'aria-label': `${aria}: ${name}`}, label);
      b.addEventListener('click', () => {
        if (confirmText && !window.confirm(confirmText)) return;
        send(name, request, result);
      });
      actions.append(b);
    }
    fs.append(actions, result);
    box.append(fs);
    return {actions, result};
  };
  for (const [g, list] of byGroup) {
    set(g, list.map((c) => [c.caption || c.code, c.what, {command: c.code},
      c.code === 'C01' ? `Switch ${name} off? The lamps go out and the projector cools down.` : null]));
  }
  const polling = set('Polling', [['Refresh', 'Refresh', {refresh: true}]]);
  const minutes = el('input', {type: 'number', min: '1', max: '120', value: '10', 'aria-label': `Minutes to pause polling ${name}`});
  const pause = el('button', {type: 'button', 'aria-label': `Pause polling: ${name}`}, 'Pause polling');
  pause.addEventListener('click', () => {
    const m = Math.round(Number(minutes.value));
    if (!(m >= 1 && m <= 120)) { polling.result.textContent = 'Pause: 1 to 120 minutes.'; return; }
    send(name, {pause: m * 60}, polling.result);
  });
  polling.actions.append(minutes, pause);
  return box;
}

function eventWords(e) {
  const d = e.details || {};
  switch (e.kind) {
    case 'command': return `${d.origin && d.origin.user ? d.origin.user : e.origin || ''} sent ${d.line || JSON.stringify(d.request)}` +
      (d.error ? `: refused, ${d.error}` : d.replied ? `, answered ${d.reply}` : ', no answer');
    case 'state': return d.change === 'power' ? `power: ${d.from && d.from.text} → ${d.to && d.to.text}` :
      `${d.change}${d.to !== undefined ? `: ${typeof d.to === 'object' ? JSON.stringify(d.to) : d.to}` : ''}`;
    case 'alarm': return `${d.raised ? 'alarm' : 'cleared'}: ${d.alarm}`;
    case 'lamp': return `lamp ${d.lamp} ${d.event}${d.replaced ? ` on ${d.replaced}` : ''}${d.serial ? `, serial ${d.serial}` : ''}`;
    case 'schedule': return `schedule ${d.schedule}: ${d.result || JSON.stringify(d.override)}${d.reason ? `, ${d.reason}` : ''}`;
    default: return JSON.stringify(d);
  }
}

const projectorPage = {
  name: 'projector',
  days: 7,
  render() {
    const main = document.getElementById('view');
    const s = projectors.get(this.projector);
    const back = el('p');
    back.append(el('a', {href: '#/'}, '← The fleet'));
    if (!s) { main.replaceChildren(back, el('h2', {}, `No projector named ${this.projector}`)); return; }
    main.replaceChildren(back, el('h2', {id: 'projector-name'}, s.name));
    this.facts = el('dl', {class: 'facts'});
    this.lamps = el('div');
    main.append(this.facts, el('h3', {}, 'Lamps'), this.lamps);
    if (operator) main.append(this.recordForm(s.name));
    const periods = el('div', {class: 'actions', role: 'group', 'aria-label': 'Charts over'});
    for (const d of [7, 30]) {
      const b = el('button', {type: 'button', 'aria-pressed': String(this.days === d)}, `${d} days`);
      b.addEventListener('click', () => { this.days = d; this.loadCharts(); for (const o of periods.children) o.setAttribute('aria-pressed', String(o === b)); });
      periods.append(b);
    }
    this.charts = el('div', {'aria-live': 'polite'});
    this.events = el('ul', {class: 'events'});
    main.append(el('h3', {}, 'Charts'), periods, this.charts, el('h3', {}, 'Latest events'), this.events);
    if (operator) {
      main.append(el('h3', {}, 'Commands'));
      const holder = el('div');
      main.append(holder);
      const fill = () => holder.replaceChildren(commandGroups(s.name));
      if (catalogue) fill(); else api('/api/commands').then((c) => { catalogue = c; fill(); }).catch(() => {});
    }
    this.update(s);
    this.loadCharts();
    this.loadEvents();
  },
  recordForm(name) {
    const form = el('form', {class: 'record', 'aria-label': `Record a lamp replacement of ${name}`});
    const field = (label, input) => labelled(form, label, input);
    const lamp = field('Lamp', el('select'));
    for (let i = 1; i <= 4; i++) lamp.append(el('option', {value: String(i)}, String(i)));
    const date = field('Replaced on', el('input', {type: 'date', required: ''}));
    date.value = new Date(Date.now() + clockOffset).toISOString().slice(0, 10);
    const serial = field('Serial number', el('input', {type: 'text', maxlength: '64'}));
    const note = field('Note', el('input', {type: 'text', maxlength: '500'}));
    form.append(el('button', {type: 'submit'}, 'Record the replacement'));
    const result = el('div', {class: 'result', role: 'status'});
    form.append(result);
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      const body = {replaced: date.value};
      if (serial.value) body.serial = serial.value;
      if (note.value) body.note = note.value;
      post(`/api/projectors/${encodeURIComponent(name)}/lamps/${lamp.value}`, body).then(({status: code, body: o}) => {
        result.textContent = code === 200 ? `Recorded: lamp ${o.lamp} replaced on ${o.replaced}.` : `Refused (${code}): ${o && o.error}`;
        if (code === 200) this.loadEvents();
      });
    });
    return form;
  },
  update(s) {
    const [words] = status(s);
    const t = s.temperature || [];
    const facts = [
      ['Status', words], ['Power status', shown(s.power_status)], ['Input', shown(s.input)],
      ['Lamp mode', s.lamp_mode === null || s.lamp_mode === undefined ? DASH : shown(LAMP_MODES[s.lamp_mode], '')],
      ['Orientation', shown(s.orientation)], ['Signal', shown(s.signal)], ['PC type', shown(s.pc_type)],
      ['Temperatures', `${shown(t[0], ' °C')}, ${shown(t[1], ' °C')}`], ['Pressure', shown(s.pressure_hpa, ' hPa')],
      ['Alarms', (s.alarms || []).length ? s.alarms.join('; ') : 'none'], ['Last answer', localTime(s.last_seen)],
      ['Line', `${s.line}, unit ${s.unit}`]];
    this.facts.replaceChildren(...facts.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
    const table = el('table');
    table.append(el('caption', {class: 'hidden'}, `Lamps of ${s.name}`));
    const head = el('tr');
    for (const c of ['Lamp', 'Life used', 'Hours', 'Remaining', 'Forecast end', 'Last replaced']) head.append(el('th', {scope: 'col'}, c));
    const thead = el('thead');
    thead.append(head);
    const body = el('tbody');
    const bars = lampBars(s).children;
    for (let i = 0; i < 4; i++) {
      const row = el('tr', {'data-lamp': String(i + 1)});
      row.append(el('th', {scope: 'row'}, String(i + 1)));
      const td = el('td');
      td.append(bars[0].cloneNode(true));
      row.append(td);
      row.append(el('td', {class: 'num'}, shown((s.lamp_hours || [])[i], ' h')),
        el('td', {class: 'num'}, shown((s.lamp_remaining_hours || [])[i], ' h')),
        el('td', {}, shown((s.lamp_forecast_end || [])[i])), el('td', {}, shown((s.lamp_replaced || [])[i])));
      body.append(row);
      bars[0].remove();
    }
    table.append(thead, body);
    const wrap = el('div', {class: 'scroll'});
    wrap.append(table);
    this.lamps.replaceChildren(wrap);
  },
  onProjector(s) { if (s.name === this.projector) this.update(s); },
  loadCharts() {
    const name = this.projector, days = this.days;
    const since = new Date(Date.now() + clockOffset - days * 86400000).toISOString();
    this.charts.replaceChildren(el('p', {}, 'Loading the samples…'));
    api(`/api/samples?projector=${encodeURIComponent(name)}&since=${encodeURIComponent(since)}`).then((o) => {
      if (this.projector !== name || this.days !== days) return;
      const samples = o.samples || [];
      const pick = (f) => samples.filter((x) => typeof f(x) === 'number').map((x) => [Date.parse(x.at), f(x)]);
      const temps = [0, 1].map((i) => ({name: `temperature${i + 1}`, label: `Sensor ${i + 1}`, points: pick((x) => (x.temperature || [])[i])}));
      const lamps = [0, 1, 2, 3].map((i) => ({name: `lamp${i + 1}`, label: `Lamp ${i + 1}`, points: pick((x) => (x.lamp_hours || [])[i])}));
      this.charts.replaceChildren(chart('Temperatures', '°C', temps, days), chart('Lamp hours', 'h', lamps, days));
    }).catch((e) => { this.charts.replaceChildren(el('p', {}, `The samples cannot be read: ${e.message}`)); });
  },
  loadEvents() {
    const name = this.projector;
    api(`/api/history?projector=${encodeURIComponent(name)}&limit=20`).then((o) => {
      if (this.projector !== name) return;
      const items = (o.events || []).map((e) => el('li', {}, `${localTime(e.at)} · ${e.kind} · ${eventWords(e)}`));
      this.events.replaceChildren(...(items.length ? items : [el('li', {}, 'No events kept.')]));
    }).catch((e) => { this.events.replaceChildren(el('li', {}, `The history cannot be read: ${e.message}`)); });
  },
};

// ---- The schedule -----------------------------------------------------------------------------------------

const schedulePage = {
  name: 'schedule',
  render() {
    const main = document.getElementById('view');
    main.replaceChildren(el('h2', {}, 'Schedule'), el('p', {}, 'Loading the schedule…'));
    api('/api/schedules').then((entries) => { if (view === this) this.show(entries); })
      .catch((e) => main.replaceChildren(el('h2', {}, 'Schedule'), el('p', {}, `The schedule cannot be read: ${e.message}`)));
  },
  show(entries) {
    const main = document.getElementById('view');
    const action = (e) => Object.entries(e.do || {}).map(([k, v]) => `${k} ${v}`).join(', ');
    const target = (e) => (e.target.projector ? e.target.projector : `group ${e.target.group}`);
    const runs = entries.flatMap((e) => (e.upcoming || []).map((at) => ({at, e}))).sort((a, b) => Date.parse(a.at) - Date.parse(b.at));
    const list = el('table', {id: 'runs'});
    list.append(el('caption', {}, 'Runs today and in the next 7 days'));
    const head = el('tr');
    for (const c of ['When', 'Entry', 'Target', 'Action']) head.append(el('th', {scope: 'col'}, c));
    const thead = el('thead');
    thead.append(head);
    const body = el('tbody');
    for (const {at, e} of runs) {
      const row = el('tr', {'data-at': at, 'data-entry': e.name});
      row.append(el('td', {}, localTime(at)), el('td', {}, e.name), el('td', {}, target(e)), el('td', {}, action(e)));
      body.append(row);
    }
    if (!runs.length) body.append(el('tr', {}, ''));
    list.append(thead, body);
    const wrap = el('div', {class: 'scroll'});
    wrap.append(list);
    main.replaceChildren(el('h2', {}, 'Schedule'), wrap, el('h3', {}, 'Entries'));
    if (!entries.length) main.append(el('p', {}, 'No schedule entries are configured.'));
    for (const e of entries) {
      const sec = el('section', {'data-entry': e.name, 'aria-label': `Entry ${e.name}`});
      sec.append(el('h3', {}, e.name));
      const when = e.dates && e.dates.length ? e.dates.join(', ') : e.days && e.days.length ? e.days.join(', ') : 'every day';
      const o = e.override || {};
      const facts = [['Target', target(e)], ['At', `${e.at}, ${when}`], ['Action', action(e)], ['Next run', localTime(e.next_run)],
        ['Last run', localTime(e.last_run)],
        ['Override', o.skip_next ? 'the next run is skipped' : o.hold_until ? `held until ${o.hold_until}` : 'none']];
      const dl = el('dl', {class: 'facts'});
      dl.append(...facts.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
      sec.append(dl);
      const results = Object.entries(e.result || {});
      if (results.length) {
        const ul = el('ul');
        for (const [p, r] of results) ul.append(el('li', {}, `${p}: ${r}`));
        sec.append(el('p', {}, 'The last run, by projector:'), ul);
      }
      if (operator) {
        const actions = el('div', {class: 'actions'});
        const result = el('div', {class: 'result', role: 'status'});
        const steer = (body) => post(`/api/schedules/${encodeURIComponent(e.name)}`, body).then(({status: code, body: b}) => {
          if (code === 200) this.render(); else result.textContent = `Refused (${code}): ${b && b.error}`;
        });
        const skip = el('button', {type: 'button', 'aria-label': `Skip the next run: ${e.name}`}, 'Skip the next run');
        skip.addEventListener('click', () => steer({skip_next: true}));
        const date = el('input', {type: 'date', 'aria-label': `Hold ${e.name} until`});
        const hold = el('button', {type: 'button', 'aria-label': `Hold until the date: ${e.name}`}, 'Hold until');
        hold.addEventListener('click', () => {
          if (!date.value) { result.textContent = 'Hold: choose a date.'; return; }
          steer({hold_until: date.value});
        });
        const resume = el('button', {type: 'button', 'aria-label': `Resume: ${e.name}`}, 'Resume');
        resume.addEventListener('click', () => steer({resume: true}));
        actions.append(skip, date, hold, resume);
        sec.append(actions, result);
      }
      main.append(sec);
    }
  },
  onProjector() {},
};

// ---- The history ------------------------------------------------------------------------------------------

const historyPage = {
  name: 'history',
  filter: {},
  render() {
    const main = document.getElementById('view');
    const form = el('form', {class: 'filters', 'aria-label': 'Filter the history'});
    const field = (label, input) => labelled(form, label, input);
    const choice = (name, label, options) => {
      const s = field(label, el('select', {name}));
      s.append(el('option', {value: ''}, 'any'));
      for (const o of options) s.append(el('option', {value: o}, o));
      s.value = this.filter[name] || '';
      return s;
    };
    choice('projector', 'Projector', [...projectors.keys()].sort());
    choice('kind', 'Kind', ['command', 'state', 'alarm', 'service', 'lamp', 'schedule']);
    choice('origin', 'Origin', ['console', 'mqtt', 'pjlink', 'schedule']);
    for (const [name, label] of [['since', 'From'], ['until', 'To']]) {
      const i = field(label, el('input', {type: 'date', name}));
      i.value = this.filter[name] || '';
    }
    form.append(el('button', {type: 'submit'}, 'Show'));
    this.csv = el('a', {download: 'history.csv'}, 'Download as CSV');
    form.append(this.csv);
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      this.filter = Object.fromEntries([...new FormData(form)].filter(([, v]) => v));
      this.load();
    });
    this.table = el('tbody');
    const table = el('table', {id: 'history'});
    table.append(el('caption', {class: 'hidden'}, 'Events, newest first'));
    const head = el('tr');
    for (const c of ['Time', 'Projector', 'Kind', 'Origin', 'What']) head.append(el('th', {scope: 'col'}, c));
    const thead = el('thead');
    thead.append(head);
    table.append(thead, this.table);
    const wrap = el('div', {class: 'scroll'});
    wrap.append(table);
    this.more = el('button', {type: 'button', class: 'hidden'}, 'Older events');
    this.more.addEventListener('click', () => this.load(this.next));
    this.note = el('p', {role: 'status'});
    main.replaceChildren(el('h2', {}, 'History'), form, this.note, wrap, this.more);
    this.load();
  },
  query(extra = {}) {
    const q = new URLSearchParams({...this.filter, ...extra});
    return q.toString();
  },
  load(before) {
    const first = before === undefined;
    this.csv.href = `/api/history?${this.query({format: 'csv'})}`;
    api(`/api/history?${this.query(first ? {limit: 100} : {limit: 100, before})}`).then((o) => {
      if (view !== this) return;
      const rows = (o.events || []).map((e) => {
        const row = el('tr', {'data-id': String(e.id)});
        row.append(el('td', {}, localTime(e.at)), el('td', {}, shown(e.projector)), el('td', {}, e.kind),
          el('td', {}, shown(e.origin)), el('td', {}, eventWords(e)));
        return row;
      });
      if (first) this.table.replaceChildren(...rows); else this.table.append(...rows);
      this.next = o.next;
      this.more.classList.toggle('hidden', !o.next);
      this.note.textContent = `${this.table.rows.length} events shown${o.next ? '; older ones follow' : ''}.`;
    }).catch((e) => { this.note.textContent = `The history cannot be read: ${e.message}`; });
  },
  onProjector() {},
};

// ---- Routing and the stream -------------------------------------------------------------------------------

function route() {
  const hash = decodeURIComponent(location.hash.replace(/^#/, '')) || '/';
  let next = fleet, key = 'fleet';
  if (hash.startsWith('/projector/')) {
    next = projectorPage;
    key = 'projector';
    if (projectorPage.projector !== hash.slice('/projector/'.length)) projectorPage.projector = hash.slice('/projector/'.length);
  } else if (hash === '/schedule') { next = schedulePage; key = 'schedule'; }
  else if (hash === '/history') { next = historyPage; key = 'history'; }
  for (const a of document.querySelectorAll('nav a')) {
    if (a.dataset.view === key) a.setAttribute('aria-current', 'page'); else a.removeAttribute('aria-current');
  }
  view = next;
  document.title = `kr7-bridge – ${key === 'projector' ? projectorPage.projector : key}`;
  if (ready) view.render();
}

let ready = false;
function connect() {
  const streamStatus = document.getElementById('stream');
  const source = new EventSource('/events');
  let pending = false;
  source.addEventListener('hello', (e) => {
    const hello = JSON.parse(e.data);
    clockOffset = Date.parse(hello.now) - Date.now();
    projectors.clear();
    ready = false;
    streamStatus.textContent = '';
    api('/api/groups').then((g) => { groups = g; }).catch(() => { groups = []; }).finally(() => {
      // The hello's projectors come right behind it: draw once they are in.
      setTimeout(() => { ready = true; summary(); view.render(); }, 0);
    });
  });
  source.addEventListener('reset', () => { projectors.clear(); if (ready) view.render(); });
  source.addEventListener('projector', (e) => {
    const s = JSON.parse(e.data);
    const known = projectors.has(s.name);
    projectors.set(s.name, s);
    if (!ready) return;
    if (!known && view === fleet) fleet.render(); else view.onProjector(s);
    if (!pending) {
      pending = true;
      queueMicrotask(() => { pending = false; summary(); });
    }
  });
  source.onerror = () => {
    streamStatus.textContent = 'The connection to the bridge is broken; what you see may be old. Reconnecting…';
  };
}

window.addEventListener('hashchange', () => { route(); document.getElementById('view').focus({preventScroll: true}); });
// "Unreachable for ... min" keeps counting while a projector stays away.
setInterval(() => {
  if (!ready) return;
  for (const s of projectors.values()) if (!s.available) view.onProjector(s);
}, 30000);
route();
connect();
