// Models placed from the page, end to end: a file picked on a writer's page appears on a desktop
// site as a node of the page's site with the mesh's triangles, follows the page's arranging keys,
// and goes when the page closes; a damaged file is refused with one line and sends nothing.
//   ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_CORPUS_DIR (model files)
import assert from 'node:assert/strict';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { startScene, startSite, waitFor } from './support.mjs';

const scene = 'placing';
const corpus = process.env.ZEL_CORPUS_DIR ?? '/work/shared/corpus';
let s, dir, broker, nodes, presence, assets, desk;
const triggers = [];

// A made-up site present while the test runs: the desk's script moves on as they appear.
function trigger(n) {
    const put = () => presence.put(`trigger.0000000${n}`, JSON.stringify({ user: 'trigger', site: `trigger-0000000${n}`, joined: 1 })).catch(() => {});
    put();
    triggers.push(setInterval(put, 1000));
}

// Files dropped on the page as a person drops them from a file manager.
async function drop(page, paths) {
    const files = paths.map((p) => ({ name: p.split('/').pop(), data: readFileSync(p).toString('base64') }));
    await page.evaluate((files) => {
        const dt = new DataTransfer();
        for (const f of files) dt.items.add(new File([Uint8Array.from(atob(f.data), (c) => c.charCodeAt(0))], f.name));
        for (const type of ['dragenter', 'dragover', 'drop'])
            document.body.dispatchEvent(new DragEvent(type, { dataTransfer: dt, bubbles: true, cancelable: true }));
    }, files);
}

const near = (a, b) => a.length === b.length && a.every((x, i) => Math.abs(x - b[i]) <= 1e-5 * Math.max(1, Math.abs(b[i])));

const keysOf = async (kv, prefix) => {
    const out = new Set();
    for await (const k of await kv.keys()) if (k.startsWith(prefix)) out.add(k);
    return [...out].sort();
};

before(async () => {
    s = await startScene(scene);
    ({ dir, broker, nodes, presence, assets } = s);
    s.later(() => desk?.stop());
    s.later(() => triggers.forEach((t) => clearInterval(t)));
});

after(() => s?.close());

