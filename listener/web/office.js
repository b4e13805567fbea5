// The office map: events, crews and tracks from the listener's API, live
// updates from its event stream. Every text that comes from the database is
// put in the page with textContent, never parsed as HTML.
'use strict';

const state = {
  config: {},
  types: new Map(), // id -> {name, icon}
  crews: new Map(), // name -> {data, marker, item}
  markers: new Map(), // event id -> marker
  tracks: new Map(), // crew -> polyline (the latest run)
  since: null, // seconds, the filter's start
  until: null,
  loadSerial: 0,
  clustered: false,
  snapshot: null, // which transactions the last load saw
  loading: 0, // loads under way: live messages wait for them
  waiting: [],
  liveSeen: false,
  total: 0, // events in view
  gridNote: null,
};

function showStatus(message) {
  const box = document.getElementById('status');
  box.textContent = message || '';
  box.hidden = !message;
}

async function api(path, params) {
  const query = new URLSearchParams();
  for (const [key, value] of Object.entries(params || {}))
    if (value !== null && value !== undefined && value !== '') query.set(key, value);
  const url = path + (query.toString() ? '?' + query : '');
  const answer = await fetch(url, { credentials: 'same-origin', cache: 'no-store' });
  if (answer.status === 401) {
    window.location.assign('/login');
    throw new Error('not logged in');
  }
  if (answer.status === 503) {
    showStatus('database unavailable, retrying');
    throw new Error('database unavailable');
  }
  if (!answer.ok) throw new Error((await answer.json()).error || answer.statusText);
  return answer.json();
}

// ---- map ----
const map = L.map('map', { attributionControl: false, worldCopyJump: true, maxZoom: 19 });
map.setView([20, 0], 2);
const eventLayer = window.L.markerClusterGroup
  ? L.markerClusterGroup({ chunkedLoading: true, showCoverageOnHover: false, disableClusteringAtZoom: 16,
    iconCreateFunction: clusterIcon })
  : L.layerGroup();
const serverClusters = L.layerGroup();
const trackLayer = L.layerGroup();
const crewLayer = new CrewLabels(name => zoomTo(name));
const graticule = L.layerGroup();
trackLayer.addTo(map);
eventLayer.addTo(map);
serverClusters.addTo(map);
crewLayer.addTo(map);

function clusterIcon(count) {
  const n = typeof count === 'number' ? count : count.getChildCount();
  const size = n < 10 ? 30 : n < 100 ? 36 : n < 1000 ? 42 : 50;
  const box = el('div', 'event-cluster');
  box.style.width = box.style.height = size + 'px';
  const label = el('span', null, n);
  label.style.marginTop = (size / 2 - 9) + 'px';
  box.appendChild(label);
  return L.divIcon({ html: box, className: 'event-cluster-icon', iconSize: [size, size] });
}

const Attribution = L.Control.extend({
  options: { position: 'bottomright' },
  onAdd() {
    this.box = el('div', 'attribution', this.options.text);
    return this.box;
  },
});

function drawGraticule() {
  graticule.clearLayers();
  const b = map.getBounds();
  const span = Math.max(b.getNorth() - b.getSouth(), 1e-6);
  const steps = [30, 10, 5, 2, 1, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001];
  const step = steps.find(s => span / s >= 3) || steps[steps.length - 1];
  const style = { color: '#9aa9b4', weight: 1, interactive: false };
  const west = Math.floor(b.getWest() / step) * step, east = b.getEast();
  const south = Math.max(-85, Math.floor(b.getSouth() / step) * step), north = Math.min(85, b.getNorth());
  for (let x = west; x <= east; x += step) graticule.addLayer(L.polyline([[south, x], [north, x]], style));
  for (let y = south; y <= north; y += step) graticule.addLayer(L.polyline([[y, west], [y, east]], style));
  if (state.gridNote) state.gridNote.textContent = 'No basemap; grid lines every ' + step + '°';
}

function markerFor(feature) {
  const p = feature.properties;
  const [lon, lat] = feature.geometry.coordinates;
  const icon = L.icon({
    iconUrl: '/icons/' + encodeURIComponent(p.icon || 'not_found.ico'),
    iconSize: [24, 24], iconAnchor: [12, 12], popupAnchor: [0, -12],
  });
  const marker = L.marker([lat, lon], { icon, title: p.type_name || '' });
  // A minimum width: the cells wrap, so the popup would otherwise be measured as narrow as a word.
  marker.bindPopup(() => popupFor(p), { minWidth: 260, maxWidth: 340 });
  marker.feature = feature;
  return marker;
}

