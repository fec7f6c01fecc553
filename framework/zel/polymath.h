// zel::polyMath: transform objects that nodes compose, replace and read back.
#pragma once

#include <zel/math.h>

namespace zel::polyMath {

class ZEL_API xform {
public:
    virtual ~xform();
};

// A position.
class point3Xform : public xform {
public:
    vec3 getData() const { return data_; }
    bool setData(const vec3& v) {
        data_ = v;
        return true;
    }

private:
    vec3 data_;
};

// Scale factors per axis; (1, 1, 1) by default.
class scaleXform : public xform {
public:
    vec3 getData() const { return data_; }
    bool setData(const vec3& v) {
        data_ = v;
        return true;
    }

private:
    vec3 data_{1.0f, 1.0f, 1.0f};
};

// A rotation.
class quatXform : public xform {
public:
    quat getData() const { return data_; }
    bool setData(const quat& q) {
        data_ = q;
        return true;
    }

private:
    quat data_;
};

// A whole matrix.
class matrix4Xform : public xform {
public:
    matrix4 getData() const { return data_; }
    bool setData(const matrix4& m) {
        data_ = m;
        return true;
    }

private:
    matrix4 data_;
};

} // namespace zel::polyMath
