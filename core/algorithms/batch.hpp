// Many states of one model per call: forward kinematics of chosen frames, inverse and
// forward dynamics and their derivatives, mass matrices and frame Jacobians, each state
// computed by the same single-state functions, spread over a small pool of threads.
//
// States are rows of contiguous row-major blocks (row i of Q at Q + i * nq). They are cut
// into contiguous chunks; a thread takes a whole chunk at a time and computes each of its
// states exactly as a single call would (per-thread scratch, nothing shared but the
// model), so the results do not depend on how many threads run or which thread took
// which chunk.
//
// Forward kinematics, rnea and aba take four states at a time side by side in vector lanes
// where the processor has AVX2 and FMA and the model has only one-axis and fixed joints
// (batch_simd.hpp): those rows equal the single calls up to rounding. The groups of four
// start at multiples of four whatever the thread count, and the rows after the last whole
// group take the single-state code, so the results stay the same for every count.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/kinematics_quantities.hpp"
#include "core/model/model.hpp"

namespace velmora {

// The number of processors this process may run on (its affinity mask), at least 1.
std::size_t usable_cores();

// Runs task(begin, end) over [0, n) cut into contiguous chunks, on the calling thread and
// up to threads - 1 threads (fewer for a small n) of a pool kept for the process (made on first use, grown on
// demand, made again in a child process after fork). Returns when every chunk is done.
// The task must not throw; chunks are taken in ascending order. Several callers may run
// at once; each waits only for its own chunks.
void parallel_chunks(std::size_t n, std::size_t threads,
                     const std::function<void(std::size_t begin, std::size_t end)>& task);

// A state that failed: its row and the single-state function's message.
struct BatchError {
  std::size_t row = 0;
  std::string message;
};

// World placement of each frame of `frame_ids` for every row of Q (n rows of nq values),
// as homogeneous 4x4 matrices in row-major order: out holds n * frame_ids.size() * 16
// values, state by state, frame by frame. A frame's placement is its parent joint's
// world placement times the frame's placement in that joint. Ids are checked (error row
// 0) before any state is computed.
std::expected<void, BatchError> forward_kinematics_batch(const Model& model, std::size_t n, const double* Q,
                                                         std::span<const std::size_t> frame_ids, double* out,
                                                         std::size_t threads);

// rnea for every row of (Q, V, A); out holds n rows of nv values.
std::expected<void, BatchError> rnea_batch(const Model& model, std::size_t n, const double* Q, const double* V,
                                           const double* A, double* out, std::size_t threads);

// aba for every row of (Q, V, TAU); out holds n rows of nv values. On failure the error
// names the first failing row (the lowest, whatever the thread count); rows of out may
// then hold results of other states.
std::expected<void, BatchError> aba_batch(const Model& model, std::size_t n, const double* Q, const double* V,
                                          const double* TAU, double* out, std::size_t threads);

// The mass matrix M(q) for every row of Q; out holds n blocks of nv x nv values.
std::expected<void, BatchError> mass_matrix_batch(const Model& model, std::size_t n, const double* Q, double* out,
                                                  std::size_t threads);

// The derivatives of rnea for every row of (Q, V, A): dtau/dq, dtau/dv and the mass
// matrix, each into n blocks of nv x nv values (rnea_derivatives). Every configuration is
// checked before any state is computed, so that a failure leaves the outputs as they were.
std::expected<void, BatchError> rnea_derivatives_batch(const Model& model, std::size_t n, const double* Q,
                                                       const double* V, const double* A, double* dtau_dq,
                                                       double* dtau_dv, double* mass_matrix, std::size_t threads);

// The derivatives of aba for every row of (Q, V, TAU): dddq/dq, dddq/dv and the inverse
// mass matrix, each into n blocks of nv x nv values (aba_derivatives). On failure (a mass
// matrix singular or not finite) the error names the first failing row; blocks of other
// states may then have been written.
std::expected<void, BatchError> aba_derivatives_batch(const Model& model, std::size_t n, const double* Q,
                                                      const double* V, const double* TAU, double* dddq_dq,
                                                      double* dddq_dv, double* inverse_mass_matrix,
                                                      std::size_t threads);

// The 6 x nv Jacobian of frame `frame_id` in representation `rep` for every row of Q,
// row-major; out holds n blocks of 6 * nv values. The id is checked (error row 0) first.
std::expected<void, BatchError> frame_jacobian_batch(const Model& model, std::size_t n, const double* Q,
                                                     std::size_t frame_id, Representation rep, double* out,
                                                     std::size_t threads);

}  // namespace velmora
