// Forward dynamics by the articulated-body algorithm, with the frames and conventions of
// the Newton-Euler pass (rnea.cpp): quantities of joint i in joint i's frame, the base
// acceleration minus gravity.
//
// The velocity-product accelerations are carried on the way out: a0, each body's
// acceleration when every joint acceleration is zero (the base accelerating at minus
// gravity), and each body's bias force is the force it needs at that acceleration,
// I a0 + v x* (I v). What the last two passes solve for is then the acceleration the
// joints add on top of a0: zero at the base, and along a path only the sum of the S qdd,
// with no velocity-product term, so the articulated bias force handed to the parent
// needs no product of the articulated inertia with one. The bodies' forces cost a little
// more on the way out; the whole measures 1 to 3 percent faster.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/algorithms/branch_lanes.hpp"
#include "core/algorithms/congruence_wide.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

using namespace passes;

namespace {

struct AbaRow {
  SE3 liMi;
  SpatialMotion v;
  SpatialMotion a;      // a0 on the way out, then the acceleration added by the joints
  SpatialForce pa;      // bias force, then the articulated bias force
  ArticulatedInertia ia;
  SpatialForce u_col;   // IA S
  SpatialForce u_up;    // IA S in the parent's frame (joints not on the world)
  double inv_d;         // 1 / (S^T IA S)
  double u;             // tau - S^T pa
};

// A joint whose articulated inertia about its axis vanishes (a massless body carrying
// nothing, or all mass on the axis of a revolute joint) has no defined acceleration.
// The test is relative to the size of the inertia so that rounding on a massive but
// degenerate subtree is caught as well.
constexpr double kSingularRatio = 1e-12;

bool singular(double d, const SpatialMotion& s, const ArticulatedInertia& ia) {
  const double trace_a = ia.A.data[0] + ia.A.data[1] + ia.A.data[2];
  const double trace_c = ia.C.data[0] + ia.C.data[1] + ia.C.data[2];
  const double scale = s.rotation.squared_norm() * std::abs(trace_a) + s.translation.squared_norm() * std::abs(trace_c);
  return std::abs(d) <= kSingularRatio * scale;
}
// The same for a rotation about coordinate axis A (S = (+-e_A; 0), of unit length): the
// scale is the rotational block's trace alone.
template <int A>
bool singular(double d, const JointMotion& motion, const ArticulatedInertia& ia) {
  if constexpr (A < 0) return singular(d, motion.subspace(), ia);
  const double trace_a = ia.A.data[0] + ia.A.data[1] + ia.A.data[2];
  return std::abs(d) <= kSingularRatio * std::abs(trace_a);
}

// IA S for the motion subspace column S of a joint whose S lies along coordinate axis A
// (-1: any).
template <int A>
SpatialForce times_subspace(const ArticulatedInertia& ia, const JointMotion& motion) {
  if constexpr (A >= 0) return ia.times_rotation_axis<A>(motion.axis_sign);
  return motion.kind == JointType::Prismatic ? ia.times_translation(motion.axis) : ia.times_rotation(motion.axis);
}

// What a joint with several degrees of freedom (k = nv() <= 6 columns of S) keeps between
// the passes: U = IA S, D^-1 = (S^T IA S)^-1 and u = tau - S^T pa. Rows of their own, so
// that the one-column rows stay small; only the multi-degree-of-freedom joints touch them.
struct AbaMultiRow {
  SpatialForce U[6];
  double inv_D[6][6];
  double u[6];
};

// The inverse of the symmetric k x k matrix D by its Cholesky factor D = L L^T; false
// when D is not positive definite within kSingularRatio of its largest diagonal entry.
bool invert_spd(const double (&D)[6][6], std::size_t k, double (&inv)[6][6]) {
  double scale = 0;
  for (std::size_t i = 0; i < k; ++i) scale = std::max(scale, std::abs(D[i][i]));
  double L[6][6] = {};
  for (std::size_t j = 0; j < k; ++j) {
    double d = D[j][j];
    for (std::size_t m = 0; m < j; ++m) d -= L[j][m] * L[j][m];
    if (!(d > kSingularRatio * scale)) return false;
    L[j][j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < k; ++i) {
      double x = D[i][j];
      for (std::size_t m = 0; m < j; ++m) x -= L[i][m] * L[j][m];
      L[i][j] = x / L[j][j];
    }
  }
  // inv = L^-T L^-1, column by column: solve L y = e_c, then L^T x = y.
  for (std::size_t c = 0; c < k; ++c) {
    double y[6];
    for (std::size_t i = 0; i < k; ++i) {
      double x = i == c ? 1.0 : 0.0;
      for (std::size_t m = 0; m < i; ++m) x -= L[i][m] * y[m];
      y[i] = x / L[i][i];
    }
    for (std::size_t i = k; i-- > 0;) {
      double x = y[i];
      for (std::size_t m = i + 1; m < k; ++m) x -= L[m][i] * inv[m][c];
      inv[i][c] = x / L[i][i];
    }
  }
  return true;
}

// The element r (0..5, angular first) of a force.
double element(const SpatialForce& f, int r) { return r < 3 ? f.angular[r] : f.linear[r - 3]; }

// ia -= W U^T for forces W and U, on the stored entries of the symmetric blocks: the
// caller's sum over such products is symmetric, so the upper triangles carry it.
void subtract_product(ArticulatedInertia& ia, const SpatialForce& W, const SpatialForce& U) {
  const Vector3D &wn = W.angular, &wf = W.linear, &un = U.angular, &uf = U.linear;
  ia.A.data[0] -= wn.x * un.x, ia.A.data[1] -= wn.y * un.y, ia.A.data[2] -= wn.z * un.z;
  ia.A.data[3] -= wn.x * un.y, ia.A.data[4] -= wn.x * un.z, ia.A.data[5] -= wn.y * un.z;
  ia.C.data[0] -= wf.x * uf.x, ia.C.data[1] -= wf.y * uf.y, ia.C.data[2] -= wf.z * uf.z;
  ia.C.data[3] -= wf.x * uf.y, ia.C.data[4] -= wf.x * uf.z, ia.C.data[5] -= wf.y * uf.z;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) ia.B(i, j) -= wn[i] * uf[j];
}

