// Fixtures made at run time: PNG sources written here (with an eXIf chunk
// where asked), turned into HEIC and AVIF by the native lumetra tool, which
// is also the reader every output of the WebAssembly package is held to.
import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { deflateSync } from 'node:zlib';

export const root = fileURLToPath(new URL('../..', import.meta.url));
// The native tool and the sample-picture writer of a native build, and the
// staged npm package of a WebAssembly build (scripts/build-wasm.sh).
export const tool = process.env.LUMETRA_TOOL ?? path.join(root, 'build/lumetra');
export const sampleTool = process.env.LUMETRA_SAMPLE ?? path.join(root, 'build/lumetra-sample');
export const packageDir = process.env.LUMETRA_WASM_PACKAGE ?? path.join(root, 'build-wasm/npm');

export function makeScratch() {
  const dir = mkdtempSync(path.join(tmpdir(), 'lumetra-wasm-'));
  return { dir, file: (name) => path.join(dir, name), remove: () => rmSync(dir, { recursive: true, force: true }) };
}

// Runs the native tool in dir (env: variables added to the environment);
// returns its exit status, stdout and stderr.
export function native(dir, args, env) {
  const r = spawnSync(tool, args, { cwd: dir, encoding: 'buffer', env: env && { ...process.env, ...env } });
  if (r.error) throw r.error;
  return { status: r.status, stdout: r.stdout, stderr: r.stderr.toString('utf8') };
}

// Runs the native tool and returns the bytes of the file it wrote.
export function nativeOutput(dir, args, output, env) {
  const r = native(dir, [...args, output], env);
  if (r.status !== 0) throw new Error(`lumetra ${args.join(' ')} failed: ${r.stderr}`);
  return readFileSync(path.join(dir, output));
}

// The environment under which the native tool sees one CPU: a preloaded
// get_nprocs, built here with the C compiler (CC, else cc). libheif gives
// libaom as many encoder threads as there are CPUs, and x265 takes more
// frame threads on more CPUs; both bitstreams differ with more than one,
// and the modules run one.
export function oneCpuEnvironment(dir) {
  const source = path.join(dir, 'one-cpu.c');
  const library = path.join(dir, 'one-cpu.so');
  writeFileSync(source, 'int get_nprocs(void) { return 1; }\nint get_nprocs_conf(void) { return 1; }\n');
  execFileSync(process.env.CC ?? 'cc', ['-shared', '-fPIC', '-O2', '-o', library, source]);
  return { LD_PRELOAD: library };
}

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

export function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, 'latin1');
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, crc]);
}

// A PNG of width x height: channels 1 (grey), 3 (RGB) or 4 (RGBA), depth 8 or 16,
// sample(x, y, c) giving each value; exif: a TIFF block for an eXIf chunk.
export function makePng({ width, height, channels, depth = 8, sample, exif }) {
  const bytesPerSample = depth / 8;
  const rowBytes = 1 + width * channels * bytesPerSample;
  const raw = Buffer.alloc(rowBytes * height);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      for (let c = 0; c < channels; ++c) {
        const at = y * rowBytes + 1 + (x * channels + c) * bytesPerSample;
        if (depth === 16) raw.writeUInt16BE(sample(x, y, c), at);
        else raw[at] = sample(x, y, c);
      }
    }
  }
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr[8] = depth;
  ihdr[9] = { 1: 0, 3: 2, 4: 6 }[channels];
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk('IHDR', ihdr),
    ...(exif ? [chunk('eXIf', exif)] : []), chunk('IDAT', deflateSync(raw)), chunk('IEND', Buffer.alloc(0)),
  ]);
}

// A big-endian TIFF block with IFD0's Make, Model and Orientation.
export function exifBlock({ make, model, orientation }) {
  const strings = [Buffer.from(`${make}\0`, 'latin1'), Buffer.from(`${model}\0`, 'latin1')];
  const entries = 3;
  const ifdSize = 2 + entries * 12 + 4;
  const head = Buffer.alloc(8 + ifdSize);
  head.write('MM', 0, 'latin1');
  head.writeUInt16BE(42, 2);
  head.writeUInt32BE(8, 4);
  head.writeUInt16BE(entries, 8);
  let dataAt = 8 + ifdSize;
  const entry = (i, tag, type, count, value) => {
    const at = 10 + i * 12;
    head.writeUInt16BE(tag, at);
    head.writeUInt16BE(type, at + 2);
    head.writeUInt32BE(count, at + 4);
    if (type === 3) head.writeUInt16BE(value, at + 8);
    else head.writeUInt32BE(value, at + 8);
  };
  entry(0, 0x010f, 2, strings[0].length, dataAt);
  dataAt += strings[0].length;
  entry(1, 0x0110, 2, strings[1].length, dataAt);
  entry(2, 0x0112, 3, 1, orientation);
  return Buffer.concat([head, ...strings]);
}