function readFilters() {
  const from = document.getElementById('filter-from').value;
  const to = document.getElementById('filter-to').value;
  state.since = from ? new Date(from).getTime() / 1000 : null;
  state.until = to ? new Date(to).getTime() / 1000 : null;
  return {
    crew: document.getElementById('filter-crew').value,
    type: document.getElementById('filter-type').value,
    since: state.since, until: state.until,
  };
}

function viewBox() {
  const b = map.getBounds().pad(0.2);
  const clamp = (v, m) => Math.max(-m, Math.min(m, v));
  return [clamp(b.getWest(), 180), clamp(b.getSouth(), 90), clamp(b.getEast(), 180), clamp(b.getNorth(), 90)]
    .map(v => v.toFixed(6)).join(',');
}

// ---- loading ----

async function loadEvents() {
  const serial = ++state.loadSerial;
  state.loading += 1;
  try {
    await loadEventsNow(serial);
  } finally {
    state.loading -= 1;
    if (!state.loading) {
      const waiting = state.waiting;
      state.waiting = [];
      waiting.forEach(addLive);
    }
  }
}

async function loadEventsNow(serial) {
  const filters = readFilters();
  const params = { ...filters, bbox: viewBox() };
  let page = await api('/api/events', params);
  if (serial !== state.loadSerial) return;
  const features = [];
  serverClusters.clearLayers();
  state.clustered = page.clustered;
  state.snapshot = parseSnapshot(page.snapshot);
  if (page.clustered) {
    for (const f of page.features) {
      const [lon, lat] = f.geometry.coordinates;
      const m = L.marker([lat, lon], { icon: clusterIcon(f.properties.count) });
      m.on('click', () => map.setView([lat, lon], Math.min(map.getZoom() + 2, map.getMaxZoom())));
      serverClusters.addLayer(m);
    }
  } else {
    for (;;) {
      features.push(...page.features);
      if (page.next === null || page.next === undefined) break;
      page = await api('/api/events', { ...params, after: page.next });
      if (serial !== state.loadSerial) return;
    }
  }
  // Markers already shown stay (an open popup stays open); the rest come and go.
  const keep = new Map(features.map(f => [f.id, state.markers.get(f.id) || markerFor(f)]));
  const gone = [...state.markers].filter(([id]) => !keep.has(id)).map(([, m]) => m);
  const added = [...keep].filter(([id]) => !state.markers.has(id)).map(([, m]) => m);
  if (eventLayer.removeLayers) eventLayer.removeLayers(gone); else gone.forEach(m => eventLayer.removeLayer(m));
  if (eventLayer.addLayers) eventLayer.addLayers(added); else added.forEach(m => eventLayer.addLayer(m));
  state.markers.clear();
  for (const [id, m] of keep) state.markers.set(id, m);
  state.total = page.clustered ? page.features.reduce((n, f) => n + f.properties.count, 0) : keep.size;
  document.documentElement.dataset.loads = String(serial);
  showSummary();
}

function showSummary() {
  document.getElementById('summary').textContent = state.total + ' event' + (state.total === 1 ? '' : 's') +
    ' in view' + (state.clustered ? ' (grouped by the listener)' : '');
}

async function loadTracks() {
  const filters = readFilters();
  const lines = await api('/api/tracks', { bbox: viewBox(), since: filters.since, until: filters.until,
    crew: filters.crew, type: filters.type });
  trackLayer.clearLayers();
  state.tracks.clear();
  for (const f of lines.features) {
    if (!f.geometry || f.geometry.type !== 'LineString') continue;
    const line = L.polyline(f.geometry.coordinates.map(([x, y]) => [y, x]),
      { color: '#1565c0', weight: 3, opacity: 0.6, interactive: false });
    trackLayer.addLayer(line);
    state.tracks.set(f.properties.crew, line);
  }
}

