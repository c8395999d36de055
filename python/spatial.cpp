#include "spatial.hpp"

#include "binding/args.hpp"
#include "core/spatial/format.hpp"
#include "core/spatial/random.hpp"
#include "module.hpp"
#include "pickle.hpp"

namespace velmora::py {

using vb::Ref;

// ---------------------------------------------------------------------------- Vector3D

bool vector3d_from_array(PyObject* o, vb::ArgName where, Vector3D& out) {
  vb::ArrayView a;
  return vb::to_array(o, where, -1, a) && vector3d_from_view(a, out);
}

bool vector3d_from_view(const vb::ArrayView& a, Vector3D& out) {
  if (a.ndim != 1 || a.shape[0] != 3) {
    vb::value_error("Input array must be one-dimensional with length 3.");
    return false;
  }
  out = {a.at(0), a.at(1), a.at(2)};
  return true;
}

PyObject* vector3d_to_array(const Vector3D& v) {
  const double values[3] = {v.x, v.y, v.z};
  return vb::new_array_1d(values, 3);
}

namespace {

using V3 = vb::Object<PyVector3D>;

PyObject* vector3d_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"x", "y", "z"};
  vb::Args<3> in;
  Vector3D v;
  if (!vb::parse(in, "Vector3D", names, args, kwargs) || !vb::to_double(in[0], {"Vector3D", "x"}, v.x) ||
      !vb::to_double(in[1], {"Vector3D", "y"}, v.y) || !vb::to_double(in[2], {"Vector3D", "z"}, v.z))
    return nullptr;
  return vb::wrap<PyVector3D>(v);
}

PyObject* vector3d_zeros(PyObject*, PyObject*) { return vb::wrap<PyVector3D>(Vector3D::zeros()); }
PyObject* vector3d_ones(PyObject*, PyObject*) { return vb::wrap<PyVector3D>(Vector3D{1, 1, 1}); }

PyObject* vector3d_to_numpy(PyObject* self, PyObject*) {
  vb::Shared<PyVector3D> v(reinterpret_cast<V3*>(self));
  return v.ok() ? vector3d_to_array(*v) : nullptr;
}

PyObject* vector3d_norm(PyObject* self, PyObject*) {
  vb::Shared<PyVector3D> v(reinterpret_cast<V3*>(self));
  return v.ok() ? PyFloat_FromDouble(v->norm()) : nullptr;
}

PyObject* vector3d_repr(PyObject* self) {
  vb::Shared<PyVector3D> v(reinterpret_cast<V3*>(self));
  if (!v.ok()) return nullptr;
  return vb::guard([&] {
    const std::string s = "Vector3D(" + fmt::plain(v->x) + ", " + fmt::plain(v->y) + ", " + fmt::plain(v->z) + ")";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

// Binary operators between two Vector3D; NotImplemented for anything else.
template <Vector3D (*Op)(const Vector3D&, const Vector3D&)>
PyObject* vector3d_binary(PyObject* a, PyObject* b) {
  V3* x = vb::cast<PyVector3D>(a);
  V3* y = vb::cast<PyVector3D>(b);
  if (!x || !y) Py_RETURN_NOTIMPLEMENTED;
  vb::Shared<PyVector3D> l(x), r(y);
  if (!l.ok() || !r.ok()) return nullptr;
  return vb::wrap<PyVector3D>(Op(*l, *r));
}
Vector3D add(const Vector3D& a, const Vector3D& b) { return a + b; }
Vector3D sub(const Vector3D& a, const Vector3D& b) { return a - b; }
Vector3D mul(const Vector3D& a, const Vector3D& b) { return a.component_mul(b); }

PyMethodDef vector3d_methods[] = {
    {"zeros", vector3d_zeros, METH_NOARGS | METH_STATIC, "zeros()\n--\n\n"},
    {"ones", vector3d_ones, METH_NOARGS | METH_STATIC, "ones()\n--\n\n"},
    {"to_numpy", vector3d_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"vector", vector3d_to_numpy, METH_NOARGS, "vector($self)\n--\n\n"},
    {"norm", vector3d_norm, METH_NOARGS, "norm($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const char* const PyVector3D::doc = "Vector3D(x, y, z)\n--\n\n";

std::vector<PyType_Slot> PyVector3D::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&vector3d_new)},
          {Py_tp_methods, vector3d_methods},
          {Py_tp_repr, reinterpret_cast<void*>(&vector3d_repr)},
          {Py_nb_add, reinterpret_cast<void*>(&vector3d_binary<add>)},
          {Py_nb_subtract, reinterpret_cast<void*>(&vector3d_binary<sub>)},
          {Py_nb_multiply, reinterpret_cast<void*>(&vector3d_binary<mul>)}};
}

// --------------------------------------------------------------------------------- SE3

namespace {

using Se3Obj = vb::Object<PySE3>;

PyObject* new_string(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* translation_size_error(Py_ssize_t got) {
  return vb::value_error("Invalid input size. Expected a translation of shape (3,), got " + std::to_string(got) +
                         ".");
}

PyObject* se3_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"rotation", "translation"};
  vb::Args<2> in;
  vb::ArrayView r, t;
  // Both arguments are converted before any shape is looked at.
  if (!vb::parse(in, "SE3", names, args, kwargs) || !vb::to_array(in[0], {"SE3", "rotation"}, 2, r) ||
      !vb::to_array(in[1], {"SE3", "translation"}, 1, t))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    if (r.shape[0] != 3 || r.shape[1] != 3)
      return vb::value_error("Invalid input size. Expected a rotation of shape (3,3), got " + r.shape_text());
    if (t.shape[0] != 3) return translation_size_error(t.shape[0]);
    SE3 m;
    m.translation = {t.at(0), t.at(1), t.at(2)};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m.rotation(i, j) = r.at(i, j);
    if (!m.rotation.is_orthogonal()) return vb::value_error("The rotation matrix is not orthogonal.");
    return vb::wrap<PySE3>(m);
  });
}

