// Python functions for the terms of the equation of motion: mass_matrix, bias_forces,
// gravity_torques, coriolis_matrix, inverse_mass_matrix, centroidal_momentum,
// centroidal_momentum_matrix, and mass_matrix_factor with its result class.
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/arrays.hpp"
#include "core/algorithms/dynamics_quantities.hpp"
#include "model.hpp"
#include "module.hpp"

namespace velmora::py {

struct PyMassMatrixFactor {
  using Native = MassMatrixFactor;
  static constexpr const char* name = "MassMatrixFactor";
  static constexpr bool constructible = false;
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

namespace {

PyObject* matrix_to_array(const DenseMatrix& m) { return vb::new_array_2d(m.values.data(), m.rows, m.cols, false); }
// A symmetric matrix reads the same in either order: one copy.
PyObject* symmetric_to_array(const DenseMatrix& m) {
  double* out;
  PyObject* arr = vb::new_array_to_fill(m.rows, m.cols, out);
  if (arr && !m.values.empty()) std::memcpy(out, m.values.data(), m.values.size() * sizeof(double));
  return arr;
}

// The shared shape of every function here: model (shared borrow), data (exclusive borrow,
// checked against the model), then N - 2 one-dimensional float64 arrays, handed to `body`
// as contiguous spans; `body` returns the result or null with an exception set. The
// first form takes the arguments parsed, the second parses them.
template <std::size_t N, class Body>
PyObject* call(const char* function, const char* const (&names)[N], vb::Args<N>& in, Body&& body) {
  vb::Object<PyModel>* model_obj;
  vb::Object<PyData>* data_obj;
  vb::ArrayView arrays[N - 2];
  if (!to_model_data_arrays(function, names, in, model_obj, data_obj, arrays, 1)) return nullptr;

  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    vb::Exclusive<PyData> data(data_obj);
    if (!data.ok() || !check_data_fits(*model, *data)) return nullptr;
    std::vector<double> storage[N - 2];
    std::span<const double> spans[N - 2];
    for (std::size_t k = 0; k < N - 2; ++k) {
      const auto n = static_cast<std::size_t>(arrays[k].size());
      if (arrays[k].c_contiguous_aligned || n == 0) {
        spans[k] = {reinterpret_cast<const double*>(arrays[k].data), n};
        continue;
      }
      storage[k].resize(n);
      arrays[k].copy_flat(storage[k].data());
      spans[k] = storage[k];
    }
    return body(*model, spans);
  });
}
template <std::size_t N, class Body>
PyObject* call(const char* function, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Body&& body) {
  vb::Args<N> in;
  if (!vb::parse(in, function, names, args, nargs, kwnames)) return nullptr;
  return call(function, names, in, std::forward<Body>(body));
}

// The value of a core result through `convert`, or ValueError with the error's text.
template <class Result, class Convert>
PyObject* result(Result&& r, Convert&& convert) {
  if (!r) return vb::value_error(r.error().message);
  return convert(*r);
}

constexpr const char* const q_names[3] = {"model", "data", "q"};
constexpr const char* const qv_names[4] = {"model", "data", "q", "v"};

// mass_matrix(model, data, q, out=None): written in place into a new array, or into the
// caller's out (float64, (nv, nv), C-contiguous and writeable, else an error before
// anything is written), which is then returned: a control loop then allocates nothing.
PyObject* mass_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const char* function = "mass_matrix";
  static constexpr const char* const names[4] = {"model", "data", "q", "out"};
  vb::Args<4> given;
  if (!vb::parse(given, function, names, args, nargs, kwnames, 3)) return nullptr;
  vb::Args<3> in;
  for (std::size_t k = 0; k < 3; ++k) in.v[k] = given[k];
  return call(function, q_names, in, [&](const Model& m, const std::span<const double>* a) -> PyObject* {
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(m.nv), static_cast<Py_ssize_t>(m.nv)};
    double* out = nullptr;
    vb::Ref fresh;
    if (PyObject* target = given[3]) {
      if (!vb::to_output_array(target, {function, "out"}, 2, shape, out)) return nullptr;
    } else {
      fresh = vb::Ref::steal(vb::new_array_to_fill(m.nv, m.nv, out));
      if (!fresh) return nullptr;
    }
    // The pass clears the output before it reads q: a q inside out is read from a copy.
    std::span<const double> q = a[0];
    std::vector<double> copy;
    if (given[3] && q.data() < out + m.nv * m.nv && out < q.data() + q.size()) {
      copy.assign(q.begin(), q.end());
      q = copy;
    }
    auto done = velmora::mass_matrix(m, q, out);
    if (!done) return vb::value_error(done.error().message);
    return given[3] ? Py_NewRef(given[3]) : fresh.release();
  });
}
// A new (n,) array whose every element fill(out) writes, or null with the error raised.
template <class Fill>
PyObject* vector_result(std::size_t n, Fill&& fill) {
  const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(n)};
  double* out;
  vb::Ref arr = vb::Ref::steal(vb::new_array_nd(1, shape, out));
  if (!arr) return nullptr;
  if (auto done = fill(out); !done) return vb::value_error(done.error().message);
  return arr.release();
}

