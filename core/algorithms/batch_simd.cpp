// Forward kinematics and the recursive Newton-Euler passes over four states at once. Each
// value of the single-state passes (a matrix entry, a vector component) becomes a d4: four
// doubles, one per state, in one AVX2 register. The joint's constants (placement, axis,
// inertia) are the same for the four states and are broadcast. Branches on the joint's
// kind and shape are taken once per joint for four states.
//
// Everything below the target pragma is compiled for AVX2 and FMA; the headers above it,
// and so every inline function and template they define, keep the library's baseline
// instructions, so no copy of a shared inline function made here can carry AVX2 into code
// that runs without the check.
#include "core/algorithms/batch_simd.hpp"

#include <immintrin.h>
#include <strings.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora::lanes {

namespace {

bool switched_on_by_environment() {
  const char* value = std::getenv("VELMORA_SIMD");
  return !(value && (std::strcmp(value, "0") == 0 || strcasecmp(value, "off") == 0));
}

std::atomic<bool>& lane_switch() {
  static std::atomic<bool> on{switched_on_by_environment()};
  return on;
}

}  // namespace

bool processor_has_lanes() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return has;
}

bool available() { return processor_has_lanes() && lane_switch().load(std::memory_order_relaxed); }

void use_lanes(bool on) { lane_switch().store(on, std::memory_order_relaxed); }

bool covers(const Model& model) {
  if (!passes::model_consistent(model) || model.multi_joint_count() != 0) return false;
  for (const JointStep& step : model.steps()) {
    if (step.motion.multi()) return false;
    const Vector3D& axis = step.motion.axis;
    // A zero axis normalises to NaN, which the single-state code turns into the identity
    // at angle 0: left to that code.
    if (!std::isfinite(axis.x) || !std::isfinite(axis.y) || !std::isfinite(axis.z)) return false;
  }
  return true;
}

}  // namespace velmora::lanes

// GCC and clang spell "the functions that follow" differently.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace velmora::lanes {

namespace {

// The helpers below are small and called in few places; inlined always, so that their
// results (a few lane registers each) stay in registers instead of going through memory as
// the return values of calls, which the compiler's size limits would otherwise leave.
#define always_inline inline __attribute__((always_inline))

// Four doubles, one per state (GCC's vector extension: +, -, * lane by lane, a double
// operand broadcast).
using d4 = double __attribute__((vector_size(32)));

always_inline d4 splat(double x) { return d4{x, x, x, x}; }
always_inline d4 from(__m256d x) { return reinterpret_cast<d4&>(x); }
always_inline __m256d raw(d4 x) { return reinterpret_cast<__m256d&>(x); }

// Value k of each of the four rows starting at `rows`, `stride` values apart.
always_inline d4 gather(const double* rows, std::size_t stride, std::size_t k) {
  return d4{rows[k], rows[stride + k], rows[2 * stride + k], rows[3 * stride + k]};
}
always_inline void scatter(d4 x, double* rows, std::size_t stride, std::size_t k) {
  rows[k] = x[0], rows[stride + k] = x[1], rows[2 * stride + k] = x[2], rows[3 * stride + k] = x[3];
}

// ---------------------------------------------------------------------- sin and cos

// pi/2 as the sum of three doubles: P1 + P2 + P3 is pi/2 to about 2^-160.
constexpr double kP1 = 0x1.921fb54442d18p+0, kP2 = 0x1.1a62633145c07p-54, kP3 = -0x1.f1976b7ed8fbcp-110;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// The range of the reduction below (|k| < 2^16); the C library takes larger values.
constexpr double kReducible = 1e5;

// sin and cos of four values. x = k pi/2 + r with |r| <= pi/4. The lowest bit of k P1 is
// at P1's last place (2^-52) or above, so x - k P1 is a multiple of 2^-52 (of x's own last
// place when |x| < 1) smaller than 1: it fits a double and the first FMA is exact. P2 and
// P3 follow with one rounding each. Then fdlibm's polynomials on [-pi/4, pi/4]
// (__kernel_sin and __kernel_cos, error below an ulp), swapped and negated by the
// quadrant k mod 4.
always_inline void sin_cos(d4 x, d4& s, d4& c) {
  const __m256d xr = raw(x);
  const __m256d k = _mm256_round_pd(_mm256_mul_pd(xr, _mm256_set1_pd(kTwoOverPi)),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m256d r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kP1), xr);
  r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kP2), r);
  r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kP3), r);

  const d4 y = from(r);
  const d4 z = y * y;
  const d4 w = z * z;
  // sin(y) = y + y^3 (S1 + z (S2 + ...)).
  constexpr double S1 = -1.66666666666666324348e-01, S2 = 8.33333333332248946124e-03,
                   S3 = -1.98412698298579493134e-04, S4 = 2.75573137070700676789e-06,
                   S5 = -2.50507602534068634195e-08, S6 = 1.58969099521155010221e-10;
  const d4 rs = (S2 + z * (S3 + z * S4)) + z * w * (S5 + z * S6);
  const d4 sin_y = y + (z * y) * (S1 + z * rs);
  // cos(y) = 1 - z/2 + z^2 (C1 + ...), with 1 - z/2 split so that its rounding is kept.
  constexpr double C1 = 4.16666666666666019037e-02, C2 = -1.38888888888741095749e-03,
                   C3 = 2.48015872894767294178e-05, C4 = -2.75573143513906633035e-07,
                   C5 = 2.08757232129817482790e-09, C6 = -1.13596475577881948265e-11;
  const d4 rc = z * (C1 + z * (C2 + z * C3)) + w * w * (C4 + z * (C5 + z * C6));
  const d4 hz = 0.5 * z;
  const d4 one_minus = 1.0 - hz;
  const d4 cos_y = one_minus + (((1.0 - one_minus) - hz) + z * rc);

  // Quadrant: odd k swaps sine and cosine; k mod 4 in {2, 3} negates the sine, in {1, 2}
  // the cosine. |k| < 2^31 for every reducible x (others are replaced below).
  const __m256i q = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k));
  const __m256i one = _mm256_set1_epi64x(1), two = _mm256_set1_epi64x(2);
  const __m256d odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(q, one), one));
  const __m256d sin_sign = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(q, two), 62));
  const __m256d cos_sign =
      _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(_mm256_add_epi64(q, one), two), 62));
  __m256d sv = _mm256_xor_pd(_mm256_blendv_pd(raw(sin_y), raw(cos_y), odd), sin_sign);
  __m256d cv = _mm256_xor_pd(_mm256_blendv_pd(raw(cos_y), raw(sin_y), odd), cos_sign);
  // Below 2^-27, sin x rounds to x (and keeps the sign of -0, which the polynomial loses).
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), xr);
  sv = _mm256_blendv_pd(sv, xr, _mm256_cmp_pd(magnitude, _mm256_set1_pd(0x1p-27), _CMP_LT_OQ));

  // |x| > kReducible, infinite or NaN: the C library, lane by lane.
  const __m256d reducible = _mm256_cmp_pd(magnitude, _mm256_set1_pd(kReducible), _CMP_LE_OQ);
  const int in_range = _mm256_movemask_pd(reducible);
  s = from(sv), c = from(cv);
  if (in_range != 0xF) [[unlikely]] {
    for (int l = 0; l < 4; ++l) {
      if (in_range & (1 << l)) continue;
      s[l] = std::sin(x[l]);
      c[l] = std::cos(x[l]);
    }
  }
}

