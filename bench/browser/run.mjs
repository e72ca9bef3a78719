// HEIC -> JPEG q90 in Chromium: lumetra's package against heic2any and
// heic-to, each on a page of its own.
// node run.mjs RUNS CORPUS_DIR PACKAGE_DIR (bench/browser.sh calls it)
// Every run is a new browser context (nothing cached) and page; the page
// fetches the photo as a Blob, then the timed part: loading the converter
// (script or module, and its WebAssembly) and the call, to the JPEG's Blob.
// One warm-up round, then RUNS rounds, the tools' order rotating. Each JPEG
// counts only when its frame is the photo's displayed size, as libheif's
// heif-info reports it. Prints a Markdown table.
import { existsSync, readFileSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import { createRequire } from 'node:module';
import { join, dirname, extname, normalize } from 'node:path';
import { fileURLToPath } from 'node:url';
import { jpegFacts } from '../node/jpeg_facts.mjs';
import { benchPhotos, expectedSize, median } from '../node/photos.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const [runs, corpus, packageDir] = [Number(process.argv[2] ?? 5), process.argv[3], process.argv[4]];
const chromiumPath = process.env.LUMETRA_CHROMIUM ?? '/usr/bin/chromium';
const { chromium } = createRequire(import.meta.url)('playwright-core');

const photos = benchPhotos(corpus);
const tools = ['lumetra', 'lumetra-mt', 'lumetra-sdr', 'heic-to', 'heic2any'];
// lumetra-mt runs on a cross-origin isolated page, where the package takes
// its threaded module.
const isolatedTools = new Set(['lumetra-mt']);

// What each tool's page runs: load the converter, convert the Blob to a JPEG Blob.
const steps = {
  lumetra: `const { convert } = await import('/lumetra/index.js');
    return convert(blob, { to: 'jpeg', quality: 90 });`,
  'lumetra-mt': `if (!self.crossOriginIsolated) throw new Error('the page is not cross-origin isolated');
    const { convert } = await import('/lumetra/index.js');
    return convert(blob, { to: 'jpeg', quality: 90 });`,
  'lumetra-sdr': `const { convert } = await import('/lumetra/index.js');
    return convert(blob, { to: 'jpeg', quality: 90, hdr: false });`,
  'heic-to': `const { heicTo } = await import('/heic-to.js');
    return heicTo({ blob, type: 'image/jpeg', quality: 0.9 });`,
  heic2any: `await new Promise((resolve, reject) => {
      const script = Object.assign(document.createElement('script'), { src: '/heic2any.js', onload: resolve });
      script.onerror = () => reject(new Error('heic2any.js did not load'));
      document.head.append(script);
    });
    const out = await window.heic2any({ blob, toType: 'image/jpeg', quality: 0.9 });
    return Array.isArray(out) ? out[0] : out;`,
};

const files = {
  '/index.html': { path: join(here, 'page.html'), type: 'text/html' },
  '/isolated.html': { path: join(here, 'page.html'), type: 'text/html' },
  '/heic-to.js': { path: join(here, 'node_modules/heic-to/dist/heic-to.js'), type: 'text/javascript' },
  '/heic2any.js': { path: join(here, 'node_modules/heic2any/dist/heic2any.js'), type: 'text/javascript' },
};
const types = { '.js': 'text/javascript', '.wasm': 'application/wasm' };
function where(name) {
  if (files[name]) return files[name];
  if (name.startsWith('/lumetra/')) {
    const path = join(packageDir, normalize(name.slice('/lumetra/'.length)));
    if (path.startsWith(packageDir)) return { path, type: types[extname(path)] ?? 'application/octet-stream' };
  }
  const photo = photos.find((p) => name === `/photo/${p.file}`);
  return photo ? { path: photo.path, type: 'application/octet-stream' } : null;
}
const server = http.createServer(async (request, response) => {
  const name = decodeURIComponent(new URL(request.url, 'http://h').pathname);
  const found = where(name);
  try {
    if (!found) throw new Error('not found');
    // Only the isolated page is made so by them; the files it loads
    // (workers included) carry them as well.
    const isolation = found.type === 'text/html' && !name.startsWith('/isolated') ? {} : {
      'cross-origin-opener-policy': 'same-origin', 'cross-origin-embedder-policy': 'require-corp',
    };
    response.writeHead(200, { 'content-type': found.type, ...isolation }).end(await readFile(found.path));
  } catch {
    response.writeHead(404).end();
  }
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

const browser = await chromium.launch({
  executablePath: chromiumPath, headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const version = browser.version();

// One run: { ms, jpeg } or { error }.
async function runOnce(tool, photo) {
  const context = await browser.newContext();
  try {
    const page = await context.newPage();
    await page.goto(`${origin}/${isolatedTools.has(tool) ? 'isolated' : 'index'}.html`);
    const result = await page.evaluate(async ({ step, url }) => {
      const blob = await (await fetch(url)).blob();
      const t0 = performance.now();
      try {
        const jpeg = await new Function('blob', `return (async () => { ${step} })();`)(blob);
        const ms = performance.now() - t0;
        const bytes = new Uint8Array(await jpeg.arrayBuffer());
        let text = '';
        for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
        return { ms, jpeg: btoa(text) };
      } catch (e) {
        // heic2any rejects with a plain { code, message } object.
        return { error: e instanceof Error ? e.message : typeof e == 'object' ? JSON.stringify(e) : String(e) };
      }
    }, { step: steps[tool], url: `/photo/${photo.file}` });
    return result.error ? result : { ms: result.ms, jpeg: Buffer.from(result.jpeg, 'base64') };
  } catch (e) {
    return { error: e.message.split('\n')[0] };
  } finally {
    await context.close();
  }
}

const load = () => readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');

const present = photos.filter((p) => existsSync(p.path));
for (const p of photos) if (!existsSync(p.path)) console.error(`browser bench: ${p.path} not found, left out`);
const cells = new Map();
for (const p of present) {
  p.want = expectedSize(p.path);
  for (const tool of tools) cells.set(`${p.file} ${tool}`, { times: [] });
}
for (let round = 0; round <= runs; round++) {
  const order = tools.map((_, i) => tools[(i + round) % tools.length]);
  for (const photo of present) {
    for (const tool of order) {
      const cell = cells.get(`${photo.file} ${tool}`);
      if (cell.error) continue;
      const result = await runOnce(tool, photo);
      let error = result.error;
      if (!error) {
        const facts = jpegFacts(result.jpeg);
        if (facts.error) error = facts.error;
        else if (facts.width !== photo.want.width || facts.height !== photo.want.height) {
          error = `JPEG frame ${facts.width}x${facts.height}, not ${photo.want.width}x${photo.want.height}`;
        } else if (round === 0) Object.assign(cell, { facts, bytes: result.jpeg.length });
      }
      if (error) cell.error = `${round === 0 ? 'warm-up' : `run ${round}`}: ${error}`;
      else if (round > 0) cell.times.push(result.ms);
    }
  }
  console.error(`browser bench: round ${round === 0 ? 'warm-up' : round} of ${runs} done, load ${load()}`);
}
await browser.close();
server.close();

const s = (ms) => (ms / 1000).toFixed(2);
const yesNo = (b) => (b ? 'yes' : 'no');
console.log('| photo | tool | median s | min–max s | JPEG bytes | EXIF | ICC | gain map |');
console.log('|---|---|--:|--:|--:|---|---|---|');
for (const p of present) {
  for (const tool of tools) {
    const c = cells.get(`${p.file} ${tool}`);
    if (c.error) {
      console.log(`| ${p.label} | ${tool} | FAILED (${c.error.replace(/\|/g, '/')}) | | | | | |`);
      continue;
    }
    console.log(`| ${p.label} | ${tool} | ${s(median(c.times))} | ${s(Math.min(...c.times))}–${s(Math.max(...c.times))} | ` +
      `${c.bytes} | ${yesNo(c.facts.exif)} | ${yesNo(c.facts.icc)} | ${c.facts.gainMap} |`);
  }
}
console.log(`\nMedians of ${runs} runs after one warm-up; Chromium ${version}, headless.`);
