// Forward dynamics by the articulated-body algorithm, with the frames and conventions of
// the Newton-Euler pass (rnea.cpp): quantities of joint i in joint i's frame, the base
// acceleration minus gravity.
#include <algorithm>
#include <cmath>
#include <string>

#include "core/algorithms/passes.hpp"
#include "core/spatial/articulated_inertia.hpp"

namespace velmora {

using namespace passes;

namespace {

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

// What a joint with several degrees of freedom (k = nv() <= 6 columns of S) keeps between
// the passes: U = IA S, D^-1 = (S^T IA S)^-1 and u = tau - S^T pa. Rows of their own, so
// that the one-column rows stay small; only the multi-degree-of-freedom joints touch them.
struct AbaMultiRow {
  SpatialForce U[6];
  double inv_D[6][6];
  double u[6];
};

// The inverse of the symmetric k x k matrix D by its Cholesky factor D = L L^T; false
// when D is not positive definite within kSingularRatio of its largest diagonal entry.
bool invert_spd(const double (&D)[6][6], std::size_t k, double (&inv)[6][6]) {
  double scale = 0;
  for (std::size_t i = 0; i < k; ++i) scale = std::max(scale, std::abs(D[i][i]));
  double L[6][6] = {};
  for (std::size_t j = 0; j < k; ++j) {
    double d = D[j][j];
    for (std::size_t m = 0; m < j; ++m) d -= L[j][m] * L[j][m];
    if (!(d > kSingularRatio * scale)) return false;
    L[j][j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < k; ++i) {
      double x = D[i][j];
      for (std::size_t m = 0; m < j; ++m) x -= L[i][m] * L[j][m];
      L[i][j] = x / L[j][j];
    }
  }
  // inv = L^-T L^-1, column by column: solve L y = e_c, then L^T x = y.
  for (std::size_t c = 0; c < k; ++c) {
    double y[6];
    for (std::size_t i = 0; i < k; ++i) {
      double x = i == c ? 1.0 : 0.0;
      for (std::size_t m = 0; m < i; ++m) x -= L[i][m] * y[m];
      y[i] = x / L[i][i];
    }
    for (std::size_t i = k; i-- > 0;) {
      double x = y[i];
      for (std::size_t m = i + 1; m < k; ++m) x -= L[m][i] * inv[m][c];
      inv[i][c] = x / L[i][i];
    }
  }
  return true;
}

// The element r (0..5, angular first) of a force.
double element(const SpatialForce& f, int r) { return r < 3 ? f.angular[r] : f.linear[r - 3]; }

// ia -= W U^T for forces W and U, on the stored entries of the symmetric blocks: the
// caller's sum over such products is symmetric, so the upper triangles carry it.
void subtract_product(ArticulatedInertia& ia, const SpatialForce& W, const SpatialForce& U) {
  const Vector3D &wn = W.angular, &wf = W.linear, &un = U.angular, &uf = U.linear;
  ia.A.data[0] -= wn.x * un.x, ia.A.data[1] -= wn.y * un.y, ia.A.data[2] -= wn.z * un.z;
  ia.A.data[3] -= wn.x * un.y, ia.A.data[4] -= wn.x * un.z, ia.A.data[5] -= wn.y * un.z;
  ia.C.data[0] -= wf.x * uf.x, ia.C.data[1] -= wf.y * uf.y, ia.C.data[2] -= wf.z * uf.z;
  ia.C.data[3] -= wf.x * uf.y, ia.C.data[4] -= wf.x * uf.z, ia.C.data[5] -= wf.y * uf.z;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) ia.B(i, j) -= wn[i] * uf[j];
}

// The three passes of the algorithm; Multi: the model may have joints with several
// degrees of freedom (tested per joint only then). Returns the joint whose articulated
// inertia is singular, or 0. Everything it calls is inlined: left to itself the compiler
// keeps the motion transforms and bias forces as calls, and the passes then take 1.4 times
// as long on chains of general axes for about the same number of instructions.
template <bool Multi>
[[gnu::noinline, gnu::flatten]] std::size_t passes_of(const Model& model, const double* q, const double* v, const double* tau, double* ddq) {
  const std::size_t n = model.njoints();
  const JointStep* steps = model.steps().data();
  const Inertia* inertias = model.inertias.data();
  AbaRow* rows = scratch_rows<AbaRow>(n);
  AbaMultiRow* multi = Multi ? scratch_rows<AbaMultiRow>(n) : nullptr;

  // Velocities, velocity-product terms and the rigid inertias and bias forces.
  place_joints_inlined<AbaRow, Multi>(steps, n, q, rows);
  rows[0].v = SpatialMotion::zero();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    if (Multi && step.motion.multi()) [[unlikely]] {
      const SpatialMotion vj = step.motion.subspace_apply(v + step.idx_v);
      r.v = r.liMi.act_inv_motion(rows[step.parent].v) + vj;
      r.c = cross_motion(r.v, vj);
    } else with_shapes(step, [&]<int A, int K>() {
      r.v = r.liMi.act_inv_motion<K>(rows[step.parent].v);
      r.c = SpatialMotion::zero();
      if (step.motion.kind != JointType::Fixed) {
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
    if (Multi && step.motion.multi()) [[unlikely]] {
      AbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      double D[6][6];
      for (std::size_t c = 0; c < k; ++c) {
        m.U[c] = r.ia * step.motion.column(c);
        for (std::size_t e = 0; e < k; ++e) D[e][c] = element(m.U[c], step.motion.row_of_column(e));
      }
      if (!invert_spd(D, k, m.inv_D)) {
        ok = false;
      } else {
        step.motion.subspace_transpose_apply(r.pa, m.u);
        for (std::size_t c = 0; c < k; ++c) m.u[c] = tau[step.idx_v + c] - m.u[c];
        if (step.parent != 0) {
          // IA - U D^-1 U^T and pa + IA c + U D^-1 u, handed to the parent.
          SpatialForce pa = r.pa;
          for (std::size_t c = 0; c < k; ++c) {
            SpatialForce W = SpatialForce::zero();
            double x = 0;
            for (std::size_t e = 0; e < k; ++e) {
              W += m.U[e] * m.inv_D[e][c];
              x += m.inv_D[c][e] * m.u[e];
            }
            subtract_product(r.ia, W, m.U[c]);
            pa += m.U[c] * x;
          }
          pa += r.ia * r.c;
          AbaRow& p = rows[step.parent];
          r.ia.rotate(r.liMi.rotation).add_translated_to(r.liMi.translation, p.ia);
          p.pa += r.liMi.act_force(pa);
        }
      }
    } else with_shapes(step, [&]<int A, int K>() {
      SpatialForce pa = r.pa;
      if (step.motion.kind != JointType::Fixed) {
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
    if (!ok) return i;
  }

  // Accelerations, root first.
  rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    AbaRow& r = rows[i];
    if (Multi && step.motion.multi()) [[unlikely]] {
      const AbaMultiRow& m = multi[i];
      const std::size_t k = step.motion.nv();
      r.a = r.liMi.act_inv_motion(rows[step.parent].a) + r.c;
      double rhs[6], qdd[6];
      for (std::size_t c = 0; c < k; ++c) rhs[c] = m.u[c] - inner(r.a, m.U[c]);
      for (std::size_t c = 0; c < k; ++c) {
        double x = 0;
        for (std::size_t e = 0; e < k; ++e) x += m.inv_D[c][e] * rhs[e];
        qdd[c] = x;
        ddq[step.idx_v + c] = x;
      }
      r.a += step.motion.subspace_apply(qdd);
      continue;
    }
    with_shapes(step, [&]<int A, int K>() {
      r.a = r.liMi.act_inv_motion<K>(rows[step.parent].a) + r.c;
      if (step.motion.kind != JointType::Fixed) {
        const double qdd = (r.u - inner(r.a, r.u_col)) * r.inv_d;
        r.a += step.motion.subspace_times<A>(qdd);
        ddq[step.idx_v] = qdd;
      }
    });
  }
  return 0;
}

}  // namespace

std::expected<Configuration, DynamicsError> aba(const Model& model, std::span<const double> q,
                                                std::span<const double> v, std::span<const double> tau) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (tau.size() != v.size()) return wrong_size("tau", model.nv, tau.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));

  const std::size_t n = model.njoints();
  Configuration ddq = Configuration::zeros(model.nv);
  if (n == 0) return ddq;
  // Models without multi-degree-of-freedom joints run loops that do not test for them.
  const std::size_t singular_joint = model.multi_joint_count()
                                         ? passes_of<true>(model, q.data(), v.data(), tau.data(), ddq.data())
                                         : passes_of<false>(model, q.data(), v.data(), tau.data(), ddq.data());
  if (singular_joint)
    return fail("Singular articulated inertia at joint '" + model.joint_names[singular_joint] + "' (id " +
                std::to_string(singular_joint) +
                "): the bodies it moves have no inertia along its axis, so its acceleration is undefined");
  return ddq;
}

}  // namespace velmora