test('a model placed on the page reaches a desktop site, follows the page\'s keys and mouse and goes with the page', async () => {
    // Present: the desk and the page; each trigger lets the desk dump once more.
    desk = startSite(dir.path, 'desk', broker.url,
        'share wait 3 120\nshare sync\ndump placed.json\nshare wait 4 120\nshare sync\ndump moved.json\n' +
        'share wait 5 120\nshare sync\ndump home.json\nshare wait 6 120\nshare sync\ndump gone.json\nshare wait 99 300\n',
        { scene });
    const { page, problems } = await s.open('webby');
    const own = () => page.evaluate(() => window.zelPage.own());
    const onBroker = async (key) => {
        const e = await nodes.get(key);
        return e?.operation === 'PUT' ? JSON.parse(e.string()) : null;
    };
    // The place button shows once the broker took the page's first write.
    await waitFor(() => page.$eval('#placer', (e) => !e.hidden), 10000, 'the place button');

    // A damaged file, picked with the button: one line, nothing stored, no node.
    const broken = join(dir.path, 'broken.glb');
    writeFileSync(broken, 'glTF, or so it says');
    await (await page.$('#pick')).uploadFile(broken);
    await waitFor(() => page.$eval('#log', (e) => /cannot place broken\.glb: /.test(e.textContent)), 30000, 'the refusal');
    assert.equal((await page.$eval('#log', (e) => e.textContent)).split('\n').filter((l) => l.includes('broken.glb')).length, 1);
    assert.deepEqual(await own(), {});
    assert.deepEqual(await keysOf(assets, 'webby.'), []);

    // OBJ with its materials, dropped on the page.
    await drop(page, [join(corpus, 'assimp/OBJ/cube_usemtl.obj'), join(corpus, 'assimp/OBJ/cube_usemtl.mtl')]);
    const key = await waitFor(async () => Object.keys(await own())[0], 60000, 'the model placed').catch(async (e) => {
        throw new Error(`${e.message}: ${await page.$eval('#log', (l) => l.textContent)}`);
    });
    const placed = (await own())[key];
    assert.equal(placed.triangles, 12);
    await waitFor(() => onBroker(key), 10000, 'the record on the broker');
    assert.deepEqual(await keysOf(assets, 'webby.'), [`webby.${placed.hash}`, `webby.${placed.hash}.0`]);
    const site = key.split('.').slice(0, 2).join('-');
    trigger(1);
    await waitFor(() => existsSync(join(dir.path, 'placed.json')), 60000, "the desk's first dump").catch((e) => {
        throw new Error(`${e.message}: ${desk.err()}`);
    });
    const mirrored = (file) => desk.dump(file).scene.children.filter((c) => c.owner === site && c.name === 'cube_usemtl.obj');
    const [node] = mirrored('placed.json');
    assert.ok(node, desk.err());
    assert.equal(node.mesh.triangles, 12);
    assert.ok(near(node.matrix, placed.matrix), `${node.matrix} against ${placed.matrix}`);

    // The desktop package's keys: two steps along X, then Y mode and one step down, then a uniform
    // scale in XYZ mode, and a turn in Y mode.
    await page.focus('body');
    for (const k of ['x', 'x', 'z', 'X', 'z', 'z', 'c', 'Z', 'Z', 'v']) await page.keyboard.type(k);
    const moved = (await own())[key].matrix;
    const at = placed.matrix.slice(12, 15);
    assert.ok(Math.abs(moved[12] - (at[0] + 0.5)) < 1e-4 && Math.abs(moved[13] - (at[1] - 0.25)) < 1e-4, JSON.stringify(moved));
    // Scaled by 1.1 and turned by 5 degrees about Y: the first row's length and its z.
    assert.ok(Math.abs(Math.hypot(moved[0], moved[1], moved[2]) - 1.1) < 1e-5);
    assert.ok(Math.abs(moved[2] + 1.1 * Math.sin((5 * Math.PI) / 180)) < 1e-5, JSON.stringify(moved));
    await waitFor(async () => (await onBroker(key))?.matrix.join() === moved.join(), 10000, 'the moves on the broker');
    trigger(2);
    await waitFor(() => existsSync(join(dir.path, 'moved.json')), 60000, "the desk's second dump");
    assert.ok(near(mirrored('moved.json')[0].matrix, moved), `${mirrored('moved.json')[0].matrix} against ${moved}`);

    // In XYZ mode, v held: the mouse turns the model about an axis in the view's plane, its place
    // and size kept, and the camera stays; n then puts it back where it was placed.
    const camera = () => page.evaluate(() => window.zelPage.matrices()[Object.keys(window.zelPage.own())[0].replace(/\.\d+$/, '.0')]);
    const cameraBefore = await camera();
    for (const k of ['z', 'z']) await page.keyboard.type(k);
    assert.equal(await page.evaluate(() => window.zelPage.axisMode()), 'XYZ');
    await page.keyboard.down('v');
    // On the canvas, clear of the panels.
    await page.mouse.move(150, 250);
    await page.mouse.down();
    await page.mouse.move(210, 310, { steps: 4 });
    await page.mouse.up();
    await page.keyboard.up('v');
    const turned = (await own())[key].matrix;
    const column = (m, i) => Math.hypot(m[4 * i], m[4 * i + 1], m[4 * i + 2]);
    for (let i = 0; i < 3; ++i) assert.ok(Math.abs(column(turned, i) - 1.1) < 1e-4, JSON.stringify(turned));
    assert.ok(near(turned.slice(12), moved.slice(12)), JSON.stringify(turned));
    assert.ok(!near(turned.slice(0, 12), moved.slice(0, 12)), 'the mouse did not turn the model');
    assert.deepEqual(await camera(), cameraBefore);
    await page.keyboard.type('n');
    assert.ok(near((await own())[key].matrix, placed.matrix), JSON.stringify((await own())[key].matrix));
    await waitFor(async () => near((await onBroker(key))?.matrix ?? [], placed.matrix), 10000, 'the model back on the broker');
    trigger(3);
    await waitFor(() => existsSync(join(dir.path, 'home.json')), 60000, "the desk's third dump");
    assert.ok(near(mirrored('home.json')[0].matrix, placed.matrix), `${mirrored('home.json')[0].matrix} against ${placed.matrix}`);

    // The page closes: its nodes go from the broker, and from the desk.
    assert.deepEqual(problems, []);
    await page.close({ runBeforeUnload: true });
    await waitFor(async () => !(await onBroker(key)), 10000, 'the model gone from the broker');
    // Present now: the desk and three triggers; two more let it dump.
    trigger(4);
    trigger(5);
    await waitFor(() => existsSync(join(dir.path, 'gone.json')), 60000, "the desk's last dump");
    assert.deepEqual(mirrored('gone.json'), []);
});

