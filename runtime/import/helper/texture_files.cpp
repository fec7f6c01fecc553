#include "texture_files.h"

#include <zel/import/file_broker.h>
#include <zel/import/scene_codec.h>

// stb_image is compiled here, from Debian's header, with only the formats models use and private
// to this file: whatever else links libstb, the helper decodes PNG, JPEG, TGA and BMP and nothing
// more.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_TGA
#define STBI_ONLY_BMP
// A side beyond a graphics card's largest texture is refused: downscaling costs stb_image_resize
// time in the square of a side (a 128 x 65294 picture of 3 KB took minutes).
#define STBI_MAX_DIMENSIONS (1 << 14)
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <system_error>
#include <tuple>

#include <sys/stat.h>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

// Stored texels are held to the decoder's limit for files.
constexpr std::uint32_t maxImageSide = STBI_MAX_DIMENSIONS;

struct image {
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels{nullptr, stbi_image_free};
};

// False when f is a JPEG with a Huffman table (DHT) of more than 256 codes. This stb_image (2.27)
// takes the counts as they come and writes past its tables for such a file, in reading the header
// already; the walk follows the markers as it does (skipping what lies between them, the scans'
// data included) and leaves f at its start.
bool jpegTablesFit(FILE* f) {
    auto get = [f] {
        const int c = std::getc(f);
        return c == EOF ? 0 : c; // stb_image reads zeros past the end too
    };
    bool fits = true;
    if (std::getc(f) == 0xFF && std::getc(f) == 0xD8) {
        for (int c; fits && (c = std::getc(f)) != EOF;) {
            if (c != 0xFF)
                continue; // a scan's data, or bytes between markers
            int m = 0xFF;
            while (m == 0xFF && (m = std::getc(f)) != EOF) {
            }
            // EOF, a stuffed zero, restart markers, TEM and SOI carry no length.
            if (m == EOF || m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD8))
                continue;
            if (m == 0xD9)
                break; // end of image
            const int hi = get();
            long length = long(hi << 8 | get()) - 2;
            if (m != 0xC4) {
                if (length > 0)
                    std::fseek(f, length, SEEK_CUR);
                continue;
            }
            while (fits && length > 0 && !std::feof(f)) {
                get(); // class and table number
                long codes = 0;
                for (int i = 0; i < 16; ++i)
                    codes += get();
                fits = codes <= 256;
                std::fseek(f, codes, SEEK_CUR);
                length -= 17 + codes;
            }
        }
    }
    std::rewind(f);
    return fits;
}

using stream = std::unique_ptr<FILE, int (*)(FILE*)>;

// Reads an image file: its header for the size, then the pixels.
std::optional<image> decodeStream(const stream& f, std::string& why) {
    if (!f) {
        why = "cannot read it";
        return std::nullopt;
    }
    if (!jpegTablesFit(f.get())) {
        why = "a JPEG Huffman table of more than 256 codes";
        return std::nullopt;
    }
    image im;
    if (!stbi_info_from_file(f.get(), &im.width, &im.height, &im.channels)) {
        why = stbi_failure_reason();
        return std::nullopt;
    }
    if (im.width <= 0 || im.height <= 0 || static_cast<std::uint32_t>(im.width) > maxTextureSide ||
        static_cast<std::uint32_t>(im.height) > maxTextureSide) {
        why = "image size out of range";
        return std::nullopt;
    }
    // Refused from the header, before a byte of pixels is decoded.
    if (std::uint64_t{static_cast<std::uint32_t>(im.width)} *
            static_cast<std::uint32_t>(im.height) >
        maxDecodedPixels) {
        why = "a picture of " + std::to_string(im.width) + "x" + std::to_string(im.height) +
              " pixels, more than " + std::to_string(maxDecodedPixels >> 20) +
              " Mi pixels are read";
        return std::nullopt;
    }
    im.pixels.reset(stbi_load_from_file(f.get(), &im.width, &im.height, &im.channels, 4));
    if (!im.pixels) {
        why = stbi_failure_reason();
        return std::nullopt;
    }
    return im;
}

std::optional<image> decodeFile(base::uniqueFd file, std::string& why) {
    stream f(::fdopen(file.get(), "rb"), std::fclose);
    if (f)
        file.release();
    return decodeStream(f, why);
}

