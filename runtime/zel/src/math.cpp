// Our matrix4 is row-major for row vectors (v' = v * M); GLM's mat4 is column-major for column
// vectors (v' = G * v). The same 16 floats serve both: G = transpose(M), so a product M = A * B is
// G = G_B * G_A, and a GLM rotation matrix copied element by element is our rotation.
#include <zel/math.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>
#include <glm/gtc/type_ptr.hpp>
#include <glm/mat4x4.hpp>

namespace zel {

namespace {

glm::mat4 toGlm(const matrix4& m) {
    return glm::make_mat4(m.data());
}

matrix4 fromGlm(const glm::mat4& g) {
    return matrix4(glm::value_ptr(g));
}

glm::mat4 rotation(float degrees, const glm::vec3& axis) {
    return glm::rotate(glm::mat4(1.0f), glm::radians(degrees), axis);
}

} // namespace

matrix4::matrix4() {
    makeIdentity();
}

matrix4::matrix4(const float* rowMajor) {
    std::memcpy(m_, rowMajor, sizeof m_);
}

void matrix4::makeIdentity() {
    std::fill(std::begin(m_), std::end(m_), 0.0f);
    m_[0] = m_[5] = m_[10] = m_[15] = 1.0f;
}

void matrix4::setEuler(const vec3& degrees) {
    const glm::mat4 rx = rotation(degrees[0], {1.0f, 0.0f, 0.0f});
    const glm::mat4 ry = rotation(degrees[1], {0.0f, 1.0f, 0.0f});
    const glm::mat4 rz = rotation(degrees[2], {0.0f, 0.0f, 1.0f});
    *this = fromGlm(rz * ry * rx);
}

void matrix4::setQuat(const quat& q) {
    glm::quat g(q[3], q[0], q[1], q[2]);
    const float length = glm::length(g);
    // Not a rotation at all: keep the matrix meaningful rather than fill it with NaN.
    if (!(length > 0.0f) || !std::isfinite(length)) {
        makeIdentity();
        return;
    }
    *this = fromGlm(glm::mat4_cast(g / length));
}

void matrix4::setTranslate(const vec3& t) {
    makeIdentity();
    m_[12] = t[0];
    m_[13] = t[1];
    m_[14] = t[2];
}

void matrix4::setScale(const vec3& s) {
    makeIdentity();
    m_[0] = s[0];
    m_[5] = s[1];
    m_[10] = s[2];
}

void matrix4::preMult(const matrix4& r) {
    *this = r * *this;
}

void matrix4::postMult(const matrix4& r) {
    *this = *this * r;
}

void matrix4::preQuat(const quat& q) {
    matrix4 r;
    r.setQuat(q);
    preMult(r);
}

matrix4 matrix4::operator*(const matrix4& r) const {
    return fromGlm(toGlm(r) * toGlm(*this));
}

vec3 matrix4::transformPoint(const vec3& p) const {
    const glm::vec4 v = toGlm(*this) * glm::vec4(p[0], p[1], p[2], 1.0f);
    // A projective matrix gives w != 1; an affine one never does.
    const float w = (v.w != 0.0f && v.w != 1.0f) ? v.w : 1.0f;
    return vec3(v.x / w, v.y / w, v.z / w);
}

matrix4 matrix4::inverseAffine() const {
    // Rows 0..2 of the upper 3x3 are the images of the axes; GLM's mat3 of the same floats is its
    // transpose, whose inverse is the transpose of the inverse, so the layout carries over.
    const glm::mat3 a(toGlm(*this));
    const float det = glm::determinant(a);
    if (det == 0.0f || !std::isfinite(det))
        return matrix4();
    const glm::mat3 inv = glm::inverse(a);
    // v = (v' - t) * A^-1: the new translation row is -t * A^-1, in GLM terms -(G_inv * t).
    const glm::vec3 t(m_[12], m_[13], m_[14]);
    const glm::vec3 invT = -(inv * t);
    glm::mat4 g(inv);
    g[3] = glm::vec4(invT, 1.0f);
    matrix4 result = fromGlm(g);
    for (float v : result.m_)
        if (!std::isfinite(v))
            return matrix4();
    return result;
}

} // namespace zel
