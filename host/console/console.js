// The console: plain DOM code over the gateway's /api routes. The access token travels in the
// cookie that the console's address set; every call is same-origin.
'use strict';

const MEANINGS = {
  '-1': 'the parameters were wrong or the answer could not be built', 1: 'the service failed',
  2: 'the archive cannot be found', 8: 'too large to read at once', 403: 'refused (switched off, or outside the allowed folders)',
  404: 'not found',
};
const VIRTUAL = [['My Music', '%MYMUSIC%'], ['My Videos', '%MYVIDEO%'], ['My Pictures', '%MYPICTURES%'],
  ['Desktop', '%DESKTOP%'], ['My Computer', '%MYCOMPUTER%']];
const ALL_COLUMNS = ['title', 'type', 'size', 'mediaType', 'path.extension', 'lastModified', 'creationDate', 'lastAccessTime', 'path'];
const SORTABLE = { title: 'title', size: 'size', 'path.extension': 'path.extension', lastModified: 'lastModified',
  creationDate: 'creationDate', lastAccessTime: 'lastAccessTime', path: 'path' };

const $ = (id) => document.getElementById(id);
const state = { trail: [], columns: ['title', 'type', 'size', 'mediaType', 'lastModified'], sort: 'title:asc',
  start: 0, selected: new Map(), searchStart: 0, listing: 0 };

function showError(text) { $('error').textContent = text; $('error').hidden = !text; }
function rcText(rc) { return `return code ${rc}: ${MEANINGS[rc] || 'see the module log'}`; }

// A failed call's answer names its service and, when the module answered, its return code.
function failure(response, body) {
  // Without the cookie only the address the host printed (with its token) lets the console in.
  const hint = response.status === 401 ? ': open the address with the token that zelhost printed' : '';
  const what = typeof body.rc === 'number' && body.service ? `${body.service}: ${rcText(body.rc)}` : body.error || `HTTP ${response.status}`;
  return new Error(`${what} (HTTP ${response.status})${hint}`);
}
async function api(path, options) {
  const response = await fetch(path, options);
  const body = await response.json().catch(() => ({ error: `HTTP ${response.status}` }));
  if (!response.ok) throw failure(response, body);
  return body;
}
async function call(service, input) {
  const answer = await api(`/api/services/${encodeURIComponent(service)}`, {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ input }) });
  return answer.output;
}
// A value as text: a null BSTR is empty, other typed values show their JSON form.
const text = (v) => (v === null || v === undefined ? ''
  : typeof v === 'object' ? ('bstr' in v ? v.bstr ?? '' : JSON.stringify(v)) : String(v));

// ---- Browse
function flags() { return 0x01 | 0x02 | ($('hidden').checked ? 0x08 : 0) | ($('recursive').checked ? 0x10 : 0); }

function renderCrumbs() {
  const crumbs = $('crumbs');
  crumbs.replaceChildren();
  const root = document.createElement('a');
  root.textContent = 'Home';
  root.onclick = () => { state.trail = []; state.start = 0; browse(); };
  crumbs.append(root);
  state.trail.forEach((step, i) => {
    const link = document.createElement('a');
    link.textContent = step.name;
    link.onclick = () => { state.trail = state.trail.slice(0, i + 1); state.start = 0; browse(); };
    crumbs.append(' / ', link);
  });
}

function header(columns, sortable = true) {
  const row = document.createElement('tr');
  row.append(document.createElement('th'));
  for (const column of columns) {
    const cell = document.createElement('th');
    cell.textContent = column;
    const key = sortable && SORTABLE[column];
    if (key && state.sort.startsWith(key + ':')) cell.className = state.sort.endsWith(':asc') ? 'asc' : 'desc';
    if (key) cell.onclick = () => {
      state.sort = state.sort === `${key}:asc` ? `${key}:desc` : `${key}:asc`;
      state.start = 0;
      browse();
    };
    row.append(cell);
  }
  $('items').tHead.replaceChildren(row);
}

