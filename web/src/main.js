// The page: joins a shared scene through the broker's WebSocket listener as one more site, mirrors
// what the desktop sites publish and draws it. A user who may write also publishes its presence and
// its camera as a navigator, so the others see its head, and may place models of its own.

import { AssetCache, defaultChunksAtOnce, timings } from './assets.js';
import { BrokerLink } from './broker_link.js';
import { workerDecoder } from './decoder.js';
import { GpuResources } from './gpu.js';
import { MirrorObjects } from './mirrors.js';
import { ModelStore } from './model_store.js';
import { axisModes, OwnModels } from './own_models.js';
import {
    brokerAddress, encodeRecord, passwordAllowed, presenceRefreshMs, siteKey, validSceneName, validUserName, withoutCredentials,
} from './records.js';
import { SharedView } from './shared_view.js';
import { Stage } from './stage.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.timeOrigin + performance.now();

// What tests and the benchmark read: counters and the state the page shows.
const stats = {
    state: 'idle', // idle, connecting, joined, reconnecting, closed
    mode: '', // 'writing' or 'viewing'
    frames: 0,
    sites: [],
    models: {}, // mirror key -> {triangles, reason}
    errors: [],
    drawnAt: 0,
};
window.zelPage = stats;

function log(line) {
    const el = $('log');
    el.textContent += `${withoutCredentials(line)}\n`;
    const lines = el.textContent.split('\n');
    if (lines.length > 50) el.textContent = lines.slice(-50).join('\n');
    el.scrollTop = el.scrollHeight;
}

function setHud(text, reconnecting = false) {
    const hud = $('hud');
    hud.hidden = false;
    hud.textContent = text;
    hud.classList.toggle('reconnecting', reconnecting);
}

function hudLine() {
    if (stats.state === 'reconnecting') return setHud('shared scene: reconnecting', true);
    const n = stats.sites.length;
    setHud(`shared scene ${link.sceneName}: ${n} ${n === 1 ? 'site' : 'sites'}${stats.mode === 'viewing' ? ' (viewing only)' : ''}`);
}

const stage = new Stage($('view'));
const gpu = new GpuResources(stage);
const mirrors = new MirrorObjects({ stage, gpu, stats, elements: { sites: $('sites'), models: $('models'), labels: $('labels') } });
let view = null;
let assets = null;
const link = new BrokerLink({
    stats,
    log,
    hud: setHud,
    on: {
        reconnected: () => {
            assets?.retryFailed();
            own.publishAll();
        },
        viewing: () => {
            view.self = null;
            $('placer').hidden = true;
            own.removeAll();
        },
        mayPlace: () => ($('placer').hidden = false),
        changed: hudLine,
    },
});
const own = new OwnModels({ stage, gpu, link, log, elements: { placing: $('placing'), placed: $('placed') } });

// ---- what tests and the benchmark read ----

Object.defineProperties(stats, {
    // mirror key -> when the broker stored its latest record
    stored: { get: () => Object.fromEntries(mirrors.storedAt), enumerable: true },
    // mirror key -> time its latest record arrived
    arrived: { get: () => Object.fromEntries(mirrors.arrivedAt), enumerable: true },
    // mirror key -> time of the first frame drawn after it
    drawn: { get: () => Object.fromEntries(mirrors.drawnAt), enumerable: true },
});
// How long the models took to fetch, check and decode, by hash.
stats.assetTimings = () => Object.fromEntries(timings);
// The matrices of the mirrors shown, by key.
stats.matrices = () => Object.fromEntries([...mirrors.objects].map(([key, o]) => [key, Array.from(o.record.matrix)]));
// How much the page holds: for the benchmark and tests.
stats.held = () => ({
    ...mirrors.held(), ...gpu.held(), scenes: (assets?.scenes.size ?? 0) + (assets?.used.size ?? 0), top: stage.world.children.length,
});
stats.revealing = () => gpu.revealing.size;
stats.resolution = () => stage.resolution();
stats.own = () => own.describe();
stats.axisMode = () => axisModes[own.axisMode];

