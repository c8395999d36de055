// Jacobians, frame motions, centre of mass and energies of the core on random trees of
// every joint kind. Each check sets two independent computations against each other:
// the Jacobian's columns (from joint placements) against the recursive velocity and
// acceleration passes, the kinetic energy against the mass matrix of inverse dynamics,
// the centre-of-mass Jacobian and potential energy against differences.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/kinematics_quantities.hpp"
#include "core/model/model.hpp"
#include "joint_kinds.hpp"

using namespace velmora;

namespace {

using Vec = std::vector<double>;
using Rand = std::mt19937_64;

double uniform(Rand& r, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(r); }

// A tree of 12 joints of random kinds, parents, placements and bodies, with axes along
// coordinate axes (both signs), arbitrary unit axes and, for slides, non-unit axes; one
// operational frame on every joint at a random placement.
Model random_tree(Rand& rng) {
  Model m;
  const Vector3D axes[] = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0.3, -0.5, 0.81}, {0, 0, -2.5}};
  const JointType kinds[] = {JointType::Revolute, JointType::Continuous, JointType::Prismatic, JointType::Fixed};
  for (int i = 1; i <= 12; ++i) {
    const JointType kind = kinds[static_cast<std::size_t>(uniform(rng, 0, 3.999))];
    const Vector3D axis = axes[static_cast<std::size_t>(uniform(rng, 0, 4.999))];
    const std::size_t parent = static_cast<std::size_t>(uniform(rng, 0, i - 0.001));
    const std::size_t id =
        m.add_joint(parent, test_support::make_joint(kind, axis), SE3::random(thread_rng()), "j" + std::to_string(i))
            .value();
    m.inertias[id] = {uniform(rng, 0.5, 3), {uniform(rng, -0.2, 0.2), 0.1, uniform(rng, -0.2, 0.2)},
                      Symmetric3{{0.1, 0.2, 0.15, 0.01, 0.0, -0.02}}};
    m.add_frame(Frame{"f" + std::to_string(i), id, 0, SE3::random(thread_rng()), FrameType::Operational, {}}, false)
        .value();
  }
  return m;
}

Vec random_q(const Model& m, Rand& rng) {
  Vec q;
  for (const auto& joint : m.joint_models) {
    if (joint->get_joint_type() == JointType::Continuous) {
      const double angle = uniform(rng, -3, 3);
      q.push_back(std::cos(angle));
      q.push_back(std::sin(angle));
    } else {
      for (std::size_t k = 0; k < joint->nq(); ++k) q.push_back(uniform(rng, -1.5, 1.5));
    }
  }
  return q;
}

Vec random_v(const Model& m, Rand& rng) {
  Vec v(m.nv);
  for (double& x : v) x = uniform(rng, -1, 1);
  return v;
}

// q moved by t v (continuous joints turned by their angle).
Vec advance(const Model& m, const Vec& q, const Vec& v, double t) {
  Vec out = q;
  for (const JointStep& step : m.steps()) {
    if (step.motion.nv() == 0) continue;
    const double dx = v[step.idx_v] * t;
    if (step.motion.kind == JointType::Continuous) {
      const double angle = std::atan2(q[step.idx_q + 1], q[step.idx_q]) + dx;
      out[step.idx_q] = std::cos(angle), out[step.idx_q + 1] = std::sin(angle);
    } else {
      out[step.idx_q] += dx;
    }
  }
  return out;
}

Vec times(const Vec& J, std::size_t rows, const Vec& x) {
  Vec out(rows, 0.0);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < x.size(); ++c) out[r] += J[r * x.size() + c] * x[c];
  return out;
}

void expect_motion(const Vec& got, const SpatialMotion& want, double tol, const std::string& what) {
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(got[static_cast<std::size_t>(k)], want[k], tol) << what << " [" << k << "]";
}

}  // namespace

