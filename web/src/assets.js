// Models of the asset bucket: the manifest `<user>.<hash>` and its chunks `<user>.<hash>.<i>`,
// fetched under the user who owns the record that names them, inflated when the chunks hold them
// deflated, checked against the hash and decoded with the strict decoder. A model that fails is
// remembered as failed with its reason.

import { ByteBudget, LruMap } from './cache.js';
import { Inflater } from './deflate.js';
import { chunkKey, decodeManifest, manifestKey, sha256Hex } from './records.js';
import { decode, defaultBudget } from './wire.js';

// Chunks of one model asked for at once.
export const defaultChunksAtOnce = 4;
// How long the last fetch of each model took, by hash: for the benchmark.
export const timings = new LruMap(64);

// A browser tab has less room than a host: a decoded model may take at most 1 GiB.
const maxDecodedBytes = 2 ** 30;
// What all fetches together may hold before their hashes are checked: one model of the largest
// size and change. Others wait for their turn. One user's fetches may hold at most half of it, so
// that manifests announcing much that never comes hold up only their own user's models.
export const maxBytesInFlight = 2 ** 30;
// Models fetched at once, and at most this many of them for one user: a user who names thousands
// of models waits behind the others, it does not crowd them out.
const fetchesAtOnce = 8;
const fetchesPerUser = 4;
// Decoded models that nothing draws any more, kept for a record that may name them again (those
// drawn are kept while they are).
const maxIdleScenes = 8;
const maxIdleSceneBytes = 256 * 2 ** 20;
// Failures remembered, so that a bad model is not fetched and hashed again at every update.
const maxFailures = 4096;

// The manifest is written last: give a writer that is still uploading a moment (as a desktop site
// does: 50 tries, 100 ms apart).
const manifestTries = 50;
const manifestWaitMs = 100;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// get(key) resolves to the entry's bytes (Uint8Array) or null when there is none. budget: a
// ByteBudget that the model's size is taken from while its bytes are held. store (model_store.js),
// when given, is asked first and keeps what was fetched, checked and decoded.
// decoder(bytes, hash): checkAndDecode below, or the same in a worker (decoder.js).
export async function fetchAsset(get, user, hash, { stopped = () => false, budget = null, store = null, decoder = checkAndDecode, chunksAtOnce = defaultChunksAtOnce } = {}) {
    const kept = store && (await fromStore(store, hash, budget, decoder));
    if (kept) return kept;
    let text = null;
    for (let attempt = 0; attempt < manifestTries && !stopped(); ++attempt) {
        text = await get(manifestKey(user, hash));
        if (text !== null) break;
        await sleep(manifestWaitMs);
    }
    if (text === null) return { reason: `no asset ${hash.slice(0, 12)} on the broker`, transient: true };
    const manifest = decodeManifest(text);
    if (!manifest.value) return { reason: manifest.reason };
    // The model's own size: what it takes here, whatever its chunks hold.
    const size = manifest.value.inflated;
    if (budget) await budget.take(size);
    // Kept in the browser's storage as its chunks arrive (inflated); complete once its hash matched.
    const keeping = store?.begin(hash, size, manifest.value.chunkBytes) ?? null;
    try {
        const r = await fetchChunks(get, user, hash, manifest.value, { stopped, keeping, decoder, chunksAtOnce });
        if (!r.scene) {
            await keeping?.abort();
            return r;
        }
        const decoded = performance.now();
        await keeping?.finish();
        const t = timings.get(hash);
        if (t) t.keepMs = performance.now() - decoded;
        return { scene: r.scene, bytes: r.bytes };
    } catch (e) {
        await keeping?.abort();
        throw e;
    } finally {
        budget?.give(size);
    }
}

// A model from the browser's storage, or null when it is not there or does not match its hash
// (the store checks that) or does not decode; then it is fetched. While its bytes are held they
// are charged to the budget like a fetch's, by the size the store's index gives and the store
// refuses bytes of another size.
async function fromStore(store, hash, budget, decoder) {
    const size = await store.size(hash);
    if (size === null) return null;
    try {
        if (budget) await budget.take(size);
    } catch {
        return null;
    }
    try {
        const started = performance.now();
        const kept = await store.take(hash, size);
        if (!kept) return null;
        const taken = performance.now();
        // The store checked its hash.
        const decoded = await decoder(kept, null);
        if (decoded.scene) timings.set(hash, { bytes: size, startedAt: started, storeMs: taken - started, decodeMs: decoded.decodeMs, totalMs: performance.now() - started });
        return decoded.scene ? decoded : null;
    } finally {
        budget?.give(size);
    }
}

