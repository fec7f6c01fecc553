// Contents: shaders; mesh upload (normals computed when absent); texture cache; the draw pass;
// releasing GPU copies.

#include <zel/render/renderer.h>

#include "gl.h"
#include "matrix_math.h"
#include <zel/render/normals.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace zel::render {

namespace {

// The light: a headlight shining along the view direction (from infinitely far behind the eye, so
// that a flat face is lit evenly) plus ambient, two-sided (model files often mix face windings, and
// a back face lit like a front face still shows the shape). The diffuse part is computed per
// vertex, which a directional light allows without visible loss. The material's highlight is
// raised to its exponent per pixel (done per vertex, a highlight narrower than a triangle would
// vanish between vertices) for the viewer far away, as the headlight is: the half-way vector is
// then the view direction itself, so the highlight is the normal's facing, which the diffuse term
// already carries across the triangle, raised to the material's exponent. No more is passed from
// vertex to pixel than before (each value passed costs a software rasterizer on every triangle);
// materials without a highlight skip it, and their fragment work stays a texture fetch and a
// multiply.
const char* const vertexShader = R"(#version 330 core
layout(location = 0) in vec3 aPosition;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec2 aUv;
uniform mat4 uModelView;
uniform mat4 uProjection;
uniform mat3 uNormalMatrix;
uniform bool uLit;
uniform float uAmbient;
out float vLight;
out vec2 vUv;
void main() {
    vec4 p = uModelView * vec4(aPosition, 1.0);
    vLight = 1.0;
    if (uLit) {
        vec3 n = uNormalMatrix * aNormal;
        float len = length(n);
        float facing = len > 1e-8 ? abs(n.z) / len : 1.0;
        vLight = uAmbient + (1.0 - uAmbient) * facing;
    }
    vUv = aUv;
    gl_Position = uProjection * p;
}
)";

const char* const fragmentShader = R"(#version 330 core
in float vLight;
in vec2 vUv;
uniform vec4 uDiffuse;
uniform vec3 uSpecular;
uniform float uShininess;
uniform float uAmbient;
uniform bool uTextured;
uniform sampler2D uTexture;
out vec4 fragColour;
void main() {
    vec4 base = uDiffuse;
    if (uTextured) {
        vec4 t = texture(uTexture, vUv);
        base = vec4(t.rgb * uDiffuse.rgb, t.a * uDiffuse.a);
    }
    vec3 colour = base.rgb * vLight;
    if (uShininess > 0.0) {
        float facing = clamp((vLight - uAmbient) / (1.0 - uAmbient), 0.0, 1.0);
        // facing^exponent as Schlick's rational form: a few operations instead of a power
        colour += uSpecular * (facing / (uShininess - uShininess * facing + facing));
    }
    fragColour = vec4(colour, base.a);
}
)";

GLuint compile(GLenum type, const char* source) {
    GLuint s = glCreateShader(type);
    glShaderSource(s, 1, &source, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[2048] = {};
        glGetShaderInfoLog(s, sizeof log, nullptr, log);
        std::fprintf(stderr, "renderer: cannot compile shader: %s\n", log);
        glDeleteShader(s);
        return 0;
    }
    return s;
}

GLuint link(const char* vs, const char* fs) {
    GLuint v = compile(GL_VERTEX_SHADER, vs);
    GLuint f = compile(GL_FRAGMENT_SHADER, fs);
    if (!v || !f) {
        glDeleteShader(v);
        glDeleteShader(f);
        return 0;
    }
    GLuint p = glCreateProgram();
    glAttachShader(p, v);
    glAttachShader(p, f);
    glLinkProgram(p);
    glDeleteShader(v);
    glDeleteShader(f);
    GLint ok = 0;
    glGetProgramiv(p, GL_LINK_STATUS, &ok);
    if (!ok) {
        char log[2048] = {};
        glGetProgramInfoLog(p, sizeof log, nullptr, log);
        std::fprintf(stderr, "renderer: cannot link shaders: %s\n", log);
        glDeleteProgram(p);
        return 0;
    }
    return p;
}

