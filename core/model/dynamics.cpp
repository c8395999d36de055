// Inverse dynamics (recursive Newton-Euler) and forward dynamics (articulated-body
// algorithm) over the joint tree. Every quantity of joint i is expressed in joint i's
// frame; the placement liMi of that frame in its parent's frame carries motions down
// the tree (act_inv_motion) and forces up (act_force), in rotation-plus-translation
// form. The base acceleration is minus gravity, so the weight of every body appears as
// an inertial force without a separate gravity term.
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "core/model/algorithms.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

namespace {

std::unexpected<DynamicsError> fail(std::string message) { return std::unexpected(DynamicsError{std::move(message)}); }

// Only code that edited the model's public counts directly gets here.
std::unexpected<DynamicsError> malformed_model() {
  return fail("The model's joint sizes or parents are inconsistent with its configuration sizes");
}

// The rows of one call, in storage each thread keeps from call to call: every call
// writes each entry before it reads it, so nothing but the memory carries over, and
// the memory is neither allocated nor cleared again.
template <class Row>
Row* scratch_rows(std::size_t n) {
  thread_local std::vector<Row> rows;
  if (rows.size() < n) rows.resize(n);
  return rows.data();
}

// Short arrays are refused; longer ones are accepted and their tail ignored.
[[gnu::cold]] std::unexpected<DynamicsError> too_short(const char* name, std::size_t expected, std::size_t got) {
  return fail("Parameter '" + std::string(name) + "' expected configuration size of at least " +
              std::to_string(expected) + ", but got " + std::to_string(got));
}

// --------------------------------------------------------------------- inverse dynamics

struct RneaRow {
  SE3 liMi;          // joint frame in the parent joint's frame, for the current q
  SpatialMotion v;   // body velocity
  SpatialMotion a;   // body acceleration, gravity included
  SpatialForce f;    // body force, then the force the joint transmits to its subtree
};

// ---------------------------------------------------------------------- forward dynamics

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

// IA S for the joint's motion subspace column S.
SpatialForce times_subspace(const ArticulatedInertia& ia, const JointMotion& motion) {
  return motion.kind == JointType::Prismatic ? ia.times_translation(motion.axis) : ia.times_rotation(motion.axis);
}

// Adds the articulated inertia of joint `step`'s subtree, in its frame placed at liMi,
// to its parent's. When the placement only translates and the joint turns about a
// coordinate axis, liMi's rotation is that elementary rotation, and turning the blocks
// by it costs a fraction of a general rotation.
void add_to_parent(const ArticulatedInertia& ia, const JointStep& step, const SE3& liMi, ArticulatedInertia& parent) {
  const SpatialRotation& r = liMi.rotation;
  if (step.placement_translates_only) {
    switch (step.motion.coordinate_axis) {
      case 0: return ia.rotate_about<0>(r(1, 1), r(2, 1)).add_translated_to(liMi.translation, parent);
      case 1: return ia.rotate_about<1>(r(2, 2), r(0, 2)).add_translated_to(liMi.translation, parent);
      case 2: return ia.rotate_about<2>(r(0, 0), r(1, 0)).add_translated_to(liMi.translation, parent);
      default: break;
    }
  }
  ia.rotate(r).add_translated_to(liMi.translation, parent);
}

}  // namespace

