// The page left open on a busy scene: 10,000 records of 20 sites, each with a model of its own,
// churning for a minute (every 3 s one site leaves and a new one arrives with its records and a new
// model; 500 moves a second in between), against a broker the benchmark starts itself. The page's memory after a full garbage
// collection is taken once the first 10,000 records are drawn (the baseline) and then every 10 s;
// the figure is the last against the baseline (aim: within 1.1), for the tab's JavaScript memory
// (heap and array buffers) and for the browser's processes (the software GPU's memory included).
//
//   node bench/web/churn_bench.mjs [SECONDS] [RECORDS]
//   env: ZEL_WEB_DIR (the built page), ZEL_NATS_SERVER, ZEL_CHROMIUM
import { readdirSync, readFileSync } from 'node:fs';

import { support, webDir, withBroker } from './lib.mjs';

const { launchBrowser, natsClient, openPage, servePage, sleep, tinyScene, uploadModel, waitFor } = support;
const seconds = Number(process.argv[2] ?? 60);
const records = Number(process.argv[3] ?? 10000);
const sitesAtOnce = 20;
const perSite = Math.floor(records / sitesAtOnce);
const groups = 20;
const scene = 'churn';
const user = 'desk';
const matrix = (x, y, z) => [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, y, z, 1];
const mib = (b) => (b / 2 ** 20).toFixed(1);

// Resident memory of a process and all its descendants, from /proc.
function treeRss(root) {
    const parent = new Map();
    for (const d of readdirSync('/proc')) {
        if (!/^\d+$/.test(d)) continue;
        try {
            const stat = readFileSync(`/proc/${d}/stat`, 'utf8');
            parent.set(Number(d), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
        } catch {}
    }
    const tree = new Set([root]);
    for (let grew = true; grew; ) {
        grew = false;
        for (const [pid, ppid] of parent) if (tree.has(ppid) && !tree.has(pid)) (tree.add(pid), (grew = true));
    }
    let kb = 0;
    for (const pid of tree) {
        try {
            kb += Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))?.[1] ?? 0);
        } catch {}
    }
    return kb * 1024;
}

