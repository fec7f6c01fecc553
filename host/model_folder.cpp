#include "model_folder.h"

#include <zel/xstd.h>

#include <filesystem>
#include <ostream>

#ifndef ZEL_SAMPLE_MODELS_DIR
#define ZEL_SAMPLE_MODELS_DIR ""
#endif

namespace zel::host {

namespace fs = std::filesystem;

namespace {

fs::path executableFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

} // namespace

std::string defaultModelFolder() {
    std::error_code ec;
    // An installed zelhost uses the models installed with it; a build uses the source tree's.
    fs::path exeFolder = executableFolder();
    if (!exeFolder.empty()) {
        fs::path installed = exeFolder / ".." / "share" / "propplacer" / "models";
        if (fs::is_directory(installed, ec))
            return installed.lexically_normal().string();
    }
    fs::path compiled(ZEL_SAMPLE_MODELS_DIR);
    if (!compiled.empty() && fs::is_directory(compiled, ec))
        return compiled.string();
    return {};
}

wstring modelFolderFor(const hostOptions& options, std::ostream& err) {
    std::string models = options.models;
    if (models.empty()) {
        models = defaultModelFolder();
        if (models.empty()) {
            err << "zelhost: no sample models found (looked in " << ZEL_SAMPLE_MODELS_DIR
                << " and <zelhost>/../share/propplacer/models); give --models DIR\n";
            models = ZEL_SAMPLE_MODELS_DIR;
        }
    }
    std::error_code ec;
    fs::path absoluteModels = fs::absolute(fs::path(models), ec);
    wstring modelFolder =
        xstd::fromUtf8((ec ? fs::path(models) : absoluteModels.lexically_normal()).string());
    // A trailing separator would make the folder name differ from the one the user sees.
    while (modelFolder.size() > 1 && modelFolder.back() == u'/')
        modelFolder.pop_back();
    return modelFolder;
}

} // namespace zel::host