// ------------------------------------------------------------------ spatial values

struct V3 {
  d4 e[3];
};
always_inline V3 operator+(const V3& a, const V3& b) { return {{a.e[0] + b.e[0], a.e[1] + b.e[1], a.e[2] + b.e[2]}}; }
always_inline V3 operator-(const V3& a, const V3& b) { return {{a.e[0] - b.e[0], a.e[1] - b.e[1], a.e[2] - b.e[2]}}; }
always_inline V3 operator*(const V3& a, d4 s) { return {{a.e[0] * s, a.e[1] * s, a.e[2] * s}}; }
always_inline V3 operator*(const V3& a, double s) { return {{a.e[0] * s, a.e[1] * s, a.e[2] * s}}; }
always_inline V3 operator+(const V3& a, const Vector3D& b) { return {{a.e[0] + b.x, a.e[1] + b.y, a.e[2] + b.z}}; }
always_inline V3 splat(const Vector3D& a) { return {{splat(a.x), splat(a.y), splat(a.z)}}; }
always_inline V3 times(const Vector3D& a, d4 s) { return {{a.x * s, a.y * s, a.z * s}}; }
always_inline V3 cross(const V3& a, const V3& b) {
  return {{a.e[1] * b.e[2] - a.e[2] * b.e[1], a.e[2] * b.e[0] - a.e[0] * b.e[2], a.e[0] * b.e[1] - a.e[1] * b.e[0]}};
}
always_inline V3 cross(const Vector3D& a, const V3& b) {
  return {{a.y * b.e[2] - a.z * b.e[1], a.z * b.e[0] - a.x * b.e[2], a.x * b.e[1] - a.y * b.e[0]}};
}
always_inline d4 dot(const Vector3D& a, const V3& b) { return a.x * b.e[0] + a.y * b.e[1] + a.z * b.e[2]; }

