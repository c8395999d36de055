// Collision and distance queries between the objects of a geometry model, placed as a
// GeometryData holds them. FCL answers the queries (in double precision, from the
// single-precision shape dimensions); Assimp reads the mesh files. Nothing here throws:
// the libraries' exceptions are caught and returned as errors.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "core/geometry/geometry.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

// A mesh file that cannot be read or holds no triangle, a shape with a negative or
// non-finite dimension, placements that do not match the model, a pair beyond the
// objects, or a failure inside the collision library. The message names the file and
// the object where there is one.
struct CollisionError {
  std::string message;
};

// The distance between two objects: positive when apart, minus the penetration depth
// when they overlap, 0 when they touch. The overlap test is compute_collisions's: a pair
// it reports has a distance of at most 0, any other pair at least 0. point_i and point_j are world points on objects i and j (the
// closest points when apart, the deepest points of each inside the other when they
// overlap); normal is the unit vector from i towards j along which j would have to move
// to increase the distance.
struct DistanceResult {
  std::size_t i = 0;
  std::size_t j = 0;
  double distance = 0.0;
  Vector3D point_i;
  Vector3D point_j;
  Vector3D normal;
};

// Makes the collision geometry of every object now, reading every mesh file (as its
// convex hull when `convex`). Without this call the queries make what they need on
// first use, meshes as triangle sets. Objects naming the same file and scale share one
// mesh. Calling it again with the other `convex` value rebuilds the meshes.
std::expected<void, CollisionError> load_meshes(const GeometryModel& model, bool convex);

// Makes what the queries would make on first use and is still missing (every object's
// collision geometry, mesh files read as triangle sets unless load_meshes chose hulls), so
// that a caller learns of an unreadable mesh or a bad shape before it changes anything.
std::expected<void, CollisionError> prepare_queries(const GeometryModel& model);

// The pairs of the model's collision pair list whose objects touch or overlap, in list
// order; only the first one when `stop_at_first`.
std::expected<std::vector<CollisionPair>, CollisionError> compute_collisions(const GeometryModel& model,
                                                                             const GeometryData& data,
                                                                             bool stop_at_first);

// One result for each pair of the collision pair list, in list order.
std::expected<std::vector<DistanceResult>, CollisionError> compute_distances(const GeometryModel& model,
                                                                             const GeometryData& data);

// The distance between objects i and j (any two different objects, listed or not).
std::expected<DistanceResult, CollisionError> compute_distance(const GeometryModel& model, const GeometryData& data,
                                                               std::size_t i, std::size_t j);

// The triangles of a mesh file as Assimp reads it for the queries, scaled: nine numbers
// per triangle (its corners' x, y, z), in the mesh's own frame. For drawing; the
// queries keep their own copy.
std::expected<std::vector<double>, CollisionError> read_mesh_triangles(const std::string& path,
                                                                       const std::array<double, 3>& scale);

// What reading an SRDF file did: how many pairs it removed and the link names it
// named that the model does not know (in file order, each once).
struct SrdfOutcome {
  std::size_t removed = 0;
  std::vector<std::string> unknown_links;
};

// Removes the pairs between the links of every <disable_collisions link1=".." link2="..">
// entry of the SRDF file at `path`. Links are found by name among `frame_names` (a
// kinematic model's frame names, or the names the loader recorded when null). The list
// is unchanged when the file cannot be read or parsed.
std::expected<SrdfOutcome, CollisionError> remove_collision_pairs_from_srdf(
    GeometryModel& model, const std::string& path, const std::vector<std::string>* frame_names = nullptr);

}  // namespace velmora
