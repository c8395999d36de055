// The collision geometry of a geometry model's objects, made on first use and kept with
// the model: FCL shapes for the primitives, bounding-volume hierarchies (or convex
// hulls) for the meshes, each mesh file read once per file and scale.
#pragma once

#include <array>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <fcl/fcl.h>

#include "core/collision/collision.hpp"
#include "core/collision/gjk.hpp"

namespace velmora {

struct CollisionCache {
  using Geometry = std::shared_ptr<fcl::CollisionGeometryd>;
  // (file, scale, convex): objects that name the same file and scale share the mesh.
  using MeshKey = std::tuple<std::string, std::array<double, 3>, bool>;

  // Meshes are read as convex hulls (load_meshes(convex = true)) or as triangle sets.
  bool convex = false;
  // By object index; null until made.
  std::vector<Geometry> geometries;
  // By object index, made with the geometries: the centre and half extents of each
  // geometry's local box, which the broad phase turns into world boxes on every query.
  struct LocalBox {
    fcl::Vector3d centre;
    fcl::Vector3d half;
  };
  std::vector<LocalBox> local_boxes;
  // By object index, made with the geometries: the primitive as the distance iteration
  // sees it (gjk.hpp); empty for meshes, which FCL's bounding-volume hierarchies answer.
  std::vector<std::optional<collision::ConvexPrimitive>> primitives;
  std::map<MeshKey, Geometry> meshes;
};

namespace collision {

// The triangles of a mesh file in the file's coordinates (node transforms applied), each
// coordinate multiplied by `scale`; the reason as text when the file cannot be used.
struct Triangles {
  std::vector<fcl::Vector3d> vertices;
  std::vector<fcl::Triangle> triangles;
};
std::expected<Triangles, std::string> read_triangles(const std::string& path, const std::array<double, 3>& scale);

// The model's cache with a geometry for every object, made where missing.
std::expected<CollisionCache*, CollisionError> prepare(const GeometryModel& model);

}  // namespace collision
}  // namespace velmora
