// Rigid (and scaled) 3-D transforms: p' = matrix · p + translation, with the inverse matrix
// kept beside the matrix so that inverting costs no matrix inversion.
//
// Composition: (A * B)(p) = A(B(p)). Angles are in degrees.
#pragma once

#include <Eigen/Core>
#include <string_view>

class MTransform {
public:
    MTransform() { IDENTITY(); }
    // The product first · second.
    MTransform(const MTransform& first, const MTransform& second);

    void IDENTITY();
    void INVERT();
    // this := t1⁻¹ · t2 · t1: the transform t2 expressed in the frame t1.
    void T1THIS_FROM_T2T1(const MTransform& t2, const MTransform& t1);

    // Keeps the matrix and sets the translation so that the transform acts about the centre c
    // and then shifts by s: p' = M (p - c) + c + s.
    void CENTER(float c0, float c1, float c2, float s0, float s1, float s2);
    // Sets the matrix to the rotation by angles a about x, then b about y, then c about z
    // (degrees), and the translation to (t0, t1, t2).
    void ROTATION(float a, float b, float c, float t0, float t1, float t2);

    // out := this applied to the point `in`; ROTATE3D applies the matrix only (a direction).
    void TRANSFORM3D(float out[3], const float in[3]) const;
    void ROTATE3D(float out[3], const float in[3]) const;

    friend MTransform operator*(const MTransform& a, const MTransform& b) {
        return MTransform(a, b);
    }
    friend bool operator==(const MTransform&, const MTransform&) = default;

    // Entries that callers may set directly.
    Eigen::Matrix3d matrix;
    Eigen::Matrix3d inverse;
    Eigen::Vector3d translation;
};

// Orientation codes: three letters giving the directions, in the parent frame, of the local x, y
// and z axes: R (+x, right), L (-x, left), B (+y, back), F (-y, front), P (+z, up), D (-z, down).
// "RBP" is the identity; each axis must appear once and the result must be a rotation
// (right-handed), so "RBD" is refused. Letters are case-insensitive.
class MTransformOrient {
public:
    // Sets `t` to the rotation of `code` with zero translation. False (t unchanged) for a code
    // that is not valid.
    static bool ORIENTATION(MTransform& t, std::wstring_view code);
};
