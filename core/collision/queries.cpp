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

// The broad phase's two bounds of an object: its local box turned and moved (an oriented
// box, tight for cuboids and cylinders) and the world box around that (|R| times the half
// extents). The world boxes are compared first, the oriented boxes (separating axes)
// only when those overlap.
struct Bounds {
  fcl::AABBd world;
  fcl::OBBd oriented;
};

Bounds world_bounds(const fcl::CollisionGeometryd& g, const fcl::Transform3d& t) {
  Bounds b;
  const fcl::Vector3d centre = t * g.aabb_local.center();
  const fcl::Vector3d half_local = (g.aabb_local.max_ - g.aabb_local.min_) * 0.5;
  const fcl::Vector3d half = t.linear().cwiseAbs() * half_local;
  b.world = fcl::AABBd(centre - half, centre + half);
  b.oriented.axis = t.linear();
  b.oriented.To = centre;
  b.oriented.extent = half_local;
  return b;
}

fcl::CollisionRequestd collision_request() {
  fcl::CollisionRequestd request;
  request.num_max_contacts = 1;
  request.enable_contact = false;
  request.gjk_solver_type = fcl::GST_LIBCCD;
  return request;
}

Vector3D to_vector(const fcl::Vector3d& v) { return {v[0], v[1], v[2]}; }

