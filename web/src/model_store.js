// Models fetched before, kept in the browser's Cache API by their hash (the SHA-256 of the
// encoding, as the records name it), so that a reload shows a model without fetching it again.
// What comes out is checked against its hash again: the browser's storage is one more input.
// The store is bounded: past maxBytes the least recently used models go first.

import { sha256Hex } from './records.js';

const storeName = 'zel-models-v1';
const indexUrl = '/zel-models/index';
const modelUrl = (hash) => `/zel-models/${hash}`;
const isHash = (hash) => /^[0-9a-f]{64}$/.test(hash);

export const defaultMaxBytes = 1024 * 1024 * 1024;

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
    }

    async open() {
        if (!this.caches) return null;
        this.opened ??= this.caches.open(storeName).catch(() => null);
        return this.opened;
    }

    // hash -> {bytes, used}
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

    // The size the index gives for a kept model, or null when it is not kept.
    async size(hash) {
        if (!isHash(hash)) return null;
        const cache = await this.open();
        if (!cache) return null;
        try {
            const n = (await this.index(cache))[hash]?.bytes;
            return Number.isSafeInteger(n) && n >= 0 ? n : null;
        } catch {
            return null;
        }
    }

    // The model's encoding, or null when it is not kept or does not match its hash, or has
    // another size than `size` when that is given (then it is removed, with one line in the log;
    // the size is compared before the bytes are read).
    async take(hash, size = null) {
        if (!isHash(hash)) return null;
        const cache = await this.open();
        if (!cache) return null;
        let bytes = null;
        try {
            const r = await cache.match(modelUrl(hash));
            if (!r) return null;
            const blob = await r.blob();
            if (size === null || blob.size === size) bytes = new Uint8Array(await blob.arrayBuffer());
        } catch {
            return null;
        }
        if (bytes === null || (await sha256Hex(bytes)) !== hash) {
            this.log(`stored model ${hash.slice(0, 12)} does not match its hash; fetching it again`);
            await this.update(async (c, index) => {
                await c.delete(modelUrl(hash));
                delete index[hash];
            });
            return null;
        }
        this.update(async (c, index) => {
            if (index[hash]) index[hash].used = this.now();
        });
        return bytes;
    }

    // Keeps a model whose encoding was checked against its hash; the oldest go when the store
    // would pass its bound. A model of more than half the bound is not kept.
    keep(hash, bytes) {
        if (!isHash(hash) || bytes.byteLength > this.maxBytes / 2) return Promise.resolve();
        return this.update(async (cache, index) => {
            await cache.put(modelUrl(hash), new Response(bytes));
            index[hash] = { bytes: bytes.byteLength, used: this.now() };
            let total = Object.values(index).reduce((sum, e) => sum + (Number(e.bytes) || 0), 0);
            const oldestFirst = Object.keys(index).sort((a, b) => (index[a].used || 0) - (index[b].used || 0));
            for (const h of oldestFirst) {
                if (total <= this.maxBytes) break;
                if (h === hash) continue;
                await cache.delete(modelUrl(h));
                total -= Number(index[h].bytes) || 0;
                delete index[h];
            }
        });
    }
}
