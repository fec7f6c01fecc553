// Contents: the bounded reader of the few 3DS chunks needed here (mesh names and matrices,
// keyframer node names and pivots, materials' highlights); the placement of the scene's nodes as
// stored; the materials' highlights.

#include "three_ds_file.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zel::import {

namespace {

// Chunk ids, as 3D Studio wrote them.
enum : std::uint16_t {
    mainChunk = 0x4D4D,
    editorChunk = 0x3D3D,
    colourFloat = 0x0010,
    colourByte = 0x0011,
    linearColourByte = 0x0012,
    linearColourFloat = 0x0013,
    percentInt = 0x0030,
    percentFloat = 0x0031,
    materialChunk = 0xAFFF,
    materialName = 0xA000,
    materialSpecular = 0xA030,
    materialShininess = 0xA040,
    materialStrength = 0xA041,
    objectChunk = 0x4000,
    triMeshChunk = 0x4100,
    faceListChunk = 0x4120,
    faceMaterialChunk = 0x4130,
    smoothingChunk = 0x4150,
    meshMatrixChunk = 0x4160,
    keyframerChunk = 0xB000,
    objectNodeChunk = 0xB002, // a mesh's node; the other kinds are B001 and B003 to B007
    nodeHeaderChunk = 0xB010,
    dummyNameChunk = 0xB011,
    pivotChunk = 0xB013,
};

constexpr std::size_t maxName = 1024; // a chunk with a longer name is passed over
constexpr std::size_t headerSize = 6;

// Reads ranges of the file through the importer's file system (in the helper, the broker's
// descriptors); every read is checked against the file's size.
class fileBytes {
public:
    fileBytes(Assimp::IOSystem& io, const std::string& file)
        : io_(io), in_(io.Open(file.c_str(), "rb")) {
        size_ = in_ ? in_->FileSize() : 0;
    }
    ~fileBytes() {
        if (in_)
            io_.Close(in_);
    }
    fileBytes(const fileBytes&) = delete;
    fileBytes& operator=(const fileBytes&) = delete;

    std::uint64_t size() const { return size_; }

    bool read(std::uint64_t at, void* out, std::size_t n) {
        if (!in_ || at > size_ || n > size_ - at)
            return false;
        if (in_->Seek(static_cast<std::size_t>(at), aiOrigin_SET) != aiReturn_SUCCESS)
            return false;
        return n == 0 || in_->Read(out, 1, n) == n;
    }

    float f32(std::uint64_t at, bool& ok) {
        unsigned char b[4];
        if (!read(at, b, 4)) {
            ok = false;
            return 0.0f;
        }
        const std::uint32_t bits = b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }

    // n little-endian unsigned integers of `size` bytes (2 or 4) from `at`; false when the file
    // ends first.
    bool numbers(std::uint64_t at, std::size_t n, int size, std::vector<std::uint32_t>& out) {
        std::vector<unsigned char> raw(n * static_cast<std::size_t>(size));
        if (!read(at, raw.data(), raw.size()))
            return false;
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char* b = raw.data() + i * static_cast<std::size_t>(size);
            out[i] = size == 2 ? std::uint32_t(b[0] | (b[1] << 8))
                               : b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
        }
        return true;
    }

    // The zero-terminated name at `at`, read no further than `end`. Sets next past its terminator
    // (or to end when it has none).
    std::string name(std::uint64_t at, std::uint64_t end, std::uint64_t& next) {
        std::string s;
        char buffer[64];
        while (at < end) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, end - at));
            if (!read(at, buffer, n))
                break;
            const char* zero = static_cast<const char*>(std::memchr(buffer, 0, n));
            const std::size_t take = zero ? static_cast<std::size_t>(zero - buffer) : n;
            if (s.size() + take > maxName)
                break; // too long to be any node's name: what follows is not read
            s.append(buffer, take);
            at += take;
            if (zero) {
                next = at + 1;
                return s;
            }
        }
        next = end;
        return s;
    }

private:
    Assimp::IOSystem& io_;
    Assimp::IOStream* in_;
    std::uint64_t size_ = 0;
};

struct chunk {
    std::uint16_t id = 0;
    std::uint64_t begin = 0; // the content, after the header
    std::uint64_t end = 0;
};

