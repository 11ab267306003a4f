// The web console in a real browser: Debian's Chromium, driven by playwright-core, against
// zelhost.exe serving the gateway under Wine. Each case leaves a screenshot in the output folder;
// the run closes with "N passed, M failed".
//
//   node console_test.mjs --wine wine --host build/x86_64/bin/zelhost.exe [--console host/console] \
//        --satellites host/demo/satellites.json --out build/x86_64/browser \
//        --screenshots build/x86_64/screenshots --wine-prefix build/wineprefix [--only NAME] [--big-mib N]
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';

const options = parseArguments(process.argv.slice(2));
const out = path.resolve(options.out);
const screenshots = path.resolve(options.screenshots);
const folder = path.join(out, 'folder');  // the prepared folder the console browses
const media = path.join(out, 'media');    // a song, three pictures and a file no browser plays
const big = path.join(out, 'big');        // one large file, sparse
// Far past the heap bound, so that a page holding a download's body could not pass (about 5 s each
// way on an idle machine); --big-mib N for another size.
const kBigBytes = Number(options['big-mib'] ?? 512) * 1024 * 1024;
const kHeapBound = 64 * 1024 * 1024;     // the page's JS heap while it downloads kBigBytes twice
// The whole run ends by itself well before CTest would kill it, so that no host is left behind.
const kBudgetMs = 200000;
const kWaitMs = 20000;  // the longest wait for one element or state

function parseArguments(args) {
  const named = {};
  for (let i = 0; i + 1 < args.length; i += 2) named[args[i].replace(/^--/, '')] = args[i + 1];
  for (const name of ['wine', 'host', 'satellites', 'out', 'screenshots', 'wine-prefix']) {
    if (!named[name]) throw new Error(`--${name} is required`);
  }
  return named;
}

// Z: is the root of the Linux file system in every Wine prefix.
const winePath = (file) => 'Z:' + path.resolve(file).replace(/\//g, '\\');

// 30 files of distinct sizes (in an order that is neither by name nor by size) and 2 folders.
function prepareFolder() {
  fs.rmSync(folder, { recursive: true, force: true });
  fs.mkdirSync(path.join(folder, 'album'), { recursive: true });
  fs.mkdirSync(path.join(folder, 'empty'));
  fs.writeFileSync(path.join(folder, 'album', 'inner.txt'), 'inside the album\n');
  const files = [];
  for (let i = 0; i < 30; i++) {
    const size = 1000 + ((i * 17) % 30) * 1111;
    const bytes = Buffer.alloc(size);
    for (let b = 0; b < size; b++) bytes[b] = (b * 31 + i * 7) & 0xff;
    const name = `file-${String(i).padStart(2, '0')}.bin`;
    fs.writeFileSync(path.join(folder, name), bytes);
    files.push({ name, size });
  }
  return files;
}

// A 480 Hz tone (100 samples a period), 48 kHz stereo 16-bit, `seconds` long: 300 s are 58 MB,
// many times what the browser reads ahead, so that seeking to the middle needs a request of its own.
function wav(seconds) {
  const rate = 48000;
  const period = Buffer.alloc(400);
  for (let i = 0; i < 100; i++) {
    const sample = Math.round(8000 * Math.sin((2 * Math.PI * i) / 100));
    period.writeInt16LE(sample, i * 4);
    period.writeInt16LE(sample, i * 4 + 2);
  }
  const data = Buffer.alloc(seconds * rate * 4).fill(period);
  const head = Buffer.alloc(44);
  head.write('RIFF', 0);
  head.writeUInt32LE(36 + data.length, 4);
  head.write('WAVEfmt ', 8);
  head.writeUInt32LE(16, 16);
  head.writeUInt16LE(1, 20);  // PCM
  head.writeUInt16LE(2, 22);
  head.writeUInt32LE(rate, 24);
  head.writeUInt32LE(rate * 4, 28);
  head.writeUInt16LE(4, 32);
  head.writeUInt16LE(16, 34);
  head.write('data', 36);
  head.writeUInt32LE(data.length, 40);
  return Buffer.concat([head, data]);
}

// A PNG of one colour; its width tells the pictures apart.
function png(width, height, [r, g, b]) {
  const table = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });
  const crc = (bytes) => (bytes.reduce((c, byte) => table[(c ^ byte) & 0xff] ^ (c >>> 8), 0xffffffff) ^ 0xffffffff) >>> 0;
  const chunk = (type, body) => {
    const head = Buffer.alloc(8);
    head.writeUInt32BE(body.length, 0);
    head.write(type, 4);
    const sum = Buffer.alloc(4);
    sum.writeUInt32BE(crc(Buffer.concat([head.subarray(4), body])), 0);
    return Buffer.concat([head, body, sum]);
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header.set([8, 2, 0, 0, 0], 8);  // 8 bits, RGB
  const row = Buffer.concat([Buffer.from([0]), Buffer.from(Array.from({ length: width }, () => [r, g, b]).flat())]);
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', header),
    chunk('IDAT', zlib.deflateSync(Buffer.concat(Array(height).fill(row)))), chunk('IEND', Buffer.alloc(0))]);
}