// A rotation (or any 3x3 matrix), column by column as SpatialRotation: entry (i, j) at
// m[i + 3 j].
struct R3 {
  d4 m[9];
  d4 operator()(int i, int j) const { return m[i + 3 * j]; }
  d4& operator()(int i, int j) { return m[i + 3 * j]; }
};
always_inline R3 splat(const SpatialRotation& r) {
  R3 out;
  for (int k = 0; k < 9; ++k) out.m[k] = splat(r.m[k]);
  return out;
}
always_inline R3 identity_rotation() { return splat(SpatialRotation::identity()); }
always_inline V3 operator*(const R3& r, const V3& v) {
  const d4* m = r.m;
  return {{m[0] * v.e[0] + m[3] * v.e[1] + m[6] * v.e[2], m[1] * v.e[0] + m[4] * v.e[1] + m[7] * v.e[2],
           m[2] * v.e[0] + m[5] * v.e[1] + m[8] * v.e[2]}};
}
always_inline V3 operator*(const R3& r, const Vector3D& v) {
  const d4* m = r.m;
  return {{m[0] * v.x + m[3] * v.y + m[6] * v.z, m[1] * v.x + m[4] * v.y + m[7] * v.z,
           m[2] * v.x + m[5] * v.y + m[8] * v.z}};
}
always_inline V3 transpose_mul(const R3& r, const V3& v) {
  const d4* m = r.m;
  return {{m[0] * v.e[0] + m[1] * v.e[1] + m[2] * v.e[2], m[3] * v.e[0] + m[4] * v.e[1] + m[5] * v.e[2],
           m[6] * v.e[0] + m[7] * v.e[1] + m[8] * v.e[2]}};
}
always_inline R3 operator*(const R3& a, const R3& b) {
  R3 out;
  for (int j = 0; j < 3; ++j) {
    const V3 c = a * V3{{b.m[3 * j], b.m[3 * j + 1], b.m[3 * j + 2]}};
    out.m[3 * j] = c.e[0], out.m[3 * j + 1] = c.e[1], out.m[3 * j + 2] = c.e[2];
  }
  return out;
}
always_inline R3 operator*(const R3& a, const SpatialRotation& b) {
  R3 out;
  for (int j = 0; j < 3; ++j) {
    const V3 c = a * b.column(j);
    out.m[3 * j] = c.e[0], out.m[3 * j + 1] = c.e[1], out.m[3 * j + 2] = c.e[2];
  }
  return out;
}
always_inline V3 operator*(const SpatialRotation& r, const V3& v) {
  const auto& m = r.m;
  return {{m[0] * v.e[0] + m[3] * v.e[1] + m[6] * v.e[2], m[1] * v.e[0] + m[4] * v.e[1] + m[7] * v.e[2],
           m[2] * v.e[0] + m[5] * v.e[1] + m[8] * v.e[2]}};
}
always_inline R3 operator*(const SpatialRotation& a, const R3& b) {
  R3 out;
  for (int j = 0; j < 3; ++j) {
    const V3 v{{b.m[3 * j], b.m[3 * j + 1], b.m[3 * j + 2]}};
    const auto& m = a.m;
    out.m[3 * j] = m[0] * v.e[0] + m[3] * v.e[1] + m[6] * v.e[2];
    out.m[3 * j + 1] = m[1] * v.e[0] + m[4] * v.e[1] + m[7] * v.e[2];
    out.m[3 * j + 2] = m[2] * v.e[0] + m[5] * v.e[1] + m[8] * v.e[2];
  }
  return out;
}
// The rotation about coordinate axis K by the angle with cosine c and sine s.
template <int K>
always_inline R3 about(d4 c, d4 s) {
  constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
  const d4 zero = splat(0.0);
  R3 r;
  r(K, K) = splat(1.0), r(K, i) = zero, r(K, j) = zero, r(i, K) = zero, r(j, K) = zero;
  r(i, i) = c, r(j, j) = c, r(j, i) = s, r(i, j) = -s;
  return r;
}
// r * about<K>(c, s): the two columns the rotation mixes.
template <int K>
always_inline R3 times_about(const R3& r, d4 c, d4 s) {
  constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
  R3 out;
  for (int row = 0; row < 3; ++row) {
    const d4 a = r(row, i), b = r(row, j);
    out(row, K) = r(row, K);
    out(row, i) = a * c + b * s;
    out(row, j) = b * c - a * s;
  }
  return out;
}
template <int K>
always_inline R3 times_about(const SpatialRotation& r, d4 c, d4 s) {
  constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
  R3 out;
  for (int row = 0; row < 3; ++row) {
    const double a = r(row, i), b = r(row, j);
    out(row, K) = splat(r(row, K));
    out(row, i) = a * c + b * s;
    out(row, j) = b * c - a * s;
  }
  return out;
}
// Rodrigues' formula about the unit axis k, as SpatialRotation::from_unit_axis.
always_inline R3 from_unit_axis(const Vector3D& k, d4 c, d4 s) {
  const d4 t = 1.0 - c;
  R3 r;
  r(0, 0) = c + t * (k.x * k.x);
  r(0, 1) = t * (k.x * k.y) - s * k.z;
  r(0, 2) = t * (k.x * k.z) + s * k.y;
  r(1, 0) = t * (k.x * k.y) + s * k.z;
  r(1, 1) = c + t * (k.y * k.y);
  r(1, 2) = t * (k.y * k.z) - s * k.x;
  r(2, 0) = t * (k.x * k.z) - s * k.y;
  r(2, 1) = t * (k.y * k.z) + s * k.x;
  r(2, 2) = c + t * (k.z * k.z);
  return r;
}
// R v and R^T v for a rotation of shape K (see SpatialRotation::rotate).
template <int K>
always_inline V3 rotate(const R3& r, const V3& v) {
  if constexpr (K < 0) {
    return r * v;
  } else {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const d4 c = r(i, i), s = r(j, i);
    V3 out;
    out.e[K] = v.e[K];
    out.e[i] = c * v.e[i] - s * v.e[j];
    out.e[j] = s * v.e[i] + c * v.e[j];
    return out;
  }
}
template <int K>
always_inline V3 rotate_back(const R3& r, const V3& v) {
  if constexpr (K < 0) {
    return transpose_mul(r, v);
  } else {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const d4 c = r(i, i), s = r(j, i);
    V3 out;
    out.e[K] = v.e[K];
    out.e[i] = c * v.e[i] + s * v.e[j];
    out.e[j] = c * v.e[j] - s * v.e[i];
    return out;
  }
}

// A placement: p in the child frame to R p + t in the parent frame.
struct X3 {
  R3 R;
  V3 t;
};
always_inline X3 splat(const SE3& x) { return {splat(x.rotation), splat(x.translation)}; }
always_inline X3 identity_placement() { return splat(SE3::identity()); }
// a * b for a constant placement b, and a * (identity, t).
always_inline X3 compose(const X3& a, const SE3& b) { return {a.R * b.rotation, a.R * b.translation + a.t}; }
always_inline X3 translated(const X3& a, const Vector3D& t) { return {a.R, a.R * t + a.t}; }
always_inline X3 translated(const X3& a, const V3& t) { return {a.R, a.R * t + a.t}; }

