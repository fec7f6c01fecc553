// The page: joins a shared scene through the broker's WebSocket listener as one more site, mirrors
// what the desktop sites publish and draws it. A user who may write also publishes its presence and
// its camera as a navigator, so the others see its head.

import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import { wsconnect } from '@nats-io/nats-core';
import { Kvm } from '@nats-io/kv';

import { AssetCache, timings } from './assets.js';
import { avatarColor } from './avatar.js';
import { deskMaterial, highlightOf } from './shading.js';
import {
    assetBucket, encodePresence, encodeRecord, makeSite, nodeBucket, presenceBucket, presenceRefreshMs,
    siteId, siteKey, validSceneName, validUserName,
} from './records.js';
import { SharedView } from './scene.js';
import { noTexture } from './wire.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.timeOrigin + performance.now();
// Colours go to the screen as they are, as a desktop site writes them.
THREE.ColorManagement.enabled = false;

// What tests and the benchmark read: counters and the state the page shows.
const stats = {
    state: 'idle', // idle, connecting, joined, reconnecting, closed
    mode: '', // 'writing' or 'viewing'
    frames: 0,
    sites: [],
    models: {}, // mirror key -> {triangles, reason}
    errors: [],
    stored: {}, // mirror key -> when the broker stored its latest record
    arrived: {}, // mirror key -> time its latest record arrived
    drawn: {}, // mirror key -> time of the first frame drawn after it
    drawnAt: 0,
};
window.zelPage = stats;
// How long the models took to fetch, check and decode, by hash.
stats.assetTimings = () => Object.fromEntries(timings);
// The matrices of the mirrors shown, by key.
stats.matrices = () => Object.fromEntries([...objects].map(([key, o]) => [key, Array.from(o.record.matrix)]));

function log(line) {
    const el = $('log');
    el.textContent += `${line}\n`;
    const lines = el.textContent.split('\n');
    if (lines.length > 50) el.textContent = lines.slice(-50).join('\n');
    el.scrollTop = el.scrollHeight;
}

// ---- drawing ----

const renderer = new THREE.WebGLRenderer({ antialias: false });
renderer.outputColorSpace = THREE.LinearSRGBColorSpace;
renderer.setPixelRatio(window.devicePixelRatio);
$('view').appendChild(renderer.domElement);
const scene3 = new THREE.Scene();
scene3.background = new THREE.Color(0.16, 0.18, 0.22);
const camera = new THREE.PerspectiveCamera(50, 1, 0.05, 2000);
// Home: a little behind and above where a desktop site's navigator starts, looking at the table
// in front of it where the placed model stands.
function home() {
    camera.position.set(0, 2.2, 2.0);
    controls.target.set(0.75, 0.6, -2.1);
    camera.near = 0.05;
    camera.far = 2000;
    camera.updateProjectionMatrix();
    controls.update();
}
// The desktop window's mouse: left drag orbits, right drag and the wheel zoom (up or away: closer),
// middle drag pans.
const controls = new OrbitControls(camera, renderer.domElement);
controls.screenSpacePanning = true;
controls.mouseButtons = { LEFT: THREE.MOUSE.ROTATE, MIDDLE: THREE.MOUSE.PAN, RIGHT: THREE.MOUSE.DOLLY };
home();
window.addEventListener('keydown', (e) => {
    if (e.target instanceof HTMLInputElement) return;
    if (e.key === 'f') frameAll();
    else if (e.key === 'h') home();
    else if (e.key === 'r') controls.autoRotate = !controls.autoRotate; // a slow turn, as in a showroom
});

