#include "maker/MTransform.h"

#include <Eigen/Geometry>
#include <algorithm>
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
    struct Letter {
        wchar_t letter;
        int axis;
        double sign;
    };
    static constexpr Letter kLetters[] = {{L'R', 0, 1},  {L'L', 0, -1}, {L'B', 1, 1},
                                          {L'F', 1, -1}, {L'P', 2, 1},  {L'D', 2, -1}};
    if (code.size() != 3) return false;
    Eigen::Matrix3d m = Eigen::Matrix3d::Zero();
    bool used[3] = {false, false, false};
    for (int column = 0; column < 3; ++column) {
        const wchar_t c = static_cast<wchar_t>(std::towupper(code[column]));
        const Letter* l = std::find_if(std::begin(kLetters), std::end(kLetters),
                                       [c](const Letter& x) { return x.letter == c; });
        if (l == std::end(kLetters) || used[l->axis]) return false;
        used[l->axis] = true;
        m(l->axis, column) = l->sign;
    }
    if (m.determinant() < 0) return false;
    t.matrix = m;
    t.inverse = m.transpose();
    t.translation.setZero();
    return true;
}