// A deflated model inflated, checked and decoded on this thread: put(chunk) in order, end(hash)
// resolves as checkAndDecode does, abort() lets it go. The page's worker does the same.
export function inflatingHere(inflated, onOutput = null) {
    const inflater = new Inflater(inflated, onOutput);
    let chain = Promise.resolve(true);
    return {
        put: (chunk) => (chain = chain.then((ok) => ok && inflater.put(chunk))),
        end: async (hash) => {
            await chain;
            const r = await inflater.end();
            return r.bytes ? checkAndDecode(r.bytes, hash) : { reason: r.reason };
        },
        abort: () => inflater.fail('stopped'),
    };
}

const inflatingOf = (decoder, inflated, onOutput = null) => decoder.inflating?.(inflated, onOutput) ?? inflatingHere(inflated, onOutput);

// The inflated bytes handed to the store in pieces of `chunk` bytes as they come out of the
// inflater; end() hands on the last, shorter one.
function keptInPieces(keeping, chunk) {
    let piece = null;
    let filled = 0;
    let index = 0;
    const hand = () => {
        keeping.put(index++, filled === piece.byteLength ? piece : piece.subarray(0, filled));
        piece = null;
        filled = 0;
    };
    return {
        add: (bytes) => {
            for (let at = 0; at < bytes.byteLength; ) {
                piece ??= new Uint8Array(chunk);
                const n = Math.min(chunk - filled, bytes.byteLength - at);
                piece.set(bytes.subarray(at, at + n), filled);
                filled += n;
                at += n;
                if (filled === chunk) hand();
            }
        },
        end: () => void (piece && filled && hand()),
    };
}

// The scene that bytes encode, when they match hash (null: already checked): {scene, bytes,
// hashMs, decodeMs} or {reason}. The bytes may be handed on (to a worker): the caller keeps no use
// of them.
export async function checkAndDecode(bytes, hash) {
    const started = performance.now();
    if (hash !== null && (await sha256Hex(bytes)) !== hash) return { reason: 'a model does not match its hash' };
    const hashed = performance.now();
    const decoded = decode(bytes, { memoryBudget: defaultBudget(bytes.byteLength, maxDecodedBytes) });
    if (decoded.status !== 'scene') return { reason: `a model does not decode: ${decoded.reason}` };
    return { scene: decoded.scene, bytes: decoded.bytes, hashMs: hashed - started, decodeMs: performance.now() - hashed };
}

