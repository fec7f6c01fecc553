// Every array buffer under a value (a decoded scene), to hand it to another thread without a copy.
export function buffersOf(value, out = new Set()) {
    if (ArrayBuffer.isView(value)) out.add(value.buffer);
    else if (Array.isArray(value)) for (const v of value) buffersOf(v, out);
    else if (value && typeof value === 'object') for (const v of Object.values(value)) buffersOf(v, out);
    return out;
}
