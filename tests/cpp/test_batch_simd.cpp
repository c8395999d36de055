// Four states side by side in vector lanes: the sine and cosine against the C library's
// in units in the last place, forward kinematics, inverse and forward dynamics against the
// single-state functions (rounding only) on models with every joint shape the lanes
// specialise for, and the models the lanes leave to the single-state code.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/batch.hpp"
#include "core/algorithms/batch_simd.hpp"
#include "core/joint/joint.hpp"
#include "core/model/model.hpp"
#include "core/urdf/urdf.hpp"

using namespace velmora;

namespace {

#define REQUIRE_LANES() \
  if (!lanes::processor_has_lanes()) GTEST_SKIP() << "no AVX2 and FMA on this processor"

// Distance from a to the reference b in units of b's last place (that of the smallest
// normal number for tiny b).
double ulps(double a, double b) {
  const double mag = std::max(std::abs(b), std::numeric_limits<double>::min());
  const double ulp = std::nextafter(mag, INFINITY) - mag;
  return std::abs(a - b) / ulp;
}

// The largest error of the lanes' sine and cosine over xs, in ulps.
std::pair<double, double> worst_ulps(const std::vector<double>& xs) {
  double worst_sin = 0, worst_cos = 0;
  for (std::size_t i = 0; i + 4 <= xs.size(); i += 4) {
    double s[4], c[4];
    lanes::sin_cos4(xs.data() + i, s, c);
    for (int l = 0; l < 4; ++l) {
      worst_sin = std::max(worst_sin, ulps(s[l], std::sin(xs[i + l])));
      worst_cos = std::max(worst_cos, ulps(c[l], std::cos(xs[i + l])));
    }
  }
  return {worst_sin, worst_cos};
}

TEST(LaneSinCos, WithinAnUlpOverTheReducibleRange) {
  REQUIRE_LANES();
  std::mt19937_64 rng(7);
  std::vector<double> xs;
  for (double range : {1.0, 4.0, 40.0, 1e3, 1e5}) {
    std::uniform_real_distribution<double> u(-range, range);
    for (int k = 0; k < 40000; ++k) xs.push_back(u(rng));
  }
  // Next to multiples of pi/2, where the reduction cancels the most.
  for (int k = -60000; k <= 60000; k += 37) {
    double x = k * (std::numbers::pi / 2);
    for (int step = 0; step < 4; ++step) xs.push_back(x = std::nextafter(x, INFINITY));
  }
  const auto [s, c] = worst_ulps(xs);
  // Against the C library's (itself within half an ulp or so): one ulp apart at most
  // nearly everywhere, two in rare cases.
  EXPECT_LE(s, 2.0);
  EXPECT_LE(c, 2.0);
}

TEST(LaneSinCos, SmallValuesSignedZerosAndWhatTheCLibraryTakes) {
  REQUIRE_LANES();
  const double tiny[] = {0.0, -0.0, 1e-300, -4.9e-324, 1e-9, -2e-5, 0.785, -0.7853981633974483};
  for (std::size_t i = 0; i < 8; i += 4) {
    double s[4], c[4];
    lanes::sin_cos4(tiny + i, s, c);
    for (int l = 0; l < 4; ++l) {
      EXPECT_LE(ulps(s[l], std::sin(tiny[i + l])), 1.0) << tiny[i + l];
      EXPECT_LE(ulps(c[l], std::cos(tiny[i + l])), 1.0) << tiny[i + l];
      EXPECT_EQ(std::signbit(s[l]), std::signbit(std::sin(tiny[i + l]))) << tiny[i + l];
    }
  }
  // Beyond the reduction's range, infinities and NaN: exactly the C library's values, the
  // other lanes of the same group unaffected.
  const double far[] = {1.0000001e5, -3e9, 1e300, 2.5, INFINITY, -INFINITY, NAN, -1.25};
  for (std::size_t i = 0; i < 8; i += 4) {
    double s[4], c[4];
    lanes::sin_cos4(far + i, s, c);
    for (int l = 0; l < 4; ++l) {
      const double x = far[i + l];
      if (std::abs(x) <= 1e5) {
        EXPECT_LE(ulps(s[l], std::sin(x)), 1.0);
        EXPECT_LE(ulps(c[l], std::cos(x)), 1.0);
      } else if (std::isnan(std::sin(x))) {
        EXPECT_TRUE(std::isnan(s[l]) && std::isnan(c[l])) << x;
      } else {
        EXPECT_EQ(s[l], std::sin(x)) << x;
        EXPECT_EQ(c[l], std::cos(x)) << x;
      }
    }
  }
}

// A tree with every shape the lanes tell apart: revolute and continuous joints about +-x,
// +-y, +-z and general axes, under placements that only translate and under rotated ones;
// prismatic joints with a non-unit axis; fixed joints; two branches.
Model every_shape() {
  Model m;
  const Vector3D axes[] = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0.3, -0.5, 0.8}, {0, 0, -1}, {2, 0.1, -0.4}};
  std::size_t parent = 0, branch = 0;
  for (std::size_t i = 1; i <= 16; ++i) {
    const double t = static_cast<double>(i);
    const Vector3D& axis = axes[i % 6];
    const SE3 placement = i % 3 == 0 ? SE3{SpatialRotation::identity(), {0.1, -0.05 * t, 0.2}}
                                     : SE3{SpatialRotation::from_axis_angle({0.2, 1, t}, 0.3 * t), {0.1, 0.02, 0.25}};
    std::unique_ptr<JointModel> joint = i % 5 == 0   ? make_prismatic(axis * 1.5)
                                        : i % 7 == 0 ? make_fixed()
                                        : i % 4 == 0 ? make_continuous(axis)
                                                     : make_revolute(axis);
    if (i == 10) parent = branch;  // a second branch from joint 4
    const std::size_t id = m.add_joint(parent, std::move(joint), placement, "j" + std::to_string(i)).value();
    if (i == 4) branch = id;
    parent = id;
    m.inertias[id] =
        Inertia{0.5 + 0.1 * t, {0.02 * t, -0.01, 0.1}, Symmetric3{{0.03, 0.02, 0.04, 0.002, -0.001, 0.003}}};
    m.add_frame(Frame{"f" + std::to_string(i), id, 0, placement, FrameType::Operational, Inertia{}}, false).value();
  }
  return m;
}

