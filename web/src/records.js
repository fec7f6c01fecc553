// What a shared scene keeps on the broker, checked exactly as a desktop site checks it
// (runtime/share/src/records.cpp): keys, node records, presence records and asset manifests. Every
// reader returns {value} or {reason}; nothing here throws on bad input.

export const maxKeyLength = 200;
export const maxRecordBytes = 64 * 1024;
export const maxNameCharacters = 1024;
export const maxNodesPerUser = 100000;
export const maxDepth = 256;
export const maxAssetBytes = 512 * 1024 * 1024;
// Every chunk of an asset but the last has exactly this size: 1 MiB less 8 KiB, so that a chunk
// and its headers fit a broker's default max_payload (a tiny chunk size would cost a round trip
// per few bytes).
export const assetChunkBytes = 1024 * 1024 - 8 * 1024;
export const maxUserLength = 32;
export const maxSceneLength = 64;
// A site that has not refreshed its presence for this long is gone (it refreshes every second and
// the broker forgets it after 5 s).
export const presenceTimeoutMs = 4000;
export const presenceRefreshMs = 1000;
export const presenceTtlMs = 5000;
// A site of this page's user that has been gone this long has its records deleted by the page, as
// a desktop site does.
export const cleanUpAfterMs = 10000;
// Sites present at once per user: anyone can make up site ids.
export const maxSitesPerUser = 64;

const tokenPattern = /^[A-Za-z0-9_-]+$/;
const utf8 = new TextDecoder('utf-8', { fatal: true });
const encoder = new TextEncoder();

export function validUserName(user) {
    return typeof user === 'string' && user.length >= 1 && user.length <= maxUserLength && tokenPattern.test(user);
}

export function validSceneName(scene) {
    return typeof scene === 'string' && scene.length >= 1 && scene.length <= maxSceneLength && tokenPattern.test(scene);
}

export function validHash(hash) {
    return typeof hash === 'string' && /^[0-9a-f]{64}$/.test(hash);
}

export function nodeBucket(scene) {
    return `zel-scene-${scene}`;
}
export function presenceBucket(scene) {
    return `zel-presence-${scene}`;
}
export function assetBucket(scene) {
    return `zel-assets-${scene}`;
}
// Each user hears replies and deliveries under its own prefix, where the broker lets only it listen.
export const inboxPrefix = (user) => `_INBOX_${user}`;

// A broker's address as typed, split into what may be shown (no user or password) and the
// credentials it carried. {reason} when it is not a ws:// or wss:// address.
export function brokerAddress(text) {
    let u;
    try {
        u = new URL(text);
    } catch {
        return { reason: 'the broker is a ws:// or wss:// address' };
    }
    if (u.protocol !== 'ws:' && u.protocol !== 'wss:') return { reason: 'the broker is a ws:// or wss:// address' };
    const user = decodeURIComponent(u.username);
    const pass = decodeURIComponent(u.password);
    const shown = text.replace(/^(wss?:\/\/)[^/]*@/i, '$1');
    return { url: shown, user, pass };
}

// True for a host on this machine written as such: a 127.0.0.0/8 address, ::1 or localhost.
export function loopbackHost(host) {
    const h = String(host).toLowerCase();
    if (h === 'localhost' || h === '::1' || h === '[::1]') return true;
    const parts = h.split('.');
    return parts.length === 4 && parts[0] === '127' && parts.every((p) => /^[0-9]{1,3}$/.test(p) && Number(p) <= 255);
}

// Why a password may not go to this address ({reason}), or {} when it may: over ws:// only to
// this machine.
export function passwordAllowed(url) {
    let u;
    try {
        u = new URL(url);
    } catch {
        return { reason: 'the broker is a ws:// or wss:// address' };
    }
    if (u.protocol === 'ws:' && !loopbackHost(u.hostname))
        return { reason: `the broker at ${u.hostname} is not on this machine: a password goes to it only over wss://` };
    return {};
}

// text without the credentials of a broker address in it: for the log and the screen.
export function withoutCredentials(text, ...secrets) {
    let out = String(text).replace(/(\b[a-z][a-z0-9+.-]*:\/\/)[^\s/@]*@/gi, '$1');
    for (const s of secrets) if (s) out = out.split(s).join('***');
    return out;
}

