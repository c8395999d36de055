// An articulated inertia carried into its parent's frame, parent += X* I X^-1 for the
// child's frame X = (R, p) in the parent's, with the 3x3 blocks as columns in 4-wide AVX2
// vectors: the same operations as ia.rotate(R).add_translated_to(p, parent), in about half
// the instructions. The articulated-body passes spend most of their backward pass here on
// joints whose placement turns generally (most arms); the AVX2 and FMA build of a pass
// calls it, the other build the scalar form.
#pragma once

#include <cstddef>

#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

#if VELMORA_WIDE_VECTORS
#include <immintrin.h>
#endif

namespace velmora::passes {

#if VELMORA_WIDE_VECTORS

namespace wide {

#define VELMORA_AVX2_INLINE gnu::always_inline, gnu::target("avx2,fma")

// The three columns of a 3x3 matrix; lane 3 holds whatever the arithmetic leaves there and
// is never stored.
struct Columns {
  __m256d c[3];
};

[[VELMORA_AVX2_INLINE]] inline __m256d splat(const double& x) { return _mm256_broadcast_sd(&x); }

// The columns of L M for L given by its columns l[k] and M by its entries m(k, j).
template <class Entry>
[[VELMORA_AVX2_INLINE]] inline Columns product(const __m256d (&l)[3], Entry m) {
  Columns t;
  for (int j = 0; j < 3; ++j)
    t.c[j] = _mm256_fmadd_pd(l[2], splat(m(2, j)), _mm256_fmadd_pd(l[1], splat(m(1, j)), _mm256_mul_pd(l[0], splat(m(0, j)))));
  return t;
}

// Column j of T N^T for N given by its entries, N(j, k) at n[j + stride k]: the sum over k
// of T's column k times N(j, k).
[[VELMORA_AVX2_INLINE]] inline __m256d times_transpose(const Columns& t, const double* n, int j, int stride = 3) {
  return _mm256_fmadd_pd(t.c[2], splat(n[j + 2 * stride]),
                         _mm256_fmadd_pd(t.c[1], splat(n[j + stride]), _mm256_mul_pd(t.c[0], splat(n[j]))));
}

// p x c for each lane triple, with p given as (y, z, x) and (z, x, y).
[[VELMORA_AVX2_INLINE]] inline __m256d cross(__m256d p_yzx, __m256d p_zxy, __m256d c) {
  const __m256d c_zxy = _mm256_permute4x64_pd(c, _MM_SHUFFLE(3, 1, 0, 2));
  const __m256d c_yzx = _mm256_permute4x64_pd(c, _MM_SHUFFLE(3, 0, 2, 1));
  return _mm256_fmsub_pd(p_yzx, c_zxy, _mm256_mul_pd(p_zxy, c_yzx));
}

// dst += (Y + Y^T) / 2, stored as Symmetric3 stores it (xx, yy, zz, xy, xz, yz).
[[VELMORA_AVX2_INLINE]] inline void add_symmetric_part(const Columns& y, Symmetric3& dst) {
  const __m256d diagonal = _mm256_blend_pd(_mm256_blend_pd(y.c[0], y.c[1], 0b0010), y.c[2], 0b0100);
  // (y10, y20, y21) and (y01, y02, y12)
  const __m256d lower = _mm256_blend_pd(_mm256_permute4x64_pd(y.c[0], _MM_SHUFFLE(3, 2, 2, 1)), y.c[1], 0b0100);
  const __m256d upper = _mm256_blend_pd(_mm256_permute4x64_pd(y.c[2], _MM_SHUFFLE(3, 1, 0, 0)), y.c[1], 0b0001);
  const __m256d off = _mm256_mul_pd(_mm256_add_pd(lower, upper), _mm256_set1_pd(0.5));
  double* d = dst.data.data();
  const __m256d first = _mm256_blend_pd(diagonal, _mm256_permute4x64_pd(off, _MM_SHUFFLE(0, 0, 0, 0)), 0b1000);
  _mm256_storeu_pd(d, _mm256_add_pd(_mm256_loadu_pd(d), first));
  const __m128d rest = _mm256_castpd256_pd128(_mm256_permute4x64_pd(off, _MM_SHUFFLE(3, 3, 2, 1)));
  _mm_storeu_pd(d + 4, _mm_add_pd(_mm_loadu_pd(d + 4), rest));
}

// dst += M for a general 3x3 stored column by column.
[[VELMORA_AVX2_INLINE]] inline void add_general(const Columns& b, Matrix3& dst) {
  double* d = dst.m.data();
  const __m256d first = _mm256_blend_pd(b.c[0], _mm256_permute4x64_pd(b.c[1], _MM_SHUFFLE(0, 0, 0, 0)), 0b1000);
  const __m256d second = _mm256_blend_pd(_mm256_permute4x64_pd(b.c[1], _MM_SHUFFLE(1, 0, 2, 1)),
                                         _mm256_permute4x64_pd(b.c[2], _MM_SHUFFLE(1, 0, 1, 0)), 0b1100);
  _mm256_storeu_pd(d, _mm256_add_pd(_mm256_loadu_pd(d), first));
  _mm256_storeu_pd(d + 4, _mm256_add_pd(_mm256_loadu_pd(d + 4), second));
  d[8] += _mm_cvtsd_f64(_mm256_extractf128_pd(b.c[2], 1));
}

// parent += X* ia X^-1, and with Projected less U U^T inv_d for the force U already in the
// parent's frame: a joint's projection (IA - IA S S^T IA / d) taken after the change of frame,
// where it does not hold up the rotation (the inverse of d is then ready by the time it is
// needed). Not forced inline: its callers are compiled for any x86-64 and only the passes'
// AVX2 build (gnu::flatten) takes it in.
template <bool Projected>
[[gnu::target("avx2,fma")]] inline void add_transformed(const ArticulatedInertia& ia, const SE3& x,
                                                        ArticulatedInertia& parent, const SpatialForce* U = nullptr,
                                                        double inv_d = 0) {
  const SpatialRotation& R = x.rotation;
  // The columns of R (the last one loaded from one entry earlier, so as to stay inside R)
  // and of [p]x R.
  const __m256d r[3] = {_mm256_loadu_pd(&R.m[0]), _mm256_loadu_pd(&R.m[3]),
                        _mm256_permute4x64_pd(_mm256_loadu_pd(&R.m[5]), _MM_SHUFFLE(0, 3, 2, 1))};
  // p in two orders for cross products, loaded with R's last entry (SE3 keeps them
  // together): no vector is assembled from scalars (a form of vmovq some memory checkers,
  // valgrind 3.19 among them, cannot decode).
  static_assert(offsetof(SE3, translation) == sizeof(SpatialRotation) && sizeof(SpatialRotation) == 9 * sizeof(double));
  const __m256d r8p = _mm256_loadu_pd(&R.m[8]);  // (R22, x, y, z)
  const __m256d p_yzx = _mm256_permute4x64_pd(r8p, _MM_SHUFFLE(0, 1, 3, 2));
  const __m256d p_zxy = _mm256_permute4x64_pd(r8p, _MM_SHUFFLE(0, 2, 1, 3));
  const __m256d pr[3] = {cross(p_yzx, p_zxy, r[0]), cross(p_yzx, p_zxy, r[1]), cross(p_yzx, p_zxy, r[2])};
  alignas(32) double pr_entries[12];  // column k at 4 k
  for (int k = 0; k < 3; ++k) _mm256_store_pd(pr_entries + 4 * k, pr[k]);
  // With P = [p]x and the blocks turned into the parent's axes (Ar = R A R^T, ...), the
  // translation gives B' = Br + P Cr, and A' = Ar - (Z + Z^T) / 2 with Z = (Br + B') P
  // (as add_translated_to). Every product is taken from the child's blocks directly, so
  // that none waits for another rotation: B' = (R B + P R C) R^T, and with
  // Tw = 2 R B + P R C, Z = Tw R^T P = -Tw (P R)^T.
  const Columns ta = product(r, [&](int i, int j) -> const double& { return ia.A.data[Symmetric3::slot(i, j)]; });
  const Columns tb = product(r, [&](int i, int j) -> const double& { return ia.B.m[i + 3 * j]; });
  const Columns tc = product(r, [&](int i, int j) -> const double& { return ia.C.data[Symmetric3::slot(i, j)]; });
  const Columns tpc = product(pr, [&](int i, int j) -> const double& { return ia.C.data[Symmetric3::slot(i, j)]; });
  Columns t2, tw;
  for (int k = 0; k < 3; ++k) {
    t2.c[k] = _mm256_add_pd(tb.c[k], tpc.c[k]);
    tw.c[k] = _mm256_add_pd(t2.c[k], tb.c[k]);
  }
  Columns b2, c, y;
  for (int j = 0; j < 3; ++j) {
    b2.c[j] = times_transpose(t2, R.m.data(), j);
    c.c[j] = times_transpose(tc, R.m.data(), j);
    y.c[j] = _mm256_add_pd(times_transpose(ta, R.m.data(), j), times_transpose(tw, pr_entries, j, 4));
  }
  if constexpr (Projected) {
    const Vector3D &n = U->angular, &f = U->linear;
    const __m256d nv = _mm256_loadu_pd(&n.x), fv = _mm256_permute4x64_pd(_mm256_loadu_pd(&n.z), _MM_SHUFFLE(0, 3, 2, 1));
    const double nd[3] = {n.x * inv_d, n.y * inv_d, n.z * inv_d}, fd[3] = {f.x * inv_d, f.y * inv_d, f.z * inv_d};
    for (int j = 0; j < 3; ++j) {
      y.c[j] = _mm256_fnmadd_pd(nv, _mm256_set1_pd(nd[j]), y.c[j]);
      b2.c[j] = _mm256_fnmadd_pd(nv, _mm256_set1_pd(fd[j]), b2.c[j]);
      c.c[j] = _mm256_fnmadd_pd(fv, _mm256_set1_pd(fd[j]), c.c[j]);
    }
  }
  add_symmetric_part(y, parent.A);
  add_general(b2, parent.B);
  add_symmetric_part(c, parent.C);
}

#undef VELMORA_AVX2_INLINE

}  // namespace wide

#endif

// Whether the AVX2 build of a pass has the vector forms above (on x86-64).
inline constexpr bool kWideCongruence = VELMORA_WIDE_VECTORS;

// The carried inertia added into the parent's, for a rotation of shape K (see
// SpatialRotation::rotate), by the build's own means: the AVX2 and FMA build (Wide, whose
// callers carry that target) takes the vector form for a general rotation, every build the
// scalar one for a turn about a coordinate axis or none.
template <bool Wide, int K>
[[gnu::always_inline]] inline void add_transformed(const ArticulatedInertia& ia, const SE3& x,
                                                   ArticulatedInertia& parent) {
#if VELMORA_WIDE_VECTORS
  if constexpr (Wide && K < 0) return wide::add_transformed<false>(ia, x, parent);
#endif
  ia.rotate<K>(x.rotation).add_translated_to(x.translation, parent);
}

// parent += X* ia X^-1 - U U^T inv_d for a joint's U = IA S already in the parent's frame: its
// projection taken on the way into the parent (wide::add_transformed<true>), for the AVX2
// build; elsewhere the same sum by the scalar forms.
inline void add_projected(const ArticulatedInertia& ia, const SE3& x, const SpatialForce& U, double inv_d,
                          ArticulatedInertia& parent) {
#if VELMORA_WIDE_VECTORS
  wide::add_transformed<true>(ia, x, parent, &U, inv_d);
#else
  ia.rotate(x.rotation).add_translated_to(x.translation, parent);
  parent.subtract_outer(U, inv_d);
#endif
}

}  // namespace velmora::passes
