// The terms of the equation of motion on random trees of every joint kind, against the
// Newton-Euler and articulated-body results they must reproduce and the identities that
// tie them together. The trees number their joints so that a subtree's velocity
// coordinates need not be contiguous.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/joint/joint.hpp"
#include "core/model/model.hpp"

using namespace velmora;

namespace {

using Vec = std::vector<double>;
using Rand = std::mt19937_64;

double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }
SpatialRotation random_rotation(Rand& r) {
  Vector3D axis = random_vector(r, 1);
  if (axis.norm() < 1e-3) axis = Vector3D::unit_z();
  return SpatialRotation::from_axis_angle(axis, uniform(r, -3, 3));
}

// Each joint's parent is one of the three joints added before it; kinds in turn, with
// non-unit axes, general placements and physically valid bodies.
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
      default: j = make_revolute(i % 2 ? axis : Vector3D::unit_y()); break;
    }
    const std::size_t id = m.add_joint(parent, std::move(j), {random_rotation(r), random_vector(r, 0.5)},
                                       "j" + std::to_string(i)).value();
    const double a = uniform(r, 0.01, 0.1), b = uniform(r, 0.01, 0.1), c = uniform(r, 0.01, 0.1);
    m.inertias[id] = {uniform(r, 0.5, 3.0), random_vector(r, 0.3),
                      Symmetric3{{b + c, a + c, a + b, 0, 0, 0}}.rotate(random_rotation(r))};
  }
  return m;
}

