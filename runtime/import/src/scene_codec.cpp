#include <zel/import/scene_codec.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace zel::import {

// The layout is described byte by byte in include/zel/import/wire_format.md; keep the two in step.
// The trailer and the size in the header make a cut-off encoding (a child that died while writing)
// fail even where the cut falls on a boundary.

static_assert(std::endian::native == std::endian::little,
              "the wire format is the host's own layout");
static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4);

namespace {

constexpr char headMagic[8] = {'Z', 'E', 'L', 'S', 'C', 'E', 'N', 'E'};
constexpr char tailMagic[8] = {'Z', 'E', 'L', 'E', 'N', 'D', 0, 0};
constexpr std::uint32_t kindScene = 1;
constexpr std::uint32_t kindFailure = 2;
constexpr std::size_t headerSize = 8 + 4 + 4 + 8;
constexpr std::size_t maxStringLength = 64 * 1024;
constexpr std::size_t maxReasonLength = 1024;
constexpr std::size_t vectorKeySize = 8 + 3 * 4;
constexpr std::size_t quatKeySize = 8 + 4 * 4;
constexpr std::uint32_t textureHasAlpha = 1;

std::size_t stringSize(const std::string& s) {
    return 4 + s.size();
}

class writer {
public:
    explicit writer(byteSink& sink) : sink_(sink) {}

    bool ok() const { return ok_; }
    void raw(const void* data, std::size_t n) {
        if (ok_ && n != 0)
            ok_ = sink_.put(data, n);
    }
    template <class T> void value(T v) { raw(&v, sizeof v); }
    void str(const std::string& s) {
        value(static_cast<std::uint32_t>(s.size()));
        raw(s.data(), s.size());
    }
    template <class T> void array(const std::vector<T>& v) { raw(v.data(), v.size() * sizeof(T)); }
    void vectorKeys(const std::vector<vectorKey>& keys) {
        value(static_cast<std::uint32_t>(keys.size()));
        for (const vectorKey& k : keys) {
            value(k.time);
            raw(k.value, sizeof k.value);
        }
    }
    void quatKeys(const std::vector<quatKey>& keys) {
        value(static_cast<std::uint32_t>(keys.size()));
        for (const quatKey& k : keys) {
            value(k.time);
            raw(k.quat, sizeof k.quat);
        }
    }

private:
    byteSink& sink_;
    bool ok_ = true;
};

class memorySink final : public byteSink {
public:
    explicit memorySink(std::span<std::byte> out) : p_(out.data()), left_(out.size()) {}
    bool put(const void* data, std::size_t n) override {
        if (n > left_)
            return false;
        std::memcpy(p_, data, n);
        p_ += n;
        left_ -= n;
        return true;
    }

private:
    std::byte* p_;
    std::size_t left_;
};

void writeHeader(writer& w, std::uint32_t kind, std::uint64_t total) {
    w.raw(headMagic, sizeof headMagic);
    w.value(sceneCodecVersion);
    w.value(kind);
    w.value(total);
}

class memorySource final : public byteSource {
public:
    explicit memorySource(std::span<const std::byte> in) : p_(in.data()), left_(in.size()) {}
    bool read(void* out, std::size_t n) override {
        if (n > left_)
            return false;
        if (n != 0)
            std::memcpy(out, p_, n);
        p_ += n;
        left_ -= n;
        return true;
    }
    std::size_t left() const { return left_; }

private:
    const std::byte* p_;
    std::size_t left_;
};

// Reads front to back within the size the header announced; the first shortfall or bad value sets
// the reason and every later read fails, so the caller checks once per object. Each value is read
// once, into the caller's own memory, before it is checked, and memory grows only as fast as data
// arrives: a sender that announces much and sends little costs little, and one that sends much
// stops at the memory budget.
class reader {
public:
    reader(byteSource& source, const decodeLimits& limits)
        : source_(source), reserveUpFront_(limits.reserveUpFront), deadline_(limits.deadline) {}

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    std::uint64_t left() const { return left_; }
    void setLeft(std::uint64_t bytes) { left_ = bytes; }
    void setMemoryBudget(std::uint64_t bytes) { budget_ = bytes; }

