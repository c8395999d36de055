// Derivatives of inverse dynamics by q, v and a, in the world frame, and of forward
// dynamics through them.
//
// All spatial quantities here are in world coordinates (world axes, with the origin at the
// first joint, see forward_motion): S_j, the column j of the motion subspace of joint J,
// v_i and a_i the velocity and acceleration of body i (a_0 = -gravity), I_i its inertia,
// f_i = I_i a_i + v_i x* I_i v_i its force and F_i the sum of f over the subtree of joint
// i, so that tau_k = S_k . F_K.
//
// Moving coordinate j of joint J along the tangent space turns everything the subtree of
// J carries about S_j: a motion m fixed in a body of that subtree changes by S_j x m, a
// force by S_j x* f, an inertia by S_j x* I - I S_j x. The velocities and accelerations
// are sums along the path from the root, and only the terms from J down turn, so for a
// body i in the subtree of J
//   dv_i/dq_j = S_j x v_i + psi_j,                 psi_j = v_lambda x S_j,
//   da_i/dq_j = S_j x a_i + psi_j x v_i + eta_j,   eta_j = a_lambda x S_j + v_lambda x psi_j,
// with lambda the parent of J. The rigid part (S_j x) of the body forces cancels in
// tau_k = S_k . F_K whenever K lies in the subtree of J (S_k turns with them), so
//   dtau_k/dq_j = S_k . (IC_K eta_j + BC_K psi_j)                     for K in subtree(J),
//   dtau_k/dq_j = S_k . (S_j x* F_J + IC_J eta_j + BC_J psi_j)        for K above J,
// where IC is the composite (subtree) inertia and BC the subtree sum of the matrices
//   B_i x = v_i x* (I_i x) - I_i (v_i x x) + x x* (I_i v_i),
// the derivative of the body force by the velocity (see VelocityMatrix). By qd_j, with
// phi_j = (v_J + v_lambda) x S_j (the derivative of a_i by qd_j is phi_j + S_j x v_i),
//   dtau_k/dqd_j = S_k . (IC_K phi_j + BC_K S_j)   or   S_k . (IC_J phi_j + BC_J S_j),
// and by qdd_j the mass matrix S_k . IC S_j. Each pair of a joint and one of its ancestors
// costs a few inner products: O(n d) for depth d.
//
// Forward dynamics: ddq = M^-1 (tau - b), so d ddq/dx = -M^-1 dtau/dx at a = ddq. M is
// factored as L^T D L with L following the tree (L_kj is nonzero only for j an ancestor
// coordinate of k), so that the solves cost O(n d) per right-hand side.
#include "core/algorithms/derivatives.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/algorithms/passes.hpp"

namespace velmora {

using namespace passes;

namespace {

// A rigid-body (or composite) inertia about the origin in world axes: mass m, first
// moment h = m c, rotational inertia J about the origin. Sums of bodies stay in this form.
struct WorldInertia {
  double m;
  Vector3D h;
  Symmetric3 J;

  // The body of `I` (given in its joint's frame) placed by `placement`.
  static WorldInertia of(const Inertia& I, const SE3& placement) {
    const Vector3D c = placement.act(I.com);
    return {I.mass, c * I.mass, I.inertia.rotate_body(placement.rotation) - Symmetric3::skew_square(c) * I.mass};
  }
  // The momentum of the motion x = (w; u): (J w + h x u; m u - h x w).
  SpatialForce operator*(const SpatialMotion& x) const {
    return {J * x.rotation + cross(h, x.translation), x.translation * m - cross(h, x.rotation)};
  }
  void add_to(WorldInertia& o) const {
    o.m += m;
    o.h += h;
    o.J = o.J + J;
  }
};

// The derivative of a body's force I a + v x* I v by its velocity v, together with the
// term -I (v x .) its acceleration's velocity product contributes:
//   B x = v x* (I x) - I (v x x) + x x* (I v).
// For the rigid inertia above and v = (w; u) its blocks reduce to
//   B = [[P - [n]x, 0], [-2 [f]x, 0]],   P = [w]x J - J [w]x - [u]x [h]x - [h]x [u]x,
// with (n; f) = I v the momentum: B ignores the linear part of x, and its lower block and
// the skew part of the upper one depend only on the momentum, so subtree sums of B are
// sums of P and of the momenta.
struct VelocityMatrix {
  Symmetric3 P;
  SpatialForce momentum;