// n random states: angles up to `range`, continuous pairs of any length, rates up to 3.
void random_states(const Model& m, std::size_t n, double range, std::vector<double>& Q, std::vector<double>& V,
                   std::vector<double>& A) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> angle(-range, range), rate(-3, 3), length(0.2, 5);
  Q.assign(n * m.nq, 0), V.resize(n * m.nv), A.resize(n * m.nv);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 1; j < m.njoints(); ++j) {
      double* q = Q.data() + i * m.nq + m.idx_q[j];
      if (m.joint_models[j]->nq() == 2) {
        const double a = angle(rng), r = length(rng);
        q[0] = r * std::cos(a), q[1] = r * std::sin(a);
      } else if (m.joint_models[j]->nq() == 1) {
        q[0] = angle(rng);
      }
    }
    for (std::size_t k = 0; k < m.nv; ++k) V[i * m.nv + k] = rate(rng), A[i * m.nv + k] = rate(rng);
  }
}

// Row i of got against want within rel of the row's largest magnitude; NaN where want has NaN.
void expect_rows_close(const std::vector<double>& got, const std::vector<double>& want, std::size_t width,
                       double rel = 1e-13) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t row = 0; row * width < want.size(); ++row) {
    double scale = 0;
    for (std::size_t k = 0; k < width; ++k)
      if (std::isfinite(want[row * width + k])) scale = std::max(scale, std::abs(want[row * width + k]));
    for (std::size_t k = 0; k < width; ++k) {
      const double g = got[row * width + k], w = want[row * width + k];
      if (std::isnan(w)) {
        EXPECT_TRUE(std::isnan(g)) << row << " " << k;
      } else {
        EXPECT_LE(std::abs(g - w), rel * scale) << "row " << row << " entry " << k << ": " << g << " vs " << w;
      }
    }
  }
}

