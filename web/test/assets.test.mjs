// Models from the asset bucket: only bytes that match their hash and decode are drawn, and memory
// follows the chunks that arrive, not what a manifest announces.
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { tinyScene } from '../e2e/support.mjs';
import { memoryCaches } from './memory_caches.mjs';
import { AssetCache, fetchAsset } from '../src/assets.js';
import { ByteBudget } from '../src/cache.js';
import { ModelStore } from '../src/model_store.js';

// Node.js 18 has the Web Crypto API only as a module.
if (!globalThis.crypto) globalThis.crypto = (await import('node:crypto')).webcrypto;

const chunk = 1040384;
const sha = (b) => createHash('sha256').update(b).digest('hex');
async function waitUntil(check, ms = 10000) {
    for (const end = Date.now() + ms; !check(); ) {
        if (Date.now() > end) throw new Error('timed out');
        await new Promise((resolve) => setTimeout(resolve, 10));
    }
}

// A bucket holding blob under user, cut into chunks; damage(map) may then change it.
function bucket(user, blob, damage = () => {}) {
    const size = chunk;
    const hash = sha(blob);
    const m = new Map();
    const chunks = Math.ceil(blob.length / size);
    for (let i = 0; i < chunks; ++i) m.set(`${user}.${hash}.${i}`, blob.subarray(i * size, (i + 1) * size));
    m.set(`${user}.${hash}`, new TextEncoder().encode(JSON.stringify({ size: blob.length, chunks, chunk: size })));
    damage(m, hash);
    const asked = [];
    const get = async (key) => (asked.push(key), m.get(key) ?? null);
    return { hash, get, asked };
}

test('a model is fetched under the user of the record that names it, checked and decoded', { skip: !process.env.ZEL_WEB_GOLDEN }, async () => {
    const sample = new Uint8Array(readFileSync(join(process.env.ZEL_WEB_GOLDEN, 'sample.bin')));
    const b = bucket('alice', sample);
    const r = await fetchAsset(b.get, 'alice', b.hash);
    assert.equal(r.reason, undefined);
    assert.equal(r.scene.nodes.length, 4);
    assert.ok(b.asked.every((k) => k.startsWith(`alice.${b.hash}`)));
    // The same hash under another user is another user's asset: not there.
    const other = await fetchAsset(b.get, 'mallory', b.hash, { stopped: () => true });
    assert.match(other.reason, /no asset/);
});

test('bytes that do not match, do not add up or do not decode leave the model without geometry', async () => {
    // Three chunks and a bit.
    const junk = new Uint8Array(3 * chunk + 5).map((_, i) => i * 7);
    const manifest = (text) => (m, h) => m.set(`eve.${h}`, new TextEncoder().encode(text));
    const cases = [
        [bucket('eve', junk), /does not decode: not a scene encoding/],
        [bucket('eve', junk, (m, h) => m.set(`eve.${h}.1`, new Uint8Array(chunk - 1))), /wrong size/],
        [bucket('eve', junk, (m, h) => m.set(`eve.${h}.1`, new Uint8Array(chunk))), /does not match its hash/],
        [bucket('eve', junk, (m, h) => m.delete(`eve.${h}.2`)), /chunk 2 of a model is missing/],
        [bucket('eve', junk, manifest('{"size":536870913,"chunks":517,"chunk":1040384}')), /larger than 512 MiB/],
        [bucket('eve', junk, manifest('{"size":3121157,"chunks":3121157,"chunk":1}')), /chunk size is not/],
    ];
    for (const [b, reason] of cases) assert.match((await fetchAsset(b.get, 'eve', b.hash)).reason, reason);
});

test('a manifest that announces much costs nothing before its chunks arrive', async () => {
    const hash = 'ab'.repeat(32);
    const manifest = new TextEncoder().encode(JSON.stringify({ size: 512 * 1024 * 1024, chunks: 517, chunk }));
    const get = async (key) => (key === `eve.${hash}` ? manifest : null);
    const before = process.memoryUsage().arrayBuffers;
    assert.match((await fetchAsset(get, 'eve', hash)).reason, /chunk 0 of a model is missing/);
    assert.ok(process.memoryUsage().arrayBuffers - before < 64 * 1024 * 1024);
});

