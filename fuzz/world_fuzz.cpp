// The world's geometry built from a decoded scene, as the reader builds it for a model and a shared
// scene's mirror for another site's node, whose record brings its own list of the scene's meshes.
// Every geometry must stay within the data it shares.
//
// Input: one byte n, then n little-endian u32 mesh indices (a node record's list), then the
// scene's encoding.

#include <zel/import/scene_codec.h>
#include <zel/world/geometry.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace imp = zel::import;
namespace world = zel::world;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

volatile float readSink;

// Reads every value the renderer would.
void walk(const world::geometryAttr& g) {
    const std::size_t vertices = g.getVertexCount();
    check(g.getPositions().size() == vertices * 3);
    check(g.getNormals().empty() || g.getNormals().size() == vertices * 3);
    check(g.getTexCoords().empty() || g.getTexCoords().size() == vertices * 2);
    check(g.getIndices().size() == g.getTriangleCount() * 3);
    for (float f : g.getPositions())
        readSink = f; // every value is there to be read
    for (std::uint32_t i : g.getIndices())
        check(i < vertices);
    if (const auto& t = g.getTexture())
        check(t->rgba.size() == std::size_t{t->width} * t->height * 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t listed = data[0];
    if (size < 1 + 4 * listed)
        return 0;
    std::vector<std::uint32_t> shared(listed);
    if (listed != 0)
        std::memcpy(shared.data(), data + 1, 4 * listed);
    const std::size_t at = 1 + 4 * listed;
    imp::decodeResult res = imp::decode(
        std::span<const std::byte>(reinterpret_cast<const std::byte*>(data + at), size - at));
    if (res.status != imp::decodeStatus::scene)
        return 0;
    const auto scene = std::make_shared<const imp::scene>(std::move(*res.value));
    std::vector<std::unique_ptr<world::geometryAttr>> made;
    for (const imp::node& n : scene->nodes)
        for (std::uint32_t m : n.meshes) {
            auto g = world::makeSceneGeometry(scene, m);
            check(g != nullptr);
            made.push_back(std::move(g));
        }
    for (std::uint32_t m : shared) {
        auto g = world::makeSceneGeometry(scene, m);
        check((g != nullptr) == (m < scene->meshes.size()));
        if (g)
            made.push_back(std::move(g));
    }
    for (const auto& g : made) {
        walk(*g);
        check(g->getSourceScene() == scene && g->getSourceIndex() < scene->meshes.size());
    }
    return 0;
}
