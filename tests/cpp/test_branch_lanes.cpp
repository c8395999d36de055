// Forward kinematics and dynamics with the branches of the tree side by side in vector
// lanes: against the single-state passes (lanes off) on trees of every one-axis kind with
// fingers that branch from the middle of chains, on the large robots, for each build;
// singular joints named as without the lanes; and the schedule following the model's
// records.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/batch_simd.hpp"
#include "core/algorithms/branch_lanes.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/joint/joint.hpp"
#include "core/model/model.hpp"
#include "core/urdf/urdf.hpp"

using namespace velmora;

namespace {

#define REQUIRE_LANES() \
  if (!lanes::processor_has_lanes()) GTEST_SKIP() << "no AVX2 and FMA on this processor"

using Vec = std::vector<double>;
using Rand = std::mt19937_64;

double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }
Vector3D random_vector(Rand& r, double s) { return {uniform(r, -s, s), uniform(r, -s, s), uniform(r, -s, s)}; }

// Four limbs from the world, each a chain with fingers from its last joints and one from
// its middle (numbered depth first, or after all the limbs); revolute joints about +-x, +-y, +-z and general axes, continuous ones,
// slides along axes of any length; placements that turn and that only translate.
Model branching_tree(Rand& r, bool slides, bool depth_first = false) {
  Model m;
  const Vector3D axes[] = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0.3, -0.5, 0.8}, {0, 0, -1}, {-1, 0, 0}};
  std::size_t count = 0;
  auto add = [&](std::size_t parent) {
    ++count;
    const Vector3D& axis = axes[count % 6];
    std::unique_ptr<JointModel> j = slides && count % 5 == 0 ? make_prismatic(axis * 1.7)
                                    : count % 4 == 0         ? make_continuous(axis)
                                                             : make_revolute(axis);
    const SE3 placement{count % 3 ? SpatialRotation::from_axis_angle(random_vector(r, 1), 1.0)
                                  : SpatialRotation::identity(),
                        random_vector(r, 0.4)};
    const std::size_t id = m.add_joint(parent, std::move(j), placement, "j" + std::to_string(count)).value();
    const double a = uniform(r, 0.01, 0.1), b = uniform(r, 0.01, 0.1), c = uniform(r, 0.01, 0.1);
    m.inertias[id] = {uniform(r, 0.5, 3.0), random_vector(r, 0.3),
                      Symmetric3{{b + c, a + c, a + b, 0, 0, 0}}.rotate(
                          SpatialRotation::from_axis_angle(random_vector(r, 1), uniform(r, -3, 3)))};
    return id;
  };
  std::vector<std::size_t> middles;
  for (std::size_t limb = 0; limb < 4; ++limb) {
    std::size_t joint = 0, middle = 0;
    for (std::size_t k = 0; k < 4 + limb; ++k) {
      joint = add(joint);
      if (k == 1) middle = joint;
      // Numbered depth first: the middle's own finger before the rest of the chain.
      if (k == 1 && depth_first) add(middle);
    }
    for (std::size_t finger = 0; finger < limb; ++finger)
      for (std::size_t k = 0, at = joint; k < 1 + finger; ++k) at = add(at);
    middles.push_back(middle);
  }
  // Otherwise after every limb: the subtrees of the middles are not runs of joints.
  if (!depth_first)
    for (const std::size_t middle : middles) add(middle);
  return m;
}

Vec random_state(Rand& r, const Model& m, double range) {
  Vec q(m.nq);
  for (std::size_t j = 1; j < m.njoints(); ++j) {
    double* x = q.data() + m.idx_q[j];
    const double angle = uniform(r, -range, range);
    if (m.joint_models[j]->nq() == 2) x[0] = 1.7 * std::cos(angle), x[1] = 1.7 * std::sin(angle);
    else x[0] = angle;
  }
  return q;
}
Vec random_vec(Rand& r, std::size_t n, double s) {
  Vec x(n);
  for (double& e : x) e = uniform(r, -s, s);
  return x;
}

Model robot(const char* name) {
  return build_model_from_urdf(std::string(VELMORA_ROBOTS_DIR) + "/" + name + "/robot.urdf").value();
}

// f() with the lanes switched off.
template <class F>
auto lanes_off(F&& f) {
  lanes::use_lanes(false);
  auto result = f();
  lanes::use_lanes(true);
  return result;
}

// f(wide) for each build of the lane passes the processor runs: AVX2 with 16 vector
// registers, and AVX-512VL's 32 where it has them.
template <class F>
void for_each_build(F&& f) {
  for (const bool wide : {false, true}) {
    if (wide && !lanes::processor_has_wide_registers()) continue;
    lanes::use_wide_registers(wide);
    f(wide);
  }
  lanes::use_wide_registers(true);
}