// A picture stored in the model: an image file's bytes go through the same checks as a file's;
// texels are taken as they are, within the same limits.
std::optional<image> decodeEmbedded(const embeddedPicture& p, std::string& why) {
    if (!p.bytes || p.size == 0) {
        why = "no bytes";
        return std::nullopt;
    }
    if (p.height == 0) {
        // fmemopen only reads: the bytes are not written through it.
        return decodeStream(
            stream(::fmemopen(const_cast<std::uint8_t*>(p.bytes), p.size, "rb"), std::fclose), why);
    }
    const std::uint64_t pixels = std::uint64_t{p.width} * p.height;
    if (p.width == 0 || p.width > maxImageSide || p.height > maxImageSide ||
        pixels > maxDecodedPixels || p.size / 4 < pixels) {
        why = "stored texels out of range";
        return std::nullopt;
    }
    image im;
    im.width = static_cast<int>(p.width);
    im.height = static_cast<int>(p.height);
    im.channels = 4;
    im.pixels = {static_cast<stbi_uc*>(std::malloc(pixels * 4)), std::free};
    if (!im.pixels) {
        why = "out of memory";
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < pixels; ++i) {
        const std::uint8_t* bgra = p.bytes + i * 4;
        stbi_uc* rgba = im.pixels.get() + i * 4;
        rgba[0] = bgra[2];
        rgba[1] = bgra[1];
        rgba[2] = bgra[0];
        rgba[3] = bgra[3];
    }
    return im;
}

void note(textureNotes* notes, std::string line) {
    if (notes)
        notes->lines.push_back(std::move(line));
}

// A picture's alpha counts only for the materials that ask for it: the others see it opaque, in a
// copy of its own when materials disagree, as long as the model has pixels left for one.
void settleAlpha(scene& s, const std::vector<bool>& asks, std::uint64_t pixels,
                 textureNotes* notes) {
    const auto decoded = static_cast<std::uint32_t>(s.textures.size());
    auto wants = [&](std::size_t m) { return m < asks.size() && asks[m]; };
    std::vector<std::uint8_t> shown(decoded, 0); // 1: with its alpha, 2: opaque, 3: both
    for (std::size_t i = 0; i < s.materials.size(); ++i)
        if (s.materials[i].texture < decoded)
            shown[s.materials[i].texture] |= wants(i) ? 1 : 2;
    auto opaque = [](texture& t) {
        for (std::size_t i = 3; i < t.rgba.size(); i += 4)
            t.rgba[i] = 255;
        t.hasAlpha = false;
    };
    for (std::uint32_t k = 0; k < decoded; ++k) {
        if (!s.textures[k].hasAlpha || shown[k] == 1)
            continue;
        if (shown[k] != 3) {
            opaque(s.textures[k]);
            continue;
        }
        const std::uint64_t size = std::uint64_t{s.textures[k].width} * s.textures[k].height;
        if (maxScenePixels - pixels < size) {
            note(notes, "texture " + s.textures[k].name +
                            ": no pixels left for an opaque copy, shown with its alpha everywhere");
            continue;
        }
        texture copy = s.textures[k];
        opaque(copy);
        pixels += size;
        const auto index = static_cast<std::uint32_t>(s.textures.size());
        s.textures.push_back(std::move(copy));
        for (std::size_t i = 0; i < s.materials.size(); ++i)
            if (s.materials[i].texture == k && !wants(i))
                s.materials[i].texture = index;
    }
}

} // namespace

std::pair<std::uint32_t, std::uint32_t> fittedSize(std::uint32_t w, std::uint32_t h,
                                                   std::uint64_t allowed) {
    if (std::uint64_t{w} * h <= allowed)
        return {w, h};
    if (w == 0 || h == 0 || allowed == 0)
        return {0, 0};
    const double scale = std::sqrt(double(allowed) / (double(w) * double(h)));
    auto nw = static_cast<std::uint32_t>(std::clamp(std::floor(w * scale), 1.0, double(w)));
    auto nh = static_cast<std::uint32_t>(std::clamp(std::floor(h * scale), 1.0, double(h)));
    // A side that rounds below one pixel stays one, and the other gives way: both sides stay at
    // least 1 (nh is at most allowed / nw, which is at least 1, so nw keeps at least 1 too).
    nh = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(nh, std::max<std::uint64_t>(1, allowed / nw)));
    nw = static_cast<std::uint32_t>(std::min<std::uint64_t>(nw, allowed / nh));
    return {nw, nh};
}

std::optional<textureFile> resolveTexture(const std::string& name,
                                          const std::vector<fs::path>& folders) {
    fileBroker broker({}, folders, {});
    const brokerAnswer a = broker.answer(brokerAsk::texture, name);
    if (a.error != 0 || broker.granted().empty())
        return std::nullopt;
    return textureFile{broker.granted().back().path, a.name};
}

