// The drawing of the shared scene: one object per node the view shows, hung under its parent's,
// with its model's meshes once the model has arrived, and a head and a name for a navigator. Only
// what changed is drawn again. Also when each record arrived, was stored by the broker and was
// first drawn, for the keys seen most recently (tests and the benchmark read them).

import * as THREE from 'three';

import { avatarColor } from './avatar.js';
import { LruMap } from './cache.js';
import { siteId } from './records.js';

const timesKept = 4096;

export class MirrorObjects {
    // elements: {sites, models, labels}: the list of sites, the line about models without geometry
    // and the layer the names go on. stats: what tests read (sites, models).
    constructor({ stage, gpu, stats, elements }) {
        this.stage = stage;
        this.gpu = gpu;
        this.stats = stats;
        this.elements = elements;
        this.view = null;
        this.assets = null;
        this.listedSites = -1;
        this.objects = new Map(); // mirror key -> {object, record, meshState, meshIds, scene, waitingOn}
        this.labels = new Map(); // mirror key -> label element
        // Models on their way, and the shown mirrors that wait for them.
        this.waitingFor = new Map(); // user.hash -> mirror keys
        this.broken = new Map(); // mirror key -> why its model has no geometry
        // Objects leaving their parents, taken out once per parent at the end of a batch: a site
        // that goes with 100,000 top nodes is one pass over its parent's children, not one search
        // each.
        this.removals = new Map(); // parent -> objects leaving it
        this.arrivedAt = new LruMap(timesKept);
        this.storedAt = new LruMap(timesKept);
        this.drawnAt = new LruMap(timesKept);
        this.arrivedSinceDrawn = new Set();
    }

    // The view to draw and the models it names (both made when the page joins).
    attach(view, assets) {
        this.view = view;
        this.assets = assets;
    }

    // A record under key arrived (value null: deleted); `created` is when the broker stored it.
    arrived(key, value, created) {
        if (value === null) {
            this.arrivedAt.delete(key);
            this.storedAt.delete(key);
            this.arrivedSinceDrawn.delete(key);
            return;
        }
        this.arrivedAt.set(key, performance.timeOrigin + performance.now());
        this.arrivedSinceDrawn.add(key);
        this.storedAt.set(key, created);
    }

    // A frame went to the screen at time t.
    drawn(t) {
        for (const key of this.arrivedSinceDrawn) this.drawnAt.set(key, t);
        this.arrivedSinceDrawn.clear();
        this.placeLabels();
    }

    // Brings the drawing up to the mirror: only the nodes that changed, and those whose model
    // arrived.
    catchUp() {
        const view = this.view;
        if (!view) return;
        view.settle();
        if (view.dirty.size) {
            this.stage.redraw();
            for (const key of view.dirty) this.update(key);
            view.dirty.clear();
            this.flushRemovals();
            this.showModelProblems();
        }
        if (view.sitesVersion !== this.listedSites) {
            this.listedSites = view.sitesVersion;
            this.listSites();
            this.stage.redraw();
        }
    }

    listSites() {
        const self = this.view.self;
        this.stats.sites = this.view.present().sort((a, b) => (a.site < b.site ? -1 : 1));
        this.elements.sites.replaceChildren(
            ...this.stats.sites.map((s) => {
                const li = document.createElement('li');
                li.textContent = s.site + (self && s.site === siteId(self) ? ' (this page)' : '');
                li.style.color = avatarColor(s.user).css;
                return li;
            }),
        );
    }

    // A model is ready (or failed, or may be asked for again): the mirrors that wait for it look
    // again.
    modelReady(user, hash) {
        const id = `${user}.${hash}`;
        const keys = this.waitingFor.get(id);
        if (!keys) return;
        this.waitingFor.delete(id);
        for (const key of keys) {
            const o = this.objects.get(key);
            if (!o) continue;
            o.waitingOn = '';
            o.meshState = '';
            this.view.dirty.add(key);
        }
    }

    wait(key, o, id) {
        if (o.waitingOn === id) return;
        this.stopWaiting(key, o);
        o.waitingOn = id;
        let keys = this.waitingFor.get(id);
        if (!keys) this.waitingFor.set(id, (keys = new Set()));
        keys.add(key);
    }

    stopWaiting(key, o) {
        if (!o.waitingOn) return;
        const keys = this.waitingFor.get(o.waitingOn);
        if (keys) {
            keys.delete(key);
            if (keys.size === 0) this.waitingFor.delete(o.waitingOn);
        }
        o.waitingOn = '';
    }

    setModel(key, model) {
        if (model) this.stats.models[key] = model;
        else delete this.stats.models[key];
        if (model?.reason) this.broken.set(key, model.reason);
        else this.broken.delete(key);
    }

    showModelProblems() {
        const broken = this.broken;
        this.elements.models.textContent = broken.size ? `${broken.size} model(s) without geometry: ${broken.values().next().value}` : '';
    }

