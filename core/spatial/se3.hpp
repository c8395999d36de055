// Rotations and rigid placements (SE3), with their action on motions and forces in
// rotation-plus-translation form.
#pragma once

#include <array>
#include <string>

#include "core/spatial/vector3d.hpp"

namespace velmora {

namespace fmt {
class DebugWriter;
}

// The shape of a rotation known when code is compiled, K: 0..2 a rotation about that
// coordinate axis, kIdentityShape the identity itself (the frame of a slide or fixed joint
// whose placement only translates), -1 any rotation.
inline constexpr int kIdentityShape = 3;

// A 3x3 matrix stored column by column: element (i, j) at m[i + 3 j].
struct SpatialRotation {
  std::array<double, 9> m{1, 0, 0, 0, 1, 0, 0, 0, 1};

  static constexpr SpatialRotation identity() { return {}; }
  // Rodrigues' formula about the normalised axis; exactly the identity for angle 0.
  static SpatialRotation from_axis_angle(const Vector3D& axis, double angle);
  // Rodrigues' formula about a unit axis k for an angle given by its cosine c and sine s
  // (the axis is not normalised again).
  static constexpr SpatialRotation from_unit_axis(const Vector3D& k, double c, double s) {
    const double t = 1 - c;
    SpatialRotation r;
    r(0, 0) = c + t * k.x * k.x;
    r(0, 1) = t * k.x * k.y - s * k.z;
    r(0, 2) = t * k.x * k.z + s * k.y;
    r(1, 0) = t * k.x * k.y + s * k.z;
    r(1, 1) = c + t * k.y * k.y;
    r(1, 2) = t * k.y * k.z - s * k.x;
    r(2, 0) = t * k.x * k.z - s * k.y;
    r(2, 1) = t * k.y * k.z + s * k.x;
    r(2, 2) = c + t * k.z * k.z;
    return r;
  }
  // The rotation about coordinate axis K (0, 1, 2 for x, y, z) by the angle with cosine
  // c and sine s.
  template <int K>
  static constexpr SpatialRotation about(double c, double s) {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    SpatialRotation r;
    r(i, i) = c, r(j, j) = c, r(j, i) = s, r(i, j) = -s;
    return r;
  }
  // R = Rz(yaw) Ry(pitch) Rx(roll), the URDF "rpy" convention.
  static SpatialRotation from_euler_angles(double roll, double pitch, double yaw);

  constexpr double operator()(int i, int j) const { return m[i + 3 * j]; }
  constexpr double& operator()(int i, int j) { return m[i + 3 * j]; }
  constexpr Vector3D column(int j) const { return {m[3 * j], m[3 * j + 1], m[3 * j + 2]}; }