function prepareMedia() {
  fs.rmSync(media, { recursive: true, force: true });
  fs.mkdirSync(media, { recursive: true });
  fs.writeFileSync(path.join(media, 'song.wav'), wav(300));
  fs.writeFileSync(path.join(media, 'broken.mp3'), 'not a song at all');
  [[255, 0, 0], [0, 160, 0], [0, 0, 255]].forEach((colour, i) =>
    fs.writeFileSync(path.join(media, `picture-${i + 1}.png`), png(64 + 16 * i, 48, colour)));
  // A large sparse file with a few marked places, so that a byte out of place shows.
  fs.rmSync(big, { recursive: true, force: true });
  fs.mkdirSync(big, { recursive: true });
  const descriptor = fs.openSync(path.join(big, 'big.bin'), 'w');
  fs.ftruncateSync(descriptor, kBigBytes);
  for (const at of [0, kBigBytes / 2 - 3, kBigBytes - 16]) {
    const mark = Buffer.alloc(16, '.');
    mark.write(`mark@${at}`);
    fs.writeSync(descriptor, mark, 0, 16, at);
  }
  fs.closeSync(descriptor);
}

// Two files compared a piece at a time: neither is ever held whole.
function sameFiles(a, b) {
  const [fa, fb] = [fs.openSync(a, 'r'), fs.openSync(b, 'r')];
  try {
    const [ba, bb] = [Buffer.alloc(1 << 20), Buffer.alloc(1 << 20)];
    for (let at = 0; ; at += ba.length) {
      const [na, nb] = [fs.readSync(fa, ba, 0, ba.length, at), fs.readSync(fb, bb, 0, bb.length, at)];
      if (na !== nb || !ba.subarray(0, na).equals(bb.subarray(0, nb))) return false;
      if (na === 0) return true;
    }
  } finally {
    fs.closeSync(fa);
    fs.closeSync(fb);
  }
}

// ---- The host
function startHost() {
  // The console built into the host, unless --console names a folder to serve instead.
  const args = [path.resolve(options.host), '--log-level', '3', '--satellites', winePath(options.satellites),
    'serve', '--http', '127.0.0.1:0', ...(options.console ? ['--console', winePath(options.console)] : [])];
  // A process group of its own: stopping it ends the host and nothing else of the prefix. It starts
  // outside the checkout, so the console it serves can only be the one built into it.
  const child = spawn(options.wine, args, { cwd: '/', detached: true, stdio: ['ignore', 'pipe', 'inherit'] });
  const started = new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error('the host printed no address within 60 s')), 60000);
    child.stdout.on('data', (chunk) => {
      text += chunk;
      const line = text.split('\n')[0];
      if (text.includes('\n')) {
        clearTimeout(timer);
        try { resolve(JSON.parse(line)); } catch (error) { reject(new Error(`the host printed ${line}`)); }
      }
    });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`the host ended with ${code} before serving`)); });
  });
  return { child, started };
}

// A search-engine stand-in answering in `charset`; resolves to the process and its search URL.
function startEngine(charset) {
  const child = spawn(options.wine, [options.host, 'search-engine', '--charset', charset, '--seconds', '60'],
    { detached: true, stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`the ${charset} engine printed no address`)), 60000);
    child.stdout.on('data', (chunk) => {
      text += chunk;
      if (!text.includes('\n')) return;
      clearTimeout(timer);
      try { resolve({ child, url: JSON.parse(text.split('\n')[0]).search_url }); } catch (error) { reject(error); }
    });
  });
}

// The desktop-search engine's address, which the module reads at every search.
const kEngineKey = 'HKCU\\Software\\Google\\Google Desktop\\API';
const setSearchUrl = (url) => execFileSync(options.wine, url === null
  ? ['reg', 'delete', kEngineKey, '/v', 'search_url', '/f'] : ['reg', 'add', kEngineKey, '/v', 'search_url', '/d', url, '/f'],
{ stdio: 'ignore' });

async function stopHost(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const ended = new Promise((resolve) => child.once('exit', resolve));
  const kill = (signal) => { try { process.kill(-child.pid, signal); } catch { /* already gone */ } };
  kill('SIGTERM');
  const timer = setTimeout(() => kill('SIGKILL'), 3000);
  await ended;
  clearTimeout(timer);
}

// ---- Waiting for the page
const rowsText = (page, column) => page.$$eval('#items tbody tr', (rows, index) =>
  rows.map((row) => row.children[index]?.textContent ?? ''), column);