async function fetchChunks(get, user, hash, manifest, { stopped, keeping, decoder, chunksAtOnce }) {
    // A few chunks are asked for at a time. Memory grows with the chunks that arrive, not with the
    // size the manifest announces: the model's bytes are made when its first chunk is there
    // (untouched pages cost nothing). Raw chunks are copied in as they arrive; deflated ones go to
    // the inflater (in the page's worker) in order, each waiting for the one before it, so that at
    // most chunksAtOnce wait here, and what it makes comes back to be kept.
    const { size, chunks, chunkBytes } = manifest;
    const started = performance.now();
    const deflated = manifest.encoding === 'deflate';
    // A deflated model is kept inflated, as its pieces come back from the inflater: a reload then
    // reads it without inflating it again.
    const pieces = deflated && keeping ? keptInPieces(keeping, chunkBytes) : null;
    const inflating = deflated ? inflatingOf(decoder, manifest.inflated, pieces?.add) : null;
    let blob = size === 0 && !deflated ? new Uint8Array(0) : null;
    let next = 0;
    let failure = null;
    let handed = 0;
    const turns = new Map(); // chunk index -> resolve, waiting for its turn
    const turn = (i) => (!deflated || i === handed || failure ? null : new Promise((resolve) => turns.set(i, resolve)));
    const fail = (f) => {
        failure ??= f;
        for (const resolve of turns.values()) resolve();
        turns.clear();
    };
    const worker = async () => {
        while (!failure && next < chunks) {
            const i = next++;
            if (stopped()) return fail({ reason: 'stopped' });
            const data = await get(chunkKey(user, hash, i));
            if (failure) return;
            if (data === null) return fail({ reason: `chunk ${i} of a model is missing`, transient: true });
            if (data.byteLength !== Math.min(chunkBytes, size - i * chunkBytes)) return fail({ reason: 'a chunk of a model has the wrong size' });
            if (!deflated) {
                keeping?.put(i, data);
                (blob ??= new Uint8Array(size)).set(data, i * chunkBytes);
                continue;
            }
            await turn(i);
            if (failure) return;
            inflating.put(data);
            ++handed;
            turns.get(handed)?.();
            turns.delete(handed);
        }
    };
    await Promise.all(Array.from({ length: Math.min(chunksAtOnce, chunks) }, worker));
    if (failure) {
        inflating?.abort();
        return failure;
    }
    const fetchMs = performance.now() - started;
    const r = deflated ? await inflating.end(hash) : await decoder(blob, hash);
    if (r.scene) pieces?.end();
    if (r.scene) timings.set(hash, { bytes: manifest.inflated, stored: size, startedAt: started, fetchMs, hashMs: r.hashMs, decodeMs: r.decodeMs, totalMs: performance.now() - started });
    return r;
}

// After a model was missing (its writer may still be uploading it), ask again this much later,
// doubling up to a minute, as desktop sites do, for as long as it is missing.
const retryMs = 1000;
const maxRetryMs = 60000;

// One fetch per (user, hash) at a time; results kept. A verified scene is kept by its hash alone:
// whoever stored it, the bytes are the same. A model that does not match its hash or does not
// decode stays failed; one that was missing is asked for again after a while.
export class AssetCache {
    constructor(get, {
        onReady = (_user, _hash) => {}, log = () => {}, retryAfterMs = retryMs, budget = new ByteBudget(maxBytesInFlight),
        sceneBytes = maxIdleSceneBytes, atOnce = fetchesAtOnce, perUser = fetchesPerUser, store = null, decoder = checkAndDecode,
        chunksAtOnce = defaultChunksAtOnce,
    } = {}) {
        this.decoder = decoder;
        this.chunksAtOnce = chunksAtOnce;
        this.retryAfterMs = retryAfterMs;
        this.store = store;
        this.get = get;
        this.onReady = onReady;
        this.log = log;
        this.budget = budget;
        this.maxSceneBytes = sceneBytes;
        this.atOnce = atOnce;
        this.perUser = perUser;
        this.sceneBytes = 0; // of the idle ones
        this.used = new Map(); // hash -> {scene, bytes, refs}: drawn
        this.scenes = new LruMap(maxIdleScenes, (hash, s) => (this.sceneBytes -= s.bytes)); // hash -> {scene, bytes}: idle
        this.failed = new LruMap(maxFailures); // user.hash -> {reason, transient}
        this.nextRetry = new LruMap(maxFailures); // user.hash -> ms
        this.pending = new Set(); // user.hash, queued or in flight
        this.queues = new Map(); // user -> [{key, hash}] waiting for a fetch
        this.active = new Map(); // user -> fetches in flight
        this.inFlight = 0;
        this.stopped = false;
        this.userBudgets = new Map(); // user -> ByteBudget of half the budget, while it holds bytes
    }

    // The budget of one user's fetch: its user's share first, then the whole.
    budgetOf(user) {
        const share = () => {
            let b = this.userBudgets.get(user);
            if (!b) this.userBudgets.set(user, (b = new ByteBudget(Math.floor(this.budget.limit / 2))));
            return b;
        };
        const done = (b) => {
            if (b.held === 0 && b.waiting.length === 0 && this.userBudgets.get(user) === b) this.userBudgets.delete(user);
        };
        let held = null;
        return {
            take: async (n) => {
                const b = share();
                try {
                    await b.take(n);
                } catch (e) {
                    done(b);
                    throw e;
                }
                try {
                    await this.budget.take(n);
                } catch (e) {
                    b.give(n);
                    done(b);
                    throw e;
                }
                held = b;
            },
            give: (n) => {
                if (!held) return;
                this.budget.give(n);
                held.give(n);
                done(held);
                held = null;
            },
        };
    }

