// The terms of the equation of motion M(q) a + C(q, v) v + g(q) = tau one by one, the
// inverse of M, the factorisation of M along the tree, and the momentum of the whole
// system about its centre of mass. Every function takes q (and v) of exactly the model's
// sizes and uses the model's gravity.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/spatial/motion.hpp"

namespace velmora {

// A dense matrix stored column by column: element (i, j) at values[i + rows * j].
struct DenseMatrix {
  std::size_t rows = 0, cols = 0;
  std::vector<double> values;

  static DenseMatrix zeros(std::size_t rows, std::size_t cols) { return {rows, cols, std::vector<double>(rows * cols)}; }
  double operator()(std::size_t i, std::size_t j) const { return values[i + rows * j]; }
  double& operator()(std::size_t i, std::size_t j) { return values[i + rows * j]; }
};

// The joint-space mass matrix M(q) by the composite-rigid-body algorithm, both triangles.
std::expected<DenseMatrix, DynamicsError> mass_matrix(const Model& model, std::span<const double> q);
// The same into `out` (nv * nv values; M is symmetric, so row and column order agree),
// which must not hold q: it is written while q is read.
std::expected<void, DynamicsError> mass_matrix(const Model& model, std::span<const double> q, double* out);

// g(q), the efforts that hold the robot still against gravity.
std::expected<Configuration, DynamicsError> gravity_torques(const Model& model, std::span<const double> q);
// C(q, v) v + g(q), the efforts at zero acceleration.
std::expected<Configuration, DynamicsError> bias_forces(const Model& model, std::span<const double> q,
                                                        std::span<const double> v);
// The same two into the nv values at out.
std::expected<void, DynamicsError> gravity_torques(const Model& model, std::span<const double> q, double* out);
std::expected<void, DynamicsError> bias_forces(const Model& model, std::span<const double> q,
                                               std::span<const double> v, double* out);

// The Coriolis matrix C(q, v) with C v the velocity-product efforts and dM/dt = C + C^T.
std::expected<DenseMatrix, DynamicsError> coriolis_matrix(const Model& model, std::span<const double> q,
                                                          std::span<const double> v);

// M(q)^-1 by a recursion over the tree in O(nv^2), without forming M. Fails, as forward
// dynamics does, where an articulated inertia about a joint's motion is singular.
std::expected<DenseMatrix, DynamicsError> inverse_mass_matrix(const Model& model, std::span<const double> q);

// The momentum of the whole system about its centre of mass, in axes parallel to the
// world's: angular part first.
std::expected<SpatialForce, DynamicsError> centroidal_momentum(const Model& model, std::span<const double> q,
                                                               std::span<const double> v);
// The 6 x nv matrix A(q) with centroidal_momentum(q, v) = A(q) v.
std::expected<DenseMatrix, DynamicsError> centroidal_momentum_matrix(const Model& model, std::span<const double> q);

// M(q) = L^T D L with L unit lower triangular and nonzero only where the row's velocity
// coordinate is a descendant of the column's in the tree (the sparsity the branches
// give), computed in place from M by eliminating leaves first.
class MassMatrixFactor {
 public:
  static std::expected<MassMatrixFactor, DynamicsError> compute(const Model& model, std::span<const double> q);
  // Factorises a mass matrix already computed for `model`.
  static std::expected<MassMatrixFactor, DynamicsError> of(const Model& model, DenseMatrix mass_matrix);

  std::size_t size() const { return parent_.size(); }
  // Solves M x = b in place for one right-hand side of size() values.
  void solve_in_place(double* b) const;
  // log det M, the sum of the logarithms of D.
  double logdet() const;

 private:
  // Strictly lower part: L; diagonal: D (column-major, n x n).
  DenseMatrix factor_;
  // The nearest ancestor velocity coordinate of each one (-1: none): a joint's own
  // coordinates form a chain, the first hanging from the last of the nearest moving
  // ancestor joint.
  std::vector<long> parent_;
};

// Forward dynamics through the mass matrix: the bias by Newton-Euler, M by the
// composite-rigid-body algorithm and its tree factorisation. Same sizes and errors as aba
// (a singular M names the joint whose coordinate has no inertia left).
std::expected<Configuration, DynamicsError> forward_dynamics_by_factor(const Model& model, std::span<const double> q,
                                                                       std::span<const double> v,
                                                                       std::span<const double> tau);

}  // namespace velmora

namespace velmora::passes {

// The frame the passes that work in world coordinates use: world axes, origin at joint 1's
// origin. A body's inertia about a far origin grows with the square of the distance and
// its products then cancel to that many fewer digits; every result is the same in any
// such frame, and this one moves with a robot that travels (a free-flying base, a
// mobile one), so its figures stay those of a robot near the origin. Needs joint 1's
// frame in its parent, the world.
inline SE3 world_near_robot(const SE3& first_joint_frame) {
  return {SpatialRotation::identity(), -first_joint_frame.translation};
}

// The ways forward dynamics can be computed, all to the same result within rounding:
// the articulated-body algorithm with each joint's quantities in its own frame or all
// in world axes, and the mass matrix's tree factorisation with the bias by Newton-Euler.
enum class AbaForm { JointFrames, World, Factor };
std::expected<Configuration, DynamicsError> aba_in(AbaForm form, const Model& model, std::span<const double> q,
                                                   std::span<const double> v, std::span<const double> tau);
// The same into the nv values at ddq (left as they were when the call fails).
std::expected<void, DynamicsError> aba_in(AbaForm form, const Model& model, std::span<const double> q,
                                          std::span<const double> v, std::span<const double> tau, double* ddq);

// The composite-rigid-body pass itself, for a model already checked and q of its size:
// writes M's entries (column-major, nv x nv) for every pair of coordinates on one path
// to the root, in the lower triangle (row below column) or in both, and leaves the
// others as they were.
void composite_rigid_body(const Model& model, const double* q, double* M, bool both_triangles);
// The same for the lower triangle, together with C(q, v) v + g(q) into `bias` (nv values).
void composite_rigid_body_with_bias(const Model& model, const double* q, const double* v, double* M, double* bias);

}  // namespace velmora::passes
