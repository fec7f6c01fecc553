#include <zel/import/disk_cache.h>

#include <zel/import/helper_process.h>
#include <zel/import/scene_codec.h>

#include <zel/base/eintr.h>
#include <zel/base/file_stamp.h>
#include <zel/base/hex.h>
#include <zel/base/unique_fd.h>

#include <openssl/crypto.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace zel::import {

namespace fs = std::filesystem;
using process::readAll;
using process::writeAll;

// ---- hashing ------------------------------------------------------------------------------------

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

void startCrypto() {
    static const bool started = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
        return true;
    }();
    (void)started;
}

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

int openCacheFolder(const cacheSettings& settings, std::string* why) {
    auto refuse = [&](std::string text) {
        if (why)
            *why = std::move(text);
        return -1;
    };
    const fs::path folder = settings.folder.lexically_normal();
    const fs::path base =
        settings.base.empty() ? folder.parent_path() : settings.base.lexically_normal();
    const fs::path below = folder.lexically_relative(base);
    if (!folder.is_absolute() || below.empty() || below == "." || *below.begin() == "..")
        return refuse("the cache folder " + folder.string() + " is not beneath " + base.string());
    // The folder the user named is taken as it is, links and all.
    std::error_code ec;
    fs::create_directories(base, ec);
    zel::base::uniqueFd at(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (at.get() < 0)
        return refuse("cannot open " + base.string() + ": " + std::strerror(errno));
    fs::path sofar = base;
    struct stat st {};
    for (const fs::path& part : below) {
        sofar /= part;
        if (::mkdirat(at.get(), part.c_str(), 0700) != 0 && errno != EEXIST)
            return refuse("cannot make " + sofar.string() + ": " + std::strerror(errno));
        const int next =
            ::openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return refuse(sofar.string() + (errno == ELOOP || errno == ENOTDIR
                                                ? std::string(" is a link or no folder")
                                                : ": " + std::string(std::strerror(errno))));
        at.reset(next);
        if (::fstat(at.get(), &st) != 0)
            return refuse("cannot examine " + sofar.string() + ": " + std::strerror(errno));
        if (st.st_uid != ::geteuid())
            return refuse(sofar.string() + " belongs to another user");
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            return refuse(sofar.string() + " may be written by others (mode " + mode + ")");
        }
    }
    // What the entries say about the user's models is theirs alone.
    if ((st.st_mode & 077) != 0)
        ::fchmod(at.get(), 0700);
    return at.release();
}

cacheSettings cacheSettingsFromEnvironment(std::string* why) {
    cacheSettings s;
    auto refuse = [&](std::string text) {
        if (why)
            *why = std::move(text);
        s.enabled = false;
        return s;
    };
    if (const char* size = std::getenv("ZEL_CACHE_SIZE"); size && *size) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(size, &end, 10);
        std::uint64_t unit = 1;
        if (*end == 'K' || *end == 'k')
            unit = std::uint64_t{1} << 10;
        else if (*end == 'M' || *end == 'm')
            unit = std::uint64_t{1} << 20;
        else if (*end == 'G' || *end == 'g')
            unit = std::uint64_t{1} << 30;
        if (unit != 1)
            ++end;
        if (errno != 0 || end == size || *end != '\0' || size[0] == '-' ||
            n > (std::uint64_t{1} << 50) / unit)
            return refuse("ZEL_CACHE_SIZE is not a size (bytes, or with K, M or G): " +
                          std::string(size).substr(0, 40));
        s.maxBytes = n * unit;
        if (s.maxBytes == 0)
            return refuse("ZEL_CACHE_SIZE is 0");
    }
    fs::path base;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/')
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        base = fs::path(home) / ".cache";
    else
        return refuse("neither XDG_CACHE_HOME nor HOME names a folder");
    s.base = base;
    s.folder = base / "propplacer" / "imports";
    std::string refused;
    const int fd = openCacheFolder(s, &refused);
    if (fd < 0)
        return refuse(refused);
    ::close(fd);
    s.enabled = true;
    return s;
}

// ---- entries ------------------------------------------------------------------------------------
//
// An entry file: the header (magic, layout version, kind, the key, the inputs' and the encoding's
// lengths), the inputs (a count, then per input its kind, its path's length, the path, a file's
// size and modification time, and its hash), the encoding, and the XXH3-64 of everything before
// it, all little-endian.

