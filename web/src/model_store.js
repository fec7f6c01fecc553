// Models fetched before, kept in the browser's Cache API by their hash (the SHA-256 of the
// encoding, as the records name it), so that a reload shows a model without fetching it again.
// A model is kept chunk by chunk as it arrives, under an index entry that says it is not complete;
// once its hash is checked the entry says it is, so a tab closed the moment the model shows still
// keeps it. One that fails is removed. What comes out is checked against its hash again: the
// browser's storage is one more input. The store is bounded: past maxBytes the least recently used
// models go first, incomplete ones too.

import { sha256Hex } from './records.js';

const storeName = 'zel-models-v2';
// Stores of earlier versions of the page, removed when the store opens.
const oldStores = ['zel-models-v1'];
const indexUrl = '/zel-models/index';
const partUrl = (hash, i) => `/zel-models/${hash}/${i}`;
const isHash = (hash) => /^[0-9a-f]{64}$/.test(hash);
// An incomplete model nobody wrote to for this long was left by a tab that closed mid-way.
const abandonedAfterMs = 10 * 60 * 1000;
const keepChunkBytes = 1024 * 1024;
// Chunks read from the storage at once.
const readsAtOnce = 4;

export const defaultMaxBytes = 1024 * 1024 * 1024;

// The entry's layout when it is a sound one: {bytes, chunks, chunk} with the chunks adding up.
function layout(e) {
    if (!e || typeof e !== 'object') return null;
    const { bytes, chunks, chunk } = e;
    if (![bytes, chunks, chunk].every((n) => Number.isSafeInteger(n) && n >= 0) || chunk === 0) return null;
    if (chunks !== Math.ceil(bytes / chunk)) return null;
    return { bytes, chunks, chunk };
}

export class ModelStore {
    // caches: the Cache API (globalThis.caches, which only a secure context such as
    // http://127.0.0.1 or https has); without it the store keeps nothing.
    constructor({ caches = globalThis.caches, maxBytes = defaultMaxBytes, log = () => {}, now = Date.now } = {}) {
        this.caches = caches;
        this.now = now;
        this.maxBytes = maxBytes;
        this.log = log;
        this.opened = null;
        this.queue = Promise.resolve(); // index updates, one at a time
        this.writing = new Set(); // hashes being kept by this page
        this.early = new Map(); // hash -> take() started by warmUp()
    }

    // Starts reading the most recently used models, at most maxBytes of them, while the page joins
    // its scene: a reload is likely to name them again. take() then gets them from there; what no
    // record asked for within keepMs is let go.
    async warmUp({ maxBytes = 256 * 2 ** 20, most = 4, keepMs = 30000 } = {}) {
        const cache = await this.open();
        if (!cache) return;
        const index = await this.index(cache).catch(() => ({}));
        let total = 0;
        const newestFirst = Object.keys(index).filter((h) => index[h]?.complete && layout(index[h]))
            .sort((a, b) => (index[b].used || 0) - (index[a].used || 0));
        for (const hash of newestFirst.slice(0, most)) {
            total += index[hash].bytes;
            if (total > maxBytes) break;
            this.early.set(hash, this.read(hash, index[hash].bytes));
            setTimeout(() => this.early.delete(hash), keepMs);
        }
    }

    async open() {
        if (!this.caches) return null;
        this.opened ??= (async () => {
            for (const old of oldStores) await this.caches.delete?.(old).catch(() => {});
            const cache = await this.caches.open(storeName);
            // Models that a closed tab left half written.
            this.update(async (c, index) => {
                for (const [hash, e] of Object.entries(index))
                    if (!e?.complete && !(this.now() - (e?.used || 0) < abandonedAfterMs)) await this.remove(c, index, hash);
            });
            return cache;
        })().catch(() => null);
        return this.opened;
    }

    // hash -> {bytes, chunks, chunk, used, complete}
    async index(cache) {
        const r = await cache.match(indexUrl);
        if (!r) return {};
        try {
            const j = JSON.parse(await r.text());
            return j && typeof j === 'object' && !Array.isArray(j) ? j : {};
        } catch {
            return {};
        }
    }

    update(change) {
        this.queue = this.queue.then(async () => {
            const cache = await this.open();
            if (!cache) return;
            const index = await this.index(cache);
            await change(cache, index);
            await cache.put(indexUrl, new Response(JSON.stringify(index)));
        }).catch(() => {});
        return this.queue;
    }

    async remove(cache, index, hash) {
        const l = layout(index[hash]);
        delete index[hash];
        if (!isHash(hash) || !l) return;
        await Promise.all(Array.from({ length: l.chunks }, (_, i) => cache.delete(partUrl(hash, i)).catch(() => {})));
    }

