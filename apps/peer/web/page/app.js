// The TUL web view: services, a lazily loaded tree, a watch list with trends, and sets. Every
// name and value from the server is put on the page as text (textContent), never as HTML.
'use strict';

const TREND_MS = 5 * 60 * 1000;  // the trend shows the last five minutes
const NUMERIC = new Set(['Bool', 'Int', 'UInt', 'Real']);
const query = new URLSearchParams(location.search);
const token = query.get('token');
const view = {
  service: query.get('service'),
  watch: [],        // full member paths, in the order picked
  rows: new Map(),  // path -> row
  source: null,     // the EventSource of the watch list
  services: null,   // the last /api/services answer
  hubState: null,   // the last state event of the watch stream
  streamLost: false,
  pollFailed: false,
};

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function full(name) {
  return name.startsWith(view.service + '.') ? name : view.service + '.' + name;
}
function short(path) {
  return path.startsWith(view.service + '.') ? path.slice(view.service.length + 1) : path;
}

// The address holds the service and the watched members: a view is a link.
function updateAddress() {
  const parts = [];
  if (token) parts.push('token=' + encodeURIComponent(token));
  if (view.service) parts.push('service=' + encodeURIComponent(view.service));
  if (view.watch.length) parts.push('watch=' + view.watch.map((p) => encodeURIComponent(short(p))).join(','));
  history.replaceState(null, '', location.pathname + (parts.length ? '?' + parts.join('&') : ''));
}

// ---- connection state
function updateBanner() {
  const banner = document.getElementById('banner');
  let text = '';
  const services = view.services;
  if (view.pollFailed) {
    text = 'tul-peer web cannot be reached';
  } else if (services && !services.redis) {
    text = services.text || 'Redis cannot be reached';
  } else if (view.hubState && !view.hubState.redis) {
    text = view.hubState.text;
  } else if (view.service && services) {
    const entry = services.services.find((s) => s.name === view.service);
    if (!entry)
      text = 'Service ' + view.service + ' is not registered';
    else if (!entry.serving)
      text = 'Service ' + view.service + ' is not serving';
    else if (view.hubState && !view.hubState.serving && view.watch.length)
      text = view.hubState.text;
  }
  if (!text && view.streamLost) text = 'The live values are reconnecting';
  banner.textContent = text;
  banner.hidden = !text;
  const stale = !!text;
  for (const row of view.rows.values()) row.tr.classList.toggle('stale', stale);
}

// ---- services
function describe(s) {
  if (!s.serving) return 'not serving';
  return 'serving since ' + s.connectedSince +
      (s.registeredAt ? ', registered at ' + s.registeredAt : ', registration pending');
}

async function pollServices() {
  try {
    const response = await fetch('api/services');
    view.services = await response.json();
    view.pollFailed = false;
  } catch (e) {
    view.pollFailed = true;
  }
  renderServices();
  updateBanner();
  setTimeout(pollServices, 1000);
}

function renderServices() {
  const list = document.getElementById('services');
  const services = view.services ? view.services.services : [];
  document.getElementById('redis').textContent =
      view.services ? 'Redis ' + (view.services.address || '') : '';
  list.replaceChildren(...services.map((s) => {
    const item = el('li', s.serving ? 'serving' : 'down');
    item.dataset.service = s.name;
    item.classList.toggle('selected', s.name === view.service);
    item.append(el('span', 'name', s.name), el('span', 'status', describe(s)));
    item.addEventListener('click', () => selectService(s.name));
    return item;
  }));
  if (!services.length)
    list.append(el('li', 'more', view.services && view.services.redis ? 'no registered services' : ''));
}

function selectService(name) {
  if (name === view.service) return;
  view.service = name;
  for (const path of [...view.watch]) dropMember(path, false);
  renderServices();
  loadTree();
  openStream();
  updateAddress();
}

// ---- browse
async function browse(params) {
  const search = new URLSearchParams({service: view.service, ...params});
  const response = await fetch('api/browse?' + search);
  const answer = await response.json();
  if (!response.ok) throw new Error(answer.error || response.statusText);
  return answer;
}

