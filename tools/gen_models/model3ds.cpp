#include "model3ds.h"

#include "chunk_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

namespace zel::genModels {

namespace {

// Chunk ids of the 3DS format.
enum : std::uint16_t {
    mainChunk = 0x4D4D,
    fileVersion = 0x0002,
    editor = 0x3D3D,
    meshVersion = 0x3D3E,
    colour24 = 0x0011,
    materialBlock = 0xAFFF,
    materialName = 0xA000,
    materialAmbient = 0xA010,
    materialDiffuse = 0xA020,
    textureMap = 0xA200,
    mapName = 0xA300,
    objectBlock = 0x4000,
    triMesh = 0x4100,
    vertexList = 0x4110,
    faceList = 0x4120,
    faceMaterial = 0x4130,
    mapCoordinates = 0x4140,
    smoothingList = 0x4150,
    localAxes = 0x4160,
    keyframer = 0xB000,
    objectNodeTag = 0xB002,
    keyframeSegment = 0xB008,
    keyframeHeader = 0xB00A,
    nodeHeader = 0xB010,
    pivot = 0xB013,
    positionTrack = 0xB020,
    rotationTrack = 0xB021,
    scaleTrack = 0xB022,
    nodeId = 0xB030,
};

constexpr std::uint32_t formatVersion = 3;
constexpr std::uint16_t keyframerRevision = 5;
constexpr std::size_t maxObjectName = 10;
constexpr std::size_t maxMaterialName = 16;
constexpr std::uint16_t trackLoops = 3; // track flag: repeat from the start when the segment ends

std::string lowered(const std::string& s) {
    std::string r = s;
    for (char& c : r) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return r;
}

bool validName(const std::string& name, std::size_t maxLength) {
    return !name.empty() && name.size() <= maxLength && name.find('\0') == std::string::npos;
}

bool finite(vec3 v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

const spinTrack* findSpin(const model& m, const std::string& object) {
    for (const spinTrack& s : m.spins) {
        if (s.object == object) {
            return &s;
        }
    }
    return nullptr;
}

vec3 nodePosition(const model& m, const meshObject& obj) {
    for (const misplacedNode& n : m.misplaced) {
        if (n.object == obj.name) {
            return obj.origin + n.offset;
        }
    }
    return obj.origin;
}

bool validate(const model& m, std::string& error) {
    if (m.name.find('\0') != std::string::npos) {
        error = "model name contains NUL";
        return false;
    }
    std::set<std::string> names;
    for (const material& mat : m.materials) {
        if (!validName(mat.name, maxMaterialName)) {
            error = "material name \"" + mat.name + "\" is empty or longer than 16 characters";
            return false;
        }
        // Readers match face materials by name ignoring case.
        if (!names.insert(lowered(mat.name)).second) {
            error = "material \"" + mat.name + "\" defined twice";
            return false;
        }
    }
    for (const std::string& picture : m.pictures) {
        if (picture.size() > 12 || picture.find('\0') != std::string::npos) {
            error = "picture name \"" + picture + "\" is longer than 12 characters";
            return false;
        }
    }
    if (m.objects.empty() || m.objects.size() > 0xFFFF) {
        error = "model needs 1 to 65535 objects";
        return false;
    }
    names.clear();
    for (const meshObject& obj : m.objects) {
        if (!validName(obj.name, maxObjectName)) {
            error = "object name \"" + obj.name + "\" is empty or longer than 10 characters";
            return false;
        }
        if (!names.insert(obj.name).second) {
            error = "object \"" + obj.name + "\" defined twice";
            return false;
        }
        const std::string where = "object \"" + obj.name + "\": ";
        if (obj.vertices.empty() || obj.vertices.size() > 0xFFFF) {
            error = where + "needs 1 to 65535 vertices";
            return false;
        }
        if (obj.faces.empty() || obj.faces.size() > 0xFFFF) {
            error = where + "needs 1 to 65535 faces";
            return false;
        }
        if (!obj.uvs.empty() && obj.uvs.size() != obj.vertices.size()) {
            error = where + "texture coordinates do not match the vertices";
            return false;
        }
        if (!finite(obj.origin) || !std::all_of(obj.vertices.begin(), obj.vertices.end(), finite)) {
            error = where + "non-finite coordinate";
            return false;
        }
        for (const face& f : obj.faces) {
            const std::size_t n = obj.vertices.size();
            if (f.a >= n || f.b >= n || f.c >= n) {
                error = where + "face refers to a missing vertex";
                return false;
            }
            if (!m.materials.empty() && f.material >= m.materials.size()) {
                error = where + "face refers to a missing material";
                return false;
            }
        }
    }
    for (const misplacedNode& n : m.misplaced) {
        const bool known = std::any_of(m.objects.begin(), m.objects.end(),
                                       [&](const meshObject& o) { return o.name == n.object; });
        if (!known || !finite(n.offset)) {
            error = "misplaced node for unknown object \"" + n.object + "\" or not finite";
            return false;
        }
    }
    names.clear();
    for (const spinTrack& s : m.spins) {
        const bool known = std::any_of(m.objects.begin(), m.objects.end(),
                                       [&](const meshObject& o) { return o.name == s.object; });
        if (!known) {
            error = "spin track for unknown object \"" + s.object + "\"";
            return false;
        }
        if (!names.insert(s.object).second) {
            error = "two spin tracks for object \"" + s.object + "\"";
            return false;
        }
        if (s.keys.empty() || s.keys.size() > 0xFFFF) {
            error = "spin track of \"" + s.object + "\" needs 1 to 65535 keys";
            return false;
        }
        for (std::size_t i = 0; i < s.keys.size(); ++i) {
            const rotationKey& k = s.keys[i];
            if ((i > 0 && k.frame <= s.keys[i - 1].frame) || k.frame > m.frames) {
                error = "spin track of \"" + s.object + "\": key frames must increase within 0.." +
                        std::to_string(m.frames);
                return false;
            }
            if (!std::isfinite(k.angle) || !finite(k.axis) || dot(k.axis, k.axis) == 0.0) {
                error = "spin track of \"" + s.object + "\": bad angle or axis";
                return false;
            }
        }
    }
    return true;
}

void writeColour(chunkWriter& w, std::uint16_t id, colour c) {
    w.beginChunk(id);
    w.beginChunk(colour24);
    w.u8(c.r);
    w.u8(c.g);
    w.u8(c.b);
    w.endChunk();
    w.endChunk();
}

void writeMaterial(chunkWriter& w, const material& mat, const std::string& picture) {
    w.beginChunk(materialBlock);
    w.beginChunk(materialName);
    w.cstr(mat.name);
    w.endChunk();
    writeColour(w, materialAmbient, mat.ambient);
    writeColour(w, materialDiffuse, mat.diffuse);
    if (!picture.empty()) {
        w.beginChunk(textureMap);
        w.beginChunk(mapName);
        w.cstr(picture);
        w.endChunk();
        w.endChunk();
    }
    w.endChunk();
}

void writeVec(chunkWriter& w, vec3 v) {
    w.f32(static_cast<float>(v.x));
    w.f32(static_cast<float>(v.y));
    w.f32(static_cast<float>(v.z));
}

// Vertices are stored in model coordinates; the local axes give the object's own frame (unrotated,
// at its origin), which a reader uses to bring the vertices back into object space.
void writeObject(chunkWriter& w, const model& m, const meshObject& obj) {
    w.beginChunk(objectBlock);
    w.cstr(obj.name);
    w.beginChunk(triMesh);

    w.beginChunk(vertexList);
    w.u16(static_cast<std::uint16_t>(obj.vertices.size()));
    for (const vec3& v : obj.vertices) {
        writeVec(w, v);
    }
    w.endChunk();

    if (!obj.uvs.empty()) {
        w.beginChunk(mapCoordinates);
        w.u16(static_cast<std::uint16_t>(obj.uvs.size()));
        for (const auto& [u, v] : obj.uvs) {
            w.f32(u);
            w.f32(v);
        }
        w.endChunk();
    }

    w.beginChunk(localAxes);
    writeVec(w, {1.0, 0.0, 0.0});
    writeVec(w, {0.0, 1.0, 0.0});
    writeVec(w, {0.0, 0.0, 1.0});
    writeVec(w, obj.origin);
    w.endChunk();

    w.beginChunk(faceList);
    w.u16(static_cast<std::uint16_t>(obj.faces.size()));
    for (const face& f : obj.faces) {
        w.u16(f.a);
        w.u16(f.b);
        w.u16(f.c);
        w.u16(f.edges);
    }
    for (std::size_t mi = 0; mi < m.materials.size(); ++mi) {
        std::vector<std::uint16_t> group;
        for (std::size_t fi = 0; fi < obj.faces.size(); ++fi) {
            if (obj.faces[fi].material == mi) {
                group.push_back(static_cast<std::uint16_t>(fi));
            }
        }
        if (group.empty()) {
            continue;
        }
        w.beginChunk(faceMaterial);
        w.cstr(m.materials[mi].name);
        w.u16(static_cast<std::uint16_t>(group.size()));
        for (std::uint16_t fi : group) {
            w.u16(fi);
        }
        w.endChunk();
    }
    w.beginChunk(smoothingList);
    for (const face& f : obj.faces) {
        w.u32(f.smoothing);
    }
    w.endChunk();
    w.endChunk(); // faceList

    w.endChunk(); // triMesh
    w.endChunk(); // objectBlock
}

void beginTrack(chunkWriter& w, std::uint16_t id, std::uint16_t flags, std::size_t keys) {
    w.beginChunk(id);
    w.u16(flags);
    w.u32(0);
    w.u32(0);
    w.u32(static_cast<std::uint32_t>(keys));
}

void keyHeader(chunkWriter& w, std::uint32_t frame) {
    w.u32(frame);
    w.u16(0); // no tension, continuity, bias or easing
}

// Every object gets a node: readers build their node tree from the keyframer and leave out objects
// that have none. All nodes hang at the top of the hierarchy.
void writeNode(chunkWriter& w, const model& m, const meshObject& obj, std::uint16_t id) {
    w.beginChunk(objectNodeTag);

    w.beginChunk(nodeId);
    w.u16(id);
    w.endChunk();

    w.beginChunk(nodeHeader);
    w.cstr(obj.name);
    w.u16(0);
    w.u16(0);
    w.i16(-1); // no parent
    w.endChunk();

    w.beginChunk(pivot);
    writeVec(w, {0.0, 0.0, 0.0});
    w.endChunk();

    beginTrack(w, positionTrack, 0, 1);
    keyHeader(w, 0);
    writeVec(w, nodePosition(m, obj));
    w.endChunk();

    if (const spinTrack* spin = findSpin(m, obj.name)) {
        beginTrack(w, rotationTrack, spin->keys.size() > 1 ? trackLoops : 0, spin->keys.size());
        for (const rotationKey& k : spin->keys) {
            keyHeader(w, k.frame);
            w.f32(k.angle);
            writeVec(w, k.axis);
        }
    } else {
        beginTrack(w, rotationTrack, 0, 1);
        keyHeader(w, 0);
        w.f32(0.0f);
        writeVec(w, {0.0, 0.0, 1.0});
    }
    w.endChunk();

    beginTrack(w, scaleTrack, 0, 1);
    keyHeader(w, 0);
    writeVec(w, {1.0, 1.0, 1.0});
    w.endChunk();

    w.endChunk(); // objectNodeTag
}

} // namespace

std::size_t triangleCount(const model& m) {
    std::size_t n = 0;
    for (const meshObject& obj : m.objects) {
        n += obj.faces.size();
    }
    return n;
}

bool encode3ds(const model& m, std::vector<std::uint8_t>& out, std::string& error) {
    if (!validate(m, error)) {
        return false;
    }
    chunkWriter w;
    w.beginChunk(mainChunk);

    w.beginChunk(fileVersion);
    w.u32(formatVersion);
    w.endChunk();

    w.beginChunk(editor);
    w.beginChunk(meshVersion);
    w.u32(formatVersion);
    w.endChunk();
    for (std::size_t i = 0; i < m.materials.size(); ++i) {
        writeMaterial(w, m.materials[i], i < m.pictures.size() ? m.pictures[i] : std::string());
    }
    for (const meshObject& obj : m.objects) {
        writeObject(w, m, obj);
    }
    w.endChunk(); // editor

    w.beginChunk(keyframer);
    w.beginChunk(keyframeHeader);
    w.u16(keyframerRevision);
    w.cstr(m.name);
    w.u32(m.frames);
    w.endChunk();
    w.beginChunk(keyframeSegment);
    w.u32(0);
    w.u32(m.frames);
    w.endChunk();
    for (std::size_t i = 0; i < m.objects.size(); ++i) {
        writeNode(w, m, m.objects[i], static_cast<std::uint16_t>(i));
    }
    w.endChunk(); // keyframer

    w.endChunk(); // mainChunk
    out = w.take();
    return true;
}

} // namespace zel::genModels
