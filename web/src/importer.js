// Model files that a person drops on the page (or picks), read with three.js's own loaders: 3DS,
// OBJ with its .mtl and pictures, glTF and GLB with their buffers and pictures. What they hold
// becomes one scene in the wire format: every mesh's vertices in the model's own axes (the node
// transforms applied), the meshes of one material merged, one root node. The encoding is then
// decoded with the strict decoder, so what goes out holds to the limits every site applies.

import * as THREE from 'three';
import { GLTFLoader } from 'three/examples/jsm/loaders/GLTFLoader.js';
import { MTLLoader } from 'three/examples/jsm/loaders/MTLLoader.js';
import { OBJLoader } from 'three/examples/jsm/loaders/OBJLoader.js';
import { TDSLoader } from 'three/examples/jsm/loaders/TDSLoader.js';

import { encodeScene } from './encode.js';
import { maxAssetBytes, sha256Hex } from './records.js';
import { decode, defaultBudget, maxScenePixels, maxTexturePixels, noTexture } from './wire.js';

// Colours go into the encoding as the file gives them, as a desktop site's import does.
THREE.ColorManagement.enabled = false;

// A worker has no image elements: the loaders' pictures come through createImageBitmap (where
// there is none, as in node, they are left out).
if (typeof document === 'undefined') {
    THREE.TextureLoader.prototype.load = function load(url, onLoad, onProgress, onError) {
        const texture = new THREE.Texture();
        const loader = new THREE.ImageBitmapLoader(this.manager);
        loader.setOptions({ imageOrientation: 'none', premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
        loader.setPath(this.path);
        loader.load(url, (bitmap) => {
            texture.image = bitmap;
            texture.needsUpdate = true;
            onLoad?.(texture);
        }, onProgress, onError);
        return texture;
    };
}

// What the files dropped at once may take together, and how long their pictures may take to load.
export const maxDroppedBytes = 512 * 2 ** 20;
const pictureWaitMs = 30000;
const modelKinds = /\.(3ds|obj|gltf|glb)$/i;
// One mesh a material, all named in the node's record, which must stay within 64 KiB.
export const maxMaterials = 8192;

const baseName = (path) => String(path).split(/[\\/]/).pop().toLowerCase();
const ext = (name) => (name.match(/\.([^.]+)$/)?.[1] ?? '').toLowerCase();

// files: [{name, bytes (ArrayBuffer)}]. pixelsOf(image, maxPixels): the picture's {width, height,
// sourceWidth, sourceHeight, rgba} at most maxPixels large, or null (none in node's tests).
// Resolves to {bytes, hash, scene (decoded), name, triangles, center, radius} or {reason}.
export async function importFiles(files, { pixelsOf = () => null } = {}) {
    const total = files.reduce((n, f) => n + f.bytes.byteLength, 0);
    if (total > maxDroppedBytes) return { reason: `the files take more than ${maxDroppedBytes / 2 ** 20} MiB` };
    const main = files.find((f) => modelKinds.test(f.name));
    if (!main) return { reason: 'no 3DS, OBJ, glTF or GLB file among them' };
    let root;
    try {
        root = await load(main, files);
    } catch (e) {
        return { reason: `${main.name} does not load: ${String(e?.message ?? e).slice(0, 200)}` };
    }
    const made = sceneOf(root, main.name, pixelsOf);
    if (!made.triangles) return { reason: `${main.name} holds no triangles` };
    if (made.scene.meshes.length > maxMaterials) return { reason: `${main.name} has more than ${maxMaterials} materials` };
    const bytes = encodeScene(made.scene);
    if (bytes.byteLength > maxAssetBytes) return { reason: `${main.name} makes a model larger than 512 MiB` };
    const checked = decode(bytes, { memoryBudget: defaultBudget(bytes.byteLength) });
    if (checked.status !== 'scene') return { reason: `${main.name} makes a model that does not decode: ${checked.reason}` };
    return {
        bytes, hash: await sha256Hex(bytes), scene: checked.scene, name: main.name, triangles: made.triangles, center: made.center,
        radius: made.radius,
    };
}

// The model file and what it names among the others (by file name, in any folder, any case).
async function load(main, files) {
    const byName = new Map(files.map((f) => [baseName(f.name), f]));
    const urls = new Map();
    const manager = new THREE.LoadingManager();
    manager.setURLModifier((url) => {
        if (/^(data|blob):/.test(url)) return url;
        const f = byName.get(baseName(decodeURIComponent(url)));
        if (!f) return 'data:,'; // not among the files: the picture is left out
        if (!urls.has(f)) urls.set(f, URL.createObjectURL(new Blob([f.bytes])));
        return urls.get(f);
    });
    const pictures = settled(manager);
    try {
        const kind = ext(main.name);
        let root;
        if (kind === '3ds') {
            root = new TDSLoader(manager).parse(main.bytes, '');
        } else if (kind === 'obj') {
            const text = new TextDecoder().decode(main.bytes);
            const loader = new OBJLoader(manager);
            const mtl = text.match(/^\s*mtllib\s+(.+?)\s*$/m)?.[1];
            const mtlFile = mtl && byName.get(baseName(mtl));
            if (mtlFile) {
                const materials = new MTLLoader(manager).parse(new TextDecoder().decode(mtlFile.bytes), '');
                materials.preload();
                loader.setMaterials(materials);
            }
            root = loader.parse(text);
        } else {
            root = (await new GLTFLoader(manager).parseAsync(main.bytes, '')).scene;
        }
        await pictures.done();
        return root;
    } finally {
        for (const u of urls.values()) URL.revokeObjectURL(u);
    }
}

// done(): resolves once every picture the loaders asked for has loaded or failed (or after a while).
function settled(manager) {
    let started = 0;
    let ended = 0;
    let wake = () => {};
    const start = manager.itemStart;
    const end = manager.itemEnd;
    manager.itemStart = (url) => (++started, start(url));
    manager.itemEnd = (url) => (++ended, end(url), ended >= started && wake());
    return {
        done: () => Promise.race([
            new Promise((resolve) => (ended >= started ? resolve() : (wake = resolve))),
            new Promise((resolve) => setTimeout(resolve, pictureWaitMs)),
        ]),
    };
}

const colorOf = (c, fallback) => (c?.isColor ? [c.r, c.g, c.b] : fallback);

// The scene of root: {scene, triangles, center, radius} in the wire format's terms.
export function sceneOf(root, name, pixelsOf) {
    root.updateMatrixWorld(true);
    const textures = [];
    const textureOf = new Map(); // three texture -> index or noTexture
    let pixels = 0;
    const picture = (map) => {
        if (!map) return noTexture;
        if (textureOf.has(map)) return textureOf.get(map);
        let index = noTexture;
        const p = map.image ? pixelsOf(map.image, Math.min(maxTexturePixels, maxScenePixels - pixels)) : null;
        if (p && p.width > 0 && p.height > 0) {
            let hasAlpha = false;
            for (let i = 3; i < p.rgba.length && !hasAlpha; i += 4) hasAlpha = p.rgba[i] < 255;
            pixels += p.width * p.height;
            index = textures.length;
            textures.push({ name: baseName(map.name || map.image?.src || `picture${index}`), ...p, hasAlpha });
        }
        textureOf.set(map, index);
        return index;
    };

    // One entry per material, with the parts of every mesh that use it.
    const groups = new Map(); // three material -> {material, parts: []}
    const min = new THREE.Vector3(Infinity, Infinity, Infinity);
    const max = new THREE.Vector3(-Infinity, -Infinity, -Infinity);
    let triangles = 0;
    const v = new THREE.Vector3();
    const normalMatrix = new THREE.Matrix3();
    root.traverse((o) => {
        if (!o.isMesh || !o.geometry?.attributes?.position) return;
        const g = o.geometry;
        const position = g.attributes.position;
        const normal = g.attributes.normal;
        const uv = g.attributes.uv;
        const index = g.index;
        const count = index ? index.count : position.count;
        const materialList = Array.isArray(o.material) ? o.material : [o.material];
        const ranges = g.groups.length ? g.groups : [{ start: 0, count, materialIndex: 0 }];
        normalMatrix.getNormalMatrix(o.matrixWorld);
        for (const range of ranges) {
            const material = materialList[range.materialIndex ?? 0] ?? materialList[0];
            const from = Math.max(0, range.start);
            const to = Math.min(count, range.start + range.count);
            const n = Math.floor(Math.max(0, to - from) / 3) * 3;
            if (n === 0) continue;
            // Unindexed: each corner its own vertex, in the model's axes.
            const positions = new Float32Array(n * 3);
            const normals = normal ? new Float32Array(n * 3) : null;
            const uvs = uv ? new Float32Array(n * 2) : null;
            // glTF's pictures have v = 0 at the top; the wire format's at the bottom.
            const flip = material?.map && material.map.flipY === false;
            for (let k = 0; k < n; ++k) {
                const i = index ? index.getX(from + k) : from + k;
                v.fromBufferAttribute(position, i).applyMatrix4(o.matrixWorld);
                positions[k * 3] = v.x;
                positions[k * 3 + 1] = v.y;
                positions[k * 3 + 2] = v.z;
                min.min(v);
                max.max(v);
                if (normals) {
                    v.fromBufferAttribute(normal, i).applyMatrix3(normalMatrix).normalize();
                    normals[k * 3] = v.x;
                    normals[k * 3 + 1] = v.y;
                    normals[k * 3 + 2] = v.z;
                }
                if (uvs) {
                    uvs[k * 2] = uv.getX(i);
                    uvs[k * 2 + 1] = flip ? 1 - uv.getY(i) : uv.getY(i);
                }
            }
            let group = groups.get(material);
            if (!group) groups.set(material, (group = { material, parts: [] }));
            group.parts.push({ positions, normals, uvs });
            triangles += n / 3;
        }
    });

    const materials = [];
    const meshes = [];
    for (const { material: m, parts } of groups.values()) {
        const diffuse = colorOf(m?.color, [0.8, 0.8, 0.8]);
        const opacity = m?.transparent ? Number(m.opacity ?? 1) : 1;
        const texture = picture(m?.map);
        materials.push({
            name: String(m?.name ?? ''),
            diffuse: [...diffuse, 1],
            ambient: [0, 0, 0],
            specular: colorOf(m?.specular, [0, 0, 0]),
            shininess: Number.isFinite(m?.shininess) ? m.shininess : 0,
            opacity,
            textureName: texture === noTexture ? '' : textures[texture].name,
            texture,
        });
        // Normals and texture coordinates only when every part has them.
        const withNormals = parts.every((p) => p.normals);
        const withUvs = parts.every((p) => p.uvs);
        const vertices = parts.reduce((n, p) => n + p.positions.length / 3, 0);
        const mesh = {
            material: materials.length - 1,
            positions: new Float32Array(vertices * 3),
            normals: new Float32Array(withNormals ? vertices * 3 : 0),
            uvs: new Float32Array(withUvs ? vertices * 2 : 0),
            indices: new Uint32Array(vertices),
        };
        let at = 0;
        for (const p of parts) {
            mesh.positions.set(p.positions, at * 3);
            if (withNormals) mesh.normals.set(p.normals, at * 3);
            if (withUvs) mesh.uvs.set(p.uvs, at * 2);
            at += p.positions.length / 3;
        }
        for (let i = 0; i < vertices; ++i) mesh.indices[i] = i;
        meshes.push(mesh);
    }
    const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
    const scene = { textures, materials, meshes, nodes: [{ name, matrix: identity, meshes: meshes.map((_, i) => i), children: [] }] };
    const center = triangles ? min.clone().add(max).multiplyScalar(0.5) : new THREE.Vector3();
    const radius = triangles ? Math.max(1e-6, max.distanceTo(min) / 2) : 0;
    return { scene, triangles, center: [center.x, center.y, center.z], radius };
}
