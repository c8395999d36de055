// The Gilbert-Johnson-Keerthi distance iteration over two convex primitives.
//
// The Minkowski difference D = A - B is explored through its support points, in A's
// frame: the distance of the shapes is the distance of D from the origin. Each step
// keeps the smallest simplex (point, segment, triangle, tetrahedron) of support points
// whose closest point v to the origin is the current estimate. |v| is an upper bound of
// the distance (v is the difference of two points on the shapes), and for the support
// point w of D in the direction -v, v.w / |v| is a lower bound (a plane orthogonal to v
// separates D from the origin by that much). The iteration stops when the two bounds
// are within the tolerance, so the answer is certified rather than trusted.
#include "core/collision/gjk.hpp"

#include <algorithm>
#include <cmath>

namespace velmora::collision {

namespace {

using V = Vector3D;
using Core = ConvexPrimitive::Core;

// A shape's support point in its own frame: a point of the core farthest along d.
// Ties (d orthogonal to a face) may return any point of the face.
inline V support(const ConvexPrimitive& shape, const V& d) {
  const V& h = shape.half;
  switch (shape.core) {
    case Core::Point: return {};
    case Core::Segment: return {0.0, 0.0, d.z >= 0.0 ? h.z : -h.z};
    case Core::Cuboid: return {d.x >= 0.0 ? h.x : -h.x, d.y >= 0.0 ? h.y : -h.y, d.z >= 0.0 ? h.z : -h.z};
    case Core::Cylinder: {
      const double z = d.z >= 0.0 ? h.z : -h.z;
      const double s2 = d.x * d.x + d.y * d.y;
      if (!(s2 > 0.0)) return {0.0, 0.0, z};  // along the axis: the centre of an end face
      const double k = h.x / std::sqrt(s2);
      return {k * d.x, k * d.y, z};
    }
    case Core::Cone: {
      // The apex (0, 0, h) reaches h dz; the best point of the base rim r s - h dz.
      const double s = std::sqrt(d.x * d.x + d.y * d.y);
      if (h.z * d.z >= h.x * s - h.z * d.z) return {0.0, 0.0, h.z};
      if (!(s > 0.0)) return {0.0, 0.0, -h.z};
      const double k = h.x / s;
      return {k * d.x, k * d.y, -h.z};
    }
    case Core::Hull: {
      const double* p = shape.points;
      const double* best = p;
      double reach = d.x * p[0] + d.y * p[1] + d.z * p[2];
      for (std::size_t k = 1; k < shape.count; ++k) {
        p += 3;
        const double r = d.x * p[0] + d.y * p[1] + d.z * p[2];
        if (r > reach) reach = r, best = p;
      }
      return {best[0], best[1], best[2]};
    }
  }
  return {};
}

inline V rotate(const SpatialRotation& r, const V& v) {
  return {r(0, 0) * v.x + r(0, 1) * v.y + r(0, 2) * v.z, r(1, 0) * v.x + r(1, 1) * v.y + r(1, 2) * v.z,
          r(2, 0) * v.x + r(2, 1) * v.y + r(2, 2) * v.z};
}

inline V rotate_back(const SpatialRotation& r, const V& v) {  // by the transpose
  return {r(0, 0) * v.x + r(1, 0) * v.y + r(2, 0) * v.z, r(0, 1) * v.x + r(1, 1) * v.y + r(2, 1) * v.z,
          r(0, 2) * v.x + r(1, 2) * v.y + r(2, 2) * v.z};
}

// Support points of A and B in A's frame: w = a - b, a farthest along d on A, b farthest
// along -d on B.
struct Pair {
  const ConvexPrimitive& a;
  const ConvexPrimitive& b;
  SpatialRotation r;  // B's rotation in A's frame
  V p;                // B's origin in A's frame

