// Row-vector 4x4 arithmetic for the renderer (v' = v * M, row-major). Uploaded to GLSL unchanged,
// such a matrix arrives transposed, which is exactly the column-vector form GLSL multiplies with:
// transpose(A * B) = transpose(B) * transpose(A), so "gl_Position = P * MV * p" in the shader is
// p * MV * P here.
#pragma once

#include <zel/render/frame.h>

#include <array>
#include <cmath>

namespace zel::render::detail {

inline matrix multiply(const matrix& a, const matrix& b) {
    matrix r{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k) {
                s += a[i * 4 + k] * b[k * 4 + j];
            }
            r[i * 4 + j] = s;
        }
    }
    return r;
}

// The inverse, or nothing for a singular matrix.
inline bool invert(const matrix& m, matrix& out) {
    // Cofactor expansion in double: a camera far from the origin loses too much in float.
    std::array<double, 16> a{};
    for (int i = 0; i < 16; ++i) {
        a[i] = m[i];
    }
    std::array<double, 16> inv{};
    inv[0] = a[5] * a[10] * a[15] - a[5] * a[11] * a[14] - a[9] * a[6] * a[15] +
             a[9] * a[7] * a[14] + a[13] * a[6] * a[11] - a[13] * a[7] * a[10];
    inv[4] = -a[4] * a[10] * a[15] + a[4] * a[11] * a[14] + a[8] * a[6] * a[15] -
             a[8] * a[7] * a[14] - a[12] * a[6] * a[11] + a[12] * a[7] * a[10];
    inv[8] = a[4] * a[9] * a[15] - a[4] * a[11] * a[13] - a[8] * a[5] * a[15] +
             a[8] * a[7] * a[13] + a[12] * a[5] * a[11] - a[12] * a[7] * a[9];
    inv[12] = -a[4] * a[9] * a[14] + a[4] * a[10] * a[13] + a[8] * a[5] * a[14] -
              a[8] * a[6] * a[13] - a[12] * a[5] * a[10] + a[12] * a[6] * a[9];
    inv[1] = -a[1] * a[10] * a[15] + a[1] * a[11] * a[14] + a[9] * a[2] * a[15] -
             a[9] * a[3] * a[14] - a[13] * a[2] * a[11] + a[13] * a[3] * a[10];
    inv[5] = a[0] * a[10] * a[15] - a[0] * a[11] * a[14] - a[8] * a[2] * a[15] +
             a[8] * a[3] * a[14] + a[12] * a[2] * a[11] - a[12] * a[3] * a[10];
    inv[9] = -a[0] * a[9] * a[15] + a[0] * a[11] * a[13] + a[8] * a[1] * a[15] -
             a[8] * a[3] * a[13] - a[12] * a[1] * a[11] + a[12] * a[3] * a[9];
    inv[13] = a[0] * a[9] * a[14] - a[0] * a[10] * a[13] - a[8] * a[1] * a[14] +
              a[8] * a[2] * a[13] + a[12] * a[1] * a[10] - a[12] * a[2] * a[9];
    inv[2] = a[1] * a[6] * a[15] - a[1] * a[7] * a[14] - a[5] * a[2] * a[15] + a[5] * a[3] * a[14] +
             a[13] * a[2] * a[7] - a[13] * a[3] * a[6];
    inv[6] = -a[0] * a[6] * a[15] + a[0] * a[7] * a[14] + a[4] * a[2] * a[15] -
             a[4] * a[3] * a[14] - a[12] * a[2] * a[7] + a[12] * a[3] * a[6];
    inv[10] = a[0] * a[5] * a[15] - a[0] * a[7] * a[13] - a[4] * a[1] * a[15] +
              a[4] * a[3] * a[13] + a[12] * a[1] * a[7] - a[12] * a[3] * a[5];
    inv[14] = -a[0] * a[5] * a[14] + a[0] * a[6] * a[13] + a[4] * a[1] * a[14] -
              a[4] * a[2] * a[13] - a[12] * a[1] * a[6] + a[12] * a[2] * a[5];
    inv[3] = -a[1] * a[6] * a[11] + a[1] * a[7] * a[10] + a[5] * a[2] * a[11] -
             a[5] * a[3] * a[10] - a[9] * a[2] * a[7] + a[9] * a[3] * a[6];
    inv[7] = a[0] * a[6] * a[11] - a[0] * a[7] * a[10] - a[4] * a[2] * a[11] + a[4] * a[3] * a[10] +
             a[8] * a[2] * a[7] - a[8] * a[3] * a[6];
    inv[11] = -a[0] * a[5] * a[11] + a[0] * a[7] * a[9] + a[4] * a[1] * a[11] - a[4] * a[3] * a[9] -
              a[8] * a[1] * a[7] + a[8] * a[3] * a[5];
    inv[15] = a[0] * a[5] * a[10] - a[0] * a[6] * a[9] - a[4] * a[1] * a[10] + a[4] * a[2] * a[9] +
              a[8] * a[1] * a[6] - a[8] * a[2] * a[5];
    const double det = a[0] * inv[0] + a[1] * inv[4] + a[2] * inv[8] + a[3] * inv[12];
    if (!std::isfinite(det) || std::abs(det) < 1e-30) {
        return false;
    }
    for (int i = 0; i < 16; ++i) {
        out[i] = static_cast<float>(inv[i] / det);
    }
    return true;
}

// The camera frame without its scale: each of rows 0..2 normalised (the translation kept), so that
// a scaled head node does not distort the view.
inline matrix withoutScale(const matrix& m) {
    matrix r = m;
    for (int row = 0; row < 3; ++row) {
        float* v = &r[row * 4];
        const float len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        if (len > 0 && std::isfinite(len)) {
            v[0] /= len;
            v[1] /= len;
            v[2] /= len;
        }
    }
    return r;
}

// OpenGL's perspective projection in row-vector form (the transpose of the usual column form).
inline matrix perspective(float fovYDegrees, float aspect, float nearPlane, float farPlane) {
    const float f = 1.0f / std::tan(fovYDegrees * 3.14159265358979f / 360.0f);
    matrix p{};
    p[0] = f / aspect;
    p[5] = f;
    p[10] = (farPlane + nearPlane) / (nearPlane - farPlane);
    p[11] = -1.0f;
    p[14] = 2.0f * farPlane * nearPlane / (nearPlane - farPlane);
    return p;
}

// What turns normals under the linear part A of m: n' = n * (A^-1)^T in row-vector form. Given back
// row-major, so GLSL receives it transposed, as A^-1, and its column-vector product is the same
// thing. The identity for a singular A.
inline std::array<float, 9> normalMatrix(const matrix& m) {
    const double a = m[0], b = m[1], c = m[2];
    const double d = m[4], e = m[5], f = m[6];
    const double g = m[8], h = m[9], i = m[10];
    const double A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (!std::isfinite(det) || std::abs(det) < 1e-30) {
        return {1, 0, 0, 0, 1, 0, 0, 0, 1};
    }
    // A^-1 = adj(A) / det, adj being the transposed cofactor matrix: (A^-1)^T = cofactors / det.
    const double D = -(b * i - c * h), E = a * i - c * g, F = -(a * h - b * g);
    const double G = b * f - c * e, H = -(a * f - c * d), I = a * e - b * d;
    return {static_cast<float>(A / det), static_cast<float>(B / det), static_cast<float>(C / det),
            static_cast<float>(D / det), static_cast<float>(E / det), static_cast<float>(F / det),
            static_cast<float>(G / det), static_cast<float>(H / det), static_cast<float>(I / det)};
}

} // namespace zel::render::detail
