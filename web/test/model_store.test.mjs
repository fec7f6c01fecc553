// Models kept in the browser's storage: what comes out must match its hash, and the store keeps
// to its bound, the least recently used going first.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { test } from 'node:test';

import { ModelStore } from '../src/model_store.js';

// Node.js 18 has the Web Crypto API only as a module.
if (!globalThis.crypto) globalThis.crypto = (await import('node:crypto')).webcrypto;

const sha = (b) => createHash('sha256').update(b).digest('hex');

// The Cache API as far as the store uses it, in memory.
function fakeCaches() {
    const entries = new Map();
    const cache = {
        entries,
        match: async (url) => (entries.has(url) ? new Response(entries.get(url)) : undefined),
        put: async (url, response) => void entries.set(url, new Uint8Array(await response.arrayBuffer())),
        delete: async (url) => entries.delete(url),
    };
    return { cache, open: async () => cache };
}

const bytes = (n, fill) => new Uint8Array(n).fill(fill);

test('a stored model comes back only while it matches its hash', async () => {
    const caches = fakeCaches();
    const lines = [];
    const store = new ModelStore({ caches, log: (l) => lines.push(l) });
    const model = bytes(1000, 7);
    const hash = sha(model);
    await store.keep(hash, model);
    assert.deepEqual(await store.take(hash), model);
    // Changed in the browser's storage: refused with one line, removed, fetched again.
    caches.cache.entries.set(`/zel-models/${hash}`, bytes(1000, 8));
    assert.equal(await store.take(hash), null);
    assert.equal(lines.length, 1);
    assert.match(lines[0], /does not match its hash/);
    assert.equal(caches.cache.entries.has(`/zel-models/${hash}`), false);
    assert.equal(await store.take('not a hash'), null);
    // Without the Cache API (no secure context) nothing is kept and nothing fails.
    const none = new ModelStore({ caches: undefined });
    await none.keep(hash, model);
    assert.equal(await none.take(hash), null);
});

test('the bound removes the least recently used first', async () => {
    const caches = fakeCaches();
    let clock = 0;
    const store = new ModelStore({ caches, maxBytes: 3000, now: () => ++clock });
    const models = [1, 2, 3].map((n) => bytes(1000, n));
    const hashes = models.map(sha);
    for (let i = 0; i < 3; ++i) await store.keep(hashes[i], models[i]);
    // A use makes the oldest the newest; the next model then pushes out the second.
    assert.ok(await store.take(hashes[0]));
    await store.queue;
    const fourth = bytes(1000, 4);
    await store.keep(sha(fourth), fourth);
    const held = (h) => caches.cache.entries.has(`/zel-models/${h}`);
    assert.deepEqual([held(hashes[0]), held(hashes[1]), held(hashes[2]), held(sha(fourth))], [true, false, true, true]);
    // More than half the bound is not kept at all.
    const large = bytes(1600, 5);
    await store.keep(sha(large), large);
    assert.equal(held(sha(large)), false);
});