// The ground as a desktop site draws it: lines 2 cm wide, 1 m apart, 20 m across, at y = 0.
const ground = (() => {
    const positions = [];
    const indices = [];
    const quad = (x0, z0, x1, z1) => {
        const base = positions.length / 3;
        positions.push(x0, 0, z0, x0, 0, z1, x1, 0, z1, x1, 0, z0);
        indices.push(base, base + 1, base + 2, base, base + 2, base + 3);
    };
    for (let i = -10; i <= 10; ++i) {
        quad(i - 0.01, -10, i + 0.01, 10);
        quad(-10, i - 0.01, 10, i + 0.01);
    }
    const g = new THREE.BufferGeometry();
    g.setAttribute('position', new THREE.Float32BufferAttribute(positions, 3));
    g.setIndex(indices);
    g.setAttribute('normal', new THREE.Float32BufferAttribute(positions.map((_, i) => (i % 3 === 1 ? 1 : 0)), 3));
    const mesh = new THREE.Mesh(g, deskMaterial([0.45, 0.5, 0.45, 1]));
    mesh.name = 'ground';
    return mesh;
})();
scene3.add(ground);
const world = new THREE.Group();
world.matrixAutoUpdate = false;
scene3.add(world);

// A head for avatars, as a desktop site draws it: a box 0.2 m wide, 0.25 m high, 0.22 m deep, with
// a nose towards -z.
const headGeometry = (() => {
    const g = new THREE.BoxGeometry(0.2, 0.25, 0.22).toNonIndexed();
    const nose = new THREE.BoxGeometry(0.04, 0.05, 0.05).translate(0, -0.005, -0.135).toNonIndexed();
    const positions = new Float32Array([...g.attributes.position.array, ...nose.attributes.position.array]);
    const out = new THREE.BufferGeometry();
    out.setAttribute('position', new THREE.BufferAttribute(positions, 3));
    out.computeVertexNormals();
    return out;
})();

function resize() {
    const w = window.innerWidth;
    const h = window.innerHeight;
    renderer.setSize(w, h);
    camera.aspect = w / Math.max(1, h);
    camera.updateProjectionMatrix();
    // A quarter of a degree a pixel, as on the desktop (the controls turn by 2 pi a view height).
    controls.rotateSpeed = Math.max(1, h) / 1440;
}
window.addEventListener('resize', resize);
resize();

// A picture of an imported scene as a texture. The wire format has rows from the top down and
// v = 0 at the bottom of the picture, so the rows go in reversed.
const textureCache = new Map(); // hash#index -> texture
function textureOf(hash, scene, index) {
    const id = `${hash}#${index}`;
    let t = textureCache.get(id);
    if (!t) {
        const p = scene.textures[index];
        const row = p.width * 4;
        const flipped = new Uint8Array(p.rgba.length);
        for (let y = 0; y < p.height; ++y) flipped.set(p.rgba.subarray((p.height - 1 - y) * row, (p.height - y) * row), y * row);
        t = new THREE.DataTexture(flipped, p.width, p.height, THREE.RGBAFormat, THREE.UnsignedByteType);
        t.wrapS = t.wrapT = THREE.RepeatWrapping;
        t.magFilter = THREE.LinearFilter;
        t.minFilter = THREE.LinearMipmapLinearFilter;
        t.generateMipmaps = true;
        t.needsUpdate = true;
        textureCache.set(id, t);
    }
    return t;
}

// Geometry of one imported scene's mesh, shared by every node that shows it.
const meshCache = new Map(); // hash#index -> {geometry, material}
function meshObject(hash, scene, index) {
    const id = `${hash}#${index}`;
    let entry = meshCache.get(id);
    if (!entry) {
        const m = scene.meshes[index];
        const g = new THREE.BufferGeometry();
        g.setAttribute('position', new THREE.BufferAttribute(m.positions, 3));
        if (m.normals.length) g.setAttribute('normal', new THREE.BufferAttribute(m.normals, 3));
        if (m.uvs.length) g.setAttribute('uv', new THREE.BufferAttribute(m.uvs, 2));
        g.setIndex(new THREE.BufferAttribute(m.indices, 1));
        const mat = scene.materials[m.material];
        const d = mat.diffuse;
        const picture = mat.texture !== noTexture && m.uvs.length ? scene.textures[mat.texture] : null;
        const material = deskMaterial([d[0], d[1], d[2], d[3] * mat.opacity], picture ? textureOf(hash, scene, mat.texture) : null,
            highlightOf(mat.specular, mat.shininess));
        if (picture && picture.hasAlpha) material.transparent = true;
        entry = { geometry: g, material, triangles: m.indices.length / 3 };
        meshCache.set(id, entry);
    }
    const mesh = new THREE.Mesh(entry.geometry, entry.material);
    mesh.userData.triangles = entry.triangles;
    return mesh;
}

