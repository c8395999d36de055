// The flat joint records the algorithms read: each shortcut (elementary rotations,
// translation-only placements, continuous pairs read by direction) must give the values
// of the general products it replaces.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/batch_simd.hpp"
#include "core/algorithms/passes.hpp"
#include "joint_kinds.hpp"

using namespace velmora;

namespace {

using Rand = std::mt19937_64;
double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }
SE3 random_placement(Rand& r) {
  return {SpatialRotation::from_axis_angle(random_vector(r, 1), uniform(r, -3, 3)), random_vector(r, 1)};
}

void expect_near(const SE3& a, const SE3& b, double tol, const char* what = "") {
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(a.rotation.m[k], b.rotation.m[k], tol) << what << " rotation " << k;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(a.translation[k], b.translation[k], tol) << what << " translation " << k;
}

// Axes of every shape: coordinate axes of either sign and any length, and general ones.
const Vector3D kAxes[] = {{1, 0, 0},  {0, 2, 0},  {0, 0, 1},          {-3, 0, 0},
                          {0, -1, 0}, {0, 0, -0.5}, {0.3, -0.5, 0.8}, {1, 1, 0}};

}  // namespace

TEST(JointMotion, CoordinateAxesAreRecognisedWhateverTheirLengthAndSign) {
  const int expected[] = {0, 1, 2, 0, 1, 2, -1, -1};
  for (int k = 0; k < 8; ++k) {
    const JointMotion m = JointMotion::of(JointType::Revolute, kAxes[k]);
    EXPECT_EQ(m.coordinate_axis, expected[k]) << k;
    EXPECT_NEAR(m.axis.norm(), 1.0, 1e-15);
    if (expected[k] >= 0) {
      EXPECT_EQ(m.axis_sign, kAxes[k][expected[k]] > 0 ? 1.0 : -1.0);
    }
  }
  // A slide keeps its axis as stored: it moves by axis * q.
  EXPECT_EQ(JointMotion::of(JointType::Prismatic, {0, 0, 2}).axis, (Vector3D{0, 0, 2}));
  EXPECT_EQ(JointMotion::of(JointType::Prismatic, {0, 0, 2}).coordinate_axis, -1);
}

// Every kind and axis: the joint's transform is Rodrigues' rotation by the angle (the
// continuous pair's direction, whatever its length) or the slide, and after() composes
// it as the general product does.
TEST(JointMotion, TransformAndCompositionMatchTheGeneralFormulas) {
  Rand r(5);
  for (const JointType kind : {JointType::Revolute, JointType::Continuous, JointType::Prismatic, JointType::Fixed}) {
    for (const Vector3D& axis : kAxes) {
      const JointMotion motion = JointMotion::of(kind, axis);
      for (const double theta : {0.0, 0.4, -2.9, 3.141592653589793, 7.5}) {
        const double q[2] = {kind == JointType::Continuous ? 0.3 * std::cos(theta) : theta, 0.3 * std::sin(theta)};
        SE3 expected = SE3::identity();
        if (kind == JointType::Prismatic) expected.translation = axis * theta;
        if (motion.rotates()) expected.rotation = SpatialRotation::from_axis_angle(axis, theta);
        const SE3 x = motion.transform(q);
        expect_near(x, expected, 2e-15, "transform");
        EXPECT_EQ(x, test_support::make_joint(kind, axis)->transform(std::span<const double>(q, motion.nq())));
        const SE3 m = random_placement(r);
        expect_near(motion.after(m, motion.position(q)), m * x, 1e-15, "after");
      }
    }
  }
}

TEST(JointMotion, ContinuousPairsOfAnyLength) {
  const JointMotion motion = JointMotion::of(JointType::Continuous, {0, 0, 1});
  // Lengths whose square overflows or underflows are read by their direction as well.
  for (const double length : {1.0, 3e-170, 1e-300, 2e160, 1e300}) {
    const double q[2] = {length * std::cos(2.0), length * std::sin(2.0)};
    expect_near(motion.transform(q), {SpatialRotation::from_axis_angle({0, 0, 1}, 2.0), {}}, 2e-16);
  }
  const double zero[2] = {0, 0}, huge[2] = {INFINITY, INFINITY}, tiny[2] = {0, 5e-324}, nan[2] = {NAN, 1};
  EXPECT_EQ(motion.transform(zero), SE3::identity());
  // An infinite pair still has a direction (its angle), a subnormal one too.
  expect_near(motion.transform(huge), {SpatialRotation::from_axis_angle({0, 0, 1}, std::numbers::pi / 4), {}}, 1e-15);
  expect_near(motion.transform(tiny), {SpatialRotation::from_axis_angle({0, 0, 1}, std::numbers::pi / 2), {}}, 1e-15);
  EXPECT_TRUE(std::isnan(motion.transform(nan).rotation(0, 0)));
  // A revolute joint at angle 0 is the identity even about an axis of length zero.
  EXPECT_EQ(JointMotion::of(JointType::Revolute, {0, 0, 0}).transform(zero), SE3::identity());
}

