// The page reloaded against its first load, one run each, against a broker the benchmark starts
// itself: a zelhost site places LARGE.3ds; the page opens, joins and shows it (fetched over the
// broker's WebSocket listener, checked, decoded, kept in the browser's storage); the first tab
// closes the moment the model shows; then a new tab of the same browser profile does the same,
// taking the model from the browser's storage. Each figure runs from opening the page to the model
// shown.
//
//   node bench/web/reload_bench.mjs LARGE.3ds
//   env: ZEL_BIN (zelhost's folder), ZEL_WEB_DIR (the built page), ZEL_NATS_SERVER, ZEL_CHROMIUM
import { modelArgument, modelShown, modelStored, placingSite, support, webDir, withBroker } from './lib.mjs';

const { launchBrowser, openPage, servePage } = support;
const large = modelArgument('reload_bench.mjs');
const scene = 'bench';

await withBroker('zel-web-reload-', async (run) => {
    const { dir, broker, later } = run;
    placingSite(run, 'desk', large, scene);
    const web = await servePage(webDir);
    later(() => web.close());
    const browser = await launchBrowser(dir.path, { width: 1280, height: 720 });
    later(() => browser.close());

    // Opening to the desk's model drawn with its triangles.
    const show = async () => {
        const t0 = Date.now();
        const { page } = await openPage(browser, web.url, { server: broker.ws, scene, user: 'viewer' });
        const m = await modelShown(page, 'desk', 'the large model in the page');
        const ms = Date.now() - t0;
        if (!(m.triangles > 0)) throw new Error(`the model failed: ${JSON.stringify(m)}`);
        const timing = Object.values(await page.evaluate(() => window.zelPage.assetTimings()))[0] ?? {};
        const since = await page.evaluate(() => window.zelPage.clock());
        if (process.env.ZEL_BENCH_VERBOSE) console.log(`    ${JSON.stringify(timing)}; page clock at the end ${since.toFixed(0)} ms`);
        return { page, ms };
    };
    // The desk's model is on the broker before the first load is timed.
    await modelStored(run, web.url, scene, 'desk');
    const first = await show();
    await first.page.close();
    const again = await show();
    console.log(`file: ${large}`);
    console.log(`first load, open to model shown  ${(first.ms / 1000).toFixed(2)} s`);
    console.log(`reload,     open to model shown  ${(again.ms / 1000).toFixed(2)} s   ${(again.ms / first.ms).toFixed(3)} x first   (aim: at most 0.2)`);
});
