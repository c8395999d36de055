// The joint-space mass matrix by the composite-rigid-body algorithm: each joint's
// composite inertia (its body and everything it carries) times its motion subspace is
// the force its unit acceleration needs; carried up the path to the root, that force
// projected on each ancestor's subspace gives the ancestor's row of the joint's column.
// O(n d) for n joints at depth up to d.
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

using namespace passes;

namespace {

struct CrbaRow {
  SE3 liMi;
  ArticulatedInertia ic;  // composite rigid-body inertia of the subtree, in the joint's frame
};

}  // namespace

namespace passes {

// The composite inertia of every subtree times its joint's subspace, carried to each
// ancestor: writes both triangles of M (column-major, nv x nv, every entry set for the
// pairs on one path and left as found for the others).
void composite_rigid_body(const Model& model, const double* q, double* M) {
  const std::size_t n = model.njoints(), nv = model.nv;
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  CrbaRow* rows = scratch_rows<CrbaRow>(n);
  place_joints(steps, n, q, rows);
  for (std::size_t i = 1; i < n; ++i) {
    const Inertia& I = inertias[i];
    rows[i].ic = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    CrbaRow& r = rows[i];
    const std::size_t m = step.motion.nv();
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t col = step.idx_v + k;
      SpatialForce f;
      if (m == 1 && step.motion.coordinate_axis >= 0) {
        switch (step.motion.coordinate_axis) {
          case 0: f = r.ic.times_rotation_axis<0>(step.motion.axis_sign); break;
          case 1: f = r.ic.times_rotation_axis<1>(step.motion.axis_sign); break;
          default: f = r.ic.times_rotation_axis<2>(step.motion.axis_sign); break;
        }
      } else {
        f = r.ic * step.motion.column(k);
      }
      // The joint's own block.
      for (std::size_t l = 0; l < m; ++l) M[step.idx_v + l + nv * col] = inner(step.motion.column(l), f);
      // Up the path: the force in each ancestor's frame, projected on its subspace.
      std::size_t j = i;
      while (steps[j].parent != 0) {
        with_shapes(steps[j], [&]<int A, int K>() { f = rows[j].liMi.act_force<K>(f); });
        j = steps[j].parent;
        const JointStep& sj = steps[j];
        const std::size_t mj = sj.motion.nv();
        for (std::size_t l = 0; l < mj; ++l) {
          const double x = inner(sj.motion.column(l), f);
          M[sj.idx_v + l + nv * col] = x;
          M[col + nv * (sj.idx_v + l)] = x;
        }
      }
    }
    if (step.parent != 0)
      with_shapes(step, [&]<int A, int K>() {
        r.ic.rotate<K>(r.liMi.rotation).add_translated_to(r.liMi.translation, rows[step.parent].ic);
      });
  }
}

}  // namespace passes

std::expected<DenseMatrix, DynamicsError> mass_matrix(const Model& model, std::span<const double> q) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (!model_consistent(model)) return malformed_model();
  DenseMatrix M = DenseMatrix::zeros(model.nv, model.nv);
  if (model.njoints() > 1) composite_rigid_body(model, q.data(), M.values.data());
  return M;
}

std::expected<Configuration, DynamicsError> gravity_torques(const Model& model, std::span<const double> q) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  const std::vector<double> zero(model.nv, 0.0);
  return rnea(model, q, zero, zero);
}

std::expected<Configuration, DynamicsError> bias_forces(const Model& model, std::span<const double> q,
                                                        std::span<const double> v) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  const std::vector<double> zero(model.nv, 0.0);
  return rnea(model, q, v, zero);
}

}  // namespace velmora