async function columnIndex(page, name) {
  const names = await page.$$eval('#items thead th', (cells) => cells.map((cell) => cell.textContent));
  const index = names.indexOf(name);
  assert.ok(index >= 0, `the table has no column ${name}: ${names}`);
  return index;
}

async function waitForPager(page, text) {
  await page.waitForFunction((wanted) => document.getElementById('pager').textContent.includes(wanted), text,
    { timeout: kWaitMs }).catch(async () => {
    throw new Error(`the pager never showed "${text}"; it shows "${await page.textContent('#pager')}", ` +
      `the error bar "${await page.textContent('#error')}"`);
  });
}

async function openFolder(page, where) {
  await page.fill('#location', winePath(where));
  await page.press('#location', 'Enter');
}

async function setPageSize(page, size) {
  await page.selectOption('#page-size', String(size));
}

// ---- The cases
function cases(files, address, elsewhere) {
  const bySizeDown = [...files].sort((a, b) => b.size - a.size).map((file) => file.name);
  // Every member read back to its end (which checks its CRC) and compared with its source under `base`.
  const checkZip = (archive, base, names) => execFileSync('python3', ['-c', `
import sys, zipfile
archive, base, names = sys.argv[1], sys.argv[2], sys.argv[3:]
with zipfile.ZipFile(archive) as z:
    got = sorted(i.filename for i in z.infolist())
    assert got == sorted(names), got
    for name in names:
        with z.open(name) as member, open(base + "/" + name, "rb") as source:
            while True:
                a, b = member.read(1 << 20), source.read(1 << 20)
                assert a == b, name
                if not a: break
print("zip ok", len(names))
`, archive, base, ...names], { encoding: 'utf8' });

  return [
    ['serves the console built into the host, started outside the checkout', async (page) => {
      const response = await page.goto(address);
      assert.equal(new URL(page.url()).search, '', 'the token was left in the address bar');
      assert.equal(response.status(), 200);
      assert.match(await response.text(), /<title>ZovIdivariRuder console<\/title>/);
      await waitForPager(page, '5 virtual folders');
      assert.deepEqual(await rowsText(page, 1), ['My Music', 'My Videos', 'My Pictures', 'Desktop', 'My Computer']);
    }],

    ['browses the prepared folder and a folder in it with the keyboard', async (page) => {
      await openFolder(page, folder);
      await waitForPager(page, 'of 32 (2 folders, 30 files)');
      const titles = await rowsText(page, await columnIndex(page, 'title'));
      assert.deepEqual(titles.slice(0, 2), ['album', 'empty']);
      assert.equal(titles.length, 25);
      // One row takes the focus; the arrows move it; Enter opens; Space selects.
      await page.focus('#items tbody tr[tabindex="0"]');
      const focused = () => page.evaluate(() => document.activeElement.closest('tr')?.querySelector('td.file, td.folder')?.textContent);
      assert.equal(await focused(), 'album');
      for (const key of ['ArrowDown', 'ArrowDown', 'ArrowUp']) await page.keyboard.press(key);
      assert.equal(await focused(), 'empty');
      await page.keyboard.press('ArrowUp');
      await page.keyboard.press('Enter');
      await waitForPager(page, 'of 1 (0 folders, 1 files)');
      assert.deepEqual(await rowsText(page, await columnIndex(page, 'title')), ['inner.txt']);
      assert.equal(await focused(), 'inner.txt');
      await page.keyboard.press(' ');
      await page.waitForSelector('#selection:not([hidden]) #picked >> text=inner.txt');
      assert.ok(await page.isChecked('#items tbody input[type=checkbox]'));
      await page.click('#clear-selection');
      assert.ok(await page.isHidden('#selection'));
      assert.equal(await page.textContent('#crumbs a:last-child'), 'album');
      await page.click(`#crumbs a >> text="${path.basename(folder)}"`);
      await waitForPager(page, 'of 32 (2 folders, 30 files)');
    }],

    ['sorts by size, descending', async (page) => {
      await setPageSize(page, 100);
      await waitForPager(page, 'items 1-32 of 32');
      const size = await columnIndex(page, 'size');
      await page.click(`#items thead th:nth-child(${size + 1}) button`);
      await page.waitForSelector('#items thead th.asc >> text=size', { timeout: kWaitMs });
      await page.click(`#items thead th:nth-child(${size + 1}) button`);
      await page.waitForSelector('#items thead th.desc >> text=size', { timeout: kWaitMs });
      // Folders come first, then the files from the largest down.
      await page.waitForFunction(([index, first]) =>
        document.querySelector('#items tbody tr:nth-child(3)')?.children[index]?.textContent === first,
      [await columnIndex(page, 'title'), bySizeDown[0]], { timeout: kWaitMs });
      const titles = await rowsText(page, await columnIndex(page, 'title'));
      assert.deepEqual(titles.slice(2), bySizeDown);
      // Sizes read in KB; the exact count is in each cell's tooltip.
      const cells = (await page.$$eval('#items tbody tr', (rows, index) => rows.map((row) =>
        [row.children[index].textContent, row.children[index].title]), size)).slice(2);
      assert.deepEqual(cells.map(([, exact]) => Number(exact.replace(/\D/g, ''))),
        [...files].map((file) => file.size).sort((a, b) => b - a));
      for (const [shown] of cells) assert.match(shown, /^\d[\d,.]* (bytes|KB)$/);
      // Dates in the reader's language, the module's own form in the tooltip; an icon per row.
      const date = await page.$eval('#items tbody tr:nth-child(3)', (row) => [...row.children].some((cell) =>
        /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/.test(cell.title)));
      assert.ok(date, 'no date with its tooltip');
      const icons = await page.$$eval('#items tbody .icon', (spans) => spans.map((span) => span.dataset.kind));
      assert.deepEqual(icons, ['folder', 'folder', ...Array(30).fill('file')]);
    }],

    ['pages through the folder', async (page) => {
      await setPageSize(page, 10);
      await waitForPager(page, 'items 1-10 of 32 (2 folders, 30 files)');
      const title = await columnIndex(page, 'title');
      assert.deepEqual((await rowsText(page, title)).slice(2), bySizeDown.slice(0, 8), 'the sort survives the page size');
      await page.click('#pager button >> text=Next');
      await waitForPager(page, 'items 11-20 of 32');
      assert.deepEqual(await rowsText(page, title), bySizeDown.slice(8, 18));
      await page.click('#pager button >> text=Next');
      await waitForPager(page, 'items 21-30 of 32');
      await page.click('#pager button >> text=Next');
      await waitForPager(page, 'items 31-32 of 32');
      assert.deepEqual(await rowsText(page, title), bySizeDown.slice(28));
      assert.ok(await page.isDisabled('#pager button >> text=Next'));
      await page.click('#pager button >> text=Previous');
      await waitForPager(page, 'items 21-30 of 32');
      assert.deepEqual(await rowsText(page, title), bySizeDown.slice(18, 28));
    }],

    ['shows the newest listing when an older one answers last', async (page) => {
      // The next listing asked for is held back until a newer one has been shown.
      let release;
      const held = new Promise((resolve) => { release = resolve; });
      let first = true;
      const pattern = '**/api/services/GetDiskFolderContent';
      await page.route(pattern, async (route) => {
        if (first) {
          first = false;
          await held;
        }
        await route.continue();
      });
      try {
        await page.click('#pager button >> text=Previous');  // items 11-20: held back
        await setPageSize(page, 25);
        await waitForPager(page, 'items 1-25 of 32');
        const late = page.waitForResponse((r) => r.url().endsWith('/GetDiskFolderContent'), { timeout: kWaitMs });
        release();
        await late;
        // What must not happen can only be waited for a while.
        const flipped = await page.waitForFunction(() => document.getElementById('pager').textContent.includes('11-20'),
          null, { timeout: 1500 }).then(() => true, () => false);
        assert.equal(flipped, false, 'the older listing replaced the newer one');
        assert.equal((await rowsText(page, await columnIndex(page, 'title'))).length, 25);
      } finally {
        release();
        await page.unroute(pattern);
      }
    }],

    ['reads the tail of the log', async (page) => {
      await page.click('nav button[data-tab=logs]');
      // The host logs at INFO: each listing of the prepared folder left a line.
      const line = `GetFolderContent of ${winePath(folder)}`;
      await page.waitForFunction((wanted) => document.getElementById('tail').textContent.includes(wanted), line,
        { timeout: kWaitMs });
      assert.ok((await page.textContent('#tail')).includes('ZovIdivariRuder started'));
      // The newest lines are in view.
      const pane = await page.$eval('#tail', (pre) => [pre.scrollTop, pre.clientHeight, pre.scrollHeight]);
      assert.ok(pane[2] > pane[1], `the tail fills its pane: ${pane}`);
      assert.ok(pane[0] + pane[1] >= pane[2] - 4, `the tail is scrolled to its end: ${pane}`);
      await page.click('header nav button[data-tab=browse]');
    }],

    [`downloads ${kBigBytes >> 20} MiB as a file and as a zip while the page's heap stays small`, async (page) => {
      const source = path.join(big, 'big.bin');
      const cdp = await page.context().newCDPSession(page);
      let peak = 0;
      let sampling = true;
      const sampler = (async () => {
        for (; sampling; await new Promise((resolve) => setTimeout(resolve, 50))) {
          peak = Math.max(peak, (await cdp.send('Runtime.getHeapUsage')).usedSize);
        }
      })();
      try {
        await openFolder(page, big);
        await waitForPager(page, 'of 1 (0 folders, 1 files)');
        const t0 = Date.now();
        const [file] = await Promise.all([page.waitForEvent('download'), page.click('#items td.file >> text="big.bin"')]);
        assert.equal(file.suggestedFilename(), 'big.bin');
        assert.ok(sameFiles(await file.path(), source), 'the downloaded file differs');
        const t1 = Date.now();
        await page.check('#items tbody input[type=checkbox]');
        const [zip] = await Promise.all([page.waitForEvent('download'), page.click('#zip')]);
        assert.equal(zip.suggestedFilename(), 'selection.zip');
        const saved = await zip.path();
        const t2 = Date.now();
        // The bar shows what the job has written against the size it announced.
        await page.waitForSelector('#transfer-text >> text=/^(\\S+ \\S+) of \\1 written - complete/');
        assert.equal(await page.$eval('#transfer-bar', (bar) => bar.value), 1);
        checkZip(saved, out, ['big/big.bin']);
        assert.ok(await page.isHidden('#error'), await page.textContent('#error'));
        console.log(`  ${kBigBytes >> 20} MiB: file ${t1 - t0} ms, zip ${t2 - t1} ms, heap peak ${(peak / 1048576).toFixed(1)} MiB`);
      } finally {
        sampling = false;
        await sampler;
        await page.click('#clear-selection').catch(() => {});
      }
      assert.ok(peak > 0 && peak < kHeapBound, `the page's heap reached ${peak} bytes`);
    }],

    ['selects across folders and zips a folder and two files, one of them gone', async (page) => {
      await openFolder(page, folder);
      await setPageSize(page, 100);
      await waitForPager(page, 'items 1-32 of 32');
      const [kept, gone, dropped] = [bySizeDown[3], bySizeDown[5], bySizeDown[7]];
      const box = (name) => `#items tbody tr:has(td:text-is("${name}")) input[type=checkbox]`;
      for (const name of ['album', kept, gone, dropped]) await page.check(box(name));
      await page.click(`#picked button[aria-label="Remove ${dropped} from the selection"]`);
      assert.ok(!(await page.isChecked(box(dropped))), 'a removed item stays checked in the listing');
      // The total comes from the module ("QueryFileSize"), folders counted by their files.
      const sizeOf = (name) => files.find((f) => f.name === name).size;
      const total = fs.statSync(path.join(folder, 'album', 'inner.txt')).size + sizeOf(kept) + sizeOf(gone);
      await page.waitForSelector(`#selection-summary[title="${total.toLocaleString('en-US')} bytes"]`);
      assert.match(await page.textContent('#selection-summary'), /^3 selected: 3 files, \d+(\.\d)? KB$/);
      // The selection outlives the folder it was made in.
      await page.click('#items td.folder >> text=album');
      await waitForPager(page, 'of 1 (0 folders, 1 files)');
      const picked = await page.$$eval('#picked li', (items) => items.map((item) => item.firstChild.nextSibling.textContent));
      assert.deepEqual(picked, ['album', kept, gone]);
      await page.screenshot({ path: path.join(screenshots, 'selection-panel.png'), fullPage: true });
      await page.click('#crumbs a >> text="folder"');
      await waitForPager(page, 'items 1-32 of 32');
      fs.rmSync(path.join(folder, gone));
      try {
        // A download the gateway refuses shows its reason in the page.
        await page.click(`#items button[aria-label="Download ${gone}"]`);
        await page.waitForSelector(`#error:not([hidden]) >> text=/^${gone.replace('.', '\\.')}: the download failed: ./`);
        const [download, answer] = await Promise.all([page.waitForEvent('download'),
          page.waitForResponse((r) => r.url().endsWith('/api/zip')).then((r) => r.json()), page.click('#zip')]);
        checkZip(await download.path(), out, [`folder/album/inner.txt`, `folder/${kept}`]);
        // The zip's answer names what it left out, and the page lists it under the download.
        assert.ok(answer.leftOut.some((item) => item.path.endsWith(gone) && item.reason), JSON.stringify(answer));
        await page.waitForSelector(`#left-out:not([hidden]) li >> text=/${gone.replace('.', '\\.')}/`);
        // Nothing selected exists any more: the module's 404, in words.
        await page.click(`#picked button[aria-label="Remove album from the selection"]`);
        await page.click(`#picked button[aria-label="Remove ${kept} from the selection"]`);
        await page.click('#zip');
        await page.waitForSelector('#error:not([hidden]) >> text="CreateZip: none of the selected items exist any more (return code 404)"');
        await page.click('#clear-selection');
        assert.ok(await page.isHidden('#selection'));
      } finally {
        fs.writeFileSync(path.join(folder, gone), Buffer.alloc(sizeOf(gone)));
      }
    }],

    ['plays a song, seeks with a ranged request, and says what it cannot play', async (page) => {
      await openFolder(page, media);
      await waitForPager(page, 'of 5 (0 folders, 5 files)');
      const ranged = [];
      const listen = (response) => {
        const range = /^bytes (\d+)-/.exec(response.headers()['content-range'] ?? '');
        if (response.url().includes('/api/files') && range) ranged.push([Number(range[1]), response.status()]);
      };
      page.on('response', listen);
      try {
        await page.click('#items td.file >> text="song.wav"');
        await page.waitForFunction(() => document.getElementById('audio').currentTime > 0.3);
        assert.equal(Math.round(await page.$eval('#audio', (audio) => audio.duration)), 300);
        await page.$eval('#audio', (audio) => { audio.currentTime = audio.duration / 2; });
        await page.waitForFunction(() => document.getElementById('audio').currentTime > 150.2);
        const middle = 44 + 150 * 48000 * 4;
        assert.ok(ranged.some(([from, status]) => from > 0 && from <= middle && status === 206),
          `no ranged request towards the middle answered 206: ${JSON.stringify(ranged)}`);
        await page.screenshot({ path: path.join(screenshots, 'player.png'), fullPage: true });
        await page.click('#items td.file >> text="broken.mp3"');
        await page.waitForSelector('#player-note:not([hidden]) >> text="This browser cannot play broken.mp3. Download it to play it with another program."');
        assert.ok(await page.isVisible('#player-download'));
      } finally {
        page.off('response', listen);
        await page.click('#player-close').catch(() => {});
      }
    }],

    ['shows a picture and steps through the folder\'s pictures', async (page) => {
      // The viewer goes through the pictures in the listing's order.
      const order = (await rowsText(page, await columnIndex(page, 'title'))).filter((name) => name.endsWith('.png'));
      const widths = { 'picture-1.png': 64, 'picture-2.png': 80, 'picture-3.png': 96 };
      const shown = async (index) => {
        await page.waitForFunction(([w]) => document.getElementById('viewer-image').naturalWidth === w, [widths[order[index]]]);
        assert.equal(await page.textContent('#viewer-title'), order[index]);
        assert.equal(await page.textContent('#viewer-count'), `${index + 1} of 3`);
      };
      try {
        await page.click(`#items td.file >> text="${order[1]}"`);
        await shown(1);
        await page.click('#viewer-next');
        await shown(2);
        await page.keyboard.press('ArrowRight');
        await shown(0);
        await page.screenshot({ path: path.join(screenshots, 'viewer.png') });
        await page.click('#viewer-previous');
        await shown(2);
        await page.keyboard.press('Escape');
        assert.ok(await page.isHidden('#viewer'));
      } finally {
        if (await page.isVisible('#viewer')) await page.click('#viewer-close');
      }
    }],

    ['fits a screen 360 px wide and names every control', async (page) => {
      await page.setViewportSize({ width: 360, height: 740 });
      try {
        await openFolder(page, folder);
        await waitForPager(page, 'of 32');
        await page.check('#items tbody input[type=checkbox]');
        for (const tab of ['logs', 'search', 'host', 'browse']) {
          await page.click(`header nav button[data-tab=${tab}]`);
          const [scrolled, wide] = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
          assert.ok(scrolled <= wide, `${tab}: the page is ${scrolled} px wide in a 360 px window`);
        }
        await page.screenshot({ path: path.join(screenshots, 'narrow.png'), fullPage: true });
        const unnamed = await page.$$eval('button, input, select, a, audio, video, [tabindex]', (controls) => controls
          .filter((control) => !(control.getAttribute('aria-label') || control.getAttribute('aria-labelledby') ||
            [...(control.labels ?? [])].some((label) => label.textContent.trim()) ||
            (!(control instanceof HTMLInputElement) && control.textContent.trim()) || control.title))
          .map((control) => control.outerHTML.slice(0, 80)));
        assert.deepEqual(unnamed, []);
      } finally {
        await page.click('#clear-selection').catch(() => {});
        await page.setViewportSize({ width: 1280, height: 900 });
      }
    }],

    ['shows search results written in UTF-8, in windows-1252 and without a charset', async (page) => {
      await page.click('nav button[data-tab=search]');
      const charsets = ['utf-8', 'windows-1252', 'none'];
      const engines = await Promise.allSettled(charsets.map(startEngine));
      try {
        for (const [index, charset] of charsets.entries()) {
          if (engines[index].status === 'rejected') throw engines[index].reason;
          setSearchUrl(engines[index].value.url);
          await page.fill('#query', 'caf\u00e9');
          await page.click('#search-go');
          // Characters windows-1252 lacks came as references, which the page's XML reader resolves.
          await page.waitForFunction(() => document.querySelectorAll('#results li').length === 10, null,
            { timeout: kWaitMs });
          const items = await page.$$eval('#results li', (lis) => lis.map((li) => li.textContent));
          for (const item of items) assert.ok(item.includes('(caf\u00e9 \u2013 \u6f22\u5b57 \u{1d11e})'), `${charset}: ${item}`);
          await page.screenshot({ path: path.join(screenshots, `search-${charset}.png`), fullPage: true });
          await page.evaluate(() => document.getElementById('results').replaceChildren());
        }
      } finally {
        try { setSearchUrl(null); } catch { /* never set */ }
        await Promise.all(engines.filter((e) => e.status === 'fulfilled').map((e) => stopHost(e.value.child)));
      }
    }],

    ['shows the host facts and the medium-id prefix table', async (page) => {
      // The module's configuration document, in the Wine prefix's C: drive; put back at the end.
      const where = await page.evaluate(async () => (await (await fetch('/api/host/prefixes')).json()).path);
      assert.match(where, /^C:\\.*\\zel\.xml$/);
      const document = path.join(options['wine-prefix'], 'drive_c',
        ...where.slice(3).split('\\'));
      const previous = fs.existsSync(document) ? fs.readFileSync(document) : null;
      try {
        fs.rmSync(document, { force: true });
        const registered = await page.evaluate(async () => (await fetch('/api/services/Register%20Custom%20MediumId', {
          method: 'POST', headers: { 'Content-Type': 'application/json' },
          body: JSON.stringify({ input: ['GetFile', 'GetInfo', 'GetList'], requester: 'BrowserSat' }) })).json());
        assert.deepEqual(registered, { rc: 0, output: 'XAA' });
        await page.click('nav button[data-tab=host]');
        await page.waitForSelector('#prefixes tbody tr >> text=BrowserSat', { timeout: kWaitMs });
        const cells = await page.$$eval('#prefixes tbody tr', (rows) => rows.map((row) =>
          [...row.children].map((cell) => cell.textContent)));
        assert.equal(cells.length, 1);
        assert.deepEqual(cells[0].slice(0, 6), ['XAA...', 'BrowserSat', 'GetFile', 'GetInfo', 'GetList', 'IsMediumShared']);
        assert.match(cells[0][6], /^20\d\d-\d\d-\d\d \d\d:\d\d:\d\d$/);
        assert.match(await page.textContent('#prefix-note'), /^1 registered, from C:/);
        await page.waitForSelector('#facts dt >> text=Version and time zone', { timeout: kWaitMs });
        const facts = await page.textContent('#facts');
        assert.doesNotMatch(facts, /return code|HTTP \d|"bstr"/, 'every fact was answered, as text');
        assert.match(facts, /local time: 20\d\d-\d\d-\d\d \d\d:\d\d:\d\d/);
        assert.ok(facts.includes('C:\\ProgramData\\RodEzeduduv'), facts);
        await page.screenshot({ path: path.join(screenshots, 'host-prefix-table.png'), fullPage: true });
        // A document the module cannot load is named as such, with what the module does about it and no rows.
        fs.writeFileSync(document, '<Settings Version="1.0"><Common>');
        await page.click('nav button[data-tab=host]');
        await page.waitForSelector('#prefix-note.problem >> text=/module sets it aside/', { timeout: kWaitMs });
        assert.equal(await page.$$eval('#prefixes tbody tr', (rows) => rows.length), 0);
      } finally {
        if (previous) fs.writeFileSync(document, previous); else fs.rmSync(document, { force: true });
        await page.click('nav button[data-tab=browse]');
      }
    }],

    ['refuses calls without the token or from another origin', async (page) => {
      const fileInfo = { input: [winePath(path.join(folder, bySizeDown[0]))] };
      // Without the token: a console still open has its next call refused, and says why.
      const context = page.context();
      const cookies = await context.cookies();
      assert.ok(cookies.some((cookie) => cookie.name === 'zel_token' && cookie.httpOnly), 'the console set its cookie');
      await context.clearCookies();
      await openFolder(page, folder);
      await page.waitForSelector('#error:not([hidden]) >> text=/HTTP 401.*token that zelhost printed/', { timeout: kWaitMs });
      assert.equal(await page.textContent('#pager'), '', 'nothing of an earlier listing stays');
      assert.equal(await page.$$eval('#items tbody tr', (rows) => rows.length), 0);
      const bare = await page.evaluate(async (body) => (await fetch('/api/services/GetFileInfo',
        { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) })).status, fileInfo);
      assert.equal(bare, 401);
      await page.screenshot({ path: path.join(screenshots, 'without-token.png') });
      // Nor is the console itself served without it.
      const page401 = await page.reload();
      assert.equal(page401.status(), 401);
      assert.match(await page.textContent('body'), /access token/);
      // A wrong token in the console's address sets nothing.
      const wrong = await page.goto(new URL(`/?token=${'0'.repeat(64)}`, address).href);
      assert.equal(wrong.status(), 401);
      assert.deepEqual(await context.cookies(), []);
      await context.addCookies(cookies);
      await page.goto(new URL('/', address).href);
      // With the token's cookie, the console's own page is answered.
      const own = await page.evaluate(async (body) => (await fetch('/api/services/GetFileInfo',
        { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) })).json(), fileInfo);
      assert.deepEqual(own, { rc: 0, output: [{ i8: files.find((f) => f.name === bySizeDown[0]).size }] });
      // A page of another origin (another port of the same host: the same site, so the browser
      // sends the cookie) is refused by the gateway itself.
      const target = new URL('/api/services/GetFileInfo', address).href;
      await page.goto(elsewhere.url);
      const [response] = await Promise.all([
        page.waitForResponse((r) => r.url() === target, { timeout: kWaitMs }),
        page.evaluate(([url, body]) => fetch(url, { method: 'POST', mode: 'no-cors', credentials: 'include',
          body: JSON.stringify(body) }).catch(() => null), [target, fileInfo]),
      ]);
      // 403, not 401: the origin is what the gateway refused, before it looked for the token.
      assert.equal(response.status(), 403);
      assert.equal((await response.allHeaders())['access-control-allow-origin'], undefined);
      // The same as a form a user is tricked into sending.
      await page.setContent(`<form method="post" enctype="text/plain" action="${target}">
        <input name='{"input": null, "x": "' value='"}'></form>`);
      const [navigation] = await Promise.all([
        page.waitForNavigation({ timeout: kWaitMs }),
        page.evaluate(() => document.forms[0].submit()),
      ]);
      assert.equal(navigation.status(), 403);
      assert.match(await page.textContent('body'), /another origin/);
    }],
  ];
}

