// The page: joins a shared scene through the broker's WebSocket listener as one more site, mirrors
// what the desktop sites publish and draws it. A user who may write also publishes its presence and
// its camera as a navigator, so the others see its head.

import * as THREE from 'three';
import { OrbitControls } from 'three/examples/jsm/controls/OrbitControls.js';
import { wsconnect } from '@nats-io/nats-core';
import { jetstream } from '@nats-io/jetstream';
import { Kvm } from '@nats-io/kv';

import { AssetCache, defaultChunksAtOnce, timings } from './assets.js';
import { workerDecoder } from './decoder.js';
import { storedForm } from './deflate.js';
import { ModelStore } from './model_store.js';
import { avatarColor } from './avatar.js';
import { LruMap, SharedResources } from './cache.js';
import { deskMaterial, depthRange, highlightOf, materialAlpha } from './shading.js';
import {
    assetBucket, assetChunkBytes, brokerAddress, chunkKey, decodeManifest, encodePresence, encodeRecord, inboxPrefix, makeSite,
    manifestKey, nodeBucket, passwordAllowed, presenceBucket, presenceRefreshMs, siteId, siteKey, validSceneName, validUserName,
    withoutCredentials,
} from './records.js';
import { SharedView } from './scene.js';
import { noTexture } from './wire.js';

const $ = (id) => document.getElementById(id);
const now = () => performance.timeOrigin + performance.now();
// Colours go to the screen as they are, as a desktop site writes them.
THREE.ColorManagement.enabled = false;

// When the latest records arrived, were stored by the broker and first drawn, for the keys seen
// most recently (tests and the benchmark read them).
const timesKept = 4096;
const arrivedAt = new LruMap(timesKept);
const storedAt = new LruMap(timesKept);
const drawnAt = new LruMap(timesKept);

// What tests and the benchmark read: counters and the state the page shows.
const stats = {
    state: 'idle', // idle, connecting, joined, reconnecting, closed
    mode: '', // 'writing' or 'viewing'
    frames: 0,
    sites: [],
    models: {}, // mirror key -> {triangles, reason}
    errors: [],
    // mirror key -> when the broker stored its latest record
    get stored() {
        return Object.fromEntries(storedAt);
    },
    // mirror key -> time its latest record arrived
    get arrived() {
        return Object.fromEntries(arrivedAt);
    },
    // mirror key -> time of the first frame drawn after it
    get drawn() {
        return Object.fromEntries(drawnAt);
    },
    drawnAt: 0,
};
window.zelPage = stats;
// How long the models took to fetch, check and decode, by hash.
stats.assetTimings = () => Object.fromEntries(timings);
// The matrices of the mirrors shown, by key.
stats.matrices = () => Object.fromEntries([...objects].map(([key, o]) => [key, Array.from(o.record.matrix)]));
// How much the page holds: for the benchmark and tests.
stats.held = () => ({
    objects: objects.size, mirrors: view?.mirrors.size ?? 0, sites: view?.sites.size ?? 0, shown: view?.shown.size ?? 0,
    meshes: meshes.size, materials: materials.size, textures: textures.size, scenes: (assets?.scenes.size ?? 0) + (assets?.used.size ?? 0),
    waiting: waitingFor.size, labels: labels.size, times: arrivedAt.size + storedAt.size + drawnAt.size, top: world.children.length,
    geometries: renderer.info.memory.geometries, gpuTextures: renderer.info.memory.textures,
});

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

