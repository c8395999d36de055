// Inverse dynamics (recursive Newton-Euler) and forward dynamics (articulated-body
// algorithm) over the joint tree. Every quantity of joint i is expressed in joint i's
// frame; the placement liMi of that frame in its parent's frame carries motions down
// the tree (act_inv_motion) and forces up (act_force), in rotation-plus-translation
// form. The base acceleration is minus gravity, so the weight of every body appears as
// an inertial force without a separate gravity term.
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/model/algorithms.hpp"

namespace velmora {

namespace {

std::unexpected<DynamicsError> fail(std::string message) { return std::unexpected(DynamicsError{std::move(message)}); }

// Joints with several velocity coordinates (spherical, free-flyer) would need a
// multi-column motion subspace; none of the joint kinds has one.
std::unexpected<DynamicsError> unsupported_joint(const Model& model, std::size_t i) {
  return fail("Joint '" + model.joint_names[i] + "' has " + std::to_string(model.joint_models[i]->nv()) +
              " velocity coordinates; the dynamics handle joints with at most one");
}

std::unexpected<DynamicsError> malformed_model() {
  return fail("The model's joint sizes or parents are inconsistent with its configuration sizes");
}

// Short arrays are refused; longer ones are accepted and their tail ignored.
std::optional<DynamicsError> check_at_least(const char* name, std::size_t expected, std::size_t got) {
  if (got >= expected) return std::nullopt;
  return DynamicsError{"Parameter '" + std::string(name) + "' expected configuration size of at least " +
                       std::to_string(expected) + ", but got " + std::to_string(got)};
}

// --------------------------------------------------------------------- inverse dynamics

struct RneaRow {
  SE3 liMi;          // joint frame in the parent joint's frame, for the current q
  SpatialMotion s;   // motion subspace column (unused when nv == 0)
  SpatialMotion v;   // body velocity
  SpatialMotion a;   // body acceleration, gravity included
  SpatialForce f;    // body force, then the force the joint transmits to its subtree
  std::size_t iv = 0;
  std::size_t nv = 0;
};

// ---------------------------------------------------------------------- forward dynamics

// A 3x3 matrix, row-major.
struct Mat3 {
  std::array<double, 9> m{};

  double operator()(int i, int j) const { return m[3 * i + j]; }
  double& operator()(int i, int j) { return m[3 * i + j]; }
  Vector3D operator*(const Vector3D& v) const {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
            m[6] * v.x + m[7] * v.y + m[8] * v.z};
  }
  // M^T v
  Vector3D tmul(const Vector3D& v) const {
    return {m[0] * v.x + m[3] * v.y + m[6] * v.z, m[1] * v.x + m[4] * v.y + m[7] * v.z,
            m[2] * v.x + m[5] * v.y + m[8] * v.z};
  }
  double trace() const { return m[0] + m[4] + m[8]; }

  static Mat3 from_rotation(const SpatialRotation& r) {
    return {{r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)}};
  }
  // this * o
  Mat3 mul(const Mat3& o) const {
    Mat3 r;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        r(i, j) = (*this)(i, 0) * o(0, j) + (*this)(i, 1) * o(1, j) + (*this)(i, 2) * o(2, j);
    return r;
  }
  // this * o^T
  Mat3 mul_transposed(const Mat3& o) const {
    Mat3 r;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        r(i, j) = (*this)(i, 0) * o(j, 0) + (*this)(i, 1) * o(j, 1) + (*this)(i, 2) * o(j, 2);
    return r;
  }
  // [p]x * this: each column crossed with p from the left.
  Mat3 skew_left(const Vector3D& p) const {
    Mat3 r;
    for (int j = 0; j < 3; ++j) {
      const Vector3D c = velmora::cross(p, Vector3D{(*this)(0, j), (*this)(1, j), (*this)(2, j)});
      r(0, j) = c.x, r(1, j) = c.y, r(2, j) = c.z;
    }
    return r;
  }
  // this * [p]x: row i becomes (row i) x p.
  Mat3 skew_right(const Vector3D& p) const {
    Mat3 r;
    for (int i = 0; i < 3; ++i) {
      const Vector3D c = velmora::cross(Vector3D{(*this)(i, 0), (*this)(i, 1), (*this)(i, 2)}, p);
      r(i, 0) = c.x, r(i, 1) = c.y, r(i, 2) = c.z;
    }
    return r;
  }
};

// The spatial inertia of an articulated body, a symmetric 6x6 matrix in blocks
// [[A, B], [B^T, C]] (A and C symmetric). Applied to a motion (w; v) it gives the force
// (A w + B v; B^T w + C v).
struct ArticulatedInertia {
  Mat3 A, B, C;

