// Bounded bookkeeping: what is least recently used goes first, and a shared resource is freed only
// once nothing uses it and it has been unused a while.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { ByteBudget, LruMap, SharedResources } from '../src/cache.js';

test('a map keeps its most recently used entries, and says which go', () => {
    const gone = [];
    const m = new LruMap(3, (k) => gone.push(k));
    for (const k of ['a', 'b', 'c']) m.set(k, k);
    m.touch('a');
    m.set('b', 'B');
    m.set('d', 'd');
    m.set('e', 'e');
    assert.deepEqual([...m.keys()], ['b', 'd', 'e']);
    assert.deepEqual(gone, ['c', 'a']);
    assert.equal(m.touch('zz'), undefined);
});

test('a shared resource is made once, kept while used, and disposed of after enough others went unused', () => {
    const made = [];
    const disposed = [];
    const r = new SharedResources({ make: (id) => (made.push(id), { id }), dispose: (v) => disposed.push(v.id), idle: 2 });
    const a = r.acquire('a');
    assert.equal(r.acquire('a'), a);
    r.release('a');
    r.acquire('b');
    r.acquire('c');
    r.release('b');
    r.release('c');
    assert.deepEqual(disposed, [], 'a is still used once');
    r.release('a');
    assert.deepEqual(disposed, ['b'], 'three unused, room for two');
    assert.equal(r.acquire('c').id, 'c');
    assert.deepEqual(made, ['a', 'b', 'c'], 'an idle one is taken back, not made again');
    r.release('c');
    r.trim();
    assert.deepEqual(disposed.sort(), ['a', 'b', 'c']);
    assert.equal(r.size, 0);
    r.release('never'); // harmless
});

test('a byte budget grants in order of asking and refuses more than it has', async () => {
    const b = new ByteBudget(10);
    const order = [];
    await b.take(6);
    const p1 = b.take(6).then(() => order.push('six'));
    const p2 = b.take(1).then(() => order.push('one'));
    await new Promise((resolve) => setImmediate(resolve));
    assert.deepEqual(order, [], 'the first in line waits, and the small one behind it too');
    b.give(6);
    await Promise.all([p1, p2]);
    assert.deepEqual(order, ['six', 'one']);
    assert.equal(b.held, 7);
    await assert.rejects(b.take(11), /exceed the budget/);
});