    // The scene, or {reason} when it failed, or null while it is on its way.
    lookup(user, hash) {
        const held = this.used.get(hash) ?? this.scenes.touch(hash);
        if (held) return { scene: held.scene };
        const key = manifestKey(user, hash);
        const failed = this.failed.touch(key);
        if (failed) return { reason: failed.reason };
        if (!this.pending.has(key)) {
            this.pending.add(key);
            let q = this.queues.get(user);
            if (!q) this.queues.set(user, (q = []));
            q.push({ key, hash });
            this.pump();
        }
        return null;
    }

    // Starts queued fetches while there is room, taking users in turn.
    pump() {
        for (let started = true; started && this.inFlight < this.atOnce; ) {
            started = false;
            for (const [user, q] of this.queues) {
                if (this.inFlight >= this.atOnce) break;
                if ((this.active.get(user) ?? 0) >= this.perUser) continue;
                const job = q.shift();
                // The next turn goes to the others first.
                this.queues.delete(user);
                if (q.length) this.queues.set(user, q);
                this.start(user, job);
                started = true;
                break;
            }
        }
    }

    start(user, { key, hash }) {
        ++this.inFlight;
        this.active.set(user, (this.active.get(user) ?? 0) + 1);
        fetchAsset(this.get, user, hash, { stopped: () => this.stopped, budget: this.budgetOf(user), store: this.store,
            decoder: this.decoder, chunksAtOnce: this.chunksAtOnce })
            .catch((e) => ({ reason: `fetching a model failed: ${e.message}` }))
            .then((r) => {
                --this.inFlight;
                const n = this.active.get(user) - 1;
                if (n) this.active.set(user, n);
                else this.active.delete(user);
                this.pending.delete(key);
                if (r.scene) {
                    this.nextRetry.delete(key);
                    this.keep(hash, r.scene, r.bytes ?? 0);
                } else if (!this.stopped) {
                    this.failed.set(key, { reason: r.reason, transient: !!r.transient });
                    this.log(`shared scene: a model of ${user} is shown without geometry: ${r.reason}`);
                    if (r.transient) {
                        const wait = this.nextRetry.get(key) ?? this.retryAfterMs;
                        this.nextRetry.set(key, Math.min(wait * 2, maxRetryMs));
                        setTimeout(() => {
                            this.failed.delete(key);
                            this.onReady(user, hash);
                        }, wait);
                    }
                }
                this.pump();
                this.onReady(user, hash);
            });
    }

    // A scene that nothing draws: among the idle ones, the oldest of which go while there are too
    // many bytes (never the one just put there).
    keep(hash, scene, bytes) {
        if (this.used.has(hash)) return;
        if (this.scenes.has(hash)) this.sceneBytes -= this.scenes.get(hash).bytes;
        this.scenes.set(hash, { scene, bytes });
        this.sceneBytes += bytes;
        for (const [old] of this.scenes) {
            if (this.sceneBytes <= this.maxSceneBytes || old === hash) break;
            this.sceneBytes -= this.scenes.get(old).bytes;
            this.scenes.delete(old);
        }
    }

    // A mirror draws the scene of hash (from lookup) / no longer does.
    use(hash) {
        let u = this.used.get(hash);
        if (!u) {
            const idle = this.scenes.get(hash);
            if (!idle) return;
            this.scenes.delete(hash);
            this.sceneBytes -= idle.bytes;
            this.used.set(hash, (u = { ...idle, refs: 0 }));
        }
        ++u.refs;
    }

    release(hash) {
        const u = this.used.get(hash);
        if (!u || --u.refs > 0) return;
        this.used.delete(hash);
        this.keep(hash, u.scene, u.bytes);
    }

    // After a reconnect: models that were missing because the broker was away may be there now.
    // Those that did not match or decode stay failed.
    retryFailed() {
        for (const [key, f] of [...this.failed]) if (f.transient) this.failed.delete(key);
    }
}
