// State derivatives of the dynamics against central differences (with a Richardson step)
// of rnea and aba, on random trees of every joint kind with general axes and placements,
// fixed joints between moving ones, and branches whose joints are numbered interleaved.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/derivatives.hpp"
#include "core/joint/joint.hpp"
#include "core/model/model.hpp"

using namespace velmora;

namespace {

using Vec = std::vector<double>;
using Rand = std::mt19937_64;

double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }
SpatialRotation random_rotation(Rand& r) {
  return SpatialRotation::from_axis_angle(random_vector(r, 1) + Vector3D{0, 0, 0.1}, uniform(r, -3, 3));
}

// Joints of every kind; the parent of joint i is one of the three before it, so branches
// interleave in the numbering. Every body has mass and a full rotational inertia.
Model random_tree(Rand& r, std::size_t n) {
  Model m;
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t parent = std::uniform_int_distribution<std::size_t>(i > 3 ? i - 3 : 0, i - 1)(r);
    const Vector3D axis = random_vector(r, 1) + Vector3D{0.3, 0, 0};
    std::unique_ptr<JointModel> j;
    switch (i % 5) {
      case 0: j = make_continuous(axis); break;
      case 1: j = make_prismatic(axis); break;
      case 3: j = make_fixed(); break;
      default: j = make_revolute(axis); break;
    }
    const SE3 placement{random_rotation(r), random_vector(r, 0.5)};
    const std::size_t id = m.add_joint(parent, std::move(j), placement, "j" + std::to_string(i)).value();
    const double a = uniform(r, 0.01, 0.1), b = uniform(r, 0.01, 0.1), c = uniform(r, 0.01, 0.1);
    m.inertias[id] = {uniform(r, 0.5, 3.0), random_vector(r, 0.3),
                      Symmetric3{{b + c, a + c, a + b, 0, 0, 0}}.rotate(random_rotation(r))};
  }
  return m;
}

