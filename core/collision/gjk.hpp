// The distance between two convex primitives (spheres, cuboids, cylinders, cones,
// capsules, the convex hulls of meshes) that are apart, by the Gilbert-Johnson-Keerthi iteration on their support
// points. FCL answers the same question, but its general solvers build and tear down a
// solver object per pair and converge slowly on curved shapes at the tolerance the
// distances need; this iteration works in the first shape's frame, treats spheres and
// capsules as a point or a segment grown by their radius (exact in a few steps), and
// stops on a bound of its own error, so that every distance it returns is within
// `kDistanceTolerance` of the true one, its points and normal with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/spatial/se3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora::collision {

// A convex primitive in its own frame: a core (a point, a segment along z, a cuboid, a
// cylinder along z, a cone along z with its apex at +z, the convex hull of points) grown
// by `radius`.
struct ConvexPrimitive {
  enum class Core : std::uint8_t { Point, Segment, Cuboid, Cylinder, Cone, Hull };
  Core core = Core::Point;
  // Cuboid: the half extents; segment, cylinder, cone: (radius, radius, half length).
  Vector3D half;
  double radius = 0.0;
  // Hull: `count` points, x, y, z each, owned by whoever made the primitive.
  const double* points = nullptr;
  std::size_t count = 0;
};

// The largest error of a distance the iteration reports as separated (relative beyond
// 1 m): the gap between the upper bound (the points' distance) and the lower bound (a
// separating plane). Well below the 1e-9 the closed-form checks hold the queries to.
inline constexpr double kDistanceTolerance = 1e-10;

struct Separation {
  enum class Status : std::uint8_t {
    Separated,  // `distance` > 0 with its points
    Touching,   // the shapes touch or overlap (distance 0 to rounding, or less)
    Undecided,  // the iteration did not settle; ask another solver
  };
  Status status = Status::Undecided;
  double distance = 0.0;  // the distance of point_a and point_b (an upper bound)
  double lower = 0.0;     // a lower bound of the distance, at most kDistanceTolerance below it
  Vector3D point_a;       // world points on a and b; when touching, the last estimate
  Vector3D point_b;
};

// The distance between primitive `a` placed at `ta` and `b` placed at `tb`.
Separation separation(const ConvexPrimitive& a, const SE3& ta, const ConvexPrimitive& b, const SE3& tb);

// Whether `a` at `ta` and `b` at `tb` are certainly more than `margin` apart: the same
// iteration, stopped at the first separating plane that shows it, which is usually one of
// the first few. False says only that the iteration could not show it.
bool apart(const ConvexPrimitive& a, const SE3& ta, const ConvexPrimitive& b, const SE3& tb, double margin);

}  // namespace velmora::collision