// Branching trees without and with slides, then the large robots.
std::vector<Model> trees_and_robots(Rand& r) {
  std::vector<Model> models;
  for (const bool slides : {false, true}) models.push_back(branching_tree(r, slides));
  for (const char* name : {"nao", "pr2", "unitree_g1"}) models.push_back(robot(name));
  return models;
}

double largest(const Vec& x) {
  double m = 0;
  for (const double e : x) m = std::max(m, std::abs(e));
  return m;
}

// aba with the lanes on must undo rnea about as closely as the joint-frame passes do
// (lanes off), for each build of the lane passes.
void expect_lanes_undo_rnea(const Model& m, Rand& r, int states) {
  const lanes::BranchSchedule* schedule = lanes::branch_schedule(m);
  ASSERT_TRUE(schedule && schedule->worthwhile);
  for (int s = 0; s < states; ++s) {
    const Vec q = random_state(r, m, 3.2), v = random_vec(r, m.nv, 2), a = random_vec(r, m.nv, 3);
    const Vec tau = rnea(m, q, v, a).value().values();
    const Vec single = lanes_off([&] { return aba(m, q, v, tau).value().values(); });
    double single_error = 0;
    for (std::size_t k = 0; k < m.nv; ++k) single_error = std::max(single_error, std::abs(single[k] - a[k]));
    for_each_build([&](bool wide) {
      const Vec lanes_result = aba(m, q, v, tau).value().values();
      double error = 0;
      for (std::size_t k = 0; k < m.nv; ++k) error = std::max(error, std::abs(lanes_result[k] - a[k]));
      EXPECT_LE(error, 8 * single_error + 1e-13 * largest(a)) << "state " << s << (wide ? ", 32 registers" : "");
    });
  }
}

TEST(BranchLanes, TreesOfEveryOneAxisKindUndoTheNewtonEulerEfforts) {
  REQUIRE_LANES();
  Rand r(3);
  for (const bool slides : {false, true}) {
    SCOPED_TRACE(slides ? "with slides" : "rotations only");
    const Model m = branching_tree(r, slides);
    EXPECT_EQ(lanes::branch_schedule(m)->prismatic, slides);
    expect_lanes_undo_rnea(m, r, 12);
  }
}

TEST(BranchLanes, LargeRobotsUndoTheNewtonEulerEfforts) {
  REQUIRE_LANES();
  Rand r(4);
  for (const char* name : {"nao", "pr2", "unitree_g1"}) {
    SCOPED_TRACE(name);
    expect_lanes_undo_rnea(robot(name), r, 6);
  }
}

// The lanes' mass matrix, on trees numbered depth first or not and on the humanoids,
// against the single-state pass: to rounding, symmetric bit for bit, zero where two joints
// share no path.
TEST(BranchLanes, MassMatrixMatchesTheSingleStatePass) {
  REQUIRE_LANES();
  Rand r(7);
  std::vector<Model> models;
  for (const bool depth_first : {false, true}) models.push_back(branching_tree(r, true, depth_first));
  for (const char* name : {"nao", "pr2", "unitree_g1"}) models.push_back(robot(name));
  for (std::size_t k = 0; k < models.size(); ++k) {
    const Model& m = models[k];
    ASSERT_TRUE(lanes::branch_schedule(m)->mass_matrix);
    const Vec q = random_state(r, m, 3.2);
    const Vec single = lanes_off([&] { return mass_matrix(m, q).value().values; });
    const double scale = largest(single);
    for_each_build([&](bool) {
      Vec M(m.nv * m.nv, std::nan(""));
      ASSERT_TRUE(mass_matrix(m, q, M.data()));
      for (std::size_t i = 0; i < m.nv; ++i)
        for (std::size_t j = 0; j < m.nv; ++j) {
          const double x = M[i + m.nv * j];
          EXPECT_EQ(x, M[j + m.nv * i]);
          if (single[i + m.nv * j] == 0) EXPECT_EQ(x, 0.0) << k << ": " << i << ", " << j;
          else EXPECT_NEAR(x, single[i + m.nv * j], 1e-13 * scale) << k << ": " << i << ", " << j;
        }
    });
  }
}