// The batch on the lanes (rows 0..n/4*4) against the single-state calls, for the build of
// the passes in use.
void expect_build_matches_single_calls(const Model& m, const std::vector<double>& Q, const std::vector<double>& V,
                                       const std::vector<double>& A) {
  const std::size_t n = Q.size() / m.nq, nv = m.nv, nf = m.nframes();
  std::vector<std::size_t> frames(nf);
  for (std::size_t f = 0; f < nf; ++f) frames[f] = f;
  std::vector<double> fk(n * nf * 16), tau(n * nv), fk1(fk.size()), tau1(tau.size()), acc(n * nv), acc1(n * nv);
  ASSERT_TRUE(forward_kinematics_batch(m, n, Q.data(), frames, fk.data(), 2));
  ASSERT_TRUE(rnea_batch(m, n, Q.data(), V.data(), A.data(), tau.data(), 2));
  Data data = m.create_data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const double> q{Q.data() + i * m.nq, m.nq};
    ASSERT_TRUE(forward_kinematics(m, data, q));
    for (std::size_t f = 0; f < nf; ++f) {
      const SE3 x = data.oMi[m.frames[f].parent_joint] * m.frames[f].placement;
      double* h = fk1.data() + (i * nf + f) * 16;
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) h[4 * r + c] = x.rotation(r, c);
        h[4 * r + 3] = x.translation[r];
      }
      h[12] = h[13] = h[14] = 0, h[15] = 1;
    }
    const auto t = rnea(m, q, {V.data() + i * nv, nv}, {A.data() + i * nv, nv});
    ASSERT_TRUE(t);
    std::copy(t->values().begin(), t->values().end(), tau1.begin() + static_cast<std::ptrdiff_t>(i * nv));
    const auto a = aba(m, q, {V.data() + i * nv, nv}, t->span());
    ASSERT_TRUE(a);
    std::copy(a->values().begin(), a->values().end(), acc1.begin() + static_cast<std::ptrdiff_t>(i * nv));
  }
  ASSERT_TRUE(aba_batch(m, n, Q.data(), V.data(), tau1.data(), acc.data(), 2));
  expect_rows_close(fk, fk1, nf * 16);
  expect_rows_close(tau, tau1, nv);
  // Forward dynamics moves with rounding by up to the mass matrix's condition number
  // (this tree's bodies differ by 1e3 in size): the lanes must undo rnea about as closely
  // as the single calls do (the largest of several hundred such errors varies by a few
  // times with the order of the operations alone), NaN where they give NaN.
  double single_error = 0, lanes_error = 0;
  for (std::size_t k = 0; k < n * nv; ++k) {
    if (std::isnan(acc1[k])) {
      EXPECT_TRUE(std::isnan(acc[k])) << k;
      continue;
    }
    single_error = std::max(single_error, std::abs(acc1[k] - A[k]));
    lanes_error = std::max(lanes_error, std::abs(acc[k] - A[k]));
  }
  EXPECT_LE(lanes_error, 8 * single_error + 1e-13);
}

// The same for each build of the passes the processor runs: AVX2 with 16 vector registers,
// and AVX-512VL's 32 where it has them.
void expect_lanes_match_single_calls(const Model& m, const std::vector<double>& Q, const std::vector<double>& V,
                                     const std::vector<double>& A) {
  for (const bool wide : {false, true}) {
    if (wide && !lanes::processor_has_wide_registers()) continue;
    SCOPED_TRACE(wide ? "32 registers" : "16 registers");
    lanes::use_wide_registers(wide);
    EXPECT_EQ(lanes::wide_registers(), wide);
    expect_build_matches_single_calls(m, Q, V, A);
  }
  lanes::use_wide_registers(true);
}

