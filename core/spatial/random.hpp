// The per-thread pseudo-random generator (xoshiro256**), seeded from the operating
// system's entropy source on first use in each thread.
#pragma once

#include <cstdint>

namespace velmora {

class Rng {
 public:
  Rng();  // seeds from the OS entropy source
  std::uint64_t next_u64();
  // A uniform double in [0, 1) built from 52 random bits: the bits fill the mantissa of
  // a double in [1, 2), then 1 is subtracted.
  double uniform();

 private:
  std::uint64_t s_[4];
};

// The calling thread's generator.
Rng& thread_rng();

}  // namespace velmora
