#include "core/spatial/random.hpp"

#include <sys/random.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <thread>

namespace velmora {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

Rng::Rng() {
  std::uint64_t seed[4] = {0, 0, 0, 0};
  if (getrandom(seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
    // No entropy source: derive a seed from the clock and the thread, never a constant.
    std::uint64_t state = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    state ^= std::hash<std::thread::id>{}(std::this_thread::get_id());
    for (auto& s : seed) s = splitmix64(state);
  }
  std::memcpy(s_, seed, sizeof s_);
  if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;  // the all-zero state is a fixed point
}

std::uint64_t Rng::next_u64() {
  const std::uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = std::rotl(s_[3], 45);
  return result;
}

double Rng::uniform() {
  const std::uint64_t bits = (next_u64() >> 12) | 0x3ff0000000000000ULL;
  return std::bit_cast<double>(bits) - 1.0;
}

Rng& thread_rng() {
  thread_local Rng rng;
  return rng;
}

}  // namespace velmora
