#include <algorithm>
#include <cmath>
#include <limits>

#include "core/spatial/format.hpp"
#include "core/spatial/random.hpp"
#include "core/spatial/se3.hpp"
#include "core/spatial/symmetric3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

const Vector3D& standard_gravity() {
  static const Vector3D g{0.0, 0.0, -9.81};
  return g;
}

std::string Vector3D::debug() const {
  fmt::DebugWriter w(false);
  const double v[3] = {x, y, z};
  w.tuple("Vector3D", [&] { w.item([&] { w.list([&] { w.item([&] { w.numbers(v, 3); }); }); }); });
  return std::move(w.out());
}

SpatialRotation SpatialRotation::from_axis_angle(const Vector3D& axis, double angle) {
  if (angle == 0) return identity();
  const double n = std::sqrt(axis.x * axis.x + axis.y * axis.y + axis.z * axis.z);
  return from_unit_axis({axis.x / n, axis.y / n, axis.z / n}, std::cos(angle), std::sin(angle));
}

SpatialRotation SpatialRotation::from_euler_angles(double roll, double pitch, double yaw) {
  const double cr = std::cos(roll), sr = std::sin(roll);
  const double cp = std::cos(pitch), sp = std::sin(pitch);
  const double cy = std::cos(yaw), sy = std::sin(yaw);
  SpatialRotation r;
  r(0, 0) = cp * cy;
  r(0, 1) = sr * sp * cy - cr * sy;
  r(0, 2) = cr * sp * cy + sr * sy;
  r(1, 0) = cp * sy;
  r(1, 1) = sr * sp * sy + cr * cy;
  r(1, 2) = cr * sp * sy - sr * cy;
  r(2, 0) = -sp;
  r(2, 1) = sr * cp;
  r(2, 2) = cr * cp;
  return r;
}

namespace {

// x == y, or both finite-or-NaN (not infinite) and within 1e-6 absolute or one
// epsilon relative. NaN compares false everywhere, so it never passes.
bool approx_equal(double x, double y) {
  if (x == y) return true;
  if (std::isinf(x) || std::isinf(y)) return false;
  const double d = std::abs(x - y);
  return d <= 1e-6 || d <= std::numeric_limits<double>::epsilon() * std::max(std::abs(x), std::abs(y));
}

}  // namespace

int SpatialRotation::turn_axis() const {
  const SpatialRotation& r = *this;
  for (int k = 0; k < 3; ++k) {
    const int i = (k + 1) % 3, j = (k + 2) % 3;
    if (r(k, k) == 1 && r(k, i) == 0 && r(k, j) == 0 && r(i, k) == 0 && r(j, k) == 0 && r(i, i) == r(j, j) &&
        r(i, j) == -r(j, i))
      return k;
  }
  return -1;
}

bool SpatialRotation::is_orthogonal() const {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (!approx_equal(column(i).dot(column(j)), i == j ? 1.0 : 0.0)) return false;
  return true;
}

SE3 SE3::random(Rng& rng) {
  double u[6];
  for (double& x : u) x = rng.uniform();
  const Vector3D t{2 * u[0] - 1, 2 * u[1] - 1, 2 * u[2] - 1};
  const Vector3D w{2 * u[3] - 1, 2 * u[4] - 1, 2 * u[5] - 1};
  const double n2 = w.x * w.x + w.y * w.y + w.z * w.z;
  if (n2 == 0) return {SpatialRotation::identity(), t};
  const double n = std::sqrt(n2);
  return {SpatialRotation::from_axis_angle({w.x / n, w.y / n, w.z / n}, n), t};
}

void SE3::write_debug(fmt::DebugWriter& w) const {
  w.tuple("SE3", [&] {
    w.item([&] {
      w.record("Isometry", [&] {
        w.field("rotation", [&] {
          w.list([&] {
            for (int j = 0; j < 3; ++j) w.item([&] { w.numbers(&rotation.m[3 * j], 3); });
          });
        });
        w.field("translation", [&] {
          const double t[3] = {translation.x, translation.y, translation.z};
          w.numbers(t, 3);
        });
      });
    });
  });
}

std::string SE3::debug(bool pretty) const {
  fmt::DebugWriter w(pretty);
  write_debug(w);
  return std::move(w.out());
}

std::string Symmetric3::debug() const {
  fmt::DebugWriter w(false);
  w.record("Symmetric3", [&] { w.field("data", [&] { w.numbers(data.data(), 6); }); });
  return std::move(w.out());
}

std::string Symmetric3::repr() const {
  auto row = [&](int i) {
    return "  [" + fmt::fixed((*this)(i, 0), 4) + ", " + fmt::fixed((*this)(i, 1), 4) + ", " +
           fmt::fixed((*this)(i, 2), 4) + "]";
  };
  return "Symmetric3(\n" + row(0) + ",\n" + row(1) + ",\n" + row(2) + "\n)";
}

}  // namespace velmora
