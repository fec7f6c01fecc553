// The page's worker: checks and decodes models off the main thread, so that the page stays
// responsive while a large one arrives. Bundled on its own into worker.js beside the page.

import { checkAndDecode } from './assets.js';

// Every array buffer of a decoded scene, handed over rather than copied.
function buffersOf(value, out = new Set()) {
    if (ArrayBuffer.isView(value)) out.add(value.buffer);
    else if (Array.isArray(value)) for (const v of value) buffersOf(v, out);
    else if (value && typeof value === 'object') for (const v of Object.values(value)) buffersOf(v, out);
    return out;
}

self.onmessage = async ({ data }) => {
    const { id, bytes, hash } = data;
    let r;
    try {
        r = await checkAndDecode(bytes, hash);
    } catch (e) {
        r = { reason: `a model does not decode: ${e.message}` };
    }
    self.postMessage({ id, r }, r.scene ? [...buffersOf(r.scene)] : []);
};
