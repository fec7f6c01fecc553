// The page's first look at a large model, with each of the levers that may shorten it, against a
// desktop site that joins and fetches the same model from the same broker, all in one run: a
// zelhost site places LARGE.3ds; then a desktop site with an empty cache joins and syncs (the
// baseline); then, each in a browser with empty storage, the page opens, joins and shows the model
// with 4 chunks in flight (the default), with 8 and 16, and with the broker's WebSocket listener
// compressing (permessage-deflate). For each: open to model shown, the longest main-thread task
// from the join to the model shown (PerformanceObserver, long tasks), and where the time went.
//
//   node bench/web/first_look_bench.mjs LARGE.3ds
//   env: ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_NATS_SERVER, ZEL_CHROMIUM;
//        ZEL_BENCH_LEVERS=0: the default alone; ZEL_BENCH_RUNS=N: each page figure N times, its
//        median printed (default 1)
import { join } from 'node:path';

import { median, modelArgument, modelShown, modelStored, placingSite, support, webDir, withBroker } from './lib.mjs';

const { launchBrowser, openPage, servePage, startSite } = support;
const large = modelArgument('first_look_bench.mjs');
const runsEach = Math.max(1, Number(process.env.ZEL_BENCH_RUNS ?? 1));
const scene = 'bench';

await withBroker('zel-web-first-', async (run) => {
    const { dir, broker, later } = run;
    placingSite(run, 'desk', large, scene);
    const web = await servePage(webDir);
    later(() => web.close());

    // The baseline: a desktop site with an empty cache joins, and its sync returns once it holds
    // every model the scene's records name. The model is on the broker first.
    await modelStored(run, web.url, scene, 'desk');
    const t0 = Date.now();
    const reader = startSite(dir.path, 'reader', broker.url, 'share sync 600\n', {
        scene,
        env: { XDG_CACHE_HOME: join(dir.path, 'reader-cache') },
    });
    if ((await reader.exited) !== 0) throw new Error(`the desktop reader failed: ${reader.err()}`);
    const desktopMs = Date.now() - t0;

    let looks = 0;
    const firstLook = async ({ chunks = 4 } = {}) => {
        const browser = await launchBrowser(join(dir.path, `look${++looks}`), { width: 1280, height: 720 });
        try {
            const t0 = Date.now();
            const { page } = await openPage(browser, `${web.url}?chunks=${chunks}`, { server: broker.ws, scene, user: 'viewer' });
            const joined = await page.evaluate(() => window.zelPage.clock());
            const m = await modelShown(page, 'desk', 'the large model in the page');
            const ms = Date.now() - t0;
            if (!(m.triangles > 0)) throw new Error(`the model failed: ${JSON.stringify(m)}`);
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
    // Each figure runsEach times: the one with the median time, with the median of the longest
    // tasks beside it.
    const measure = async (options) => {
        const all = [];
        for (let i = 0; i < runsEach; ++i) all.push(await firstLook(options));
        const typical = [...all].sort((a, b) => a.ms - b.ms)[Math.floor((all.length - 1) / 2)];
        return { ...typical, ms: median(all.map((r) => r.ms)), longest: median(all.map((r) => r.longest)), each: all };
    };

    const runs = [];
    runs.push(['4 chunks in flight (default)', await measure()]);
    if (process.env.ZEL_BENCH_LEVERS !== '0') {
        runs.push(['8 chunks in flight', await measure({ chunks: 8 })]);
        runs.push(['16 chunks in flight', await measure({ chunks: 16 })]);
        broker.compression(true);
        await broker.stop();
        await broker.start();
        runs.push(['listener compression, 4 chunks', await measure()]);
        runs.push(['listener compression, 16 chunks', await measure({ chunks: 16 })]);
    }

    const s = (ms) => `${(ms / 1000).toFixed(2)} s`;
    console.log(`file: ${large}`);
    console.log(`desktop site, join to model held (baseline)  ${s(desktopMs)}`);
    for (const [what, r] of runs) {
        const t = r.timing;
        console.log(`page, ${what.padEnd(32)} ${s(r.ms)}  ${(r.ms / desktopMs).toFixed(2)} x desktop  ` +
            `(fetch ${s(t.fetchMs ?? 0)}, hash ${s(t.hashMs ?? 0)}, decode ${s(t.decodeMs ?? 0)}, storage ${s(t.keepMs ?? 0)}, ${t.bytes ?? 0} bytes); ` +
            `longest main-thread task ${r.longest.toFixed(0)} ms, ${r.tasks} over 50 ms (aim: none)`);
        if (runsEach > 1) console.log(`    each run: ${r.each.map((x) => `${s(x.ms)}, longest task ${x.longest.toFixed(0)} ms`).join('; ')}`);
        if (process.env.ZEL_BENCH_VERBOSE) console.log(`    long tasks, ms after the fetch started + ms: ${r.where}`);
    }
});
