// The page of web/ (assembled by scripts/build-web.sh into build-wasm/web)
// in Debian's chromium, driven by playwright-core: photos set into the
// page's own file input come back through its download links and its zip
// as the native tool's bytes; each file's line says what the JPEG holds,
// as this test reads it from those bytes; a bad file shows the library's
// message and the files after it still convert; the page's main thread
// keeps running while the worker converts.
//
// Needs the native build (build/lumetra, build/lumetra-sample), the page
// and its test's tools (scripts/build-web.sh, run by scripts/build-wasm.sh);
// LUMETRA_WEB_PAGE, LUMETRA_WEB_TEST_PACKAGES and LUMETRA_CHROMIUM name others.
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { inflateRawSync } from 'node:zlib';

import {
  appleHdrJpeg, crc32, exifBlock, makeScratch, native, nativeOutput, packageDir, root, samplePng, withExif,
  writeFixture,
} from './fixtures.js';

const pageDir = process.env.LUMETRA_WEB_PAGE ?? path.join(root, 'build-wasm/web');
const testPackages = process.env.LUMETRA_WEB_TEST_PACKAGES ?? path.join(root, 'build-wasm/web-test-packages');
const chromiumPath = process.env.LUMETRA_CHROMIUM ?? '/usr/bin/chromium';
const setup = 'scripts/build-web.sh (run by scripts/build-wasm.sh) assembles the page and installs chromium';

const scratch = makeScratch();
let server;
let context;
let profile;

// The photos, in the order they are set into the page: a bad file in the
// middle, so that the ones after it show the page goes on. An HDR JPEG
// converts too, but has no detail document: its line says why.
const photos = [
  { file: 'big.heic', hdr: false },
  { file: 'stored.heic', hdr: false, orientation: 6 },
  { file: 'noise.heic', error: true },
  { file: 'hdr.heic', hdr: true },
  { file: 'phone.jpg', hdr: true, noDetail: true },
];

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

// Paths the server answers with 404, as a server missing a file would.
const refused = new Set();