// A spatial motion (w; v), or a spatial force (n; f) in the same two halves.
struct M6 {
  V3 w, v;
};
always_inline M6 operator+(const M6& a, const M6& b) { return {a.w + b.w, a.v + b.v}; }
always_inline M6 operator*(const M6& a, d4 s) { return {a.w * s, a.v * s}; }
always_inline M6 zero_motion() { return {splat(Vector3D{}), splat(Vector3D{})}; }

template <int K>
always_inline M6 act_inv_motion(const X3& x, const M6& m) {
  return {rotate_back<K>(x.R, m.w), rotate_back<K>(x.R, m.v - cross(x.t, m.w))};
}
template <int K>
always_inline M6 act_force(const X3& x, const M6& f) {
  const V3 lin = rotate<K>(x.R, f.v);
  return {rotate<K>(x.R, f.w) + cross(x.t, lin), lin};
}
always_inline M6 cross_motion(const M6& m, const M6& x) {
  return {cross(m.w, x.w), cross(m.w, x.v) + cross(m.v, x.w)};
}

// -------------------------------------------------------------------------- joints

// A one-axis joint's position for four states: cosine and sine of its angle, or its
// displacement along the axis (JointMotion::AxisPosition in lanes).
struct Position {
  d4 c, s, d;
};

always_inline Position position(const JointMotion& m, const double* Q, std::size_t nq, std::size_t idx) {
  Position p{splat(1.0), splat(0.0), splat(0.0)};
  switch (m.kind) {
    case JointType::Fixed: break;
    case JointType::Prismatic: p.d = gather(Q, nq, idx); break;
    case JointType::Revolute: sin_cos(gather(Q, nq, idx), p.s, p.c); break;
    default: {
      // Continuous: the direction of the (cos, sin) pair. Pairs whose squared length is
      // not a normal number (zero, tiny, huge, infinite, NaN) take the single-state code.
      const d4 a = gather(Q, nq, idx), b = gather(Q, nq, idx + 1);
      const d4 n2 = a * a + b * b;
      const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(raw(n2), _mm256_set1_pd(0x1p-1000), _CMP_GT_OQ),
                                       _mm256_cmp_pd(raw(n2), _mm256_set1_pd(0x1p1000), _CMP_LT_OQ));
      const d4 n = from(_mm256_sqrt_pd(raw(n2)));
      p.c = a / n, p.s = b / n;
      if (const int normal = _mm256_movemask_pd(ok); normal != 0xF) [[unlikely]] {
        for (int l = 0; l < 4; ++l) {
          if (normal & (1 << l)) continue;
          const double pair[2] = {a[l], b[l]};
          const JointMotion::AxisPosition one = m.axis_position(pair);
          p.c[l] = one.c, p.s[l] = one.s;
        }
      }
      break;
    }
  }
  return p;
}

// The joint's placement for the position (JointMotion::placement).
always_inline X3 joint_placement(const JointMotion& m, const Position& p) {
  switch (m.kind) {
    case JointType::Fixed: return identity_placement();
    case JointType::Prismatic: return {identity_rotation(), times(m.axis, p.d)};
    default: break;
  }
  const d4 s = m.axis_sign * p.s;
  switch (m.coordinate_axis) {
    case 0: return {about<0>(p.c, s), splat(Vector3D{})};
    case 1: return {about<1>(p.c, s), splat(Vector3D{})};
    case 2: return {about<2>(p.c, s), splat(Vector3D{})};
    default: return {from_unit_axis(m.axis, p.c, p.s), splat(Vector3D{})};
  }
}

// a * joint placement (JointMotion::after), for a placement of four states or a constant one.
always_inline X3 after(const JointMotion& m, const X3& a, const Position& p) {
  switch (m.kind) {
    case JointType::Fixed: return a;
    case JointType::Prismatic: return translated(a, times(m.axis, p.d));
    default: break;
  }
  const d4 s = m.axis_sign * p.s;
  switch (m.coordinate_axis) {
    case 0: return {times_about<0>(a.R, p.c, s), a.t};
    case 1: return {times_about<1>(a.R, p.c, s), a.t};
    case 2: return {times_about<2>(a.R, p.c, s), a.t};
    default: return {a.R * from_unit_axis(m.axis, p.c, p.s), a.t};
  }
}
always_inline X3 after(const JointMotion& m, const SE3& a, const Position& p) {
  switch (m.kind) {
    case JointType::Fixed: return splat(a);
    case JointType::Prismatic: return {splat(a.rotation), a.rotation * times(m.axis, p.d) + a.translation};
    default: break;
  }
  const d4 s = m.axis_sign * p.s;
  switch (m.coordinate_axis) {
    case 0: return {times_about<0>(a.rotation, p.c, s), splat(a.translation)};
    case 1: return {times_about<1>(a.rotation, p.c, s), splat(a.translation)};
    case 2: return {times_about<2>(a.rotation, p.c, s), splat(a.translation)};
    default: return {a.rotation * from_unit_axis(m.axis, p.c, p.s), splat(a.translation)};
  }
}

// The joint's frame in its parent's frame (JointStep::frame_in_parent).
always_inline X3 frame_in_parent(const JointStep& step, const Position& p) {
  if (!step.placement_translates_only) return after(step.motion, step.placement, p);
  X3 x = joint_placement(step.motion, p);
  x.t = x.t + step.placement.translation;
  return x;
}

