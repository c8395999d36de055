// Cost of the core's forward kinematics, inverse (rnea) and forward (aba) dynamics (and
// its two forms side by side: aba-jf in joint frames, aba-w in world axes), the
// mass matrix (crba), forward dynamics through its tree factorisation (fd-ltdl) and the
// state derivatives of both dynamics (rnea_d, aba_d) per call and per moving joint: on
// serial chains of revolute joints with general axes,
// placements and bodies (the slowest shapes), and on robots of tests/robots (axes along
// coordinate axes; the arms' placements turn, the trees' mostly only translate).
//   build-*/bench_dynamics_core [repeats] [robots directory]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/joint/joint.hpp"
#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/derivatives.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/model/model.hpp"
#include "core/urdf/urdf.hpp"

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

void time_model(const std::string& name, const Model& model, int repeats) {
  const std::size_t nq = model.nq, nv = model.nv;
  std::vector<double> q(nq), v(nv), a(nv);
  for (std::size_t i = 0; i < nq; ++i) q[i] = 0.3 * std::sin(1.0 + static_cast<double>(i));
  for (std::size_t i = 0; i < nv; ++i) {
    v[i] = 0.5 * std::cos(static_cast<double>(i));
    a[i] = 0.2 * static_cast<double>(i % 3);
  }
  Data data = model.create_data();
  volatile double sink = 0;
  const double t_fk = median_ns_per_call(
      [&] {
        (void)forward_kinematics(model, data, q);
        sink = sink + data.oMi.back().translation.x;
      },
      repeats);
  const double t_rnea = median_ns_per_call([&] { sink = sink + (*rnea(model, q, v, a))[nv - 1]; }, repeats);
  const auto tau = rnea(model, q, v, a)->values();
  const double t_aba = median_ns_per_call([&] { sink = sink + (*aba(model, q, v, tau))[nv - 1]; }, repeats);
  const double t_aba_joint = median_ns_per_call(
      [&] { sink = sink + (*passes::aba_in(passes::AbaForm::JointFrames, model, q, v, tau))[nv - 1]; }, repeats);
  const double t_aba_world = median_ns_per_call(
      [&] { sink = sink + (*passes::aba_in(passes::AbaForm::World, model, q, v, tau))[nv - 1]; }, repeats);
  // Into a prepared matrix, as from Python with out=: the allocation is not the algorithm's.
  std::vector<double> M(nv * nv);
  const double t_crba = median_ns_per_call(
      [&] {
        (void)mass_matrix(model, q, M.data());
        sink = sink + M.back();
      },
      repeats);
  const double t_factored = median_ns_per_call(
      [&] { sink = sink + (*forward_dynamics_by_factor(model, q, v, tau))[nv - 1]; }, repeats);
  std::vector<double> d1(nv * nv), d2(nv * nv), d3(nv * nv);
  const double t_rnea_d = median_ns_per_call(
      [&] {
        (void)rnea_derivatives(model, q, v, a, d1, d2, d3);
        sink = sink + d1[nv * nv - 1];
      },
      repeats);
  const double t_aba_d = median_ns_per_call(
      [&] {
        (void)aba_derivatives(model, q, v, tau, d1, d2, d3);
        sink = sink + d1[nv * nv - 1];
      },
      repeats);
  const double n = static_cast<double>(nv);
  for (const auto& [algo, t] : {std::pair{"fk", t_fk}, std::pair{"rnea", t_rnea}, std::pair{"aba", t_aba},
                                std::pair{"aba-jf", t_aba_joint}, std::pair{"aba-w", t_aba_world},
                                std::pair{"crba", t_crba}, std::pair{"fd-ltdl", t_factored},
                                std::pair{"rnea_d", t_rnea_d}, std::pair{"aba_d", t_aba_d}})
    std::printf("%-12s %4zu %-6s %12.1f %14.1f\n", name.c_str(), nv, algo, t, t / n);
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  // The robots next to this file's directory, unless given.
  std::string robots = argc > 2 ? argv[2] : std::string(__FILE__);
  if (argc <= 2) robots = robots.substr(0, robots.find_last_of('/') + 1) + "../tests/robots";
  std::printf("%-12s %4s %-6s %12s %14s\n", "model", "nv", "algo", "ns/call", "ns/joint");
  for (const std::size_t n : {std::size_t{7}, std::size_t{30}})
    time_model("chain " + std::to_string(n), chain(n), repeats);
  for (const char* name : {"franka_panda", "kuka_iiwa", "ur5e", "nao", "pr2", "unitree_g1"}) {
    const std::string dir = robots + "/" + name;
    // The kinematic model alone: some robots come without their meshes.
    auto loaded = build_model_from_urdf(dir + "/robot.urdf");
    if (!loaded) {
      std::printf("%-12s not loaded from %s\n", name, dir.c_str());
      continue;
    }
    time_model(name, *loaded, repeats);
  }
  // The same humanoid with its root link on a free-flyer joint: the multi-degree-of-
  // freedom path of every algorithm, next to the fixed-base figures above.
  const std::string nao = robots + "/nao";
  const auto free_flyer = make_free_flyer();
  if (auto loaded = build_models_from_urdf(nao + "/robot.urdf", nao, free_flyer.get()))
    time_model("nao floating", loaded->model, repeats);
  return 0;
}
