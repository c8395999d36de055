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
  static constexpr int slot(int i, int j) {
    constexpr int slots[3][3] = {{0, 3, 4}, {3, 1, 5}, {4, 5, 2}};
    return slots[i][j];
  }
  constexpr double operator()(int i, int j) const { return data[slot(i, j)]; }
  constexpr double& operator()(int i, int j) { return data[slot(i, j)]; }
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

  // R S R^T. K is the shape of R (see SpatialRotation::rotate): for K in 0..2 only the
  // entries in the rows and columns R mixes change. Generally T = S R^T (column b is S
  // times row b of R), then the six entries of R T.
  template <int K = -1>
  constexpr Symmetric3 rotate(const SpatialRotation& r) const {
    if constexpr (K == kIdentityShape) {
      return *this;
    } else if constexpr (K >= 0) {
      return rotate_about<K>(r((K + 1) % 3, (K + 1) % 3), r((K + 2) % 3, (K + 1) % 3));
    } else {
      Vector3D t[3];
      for (int b = 0; b < 3; ++b) t[b] = (*this) * Vector3D{r(b, 0), r(b, 1), r(b, 2)};
      auto entry = [&](int a, int b) { return r(a, 0) * t[b].x + r(a, 1) * t[b].y + r(a, 2) * t[b].z; };
      return {{entry(0, 0), entry(1, 1), entry(2, 2), entry(0, 1), entry(0, 2), entry(1, 2)}};
    }
  }
  // R S R^T as rotate<-1>, with fewer products where S allows (equal to rounding): none
  // for a multiple of the identity, the sum of d_k r_k r_k^T over R's columns r_k for a
  // diagonal S. For bodies' inertias, which are often so about their own frame's axes.
  constexpr Symmetric3 rotate_body(const SpatialRotation& r) const {
    if (data[3] != 0 || data[4] != 0 || data[5] != 0) return rotate(r);
    if (data[0] == data[1] && data[1] == data[2]) return *this;
    Symmetric3 out;
    auto entry = [&](int a, int b) {
      return data[0] * r(a, 0) * r(b, 0) + data[1] * r(a, 1) * r(b, 1) + data[2] * r(a, 2) * r(b, 2);
    };
    out.data = {entry(0, 0), entry(1, 1), entry(2, 2), entry(0, 1), entry(0, 2), entry(1, 2)};
    return out;
  }

  // R S R^T for R = SpatialRotation::about<K>(c, s): only the entries in rows and
  // columns i and j change.
  template <int K>
  constexpr Symmetric3 rotate_about(double c, double s) const {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const double sii = (*this)(i, i), sjj = (*this)(j, j), sij = (*this)(i, j);
    const double ski = (*this)(K, i), skj = (*this)(K, j);
    const double cc = c * c, ss = s * s, cs = c * s;
    Symmetric3 out = *this;
    out(i, i) = cc * sii - 2 * cs * sij + ss * sjj;
    out(j, j) = ss * sii + 2 * cs * sij + cc * sjj;
    out(i, j) = cs * (sii - sjj) + (cc - ss) * sij;
    out(K, i) = c * ski - s * skj;
    out(K, j) = s * ski + c * skj;
    return out;
  }

  // "Symmetric3 { data: [..six values..] }".
  std::string debug() const;
  // The Python representation: three rows in the fixed format with 4 decimals.
  std::string repr() const;
};

}  // namespace velmora
