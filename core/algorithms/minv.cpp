// The inverse of the mass matrix by the articulated-body recursion run on unit efforts:
// with v = 0 and no gravity, forward dynamics maps tau to M^-1 tau linearly, so carrying
// every column of tau through it at once gives M^-1 without forming or inverting M.
//
// Leaves first, joint i (subspace S, articulated inertia IA, U = IA S, D = S^T U) has the
// bias forces F_i of its subtree's columns, and its rows of M^-1 are, before the root's
// accelerations are known, D^-1 (E_i - S^T F_i) (E_i: the unit efforts of its own
// columns). Root first, the parent's acceleration columns P (6 x nv) correct them by
// -D^-1 U^T X P and become the joint's own, X P + S (rows of M^-1). A joint's F is
// nonzero only on the columns of its subtree, and the upper triangle needs only the
// columns from the joint's own onwards: O(nv^2) work for nv coordinates, less where the
// tree splits at the world.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/algorithms/congruence_wide.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

using namespace passes;

namespace {

constexpr std::size_t kMaxJointNv = 6;

struct MinvRow {
  SE3 liMi;
  ArticulatedInertia ia;
  SpatialForce u[kMaxJointNv];          // IA S, one force per subspace column
  double dinv[kMaxJointNv][kMaxJointNv];  // (S^T IA S)^-1
  std::size_t end;                       // one past the last column of the subtree
  // One past the last column of the subtree of the joint's ancestor on the world (the
  // joint itself when it hangs from the world): bodies in different such subtrees are
  // coupled only through the world, which does not move, so their entries of M^-1 vanish.
  std::size_t branch_end;
};

// The test of forward dynamics: a pivot vanishes relative to the size of the inertia
// seen along the subspace column it belongs to.
constexpr double kSingularRatio = 1e-12;

double column_scale(const SpatialMotion& s, const ArticulatedInertia& ia) {
  const double trace_a = ia.A.data[0] + ia.A.data[1] + ia.A.data[2];
  const double trace_c = ia.C.data[0] + ia.C.data[1] + ia.C.data[2];
  return s.rotation.squared_norm() * std::abs(trace_a) + s.translation.squared_norm() * std::abs(trace_c);
}

// Cholesky D = L L^T of the joint's m x m block, then D^-1 and the columns of U L^-T
// (whose outer products sum to U D^-1 U^T) into w. False when a pivot vanishes.
bool invert_block(const JointMotion& motion, std::size_t m, MinvRow& r, SpatialForce* w) {
  if (m == 1) {  // D is a number: U D^-1 U^T = w w^T with w = U / sqrt(D)
    const SpatialMotion s = motion.column(0);
    const double d = inner(s, r.u[0]);
    if (std::abs(d) <= kSingularRatio * column_scale(s, r.ia) || !(d > 0)) return false;
    r.dinv[0][0] = 1 / d;
    w[0] = r.u[0] * (1 / std::sqrt(d));
    return true;
  }
  double L[kMaxJointNv][kMaxJointNv] = {};
  for (std::size_t j = 0; j < m; ++j) {
    const SpatialMotion sj = motion.column(j);
    double d = inner(sj, r.u[j]);
    for (std::size_t k = 0; k < j; ++k) d -= L[j][k] * L[j][k];
    if (std::abs(d) <= kSingularRatio * column_scale(sj, r.ia) || !(d > 0)) return false;
    L[j][j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < m; ++i) {
      double x = inner(motion.column(i), r.u[j]);
      for (std::size_t k = 0; k < j; ++k) x -= L[i][k] * L[j][k];
      L[i][j] = x / L[j][j];
    }
  }
  // Li = L^-1 (lower triangular), D^-1 = Li^T Li, w = U Li^T.
  double Li[kMaxJointNv][kMaxJointNv] = {};
  for (std::size_t j = 0; j < m; ++j) {
    Li[j][j] = 1 / L[j][j];
    for (std::size_t i = j + 1; i < m; ++i) {
      double x = 0;
      for (std::size_t k = j; k < i; ++k) x -= L[i][k] * Li[k][j];
      Li[i][j] = x / L[i][i];
    }
  }
  for (std::size_t a = 0; a < m; ++a)
    for (std::size_t b = 0; b < m; ++b) {
      double x = 0;
      for (std::size_t k = std::max(a, b); k < m; ++k) x += Li[k][a] * Li[k][b];
      r.dinv[a][b] = x;
    }
  for (std::size_t k = 0; k < m; ++k) {
    SpatialForce x = SpatialForce::zero();
    for (std::size_t j = 0; j <= k; ++j) x += r.u[j] * Li[k][j];
    w[k] = x;
  }
  return true;
}

// The two passes into Minv (zero on entry), for a model already checked and q of its
// size. Returns the joint whose articulated inertia is singular, or 0. Wide: the AVX2 and
// FMA build.
template <bool Wide>
inline std::size_t minv_passes(const Model& model, const double* q, DenseMatrix& Minv) {
  const std::size_t n = model.njoints(), nv = model.nv;
  const JointStep* steps = model.steps().data();
  MinvRow* rows = scratch_rows<MinvRow>(n);
  // Per joint, one force (leaves first) or acceleration (root first) per column.
  thread_local std::vector<SpatialForce> forces;
  thread_local std::vector<SpatialMotion> accelerations;
  forces.resize(n * nv);
  accelerations.resize(n * nv);

  place_joints(steps, n, q, rows);
  for (std::size_t i = 1; i < n; ++i) {
    const Inertia& I = model.inertias[i];
    rows[i].ia = ArticulatedInertia::from_rigid(I.mass, I.com, I.inertia);
    rows[i].end = steps[i].idx_v + steps[i].motion.nv();
  }
  for (std::size_t i = n - 1; i > 0; --i)
    if (steps[i].parent != 0) rows[steps[i].parent].end = std::max(rows[steps[i].parent].end, rows[i].end);
  for (std::size_t i = 1; i < n; ++i)
    rows[i].branch_end = steps[i].parent == 0 ? rows[i].end : rows[steps[i].parent].branch_end;
  for (std::size_t i = 1; i < n; ++i)
    std::fill(forces.begin() + i * nv + steps[i].idx_v, forces.begin() + i * nv + rows[i].end, SpatialForce::zero());

  for (std::size_t i = n - 1; i > 0; --i) {
    const JointStep& step = steps[i];
    MinvRow& r = rows[i];
    const std::size_t m = step.motion.nv(), base = step.idx_v;
    const SpatialForce* F = forces.data() + i * nv;
    SpatialForce w[kMaxJointNv];
    if (m > 0) {
      for (std::size_t k = 0; k < m; ++k) r.u[k] = r.ia * step.motion.column(k);
      if (!invert_block(step.motion, m, r, w)) return i;
      for (std::size_t k = 0; k < m; ++k)
        for (std::size_t l = 0; l < m; ++l) Minv(base + k, base + l) = r.dinv[k][l];
    }
    SpatialForce* Fp = forces.data() + step.parent * nv;
    with_shapes(step, [&]<int A, int K>() {
      if (m == 1) {  // the common joint: one column, S^T and S without their zeros
        const double d = r.dinv[0][0];
        for (std::size_t c = base + 1; c < r.end; ++c) Minv(base, c) = -d * step.motion.subspace_dot<A>(F[c]);
        if (step.parent != 0)
          for (std::size_t c = base; c < r.end; ++c) Fp[c] += r.liMi.act_force<K>(F[c] + r.u[0] * Minv(base, c));
      } else {
        for (std::size_t k = 0; k < m; ++k)
          for (std::size_t c = base + m; c < r.end; ++c) {
            double x = 0;
            for (std::size_t l = 0; l < m; ++l) x -= r.dinv[k][l] * inner(step.motion.column(l), F[c]);
            Minv(base + k, c) = x;
          }
        if (step.parent != 0)
          for (std::size_t c = base; c < r.end; ++c) {
            SpatialForce g = F[c];
            for (std::size_t k = 0; k < m; ++k) g += r.u[k] * Minv(base + k, c);
            Fp[c] += r.liMi.act_force<K>(g);
          }
      }
      if (step.parent == 0) return;
      for (std::size_t k = 0; k < m; ++k) r.ia.subtract_outer(w[k], 1.0);
      add_transformed<Wide, K>(r.ia, r.liMi, rows[step.parent].ia);
    });
  }

  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    const MinvRow& r = rows[i];
    const std::size_t m = step.motion.nv(), base = step.idx_v;
    const SpatialMotion* Pp = accelerations.data() + step.parent * nv;
    SpatialMotion* P = accelerations.data() + i * nv;
    with_shapes(step, [&]<int A, int K>() {
      if (m == 1 && step.parent == 0) {
        for (std::size_t c = base; c < r.branch_end; ++c) P[c] = step.motion.subspace_times<A>(Minv(base, c));
      } else if (m == 1) {
        const double d = r.dinv[0][0];
        for (std::size_t c = base; c < r.branch_end; ++c) {
          const SpatialMotion a = r.liMi.act_inv_motion<K>(Pp[c]);
          const double x = Minv(base, c) - d * inner(a, r.u[0]);
          Minv(base, c) = x;
          P[c] = a + step.motion.subspace_times<A>(x);
        }
      } else {
        for (std::size_t c = base; c < r.branch_end; ++c) {
          const SpatialMotion a = step.parent != 0 ? r.liMi.act_inv_motion<K>(Pp[c]) : SpatialMotion::zero();
          SpatialMotion p = a;
          for (std::size_t k = 0; k < m; ++k) {
            double x = Minv(base + k, c);
            if (step.parent != 0)
              for (std::size_t l = 0; l < m; ++l) x -= r.dinv[k][l] * inner(a, r.u[l]);
            Minv(base + k, c) = x;
          }
          for (std::size_t k = 0; k < m; ++k) p += step.motion.column(k) * Minv(base + k, c);
          P[c] = p;
        }
      }
    });
  }
  for (std::size_t c = 0; c < nv; ++c)
    for (std::size_t r = c + 1; r < nv; ++r) Minv(r, c) = Minv(c, r);
  return 0;
}

// The passes compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors).
[[gnu::noinline, gnu::flatten]] std::size_t minv_narrow(const Model& model, const double* q, DenseMatrix& Minv) {
  return minv_passes<false>(model, q, Minv);
}
[[VELMORA_WIDE_BUILD]] std::size_t minv_wide(const Model& model, const double* q, DenseMatrix& Minv) {
  return minv_passes<true>(model, q, Minv);
}

}  // namespace

std::expected<DenseMatrix, DynamicsError> inverse_mass_matrix(const Model& model, std::span<const double> q) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  const std::size_t n = model.njoints(), nv = model.nv;
  DenseMatrix Minv = DenseMatrix::zeros(nv, nv);
  if (n < 2) return Minv;
  for (std::size_t i = 1; i < n; ++i)
    if (model.steps()[i].motion.nv() > kMaxJointNv) return malformed_model();
  const std::size_t singular = build_of(&minv_narrow, &minv_wide)(model, q.data(), Minv);
  if (singular)
    return fail("Singular articulated inertia at joint '" + model.joint_names[singular] + "' (id " +
                std::to_string(singular) +
                "): the bodies it moves have no inertia along its axis, so its acceleration is undefined");
  return Minv;
}

}  // namespace velmora
