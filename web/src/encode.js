// Encoder of the scene wire format (runtime/import/include/zel/import/wire_format.md), for models
// that the page places itself. It writes what wire.js reads; the page decodes its own encoding
// before sending it, so the same limits hold as for a desktop site's decoder.

import { sceneCodecVersion } from './wire.js';

const utf8 = new TextEncoder();

// scene: {textures: [{name, width, height, sourceWidth, sourceHeight, hasAlpha, rgba}],
// materials: [{name, diffuse[4], ambient[3], specular[3], shininess, opacity, textureName, texture}],
// meshes: [{material, positions, normals, uvs, indices}], nodes: [{name, matrix, meshes, children}]}
// (no animations). Returns the encoding's bytes.
export function encodeScene(scene) {
    const strings = new Map();
    const text = (s) => {
        let b = strings.get(s);
        if (!b) strings.set(s, (b = utf8.encode(s)));
        return b;
    };
    let size = 24 + 8 + 4 * 5;
    for (const t of scene.textures) size += 4 + text(t.name).length + 20 + t.rgba.length;
    for (const m of scene.materials) size += 4 + text(m.name).length + 4 * (4 + 3 + 3 + 2) + 4 + text(m.textureName).length + 4;
    for (const m of scene.meshes) size += 4 + 32 + 4 * (m.positions.length + m.normals.length + m.uvs.length + m.indices.length);
    for (const n of scene.nodes) size += 4 + text(n.name).length + 64 + 8 + 4 * (n.meshes.length + n.children.length);

    const out = new Uint8Array(size);
    const view = new DataView(out.buffer);
    let at = 0;
    const bytes = (b) => {
        out.set(b, at);
        at += b.length;
    };
    const u32 = (v) => {
        view.setUint32(at, v, true);
        at += 4;
    };
    const u64 = (v) => {
        view.setBigUint64(at, BigInt(v), true);
        at += 8;
    };
    const floats = (list) => {
        for (const v of list) {
            view.setFloat32(at, v, true);
            at += 4;
        }
    };
    const str = (s) => {
        const b = text(s);
        u32(b.length);
        bytes(b);
    };
    const u32s = (list) => {
        for (const v of list) u32(v);
    };

    bytes(utf8.encode('ZELSCENE'));
    u32(sceneCodecVersion);
    u32(1);
    u64(size);
    u32(scene.textures.length);
    for (const t of scene.textures) {
        str(t.name);
        u32s([t.width, t.height, t.sourceWidth, t.sourceHeight, t.hasAlpha ? 1 : 0]);
        bytes(t.rgba);
    }
    u32(scene.materials.length);
    for (const m of scene.materials) {
        str(m.name);
        floats(m.diffuse);
        floats(m.ambient);
        floats(m.specular);
        floats([m.shininess, m.opacity]);
        str(m.textureName);
        u32(m.texture);
    }
    u32(scene.meshes.length);
    for (const m of scene.meshes) {
        u32(m.material);
        for (const a of [m.positions, m.normals, m.uvs, m.indices]) u64(a.length);
        floats(m.positions);
        floats(m.normals);
        floats(m.uvs);
        u32s(m.indices);
    }
    u32(scene.nodes.length);
    for (const n of scene.nodes) {
        str(n.name);
        floats(n.matrix);
        u32(n.meshes.length);
        u32s(n.meshes);
        u32(n.children.length);
        u32s(n.children);
    }
    u32(0); // animations
    bytes(utf8.encode('ZELEND\0\0'));
    return out;
}
