// zelgenmodels [--test] OUTDIR: writes the sample models and their note (or, with --test, the
// drawing tests' models and pictures) into OUTDIR (created if missing). Exit 0 on success, 1 when
// a file cannot be written, 2 on bad usage.
#include "sample_models.h"
#include "test_models.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace fs = std::filesystem;
using zel::genModels::sampleFile;

namespace {

constexpr const char* usage = "usage: zelgenmodels [--test] OUTDIR\n"
                              "Writes the project's sample models into OUTDIR; with --test, the\n"
                              "models and pictures the drawing tests use.\n";

// Writes beside the target and renames, so that an interrupted run never leaves a truncated model
// under its real name.
bool writeFile(const fs::path& path, const sampleFile& file, std::string& error) {
    const fs::path temp = fs::path(path).concat(".part");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.bytes.data()),
                  static_cast<std::streamsize>(file.bytes.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            error = "write failed";
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        fs::remove(temp, ec);
        error = ec.message();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(usage, stdout);
        return 0;
    }
    const bool test = argc == 3 && std::string(argv[1]) == "--test";
    if ((argc != 2 && !test) || argv[argc - 1][0] == '\0') {
        std::fputs(usage, stderr);
        return 2;
    }
    const fs::path outDir = argv[argc - 1];

    std::vector<sampleFile> files;
    std::string error;
    if (!(test ? zel::genModels::testFiles(files, error)
               : zel::genModels::sampleFiles(files, error))) {
        std::fprintf(stderr, "zelgenmodels: cannot build the models: %s\n", error.c_str());
        return 1;
    }

    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec || !fs::is_directory(outDir)) {
        std::fprintf(stderr, "zelgenmodels: cannot create folder %s: %s\n", outDir.c_str(),
                     ec ? ec.message().c_str() : "not a folder");
        return 1;
    }
    for (const sampleFile& file : files) {
        const fs::path path = outDir / file.name;
        if (!writeFile(path, file, error)) {
            std::fprintf(stderr, "zelgenmodels: cannot write %s: %s\n", path.c_str(),
                         error.c_str());
            return 1;
        }
        if (file.triangles > 0) {
            std::printf("%-13s %6zu bytes %5zu triangles\n", file.name.c_str(), file.bytes.size(),
                        file.triangles);
        } else {
            std::printf("%-13s %6zu bytes\n", file.name.c_str(), file.bytes.size());
        }
    }
    return 0;
}