// A joint with k degrees of freedom takes its free directions out of what it hands its
// parent: ia becomes IA - U D^-1 U^T and pa gains U D^-1 u.
void project_out(ArticulatedInertia& ia, SpatialForce& pa, const SpatialForce (&U)[6], const double (&inv_D)[6][6],
                 const double (&u)[6], std::size_t k) {
  for (std::size_t c = 0; c < k; ++c) {
    SpatialForce W = SpatialForce::zero();
    double x = 0;
    for (std::size_t e = 0; e < k; ++e) {
      W += U[e] * inv_D[e][c];
      x += inv_D[c][e] * u[e];
    }
    subtract_product(ia, W, U[c]);
    pa += U[c] * x;
  }
}

// The three passes of the algorithm; Multi: the model may have joints with several
// degrees of freedom (tested per joint only then). Returns the joint whose articulated
// inertia is singular, or 0. Everything it calls is inlined into the functions that run
// it (joint_frame_passes below): left to itself the compiler keeps the motion transforms
// and bias forces as calls, and the passes then take 1.4 times as long on chains of
// general axes for about the same number of instructions. Wide: the AVX2 and FMA build.
template <bool Multi, bool Wide>
inline std::size_t passes_body(const Model& model, const double* q, const double* v, const double* tau, double* ddq) {
  const std::size_t n = model.njoints();
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  AbaRow* rows = scratch_rows<AbaRow>(n);
  AbaMultiRow* multi = Multi ? scratch_rows<AbaMultiRow>(n) : nullptr;

  // Velocities, a0 and the rigid inertias and bias forces.
  place_joints_inlined<AbaRow, Multi>(steps, n, q, rows);
  rows[0].v = SpatialMotion::zero();
  rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    const AbaRow& p = rows[step.parent];
    if (Multi && step.motion.multi()) [[unlikely]] {
      const SpatialMotion vj = step.motion.subspace_apply(v + step.idx_v);
      r.v = r.liMi.act_inv_motion(p.v) + vj;
      r.a = r.liMi.act_inv_motion(p.a) + cross_motion(r.v, vj);
    } else with_shapes(step, [&]<int A, int K>() {
      r.v = r.liMi.act_inv_motion<K>(p.v);
      r.a = r.liMi.act_inv_motion<K>(p.a);
      if (step.motion.kind != JointType::Fixed) {
        const double qd = v[step.idx_v];
        r.v += step.motion.subspace_times<A>(qd);
        r.a += step.motion.cross_subspace<A>(r.v, qd);
      }
    });
    const Inertia& I = inertias[i];
    r.ia = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
    r.pa = body_force(I, r.a, r.v);
  }

  // Articulated inertias and bias forces, leaves first; each joint projects out its own
  // free direction before handing its subtree to the parent.
  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    bool ok = true;
    if (Multi && step.motion.multi()) [[unlikely]] {
      AbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      double D[6][6];
      for (std::size_t c = 0; c < k; ++c) {
        m.U[c] = r.ia * step.motion.column(c);
        for (std::size_t e = 0; e < k; ++e) D[e][c] = element(m.U[c], step.motion.row_of_column(e));
      }
      if (!invert_spd(D, k, m.inv_D)) {
        ok = false;
      } else {
        step.motion.subspace_transpose_apply(r.pa, m.u);
        for (std::size_t c = 0; c < k; ++c) m.u[c] = tau[step.idx_v + c] - m.u[c];
        if (step.parent != 0) {
          SpatialForce pa = r.pa;
          project_out(r.ia, pa, m.U, m.inv_D, m.u, k);
          AbaRow& p = rows[step.parent];
          r.ia.rotate(r.liMi.rotation).add_translated_to(r.liMi.translation, p.ia);
          p.pa += r.liMi.act_force(pa);
        }
      }
    } else with_shapes(step, [&]<int A, int K>() {
      SpatialForce pa = r.pa;
      if (step.motion.kind != JointType::Fixed) {
        r.u_col = times_subspace<A>(r.ia, step.motion);
        const double d = step.motion.subspace_dot<A>(r.u_col);
        if (singular<A>(d, step.motion, r.ia)) {
          ok = false;
          return;
        }
        r.inv_d = 1.0 / d;
        r.u = tau[step.idx_v] - step.motion.subspace_dot<A>(r.pa);
        // A joint on the world hands nothing on: its projected inertia is never read.
        if (step.parent == 0) return;
        r.u_up = r.liMi.act_force<K>(r.u_col);
        pa += r.u_col * (r.u * r.inv_d);
        // The AVX2 build projects in the parent's frame, on the way in (congruence_wide.hpp).
        if constexpr (Wide && kWideCongruence) {
          add_projected(r.ia, r.liMi, r.u_up, r.inv_d, rows[step.parent].ia);
          rows[step.parent].pa += r.liMi.act_force<K>(pa);
          return;
        }
        if constexpr (A >= 0) r.ia.subtract_outer_axis<A>(r.u_col, r.inv_d);
        else r.ia.subtract_outer(r.u_col, r.inv_d);
      }
      if (step.parent != 0) {
        AbaRow& p = rows[step.parent];
        // K == A: a rotation about the joint's own axis, whose row and column the
        // projection above left zero.
        if constexpr (K == kIdentityShape) r.ia.add_translated_to(r.liMi.translation, p.ia);
        else if constexpr (K >= 0 && K == A) r.ia.add_turned_translated_to<K>(r.liMi.rotation, r.liMi.translation, p.ia);
        else add_transformed<Wide, K>(r.ia, r.liMi, p.ia);
        p.pa += r.liMi.act_force<K>(pa);
      }
    });
    if (!ok) return i;
  }

  // The accelerations the joints add on top of a0, root first.
  rows[0].a = SpatialMotion::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    if (Multi && step.motion.multi()) [[unlikely]] {
      const AbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      r.a = r.liMi.act_inv_motion(rows[step.parent].a);
      double rhs[6], qdd[6];
      for (std::size_t c = 0; c < k; ++c) rhs[c] = m.u[c] - inner(r.a, m.U[c]);
      for (std::size_t c = 0; c < k; ++c) {
        double x = 0;
        for (std::size_t e = 0; e < k; ++e) x += m.inv_D[c][e] * rhs[e];
        qdd[c] = x;
        ddq[step.idx_v + c] = x;
      }
      r.a += step.motion.subspace_apply(qdd);
      continue;
    }
    with_shapes(step, [&]<int A, int K>() {
      const SpatialMotion& a_parent = rows[step.parent].a;
      r.a = r.liMi.act_inv_motion<K>(a_parent);
      if (step.motion.kind != JointType::Fixed) {
        // S^T IA (X a_parent) taken as (X* IA S)^T a_parent, which does not wait for the
        // transform of a_parent: the chain from joint to joint is shorter.
        const double qdd = step.parent == 0 ? r.u * r.inv_d : (r.u - inner(a_parent, r.u_up)) * r.inv_d;
        r.a += step.motion.subspace_times<A>(qdd);
        ddq[step.idx_v] = qdd;
      }
    });
  }
  return 0;
}

