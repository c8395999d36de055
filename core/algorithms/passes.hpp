// What the recursive passes over the joint tree share: per-thread scratch rows, the
// joints' frames for q, the shapes a joint lets a pass specialise for, the force of a
// rigid body, and the size checks and error texts of the dynamics.
//
// Every joint's motion subspace S is constant in the joint's own frame: motion.nv()
// columns, motion.column(k). A pass that reads S only through those columns (and the
// joint frames through place_joints) works for every kind of joint; the specialised
// products of JointMotion (subspace_times<A> and friends) are for one-column joints.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/batch_simd.hpp"
#include "core/inertia/inertia.hpp"
#include "core/model/model.hpp"

namespace velmora::passes {

inline std::unexpected<DynamicsError> fail(std::string message) {
  return std::unexpected(DynamicsError{std::move(message)});
}

// Only code that edited the model's public counts directly gets here.
inline std::unexpected<DynamicsError> malformed_model() {
  return fail("The model's joint sizes or parents are inconsistent with its configuration sizes");
}

// Short arrays are refused; longer ones are accepted and their tail ignored.
[[gnu::cold]] inline std::unexpected<DynamicsError> too_short(const char* name, std::size_t expected,
                                                              std::size_t got) {
  return fail("Parameter '" + std::string(name) + "' expected configuration size of at least " +
              std::to_string(expected) + ", but got " + std::to_string(got));
}

// The size of an array must be exactly the model's.
[[gnu::cold]] inline std::unexpected<DynamicsError> wrong_size(const char* name, std::size_t expected,
                                                               std::size_t got) {
  return fail(ConfigurationError::parameter_size(name, expected, got).display());
}

// The model's records agree with its public counts and every joint has an inertia.
inline bool model_consistent(const Model& model) {
  return model.steps_agree() && model.inertias.size() == model.njoints();
}

// The text of the error for the first quaternion in q (at least model.nq values) that
// has no direction (all zero, or an infinite or NaN entry), or nothing when all have one.
[[gnu::cold]] std::expected<void, std::string> check_quaternions(const Model& model, const double* q);

// Whether every quaternion in q can be normalised; free for models without quaternion
// joints. Algorithms read a normalised copy of each quaternion, never q changed.
inline std::expected<void, std::string> check_configuration(const Model& model, const double* q) {
  if (model.quaternion_joints().empty()) [[likely]]
    return {};
  return check_quaternions(model, q);
}
inline std::expected<void, std::string> check_configuration(const Model& model, std::span<const double> q) {
  return check_configuration(model, q.data());
}

// The hot passes (forward kinematics, the Jacobians, rnea, aba, the mass matrix, its
// inverse, the Coriolis matrix, the derivatives of the dynamics) are compiled twice on
// x86-64: for any processor, and for those with AVX2 and FMA, whose three-operand and
// fused multiply-add instructions run the same arithmetic in 12 to 28 percent fewer
// instructions (the passes are bound by how many they issue). The operations and their
// order are the same; a fused product and sum rounds once instead of twice, so the two
// forms agree to rounding, not bit for bit. wide_vectors() says which one runs: the AVX2
// and FMA form when the processor has them, unless switched off (tests and benchmarks
// compare the two). On one machine every call of a pass runs the same form, so single
// calls, batches and threads agree bit for bit.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_WIDE_VECTORS 1
#else
#define VELMORA_WIDE_VECTORS 0
#endif
bool wide_vectors();
// Turns the AVX2 and FMA form off (false) or back on where the processor has it; returns
// whether it is on afterwards.
bool use_wide_vectors(bool on);

// The attributes of a pass's second build: compiled whole (everything it calls inlined)
// for AVX2 and FMA. Where the compiler does not target x86-64 it is a copy of the first
// build, which wide_vectors() never chooses.
#if VELMORA_WIDE_VECTORS
#define VELMORA_WIDE_BUILD gnu::noinline, gnu::flatten, gnu::target("avx2,fma")
#else
#define VELMORA_WIDE_BUILD gnu::noinline, gnu::flatten
#endif
// The build of a pass that runs: `wide` when wide_vectors() says so, else `narrow`.
template <class F>
F build_of(F narrow, F wide) {
  return wide_vectors() ? wide : narrow;
}

// The rows of one call, in storage each thread keeps from call to call: every call
// writes each entry before it reads it, so nothing but the memory carries over, and
// the memory is neither allocated nor cleared again. Each Row type has storage of its
// own; a pass that calls another pass must use a different Row type.
template <class Row>
Row* scratch_rows(std::size_t n) {
  thread_local std::vector<Row> rows;
  if (rows.size() < n) rows.resize(n);
  return rows.data();
}

// The cosines and sines of the revolute joints' angles, by joint, when made beforehand.
struct Turns {
  const double* c = nullptr;
  const double* s = nullptr;
};

// The cosines and sines of the revolute joints' angles at q, from the vector lanes
// (within about an ulp of the C library's), four joints at a time in joint order (a lane
// of another kind of joint turns a zero, which costs less than picking the revolute ones
// out): one at a time they are nearly half the cost of placing an arm's joints. None
// where it gains nothing: without the lanes (VELMORA_SIMD=0 or an older processor) or
// with fewer than two revolute joints.
inline Turns turn_revolute_joints(const JointStep* steps, std::size_t n, const double* q) {
  if (!lanes::available()) return {};
  const std::size_t m = (n + lanes::kWidth - 1) / lanes::kWidth * lanes::kWidth;
  thread_local std::vector<double> values;  // the angles, their sines, their cosines
  if (values.size() < 3 * m) values.resize(3 * m);
  double* x = values.data();
  std::size_t revolute = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool turns = steps[i].motion.kind == JointType::Revolute;
    x[i] = turns ? q[steps[i].idx_q] : 0.0;
    revolute += turns;
  }
  if (revolute < 2) return {};
  for (std::size_t i = n; i < m; ++i) x[i] = 0.0;
  lanes::sin_cos(m, x, x + m, x + 2 * m);
  return {x + 2 * m, x + m};
}