  static VelocityMatrix of(const WorldInertia& I, const SpatialMotion& v) {
    const Vector3D& w = v.rotation;
    const Vector3D& u = v.translation;
    // [w]x J: column k is w x (column k of J); P takes it plus its transpose (-J [w]x).
    const Vector3D c0 = cross(w, Vector3D{I.J(0, 0), I.J(1, 0), I.J(2, 0)});
    const Vector3D c1 = cross(w, Vector3D{I.J(0, 1), I.J(1, 1), I.J(2, 1)});
    const Vector3D c2 = cross(w, Vector3D{I.J(0, 2), I.J(1, 2), I.J(2, 2)});
    // -([u]x [h]x + [h]x [u]x) = 2 (u . h) 1 - (h u^T + u h^T).
    const Vector3D& h = I.h;
    const double d = 2 * u.dot(h);
    return {{{2 * c0.x + d - 2 * h.x * u.x, 2 * c1.y + d - 2 * h.y * u.y, 2 * c2.z + d - 2 * h.z * u.z,
              c1.x + c0.y - (h.x * u.y + u.x * h.y), c2.x + c0.z - (h.x * u.z + u.x * h.z),
              c2.y + c1.z - (h.y * u.z + u.y * h.z)}},
            I * v};
  }
  // B x
  SpatialForce operator*(const SpatialMotion& x) const {
    const Vector3D& a = x.rotation;
    return {P * a - cross(momentum.angular, a), cross(momentum.linear, a) * -2.0};
  }
  // B^T x, as a force (its inner product with a motion y is x^T B y).
  SpatialForce transpose_times(const SpatialMotion& x) const {
    return {P * x.rotation + cross(momentum.angular, x.rotation) + cross(momentum.linear, x.translation) * 2.0, {}};
  }
  void add_to(VelocityMatrix& o) const {
    o.P = o.P + P;
    o.momentum += momentum;
  }
};

struct DerivativeRow {
  SE3 liMi;         // joint frame in the parent joint's frame
  SE3 oMi;          // joint frame in the world
  SpatialMotion v;  // body velocity (world)
  SpatialMotion c;  // velocity-product acceleration v x (S qd) = v_lambda x (S qd) (world)
  SpatialMotion a;  // body acceleration, gravity included (world)
  SpatialForce f;   // body force, then the force of the whole subtree (world)
  WorldInertia body;       // body inertia (world)
  SpatialForce momentum;   // body momentum I v (world)
  WorldInertia ic;         // body inertia, then the composite inertia of the subtree
  VelocityMatrix bc;       // B of the body, then its sum over the subtree
};

// The records of one velocity coordinate j (column of its joint's subspace), world frame.
struct CoordinateRow {
  SpatialMotion s;    // S_j
  SpatialMotion psi;  // v_lambda x S_j
  SpatialMotion eta;  // a_lambda x S_j + v_lambda x psi_j
  SpatialMotion phi;  // (v_J + v_lambda) x S_j
  SpatialForce u;     // IC_J S_j
  SpatialForce w;     // BC_J^T S_j
};

struct Workspace {
  const JointStep* steps;
  const Inertia* inertias;
  std::size_t n;
  std::size_t nv;
  DerivativeRow* rows;
  CoordinateRow* cols;
  // The coordinate before each one on its path to the root (-1 at the root): the previous
  // column of the same joint, or the last column of the nearest ancestor joint with any.
  long* coordinate_parent;
};

// Per-thread storage that calls reuse (see passes::scratch_rows), one vector per Tag.
template <class Tag, class T>
T* scratch_values(std::size_t n) {
  thread_local std::vector<T> values;
  if (values.size() < n) values.resize(n);
  return values.data();
}
struct FactorTag;
struct IndexTag;

Workspace workspace(const Model& model) {
  const std::size_t n = model.njoints(), nv = model.nv;
  // Per coordinate its parent, then per joint its last coordinate.
  long* parent = scratch_values<IndexTag, long>(nv + n);
  long* last_of_joint = parent + nv;
  const JointStep* steps = model.steps().data();
  last_of_joint[0] = -1;
  for (std::size_t i = 1; i < n; ++i) {
    long last = last_of_joint[steps[i].parent];
    for (std::size_t k = 0; k < steps[i].motion.nv(); ++k) {
      parent[steps[i].idx_v + k] = last;
      last = static_cast<long>(steps[i].idx_v + k);
    }
    last_of_joint[i] = last;
  }
  return {steps, model.inertias.data(), n, nv, scratch_rows<DerivativeRow>(n), scratch_rows<CoordinateRow>(nv),
          parent};
}

// Placements, subspace columns, velocities and the velocity-only records, root first.
void forward_motion(const Workspace& ws, const double* q, const double* v) {
  DerivativeRow* rows = ws.rows;
  rows[0].v = SpatialMotion::zero();
  place_joints(ws.steps, ws.n, q, rows);
  // "World" coordinates keep the world's axes with their origin at the first joint: about
  // the world origin itself, a robot far from it would lose the digits of its inertias and
  // velocities to the size of its lever arms. Every result is the same in any such frame.
  rows[0].oMi = {SpatialRotation::identity(), -rows[1].liMi.translation};
  for (std::size_t i = 1; i < ws.n; ++i) {
    const JointStep& step = ws.steps[i];
    DerivativeRow& r = rows[i];
    const DerivativeRow& p = rows[step.parent];
    const std::size_t nvi = step.motion.nv();
    CoordinateRow* c = ws.cols + step.idx_v;
    with_shapes(step, [&]<int A, int K>() {
      r.oMi = compose<K>(p.oMi, r.liMi);
      // A rotation about coordinate axis A has the world axis sign * column A of the rotation.
      if constexpr (A >= 0) {
        if (nvi == 1) {
          const Vector3D axis = r.oMi.rotation.column(A) * step.motion.axis_sign;
          c[0].s = {axis, cross(r.oMi.translation, axis)};
          return;
        }
      }
      for (std::size_t k = 0; k < nvi; ++k) c[k].s = r.oMi.act_motion(step.motion.column(k));
    });
    SpatialMotion joint_velocity = SpatialMotion::zero();
    r.c = SpatialMotion::zero();
    for (std::size_t k = 0; k < nvi; ++k) {
      const double qd = v[step.idx_v + k];
      joint_velocity += c[k].s * qd;
      c[k].psi = cross_motion(p.v, c[k].s);
      r.c += c[k].psi * qd;
    }
    r.v = p.v + joint_velocity;
    // phi = (v_J + v_lambda) x S = 2 psi + (S qd) x S, whose last term vanishes for one column.
    for (std::size_t k = 0; k < nvi; ++k)
      c[k].phi = nvi == 1 ? c[k].psi * 2.0 : c[k].psi * 2.0 + cross_motion(joint_velocity, c[k].s);
    r.body = WorldInertia::of(ws.inertias[i], r.oMi);
    r.ic = r.body;
    r.bc = VelocityMatrix::of(r.body, r.v);
    r.momentum = r.bc.momentum;
  }
}

// Accelerations for joint accelerations `a`, the records that depend on them, and the
// body forces, root first.
void forward_acceleration(const Workspace& ws, const double* a, const Vector3D& gravity) {
  DerivativeRow* rows = ws.rows;
  rows[0].a = {{}, -gravity};
  for (std::size_t i = 1; i < ws.n; ++i) {
    const JointStep& step = ws.steps[i];
    DerivativeRow& r = rows[i];
    const DerivativeRow& p = rows[step.parent];
    CoordinateRow* c = ws.cols + step.idx_v;
    r.a = p.a + r.c;
    for (std::size_t k = 0; k < step.motion.nv(); ++k) {
      r.a += c[k].s * a[step.idx_v + k];
      c[k].eta = cross_motion(p.a, c[k].s) + cross_motion(p.v, c[k].psi);
    }
    // I a + v x* (I v), with I v already kept as the momentum.
    r.f = r.body * r.a + cross_force(r.v, r.momentum);
  }
}

// What the backward sweep writes (what it does not write may be null).
struct Outputs {
  double* dq = nullptr;
  double* dv = nullptr;
  double* mass = nullptr;
  double* tau = nullptr;
};

// One joint of the backward sweep, leaves first: with Composite, the records u and w of
// its coordinates from the composite matrices (complete once all children are added), the
// mass matrix entries, and the composite matrices added to the parent; with Forces, the
// subtree force added to the parent, and either tau or (with Derivatives) the entries of the
// q and v derivatives (u and w already known).
template <bool Composite, bool Forces, bool Derivatives>
void backward_step(const Workspace& ws, std::size_t i, const Outputs& out) {
  const JointStep& step = ws.steps[i];
  DerivativeRow& r = ws.rows[i];
  const std::size_t nv = ws.nv;
  const std::size_t first = step.idx_v, end = first + step.motion.nv();
  for (std::size_t ck = first; ck < end; ++ck) {
    CoordinateRow& c = ws.cols[ck];
    if constexpr (Composite) {
      c.u = r.ic * c.s;
      c.w = r.bc.transpose_times(c.s);
    }
  }
  for (std::size_t ck = first; ck < end; ++ck) {
    const CoordinateRow& c = ws.cols[ck];
    // The joint's own coordinates: K and J are the same joint, in both orders.
    for (std::size_t e = first; e < end; ++e) {
      const CoordinateRow& d = ws.cols[e];
      if constexpr (Composite) out.mass[ck * nv + e] = inner(d.s, c.u);
      if constexpr (Derivatives) {
        out.dq[ck * nv + e] = inner(d.eta, c.u) + d.psi.rotation.dot(c.w.angular);
        out.dv[ck * nv + e] = inner(d.phi, c.u) + d.s.rotation.dot(c.w.angular);
      }
    }
    SpatialForce phi_q{}, phi_v{};
    if constexpr (Forces && !Derivatives) out.tau[ck] = inner(c.s, r.f);
    if constexpr (Derivatives) {
      phi_q = cross_force(c.s, r.f) + r.ic * c.eta + r.bc * c.psi;
      phi_v = r.ic * c.phi + r.bc * c.s;
    }
    // The coordinates of the ancestors: the entry of the descendant's row and the one of
    // the ancestor's row. The records are read as plain rows of numbers, which the
    // compiler turns into fewer, wider operations.
    const double U[6] = {c.u.angular.x, c.u.angular.y, c.u.angular.z, c.u.linear.x, c.u.linear.y, c.u.linear.z};
    const double PQ[6] = {phi_q.angular.x, phi_q.angular.y, phi_q.angular.z,
                          phi_q.linear.x,  phi_q.linear.y,  phi_q.linear.z};
    const double PV[6] = {phi_v.angular.x, phi_v.angular.y, phi_v.angular.z,
                          phi_v.linear.x,  phi_v.linear.y,  phi_v.linear.z};
    const double W[3] = {c.w.angular.x, c.w.angular.y, c.w.angular.z};
    for (long ee = ws.coordinate_parent[first]; ee >= 0; ee = ws.coordinate_parent[ee]) {
      const auto e = static_cast<std::size_t>(ee);
      const CoordinateRow& d = ws.cols[e];
      const double S[6] = {d.s.rotation.x,    d.s.rotation.y,    d.s.rotation.z,
                           d.s.translation.x, d.s.translation.y, d.s.translation.z};
      if constexpr (Composite) {
        double m = 0;
        for (int k = 0; k < 6; ++k) m += S[k] * U[k];
        out.mass[ck * nv + e] = out.mass[e * nv + ck] = m;
      }
      if constexpr (Derivatives) {
        const double E[6] = {d.eta.rotation.x,    d.eta.rotation.y,    d.eta.rotation.z,
                             d.eta.translation.x, d.eta.translation.y, d.eta.translation.z};
        const double F[6] = {d.phi.rotation.x,    d.phi.rotation.y,    d.phi.rotation.z,
                             d.phi.translation.x, d.phi.translation.y, d.phi.translation.z};
        double qr = 0, vr = 0, qf = 0, vf = 0;
        for (int k = 0; k < 6; ++k) {
          qr += S[k] * PQ[k];
          vr += S[k] * PV[k];
          qf += E[k] * U[k];
          vf += F[k] * U[k];
        }
        qf += d.psi.rotation.x * W[0] + d.psi.rotation.y * W[1] + d.psi.rotation.z * W[2];
        vf += S[0] * W[0] + S[1] * W[1] + S[2] * W[2];
        out.dq[ck * nv + e] = qf;
        out.dq[e * nv + ck] = qr;
        out.dv[ck * nv + e] = vf;
        out.dv[e * nv + ck] = vr;
      }
    }
  }
  if (step.parent == 0) return;
  DerivativeRow& p = ws.rows[step.parent];
  if constexpr (Composite) {
    r.ic.add_to(p.ic);
    r.bc.add_to(p.bc);
  }
  if constexpr (Forces) p.f += r.f;
}

std::expected<void, DynamicsError> check_sizes(const Model& model, std::span<const double> q,
                                               std::span<const double> v, std::span<const double> x,
                                               const char* x_name) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (x.size() != model.nv) return wrong_size(x_name, model.nv, x.size());
  if (!model_consistent(model)) return malformed_model();
  if (auto ok = check_configuration(model, q.data()); !ok) return fail(std::move(ok.error()));
  return {};
}

// Factors the mass matrix h (row-major, overwritten) as L^T D L: afterwards h[k][k] holds
// D_k and h[k][j], for j an ancestor coordinate of k, holds L_kj. Each pivot D_k is the
// diagonal entry M_kk less what the coordinates below take; a positive definite matrix
// keeps it positive, and one that is singular up to rounding leaves only rounding of
// M_kk. Returns the first coordinate whose pivot is not clearly positive, or -1.
long factor_tree(double* h, std::size_t nv, const long* parent, double* diagonal) {
  constexpr double kSingularRatio = 1e-12;
  for (std::size_t k = 0; k < nv; ++k) diagonal[k] = h[k * nv + k];
  for (std::size_t kk = nv; kk-- > 0;) {
    const long k = static_cast<long>(kk);
    const double d = h[kk * nv + kk];
    if (!(d > kSingularRatio * diagonal[kk]) || !(d < INFINITY)) return k;
    for (long i = parent[k]; i >= 0; i = parent[i]) {
      const double ratio = h[kk * nv + i] / d;
      for (long j = i; j >= 0; j = parent[j]) h[i * nv + j] -= h[kk * nv + j] * ratio;
      h[kk * nv + i] = ratio;
    }
  }
  return -1;
}

// Y = (L^T D L)^-1 Y for Y row-major nv x cols, row by row. The factor couples only
// coordinates on one path from the root, so with `span` the rows are read and written only
// over the columns where they can be nonzero when Y is block-diagonal over the branches at
// the root (the derivatives and the identity are): the columns of the row's branch, and
// in the first sweep, where row i has only gathered the rows below it, those of its
// branch up to the end of its subtree (from i itself when Y starts as the identity).
struct Span {
  std::size_t first, last;  // the coordinates of the branch at the root
  std::size_t subtree_last;  // the last coordinate of the subtree
};

void solve_tree(const double* h, std::size_t nv, const long* parent, double* y, std::size_t cols, const Span* span,
                bool identity) {
  auto first = [&](std::size_t i) { return span ? span[i].first : 0; };
  auto last = [&](std::size_t i) { return span ? span[i].last + 1 : cols; };
  auto gathered_first = [&](std::size_t i) { return span && identity ? i : first(i); };
  auto gathered_last = [&](std::size_t i) { return span ? span[i].subtree_last + 1 : cols; };
  for (std::size_t i = nv; i-- > 0;) {
    const double* yi = y + i * cols;
    const std::size_t c0 = gathered_first(i), c1 = gathered_last(i);
    for (long j = parent[i]; j >= 0; j = parent[j]) {
      const double l = h[i * nv + j];
      double* yj = y + j * cols;
      for (std::size_t c = c0; c < c1; ++c) yj[c] -= l * yi[c];
    }
    const double inv = 1.0 / h[i * nv + i];
    for (std::size_t c = c0; c < c1; ++c) y[i * cols + c] *= inv;
  }
  for (std::size_t i = 0; i < nv; ++i) {
    double* yi = y + i * cols;
    const std::size_t c0 = first(i), c1 = last(i);
    for (long j = parent[i]; j >= 0; j = parent[j]) {
      const double l = h[i * nv + j];
      const double* yj = y + j * cols;
      for (std::size_t c = c0; c < c1; ++c) yi[c] -= l * yj[c];
    }
  }
}

// For each coordinate, the first and last coordinate of its branch at the root (the
// subtree of the root's child it belongs to) and the last coordinate of its own subtree.
// Coordinates are numbered parents first, so each branch's root coordinate comes before
// its other coordinates.
void branch_spans(std::size_t nv, const long* parent, Span* span, std::size_t* root) {
  for (std::size_t k = 0; k < nv; ++k) {
    root[k] = parent[k] < 0 ? k : root[parent[k]];
    if (root[k] == k) span[k] = {k, k, k};
    span[root[k]].last = k;
  }
  for (std::size_t k = 0; k < nv; ++k) span[k] = {span[root[k]].first, span[root[k]].last, k};
  for (std::size_t k = nv; k-- > 0;)
    if (parent[k] >= 0) {
      std::size_t& up = span[parent[k]].subtree_last;
      if (span[k].subtree_last > up) up = span[k].subtree_last;
    }
}

struct SpanTag;

// The passes of rnea_derivatives into out (zero on entry), for a model already checked.
inline void rnea_derivative_passes(const Model& model, const double* q, const double* v, const double* a,
                                   const Outputs& out) {
  const Workspace ws = workspace(model);
  forward_motion(ws, q, v);
  forward_acceleration(ws, a, model.gravity);
  for (std::size_t i = model.njoints() - 1; i > 0; --i) backward_step<true, true, true>(ws, i, out);
}

// Where aba_derivatives stopped: the coordinate whose pivot of the mass matrix's factor
// vanished (-1: none), and whether that diagonal entry of the mass matrix was finite.
struct Pivot {
  long coordinate = -1;
  bool finite = true;
};

// The passes of aba_derivatives, for a model already checked: the mass matrix and the
// accelerations, the factor, then the inverse-dynamics derivatives at those accelerations
// turned into those of forward dynamics.
inline Pivot aba_derivative_passes(const Model& model, const double* q, const double* v, const double* tau,
                                   double* dq, double* dv, double* minv) {
  const std::size_t nv = model.nv, n = model.njoints();
  const Workspace ws = workspace(model);
  // The storage of this call: the mass matrix and then its factor, the accelerations, the
  // coordinate parents and each joint's last coordinate.
  double* h = scratch_values<FactorTag, double>(nv * nv + 2 * nv);
  double* ddq = h + nv * nv;
  double* diagonal = ddq + nv;
  const long* parent = ws.coordinate_parent;

  // The mass matrix and the bias b = rnea(q, v, 0); then ddq = M^-1 (tau - b).
  std::memset(h, 0, nv * nv * sizeof(double));
  std::memset(ddq, 0, nv * sizeof(double));
  forward_motion(ws, q, v);
  forward_acceleration(ws, ddq, model.gravity);
  for (std::size_t i = n - 1; i > 0; --i) backward_step<true, true, false>(ws, i, {nullptr, nullptr, h, ddq});
  for (std::size_t k = 0; k < nv; ++k) ddq[k] = tau[k] - ddq[k];
  if (const long k = factor_tree(h, nv, parent, diagonal); k >= 0) {
    const auto kv = static_cast<std::size_t>(k);
    return {k, std::isfinite(h[kv * nv + kv])};
  }
  solve_tree(h, nv, parent, ddq, 1, nullptr, false);

  // The inverse-dynamics derivatives at a = ddq, turned into those of ddq.
  std::memset(dq, 0, nv * nv * sizeof(double));
  std::memset(dv, 0, nv * nv * sizeof(double));
  forward_acceleration(ws, ddq, model.gravity);
  for (std::size_t i = n - 1; i > 0; --i) backward_step<false, true, true>(ws, i, {dq, dv, nullptr, nullptr});
  for (std::size_t k = 0; k < nv * nv; ++k) dq[k] = -dq[k], dv[k] = -dv[k];
  Span* span = scratch_values<SpanTag, Span>(nv);
  auto* root = scratch_values<SpanTag, std::size_t>(nv);
  branch_spans(nv, parent, span, root);
  solve_tree(h, nv, parent, dq, nv, span, false);
  solve_tree(h, nv, parent, dv, nv, span, false);
  std::memset(minv, 0, nv * nv * sizeof(double));
  for (std::size_t k = 0; k < nv; ++k) minv[k * nv + k] = 1;
  solve_tree(h, nv, parent, minv, nv, span, true);
  return {};
}

// Both compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors).
[[gnu::noinline, gnu::flatten]] void rnea_derivatives_narrow(const Model& model, const double* q, const double* v,
                                                             const double* a, const Outputs& out) {
  rnea_derivative_passes(model, q, v, a, out);
}
[[gnu::noinline, gnu::flatten]] Pivot aba_derivatives_narrow(const Model& model, const double* q, const double* v,
                                                             const double* tau, double* dq, double* dv, double* minv) {
  return aba_derivative_passes(model, q, v, tau, dq, dv, minv);
}
[[VELMORA_WIDE_BUILD]] void rnea_derivatives_wide(const Model& model, const double* q, const double* v, const double* a,
                                                  const Outputs& out) {
  rnea_derivative_passes(model, q, v, a, out);
}
[[VELMORA_WIDE_BUILD]] Pivot aba_derivatives_wide(const Model& model, const double* q, const double* v,
                                                  const double* tau, double* dq, double* dv, double* minv) {
  return aba_derivative_passes(model, q, v, tau, dq, dv, minv);
}

}  // namespace

