// Downloads: the browser's own download machinery fetches every body straight from the gateway and
// saves it as it comes, so the page holds none of it, whatever its size. Each download is a
// navigation of a hidden frame: an answer the gateway sends as an attachment becomes a download
// and never loads the frame, while an error answer loads it, and the page reads and shows it.
'use strict';

const kFramesKept = 8;      // the frames of downloads under way; the oldest goes past this many
const kProgressPollMs = 250;

function startDownload(url, name) {
  const frame = document.createElement('iframe');
  frame.title = `Download of ${name}`;
  frame.src = url;
  frame.addEventListener('load', () => {
    let said = '';
    try { said = frame.contentDocument?.body?.textContent ?? ''; } catch { /* not ours to read */ }
    frame.remove();
    let reason = said;
    try { reason = JSON.parse(said).error || said; } catch { /* plain text */ }
    showError(`${name}: the download failed: ${reason || 'the gateway gave no reason'}`);
    $('transfer-text').textContent = 'failed';
  });
  const frames = $('downloads');
  frames.append(frame);
  while (frames.children.length > kFramesKept) frames.firstElementChild.remove();
}

function showTransfer(name, note) {
  $('transfer').hidden = false;
  $('transfer-name').textContent = name;
  $('transfer-bar').hidden = true;
  $('transfer-text').textContent = note;
  $('left-out').hidden = true;
}
$('transfer-close').onclick = () => { $('transfer').hidden = true; };

function downloadFile(path, name) {
  showTransfer(name, 'the browser saves it (its downloads show how far)');
  startDownload(fileUrl(path), name);
}

// What the archive left out, as the zip answer lists it: [{path, reason}].
function showLeftOut(list) {
  const box = $('left-out');
  box.hidden = !Array.isArray(list) || list.length === 0;
  if (box.hidden) return;
  box.querySelector('ul').replaceChildren(...list.map((item) => {
    const li = document.createElement('li');
    li.textContent = `${item.path}: ${item.reason}`;
    return li;
  }));
}

// The job behind a zip writes while the browser downloads; the gateway tells how far the job has
// written against the size it announced. Only the newest zip is watched.
let watchedZip = 0;
async function watchZip(url, size) {
  const ticket = ++watchedZip;
  const bar = $('transfer-bar');
  bar.hidden = false;
  bar.value = 0;
  for (;;) {
    let progress;
    try {
      progress = await api(`${url}/progress`);
    } catch (error) {
      // Gone: downloaded and deleted, which only a finished job allows, or its job failed.
      if (ticket === watchedZip && bar.value < 1) $('transfer-text').textContent = `archive gone (${error.message})`;
      return;
    }
    if (ticket !== watchedZip) return;
    const written = number(progress.written);
    const total = number(progress.size) || size;
    bar.value = total ? Math.min(1, written / total) : 1;
    $('transfer-text').textContent = `${formatSize(written)} of ${formatSize(total)} written` +
      (written >= total ? ' - complete; the browser saves it' : '');
    if (written >= total) return;
    await new Promise((resolve) => setTimeout(resolve, kProgressPollMs));
  }
}

async function downloadZip(ids, name) {
  let answer;
  try {
    answer = await postJson('/api/zip', { ids, name });
  } catch (error) {
    showError(describe('CreateZip', error));
    return;
  }
  showError('');
  const url = answer.url || `/api/zip/${answer.id}`;
  showTransfer(name, '');
  startDownload(url, name);
  showLeftOut(answer.leftOut);
  watchZip(url, number(answer.size));
}

$('logs-zip').onclick = () => {
  showTransfer('zel-logs.zip', 'the browser saves it (its downloads show how far)');
  startDownload('/api/logs.zip', 'zel-logs.zip');
};