TEST(Lanes, EveryJointShapeMatchesTheSingleStateCode) {
  REQUIRE_LANES();
  const Model m = every_shape();
  ASSERT_TRUE(lanes::covers(m));
  std::vector<double> Q, V, A;
  for (double range : {3.2, 200.0}) {
    random_states(m, 43, range, Q, V, A);
    expect_lanes_match_single_calls(m, Q, V, A);
  }
}

// Trees of 40-odd joints from the robots of tests/robots (joints about coordinate axes and
// general ones, rotated placements, many branches), for each build: their rows overflow
// the first-level cache and the passes' values the vector registers, which the two builds
// handle each in its own way.
TEST(Lanes, LargeRobotTreesMatchTheSingleStateCode) {
  REQUIRE_LANES();
  for (const char* name : {"nao", "pr2", "unitree_g1"}) {
    SCOPED_TRACE(name);
    const auto loaded = build_model_from_urdf(std::string(VELMORA_ROBOTS_DIR) + "/" + name + "/robot.urdf");
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(lanes::covers(*loaded));
    std::vector<double> Q, V, A;
    random_states(*loaded, 24, 3.0, Q, V, A);
    expect_lanes_match_single_calls(*loaded, Q, V, A);
  }
}

TEST(Lanes, PositionsTheReductionDoesNotTakeAndPairsWithoutDirection) {
  REQUIRE_LANES();
  // Angles past the reduction's range and continuous pairs of zero, tiny, huge, infinite
  // or NaN length go through the single-state formulas lane by lane; the other lanes of
  // their group are unaffected.
  const Model m = every_shape();
  std::vector<double> Q, V, A;
  random_states(m, 16, 3.0, Q, V, A);
  std::size_t revolute = 0, continuous = 0;
  for (std::size_t j = 1; j < m.njoints(); ++j) {
    if (!revolute && m.joint_models[j]->get_joint_type() == JointType::Revolute) revolute = m.idx_q[j];
    if (!continuous && m.joint_models[j]->get_joint_type() == JointType::Continuous) continuous = m.idx_q[j];
  }
  ASSERT_TRUE(revolute && continuous);
  const double angles[] = {2e5, -1e12, 1e5, NAN, 7.5, INFINITY};
  const double pairs[][2] = {{0, 0}, {1e-160, -1e-160}, {1e200, 3e199}, {INFINITY, 1}, {NAN, 0.5}, {-0.0, 0.0}};
  for (std::size_t k = 0; k < 6; ++k) {
    Q[(2 * k + 1) * m.nq + revolute] = angles[k];
    Q[(2 * k) * m.nq + continuous] = pairs[k][0];
    Q[(2 * k) * m.nq + continuous + 1] = pairs[k][1];
  }
  expect_lanes_match_single_calls(m, Q, V, A);
}

TEST(Lanes, SwitchedOffTheBatchIsTheSingleStateCodeBitForBit) {
  REQUIRE_LANES();
  const Model m = every_shape();
  std::vector<double> Q, V, A;
  random_states(m, 12, 3.0, Q, V, A);
  std::vector<double> on(12 * m.nv), off(12 * m.nv), single(12 * m.nv);
  ASSERT_TRUE(rnea_batch(m, 12, Q.data(), V.data(), A.data(), on.data(), 1));
  lanes::use_lanes(false);
  EXPECT_FALSE(lanes::available());
  ASSERT_TRUE(rnea_batch(m, 12, Q.data(), V.data(), A.data(), off.data(), 1));
  for (std::size_t i = 0; i < 12; ++i) {
    const auto t = rnea(m, {Q.data() + i * m.nq, m.nq}, {V.data() + i * m.nv, m.nv}, {A.data() + i * m.nv, m.nv});
    std::copy(t->values().begin(), t->values().end(), single.begin() + static_cast<std::ptrdiff_t>(i * m.nv));
  }
  lanes::use_lanes(true);
  EXPECT_TRUE(lanes::available());
  EXPECT_EQ(off, single);
  // Fused multiply-adds round differently somewhere in twelve states of sixteen joints.
  EXPECT_NE(on, single);
}

