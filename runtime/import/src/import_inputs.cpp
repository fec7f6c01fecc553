#include <zel/import/import_inputs.h>

#include <algorithm>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

void addOnce(std::vector<fs::path>& list, const fs::path& p) {
    if (std::find(list.begin(), list.end(), p) == list.end())
        list.push_back(p);
}

} // namespace

importInputs knownInputs(const fs::path& model, const std::vector<grantedFile>& granted,
                         const scene& s, const std::vector<fs::path>& textureFolders) {
    importInputs out;
    out.files.push_back(model);
    for (const grantedFile& f : granted)
        addOnce(out.files, f.path);
    const fs::path folder = model.parent_path();
    std::error_code ec;
    std::vector<fs::path> searched;
    for (const fs::path& f : textureFolders) {
        const fs::path real = fs::weakly_canonical(fs::absolute(f, ec), ec);
        if (!ec && real != folder)
            addOnce(searched, real);
    }
    searched.push_back(folder);
    const bool missing = std::any_of(s.materials.begin(), s.materials.end(), [](const material& m) {
        return m.texture == noTexture && !m.diffuseTexture.empty() && m.diffuseTexture[0] != '*';
    });
    if (missing)
        out.listedFolders = searched;
    return out;
}

} // namespace zel::import