// The page's directory over HTTP on 127.0.0.1, GET only, nothing outside it;
// isolated, with the headers that make a page cross-origin isolated.
const isolation = { 'cross-origin-opener-policy': 'same-origin', 'cross-origin-embedder-policy': 'require-corp' };
function serve(dir, { isolated = false } = {}) {
  const s = http.createServer(async (request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://h').pathname);
    if (refused.has(name)) {
      response.writeHead(404).end();
      return;
    }
    const file = path.join(dir, path.normalize(name));
    if (request.method !== 'GET' || !file.startsWith(dir + path.sep)) {
      response.writeHead(403).end();
      return;
    }
    try {
      const body = await readFile(file);
      response.writeHead(200, {
        'content-type': types[path.extname(file)] ?? 'application/octet-stream', ...(isolated ? isolation : {}),
      }).end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => s.listen(0, '127.0.0.1', () => resolve(s)));
}

before(async () => {
  const dir = scratch.dir;
  writeFixture(dir, 'big.png', samplePng(dir, 3000, 2000));
  nativeOutput(dir, ['encode', 'big.png'], 'big.heic');
  const exif = exifBlock({ make: 'Morvanta', model: 'Lumetra Test', orientation: 6 });
  writeFixture(dir, 'oriented.png', withExif(samplePng(dir, 173, 111), exif));
  nativeOutput(dir, ['encode', '--no-upright', 'oriented.png'], 'stored.heic');
  writeFixture(dir, 'noise.heic', Buffer.from(Array.from({ length: 3000 }, (_, i) => (i * 7919 + 13) & 0xff)));
  writeFixture(dir, 'hdr.jpg', appleHdrJpeg(dir, { width: 256, height: 192, headroom: 2.5 }));
  nativeOutput(dir, ['encode', 'hdr.jpg'], 'hdr.heic');
  writeFixture(dir, 'phone.jpg', readFileSync(scratch.file('hdr.jpg')));
  nativeOutput(dir, ['encode', 'oriented.png'], 'photo.avif');

  assert.ok(existsSync(path.join(pageDir, 'index.html')), `no page in ${pageDir}: ${setup}`);
  let chromium;
  try {
    ({ chromium } = createRequire(path.join(testPackages, 'package.json'))('playwright-core'));
  } catch (e) {
    assert.fail(`playwright-core could not be loaded from ${testPackages} (${e.message}): ${setup}`);
  }
  server = await serve(pageDir);
  profile = mkdtempSync(path.join(tmpdir(), 'lumetra-chromium-'));
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumPath, headless: true, acceptDownloads: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
  } catch (e) {
    assert.fail(`chromium (${chromiumPath}) could not start: ${e.message.split('\n')[0]}; ${setup}`);
  }
});

after(async () => {
  await context?.close();
  server?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
  scratch.remove();
});

// The segments of a JPEG before its first scan, as { marker, payload }.
function segments(jpeg) {
  const found = [];
  for (let at = 2; at + 4 <= jpeg.length && jpeg[at] === 0xff && jpeg[at + 1] !== 0xda;) {
    const length = jpeg.readUInt16BE(at + 2);
    found.push({ marker: jpeg[at + 1], payload: jpeg.subarray(at + 4, at + 2 + length) });
    at += 2 + length;
  }
  return found;
}

// What the test reads from a JPEG: its size, whether an MPF index lists a
// second image that is a JPEG, and its EXIF Orientation (1 without one).
function facts(jpeg) {
  const all = segments(jpeg);
  const sof = all.find((s) => s.marker === 0xc0 || s.marker === 0xc1 || s.marker === 0xc2);
  const mpf = all.find((s) => s.marker === 0xe2 && s.payload.subarray(0, 4).toString('latin1') === 'MPF\0');
  let second = false;
  if (mpf) {
    const tiff = mpf.payload.subarray(4);
    const big = tiff.toString('latin1', 0, 2) === 'MM';
    const u32 = (at) => (big ? tiff.readUInt32BE(at) : tiff.readUInt32LE(at));
    const start = mpf.payload.byteOffset - jpeg.byteOffset + 4 + u32(8 + 2 + 36 + 4 + 16 + 8);
    second = jpeg[start] === 0xff && jpeg[start + 1] === 0xd8;
  }
  let orientation = 1;
  const exif = all.find((s) => s.marker === 0xe1 && s.payload.subarray(0, 6).toString('latin1') === 'Exif\0\0');
  if (exif) {
    const tiff = exif.payload.subarray(6);
    const big = tiff.toString('latin1', 0, 2) === 'MM';
    const u16 = (at) => (big ? tiff.readUInt16BE(at) : tiff.readUInt16LE(at));
    const ifd = big ? tiff.readUInt32BE(4) : tiff.readUInt32LE(4);
    for (let i = 0; i < u16(ifd); ++i) if (u16(ifd + 2 + i * 12) === 0x0112) orientation = u16(ifd + 2 + i * 12 + 8);
  }
  return { width: sof.payload.readUInt16BE(3), height: sof.payload.readUInt16BE(1), gainMap: second, orientation,
    exif: exif !== undefined };
}

// The entries of a zip, by name, read through its central directory.
function unzip(zip) {
  let end = zip.length - 22;
  while (end >= 0 && zip.readUInt32LE(end) !== 0x06054b50) --end;
  assert.ok(end >= 0, 'the zip has an end of central directory');
  const entries = new Map();
  let at = zip.readUInt32LE(end + 16);
  for (let i = 0; i < zip.readUInt16LE(end + 10); ++i) {
    assert.equal(zip.readUInt32LE(at), 0x02014b50, 'a central directory entry');
    const method = zip.readUInt16LE(at + 10);
    const size = zip.readUInt32LE(at + 20);
    const nameLength = zip.readUInt16LE(at + 28);
    const name = zip.toString('utf8', at + 46, at + 46 + nameLength);
    const local = zip.readUInt32LE(at + 42);
    const data = local + 30 + zip.readUInt16LE(local + 26) + zip.readUInt16LE(local + 28);
    const stored = zip.subarray(data, data + size);
    const bytes = method === 0 ? stored : inflateRawSync(stored);
    assert.equal(crc32(bytes), zip.readUInt32LE(at + 16), `${name}: CRC`);
    entries.set(name, bytes);
    at += 46 + nameLength + zip.readUInt16LE(at + 30) + zip.readUInt16LE(at + 32);
  }
  return entries;
}

async function download(page, click) {
  const [file] = await Promise.all([page.waitForEvent('download'), click()]);
  return { name: file.suggestedFilename(), bytes: readFileSync(await file.path()) };
}

test('the page converts a set of photos to the native bytes, off its main thread', { timeout: 180_000 }, async (t) => {
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
  // A timer on the main thread notes its longest wait; each row's state
  // changes are timed.
  await page.evaluate(() => {
    const ticks = { count: 0, longest: 0, last: performance.now() };
    setInterval(() => {
      const now = performance.now();
      ticks.longest = Math.max(ticks.longest, now - ticks.last);
      ticks.last = now;
      ++ticks.count;
    }, 10);
    const states = [];
    new MutationObserver((changes) => {
      const at = performance.now();
      for (const c of changes) states.push({ name: c.target.dataset.name, state: c.target.dataset.state, at });
    }).observe(document.getElementById('files'), { subtree: true, attributes: true, attributeFilter: ['data-state'] });
    Object.assign(window, { ticks, states });
  });
  const ticksBefore = await page.evaluate(() => window.ticks.count);
  await page.setInputFiles('#pick', photos.map((p) => scratch.file(p.file)));
  const settled = '#files > li[data-state="done"], #files > li[data-state="failed"]';
  await page.waitForFunction(([selector, n]) => document.querySelectorAll(selector).length === n,
    [settled, photos.length], { timeout: 150_000 });
  const { ticks, states } = await page.evaluate(() => ({ ticks: window.ticks, states: window.states }));

  // Main thread: the big photo's conversion took far longer than the
  // timer's longest wait, and the timer went on ticking through it.
  const started = states.find((s) => s.name === 'big.heic' && s.state === 'converting').at;
  const ended = states.find((s) => s.name === 'big.heic' && s.state === 'done').at;
  assert.ok(ended - started > 200, `the big photo took ${ended - started} ms: too short to show a blocked thread`);
  assert.ok(ticks.longest < (ended - started) / 2,
    `the main thread waited ${ticks.longest} ms at once while the big photo took ${ended - started} ms`);
  assert.ok(ticks.count - ticksBefore > (ended - started) / 40, `${ticks.count - ticksBefore} timer ticks`);
  t.diagnostic(`big photo ${Math.round(ended - started)} ms; longest main-thread wait ${Math.round(ticks.longest)} ms`);

  assert.match(await page.textContent('#count'), new RegExp(`^${photos.length} of ${photos.length} done$`));
  const natives = new Map();
  for (const p of photos) {
    const row = page.locator(`#files li[data-name="${p.file}"]`);
    const lines = await row.locator('.facts li').allTextContents();
    if (p.error) {
      assert.equal(await row.getAttribute('data-state'), 'failed', p.file);
      const theirs = native(scratch.dir, ['convert', p.file, 'x.jpg']);
      assert.notEqual(theirs.status, 0);
      const message = theirs.stderr.slice(`${p.file}: `.length).trimEnd();
      assert.deepEqual(lines, [message], `${p.file}: the library's message`);
      continue;
    }
    assert.equal(await row.getAttribute('data-state'), 'done', `${p.file}: ${lines.join(' / ')}`);
    const expected = nativeOutput(scratch.dir, ['convert', p.file], `${p.file}.jpg`);
    const got = await download(page, () => row.locator('a.download').click());
    const stem = p.file.replace(/\.[a-z]+$/, '');
    assert.equal(got.name, `${stem}.jpg`);
    assert.ok(got.bytes.equals(expected), `${p.file}: ${got.bytes.length} bytes against the native ${expected.length}`);
    natives.set(got.name, expected);

    // The line tells what this test reads from the bytes.
    const read = facts(expected);
    assert.equal(read.gainMap, p.hdr, `${p.file}: a gain map in the native JPEG`);
    assert.equal(read.orientation, p.orientation ?? 1, `${p.file}: EXIF Orientation`);
    assert.equal(lines.length, 3, lines.join(' / '));
    assert.equal(lines[0].startsWith('HDR kept (Ultra HDR JPEG)'), read.gainMap, lines[0]);
    if (p.noDetail) {
      assert.equal(/^The JPEG holds: (.*, )?EXIF\b/.test(lines[1]), read.exif, lines[1]);
      const theirs = native(scratch.dir, ['info', '--detail', p.file]);
      assert.notEqual(theirs.status, 0);
      assert.equal(lines[2], `No more facts: ${theirs.stderr.slice(`${p.file}: `.length).trimEnd()}`);
    } else {
      assert.equal(/^Metadata kept: (.*, )?EXIF\b/.test(lines[1]), read.exif, lines[1]);
      assert.ok(lines[2].includes(`${read.width} × ${read.height}`), lines[2]);
      assert.equal(lines[2].includes(`EXIF Orientation ${read.orientation} kept`), read.orientation !== 1, lines[2]);
    }
    const img = await row.locator('img').evaluate((e) => ({ complete: e.complete, width: e.naturalWidth }));
    assert.deepEqual(img, { complete: true, width: read.orientation >= 5 ? read.height : read.width },
      `${p.file}: the JPEG is shown`);
  }

  const zip = await download(page, () => page.click('#all'));
  assert.equal(zip.name, 'photos.zip');
  const entries = unzip(zip.bytes);
  assert.deepEqual([...entries.keys()].sort(), [...natives.keys()].sort());
  for (const [name, bytes] of entries) assert.ok(bytes.equals(natives.get(name)), `${name} in the zip`);
  assert.deepEqual(pageErrors, []);
  await page.close();
});

// The package's calls made on a page (run in its worker) and in Node (in
// this process) give the same results: the native tool's bytes, and the
// same kind and text of error. The caller's bytes stay usable, and the
// page's main thread never loads the module: its worker does.
const calls = [
  { name: 'convert of a Uint8Array, quality 75', call: 'convert', input: 'bytes', file: 'stored.heic',
    options: { quality: 75 }, native: ['convert', '-q', '75', 'stored.heic'], out: 'q75.jpg' },
  { name: 'thumbnail of an ArrayBuffer to PNG', call: 'thumbnail', input: 'buffer', file: 'hdr.heic',
    options: { size: 64, to: 'png' }, native: ['thumbnail', '-s', '64', 'hdr.heic'], out: 't64.png' },
  { name: 'convert of a Blob to PNG, a Blob', call: 'convert', input: 'blob', file: 'stored.heic',
    options: { to: 'png' }, native: ['convert', 'stored.heic'], out: 'blob.png', type: 'image/png' },
  { name: 'thumbnail of a Blob, a JPEG Blob', call: 'thumbnail', input: 'blob', file: 'hdr.heic',
    options: { size: 48 }, native: ['thumbnail', '-s', '48', 'hdr.heic'], out: 't48.jpg', type: 'image/jpeg' },
  { name: 'isHeif of a Blob', call: 'isHeif', input: 'blob', file: 'stored.heic' },
  { name: 'isHeif of noise', call: 'isHeif', input: 'bytes', file: 'noise.heic' },
  { name: 'exif of a Blob', call: 'exif', input: 'blob', file: 'stored.heic' },
  { name: 'a bad file', call: 'convert', input: 'bytes', file: 'noise.heic' },
  { name: 'a size out of range', call: 'thumbnail', input: 'bytes', file: 'stored.heic', options: { size: 0 } },
  { name: 'an unknown format', call: 'convert', input: 'buffer', file: 'stored.heic', options: { to: 'gif' } },
  { name: 'an input of no kind', call: 'info', input: 'number', file: 'stored.heic' },
];

// What a call gives, in a form both sides can compare: bytes as an array,
// a Blob as its bytes and type.
async function outcome(promise) {
  try {
    const value = await promise;
    if (value instanceof Blob) return { value: [...new Uint8Array(await value.arrayBuffer())], type: value.type };
    return { value: value instanceof Uint8Array ? [...value] : value };
  } catch (e) {
    return { error: { name: e.name, message: e.message } };
  }
}

test('the package on a page gives what it gives in Node, from its worker', { timeout: 120_000 }, async () => {
  const lumetra = await import(pathToFileURL(path.join(packageDir, 'index.js')).href);
  const page = await context.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
  for (const c of calls) {
    const bytes = readFileSync(scratch.file(c.file));
    const input = { bytes, buffer: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length),
      blob: new Blob([bytes]), number: 7 }[c.input];
    const inNode = await outcome(lumetra[c.call](input, c.options));
    const onPage = await page.evaluate(async ({ call, kind, data, options }) => {
      const m = await import('./lumetra/index.js');
      const bytes = new Uint8Array(data);
      const input = { bytes, buffer: bytes.buffer, blob: new Blob([bytes]), number: 7 }[kind];
      let value;
      let type;
      let error;
      try {
        value = await m[call](input, options);
        if (value instanceof Blob) {
          type = value.type;
          value = new Uint8Array(await value.arrayBuffer());
        }
        if (value instanceof Uint8Array) value = [...value];
      } catch (e) {
        error = { name: e.name, message: e.message };
      }
      return { result: error ? { error } : type === undefined ? { value } : { value, type }, inputLength: bytes.length };
    }, { call: c.call, kind: c.input, data: [...bytes], options: c.options });
    assert.deepEqual(onPage.result, inNode, c.name);
    assert.equal(onPage.inputLength, bytes.length, `${c.name}: the caller's bytes stay`);
    if (c.native) {
      const value = [...nativeOutput(scratch.dir, c.native, c.out)];
      assert.deepEqual(onPage.result, c.type === undefined ? { value } : { value, type: c.type }, `${c.name}: native`);
    }
    if (c.call === 'isHeif') {
      assert.deepEqual(onPage.result, { value: native(scratch.dir, ['is-heic', c.file]).status === 0 }, c.name);
    }
  }
  const loaded = await page.evaluate(() => performance.getEntriesByType('resource').map((e) => e.name));
  // The module's code is fetched for the worker (Chrome lists that on the
  // page too); the module itself, its .wasm, only by the worker.
  const workers = page.workers().filter((w) => w.url().endsWith('/lumetra/worker.js'));
  assert.equal(workers.length, 1, 'one worker of the package');
  const inWorker = await workers[0].evaluate(() => performance.getEntriesByType('resource').map((e) => e.name));
  const wasm = (names) => names.filter((n) => n.endsWith('/lumetra/lumetra.wasm')).length;
  assert.equal(wasm(inWorker), 1, `the worker loads the module: ${inWorker.join(' ')}`);
  assert.equal(wasm(loaded), 0, `the page does not: ${loaded.join(' ')}`);
  // The AVIF module is fetched only for AV1 pictures, which no call here has
  // or asks for.
  assert.deepEqual([...inWorker, ...loaded].filter((n) => n.includes('lumetra-avif')), []);
  // An AVIF photo: the worker fetches the AVIF module for it, once.
  const fromAvif = await page.evaluate(async (data) => {
    const m = await import('./lumetra/index.js');
    return [...(await m.convert(new Uint8Array(data), { to: 'png' }))];
  }, [...readFileSync(scratch.file('photo.avif'))]);
  assert.deepEqual(fromAvif, [...nativeOutput(scratch.dir, ['convert', 'photo.avif'], 'avif.png')], 'AVIF to PNG');
  const avifWasm = (names) => names.filter((n) => n.endsWith('/lumetra/lumetra-avif.wasm')).length;
  const entries = () => performance.getEntriesByType('resource').map((e) => e.name);
  assert.equal(avifWasm(await workers[0].evaluate(entries)), 1, 'the worker loads the AVIF module');
  assert.equal(avifWasm(await page.evaluate(entries)), 0, 'the page does not');
  await page.close();
});

