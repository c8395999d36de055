#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "core/joint/joint.hpp"
#include "core/algorithms/algorithms.hpp"
#include "core/model/model.hpp"

using namespace velmora;

namespace {

constexpr double g0 = 9.81;

SE3 translation(double x, double y, double z) { return {SpatialRotation::identity(), {x, y, z}}; }

Inertia body(double mass, const Vector3D& com, double ixx = 0, double iyy = 0, double izz = 0) {
  return {mass, com, Symmetric3{{ixx, iyy, izz, 0, 0, 0}}};
}

std::size_t add(Model& m, std::size_t parent, std::unique_ptr<JointModel> j, const SE3& placement,
                const Inertia& inertia) {
  const std::size_t id = m.add_joint(parent, std::move(j), placement, "j" + std::to_string(m.njoints())).value();
  m.inertias[id] = inertia;
  return id;
}

using Vec = std::vector<double>;

Vec tau_of(const Model& m, const Vec& q, const Vec& v, const Vec& a) {
  auto r = rnea(m, q, v, a);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
  return r ? r->values() : Vec(m.nv, NAN);
}

Vec ddq_of(const Model& m, const Vec& q, const Vec& v, const Vec& tau) {
  auto r = aba(m, q, v, tau);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
  return r ? r->values() : Vec(m.nv, NAN);
}

double max_abs(const Vec& x) {
  double s = 0;
  for (double e : x) s = std::max(s, std::abs(e));
  return s;
}

void expect_close(const Vec& got, const Vec& want, double rel, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const double scale = std::max(1.0, max_abs(want));
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], rel * scale) << what << " [" << i << "]";
}

// --------------------------------------------------------------------- random robots

using Rand = std::mt19937_64;
double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }
SpatialRotation random_rotation(Rand& r) {
  Vector3D axis = random_vector(r, 1);
  if (axis.norm() < 1e-3) axis = Vector3D::unit_z();
  return SpatialRotation::from_axis_angle(axis, uniform(r, -3, 3));
}

// A physically valid body: principal moments obeying the triangle inequality, rotated.
Inertia random_body(Rand& r) {
  const double a = uniform(r, 0.01, 0.1), b = uniform(r, 0.01, 0.1), c = uniform(r, 0.01, 0.1);
  const Symmetric3 principal{{b + c, a + c, a + b, 0, 0, 0}};
  return {uniform(r, 0.5, 3.0), random_vector(r, 0.3), principal.rotate(random_rotation(r))};
}

// A random tree of `n` joints of every kind (non-unit axes included), each parent chosen
// among the joints already added.
Model random_tree(Rand& r, std::size_t n) {
  Model m;
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t parent = std::uniform_int_distribution<std::size_t>(std::max<std::size_t>(i, 3) - 3, i - 1)(r);
    Vector3D axis = random_vector(r, 1);
    if (axis.norm() < 0.2) axis = Vector3D::unit_x();
    std::unique_ptr<JointModel> j;
    switch (i % 5) {
      case 0: j = make_continuous(axis); break;
      case 1: j = make_prismatic(axis); break;
      case 3: j = make_fixed(); break;
      default: j = make_revolute(axis); break;
    }
    add(m, parent, std::move(j), {random_rotation(r), random_vector(r, 0.5)}, random_body(r));
  }
  return m;
}

// The configuration for joint angles/displacements theta; continuous joints get a
// (cos, sin) pair of length `radius` (only its direction counts).
Vec configuration(const Model& m, const Vec& theta, double radius = 1.0) {
  Vec q(m.nq, 0.0);
  std::size_t iq = 0, iv = 0;
  for (const auto& j : m.joint_models) {
    if (j->get_joint_type() == JointType::Continuous) {
      q[iq] = radius * std::cos(theta[iv]);
      q[iq + 1] = radius * std::sin(theta[iv]);
    } else if (j->nv() == 1) {
      q[iq] = theta[iv];
    }
    iq += j->nq();
    iv += j->nv();
  }
  return q;
}

