// Placed before emscripten's module code: its Node path uses CommonJS's
// require and __dirname, which an ES module lacks.
const lumetraInNode = typeof process == 'object' && typeof process.versions == 'object' &&
  typeof process.versions.node == 'string';
const require = lumetraInNode ? (await import('node:module')).createRequire(import.meta.url) : undefined;
const __dirname = lumetraInNode ? require('node:path').dirname(require('node:url').fileURLToPath(import.meta.url)) : '';
