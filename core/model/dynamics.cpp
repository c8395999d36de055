// Inverse dynamics (recursive Newton-Euler) and forward dynamics (articulated-body
// algorithm) over the joint tree. Every quantity of joint i is expressed in joint i's
// frame; the placement liMi of that frame in its parent's frame carries motions down
// the tree (act_inv_motion) and forces up (act_force), in rotation-plus-translation
// form. The base acceleration is minus gravity, so the weight of every body appears as
// an inertial force without a separate gravity term.
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

// Every joint's frame in its parent's frame for q, into the rows' liMi: the one place q
// is read, in a loop of its own so that the calls of sin and cos do not interrupt the
// passes that follow.
template <class Row>
void place_joints(const JointStep* steps, std::size_t n, const double* q, Row* rows) {
  for (std::size_t i = 1; i < n; ++i)
    rows[i].liMi = steps[i].frame_in_parent(steps[i].motion.position(q + steps[i].idx_q));
}

// The same with the frames' code inlined into the loop, which measures faster for the
// articulated-body rows (and slower for the Newton-Euler ones, whose loop stays as above).
template <class Row>
[[gnu::flatten]] void place_joints_inlined(const JointStep* steps, std::size_t n, const double* q, Row* rows) {
  place_joints(steps, n, q, rows);
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

// The force a rigid body needs for acceleration a at velocity v, I a + v x* (I v), in
// the form about its centre of mass c: the centre's acceleration
// b - c x alpha + w x (u - c x w) times the mass, and the moment
// Ic alpha + w x (Ic w) + c x f about the frame's origin, for v = (w; u), a = (alpha; b).
SpatialForce body_force(const Inertia& I, const SpatialMotion& a, const SpatialMotion& v) {
  const Vector3D& c = I.com;
  const Vector3D& w = v.rotation;
  const Vector3D centre_velocity = v.translation - cross(c, w);
  const Vector3D f = (a.translation - cross(c, a.rotation) + cross(w, centre_velocity)) * I.mass;
  return {I.inertia * a.rotation + cross(w, I.inertia * w) + cross(c, f), f};
}

// The same without acceleration, v x* (I v): the bias force of the articulated-body
// algorithm.
SpatialForce body_bias_force(const Inertia& I, const SpatialMotion& v) {
  const Vector3D& c = I.com;
  const Vector3D& w = v.rotation;
  const Vector3D f = cross(w, v.translation - cross(c, w)) * I.mass;
  return {cross(w, I.inertia * w) + cross(c, f), f};
}

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

// Runs body.template operator()<A, K>() with the shapes joint `step` lets the dynamics
// exploit: A, the coordinate axis its motion subspace lies along (-1: none, or not a
// rotation), and K, the coordinate axis its frame's rotation in the parent's frame turns
// about (-1: any rotation), which is A when its placement only translates.
template <class Body>
void with_shapes(const JointStep& step, Body&& body) {
  const bool elementary = step.placement_translates_only;
  switch (step.motion.coordinate_axis) {
    case 0: return elementary ? body.template operator()<0, 0>() : body.template operator()<0, -1>();
    case 1: return elementary ? body.template operator()<1, 1>() : body.template operator()<1, -1>();
    case 2: return elementary ? body.template operator()<2, 2>() : body.template operator()<2, -1>();
    default: return body.template operator()<-1, -1>();
  }
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

  place_joints(steps, n, q.data(), rows);
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    RneaRow& r = rows[i];
    const RneaRow& p = rows[step.parent];
    with_shapes(step, [&]<int A, int K>() {
      r.v = r.liMi.act_inv_motion<K>(p.v);
      r.a = r.liMi.act_inv_motion<K>(p.a);
      if (step.motion.nv() == 1) {
        const double qd = v[step.idx_v];
        r.v += step.motion.subspace_times<A>(qd);
        r.a += step.motion.subspace_times<A>(a[step.idx_v]) + step.motion.cross_subspace<A>(r.v, qd);
      }
    });
    r.f = body_force(inertias[i], r.a, r.v);
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    const RneaRow& r = rows[i];
    with_shapes(step, [&]<int A, int K>() {
      if (step.motion.nv() == 1) tau[step.idx_v] = step.motion.subspace_dot<A>(r.f);
      // The universe carries its children's forces to nothing that is returned.
      if (step.parent != 0) rows[step.parent].f += r.liMi.act_force<K>(r.f);
    });
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
