// The Browse tab: the folder listing with readable sizes and dates and an icon per media type, the
// selection (kept across folders, shown as a panel), and the keys: arrows move between rows, Enter
// opens the row (a folder, a player, the picture viewer, or a download), Space selects it.
'use strict';

const VIRTUAL = [['My Music', '%MYMUSIC%'], ['My Videos', '%MYVIDEO%'], ['My Pictures', '%MYPICTURES%'],
  ['Desktop', '%DESKTOP%'], ['My Computer', '%MYCOMPUTER%']];
const ALL_COLUMNS = ['title', 'type', 'size', 'mediaType', 'path.extension', 'lastModified', 'creationDate', 'lastAccessTime', 'path'];
const SORTABLE = { title: 'title', size: 'size', 'path.extension': 'path.extension', lastModified: 'lastModified',
  creationDate: 'creationDate', lastAccessTime: 'lastAccessTime', path: 'path' };
const DATES = new Set(['lastModified', 'creationDate', 'lastAccessTime', 'dateModified']);

const state = { trail: [], columns: ['title', 'type', 'size', 'mediaType', 'lastModified'], sort: 'title:asc',
  start: 0, selected: new Map(), searchStart: 0, listing: 0, focusFirst: false };

// 16 x 16 pictures drawn here, so the console needs no file of anyone else's.
const ICONS = {
  folder: '<path d="M1 3h5l2 2h7v9H1z" fill="#f0b429"/>',
  audio: '<path d="M6 2h8v9.5a2 2 0 1 1-1.5-1.9V5H7.5v7.5a2 2 0 1 1-1.5-1.9z" fill="#7b1fa2"/>',
  video: '<rect x="1" y="3" width="14" height="10" rx="1.5" fill="#c62828"/><path d="M6.5 5.5v5l4-2.5z" fill="#fff"/>',
  photo: '<rect x="1" y="2" width="14" height="12" rx="1" fill="#2e7d32"/><circle cx="5" cy="6" r="1.5" fill="#fff"/>' +
    '<path d="M2 13l4-4 3 3 2-2 4 3z" fill="#c8e6c9"/>',
  document: '<path d="M3 1h7l3 3v11H3z" fill="#546e7a"/><path d="M5 7h6M5 9.5h6M5 12h4" stroke="#fff"/>',
  file: '<path d="M3 1h7l3 3v11H3z" fill="#90a4ae"/>',
};
function icon(item) {
  const kind = item.folder ? 'folder' : mediaKind(item.mediaType);
  const span = document.createElement('span');
  span.className = 'icon';
  span.setAttribute('aria-hidden', 'true');
  span.dataset.kind = ICONS[kind] ? kind : 'file';
  span.innerHTML = `<svg viewBox="0 0 16 16">${ICONS[span.dataset.kind]}</svg>`;
  return span;
}

function flags() { return 0x01 | 0x02 | ($('hidden').checked ? 0x08 : 0) | ($('recursive').checked ? 0x10 : 0); }
const currentFolder = () => state.trail[state.trail.length - 1]?.path;

function go(trail) {
  state.trail = trail;
  state.start = 0;
  browse();
}

function renderCrumbs() {
  const link = (name, trail) => {
    const a = document.createElement('a');
    a.textContent = name;
    a.href = '#';
    a.onclick = (event) => { event.preventDefault(); go(trail); };
    return a;
  };
  $('crumbs').replaceChildren(link('Home', []));
  state.trail.forEach((step, i) => $('crumbs').append(' / ', link(step.name, state.trail.slice(0, i + 1))));
}

function header(columns, sortable = true) {
  const row = document.createElement('tr');
  const pick = document.createElement('th');
  pick.setAttribute('aria-label', 'Selected');
  row.append(pick);
  for (const column of columns) {
    const cell = document.createElement('th');
    const key = sortable && SORTABLE[column];
    if (key) {
      const button = document.createElement('button');
      button.textContent = column;
      button.setAttribute('aria-label', `Sort by ${column}`);
      button.onclick = () => {
        state.sort = state.sort === `${key}:asc` ? `${key}:desc` : `${key}:asc`;
        state.start = 0;
        browse();
      };
      cell.append(button);
      if (state.sort.startsWith(key + ':')) {
        const ascending = state.sort.endsWith(':asc');
        cell.className = ascending ? 'asc' : 'desc';
        cell.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
      }
    } else {
      cell.textContent = column;
    }
    row.append(cell);
  }
  const actions = document.createElement('th');
  actions.setAttribute('aria-label', 'Download');
  row.append(actions);
  $('items').tHead.replaceChildren(row);
}

