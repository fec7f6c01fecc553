#include <zel/import/import_inputs.h>

#include <algorithm>

#include <sys/stat.h>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

void addOnce(std::vector<fs::path>& list, const fs::path& p) {
    if (std::find(list.begin(), list.end(), p) == list.end())
        list.push_back(p);
}

} // namespace

importInputs knownInputs(const fs::path& model, const isolationStats& stats, const scene& s,
                         const std::vector<fs::path>& textureFolders) {
    importInputs out;
    out.files = stats.files;
    out.absent = stats.absent;
    // The helper always asks for the model; should it not have, the model is what it is now.
    if (std::none_of(out.files.begin(), out.files.end(),
                     [&](const grantedFile& f) { return f.path == model; })) {
        struct stat st {};
        if (::stat(model.c_str(), &st) == 0)
            out.files.insert(out.files.begin(),
                             {model, static_cast<std::uint64_t>(st.st_dev),
                              static_cast<std::uint64_t>(st.st_ino),
                              static_cast<std::uint64_t>(st.st_size),
                              std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec,
                              std::int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec,
                              static_cast<std::uint64_t>(st.st_blocks) * 512});
    }
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
