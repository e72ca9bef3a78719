// The WebAssembly package against the native tool: the same conversions,
// AVIF encodings, thumbnails and reports of the same files give the same
// bytes and documents, and a bad file is refused with the same message.
//
// Needs a native build (build/lumetra, build/lumetra-sample) and the staged
// package of scripts/build-wasm.sh (build-wasm/npm); LUMETRA_TOOL,
// LUMETRA_SAMPLE and LUMETRA_WASM_PACKAGE name others.
import assert from 'node:assert/strict';
import { File } from 'node:buffer';  // global only from Node 20
import { execFileSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import {
  appleHdrJpeg, exifBlock, makePng, makeScratch, native, nativeOutput, oneCpuEnvironment, packageDir, samplePng,
  withExif, writeFixture,
} from './fixtures.js';

const lumetra = await import(pathToFileURL(path.join(packageDir, 'index.js')).href);
const corpusDir = '/work/shared/corpus/heif';
// Corpus photos, named as fixtures are: a 12 MP grid with a gain map, a
// 200 MP one, which converts within the module's memory only by streaming,
// and a 12 MP portrait with a depth map.
const corpus = {
  corpus: `${corpusDir}/grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic`,
  corpus200: `${corpusDir}/grid200mp-samsungS24ultra-thumb-irot270-gainmap-exifII.heic`,
  corpusDepth: `${corpusDir}/grid12mp-iphone14pro-portrait-depth-gainmap-nothumb-exifMM.heic`,
};
const missing = (name) => name in corpus && !existsSync(corpus[name]) && 'no corpus here';

const scratch = makeScratch();
const fixtures = {};

before(() => {
  const dir = scratch.dir;
  // An odd-sized scene (clap in the HEIC), with a thumbnail.
  writeFixture(dir, 'scene.png', samplePng(dir, 301, 199));
  nativeOutput(dir, ['encode', 'scene.png'], 'scene.heic');
  // EXIF with Orientation 6: kept as stored, and turned upright.
  const exif = exifBlock({ make: 'Morvanta', model: 'Lumetra Test', orientation: 6 });
  writeFixture(dir, 'oriented.png', withExif(samplePng(dir, 173, 111), exif));
  nativeOutput(dir, ['encode', '--no-upright', 'oriented.png'], 'stored.heic');
  nativeOutput(dir, ['encode', 'oriented.png'], 'upright.heic');
  // AV1 with alpha, odd size.
  writeFixture(dir, 'alpha.png', makePng({
    width: 97, height: 61, channels: 4,
    sample: (x, y, c) => (c === 3 ? (x * 5 + y * 3) & 0xff : (x * 7 + y * 11 + c * 60) & 0xff),
  }));
  nativeOutput(dir, ['encode', 'alpha.png'], 'alpha.avif');
  // Uncompressed (ISO 23001-17), by libheif's heif-enc: only the larger
  // modules hold its codec.
  execFileSync('heif-enc', ['-U', 'scene.png', '-o', 'plain.heif'], { cwd: dir, stdio: 'pipe' });
  // 10 bits from a 16-bit source.
  writeFixture(dir, 'deep.png', makePng({
    width: 66, height: 45, channels: 3, depth: 16, sample: (x, y, c) => (x * 997 + y * 1409 + c * 20011) & 0xffff,
  }));
  nativeOutput(dir, ['encode', '--deep', 'deep.png'], 'deep.heic');
  // An iPhone-style HDR JPEG (a gain map after the picture), and the HEIC
  // the tool makes of it (the map kept).
  writeFixture(dir, 'hdr.jpg', appleHdrJpeg(dir, { width: 160, height: 120, headroom: 3.5 }));
  nativeOutput(dir, ['encode', 'hdr.jpg'], 'hdr.heic');
  for (const name of ['scene.heic', 'stored.heic', 'upright.heic', 'alpha.avif', 'deep.heic', 'scene.png',
    'oriented.png', 'hdr.jpg', 'hdr.heic', 'plain.heif']) {
    fixtures[name] = readFileSync(scratch.file(name));
  }
});

after(() => scratch.remove());

function assertSameBytes(actual, expected, what) {
  const a = Buffer.from(actual.buffer, actual.byteOffset, actual.byteLength);
  if (a.equals(expected)) return;
  let at = 0;
  while (at < Math.min(a.length, expected.length) && a[at] === expected[at]) ++at;
  assert.fail(`${what}: ${a.length} bytes against the native ${expected.length}, first difference at byte ${at}`);
}

function inputOf(name) { return name in corpus ? readFileSync(corpus[name]) : fixtures[name]; }

function nativePath(name) { return corpus[name] ?? name; }

const conversions = [
  { name: 'odd size to JPEG', file: 'scene.heic', options: {}, args: [], out: 'a.jpg' },
  { name: 'odd size to PNG', file: 'scene.heic', options: { to: 'png' }, args: [], out: 'a.png' },
  { name: 'odd size to BMP', file: 'scene.heic', options: { to: 'bmp' }, args: [], out: 'a.bmp' },
  { name: 'EXIF orientation to JPEG q75', file: 'stored.heic', options: { quality: 75 }, args: ['-q', '75'],
    out: 'a.jpg' },
  { name: 'EXIF orientation to PNG without metadata', file: 'stored.heic', options: { to: 'png', metadata: false },
    args: ['--strip'], out: 'a.png' },
  { name: 'turned upright to JPEG', file: 'upright.heic', options: { to: 'jpg' }, args: [], out: 'a.jpg' },
  { name: 'PNG with EXIF orientation 6 to JPEG, upright', file: 'oriented.png', options: {}, args: [], out: 'a.jpg' },
  { name: 'PNG with EXIF orientation 6 to BMP, upright', file: 'oriented.png', options: { to: 'bmp' }, args: [],
    out: 'a.bmp' },
  { name: 'AVIF with alpha to PNG', file: 'alpha.avif', options: { to: 'png' }, args: [], out: 'a.png' },
  { name: 'AVIF with alpha to JPEG', file: 'alpha.avif', options: {}, args: [], out: 'a.jpg' },
  { name: '10-bit to PNG', file: 'deep.heic', options: { to: 'png' }, args: [], out: 'a.png' },
  { name: 'uncompressed to PNG', file: 'plain.heif', options: { to: 'png' }, args: [], out: 'a.png' },
  { name: 'iPhone grid with gain map to Ultra HDR JPEG', file: 'corpus', options: {}, args: [], out: 'a.jpg' },
  { name: 'iPhone grid to HDR PNG', file: 'corpus', options: { to: 'png', hdr: true }, args: ['--hdr'],
    out: 'a.png' },
  { name: '200 MP grid to Ultra HDR JPEG', file: 'corpus200', options: {}, args: [], out: 'a.jpg' },
];

async function assertNativeConversion(c) {
  const ours = await lumetra.convert(inputOf(c.file), c.options);
  const theirs = nativeOutput(scratch.dir, ['convert', ...c.args, nativePath(c.file)], c.out);
  assertSameBytes(ours, theirs, c.name);
}

// In Node the calls run on the threaded modules.
describe('convert gives the native bytes', () => {
  for (const c of conversions) test(c.name, { skip: missing(c.file) }, () => assertNativeConversion(c));
});

// The one-thread modules, which a page that is not cross-origin isolated
// gets: the same bytes, the 200 MP grid within their memory too, and no
// HEIC.
const oneThread = new Set(['odd size to JPEG', 'AVIF with alpha to PNG', 'uncompressed to PNG',
  'iPhone grid with gain map to Ultra HDR JPEG', '200 MP grid to Ultra HDR JPEG']);

describe('on one thread', () => {
  before(() => { process.env.LUMETRA_THREADS = '0'; });
  after(() => { delete process.env.LUMETRA_THREADS; });
  for (const c of conversions.filter((c) => oneThread.has(c.name))) {
    test(c.name, { skip: missing(c.file) }, () => assertNativeConversion(c));
  }
  test("'heic' is refused: its encoder needs threads", async () => {
    await assert.rejects(lumetra.convert(fixtures['scene.png'], { to: 'heic' }),
      (e) => e instanceof TypeError && /'heic' output needs threads/.test(e.message));
  });
});

// A BMP of the native tool (24 or 32 bits, rows either way up) as RGB.
function readBmp(bytes) {
  assert.equal(bytes.toString('latin1', 0, 2), 'BM');
  const offset = bytes.readUInt32LE(10);
  const width = bytes.readInt32LE(18);
  const storedHeight = bytes.readInt32LE(22);
  const step = bytes.readUInt16LE(28) / 8;
  const height = Math.abs(storedHeight);
  const stride = (width * step + 3) & ~3;
  const rgb = Buffer.alloc(width * height * 3);
  for (let y = 0; y < height; ++y) {
    const row = offset + (storedHeight > 0 ? height - 1 - y : y) * stride;
    for (let x = 0; x < width; ++x) {
      for (let c = 0; c < 3; ++c) rgb[(y * width + x) * 3 + c] = bytes[row + x * step + 2 - c];
    }
  }
  return { width, height, rgb };
}

function psnr(a, b) {
  let sum = 0;
  for (let i = 0; i < a.length; ++i) sum += (a[i] - b[i]) ** 2;
  return sum === 0 ? Infinity : 10 * Math.log10((255 * 255 * a.length) / sum);
}

// The picture the tool decodes from a file (upright, SDR), as RGB.
function nativePicture(file, out) { return readBmp(nativeOutput(scratch.dir, ['convert', file], out)); }

// The detail document and EXIF summary the tool reads from a file.
function nativeDocuments(file) {
  const detail = native(scratch.dir, ['info', '--detail', file]);
  assert.equal(detail.status, 0, detail.stderr);
  const exif = native(scratch.dir, ['exif', file]);
  assert.equal(exif.status, 0, exif.stderr);
  return { detail: JSON.parse(detail.stdout), exif: JSON.parse(exif.stdout) };
}

// AVIF from the module's libaom (C code, one thread) and HEIC from its x265
// (C code, one frame thread, a pool of workers) against the tool's with
// one CPU (their x86 SIMD code is meant to match the C code bit for bit; a
// second libaom thread or x265 frame thread changes the bitstream). The
// output is then read by the tool: its size is the source's upright size,
// its pixels are within 30 dB PSNR of the source's, it holds a gain map
// when the source has one and HDR is kept, and its EXIF is the source's
// with Orientation 1 where the pixels were turned. A HEIF source's colour
// profile, alpha, metadata items and auxiliary images (but an Apple gain
// map, which becomes the output's gain map) are the output's too. A raster
// source's EXIF is read from exifOf, a HEIC holding the same block.
const encodings = [
  { name: 'HEIC with EXIF orientation 6 at quality 60', file: 'stored.heic', options: { quality: 60 },
    args: ['-q', '60'], hdrSource: false },
  { name: 'HEIC with a gain map', file: 'hdr.heic', options: {}, args: [], hdrSource: true },
  { name: 'AVIF with alpha', file: 'alpha.avif', options: {}, args: [], hdrSource: false },
  { name: 'PNG with EXIF orientation 6, turned upright', file: 'oriented.png', options: {}, args: [],
    exifOf: 'stored.heic', orientation: 6, hdrSource: false },
  { name: 'HDR JPEG, SDR only, no metadata', file: 'hdr.jpg', options: { hdr: false, metadata: false },
    args: ['--sdr', '--strip'], hdrSource: true },
  { name: 'iPhone grid turned by irot, with a gain map', file: 'corpus', options: {}, args: [], hdrSource: true },
  { name: 'iPhone portrait with depth, gain map, ICC and XMP', file: 'corpusDepth', options: {}, args: [],
    hdrSource: true },
];
// Every case to AVIF; to HEIC, those that differ in what x265 is given.
const toHeic = new Set(['HEIC with a gain map', 'AVIF with alpha', 'PNG with EXIF orientation 6, turned upright',
  'iPhone grid turned by irot, with a gain map']);
const encodingCases = [
  ...encodings.map((c) => ({ ...c, to: 'avif' })),
  ...encodings.filter((c) => toHeic.has(c.name)).map((c) => ({ ...c, to: 'heic' })),
];

const primaryOf = (detail) => detail.images.find((image) => image.primary);
const auxKinds = (image) => image.auxiliary.map((a) => a.kind).filter((kind) => kind !== 'hdrgainmap').sort();

describe('convert to AVIF and HEIC gives the native bytes, and what the tool reads back', () => {
  for (const c of encodingCases) {
    test(`${c.name}, to ${c.to}`, { skip: missing(c.file) }, async () => {
      const ours = await lumetra.convert(inputOf(c.file), { ...c.options, to: c.to });
      const theirs = nativeOutput(scratch.dir, ['convert', ...c.args, nativePath(c.file)], `a.${c.to}`,
        oneCpuEnvironment(scratch.dir));
      assertSameBytes(ours, theirs, c.name);

      writeFixture(scratch.dir, `ours.${c.to}`, ours);
      const { detail, exif } = nativeDocuments(`ours.${c.to}`);
      const source = nativePicture(nativePath(c.file), 'source.bmp');
      const picture = nativePicture(`ours.${c.to}`, 'ours.bmp');
      assert.equal(detail.brands.major, c.to);
      const primary = primaryOf(detail);
      assert.deepEqual([primary.width, primary.height], [source.width, source.height]);
      assert.deepEqual([picture.width, picture.height], [source.width, source.height]);
      const quality = psnr(picture.rgb, source.rgb);
      assert.ok(quality >= 30, `${quality.toFixed(2)} dB from the source`);
      const keepsMap = c.hdrSource && c.options.hdr !== false;
      assert.equal(primary.gain_map?.usable === true, keepsMap, JSON.stringify(primary.gain_map));

      const metadata = c.options.metadata !== false;
      const heifSource = c.exifOf === undefined && metadata;
      if (heifSource) {
        const from = primaryOf(nativeDocuments(nativePath(c.file)).detail);
        assert.deepEqual(primary.color_profile, from.color_profile);
        assert.equal(primary.alpha, from.alpha);
        assert.deepEqual(auxKinds(primary), auxKinds(from));
        assert.deepEqual(primary.metadata.map((m) => m.type), from.metadata.map((m) => m.type));
      }
      if (!metadata) {
        assert.deepEqual(exif, { ExifPresent: false });
        assert.deepEqual(primary.metadata, []);
        return;
      }
      const expected = nativeDocuments(nativePath(c.exifOf ?? c.file));
      const turned = c.orientation >= 2 || primaryOf(expected.detail).transformations
        .some((t) => (t.type === 'irot' && t.angle_ccw !== 0) || t.type === 'imir');
      assert.deepEqual(exif, turned ? { ...expected.exif, Orientation: 1 } : expected.exif);
    });
  }
});

const thumbnails = [
  { name: 'embedded thumbnail reduced, JPEG', file: 'scene.heic', options: { size: 64 }, out: 't.jpg' },
  { name: 'default box, PNG', file: 'scene.heic', options: { to: 'png' }, out: 't.png' },
  { name: 'from the picture, oriented, PNG', file: 'stored.heic', options: { size: 100, to: 'png' }, out: 't.png' },
  { name: 'AVIF, BMP', file: 'alpha.avif', options: { size: 40, to: 'bmp' }, out: 't.bmp' },
];

describe('thumbnail gives the native bytes', () => {
  for (const c of thumbnails) {
    test(c.name, async () => {
      const ours = await lumetra.thumbnail(inputOf(c.file), c.options);
      const args = c.options.size === undefined ? [] : ['-s', String(c.options.size)];
      const theirs = nativeOutput(scratch.dir, ['thumbnail', ...args, c.file], c.out);
      assertSameBytes(ours, theirs, c.name);
    });
  }
});

describe('info, exif and isHeif give the native documents', () => {
  for (const file of ['scene.heic', 'stored.heic', 'upright.heic', 'alpha.avif', 'deep.heic', 'corpus']) {
    test(file, { skip: missing(file) }, async () => {
      const input = inputOf(file);
      const detail = native(scratch.dir, ['info', '--detail', nativePath(file)]);
      assert.equal(detail.status, 0, detail.stderr);
      assert.deepEqual(await lumetra.info(input), JSON.parse(detail.stdout));
      const exif = native(scratch.dir, ['exif', nativePath(file)]);
      assert.equal(exif.status, 0, exif.stderr);
      assert.deepEqual(await lumetra.exif(new Blob([input])), JSON.parse(exif.stdout));
      assert.equal(await lumetra.isHeif(input.buffer.slice(input.byteOffset, input.byteOffset + input.length)),
        native(scratch.dir, ['is-heic', nativePath(file)]).status === 0);
    });
  }
  test('a PNG is not HEIF', async () => {
    assert.equal(native(scratch.dir, ['is-heic', 'scene.png']).status, 1);
    assert.equal(await lumetra.isHeif(fixtures['scene.png']), false);
  });
});

// Files named as the tool sees them, so that both messages quote one name.
const badFiles = [
  { name: 'noise.heic', bytes: () => Buffer.from(Array.from({ length: 3000 }, (_, i) => (i * 7919 + 13) & 0xff)) },
  { name: 'cut.heic', bytes: () => fixtures['scene.heic'].subarray(0, 400) },
  { name: 'empty.heic', bytes: () => Buffer.alloc(0) },
];
const calls = [
  { name: 'convert', ours: (f) => lumetra.convert(f), args: (n) => ['convert', n, 'x.jpg'] },
  { name: 'info', ours: (f) => lumetra.info(f), args: (n) => ['info', '--detail', n] },
  { name: 'exif', ours: (f) => lumetra.exif(f), args: (n) => ['exif', n] },
  { name: 'thumbnail', ours: (f) => lumetra.thumbnail(f, { to: 'png' }), args: (n) => ['thumbnail', n, 'x.png'] },
];

describe('a bad file is refused with the native message', () => {
  for (const bad of badFiles) {
    for (const call of calls) {
      test(`${call.name} of ${bad.name}`, async () => {
        const bytes = bad.bytes();
        writeFixture(scratch.dir, bad.name, bytes);
        const theirs = native(scratch.dir, call.args(bad.name));
        assert.notEqual(theirs.status, 0);
        const prefix = `${bad.name}: `;
        assert.ok(theirs.stderr.startsWith(prefix), theirs.stderr);
        const message = theirs.stderr.slice(prefix.length).trimEnd();
        await assert.rejects(call.ours(new File([bytes], bad.name)), (e) => {
          assert.equal(e.message, message);
          return true;
        });
        assert.equal(await lumetra.isHeif(bytes), native(scratch.dir, ['is-heic', bad.name]).status === 0);
      });
    }
  }
});
