// Textures: which names the broker follows for the helper, that each file is decoded once and only
// by the helper, and that large pictures arrive downscaled.

#include "test_support.h"
#include "texture_files.h"
#include <zel/import/isolated_import.h>
#include <zel/import/scene_codec.h>

#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <fstream>
#include <map>
#include <string>

#include <sys/inotify.h>
#include <unistd.h>

namespace zel::import {
namespace {

namespace fs = std::filesystem;
using test::tempDir;
using test::testOptions;

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

// A w x h BMP of one colour: quick to write however large (the decoder tells it by its content,
// whatever its name). Without pixels, only the header that announces them.
void writeBmp(const fs::path& file, std::uint32_t w, std::uint32_t h, std::uint8_t red,
              bool withPixels = true) {
    const std::size_t row = (std::size_t{w} * 3 + 3) / 4 * 4;
    std::string pixels(withPixels ? row * h : 0, '\0');
    for (std::size_t y = 0; y < (withPixels ? h : 0); ++y)
        for (std::size_t x = 0; x < w; ++x)
            pixels[y * row + x * 3 + 2] = static_cast<char>(red); // blue, green, red
    std::string header;
    auto put = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            header.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    header += "BM";
    put(static_cast<std::uint32_t>(54 + row * h), 4);
    put(0, 4);
    put(54, 4);
    put(40, 4);
    put(w, 4);
    put(h, 4);
    put(1, 2);
    put(24, 2);
    put(0, 4);
    put(static_cast<std::uint32_t>(row * h), 4);
    put(2835, 4);
    put(2835, 4);
    put(0, 4);
    put(0, 4);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << header << pixels;
}

// A w x h PNG of one colour.
void writePng(const fs::path& file, int w, int h, std::uint8_t red) {
    fs::create_directories(file.parent_path());
    std::vector<std::uint8_t> pixels(std::size_t(w) * std::size_t(h) * 3, 0);
    for (std::size_t i = 0; i < pixels.size(); i += 3)
        pixels[i] = red;
    ASSERT_TRUE(stbi_write_png(file.c_str(), w, h, 3, pixels.data(), w * 3));
}

TEST(TextureLookup, ExactNamesFirstThenIgnoringCaseAndNeverOutOfTheFolders) {
    tempDir first, second, outside;
    touch(first.path() / "wall.jpg");
    touch(second.path() / "WALL.JPG");
    touch(second.path() / "Roof.jpg");
    touch(first.path() / "ROOF.JPG");
    touch(first.path() / "roof.JPG");
    touch(second.path() / "maps" / "stone.png");
    fs::create_directory(first.path() / "DIR.PNG");
    touch(outside.path() / "secret.png");
    fs::create_symlink(outside.path() / "secret.png", first.path() / "link.png");
    const std::vector<fs::path> folders{first.path(), second.path()};
    struct lookup {
        std::string name;
        fs::path expected; // empty: refused or not found
    };
    const lookup cases[] = {
        {"WALL.JPG",
         second.path() / "WALL.JPG"}, // exact in a later folder beats case in an earlier
        {"wall.jpg", first.path() / "wall.jpg"},
        {"Wall.Jpg", first.path() / "wall.jpg"}, // ignoring case, folders in order
        {"roof.jpg", first.path() / "ROOF.JPG"}, // several matches: the first in byte order
        {"maps\\stone.png", second.path() / "maps/stone.png"},
        {"maps/../wall.jpg", first.path() / "wall.jpg"},        // `..` that stays inside
        {"C:\\textures\\WALL.JPG", second.path() / "WALL.JPG"}, // only the last part is looked up
        {(outside.path() / "secret.png").string(), {}},         // absolute
        {(first.path() / "wall.jpg").string(), {}},             // absolute, even inside
        {"../" + outside.path().filename().string() + "/secret.png", {}}, // `..` leading out
        {"maps/../../wall.jpg", {}},
        {"link.png", {}}, // a link leading out
        {"dir.png", {}},  // folders are not images
        {"missing.jpg", {}},
        {"*0", {}}, // embedded in the model file
        {"", {}},
    };
    for (const lookup& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<textureFile> found = resolveTexture(c.name, folders);
        if (c.expected.empty()) {
            EXPECT_FALSE(found) << found->path;
        } else {
            ASSERT_TRUE(found);
            EXPECT_EQ(found->path, fs::canonical(c.expected));
        }
    }
}

// Counts the opens of files in a folder, by any process, while it lives.
class openCounter {
public:
    explicit openCounter(const fs::path& folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0)
            ::inotify_add_watch(fd_, folder.c_str(), IN_OPEN);
    }
    ~openCounter() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Opens since the last call, by file name.
    std::map<std::string, int> take() {
        std::map<std::string, int> opens;
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return opens;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                if (e->len > 0 && !(e->mask & IN_ISDIR))
                    ++opens[e->name];
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    int fd_;
};

// One triangle per material, so that every material is used.
std::string objUsing(const std::vector<std::string>& materials) {
    std::string obj = "mtllib model.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n";
    for (const std::string& m : materials)
        obj += "usemtl " + m + "\nf 1/1 2/2 3/3\n";
    return obj;
}

std::string mtlNaming(const std::vector<std::pair<std::string, std::string>>& materials) {
    std::string mtl;
    for (const auto& [name, texture] : materials)
        mtl += "newmtl " + name + "\nKd 1 1 1\nmap_Kd " + texture + "\n";
    return mtl;
}

TEST(TextureImport, OneFileNamedThreeWaysIsReadOnceByTheHelperAndNothingOutside) {
    tempDir models, outside;
    writePng(models.path() / "pic.png", 4, 2, 200);
    writePng(outside.path() / "secret.png", 2, 2, 50);
    fs::create_directory(models.path() / "sub");
    const std::vector<std::pair<std::string, std::string>> named = {
        {"plain", "pic.png"},
        {"dotted", "./sub/../pic.png"},
        {"shouting", "PIC.PNG"},
        {"absolute", (outside.path() / "secret.png").string()},
        {"escaping", "../" + outside.path().filename().string() + "/secret.png"},
    };
    models.write("model.mtl", mtlNaming(named));
    const fs::path file = models.write(
        "model.obj", objUsing({"plain", "dotted", "shouting", "absolute", "escaping"}));
    openCounter here(models.path()), there(outside.path());
    ASSERT_TRUE(here.ok() && there.ok());
    here.take();

    std::string reason;
    const std::optional<scene> s = importIsolated(file, testOptions(), &reason);
    ASSERT_TRUE(s) << reason;
    ASSERT_EQ(s->textures.size(), 1u);
    EXPECT_EQ(s->textures[0].name, "pic.png");
    EXPECT_EQ(s->textures[0].width, 4u);
    EXPECT_EQ(s->textures[0].height, 2u);
    EXPECT_EQ(s->textures[0].rgba[0], 200);
    std::map<std::string, std::uint32_t> byMaterial;
    for (const material& m : s->materials)
        byMaterial[m.name] = m.texture;
    EXPECT_EQ(byMaterial["plain"], 0u);
    EXPECT_EQ(byMaterial["dotted"], 0u);
    EXPECT_EQ(byMaterial["shouting"], 0u);
    EXPECT_EQ(byMaterial["absolute"], noTexture);
    EXPECT_EQ(byMaterial["escaping"], noTexture);

    // The broker opened the picture for the helper, at most once a spelling (the helper decoded it
    // once), and nobody opened the other one.
    const std::map<std::string, int> opens = here.take();
    EXPECT_GE(opens.count("pic.png") ? opens.at("pic.png") : 0, 1);
    EXPECT_LE(opens.count("pic.png") ? opens.at("pic.png") : 0, 3);
    EXPECT_TRUE(there.take().empty());
}

// Pictures above the caps arrive downscaled, so what the host receives stays bounded however large
// the files are.
TEST(TextureImport, LargePicturesArriveDownscaledWithinTheCaps) {
    tempDir models;
    std::vector<std::pair<std::string, std::string>> named;
    std::vector<std::string> used;
    // 3000 x 2000 is above the cap for one picture; five of 2048 x 2048 exceed the model's.
    writeBmp(models.path() / "wide.png", 3000, 2000, 10);
    named.emplace_back("wide", "wide.png");
    used.push_back("wide");
    for (int i = 0; i < 5; ++i) {
        const std::string name = "big" + std::to_string(i);
        writeBmp(models.path() / (name + ".png"), 2048, 2048, static_cast<std::uint8_t>(20 + i));
        named.emplace_back(name, name + ".png");
        used.push_back(name);
    }
    models.write("model.mtl", mtlNaming(named));
    const fs::path file = models.write("model.obj", objUsing(used));

    std::string reason;
    const std::optional<scene> s = importIsolated(file, testOptions(), &reason);
    ASSERT_TRUE(s) << reason;
    ASSERT_FALSE(s->textures.empty());
    const texture& wide = s->textures[0];
    EXPECT_EQ(wide.sourceWidth, 3000u);
    EXPECT_EQ(wide.sourceHeight, 2000u);
    EXPECT_TRUE(wide.downscaled());
    EXPECT_LE(std::uint64_t{wide.width} * wide.height, maxTexturePixels);
    EXPECT_NEAR(double(wide.width) / wide.height, 1.5, 0.01);
    EXPECT_EQ(wide.rgba[0], 10);
    std::uint64_t pixels = 0;
    for (const texture& t : s->textures) {
        EXPECT_EQ(t.rgba.size(), std::size_t{t.width} * t.height * 4);
        pixels += std::uint64_t{t.width} * t.height;
    }
    EXPECT_LE(pixels, maxScenePixels);
    // The last pictures got what was left of the model's share, or were left out.
    EXPECT_TRUE(s->textures.size() < 6 || s->textures.back().downscaled());
}

// A w x h JPEG of one colour.
std::string jpeg(int w, int h) {
    std::vector<std::uint8_t> pixels(std::size_t(w) * std::size_t(h) * 3, 120);
    std::string out;
    stbi_write_jpg_to_func(
        [](void* to, void* data, int n) {
            static_cast<std::string*>(to)->append(static_cast<const char*>(data), std::size_t(n));
        },
        &out, w, h, 3, pixels.data(), 90);
    return out;
}

// Which pictures the helper decodes: the formats models use, and nothing whose header announces
// more than maxDecodedPixels (refused before its pixels are read: the file below holds none) or
// a side beyond 16384 pixels, or a JPEG Huffman table larger than the decoder's (which it would
// write past).
TEST(TextureImport, OnlyModelFormatsWithinThePixelCapAreDecoded) {
    tempDir models;
    writeBmp(models.path() / "small.bmp", 3, 2, 90);
    writePng(models.path() / "small.png", 2, 2, 80);
    std::string picture = jpeg(4, 2);
    models.write("small.jpg", picture);
    // The first table's count of 16-bit codes, raised so that its codes number more than 256.
    const std::size_t tables = picture.find("\xff\xc4");
    ASSERT_NE(tables, std::string::npos);
    picture[tables + 4 + 1 + 15] = '\xff';
    picture[tables + 4 + 1 + 14] = '\xff';
    models.write("tables.jpg", picture);
    writeBmp(models.path() / "huge.bmp", 9000, 8000, 0, false);
    writeBmp(models.path() / "long.bmp", 20000, 2, 0, false);
    models.write("tiny.gif", std::string("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00"
                                         "\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
                                         "D\x01\x00;",
                                         35));
    models.write("tiny.ppm", std::string("P6\n1 1\n255\n\xff\x00\x00", 14));
    struct row {
        const char* file;
        std::uint32_t width; // 0: not decoded
        const char* note;    // what the note on it says
    };
    const std::vector<row> rows = {
        {"small.bmp", 3, ""},
        {"small.png", 2, ""},
        {"small.jpg", 4, ""},
        {"tables.jpg", 0, "more than 256 codes"},
        {"huge.bmp", 0, "9000x8000 pixels, more than 64 Mi"},
        {"long.bmp", 0, "long.bmp: "},
        {"tiny.gif", 0, "tiny.gif: "},
        {"tiny.ppm", 0, "tiny.ppm: "},
    };
    scene s;
    for (const row& r : rows)
        s.materials.emplace_back().diffuseTexture = r.file;
    textureNotes notes;
    loadTextures(s, {models.path()}, &notes);
    std::string allNotes;
    for (const std::string& line : notes.lines)
        allNotes += line + "\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].file);
        const std::uint32_t index = s.materials[i].texture;
        if (rows[i].width == 0) {
            EXPECT_EQ(index, noTexture);
            EXPECT_NE(allNotes.find(rows[i].note), std::string::npos) << allNotes;
        } else {
            ASSERT_LT(index, s.textures.size());
            EXPECT_EQ(s.textures[index].width, rows[i].width);
        }
    }
}

// A picture's alpha reaches only the materials that take it as their opacity; materials that do
// not see it opaque, in a copy of their own when the two kinds share a picture.
TEST(TextureImport, APicturesAlphaReachesOnlyTheMaterialsThatAskForIt) {
    tempDir models;
    auto write = [&](const char* name, std::uint8_t alpha) {
        const std::vector<std::uint8_t> rgba(2 * 2 * 4, alpha);
        ASSERT_TRUE(stbi_write_png((models.path() / name).c_str(), 2, 2, 4, rgba.data(), 8));
    };
    write("shared.png", 128);
    write("solid.png", 255);
    write("plain.png", 128);
    const struct {
        const char* file;
        bool asks;
        std::uint8_t alpha; // of the picture the material shows
        bool hasAlpha;
    } rows[] = {
        {"shared.png", true, 128, true},   {"shared.png", false, 255, false},
        {"shared.png", false, 255, false}, {"solid.png", true, 255, false},
        {"plain.png", false, 255, false},
    };
    scene s;
    pictureHints hints;
    for (const auto& r : rows) {
        s.materials.emplace_back().diffuseTexture = r.file;
        hints.alphaIsOpacity.push_back(r.asks);
    }
    loadTextures(s, texturesBeneath({models.path()}), nullptr, hints);
    // Three files, and one opaque copy of the shared one.
    EXPECT_EQ(s.textures.size(), 4u);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        ASSERT_LT(s.materials[i].texture, s.textures.size());
        const texture& t = s.textures[s.materials[i].texture];
        EXPECT_EQ(t.rgba[3], rows[i].alpha);
        EXPECT_EQ(t.hasAlpha, rows[i].hasAlpha);
    }
    EXPECT_EQ(s.materials[1].texture, s.materials[2].texture);
}