function log(line) {
    const el = $('log');
    el.textContent += `${withoutCredentials(line)}\n`;
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
    if (e.target instanceof HTMLInputElement || e.ctrlKey || e.metaKey || e.altKey) return;
    if (e.key === 'f') frameAll();
    else if (e.key === 'h') home();
    else if (e.key === 'r') controls.autoRotate = !controls.autoRotate; // a slow turn, as in a showroom
    else arrange(e.key);
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
// v = 0 at the bottom of the picture, so the rows go in reversed. Shared by every material that
// shows it; its GPU memory is freed a while after the last one goes.
const textures = new SharedResources({
    make: (id, p) => {
        const row = p.width * 4;
        const flipped = new Uint8Array(p.rgba.length);
        for (let y = 0; y < p.height; ++y) flipped.set(p.rgba.subarray((p.height - 1 - y) * row, (p.height - y) * row), y * row);
        const t = new THREE.DataTexture(flipped, p.width, p.height, THREE.RGBAFormat, THREE.UnsignedByteType);
        t.wrapS = t.wrapT = THREE.RepeatWrapping;
        t.magFilter = THREE.LinearFilter;
        t.minFilter = THREE.LinearMipmapLinearFilter;
        t.generateMipmaps = true;
        t.needsUpdate = true;
        return t;
    },
    dispose: (t) => t.dispose(),
    idle: 16,
});

// One material of an imported scene, shared by every mesh that uses it (with its picture when the
// mesh has texture coordinates).
const materials = new SharedResources({
    make: (id, hash, scene, index, textured) => {
        const mat = scene.materials[index];
        const d = mat.diffuse;
        const picture = textured ? scene.textures[mat.texture] : null;
        const textureId = picture ? `${hash}#t${mat.texture}` : '';
        const material = deskMaterial([d[0], d[1], d[2], materialAlpha(scene, index)], picture ? textures.acquire(textureId, picture) : null,
            highlightOf(mat.specular, mat.shininess));
        if (picture && picture.hasAlpha) material.transparent = true;
        material.userData.textureId = textureId;
        return material;
    },
    dispose: (material) => {
        material.dispose();
        if (material.userData.textureId) textures.release(material.userData.textureId);
    },
    idle: 16,
});

// Geometry of one imported scene's mesh, shared by every node that shows it; its GPU memory is
// freed a while after the last one goes.
const meshes = new SharedResources({
    make: (id, hash, scene, index) => {
        const m = scene.meshes[index];
        const g = new THREE.BufferGeometry();
        g.setAttribute('position', new THREE.BufferAttribute(m.positions, 3));
        if (m.normals.length) g.setAttribute('normal', new THREE.BufferAttribute(m.normals, 3));
        if (m.uvs.length) g.setAttribute('uv', new THREE.BufferAttribute(m.uvs, 2));
        g.setIndex(new THREE.BufferAttribute(m.indices, 1));
        const textured = scene.materials[m.material].texture !== noTexture && m.uvs.length > 0;
        const materialId = `${hash}#m${m.material}${textured ? 't' : ''}`;
        const material = materials.acquire(materialId, hash, scene, m.material, textured);
        return { geometry: g, material, materialId, triangles: m.indices.length / 3 };
    },
    dispose: (e) => {
        e.geometry.dispose();
        materials.release(e.materialId);
    },
    idle: 32,
});

// ---- the shared scene ----

let view = null;
let assets = null;
let listedSites = -1;
const objects = new Map(); // mirror key -> {object, record, meshState, meshIds, scene, waitingOn}
const labels = new Map(); // mirror key -> label element
// Models on their way, and the shown mirrors that wait for them.
const waitingFor = new Map(); // user.hash -> mirror keys

// Brings the drawing up to the mirror: only the nodes that changed, and those whose model arrived.
function catchUp() {
    view.settle();
    if (view.dirty.size) {
        needsRender = true;
        for (const key of view.dirty) update(key);
        view.dirty.clear();
        flushRemovals();
        showModelProblems();
    }
    if (view.sitesVersion !== listedSites) {
        listedSites = view.sitesVersion;
        listSites();
        needsRender = true;
    }
}

function listSites() {
    stats.sites = view.present().sort((a, b) => (a.site < b.site ? -1 : 1));
    $('sites').replaceChildren(
        ...stats.sites.map((s) => {
            const li = document.createElement('li');
            li.textContent = s.site + (me && s.site === siteId(me) ? ' (this page)' : '');
            li.style.color = avatarColor(s.user).css;
            return li;
        }),
    );
}

// A model is ready (or failed, or may be asked for again): the mirrors that wait for it look again.
function modelReady(user, hash) {
    const id = `${user}.${hash}`;
    const keys = waitingFor.get(id);
    if (!keys) return;
    waitingFor.delete(id);
    for (const key of keys) {
        const o = objects.get(key);
        if (!o) continue;
        o.waitingOn = '';
        o.meshState = '';
        view.dirty.add(key);
    }
}

function wait(key, o, id) {
    if (o.waitingOn === id) return;
    stopWaiting(key, o);
    o.waitingOn = id;
    let keys = waitingFor.get(id);
    if (!keys) waitingFor.set(id, (keys = new Set()));
    keys.add(key);
}

function stopWaiting(key, o) {
    if (!o.waitingOn) return;
    const keys = waitingFor.get(o.waitingOn);
    if (keys) {
        keys.delete(key);
        if (keys.size === 0) waitingFor.delete(o.waitingOn);
    }
    o.waitingOn = '';
}

const broken = new Map(); // mirror key -> why its model has no geometry
function setModel(key, model) {
    if (model) stats.models[key] = model;
    else delete stats.models[key];
    if (model?.reason) broken.set(key, model.reason);
    else broken.delete(key);
}

function showModelProblems() {
    $('models').textContent = broken.size ? `${broken.size} model(s) without geometry: ${broken.values().next().value}` : '';
}

// The drawing of the mirror under key as the view has it now: made, moved, changed or removed.
// Returns its object while it is shown.
function update(key) {
    const m = view.mirrors.get(key);
    const shown = m && view.shown.has(key);
    let o = objects.get(key);
    if (!m) {
        arrivedAt.delete(key);
        storedAt.delete(key);
        drawnAt.delete(key);
        arrivedSinceDrawn.delete(key);
    }
    if (!shown) {
        if (o) drop(key, o);
        return null;
    }
    if (!o) {
        const object = new THREE.Group();
        object.matrixAutoUpdate = false;
        o = { object, record: null, meshState: '', meshIds: [], scene: '', waitingOn: '' };
        objects.set(key, o);
    }
    // A shown node's parent is shown: made first when it is new too.
    const parent = m.record.parent === '' ? world : (objects.get(m.record.parent)?.object ?? update(m.record.parent)?.object);
    if (!parent) {
        drop(key, o);
        return null;
    }
    // Only a move costs: the order among siblings does not change the picture.
    if (o.object.parent !== parent) parent.add(o.object);
    if (o.record !== m.record) {
        o.object.matrix.fromArray(m.record.matrix);
        o.object.matrixWorldNeedsUpdate = true;
        o.object.name = m.record.name;
        o.record = m.record;
    }
    showMeshes(key, m, o);
    showHead(key, m, o);
    return o;
}

// Objects leaving their parents, taken out once per parent at the end of a batch: a site that
// goes with 100,000 top nodes is one pass over its parent's children, not one search each.
const removals = new Map(); // parent -> objects leaving it
function detach(object) {
    if (!object.parent) return;
    let gone = removals.get(object.parent);
    if (!gone) removals.set(object.parent, (gone = new Set()));
    gone.add(object);
}
function flushRemovals() {
    for (const [parent, gone] of removals) {
        parent.children = parent.children.filter((c) => !gone.has(c));
        for (const c of gone) {
            c.parent = null;
            c.dispatchEvent({ type: 'removed' });
        }
    }
    removals.clear();
}

function drop(key, o) {
    detach(o.object);
    clearMeshes(o);
    stopWaiting(key, o);
    objects.delete(key);
    setModel(key, null);
    const label = labels.get(key);
    if (label) {
        label.remove();
        labels.delete(key);
    }
}

function clearMeshes(o) {
    // One pass: a record may draw thousands of meshes.
    const keep = [];
    for (const c of o.object.children) {
        if (c.userData.isModel) c.parent = null;
        else keep.push(c);
    }
    o.object.children = keep;
    for (const id of o.meshIds) meshes.release(id);
    o.meshIds = [];
    if (o.scene) assets.release(o.scene);
    o.scene = '';
}

function showMeshes(key, m, o) {
    const r = m.record;
    const user = m.site.user;
    const wanted = r.meshScene ? `${user}.${r.meshScene}:${r.meshes.join(',')}` : '';
    if (o.meshState === wanted) return;
    if (!r.meshScene) {
        clearMeshes(o);
        stopWaiting(key, o);
        o.meshState = wanted;
        setModel(key, null);
        return;
    }
    const found = assets.lookup(user, r.meshScene);
    // On its way, or failed (and perhaps asked for again later): looked at again when it is ready.
    if (!found || !found.scene) wait(key, o, `${user}.${r.meshScene}`);
    else stopWaiting(key, o);
    if (!found) return;
    clearMeshes(o);
    o.meshState = wanted;
    if (!found.scene) {
        setModel(key, { triangles: 0, reason: found.reason });
        return;
    }
    // Once the model is known, a mesh list must name its meshes: one that does not is refused whole.
    const count = found.scene.meshes.length;
    const past = r.meshes.find((i) => i >= count);
    if (past !== undefined) {
        const reason = `mesh index ${past} is past the model's ${count} meshes`;
        setModel(key, { triangles: 0, reason });
        view.complain(siteId(m.site), reason, user);
        return;
    }
    let triangles = 0;
    assets.use(r.meshScene);
    o.scene = r.meshScene;
    for (const i of r.meshes) {
        const id = `${r.meshScene}#${i}`;
        const e = meshes.acquire(id, r.meshScene, found.scene, i);
        o.meshIds.push(id);
        const mesh = new THREE.Mesh(e.geometry, e.material);
        mesh.userData.isModel = true;
        triangles += e.triangles;
        o.object.add(mesh);
        reveal(mesh);
    }
    setModel(key, { triangles, reason: '' });
}

function showHead(key, m, o) {
    const head = o.object.children.find((c) => c.userData.isHead);
    if (!m.record.navigator) {
        if (head) head.removeFromParent();
        if (labels.has(key)) {
            labels.get(key).remove();
            labels.delete(key);
        }
        return;
    }
    if (!head) {
        const user = m.site.user;
        const c = avatarColor(user).three;
        const mesh = new THREE.Mesh(headGeometry, headMaterial(user, c));
        mesh.userData.isHead = true;
        o.object.add(mesh);
        const label = document.createElement('div');
        label.className = 'label';
        label.textContent = user;
        label.style.color = avatarColor(user).css;
        $('labels').appendChild(label);
        labels.set(key, label);
    }
}

// One material per user's colour, for the few users present.
const headMaterials = new LruMap(256, (user, material) => material.dispose());
function headMaterial(user, c) {
    let material = headMaterials.touch(user);
    if (!material) headMaterials.set(user, (material = deskMaterial([c.r, c.g, c.b, 1])));
    return material;
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
    for (const o of [...objects.values(), ...own.values()])
        for (const c of o.object.children) if (c.userData.isModel) box.expandByObject(c);
    if (box.isEmpty()) return;
    const sphere = box.getBoundingSphere(new THREE.Sphere());
    const dir = camera.position.clone().sub(controls.target).normalize();
    const distance = Math.max(sphere.radius, 0.1) / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2)) * 1.1;
    controls.target.copy(sphere.center);
    camera.position.copy(sphere.center).addScaledVector(dir, distance);
    ({ near: camera.near, far: camera.far } = depthRange(distance, sphere.radius));
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

