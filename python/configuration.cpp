#include "configuration.hpp"

#include "binding/arrays.hpp"
#include "module.hpp"
#include "pickle.hpp"

namespace velmora::py {

bool configuration_from_array(PyObject* o, vb::ArgName where, Configuration& out) {
  vb::ArrayView a;
  if (!vb::to_array(o, where, -1, a)) return false;
  return vb::guard([&] {
    std::vector<double> values(static_cast<std::size_t>(a.size()));
    if (!values.empty()) a.copy_flat(values.data());
    out = Configuration(std::move(values));
    return 1;
  }) == 1;
}

vb::Object<PyConfiguration>* configuration_result(std::size_t n) {
  vb::Object<PyConfiguration>* obj = vb::reuse<PyConfiguration>();
  if (!obj) return reinterpret_cast<vb::Object<PyConfiguration>*>(vb::wrap<PyConfiguration>(Configuration::zeros(n)));
  if (obj->value.len() == n) return obj;
  try {
    obj->value = Configuration::zeros(n);
  } catch (...) {
    Py_DECREF(obj);
    throw;
  }
  return obj;
}

namespace {

using Obj = vb::Object<PyConfiguration>;

PyObject* configuration_to_numpy(PyObject* self, PyObject*) {
  vb::Shared<PyConfiguration> c(reinterpret_cast<Obj*>(self));
  return c.ok() ? vb::new_array_1d(c->data(), c->len()) : nullptr;
}

PyObject* configuration_repr(PyObject* self) {
  vb::Shared<PyConfiguration> c(reinterpret_cast<Obj*>(self));
  if (!c.ok()) return nullptr;
  return vb::guard([&] {
    const std::string s = c->repr();
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

// Element-wise sum of two configurations; ValueError when their lengths differ.
PyObject* configuration_add(PyObject* a, PyObject* b) {
  Obj* x = vb::cast<PyConfiguration>(a);
  Obj* y = vb::cast<PyConfiguration>(b);
  if (!x || !y) Py_RETURN_NOTIMPLEMENTED;
  vb::Shared<PyConfiguration> l(x), r(y);
  if (!l.ok() || !r.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto sum = *l + *r;
    if (!sum) return vb::value_error(sum.error().display());
    return vb::wrap<PyConfiguration>(std::move(*sum));
  });
}

// Scaling by anything the interpreter converts to a float. Only the configuration on
// the left is supported: `2.0 * c` is left to the interpreter's TypeError.
PyObject* configuration_multiply(PyObject* a, PyObject* b) {
  Obj* x = vb::cast<PyConfiguration>(a);
  if (!x) Py_RETURN_NOTIMPLEMENTED;
  const double s = PyFloat_AsDouble(b);
  if (s == -1.0 && PyErr_Occurred()) {
    // Not a number at all: let the interpreter try the other operand. A number that
    // does not fit a float (a huge int) keeps its OverflowError, as in `1.0 * 10**400`.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NOTIMPLEMENTED;
  }
  vb::Shared<PyConfiguration> c(x);
  if (!c.ok()) return nullptr;
  return vb::guard([&] { return vb::wrap<PyConfiguration>(*c * s); });
}

PyMethodDef configuration_methods[] = {
    reduce_method<PyConfiguration>(),
    {"to_numpy", configuration_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const char* const PyConfiguration::doc = "Python wrapper for the `Configuration` struct.";

std::vector<PyType_Slot> PyConfiguration::slots() {
  return {{Py_tp_methods, configuration_methods},
          {Py_tp_repr, reinterpret_cast<void*>(&configuration_repr)},
          {Py_nb_add, reinterpret_cast<void*>(&configuration_add)},
          {Py_nb_multiply, reinterpret_cast<void*>(&configuration_multiply)}};
}

bool add_configuration(PyObject* m) { return vb::add_class<PyConfiguration>(m); }

}  // namespace velmora::py