// ---- the shared scene ----

let view = null;
let assets = null;
let drawnVersion = -1;
let assetsVersion = 0;
const objects = new Map(); // mirror key -> {object, record, meshState}
const labels = new Map(); // mirror key -> label element

function sync() {
    needsRender = true;
    const shown = view.visible();
    const keep = new Set(shown.map((v) => v.key));
    for (const [key, o] of objects) {
        if (!keep.has(key)) {
            o.object.removeFromParent();
            objects.delete(key);
            delete stats.models[key];
        }
    }
    for (const v of shown) {
        let o = objects.get(v.key);
        if (!o) {
            const object = new THREE.Group();
            object.matrixAutoUpdate = false;
            object.name = v.record.name;
            o = { object, record: null, meshState: '' };
            objects.set(v.key, o);
        }
        const parent = v.parent === '' ? world : objects.get(v.parent).object;
        // Only a move costs: the order among siblings does not change the picture.
        if (o.object.parent !== parent) parent.add(o.object);
        if (o.record !== v.record) {
            o.object.matrix.fromArray(v.record.matrix);
            o.object.matrixWorldNeedsUpdate = true;
            o.object.name = v.record.name;
            o.record = v.record;
        }
        showMeshes(v, o);
        showHead(v, o);
    }
    stats.sites = view.present().sort((a, b) => (a.site < b.site ? -1 : 1));
    const list = $('sites');
    list.replaceChildren(
        ...stats.sites.map((s) => {
            const li = document.createElement('li');
            li.textContent = s.site + (me && s.site === siteId(me) ? ' (this page)' : '');
            li.style.color = avatarColor(s.user).css;
            return li;
        }),
    );
    showModelProblems();
}

function showModelProblems() {
    const broken = Object.entries(stats.models).filter(([, m]) => m.reason);
    $('models').textContent = broken.length ? `${broken.length} model(s) without geometry: ${broken[0][1].reason}` : '';
}

// Brings the drawing up to the mirror: everything when what is shown where changed, else only
// the nodes whose own state changed.
function catchUp() {
    if (view.version !== drawnVersion || assetsVersion !== 0) {
        drawnVersion = view.version;
        assetsVersion = 0;
        view.changed.clear();
        sync();
        return;
    }
    if (view.changed.size === 0) return;
    for (const key of view.changed) {
        const o = objects.get(key);
        const m = view.mirrors.get(key);
        if (!o || !m) continue; // not shown
        const v = { key, site: m.site, record: m.record, parent: m.record.parent };
        o.object.matrix.fromArray(m.record.matrix);
        o.object.matrixWorldNeedsUpdate = true;
        o.object.name = m.record.name;
        o.record = m.record;
        showMeshes(v, o);
        showHead(v, o);
    }
    view.changed.clear();
    showModelProblems();
    needsRender = true;
}

