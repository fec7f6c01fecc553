// Checking and decoding in the page's worker (worker.js): the same work as checkAndDecode, with the
// model's bytes handed over. A deflated model's chunks go to the worker as they arrive and are
// inflated there. Without a worker (it cannot be started) the work stays here.

import { checkAndDecode, inflatingHere } from './assets.js';

export function workerDecoder(url) {
    let worker = null;
    try {
        worker = new Worker(url);
    } catch {
        return checkAndDecode;
    }
    let broken = false;
    let nextId = 0;
    const waiting = new Map(); // id -> resolve
    const outputs = new Map(); // id -> onOutput of a model being inflated
    worker.onmessage = ({ data }) => {
        if (data.piece) return void outputs.get(data.id)?.(data.piece);
        outputs.delete(data.id);
        const resolve = waiting.get(data.id);
        waiting.delete(data.id);
        resolve?.(data.r);
    };
    // A worker that does not load or dies: what waits on it is asked for again later, and done here.
    worker.onerror = (e) => {
        e.preventDefault?.();
        broken = true;
        const left = [...waiting.values()];
        waiting.clear();
        for (const resolve of left) resolve({ reason: 'the page\'s worker stopped', transient: true });
    };
    const decode = async (bytes, hash) => {
        if (broken) return checkAndDecode(bytes, hash);
        const id = ++nextId;
        return new Promise((resolve) => {
            waiting.set(id, resolve);
            worker.postMessage({ id, bytes, hash }, [bytes.buffer]);
        });
    };
    // A deflated model of `inflated` bytes: put(chunk) in order (a copy goes to the worker), then
    // end(hash) resolves as decode does; abort() lets it go. onOutput(bytes), when given, hears of
    // what the worker inflated, piece by piece, in order.
    decode.inflating = (inflated, onOutput = null) => {
        if (broken) return inflatingHere(inflated, onOutput);
        const id = ++nextId;
        if (onOutput) outputs.set(id, onOutput);
        worker.postMessage({ id, op: 'begin', inflated, output: !!onOutput });
        return {
            put: (chunk) => {
                const copy = chunk.slice();
                worker.postMessage({ id, op: 'put', bytes: copy }, [copy.buffer]);
                return true;
            },
            end: (hash) =>
                new Promise((resolve) => {
                    if (broken) return resolve({ reason: 'the page\'s worker stopped', transient: true });
                    waiting.set(id, resolve);
                    worker.postMessage({ id, op: 'end', hash });
                }),
            abort: () => {
                outputs.delete(id);
                worker.postMessage({ id, op: 'abort' });
            },
        };
    };
    return decode;
}