// A folder typed in: one crumb per step of its path (Z:\a\b gives Z:\, Z:\a and Z:\a\b); a token or a
// network path is a single step.
function goTo(where) {
  const path = where.trim();
  if (!path) return;
  if (path.startsWith('%') || path.startsWith('\\\\')) {
    state.trail = [{ name: path, path }];
  } else {
    const steps = path.split(/[\\/]+/).filter(Boolean);
    state.trail = steps.map((name, i) => ({ name, path: i === 0 ? `${name}\\` : steps.slice(0, i + 1).join('\\') }));
  }
  state.start = 0;
  browse();
}

async function browse() {
  // Only the latest listing asked for is shown: an earlier answer that comes late is dropped.
  const ticket = ++state.listing;
  renderCrumbs();
  $('location').value = state.trail.length ? state.trail[state.trail.length - 1].path : '';
  const body = $('items').tBodies[0];
  if (state.trail.length === 0) {
    header(['title'], false);
    body.replaceChildren(...VIRTUAL.map(([name, token]) => {
      const row = document.createElement('tr');
      const cell = document.createElement('td');
      cell.className = 'folder';
      cell.textContent = name;
      cell.onclick = () => { state.trail = [{ name, path: token }]; state.start = 0; browse(); };
      row.append(document.createElement('td'), cell);
      return row;
    }));
    $('pager').textContent = `${VIRTUAL.length} virtual folders`;
    return;
  }
  const path = state.trail[state.trail.length - 1].path;
  const size = Number($('page-size').value);
  const wanted = [...new Set([...state.columns, 'type', 'path', 'mediumId', 'title'])];
  try {
    const [names, rows, folders, files] = await call('GetDiskFolderContent',
      ['console', path, flags(), $('filter').value.replace(/\s/g, ''), wanted.join(','), state.sort, state.start, size]);
    if (ticket !== state.listing) return;
    showError('');
    header(state.columns);
    const at = (row, name) => text(row[names.indexOf(name)]);
    body.replaceChildren(...rows.map((row) => {
      const tr = document.createElement('tr');
      const pick = document.createElement('td');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = state.selected.has(at(row, 'mediumId'));
      box.onchange = () => { if (box.checked) state.selected.set(at(row, 'mediumId'), at(row, 'title')); else state.selected.delete(at(row, 'mediumId')); updateZip(); };
      pick.append(box);
      tr.append(pick);
      const folder = at(row, 'type') === 'folder';
      for (const column of state.columns) {
        const td = document.createElement('td');
        td.textContent = at(row, column);
        if (column === 'title') {
          td.className = folder ? 'folder' : 'file';
          td.onclick = folder ? () => { state.trail.push({ name: at(row, 'title'), path: at(row, 'path') }); state.start = 0; browse(); }
            : () => download(`/api/files?path=${encodeURIComponent(at(row, 'path'))}`, at(row, 'title'));
        }
        tr.append(td);
      }
      return tr;
    }));
    renderPager($('pager'), state.start, size, folders + files, `${folders} folders, ${files} files`,
      (start) => { state.start = start; browse(); });
  } catch (error) {
    if (ticket !== state.listing) return;
    showError(error.message);
    header(state.columns);
    body.replaceChildren();
    $('pager').textContent = '';
  }
}

function renderPager(pager, start, size, total, summary, go) {
  pager.replaceChildren();
  const button = (label, to, enabled) => {
    const b = document.createElement('button');
    b.textContent = label;
    b.disabled = !enabled;
    b.onclick = () => go(to);
    return b;
  };
  pager.append(button('Previous', Math.max(0, start - size), start > 0),
    `items ${total ? start + 1 : 0}-${Math.min(start + size, total)} of ${total} (${summary})`,
    button('Next', start + size, start + size < total));
}

function updateZip() {
  $('zip').disabled = state.selected.size === 0;
  $('zip').textContent = `Download selected as zip (${state.selected.size})`;
}

