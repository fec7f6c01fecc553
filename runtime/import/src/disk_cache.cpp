#include <zel/import/disk_cache.h>

#include "cache_entry.h"

#include <zel/import/scene_codec.h>

#include <zel/base/file_stamp.h>
#include <zel/base/unique_fd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace zel::import {

namespace {

// What waits to be written: at most a few entries, and no more than this many bytes of them.
constexpr std::size_t maxQueued = 4;
constexpr std::uint64_t maxQueuedBlobBytes = std::uint64_t{1} << 30;

} // namespace

namespace fs = std::filesystem;

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
    return settings_.folder / cacheEntry::nameOf(k, key);
}

bool diskCache::holds(kind k, const digest& key) const {
    struct stat st {};
    return settings_.enabled &&
           ::fstatat(dir_, cacheEntry::nameOf(k, key).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<scene> diskCache::find(kind k, const digest& key, std::string* complaint,
                                     hashBudget* budget, importInputs* seen) {
    if (!settings_.enabled)
        return std::nullopt;
    const std::string name = cacheEntry::nameOf(k, key);
    const base::uniqueFd fd(
        ::openat(dir_, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    auto damaged = [&](const std::string& what) -> std::optional<scene> {
        if (complaint)
            *complaint = "the import cache's entry " + hexOf(key).substr(0, 12) + " " + what +
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
    hashBudget unbounded;
    // Known before any of it is read: no entry this cache writes is that large.
    cacheEntry::readResult got =
        cacheEntry::read(fd.get(), static_cast<std::uint64_t>(st.st_size), k, key,
                         settings_.maxBytes / 2, budget ? budget : &unbounded, seen);
    if (!got.damage.empty())
        return damaged(got.damage);
    if (!got.value)
        return std::nullopt;
    // A use: the size bound removes the least recently used first.
    ::futimens(fd.get(), nullptr);
    return std::move(got.value);
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
        if (!recorded || recorded->size() > cacheEntry::maxInputs)
            return false;
        inputs = std::move(*recorded);
        encodingBytes = j.blob.empty() ? encodedSize(*j.value) : j.blob.size();
    } else {
        encodingBytes = j.blob.size();
    }
    // An entry that would take half the folder is not worth what it would push out.
    if (encodingBytes > settings_.maxBytes / 2)
        return false;
    const std::vector<std::byte> inputsText = cacheEntry::encodeInputs(inputs);
    if (inputsText.size() > cacheEntry::maxInputsBytes)
        return false;

    std::random_device random;
    const std::string temporary =
        "tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
    const base::uniqueFd fd(::openat(dir_, temporary.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0)
        return false;
    // The helper's own bytes where they were kept: nothing to encode again.
    const scene* encodeAfresh = j.k == kind::import && j.blob.empty() ? j.value.get() : nullptr;
    const bool ok =
        cacheEntry::write(fd.get(), j.k, j.key, inputsText, encodingBytes, encodeAfresh, j.blob);
    // Renamed into place whole: a reader sees the old entry, the new one or none.
    if (!ok ||
        ::renameat(dir_, temporary.c_str(), dir_, cacheEntry::nameOf(j.k, j.key).c_str()) != 0) {
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

} // namespace zel::import
