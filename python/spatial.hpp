// Python classes of the spatial values: Vector3D, Vector6D, SE3, Symmetric3.
#pragma once

#include <vector>

#include "binding/arrays.hpp"
#include "binding/object.hpp"
#include "core/spatial/motion.hpp"
#include "core/spatial/se3.hpp"
#include "core/spatial/symmetric3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora::py {

struct PyVector3D {
  using Native = Vector3D;
  static constexpr const char* name = "Vector3D";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyVector6D {
  using Native = Vector6D;
  static constexpr const char* name = "Vector6D";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PySE3 {
  using Native = SE3;
  static constexpr const char* name = "SE3";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PySymmetric3 {
  using Native = Symmetric3;
  static constexpr const char* name = "Symmetric3";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

// Array conversions shared by the wrappers that take vectors and matrices.
// A Vector3D from a float64 array: ValueError "Input array must be one-dimensional with
// length 3." unless the array has exactly one dimension of length 3.
bool vector3d_from_array(PyObject* o, vb::ArgName where, Vector3D& out);
// A Symmetric3 from a float64 array: the shape and symmetry ValueErrors.
bool symmetric3_from_array(PyObject* o, vb::ArgName where, Symmetric3& out);
// The same checks on an array already converted, for wrappers that convert all their
// arguments before checking any shape.
bool vector3d_from_view(const vb::ArrayView& a, Vector3D& out);
bool symmetric3_from_view(const vb::ArrayView& a, Symmetric3& out);
// New arrays.
PyObject* vector3d_to_array(const Vector3D& v);
PyObject* symmetric3_to_array(const Symmetric3& s);

}  // namespace velmora::py