function renderCrew(name) {
  const crew = state.crews.get(name);
  const d = crew.data;
  const stale = minutesAgo(d.last_seen) >= STALE_MINUTES;
  const element = crewLayer.show(name, d.lat, d.lon);
  element.dataset.seen = seenText(d.last_seen);
  element.classList.toggle('stale', stale);
  element.dataset.event = d.event_id || '';
  if (!crew.item) {
    crew.item = el('li');
    crew.item.appendChild(el('span', 'name', name));
    crew.item.appendChild(el('span', 'seen'));
    crew.item.appendChild(el('span', 'count'));
    crew.item.addEventListener('click', () => zoomTo(name));
  }
  crew.item.classList.toggle('stale', stale);
  crew.item.children[1].textContent = seenText(d.last_seen).replace('last seen ', '');
  crew.item.children[2].textContent = d.today + ' today';
}

function renderCrewList() {
  const list = document.getElementById('crews');
  const names = [...state.crews.keys()].sort((a, b) => a.localeCompare(b));
  list.replaceChildren(...names.map(n => state.crews.get(n).item));
  document.getElementById('crew-count').textContent = '(' + names.length + ')';
  const select = document.getElementById('filter-crew');
  const chosen = select.value;
  select.replaceChildren(el('option', null, 'All crews'), ...names.map(n => {
    const option = el('option', null, n);
    option.value = n;
    return option;
  }));
  select.firstChild.value = '';
  select.value = chosen;
}

function zoomTo(name) {
  const crew = state.crews.get(name);
  if (crew) map.setView([crew.data.lat, crew.data.lon], Math.max(map.getZoom(), 15), { animate: false });
}

function fetchCrews() {
  return api('/api/crews', { since: localMidnight().getTime() / 1000 });
}

function showCrews(answer) {
  const names = new Set();
  for (const data of answer.crews) {
    names.add(data.crew);
    const crew = state.crews.get(data.crew) || {};
    crew.data = data;
    state.crews.set(data.crew, crew);
    renderCrew(data.crew);
  }
  for (const [name, crew] of state.crews)
    if (!names.has(name)) {
      crewLayer.remove(name);
      state.crews.delete(name);
    }
  renderCrewList();
}

async function loadCrews() {
  showCrews(await fetchCrews());
}

// The view the page opens on: today's events, else the crews' positions.
function fitTo(answer) {
  const extent = answer.extent;
  if (extent) {
    map.fitBounds([[extent[1], extent[0]], [extent[3], extent[2]]], { maxZoom: 16, animate: false, padding: [30, 30] });
  } else {
    const located = answer.crews.map(c => [c.lat, c.lon]);
    if (located.length) map.fitBounds(L.latLngBounds(located).pad(0.2), { maxZoom: 14, animate: false });
  }
}

async function loadTypes() {
  const answer = await api('/api/types');
  const select = document.getElementById('filter-type');
  for (const t of answer.types) {
    state.types.set(t.id, t);
    const option = el('option', null, t.name);
    option.value = String(t.id);
    select.appendChild(option);
  }
}

// Tracks only where the events are drawn one by one: where the listener
// groups them, thousands of lines would hide the map and cost the load.
async function loadEventsAndTracks() {
  await loadEvents();
  if (state.clustered) {
    trackLayer.clearLayers();
    state.tracks.clear();
  } else {
    await loadTracks();
  }
}

async function reload(crewsToo = true) {
  try {
    await Promise.all([loadEventsAndTracks(), crewsToo ? loadCrews() : null]);
    showStatus('');
    if (!document.documentElement.dataset.readyMs) {
      // Drawn means painted: wait for the frame that shows it.
      await new Promise(resolve => requestAnimationFrame(() => setTimeout(resolve)));
      document.documentElement.dataset.readyMs = String(Math.round(performance.now()));
    }
    document.documentElement.dataset.state = 'ready';
  } catch (error) {
    if (String(error.message) === 'database unavailable') setTimeout(reload, 2000);
  }
}

