// Decoder of the scene wire format (runtime/import/include/zel/import/scene_codec.h and the layout
// described beside it). It trusts nothing: every count is checked against the bytes that remain,
// every index against what it indexes, the node graph must be a tree rooted at node 0, and every
// failure gives the same reason text as the C++ decoder.

const headMagic = 'ZELSCENE';
const tailMagic = 'ZELEND\0\0';
export const sceneCodecVersion = 3;
// From version 2 on, a scene carries its pictures (decoded RGBA) and materials index them; from
// version 3 on, materials carry their highlight's exponent (shininess).
const withTextures = sceneCodecVersion >= 2;
export const noTexture = 0xffffffff;
export const maxTexturePixels = 2 ** 22;
export const maxScenePixels = 2 ** 24;
export const maxTextureSide = 2 ** 24;
const textureHasAlpha = 1;
const kindScene = 1;
const kindFailure = 2;
const headerSize = 8 + 4 + 4 + 8;
const maxStringLength = 64 * 1024;
const maxReasonLength = 1024;
const vectorKeySize = 8 + 3 * 4;
const quatKeySize = 8 + 4 * 4;

const littleEndian = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;
const utf8 = new TextDecoder('utf-8');

class Malformed extends Error {}

// Reads front to back within the size the header announced; the first shortfall or bad value
// throws with the reason.
class Reader {
    constructor(bytes, memoryBudget) {
        this.bytes = bytes;
        this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
        this.at = 0;
        this.left = headerSize; // the header, then what the header announces
        this.budget = memoryBudget;
        this.spent = 0;
    }

    // Charges what the next element or array takes in memory, as the C++ decoder does.
    charge(bytes, what) {
        if (bytes > this.budget - this.spent) this.fail(`decoded scene exceeds its memory budget in ${what}`);
        this.spent += bytes;
    }

    fail(why) {
        throw new Malformed(why);
    }

    take(n, what) {
        if (n > this.left) this.fail(`truncated in ${what}`);
        if (this.at + n > this.bytes.byteLength) this.fail(`data ends in ${what}`);
        const from = this.at;
        this.at += n;
        this.left -= n;
        return from;
    }
    u32(what) {
        return this.view.getUint32(this.take(4, what), true);
    }
    u64(what) {
        return this.view.getBigUint64(this.take(8, what), true);
    }
    f32(what) {
        return this.view.getFloat32(this.take(4, what), true);
    }
    f64(what) {
        return this.view.getFloat64(this.take(8, what), true);
    }
    floats(n, what) {
        const from = this.take(4 * n, what);
        const out = new Float32Array(n);
        for (let i = 0; i < n; ++i) out[i] = this.view.getFloat32(from + 4 * i, true);
        return out;
    }
    text(n, what) {
        return utf8.decode(this.bytes.subarray(this.take(n, what), this.at));
    }

    // A count of elements that take at least minBytes each in what follows.
    count(minBytes, what) {
        const n = this.u32(what);
        if (minBytes !== 0 && n > Math.floor(this.left / minBytes))
            this.fail(`count of ${what} exceeds the data`);
        return n;
    }

    str(what, maxLength = maxStringLength) {
        const n = this.u32(what);
        if (n > maxLength) this.fail(`${what} too long`);
        if (n > this.left) this.fail(`truncated in ${what}`);
        // Short strings live inside the element already charged.
        if (n > 15) this.charge(2 * n, what);
        return this.text(n, what);
    }

    // n elements (n a Number or a BigInt from the data) as Type: Float32Array, Uint32Array or
    // Uint8Array, copied out of the encoding.
    array(Type, n, what) {
        const size = Type.BYTES_PER_ELEMENT;
        if (BigInt(n) > BigInt(Math.floor(this.left / size))) this.fail(`count of ${what} exceeds the data`);
        const count = Number(n);
        this.charge(size * count, what);
        const from = this.take(size * count, what);
        if (littleEndian || size === 1) return new Type(this.bytes.buffer.slice(this.bytes.byteOffset + from, this.bytes.byteOffset + this.at));
        const out = new Type(count);
        const get = Type === Float32Array ? 'getFloat32' : 'getUint32';
        for (let i = 0; i < count; ++i) out[i] = this.view[get](from + size * i, true);
        return out;
    }

    // Animation keys as two flat arrays: times, and width values a key.
    keys(size, width, what) {
        const n = this.count(size, what);
        this.charge(n * size, what);
        const times = new Float64Array(n);
        const values = new Float32Array(n * width);
        for (let i = 0; i < n; ++i) {
            times[i] = this.f64(what);
            for (let k = 0; k < width; ++k) values[i * width + k] = this.f32(what);
        }
        return { times, values };
    }
}

