// zel math: single-precision vectors, quaternions and 4x4 matrices.
//
// Convention: row vectors. A point transforms as v' = v * M; matrix4 is stored row-major and its
// translation is row 3 (elements 12, 13, 14). Rotations are right-handed.
#pragma once

#include <zel/types.h>

#include <cmath>
#include <cstddef>

namespace zel {

class vec3 {
public:
    vec3() = default;
    vec3(float x, float y, float z) : v_{x, y, z} {}
    void set(float x, float y, float z) {
        v_[0] = x;
        v_[1] = y;
        v_[2] = z;
    }
    float& operator[](std::size_t i) { return v_[i]; }
    float operator[](std::size_t i) const { return v_[i]; }
    // True when all three components are exactly 0.
    bool isIdentity() const { return v_[0] == 0.0f && v_[1] == 0.0f && v_[2] == 0.0f; }
    bool operator==(const vec3&) const = default;

private:
    float v_[3] = {0.0f, 0.0f, 0.0f};
};

class vec4 {
public:
    vec4() = default;
    vec4(float x, float y, float z, float w) : v_{x, y, z, w} {}
    void set(float x, float y, float z, float w) {
        v_[0] = x;
        v_[1] = y;
        v_[2] = z;
        v_[3] = w;
    }
    float& operator[](std::size_t i) { return v_[i]; }
    float operator[](std::size_t i) const { return v_[i]; }
    bool operator==(const vec4&) const = default;

protected:
    float v_[4] = {0.0f, 0.0f, 0.0f, 0.0f};
};

// (x, y, z, w), w the scalar part; the default is the identity rotation (0, 0, 0, 1).
class quat : public vec4 {
public:
    quat() : vec4(0.0f, 0.0f, 0.0f, 1.0f) {}
    quat(float x, float y, float z, float w) : vec4(x, y, z, w) {}
    // True for x = y = z = 0 and w = 1.
    bool isIdentity() const {
        return v_[0] == 0.0f && v_[1] == 0.0f && v_[2] == 0.0f && v_[3] == 1.0f;
    }
};

class ZEL_API matrix4 {
public:
    // The identity.
    matrix4();
    // From 16 values in row-major order.
    explicit matrix4(const float* rowMajor);

    float& operator()(int row, int col) { return m_[row * 4 + col]; }
    float operator()(int row, int col) const { return m_[row * 4 + col]; }
    float* data() { return m_; }
    const float* data() const { return m_; }
    bool operator==(const matrix4&) const = default;

    void makeIdentity();
    // Each set* replaces the whole matrix.
    // The rotation by e.x degrees about X, then e.y about Y, then e.z about Z (M = Rx * Ry * Rz).
    void setEuler(const vec3& degrees);
    // The rotation of a unit quaternion.
    void setQuat(const quat& q);
    void setTranslate(const vec3& t);
    void setScale(const vec3& s);
    // M <- R * M: the rotation acts in the frame the matrix maps from.
    void preMult(const matrix4& r);
    // M <- M * R.
    void postMult(const matrix4& r);
    // M <- R(q) * M.
    void preQuat(const quat& q);
    matrix4 operator*(const matrix4& r) const;
    vec3 transformPoint(const vec3& p) const;
    vec3 getTranslate() const { return vec3(m_[12], m_[13], m_[14]); }
    // Inverse of an affine matrix; the identity when it is singular.
    matrix4 inverseAffine() const;

private:
    float m_[16];
};

// Float functions in the precision of T.
template <class T> struct FloatTrait;

template <> struct FloatTrait<float> {
    static float d2r(float degrees) { return degrees * (3.14159265358979323846f / 180.0f); }
    static float r2d(float radians) { return radians * (180.0f / 3.14159265358979323846f); }
    static float sin(float x) { return std::sin(x); }
    static float cos(float x) { return std::cos(x); }
    static float sqrt(float x) { return std::sqrt(x); }
};

} // namespace zel
