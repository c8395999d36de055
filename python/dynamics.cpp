// Python functions forward_dynamics, aba, inverse_dynamics and rnea.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "binding/arrays.hpp"
#include "configuration.hpp"
#include "core/algorithms/algorithms.hpp"
#include "model.hpp"
#include "module.hpp"

namespace velmora::py {

namespace {

// True when the elements of `a` lie in memory in row-major order, aligned for double,
// so that they can be read in place as one flat vector.
bool flat_in_place(const vb::ArrayView& a) {
  if (reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) != 0) return false;
  Py_ssize_t step = sizeof(double);
  for (int d = a.ndim - 1; d >= 0; --d) {
    if (a.shape[d] != 1 && a.strides[d] != step) return false;
    step *= a.shape[d];
  }
  return true;
}

// All elements of `a` in row-major order: the array's own memory when it is laid out
// that way, otherwise a copy in `storage`.
std::span<const double> flat(const vb::ArrayView& a, std::vector<double>& storage) {
  const auto n = static_cast<std::size_t>(a.size());
  if (a.c_contiguous_aligned) return {reinterpret_cast<const double*>(a.data), n};
  if (n == 0) return {};
  if (flat_in_place(a)) return {reinterpret_cast<const double*>(a.data), n};
  storage.resize(n);
  a.copy_flat(storage.data());
  return storage;
}

using Algorithm = std::expected<void, DynamicsError> (*)(const Model&, std::span<const double>,
                                                         std::span<const double>, std::span<const double>, double*);

// The shared body of the four functions: model (shared borrow), data (exclusive borrow,
// only checked against the model), three float64 arrays of any shape read flat.
PyObject* run(const char* function, const char* const (&names)[5], Algorithm algorithm, const char* error_prefix,
              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vb::Args<5> in;
  if (!vb::parse(in, function, names, args, nargs, kwnames)) return nullptr;
  vb::Object<PyModel>* model_obj;
  vb::Object<PyData>* data_obj;
  vb::ArrayView arrays[3];
  if (!to_model_data_arrays(function, names, in, model_obj, data_obj, arrays, -1)) return nullptr;

  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    vb::Exclusive<PyData> data(data_obj);
    if (!data.ok() || !check_data_fits(*model, *data)) return nullptr;
    std::vector<double> storage[3];
    const auto q = flat(arrays[0], storage[0]);
    const auto v = flat(arrays[1], storage[1]);
    const auto x = flat(arrays[2], storage[2]);
    // Written in place: a result object is never one of the inputs' memory.
    vb::Object<PyConfiguration>* result = configuration_result(model->nv);
    if (!result) return nullptr;
    if (auto done = algorithm(*model, q, v, x, result->value.data()); !done) {
      Py_DECREF(result);
      return vb::value_error(error_prefix + done.error().message);
    }
    return reinterpret_cast<PyObject*>(result);
  });
}

constexpr const char* const forward_names[5] = {"model", "data", "q", "v", "tau"};
constexpr const char* const inverse_names[5] = {"model", "data", "q", "v", "a"};
constexpr const char* forward_prefix = "Forward dynamics failed: ";
constexpr const char* inverse_prefix = "Error in inverse dynamics: ";

PyObject* forward_dynamics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run("forward_dynamics", forward_names, &velmora::aba, forward_prefix, args, nargs, kwnames);
}
PyObject* aba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run("aba", forward_names, &velmora::aba, forward_prefix, args, nargs, kwnames);
}
PyObject* inverse_dynamics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run("inverse_dynamics", inverse_names, &velmora::rnea, inverse_prefix, args, nargs, kwnames);
}
PyObject* rnea(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run("rnea", inverse_names, &velmora::rnea, inverse_prefix, args, nargs, kwnames);
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef forward_dynamics_def = {"forward_dynamics", vb::fn(forward_dynamics), kFlags,
                                    "forward_dynamics(model, data, q, v, tau)\n--\n\n"};
PyMethodDef aba_def = {"aba", vb::fn(aba), kFlags, "aba(model, data, q, v, tau)\n--\n\n"};
PyMethodDef inverse_dynamics_def = {"inverse_dynamics", vb::fn(inverse_dynamics), kFlags,
                                    "inverse_dynamics(model, data, q, v, a)\n--\n\n"};
PyMethodDef rnea_def = {"rnea", vb::fn(rnea), kFlags, "rnea(model, data, q, v, a)\n--\n\n"};

}  // namespace

bool add_dynamics_functions(PyObject* m) {
  return vb::add_function(m, &forward_dynamics_def) && vb::add_function(m, &aba_def) &&
         vb::add_function(m, &inverse_dynamics_def) && vb::add_function(m, &rnea_def);
}

}  // namespace velmora::py
