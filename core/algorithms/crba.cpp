// The joint-space mass matrix by the composite-rigid-body algorithm: each joint's
// composite inertia (its body and everything it carries) times its motion subspace is
// the force its unit acceleration needs, and that force projected on each ancestor's
// subspace is the ancestor's entry of the joint's column. Everything is kept in world
// coordinates: a composite inertia is then a plain sum of its bodies' ten numbers, and
// each entry one six-term product, with no transform along the path. O(n d) for n
// joints at depth up to d.
#include <algorithm>
#include <type_traits>

#include "core/algorithms/branch_lanes.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"

namespace velmora {

using namespace passes;

namespace {

struct CrbaRow {
  SE3 oMi;             // the joint's frame in the world
  WorldInertia ic;     // composite inertia of the subtree
  SpatialMotion s[6];  // the subspace columns in world coordinates (no joint has more than six)
};

// With the bias: the body's velocity and acceleration at zero joint accelerations, and
// the force they need, then the force the joint transmits. A row type of its own keeps
// the rows of the mass matrix alone small.
struct CrbaBiasRow : CrbaRow {
  SpatialMotion v, a;
  SpatialForce f;
};

}  // namespace

namespace passes {

namespace {

// The pass, and with Bias also C(q, v) v + g(q) into `bias` by Newton-Euler in the same
// world coordinates: velocities and accelerations add along the path (the base
// accelerating at minus gravity), each body needs I a + v x* (I v), and the forces of a
// subtree simply sum. Inlined whole into the functions that run it (composite_narrow and
// composite_wide), with everything it calls: as a plain function the compiler kept some
// of the products as calls, and the mass matrix took about 1.2 times as long.
template <bool Bias>
inline void composite_body(const Model& model, const double* q, const double* v, double* M, bool both_triangles,
                           double* bias) {
  const std::size_t n = model.njoints(), nv = model.nv;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  using Row = std::conditional_t<Bias, CrbaBiasRow, CrbaRow>;
  Row* rows = scratch_rows<Row>(n);
  JointMotion::Position* positions = scratch_rows<JointMotion::Position>(n);
  joint_positions(steps, n, q, positions);
  rows[0].oMi = world_near_robot(world_frame(steps[1], SE3::identity(), positions[1]));
  if constexpr (Bias) rows[0].v = SpatialMotion::zero(), rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    Row& r = rows[i];
    r.oMi = world_frame(step, rows[step.parent].oMi, positions[i]);
    const SpatialRotation& R = r.oMi.rotation;
    r.ic = WorldInertia::placed(inertias[i], r.oMi);
    const std::size_t m = step.motion.nv();
    const int axis = step.motion.coordinate_axis;
    if (m == 1 && axis >= 0) {
      // A rotation about a coordinate axis of its own frame: that column of R.
      const Vector3D w = R.column(axis) * step.motion.axis_sign;
      r.s[0] = {w, cross(r.oMi.translation, w)};
    } else {
      for (std::size_t k = 0; k < m; ++k) r.s[k] = r.oMi.act_motion(step.motion.column(k));
    }
    const SpatialMotion* s = r.s;
    if constexpr (Bias) {
      const Row& p = rows[step.parent];
      SpatialMotion joint_velocity = SpatialMotion::zero();
      for (std::size_t k = 0; k < m; ++k) joint_velocity += s[k] * v[step.idx_v + k];
      r.v = p.v + joint_velocity;
      r.a = p.a + cross_motion(r.v, joint_velocity);
      r.f = r.ic * r.a + cross_force(r.v, r.ic * r.v);
    }
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    const Row& r = rows[i];
    const std::size_t m = step.motion.nv();
    const SpatialMotion* s = r.s;
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t col = step.idx_v + k;
      const SpatialForce f = r.ic * s[k];
      for (std::size_t l = 0; l < m; ++l) M[step.idx_v + l + nv * col] = inner(s[l], f);
      for (std::size_t j = step.parent; j != 0; j = steps[j].parent) {
        const std::size_t mj = steps[j].motion.nv();
        for (std::size_t l = 0; l < mj; ++l) {
          const double x = inner(rows[j].s[l], f);
          if (both_triangles) M[steps[j].idx_v + l + nv * col] = x;
          M[col + nv * (steps[j].idx_v + l)] = x;
        }
      }
    }
    if constexpr (Bias)
      for (std::size_t k = 0; k < m; ++k) bias[step.idx_v + k] = inner(s[k], r.f);
    if (step.parent != 0) {
      rows[step.parent].ic.add(r.ic);
      if constexpr (Bias) rows[step.parent].f += r.f;
    }
  }
}

// The pass compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// wide_vectors).
template <bool Bias>
[[gnu::noinline, gnu::flatten]] void composite_narrow(const Model& model, const double* q, const double* v, double* M,
                                                      bool both_triangles, double* bias) {
  composite_body<Bias>(model, q, v, M, both_triangles, bias);
}
template <bool Bias>
[[VELMORA_WIDE_BUILD]] void composite_wide(const Model& model, const double* q, const double* v, double* M,
                                           bool both_triangles, double* bias) {
  composite_body<Bias>(model, q, v, M, both_triangles, bias);
}

template <bool Bias>
void composite_pass(const Model& model, const double* q, const double* v, double* M, bool both_triangles,
                    double* bias) {
  build_of(&composite_narrow<Bias>, &composite_wide<Bias>)(model, q, v, M, both_triangles, bias);
}

}  // namespace

