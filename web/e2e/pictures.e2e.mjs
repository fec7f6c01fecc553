// The page draws a desktop site's model as the desktop does: every material its own picture. The
// model (two quads, one with red.png, one with blue.png) is written by zelgenmodels --test.
//   ZEL_BIN (zelhost's and zelgenmodels' folder), ZEL_WEB_DIR (the built page)
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdirSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { after, before, test } from 'node:test';

import { sleep, startScene, startSite, waitFor } from './support.mjs';

const scene = 'pictures';
let s, dir, broker, page, problems, painter;

const zelPage = (f) => page.evaluate(`(${f.toString()})(window.zelPage)`);

// Pixels of the screenshot that pass each test (decoded in the page).
function countColours(png) {
    return page.evaluate(async (b64) => {
        const img = await createImageBitmap(await (await fetch(`data:image/png;base64,${b64}`)).blob());
        const c = new OffscreenCanvas(img.width, img.height);
        const g = c.getContext('2d');
        g.drawImage(img, 0, 0);
        const p = g.getImageData(0, 0, img.width, img.height).data;
        let red = 0, blue = 0;
        for (let i = 0; i < p.length; i += 4) {
            if (p[i] > 120 && p[i + 1] < 60 && p[i + 2] < 60) ++red;
            if (p[i + 2] > 120 && p[i] < 60 && p[i + 1] < 60) ++blue;
        }
        return { red, blue };
    }, png.toString('base64'));
}

before(async () => {
    s = await startScene(scene);
    ({ dir, broker } = s);
    s.later(() => painter?.stop());
    ({ page, problems } = await s.open('webby'));
});

after(() => s?.close());

test('each quad of a desktop site\'s model shows its own picture in the page, smoothed at rest', async () => {
    const generated = join(dir.path, 'generated');
    execFileSync(resolve(process.env.ZEL_BIN, 'zelgenmodels'), ['--test', generated], { stdio: 'ignore', timeout: 30000 });
    const models = join(dir.path, 'models');
    mkdirSync(models);
    // The package places archi.3ds.
    copyFileSync(join(generated, 'quads.3ds'), join(models, 'archi.3ds'));
    for (const picture of ['red.png', 'blue.png']) copyFileSync(join(generated, picture), join(models, picture));
    painter = startSite(dir.path, 'painter', broker.url, 'share wait 2 120\nshare sync\nshare wait 99 300\n', { scene, models });

    await waitFor(async () => Object.entries(await zelPage((s) => s.models)).some(([k, m]) => k.startsWith('painter.') && m.triangles > 0),
        60000, "painter's model in the page").catch((e) => {
        throw new Error(`${e.message}: ${painter.err()}`);
    });
    await page.keyboard.press('f'); // frame the models
    await sleep(500);
    await page.addStyleTag({ content: '.panel, .label { display: none !important; }' });
    await sleep(300);
    // At rest, the picture was drawn again at twice the resolution and shrunk onto the canvas:
    // its edges without stairs, the canvas its own size.
    assert.equal(await zelPage((s) => s.resolution()), 2);
    const { canvas, css } = await page.$eval('#view canvas', (c) => ({ canvas: c.width, css: c.clientWidth }));
    assert.equal(canvas, css * (await page.evaluate(() => window.devicePixelRatio)));
    const { red, blue } = await countColours(await page.screenshot());
    assert.ok(red > 2000, `${red} red pixels`);
    assert.ok(blue > 2000, `${blue} blue pixels`);
    assert.deepEqual(await zelPage((s) => s.errors), []);
    assert.deepEqual(problems, []);
});