std::expected<void, DynamicsError> rnea_derivatives(const Model& model, std::span<const double> q,
                                                    std::span<const double> v, std::span<const double> a,
                                                    std::span<double> dtau_dq, std::span<double> dtau_dv,
                                                    std::span<double> mass_matrix) {
  if (auto ok = check_sizes(model, q, v, a, "a"); !ok) return ok;
  const std::size_t nv = model.nv, n = model.njoints();
  if (dtau_dq.size() != nv * nv || dtau_dv.size() != nv * nv || mass_matrix.size() != nv * nv)
    return fail("The derivative matrices must hold nv * nv values each");
  if (nv == 0 || n == 0) return {};
  // Entries of coordinates on different branches stay zero.
  std::memset(dtau_dq.data(), 0, nv * nv * sizeof(double));
  std::memset(dtau_dv.data(), 0, nv * nv * sizeof(double));
  std::memset(mass_matrix.data(), 0, nv * nv * sizeof(double));

  const Outputs out{dtau_dq.data(), dtau_dv.data(), mass_matrix.data(), nullptr};
  build_of(&rnea_derivatives_narrow, &rnea_derivatives_wide)(model, q.data(), v.data(), a.data(), out);
  return {};
}

std::expected<void, DynamicsError> aba_derivatives(const Model& model, std::span<const double> q,
                                                   std::span<const double> v, std::span<const double> tau,
                                                   std::span<double> dddq_dq, std::span<double> dddq_dv,
                                                   std::span<double> inverse_mass_matrix) {
  if (auto ok = check_sizes(model, q, v, tau, "tau"); !ok) return ok;
  const std::size_t nv = model.nv, n = model.njoints();
  if (dddq_dq.size() != nv * nv || dddq_dv.size() != nv * nv || inverse_mass_matrix.size() != nv * nv)
    return fail("The derivative matrices must hold nv * nv values each");
  if (nv == 0 || n == 0) return {};

  const Pivot pivot = build_of(&aba_derivatives_narrow, &aba_derivatives_wide)(
      model, q.data(), v.data(), tau.data(), dddq_dq.data(), dddq_dv.data(), inverse_mass_matrix.data());
  if (pivot.coordinate < 0) return {};
  const JointStep* steps = model.steps().data();
  const auto kv = static_cast<std::size_t>(pivot.coordinate);
  std::size_t joint = 1;
  while (joint + 1 < n && !(steps[joint].idx_v <= kv && kv < steps[joint].idx_v + steps[joint].motion.nv())) ++joint;
  const std::string where = "joint '" + model.joint_names[joint] + "' (id " + std::to_string(joint) + ")";
  if (!pivot.finite)
    return fail("The mass matrix is not finite at " + where + ": q or the model holds values that are not");
  return fail("Singular mass matrix at " + where +
              ": the bodies it moves have no inertia along its motion, so its acceleration is undefined");
}

}  // namespace velmora