void composite_rigid_body(const Model& model, const double* q, double* M, bool both_triangles) {
  composite_pass<false>(model, q, nullptr, M, both_triangles, nullptr);
}

void composite_rigid_body_with_bias(const Model& model, const double* q, const double* v, double* M, double* bias) {
  composite_pass<true>(model, q, v, M, false, bias);
}

}  // namespace passes

std::expected<void, DynamicsError> mass_matrix(const Model& model, std::span<const double> q, double* out) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  // Trees with branches enough run four joints at a time (branch_lanes.hpp).
  if (const lanes::BranchSchedule* schedule = lanes::schedule_to_run(model); schedule && schedule->mass_matrix) {
    lanes::mass_matrix_branches(model, *schedule, q.data(), out);
    return {};
  }
  std::fill(out, out + model.nv * model.nv, 0.0);
  if (model.njoints() > 1) composite_rigid_body(model, q.data(), out, true);
  return {};
}

std::expected<DenseMatrix, DynamicsError> mass_matrix(const Model& model, std::span<const double> q) {
  DenseMatrix M = DenseMatrix::zeros(model.nv, model.nv);
  auto done = mass_matrix(model, q, M.values.data());
  if (!done) return std::unexpected(done.error());
  return M;
}

namespace {

// nv zeros, in storage each thread keeps (only ever grown with zeros, never written).
std::span<const double> zeros(std::size_t nv) {
  thread_local std::vector<double> values;
  if (values.size() < nv) values.resize(nv, 0.0);
  return {values.data(), nv};
}

}  // namespace

std::expected<void, DynamicsError> gravity_torques(const Model& model, std::span<const double> q, double* out) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  const std::span<const double> zero = zeros(model.nv);
  return rnea(model, q, zero, zero, out);
}

std::expected<void, DynamicsError> bias_forces(const Model& model, std::span<const double> q,
                                               std::span<const double> v, double* out) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  return rnea(model, q, v, zeros(model.nv), out);
}

std::expected<Configuration, DynamicsError> gravity_torques(const Model& model, std::span<const double> q) {
  Configuration g = Configuration::zeros(model.nv);
  if (auto done = gravity_torques(model, q, g.data()); !done) return std::unexpected(std::move(done.error()));
  return g;
}

std::expected<Configuration, DynamicsError> bias_forces(const Model& model, std::span<const double> q,
                                                        std::span<const double> v) {
  Configuration b = Configuration::zeros(model.nv);
  if (auto done = bias_forces(model, q, v, b.data()); !done) return std::unexpected(std::move(done.error()));
  return b;
}

}  // namespace velmora
