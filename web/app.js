// The page: photos dropped or picked are converted to JPEG one after the
// other by the lumetra package (its calls run in a worker, off this
// thread). Each file gets a line: its JPEG shown, what the JPEG keeps, and
// a download; all of them download as one zip (fflate, stored entries).
import { convert, exif, info } from './lumetra/index.js';

const drop = document.getElementById('drop');
const pick = document.getElementById('pick');
const list = document.getElementById('files');
const progress = document.getElementById('progress');
const count = document.getElementById('count');
const all = document.getElementById('all');

const converted = [];  // { name, bytes } of every JPEG, in the order made
const usedNames = new Set();
let added = 0;
let finished = 0;
let queue = Promise.resolve();

function showProgress() {
  progress.max = Math.max(added, 1);
  progress.value = finished;
  count.textContent = added === 0 ? 'No photos yet' : `${finished} of ${added} done`;
  all.disabled = converted.length === 0 || finished < added;
}

// The download name: the photo's name with .jpg, numbered when taken.
function jpegName(name) {
  const stem = name.replace(/\.[^.]*$/, '') || 'photo';
  let candidate = `${stem}.jpg`;
  for (let n = 2; usedNames.has(candidate.toLowerCase()); ++n) candidate = `${stem} (${n}).jpg`;
  usedNames.add(candidate.toLowerCase());
  return candidate;
}

function element(tag, props = {}, children = []) {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children);
  return e;
}

function startsWith(bytes, at, text) {
  if (at + text.length > bytes.length) return false;
  for (let i = 0; i < text.length; ++i) if (bytes[at + i] !== text.charCodeAt(i)) return false;
  return true;
}

// The Orientation of a TIFF block's IFD0, 0 when it has none.
function exifOrientation(tiff) {
  const view = new DataView(tiff.buffer, tiff.byteOffset, tiff.byteLength);
  if (tiff.length < 8) return 0;
  const little = tiff[0] === 0x49;
  const ifd = view.getUint32(4, little);
  if (ifd + 2 > tiff.length) return 0;
  const count = view.getUint16(ifd, little);
  for (let i = 0, at = ifd + 2; i < count && at + 12 <= tiff.length; ++i, at += 12) {
    if (view.getUint16(at, little) === 0x0112) return view.getUint16(at + 8, little);
  }
  return 0;
}

// What a JPEG holds, from its segments before the first scan.
function jpegHolds(bytes) {
  const holds = { exif: false, orientation: 0, icc: false, xmp: false, mpf: false, gainMapRecord: false };
  let at = 2;
  while (at + 4 <= bytes.length && bytes[at] === 0xff) {
    const marker = bytes[at + 1];
    if (marker === 0xda || marker === 0xd9) break;
    const length = (bytes[at + 2] << 8) | bytes[at + 3];
    const p = at + 4;
    if (marker === 0xe1 && startsWith(bytes, p, 'Exif\0\0')) {
      holds.exif = true;
      holds.orientation = exifOrientation(bytes.subarray(p + 6, at + 2 + length));
    }
    if (marker === 0xe1 && startsWith(bytes, p, 'http://ns.adobe.com/xap/1.0/\0')) {
      holds.xmp = true;
      const text = new TextDecoder().decode(bytes.subarray(p, at + 2 + length));
      if (text.includes('hdrgm:Version')) holds.gainMapRecord = true;
    }
    if (marker === 0xe2 && startsWith(bytes, p, 'ICC_PROFILE\0')) holds.icc = true;
    if (marker === 0xe2 && startsWith(bytes, p, 'MPF\0')) holds.mpf = true;
    if (marker === 0xe2 && startsWith(bytes, p, 'urn:iso:std:iso:ts:21496:-1\0')) holds.gainMapRecord = true;
    at += 2 + length;
  }
  return holds;
}

function hdrLine(gainMap, holds) {
  if (holds.mpf && holds.gainMapRecord) return 'HDR kept (Ultra HDR JPEG)';
  if (gainMap === null || gainMap === undefined) return 'SDR photo: it has no HDR gain map';
  if (gainMap.usable === false) return `HDR not kept: ${gainMap.unusable}`;
  return 'HDR not kept: the gain map could not be applied to this picture (the JPEG is the SDR picture)';
}