// A one-axis joint's position at q, with a revolute joint's cosine and sine from turns
// when they were made.
inline JointMotion::AxisPosition axis_position(const JointStep& step, const Turns& turns, std::size_t i,
                                               const double* q) {
  if (turns.c && step.motion.kind == JointType::Revolute) return {turns.c[i], turns.s[i], {}};
  return step.motion.axis_position(q + step.idx_q);
}

// Every joint's position at q into positions[joint], in a loop of its own so that the
// sines and cosines do not interrupt the pass that reads them.
inline void joint_positions(const JointStep* steps, std::size_t n, const double* q, JointMotion::Position* positions) {
  const Turns turns = turn_revolute_joints(steps, n, q);
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    if (step.motion.multi()) [[unlikely]]
      positions[i] = step.motion.multi_position(q + step.idx_q);
    else
      static_cast<JointMotion::AxisPosition&>(positions[i]) = axis_position(step, turns, i, q);
  }
}

// Every joint's frame in its parent's frame for q, into the rows' liMi: the one place q
// is read, in a loop of its own so that the sines and cosines (made first, four at a
// time) do not interrupt the passes that follow.
// Multi: the model may have joints with several degrees of freedom (Model::
// multi_joint_count); without them the loop reads the one-axis positions untested.
template <class Row, bool Multi = true>
inline void place_joints_loop(const JointStep* steps, std::size_t n, const double* q, Row* rows) {
  const Turns turns = turn_revolute_joints(steps, n, q);
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    if (Multi && step.motion.multi()) [[unlikely]]
      rows[i].liMi = step.frame_in_parent(step.motion.multi_position(q + step.idx_q));
    else
      rows[i].liMi = step.frame_in_parent(axis_position(step, turns, i, q));
  }
}

// Kept out of the caller's passes: inlined there, it measures slower for the Newton-Euler rows.
template <class Row, bool Multi = true>
[[gnu::noinline]] void place_joints(const JointStep* steps, std::size_t n, const double* q, Row* rows) {
  place_joints_loop<Row, Multi>(steps, n, q, rows);
}

// The same with the frames' code inlined into the loop, which measures faster for the
// articulated-body rows.
template <class Row, bool Multi = true>
[[gnu::flatten]] void place_joints_inlined(const JointStep* steps, std::size_t n, const double* q, Row* rows) {
  place_joints_loop<Row, Multi>(steps, n, q, rows);
}