// A cross-origin isolated page has SharedArrayBuffer: its worker takes the
// threaded modules, which give the native bytes as well, and writes HEIC,
// the same bytes as Node writes.
test('a cross-origin isolated page converts on threads and writes HEIC', { timeout: 180_000 }, async () => {
  const lumetra = await import(pathToFileURL(path.join(packageDir, 'index.js')).href);
  const isolated = await serve(pageDir, { isolated: true });
  const page = await context.newPage();
  try {
    await page.goto(`http://127.0.0.1:${isolated.address().port}/index.html`);
    assert.equal(await page.evaluate(() => self.crossOriginIsolated), true);
    const convert = (file, options) => page.evaluate(async ({ data, options }) => {
      const m = await import('./lumetra/index.js');
      return [...(await m.convert(new Uint8Array(data), options))];
    }, { data: [...readFileSync(scratch.file(file))], options });
    assert.deepEqual(await convert('big.heic', {}), [...nativeOutput(scratch.dir, ['convert', 'big.heic'], 'mt.jpg')],
      'HEIC to JPEG');
    const heic = await lumetra.convert(readFileSync(scratch.file('stored.heic')), { to: 'heic' });
    assert.deepEqual(await convert('stored.heic', { to: 'heic' }), [...heic], 'HEIC to HEIC');
    const workers = page.workers().filter((w) => w.url().endsWith('/lumetra/worker.js'));
    assert.equal(workers.length, 1, 'one worker of the package');
    const fetched = await workers[0].evaluate(() => performance.getEntriesByType('resource')
      .map((e) => e.name.split('/').pop()).filter((name) => name.endsWith('.wasm')));
    assert.deepEqual(fetched.sort(), ['lumetra-heic-mt.wasm', 'lumetra-mt.wasm']);
  } finally {
    await page.close();
    isolated.close();
  }
});