function showMeshes(v, o) {
    const r = v.record;
    const wanted = r.meshScene ? `${v.site.user}.${r.meshScene}:${r.meshes.join(',')}` : '';
    if (o.meshState === wanted) return;
    const old = o.object.children.filter((c) => c.userData.isModel);
    if (!r.meshScene) {
        old.forEach((c) => c.removeFromParent());
        o.meshState = wanted;
        delete stats.models[v.key];
        return;
    }
    const found = assets.lookup(v.site.user, r.meshScene);
    if (!found) return; // on its way: drawn when it arrives
    old.forEach((c) => c.removeFromParent());
    o.meshState = wanted;
    if (!found.scene) {
        stats.models[v.key] = { triangles: 0, reason: found.reason };
        o.meshState = ''; // asked again at the next change: a missing model may arrive later
        return;
    }
    let triangles = 0;
    let missing = 0;
    for (const i of r.meshes) {
        if (i >= found.scene.meshes.length) {
            ++missing;
            continue;
        }
        const mesh = meshObject(r.meshScene, found.scene, i);
        mesh.userData.isModel = true;
        triangles += mesh.userData.triangles;
        o.object.add(mesh);
    }
    stats.models[v.key] = { triangles, reason: missing ? `${missing} mesh index(es) out of range` : '' };
}

function showHead(v, o) {
    const head = o.object.children.find((c) => c.userData.isHead);
    if (!v.record.navigator) {
        if (head) head.removeFromParent();
        if (labels.has(v.key)) {
            labels.get(v.key).remove();
            labels.delete(v.key);
        }
        return;
    }
    if (!head) {
        const c = avatarColor(v.site.user).three;
        const mesh = new THREE.Mesh(headGeometry, deskMaterial([c.r, c.g, c.b, 1]));
        mesh.userData.isHead = true;
        o.object.add(mesh);
        const label = document.createElement('div');
        label.className = 'label';
        label.textContent = v.site.user;
        label.style.color = avatarColor(v.site.user).css;
        $('labels').appendChild(label);
        labels.set(v.key, label);
    }
}

const tmp = new THREE.Vector3();
function placeLabels() {
    for (const [key, label] of labels) {
        const o = objects.get(key);
        if (!o) {
            label.remove();
            labels.delete(key);
            continue;
        }
        tmp.setFromMatrixPosition(o.object.matrixWorld);
        tmp.y += 0.22;
        tmp.project(camera);
        const visible = tmp.z > -1 && tmp.z < 1;
        label.hidden = !visible;
        label.style.left = `${((tmp.x + 1) / 2) * window.innerWidth}px`;
        label.style.top = `${((1 - tmp.y) / 2) * window.innerHeight}px`;
    }
}

// Looks at everything with geometry, from the current direction.
function frameAll() {
    const box = new THREE.Box3();
    world.updateMatrixWorld(true);
    for (const o of objects.values())
        for (const c of o.object.children) if (c.userData.isModel) box.expandByObject(c);
    if (box.isEmpty()) return;
    const sphere = box.getBoundingSphere(new THREE.Sphere());
    const dir = camera.position.clone().sub(controls.target).normalize();
    const distance = Math.max(sphere.radius, 0.1) / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2)) * 1.1;
    controls.target.copy(sphere.center);
    camera.position.copy(sphere.center).addScaledVector(dir, distance);
    camera.near = Math.max(0.01, distance / 1000);
    camera.far = Math.max(2000, distance * 10);
    camera.updateProjectionMatrix();
    controls.update();
}

// A frame is drawn only when something changed: the scene, the camera, the window's size. What a
// record changed is on screen in the next frame after it arrived.
let needsRender = true;
const redraw = () => (needsRender = true);
controls.addEventListener('change', redraw);
window.addEventListener('resize', redraw);
const arrivedSinceDrawn = new Set();

function frame() {
    requestAnimationFrame(frame);
    if (view) {
        view.expire();
        catchUp();
    }
    if (controls.update()) needsRender = true;
    publishCamera();
    if (!needsRender) return;
    needsRender = false;
    renderer.render(scene3, camera);
    placeLabels();
    ++stats.frames;
    const t = now();
    stats.drawnAt = t;
    for (const key of arrivedSinceDrawn) stats.drawn[key] = t;
    arrivedSinceDrawn.clear();
}
requestAnimationFrame(frame);

// ---- the broker ----

