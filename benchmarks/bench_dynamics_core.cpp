// Cost of the core's inverse (rnea) and forward (aba) dynamics per call and per joint,
// on serial chains of revolute joints with general placements and bodies.
//   build-*/bench_dynamics_core [repeats]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/joint/joint.hpp"
#include "core/model/algorithms.hpp"
#include "core/model/model.hpp"

using namespace velmora;

namespace {

Model chain(std::size_t n) {
  Model m;
  for (std::size_t i = 1; i <= n; ++i) {
    const double t = static_cast<double>(i);
    const Vector3D axis{std::sin(t), std::cos(2 * t), 0.5};
    const SE3 placement{SpatialRotation::from_axis_angle({1, std::sin(t), 0.3}, 0.2 * t), {0.05, 0.1, 0.3}};
    const std::size_t id = m.add_joint(i - 1, make_revolute(axis), placement, "joint" + std::to_string(i)).value();
    m.inertias[id] = Inertia{1.0 + 0.1 * t, {0.01, 0.02, 0.15}, Symmetric3{{0.02, 0.03, 0.01, 0.001, 0, 0.002}}};
  }
  return m;
}

template <class F>
double median_ns_per_call(F&& call, int repeats) {
  // Calibrate to about 20 ms per sample.
  int iterations = 1;
  for (;;) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < iterations; ++k) call();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s > 0.02) break;
    iterations *= 2;
  }
  std::vector<double> samples;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < iterations; ++k) call();
    samples.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
                      iterations);
  }
  std::nth_element(samples.begin(), samples.begin() + repeats / 2, samples.end());
  return samples[repeats / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  std::printf("%-8s %-6s %12s %14s\n", "joints", "algo", "ns/call", "ns/joint");
  for (const std::size_t n : {std::size_t{7}, std::size_t{30}}) {
    const Model model = chain(n);
    std::vector<double> q(n), v(n), a(n);
    for (std::size_t i = 0; i < n; ++i) {
      q[i] = 0.3 * std::sin(1.0 + static_cast<double>(i));
      v[i] = 0.5 * std::cos(static_cast<double>(i));
      a[i] = 0.2 * static_cast<double>(i % 3);
    }
    volatile double sink = 0;
    const double t_rnea = median_ns_per_call([&] { sink = sink + (*rnea(model, q, v, a))[n - 1]; }, repeats);
    const auto tau = rnea(model, q, v, a)->values();
    const double t_aba = median_ns_per_call([&] { sink = sink + (*aba(model, q, v, tau))[n - 1]; }, repeats);
    const double nd = static_cast<double>(n);
    std::printf("%-8zu %-6s %12.1f %14.1f\n", n, "rnea", t_rnea, t_rnea / nd);
    std::printf("%-8zu %-6s %12.1f %14.1f\n", n, "aba", t_aba, t_aba / nd);
  }
  return 0;
}
