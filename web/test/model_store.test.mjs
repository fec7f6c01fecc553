// Models kept in the browser's storage: what comes out must match its hash, and the store keeps
// to its bound, the least recently used going first.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { test } from 'node:test';

import { ModelStore } from '../src/model_store.js';
import { memoryCaches } from './memory_caches.mjs';

// Node.js 18 has the Web Crypto API only as a module.
if (!globalThis.crypto) globalThis.crypto = (await import('node:crypto')).webcrypto;

const sha = (b) => createHash('sha256').update(b).digest('hex');

const bytes = (n, fill) => new Uint8Array(n).fill(fill);

test('a stored model comes back only while it matches its hash', async () => {
    const caches = memoryCaches();
    const lines = [];
    const store = new ModelStore({ caches, log: (l) => lines.push(l) });
    const model = bytes(1000, 7);
    const hash = sha(model);
    await store.keep(hash, model);
    assert.deepEqual(await store.take(hash), model);
    // Changed in the browser's storage: refused with one line, removed, fetched again.
    caches.cache.entries.set(`/zel-models/${hash}/0`, bytes(1000, 8));
    assert.equal(await store.take(hash), null);
    assert.equal(lines.length, 1);
    assert.match(lines[0], /does not match its hash/);
    assert.equal(caches.cache.entries.has(`/zel-models/${hash}/0`), false);
    assert.equal(await store.take('not a hash'), null);
    // Without the Cache API (no secure context) nothing is kept and nothing fails.
    const none = new ModelStore({ caches: undefined });
    await none.keep(hash, model);
    assert.equal(await none.take(hash), null);
});

test('the bound removes the least recently used first', async () => {
    const caches = memoryCaches();
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
    const held = (h) => caches.cache.entries.has(`/zel-models/${h}/0`);
    assert.deepEqual([held(hashes[0]), held(hashes[1]), held(hashes[2]), held(sha(fourth))], [true, false, true, true]);
    // More than half the bound is not kept at all.
    const large = bytes(1600, 5);
    await store.keep(sha(large), large);
    assert.equal(held(sha(large)), false);
});

test('a model is kept as its chunks arrive, shown as kept once finished, and removed when it fails or is left half way', async () => {
    const caches = memoryCaches();
    let clock = 0;
    const store = new ModelStore({ caches, now: () => clock });
    const model = new Uint8Array(2500).map((_, i) => i * 13);
    const hash = sha(model);
    const parts = () => [...caches.cache.entries.keys()].filter((k) => k.startsWith(`/zel-models/${hash}/`)).length;
    const arrive = (w) => [2, 0, 1].forEach((i) => w.put(i, model.subarray(i * 1000, (i + 1) * 1000)));

    // Chunks in any order; not taken before it is finished, then whole.
    let w = store.begin(hash, model.length, 1000);
    // The same model fetched for another user meanwhile is kept once.
    assert.equal(store.begin(hash, model.length, 1000), null);
    arrive(w);
    await store.queue;
    assert.equal(await store.size(hash), null);
    assert.equal(await store.take(hash), null);
    await w.finish();
    assert.equal(await store.size(hash), 2500);
    assert.deepEqual(await store.take(hash), model);

    // A fetch that failed its checks takes its chunks away.
    w = store.begin(hash, model.length, 1000);
    arrive(w);
    await w.abort();
    assert.equal(parts(), 0);
    assert.equal(await store.size(hash), null);

    // A tab closed half way: the next page to open the store a while later removes the rest.
    w = store.begin(hash, model.length, 1000);
    w.put(0, model.subarray(0, 1000));
    await new Promise((resolve) => setTimeout(resolve, 20));
    await store.queue;
    assert.equal(parts(), 1);
    clock += 11 * 60 * 1000;
    const later = new ModelStore({ caches, now: () => clock });
    await later.open();
    await later.queue;
    assert.equal(parts(), 0);
    assert.deepEqual(JSON.parse(new TextDecoder().decode(caches.cache.entries.get('/zel-models/index'))), {});
});

test('the latest models are read ahead while the page joins, within a bound, and still checked', async () => {
    const caches = memoryCaches();
    let clock = 0;
    const store = new ModelStore({ caches, now: () => ++clock });
    const models = [1, 2, 3].map((n) => bytes(1000, n));
    for (const m of models) await store.keep(sha(m), m);
    // Room for two: the newest two are read ahead, and taken from there.
    const ahead = new ModelStore({ caches, now: () => ++clock });
    await ahead.warmUp({ maxBytes: 2000 });
    assert.deepEqual([...ahead.early.keys()].sort(), [sha(models[1]), sha(models[2])].sort());
    await Promise.all(ahead.early.values());
    caches.cache.entries.delete(`/zel-models/${sha(models[2])}/0`);
    assert.deepEqual(await ahead.take(sha(models[2])), models[2]);
    assert.equal(ahead.early.size, 1);
    // Taken once: the next take reads the storage again.
    assert.equal(await ahead.take(sha(models[2])), null);
});
