// The thread pool and the batch functions: every state computed once, by the single-state
// code, whatever the thread count; the first failing state reported; several callers at
// once. Also what `make test-tsan` runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <cstring>
#include <thread>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/batch.hpp"
#include "core/algorithms/batch_simd.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/joint/joint.hpp"
#include "core/model/model.hpp"

using namespace velmora;

namespace {

// A chain of revolute joints with general axes, placements and bodies, one continuous.
Model chain(std::size_t n) {
  Model m;
  for (std::size_t i = 1; i <= n; ++i) {
    const double t = static_cast<double>(i);
    const Vector3D axis{std::sin(t), std::cos(2 * t), 0.5};
    const SE3 placement{SpatialRotation::from_axis_angle({1, std::sin(t), 0.3}, 0.2 * t), {0.05, 0.1, 0.3}};
    auto joint = i == 3 ? make_continuous(axis) : make_revolute(axis);
    const std::size_t id = m.add_joint(i - 1, std::move(joint), placement, "joint" + std::to_string(i)).value();
    m.inertias[id] = Inertia{1.0 + 0.1 * t, {0.01, 0.02, 0.15}, Symmetric3{{0.02, 0.03, 0.01, 0.001, 0, 0.002}}};
    m.add_frame(Frame{"tip" + std::to_string(i), id, 0, placement, FrameType::Operational, Inertia{}}, false).value();
  }
  return m;
}

struct States {
  std::size_t n;
  std::vector<double> Q, V, A;
};

States states(const Model& m, std::size_t n) {
  States s{n, std::vector<double>(n * m.nq), std::vector<double>(n * m.nv), std::vector<double>(n * m.nv)};
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    for (std::size_t k = 0; k < m.nv; ++k) {
      s.V[i * m.nv + k] = std::sin(0.3 * t + static_cast<double>(k));
      s.A[i * m.nv + k] = std::cos(0.7 * t - static_cast<double>(k));
    }
    std::size_t k = 0;
    for (std::size_t j = 1; j < m.njoints(); ++j) {
      const double angle = std::sin(1.3 * t + static_cast<double>(j));
      if (m.joint_models[j]->nq() == 2) {
        s.Q[i * m.nq + k++] = std::cos(angle);
        s.Q[i * m.nq + k++] = std::sin(angle);
      } else {
        s.Q[i * m.nq + k++] = angle;
      }
    }
  }
  return s;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// The batch functions on the single-state code for the guard's lifetime.
struct SingleStatePath {
  SingleStatePath() { lanes::use_lanes(false); }
  ~SingleStatePath() { lanes::use_lanes(true); }
};

TEST(Batch, ChunksCoverEveryIndexOnce) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u}) {
    for (std::size_t threads : {1u, 2u, 3u, 16u, 1000u}) {
      std::vector<std::atomic<int>> seen(n);
      std::atomic<int> calls{0};
      parallel_chunks(n, threads, [&](std::size_t begin, std::size_t end) {
        ASSERT_LT(begin, end);
        ASSERT_LE(end, n);
        ++calls;
        for (std::size_t i = begin; i < end; ++i) ++seen[i];
      });
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(seen[i].load(), 1) << n << " " << threads << " " << i;
      if (n == 0) {
        EXPECT_EQ(calls.load(), 0);
      }
    }
  }
}

