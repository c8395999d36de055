#include "core/geometry/shape.hpp"

#include <limits>

namespace velmora {

// Within the float range the double-to-float conversion rounds to nearest on an IEEE 754
// target; out of it the conversion is undefined, so to_f32 handles overflow itself.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

float to_f32(double x) {
  // Halfway between the largest float (0x1.fffffep+127) and the next power of two: from
  // here on, round-to-nearest gives an infinity.
  constexpr double overflow = 0x1.ffffffp+127;
  if (x >= overflow) return std::numeric_limits<float>::infinity();
  if (x <= -overflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(x);
}

bool Sphere::is_convex() const { return true; }
std::unique_ptr<Shape> Sphere::clone_box() const { return std::make_unique<Sphere>(*this); }
ShapeType Sphere::get_shape_type() const { return ShapeType::Sphere; }
std::optional<float> Sphere::get_radius() const { return radius; }

bool Cuboid::is_convex() const { return true; }
std::unique_ptr<Shape> Cuboid::clone_box() const { return std::make_unique<Cuboid>(*this); }
ShapeType Cuboid::get_shape_type() const { return ShapeType::Cuboid; }
std::optional<std::array<float, 3>> Cuboid::get_half_extents() const { return half_extents; }

template class AxialShape<ShapeType::Cylinder>;
template class AxialShape<ShapeType::Cone>;
template class AxialShape<ShapeType::Capsule>;

bool Mesh::is_convex() const { return false; }
std::unique_ptr<Shape> Mesh::clone_box() const { return std::make_unique<Mesh>(*this); }
ShapeType Mesh::get_shape_type() const { return ShapeType::Mesh; }
std::optional<std::string> Mesh::get_mesh_path() const { return path; }
std::optional<std::array<double, 3>> Mesh::get_mesh_scale() const { return scale; }

std::unique_ptr<Shape> make_sphere(float radius) { return std::make_unique<Sphere>(radius); }
std::unique_ptr<Shape> make_cuboid(const std::array<float, 3>& sides) { return std::make_unique<Cuboid>(sides); }
std::unique_ptr<Shape> make_cylinder(float radius, float length) { return std::make_unique<Cylinder>(radius, length); }
std::unique_ptr<Shape> make_cone(float radius, float length) { return std::make_unique<Cone>(radius, length); }
std::unique_ptr<Shape> make_capsule(float radius, float length) { return std::make_unique<Capsule>(radius, length); }
std::unique_ptr<Shape> make_mesh(std::string path, const std::array<double, 3>& scale) {
  return std::make_unique<Mesh>(std::move(path), scale);
}

}  // namespace velmora
