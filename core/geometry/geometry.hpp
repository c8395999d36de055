// Geometry objects (a shape attached to a joint), geometry models (ordered lists of
// them) and geometry data (their world placements for a Data).
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/geometry/shape.hpp"
#include "core/model/model.hpp"
#include "core/spatial/color.hpp"
#include "core/spatial/se3.hpp"

namespace velmora {

struct GeometryObject {
  std::string name;
  std::unique_ptr<Shape> geometry;
  std::size_t parent_joint = 0;
  std::size_t parent_frame = 0;
  Color mesh_color;
  SE3 placement;
  bool disable_collision = false;

  GeometryObject() = default;
  GeometryObject(std::string name, std::size_t parent_joint, std::size_t parent_frame,
                 std::unique_ptr<Shape> geometry, const SE3& placement);
  GeometryObject(const GeometryObject& o);  // deep: the shape is cloned
  GeometryObject& operator=(const GeometryObject& o);
  GeometryObject(GeometryObject&&) noexcept = default;
  GeometryObject& operator=(GeometryObject&&) noexcept = default;

  std::string debug(bool pretty) const;
};

struct GeometryModel {
  std::vector<GeometryObject> objects;
  std::size_t add_geometry_object(GeometryObject object);
  std::optional<std::size_t> get_geometry_id(std::string_view name) const;
  std::string debug(bool pretty) const;
};

// An object whose parent joint has no entry in data.oMi.
struct GeometryError {
  std::string message;  // names the object and the joint
};

struct GeometryData {
  std::vector<SE3> object_placements;
  static std::expected<GeometryData, GeometryError> create(const Data& data, const GeometryModel& model);
  // Leaves the placements untouched on error.
  std::expected<void, GeometryError> update(const Data& data, const GeometryModel& model);
};

}  // namespace velmora
