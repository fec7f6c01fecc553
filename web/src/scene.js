// The shared scene as a desktop site sees it: mirrors of the other sites' node records and the sites
// present, kept by the same rules (record checks, limits, presence expiry). It draws nothing; the
// page asks it which nodes to show where.

import {
    decodePresence, decodeRecord, maxDepth, maxNodesPerUser, parseNodeKey, parsePresenceKey,
    presenceTimeoutMs, sameSite, siteId,
} from './records.js';

const shortKey = (key) => (key.length > 64 ? `${key.slice(0, 64)}...` : key);

const identity = new Float32Array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]);
// a * b for row-vector matrices (v' = v * M, row-major), in single precision as a desktop site
// computes it: the local matrix first, then its parent's world matrix.
function multiply(a, b) {
    const c = new Float32Array(16);
    for (let i = 0; i < 4; ++i)
        for (let j = 0; j < 4; ++j) {
            let sum = 0;
            for (let k = 0; k < 4; ++k) sum = Math.fround(sum + Math.fround(a[i * 4 + k] * b[k * 4 + j]));
            c[i * 4 + j] = sum;
        }
    return c;
}
const finite = (m) => m.every((x) => Number.isFinite(x));

export class SharedView {
    // self: this page's own site ({user, hex}), whose records it never mirrors. complain(line): one
    // line for the page's log. now(): milliseconds.
    constructor({ self = null, complain = () => {}, now = () => Date.now() } = {}) {
        this.self = self;
        this.complainTo = complain;
        this.now = now;
        this.mirrors = new Map(); // key -> {site, record}; live records only
        this.sites = new Map(); // site id -> {user, hex, present, seen}
        this.perUser = new Map(); // user -> live mirrors
        this.lastComplaint = new Map(); // site id -> time
        this.userComplaints = new Map(); // user -> {since, n}
        this.navigators = new Map(); // site id -> the key of its one navigator
        // Grows when what is shown where changes: a node added or deleted, moved to another parent
        // or place, a site arriving or leaving. A change of a shown node's own state (matrix, name,
        // mesh) instead puts its key in `changed`.
        this.version = 0;
        this.changed = new Set();
    }

    // At most one line per site a second and five a second per user, however many sites it makes
    // up; control characters shown as \xNN.
    complain(who, what, user = '') {
        const t = this.now();
        if (this.lastComplaint.size > 10000) this.lastComplaint.clear();
        const last = this.lastComplaint.get(who);
        if (last !== undefined && t - last < 1000) return;
        let u = this.userComplaints.get(user);
        if (!u || t - u.since >= 1000) this.userComplaints.set(user, (u = { since: t, n: 0 }));
        if (this.userComplaints.size > 10000) this.userComplaints.clear();
        if (++u.n > 5) return;
        this.lastComplaint.set(who, t);
        const printable = (text) => text.replace(/[\x00-\x1f\x7f]/g, (c) => `\\x${c.charCodeAt(0).toString(16).padStart(2, '0')}`);
        this.complainTo(`shared scene: dropped a record of ${printable(who)}: ${printable(what)}`);
    }

    // A node bucket entry: value null for a delete. False when it was dropped.
    applyNode(key, value) {
        const k = parseNodeKey(key);
        if (!k) {
            this.complain(shortKey(key), 'bad key');
            return false;
        }
        if (this.self && sameSite(k.site, this.self)) return true;
        const id = siteId(k.site);
        const existing = this.mirrors.get(key);
        if (value === null) {
            if (existing) {
                this.mirrors.delete(key);
                if (this.navigators.get(id) === key) this.navigators.delete(id);
                this.perUser.set(k.site.user, this.perUser.get(k.site.user) - 1);
                ++this.version;
            }
            return true;
        }
        const r = decodeRecord(k, value);
        if (!r.value) {
            this.complain(id, r.reason, k.site.user);
            return false;
        }
        const count = this.perUser.get(k.site.user) ?? 0;
        if (!existing && count >= maxNodesPerUser) {
            this.complain(id, `more than ${maxNodesPerUser} nodes`, k.site.user);
            return false;
        }
        if (this.closesCycle(key, r.value.parent)) {
            this.complain(id, 'its parent hangs below it', k.site.user);
            return false;
        }
        // A node that stays where it is must stay somewhere a float can say.
        if (existing && existing.record.parent === r.value.parent && r.value.parent !== '') {
            const parentWorld = this.worldOf(r.value.parent);
            if (parentWorld && !finite(multiply(r.value.matrix, parentWorld))) {
                this.complain(id, 'its place in the scene is out of range', k.site.user);
                return false;
            }
        }
        if (!existing) this.perUser.set(k.site.user, count + 1);
        // One navigator per site: the first node that claims it keeps it while it does.
        const holder = this.navigators.get(id);
        if (r.value.navigator && holder !== undefined && holder !== key) r.value.navigator = false;
        if (r.value.navigator) this.navigators.set(id, key);
        else if (holder === key) this.navigators.delete(id);
        this.mirrors.set(key, { site: k.site, record: r.value });
        if (!existing || existing.record.parent !== r.value.parent || existing.record.order !== r.value.order) ++this.version;
        else this.changed.add(key);
        return true;
    }

