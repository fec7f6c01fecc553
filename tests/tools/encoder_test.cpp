// The 3DS encoding: byte layout, refusal of models it cannot write, and the chunk structure of
// every sample model, checked by a walker that knows nothing of the writer.
#include "chunk_writer.h"
#include "model3ds.h"
#include "sample_models.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <set>
#include <string>

namespace zel::genModels {
namespace {

TEST(ChunkWriter, NestsChunksLittleEndian) {
    chunkWriter w;
    w.beginChunk(0x4D4D);
    w.beginChunk(0x0002);
    w.u32(3);
    w.endChunk();
    w.beginChunk(0xA000);
    w.cstr("ab");
    w.f32(1.0f);
    w.i16(-1);
    w.endChunk();
    w.endChunk();
    EXPECT_EQ(w.depth(), 0u);
    const std::vector<std::uint8_t> expected = {
        0x4D, 0x4D, 0x1F, 0x00, 0x00, 0x00,                         // main, 31 bytes
        0x02, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, // version 3
        0x00, 0xA0, 0x0F, 0x00, 0x00, 0x00, 'a',  'b',  0x00,       // name
        0x00, 0x00, 0x80, 0x3F, 0xFF, 0xFF};                        // 1.0f, -1
    EXPECT_EQ(w.take(), expected);
}

model validModel() {
    model m;
    m.name = "t";
    m.materials = {{"M", {1, 2, 3}, {0, 0, 0}}};
    meshObject obj;
    obj.name = "Box";
    addBox(obj, 0, {0, 0, 0}, {1, 1, 1});
    m.objects = {obj};
    return m;
}

TEST(Encode3ds, RefusesWhatItCannotWriteFaithfully) {
    struct refusal {
        const char* name;
        std::function<void(model&)> spoil;
        const char* reason;
    };
    const refusal cases[] = {
        {"object name of 11 characters", [](model& m) { m.objects[0].name = "ElevenChars"; },
         "longer than 10"},
        {"empty object name", [](model& m) { m.objects[0].name.clear(); }, "is empty"},
        {"repeated object", [](model& m) { m.objects.push_back(m.objects[0]); }, "defined twice"},
        {"materials differing only in case",
         [](model& m) {
             m.materials.push_back({"m", {}, {}});
         },
         "defined twice"},
        {"material name of 17 characters",
         [](model& m) { m.materials[0].name = std::string(17, 'x'); }, "longer than 16"},
        {"face on a missing vertex", [](model& m) { m.objects[0].faces[0].c = 8; },
         "missing vertex"},
        {"face with a missing material", [](model& m) { m.objects[0].faces[3].material = 1; },
         "missing material"},
        {"texture coordinates for some vertices",
         [](model& m) { m.objects[0].uvs.resize(m.objects[0].vertices.size() - 1); },
         "texture coordinates do not match"},
        {"picture name of 13 characters", [](model& m) { m.pictures = {"thirteen.jpeg"}; },
         "longer than 12"},
        {"65536 vertices", [](model& m) { m.objects[0].vertices.resize(65536); }, "65535 vertices"},
        {"object without faces", [](model& m) { m.objects[0].faces.clear(); }, "65535 faces"},
        {"non-finite vertex",
         [](model& m) { m.objects[0].vertices[2].y = std::numeric_limits<double>::quiet_NaN(); },
         "non-finite"},
        {"no objects", [](model& m) { m.objects.clear(); }, "objects"},
        {"track for an unknown object",
         [](model& m) {
             m.spins = {{"Nobody", {{0, 0.0f, {0, 0, 1}}}}};
         },
         "unknown object"},
        {"keys out of order",
         [](model& m) {
             m.spins = {{"Box", {{10, 0.0f, {0, 0, 1}}, {10, 1.0f, {0, 0, 1}}}}};
         },
         "must increase"},
        {"key past the segment",
         [](model& m) {
             m.frames = 20;
             m.spins = {{"Box", {{0, 0.0f, {0, 0, 1}}, {21, 1.0f, {0, 0, 1}}}}};
         },
         "must increase"},
        {"zero axis",
         [](model& m) {
             m.spins = {{"Box", {{0, 1.0f, {0, 0, 0}}}}};
         },
         "bad angle or axis"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        model m = validModel();
        c.spoil(m);
        std::vector<std::uint8_t> out{1, 2, 3};
        std::string error;
        EXPECT_FALSE(encode3ds(m, out, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3})) << "output touched on failure";
    }
    model m = validModel();
    std::vector<std::uint8_t> out;
    std::string error;
    EXPECT_TRUE(encode3ds(m, out, error)) << error;
}

// A 3DS chunk as found in a file.
struct chunk {
    std::uint16_t id = 0;
    std::string name; // leading string of object blocks and node headers
    std::vector<chunk> children;
};

std::uint16_t get16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t get32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(get16(b, at) |
                                      (static_cast<std::uint32_t>(get16(b, at + 2)) << 16));
}

// Parses the chunks in [begin, end) and requires them to tile it exactly. Containers are the
// chunks whose payload is (after a fixed prefix) made of chunks.
bool parseChunks(const std::vector<std::uint8_t>& b, std::size_t begin, std::size_t end,
                 std::vector<chunk>& out, std::string& error) {
    std::size_t at = begin;
    while (at < end) {
        if (end - at < 6) {
            error = "trailing bytes at " + std::to_string(at);
            return false;
        }
        chunk c;
        c.id = get16(b, at);
        const std::uint32_t size = get32(b, at + 2);
        if (size < 6 || size > end - at) {
            error = "chunk at " + std::to_string(at) + " overruns its parent";
            return false;
        }
        const std::size_t payload = at + 6;
        const std::size_t stop = at + size;
        std::size_t inner = stop; // where sub-chunks start; stop means a leaf
        auto skipString = [&](std::size_t from) {
            std::size_t p = from;
            while (p < stop && b[p] != 0) {
                ++p;
            }
            c.name.assign(b.begin() + static_cast<std::ptrdiff_t>(from),
                          b.begin() + static_cast<std::ptrdiff_t>(p));
            return p + 1;
        };
        switch (c.id) {
        case 0x4D4D:
        case 0x3D3D:
        case 0xAFFF:
        case 0xA010:
        case 0xA020:
        case 0x4100:
        case 0xB000:
        case 0xB002:
            inner = payload;
            break;
        case 0x4000:
            inner = skipString(payload);
            break;
        case 0x4120:
            inner = payload + 2 + 8 * std::size_t{get16(b, payload)};
            break;
        case 0xB010:
            skipString(payload);
            break;
        default:
            break;
        }
        if (inner > stop) {
            error = "chunk " + std::to_string(c.id) + " shorter than its data";
            return false;
        }
        if (inner < stop && !parseChunks(b, inner, stop, c.children, error)) {
            return false;
        }
        out.push_back(std::move(c));
        at = stop;
    }
    return true;
}

const chunk* child(const chunk& c, std::uint16_t id) {
    for (const chunk& k : c.children) {
        if (k.id == id) {
            return &k;
        }
    }
    return nullptr;
}

TEST(Encode3ds, SampleFilesAreWellFormedAndEveryObjectHasANode) {
    std::vector<sampleFile> files;
    std::string error;
    ASSERT_TRUE(sampleFiles(files, error)) << error;
    for (const sampleFile& f : files) {
        if (f.triangles == 0) {
            continue;
        }
        SCOPED_TRACE(f.name);
        std::vector<chunk> top;
        ASSERT_TRUE(parseChunks(f.bytes, 0, f.bytes.size(), top, error)) << error;
        ASSERT_EQ(top.size(), 1u);
        ASSERT_EQ(top[0].id, 0x4D4D);
        const chunk* version = child(top[0], 0x0002);
        const chunk* editor = child(top[0], 0x3D3D);
        const chunk* keyframer = child(top[0], 0xB000);
        ASSERT_TRUE(version && editor && keyframer);
        std::set<std::string> objects, nodes;
        for (const chunk& c : editor->children) {
            if (c.id == 0x4000) {
                objects.insert(c.name);
                const chunk* mesh = child(c, 0x4100);
                ASSERT_TRUE(mesh);
                EXPECT_TRUE(child(*mesh, 0x4110) && child(*mesh, 0x4160) && child(*mesh, 0x4120));
            }
        }
        for (const chunk& c : keyframer->children) {
            if (c.id == 0xB002) {
                const chunk* header = child(c, 0xB010);
                ASSERT_TRUE(header);
                nodes.insert(header->name);
                EXPECT_TRUE(child(c, 0xB020) && child(c, 0xB021) && child(c, 0xB022));
            }
        }
        EXPECT_FALSE(objects.empty());
        EXPECT_EQ(objects, nodes);
    }
}

} // namespace
} // namespace zel::genModels
