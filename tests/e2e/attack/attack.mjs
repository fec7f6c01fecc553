// Hostile users of a deployment that tools/broker.sh made from a users file, played with the
// JavaScript NATS client against the scene "lobby" while alice's site is in it:
//   mallory  writer of lobby: roll-ups and purges of the buckets, writes under alice's keys, a
//            100 KB record, models past its share of the asset bucket, a record that names one mesh of alice's model 30,000 times (kept
//            present until this process ends)
//   vera     viewer of lobby: other users' inboxes, deleting alice's consumers, durable consumers,
//            a consumer that delivers into alice's records
//   walt     writer of the scene design only: reading or writing lobby
// Each of the three also aims the broker's answers at alice's keys: the reply subject of a request
// it may make (account information, stream information, direct gets of alice's record, of a delete
// marker, of her presence) set to a key of alice's.
// Every user but the admin has an account of its own and reaches the JetStream API as zel.API.
// The admin looks before and after: every attack must be refused by the broker or leave alice's
// records, models and consumers whole, each with the same value and operation. One line an attack, "held NAME: ..." or "FELL NAME: ...",
// then "attacks done"; exit status 1 when one fell.
//   ZEL_ATTACK_URL=nats://... ZEL_ATTACK_PASSWORDS='{"admin":..,"mallory":..,"vera":..,"walt":..}'
//   ZEL_ATTACK_BROKER_PID=... (the broker's process, whose memory the floods are measured by)
//   node attack.mjs
import { readFileSync } from "node:fs";
import { request as httpRequest } from "node:http";
import { connect, headers, JSONCodec, StringCodec } from "nats";

const url = process.env.ZEL_ATTACK_URL;
const passwords = JSON.parse(process.env.ZEL_ATTACK_PASSWORDS);
const scene = "lobby";
const jc = JSONCodec();
const sc = StringCodec();
const nodes = `KV_zel-scene-${scene}`;
const presence = `KV_zel-presence-${scene}`;
const assets = `KV_zel-assets-${scene}`;
const api = "zel.API";
let fell = 0;
const started = Date.now();

function verdict(name, held, detail) {
    console.log(`${held ? "held" : "FELL"} ${name}: ${detail} (${(Date.now() - started) / 1000} s)`);
    if (!held)
        fell++;
}

function as(user) {
    return connect({ servers: url, user, pass: passwords[user], inboxPrefix: `_INBOX_${user}`,
                     reconnect: false, timeout: 5000 });
}

// A request: {reply} (its JSON, or null) or {err} (PERMISSIONS_VIOLATION, TIMEOUT, ...).
async function ask(nc, subject, body, options = {}) {
    try {
        const data = body === undefined ? new Uint8Array(0)
                                         : typeof body === "string" || body instanceof Uint8Array
                                               ? (typeof body === "string" ? sc.encode(body) : body)
                                               : jc.encode(body);
        const m = await nc.request(subject, data, { timeout: 2000, ...options });
        let reply = null;
        try {
            reply = m.data.length ? JSON.parse(sc.decode(m.data)) : null;
        } catch {
            reply = { text: sc.decode(m.data) };
        }
        return { reply };
    } catch (e) {
        return { err: e.code || String(e.message) };
    }
}

// Refused: by a permission, or by JetStream's own error reply.
function refused(r) {
    if (r.err)
        return r.err === "PERMISSIONS_VIOLATION" ? "no permission" : `no answer (${r.err})`;
    if (r.reply && r.reply.error)
        return `refused: ${r.reply.error.description}`;
    return null;
}

// Every subject of a stream with its last sequence, as the admin sees it.
async function subjects(admin, stream) {
    const r = await ask(admin, `$JS.API.STREAM.INFO.${stream}`, { subjects_filter: ">" });
    if (!r.reply || r.reply.error)
        throw new Error(`the admin cannot read ${stream}: ${JSON.stringify(r)}`);
    return r.reply.state.subjects || {};
}

async function consumers(admin, stream) {
    const r = await ask(admin, `$JS.API.CONSUMER.LIST.${stream}`, {});
    return (r.reply && r.reply.consumers) || [];
}