namespace {

constexpr char entryMagic[8] = {'Z', 'E', 'L', 'C', 'A', 'C', 'H', 'E'};
constexpr std::uint32_t entryLayout = 2;
constexpr std::size_t headerBytes = 8 + 4 + 4 + 32 + 8 + 8;
constexpr std::uint64_t maxInputsBytes = std::uint64_t{1} << 20;
constexpr std::uint32_t maxInputs = 4096;
constexpr std::size_t maxQueued = 4;
constexpr std::uint64_t maxQueuedBlobBytes = std::uint64_t{1} << 30;

template <class T> void put(std::vector<std::byte>& out, T v) {
    const auto* p = reinterpret_cast<const std::byte*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

template <class T> T get(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::vector<std::byte> encodeInputs(const std::vector<recordedInput>& inputs) {
    std::vector<std::byte> out;
    put<std::uint32_t>(out, static_cast<std::uint32_t>(inputs.size()));
    for (const recordedInput& in : inputs) {
        put<std::uint8_t>(out, static_cast<std::uint8_t>(in.what));
        put<std::uint32_t>(out, static_cast<std::uint32_t>(in.path.size()));
        const auto* p = reinterpret_cast<const std::byte*>(in.path.data());
        out.insert(out.end(), p, p + in.path.size());
        put<std::uint64_t>(out, in.size);
        put<std::int64_t>(out, in.mtimeNs);
        const auto* d = reinterpret_cast<const std::byte*>(in.value.data());
        out.insert(out.end(), d, d + 32);
    }
    return out;
}

std::optional<std::vector<recordedInput>> decodeInputs(std::span<const std::byte> bytes) {
    std::size_t at = 0;
    auto need = [&](std::size_t n) { return bytes.size() - at >= n; };
    if (!need(4))
        return std::nullopt;
    const auto count = get<std::uint32_t>(bytes.data());
    at = 4;
    if (count > maxInputs)
        return std::nullopt;
    std::vector<recordedInput> out;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!need(5))
            return std::nullopt;
        recordedInput in;
        const auto kindByte = get<std::uint8_t>(bytes.data() + at);
        const auto length = get<std::uint32_t>(bytes.data() + at + 1);
        at += 5;
        if (kindByte > 2 || length == 0 || length > 4096 || !need(std::size_t{length} + 16 + 32))
            return std::nullopt;
        in.what = static_cast<recordedInput::kind>(kindByte);
        in.path.assign(reinterpret_cast<const char*>(bytes.data() + at), length);
        at += length;
        in.size = get<std::uint64_t>(bytes.data() + at);
        in.mtimeNs = get<std::int64_t>(bytes.data() + at + 8);
        at += 16;
        std::memcpy(in.value.data(), bytes.data() + at, 32);
        at += 32;
        if (in.path.find('\0') != std::string::npos || in.path[0] != '/')
            return std::nullopt;
        out.push_back(std::move(in));
    }
    if (at != bytes.size())
        return std::nullopt;
    return out;
}

// The entry's encoding, read in large pieces straight where the decoder wants them, hashed on
// the way: the checksum (and for assets the SHA-256) is known once the decoding is through.
class entrySource final : public byteSource {
public:
    entrySource(int fd, std::uint64_t length, XXH3_state_t* check, base::sha256* content)
        : fd_(fd), left_(length), check_(check), content_(content) {}

    std::uint64_t left() const { return left_ + (end_ - pos_); }

    bool read(void* out, std::size_t n) override {
        auto* dst = static_cast<char*>(out);
        const std::size_t fromBuffer = std::min(n, end_ - pos_);
        std::memcpy(dst, buffer_.data() + pos_, fromBuffer);
        pos_ += fromBuffer;
        dst += fromBuffer;
        n -= fromBuffer;
        if (n == 0)
            return true;
        if (n >= buffer_.size() / 2) {
            if (n > left_ || !readAll(fd_, dst, n))
                return false;
            hash(dst, n);
            left_ -= n;
            return true;
        }
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(left_, buffer_.size()));
        if (take < n || !readAll(fd_, buffer_.data(), take))
            return false;
        hash(buffer_.data(), take);
        left_ -= take;
        end_ = take;
        std::memcpy(dst, buffer_.data(), n);
        pos_ = n;
        return true;
    }

