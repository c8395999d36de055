// Many states per call over a small pool of threads. Each state goes through the
// single-state function (forward_kinematics, rnea, aba, mass_matrix, frame_jacobian), or,
// for forward kinematics, rnea and aba where the processor and the model allow, through the
// same passes run on four states at once in vector lanes (batch_simd.cpp). The passes keep
// their scratch rows per thread, so states on different threads share nothing but the
// read-only model.
#include "core/algorithms/batch.hpp"

#include "core/algorithms/batch_simd.hpp"
#include "core/algorithms/derivatives.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "core/algorithms/passes.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora {

std::size_t usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

namespace {

// More threads than this are never started, whatever a caller asks for: beyond the
// machine's cores they only add switching.
constexpr std::size_t kMaxThreads = 256;
// Chunks per thread: enough that a thread slowed down by another process does not hold
// up the others for long, few enough that taking a chunk costs nothing measurable.
constexpr std::size_t kChunksPerThread = 8;
// States per thread at the least: waking a pool thread costs about as much as a few
// states, so a small batch runs on fewer threads than asked for.
constexpr std::size_t kMinStatesPerThread = 8;

// How long a pool thread that has finished a job keeps looking for the next before it
// sleeps, and how long a caller looks for its helpers to finish before it sleeps: waking
// a sleeping thread takes tens of microseconds on a virtual machine, as long as a whole
// batch of a thousand small states, while a program that calls batches in a loop, with
// other work between the calls, is usually back within a few hundred (as OpenMP's
// threads do, a waiting thread keeps its core busy for that long).
constexpr auto kSpin = std::chrono::microseconds(300);

// Calls ready() until it is true (then true) or kSpin has passed (then false), telling
// the processor between calls that this is a wait loop.
template <class Ready>
bool spin_until(Ready&& ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned k = 1;; ++k) {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (k % 64 == 0 && std::chrono::steady_clock::now() >= until) return false;
  }
}

// One call's work: `chunks` contiguous ranges of [0, n), taken in ascending order by the
// caller and by up to `helpers` pool threads.
struct Job {
  const std::function<void(std::size_t, std::size_t)>* task = nullptr;
  std::size_t n = 0;
  std::size_t chunks = 0;
  std::atomic<std::size_t> next{0};
  std::size_t helpers_wanted = 0;  // pool threads still to join; under the pool's mutex
  // Pool threads working on it: changed under the pool's mutex, read by the caller without.
  std::atomic<std::size_t> active{0};

  // Takes chunks until none is left.
  void work() {
    for (;;) {
      const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= chunks) return;
      // Chunk k is [k n / chunks, (k + 1) n / chunks): contiguous, sizes differing by one.
      const std::size_t begin = k * n / chunks, end = (k + 1) * n / chunks;
      (*task)(begin, end);
    }
  }
};

// Threads that wait for jobs. Jobs live on their callers' stacks; a job is queued until
// as many pool threads as it wants have joined it, and its caller returns only once no
// pool thread works on it any more.
class Pool {
 public:
  void run(Job& job, std::size_t helpers) {
    {
      std::lock_guard lock(mutex_);
      while (threads_.size() < helpers) threads_.emplace_back([this] { serve(); });
      job.helpers_wanted = helpers;
      queue_.push_back(&job);
      queued_.store(queue_.size(), std::memory_order_release);
    }
    if (helpers == 1)
      wake_.notify_one();
    else
      wake_.notify_all();
    job.work();
    {
      std::lock_guard lock(mutex_);
      // Every chunk is taken by now: pool threads that have not joined yet need not.
      if (job.helpers_wanted > 0) {
        std::erase(queue_, &job);
        queued_.store(queue_.size(), std::memory_order_release);
      }
    }
    // The helpers took their last chunks when this thread did: they are about done.
    if (spin_until([&] { return job.active.load(std::memory_order_acquire) == 0; })) return;
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return job.active.load(std::memory_order_relaxed) == 0; });
  }

 private:
  void serve() {
    for (;;) {
      spin_until([&] { return queued_.load(std::memory_order_acquire) > 0; });
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return !queue_.empty(); });
      Job* job = queue_.front();
      job->active.fetch_add(1, std::memory_order_relaxed);
      if (--job->helpers_wanted == 0) {
        queue_.pop_front();
        queued_.store(queue_.size(), std::memory_order_release);
      }
      lock.unlock();
      job->work();
      lock.lock();
      // After this the job may be gone (its caller returns once it sees no helper on it).
      if (job->active.fetch_sub(1, std::memory_order_acq_rel) == 1) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<Job*> queue_;
  // queue_.size(), for threads that look for work without taking the mutex.
  std::atomic<std::size_t> queued_{0};
  // Never joined: the pool lives as long as the process, its threads waiting for work.
  std::vector<std::thread> threads_;
};