TEST(Batch, ChunksRunOnSeveralThreadsAtOnce) {
  // Each chunk waits until chunks have been seen on `threads` distinct threads: a pool
  // that left the work to the calling thread would wait out the deadline.
  for (std::size_t threads : {2u, 3u}) {
    std::mutex mutex;
    std::set<std::thread::id> seen;
    std::atomic<bool> together{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    parallel_chunks(64, threads, [&](std::size_t, std::size_t) {
      {
        std::lock_guard lock(mutex);
        seen.insert(std::this_thread::get_id());
        if (seen.size() == threads) together = true;
      }
      while (!together && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    });
    EXPECT_TRUE(together.load()) << threads;
    EXPECT_EQ(seen.size(), threads);
  }
}

TEST(Batch, RowsEqualSingleCallsForEveryThreadCount) {
  const SingleStatePath single_state;
  const Model m = chain(9);
  const std::size_t n = 101;
  const States s = states(m, n);
  const std::vector<std::size_t> frames = {m.nframes() - 1, 0, 4};
  std::vector<double> fk1(n * frames.size() * 16), tau1(n * m.nv), ddq1(n * m.nv);
  Data data = m.create_data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const double> q{s.Q.data() + i * m.nq, m.nq};
    ASSERT_TRUE(forward_kinematics(m, data, q));
    for (std::size_t f = 0; f < frames.size(); ++f) {
      const SE3 x = data.oMi[m.frames[frames[f]].parent_joint] * m.frames[frames[f]].placement;
      double* h = fk1.data() + (i * frames.size() + f) * 16;
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) h[4 * r + c] = x.rotation(r, c);
        h[4 * r + 3] = x.translation[r];
      }
      h[12] = h[13] = h[14] = 0, h[15] = 1;
    }
    const auto tau = rnea(m, q, {s.V.data() + i * m.nv, m.nv}, {s.A.data() + i * m.nv, m.nv});
    ASSERT_TRUE(tau);
    std::copy(tau->values().begin(), tau->values().end(), tau1.begin() + static_cast<std::ptrdiff_t>(i * m.nv));
    const auto ddq = aba(m, q, {s.V.data() + i * m.nv, m.nv}, tau->span());
    ASSERT_TRUE(ddq);
    std::copy(ddq->values().begin(), ddq->values().end(), ddq1.begin() + static_cast<std::ptrdiff_t>(i * m.nv));
  }
  for (std::size_t threads : {1u, 2u, 4u, 7u}) {
    std::vector<double> fk(fk1.size(), NAN), tau(tau1.size(), NAN), ddq(ddq1.size(), NAN);
    ASSERT_TRUE(forward_kinematics_batch(m, n, s.Q.data(), frames, fk.data(), threads));
    ASSERT_TRUE(rnea_batch(m, n, s.Q.data(), s.V.data(), s.A.data(), tau.data(), threads));
    ASSERT_TRUE(aba_batch(m, n, s.Q.data(), s.V.data(), tau1.data(), ddq.data(), threads));
    EXPECT_TRUE(same_bits(fk, fk1)) << threads;
    EXPECT_TRUE(same_bits(tau, tau1)) << threads;
    EXPECT_TRUE(same_bits(ddq, ddq1)) << threads;
  }
}

TEST(Batch, MassMatricesAndJacobiansEqualSingleCalls) {
  const Model m = chain(8);
  const std::size_t n = 45, nv = m.nv, frame = m.nframes() - 2;
  const States s = states(m, n);
  std::vector<double> mass1(n * nv * nv), jac1(n * 6 * nv);
  Data data = m.create_data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::span<const double> q{s.Q.data() + i * m.nq, m.nq};
    ASSERT_TRUE(mass_matrix(m, q, mass1.data() + i * nv * nv));
    ASSERT_TRUE(frame_jacobian(m, data, q, frame, Representation::Mixed, jac1.data() + i * 6 * nv));
  }
  for (std::size_t threads : {1u, 2u, 5u}) {
    std::vector<double> mass(mass1.size(), NAN), jac(jac1.size(), NAN);
    ASSERT_TRUE(mass_matrix_batch(m, n, s.Q.data(), mass.data(), threads));
    ASSERT_TRUE(frame_jacobian_batch(m, n, s.Q.data(), frame, Representation::Mixed, jac.data(), threads));
    EXPECT_TRUE(same_bits(mass, mass1)) << threads;
    EXPECT_TRUE(same_bits(jac, jac1)) << threads;
  }
  EXPECT_FALSE(frame_jacobian_batch(m, 1, s.Q.data(), m.nframes(), Representation::Body, jac1.data(), 2));
}

