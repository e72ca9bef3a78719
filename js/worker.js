// The module worker index.js starts on a browser page: it runs the calls
// posted to it with core.js, one at a time in the order they came, and
// posts back each result (an output's buffer moved, not copied) or the
// name and message of its error.
import * as core from './core.js';

const calls = {
  convert: core.convert, info: core.info, exif: core.exif, thumbnail: core.thumbnail, isHeif: core.isHeif,
};

let queue = Promise.resolve();

async function run({ id, call, input, options }) {
  try {
    if (!Object.hasOwn(calls, call)) throw new TypeError(`lumetra: no call named '${call}'`);
    const result = await calls[call](input, options);
    const whole = result instanceof Uint8Array && result.byteOffset === 0 &&
      result.byteLength === result.buffer.byteLength;
    self.postMessage({ id, result }, whole ? [result.buffer] : []);
  } catch (e) {
    const error = e instanceof Error ? e : new Error(String(e));
    self.postMessage({ id, error: { name: error.name, message: error.message } });
  }
}

self.onmessage = ({ data }) => {
  queue = queue.then(() => run(data));
};