// Calls f(chunk) for each chunk from begin to end. A chunk whose length does not fit what is
// left of its parent ends the walk: what follows it cannot be found.
template <class F>
void forEachChunk(fileBytes& bytes, std::uint64_t begin, std::uint64_t end, F f) {
    std::uint64_t at = begin;
    while (at <= end && end - at >= headerSize) {
        unsigned char h[headerSize];
        if (!bytes.read(at, h, headerSize))
            return;
        const std::uint16_t id = static_cast<std::uint16_t>(h[0] | (h[1] << 8));
        const std::uint32_t length =
            h[2] | (h[3] << 8) | (h[4] << 16) | (std::uint32_t{h[5]} << 24);
        if (length < headerSize || length > end - at)
            return;
        f(chunk{id, at + headerSize, at + length});
        at += length;
    }
}

using matrix = std::array<double, 16>; // row-vector form (v' = v * M), row-major

constexpr matrix identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct meshObject {
    int count = 0;
    matrix frame = identity; // the mesh matrix: the object's axes and origin, as stored
};

struct trackNode {
    std::string name;
    bool object = false; // an object node (B002): its name is a mesh's
    double pivot[3] = {0, 0, 0};
};

struct highlight {
    int count = 0;
    bool hasColour = false, hasShininess = false, hasStrength = false;
    float colour[3] = {0, 0, 0};
    float shininess = 0; // 0..1
    float strength = 1;  // 0..1
};

// One triangle mesh's faces as the file groups them: each face's smoothing groups and the name of
// its material (an index into names, or -1: none).
struct faceGroups {
    std::vector<std::uint32_t> smoothing;
    std::vector<std::int32_t> material;
    std::vector<std::string> names;
};

struct layout {
    std::unordered_map<std::string, meshObject> meshes;
    std::vector<faceGroups> triMeshes; // every triangle mesh, in the file's order
    std::vector<trackNode> nodes;
    std::unordered_map<std::string, highlight> materials;
};

// A colour chunk's first colour, gamma-corrected forms first.
bool readColour(fileBytes& bytes, const chunk& parent, float (&out)[3]) {
    bool found = false, linear = false;
    forEachChunk(bytes, parent.begin, parent.end, [&](const chunk& c) {
        const bool isFloat = c.id == colourFloat || c.id == linearColourFloat;
        const bool isByte = c.id == colourByte || c.id == linearColourByte;
        const bool isLinear = c.id == linearColourFloat || c.id == linearColourByte;
        if ((!isFloat && !isByte) || (found && (isLinear || !linear)))
            return;
        float v[3];
        bool ok = c.end - c.begin >= (isFloat ? 12u : 3u);
        for (int i = 0; i < 3 && ok; ++i) {
            unsigned char b = 0;
            v[i] = isFloat ? bytes.f32(c.begin + 4 * i, ok)
                           : (ok = bytes.read(c.begin + i, &b, 1), b / 255.0f);
        }
        if (!ok || !std::all_of(v, v + 3, [](float f) { return std::isfinite(f); }))
            return;
        std::copy(v, v + 3, out);
        found = true;
        linear = isLinear;
    });
    return found;
}

// A percentage chunk's value as a fraction, 0..1.
bool readPercent(fileBytes& bytes, const chunk& parent, float& out) {
    bool found = false;
    forEachChunk(bytes, parent.begin, parent.end, [&](const chunk& c) {
        if (found)
            return;
        bool ok = true;
        float v = 0;
        if (c.id == percentInt && c.end - c.begin >= 2) {
            unsigned char b[2];
            ok = bytes.read(c.begin, b, 2);
            v = static_cast<float>(static_cast<std::int16_t>(b[0] | (b[1] << 8))) / 100.0f;
        } else if (c.id == percentFloat && c.end - c.begin >= 4) {
            v = bytes.f32(c.begin, ok);
            if (v > 1.0f) // written as 0..100 by some tools
                v /= 100.0f;
        } else {
            return;
        }
        if (ok && std::isfinite(v)) {
            out = std::clamp(v, 0.0f, 1.0f);
            found = true;
        }
    });
    return found;
}

void readMaterial(fileBytes& bytes, const chunk& entry, layout& out) {
    std::string name;
    highlight h;
    forEachChunk(bytes, entry.begin, entry.end, [&](const chunk& c) {
        if (c.id == materialName) {
            std::uint64_t next = c.end;
            name = bytes.name(c.begin, c.end, next);
        } else if (c.id == materialSpecular) {
            h.hasColour = readColour(bytes, c, h.colour) || h.hasColour;
        } else if (c.id == materialShininess) {
            h.hasShininess = readPercent(bytes, c, h.shininess) || h.hasShininess;
        } else if (c.id == materialStrength) {
            h.hasStrength = readPercent(bytes, c, h.strength) || h.hasStrength;
        }
    });
    highlight& known = out.materials[name];
    const int count = known.count + 1;
    known = h;
    known.count = count;
}

