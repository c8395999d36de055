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

// An object whose parent joint has no entry in data.oMi, or a collision pair or tree
// that does not fit the model.
struct GeometryError {
  std::string message;  // names the object and the joint
};

// Two objects to test against each other, by index: first < second.
struct CollisionPair {
  std::size_t first = 0;
  std::size_t second = 0;
  auto operator<=>(const CollisionPair&) const = default;
};

// The collision geometry made from the objects' shapes and mesh files on first use
// (core/collision defines it). A copy of a geometry model starts without it and makes
// its own: the cache belongs to one list of objects.
struct CollisionCache;
class CollisionCacheSlot {
 public:
  CollisionCacheSlot() = default;
  CollisionCacheSlot(const CollisionCacheSlot&) noexcept {}
  CollisionCacheSlot& operator=(const CollisionCacheSlot&) noexcept {
    ptr.reset();
    return *this;
  }
  CollisionCacheSlot(CollisionCacheSlot&&) noexcept = default;
  CollisionCacheSlot& operator=(CollisionCacheSlot&&) noexcept = default;
  std::shared_ptr<CollisionCache> ptr;
};

struct GeometryModel {
  static constexpr std::size_t unknown = static_cast<std::size_t>(-1);

  std::vector<GeometryObject> objects;
  // Sorted, without repeats.
  std::vector<CollisionPair> collision_pairs;
  // What the URDF loader recorded of the kinematic tree: the parent of each joint that
  // carries an object, and the name of each frame that does (`unknown` and "" elsewhere).
  // Empty for a model built by hand.
  std::vector<std::size_t> joint_parents;
  std::vector<std::string> frame_names;
  // Filled by the collision queries; a query on a const model may fill it.
  mutable CollisionCacheSlot collision_cache;

  std::size_t add_geometry_object(GeometryObject object);
  std::optional<std::size_t> get_geometry_id(std::string_view name) const;
  std::string debug(bool pretty) const;

  // Records that joint `joint` hangs from `parent` and frame `frame` is called `name`.
  void record_tree(std::size_t joint, std::size_t parent, std::size_t frame, std::string_view name);

  // Adds (i, j) in either order; an existing pair is left as it is. Error for an index
  // beyond the objects or i == j.
  std::expected<void, GeometryError> add_collision_pair(std::size_t i, std::size_t j);
  // Error when the pair is not in the list.
  std::expected<void, GeometryError> remove_collision_pair(std::size_t i, std::size_t j);
  // Every pair of objects on different joints, except objects with disable_collision
  // and pairs whose joints are parent and child. `parents` gives each joint's parent
  // (a kinematic model's joint_parents); without it the recorded tree is used. Error,
  // with the list unchanged, when an object's joint has no known parent.
  std::expected<void, GeometryError> add_all_collision_pairs(const std::vector<std::size_t>* parents = nullptr);
  // Removes every pair with one object on frame `a` and the other on frame `b`; returns
  // how many were removed.
  std::size_t remove_collision_pairs_between_frames(std::size_t a, std::size_t b);
};

struct GeometryData {
  std::vector<SE3> object_placements;
  static std::expected<GeometryData, GeometryError> create(const Data& data, const GeometryModel& model);
  // Leaves the placements untouched on error.
  std::expected<void, GeometryError> update(const Data& data, const GeometryModel& model);
  // The error update() would give for this data and model (a parent joint without a
  // placement), or nothing: lets a caller refuse before it changes anything.
  static std::expected<void, GeometryError> check(const Data& data, const GeometryModel& model);
  // update() for a data and model check() has accepted (forward kinematics keeps the data's
  // size): the placements, without testing the parents a second time.
  void update_checked(const Data& data, const GeometryModel& model);
  // Entry `index`, or nothing when the index is at or beyond the count.
  std::optional<SE3> get_object_placement(std::size_t index) const;
};

}  // namespace velmora
