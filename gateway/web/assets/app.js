// The status page: the overview and the picked device's points, asked for
// again every second (GET /api/status, /api/unit/ID); trends drawn from the
// gateway's own samples. Text only through textContent.
'use strict';

let picked = null;

function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text === null || text === undefined ? '' : String(text);
  if (cls) td.className = cls;
  return td;
}

function fill(id, items, draw) {
  const body = document.querySelector('#' + id + ' tbody');
  const rows = document.createDocumentFragment();
  for (const item of items) {
    const tr = document.createElement('tr');
    draw(tr, item);
    rows.appendChild(tr);
  }
  body.replaceChildren(rows);
}

function age(ms) {
  if (ms === null) return 'never';
  return ms < 1000 ? ms + ' ms' : (ms / 1000).toFixed(1) + ' s';
}

function trend(values) {
  const canvas = document.createElement('canvas');
  canvas.width = 150;
  canvas.height = 24;
  const good = values.filter(v => v !== null);
  if (good.length === 0) return canvas;
  const lo = Math.min(...good), hi = Math.max(...good);
  const g = canvas.getContext('2d');
  g.strokeStyle = '#2060a0';
  g.beginPath();
  let drawing = false;
  values.forEach((v, i) => {
    if (v === null) { drawing = false; return; }
    const x = values.length > 1 ? i * (canvas.width - 1) / (values.length - 1) : 0;
    const y = hi === lo ? canvas.height / 2 : canvas.height - 2 - (v - lo) * (canvas.height - 4) / (hi - lo);
    if (drawing) g.lineTo(x, y); else g.moveTo(x, y);
    drawing = true;
  });
  g.stroke();
  return canvas;
}

function showStatus(s) {
  document.getElementById('version').textContent = 'version ' + s.version;
  document.getElementById('uptime').textContent = 'up ' + s.uptime_s + ' s';
  fill('lines', s.lines, (tr, l) => {
    cell(tr, l.name);
    cell(tr, l.port);
    cell(tr, l.state, l.running ? 'good' : 'bad');
    cell(tr, l.cycle_ms + ' ms', 'num');
    cell(tr, l.floor_ms + ' ms', 'num');
    cell(tr, l.transactions, 'num');
    cell(tr, l.failures, 'num');
    cell(tr, l.last_status);
  });
  if (picked === null && s.devices.length > 0) picked = s.devices[0].unit;
  fill('devices', s.devices, (tr, d) => {
    tr.className = 'pick' + (d.unit === picked ? ' picked' : '');
    tr.dataset.unit = d.unit;
    tr.addEventListener('click', () => { picked = d.unit; refresh(); });
    cell(tr, d.unit, 'num');
    cell(tr, d.name);
    cell(tr, d.line);
    cell(tr, d.station);
    cell(tr, d.state, d.state);
    cell(tr, d.good_points + ' / ' + d.points, 'num');
    cell(tr, d.reason);
  });
  document.getElementById('modbus').textContent = s.modbus.open + ' open, ' +
      s.modbus.refused + ' refused, ' + s.modbus.closed + ' closed by the gateway';
  fill('clients', s.modbus.clients, (tr, c) => {
    cell(tr, c.address);
    cell(tr, c.connections, 'num');
    cell(tr, c.requests, 'num');
    cell(tr, c.writes, 'num');
    cell(tr, c.write_failures, 'num');
    cell(tr, c.refusals, 'num');
  });
  const m = s.mqtt;
  document.getElementById('mqtt').textContent = m === null ? 'not configured' :
      (m.session_up ? 'session up' : 'session down') + ' at ' + m.broker + ', bdSeq ' + m.bdseq +
      (m.primary_host ? ', primary host ' + m.primary_host + (m.host_online ? ' online' : ' offline') : '') +
      ', store depth ' + m.store_depth + ', published ' + m.published + ', replayed ' + m.replayed +
      ', dropped ' + m.dropped + ', refused commands ' + m.commands_refused;
  document.getElementById('audit').textContent = s.audit.length ? s.audit.join('\n') : 'no write yet';
}

function showUnit(u) {
  document.getElementById('points-title').textContent =
      'Points of unit ' + u.unit + (u.name ? ' (' + u.name + ')' : '') + ', station ' + u.station +
      ' on line ' + u.line;
  fill('points', u.points, (tr, p) => {
    tr.dataset.point = p.table + ' ' + p.address;
    cell(tr, p.table);
    cell(tr, p.address, 'num');
    cell(tr, p.point);
    cell(tr, p.value === null ? '' : p.value + (p.units ? ' ' + p.units : ''), 'num value');
    const q = cell(tr, p.quality + (p.reason ? ': ' + p.reason : ''), p.good ? 'good quality' : 'bad quality');
    q.dataset.good = p.good;
    cell(tr, age(p.age_ms), 'num');
    tr.insertCell().appendChild(trend(p.trend || []));
  });
}

async function get(path) {
  const answer = await fetch(path, { cache: 'no-store' });
  if (!answer.ok) throw new Error(path + ': ' + answer.status);
  return answer.json();
}

async function refresh() {
  const state = document.getElementById('state');
  try {
    showStatus(await get('/api/status'));
    if (picked !== null) showUnit(await get('/api/unit/' + picked));
    state.textContent = 'live';
    state.className = 'good';
  } catch (e) {
    state.textContent = 'no answer from the gateway';
    state.className = 'stale';
  }
}

refresh();
setInterval(refresh, 1000);
