// zel_fuzz_seeds SCENES RECORDS FILE...: the fuzzers' starting inputs from model files. Each FILE
// is imported (in a child process of its own, so that a file that upsets the importer costs only
// its seed) and written to SCENES as its encoding, when that is at most 1 MiB; its nodes become
// node records in RECORDS, beside presence records, manifests and keys. Prints how many it wrote.

#include <zel/import/assimp_import.h>
#include <zel/import/scene_codec.h>
#include <zel/share/records.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace imp = zel::import;
namespace share = zel::share;

namespace {

constexpr std::size_t maxSeedBytes = std::size_t{1} << 20;

bool writeFile(const fs::path& file, const void* data, std::size_t n) {
    std::ofstream out(file, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

// A record seed: the byte that picks the parser, then the text.
bool writeRecord(const fs::path& folder, const std::string& name, char parser,
                 const std::string& text) {
    const std::string seed = parser + text;
    return writeFile(folder / name, seed.data(), seed.size());
}

void seedsOf(const fs::path& model, const fs::path& scenes, const fs::path& records, int index) {
    std::string reason;
    const std::optional<imp::scene> s = imp::importInProcess(model, &reason);
    if (!s)
        return;
    const std::vector<std::byte> bytes = imp::encode(*s);
    const std::string stem = std::to_string(index) + "-" + model.filename().string();
    if (bytes.size() <= maxSeedBytes)
        writeFile(scenes / (stem + ".zscene"), bytes.data(), bytes.size());
    const std::string hash = share::sha256Hex(bytes);
    for (std::size_t i = 0; i < s->nodes.size() && i < 8; ++i) {
        const imp::node& n = s->nodes[i];
        share::nodeRecord r;
        r.name = n.name;
        r.parent = i == 0 ? "" : "alice.0123abcd.1";
        r.order = i;
        std::memcpy(r.matrix.data(), n.matrix, sizeof n.matrix);
        if (!n.meshes.empty()) {
            r.meshScene = hash;
            r.meshes = n.meshes;
        }
        r.anim = s->animations.empty() ? -1 : 1;
        writeRecord(records, stem + "-node" + std::to_string(i), 0, share::encodeRecord(r));
    }
    share::assetManifest m;
    m.size = bytes.size();
    m.chunks = static_cast<std::uint32_t>((bytes.size() + m.chunkBytes - 1) / m.chunkBytes);
    writeRecord(records, stem + "-manifest", 2, share::encodeManifest(m));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zel_fuzz_seeds SCENES RECORDS FILE...\n");
        return 2;
    }
    const fs::path scenes = argv[1], records = argv[2];
    fs::create_directories(scenes);
    fs::create_directories(records);
    const std::vector<std::byte> failure = imp::encodeFailure("the importer gave up");
    writeFile(scenes / "failure.zscene", failure.data(), failure.size());
    writeRecord(records, "presence", 1, share::encodePresence({"alice", "alice-0123abcd", 1.7e9}));
    writeRecord(records, "keys", 3, "alice.0123abcd.42");
    for (int i = 3; i < argc; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(60);
            seedsOf(argv[i], scenes, records, i - 3);
            ::_exit(0);
        }
        int status = 0;
        if (pid > 0)
            ::waitpid(pid, &status, 0);
    }
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(scenes))
        ++n;
    std::printf("zel_fuzz_seeds: %zu scene seeds from %d files\n", n, argc - 3);
    return 0;
}
