// The helper's side under the sanitizers: a model read by Assimp from memory, converted and
// encoded as the helper sends it (the encoding must decode to a scene); or a picture decoded,
// and downscaled when large, as the helper reads a material's texture.
//
// Input: one byte that picks the kind (a model format below, or a picture), then the file.

#include "assimp_import.h"
#include "texture_files.h"
#include <zel/import/scene_codec.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

namespace imp = zel::import;

// Assimp allocates what a file's counts say. In the helper, an allocation beyond its address-space
// limit throws bad_alloc, which Assimp turns into "out of memory"; the sanitizer's operator new
// reports and ends the process instead, so here one above 2 GiB throws, as the limit would make it.
namespace {
constexpr std::size_t largestAllocation = std::size_t{2} << 30;
void* allocate(std::size_t n) {
    if (n <= largestAllocation)
        if (void* p = std::malloc(n ? n : 1))
            return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t n) {
    return allocate(n);
}
void* operator new[](std::size_t n) {
    return allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return n <= largestAllocation ? std::malloc(n ? n : 1) : nullptr;
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return n <= largestAllocation ? std::malloc(n ? n : 1) : nullptr;
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// The formats the seeds hold (the corpus and the sample models).
constexpr const char* formats[] = {"3ds", "obj", "ply", "stl", "gltf", "glb", "dae", "off", "fbx"};
constexpr std::size_t formatCount = sizeof formats / sizeof formats[0];

void check(bool ok) {
    if (!ok)
        std::abort();
}

std::filesystem::path pictureFolder() {
    static const std::filesystem::path folder = [] {
        char name[] = "/tmp/zel-fuzz-helper-XXXXXX";
        return std::filesystem::path(::mkdtemp(name) ? name : "/tmp");
    }();
    return folder;
}

const imp::textureSource noFiles = [](const std::string&) {
    return std::optional<imp::openedTexture>();
};

void model(const std::uint8_t* data, std::size_t size, const char* hint) {
    Assimp::Importer importer;
    const aiScene* as = importer.ReadFileFromMemory(data, size, imp::assimpImportFlags(), hint);
    if (!as)
        return;
    std::string reason;
    std::optional<imp::scene> s = imp::convertScene(*as, &reason);
    if (!s)
        return;
    // The pictures the file stores itself (no file beside it is looked up).
    imp::loadTextures(*s, noFiles, nullptr, {imp::embeddedPictures(*as), imp::alphaIsOpacity(*as)});
    const std::vector<std::byte> bytes = imp::encode(*s);
    check(imp::decode(bytes).status == imp::decodeStatus::scene);
}

void picture(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path file = pictureFolder() / "picture";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    imp::scene s;
    s.materials.emplace_back().diffuseTexture = "picture";
    imp::loadTextures(s, {pictureFolder()});
    // The same bytes stored in a model, in a buffer of their exact size.
    const std::vector<std::uint8_t> bytes(data, data + size);
    imp::scene stored;
    stored.materials.emplace_back().diffuseTexture = "*0";
    imp::pictureHints hints;
    hints.embedded = [&](const std::string&) {
        return std::optional<imp::embeddedPicture>({"*0", bytes.data(), bytes.size(), 0, 0});
    };
    imp::loadTextures(stored, noFiles, nullptr, hints);
    for (const imp::scene* one : {&s, &stored})
        for (const imp::texture& t : one->textures) {
            check(t.rgba.size() == std::size_t{t.width} * t.height * 4);
            check(t.width >= 1 && t.height >= 1);
            check(std::uint64_t{t.width} * t.height <= imp::maxTexturePixels);
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    try {
        if (data[0] < formatCount)
            model(data + 1, size - 1, formats[data[0]]);
        else
            picture(data + 1, size - 1);
    } catch (const std::exception&) {
        // Assimp's way of failing; the helper turns it into a reason.
    }
    return 0;
}