let nc = null;
let me = null; // this page's site, when it may write
let kvNodes = null;
let kvPresence = null;
let kvAssets = null;
let joinedAt = 0;
let lastCamera = '';
let cameraSentAt = 0;

function setHud(text, reconnecting = false) {
    const hud = $('hud');
    hud.hidden = false;
    hud.textContent = text;
    hud.classList.toggle('reconnecting', reconnecting);
}

function hudLine() {
    if (stats.state === 'reconnecting') return setHud('shared scene: reconnecting', true);
    const n = stats.sites.length;
    setHud(`shared scene ${sceneName}: ${n} ${n === 1 ? 'site' : 'sites'}${stats.mode === 'viewing' ? ' (viewing only)' : ''}`);
}
let sceneName = '';

// Applies every entry of the bucket, the current ones first; resolves once those are applied.
async function watch(kv, apply) {
    let empty;
    let iter;
    try {
        empty = (await kv.status()).values === 0;
        iter = await kv.watch({ key: '>' });
    } catch (e) {
        log(`shared scene: cannot watch ${kv.bucket}: ${e.message}`);
        return new Promise(() => {});
    }
    let loaded;
    const current = new Promise((resolve) => (loaded = resolve));
    if (empty) loaded();
    (async () => {
        for await (const e of iter) {
            const value = e.operation === 'PUT' ? e.value : null;
            apply(e.key, value, e);
            if (e.delta === 0 || e.isUpdate) loaded();
        }
    })().catch((e) => log(`shared scene: a watch ended: ${e.message}`));
    return current;
}

// Records of this user's sites that are no longer present: left behind by a page or a host that
// could not say goodbye. As a desktop site does, the next site of the user deletes them.
function cleanUp() {
    if (!me) return;
    const present = new Set(view.present().map((s) => s.site));
    for (const [key, m] of view.mirrors)
        if (m.site.user === me.user && !present.has(siteId(m.site))) kvNodes.delete(key).catch(() => {});
}

function refused(e) {
    return /permission/i.test(String(e && (e.message || e))) || (e && e.name === 'PermissionViolationError');
}

async function publishPresence() {
    if (!me || !kvPresence || stats.state !== 'joined') return;
    try {
        await kvPresence.put(siteKey(me), encodePresence({ user: me.user, site: siteId(me), joined: joinedAt }));
    } catch (e) {
        if (refused(e)) becomeViewer();
    }
}

function cameraRecord() {
    camera.updateMatrixWorld();
    return encodeRecord({
        name: 'navigator',
        parent: '',
        order: 0,
        matrix: Array.from(camera.matrixWorld.elements, (x) => Math.fround(x)),
        meshScene: '',
        meshes: [],
        anim: -1,
        navigator: true,
    });
}

// The camera as this site's navigator: at most ten records a second, only when it moved.
function publishCamera(force = false) {
    if (!me || !kvNodes || stats.state !== 'joined') return;
    const t = now();
    if (!force && t - cameraSentAt < 100) return;
    const text = cameraRecord();
    if (!force && text === lastCamera) return;
    lastCamera = text;
    cameraSentAt = t;
    kvNodes.put(`${siteKey(me)}.0`, text).catch((e) => {
        if (refused(e)) becomeViewer();
        else lastCamera = ''; // not known whether it landed: send it again
    });
}

function becomeViewer() {
    if (stats.mode === 'viewing') return;
    stats.mode = 'viewing';
    log('shared scene: the broker does not let this user write; watching only');
    me = null;
    view.self = null;
    hudLine();
}

async function leave() {
    if (!nc) return;
    const site = me;
    me = null;
    if (site) {
        await Promise.allSettled([kvNodes.delete(`${siteKey(site)}.0`), kvPresence.delete(siteKey(site))]);
    }
    await nc.close().catch(() => {});
}
window.addEventListener('pagehide', () => void leave());