// Each kind of metadata the photo has, kept or not by its JPEG.
function metadataLine(image, summary, holds) {
  const icc = image.color_profile?.icc;
  const kinds = [
    { name: 'EXIF', source: summary.ExifPresent === true, output: holds.exif },
    { name: icc?.description ? `ICC profile (${icc.description})` : 'ICC profile', source: icc != null,
      output: holds.icc },
    { name: 'XMP', source: (image.metadata ?? []).some((m) => m.type === 'mime' &&
      m.content_type === 'application/rdf+xml'), output: holds.xmp },
  ].filter((k) => k.source);
  const kept = kinds.filter((k) => k.output).map((k) => k.name);
  const lost = kinds.filter((k) => !k.output).map((k) => k.name);
  const parts = [];
  if (kept.length) parts.push(`Metadata kept: ${kept.join(', ')}`);
  if (lost.length) parts.push(`not kept: ${lost.join(', ')}`);
  return parts.length ? parts.join('; ') : 'No EXIF, ICC or XMP metadata in the photo';
}

// How the JPEG stands: turned upright by the photo's own transformations,
// or as stored with the EXIF Orientation it keeps for viewers.
function orientationLine(image, holds) {
  const turns = (image.transformations ?? []).filter((t) => t.type === 'irot' || t.type === 'imir');
  const size = `${image.width} × ${image.height}`;
  const tag = holds.orientation ? `; EXIF Orientation ${holds.orientation}` : '';
  if (turns.length) {
    const how = turns.map((t) => (t.type === 'irot' ? `rotated ${t.angle_ccw}° anticlockwise`
      : `mirrored about the ${t.axis} axis`));
    return `Turned upright (${how.join(', then ')}), ${size}${tag}`;
  }
  if (holds.orientation >= 2 && holds.orientation <= 8) {
    return `${size} as stored, EXIF Orientation ${holds.orientation} kept: viewers turn it upright`;
  }
  return `Upright, ${size}${tag}`;
}

// The file's line: from its detail document and EXIF summary, or, for a
// source those do not read (a JPEG or PNG dropped here), from the JPEG alone.
async function describe(file, holds) {
  let detail;
  let summary;
  try {
    [detail, summary] = await Promise.all([info(file), exif(file)]);
  } catch (e) {
    const held = [holds.exif && 'EXIF', holds.icc && 'ICC profile', holds.xmp && 'XMP'].filter(Boolean);
    return [holds.mpf && holds.gainMapRecord ? 'HDR kept (Ultra HDR JPEG)' : 'No HDR gain map in the JPEG',
      held.length ? `The JPEG holds: ${held.join(', ')}` : 'The JPEG holds no EXIF, ICC or XMP metadata',
      `No more facts: ${e instanceof Error ? e.message : String(e)}`];
  }
  const image = detail.images.find((i) => i.primary) ?? detail.images[0];
  return [hdrLine(image.gain_map, holds), metadataLine(image, summary, holds), orientationLine(image, holds)];
}

function addRow(file) {
  const img = element('img', { alt: '' });
  const facts = element('ul', { className: 'facts' }, [element('li', { textContent: 'Waiting…' })]);
  const link = element('a', { className: 'download', textContent: 'Download' });
  const row = element('li', {}, [img, element('div', {}, [element('div', { className: 'name', textContent: file.name }),
    facts]), link]);
  row.dataset.name = file.name;
  row.dataset.state = 'waiting';
  list.append(row);
  return { row, img, facts, link };
}

function setFacts(facts, lines) {
  facts.replaceChildren(...lines.map((text) => element('li', { textContent: text })));
}

async function convertOne(file, { row, img, facts, link }) {
  row.dataset.state = 'converting';
  setFacts(facts, ['Converting…']);
  try {
    const blob = await convert(file);
    const jpeg = new Uint8Array(await blob.arrayBuffer());
    const holds = jpegHolds(jpeg);
    const lines = await describe(file, holds);
    const name = jpegName(file.name);
    const url = URL.createObjectURL(blob);
    img.src = url;
    img.alt = name;
    link.href = url;
    link.download = name;
    setFacts(facts, lines);
    converted.push({ name, bytes: jpeg });
    row.dataset.state = 'done';
  } catch (e) {
    setFacts(facts, [e instanceof Error ? e.message : String(e)]);
    row.dataset.state = 'failed';
  }
  ++finished;
  showProgress();
}

function addFiles(files) {
  for (const file of files) {
    ++added;
    const row = addRow(file);
    queue = queue.then(() => convertOne(file, row));
  }
  showProgress();
}

function save(blob, name) {
  const a = element('a', { href: URL.createObjectURL(blob), download: name });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 60_000);
}

pick.addEventListener('change', () => {
  addFiles([...pick.files]);
  pick.value = '';
});
drop.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  addFiles([...e.dataTransfer.files]);
});
// fflate is loaded when first asked for. JPEGs do not shrink under
// deflate: the zip stores them.
all.addEventListener('click', async () => {
  const { zipSync } = await import('./fflate.js');
  const entries = {};
  for (const { name, bytes } of converted) entries[name] = [bytes, { level: 0 }];
  save(new Blob([zipSync(entries)], { type: 'application/zip' }), 'photos.zip');
});
showProgress();
