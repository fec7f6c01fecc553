// The page's worker: inflates, checks and decodes models off the main thread, so that the page
// stays responsive while a large one arrives. Bundled on its own into worker.js beside the page.

import { checkAndDecode, inflatingHere } from './assets.js';
import { buffersOf } from './transfer.js';

// Deflated models on their way in, by id: as many as the page fetches at once.
const inflating = new Map();

self.onmessage = async ({ data }) => {
    const { id, op } = data;
    // What is inflated goes back too, piece by piece (the page keeps it), when asked for.
    const output = (piece) => self.postMessage({ id, piece }, [piece.buffer]);
    if (op === 'begin') return void inflating.set(id, inflatingHere(data.inflated, data.output ? output : null));
    if (op === 'put') return void inflating.get(id)?.put(data.bytes);
    if (op === 'abort') {
        inflating.get(id)?.abort();
        return void inflating.delete(id);
    }
    let r;
    try {
        if (op === 'end') {
            const model = inflating.get(id);
            inflating.delete(id);
            r = model ? await model.end(data.hash) : { reason: 'a model was not begun' };
        } else {
            r = await checkAndDecode(data.bytes, data.hash);
        }
    } catch (e) {
        r = { reason: `a model does not decode: ${e.message}` };
    }
    self.postMessage({ id, r }, r.scene ? [...buffersOf(r.scene)] : []);
};
