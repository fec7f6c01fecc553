// The page's first look at a large model, with each of the levers that may shorten it, against a
// desktop site that joins and fetches the same model from the same broker, all in one run: a
// zelhost site places LARGE.3ds; then a desktop site with an empty cache joins and syncs (the
// baseline); then, each in a browser with empty storage, the page opens, joins and shows the model
// with 4 chunks in flight (the default), with 8 and 16, and with the broker's WebSocket listener
// compressing (permessage-deflate). For each: open to model shown, the longest main-thread task
// from the join to the model shown (PerformanceObserver, long tasks), and where the time went.
//
//   node bench/web/first_look_bench.mjs LARGE.3ds
//   env: ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_NATS_SERVER, ZEL_CHROMIUM
import { copyFileSync, mkdirSync } from 'node:fs';
import { join, resolve } from 'node:path';

const here = new URL('.', import.meta.url).pathname;
const top = resolve(here, '..', '..');
const harness = await import(join(top, 'web', 'e2e', 'support.mjs'));
const { launchBrowser, openPage, servePage, startBroker, startSite, tempFolder, waitFor } = harness;

const large = process.argv[2];
if (!large) {
    console.error('usage: node bench/web/first_look_bench.mjs LARGE.3ds');
    process.exit(2);
}
const webDir = process.env.ZEL_WEB_DIR ?? join(top, 'build', 'web');
const scene = 'bench';

const dir = tempFolder('zel-web-first-');
const broker = await startBroker(dir.path);
const stop = [];
const deskModel = async (page) => Object.entries(await page.evaluate(() => window.zelPage.models)).find(([k]) => k.startsWith('desk.'));
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

    // The baseline: a desktop site with an empty cache joins, and its sync returns once it holds
    // every model the scene's records name.
    let desktopMs = 0;
    {
        // The model is on the broker first: a page in a browser of its own waits for it.
        const other = await launchBrowser(join(dir.path, 'other'), { width: 640, height: 360 });
        const { page } = await openPage(other, web.url, { server: broker.ws, scene, user: 'warm' });
        await waitFor(async () => {
            const m = await deskModel(page);
            return m && (m[1].triangles > 0 || m[1].reason);
        }, 900000, 'the desk to store its model');
        await other.close();
        const t0 = Date.now();
        const reader = startSite(dir.path, 'reader', broker.url, 'share sync 600\n', {
            scene,
            env: { XDG_CACHE_HOME: join(dir.path, 'reader-cache') },
        });
        if ((await reader.exited) !== 0) throw new Error(`the desktop reader failed: ${reader.err()}`);
        desktopMs = Date.now() - t0;
    }

    const firstLook = async (name, { chunks = 4 } = {}) => {
        const browser = await launchBrowser(join(dir.path, name), { width: 1280, height: 720 });
        try {
            const t0 = Date.now();
            const { page } = await openPage(browser, `${web.url}?chunks=${chunks}`, { server: broker.ws, scene, user: 'viewer' });
            const joined = await page.evaluate(() => window.zelPage.clock());
            await waitFor(async () => {
                const m = await deskModel(page);
                return m && (m[1].triangles > 0 || m[1].reason);
            }, 900000, 'the large model in the page');
            const m = await deskModel(page);
            // Shown: every mesh drawn.
            await waitFor(() => page.evaluate(() => window.zelPage.revealing() === 0), 60000, 'the model drawn');
            const ms = Date.now() - t0;
            if (!(m[1].triangles > 0)) throw new Error(`the model failed: ${JSON.stringify(m)}`);
            // The frames that show it are part of the arrival too.
            await new Promise((r) => setTimeout(r, 300));
            const shown = await page.evaluate(() => window.zelPage.clock());
            const tasks = (await page.evaluate(() => window.zelPage.longTasks())).filter((t) => t.start >= joined && t.start <= shown);
            const longest = Math.max(0, ...tasks.map((t) => t.duration));
            const timing = Object.values(await page.evaluate(() => window.zelPage.assetTimings()))[0] ?? {};
            // Where the long tasks fell: ms after the fetch started, and how long.
            const at = (t) => `${(t.start - (timing.startedAt ?? joined)).toFixed(0)}+${t.duration.toFixed(0)}`;
            const before = `joined ${joined.toFixed(0)} ms and the fetch began ${(timing.startedAt ?? 0).toFixed(0)} ms after the page's navigation`;
            return { ms, longest, tasks: tasks.length, timing, where: `${tasks.map(at).join(' ')}; ${before}` };
        } finally {
            await browser.close();
        }
    };

    const runs = [];
    runs.push(['4 chunks in flight (default)', await firstLook('p4')]);
    // ZEL_BENCH_LEVERS=0: the default alone.
    if (process.env.ZEL_BENCH_LEVERS !== '0') {
        runs.push(['8 chunks in flight', await firstLook('p8', { chunks: 8 })]);
        runs.push(['16 chunks in flight', await firstLook('p16', { chunks: 16 })]);
        broker.compression(true);
        await broker.stop();
        await broker.start();
        runs.push(['listener compression, 4 chunks', await firstLook('c4')]);
        runs.push(['listener compression, 16 chunks', await firstLook('c16', { chunks: 16 })]);
    }

    const s = (ms) => `${(ms / 1000).toFixed(2)} s`;
    console.log(`file: ${large}`);
    console.log(`desktop site, join to model held (baseline)  ${s(desktopMs)}`);
    for (const [what, r] of runs) {
        const t = r.timing;
        console.log(`page, ${what.padEnd(32)} ${s(r.ms)}  ${(r.ms / desktopMs).toFixed(2)} x desktop  ` +
            `(fetch ${s(t.fetchMs ?? 0)}, hash ${s(t.hashMs ?? 0)}, decode ${s(t.decodeMs ?? 0)}, storage ${s(t.keepMs ?? 0)}, ${t.bytes ?? 0} bytes); ` +
            `longest main-thread task ${r.longest.toFixed(0)} ms, ${r.tasks} over 50 ms (aim: none)`);
        if (process.env.ZEL_BENCH_VERBOSE) console.log(`    long tasks, ms after the fetch started + ms: ${r.where}`);
    }
} finally {
    for (const f of stop.reverse()) await Promise.resolve().then(f).catch(() => {});
    await broker.stop();
    dir.remove();
}