void readMesh(fileBytes& bytes, const chunk& triMesh, meshObject& m) {
    forEachChunk(bytes, triMesh.begin, triMesh.end, [&](const chunk& c) {
        if (c.id != meshMatrixChunk || c.end - c.begin < 48)
            return;
        bool ok = true;
        float v[12];
        for (int i = 0; i < 12; ++i)
            v[i] = bytes.f32(c.begin + 4 * i, ok);
        if (!ok)
            return;
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 3; ++col)
                m.frame[4 * row + col] = v[3 * row + col];
    });
}

// The face list's smoothing groups and material names. Counts are checked against the bytes that
// hold them; a face list that does not fit leaves the mesh with no faces.
faceGroups readFaceGroups(fileBytes& bytes, const chunk& triMesh) {
    faceGroups g;
    forEachChunk(bytes, triMesh.begin, triMesh.end, [&](const chunk& list) {
        if (list.id != faceListChunk || list.end - list.begin < 2)
            return;
        std::vector<std::uint32_t> count;
        if (!bytes.numbers(list.begin, 1, 2, count))
            return;
        const std::size_t faces = count[0];
        const std::uint64_t subChunks = list.begin + 2 + 8 * std::uint64_t{faces};
        if (subChunks > list.end)
            return;
        g.smoothing.assign(faces, 0);
        g.material.assign(faces, -1);
        forEachChunk(bytes, subChunks, list.end, [&](const chunk& c) {
            if (c.id == smoothingChunk && c.end - c.begin >= 4 * std::uint64_t{faces}) {
                std::vector<std::uint32_t> groups;
                if (bytes.numbers(c.begin, faces, 4, groups))
                    g.smoothing = std::move(groups);
            } else if (c.id == faceMaterialChunk) {
                std::uint64_t next = c.end;
                std::string name = bytes.name(c.begin, c.end, next);
                std::vector<std::uint32_t> n, which;
                if (next + 2 > c.end || !bytes.numbers(next, 1, 2, n) ||
                    next + 2 + 2 * std::uint64_t{n[0]} > c.end ||
                    !bytes.numbers(next + 2, n[0], 2, which))
                    return;
                const auto index = static_cast<std::int32_t>(g.names.size());
                g.names.push_back(std::move(name));
                for (std::uint32_t f : which)
                    if (f < faces)
                        g.material[f] = index;
            }
        });
    });
    return g;
}

void readEditor(fileBytes& bytes, const chunk& editor, layout& out) {
    forEachChunk(bytes, editor.begin, editor.end, [&](const chunk& object) {
        if (object.id == materialChunk)
            readMaterial(bytes, object, out);
        if (object.id != objectChunk)
            return;
        std::uint64_t next = object.end;
        const std::string name = bytes.name(object.begin, object.end, next);
        forEachChunk(bytes, next, object.end, [&](const chunk& c) {
            if (c.id != triMeshChunk)
                return;
            meshObject& m = out.meshes[name];
            if (++m.count == 1)
                readMesh(bytes, c, m);
            out.triMeshes.push_back(readFaceGroups(bytes, c));
        });
    });
}

// The keyframer's nodes as Assimp names them: a node header naming a node met before refers to
// it again unless it is an object node (then it is another instance); a dummy takes its instance
// name; pivots count for object nodes only.
void readKeyframer(fileBytes& bytes, const chunk& keyframer, layout& out) {
    // The first node of each name, as Assimp's search by name finds it.
    std::unordered_map<std::string, std::size_t> byName;
    forEachChunk(bytes, keyframer.begin, keyframer.end, [&](const chunk& tag) {
        if (tag.id < 0xB001 || tag.id > 0xB007)
            return;
        std::size_t current = SIZE_MAX;
        forEachChunk(bytes, tag.begin, tag.end, [&](const chunk& c) {
            if (c.id == nodeHeaderChunk) {
                std::uint64_t next = c.end;
                const std::string name = bytes.name(c.begin, c.end, next);
                const auto known = byName.find(name);
                if (known != byName.end() && tag.id != objectNodeChunk) {
                    current = known->second;
                    return;
                }
                current = out.nodes.size();
                trackNode& n = out.nodes.emplace_back();
                n.name = name;
                n.object = tag.id == objectNodeChunk;
                byName.emplace(name, current);
            } else if (c.id == dummyNameChunk && current != SIZE_MAX &&
                       out.nodes[current].name == "$$$DUMMY") {
                std::uint64_t next = c.end;
                std::string name = bytes.name(c.begin, c.end, next);
                const auto dummy = byName.find("$$$DUMMY");
                if (dummy != byName.end() && dummy->second == current)
                    byName.erase(dummy);
                byName.emplace(name, current);
                out.nodes[current].name = std::move(name);
            } else if (c.id == pivotChunk && current != SIZE_MAX && tag.id == objectNodeChunk &&
                       c.end - c.begin >= 12) {
                bool ok = true;
                double p[3];
                for (int i = 0; i < 3; ++i)
                    p[i] = bytes.f32(c.begin + 4 * i, ok);
                if (ok)
                    std::copy(p, p + 3, out.nodes[current].pivot);
            }
        });
    });
}