// Geometry goes to the GPU when a mesh is first drawn, all of it in that frame. A large model's
// meshes are first drawn a few megabytes a frame into a target of one pixel, which puts their
// geometry on the GPU at little cost, and the whole model is drawn on screen once they all are:
// no frame holds the page for long, and the model is not drawn again and again while it grows.
const uploadBytesPerFrame = 4 * 2 ** 20;
const revealing = [];
const uploaded = new WeakSet(); // geometries drawn before
const uploadTarget = new THREE.WebGLRenderTarget(1, 1);
const uploadScene = new THREE.Scene();
stats.revealing = () => revealing.length;
function reveal(mesh) {
    if (uploaded.has(mesh.geometry)) return;
    mesh.visible = false;
    revealing.push(mesh);
}
function revealSome() {
    if (!revealing.length) return;
    let bytes = 0;
    while (revealing.length && bytes < uploadBytesPerFrame) {
        const mesh = revealing.shift();
        mesh.visible = true;
        if (!mesh.parent || uploaded.has(mesh.geometry)) continue;
        uploaded.add(mesh.geometry);
        const probe = new THREE.Mesh(mesh.geometry, mesh.material);
        probe.frustumCulled = false;
        uploadScene.add(probe);
        for (const a of [...Object.values(mesh.geometry.attributes), mesh.geometry.index]) bytes += a?.array.byteLength ?? 0;
    }
    if (uploadScene.children.length) {
        renderer.setRenderTarget(uploadTarget);
        renderer.render(uploadScene, camera);
        renderer.setRenderTarget(null);
        uploadScene.clear();
    }
    if (!revealing.length) needsRender = true;
}

