// Which compiled form of the hot passes runs (see passes::wide_vectors).
#include <atomic>

#include "core/algorithms/passes.hpp"

namespace velmora::passes {

namespace {

bool processor_has_avx2_fma() {
#if VELMORA_WIDE_VECTORS
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

// Read on every call of a pass: a relaxed load, no ordering with anything else.
std::atomic<bool>& switch_state() {
  static std::atomic<bool> on{processor_has_avx2_fma()};
  return on;
}

}  // namespace

bool wide_vectors() { return switch_state().load(std::memory_order_relaxed); }

bool use_wide_vectors(bool on) {
  const bool value = on && processor_has_avx2_fma();
  switch_state().store(value, std::memory_order_relaxed);
  return value;
}

}  // namespace velmora::passes