test('a missing model is asked for again later; one that does not decode is not', async () => {
    const junk = new TextEncoder().encode('not a model');
    const b = bucket('eve', junk);
    let ready = 0;
    const cache = new AssetCache(b.get, { onReady: () => ++ready, retryAfterMs: 50 });
    assert.equal(cache.lookup('eve', b.hash), null);
    await waitUntil(() => cache.lookup('eve', b.hash));
    assert.match(cache.lookup('eve', b.hash).reason, /does not decode/);
    assert.equal(ready, 1);
    const calls = b.asked.length;
    await new Promise((resolve) => setTimeout(resolve, 150));
    assert.match(cache.lookup('eve', b.hash).reason, /does not decode/);
    assert.equal(b.asked.length, calls, 'not fetched again');
});

test('fetches in flight share one byte budget, and a user who names many models does not crowd out the others', async () => {
    // Ten models of random bytes, three chunks each, five of eve's and five of bob's: with room for
    // two, no more are ever held at once, and never two of one user's (a user has half the room).
    const users = ['eve', 'bob'];
    const models = Array.from({ length: 10 }, (_, i) => bucket(users[i % 2], new Uint8Array(randomBytes(3 * chunk))));
    let most = 0;
    let cache = null;
    const get = async (key) => {
        for (const u of users) most = Math.max(most, cache.userBudgets.get(u)?.held ?? 0);
        await new Promise((resolve) => setImmediate(resolve));
        for (const m of models) {
            const v = await m.get(key);
            if (v !== null) return v;
        }
        return null;
    };
    const budget = new ByteBudget(2 * 3 * chunk);
    cache = new AssetCache(get, { budget, atOnce: 10, perUser: 10 });
    for (const [i, m] of models.entries()) cache.lookup(users[i % 2], m.hash);
    await waitUntil(() => models.every((m, i) => cache.lookup(users[i % 2], m.hash)));
    for (const [i, m] of models.entries()) assert.match(cache.lookup(users[i % 2], m.hash).reason, /does not decode/);
    assert.equal(budget.peak, 2 * 3 * chunk);
    assert.equal(budget.held, 0);
    assert.equal(most, 3 * chunk, "one user's fetches hold at most half");
    assert.equal(cache.userBudgets.size, 0, 'nothing kept for users who hold nothing');

    // Manifests of 512 MiB whose chunks never come hold up only their own user: alice's model comes
    // at once.
    const stuck = new AssetCache(async (key) => {
        if (!key.startsWith('mallory.')) return bucket('alice', new TextEncoder().encode('tiny')).get(key);
        if (key.split('.').length === 2) return new TextEncoder().encode(JSON.stringify({ size: 512 * 2 ** 20, chunks: Math.ceil((512 * 2 ** 20) / chunk), chunk }));
        return new Promise(() => {});
    });
    for (let i = 0; i < 8; ++i) stuck.lookup('mallory', i.toString(16).padStart(64, '0'));
    const tiny = bucket('alice', new TextEncoder().encode('tiny'));
    stuck.lookup('alice', tiny.hash);
    await waitUntil(() => stuck.lookup('alice', tiny.hash));
    assert.match(stuck.lookup('alice', tiny.hash).reason, /does not decode/);
    assert.equal(stuck.budget.held, 512 * 2 ** 20, "one of mallory's at a time");

    // eve's models never come; alice's does, though eve asked first for more than fit at once.
    const never = new Promise(() => {});
    const alice = bucket('alice', new TextEncoder().encode('not a model'));
    const slow = new AssetCache(async (key) => (key.startsWith('eve.') ? never : alice.get(key)), { atOnce: 4, perUser: 2 });
    for (let i = 0; i < 50; ++i) slow.lookup('eve', i.toString(16).padStart(64, '0'));
    slow.lookup('alice', alice.hash);
    await waitUntil(() => slow.lookup('alice', alice.hash));
    assert.match(slow.lookup('alice', alice.hash).reason, /does not decode/);
});

test('fetches at once and per user stop exactly at their limits', () => {
    // [models named, by how many users, limit at once, limit per user, fetches expected in flight]
    const cases = [
        [1, 1, 8, 2, 1],
        [2, 1, 8, 2, 2],
        [3, 1, 8, 2, 2],
        [2, 2, 3, 8, 2],
        [3, 3, 3, 8, 3],
        [4, 4, 3, 8, 3],
    ];
    for (const [models, users, atOnce, perUser, expected] of cases) {
        const cache = new AssetCache(() => new Promise(() => {}), { atOnce, perUser });
        for (let i = 0; i < models; ++i) cache.lookup(`u${i % users}`, i.toString(16).padStart(64, '0'));
        assert.equal(cache.inFlight, expected, `${models} models of ${users} users, ${atOnce} at once, ${perUser} per user`);
        assert.ok(Math.max(...cache.active.values()) <= perUser);
    }
});

