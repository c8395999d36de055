// The articulated-body inertia against plain dense 6x6 arithmetic: the block formulas,
// the symmetric storage and the shortcuts for rotations about a coordinate axis.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

#include "core/inertia/inertia.hpp"
#include "core/spatial/articulated_inertia.hpp"

using namespace velmora;

namespace {

using Rand = std::mt19937_64;
double uniform(Rand& r) { return std::uniform_real_distribution<double>(-1, 1)(r); }
Vector3D random_vector(Rand& r) { return {uniform(r), uniform(r), uniform(r)}; }
Symmetric3 random_symmetric(Rand& r) {
  return {{uniform(r), uniform(r), uniform(r), uniform(r), uniform(r), uniform(r)}};
}
SpatialRotation random_rotation(Rand& r) { return SpatialRotation::from_axis_angle(random_vector(r), 3 * uniform(r)); }

using Dense = std::array<std::array<double, 6>, 6>;

Dense dense(const ArticulatedInertia& ia) {
  Dense d{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      d[i][j] = ia.A(i, j);
      d[i][j + 3] = ia.B(i, j);
      d[j + 3][i] = ia.B(i, j);
      d[i + 3][j + 3] = ia.C(i, j);
    }
  return d;
}

Dense product(const Dense& a, const Dense& b) {
  Dense out{};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      for (int k = 0; k < 6; ++k) out[i][j] += a[i][k] * b[k][j];
  return out;
}

Dense transpose(const Dense& a) {
  Dense out{};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) out[i][j] = a[j][i];
  return out;
}

// The inverse motion transform of a placement (R, p): (w; v) in the parent frame to the
// child frame, w' = R^T w, v' = R^T (v - p x w).
Dense inverse_motion_transform(const SE3& x) {
  Dense m{};
  for (int j = 0; j < 6; ++j) {
    SpatialMotion e;
    if (j < 3) e.rotation = j == 0 ? Vector3D::unit_x() : j == 1 ? Vector3D::unit_y() : Vector3D::unit_z();
    else e.translation = j == 3 ? Vector3D::unit_x() : j == 4 ? Vector3D::unit_y() : Vector3D::unit_z();
    const SpatialMotion col = x.act_inv_motion(e);
    for (int i = 0; i < 6; ++i) m[i][j] = col[i];
  }
  return m;
}

ArticulatedInertia random_articulated(Rand& r) {
  Matrix3 b;
  for (double& x : b.m) x = uniform(r);
  return {random_symmetric(r), b, random_symmetric(r)};
}

void expect_near(const Dense& a, const Dense& b, double tol) {
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(a[i][j], b[i][j], tol) << i << ", " << j;
}

}  // namespace

TEST(ArticulatedInertia, RigidBodyActsAsTheInertia) {
  Rand r(1);
  const Inertia body{2.5, {0.1, -0.3, 0.2}, Symmetric3{{0.4, 0.5, 0.3, 0.01, -0.02, 0.03}}};
  const ArticulatedInertia ia = ArticulatedInertia::from_rigid(body.mass, body.com, body.inertia);
  for (int k = 0; k < 5; ++k) {
    const SpatialMotion m{random_vector(r), random_vector(r)};
    const SpatialForce a = ia * m, b = body * m;
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(a.angular[i], b.angular[i], 1e-15);
      EXPECT_NEAR(a.linear[i], b.linear[i], 1e-15);
    }
    // The products with a motion that only rotates or only translates.
    const SpatialForce rot = ia.times_rotation(m.rotation), full_rot = ia * SpatialMotion{m.rotation, {}};
    const SpatialForce tr = ia.times_translation(m.translation), full_tr = ia * SpatialMotion{{}, m.translation};
    EXPECT_EQ(rot, full_rot);
    EXPECT_EQ(tr, full_tr);
  }
}

// Moving an articulated inertia into the parent frame is the congruence
// X^-T IA X^-1 with the placement's inverse motion transform.
TEST(ArticulatedInertia, CongruenceWithAPlacement) {
  Rand r(2);
  for (int k = 0; k < 10; ++k) {
    const ArticulatedInertia ia = random_articulated(r), start = random_articulated(r);
    const SE3 x{random_rotation(r), random_vector(r)};
    const Dense m = inverse_motion_transform(x);
    Dense expected = product(transpose(m), product(dense(ia), m));
    const Dense base = dense(start);
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) expected[i][j] += base[i][j];
    ArticulatedInertia parent = start;
    ia.rotate(x.rotation).add_translated_to(x.translation, parent);
    expect_near(dense(parent), expected, 1e-13);
  }
}

// Far from the origin the rotational block gathers terms that grow with the square of the
// distance: the translation is still the congruence to rounding relative to those terms,
// and translating back gives the start again.
TEST(ArticulatedInertia, CongruenceWithFarPlacements) {
  Rand r(7);
  for (const double distance : {10.0, 1e3}) {
    for (int k = 0; k < 5; ++k) {
      const ArticulatedInertia ia = random_articulated(r);
      const Vector3D p = random_vector(r) * distance;
      const Dense m = inverse_motion_transform(SE3{SpatialRotation::identity(), p});
      const Dense expected = product(transpose(m), product(dense(ia), m));
      ArticulatedInertia placed{};
      ia.add_translated_to(p, placed);
      expect_near(dense(placed), expected, 1e-15 * distance * distance * 8);
      ArticulatedInertia back{};
      placed.add_translated_to(-p, back);
      expect_near(dense(back), dense(ia), 1e-15 * distance * distance * 16);
    }
  }
}