// False when the file does not start as a 3DS file does.
bool readLayout(Assimp::IOSystem& io, const std::string& file, layout& out) {
    fileBytes bytes(io, file);
    const std::uint64_t size = bytes.size();
    unsigned char h[headerSize];
    if (size < headerSize || !bytes.read(0, h, headerSize) || (h[0] | (h[1] << 8)) != mainChunk)
        return false;
    const std::uint32_t length = h[2] | (h[3] << 8) | (h[4] << 16) | (std::uint32_t{h[5]} << 24);
    const std::uint64_t end = std::min<std::uint64_t>(std::max<std::uint32_t>(length, 6), size);
    forEachChunk(bytes, headerSize, end, [&](const chunk& c) {
        if (c.id == editorChunk)
            readEditor(bytes, c, out);
        else if (c.id == keyframerChunk)
            readKeyframer(bytes, c, out);
    });
    return true;
}

matrix multiply(const matrix& a, const matrix& b) {
    matrix r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum += a[4 * i + k] * b[4 * k + j];
            r[4 * i + j] = sum;
        }
    return r;
}

double determinant3(const matrix& m) {
    return m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
           m[2] * (m[4] * m[9] - m[5] * m[8]);
}

// The inverse of an affine matrix (last column 0, 0, 0, 1); false when it has none worth using.
bool invertAffine(const matrix& m, matrix& out) {
    const double det = determinant3(m);
    double scale = 0;
    for (int i = 0; i < 11; ++i)
        if (i % 4 != 3)
            scale = std::max(scale, std::abs(m[i]));
    if (!std::isfinite(det) || scale == 0 || std::abs(det) <= 1e-12 * scale * scale * scale)
        return false;
    out = identity;
    const auto at = [&](int r, int c) { return m[4 * r + c]; };
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            // The cofactor of (c, r), divided by the determinant.
            const int r0 = (c + 1) % 3, r1 = (c + 2) % 3, c0 = (r + 1) % 3, c1 = (r + 2) % 3;
            out[4 * r + c] = (at(r0, c0) * at(r1, c1) - at(r0, c1) * at(r1, c0)) / det;
        }
    for (int c = 0; c < 3; ++c)
        out[12 + c] = -(m[12] * out[c] + m[13] * out[4 + c] + m[14] * out[8 + c]);
    return true;
}

matrix fromNode(const node& n) {
    matrix m;
    std::copy(std::begin(n.matrix), std::end(n.matrix), m.begin());
    return m;
}

// Assimp's local vertices of a mesh node are the stored ones brought into the mesh matrix's frame
// (x negated when that frame is mirrored), less the pivot. Placing them as stored takes the
// node's world matrix: pivot, mirror, mesh matrix, then the root's turn to Y up.
matrix asStored(const meshObject& m, const trackNode& t, const matrix& root) {
    matrix pivot = identity;
    pivot[12] = t.pivot[0];
    pivot[13] = t.pivot[1];
    pivot[14] = t.pivot[2];
    matrix mirror = identity;
    if (determinant3(m.frame) < 0)
        mirror[0] = -1;
    return multiply(multiply(multiply(pivot, mirror), m.frame), root);
}

std::array<double, 3> apply(const matrix& m, const double (&p)[3]) {
    std::array<double, 3> r{};
    for (int j = 0; j < 3; ++j)
        r[j] = p[0] * m[j] + p[1] * m[4 + j] + p[2] * m[8 + j] + m[12 + j];
    return r;
}

