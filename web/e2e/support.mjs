// What the page's end-to-end tests and benchmarks share: a nats-server of their own on free loopback
// ports (with its WebSocket listener) and a temporary store, the page served from the build, a
// headless Chromium, and zelhost sites on scripts. Everything is stopped by pid, every wait bounded.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { connect, createServer as createTcpServer } from 'node:net';
import { tmpdir } from 'node:os';
import { extname, join, normalize, resolve } from 'node:path';
import { sceneCodecVersion } from '../src/wire.js';

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Every process started here, killed by pid if this one ends without stopping them (a crash, an
// uncaught error): no broker or site outlives its test.
const children = new Set();
process.on('exit', () => {
    for (const p of children) if (p.exitCode === null && p.signalCode === null) p.kill('SIGKILL');
});
function track(p) {
    children.add(p);
    p.on('error', () => {}); // a program that cannot be started shows as its exit
    p.once('exit', () => children.delete(p));
    return p;
}

export function tempFolder(prefix = 'zel-web-') {
    const path = mkdtempSync(join(tmpdir(), prefix));
    return { path, remove: () => rmSync(path, { recursive: true, force: true }) };
}

export function freePort() {
    return new Promise((resolve, reject) => {
        const s = createTcpServer();
        s.on('error', reject);
        s.listen(0, '127.0.0.1', () => {
            const { port } = s.address();
            s.close(() => resolve(port));
        });
    });
}

function accepting(port) {
    return new Promise((resolve) => {
        const c = connect(port, '127.0.0.1');
        c.on('connect', () => (c.destroy(), resolve(true)));
        c.on('error', () => resolve(false));
    });
}

// Polls check() until it gives something truthy; throws with what after ms.
export async function waitFor(check, ms, what) {
    const end = Date.now() + ms;
    for (;;) {
        const v = await check();
        if (v) return v;
        if (Date.now() > end) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
        await sleep(25);
    }
}

function stopProcess(p, signal = 'SIGTERM') {
    if (p.exitCode !== null || p.signalCode !== null) return Promise.resolve();
    return new Promise((resolve) => {
        const timer = setTimeout(() => p.kill('SIGKILL'), 5000);
        p.once('exit', () => (clearTimeout(timer), resolve()));
        p.kill(signal);
    });
}

// nats-server with JetStream and WebSocket on loopback. extra: more config text (users).
// broker.compression(on) changes whether the WebSocket listener compresses (taken at the next start).
export async function startBroker(folder, extra = '', { compression = false } = {}) {
    const port = await freePort();
    const wsPort = await freePort();
    const config = join(folder, 'broker.conf');
    const write = (compress) => writeFileSync(config, `listen: 127.0.0.1:${port}\nmax_payload: 8MB\n` +
        `websocket {\n  listen: "127.0.0.1:${wsPort}"\n  no_tls: true\n${compress ? '  compression: true\n' : ''}}\n` +
        `jetstream {\n  store_dir: "${join(folder, 'store')}"\n  max_file_store: 1PB\n}\n${extra}`);
    write(compression);
    const broker = { port, wsPort, url: `nats://127.0.0.1:${port}`, ws: `ws://127.0.0.1:${wsPort}`, process: null };
    broker.compression = write;
    broker.start = async () => {
        broker.process = track(spawn(process.env.ZEL_NATS_SERVER ?? 'nats-server', ['-c', config], { stdio: 'ignore' }));
        await waitFor(async () => (await accepting(port)) && accepting(wsPort), 10000, 'the broker');
    };
    broker.stop = () => stopProcess(broker.process, 'SIGKILL');
    await broker.start();
    return broker;
}

// The deployment tools/broker.sh writes from a users file ("ROLE USER PASSWORD [scenes=...]" lines),
// on free loopback ports, its WebSocket listener taking pages from origins; the server is started
// here on exactly that configuration.
export async function startDeployment(folder, users, { origins = [] } = {}) {
    const usersFile = join(folder, 'users');
    writeFileSync(usersFile, users, { mode: 0o600 });
    for (let attempt = 0; ; ++attempt) {
        const port = await freePort();
        if (!(await accepting(port + 1)) || attempt >= 20) {
            const args = ['--config-only', '--users', usersFile, ...origins.flatMap((o) => ['--origin', o]), String(port), join(folder, 'store')];
            const made = spawnSync('bash', [process.env.ZEL_BROKER_SCRIPT, ...args], { encoding: 'utf8', timeout: 30000 });
            if (made.status !== 0) throw new Error(`broker.sh: ${made.stderr}`);
            const config = made.stdout.trim();
            const broker = { port, wsPort: port + 1, url: `nats://127.0.0.1:${port}`, ws: `ws://127.0.0.1:${port + 1}`, process: null, config };
            broker.start = async () => {
                broker.process = track(spawn(process.env.ZEL_NATS_SERVER ?? 'nats-server', ['-c', config], { stdio: 'ignore' }));
                await waitFor(async () => (await accepting(port)) && accepting(port + 1), 10000, 'the broker');
            };
            broker.stop = () => stopProcess(broker.process, 'SIGKILL');
            await broker.start();
            return broker;
        }
    }
}

// The page's files, from the build, on a free loopback port.
export async function servePage(dir) {
    const types = { '.html': 'text/html', '.js': 'text/javascript', '.txt': 'text/plain' };
    const server = createServer((req, res) => {
        const path = normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname)).replace(/^(\.\.[/\\])+/, '');
        const file = join(dir, path === '/' ? 'index.html' : path);
        try {
            const body = readFileSync(file);
            res.writeHead(200, { 'content-type': types[extname(file)] ?? 'application/octet-stream' });
            res.end(body);
        } catch {
            res.writeHead(404);
            res.end();
        }
    });
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    return { url: `http://127.0.0.1:${server.address().port}/`, close: () => new Promise((r) => server.close(r)) };
}