// The pool of this process. A child made by fork has none of its parent's threads, and
// the parent's mutex may have been held at the fork: the child makes a pool of its own
// and leaves the inherited one untouched. Pools are never destroyed, so that no thread
// is joined while the process exits.
Pool& process_pool() {
  static std::atomic<Pool*> pool{nullptr};
  static std::atomic<pid_t> owner{0};
  static std::mutex creation;
  const pid_t self = getpid();
  Pool* p = pool.load(std::memory_order_acquire);
  if (p && owner.load(std::memory_order_acquire) == self) return *p;
  std::lock_guard lock(creation);
  p = pool.load(std::memory_order_acquire);
  if (!p || owner.load(std::memory_order_relaxed) != self) {
    p = new Pool;
    owner.store(self, std::memory_order_release);
    pool.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

void parallel_chunks(std::size_t n, std::size_t threads,
                     const std::function<void(std::size_t, std::size_t)>& task) {
  if (n == 0) return;
  threads = std::clamp<std::size_t>(std::min(threads, n / kMinStatesPerThread), 1, kMaxThreads);
  if (threads == 1) {
    task(0, n);
    return;
  }
  Job job;
  job.task = &task;
  job.n = n;
  job.chunks = std::min(n, threads * kChunksPerThread);
  process_pool().run(job, std::min(threads, job.chunks) - 1);
}

namespace {

// Runs chunk(begin, end) -> the first failure in [begin, end), if any, over all states;
// returns the failure of the lowest row. A chunk that starts after a row already known
// to fail is skipped: its failures could not be the first.
template <class Chunk>
std::expected<void, BatchError> for_each_state(std::size_t n, std::size_t threads, Chunk&& chunk) {
  constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
  std::atomic<std::size_t> first_failed{none};
  std::mutex mutex;
  BatchError first;
  std::exception_ptr thrown;
  parallel_chunks(n, threads, [&](std::size_t begin, std::size_t end) {
    if (begin > first_failed.load(std::memory_order_relaxed)) return;
    try {
      std::optional<BatchError> failed = chunk(begin, end);
      if (!failed) return;
      std::lock_guard lock(mutex);
      if (failed->row < first_failed.load(std::memory_order_relaxed)) {
        first = std::move(*failed);
        first_failed.store(first.row, std::memory_order_relaxed);
      }
    } catch (...) {
      // Allocation failure: reported on the calling thread, as a single call would.
      std::lock_guard lock(mutex);
      if (!thrown) thrown = std::current_exception();
    }
  });
  if (thrown) std::rethrow_exception(thrown);
  if (first_failed.load() != none) return std::unexpected(std::move(first));
  return {};
}

// Runs group(row) for the groups of four rows [4g, 4g + 4) and single(row) for the rows
// after the last whole group, spread over the threads in whole groups: a row goes through
// the same code (lanes or single-state) whatever the thread count, so the results are the
// same for every count. Both return the first failure of what they computed, if any.
template <class Group, class Single>
std::expected<void, BatchError> for_each_lane_group(std::size_t n, std::size_t threads, Group&& group,
                                                    Single&& single) {
  constexpr std::size_t w = lanes::kWidth;
  return for_each_state((n + w - 1) / w, threads, [&](std::size_t begin, std::size_t end) -> std::optional<BatchError> {
    for (std::size_t g = begin; g < end; ++g) {
      if (w * g + w <= n) {
        if (std::optional<BatchError> failed = group(w * g)) return failed;
        continue;
      }
      for (std::size_t i = w * g; i < n; ++i)
        if (std::optional<BatchError> failed = single(i)) return failed;
    }
    return std::nullopt;
  });
}

// Whether a batch of n states of the model goes through the lanes.
bool lanes_for(const Model& model, std::size_t n) {
  return n >= lanes::kWidth && lanes::available() && lanes::covers(model);
}

// rnea or aba, written into the row of the output.
using Dynamics = std::expected<void, DynamicsError> (*)(const Model&, std::span<const double>,
                                                        std::span<const double>, std::span<const double>, double*);

std::expected<void, BatchError> dynamics_batch(Dynamics algorithm, const Model& model, std::size_t n,
                                               const double* Q, const double* V, const double* X, double* out,
                                               std::size_t threads) {
  const std::size_t nq = model.nq, nv = model.nv;
  return for_each_state(n, threads, [&](std::size_t begin, std::size_t end) -> std::optional<BatchError> {
    for (std::size_t i = begin; i < end; ++i) {
      auto done = algorithm(model, {Q + i * nq, nq}, {V + i * nv, nv}, {X + i * nv, nv}, out + i * nv);
      if (!done) return BatchError{i, std::move(done.error().message)};
    }
    return std::nullopt;
  });
}

// The homogeneous matrix of x, row by row.
void write_homogeneous(const SE3& x, double* h) {
  for (int r = 0; r < 3; ++r) {
    h[4 * r] = x.rotation(r, 0);
    h[4 * r + 1] = x.rotation(r, 1);
    h[4 * r + 2] = x.rotation(r, 2);
  }
  h[3] = x.translation.x;
  h[7] = x.translation.y;
  h[11] = x.translation.z;
  h[12] = h[13] = h[14] = 0.0;
  h[15] = 1.0;
}

}  // namespace

std::expected<void, BatchError> forward_kinematics_batch(const Model& model, std::size_t n, const double* Q,
                                                         std::span<const std::size_t> frame_ids, double* out,
                                                         std::size_t threads) {
  for (const std::size_t id : frame_ids) {
    if (id >= model.nframes())
      return std::unexpected(BatchError{0, "Frame id " + std::to_string(id) + " is out of range: the model has " +
                                               std::to_string(model.nframes()) + " frames"});
    if (model.frames[id].parent_joint >= model.njoints())
      return std::unexpected(BatchError{0, "Frame '" + model.frames[id].name + "' refers to joint " +
                                               std::to_string(model.frames[id].parent_joint) +
                                               ", which the model does not have"});
  }
  const std::size_t nq = model.nq, nf = frame_ids.size();
  // One state by the single-state code, in a workspace for the joint placements.
  auto single = [&](Data& data, std::size_t i) -> std::optional<BatchError> {
    if (auto done = forward_kinematics(model, data, {Q + i * nq, nq}); !done)
      return BatchError{i, done.error().display()};
    double* row = out + i * nf * 16;
    for (std::size_t f = 0; f < nf; ++f) {
      const Frame& frame = model.frames[frame_ids[f]];
      write_homogeneous(data.oMi[frame.parent_joint] * frame.placement, row + 16 * f);
    }
    return std::nullopt;
  };
  if (lanes_for(model, n)) {
    const std::vector<lanes::FrameOut> frames = lanes::frames_out(model, frame_ids);
    return for_each_lane_group(
        n, threads,
        [&](std::size_t row) -> std::optional<BatchError> {
          lanes::forward_kinematics4(model, Q + row * nq, frames, out + row * nf * 16);
          return std::nullopt;
        },
        [&](std::size_t i) {
          Data data = model.create_data();
          return single(data, i);
        });
  }
  return for_each_state(n, threads, [&](std::size_t begin, std::size_t end) -> std::optional<BatchError> {
    Data data = model.create_data();  // one workspace per chunk
    for (std::size_t i = begin; i < end; ++i)
      if (std::optional<BatchError> failed = single(data, i)) return failed;
    return std::nullopt;
  });
}

std::expected<void, BatchError> rnea_batch(const Model& model, std::size_t n, const double* Q, const double* V,
                                           const double* A, double* out, std::size_t threads) {
  if (!lanes_for(model, n)) return dynamics_batch(&rnea, model, n, Q, V, A, out, threads);
  const std::size_t nq = model.nq, nv = model.nv;
  return for_each_lane_group(
      n, threads,
      [&](std::size_t row) -> std::optional<BatchError> {
        lanes::rnea4(model, Q + row * nq, V + row * nv, A + row * nv, out + row * nv);
        return std::nullopt;
      },
      [&](std::size_t i) -> std::optional<BatchError> {
        auto done = rnea(model, {Q + i * nq, nq}, {V + i * nv, nv}, {A + i * nv, nv}, out + i * nv);
        if (!done) return BatchError{i, std::move(done.error().message)};
        return std::nullopt;
      });
}

std::expected<void, BatchError> aba_batch(const Model& model, std::size_t n, const double* Q, const double* V,
                                          const double* TAU, double* out, std::size_t threads) {
  if (!lanes_for(model, n)) return dynamics_batch(&aba, model, n, Q, V, TAU, out, threads);
  const std::size_t nq = model.nq, nv = model.nv;
  auto single = [&](std::size_t i) -> std::optional<BatchError> {
    auto done = aba(model, {Q + i * nq, nq}, {V + i * nv, nv}, {TAU + i * nv, nv}, out + i * nv);
    if (!done) return BatchError{i, std::move(done.error().message)};
    return std::nullopt;
  };
  return for_each_lane_group(
      n, threads,
      [&](std::size_t row) -> std::optional<BatchError> {
        if (lanes::aba4(model, Q + row * nq, V + row * nv, TAU + row * nv, out + row * nv)) return std::nullopt;
        // A singular state among the four: each by the single-state code, which names it.
        for (std::size_t i = row; i < row + lanes::kWidth; ++i)
          if (std::optional<BatchError> failed = single(i)) return failed;
        return std::nullopt;
      },
      single);
}

std::expected<void, BatchError> mass_matrix_batch(const Model& model, std::size_t n, const double* Q, double* out,
                                                  std::size_t threads) {
  const std::size_t nq = model.nq, block = model.nv * model.nv;
  return for_each_state(n, threads, [&](std::size_t begin, std::size_t end) -> std::optional<BatchError> {
    for (std::size_t i = begin; i < end; ++i)
      if (auto done = mass_matrix(model, {Q + i * nq, nq}, out + i * block); !done)
        return BatchError{i, std::move(done.error().message)};
    return std::nullopt;
  });
}

namespace {

// rnea_derivatives or aba_derivatives, written into the row's blocks of the three outputs.
using Derivatives = std::expected<void, DynamicsError> (*)(const Model&, std::span<const double>,
                                                           std::span<const double>, std::span<const double>,
                                                           std::span<double>, std::span<double>, std::span<double>);

std::expected<void, BatchError> derivatives_batch(Derivatives derivatives, const Model& model, std::size_t n,
                                                  const double* Q, const double* V, const double* X,
                                                  double* const (&out)[3], std::size_t threads) {
  const std::size_t nq = model.nq, nv = model.nv, block = nv * nv;
  return for_each_state(n, threads, [&](std::size_t begin, std::size_t end) -> std::optional<BatchError> {
    for (std::size_t i = begin; i < end; ++i) {
      auto done = derivatives(model, {Q + i * nq, nq}, {V + i * nv, nv}, {X + i * nv, nv},
                              {out[0] + i * block, block}, {out[1] + i * block, block}, {out[2] + i * block, block});
      if (!done) return BatchError{i, std::move(done.error().message)};
    }
    return std::nullopt;
  });
}

}  // namespace

std::expected<void, BatchError> rnea_derivatives_batch(const Model& model, std::size_t n, const double* Q,
                                                       const double* V, const double* A, double* dtau_dq,
                                                       double* dtau_dv, double* mass_matrix, std::size_t threads) {
  // A configuration is the one thing of a state the derivatives refuse; the model's own
  // faults are refused for every state alike, before anything is written.
  if (passes::model_consistent(model))
    for (std::size_t i = 0; i < n; ++i)
      if (auto ok = passes::check_configuration(model, Q + i * model.nq); !ok)
        return std::unexpected(BatchError{i, std::move(ok.error())});  // the single call's message
  double* const out[3] = {dtau_dq, dtau_dv, mass_matrix};
  return derivatives_batch(&rnea_derivatives, model, n, Q, V, A, out, threads);
}

std::expected<void, BatchError> aba_derivatives_batch(const Model& model, std::size_t n, const double* Q,
                                                      const double* V, const double* TAU, double* dddq_dq,
                                                      double* dddq_dv, double* inverse_mass_matrix,
                                                      std::size_t threads) {
  double* const out[3] = {dddq_dq, dddq_dv, inverse_mass_matrix};
  return derivatives_batch(&aba_derivatives, model, n, Q, V, TAU, out, threads);
}

std::expected<void, BatchError> frame_jacobian_batch(const Model& model, std::size_t n, const double* Q,
                                                     std::size_t frame_id, Representation rep, double* out,
                                                     std::size_t threads) {
  if (frame_id >= model.nframes())
    return std::unexpected(BatchError{0, "Frame id " + std::to_string(frame_id) + " is out of range: the model has " +
                                             std::to_string(model.nframes()) + " frames"});
  const std::size_t nq = model.nq, block = 6 * model.nv;
  return for_each_state(n, threads, [&](std::size_t begin, std::size_t end) -> std::optional<BatchError> {
    // One workspace per chunk, as for forward kinematics.
    Data data = model.create_data();
    for (std::size_t i = begin; i < end; ++i)
      if (auto done = frame_jacobian(model, data, {Q + i * nq, nq}, frame_id, rep, out + i * block); !done)
        return BatchError{i, std::move(done.error().message)};
    return std::nullopt;
  });
}

}  // namespace velmora
