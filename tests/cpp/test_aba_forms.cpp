// Forward dynamics by each of its forms (joint frames, world axes, the mass matrix's tree
// factorisation): every one inverts the Newton-Euler efforts on trees of every joint kind,
// falls at gravity where it must, and names the same joint when an articulated inertia is
// singular, also on robots far from the world's origin.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"
#include "core/joint/joint.hpp"
#include "core/model/model.hpp"
#include "core/spatial/lie.hpp"

using namespace velmora;
using passes::AbaForm;

namespace {

using Vec = std::vector<double>;
using Rand = std::mt19937_64;

constexpr AbaForm kForms[] = {AbaForm::JointFrames, AbaForm::World, AbaForm::Factor};
const char* name(AbaForm f) { return f == AbaForm::JointFrames ? "joint frames" : f == AbaForm::World ? "world" : "factor"; }

double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }

Inertia random_body(Rand& r) {
  const double a = uniform(r, 0.01, 0.1), b = uniform(r, 0.01, 0.1), c = uniform(r, 0.01, 0.1);
  const Symmetric3 principal{{b + c, a + c, a + b, 0, 0, 0}};
  return {uniform(r, 0.5, 3.0), random_vector(r, 0.3),
          principal.rotate(SpatialRotation::from_axis_angle(random_vector(r, 1), uniform(r, -3, 3)))};
}

std::size_t add(Model& m, std::size_t parent, std::unique_ptr<JointModel> j, const SE3& placement, const Inertia& I) {
  const std::size_t id = m.add_joint(parent, std::move(j), placement, "j" + std::to_string(m.njoints())).value();
  m.inertias[id] = I;
  return id;
}

// A random tree with `root` as its first joint (placed at `origin`), then joints of every
// one-axis kind about general and coordinate axes, with placements that turn or only
// translate, a spherical and a planar joint among them, and branches from the world.
Model random_tree(Rand& r, std::unique_ptr<JointModel> root, const Vector3D& origin, std::size_t n) {
  Model m;
  add(m, 0, std::move(root), {SpatialRotation::identity(), origin}, random_body(r));
  for (std::size_t i = 2; i <= n; ++i) {
    const std::size_t parent = i % 6 == 0 ? 0 : std::uniform_int_distribution<std::size_t>(i > 3 ? i - 3 : 1, i - 1)(r);
    const Vector3D axis = i % 2 ? random_vector(r, 1) + Vector3D{0.5, 0, 0} : Vector3D{0, 0, i % 4 ? 1.0 : -1.0};
    std::unique_ptr<JointModel> j;
    switch (i % 7) {
      case 0: j = make_continuous(axis); break;
      case 1: j = make_prismatic(axis); break;
      case 3: j = i % 3 ? make_spherical() : make_planar(); break;
      case 5: j = make_fixed(); break;
      default: j = make_revolute(axis); break;
    }
    const SE3 placement{i % 3 ? SpatialRotation::from_axis_angle(random_vector(r, 1), 1.0) : SpatialRotation::identity(),
                        random_vector(r, 0.4)};
    add(m, parent, std::move(j), placement, random_body(r));
  }
  return m;
}

// A random configuration: angles, (cos, sin) pairs and unit quaternions where they belong.
Vec random_configuration(Rand& r, const Model& m) {
  Vec q(m.nq);
  for (std::size_t i = 1; i < m.njoints(); ++i) {
    const JointMotion& motion = m.steps()[i].motion;
    double* x = q.data() + m.steps()[i].idx_q;
    for (std::size_t k = 0; k < motion.nq(); ++k) x[k] = uniform(r, -1.5, 1.5);
    if (motion.kind == JointType::Continuous || motion.kind == JointType::Planar) {
      const double angle = uniform(r, -3, 3);
      x[motion.nq() - 2] = std::cos(angle), x[motion.nq() - 1] = std::sin(angle);
    }
    if (const int offset = quaternion_offset(motion.kind); offset >= 0) {
      const Quaternion quat = quaternion_exp(random_vector(r, 2));
      x[offset] = quat.w, x[offset + 1] = quat.x, x[offset + 2] = quat.y, x[offset + 3] = quat.z;
    }
  }
  return q;
}