Vec random_vec(Rand& r, std::size_t n, double s) {
  Vec x(n);
  for (double& e : x) e = uniform(r, -s, s);
  return x;
}

// Kinetic energy 1/2 v.M(q)v, with M v = rnea(q, v=0, a=v) - g(q).
double kinetic_energy(const Model& m, const Vec& theta, const Vec& v) {
  const Vec q = configuration(m, theta);
  const Vec zero(m.nv, 0.0);
  const Vec mv = tau_of(m, q, zero, v), g = tau_of(m, q, zero, zero);
  double e = 0;
  for (std::size_t i = 0; i < v.size(); ++i) e += 0.5 * v[i] * (mv[i] - g[i]);
  return e;
}

}  // namespace

// ---------------------------------------------------------------------- closed forms

// A slider along z: tau = m (a + g) with a unit axis. With the axis (0, 0, 2) the body
// moves 2 q, so tau = 2 m (2 a + g).
TEST(DynamicsClosedForm, PrismaticAlongZ) {
  const double m = 2.5;
  for (const double scale : {1.0, 2.0}) {
    Model model;
    add(model, 0, make_prismatic({0, 0, scale}), SE3::identity(), body(m, {0.1, -0.2, 0.3}, 0.1, 0.2, 0.3));
    EXPECT_NEAR(tau_of(model, {0}, {0}, {0})[0], scale * m * g0, 1e-12);
    for (const double a : {0.0, 1.0, -3.0}) {
      const double expected = scale * m * (scale * a + g0);
      EXPECT_NEAR(tau_of(model, {0.7}, {1.1}, {a})[0], expected, 1e-12);
      EXPECT_NEAR(ddq_of(model, {0.7}, {1.1}, {expected})[0], a, 1e-12);
    }
  }
}

// The planar two-link arm (joints about x, links along y, gravity along -z) against the
// textbook M(q), C(q, v) v and g(q).
TEST(DynamicsClosedForm, TwoLinkPlanarArm) {
  const double m1 = 1.3, m2 = 0.8, l1 = 0.9, lc1 = 0.4, lc2 = 0.35, I1 = 0.07, I2 = 0.03;
  Model model;
  add(model, 0, make_revolute(Vector3D::unit_x()), SE3::identity(), body(m1, {0, lc1, 0}, I1, 0.01, 0.02));
  add(model, 1, make_revolute(Vector3D::unit_x()), translation(0, l1, 0), body(m2, {0, lc2, 0}, I2, 0.01, 0.02));

  Rand r(7);
  for (int k = 0; k < 10; ++k) {
    const Vec q = random_vec(r, 2, 3), v = random_vec(r, 2, 2), a = random_vec(r, 2, 2);
    const double c2 = std::cos(q[1]), s2 = std::sin(q[1]);
    const double M11 = m1 * lc1 * lc1 + m2 * (l1 * l1 + lc2 * lc2 + 2 * l1 * lc2 * c2) + I1 + I2;
    const double M12 = m2 * (lc2 * lc2 + l1 * lc2 * c2) + I2;
    const double M22 = m2 * lc2 * lc2 + I2;
    const double h = m2 * l1 * lc2 * s2;
    const double cv1 = -h * (2 * v[0] * v[1] + v[1] * v[1]), cv2 = h * v[0] * v[0];
    const double g1 = (m1 * lc1 + m2 * l1) * g0 * std::cos(q[0]) + m2 * lc2 * g0 * std::cos(q[0] + q[1]);
    const double g2 = m2 * lc2 * g0 * std::cos(q[0] + q[1]);

    expect_close(tau_of(model, q, {0, 0}, {0, 0}), {g1, g2}, 1e-12, "g(q)");
    expect_close(tau_of(model, q, v, a), {M11 * a[0] + M12 * a[1] + cv1 + g1, M12 * a[0] + M22 * a[1] + cv2 + g2},
                 1e-12, "tau");
    const Vec tau = {0.3 * k, -1.0};
    const double det = M11 * M22 - M12 * M12;
    const double b1 = tau[0] - cv1 - g1, b2 = tau[1] - cv2 - g2;
    expect_close(ddq_of(model, q, v, tau), {(M22 * b1 - M12 * b2) / det, (M11 * b2 - M12 * b1) / det}, 1e-11,
                 "ddq");
  }
}

