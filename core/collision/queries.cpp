// Collision and distance queries over the collision pair list, with FCL.
#include <cmath>
#include <exception>

#include "core/collision/cache.hpp"
#include "core/spatial/format.hpp"

namespace velmora {

namespace {

using collision::prepare;

std::unexpected<CollisionError> fail(std::string message) { return std::unexpected(CollisionError{std::move(message)}); }

// The world placements of the objects as FCL transforms, checked against the model.
std::expected<void, CollisionError> world_transforms(const GeometryModel& model, const GeometryData& data,
                                                     std::vector<fcl::Transform3d>& out) {
  const std::size_t n = model.objects.size();
  if (data.object_placements.size() != n)
    return fail("The geometry data holds " + std::to_string(data.object_placements.size()) +
                " placements but the geometry model has " + std::to_string(n) +
                " objects: make the data from this model");
  out.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const SE3& m = data.object_placements[k];
    fcl::Transform3d& t = out[k];
    t.setIdentity();
    for (int c = 0; c < 3; ++c)
      for (int r = 0; r < 3; ++r) t.linear()(r, c) = m.rotation(r, c);
    t.translation() << m.translation.x, m.translation.y, m.translation.z;
  }
  return {};
}

// A transform with a NaN or an infinity would make the solvers loop or fail.
std::expected<void, CollisionError> check_finite(const GeometryModel& model, const fcl::Transform3d& t,
                                                 std::size_t k) {
  if (t.matrix().allFinite()) return {};
  return fail("The placement of geometry object " + fmt::quoted(model.objects[k].name) + " (index " +
              std::to_string(k) + ") is not finite");
}

// The world box around an object: the local box turned and moved, then bounded again
// (|R| times the half extents).
fcl::AABBd world_box(const fcl::CollisionGeometryd& g, const fcl::Transform3d& t) {
  const fcl::Vector3d centre = t * g.aabb_local.center();
  const fcl::Vector3d half = t.linear().cwiseAbs() * ((g.aabb_local.max_ - g.aabb_local.min_) * 0.5);
  return fcl::AABBd(centre - half, centre + half);
}

fcl::CollisionRequestd collision_request() {
  fcl::CollisionRequestd request;
  request.num_max_contacts = 1;
  request.enable_contact = false;
  request.gjk_solver_type = fcl::GST_LIBCCD;
  return request;
}

Vector3D to_vector(const fcl::Vector3d& v) { return {v[0], v[1], v[2]}; }

// One distance query. The unsigned query first: it takes FCL's exact formulas for the
// pairs that have them (spheres against spheres, boxes, capsules and cylinders) and
// answers every separated pair. Only overlapping pairs go on to the penetration query.
DistanceResult pair_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t i,
                             std::size_t j) {
  const fcl::CollisionGeometryd* gi = cache.geometries[i].get();
  const fcl::CollisionGeometryd* gj = cache.geometries[j].get();
  fcl::DistanceRequestd request;
  request.enable_nearest_points = true;
  request.gjk_solver_type = fcl::GST_LIBCCD;
  request.distance_tolerance = 1e-10;
  fcl::DistanceResultd result;
  fcl::distance(gi, tf[i], gj, tf[j], request, result);
  DistanceResult out{i, j, result.min_distance, to_vector(result.nearest_points[0]),
                     to_vector(result.nearest_points[1]), {}};
  if (result.min_distance > 0.0) {
    const fcl::Vector3d d = result.nearest_points[1] - result.nearest_points[0];
    const double n = d.norm();
    if (n > 0.0) out.normal = to_vector(d / n);
    return out;
  }
  // Touching or overlapping. Between two primitives or convex hulls FCL's signed query
  // (GJK with EPA) gives the depth and the deepest points.
  const bool both_convex = gi->getObjectType() == fcl::OT_GEOM && gj->getObjectType() == fcl::OT_GEOM;
  if (both_convex) {
    fcl::DistanceRequestd signed_request = request;
    signed_request.enable_signed_distance = true;
    fcl::DistanceResultd signed_result;
    fcl::distance(gi, tf[i], gj, tf[j], signed_request, signed_result);
    // Overlapping: i's deepest point lies on j's side, so i -> j is point_i - point_j.
    const fcl::Vector3d d = signed_result.nearest_points[0] - signed_result.nearest_points[1];
    const double n = d.norm();
    if (signed_result.min_distance < 0.0 && n > 0.0) {
      out.distance = signed_result.min_distance;
      out.point_i = to_vector(signed_result.nearest_points[0]);
      out.point_j = to_vector(signed_result.nearest_points[1]);
      out.normal = to_vector(d / n);
      return out;
    }
  }
  // A mesh, or shapes that only touch: the deepest contact of the collision query gives
  // the depth, the normal (from i towards j) and, as both points, the contact position.
  fcl::CollisionRequestd contact_request = collision_request();
  contact_request.enable_contact = true;
  contact_request.num_max_contacts = 100000;
  fcl::CollisionResultd contacts;
  fcl::collide(gi, tf[i], gj, tf[j], contact_request, contacts);
  out.distance = 0.0;
  if (contacts.numContacts() == 0) return out;  // touching without overlap
  std::size_t deepest = 0;
  for (std::size_t k = 1; k < contacts.numContacts(); ++k)
    if (contacts.getContact(k).penetration_depth > contacts.getContact(deepest).penetration_depth) deepest = k;
  const fcl::Contactd& c = contacts.getContact(deepest);
  out.distance = -std::max(c.penetration_depth, 0.0);
  out.point_i = out.point_j = to_vector(c.pos);
  const double n = c.normal.norm();
  out.normal = n > 0.0 ? to_vector(c.normal / n) : Vector3D{};
  return out;
}

