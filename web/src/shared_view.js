// The shared scene as a desktop site sees it: mirrors of the other sites' node records and the sites
// present, kept by the same rules (record checks, limits, presence expiry). It draws nothing; the
// page asks it which nodes are shown where, and hears which of them changed.

import {
    cleanUpAfterMs, decodePresence, decodeRecord, maxDepth, maxNodesPerUser, maxSitesPerUser, parseNodeKey,
    parsePresenceKey, presenceTimeoutMs, sameSite, siteId,
} from './records.js';

const shortKey = (key) => (key.length > 64 ? `${key.slice(0, 64)}...` : key);

const identity = new Float32Array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]);
// a * b for row-vector matrices (v' = v * M, row-major), in single precision as a desktop site
// computes it: the local matrix first, then its parent's world matrix.
function multiply(a, b, c = new Float32Array(16)) {
    for (let i = 0; i < 4; ++i)
        for (let j = 0; j < 4; ++j) {
            let sum = 0;
            for (let k = 0; k < 4; ++k) sum = Math.fround(sum + Math.fround(a[i * 4 + k] * b[k * 4 + j]));
            c[i * 4 + j] = sum;
        }
    return c;
}
const finite = (m) => m.every((x) => Number.isFinite(x));
const sameMatrix = (a, b) => a.every((x, i) => Object.is(x, b[i]));

// What a record costs its user: the node and every mesh it draws (a mesh list is geometry the
// watching site builds).
const costOf = (record) => 1 + record.meshes.length;