std::expected<Configuration, DynamicsError> rnea(const Model& model, std::span<const double> q,
                                                 std::span<const double> v, std::span<const double> a) {
  if (q.size() < model.nq) return too_short("q", model.nq, q.size());
  if (v.size() < model.nv) return too_short("v", model.nv, v.size());
  if (a.size() < model.nv) return too_short("a", model.nv, a.size());
  if (!model.steps_agree() || model.inertias.size() != model.njoints()) return malformed_model();

  const std::size_t n = model.njoints();
  Configuration tau = Configuration::zeros(model.nv);
  if (n == 0) return tau;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  RneaRow* rows = scratch_rows<RneaRow>(n);
  rows[0].v = SpatialMotion::zero();
  rows[0].a = {{}, -model.gravity};

  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    RneaRow& r = rows[i];
    const RneaRow& p = rows[step.parent];
    r.liMi = step.frame_in_parent(step.motion.position(q.data() + step.idx_q));
    r.v = r.liMi.act_inv_motion(p.v);
    r.a = r.liMi.act_inv_motion(p.a);
    if (step.motion.nv() == 1) {
      const SpatialMotion s = step.motion.subspace();
      const SpatialMotion vj = s * v[step.idx_v];
      r.v += vj;
      r.a += s * a[step.idx_v] + cross_motion(r.v, vj);
    }
    const Inertia& I = inertias[i];
    r.f = I * r.a + cross_force(r.v, I * r.v);
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    const RneaRow& r = rows[i];
    if (step.motion.nv() == 1) tau[step.idx_v] = inner(step.motion.subspace(), r.f);
    // The universe carries its children's forces to nothing that is returned.
    if (step.parent != 0) rows[step.parent].f += r.liMi.act_force(r.f);
  }
  return tau;
}

std::expected<Configuration, DynamicsError> aba(const Model& model, std::span<const double> q,
                                                std::span<const double> v, std::span<const double> tau) {
  if (q.size() != model.nq) return fail(ConfigurationError::parameter_size("q", model.nq, q.size()).display());
  if (v.size() != model.nv) return fail(ConfigurationError::parameter_size("v", model.nv, v.size()).display());
  if (tau.size() != v.size())
    return fail(ConfigurationError::parameter_size("tau", model.nv, tau.size()).display());
  if (!model.steps_agree() || model.inertias.size() != model.njoints()) return malformed_model();

  const std::size_t n = model.njoints();
  Configuration ddq = Configuration::zeros(model.nv);
  if (n == 0) return ddq;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  AbaRow* rows = scratch_rows<AbaRow>(n);

  // Velocities, velocity-product terms and the rigid inertias and bias forces.
  rows[0].v = SpatialMotion::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    r.liMi = step.frame_in_parent(step.motion.position(q.data() + step.idx_q));
    r.v = r.liMi.act_inv_motion(rows[step.parent].v);
    r.c = SpatialMotion::zero();
    if (step.motion.nv() == 1) {
      const SpatialMotion vj = step.motion.subspace() * v[step.idx_v];
      r.v += vj;
      r.c = cross_motion(r.v, vj);
    }
    const Inertia& I = inertias[i];
    r.ia = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
    r.pa = cross_force(r.v, I * r.v);
  }

  // Articulated inertias and bias forces, leaves first; each joint projects out its own
  // free direction before handing its subtree to the parent.
  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    SpatialForce pa = r.pa;
    if (step.motion.nv() == 1) {
      const SpatialMotion s = step.motion.subspace();
      r.u_col = times_subspace(r.ia, step.motion);
      const double d = inner(s, r.u_col);
      if (singular(d, s, r.ia))
        return fail("Singular articulated inertia at joint '" + model.joint_names[i] + "' (id " +
                    std::to_string(i) +
                    "): the bodies it moves have no inertia along its axis, so its acceleration is undefined");
      r.inv_d = 1.0 / d;
      r.u = tau[step.idx_v] - inner(s, r.pa);
      r.ia.subtract_outer(r.u_col, r.inv_d);
      pa += r.ia * r.c + r.u_col * (r.u * r.inv_d);
    }
    if (step.parent != 0) {
      AbaRow& p = rows[step.parent];
      add_to_parent(r.ia, step, r.liMi, p.ia);
      p.pa += r.liMi.act_force(pa);
    }
  }

  // Accelerations, root first.
  rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    r.a = r.liMi.act_inv_motion(rows[step.parent].a) + r.c;
    if (step.motion.nv() == 1) {
      const double qdd = (r.u - inner(r.a, r.u_col)) * r.inv_d;
      r.a += step.motion.subspace() * qdd;
      ddq[step.idx_v] = qdd;
    }
  }
  return ddq;
}

}  // namespace velmora
