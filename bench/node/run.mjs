// HEIC -> JPEG q90 in Node: lumetra against the npm HEIC converters.
// node run.mjs RUNS CORPUS_DIR (bench/node.sh sets LUMETRA_MODULE and calls it)
// Every run is a whole Node process (tool.mjs) per tool and photo, the tools
// alternating; one warm-up round, then RUNS rounds. Each output is checked
// before it counts: a JPEG's frame size (and, on the warm-up, a full decode
// by jpeg-js) or a decoder's pixel size must be the photo's displayed size,
// which libheif's own heif-info reports. Prints a Markdown table.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { jpegFacts } from './jpeg_facts.mjs';
import { benchPhotos, expectedSize, median } from './photos.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const jpegJs = createRequire(import.meta.url)('jpeg-js');
const runs = Number(process.argv[2] ?? 5);
const corpus = process.argv[3];

const photos = benchPhotos(corpus);
const tools = ['lumetra', 'lumetra-1t', 'lumetra-sdr', 'heic-convert', 'heic-decode', 'libheif-js'];
const decodeOnly = new Set(['heic-decode', 'libheif-js']);

// One process; returns { wallMs, report, jpeg } or { error }.
function runOnce(tool, photo, out) {
  rmSync(out, { force: true });
  const t0 = process.hrtime.bigint();
  const child = spawnSync(process.execPath, [join(here, 'tool.mjs'), tool, photo.path, out], {
    cwd: here, encoding: 'utf8', timeout: 600_000, maxBuffer: 1 << 20,
  });
  const wallMs = Number(process.hrtime.bigint() - t0) / 1e6;
  if (child.status !== 0) {
    const lines = (child.stderr || String(child.error || child.signal)).trim().split('\n');
    const why = lines.find((line) => /Error/.test(line)) ?? lines.pop();
    return { error: `exit ${child.status ?? child.signal}: ${why.trim().slice(0, 300)}` };
  }
  const report = JSON.parse(child.stdout.trim().split('\n').pop());
  return { wallMs, report, jpeg: decodeOnly.has(tool) ? null : readFileSync(out) };
}

// Whether one run's output is the photo at its displayed size; the reason when not.
function check(tool, result, want, fullDecode) {
  if (decodeOnly.has(tool)) {
    const { width, height } = result.report;
    return width === want.width && height === want.height ? null : `decoded ${width}x${height}`;
  }
  const facts = jpegFacts(result.jpeg);
  if (facts.error) return facts.error;
  if (facts.width !== want.width || facts.height !== want.height) return `JPEG frame ${facts.width}x${facts.height}`;
  if (fullDecode) {
    try {
      const img = jpegJs.decode(result.jpeg, { useTArray: true, maxMemoryUsageInMB: 1024 });
      if (img.width !== want.width || img.height !== want.height) return `jpeg-js decoded ${img.width}x${img.height}`;
    } catch (e) {
      return `jpeg-js cannot decode it: ${e.message}`;
    }
  }
  return null;
}

const work = mkdtempSync(join(tmpdir(), 'lumetra-node-bench-'));
const cells = new Map(); // `${photo.file} ${tool}` -> { walls, calls, rss, facts, bytes, error }
const present = photos.filter((p) => existsSync(p.path));
for (const p of photos) if (!existsSync(p.path)) console.error(`node bench: ${p.path} not found, left out`);
for (const p of present) {
  p.want = expectedSize(p.path);
  for (const tool of tools) cells.set(`${p.file} ${tool}`, { walls: [], calls: [], rss: [] });
}
for (let round = 0; round <= runs; round++) {
  const order = tools.map((_, i) => tools[(i + round) % tools.length]);
  for (const photo of present) {
    for (const tool of order) {
      const cell = cells.get(`${photo.file} ${tool}`);
      if (cell.error) continue;
      const result = runOnce(tool, photo, join(work, `${tool}.jpg`));
      const error = result.error ?? check(tool, result, photo.want, round === 0);
      if (error) {
        cell.error = `${round === 0 ? 'warm-up' : `run ${round}`}: ${error}`;
        continue;
      }
      if (round === 0) {
        if (result.jpeg) Object.assign(cell, { facts: jpegFacts(result.jpeg), bytes: result.jpeg.length });
        continue;
      }
      cell.walls.push(result.wallMs);
      cell.calls.push(result.report.loadMs + result.report.workMs);
      cell.rss.push(result.report.peakRssKiB);
    }
  }
  console.error(`node bench: round ${round === 0 ? 'warm-up' : round} of ${runs} done, load ${readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ')}`);
}
rmSync(work, { recursive: true, force: true });

const s = (ms) => (ms / 1000).toFixed(2);
const yesNo = (b) => (b ? 'yes' : 'no');
console.log(`| photo | tool | output | wall median s | wall min–max s | import + call median s | peak RSS MiB | JPEG bytes | EXIF | ICC | gain map |`);
console.log(`|---|---|---|--:|--:|--:|--:|--:|---|---|---|`);
for (const p of present) {
  for (const tool of tools) {
    const c = cells.get(`${p.file} ${tool}`);
    const head = `| ${p.label} | ${tool} |`;
    if (c.error) {
      console.log(`${head} FAILED (${c.error.replace(/\|/g, '/')}) | | | | | | | | |`);
      continue;
    }
    const output = decodeOnly.has(tool) ? 'RGBA, decode only' : 'JPEG q90';
    const times = `${s(median(c.walls))} | ${s(Math.min(...c.walls))}–${s(Math.max(...c.walls))} | ${s(median(c.calls))}`;
    const rss = (Math.max(...c.rss) / 1024).toFixed(0);
    const marks = c.facts
      ? `${c.bytes} | ${yesNo(c.facts.exif)} | ${yesNo(c.facts.icc)} | ${c.facts.gainMap}`
      : '– | – | – | –';
    console.log(`${head} ${output} | ${times} | ${rss} | ${marks} |`);
  }
}
console.log(`\nMedians of ${runs} runs after one warm-up; Node ${process.version}.`);
