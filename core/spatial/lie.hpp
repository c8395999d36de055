// Unit quaternions (w, x, y, z), scalar first, and the exponentials and logarithms of
// the rotation groups SO(2), SO(3) and the rigid-motion groups SE(2), SE(3) that the
// configuration-space operations of the multi-degree-of-freedom joints are built on.
#pragma once

#include <algorithm>
#include <cmath>

#include "core/spatial/se3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

struct Quaternion {
  double w = 1, x = 0, y = 0, z = 0;

  static Quaternion from(const double* q) { return {q[0], q[1], q[2], q[3]}; }
  void store(double* q) const { q[0] = w, q[1] = x, q[2] = y, q[3] = z; }
  Vector3D vec() const { return {x, y, z}; }

  // Whether the four values have a direction: not all zero, none infinite or NaN.
  bool normalisable() const {
    // Each entry on its own: a maximum would pass over a NaN.
    const bool finite = std::isfinite(w) && std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
    return finite && (w != 0 || x != 0 || y != 0 || z != 0);
  }
  // The unit quaternion of the same direction (the caller checks normalisable()). The
  // plain square root serves every length whose square is a normal number; others are
  // scaled by their largest entry first, so that tiny and huge lengths lose nothing.
  Quaternion normalised() const {
    const double n2 = w * w + x * x + y * y + z * z;
    if (n2 > 0x1p-1000 && n2 < 0x1p1000) {
      const double inv = 1 / std::sqrt(n2);
      return {w * inv, x * inv, y * inv, z * inv};
    }
    const double m = std::max({std::abs(w), std::abs(x), std::abs(y), std::abs(z)});
    const Quaternion s{w / m, x / m, y / m, z / m};
    return s.normalised();
  }
  Quaternion conjugate() const { return {w, -x, -y, -z}; }

  // The rotation matrix of a unit quaternion.
  SpatialRotation rotation() const {
    SpatialRotation r;
    const double xx = x * x, yy = y * y, zz = z * z, xy = x * y, xz = x * z, yz = y * z;
    const double wx = w * x, wy = w * y, wz = w * z;
    r(0, 0) = 1 - 2 * (yy + zz), r(0, 1) = 2 * (xy - wz), r(0, 2) = 2 * (xz + wy);
    r(1, 0) = 2 * (xy + wz), r(1, 1) = 1 - 2 * (xx + zz), r(1, 2) = 2 * (yz - wx);
    r(2, 0) = 2 * (xz - wy), r(2, 1) = 2 * (yz + wx), r(2, 2) = 1 - 2 * (xx + yy);
    return r;
  }
};

// The Hamilton product: the rotation b first, then a.
inline Quaternion operator*(const Quaternion& a, const Quaternion& b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// exp of a rotation vector w: the turn by |w| about w / |w|, as a unit quaternion.
inline Quaternion quaternion_exp(const Vector3D& w) {
  const double t2 = w.squared_norm();
  const double t = std::sqrt(t2);
  // sin(t / 2) / t, by its series where the quotient loses digits.
  const double k = t < 1e-4 ? 0.5 - t2 / 48 : std::sin(t / 2) / t;
  return {std::cos(t / 2), w.x * k, w.y * k, w.z * k};
}

// The rotation vector of a unit quaternion with angle in [0, pi] (q and -q are the same
// rotation; the shorter turn is taken).
inline Vector3D quaternion_log(Quaternion q) {
  if (q.w < 0) q = {-q.w, -q.x, -q.y, -q.z};
  const Vector3D v = q.vec();
  const double n = v.norm();
  // angle / sin(angle / 2) = 2 atan2(n, w) / n, by its series near the identity.
  const double k = n < 1e-8 ? 2 / q.w * (1 - n * n / (3 * q.w * q.w)) : 2 * std::atan2(n, q.w) / n;
  return v * k;
}

// The cross-product matrix products [w]x u and [w]x^2 u without building the matrix.
inline Vector3D skew_square_times(const Vector3D& w, const Vector3D& u) { return cross(w, cross(w, u)); }

// The left Jacobian of SO(3) at w applied to u: V u = u + a [w]x u + b [w]x^2 u with
// a = (1 - cos t) / t^2, b = (t - sin t) / t^3, t = |w|. exp of the body twist (w, u)
// in SE(3) moves the origin by V u in the starting frame.
inline Vector3D so3_left_jacobian_times(const Vector3D& w, const Vector3D& u) {
  const double t2 = w.squared_norm();
  const double t = std::sqrt(t2);
  // 1 - cos t as 2 sin^2(t / 2), which keeps its digits for small t; what cancels in
  // t - sin t is multiplied by t^2 below, so its error stays near the rounding of u.
  double a, b;
  if (t < 1e-4) {
    a = 0.5 - t2 / 24;
    b = 1.0 / 6 - t2 / 120;
  } else {
    const double h = std::sin(t / 2);
    a = 2 * h * h / t2;
    b = (t - std::sin(t)) / (t2 * t);
  }
  return u + cross(w, u) * a + skew_square_times(w, u) * b;
}

// Its inverse: V^-1 p = p - [w]x p / 2 + c [w]x^2 p, c = (1 - (t / 2) cot(t / 2)) / t^2
// (the same as (1 - t sin t / (2 (1 - cos t))) / t^2, without the cancelling 1 - cos t; the
// rounding of the remaining difference is multiplied by t^2 again).
inline Vector3D so3_left_jacobian_inverse_times(const Vector3D& w, const Vector3D& p) {
  const double t2 = w.squared_norm();
  const double t = std::sqrt(t2);
  const double c = t < 1e-4 ? 1.0 / 12 + t2 / 720 : (1 - (t / 2) * std::cos(t / 2) / std::sin(t / 2)) / t2;
  return p - cross(w, p) * 0.5 + skew_square_times(w, p) * c;
}

// The planar counterpart for a turn by angle t: exp of the body twist (t; u) in SE(2)
// moves the origin by [[A, -B], [B, A]] u, A = sin t / t, B = (1 - cos t) / t.
inline void se2_coefficients(double t, double& A, double& B) {
  if (std::abs(t) < 1e-4) {
    const double t2 = t * t;
    A = 1 - t2 / 6;
    B = t * (0.5 - t2 / 24);
  } else {
    const double h = std::sin(t / 2);
    A = std::sin(t) / t;
    B = 2 * h * h / t;
  }
}

}  // namespace velmora
