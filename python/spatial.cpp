#include "spatial.hpp"

#include "binding/args.hpp"
#include "core/spatial/format.hpp"
#include "module.hpp"

namespace velmora::py {

using vb::Ref;

// ---------------------------------------------------------------------------- Vector3D

bool vector3d_from_array(PyObject* o, vb::ArgName where, Vector3D& out) {
  vb::ArrayView a;
  if (!vb::to_array(o, where, -1, a)) return false;
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

// ------------------------------------------------------------------------- registration

bool add_spatial(PyObject* m) {
  static PyModuleDef se3_module_def = {PyModuleDef_HEAD_INIT, "SE3", nullptr, -1, nullptr,
                                       nullptr, nullptr, nullptr, nullptr};
  Ref se3_module = Ref::steal(PyModule_Create(&se3_module_def));
  if (!se3_module || !vb::add_to_module(m, "SE3", Ref::borrow(se3_module.get()).release())) return false;
  // TODO(SE3, Vector6D, Symmetric3): registered in this order once they exist.
  return vb::add_class<PyVector3D>(m) && add_to_sys_modules("velmora.SE3", se3_module.get());
}

}  // namespace velmora::py