// Pictures stored in the model are held to the limits of files: an image file's bytes go through
// the same decoder checks, and texels are bounded by the bytes that back them.
TEST(TextureImport, PicturesStoredInTheModelAreCheckedLikeFiles) {
    std::string png;
    const std::uint8_t pixel[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    stbi_write_png_to_func(
        [](void* to, void* data, int n) {
            static_cast<std::string*>(to)->append(static_cast<const char*>(data), std::size_t(n));
        },
        &png, 2, 1, 4, pixel, 8);
    std::string wide = png; // the same file claiming 20000 pixels a row (IHDR width, big-endian)
    wide[16] = 0, wide[17] = 0, wide[18] = 0x4e, wide[19] = 0x20;
    const std::vector<std::uint8_t> texels = {1, 2, 3, 4, 5, 6, 7, 8}; // blue, green, red, alpha
    struct row {
        const char* name;
        embeddedPicture picture;
        std::uint32_t width; // 0: refused
    };
    auto file = [](const std::string& bytes) {
        return embeddedPicture{"", reinterpret_cast<const std::uint8_t*>(bytes.data()),
                               bytes.size(), 0, 0};
    };
    const std::vector<row> rows = {
        {"an image file", file(png), 2},
        {"an image file cut short", file(png.substr(0, 40)), 0},
        {"an image file too wide", file(wide), 0},
        {"no bytes", {"", texels.data(), 0, 0, 0}, 0},
        {"texels", {"", texels.data(), 8, 2, 1}, 2},
        {"more texels than bytes", {"", texels.data(), 8, 2, 2}, 0},
        {"texels too wide", {"", texels.data(), 8, 1u << 15, 1}, 0},
        {"texels of too many pixels", {"", texels.data(), 8, 1u << 14, 1u << 13}, 0},
        {"no texels a row", {"", texels.data(), 8, 0, 1}, 0},
    };
    scene s;
    for (const row& r : rows)
        s.materials.emplace_back().diffuseTexture = r.name;
    pictureHints hints;
    hints.embedded = [&](const std::string& name) -> std::optional<embeddedPicture> {
        for (const row& r : rows)
            if (name == r.name)
                return r.picture;
        return std::nullopt;
    };
    const std::vector<fs::path> nowhere;
    loadTextures(s, texturesBeneath(nowhere), nullptr, hints);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        const std::uint32_t index = s.materials[i].texture;
        if (rows[i].width == 0) {
            EXPECT_EQ(index, noTexture);
            continue;
        }
        ASSERT_LT(index, s.textures.size());
        const texture& t = s.textures[index];
        EXPECT_EQ(t.width, rows[i].width);
        // Texels arrive as red, green, blue, alpha.
        if (i == 4) {
            EXPECT_EQ(t.rgba, (std::vector<std::uint8_t>{3, 2, 1, 255, 7, 6, 5, 255}));
        }
    }
}