// The last message of subject as the admin reads it: its sequence, operation and value, or null.
async function last(stream, subject) {
    try {
        const m = await admin.request(`$JS.API.DIRECT.GET.${stream}`, jc.encode({ last_by_subj: subject }),
                                      { timeout: 2000 });
        if (!m.headers || m.headers.code !== 0)
            return null;
        return { seq: m.headers.get("Nats-Sequence"), op: m.headers.get("KV-Operation") || "PUT",
                 value: sc.decode(m.data) };
    } catch {
        return null;
    }
}

function ofAlice(list) {
    return Object.keys(list).filter((s) => s.split(".")[2] === "alice").sort();
}

const identity = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
const record = (name, extra = {}) =>
    JSON.stringify({ name, parent: "", order: 0, matrix: identity, ...extra });
const record0 = () => record("gone");

const admin = await as("admin");
const mallory = await as("mallory");
const vera = await as("vera");
const walt = await as("walt");

// A delete marker under alice's key, as her site leaves behind for a node it removed.
const marker = `$KV.zel-scene-${scene}.alice.0000dead.1`;
await ask(admin, marker, record0());
{
    const h = headers();
    h.set("KV-Operation", "DEL");
    await ask(admin, marker, "", { headers: h });
}
const before = {};
for (const s of [nodes, assets])
    before[s] = ofAlice(await subjects(admin, s));
// Every record, model chunk and marker of alice's with its sequence: a copy that lands on one of
// them, even a delete marker (which keeps its subject), changes its sequence.
const lastBefore = {};
for (const s of [nodes, assets])
    for (const subject of before[s])
        lastBefore[subject] = await last(s, subject);
const alicePresence = ofAlice(await subjects(admin, presence));
const aliceConsumers = [];
for (const s of [nodes, presence])
    for (const c of await consumers(admin, s))
        if ((c.config.deliver_subject || "").startsWith("_INBOX_alice."))
            aliceConsumers.push([s, c.name]);
// The model alice's records name (a direct get answers with the record itself).
let mesh = null;
for (const subject of before[nodes]) {
    const r = await ask(admin, `$JS.API.DIRECT.GET.${nodes}`, { last_by_subj: subject });
    if (r.reply && r.reply.mesh) {
        mesh = r.reply.mesh;
        break;
    }
}
if (!before[nodes].length || !before[assets].length || !aliceConsumers.length || !mesh) {
    console.log(`FELL setup: alice has no records, models or consumers to attack: ${
        JSON.stringify(before)} ${JSON.stringify(aliceConsumers)}`);
    process.exit(1);
}

// Is alice's state still whole: every record, model chunk and marker she had, each with the same
// sequence (so the same value and operation), nothing new under her name, and her presence hers.
async function aliceWhole(streams = [nodes, assets]) {
    for (const s of streams) {
        const now = ofAlice(await subjects(admin, s));
        const lost = before[s].filter((x) => !now.includes(x));
        if (lost.length)
            return `${s} lost ${lost.length} of alice's ${before[s].length} subjects`;
        const added = now.filter((x) => !before[s].includes(x));
        if (added.length)
            return `${s} has ${added.length} new subjects under alice's name: ${added[0]}`;
        for (const subject of before[s]) {
            const was = lastBefore[subject], is = await last(s, subject);
            if (!is || is.seq !== was.seq)
                return `${subject} was overwritten: ${was.op} became ${is ? `${is.op} ${is.value.slice(0, 60)}` : "nothing"}`;
        }
    }
    const present = ofAlice(await subjects(admin, presence));
    if (present.join() !== alicePresence.join())
        return `alice's presence keys were ${alicePresence.join()}, now ${present.join()}`;
    for (const subject of present) {
        const p = await last(presence, subject);
        let user = null;
        try {
            user = JSON.parse(p.value).user;
        } catch {}
        if (!p || p.op !== "PUT" || user !== "alice")
            return `alice's presence ${subject} became ${p ? `${p.op} ${p.value.slice(0, 60)}` : "nothing"}`;
    }
    return null;
}

// Each way a user may reach the JetStream API: its own (the broker's, without JetStream) and the one
// its account imports.
const both = (tail) => [`$JS.API.${tail}`, `${api}.${tail}`];

