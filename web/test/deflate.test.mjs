// Models whose chunks hold them deflated: inflated as the chunks arrive, in order whatever order
// they come in, never past the size the manifest declares, and kept inflated.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { deflateSync } from 'node:zlib';
import { test } from 'node:test';

import { tinyScene } from '../e2e/support.mjs';
import { memoryCaches } from './memory_caches.mjs';
import { fetchAsset } from '../src/assets.js';
import { Inflater, storedForm } from '../src/deflate.js';
import { ModelStore } from '../src/model_store.js';
import { decodeManifest } from '../src/records.js';

if (!globalThis.crypto) globalThis.crypto = (await import('node:crypto')).webcrypto;

const chunk = 1040384;
const sha = (b) => createHash('sha256').update(b).digest('hex');

// A bucket holding `stored` in chunks under the manifest given; chunks are answered after a delay
// that makes them arrive out of order.
function bucket(user, hash, stored, manifest) {
    const m = new Map();
    for (let i = 0; i * chunk < stored.length; ++i) m.set(`${user}.${hash}.${i}`, stored.subarray(i * chunk, (i + 1) * chunk));
    m.set(`${user}.${hash}`, new TextEncoder().encode(JSON.stringify(manifest)));
    const asked = [];
    const get = async (key) => {
        asked.push(key);
        const i = Number(key.split('.')[2] ?? 0);
        await new Promise((resolve) => setTimeout(resolve, (7 - (i % 8)) * 3));
        return m.get(key) ?? null;
    };
    return { get, asked };
}

test('a model stored deflated comes back whole, in order, and is kept inflated', async () => {
    const model = tinyScene(3, { meshes: 12, triangles: 20000 });
    const hash = sha(model);
    const { bytes, manifest } = await storedForm(model);
    assert.equal(manifest.encoding, 'deflate');
    assert.ok(manifest.chunks >= 2 && bytes.length < model.length / 2, `${bytes.length} of ${model.length}`);
    assert.deepEqual(decodeManifest(JSON.stringify(manifest)).value.inflated, model.length);
    const b = bucket('alice', hash, bytes, manifest);
    const caches = memoryCaches();
    const { entries } = caches;
    const lines = [];
    const store = new ModelStore({ caches, log: (l) => lines.push(l) });
    const r = await fetchAsset(b.get, 'alice', hash, { store });
    assert.equal(r.reason, undefined);
    assert.equal(r.scene.meshes.length, 12);
    // Kept inflated, which a reload reads without the broker and without inflating it again.
    assert.deepEqual(await store.take(hash, model.length), model);
    const asked = b.asked.length;
    assert.ok((await fetchAsset(b.get, 'alice', hash, { store })).scene);
    assert.equal(b.asked.length, asked);
    // Damaged in the storage: one line, fetched again and kept afresh.
    const url = `/zel-models/${hash}/1`;
    const good = entries.get(url);
    entries.set(url, good.map((v, i) => (i === 500 ? v ^ 1 : v)));
    lines.length = 0;
    assert.ok((await fetchAsset(b.get, 'alice', hash, { store })).scene);
    assert.ok(b.asked.length > asked);
    assert.equal(lines.length, 1);
    assert.match(lines[0], /does not match its hash/);
    await store.queue;
    assert.deepEqual(entries.get(url), good);
    // A model that does not shrink is stored as it is, with the manifest of old.
    const noise = new Uint8Array(5000).map(() => Math.floor(Math.random() * 256));
    const raw = await storedForm(noise);
    assert.equal(raw.bytes, noise);
    assert.deepEqual(raw.manifest, { size: 5000, chunks: 1, chunk });
});

test('a hostile deflated stream is refused within its declared size, and nothing is kept', async () => {
    const model = tinyScene(4, { meshes: 4, triangles: 20000 });
    const hash = sha(model);
    const d = new Uint8Array(deflateSync(model, { level: 1 }));
    const flipped = d.slice();
    flipped[d.length >> 1] ^= 0xff;
    const bomb = new Uint8Array(deflateSync(new Uint8Array(64 * 1024 * 1024)));
    const deflated = (stored, inflated) => ({ size: stored.length, chunks: Math.ceil(stored.length / chunk), chunk, encoding: 'deflate', inflated });
    const cases = [
        ['a bomb', bomb, 1024 * 1024, /inflates to more bytes than its manifest says/],
        ['a declared size too small', d, model.length - 1, /inflates to more bytes than its manifest says/],
        ['a declared size too large', d, model.length + 1, /inflates to fewer bytes than its manifest says/],
        ['a truncated stream', d.subarray(0, d.length - 100), model.length, /ends early/],
        ['a flipped byte', flipped, model.length, /inflate|does not match its hash/],
        ['not deflate at all', model.subarray(0, 3000), model.length, /do not inflate/],
    ];
    for (const [name, stored, inflated, reason] of cases) {
        const caches = memoryCaches();
        const { entries } = caches;
        const store = new ModelStore({ caches });
        const b = bucket('eve', hash, stored, deflated(stored, inflated));
        assert.match((await fetchAsset(b.get, 'eve', hash, { store })).reason, reason, name);
        await store.queue;
        assert.equal([...entries.keys()].filter((k) => k.includes(hash)).length, 0, name);
    }
    // The inflater itself never holds more than the declared size.
    const inflater = new Inflater(1000);
    assert.equal(await inflater.put(bomb), false);
    assert.ok(inflater.produced <= 1000);
    assert.match((await inflater.end()).reason, /more bytes/);
});