// ------------------------------------------------------------------ in world axes

// The same algorithm with every joint's quantities in one frame: world axes, with the
// origin at the first joint of the subtree hanging from the world. The motion subspace
// columns are turned into it once, on the way out; articulated inertias and bias forces
// of a subtree then simply add into the parent's, with no change of frame per joint.
// Subtrees hanging from the world exchange nothing but the base's motion, which is the
// same about any origin, so each has its own: a body's inertia about a far origin grows
// with the square of the distance and the products then cancel to that many fewer digits,
// and each subtree is then computed as if it stood at the origin, wherever it is.
//
// As in the joint-frame form, the bias forces are those at a0 and the last two passes
// solve for the acceleration the joints add on top of it.
//
// It runs up to 15 percent fewer instructions than the joint-frame form on chains of
// general axes and on arms whose placements turn, and more where axes and placements let
// the joint-frame form specialise; yet it takes more time on every robot measured (the
// bodies' inertias turned into world axes and the force products on them sit on longer
// chains of dependent operations). aba() runs the joint-frame form; this one stays for
// the comparison (benchmarks/bench_dynamics_core.cpp) and as a check on the other.
struct WorldAbaRow {
  SE3 oMi;
  SpatialMotion s;       // the joint's subspace column (one degree of freedom)
  SpatialMotion v;
  SpatialMotion a;       // a0 on the way out, then the acceleration added by the joints
  SpatialForce pa;       // bias force, then the articulated bias force
  ArticulatedInertia ia;
  SpatialForce u_col;    // IA S
  double inv_d;          // 1 / (S^T IA S)
  double u;              // tau - S^T pa
};