test('a reconnect asks again for missing models only; failures and decoded models are bounded', async () => {
    const junk = bucket('eve', new TextEncoder().encode('not a model'));
    const missing = bucket('eve', new TextEncoder().encode('uploading'), (m, h) => m.delete(`eve.${h}.0`));
    const cache = new AssetCache(async (key) => (await junk.get(key)) ?? missing.get(key), { retryAfterMs: 50 });
    cache.lookup('eve', junk.hash);
    cache.lookup('eve', missing.hash);
    await waitUntil(() => cache.lookup('eve', junk.hash) && cache.lookup('eve', missing.hash));
    assert.match(cache.lookup('eve', missing.hash).reason, /chunk 0 of a model is missing/);
    cache.retryFailed();
    assert.match(cache.lookup('eve', junk.hash).reason, /does not decode/, 'not asked again');
    assert.equal(cache.lookup('eve', missing.hash), null, 'asked again');
    await waitUntil(() => cache.lookup('eve', missing.hash));

    const many = new AssetCache(async () => null);
    for (let i = 0; i < 5000; ++i) many.failed.set(`eve.${i}`, { reason: 'x' });
    assert.equal(many.failed.size, 4096);
    const scenes = new AssetCache(async () => null, { sceneBytes: 100 });
    for (let i = 0; i < 5; ++i) scenes.keep(`h${i}`, { meshes: [] }, 40);
    assert.deepEqual([...scenes.scenes.keys()], ['h3', 'h4']);
    assert.equal(scenes.sceneBytes, 80);
    // One that is drawn stays, however many others come and go, until nothing draws it.
    scenes.use('h3');
    scenes.use('h3');
    for (let i = 5; i < 10; ++i) scenes.keep(`h${i}`, { meshes: [] }, 40);
    scenes.release('h3');
    assert.ok(scenes.lookup('eve', 'h3').scene);
    scenes.release('h3');
    assert.deepEqual([...scenes.scenes.keys()], ['h9', 'h3']);
});

test('a model kept in the browser\'s storage comes from there, charged to the budget, while it matches', async () => {
    const caches = memoryCaches();
    const { entries } = caches;
    const lines = [];
    const store = new ModelStore({ caches, log: (l) => lines.push(l) });
    const model = tinyScene(5, { meshes: 2 });
    const b = bucket('eve', model);
    const url = `/zel-models/${b.hash}/0`;
    const show = async (get) => {
        const budget = new ByteBudget(4 * chunk);
        const assets = new AssetCache(get, { budget, store });
        assets.lookup('eve', b.hash);
        await waitUntil(() => assets.lookup('eve', b.hash) && budget.held === 0);
        assert.equal(assets.lookup('eve', b.hash).scene?.meshes.length, 2);
        assert.equal(budget.peak, model.length);
    };
    // Fetched, checked and decoded: kept.
    await show(b.get);
    assert.deepEqual(entries.get(url), model);
    // A model that fails its hash leaves nothing behind.
    const bad = bucket('eve', tinyScene(6), (m, h) => m.set(`eve.${h}.0`, tinyScene(7)));
    assert.match((await fetchAsset(bad.get, 'eve', bad.hash, { store })).reason, /does not match its hash/);
    assert.equal([...entries.keys()].filter((k) => k.includes(bad.hash)).length, 0);
    // A reload asks the broker for nothing.
    const asked = b.asked.length;
    await show(b.get);
    assert.equal(b.asked.length, asked);
    // Changed in the storage, in its bytes or its size: one line, fetched again and kept afresh.
    for (const damaged of [model.map((v, i) => (i === 40 ? v ^ 1 : v)), model.subarray(1)]) {
        entries.set(url, damaged);
        lines.length = 0;
        const before = b.asked.length;
        await show(b.get);
        assert.ok(b.asked.length > before);
        assert.equal(lines.length, 1);
        assert.match(lines[0], /does not match its hash/);
        await store.queue;
        assert.deepEqual(entries.get(url), model);
    }
});