// The shapes of passes::with_shapes: A the coordinate axis of the motion subspace, K that
// of the joint frame's rotation.
template <class Body>
always_inline void with_shapes(const JointStep& step, Body&& body) {
  const bool elementary = step.placement_translates_only;
  switch (step.motion.coordinate_axis) {
    case 0: return elementary ? body.template operator()<0, 0>() : body.template operator()<0, -1>();
    case 1: return elementary ? body.template operator()<1, 1>() : body.template operator()<1, -1>();
    case 2: return elementary ? body.template operator()<2, 2>() : body.template operator()<2, -1>();
    default: return body.template operator()<-1, -1>();
  }
}

// S x, m x (S x) and S^T f for the joint's one subspace column (JointMotion's products).
template <int A>
always_inline M6 subspace_times(const JointMotion& m, d4 x) {
  if constexpr (A < 0) {
    const V3 zero = splat(Vector3D{});
    if (m.kind == JointType::Prismatic) return {zero, times(m.axis, x)};
    return {times(m.axis, x), zero};
  } else {
    const d4 zero = splat(0.0);
    M6 out;
    for (int k = 0; k < 3; ++k) out.w.e[k] = zero, out.v.e[k] = zero;
    out.w.e[A] = m.axis_sign * x;
    return out;
  }
}
template <int A>
always_inline M6 cross_subspace(const JointMotion& m, const M6& v, d4 x) {
  if constexpr (A < 0) {
    return cross_motion(v, subspace_times<A>(m, x));
  } else {
    constexpr int i = (A + 1) % 3, j = (A + 2) % 3;
    const d4 y = m.axis_sign * x, zero = splat(0.0);
    M6 out;
    out.w.e[A] = zero, out.v.e[A] = zero;
    out.w.e[i] = y * v.w.e[j], out.w.e[j] = -(y * v.w.e[i]);
    out.v.e[i] = y * v.v.e[j], out.v.e[j] = -(y * v.v.e[i]);
    return out;
  }
}
template <int A>
always_inline d4 subspace_dot(const JointMotion& m, const M6& f) {
  if constexpr (A < 0) {
    if (m.kind == JointType::Prismatic) return dot(m.axis, f.v);
    return dot(m.axis, f.w);
  } else {
    return m.axis_sign * f.w.e[A];
  }
}

// I a + v x* (I v) about the centre of mass (passes::body_force).
always_inline M6 body_force(const Inertia& I, const M6& a, const M6& v) {
  const Vector3D& c = I.com;
  const V3& w = v.w;
  const V3 centre_velocity = v.v - cross(c, w);
  const V3 f = (a.v - cross(c, a.w) + cross(w, centre_velocity)) * I.mass;
  const auto& d = I.inertia.data;
  auto sym = [&](const V3& x) -> V3 {
    return {{d[0] * x.e[0] + d[3] * x.e[1] + d[4] * x.e[2], d[3] * x.e[0] + d[1] * x.e[1] + d[5] * x.e[2],
             d[4] * x.e[0] + d[5] * x.e[1] + d[2] * x.e[2]}};
  };
  return {sym(a.w) + cross(w, sym(w)) + cross(c, f), f};
}

// Scratch rows kept per thread, as passes::scratch_rows; aligned by hand for the 32-byte
// loads, in storage of plain bytes (the rows are implicit-lifetime types, written before
// they are read).
template <class Row>
Row* rows_of(std::size_t n) {
  thread_local std::vector<unsigned char> bytes;
  const std::size_t need = n * sizeof(Row) + alignof(Row);
  if (bytes.size() < need) bytes.resize(need);
  void* p = bytes.data();
  std::size_t space = bytes.size();
  return static_cast<Row*>(std::align(alignof(Row), n * sizeof(Row), p, space));
}

struct RneaRow {
  X3 liMi;
  M6 v, a, f;
};

// ------------------------------------------------------- articulated-body inertias

// A symmetric 3x3 matrix by its six entries, in Symmetric3's order m11, m22, m33, m12,
// m13, m23.
struct S6 {
  d4 d[6];
  d4 operator()(int i, int j) const { return d[Symmetric3::slot(i, j)]; }
  d4& operator()(int i, int j) { return d[Symmetric3::slot(i, j)]; }
};
always_inline V3 operator*(const S6& s, const V3& x) {
  const d4* d = s.d;
  return {{d[0] * x.e[0] + d[3] * x.e[1] + d[4] * x.e[2], d[3] * x.e[0] + d[1] * x.e[1] + d[5] * x.e[2],
           d[4] * x.e[0] + d[5] * x.e[1] + d[2] * x.e[2]}};
}
always_inline V3 operator*(const S6& s, const Vector3D& x) {
  const d4* d = s.d;
  return {{d[0] * x.x + d[3] * x.y + d[4] * x.z, d[3] * x.x + d[1] * x.y + d[5] * x.z,
           d[4] * x.x + d[5] * x.y + d[2] * x.z}};
}
always_inline V3 row(const R3& m, int i) { return {{m(i, 0), m(i, 1), m(i, 2)}}; }

