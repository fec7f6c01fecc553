// zel_fuzz_seeds SEEDS FILE...: the fuzzers' starting inputs from model files, one folder of SEEDS
// a target. Each FILE is imported (in a child process of its own, so that a file that upsets the
// importer costs only its seed) and written to scene/ as its encoding, when that is at most 1 MiB,
// to stream/ behind settings and progress records, to world/ behind a mesh list; its nodes become
// node records in records/, beside presence records, manifests, keys and the model deflated; a
// small model file goes to helper/ as it is, behind the byte that names its format, and so does a
// picture. request/ gets requests as the host makes them. Prints how many scene seeds it wrote.

#include "inflater.h"

#include "assimp_import.h"
#include <zel/import/import_protocol.h>
#include <zel/import/scene_codec.h>
#include <zel/share/records.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace imp = zel::import;
namespace share = zel::share;

namespace {

constexpr std::size_t maxSeedBytes = std::size_t{1} << 20;
constexpr std::size_t maxHelperSeedBytes = std::size_t{256} << 10;

// The helper target's format byte (helper_fuzz.cpp), by extension; pictures take 255.
constexpr const char* helperFormats[] = {"3ds", "obj", "ply", "stl", "gltf",
                                         "glb", "dae", "off", "fbx"};

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

std::string lowerExtension(const fs::path& file) {
    std::string ext = file.extension().string();
    for (char& c : ext)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext.empty() ? ext : ext.substr(1);
}

// The file as the helper target takes it, when it is small and of a kind the target reads.
void helperSeed(const fs::path& file, const fs::path& folder, const std::string& stem) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec || size > maxHelperSeedBytes)
        return;
    const std::string ext = lowerExtension(file);
    int kind = -1;
    for (std::size_t i = 0; i < std::size(helperFormats); ++i)
        if (ext == helperFormats[i])
            kind = static_cast<int>(i);
    if (ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "tga" || ext == "bmp")
        kind = 255;
    if (kind < 0)
        return;
    std::ifstream in(file, std::ios::binary);
    std::string bytes(1, static_cast<char>(kind));
    bytes.append(std::istreambuf_iterator<char>(in), {});
    writeFile(folder / stem, bytes.data(), bytes.size());
}

// The stream target's settings (stream_fuzz.cpp): a reservation of 4 KiB, the default budget, no
// size limit, time enough, pieces of up to 2^pieceBits bytes.
std::string streamSettings(unsigned pieceBits, std::uint32_t seed) {
    std::string s(16, '\0');
    s[0] = static_cast<char>(255); // (255 + 1) * 16 bytes
    s[10] = 1;
    s[11] = static_cast<char>(pieceBits);
    std::memcpy(s.data() + 12, &seed, 4);
    return s;
}

void seedsOf(const fs::path& model, const fs::path& seeds, int index) {
    const fs::path scenes = seeds / "scene", records = seeds / "records";
    std::string reason;
    const std::optional<imp::scene> s = imp::importInProcess(model, &reason);
    if (!s)
        return;
    const std::vector<std::byte> bytes = imp::encode(*s);
    const std::string stem = std::to_string(index) + "-" + model.filename().string();
    if (bytes.size() <= maxSeedBytes) {
        writeFile(scenes / (stem + ".zscene"), bytes.data(), bytes.size());
        // As a helper sends it: a few progress records, then the encoding in pieces.
        std::string stream = streamSettings(static_cast<unsigned>(index % 19), 7u * index + 1);
        for (std::uint32_t perMille : {100u, 700u, 850u}) {
            stream.append(imp::protocol::progressMagic, 4);
            stream.append(reinterpret_cast<const char*>(&perMille), 4);
        }
        stream.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        writeFile(seeds / "stream" / stem, stream.data(), stream.size());
        // A node record's mesh list: the first meshes, and one past the end.
        std::string world(1, '\0');
        for (std::uint32_t i = 0; i <= s->meshes.size() && i < 4; ++i) {
            world.append(reinterpret_cast<const char*>(&i), 4);
            ++world[0];
        }
        world.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        writeFile(seeds / "world" / stem, world.data(), world.size());
    }
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
    // The model deflated as a site stores it, for the inflater: its size in three bytes, pieces
    // of 256 bytes, the stream.
    const auto deflated = share::detail::deflateSmaller(bytes);
    if (deflated && bytes.size() < (std::size_t(1) << 24)) {
        std::string seed = {char(bytes.size() >> 16), char(bytes.size() >> 8), char(bytes.size()),
                            char(255)};
        seed.append(reinterpret_cast<const char*>(deflated->data()), deflated->size());
        writeRecord(records, stem + "-deflated", 4, seed);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zel_fuzz_seeds SEEDS FILE...\n");
        return 2;
    }
    const fs::path seeds = argv[1];
    const fs::path scenes = seeds / "scene", records = seeds / "records";
    for (const char* target : {"scene", "records", "stream", "world", "request", "helper"})
        fs::create_directories(seeds / target);
    // Requests as the host makes them: the body after the magic and the length.
    imp::protocol::request request;
    request.deadlineMs = 12'000;
    request.file = "/home/alice/models/house.obj";
    request.readable = {"/home/alice/models", "/usr/share/textures"};
    for (std::uint32_t flags : {0u, 1u | 4u, 2u | (3u << 8)}) {
        request.flags = flags;
        const std::vector<char> bytes = imp::protocol::encodeRequest(request);
        writeFile(seeds / "request" / ("request-" + std::to_string(flags)), bytes.data() + 12,
                  bytes.size() - 12);
    }
    const std::vector<std::byte> failure = imp::encodeFailure("the importer gave up");
    writeFile(scenes / "failure.zscene", failure.data(), failure.size());
    writeRecord(records, "presence", 1, share::encodePresence({"alice", "alice-0123abcd", 1.7e9}));
    writeRecord(records, "keys", 3, "alice.0123abcd.42");
    for (int i = 2; i < argc; ++i) {
        helperSeed(argv[i], seeds / "helper",
                   std::to_string(i - 2) + "-" + fs::path(argv[i]).filename().string());
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(60);
            seedsOf(argv[i], seeds, i - 2);
            ::_exit(0);
        }
        int status = 0;
        if (pid > 0)
            ::waitpid(pid, &status, 0);
    }
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(scenes))
        ++n;
    std::printf("zel_fuzz_seeds: %zu scene seeds from %d files\n", n, argc - 2);
    return 0;
}
