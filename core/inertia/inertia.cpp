#include "core/inertia/inertia.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/spatial/format.hpp"

namespace velmora {

std::expected<Inertia, InertiaError> Inertia::from_ellipsoid(double mass, double x, double y, double z) {
  if (mass <= 0) return std::unexpected(InertiaError{"mass"});
  if (x <= 0) return std::unexpected(InertiaError{"x"});
  if (y <= 0) return std::unexpected(InertiaError{"y"});
  if (z <= 0) return std::unexpected(InertiaError{"z"});
  Inertia out;
  out.mass = mass;
  out.inertia = Symmetric3{{(y * y + z * z) * mass / 5.0, (x * x + z * z) * mass / 5.0,
                            (x * x + y * y) * mass / 5.0, 0, 0, 0}};
  return out;
}

Inertia Inertia::operator+(const Inertia& b) const {
  const double m1 = mass, m2 = b.mass;
  const Vector3D d = com - b.com;
  const double sum = m1 + m2;
  // A NaN sum takes the epsilon as well: std::max(NaN, eps) would return NaN.
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const double k = 1.0 / (sum > eps ? sum : eps);
  Inertia out;
  out.com = (com * m1 + b.com * m2) * k;
  out.inertia = b.inertia + inertia - Symmetric3::skew_square(d) * (m1 * m2 * k);
  out.mass = sum;
  return out;
}

Inertia Inertia::act(const SE3& placement) const {
  return {mass, placement.act(com), inertia.rotate(placement.rotation)};
}

std::string Inertia::debug() const {
  return "Inertia { mass: " + fmt::debug(mass) + ", com: " + com.debug() + ", inertia: " + inertia.debug() + " }";
}

}  // namespace velmora
