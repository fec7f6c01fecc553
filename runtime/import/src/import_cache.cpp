#include <zel/import/import_cache.h>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace zel::import {

namespace {

// The file's stamp; nullopt with the reason when it cannot be examined.
std::optional<base::fileStamp> stampOrReason(const std::filesystem::path& file,
                                             std::string* reason) {
    std::optional<base::fileStamp> stamp = base::stampOf(file);
    if (!stamp && reason)
        *reason = std::strerror(errno);
    return stamp;
}

} // namespace

importCache::importCache(loader load) : load_(std::move(load)) {}

bool importCache::inputsAsBefore(const entry& e) {
    for (const grantedFile& f : e.inputs.files) {
        if (base::stampOf(f.path) !=
            base::fileStamp{f.size, f.mtimeNs, f.ctimeNs, f.inode, f.device})
            return false;
    }
    for (const std::filesystem::path& name : e.inputs.absent) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR))
            return false;
    }
    for (std::size_t i = 0; i < e.inputs.listedFolders.size(); ++i) {
        if (i >= e.folders.size() || base::stampOf(e.inputs.listedFolders[i]) != e.folders[i])
            return false;
    }
    return true;
}

std::shared_ptr<const scene> importCache::get(const std::filesystem::path& file,
                                              const isolationOptions& options, std::string* reason,
                                              const importProgress& progress) {
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(file, ec);
    if (ec) {
        if (reason)
            *reason = ec.message();
        return nullptr;
    }
    const key k{canonical, options.readableFolders};
    const std::optional<base::fileStamp> before = stampOrReason(canonical, reason);
    if (!before)
        return nullptr;
    {
        std::lock_guard lock(mutex_);
        if (auto it = entries_.find(k); it != entries_.end()) {
            if (it->second.stamp == *before && inputsAsBefore(it->second))
                return it->second.value;
            entries_.erase(it); // the file changed: its old data is no longer what it holds
        }
    }
    importInputs inputs;
    std::shared_ptr<const scene> value = load_(canonical, options, reason, &inputs, progress);
    if (!value)
        return nullptr;
    std::vector<base::fileStamp> folders;
    for (const std::filesystem::path& f : inputs.listedFolders) {
        const std::optional<base::fileStamp> stamp = base::stampOf(f);
        if (!stamp)
            return value;
        folders.push_back(*stamp);
    }
    // A file rewritten while it was being read may have given a mix of old and new content: hand
    // the result out, but do not keep it under either stamp.
    if (base::stampOf(canonical) == before) {
        std::lock_guard lock(mutex_);
        entries_[k] = entry{*before, value, std::move(inputs), std::move(folders)};
    }
    return value;
}

std::size_t importCache::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void importCache::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

} // namespace zel::import
