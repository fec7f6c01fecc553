#include "cache_entry.h"

#include <zel/import/helper_process.h>
#include <zel/import/scene_codec.h>

#include <xxhash.h>

#include <algorithm>
#include <cstring>

namespace zel::import::cacheEntry {

using process::readAll;
using process::writeAll;

namespace {

constexpr char entryMagic[8] = {'Z', 'E', 'L', 'C', 'A', 'C', 'H', 'E'};
constexpr std::uint32_t entryLayout = 2;
constexpr std::size_t headerBytes = 8 + 4 + 4 + 32 + 8 + 8;

template <class T> void put(std::vector<std::byte>& out, T v) {
    const auto* p = reinterpret_cast<const std::byte*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

template <class T> T get(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
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

} // namespace

std::string nameOf(diskCache::kind k, const digest& key) {
    return kindPrefix(k) + hexOf(key);
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

readResult read(int fd, std::uint64_t size, diskCache::kind k, const digest& key,
                std::uint64_t maxEncodingBytes, hashBudget* budget, importInputs* seen) {
    auto damaged = [](std::string what) { return readResult{std::nullopt, std::move(what)}; };
    std::byte header[headerBytes];
    if (size < headerBytes + 4 + 8 || !readAll(fd, header, headerBytes))
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
    if (encodingBytes > maxEncodingBytes)
        return damaged("is larger than the cache keeps");
    std::vector<std::byte> inputsText(static_cast<std::size_t>(inputsBytes));
    if (!readAll(fd, inputsText.data(), inputsText.size()))
        return damaged("is truncated");
    xxhState check;
    XXH3_64bits_update(check.state, header, headerBytes);
    XXH3_64bits_update(check.state, inputsText.data(), inputsText.size());
    const std::optional<std::vector<recordedInput>> inputs = decodeInputs(inputsText);
    if (!inputs)
        return damaged("is damaged (its list of inputs)");
    // A changed input makes the entry stale, not damaged: the fresh import replaces it.
    if (!inputsUnchanged(*inputs, budget, seen))
        return {};
    std::optional<base::sha256> content;
    if (k == diskCache::kind::asset)
        content.emplace();
    entrySource source(fd, encodingBytes, check.state, content ? &*content : nullptr);
    decodeResult res = decode(source, encodingBytes);
    if (!source.drain())
        return damaged("is truncated");
    std::uint64_t stored = 0;
    if (!readAll(fd, &stored, 8))
        return damaged("is truncated");
    if (stored != XXH3_64bits_digest(check.state))
        return damaged("is damaged (its checksum)");
    if (content && content->done() != key)
        return damaged("does not match its hash");
    if (res.status != decodeStatus::scene || !res.value)
        return damaged("does not decode (" + sanitizeReason(res.reason, 120) + ")");
    return {std::move(res.value), {}};
}

bool write(int fd, diskCache::kind k, const digest& key, std::span<const std::byte> inputsText,
           std::uint64_t encodingBytes, const scene* value, std::span<const std::byte> blob) {
    xxhState check;
    std::vector<std::byte> header;
    header.insert(header.end(), reinterpret_cast<const std::byte*>(entryMagic),
                  reinterpret_cast<const std::byte*>(entryMagic) + 8);
    put<std::uint32_t>(header, entryLayout);
    put<std::uint32_t>(header, static_cast<std::uint32_t>(k));
    header.insert(header.end(), reinterpret_cast<const std::byte*>(key.data()),
                  reinterpret_cast<const std::byte*>(key.data()) + 32);
    put<std::uint64_t>(header, inputsText.size());
    put<std::uint64_t>(header, encodingBytes);
    fileSink sink(fd, check.state);
    bool ok =
        sink.put(header.data(), header.size()) && sink.put(inputsText.data(), inputsText.size());
    if (ok && value)
        ok = encodeTo(*value, sink);
    else if (ok)
        ok = sink.put(blob.data(), blob.size());
    const std::uint64_t sum = XXH3_64bits_digest(check.state);
    return ok && sink.flush() && writeAll(fd, &sum, 8);
}

} // namespace zel::import::cacheEntry