function allFinite(values) {
    for (const v of values) if (!Number.isFinite(v)) return false;
    return true;
}

// pixels.n: what the scene's earlier pictures hold.
function readTexture(r, pixels) {
    const name = r.str('texture name');
    const width = r.u32('texture');
    const height = r.u32('texture');
    const sourceWidth = r.u32('texture');
    const sourceHeight = r.u32('texture');
    const flags = r.u32('texture');
    const n = width * height; // inexact only far above the limit
    if (n === 0 || n > maxTexturePixels) r.fail('bad texture size');
    if (sourceWidth < width || sourceHeight < height || sourceWidth > maxTextureSide || sourceHeight > maxTextureSide)
        r.fail('bad texture source size');
    if ((flags & ~textureHasAlpha) !== 0) r.fail('unknown texture flags');
    if (n > maxScenePixels - pixels.n) r.fail('textures exceed the pixels a scene may hold');
    pixels.n += n;
    const rgba = r.array(Uint8Array, n * 4, 'texture pixels');
    return { name, width, height, sourceWidth, sourceHeight, hasAlpha: (flags & textureHasAlpha) !== 0, rgba };
}

function readMaterial(r, textureCount) {
    const name = r.str('material name');
    const diffuse = r.floats(4, 'material');
    const ambient = r.floats(3, 'material');
    const specular = r.floats(3, 'material');
    const shininess = r.f32('material');
    const opacity = r.f32('material');
    if (!withTextures) return { name, diffuse, ambient, specular, shininess, opacity, diffuseTexture: r.str('texture name'), texture: noTexture };
    const diffuseTexture = r.str('material texture name');
    const texture = r.u32('material');
    if (texture !== noTexture && texture >= textureCount) r.fail('material texture index out of range');
    return { name, diffuse, ambient, specular, shininess, opacity, diffuseTexture, texture };
}

function readMesh(r, materialCount) {
    const material = r.u32('mesh');
    const nPositions = r.u64('mesh');
    const nNormals = r.u64('mesh');
    const nUvs = r.u64('mesh');
    const nIndices = r.u64('mesh');
    if (material >= materialCount) r.fail('mesh material index out of range');
    if (nPositions % 3n !== 0n || nPositions / 3n > 0xffffffffn) r.fail('bad vertex count');
    const vertices = nPositions / 3n;
    if (nNormals !== 0n && nNormals !== nPositions)
        r.fail('normal count does not match the vertex count');
    if (nUvs !== 0n && nUvs !== vertices * 2n)
        r.fail('texture coordinate count does not match the vertex count');
    if (nIndices % 3n !== 0n) r.fail('index count is not a multiple of 3');
    const positions = r.array(Float32Array, nPositions, 'positions');
    const normals = r.array(Float32Array, nNormals, 'normals');
    const uvs = r.array(Float32Array, nUvs, 'texture coordinates');
    const indices = r.array(Uint32Array, nIndices, 'indices');
    let highest = 0;
    for (let i = 0; i < indices.length; ++i) if (indices[i] > highest) highest = indices[i];
    if (indices.length !== 0 && BigInt(highest) >= vertices) r.fail('vertex index out of range');
    return { material, positions, normals, uvs, indices };
}

function readIndexList(r, what) {
    const n = r.count(4, what);
    return r.array(Uint32Array, n, what);
}

function readNode(r) {
    const name = r.str('node name');
    const matrix = r.floats(16, 'node');
    const meshes = readIndexList(r, 'node meshes');
    const children = readIndexList(r, 'node children');
    if (!allFinite(matrix)) r.fail('node matrix not finite');
    return { name, matrix, meshes, children };
}

function readAnimation(r) {
    const name = r.str('animation name');
    const duration = r.f64('animation');
    const ticksPerSecond = r.f64('animation');
    // A channel takes at least its name's length and three key counts.
    const n = r.count(16, 'channels');
    if (!Number.isFinite(duration) || duration < 0 || !Number.isFinite(ticksPerSecond) || ticksPerSecond < 0)
        r.fail('bad animation timing');
    const channels = [];
    for (let i = 0; i < n; ++i) {
        r.charge(elementBytes, 'channels');
        const node = r.str('channel node name');
        const position = r.keys(vectorKeySize, 3, 'position keys');
        const rotation = r.keys(quatKeySize, 4, 'rotation keys');
        const scaling = r.keys(vectorKeySize, 3, 'scaling keys');
        for (const keys of [position, rotation, scaling])
            for (const t of keys.times) if (!Number.isFinite(t)) r.fail('key time not finite');
        channels.push({ node, position, rotation, scaling });
    }
    return { name, duration, ticksPerSecond, channels };
}

