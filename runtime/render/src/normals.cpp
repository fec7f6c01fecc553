#include <zel/render/normals.h>

#include <array>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace zel::render {

namespace {

using vec3 = std::array<double, 3>;

double dot(const vec3& a, const vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

} // namespace

normalMesh computeNormals(const float* positions, const float* uvs, std::size_t vertexCount,
                          const std::uint32_t* indices, std::size_t indexCount,
                          float creaseDegrees) {
    const std::size_t triangles = indexCount / 3;
    // Area-weighted face normals (the cross product's length is twice the area) and unit ones;
    // a triangle that cannot decide a direction keeps zeros in both.
    std::vector<vec3> weighted(triangles, vec3{0, 0, 0});
    std::vector<vec3> unit(triangles, vec3{0, 0, 0});
    std::vector<std::uint32_t> incidence(vertexCount + 1, 0);
    for (std::size_t t = 0; t < triangles; ++t) {
        const std::uint32_t* i = indices + t * 3;
        if (i[0] >= vertexCount || i[1] >= vertexCount || i[2] >= vertexCount) {
            continue;
        }
        const float* a = positions + std::size_t(i[0]) * 3;
        const float* b = positions + std::size_t(i[1]) * 3;
        const float* c = positions + std::size_t(i[2]) * 3;
        const vec3 u{double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
        const vec3 v{double(c[0]) - a[0], double(c[1]) - a[1], double(c[2]) - a[2]};
        const vec3 n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                     u[0] * v[1] - u[1] * v[0]};
        const double len = std::sqrt(dot(n, n));
        if (!std::isfinite(len) || len <= 1e-300) {
            continue;
        }
        weighted[t] = n;
        unit[t] = {n[0] / len, n[1] / len, n[2] / len};
        for (int k = 0; k < 3; ++k) {
            ++incidence[i[k] + 1];
        }
    }
    // Triangles around each vertex, as one flat list (offsets in `incidence`).
    for (std::size_t v = 0; v < vertexCount; ++v) {
        incidence[v + 1] += incidence[v];
    }
    std::vector<std::uint32_t> around(incidence[vertexCount]);
    std::vector<std::uint32_t> fill(incidence.begin(), incidence.end() - 1);
    for (std::size_t t = 0; t < triangles; ++t) {
        if (unit[t][0] == 0 && unit[t][1] == 0 && unit[t][2] == 0) {
            continue;
        }
        for (int k = 0; k < 3; ++k) {
            around[fill[indices[t * 3 + k]]++] = static_cast<std::uint32_t>(t);
        }
    }

    const double creaseCos = std::cos(double(creaseDegrees) * 3.14159265358979323846 / 180.0);
    normalMesh out;
    out.positions.reserve(vertexCount * 3);
    out.normals.reserve(vertexCount * 3);
    if (uvs) {
        out.uvs.reserve(vertexCount * 2);
    }
    out.indices.reserve(triangles * 3);
    // Output vertices made from each input vertex so far: corners whose normals come out bit for
    // bit equal (same triangles summed in the same order) share one.
    std::vector<std::vector<std::uint32_t>> made(vertexCount);
    auto emit = [&](std::uint32_t source, const float n[3]) -> std::uint32_t {
        for (std::uint32_t candidate : made[source]) {
            if (std::memcmp(&out.normals[std::size_t(candidate) * 3], n, 3 * sizeof(float)) == 0) {
                return candidate;
            }
        }
        const auto index = static_cast<std::uint32_t>(out.positions.size() / 3);
        out.positions.insert(out.positions.end(), positions + std::size_t(source) * 3,
                             positions + std::size_t(source) * 3 + 3);
        out.normals.insert(out.normals.end(), n, n + 3);
        if (uvs) {
            out.uvs.insert(out.uvs.end(), uvs + std::size_t(source) * 2,
                           uvs + std::size_t(source) * 2 + 2);
        }
        made[source].push_back(index);
        return index;
    };
    for (std::size_t t = 0; t < triangles; ++t) {
        const std::uint32_t* i = indices + t * 3;
        if (i[0] >= vertexCount || i[1] >= vertexCount || i[2] >= vertexCount) {
            continue;
        }
        const bool decided = unit[t][0] != 0 || unit[t][1] != 0 || unit[t][2] != 0;
        for (int k = 0; k < 3; ++k) {
            vec3 sum{0, 0, 0};
            if (decided) {
                for (std::uint32_t s = incidence[i[k]]; s < incidence[i[k] + 1]; ++s) {
                    const std::uint32_t other = around[s];
                    if (dot(unit[t], unit[other]) >= creaseCos) {
                        for (int c = 0; c < 3; ++c) {
                            sum[c] += weighted[other][c];
                        }
                    }
                }
            }
            const double len = std::sqrt(dot(sum, sum));
            float n[3] = {0, 0, 0};
            if (len > 1e-300) {
                for (int c = 0; c < 3; ++c) {
                    n[c] = static_cast<float>(sum[c] / len);
                }
            }
            out.indices.push_back(emit(i[k], n));
        }
    }
    return out;
}

normalMesh weldVertices(const float* positions, const float* normals, const float* uvs,
                        std::size_t vertexCount, const std::uint32_t* indices,
                        std::size_t indexCount) {
    // A vertex is compared as the raw bits of its up to eight floats, so that -0 and 0 or two NaNs
    // with different payloads stay apart, as they would draw apart.
    struct key {
        std::array<std::uint32_t, 8> bits{};
        bool operator==(const key&) const = default;
    };
    struct hash {
        std::size_t operator()(const key& k) const {
            std::uint64_t h = 0x9E3779B97F4A7C15ull;
            for (std::uint32_t b : k.bits) {
                h = (h ^ b) * 0x100000001B3ull;
                h ^= h >> 29;
            }
            return static_cast<std::size_t>(h);
        }
    };
    auto keyOf = [&](std::uint32_t v) {
        key k;
        std::memcpy(&k.bits[0], positions + std::size_t(v) * 3, 3 * sizeof(float));
        if (normals) {
            std::memcpy(&k.bits[3], normals + std::size_t(v) * 3, 3 * sizeof(float));
        }
        if (uvs) {
            std::memcpy(&k.bits[6], uvs + std::size_t(v) * 2, 2 * sizeof(float));
        }
        return k;
    };
    normalMesh out;
    out.indices.reserve(indexCount);
    std::unordered_map<key, std::uint32_t, hash> seen;
    seen.reserve(std::min(vertexCount, indexCount));
    // Vertices met before under the same input index are found without hashing.
    std::vector<std::uint32_t> mapped(vertexCount, UINT32_MAX);
    for (std::size_t i = 0; i < indexCount; ++i) {
        const std::uint32_t v = indices[i];
        if (mapped[v] == UINT32_MAX) {
            const auto [it, added] =
                seen.try_emplace(keyOf(v), static_cast<std::uint32_t>(out.positions.size() / 3));
            if (added) {
                out.positions.insert(out.positions.end(), positions + std::size_t(v) * 3,
                                     positions + std::size_t(v) * 3 + 3);
                if (normals) {
                    out.normals.insert(out.normals.end(), normals + std::size_t(v) * 3,
                                       normals + std::size_t(v) * 3 + 3);
                }
                if (uvs) {
                    out.uvs.insert(out.uvs.end(), uvs + std::size_t(v) * 2,
                                   uvs + std::size_t(v) * 2 + 2);
                }
            }
            mapped[v] = it->second;
        }
        out.indices.push_back(mapped[v]);
    }
    return out;
}

} // namespace zel::render
