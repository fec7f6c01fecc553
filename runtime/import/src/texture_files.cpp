#include <zel/import/texture_files.h>

#include <zel/import/file_broker.h>
#include <zel/import/scene_codec.h>

#include <stb_image.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <system_error>

#include <sys/stat.h>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

struct image {
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels{nullptr, stbi_image_free};
};

// Reads the file through its descriptor: its header for the size, then the pixels.
std::optional<image> decodeFile(process::fileDescriptor file, std::string& why) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(::fdopen(file.get(), "rb"), std::fclose);
    if (!f) {
        why = "cannot read it";
        return std::nullopt;
    }
    file.release();
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
    im.pixels.reset(stbi_load_from_file(f.get(), &im.width, &im.height, &im.channels, 4));
    if (!im.pixels) {
        why = stbi_failure_reason();
        return std::nullopt;
    }
    return im;
}

// The largest size of the same shape with at most `allowed` pixels (at least one pixel a side).
std::pair<std::uint32_t, std::uint32_t> fitted(std::uint32_t w, std::uint32_t h,
                                               std::uint64_t allowed) {
    if (std::uint64_t{w} * h <= allowed)
        return {w, h};
    const double scale = std::sqrt(double(allowed) / (double(w) * double(h)));
    auto nw = static_cast<std::uint32_t>(std::clamp(std::floor(w * scale), 1.0, double(w)));
    auto nh = static_cast<std::uint32_t>(std::clamp(std::floor(h * scale), 1.0, double(h)));
    nh = static_cast<std::uint32_t>(std::min<std::uint64_t>(nh, allowed / nw));
    nw = static_cast<std::uint32_t>(std::min<std::uint64_t>(nw, allowed / std::max(nh, 1u)));
    return {nw, nh};
}

void note(textureNotes* notes, std::string line) {
    if (notes)
        notes->lines.push_back(std::move(line));
}

} // namespace

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

void loadTextures(scene& s, const std::vector<fs::path>& folders, textureNotes* notes) {
    loadTextures(s, texturesBeneath(folders), notes);
}

void loadTextures(scene& s, const textureSource& source, textureNotes* notes) {
    std::map<std::string, std::uint32_t> byName; // as materials spell them
    // The files read, by device and inode: each is decoded once however it is spelled.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint32_t> byFile;
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
        std::optional<openedTexture> file = source(m.diffuseTexture);
        struct stat st {};
        if (!file || !file->file || ::fstat(file->file.get(), &st) != 0) {
            note(notes, "texture " + m.diffuseTexture + ": not found");
            continue;
        }
        const std::pair<std::uint64_t, std::uint64_t> key{st.st_dev, st.st_ino};
        if (const auto known = byFile.find(key); known != byFile.end()) {
            m.texture = index = known->second;
            continue;
        }
        byFile[key] = noTexture;
        const std::string fileName = file->name;
        std::string why;
        std::optional<image> im = decodeFile(std::move(file->file), why);
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
        t.hasAlpha = im->channels == 2 || im->channels == 4;
        std::tie(t.width, t.height) = fitted(w, h, allowed);
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
        pixels += std::uint64_t{t.width} * t.height;
        m.texture = index = byFile[key] = static_cast<std::uint32_t>(s.textures.size());
        s.textures.push_back(std::move(t));
    }
}

} // namespace zel::import
