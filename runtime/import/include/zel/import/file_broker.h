#pragma once

// The host's file broker: the import helper has no file system of its own, and every file it reads
// (the model, what the model names: a material library, a buffer, a picture) is one it asked the
// host for by name and got as a read-only descriptor. The broker decides:
//
// - A name is looked up beneath one of its roots, the model's folder and the texture search
//   folders: an absolute name beneath a root, a relative one beneath the model's folder. A root
//   that is the file system's root or holds the home folder (or is it) would open the user's files:
//   the model's folder is then searched only at its own level (no subfolder), and such a texture
//   folder is not a root at all.
// - The name is resolved beneath its root without following any link, no `..` leading out: with
//   openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS) where the kernel has it,
//   else one component at a time with O_NOFOLLOW. Only regular files; a device or FIFO is never
//   opened, not even to be refused.
// - Only names whose extension is one a model, a material library, a buffer or a picture has
//   (modelFileTypes and the others below, ignoring case): a model that names "tax.pdf" beside it
//   gets nothing. The model file itself is granted whatever its name.
// - At most limits.maxFiles distinct files, limits.maxBytes bytes of them and limits.maxRequests
//   questions an import.
//
// Existence is answered only for names it would open. The broker never reads a file's content.

#include <zel/import/helper_process.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel::import {

// One file the broker handed out, as it was when it was opened (the descriptor's fstat).
struct grantedFile {
    std::filesystem::path path; // absolute: its root joined with the name resolved beneath it
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    std::uint64_t allocated = 0; // what it takes on disk (st_blocks * 512): a sparse file's is less
    bool operator==(const grantedFile&) const = default;
};

struct brokerLimits {
    std::size_t maxFiles = 256;                      // distinct files an import
    std::uint64_t maxBytes = std::uint64_t{4} << 30; // their sizes together
    std::size_t maxRequests = 4096;                  // questions of any kind
    std::size_t maxListing = 10'000;                 // names a folder lists, for case lookups
};

// What the helper asks.
enum class brokerAsk : std::uint32_t {
    open = 1,    // a file by name (Assimp's reads)
    exists = 2,  // whether open would grant it; no descriptor
    texture = 3, // a picture as a material names it (texture_files.h's lookup)
};

struct brokerAnswer {
    int error = 0;       // 0: granted; else an errno value (ENOENT, EACCES, ...)
    base::uniqueFd file; // read-only, close-on-exec; for open and texture when granted
    std::string name;    // texture: the file's name beneath the folder it was found in
};

// The extension tables, lower case without the dot.
const std::vector<std::string_view>& modelFileTypes();
const std::vector<std::string_view>& companionFileTypes(); // material libraries, buffers, ...
const std::vector<std::string_view>& pictureFileTypes();

class fileBroker {
public:
    // model: the model file (absolute, its folder without links); textureFolders: where its
    // pictures are looked for before its own folder; home: the user's home folder (empty: none).
    fileBroker(const std::filesystem::path& model,
               const std::vector<std::filesystem::path>& textureFolders,
               const std::filesystem::path& home, brokerLimits limits = {});

    brokerAnswer answer(brokerAsk ask, std::string_view name);

    // Every distinct file handed out, in the order of first grant (the model first when the
    // helper asked for it, which it always does).
    const std::vector<grantedFile>& granted() const { return granted_; }
    // The names it found nothing under (a file or a folder on the way missing), each once, in the
    // order asked: a model that names them reads otherwise once they appear. At most
    // maxAbsentNames.
    const std::vector<std::filesystem::path>& absent() const { return absent_; }
    static constexpr std::size_t maxAbsentNames = 4097;
    std::uint64_t grantedBytes() const { return bytes_; }
    // Every question it may answer has been asked.
    bool spent() const { return requests_ >= limits_.maxRequests; }

private:
    struct root {
        std::filesystem::path path;
        base::uniqueFd fd; // O_PATH | O_DIRECTORY
        bool flat = false; // only its own level
    };
    // The file `relative` beneath r: a descriptor and its stat, or an errno value.
    int open(const root& r, const std::filesystem::path& relative, base::uniqueFd& out,
             bool checkType);
    brokerAnswer grant(const root& r, const std::filesystem::path& relative, base::uniqueFd fd);
    // Notes an answer of error for relative beneath r; returns error.
    int noteMissing(const root& r, const std::filesystem::path& relative, int error);
    brokerAnswer openName(std::string_view name, bool descriptor);
    brokerAnswer texture(std::string_view name);
    const std::vector<std::string>& listing(std::size_t rootIndex);

    std::vector<root> roots_; // the model's folder first, then the texture folders
    std::filesystem::path modelName_;
    brokerLimits limits_;
    std::size_t requests_ = 0;
    std::uint64_t bytes_ = 0;
    std::vector<grantedFile> granted_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> byInode_;
    std::map<std::size_t, std::vector<std::string>> listings_;
    std::vector<std::filesystem::path> absent_;
    std::set<std::filesystem::path> absentSeen_;
};

// The host's end of the helper's socket (import_protocol.h): reads the questions as they come and
// answers each from the broker, at most maxAnswersPerCall a call so that the caller's other waits
// go on. The channel closes for good (fd() -1) when the helper hangs up, asks something malformed,
// asks past the broker's question limit, or asks again and again without reading its answers.
class brokerService {
public:
    static constexpr std::size_t maxAnswersPerCall = 64;
    brokerService(int socket, fileBroker& broker);
    int fd() const { return closed_ ? -1 : socket_; }
    // Reads what has arrived and answers every complete question; never waits.
    void service();

private:
    int socket_;
    fileBroker& broker_;
    bool closed_ = false;
    std::vector<char> pending_;
};

// The helper's end: one question at a time, waiting for its answer. Every failure of the channel
// is a refusal (EPIPE).
class brokerClient {
public:
    explicit brokerClient(int socket) : socket_(socket) {}
    brokerAnswer ask(brokerAsk ask, std::string_view name) const;

private:
    int socket_;
};

// openat2 with RESOLVE_BENEATH is there (Linux 5.6); false makes the broker use the fallback, for
// the tests of older kernels.
bool brokerHasOpenat2();
void brokerUseOpenat2(bool use);

} // namespace zel::import
