// The 3-vector of doubles used for positions, axes, centres of mass and gravity.
#pragma once

#include <cmath>
#include <string>

namespace velmora {

struct Vector3D {
  double x = 0, y = 0, z = 0;

  static constexpr Vector3D zeros() { return {0, 0, 0}; }
  static constexpr Vector3D unit_x() { return {1, 0, 0}; }
  static constexpr Vector3D unit_y() { return {0, 1, 0}; }
  static constexpr Vector3D unit_z() { return {0, 0, 1}; }

  constexpr double operator[](int i) const { return i == 0 ? x : i == 1 ? y : z; }
  constexpr Vector3D operator+(const Vector3D& o) const { return {x + o.x, y + o.y, z + o.z}; }
  constexpr Vector3D operator-(const Vector3D& o) const { return {x - o.x, y - o.y, z - o.z}; }
  constexpr Vector3D operator-() const { return {-x, -y, -z}; }
  constexpr Vector3D operator*(double s) const { return {x * s, y * s, z * s}; }
  constexpr Vector3D& operator+=(const Vector3D& o) {
    x += o.x, y += o.y, z += o.z;
    return *this;
  }
  constexpr Vector3D& operator-=(const Vector3D& o) {
    x -= o.x, y -= o.y, z -= o.z;
    return *this;
  }
  constexpr bool operator==(const Vector3D&) const = default;

  constexpr double dot(const Vector3D& o) const { return x * o.x + y * o.y + z * o.z; }
  // Summed as z*z + (y*y + x*x), the order the Python `norm` documents.
  double norm() const { return std::sqrt(z * z + (y * y + x * x)); }
  double squared_norm() const { return x * x + y * y + z * z; }
  Vector3D component_mul(const Vector3D& o) const { return {x * o.x, y * o.y, z * o.z}; }

  // "Vector3D([[x, y, z]])" with numbers in the debug format.
  std::string debug() const;
};

constexpr Vector3D operator*(double s, const Vector3D& v) { return v * s; }

constexpr Vector3D cross(const Vector3D& a, const Vector3D& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The process-wide default gravity, (0, 0, -9.81).
const Vector3D& standard_gravity();

}  // namespace velmora
