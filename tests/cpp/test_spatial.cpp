// Closed-form and invariant checks of the spatial algebra, inertia and configurations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "core/inertia/inertia.hpp"
#include "core/spatial/configuration.hpp"
#include "core/spatial/motion.hpp"
#include "core/spatial/random.hpp"
#include "core/spatial/se3.hpp"
#include "core/spatial/symmetric3.hpp"

using namespace velmora;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTol = 1e-12;

void expect_near(const Vector3D& a, const Vector3D& b, double tol = kTol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

void expect_near(const SpatialRotation& a, const SpatialRotation& b, double tol = kTol) {
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(a.m[k], b.m[k], tol) << "entry " << k;
}

void expect_near(const SpatialMotion& a, const SpatialMotion& b, double tol = kTol) {
  expect_near(a.rotation, b.rotation, tol);
  expect_near(a.translation, b.translation, tol);
}

void expect_near(const SpatialForce& a, const SpatialForce& b, double tol = kTol) {
  expect_near(a.angular, b.angular, tol);
  expect_near(a.linear, b.linear, tol);
}

void expect_near(const Symmetric3& a, const Symmetric3& b, double tol = kTol) {
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(a.data[k], b.data[k], tol) << "slot " << k;
}

SpatialRotation rows(std::array<double, 9> r) {
  SpatialRotation out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out(i, j) = r[3 * i + j];
  return out;
}

double det(const SpatialRotation& r) { return r.column(0).dot(cross(r.column(1), r.column(2))); }

// A few fixed placements with non-trivial rotation and translation.
std::vector<SE3> sample_placements() {
  return {SE3{SpatialRotation::from_axis_angle({1, 2, 3}, 0.7), {0.3, -1.2, 2.5}},
          SE3{SpatialRotation::from_euler_angles(-0.4, 1.1, 2.9), {-2, 0.5, 0.25}},
          SE3{SpatialRotation::from_axis_angle({0, 1, 0}, kPi), {0, 0, 1}},
          SE3{SpatialRotation::identity(), {1, 0, 0}}};
}

}  // namespace

// ---------------------------------------------------------------------------- rotations

TEST(SpatialRotation, AxisAngleMatchesKnownRotations) {
  expect_near(SpatialRotation::from_axis_angle({0, 0, 1}, kPi / 2), rows({0, -1, 0, 1, 0, 0, 0, 0, 1}));
  expect_near(SpatialRotation::from_axis_angle({1, 0, 0}, kPi / 2), rows({1, 0, 0, 0, 0, -1, 0, 1, 0}));
  expect_near(SpatialRotation::from_axis_angle({0, 1, 0}, kPi / 2), rows({0, 0, 1, 0, 1, 0, -1, 0, 0}));
  expect_near(SpatialRotation::from_axis_angle({0, 0, 1}, kPi), rows({-1, 0, 0, 0, -1, 0, 0, 0, 1}));
  // A third of a turn about the diagonal permutes the axes: x -> y -> z -> x.
  expect_near(SpatialRotation::from_axis_angle({1, 1, 1}, 2 * kPi / 3), rows({0, 0, 1, 1, 0, 0, 0, 1, 0}));
}

TEST(SpatialRotation, AxisAngleNormalisesAndHandlesZero) {
  expect_near(SpatialRotation::from_axis_angle({0, 0, 2}, kPi / 2),
              SpatialRotation::from_axis_angle({0, 0, 1}, kPi / 2), 0);
  EXPECT_EQ(SpatialRotation::from_axis_angle({0, 0, 0}, 0.0), SpatialRotation::identity());
  EXPECT_EQ(SpatialRotation::from_axis_angle({NAN, 1, 2}, 0.0), SpatialRotation::identity());
  // A zero axis with a non-zero angle has no direction: NaN entries, not a made-up axis.
  EXPECT_TRUE(std::isnan(SpatialRotation::from_axis_angle({0, 0, 0}, 1.0)(0, 0)));
}