// R S R^T (Symmetric3::rotate), for R of shape K.
template <int K>
always_inline S6 rotate(const S6& S, const R3& r) {
  if constexpr (K >= 0) {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const d4 c = r(i, i), s = r(j, i);
    const d4 sii = S(i, i), sjj = S(j, j), sij = S(i, j), ski = S(K, i), skj = S(K, j);
    const d4 cc = c * c, ss = s * s, cs = c * s;
    S6 out;
    out(K, K) = S(K, K);
    out(i, i) = cc * sii - 2 * cs * sij + ss * sjj;
    out(j, j) = ss * sii + 2 * cs * sij + cc * sjj;
    out(i, j) = cs * (sii - sjj) + (cc - ss) * sij;
    out(K, i) = c * ski - s * skj;
    out(K, j) = s * ski + c * skj;
    return out;
  } else {
    V3 t[3];
    for (int b = 0; b < 3; ++b) t[b] = S * row(r, b);
    auto entry = [&](int a, int b) { return r(a, 0) * t[b].e[0] + r(a, 1) * t[b].e[1] + r(a, 2) * t[b].e[2]; };
    return {{entry(0, 0), entry(1, 1), entry(2, 2), entry(0, 1), entry(0, 2), entry(1, 2)}};
  }
}
// R M R^T for a general 3x3 M (Matrix3::rotate), for R of shape K.
template <int K>
always_inline R3 rotate(const R3& M, const R3& r) {
  if constexpr (K >= 0) {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const d4 c = r(i, i), s = r(j, i);
    R3 out;
    for (int col = 0; col < 3; ++col) {
      const d4 a = M(i, col), b = M(j, col);
      out(K, col) = M(K, col);
      out(i, col) = c * a - s * b;
      out(j, col) = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
      const d4 a = out(k, i), b = out(k, j);
      out(k, i) = c * a - s * b;
      out(k, j) = s * a + c * b;
    }
    return out;
  } else {
    R3 t;  // M R^T, row by row
    for (int i = 0; i < 3; ++i) {
      const V3 x = r * row(M, i);
      t(i, 0) = x.e[0], t(i, 1) = x.e[1], t(i, 2) = x.e[2];
    }
    R3 out;  // R (M R^T), column by column
    for (int j = 0; j < 3; ++j) {
      const V3 x = r * V3{{t(0, j), t(1, j), t(2, j)}};
      out(0, j) = x.e[0], out(1, j) = x.e[1], out(2, j) = x.e[2];
    }
    return out;
  }
}

// ArticulatedInertia in lanes: [[A, B], [B^T, C]].
struct AI {
  S6 A;
  R3 B;
  S6 C;
};
always_inline AI from_rigid(const Inertia& I) {
  const ArticulatedInertia x = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
  AI out;
  for (int k = 0; k < 6; ++k) out.A.d[k] = splat(x.A.data[k]), out.C.d[k] = splat(x.C.data[k]);
  for (int k = 0; k < 9; ++k) out.B.m[k] = splat(x.B.m[k]);
  return out;
}
always_inline M6 operator*(const AI& ia, const M6& x) {
  return {ia.A * x.w + ia.B * x.v, transpose_mul(ia.B, x.w) + ia.C * x.v};
}
// ia c for the bias acceleration c of a joint about coordinate axis Ax, whose Ax-th
// angular and linear components are exactly zero (cross_subspace): the products with
// them are left out.
template <int Ax>
always_inline M6 times_bias(const AI& ia, const M6& c) {
  if constexpr (Ax < 0) {
    return ia * c;
  } else {
    constexpr int i = (Ax + 1) % 3, j = (Ax + 2) % 3;
    const V3 &w = c.w, &v = c.v;
    M6 out;
    for (int row = 0; row < 3; ++row) {
      out.w.e[row] = ia.A(row, i) * w.e[i] + ia.A(row, j) * w.e[j] + (ia.B(row, i) * v.e[i] + ia.B(row, j) * v.e[j]);
      out.v.e[row] = ia.B(i, row) * w.e[i] + ia.B(j, row) * w.e[j] + (ia.C(row, i) * v.e[i] + ia.C(row, j) * v.e[j]);
    }
    return out;
  }
}
// IA S for the joint's subspace column (times_subspace of aba.cpp).
template <int Ax>
always_inline M6 times_subspace(const AI& ia, const JointMotion& m) {
  if constexpr (Ax >= 0) {
    const double sign = m.axis_sign;
    return {V3{{ia.A(0, Ax) * sign, ia.A(1, Ax) * sign, ia.A(2, Ax) * sign}}, row(ia.B, Ax) * sign};
  } else {
    const Vector3D& k = m.axis;
    if (m.kind == JointType::Prismatic) return {ia.B * k, ia.C * k};
    const V3 ks = splat(k);
    return {ia.A * k, transpose_mul(ia.B, ks)};
  }
}
// ia -= U U^T / d (ArticulatedInertia::subtract_outer).
always_inline void subtract_outer(AI& ia, const M6& U, d4 inv_d) {
  const V3 &n = U.w, &f = U.v;
  const V3 nd = n * inv_d, fd = f * inv_d;
  ia.A.d[0] -= nd.e[0] * n.e[0], ia.A.d[1] -= nd.e[1] * n.e[1], ia.A.d[2] -= nd.e[2] * n.e[2];
  ia.A.d[3] -= nd.e[0] * n.e[1], ia.A.d[4] -= nd.e[0] * n.e[2], ia.A.d[5] -= nd.e[1] * n.e[2];
  ia.C.d[0] -= fd.e[0] * f.e[0], ia.C.d[1] -= fd.e[1] * f.e[1], ia.C.d[2] -= fd.e[2] * f.e[2];
  ia.C.d[3] -= fd.e[0] * f.e[1], ia.C.d[4] -= fd.e[0] * f.e[2], ia.C.d[5] -= fd.e[1] * f.e[2];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) ia.B(i, j) -= nd.e[i] * f.e[j];
}
// Adds ia, in axes parallel to the parent's with its origin at p, to parent
// (ArticulatedInertia::add_translated_to).
always_inline void add_translated_to(const AI& ia, const V3& p, AI& parent) {
  R3 pc, bp;
  for (int k = 0; k < 3; ++k) {
    const V3 x = cross(p, V3{{ia.C(0, k), ia.C(1, k), ia.C(2, k)}});
    pc(0, k) = x.e[0], pc(1, k) = x.e[1], pc(2, k) = x.e[2];
    const V3 y = cross(row(ia.B, k), p);
    bp(k, 0) = y.e[0], bp(k, 1) = y.e[1], bp(k, 2) = y.e[2];
  }
  const V3 pcp0 = cross(row(pc, 0), p), pcp1 = cross(row(pc, 1), p);
  const d4 pcp22 = cross(row(pc, 2), p).e[2];
  d4* a = parent.A.d;
  const d4* s = ia.A.d;
  a[0] += s[0] - 2 * bp(0, 0) - pcp0.e[0];
  a[1] += s[1] - 2 * bp(1, 1) - pcp1.e[1];
  a[2] += s[2] - 2 * bp(2, 2) - pcp22;
  a[3] += s[3] - bp(0, 1) - bp(1, 0) - pcp0.e[1];
  a[4] += s[4] - bp(0, 2) - bp(2, 0) - pcp0.e[2];
  a[5] += s[5] - bp(1, 2) - bp(2, 1) - pcp1.e[2];
  for (int k = 0; k < 9; ++k) parent.B.m[k] += ia.B.m[k];
  for (int k = 0; k < 9; ++k) parent.B.m[k] += pc.m[k];
  for (int k = 0; k < 6; ++k) parent.C.d[k] += ia.C.d[k];
}
// v x* (I v) (passes::body_bias_force).
always_inline M6 body_bias_force(const Inertia& I, const M6& v) {
  const Vector3D& c = I.com;
  const V3& w = v.w;
  const V3 f = cross(w, v.v - cross(c, w)) * I.mass;
  const auto& d = I.inertia.data;
  const V3 Iw{{d[0] * w.e[0] + d[3] * w.e[1] + d[4] * w.e[2], d[3] * w.e[0] + d[1] * w.e[1] + d[5] * w.e[2],
               d[4] * w.e[0] + d[5] * w.e[1] + d[2] * w.e[2]}};
  return {cross(w, Iw) + cross(c, f), f};
}
always_inline d4 inner(const M6& m, const M6& f) {
  return m.w.e[0] * f.w.e[0] + m.w.e[1] * f.w.e[1] + m.w.e[2] * f.w.e[2] +
         (m.v.e[0] * f.v.e[0] + m.v.e[1] * f.v.e[1] + m.v.e[2] * f.v.e[2]);
}