// A site of user with 8 fresh random hex digits.
export function makeSite(user) {
    const digits = new Uint32Array(1);
    crypto.getRandomValues(digits);
    return { user, hex: digits[0].toString(16).padStart(8, '0') };
}
export const siteId = (s) => `${s.user}-${s.hex}`;
export const siteKey = (s) => `${s.user}.${s.hex}`;
export const sameSite = (a, b) => a.user === b.user && a.hex === b.hex;

// "user.hex" at the start of key, and what follows it.
function parseSite(key) {
    const parts = key.split('.');
    if (parts.length < 2 || !validUserName(parts[0]) || !/^[0-9a-f]{8}$/.test(parts[1])) return null;
    return { site: { user: parts[0], hex: parts[1] }, rest: parts.slice(2) };
}

// "user.hex.n" in the node bucket: {site, n} or null.
export function parseNodeKey(key) {
    if (typeof key !== 'string' || key.length > maxKeyLength) return null;
    const p = parseSite(key);
    if (!p || p.rest.length !== 1 || !/^[0-9]{1,20}$/.test(p.rest[0])) return null;
    const n = BigInt(p.rest[0]);
    if (n > 0xffffffffffffffffn) return null;
    return { site: p.site, n };
}

// "user.hex" in the presence bucket: the site or null.
export function parsePresenceKey(key) {
    if (typeof key !== 'string' || key.length > maxKeyLength) return null;
    const p = parseSite(key);
    return p && p.rest.length === 0 ? p.site : null;
}

// JSON text to a value, remembering which numbers were written as integers: a desktop site takes
// only those where it wants a whole number ("order": 1.0 is not one).
function parseJson(bytes) {
    let text;
    try {
        text = typeof bytes === 'string' ? bytes : utf8.decode(bytes);
    } catch {
        return { ok: false };
    }
    const fractional = new WeakMap();
    const reviver = function (key, value, context) {
        if (typeof value === 'number' && context && typeof context.source === 'string' && !/^-?[0-9]+$/.test(context.source)) {
            if (!fractional.has(this)) fractional.set(this, new Set());
            fractional.get(this).add(key);
        }
        return value;
    };
    try {
        return { ok: true, value: JSON.parse(text, reviver), fractional };
    } catch {
        return { ok: false };
    }
}

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const has = (o, k) => Object.prototype.hasOwnProperty.call(o, k);

function unsigned(json, holder, key) {
    const v = holder[key];
    return typeof v === 'number' && Number.isInteger(v) && v >= 0 && v <= 2 ** 64 - 1 &&
        !(json.fractional.get(holder)?.has(String(key)) ?? false);
}

const byteLength = (v) => (typeof v === 'string' ? encoder.encode(v).length : v.byteLength);

// The node record under key ({site, n} from parseNodeKey), from its bytes.
export function decodeRecord(key, bytes) {
    const size = byteLength(bytes);
    if (size > maxRecordBytes) return { reason: `record of ${size} bytes` };
    const json = parseJson(bytes);
    const j = json.value;
    if (!json.ok || !isObject(j)) return { reason: 'not a JSON object' };
    if (!has(j, 'name') || typeof j.name !== 'string') return { reason: 'no name' };
    if ([...j.name].length > maxNameCharacters) return { reason: 'name longer than 1024 characters' };
    if (!has(j, 'parent') || typeof j.parent !== 'string') return { reason: 'no parent' };
    if (j.parent !== '') {
        const p = parseNodeKey(j.parent);
        if (!p || !sameSite(p.site, key.site)) return { reason: 'parent is not a node of the same site' };
        if (p.n === key.n) return { reason: 'node is its own parent' };
    }
    if (!has(j, 'order') || !unsigned(json, j, 'order')) return { reason: 'no order' };
    const m = j.matrix;
    if (!has(j, 'matrix') || !Array.isArray(m) || m.length !== 16) return { reason: 'matrix is not 16 numbers' };
    const matrix = new Float32Array(16);
    for (let i = 0; i < 16; ++i) {
        if (typeof m[i] !== 'number' || !Number.isFinite(m[i]) || !Number.isFinite(Math.fround(m[i])))
            return { reason: 'matrix holds a number that is not finite' };
        matrix[i] = m[i];
    }
    const record = { name: j.name, parent: j.parent, order: j.order, matrix, meshScene: '', meshes: [], anim: -1, navigator: false };
    if (has(j, 'mesh')) {
        const mesh = j.mesh;
        if (!isObject(mesh) || !has(mesh, 'scene') || !validHash(mesh.scene) || !has(mesh, 'meshes') ||
            !Array.isArray(mesh.meshes) || mesh.meshes.length > 65536)
            return { reason: 'bad mesh reference' };
        record.meshScene = mesh.scene;
        const seen = new Set();
        for (let i = 0; i < mesh.meshes.length; ++i) {
            if (!unsigned(json, mesh.meshes, i) || mesh.meshes[i] > 0xffffffff) return { reason: 'bad mesh index' };
            if (seen.has(mesh.meshes[i])) return { reason: 'mesh index named twice' };
            seen.add(mesh.meshes[i]);
            record.meshes.push(mesh.meshes[i]);
        }
    }
    if (has(j, 'anim')) {
        if (typeof j.anim !== 'boolean') return { reason: 'anim is not true or false' };
        record.anim = j.anim ? 1 : 0;
    }
    // Only a node at the top of its site's tree is its navigator.
    if (has(j, 'navigator')) record.navigator = j.navigator === true && j.parent === '';
    return { value: record };
}