// Whether the node's meshes stand elsewhere under `to` than under `from`: their bounding box's
// corners move by more than a thousandth of its diagonal.
bool movesMeshes(const scene& s, const node& n, const matrix& from, const matrix& to) {
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (std::uint32_t mi : n.meshes) {
        const std::vector<float>& p = s.meshes[mi].positions;
        for (std::size_t i = 0; i + 2 < p.size(); i += 3)
            for (int k = 0; k < 3; ++k)
                if (std::isfinite(p[i + k])) {
                    lo[k] = std::min(lo[k], double(p[i + k]));
                    hi[k] = std::max(hi[k], double(p[i + k]));
                }
    }
    if (!(lo[0] <= hi[0] && lo[1] <= hi[1] && lo[2] <= hi[2]))
        return false;
    double moved = 0;
    std::array<double, 3> first{}, last{};
    for (int corner = 0; corner < 8; ++corner) {
        const double p[3] = {corner & 1 ? hi[0] : lo[0], corner & 2 ? hi[1] : lo[1],
                             corner & 4 ? hi[2] : lo[2]};
        const auto a = apply(from, p), b = apply(to, p);
        moved = std::max(moved, std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]));
        (corner == 0 ? first : last) = b;
    }
    const double diagonal = std::hypot(last[0] - first[0], last[1] - first[1], last[2] - first[2]);
    return moved > 1e-3 * std::max(diagonal, 1e-6);
}

bool finite(const matrix& m) {
    return std::all_of(m.begin(), m.end(),
                       [](double d) { return std::isfinite(d) && std::abs(d) < 3e38; });
}

std::size_t placeAsStored(scene& s, const layout& l) {
    if (s.nodes.empty() || l.nodes.empty() || l.meshes.empty())
        return 0;

    // How often each name occurs among the keyframer's nodes and the scene's.
    std::unordered_map<std::string, int> trackCount, sceneCount;
    std::unordered_map<std::string, const trackNode*> track;
    for (const trackNode& t : l.nodes) {
        ++trackCount[t.name];
        track[t.name] = &t;
    }
    for (const node& n : s.nodes)
        ++sceneCount[n.name];
    std::unordered_set<std::string> animated;
    for (const animation& a : s.animations)
        for (const channel& c : a.channels)
            animated.insert(c.node);

    // Parents come before their children (the decoder and convertScene keep it so).
    const std::size_t count = s.nodes.size();
    std::vector<std::size_t> parent(count, SIZE_MAX);
    for (std::size_t i = 0; i < count; ++i)
        for (std::uint32_t c : s.nodes[i].children)
            if (c > i && c < count)
                parent[c] = i;
    // A node the keyframer moves, below one it moves or above one it moves keeps its placement.
    std::vector<bool> moving(count, false);
    for (std::size_t i = 0; i < count; ++i)
        moving[i] =
            animated.count(s.nodes[i].name) > 0 || (parent[i] != SIZE_MAX && moving[parent[i]]);
    for (std::size_t i = count; i-- > 1;)
        if (moving[i] && parent[i] != SIZE_MAX)
            moving[parent[i]] = true;

    std::vector<matrix> world(count);
    for (std::size_t i = 0; i < count; ++i)
        world[i] = parent[i] == SIZE_MAX ? fromNode(s.nodes[i])
                                         : multiply(fromNode(s.nodes[i]), world[parent[i]]);
    const matrix root = world[0];

    std::vector<matrix> placed = world;
    std::vector<bool> fixed(count, false);
    std::size_t moved = 0;
    for (std::size_t i = 1; i < count; ++i) {
        const node& n = s.nodes[i];
        if (parent[i] == SIZE_MAX || moving[i] || n.meshes.empty() || sceneCount[n.name] != 1 ||
            trackCount[n.name] != 1)
            continue;
        const trackNode& t = *track[n.name];
        const auto mesh = l.meshes.find(n.name);
        if (!t.object || mesh == l.meshes.end() || mesh->second.count != 1)
            continue;
        const matrix want = asStored(mesh->second, t, root);
        matrix inverse, parentInverse;
        if (!finite(want) || !invertAffine(want, inverse) ||
            !invertAffine(placed[parent[i]], parentInverse) || !movesMeshes(s, n, world[i], want))
            continue;
        placed[i] = want;
        fixed[i] = true;
        ++moved;
    }
    if (moved == 0)
        return 0;

    // Every node keeps its place in the world but those placed as stored: the local matrices of
    // those and of their children are worked out again.
    for (std::size_t i = 1; i < count; ++i) {
        if (parent[i] == SIZE_MAX || !(fixed[i] || fixed[parent[i]]))
            continue;
        matrix parentInverse;
        if (!invertAffine(placed[parent[i]], parentInverse))
            continue; // cannot happen: a fixed parent was checked
        const matrix local = multiply(placed[i], parentInverse);
        if (!finite(local))
            continue;
        std::copy(local.begin(), local.end(), s.nodes[i].matrix);
    }
    return moved;
}