// Edges without stairs, as on the desktop: WebGL's multisampling costs the software renderer three
// quarters of the frame rate, so a moving picture is drawn without, and once it has rested for a
// quarter of a second it is drawn once more at twice the resolution, which the browser shrinks to
// the canvas.
let smoothed = false;
let drawnAtMs = 0;
function smoothAtRest() {
    if (smoothed || performance.now() - drawnAtMs < 250) return;
    smoothed = true;
    renderer.setPixelRatio(2 * window.devicePixelRatio);
    renderer.render(scene3, camera);
}

function frame() {
    requestAnimationFrame(frame);
    if (view) {
        view.expire();
        catchUp();
    }
    revealSome();
    if (controls.update()) needsRender = true;
    publishCamera();
    if (!needsRender) {
        smoothAtRest();
        return;
    }
    needsRender = false;
    if (smoothed) {
        smoothed = false;
        renderer.setPixelRatio(window.devicePixelRatio);
    }
    renderer.render(scene3, camera);
    drawnAtMs = performance.now();
    placeLabels();
    ++stats.frames;
    const t = now();
    stats.drawnAt = t;
    for (const key of arrivedSinceDrawn) drawnAt.set(key, t);
    arrivedSinceDrawn.clear();
}
requestAnimationFrame(frame);

