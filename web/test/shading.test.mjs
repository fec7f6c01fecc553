import assert from 'node:assert/strict';
import { test } from 'node:test';

import { depthRange, materialAlpha } from '../src/shading.js';

const material = (alpha, opacity) => ({ diffuse: [1, 1, 1, alpha], opacity });
const mesh = (index, triangles = 1) => ({ material: index, indices: new Uint32Array(3 * triangles) });

test('a model whose every drawn material is fully transparent is drawn opaque, and only such a model', () => {
    const cases = [
        { name: 'one clear material (Tr 1 read as clear)', materials: [material(1, 0)], meshes: [mesh(0)], alphas: [1] },
        { name: 'every material clear', materials: [material(0, 1), material(1, 0.001)], meshes: [mesh(0), mesh(1)], alphas: [1, 1] },
        { name: 'one of two clear', materials: [material(1, 0), material(1, 1)], meshes: [mesh(0), mesh(1)], alphas: [0, 1] },
        { name: 'half transparent', materials: [material(1, 0.5)], meshes: [mesh(0)], alphas: [0.5] },
        { name: 'the clear one drawn, the other unused', materials: [material(1, 0), material(1, 1)], meshes: [mesh(0)], alphas: [1, 1] },
        { name: 'a clear one only on an empty mesh', materials: [material(1, 0), material(1, 1)], meshes: [mesh(0, 0), mesh(1)], alphas: [0, 1] },
        { name: 'not a number', materials: [material(1, NaN)], meshes: [mesh(0)], alphas: [1] },
    ];
    for (const c of cases) {
        const scene = { materials: c.materials, meshes: c.meshes };
        assert.deepEqual(c.materials.map((_, i) => materialAlpha(scene, i)), c.alphas, c.name);
    }
});

test('the depth range keeps the whole model and depth detail to match its size', () => {
    for (const [distance, radius] of [[3, 0.5], [0.3, 0.1], [17200, 7212], [4700, 950], [2, 5], [1e6, 10]]) {
        const { near, far } = depthRange(distance, radius);
        const what = `radius ${radius} at ${distance}`;
        assert.ok(near <= Math.max((distance - radius) * 0.5, distance * 1e-4) + 1e-12, `${what}: nothing of the front cut off`);
        assert.ok(far >= distance + radius, `${what}: nothing of the back cut off`);
        assert.ok(near >= 1e-4 && near <= Math.max(0.05, near), what);
        // A 24-bit depth step at the model's back, where the front allows it.
        const step = (distance + radius) ** 2 / (near * 2 ** 24);
        if (near < (distance - radius) * 0.5) assert.ok(step <= Math.max(radius * 1e-5, ((distance + radius) ** 2) / (0.05 * 2 ** 24)) * 1.0001, `${what}: step ${step}`);
    }
    // Seen from afar, a town 10 km across gets a near plane hundreds of metres out: its roof 1 m
    // above its walls stays apart.
    const town = depthRange(17200, 7212);
    assert.ok(town.near > 100 && (24412 ** 2) / (town.near * 2 ** 24) < 0.1);
});