// 1. Roll-ups and purges: a writer's publish on its own key with Nats-Rollup: all would empty the
// whole bucket.
for (const [stream, subject] of [[nodes, `$KV.zel-scene-${scene}.mallory.0000000b.1`],
                                 [assets, `$KV.zel-assets-${scene}.mallory.rollup`]]) {
    const h = headers();
    h.set("Nats-Rollup", "all");
    const r = await ask(mallory, subject, record("rollup"), { headers: h });
    const lost = await aliceWhole([stream]);
    verdict(`roll-up on ${stream}`, refused(r) !== null && !lost,
            lost || refused(r) || `accepted: ${JSON.stringify(r.reply)}`);
}
{
    const h = headers();
    h.set("KV-Operation", "PURGE");
    h.set("Nats-Rollup", "sub");
    const r = await ask(mallory, `$KV.zel-scene-${scene}.alice.00000000.1`, "", { headers: h });
    const p = [];
    for (const subject of both(`STREAM.PURGE.${nodes}`))
        p.push(refused(await ask(mallory, subject, { filter: ">" })));
    const lost = await aliceWhole();
    verdict("purge of alice's key and of the bucket",
            refused(r) !== null && p.every((o) => o !== null) && !lost,
            lost || `${refused(r)}; ${p.join("; ")}`);
}

// 2. Other users' inboxes: the replies and deliveries of alice's site (her presence goes through
// her watcher every half second, so there is traffic to see).
{
    const tries = ["_INBOX.>", "_INBOX_alice.>", ">"].map((subject) => {
        const t = { subject, seen: 0, error: null };
        vera.subscribe(subject, { callback: (err) => (err ? (t.error = err.code) : t.seen++) });
        return t;
    });
    await new Promise((done) => setTimeout(done, 1200));
    for (const t of tries)
        verdict(`viewer subscribes to ${t.subject}`,
                t.seen === 0 && t.error === "PERMISSIONS_VIOLATION",
                `${t.seen} messages seen, ${t.error || "no error"}`);
}

// 2. Deleting alice's consumers: her watchers would lapse and every site send everything again.
{
    const outcomes = [];
    for (const [stream, name] of aliceConsumers)
        for (const subject of both(`CONSUMER.DELETE.${stream}.${name}`))
            outcomes.push(refused(await ask(vera, subject)));
    const left = [];
    for (const [stream, name] of aliceConsumers) {
        const r = await ask(admin, `$JS.API.CONSUMER.INFO.${stream}.${name}`);
        if (!r.reply || r.reply.error)
            left.push(`${stream} ${name} is gone`);
    }
    verdict("viewer deletes alice's consumers", outcomes.every((o) => o !== null) && !left.length,
            left.join(", ") || outcomes.join("; "));
}

// 2. Durable consumers, which would stay on the broker: each way of asking for one.
{
    const config = { durable_name: "evil", deliver_policy: "all", ack_policy: "explicit" };
    const tries = [
        `CONSUMER.DURABLE.CREATE.${nodes}.evil`,
        `CONSUMER.CREATE.${nodes}.evil`,
        `CONSUMER.CREATE.${nodes}.evil.$KV.zel-scene-${scene}.>`,
        `CONSUMER.CREATE.${nodes}`,
    ].flatMap(both).map((subject) => [subject, { stream_name: nodes, config }]);
    const outcomes = [];
    for (const [subject, body] of tries)
        outcomes.push(refused(await ask(vera, subject, body)));
    const durable = (await consumers(admin, nodes)).filter((c) => c.config.durable_name ||
                                                                  c.name === "evil");
    verdict("viewer creates a durable consumer", outcomes.every((o) => o !== null) &&
                                                     !durable.length,
            durable.length ? `made ${durable.map((c) => c.name)}` : outcomes.join("; "));
}

// 3. A user not allowed the scene: neither reads nor writes it, not even its stream names'
// information.
{
    const ephemeral = { stream_name: nodes, config: { deliver_subject: "_INBOX_walt.x",
                                                      deliver_policy: "all", ack_policy: "none" } };
    const tries = [];
    for (const [tail, body] of [[`STREAM.INFO.${nodes}`],
                                [`CONSUMER.CREATE.${nodes}`, ephemeral],
                                [`DIRECT.GET.${nodes}.$KV.zel-scene-${scene}.alice.00000000.1`],
                                [`DIRECT.GET.${assets}`, { last_by_subj: before[assets][0] }],
                                [`$KV.zel-scene-${scene}.walt.00000000.1`, record("intruder")]])
        for (const subject of both(tail))
            tries.push(await ask(walt, subject, body));
    tries.push(await ask(walt, `$KV.zel-scene-${scene}.walt.00000000.1`, record("intruder")));
    let seen = 0;
    let error = null;
    walt.subscribe(`$KV.zel-scene-${scene}.>`,
                   { callback: (err) => (err ? (error = err.code) : seen++) });
    await new Promise((done) => setTimeout(done, 500));
    const outcomes = tries.map(refused);
    const wrote = Object.keys(await subjects(admin, nodes)).some((s) => s.split(".")[2] === "walt");
    verdict("user of another scene reads or writes lobby",
            outcomes.every((o) => o === "no permission") && error === "PERMISSIONS_VIOLATION" &&
                !wrote && seen === 0,
            `${outcomes.join("; ")}; subscribe: ${error || "no error"}, ${seen} seen` +
                (wrote ? "; it wrote" : ""));
}