    // Charges what the next element takes in memory; checks the deadline every so often.
    bool charge(std::uint64_t bytes, const char* what) {
        if (!ok())
            return false;
        if (bytes > budget_ - spent_)
            return fail(std::string("decoded scene exceeds its memory budget in ") + what);
        spent_ += bytes;
        if (++charges_ % 4096 == 0)
            return inTime();
        return true;
    }
    bool inTime() {
        if (deadline_ != std::chrono::steady_clock::time_point::max() &&
            std::chrono::steady_clock::now() >= deadline_)
            return fail("the deadline passed while decoding");
        return ok();
    }

    // n elements, each appended and then read by readOne; stops at the first that fails.
    // The list's capacity is charged, not its size: it doubles as elements arrive (never past n).
    template <class T, class F>
    bool list(std::vector<T>& v, std::uint32_t n, const char* what, F readOne) {
        for (std::uint32_t i = 0; i < n; ++i) {
            if (v.size() == v.capacity() &&
                !grow(v, std::min<std::size_t>(n, std::max<std::size_t>(4, v.capacity() * 2)),
                      what))
                return false;
            if (!readOne(v.emplace_back()))
                return false;
        }
        return ok();
    }

    // Reserves room for `capacity` elements, charging what it adds.
    template <class T> bool grow(std::vector<T>& v, std::size_t capacity, const char* what) {
        if (capacity <= v.capacity())
            return true;
        if (!charge((capacity - v.capacity()) * sizeof(T), what))
            return false;
        v.reserve(capacity);
        return true;
    }

    bool fail(std::string why) {
        if (error_.empty())
            error_ = std::move(why);
        return false;
    }

    bool raw(void* out, std::size_t n, const char* what) {
        if (!ok())
            return false;
        if (n > left_)
            return fail(std::string("truncated in ") + what);
        if (!source_.read(out, n))
            return fail(std::string("data ends in ") + what);
        left_ -= n;
        return true;
    }
    template <class T> bool value(T& out, const char* what) { return raw(&out, sizeof out, what); }

    // A count of elements that take at least minBytes each in what follows.
    bool count(std::uint32_t& n, std::size_t minBytes, const char* what) {
        if (!value(n, what))
            return false;
        if (minBytes != 0 && n > left_ / minBytes)
            return fail(std::string("count of ") + what + " exceeds the data");
        return true;
    }

    bool str(std::string& s, const char* what, std::size_t maxLength = maxStringLength) {
        std::uint32_t n = 0;
        if (!value(n, what))
            return false;
        if (n > maxLength)
            return fail(std::string(what) + " too long");
        if (n > left_)
            return fail(std::string("truncated in ") + what);
        // Short strings live inside the element already charged (libstdc++ keeps up to 15 bytes).
        if (n > 15 && !charge(n + 1, what))
            return false;
        s.resize(n);
        return raw(s.data(), n, what);
    }

    template <class T> bool array(std::vector<T>& v, std::uint64_t n, const char* what) {
        if (!ok())
            return false;
        if (n > left_ / sizeof(T))
            return fail(std::string("count of ") + what + " exceeds the data");
        // Read in pieces of at most 8 MiB (and at most the reservation, so that a lowered one
        // shows the growth on small data too).
        const std::size_t upFront = std::max<std::size_t>(1, reserveUpFront_ / sizeof(T));
        const std::size_t chunk = std::min((std::size_t{8} << 20) / sizeof(T), upFront);
        v.clear();
        // Beyond upFront the vector grows as the data comes, doubling its capacity (never past
        // n): an announced size costs little until it is backed by data. Every capacity is
        // charged when it is reserved.
        if (!grow(v, std::min<std::size_t>(static_cast<std::size_t>(n), upFront), what))
            return false;
        while (v.size() < n) {
            const std::size_t at = v.size();
            const std::size_t take = std::min<std::size_t>(chunk, static_cast<std::size_t>(n) - at);
            if (at + take > v.capacity() &&
                !grow(v,
                      std::min<std::size_t>(static_cast<std::size_t>(n),
                                            std::max(at + take, v.capacity() * 2)),
                      what))
                return false;
            if (!inTime())
                return false;
            v.resize(at + take);
            if (!raw(v.data() + at, take * sizeof(T), what))
                return false;
        }
        return true;
    }

