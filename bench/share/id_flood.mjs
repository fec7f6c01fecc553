// What a flood of message ids makes the broker hold: 2,000 puts with unique 30 KB `Nats-Msg-Id`
// headers to one key, on a stream with the duplicate window the sites' buckets had (two minutes)
// against one with the window they have now (0.1 s, the server's minimum), each on a nats-server
// of its own on a free loopback port with a temporary store, both in one run. The figure is the
// server's growth in resident memory beside that of as many puts of the same size without ids,
// just after the flood and 10 s later; the servers are stopped by pid however the run ends.
//   node bench/share/id_flood.mjs [NATS_SERVER_PROGRAM]
// Uses the attack test's npm package (npm ci in tests/e2e/attack, which the build does).
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const { connect, headers, StringCodec } = await import(new URL('../../tests/e2e/attack/node_modules/nats/lib/src/mod.js', import.meta.url));
const program = process.argv[2] ?? '/usr/sbin/nats-server';
const sc = StringCodec();
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const rssMb = (pid) => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) / 1024;
const freePort = () => new Promise((resolve, reject) => {
    const s = createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
        const { port } = s.address();
        s.close(() => resolve(port));
    });
});

const children = new Set();
const folders = new Set();
process.on('exit', () => {
    for (const p of children) p.kill('SIGKILL');
    for (const f of folders) rmSync(f, { recursive: true, force: true });
});

async function flooded(windowNs) {
    const dir = mkdtempSync(join(tmpdir(), 'zel-id-flood-'));
    folders.add(dir);
    const port = await freePort();
    writeFileSync(join(dir, 'c.conf'), `listen: 127.0.0.1:${port}\njetstream { store_dir: "${join(dir, 'store')}" }\n`);
    const server = spawn(program, ['-c', join(dir, 'c.conf')], { stdio: 'ignore' });
    children.add(server);
    let nc = null;
    for (let i = 0; i < 100 && !nc; ++i) {
        nc = await connect({ servers: `nats://127.0.0.1:${port}`, reconnect: false }).catch(() => null);
        if (!nc) await sleep(50);
    }
    if (!nc) throw new Error(`${program} did not start`);
    await nc.request('$JS.API.STREAM.CREATE.T', sc.encode(JSON.stringify({
        name: 'T', subjects: ['t.>'], max_msgs_per_subject: 1, duplicate_window: windowNs, storage: 'file' })));
    const pad = 'i'.repeat(30000);
    const flood = async (header) => {
        const acks = [];
        for (let i = 0; i < 2000; i++) {
            const h = headers();
            h.set(header, `${pad}${i}`);
            acks.push(nc.request('t.k', sc.encode('x'), { headers: h, timeout: 20000 }));
        }
        await Promise.all(acks);
        await sleep(1500);
    };
    await flood('Zel-Pad');
    const before = rssMb(server.pid);
    await flood('Nats-Msg-Id');
    const after = rssMb(server.pid);
    await sleep(10000);
    const later = rssMb(server.pid);
    await nc.close();
    server.kill('SIGKILL');
    children.delete(server);
    return { now: after - before, later: later - before };
}

const old = await flooded(120e9);
const now = await flooded(1e8);
console.log(`id flood, growth beside puts without ids: window 2 min ${old.now.toFixed(1)} MB (10 s later ${old.later.toFixed(1)} MB), ` +
    `window 0.1 s ${now.now.toFixed(1)} MB (10 s later ${now.later.toFixed(1)} MB): ${(now.now / old.now).toFixed(2)}x`);
