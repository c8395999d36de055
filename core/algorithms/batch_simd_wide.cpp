// The lane passes of batch_simd_passes.inc compiled with AVX-512VL besides AVX2 and FMA:
// the same 256-bit operations, with 32 vector registers instead of 16 (see batch_simd.cpp,
// which calls these where the processor has them).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "core/algorithms/batch_simd.hpp"
#include "core/algorithms/passes.hpp"
#include "core/algorithms/branch_lanes.hpp"
#include "core/spatial/articulated_inertia.hpp"

#define always_inline inline __attribute__((always_inline))

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma,avx512f,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f,avx512vl")
#endif
namespace velmora::lanes::avx512 {
#include "core/algorithms/batch_simd_passes.inc"
}  // namespace velmora::lanes::avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#undef always_inline