// ---- Rows
const rowItems = new WeakMap();  // row element -> its item

function openItem(item) {
  if (item.folder) {
    go([...state.trail, { name: item.title, path: item.path }]);
    return;
  }
  const kind = mediaKind(item.mediaType);
  if (kind === 'audio' || kind === 'video') play(item);
  else if (kind === 'photo') openPictures(item);
  else downloadFile(item.path, item.title);
}

// Every picture of the folder, not only those of the page shown, in the listing's order.
async function openPictures(item) {
  let pictures = [item];
  try {
    const [names, rows] = await call('GetDiskFolderContent', ['console', currentFolder(), flags(),
      $('filter').value.replace(/\s/g, ''), 'title,path,mediaType', state.sort, 0, 0]);
    const found = rows.map((row) => Object.fromEntries(names.map((name, i) => [name, text(row[i])])))
      .filter((entry) => mediaKind(entry.mediaType) === 'photo');
    if (found.some((entry) => entry.path === item.path)) pictures = found;
  } catch { /* the one picture asked for still opens */ }
  view(pictures, item);
}

function toggle(item, on) {
  if (on) state.selected.set(item.mediumId, item); else state.selected.delete(item.mediumId);
  renderSelection();
}

function renderRow(item, columns, selectable) {
  const tr = document.createElement('tr');
  tr.tabIndex = -1;
  rowItems.set(tr, item);
  const pick = document.createElement('td');
  if (selectable) {
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.tabIndex = -1;
    box.dataset.id = item.mediumId;
    box.checked = state.selected.has(item.mediumId);
    box.setAttribute('aria-label', `Select ${item.title}`);
    box.onchange = () => toggle(item, box.checked);
    pick.append(box);
    tr.classList.toggle('picked', box.checked);
  }
  tr.append(pick);
  for (const column of columns) {
    const td = document.createElement('td');
    const value = item.values[column] ?? '';
    if (column === 'title') {
      td.className = item.folder ? 'folder' : 'file';
      td.append(icon(item), value);
      td.onclick = () => openItem(item);
    } else if (column === 'size') {
      // A folder's size is no sum of its files; the module writes 0 there.
      td.className = 'size';
      if (!item.folder && value !== '') {
        td.textContent = formatSize(Number(value));
        td.title = exactSize(Number(value));
      }
    } else if (DATES.has(column)) {
      td.textContent = formatDate(value);
      td.title = value;
    } else {
      td.textContent = value;
    }
    tr.append(td);
  }
  const actions = document.createElement('td');
  if (!item.folder) {
    const button = document.createElement('button');
    button.className = 'row-action';
    button.tabIndex = -1;
    button.textContent = '\u2B07';
    button.setAttribute('aria-label', `Download ${item.title}`);
    button.onclick = () => downloadFile(item.path, item.title);
    actions.append(button);
  }
  tr.append(actions);
  return tr;
}

// One row at a time takes the Tab key; the arrows move between rows.
function focusRow(row) {
  if (!row) return;
  for (const other of $('items').tBodies[0].rows) other.tabIndex = other === row ? 0 : -1;
  row.focus();
}
$('items').tBodies[0].addEventListener('keydown', (event) => {
  const row = event.target;
  if (!(row instanceof HTMLTableRowElement)) return;
  const item = rowItems.get(row);
  const moves = { ArrowDown: () => focusRow(row.nextElementSibling), ArrowUp: () => focusRow(row.previousElementSibling),
    Home: () => focusRow(row.parentElement.firstElementChild), End: () => focusRow(row.parentElement.lastElementChild),
    Enter: () => { state.focusFirst = item.folder; openItem(item); },
    ' ': () => { if (item.mediumId) toggle(item, !state.selected.has(item.mediumId)); } };
  if (!moves[event.key]) return;
  event.preventDefault();
  moves[event.key]();
});
$('items').tBodies[0].addEventListener('focusin', (event) => {
  if (event.target instanceof HTMLTableRowElement) focusRow(event.target);
});

function showRows(rows) {
  const body = $('items').tBodies[0];
  body.replaceChildren(...rows);
  if (rows.length) rows[0].tabIndex = 0;
  if (state.focusFirst && rows.length) focusRow(rows[0]);
  state.focusFirst = false;
}