// Bright, unsaturated pixels above the heads-up lines: the white cube lit, which neither the ground,
// the sky, the house nor an avatar's own colour is (the status window's letters are in both).
async function whitePixels(page, png) {
    return page.evaluate(async (b64) => {
        const img = await createImageBitmap(await (await fetch(`data:image/png;base64,${b64}`)).blob());
        const c = new OffscreenCanvas(img.width, img.height);
        const g = c.getContext('2d');
        g.drawImage(img, 0, 0);
        const p = g.getImageData(0, 0, img.width, img.height - 60).data;
        let n = 0;
        for (let i = 0; i < p.length; i += 4) {
            const hi = Math.max(p[i], p[i + 1], p[i + 2]);
            if (hi > 150 && hi - Math.min(p[i], p[i + 1], p[i + 2]) < 30) ++n;
        }
        return n;
    }, png.toString('base64'));
}

test('a desktop site that looks at the page\'s site, or is turned to it, sees the model it placed', async () => {
    const seen = 'seen';
    await s.kvm.create(`zel-scene-${seen}`, { history: 1 });
    await s.kvm.create(`zel-presence-${seen}`, { ttl: 5000 });
    await s.kvm.create(`zel-assets-${seen}`);
    const { page, problems } = await s.open('webby', { scene: seen });
    await waitFor(() => page.$eval('#placer', (e) => !e.hidden), 10000, 'the place button');
    // A desktop site joins, facing the meeting place where the page stands (or turned to the
    // page's site by the script's last lines), and takes its picture.
    const look = async (name, turn = '') => {
        const viewer = startSite(dir.path, name, broker.url, `share wait 2 60\nshare sync 30\n${turn}`, {
            scene: seen,
            args: ['--size', '640x360', '--snapshot', join(dir.path, `${name}.png`)],
        });
        assert.equal(await viewer.exited, 0, viewer.err());
        return readFileSync(join(dir.path, `${name}.png`));
    };
    const without = await look('before');
    await drop(page, [join(corpus, 'assimp/OBJ/cube_usemtl.obj'), join(corpus, 'assimp/OBJ/cube_usemtl.mtl')]);
    await waitFor(async () => Object.keys(await page.evaluate(() => window.zelPage.own())).length, 60000, 'the model placed');
    const withModel = await look('after');
    // The page's model stands beside its navigator, not under it: framing the page's site takes
    // it in with the head.
    const turned = await look('turned', 'view site webby\n');
    const [before, after, aimed] = [await whitePixels(page, without), await whitePixels(page, withModel), await whitePixels(page, turned)];
    assert.ok(after > before + 2000, `white pixels: ${before} without the model, ${after} with it`);
    assert.ok(aimed > before + 2000, `white pixels: ${before} without the model, ${aimed} turned to the page's site`);
    assert.deepEqual(problems, []);
    await page.close();
});