// Headless Chromium with software WebGL 2, nothing but loopback traffic.
export async function launchBrowser(folder, { width = 800, height = 600 } = {}) {
    const { default: puppeteer } = await import('puppeteer-core');
    return puppeteer.launch({
        executablePath: process.env.ZEL_CHROMIUM ?? '/usr/bin/chromium',
        headless: true,
        userDataDir: join(folder, 'chromium'),
        args: ['--no-sandbox', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync', '--disable-quic',
            '--disable-features=Translate,MediaRouter,OptimizationHints', `--window-size=${width},${height}`],
        defaultViewport: { width, height },
    });
}

// Opens the page and joins; resolves once it has joined.
export async function openPage(browser, pageUrl, { server, scene, user, password = '' }) {
    const page = await browser.newPage();
    const problems = [];
    const consoleLines = [];
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    // The browser's own lines about refused connections while the broker is away are expected.
    const expected = /WebGL|GPU|swiftshader|WebSocket connection to .* failed/i;
    page.on('console', (m) => {
        consoleLines.push(m.text());
        if (m.type() === 'error' && !expected.test(m.text())) problems.push(`console: ${m.text()}`);
    });
    await page.goto(pageUrl);
    await page.evaluate((f) => {
        for (const [id, v] of Object.entries(f)) document.getElementById(id).value = v;
    }, { server, scene, user, password });
    await page.click('#join button');
    await waitFor(() => page.evaluate(() => window.zelPage.state === 'joined'), 20000, 'the page to join');
    return { page, problems, consoleLines };
}

// A zelhost site on a script, in folder, its output in NAME.out / NAME.err there.
export function startSite(folder, name, brokerUrl, script, { scene, models, env = {}, args: extra = [] } = {}) {
    const scriptFile = join(folder, `${name}.zel`);
    writeFileSync(scriptFile, script);
    const args = ['--share', brokerUrl, '--user', name, '--script', scriptFile];
    if (scene) args.push('--scene', scene);
    if (models) args.push('--models', models);
    args.push(...extra);
    const childEnv = { ...process.env, ...env };
    for (const k of ['DISPLAY', 'WAYLAND_DISPLAY', 'ZEL_SHARE_USER', 'ZEL_SHARE_PASSWORD', 'ZEL_SHARE_CREDS']) if (!(k in env)) delete childEnv[k];
    const p = track(spawn(resolve(process.env.ZEL_BIN, 'zelhost'), args, { cwd: folder, env: childEnv, stdio: ['ignore', 'ignore', 'pipe'] }));
    let err = '';
    p.stderr.on('data', (d) => (err += d));
    p.on('error', (e) => (err += `cannot start zelhost: ${e.message}\n`));
    const exited = new Promise((resolve) => {
        p.once('exit', (code) => resolve(code));
        p.once('error', () => resolve(-1));
    });
    return {
        process: p,
        err: () => err,
        exited,
        stop: () => stopProcess(p),
        dump: (file) => JSON.parse(readFileSync(join(folder, file), 'utf8')),
    };
}

// Pixels that differ between two PNG screenshots of one size (decoded in the page).
export async function differingPixels(page, a, b) {
    return page.evaluate(async (x, y) => {
        const load = async (b64) => {
            const img = await createImageBitmap(await (await fetch(`data:image/png;base64,${b64}`)).blob());
            const c = new OffscreenCanvas(img.width, img.height);
            const g = c.getContext('2d');
            g.drawImage(img, 0, 0);
            return g.getImageData(0, 0, img.width, img.height).data;
        };
        const [p, q] = [await load(x), await load(y)];
        let n = 0;
        for (let i = 0; i < p.length; i += 4)
            if (Math.abs(p[i] - q[i]) + Math.abs(p[i + 1] - q[i + 1]) + Math.abs(p[i + 2] - q[i + 2]) > 24) ++n;
        return { differing: n, total: p.length / 4 };
    }, a.toString('base64'), b.toString('base64'));
}

// The project's NATS client in node, over the broker's WebSocket listener (node has no WebSocket
// of its own before version 22).
export async function natsClient(server, options = {}) {
    if (typeof globalThis.WebSocket === 'undefined') globalThis.WebSocket = (await import('ws')).WebSocket;
    const { wsconnect } = await import('@nats-io/nats-core');
    const { Kvm } = await import('@nats-io/kv');
    const nc = await wsconnect({ servers: server, ...options });
    return { nc, kvm: new Kvm(nc) };
}