// The configuration of joint coordinates theta (a continuous joint by its angle).
Vec configuration(const Model& m, const Vec& theta) {
  Vec q(m.nq, 0.0);
  std::size_t iq = 0, iv = 0;
  for (const auto& j : m.joint_models) {
    if (j->get_joint_type() == JointType::Continuous) {
      q[iq] = std::cos(theta[iv]);
      q[iq + 1] = std::sin(theta[iv]);
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

// Row-major n x n: column j is the derivative of f at x along coordinate j, by central
// differences at h and h/2 combined to cancel the h^2 term.
template <class F>
Vec jacobian(F&& f, const Vec& x, double h) {
  const std::size_t n = x.size();
  Vec out;
  for (std::size_t j = 0; j < n; ++j) {
    auto central = [&](double s) {
      Vec plus = x, minus = x;
      plus[j] += s, minus[j] -= s;
      const Vec fp = f(plus), fm = f(minus);
      Vec d(fp.size());
      for (std::size_t i = 0; i < d.size(); ++i) d[i] = (fp[i] - fm[i]) / (2 * s);
      return d;
    };
    const Vec d1 = central(h), d2 = central(h / 2);
    if (out.empty()) out.assign(d1.size() * n, 0.0);
    for (std::size_t i = 0; i < d1.size(); ++i) out[i * n + j] = (4 * d2[i] - d1[i]) / 3;
  }
  return out;
}

double deviation(const Vec& got, const Vec& want) {
  double diff = 0, scale = 1;
  for (std::size_t i = 0; i < got.size(); ++i) {
    diff = std::max(diff, std::abs(got[i] - want[i]));
    scale = std::max(scale, std::abs(want[i]));
  }
  return diff / scale;
}

Vec rnea_of(const Model& m, const Vec& q, const Vec& v, const Vec& a) { return rnea(m, q, v, a)->values(); }
Vec aba_of(const Model& m, const Vec& q, const Vec& v, const Vec& tau) { return aba(m, q, v, tau)->values(); }

}  // namespace

TEST(DynamicsDerivatives, InverseDynamicsMatchesDifferencesOnRandomTrees) {
  Rand r(42);
  for (int trial = 0; trial < 8; ++trial) {
    const Model m = random_tree(r, 4 + 3 * static_cast<std::size_t>(trial));
    const std::size_t nv = m.nv;
    const Vec theta = random_vec(r, nv, 3), v = random_vec(r, nv, 2), a = random_vec(r, nv, 2);
    const Vec q = configuration(m, theta);
    Vec dq(nv * nv), dv(nv * nv), M(nv * nv);
    ASSERT_TRUE(rnea_derivatives(m, q, v, a, dq, dv, M).has_value());
    EXPECT_LT(deviation(dq, jacobian([&](const Vec& t) { return rnea_of(m, configuration(m, t), v, a); }, theta, 1e-3)),
              1e-8) << "trial " << trial;
    EXPECT_LT(deviation(dv, jacobian([&](const Vec& x) { return rnea_of(m, q, x, a); }, v, 1e-3)), 1e-8);
    EXPECT_LT(deviation(M, jacobian([&](const Vec& x) { return rnea_of(m, q, v, x); }, a, 1.0)), 1e-12);
    for (std::size_t i = 0; i < nv; ++i)
      for (std::size_t j = 0; j < i; ++j) EXPECT_EQ(M[i * nv + j], M[j * nv + i]);
  }
}

TEST(DynamicsDerivatives, ForwardDynamicsMatchesDifferencesOnRandomTrees) {
  Rand r(7);
  for (int trial = 0; trial < 8; ++trial) {
    const Model m = random_tree(r, 4 + 3 * static_cast<std::size_t>(trial));
    const std::size_t nv = m.nv;
    const Vec theta = random_vec(r, nv, 3), v = random_vec(r, nv, 2), tau = random_vec(r, nv, 5);
    const Vec q = configuration(m, theta);
    Vec dq(nv * nv), dv(nv * nv), Minv(nv * nv), dtq(nv * nv), dtv(nv * nv), M(nv * nv);
    ASSERT_TRUE(aba_derivatives(m, q, v, tau, dq, dv, Minv).has_value());
    const auto ddq_by_theta = [&](const Vec& t) { return aba_of(m, configuration(m, t), v, tau); };
    EXPECT_LT(deviation(dq, jacobian(ddq_by_theta, theta, 1e-3)), 1e-7) << "trial " << trial;
    EXPECT_LT(deviation(dv, jacobian([&](const Vec& x) { return aba_of(m, q, x, tau); }, v, 1e-3)), 1e-7);
    EXPECT_LT(deviation(Minv, jacobian([&](const Vec& x) { return aba_of(m, q, v, x); }, tau, 1.0)), 1e-10);
    // Minv M = 1.
    ASSERT_TRUE(rnea_derivatives(m, q, v, aba_of(m, q, v, tau), dtq, dtv, M).has_value());
    Vec product(nv * nv, 0.0), identity(nv * nv, 0.0);
    for (std::size_t i = 0; i < nv; ++i) {
      identity[i * nv + i] = 1;
      for (std::size_t k = 0; k < nv; ++k)
        for (std::size_t j = 0; j < nv; ++j) product[i * nv + j] += Minv[i * nv + k] * M[k * nv + j];
    }
    EXPECT_LT(deviation(product, identity), 1e-10);
  }
}

TEST(DynamicsDerivatives, NoVelocityDerivativeAtRest) {
  Rand r(3);
  const Model m = random_tree(r, 12);
  const std::size_t nv = m.nv;
  const Vec q = configuration(m, random_vec(r, nv, 3)), zero(nv, 0.0), a = random_vec(r, nv, 2);
  Vec dq(nv * nv), dv(nv * nv), M(nv * nv);
  ASSERT_TRUE(rnea_derivatives(m, q, zero, a, dq, dv, M).has_value());
  for (double x : dv) EXPECT_EQ(x, 0.0);
  ASSERT_TRUE(aba_derivatives(m, q, zero, a, dq, dv, M).has_value());
  for (double x : dv) EXPECT_EQ(x, 0.0);
}

TEST(DynamicsDerivatives, SizesAndSingularMassMatrixAreRefused) {
  Model m;
  m.add_joint(0, make_revolute({1, 0, 0}), SE3::identity(), "a").value();
  m.inertias[1] = {1.0, {0, 0.5, 0}, Symmetric3{{0.1, 0.1, 0.1, 0, 0, 0}}};
  m.add_joint(1, make_revolute({0, 1, 0}), {SpatialRotation::identity(), {0, 1, 0}}, "b").value();
  Vec two(2, 0.3), three(3, 0.0), out(4), small(3);
  EXPECT_FALSE(rnea_derivatives(m, three, two, two, out, out, out).has_value());
  EXPECT_FALSE(rnea_derivatives(m, two, two, three, out, out, out).has_value());
  EXPECT_FALSE(rnea_derivatives(m, two, two, two, out, small, out).has_value());
  EXPECT_FALSE(aba_derivatives(m, two, three, two, out, out, out).has_value());
  // The second body is massless: its joint has no inertia to accelerate.
  EXPECT_TRUE(rnea_derivatives(m, two, two, two, out, out, out).has_value());
  const auto refused = aba_derivatives(m, two, two, two, out, out, out);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message.find("'b'"), std::string::npos) << refused.error().message;
}
