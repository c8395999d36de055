// The only translation unit that talks to NumPy's C API directly.
#define PY_ARRAY_UNIQUE_SYMBOL velmora_numpy_api
#include "binding/arrays.hpp"

#include <numpy/arrayobject.h>

namespace vb {

bool init_numpy() {
  if (PyArray_API) return true;
  return _import_array() >= 0;
}

void ArrayView::copy_flat(double* out) const {
  if (ndim == 0) {
    out[0] = load(data);
    return;
  }
  // Walk the index space in row-major order with a small odometer.
  Py_ssize_t index[NPY_MAXDIMS] = {};
  const Py_ssize_t total = size();
  const char* p = data;
  for (Py_ssize_t k = 0; k < total; ++k) {
    out[k] = load(p);
    for (int d = ndim - 1; d >= 0; --d) {
      if (++index[d] < shape[d]) {
        p += strides[d];
        break;
      }
      p -= strides[d] * (shape[d] - 1);
      index[d] = 0;
    }
  }
}

std::string ArrayView::shape_text() const {
  std::string s = "[";
  for (int d = 0; d < ndim; ++d) {
    if (d) s += ", ";
    s += std::to_string(shape[d]);
  }
  return s + "]";
}

bool to_array(PyObject* o, ArgName where, int ndim, ArrayView& out) {
  if (!PyArray_Check(o)) return type_error(where, "a numpy.ndarray of float64", o);
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an array of dtype float64, not %R", where.function,
                 where.argument, reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    return false;
  }
  if (ndim >= 0 && PyArray_NDIM(a) != ndim) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a %d-dimensional array, not %d-dimensional",
                 where.function, where.argument, ndim, PyArray_NDIM(a));
    return false;
  }
  out.data = PyArray_BYTES(a);
  out.ndim = PyArray_NDIM(a);
  out.shape = PyArray_DIMS(a);
  out.strides = PyArray_STRIDES(a);
  out.c_contiguous_aligned = PyArray_CHKFLAGS(a, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED);
  return true;
}

std::span<const double> read_1d(const ArrayView& a, std::vector<double>& storage) {
  const auto n = static_cast<std::size_t>(a.size());
  if (n == 0) return {};
  if (a.c_contiguous_aligned) return {reinterpret_cast<const double*>(a.data), n};
  storage.resize(n);
  a.copy_flat(storage.data());
  return storage;
}

PyObject* new_array_to_fill(std::size_t rows, std::size_t cols, double*& data) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* arr = PyArray_EMPTY(2, dims, NPY_DOUBLE, 0);
  data = arr ? static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr))) : nullptr;
  return arr;
}

PyObject* new_array_1d(const double* values, std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (arr && n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), values, n * sizeof(double));
  return arr;
}

PyObject* new_array_1d_f32(const float* values, std::size_t n) {
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_FLOAT);
  if (arr && n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), values, n * sizeof(float));
  return arr;
}

PyObject* new_array_2d(const double* column_major, std::size_t rows, std::size_t cols, bool fortran) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* arr = PyArray_EMPTY(2, dims, NPY_DOUBLE, fortran ? 1 : 0);
  if (!arr) return nullptr;
  auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  if (fortran) {
    std::memcpy(dst, column_major, rows * cols * sizeof(double));
  } else {
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = 0; j < cols; ++j) dst[i * cols + j] = column_major[i + rows * j];
  }
  return arr;
}

PyObject* new_array_nd(int ndim, const Py_ssize_t* shape, double*& data) {
  npy_intp dims[NPY_MAXDIMS];
  for (int d = 0; d < ndim; ++d) dims[d] = shape[d];
  PyObject* arr = PyArray_EMPTY(ndim, dims, NPY_DOUBLE, 0);
  data = arr ? static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr))) : nullptr;
  return arr;
}

bool to_output_array(PyObject* o, ArgName where, int ndim, const Py_ssize_t* shape, double*& data) {
  ArrayView view;
  if (!to_array(o, where, -1, view)) return false;
  bool same = view.ndim == ndim;
  for (int d = 0; same && d < ndim; ++d) same = view.shape[d] == shape[d];
  if (!same) {
    std::string wanted = "[";
    for (int d = 0; d < ndim; ++d) wanted += (d ? ", " : "") + std::to_string(shape[d]);
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must have shape %s, not %s", where.function, where.argument,
                 (wanted + "]").c_str(), view.shape_text().c_str());
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  if (!PyArray_CHKFLAGS(a, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE)) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be a writeable C-contiguous array", where.function,
                 where.argument);
    return false;
  }
  data = static_cast<double*>(PyArray_DATA(a));
  return true;
}

}  // namespace vb
