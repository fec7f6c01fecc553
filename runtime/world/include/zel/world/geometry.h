// What a node draws: one triangle mesh with its material colour and texture, as a node attribute.
#pragma once

#include <zel/xstd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zel::import {
struct mesh;
struct scene;
struct texture;
} // namespace zel::import

namespace zel::world {

class geometryAttr final : public xstd::attr {
public:
    // mesh is shared, not copied: every node that uses the same mesh of a file points at the same
    // data, which lives as long as any of them. Null gives an empty geometry.
    explicit geometryAttr(std::shared_ptr<const import::mesh> mesh);
    ~geometryAttr() override;
    geometryAttr(const geometryAttr&) = delete;
    geometryAttr& operator=(const geometryAttr&) = delete;

    // x, y, z per vertex.
    std::span<const float> getPositions() const;
    // x, y, z per vertex, or empty when the file gave none.
    std::span<const float> getNormals() const;
    // u, v per vertex, or empty.
    std::span<const float> getTexCoords() const;
    // Three vertex indices per triangle.
    std::span<const std::uint32_t> getIndices() const;
    std::size_t getVertexCount() const;
    std::size_t getTriangleCount() const;
    // The data itself, for telling whether two attributes share it.
    const import::mesh* getMesh() const { return mesh_.get(); }

    // Diffuse red, green, blue and opacity, each 0..1.
    const std::array<float, 4>& getColor() const { return color_; }
    void setColor(const std::array<float, 4>& rgba) { color_ = rgba; }
    // The highlight: its red, green and blue (0..1) and its Phong exponent (0: none).
    const std::array<float, 3>& getSpecular() const { return specular_; }
    float getShininess() const { return shininess_; }
    void setHighlight(const std::array<float, 3>& rgb, float shininess) {
        specular_ = rgb;
        shininess_ = shininess;
    }
    // The texture as the file names it (empty when none), and its decoded picture (null when the
    // import helper found or read none).
    const std::string& getTextureName() const;
    const std::shared_ptr<const import::texture>& getTexture() const { return texture_; }
    // The name is shared, not copied: every geometry of one material points at the same string
    // (a model may name a long texture and use its material many times).
    void setTexture(std::shared_ptr<const std::string> name,
                    std::shared_ptr<const import::texture> picture);

    // The imported scene the mesh belongs to and its index there (null when it comes from
    // elsewhere): a shared scene sends meshes as that scene.
    const std::shared_ptr<const import::scene>& getSourceScene() const { return source_; }
    std::uint32_t getSourceIndex() const { return sourceIndex_; }
    void setSource(std::shared_ptr<const import::scene> scene, std::uint32_t index);

private:
    std::shared_ptr<const import::mesh> mesh_;
    std::shared_ptr<const import::scene> source_;
    std::uint32_t sourceIndex_ = 0;
    std::array<float, 4> color_{0.6f, 0.6f, 0.6f, 1.0f};
    std::array<float, 3> specular_{0.0f, 0.0f, 0.0f};
    float shininess_ = 0.0f;
    std::shared_ptr<const std::string> textureName_;
    std::shared_ptr<const import::texture> texture_;
};

// The geometry of mesh `index` of an imported scene (sharing the scene's data), with its material's
// colour and texture and the scene as its source; opaque: whatever the material's opacity. Null
// when there is no such mesh.
// The materials of the scene's meshes when every one of them is fully transparent (the model would
// draw nothing), else none. An editor's "Tr 1" in an OBJ file means opaque to some and clear to
// others; a model that shows nothing at all was meant the first way.
std::vector<std::string> clearMaterials(const import::scene& scene);

std::unique_ptr<geometryAttr> makeSceneGeometry(std::shared_ptr<const import::scene> scene,
                                                std::uint32_t index, bool opaque = false);

// A flat grid on the plane y = 0 centred on the origin, with a line every `spacing` metres out to
// `halfExtent` in x and z; each line is a thin quad `lineWidth` wide, so it draws as triangles.
std::shared_ptr<const import::mesh> makeGridMesh(float halfExtent, float spacing, float lineWidth);

} // namespace zel::world