  static ArticulatedInertia from_rigid(const Inertia& I) {
    // A = Ic - m [c]x^2, B = m [c]x, C = m 1.
    const double m = I.mass;
    const Vector3D& c = I.com;
    ArticulatedInertia r;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r.A(i, j) = I.inertia(i, j) - m * (c[i] * c[j]);
    const double cc = m * c.squared_norm();
    r.A(0, 0) += cc, r.A(1, 1) += cc, r.A(2, 2) += cc;
    r.B = {{0, -m * c.z, m * c.y, m * c.z, 0, -m * c.x, -m * c.y, m * c.x, 0}};
    r.C = {{m, 0, 0, 0, m, 0, 0, 0, m}};
    return r;
  }

  SpatialForce operator*(const SpatialMotion& x) const {
    return {A * x.rotation + B * x.translation, B.tmul(x.rotation) + C * x.translation};
  }

  // this -= U U^T / D, with U given as a force (n; f).
  void subtract_outer(const SpatialForce& U, double inv_d) {
    const Vector3D& n = U.angular;
    const Vector3D& f = U.linear;
    for (int i = 0; i < 3; ++i) {
      const double ni = n[i] * inv_d, fi = f[i] * inv_d;
      for (int j = 0; j < 3; ++j) {
        A(i, j) -= ni * n[j];
        B(i, j) -= ni * f[j];
        C(i, j) -= fi * f[j];
      }
    }
  }

  // Adds this inertia, given in a child frame placed at (R, p) in the parent frame,
  // to `parent`, expressed in the parent frame (the congruence with the placement's force
  // and inverse motion transforms). With A', B', C' the blocks rotated into the parent's
  // axes (R M R^T) and P = [p]x:
  //   A'' = A' - B' P - (B' P)^T - P C' P,  B'' = B' + P C',  C'' = C'.
  void add_to_parent(const SE3& placement, ArticulatedInertia& parent) const {
    const Mat3 r = Mat3::from_rotation(placement.rotation);
    const Mat3 a = r.mul(A).mul_transposed(r), b = r.mul(B).mul_transposed(r), c = r.mul(C).mul_transposed(r);
    const Vector3D& p = placement.translation;
    const Mat3 pc = c.skew_left(p);   // P C'
    const Mat3 bp = b.skew_right(p);  // B' P
    const Mat3 pcp = pc.skew_right(p);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        parent.A(i, j) += a(i, j) - bp(i, j) - bp(j, i) - pcp(i, j);
        parent.B(i, j) += b(i, j) + pc(i, j);
        parent.C(i, j) += c(i, j);
      }
  }
};

struct AbaRow {
  SE3 liMi;
  SpatialMotion s;
  SpatialMotion v;
  SpatialMotion c;    // velocity-product acceleration v x (S qd)
  SpatialMotion a;
  SpatialForce pa;    // bias force, then the articulated bias force
  ArticulatedInertia ia;
  SpatialForce u_col; // IA S
  double inv_d = 0;   // 1 / (S^T IA S)
  double u = 0;       // tau - S^T pa
  std::size_t iv = 0;
  std::size_t nv = 0;
};

// A joint whose articulated inertia about its axis vanishes (a massless body carrying
// nothing, or all mass on the axis of a revolute joint) has no defined acceleration.
// The test is relative to the size of the inertia so that rounding on a massive but
// degenerate subtree is caught as well.
constexpr double kSingularRatio = 1e-12;

bool singular(double d, const SpatialMotion& s, const ArticulatedInertia& ia) {
  const double scale = s.rotation.squared_norm() * std::abs(ia.A.trace()) +
                       s.translation.squared_norm() * std::abs(ia.C.trace());
  return std::abs(d) <= kSingularRatio * scale;
}

}  // namespace

std::expected<Configuration, DynamicsError> rnea(const Model& model, std::span<const double> q,
                                                 std::span<const double> v, std::span<const double> a) {
  if (auto e = check_at_least("q", model.nq, q.size())) return std::unexpected(*e);
  if (auto e = check_at_least("v", model.nv, v.size())) return std::unexpected(*e);
  if (auto e = check_at_least("a", model.nv, a.size())) return std::unexpected(*e);

  const std::size_t n = model.njoints();
  std::vector<RneaRow> rows(n);
  Configuration tau = Configuration::zeros(model.nv);
  if (n == 0) return tau;
  rows[0].a = {{}, -model.gravity};

  std::size_t iq = model.joint_models[0]->nq(), iv = model.joint_models[0]->nv();
  for (std::size_t i = 1; i < n; ++i) {
    const JointModel& jm = *model.joint_models[i];
    const std::size_t nq_i = jm.nq(), nv_i = jm.nv();
    const std::size_t parent = model.joint_parents[i];
    if (nv_i > 1) return unsupported_joint(model, i);
    if (parent >= i || iq + nq_i > model.nq || iv + nv_i > model.nv) return malformed_model();

    RneaRow& r = rows[i];
    const RneaRow& p = rows[parent];
    r.liMi = model.joint_placements[i] * jm.transform(q.subspan(iq, nq_i));
    r.v = r.liMi.act_inv_motion(p.v);
    r.a = r.liMi.act_inv_motion(p.a);
    if (nv_i == 1) {
      r.s = jm.motion_subspace();
      const SpatialMotion vj = r.s * v[iv];
      r.v += vj;
      r.a += r.s * a[iv] + cross_motion(r.v, vj);
    }
    const Inertia& I = model.inertias[i];
    r.f = I * r.a + cross_force(r.v, I * r.v);
    r.iv = iv;
    r.nv = nv_i;
    iq += nq_i;
    iv += nv_i;
  }

  for (std::size_t i = n - 1; i > 0; --i) {
    const RneaRow& r = rows[i];
    if (r.nv == 1) tau[r.iv] = inner(r.s, r.f);
    // The universe carries its children's forces to nothing that is returned.
    if (const std::size_t parent = model.joint_parents[i]; parent != 0) rows[parent].f += r.liMi.act_force(r.f);
  }
  return tau;
}

