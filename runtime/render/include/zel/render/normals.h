// Vertex normals for meshes that come without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel::render {

// A mesh with one normal per vertex, ready to upload.
struct normalMesh {
    std::vector<float> positions; // x, y, z per vertex
    std::vector<float> normals;   // unit x, y, z per vertex; (0, 0, 0) where no triangle decides
    std::vector<float> uvs;       // u, v per vertex, or empty when the input had none
    std::vector<std::uint32_t> indices;
};

// Normals from the faces: at each corner of a triangle, the area-weighted sum of the normals of
// the triangles around that vertex that meet this one at less than `creaseDegrees`. So shared
// vertices on a curved surface come out smooth, and an edge sharper than the crease angle stays
// sharp (the vertex is split, its position and uv copied). Triangles with an index out of range
// and degenerate triangles decide nothing. `uvs` may be null; `indices` holds three per triangle
// (a trailing partial triangle is dropped).
normalMesh computeNormals(const float* positions, const float* uvs, std::size_t vertexCount,
                          const std::uint32_t* indices, std::size_t indexCount,
                          float creaseDegrees = 50.0f);

// The same mesh with vertices that are equal in every attribute (position, normal, uv; bit for bit)
// merged into one, in order of first use. Files that store three vertices per triangle come out
// shared, which saves the vertex work of every frame. `normals` and `uvs` may be null (then the
// result's are empty); indices must be below vertexCount.
normalMesh weldVertices(const float* positions, const float* normals, const float* uvs,
                        std::size_t vertexCount, const std::uint32_t* indices,
                        std::size_t indexCount);

} // namespace zel::render
