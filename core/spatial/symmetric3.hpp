// Symmetric 3x3 matrices stored by their six independent entries.
#pragma once

#include <array>
#include <string>

#include "core/spatial/se3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

// Storage order m11, m22, m33, m12, m13, m23.
struct Symmetric3 {
  std::array<double, 6> data{};

  static constexpr Symmetric3 zero() { return {}; }
  static constexpr Symmetric3 identity() { return {{1, 1, 1, 0, 0, 0}}; }
  // The square of the cross-product matrix of v (the parallel-axis term).
  static constexpr Symmetric3 skew_square(const Vector3D& v) {
    return {{-(v.y * v.y + v.z * v.z), -(v.x * v.x + v.z * v.z), -(v.x * v.x + v.y * v.y),
             v.x * v.y, v.x * v.z, v.y * v.z}};
  }

  // Entry (i, j) of the full matrix, i and j in 0..2.
  constexpr double operator()(int i, int j) const {
    constexpr int slot[3][3] = {{0, 3, 4}, {3, 1, 5}, {4, 5, 2}};
    return data[slot[i][j]];
  }
  constexpr Vector3D operator*(const Vector3D& v) const {
    const auto& d = data;
    return {d[0] * v.x + d[3] * v.y + d[4] * v.z, d[3] * v.x + d[1] * v.y + d[5] * v.z,
            d[4] * v.x + d[5] * v.y + d[2] * v.z};
  }
  constexpr Symmetric3 operator+(const Symmetric3& o) const {
    Symmetric3 r;
    for (int k = 0; k < 6; ++k) r.data[k] = data[k] + o.data[k];
    return r;
  }
  constexpr Symmetric3 operator-(const Symmetric3& o) const {
    Symmetric3 r;
    for (int k = 0; k < 6; ++k) r.data[k] = data[k] - o.data[k];
    return r;
  }
  constexpr Symmetric3 operator*(double s) const {
    Symmetric3 r;
    for (int k = 0; k < 6; ++k) r.data[k] = data[k] * s;
    return r;
  }
  constexpr bool operator==(const Symmetric3&) const = default;

  // R S R^T.
  Symmetric3 rotate(const SpatialRotation& r) const;

  // "Symmetric3 { data: [..six values..] }".
  std::string debug() const;
  // The Python representation: three rows in the fixed format with 4 decimals.
  std::string repr() const;
};

}  // namespace velmora
