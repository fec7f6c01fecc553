// The scene drawer: one pass over a frame's draw items with a headlight and ambient light, diffuse
// colours, diffuse textures and the ground grid as lines. Needs a current OpenGL 3.3 core context
// for its whole life (construction and destruction included).
#pragma once

#include <zel/render/frame.h>

#include <cstddef>
#include <memory>
#include <set>

namespace zel::render {

struct rendererStats {
    std::size_t meshes = 0;           // meshes on the GPU
    std::size_t textures = 0;         // textures on the GPU (failed paths not counted)
    std::size_t uploads = 0;          // meshes uploaded since construction, transient ones included
    std::size_t uploadedVertices = 0; // their vertices after sharing equal ones
    std::size_t drawnItems = 0;
    std::size_t drawnTriangles = 0; // of the last frame
};

class renderer {
public:
    // False from ok() when the shaders did not build (the reason on stderr).
    renderer();
    ~renderer();
    renderer(const renderer&) = delete;
    renderer& operator=(const renderer&) = delete;

    bool ok() const;

    // Clears the bound framebuffer to the frame's background and draws its items, opaque ones
    // first, then the blended ones, into a viewport of width x height pixels.
    void draw(const frame& f, int width, int height);

    // Edges without stairs: the scene is drawn into a picture of its own and copied to the bound
    // framebuffer through a pass that blends a pixel with its diagonal neighbours where their
    // brightness steps (FXAA's test). It costs a fixed share of the pixels' work however many
    // triangles there are (4x multisampling costs a software rasterizer about four times the
    // frame time). Off by default.
    void setSmoothEdges(bool on);

    // Frees the GPU copy of every mesh whose key is not in `live`, and of every expired key.
    void releaseUnused(const std::set<const void*>& live);
    // Meshes and textures not drawn in the last `frames` frames are freed at the next draw; 0 keeps
    // them until releaseUnused or until their key expires. Default 300.
    void setIdleFrames(std::size_t frames);

    rendererStats stats() const;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace zel::render