// A continuous joint reads (cos, sin) of any length and behaves as a revolute joint at
// that angle; a revolute joint's axis length does not matter.
TEST(DynamicsClosedForm, ContinuousAndScaledAxesMatchUnitRevolute) {
  auto build = [](int variant) {
    Model m;
    const Vector3D axis1{0.3, -0.5, 0.8}, axis2{0, 0, 1};
    const double s = variant == 2 ? 2.0 : 1.0;
    add(m, 0, variant == 1 ? make_continuous(axis1) : make_revolute(axis1 * s), translation(0.1, 0, 0.2),
        body(1.2, {0.1, 0.2, 0.0}, 0.03, 0.04, 0.05));
    add(m, 1, make_revolute(axis2 * s), {SpatialRotation::from_axis_angle({1, 1, 0}, 0.3), {0, 0.4, 0}},
        body(0.7, {0.0, 0.2, 0.1}, 0.02, 0.01, 0.02));
    return m;
  };
  const Model unit = build(0), continuous = build(1), scaled = build(2);
  EXPECT_EQ(continuous.nq, 3u);
  EXPECT_EQ(continuous.nv, 2u);
  Rand r(11);
  for (int k = 0; k < 5; ++k) {
    const Vec theta = random_vec(r, 2, 3), v = random_vec(r, 2, 2), a = random_vec(r, 2, 2);
    const Vec tau = tau_of(unit, theta, v, a);
    expect_close(tau_of(continuous, configuration(continuous, theta, 2.0), v, a), tau, 1e-12, "continuous");
    expect_close(tau_of(scaled, theta, v, a), tau, 1e-12, "axis (0, 0, 2)");
    expect_close(ddq_of(continuous, configuration(continuous, theta, 0.5), v, tau), a, 1e-11, "continuous aba");
    expect_close(ddq_of(scaled, theta, v, tau), a, 1e-11, "scaled aba");
  }
}

// A fixed joint takes no slot in v, a, tau, and the body it carries weighs on the joint
// above it exactly as if it were welded to that joint's body (the same torques and
// accelerations as the model with the fixed body folded in).
TEST(DynamicsClosedForm, FixedJointBetweenRevolutes) {
  Model chained, folded;
  const Inertia b1 = body(1.1, {0, 0.2, 0.1}, 0.02, 0.03, 0.04), bf = body(0.9, {0.1, 0.1, 0}, 0.01, 0.02, 0.01),
                b2 = body(0.6, {0, 0.1, 0.2}, 0.01, 0.01, 0.02);
  const SE3 weld = {SpatialRotation::from_axis_angle({0, 1, 1}, 0.4), {0, 0.5, 0}};
  const SE3 after = {SpatialRotation::from_axis_angle({1, 0, 1}, -0.3), {0.05, 0.2, 0}};
  add(chained, 0, make_revolute({0, 0, 1}), SE3::identity(), b1);
  add(chained, 1, make_fixed(), weld, bf);
  add(chained, 2, make_revolute({1, 0, 0}), after, b2);
  ASSERT_EQ(chained.nv, 2u);
  add(folded, 0, make_revolute({0, 0, 1}), SE3::identity(), b1 + bf.act(weld));
  add(folded, 1, make_revolute({1, 0, 0}), weld * after, b2);
  Rand r(3);
  for (int k = 0; k < 5; ++k) {
    const Vec q = random_vec(r, 2, 3), v = random_vec(r, 2, 2), a = random_vec(r, 2, 2);
    expect_close(tau_of(chained, q, v, a), tau_of(folded, q, v, a), 1e-12, "tau");
    expect_close(ddq_of(chained, q, v, a), ddq_of(folded, q, v, a), 1e-11, "ddq");
  }
}

