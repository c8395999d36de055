// Total mass, centre of mass and its Jacobian.
#include <algorithm>

#include "core/algorithms/kinematics_passes.hpp"

namespace velmora {

using namespace kin;

namespace {

struct ComRow {
  double mass;       // of the joint's subtree
  Vector3D moment;   // sum of mass times world centre of mass over the subtree
};

}  // namespace

double total_mass(const Model& model) {
  double m = 0;
  for (const Inertia& inertia : model.inertias) m += inertia.mass;
  return m;
}

std::expected<Vector3D, KinematicsError> center_of_mass(const Model& model, Data& data, std::span<const double> q) {
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return std::unexpected(ok.error());
  propagate(model, data, q, {}, false, {}, false);
  double mass = 0;
  Vector3D moment;
  for (std::size_t i = 0; i < model.njoints(); ++i) {
    const Inertia& body = model.inertias[i];
    mass += body.mass;
    moment += data.oMi[i].act(body.com) * body.mass;
  }
  return mass > 0 ? moment * (1 / mass) : Vector3D{};
}

// A coordinate whose world column is (w, v0) moves every body of its joint's subtree, so
// the subtree's mass-weighted centre moves by m v0 + w x h, with m its mass and h the
// sum of mass times centre of mass over it; divided by the total mass.
std::expected<void, KinematicsError> center_of_mass_jacobian(const Model& model, Data& data,
                                                             std::span<const double> q, double* out) {
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return ok;
  propagate(model, data, q, {}, false, {}, false);
  const std::size_t n = model.njoints(), nv = model.nv;
  std::fill(out, out + 3 * nv, 0.0);
  if (n == 0) return {};
  ComRow* rows = passes::scratch_rows<ComRow>(n);
  double total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Inertia& body = model.inertias[i];
    rows[i] = {body.mass, data.oMi[i].act(body.com) * body.mass};
    total += body.mass;
  }
  if (!(total > 0)) return {};
  const JointStep* steps = model.steps().data();
  for (std::size_t i = n - 1; i > 0; --i) {
    rows[steps[i].parent].mass += rows[i].mass;
    rows[steps[i].parent].moment += rows[i].moment;
  }
  for (std::size_t j = 1; j < n; ++j) {
    const JointStep& step = steps[j];
    for (std::size_t k = 0; k < step.motion.nv(); ++k) {
      const SpatialMotion s = data.oMi[j].act_motion(step.motion.column(k));
      const Vector3D column = (s.translation * rows[j].mass + cross(s.rotation, rows[j].moment)) * (1 / total);
      for (int r = 0; r < 3; ++r) out[r * nv + step.idx_v + k] = column[r];
    }
  }
  return {};
}

}  // namespace velmora
