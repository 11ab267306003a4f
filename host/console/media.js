// Playing and looking: songs and films play in the page's own elements over /api/files, which
// answers byte ranges, so the browser seeks by asking for the part it needs; pictures open in a
// viewer that steps through the folder's pictures. The module's "mediaType" says which is which.
'use strict';

// "audio.file", "video.file", "photo.file", "document.file", or "file".
const mediaKind = (mediaType) => String(mediaType || '').split('.')[0];

const player = { item: null };

function closePlayer() {
  for (const id of ['audio', 'video']) {
    const element = $(id);
    element.pause();
    element.removeAttribute('src');
    element.load();
    element.hidden = true;
  }
  $('player').hidden = true;
  player.item = null;
}

function play(item) {
  closePlayer();
  player.item = item;
  const element = $(mediaKind(item.mediaType) === 'video' ? 'video' : 'audio');
  $('player').hidden = false;
  $('player-title').textContent = item.title;
  $('player-note').hidden = true;
  element.hidden = false;
  element.onerror = () => {
    if (player.item !== item) return;
    element.hidden = true;
    const code = element.error?.code;
    $('player-note').textContent = code === MediaError.MEDIA_ERR_SRC_NOT_SUPPORTED || code === MediaError.MEDIA_ERR_DECODE
      ? `This browser cannot play ${item.title}. Download it to play it with another program.`
      : `${item.title} could not be loaded: ${element.error?.message || 'the gateway refused it'}.`;
    $('player-note').hidden = false;
  };
  element.src = fileUrl(item.path);
  element.play().catch(() => { /* the browser wants a click on its own controls first; they are there */ });
}
$('player-close').onclick = closePlayer;
$('player-download').onclick = () => { if (player.item) downloadFile(player.item.path, player.item.title); };

// ---- The picture viewer: the pictures of the folder the listing shows, in the listing's order.
const viewer = { pictures: [], index: 0, opener: null };

function showPicture(index) {
  const count = viewer.pictures.length;
  viewer.index = (index + count) % count;
  const picture = viewer.pictures[viewer.index];
  $('viewer-title').textContent = picture.title;
  $('viewer-count').textContent = `${viewer.index + 1} of ${count}`;
  $('viewer-note').hidden = true;
  const image = $('viewer-image');
  image.hidden = false;
  image.alt = picture.title;
  image.onerror = () => {
    image.hidden = true;
    $('viewer-note').textContent = `This browser cannot show ${picture.title}. Download it to open it with another program.`;
    $('viewer-note').hidden = false;
  };
  image.src = fileUrl(picture.path);
  $('viewer-previous').disabled = $('viewer-next').disabled = count < 2;
}

// `pictures`: [{title, path}] of the folder; `at` the one to show first.
function view(pictures, at) {
  viewer.pictures = pictures;
  viewer.opener = document.activeElement;
  $('viewer').hidden = false;
  showPicture(Math.max(0, pictures.findIndex((picture) => picture.path === at.path)));
  $('viewer-next').focus();
}
function closeViewer() {
  $('viewer').hidden = true;
  $('viewer-image').removeAttribute('src');
  viewer.opener?.focus();
}
$('viewer-previous').onclick = () => showPicture(viewer.index - 1);
$('viewer-next').onclick = () => showPicture(viewer.index + 1);
$('viewer-close').onclick = closeViewer;
$('viewer-download').onclick = () => {
  const picture = viewer.pictures[viewer.index];
  downloadFile(picture.path, picture.title);
};
$('viewer').addEventListener('keydown', (event) => {
  const keys = { ArrowLeft: () => showPicture(viewer.index - 1), ArrowRight: () => showPicture(viewer.index + 1),
    Escape: closeViewer };
  if (!keys[event.key]) return;
  event.preventDefault();
  keys[event.key]();
});