TEST(Lanes, SingularStateInAGroupIsNamedAndTheOthersComputed) {
  REQUIRE_LANES();
  // Joint 1 about z carries joint 2 about y carrying a point mass at (0, 0, 1): joint 1
  // has nothing to accelerate when joint 2 is at 0 (row 6, in the group of rows 4..7).
  Model m;
  m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "turn").value();
  m.add_joint(1, make_revolute({0, 1, 0}), SE3::identity(), "tilt").value();
  m.inertias[2] = Inertia{2.0, {0, 0, 1}, Symmetric3{}};
  const std::size_t n = 11;
  std::vector<double> Q(2 * n), V(2 * n, 0.3), T(2 * n, 1.0), out(2 * n, NAN);
  for (std::size_t i = 0; i < n; ++i) Q[2 * i] = 0.1 * static_cast<double>(i), Q[2 * i + 1] = 0.5;
  Q[2 * 6 + 1] = 0.0;
  for (std::size_t threads : {1u, 2u, 3u}) {
    const auto done = aba_batch(m, n, Q.data(), V.data(), T.data(), out.data(), threads);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().row, 6u) << threads;
    EXPECT_NE(done.error().message.find("'turn'"), std::string::npos);
  }
  // The rows before it in its group hold the single calls' results.
  for (std::size_t i = 4; i < 6; ++i) {
    const auto a = aba(m, {Q.data() + 2 * i, 2}, {V.data() + 2 * i, 2}, {T.data() + 2 * i, 2});
    ASSERT_TRUE(a);
    EXPECT_EQ(out[2 * i], (*a)[0]) << i;
    EXPECT_EQ(out[2 * i + 1], (*a)[1]) << i;
  }
  // Nearly singular (1e-10 of the inertia's size, above aba's threshold of 1e-12): the
  // single-state code decides, so the whole group is the single calls' results bit for bit.
  // The same on placements with general rotations, where the lanes of an optimised build
  // round differently from the single calls (rows 0..3 show it), so that the bits of rows
  // 4..7 tell which code computed them.
  Model tilted;
  const SE3 base{SpatialRotation::from_axis_angle({0.3, 0.2, 1}, 0.4), {0.1, 0.2, 0.3}};
  const SE3 up_the_axis{SpatialRotation::about<2>(std::cos(0.7), std::sin(0.7)), {0, 0, 0.5}};
  tilted.add_joint(0, make_revolute({0, 0, 1}), base, "turn").value();
  tilted.add_joint(1, make_revolute({0, 1, 0}), up_the_axis, "tilt").value();
  tilted.inertias[2] = Inertia{2.0, {0, 0, 1}, Symmetric3{}};
  for (std::size_t k = 0; k < 2 * n; ++k) {
    const double t = static_cast<double>(k);
    V[k] = std::sin(1.3 * t), T[k] = std::cos(0.7 * t);
  }
  // Turn's inertia about its axis 2 sin^2(tilt) against a size of 2 * 2 * 1.5^2.
  Q[2 * 6 + 1] = std::asin(std::sqrt(9e-10));
  ASSERT_TRUE(aba_batch(tilted, n, Q.data(), V.data(), T.data(), out.data(), 2));
  std::size_t lanes_differ = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const auto a = aba(tilted, {Q.data() + 2 * i, 2}, {V.data() + 2 * i, 2}, {T.data() + 2 * i, 2});
    ASSERT_TRUE(a);
    if (i < 4) {
      lanes_differ += (out[2 * i] != (*a)[0]) + (out[2 * i + 1] != (*a)[1]);
      continue;
    }
    EXPECT_EQ(out[2 * i], (*a)[0]) << i;
    EXPECT_EQ(out[2 * i + 1], (*a)[1]) << i;
  }
