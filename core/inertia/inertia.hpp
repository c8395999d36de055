// The spatial inertia of a rigid body: mass, centre of mass, rotational inertia about it.
#pragma once

#include <expected>
#include <string>

#include "core/spatial/motion.hpp"
#include "core/spatial/se3.hpp"
#include "core/spatial/symmetric3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

struct InertiaError {
  std::string parameter;  // the first non-positive parameter
  std::string display() const { return "Invalid parameter: '" + parameter + "' must be positive."; }
  std::string debug() const { return "InertiaError: " + display(); }
};

struct Inertia {
  double mass = 0;
  Vector3D com;        // centre of mass in the body frame (the lever)
  Symmetric3 inertia;  // rotational inertia about the centre of mass

  static constexpr Inertia zeros() { return {}; }
  // A solid ellipsoid with semi-axes x, y, z centred at the origin.
  static std::expected<Inertia, InertiaError> from_ellipsoid(double mass, double x, double y, double z);

  // Both bodies rigidly joined (given in the same frame).
  Inertia operator+(const Inertia& b) const;
  Inertia& operator+=(const Inertia& b) { return *this = *this + b; }
  // The inertia expressed in the frame in which `placement` is given.
  Inertia act(const SE3& placement) const;

  // The spatial momentum I m: f = mass (v - c x w), n = I w + c x f.
  constexpr SpatialForce operator*(const SpatialMotion& m) const {
    const Vector3D f = (m.translation - velmora::cross(com, m.rotation)) * mass;
    return {inertia * m.rotation + velmora::cross(com, f), f};
  }

  // "Inertia { mass: M, com: Vector3D([[..]]), inertia: Symmetric3 { data: [..] } }".
  std::string debug() const;
};

}  // namespace velmora
