// The Coriolis matrix whose symmetric part is half the rate of change of the mass matrix.
//
// With every quantity in world coordinates (world axes, origin near the robot), body k's velocity is J_k v, where column j of
// J_k is joint j's subspace column S_j when j is on k's path to the root; S_j turns with
// its body, dS_j/dt = v_j x S_j, and the body's inertia changes as
// dI_k/dt = v_k x* I_k - I_k (v_k x). The choice
//   C = sum_k J_k^T (I_k dJ_k/dt + B_k J_k),  B_k = 1/2 (v_k x* I_k - I_k (v_k x) + (I_k v_k) xbar*),
// where (f xbar*) m = m x* f is skew-symmetric, makes C + C^T = dM/dt (B_k + B_k^T =
// dI_k/dt) and C v the velocity-product efforts (B_k v_k = v_k x* I_k v_k). Entry (i, j)
// sums over the bodies below both joints, so with the subtree sums Ic and Bc of I and B:
//   i an ancestor of j (or j itself):  C_ij = S_i . (Ic_j dS_j/dt + Bc_j S_j)
//   j a strict ancestor of i:          C_ij = dS_j/dt . (Ic_i S_i) + S_j . (Bc_i^T S_i)
// and every entry of a column comes from one walk up one path: O(n d).
#include <array>

#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"

namespace velmora {

using namespace passes;

namespace {

// A 6x6 matrix, row by row, acting on (angular; linear) 6-vectors.
struct Mat6 {
  std::array<double, 36> m{};
  double operator()(int i, int j) const { return m[6 * i + j]; }
  double& operator()(int i, int j) { return m[6 * i + j]; }
  Mat6& operator+=(const Mat6& o) {
    for (int k = 0; k < 36; ++k) m[k] += o.m[k];
    return *this;
  }
  Mat6 operator*(const Mat6& o) const {
    Mat6 r;
    for (int i = 0; i < 6; ++i)
      for (int k = 0; k < 6; ++k) {
        const double a = (*this)(i, k);
        for (int j = 0; j < 6; ++j) r(i, j) += a * o(k, j);
      }
    return r;
  }
  std::array<double, 6> times(const std::array<double, 6>& x) const {
    std::array<double, 6> r{};
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) r[i] += (*this)(i, j) * x[j];
    return r;
  }
  std::array<double, 6> transpose_times(const std::array<double, 6>& x) const {
    std::array<double, 6> r{};
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) r[j] += (*this)(i, j) * x[i];
    return r;
  }
};

using Vec6 = std::array<double, 6>;

Vec6 as6(const SpatialMotion& x) { return x.as_vector6d().data; }
Vec6 as6(const SpatialForce& x) { return x.as_vector6d().data; }
double dot6(const Vec6& a, const Vec6& b) {
  double s = 0;
  for (int k = 0; k < 6; ++k) s += a[k] * b[k];
  return s;
}

// [a]x into the 3x3 block at (r, c), times `sign`.
void put_skew(Mat6& M, int r, int c, const Vector3D& a, double sign) {
  M(r + 0, c + 1) += -sign * a.z, M(r + 0, c + 2) += sign * a.y;
  M(r + 1, c + 0) += sign * a.z, M(r + 1, c + 2) += -sign * a.x;
  M(r + 2, c + 0) += -sign * a.y, M(r + 2, c + 1) += sign * a.x;
}

// v x* (force cross product), v x (motion cross product), and f xbar* as matrices.
Mat6 force_cross(const SpatialMotion& v) {
  Mat6 M;
  put_skew(M, 0, 0, v.rotation, 1), put_skew(M, 0, 3, v.translation, 1), put_skew(M, 3, 3, v.rotation, 1);
  return M;
}
Mat6 motion_cross(const SpatialMotion& v) {
  Mat6 M;
  put_skew(M, 0, 0, v.rotation, 1), put_skew(M, 3, 0, v.translation, 1), put_skew(M, 3, 3, v.rotation, 1);
  return M;
}
Mat6 force_cross_bar(const SpatialForce& f) {
  Mat6 M;
  put_skew(M, 0, 0, f.angular, -1), put_skew(M, 0, 3, f.linear, -1), put_skew(M, 3, 0, f.linear, -1);
  return M;
}

struct CoriolisRow {
  SE3 liMi;
  SE3 oMi;
  SpatialMotion v;  // body velocity in the body's frame
  Mat6 ic;          // subtree sum of the world-frame inertias
  Mat6 bc;          // subtree sum of B
};