    bool vectorKeys(std::vector<vectorKey>& keys, const char* what) {
        std::uint32_t n = 0;
        return count(n, vectorKeySize, what) && list(keys, n, what, [&](vectorKey& k) {
                   return value(k.time, what) && raw(k.value, sizeof k.value, what);
               });
    }
    bool quatKeys(std::vector<quatKey>& keys, const char* what) {
        std::uint32_t n = 0;
        return count(n, quatKeySize, what) && list(keys, n, what, [&](quatKey& k) {
                   return value(k.time, what) && raw(k.quat, sizeof k.quat, what);
               });
    }

private:
    byteSource& source_;
    std::uint64_t left_ = headerSize;
    std::uint64_t budget_ = 0;
    std::uint64_t spent_ = 0;
    std::uint64_t charges_ = 0;
    std::uint64_t reserveUpFront_;
    std::chrono::steady_clock::time_point deadline_;
    std::string error_;
};

bool finite(const float* v, std::size_t n) {
    return std::all_of(v, v + n, [](float f) { return std::isfinite(f); });
}

template <class Key> bool keyTimesFinite(const std::vector<Key>& keys) {
    return std::all_of(keys.begin(), keys.end(),
                       [](const Key& k) { return std::isfinite(k.time); });
}

// pixels: what the scene's earlier pictures hold.
bool readTexture(reader& r, texture& t, std::uint64_t& pixels) {
    std::uint32_t flags = 0;
    r.str(t.name, "texture name");
    r.value(t.width, "texture");
    r.value(t.height, "texture");
    r.value(t.sourceWidth, "texture");
    r.value(t.sourceHeight, "texture");
    r.value(flags, "texture");
    if (!r.ok())
        return false;
    const std::uint64_t n = std::uint64_t{t.width} * t.height;
    if (n == 0 || n > maxTexturePixels)
        return r.fail("bad texture size");
    if (t.sourceWidth < t.width || t.sourceHeight < t.height || t.sourceWidth > maxTextureSide ||
        t.sourceHeight > maxTextureSide)
        return r.fail("bad texture source size");
    if (flags & ~textureHasAlpha)
        return r.fail("unknown texture flags");
    if (n > maxScenePixels - pixels)
        return r.fail("textures exceed the pixels a scene may hold");
    pixels += n;
    t.hasAlpha = flags & textureHasAlpha;
    return r.array(t.rgba, n * 4, "texture pixels");
}

bool readMaterial(reader& r, material& m, std::size_t textureCount) {
    r.str(m.name, "material name");
    r.raw(m.diffuse, sizeof m.diffuse, "material");
    r.raw(m.ambient, sizeof m.ambient, "material");
    r.raw(m.specular, sizeof m.specular, "material");
    r.value(m.shininess, "material");
    r.value(m.opacity, "material");
    r.str(m.diffuseTexture, "material texture name");
    r.value(m.texture, "material");
    if (r.ok() && m.texture != noTexture && m.texture >= textureCount)
        return r.fail("material texture index out of range");
    return r.ok();
}

bool readMesh(reader& r, mesh& m, std::size_t materialCount) {
    std::uint64_t nPositions = 0, nNormals = 0, nUvs = 0, nIndices = 0;
    r.value(m.material, "mesh");
    r.value(nPositions, "mesh");
    r.value(nNormals, "mesh");
    r.value(nUvs, "mesh");
    r.value(nIndices, "mesh");
    if (!r.ok())
        return false;
    if (m.material >= materialCount)
        return r.fail("mesh material index out of range");
    if (nPositions % 3 != 0 || nPositions / 3 > std::numeric_limits<std::uint32_t>::max())
        return r.fail("bad vertex count");
    const std::uint64_t vertices = nPositions / 3;
    if (nNormals != 0 && nNormals != nPositions)
        return r.fail("normal count does not match the vertex count");
    if (nUvs != 0 && nUvs != vertices * 2)
        return r.fail("texture coordinate count does not match the vertex count");
    if (nIndices % 3 != 0)
        return r.fail("index count is not a multiple of 3");
    if (!r.array(m.positions, nPositions, "positions") ||
        !r.array(m.normals, nNormals, "normals") || !r.array(m.uvs, nUvs, "texture coordinates") ||
        !r.array(m.indices, nIndices, "indices"))
        return false;
    std::uint32_t highest = 0;
    for (std::uint32_t i : m.indices)
        highest = std::max(highest, i);
    if (!m.indices.empty() && highest >= vertices)
        return r.fail("vertex index out of range");
    return true;
}

bool readIndexList(reader& r, std::vector<std::uint32_t>& v, const char* what) {
    std::uint32_t n = 0;
    return r.count(n, 4, what) && r.array(v, n, what);
}

bool readNode(reader& r, node& n) {
    r.str(n.name, "node name");
    r.raw(n.matrix, sizeof n.matrix, "node");
    readIndexList(r, n.meshes, "node meshes");
    readIndexList(r, n.children, "node children");
    if (r.ok() && !finite(n.matrix, 16))
        return r.fail("node matrix not finite");
    return r.ok();
}

bool readAnimation(reader& r, animation& a) {
    r.str(a.name, "animation name");
    r.value(a.duration, "animation");
    r.value(a.ticksPerSecond, "animation");
    std::uint32_t n = 0;
    // A channel takes at least its name's length and three key counts.
    if (!r.count(n, 16, "channels"))
        return false;
    if (!std::isfinite(a.duration) || a.duration < 0 || !std::isfinite(a.ticksPerSecond) ||
        a.ticksPerSecond < 0)
        return r.fail("bad animation timing");
    return r.list(a.channels, n, "channels", [&](channel& c) {
        r.str(c.node, "channel node name");
        r.vectorKeys(c.position, "position keys");
        r.quatKeys(c.rotation, "rotation keys");
        r.vectorKeys(c.scaling, "scaling keys");
        if (!r.ok())
            return false;
        if (!keyTimesFinite(c.position) || !keyTimesFinite(c.rotation) ||
            !keyTimesFinite(c.scaling))
            return r.fail("key time not finite");
        return true;
    });
}

// Each node other than the root has exactly one parent, with a smaller index: that rules out cycles
// and makes every node reachable from node 0.
bool checkTree(reader& r, const scene& s) {
    if (s.nodes.empty())
        return r.fail("no root node");
    std::vector<bool> hasParent(s.nodes.size(), false);
    for (std::size_t i = 0; i < s.nodes.size(); ++i) {
        for (std::uint32_t m : s.nodes[i].meshes)
            if (m >= s.meshes.size())
                return r.fail("node mesh index out of range");
        for (std::uint32_t c : s.nodes[i].children) {
            if (c >= s.nodes.size())
                return r.fail("node child index out of range");
            if (c <= i)
                return r.fail("node graph is not a tree in parent-first order");
            if (hasParent[c])
                return r.fail("node has two parents");
            hasParent[c] = true;
        }
    }
    for (std::size_t i = 1; i < s.nodes.size(); ++i)
        if (!hasParent[i])
            return r.fail("node not reachable from the root");
    return true;
}

decodeResult malformed(std::string why) {
    decodeResult res;
    res.status = decodeStatus::malformed;
    res.reason = std::move(why);
    return res;
}

// exactSize: the encoding must be exactly that long (a whole buffer), else at most maxBytes long
// (a stream, of which no more than the announced size is read).
decodeResult decodeUnguarded(byteSource& source, std::uint64_t maxBytes,
                             std::optional<std::uint64_t> exactSize, const decodeLimits& limits) {
    reader r(source, limits);
    char magic[8];
    std::uint32_t version = 0, kind = 0;
    std::uint64_t total = 0;
    r.raw(magic, sizeof magic, "header");
    r.value(version, "header");
    r.value(kind, "header");
    r.value(total, "header");
    if (!r.ok())
        return malformed(r.error());
    if (std::memcmp(magic, headMagic, sizeof magic) != 0)
        return malformed("not a scene encoding");
    if (version != sceneCodecVersion)
        return malformed("unsupported encoding version " + std::to_string(version));
    if (exactSize ? total != *exactSize : total > maxBytes)
        return malformed(exactSize ? "encoding size does not match its header"
                                   : "encoding larger than allowed");
    if (total < headerSize + sizeof tailMagic)
        return malformed("encoding size too small");
    r.setLeft(total - headerSize);
    r.setMemoryBudget(limits.memoryBudget ? limits.memoryBudget : defaultBudget(total));

    decodeResult res;
    if (kind == kindFailure) {
        std::string why;
        r.str(why, "reason", maxReasonLength);
        res.status = decodeStatus::failure;
        res.reason = sanitizeReason(why);
    } else if (kind == kindScene) {
        scene s;
        std::uint32_t n = 0;
        // Minimum sizes: texture 4+20+4 (one pixel), material 4+16+12+12+4+4+4+4 = 60, mesh 4+32,
        // node 4+64+4+4, animation 4+16+4.
        std::uint64_t pixels = 0;
        if (r.count(n, 28, "textures"))
            r.list(s.textures, n, "textures",
                   [&](texture& t) { return readTexture(r, t, pixels); });
        if (r.count(n, 60, "materials"))
            r.list(s.materials, n, "materials",
                   [&](material& m) { return readMaterial(r, m, s.textures.size()); });
        if (r.count(n, 36, "meshes"))
            r.list(s.meshes, n, "meshes",
                   [&](mesh& m) { return readMesh(r, m, s.materials.size()); });
        if (r.count(n, 76, "nodes"))
            r.list(s.nodes, n, "nodes", [&](node& nd) { return readNode(r, nd); });
        if (r.count(n, 24, "animations"))
            r.list(s.animations, n, "animations",
                   [&](animation& a) { return readAnimation(r, a); });
        if (r.ok())
            checkTree(r, s);
        res.status = decodeStatus::scene;
        res.value = std::move(s);
    } else {
        return malformed("unknown encoding kind");
    }
    char tail[8];
    r.raw(tail, sizeof tail, "trailer");
    if (r.ok() && std::memcmp(tail, tailMagic, sizeof tail) != 0)
        r.fail("bad trailer");
    if (r.ok() && r.left() != 0)
        r.fail("encoding shorter than its header says");
    if (!r.ok())
        return malformed(r.error());
    return res;
}

} // namespace