PyObject* gravity_torques(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("gravity_torques", q_names, args, nargs, kwnames, [](const Model& m, const std::span<const double>* a) {
    return vector_result(m.nv, [&](double* out) { return velmora::gravity_torques(m, a[0], out); });
  });
}
PyObject* bias_forces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("bias_forces", qv_names, args, nargs, kwnames, [](const Model& m, const std::span<const double>* a) {
    return vector_result(m.nv, [&](double* out) { return velmora::bias_forces(m, a[0], a[1], out); });
  });
}
PyObject* coriolis_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("coriolis_matrix", qv_names, args, nargs, kwnames, [](const Model& m, const std::span<const double>* a) {
    return result(velmora::coriolis_matrix(m, a[0], a[1]), matrix_to_array);
  });
}
PyObject* inverse_mass_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("inverse_mass_matrix", q_names, args, nargs, kwnames,
              [](const Model& m, const std::span<const double>* a) {
                return result(velmora::inverse_mass_matrix(m, a[0]), symmetric_to_array);
              });
}
PyObject* centroidal_momentum(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("centroidal_momentum", qv_names, args, nargs, kwnames,
              [](const Model& m, const std::span<const double>* a) {
                return result(velmora::centroidal_momentum(m, a[0], a[1]), [](const SpatialForce& h) {
                  const double values[6] = {h.angular.x, h.angular.y, h.angular.z, h.linear.x, h.linear.y, h.linear.z};
                  return vb::new_array_1d(values, 6);
                });
              });
}
PyObject* centroidal_momentum_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("centroidal_momentum_matrix", q_names, args, nargs, kwnames,
              [](const Model& m, const std::span<const double>* a) {
                return result(velmora::centroidal_momentum_matrix(m, a[0]), matrix_to_array);
              });
}
PyObject* mass_matrix_factor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call("mass_matrix_factor", q_names, args, nargs, kwnames,
              [](const Model& m, const std::span<const double>* a) {
                return result(MassMatrixFactor::compute(m, a[0]),
                              [](MassMatrixFactor& f) { return vb::wrap<PyMassMatrixFactor>(std::move(f)); });
              });
}

// ---------------------------------------------------------------------- MassMatrixFactor

using FactorObj = vb::Object<PyMassMatrixFactor>;

