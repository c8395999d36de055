// Python functions forward_kinematics_batch, rnea_batch, aba_batch, rnea_derivatives_batch,
// aba_derivatives_batch, mass_matrix_batch and frame_jacobian_batch: many states per call,
// computed without the interpreter lock.
// Everything that touches Python happens before (arguments checked and converted, the
// result allocated) or after (errors raised); in between only the core runs, on the model
// borrowed for reading.
#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "binding/arrays.hpp"
#include "core/algorithms/batch.hpp"
#include "model.hpp"
#include "module.hpp"

namespace velmora::py {

namespace {

// One array of states: n rows of `width` values, row-major and contiguous, either the
// caller's own memory or a copy of it.
struct Rows {
  const double* data = nullptr;
  std::size_t bytes = 0;
  std::vector<double> copy;

  void make_copy(const vb::ArrayView& view) {
    copy.resize(static_cast<std::size_t>(view.size()));
    if (!copy.empty()) view.copy_flat(copy.data());
    data = copy.data();
  }
  // Reads the rows from a copy if they lie in the caller's memory that the result's
  // [begin, begin + size) bytes also cover: states are then read as they were before
  // the call, whatever order the results are written in.
  void copy_if_overlapping(const double* begin, std::size_t size) {
    if (!copy.empty() || bytes == 0 || size == 0) return;
    const auto* a = reinterpret_cast<const char*>(data);
    const auto* b = reinterpret_cast<const char*>(begin);
    if (a < b + size && b < a + bytes) {
      copy.assign(data, data + bytes / sizeof(double));
      data = copy.data();
    }
  }
};

// Reads a (rows, width) float64 array of any strides; rows must equal `n` unless n < 0,
// in which case it is stored there. TypeError for anything but a float64 ndarray,
// ValueError for another shape.
bool read_rows(PyObject* o, vb::ArgName where, Py_ssize_t& n, std::size_t width, Rows& out) {
  vb::ArrayView view;
  if (!vb::to_array(o, where, -1, view)) return false;
  const auto w = static_cast<Py_ssize_t>(width);
  if (view.ndim != 2 || view.shape[1] != w || (n >= 0 && view.shape[0] != n)) {
    const std::string rows = n >= 0 ? std::to_string(n) : "N";
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must have shape (%s, %zd), one state per row, not %s",
                 where.function, where.argument, rows.c_str(), w, view.shape_text().c_str());
    return false;
  }
  n = view.shape[0];
  out.bytes = static_cast<std::size_t>(view.size()) * sizeof(double);
  if (view.c_contiguous_aligned)
    out.data = reinterpret_cast<const double*>(view.data);
  else
    out.make_copy(view);
  return true;
}

// threads=None: every processor the process may run on; otherwise at least 1.
bool read_threads(PyObject* o, const char* function, std::size_t& threads) {
  if (!o) {
    threads = usable_cores();
    return true;
  }
  if (!vb::to_index(o, {function, "threads"}, threads)) return false;
  if (threads == 0) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'threads' must be at least 1 (or None for every core)", function);
    return false;
  }
  return true;
}

// The result array: `out` when given (checked to have exactly `shape`), else a new one.
// Returns a new reference, null with an exception set on failure.
PyObject* result_array(PyObject* out, const char* function, int ndim, const Py_ssize_t* shape, double*& data) {
  if (!out) return vb::new_array_nd(ndim, shape, data);
  if (!vb::to_output_array(out, {function, "out"}, ndim, shape, data)) return nullptr;
  Py_INCREF(out);
  return out;
}