  // The support point w of D = A - B along d, and the point of A it came from.
  void point(const V& d, V& on_a, V& w) const {
    on_a = support(a, d);
    w = on_a - (rotate(r, support(b, rotate_back(r, -d))) + p);
  }
};

// Support points w = a - b of D, with the point a on A they came from (b = a - w).
struct Simplex {
  V w[4], a[4];
  double l[4];  // barycentric weights of the closest point
  int n = 0;
};

// The closest point of a sub-simplex to the origin: which vertices carry it and with
// what weights.
struct Sub {
  int n = 0;
  int idx[3] = {};
  double l[3] = {};
  double dist2 = 0.0;
};

inline Sub vertex(const V* w, int i) {
  Sub s;
  s.n = 1, s.idx[0] = i, s.l[0] = 1.0, s.dist2 = w[i].squared_norm();
  return s;
}

inline Sub edge(const V* w, int i, int j, double t) {
  Sub s;
  s.n = 2, s.idx[0] = i, s.idx[1] = j, s.l[0] = 1.0 - t, s.l[1] = t;
  s.dist2 = (w[i] + (w[j] - w[i]) * t).squared_norm();
  return s;
}

Sub on_segment(const V* w, int i, int j) {
  const V ab = w[j] - w[i];
  const double num = -w[i].dot(ab), len2 = ab.squared_norm();
  if (!(num > 0.0)) return vertex(w, i);
  if (num >= len2) return vertex(w, j);
  return edge(w, i, j, num / len2);
}

// Ericson's region tests (Real-Time Collision Detection, 5.1.5) with the origin as the point.
Sub on_triangle(const V* w, int ia, int ib, int ic) {
  const V &a = w[ia], &b = w[ib], &c = w[ic];
  const V ab = b - a, ac = c - a;
  const double d1 = -ab.dot(a), d2 = -ac.dot(a);
  if (d1 <= 0.0 && d2 <= 0.0) return vertex(w, ia);
  const double d3 = -ab.dot(b), d4 = -ac.dot(b);
  if (d3 >= 0.0 && d4 <= d3) return vertex(w, ib);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return edge(w, ia, ib, d1 / (d1 - d3));
  const double d5 = -ab.dot(c), d6 = -ac.dot(c);
  if (d6 >= 0.0 && d5 <= d6) return vertex(w, ic);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return edge(w, ia, ic, d2 / (d2 - d6));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) return edge(w, ib, ic, (d4 - d3) / ((d4 - d3) + (d5 - d6)));
  const double sum = va + vb + vc;
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    // A flat triangle: the best of its edges.
    Sub best = on_segment(w, ia, ib);
    for (const Sub& s : {on_segment(w, ia, ic), on_segment(w, ib, ic)})
      if (s.dist2 < best.dist2) best = s;
    return best;
  }
  const double v = vb / sum, t = vc / sum;
  Sub s;
  s.n = 3, s.idx[0] = ia, s.idx[1] = ib, s.idx[2] = ic;
  s.l[0] = 1.0 - v - t, s.l[1] = v, s.l[2] = t;
  s.dist2 = (a + ab * v + ac * t).squared_norm();
  return s;
}

// The closest point of a tetrahedron whose vertex 3 was just added: it lies on one of the
// three faces through that vertex which the origin is outside of (the opposite face held
// the previous closest point, which the new vertex improves on). None of them: the origin
// is inside, or the tetrahedron is too flat to tell.
bool on_tetrahedron(const V* w, Sub& out) {
  static constexpr int faces[3][4] = {{0, 1, 3, 2}, {0, 2, 3, 1}, {1, 2, 3, 0}};
  bool outside_any = false;
  for (const auto& f : faces) {
    const V& a = w[f[0]];
    const V n = cross(w[f[1]] - a, w[f[2]] - a);
    if (!(a.dot(n) * (w[f[3]] - a).dot(n) > 0.0)) continue;  // origin and opposite vertex on one side
    const Sub s = on_triangle(w, f[0], f[1], f[2]);
    if (!outside_any || s.dist2 < out.dist2) out = s;
    outside_any = true;
  }
  return outside_any;
}

// The closest point to the origin of the simplex's first n vertices; false when the
// origin lies inside the tetrahedron.
bool closest(const Simplex& s, int n, Sub& sub) {
  switch (n) {
    case 1: sub = vertex(s.w, 0); return true;
    case 2: sub = on_segment(s.w, 0, 1); return true;
    case 3: sub = on_triangle(s.w, 0, 1, 2); return true;
    default: return on_tetrahedron(s.w, sub);
  }
}

// Keeps only the vertices carrying the closest point, in place (the indices of a Sub
// ascend, so no vertex is overwritten before it is moved), and returns that point.
V keep(Simplex& s, const Sub& sub) {
  V v;
  for (int k = 0; k < sub.n; ++k) {
    const int i = sub.idx[k];
    if (i != k) s.w[k] = s.w[i], s.a[k] = s.a[i];
    s.l[k] = sub.l[k];
    v += s.w[k] * sub.l[k];
  }
  s.n = sub.n;
  return v;
}

constexpr int kMaxIterations = 64;

}  // namespace

