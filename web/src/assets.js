// Models of the asset bucket: the manifest `<user>.<hash>` and its chunks `<user>.<hash>.<i>`,
// fetched under the user who owns the record that names them, checked against the hash and decoded
// with the strict decoder. A model that fails is remembered as failed with its reason.

import { chunkKey, decodeManifest, manifestKey, sha256Hex } from './records.js';
import { decode, defaultBudget } from './wire.js';

// Chunks asked for at once.
const chunksAtOnce = 4;
// How long the last fetch of each model took, by hash: for the benchmark.
export const timings = new Map();

// A browser tab has less room than a host: a decoded model may take at most 1 GiB.
const maxDecodedBytes = 2 ** 30;

// The manifest is written last: give a writer that is still uploading a moment (as a desktop site
// does: 50 tries, 100 ms apart).
const manifestTries = 50;
const manifestWaitMs = 100;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// get(key) resolves to the entry's bytes (Uint8Array) or null when there is none.
// store (model_store.js), when given, is asked first and keeps what was fetched and checked.
export async function fetchAsset(get, user, hash, { stopped = () => false, store = null } = {}) {
    const kept = store && (await store.take(hash));
    if (kept) {
        const decoded = decode(kept, { memoryBudget: defaultBudget(kept.byteLength, maxDecodedBytes) });
        if (decoded.status === 'scene') return { scene: decoded.scene };
    }
    let text = null;
    for (let attempt = 0; attempt < manifestTries && !stopped(); ++attempt) {
        text = await get(manifestKey(user, hash));
        if (text !== null) break;
        await sleep(manifestWaitMs);
    }
    if (text === null) return { reason: `no asset ${hash.slice(0, 12)} on the broker`, transient: true };
    const manifest = decodeManifest(text);
    if (!manifest.value) return { reason: manifest.reason };
    const { size, chunks, chunkBytes } = manifest.value;
    // Memory grows with the chunks that arrive, not with the size the manifest announces; a few
    // are asked for at a time.
    const started = performance.now();
    const parts = [];
    let next = 0;
    let failure = null;
    const worker = async () => {
        while (!failure && next < chunks) {
            const i = next++;
            if (stopped()) return void (failure = { reason: 'stopped' });
            const data = await get(chunkKey(user, hash, i));
            if (failure) return;
            if (data === null) failure = { reason: `chunk ${i} of a model is missing`, transient: true };
            else if (data.byteLength !== Math.min(chunkBytes, size - i * chunkBytes)) failure = { reason: 'a chunk of a model has the wrong size' };
            else parts[i] = data;
        }
    };
    await Promise.all(Array.from({ length: Math.min(chunksAtOnce, chunks) }, worker));
    if (failure) return failure;
    const blob = new Uint8Array(size);
    parts.reduce((at, part) => (blob.set(part, at), at + part.byteLength), 0);
    const fetched = performance.now();
    if ((await sha256Hex(blob)) !== hash) return { reason: 'a model does not match its hash' };
    const hashed = performance.now();
    const decoded = decode(blob, { memoryBudget: defaultBudget(size, maxDecodedBytes) });
    if (decoded.status !== 'scene') return { reason: `a model does not decode: ${decoded.reason}` };
    store?.keep(hash, blob);
    timings.set(hash, { bytes: size, fetchMs: fetched - started, hashMs: hashed - fetched, decodeMs: performance.now() - hashed });
    return { scene: decoded.scene };
}

// After a model was missing (its writer may still be uploading it), ask again this much later,
// doubling up to a minute, as desktop sites do.
const retryMs = 1000;
const maxRetryMs = 60000;

// One fetch per (user, hash) at a time; results kept. A verified scene is kept by its hash alone:
// whoever stored it, the bytes are the same. A model that does not match its hash or does not
// decode stays failed; one that was missing is asked for again after a while.
export class AssetCache {
    constructor(get, { onReady = () => {}, log = () => {}, retryAfterMs = retryMs, store = null } = {}) {
        this.retryAfterMs = retryAfterMs;
        this.store = store;
        this.nextRetry = new Map(); // user.hash -> ms
        this.get = get;
        this.onReady = onReady;
        this.log = log;
        this.scenes = new Map(); // hash -> scene
        this.failed = new Map(); // user.hash -> reason
        this.pending = new Set();
        this.stopped = false;
    }

    // The scene, or {reason} when it failed, or null while it is on its way.
    lookup(user, hash) {
        const scene = this.scenes.get(hash);
        if (scene) return { scene };
        const key = manifestKey(user, hash);
        if (this.failed.has(key)) return { reason: this.failed.get(key) };
        if (!this.pending.has(key)) {
            this.pending.add(key);
            fetchAsset(this.get, user, hash, { stopped: () => this.stopped, store: this.store })
                .catch((e) => ({ reason: `fetching a model failed: ${e.message}` }))
                .then((r) => {
                    this.pending.delete(key);
                    if (r.scene) this.scenes.set(hash, r.scene);
                    else if (!this.stopped) {
                        this.failed.set(key, r.reason);
                        this.log(`shared scene: a model of ${user} is shown without geometry: ${r.reason}`);
                        if (r.transient) {
                            const wait = this.nextRetry.get(key) ?? this.retryAfterMs;
                            this.nextRetry.set(key, Math.min(wait * 2, maxRetryMs));
                            setTimeout(() => {
                                this.failed.delete(key);
                                this.onReady();
                            }, wait);
                        }
                    }
                    this.onReady();
                });
        }
        return null;
    }

    // After a reconnect: models that failed because the broker was away may be there now.
    retryFailed() {
        this.failed.clear();
    }
}