std::size_t highlights(scene& s, const layout& l) {
    std::unordered_map<std::string, int> names;
    for (const material& m : s.materials)
        ++names[m.name];
    std::size_t changed = 0;
    for (material& m : s.materials) {
        const auto h = l.materials.find(m.name);
        if (names[m.name] != 1 || h == l.materials.end() || h->second.count != 1)
            continue;
        const highlight& f = h->second;
        for (int i = 0; i < 3; ++i)
            m.specular[i] = f.hasColour ? f.colour[i] * f.strength : 0.0f;
        const bool shows = f.hasColour && f.strength > 0 &&
                           (f.colour[0] > 0 || f.colour[1] > 0 || f.colour[2] > 0);
        m.shininess = shows ? std::max(1.0f, 128.0f * f.shininess) : 0.0f;
        ++changed;
    }
    return changed;
}

std::string lowered(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The scene's meshes that each of the file's triangle meshes became, with the file's faces in
// their order. Assimp makes a mesh of every material a triangle mesh uses, in the order of the
// materials, each with its faces in the file's order; a face names its material by name (the
// first one of that name, ignoring case), and faces without one get Assimp's default. Empty when
// the scene does not match the file that way.
struct meshFaces {
    std::uint32_t mesh = 0;
    std::vector<std::uint32_t> faces; // indices into the triangle mesh's faces
};
std::vector<std::vector<meshFaces>> meshesOfFile(const scene& s, const layout& l) {
    std::unordered_map<std::string, std::uint32_t> byName;
    for (std::size_t i = s.materials.size(); i-- > 0;)
        byName[lowered(s.materials[i].name)] = static_cast<std::uint32_t>(i);
    // Assimp's default: the last material named "...default..." in an even grey without a
    // picture, or its own "%%%DEFAULT", which it adds last.
    std::int64_t fallback = -1;
    for (std::size_t i = 0; i < s.materials.size(); ++i) {
        const material& m = s.materials[i];
        if (lowered(m.name).find("default") != std::string::npos && m.diffuse[0] == m.diffuse[1] &&
            m.diffuse[1] == m.diffuse[2] && m.diffuseTexture.empty())
            fallback = static_cast<std::int64_t>(i);
    }
    std::vector<std::vector<meshFaces>> out;
    std::size_t next = 0;
    for (const faceGroups& t : l.triMeshes) {
        std::map<std::int64_t, std::vector<std::uint32_t>> groups;
        std::vector<std::int64_t> resolved(t.names.size(), fallback);
        for (std::size_t n = 0; n < t.names.size(); ++n)
            if (const auto it = byName.find(lowered(t.names[n])); it != byName.end())
                resolved[n] = it->second;
        // Faces without a known default sort last, where Assimp adds its own.
        const std::int64_t none = fallback >= 0 ? fallback : INT64_MAX;
        for (std::size_t f = 0; f < t.smoothing.size(); ++f) {
            const std::int64_t m = t.material[f] < 0 ? none : resolved[std::size_t(t.material[f])];
            groups[m < 0 ? none : m].push_back(static_cast<std::uint32_t>(f));
        }
        std::vector<meshFaces>& these = out.emplace_back();
        for (auto& [materialIndex, faces] : groups) {
            if (next >= s.meshes.size() || s.meshes[next].triangleCount() != faces.size() ||
                (materialIndex != INT64_MAX && s.meshes[next].material != materialIndex))
                return {};
            these.push_back({static_cast<std::uint32_t>(next++), std::move(faces)});
        }
    }
    if (next != s.meshes.size())
        return {};
    return out;
}

using vec3d = std::array<double, 3>;

// A position by its bits: equal coordinates join, as Assimp joins them when it smooths.
using pointKey = std::array<std::uint32_t, 3>;
struct pointHash {
    std::size_t operator()(const pointKey& k) const {
        std::uint64_t h = 0xcbf29ce484222325u;
        for (std::uint32_t v : k)
            h = (h ^ v) * 0x100000001b3u;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

vec3d cornerPosition(const mesh& m, std::uint32_t vertex) {
    const float* p = m.positions.data() + 3 * std::size_t{vertex};
    return {p[0], p[1], p[2]};
}

// The normals of the faces in a smoothing group, as the author meant them: averaged over the
// group's faces around each corner, after every face's winding is made to agree with its
// neighbours' (some exporters wind faces of one surface either way, and a plain average then
// points sideways). Faces in no group keep the normals they have.
std::size_t smoothAsAuthored(scene& s, const layout& l) {
    const std::vector<std::vector<meshFaces>> file = meshesOfFile(s, l);
    std::size_t smoothed = 0;
    for (std::size_t t = 0; t < file.size(); ++t) {
        const faceGroups& groups = l.triMeshes[t];
        if (std::none_of(groups.smoothing.begin(), groups.smoothing.end(),
                         [](std::uint32_t g) { return g != 0; }))
            continue; // nothing to smooth: Assimp's normals stand
        // Every face of the triangle mesh: its scene mesh and triangle, smoothing and corners
        // (positions joined where they are equal).
        struct face {
            std::uint32_t mesh, triangle, smoothing;
            std::array<std::uint32_t, 3> corner;
            vec3d normal; // length: twice the area
        };
        std::vector<face> faces;
        std::unordered_map<pointKey, std::uint32_t, pointHash> pointIds;
        for (const meshFaces& mf : file[t]) {
            const mesh& m = s.meshes[mf.mesh];
            for (std::size_t q = 0; q < mf.faces.size(); ++q) {
                face f{
                    mf.mesh, static_cast<std::uint32_t>(q), groups.smoothing[mf.faces[q]], {}, {}};
                vec3d p[3];
                for (int k = 0; k < 3; ++k) {
                    const std::uint32_t v = m.indices[3 * q + std::size_t(k)];
                    if (v >= m.vertexCount())
                        return smoothed;
                    p[k] = cornerPosition(m, v);
                    pointKey key;
                    std::memcpy(key.data(), m.positions.data() + 3 * std::size_t{v}, sizeof key);
                    f.corner[std::size_t(k)] =
                        pointIds.emplace(key, static_cast<std::uint32_t>(pointIds.size()))
                            .first->second;
                }
                const vec3d a{p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
                const vec3d b{p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
                f.normal = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                            a[0] * b[1] - a[1] * b[0]};
                faces.push_back(f);
            }
        }

        // Faces around each point, and the faces on each edge with the edge's direction.
        std::vector<std::vector<std::uint32_t>> around(pointIds.size());
        std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> edges;
        auto edgeKey = [](std::uint32_t a, std::uint32_t b) {
            return std::uint64_t{std::min(a, b)} << 32 | std::max(a, b);
        };
        for (std::uint32_t i = 0; i < faces.size(); ++i) {
            if (!faces[i].smoothing)
                continue;
            for (int k = 0; k < 3; ++k) {
                const std::uint32_t a = faces[i].corner[std::size_t(k)];
                const std::uint32_t b = faces[i].corner[std::size_t((k + 1) % 3)];
                around[a].push_back(i);
                if (a != b)
                    edges[edgeKey(a, b)].push_back(i);
            }
        }
        // Windings made to agree across edges between faces that share a group: a face is
        // flipped when it runs along a shared edge the way its neighbour does.
        auto runs = [&](std::uint32_t i, std::uint32_t a, std::uint32_t b) {
            for (int k = 0; k < 3; ++k)
                if (faces[i].corner[std::size_t(k)] == a &&
                    faces[i].corner[std::size_t((k + 1) % 3)] == b)
                    return true;
            return false;
        };
        std::vector<std::int8_t> flip(faces.size(), -1);
        std::vector<std::uint32_t> part(faces.size(), 0);
        std::uint32_t parts = 0;
        std::vector<std::uint32_t> queue;
        for (std::uint32_t start = 0; start < faces.size(); ++start) {
            if (!faces[start].smoothing || flip[start] >= 0)
                continue;
            flip[start] = 0;
            part[start] = ++parts;
            queue.assign(1, start);
            while (!queue.empty()) {
                const std::uint32_t i = queue.back();
                queue.pop_back();
                for (int k = 0; k < 3; ++k) {
                    const std::uint32_t a = faces[i].corner[std::size_t(k)];
                    const std::uint32_t b = faces[i].corner[std::size_t((k + 1) % 3)];
                    const auto shared = edges.find(edgeKey(a, b));
                    if (a == b || shared == edges.end())
                        continue;
                    for (std::uint32_t j : shared->second) {
                        if (flip[j] >= 0 || !(faces[j].smoothing & faces[i].smoothing))
                            continue;
                        flip[j] = static_cast<std::int8_t>(flip[i] ^ (runs(j, a, b) ? 1 : 0));
                        part[j] = part[i];
                        queue.push_back(j);
                    }
                }
            }
        }
        auto oriented = [&](std::uint32_t i) {
            const double sign = flip[i] ? -1.0 : 1.0;
            return vec3d{faces[i].normal[0] * sign, faces[i].normal[1] * sign,
                         faces[i].normal[2] * sign};
        };

        // A mesh that came without normals gets them all here: the flat ones too.
        for (const meshFaces& mf : file[t]) {
            mesh& m = s.meshes[mf.mesh];
            if (m.normals.size() == m.positions.size())
                continue;
            m.normals.assign(m.positions.size(), 0.0f);
            for (const face& f : faces) {
                const double length =
                    std::sqrt(f.normal[0] * f.normal[0] + f.normal[1] * f.normal[1] +
                              f.normal[2] * f.normal[2]);
                if (f.mesh != mf.mesh || f.smoothing || !(length > 0) || !std::isfinite(length))
                    continue;
                for (int k = 0; k < 3; ++k) {
                    const std::uint32_t v = m.indices[3 * std::size_t{f.triangle} + std::size_t(k)];
                    for (int c = 0; c < 3; ++c)
                        m.normals[3 * std::size_t{v} + std::size_t(c)] =
                            static_cast<float>(f.normal[std::size_t(c)] / length);
                }
            }
        }
        for (std::uint32_t i = 0; i < faces.size(); ++i) {
            const face& f = faces[i];
            if (!f.smoothing)
                continue;
            mesh& m = s.meshes[f.mesh];
            const vec3d own = oriented(i);
            for (int k = 0; k < 3; ++k) {
                vec3d sum{0, 0, 0};
                for (std::uint32_t j : around[f.corner[std::size_t(k)]]) {
                    if (!(faces[j].smoothing & f.smoothing))
                        continue;
                    vec3d n = oriented(j);
                    // A face joined to this one through a point alone: turned to its side.
                    if (part[j] != part[i] && n[0] * own[0] + n[1] * own[1] + n[2] * own[2] < 0)
                        n = {-n[0], -n[1], -n[2]};
                    for (int c = 0; c < 3; ++c)
                        sum[std::size_t(c)] += n[std::size_t(c)];
                }
                // Back to this face's own winding.
                const double sign = flip[i] ? -1.0 : 1.0;
                double length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
                if (!(length > 0) || !std::isfinite(length)) {
                    sum = f.normal;
                    length = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
                    if (!(length > 0) || !std::isfinite(length))
                        continue;
                }
                const std::uint32_t v = m.indices[3 * std::size_t{f.triangle} + std::size_t(k)];
                for (int c = 0; c < 3; ++c)
                    m.normals[3 * std::size_t{v} + std::size_t(c)] =
                        static_cast<float>(sign * sum[std::size_t(c)] / length);
            }
            ++smoothed;
        }
    }
    return smoothed;
}

// Faces without a material get Assimp's own, a dark grey that nearly vanishes against the
// viewer's background: they are shown in a light grey instead, as 3D editors show them.
std::size_t lightDefault(scene& s, const layout& l) {
    const std::string assimpDefault = "%%%DEFAULT";
    if (l.materials.count(assimpDefault))
        return 0; // the file's own material of that name
    std::size_t changed = 0;
    for (material& m : s.materials) {
        if (m.name != assimpDefault)
            continue;
        m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 0.75f;
        m.diffuse[3] = 1.0f;
        m.opacity = 1.0f;
        ++changed;
    }
    return changed;
}

} // namespace

threeDsAmends amendFromThreeDsFile(scene& s, const std::filesystem::path& file) {
    Assimp::DefaultIOSystem io;
    return amendFromThreeDsFile(s, io, file.string());
}

threeDsAmends amendFromThreeDsFile(scene& s, Assimp::IOSystem& io, const std::string& file) {
    layout l;
    if (!readLayout(io, file, l))
        return {};
    threeDsAmends a;
    a.read = true;
    a.placed = placeAsStored(s, l);
    a.materials = highlights(s, l);
    a.smoothed = smoothAsAuthored(s, l);
    a.defaults = lightDefault(s, l);
    return a;
}

} // namespace zel::import
