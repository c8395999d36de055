#include "inertia.hpp"

#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "module.hpp"
#include "spatial.hpp"
#include "pickle.hpp"

namespace velmora::py {

namespace {

using Obj = vb::Object<PyInertia>;

PyObject* inertia_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"mass", "com", "inertia"};
  vb::Args<3> in;
  double mass = 0;
  vb::ArrayView com, inertia;
  // Every argument is converted before any shape or symmetry is checked.
  if (!vb::parse(in, "Inertia", names, args, kwargs) || !vb::to_double(in[0], {"Inertia", "mass"}, mass) ||
      !vb::to_array(in[1], {"Inertia", "com"}, -1, com) || !vb::to_array(in[2], {"Inertia", "inertia"}, -1, inertia))
    return nullptr;
  Inertia value;
  value.mass = mass;
  if (!vector3d_from_view(com, value.com) || !symmetric3_from_view(inertia, value.inertia)) return nullptr;
  return vb::wrap<PyInertia>(value);
}

PyObject* inertia_from_sphere(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"mass", "radius"};
  vb::Args<2> in;
  double mass = 0, radius = 0;
  if (!vb::parse(in, "FromSphere", names, args, nargs, kwnames) ||
      !vb::to_double(in[0], {"FromSphere", "mass"}, mass) || !vb::to_double(in[1], {"FromSphere", "radius"}, radius))
    return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto sphere = Inertia::from_ellipsoid(mass, radius, radius, radius);
    if (!sphere) return vb::value_error("Failed to create Inertia: " + sphere.error().debug());
    return vb::wrap<PyInertia>(*sphere);
  });
}

PyObject* inertia_zeros(PyObject*, PyObject*) { return vb::wrap<PyInertia>(Inertia::zeros()); }

PyObject* inertia_get_mass(PyObject* self, void*) {
  vb::Shared<PyInertia> i(reinterpret_cast<Obj*>(self));
  return i.ok() ? PyFloat_FromDouble(i->mass) : nullptr;
}

PyObject* inertia_get_com(PyObject* self, void*) {
  vb::Shared<PyInertia> i(reinterpret_cast<Obj*>(self));
  return i.ok() ? vector3d_to_array(i->com) : nullptr;
}

PyObject* inertia_get_inertia(PyObject* self, void*) {
  vb::Shared<PyInertia> i(reinterpret_cast<Obj*>(self));
  return i.ok() ? symmetric3_to_array(i->inertia) : nullptr;
}

PyObject* inertia_add(PyObject* a, PyObject* b) {
  Obj* x = vb::cast<PyInertia>(a);
  Obj* y = vb::cast<PyInertia>(b);
  if (!x || !y) Py_RETURN_NOTIMPLEMENTED;
  vb::Shared<PyInertia> l(x), r(y);
  if (!l.ok() || !r.ok()) return nullptr;
  return vb::wrap<PyInertia>(*l + *r);
}

PyObject* inertia_repr(PyObject* self) {
  vb::Shared<PyInertia> i(reinterpret_cast<Obj*>(self));
  if (!i.ok()) return nullptr;
  return vb::guard([&] {
    const std::string s = i->debug();
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyMethodDef inertia_methods[] = {
    reduce_method<PyInertia>(),
    {"FromSphere", vb::fn(inertia_from_sphere), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "FromSphere(mass, radius)\n--\n\nCreates a new inertia sphere with the given parameters.\n\n# Arguments\n\n"
     "* `mass` - The mass of the sphere.\n* `radius` - The radius of the sphere.\n\n# Returns\n"
     "A new [`Inertia`] object representing a sphere."},
    {"zeros", inertia_zeros, METH_NOARGS | METH_STATIC,
     "zeros()\n--\n\nCreates a new [`Inertia`] object with zero mass, zero center of mass, and zero inertia "
     "matrix.\n\n# Returns\nA new [`Inertia`] object with all properties set to zero."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef inertia_getset[] = {
    {"mass", inertia_get_mass, nullptr, "", nullptr},
    {"com", inertia_get_com, nullptr, "", nullptr},
    {"lever", inertia_get_com, nullptr,
     "Returns the lever (center of mass) of the inertia.\n\nThis is an alias for the `com` property.", nullptr},
    {"inertia", inertia_get_inertia, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const char* const PyInertia::doc = "Inertia(mass, com, inertia)\n--\n\nA Python wrapper for the [`Inertia`] struct.";

std::vector<PyType_Slot> PyInertia::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&inertia_new)},
          {Py_tp_methods, inertia_methods},
          {Py_tp_getset, inertia_getset},
          {Py_tp_repr, reinterpret_cast<void*>(&inertia_repr)},
          {Py_nb_add, reinterpret_cast<void*>(&inertia_add)}};
}

bool add_inertia(PyObject* m) { return vb::add_class<PyInertia>(m); }

}  // namespace velmora::py