// Runs `compute` (pure core code) without the interpreter lock; a C++ exception thrown
// there is thrown again here, with the lock held, for the caller's guard.
template <class F>
auto without_lock(F&& compute) {
  std::optional<decltype(compute())> result;
  std::exception_ptr thrown;
  Py_BEGIN_ALLOW_THREADS
  try {
    result.emplace(compute());
  } catch (...) {
    thrown = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (thrown) std::rethrow_exception(thrown);
  return std::move(*result);
}

PyObject* batch_error(const char* function, const BatchError& e) {
  return vb::value_error(std::string(function) + "() failed at the state in row " + std::to_string(e.row) + ": " +
                         e.message);
}

// ------------------------------------------------------------------ forward kinematics

bool read_frame_ids(PyObject* o, const Model& model, std::vector<std::size_t>& ids) {
  constexpr const char* function = "forward_kinematics_batch";
  if (!o) {
    ids.resize(model.nframes());
    for (std::size_t k = 0; k < ids.size(); ++k) ids[k] = k;
    return true;
  }
  vb::Ref seq = vb::Ref::steal(PySequence_Fast(o, "forward_kinematics_batch() argument 'frame_ids' must be a "
                                                  "sequence of frame ids or None"));
  if (!seq) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
  ids.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    std::size_t& id = ids[static_cast<std::size_t>(k)];
    if (!vb::to_index(PySequence_Fast_GET_ITEM(seq.get(), k), {function, "frame_ids"}, id)) return false;
    if (id >= model.nframes()) {
      PyErr_Format(PyExc_ValueError,
                   "%s() argument 'frame_ids': frame id %zu is out of range (the model has %zu frames)", function, id,
                   model.nframes());
      return false;
    }
  }
  return true;
}

PyObject* forward_kinematics_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const char* function = "forward_kinematics_batch";
  static const char* const names[] = {"model", "Q", "frame_ids", "threads", "out"};
  vb::Args<5> in;
  vb::Object<PyModel>* model_obj;
  if (!vb::parse(in, function, names, args, nargs, kwnames, 2) || !vb::to_object(in[0], {function, "model"}, model_obj))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    Py_ssize_t n = -1;
    Rows q;
    std::vector<std::size_t> ids;
    std::size_t threads;
    if (!read_rows(in[1], {function, "Q"}, n, model->nq, q) || !read_frame_ids(in[2], *model, ids) ||
        !read_threads(in[3], function, threads))
      return nullptr;
    const Py_ssize_t shape[4] = {n, static_cast<Py_ssize_t>(ids.size()), 4, 4};
    double* out;
    vb::Ref result = vb::Ref::steal(result_array(in[4], function, 4, shape, out));
    if (!result) return nullptr;
    const std::size_t out_size = static_cast<std::size_t>(n) * ids.size() * 16;
    q.copy_if_overlapping(out, out_size * sizeof(double));
    auto done = without_lock([&] {
      return velmora::forward_kinematics_batch(*model, static_cast<std::size_t>(n), q.data, ids, out, threads);
    });
    if (!done) return batch_error(function, done.error());
    return result.release();
  });
}

// ---------------------------------------------------------------------------- dynamics

using DynamicsBatch = std::expected<void, BatchError> (*)(const Model&, std::size_t, const double*, const double*,
                                                          const double*, double*, std::size_t);

// The arguments (model, Q, V, X, threads, ...) of the dynamics and derivatives batches: Q
// with nq values a row, V and X with nv, all n rows; and the thread count.
bool read_states(const vb::Args<6>& in, const char* function, const char* const (&names)[6], const Model& model,
                 Py_ssize_t& n, Rows (&rows)[3], std::size_t& threads) {
  return read_rows(in[1], {function, names[1]}, n, model.nq, rows[0]) &&
         read_rows(in[2], {function, names[2]}, n, model.nv, rows[1]) &&
         read_rows(in[3], {function, names[3]}, n, model.nv, rows[2]) && read_threads(in[4], function, threads);
}

