#include "maker/MTransform.h"

#include <Eigen/Geometry>
#include <cmath>
#include <cwctype>
#include <numbers>

MTransform::MTransform(const MTransform& first, const MTransform& second)
    : matrix(first.matrix * second.matrix),
      inverse(second.inverse * first.inverse),
      translation(first.matrix * second.translation + first.translation) {}

void MTransform::IDENTITY() {
    matrix.setIdentity();
    inverse.setIdentity();
    translation.setZero();
}

void MTransform::INVERT() {
    matrix.swap(inverse);
    translation = -(matrix * translation);
}

void MTransform::T1THIS_FROM_T2T1(const MTransform& t2, const MTransform& t1) {
    MTransform t1Inverse = t1;
    t1Inverse.INVERT();
    *this = t1Inverse * t2 * t1;
}

void MTransform::CENTER(float c0, float c1, float c2, float s0, float s1, float s2) {
    const Eigen::Vector3d c(c0, c1, c2);
    translation = c + Eigen::Vector3d(s0, s1, s2) - matrix * c;
}

void MTransform::ROTATION(float a, float b, float c, float t0, float t1, float t2) {
    constexpr double kDegree = std::numbers::pi / 180.0;
    const Eigen::Matrix3d r = (Eigen::AngleAxisd(c * kDegree, Eigen::Vector3d::UnitZ()) *
                               Eigen::AngleAxisd(b * kDegree, Eigen::Vector3d::UnitY()) *
                               Eigen::AngleAxisd(a * kDegree, Eigen::Vector3d::UnitX()))
                                  .toRotationMatrix();
    matrix = r;
    inverse = r.transpose();
    translation = Eigen::Vector3d(t0, t1, t2);
}

void MTransform::TRANSFORM3D(float out[3], const float in[3]) const {
    const Eigen::Vector3d p = matrix * Eigen::Vector3d(in[0], in[1], in[2]) + translation;
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<float>(p[i]);
}

void MTransform::ROTATE3D(float out[3], const float in[3]) const {
    const Eigen::Vector3d p = matrix * Eigen::Vector3d(in[0], in[1], in[2]);
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<float>(p[i]);
}

bool MTransformOrient::ORIENTATION(MTransform& t, std::wstring_view code) {
    if (code.size() != 3) return false;
    Eigen::Matrix3d m = Eigen::Matrix3d::Zero();
    bool used[3] = {false, false, false};
    for (int column = 0; column < 3; ++column) {
        int axis;
        double sign;
        switch (std::towupper(code[column])) {
            case L'R':
                axis = 0, sign = 1;
                break;
            case L'L':
                axis = 0, sign = -1;
                break;
            case L'B':
                axis = 1, sign = 1;
                break;
            case L'F':
                axis = 1, sign = -1;
                break;
            case L'P':
                axis = 2, sign = 1;
                break;
            case L'D':
                axis = 2, sign = -1;
                break;
            default:
                return false;
        }
        if (used[axis]) return false;
        used[axis] = true;
        m(axis, column) = sign;
    }
    if (m.determinant() < 0) return false;
    t.matrix = m;
    t.inverse = m.transpose();
    t.translation.setZero();
    return true;
}
