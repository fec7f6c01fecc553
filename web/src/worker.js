// The page's worker: checks and decodes models off the main thread, so that the page stays
// responsive while a large one arrives. Bundled on its own into worker.js beside the page.

import { checkAndDecode } from './assets.js';
import { buffersOf } from './transfer.js';

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
