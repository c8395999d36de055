// Spatial motion and force 6-vectors (angular part first) and the 6x6 transform.
#pragma once

#include <array>

#include "core/spatial/se3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

// Six doubles; which quantity each half carries is set by the type built on it.
struct Vector6D {
  std::array<double, 6> data{};
  static constexpr Vector6D from_components(const Vector3D& a, const Vector3D& b) {
    return {{a.x, a.y, a.z, b.x, b.y, b.z}};
  }
};

// A spatial velocity or acceleration: `rotation` (angular, elements 0-2) and
// `translation` (linear velocity of the frame origin, elements 3-5).
struct SpatialMotion {
  Vector3D rotation;
  Vector3D translation;

  static constexpr SpatialMotion zero() { return {}; }
  static constexpr SpatialMotion from_parts(const Vector3D& r, const Vector3D& t) { return {r, t}; }
  static constexpr SpatialMotion from_rotational_axis(const Vector3D& axis) { return {axis, {}}; }
  static constexpr SpatialMotion from_translational_axis(const Vector3D& axis) { return {{}, axis}; }

  constexpr double operator[](int i) const { return i < 3 ? rotation[i] : translation[i - 3]; }
  constexpr SpatialMotion operator+(const SpatialMotion& o) const {
    return {rotation + o.rotation, translation + o.translation};
  }
  constexpr SpatialMotion operator-(const SpatialMotion& o) const {
    return {rotation - o.rotation, translation - o.translation};
  }
  constexpr SpatialMotion operator*(double s) const { return {rotation * s, translation * s}; }
  constexpr SpatialMotion& operator+=(const SpatialMotion& o) {
    rotation += o.rotation, translation += o.translation;
    return *this;
  }
  constexpr bool operator==(const SpatialMotion&) const = default;
  constexpr Vector6D as_vector6d() const { return Vector6D::from_components(rotation, translation); }
};

// A spatial force: `angular` (the moment n) and `linear` (the force f).
struct SpatialForce {
  Vector3D angular;
  Vector3D linear;

  static constexpr SpatialForce zero() { return {}; }
  constexpr SpatialForce operator+(const SpatialForce& o) const {
    return {angular + o.angular, linear + o.linear};
  }
  constexpr SpatialForce operator-(const SpatialForce& o) const {
    return {angular - o.angular, linear - o.linear};
  }
  constexpr SpatialForce operator*(double s) const { return {angular * s, linear * s}; }
  constexpr SpatialForce& operator+=(const SpatialForce& o) {
    angular += o.angular, linear += o.linear;
    return *this;
  }
  constexpr SpatialForce& operator-=(const SpatialForce& o) {
    angular -= o.angular, linear -= o.linear;
    return *this;
  }
  constexpr bool operator==(const SpatialForce&) const = default;
  constexpr Vector6D as_vector6d() const { return Vector6D::from_components(angular, linear); }
};

// The dual form (w x a + v x b; w x b) for m = (w; v), x = (a; b): with x a force this is
// the force cross product m x* x.
constexpr SpatialMotion cross(const SpatialMotion& m, const SpatialMotion& x) {
  return {velmora::cross(m.rotation, x.rotation) + velmora::cross(m.translation, x.translation),
          velmora::cross(m.rotation, x.translation)};
}
// Motion cross product m x x = (w x a; w x b + v x a).
constexpr SpatialMotion cross_motion(const SpatialMotion& m, const SpatialMotion& x) {
  return {velmora::cross(m.rotation, x.rotation),
          velmora::cross(m.rotation, x.translation) + velmora::cross(m.translation, x.rotation)};
}
// Force cross product m x* f = (w x n + v x f; w x f).
constexpr SpatialForce cross_force(const SpatialMotion& m, const SpatialForce& f) {
  return {velmora::cross(m.rotation, f.angular) + velmora::cross(m.translation, f.linear),
          velmora::cross(m.rotation, f.linear)};
}
// The sum of the six products, in element order.
constexpr double inner(const SpatialMotion& a, const SpatialMotion& b) {
  double s = 0;
  for (int i = 0; i < 6; ++i) s += a[i] * b[i];
  return s;
}
// Power of a force on a motion.
constexpr double inner(const SpatialMotion& m, const SpatialForce& f) {
  return m.rotation.dot(f.angular) + m.translation.dot(f.linear);
}

// A 6x6 matrix stored column by column: element (i, j) at m[i + 6 j].
struct SpatialTransform {
  std::array<double, 36> m{};

  constexpr double operator()(int i, int j) const { return m[i + 6 * j]; }
  constexpr double& operator()(int i, int j) { return m[i + 6 * j]; }
  constexpr SpatialTransform transpose() const {
    SpatialTransform r;
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) r(i, j) = (*this)(j, i);
    return r;
  }
  // Element i is summed over the columns in order.
  constexpr SpatialMotion operator*(const SpatialMotion& x) const {
    double out[6];
    for (int i = 0; i < 6; ++i) {
      double s = (*this)(i, 0) * x[0];
      for (int j = 1; j < 6; ++j) s += (*this)(i, j) * x[j];
      out[i] = s;
    }
    return {{out[0], out[1], out[2]}, {out[3], out[4], out[5]}};
  }
};

template <int K>
inline SpatialMotion SE3::act_motion(const SpatialMotion& x) const {
  const Vector3D w = rotation.rotate<K>(x.rotation);
  return {w, rotation.rotate<K>(x.translation) + velmora::cross(translation, w)};
}
template <int K>
inline SpatialMotion SE3::act_inv_motion(const SpatialMotion& x) const {
  return {rotation.rotate_back<K>(x.rotation),
          rotation.rotate_back<K>(x.translation - velmora::cross(translation, x.rotation))};
}
template <int K>
inline SpatialForce SE3::act_force(const SpatialForce& f) const {
  const Vector3D lin = rotation.rotate<K>(f.linear);
  return {rotation.rotate<K>(f.angular) + velmora::cross(translation, lin), lin};
}
template <int K>
inline SpatialForce SE3::act_inv_force(const SpatialForce& f) const {
  return {rotation.rotate_back<K>(f.angular - velmora::cross(translation, f.linear)),
          rotation.rotate_back<K>(f.linear)};
}

inline SpatialTransform SE3::action() const {
  SpatialTransform a;
  for (int j = 0; j < 3; ++j) {
    const Vector3D c = rotation.column(j);
    const Vector3D tc = velmora::cross(translation, c);
    for (int i = 0; i < 3; ++i) {
      a(i, j) = c[i];
      a(i + 3, j + 3) = c[i];
      a(i, j + 3) = tc[i];
    }
  }
  return a;
}

}  // namespace velmora