// A joint with several degrees of freedom: its columns and what the passes keep of them.
struct WorldAbaMultiRow {
  SpatialMotion S[6];
  SpatialForce U[6];
  double inv_D[6][6];
  double u[6];
};

// The articulated inertia of a rigid body given by its world inertia: A = I, B = [h]x
// (the momentum I w + h x u; m u + w x h at motion (w; u)), C = m 1.
ArticulatedInertia articulated(const WorldInertia& I) {
  const Vector3D& h = I.h;
  return {I.I, Matrix3{{0, h.z, -h.y, -h.z, 0, h.x, h.y, -h.x, 0}}, Symmetric3{{I.mass, I.mass, I.mass, 0, 0, 0}}};
}

template <bool Multi>
inline std::size_t world_passes_body(const Model& model, const double* q, const double* v, const double* tau,
                                     double* ddq) {
  const std::size_t n = model.njoints();
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  WorldAbaRow* rows = scratch_rows<WorldAbaRow>(n);
  WorldAbaMultiRow* multi = Multi ? scratch_rows<WorldAbaMultiRow>(n) : nullptr;
  JointMotion::Position* positions = scratch_rows<JointMotion::Position>(n);
  joint_positions(steps, n, q, positions);

  // World frames, subspace columns, velocities, a0 and the bodies' inertias and forces.
  rows[0].oMi = SE3::identity();
  rows[0].v = SpatialMotion::zero();
  rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    WorldAbaRow& r = rows[i];
    const WorldAbaRow& p = rows[step.parent];
    r.oMi = world_frame(step, p.oMi, positions[i]);
    if (step.parent == 0) r.oMi.translation = {};
    if (Multi && step.motion.multi()) [[unlikely]] {
      WorldAbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      SpatialMotion vj = SpatialMotion::zero();
      for (std::size_t c = 0; c < k; ++c) {
        m.S[c] = r.oMi.act_motion(step.motion.column(c));
        vj += m.S[c] * v[step.idx_v + c];
      }
      r.v = p.v + vj;
      r.a = p.a + cross_motion(r.v, vj);
    } else if (step.motion.kind == JointType::Fixed) {
      r.v = p.v;
      r.a = p.a;
    } else {
      const int axis = step.motion.coordinate_axis;
      if (axis >= 0) {
        const Vector3D w = r.oMi.rotation.column(axis) * step.motion.axis_sign;
        r.s = {w, cross(r.oMi.translation, w)};
      } else {
        r.s = r.oMi.act_motion(step.motion.subspace());
      }
      const SpatialMotion vj = r.s * v[step.idx_v];
      r.v = p.v + vj;
      r.a = p.a + cross_motion(r.v, vj);
    }
    // The body's force at a0 and v with its inertia in the rigid body's ten numbers.
    const WorldInertia body = WorldInertia::placed(inertias[i], r.oMi);
    r.pa = body * r.a + cross_force(r.v, body * r.v);
    r.ia = articulated(body);
  }

  // Articulated inertias and bias forces, leaves first, added into the parent's as they are.
  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    WorldAbaRow& r = rows[i];
    if (Multi && step.motion.multi()) [[unlikely]] {
      WorldAbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      double D[6][6];
      for (std::size_t c = 0; c < k; ++c) {
        m.U[c] = r.ia * m.S[c];
        for (std::size_t e = 0; e < k; ++e) D[e][c] = inner(m.S[e], m.U[c]);
      }
      if (!invert_spd(D, k, m.inv_D)) return i;
      for (std::size_t c = 0; c < k; ++c) m.u[c] = tau[step.idx_v + c] - inner(m.S[c], r.pa);
      if (step.parent == 0) continue;
      project_out(r.ia, r.pa, m.U, m.inv_D, m.u, k);
    } else if (step.motion.kind != JointType::Fixed) {
      r.u_col = r.ia * r.s;
      const double d = inner(r.s, r.u_col);
      // The test of the joint-frame form: D against the size of the articulated inertia
      // about the joint's origin.
      const double trace_c = r.ia.C.data[0] + r.ia.C.data[1] + r.ia.C.data[2];
      const double scale = r.s.rotation.squared_norm() * std::abs(r.ia.rotational_trace_about(r.oMi.translation)) +
                           r.s.translation.squared_norm() * std::abs(trace_c);
      if (!(std::abs(d) > kSingularRatio * scale)) return i;
      r.inv_d = 1.0 / d;
      r.u = tau[step.idx_v] - inner(r.s, r.pa);
      if (step.parent == 0) continue;
      r.ia.subtract_outer(r.u_col, r.inv_d);
      r.pa += r.u_col * (r.u * r.inv_d);
    }
    if (step.parent != 0) {
      WorldAbaRow& p = rows[step.parent];
      p.ia += r.ia;
      p.pa += r.pa;
    }
  }

  // The accelerations the joints add, root first.
  rows[0].a = SpatialMotion::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    WorldAbaRow& r = rows[i];
    r.a = rows[step.parent].a;
    if (Multi && step.motion.multi()) [[unlikely]] {
      const WorldAbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      double rhs[6];
      for (std::size_t c = 0; c < k; ++c) rhs[c] = m.u[c] - inner(r.a, m.U[c]);
      for (std::size_t c = 0; c < k; ++c) {
        double x = 0;
        for (std::size_t e = 0; e < k; ++e) x += m.inv_D[c][e] * rhs[e];
        ddq[step.idx_v + c] = x;
      }
      for (std::size_t c = 0; c < k; ++c) r.a += m.S[c] * ddq[step.idx_v + c];
    } else if (step.motion.kind != JointType::Fixed) {
      const double qdd = (r.u - inner(r.a, r.u_col)) * r.inv_d;
      r.a += r.s * qdd;
      ddq[step.idx_v] = qdd;
    }
  }
  return 0;
}