TEST(SpatialRotation, ElementaryProductsAreTheGeneralOnes) {
  Rand r(9);
  for (int k = 0; k < 20; ++k) {
    const SpatialRotation m = random_placement(r).rotation;
    const double angle = uniform(r, -4, 4), c = std::cos(angle), s = std::sin(angle);
    // The same sums without the products by 0 and 1: equal, not just close.
    EXPECT_EQ(m.times_about<0>(c, s), m * SpatialRotation::about<0>(c, s));
    EXPECT_EQ(m.times_about<1>(c, s), m * SpatialRotation::about<1>(c, s));
    EXPECT_EQ(m.times_about<2>(c, s), m * SpatialRotation::about<2>(c, s));
    const SE3 placement = random_placement(r);
    const Vector3D t{0.1, -2, 3};
    const SE3 slide{SpatialRotation::identity(), t};
    EXPECT_EQ(placement.translated(t), placement * slide);
  }
}

// The products with a subspace along a coordinate axis, and the actions of a placement
// rotating about one, are the general ones without their terms in 0.
template <int K>
void expect_coordinate_shortcuts(Rand& r) {
  for (const double sign : {1.0, -1.0}) {
    Vector3D axis;
    axis.x = K == 0 ? 2 * sign : 0, axis.y = K == 1 ? 2 * sign : 0, axis.z = K == 2 ? 2 * sign : 0;
    const JointMotion m = JointMotion::of(JointType::Revolute, axis);
    ASSERT_EQ(m.coordinate_axis, K);
    const double x = uniform(r, -3, 3);
    const SpatialMotion v{random_vector(r, 1), random_vector(r, 1)};
    const SpatialForce f{random_vector(r, 1), random_vector(r, 1)};
    EXPECT_EQ(m.subspace_times<K>(x), m.subspace_times<-1>(x));
    EXPECT_EQ(m.subspace_dot<K>(f), m.subspace_dot<-1>(f));
    EXPECT_EQ(m.subspace_dot<K>(v), m.subspace_dot<-1>(v));
    EXPECT_EQ(m.cross_subspace<K>(v, x), m.cross_subspace<-1>(v, x));
    const double q[2] = {uniform(r, -4, 4), 0};  // what a revolute joint reads: q[0]
    const SE3 x_j{m.transform(q).rotation, random_vector(r, 1)};
    EXPECT_EQ(x_j.act_inv_motion<K>(v), x_j.act_inv_motion(v));
    EXPECT_EQ(x_j.act_motion<K>(v), x_j.act_motion(v));
    EXPECT_EQ(x_j.act_force<K>(f), x_j.act_force(f));
    EXPECT_EQ(x_j.act_inv_force<K>(f), x_j.act_inv_force(f));
  }
}

TEST(JointMotion, ShortcutsAlongCoordinateAxes) {
  Rand r(23);
  for (int k = 0; k < 10; ++k) {
    expect_coordinate_shortcuts<0>(r);
    expect_coordinate_shortcuts<1>(r);
    expect_coordinate_shortcuts<2>(r);
  }
}