// ---- models this page places ----

// The page's own models, newest last: nodes of its own site at the top of the scene, drawn here
// and published as a desktop site publishes its placed model.
const own = new Map(); // node key -> {object, record, hash, meshIds, name, triangles}
let nodeCounter = 0; // 0 is the navigator
// The arranging keys act on the newest one, along the axis mode's axis (X, Y, Z, or XYZ: all).
const axisModes = ['X', 'Y', 'Z', 'XYZ'];
let axisMode = 0;
const moveStep = 0.25;
const scaleStep = 1.1;
const turnStep = 5; // degrees
const arranging = new THREE.Matrix4();
stats.own = () => Object.fromEntries([...own].map(([key, o]) => [key, { name: o.name, triangles: o.triangles, hash: o.hash, matrix: Array.from(o.record.matrix) }]));
stats.axisMode = () => axisModes[axisMode];

function showPlaced() {
    const newest = [...own.values()].pop();
    $('placed').textContent = newest ? `${newest.name}: axis ${axisModes[axisMode]} (z, Z), move x X, scale c C, turn v V` : '';
}

// The desktop package's keys: z and Z step through the axis modes; x and X move by a quarter of a
// metre along the parent's axis, c and C scale by 1.1 in the model's own axis (all three in XYZ),
// v and V turn by 5 degrees about the model's own axis (not in XYZ, where the desktop turns with
// the mouse).
function arrange(key) {
    const o = [...own.values()].pop();
    if (!o || !me) return;
    const axis = axisMode;
    const m = new THREE.Matrix4().fromArray(o.record.matrix);
    if (key === 'z' || key === 'Z') {
        axisMode = (axisMode + (key === 'z' ? 1 : axisModes.length - 1)) % axisModes.length;
        showPlaced();
        return;
    } else if ((key === 'x' || key === 'X') && axis < 3) {
        const by = [0, 0, 0];
        by[axis] = key === 'x' ? moveStep : -moveStep;
        m.premultiply(arranging.makeTranslation(...by));
    } else if (key === 'c' || key === 'C') {
        const f = key === 'c' ? scaleStep : 1 / scaleStep;
        const by = axis === 3 ? [f, f, f] : [1, 1, 1].map((v, i) => (i === axis ? f : v));
        m.multiply(arranging.makeScale(...by));
    } else if ((key === 'v' || key === 'V') && axis < 3) {
        const angle = THREE.MathUtils.degToRad(key === 'v' ? turnStep : -turnStep);
        m.multiply(axis === 0 ? arranging.makeRotationX(angle) : axis === 1 ? arranging.makeRotationY(angle) : arranging.makeRotationZ(angle));
    } else {
        return;
    }
    setOwnMatrix(o, m.elements);
}

function setOwnMatrix(o, elements) {
    o.record = { ...o.record, matrix: Float32Array.from(elements, (x) => Math.fround(x)) };
    o.object.matrix.fromArray(o.record.matrix);
    o.object.matrixWorldNeedsUpdate = true;
    needsRender = true;
    publishOwn(o);
}