// rnea_batch and aba_batch: (model, Q, V, X, threads=None, out=None) -> (N, nv).
PyObject* dynamics_batch(const char* function, const char* const (&names)[6], DynamicsBatch algorithm,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vb::Args<6> in;
  vb::Object<PyModel>* model_obj;
  if (!vb::parse(in, function, names, args, nargs, kwnames, 4) || !vb::to_object(in[0], {function, "model"}, model_obj))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    Py_ssize_t n = -1;
    Rows rows[3];
    std::size_t threads;
    if (!read_states(in, function, names, *model, n, rows, threads)) return nullptr;
    const Py_ssize_t shape[2] = {n, static_cast<Py_ssize_t>(model->nv)};
    double* out;
    vb::Ref result = vb::Ref::steal(result_array(in[5], function, 2, shape, out));
    if (!result) return nullptr;
    const std::size_t size = static_cast<std::size_t>(n) * model->nv;
    for (Rows& r : rows) r.copy_if_overlapping(out, size * sizeof(double));
    // A caller's array is left as it was when a state fails: the results go there only
    // once every state has succeeded.
    std::vector<double> staging;
    if (in[5]) staging.resize(size);
    double* target = in[5] ? staging.data() : out;
    auto done = without_lock([&] {
      return algorithm(*model, static_cast<std::size_t>(n), rows[0].data, rows[1].data, rows[2].data, target,
                       threads);
    });
    if (!done) return batch_error(function, done.error());
    if (in[5] && size) std::memcpy(out, target, size * sizeof(double));
    return result.release();
  });
}

constexpr const char* const rnea_names[6] = {"model", "Q", "V", "A", "threads", "out"};
constexpr const char* const aba_names[6] = {"model", "Q", "V", "TAU", "threads", "out"};

PyObject* rnea_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return dynamics_batch("rnea_batch", rnea_names, &velmora::rnea_batch, args, nargs, kwnames);
}
PyObject* aba_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return dynamics_batch("aba_batch", aba_names, &velmora::aba_batch, args, nargs, kwnames);
}

// ------------------------------------------------------------------------- derivatives

using DerivativesBatch = std::expected<void, BatchError> (*)(const Model&, std::size_t, const double*,
                                                             const double*, const double*, double*, double*, double*,
                                                             std::size_t);

// The results of a derivatives batch: with out=None three new arrays of `shape`, otherwise
// out's three arrays, each checked to have exactly that shape. New references in results.
bool derivative_results(PyObject* out, const char* function, const Py_ssize_t (&shape)[3], vb::Ref (&results)[3],
                        double* (&data)[3]) {
  if (!out) {
    for (int k = 0; k < 3; ++k) {
      results[k] = vb::Ref::steal(vb::new_array_nd(3, shape, data[k]));
      if (!results[k]) return false;
    }
    return true;
  }
  const std::string message = std::string(function) + "() argument 'out' must be a sequence of three arrays or None";
  vb::Ref seq = vb::Ref::steal(PySequence_Fast(out, message.c_str()));
  if (!seq) return false;
  if (PySequence_Fast_GET_SIZE(seq.get()) != 3) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'out' must hold three arrays, not %zd", function,
                 PySequence_Fast_GET_SIZE(seq.get()));
    return false;
  }
  for (int k = 0; k < 3; ++k) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
    if (!vb::to_output_array(item, {function, "out"}, 3, shape, data[k])) return false;
    results[k] = vb::Ref::borrow(item);
  }
  return true;
}

// rnea_derivatives_batch and aba_derivatives_batch: (model, Q, V, X, threads=None,
// out=None) -> a tuple of three (N, nv, nv) arrays. `staged`: the function may fail part
// way, so that results meant for the caller's arrays are computed aside and copied there
// only once every state has succeeded.
PyObject* derivatives_batch(const char* function, const char* const (&names)[6], DerivativesBatch algorithm,
                            bool staged, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vb::Args<6> in;
  vb::Object<PyModel>* model_obj;
  if (!vb::parse(in, function, names, args, nargs, kwnames, 4) || !vb::to_object(in[0], {function, "model"}, model_obj))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    Py_ssize_t n = -1;
    Rows rows[3];
    std::size_t threads;
    if (!read_states(in, function, names, *model, n, rows, threads)) return nullptr;
    const auto nv = static_cast<Py_ssize_t>(model->nv);
    const Py_ssize_t shape[3] = {n, nv, nv};
    vb::Ref results[3];
    double* out[3];
    if (!derivative_results(in[5], function, shape, results, out)) return nullptr;
    const std::size_t size = static_cast<std::size_t>(n * nv * nv);
    for (Rows& r : rows)
      for (double* o : out) r.copy_if_overlapping(o, size * sizeof(double));
    std::vector<double> staging;
    double* target[3] = {out[0], out[1], out[2]};
    if (in[5] && staged) {
      staging.resize(3 * size);
      for (int k = 0; k < 3; ++k) target[k] = staging.data() + k * size;
    }
    auto done = without_lock([&] {
      return algorithm(*model, static_cast<std::size_t>(n), rows[0].data, rows[1].data, rows[2].data, target[0],
                       target[1], target[2], threads);
    });
    if (!done) return batch_error(function, done.error());
    if (!staging.empty() && size)
      for (int k = 0; k < 3; ++k) std::memcpy(out[k], target[k], size * sizeof(double));
    return PyTuple_Pack(3, results[0].get(), results[1].get(), results[2].get());
  });
}

