// The page's mirror under one writer's chain of 200 nodes with 99,800 leaves below its bottom node,
// the chain's nodes moving 400 records a second: the longest frame of the page's logic (records
// applied as they arrive, then the frame's check of what moved) against the same chain moving with
// no leaves below it, in the same run. No broker and no browser: the records are fed as the watcher would hand them over, a
// frame's worth at the start of each frame.
// usage: node bench/web/chain_bench.mjs [SCENE_MODULE [FRAMES]]
//   SCENE_MODULE: the page's shared_view.js to measure (default: this tree's), e.g. an older one to compare
//   FRAMES: frames of moves (default 300, 4.8 s of them), stopped after 120 s of wall clock
import { resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const here = new URL('.', import.meta.url).pathname;
const modulePath = resolve(process.argv[2] ?? resolve(here, '../../web/src/shared_view.js'));
const frames = Number(process.argv[3] ?? 300);
const { SharedView } = await import(pathToFileURL(modulePath).href);

function run(chain, leaves) {
    const view = new SharedView({ self: { user: 'watch', hex: '00000001' }, complain: () => {} });
    const key = (n) => `big.0000000d.${n}`;
    const record = (parent, order, x) =>
        JSON.stringify({ name: 'c', parent, order, matrix: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, x, 0, 0, 1] });
    const presence = () =>
        view.applyPresence('big.0000000d', JSON.stringify({ user: 'big', site: 'big-0000000d', joined: 1 }));
    presence();
    for (let i = 1; i <= chain; ++i) view.applyNode(key(i), record(i === 1 ? '' : key(i - 1), 0, 0));
    for (let i = 1; i <= leaves; ++i) view.applyNode(key(chain + i), record(key(chain), i, i % 100));
    const frame = (records) => {
        presence();
        const start = performance.now();
        for (const [k, v] of records) view.applyNode(k, v);
        view.expire();
        view.settle();
        view.dirty.clear();
        return performance.now() - start;
    };
    // 400 records a second: 6.4 a frame of 16 ms, round the chain.
    const during = [];
    const wallStart = performance.now();
    let k = 0;
    for (let f = 0; f < frames && performance.now() - wallStart < 120000; ++f) {
        const records = [];
        for (; k < Math.floor((f + 1) * 6.4); ++k) {
            const n = 1 + (k % chain);
            records.push([key(n), record(n === 1 ? '' : key(n - 1), 0, k % 7)]);
        }
        during.push(frame(records));
    }
    const sorted = [...during].sort((a, b) => a - b);
    return { longest: sorted[sorted.length - 1], p99: sorted[Math.floor(sorted.length * 0.99)], frames: during.length, shown: view.shown.size };
}

const bare = run(200, 0);
const full = run(200, 99800);
console.log(
    `page logic, a chain of 200 with 99800 leaves, the chain moved 400 records a second ` +
        `(${modulePath}): longest frame ${full.longest.toFixed(1)} ms, p99 ${full.p99.toFixed(1)} ms over ` +
        `${full.frames} frames (aim: 50 ms), ${full.shown} shown; the chain alone: longest ` +
        `${bare.longest.toFixed(1)} ms, p99 ${bare.p99.toFixed(1)} ms; ratio of the longest ` +
        `${(full.longest / bare.longest).toFixed(1)}x`,
);
