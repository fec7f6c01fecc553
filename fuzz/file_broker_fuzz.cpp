// The file broker's resolver against a tree made to be escaped from: links out of the folders, to
// folders, in loops and to files inside; `..`; names that differ only in case; long names. The
// first byte picks the question and the way of resolution, the rest is the name. Whatever the
// broker grants must be a regular file beneath the model's folder or the texture folder, reached
// without a link, of a type it takes (or the model itself), and never one of the files outside.

#include <zel/import/file_broker.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace imp = zel::import;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

struct tree {
    fs::path top, models, textures, outside;
};

// Removes the tree when the fuzzer ends.
struct removal {
    const fs::path& top;
    ~removal() {
        std::error_code ec;
        fs::remove_all(top, ec);
    }
};

void put(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

const tree& theTree() {
    static const tree made = [] {
        tree t;
        char pattern[] = "/tmp/zel-broker-fuzz-XXXXXX";
        check(::mkdtemp(pattern) != nullptr);
        t.top = fs::canonical(pattern);
        t.models = t.top / "models";
        t.textures = t.top / "textures";
        t.outside = t.top / "outside";
        put(t.outside / "secret.mtl", "secret");
        put(t.outside / "secret.png", "secret");
        put(t.outside / "Secret.obj", "secret");
        put(t.models / "house.obj", "model");
        put(t.models / "house.mtl", "inside");
        put(t.models / "House.MTL", "inside");
        put(t.models / "maps/wall.png", "inside");
        put(t.models / "maps/deep/er/bin.bin", "inside");
        put(t.models / (std::string(250, 'a') + ".bin"), "inside");
        put(t.models / "notes.txt", "inside");
        put(t.textures / "Wood.PNG", "inside");
        put(t.textures / "sub/stone.tga", "inside");
        std::error_code ec;
        fs::create_symlink(t.outside / "secret.mtl", t.models / "planted.mtl", ec);
        fs::create_symlink("../outside/secret.png", t.models / "maps/relative.png", ec);
        fs::create_symlink(t.outside, t.models / "linked", ec);
        fs::create_symlink("../../outside", t.models / "maps/up", ec);
        fs::create_symlink("house.mtl", t.models / "alias.mtl", ec);
        fs::create_symlink("loop", t.models / "loop", ec);
        fs::create_symlink("/proc/self/root" + t.outside.string(), t.models / "magic", ec);
        fs::create_symlink(t.outside / "Secret.obj", t.textures / "secret.png", ec);
        ::mkfifo((t.models / "fifo.bin").c_str(), 0600);
        return t;
    }();
    static const removal atExit{made.top};
    return made;
}

bool beneath(const fs::path& folder, const fs::path& path) {
    const auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end();
}

bool ofATakenType(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto* types :
         {&imp::modelFileTypes(), &imp::companionFileTypes(), &imp::pictureFileTypes()})
        for (std::string_view t : *types)
            if (lower.size() > t.size() + 1 && lower.ends_with(t) &&
                lower[lower.size() - t.size() - 1] == '.')
                return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const tree& t = theTree();
    const auto ask = static_cast<imp::brokerAsk>(1 + data[0] % 3);
    imp::brokerUseOpenat2((data[0] & 0x80) == 0);
    std::string name(reinterpret_cast<const char*>(data) + 1, size - 1);
    // A way to spell the tree's own folders without guessing them: '@' stands for the models
    // folder, '#' for the outside one.
    for (std::size_t at; (at = name.find('@')) != std::string::npos;)
        name.replace(at, 1, t.models.string());
    for (std::size_t at; (at = name.find('#')) != std::string::npos;)
        name.replace(at, 1, t.outside.string());
    imp::brokerLimits limits;
    limits.maxListing = 64;
    imp::fileBroker broker(t.models / "house.obj", {t.textures}, {}, limits);
    const imp::brokerAnswer a = broker.answer(ask, name);
    if (a.error != 0 || ask == imp::brokerAsk::exists) {
        check(broker.granted().empty());
        return 0;
    }
    check(bool(a.file) && broker.granted().size() == 1);
    const imp::grantedFile& g = broker.granted().front();
    // What the descriptor is, as the kernel names it: no link was followed to it.
    std::error_code ec;
    const fs::path real = fs::read_symlink("/proc/self/fd/" + std::to_string(a.file.get()), ec);
    check(!ec && real == g.path);
    check(beneath(t.models, real) || beneath(t.textures, real));
    check(!beneath(t.outside, real));
    struct stat st {};
    check(::fstat(a.file.get(), &st) == 0 && S_ISREG(st.st_mode));
    check(::lstat(g.path.c_str(), &st) == 0 && S_ISREG(st.st_mode));
    check(real == t.models / "house.obj" || ofATakenType(real.filename().string()));
    char first[8] = {};
    check(::pread(a.file.get(), first, sizeof first, 0) >= 0 && std::string(first) != "secret");
    return 0;
}
