// Writes what the web page's decoder is checked against: encodings made and decoded by the C++
// codec, each beside a JSON of what the C++ decoder reports for it.
//
//   zel_web_golden OUT_DIR MODEL...
//
// OUT_DIR/models.json   per model file: its encoding (NAME.bin) and the decoded scene's counts,
//                       node matrices and per-mesh bounding boxes
// OUT_DIR/damaged.json  the encoding of a small scene that uses every field (sample.bin) and
//                       damaged ones, with the C++ decoder's status and reason for each: the damage
//                       cases of the codec's tests (damaged-N.bin), every cut and every bit flip
#include "assimp_import.h"
#include "test_support.h"
#include <zel/import/scene_codec.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>

namespace fs = std::filesystem;
using namespace zel::import;
using nlohmann::json;

namespace {

void writeFile(const fs::path& file, std::span<const std::byte> bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

const char* statusName(decodeStatus s) {
    switch (s) {
    case decodeStatus::scene:
        return "scene";
    case decodeStatus::failure:
        return "failure";
    case decodeStatus::malformed:
        break;
    }
    return "malformed";
}

// Names are bytes that need not be UTF-8: as hex.
std::string hex(const std::string& bytes) {
    static const char* const digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

json floats(const float* v, std::size_t n) {
    json out = json::array();
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(v[i]);
    return out;
}

// What the C++ decoder makes of bytes, as the page's decoder must report it.
json report(std::span<const std::byte> bytes) {
    const decodeResult res = decode(bytes);
    json out = {{"status", statusName(res.status)}, {"reason", res.reason}};
    if (res.status != decodeStatus::scene)
        return out;
    const scene& s = *res.value;
    out["materials"] = s.materials.size();
    json textures = json::array();
    for (const texture& t : s.textures) {
        // The pixels by a checksum: FNV-1a over the bytes.
        std::uint32_t h = 0x811c9dc5u;
        for (std::uint8_t b : t.rgba)
            h = (h ^ b) * 0x01000193u;
        textures.push_back({{"name", hex(t.name)},
                            {"width", t.width},
                            {"height", t.height},
                            {"source", {t.sourceWidth, t.sourceHeight}},
                            {"alpha", t.hasAlpha},
                            {"pixels", h}});
    }
    out["textures"] = textures;
    json materialTextures = json::array(), highlights = json::array();
    for (const material& m : s.materials) {
        materialTextures.push_back(m.texture);
        json h = floats(m.specular, 3);
        h.push_back(m.shininess);
        highlights.push_back(h);
    }
    out["materialTextures"] = materialTextures;
    out["highlights"] = highlights;
    out["animations"] = s.animations.size();
    out["vertices"] = s.vertexCount();
    out["triangles"] = s.triangleCount();
    json nodes = json::array();
    for (const node& n : s.nodes)
        nodes.push_back({{"name", hex(n.name)},
                         {"matrix", floats(n.matrix, 16)},
                         {"meshes", n.meshes},
                         {"children", n.children}});
    out["nodes"] = nodes;
    json meshes = json::array();
    for (const mesh& m : s.meshes) {
        float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
        for (std::size_t v = 0; v < m.vertexCount(); ++v)
            for (int k = 0; k < 3; ++k) {
                const float x = m.positions[3 * v + k];
                lo[k] = v == 0 ? x : std::min(lo[k], x);
                hi[k] = v == 0 ? x : std::max(hi[k], x);
            }
        meshes.push_back({{"material", m.material},
                          {"vertices", m.vertexCount()},
                          {"triangles", m.triangleCount()},
                          {"normals", !m.normals.empty()},
                          {"uvs", !m.uvs.empty()},
                          {"min", floats(lo, 3)},
                          {"max", floats(hi, 3)}});
    }
    out["meshes"] = meshes;
    return out;
}

void put32(std::vector<std::byte>& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}

// The damage cases of the codec's own tests, applied to the same small scene.
std::vector<std::pair<std::string, std::vector<std::byte>>> damagedEncodings() {
    std::vector<std::pair<std::string, std::vector<std::byte>>> out;
    for (const test::sceneDamage& d : test::sceneDamages()) {
        scene s = test::sampleScene();
        d.damage(s);
        out.emplace_back(d.name, encode(s));
    }
    const std::vector<std::byte> good = encode(test::sampleScene());
    const std::vector<std::pair<const char*, std::function<void(std::vector<std::byte>&)>>>
        framing = {
            {"magic", [](auto& b) { b[0] = std::byte{'X'}; }},
            {"version", [](auto& b) { put32(b, 8, 99); }},
            {"kind", [](auto& b) { put32(b, 12, 7); }},
            {"trailer", [](auto& b) { b.back() = std::byte{1}; }},
            {"extra byte", [](auto& b) { b.push_back(std::byte{0}); }},
            {"huge count", [](auto& b) { put32(b, 24, 0xFFFFFFFFu); }},
            {"plain text",
             [](auto& b) {
                 const std::string_view text = "ply\nformat ascii 1\n";
                 b.assign(reinterpret_cast<const std::byte*>(text.data()),
                          reinterpret_cast<const std::byte*>(text.data()) + text.size());
             }},
            {"failure", [](auto& b) { b = encodeFailure("PLY: unexpected\nend\x01 of file\n"); }},
        };
    for (const auto& [name, damage] : framing) {
        std::vector<std::byte> b = good;
        damage(b);
        out.emplace_back(name, std::move(b));
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: zel_web_golden OUT_DIR MODEL...\n";
        return 2;
    }
    try {
        const fs::path out = argv[1];
        fs::create_directories(out);
        json models = json::array();
        for (int i = 2; i < argc; ++i) {
            const fs::path file = argv[i];
            std::string reason;
            const std::optional<scene> s = importInProcess(file, &reason);
            if (!s) {
                std::cerr << "zel_web_golden: " << file << ": " << reason << "\n";
                return 1;
            }
            const std::vector<std::byte> bytes = encode(*s);
            const std::string name = file.filename().string() + ".bin";
            writeFile(out / name, bytes);
            models.push_back(
                {{"model", file.filename().string()}, {"file", name}, {"report", report(bytes)}});
        }
        std::ofstream(out / "models.json") << models.dump(1) << "\n";

        json damaged = json::array();
        const std::vector<std::byte> sample = encode(test::sampleScene());
        writeFile(out / "sample.bin", sample);
        damaged.push_back({{"name", "intact"}, {"file", "sample.bin"}, {"report", report(sample)}});
        int n = 0;
        for (const auto& [name, bytes] : damagedEncodings()) {
            const std::string file = "damaged-" + std::to_string(n++) + ".bin";
            writeFile(out / file, bytes);
            damaged.push_back({{"name", name}, {"file", file}, {"report", report(bytes)}});
        }
        // Every cut of the sample (with the header's size left alone and made to match) and every
        // single-bit flip: the page's decoder makes the same bytes from sample.bin.
        for (std::size_t at = 0; at < sample.size(); ++at) {
            std::vector<std::byte> cut(sample.begin(),
                                       sample.begin() + static_cast<std::ptrdiff_t>(at));
            damaged.push_back({{"name", "cut"}, {"cut", at}, {"report", report(cut)}});
            if (at >= 24) {
                const std::uint64_t size = at;
                std::memcpy(cut.data() + 16, &size, sizeof size);
                damaged.push_back({{"name", "cut, size matching"},
                                   {"cut", at},
                                   {"size", at},
                                   {"report", report(cut)}});
            }
        }
        for (std::size_t at = 0; at < sample.size(); ++at)
            for (int bit = 0; bit < 8; ++bit) {
                std::vector<std::byte> flipped = sample;
                flipped[at] ^= std::byte(1u << bit);
                json r = report(flipped);
                damaged.push_back({{"name", "flip"}, {"flip", {at, bit}}, {"report", r}});
            }
        std::ofstream(out / "damaged.json") << damaged.dump(1) << "\n";
    } catch (const std::exception& e) {
        std::cerr << "zel_web_golden: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