function memberItem(m) {
  const item = el('li', 'member');
  item.dataset.path = m.path;
  const add = el('button', 'watch-button', '+');
  add.title = 'Watch';
  add.addEventListener('click', () => addMember(m.path));
  item.append(
      add, el('span', 'label', m.path.slice(m.path.lastIndexOf('.') + 1)),
      el('span', 'info', m.type + ' ' + m.size + ' ' + m.access));
  return item;
}

function nodeItem(n) {
  const item = el('li', 'node');
  item.dataset.path = n.path;
  const label = el('span', 'label', n.name);
  const children = el('ul');
  item.append(label, children);
  label.addEventListener('click', async () => {
    if (item.classList.toggle('open'))
      await fill(children, {under: n.path});
    else
      children.replaceChildren();
  });
  return item;
}

async function fill(list, params) {
  try {
    const answer = await browse(params);
    list.replaceChildren(...answer.members.map(memberItem), ...answer.nodes.map(nodeItem));
    if (answer.more > 0) list.append(el('li', 'more', answer.more + ' more: narrow them with the filter'));
    if (!answer.members.length && !answer.nodes.length) list.append(el('li', 'more', 'nothing here'));
  } catch (e) {
    list.replaceChildren(el('li', 'more', e.message));
  }
}

function loadTree() {
  document.getElementById('browse-service').textContent = view.service || '';
  const tree = document.getElementById('tree');
  const list = el('ul');
  tree.replaceChildren(list);
  if (!view.service) return;
  const filter = document.getElementById('search').value.trim();
  fill(list, filter ? {filter} : {under: view.service});
}

// ---- watch
function addMember(path) {
  if (view.rows.has(path)) return;
  view.watch.push(path);
  makeRow(path);
  updateAddress();
  openStream();
}

function dropMember(path, reopen = true) {
  const row = view.rows.get(path);
  if (row && row.chart) row.chart.destroy();
  if (row) row.tr.remove();
  view.rows.delete(path);
  view.watch = view.watch.filter((p) => p !== path);
  document.getElementById('watch-empty').hidden = view.watch.length > 0;
  if (reopen) {
    updateAddress();
    openStream();
  }
}

function makeRow(path) {
  const tr = el('tr');
  tr.dataset.member = path;
  const row = {
    tr,
    path,
    info: null,
    chart: null,
    points: [],
    time: null,
    dirty: false,
    value: el('td', 'value', '…'),
    changed: el('td', 'changed'),
    trend: el('td', 'trend'),
    set: el('td', 'set')
  };
  const drop = el('button', 'drop-button', '×');
  drop.title = 'Stop watching';
  drop.addEventListener('click', () => dropMember(path));
  const last = el('td');
  last.append(drop);
  tr.append(el('td', 'name', short(path)), row.value, row.changed, row.trend, row.set, last);
  document.querySelector('#watch tbody').append(tr);
  document.getElementById('watch-empty').hidden = true;
  view.rows.set(path, row);
  return row;
}

function describeMember(row, info) {
  row.info = info;
  row.set.replaceChildren();
  if (info.access === 'w') {
    row.value.textContent = 'write-only: it publishes nothing';
    row.value.className = 'value note';
  }
  if (info.access !== 'r') {
    const input = el('input', 'set-input');
    input.placeholder = info.type;
    const button = el('button', 'set-button', 'Set');
    const response = el('span', 'response');
    const send = () => setMember(row, input.value, response);
    button.addEventListener('click', send);
    input.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') send();
    });
    row.set.append(input, button, ' ', response);
  }
  if (NUMERIC.has(info.type) && info.access !== 'w' && typeof Chart !== 'undefined' && !row.chart) {
    const canvas = el('canvas', 'trend');
    canvas.width = 180;
    canvas.height = 48;
    row.trend.append(canvas);
    row.chart = new Chart(canvas, {
      type: 'line',
      data: {
        datasets: [{
          data: row.points,
          borderColor: '#1d3557',
          borderWidth: 1,
          pointRadius: 0,
          stepped: info.type === 'Bool'
        }]
      },
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        responsive: false,
        events: [],
        plugins: {legend: {display: false}, tooltip: {enabled: false}},
        scales: {
          x: {type: 'linear', display: false},
          y: {ticks: {maxTicksLimit: 3, font: {size: 9}}, ...(info.type === 'Bool' ? {min: 0, max: 1} : {})}
        }
      },
    });
  }
}

