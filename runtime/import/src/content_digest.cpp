#include <zel/import/content_digest.h>

#include <zel/base/eintr.h>
#include <zel/base/file_stamp.h>
#include <zel/base/hex.h>
#include <zel/base/unique_fd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace zel::import {

namespace fs = std::filesystem;

namespace {

// How far a file time may lag behind the moment it stands for: nothing where the file system
// keeps nanoseconds, 2 s where it keeps whole (or even) seconds.
std::int64_t slackOf(const struct stat& st) {
    return st.st_ctim.tv_nsec != 0 ? 0 : std::int64_t{2'000'000'000};
}

struct knownDigest {
    base::fileStamp stamp;
    digest value{};
};
// Never destroyed: the writer thread of a cache that is itself a static object may still hash
// while the process ends.
std::mutex& knownMutexRef() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::map<fs::path, knownDigest>& knownDigests() {
    static auto* known = new std::map<fs::path, knownDigest>;
    return *known;
}

} // namespace

std::int64_t coarseNowNs() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return base::nanosecondsOf(t);
}

std::string hexOf(const digest& d) {
    return base::hexOf(d);
}

std::optional<digest> digestFromHex(std::string_view hex) {
    return base::fromHex<digest>(hex);
}

namespace {

// The content digest of the open regular file fd, whose fstat is st, within budget.
std::optional<digest> digestOf(int fd, const struct stat& st, const fs::path& file,
                               hashBudget* budget) {
    // Taken before the file is read: a write from here on shows in its change time.
    const std::int64_t begun = coarseNowNs();
    if (!S_ISREG(st.st_mode))
        return std::nullopt;
    const base::fileStamp stamp = base::stampOf(st);
    {
        std::lock_guard lock(knownMutexRef());
        auto it = knownDigests().find(file);
        if (it != knownDigests().end() && it->second.stamp == stamp)
            return it->second.value;
    }
    if (budget) {
        if (stamp.size > budget->bytes)
            return std::nullopt;
        budget->bytes -= stamp.size;
    }
    base::sha256 h;
    std::vector<char> buffer(1 << 20);
    std::uint64_t total = 0;
    for (;;) {
        if (budget && budget->keepGoing && !budget->keepGoing()) {
            budget->cancelled = true;
            return std::nullopt;
        }
        const ssize_t n =
            base::retryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += static_cast<std::uint64_t>(n);
        // Grown while read: more than what was allowed for.
        if (total > stamp.size)
            return std::nullopt;
        h.add(buffer.data(), static_cast<std::size_t>(n));
    }
    const digest value = h.done();
    struct stat after {};
    if (::fstat(fd, &after) == 0 && base::stampOf(after) == stamp &&
        stamp.ctimeNs + slackOf(st) < begun) {
        std::lock_guard lock(knownMutexRef());
        if (knownDigests().size() >= 4096)
            knownDigests().clear();
        knownDigests()[file] = {stamp, value};
    }
    return value;
}

int openToRead(const fs::path& file, bool followLink) {
    return ::open(file.c_str(),
                  O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW));
}

// Not there, nor anything else under that name (a link, a folder, ...).
bool stillAbsent(const fs::path& name) {
    struct stat st {};
    return ::lstat(name.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

grantedFile grantedFromStat(const fs::path& path, const struct stat& st) {
    return {path,
            static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            base::nanosecondsOf(st.st_mtim),
            base::nanosecondsOf(st.st_ctim),
            static_cast<std::uint64_t>(st.st_blocks) * 512};
}

} // namespace

std::optional<digest> contentDigest(const fs::path& file, hashBudget* budget) {
    const base::uniqueFd fd(openToRead(file, true));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    return digestOf(fd.get(), st, file, budget);
}

std::optional<digest> listingDigest(const fs::path& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir.get())) {
        if (names.size() >= 100'000)
            return std::nullopt;
        names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    base::sha256 h;
    for (const std::string& n : names)
        h.add(n.c_str(), n.size() + 1);
    return h.done();
}

std::optional<std::vector<recordedInput>> recordInputs(const importInputs& inputs,
                                                       std::int64_t sinceNs, hashBudget* budget) {
    hashBudget unbounded;
    if (!budget)
        budget = &unbounded;
    std::vector<recordedInput> out;
    for (const grantedFile& g : inputs.files) {
        // Only the file the helper was given: one put in its place since then is not what the
        // result was made from.
        const base::uniqueFd fd(openToRead(g.path, false));
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_dev) != g.device ||
            static_cast<std::uint64_t>(st.st_ino) != g.inode ||
            static_cast<std::uint64_t>(st.st_size) != g.size ||
            base::nanosecondsOf(st.st_mtim) != g.mtimeNs ||
            base::nanosecondsOf(st.st_ctim) + slackOf(st) >= sinceNs)
            return std::nullopt;
        std::optional<digest> d = digestOf(fd.get(), st, g.path, budget);
        if (!d)
            return std::nullopt;
        out.push_back({recordedInput::kind::file, g.path.string(), g.size, g.mtimeNs, *d});
    }
    for (const fs::path& f : inputs.listedFolders) {
        struct stat st {};
        if (::stat(f.c_str(), &st) != 0 || base::nanosecondsOf(st.st_ctim) + slackOf(st) >= sinceNs)
            return std::nullopt;
        std::optional<digest> d = listingDigest(f);
        if (!d)
            return std::nullopt;
        out.push_back({recordedInput::kind::listing, f.string(), 0, 0, *d});
    }
    for (const fs::path& f : inputs.absent) {
        if (!stillAbsent(f))
            return std::nullopt;
        out.push_back({recordedInput::kind::absent, f.string(), 0, 0, {}});
    }
    return out;
}

bool inputsUnchanged(const std::vector<recordedInput>& inputs, hashBudget* budget,
                     importInputs* seen) {
    hashBudget unbounded;
    if (!budget)
        budget = &unbounded;
    for (const recordedInput& in : inputs) {
        const fs::path path(in.path);
        switch (in.what) {
        case recordedInput::kind::file: {
            const base::uniqueFd fd(openToRead(path, false));
            struct stat st {};
            // Another size or time says so before a byte is read.
            if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                static_cast<std::uint64_t>(st.st_size) != in.size ||
                base::nanosecondsOf(st.st_mtim) != in.mtimeNs)
                return false;
            const std::optional<digest> now = digestOf(fd.get(), st, path, budget);
            if (!now || *now != in.value)
                return false;
            if (seen)
                seen->files.push_back(grantedFromStat(path, st));
            break;
        }
        case recordedInput::kind::listing: {
            const std::optional<digest> now = listingDigest(path);
            if (!now || *now != in.value)
                return false;
            if (seen)
                seen->listedFolders.push_back(path);
            break;
        }
        case recordedInput::kind::absent:
            if (!stillAbsent(path))
                return false;
            if (seen)
                seen->absent.push_back(path);
            break;
        }
    }
    return true;
}

} // namespace zel::import
