// The scene decoder on arbitrary bytes, whole and as a stream. Whatever it accepts must hold what
// the reader relies on, and encode back to the very bytes it came from.

#include <zel/import/scene_codec.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace imp = zel::import;

namespace {

class byteStream final : public imp::byteSource {
public:
    byteStream(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    bool read(void* out, std::size_t n) override {
        if (n > left_)
            return false;
        if (n != 0)
            std::memcpy(out, data_, n);
        data_ += n;
        left_ -= n;
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

void check(bool ok) {
    if (!ok)
        std::abort();
}

void checkScene(const imp::scene& s) {
    check(!s.nodes.empty());
    for (const imp::texture& t : s.textures)
        check(t.rgba.size() == std::size_t{t.width} * t.height * 4);
    for (const imp::material& m : s.materials)
        check(m.texture == imp::noTexture || m.texture < s.textures.size());
    for (const imp::mesh& m : s.meshes) {
        check(m.material < s.materials.size());
        for (std::uint32_t i : m.indices)
            check(i < m.vertexCount());
    }
    for (std::size_t i = 0; i < s.nodes.size(); ++i) {
        for (std::uint32_t m : s.nodes[i].meshes)
            check(m < s.meshes.size());
        for (std::uint32_t c : s.nodes[i].children)
            check(c > i && c < s.nodes.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    const imp::decodeResult whole = imp::decode(bytes);
    // Compared as bytes: float fields may hold NaN, which no scene compares equal to.
    auto same = [&](const imp::scene& s) {
        const std::vector<std::byte> again = imp::encode(s);
        return again.size() == size && std::memcmp(again.data(), data, size) == 0;
    };
    if (whole.status == imp::decodeStatus::scene) {
        check(whole.value.has_value());
        checkScene(*whole.value);
        check(same(*whole.value));
    }
    // As a stream (which may stop before bytes the header does not count) it must accept at
    // least what the whole decoding accepts, and give the same.
    byteStream stream(data, size);
    const imp::decodeResult streamed = imp::decode(stream, size);
    if (whole.status != imp::decodeStatus::malformed)
        check(streamed.status == whole.status && streamed.reason == whole.reason);
    if (whole.status == imp::decodeStatus::scene)
        check(same(*streamed.value));
    return 0;
}