TEST(SpatialRotation, AxisAngleIsAProperRotationAboutItsAxis) {
  const Vector3D axis{0.3, -0.5, 0.8};
  const Vector3D k = axis * (1 / axis.norm());
  for (double angle : {0.1, 1.0, -2.5, 3.0}) {
    const SpatialRotation r = SpatialRotation::from_axis_angle(axis, angle);
    EXPECT_TRUE(r.is_orthogonal());
    EXPECT_NEAR(det(r), 1.0, kTol);
    expect_near(r * k, k);
    // A vector perpendicular to the axis turns by the angle, right-handed about k.
    const Vector3D p = cross(k, Vector3D{1, 0, 0});
    const Vector3D q = r * p;
    EXPECT_NEAR(std::atan2(cross(p, q).dot(k), p.dot(q)), angle, 1e-12);
  }
  // Angles about one axis add up.
  expect_near(SpatialRotation::from_axis_angle(axis, 0.4) * SpatialRotation::from_axis_angle(axis, 0.9),
              SpatialRotation::from_axis_angle(axis, 1.3));
}

TEST(SpatialRotation, EulerAnglesAreZYXProduct) {
  expect_near(SpatialRotation::from_euler_angles(0, 0, kPi / 2) * Vector3D{1, 0, 0}, {0, 1, 0});
  expect_near(SpatialRotation::from_euler_angles(kPi / 2, 0, 0) * Vector3D{0, 1, 0}, {0, 0, 1});
  expect_near(SpatialRotation::from_euler_angles(0, kPi / 2, 0) * Vector3D{0, 0, 1}, {1, 0, 0});
  const double roll = 0.3, pitch = -1.2, yaw = 2.2;
  const SpatialRotation expected = SpatialRotation::from_axis_angle({0, 0, 1}, yaw) *
                                   SpatialRotation::from_axis_angle({0, 1, 0}, pitch) *
                                   SpatialRotation::from_axis_angle({1, 0, 0}, roll);
  expect_near(SpatialRotation::from_euler_angles(roll, pitch, yaw), expected);
}

// ---------------------------------------------------------------------------------- SE3

TEST(SE3, CompositionAndInverse) {
  const auto ms = sample_placements();
  const Vector3D p{0.7, -0.1, 1.9};
  for (const SE3& a : ms) {
    const SE3 inv = a.inverse();
    expect_near(inv.rotation, a.rotation.transpose(), 0);
    expect_near(inv.translation, -(a.rotation.transpose_mul(a.translation)), 0);
    const SE3 one = a * inv;
    expect_near(one.rotation, SpatialRotation::identity());
    expect_near(one.translation, Vector3D::zeros());
    expect_near(inv.act(a.act(p)), p);
    for (const SE3& b : ms) {
      // Apply b first, then a.
      expect_near((a * b).act(p), a.act(b.act(p)));
      expect_near((a * b).inverse().act(p), (b.inverse() * a.inverse()).act(p));
    }
  }
  EXPECT_EQ(SE3::identity() * ms[0], ms[0]);
}

TEST(SE3, RandomPlacements) {
  Rng rng;
  for (int n = 0; n < 200; ++n) {
    const SE3 m = SE3::random(rng);
    for (double t : {m.translation.x, m.translation.y, m.translation.z}) {
      EXPECT_GE(t, -1.0);
      EXPECT_LT(t, 1.0);
    }
    EXPECT_TRUE(m.rotation.is_orthogonal());
    EXPECT_NEAR(det(m.rotation), 1.0, 1e-12);
    // Rotation angle from the trace: at most the length of the cube's half-diagonal.
    const double c = (m.rotation(0, 0) + m.rotation(1, 1) + m.rotation(2, 2) - 1) / 2;
    EXPECT_LE(std::acos(std::clamp(c, -1.0, 1.0)), std::sqrt(3.0) + 1e-12);
  }
}

