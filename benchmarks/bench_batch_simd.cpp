// What four states side by side in AVX2 lanes gain per operation: the batch functions on
// one thread, N = 4096 states, with the lanes off (the single-state code) and on, taking
// turns in the same process so that load from other processes falls on both alike. Each
// turn times one batch call each way. Printed: the fastest turn each way (the least
// disturbed by other processes) and its ratio, and the median over the turns of the ratio
// of the two calls of a turn. Where the processor has AVX-512VL, the lanes are timed in
// both builds of the passes (16 and 32 vector registers), the gain being that of the
// 32-register build, and the last column is the fastest turn of the 16-register build
// against the 32-register one's. For inverse and forward dynamics, the last two columns
// are a loop of the single-state calls with the lanes on (on trees they run the branches
// side by side in lanes) and the batch's time per state against it.
//   build/bench_batch_simd [turns] [robots directory]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/batch.hpp"
#include "core/algorithms/batch_simd.hpp"
#include "core/model/model.hpp"
#include "core/urdf/urdf.hpp"

using namespace velmora;

namespace {

double least(const std::vector<double>& x) { return *std::min_element(x.begin(), x.end()); }

double median(std::vector<double> x) {
  std::nth_element(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(x.size() / 2), x.end());
  return x[x.size() / 2];
}

template <class F>
double ns_per_state(F&& call, std::size_t n) {
  const auto t0 = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
         static_cast<double>(n);
}

}  // namespace

int main(int argc, char** argv) {
  const int turns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  std::string robots = argc > 2 ? argv[2] : std::string(__FILE__);
  if (argc <= 2) robots = robots.substr(0, robots.find_last_of('/') + 1) + "../tests/robots";
  if (!lanes::processor_has_lanes()) {
    std::printf("This processor has no AVX2 and FMA: nothing to compare.\n");
    return 0;
  }
  const std::size_t n = 4096;
  std::printf("One thread, N = %zu, %d turns: ns per state, lanes off / on (fastest turn), and the gain\n", n,
              turns);
  const bool wide = lanes::processor_has_wide_registers();
  std::printf("%-13s %-16s %10s %10s %8s %13s%s %10s %8s\n", "robot", "operation", "off", "on", "gain", "median gain",
              wide ? "   16 regs  32 regs gain" : "", "single", "on/single");
  for (const char* name : {"franka_panda", "kuka_iiwa", "nao", "pr2", "r2d2", "unitree_a1", "unitree_g1", "ur5e"}) {
    auto loaded = build_model_from_urdf(robots + "/" + name + "/robot.urdf");
    if (!loaded) {
      std::printf("%-13s not loaded\n", name);
      continue;
    }
    const Model& m = *loaded;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-2, 2);
    std::vector<double> Q(n * m.nq), V(n * m.nv), A(n * m.nv), tau(n * m.nv), out(n * m.nv);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 1; j < m.njoints(); ++j) {
        double* q = Q.data() + i * m.nq + m.idx_q[j];
        const double angle = u(rng);
        if (m.joint_models[j]->nq() == 2) q[0] = std::cos(angle), q[1] = std::sin(angle);
        else if (m.joint_models[j]->nq() == 1) q[0] = 0.4 * angle;
      }
    }
    for (auto& x : V) x = u(rng);
    for (auto& x : A) x = u(rng);
    (void)rnea_batch(m, n, Q.data(), V.data(), A.data(), tau.data(), 1);
    std::vector<std::size_t> body_frames;
    for (std::size_t f = 0; f < m.nframes(); ++f)
      if (m.frames[f].frame_type == FrameType::Body) body_frames.push_back(f);
    std::vector<double> placements(n * body_frames.size() * 16);
    struct Op {
      const char* name;
      std::function<void()> call;
      std::function<void()> single;  // the same states one call each (none for fk)
    };
    const std::size_t nq = m.nq, nv = m.nv;
    // f(model, q, v, x, result) for every state.
    const auto each_state = [&](auto f, const std::vector<double>& X) {
      for (std::size_t i = 0; i < n; ++i)
        (void)f(m, {Q.data() + i * nq, nq}, {V.data() + i * nv, nv}, {X.data() + i * nv, nv}, out.data() + i * nv);
    };
    using Dynamics = std::expected<void, DynamicsError> (*)(const Model&, std::span<const double>,
                                                            std::span<const double>, std::span<const double>, double*);
    const Op ops[] = {
        {"fk, no frames", [&] { (void)forward_kinematics_batch(m, n, Q.data(), {}, placements.data(), 1); }, {}},
        {"fk, body frames", [&] { (void)forward_kinematics_batch(m, n, Q.data(), body_frames, placements.data(), 1); },
         {}},
        {"rnea", [&] { (void)rnea_batch(m, n, Q.data(), V.data(), A.data(), out.data(), 1); },
         [&] { each_state(static_cast<Dynamics>(&rnea), A); }},
        {"aba", [&] { (void)aba_batch(m, n, Q.data(), V.data(), tau.data(), out.data(), 1); },
         [&] { each_state(static_cast<Dynamics>(&aba), tau); }},
    };
    for (const Op& op : ops) {
      std::vector<double> off, on, narrow, gain, single;
      op.call();
      for (int t = 0; t < turns; ++t) {
        lanes::use_lanes(false);
        off.push_back(ns_per_state(op.call, n));
        lanes::use_lanes(true);
        on.push_back(ns_per_state(op.call, n));
        gain.push_back(off.back() / on.back());
        if (wide) {
          lanes::use_wide_registers(false);
          narrow.push_back(ns_per_state(op.call, n));
          lanes::use_wide_registers(true);
        }
        if (op.single) single.push_back(ns_per_state(op.single, n));
      }
      std::printf("%-13s %-16s %8.0fns %8.0fns %7.2fx %12.2fx", name, op.name, least(off), least(on),
                  least(off) / least(on), median(gain));
      if (wide) std::printf(" %8.0fns %14.2fx", least(narrow), least(narrow) / least(on));
      if (!single.empty()) std::printf(" %8.0fns %8.2fx", least(single), least(on) / least(single));
      std::printf("\n");
    }
  }
  return 0;
}