// One distance query, with objects a and b in the order FCL handles consistently (a mesh
// first). Pairs the collision test finds apart get FCL's unsigned distance (its exact
// formulas for spheres against spheres, boxes, capsules and cylinders, and for capsule
// pairs; the iterative solver otherwise); overlapping pairs get a penetration depth.
DistanceResult ordered_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t a,
                                std::size_t b) {
  const fcl::CollisionGeometryd* ga = cache.geometries[a].get();
  const fcl::CollisionGeometryd* gb = cache.geometries[b].get();
  const bool mesh_a = ga->getObjectType() == fcl::OT_BVH;
  DistanceResult out{a, b, 0.0, {}, {}, {}};
  // The collision test decides first, exactly as compute_collisions does (bounds, then
  // FCL's collision query), so that both queries agree on which pairs overlap: FCL's
  // collision and distance solvers differ near contact. It is also needed for meshes,
  // whose distance to an overlapping object FCL leaves unset.
  bool overlap = false;
  const Bounds ba = world_bounds(*ga, tf[a]), bb = world_bounds(*gb, tf[b]);
  if (ba.world.overlap(bb.world) && ba.oriented.overlap(bb.oriented)) {
    fcl::CollisionResultd hit;
    fcl::collide(ga, tf[a], gb, tf[b], collision_request(), hit);
    overlap = hit.isCollision();
  }
  if (!overlap) {
    fcl::DistanceRequestd request;
    request.enable_nearest_points = true;
    request.gjk_solver_type = fcl::GST_LIBCCD;
    // Tight enough for the iterative solver to reach the closest points of curved shapes
    // (the distance converges with the square of the points' error).
    request.distance_tolerance = 1e-13;
    fcl::DistanceResultd result;
    fcl::distance(ga, tf[a], gb, tf[b], request, result);
    fcl::Vector3d pa = result.nearest_points[0], pb = result.nearest_points[1];
    if (mesh_a && gb->getNodeType() == fcl::GEOM_SPHERE) {
      // Between a mesh and a sphere FCL 0.7 reports each point in its object's own frame
      // (against other shapes, in world coordinates).
      pa = tf[a] * pa;
      pb = tf[b] * pb;
    }
    out.point_i = to_vector(pa);
    out.point_j = to_vector(pb);
    // Apart for the collision test but not for the distance solver: touching, distance 0.
    if (result.min_distance <= 0.0) return out;
    out.distance = result.min_distance;
    const fcl::Vector3d d = pb - pa;
    if (d.norm() > 0.0) out.normal = to_vector(d / d.norm());
    return out;
  }
  // Touching or overlapping. Two capsules: FCL's closed form gives the signed distance
  // and the deepest points directly.
  if (ga->getNodeType() == fcl::GEOM_CAPSULE && gb->getNodeType() == fcl::GEOM_CAPSULE) {
    double d = 0.0;
    fcl::Vector3d pa, pb;
    fcl::detail::capsuleCapsuleDistance(static_cast<const fcl::Capsuled&>(*ga), tf[a],
                                        static_cast<const fcl::Capsuled&>(*gb), tf[b], &d, &pa, &pb);
    const fcl::Vector3d gap = pa - pb;  // overlapping: a's deepest point lies on b's side
    if (d < 0.0 && gap.norm() > 0.0) {
      out.distance = d;
      out.point_i = to_vector(pa);
      out.point_j = to_vector(pb);
      out.normal = to_vector(gap / gap.norm());
      return out;
    }
  }
  // Otherwise the deepest contact of the collision query (FCL's closed forms for spheres
  // and boxes, the libccd solver for the others; FCL's own signed-distance search is not
  // used, as it can fail an internal check on some overlapping curved shapes) gives the
  // depth and the normal from a towards b. Triangle contacts carry the depth with either
  // sign, so its size is taken.
  fcl::CollisionRequestd contact_request = collision_request();
  contact_request.enable_contact = true;
  contact_request.num_max_contacts = 100000;
  fcl::CollisionResultd contacts;
  fcl::collide(ga, tf[a], gb, tf[b], contact_request, contacts);
  if (contacts.numContacts() == 0) return out;  // touching without overlap
  std::size_t deepest = 0;
  for (std::size_t k = 1; k < contacts.numContacts(); ++k)
    if (std::abs(contacts.getContact(k).penetration_depth) > std::abs(contacts.getContact(deepest).penetration_depth))
      deepest = k;
  const fcl::Contactd& c = contacts.getContact(deepest);
  const double depth = std::abs(c.penetration_depth);
  const double length = c.normal.norm();
  const fcl::Vector3d n = length > 0.0 ? fcl::Vector3d(c.normal / length) : fcl::Vector3d::Zero();
  out.distance = -depth;
  out.normal = to_vector(n);
  // The points, depth apart along the normal (point_j - point_i = distance * normal, as
  // for separated shapes): on a sphere, its surface point along the normal; for other
  // shapes, on either side of the contact position.
  if (ga->getNodeType() == fcl::GEOM_SPHERE) {
    const fcl::Vector3d pa = tf[a].translation() + n * static_cast<const fcl::Sphered&>(*ga).radius;
    out.point_i = to_vector(pa);
    out.point_j = to_vector(pa - n * depth);
  } else if (gb->getNodeType() == fcl::GEOM_SPHERE) {
    const fcl::Vector3d pb = tf[b].translation() - n * static_cast<const fcl::Sphered&>(*gb).radius;
    out.point_j = to_vector(pb);
    out.point_i = to_vector(pb + n * depth);
  } else {
    out.point_i = to_vector(c.pos + n * (0.5 * depth));
    out.point_j = to_vector(c.pos - n * (0.5 * depth));
  }
  return out;
}

DistanceResult pair_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t i,
                             std::size_t j) {
  // FCL answers a shape against a mesh by swapping them without swapping the answer back:
  // ask with the mesh first, and swap here.
  const bool swap = cache.geometries[i]->getObjectType() != fcl::OT_BVH &&
                    cache.geometries[j]->getObjectType() == fcl::OT_BVH;
  if (!swap) return ordered_distance(cache, tf, i, j);
  DistanceResult r = ordered_distance(cache, tf, j, i);
  std::swap(r.i, r.j);
  std::swap(r.point_i, r.point_j);
  r.normal = -r.normal;
  return r;
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
thread_local std::vector<Bounds> scratch_boxes;
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
  std::vector<Bounds>& boxes = scratch_boxes;
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
          boxes[k] = world_bounds(*(*cache)->geometries[k], tf[k]);
          made[k] = 1;
        }
      if (!boxes[p.first].world.overlap(boxes[p.second].world) ||
          !boxes[p.first].oriented.overlap(boxes[p.second].oriented))
        continue;
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