std::expected<Configuration, DynamicsError> aba(const Model& model, std::span<const double> q,
                                                std::span<const double> v, std::span<const double> tau) {
  if (q.size() != model.nq) return fail(ConfigurationError::parameter_size("q", model.nq, q.size()).display());
  if (v.size() != model.nv) return fail(ConfigurationError::parameter_size("v", model.nv, v.size()).display());
  if (tau.size() != v.size())
    return fail(ConfigurationError::parameter_size("tau", model.nv, tau.size()).display());

  const std::size_t n = model.njoints();
  Configuration ddq = Configuration::zeros(model.nv);
  if (n == 0) return ddq;
  std::vector<AbaRow> rows(n);

  // Velocities, velocity-product terms and the rigid inertias and bias forces.
  std::size_t iq = model.joint_models[0]->nq(), iv = model.joint_models[0]->nv();
  for (std::size_t i = 1; i < n; ++i) {
    const JointModel& jm = *model.joint_models[i];
    const std::size_t nq_i = jm.nq(), nv_i = jm.nv();
    const std::size_t parent = model.joint_parents[i];
    if (nv_i > 1) return unsupported_joint(model, i);
    if (parent >= i || iq + nq_i > model.nq || iv + nv_i > model.nv) return malformed_model();

    AbaRow& r = rows[i];
    r.liMi = model.joint_placements[i] * jm.transform(q.subspan(iq, nq_i));
    r.v = r.liMi.act_inv_motion(rows[parent].v);
    if (nv_i == 1) {
      r.s = jm.motion_subspace();
      const SpatialMotion vj = r.s * v[iv];
      r.v += vj;
      r.c = cross_motion(r.v, vj);
    }
    const Inertia& I = model.inertias[i];
    r.ia = ArticulatedInertia::from_rigid(I);
    r.pa = cross_force(r.v, I * r.v);
    r.iv = iv;
    r.nv = nv_i;
    iq += nq_i;
    iv += nv_i;
  }

  // Articulated inertias and bias forces, leaves first; each joint projects out its own
  // free direction before handing its subtree to the parent.
  for (std::size_t i = n - 1; i > 0; --i) {
    AbaRow& r = rows[i];
    SpatialForce pa = r.pa;
    if (r.nv == 1) {
      r.u_col = r.ia * r.s;
      const double d = inner(r.s, r.u_col);
      if (singular(d, r.s, r.ia))
        return fail("Singular articulated inertia at joint '" + model.joint_names[i] + "' (id " +
                    std::to_string(i) +
                    "): the bodies it moves have no inertia along its axis, so its acceleration is undefined");
      r.inv_d = 1.0 / d;
      r.u = tau[r.iv] - inner(r.s, r.pa);
      r.ia.subtract_outer(r.u_col, r.inv_d);
      pa += r.ia * r.c + r.u_col * (r.u * r.inv_d);
    }
    if (const std::size_t parent = model.joint_parents[i]; parent != 0) {
      AbaRow& p = rows[parent];
      r.ia.add_to_parent(r.liMi, p.ia);
      p.pa += r.liMi.act_force(pa);
    }
  }

  // Accelerations, root first.
  rows[0].a = {{}, -model.gravity};
  for (std::size_t i = 1; i < n; ++i) {
    AbaRow& r = rows[i];
    r.a = r.liMi.act_inv_motion(rows[model.joint_parents[i]].a) + r.c;
    if (r.nv == 1) {
      const double qdd = (r.u - inner(r.a, r.u_col)) * r.inv_d;
      r.a += r.s * qdd;
      ddq[r.iv] = qdd;
    }
  }
  return ddq;
}

}  // namespace velmora
