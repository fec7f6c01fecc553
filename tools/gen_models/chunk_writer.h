// Little-endian writer for the nested chunks of a 3DS file.
//
// A chunk is a 16-bit id, a 32-bit size that counts its own 6-byte header, and a payload that may
// hold further chunks. beginChunk opens one and endChunk closes the innermost open one, writing its
// size then; take() hands the bytes over once every chunk is closed.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace zel::genModels {

class chunkWriter {
public:
    void beginChunk(std::uint16_t id);
    void endChunk();

    void u8(std::uint8_t v);
    void u16(std::uint16_t v);
    void i16(std::int16_t v);
    void u32(std::uint32_t v);
    void f32(float v);
    // The characters followed by one NUL; text must not contain NUL.
    void cstr(std::string_view text);

    // Number of chunks still open.
    std::size_t depth() const { return open_.size(); }
    // The file's bytes; every chunk must be closed.
    std::vector<std::uint8_t> take();

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> open_; // offsets of the open chunks' headers
};

} // namespace zel::genModels