TEST(Batch, LaneGroupsGiveTheSameBitsForEveryThreadCount) {
  // Four states side by side differ from the single calls by rounding; groups start at
  // multiples of four whatever the thread count, and the rows after the last whole group
  // take the single-state code, so every count gives the same bits.
  const Model m = chain(9);
  const std::vector<std::size_t> frames = {m.nframes() - 1, 2};
  for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 8u, 9u, 67u, 130u}) {
    const States s = states(m, n);
    std::vector<double> fk1(n * 32), tau1(n * m.nv), single_tau(n * m.nv);
    for (std::size_t i = 0; i < n; ++i) {
      const auto t = rnea(m, {s.Q.data() + i * m.nq, m.nq}, {s.V.data() + i * m.nv, m.nv},
                          {s.A.data() + i * m.nv, m.nv});
      ASSERT_TRUE(t);
      std::copy(t->values().begin(), t->values().end(), single_tau.begin() + static_cast<std::ptrdiff_t>(i * m.nv));
    }
    ASSERT_TRUE(forward_kinematics_batch(m, n, s.Q.data(), frames, fk1.data(), 1));
    ASSERT_TRUE(rnea_batch(m, n, s.Q.data(), s.V.data(), s.A.data(), tau1.data(), 1));
    for (std::size_t threads : {2u, 3u, 7u}) {
      std::vector<double> fk(fk1.size(), NAN), tau(tau1.size(), NAN);
      ASSERT_TRUE(forward_kinematics_batch(m, n, s.Q.data(), frames, fk.data(), threads));
      ASSERT_TRUE(rnea_batch(m, n, s.Q.data(), s.V.data(), s.A.data(), tau.data(), threads));
      EXPECT_TRUE(same_bits(fk, fk1)) << n << " " << threads;
      EXPECT_TRUE(same_bits(tau, tau1)) << n << " " << threads;
    }
    const std::size_t tail = n - n % lanes::kWidth;
    for (std::size_t i = 0; i < n * m.nv; ++i) {
      if (i >= tail * m.nv) ASSERT_EQ(tau1[i], single_tau[i]) << n << " " << i;
      else ASSERT_NEAR(tau1[i], single_tau[i], 1e-13 * (1 + std::abs(single_tau[i]))) << n << " " << i;
    }
  }
}

TEST(Batch, FirstSingularRowIsReported) {
  // Joint 1 about z carries joint 2 about y carrying a point mass at (0, 0, 1): joint 1
  // has nothing to accelerate when joint 2 is at 0.
  Model m;
  m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "turn").value();
  m.add_joint(1, make_revolute({0, 1, 0}), SE3::identity(), "tilt").value();
  m.inertias[2] = Inertia{2.0, {0, 0, 1}, Symmetric3{}};
  const std::size_t n = 50;
  std::vector<double> Q(2 * n), V(2 * n, 0.0), T(2 * n, 1.0), out(2 * n);
  for (std::size_t i = 0; i < n; ++i) Q[2 * i] = 0.1 * static_cast<double>(i), Q[2 * i + 1] = 0.5;
  for (std::size_t row : {41u, 17u, 18u}) Q[2 * row + 1] = 0.0;
  for (std::size_t threads : {1u, 2u, 5u}) {
    const auto done = aba_batch(m, n, Q.data(), V.data(), T.data(), out.data(), threads);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().row, 17u) << threads;
    EXPECT_NE(done.error().message.find("'turn'"), std::string::npos);
  }
  const std::size_t bad_frame[] = {m.nframes()};
  EXPECT_FALSE(forward_kinematics_batch(m, 1, Q.data(), bad_frame, out.data(), 2));
}

TEST(Batch, SeveralCallersAtOnce) {
  const Model m = chain(12);
  const std::size_t n = 300;
  const States s = states(m, n);
  std::vector<double> expected(n * m.nv);
  ASSERT_TRUE(rnea_batch(m, n, s.Q.data(), s.V.data(), s.A.data(), expected.data(), 1));
  std::vector<std::thread> callers;
  std::atomic<int> mismatches{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&, c] {
      std::vector<double> out(n * m.nv);
      for (int k = 0; k < 10; ++k) {
        if (!rnea_batch(m, n, s.Q.data(), s.V.data(), s.A.data(), out.data(), 2 + c % 3) || !same_bits(out, expected))
          ++mismatches;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(Batch, UsableCores) { EXPECT_GE(usable_cores(), 1u); }

}  // namespace