Vec random_vec(Rand& r, std::size_t n, double s) {
  Vec x(n);
  for (double& e : x) e = uniform(r, -s, s);
  return x;
}

}  // namespace

// aba(q, v, rnea(q, v, a)) == a by every form, on trees rooted on each kind of joint,
// near the origin and 1000 m away from it.
TEST(AbaForms, InvertNewtonEulerOnTreesOfEveryKind) {
  Rand r(21);
  for (const double distance : {0.0, 1000.0}) {
    for (int root = 0; root < 4; ++root) {
      std::unique_ptr<JointModel> first = root == 0   ? make_revolute({0.3, -0.5, 0.8})
                                          : root == 1 ? make_free_flyer()
                                          : root == 2 ? make_planar()
                                                      : make_prismatic({0, 0, 1});
      const Model model = random_tree(r, std::move(first), {distance, -0.5 * distance, 0.2}, 16);
      for (int k = 0; k < 3; ++k) {
        const Vec q = random_configuration(r, model), v = random_vec(r, model.nv, 2), a = random_vec(r, model.nv, 2);
        const Vec tau = rnea(model, q, v, a).value().values();
        for (const AbaForm form : kForms) {
          auto ddq = passes::aba_in(form, model, q, v, tau);
          ASSERT_TRUE(ddq.has_value()) << name(form) << ": " << ddq.error().message;
          for (std::size_t i = 0; i < model.nv; ++i)
            EXPECT_NEAR((*ddq)[i], a[i], 1e-8 * (1 + std::abs(a[i])))
                << name(form) << ", root kind " << root << ", distance " << distance << ", coordinate " << i;
        }
      }
    }
  }
}

// Placements that turn about a coordinate axis let the joint-frame passes skip the general
// rotation: for joints about or along each axis (and fixed ones) under placements that only
// translate, turn about the joint's own axis, about another axis, or generally, aba still
// undoes rnea by every form, and the joint-frame form agrees with the world form, in the
// build for any x86-64 and in the AVX2 one.
TEST(AbaForms, PlacementsTurningAboutCoordinateAxes) {
  Rand r(5);
  Model model;
  std::size_t parent = 0;
  int count = 0;
  for (int kind = 0; kind < 5; ++kind) {
    for (int shape = 0; shape < 4; ++shape, ++count) {
      const int axis = count % 3;
      const double sign = count % 2 ? -1.0 : 1.0;
      const Vector3D e{axis == 0 ? sign : 0.0, axis == 1 ? sign : 0.0, axis == 2 ? sign : 0.0};
      std::unique_ptr<JointModel> j = kind == 0   ? make_revolute(e)
                                      : kind == 1 ? make_continuous(e)
                                      : kind == 2 ? make_prismatic(e)
                                      : kind == 3 ? make_prismatic({0.3, -0.4, 0.5})
                                                  : make_fixed();
      const double angle = uniform(r, -3, 3);
      const int turn = shape == 1 ? axis : (axis + 1) % 3;
      const SpatialRotation R = shape == 0   ? SpatialRotation::identity()
                                : shape == 3 ? SpatialRotation::from_axis_angle(random_vector(r, 1), angle)
                                : turn == 0  ? SpatialRotation::about<0>(std::cos(angle), std::sin(angle))
                                : turn == 1  ? SpatialRotation::about<1>(std::cos(angle), std::sin(angle))
                                             : SpatialRotation::about<2>(std::cos(angle), std::sin(angle));
      // Every third joint starts a branch from the one before its parent.
      const std::size_t id = add(model, count % 3 == 2 && parent > 1 ? parent - 1 : parent, std::move(j),
                                 {R, random_vector(r, 0.3)}, random_body(r));
      EXPECT_EQ(model.steps()[id].placement_turn_axis, shape == 0 ? 0 : shape == 3 ? -1 : turn);
      parent = id;
    }
  }
  for (int k = 0; k < 8; ++k) {
    const bool wide = passes::use_wide_vectors(k % 2 == 0);
    const Vec q = random_configuration(r, model), v = random_vec(r, model.nv, 2), a = random_vec(r, model.nv, 2);
    const Vec tau = rnea(model, q, v, a).value().values();
    const Vec world = passes::aba_in(AbaForm::World, model, q, v, tau).value().values();
    for (const AbaForm form : kForms) {
      const Vec ddq = passes::aba_in(form, model, q, v, tau).value().values();
      for (std::size_t i = 0; i < model.nv; ++i) {
        EXPECT_NEAR(ddq[i], a[i], 1e-9 * (1 + std::abs(a[i]))) << name(form) << ", wide " << wide << ", coordinate " << i;
        EXPECT_NEAR(ddq[i], world[i], 1e-10 * (1 + std::abs(a[i]))) << name(form) << ", wide " << wide << ", coordinate " << i;
      }
    }
  }
  passes::use_wide_vectors(true);
}

