// A model's bytes as its chunks hold them: deflated (zlib's format, as desktop sites write them)
// when that makes them smaller. The inflater undoes it as the chunks arrive, with the browser's own
// DecompressionStream, and never makes more than the size the manifest declares: the bytes come
// from another user.

import { assetChunkBytes } from './records.js';

// Input handed to the browser's inflater at a time: what one piece can make (at most about a
// thousand times its size) is all that waits in the stream before it is checked.
const pieceBytes = 16 * 1024;

export class Inflater {
    // declared: the inflated size the manifest gives. onOutput(bytes) hears of each piece made, in
    // order, after it was copied in (the piece is the caller's then).
    constructor(declared, onOutput = null) {
        this.declared = declared;
        this.onOutput = onOutput;
        this.bytes = declared === 0 ? new Uint8Array(0) : null; // made with the first output
        this.produced = 0;
        this.failure = null;
        const stream = new DecompressionStream('deflate');
        this.writer = stream.writable.getWriter();
        this.reader = stream.readable.getReader();
        this.reading = this.read();
    }

    async read() {
        try {
            for (;;) {
                const { done, value } = await this.reader.read();
                if (done || this.failure) return;
                if (this.produced + value.byteLength > this.declared) return this.fail('a model inflates to more bytes than its manifest says');
                (this.bytes ??= new Uint8Array(this.declared)).set(value, this.produced);
                this.produced += value.byteLength;
                this.onOutput?.(value);
            }
        } catch (e) {
            this.fail(reasonOf(e));
        }
    }

    fail(reason) {
        if (this.failure) return;
        this.failure = reason;
        this.reader.cancel().catch(() => {});
        this.writer.abort().catch(() => {});
    }

    // Hands the next chunk on, in order; resolves once the stream took it (false: refused).
    async put(chunk) {
        for (let at = 0; at < chunk.byteLength && !this.failure; at += pieceBytes) {
            try {
                await this.writer.write(chunk.subarray(at, at + pieceBytes));
            } catch (e) {
                this.fail(reasonOf(e));
            }
        }
        return !this.failure;
    }

    // {bytes}: exactly the declared size, or {reason}.
    async end() {
        if (!this.failure) await this.writer.close().catch((e) => this.fail(reasonOf(e)));
        await this.reading;
        if (this.failure) return { reason: this.failure };
        if (this.produced !== this.declared) return { reason: 'a model inflates to fewer bytes than its manifest says' };
        return { bytes: this.bytes };
    }
}

// The browser's words for a stream it refused, in the desktop's words where they are known.
function reasonOf(e) {
    const text = String(e?.message ?? e);
    if (/junk|after the end|trailing/i.test(text)) return 'a model has bytes after the end of its deflated stream';
    if (/truncat|unexpected end/i.test(text)) return "a model's deflated stream ends early";
    return "a model's deflated bytes do not inflate";
}

// What a model's bytes are stored as: {bytes, manifest}, the chunks' bytes deflated when that makes
// them smaller, and the manifest that says so.
export async function storedForm(bytes) {
    let stored = bytes;
    if (bytes.byteLength > 0) {
        const deflated = new Uint8Array(await new Response(new Blob([bytes]).stream().pipeThrough(new CompressionStream('deflate'))).arrayBuffer());
        if (deflated.byteLength < bytes.byteLength) stored = deflated;
    }
    const manifest = { size: stored.byteLength, chunks: Math.ceil(stored.byteLength / assetChunkBytes), chunk: assetChunkBytes };
    if (stored !== bytes) Object.assign(manifest, { encoding: 'deflate', inflated: bytes.byteLength });
    return { bytes: stored, manifest };
}
