// Four states side by side: forward kinematics, inverse and forward dynamics of four rows at once,
// every double of the single-state passes held as the four lanes of one AVX2 register.
// The passes are those of forward_kinematics, rnea and aba (same formulas, same joint order,
// same shortcuts for axes along a coordinate axis and placements that only translate), so
// the lanes differ from the single-state results by rounding only (the single-state passes
// fuse products and sums too where the processor can, but in another order).
//
// The passes of batch_simd.cpp are compiled for AVX2 and FMA (and AVX-512VL) under target
// pragmas, as are the single-state passes' second builds (passes::wide_vectors); nothing
// else in the library uses those instructions. Call the passes only when available() is
// true. The sines and cosines come from a polynomial of our own (within about an ulp of the
// C library's), which the single-state passes take too while the lanes are available.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/model/model.hpp"

namespace velmora::lanes {

// States per lane group.
inline constexpr std::size_t kWidth = 4;

// Whether the processor has AVX2 and FMA (asked once).
bool processor_has_lanes();
// Whether the batch functions use the lanes: the processor has them and they are not
// switched off, by VELMORA_SIMD=0 (or "off") in the environment when first asked or by
// use_lanes(false) since.
bool available();
// Switches the lanes off (false) or back on where the processor has them (true) for the
// batch calls that start afterwards; for comparisons and tests.
void use_lanes(bool on);

// Whether the processor has AVX-512F and AVX-512VL besides (asked once). The passes then
// run a build of theirs that uses AVX-512VL's encoding of the same 256-bit operations, for
// its 32 vector registers; the results are the same bit for bit.
bool processor_has_wide_registers();
// Whether the lanes use that build: the processor has it and it is not switched off by
// use_wide_registers(false). For comparisons and tests, as use_lanes.
bool wide_registers();
void use_wide_registers(bool on);

// Whether the lane passes cover the model: its records agree with its counts, every joint
// has an inertia, and every joint is revolute, continuous, prismatic or fixed with a
// finite axis. Models with free-flyer, planar or spherical joints take the single-state
// code.
bool covers(const Model& model);

// A frame to write out: its joint and its placement there, with how much of the placement
// there is to apply. Most body frames sit on their joint's frame (Joint) or only off its
// origin (Shifted); the product with a general placement takes four times the operations.
struct FrameOut {
  enum Kind : unsigned char { Joint, Shifted, Placed };
  std::size_t joint;
  Kind kind;
  SE3 placement;
};
// The frames of `frame_ids` (checked by the caller) as forward_kinematics4 takes them.
std::vector<FrameOut> frames_out(const Model& model, std::span<const std::size_t> frame_ids);

// The world placements of `frames` for the four states at Q (rows of nq values), into out
// as forward_kinematics_batch lays out four rows: row by row, frame by frame, a
// homogeneous 4x4 matrix each. Requires available() and covers(model).
void forward_kinematics4(const Model& model, const double* Q, std::span<const FrameOut> frames, double* out);

// rnea for the four states at (Q, V, A) into four rows of nv values at out. Requires
// available() and covers(model).
void rnea4(const Model& model, const double* Q, const double* V, const double* A, double* out);

// aba for the four states at (Q, V, TAU) into four rows of nv values at out; false, with
// nothing written, when a joint's articulated inertia is singular or close to it in any
// of the four (the caller then computes them one by one, which decides and names the
// right row). Requires available() and covers(model).
bool aba4(const Model& model, const double* Q, const double* V, const double* TAU, double* out);

// sin and cos of four values as the lanes compute them: a reduction by pi/2 exact to
// about 2^-105 and the sine and cosine polynomials of fdlibm, within an ulp or so of the
// correctly rounded value for |x| <= 1e5; beyond that (and for infinities and NaN)
// std::sin and std::cos. Requires available().
void sin_cos4(const double* x, double* s, double* c);

// The same for the n values at x (n a multiple of kWidth), into n values at s and c.
void sin_cos(std::size_t n, const double* x, double* s, double* c);

// The cosine and sine of *angle(i) for every i in [0, n) whose angle(i) is not null, four
// at a time by sin_cos4, each handed to store(i, c, s); none when there is only one (alone,
// the lanes gain nothing over the C library). Returns how many were stored. Requires
// available().
template <class Angle, class Store>
std::size_t sin_cos_in_fours(std::size_t n, Angle&& angle, Store&& store) {
  std::size_t pending[kWidth];
  double x[kWidth] = {}, s[kWidth], c[kWidth];
  std::size_t count = 0, total = 0;
  const auto flush = [&] {
    sin_cos4(x, s, c);
    for (std::size_t k = 0; k < count; ++k) store(pending[k], c[k], s[k]);
    total += count;
    count = 0;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double* a = angle(i);
    if (!a) continue;
    pending[count] = i;
    x[count++] = *a;
    if (count == kWidth) flush();
  }
  if (count == 1 && total == 0) return 0;
  if (count > 0) flush();
  return total;
}

}  // namespace velmora::lanes