// Each node other than the root has exactly one parent, with a smaller index: that rules out cycles
// and makes every node reachable from node 0.
function checkTree(r, s) {
    if (s.nodes.length === 0) r.fail('no root node');
    const hasParent = new Uint8Array(s.nodes.length);
    s.nodes.forEach((node, i) => {
        for (const m of node.meshes) if (m >= s.meshes.length) r.fail('node mesh index out of range');
        for (const c of node.children) {
            if (c >= s.nodes.length) r.fail('node child index out of range');
            if (c <= i) r.fail('node graph is not a tree in parent-first order');
            if (hasParent[c]) r.fail('node has two parents');
            hasParent[c] = 1;
        }
    });
    for (let i = 1; i < s.nodes.length; ++i) if (!hasParent[i]) r.fail('node not reachable from the root');
}

// What one element of a list costs here beyond its arrays: an object and its small arrays.
const elementBytes = 512;

// A list grows as its elements are decoded, never by the count it announces, and each element is
// charged to the memory budget first.
function sections(r, minBytes, what, readOne) {
    const n = r.count(minBytes, what);
    const out = [];
    for (let i = 0; i < n; ++i) {
        r.charge(elementBytes, what);
        out.push(readOne());
    }
    return out;
}

function decodeScene(r) {
    // Minimum sizes: texture 4+20+4 (one pixel), material 4+16+12+12+4+4 (+4 for its texture),
    // mesh 4+32, node 4+64+4+4, animation 4+16+4.
    const s = { textures: [] };
    const pixels = { n: 0 };
    if (withTextures) s.textures = sections(r, 28, 'textures', () => readTexture(r, pixels));
    s.materials = sections(r, withTextures ? 60 : 56, 'materials', () => readMaterial(r, s.textures.length));
    s.meshes = sections(r, 36, 'meshes', () => readMesh(r, s.materials.length));
    s.nodes = sections(r, 76, 'nodes', () => readNode(r));
    s.animations = sections(r, 24, 'animations', () => readAnimation(r));
    checkTree(r, s);
    return s;
}

// reason as one line of printable ASCII of at most maxLength characters (others become '?').
export function sanitizeReason(reason, maxLength = 300) {
    const bytes = new TextEncoder().encode(reason.replace(/[\n\r ]+$/, ''));
    let out = '';
    for (const u of bytes.subarray(0, maxLength)) {
        out += u === 10 || u === 13 || u === 9 ? ' ' : u >= 0x20 && u < 0x7f ? String.fromCharCode(u) : '?';
    }
    return out;
}

// The memory a decoding may take, as the C++ decoder's default: three times the encoding's size
// plus 64 MiB, at most 3 GiB; a page caps it lower with maxBudget.
export function defaultBudget(announced, maxBudget = 3 * 2 ** 30) {
    return Math.min(maxBudget, announced * 3 + 64 * 2 ** 20);
}

// bytes (a Uint8Array) must be exactly one encoding. Returns {status: 'scene', scene} or
// {status: 'failure', reason} (the importer's own) or {status: 'malformed', reason}. Never throws.
// A scene comes with the bytes it takes in memory (as charged to the budget).
// memoryBudget: what the decoded scene may take (by default defaultBudget of the encoding's size).
export function decode(bytes, { memoryBudget = defaultBudget(bytes.byteLength) } = {}) {
    const r = new Reader(bytes, memoryBudget);
    try {
        const magic = r.text(8, 'header');
        const version = r.u32('header');
        const kind = r.u32('header');
        const total = r.u64('header');
        if (magic !== headMagic) r.fail('not a scene encoding');
        if (version !== sceneCodecVersion) r.fail(`unsupported encoding version ${version}`);
        if (total !== BigInt(bytes.byteLength)) r.fail('encoding size does not match its header');
        if (total < BigInt(headerSize + tailMagic.length)) r.fail('encoding size too small');
        r.left = bytes.byteLength - headerSize;
        let result;
        if (kind === kindFailure) {
            result = { status: 'failure', reason: sanitizeReason(r.str('reason', maxReasonLength)) };
        } else if (kind === kindScene) {
            result = { status: 'scene', scene: decodeScene(r), bytes: r.spent };
        } else {
            r.fail('unknown encoding kind');
        }
        if (r.text(8, 'trailer') !== tailMagic) r.fail('bad trailer');
        if (r.left !== 0) r.fail('encoding shorter than its header says');
        return result;
    } catch (e) {
        if (e instanceof Malformed) return { status: 'malformed', reason: e.message };
        if (e instanceof RangeError) return { status: 'malformed', reason: 'out of memory while decoding' };
        throw e;
    }
}
