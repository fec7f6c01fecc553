#include "test_models.h"

#include <array>

namespace zel::genModels {

namespace {

std::uint16_t u16(std::size_t v) {
    return static_cast<std::uint16_t>(v);
}

// Appends two triangles a b c, a c d; reversed, each wound the other way.
void quadFaces(meshObject& obj, std::size_t a, std::size_t b, std::size_t c, std::size_t d,
               std::size_t material, std::uint32_t smoothing, bool reversed = false) {
    if (reversed) {
        obj.faces.push_back({u16(a), u16(c), u16(b), 7, smoothing, material});
        obj.faces.push_back({u16(a), u16(d), u16(c), 7, smoothing, material});
    } else {
        obj.faces.push_back({u16(a), u16(b), u16(c), 7, smoothing, material});
        obj.faces.push_back({u16(a), u16(c), u16(d), 7, smoothing, material});
    }
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBig32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void pngChunk(std::vector<std::uint8_t>& out, const char* type,
              const std::vector<std::uint8_t>& data) {
    putBig32(out, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    putBig32(out, crc32(body.data(), body.size()));
}

} // namespace

model makeTwoQuads() {
    model m;
    m.name = "quads";
    m.materials = {{"red", {255, 255, 255}, {255, 255, 255}},
                   {"blue", {255, 255, 255}, {255, 255, 255}}};
    m.pictures = {"red.png", "blue.png"};
    meshObject& obj = m.objects.emplace_back();
    obj.name = "quads";
    for (std::size_t q = 0; q < 2; ++q) {
        const double x0 = q == 0 ? -1.1 : 0.1;
        const std::size_t b = obj.vertices.size();
        obj.vertices.insert(
            obj.vertices.end(),
            {{x0, 0.0, -0.5}, {x0 + 1.0, 0.0, -0.5}, {x0 + 1.0, 0.0, 0.5}, {x0, 0.0, 0.5}});
        obj.uvs.insert(obj.uvs.end(), {{0.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 1.0f}, {0.0f, 1.0f}});
        quadFaces(obj, b, b + 1, b + 2, b + 3, q, 0);
    }
    return m;
}

model makeBigTown() {
    model m;
    m.name = "town";
    m.materials = {{"walls", {200, 30, 30}, {200, 30, 30}},
                   {"roof", {150, 150, 150}, {150, 150, 150}}};
    const double half = 5000.0, thick = 1.0, high = 10.0;
    meshObject& walls = m.objects.emplace_back();
    walls.name = "walls";
    for (int i = 0; i <= 10; ++i) {
        const double at = -half + 1000.0 * i;
        addBox(walls, 0, {at - thick, -half - thick, 0.0}, {at + thick, half + thick, high});
        addBox(walls, 0, {-half - thick, at - thick, 0.0}, {half + thick, at + thick, high});
    }
    meshObject& roof = m.objects.emplace_back();
    roof.name = "roof";
    const double edge = half + 100.0;
    addQuad(roof, 1, {-edge, -edge, high + 1.0}, {edge, -edge, high + 1.0},
            {edge, edge, high + 1.0}, {-edge, edge, high + 1.0});
    return m;
}

model makeCylinder(bool mixedWinding) {
    model m;
    m.name = "cylinder";
    m.materials = {{"grey", {200, 200, 200}, {200, 200, 200}}};
    meshObject& obj = m.objects.emplace_back();
    obj.name = "cylinder";
    constexpr int sides = 16;
    for (int k = 0; k < sides; ++k) {
        const circlePoint p = onCircle(k, sides);
        obj.vertices.push_back({p.c, p.s, 0.0});
        obj.vertices.push_back({p.c, p.s, 2.0});
    }
    for (int k = 0; k < sides; ++k) {
        const std::size_t a = 2 * std::size_t(k), b = 2 * std::size_t((k + 1) % sides);
        // Counter-clockwise seen from outside: bottom k, bottom k+1, top k+1, top k.
        quadFaces(obj, a, b, b + 1, a + 1, 0, 1, mixedWinding && k % 2 == 1);
    }
    return m;
}

std::vector<std::uint8_t> solidPng(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    constexpr std::uint32_t side = 4;
    std::vector<std::uint8_t> raw;
    for (std::uint32_t y = 0; y < side; ++y) {
        raw.push_back(0); // no filter
        for (std::uint32_t x = 0; x < side; ++x)
            raw.insert(raw.end(), {r, g, b});
    }
    // zlib around one stored deflate block.
    std::vector<std::uint8_t> z{0x78, 0x01, 0x01};
    const auto n = static_cast<std::uint16_t>(raw.size());
    z.insert(z.end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>((~n) >> 8)});
    z.insert(z.end(), raw.begin(), raw.end());
    std::uint32_t s1 = 1, s2 = 0;
    for (std::uint8_t byte : raw) {
        s1 = (s1 + byte) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    putBig32(z, (s2 << 16) | s1);

    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    putBig32(header, side);
    putBig32(header, side);
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, no interlace
    pngChunk(out, "IHDR", header);
    pngChunk(out, "IDAT", z);
    pngChunk(out, "IEND", {});
    return out;
}

bool testFiles(std::vector<sampleFile>& files, std::string& error) {
    struct entry {
        const char* name;
        model m;
    };
    const entry models[] = {{"quads.3ds", makeTwoQuads()},
                            {"town.3ds", makeBigTown()},
                            {"cylinder.3ds", makeCylinder(false)},
                            {"cylinder-mixed.3ds", makeCylinder(true)}};
    files.clear();
    for (const entry& e : models) {
        sampleFile f;
        f.name = e.name;
        f.triangles = triangleCount(e.m);
        if (!encode3ds(e.m, f.bytes, error)) {
            error = f.name + ": " + error;
            return false;
        }
        files.push_back(std::move(f));
    }
    files.push_back({"red.png", solidPng(255, 0, 0), 0});
    files.push_back({"blue.png", solidPng(0, 0, 255), 0});
    return true;
}

} // namespace zel::genModels