struct gpuMesh {
    GLuint vao = 0;
    GLuint buffers[4] = {0, 0, 0, 0}; // positions, normals, uvs, indices
    GLsizei indexCount = 0;
    GLenum indexType = GL_UNSIGNED_INT;
    bool lines = false;
    bool hasUvs = false;
    bool valid = false; // false: the data was refused; nothing is drawn for this key
    std::size_t lastDrawn = 0;

    void release() {
        if (vao) {
            glDeleteVertexArrays(1, &vao);
        }
        glDeleteBuffers(4, buffers);
        vao = 0;
        std::fill(std::begin(buffers), std::end(buffers), 0u);
    }
};

struct gpuTexture {
    GLuint name = 0; // 0: the picture had no pixels
    bool hasAlpha = false;
    std::size_t lastDrawn = 0;
};

// The edge pass: one triangle over the viewport; a pixel whose diagonal neighbours step in
// brightness (FXAA's test) is blended with them, which softens the steps of an edge, and every
// other pixel is left as it is. Only unfiltered reads: a software rasterizer filters slowly, and
// FXAA's filtered search along the edge cost llvmpipe half the frame rate on large.3ds.
const char* const edgeVertexShader = R"(#version 330 core
void main() {
    vec2 p = vec2(float((gl_VertexID & 1) << 2), float((gl_VertexID & 2) << 1)) - 1.0;
    gl_Position = vec4(p, 0.0, 1.0);
}
)";

const char* const edgeFragmentShader = R"(#version 330 core
uniform sampler2D uPicture;
uniform ivec2 uLast;
out vec4 fragColour;
float luma(vec3 c) { return dot(c, vec3(0.299, 0.587, 0.114)); }
vec3 texel(ivec2 p) { return texelFetch(uPicture, clamp(p, ivec2(0), uLast), 0).rgb; }
void main() {
    ivec2 p = ivec2(gl_FragCoord.xy);
    vec3 m = texelFetch(uPicture, p, 0).rgb;
    vec3 nw = texel(p + ivec2(-1, 1)), ne = texel(p + ivec2(1, 1));
    vec3 sw = texel(p + ivec2(-1, -1)), se = texel(p + ivec2(1, -1));
    float lNW = luma(nw), lNE = luma(ne), lSW = luma(sw), lSE = luma(se), lM = luma(m);
    float lo = min(lM, min(min(lNW, lNE), min(lSW, lSE)));
    float hi = max(lM, max(max(lNW, lNE), max(lSW, lSE)));
    if (hi - lo < max(0.0312, hi * 0.125)) {
        fragColour = vec4(m, 1.0);
        return;
    }
    // An edge: the pixel blends with its diagonal neighbours, which softens its steps.
    fragColour = vec4(m * 0.5 + (nw + ne + sw + se) * 0.125, 1.0);
}
)";

// Why a mesh is refused, or null when it is drawable.
const char* checkMesh(const drawItem& item) {
    if (!item.positions) {
        return "no positions";
    }
    if (!item.indices) {
        return "no indices";
    }
    const std::uint32_t n = item.vertexCount;
    for (std::uint32_t i = 0; i < item.indexCount; ++i) {
        if (item.indices[i] >= n) {
            return "an index is out of range";
        }
    }
    return nullptr;
}

// What a cache entry belongs to: the key's control block and the address it points at. Keys that
// share an owner (the meshes and pictures of one imported scene all point into it) still name
// different entries, and an expired key never matches a new one that happens to live at the same
// address, since the entry holds the old control block.
struct cacheKey {
    std::weak_ptr<const void> owner;
    const void* address = nullptr;

    explicit cacheKey(const std::shared_ptr<const void>& key) : owner(key), address(key.get()) {}
};

struct cacheKeyLess {
    bool operator()(const cacheKey& a, const cacheKey& b) const {
        if (a.owner.owner_before(b.owner)) {
            return true;
        }
        if (b.owner.owner_before(a.owner)) {
            return false;
        }
        return std::less<const void*>()(a.address, b.address);
    }
};

} // namespace

struct renderer::impl {
    GLuint program = 0;
    GLint uModelView = -1, uProjection = -1, uNormalMatrix = -1, uDiffuse = -1, uSpecular = -1,
          uShininess = -1, uTextured = -1, uLit = -1, uAmbient = -1, uTexture = -1;

