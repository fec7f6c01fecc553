// The models this page places, newest last: nodes of its own site at the top of the scene, drawn
// here and published as a desktop site publishes its placed model. Files dropped or picked are read
// in a worker, checked, stored in the scene's asset bucket and hung in front of the camera; the
// desktop package's keys, and its mouse in axis mode XYZ, arrange the newest one.

import * as THREE from 'three';

import { refused } from './broker_link.js';
import { encodeRecord, siteKey } from './records.js';

// The arranging keys act along the axis mode's axis (X, Y, Z, or XYZ: all).
export const axisModes = ['X', 'Y', 'Z', 'XYZ'];
const moveStep = 0.25;
const scaleStep = 1.1;
const turnStep = 5; // degrees

// The worker that reads dropped files into the wire format; made when first needed, and made again
// after it failed.
class ImportWorker {
    constructor() {
        this.worker = null;
        this.lastId = 0;
        this.pending = new Map(); // id -> resolve
    }

    read(files) {
        if (!this.worker) {
            this.worker = new Worker('import_worker.js');
            this.worker.onmessage = ({ data }) => {
                this.pending.get(data.id)?.(data.r);
                this.pending.delete(data.id);
            };
            this.worker.onerror = (e) => {
                e.preventDefault?.();
                for (const resolve of this.pending.values()) resolve({ reason: 'the page cannot read model files here' });
                this.pending.clear();
                this.worker = null;
            };
        }
        const id = ++this.lastId;
        return new Promise((resolve) => {
            this.pending.set(id, resolve);
            this.worker.postMessage({ id, files });
        });
    }
}

export class OwnModels {
    // elements: {placing, placed}: the lines saying what is being placed and what was.
    constructor({ stage, gpu, link, log, elements }) {
        this.stage = stage;
        this.gpu = gpu;
        this.link = link;
        this.log = log;
        this.elements = elements;
        this.own = new Map(); // node key -> {key, object, record, hash, meshIds, name, triangles}
        this.nodeCounter = 0; // 0 is the navigator
        this.axisMode = 0;
        this.importer = new ImportWorker();
        // Whether the pointer turns the newest model (v held in axis mode XYZ) instead of the camera.
        this.mouseHeld = false;
    }

    newest() {
        return [...this.own.values()].pop();
    }

    showPlaced() {
        const newest = this.newest();
        this.elements.placed.textContent = newest
            ? `${newest.name}: axis ${axisModes[this.axisMode]} (z, Z), move x X, scale c C, turn v V (XYZ: hold v and drag), back n`
            : '';
    }

    // Whether v, held now, would hand the pointer to the newest model.
    turnsWithMouse() {
        return axisModes[this.axisMode] === 'XYZ' && Boolean(this.newest()) && Boolean(this.link.me);
    }

    // The desktop package's keys: z and Z step through the axis modes; x and X move by a quarter
    // of a metre along the parent's axis, c and C scale by 1.1 in the model's own axis (all three
    // in XYZ), v and V turn by 5 degrees about the model's own axis (not in XYZ, where the desktop
    // turns with the mouse); n puts it back where it was placed. Returns whether the key did
    // something.
    arrange(key) {
        const o = this.newest();
        if (!o || !this.link.me) return false;
        const axis = this.axisMode;
        const m = new THREE.Matrix4().fromArray(o.record.matrix);
        const step = new THREE.Matrix4();
        if (key === 'n') {
            m.fromArray(o.home);
        } else if (key === 'z' || key === 'Z') {
            this.axisMode = (axis + (key === 'z' ? 1 : axisModes.length - 1)) % axisModes.length;
            this.showPlaced();
            return true;
        } else if ((key === 'x' || key === 'X') && axis < 3) {
            const by = [0, 0, 0];
            by[axis] = key === 'x' ? moveStep : -moveStep;
            m.premultiply(step.makeTranslation(...by));
        } else if (key === 'c' || key === 'C') {
            const f = key === 'c' ? scaleStep : 1 / scaleStep;
            const by = axis === 3 ? [f, f, f] : [1, 1, 1].map((v, i) => (i === axis ? f : v));
            m.multiply(step.makeScale(...by));
        } else if ((key === 'v' || key === 'V') && axis < 3) {
            const angle = THREE.MathUtils.degToRad(key === 'v' ? turnStep : -turnStep);
            m.multiply(axis === 0 ? step.makeRotationX(angle) : axis === 1 ? step.makeRotationY(angle) : step.makeRotationZ(angle));
        } else {
            return false;
        }
        this.setMatrix(o, m.elements);
        return true;
    }