// Each pass compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors); the two agree to rounding.
using Passes = std::size_t (*)(const Model&, const double*, const double*, const double*, double*);

template <bool Multi>
[[gnu::noinline, gnu::flatten]] std::size_t joint_frame_passes(const Model& m, const double* q, const double* v,
                                                               const double* tau, double* ddq) {
  return passes_body<Multi, false>(m, q, v, tau, ddq);
}
template <bool Multi>
[[gnu::noinline, gnu::flatten]] std::size_t world_passes(const Model& m, const double* q, const double* v,
                                                         const double* tau, double* ddq) {
  return world_passes_body<Multi>(m, q, v, tau, ddq);
}
template <bool Multi>
[[VELMORA_WIDE_BUILD]] std::size_t joint_frame_passes_wide(const Model& m, const double* q, const double* v,
                                                           const double* tau, double* ddq) {
  return passes_body<Multi, true>(m, q, v, tau, ddq);
}
template <bool Multi>
[[VELMORA_WIDE_BUILD]] std::size_t world_passes_wide(const Model& m, const double* q, const double* v, const double* tau,
                                                     double* ddq) {
  return world_passes_body<Multi>(m, q, v, tau, ddq);
}

Passes passes_for(AbaForm form, bool multi) {
  if (form == AbaForm::World)
    return multi ? build_of(&world_passes<true>, &world_passes_wide<true>)
                 : build_of(&world_passes<false>, &world_passes_wide<false>);
  return multi ? build_of(&joint_frame_passes<true>, &joint_frame_passes_wide<true>)
               : build_of(&joint_frame_passes<false>, &joint_frame_passes_wide<false>);
}

}  // namespace