    closesCycle(key, parent) {
        let at = parent;
        for (let steps = 0; at !== '' && steps <= maxNodesPerUser + 1; ++steps) {
            if (at === key) return true;
            const m = this.mirrors.get(at);
            if (!m) return false;
            at = m.record.parent;
        }
        return at !== '';
    }

    // A presence bucket entry: value null for a delete (or purge).
    applyPresence(key, value) {
        const site = parsePresenceKey(key);
        if (!site) {
            this.complain(shortKey(key), 'bad presence key');
            return false;
        }
        const id = siteId(site);
        if (value === null) {
            const s = this.sites.get(id);
            if (s && s.present) {
                s.present = false;
                ++this.version;
            }
            return true;
        }
        const p = decodePresence(site, value);
        if (!p.value) {
            this.complain(id, p.reason, site.user);
            return false;
        }
        let s = this.sites.get(id);
        if (!s) this.sites.set(id, (s = { user: site.user, hex: site.hex, present: false, seen: 0 }));
        s.seen = this.now();
        if (!s.present) {
            s.present = true;
            ++this.version;
        }
        return true;
    }

    // Sites not heard of for the timeout are gone.
    expire() {
        const t = this.now();
        for (const [id, s] of this.sites) {
            if (s.present && t - s.seen > presenceTimeoutMs && !(this.self && id === siteId(this.self))) {
                s.present = false;
                ++this.version;
            }
        }
    }

    // The world matrix of the mirror under key, or null when its chain of parents is broken.
    worldOf(key) {
        const chain = [];
        for (let at = key; at !== '' && chain.length <= maxDepth; ) {
            const m = this.mirrors.get(at);
            if (!m) return null;
            chain.push(m.record.matrix);
            at = m.record.parent;
        }
        let world = identity;
        for (let i = chain.length - 1; i >= 0; --i) world = multiply(chain[i], world);
        return world;
    }

    present() {
        return [...this.sites].filter(([, s]) => s.present).map(([id, s]) => ({ site: id, user: s.user }));
    }

    // The mirrors to draw: those whose chain of parents reaches the root, under a present site, at
    // most maxDepth deep. Each: {key, site, record, parent (key or ''), depth}, parents before
    // children, siblings in (site, order, key) order.
    visible() {
        const children = new Map();
        for (const [key, m] of this.mirrors) {
            const list = children.get(m.record.parent);
            if (list) list.push(key);
            else children.set(m.record.parent, [key]);
        }
        const rank = (a, b) => {
            const x = this.mirrors.get(a);
            const y = this.mirrors.get(b);
            if (x.site.user !== y.site.user) return x.site.user < y.site.user ? -1 : 1;
            if (x.site.hex !== y.site.hex) return x.site.hex < y.site.hex ? -1 : 1;
            if (x.record.order !== y.record.order) return x.record.order < y.record.order ? -1 : 1;
            return a < b ? -1 : a > b ? 1 : 0;
        };
        const out = [];
        const roots = (children.get('') ?? []).filter((key) => {
            const s = this.sites.get(siteId(this.mirrors.get(key).site));
            return s && s.present;
        });
        const stack = roots.sort(rank).reverse().map((key) => [key, 1, identity]);
        while (stack.length) {
            const [key, depth, parentWorld] = stack.pop();
            const m = this.mirrors.get(key);
            const world = multiply(m.record.matrix, parentWorld);
            if (!finite(world)) {
                this.complain(siteId(m.site), 'its place in the scene is out of range', m.site.user);
                continue;
            }
            out.push({ key, site: m.site, record: m.record, parent: m.record.parent, depth });
            if (depth >= maxDepth) continue;
            const kids = children.get(key);
            if (kids) for (const c of kids.sort(rank).reverse()) stack.push([c, depth + 1, world]);
        }
        return out;
    }
}