// M^-1 b for b of shape (n,) or (n, k), as a new array of b's shape.
PyObject* factor_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[1] = {"b"};
  vb::Args<1> in;
  if (!vb::parse(in, "solve", names, args, nargs, kwnames)) return nullptr;
  vb::ArrayView b;
  if (!vb::to_array(in[0], {"solve", "b"}, -1, b)) return nullptr;
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyMassMatrixFactor> f(reinterpret_cast<FactorObj*>(self));
    if (!f.ok()) return nullptr;
    const auto n = static_cast<Py_ssize_t>(f->size());
    if ((b.ndim != 1 && b.ndim != 2) || b.shape[0] != n)
      return vb::value_error("Parameter 'b' expected shape (" + std::to_string(n) + ",) or (" + std::to_string(n) +
                             ", k), but got " + b.shape_text());
    const Py_ssize_t k = b.ndim == 2 ? b.shape[1] : 1;
    std::vector<double> x(static_cast<std::size_t>(n * k));  // column by column
    for (Py_ssize_t j = 0; j < k; ++j) {
      double* col = x.data() + j * n;
      for (Py_ssize_t i = 0; i < n; ++i) col[i] = b.ndim == 2 ? b.at(i, j) : b.at(i);
      f->solve_in_place(col);
    }
    if (b.ndim == 1) return vb::new_array_1d(x.data(), x.size());
    return vb::new_array_2d(x.data(), static_cast<std::size_t>(n), static_cast<std::size_t>(k), false);
  });
}

PyObject* factor_logdet(PyObject* self, void*) {
  vb::Shared<PyMassMatrixFactor> f(reinterpret_cast<FactorObj*>(self));
  return f.ok() ? PyFloat_FromDouble(f->logdet()) : nullptr;
}

PyMethodDef factor_methods[] = {
    {"solve", vb::fn(factor_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, b)\n--\n\nM^-1 b for b of shape (nv,) or (nv, k), as a new array."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef factor_getset[] = {{"logdet", factor_logdet, nullptr, "log det M(q).", nullptr},
                               {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef function_defs[] = {
    {"mass_matrix", vb::fn(mass_matrix), kFlags,
     "mass_matrix(model, data, q, out=None)\n--\n\nThe joint-space mass matrix M(q), (nv, nv); written into out "
     "when given."},
    {"bias_forces", vb::fn(bias_forces), kFlags,
     "bias_forces(model, data, q, v)\n--\n\nC(q, v) v + g(q), (nv,)."},
    {"gravity_torques", vb::fn(gravity_torques), kFlags,
     "gravity_torques(model, data, q)\n--\n\ng(q), the efforts that balance gravity, (nv,)."},
    {"coriolis_matrix", vb::fn(coriolis_matrix), kFlags,
     "coriolis_matrix(model, data, q, v)\n--\n\nC(q, v) with C v the velocity-product efforts and "
     "dM/dt = C + C^T, (nv, nv)."},
    {"inverse_mass_matrix", vb::fn(inverse_mass_matrix), kFlags,
     "inverse_mass_matrix(model, data, q)\n--\n\nM(q)^-1, (nv, nv), without forming M."},
    {"centroidal_momentum", vb::fn(centroidal_momentum), kFlags,
     "centroidal_momentum(model, data, q, v)\n--\n\nThe momentum about the centre of mass in world-aligned "
     "axes, angular first, (6,)."},
    {"centroidal_momentum_matrix", vb::fn(centroidal_momentum_matrix), kFlags,
     "centroidal_momentum_matrix(model, data, q)\n--\n\nA(q) with centroidal momentum A(q) v, (6, nv)."},
    {"mass_matrix_factor", vb::fn(mass_matrix_factor), kFlags,
     "mass_matrix_factor(model, data, q)\n--\n\nM(q) = L^T D L along the tree, with solve(b) and logdet."},
};

}  // namespace

const char* const PyMassMatrixFactor::doc = "M(q) factorised along the tree: solve(b) and logdet.";

std::vector<PyType_Slot> PyMassMatrixFactor::slots() {
  return {{Py_tp_methods, factor_methods}, {Py_tp_getset, factor_getset}};
}

bool add_dynamics_quantities(PyObject* m) {
  for (PyMethodDef& def : function_defs)
    if (!vb::add_function(m, &def)) return false;
  return vb::add_class<PyMassMatrixFactor>(m);
}

}  // namespace velmora::py