// Tasks that held the main thread for more than 50 ms, the latest ones: {start, duration} in ms of
// performance.now() (the benchmark reads those that fell while a model arrived).
const longTasks = [];
stats.longTasks = () => longTasks.slice();
try {
    new PerformanceObserver((list) => {
        for (const e of list.getEntries()) longTasks.push({ start: e.startTime, duration: e.duration });
        if (longTasks.length > 1000) longTasks.splice(0, longTasks.length - 1000);
    }).observe({ type: 'longtask' });
} catch {
    // A browser without long task timing: nothing to show.
}
stats.clock = () => performance.now();

// ---- the frame loop and the keys ----

function cameraRecord() {
    const camera = stage.camera;
    camera.updateMatrixWorld();
    return encodeRecord({
        name: 'navigator', parent: '', order: 0, matrix: Array.from(camera.matrixWorld.elements, (x) => Math.fround(x)), meshScene: '',
        meshes: [], anim: -1, navigator: true,
    });
}

stage.run({
    beforeFrame: () => {
        if (view) {
            view.expire();
            mirrors.catchUp();
        }
        gpu.revealSome();
    },
    cameraSet: () => link.publishCamera(cameraRecord),
    afterDraw: () => {
        const t = now();
        ++stats.frames;
        stats.drawnAt = t;
        mirrors.drawn(t);
    },
});

// Looks at everything with geometry, from the current direction.
const frameAll = () => stage.frame([...mirrors.objects.values(), ...own.own.values()].map((o) => o.object));

window.addEventListener('keydown', (e) => {
    if (e.target instanceof HTMLInputElement || e.ctrlKey || e.metaKey || e.altKey) return;
    if (e.key === 'f') frameAll();
    else if (e.key === 'h') stage.home();
    else if (e.key === 'r') stage.controls.autoRotate = !stage.controls.autoRotate; // a slow turn, as in a showroom
    else if (e.key === 'v' && own.turnsWithMouse()) holdMouse(true);
    else own.arrange(e.key);
});
// With v held in axis mode XYZ the pointer turns the page's newest model, as on the desktop, and
// the camera stays; a drag stays with whoever had it when its button went down.
function holdMouse(on) {
    own.mouseHeld = on;
    stage.controls.enabled = !on;
}
window.addEventListener('keyup', (e) => e.code === 'KeyV' && holdMouse(false));
window.addEventListener('blur', () => holdMouse(false));
let dragTurnsModel = false;
const canvas = stage.renderer.domElement;
canvas.addEventListener('pointerdown', (e) => {
    dragTurnsModel = own.mouseHeld;
    if (dragTurnsModel) own.trackball(e.clientX, e.clientY);
});
canvas.addEventListener('pointermove', (e) => dragTurnsModel && e.buttons && own.trackball(e.clientX, e.clientY));
window.addEventListener('pointerup', () => (dragTurnsModel = false));

// A writer's page takes files dropped anywhere on it; a viewer's takes none (and a file dropped
// there does not open in its place).
const mayPlace = () => link.me && link.mayPlace;
window.addEventListener('dragover', (e) => {
    e.preventDefault();
    e.dataTransfer.dropEffect = mayPlace() ? 'copy' : 'none';
});
const place = (files) => own.place(files).catch((err) => log(`cannot place: ${err.message}`));
window.addEventListener('drop', (e) => {
    e.preventDefault();
    if (mayPlace()) place([...e.dataTransfer.files]);
});
$('pick').addEventListener('change', (e) => {
    const files = [...e.target.files];
    e.target.value = '';
    place(files);
});
$('place').addEventListener('click', () => $('pick').click());

// ---- joining ----

// Models are checked and decoded in the page's worker.
const decoder = workerDecoder('worker.js');
// Chunks of a model asked for at once: ?chunks=N in the page's address (for measuring) changes it.
const chunksAtOnce = Math.min(64, Math.max(1, Number(new URLSearchParams(window.location.search).get('chunks')) || defaultChunksAtOnce));

