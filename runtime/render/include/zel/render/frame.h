// What one frame shows, as plain values: the renderer's whole input. The host fills a frame from
// the world each frame; nothing here knows the scene-graph classes.
//
// Matrices are 4x4, row-major, in row-vector form: a point transforms as v' = v * M and the
// translation is elements 12, 13, 14 (the framework's convention).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zel::render {

using matrix = std::array<float, 16>;
inline constexpr matrix identityMatrix{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// A decoded picture, borrowed like a mesh's arrays: 8-bit RGBA, rows from the top of the picture.
struct texturePixels {
    const std::uint8_t* rgba = nullptr; // width * height * 4 bytes
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool hasAlpha = false; // blend the mesh by the picture's alpha
};

// One mesh at one place. The arrays are borrowed for the duration of the draw call and read only
// when the mesh is not already on the GPU.
struct drawItem {
    // Identity of the mesh data. Items with the same key share one GPU copy, uploaded once; the
    // renderer holds the key weakly, so a key that expires frees its copy. A null key uploads the
    // arrays for this frame only.
    std::shared_ptr<const void> key;
    const float* positions = nullptr; // x, y, z per vertex
    const float* normals = nullptr;   // x, y, z per vertex, or null: computed from the faces
    const float* uvs = nullptr;       // u, v per vertex, or null
    std::uint32_t vertexCount = 0;
    // Three per triangle, or two per line segment when `lines`; each below vertexCount. A mesh with
    // an index out of range is not drawn (one line on stderr).
    const std::uint32_t* indices = nullptr;
    std::uint32_t indexCount = 0;
    bool lines = false; // unlit line segments (the ground grid)

    matrix world = identityMatrix;
    std::array<float, 4> diffuse{0.8f, 0.8f, 0.8f, 1.0f}; // RGBA; alpha below 1 blends
    // The headlight's highlight, added per pixel: its colour and Phong exponent (0: none).
    std::array<float, 3> specular{0.0f, 0.0f, 0.0f};
    float shininess = 0.0f;
    // The picture on the mesh, or none (a null key). The diffuse colour tints the picture (RGBA
    // times RGBA). Items with the same key share one GPU copy, uploaded once from `texture` and
    // held weakly like the mesh; a picture without pixels leaves the diffuse colour (one line on
    // stderr, once per key).
    std::shared_ptr<const void> textureKey;
    texturePixels texture;
};

// The viewpoint: the world transform of the navigator's "head" node. The camera looks along that
// frame's -Z with +Y up; any scale in the transform is ignored.
struct camera {
    matrix world = identityMatrix;
    float fovY = 60.0f; // degrees, vertical
    float nearPlane = 0.05f;
    float farPlane = 1000.0f;
};

// One widget of a window, at the rectangle the window's packer gave it (pixels, relative to the
// window's content area).
struct uiElement {
    enum class kind { label, entry };
    kind type = kind::label;
    std::string text; // UTF-8
    int x = 0, y = 0, w = 0, h = 0;
};

// A window frame with its widgets. `id` identifies the window across frames and in the input
// callbacks (the host may use the widget's address).
struct uiWindow {
    std::uint64_t id = 0;
    std::string title; // UTF-8
    int width = 0;     // content area in pixels
    int height = 0;
    std::vector<uiElement> children;
};

// A bar across the middle of the view while something loads: "Loading NAME… NN%".
struct progressBar {
    std::string label; // UTF-8, shown above the bar
    float done = 0;    // 0 to 1
};

// A line of text over the scene where a point of the world appears (a name over an avatar), at
// the UI's fixed pixel size however far the point is.
struct label {
    std::array<float, 3> position{0, 0, 0};
    std::string text;                                     // UTF-8
    std::array<float, 4> colour{1.0f, 0.9f, 0.59f, 1.0f}; // RGBA of the letters
};

// One site present in a shared scene, for the list of who is here.
struct presentSite {
    std::string user; // UTF-8
    std::array<float, 4> colour{1, 1, 1, 1};
    bool self = false; // this site
};

struct frame {
    camera view;
    std::vector<drawItem> items;
    std::vector<label> labels;
    std::vector<uiWindow> windows;
    std::vector<std::string> hud; // lines at the bottom left, UTF-8
    // The sites present, shown in a list that F2 toggles; `shared` false: not in a shared scene.
    bool shared = false;
    std::vector<presentSite> sites;
    std::optional<progressBar> progress;
    std::array<float, 4> background{0.16f, 0.18f, 0.22f, 1.0f};
};

// A flat grid in the XZ plane (y = 0) for orientation: lines every `step` from -halfExtent to
// +halfExtent both ways, as line-segment indices for a drawItem with lines = true.
struct gridMesh {
    std::vector<float> positions;
    std::vector<std::uint32_t> indices;
};
gridMesh makeGrid(float halfExtent = 5.0f, float step = 0.5f);

} // namespace zel::render
