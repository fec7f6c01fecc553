// zelimport_mutate: the long mutation run. Damages model files in deterministic ways
// (mutations.h) and reads each through the isolated import, then reports what happened.
//
//   zelimport_mutate [--per-file N] [--seed S] [--deadline SECONDS] [--keep DIR] [--seeds]
//                    [FILE|DIR]...
//
// Without paths it takes every .3ds file of the corpus (folders give their .3ds files). --seeds
// adds small PLY (text and binary), DirectX and Collada files written here: the formats whose
// readers crash and hang on damaged input. --keep saves each file whose import crashed or timed
// out, for reproduction.

#include "mutations.h"
#include <zel/import/isolated_import.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
namespace imp = zel::import;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::vector<fs::path> inputs(const std::vector<std::string>& args) {
    std::vector<fs::path> files;
    auto add = [&](const fs::path& p) {
        if (fs::is_directory(p)) {
            for (const auto& e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file() && lower(e.path().extension().string()) == ".3ds")
                    files.push_back(e.path());
        } else {
            files.push_back(p);
        }
    };
    if (args.empty())
        add(ZEL_CORPUS_DIR);
    for (const std::string& a : args)
        add(a);
    std::sort(files.begin(), files.end());
    // The generated benchmark files take a second each and add nothing the small ones do not.
    std::erase_if(files,
                  [](const fs::path& f) { return fs::file_size(f) > (std::uintmax_t{1} << 20); });
    return files;
}

