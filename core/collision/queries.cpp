// Collision and distance queries over the collision pair list, with FCL.
#include <cmath>
#include <exception>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Whether objects a and b touch or overlap, decided exactly as compute_collisions decides
// (bounds, then FCL's collision query), so that both queries agree on which pairs overlap:
// FCL's collision and distance solvers differ near contact.
bool overlapping(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t a, std::size_t b) {
  const fcl::CollisionGeometryd* ga = cache.geometries[a].get();
  const fcl::CollisionGeometryd* gb = cache.geometries[b].get();
  const Bounds ba = world_bounds(*ga, tf[a]), bb = world_bounds(*gb, tf[b]);
  if (!ba.world.overlap(bb.world) || !ba.oriented.overlap(bb.oriented)) return false;
  fcl::CollisionResultd hit;
  fcl::collide(ga, tf[a], gb, tf[b], collision_request(), hit);
  return hit.isCollision();
}

// The distance of objects a and b, which the collision test finds apart, in the order FCL
// handles consistently (a mesh first): FCL's unsigned distance (its exact formulas for
// spheres against spheres, boxes, capsules and cylinders, and for capsule pairs; the
// iterative solver otherwise).
DistanceResult apart_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t a,
                              std::size_t b) {
  const fcl::CollisionGeometryd* ga = cache.geometries[a].get();
  const fcl::CollisionGeometryd* gb = cache.geometries[b].get();
  DistanceResult out{a, b, 0.0, {}, {}, {}};
  fcl::DistanceRequestd request;
  request.enable_nearest_points = true;
  request.gjk_solver_type = fcl::GST_LIBCCD;
  // Tight enough for the iterative solver to reach the closest points of curved shapes
  // (the distance converges with the square of the points' error).
  request.distance_tolerance = 1e-13;
  fcl::DistanceResultd result;
  fcl::distance(ga, tf[a], gb, tf[b], request, result);
  fcl::Vector3d pa = result.nearest_points[0], pb = result.nearest_points[1];
  if (ga->getObjectType() == fcl::OT_BVH && gb->getNodeType() == fcl::GEOM_SPHERE) {
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

// The signed distance of objects a and b, which the collision test finds touching or
// overlapping (a mesh first, as above).
DistanceResult overlap_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t a,
                                std::size_t b) {
  const fcl::CollisionGeometryd* ga = cache.geometries[a].get();
  const fcl::CollisionGeometryd* gb = cache.geometries[b].get();
  DistanceResult out{a, b, 0.0, {}, {}, {}};
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

// One distance query between objects a and b in the order FCL handles consistently.
DistanceResult ordered_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf, std::size_t a,
                                std::size_t b) {
  return overlapping(cache, tf, a, b) ? overlap_distance(cache, tf, a, b) : apart_distance(cache, tf, a, b);
}

// How far apart two primitives must be, by the distance iteration's lower bound, to be
// called apart without asking FCL's collision test: far above both solvers' tolerances,
// so that the test could not answer otherwise. Nearer pairs are decided by the test.
constexpr double kClearlyApart = 1e-6;

DistanceResult primitive_result(std::size_t i, std::size_t j, const collision::Separation& s) {
  DistanceResult out{i, j, 0.0, s.point_a, s.point_b, {}};
  if (s.status != collision::Separation::Status::Separated) return out;  // touching: distance 0
  out.distance = s.distance;
  const Vector3D d = s.point_b - s.point_a;
  const double length = d.norm();
  if (length > 0.0) out.normal = d * (1.0 / length);
  return out;
}

DistanceResult pair_distance(const CollisionCache& cache, const std::vector<fcl::Transform3d>& tf,
                             const std::vector<SE3>& placements, std::size_t i, std::size_t j) {
  // Two primitives apart: the distance iteration of gjk.hpp, which certifies its answer;
  // FCL's collision test still decides near contact, and FCL answers what it leaves open.
  if (const auto &pi = cache.primitives[i], &pj = cache.primitives[j]; pi && pj) {
    using Status = collision::Separation::Status;
    const collision::Separation s = collision::separation(*pi, placements[i], *pj, placements[j]);
    if (s.status == Status::Separated && s.lower > kClearlyApart) return primitive_result(i, j, s);
    if (overlapping(cache, tf, i, j)) return overlap_distance(cache, tf, i, j);
    if (s.status != Status::Undecided) return primitive_result(i, j, s);
    return apart_distance(cache, tf, i, j);
  }
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
thread_local std::vector<unsigned char> scratch_finite;

// An object placed for the collision query: its world box, and its FCL transform once a
// pair gets past the oriented boxes.
struct Placed {
  Placed() { tf.setIdentity(); }  // only the rotation and translation are written later
  // The world box as (min x, min y, min z, -max x, -max y, -max z) and (max x, max y,
  // max z, -min x, -min y, -min z): two boxes are apart exactly when some entry of one's
  // `low` exceeds the same entry of the other's `high` (a negation is exact).
  alignas(16) double low[6];
  alignas(16) double high[6];
  double centre[3];
  const SE3* placement = nullptr;
  bool made = false;
  bool transformed = false;
  fcl::Transform3d tf;
};

[[gnu::noinline]] std::vector<Placed>& placed_scratch() {
  thread_local std::vector<Placed> placed;
  return placed;
}

// Fills the world box of `o` from the placement `m` and the object's local box; false when
// the placement holds a NaN or an infinity (which would make the solvers loop or fail).
// The box is what world_bounds gives through Eigen (t * centre, |R| * half), computed here
// in scalars straight from the placement, with the sums grouped as Eigen 3.4's 3x3 product
// groups them with SSE2 (rows 0 and 1 as (a + b) + c, row 2 as a + (b + c); checked bit for
// bit against those expressions on random input), so that the boxes, and hence the pairs
// passed on to the narrow phase, stay the same as compute_distances's bounds.
// Every entry of the placement reaches a centre through a product or a sum (a NaN or an
// infinity times the local centre's 0 is a NaN), so a non-finite placement shows as a
// non-finite centre or half extent: six checks instead of twelve.
inline bool place(const SE3& m, const CollisionCache::LocalBox& box, Placed& o) {
  const SpatialRotation& r = m.rotation;
  const double p[3] = {m.translation.x, m.translation.y, m.translation.z};
  const fcl::Vector3d& c = box.centre;
  const fcl::Vector3d& h = box.half;
  bool finite = true;
  double* low = o.low;
  double* high = o.high;
  for (int i = 0; i < 3; ++i) {
    const double centre = ((r(i, 0) * c[0] + r(i, 1) * c[1]) + r(i, 2) * c[2]) + p[i];
    const double x = std::abs(r(i, 0)) * h[0], y = std::abs(r(i, 1)) * h[1], z = std::abs(r(i, 2)) * h[2];
    const double half = i < 2 ? (x + y) + z : x + (y + z);
    finite &= static_cast<int>(std::isfinite(centre)) & static_cast<int>(std::isfinite(half));
    o.centre[i] = centre;
    low[i] = centre - half, high[i + 3] = -low[i];
    high[i] = centre + half, low[i + 3] = -high[i];
  }
  if (!finite) return false;
  o.placement = &m;
  o.made = true;
  o.transformed = false;
  return true;
}

// The FCL transform of a placed object, made on first need.
const fcl::Transform3d& transform(Placed& o) {
  if (!o.transformed) {
    const SE3& m = *o.placement;
    for (int c = 0; c < 3; ++c)
      for (int r = 0; r < 3; ++r) o.tf.linear()(r, c) = m.rotation(r, c);
    o.tf.translation() << m.translation.x, m.translation.y, m.translation.z;
    o.transformed = true;
  }
  return o.tf;
}

// fcl::AABB::overlap on the world boxes: the same six comparisons, two at a time where
// SSE2 is there, and without branches, since nearly every pair is rejected here and a
// branch per comparison would be mispredicted often.
inline bool boxes_overlap(const Placed& a, const Placed& b) {
#if defined(__SSE2__)
  __m128d apart = _mm_cmpgt_pd(_mm_load_pd(a.low), _mm_load_pd(b.high));
  apart = _mm_or_pd(apart, _mm_cmpgt_pd(_mm_load_pd(a.low + 2), _mm_load_pd(b.high + 2)));
  apart = _mm_or_pd(apart, _mm_cmpgt_pd(_mm_load_pd(a.low + 4), _mm_load_pd(b.high + 4)));
  return _mm_movemask_pd(apart) == 0;
#else
  int apart = 0;
  for (int k = 0; k < 6; ++k) apart |= int{a.low[k] > b.high[k]};
  return apart == 0;
#endif
}

// The oriented boxes' separating-axis test, made only for pairs whose world boxes overlap:
// fcl::OBB::overlap's fifteen axes in its order, with its 1e-6 added to every |R| entry
// (which only makes the test keep more pairs), computed from the placements as they are
// instead of from OBB objects made for it. R turns b's axes into a's, t is b's centre
// from a's in a's axes.
bool oriented_overlap(const Placed& a, const CollisionCache::LocalBox& la, const Placed& b,
                      const CollisionCache::LocalBox& lb) {
  constexpr double slack = 1e-6;
  const SpatialRotation &ra = a.placement->rotation, &rb = b.placement->rotation;
  const fcl::Vector3d &ea = la.half, &eb = lb.half;
  const double d[3] = {b.centre[0] - a.centre[0], b.centre[1] - a.centre[1], b.centre[2] - a.centre[2]};
  double t[3], r[3][3], f[3][3];
  for (int i = 0; i < 3; ++i) {
    t[i] = ra(0, i) * d[0] + ra(1, i) * d[1] + ra(2, i) * d[2];
    for (int j = 0; j < 3; ++j) {
      r[i][j] = ra(0, i) * rb(0, j) + ra(1, i) * rb(1, j) + ra(2, i) * rb(2, j);
      f[i][j] = std::abs(r[i][j]) + slack;
    }
  }
  const auto a_axis = [&](int i) { return std::abs(t[i]) > ea[i] + (f[i][0] * eb[0] + f[i][1] * eb[1] + f[i][2] * eb[2]); };
  const auto b_axis = [&](int j) {
    const double s = r[0][j] * t[0] + r[1][j] * t[1] + r[2][j] * t[2];
    return std::abs(s) > eb[j] + (f[0][j] * ea[0] + f[1][j] * ea[1] + f[2][j] * ea[2]);
  };
  if (a_axis(0) || b_axis(0) || a_axis(1) || a_axis(2) || b_axis(1) || b_axis(2)) return false;
  for (int i = 0; i < 3; ++i) {
    const int i1 = (i + 1) % 3, i2 = (i + 2) % 3;
    for (int j = 0; j < 3; ++j) {
      const int j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      const double s = t[i2] * r[i1][j] - t[i1] * r[i2][j];
      if (std::abs(s) > ea[i1] * f[i2][j] + ea[i2] * f[i1][j] + eb[j1] * f[i][j2] + eb[j2] * f[i][j1]) return false;
    }
  }
  return true;
}

// The oriented boxes, then FCL's collision test, for a pair whose world boxes overlap. Kept
// out of line so that the pair loop stays small. Two primitives that the distance iteration
// shows clearly apart are apart without FCL: the same bound under which compute_distances
// reports them apart without asking FCL, so that the two queries agree.
[[gnu::noinline]] bool narrow_phase(const CollisionCache& cache, const CollisionPair& p, Placed& a, Placed& b) {
  if (!oriented_overlap(a, cache.local_boxes[p.first], b, cache.local_boxes[p.second])) return false;
  if (const auto &pa = cache.primitives[p.first], &pb = cache.primitives[p.second]; pa && pb)
    if (collision::apart(*pa, *a.placement, *pb, *b.placement, kClearlyApart)) return false;
  fcl::CollisionResultd result;
  fcl::collide(cache.geometries[p.first].get(), transform(a), cache.geometries[p.second].get(), transform(b),
               collision_request(), result);
  return result.isCollision();
}

}  // namespace

std::expected<std::vector<CollisionPair>, CollisionError> compute_collisions(const GeometryModel& model,
                                                                             const GeometryData& data,
                                                                             bool stop_at_first) {
  auto cache = prepare(model);
  if (!cache) return std::unexpected(cache.error());
  const std::size_t n = model.objects.size();
  if (data.object_placements.size() != n)
    return fail("The geometry data holds " + std::to_string(data.object_placements.size()) +
                " placements but the geometry model has " + std::to_string(n) +
                " objects: make the data from this model");
  const auto& boxes = (*cache)->local_boxes;
  // The objects are placed first, in one pass (every object, or only those some pair names
  // when the pairs are few), so that the pair loop below finds them all placed. When a
  // placement is not finite, the objects are placed in pair order instead, as the pairs
  // reach them: an object outside every pair is then never looked at, the error names the
  // first bad object a pair reaches, and a search that stops at its first hit never looks
  // at the later ones. The scratch is fetched once, outside the loops: each access to a
  // thread-local variable from a shared library is a call.
  std::vector<Placed>& placed = placed_scratch();
  placed.resize(n);
  // With at least as many pair ends as objects, placing every object is cheaper than finding
  // those that pairs name.
  const bool place_all = 2 * model.collision_pairs.size() >= n;
  for (Placed& o : placed) o.made = place_all;
  if (!place_all)
    for (const CollisionPair& p : model.collision_pairs) placed[p.first].made = placed[p.second].made = true;
  bool all_finite = true;
  for (std::size_t k = 0; k < n; ++k)
    if (placed[k].made) all_finite &= place(data.object_placements[k], boxes[k], placed[k]);
  if (!all_finite)
    for (Placed& o : placed) o.made = false;
  std::vector<CollisionPair> hits;
  try {
    if (all_finite) {
      // The pair loop kept small: almost every pair ends at the world boxes.
      for (const CollisionPair& p : model.collision_pairs) {
        Placed& a = placed[p.first];
        Placed& b = placed[p.second];
        if (!boxes_overlap(a, b) || !narrow_phase(**cache, p, a, b)) continue;
        hits.push_back(p);
        if (stop_at_first) break;
      }
    } else {
      for (const CollisionPair& p : model.collision_pairs) {
        Placed& a = placed[p.first];
        Placed& b = placed[p.second];
        for (std::size_t k : {p.first, p.second}) {
          Placed& o = k == p.first ? a : b;
          if (o.made) continue;
          if (!place(data.object_placements[k], boxes[k], o))
            return fail("The placement of geometry object " + fmt::quoted(model.objects[k].name) + " (index " +
                        std::to_string(k) + ") is not finite");
        }
        if (!boxes_overlap(a, b) || !narrow_phase(**cache, p, a, b)) continue;
        hits.push_back(p);
        if (stop_at_first) break;
      }
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return fail(std::string("The collision library failed: ") + e.what());
  }
  return hits;
}

std::expected<std::vector<DistanceResult>, CollisionError> compute_distances(const GeometryModel& model,
                                                                             const GeometryData& data) {
  std::vector<fcl::Transform3d>& tf = scratch_transforms;
  auto cache = prepare_query(model, data, tf);
  if (!cache) return std::unexpected(cache.error());
  // Each object's placement checked once; the error names the first bad object a pair
  // reaches, in pair order.
  std::vector<unsigned char>& finite = scratch_finite;
  finite.resize(tf.size());
  for (std::size_t k = 0; k < tf.size(); ++k) finite[k] = tf[k].matrix().allFinite();
  for (const CollisionPair& p : model.collision_pairs)
    for (std::size_t k : {p.first, p.second})
      if (!finite[k])
        if (auto ok = check_finite(model, tf[k], k); !ok) return std::unexpected(ok.error());
  return guarded<std::vector<DistanceResult>>([&]() -> std::expected<std::vector<DistanceResult>, CollisionError> {
    std::vector<DistanceResult> out;
    out.reserve(model.collision_pairs.size());
    for (const CollisionPair& p : model.collision_pairs)
      out.push_back(pair_distance(**cache, tf, data.object_placements, p.first, p.second));
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
    return pair_distance(**cache, tf, data.object_placements, i, j);
  });
}

}  // namespace velmora
