// Collision shapes: sphere, cuboid, cylinder, cone, capsule and mesh. Dimensions are
// stored in single precision.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velmora {

enum class ShapeType : std::uint8_t { Capsule = 0, Cone = 1, Cuboid = 2, Cylinder = 3, Sphere = 4, Mesh = 5 };

class Shape {
 public:
  virtual ~Shape() = default;
  virtual bool is_convex() const = 0;
  virtual std::unique_ptr<Shape> clone_box() const = 0;
  virtual ShapeType get_shape_type() const = 0;
  virtual std::optional<float> get_radius() const { return {}; }
  virtual std::optional<std::array<float, 3>> get_half_extents() const { return {}; }
  virtual std::optional<float> get_half_length() const { return {}; }
  virtual std::optional<std::string> get_mesh_path() const { return {}; }
};

// Constructors: full edge lengths / full lengths, halved where the shape stores halves.
std::unique_ptr<Shape> make_sphere(float radius);
std::unique_ptr<Shape> make_cuboid(const std::array<float, 3>& sides);
std::unique_ptr<Shape> make_cylinder(float radius, float length);
std::unique_ptr<Shape> make_cone(float radius, float length);
std::unique_ptr<Shape> make_capsule(float radius, float length);
std::unique_ptr<Shape> make_mesh(std::string path);

}  // namespace velmora