// ---- Transfers: read the body piece by piece to show progress against the announced length.
// `leftOut`: what the archive could not hold, listed under the download while it runs.
async function download(url, name, announced, leftOut = []) {
  $('transfer').hidden = false;
  $('transfer-name').textContent = name;
  $('left-out').hidden = leftOut.length === 0;
  $('left-out').replaceChildren(...leftOut.map(({ path, reason }) => {
    const item = document.createElement('li');
    item.textContent = `left out ${path}: ${reason}`;
    return item;
  }));
  try {
    const response = await fetch(url);
    if (!response.ok) throw failure(response, await response.json().catch(() => ({})));
    const total = announced || Number(response.headers.get('Content-Length')) || 0;
    const reader = response.body.getReader();
    const parts = [];
    let got = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      parts.push(value);
      got += value.length;
      $('transfer-bar').value = total ? got / total : 0;
      $('transfer-text').textContent = `${got} of ${total} bytes`;
    }
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob(parts));
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    $('transfer-text').textContent = `${got} of ${total} bytes - done`;
  } catch (error) { showError(`${name}: ${error.message}`); }
}

$('zip').onclick = async () => {
  try {
    const answer = await api('/api/zip', { method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ ids: [...state.selected.keys()], name: 'selection.zip' }) });
    await download(answer.url, answer.name, answer.size, answer.leftOut);
  } catch (error) { showError(error.message); }
};

// ---- Search
async function search() {
  const size = 10;
  try {
    const xml = await call('GoogleDesktopSearch', ['console', $('query').value, state.searchStart, size, 0]);
    const doc = new DOMParser().parseFromString(text(xml), 'text/xml');
    const results = [...doc.querySelectorAll('result')];
    $('results').start = state.searchStart + 1;
    $('results').replaceChildren(...results.map((r) => {
      const li = document.createElement('li');
      const snippet = r.querySelector('snippet')?.textContent;
      li.textContent = `${r.querySelector('title')?.textContent || ''}${snippet ? ` (${snippet})` : ''}` +
        ` - ${r.querySelector('url')?.textContent || ''}`;
      return li;
    }));
    const pager = $('search-pager');
    pager.replaceChildren();
    const go = (to) => { state.searchStart = to; search(); };
    renderPager(pager, state.searchStart, size, state.searchStart + results.length + (results.length === size ? size : 0),
      `${results.length} on this page`, go);
    showError('');
  } catch (error) { showError(error.message); }
}
$('search-go').onclick = () => { state.searchStart = 0; search(); };

// ---- Logs
async function tail() {
  // The newest lines are at the end: stay there, unless the reader has scrolled up to read.
  const pane = $('tail');
  const following = !pane.textContent || pane.scrollTop + pane.clientHeight >= pane.scrollHeight - 4;
  try {
    pane.textContent = (await api('/api/logs?size=20000')).text ?? '';
  } catch (error) { pane.textContent = error.message; }
  if (following) pane.scrollTop = pane.scrollHeight;
}
$('logs-zip').onclick = () => download('/api/logs.zip', 'zel-logs.zip');
setInterval(() => { if (!$('logs').hidden && $('follow').checked) tail(); }, 2000);

// ---- Host
// The answer of "my-ZEL_GetVersion": [null, version, bias, local time (OLE date), zone state,
// standard name, rule, bias, daylight name, rule, bias], one labelled line each.
function describeVersion(answer) {
  if (!Array.isArray(answer) || answer.length !== 11) return JSON.stringify(answer);
  const [, version, bias, local, zoneState, standardName, standardRule, standardBias, daylightName, daylightRule,
    daylightBias] = answer;
  const days = local && typeof local === 'object' ? local.date : undefined;
  const time = typeof days === 'number' ? new Date(Math.round((days - 25569) * 86400000)) : null;
  const zone = { 0: 'unknown', 1: 'standard time', 2: 'daylight saving time' }[zoneState] ?? String(zoneState);
  return [`version: ${text(version) || '(not set)'}`,
    `local time: ${time && !Number.isNaN(time.getTime()) ? time.toISOString().replace('T', ' ').slice(0, 19) : text(local)}`,
    `bias: ${bias} min, now in ${zone}`,
    `standard: ${text(standardName)}, bias ${standardBias} min, rule ${JSON.stringify(standardRule)}`,
    `daylight: ${text(daylightName)}, bias ${daylightBias} min, rule ${JSON.stringify(daylightRule)}`].join('\n');
}