// The project's sample scene at width x height as PNG bytes (lumetra-sample).
export function samplePng(dir, width, height) {
  const out = path.join(dir, `scene-${width}x${height}.png`);
  execFileSync(sampleTool, [out, String(width), String(height)]);
  return readFileSync(out);
}

// Inserts an eXIf chunk right after a PNG's IHDR.
export function withExif(png, exif) {
  const afterIhdr = 8 + 8 + 13 + 4;
  return Buffer.concat([png.subarray(0, afterIhdr), chunk('eXIf', exif), png.subarray(afterIhdr)]);
}

export function writeFixture(dir, name, bytes) {
  writeFileSync(path.join(dir, name), bytes);
  return name;
}

// A JPEG segment: marker, big-endian length, payload.
function segment(marker, payload) {
  const head = Buffer.from([0xff, marker, 0, 0]);
  head.writeUInt16BE(payload.length + 2, 2);
  return Buffer.concat([head, payload]);
}

function afterSoi(jpeg, ...segments) {
  return Buffer.concat([jpeg.subarray(0, 2), ...segments, jpeg.subarray(2)]);
}

// An iPhone-style HDR JPEG: a picture, and after it a grey gain map with
// Apple's XMP (its headroom), the two listed by a big-endian MPF index in
// the picture's APP2. The JPEGs are the native tool's, from PNGs made here.
export function appleHdrJpeg(dir, { width, height, headroom }) {
  writeFixture(dir, 'hdr-picture.png', samplePng(dir, width, height));
  const picture = nativeOutput(dir, ['convert', 'hdr-picture.png'], 'hdr-picture.jpg');
  const mapWidth = width >> 1;
  const mapHeight = height >> 1;
  writeFixture(dir, 'hdr-map.png', makePng({
    width: mapWidth, height: mapHeight, channels: 1, sample: (x, y) => (x * 191 / mapWidth + y * 64 / mapHeight) | 0,
  }));
  const xmp = '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">' +
    '<rdf:Description rdf:about="" xmlns:HDRGainMap="http://ns.apple.com/HDRGainMap/1.0/"' +
    ' xmlns:apdi="http://ns.apple.com/pixeldatainfo/1.0/">' +
    '<HDRGainMap:HDRGainMapVersion>65536</HDRGainMap:HDRGainMapVersion>' +
    `<HDRGainMap:HDRGainMapHeadroom>${headroom.toFixed(6)}</HDRGainMap:HDRGainMapHeadroom>` +
    '<apdi:AuxiliaryImageType>urn:com:apple:photo:2020:aux:hdrgainmap</apdi:AuxiliaryImageType>' +
    '</rdf:Description></rdf:RDF></x:xmpmeta>';
  const map = afterSoi(nativeOutput(dir, ['convert', 'hdr-map.png'], 'hdr-map.jpg'),
    segment(0xe1, Buffer.concat([Buffer.from('http://ns.adobe.com/xap/1.0/\0', 'latin1'), Buffer.from(xmp)])));
  // MPF: "MPF\0", a TIFF header, three IFD entries, then two 16-byte MP entries.
  const index = Buffer.alloc(4 + 8 + 2 + 3 * 12 + 4 + 2 * 16);
  index.write('MPF\0MM\0*', 0, 'latin1');
  index.writeUInt32BE(8, 8);
  index.writeUInt16BE(3, 12);
  const entry = (i, tag, type, count, value) => {
    const at = 14 + i * 12;
    index.writeUInt16BE(tag, at);
    index.writeUInt16BE(type, at + 2);
    index.writeUInt32BE(count, at + 4);
    if (typeof value == 'string') index.write(value, at + 8, 'latin1');
    else index.writeUInt32BE(value, at + 8);
  };
  entry(0, 0xb000, 7, 4, '0100');
  entry(1, 0xb001, 4, 1, 2);
  entry(2, 0xb002, 7, 32, 8 + 2 + 36 + 4);
  const total = picture.length + 4 + index.length;
  const tiffStart = 2 + 4 + 4;
  const mp = 54;
  index.writeUInt32BE(0x030000, mp);
  index.writeUInt32BE(total, mp + 4);
  index.writeUInt32BE(map.length, mp + 16 + 4);
  index.writeUInt32BE(total - tiffStart, mp + 16 + 8);
  return Buffer.concat([afterSoi(picture, segment(0xe2, index)), map]);
}