// 3. A consumer of a scene the viewer may read, delivering into alice's records: the broker itself
// would publish there, past every permission.
{
    const target = `$KV.zel-scene-${scene}.alice.00000000.999`;
    const r = await ask(vera, `${api}.CONSUMER.CREATE.${presence}`, {
        stream_name: presence,
        config: { deliver_subject: target, deliver_policy: "all", ack_policy: "none",
                  inactive_threshold: 2_000_000_000 } });
    await new Promise((done) => setTimeout(done, 800));
    const landed = (await subjects(admin, nodes))[target];
    verdict("viewer's consumer delivers into alice's records", !landed,
            landed ? `${landed} message(s) stored under alice's key` : refused(r) || "nothing landed");
}

// 1. Answers aimed at alice's keys: requests each user may make (and some it may not), their reply
// subjects set to keys of alice's, new ones and those she has (a record, chunk 0 of her model, her
// manifest, her presence), as the key subjects and as the API prefix's. In a user's own account an
// answer lands on that account's subject, where no stream listens.
{
    const record = before[nodes].find((x) => x !== marker);
    const chunk0 = before[assets].find((x) => x.split(".").length === 5 && x.endsWith(".0"));
    const manifest = before[assets].find((x) => x.split(".").length === 4);
    const targets = [`$KV.zel-scene-${scene}.alice.deadbeef.1`, record, chunk0, manifest,
                     alicePresence[0], `$KV.zel-presence-${scene}.alice.deadbeef`]
                        .filter(Boolean)
                        .flatMap((t) => [t, `${api}.${t}`]);
    const requests = [
        ["INFO", new Uint8Array(0)],
        [`STREAM.INFO.${nodes}`, new Uint8Array(0)],
        [`DIRECT.GET.${nodes}.${record}`, new Uint8Array(0)],
        [`DIRECT.GET.${nodes}.${marker}`, new Uint8Array(0)],
        [`DIRECT.GET.${presence}.${alicePresence[0]}`, new Uint8Array(0)],
        [`DIRECT.GET.${nodes}`, jc.encode({ last_by_subj: marker })],
    ].flatMap(([tail, body]) => both(tail).map((subject) => [subject, body]));
    for (const [name, nc] of [["viewer", vera], ["writer", mallory], ["user of another scene", walt]]) {
        let sent = 0;
        for (const [subject, body] of requests)
            for (const reply of targets) {
                nc.publish(subject, body, { reply });
                sent++;
            }
        await nc.flush();
        await new Promise((done) => setTimeout(done, 1000));
        const lost = await aliceWhole();
        verdict(`${name} aims the broker's answers at alice's keys`, !lost,
                lost || `${sent} requests, nothing landed`);
    }
}

// 1. A writer's plain writes under alice's keys, as key subjects and through the API prefix: refused
// by the broker, and nothing of hers changed.
{
    const chunk0 = before[assets].find((x) => x.split(".").length === 5 && x.endsWith(".0"));
    const targets = [`$KV.zel-scene-${scene}.alice.00000000.7`, before[nodes][0], chunk0,
                     `$KV.zel-presence-${scene}.alice.deadbeef`].filter(Boolean)
                        .flatMap((t) => [t, `${api}.${t}`]);
    const outcomes = [];
    for (const subject of targets)
        outcomes.push(refused(await ask(mallory, subject, record("forged"))));
    const lost = await aliceWhole();
    verdict("writer writes under alice's keys",
            outcomes.every((o) => o === "no permission") && !lost,
            lost || outcomes.join("; "));
}

