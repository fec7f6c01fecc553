#include <zel/import/import_inputs.h>

#include <algorithm>
#include <string_view>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isSideFile(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), asciiLower);
    return ext == ".mtl" || ext == ".bin";
}

void addOnce(std::vector<fs::path>& list, const fs::path& p) {
    if (std::find(list.begin(), list.end(), p) == list.end())
        list.push_back(p);
}

} // namespace

importInputs knownInputs(const fs::path& model, const scene& s,
                         const std::vector<fs::path>& textureFolders) {
    importInputs out;
    out.files.push_back(model);
    const fs::path folder = model.parent_path();
    std::error_code ec;
    // A bounded look at the model's folder.
    constexpr int maxLooked = 4096, maxCompanions = 64;
    int looked = 0, companions = 0;
    for (fs::directory_iterator it(folder, ec), end;
         !ec && it != end && looked < maxLooked && companions < maxCompanions;
         it.increment(ec), ++looked) {
        const fs::path& p = it->path();
        if (p.filename() == model.filename() || !it->is_regular_file(ec))
            continue;
        if ((p.stem() == model.stem() && !p.stem().empty()) || isSideFile(p)) {
            addOnce(out.files, p);
            ++companions;
        }
    }
    std::vector<fs::path> searched;
    for (const fs::path& f : textureFolders) {
        const fs::path real = fs::weakly_canonical(fs::absolute(f, ec), ec);
        if (!ec && real != folder)
            addOnce(searched, real);
    }
    searched.push_back(folder);
    // Each picture from the first folder that holds a file of its name: where the helper's lookup,
    // which goes over the folders in the same order, found it.
    for (const texture& t : s.textures) {
        for (const fs::path& f : searched) {
            const fs::path candidate = f / t.name;
            if (fs::is_regular_file(candidate, ec)) {
                addOnce(out.files, fs::canonical(candidate, ec));
                break;
            }
        }
    }
    const bool missing = std::any_of(s.materials.begin(), s.materials.end(), [](const material& m) {
        return m.texture == noTexture && !m.diffuseTexture.empty() && m.diffuseTexture[0] != '*';
    });
    if (missing)
        out.listedFolders = searched;
    return out;
}

} // namespace zel::import
