#include "assimp_import.h"
#include "texture_files.h"
#include "three_ds_file.h"

#include <assimp/GltfMaterial.h>
#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/texture.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>

namespace zel::import {

static_assert(std::is_same_v<ai_real, float>, "positions are copied as float arrays");
static_assert(sizeof(aiVector3D) == 3 * sizeof(float));

namespace {

// More nodes than any real model has; a hostile file that claims more fails instead of exhausting
// the helper's memory slowly.
constexpr std::size_t maxNodes = std::size_t{1} << 22;

void setReason(std::string* reason, std::string text) {
    if (reason)
        *reason = std::move(text);
}

material convertMaterial(const aiMaterial& am) {
    material m;
    aiString name;
    if (am.Get(AI_MATKEY_NAME, name) == aiReturn_SUCCESS)
        m.name.assign(name.C_Str(), name.length);
    aiColor4D diffuse;
    if (am.Get(AI_MATKEY_COLOR_DIFFUSE, diffuse) == aiReturn_SUCCESS) {
        m.diffuse[0] = diffuse.r;
        m.diffuse[1] = diffuse.g;
        m.diffuse[2] = diffuse.b;
        m.diffuse[3] = diffuse.a;
    }
    aiColor3D c;
    if (am.Get(AI_MATKEY_COLOR_AMBIENT, c) == aiReturn_SUCCESS) {
        m.ambient[0] = c.r;
        m.ambient[1] = c.g;
        m.ambient[2] = c.b;
    }
    if (am.Get(AI_MATKEY_COLOR_SPECULAR, c) == aiReturn_SUCCESS) {
        float strength = 1.0f;
        am.Get(AI_MATKEY_SHININESS_STRENGTH, strength);
        m.specular[0] = c.r * strength;
        m.specular[1] = c.g * strength;
        m.specular[2] = c.b * strength;
    }
    float shininess = 0.0f;
    if (am.Get(AI_MATKEY_SHININESS, shininess) == aiReturn_SUCCESS && shininess > 0.0f)
        m.shininess = shininess;
    float opacity = 1.0f;
    if (am.Get(AI_MATKEY_OPACITY, opacity) == aiReturn_SUCCESS)
        m.opacity = opacity;
    // glTF keeps its alpha in the base colour alone, which Assimp copies into the opacity too (the
    // two multiplied would count it twice); the alpha mode OPAQUE says to ignore it.
    aiString mode;
    if (am.Get(AI_MATKEY_GLTF_ALPHAMODE, mode) == aiReturn_SUCCESS) {
        m.opacity = 1.0f;
        if (std::string_view(mode.C_Str(), mode.length) == "OPAQUE")
            m.diffuse[3] = 1.0f;
    }
    aiString texture;
    if (am.GetTextureCount(aiTextureType_DIFFUSE) > 0 &&
        am.GetTexture(aiTextureType_DIFFUSE, 0, &texture) == aiReturn_SUCCESS)
        m.diffuseTexture.assign(texture.C_Str(), texture.length);
    return m;
}

// False when the mesh has no triangles left: the caller drops it.
bool convertMesh(const aiMesh& am, std::uint32_t materialCount, mesh& m) {
    if (!am.mVertices || am.mNumVertices == 0 || !am.mFaces)
        return false;
    const std::uint32_t vertices = am.mNumVertices;
    m.indices.resize(std::size_t{am.mNumFaces} * 3);
    std::uint32_t* out = m.indices.data();
    for (unsigned f = 0; f < am.mNumFaces; ++f) {
        const aiFace& face = am.mFaces[f];
        if (face.mNumIndices != 3 || !face.mIndices)
            continue; // a point or a line
        const unsigned a = face.mIndices[0], b = face.mIndices[1], c = face.mIndices[2];
        if (a >= vertices || b >= vertices || c >= vertices)
            continue;
        out[0] = a;
        out[1] = b;
        out[2] = c;
        out += 3;
    }
    m.indices.resize(static_cast<std::size_t>(out - m.indices.data()));
    if (m.indices.empty())
        return false;
    m.indices.shrink_to_fit();

    m.positions.resize(std::size_t{vertices} * 3);
    std::memcpy(m.positions.data(), am.mVertices, m.positions.size() * sizeof(float));
    if (am.mNormals) {
        m.normals.resize(std::size_t{vertices} * 3);
        std::memcpy(m.normals.data(), am.mNormals, m.normals.size() * sizeof(float));
    }
    if (const aiVector3D* uv = am.mTextureCoords[0]) {
        m.uvs.resize(std::size_t{vertices} * 2);
        float* o = m.uvs.data();
        for (std::uint32_t v = 0; v < vertices; ++v) {
            o[2 * v] = uv[v].x;
            o[2 * v + 1] = uv[v].y;
        }
    }
    m.material = am.mMaterialIndex < materialCount ? am.mMaterialIndex : 0;
    return true;
}

void convertMatrix(const aiMatrix4x4& a, float (&m)[16]) {
    // Assimp's matrices act on column vectors (translation in a4, b4, c4); ours on row vectors.
    const float rows[4][4] = {{a.a1, a.b1, a.c1, a.d1},
                              {a.a2, a.b2, a.c2, a.d2},
                              {a.a3, a.b3, a.c3, a.d3},
                              {a.a4, a.b4, a.c4, a.d4}};
    std::memcpy(m, rows, sizeof rows);
}

bool convertNodes(const aiNode& root, const std::vector<std::int64_t>& meshMap, scene& s,
                  std::string* reason) {
    // Depth first, children in order, iteratively: a deep file cannot overflow the stack, and the
    // set of visited nodes keeps a node that appears twice (or a cycle) from being walked again.
    std::vector<std::pair<const aiNode*, std::size_t>> stack{{&root, SIZE_MAX}};
    std::unordered_set<const aiNode*> seen;
    while (!stack.empty()) {
        const auto [an, parent] = stack.back();
        stack.pop_back();
        if (!seen.insert(an).second)
            continue;
        if (s.nodes.size() == maxNodes) {
            setReason(reason, "too many nodes");
            return false;
        }
        const std::size_t index = s.nodes.size();
        node& n = s.nodes.emplace_back();
        n.name.assign(an->mName.C_Str(), an->mName.length);
        convertMatrix(an->mTransformation, n.matrix);
        if (!std::all_of(std::begin(n.matrix), std::end(n.matrix),
                         [](float f) { return std::isfinite(f); })) {
            setReason(reason, "node '" + n.name + "' has a transform that is not a number");
            return false;
        }
        if (an->mMeshes)
            for (unsigned i = 0; i < an->mNumMeshes; ++i) {
                const unsigned m = an->mMeshes[i];
                if (m < meshMap.size() && meshMap[m] >= 0)
                    n.meshes.push_back(static_cast<std::uint32_t>(meshMap[m]));
            }
        if (parent != SIZE_MAX)
            s.nodes[parent].children.push_back(static_cast<std::uint32_t>(index));
        if (an->mChildren)
            for (unsigned i = an->mNumChildren; i-- > 0;)
                if (const aiNode* c = an->mChildren[i])
                    stack.emplace_back(c, index);
    }
    return true;
}

void convertVectorKeys(const aiVectorKey* keys, unsigned n, std::vector<vectorKey>& out) {
    if (!keys)
        return;
    out.resize(n);
    for (unsigned i = 0; i < n; ++i)
        out[i] = {keys[i].mTime, {keys[i].mValue.x, keys[i].mValue.y, keys[i].mValue.z}};
}

void convertQuatKeys(const aiQuatKey* keys, unsigned n, std::vector<quatKey>& out) {
    if (!keys)
        return;
    out.resize(n);
    for (unsigned i = 0; i < n; ++i) {
        const aiQuaternion& q = keys[i].mValue;
        out[i] = {keys[i].mTime, {q.x, q.y, q.z, q.w}};
    }
}

animation convertAnimation(const aiAnimation& aa) {
    animation a;
    a.name.assign(aa.mName.C_Str(), aa.mName.length);
    a.duration = std::isfinite(aa.mDuration) && aa.mDuration > 0 ? aa.mDuration : 0;
    a.ticksPerSecond =
        std::isfinite(aa.mTicksPerSecond) && aa.mTicksPerSecond > 0 ? aa.mTicksPerSecond : 0;
    if (!aa.mChannels)
        return a;
    for (unsigned i = 0; i < aa.mNumChannels; ++i) {
        const aiNodeAnim* an = aa.mChannels[i];
        if (!an)
            continue;
        channel& c = a.channels.emplace_back();
        c.node.assign(an->mNodeName.C_Str(), an->mNodeName.length);
        convertVectorKeys(an->mPositionKeys, an->mNumPositionKeys, c.position);
        convertQuatKeys(an->mRotationKeys, an->mNumRotationKeys, c.rotation);
        convertVectorKeys(an->mScalingKeys, an->mNumScalingKeys, c.scaling);
    }
    return a;
}

bool keyTimesFinite(const animation& a) {
    auto finite = [](const auto& keys) {
        return std::all_of(keys.begin(), keys.end(),
                           [](const auto& k) { return std::isfinite(k.time); });
    };
    return std::all_of(a.channels.begin(), a.channels.end(), [&](const channel& c) {
        return finite(c.position) && finite(c.rotation) && finite(c.scaling);
    });
}

// The last part of a file name, after any slash or backslash.
std::string_view lastPart(std::string_view name) {
    const std::size_t slash = name.find_last_of("/\\");
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

} // namespace

embeddedSource embeddedPictures(const aiScene& as) {
    return [&as](const std::string& name) -> std::optional<embeddedPicture> {
        if (!as.mTextures || as.mNumTextures == 0 || name.empty())
            return std::nullopt;
        const aiTexture* t = nullptr;
        if (name[0] == '*') {
            // Digits only, and no more than an index can have.
            std::uint64_t n = 0;
            const bool digits = name.size() > 1 && name.size() <= 11 &&
                                std::all_of(name.begin() + 1, name.end(),
                                            [](char c) { return c >= '0' && c <= '9'; });
            if (!digits)
                return std::nullopt;
            for (std::size_t i = 1; i < name.size(); ++i)
                n = n * 10 + static_cast<unsigned>(name[i] - '0');
            if (n < as.mNumTextures)
                t = as.mTextures[n];
        } else {
            const std::string_view wanted = lastPart(name);
            for (unsigned i = 0; i < as.mNumTextures && !t; ++i)
                if (as.mTextures[i] && !wanted.empty() &&
                    lastPart({as.mTextures[i]->mFilename.C_Str(),
                              as.mTextures[i]->mFilename.length}) == wanted)
                    t = as.mTextures[i];
        }
        if (!t || !t->pcData || t->mWidth == 0)
            return std::nullopt;
        embeddedPicture p;
        p.name = lastPart(name);
        p.bytes = reinterpret_cast<const std::uint8_t*>(t->pcData);
        if (t->mHeight == 0) {
            p.size = t->mWidth; // an image file of mWidth bytes
        } else {
            p.width = t->mWidth;
            p.height = t->mHeight;
            p.size = std::size_t{t->mWidth} * t->mHeight * sizeof(aiTexel);
        }
        return p;
    };
}

std::vector<bool> alphaIsOpacity(const aiScene& as) {
    std::vector<bool> asks(as.mMaterials ? as.mNumMaterials : 0, false);
    for (std::size_t i = 0; i < asks.size(); ++i) {
        const aiMaterial* am = as.mMaterials[i];
        if (!am)
            continue;
        aiString mode;
        if (am->Get(AI_MATKEY_GLTF_ALPHAMODE, mode) == aiReturn_SUCCESS) {
            const std::string_view m(mode.C_Str(), mode.length);
            asks[i] = m == "BLEND" || m == "MASK";
        } else {
            asks[i] = am->GetTextureCount(aiTextureType_OPACITY) > 0;
        }
    }
    return asks;
}

unsigned int assimpImportFlags() {
    // Triangulate costs nothing on files that hold triangles only (it skips meshes whose primitive
    // types have no polygons) and turns other formats' polygons into triangles. Vertices are not
    // joined: that doubles the load time of a large 3DS file, and the renderer draws unshared
    // vertices as well. No normals are generated: the renderer computes them for meshes without.
    return aiProcess_Triangulate;
}

std::optional<scene> convertScene(const aiScene& as, std::string* reason) {
    if (!as.mRootNode) {
        setReason(reason, "the file holds no scene");
        return std::nullopt;
    }
    scene s;
    if (as.mMaterials)
        for (unsigned i = 0; i < as.mNumMaterials; ++i)
            s.materials.push_back(as.mMaterials[i] ? convertMaterial(*as.mMaterials[i])
                                                   : material{});
    if (s.materials.empty()) {
        // Every mesh names a material; a file without any gets one neutral one.
        material neutral;
        neutral.name = "default";
        s.materials.push_back(std::move(neutral));
    }

    std::vector<std::int64_t> meshMap(as.mMeshes ? as.mNumMeshes : 0, -1);
    for (std::size_t i = 0; i < meshMap.size(); ++i) {
        mesh m;
        if (as.mMeshes[i] &&
            convertMesh(*as.mMeshes[i], static_cast<std::uint32_t>(s.materials.size()), m)) {
            meshMap[i] = static_cast<std::int64_t>(s.meshes.size());
            s.meshes.push_back(std::move(m));
        }
    }
    if (!convertNodes(*as.mRootNode, meshMap, s, reason))
        return std::nullopt;
    if (as.mAnimations)
        for (unsigned i = 0; i < as.mNumAnimations; ++i)
            if (as.mAnimations[i]) {
                animation a = convertAnimation(*as.mAnimations[i]);
                if (!keyTimesFinite(a)) {
                    setReason(reason,
                              "animation '" + a.name + "' has a key time that is not a number");
                    return std::nullopt;
                }
                s.animations.push_back(std::move(a));
            }
    return s;
}

std::optional<scene> importInProcess(const std::filesystem::path& file, std::string* reason) {
    try {
        Assimp::Importer importer;
        const aiScene* as = importer.ReadFile(file.string(), assimpImportFlags());
        if (!as) {
            const char* why = importer.GetErrorString();
            setReason(reason, why && *why ? why : "Assimp cannot read the file");
            return std::nullopt;
        }
        std::optional<scene> s = convertScene(*as, reason);
        if (s) {
            const threeDsAmends amends = amendFromThreeDsFile(*s, file);
            loadTextures(*s, texturesBeneath({file.has_parent_path() ? file.parent_path() : "."}),
                         nullptr, {embeddedPictures(*as), alphaIsOpacity(*as)});
            if (amends.read)
                picturesReplaceColour(*s);
        }
        return s;
    } catch (const std::bad_alloc&) {
        setReason(reason, "out of memory");
    } catch (const std::exception& e) {
        setReason(reason, e.what());
    } catch (...) {
        setReason(reason, "unknown exception in the importer");
    }
    return std::nullopt;
}

} // namespace zel::import