function publishOwn(o) {
    if (!me || !kvNodes) return;
    kvNodes.put(o.key, encodeRecord(o.record)).catch((e) => {
        if (refused(e)) becomeViewer();
    });
}

// A model's bytes into the scene's asset bucket under this user, as a desktop site stores them:
// its chunks (deflated when smaller), then the manifest; nothing when a whole copy of the same size
// is there already.
async function storeAsset(hash, model) {
    const stored = await kvAssets.get(manifestKey(me.user, hash)).catch(() => null);
    const manifest = stored && stored.operation === 'PUT' ? decodeManifest(stored.value).value : null;
    if (manifest && manifest.inflated === model.byteLength) return;
    const { bytes, manifest: made } = await storedForm(model);
    const chunks = made.chunks;
    let next = 0;
    const put = async () => {
        for (let i; (i = next++) < chunks; )
            await kvAssets.put(chunkKey(me.user, hash, i), bytes.subarray(i * assetChunkBytes, (i + 1) * assetChunkBytes));
    };
    await Promise.all(Array.from({ length: Math.min(4, chunks) }, put));
    await kvAssets.put(manifestKey(me.user, hash), JSON.stringify(made));
}

let importer = null;
let importId = 0;
const importing = new Map(); // id -> resolve
function importInWorker(files) {
    if (!importer) {
        importer = new Worker('import_worker.js');
        importer.onmessage = ({ data }) => {
            importing.get(data.id)?.(data.r);
            importing.delete(data.id);
        };
        importer.onerror = (e) => {
            e.preventDefault?.();
            for (const resolve of importing.values()) resolve({ reason: 'the page cannot read model files here' });
            importing.clear();
            importer = null;
        };
    }
    const id = ++importId;
    return new Promise((resolve) => {
        importing.set(id, resolve);
        importer.postMessage({ id, files });
    });
}

// Files dropped or picked: read in the worker, checked, stored, hung in front of the camera. A
// file that does not load is one line in the log, and nothing is sent.
async function place(files) {
    if (!files.length) return;
    const what = files.map((f) => f.name).join(', ').slice(0, 200);
    if (!me || !kvAssets) return log(`cannot place ${what}: this page may not write to the scene`);
    $('placing').textContent = `reading ${what}`;
    try {
        const r = await importInWorker(files);
        if (!r.bytes) return log(`cannot place ${what}: ${r.reason}`);
        if (!me) return log(`cannot place ${r.name}: this page may not write to the scene`);
        $('placing').textContent = `storing ${r.name}`;
        try {
            await storeAsset(r.hash, r.bytes);
        } catch (e) {
            if (refused(e)) becomeViewer();
            return log(`cannot place ${r.name}: storing it failed: ${e.message}`);
        }
        if (!me) return;
        // In front of the camera, far enough to see it whole, upright, at its own size.
        camera.updateMatrixWorld();
        const ahead = camera.getWorldDirection(new THREE.Vector3());
        const at = camera.position.clone().addScaledVector(ahead, Math.max(1.5, r.radius * 3)).sub(new THREE.Vector3(...r.center));
        const n = ++nodeCounter;
        const key = `${siteKey(me)}.${n}`;
        const record = {
            name: r.name, parent: '', order: n, matrix: new Float32Array(16), meshScene: r.hash,
            meshes: r.scene.meshes.map((_, i) => i), anim: -1, navigator: false,
        };
        const object = new THREE.Group();
        object.matrixAutoUpdate = false;
        const o = { key, object, record, hash: r.hash, meshIds: [], name: r.name, triangles: r.triangles };
        for (let i = 0; i < r.scene.meshes.length; ++i) {
            const id = `${r.hash}#${i}`;
            const e = meshes.acquire(id, r.hash, r.scene, i);
            o.meshIds.push(id);
            const mesh = new THREE.Mesh(e.geometry, e.material);
            mesh.userData.isModel = true;
            object.add(mesh);
            reveal(mesh);
        }
        world.add(object);
        own.set(key, o);
        setOwnMatrix(o, new THREE.Matrix4().makeTranslation(at.x, at.y, at.z).elements);
        showPlaced();
        log(`placed ${r.name}: ${r.triangles} triangles`);
    } finally {
        $('placing').textContent = '';
    }
}

