// The calls of lumetra's JavaScript interface, run in the calling thread:
// HEIF/HEIC/AVIF to JPEG, PNG, BMP, AVIF or HEIC, and what a photo holds, by the lumetra
// library compiled to WebAssembly. Every call puts its input in the module's
// in-memory file system, runs the library's C call on it, takes the output
// back and removes both files. index.js runs these in Node and in workers,
// and through worker.js from a browser page.
const inNode = typeof process == 'object' && typeof process.versions == 'object' &&
  typeof process.versions.node == 'string';

// Flags of include/lumetra.h.
const KEEP_METADATA = 0x07;
const UPRIGHT = 0x08;
const KEEP_HDR = 0x80;
const HDR_PNG = 0x400;

const extensions = { jpeg: '.jpg', jpg: '.jpg', png: '.png', bmp: '.bmp' };
// convert() also writes AVIF, with libaom in 'lumetra-avif', and HEIC, with
// x265 in 'lumetra-heic-mt'. x265 encodes on threads of its own, so HEIC is
// written only where there are threads.
const convertExtensions = { ...extensions, avif: '.avif', heic: '.heic', heif: '.heic', hif: '.heic' };

// The modules: 'lumetra' (HEVC's decoder, for HEIC and rasters) and
// 'lumetra-mt', the same threaded; 'lumetra-avif' (one thread, with AV1's
// decoder and encoder and libheif's uncompressed codec as well) and
// 'lumetra-heic-mt' (threaded, with AV1's decoder, the uncompressed codec
// and x265 as well). Explicit imports, so that bundlers see every
// file.
const factories = {
  'lumetra': () => import('./lumetra.js'),
  'lumetra-mt': () => import('./lumetra-mt.js'),
  'lumetra-avif': () => import('./lumetra-avif.js'),
  'lumetra-heic-mt': () => import('./lumetra-heic-mt.js'),
};

// Threads need memory shared with workers (SharedArrayBuffer), which a page
// has only when it is cross-origin isolated (COOP and COEP headers). In Node
// they are always there; LUMETRA_THREADS=0 in the environment declines them.
function threaded() {
  if (typeof SharedArrayBuffer != 'function') return false;
  if (inNode) return process.env.LUMETRA_THREADS !== '0';
  return globalThis.crossOriginIsolated === true;
}

// The threaded modules start their workers with the module: one per core
// (at most 16) for a grid's tiles or x265's pool, and 4 more for the gain
// map's decoder and x265's frame thread beside them.
async function poolSize() {
  const cores = inNode ? (await import('node:os')).cpus().length : globalThis.navigator?.hardwareConcurrency;
  return Math.min(16, Math.max(1, cores || 1)) + 4;
}

const modules = new Map();

// A module, made once. The larger ones are loaded only for a photo that
// holds AV1 or uncompressed pictures or to write AVIF or HEIC, so that every other call
// fetches and compiles a smaller one. In Node the .wasm is read from beside this
// file (emscripten's own loader would fetch() a file path); elsewhere the
// module fetches it relative to its .js.
function load(name) {
  let made = modules.get(name);
  if (made === undefined) {
    made = (async () => {
      const create = (await factories[name]()).default;
      const options = {};
      if (name.endsWith('-mt')) options.lumetraPool = await poolSize();
      if (inNode) {
        const { readFile } = await import('node:fs/promises');
        options.wasmBinary = await readFile(new URL(`./${name}.wasm`, import.meta.url));
        // The threads' CommonJS script, as a .cjs file (this is an ES module package).
        options.locateFile = (file, dir) => dir + file.replace(/\.worker\.js$/, '.worker.cjs');
      }
      const module = await create(options);
      // The pool's workers do not keep Node running once the caller is done.
      if (inNode && module.PThread) for (const w of module.PThread.unusedWorkers) w.unref();
      return module;
    })();
    made.catch(() => modules.delete(name));
    modules.set(name, made);
  }
  return made;
}

// The smallest module that does the call: the smaller ones unless the photo
// holds AV1 or uncompressed pictures or AVIF or HEIC is written; threaded
// where there are threads (AVIF is encoded on one thread either way).
function moduleName(outputExtension, bytes) {
  if (outputExtension === '.avif') return 'lumetra-avif';
  if (outputExtension === '.heic') return 'lumetra-heic-mt';
  const threads = threaded();
  if (needsLarger(bytes)) return threads ? 'lumetra-heic-mt' : 'lumetra-avif';
  return threads ? 'lumetra-mt' : 'lumetra';
}

// The boxes of pictures the smaller modules do not decode: AV1 ('av1C') and
// uncompressed ones ('uncC').
const largerCodecs = [[0x61, 0x76, 0x31, 0x43], [0x75, 0x6e, 0x63, 0x43]];

function holdsAt(bytes, at, pattern) {
  for (let k = 0; k < pattern.length; k++) if (bytes[at + k] !== pattern[k]) return false;
  return true;
}

function findIn(bytes, from, to) {
  for (let at = from; at + 4 <= to; at++) if (largerCodecs.some((p) => holdsAt(bytes, at, p))) return true;
  return false;
}

// Whether a photo holds pictures that only the larger modules decode: every
// such item or track carries its codec's box, in the file's 'meta' box
// (images) or 'moov' box (sequences). Where the top-level boxes do not walk
// to either, the whole file is searched; a stray match only costs the
// larger module.
function needsLarger(bytes) {
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
      if (findIn(bytes, at + header, end)) return true;
      walked = true;
    }
    at += size;
  }
  return !walked && findIn(bytes, 0, bytes.length);
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
  const module = await load(moduleName(outputExtension, bytes));
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

// The module's memory as it is now: a threaded module's may have grown on
// another thread, which leaves module.HEAPU8 a view of the old buffer.
function heap(module) {
  return module.wasmMemory ? new Uint8Array(module.wasmMemory.buffer) : module.HEAPU8;
}

// Passes JavaScript strings to a C call as UTF-8 on the module's heap.
function withStrings(module, strings, call) {
  const pointers = strings.map((s) => {
    const bytes = new TextEncoder().encode(`${s}\0`);
    const p = module._malloc(bytes.length);
    heap(module).set(bytes, p);
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
  const ext = convertExtensions[name];
  if (!ext) throw new TypeError(`lumetra: 'to' must be 'jpeg', 'png', 'bmp', 'avif' or 'heic', not '${to}'`);
  if (ext === '.heic' && !threaded()) {
    throw new TypeError(`lumetra: '${to}' output needs threads (SharedArrayBuffer), which this host does not ` +
      "give: a page has them only when cross-origin isolated; 'avif' writes AV1");
  }
  return ext;
}

function integerOption(value, name, fallback) {
  if (value === undefined) return fallback;
  if (!Number.isInteger(value)) throw new TypeError(`lumetra: '${name}' must be an integer`);
  return value;
}

/**
 * Converts a HEIF/HEIC/AVIF photo to JPEG, PNG, BMP, AVIF or HEIC, as the
 * tool's `lumetra convert` does: upright, with its metadata, an HDR photo as
 * an Ultra HDR JPEG or an AVIF or HEIC with its gain map.
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