TEST(SE3, ActionMatrixAppliesForcesAndItsTransposeMotions) {
  const SpatialForce f{{0.4, -1.5, 2.0}, {1.0, 0.25, -3.0}};
  const SpatialMotion v{{-0.3, 0.8, 0.1}, {2.0, -1.0, 0.5}};
  for (const SE3& m : sample_placements()) {
    const SpatialTransform a = m.action();
    const SpatialMotion af = a * SpatialMotion{f.angular, f.linear};
    expect_near(SpatialForce{af.rotation, af.translation}, m.act_force(f));
    expect_near(a.transpose() * v, m.act_inv_motion(v));
    // Blocks: lower left is zero, diagonal blocks are R.
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(a(i + 3, j), 0.0);
        EXPECT_EQ(a(i, j), m.rotation(i, j));
        EXPECT_EQ(a(i + 3, j + 3), m.rotation(i, j));
      }
  }
}

TEST(SE3, ActionOfIdentityAndOfPureTranslation) {
  const SpatialTransform a = SE3::identity().action();
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j) EXPECT_EQ(a(i, j), i == j ? 1.0 : 0.0);
  const SpatialTransform at = a.transpose();
  EXPECT_EQ(at.m, a.m);
  const SE3 shift{SpatialRotation::identity(), {1, 0, 0}};
  expect_near(shift.action() * SpatialMotion{{0, 0, 0}, {0, 1, 0}}, SpatialMotion{{0, 0, 1}, {0, 1, 0}}, 0);
}

TEST(SE3, MotionAndForceTransformsAreInverseAndPreservePower) {
  const SpatialMotion v{{-0.3, 0.8, 0.1}, {2.0, -1.0, 0.5}};
  const SpatialForce f{{0.4, -1.5, 2.0}, {1.0, 0.25, -3.0}};
  for (const SE3& m : sample_placements()) {
    expect_near(m.act_inv_motion(m.act_motion(v)), v);
    expect_near(m.act_inv_force(m.act_force(f)), f);
    expect_near(m.inverse().act_motion(v), m.act_inv_motion(v));
    expect_near(m.inverse().act_force(f), m.act_inv_force(f));
    EXPECT_NEAR(inner(m.act_motion(v), m.act_force(f)), inner(v, f), 1e-12);
  }
  // A spin about the child origin, which sits at (1, 0, 0) in the parent: the body point
  // at the parent origin moves with w x (0 - t) = (0, -1, 0).
  const SE3 shift{SpatialRotation::identity(), {1, 0, 0}};
  expect_near(shift.act_motion({{0, 0, 1}, {0, 0, 0}}), {{0, 0, 1}, {0, -1, 0}});
}

// --------------------------------------------------------------------------- Symmetric3

TEST(Symmetric3, ProductsAndSkewSquare) {
  const Symmetric3 s{{1, 2, 3, 4, 5, 6}};
  EXPECT_EQ(s * Vector3D(1, 0, 0), Vector3D(1, 4, 5));
  EXPECT_EQ(s * Vector3D(0, 0, 1), Vector3D(5, 6, 3));
  EXPECT_EQ(Symmetric3::skew_square({1, 0, 0}), (Symmetric3{{0, -1, -1, 0, 0, 0}}));
  // skew_square(v) w = v x (v x w).
  const Vector3D v{0.5, -2, 1.5}, w{1, 3, -0.7};
  expect_near(Symmetric3::skew_square(v) * w, cross(v, cross(v, w)));
}

