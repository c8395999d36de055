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
//
// A query is a few steps, each a short chain of dependent arithmetic, so the step is
// written for that chain: the support points choose their side of a shape without a
// branch (which side changes from step to step without a pattern a predictor follows),
// and the closest point tests only the regions the new vertex can have made closest.
#include "core/collision/gjk.hpp"

#include <algorithm>
#include <cmath>

namespace velmora::collision {

namespace {

using V = Vector3D;
using Core = ConvexPrimitive::Core;

// h for s >= 0, else -h (also for s = -0: adding +0 turns it into +0), without a branch.
inline double signed_by(double h, double s) { return std::copysign(h, s + 0.0); }

// A shape's support point in its own frame: a point of the core farthest along d.
// Ties (d orthogonal to a face) may return any point of the face.
inline V support(const ConvexPrimitive& shape, const V& d) {
  const V& h = shape.half;
  switch (shape.core) {
    case Core::Point: return {};
    case Core::Segment: return {0.0, 0.0, signed_by(h.z, d.z)};
    case Core::Cuboid: return {signed_by(h.x, d.x), signed_by(h.y, d.y), signed_by(h.z, d.z)};
    case Core::Cylinder: {
      const double z = signed_by(h.z, d.z);
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
class Pair {
 public:
  // B placed in A's frame by the rotation r and the translation p.
  Pair(const ConvexPrimitive& a, const ConvexPrimitive& b, const SpatialRotation& r, const V& p)
      : a_(a), b_(b), axis_{{r(0, 0), r(1, 0), r(2, 0)}, {r(0, 1), r(1, 1), r(2, 1)}, {r(0, 2), r(1, 2), r(2, 2)}}, p_(p) {
    if (b.core == Core::Cuboid)
      for (int k = 0; k < 3; ++k) half_axis_[k] = axis_[k] * b.half[k];
  }

  const V& origin_b() const { return p_; }

  // The support point w of D = A - B along d (e = -d), and the point of A it came from.
  void point(const V& d, const V& e, V& on_a, V& w) const {
    on_a = support(a_, d);
    w = on_a - farthest_on_b(e);
  }

 private:
  // B's point farthest along e, both in A's frame. A point or a segment needs no turn of
  // e into B's frame (or only its axial part), and a cuboid's corner is a sum of its half
  // axes; the other cores turn e into B's frame and their support point back.
  V farthest_on_b(const V& e) const {
    switch (b_.core) {
      case Core::Point: return p_;
      case Core::Segment: return axis_[2] * signed_by(b_.half.z, axis_[2].dot(e)) + p_;
      case Core::Cuboid: {
        const double x = signed_by(1.0, axis_[0].dot(e)), y = signed_by(1.0, axis_[1].dot(e));
        const double z = signed_by(1.0, axis_[2].dot(e));
        return half_axis_[0] * x + half_axis_[1] * y + half_axis_[2] * z + p_;
      }
      default: {
        const V s = support(b_, {axis_[0].dot(e), axis_[1].dot(e), axis_[2].dot(e)});
        return axis_[0] * s.x + axis_[1] * s.y + axis_[2] * s.z + p_;
      }
    }
  }

  const ConvexPrimitive& a_;
  const ConvexPrimitive& b_;
  V axis_[3];  // B's axes in A's frame (the columns of B's rotation there)
  V p_;        // B's origin in A's frame
  V half_axis_[3];  // a cuboid B: its axes times its half extents
};

// A vertex of the simplex: a Vector3D that starts uninitialised, so that setting up a
// query writes nothing it does not use (each slot is written before it is read).
struct Slot {
  double x, y, z;
  Slot& operator=(const V& v) {
    x = v.x, y = v.y, z = v.z;
    return *this;
  }
  operator V() const { return {x, y, z}; }
};

// Support points w = a - b of D, with the point a on A they came from (b = a - w).
struct Simplex {
  Slot w[4], a[4];
  double l[4];  // barycentric weights of the closest point
  int n;
};

// The closest point of a sub-simplex to the origin: which vertices carry it (ascending
// indices), with what weights, and its squared distance. Whoever makes one sets every
// field the count covers.
struct Sub {
  int n;
  int idx[3];
  double l[3];
  double dist2;
};

inline void vertex(const Slot* w, int i, Sub& s) {
  s.n = 1, s.idx[0] = i, s.l[0] = 1.0, s.dist2 = V(w[i]).squared_norm();
}

inline void edge(const Slot* w, int i, int j, double t, Sub& s) {
  const V wi = w[i], wj = w[j];
  s.n = 2, s.idx[0] = i, s.idx[1] = j, s.l[0] = 1.0 - t, s.l[1] = t;
  s.dist2 = (wi + (wj - wi) * t).squared_norm();
}

void on_segment(const Slot* w, int i, int j, Sub& s) {
  const V wi = w[i], ab = V(w[j]) - wi;
  const double num = -wi.dot(ab), len2 = ab.squared_norm();
  if (!(num > 0.0)) return vertex(w, i, s);
  if (num >= len2) return vertex(w, j, s);
  edge(w, i, j, num / len2, s);
}

// Ericson's region tests (Real-Time Collision Detection, 5.1.5) with the origin as the point.
void on_triangle(const Slot* w, int ia, int ib, int ic, Sub& s) {
  const V a = w[ia], b = w[ib], c = w[ic];
  const V ab = b - a, ac = c - a;
  const double d1 = -ab.dot(a), d2 = -ac.dot(a);
  if (d1 <= 0.0 && d2 <= 0.0) return vertex(w, ia, s);
  const double d3 = -ab.dot(b), d4 = -ac.dot(b);
  if (d3 >= 0.0 && d4 <= d3) return vertex(w, ib, s);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return edge(w, ia, ib, d1 / (d1 - d3), s);
  const double d5 = -ab.dot(c), d6 = -ac.dot(c);
  if (d6 >= 0.0 && d5 <= d6) return vertex(w, ic, s);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return edge(w, ia, ic, d2 / (d2 - d6), s);
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) return edge(w, ib, ic, (d4 - d3) / ((d4 - d3) + (d5 - d6)), s);
  const double sum = va + vb + vc;
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    // A flat triangle: the best of its edges.
    on_segment(w, ia, ib, s);
    Sub other;
    on_segment(w, ia, ic, other);
    if (other.dist2 < s.dist2) s = other;
    on_segment(w, ib, ic, other);
    if (other.dist2 < s.dist2) s = other;
    return;
  }
  const double v = vb / sum, t = vc / sum;
  s.n = 3, s.idx[0] = ia, s.idx[1] = ib, s.idx[2] = ic;
  s.l[0] = 1.0 - v - t, s.l[1] = v, s.l[2] = t;
  s.dist2 = (a + ab * v + ac * t).squared_norm();
}

// The closest point of a tetrahedron whose vertex 3 was just added: it lies on one of the
// three faces through that vertex which the origin is outside of (the opposite face held
// the previous closest point, which the new vertex improves on). None of them: the origin
// is inside, or the tetrahedron is too flat to tell.
bool on_tetrahedron(const Slot* w, Sub& out) {
  static constexpr int faces[3][4] = {{0, 1, 3, 2}, {0, 2, 3, 1}, {1, 2, 3, 0}};
  bool outside_any = false;
  for (const auto& f : faces) {
    const V a = w[f[0]];
    const V n = cross(V(w[f[1]]) - a, V(w[f[2]]) - a);
    if (!(a.dot(n) * (V(w[f[3]]) - a).dot(n) > 0.0)) continue;  // origin and opposite vertex on one side
    Sub s;
    on_triangle(w, f[0], f[1], f[2], s);
    if (!outside_any || s.dist2 < out.dist2) out = s;
    outside_any = true;
  }
  return outside_any;
}

// The closest point to the origin of the simplex's first n vertices, by the region tests
// of every sub-simplex; false when the origin lies inside the tetrahedron.
bool closest(const Slot* w, int n, Sub& sub) {
  switch (n) {
    case 1: vertex(w, 0, sub); return true;
    case 2: on_segment(w, 0, 1, sub); return true;
    case 3: on_triangle(w, 0, 1, 2, sub); return true;
    default: return on_tetrahedron(w, sub);
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
    v += V(s.w[k]) * sub.l[k];
  }
  s.n = sub.n;
  return v;
}

// The faster step. The newest vertex was found in the direction from the previous closest
// point v towards the origin and did not settle the distance (v.w < v.v): then points
// between v and it are closer than v, and v was the closest point of the older vertices,
// so the new closest point lies on a vertex, edge or face through the newest vertex, and
// only those regions need a test. Each test below is the region's exact condition, as in
// the full tests, and the arithmetic is theirs, so the weights and the point are theirs
// whenever they agree on the region; rounding near a region's border can leave none of
// them holding. Progress is judged on the point itself: its squared norm is the next vv.

// Moves the simplex's vertex i to slot k.
inline void move(Simplex& s, int k, int i) { s.w[k] = s.w[i], s.a[k] = s.a[i]; }

// The newest vertex k alone (its point w), in slot 0, if it is closer than vv.
inline bool keep_vertex(Simplex& s, int k, const V& w, V& v, double& vv) {
  const double ww = w.squared_norm();
  if (!(ww < vv)) return false;
  if (k != 0) move(s, 0, k);
  s.l[0] = 1.0, s.n = 1;
  v = w, vv = ww;
  return true;
}

// The point (1 - t) wi + t wk on an edge from vertex i < k to the newest vertex k, in
// slots 0 and 1, if it is closer than vv.
inline bool keep_edge(Simplex& s, int i, const V& wi, int k, const V& wk, double t, V& v, double& vv) {
  const V x = wi * (1.0 - t) + wk * t;
  const double xx = x.squared_norm();
  if (!(xx < vv)) return false;
  if (i != 0) move(s, 0, i);
  if (k != 1) move(s, 1, k);
  s.l[0] = 1.0 - t, s.l[1] = t, s.n = 2;
  v = x, vv = xx;
  return true;
}

// A segment of the older vertex 0 and the newest vertex 1, whose point is w.
inline bool step_segment(Simplex& s, const V& w, V& v, double& vv) {
  const V w0 = s.w[0], ab = w - w0;
  const double num = -w0.dot(ab), len2 = ab.squared_norm();
  if (!(num > 0.0)) return false;  // the older vertex, no progress
  if (num >= len2) return keep_vertex(s, 1, w, v, vv);
  return keep_edge(s, 0, w0, 1, w, num / len2, v, vv);
}

// A triangle of the older vertices 0, 1 and the newest vertex 2, whose point is c:
// Ericson's tests of the vertex 2, the edges 02 and 12 and the face.
inline bool step_triangle(Simplex& s, const V& c, V& v, double& vv) {
  const V a = s.w[0], b = s.w[1];
  const V ab = b - a, ac = c - a;
  const double d1 = -ab.dot(a), d2 = -ac.dot(a);
  const double d3 = -ab.dot(b), d4 = -ac.dot(b);
  const double d5 = -ab.dot(c), d6 = -ac.dot(c);
  if (d6 >= 0.0 && d5 <= d6) return keep_vertex(s, 2, c, v, vv);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return keep_edge(s, 0, a, 2, c, d2 / (d2 - d6), v, vv);
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0)
    return keep_edge(s, 1, b, 2, c, (d4 - d3) / ((d4 - d3) + (d5 - d6)), v, vv);
  const double vc = d1 * d4 - d3 * d2;
  const double sum = va + vb + vc;
  if (!(va > 0.0 && vb > 0.0 && vc > 0.0) || !std::isfinite(sum)) return false;
  const double lb = vb / sum, lc = vc / sum;
  const double la = 1.0 - lb - lc;
  const V x = a * la + b * lb + c * lc;
  const double xx = x.squared_norm();
  if (!(xx < vv)) return false;
  s.l[0] = la, s.l[1] = lb, s.l[2] = lc, s.n = 3;
  v = x, vv = xx;
  return true;
}

// The closest point of triangle (w_ia, w_ib, w_ic), ic the newest vertex, in the regions
// through w_ic, by the tests of step_triangle; false in the others.
bool on_triangle_through(const Slot* w, int ia, int ib, int ic, Sub& s) {
  const V a = w[ia], b = w[ib], c = w[ic];
  const V ab = b - a, ac = c - a;
  const double d1 = -ab.dot(a), d2 = -ac.dot(a);
  const double d3 = -ab.dot(b), d4 = -ac.dot(b);
  const double d5 = -ab.dot(c), d6 = -ac.dot(c);
  if (d6 >= 0.0 && d5 <= d6) return vertex(w, ic, s), true;
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return edge(w, ia, ic, d2 / (d2 - d6), s), true;
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0)
    return edge(w, ib, ic, (d4 - d3) / ((d4 - d3) + (d5 - d6)), s), true;
  const double vc = d1 * d4 - d3 * d2;
  const double sum = va + vb + vc;
  if (!(va > 0.0 && vb > 0.0 && vc > 0.0) || !std::isfinite(sum)) return false;
  const double lb = vb / sum, lc = vc / sum;
  s.n = 3, s.idx[0] = ia, s.idx[1] = ib, s.idx[2] = ic;
  s.l[0] = 1.0 - lb - lc, s.l[1] = lb, s.l[2] = lc;
  s.dist2 = (a + ab * lb + ac * lc).squared_norm();
  return true;
}

// A tetrahedron of the older vertices 0, 1, 2 and the newest vertex 3: as on_tetrahedron,
// the best of the faces through vertex 3 which the origin is outside of, each tested in
// its regions through vertex 3.
inline bool step_tetrahedron(Simplex& s, V& v, double& vv) {
  static constexpr int faces[3][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};
  Sub best;
  bool found = false;
  for (const auto& f : faces) {
    const V a = s.w[f[0]];
    const V n = cross(V(s.w[f[1]]) - a, V(s.w[3]) - a);
    if (!(a.dot(n) * (V(s.w[f[2]]) - a).dot(n) > 0.0)) continue;  // origin and opposite vertex on one side
    Sub face;
    if (!on_triangle_through(s.w, f[0], f[1], 3, face)) continue;
    if (!found || face.dist2 < best.dist2) best = face;
    found = true;
  }
  if (!found || !(best.dist2 < vv)) return false;
  v = keep(s, best), vv = v.squared_norm();
  return true;
}

// One step of the closest point after a new vertex (its point w, already in the slot
// after them) joined the s.n older ones: true when it found a closer point, with the
// simplex reduced to its carriers and v, vv updated; false with everything as it was
// otherwise. w comes as a value, not from the slot it was just written to, which its
// reading could not start before that write completed.
inline bool step(Simplex& s, const V& w, V& v, double& vv) {
  switch (s.n) {
    case 1: return step_segment(s, w, v, vv);
    case 2: return step_triangle(s, w, v, vv);
    default: return step_tetrahedron(s, v, vv);
  }
}

constexpr int kMaxIterations = 64;

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
  const Pair pair(a, b, r, rotate_back(ra, tb.translation - ta.translation));

