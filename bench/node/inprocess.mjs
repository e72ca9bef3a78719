// HEIC -> JPEG q90 in one Node process: lumetra (on its threaded module and
// on its one-thread one) and heic-convert loaded once, one warm-up call
// each per photo, then RUNS rounds in which every photo goes through every
// tool, their order turning from round to round. Prints each call's median
// time and lumetra's shares of heic-convert's. Every JPEG must be the
// photo's displayed size.
// Usage: node inprocess.mjs RUNS CORPUS_DIR (LUMETRA_MODULE: the installed
// package's index.js)
import { existsSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { pathToFileURL } from 'node:url';
import { benchPhotos, expectedSize, median } from './photos.mjs';
import { jpegFacts } from './jpeg_facts.mjs';

const require = createRequire(import.meta.url);
const [runs, corpus] = [Number(process.argv[2] ?? 5), process.argv[3]];
const { convert } = await import(pathToFileURL(process.env.LUMETRA_MODULE).href);
const heicConvert = require('heic-convert');

// The package reads LUMETRA_THREADS at every call.
async function oneThread(call) {
  process.env.LUMETRA_THREADS = '0';
  try {
    return await call();
  } finally {
    delete process.env.LUMETRA_THREADS;
  }
}

const tools = {
  lumetra: (bytes) => convert(bytes, { to: 'jpeg', quality: 90 }),
  'lumetra, one thread': (bytes) => oneThread(() => convert(bytes, { to: 'jpeg', quality: 90 })),
  'heic-convert': (bytes) => heicConvert({ buffer: bytes, format: 'JPEG', quality: 0.9 }),
};

// The JPEG's frame size, from its SOF marker.
function frameSize(name, bytes) {
  const facts = jpegFacts(Buffer.from(bytes));
  if (facts.error) throw new Error(`${name}: ${facts.error}`);
  return facts;
}

console.log(`node in-process bench: ${process.version}, ${runs} rounds after a warm-up`);
console.log('| photo | lumetra median ms | one thread | heic-convert | lumetra / heic-convert | one thread / heic-convert |');
console.log('|---|--:|--:|--:|--:|--:|');
for (const photo of benchPhotos(corpus).filter((p) => existsSync(p.path))) {
  const bytes = await readFile(photo.path);
  const want = expectedSize(photo.path);
  const names = Object.keys(tools);
  const times = Object.fromEntries(names.map((name) => [name, []]));
  for (let round = -1; round < runs; round++) {
    const turn = (round + 1) % names.length;
    const order = [...names.slice(turn), ...names.slice(0, turn)];
    for (const name of order) {
      const t0 = performance.now();
      const out = await tools[name](bytes);
      const ms = performance.now() - t0;
      const got = frameSize(name, out);
      if (got.width !== want.width || got.height !== want.height) {
        throw new Error(`${name}: ${got.width}x${got.height} for ${photo.file}, not ${want.width}x${want.height}`);
      }
      if (round >= 0) times[name].push(ms);
    }
  }
  const [ours, one, theirs] = names.map((name) => median(times[name]));
  console.log(`| ${photo.label} | ${ours.toFixed(0)} | ${one.toFixed(0)} | ${theirs.toFixed(0)} | ` +
    `${(ours / theirs).toFixed(2)} | ${(one / theirs).toFixed(2)} |`);
}
