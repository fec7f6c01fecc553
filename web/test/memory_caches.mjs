// The Cache API as far as the page's model store uses it, in memory: `caches` for the store,
// `entries` (URL to bytes) for a test to look at or damage.
export function memoryCaches() {
    const entries = new Map();
    const cache = {
        entries,
        match: async (url) => (entries.has(url) ? new Response(entries.get(url)) : undefined),
        put: async (url, response) => void entries.set(url, new Uint8Array(await response.arrayBuffer())),
        delete: async (url) => entries.delete(url),
    };
    return { entries, cache, open: async () => cache };
}