// A free body anywhere, at rest and without efforts, falls at gravity without turning;
// two bodies hanging from the world on their own joints do not interact.
TEST(AbaForms, FreeBodyFallsAndSeparateBranchesAreIndependent) {
  for (const AbaForm form : kForms) {
    Model model;
    add(model, 0, make_free_flyer(), SE3::identity(),
        Inertia{2.0, {0.1, -0.2, 0.3}, Symmetric3{{0.3, 0.5, 0.4, 0.01, -0.02, 0.03}}});
    const Quaternion quat = quaternion_exp({0.7, 0.2, -0.5});
    const Vec q = {300.0, -200.0, 50.0, quat.w, quat.x, quat.y, quat.z}, zero(6, 0.0);
    const Vec a = passes::aba_in(form, model, q, zero, zero).value().values();
    const Vector3D g = quat.rotation().transpose_mul(model.gravity);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_NEAR(a[k], 0, 1e-12) << name(form);
      EXPECT_NEAR(a[k + 3], g[static_cast<int>(k)], 1e-12) << name(form);
    }

    // Two pendulums about x from the world, bob of mass m at distance l: each
    // ml^2 qdd = tau - m g l cos(q), whatever the other does.
    Model two;
    const double m = 1.5, l = 0.7;
    add(two, 0, make_revolute({1, 0, 0}), SE3::identity(), Inertia{m, {0, l, 0}, Symmetric3{}});
    add(two, 0, make_revolute({1, 0, 0}), {SpatialRotation::identity(), {2, 0, 0}}, Inertia{m, {0, l, 0}, Symmetric3{}});
    const Vec q2 = {0.4, -1.1}, tau = {0.3, -2.0};
    const Vec ddq = passes::aba_in(form, two, q2, Vec{1.0, -0.5}, tau).value().values();
    for (std::size_t k = 0; k < 2; ++k)
      EXPECT_NEAR(ddq[k], (tau[k] - m * 9.81 * l * std::cos(q2[k])) / (m * l * l), 1e-12) << name(form);
  }
}