// ------------------------------------------------------------------------ invariants

// On random trees of every joint kind (fixed joints carrying bodies, non-unit axes): aba
// inverts rnea, and the rate of change of kinetic energy is the power of the non-gravity
// efforts, d/dt (1/2 v.M v) = v.(tau - g(q)), which ties the velocity-product terms to
// the mass matrix.
TEST(DynamicsInvariants, RandomTrees) {
  Rand r(2024);
  for (const std::size_t n : {1u, 4u, 12u, 30u}) {
    const Model model = random_tree(r, n);
    for (int k = 0; k < 4; ++k) {
      const Vec theta = random_vec(r, model.nv, 3), v = random_vec(r, model.nv, 2), a = random_vec(r, model.nv, 2);
      const Vec q = configuration(model, theta);
      const Vec tau = tau_of(model, q, v, a);
      expect_close(ddq_of(model, q, v, tau), a, 1e-9, "aba(rnea(a))");

      const std::size_t nv = model.nv;
      const Vec zero(nv, 0.0);
      const Vec g = tau_of(model, q, zero, zero);
      double power = 0;
      for (std::size_t i = 0; i < nv; ++i) power += v[i] * (tau[i] - g[i]);
      const double h = 1e-5;
      auto state = [&](double t) {
        Vec th(nv), vt(nv);
        for (std::size_t i = 0; i < nv; ++i) {
          th[i] = theta[i] + v[i] * t + 0.5 * a[i] * t * t;
          vt[i] = v[i] + a[i] * t;
        }
        return kinetic_energy(model, th, vt);
      };
      const double rate = (state(h) - state(-h)) / (2 * h);
      EXPECT_NEAR(rate, power, 1e-6 * (1.0 + std::abs(power) + std::abs(std::inner_product(v.begin(), v.end(), tau.begin(), 0.0)))) << "n=" << n;
    }
  }
}

// -------------------------------------------------------------------------- errors

// A joint that moves nothing with inertia about its axis has no defined acceleration:
// a massless leaf, or a point mass sitting on a revolute axis. Forward dynamics refuses
// instead of returning NaN or inf; inverse dynamics is still defined.
TEST(DynamicsErrors, SingularArticulatedInertia) {
  struct Case {
    std::unique_ptr<JointModel> (*joint)(const Vector3D&);
    Inertia leaf;
  };
  const Case cases[] = {{make_revolute, Inertia::zeros()},
                        {make_prismatic, Inertia::zeros()},
                        {make_revolute, body(2.0, {0, 0, 0.7})},  // on the z axis
                        {make_continuous, body(2.0, {0, 0, 0})}};
  for (const Case& c : cases) {
    Model model;
    add(model, 0, make_revolute({1, 0, 0}), SE3::identity(), body(1, {0, 0.3, 0}, 0.1, 0.1, 0.1));
    add(model, 1, c.joint({0, 0, 1}), translation(0, 0.5, 0), c.leaf);
    const Vec q = configuration(model, {0.3, 0.2});
    auto r = aba(model, q, Vec{0.1, 0.2}, Vec{0.0, 0.0});
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().message.find("Singular articulated inertia at joint 'j2' (id 2)"), std::string::npos)
        << r.error().message;
    EXPECT_TRUE(rnea(model, q, Vec{0.1, 0.2}, Vec{0.0, 0.0}).has_value());
  }

  // A massless body is fine when the joint carries bodies below it.
  Model model;
  add(model, 0, make_revolute({1, 0, 0}), SE3::identity(), Inertia::zeros());
  add(model, 1, make_fixed(), translation(0, 0.5, 0), body(1.0, {0, 0, 0}));
  auto r = aba(model, Vec{0.2}, Vec{0.1}, Vec{0.0});
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR((*r)[0], -g0 * std::cos(0.2) / 0.5, 1e-12);
}
