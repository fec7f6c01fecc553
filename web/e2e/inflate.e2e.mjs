// The page's inflater in Chromium, whose DecompressionStream is the one the page uses: another
// user's deflated stream that lies is refused with the line a desktop site gives, never holding
// more than the declared size, and the page's own uploads deflate to what it inflates.
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { test } from 'node:test';

import { launchBrowser, servePage, tempFolder } from './support.mjs';

test('deflated streams that lie are refused in the browser with one reason each', async () => {
    const dir = tempFolder('zel-web-inflate-');
    const web = await servePage(join(new URL('.', import.meta.url).pathname, '..', 'src'));
    const browser = await launchBrowser(dir.path);
    try {
        const page = await browser.newPage();
        // Any page of that origin: the modules are imported from it.
        await page.goto(`${web.url}records.js`);
        const r = await page.evaluate(async () => {
            const { Inflater, storedForm } = await import('/deflate.js');
            const model = new Uint8Array(300000).map((_, i) => (i >> 6) % 7);
            const { bytes, manifest } = await storedForm(model);
            const bomb = (await storedForm(new Uint8Array(64 << 20))).bytes;
            const inflate = async (stream, declared) => {
                const inflater = new Inflater(declared);
                await inflater.put(stream);
                const out = await inflater.end();
                return { reason: out.reason ?? null, same: !!out.bytes && out.bytes.every((v, i) => v === model[i]), most: inflater.produced <= declared };
            };
            return {
                manifest,
                sound: await inflate(bytes, model.length),
                'trailing garbage': await inflate(new Uint8Array([...bytes, 1, 2, 3]), model.length),
                truncated: await inflate(bytes.subarray(0, bytes.length - 20), model.length),
                'declared too small': await inflate(bytes, model.length - 1),
                'declared too large': await inflate(bytes, model.length + 1),
                bomb: await inflate(bomb, 1 << 20),
                'not deflate': await inflate(model.subarray(0, 5000), model.length),
            };
        });
        assert.equal(r.manifest.encoding, 'deflate');
        assert.equal(r.manifest.inflated, 300000);
        assert.deepEqual(r.sound, { reason: null, same: true, most: true });
        for (const [name, reason] of [
            ['trailing garbage', 'a model has bytes after the end of its deflated stream'],
            ['truncated', "a model's deflated stream ends early"],
            ['declared too small', 'a model inflates to more bytes than its manifest says'],
            ['declared too large', 'a model inflates to fewer bytes than its manifest says'],
            ['bomb', 'a model inflates to more bytes than its manifest says'],
            ['not deflate', "a model's deflated bytes do not inflate"],
        ]) {
            assert.equal(r[name].reason, reason, name);
            assert.ok(r[name].most, name);
        }
    } finally {
        await browser.close();
        await web.close();
        dir.remove();
    }
});