// Seeds in the formats the corpus lacks, each a cube or a triangle.
std::vector<std::pair<std::string, std::string>> builtinSeeds() {
    std::string plyText = "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\n"
                          "property float y\nproperty float z\nelement face 6\n"
                          "property list uchar int vertex_indices\nend_header\n";
    const float corners[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                 {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    const int faces[6][4] = {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 5, 4},
                             {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}};
    std::string plyBinary = plyText;
    plyBinary.replace(plyBinary.find("ascii"), 5, "binary_little_endian");
    for (const auto& c : corners) {
        plyText += std::to_string(int(c[0])) + " " + std::to_string(int(c[1])) + " " +
                   std::to_string(int(c[2])) + "\n";
        plyBinary.append(reinterpret_cast<const char*>(c), sizeof c);
    }
    for (const auto& f : faces) {
        plyText += "4 " + std::to_string(f[0]) + " " + std::to_string(f[1]) + " " +
                   std::to_string(f[2]) + " " + std::to_string(f[3]) + "\n";
        plyBinary.push_back(4);
        plyBinary.append(reinterpret_cast<const char*>(f), sizeof f);
    }
    const std::string x =
        "xof 0302txt 0064\nFrame Root {\n FrameTransformMatrix {\n"
        "  1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,0.0,1.0;;\n }\n"
        " Mesh {\n  4;\n  0.0;0.0;0.0;,\n  1.0;0.0;0.0;,\n  1.0;1.0;0.0;,\n"
        "  0.0;1.0;0.0;;\n  2;\n  3;0,1,2;,\n  3;0,2,3;;\n }\n}\n";
    const std::string dae =
        "<?xml version=\"1.0\"?>\n<COLLADA xmlns=\"http://www.collada.org/2005/11/"
        "COLLADASchema\" version=\"1.4.1\">\n<library_geometries><geometry id=\"g\"><mesh>\n"
        "<source id=\"p\"><float_array id=\"pa\" count=\"9\">0 0 0 1 0 0 0 1 0</float_array>\n"
        "<technique_common><accessor source=\"#pa\" count=\"3\" stride=\"3\"><param "
        "name=\"X\" type=\"float\"/><param name=\"Y\" type=\"float\"/><param name=\"Z\" "
        "type=\"float\"/></accessor></technique_common></source>\n<vertices id=\"v\"><input "
        "semantic=\"POSITION\" source=\"#p\"/></vertices>\n<triangles count=\"1\"><input "
        "semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><p>0 1 2</p></triangles>\n"
        "</mesh></geometry></library_geometries>\n<library_visual_scenes><visual_scene "
        "id=\"s\"><node id=\"n\"><matrix>1 0 0 1 0 1 0 2 0 0 1 3 0 0 0 1</matrix>"
        "<instance_geometry url=\"#g\"/></node></visual_scene></library_visual_scenes>\n"
        "<scene><instance_visual_scene url=\"#s\"/></scene>\n</COLLADA>\n";
    return {{"cube.ply", plyText},
            {"cube_binary.ply", plyBinary},
            {"quad.x", x},
            {"triangle.dae", dae}};
}

int usage() {
    std::cerr << "usage: zelimport_mutate [--per-file N] [--seed S] [--deadline SECONDS] "
                 "[--keep DIR] [--seeds] [FILE|DIR]...\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    int perFile = 500;
    std::uint64_t seed = 1;
    imp::isolationOptions options;
    options.deadline = std::chrono::seconds(10);
    fs::path keep;
    bool seeds = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--per-file" && hasValue)
            perFile = std::atoi(argv[++i]);
        else if (a == "--seed" && hasValue)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--deadline" && hasValue)
            options.deadline = std::chrono::milliseconds(
                static_cast<long long>(std::strtod(argv[++i], nullptr) * 1000));
        else if (a == "--keep" && hasValue)
            keep = argv[++i];
        else if (a == "--seeds")
            seeds = true;
        else if (a.starts_with("-"))
            return usage();
        else
            paths.push_back(a);
    }
    if (perFile <= 0 || options.deadline.count() <= 0)
        return usage();
    char work[] = "/tmp/zelimport-mutate-XXXXXX";
    if (!::mkdtemp(work)) {
        std::perror("zelimport_mutate: mkdtemp");
        return 1;
    }
    std::vector<fs::path> files =
        (seeds && paths.empty()) ? std::vector<fs::path>{} : inputs(paths);
    if (seeds) {
        fs::create_directory(fs::path(work) / "seeds");
        for (const auto& [name, bytes] : builtinSeeds()) {
            files.push_back(fs::path(work) / "seeds" / name);
            imp::mutation::writeFile(files.back(), bytes);
        }
    }
    if (files.empty()) {
        std::cerr << "zelimport_mutate: no input files\n";
        return 2;
    }
    if (!keep.empty())
        fs::create_directories(keep);
    const auto start = std::chrono::steady_clock::now();
    long tried = 0, read = 0, failed = 0, crashed = 0, timedOut = 0;
    double slowest = 0;
    std::map<std::string, long> reasons;
    for (const fs::path& source : files) {
        const std::string original = imp::mutation::readFile(source);
        for (int i = 0; i < perFile; ++i) {
            const std::uint64_t mutationSeed = seed * 1'000'003 + std::uint64_t(i);
            // The source's own name: some readers go by it (an Unreal .3d names its partner file).
            const fs::path file = fs::path(work) / source.filename();
            imp::mutation::writeFile(file, imp::mutation::mutate(original, mutationSeed));
            const auto t0 = std::chrono::steady_clock::now();
            std::string reason;
            const bool ok = imp::importIsolated(file, options, &reason).has_value();
            slowest = std::max(
                slowest,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            ++tried;
            if (ok) {
                ++read;
                continue;
            }
            ++failed;
            const bool died = reason.find("died of") != std::string::npos;
            const bool late = reason.find("did not finish") != std::string::npos;
            crashed += died;
            timedOut += late;
            ++reasons[reason.substr(0, 60)];
            if ((died || late) && !keep.empty())
                fs::copy_file(file,
                              keep / (source.stem().string() + "-" + std::to_string(mutationSeed) +
                                      source.extension().string()),
                              fs::copy_options::overwrite_existing);
        }
    }
    fs::remove_all(work);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu source files, %ld mutated files tried: %ld read, %ld failed (%ld crashed the "
                "helper, %ld timed out); %.1f s, slowest %.2f s\n",
                files.size(), tried, read, failed, crashed, timedOut, seconds, slowest);
    std::printf("most frequent reasons:\n");
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& [r, n] : reasons)
        sorted.emplace_back(n, r);
    std::sort(sorted.rbegin(), sorted.rend());
    for (std::size_t i = 0; i < sorted.size() && i < 10; ++i)
        std::printf("  %6ld  %s\n", sorted[i].first, sorted[i].second.c_str());
    return 0;
}
