// Joints with several degrees of freedom and the group operations under them: unit
// quaternions, the exponentials of SO(3) and SE(3), the columns of the motion subspace,
// the quaternion check, and a free rigid body against its closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/passes.hpp"
#include "core/spatial/lie.hpp"

using namespace velmora;

namespace {

using Rand = std::mt19937_64;
double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }

void expect_near(const Vector3D& a, const Vector3D& b, double tol) {
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], tol) << k;
}

}  // namespace

TEST(Lie, QuaternionRotationIsRodrigues) {
  Rand r(1);
  for (int n = 0; n < 50; ++n) {
    const Vector3D axis = random_vector(r, 1);
    const double angle = uniform(r, -6, 6);
    const Quaternion q = quaternion_exp(axis * (angle / axis.norm()));
    const SpatialRotation expected = SpatialRotation::from_axis_angle(axis, angle);
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(q.rotation().m[k], expected.m[k], 1e-14);
    // The product of quaternions is the product of their rotations.
    const Quaternion p = quaternion_exp(random_vector(r, 2));
    const SpatialRotation both = p.rotation() * q.rotation();
    for (int k = 0; k < 9; ++k) EXPECT_NEAR((p * q).rotation().m[k], both.m[k], 1e-14);
  }
}

TEST(Lie, LogarithmInvertsExponentialAtEveryScale) {
  Rand r(2);
  for (const double scale : {1e-12, 1e-6, 1e-4, 1e-3, 0.5, 3.0}) {
    const Vector3D w = random_vector(r, 1) * (scale / std::sqrt(3.0));
    expect_near(quaternion_log(quaternion_exp(w)), w, 1e-15 + 1e-13 * scale);
    // -q is the same rotation: the logarithm does not depend on the sign.
    const Quaternion q = quaternion_exp(w);
    expect_near(quaternion_log({-q.w, -q.x, -q.y, -q.z}), w, 1e-15 + 1e-13 * scale);
    // V^-1 V u = u, and V u against the integral of exp(s [w]) u over s in [0, 1].
    const Vector3D u = random_vector(r, 1);
    expect_near(so3_left_jacobian_inverse_times(w, so3_left_jacobian_times(w, u)), u, 1e-14);
    Vector3D integral;
    const int steps = 2000;
    for (int s = 0; s < steps; ++s)  // midpoint rule, error ~ |w|^2 / steps^2
      integral += quaternion_exp(w * ((s + 0.5) / steps)).rotation() * u * (1.0 / steps);
    expect_near(so3_left_jacobian_times(w, u), integral, 1e-7);
  }
}

TEST(Lie, QuaternionsOfAnyLengthNormalise) {
  for (const double s : {1e-300, 1e-160, 1.0, 1e160, 1e300}) {
    const Quaternion q = Quaternion{0.5 * s, -0.5 * s, 0.5 * s, 0.5 * s}.normalised();
    EXPECT_DOUBLE_EQ(q.w, 0.5) << s;
    EXPECT_DOUBLE_EQ(q.x, -0.5) << s;
  }
  EXPECT_FALSE((Quaternion{0, 0, 0, 0}.normalisable()));
  EXPECT_FALSE((Quaternion{1, NAN, 0, 0}.normalisable()));
  EXPECT_FALSE((Quaternion{1, 0, -INFINITY, 0}.normalisable()));
  EXPECT_TRUE((Quaternion{0, 0, 0, 1e-320}.normalisable()));
}

TEST(MultiDof, SubspaceColumnsAndTheirProducts) {
  for (const JointType kind : {JointType::FreeFlyer, JointType::Planar, JointType::Spherical}) {
    const JointMotion m = JointMotion::of(kind, {});
    ASSERT_TRUE(m.multi());
    double x[6] = {0.3, -1.2, 2.5, 0.7, -0.1, 4.0};
    SpatialMotion sum;
    for (std::size_t k = 0; k < m.nv(); ++k) sum += m.column(k) * x[k];
    EXPECT_EQ(m.subspace_apply(x), sum);
    const SpatialForce f{{1, 2, 3}, {4, 5, 6}};
    double out[6];
    m.subspace_transpose_apply(f, out);
    for (std::size_t k = 0; k < m.nv(); ++k) EXPECT_EQ(out[k], inner(m.column(k), f)) << k;
  }
  const JointMotion planar = JointMotion::of(JointType::Planar, {});
  EXPECT_EQ(planar.column(0), SpatialMotion::from_rotational_axis(Vector3D::unit_z()));
  EXPECT_EQ(planar.column(2), SpatialMotion::from_translational_axis(Vector3D::unit_y()));
  EXPECT_EQ(JointMotion::of(JointType::FreeFlyer, {}).column(3), SpatialMotion::from_translational_axis(Vector3D::unit_x()));
}

