#include "inflater.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace zel::share::detail {

namespace {

// Output made per call to zlib: what a stream that lies about its size can make before it is
// caught.
constexpr std::size_t outputStep = 256 * 1024;
// zlib's fastest level: at the next levels the writer spends several times as long for a few
// per cent.
constexpr int level = 1;

} // namespace

std::optional<std::vector<std::byte>> deflateSmaller(std::span<const std::byte> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uLong>::max())
        return std::nullopt;
    std::vector<std::byte> out(compressBound(static_cast<uLong>(bytes.size())));
    uLongf length = static_cast<uLongf>(out.size());
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                  reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                  level) != Z_OK ||
        length >= bytes.size())
        return std::nullopt;
    out.resize(length);
    out.shrink_to_fit();
    return out;
}

struct inflater::stream {
    z_stream z{};
    bool open = false;
    ~stream() {
        if (open)
            inflateEnd(&z);
    }
};

inflater::inflater(std::uint64_t declared) : z_(std::make_unique<stream>()), declared_(declared) {
    z_->open = inflateInit(&z_->z) == Z_OK;
    failed_ = !z_->open;
}

inflater::~inflater() = default;

bool inflater::refuse(std::string& reason, const char* why) {
    failed_ = true;
    reason = why;
    return false;
}

bool inflater::feed(std::span<const std::byte> in, std::vector<std::byte>& out,
                    std::string& reason) {
    if (failed_)
        return refuse(reason, "a model's deflated bytes were refused before");
    if (in.size() > std::numeric_limits<uInt>::max())
        return refuse(reason, "a chunk of a model is too large");
    z_stream& z = z_->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    bool outputFull = false;
    for (;;) {
        if (ended_) {
            if (z.avail_in > 0)
                return refuse(reason, "a model has bytes after the end of its deflated stream");
            return true;
        }
        if (z.avail_in == 0 && !outputFull)
            return true;
        // One byte past the declared size is room enough to see a stream that grows past it.
        const auto room = static_cast<std::size_t>(
            std::min<std::uint64_t>(declared_ - produced_ + 1, outputStep));
        const std::size_t at = out.size();
        out.resize(at + room);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + at);
        z.avail_out = static_cast<uInt>(room);
        const int r = inflate(&z, Z_NO_FLUSH);
        const std::size_t made = room - z.avail_out;
        out.resize(at + made);
        produced_ += made;
        if (produced_ > declared_) {
            out.resize(out.size() - static_cast<std::size_t>(produced_ - declared_));
            return refuse(reason, "a model inflates to more bytes than its manifest says");
        }
        if (r == Z_STREAM_END) {
            ended_ = true;
            continue;
        }
        if (r == Z_BUF_ERROR) // waits for the next chunk
            return true;
        if (r != Z_OK)
            return refuse(reason, "a model's deflated bytes do not inflate");
        outputFull = z.avail_out == 0;
    }
}

bool inflater::finish(std::string& reason) const {
    if (failed_) {
        reason = "a model's deflated bytes were refused";
        return false;
    }
    if (!ended_) {
        reason = "a model's deflated stream ends early";
        return false;
    }
    if (produced_ != declared_) {
        reason = "a model inflates to fewer bytes than its manifest says";
        return false;
    }
    return true;
}

} // namespace zel::share::detail
