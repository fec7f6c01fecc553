#pragma once

// The pictures a model's materials name, decoded by the import helper, inside its sandbox: the
// host's file broker (file_broker.h) looks each name up and hands over the file, and never reads
// it. Each file is read once, however many ways the materials spell it.

#include <zel/import/helper_process.h>
#include <zel/import/imported_scene.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zel::import {

struct textureFile {
    std::filesystem::path path;     // the file, with every symbolic link resolved
    std::filesystem::path relative; // the same beneath the folder it was found in
};

// The image file for a texture as a model file names it (the broker's lookup). Over the folders in
// order: the name as written (backslashes read as folder separators), then its last part; failing
// that, in each folder a file whose name matches the last part ignoring ASCII case (the first in
// byte order when several do). Refused (nothing found): an empty name or one of an image embedded
// in the model ("*0"), an absolute name, a name whose `..` leads out of the folder, a name through
// or of a symbolic link, and a name whose extension is not a picture's (pictureFileTypes). A name
// with a drive letter ("C:\maps\wall.jpg") comes from another machine: only its last part is
// looked up.
std::optional<textureFile> resolveTexture(const std::string& name,
                                          const std::vector<std::filesystem::path>& folders);

// Pictures whose header says they hold more pixels than this are refused before they are decoded
// (the helper would otherwise hold 4 bytes a pixel of them before it downscales).
inline constexpr std::uint64_t maxDecodedPixels = std::uint64_t{64} << 20;

// The largest size of the shape w x h with at most `allowed` pixels, at least one pixel a side
// (w x h itself when it fits; 0 x 0 only when nothing is allowed or w x h is empty).
std::pair<std::uint32_t, std::uint32_t> fittedSize(std::uint32_t w, std::uint32_t h,
                                                   std::uint64_t allowed);

// What loadTextures did beside filling the scene, one line each (for the stats tool and tests).
struct textureNotes {
    std::vector<std::string> lines;
};

// A picture a material names, opened for reading, and its name beneath the folder it lies in.
struct openedTexture {
    base::uniqueFd file;
    std::string name;
};
// Looks a texture name up and opens it; none when it is refused or not there.
using textureSource = std::function<std::optional<openedTexture>(const std::string& name)>;

// The lookup of resolveTexture over folders, in this process (the tools and benchmarks).
textureSource texturesBeneath(const std::vector<std::filesystem::path>& folders);

// A picture stored inside the model file (a glTF binary's, say), as the importer holds it: the
// bytes of an image file (height 0: `size` bytes, decoded like a file beside the model) or width x
// height texels of four bytes each, blue, green, red, alpha, rows from the top (`size` at least
// width * height * 4).
struct embeddedPicture {
    std::string name; // shown for it: the name the material gives, without folders
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The picture stored in the model under a name a material gives, or none (the name is then looked
// up as a file).
using embeddedSource = std::function<std::optional<embeddedPicture>(const std::string& name)>;

// What the model file says of its materials' pictures beyond the names they give.
struct pictureHints {
    embeddedSource embedded; // the pictures stored in the model, or none
    // By material index: the material takes its picture's alpha as its opacity (a glTF alpha mode
    // BLEND or MASK, an OBJ map_d). Every other material shows its picture opaque.
    std::vector<bool> alphaIsOpacity;
};

// Resolves every material's diffuseTexture, first among the pictures stored in the model (when
// hints give them) and then through source, and decodes each distinct picture once into
// s.textures, setting material::texture; a name that is refused, not found or not a readable image
// leaves the material without a picture. A picture of more than maxTexturePixels, or more than what
// is left of maxScenePixels for the model, is downscaled to fit (texture::sourceWidth and
// sourceHeight keep the file's size); one that would get no pixel at all is left out. Only PNG,
// JPEG, TGA and BMP are read, at most 16384 pixels a side and maxDecodedPixels in all.
// texture::hasAlpha is set where a material that shows the picture takes its alpha and some pixel
// is not opaque; a picture shown only by materials that do not arrives opaque, and one shown both
// ways gets an opaque copy for the latter (as long as pixels are left for it).
void loadTextures(scene& s, const textureSource& source, textureNotes* notes = nullptr,
                  const pictureHints& hints = {});
// For a format whose picture stands for the material's colour (3DS): every material that shows a
// picture gets a white diffuse colour, which the renderer multiplies the picture by. Its alpha
// stays.
void picturesReplaceColour(scene& s);

void loadTextures(scene& s, const std::vector<std::filesystem::path>& folders,
                  textureNotes* notes = nullptr);

} // namespace zel::import
