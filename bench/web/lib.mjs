// What the page's benchmarks share: the page's end-to-end support (and through it the page's npm
// packages, from its own folder), the built page, a run against a broker of its own that is
// stopped and removed whatever happens, a desktop site that places a model, and the wait for that
// model in a page.
import { copyFileSync, mkdirSync } from 'node:fs';
import { join, resolve } from 'node:path';

export const top = resolve(new URL('.', import.meta.url).pathname, '..', '..');
export const support = await import(join(top, 'web', 'e2e', 'support.mjs'));
export const webDir = process.env.ZEL_WEB_DIR ?? join(top, 'build', 'web');

// The model file named on the command line, or the usage and exit.
export function modelArgument(script, { required = true } = {}) {
    const file = process.argv[2];
    if (!file && required) {
        console.error(`usage: node bench/web/${script} LARGE.3ds`);
        process.exit(2);
    }
    return file;
}

// Runs body({dir, broker, later}) with a temporary folder and a broker of its own; what body
// hands to later() is stopped newest first, then the broker, then the folder goes.
export async function withBroker(folderPrefix, body) {
    const teardown = new support.Teardown();
    const dir = support.tempFolder(folderPrefix);
    teardown.add(() => dir.remove());
    try {
        const broker = await support.startBroker(dir.path);
        teardown.add(() => broker.stop());
        return await body({ dir, broker, later: (step) => teardown.add(step) });
    } finally {
        await teardown.run();
    }
}

// A zelhost site `name` that places file (as archi.3ds) in scene and stays until it is stopped,
// with a model cache of its own in the run's folder unless env says otherwise.
export function placingSite({ dir, broker, later }, name, file, scene, { env = { XDG_CACHE_HOME: join(dir.path, `${name}-cache`) } } = {}) {
    const models = join(dir.path, `${name}-models`);
    mkdirSync(models);
    copyFileSync(file, join(models, 'archi.3ds'));
    const site = support.startSite(dir.path, name, broker.url, 'share sync 600\nshare wait 99 900\n', {
        scene,
        models,
        env,
    });
    later(() => site.stop());
    return site;
}

// The page's entry for the model of user's node, once it has one with triangles or a reason.
export async function modelIn(page, user) {
    const models = await page.evaluate(() => window.zelPage.models);
    const m = Object.entries(models).find(([k]) => k.startsWith(`${user}.`));
    return m && (m[1].triangles > 0 || m[1].reason) ? m[1] : null;
}

// Waits until the page has user's model and has drawn all of it; returns its entry.
export async function modelShown(page, user, what = `${user}'s model in the page`) {
    const m = await support.waitFor(() => modelIn(page, user), 900000, what);
    await support.waitFor(() => page.evaluate(() => window.zelPage.revealing() === 0), 60000, 'the model drawn');
    return m;
}

// user's model is on the broker: a page in a browser of its own waits for it (the timed browsers'
// storage stays empty).
export async function modelStored({ dir, broker }, webUrl, scene, user) {
    const other = await support.launchBrowser(join(dir.path, 'other'), { width: 640, height: 360 });
    try {
        const { page } = await support.openPage(other, webUrl, { server: broker.ws, scene, user: 'warm' });
        await support.waitFor(() => modelIn(page, user), 900000, `${user} to store its model`);
    } finally {
        await other.close();
    }
}

export const median = (values) => {
    const s = [...values].sort((a, b) => a - b);
    return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};
