import assert from 'node:assert/strict';
import { test } from 'node:test';

import { bytesPerFrame, pieceBytes, Uploader } from '../src/gpu.js';

// A WebGL 2 context that keeps what is sent to each buffer and counts the calls.
function fakeGl() {
    const gl = {
        ARRAY_BUFFER: 0x8892, ELEMENT_ARRAY_BUFFER: 0x8893, STATIC_DRAW: 0x88e4, FLOAT: 0x1406, UNSIGNED_INT: 0x1405,
        bound: new Map(), vao: 'some', sent: [], deleted: new Set(), resets: 0,
        createBuffer: () => ({ bytes: null, target: 0 }),
        bindVertexArray: (v) => (gl.vao = v),
        bindBuffer: (target, b) => {
            // An index buffer bound while a vertex array object is bound would become that object's.
            if (target === gl.ELEMENT_ARRAY_BUFFER) assert.equal(gl.vao, null);
            b.target ||= target;
            assert.equal(b.target, target, 'a buffer keeps its first target');
            gl.bound.set(target, b);
        },
        bufferData: (target, data) => {
            const b = gl.bound.get(target);
            b.bytes = typeof data === 'number' ? new Uint8Array(data) : new Uint8Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
            if (typeof data !== 'number') gl.sent.push(data.byteLength);
        },
        bufferSubData: (target, at, src, from, count) => {
            const bytes = new Uint8Array(src.buffer, src.byteOffset + from * src.BYTES_PER_ELEMENT, count * src.BYTES_PER_ELEMENT);
            gl.bound.get(target).bytes.set(bytes, at);
            gl.sent.push(bytes.byteLength);
        },
        deleteBuffer: (b) => gl.deleted.add(b),
    };
    return gl;
}

// The frames' clock stands still: what a frame sends is bounded by bytes alone, whatever the
// machine's load.
function uploader(now = () => 0) {
    const gl = fakeGl();
    const renderer = {
        getContext: () => gl,
        resetState: () => {
            ++gl.resets;
            gl.vao = 'three.js';
        },
    };
    return { gl, up: new Uploader(renderer, { now }) };
}

// A mesh with v vertices (positions counting up, normals, no texture coordinates) and i indices.
function mesh(v, i) {
    const positions = Float32Array.from({ length: 3 * v }, (_, k) => k - v);
    return { positions, normals: new Float32Array(3 * v).fill(1), uvs: new Float32Array(0), indices: Uint32Array.from({ length: i }, (_, k) => k % v) };
}

const bytesOf = (a) => new Uint8Array(a.buffer, a.byteOffset, a.byteLength);
const mib = pieceBytes / 4; // floats in a piece

test('every mesh reaches its buffers whole, in pieces of at most a megabyte, a few megabytes a frame', () => {
    const cases = [
        { name: 'no indices', m: mesh(3, 0) },
        { name: 'small', m: mesh(4, 6) },
        { name: 'indices of exactly one piece', m: mesh(7, mib) },
        { name: 'indices one element past a piece', m: mesh(7, mib + 1) },
        { name: 'positions of three and a half pieces', m: mesh(Math.round((3.5 * mib) / 3), 30) },
        // A view into a larger buffer, as the decoder may hand over.
        { name: 'arrays that are views', m: { ...mesh(5, 9), positions: new Float32Array(100).subarray(40, 55).map((_, k) => k) } },
    ];
    for (const { name, m } of cases) {
        const { gl, up } = uploader();
        const g = up.geometry(m);
        assert.equal(up.done(g), false, name);
        let frames = 0;
        while (!up.done(g) && frames < 100) {
            const before = gl.sent.length;
            up.work();
            ++frames;
            const frame = gl.sent.slice(before);
            assert.ok(frame.every((n) => n <= pieceBytes), `${name}: pieces ${frame}`);
            assert.ok(frame.reduce((a, n) => a + n, 0) <= bytesPerFrame, `${name}: a frame of ${frame}`);
            assert.equal(gl.resets, frames, `${name}: three.js takes its state back after each frame`);
        }
        assert.ok(up.done(g), name);
        const buffers = [g.attributes.position, g.attributes.normal, g.index];
        assert.deepEqual(buffers.map((a) => a.buffer.bytes), [m.positions, m.normals, m.indices].map(bytesOf), name);
        assert.equal(g.index.buffer.target, gl.ELEMENT_ARRAY_BUFFER, name);
        assert.equal(g.index.count, m.indices.length, name);
        assert.equal(g.attributes.position.count, m.positions.length / 3, name);
        assert.equal(g.attributes.uv, undefined, name);
        // The bounds frustum culling and framing use, from the positions.
        if (m.positions.length) {
            const along = (c, f) => m.positions.filter((_, k) => k % 3 === c).reduce((a, x) => f(a, x));
            assert.deepEqual(g.boundingBox.min.toArray(), [0, 1, 2].map((c) => along(c, Math.min)), name);
            assert.deepEqual(g.boundingBox.max.toArray(), [0, 1, 2].map((c) => along(c, Math.max)), name);
        }
    }
});

test('geometries go in the order they came, and one let go before it was sent is skipped and its buffers deleted', () => {
    const { gl, up } = uploader();
    // A frame: the first (2 MiB), then a piece of the second (3 MiB of positions).
    const first = up.geometry(mesh(Math.round(mib / 3), 3));
    const gone = up.geometry(mesh(Math.round((3 * mib) / 3), 3));
    const last = up.geometry(mesh(4, 6));
    up.work();
    assert.equal(up.done(first), true);
    assert.equal(up.done(gone), false);
    const sent = gl.sent.length;
    up.dispose(gone);
    assert.ok([gone.attributes.position, gone.attributes.normal, gone.index].every((a) => gl.deleted.has(a.buffer)));
    up.work();
    assert.equal(up.done(last), true);
    // Only the last one's three small buffers were sent.
    assert.deepEqual(gl.sent.slice(sent), [48, 48, 24]);
    assert.equal(up.queue.length, 0);
});

test('a frame stops sending once its few milliseconds are gone, and still sends a piece however slow the machine', () => {
    const cases = [
        { name: 'each look at the clock 3 ms later', step: 3, piecesPerFrame: 3 },
        { name: 'each look at the clock 100 ms later', step: 100, piecesPerFrame: 1 },
    ];
    for (const { name, step, piecesPerFrame } of cases) {
        let t = 0;
        const { gl, up } = uploader(() => (t += step));
        const g = up.geometry(mesh(Math.round((4 * mib) / 3), 3)); // 4 MiB of positions, as much of normals
        const frames = [];
        for (let f = 0; f < 20 && !up.done(g); ++f) {
            const before = gl.sent.length;
            up.work();
            frames.push(gl.sent.length - before);
        }
        assert.ok(up.done(g), name);
        assert.ok(frames.slice(0, -1).every((n) => n === piecesPerFrame), `${name}: pieces a frame ${frames}`);
    }
});