    // The drawing of the mirror under key as the view has it now: made, moved, changed or removed.
    // Returns its object while it is shown.
    update(key) {
        const view = this.view;
        const m = view.mirrors.get(key);
        const shown = m && view.shown.has(key);
        let o = this.objects.get(key);
        if (!m) {
            this.arrivedAt.delete(key);
            this.storedAt.delete(key);
            this.drawnAt.delete(key);
            this.arrivedSinceDrawn.delete(key);
        }
        if (!shown) {
            if (o) this.drop(key, o);
            return null;
        }
        if (!o) {
            const object = new THREE.Group();
            object.matrixAutoUpdate = false;
            o = { object, record: null, meshState: '', meshIds: [], scene: '', waitingOn: '' };
            this.objects.set(key, o);
        }
        // A shown node's parent is shown: made first when it is new too.
        const parentKey = m.record.parent;
        const parent = parentKey === '' ? this.stage.world : (this.objects.get(parentKey)?.object ?? this.update(parentKey)?.object);
        if (!parent) {
            this.drop(key, o);
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
        this.showMeshes(key, m, o);
        this.showHead(key, m, o);
        return o;
    }

    detach(object) {
        if (!object.parent) return;
        let gone = this.removals.get(object.parent);
        if (!gone) this.removals.set(object.parent, (gone = new Set()));
        gone.add(object);
    }

    flushRemovals() {
        for (const [parent, gone] of this.removals) {
            parent.children = parent.children.filter((c) => !gone.has(c));
            for (const c of gone) {
                c.parent = null;
                c.dispatchEvent({ type: 'removed' });
            }
        }
        this.removals.clear();
    }

    drop(key, o) {
        this.detach(o.object);
        this.clearMeshes(o);
        this.stopWaiting(key, o);
        this.objects.delete(key);
        this.setModel(key, null);
        this.removeLabel(key);
    }

    removeLabel(key) {
        const label = this.labels.get(key);
        if (!label) return;
        label.remove();
        this.labels.delete(key);
    }

    clearMeshes(o) {
        // One pass: a record may draw thousands of meshes.
        const keep = [];
        for (const c of o.object.children) {
            if (c.userData.isModel) c.parent = null;
            else keep.push(c);
        }
        o.object.children = keep;
        for (const id of o.meshIds) this.gpu.release(id);
        o.meshIds = [];
        if (o.scene) this.assets.release(o.scene);
        o.scene = '';
    }

    showMeshes(key, m, o) {
        const r = m.record;
        const user = m.site.user;
        const wanted = r.meshScene ? `${user}.${r.meshScene}:${r.meshes.join(',')}` : '';
        if (o.meshState === wanted) return;
        if (!r.meshScene) {
            this.clearMeshes(o);
            this.stopWaiting(key, o);
            o.meshState = wanted;
            this.setModel(key, null);
            return;
        }
        const found = this.assets.lookup(user, r.meshScene);
        // On its way, or failed (and perhaps asked for again later): looked at again when it is
        // ready.
        if (!found || !found.scene) this.wait(key, o, `${user}.${r.meshScene}`);
        else this.stopWaiting(key, o);
        if (!found) return;
        this.clearMeshes(o);
        o.meshState = wanted;
        if (!found.scene) {
            this.setModel(key, { triangles: 0, reason: found.reason });
            return;
        }
        // Once the model is known, a mesh list must name its meshes: one that does not is refused
        // whole.
        const count = found.scene.meshes.length;
        const past = r.meshes.find((i) => i >= count);
        if (past !== undefined) {
            const reason = `mesh index ${past} is past the model's ${count} meshes`;
            this.setModel(key, { triangles: 0, reason });
            this.view.complain(siteId(m.site), reason, user);
            return;
        }
        let triangles = 0;
        this.assets.use(r.meshScene);
        o.scene = r.meshScene;
        for (const i of r.meshes) {
            const shown = this.gpu.meshOf(r.meshScene, found.scene, i);
            o.meshIds.push(shown.id);
            triangles += shown.triangles;
            o.object.add(shown.mesh);
        }
        this.setModel(key, { triangles, reason: '' });
    }

    showHead(key, m, o) {
        const head = o.object.children.find((c) => c.userData.isHead);
        if (!m.record.navigator) {
            if (head) head.removeFromParent();
            this.removeLabel(key);
            return;
        }
        if (!head) {
            const user = m.site.user;
            o.object.add(this.gpu.head(user));
            const label = document.createElement('div');
            label.className = 'label';
            label.textContent = user;
            label.style.color = avatarColor(user).css;
            this.elements.labels.appendChild(label);
            this.labels.set(key, label);
        }
    }

    placeLabels() {
        const at = new THREE.Vector3();
        for (const [key, label] of this.labels) {
            const o = this.objects.get(key);
            if (!o) {
                label.remove();
                this.labels.delete(key);
                continue;
            }
            at.setFromMatrixPosition(o.object.matrixWorld);
            at.y += 0.22;
            at.project(this.stage.camera);
            const visible = at.z > -1 && at.z < 1;
            label.hidden = !visible;
            label.style.left = `${((at.x + 1) / 2) * window.innerWidth}px`;
            label.style.top = `${((1 - at.y) / 2) * window.innerHeight}px`;
        }
    }

    // What the page holds for the mirrors, for the benchmark and tests.
    held() {
        const view = this.view;
        return {
            objects: this.objects.size, mirrors: view?.mirrors.size ?? 0, sites: view?.sites.size ?? 0, shown: view?.shown.size ?? 0,
            waiting: this.waitingFor.size, labels: this.labels.size,
            times: this.arrivedAt.size + this.storedAt.size + this.drawnAt.size,
        };
    }
}