function showValue(path, value, id) {
  const row = view.rows.get(path);
  if (!row) return;
  row.value.textContent = value;
  row.time = Number(id.split('-')[0]);
  addPoint(row, row.time, value);
}

// Kept also before the chart exists: the history comes before the member's type.
function addPoint(row, time, value) {
  const y = value === 'true' ? 1 : value === 'false' ? 0 : Number(value);
  const cutoff = Date.now() - TREND_MS;  // the stream may hold values of long ago
  if (!Number.isFinite(y) || time < cutoff || (row.info && !NUMERIC.has(row.info.type))) return;
  row.points.push({x: time, y});
  while (row.points.length && row.points[0].x < cutoff) row.points.shift();
  row.dirty = true;
}

// Once a second: the "ago" texts and the trends that got values.
function tick() {
  const now = Date.now();
  for (const row of view.rows.values()) {
    if (row.time !== null) {
      const ago = Math.max(0, Math.round((now - row.time) / 1000));
      row.changed.textContent = new Date(row.time).toISOString().slice(11, 23) + ' (' +
          (ago < 120 ? ago + ' s' : Math.round(ago / 60) + ' min') + ' ago)';
    }
    if (row.chart && row.dirty) {
      row.dirty = false;
      row.chart.update('none');
    }
  }
}

function openStream() {
  if (view.source) view.source.close();
  view.source = null;
  view.hubState = null;
  if (!view.service) return;
  const search = 'service=' + encodeURIComponent(view.service) +
      '&watch=' + view.watch.map((p) => encodeURIComponent(short(p))).join(',');
  const source = new EventSource('api/events?' + search);
  view.source = source;
  source.onopen = () => {
    view.streamLost = false;
    updateBanner();
  };
  source.onerror = () => {
    view.streamLost = true;
    updateBanner();
  };
  source.onmessage = (message) => {
    const event = JSON.parse(message.data);
    if (event.kind === 'value') {
      showValue(event.member, event.value, event.id);
    } else if (event.kind === 'state') {
      view.hubState = event;
      updateBanner();
    } else if (event.kind === 'history') {
      for (const {member, points} of event.values) {
        const row = view.rows.get(member);
        if (!row) continue;
        for (const [id, value] of points) addPoint(row, Number(id.split('-')[0]), value);
      }
    } else if (event.kind === 'members') {
      for (const info of event.members) {
        const row = view.rows.get(info.path);
        if (row) describeMember(row, info);
      }
      for (const path of event.unknown) {
        const row = view.rows.get(path);
        if (row) {
          row.value.textContent = 'not a member of ' + view.service;
          row.value.className = 'value note';
        }
      }
    }
  };
}

// ---- set
async function setMember(row, value, response) {
  response.className = 'response';
  response.textContent = 'sending…';
  try {
    const answer = await fetch('api/set', {
                     method: 'POST',
                     headers: {'X-Tul-Request': '1'},
                     body: new URLSearchParams({service: view.service, member: row.path, value}),
                   }).then((r) => r.json());
    response.className = 'response ' + (answer.ok ? 'ok' : 'error');
    response.textContent = answer.ok ? 'success' : answer.text;
    response.title = answer.text;
  } catch (e) {
    response.className = 'response error';
    response.textContent = 'tul-peer web cannot be reached';
  }
}

// ---- start
let searchTimer = null;
document.getElementById('search').addEventListener('input', () => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(loadTree, 250);
});
for (const name of (query.get('watch') || '').split(',')) {
  if (name && view.service) {
    const path = full(name);
    if (!view.rows.has(path)) {
      view.watch.push(path);
      makeRow(path);
    }
  }
}
document.getElementById('watch-empty').hidden = view.watch.length > 0;
updateAddress();
loadTree();
openStream();
pollServices();
setInterval(tick, 1000);