  constexpr Vector3D operator*(const Vector3D& v) const {
    return {m[0] * v.x + m[3] * v.y + m[6] * v.z, m[1] * v.x + m[4] * v.y + m[7] * v.z,
            m[2] * v.x + m[5] * v.y + m[8] * v.z};
  }
  // R v and R^T v for a rotation of known shape: K in 0..2 when it is about<K>(c, s) (c and
  // s are read from its entries, and only the two coordinates it mixes change),
  // kIdentityShape for the identity, K = -1 for any rotation. The values are those of the
  // general products.
  template <int K>
  constexpr Vector3D rotate(const Vector3D& v) const {
    if constexpr (K == kIdentityShape) {
      return v;
    } else if constexpr (K < 0) {
      return (*this) * v;
    } else {
      constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
      const double c = (*this)(i, i), s = (*this)(j, i);
      double out[3] = {v.x, v.y, v.z};
      out[i] = c * v[i] - s * v[j];
      out[j] = s * v[i] + c * v[j];
      return {out[0], out[1], out[2]};
    }
  }
  template <int K>
  constexpr Vector3D rotate_back(const Vector3D& v) const {
    if constexpr (K == kIdentityShape) {
      return v;
    } else if constexpr (K < 0) {
      return transpose_mul(v);
    } else {
      constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
      const double c = (*this)(i, i), s = (*this)(j, i);
      double out[3] = {v.x, v.y, v.z};
      out[i] = c * v[i] + s * v[j];
      out[j] = c * v[j] - s * v[i];
      return {out[0], out[1], out[2]};
    }
  }
  // R^T v
  constexpr Vector3D transpose_mul(const Vector3D& v) const {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
            m[6] * v.x + m[7] * v.y + m[8] * v.z};
  }
  constexpr SpatialRotation operator*(const SpatialRotation& b) const {
    SpatialRotation r;
    for (int j = 0; j < 3; ++j) {
      const Vector3D c = (*this) * b.column(j);
      r.m[3 * j] = c.x, r.m[3 * j + 1] = c.y, r.m[3 * j + 2] = c.z;
    }
    return r;
  }
  // this * about<K>(c, s): only the two columns the rotation mixes change, so the
  // values are those of the full product without its multiplications by 0 and 1.
  template <int K>
  constexpr SpatialRotation times_about(double c, double s) const {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    SpatialRotation r = *this;
    for (int row = 0; row < 3; ++row) {
      const double a = (*this)(row, i), b = (*this)(row, j);
      r(row, i) = a * c + b * s;
      r(row, j) = b * c - a * s;
    }
    return r;
  }
  constexpr SpatialRotation transpose() const {
    return {{m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]}};
  }
  constexpr bool operator==(const SpatialRotation&) const = default;

  // Whether R^T R is the identity within 1e-6 absolute or one epsilon relative, entry by
  // entry; NaN and infinite entries never pass. Reflections (det -1) pass.
  bool is_orthogonal() const;
  // K when this is exactly about<K>(c, s) for some c and s (entry by entry, the identity
  // counting as a turn about x), -1 otherwise.
  int turn_axis() const;
};

struct SpatialMotion;
struct SpatialForce;
struct SpatialTransform;
class Rng;

// Maps a point p of the child frame to R p + t in the parent frame.
struct SE3 {
  SpatialRotation rotation;
  Vector3D translation;

  static constexpr SE3 identity() { return {}; }
  // Six uniforms u1..u6 from `rng`, in order: translation 2 u - 1 from the first three,
  // rotation vector w = 2 u - 1 from the last three, turned by |w| radians about w
  // (identity when w is exactly zero). Not uniform over rotations.
  static SE3 random(Rng& rng);

  // Composition: apply b first, then this.
  constexpr SE3 operator*(const SE3& b) const {
    return {rotation * b.rotation, rotation * b.translation + translation};
  }
  // this * SE3{identity, t}: a placement that only translates, applied first.
  constexpr SE3 translated(const Vector3D& t) const { return {rotation, rotation * t + translation}; }
  constexpr SE3 inverse() const {
    const SpatialRotation rt = rotation.transpose();
    return {rt, -(rt * translation)};
  }
  constexpr Vector3D act(const Vector3D& p) const { return rotation * p + translation; }
  constexpr bool operator==(const SE3&) const = default;

  // The motion transform and its inverse, and the force transform and its inverse. K is
  // the shape of the rotation (see SpatialRotation::rotate): -1 for any.
  template <int K = -1>
  SpatialMotion act_motion(const SpatialMotion& m) const;
  template <int K = -1>
  SpatialMotion act_inv_motion(const SpatialMotion& m) const;
  template <int K = -1>
  SpatialForce act_force(const SpatialForce& f) const;
  template <int K = -1>
  SpatialForce act_inv_force(const SpatialForce& f) const;

  // The 6x6 matrix [[R, [t]x R], [0, R]].
  SpatialTransform action() const;

  // "SE3(Isometry { rotation: [[c0], [c1], [c2]], translation: [x, y, z] })"; the
  // multi-line layout when `pretty`.
  std::string debug(bool pretty = false) const;
  // The same rendering into an enclosing writer, taking its layout and indentation.
  void write_debug(fmt::DebugWriter& w) const;
};

}  // namespace velmora
