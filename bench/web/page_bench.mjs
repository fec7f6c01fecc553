// The web page's figures, each beside its baseline from the same run, against a broker the
// benchmark starts itself:
//   1. a record put on the broker to the first frame the page draws with it (p50, p99), against the
//      same put reaching a bare watcher on another connection of the same broker;
//   2. the page's frames per second in headless Chromium with a large model placed by a zelhost
//      site (printed beside the desktop renderer's figure when one is given);
//   3. the page's bundle size.
//
//   node bench/web/page_bench.mjs [LARGE.3ds]
//   env: ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_NATS_SERVER, and
//        ZEL_DESKTOP_FPS (the desktop renderer's figure, to print beside the page's)
import { readFileSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { gzipSync } from 'node:zlib';

import { modelArgument, placingSite, support, top, webDir, withBroker } from './lib.mjs';

const { launchBrowser, natsClient, openPage, servePage, sleep, waitFor } = support;
const edits = Number(process.env.ZEL_BENCH_EDITS ?? 300);
const scene = 'bench';
const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
const wall = () => performance.timeOrigin + performance.now();
const percentile = (v, p) => {
    const s = [...v].sort((a, b) => a - b);
    return s[Math.min(s.length - 1, Math.floor((p / 100) * s.length))];
};

const large = modelArgument('page_bench.mjs', { required: false });

await withBroker('zel-web-bench-', async (run) => {
    const { dir, broker, later } = run;
    const { nc: writer, kvm } = await natsClient(broker.ws);
    later(() => writer.close());
    const nodes = await kvm.create(`zel-scene-${scene}`, { history: 1 });
    const presence = await kvm.create(`zel-presence-${scene}`, { ttl: 5000 });
    await kvm.create(`zel-assets-${scene}`);
    const beat = () => presence.put('desk.0000000d', JSON.stringify({ user: 'desk', site: 'desk-0000000d', joined: 1 })).catch(() => {});
    await beat();
    const heartbeat = setInterval(beat, 1000);
    later(() => clearInterval(heartbeat));

    const web = await servePage(webDir);
    later(() => web.close());
    // The desktop renderer's benchmark draws 1280x720.
    const browser = await launchBrowser(dir.path, { width: 1280, height: 720 });
    later(() => browser.close());
    const { page } = await openPage(browser, web.url, { server: broker.ws, scene, user: 'bench' });

    // The page's clock against ours: its times are wall-clock times measured from its own origin, and
    // the two may disagree by a few milliseconds. The sample with the shortest round trip counts.
    let offset = 0;
    let best = Infinity;
    for (let i = 0; i < 50; ++i) {
        const t1 = wall();
        const p = await page.evaluate(() => performance.timeOrigin + performance.now());
        const t2 = wall();
        if (t2 - t1 < best) [best, offset] = [t2 - t1, p - (t1 + t2) / 2];
    }
    console.log(`page clock ${offset.toFixed(2)} ms ahead of ours (within ${(best / 2).toFixed(2)} ms)`);

    // 1. Latency. The record is a desktop site's node record; its matrix changes every time.
    const record = (i) => JSON.stringify({ name: 'model', parent: '', order: 0, matrix: [...identity.slice(0, 12), i / 1000, 0, 0, 1] });
    const { nc: watcherConnection, kvm: kvm2 } = await natsClient(broker.ws);
    later(() => watcherConnection.close());
    const seen = new Map();
    const watch = await (await kvm2.open(`zel-scene-${scene}`)).watch({ key: 'desk.0000000d.1' });
    (async () => {
        for await (const e of watch) seen.set(e.string(), wall());
    })();
    await nodes.put('desk.0000000d.1', record(0));
    await waitFor(() => page.evaluate(() => 'desk.0000000d.1' in window.zelPage.drawn), 10000, 'the first record in the page');
    const bare = [];
    const drawn = [];
    for (let i = 1; i <= edits; ++i) {
        const text = record(i);
        const at = wall();
        await nodes.put('desk.0000000d.1', text);
        await waitFor(() => seen.has(text), 5000, 'the watcher');
        bare.push(seen.get(text) - at);
        const t = await waitFor(async () => {
            const d = await page.evaluate(() => [window.zelPage.matrices()['desk.0000000d.1']?.[12], window.zelPage.drawn['desk.0000000d.1']]);
            return Math.abs(d[0] - i / 1000) < 1e-6 && d[1] - offset >= at ? d[1] - offset : 0;
        }, 5000, `edit ${i} in the page`).catch(async (e) => {
            throw new Error(`${e.message}: ${await page.evaluate(() => JSON.stringify({ m: window.zelPage.matrices(), sites: window.zelPage.sites, frames: window.zelPage.frames, state: window.zelPage.state }))}`);
        });
        drawn.push(t - at);
        await sleep(5);
    }
    watch.stop();
    const [b50, b99, d50, d99] = [percentile(bare, 50), percentile(bare, 99), percentile(drawn, 50), percentile(drawn, 99)];
    console.log(`put to the page's frame (${edits} edits): p50 ${d50.toFixed(2)} ms, p99 ${d99.toFixed(2)} ms`);
    console.log(`put to a bare watcher, same broker:  p50 ${b50.toFixed(2)} ms, p99 ${b99.toFixed(2)} ms`);
    console.log(`ratio page/bare: p50 ${(d50 / b50).toFixed(1)}x, p99 ${(d99 / b99).toFixed(1)}x`);

    // 2. Frames per second with a large model placed by a desktop site.
    if (large) {
        placingSite(run, 'desk2', large, scene, { env: {} });
        const t0 = Date.now();
        await waitFor(async () => {
            const m = Object.entries(await page.evaluate(() => window.zelPage.models)).find(([k]) => k.startsWith('desk2.'));
            return m && (m[1].triangles > 0 || m[1].reason);
        }, 600000, 'the large model in the page');
        const models2 = await page.evaluate(() => window.zelPage.models);
        const triangles = Object.entries(models2).filter(([k]) => k.startsWith('desk2.')).reduce((n, [, m]) => n + m.triangles, 0);
        console.log(`large model in the page ${((Date.now() - t0) / 1000).toFixed(1)} s after the site started, ${triangles} triangles`);
        for (const [hash, t] of Object.entries(await page.evaluate(() => window.zelPage.assetTimings())))
            console.log(`  its asset ${hash.slice(0, 12)}: ${t.bytes} bytes, fetched in ${t.fetchMs.toFixed(0)} ms, ` +
                `hashed in ${t.hashMs.toFixed(0)} ms, decoded in ${t.decodeMs.toFixed(0)} ms`);
        // Framed, then turning slowly: a new frame every time the browser allows one.
        await page.keyboard.press('f');
        await page.keyboard.press('r');
        await sleep(2000);
        const f0 = await page.evaluate(() => window.zelPage.frames);
        const s0 = Date.now();
        await sleep(10000);
        const fps = ((await page.evaluate(() => window.zelPage.frames)) - f0) / ((Date.now() - s0) / 1000);
        const desktop = Number(process.env.ZEL_DESKTOP_FPS);
        console.log(`page frames per second with it (1280x720, headless Chromium, SwiftShader): ${fps.toFixed(1)}` +
            (desktop ? `; desktop renderer ${desktop} (ratio ${(fps / desktop).toFixed(2)})` : ''));
        await page.screenshot({ path: join(top, 'screenshot-web-large.png') });
    }

    // 3. Bundle size.
    const bundle = readFileSync(join(webDir, 'viewer.js'));
    console.log(`bundle: ${statSync(join(webDir, 'viewer.js')).size} bytes minified (aim under 1,000,000), ${gzipSync(bundle).length} gzipped`);
});
