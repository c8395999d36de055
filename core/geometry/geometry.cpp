#include "core/geometry/geometry.hpp"

#include <algorithm>
#include <string_view>

namespace velmora {

namespace {

// Checks that every object's parent joint has a world placement in `data`.
std::expected<void, GeometryError> check_parents(const Data& data, const GeometryModel& model) {
  for (std::size_t k = 0; k < model.objects.size(); ++k) {
    const GeometryObject& o = model.objects[k];
    if (o.parent_joint >= data.oMi.size())
      return std::unexpected(GeometryError{
          "Geometry object " + fmt::quoted(o.name) + " (index " + std::to_string(k) + ") is attached to joint " +
          std::to_string(o.parent_joint) + ", but the data holds placements for " +
          std::to_string(data.oMi.size()) + " joints"});
  }
  return {};
}

// Sets oMi[parent_joint] * placement for every object; parents checked beforehand.
// Most objects sit on their joint without a turn (a URDF origin with xyz only): their
// world rotation is then the joint's own and only the offset is turned, as forward
// kinematics does for joint placements that only translate.
// Writes over the placements in place (sized to the objects). The rotation test compares
// all nine entries without stopping at the first that differs: one branch per object
// instead of nine.
inline bool unturned(const SpatialRotation& r) {
  constexpr SpatialRotation identity = SpatialRotation::identity();
  bool same = true;
  for (int k = 0; k < 9; ++k) same &= r.m[k] == identity.m[k];
  return same;
}

void place_objects(const Data& data, const GeometryModel& model, std::vector<SE3>& out) {
  out.resize(model.objects.size());
  SE3* placed = out.data();
  for (const GeometryObject& o : model.objects) {
    const SE3& joint = data.oMi[o.parent_joint];
    *placed++ = unturned(o.placement.rotation) ? joint.translated(o.placement.translation) : joint * o.placement;
  }
}

}  // namespace

void write_debug(fmt::DebugWriter& w, const Color& color) {
  w.tuple("Color", [&] { w.item([&] { w.list([&] { w.item([&] { w.numbers(color.as_slice(), 4); }); }); }); });
}

// ----------------------------------------------------------------------- GeometryObject

GeometryObject::GeometryObject(std::string name_, std::size_t parent_joint_, std::size_t parent_frame_,
                               std::unique_ptr<Shape> geometry_, const SE3& placement_)
    : name(std::move(name_)),
      geometry(std::move(geometry_)),
      parent_joint(parent_joint_),
      parent_frame(parent_frame_),
      placement(placement_) {}

GeometryObject::GeometryObject(const GeometryObject& o)
    : name(o.name),
      geometry(o.geometry ? o.geometry->clone_box() : nullptr),
      parent_joint(o.parent_joint),
      parent_frame(o.parent_frame),
      mesh_color(o.mesh_color),
      placement(o.placement),
      disable_collision(o.disable_collision) {}

GeometryObject& GeometryObject::operator=(const GeometryObject& o) {
  if (this != &o) *this = GeometryObject(o);
  return *this;
}

void GeometryObject::write_debug(fmt::DebugWriter& w) const {
  w.record("GeometryObject", [&] {
    w.field("name", [&] { w.text(fmt::quoted(name)); });
    w.field("parent_joint", [&] { w.text(std::to_string(parent_joint)); });
    w.field("parent_frame", [&] { w.text(std::to_string(parent_frame)); });
    w.field("disable_collision", [&] { w.text(disable_collision ? "true" : "false"); });
    w.field("mesh_color", [&] { velmora::write_debug(w, mesh_color); });
    w.field("placement", [&] { placement.write_debug(w); });
  });
}

std::string GeometryObject::debug(bool pretty) const {
  fmt::DebugWriter w(pretty);
  write_debug(w);
  return std::move(w.out());
}

// ------------------------------------------------------------------------ GeometryModel

std::size_t GeometryModel::add_geometry_object(GeometryObject object) {
  objects.push_back(std::move(object));
  return objects.size() - 1;
}

std::optional<std::size_t> GeometryModel::get_geometry_id(std::string_view name) const {
  for (std::size_t k = 0; k < objects.size(); ++k)
    if (objects[k].name == name) return k;
  return {};
}

void GeometryModel::record_tree(std::size_t joint, std::size_t parent, std::size_t frame, std::string_view name) {
  if (joint_parents.size() <= joint) joint_parents.resize(joint + 1, unknown);
  joint_parents[joint] = parent;
  if (frame_names.size() <= frame) frame_names.resize(frame + 1);
  frame_names[frame] = name;
}

namespace {

std::expected<CollisionPair, GeometryError> checked_pair(std::size_t i, std::size_t j, std::size_t n) {
  if (i >= n || j >= n)
    return std::unexpected(GeometryError{"Collision pair (" + std::to_string(i) + ", " + std::to_string(j) +
                                         ") names an object beyond the model's " + std::to_string(n) +
                                         " geometry objects"});
  if (i == j)
    return std::unexpected(
        GeometryError{"Collision pair (" + std::to_string(i) + ", " + std::to_string(j) + ") names one object twice"});
  return CollisionPair{std::min(i, j), std::max(i, j)};
}

}  // namespace

std::expected<void, GeometryError> GeometryModel::add_collision_pair(std::size_t i, std::size_t j) {
  const auto pair = checked_pair(i, j, objects.size());
  if (!pair) return std::unexpected(pair.error());
  const auto at = std::lower_bound(collision_pairs.begin(), collision_pairs.end(), *pair);
  if (at == collision_pairs.end() || *at != *pair) collision_pairs.insert(at, *pair);
  return {};
}

std::expected<void, GeometryError> GeometryModel::remove_collision_pair(std::size_t i, std::size_t j) {
  const CollisionPair pair{std::min(i, j), std::max(i, j)};
  const auto at = std::lower_bound(collision_pairs.begin(), collision_pairs.end(), pair);
  if (at == collision_pairs.end() || *at != pair)
    return std::unexpected(GeometryError{"There is no collision pair (" + std::to_string(i) + ", " +
                                         std::to_string(j) + ")"});
  collision_pairs.erase(at);
  return {};
}

std::expected<void, GeometryError> GeometryModel::add_all_collision_pairs(const std::vector<std::size_t>* parents) {
  const std::vector<std::size_t>& tree = parents ? *parents : joint_parents;
  auto parent_of = [&](std::size_t joint) { return joint < tree.size() ? tree[joint] : unknown; };
  // Every object's joint must be known (joint 0, the universe, has no parent).
  for (std::size_t k = 0; k < objects.size(); ++k) {
    const std::size_t joint = objects[k].parent_joint;
    if (joint != 0 && parent_of(joint) == unknown)
      return std::unexpected(GeometryError{
          "The parent of joint " + std::to_string(joint) + " (carrying geometry object " + fmt::quoted(objects[k].name) +
          ") is not known: " +
          (parents ? "the model has no such joint" : "pass the kinematic model the geometry belongs to")});
  }
  std::vector<CollisionPair> all = collision_pairs;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (objects[i].disable_collision) continue;
    for (std::size_t j = i + 1; j < objects.size(); ++j) {
      if (objects[j].disable_collision) continue;
      const std::size_t a = objects[i].parent_joint, b = objects[j].parent_joint;
      if (a == b) continue;
      if ((a != 0 && parent_of(a) == b) || (b != 0 && parent_of(b) == a)) continue;
      all.push_back({i, j});
    }
  }
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  collision_pairs = std::move(all);
  return {};
}