// 3. Message ids: a writer's puts with unique 30 KB ids, which the broker would remember for the
// node bucket's whole duplicate window (122 MB a second for two minutes). The window is the
// shortest the broker takes: the last id, sent again after the flood, is no duplicate any more.
// The broker's growth beside that of as many puts of the same size without ids is reported (the
// server's memory is not given back at once, so it is no verdict).
{
    const info = await ask(admin, `$JS.API.STREAM.INFO.${nodes}`);
    const window = info.reply?.config?.duplicate_window;
    const n = 2000;
    const rss = () => {
        try {
            const status = readFileSync(`/proc/${process.env.ZEL_ATTACK_BROKER_PID}/status`, "utf8");
            return Number(/VmRSS:\s+(\d+)/.exec(status)[1]) * 1024;
        } catch {
            return null;
        }
    };
    const pad = "i".repeat(30000);
    const flood = async (header) => {
        const acks = [];
        for (let i = 0; i < n; i++) {
            const h = headers();
            h.set(header, `${pad}${i}`);
            acks.push(ask(mallory, `$KV.zel-scene-${scene}.mallory.0000000b.9`, record("id"),
                          { headers: h, timeout: 20000 }));
        }
        const stored = (await Promise.all(acks)).filter((r) => r.reply && !r.reply.error).length;
        await new Promise((done) => setTimeout(done, 1500));
        return stored;
    };
    await flood("Zel-Pad");
    const before = rss();
    const stored = await flood("Nats-Msg-Id");
    const grew = before === null ? null : rss() - before;
    const h = headers();
    h.set("Nats-Msg-Id", `${pad}${n - 1}`);
    const again = await ask(mallory, `$KV.zel-scene-${scene}.mallory.0000000b.9`, record("id"),
                            { headers: h });
    verdict("writer floods the broker with message ids",
            window === 100_000_000 && again.reply && !again.reply.error &&
                again.reply.duplicate !== true,
            `window ${window / 1e6} ms (bound 100 ms), ${stored} of ${n} stored, the last id again ${
                again.reply?.duplicate ? "a duplicate" : "new"}, broker grew by ${
                grew === null ? "(not measured)" : `${(grew / 2 ** 20).toFixed(1)} MB`} against as many puts without ids`);
}

// 3. Consumers nobody listens to, asked for with a year-long idle threshold: the broker would keep
// them a year; its keeper removes them within a minute, and alice's stay.
{
    const n = 200;
    const started = Date.now();
    const made = [];
    for (let i = 0; i < n; i++)
        made.push(ask(vera, `${api}.CONSUMER.CREATE.${presence}`, {
            stream_name: presence,
            config: { deliver_subject: `_INBOX_vera.flood.${i}`, deliver_policy: "all",
                      ack_policy: "none", inactive_threshold: 365 * 86400 * 1e9 } }));
    const accepted = (await Promise.all(made)).filter((r) => r.reply && !r.reply.error).length;
    const ofVera = async () => (await consumers(admin, presence))
                                   .filter((c) => (c.config.deliver_subject || "").startsWith("_INBOX_vera.flood.")).length;
    let left = await ofVera();
    const most = left;
    while (left > 0 && Date.now() - started < 70000) {
        await new Promise((done) => setTimeout(done, 1000));
        left = await ofVera();
    }
    const seconds = (Date.now() - started) / 1000;
    const gone = [];
    for (const [stream, name] of aliceConsumers) {
        const r = await ask(admin, `$JS.API.CONSUMER.INFO.${stream}.${name}`);
        if (!r.reply || r.reply.error)
            gone.push(name);
    }
    verdict("viewer floods the broker with consumers nobody listens to",
            left === 0 && seconds < 60 && !gone.length,
            `${accepted} of ${n} made, at most ${most} held, ${left} left after ${seconds.toFixed(1)} s (bound 60 s)` +
                (gone.length ? `; alice lost ${gone.join(", ")}` : ""));
}

