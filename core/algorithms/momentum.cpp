// The momentum of the whole system about its centre of mass G, in world-aligned axes
// (the centroidal momentum): the sum of the bodies' momenta I_i v_i carried to the world
// frame, its moment then taken about G. Its matrix A(q) has, for each joint coordinate,
// the momentum of the subtree that coordinate moves at unit velocity: the composite
// inertia of the subtree times the subspace column, in the world frame about G.
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

using namespace passes;

namespace {

struct MomentumRow {
  SE3 liMi;
  SE3 oMi;
  SpatialMotion v;
  ArticulatedInertia ic;
};

// Placements of the joints in world axes with the origin near the robot (see
// world_near_robot) into the rows, and the centre of mass of the model in them, all
// its bodies counted (the origin when it has no mass: every momentum is then zero, about
// any point).
Vector3D place_in_world(const Model& model, const double* q, MomentumRow* rows) {
  const std::size_t n = model.njoints();
  const JointStep* steps = model.steps().data();
  place_joints(steps, n, q, rows);
  rows[0].oMi = world_near_robot(rows[1].liMi);
  // What is welded to the world (inertia 0) does not move but has its share of the
  // centre of mass.
  double mass = model.inertias[0].mass;
  Vector3D moment = rows[0].oMi.act(model.inertias[0].com) * mass;
  for (std::size_t i = 1; i < n; ++i) {
    MomentumRow& r = rows[i];
    r.oMi = rows[steps[i].parent].oMi * r.liMi;
    const Inertia& I = model.inertias[i];
    mass += I.mass;
    moment += (r.oMi.rotation * I.com + r.oMi.translation) * I.mass;
  }
  return mass > 0 ? moment * (1 / mass) : Vector3D{};
}

// A force about the origin of the rows' frame, taken about the point g of that frame.
SpatialForce about_point(const SpatialForce& f, const Vector3D& g) {
  return {f.angular - cross(g, f.linear), f.linear};
}

}  // namespace

std::expected<SpatialForce, DynamicsError> centroidal_momentum(const Model& model, std::span<const double> q,
                                                               std::span<const double> v) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  const std::size_t n = model.njoints();
  if (n < 2) return SpatialForce::zero();
  const JointStep* steps = model.steps().data();
  MomentumRow* rows = scratch_rows<MomentumRow>(n);
  const Vector3D g = place_in_world(model, q.data(), rows);
  rows[0].v = SpatialMotion::zero();
  SpatialForce h = SpatialForce::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    MomentumRow& r = rows[i];
    r.v = r.liMi.act_inv_motion(rows[step.parent].v);
    for (std::size_t k = 0; k < step.motion.nv(); ++k) r.v += step.motion.column(k) * v[step.idx_v + k];
    h += r.oMi.act_force(model.inertias[i] * r.v);
  }
  return about_point(h, g);
}

std::expected<DenseMatrix, DynamicsError> centroidal_momentum_matrix(const Model& model, std::span<const double> q) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  const std::size_t n = model.njoints();
  DenseMatrix A = DenseMatrix::zeros(6, model.nv);
  if (n < 2) return A;
  const JointStep* steps = model.steps().data();
  MomentumRow* rows = scratch_rows<MomentumRow>(n);
  const Vector3D g = place_in_world(model, q.data(), rows);
  for (std::size_t i = 1; i < n; ++i) {
    const Inertia& I = model.inertias[i];
    rows[i].ic = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
  }
  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    MomentumRow& r = rows[i];
    for (std::size_t k = 0; k < step.motion.nv(); ++k) {
      const SpatialForce h = about_point(r.oMi.act_force(r.ic * step.motion.column(k)), g);
      const double col[6] = {h.angular.x, h.angular.y, h.angular.z, h.linear.x, h.linear.y, h.linear.z};
      for (int e = 0; e < 6; ++e) A(static_cast<std::size_t>(e), step.idx_v + k) = col[e];
    }
    if (step.parent != 0)
      with_shapes(step, [&]<int A_, int K>() {
        r.ic.rotate<K>(r.liMi.rotation).add_translated_to(r.liMi.translation, rows[step.parent].ic);
      });
  }
  return A;
}

}  // namespace velmora