// Forward kinematics on random trees of every kind and axis shape, some placements
// only translating: the world placements are the products
// oMi[parent] * placement * transform(q_i), and each joint data holds its transform:
// exactly in the build for any processor with the C library's sines and cosines, to
// rounding with the vector lanes' and fused multiply-adds.
TEST(Kinematics, RandomTreesAgainstPlainProducts) {
  for (const bool lanes_on : {false, true}) {
    lanes::use_lanes(lanes_on);
    passes::use_wide_vectors(lanes_on);
    Rand r(17);
    for (int trial = 0; trial < 5; ++trial) {
      Model model;
      for (std::size_t i = 1; i <= 25; ++i) {
        const auto kind = static_cast<JointType>(r() % 4);
        SE3 placement = random_placement(r);
        if (r() % 2) placement.rotation = SpatialRotation::identity();
        const std::size_t parent = r() % i;
        ASSERT_TRUE(model.add_joint(parent, test_support::make_joint(kind, kAxes[r() % 8]), placement,
                                    "j" + std::to_string(i)));
      }
      std::vector<double> q(model.nq);
      for (double& x : q) x = uniform(r, -4, 4);
      Data data = model.create_data();
      ASSERT_TRUE(forward_kinematics(model, data, q));
      std::vector<SE3> expected{SE3::identity()};
      for (std::size_t i = 1; i < model.njoints(); ++i) {
        const auto slice = std::span<const double>(q).subspan(model.idx_q[i], model.joint_models[i]->nq());
        const SE3 x = model.joint_models[i]->transform(slice);
        if (lanes_on) expect_near(data.joint_data[i]->get_joint_placement(), x, 1e-15, "joint placement");
        else EXPECT_EQ(data.joint_data[i]->get_joint_placement(), x);
        expected.push_back(expected[model.joint_parents[i]] * model.joint_placements[i] * x);
        expect_near(data.oMi[i], expected[i], 1e-13, "oMi");
      }
    }
  }
  lanes::use_lanes(true);
  passes::use_wide_vectors(true);
}

TEST(Data, KindsOfAnotherModelAreRefused) {
  Model a, b;
  ASSERT_TRUE(a.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j"));
  ASSERT_TRUE(b.add_joint(0, make_prismatic({0, 0, 1}), SE3::identity(), "j"));
  EXPECT_TRUE(data_fits_model(a, a.create_data()));
  EXPECT_TRUE(data_fits_model(a, Model(a).create_data()));
  EXPECT_FALSE(data_fits_model(a, b.create_data()));
  EXPECT_EQ(*data_mismatch(a, b.create_data()),
            "The data was made for another model: joint 1 is Revolute in this model but Prismatic in the data. "
            "Create it with model.create_data().");
  EXPECT_FALSE(data_fits_model(a, Data()));
}

// Code that edits a model's public counts gets an error from the algorithms, not a read
// outside the arrays.
TEST(Model, CountsEditedByHandAreRefused) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j"));
  Data d = m.create_data();
  m.nq = 3;
  m.nv = 3;
  const std::vector<double> three(3, 0.0);
  EXPECT_FALSE(forward_kinematics(m, d, three));
  EXPECT_FALSE(rnea(m, three, three, three));
  EXPECT_FALSE(aba(m, three, three, three));
}

// The dynamics keep their rows in storage each thread reuses: results must not depend on
// what ran before (a larger or a smaller model, the other algorithm), nor on another
// thread running at the same time.
TEST(Dynamics, RowStorageCarriesNothingOver) {
  Rand r(31);
  auto tree = [&](std::size_t n) {
    Model m;
    for (std::size_t i = 1; i <= n; ++i) {
      const auto kind = static_cast<JointType>(r() % 4);
      const std::size_t id =
          m.add_joint(r() % i, test_support::make_joint(kind, kAxes[r() % 8]), random_placement(r), "j" + std::to_string(i)).value();
      m.inertias[id] =
          Inertia{1 + uniform(r, 0, 1), random_vector(r, 0.2), Symmetric3{{0.3, 0.2, 0.25, 0.01, 0, 0.02}}};
    }
    return m;
  };
  const Model big = tree(40), small = tree(6);
  auto state = [&](const Model& m) {
    std::vector<double> x(m.nq + 2 * m.nv);
    for (double& e : x) e = uniform(r, -1, 1);
    return x;
  };
  const std::vector<double> xb = state(big), xs = state(small);
  auto run = [](const Model& m, const std::vector<double>& x) {
    const std::span<const double> q(x.data(), m.nq), v(x.data() + m.nq, m.nv), a(x.data() + m.nq + m.nv, m.nv);
    const std::vector<double> tau = rnea(m, q, v, a)->values();
    std::vector<double> out = aba(m, q, v, tau)->values();
    out.insert(out.end(), tau.begin(), tau.end());
    return out;
  };
  const std::vector<double> first = run(big, xb);
  const std::vector<double> small_first = run(small, xs);
  EXPECT_EQ(run(big, xb), first);
  EXPECT_EQ(run(small, xs), small_first);
  std::vector<double> other_thread;
  std::thread t([&] {
    for (int k = 0; k < 50; ++k) other_thread = run(small, xs);
  });
  for (int k = 0; k < 50; ++k) EXPECT_EQ(run(big, xb), first);
  t.join();
  EXPECT_EQ(other_thread, small_first);
}
