// One measured run: node tool.mjs TOOL INPUT OUTPUT
// Loads TOOL's module, turns the HEIC at INPUT into a JPEG q90 (or, for a
// decoder without an encoder, RGBA pixels), writes the JPEG to OUTPUT, and
// prints one JSON line: the module's load time, the call's time, the
// decoded size (decoders only) and the process's peak RSS: VmHWM, the high
// water mark of this program's own memory (getrusage's maxrss would also
// count the parent's pages that the fork copied before exec).
// lumetra is imported from LUMETRA_MODULE (the installed package's index.js).
import { readFileSync } from 'node:fs';
import { readFile, writeFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { pathToFileURL } from 'node:url';

const require = createRequire(import.meta.url);
const [tool, input, output] = process.argv.slice(2);

// RGBA pixels of the first image libheif-js lists, as its README shows
// (its default entry: libheif compiled to plain JavaScript; heic-decode
// runs the same steps on its WebAssembly bundle).
function displayFirst(libheif, bytes) {
  const decoder = new libheif.HeifDecoder();
  const images = decoder.decode(bytes);
  if (!images.length) throw new Error('libheif-js: no image');
  const image = images[0];
  const width = image.get_width();
  const height = image.get_height();
  return new Promise((resolve, reject) => {
    image.display({ data: new Uint8ClampedArray(width * height * 4), width, height }, (shown) => {
      for (const each of images) each.free();
      decoder.decoder.delete();
      if (!shown) reject(new Error('HEIF processing error'));
      else resolve(shown);
    });
  });
}

async function lumetra(hdr) {
  const { convert } = await import(pathToFileURL(process.env.LUMETRA_MODULE).href);
  const options = hdr ? { to: 'jpeg', quality: 90 } : { to: 'jpeg', quality: 90, hdr: false };
  return { jpeg: (bytes) => convert(bytes, options) };
}

// Each tool: load() returns { jpeg(bytes) } or { pixels(bytes) }.
const tools = {
  lumetra: () => lumetra(true),
  'lumetra-sdr': () => lumetra(false),
  // The one-thread module, as a page without cross-origin isolation gets it.
  'lumetra-1t': () => {
    process.env.LUMETRA_THREADS = '0';
    return lumetra(true);
  },
  'heic-convert': async () => {
    const convert = require('heic-convert');
    return { jpeg: (bytes) => convert({ buffer: bytes, format: 'JPEG', quality: 0.9 }) };
  },
  'heic-decode': async () => {
    const decode = require('heic-decode');
    return { pixels: (bytes) => decode({ buffer: bytes }) };
  },
  'libheif-js': async () => {
    const libheif = require('libheif-js');
    return { pixels: (bytes) => displayFirst(libheif, bytes) };
  },
};

if (!tools[tool]) {
  console.error(`tool.mjs: unknown tool ${tool}; one of ${Object.keys(tools).join(', ')}`);
  process.exit(2);
}
const bytes = await readFile(input);
const t0 = performance.now();
const api = await tools[tool]();
const t1 = performance.now();
const result = { tool };
if (api.jpeg) {
  await writeFile(output, await api.jpeg(bytes));
} else {
  const { width, height, data } = await api.pixels(bytes);
  if (data.length !== width * height * 4) throw new Error(`${tool}: ${data.length} bytes of pixels for ${width}x${height}`);
  Object.assign(result, { width, height });
}
const t2 = performance.now();
const hwm = /^VmHWM:\s*(\d+) kB$/m.exec(readFileSync('/proc/self/status', 'utf8'));
Object.assign(result, { loadMs: t1 - t0, workMs: t2 - t1, peakRssKiB: Number(hwm[1]) });
console.log(JSON.stringify(result));