PyObject* rnea_derivatives_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // Its only failures (a configuration, the model) come before anything is written.
  return derivatives_batch("rnea_derivatives_batch", rnea_names, &velmora::rnea_derivatives_batch, false, args, nargs,
                           kwnames);
}
PyObject* aba_derivatives_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return derivatives_batch("aba_derivatives_batch", aba_names, &velmora::aba_derivatives_batch, true, args, nargs,
                           kwnames);
}

// ---------------------------------------------------- mass matrices and frame Jacobians

// rep=None: Representation.BODY; otherwise a velmora.Representation value.
bool read_representation(PyObject* o, const char* function, Representation& rep) {
  rep = Representation::Body;
  if (!o) return true;
  PyObject* module = PyImport_AddModule("velmora");  // borrowed
  vb::Ref cls = module ? vb::Ref::steal(PyObject_GetAttrString(module, "Representation")) : vb::Ref();
  if (!cls) return false;
  if (reinterpret_cast<PyObject*>(Py_TYPE(o)) != cls.get())
    return vb::type_error({function, "rep"}, "Representation", o);
  const long value = PyLong_AsLong(vb::Ref::steal(PyNumber_Long(o)).get());
  if (value == -1 && PyErr_Occurred()) return false;
  rep = static_cast<Representation>(value);
  return true;
}

PyObject* mass_matrix_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const char* function = "mass_matrix_batch";
  static const char* const names[] = {"model", "Q", "threads", "out"};
  vb::Args<4> in;
  vb::Object<PyModel>* model_obj;
  if (!vb::parse(in, function, names, args, nargs, kwnames, 2) || !vb::to_object(in[0], {function, "model"}, model_obj))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    Py_ssize_t n = -1;
    Rows q;
    std::size_t threads;
    if (!read_rows(in[1], {function, "Q"}, n, model->nq, q) || !read_threads(in[2], function, threads)) return nullptr;
    const auto nv = static_cast<Py_ssize_t>(model->nv);
    const Py_ssize_t shape[3] = {n, nv, nv};
    double* out;
    vb::Ref result = vb::Ref::steal(result_array(in[3], function, 3, shape, out));
    if (!result) return nullptr;
    q.copy_if_overlapping(out, static_cast<std::size_t>(n * nv * nv) * sizeof(double));
    auto done = without_lock(
        [&] { return velmora::mass_matrix_batch(*model, static_cast<std::size_t>(n), q.data, out, threads); });
    if (!done) return batch_error(function, done.error());
    return result.release();
  });
}

