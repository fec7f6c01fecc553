#include "brokered_io.h"

#include <zel/base/eintr.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace zel::import {

descriptorStream::descriptorStream(std::shared_ptr<const base::uniqueFd> fd) : fd_(std::move(fd)) {
    struct stat st {};
    if (::fstat(fd_->get(), &st) == 0 && st.st_size > 0)
        size_ = static_cast<std::size_t>(st.st_size);
}

std::size_t descriptorStream::Read(void* buffer, std::size_t size, std::size_t count) {
    if (size == 0 || count == 0 || count > std::numeric_limits<std::size_t>::max() / size)
        return 0;
    // Whole elements only, as fread counts them.
    std::size_t want = std::min(size * count, size_ - std::min(size_, position_));
    want -= want % size;
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t r = base::retryOnInterrupt([&] {
            return ::pread(fd_->get(), out + got, want - got, static_cast<off_t>(position_ + got));
        });
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    got -= got % size;
    position_ += got;
    return got / size;
}

aiReturn descriptorStream::Seek(std::size_t offset, aiOrigin origin) {
    std::size_t to = 0;
    switch (origin) {
    case aiOrigin_SET:
        to = offset;
        break;
    case aiOrigin_CUR:
        if (offset > std::numeric_limits<std::size_t>::max() - position_)
            return aiReturn_FAILURE;
        to = position_ + offset;
        break;
    case aiOrigin_END:
        // Assimp passes a negative offset from the end as its unsigned form.
        to = size_ + offset;
        break;
    default:
        return aiReturn_FAILURE;
    }
    if (to > size_)
        return aiReturn_FAILURE;
    position_ = to;
    return aiReturn_SUCCESS;
}

void brokeredFiles::adopt(const std::string& name, base::uniqueFd fd) {
    if (fd && kept_ < keptFiles && !known_.count(name)) {
        known_[name] = {0, std::make_shared<const base::uniqueFd>(std::move(fd))};
        ++kept_;
    }
}

bool brokeredFiles::Exists(const char* file) const {
    if (!file)
        return false;
    if (const auto k = known_.find(file); k != known_.end())
        return k->second.error == 0;
    const int error = broker_.ask(brokerAsk::exists, file).error;
    // A refusal stays one; a yes is asked again when the file is opened.
    if (error != 0)
        known_[file] = {error, nullptr};
    return error == 0;
}

Assimp::IOStream* brokeredFiles::Open(const char* file, const char* mode) {
    if (!file || !mode || std::strpbrk(mode, "wa+"))
        return nullptr;
    if (const auto k = known_.find(file); k != known_.end()) {
        if (k->second.error != 0)
            return nullptr;
        if (k->second.file)
            return new descriptorStream(k->second.file);
    }
    brokerAnswer a = broker_.ask(brokerAsk::open, file);
    if (a.error != 0 || !a.file) {
        known_[file] = {a.error != 0 ? a.error : EPROTO, nullptr};
        return nullptr;
    }
    auto fd = std::make_shared<const base::uniqueFd>(std::move(a.file));
    if (kept_ < keptFiles) {
        known_[file] = {0, fd};
        ++kept_;
    }
    return new descriptorStream(std::move(fd));
}

} // namespace zel::import