// The bodies the lanes keep follow the model's inertias changed in place, each number of
// each body in turn (the passes compare them as they run): aba, rnea and the mass matrix
// stay those of the single-state passes.
TEST(BranchLanes, KeptBodiesFollowInertiasChangedInPlace) {
  REQUIRE_LANES();
  Rand r(12);
  Model m = robot("nao");
  const Vec q = random_state(r, m, 2), v = random_vec(r, m.nv, 1), a = random_vec(r, m.nv, 2);
  auto near = [](const Vec& x, const Vec& y) {
    const double scale = largest(y);
    for (std::size_t k = 0; k < x.size(); ++k)
      if (!(std::abs(x[k] - y[k]) <= 1e-12 * scale)) return false;
    return true;
  };
  for (std::size_t i = 1; i < m.njoints(); ++i) {
    // Mass, centre, diagonal, then off-diagonal entries: small enough to stay an inertia.
    double* words = reinterpret_cast<double*>(&m.inertias[i]);
    const std::size_t k = (i * 3) % (sizeof(Inertia) / sizeof(double));
    words[k] += k < 4 ? 0.1 : 0.01 * std::min({words[4], words[5], words[6]});
    const Vec tau = rnea(m, q, v, a).value().values();
    EXPECT_TRUE(near(tau, lanes_off([&] { return rnea(m, q, v, a).value().values(); }))) << i;
    EXPECT_TRUE(near(aba(m, q, v, tau).value().values(), lanes_off([&] { return aba(m, q, v, tau).value().values(); })))
        << i;
    EXPECT_TRUE(near(mass_matrix(m, q).value().values, lanes_off([&] { return mass_matrix(m, q).value().values; })))
        << i;
  }
}

// Forward kinematics against the single-state pass (lanes off): every joint's world
// placement to rounding, and its own placement at q (what its joint data keeps), on trees
// with slides and continuous joints and on the large robots.
TEST(BranchLanes, ForwardKinematicsMatchesTheSingleStatePass) {
  REQUIRE_LANES();
  Rand r(11);
  const std::vector<Model> models = trees_and_robots(r);
  for (std::size_t k = 0; k < models.size(); ++k) {
    const Model& m = models[k];
    ASSERT_TRUE(lanes::branch_schedule(m)->worthwhile);
    const Vec q = random_state(r, m, 3.2);
    Data single = m.create_data();
    lanes_off([&] { return forward_kinematics(m, single, q).has_value(); });
    for_each_build([&](bool) {
      Data data = m.create_data();
      ASSERT_TRUE(forward_kinematics(m, data, q));
      const auto expect_near = [&](const SE3& x, const SE3& y, double tolerance, std::size_t i) {
        for (int e = 0; e < 9; ++e) EXPECT_NEAR(x.rotation.m[e], y.rotation.m[e], tolerance) << k << ": " << i;
        for (int e = 0; e < 3; ++e) EXPECT_NEAR(x.translation[e], y.translation[e], tolerance) << k << ": " << i;
      };
      for (std::size_t i = 0; i < m.njoints(); ++i) {
        expect_near(data.oMi[i], single.oMi[i], 1e-14, i);
        expect_near(data.joint_data[i]->get_joint_placement(), single.joint_data[i]->get_joint_placement(), 1e-15, i);
      }
    });
  }
}

// Inverse dynamics against the single-state pass, to rounding, with and without slides.
TEST(BranchLanes, InverseDynamicsMatchesTheSingleStatePass) {
  REQUIRE_LANES();
  Rand r(9);
  const std::vector<Model> models = trees_and_robots(r);
  for (std::size_t k = 0; k < models.size(); ++k) {
    const Model& m = models[k];
    ASSERT_TRUE(lanes::branch_schedule(m)->worthwhile);
    const Vec q = random_state(r, m, 3.2), v = random_vec(r, m.nv, 2), a = random_vec(r, m.nv, 3);
    const Vec single = lanes_off([&] { return rnea(m, q, v, a).value().values(); });
    const double scale = largest(single);
    for_each_build([&](bool) {
      Vec tau = a;  // written over its own input
      ASSERT_TRUE(rnea(m, q, v, tau, tau.data()));
      for (std::size_t i = 0; i < m.nv; ++i) EXPECT_NEAR(tau[i], single[i], 1e-13 * scale) << k << ": " << i;
    });
  }
}

// A finger without inertia about its axis: the same error as without the lanes, nothing
// written; and the result may be written over an input.
TEST(BranchLanes, SingularJointNamedAndResultOverTheInputs) {
  REQUIRE_LANES();
  Rand r(5);
  Model m = branching_tree(r, false);
  const std::size_t finger = m.njoints() - 2;
  ASSERT_NE(m.joint_parents[finger], 0u);
  const Vec q = random_state(r, m, 2), v = random_vec(r, m.nv, 1);
  Vec tau = random_vec(r, m.nv, 4);
  const Vec expected = aba(m, q, v, tau).value().values();
  aba(m, q, v, tau, tau.data()).value();
  for (std::size_t k = 0; k < m.nv; ++k) EXPECT_EQ(tau[k], expected[k]);

  m.inertias[m.njoints() - 1] = Inertia{};
  m.inertias[finger] = Inertia{};
  Vec out(m.nv, 7.0);
  const auto with_lanes = aba(m, q, v, tau, out.data());
  const auto without = lanes_off([&] { return aba(m, q, v, tau); });
  ASSERT_FALSE(with_lanes);
  ASSERT_FALSE(without);
  EXPECT_EQ(with_lanes.error().message, without.error().message);
  for (const double x : out) EXPECT_EQ(x, 7.0);
}

