// Python functions integrate, difference, interpolate and normalize: the configuration
// space of a model. Arrays are one-dimensional float64 of exactly the model's sizes,
// read by stride; results are new arrays.
#include <span>
#include <vector>

#include "binding/arrays.hpp"
#include "core/algorithms/algorithms.hpp"
#include "model.hpp"
#include "module.hpp"

namespace velmora::py {

namespace {

std::vector<double> read(const vb::ArrayView& a) {
  std::vector<double> values(static_cast<std::size_t>(a.shape[0]));
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = a.at(static_cast<Py_ssize_t>(i));
  return values;
}

PyObject* result(const std::expected<Configuration, ConfigurationError>& r) {
  if (!r) return vb::value_error(r.error().display());
  return vb::new_array_1d(r->data(), r->len());
}

// The shared body: model (shared borrow), two arrays, and for interpolate a float.
template <std::size_t N, class Call>
PyObject* run(const char* function, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames, Call&& call) {
  vb::Args<N> in;
  if (!vb::parse(in, function, names, args, nargs, kwnames)) return nullptr;
  vb::Object<PyModel>* model_obj;
  if (!vb::to_object(in[0], {function, names[0]}, model_obj)) return nullptr;
  vb::ArrayView arrays[N - 1];
  double t = 0;
  for (std::size_t k = 1; k < N; ++k) {
    if (k == 3) {
      if (!vb::to_double(in[k], {function, names[k]}, t)) return nullptr;
    } else if (!vb::to_array(in[k], {function, names[k]}, 1, arrays[k - 1])) {
      return nullptr;
    }
  }
  vb::Shared<PyModel> model(model_obj);
  if (!model.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    const std::vector<double> a = read(arrays[0]);
    std::vector<double> b;
    if constexpr (N > 2) b = read(arrays[1]);
    return result(call(*model, std::span<const double>(a), std::span<const double>(b), t));
  });
}

PyObject* integrate_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "q", "v"};
  return run("integrate", names, args, nargs, kwnames,
             [](const Model& m, auto q, auto v, double) { return integrate(m, q, v); });
}
PyObject* difference_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "q0", "q1"};
  return run("difference", names, args, nargs, kwnames,
             [](const Model& m, auto q0, auto q1, double) { return difference(m, q0, q1); });
}
PyObject* interpolate_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "q0", "q1", "t"};
  return run("interpolate", names, args, nargs, kwnames,
             [](const Model& m, auto q0, auto q1, double t) { return interpolate(m, q0, q1, t); });
}
PyObject* normalize_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "q"};
  return run("normalize", names, args, nargs, kwnames,
             [](const Model& m, auto q, auto, double) { return normalize(m, q); });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef integrate_def = {
    "integrate", vb::fn(integrate_py), kFlags,
    "integrate(model, q, v)\n--\n\nThe configuration reached from q by moving at velocity v for unit time: each "
    "joint's exact exponential (SE3 for free flyers, SO3 for spherical, SE2 for planar joints, a turn for continuous "
    "ones), with velocities in the child frame. Returns a new float64 array of length nq."};
PyMethodDef difference_def = {
    "difference", vb::fn(difference_py), kFlags,
    "difference(model, q0, q1)\n--\n\nThe velocity v (length nv) with integrate(model, q0, v) == q1; rotations the "
    "shorter way round."};
PyMethodDef interpolate_def = {
    "interpolate", vb::fn(interpolate_py), kFlags,
    "interpolate(model, q0, q1, t)\n--\n\nThe configuration integrate(model, q0, t * difference(model, q0, q1)): q0 at "
    "t = 0, q1 at t = 1."};
PyMethodDef normalize_def = {
    "normalize", vb::fn(normalize_py), kFlags,
    "normalize(model, q)\n--\n\nA copy of q with every quaternion and (cos, sin) pair scaled to unit length."};

}  // namespace

bool add_configuration_space_functions(PyObject* m) {
  return vb::add_function(m, &integrate_def) && vb::add_function(m, &difference_def) &&
         vb::add_function(m, &interpolate_def) && vb::add_function(m, &normalize_def);
}

}  // namespace velmora::py
