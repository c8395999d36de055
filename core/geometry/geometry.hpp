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
#include "core/spatial/format.hpp"
#include "core/spatial/se3.hpp"

namespace velmora {

// "Color([[r, g, b, a]])": the four values as a one-column matrix.
void write_debug(fmt::DebugWriter& w, const Color& color);

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

  // name, parent_joint, parent_frame, disable_collision, mesh_color, placement; the shape
  // is not part of it.
  std::string debug(bool pretty) const;
  void write_debug(fmt::DebugWriter& w) const;
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
  // Entry `index`, or nothing when the index is at or beyond the count.
  std::optional<SE3> get_object_placement(std::size_t index) const;
};

}  // namespace velmora