async function browse() {
  // Only the latest listing asked for is shown: an earlier answer that comes late is dropped.
  const ticket = ++state.listing;
  renderCrumbs();
  $('location').value = currentFolder() ?? '';
  if (state.trail.length === 0) {
    header(['title'], false);
    showRows(VIRTUAL.map(([name, token]) => renderRow({ title: name, path: token, folder: true, values: { title: name } },
      ['title'], false)));
    $('pager').textContent = `${VIRTUAL.length} virtual folders`;
    return;
  }
  const size = Number($('page-size').value);
  const wanted = [...new Set([...state.columns, 'type', 'path', 'mediumId', 'title', 'mediaType', 'size'])];
  try {
    const [names, rows, folders, files] = await call('GetDiskFolderContent',
      ['console', currentFolder(), flags(), $('filter').value.replace(/\s/g, ''), wanted.join(','), state.sort, state.start, size]);
    if (ticket !== state.listing) return;
    showError('');
    header(state.columns);
    showRows(rows.map((row) => {
      const values = Object.fromEntries(names.map((name, i) => [name, text(row[i])]));
      return renderRow({ title: values.title, path: values.path, mediumId: values.mediumId, mediaType: values.mediaType,
        folder: values.type === 'folder', size: Number(values.size), values }, state.columns, true);
    }));
    renderPager($('pager'), state.start, size, folders + files, `${folders} folders, ${files} files`,
      (start) => { state.start = start; browse(); });
  } catch (error) {
    if (ticket !== state.listing) return;
    showError(describe('GetDiskFolderContent', error));
    header(state.columns);
    showRows([]);
    $('pager').textContent = '';
  }
}

function renderPager(pager, start, size, total, summary, goTo) {
  pager.replaceChildren();
  const button = (label, to, enabled) => {
    const b = document.createElement('button');
    b.textContent = label;
    b.disabled = !enabled;
    b.onclick = () => goTo(to);
    return b;
  };
  pager.append(button('Previous', Math.max(0, start - size), start > 0),
    `items ${total ? start + 1 : 0}-${Math.min(start + size, total)} of ${total} (${summary})`,
    button('Next', start + size, start + size < total));
}

// A folder typed in: one crumb per step of its path (Z:\a\b gives Z:\, Z:\a and Z:\a\b); a token or a
// network path is a single step.
function goToTyped(where) {
  const path = where.trim();
  if (!path) return;
  if (path.startsWith('%') || path.startsWith('\\\\')) {
    go([{ name: path, path }]);
  } else {
    const steps = path.split(/[\\/]+/).filter(Boolean);
    go(steps.map((name, i) => ({ name, path: i === 0 ? `${name}\\` : steps.slice(0, i + 1).join('\\') })));
  }
}

// ---- The selection: what is picked in any folder, until removed or cleared.
let sizeTicket = 0;
async function renderSelection() {
  const picked = [...state.selected.values()];
  $('selection').hidden = picked.length === 0;
  $('zip').textContent = `Download selected as zip (${picked.length})`;
  $('picked').replaceChildren(...picked.map((item) => {
    const li = document.createElement('li');
    const remove = document.createElement('button');
    remove.textContent = 'Remove';
    remove.setAttribute('aria-label', `Remove ${item.title} from the selection`);
    remove.onclick = () => toggle(item, false);
    li.append(icon(item), item.title, remove);
    li.title = item.path;
    return li;
  }));
  for (const box of $('items').querySelectorAll('tbody input[type=checkbox]')) {
    box.checked = state.selected.has(box.dataset.id);
    box.closest('tr').classList.toggle('picked', box.checked);
  }
  const summary = $('selection-summary');
  summary.textContent = `${picked.length} selected`;
  summary.title = '';
  if (!picked.length) return;
  // Folders count the files under them: the module adds them up.
  const ticket = ++sizeTicket;
  try {
    const [files, total] = await call('QueryFileSize', ['console', ...picked.map((item) => item.mediumId)]);
    if (ticket !== sizeTicket) return;
    summary.textContent = `${picked.length} selected: ${number(files)} files, ${formatSize(number(total))}`;
    summary.title = exactSize(number(total));
  } catch (error) {
    if (ticket === sizeTicket) summary.textContent = `${picked.length} selected (${error.message})`;
  }
}
$('clear-selection').onclick = () => { state.selected.clear(); renderSelection(); };
$('zip').onclick = () => {
  const picked = [...state.selected.values()];
  downloadZip(picked.map((item) => item.mediumId),
    picked.length === 1 && picked[0].folder ? `${picked[0].title}.zip` : 'selection.zip');
};

$('location').onkeydown = (event) => { if (event.key === 'Enter') goToTyped($('location').value); };
for (const id of ['filter', 'hidden', 'recursive', 'page-size']) $(id).onchange = () => { state.start = 0; browse(); };
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
