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
  virtual std::optional<std::array<double, 3>> get_mesh_scale() const { return {}; }
};

// Rounds a double to the nearest float; magnitudes beyond the float range become
// infinities and NaN stays NaN (IEEE conversion, never undefined behaviour).
float to_f32(double x);

// The concrete shapes. They hold no invariants: zero, negative and non-finite dimensions
// are stored as given. None is changed after it is made.

class Sphere final : public Shape {
 public:
  explicit Sphere(float radius_) : radius(radius_) {}
  bool is_convex() const override;
  std::unique_ptr<Shape> clone_box() const override;
  ShapeType get_shape_type() const override;
  std::optional<float> get_radius() const override;

  float radius;
};

class Cuboid final : public Shape {
 public:
  // From the full edge lengths along x, y and z.
  explicit Cuboid(const std::array<float, 3>& sides)
      : half_extents{sides[0] * 0.5f, sides[1] * 0.5f, sides[2] * 0.5f} {}
  bool is_convex() const override;
  std::unique_ptr<Shape> clone_box() const override;
  ShapeType get_shape_type() const override;
  std::optional<std::array<float, 3>> get_half_extents() const override;

  std::array<float, 3> half_extents;
};

// Cylinder, cone and capsule: a radius and a half length along the local z axis.
template <ShapeType Kind>
class AxialShape final : public Shape {
 public:
  // From the radius and the full length.
  AxialShape(float radius_, float length) : radius(radius_), half_length(length * 0.5f) {}
  bool is_convex() const override { return true; }
  std::unique_ptr<Shape> clone_box() const override { return std::make_unique<AxialShape>(*this); }
  ShapeType get_shape_type() const override { return Kind; }
  std::optional<float> get_radius() const override { return radius; }
  std::optional<float> get_half_length() const override { return half_length; }

  float radius;
  float half_length;
};

using Cylinder = AxialShape<ShapeType::Cylinder>;
using Cone = AxialShape<ShapeType::Cone>;
using Capsule = AxialShape<ShapeType::Capsule>;
extern template class AxialShape<ShapeType::Cylinder>;
extern template class AxialShape<ShapeType::Cone>;
extern template class AxialShape<ShapeType::Capsule>;

// A triangle mesh known by its file path; the path is stored unchanged, neither checked
// nor normalised (the URDF loader resolves it first). The file's vertex coordinates are
// multiplied by `scale`, axis by axis, when the mesh is read (kept in double precision:
// it multiplies every coordinate of the file).
class Mesh final : public Shape {
 public:
  explicit Mesh(std::string path_, const std::array<double, 3>& scale_ = {1.0, 1.0, 1.0})
      : path(std::move(path_)), scale(scale_) {}
  bool is_convex() const override;
  std::unique_ptr<Shape> clone_box() const override;
  ShapeType get_shape_type() const override;
  std::optional<std::string> get_mesh_path() const override;
  std::optional<std::array<double, 3>> get_mesh_scale() const override;

  std::string path;
  std::array<double, 3> scale;
};

// Constructors: full edge lengths / full lengths, halved where the shape stores halves.
std::unique_ptr<Shape> make_sphere(float radius);
std::unique_ptr<Shape> make_cuboid(const std::array<float, 3>& sides);
std::unique_ptr<Shape> make_cylinder(float radius, float length);
std::unique_ptr<Shape> make_cone(float radius, float length);
std::unique_ptr<Shape> make_capsule(float radius, float length);
std::unique_ptr<Shape> make_mesh(std::string path, const std::array<double, 3>& scale = {1.0, 1.0, 1.0});

}  // namespace velmora