namespace passes {

std::expected<void, DynamicsError> aba_in(AbaForm form, const Model& model, std::span<const double> q,
                                          std::span<const double> v, std::span<const double> tau, double* ddq) {
  if (form == AbaForm::Factor) {
    auto r = forward_dynamics_by_factor(model, q, v, tau);
    if (!r) return std::unexpected(std::move(r.error()));
    std::copy(r->values().begin(), r->values().end(), ddq);
    return {};
  }
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (tau.size() != v.size()) return wrong_size("tau", model.nv, tau.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));

  if (model.njoints() < 2) return {};
  // Models without multi-degree-of-freedom joints run loops that do not test for them.
  const bool multi = model.multi_joint_count() != 0;
  // Trees with branches enough run four joints at a time (branch_lanes.hpp); a joint
  // singular or close to it there leaves the state to the passes below, which decide.
  if (form == AbaForm::JointFrames && !multi)
    if (const lanes::BranchSchedule* schedule = lanes::schedule_to_run(model))
      if (lanes::aba_branches(model, *schedule, q.data(), v.data(), tau.data(), ddq)) return {};
  // The last pass writes every entry of ddq, after every read of q, v and tau: nothing is
  // written when a joint is singular, and ddq may share memory with the inputs.
  const std::size_t singular_joint = passes_for(form, multi)(model, q.data(), v.data(), tau.data(), ddq);
  if (singular_joint)
    return fail("Singular articulated inertia at joint '" + model.joint_names[singular_joint] + "' (id " +
                std::to_string(singular_joint) +
                "): the bodies it moves have no inertia along its axis, so its acceleration is undefined");
  return {};
}

std::expected<Configuration, DynamicsError> aba_in(AbaForm form, const Model& model, std::span<const double> q,
                                                   std::span<const double> v, std::span<const double> tau) {
  Configuration ddq = Configuration::zeros(model.nv);
  if (auto done = aba_in(form, model, q, v, tau, ddq.data()); !done) return std::unexpected(std::move(done.error()));
  return ddq;
}

}  // namespace passes

// The joint-frame form: on every robot of the test corpus and on chains of general axes it
// takes less time than the world form (by 2 to 40 percent), although the world form runs
// up to 15 percent fewer instructions on the chains and on arms whose placements turn; and
// less than the factorisation except on NAO (5 percent, within the noise).
std::expected<Configuration, DynamicsError> aba(const Model& model, std::span<const double> q,
                                                std::span<const double> v, std::span<const double> tau) {
  return aba_in(AbaForm::JointFrames, model, q, v, tau);
}

std::expected<void, DynamicsError> aba(const Model& model, std::span<const double> q, std::span<const double> v,
                                       std::span<const double> tau, double* ddq) {
  return aba_in(AbaForm::JointFrames, model, q, v, tau, ddq);
}

}  // namespace velmora