TEST(Symmetric3, RotateIsRSRt) {
  EXPECT_EQ(Symmetric3({{1, 2, 3, 0, 0, 0}}).rotate(SpatialRotation::identity()), Symmetric3({{1, 2, 3, 0, 0, 0}}));
  // A quarter turn about z swaps the x and y moments.
  expect_near(Symmetric3{{1, 2, 3, 0, 0, 0}}.rotate(SpatialRotation::from_axis_angle({0, 0, 1}, kPi / 2)),
              Symmetric3{{2, 1, 3, 0, 0, 0}});
  const Symmetric3 s{{2.0, 3.0, 4.0, 0.5, -0.25, 0.75}};
  const SpatialRotation r = SpatialRotation::from_euler_angles(0.3, -0.7, 1.9);
  const Symmetric3 rs = s.rotate(r);
  // (R S R^T) x = R (S (R^T x)) for any x.
  for (const Vector3D& x : {Vector3D{1, 0, 0}, Vector3D{0, 1, 0}, Vector3D{0.2, -0.4, 0.9}})
    expect_near(rs * x, r * (s * r.transpose_mul(x)));
  // The trace is invariant.
  EXPECT_NEAR(rs.data[0] + rs.data[1] + rs.data[2], 9.0, 1e-12);
  // The short forms of rotate_body (a diagonal S, a multiple of the identity) and the
  // general one agree; an off-diagonal entry alone or a NaN takes the general form.
  for (const Symmetric3& b : {s, Symmetric3{{2.0, 3.0, 4.0, 0, 0, 0}}, Symmetric3{{0.1, 0.1, 0.1, 0, 0, 0}},
                              Symmetric3{{0.1, 0.1, 0.1, 0, 0, 1e-3}}, Symmetric3{{2.0, 3.0, 4.0, 0, 0.5, 0}}})
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(b.rotate_body(r).data[k], b.rotate(r).data[k], 1e-15) << k;
  const Symmetric3 nan{{1, 1, 1, 0, 0, std::nan("")}};
  EXPECT_TRUE(std::isnan(nan.rotate_body(r).data[0]));
}

// ------------------------------------------------------------------------------ Inertia

TEST(Inertia, FromEllipsoidAndAddition) {
  const auto e = Inertia::from_ellipsoid(5.0, 1, 2, 3);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->inertia, (Symmetric3{{13.0, 10.0, 5.0, 0, 0, 0}}));
  EXPECT_EQ(e->com, Vector3D::zeros());
  EXPECT_EQ(Inertia::from_ellipsoid(1, 1, 1, -2).error().parameter, "z");
  EXPECT_EQ(Inertia::from_ellipsoid(1, 1, -0.0, 1).error().parameter, "y");

  // Zero plus zero stays zero: the divisor falls back to epsilon, numerators are zero.
  EXPECT_EQ((Inertia::zeros() + Inertia::zeros()).inertia, Symmetric3::zero());

  // The combined body has the momentum of both bodies together.
  const Inertia body{3.0, {0.1, -0.2, 0.3}, Symmetric3{{1, 2, 3, 0.1, 0.2, 0.3}}};
  const Inertia other{0.5, {-1, 2, 0.5}, Symmetric3{{0.2, 0.3, 0.4, 0, 0.01, 0}}};
  const SpatialMotion v{{0.3, -0.2, 0.9}, {1.0, 0.5, -0.4}};
  expect_near((body + other) * v, body * v + other * v, 1e-12);
  Inertia acc = body;
  acc += other;
  EXPECT_EQ(acc.mass, 3.5);
  expect_near(acc.inertia, (body + other).inertia, 0);
}

TEST(Inertia, ActMovesTheBody) {
  const Inertia body{3.0, {0.1, -0.2, 0.3}, Symmetric3{{1, 2, 3, 0.1, 0.2, 0.3}}};
  const Inertia same = body.act(SE3::identity());
  EXPECT_EQ(same.mass, body.mass);
  EXPECT_EQ(same.com, body.com);
  expect_near(same.inertia, body.inertia, 0);
  const Inertia shifted = body.act({SpatialRotation::identity(), {1, 2, 3}});
  EXPECT_EQ(shifted.com, (Vector3D{1.1, 1.8, 3.3}));
  EXPECT_EQ(shifted.inertia, body.inertia);
  // Momentum is a force: moving the body and its motion moves its momentum.
  const SpatialMotion v{{0.3, -0.2, 0.9}, {1.0, 0.5, -0.4}};
  for (const SE3& m : sample_placements()) expect_near(body.act(m) * m.act_motion(v), m.act_force(body * v), 1e-12);
}

