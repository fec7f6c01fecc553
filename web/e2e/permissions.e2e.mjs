// The page against the deployment tools/broker.sh writes from a users file, every user in an
// account of its own: the buckets made by the desktop admin's join, a desktop writer's model
// fetched and drawn by a page that may write one scene, by one that may write every scene and by
// one that may only read it; a writer appears to the others, a reader sees the scene and writes
// nothing.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { Teardown, launchBrowser, natsClient, openPage, servePage, sleep, startDeployment, startSite, tempFolder, waitFor } from './support.mjs';

const scene = 'guarded';
const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
let dir, broker, nodes, presence, web, browser, heartbeat, alice;
const teardown = new Teardown();

const users = [
    'admin admin admin-secret',
    `writer alice alice-secret scenes=${scene}`,
    `writer carol carol-secret scenes=${scene}`,
    'writer wendy wendy-secret',
    `viewer vic vic-secret scenes=${scene}`,
].join('\n') + '\n';
const credentials = (user) => ({ ZEL_SHARE_USER: user, ZEL_SHARE_PASSWORD: `${user}-secret` });

before(async () => {
    dir = tempFolder();
    teardown.add(() => dir.remove());
    web = await servePage(process.env.ZEL_WEB_DIR);
    teardown.add(() => web.close());
    broker = await startDeployment(dir.path, users, { origins: [new URL(web.url).origin] });
    teardown.add(() => broker.stop());
    // The desktop admin's join makes the scene's buckets.
    const admin = startSite(dir.path, 'admin', broker.url, 'share sync 30\n', { scene, env: credentials('admin') });
    assert.equal(await admin.exited, 0, admin.err());
    const { nc: client, kvm } = await natsClient(broker.ws, { user: 'admin', pass: 'admin-secret' });
    teardown.add(() => client.close());
    nodes = await kvm.open(`zel-scene-${scene}`);
    presence = await kvm.open(`zel-presence-${scene}`);
    // alice stands in the scene with her model until the test ends.
    alice = startSite(dir.path, 'alice', broker.url, 'share sync 30\nshare wait 99 300\n', { scene, env: credentials('alice') });
    teardown.add(() => alice.stop());
    browser = await launchBrowser(dir.path);
    teardown.add(() => browser.close());
    teardown.add(() => clearInterval(heartbeat));
});

after(() => teardown.run());

// A key updated while they are listed may come twice.
const keysOf = async (kv) => {
    const out = new Set();
    for await (const k of await kv.keys()) out.add(k);
    return [...out].sort();
};

test("a writer appears with its camera; a reader watches and writes nothing; both draw alice's model", async () => {
    const beat = () => presence.put('dave.0000000d', JSON.stringify({ user: 'dave', site: 'dave-0000000d', joined: 1 }));
    await beat();
    heartbeat = setInterval(() => beat().catch(() => {}), 1000);
    await nodes.put('dave.0000000d.1', JSON.stringify({ name: 'navigator', parent: '', order: 0, matrix: identity, navigator: true }));

    // carol's password comes in the broker's address: used, and shown nowhere.
    const carol = await openPage(browser, web.url, { server: broker.ws.replace('ws://', 'ws://carol:carol-secret@'), scene, user: 'carol' });
    const vic = await openPage(browser, web.url, { server: broker.ws, scene, user: 'vic', password: 'vic-secret' });
    // A writer of every scene, whose account imports with wildcards.
    const wendy = await openPage(browser, web.url, { server: broker.ws, scene, user: 'wendy', password: 'wendy-secret' });
    for (const { page } of [carol, vic, wendy]) {
        await page.bringToFront();
        await waitFor(() => page.evaluate(() => window.zelPage.sites.some((s) => s.user === 'dave')), 10000, 'dave in the page');
        await waitFor(() => page.$$eval('.label', (ls) => ls.filter((l) => l.textContent === 'dave').length === 1), 10000, "dave's head");
        assert.equal(await page.evaluate(() => window.location.href.includes('secret')), false);
        // alice's model, fetched with the direct gets the deployment grants.
        await waitFor(() => page.evaluate(() => Object.entries(window.zelPage.models).some(([k, m]) => k.startsWith('alice.') && m.triangles > 0)),
            60000, "alice's model in the page").catch(async (e) => {
            throw new Error(`${e.message}: ${await page.$eval('#log', (l) => l.textContent)} | alice: ${alice.err()}`);
        });
    }
    const shown = await carol.page.evaluate(() => [document.body.innerText, ...[...document.querySelectorAll('input')].map((i) => i.value)].join('\n'));
    assert.match(shown, /127\.0\.0\.1/);
    assert.doesNotMatch([shown, ...carol.consoleLines].join('\n'), /secret/);
    await waitFor(() => vic.page.evaluate(() => window.zelPage.mode === 'viewing'), 10000, 'the reader to be told');
    assert.match(await vic.page.$eval('#hud', (e) => e.textContent), /viewing only/);
    // Only a writer places models.
    assert.deepEqual([await carol.page.$eval('#placer', (e) => e.hidden), await vic.page.$eval('#placer', (e) => e.hidden)], [false, true]);
    assert.equal(await carol.page.evaluate(() => window.zelPage.mode), 'writing');
    await sleep(1500);
    assert.deepEqual((await keysOf(presence)).map((k) => k.split('.')[0]).sort(), ['alice', 'carol', 'dave', 'wendy']);
    const carolKeys = (await keysOf(nodes)).filter((k) => k.startsWith('carol.'));
    assert.equal(carolKeys.length, 1);
    assert.equal(JSON.parse((await nodes.get(carolKeys[0])).string()).navigator, true);
    // Taken for left behind by another site of carol's: back at once, though her camera is still.
    await nodes.delete(carolKeys[0]);
    await waitFor(async () => (await nodes.get(carolKeys[0]))?.operation === 'PUT', 3000, "carol's navigator back");
    // The reader still watches: a change reaches it.
    await nodes.put('dave.0000000d.2', JSON.stringify({ name: 'cup', parent: 'dave.0000000d.1', order: 0, matrix: identity }));
    await waitFor(() => vic.page.evaluate(() => 'dave.0000000d.2' in window.zelPage.matrices()), 10000, 'the change in the reader');
    for (const { problems } of [carol, vic, wendy]) assert.deepEqual(problems, []);
});

test('a wrong password is refused, said so, and the form comes back empty of it; a scene not allowed is said so', async () => {
    const page = await browser.newPage();
    await page.goto(web.url);
    const fill = (f) => page.evaluate((f) => {
        for (const [id, v] of Object.entries(f)) document.getElementById(id).value = v;
    }, f);
    await fill({ server: broker.ws, scene, user: 'carol', password: 'not-the-secret' });
    await page.click('#join button');
    await waitFor(() => page.$eval('#hud', (e) => /cannot join/.test(e.textContent)), 10000, 'the refusal');
    assert.equal(await page.$eval('#join', (f) => f.hidden), false);
    assert.equal(await page.$eval('#password', (e) => e.value), '');
    assert.equal(page.url().includes('secret'), false);
    // Another scene: the broker lets vic read this one only.
    await fill({ scene: 'elsewhere', user: 'vic', password: 'vic-secret' });
    await page.click('#join button');
    await waitFor(() => page.$eval('#hud', (e) => /elsewhere: this user may not watch it/.test(e.textContent)), 10000, 'the refusal of the scene');
    await page.close();
});
