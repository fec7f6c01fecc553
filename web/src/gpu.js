// What the page keeps on the GPU: the pictures, materials and meshes of imported scenes, each made
// once and shared by every node that shows it, its memory freed a while after the last one goes;
// the avatars' heads; and the uploader that puts a large model's geometry on the GPU a little at a
// time.

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
        // Geometry of one imported scene's mesh.
        this.meshes = new SharedResources({
            make: (id, hash, scene, index) => {
                const m = scene.meshes[index];
                const g = new THREE.BufferGeometry();
                g.setAttribute('position', new THREE.BufferAttribute(m.positions, 3));
                if (m.normals.length) g.setAttribute('normal', new THREE.BufferAttribute(m.normals, 3));
                if (m.uvs.length) g.setAttribute('uv', new THREE.BufferAttribute(m.uvs, 2));
                g.setIndex(new THREE.BufferAttribute(m.indices, 1));
                const textured = scene.materials[m.material].texture !== noTexture && m.uvs.length > 0;
                const materialId = `${hash}#m${m.material}${textured ? 't' : ''}`;
                const material = this.materials.acquire(materialId, hash, scene, m.material, textured);
                return { geometry: g, material, materialId, triangles: m.indices.length / 3 };
            },
            dispose: (e) => {
                e.geometry.dispose();
                this.materials.release(e.materialId);
            },
            idle: 32,
        });
        this.headGeometry = makeHeadGeometry();
        // One material per user's colour, for the few users present.
        this.headMaterials = new LruMap(256, (user, material) => material.dispose());

        // Geometry goes to the GPU when a mesh is first drawn, all of it in that frame. A large
        // model's meshes are first drawn a few megabytes a frame into a target of one pixel, which
        // puts their geometry on the GPU at little cost, and the whole model is drawn on screen
        // once they all are: no frame holds the page for long, and the model is not drawn again
        // and again while it grows.
        this.revealing = [];
        this.uploaded = new WeakSet(); // geometries drawn before
        this.uploadTarget = new THREE.WebGLRenderTarget(1, 1);
        this.uploadScene = new THREE.Scene();
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
        if (this.uploaded.has(mesh.geometry)) return;
        mesh.visible = false;
        this.revealing.push(mesh);
    }

    // One frame's share of the uploads; asks for the frame on screen once the last is done.
    revealSome() {
        const { revealing, uploaded, uploadScene, stage } = this;
        if (!revealing.length) return;
        let bytes = 0;
        while (revealing.length && bytes < uploadBytesPerFrame) {
            const mesh = revealing.shift();
            mesh.visible = true;
            if (!mesh.parent || uploaded.has(mesh.geometry)) continue;
            uploaded.add(mesh.geometry);
            const probe = new THREE.Mesh(mesh.geometry, mesh.material);
            probe.frustumCulled = false;
            uploadScene.add(probe);
            for (const a of [...Object.values(mesh.geometry.attributes), mesh.geometry.index]) bytes += a?.array.byteLength ?? 0;
        }
        if (uploadScene.children.length) {
            stage.renderer.setRenderTarget(this.uploadTarget);
            stage.renderer.render(uploadScene, stage.camera);
            stage.renderer.setRenderTarget(null);
            uploadScene.clear();
        }
        if (!revealing.length) stage.redraw();
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

const uploadBytesPerFrame = 4 * 2 ** 20;
