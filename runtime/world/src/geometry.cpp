#include <zel/world/geometry.h>

#include <zel/import/imported_scene.h>

#include <algorithm>
#include <cmath>

namespace zel::world {

geometryAttr::geometryAttr(std::shared_ptr<const import::mesh> mesh) : mesh_(std::move(mesh)) {}

geometryAttr::~geometryAttr() = default;

std::span<const float> geometryAttr::getPositions() const {
    return mesh_ ? std::span<const float>(mesh_->positions) : std::span<const float>();
}

std::span<const float> geometryAttr::getNormals() const {
    return mesh_ ? std::span<const float>(mesh_->normals) : std::span<const float>();
}

std::span<const float> geometryAttr::getTexCoords() const {
    return mesh_ ? std::span<const float>(mesh_->uvs) : std::span<const float>();
}

std::span<const std::uint32_t> geometryAttr::getIndices() const {
    return mesh_ ? std::span<const std::uint32_t>(mesh_->indices)
                 : std::span<const std::uint32_t>();
}

std::size_t geometryAttr::getVertexCount() const {
    return mesh_ ? mesh_->vertexCount() : 0;
}

std::size_t geometryAttr::getTriangleCount() const {
    return mesh_ ? mesh_->triangleCount() : 0;
}

void geometryAttr::setSource(std::shared_ptr<const import::scene> scene, std::uint32_t index) {
    source_ = std::move(scene);
    sourceIndex_ = index;
}

namespace {

float unit(float v) {
    return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f;
}

// Less than one step of an 8-bit colour channel: nothing shows.
bool clear(const import::material& m) {
    return unit(m.diffuse[3] * m.opacity) < 1.0f / 256.0f;
}

} // namespace

std::vector<std::string> clearMaterials(const import::scene& scene) {
    std::vector<bool> used(scene.materials.size(), false);
    for (const import::mesh& m : scene.meshes)
        if (m.material < used.size() && !m.indices.empty())
            used[m.material] = true;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < used.size(); ++i) {
        if (!used[i])
            continue;
        if (!clear(scene.materials[i]))
            return {};
        names.push_back(scene.materials[i].name);
    }
    return names;
}

std::unique_ptr<geometryAttr> makeSceneGeometry(std::shared_ptr<const import::scene> scene,
                                                std::uint32_t index, bool opaque) {
    if (!scene || index >= scene->meshes.size())
        return nullptr;
    // Aliasing: the attribute shares ownership of the whole imported scene.
    auto geometry = std::make_unique<geometryAttr>(
        std::shared_ptr<const import::mesh>(scene, &scene->meshes[index]));
    const std::uint32_t material = scene->meshes[index].material;
    if (material < scene->materials.size()) {
        const import::material& m = scene->materials[material];
        geometry->setColor({unit(m.diffuse[0]), unit(m.diffuse[1]), unit(m.diffuse[2]),
                            opaque ? 1.0f : unit(m.diffuse[3] * m.opacity)});
        // Exponents above 128 make highlights smaller than a pixel; none below 1 are meant.
        const float shininess = std::isfinite(m.shininess) && m.shininess > 0.0f
                                    ? std::clamp(m.shininess, 1.0f, 128.0f)
                                    : 0.0f;
        geometry->setHighlight({unit(m.specular[0]), unit(m.specular[1]), unit(m.specular[2])},
                               shininess);
        std::shared_ptr<const import::texture> picture;
        if (m.texture < scene->textures.size())
            picture = std::shared_ptr<const import::texture>(scene, &scene->textures[m.texture]);
        geometry->setTexture(std::shared_ptr<const std::string>(scene, &m.diffuseTexture),
                             std::move(picture));
    }
    geometry->setSource(std::move(scene), index);
    return geometry;
}

const std::string& geometryAttr::getTextureName() const {
    static const std::string none;
    return textureName_ ? *textureName_ : none;
}

void geometryAttr::setTexture(std::shared_ptr<const std::string> name,
                              std::shared_ptr<const import::texture> picture) {
    textureName_ = std::move(name);
    texture_ = std::move(picture);
}

std::shared_ptr<const import::mesh> makeGridMesh(float halfExtent, float spacing, float lineWidth) {
    auto grid = std::make_shared<import::mesh>();
    if (!(halfExtent > 0.0f) || !(spacing > 0.0f) || !(lineWidth > 0.0f))
        return grid;
    const int lines = static_cast<int>(std::floor(halfExtent / spacing));
    const float h = lineWidth * 0.5f;
    // One quad (two triangles, facing +y) from corner (x0, z0) to (x1, z1).
    auto quad = [&](float x0, float z0, float x1, float z1) {
        const auto base = static_cast<std::uint32_t>(grid->vertexCount());
        const float corners[4][2] = {{x0, z0}, {x0, z1}, {x1, z1}, {x1, z0}};
        for (const auto& c : corners) {
            grid->positions.insert(grid->positions.end(), {c[0], 0.0f, c[1]});
            grid->normals.insert(grid->normals.end(), {0.0f, 1.0f, 0.0f});
        }
        grid->indices.insert(grid->indices.end(),
                             {base, base + 1, base + 2, base, base + 2, base + 3});
    };
    for (int i = -lines; i <= lines; ++i) {
        const float at = static_cast<float>(i) * spacing;
        quad(at - h, -halfExtent, at + h, halfExtent); // along z
        quad(-halfExtent, at - h, halfExtent, at + h); // along x
    }
    return grid;
}

} // namespace zel::world
