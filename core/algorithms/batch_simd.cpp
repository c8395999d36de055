// Forward kinematics and the recursive Newton-Euler passes over four states at once
// (batch_simd_passes.inc), and the choice of their build for this processor.
//
// Only the passes are compiled for AVX2 and FMA (and AVX-512VL), under the target pragmas
// below; the headers above them, and so every inline function and template they define,
// keep the library's baseline instructions, so no copy of a shared inline function made
// there can carry those instructions into code that runs without the check.
#include "core/algorithms/batch_simd.hpp"

#include <immintrin.h>
#include <strings.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/algorithms/branch_lanes.hpp"
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

// The passes are compiled twice: here for AVX2 and FMA, and in batch_simd_wide.cpp with
// AVX-512VL as well, whose encoding gives the same 256-bit operations 32 vector registers
// instead of 16. A pass holds more values at once than 16 registers take (an articulated
// inertia alone is 21), so the second build keeps in registers much of what the first
// moves to and from the stack. Both run the same operations in the same order; they may
// differ in rounding only, where the compiler fuses a product and a sum in one build and
// not in the other. (Each build has a file of its own: in one file, the compiler's limits
// on inlining, which count the whole file, left the passes slower.)
//
// The helpers of the passes are small and called in few places; inlined always, so that
// their results (a few registers each) stay in registers instead of going through memory
// as the return values of calls, which the compiler's size limits would otherwise leave.
#define always_inline inline __attribute__((always_inline))

// GCC and clang spell "the functions that follow" differently.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace velmora::lanes::avx2 {
#include "core/algorithms/batch_simd_passes.inc"
}  // namespace velmora::lanes::avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#undef always_inline

namespace velmora::lanes {

namespace avx512 {
// batch_simd_wide.cpp
void forward_kinematics4(const Model& model, const double* Q, std::span<const FrameOut> frames, double* out);
void rnea4(const Model& model, const double* Q, const double* V, const double* A, double* out);
bool aba4(const Model& model, const double* Q, const double* V, const double* TAU, double* out);
bool aba_branches(const Model& model, const BranchSchedule& schedule, const BranchBodies* bodies,
                  InertiaWords& check, const double* q, const double* v, const double* tau, double* ddq);
void mass_matrix_branches(const Model& model, const BranchSchedule& schedule, const BranchBodies* bodies,
                          InertiaWords& check, const double* q, double* M);
void rnea_branches(const Model& model, const BranchSchedule& schedule, const BranchBodies* bodies,
                   InertiaWords& check, const double* q, const double* v, const double* a, double* tau);
void forward_kinematics_branches(const Model& model, const BranchSchedule& schedule, const double* q, Data& data);
}  // namespace avx512

namespace {

std::atomic<bool>& wide_switch() {
  static std::atomic<bool> on{true};
  return on;
}

}  // namespace

bool processor_has_wide_registers() {
  static const bool has = [] {
    __builtin_cpu_init();
    return processor_has_lanes() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  }();
  return has;
}

bool wide_registers() { return processor_has_wide_registers() && wide_switch().load(std::memory_order_relaxed); }

void use_wide_registers(bool on) { wide_switch().store(on, std::memory_order_relaxed); }

void sin_cos4(const double* x, double* s, double* c) { avx2::sin_cos4(x, s, c); }

void sin_cos(std::size_t n, const double* x, double* s, double* c) { avx2::sin_cos(n, x, s, c); }

std::vector<FrameOut> frames_out(const Model& model, std::span<const std::size_t> frame_ids) {
  std::vector<FrameOut> frames;
  frames.reserve(frame_ids.size());
  for (const std::size_t id : frame_ids) {
    const Frame& frame = model.frames[id];
    const bool turns = !(frame.placement.rotation == SpatialRotation::identity());
    const bool moves = !(frame.placement.translation == Vector3D{});
    frames.push_back({frame.parent_joint, turns ? FrameOut::Placed : moves ? FrameOut::Shifted : FrameOut::Joint,
                      frame.placement});
  }
  return frames;
}

void forward_kinematics4(const Model& model, const double* Q, std::span<const FrameOut> frames, double* out) {
  if (wide_registers()) return avx512::forward_kinematics4(model, Q, frames, out);
  avx2::forward_kinematics4(model, Q, frames, out);
}

void rnea4(const Model& model, const double* Q, const double* V, const double* A, double* out) {
  if (wide_registers()) return avx512::rnea4(model, Q, V, A, out);
  avx2::rnea4(model, Q, V, A, out);
}

bool aba4(const Model& model, const double* Q, const double* V, const double* TAU, double* out) {
  if (wide_registers()) return avx512::aba4(model, Q, V, TAU, out);
  return avx2::aba4(model, Q, V, TAU, out);
}

namespace {

// pass(bodies, check) (a bool) with the bodies kept from an earlier call, the pass
// comparing the model's inertias with the ones they were made of as it runs; when they
// differ (or none are kept), once more with the bodies made again (branch_bodies),
// nothing compared.
template <class Pass>
bool with_bodies(const Model& model, const BranchSchedule& schedule, Pass&& pass) {
  static_assert(sizeof(Inertia) % sizeof(double) == 0);
  if (!schedule.bodies.empty() && schedule.bodies_of.size() == model.inertias.size()) {
    InertiaWords check{reinterpret_cast<const double*>(model.inertias.data()),
                       reinterpret_cast<const double*>(schedule.bodies_of.data()),
                       model.inertias.size() * sizeof(Inertia) / sizeof(double), false};
    const bool result = pass(schedule.bodies.data(), check);
    if (check.same) return result;
  }
  InertiaWords none;
  return pass(branch_bodies(model, schedule), none);
}

}  // namespace

bool aba_branches(const Model& model, const BranchSchedule& schedule, const double* q, const double* v,
                  const double* tau, double* ddq) {
  return with_bodies(model, schedule, [&](const BranchBodies* bodies, InertiaWords& check) {
    if (wide_registers()) return avx512::aba_branches(model, schedule, bodies, check, q, v, tau, ddq);
    return avx2::aba_branches(model, schedule, bodies, check, q, v, tau, ddq);
  });
}

void mass_matrix_branches(const Model& model, const BranchSchedule& schedule, const double* q, double* M) {
  with_bodies(model, schedule, [&](const BranchBodies* bodies, InertiaWords& check) {
    if (wide_registers()) avx512::mass_matrix_branches(model, schedule, bodies, check, q, M);
    else avx2::mass_matrix_branches(model, schedule, bodies, check, q, M);
    return true;
  });
}

void forward_kinematics_branches(const Model& model, const BranchSchedule& schedule, const double* q, Data& data) {
  if (wide_registers()) avx512::forward_kinematics_branches(model, schedule, q, data);
  else avx2::forward_kinematics_branches(model, schedule, q, data);
}

void rnea_branches(const Model& model, const BranchSchedule& schedule, const double* q, const double* v,
                   const double* a, double* tau) {
  with_bodies(model, schedule, [&](const BranchBodies* bodies, InertiaWords& check) {
    if (wide_registers()) avx512::rnea_branches(model, schedule, bodies, check, q, v, a, tau);
    else avx2::rnea_branches(model, schedule, bodies, check, q, v, a, tau);
    return true;
  });
}

}  // namespace velmora::lanes