TEST(Inertia, MomentumOfAPointMassAndOfASpinningBody) {
  // A point mass 2 at (1, 0, 0), the frame turning about z at unit rate: the mass moves
  // along +y with speed 1, so f = (0, 2, 0) and the angular momentum about the origin
  // is c x f = (0, 0, 2).
  const Inertia point{2.0, {1, 0, 0}, Symmetric3::zero()};
  const SpatialForce h = point * SpatialMotion{{0, 0, 1}, {0, 0, 0}};
  expect_near(h.linear, {0, 2, 0}, 0);
  expect_near(h.angular, {0, 0, 2}, 0);
  // A body at the origin: n = I w, f = m v.
  const Inertia centred{4.0, {0, 0, 0}, Symmetric3{{1, 2, 3, 0, 0, 0}}};
  const SpatialForce g = centred * SpatialMotion{{1, 1, 1}, {0.5, 0, 0}};
  expect_near(g.angular, {1, 2, 3}, 0);
  expect_near(g.linear, {2, 0, 0}, 0);
}

// ------------------------------------------------------------------- motions and forces

TEST(SpatialMotion, CrossProductsAndInner) {
  EXPECT_EQ(SpatialMotion::from_rotational_axis({0, 0, 1}), (SpatialMotion{{0, 0, 1}, {0, 0, 0}}));
  EXPECT_EQ(SpatialMotion::from_translational_axis({1, 0, 0}), (SpatialMotion{{0, 0, 0}, {1, 0, 0}}));
  EXPECT_EQ(cross(SpatialMotion{{0, 0, 1}, {0, 0, 0}}, SpatialMotion{{1, 0, 0}, {0, 1, 0}}),
            (SpatialMotion{{0, 1, 0}, {-1, 0, 0}}));
  EXPECT_EQ(cross(SpatialMotion{{0, 0, 0}, {1, 0, 0}}, SpatialMotion{{0, 0, 0}, {0, 1, 0}}),
            (SpatialMotion{{0, 0, 1}, {0, 0, 0}}));
  EXPECT_EQ(inner(SpatialMotion{{1, 2, 3}, {4, 5, 6}}, SpatialMotion{{1, 1, 1}, {1, 1, 1}}), 21.0);

  // The motion cross product: (w x a; w x b + v x a).
  const SpatialMotion m{{0.1, -0.4, 0.8}, {1.5, 0.2, -0.6}};
  const SpatialMotion x{{-0.7, 0.3, 0.2}, {0.4, -1.1, 0.9}};
  expect_near(cross_motion(m, x), {cross(m.rotation, x.rotation),
                                   cross(m.rotation, x.translation) + cross(m.translation, x.rotation)});
  EXPECT_EQ(cross_motion(m, m), SpatialMotion::zero());
  // Duality: (m x x) . f = -x . (m x* f).
  const SpatialForce f{{0.5, 0.25, -1}, {2, -0.5, 0.3}};
  EXPECT_NEAR(inner(cross_motion(m, x), f), -inner(x, cross_force(m, f)), 1e-12);
  // The force cross product agrees with the dual form `cross`.
  const SpatialMotion fd = cross(m, SpatialMotion{f.angular, f.linear});
  expect_near(cross_force(m, f), SpatialForce{fd.rotation, fd.translation}, 0);
}

// ------------------------------------------------------------------------ Configuration