    std::map<cacheKey, gpuMesh, cacheKeyLess> meshes;
    std::map<cacheKey, gpuTexture, cacheKeyLess> textures;
    std::size_t frameNumber = 0;
    std::size_t idleFrames = 300;
    rendererStats counters;

    // The edge pass: its program, the picture the scene is drawn into and its depth, at the size
    // of the last frame.
    bool smoothEdges = false;
    GLuint edgeProgram = 0, edgeVao = 0, edgeFramebuffer = 0, edgePicture = 0, edgeDepth = 0;
    GLint uPicture = -1, uLast = -1;
    int edgeWidth = 0, edgeHeight = 0;

    void releaseEdgeTarget() {
        glDeleteFramebuffers(1, &edgeFramebuffer);
        glDeleteTextures(1, &edgePicture);
        glDeleteRenderbuffers(1, &edgeDepth);
        edgeFramebuffer = edgePicture = edgeDepth = 0;
        edgeWidth = edgeHeight = 0;
    }

    // The picture to draw the scene into at width x height, made on first use and on a new size;
    // false when it cannot be made (the scene is then drawn straight to the target).
    bool edgeTarget(int width, int height) {
        if (!edgeProgram) {
            edgeProgram = link(edgeVertexShader, edgeFragmentShader);
            if (!edgeProgram) {
                smoothEdges = false;
                return false;
            }
            uPicture = glGetUniformLocation(edgeProgram, "uPicture");
            uLast = glGetUniformLocation(edgeProgram, "uLast");
            glGenVertexArrays(1, &edgeVao);
        }
        if (edgeFramebuffer && width == edgeWidth && height == edgeHeight) {
            return true;
        }
        releaseEdgeTarget();
        glGenTextures(1, &edgePicture);
        glBindTexture(GL_TEXTURE_2D, edgePicture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     nullptr);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glGenRenderbuffers(1, &edgeDepth);
        glBindRenderbuffer(GL_RENDERBUFFER, edgeDepth);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
        glGenFramebuffers(1, &edgeFramebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, edgeFramebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, edgePicture, 0);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, edgeDepth);
        const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        if (!complete) {
            std::fprintf(stderr,
                         "renderer: edges drawn as they are: no %dx%d picture to draw into\n",
                         width, height);
            releaseEdgeTarget();
            smoothEdges = false;
            return false;
        }
        edgeWidth = width;
        edgeHeight = height;
        return true;
    }

    // The scene's picture onto `target` through the edge pass.
    void smoothOnto(GLuint target, int width, int height) {
        glBindFramebuffer(GL_FRAMEBUFFER, target);
        glViewport(0, 0, width, height);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_BLEND);
        glUseProgram(edgeProgram);
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, edgePicture);
        glUniform1i(uPicture, 0);
        glUniform2i(uLast, width - 1, height - 1);
        glBindVertexArray(edgeVao);
        glDrawArrays(GL_TRIANGLES, 0, 3);
        glBindVertexArray(0);
        glUseProgram(0);
    }

    gpuMesh upload(const drawItem& item) {
        gpuMesh m;
        m.lines = item.lines;
        if (const char* why = checkMesh(item)) {
            std::fprintf(stderr, "renderer: mesh not drawn: %s (%u vertices, %u indices)\n", why,
                         item.vertexCount, item.indexCount);
            return m;
        }
        const std::uint32_t per = item.lines ? 2 : 3;
        m.indexCount = static_cast<GLsizei>(item.indexCount - item.indexCount % per);
        m.hasUvs = item.uvs != nullptr;
        m.valid = true;
        ++counters.uploads;

        // Shared vertices: files that store three per triangle (3DS through Assimp does) would
        // otherwise cost the vertex work of every frame three times over. Without normals, the
        // positions are shared first so that the computed normals can smooth across triangles.
        std::size_t vertexCount = item.vertexCount;
        normalMesh shared;
        if (item.lines) {
            shared.positions.assign(item.positions, item.positions + vertexCount * 3);
            shared.indices.assign(item.indices, item.indices + m.indexCount);
        } else if (item.normals) {
            shared = weldVertices(item.positions, item.normals, item.uvs, vertexCount, item.indices,
                                  static_cast<std::size_t>(m.indexCount));
        } else {
            const normalMesh welded =
                weldVertices(item.positions, nullptr, item.uvs, vertexCount, item.indices,
                             static_cast<std::size_t>(m.indexCount));
            shared = computeNormals(welded.positions.data(), item.uvs ? welded.uvs.data() : nullptr,
                                    welded.positions.size() / 3, welded.indices.data(),
                                    welded.indices.size());
        }
        vertexCount = shared.positions.size() / 3;
        m.indexCount = static_cast<GLsizei>(shared.indices.size());
        counters.uploadedVertices += vertexCount;
        const float* positions = shared.positions.data();
        const float* normals = shared.normals.empty() ? nullptr : shared.normals.data();
        const float* uvs = shared.uvs.empty() ? nullptr : shared.uvs.data();
        const std::uint32_t* indices = shared.indices.data();

        glGenVertexArrays(1, &m.vao);
        glBindVertexArray(m.vao);
        glGenBuffers(4, m.buffers);
        auto attribute = [&](GLuint index, GLuint buffer, const float* data, int components) {
            glBindBuffer(GL_ARRAY_BUFFER, buffer);
            glBufferData(GL_ARRAY_BUFFER,
                         static_cast<GLsizeiptr>(vertexCount * components * sizeof(float)), data,
                         GL_STATIC_DRAW);
            glVertexAttribPointer(index, components, GL_FLOAT, GL_FALSE, 0, nullptr);
            glEnableVertexAttribArray(index);
        };
        attribute(0, m.buffers[0], positions, 3);
        if (normals) {
            attribute(1, m.buffers[1], normals, 3);
        }
        if (uvs) {
            attribute(2, m.buffers[2], uvs, 2);
        }
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m.buffers[3]);
        // 16-bit indices where they suffice: half the index traffic of every frame.
        if (vertexCount <= 65536) {
            const std::vector<std::uint16_t> narrow(indices, indices + m.indexCount);
            glBufferData(GL_ELEMENT_ARRAY_BUFFER,
                         static_cast<GLsizeiptr>(narrow.size() * sizeof(std::uint16_t)),
                         narrow.data(), GL_STATIC_DRAW);
            m.indexType = GL_UNSIGNED_SHORT;
        } else {
            glBufferData(GL_ELEMENT_ARRAY_BUFFER,
                         static_cast<GLsizeiptr>(static_cast<std::size_t>(m.indexCount) *
                                                 sizeof(std::uint32_t)),
                         indices, GL_STATIC_DRAW);
        }
        glBindVertexArray(0);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        return m;
    }

    gpuTexture* texture(const drawItem& item) {
        auto [it, inserted] = textures.try_emplace(cacheKey(item.textureKey));
        gpuTexture& t = it->second;
        t.lastDrawn = frameNumber;
        if (!inserted) {
            return t.name ? &t : nullptr;
        }
        const texturePixels& p = item.texture;
        const std::uint64_t pixels = std::uint64_t{p.width} * p.height;
        GLint largest = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
        if (!p.rgba || pixels == 0 || p.width > static_cast<std::uint32_t>(largest) ||
            p.height > static_cast<std::uint32_t>(largest)) {
            std::fprintf(stderr, "renderer: texture not drawn: %ux%u pixels\n", p.width, p.height);
            return nullptr;
        }
        // Texture coordinates put v = 0 at the bottom of the picture, GL's first row; the picture
        // starts at the top.
        const std::size_t row = static_cast<std::size_t>(p.width) * 4;
        std::vector<std::uint8_t> flipped(row * p.height);
        for (std::uint32_t y = 0; y < p.height; ++y) {
            std::copy_n(p.rgba + static_cast<std::size_t>(p.height - 1 - y) * row, row,
                        flipped.data() + static_cast<std::size_t>(y) * row);
        }
        t.hasAlpha = p.hasAlpha;
        glGenTextures(1, &t.name);
        glBindTexture(GL_TEXTURE_2D, t.name);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, static_cast<GLsizei>(p.width),
                     static_cast<GLsizei>(p.height), 0, GL_RGBA, GL_UNSIGNED_BYTE, flipped.data());
        glGenerateMipmap(GL_TEXTURE_2D);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        return &t;
    }

    void drawMesh(const gpuMesh& m, const drawItem& item, const matrix& view, gpuTexture* tex) {
        const matrix modelView = detail::multiply(item.world, view);
        const auto normal = detail::normalMatrix(modelView);
        glUniformMatrix4fv(uModelView, 1, GL_FALSE, modelView.data());
        glUniformMatrix3fv(uNormalMatrix, 1, GL_FALSE, normal.data());
        glUniform4fv(uDiffuse, 1, item.diffuse.data());
        const bool shiny =
            !m.lines && item.shininess > 0.0f &&
            (item.specular[0] > 0.0f || item.specular[1] > 0.0f || item.specular[2] > 0.0f);
        glUniform3fv(uSpecular, 1, item.specular.data());
        glUniform1f(uShininess, shiny ? std::min(item.shininess, 128.0f) : 0.0f);
        const bool textured = tex && m.hasUvs;
        glUniform1i(uTextured, textured ? 1 : 0);
        glUniform1i(uLit, m.lines ? 0 : 1);
        if (textured) {
            glBindTexture(GL_TEXTURE_2D, tex->name);
        }
        glBindVertexArray(m.vao);
        if (!m.hasUvs) {
            glVertexAttrib2f(2, 0.0f, 0.0f);
        }
        glDrawElements(m.lines ? GL_LINES : GL_TRIANGLES, m.indexCount, m.indexType, nullptr);
        ++counters.drawnItems;
        if (!m.lines) {
            counters.drawnTriangles += static_cast<std::size_t>(m.indexCount) / 3;
        }
    }

    void releaseIdle() {
        for (auto it = meshes.begin(); it != meshes.end();) {
            const bool idle = idleFrames && frameNumber - it->second.lastDrawn > idleFrames;
            if (it->first.owner.expired() || idle) {
                it->second.release();
                it = meshes.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = textures.begin(); it != textures.end();) {
            const bool idle = idleFrames && frameNumber - it->second.lastDrawn > idleFrames;
            if (it->first.owner.expired() || idle) {
                glDeleteTextures(1, &it->second.name);
                it = textures.erase(it);
            } else {
                ++it;
            }
        }
    }
};