export function encodeRecord(r) {
    const out = { name: r.name, parent: r.parent, order: r.order, matrix: Array.from(r.matrix) };
    if (r.meshScene) out.mesh = { scene: r.meshScene, meshes: r.meshes };
    if (r.anim >= 0) out.anim = r.anim === 1;
    if (r.navigator) out.navigator = true;
    return JSON.stringify(out);
}

// The presence record under the site key from parsePresenceKey.
export function decodePresence(site, bytes) {
    if (byteLength(bytes) > maxRecordBytes) return { reason: 'presence record too large' };
    const json = parseJson(bytes);
    const j = json.value;
    if (!json.ok || !isObject(j) || typeof j.user !== 'string' || typeof j.site !== 'string')
        return { reason: 'presence record is not {user, site, joined}' };
    if (j.user !== site.user || j.site !== siteId(site))
        return { reason: 'presence record names another site than its key' };
    return { value: { user: j.user, site: j.site, joined: typeof j.joined === 'number' ? j.joined : 0 } };
}

export function encodePresence(p) {
    return JSON.stringify({ user: p.user, site: p.site, joined: p.joined });
}

// An asset's manifest: {size, chunks, chunk}, its chunks adding up to its size, and when the
// chunks hold the asset deflated, {encoding: 'deflate', inflated}: the asset's own size. Without an
// encoding the chunks hold the asset as it is. value: {size, chunks, chunkBytes, encoding, inflated}.
export function decodeManifest(bytes) {
    const json = parseJson(bytes);
    const j = json.value;
    const whole = (k) => isObject(j) && has(j, k) && unsigned(json, j, k);
    if (!json.ok || !whole('size') || !whole('chunks') || !whole('chunk'))
        return { reason: 'manifest is not {size, chunks, chunk}' };
    if (j.size > maxAssetBytes) return { reason: 'asset larger than 512 MiB' };
    if (j.chunk !== assetChunkBytes) return { reason: `manifest's chunk size is not ${assetChunkBytes}` };
    if (j.chunks !== Math.ceil(j.size / j.chunk)) return { reason: "manifest's chunks do not add up to its size" };
    if (!has(j, 'encoding')) return { value: { size: j.size, chunks: j.chunks, chunkBytes: j.chunk, encoding: 'raw', inflated: j.size } };
    if (j.encoding !== 'deflate') return { reason: "manifest's encoding is not deflate" };
    if (!whole('inflated')) return { reason: 'deflated manifest has no inflated size' };
    if (j.inflated > maxAssetBytes) return { reason: 'asset larger than 512 MiB' };
    return { value: { size: j.size, chunks: j.chunks, chunkBytes: j.chunk, encoding: 'deflate', inflated: j.inflated } };
}

// Keys of an asset in the asset bucket: under the user who owns the record that names it.
export const manifestKey = (user, hash) => `${user}.${hash}`;
export const chunkKey = (user, hash, i) => `${user}.${hash}.${i}`;

export async function sha256Hex(bytes) {
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
    return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
}
