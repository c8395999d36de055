// Inverse dynamics by the recursive Newton-Euler algorithm. Every quantity of joint i is
// expressed in joint i's frame; the placement liMi of that frame in its parent's frame
// carries motions down the tree (act_inv_motion) and forces up (act_force), in
// rotation-plus-translation form. The base acceleration is minus gravity, so the weight
// of every body appears as an inertial force without a separate gravity term.
#include "core/algorithms/branch_lanes.hpp"
#include "core/algorithms/passes.hpp"

namespace velmora {

using namespace passes;

namespace {

struct RneaRow {
  SE3 liMi;          // joint frame in the parent joint's frame, for the current q
  SpatialMotion v;   // body velocity
  SpatialMotion a;   // body acceleration, gravity included
  SpatialForce f;    // body force, then the force the joint transmits to its subtree
};

// The two passes for joints in joint order; Multi: the model may have joints with
// several degrees of freedom (tested per joint only then).
template <bool Multi>
inline void passes_body(const Model& model, const double* q, const double* v, const double* a, double* tau) {
  const std::size_t n = model.njoints();
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  RneaRow* rows = scratch_rows<RneaRow>(n);
  rows[0].v = SpatialMotion::zero();
  rows[0].a = {{}, -model.gravity};

  place_joints<RneaRow, Multi>(steps, n, q, rows);
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    RneaRow& r = rows[i];
    const RneaRow& p = rows[step.parent];
    if (Multi && step.motion.multi()) [[unlikely]] {
      // Several columns: the joint velocity S qd and acceleration S qdd + v x S qd.
      const SpatialMotion vj = step.motion.subspace_apply(v + step.idx_v);
      r.v = r.liMi.act_inv_motion(p.v) + vj;
      r.a = r.liMi.act_inv_motion(p.a) + step.motion.subspace_apply(a + step.idx_v) + cross_motion(r.v, vj);
      r.f = body_force(inertias[i], r.a, r.v);
      continue;
    }
    with_shapes(step, [&]<int A, int K>() {
      r.v = r.liMi.act_inv_motion<K>(p.v);
      r.a = r.liMi.act_inv_motion<K>(p.a);
      if (step.motion.kind != JointType::Fixed) {
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
    if (Multi && step.motion.multi()) [[unlikely]] {
      step.motion.subspace_transpose_apply(r.f, tau + step.idx_v);
      if (step.parent != 0) rows[step.parent].f += r.liMi.act_force(r.f);
      continue;
    }
    with_shapes(step, [&]<int A, int K>() {
      if (step.motion.kind != JointType::Fixed) tau[step.idx_v] = step.motion.subspace_dot<A>(r.f);
      // The universe carries its children's forces to nothing that is returned.
      if (step.parent != 0) rows[step.parent].f += r.liMi.act_force<K>(r.f);
    });
  }
}

// The passes compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors).
template <bool Multi>
[[gnu::noinline, gnu::flatten]] void passes_narrow(const Model& model, const double* q, const double* v,
                                                   const double* a, double* tau) {
  passes_body<Multi>(model, q, v, a, tau);
}
template <bool Multi>
[[VELMORA_WIDE_BUILD]] void passes_wide(const Model& model, const double* q, const double* v, const double* a,
                                        double* tau) {
  passes_body<Multi>(model, q, v, a, tau);
}

template <bool Multi>
void passes_of(const Model& model, const double* q, const double* v, const double* a, double* tau) {
  build_of(&passes_narrow<Multi>, &passes_wide<Multi>)(model, q, v, a, tau);
}

}  // namespace

std::expected<void, DynamicsError> rnea(const Model& model, std::span<const double> q, std::span<const double> v,
                                        std::span<const double> a, double* out) {
  if (q.size() < model.nq) return too_short("q", model.nq, q.size());
  if (v.size() < model.nv) return too_short("v", model.nv, v.size());
  if (a.size() < model.nv) return too_short("a", model.nv, a.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));

  // The outward pass reads q, v and a; the inward one writes every entry of out.
  if (model.njoints() < 2) return {};
  // Trees with branches enough run four joints at a time (branch_lanes.hpp).
  if (const lanes::BranchSchedule* schedule = lanes::schedule_to_run(model)) {
    lanes::rnea_branches(model, *schedule, q.data(), v.data(), a.data(), out);
    return {};
  }
  // Models without multi-degree-of-freedom joints run loops that do not test for them.
  if (model.multi_joint_count()) passes_of<true>(model, q.data(), v.data(), a.data(), out);
  else passes_of<false>(model, q.data(), v.data(), a.data(), out);
  return {};
}

std::expected<Configuration, DynamicsError> rnea(const Model& model, std::span<const double> q,
                                                 std::span<const double> v, std::span<const double> a) {
  Configuration tau = Configuration::zeros(model.nv);
  if (auto done = rnea(model, q, v, a, tau.data()); !done) return std::unexpected(std::move(done.error()));
  return tau;
}

}  // namespace velmora