// A joint whose bodies have no inertia about its motion is named by both forms of the
// articulated-body algorithm, wherever the robot stands: the test compares with the size
// of the inertia about the joint itself, not about the origin of the frame it works in.
TEST(AbaForms, SingularJointIsNamedByEachForm) {
  const Inertia massless{0, {}, Symmetric3{}}, on_axis{2.0, {0, 0, 0.7}, Symmetric3{}};
  for (const double distance : {0.0, 250.0}) {
    for (int c = 0; c < 4; ++c) {
      Model model;
      add(model, 0, make_revolute({1, 0, 0}), {SpatialRotation::identity(), {distance, distance, 0}},
          Inertia{1, {0, 0.3, 0}, Symmetric3{{0.1, 0.1, 0.1, 0, 0, 0}}});
      std::unique_ptr<JointModel> j = c == 1 ? make_prismatic({0, 0, 1}) : c == 3 ? make_continuous({0, 0, 1})
                                                                               : make_revolute({0, 0, 1});
      add(model, 1, std::move(j), {SpatialRotation::from_axis_angle({1, 2, 3}, 0.4), {0, 0.5, 0}},
          c == 2 ? on_axis : c == 3 ? Inertia{2.0, {}, Symmetric3{}} : massless);
      const Vec q = c == 3 ? Vec{0.3, std::cos(0.2), std::sin(0.2)} : Vec{0.3, 0.2};
      for (const AbaForm form : {AbaForm::JointFrames, AbaForm::World}) {
        auto r = passes::aba_in(form, model, q, Vec{0.1, 0.2}, Vec{0.0, 0.0});
        ASSERT_FALSE(r.has_value()) << name(form) << ", case " << c << ", distance " << distance;
        EXPECT_NE(r.error().message.find("Singular articulated inertia at joint 'j2' (id 2)"), std::string::npos)
            << r.error().message;
        Vec out{7.0, 7.0};  // a refused call writes nothing
        EXPECT_FALSE(passes::aba_in(form, model, q, Vec{0.1, 0.2}, Vec{0.0, 0.0}, out.data()));
        EXPECT_EQ(out, (Vec{7.0, 7.0}));
      }
    }
    // A light body far out on a joint is not singular: the test is relative to the joint.
    Model light;
    add(light, 0, make_revolute({0, 0, 1}), {SpatialRotation::identity(), {distance, 0, 0}},
        Inertia{1e-6, {0.01, 0, 0}, Symmetric3{}});
    for (const AbaForm form : {AbaForm::JointFrames, AbaForm::World}) {
      auto r = passes::aba_in(form, light, Vec{0.0}, Vec{0.0}, Vec{1e-10});
      ASSERT_TRUE(r.has_value()) << name(form) << ": " << r.error().message;
      EXPECT_NEAR((*r)[0], 1.0, 1e-9) << name(form);
    }
  }
}

// The forms that write into a caller's array read every input before they write: the
// output may be one of the inputs.
TEST(AbaForms, ResultsWrittenOverTheirInputs) {
  Rand r(9);
  const Model model = random_tree(r, make_free_flyer(), {1, 2, 0}, 12);
  const Vec q = random_configuration(r, model), v = random_vec(r, model.nv, 2), x = random_vec(r, model.nv, 5);
  const Vec tau = rnea(model, q, v, x).value().values(), ddq = aba(model, q, v, x).value().values();
  Vec inout = x;
  ASSERT_TRUE(rnea(model, q, v, inout, inout.data()));
  EXPECT_EQ(inout, tau);
  inout = x;
  ASSERT_TRUE(aba(model, q, v, inout, inout.data()));
  EXPECT_EQ(inout, ddq);
  inout = v;
  ASSERT_TRUE(aba(model, q, inout, x, inout.data()));
  EXPECT_EQ(inout, ddq);
}

// The passes compiled for AVX2 and FMA compute the same operations in the same order as
// those for any x86-64, with products and sums fused: the results agree to rounding (the
// forward dynamics to the mass matrix's condition number times it), not bit for bit.
TEST(AbaForms, WideVectorFormAgreesToRounding) {
  if (!passes::use_wide_vectors(true)) GTEST_SKIP() << "no AVX2 and FMA on this processor";
  Rand r(5);
  for (int root = 0; root < 2; ++root) {
    const Model model = random_tree(r, root ? make_free_flyer() : make_revolute({0, 1, 0}), {3, 1, 0}, 24);
    const Vec q = random_configuration(r, model), v = random_vec(r, model.nv, 2), tau = random_vec(r, model.nv, 5);
    std::vector<Vec> results[2];
    for (const bool wide : {false, true}) {
      passes::use_wide_vectors(wide);
      for (const AbaForm form : kForms) results[wide].push_back(passes::aba_in(form, model, q, v, tau).value().values());
      results[wide].push_back(mass_matrix(model, q).value().values);
      results[wide].push_back(rnea(model, q, v, tau).value().values());
    }
    passes::use_wide_vectors(true);
    for (std::size_t k = 0; k < results[0].size(); ++k) {
      ASSERT_EQ(results[0][k].size(), results[1][k].size());
      double scale = 0;
      for (const double x : results[0][k]) scale = std::max(scale, std::abs(x));
      for (std::size_t i = 0; i < results[0][k].size(); ++i)
        EXPECT_NEAR(results[0][k][i], results[1][k][i], 1e-10 * scale) << "result " << k << ", entry " << i;
    }
  }
}