// ---- live ----
// One transaction's events from the live feed: {xid, features}.
function addLive(message) {
  // Kept until the first view is drawn, and while a load runs: applied after
  // it, so nothing it saw is counted twice and nothing newer is lost.
  if (state.loading || !state.drawn) {
    state.waiting.push(message);
    return;
  }
  const features = message.features;
  // Grouped by the listener: the groups already count what the load saw.
  const counted = state.clustered && seenBy(state.snapshot, message.xid);
  const filters = readFilters();
  const fresh = [];
  let crewsChanged = false;
  const midnight = localMidnight().getTime();
  for (const f of features) {
    const p = f.properties;
    const name = p.crew_name;
    let crew = state.crews.get(name);
    if (!crew) {
      crew = { data: { crew: name, today: 0 } };
      state.crews.set(name, crew);
      crewsChanged = true;
    }
    if (!crew.data.id || f.id > crew.data.id) {
      Object.assign(crew.data, { id: f.id, event_id: p.event_id, lon: f.geometry.coordinates[0], lat: f.geometry.coordinates[1],
        last_seen: p.received_at, time: p.time });
    }
    if (new Date(p.time).getTime() >= midnight && !state.markers.has(f.id)) crew.data.today += 1;
    renderCrew(name);
    if (counted || !matches(p, filters) || state.markers.has(f.id)) continue;
    const marker = markerFor(f);
    state.markers.set(f.id, marker);
    fresh.push(marker);
    const track = state.tracks.get(name);
    if (track && (p.track_id === undefined || p.track_id !== null)) track.addLatLng(marker.getLatLng());
  }
  if (fresh.length) {
    state.total += fresh.length;
    showSummary();
    if (eventLayer.addLayers) eventLayer.addLayers(fresh); else fresh.forEach(m => eventLayer.addLayer(m));
  }
  if (crewsChanged) renderCrewList();
}

function openLive() {
  const source = new EventSource('/api/live');
  source.addEventListener('events', e => addLive(JSON.parse(e.data)));
  source.addEventListener('status', e => {
    const status = JSON.parse(e.data);
    if (status.database === 'ok') {
      if (document.getElementById('status').textContent) { showStatus(''); reload(); }
    } else {
      showStatus('database unavailable, retrying');
    }
  });
  source.onopen = () => {
    // A stream opened again may have missed events: read the view afresh.
    if (state.liveSeen) reload();
    state.liveSeen = true;
  };
  source.onerror = () => {
    if (source.readyState === EventSource.CLOSED) {
      // Refused (the database is down, or the session ended): try again.
      showStatus('database unavailable, retrying');
      setTimeout(() => { api('/api/config').then(openLive, () => setTimeout(openLive, 2000)); }, 2000);
    }
  };
}

// ---- start ----
async function start() {
  // The crews' answer holds the view to open on: ask for it with the config.
  const crewsAnswer = fetchCrews();
  crewsAnswer.catch(() => {});
  try {
    state.config = await api('/api/config');
  } catch (error) {
    setTimeout(start, 2000);
    return;
  }
  document.getElementById('user').textContent = state.config.user;
  // The stream opens before the first view is read, so an event stored
  // between that read and the stream's start still arrives.
  openLive();
  if (state.config.tiles) {
    L.tileLayer(state.config.tiles, { minZoom: state.config.minZoom || 0, maxZoom: state.config.maxZoom || 19 }).addTo(map);
    map.addControl(new Attribution({ text: state.config.attribution }));
  } else {
    const note = new Attribution({ text: '' });
    map.addControl(note);
    state.gridNote = note.box;
    graticule.addTo(map);
    drawGraticule();
    map.on('moveend', drawGraticule);
  }
  document.getElementById('filter-from').value = toInputValue(localMidnight());
  const refilter = () => reload();
  for (const id of ['filter-crew', 'filter-type', 'filter-from', 'filter-to'])
    document.getElementById(id).addEventListener('change', refilter);
  document.getElementById('filter-today').addEventListener('click', () => {
    document.getElementById('filter-from').value = toInputValue(localMidnight());
    document.getElementById('filter-to').value = '';
    reload();
  });
  // The filter lists no types until the next start if this fails.
  loadTypes().catch(() => {});
  let loaded;
  try {
    const answer = await crewsAnswer;
    // Fitted while the map is still empty, and the view's events asked for
    // before the crews are drawn, so the database works while the page draws.
    fitTo(answer);
    loaded = reload(false);
    showCrews(answer);
  } catch (error) {
    loaded = reload(); // says why and tries again
  }
  // Only moves after the first view read the view again.
  let timer = null;
  map.on('moveend', () => { clearTimeout(timer); timer = setTimeout(() => loadEventsAndTracks().catch(() => {}), 250); });
  await loaded;
  state.drawn = true;
  const waiting = state.waiting;
  state.waiting = [];
  waiting.forEach(addLive);
  setInterval(() => { for (const name of state.crews.keys()) renderCrew(name); }, 30000);
  setInterval(() => loadCrews().catch(() => {}), 60000);
}

// For the browser tests: what the page holds, and a way to read it afresh.
window.__zepta = { map, markers: state.markers, crews: state.crews, eventLayer, reload };

start();