// A page of another origin for the refusal case.
function otherOrigin() {
  const server = http.createServer((request, response) => {
    response.setHeader('Content-Type', 'text/html');
    response.end('<!doctype html><title>elsewhere</title><p>another site</p>');
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () =>
    resolve({ server, url: `http://127.0.0.1:${server.address().port}/` })));
}

async function main() {
  const deadline = setTimeout(() => { console.log('the run took longer than its budget'); finish(1); }, kBudgetMs);
  fs.mkdirSync(screenshots, { recursive: true });
  const files = prepareFolder();
  prepareMedia();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zel-chromium-'));
  const host = startHost();
  const cleanups = [() => stopHost(host.child), () => fs.rmSync(profile, { recursive: true, force: true })];
  let finished = false;
  async function finish(code) {
    if (finished) return;
    finished = true;
    for (const cleanup of cleanups.reverse()) await Promise.resolve().then(cleanup).catch(() => {});
    clearTimeout(deadline);
    process.exit(code);
  }
  for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => finish(1));

  let passed = 0;
  let failed = 0;
  try {
    const t0 = Date.now();
    const started = await host.started;
    const elsewhere = await otherOrigin();
    cleanups.push(() => elsewhere.server.close());
    // Without the background services Chromium tries to reach the network at start, and this
    // machine's closed network refuses those connections.
    const context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium', headless: true, acceptDownloads: true, viewport: { width: 1280, height: 900 },
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
        '--disable-component-update', '--disable-sync'],
    });
    cleanups.push(() => context.close());
    const page = context.pages()[0] ?? await context.newPage();
    page.setDefaultTimeout(kWaitMs);
    console.log(`host and browser ready in ${Date.now() - t0} ms`);
    for (const [index, [name, run]] of cases(files, started.console, elsewhere).entries()) {
      // --only NAME: the cases whose name holds NAME, after the first, which opens the console.
      if (options.only && index > 0 && !name.includes(options.only)) continue;
      const t = Date.now();
      let error = null;
      try {
        await run(page);
      } catch (caught) {
        error = caught;
      }
      const shot = path.join(screenshots, name.replace(/[^a-z0-9]+/gi, '-') + '.png');
      await page.screenshot({ path: shot, fullPage: true }).catch(() => {});
      if (error) {
        failed++;
        console.log(`FAIL ${name} (${Date.now() - t} ms): ${error.stack || error}\n  screenshot: ${shot}`);
      } else {
        passed++;
        console.log(`ok   ${name} (${Date.now() - t} ms)`);
      }
    }
  } catch (error) {
    failed++;
    console.log(`FAIL setting up: ${error.stack || error}`);
  }
  console.log(`screenshots in ${screenshots}`);
  console.log(`${passed} passed, ${failed} failed`);
  await finish(failed === 0 ? 0 : 1);
}

main();