PyObject* se3_identity(PyObject*, PyObject*) { return vb::wrap<PySE3>(SE3::identity()); }
PyObject* se3_random(PyObject*, PyObject*) { return vb::wrap<PySE3>(SE3::random(thread_rng())); }

PyObject* se3_inverse(PyObject* self, PyObject*) {
  vb::Shared<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  return m.ok() ? vb::wrap<PySE3>(m->inverse()) : nullptr;
}

PyObject* se3_copy(PyObject* self, PyObject*) {
  vb::Shared<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  return m.ok() ? vb::wrap<PySE3>(*m) : nullptr;
}

// The rotation and homogeneous arrays come straight from the column-by-column storage,
// so they are Fortran-ordered in memory.
PyObject* se3_get_rotation(PyObject* self, void*) {
  vb::Shared<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  return m.ok() ? vb::new_array_2d(m->rotation.m.data(), 3, 3, true) : nullptr;
}

PyObject* se3_get_homogeneous(PyObject* self, void*) {
  vb::Shared<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  if (!m.ok()) return nullptr;
  double h[16] = {};
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) h[i + 4 * j] = m->rotation(i, j);
  h[12] = m->translation.x;
  h[13] = m->translation.y;
  h[14] = m->translation.z;
  h[15] = 1.0;
  return vb::new_array_2d(h, 4, 4, true);
}

PyObject* se3_get_translation(PyObject* self, void*) {
  vb::Shared<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  return m.ok() ? vector3d_to_array(m->translation) : nullptr;
}

// Converts the new value, then borrows the object, then checks the length; the old
// translation stays on any failure.
int se3_set_translation(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'translation' of 'SE3' objects");
    return -1;
  }
  vb::ArrayView t;
  if (!vb::to_array(value, {"SE3.translation", "translation"}, 1, t)) return -1;
  vb::Exclusive<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  if (!m.ok()) return -1;
  if (t.shape[0] != 3) {
    vb::guard([&] { return translation_size_error(t.shape[0]); });
    return -1;
  }
  m->translation = {t.at(0), t.at(1), t.at(2)};
  return 0;
}

PyObject* se3_multiply(PyObject* a, PyObject* b) {
  Se3Obj* x = vb::cast<PySE3>(a);
  Se3Obj* y = vb::cast<PySE3>(b);
  if (!x || !y) Py_RETURN_NOTIMPLEMENTED;
  vb::Shared<PySE3> l(x), r(y);
  if (!l.ok() || !r.ok()) return nullptr;
  return vb::wrap<PySE3>(*l * *r);
}

PyObject* se3_repr(PyObject* self) {
  vb::Shared<PySE3> m(reinterpret_cast<Se3Obj*>(self));
  if (!m.ok()) return nullptr;
  return vb::guard([&] { return new_string(m->debug()); });
}

