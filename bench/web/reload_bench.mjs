// The page reloaded against its first load, one run each, against a broker the benchmark starts
// itself: a zelhost site places LARGE.3ds; the page opens, joins and shows it (fetched over the
// broker's WebSocket listener, checked, decoded, kept in the browser's storage); then a new tab of
// the same browser profile does the same, taking the model from the browser's storage.
// Each figure runs from opening the page to the model shown.
//
//   node bench/web/reload_bench.mjs LARGE.3ds
//   env: ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_NATS_SERVER, ZEL_CHROMIUM
import { copyFileSync, mkdirSync } from 'node:fs';
import { join, resolve } from 'node:path';

const here = new URL('.', import.meta.url).pathname;
const top = resolve(here, '..', '..');
const harness = await import(join(top, 'web', 'e2e', 'support.mjs'));
const { launchBrowser, openPage, servePage, startBroker, startSite, tempFolder, waitFor } = harness;

const large = process.argv[2];
if (!large) {
    console.error('usage: node bench/web/reload_bench.mjs LARGE.3ds');
    process.exit(2);
}
const webDir = process.env.ZEL_WEB_DIR ?? join(top, 'build', 'web');
const scene = 'bench';

const dir = tempFolder('zel-web-reload-');
const broker = await startBroker(dir.path);
const stop = [];
try {
    const models = join(dir.path, 'large');
    mkdirSync(models);
    copyFileSync(large, join(models, 'archi.3ds'));
    const site = startSite(dir.path, 'desk', broker.url, 'share sync 600\nshare wait 99 900\n', {
        scene,
        models,
        env: { XDG_CACHE_HOME: join(dir.path, 'desk-cache') },
    });
    stop.push(() => site.stop());
    const web = await servePage(webDir);
    stop.push(() => web.close());
    const browser = await launchBrowser(dir.path, { width: 1280, height: 720 });
    stop.push(() => browser.close());

    // Opening to the desk's model drawn with its triangles.
    const show = async () => {
        const t0 = Date.now();
        const { page } = await openPage(browser, web.url, { server: broker.ws, scene, user: 'viewer' });
        await waitFor(async () => {
            const m = Object.entries(await page.evaluate(() => window.zelPage.models)).find(([k]) => k.startsWith('desk.'));
            return m && (m[1].triangles > 0 || m[1].reason);
        }, 900000, 'the large model in the page');
        // Shown: every mesh drawn.
        await waitFor(() => page.evaluate(() => window.zelPage.revealing() === 0), 60000, 'the model drawn');
        const ms = Date.now() - t0;
        const shown = Object.entries(await page.evaluate(() => window.zelPage.models)).filter(([k]) => k.startsWith('desk.'));
        if (!shown.some(([, m]) => m.triangles > 0)) throw new Error(`the model failed: ${JSON.stringify(shown)}`);
        const timing = Object.values(await page.evaluate(() => window.zelPage.assetTimings()))[0] ?? {};
        const since = await page.evaluate(() => window.zelPage.clock());
        if (process.env.ZEL_BENCH_VERBOSE) console.log(`    ${JSON.stringify(timing)}; page clock at the end ${since.toFixed(0)} ms`);
        return { page, ms };
    };
    // The desk's model is on the broker before the first load is timed: a first tab waits for it
    // in a browser of its own (the timed browser's storage stays empty).
    {
        const other = await launchBrowser(join(dir.path, 'other'), { width: 640, height: 360 });
        const { page } = await openPage(other, web.url, { server: broker.ws, scene, user: 'warm' });
        await waitFor(async () => {
            const m = Object.entries(await page.evaluate(() => window.zelPage.models)).find(([k]) => k.startsWith('desk.'));
            return m && (m[1].triangles > 0 || m[1].reason);
        }, 900000, 'the desk to store its model');
        await other.close();
    }
    const first = await show();
    await first.page.close();
    const again = await show();
    console.log(`file: ${large}`);
    console.log(`first load, open to model shown  ${(first.ms / 1000).toFixed(2)} s`);
    console.log(`reload,     open to model shown  ${(again.ms / 1000).toFixed(2)} s   ${(again.ms / first.ms).toFixed(3)} x first   (aim: at most 0.2)`);
} finally {
    for (const f of stop.reverse()) await Promise.resolve().then(f).catch(() => {});
    await broker.stop();
    dir.remove();
}