    // The pointer at window position (x, y), in pixels, with v held in axis mode XYZ: the newest
    // model turns by the turn step about an axis the pointer steers, as the desktop package's
    // trackball does: the axis points from the model's placed x and y to the pointer's, window
    // pixels and metres mixed as they are there, and only its direction counts.
    trackball(x, y) {
        const o = this.newest();
        if (!o || !this.link.me || axisModes[this.axisMode] !== 'XYZ') return;
        const h = THREE.MathUtils.degToRad(turnStep) / 2;
        const [hc, hs] = [Math.cos(h), Math.sin(h)];
        const dx = x - o.home[12];
        const dy = y - o.home[13];
        const d2 = dx * dx + dy * dy;
        const q = d2 > 1 ? new THREE.Quaternion((hs * dx) / Math.sqrt(d2), (hs * dy) / Math.sqrt(d2), 0, hc)
            : new THREE.Quaternion(hs * dx, hs * dy, hs * Math.sqrt(1 - d2), hc);
        const m = new THREE.Matrix4().fromArray(o.record.matrix).multiply(new THREE.Matrix4().makeRotationFromQuaternion(q.normalize()));
        this.setMatrix(o, m.elements);
    }

    setMatrix(o, elements) {
        o.record = { ...o.record, matrix: Float32Array.from(elements, (x) => Math.fround(x)) };
        o.object.matrix.fromArray(o.record.matrix);
        o.object.matrixWorldNeedsUpdate = true;
        this.stage.redraw();
        this.publish(o);
    }

    publish(o) {
        this.link.publishNode(o.key, encodeRecord(o.record));
    }

    publishAll() {
        for (const o of this.own.values()) this.publish(o);
    }

    // Files dropped or picked: read in the worker, checked, stored, hung in front of the camera. A
    // file that does not load is one line in the log, and nothing is sent.
    async place(files) {
        if (!files.length) return;
        const { link, log, elements } = this;
        const what = files.map((f) => f.name).join(', ').slice(0, 200);
        if (!link.me || !link.assets) return log(`cannot place ${what}: this page may not write to the scene`);
        elements.placing.textContent = `reading ${what}`;
        try {
            const r = await this.importer.read(files);
            if (!r.bytes) return log(`cannot place ${what}: ${r.reason}`);
            if (!link.me) return log(`cannot place ${r.name}: this page may not write to the scene`);
            elements.placing.textContent = `storing ${r.name}`;
            try {
                await link.storeAsset(r.hash, r.bytes);
            } catch (e) {
                if (refused(e)) link.becomeViewer();
                return log(`cannot place ${r.name}: storing it failed: ${e.message}`);
            }
            if (!link.me) return;
            this.hang(r);
            log(`placed ${r.name}: ${r.triangles} triangles`);
        } finally {
            elements.placing.textContent = '';
        }
    }

    // In front of the camera, far enough to see it whole, upright, at its own size.
    hang(r) {
        const camera = this.stage.camera;
        camera.updateMatrixWorld();
        const ahead = camera.getWorldDirection(new THREE.Vector3());
        const at = camera.position.clone().addScaledVector(ahead, Math.max(1.5, r.radius * 3)).sub(new THREE.Vector3(...r.center));
        const n = ++this.nodeCounter;
        const key = `${siteKey(this.link.me)}.${n}`;
        const record = {
            name: r.name, parent: '', order: n, matrix: new Float32Array(16), meshScene: r.hash, meshes: r.scene.meshes.map((_, i) => i),
            anim: -1, navigator: false,
        };
        const object = new THREE.Group();
        object.matrixAutoUpdate = false;
        const o = { key, object, record, hash: r.hash, meshIds: [], name: r.name, triangles: r.triangles };
        for (let i = 0; i < r.scene.meshes.length; ++i) {
            const shown = this.gpu.meshOf(r.hash, r.scene, i);
            o.meshIds.push(shown.id);
            object.add(shown.mesh);
        }
        this.stage.world.add(object);
        this.own.set(key, o);
        o.home = Float32Array.from(new THREE.Matrix4().makeTranslation(at.x, at.y, at.z).elements);
        this.setMatrix(o, o.home);
        this.showPlaced();
    }

    removeAll() {
        for (const o of this.own.values()) {
            o.object.removeFromParent();
            for (const id of o.meshIds) this.gpu.release(id);
        }
        this.own.clear();
        this.showPlaced();
    }

    // What tests read: the models placed and their places.
    describe() {
        return Object.fromEntries(
            [...this.own].map(([key, o]) => [key, { name: o.name, triangles: o.triangles, hash: o.hash, matrix: Array.from(o.record.matrix) }]),
        );
    }
}
