// The page's link to the broker: the connection through its WebSocket listener, the scene's three
// buckets, and what this page publishes as a site (its presence, its camera as a navigator, the
// records and models it places). A user the broker does not let write makes the page a viewer.

import { wsconnect } from '@nats-io/nats-core';
import { jetstream } from '@nats-io/jetstream';
import { Kvm } from '@nats-io/kv';

import {
    assetBucket, assetChunkBytes, chunkKey, decodeManifest, encodePresence, inboxPrefix, makeSite, manifestKey, nodeBucket,
    presenceBucket, siteId, siteKey, withoutCredentials,
} from './records.js';
import { storedForm } from './deflate.js';

export function refused(e) {
    return /permission/i.test(String(e && (e.message || e))) || (e && e.name === 'PermissionViolationError');
}

// The broker lets a user make only ephemeral consumers, on exactly
// `$JS.API.CONSUMER.CREATE.<stream>`: a consumer made with a name could as well be durable and stay
// on the broker. The client's watcher names the consumers it makes; here they go without a name
// (the broker gives one), and one that nobody listens to any more goes away by itself.
function ephemeralOnly(kv) {
    const api = kv.js?.consumerAPI;
    if (!api || api.ephemeralOnly) return;
    const add = api.add.bind(api);
    api.add = (stream, config, ...more) => {
        const { name: _name, durable_name: _durable, ...ephemeral } = config;
        return add(stream, { ...ephemeral, inactive_threshold: 30e9 }, ...more);
    };
    api.ephemeralOnly = true;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export class BrokerLink {
    // stats: the page's state for tests (state, mode). log(line), hud(text, reconnecting): what the
    // person sees. on: {reconnected(), viewing(), mayPlace(), changed()}: what the page does then.
    constructor({ stats, log, hud, on }) {
        this.stats = stats;
        this.log = log;
        this.hud = hud;
        this.on = on;
        this.nc = null;
        this.me = null; // this page's site, when it may write
        this.nodes = null;
        this.presence = null;
        this.assets = null;
        this.joinedAt = 0;
        this.lastCamera = '';
        this.cameraSentAt = 0;
        this.mayPlace = false;
        this.sceneName = '';
    }

    // Connects as user; throws what the client says. Credentials typed in are never shown again.
    async connect(url, user, pass) {
        const options = {
            servers: url, user, inboxPrefix: inboxPrefix(user), maxReconnectAttempts: -1, reconnectTimeWait: 250, name: 'web viewer',
        };
        if (pass) options.pass = pass;
        this.nc = await wsconnect(options);
        this.me = makeSite(user);
        this.joinedAt = Date.now() / 1000;
        this.followStatus();
    }

    followStatus() {
        const { stats, nc } = this;
        (async () => {
            for await (const s of nc.status()) {
                if (s.type === 'disconnect' || s.type === 'reconnecting') {
                    if (stats.state !== 'reconnecting') {
                        stats.state = 'reconnecting';
                        this.on.changed();
                    }
                } else if (s.type === 'reconnect') {
                    stats.state = 'joined';
                    this.lastCamera = '';
                    this.publishPresence();
                    this.on.reconnected();
                    this.on.changed();
                } else if (s.type === 'error' && refused(s.error)) {
                    if (this.me && String(s.error.message).includes(siteKey(this.me))) this.becomeViewer();
                }
            }
        })();
    }

    // Where this user reaches the JetStream API: a deployment with an account per user serves it
    // under zel.API (imported from the streams' account); a broker of one account has nothing
    // there, or does not let the user ask there, and serves it under $JS.API. A time-out throws:
    // asked again.
    async apiPrefix(stream) {
        try {
            await this.nc.request(`zel.API.STREAM.INFO.${stream}`, undefined, { timeout: 5000 });
            return 'zel.API';
        } catch (e) {
            if (refused(e) || refused(e.cause) || e.isNoResponders?.()) return '$JS.API';
            throw e;
        }
    }

    // Opens the scene's buckets. They are made by the first desktop site: until then, asked again
    // now and then. Records are read with direct gets, which the deployment grants (not with the
    // stream API). Resolves false when the page cannot watch the scene (told on the HUD).
    async openScene(sceneName, pass) {
        this.sceneName = sceneName;
        let kvm = null;
        for (;;) {
            try {
                kvm ??= new Kvm(jetstream(this.nc, { apiPrefix: await this.apiPrefix(`KV_${nodeBucket(sceneName)}`) }));
                this.nodes = await kvm.open(nodeBucket(sceneName), { allow_direct: true });
                await this.nodes.status();
                this.presence = await kvm.open(presenceBucket(sceneName), { allow_direct: true });
                await this.presence.status();
                this.assets = await kvm.open(assetBucket(sceneName), { allow_direct: true });
                return true;
            } catch (e) {
                if (this.nc.isClosed()) return false;
                if (refused(e)) {
                    this.stats.state = 'closed';
                    this.hud(`shared scene ${sceneName}: this user may not watch it`);
                    await this.nc.close().catch(() => {});
                    return false;
                }
                this.hud(`no scene ${sceneName} on the broker yet (${withoutCredentials(e.message, pass)}); trying again`);
                await sleep(2000);
            }
        }
    }

    // One value of the asset bucket, or null.
    async fetchAsset(key) {
        const e = await this.assets.get(key);
        return e && e.operation === 'PUT' ? e.value : null;
    }

    // Applies every entry of the bucket, the current ones first; resolves once those are applied.
    async watch(kv, apply) {
        let empty;
        let iter;
        try {
            ephemeralOnly(kv);
            empty = (await kv.status()).values === 0;
            iter = await kv.watch({ key: '>' });
        } catch (e) {
            this.log(`shared scene: cannot watch ${kv.bucket}: ${e.message}`);
            return new Promise(() => {});
        }
        let loaded;
        const current = new Promise((resolve) => (loaded = resolve));
        if (empty) loaded();
        (async () => {
            for await (const e of iter) {
                const value = e.operation === 'PUT' ? e.value : null;
                apply(e.key, value, e);
                if (e.delta === 0 || e.isUpdate) loaded();
            }
        })().catch((e) => this.log(`shared scene: a watch ended: ${e.message}`));
        return current;
    }

    presenceRecord() {
        return encodePresence({ user: this.me.user, site: siteId(this.me), joined: this.joinedAt });
    }

    async publishPresence() {
        if (!this.me || !this.presence || this.stats.state !== 'joined') return;
        try {
            await this.presence.put(siteKey(this.me), this.presenceRecord());
            // The broker took a write: models may be placed from here.
            if (this.me && !this.mayPlace) {
                this.mayPlace = true;
                this.on.mayPlace();
            }
        } catch (e) {
            if (refused(e)) this.becomeViewer();
        }
    }

    // The camera as this site's navigator (record() gives its record): at most ten records a
    // second, only when it moved.
    publishCamera(record, force = false) {
        if (!this.me || !this.nodes || this.stats.state !== 'joined') return;
        const t = performance.timeOrigin + performance.now();
        if (!force && t - this.cameraSentAt < 100) return;
        const text = record();
        if (!force && text === this.lastCamera) return;
        this.lastCamera = text;
        this.cameraSentAt = t;
        this.nodes.put(`${siteKey(this.me)}.0`, text).catch((e) => {
            if (refused(e)) this.becomeViewer();
            else this.lastCamera = ''; // not known whether it landed: send it again
        });
    }

    // One of this site's node records.
    publishNode(key, text) {
        if (!this.me || !this.nodes) return;
        this.nodes.put(key, text).catch((e) => {
            if (refused(e)) this.becomeViewer();
        });
    }

    becomeViewer() {
        if (this.stats.mode === 'viewing') return;
        this.stats.mode = 'viewing';
        this.log('shared scene: the broker does not let this user write; watching only');
        this.me = null;
        this.mayPlace = false;
        this.on.viewing();
        this.on.changed();
    }

    // Records of this user's sites that have been gone for a while (keys given), deleted.
    deleteNodes(keys) {
        for (const key of keys) this.nodes.delete(key).catch(() => {});
    }

    // Takes this site's records (its navigator, its presence and the nodes under ownKeys) off the
    // broker, then closes.
    async leave(ownKeys) {
        if (!this.nc) return;
        const site = this.me;
        this.me = null;
        if (site) {
            const mine = ownKeys.map((key) => this.nodes.delete(key));
            await Promise.allSettled([...mine, this.nodes.delete(`${siteKey(site)}.0`), this.presence.delete(siteKey(site))]);
        }
        await this.nc.close().catch(() => {});
    }

    // A model's bytes into the scene's asset bucket under this user, as a desktop site stores them:
    // its chunks (deflated when smaller), then the manifest; nothing when a whole copy of the same
    // size is there already.
    async storeAsset(hash, model) {
        const { me, assets } = this;
        const stored = await assets.get(manifestKey(me.user, hash)).catch(() => null);
        const manifest = stored && stored.operation === 'PUT' ? decodeManifest(stored.value).value : null;
        if (manifest && manifest.inflated === model.byteLength) return;
        const { bytes, manifest: made } = await storedForm(model);
        const chunks = made.chunks;
        let next = 0;
        const put = async () => {
            for (let i; (i = next++) < chunks; )
                await assets.put(chunkKey(me.user, hash, i), bytes.subarray(i * assetChunkBytes, (i + 1) * assetChunkBytes));
        };
        await Promise.all(Array.from({ length: Math.min(4, chunks) }, put));
        await assets.put(manifestKey(me.user, hash), JSON.stringify(made));
    }
}