// The cache with every geometry made, and the world transforms.
std::expected<CollisionCache*, CollisionError> prepare_query(const GeometryModel& model, const GeometryData& data,
                                                             std::vector<fcl::Transform3d>& tf) {
  auto cache = prepare(model);
  if (!cache) return cache;
  if (auto ok = world_transforms(model, data, tf); !ok) return std::unexpected(ok.error());
  return cache;
}

// Runs `body`, turning an exception of the collision library into an error.
template <class T, class F>
std::expected<T, CollisionError> guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return fail(std::string("The collision library failed: ") + e.what());
  }
}

thread_local std::vector<fcl::Transform3d> scratch_transforms;
thread_local std::vector<fcl::AABBd> scratch_boxes;
thread_local std::vector<unsigned char> scratch_checked;

}  // namespace

std::expected<std::vector<CollisionPair>, CollisionError> compute_collisions(const GeometryModel& model,
                                                                             const GeometryData& data,
                                                                             bool stop_at_first) {
  std::vector<fcl::Transform3d>& tf = scratch_transforms;
  auto cache = prepare_query(model, data, tf);
  if (!cache) return std::unexpected(cache.error());
  const std::size_t n = model.objects.size();
  // World boxes of the objects in pairs only, each made once: the broad phase.
  std::vector<fcl::AABBd>& boxes = scratch_boxes;
  std::vector<unsigned char>& made = scratch_checked;
  boxes.resize(n);
  made.assign(n, 0);
  return guarded<std::vector<CollisionPair>>([&]() -> std::expected<std::vector<CollisionPair>, CollisionError> {
    std::vector<CollisionPair> hits;
    const fcl::CollisionRequestd request = collision_request();
    for (const CollisionPair& p : model.collision_pairs) {
      for (std::size_t k : {p.first, p.second})
        if (!made[k]) {
          if (auto ok = check_finite(model, tf[k], k); !ok) return std::unexpected(ok.error());
          boxes[k] = world_box(*(*cache)->geometries[k], tf[k]);
          made[k] = 1;
        }
      if (!boxes[p.first].overlap(boxes[p.second])) continue;
      fcl::CollisionResultd result;
      fcl::collide((*cache)->geometries[p.first].get(), tf[p.first], (*cache)->geometries[p.second].get(),
                   tf[p.second], request, result);
      if (result.isCollision()) {
        hits.push_back(p);
        if (stop_at_first) break;
      }
    }
    return hits;
  });
}

std::expected<std::vector<DistanceResult>, CollisionError> compute_distances(const GeometryModel& model,
                                                                             const GeometryData& data) {
  std::vector<fcl::Transform3d>& tf = scratch_transforms;
  auto cache = prepare_query(model, data, tf);
  if (!cache) return std::unexpected(cache.error());
  for (const CollisionPair& p : model.collision_pairs)
    for (std::size_t k : {p.first, p.second})
      if (auto ok = check_finite(model, tf[k], k); !ok) return std::unexpected(ok.error());
  return guarded<std::vector<DistanceResult>>([&]() -> std::expected<std::vector<DistanceResult>, CollisionError> {
    std::vector<DistanceResult> out;
    out.reserve(model.collision_pairs.size());
    for (const CollisionPair& p : model.collision_pairs) out.push_back(pair_distance(**cache, tf, p.first, p.second));
    return out;
  });
}

std::expected<DistanceResult, CollisionError> compute_distance(const GeometryModel& model, const GeometryData& data,
                                                               std::size_t i, std::size_t j) {
  const std::size_t n = model.objects.size();
  if (i >= n || j >= n)
    return fail("Object index " + std::to_string(std::max(i, j)) + " is beyond the model's " + std::to_string(n) +
                " geometry objects");
  if (i == j) return fail("compute_distance needs two different objects, got " + std::to_string(i) + " twice");
  std::vector<fcl::Transform3d>& tf = scratch_transforms;
  auto cache = prepare_query(model, data, tf);
  if (!cache) return std::unexpected(cache.error());
  for (std::size_t k : {i, j})
    if (auto ok = check_finite(model, tf[k], k); !ok) return std::unexpected(ok.error());
  return guarded<DistanceResult>([&]() -> std::expected<DistanceResult, CollisionError> {
    return pair_distance(**cache, tf, i, j);
  });
}

}  // namespace velmora