// aba.cpp calls a joint singular when its articulated inertia about its axis is at most
// 1e-12 of the inertia's size. The lanes leave every group with a joint below a thousand
// times that to the single-state code, so that rounding differences near the threshold
// cannot make the lanes return accelerations for a state that aba refuses.
constexpr double kNearlySingularRatio = 1e-9;

// A joint's row of aba4, about 1.9 kB: larger trees overflow the first-level cache, so
// the rows hold nothing twice and the outward pass's entries come first, in as few cache
// lines as they fill. va is the velocity in the first pass and the acceleration in the
// last (no velocity is read after the first pass).
struct AbaRow {
  X3 liMi;
  M6 c, u_col;
  d4 inv_d, u;
  M6 va, pa;
  AI ia;
};

}  // namespace

void sin_cos4(const double* x, double* s, double* c) {
  d4 sv, cv;
  sin_cos(d4{x[0], x[1], x[2], x[3]}, sv, cv);
  for (int l = 0; l < 4; ++l) s[l] = sv[l], c[l] = cv[l];
}

void forward_kinematics4(const Model& model, const double* Q, std::span<const std::size_t> frame_ids, double* out) {
  const std::size_t n = model.njoints(), nq = model.nq, nf = frame_ids.size();
  const JointStep* steps = model.steps().data();
  X3* oMi = rows_of<X3>(n);
  oMi[0] = identity_placement();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    const X3& parent = oMi[step.parent];
    const X3 placed = step.placement_translates_only ? translated(parent, step.placement.translation)
                                                     : compose(parent, step.placement);
    if (step.motion.kind == JointType::Fixed) {
      oMi[i] = placed;
      continue;
    }
    oMi[i] = after(step.motion, placed, position(step.motion, Q, nq, step.idx_q));
  }
  for (std::size_t f = 0; f < nf; ++f) {
    const Frame& frame = model.frames[frame_ids[f]];
    const X3 x = compose(oMi[frame.parent_joint], frame.placement);
    double* h = out + f * 16;
    const std::size_t state = nf * 16;  // from one state's matrix to the next one's
    // Row r of the homogeneous matrix is (R(r, 0), R(r, 1), R(r, 2), t_r): four values
    // whose lanes, transposed, are that row for each of the four states.
    for (int r = 0; r < 3; ++r) {
      const __m256d a = raw(x.R(r, 0)), b = raw(x.R(r, 1)), c = raw(x.R(r, 2)), d = raw(x.t.e[r]);
      const __m256d ab_low = _mm256_unpacklo_pd(a, b), ab_high = _mm256_unpackhi_pd(a, b);
      const __m256d cd_low = _mm256_unpacklo_pd(c, d), cd_high = _mm256_unpackhi_pd(c, d);
      _mm256_storeu_pd(h + 4 * r, _mm256_permute2f128_pd(ab_low, cd_low, 0x20));
      _mm256_storeu_pd(h + state + 4 * r, _mm256_permute2f128_pd(ab_high, cd_high, 0x20));
      _mm256_storeu_pd(h + 2 * state + 4 * r, _mm256_permute2f128_pd(ab_low, cd_low, 0x31));
      _mm256_storeu_pd(h + 3 * state + 4 * r, _mm256_permute2f128_pd(ab_high, cd_high, 0x31));
    }
    const __m256d last = _mm256_setr_pd(0.0, 0.0, 0.0, 1.0);
    for (std::size_t l = 0; l < kWidth; ++l) _mm256_storeu_pd(h + l * state + 12, last);
  }
}

