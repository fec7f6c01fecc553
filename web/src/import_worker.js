// The worker that reads dropped model files (importer.js), started the first time a person places
// a model. Bundled on its own into import_worker.js beside the page.

import { importFiles } from './importer.js';
import { buffersOf } from './transfer.js';

// The picture's pixels, rows from the top down, scaled down to at most maxPixels.
function pixelsOf(image, maxPixels) {
    const sourceWidth = image.width;
    const sourceHeight = image.height;
    if (!(sourceWidth > 0 && sourceHeight > 0) || maxPixels < 1) return null;
    const scale = Math.min(1, Math.sqrt(maxPixels / (sourceWidth * sourceHeight)));
    const width = Math.max(1, Math.floor(sourceWidth * scale));
    const height = Math.max(1, Math.floor(sourceHeight * scale));
    if (width * height > maxPixels) return null;
    try {
        const canvas = new OffscreenCanvas(width, height);
        const g = canvas.getContext('2d');
        g.drawImage(image, 0, 0, width, height);
        const rgba = new Uint8Array(g.getImageData(0, 0, width, height).data.buffer);
        return { width, height, sourceWidth, sourceHeight, rgba };
    } catch {
        return null;
    }
}

self.onmessage = async ({ data }) => {
    const { id, files } = data;
    let r;
    try {
        const read = await Promise.all(files.map(async (f) => ({ name: f.name, bytes: await f.arrayBuffer() })));
        r = await importFiles(read, { pixelsOf });
    } catch (e) {
        r = { reason: `the files do not load: ${String(e?.message ?? e).slice(0, 200)}` };
    }
    self.postMessage({ id, r }, r.bytes ? [r.bytes.buffer, ...buffersOf(r.scene)] : []);
};
