// Forward dynamics by the articulated-body algorithm, with the frames and conventions of
// the Newton-Euler pass (rnea.cpp): quantities of joint i in joint i's frame, the base
// acceleration minus gravity.
#include <cmath>
#include <string>

#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

using namespace passes;

namespace {

struct AbaRow {
  SE3 liMi;
  SpatialMotion v;
  SpatialMotion c;      // velocity-product acceleration v x (S qd)
  SpatialMotion a;
  SpatialForce pa;      // bias force, then the articulated bias force
  ArticulatedInertia ia;
  SpatialForce u_col;   // IA S
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

// IA S for the motion subspace column S of a joint whose S lies along coordinate axis A
// (-1: any).
template <int A>
SpatialForce times_subspace(const ArticulatedInertia& ia, const JointMotion& motion) {
  if constexpr (A >= 0) return ia.times_rotation_axis<A>(motion.axis_sign);
  return motion.kind == JointType::Prismatic ? ia.times_translation(motion.axis) : ia.times_rotation(motion.axis);
}

}  // namespace

std::expected<Configuration, DynamicsError> aba(const Model& model, std::span<const double> q,
                                                std::span<const double> v, std::span<const double> tau) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (tau.size() != v.size()) return wrong_size("tau", model.nv, tau.size());
  if (!model_consistent(model)) return malformed_model();

  const std::size_t n = model.njoints();
  Configuration ddq = Configuration::zeros(model.nv);
  if (n == 0) return ddq;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  AbaRow* rows = scratch_rows<AbaRow>(n);

  // Velocities, velocity-product terms and the rigid inertias and bias forces.
  place_joints_inlined(steps, n, q.data(), rows);
  rows[0].v = SpatialMotion::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    with_shapes(step, [&]<int A, int K>() {
      r.v = r.liMi.act_inv_motion<K>(rows[step.parent].v);
      r.c = SpatialMotion::zero();
      if (step.motion.nv() == 1) {
        const double qd = v[step.idx_v];
        r.v += step.motion.subspace_times<A>(qd);
        r.c = step.motion.cross_subspace<A>(r.v, qd);
      }
    });
    const Inertia& I = inertias[i];
    r.ia = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
    r.pa = body_bias_force(I, r.v);
  }

  // Articulated inertias and bias forces, leaves first; each joint projects out its own
  // free direction before handing its subtree to the parent.
  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    bool ok = true;
    with_shapes(step, [&]<int A, int K>() {
      SpatialForce pa = r.pa;
      if (step.motion.nv() == 1) {
        r.u_col = times_subspace<A>(r.ia, step.motion);
        const double d = step.motion.subspace_dot<A>(r.u_col);
        if (singular(d, step.motion.subspace(), r.ia)) {
          ok = false;
          return;
        }
        r.inv_d = 1.0 / d;
        r.u = tau[step.idx_v] - step.motion.subspace_dot<A>(r.pa);
        r.ia.subtract_outer(r.u_col, r.inv_d);
        pa += r.ia * r.c + r.u_col * (r.u * r.inv_d);
      }
      if (step.parent != 0) {
        AbaRow& p = rows[step.parent];
        r.ia.rotate<K>(r.liMi.rotation).add_translated_to(r.liMi.translation, p.ia);
        p.pa += r.liMi.act_force<K>(pa);
      }
    });
    if (!ok)
      return fail("Singular articulated inertia at joint '" + model.joint_names[i] + "' (id " + std::to_string(i) +
                  "): the bodies it moves have no inertia along its axis, so its acceleration is undefined");
  }

  // Accelerations, root first.
  rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    with_shapes(step, [&]<int A, int K>() {
      r.a = r.liMi.act_inv_motion<K>(rows[step.parent].a) + r.c;
      if (step.motion.nv() == 1) {
        const double qdd = (r.u - inner(r.a, r.u_col)) * r.inv_d;
        r.a += step.motion.subspace_times<A>(qdd);
        ddq[step.idx_v] = qdd;
      }
    });
  }
  return ddq;
}

}  // namespace velmora