PyMethodDef se3_methods[] = {
    reduce_method<PySE3>(),
    {"Identity", se3_identity, METH_NOARGS | METH_STATIC, "Identity()\n--\n\n"},
    {"Random", se3_random, METH_NOARGS | METH_STATIC, "Random()\n--\n\n"},
    {"inverse", se3_inverse, METH_NOARGS, "inverse($self)\n--\n\n"},
    {"copy", se3_copy, METH_NOARGS, "copy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef se3_getset[] = {
    {"rotation", se3_get_rotation, nullptr, nullptr, nullptr},
    {"translation", se3_get_translation, se3_set_translation, nullptr, nullptr},
    {"homogeneous", se3_get_homogeneous, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const char* const PySE3::doc = "SE3(rotation, translation)\n--\n\nPython wrapper for the SE(3) group.";

std::vector<PyType_Slot> PySE3::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&se3_new)},
          {Py_tp_methods, se3_methods},
          {Py_tp_getset, se3_getset},
          {Py_tp_repr, reinterpret_cast<void*>(&se3_repr)},
          {Py_nb_multiply, reinterpret_cast<void*>(&se3_multiply)}};
}

// ---------------------------------------------------------------------------- Vector6D

namespace {

PyObject* vector6d_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"x", "y", "z", "w", "v", "u"};
  vb::Args<6> in;
  if (!vb::parse(in, "Vector6D", names, args, kwargs)) return nullptr;
  Vector6D v;
  for (std::size_t i = 0; i < 6; ++i)
    if (!vb::to_double(in[i], {"Vector6D", names[i]}, v.data[i])) return nullptr;
  return vb::wrap<PyVector6D>(v);
}

}  // namespace

const char* const PyVector6D::doc =
    "Vector6D(x, y, z, w, v, u)\n--\n\nPython wrapper for spatial motion vectors (`Vector6D`).";

std::vector<PyType_Slot> PyVector6D::slots() { return {{Py_tp_new, reinterpret_cast<void*>(&vector6d_new)}}; }

// -------------------------------------------------------------------------- Symmetric3

bool symmetric3_from_view(const vb::ArrayView& a, Symmetric3& out) {
  if (a.ndim != 2 || a.shape[0] != 3 || a.shape[1] != 3) {
    vb::value_error("Input array must be of shape (3, 3)");
    return false;
  }
  // Exact comparison of every pair; the diagonal is compared with itself so that a NaN
  // anywhere fails.
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (!(a.at(i, j) == a.at(j, i))) {
        vb::value_error("Input array must be symmetric");
        return false;
      }
  out = Symmetric3{{a.at(0, 0), a.at(1, 1), a.at(2, 2), a.at(0, 1), a.at(0, 2), a.at(1, 2)}};
  return true;
}

bool symmetric3_from_array(PyObject* o, vb::ArgName where, Symmetric3& out) {
  vb::ArrayView a;
  return vb::to_array(o, where, -1, a) && symmetric3_from_view(a, out);
}

PyObject* symmetric3_to_array(const Symmetric3& s) {
  double full[9];
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) full[i + 3 * j] = s(i, j);
  return vb::new_array_2d(full, 3, 3, false);
}

namespace {

using S3 = vb::Object<PySymmetric3>;

PyObject* symmetric3_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"m11", "m22", "m33", "m12", "m13", "m23"};
  vb::Args<6> in;
  if (!vb::parse(in, "Symmetric3", names, args, kwargs)) return nullptr;
  Symmetric3 s;
  for (std::size_t i = 0; i < 6; ++i)
    if (!vb::to_double(in[i], {"Symmetric3", names[i]}, s.data[i])) return nullptr;
  return vb::wrap<PySymmetric3>(s);
}

PyObject* symmetric3_zero(PyObject*, PyObject*) { return vb::wrap<PySymmetric3>(Symmetric3::zero()); }
PyObject* symmetric3_identity(PyObject*, PyObject*) { return vb::wrap<PySymmetric3>(Symmetric3::identity()); }

PyObject* symmetric3_matrix(PyObject* self, PyObject*) {
  vb::Shared<PySymmetric3> s(reinterpret_cast<S3*>(self));
  return s.ok() ? symmetric3_to_array(*s) : nullptr;
}

// s[i, j]: a tuple of two non-negative ints, each at most 2.
PyObject* symmetric3_getitem(PyObject* self, PyObject* key) {
  if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
    PyErr_Format(PyExc_TypeError, "Symmetric3 indices must be a tuple of two integers, not %s", Py_TYPE(key)->tp_name);
    return nullptr;
  }
  std::size_t i = 0, j = 0;
  if (!vb::to_index(PyTuple_GET_ITEM(key, 0), {"Symmetric3.__getitem__", "index"}, i) ||
      !vb::to_index(PyTuple_GET_ITEM(key, 1), {"Symmetric3.__getitem__", "index"}, j))
    return nullptr;
  if (i > 2 || j > 2) {
    PyErr_SetString(PyExc_IndexError, "Index out of bounds");
    return nullptr;
  }
  vb::Shared<PySymmetric3> s(reinterpret_cast<S3*>(self));
  return s.ok() ? PyFloat_FromDouble((*s)(static_cast<int>(i), static_cast<int>(j))) : nullptr;
}