async function join(form) {
    const server = $('server').value.trim();
    const user = $('user').value.trim();
    sceneName = $('scene').value.trim();
    if (!/^wss?:\/\//.test(server)) return log('the broker is a ws:// or wss:// address');
    if (!validUserName(user)) return log('a user name is letters, digits, - and _, at most 32 characters');
    if (!validSceneName(sceneName)) return log('a scene name is letters, digits, - and _, at most 64 characters');
    stats.state = 'connecting';
    setHud(`connecting to ${server}`);
    const options = { servers: server, user, maxReconnectAttempts: -1, reconnectTimeWait: 250, name: 'web viewer' };
    if ($('password').value) options.pass = $('password').value;
    $('password').value = '';
    try {
        nc = await wsconnect(options);
    } catch (e) {
        stats.state = 'idle';
        setHud(`cannot join: ${e.message}`);
        form.hidden = false;
        return;
    }
    form.hidden = true;
    me = makeSite(user);
    joinedAt = Date.now() / 1000;
    view = new SharedView({ self: me, complain: log });
    assets = null;
    (async () => {
        for await (const s of nc.status()) {
            if (s.type === 'disconnect' || s.type === 'reconnecting') {
                if (stats.state !== 'reconnecting') {
                    stats.state = 'reconnecting';
                    hudLine();
                }
            } else if (s.type === 'reconnect') {
                stats.state = 'joined';
                assets?.retryFailed();
                lastCamera = '';
                publishPresence();
                hudLine();
            } else if (s.type === 'error' && refused(s.error)) {
                if (me && String(s.error.message).includes(siteKey(me))) becomeViewer();
            }
        }
    })();
    // The scene's buckets are made by the first desktop site: until then, ask again now and then.
    const kvm = new Kvm(nc);
    for (let attempt = 0; ; ++attempt) {
        try {
            kvNodes = await kvm.open(nodeBucket(sceneName));
            await kvNodes.status();
            kvPresence = await kvm.open(presenceBucket(sceneName));
            await kvPresence.status();
            kvAssets = await kvm.open(assetBucket);
            break;
        } catch (e) {
            if (nc.isClosed()) return;
            setHud(`no scene ${sceneName} on the broker yet (${e.message}); trying again`);
            await new Promise((resolve) => setTimeout(resolve, 2000));
        }
    }
    assets = new AssetCache(
        async (key) => {
            const e = await kvAssets.get(key);
            return e && e.operation === 'PUT' ? e.value : null;
        },
        { onReady: () => ++assetsVersion, log },
    );
    const presenceLoaded = watch(kvPresence, (key, value) => view.applyPresence(key, value));
    const nodesLoaded = watch(kvNodes, (key, value, entry) => {
        if (view.applyNode(key, value)) {
            stats.arrived[key] = now();
            arrivedSinceDrawn.add(key);
            stats.stored[key] = entry.created.getTime();
        }
    });
    Promise.all([presenceLoaded, nodesLoaded]).then(cleanUp, () => {});
    stats.state = 'joined';
    stats.mode = 'writing';
    view.applyPresence(siteKey(me), encodePresence({ user: me.user, site: siteId(me), joined: joinedAt }));
    await publishPresence();
    publishCamera(true);
    setInterval(() => {
        publishPresence();
        // A page in the background draws no frames: its state and list still follow the scene.
        view.expire();
        catchUp();
        hudLine();
    }, presenceRefreshMs);
    hudLine();
    $('side').hidden = false;
    nc.closed().then(() => {
        stats.state = 'closed';
        setHud('shared scene: closed');
    });
}

$('server').value = `ws://${window.location.hostname || '127.0.0.1'}:4223`;
$('join').addEventListener('submit', (ev) => {
    ev.preventDefault();
    join(ev.target).catch((e) => log(`shared scene: ${e.message}`));
});
window.addEventListener('error', (e) => stats.errors.push(String(e.message)));
window.addEventListener('unhandledrejection', (e) => stats.errors.push(String(e.reason)));