// A small scene in the wire format: one material, `meshes` meshes of `triangles` triangles each
// (a strip whose heights follow seed, so each seed is another model with another hash), one node.
export function tinyScene(seed, { meshes = 1, triangles = 2 } = {}) {
    const parts = [];
    const u32 = (v) => parts.push(new Uint8Array(new Uint32Array([v]).buffer));
    const u64 = (v) => parts.push(new Uint8Array(new BigUint64Array([BigInt(v)]).buffer));
    const f32 = (...v) => parts.push(new Uint8Array(new Float32Array(v).buffer));
    const str = (s) => {
        const b = new TextEncoder().encode(s);
        u32(b.length);
        parts.push(b);
    };
    u32(0); // textures
    u32(1); // materials
    str('paint');
    f32(0.8, 0.5, 0.3, 1, 0.2, 0.2, 0.2, 0, 0, 0, 0, 1); // diffuse, ambient, specular, exponent, opacity
    str('');
    u32(0xffffffff);
    u32(meshes);
    const vertices = triangles + 2;
    for (let m = 0; m < meshes; ++m) {
        u32(0);
        u64(vertices * 3);
        u64(0);
        u64(0);
        u64(triangles * 3);
        const p = [];
        for (let i = 0; i < vertices; ++i) p.push(i * 0.1, ((seed * 7919 + i * 31 + m) % 97) / 200, (i % 2) * 0.3 - m * 0.4);
        f32(...p);
        parts.push(new Uint8Array(new Uint32Array(Array.from({ length: triangles * 3 }, (_, k) => Math.floor(k / 3) + (k % 3))).buffer));
    }
    u32(1); // nodes
    str('root');
    f32(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1);
    u32(meshes);
    parts.push(new Uint8Array(new Uint32Array([...Array(meshes).keys()]).buffer));
    u32(0); // children
    u32(0); // animations
    const body = parts.reduce((n, p) => n + p.length, 0);
    const total = 24 + body + 8;
    const out = new Uint8Array(total);
    out.set(new TextEncoder().encode('ZELSCENE'), 0);
    const view = new DataView(out.buffer);
    view.setUint32(8, sceneCodecVersion, true);
    view.setUint32(12, 1, true);
    view.setBigUint64(16, BigInt(total), true);
    let at = 24;
    for (const p of parts) out.set(p, (at += p.length) - p.length);
    out.set(new TextEncoder().encode('ZELEND\0\0'), at);
    return out;
}

// Puts blob into an asset bucket under user as a writer does: its chunks, then its manifest.
// Resolves to its hash.
export async function uploadModel(assets, user, blob) {
    const { createHash } = await import('node:crypto');
    const hash = createHash('sha256').update(blob).digest('hex');
    const chunk = 1040384;
    const chunks = Math.ceil(blob.length / chunk);
    for (let i = 0; i < chunks; ++i) await assets.put(`${user}.${hash}.${i}`, blob.subarray(i * chunk, (i + 1) * chunk));
    await assets.put(`${user}.${hash}`, JSON.stringify({ size: blob.length, chunks, chunk }));
    return hash;
}

// Things to stop, stopped newest first; one that fails does not keep the others running.
export class Teardown {
    constructor() {
        this.steps = [];
    }

    add(step) {
        this.steps.push(step);
    }

    async run() {
        while (this.steps.length) await Promise.resolve().then(this.steps.pop()).catch(() => {});
    }
}

// What most of the page's tests start with: a temporary folder, a broker of their own with the
// scene's three buckets made as the first desktop site makes them, a client on its WebSocket
// listener, the page served from ZEL_WEB_DIR and a headless browser. close() stops them all, and
// whatever was given to later(), newest first.
export async function startScene(scene, { folderPrefix = 'zel-web-', browser = {} } = {}) {
    const teardown = new Teardown();
    const dir = tempFolder(folderPrefix);
    teardown.add(() => dir.remove());
    const s = { dir, later: (step) => teardown.add(step), close: () => teardown.run() };
    try {
        s.broker = await startBroker(dir.path);
        teardown.add(() => s.broker.stop());
        ({ nc: s.client, kvm: s.kvm } = await natsClient(s.broker.ws));
        teardown.add(() => s.client.close());
        s.nodes = await s.kvm.create(`zel-scene-${scene}`, { history: 1 });
        s.presence = await s.kvm.create(`zel-presence-${scene}`, { ttl: 5000 });
        s.assets = await s.kvm.create(`zel-assets-${scene}`);
        s.web = await servePage(process.env.ZEL_WEB_DIR);
        teardown.add(() => s.web.close());
        if (browser) {
            s.browser = await launchBrowser(dir.path, browser);
            teardown.add(() => s.browser.close());
        }
        // Opens the page and joins the scene as user.
        s.open = (user, options = {}) => openPage(s.browser, s.web.url, { server: s.broker.ws, scene, user, ...options });
        return s;
    } catch (e) {
        await teardown.run();
        throw e;
    }
}