#ifdef __OPTIMIZE__
  EXPECT_GT(lanes_differ, 0u);  // without optimisation no product is fused, and the check says nothing
#endif
}

TEST(Lanes, ModelsLeftToTheSingleStateCode) {
  Model m = every_shape();
  EXPECT_TRUE(lanes::covers(m));
  Model floating = every_shape();
  floating.add_joint(3, make_free_flyer(), SE3::identity(), "loose").value();
  EXPECT_FALSE(lanes::covers(floating));
  Model spherical;
  spherical.add_joint(0, make_spherical(), SE3::identity(), "ball").value();
  EXPECT_FALSE(lanes::covers(spherical));
  Model zero_axis;
  zero_axis.add_joint(0, make_revolute({0, 0, 0}), SE3::identity(), "nowhere").value();
  EXPECT_FALSE(lanes::covers(zero_axis));
  Model no_inertias = every_shape();
  no_inertias.inertias.pop_back();
  EXPECT_FALSE(lanes::covers(no_inertias));
  // The single-state code reports the malformed model, as for a single call.
  std::vector<double> Q(8 * no_inertias.nq), V(8 * no_inertias.nv), out(8 * no_inertias.nv);
  EXPECT_FALSE(rnea_batch(no_inertias, 8, Q.data(), V.data(), V.data(), out.data(), 1));
}

TEST(Lanes, TwoLinkArmClosedForm) {
  REQUIRE_LANES();
  // Two links of length l about parallel z axes, point masses m at their ends, gravity
  // along -y: tau = M(q) a + C(q, v) v + g(q) in the textbook's closed form.
  const double mass = 1.3, l = 0.7, g = 9.81;
  Model arm;
  arm.gravity = {0, -g, 0};
  arm.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "shoulder").value();
  arm.add_joint(1, make_revolute({0, 0, 1}), SE3{SpatialRotation::identity(), {l, 0, 0}}, "elbow").value();
  arm.inertias[1] = arm.inertias[2] = Inertia{mass, {l, 0, 0}, Symmetric3{}};
  const std::size_t n = 8;
  std::vector<double> Q(2 * n), V(2 * n), A(2 * n), tau(2 * n);
  for (std::size_t i = 0; i < 2 * n; ++i) {
    const double t = static_cast<double>(i);
    Q[i] = std::sin(1.7 * t) * 3, V[i] = std::cos(0.9 * t), A[i] = std::sin(2.3 * t + 1);
  }
  ASSERT_TRUE(rnea_batch(arm, n, Q.data(), V.data(), A.data(), tau.data(), 1));
  for (std::size_t i = 0; i < n; ++i) {
    const double q1 = Q[2 * i], q2 = Q[2 * i + 1], v1 = V[2 * i], v2 = V[2 * i + 1];
    const double a1 = A[2 * i], a2 = A[2 * i + 1], c2 = std::cos(q2), s2 = std::sin(q2);
    const double m11 = mass * l * l * (3 + 2 * c2), m12 = mass * l * l * (1 + c2), m22 = mass * l * l;
    const double h = mass * l * l * s2;
    const double g1 = mass * g * l * (2 * std::cos(q1) + std::cos(q1 + q2)), g2 = mass * g * l * std::cos(q1 + q2);
    EXPECT_NEAR(tau[2 * i], m11 * a1 + m12 * a2 - h * (2 * v1 * v2 + v2 * v2) + g1, 1e-12) << i;
    EXPECT_NEAR(tau[2 * i + 1], m12 * a1 + m22 * a2 + h * v1 * v1 + g2, 1e-12) << i;
  }
}

}  // namespace