await withBroker('zel-web-churn-', async ({ dir, broker, later }) => {
    const { nc, kvm } = await natsClient(broker.ws);
    later(() => nc.close());
    const nodes = await kvm.create(`zel-scene-${scene}`, { history: 1 });
    const presence = await kvm.create(`zel-presence-${scene}`, { ttl: 5000 });
    const assets = await kvm.create(`zel-assets-${scene}`);

    // Puts without waiting for each, a few hundred on their way at once.
    const inFlight = new Set();
    const put = async (key, value) => {
        while (inFlight.size >= 256) await Promise.race(inFlight);
        const p = (value === null ? nodes.delete(key) : nodes.put(key, value)).catch(() => {}).finally(() => inFlight.delete(p));
        inFlight.add(p);
    };
    const drain = () => Promise.all(inFlight);

    let seed = 0;
    const newModel = () => uploadModel(assets, user, tinyScene(seed++, { meshes: 4, triangles: 2000 }));

    // A site: its presence, its model and its records (a navigator, groups under it, items under
    // those, one item in ten with the model).
    const sites = [];
    let nextHex = 1;
    const beat = (hex) => presence.put(`${user}.${hex}`, JSON.stringify({ user, site: `${user}-${hex}`, joined: 1 })).catch(() => {});
    const record = (parent, i, mesh) => JSON.stringify({
        name: `n${i}`, parent, order: i, matrix: matrix((i % 50) * 0.2, Math.random(), -Math.floor(i / 50) * 0.2),
        ...(mesh ? { mesh: { scene: mesh, meshes: [0, 1, 2, 3] } } : {}),
    });
    const addSite = async () => {
        const hex = (nextHex++).toString(16).padStart(8, '0');
        const model = await newModel();
        await beat(hex);
        const keys = [];
        const key = (n) => `${user}.${hex}.${n}`;
        await put(key(1), JSON.stringify({ name: 'navigator', parent: '', order: 0, matrix: matrix(0, 1.6, 0), navigator: true }));
        keys.push(key(1));
        for (let g = 0; g < groups; ++g) {
            await put(key(2 + g), record(key(1), g));
            keys.push(key(2 + g));
        }
        for (let i = 2 + groups; i <= perSite; ++i) {
            await put(key(i), record(key(2 + (i % groups)), i, i % 10 === 0 ? model : null));
            keys.push(key(i));
        }
        sites.push({ hex, keys, model });
    };
    const retireSite = async () => {
        const s = sites.shift();
        for (const k of s.keys) await put(k, null);
        await presence.delete(`${user}.${s.hex}`).catch(() => {});
    };
    const heartbeat = setInterval(() => sites.forEach((s) => beat(s.hex)), 1000);
    later(() => clearInterval(heartbeat));

    const web = await servePage(webDir);
    later(() => web.close());
    const browser = await launchBrowser(dir.path);
    later(() => browser.close());
    const { page } = await openPage(browser, web.url, { server: broker.ws, scene, user: 'watcher' });
    const cdp = await page.target().createCDPSession();
    const held = () => page.evaluate(() => window.zelPage.held());
    const caughtUp = async () => {
        await drain();
        await waitFor(async () => (await held()).shown >= sitesAtOnce * perSite, 120000, 'the page to show every record');
    };
    const measure = async () => {
        await sleep(3000);
        for (let i = 0; i < 3; ++i) await cdp.send('HeapProfiler.collectGarbage');
        const u = await cdp.send('Runtime.getHeapUsage');
        const js = u.usedSize + (u.embedderHeapUsedSize ?? 0) + (u.backingStorageSize ?? 0);
        return { js, rss: treeRss(browser.process().pid), held: await held() };
    };

    const t0 = Date.now();
    for (let i = 0; i < sitesAtOnce; ++i) await addSite();
    await caughtUp();
    console.log(`${sitesAtOnce * perSite} records of ${sitesAtOnce} sites in the page after ${((Date.now() - t0) / 1000).toFixed(1)} s`);
    const base = await measure();
    console.log(`baseline: tab ${mib(base.js)} MiB JavaScript (heap and buffers), browser ${mib(base.rss)} MiB resident; ${JSON.stringify(base.held)}`);

    // Churn: moves all the time, a site swapped and a model replaced every 3 s.
    const samples = [];
    const end = Date.now() + seconds * 1000;
    let moves = 0;
    let swaps = 0;
    let lastSwap = Date.now();
    let lastSample = Date.now();
    while (Date.now() < end) {
        const tick = Date.now();
        for (let i = 0; i < 50; ++i) {
            const s = sites[Math.floor(Math.random() * sites.length)];
            const n = 2 + groups + Math.floor(Math.random() * (perSite - 1 - groups));
            const k = `${user}.${s.hex}.${n}`;
            await put(k, record(`${user}.${s.hex}.${2 + (n % groups)}`, n, n % 10 === 0 ? s.model : null));
            ++moves;
        }
        if (tick - lastSwap >= 3000) {
            lastSwap = tick;
            await retireSite();
            await addSite();
            ++swaps;
        }
        if (tick - lastSample >= 10000) {
            lastSample = tick;
            const u = await cdp.send('Runtime.getHeapUsage');
            samples.push(mib(u.usedSize + (u.embedderHeapUsedSize ?? 0) + (u.backingStorageSize ?? 0)));
        }
        await sleep(Math.max(0, 100 - (Date.now() - tick)));
    }
    await caughtUp();
    const last = await measure();
    console.log(`churn: ${seconds} s, ${moves} moves, ${swaps} sites and models replaced (${swaps * perSite} records deleted and as many new); ` +
        `tab JavaScript every 10 s without collection: ${samples.join(', ')} MiB`);
    console.log(`after:    tab ${mib(last.js)} MiB JavaScript, browser ${mib(last.rss)} MiB resident; ${JSON.stringify(last.held)}`);
    console.log(`after/baseline: tab JavaScript ${(last.js / base.js).toFixed(3)}x, browser resident ${(last.rss / base.rss).toFixed(3)}x (aim: within 1.1)`);
});