// The size a picture is downscaled to keeps its shape within the pixels allowed, and never loses a
// side: a picture one pixel high stays one pixel high.
TEST(TextureImport, FittedSizeKeepsEverySideAtLeastOnePixel) {
    struct row {
        std::uint32_t w, h;
        std::uint64_t allowed;
        std::uint32_t fittedW, fittedH; // 0: only the bounds are checked
    };
    const std::vector<row> rows = {
        {5'000'000, 1, maxTexturePixels, 4'194'304, 1},
        {1, 5'000'000, maxTexturePixels, 1, 4'194'304},
        {60'000, 1, 30'000, 30'000, 1},
        {60'000, 2, 30'000, 0, 0},
        {2048, 2048, maxTexturePixels, 2048, 2048},
        {7, 7, 1, 1, 1},
        {3000, 2000, maxTexturePixels, 0, 0},
        {65'536, 1024, 100, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.w) + "x" + std::to_string(r.h) + " in " +
                     std::to_string(r.allowed));
        const auto [w, h] = fittedSize(r.w, r.h, r.allowed);
        EXPECT_GE(w, 1u);
        EXPECT_GE(h, 1u);
        EXPECT_LE(w, r.w);
        EXPECT_LE(h, r.h);
        EXPECT_LE(std::uint64_t{w} * h, r.allowed);
        if (r.fittedW != 0) {
            EXPECT_EQ(w, r.fittedW);
            EXPECT_EQ(h, r.fittedH);
        }
    }
}

} // namespace
} // namespace zel::import