async function hostFacts() {
  const facts = [];
  const ask = async (label, service, input, describe = (value) => (value === null ? '(none)' : typeof value === 'string' ? value : JSON.stringify(value))) => {
    try { facts.push([label, describe(await call(service, input))]); }
    catch (error) { facts.push([label, error.message]); }
  };
  await ask('Version and time zone (my-ZEL_GetVersion)', 'my-ZEL_GetVersion', null, describeVersion);
  await ask('Configuration (GetZelConfig)', 'GetZelConfig', null);
  await ask('Data folder (GetZelDataFolder)', 'GetZelDataFolder', null);
  await ask('Registered DVRs (Get Registered DVRs)', 'Get Registered DVRs', null);
  $('facts').replaceChildren(...facts.flatMap(([label, value]) => {
    const dt = document.createElement('dt');
    dt.textContent = label;
    const dd = document.createElement('dd');
    dd.textContent = value;
    return [dt, dd];
  }));
  await prefixTable();
}

// The custom medium-id registrations, as the module's configuration document holds them.
async function prefixTable() {
  const body = $('prefixes').tBodies[0];
  try {
    const answer = await api('/api/host/prefixes');
    body.replaceChildren(...answer.prefixes.map((entry) => {
      const row = document.createElement('tr');
      const when = new Date(entry.timestamp * 1000);
      for (const value of [`X${entry.prefix}...`, entry.satellite, entry.getMediumFromId, entry.getMediumInfoFromId,
        entry.getMediumListInfoFromId, entry.isMediumShared,
        Number.isNaN(when.getTime()) ? String(entry.timestamp) : when.toISOString().replace('T', ' ').slice(0, 19)]) {
        const cell = document.createElement('td');
        cell.textContent = value;
        row.append(cell);
      }
      return row;
    }));
    const count = `${answer.prefixes.length} registered`;
    $('prefix-note').textContent = answer.state === 'loaded' ? `${count}, from ${answer.path}`
      : answer.state === 'absent' ? `none registered: ${answer.path} does not exist yet`
        : `${answer.path}: ${answer.error}`;
    $('prefix-note').className = answer.state === 'refused' ? 'problem' : '';
  } catch (error) {
    body.replaceChildren();
    $('prefix-note').textContent = error.message;
    $('prefix-note').className = 'problem';
  }
}

// ---- Tabs and settings
for (const button of document.querySelectorAll('nav button')) {
  button.onclick = () => {
    for (const other of document.querySelectorAll('nav button')) other.classList.toggle('active', other === button);
    for (const section of document.querySelectorAll('main section')) section.hidden = section.id !== button.dataset.tab;
    if (button.dataset.tab === 'logs') tail();
    if (button.dataset.tab === 'host') hostFacts();
  };
}
for (const column of ALL_COLUMNS) {
  const label = document.createElement('label');
  const box = document.createElement('input');
  box.type = 'checkbox';
  box.checked = state.columns.includes(column);
  box.onchange = () => {
    state.columns = ALL_COLUMNS.filter((c) => (c === column ? box.checked : state.columns.includes(c)));
    browse();
  };
  label.append(box, ' ', column, ' ');
  $('column-choice').append(label);
}
$('location').onkeydown = (event) => { if (event.key === 'Enter') goTo($('location').value); };
for (const id of ['filter', 'hidden', 'recursive', 'page-size']) $(id).onchange = () => { state.start = 0; browse(); };
browse();
