// Python functions rnea_derivatives and aba_derivatives: the state derivatives of inverse
// and forward dynamics, each returned as a tuple of three new (nv, nv) arrays.
#include <span>
#include <string>
#include <vector>

#include "binding/arrays.hpp"
#include "core/algorithms/derivatives.hpp"
#include "model.hpp"
#include "module.hpp"

namespace velmora::py {

namespace {

using Derivatives = std::expected<void, DynamicsError> (*)(const Model&, std::span<const double>,
                                                           std::span<const double>, std::span<const double>,
                                                           std::span<double>, std::span<double>, std::span<double>);

// The elements of a one-dimensional array: its own memory when contiguous and aligned,
// otherwise a copy in this thread's storage for argument `slot` (reused from call to call).
std::span<const double> elements(const vb::ArrayView& a, int slot) {
  const auto n = static_cast<std::size_t>(a.size());
  if (a.c_contiguous_aligned || n == 0) return {reinterpret_cast<const double*>(a.data), n};
  thread_local std::vector<double> storage[3];
  storage[slot].resize(n);
  a.copy_flat(storage[slot].data());
  return {storage[slot].data(), n};
}

// model (shared borrow), data (exclusive borrow, only checked against the model), three
// one-dimensional float64 arrays of the model's sizes; the result arrays are made first and
// the core writes into them.
PyObject* run(const char* function, const char* const (&names)[5], Derivatives derivatives, const char* error_prefix,
              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  vb::Args<5> in;
  if (!vb::parse(in, function, names, args, nargs, kwnames)) return nullptr;
  vb::Object<PyModel>* model_obj;
  vb::Object<PyData>* data_obj;
  vb::ArrayView arrays[3];
  if (!to_model_data_arrays(function, names, in, model_obj, data_obj, arrays, 1)) return nullptr;

  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    vb::Exclusive<PyData> data(data_obj);
    if (!data.ok() || !check_data_fits(*model, *data)) return nullptr;
    const std::size_t nv = model->nv;
    double* out[3];
    vb::Ref results[3];
    for (int k = 0; k < 3; ++k) {
      results[k] = vb::Ref::steal(vb::new_array_to_fill(nv, nv, out[k]));
      if (!results[k]) return nullptr;
    }
    const std::size_t size = nv * nv;
    auto done = derivatives(*model, elements(arrays[0], 0), elements(arrays[1], 1), elements(arrays[2], 2),
                            {out[0], size}, {out[1], size}, {out[2], size});
    if (!done) return vb::value_error(error_prefix + done.error().message);
    return PyTuple_Pack(3, results[0].get(), results[1].get(), results[2].get());
  });
}

constexpr const char* const inverse_names[5] = {"model", "data", "q", "v", "a"};
constexpr const char* const forward_names[5] = {"model", "data", "q", "v", "tau"};

PyObject* rnea_derivatives(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run("rnea_derivatives", inverse_names, &velmora::rnea_derivatives, "Error in inverse dynamics derivatives: ",
             args, nargs, kwnames);
}
PyObject* aba_derivatives(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run("aba_derivatives", forward_names, &velmora::aba_derivatives, "Forward dynamics derivatives failed: ",
             args, nargs, kwnames);
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef rnea_derivatives_def = {
    "rnea_derivatives", vb::fn(rnea_derivatives), kFlags,
    "rnea_derivatives(model, data, q, v, a)\n--\n\n"
    "The partial derivatives of tau = rnea(q, v, a): (dtau_dq, dtau_dv, M), each (nv, nv), with the q\n"
    "derivative along the tangent space (a continuous joint by its angle) and M = dtau/da the mass matrix."};
PyMethodDef aba_derivatives_def = {
    "aba_derivatives", vb::fn(aba_derivatives), kFlags,
    "aba_derivatives(model, data, q, v, tau)\n--\n\n"
    "The partial derivatives of ddq = aba(q, v, tau): (dddq_dq, dddq_dv, Minv), each (nv, nv), with the q\n"
    "derivative along the tangent space and Minv = dddq/dtau the inverse mass matrix."};

}  // namespace

bool add_derivatives_functions(PyObject* m) {
  return vb::add_function(m, &rnea_derivatives_def) && vb::add_function(m, &aba_derivatives_def);
}

}  // namespace velmora::py