// q for joint angles or displacements theta (continuous joints as (cos, sin)).
Vec configuration(const Model& m, const Vec& theta) {
  Vec q(m.nq, 0.0);
  std::size_t iq = 0, iv = 0;
  for (const auto& j : m.joint_models) {
    if (j->get_joint_type() == JointType::Continuous) {
      q[iq] = std::cos(theta[iv]), q[iq + 1] = std::sin(theta[iv]);
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

Vec rnea_of(const Model& m, const Vec& q, const Vec& v, const Vec& a) { return rnea(m, q, v, a).value().values(); }

double max_abs(const Vec& x) {
  double s = 0;
  for (double e : x) s = std::max(s, std::abs(e));
  return s;
}

}  // namespace

TEST(DynamicsQuantities, RandomTreesAgreeWithNewtonEulerAndArticulatedBodies) {
  Rand r(77);
  for (const std::size_t n : {1u, 4u, 12u, 30u}) {
    Model model = random_tree(r, n);
    const std::size_t nv = model.nv;
    for (int k = 0; k < 3; ++k) {
      const Vec theta = random_vec(r, nv, 3), v = random_vec(r, nv, 2), tau = random_vec(r, nv, 5);
      const Vec q = configuration(model, theta), zero(nv, 0.0);
      const DenseMatrix M = mass_matrix(model, q).value();
      const Vec g = rnea_of(model, q, zero, zero);
      const double scale = std::max(1.0, max_abs(M.values));
      // Column j of M is rnea(q, 0, e_j) - g: the Newton-Euler pass, an independent route.
      for (std::size_t j = 0; j < nv; ++j) {
        Vec e(nv, 0.0);
        e[j] = 1;
        const Vec col = rnea_of(model, q, zero, e);
        for (std::size_t i = 0; i < nv; ++i) {
          EXPECT_NEAR(M(i, j), col[i] - g[i], 1e-12 * scale) << "n=" << n << " M(" << i << ", " << j << ")";
          EXPECT_EQ(M(i, j), M(j, i));
        }
      }
      // M^-1 M = I.
      const DenseMatrix Minv = inverse_mass_matrix(model, q).value();
      for (std::size_t i = 0; i < nv; ++i)
        for (std::size_t j = 0; j < nv; ++j) {
          double x = 0;
          for (std::size_t l = 0; l < nv; ++l) x += Minv(i, l) * M(l, j);
          EXPECT_NEAR(x, i == j ? 1.0 : 0.0, 1e-10) << "n=" << n << " (M^-1 M)(" << i << ", " << j << ")";
        }
      // Forward dynamics through the factorisation, and the factor's solve, equal aba.
      const Vec ddq = aba(model, q, v, tau).value().values();
      const Vec by_factor = forward_dynamics_by_factor(model, q, v, tau).value().values();
      const Vec bias = bias_forces(model, q, v).value().values();
      Vec rhs(nv);
      for (std::size_t i = 0; i < nv; ++i) rhs[i] = tau[i] - bias[i];
      const MassMatrixFactor factor = MassMatrixFactor::compute(model, q).value();
      factor.solve_in_place(rhs.data());
      for (std::size_t i = 0; i < nv; ++i) {
        EXPECT_NEAR(by_factor[i], ddq[i], 1e-10 * std::max(1.0, max_abs(ddq))) << "n=" << n;
        EXPECT_NEAR(rhs[i], ddq[i], 1e-10 * std::max(1.0, max_abs(ddq))) << "n=" << n;
      }
      // C v is the velocity-product part of Newton-Euler.
      const DenseMatrix C = coriolis_matrix(model, q, v).value();
      const Vec c = rnea_of(model, q, v, zero);
      for (std::size_t i = 0; i < nv; ++i) {
        double cv = 0;
        for (std::size_t j = 0; j < nv; ++j) cv += C(i, j) * v[j];
        EXPECT_NEAR(cv, c[i] - g[i], 1e-11 * std::max(1.0, max_abs(c))) << "n=" << n;
      }
      // dM/dt along v (central difference) = C + C^T.
      const double h = 1e-6;
      Vec ahead = theta, behind = theta;
      for (std::size_t i = 0; i < nv; ++i) ahead[i] += h * v[i], behind[i] -= h * v[i];
      const DenseMatrix Ma = mass_matrix(model, configuration(model, ahead)).value();
      const DenseMatrix Mb = mass_matrix(model, configuration(model, behind)).value();
      for (std::size_t i = 0; i < nv; ++i)
        for (std::size_t j = 0; j < nv; ++j)
          EXPECT_NEAR((Ma(i, j) - Mb(i, j)) / (2 * h), C(i, j) + C(j, i), 1e-6 * scale) << "n=" << n;
      // The momentum matrix times v is the momentum.
      const SpatialForce hG = centroidal_momentum(model, q, v).value();
      const DenseMatrix A = centroidal_momentum_matrix(model, q).value();
      const auto expected = hG.as_vector6d().data;
      for (int e = 0; e < 6; ++e) {
        double x = 0;
        for (std::size_t j = 0; j < nv; ++j) x += A(static_cast<std::size_t>(e), j) * v[j];
        EXPECT_NEAR(x, expected[e], 1e-12 * std::max(1.0, max_abs(A.values))) << "n=" << n;
      }
    }
  }
}

TEST(DynamicsQuantities, SingularInertiaIsRefused) {
  // A massless leaf on a revolute joint: nothing resists its acceleration.
  Model model;
  model.inertias[model.add_joint(0, make_revolute({1, 0, 0}), SE3::identity(), "j1").value()] =
      {1.0, {0, 0.3, 0}, Symmetric3{{0.1, 0.1, 0.1, 0, 0, 0}}};
  model.add_joint(1, make_revolute({0, 0, 1}), {SpatialRotation::identity(), {0, 0.5, 0}}, "j2").value();
  const Vec q{0.3, 0.2}, v{0.1, 0.2}, tau{0, 0};
  auto minv = inverse_mass_matrix(model, q);
  ASSERT_FALSE(minv.has_value());
  EXPECT_NE(minv.error().message.find("Singular articulated inertia at joint 'j2' (id 2)"), std::string::npos);
  auto fd = forward_dynamics_by_factor(model, q, v, tau);
  ASSERT_FALSE(fd.has_value());
  EXPECT_NE(fd.error().message.find("Singular mass matrix at joint 'j2' (id 2)"), std::string::npos);
  EXPECT_FALSE(MassMatrixFactor::compute(model, q).has_value());
  // The terms that need no inverse are still defined.
  EXPECT_TRUE(mass_matrix(model, q).has_value());
  EXPECT_TRUE(coriolis_matrix(model, q, v).has_value());
}

TEST(DynamicsQuantities, SizesAndInconsistentModelsAreRefused) {
  Rand r(5);
  Model model = random_tree(r, 4);
  const Vec q(model.nq, 0.1), v(model.nv, 0.2);
  EXPECT_FALSE(mass_matrix(model, Vec(model.nq + 1, 0.0)).has_value());
  EXPECT_FALSE(coriolis_matrix(model, q, Vec(model.nv - 1, 0.0)).has_value());
  EXPECT_FALSE(centroidal_momentum(model, Vec{}, v).has_value());
  model.nv += 1;  // counts edited behind the records' back
  const Vec v2(model.nv, 0.2);
  EXPECT_FALSE(mass_matrix(model, q).has_value());
  EXPECT_FALSE(inverse_mass_matrix(model, q).has_value());
  EXPECT_FALSE(coriolis_matrix(model, q, v2).has_value());
  EXPECT_FALSE(centroidal_momentum_matrix(model, q).has_value());
  EXPECT_FALSE(forward_dynamics_by_factor(model, q, v2, v2).has_value());
}