void rnea4(const Model& model, const double* Q, const double* V, const double* A, double* out) {
  const std::size_t n = model.njoints(), nq = model.nq, nv = model.nv;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  RneaRow* rows = rows_of<RneaRow>(n);
  rows[0].v = zero_motion();
  rows[0].a = {splat(Vector3D{}), splat(-model.gravity)};

  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    RneaRow& r = rows[i];
    const RneaRow& p = rows[step.parent];
    r.liMi = frame_in_parent(step, position(step.motion, Q, nq, step.idx_q));
    with_shapes(step, [&]<int Ax, int K>() {
      r.v = act_inv_motion<K>(r.liMi, p.v);
      r.a = act_inv_motion<K>(r.liMi, p.a);
      if (step.motion.kind != JointType::Fixed) {
        const d4 qd = gather(V, nv, step.idx_v);
        r.v = r.v + subspace_times<Ax>(step.motion, qd);
        r.a = r.a + (subspace_times<Ax>(step.motion, gather(A, nv, step.idx_v)) +
                     cross_subspace<Ax>(step.motion, r.v, qd));
      }
    });
    r.f = body_force(inertias[i], r.a, r.v);
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    const RneaRow& r = rows[i];
    with_shapes(step, [&]<int Ax, int K>() {
      if (step.motion.kind != JointType::Fixed) scatter(subspace_dot<Ax>(step.motion, r.f), out, nv, step.idx_v);
      if (step.parent != 0) rows[step.parent].f = rows[step.parent].f + act_force<K>(r.liMi, r.f);
    });
  }
}

bool aba4(const Model& model, const double* Q, const double* V, const double* TAU, double* out) {
  const std::size_t n = model.njoints(), nq = model.nq, nv = model.nv;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  AbaRow* rows = rows_of<AbaRow>(n);

  rows[0].va = zero_motion();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    r.liMi = frame_in_parent(step, position(step.motion, Q, nq, step.idx_q));
    with_shapes(step, [&]<int Ax, int K>() {
      r.va = act_inv_motion<K>(r.liMi, rows[step.parent].va);
      r.c = zero_motion();
      if (step.motion.kind != JointType::Fixed) {
        const d4 qd = gather(V, nv, step.idx_v);
        r.va = r.va + subspace_times<Ax>(step.motion, qd);
        r.c = cross_subspace<Ax>(step.motion, r.va, qd);
      }
    });
    r.ia = from_rigid(inertias[i]);
    r.pa = body_bias_force(inertias[i], r.va);
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    bool ok = true;
    with_shapes(step, [&]<int Ax, int K>() {
      M6 pa = r.pa;
      if (step.motion.kind != JointType::Fixed) {
        r.u_col = times_subspace<Ax>(r.ia, step.motion);
        const d4 d = subspace_dot<Ax>(step.motion, r.u_col);
        const SpatialMotion S = step.motion.subspace();
        const d4 trace_a = r.ia.A.d[0] + r.ia.A.d[1] + r.ia.A.d[2];
        const d4 trace_c = r.ia.C.d[0] + r.ia.C.d[1] + r.ia.C.d[2];
        const __m256d abs_mask = _mm256_set1_pd(-0.0);
        const d4 scale = S.rotation.squared_norm() * from(_mm256_andnot_pd(abs_mask, raw(trace_a))) +
                         S.translation.squared_norm() * from(_mm256_andnot_pd(abs_mask, raw(trace_c)));
        const __m256d singular =
            _mm256_cmp_pd(_mm256_andnot_pd(abs_mask, raw(d)), raw(kNearlySingularRatio * scale), _CMP_LE_OQ);
        if (_mm256_movemask_pd(singular) != 0) {
          ok = false;
          return;
        }
        r.inv_d = 1.0 / d;
        r.u = gather(TAU, nv, step.idx_v) - subspace_dot<Ax>(step.motion, r.pa);
        subtract_outer(r.ia, r.u_col, r.inv_d);
        pa = pa + (times_bias<Ax>(r.ia, r.c) + r.u_col * (r.u * r.inv_d));
      }
      if (step.parent != 0) {
        AbaRow& p = rows[step.parent];
        const AI turned{rotate<K>(r.ia.A, r.liMi.R), rotate<K>(r.ia.B, r.liMi.R), rotate<K>(r.ia.C, r.liMi.R)};
        add_translated_to(turned, r.liMi.t, p.ia);
        p.pa = p.pa + act_force<K>(r.liMi, pa);
      }
    });
    if (!ok) return false;
  }

  rows[0].va = {splat(Vector3D{}), splat(-model.gravity)};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    with_shapes(step, [&]<int Ax, int K>() {
      r.va = act_inv_motion<K>(r.liMi, rows[step.parent].va) + r.c;
      if (step.motion.kind != JointType::Fixed) {
        const d4 qdd = (r.u - inner(r.va, r.u_col)) * r.inv_d;
        r.va = r.va + subspace_times<Ax>(step.motion, qdd);
        scatter(qdd, out, nv, step.idx_v);
      }
    });
  }
  return true;
}

}  // namespace velmora::lanes

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