// A worker that cannot be loaded fails the calls waiting on it with a clear
// error and leaves the page working: once the file is there, the next photo,
// dropped on the page rather than picked, converts to the native bytes.
test('a worker that cannot load fails its calls; a dropped photo then converts', { timeout: 120_000 }, async () => {
  const page = await context.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
  const drop = (file) => page.evaluate(({ name, data }) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([new Uint8Array(data)], name));
    document.getElementById('drop').dispatchEvent(
      new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, { name: file, data: [...readFileSync(scratch.file(file))] });
  const state = (file) => page.locator(`#files li[data-name="${file}"]`).getAttribute('data-state');
  const settle = (file) => page.waitForSelector(
    `#files li[data-name="${file}"][data-state="done"], #files li[data-name="${file}"][data-state="failed"]`);

  refused.add('/lumetra/worker.js');
  try {
    await drop('stored.heic');
    await settle('stored.heic');
  } finally {
    refused.clear();
  }
  assert.equal(await state('stored.heic'), 'failed');
  const lines = await page.locator('#files li[data-name="stored.heic"] .facts li').allTextContents();
  assert.equal(lines.length, 1, lines.join(' / '));
  assert.match(lines[0], /^lumetra: the worker stopped: /);

  await drop('hdr.heic');
  await settle('hdr.heic');
  assert.equal(await state('hdr.heic'), 'done');
  const got = await download(page, () => page.locator('#files li[data-name="hdr.heic"] a.download').click());
  const expected = nativeOutput(scratch.dir, ['convert', 'hdr.heic'], 'dropped.jpg');
  assert.ok(got.bytes.equals(expected), `${got.bytes.length} bytes against the native ${expected.length}`);
  await page.close();
});
