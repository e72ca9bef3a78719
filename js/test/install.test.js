// The packed tarball installed offline into a fresh Node project converts a
// photo the way js/README.md shows, to the native tool's bytes.
//
// LUMETRA_WASM_TARBALL names the tarball (default: build-wasm/lumetra-*.tgz).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { makeScratch, nativeOutput, root, samplePng, writeFixture } from './fixtures.js';

function tarball() {
  if (process.env.LUMETRA_WASM_TARBALL) return process.env.LUMETRA_WASM_TARBALL;
  const dir = path.join(root, 'build-wasm');
  const found = readdirSync(dir).filter((n) => /^lumetra-.*\.tgz$/.test(n));
  assert.equal(found.length, 1, `one packed tarball in ${dir}`);
  return path.join(dir, found[0]);
}

const usage = `import { readFile, writeFile } from 'node:fs/promises';
import { convert } from 'lumetra';

const heic = await readFile('photo.heic');
await writeFile('photo.jpg', await convert(heic, { to: 'jpeg', quality: 85 }));
`;

const cases = [
  { name: 'ES module project', packageJson: { name: 'uses-lumetra', private: true, type: 'module' }, script: 'main.js' },
  { name: 'CommonJS project with an .mjs script', packageJson: { name: 'uses-lumetra', private: true },
    script: 'main.mjs' },
];

for (const c of cases) {
  test(c.name, () => {
    const scratch = makeScratch();
    try {
      const dir = scratch.dir;
      writeFileSync(scratch.file('package.json'), JSON.stringify(c.packageJson));
      execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', tarball()], { cwd: dir, stdio: 'pipe' });
      writeFixture(dir, 'scene.png', samplePng(dir, 129, 87));
      nativeOutput(dir, ['encode', 'scene.png'], 'photo.heic');
      writeFileSync(scratch.file(c.script), usage);
      execFileSync(process.execPath, [c.script], { cwd: dir, stdio: 'pipe' });
      const theirs = nativeOutput(dir, ['convert', '-q', '85', 'photo.heic'], 'native.jpg');
      assert.ok(readFileSync(scratch.file('photo.jpg')).equals(theirs), 'the installed package writes the native bytes');
    } finally {
      scratch.remove();
    }
  });
}