function removeOwn() {
    for (const o of own.values()) {
        o.object.removeFromParent();
        for (const id of o.meshIds) meshes.release(id);
    }
    own.clear();
    showPlaced();
}

// A writer's page takes files dropped anywhere on it; a viewer's takes none (and a file dropped
// there does not open in its place).
window.addEventListener('dragover', (e) => {
    e.preventDefault();
    e.dataTransfer.dropEffect = me && mayPlace ? 'copy' : 'none';
});
window.addEventListener('drop', (e) => {
    e.preventDefault();
    if (me && mayPlace) place([...e.dataTransfer.files]).catch((err) => log(`cannot place: ${err.message}`));
});
$('pick').addEventListener('change', (e) => {
    const files = [...e.target.files];
    e.target.value = '';
    place(files).catch((err) => log(`cannot place: ${err.message}`));
});
$('place').addEventListener('click', () => $('pick').click());

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
// Models are checked and decoded in the page's worker.
const decoder = workerDecoder('worker.js');
// Chunks of a model asked for at once: ?chunks=N in the page's address (for measuring) changes it.
const chunksAtOnce = Math.min(64, Math.max(1, Number(new URLSearchParams(window.location.search).get('chunks')) || defaultChunksAtOnce));

// The broker lets a user make only ephemeral consumers, on exactly `$JS.API.CONSUMER.CREATE.<stream>`:
// a consumer made with a name could as well be durable and stay on the broker. The client's
// watcher names the consumers it makes; here they go without a name (the broker gives one), and one
// that nobody listens to any more goes away by itself.
function ephemeralOnly(kv) {
    const api = kv.js?.consumerAPI;
    if (!api || api.ephemeralOnly) return;
    const add = api.add.bind(api);
    api.add = (stream, config, ...more) => {
        const { name: _name, durable_name: _durable, ...ephemeral } = config;
        return add(stream, { ...ephemeral, inactive_threshold: 30e9 }, ...more);
    };
    api.ephemeralOnly = true;
}

