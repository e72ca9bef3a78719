// The calls of lumetra's JavaScript interface, run in the calling thread:
// HEIF/HEIC/AVIF to JPEG, PNG, BMP or AVIF, and what a photo holds, by the lumetra
// library compiled to WebAssembly. Every call puts its input in the module's
// in-memory file system, runs the library's C call on it, takes the output
// back and removes both files. index.js runs these in Node and in workers,
// and through worker.js from a browser page.
import createLumetra from './lumetra.js';

const inNode = typeof process == 'object' && typeof process.versions == 'object' &&
  typeof process.versions.node == 'string';

// Flags of include/lumetra.h.
const KEEP_METADATA = 0x07;
const UPRIGHT = 0x08;
const KEEP_HDR = 0x80;
const HDR_PNG = 0x400;

const extensions = { jpeg: '.jpg', jpg: '.jpg', png: '.png', bmp: '.bmp' };
// convert() also writes AVIF, with the second module, which holds libaom's
// AV1 encoder. HEVC's encoder, x265, needs threads, which these one-thread
// modules have not.
const convertExtensions = { ...extensions, avif: '.avif' };
const hevcNames = new Set(['heic', 'heif', 'hif']);

const modules = new Map();

// A module, made once: 'lumetra' (HEVC's decoder, for HEIC and rasters) or
// 'lumetra-avif' (HEVC's decoder with AV1's decoder and encoder), loaded
// only for a photo that holds AV1 pictures or when AVIF is asked for, so
// that every other call fetches and compiles the smaller one. In Node the .wasm is read
// from beside this file (emscripten's own loader would fetch() a file path);
// elsewhere the module fetches it relative to its .js.
function load(name) {
  let made = modules.get(name);
  if (made === undefined) {
    made = (async () => {
      const create = name === 'lumetra' ? createLumetra : (await import('./lumetra-avif.js')).default;
      const options = {};
      if (inNode) {
        const { readFile } = await import('node:fs/promises');
        options.wasmBinary = await readFile(new URL(`./${name}.wasm`, import.meta.url));
      }
      return create(options);
    })();
    made.catch(() => modules.delete(name));
    modules.set(name, made);
  }
  return made;
}

const av1Config = [0x61, 0x76, 0x31, 0x43]; // 'av1C'

function holdsAt(bytes, at, pattern) {
  for (let k = 0; k < pattern.length; k++) if (bytes[at + k] !== pattern[k]) return false;
  return true;
}

function findIn(bytes, from, to, pattern) {
  for (let at = from; at + pattern.length <= to; at++) if (holdsAt(bytes, at, pattern)) return true;
  return false;
}

// Whether a photo holds AV1 pictures: every AV1 item or track carries an
// 'av1C' box, in the file's 'meta' box (images) or 'moov' box (sequences).
// Where the top-level boxes do not walk to either, the whole file is
// searched; a stray match only costs the larger module.
function holdsAv1(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  let walked = false;
  for (let at = 0; at + 8 <= bytes.length;) {
    let size = view.getUint32(at);
    let header = 8;
    if (size === 1) {
      if (at + 16 > bytes.length) break;
      size = Number(view.getBigUint64(at + 8));
      header = 16;
    } else if (size === 0) {
      size = bytes.length - at;
    }
    if (size < header) break;
    const end = Math.min(bytes.length, at + size);
    const type = String.fromCharCode(...bytes.subarray(at + 4, at + 8));
    if (type === 'meta' || type === 'moov') {
      if (findIn(bytes, at + header, end, av1Config)) return true;
      walked = true;
    }
    at += size;
  }
  return !walked && findIn(bytes, 0, bytes.length, av1Config);
}

async function bytesOf(input) {
  if (input instanceof Uint8Array) return input;
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  if (typeof Blob != 'undefined' && input instanceof Blob) return new Uint8Array(await input.arrayBuffer());
  throw new TypeError('lumetra: the input must be a Uint8Array, an ArrayBuffer or a Blob');
}

// The name the input gets in the file system, which the library's messages
// quote: a File's own name when it is a plain one, else "input".
function nameOf(input) {
  const name = typeof input == 'object' && input !== null && typeof input.name == 'string' ? input.name : '';
  return /^[^/\\\0]{1,200}$/.test(name) && name !== '.' && name !== '..' ? name : 'input';
}

let callCount = 0;

// Runs call(module, inputName, outputPath) in a directory of its own with
// the input written there; returns what finish(module, result, outputPath)
// returns. The directory and everything in it are removed afterwards.
async function withInput(input, outputExtension, call, finish) {
  const bytes = await bytesOf(input);
  const module = await load(outputExtension === '.avif' || holdsAv1(bytes) ? 'lumetra-avif' : 'lumetra');
  const FS = module.FS;
  const dir = `/lumetra-${++callCount}`;
  const name = nameOf(input);
  const output = outputExtension ? `out/output${outputExtension}` : null;
  FS.mkdir(dir);
  const previous = FS.cwd();
  try {
    FS.chdir(dir);
    FS.mkdir('out');
    FS.writeFile(name, bytes);
    const result = call(module, name, output);
    return finish(module, result, output);
  } finally {
    FS.chdir(previous);
    removeTree(FS, dir);
  }
}

