// HEIC -> JPEG q90 in one Node process: lumetra and heic-convert loaded
// once, one warm-up call each per photo, then RUNS rounds in which every
// photo goes through both tools, their order alternating from round to
// round. Prints each call's median time and lumetra's share of
// heic-convert's. Every JPEG must be the photo's displayed size.
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

const tools = {
  lumetra: (bytes) => convert(bytes, { to: 'jpeg', quality: 90 }),
  'heic-convert': (bytes) => heicConvert({ buffer: bytes, format: 'JPEG', quality: 0.9 }),
};

// The JPEG's frame size, from its SOF marker.
function frameSize(name, bytes) {
  const facts = jpegFacts(Buffer.from(bytes));
  if (facts.error) throw new Error(`${name}: ${facts.error}`);
  return facts;
}

console.log(`node in-process bench: ${process.version}, ${runs} rounds after a warm-up`);
console.log('| photo | lumetra median ms | heic-convert median ms | lumetra / heic-convert |');
console.log('|---|--:|--:|--:|');
for (const photo of benchPhotos(corpus).filter((p) => existsSync(p.path))) {
  const bytes = await readFile(photo.path);
  const want = expectedSize(photo.path);
  const times = { lumetra: [], 'heic-convert': [] };
  const names = Object.keys(tools);
  for (let round = -1; round < runs; round++) {
    const order = round % 2 ? names : [...names].reverse();
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
  const ours = median(times.lumetra);
  const theirs = median(times['heic-convert']);
  console.log(`| ${photo.label} | ${ours.toFixed(0)} | ${theirs.toFixed(0)} | ${(ours / theirs).toFixed(2)} |`);
}