PyObject* frame_jacobian_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const char* function = "frame_jacobian_batch";
  static const char* const names[] = {"model", "Q", "frame_id", "rep", "threads", "out"};
  vb::Args<6> in;
  vb::Object<PyModel>* model_obj;
  if (!vb::parse(in, function, names, args, nargs, kwnames, 3) || !vb::to_object(in[0], {function, "model"}, model_obj))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    Py_ssize_t n = -1;
    Rows q;
    std::size_t frame_id, threads;
    Representation rep;
    if (!read_rows(in[1], {function, "Q"}, n, model->nq, q) || !vb::to_index(in[2], {function, "frame_id"}, frame_id) ||
        !read_representation(in[3], function, rep) || !read_threads(in[4], function, threads))
      return nullptr;
    if (frame_id >= model->nframes()) {
      PyErr_Format(PyExc_ValueError,
                   "%s() argument 'frame_id': frame id %zu is out of range (the model has %zu frames)", function,
                   frame_id, model->nframes());
      return nullptr;
    }
    const auto nv = static_cast<Py_ssize_t>(model->nv);
    const Py_ssize_t shape[3] = {n, 6, nv};
    double* out;
    vb::Ref result = vb::Ref::steal(result_array(in[5], function, 3, shape, out));
    if (!result) return nullptr;
    q.copy_if_overlapping(out, static_cast<std::size_t>(n * 6 * nv) * sizeof(double));
    auto done = without_lock([&] {
      return velmora::frame_jacobian_batch(*model, static_cast<std::size_t>(n), q.data, frame_id, rep, out, threads);
    });
    if (!done) return batch_error(function, done.error());
    return result.release();
  });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef forward_kinematics_batch_def = {
    "forward_kinematics_batch", vb::fn(forward_kinematics_batch), kFlags,
    "forward_kinematics_batch(model, Q, frame_ids=None, threads=None, out=None)\n--\n\n"
    "World placements of frames (all frames when frame_ids is None) for every row of Q, as an\n"
    "(N, F, 4, 4) array of homogeneous matrices. threads=None uses every core the process may\n"
    "run on; results are the same for any number of threads."};
PyMethodDef rnea_batch_def = {
    "rnea_batch", vb::fn(rnea_batch), kFlags,
    "rnea_batch(model, Q, V, A, threads=None, out=None)\n--\n\n"
    "Inverse dynamics for every row of (Q, V, A): an (N, nv) array of joint efforts."};
PyMethodDef aba_batch_def = {
    "aba_batch", vb::fn(aba_batch), kFlags,
    "aba_batch(model, Q, V, TAU, threads=None, out=None)\n--\n\n"
    "Forward dynamics for every row of (Q, V, TAU): an (N, nv) array of joint accelerations.\n"
    "A singular state raises ValueError naming its row (the first one)."};

PyMethodDef rnea_derivatives_batch_def = {
    "rnea_derivatives_batch", vb::fn(rnea_derivatives_batch), kFlags,
    "rnea_derivatives_batch(model, Q, V, A, threads=None, out=None)\n--\n\n"
    "rnea_derivatives for every row of (Q, V, A): a tuple (dtau_dq, dtau_dv, M) of (N, nv, nv) arrays.\n"
    "out: None or three arrays of that shape, written in place and returned."};
PyMethodDef aba_derivatives_batch_def = {
    "aba_derivatives_batch", vb::fn(aba_derivatives_batch), kFlags,
    "aba_derivatives_batch(model, Q, V, TAU, threads=None, out=None)\n--\n\n"
    "aba_derivatives for every row of (Q, V, TAU): a tuple (dddq_dq, dddq_dv, Minv) of (N, nv, nv)\n"
    "arrays. out: None or three arrays of that shape, written in place and returned. A singular\n"
    "mass matrix raises ValueError naming its row (the first one), leaving out as it was."};

PyMethodDef mass_matrix_batch_def = {
    "mass_matrix_batch", vb::fn(mass_matrix_batch), kFlags,
    "mass_matrix_batch(model, Q, threads=None, out=None)\n--\n\n"
    "The mass matrix M(q) for every row of Q: an (N, nv, nv) array."};
PyMethodDef frame_jacobian_batch_def = {
    "frame_jacobian_batch", vb::fn(frame_jacobian_batch), kFlags,
    "frame_jacobian_batch(model, Q, frame_id, rep=None, threads=None, out=None)\n--\n\n"
    "The Jacobian of a frame for every row of Q, in representation rep (None: Representation.BODY):\n"
    "an (N, 6, nv) array, rows angular then linear."};

}  // namespace

bool add_batch_functions(PyObject* m) {
  return vb::add_function(m, &forward_kinematics_batch_def) && vb::add_function(m, &rnea_batch_def) &&
         vb::add_function(m, &aba_batch_def) && vb::add_function(m, &mass_matrix_batch_def) &&
         vb::add_function(m, &frame_jacobian_batch_def);
}

bool add_derivatives_batch_functions(PyObject* m) {
  return vb::add_function(m, &rnea_derivatives_batch_def) && vb::add_function(m, &aba_derivatives_batch_def);
}

}  // namespace velmora::py
