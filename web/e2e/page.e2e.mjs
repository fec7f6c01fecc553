// The page end to end: a broker of its own, two zelhost sites on scripts, and the page in headless
// Chromium. The sites' scripts move on when the test makes "trigger" sites present, so the test
// decides when alice edits and when she leaves.
//   ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_MODELS (the sample models)
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { copyFileSync, existsSync, mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { differingPixels, sleep, startScene, startSite, tinyScene, uploadModel, waitFor } from './support.mjs';

const scene = 'webtest';
const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
let s, dir, broker, nodes, presence, assets, page, problems, alice, bob;
const triggers = new Map();

const zelPage = (f = (s) => s) => page.evaluate(`(${f.toString()})(window.zelPage)`);
const sitesShown = () => zelPage((s) => s.sites.map((x) => x.user).sort());
const modelsOf = async (user) => Object.entries(await zelPage((s) => s.models)).filter(([k]) => k.startsWith(`${user}.`));

// A made-up site present while the test wants it, refreshed every second.
function trigger(n) {
    const key = `trigger.0000000${n}`;
    const put = () => presence.put(key, JSON.stringify({ user: 'trigger', site: `trigger-0000000${n}`, joined: 1 })).catch(() => {});
    put();
    triggers.set(n, setInterval(put, 1000));
}

async function screenshot() {
    await page.addStyleTag({ content: '.panel, .label { display: none !important; }' });
    await sleep(300);
    const png = await page.screenshot();
    await page.addStyleTag({ content: '.panel:not([hidden]), .label { display: block !important; }' });
    return png;
}

before(async () => {
    s = await startScene(scene);
    ({ dir, broker, nodes, presence, assets } = s);
    s.later(() => Promise.allSettled([alice?.stop(), bob?.stop()]));
    s.later(() => triggers.forEach((t) => clearInterval(t)));
    ({ page, problems } = await s.open('webby'));
});

after(() => s?.close());

test('the page shows the desktop sites, their models and their edits, and a writing page shows its head', async () => {
    const empty = await screenshot();
    const treeOnly = join(dir.path, 'tree');
    mkdirSync(treeOnly);
    // The package places archi.3ds: bob's is a tree.
    copyFileSync(join(process.env.ZEL_MODELS, 'tree.3ds'), join(treeOnly, 'archi.3ds'));
    // Sites present: alice, bob and the page; then trigger 1 (alice edits), trigger 2 (she leaves).
    alice = startSite(dir.path, 'alice', broker.url, 'share wait 4 120\nkey x\nkey x\nshare sync\nshare wait 5 120\n', { scene });
    bob = startSite(dir.path, 'bob', broker.url, 'share wait 3 120\nsleep 1\nshare sync\ndump bob.json\nshare wait 99 300\n', { scene, models: treeOnly });

    await waitFor(async () => {
        const [a, b] = [await modelsOf('alice'), await modelsOf('bob')];
        return a.some(([, m]) => m.triangles > 0) && b.some(([, m]) => m.triangles > 0);
    }, 60000, "both sites' models in the page").catch(async (e) => {
        throw new Error(`${e.message}: ${JSON.stringify(await zelPage((s) => ({ sites: s.sites, models: s.models })))} ` +
            `${await page.$eval('#log', (l) => l.textContent)} | alice: ${alice.err()} | bob: ${bob.err()}`);
    });
    assert.deepEqual(await sitesShown(), ['alice', 'bob', 'webby']);
    const full = await screenshot();
    const { differing, total } = await differingPixels(page, empty, full);
    assert.ok(differing > total / 100, `the models change ${differing} of ${total} pixels`);

    // The page's camera, as a navigator in bob's scene.
    await waitFor(() => existsSync(join(dir.path, 'bob.json')), 60000, "bob's dump");
    const visitor = bob.dump('bob.json').scene.children.filter((c) => c.owner?.startsWith('webby-'));
    assert.equal(visitor.length, 1, bob.err());
    assert.equal(visitor[0].name, 'navigator');

    // alice moves her model; the frame that shows it follows the broker's copy within a second.
    const before = await zelPage((s) => s.matrices());
    trigger(1);
    const moved = await waitFor(async () => {
        const now = await zelPage((s) => s.matrices());
        return Object.keys(now).find((k) => k.startsWith('alice.') && before[k] && now[k].join() !== before[k].join());
    }, 30000, "alice's edit");
    await sleep(100);
    const { stored, drawn } = await zelPage((s) => ({ stored: s.stored, drawn: s.drawn }));
    assert.ok(drawn[moved] - stored[moved] < 1000, `stored at ${stored[moved]}, drawn at ${drawn[moved]}`);

    // alice leaves: her avatar and model go with her.
    trigger(2);
    assert.equal(await alice.exited, 0, alice.err());
    await waitFor(async () => !(await sitesShown()).includes('alice') && (await modelsOf('alice')).length === 0, 10000, 'alice to leave');
    assert.ok((await modelsOf('bob')).length > 0);
    assert.deepEqual(problems, []);
});

test('hostile records and assets leave the page running, and a bad model is said to be without geometry', async () => {
    const beat = () => presence.put('eve.0000000e', JSON.stringify({ user: 'eve', site: 'eve-0000000e', joined: 1 })).catch(() => {});
    await beat();
    triggers.set('eve', setInterval(beat, 1000));
    const garbage = new TextEncoder().encode('ZELSCENE but not really a scene at all');
    const hash = createHash('sha256').update(garbage).digest('hex');
    await assets.put(`eve.${hash}.0`, garbage);
    await assets.put(`eve.${hash}`, JSON.stringify({ size: garbage.length, chunks: 1, chunk: 1040384 }));
    const good = await uploadModel(assets, 'eve', tinyScene(1, { meshes: 2 }));
    const record = (fields) => JSON.stringify({ name: 'n', parent: '', order: 0, matrix: identity, ...fields });
    const hostile = [
        ['eve.0000000e.1', record({ name: 'root' })],
        ['eve.0000000e.2', record({ parent: 'eve.0000000e.1', mesh: { scene: hash, meshes: [0] } })],
        ['eve.0000000e.1', record({ parent: 'eve.0000000e.2' })], // a cycle
        ['eve.0000000e.3', '{"name": "unfinished'],
        ['eve.0000000e.4', record({ matrix: [...identity.slice(1), 'NaN'] })],
        ['eve.0000000e.5', record({ name: 'x'.repeat(60000) })],
        ['eve.0000000e.6', record({ parent: 'bob.00000000.1' })],
        ['eve.nothex.7', record({})],
        ['eve.0000000e.8', new Uint8Array([0xff, 0xfe, 0x00, 0x7b])],
        ['eve.0000000e.9', record({ mesh: { scene: hash, meshes: [4294967295] } })],
        ['eve.0000000e.11', record({ name: 'whole' }).replace('"order":0', '"order":1.0')], // not a whole number
        ['eve.0000000e.12', record({ mesh: { scene: good, meshes: [1, 0] } })],
        ['eve.0000000e.13', record({ mesh: { scene: good, meshes: [0, 2] } })], // the model has two meshes
        ['eve.0000000e.14', record({ mesh: { scene: good, meshes: [0, 0] } })], // one mesh twice
    ];
    for (const [key, value] of hostile) await nodes.put(key, value);
    await waitFor(async () => (await modelsOf('eve')).length === 4, 20000, "eve's models").catch(async (e) => {
        throw new Error(`${e.message}: ${JSON.stringify(await modelsOf('eve'))} ${await page.$eval('#log', (l) => l.textContent)} ${JSON.stringify(await zelPage((s) => [s.held(), s.errors, Object.keys(s.matrices()), s.sites]))}`);
    });
    const eve = Object.fromEntries(await modelsOf('eve'));
    assert.match(eve['eve.0000000e.2'].reason, /does not decode: /);
    assert.deepEqual(eve['eve.0000000e.12'], { triangles: 4, reason: '' });
    assert.match(eve['eve.0000000e.13'].reason, /mesh index 2 is past the model's 2 meshes/);
    assert.equal(eve['eve.0000000e.13'].triangles, 0);
    assert.match(await page.$eval('#models', (e) => e.textContent), /without geometry/);
    assert.match(await page.$eval('#log', (e) => e.textContent), /dropped a record of eve-0000000e/);
    // Still at work: a good record after the bad ones is drawn.
    await nodes.put('eve.0000000e.10', record({ name: 'fine' }));
    await waitFor(() => zelPage((s) => 'eve.0000000e.10' in s.drawn), 10000, 'a good record after the bad ones');
    const shown = Object.keys(await zelPage((s) => s.matrices())).filter((k) => k.startsWith('eve.'));
    // The first root stays as it was (the cycle was refused); the rest were dropped.
    assert.deepEqual(shown.sort(), ['eve.0000000e.1', 'eve.0000000e.10', 'eve.0000000e.12', 'eve.0000000e.13', 'eve.0000000e.2', 'eve.0000000e.9']);
    assert.deepEqual(await zelPage((s) => s.errors), []);
    assert.deepEqual(problems, []);
    assert.ok((await sitesShown()).includes('bob'));
});

test('while the broker is away the page says it is reconnecting, and then carries on', async () => {
    await broker.stop();
    await waitFor(() => zelPage((s) => s.state === 'reconnecting'), 10000, 'the page to notice');
    assert.match(await page.$eval('#hud', (e) => e.textContent), /reconnecting/);
    await broker.start();
    await waitFor(() => zelPage((s) => s.state === 'joined'), 20000, 'the page to reconnect');
    // The watch resumes: a site that appears now is seen.
    trigger(3);
    await waitFor(async () => (await zelPage((s) => s.sites.map((x) => x.site))).includes('trigger-00000003'), 20000, 'a new site after the outage');
    assert.ok((await sitesShown()).includes('bob'));
    assert.deepEqual(problems, []);
});