renderer::renderer() : impl_(std::make_unique<impl>()) {
    impl& d = *impl_;
    d.program = link(vertexShader, fragmentShader);
    if (!d.program) {
        return;
    }
    d.uModelView = glGetUniformLocation(d.program, "uModelView");
    d.uProjection = glGetUniformLocation(d.program, "uProjection");
    d.uNormalMatrix = glGetUniformLocation(d.program, "uNormalMatrix");
    d.uDiffuse = glGetUniformLocation(d.program, "uDiffuse");
    d.uSpecular = glGetUniformLocation(d.program, "uSpecular");
    d.uShininess = glGetUniformLocation(d.program, "uShininess");
    d.uTextured = glGetUniformLocation(d.program, "uTextured");
    d.uLit = glGetUniformLocation(d.program, "uLit");
    d.uAmbient = glGetUniformLocation(d.program, "uAmbient");
    d.uTexture = glGetUniformLocation(d.program, "uTexture");
}

renderer::~renderer() {
    for (auto& [key, m] : impl_->meshes) {
        m.release();
    }
    for (auto& [key, t] : impl_->textures) {
        glDeleteTextures(1, &t.name);
    }
    glDeleteProgram(impl_->program);
    impl_->releaseEdgeTarget();
    glDeleteVertexArrays(1, &impl_->edgeVao);
    glDeleteProgram(impl_->edgeProgram);
}