    // The rest of the encoding, should the decoding have stopped short of it.
    bool drain() {
        pos_ = end_;
        while (left_ > 0) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(left_, buffer_.size()));
            if (!readAll(fd_, buffer_.data(), take))
                return false;
            hash(buffer_.data(), take);
            left_ -= take;
        }
        return true;
    }

private:
    void hash(const void* p, std::size_t n) {
        XXH3_64bits_update(check_, p, n);
        if (content_)
            content_->add(p, n);
    }

    int fd_;
    std::uint64_t left_;
    XXH3_state_t* check_;
    base::sha256* content_;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::size_t pos_ = 0, end_ = 0;
};

// Writes the pieces of an encoding to a file, hashing them on the way.
class fileSink final : public byteSink {
public:
    fileSink(int fd, XXH3_state_t* check) : fd_(fd), check_(check) {}
    bool put(const void* data, std::size_t n) override {
        XXH3_64bits_update(check_, data, n);
        if (n >= buffer_.size() / 2)
            return flush() && writeAll(fd_, data, n);
        if (used_ + n > buffer_.size() && !flush())
            return false;
        std::memcpy(buffer_.data() + used_, data, n);
        used_ += n;
        return true;
    }
    bool flush() {
        const bool ok = writeAll(fd_, buffer_.data(), used_);
        used_ = 0;
        return ok;
    }

private:
    int fd_;
    XXH3_state_t* check_;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::size_t used_ = 0;
};

struct xxhState {
    XXH3_state_t* state = XXH3_createState();
    xxhState() { XXH3_64bits_reset(state); }
    ~xxhState() { XXH3_freeState(state); }
    xxhState(const xxhState&) = delete;
    xxhState& operator=(const xxhState&) = delete;
};

const char* kindPrefix(diskCache::kind k) {
    return k == diskCache::kind::asset ? "a-" : "i-";
}

std::string entryName(diskCache::kind k, const digest& key) {
    return kindPrefix(k) + hexOf(key);
}

} // namespace

diskCache::diskCache(cacheSettings settings) : settings_(std::move(settings)) {
    startCrypto();
    if (settings_.enabled) {
        dir_ = openCacheFolder(settings_);
        settings_.enabled = dir_ >= 0;
    }
    writer_ = std::thread([this] { run(); });
}

diskCache::~diskCache() {
    {
        // What waits is written first: a run that imports one model and ends still leaves it.
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return queue_.empty() && !busy_; });
        stopping_ = true;
    }
    cv_.notify_all();
    writer_.join();
    if (dir_ >= 0)
        ::close(dir_);
}

fs::path diskCache::entryPath(kind k, const digest& key) const {
    return settings_.folder / entryName(k, key);
}