// 3. A writer fills the asset bucket with chunks of its own: eight models of ten 1 MiB chunks, past
// its share (half the bucket's limit, at least 64 MiB), each chunk with a header that claims the
// size the broker reports to the keeper. The keeper deletes its newest models until it is within,
// in a few seconds, and alice's model stays.
{
    const info = await ask(admin, `$JS.API.STREAM.INFO.${assets}`);
    const limit = info.reply?.config?.max_bytes ?? -1;
    const share = Math.min(limit, Math.max(Math.floor(limit / 2), 64 * 2 ** 20));
    const bytes = async () => (await ask(admin, `$JS.API.STREAM.INFO.${assets}`)).reply?.state?.bytes ?? 0;
    const start = await bytes();
    const chunk = new Uint8Array(2 ** 20);
    const forged = headers();
    forged.set("Nats-Msg-Size", "0");
    let stored = 0;
    for (let m = 0; m < 8; m++)
        for (let i = 0; i < 10; i++) {
            const r = await ask(mallory, `$KV.zel-assets-${scene}.mallory.${String(m).repeat(64)}.${i}`,
                                chunk, { timeout: 5000, headers: forged });
            if (r.reply && !r.reply.error)
                stored++;
        }
    const flooded = Date.now();
    let held = (await bytes()) - start;
    const most = held;
    while (held > share && Date.now() - flooded < 20000) {
        await new Promise((done) => setTimeout(done, 250));
        held = (await bytes()) - start;
    }
    const seconds = (Date.now() - flooded) / 1000;
    const lost = await aliceWhole([assets]);
    verdict("writer fills the asset bucket past its share",
            limit > 0 && stored === 80 && held <= share && held >= share - 10 * 2 ** 20 && !lost,
            `${stored} of 80 MiB stored, at most ${(most / 2 ** 20).toFixed(1)} MiB held, ${
                (held / 2 ** 20).toFixed(1)} MiB after ${seconds.toFixed(1)} s (share ${share / 2 ** 20} MiB of ${
                limit / 2 ** 20})` + (lost ? `; ${lost}` : ""));
}

// 7. The WebSocket listener (the next port): a page of another origin, opened in a user's browser,
// would reach the broker with that browser; only the pages' own origins are taken.
{
    const { port, hostname } = new URL(url);
    const upgrade = (origin) => new Promise((done) => {
        const headers = { Connection: "Upgrade", Upgrade: "websocket", "Sec-WebSocket-Version": "13",
                          "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==" };
        if (origin)
            headers.Origin = origin;
        const req = httpRequest({ host: hostname, port: Number(port) + 1, path: "/", headers, timeout: 5000 });
        req.on("upgrade", (res, socket) => (socket.destroy(), done(res.statusCode)));
        req.on("response", (res) => (res.resume(), done(res.statusCode)));
        req.on("timeout", () => (req.destroy(), done("no answer")));
        req.on("error", (e) => done(e.code || e.message));
        req.end();
    });
    const evil = await upgrade("https://evil.example");
    const lookalike = await upgrade("http://127.0.0.1:8081");
    const own = await upgrade("http://127.0.0.1:8080");
    verdict("a page of another origin opens the WebSocket listener",
            evil === 403 && lookalike === 403 && own === 101,
            `evil.example: ${evil}, another port: ${lookalike}, tools/web.sh's page: ${own}`);
}

// 1. A record past the broker's maximum value size (64 KiB).
{
    const r = await ask(mallory, `$KV.zel-scene-${scene}.mallory.0000000b.2`,
                        record("big", { pad: "b".repeat(100000) }));
    verdict("100 KB record", refused(r) !== null, refused(r) || `stored: ${JSON.stringify(r.reply)}`);
}

// 6. A record that names one mesh of alice's model 30,000 times, from a site that stays present:
// each name would become a geometry of its own on every site that has the model.
{
    {
        const beat = () =>
            mallory.publish(`$KV.zel-presence-${scene}.mallory.0000000b`,
                            JSON.stringify({ user: "mallory", site: "mallory-0000000b",
                                             joined: Math.floor(Date.now() / 1000) }));
        beat();
        setInterval(beat, 500);
        const r = await ask(mallory, `$KV.zel-scene-${scene}.mallory.0000000b.3`,
                            record("amplifier", { mesh: { scene: mesh.scene,
                                                          meshes: new Array(30000).fill(0) } }));
        console.log(`sent one mesh named 30,000 times: ${refused(r) || "stored"}`);
    }
}

const lost = await aliceWhole();
verdict("alice's records and models after every attack", !lost, lost || "all there");
console.log("attacks done");
// Kept present (the amplifier's presence) until stopped, at most a minute.
setTimeout(() => process.exit(fell ? 1 : 0), 60000);
process.on("SIGTERM", () => process.exit(fell ? 1 : 0));
