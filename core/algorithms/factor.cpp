// M = L^T D L along the tree, and forward dynamics through it. Eliminating the velocity
// coordinates leaves first keeps L as sparse as M: coordinate k only ever updates its
// ancestors' entries, so the work is O(n d^2) and the solves O(n d) for depth d, with no
// fill-in outside the paths to the root.
#include <cmath>
#include <string>

#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"

namespace velmora {

using namespace passes;

namespace {

// The smallest D_k relative to M_kk that still counts as positive: below it the
// coordinate has (to rounding) no inertia of its own left, and M is singular.
constexpr double kSingularPivot = 1e-12;

// The nearest ancestor coordinate of each velocity coordinate (-1: none) and the joint
// each belongs to.
void coordinate_tree(const Model& model, long* parent, std::size_t* joint) {
  const std::vector<JointStep>& steps = model.steps();
  for (std::size_t i = 1; i < steps.size(); ++i) {
    const JointStep& s = steps[i];
    const std::size_t m = s.motion.nv();
    if (m == 0) continue;
    std::size_t a = s.parent;
    while (a != 0 && steps[a].motion.nv() == 0) a = steps[a].parent;
    long above = a == 0 ? -1 : static_cast<long>(steps[a].idx_v + steps[a].motion.nv() - 1);
    for (std::size_t k = 0; k < m; ++k) {
      parent[s.idx_v + k] = above;
      joint[s.idx_v + k] = i;
      above = static_cast<long>(s.idx_v + k);
    }
  }
}

// In place on H (column-major n x n, lower triangle read): L strictly below the
// diagonal, D on it. Returns the first coordinate whose pivot vanishes, or n.
std::size_t factorise(double* H, std::size_t n, const long* parent) {
  for (std::size_t k = n; k-- > 0;) {
    const double d = H[k + n * k];
    // The diagonal before elimination bounds every pivot from above.
    if (!(d > 0)) return k;
    for (long i = parent[k]; i >= 0; i = parent[i]) {
      const double a = H[k + n * i] / d;
      for (long j = i; j >= 0; j = parent[j]) H[i + n * j] -= a * H[k + n * j];
      H[k + n * i] = a;
    }
  }
  return n;
}

// The pivot check against the diagonal of M before elimination.
std::size_t first_singular(const double* H, const double* diagonal, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k)
    if (!(H[k + n * k] > kSingularPivot * diagonal[k])) return k;
  return n;
}

// x = M^-1 b in place, from the factor.
void solve_factored(const double* H, std::size_t n, const long* parent, double* b) {
  for (std::size_t i = n; i-- > 0;)  // L^T z = b, leaves first
    for (long j = parent[i]; j >= 0; j = parent[j]) b[j] -= H[i + n * j] * b[i];
  for (std::size_t i = 0; i < n; ++i) b[i] /= H[i + n * i];
  for (std::size_t i = 0; i < n; ++i)  // L x = y, root first
    for (long j = parent[i]; j >= 0; j = parent[j]) b[i] -= H[i + n * j] * b[j];
}

std::unexpected<DynamicsError> singular_at(const Model& model, std::size_t joint) {
  return fail("Singular mass matrix at joint '" + model.joint_names[joint] + "' (id " + std::to_string(joint) +
              "): the bodies it moves have no inertia along its motion");
}

}  // namespace

std::expected<MassMatrixFactor, DynamicsError> MassMatrixFactor::compute(const Model& model, std::span<const double> q) {
  auto M = mass_matrix(model, q);
  if (!M) return std::unexpected(M.error());
  return of(model, std::move(*M));
}

std::expected<MassMatrixFactor, DynamicsError> MassMatrixFactor::of(const Model& model, DenseMatrix M) {
  const std::size_t n = model.nv;
  MassMatrixFactor out;
  out.parent_.assign(n, -1);
  std::vector<std::size_t> joint(n, 0);
  coordinate_tree(model, out.parent_.data(), joint.data());
  std::vector<double> diagonal(n);
  for (std::size_t k = 0; k < n; ++k) diagonal[k] = M(k, k);
  std::size_t bad = factorise(M.values.data(), n, out.parent_.data());
  if (bad == n) bad = first_singular(M.values.data(), diagonal.data(), n);
  if (bad != n) return singular_at(model, joint[bad]);
  out.factor_ = std::move(M);
  return out;
}

void MassMatrixFactor::solve_in_place(double* b) const {
  solve_factored(factor_.values.data(), size(), parent_.data(), b);
}

double MassMatrixFactor::logdet() const {
  double s = 0;
  for (std::size_t k = 0; k < size(); ++k) s += std::log(factor_(k, k));
  return s;
}

std::expected<Configuration, DynamicsError> forward_dynamics_by_factor(const Model& model, std::span<const double> q,
                                                                       std::span<const double> v,
                                                                       std::span<const double> tau) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (tau.size() != v.size()) return wrong_size("tau", model.nv, tau.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  const std::size_t n = model.nv;
  Configuration ddq = Configuration::zeros(n);
  if (model.njoints() < 2) return ddq;
  thread_local std::vector<double> H, diagonal;
  thread_local std::vector<long> parent;
  thread_local std::vector<std::size_t> joint;
  // Only the entries on paths to the root are written and read: no clearing needed.
  if (H.size() < n * n) H.resize(n * n);
  diagonal.resize(n);
  parent.assign(n, -1);
  joint.resize(n);
  coordinate_tree(model, parent.data(), joint.data());
  double* x = ddq.data();
  composite_rigid_body_with_bias(model, q.data(), v.data(), H.data(), x);
  // The effort left for acceleration, tau - C v - g.
  for (std::size_t k = 0; k < n; ++k) x[k] = tau[k] - x[k];
  for (std::size_t k = 0; k < n; ++k) diagonal[k] = H[k + n * k];
  std::size_t bad = factorise(H.data(), n, parent.data());
  if (bad == n) bad = first_singular(H.data(), diagonal.data(), n);
  if (bad != n) return singular_at(model, joint[bad]);
  solve_factored(H.data(), n, parent.data(), x);
  return ddq;
}

}  // namespace velmora