TEST(Configuration, RowsUpdateRowsAndConcat) {
  Configuration c(std::vector<double>{1, 2, 3, 4, 5});
  const auto mid = c.rows(1, 3);
  ASSERT_TRUE(mid);
  EXPECT_EQ(mid->values(), (std::vector<double>{2, 3, 4}));
  EXPECT_EQ(c.rows(5, 0)->len(), 0u);
  EXPECT_FALSE(c.rows(3, 3));
  EXPECT_FALSE(c.rows(6, 0));
  EXPECT_FALSE(c.rows(1, std::numeric_limits<std::size_t>::max()));

  const double piece[2] = {9, 8};
  ASSERT_TRUE(c.update_rows(3, piece));
  EXPECT_EQ(c.values(), (std::vector<double>{1, 2, 3, 9, 8}));
  const auto bad = c.update_rows(4, piece);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(), "Mismatched sizes when updating configuration rows. Expected size 1, got 2.");
  EXPECT_FALSE(c.update_rows(std::numeric_limits<std::size_t>::max(), piece));
  EXPECT_EQ(c.values(), (std::vector<double>{1, 2, 3, 9, 8}));  // unchanged by the failures

  const Configuration parts[] = {Configuration(std::vector<double>{1, 2}), Configuration(),
                                 Configuration(std::vector<double>{3})};
  EXPECT_EQ(Configuration::concat(parts).values(), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(Configuration::concat({}).len(), 0u);
  EXPECT_EQ(Configuration::from_element(3, 1.5).values(), (std::vector<double>{1.5, 1.5, 1.5}));
  EXPECT_EQ(Configuration::zeros(2).values(), (std::vector<double>{0, 0}));
  EXPECT_EQ(ConfigurationError::parameter_size("q", 2, 3).debug(),
            "Parameter 'q' expected configuration size 2, but got 3");
}

TEST(Configuration, RandomStaysInsideLimits) {
  constexpr double two_pi = 6.283185307179586;
  Rng rng;
  const Configuration lower(std::vector<double>{-INFINITY, 0, -0.5, 1.25});
  const Configuration upper(std::vector<double>{1, INFINITY, 0.5, 1.25});
  for (int n = 0; n < 500; ++n) {
    const auto c = Configuration::random(4, rng, lower, upper);
    ASSERT_TRUE(c);
    EXPECT_GE((*c)[0], -two_pi);
    EXPECT_LT((*c)[0], 1.0);
    EXPECT_GE((*c)[1], 0.0);
    EXPECT_LT((*c)[1], two_pi);
    EXPECT_GE((*c)[2], -0.5);
    EXPECT_LT((*c)[2], 0.5);
    EXPECT_EQ((*c)[3], 1.25);  // a locked coordinate keeps its one value
  }
  EXPECT_EQ(Configuration::random(0, rng, Configuration(), Configuration())->len(), 0u);
}

TEST(Configuration, RandomRefusesLimitsItCannotDrawFrom) {
  Rng rng;
  struct Case {
    double lo, hi;
  };
  const double big = std::numeric_limits<double>::max();
  for (const Case& k : {Case{1, 0}, Case{NAN, 1}, Case{0, NAN}, Case{-big, big}, Case{INFINITY, INFINITY},
                        Case{-INFINITY, -INFINITY}, Case{INFINITY, 1}}) {
    const auto c = Configuration::random(2, rng, Configuration(std::vector<double>{0, k.lo}),
                                         Configuration(std::vector<double>{1, k.hi}));
    ASSERT_FALSE(c) << k.lo << " " << k.hi;
    EXPECT_EQ(c.error().index, 1u);
  }
}

TEST(Rng, UniformIsInUnitIntervalWithFiftyTwoBits) {
  Rng rng;
  double lo = 1, hi = 0;
  for (int n = 0; n < 10000; ++n) {
    const double u = rng.uniform();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    // 52 random bits: every draw is a multiple of 2^-52.
    ASSERT_EQ(std::ldexp(u, 52), std::floor(std::ldexp(u, 52)));
    lo = std::min(lo, u), hi = std::max(hi, u);
  }
  EXPECT_LT(lo, 0.01);
  EXPECT_GT(hi, 0.99);
}
