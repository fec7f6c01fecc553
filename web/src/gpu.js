// What the page keeps on the GPU: the pictures, materials and meshes of imported scenes, each made
// once and shared by every node that shows it, its memory freed a while after the last one goes;
// the avatars' heads; and the uploader that puts a model's geometry on the GPU a little at a time.

import * as THREE from 'three';

import { avatarColor } from './avatar.js';
import { LruMap, SharedResources } from './cache.js';
import { deskMaterial, highlightOf, materialAlpha } from './shading.js';
import { noTexture } from './wire.js';

// A head for avatars, as a desktop site draws it: a box 0.2 m wide, 0.25 m high, 0.22 m deep, with
// a nose towards -z.
function makeHeadGeometry() {
    const g = new THREE.BoxGeometry(0.2, 0.25, 0.22).toNonIndexed();
    const nose = new THREE.BoxGeometry(0.04, 0.05, 0.05).translate(0, -0.005, -0.135).toNonIndexed();
    const positions = new Float32Array([...g.attributes.position.array, ...nose.attributes.position.array]);
    const out = new THREE.BufferGeometry();
    out.setAttribute('position', new THREE.BufferAttribute(positions, 3));
    out.computeVertexNormals();
    return out;
}

// A picture of an imported scene as a texture. The wire format has rows from the top down and
// v = 0 at the bottom of the picture, so the rows go in reversed.
function makeTexture(p) {
    const row = p.width * 4;
    const flipped = new Uint8Array(p.rgba.length);
    for (let y = 0; y < p.height; ++y) flipped.set(p.rgba.subarray((p.height - 1 - y) * row, (p.height - y) * row), y * row);
    const t = new THREE.DataTexture(flipped, p.width, p.height, THREE.RGBAFormat, THREE.UnsignedByteType);
    t.wrapS = t.wrapT = THREE.RepeatWrapping;
    t.magFilter = THREE.LinearFilter;
    t.minFilter = THREE.LinearMipmapLinearFilter;
    t.generateMipmaps = true;
    t.needsUpdate = true;
    return t;
}

export class GpuResources {
    constructor(stage) {
        this.stage = stage;
        this.textures = new SharedResources({ make: (id, p) => makeTexture(p), dispose: (t) => t.dispose(), idle: 16 });
        // One material of an imported scene, shared by every mesh that uses it (with its picture
        // when the mesh has texture coordinates).
        this.materials = new SharedResources({
            make: (id, hash, scene, index, textured) => {
                const mat = scene.materials[index];
                const d = mat.diffuse;
                const picture = textured ? scene.textures[mat.texture] : null;
                const textureId = picture ? `${hash}#t${mat.texture}` : '';
                const material = deskMaterial([d[0], d[1], d[2], materialAlpha(scene, index)],
                    picture ? this.textures.acquire(textureId, picture) : null, highlightOf(mat.specular, mat.shininess));
                if (picture && picture.hasAlpha) material.transparent = true;
                material.userData.textureId = textureId;
                return material;
            },
            dispose: (material) => {
                material.dispose();
                if (material.userData.textureId) this.textures.release(material.userData.textureId);
            },
            idle: 16,
        });
        // Geometry of one imported scene's mesh, in buffers the uploader fills.
        this.meshes = new SharedResources({
            make: (id, hash, scene, index) => {
                const m = scene.meshes[index];
                const textured = scene.materials[m.material].texture !== noTexture && m.uvs.length > 0;
                const materialId = `${hash}#m${m.material}${textured ? 't' : ''}`;
                const material = this.materials.acquire(materialId, hash, scene, m.material, textured);
                return { geometry: this.uploader.geometry(m), material, materialId, triangles: m.indices.length / 3 };
            },
            dispose: (e) => {
                this.uploader.dispose(e.geometry);
                this.materials.release(e.materialId);
            },
            idle: 32,
        });
        this.uploader = new Uploader(stage.renderer);
        this.headGeometry = makeHeadGeometry();
        // One material per user's colour, for the few users present.
        this.headMaterials = new LruMap(256, (user, material) => material.dispose());

        // Meshes hidden until their geometry is on the GPU. The whole model is drawn on screen
        // once all of it is: it is not drawn again and again while it grows.
        this.revealing = new Set();
    }

    // Mesh index of an imported scene as a drawable mesh (hidden until its geometry is on the GPU);
    // its id goes back to release() when the mesh goes.
    meshOf(hash, scene, index) {
        const id = `${hash}#${index}`;
        const e = this.meshes.acquire(id, hash, scene, index);
        const mesh = new THREE.Mesh(e.geometry, e.material);
        mesh.userData.isModel = true;
        this.reveal(mesh);
        return { id, mesh, triangles: e.triangles };
    }

    release(id) {
        this.meshes.release(id);
    }

    head(user) {
        let material = this.headMaterials.touch(user);
        if (!material) {
            const c = avatarColor(user).three;
            this.headMaterials.set(user, (material = deskMaterial([c.r, c.g, c.b, 1])));
        }
        const mesh = new THREE.Mesh(this.headGeometry, material);
        mesh.userData.isHead = true;
        return mesh;
    }

    reveal(mesh) {
        if (this.uploader.done(mesh.geometry)) return;
        mesh.visible = false;
        this.revealing.add(mesh);
    }

    // One frame's share of the uploads; shows the meshes whose geometry is all there, and asks
    // for the frame on screen once the last is.
    revealSome() {
        if (!this.revealing.size) return;
        this.uploader.work();
        for (const mesh of this.revealing) {
            if (mesh.parent && !this.uploader.done(mesh.geometry)) continue;
            mesh.visible = true;
            this.revealing.delete(mesh);
        }
        if (!this.revealing.size) this.stage.redraw();
    }

