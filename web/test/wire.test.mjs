// One format, two decoders: the page's decoder reads what the C++ codec wrote (ZEL_WEB_GOLDEN, made
// by the build's zel_web_golden) and reports what the C++ decoder reported, damaged encodings
// included, down to the reason.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { decode, sanitizeReason } from '../src/wire.js';

const dir = process.env.ZEL_WEB_GOLDEN;
const skip = dir ? false : 'ZEL_WEB_GOLDEN is not set (ctest sets it)';
const read = (name) => new Uint8Array(readFileSync(join(dir, name)));
const json = (name) => JSON.parse(readFileSync(join(dir, name), 'utf8'));

// The page's decoder result in the C++ tool's terms.
function report(bytes) {
    const r = decode(bytes);
    const out = { status: r.status, reason: r.reason ?? '' };
    if (r.status !== 'scene') return out;
    const s = r.scene;
    out.materials = s.materials.length;
    out.textures = s.textures.map((t) => {
        let h = 0x811c9dc5;
        for (const b of t.rgba) h = Math.imul(h ^ b, 0x01000193) >>> 0;
        return { name: t.name, width: t.width, height: t.height, source: [t.sourceWidth, t.sourceHeight], alpha: t.hasAlpha, pixels: h };
    });
    out.materialTextures = s.materials.map((m) => m.texture);
    out.highlights = s.materials.map((m) => [...m.specular, m.shininess]);
    out.animations = s.animations.length;
    out.vertices = s.meshes.reduce((n, m) => n + m.positions.length / 3, 0);
    out.triangles = s.meshes.reduce((n, m) => n + m.indices.length / 3, 0);
    out.nodes = s.nodes.map((n) => ({ name: n.name, matrix: Array.from(n.matrix), meshes: Array.from(n.meshes), children: Array.from(n.children) }));
    out.meshes = s.meshes.map((m) => {
        const lo = [0, 0, 0];
        const hi = [0, 0, 0];
        for (let v = 0; v < m.positions.length / 3; ++v)
            for (let k = 0; k < 3; ++k) {
                const x = m.positions[3 * v + k];
                lo[k] = v === 0 ? x : Math.min(lo[k], x);
                hi[k] = v === 0 ? x : Math.max(hi[k], x);
            }
        return { material: m.material, vertices: m.positions.length / 3, triangles: m.indices.length / 3,
            normals: m.normals.length > 0, uvs: m.uvs.length > 0, min: lo, max: hi };
    });
    return out;
}

// JSON numbers of floats: the C++ side writes the shortest text that reads back as the same float.
// Names come as hex bytes, which the page reads as UTF-8, replacing what is not.
const utf8 = new TextDecoder();
const expected = (r) => {
    const out = JSON.parse(JSON.stringify(r), (k, x) => (typeof x === 'number' ? Math.fround(x) : x));
    for (const n of [...(out.nodes ?? []), ...(out.textures ?? [])]) n.name = utf8.decode(Buffer.from(n.name, 'hex'));
    return out;
};
const asFloats = (v) => JSON.parse(JSON.stringify(v), (k, x) => (typeof x === 'number' ? Math.fround(x) : x));

test('the sample models decode to what the C++ decoder reports', { skip }, () => {
    const models = json('models.json');
    assert.ok(models.length >= 5, 'every sample model has an encoding');
    for (const m of models) {
        assert.equal(m.report.status, 'scene', m.model);
        assert.deepEqual(asFloats(report(read(m.file))), expected(m.report), m.model);
    }
});

test('damaged encodings fail or pass exactly as in the C++ decoder, with its reason', { skip }, () => {
    const cases = json('damaged.json');
    const sample = read('sample.bin');
    let compared = 0;
    for (const c of cases) {
        let bytes;
        if (c.file) bytes = read(c.file);
        else if (c.cut !== undefined) {
            bytes = sample.slice(0, c.cut);
            if (c.size !== undefined) new DataView(bytes.buffer).setBigUint64(16, BigInt(c.size), true);
        } else {
            bytes = sample.slice();
            bytes[c.flip[0]] ^= 1 << c.flip[1];
        }
        const label = `${c.name} ${JSON.stringify(c.flip ?? c.cut ?? c.file)}`;
        const mine = report(bytes);
        assert.equal(mine.status, c.report.status, label);
        assert.equal(mine.reason, c.report.reason, label);
        if (mine.status === 'scene') assert.deepEqual(asFloats(mine), expected(c.report), label);
        ++compared;
    }
    assert.ok(compared > 1000);
    assert.ok(cases.some((c) => c.report.status === 'scene' && c.flip), 'some flips in float data give valid scenes');
});

test('an importer failure is one printable line', () => {
    assert.equal(sanitizeReason('PLY: unexpected\nend\x01 of file\n'), 'PLY: unexpected end? of file');
    assert.equal(sanitizeReason('x'.repeat(1000)).length, 300);
});

// What the budget checks are for: announced sizes far beyond the data cost nothing.
test('counts that the data cannot back are refused before anything is allocated', () => {
    const header = (total) => {
        const b = new Uint8Array(24 + 4 + 8);
        b.set(new TextEncoder().encode('ZELSCENE'));
        const v = new DataView(b.buffer);
        v.setUint32(8, 3, true);
        v.setUint32(12, 1, true);
        v.setBigUint64(16, BigInt(total ?? b.length), true);
        return b;
    };
    const b = header();
    new DataView(b.buffer).setUint32(24, 0xffffffff, true);
    assert.deepEqual(decode(b), { status: 'malformed', reason: 'count of textures exceeds the data' });
    assert.equal(decode(new Uint8Array(0)).reason, 'data ends in header');
    assert.equal(decode(header(2n ** 64n - 1n)).reason, 'encoding size does not match its header');
});

test('a scene that would take more memory than its budget is refused', { skip }, () => {
    const sample = read('sample.bin');
    assert.equal(decode(sample).status, 'scene');
    assert.match(decode(sample, { memoryBudget: 1000 }).reason, /^decoded scene exceeds its memory budget in /);
});
