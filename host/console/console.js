// The console's Search, Logs and Host tabs and its tabs themselves (Browse is browse.js).
'use strict';

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
  } catch (error) { pane.textContent = describe('my-ZEL_TailLog', error); }
  if (following) pane.scrollTop = pane.scrollHeight;
}
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
for (const button of document.querySelectorAll('header nav button')) {
  button.onclick = () => {
    for (const other of document.querySelectorAll('header nav button')) {
      other.classList.toggle('active', other === button);
      if (other === button) other.setAttribute('aria-current', 'page'); else other.removeAttribute('aria-current');
    }
    for (const section of document.querySelectorAll('main > section')) section.hidden = section.id !== button.dataset.tab;
    if (button.dataset.tab === 'logs') tail();
    if (button.dataset.tab === 'host') hostFacts();
  };
}
browse();
