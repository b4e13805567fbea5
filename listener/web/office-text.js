// The office map's pieces that need no map: texts and popups built as DOM
// nodes (textContent, never HTML), the filters' dates, and PostgreSQL's
// snapshot text. Loaded before office.js, which uses them.
'use strict';

const STALE_MINUTES = 15;
const FIX_KINDS = ['no fix', 'GPS', 'DGPS', 'PPS', 'RTK fixed', 'RTK float', 'estimated', 'manual', 'simulation'];

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

// ---- popups ----
function formatTime(text) {
  if (!text) return '';
  const time = new Date(text);
  if (isNaN(time)) return String(text);
  return time.toISOString().replace(/(\.000)?Z$/, '').replace('T', ' ') + ' UTC\n' + time.toLocaleString() + ' (local)';
}

function popupFor(p) {
  const table = el('table', 'popup-table');
  const row = (label, value) => {
    if (value === null || value === undefined || value === '') return;
    const tr = el('tr');
    tr.appendChild(el('th', null, label));
    // Notes scroll in a box of their own: a table cell cannot be held to a height.
    const td = label === 'Notes' ? el('td') : el('td', null, value);
    if (label === 'Notes') td.appendChild(el('div', 'popup-notes', value));
    tr.appendChild(td);
    table.appendChild(tr);
  };
  row('Type', p.type_name || (p.event_type_id !== null ? 'type ' + p.event_type_id : ''));
  row('Crew', p.crew_name);
  row('Client id', p.client_id);
  row('Time', formatTime(p.time));
  row('Notes', p.notes);
  row('Fix', p.fix_quality !== null && p.fix_quality !== undefined ? (FIX_KINDS[p.fix_quality] || String(p.fix_quality)) : '');
  row('Satellites', p.satellites);
  row('HDOP', p.hdop);
  const accuracy = p.accuracy_m !== undefined ? p.accuracy_m : p.accuracy;
  row('Accuracy', accuracy !== null && accuracy !== undefined ? '±' + Number(accuracy).toFixed(1) + ' m' : '');
  return table;
}

// ---- filters ----
function localMidnight() {
  const now = new Date();
  return new Date(now.getFullYear(), now.getMonth(), now.getDate());
}

function toInputValue(date) {
  const pad = n => String(n).padStart(2, '0');
  return date.getFullYear() + '-' + pad(date.getMonth() + 1) + '-' + pad(date.getDate()) + 'T' +
    pad(date.getHours()) + ':' + pad(date.getMinutes());
}

function matches(p, filters) {
  if (filters.crew && p.crew_name !== filters.crew) return false;
  if (filters.type && String(p.event_type_id) !== filters.type) return false;
  const t = new Date(p.time).getTime() / 1000;
  if (filters.since !== null && t < filters.since) return false;
  if (filters.until !== null && t >= filters.until) return false;
  return true;
}

// PostgreSQL's snapshot text "xmin:xmax:id,id": whether a transaction's rows were seen.
function parseSnapshot(text) {
  if (!text) return null;
  const [xmin, xmax, running] = text.split(':');
  return { xmin: BigInt(xmin), xmax: BigInt(xmax), running: new Set((running || '').split(',').filter(Boolean)) };
}

function seenBy(snapshot, xid) {
  if (!snapshot || xid === undefined) return false;
  const id = BigInt(xid);
  return id < snapshot.xmin || (id < snapshot.xmax && !snapshot.running.has(String(id)));
}

function minutesAgo(time) {
  return Math.max(0, Math.floor((Date.now() - new Date(time).getTime()) / 60000));
}

function seenText(time) {
  const m = minutesAgo(time);
  return m < 1 ? 'last seen just now' : 'last seen ' + m + ' min ago';
}