void renderer::setSmoothEdges(bool on) {
    impl_->smoothEdges = on;
}

bool renderer::ok() const {
    return impl_->program != 0;
}

void renderer::draw(const frame& f, int width, int height) {
    impl& d = *impl_;
    ++d.frameNumber;
    d.counters.drawnItems = 0;
    d.counters.drawnTriangles = 0;

    // With the edge pass, the scene goes into a picture of its own first.
    GLint target = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &target);
    const bool smooth =
        d.smoothEdges && d.program && width > 0 && height > 0 && d.edgeTarget(width, height);
    if (smooth) {
        glBindFramebuffer(GL_FRAMEBUFFER, d.edgeFramebuffer);
    }

    glViewport(0, 0, width, height);
    glDisable(GL_SCISSOR_TEST);
    glDepthMask(GL_TRUE);
    glClearColor(f.background[0], f.background[1], f.background[2], f.background[3]);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (!d.program || width <= 0 || height <= 0) {
        d.releaseIdle();
        return;
    }

    matrix view = identityMatrix;
    if (!detail::invert(detail::withoutScale(f.view.world), view)) {
        view = identityMatrix;
    }
    const float nearPlane = f.view.nearPlane > 0 ? f.view.nearPlane : 0.05f;
    const float farPlane = f.view.farPlane > nearPlane ? f.view.farPlane : nearPlane * 20000.0f;
    const float fov = f.view.fovY > 1.0f && f.view.fovY < 179.0f ? f.view.fovY : 60.0f;
    const matrix projection = detail::perspective(
        fov, static_cast<float>(width) / static_cast<float>(height), nearPlane, farPlane);

    glUseProgram(d.program);
    glUniformMatrix4fv(d.uProjection, 1, GL_FALSE, projection.data());
    glUniform1f(d.uAmbient, 0.3f);
    glUniform1i(d.uTexture, 0);
    glActiveTexture(GL_TEXTURE0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glDisable(GL_CULL_FACE);
    glDisable(GL_BLEND);

    // Opaque items now, blended ones after them with depth writes off, so that what lies behind a
    // transparent surface is already in the picture.
    struct pending {
        const drawItem* item;
        const gpuMesh* mesh;
        gpuTexture* tex;
    };
    std::vector<pending> blended;
    std::vector<gpuMesh> transient;
    transient.reserve(f.items.size());
    for (const drawItem& item : f.items) {
        if (item.vertexCount == 0 || item.indexCount == 0) {
            continue;
        }
        const gpuMesh* m = nullptr;
        if (item.key) {
            auto it = d.meshes.find(cacheKey(item.key));
            if (it == d.meshes.end()) {
                it = d.meshes.emplace(cacheKey(item.key), d.upload(item)).first;
            }
            it->second.lastDrawn = d.frameNumber;
            m = &it->second;
        } else {
            transient.push_back(d.upload(item));
            m = &transient.back();
        }
        if (!m->valid) {
            continue;
        }
        gpuTexture* tex = item.textureKey ? d.texture(item) : nullptr;
        if (item.diffuse[3] < 1.0f || (tex && tex->hasAlpha && m->hasUvs)) {
            blended.push_back({&item, m, tex});
            continue;
        }
        d.drawMesh(*m, item, view, tex);
    }
    if (!blended.empty()) {
        glEnable(GL_BLEND);
        glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        glDepthMask(GL_FALSE);
        for (const pending& p : blended) {
            d.drawMesh(*p.mesh, *p.item, view, p.tex);
        }
        glDepthMask(GL_TRUE);
        glDisable(GL_BLEND);
    }
    glBindVertexArray(0);
    glUseProgram(0);
    for (gpuMesh& m : transient) {
        m.release();
    }
    d.releaseIdle();
    if (smooth) {
        d.smoothOnto(static_cast<GLuint>(target), width, height);
    }
}

void renderer::releaseUnused(const std::set<const void*>& live) {
    for (auto it = impl_->meshes.begin(); it != impl_->meshes.end();) {
        if (it->first.owner.expired() || !live.count(it->first.address)) {
            it->second.release();
            it = impl_->meshes.erase(it);
        } else {
            ++it;
        }
    }
}

void renderer::setIdleFrames(std::size_t frames) {
    impl_->idleFrames = frames;
}

rendererStats renderer::stats() const {
    rendererStats s = impl_->counters;
    s.meshes = static_cast<std::size_t>(std::count_if(
        impl_->meshes.begin(), impl_->meshes.end(), [](const auto& m) { return m.second.valid; }));
    s.textures =
        static_cast<std::size_t>(std::count_if(impl_->textures.begin(), impl_->textures.end(),
                                               [](const auto& t) { return t.second.name != 0; }));
    return s;
}

} // namespace zel::render