// parent * x for x whose rotation has shape K (SpatialRotation::rotate): for a turn about
// coordinate axis K two columns of the parent's rotation mix, for the identity only the
// translation moves (the values of the full product, without its products with 0 and 1).
template <int K>
SE3 compose(const SE3& parent, const SE3& x) {
  if constexpr (K == kIdentityShape) {
    return parent.translated(x.translation);
  } else if constexpr (K >= 0) {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const SpatialRotation& r = x.rotation;
    return {parent.rotation.times_about<K>(r(i, i), r(j, i)), parent.rotation * x.translation + parent.translation};
  } else {
    return parent * x;
  }
}

// The joint's frame in the world for its position p: parent * placement * motion(p),
// with only the products the joint's shape needs.
inline SE3 world_frame(const JointStep& step, const SE3& oMp, const JointMotion::Position& p) {
  SE3 base;
  if (step.placement_translates_only) base = compose<kIdentityShape>(oMp, step.placement);
  else if (step.placement_turn_axis == 0) base = compose<0>(oMp, step.placement);
  else if (step.placement_turn_axis == 1) base = compose<1>(oMp, step.placement);
  else if (step.placement_turn_axis == 2) base = compose<2>(oMp, step.placement);
  else base = oMp * step.placement;
  return step.motion.after(base, p);
}

// A rigid body (or a sum of them) in world coordinates: mass, first moment h = m c and
// rotational inertia about the world origin.
struct WorldInertia {
  double mass;
  Vector3D h;
  Symmetric3 I;

  // The world inertia of a body of inertia I (about its own frame) placed at oMi.
  static WorldInertia placed(const Inertia& I, const SE3& oMi) {
    const Vector3D c = oMi.rotation * I.com + oMi.translation;
    return {I.mass, c * I.mass, I.inertia.rotate_body(oMi.rotation) - Symmetric3::skew_square(c) * I.mass};
  }

  // The momentum at motion (w; u): (I w + h x u; m u + w x h).
  SpatialForce operator*(const SpatialMotion& s) const {
    return {I * s.rotation + cross(h, s.translation), s.translation * mass + cross(s.rotation, h)};
  }
  void add(const WorldInertia& o) {
    mass += o.mass, h += o.h;
    for (int k = 0; k < 6; ++k) I.data[k] += o.I.data[k];
  }
};

// The force a rigid body needs for acceleration a at velocity v, I a + v x* (I v), in
// the form about its centre of mass c: the centre's acceleration
// b - c x alpha + w x (u - c x w) times the mass, and the moment
// Ic alpha + w x (Ic w) + c x f about the frame's origin, for v = (w; u), a = (alpha; b).
inline SpatialForce body_force(const Inertia& I, const SpatialMotion& a, const SpatialMotion& v) {
  const Vector3D& c = I.com;
  const Vector3D& w = v.rotation;
  const Vector3D centre_velocity = v.translation - cross(c, w);
  const Vector3D f = (a.translation - cross(c, a.rotation) + cross(w, centre_velocity)) * I.mass;
  return {I.inertia * a.rotation + cross(w, I.inertia * w) + cross(c, f), f};
}

// Runs body.template operator()<A, K>() with the shapes joint `step` lets the dynamics
// exploit: A, the coordinate axis its motion subspace lies along (-1: none, or not a
// rotation), and K, the shape of its frame's rotation in the parent's frame
// (SpatialRotation::rotate): A when its placement only translates or turns about A too;
// for a slide or fixed joint, the identity when its placement only translates and the
// placement's turn axis when it turns about one (a Panda's fingers); -1 otherwise.
template <class Body>
[[gnu::always_inline]] inline void with_shapes(const JointStep& step, Body&& body) {
  const bool elementary = step.placement_translates_only;
  const int turn = step.placement_turn_axis;
  switch (step.motion.coordinate_axis) {
    case 0: return elementary || turn == 0 ? body.template operator()<0, 0>() : body.template operator()<0, -1>();
    case 1: return elementary || turn == 1 ? body.template operator()<1, 1>() : body.template operator()<1, -1>();
    case 2: return elementary || turn == 2 ? body.template operator()<2, 2>() : body.template operator()<2, -1>();
    default: break;
  }
  if (step.motion.rotates() || step.motion.multi()) return body.template operator()<-1, -1>();
  if (elementary) return body.template operator()<-1, kIdentityShape>();
  switch (turn) {
    case 0: return body.template operator()<-1, 0>();
    case 1: return body.template operator()<-1, 1>();
    case 2: return body.template operator()<-1, 2>();
    default: return body.template operator()<-1, -1>();
  }
}

}  // namespace velmora::passes