bool diskCache::holds(kind k, const digest& key) const {
    struct stat st {};
    return settings_.enabled &&
           ::fstatat(dir_, entryName(k, key).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<scene> diskCache::find(kind k, const digest& key, std::string* complaint,
                                     hashBudget* budget, importInputs* seen) {
    if (!settings_.enabled)
        return std::nullopt;
    const std::string name = entryName(k, key);
    const base::uniqueFd fd(
        ::openat(dir_, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    const std::string shortName = hexOf(key).substr(0, 12);
    auto damaged = [&](const std::string& what) -> std::optional<scene> {
        if (complaint)
            *complaint = "the import cache's entry " + shortName + " " + what +
                         "; it is removed and the model imported afresh";
        ::unlinkat(dir_, name.c_str(), 0);
        return std::nullopt;
    };
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    // Not written by this user: passed over, and left where it is.
    if (st.st_uid != ::geteuid())
        return std::nullopt;
    if (!S_ISREG(st.st_mode))
        return damaged("is not a file");
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::byte header[headerBytes];
    if (size < headerBytes + 4 + 8 || !readAll(fd.get(), header, headerBytes))
        return damaged("is truncated");
    if (std::memcmp(header, entryMagic, 8) != 0 || get<std::uint32_t>(header + 8) != entryLayout ||
        get<std::uint32_t>(header + 12) != static_cast<std::uint32_t>(k) ||
        std::memcmp(header + 16, key.data(), 32) != 0)
        return damaged("is not one of this cache's entries");
    const auto inputsBytes = get<std::uint64_t>(header + 48);
    const auto encodingBytes = get<std::uint64_t>(header + 56);
    if (inputsBytes > maxInputsBytes || encodingBytes > size ||
        size != headerBytes + inputsBytes + encodingBytes + 8)
        return damaged("is truncated");
    // Known before any of it is read: no entry this cache writes is that large.
    if (encodingBytes > settings_.maxBytes / 2)
        return damaged("is larger than the cache keeps");
    std::vector<std::byte> inputsText(static_cast<std::size_t>(inputsBytes));
    if (!readAll(fd.get(), inputsText.data(), inputsText.size()))
        return damaged("is truncated");
    xxhState check;
    XXH3_64bits_update(check.state, header, headerBytes);
    XXH3_64bits_update(check.state, inputsText.data(), inputsText.size());
    const std::optional<std::vector<recordedInput>> inputs = decodeInputs(inputsText);
    if (!inputs)
        return damaged("is damaged (its list of inputs)");
    // A changed input makes the entry stale, not damaged: the fresh import replaces it.
    hashBudget unbounded;
    if (!inputsUnchanged(*inputs, budget ? budget : &unbounded, seen))
        return std::nullopt;
    std::optional<base::sha256> content;
    if (k == kind::asset)
        content.emplace();
    entrySource source(fd.get(), encodingBytes, check.state, content ? &*content : nullptr);
    decodeResult res = decode(source, encodingBytes);
    if (!source.drain())
        return damaged("is truncated");
    std::uint64_t stored = 0;
    if (!readAll(fd.get(), &stored, 8))
        return damaged("is truncated");
    if (stored != XXH3_64bits_digest(check.state))
        return damaged("is damaged (its checksum)");
    if (content && content->done() != key)
        return damaged("does not match its hash");
    if (res.status != decodeStatus::scene || !res.value)
        return damaged("does not decode (" + sanitizeReason(res.reason, 120) + ")");
    // A use: the size bound removes the least recently used first.
    ::futimens(fd.get(), nullptr);
    return std::move(res.value);
}

void diskCache::storeImport(const digest& key, importInputs inputs, std::int64_t startNs,
                            std::shared_ptr<const scene> value, std::uint64_t hashLimit,
                            std::vector<std::byte> encoding) {
    if (!settings_.enabled || !value)
        return;
    std::lock_guard lock(mutex_);
    std::uint64_t queued = encoding.size();
    for (const job& j : queue_)
        queued += j.blob.size();
    if (queue_.size() >= maxQueued || queued > maxQueuedBlobBytes)
        return;
    queue_.push_back({kind::import, key, std::move(inputs), startNs, std::move(value),
                      std::move(encoding), hashLimit});
    cv_.notify_all();
}

void diskCache::storeAsset(const digest& key, std::vector<std::byte> blob) {
    if (!settings_.enabled)
        return;
    std::lock_guard lock(mutex_);
    std::uint64_t queued = blob.size();
    for (const job& j : queue_)
        queued += j.blob.size();
    if (queue_.size() >= maxQueued || queued > maxQueuedBlobBytes)
        return;
    queue_.push_back({kind::asset, key, {}, 0, nullptr, std::move(blob), 0});
    cv_.notify_all();
}

void diskCache::flush() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void diskCache::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        job j = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            if (write(j))
                trim();
        } catch (const std::exception&) {
            // Out of memory or a file-system error: the entry is not kept.
        }
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

bool diskCache::write(const job& j) {
    std::vector<recordedInput> inputs;
    std::uint64_t encodingBytes = 0;
    if (j.k == kind::import) {
        hashBudget budget;
        budget.bytes = j.hashLimit;
        std::optional<std::vector<recordedInput>> recorded =
            recordInputs(j.inputs, j.startNs, &budget);
        if (!recorded || recorded->size() > maxInputs)
            return false;
        inputs = std::move(*recorded);
        encodingBytes = j.blob.empty() ? encodedSize(*j.value) : j.blob.size();
    } else {
        encodingBytes = j.blob.size();
    }
    // An entry that would take half the folder is not worth what it would push out.
    if (encodingBytes > settings_.maxBytes / 2)
        return false;
    const std::vector<std::byte> inputsText = encodeInputs(inputs);
    if (inputsText.size() > maxInputsBytes)
        return false;

    std::random_device random;
    const std::string temporary =
        "tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
    const base::uniqueFd fd(::openat(dir_, temporary.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0)
        return false;
    xxhState check;
    std::vector<std::byte> header;
    header.insert(header.end(), reinterpret_cast<const std::byte*>(entryMagic),
                  reinterpret_cast<const std::byte*>(entryMagic) + 8);
    put<std::uint32_t>(header, entryLayout);
    put<std::uint32_t>(header, static_cast<std::uint32_t>(j.k));
    header.insert(header.end(), reinterpret_cast<const std::byte*>(j.key.data()),
                  reinterpret_cast<const std::byte*>(j.key.data()) + 32);
    put<std::uint64_t>(header, inputsText.size());
    put<std::uint64_t>(header, encodingBytes);
    fileSink sink(fd.get(), check.state);
    bool ok =
        sink.put(header.data(), header.size()) && sink.put(inputsText.data(), inputsText.size());
    // The helper's own bytes where they were kept: nothing to encode again.
    if (ok && j.k == kind::import && j.blob.empty())
        ok = encodeTo(*j.value, sink);
    else if (ok)
        ok = sink.put(j.blob.data(), j.blob.size());
    const std::uint64_t sum = XXH3_64bits_digest(check.state);
    ok = ok && sink.flush() && writeAll(fd.get(), &sum, 8);
    // Renamed into place whole: a reader sees the old entry, the new one or none.
    if (!ok || ::renameat(dir_, temporary.c_str(), dir_, entryName(j.k, j.key).c_str()) != 0) {
        ::unlinkat(dir_, temporary.c_str(), 0);
        return false;
    }
    return true;
}

std::uint64_t diskCache::trim() {
    struct found {
        std::int64_t usedNs;
        std::uint64_t bytes;
        std::string name;
    };
    std::vector<found> entries;
    std::uint64_t total = 0;
    if (!settings_.enabled)
        return 0;
    const int listed = ::openat(dir_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(listed >= 0 ? ::fdopendir(listed) : nullptr,
                                            ::closedir);
    if (!dir) {
        if (listed >= 0)
            ::close(listed);
        return 0;
    }
    const std::int64_t now = coarseNowNs();
    constexpr std::int64_t hour = std::int64_t{3600} * 1'000'000'000;
    while (dirent* e = ::readdir(dir.get())) {
        const std::string_view name = e->d_name;
        const bool temporary = name.starts_with("tmp-");
        if (!temporary && !name.starts_with("i-") && !name.starts_with("a-"))
            continue;
        struct stat st {};
        // Only this user's files are counted or removed.
        if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (temporary) {
            // Left by a host that ended while it wrote.
            if (base::nanosecondsOf(st.st_mtim) < now - hour)
                ::unlinkat(::dirfd(dir.get()), e->d_name, 0);
            continue;
        }
        entries.push_back({base::nanosecondsOf(st.st_mtim), static_cast<std::uint64_t>(st.st_size),
                           std::string(name)});
        total += static_cast<std::uint64_t>(st.st_size);
    }
    if (total <= settings_.maxBytes)
        return total;
    std::sort(entries.begin(), entries.end(), [](const found& a, const found& b) {
        return a.usedNs != b.usedNs ? a.usedNs < b.usedNs : a.name < b.name;
    });
    for (const found& f : entries) {
        if (total <= settings_.maxBytes)
            break;
        if (::unlinkat(::dirfd(dir.get()), f.name.c_str(), 0) == 0 || errno == ENOENT)
            total -= f.bytes;
    }
    return total;
}

std::shared_ptr<const scene> cachedAsset(diskCache* cache, const std::string& sha256Hex,
                                         std::ostream& err) {
    const std::optional<digest> key = digestFromHex(sha256Hex);
    if (!cache || !key)
        return nullptr;
    std::string complaint;
    std::optional<scene> s = cache->find(diskCache::kind::asset, *key, &complaint);
    if (!complaint.empty())
        err << "zel: " << complaint << std::endl;
    return s ? std::make_shared<const scene>(std::move(*s)) : nullptr;
}

void keepAsset(diskCache* cache, const std::string& sha256Hex, std::span<const std::byte> blob) {
    const std::optional<digest> key = digestFromHex(sha256Hex);
    if (cache && key && !cache->holds(diskCache::kind::asset, *key))
        cache->storeAsset(*key, std::vector<std::byte>(blob.begin(), blob.end()));
}

} // namespace zel::import