export class SharedView {
    // self: this page's own site ({user, hex}), whose records it never mirrors. complain(line): one
    // line for the page's log. now(): milliseconds of a clock that never goes back.
    constructor({ self = null, complain = () => {}, now = () => performance.now() } = {}) {
        this.self = self;
        this.complainTo = complain;
        this.now = now;
        this.mirrors = new Map(); // key -> {site, record, cost}; live records only
        // Sites heard of: present ones and those with live records; the others are forgotten.
        this.sites = new Map(); // site id -> {user, hex, present, seen, absentSince, cleanedAt, nodes}
        this.presentSites = new Set(); // site ids
        this.presentPerUser = new Map(); // user -> sites present
        this.perUser = new Map(); // user -> nodes and meshes of its live mirrors
        this.children = new Map(); // parent key -> keys of the mirrors that name it
        this.lastComplaint = new Map(); // site id -> time
        this.userComplaints = new Map(); // user -> {since, n}
        this.navigators = new Map(); // site id -> the key of its one navigator
        // The mirrors drawn: those whose chain of parents reaches the root under a present site, at
        // most maxDepth deep, each place a float can say.
        this.shown = new Map(); // key -> {depth, world}
        // Keys whose drawing is out of date: shown or hidden, moved, or their own state changed.
        this.dirty = new Set();
        // Shown nodes whose matrix changed: their descendants' places are checked again at settle().
        this.moved = new Set();
        // The check under way: one iterator a level over the keys still to look at there, and the
        // moved keys by depth, the shallowest last, as they were when the last check ended.
        this.walk = [];
        this.order = [];
        // Grows when the sites present change.
        this.sitesVersion = 0;
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

    siteOf(site) {
        const id = siteId(site);
        let s = this.sites.get(id);
        if (!s) {
            const t = this.now();
            s = { user: site.user, hex: site.hex, present: false, seen: t, absentSince: t, cleanedAt: -Infinity, nodes: new Set() };
            this.sites.set(id, s);
        }
        return s;
    }

    forgetIfEmpty(id) {
        const s = this.sites.get(id);
        if (s && !s.present && s.nodes.size === 0) this.sites.delete(id);
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
        const user = k.site.user;
        const existing = this.mirrors.get(key);
        if (value === null) {
            if (existing) this.remove(key, id, existing);
            return true;
        }
        const r = decodeRecord(k, value);
        if (!r.value) {
            this.complain(id, r.reason, user);
            return false;
        }
        const record = r.value;
        const cost = costOf(record);
        const count = this.perUser.get(user) ?? 0;
        const more = cost - (existing ? existing.cost : 0);
        if (more > 0 && count + more > maxNodesPerUser) {
            this.complain(id, `more than ${maxNodesPerUser} nodes`, user);
            return false;
        }
        const parentChanged = !existing || existing.record.parent !== record.parent;
        // Only a node that others hang below can close a cycle, and only when its parent changes. A
        // cycle closed out of sight is never shown: nothing of it reaches the root.
        if (parentChanged && record.parent !== '' && this.children.get(key)?.size && this.shown.has(record.parent) &&
            this.closesCycle(key, record.parent)) {
            this.complain(id, 'its parent hangs below it', user);
            return false;
        }
        // A node that stays where it is must stay somewhere a float can say.
        if (!parentChanged && record.parent !== '') {
            const parentWorld = this.worldOf(record.parent);
            if (parentWorld && !finite(multiply(record.matrix, parentWorld))) {
                this.complain(id, 'its place in the scene is out of range', user);
                return false;
            }
        }
        this.perUser.set(user, count + more);
        // One navigator per site: the first node that claims it keeps it while it does.
        const holder = this.navigators.get(id);
        if (record.navigator && holder !== undefined && holder !== key) record.navigator = false;
        if (record.navigator) this.navigators.set(id, key);
        else if (holder === key) this.navigators.delete(id);

        if (existing && parentChanged) {
            this.hide(key);
            this.unlink(key, existing.record.parent);
        }
        const site = this.siteOf(k.site);
        site.nodes.add(key);
        this.mirrors.set(key, { site: k.site, record, cost });
        if (parentChanged) {
            if (record.parent !== '') {
                let list = this.children.get(record.parent);
                if (!list) this.children.set(record.parent, (list = new Set()));
                list.add(key);
            }
            this.placeIfAttached(key);
        } else if (this.shown.has(key)) {
            this.dirty.add(key);
            if (!sameMatrix(existing.record.matrix, record.matrix)) this.moved.add(key);
        } else {
            this.placeIfAttached(key); // hidden while out of range, perhaps back now
        }
        return true;
    }

    remove(key, id, m) {
        this.hide(key);
        this.unlink(key, m.record.parent);
        this.mirrors.delete(key);
        this.moved.delete(key);
        this.dirty.add(key);
        if (this.navigators.get(id) === key) this.navigators.delete(id);
        this.perUser.set(m.site.user, this.perUser.get(m.site.user) - m.cost);
        if (this.perUser.get(m.site.user) === 0) this.perUser.delete(m.site.user);
        const s = this.sites.get(id);
        if (s) {
            s.nodes.delete(key);
            this.forgetIfEmpty(id);
        }
    }

    unlink(key, parent) {
        if (parent === '') return;
        const list = this.children.get(parent);
        if (list) {
            list.delete(key);
            if (list.size === 0) this.children.delete(parent);
        }
    }

    // Asked only for a shown parent, whose chain reaches the root within the depth limit.
    closesCycle(key, parent) {
        let at = parent;
        for (let steps = 0; at !== '' && steps <= maxDepth; ++steps) {
            if (at === key) return true;
            const m = this.mirrors.get(at);
            if (!m) return false;
            at = m.record.parent;
        }
        return false;
    }

    // Shows key and what hangs below it when its parent is shown (or it is a top node of a site
    // present).
    placeIfAttached(key) {
        const m = this.mirrors.get(key);
        if (m.record.parent === '') {
            if (this.sites.get(siteId(m.site))?.present) this.place(key, 1, identity);
            return;
        }
        const p = this.shown.get(m.record.parent);
        if (p && p.depth < maxDepth) this.place(key, p.depth + 1, p.world);
    }

    // Puts key at depth below parentWorld and brings everything below it up to date: shown where its
    // place is finite, hidden (with what hangs below it) where it is not.
    place(key, depth, parentWorld) {
        const stack = [[key, depth, parentWorld]];
        while (stack.length) {
            const [at, d, pw] = stack.pop();
            const m = this.mirrors.get(at);
            const world = multiply(m.record.matrix, pw);
            if (!finite(world)) {
                this.complain(siteId(m.site), 'its place in the scene is out of range', m.site.user);
                this.hide(at);
                continue;
            }
            const was = this.shown.get(at);
            if (!was || was.depth !== d) this.dirty.add(at);
            this.shown.set(at, { depth: d, world });
            if (d >= maxDepth) continue;
            const kids = this.children.get(at);
            if (kids) for (const c of kids) stack.push([c, d + 1, world]);
        }
    }

    // Hides key and everything shown below it.
    hide(key) {
        if (!this.shown.has(key)) return;
        const stack = [key];
        while (stack.length) {
            const at = stack.pop();
            if (!this.shown.delete(at)) continue;
            this.dirty.add(at);
            const kids = this.children.get(at);
            if (kids) for (const c of kids) stack.push(c);
        }
    }

    // Checks again the places of everything below the nodes that moved: a move may take a
    // descendant out of range, or bring one back. One walk per moved subtree, from the shallowest
    // moved node, so that a node whose ancestor moved too costs nothing more. It looks at least at
    // atLeast nodes, then stops once budgetMs have passed and goes on from there at the next call.
    // True while nodes remain to be looked at.
    settle(budgetMs = 8, atLeast = 256) {
        const until = this.now() + budgetMs;
        for (let steps = 0; ; ) {
            if (this.walk.length === 0) {
                if (this.order.length === 0) {
                    if (this.moved.size === 0) return false;
                    const depth = (key) => this.shown.get(key)?.depth ?? 0;
                    this.order = [...this.moved].sort((a, b) => depth(b) - depth(a));
                }
                const top = this.order.pop();
                // Walked already, or gone.
                if (!this.moved.delete(top) || !this.shown.has(top)) continue;
                this.walk.push([top].values());
            }
            const next = this.walk[this.walk.length - 1].next();
            if (next.done) this.walk.pop();
            else this.visit(next.value);
            if (++steps >= atLeast && steps % 64 === 0 && this.now() >= until) return true;
        }
    }

    // One step of the check: key's place by its parent's as it is shown now; shown there with what
    // hangs below it to look at next (one at a time: a node may have a hundred thousand children),
    // or hidden with it when out of range.
    visit(key) {
        const m = this.mirrors.get(key);
        if (!m) return;
        this.moved.delete(key);
        let depth = 1;
        let parentWorld = identity;
        if (m.record.parent !== '') {
            const p = this.shown.get(m.record.parent);
            if (!p || p.depth >= maxDepth) return;
            depth = p.depth + 1;
            parentWorld = p.world;
        } else if (!this.sites.get(siteId(m.site))?.present) {
            return;
        }
        // Into the array it had: a walk of a hundred thousand nodes makes no garbage.
        const was = this.shown.get(key);
        const world = multiply(m.record.matrix, parentWorld, was?.world);
        if (!finite(world)) {
            this.complain(siteId(m.site), 'its place in the scene is out of range', m.site.user);
            this.hide(key);
            return;
        }
        if (!was || was.depth !== depth) this.dirty.add(key);
        if (was) was.depth = depth;
        else this.shown.set(key, { depth, world });
        const kids = this.children.get(key);
        if (kids && depth < maxDepth) this.walk.push(kids.values());
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
            if (s && s.present) this.setPresent(id, s, false);
            if (s) this.forgetIfEmpty(id);
            return true;
        }
        const p = decodePresence(site, value);
        if (!p.value) {
            this.complain(id, p.reason, site.user);
            return false;
        }
        const known = this.sites.get(id);
        if (!known?.present && (this.presentPerUser.get(site.user) ?? 0) >= maxSitesPerUser) {
            this.complain(id, `more than ${maxSitesPerUser} sites present`, site.user);
            return false;
        }
        const s = known ?? this.siteOf(site);
        s.seen = this.now();
        if (!s.present) this.setPresent(id, s, true);
        return true;
    }