// Applies every entry of the bucket, the current ones first; resolves once those are applied.
async function watch(kv, apply) {
    let empty;
    let iter;
    try {
        ephemeralOnly(kv);
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

// Records of this user's sites that have been gone for a while: left behind by a page or a host
// that could not say goodbye. As a desktop site does, another site of the user deletes them, 10 s
// after they went (a site that only lost its broker for a moment keeps them).
let bucketsLoaded = false;
function cleanUp() {
    if (!me || !bucketsLoaded) return;
    for (const key of view.staleKeysOfOwnUser()) kvNodes.delete(key).catch(() => {});
}

function refused(e) {
    return /permission/i.test(String(e && (e.message || e))) || (e && e.name === 'PermissionViolationError');
}

// Where this user reaches the JetStream API: a deployment with an account per user serves it under
// zel.API (imported from the streams' account); a broker of one account has nothing there, or does
// not let the user ask there, and serves it under $JS.API. A time-out throws: asked again.
async function apiPrefix(stream) {
    try {
        await nc.request(`zel.API.STREAM.INFO.${stream}`, undefined, { timeout: 5000 });
        return 'zel.API';
    } catch (e) {
        if (refused(e) || refused(e.cause) || e.isNoResponders?.()) return '$JS.API';
        throw e;
    }
}

let mayPlace = false;
async function publishPresence() {
    if (!me || !kvPresence || stats.state !== 'joined') return;
    try {
        await kvPresence.put(siteKey(me), encodePresence({ user: me.user, site: siteId(me), joined: joinedAt }));
        // The broker took a write: models may be placed from here.
        if (me && !mayPlace) {
            mayPlace = true;
            $('placer').hidden = false;
        }
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
    mayPlace = false;
    $('placer').hidden = true;
    removeOwn();
    hudLine();
}

async function leave() {
    if (!nc) return;
    const site = me;
    me = null;
    if (site) {
        const mine = [...own.keys()].map((key) => kvNodes.delete(key));
        await Promise.allSettled([...mine, kvNodes.delete(`${siteKey(site)}.0`), kvPresence.delete(siteKey(site))]);
    }
    await nc.close().catch(() => {});
}
window.addEventListener('pagehide', () => void leave());

async function join(form) {
    const address = brokerAddress($('server').value.trim());
    if (!address.url) return log(address.reason);
    // Credentials typed into the address are used as such and never shown again.
    $('server').value = address.url;
    const user = $('user').value.trim() || address.user;
    sceneName = $('scene').value.trim();
    if (!validUserName(user)) return log('a user name is letters, digits, - and _, at most 32 characters');
    if (!validSceneName(sceneName)) return log('a scene name is letters, digits, - and _, at most 64 characters');
    stats.state = 'connecting';
    setHud(`connecting to ${address.url}`);
    // Models seen before come from the browser's storage (model_store.js): the latest ones are read
    // while the page joins.
    const store = new ModelStore({ log });
    store.warmUp().catch(() => {});
    const options = {
        servers: address.url, user, inboxPrefix: inboxPrefix(user), maxReconnectAttempts: -1, reconnectTimeWait: 250,
        name: 'web viewer',
    };
    const pass = $('password').value || address.pass;
    $('password').value = '';
    if (pass && passwordAllowed(address.url).reason) {
        stats.state = 'idle';
        setHud(`cannot join: ${passwordAllowed(address.url).reason}`);
        return;
    }
    if (pass) options.pass = pass;
    try {
        nc = await wsconnect(options);
    } catch (e) {
        stats.state = 'idle';
        setHud(`cannot join: ${withoutCredentials(e.message, pass)}`);
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
                for (const o of own.values()) publishOwn(o);
                hudLine();
            } else if (s.type === 'error' && refused(s.error)) {
                if (me && String(s.error.message).includes(siteKey(me))) becomeViewer();
            }
        }
    })();
    // The scene's buckets are made by the first desktop site: until then, ask again now and then.
    // A user the broker does not let read the scene is told so.
    // Records are read with direct gets, which the deployment grants (not with the stream API).
    let kvm = null;
    for (;;) {
        try {
            kvm ??= new Kvm(jetstream(nc, { apiPrefix: await apiPrefix(`KV_${nodeBucket(sceneName)}`) }));
            kvNodes = await kvm.open(nodeBucket(sceneName), { allow_direct: true });
            await kvNodes.status();
            kvPresence = await kvm.open(presenceBucket(sceneName), { allow_direct: true });
            await kvPresence.status();
            kvAssets = await kvm.open(assetBucket(sceneName), { allow_direct: true });
            break;
        } catch (e) {
            if (nc.isClosed()) return;
            if (refused(e)) {
                stats.state = 'closed';
                setHud(`shared scene ${sceneName}: this user may not watch it`);
                await nc.close().catch(() => {});
                return;
            }
            setHud(`no scene ${sceneName} on the broker yet (${withoutCredentials(e.message, pass)}); trying again`);
            await new Promise((resolve) => setTimeout(resolve, 2000));
        }
    }
    assets = new AssetCache(
        async (key) => {
            const e = await kvAssets.get(key);
            return e && e.operation === 'PUT' ? e.value : null;
        },
        { onReady: modelReady, log, store, decoder, chunksAtOnce },
    );
    const navigatorKey = `${siteKey(me)}.0`;
    const presenceLoaded = watch(kvPresence, (key, value) => view.applyPresence(key, value));
    const nodesLoaded = watch(kvNodes, (key, value, entry) => {
        // Another site of this user took this page's navigator for left behind: it is back at once.
        if (value === null && me && key === navigatorKey) publishCamera(true);
        if (value === null && me && own.has(key)) publishOwn(own.get(key));
        if (!view.applyNode(key, value)) return;
        if (value === null) {
            arrivedAt.delete(key);
            storedAt.delete(key);
            arrivedSinceDrawn.delete(key);
            return;
        }
        arrivedAt.set(key, now());
        arrivedSinceDrawn.add(key);
        storedAt.set(key, entry.created.getTime());
    });
    Promise.all([presenceLoaded, nodesLoaded]).then(() => (bucketsLoaded = true), () => {});
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
        cleanUp();
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
// The first errors are kept for tests: a page left open does not pile them up.
const noteError = (text) => stats.errors.length < 100 && stats.errors.push(withoutCredentials(text));
window.addEventListener('error', (e) => noteError(String(e.message)));
window.addEventListener('unhandledrejection', (e) => noteError(String(e.reason)));