  Separation out;
  Simplex s;
  // The first direction: from A's origin towards B's, where the closest points tend to be.
  V d = pair.origin_b();
  if (!(d.squared_norm() > 0.0)) d = V::unit_x();
  V v;
  {
    V on_a;
    pair.point(d, -d, on_a, v);
    s.w[0] = v, s.a[0] = on_a;
  }
  s.l[0] = 1.0;
  s.n = 1;
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
    pair.point(-v, v, on_a, w);
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
    if (step(s, w, v, vv)) continue;
    // Rounding left the regions through the new vertex without an answer or without
    // progress: the tests of every region decide.
    Sub sub;
    // The origin inside the tetrahedron: the cores overlap, unless rounding misled the
    // side tests; another solver decides.
    if (!closest(s.w, s.n + 1, sub)) return out;
    if (!(sub.dist2 < vv)) {  // no progress: rounding has the last word
      stalled = true;
      break;
    }
    v = keep(s, sub);
    vv = v.squared_norm();
  }
  if (!converged) {
    if (out.status == Separation::Status::Touching) {
      const V a0 = s.a[0];
      out.point_a = rotate(ra, a0) + ta.translation;
      out.point_b = rotate(ra, a0 - V(s.w[0])) + ta.translation;
      return out;
    }
    // Stopped without progress: settled only if the bounds of this v are close enough.
    if (!stalled || !within(vv, vv - vw)) return out;  // undecided
  }
  const double lower = vw / std::sqrt(vv);
  V pa, pb;
  for (int k = 0; k < s.n; ++k) {
    const V ak = s.a[k];
    pa += ak * s.l[k], pb += (ak - V(s.w[k])) * s.l[k];
  }
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
