// NumPy exchange: float64 arrays read in place by stride, and new result arrays.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "binding/args.hpp"

namespace vb {

bool init_numpy();

// A read-only view of a float64 array: shape and strides in elements of bytes.
struct ArrayView {
  const char* data = nullptr;
  int ndim = 0;
  const Py_ssize_t* shape = nullptr;
  const Py_ssize_t* strides = nullptr;  // in bytes
  // NumPy's own record that the elements lie in row-major order, aligned for double:
  // then they can be read in place as one flat vector without looking at the strides.
  bool c_contiguous_aligned = false;

  Py_ssize_t size() const {
    Py_ssize_t n = 1;
    for (int d = 0; d < ndim; ++d) n *= shape[d];
    return n;
  }
  Py_ssize_t len() const { return ndim > 0 ? shape[0] : 1; }
  // Element i of a one-dimensional array, by stride (unaligned data is read safely).
  double at(Py_ssize_t i) const { return load(data + i * strides[0]); }
  double at(Py_ssize_t i, Py_ssize_t j) const { return load(data + i * strides[0] + j * strides[1]); }
  bool contiguous_1d() const { return ndim == 1 && (shape[0] < 2 || strides[0] == sizeof(double)); }
  // All elements in logical (row-major) order, whatever the memory layout.
  void copy_flat(double* out) const;
  // The shape as "[a, b]".
  std::string shape_text() const;

  static double load(const char* p) {
    double x;
    std::memcpy(&x, p, sizeof x);
    return x;
  }
};

// A NumPy ndarray of dtype float64 (native byte order) with `ndim` dimensions, or any
// number of dimensions when ndim < 0. TypeError otherwise, without any conversion.
bool to_array(PyObject* o, ArgName where, int ndim, ArrayView& out);

// The elements of a one-dimensional array as one contiguous span: the array's own memory
// when it is contiguous and aligned, otherwise a copy in `storage`.
std::span<const double> read_1d(const ArrayView& a, std::vector<double>& storage);

// New result arrays.
PyObject* new_array_1d(const double* values, std::size_t n);
PyObject* new_array_1d_f32(const float* values, std::size_t n);
// A rows x cols array whose element [i, j] is `column_major[i + rows * j]`; Fortran
// order in memory when `fortran`, C order otherwise.
PyObject* new_array_2d(const double* column_major, std::size_t rows, std::size_t cols, bool fortran);
// A new C-contiguous rows x cols array, uninitialised: `data` points at its elements,
// every one of which the caller writes (row-major order).
PyObject* new_array_to_fill(std::size_t rows, std::size_t cols, double*& data);

// A new C-contiguous float64 array of the given shape, its elements left for the caller
// to write through `data` (not initialised).
PyObject* new_array_nd(int ndim, const Py_ssize_t* shape, double*& data);

// An array a function writes its result into: a float64 ndarray (TypeError otherwise) of
// exactly `shape`, C-contiguous, aligned and writeable (ValueError otherwise).
bool to_output_array(PyObject* o, ArgName where, int ndim, const Py_ssize_t* shape, double*& data);

}  // namespace vb