    // What the page holds on the GPU, for the benchmark and tests.
    held() {
        const memory = this.stage.renderer.info.memory;
        return {
            meshes: this.meshes.size, materials: this.materials.size, textures: this.textures.size, geometries: memory.geometries,
            gpuTextures: memory.textures,
        };
    }
}

// Geometry goes to the GPU in pieces of at most a megabyte, as many a frame as fit in a few
// megabytes and a few milliseconds: no task holds the page for long, however large a mesh is.
// three.js would put a whole attribute on the GPU in the frame that first draws it, which for a
// large model's mesh of several megabytes holds the page for a tenth of a second or more.
export const pieceBytes = 2 ** 20;
export const bytesPerFrame = 4 * 2 ** 20;
const msPerFrame = 8;

export class Uploader {
    // now(): milliseconds of a clock that never goes back (the frame's time budget is taken from it).
    constructor(renderer, { now = () => performance.now() } = {}) {
        this.renderer = renderer;
        this.now = now;
        this.gl = renderer.getContext();
        this.queue = []; // {geometry, buffer, array, target, at}: what is left to send, oldest first
        this.pending = new WeakMap(); // geometry -> buffers still being filled
        this.buffers = new WeakMap(); // geometry -> its GL buffers
        this.bounded = new WeakSet(); // geometries whose bounds are known
    }

    // A geometry for mesh m of a decoded scene, drawable once done(geometry).
    geometry(m) {
        const gl = this.gl;
        const g = new THREE.BufferGeometry();
        const buffers = [];
        const add = (array, itemSize, target) => {
            const buffer = gl.createBuffer();
            buffers.push(buffer);
            const type = array instanceof Uint32Array ? gl.UNSIGNED_INT : gl.FLOAT;
            const attribute = new THREE.GLBufferAttribute(buffer, type, itemSize, 4, array.length / itemSize);
            this.queue.push({ geometry: g, buffer, array, target, at: 0 });
            return attribute;
        };
        g.setAttribute('position', add(m.positions, 3, gl.ARRAY_BUFFER));
        if (m.normals.length) g.setAttribute('normal', add(m.normals, 3, gl.ARRAY_BUFFER));
        if (m.uvs.length) g.setAttribute('uv', add(m.uvs, 2, gl.ARRAY_BUFFER));
        g.setIndex(add(m.indices, 1, gl.ELEMENT_ARRAY_BUFFER));
        g.userData.positions = m.positions;
        this.pending.set(g, buffers.length);
        this.buffers.set(g, buffers);
        return g;
    }

    done(geometry) {
        return !this.pending.has(geometry) || (this.pending.get(geometry) === 0 && this.bounded.has(geometry));
    }

    dispose(geometry) {
        geometry.dispose();
        // Those three.js never drew are not known to it. Deleting a deleted buffer does nothing.
        for (const buffer of this.buffers.get(geometry) ?? []) this.gl.deleteBuffer(buffer);
        this.pending.delete(geometry);
        this.buffers.delete(geometry);
    }

    // Sends a frame's share of what is queued.
    work() {
        const gl = this.gl;
        const start = this.now();
        let bytes = 0;
        let touched = false;
        // At least one piece a frame, however slow the machine: every model arrives.
        while (this.queue.length && (bytes === 0 || this.now() - start < msPerFrame)) {
            const job = this.queue[0];
            const { geometry, array } = job;
            if (!this.buffers.has(geometry)) {
                this.queue.shift(); // gone before it was sent
                continue;
            }
            const elements = Math.min(array.length - job.at, pieceBytes / array.BYTES_PER_ELEMENT);
            if (bytes > 0 && bytes + elements * array.BYTES_PER_ELEMENT > bytesPerFrame) break;
            // Frustum culling and framing need the bounds, which three.js cannot take from a
            // buffer on the GPU: worked out from the positions, once.
            if (!this.bounded.has(geometry)) {
                bounds(geometry);
                this.bounded.add(geometry);
            }
            if (!touched) {
                // An index buffer bound while a vertex array object is bound would become that
                // object's: none is, until three.js takes its state back below.
                gl.bindVertexArray(null);
                touched = true;
            }
            gl.bindBuffer(job.target, job.buffer);
            if (job.at === 0 && elements === array.length) gl.bufferData(job.target, array, gl.STATIC_DRAW);
            else {
                if (job.at === 0) gl.bufferData(job.target, array.byteLength, gl.STATIC_DRAW);
                gl.bufferSubData(job.target, job.at * array.BYTES_PER_ELEMENT, array, job.at, elements);
            }
            job.at += elements;
            bytes += elements * array.BYTES_PER_ELEMENT;
            if (job.at === array.length) {
                this.queue.shift();
                this.pending.set(geometry, this.pending.get(geometry) - 1);
            }
        }
        if (touched) this.renderer.resetState();
    }
}

function bounds(geometry) {
    const p = geometry.userData.positions;
    const box = new THREE.Box3();
    const v = new THREE.Vector3();
    for (let i = 0; i + 2 < p.length; i += 3) box.expandByPoint(v.set(p[i], p[i + 1], p[i + 2]));
    geometry.boundingBox = box;
    const sphere = box.getBoundingSphere(new THREE.Sphere());
    let r2 = 0;
    for (let i = 0; i + 2 < p.length; i += 3) r2 = Math.max(r2, sphere.center.distanceToSquared(v.set(p[i], p[i + 1], p[i + 2])));
    if (!box.isEmpty()) sphere.radius = Math.sqrt(r2);
    geometry.boundingSphere = sphere;
    delete geometry.userData.positions;
}
