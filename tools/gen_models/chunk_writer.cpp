#include "chunk_writer.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace zel::genModels {

namespace {

[[noreturn]] void misuse(const char* what) {
    std::fprintf(stderr, "chunkWriter: %s\n", what);
    std::abort();
}

} // namespace

void chunkWriter::beginChunk(std::uint16_t id) {
    open_.push_back(bytes_.size());
    u16(id);
    u32(0); // patched by endChunk
}

void chunkWriter::endChunk() {
    if (open_.empty()) {
        misuse("endChunk without an open chunk");
    }
    const std::size_t start = open_.back();
    open_.pop_back();
    const std::size_t size = bytes_.size() - start;
    if (size > 0xFFFFFFFFu) {
        misuse("chunk larger than 4 GiB");
    }
    for (int i = 0; i < 4; ++i) {
        bytes_[start + 2 + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>((size >> (8 * i)) & 0xFFu);
    }
}

void chunkWriter::u8(std::uint8_t v) {
    bytes_.push_back(v);
}

void chunkWriter::u16(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v & 0xFFu));
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
}

void chunkWriter::i16(std::int16_t v) {
    u16(static_cast<std::uint16_t>(v));
}

void chunkWriter::u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        bytes_.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFFu));
    }
}

// IEEE 754 single precision in little-endian byte order, whatever the host's order.
void chunkWriter::f32(float v) {
    u32(std::bit_cast<std::uint32_t>(v));
}

void chunkWriter::cstr(std::string_view text) {
    for (char c : text) {
        if (c == '\0') {
            misuse("NUL inside a string");
        }
        bytes_.push_back(static_cast<std::uint8_t>(c));
    }
    bytes_.push_back(0);
}

std::vector<std::uint8_t> chunkWriter::take() {
    if (!open_.empty()) {
        misuse("take() with chunks still open");
    }
    return std::move(bytes_);
}

} // namespace zel::genModels