// Records of this user's sites that have been gone for a while: left behind by a page or a host
// that could not say goodbye. As a desktop site does, another site of the user deletes them, 10 s
// after they went (a site that only lost its broker for a moment keeps them).
let bucketsLoaded = false;
function cleanUp() {
    if (link.me && bucketsLoaded) link.deleteNodes(view.staleKeysOfOwnUser());
}

window.addEventListener('pagehide', () => void link.leave([...own.own.keys()]));

async function join(form) {
    const address = brokerAddress($('server').value.trim());
    if (!address.url) return log(address.reason);
    // Credentials typed into the address are used as such and never shown again.
    $('server').value = address.url;
    const user = $('user').value.trim() || address.user;
    const sceneName = $('scene').value.trim();
    if (!validUserName(user)) return log('a user name is letters, digits, - and _, at most 32 characters');
    if (!validSceneName(sceneName)) return log('a scene name is letters, digits, - and _, at most 64 characters');
    stats.state = 'connecting';
    setHud(`connecting to ${address.url}`);
    // Models seen before come from the browser's storage (model_store.js): the latest ones are read
    // while the page joins.
    const store = new ModelStore({ log });
    store.warmUp().catch(() => {});
    const pass = $('password').value || address.pass;
    $('password').value = '';
    if (pass && passwordAllowed(address.url).reason) {
        stats.state = 'idle';
        setHud(`cannot join: ${passwordAllowed(address.url).reason}`);
        return;
    }
    try {
        await link.connect(address.url, user, pass);
    } catch (e) {
        stats.state = 'idle';
        setHud(`cannot join: ${withoutCredentials(e.message, pass)}`);
        form.hidden = false;
        return;
    }
    form.hidden = true;
    view = new SharedView({ self: link.me, complain: log });
    assets = null;
    mirrors.attach(view, assets);
    if (!(await link.openScene(sceneName, pass))) return;
    assets = new AssetCache((key) => link.fetchAsset(key), {
        onReady: (u, hash) => mirrors.modelReady(u, hash), log, store, decoder, chunksAtOnce,
    });
    mirrors.attach(view, assets);
    const navigatorKey = `${siteKey(link.me)}.0`;
    const presenceLoaded = link.watch(link.presence, (key, value) => view.applyPresence(key, value));
    const nodesLoaded = link.watch(link.nodes, (key, value, entry) => {
        // Another site of this user took this page's navigator for left behind: it is back at once.
        if (value === null && link.me && key === navigatorKey) link.publishCamera(cameraRecord, true);
        if (value === null && link.me && own.own.has(key)) own.publish(own.own.get(key));
        if (!view.applyNode(key, value)) return;
        mirrors.arrived(key, value, value === null ? 0 : entry.created.getTime());
    });
    Promise.all([presenceLoaded, nodesLoaded]).then(() => (bucketsLoaded = true), () => {});
    stats.state = 'joined';
    stats.mode = 'writing';
    view.applyPresence(siteKey(link.me), link.presenceRecord());
    await link.publishPresence();
    link.publishCamera(cameraRecord, true);
    setInterval(() => {
        link.publishPresence();
        // A page in the background draws no frames: its state and list still follow the scene.
        view.expire();
        mirrors.catchUp();
        cleanUp();
        hudLine();
    }, presenceRefreshMs);
    hudLine();
    $('side').hidden = false;
    link.nc.closed().then(() => {
        stats.state = 'closed';
        setHud('shared scene: closed');
    });
}

$('server').value = `ws://${window.location.hostname || '127.0.0.1'}:4223`;
$('join').addEventListener('submit', (ev) => {
    ev.preventDefault();
    join(ev.target).catch((e) => log(`shared scene: ${e.message}`));
});
// The first errors are kept for tests: a page left open does not pile them up.
const noteError = (text) => stats.errors.length < 100 && stats.errors.push(withoutCredentials(text));
window.addEventListener('error', (e) => noteError(String(e.message)));
window.addEventListener('unhandledrejection', (e) => noteError(String(e.reason)));