TEST(MultiDof, FreeFlyerPlacementComposesLikeTheGeneralProduct) {
  Rand r(3);
  const JointMotion m = JointMotion::of(JointType::FreeFlyer, {});
  const Quaternion quat = quaternion_exp({0.4, -1.1, 0.3});
  const double q[7] = {1, 2, 3, 2 * quat.w, 2 * quat.x, 2 * quat.y, 2 * quat.z};
  const SE3 joint = m.transform(q);
  const SE3 before{SpatialRotation::from_axis_angle(random_vector(r, 1), 0.8), random_vector(r, 1)};
  const SE3 composed = m.after(before, m.position(q)), expected = before * joint;
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(composed.rotation.m[k], expected.rotation.m[k], 1e-15);
  expect_near(composed.translation, expected.translation, 1e-15);
  expect_near(joint.translation, {1, 2, 3}, 0);
}

TEST(MultiDof, FreeBodyFallsAtGravityAndTurnsByEuler) {
  Model model;
  const std::size_t id = model.add_joint(0, make_free_flyer(), SE3::identity(), "free").value();
  model.inertias[id] = Inertia{2.0, {0.1, -0.2, 0.3}, Symmetric3{{0.3, 0.5, 0.4, 0.01, -0.02, 0.03}}};
  const Quaternion quat = quaternion_exp({0.7, 0.2, -0.5});
  const double q[7] = {0.1, 0.2, 0.3, quat.w, quat.x, quat.y, quat.z};
  const double zero[6] = {0, 0, 0, 0, 0, 0};
  // At rest without efforts every point falls at g: no angular acceleration, the origin's
  // acceleration is gravity in body axes.
  const auto a = aba(model, q, zero, zero).value();
  const Vector3D g = quat.rotation().transpose_mul(model.gravity);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(a[static_cast<std::size_t>(k)], 0, 1e-14);
    EXPECT_NEAR(a[static_cast<std::size_t>(k) + 3], g[k], 1e-14);
  }
  // Moving, the efforts are the Newton-Euler equations of the body in its own frame:
  // I a + v x* (I v) - I (0; R^T gravity).
  const double v[6] = {0.3, -1.0, 2.0, 0.5, 0.1, -0.4}, acc[6] = {1.0, 0.2, -0.3, 0.4, -2.0, 0.6};
  const SpatialMotion vm{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}}, am{{acc[0], acc[1], acc[2]}, {acc[3], acc[4], acc[5]}};
  const Inertia& I = model.inertias[id];
  const SpatialForce expected = I * (am - SpatialMotion{{}, g}) + cross_force(vm, I * vm);
  const auto tau = rnea(model, q, v, acc).value();
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(tau[static_cast<std::size_t>(k)], expected.as_vector6d().data[k], 1e-13) << k;
  const auto back = aba(model, q, v, tau.span()).value();
  for (std::size_t k = 0; k < 6; ++k) EXPECT_NEAR(back[k], acc[k], 1e-13) << k;
}

TEST(MultiDof, QuaternionCheckNamesTheJoint) {
  Model model;
  (void)model.add_joint(0, make_revolute({1, 0, 0}), SE3::identity(), "arm");
  EXPECT_TRUE(passes::check_configuration(model, nullptr));  // no quaternion: q is not read
  (void)model.add_joint(1, make_spherical(), SE3::identity(), "ball");
  const double good[5] = {0.5, 0, 0, 0, 3}, bad[5] = {0.5, 0, 0, 0, 0};
  EXPECT_TRUE(passes::check_configuration(model, good));
  const auto refused = passes::check_configuration(model, bad);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("'ball' (q[1:5])"), std::string::npos) << refused.error();
  Data data = model.create_data();
  EXPECT_FALSE(forward_kinematics(model, data, bad));
  EXPECT_FALSE(data.joint_data[2]->update(*model.joint_models[2], std::span<const double>(bad + 1, 4)));
  EXPECT_TRUE(data.joint_data[2]->update(*model.joint_models[2], std::span<const double>(good + 1, 4)));
  // (0, 0, 0, 3): half a turn about z.
  EXPECT_EQ(data.joint_data[2]->get_joint_placement().rotation, (SpatialRotation{{-1, 0, 0, 0, -1, 0, 0, 0, 1}}));
  // A model of another kind is refused, not read.
  EXPECT_FALSE(data.joint_data[2]->update(*make_planar(), std::span<const double>(good + 1, 4)));
}