std::size_t GeometryModel::remove_collision_pairs_between_frames(std::size_t a, std::size_t b) {
  const std::size_t before = collision_pairs.size();
  std::erase_if(collision_pairs, [&](const CollisionPair& p) {
    const std::size_t fa = objects[p.first].parent_frame, fb = objects[p.second].parent_frame;
    return (fa == a && fb == b) || (fa == b && fb == a);
  });
  return before - collision_pairs.size();
}

std::string GeometryModel::debug(bool pretty) const {
  fmt::DebugWriter w(pretty);
  w.record("GeometryModel", [&] {
    w.field("objects", [&] {
      w.list([&] {
        for (const GeometryObject& o : objects) w.item([&] { o.write_debug(w); });
      });
    });
  });
  return std::move(w.out());
}

// ------------------------------------------------------------------------- GeometryData

std::expected<GeometryData, GeometryError> GeometryData::create(const Data& data, const GeometryModel& model) {
  if (auto ok = check_parents(data, model); !ok) return std::unexpected(std::move(ok.error()));
  GeometryData result;
  result.object_placements.reserve(model.objects.size());
  place_objects(data, model, result.object_placements);
  return result;
}

std::expected<void, GeometryError> GeometryData::update(const Data& data, const GeometryModel& model) {
  // Everything that can fail (the parent check, the allocation) happens before the old
  // placements are dropped, so a failed update leaves them as they were.
  if (auto ok = check_parents(data, model); !ok) return ok;
  update_checked(data, model);
  return {};
}

void GeometryData::update_checked(const Data& data, const GeometryModel& model) {
  object_placements.reserve(model.objects.size());
  place_objects(data, model, object_placements);
}

std::expected<void, GeometryError> GeometryData::check(const Data& data, const GeometryModel& model) {
  return check_parents(data, model);
}

std::optional<SE3> GeometryData::get_object_placement(std::size_t index) const {
  if (index >= object_placements.size()) return {};
  return object_placements[index];
}

}  // namespace velmora