function removeTree(FS, path) {
  for (const entry of FS.readdir(path)) {
    if (entry === '.' || entry === '..') continue;
    const child = `${path}/${entry}`;
    if (FS.isDir(FS.stat(child).mode)) removeTree(FS, child);
    else FS.unlink(child);
  }
  FS.rmdir(path);
}

// Passes JavaScript strings to a C call as UTF-8 on the module's heap.
function withStrings(module, strings, call) {
  const pointers = strings.map((s) => {
    const bytes = new TextEncoder().encode(`${s}\0`);
    const p = module._malloc(bytes.length);
    module.HEAPU8.set(bytes, p);
    return p;
  });
  try {
    return call(...pointers);
  } finally {
    for (const p of pointers) module._free(p);
  }
}

// The library's last-error text, without the line ends the tool drops too.
function failure(module) {
  return new Error(module.UTF8ToString(module._lumetra_last_error()).trimEnd());
}

function fileResult(module, ok, output) {
  if (!ok) throw failure(module);
  return module.FS.readFile(output);
}

function reportResult(module, pointer) {
  if (!pointer) throw failure(module);
  return JSON.parse(module.UTF8ToString(pointer));
}

function extensionFor(to) {
  const ext = extensions[to === undefined ? 'jpeg' : String(to).toLowerCase()];
  if (!ext) throw new TypeError(`lumetra: 'to' must be 'jpeg', 'png' or 'bmp', not '${to}'`);
  return ext;
}

function convertExtensionFor(to) {
  const name = to === undefined ? 'jpeg' : String(to).toLowerCase();
  if (hevcNames.has(name)) {
    throw new TypeError(`lumetra: '${to}' output is not available here: its HEVC encoder (x265) needs threads, ` +
      "which this one-thread module has not; 'avif' writes AV1");
  }
  const ext = convertExtensions[name];
  if (!ext) throw new TypeError(`lumetra: 'to' must be 'jpeg', 'png', 'bmp' or 'avif', not '${to}'`);
  return ext;
}

function integerOption(value, name, fallback) {
  if (value === undefined) return fallback;
  if (!Number.isInteger(value)) throw new TypeError(`lumetra: '${name}' must be an integer`);
  return value;
}

/**
 * Converts a HEIF/HEIC/AVIF photo to JPEG, PNG, BMP or AVIF, as the tool's
 * `lumetra convert` does: upright, with its metadata, an HDR photo as an
 * Ultra HDR JPEG or an AVIF with its gain map.
 */
export async function convert(input, options = {}) {
  const ext = convertExtensionFor(options.to);
  const quality = integerOption(options.quality, 'quality', 0);
  let flags = options.metadata === false ? 0 : KEEP_METADATA;
  if (options.hdr !== false) flags |= KEEP_HDR;
  if (options.hdr === true && ext === '.png') flags |= HDR_PNG;
  // A raster source's pixels are turned by its EXIF Orientation, as the
  // tool turns them (HEIF sources are upright by their own transformations).
  flags |= UPRIGHT;
  return withInput(input, ext,
    (m, name, out) => withStrings(m, [name, out], (i, o) => m._lumetra_convert(i, o, quality, flags)),
    fileResult);
}

/** The detail document of every top-level image (`lumetra info --detail`). */
export async function info(input) {
  return withInput(input, null, (m, name) => withStrings(m, [name], (i) => m._lumetra_info_detail(i)),
    reportResult);
}

/** The EXIF summary of the primary image (`lumetra exif`). */
export async function exif(input) {
  return withInput(input, null, (m, name) => withStrings(m, [name], (i) => m._lumetra_exif(i)), reportResult);
}

/** A thumbnail fitting size x size (default 320), as `lumetra thumbnail` writes it. */
export async function thumbnail(input, options = {}) {
  const ext = extensionFor(options.to);
  const size = integerOption(options.size, 'size', 320);
  if (size < 1 || size > 4096) throw new RangeError("lumetra: 'size' must be 1 to 4096");
  return withInput(input, ext,
    (m, name, out) => withStrings(m, [name, out], (i, o) => m._lumetra_wasm_thumbnail(i, o, size)),
    fileResult);
}

/** Whether the bytes are HEIF (HEIC, AVIF, ...) by content. */
export async function isHeif(input) {
  return withInput(input, null, (m, name) => withStrings(m, [name], (i) => m._lumetra_is_heic(i)),
    (m, result) => result === 1);
}
