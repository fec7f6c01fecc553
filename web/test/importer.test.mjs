// Model files placed from the page: read with three.js's loaders, encoded to the wire format and
// held to the strict decoder's limits before anything is sent.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { sceneOf, importFiles } from '../src/importer.js';
import { decode, maxTexturePixels, noTexture } from '../src/wire.js';

// Node.js 18 has the Web Crypto API only as a module; three.js's glTF loader looks for `self`.
if (!globalThis.crypto) globalThis.crypto = (await import('node:crypto')).webcrypto;
globalThis.self ??= globalThis;
// The loaders' own warnings about pictures that node cannot read.
console.warn = () => {};

const corpus = process.env.ZEL_CORPUS_DIR ?? '/work/shared/corpus';
const file = (path, name = path.split('/').pop()) => ({ name, bytes: new Uint8Array(readFileSync(`${corpus}/${path}`)).buffer });
const text = (name, s) => ({ name, bytes: new TextEncoder().encode(s).buffer });

test('each kind of model file becomes one scene that the strict decoder takes; damaged ones are refused', async () => {
    const cases = [
        [[file('assimp/OBJ/cube_usemtl.obj'), file('assimp/OBJ/cube_usemtl.mtl')], { triangles: 12, materials: 3 }],
        [[file('assimp/OBJ/box.obj')], { triangles: 12, materials: 1 }],
        [[file('assimp/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb')], { triangles: 12, materials: 1 }],
        [[file('online3dviewer/cube_hierarchy.3ds')], { triangles: 12, materials: 3 }],
        [[file('castle-demo-models/p47d.3ds')], { triangles: 3500, materials: 22 }],
        // Any case, any folder: the main file is the model, the others what it names.
        [[file('assimp/OBJ/cube_usemtl.mtl', 'x/CUBE_USEMTL.MTL'), file('assimp/OBJ/cube_usemtl.obj', 'Cube.OBJ')], { triangles: 12, materials: 3 }],
        [[file('online3dviewer/wrong.3ds')], /holds no triangles/],
        [[file('assimp/invalid/empty.3ds')], /does not load/],
        [[text('broken.glb', 'glTF but not really')], /does not load/],
        // A glTF without its buffer.
        [[file('assimp/glTF2/BoxTextured-glTF/BoxTextured.gltf')], /does not load/],
        [[text('notes.txt', 'hello')], /no 3DS, OBJ, glTF or GLB file/],
        // More materials than a record can name.
        [[text('many.obj', `v 0 0 0\nv 1 0 0\nv 0 1 0\n${Array.from({ length: 8193 }, (_, i) => `usemtl m${i}\nf 1 2 3\n`).join('')}`)], /more than 8192 materials/],
    ];
    for (const [files, want] of cases) {
        const r = await importFiles(files);
        if (want instanceof RegExp) {
            assert.match(r.reason, want, files[0].name);
            assert.equal(r.bytes, undefined);
            continue;
        }
        assert.equal(r.reason, undefined, files[0].name);
        const d = decode(r.bytes);
        assert.equal(d.status, 'scene', files[0].name);
        assert.equal(d.scene.meshes.reduce((n, m) => n + m.indices.length / 3, 0), want.triangles, files[0].name);
        assert.equal(r.triangles, want.triangles);
        assert.equal(d.scene.materials.length, want.materials, files[0].name);
        assert.equal(d.scene.nodes.length, 1);
        assert.deepEqual([...d.scene.nodes[0].meshes], d.scene.meshes.map((_, i) => i));
        assert.equal(r.hash, createHash('sha256').update(r.bytes).digest('hex'));
        assert.ok(r.radius > 0);
    }
});

test('node transforms go into the vertices, and pictures are kept within the limits', async () => {
    const THREE = await import('three');
    const root = new THREE.Group();
    const child = new THREE.Mesh(new THREE.BoxGeometry(1, 1, 1), new THREE.MeshPhongMaterial({ color: 0xff0000 }));
    child.position.set(10, 0, 0);
    child.scale.set(2, 2, 2);
    root.add(child);
    const big = new THREE.Mesh(new THREE.BoxGeometry(1, 1, 1), new THREE.MeshPhongMaterial({ map: new THREE.Texture({ width: 4096, height: 4096 }) }));
    const other = new THREE.Mesh(new THREE.BoxGeometry(1, 1, 1), new THREE.MeshPhongMaterial({ map: new THREE.Texture({ width: 64, height: 64 }) }));
    root.add(big, other);
    const asked = [];
    // The picture at the size the limits leave (as the worker's canvas draws it), alpha in the last.
    const pixelsOf = (image, maxPixels) => {
        asked.push(maxPixels);
        const scale = Math.min(1, Math.sqrt(maxPixels / (image.width * image.height)));
        const width = Math.floor(image.width * scale);
        const height = Math.floor(image.height * scale);
        const rgba = new Uint8Array(width * height * 4).fill(255);
        if (image.width === 64) rgba[3] = 7;
        return { width, height, sourceWidth: image.width, sourceHeight: image.height, rgba };
    };
    const { scene, triangles } = sceneOf(root, 'test', pixelsOf);
    assert.equal(triangles, 36);
    const xs = scene.meshes[0].positions.filter((_, i) => i % 3 === 0);
    assert.deepEqual([Math.min(...xs), Math.max(...xs)], [9, 11]);
    assert.deepEqual(asked, [maxTexturePixels, maxTexturePixels]);
    assert.deepEqual(scene.textures.map((t) => [t.width * t.height <= maxTexturePixels, t.sourceWidth, t.hasAlpha]), [[true, 4096, false], [true, 64, true]]);
    assert.deepEqual(scene.materials.map((m) => m.texture), [noTexture, 0, 1]);
});