std::size_t encodedSize(const scene& s) {
    std::size_t n = headerSize + 5 * 4 + sizeof tailMagic;
    for (const texture& t : s.textures)
        n += stringSize(t.name) + 5 * 4 + t.rgba.size();
    for (const material& m : s.materials)
        n += stringSize(m.name) + 12 * 4 + stringSize(m.diffuseTexture) + 4;
    for (const mesh& m : s.meshes)
        n += 4 + 4 * 8 +
             4 * (m.positions.size() + m.normals.size() + m.uvs.size() + m.indices.size());
    for (const node& nd : s.nodes)
        n += stringSize(nd.name) + 16 * 4 + 4 + 4 * nd.meshes.size() + 4 + 4 * nd.children.size();
    for (const animation& a : s.animations) {
        n += stringSize(a.name) + 8 + 8 + 4;
        for (const channel& c : a.channels)
            n += stringSize(c.node) + 3 * 4 + vectorKeySize * c.position.size() +
                 quatKeySize * c.rotation.size() + vectorKeySize * c.scaling.size();
    }
    return n;
}

bool encodeTo(const scene& s, byteSink& sink) {
    writer w(sink);
    writeHeader(w, kindScene, encodedSize(s));
    w.value(static_cast<std::uint32_t>(s.textures.size()));
    for (const texture& t : s.textures) {
        w.str(t.name);
        w.value(t.width);
        w.value(t.height);
        w.value(t.sourceWidth);
        w.value(t.sourceHeight);
        w.value(static_cast<std::uint32_t>(t.hasAlpha ? textureHasAlpha : 0));
        w.array(t.rgba);
    }
    w.value(static_cast<std::uint32_t>(s.materials.size()));
    for (const material& m : s.materials) {
        w.str(m.name);
        w.raw(m.diffuse, sizeof m.diffuse);
        w.raw(m.ambient, sizeof m.ambient);
        w.raw(m.specular, sizeof m.specular);
        w.value(m.shininess);
        w.value(m.opacity);
        w.str(m.diffuseTexture);
        w.value(m.texture);
    }
    w.value(static_cast<std::uint32_t>(s.meshes.size()));
    for (const mesh& m : s.meshes) {
        w.value(m.material);
        w.value(static_cast<std::uint64_t>(m.positions.size()));
        w.value(static_cast<std::uint64_t>(m.normals.size()));
        w.value(static_cast<std::uint64_t>(m.uvs.size()));
        w.value(static_cast<std::uint64_t>(m.indices.size()));
        w.array(m.positions);
        w.array(m.normals);
        w.array(m.uvs);
        w.array(m.indices);
    }
    w.value(static_cast<std::uint32_t>(s.nodes.size()));
    for (const node& nd : s.nodes) {
        w.str(nd.name);
        w.raw(nd.matrix, sizeof nd.matrix);
        w.value(static_cast<std::uint32_t>(nd.meshes.size()));
        w.array(nd.meshes);
        w.value(static_cast<std::uint32_t>(nd.children.size()));
        w.array(nd.children);
    }
    w.value(static_cast<std::uint32_t>(s.animations.size()));
    for (const animation& a : s.animations) {
        w.str(a.name);
        w.value(a.duration);
        w.value(a.ticksPerSecond);
        w.value(static_cast<std::uint32_t>(a.channels.size()));
        for (const channel& c : a.channels) {
            w.str(c.node);
            w.vectorKeys(c.position);
            w.quatKeys(c.rotation);
            w.vectorKeys(c.scaling);
        }
    }
    w.raw(tailMagic, sizeof tailMagic);
    return w.ok();
}