    // The oldest go while the store holds more than its bound (never `keep`).
    async trim(cache, index, keep) {
        let total = Object.values(index).reduce((sum, e) => sum + (Number(e?.bytes) || 0), 0);
        const oldestFirst = Object.keys(index).sort((a, b) => (index[a]?.used || 0) - (index[b]?.used || 0));
        for (const h of oldestFirst) {
            if (total <= this.maxBytes) break;
            if (h === keep) continue;
            total -= Number(index[h]?.bytes) || 0;
            await this.remove(cache, index, h);
        }
    }

    // The size the index gives for a complete model, or null when it is not kept.
    async size(hash) {
        if (!isHash(hash)) return null;
        const cache = await this.open();
        if (!cache) return null;
        try {
            const e = (await this.index(cache))[hash];
            return e?.complete && layout(e) ? e.bytes : null;
        } catch {
            return null;
        }
    }

    // The model's encoding, or null when it is not kept or does not match its hash, or has
    // another size than `size` when that is given (then it is removed, with one line in the log;
    // the sizes are compared before the bytes are read).
    async take(hash, size = null) {
        if (!isHash(hash)) return null;
        const early = this.early.get(hash);
        if (early) {
            this.early.delete(hash);
            const bytes = await early;
            if (bytes && (size === null || bytes.byteLength === size)) return bytes;
        }
        return this.read(hash, size);
    }

    async read(hash, size) {
        const cache = await this.open();
        if (!cache) return null;
        let bytes = null;
        try {
            const e = (await this.index(cache))[hash];
            const l = e?.complete ? layout(e) : null;
            if (!l) return null;
            if (size === null || l.bytes === size) {
                const whole = new Uint8Array(l.bytes);
                // A few chunks read at a time; each must have its size.
                let next = 0;
                let sound = true;
                const reader = async () => {
                    for (let i; sound && (i = next++) < l.chunks; ) {
                        const r = await cache.match(partUrl(hash, i));
                        const part = r ? new Uint8Array(await r.arrayBuffer()) : null;
                        if (!part || part.byteLength !== Math.min(l.chunk, l.bytes - i * l.chunk)) sound = false;
                        else whole.set(part, i * l.chunk);
                    }
                };
                await Promise.all(Array.from({ length: readsAtOnce }, reader));
                if (sound) bytes = whole;
            }
        } catch {
            return null;
        }
        if (bytes === null || (await sha256Hex(bytes)) !== hash) {
            this.log(`stored model ${hash.slice(0, 12)} does not match its hash; fetching it again`);
            await this.update((c, index) => this.remove(c, index, hash));
            return null;
        }
        this.update(async (c, index) => {
            if (index[hash]) index[hash].used = this.now();
        });
        return bytes;
    }

    // A writer for a model of `size` bytes arriving in chunks of `chunk` bytes: put(i, bytes) keeps
    // chunk i as it arrives; finish() marks the model complete once its hash was checked (resolves
    // when that is written); abort() removes what was kept. Null when nothing is to be kept: no
    // storage, or a model of more than half the bound.
    begin(hash, size, chunk) {
        const l = layout({ bytes: size, chunks: Math.ceil(size / chunk), chunk });
        // One writer per model: the same model fetched for two users at once is kept once.
        if (!this.caches || !isHash(hash) || !l || size > this.maxBytes / 2 || this.writing.has(hash)) return null;
        this.writing.add(hash);
        // The entry is written before any chunk: nothing is stored that the index does not name.
        const started = this.update(async (cache, index) => {
            await this.remove(cache, index, hash);
            index[hash] = { ...l, used: this.now(), complete: false };
            await this.trim(cache, index, hash);
        });
        const puts = [];
        let failed = false;
        let ended = false;
        return {
            put: (i, bytes) => {
                if (ended || failed) return;
                // The Response takes a copy of the bytes now.
                const body = new Response(bytes);
                puts.push(started.then(async () => {
                    const cache = await this.open();
                    await cache.put(partUrl(hash, i), body);
                }).catch(() => void (failed = true)));
            },
            finish: async () => {
                if (ended) return;
                ended = true;
                await Promise.all(puts);
                await this.update(async (cache, index) => {
                    if (failed || !index[hash]) await this.remove(cache, index, hash);
                    else index[hash] = { ...index[hash], used: this.now(), complete: true };
                });
                this.writing.delete(hash);
            },
            abort: async () => {
                if (ended) return;
                ended = true;
                await Promise.all(puts);
                await this.update((cache, index) => this.remove(cache, index, hash));
                this.writing.delete(hash);
            },
        };
    }

    // Keeps a whole model whose encoding was checked against its hash.
    async keep(hash, bytes) {
        const w = this.begin(hash, bytes.byteLength, keepChunkBytes);
        if (!w) return;
        for (let at = 0, i = 0; at < bytes.byteLength; at += keepChunkBytes, ++i) w.put(i, bytes.subarray(at, at + keepChunkBytes));
        await w.finish();
    }
}
