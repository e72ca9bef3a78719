// lumetra for JavaScript: HEIF/HEIC/AVIF to JPEG, PNG, BMP, AVIF or HEIC, and what a
// photo holds, by the lumetra library compiled to WebAssembly (core.js).
// In Node and inside a worker the calls run in the calling thread. On a
// browser page they run in one module worker (worker.js), so that decoding
// never blocks the page: each call posts its input there, the worker runs
// the calls one at a time in order, and the result or the library's error
// comes back as the call's promise.
const inNode = typeof process == 'object' && typeof process.versions == 'object' &&
  typeof process.versions.node == 'string';
const onPage = !inNode && typeof document == 'object' && typeof Worker == 'function';

let corePromise = null;
function core() {
  corePromise ??= import('./core.js');
  return corePromise;
}

let worker = null;
let lastId = 0;
const pending = new Map();

// Every call still waiting fails with error; the next call starts a new worker.
function stopWorker(error) {
  for (const { reject } of pending.values()) reject(error);
  pending.clear();
  if (worker !== null) worker.terminate();
  worker = null;
}

function startWorker() {
  const w = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
  w.onmessage = ({ data }) => {
    const call = pending.get(data.id);
    if (call === undefined) return;
    pending.delete(data.id);
    if (data.error === undefined) call.resolve(data.result);
    else call.reject(errorOf(data.error));
  };
  w.onerror = (event) => {
    event.preventDefault();
    stopWorker(new Error(`lumetra: the worker stopped: ${event.message || 'worker.js could not be loaded'}`));
  };
  w.onmessageerror = () => stopWorker(new Error('lumetra: a reply of the worker could not be read'));
  return w;
}

// The worker's error as the same kind of error the in-process call throws.
function errorOf({ name, message }) {
  const kind = { TypeError, RangeError }[name] ?? Error;
  return new kind(message);
}

// The input as posted: a Blob (a File keeps its name) as it is, bytes as a
// copy whose buffer moves to the worker, so that the caller's stay usable.
function posted(input) {
  if (typeof Blob != 'undefined' && input instanceof Blob) return [input, []];
  if (input instanceof ArrayBuffer) {
    const copy = input.slice(0);
    return [copy, [copy]];
  }
  if (ArrayBuffer.isView(input)) {
    const copy = new Uint8Array(input.buffer, input.byteOffset, input.byteLength).slice();
    return [copy, [copy.buffer]];
  }
  return null;
}

// Only the options the calls read are posted.
const optionNames = ['to', 'quality', 'hdr', 'metadata', 'size'];
function postedOptions(options) {
  if (options === undefined || options === null || typeof options != 'object') return options;
  const picked = {};
  for (const name of optionNames) if (options[name] !== undefined) picked[name] = options[name];
  return picked;
}

async function run(call, input, options) {
  if (!onPage) return (await core())[call](input, options);
  const message = posted(input);
  if (message === null) throw new TypeError('lumetra: the input must be a Uint8Array, an ArrayBuffer or a Blob');
  worker ??= startWorker();
  const id = ++lastId;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject });
    try {
      worker.postMessage({ id, call, input: message[0], options: postedOptions(options) }, message[1]);
    } catch (e) {
      pending.delete(id);
      reject(e);
    }
  });
}

// A Blob in gives a Blob out, typed by the output's format, as the page's own
// APIs (fetch, canvas.toBlob) would hand it on; bytes in give bytes out.
const types = {
  jpeg: 'image/jpeg', jpg: 'image/jpeg', png: 'image/png', bmp: 'image/bmp', avif: 'image/avif',
  heic: 'image/heic', heif: 'image/heic', hif: 'image/heic',
};
async function file(call, input, options) {
  const bytes = await run(call, input, options);
  if (typeof Blob == 'undefined' || !(input instanceof Blob)) return bytes;
  const to = options?.to === undefined ? 'jpeg' : String(options.to).toLowerCase();
  return new Blob([bytes], { type: types[to] ?? '' });
}

/**
 * Converts a HEIF/HEIC/AVIF photo to JPEG, PNG, BMP, AVIF or HEIC, as the
 * tool's `lumetra convert` does: upright, with its metadata, an HDR photo as
 * an Ultra HDR JPEG or an AVIF or HEIC with its gain map.
 */
export function convert(input, options) { return file('convert', input, options); }

/** The detail document of every top-level image (`lumetra info --detail`). */
export function info(input) { return run('info', input); }

/** The EXIF summary of the primary image (`lumetra exif`). */
export function exif(input) { return run('exif', input); }

/** A thumbnail fitting size x size (default 320), as `lumetra thumbnail` writes it. */
export function thumbnail(input, options) { return file('thumbnail', input, options); }

/** Whether the bytes are HEIF (HEIC, AVIF, ...) by content. */
export function isHeif(input) { return run('isHeif', input); }