namespace {

// The iteration of separation(); with apart_beyond >= 0 it stops at the first direction
// whose separating plane puts the shapes more than apart_beyond apart (status Separated,
// `lower` that plane's bound, no points).
Separation iterate(const ConvexPrimitive& a, const SE3& ta, const ConvexPrimitive& b, const SE3& tb,
                   double apart_beyond) {
  const SpatialRotation& ra = ta.rotation;
  SpatialRotation r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r(i, j) = ra(0, i) * tb.rotation(0, j) + ra(1, i) * tb.rotation(1, j) + ra(2, i) * tb.rotation(2, j);
  const Pair pair{a, b, r, rotate_back(ra, tb.translation - ta.translation)};

  Separation out;
  Simplex s;
  // The first direction: from A's origin towards B's, where the closest points tend to be.
  V d = pair.p;
  if (!(d.squared_norm() > 0.0)) d = V::unit_x();
  pair.point(d, s.a[0], s.w[0]);
  s.l[0] = 1.0;
  s.n = 1;
  V v = s.w[0];
  double vv = v.squared_norm(), vw = 0.0;
  // The tolerance applies to the distance, relative beyond 1 m: squared, so that no step
  // needs a root. The bounds' gap |v| - v.w / |v| is (vv - vw) / |v|.
  const auto within = [](double squared, double gap) {
    const double t2 = kDistanceTolerance * kDistanceTolerance;
    return gap <= 0.0 || gap * gap <= t2 * squared * std::max(1.0, squared);
  };
  bool converged = false, stalled = false;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    if (vv <= kDistanceTolerance * kDistanceTolerance) {  // the cores touch or overlap
      out.status = Separation::Status::Touching;
      break;
    }
    V on_a, w;
    pair.point(-v, on_a, w);
    // The bound of this direction, not the best so far: then the planes through both
    // points orthogonal to v bound their shapes to the same tolerance, and the points and
    // the normal are as certain as the distance.
    vw = v.dot(w);
    if (apart_beyond >= 0.0 && vw > 0.0) {
      const double beyond = apart_beyond + a.radius + b.radius;
      if (vw * vw > beyond * beyond * vv) {
        out.status = Separation::Status::Separated;
        out.lower = vw / std::sqrt(vv) - a.radius - b.radius;
        return out;
      }
    }
    if (within(vv, vv - vw)) {
      converged = true;
      break;
    }
    // The new vertex goes after the kept ones, which stay as they are until it helps.
    s.w[s.n] = w, s.a[s.n] = on_a;
    Sub sub;
    // The origin inside the tetrahedron: the cores overlap, unless rounding misled the
    // side tests; another solver decides.
    if (!closest(s, s.n + 1, sub)) return out;
    if (!(sub.dist2 < vv)) {  // no progress: rounding has the last word
      stalled = true;
      break;
    }
    v = keep(s, sub);
    vv = v.squared_norm();
  }
  if (!converged) {
    if (out.status == Separation::Status::Touching) {
      out.point_a = rotate(ra, s.a[0]) + ta.translation;
      out.point_b = rotate(ra, s.a[0] - s.w[0]) + ta.translation;
      return out;
    }
    // Stopped without progress: settled only if the bounds of this v are close enough.
    if (!stalled || !within(vv, vv - vw)) return out;  // undecided
  }
  const double lower = vw / std::sqrt(vv);
  V pa, pb;
  for (int k = 0; k < s.n; ++k) pa += s.a[k] * s.l[k], pb += (s.a[k] - s.w[k]) * s.l[k];
  const V gap = pb - pa;
  const double core = gap.norm();
  out.distance = core - a.radius - b.radius;
  out.lower = lower - a.radius - b.radius;
  if (!(core > 0.0) || !(out.distance > 0.0)) {
    out.status = Separation::Status::Touching;
    out.point_a = rotate(ra, pa) + ta.translation;
    out.point_b = rotate(ra, pb) + ta.translation;
    return out;
  }
  const V n = gap * (1.0 / core);
  out.point_a = rotate(ra, pa + n * a.radius) + ta.translation;
  out.point_b = rotate(ra, pb - n * b.radius) + ta.translation;
  out.status = Separation::Status::Separated;
  return out;
}

}  // namespace

Separation separation(const ConvexPrimitive& a, const SE3& ta, const ConvexPrimitive& b, const SE3& tb) {
  return iterate(a, ta, b, tb, -1.0);
}

bool apart(const ConvexPrimitive& a, const SE3& ta, const ConvexPrimitive& b, const SE3& tb, double margin) {
  const Separation s = iterate(a, ta, b, tb, margin);
  return s.status == Separation::Status::Separated && s.lower > margin;
}

}  // namespace velmora::collision