// The passes into C (zero on entry), for a model of two or more joints already checked
// and q, v of its sizes.
inline void coriolis_passes(const Model& model, const double* q, const double* v, DenseMatrix& C) {
  const std::size_t n = model.njoints(), nv = model.nv;
  const JointStep* steps = model.steps().data();
  CoriolisRow* rows = scratch_rows<CoriolisRow>(n);
  std::vector<Vec6> S(nv), Sdot(nv);
  place_joints(steps, n, q, rows);
  rows[0].oMi = world_near_robot(rows[1].liMi);
  rows[0].v = SpatialMotion::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    CoriolisRow& r = rows[i];
    const CoriolisRow& p = rows[step.parent];
    r.oMi = p.oMi * r.liMi;
    r.v = r.liMi.act_inv_motion(p.v);
    for (std::size_t k = 0; k < step.motion.nv(); ++k) r.v += step.motion.column(k) * v[step.idx_v + k];
    const SpatialMotion vw = r.oMi.act_motion(r.v);
    // The body's inertia in world coordinates, column by column: X* I X^-1 e_c.
    const Inertia& I = model.inertias[i];
    Mat6 Iw;
    for (int c = 0; c < 6; ++c) {
      Vec6 e{};
      e[c] = 1;
      const SpatialMotion ec{{e[0], e[1], e[2]}, {e[3], e[4], e[5]}};
      const Vec6 col = as6(r.oMi.act_force(I * r.oMi.act_inv_motion(ec)));
      for (int k = 0; k < 6; ++k) Iw(k, c) = col[k];
    }
    const Vec6 iv = Iw.times(as6(vw));
    Mat6 B = force_cross(vw) * Iw;
    const Mat6 right = Iw * motion_cross(vw);
    const Mat6 bar = force_cross_bar({{iv[0], iv[1], iv[2]}, {iv[3], iv[4], iv[5]}});
    for (int k = 0; k < 36; ++k) B.m[k] = 0.5 * (B.m[k] - right.m[k] + bar.m[k]);
    r.ic = Iw;
    r.bc = B;
    for (std::size_t k = 0; k < step.motion.nv(); ++k) {
      const SpatialMotion s = r.oMi.act_motion(step.motion.column(k));
      S[step.idx_v + k] = as6(s);
      Sdot[step.idx_v + k] = as6(cross_motion(vw, s));
    }
  }
  for (std::size_t i = n - 1; i > 0; --i)
    if (steps[i].parent != 0) rows[steps[i].parent].ic += rows[i].ic, rows[steps[i].parent].bc += rows[i].bc;

  for (std::size_t j = 1; j < n; ++j) {
    const JointStep& sj = steps[j];
    const CoriolisRow& r = rows[j];
    for (std::size_t l = 0; l < sj.motion.nv(); ++l) {
      const std::size_t col = sj.idx_v + l;
      const Vec6 a = r.ic.times(Sdot[col]), b = r.bc.times(S[col]);
      Vec6 f1;
      for (int k = 0; k < 6; ++k) f1[k] = a[k] + b[k];
      const Vec6 f2 = r.ic.times(S[col]), f3 = r.bc.transpose_times(S[col]);
      for (std::size_t i = j; i != 0; i = steps[i].parent) {
        const JointStep& si = steps[i];
        for (std::size_t k = 0; k < si.motion.nv(); ++k) {
          const std::size_t row = si.idx_v + k;
          C(row, col) = dot6(S[row], f1);
          if (i != j) C(col, row) = dot6(Sdot[row], f2) + dot6(S[row], f3);
        }
      }
    }
  }
}

// The passes compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors).
[[gnu::noinline, gnu::flatten]] void coriolis_narrow(const Model& model, const double* q, const double* v,
                                                     DenseMatrix& C) {
  coriolis_passes(model, q, v, C);
}
[[VELMORA_WIDE_BUILD]] void coriolis_wide(const Model& model, const double* q, const double* v, DenseMatrix& C) {
  coriolis_passes(model, q, v, C);
}

}  // namespace

std::expected<DenseMatrix, DynamicsError> coriolis_matrix(const Model& model, std::span<const double> q,
                                                          std::span<const double> v) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  DenseMatrix C = DenseMatrix::zeros(model.nv, model.nv);
  if (model.njoints() < 2) return C;
  build_of(&coriolis_narrow, &coriolis_wide)(model, q.data(), v.data(), C);
  return C;
}

}  // namespace velmora
