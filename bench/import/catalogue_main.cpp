// zel_hostile_catalogue: writes a folder of 21 hostile and broken model files for stepping through
// with ">" (and the sample archi.3ds the package starts on), the same bytes on every machine:
//   zel_hostile_catalogue FOLDER ARCHI.3DS
// Among them "old.3d.bak": 19 bytes of PLY header on which Assimp's PLY reader loops forever,
// reached by content detection. The others are damaged 3DS, PLY, DirectX and Collada files,
// truncated, empty and random files, each named so that the package's catalogue takes it.
#include <mutations.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace mutation = zel::import::mutation;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: zel_hostile_catalogue FOLDER ARCHI.3DS\n";
        return 2;
    }
    const fs::path folder = argv[1];
    const std::string archi = mutation::readFile(argv[2]);
    if (archi.empty()) {
        std::cerr << "zel_hostile_catalogue: cannot read " << argv[2] << "\n";
        return 2;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);

    const std::string plyText = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\n"
                                "property float y\nproperty float z\nelement face 1\n"
                                "property list uchar int vertex_indices\nend_header\n"
                                "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
    const std::string x = "xof 0302txt 0064\nFrame Root {\n Mesh {\n  3;\n  0.0;0.0;0.0;,\n"
                          "  1.0;0.0;0.0;,\n  0.0;1.0;0.0;;\n  1;\n  3;0,1,2;;\n }\n}\n";
    const std::string dae = "<?xml version=\"1.0\"?>\n<COLLADA version=\"1.4.1\">\n"
                            "<library_geometries><geometry id=\"g\"><mesh>\n"
                            "<source id=\"p\"><float_array id=\"pa\" count=\"9\">0 0 0 1 0 0 0 "
                            "1 0</float_array></source>\n</mesh></geometry></library_geometries>\n"
                            "</COLLADA>\n";
    std::string random;
    std::uint64_t state = 21;
    for (int i = 0; i < 4096; ++i)
        random.push_back(static_cast<char>(mutation::splitmix(state)));

    std::vector<std::pair<std::string, std::string>> files = {
        {"archi.3ds", archi},
        {"old.3d.bak", "ply\nformat ascii 1\n"},
        {"empty.3ds", ""},
        {"random.3ds", random},
        {"random.3d.bak", random.substr(0, 700)},
        {"truncated-head.3ds", archi.substr(0, 6)},
        {"truncated-half.3ds", archi.substr(0, archi.size() / 2)},
        {"text.3ds", "this is not a model\n"},
        {"ply-cut.3d.bak", plyText.substr(0, plyText.size() - 9)},
        {"x-cut.3d.bak", x.substr(0, x.size() / 2)},
        {"dae-broken.3d.bak", dae},
        {"dae-cut.3d.bak", dae.substr(0, dae.size() / 3)},
    };
    // Damaged copies of the sample model and of the small text formats, fixed seeds.
    for (int i = 0; i < 6; ++i)
        files.emplace_back("damaged-" + std::to_string(i) + ".3ds",
                           mutation::mutate(archi, 9000 + std::uint64_t(i)));
    for (int i = 0; i < 2; ++i)
        files.emplace_back("ply-damaged-" + std::to_string(i) + ".3d.bak",
                           mutation::mutate(plyText, 500 + std::uint64_t(i)));
    for (int i = 0; i < 2; ++i)
        files.emplace_back("x-damaged-" + std::to_string(i) + ".3d.bak",
                           mutation::mutate(x, 700 + std::uint64_t(i)));
    for (const auto& [name, bytes] : files)
        if (!mutation::writeFile(folder / name, bytes)) {
            std::cerr << "zel_hostile_catalogue: cannot write " << (folder / name).string() << "\n";
            return 1;
        }
    std::cout << files.size() - 1 << " hostile and broken files and archi.3ds in "
              << folder.string() << "\n";
    return 0;
}