PyObject* symmetric3_repr(PyObject* self) {
  vb::Shared<PySymmetric3> s(reinterpret_cast<S3*>(self));
  if (!s.ok()) return nullptr;
  return vb::guard([&] { return new_string(s->repr()); });
}

template <Symmetric3 (*Op)(const Symmetric3&, const Symmetric3&)>
PyObject* symmetric3_binary(PyObject* a, PyObject* b) {
  S3* x = vb::cast<PySymmetric3>(a);
  S3* y = vb::cast<PySymmetric3>(b);
  if (!x || !y) Py_RETURN_NOTIMPLEMENTED;
  vb::Shared<PySymmetric3> l(x), r(y);
  if (!l.ok() || !r.ok()) return nullptr;
  return vb::wrap<PySymmetric3>(Op(*l, *r));
}
Symmetric3 s3_add(const Symmetric3& a, const Symmetric3& b) { return a + b; }
Symmetric3 s3_sub(const Symmetric3& a, const Symmetric3& b) { return a - b; }

// Reads `o` as a float. 1 when it is one, 0 when it is no number at all (no exception
// set), -1 with the exception kept when it is a number that does not fit a float.
int as_scalar(PyObject* o, double& out) {
  out = PyFloat_AsDouble(o);
  if (out != -1.0 || !PyErr_Occurred()) return 1;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
  PyErr_Clear();
  return 0;
}

// s * x with x a float or a Vector3D (tried in that order), and x * s with x a float.
PyObject* symmetric3_multiply(PyObject* a, PyObject* b) {
  S3* left = vb::cast<PySymmetric3>(a);
  S3* sym = left ? left : vb::cast<PySymmetric3>(b);
  PyObject* other = left ? b : a;
  double k = 0;
  const int scalar = as_scalar(other, k);
  if (scalar < 0) return nullptr;
  if (scalar > 0) {
    vb::Shared<PySymmetric3> s(sym);
    return s.ok() ? vb::wrap<PySymmetric3>(*s * k) : nullptr;
  }
  V3* v = left ? vb::cast<PyVector3D>(other) : nullptr;
  if (!v) Py_RETURN_NOTIMPLEMENTED;
  vb::Shared<PySymmetric3> s(sym);
  vb::Shared<PyVector3D> x(v);
  if (!s.ok() || !x.ok()) return nullptr;
  return vb::wrap<PyVector3D>(*s * *x);
}

PyMethodDef symmetric3_methods[] = {
    {"Zero", symmetric3_zero, METH_NOARGS | METH_STATIC, "Zero()\n--\n\n"},
    {"Identity", symmetric3_identity, METH_NOARGS | METH_STATIC, "Identity()\n--\n\n"},
    {"matrix", symmetric3_matrix, METH_NOARGS, "matrix($self)\n--\n\n"},
    {"to_numpy", symmetric3_matrix, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const char* const PySymmetric3::doc = "Symmetric3(m11, m22, m33, m12, m13, m23)\n--\n\n";

std::vector<PyType_Slot> PySymmetric3::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&symmetric3_new)},
          {Py_tp_methods, symmetric3_methods},
          {Py_tp_repr, reinterpret_cast<void*>(&symmetric3_repr)},
          {Py_mp_subscript, reinterpret_cast<void*>(&symmetric3_getitem)},
          {Py_nb_add, reinterpret_cast<void*>(&symmetric3_binary<s3_add>)},
          {Py_nb_subtract, reinterpret_cast<void*>(&symmetric3_binary<s3_sub>)},
          {Py_nb_multiply, reinterpret_cast<void*>(&symmetric3_multiply)}};
}

// ------------------------------------------------------------------------- registration

bool add_spatial(PyObject* m) {
  static PyModuleDef se3_module_def = {PyModuleDef_HEAD_INIT, "SE3", nullptr, -1, nullptr,
                                       nullptr, nullptr, nullptr, nullptr};
  Ref se3_module = Ref::steal(PyModule_Create(&se3_module_def));
  if (!se3_module || !vb::add_to_module(m, "SE3", Ref::borrow(se3_module.get()).release())) return false;
  // The class SE3 rebinds the attribute; the module object stays reachable through
  // sys.modules only.
  return vb::add_class<PySE3>(m) && vb::add_class<PyVector3D>(m) && vb::add_class<PyVector6D>(m) &&
         vb::add_class<PySymmetric3>(m) && add_to_sys_modules("velmora.SE3", se3_module.get());
}

}  // namespace velmora::py