    setPresent(id, s, present) {
        s.present = present;
        ++this.sitesVersion;
        const n = (this.presentPerUser.get(s.user) ?? 0) + (present ? 1 : -1);
        if (n) this.presentPerUser.set(s.user, n);
        else this.presentPerUser.delete(s.user);
        if (present) this.presentSites.add(id);
        else {
            this.presentSites.delete(id);
            s.absentSince = this.now();
        }
        for (const key of s.nodes) {
            if (this.mirrors.get(key).record.parent !== '') continue;
            if (present) this.place(key, 1, identity);
            else this.hide(key);
        }
    }

    // Sites not heard of for the timeout are gone.
    expire() {
        const t = this.now();
        for (const id of [...this.presentSites]) {
            const s = this.sites.get(id);
            if (t - s.seen > presenceTimeoutMs && !(this.self && id === siteId(this.self))) {
                this.setPresent(id, s, false);
                this.forgetIfEmpty(id);
            }
        }
    }

    // Keys of the records of this page's user's other sites that have been gone for the clean-up
    // time: a site that could not say goodbye left them. Each such site is named again only after
    // the same time, should its deletes not land.
    staleKeysOfOwnUser() {
        if (!this.self) return [];
        const t = this.now();
        const keys = [];
        for (const s of this.sites.values()) {
            if (s.user !== this.self.user || s.present || s.nodes.size === 0 || t - s.absentSince <= cleanUpAfterMs ||
                t - s.cleanedAt <= cleanUpAfterMs)
                continue;
            s.cleanedAt = t;
            keys.push(...s.nodes);
        }
        return keys;
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
        return [...this.presentSites].map((id) => ({ site: id, user: this.sites.get(id).user }));
    }

    // The mirrors shown, in tree order: each {key, site, record, parent (key or ''), depth}, parents
    // before children, siblings in (site, order, key) order. For tests and tools: the page itself
    // follows `dirty`.
    visible() {
        const rank = (a, b) => {
            const x = this.mirrors.get(a);
            const y = this.mirrors.get(b);
            if (x.site.user !== y.site.user) return x.site.user < y.site.user ? -1 : 1;
            if (x.site.hex !== y.site.hex) return x.site.hex < y.site.hex ? -1 : 1;
            if (x.record.order !== y.record.order) return x.record.order < y.record.order ? -1 : 1;
            return a < b ? -1 : a > b ? 1 : 0;
        };
        const out = [];
        const roots = [...this.shown.keys()].filter((key) => this.mirrors.get(key).record.parent === '');
        const stack = roots.sort(rank).reverse();
        while (stack.length) {
            const key = stack.pop();
            const m = this.mirrors.get(key);
            out.push({ key, site: m.site, record: m.record, parent: m.record.parent, depth: this.shown.get(key).depth });
            const kids = [...(this.children.get(key) ?? [])].filter((c) => this.shown.has(c));
            stack.push(...kids.sort(rank).reverse());
        }
        return out;
    }
}