textureSource texturesBeneath(const std::vector<fs::path>& folders) {
    auto broker = std::make_shared<fileBroker>(fs::path{}, folders, fs::path{});
    return [broker](const std::string& name) -> std::optional<openedTexture> {
        brokerAnswer a = broker->answer(brokerAsk::texture, name);
        if (a.error != 0)
            return std::nullopt;
        return openedTexture{std::move(a.file), std::move(a.name)};
    };
}

void picturesReplaceColour(scene& s) {
    for (material& m : s.materials)
        if (m.texture < s.textures.size())
            m.diffuse[0] = m.diffuse[1] = m.diffuse[2] = 1.0f;
}

void loadTextures(scene& s, const std::vector<fs::path>& folders, textureNotes* notes) {
    loadTextures(s, texturesBeneath(folders), notes);
}

void loadTextures(scene& s, const textureSource& source, textureNotes* notes,
                  const pictureHints& hints) {
    const embeddedSource& embedded = hints.embedded;
    std::map<std::string, std::uint32_t> byName; // as materials spell them
    // The files read, by device and inode: each is decoded once however it is spelled.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> byFile;
    // The pictures stored in the model, by their bytes and shape.
    std::map<std::tuple<const std::uint8_t*, std::size_t, std::uint32_t, std::uint32_t>,
             std::uint32_t>
        byBytes;
    std::uint64_t pixels = 0;
    for (material& m : s.materials) {
        m.texture = noTexture;
        if (m.diffuseTexture.empty())
            continue;
        if (const auto known = byName.find(m.diffuseTexture); known != byName.end()) {
            m.texture = known->second;
            continue;
        }
        std::uint32_t& index = byName[m.diffuseTexture] = noTexture;
        std::uint32_t* decoded = nullptr; // where the picture's index is kept for the next name
        std::string fileName, why;
        std::optional<image> im;
        if (std::optional<embeddedPicture> stored =
                embedded ? embedded(m.diffuseTexture) : std::nullopt) {
            const auto [known, added] = byBytes.try_emplace(
                {stored->bytes, stored->size, stored->width, stored->height}, noTexture);
            if (!added) {
                m.texture = index = known->second;
                continue;
            }
            decoded = &known->second;
            fileName = stored->name;
            im = decodeEmbedded(*stored, why);
        } else {
            std::optional<openedTexture> file = source(m.diffuseTexture);
            struct stat st {};
            if (!file || !file->file || ::fstat(file->file.get(), &st) != 0) {
                note(notes, "texture " + m.diffuseTexture + ": not found");
                continue;
            }
            const auto [known, added] = byFile.try_emplace({st.st_dev, st.st_ino}, noTexture);
            if (!added) {
                m.texture = index = known->second;
                continue;
            }
            decoded = &known->second;
            fileName = file->name;
            im = decodeFile(std::move(file->file), why);
        }
        if (!im) {
            note(notes, "texture " + fileName + ": " + why);
            continue;
        }
        const auto w = static_cast<std::uint32_t>(im->width);
        const auto h = static_cast<std::uint32_t>(im->height);
        const std::uint64_t allowed = std::min(maxTexturePixels, maxScenePixels - pixels);
        if (allowed == 0) {
            note(notes, "texture " + fileName + ": left out, the model's pictures " +
                            "hold the most pixels allowed");
            continue;
        }
        texture t;
        t.name = fileName;
        t.sourceWidth = w;
        t.sourceHeight = h;
        std::tie(t.width, t.height) = fittedSize(w, h, allowed);
        t.rgba.resize(std::size_t{t.width} * t.height * 4);
        if (t.downscaled()) {
            if (!stbir_resize_uint8(im->pixels.get(), im->width, im->height, 0, t.rgba.data(),
                                    static_cast<int>(t.width), static_cast<int>(t.height), 0, 4)) {
                note(notes, "texture " + t.name + ": cannot downscale it");
                continue;
            }
            note(notes, "texture " + t.name + ": downscaled from " + std::to_string(w) + "x" +
                            std::to_string(h) + " to " + std::to_string(t.width) + "x" +
                            std::to_string(t.height) + " pixels");
        } else {
            std::copy_n(im->pixels.get(), t.rgba.size(), t.rgba.data());
        }
        // Files with an alpha channel often fill it with opaque pixels: those draw opaque.
        for (std::size_t i = 3; i < t.rgba.size() && !t.hasAlpha; i += 4)
            t.hasAlpha = t.rgba[i] != 255;
        pixels += std::uint64_t{t.width} * t.height;
        m.texture = index = *decoded = static_cast<std::uint32_t>(s.textures.size());
        s.textures.push_back(std::move(t));
    }
    settleAlpha(s, hints.alphaIsOpacity, pixels, notes);
}

} // namespace zel::import