TEST(Jacobians, ColumnsAgreeWithTheVelocityAndAccelerationPasses) {
  Rand rng(11);
  for (int trial = 0; trial < 10; ++trial) {
    const Model m = random_tree(rng);
    Data data = m.create_data();
    const Vec q = random_q(m, rng), v = random_v(m, rng), a = random_v(m, rng);
    Vec J(6 * m.nv), Jdot(6 * m.nv);
    for (std::size_t f = 0; f < m.nframes(); ++f) {
      for (Representation rep : {Representation::World, Representation::Body, Representation::Mixed}) {
        const std::string what = "trial " + std::to_string(trial) + " frame " + std::to_string(f) + " rep " +
                                 std::to_string(static_cast<int>(rep));
        ASSERT_TRUE(frame_jacobian(m, data, q, f, rep, J.data()));
        ASSERT_TRUE(frame_jacobian_time_derivative(m, data, q, v, f, rep, Jdot.data()));
        const auto vel = frame_velocity(m, data, q, v, f, rep);
        const auto acc = frame_acceleration(m, data, q, v, a, f, rep);
        ASSERT_TRUE(vel && acc);
        expect_motion(times(J, 6, v), *vel, 1e-12, what + " J v");
        Vec both = times(J, 6, a);
        const Vec bias = times(Jdot, 6, v);
        for (std::size_t k = 0; k < 6; ++k) both[k] += bias[k];
        expect_motion(both, *acc, 1e-11, what + " J a + Jdot v");
      }
    }
  }
}

TEST(Jacobians, EnergiesAndCentreOfMass) {
  Rand rng(5);
  for (int trial = 0; trial < 10; ++trial) {
    const Model m = random_tree(rng);
    Data data = m.create_data();
    const Vec q = random_q(m, rng), v = random_v(m, rng), zero(m.nv, 0.0);
    // 1/2 v^T M v with M's columns from inverse dynamics: rnea(q, 0, e_j) - g(q).
    const Vec g = rnea(m, q, zero, zero)->values();
    double twice = 0;
    for (std::size_t j = 0; j < m.nv; ++j) {
      Vec e(m.nv, 0.0);
      e[j] = 1;
      const Vec column = rnea(m, q, zero, e)->values();
      for (std::size_t i = 0; i < m.nv; ++i) twice += v[i] * (column[i] - g[i]) * v[j];
    }
    EXPECT_NEAR(*kinetic_energy(m, data, q, v), 0.5 * twice, 1e-12 * (1 + twice));
    // The centre of mass moves with its Jacobian, and potential energy changes by -m g . dc.
    Vec Jcom(3 * m.nv);
    ASSERT_TRUE(center_of_mass_jacobian(m, data, q, Jcom.data()));
    const double h = 1e-6;
    const Vector3D plus = *center_of_mass(m, data, advance(m, q, v, h));
    const Vector3D minus = *center_of_mass(m, data, advance(m, q, v, -h));
    const Vec rate = times(Jcom, 3, v);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(rate[static_cast<std::size_t>(k)], (plus[k] - minus[k]) / (2 * h), 1e-8);
    const double energy_rate = (*potential_energy(m, data, advance(m, q, v, h)) -
                                *potential_energy(m, data, advance(m, q, v, -h))) / (2 * h);
    double power = 0;
    for (std::size_t i = 0; i < m.nv; ++i) power += g[i] * v[i];
    EXPECT_NEAR(energy_rate, power, 1e-7 * (1 + std::abs(power)));
    const Vector3D gravity_dot_rate{rate[0], rate[1], rate[2]};
    EXPECT_NEAR(power, -total_mass(m) * m.gravity.dot(gravity_dot_rate), 1e-10 * (1 + std::abs(power)));
  }
}

TEST(Jacobians, RefusedInputLeavesDataAsItWas) {
  Rand rng(3);
  const Model m = random_tree(rng);
  Data data = m.create_data();
  const Vec q = random_q(m, rng), v = random_v(m, rng);
  ASSERT_TRUE(forward_kinematics(m, data, q, v, v));
  const std::vector<SE3> placements = data.oMi;
  const std::vector<SpatialMotion> velocities = data.v;
  Vec J(6 * m.nv);
  const Vec other = random_q(m, rng);
  EXPECT_EQ(frame_jacobian(m, data, other, m.nframes(), Representation::Body, J.data()).error().kind,
            KinematicsError::Kind::FrameId);
  EXPECT_EQ(joint_jacobian(m, data, other, m.njoints(), Representation::Body, J.data()).error().kind,
            KinematicsError::Kind::JointId);
  const auto short_v = frame_velocity(m, data, other, Vec(m.nv - 1), 1, Representation::World);
  ASSERT_FALSE(short_v);
  EXPECT_EQ(short_v.error().kind, KinematicsError::Kind::Size);
  EXPECT_NE(short_v.error().message.find("'v'"), std::string::npos);
  EXPECT_FALSE(forward_kinematics(m, data, other, v, Vec(m.nv + 1)));
  EXPECT_EQ(data.oMi, placements);
  EXPECT_EQ(data.v, velocities);
}