TEST(ArticulatedInertia, RotationsAboutCoordinateAxes) {
  Rand r(3);
  for (int k = 0; k < 10; ++k) {
    const ArticulatedInertia ia = random_articulated(r);
    const double angle = 4 * uniform(r), c = std::cos(angle), s = std::sin(angle);
    const SpatialRotation rx = SpatialRotation::about<0>(c, s), ry = SpatialRotation::about<1>(c, s),
                          rz = SpatialRotation::about<2>(c, s);
    expect_near(dense(ia.rotate<0>(rx)), dense(ia.rotate(rx)), 1e-15);
    expect_near(dense(ia.rotate<1>(ry)), dense(ia.rotate(ry)), 1e-15);
    expect_near(dense(ia.rotate<2>(rz)), dense(ia.rotate(rz)), 1e-15);
    const double sign = k % 2 ? 1.0 : -1.0;
    EXPECT_EQ(ia.times_rotation_axis<1>(sign), ia.times_rotation({0, sign, 0}));
  }
  // The general rotation by the identity changes nothing at all.
  const ArticulatedInertia ia = random_articulated(r);
  EXPECT_EQ(dense(ia.rotate(SpatialRotation::identity())), dense(ia));
}

TEST(ArticulatedInertia, SubtractOuterProduct) {
  Rand r(4);
  ArticulatedInertia ia = random_articulated(r);
  const SpatialForce u{random_vector(r), random_vector(r)};
  Dense expected = dense(ia);
  const double uv[6] = {u.angular.x, u.angular.y, u.angular.z, u.linear.x, u.linear.y, u.linear.z};
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) expected[i][j] -= uv[i] * uv[j] / 0.7;
  ia.subtract_outer(u, 1 / 0.7);
  expect_near(dense(ia), expected, 1e-15);
}

// Projecting out the motion of a rotation about a coordinate axis: the projected inertia
// IA - U U^T / d (U = IA S, d = S^T IA S) exerts no force along the joint's own motion, so
// its row and column of that axis are zero, whichever the axis and its sign, and stay zero
// when it turns about that axis.
TEST(ArticulatedInertia, ProjectionAlongACoordinateAxis) {
  Rand r(6);
  for (int k = 0; k < 6; ++k) {
    // A positive definite inertia: a random one plus a large multiple of the identity.
    ArticulatedInertia ia = random_articulated(r);
    for (int i = 0; i < 3; ++i) ia.A(i, i) += 4, ia.C(i, i) += 4;
    const double sign = k % 2 ? 1.0 : -1.0;
    const int axis = k / 2;
    SpatialMotion s = SpatialMotion::zero();
    s.rotation = axis == 0 ? Vector3D{sign, 0, 0} : axis == 1 ? Vector3D{0, sign, 0} : Vector3D{0, 0, sign};
    const SpatialForce u = ia * s;
    const double d = inner(s, u);
    ArticulatedInertia general = ia, projected = ia;
    general.subtract_outer(u, 1 / d);
    if (axis == 0) projected.subtract_outer_axis<0>(u, 1 / d);
    if (axis == 1) projected.subtract_outer_axis<1>(u, 1 / d);
    if (axis == 2) projected.subtract_outer_axis<2>(u, 1 / d);
    expect_near(dense(projected), dense(general), 1e-14);
    const Dense m = dense(projected);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(m[axis][j], 0.0) << axis << ", " << j;
    const SpatialForce f = projected * s;
    EXPECT_EQ(f.angular.norm() + f.linear.norm(), 0.0);
    // Turned about the same axis and moved into a parent, it adds what the general
    // rotation and translation add.
    const double angle = 3 * uniform(r);
    const Vector3D p = random_vector(r) * 2.0;
    const ArticulatedInertia start = random_articulated(r);
    ArticulatedInertia expected = start, parent = start;
    auto both = [&]<int K>() {
      const SpatialRotation turn = SpatialRotation::about<K>(std::cos(angle), std::sin(angle));
      projected.rotate(turn).add_translated_to(p, expected);
      projected.add_turned_translated_to<K>(turn, p, parent);
    };
    if (axis == 0) both.template operator()<0>();
    if (axis == 1) both.template operator()<1>();
    if (axis == 2) both.template operator()<2>();
    expect_near(dense(parent), dense(expected), 1e-13);
  }
}

// The rotational block's trace as seen from a point p: that of X^T IA X with X the motion
// transform from p's frame (same axes) to the origin's; for a rigid body the parallel-axis
// theorem, tr Ic + 2 m |c - p|^2.
TEST(ArticulatedInertia, RotationalTraceAboutAPoint) {
  Rand r(5);
  for (int k = 0; k < 10; ++k) {
    const ArticulatedInertia ia = random_articulated(r);
    const Vector3D p = random_vector(r) * 10.0;
    const Dense x = inverse_motion_transform(SE3{SpatialRotation::identity(), p}.inverse());
    const Dense about_p = product(transpose(x), product(dense(ia), x));
    EXPECT_NEAR(ia.rotational_trace_about(p), about_p[0][0] + about_p[1][1] + about_p[2][2], 1e-12);
  }
  const double m = 1.7;
  const Vector3D c{0.3, -0.2, 0.5}, p{2.0, 1.0, -4.0};
  const Symmetric3 ic{{0.2, 0.3, 0.4, 0.01, 0.02, -0.03}};
  const Vector3D d = c - p;
  EXPECT_NEAR(ArticulatedInertia::from_rigid(m, c, ic).rotational_trace_about(p), 0.9 + 2 * m * d.dot(d), 1e-13);
}