// A new joint, a copy or a move gives the records a new stamp, and the schedule follows;
// models the pass does not cover or gains nothing on get none or one not worth running.
TEST(BranchLanes, ScheduleFollowsTheRecords) {
  REQUIRE_LANES();
  Rand r(6);
  Model m = branching_tree(r, true);
  const std::uint64_t before = m.records_stamp();
  const std::size_t groups = lanes::branch_schedule(m)->groups.size();
  Model copy = m;
  EXPECT_NE(copy.records_stamp(), before);
  m.add_joint(m.njoints() - 1, make_revolute({0, 1, 0}), SE3::identity(), "extra").value();
  m.inertias.back() = Inertia{1.0, {0.1, 0, 0}, Symmetric3{{0.01, 0.01, 0.01, 0, 0, 0}}};
  EXPECT_NE(m.records_stamp(), before);
  std::size_t slots = 0;
  for (const lanes::BranchGroup& g : lanes::branch_schedule(m)->groups) slots += std::popcount(g.real);
  EXPECT_EQ(slots, m.njoints() - 1);
  EXPECT_EQ(lanes::branch_schedule(copy)->groups.size(), groups);
  expect_lanes_undo_rnea(m, r, 3);
  const std::uint64_t moved_stamp = m.records_stamp();
  Model moved = std::move(m);
  EXPECT_EQ(moved.records_stamp(), moved_stamp);
  EXPECT_NE(m.records_stamp(), moved_stamp);

  Model chain;
  for (std::size_t i = 1; i <= 10; ++i) chain.add_joint(i - 1, make_revolute({0, 0, 1}), SE3::identity(), "c" + std::to_string(i)).value();
  EXPECT_FALSE(lanes::branch_schedule(chain)->worthwhile);
  copy.add_joint(3, make_fixed(), SE3::identity(), "fixed").value();
  EXPECT_EQ(lanes::branch_schedule(copy), nullptr);
  copy.add_joint(0, make_free_flyer(), SE3::identity(), "free").value();
  EXPECT_EQ(lanes::branch_schedule(copy), nullptr);
}

// A star of 20000 leaves is laid out at once (the schedule takes its chains from a queue),
// and a deep broom (two leaves on each joint of a chain) numbered chain first keeps its mass matrix out of the lanes (its joints'
// steps up would number in the tens of thousands) but its forward dynamics in them.
TEST(BranchLanes, LargeTreesLaidOutQuickly) {
  REQUIRE_LANES();
  Model star;
  for (std::size_t i = 1; i <= 20000; ++i) {
    const std::size_t id = star.add_joint(0, make_revolute({0, 0, 1}), SE3{SpatialRotation::identity(), {0.1, 0, 0}},
                                          "s" + std::to_string(i)).value();
    star.inertias[id] = Inertia{1.0, {0.1, 0, 0}, Symmetric3{{0.01, 0.01, 0.01, 0, 0, 0}}};
  }
  const lanes::BranchSchedule* schedule = lanes::branch_schedule(star);
  ASSERT_TRUE(schedule && schedule->worthwhile);
  EXPECT_EQ(schedule->groups.size(), 5000u);

  Model broom;
  Rand r(8);
  for (std::size_t i = 1; i <= 300; ++i)
    broom.add_joint(i - 1, make_revolute({0, 1, 0}), SE3{SpatialRotation::identity(), {0, 0, 0.1}}, "c" + std::to_string(i)).value();
  for (std::size_t i = 1; i <= 600; ++i)
    broom.add_joint((i + 1) / 2, make_revolute({1, 0, 0}), SE3{SpatialRotation::identity(), {0.1, 0, 0}}, "l" + std::to_string(i)).value();
  for (Inertia& I : broom.inertias) I = Inertia{1.0, {0.05, 0.02, 0.05}, Symmetric3{{0.01, 0.02, 0.03, 0, 0, 0}}};
  schedule = lanes::branch_schedule(broom);
  ASSERT_TRUE(schedule && schedule->worthwhile);
  EXPECT_FALSE(schedule->mass_matrix);
  EXPECT_TRUE(schedule->walks.empty());
  const Vec q = random_state(r, broom, 1.0);
  const Vec single = lanes_off([&] { return mass_matrix(broom, q).value().values; });
  const Vec M = mass_matrix(broom, q).value().values;
  double worst = 0;
  for (std::size_t k = 0; k < M.size(); ++k) worst = std::max(worst, std::abs(M[k] - single[k]));
  EXPECT_LE(worst, 1e-13 * largest(single));
}

}  // namespace
