// What the Node and browser benches share: the corpus photos they convert,
// each photo's displayed size as libheif's heif-info reports it, and the
// median of a run's times.
import { execFileSync } from 'node:child_process';
import { join } from 'node:path';

// The photos, as { file, label, path } under corpus.
export function benchPhotos(corpus) {
  return [
    ['grid12mp-iphone13promax-thumb-gainmap-irot270-exifMM.heic', 'iPhone 13 Pro Max 12 MP, gain map, irot 270'],
    ['tmap-iphone16pro-ios18-24mp-10bit-mattes-exifMM.heic', 'iPhone 16 Pro 24 MP, tmap'],
    ['grid12mp-iphoneXR-thumb-exifMM.heic', 'iPhone XR 12 MP'],
  ].map(([file, label]) => ({ file, label, path: join(corpus, file) }));
}

// The primary image's displayed size (transformations applied), as heif-info prints it.
export function expectedSize(path) {
  const text = execFileSync('heif-info', [path], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
  const m = /image: (\d+)x(\d+) \(id=\d+\), primary/.exec(text);
  if (!m) throw new Error(`heif-info names no primary image in ${path}`);
  return { width: Number(m[1]), height: Number(m[2]) };
}

export function median(xs) {
  const s = [...xs].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
}