bool encodeInto(const scene& s, std::span<std::byte> out) {
    if (out.size() != encodedSize(s))
        return false;
    memorySink sink(out);
    return encodeTo(s, sink);
}

std::vector<std::byte> encode(const scene& s) {
    std::vector<std::byte> out(encodedSize(s));
    encodeInto(s, out);
    return out;
}

std::vector<std::byte> encodeFailure(std::string_view reason) {
    const std::string text = sanitizeReason(reason);
    std::vector<std::byte> out(headerSize + stringSize(text) + sizeof tailMagic);
    memorySink sink(out);
    writer w(sink);
    writeHeader(w, kindFailure, out.size());
    w.str(text);
    w.raw(tailMagic, sizeof tailMagic);
    return out;
}

std::uint64_t defaultBudget(std::uint64_t announced) {
    constexpr std::uint64_t cap = std::uint64_t{3} << 30;
    return announced >= cap ? cap : std::min(cap, announced * 3 + (std::uint64_t{64} << 20));
}

decodeResult decode(std::span<const std::byte> bytes, const decodeLimits& limits) {
    memorySource source(bytes);
    // Allocations are bounded by the input's size, but a large input may still not fit.
    try {
        return decodeUnguarded(source, bytes.size(), bytes.size(), limits);
    } catch (const std::bad_alloc&) {
        return malformed("out of memory while decoding");
    } catch (const std::length_error&) {
        return malformed("out of memory while decoding");
    }
}

decodeResult decode(byteSource& source, std::uint64_t maxBytes, const decodeLimits& limits) {
    try {
        return decodeUnguarded(source, maxBytes, std::nullopt, limits);
    } catch (const std::bad_alloc&) {
        return malformed("out of memory while decoding");
    } catch (const std::length_error&) {
        return malformed("out of memory while decoding");
    }
}

std::string sanitizeReason(std::string_view reason, std::size_t maxLength) {
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
        reason.remove_suffix(1);
    std::string out;
    out.reserve(std::min(reason.size(), maxLength));
    for (char c : reason) {
        if (out.size() == maxLength)
            break;
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u == '\n' || u == '\r' || u == '\t' ? ' '
                      : (u >= 0x20 && u < 0x7f)           ? c
                                                          : '?');
    }
    return out;
}

} // namespace zel::import
