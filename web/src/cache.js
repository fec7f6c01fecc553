// Bounded bookkeeping for a page that stays open for days: a map that forgets its least recently
// used entries, resources shared by reference count and freed some time after their last user
// goes, and one byte budget shared by everything fetched at once.

// A Map of at most `limit` entries; setting or touching an entry makes it the newest, and the
// oldest goes when there are too many (onEvict(key, value) hears of it).
export class LruMap extends Map {
    constructor(limit, onEvict = () => {}) {
        super();
        this.limit = limit;
        this.onEvict = onEvict;
    }

    set(key, value) {
        super.delete(key);
        super.set(key, value);
        while (this.size > this.limit) {
            const [oldest, v] = super.entries().next().value;
            super.delete(oldest);
            this.onEvict(oldest, v);
        }
        return this;
    }

    // The value, made the newest.
    touch(key) {
        if (!super.has(key)) return undefined;
        const v = super.get(key);
        super.delete(key);
        super.set(key, v);
        return v;
    }
}

// Resources made once per id and shared: acquire() makes or reuses, release() gives one use back.
// An unused resource is kept a while among the `idle` most recently unused, then disposed.
export class SharedResources {
    constructor({ make, dispose = () => {}, idle = 64 }) {
        this.make = make;
        this.dispose = dispose;
        this.used = new Map(); // id -> {value, refs}
        this.idle = new LruMap(idle, (id, value) => this.dispose(value, id));
    }

    acquire(id, ...args) {
        let e = this.used.get(id);
        if (!e) {
            const value = this.idle.has(id) ? this.idle.get(id) : this.make(id, ...args);
            this.idle.delete(id);
            this.used.set(id, (e = { value, refs: 0 }));
        }
        ++e.refs;
        return e.value;
    }

    release(id) {
        const e = this.used.get(id);
        if (!e || --e.refs > 0) return;
        this.used.delete(id);
        this.idle.set(id, e.value);
    }

    get size() {
        return this.used.size + this.idle.size;
    }

    // Disposes of everything unused now.
    trim() {
        for (const [id, value] of this.idle) this.dispose(value, id);
        this.idle.clear();
    }
}

// Bytes that may be held at once by everything in flight. take(n) waits, first come first served,
// until n bytes are free; give(n) returns them. n above the limit is never granted: it is refused.
export class ByteBudget {
    constructor(limit) {
        this.limit = limit;
        this.held = 0;
        this.peak = 0;
        this.waiting = [];
    }

    take(n) {
        if (n > this.limit) return Promise.reject(new Error(`${n} bytes exceed the budget of ${this.limit}`));
        return new Promise((resolve) => {
            this.waiting.push({ n, resolve });
            this.grant();
        });
    }

    give(n) {
        this.held -= n;
        this.grant();
    }

    grant() {
        while (this.waiting.length && this.held + this.waiting[0].n <= this.limit) {
            const { n, resolve } = this.waiting.shift();
            this.held += n;
            this.peak = Math.max(this.peak, this.held);
            resolve();
        }
    }
}
