#include <cstring>
#include <string>

#include "binding/args.hpp"
#include "binding/object.hpp"

namespace vb {

PyTypeObject* make_type(const char* name, const char* doc, int basicsize, unsigned flags,
                        std::vector<PyType_Slot> slots) {
  if (doc) slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
  slots.push_back({0, nullptr});
  // Types carry their bare name and the module "builtins", as types made without a
  // module path do; spelling the module out avoids the interpreter's warning about a
  // missing __module__. The dotted name must outlive the type, which lives as long as
  // the process.
  const std::string* dotted = new std::string(std::string("builtins.") + name);
  PyType_Spec type_spec{dotted->c_str(), basicsize, 0, flags, slots.data()};
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  if (type) type->tp_name = name;  // messages name the class as users write it
  return type;
}

void raise_borrowed(PyObject* o, bool exclusive) {
  PyErr_Format(PyExc_RuntimeError, exclusive ? "Already borrowed: the %s object is in use by another call"
                                             : "Already mutably borrowed: the %s object is being changed",
               Py_TYPE(o)->tp_name);
}

PyObject* value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");  // new reference or null
  Ref all_ref = Ref::steal(all);
  if (!all_ref) {
    PyErr_Clear();
    all_ref = Ref::steal(PyList_New(0));
    if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) return false;
  }
  Ref py_name = Ref::steal(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all_ref.get(), py_name.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  Ref name = Ref::steal(PyUnicode_FromString("velmora"));
  if (!name) return false;
  return add_to_module(module, def->ml_name, PyCFunction_NewEx(def, nullptr, name.get()));
}

namespace {

bool too_many(const char* function, std::size_t n, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function, n,
               n == 1 ? "" : "s", given);
  return false;
}

// Places one keyword argument; false with TypeError when unknown or duplicated.
bool place_keyword(const char* function, const char* const* names, std::size_t n, PyObject* key,
                   PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", function,
                     names[i], i + 1);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function, key);
  return false;
}

bool check_required(const char* function, const char* const* names, std::size_t n, std::size_t required,
                    PyObject** out) {
  for (std::size_t i = 0; i < n; ++i) {
    if (i < required && !out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i], i + 1);
      return false;
    }
    if (i >= required && out[i] == Py_None) out[i] = nullptr;
  }
  return true;
}

}  // namespace

bool parse_fastcall(const char* function, const char* const* names, std::size_t n, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (static_cast<std::size_t>(nargs) > n) return too_many(function, n, nargs + nkw);
  for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (!place_keyword(function, names, n, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  return check_required(function, names, n, required, out);
}

bool parse_tuple(const char* function, const char* const* names, std::size_t n, std::size_t required,
                 PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > n)
    return too_many(function, n, nargs + (kwargs ? PyDict_GET_SIZE(kwargs) : 0));
  for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!place_keyword(function, names, n, key, value, out)) return false;
  }
  return check_required(function, names, n, required, out);
}

bool type_error(ArgName where, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", where.function, where.argument,
               expected, Py_TYPE(got)->tp_name);
  return false;
}

bool to_double(PyObject* o, ArgName where, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  out = PyFloat_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return type_error(where, "a float", o);
  }
  return true;
}

bool to_index(PyObject* o, ArgName where, std::size_t& out) {
  // Python ints, and integer objects that define __index__ (NumPy integers); floats and
  // other numbers are refused rather than truncated.
  Ref number;
  if (!PyLong_Check(o)) {
    if (!PyIndex_Check(o)) return type_error(where, "an int", o);
    number = Ref::steal(PyNumber_Index(o));
    if (!number) return false;
    o = number.get();
  }
  const std::size_t v = PyLong_AsSize_t(o);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    // Negative or too large: OverflowError, naming the argument.
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s': %R does not fit an unsigned index", where.function,
                 where.argument, o);
    return false;
  }
  out = v;
  return true;
}

bool to_string(PyObject* o, ArgName where, std::string& out) {
  if (!PyUnicode_Check(o)) return type_error(where, "str", o);
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) return false;  // a lone surrogate: UnicodeEncodeError (a ValueError)
  out.assign(s, static_cast<std::size_t>(len));
  return true;
}

bool to_bool(PyObject* o, ArgName where, bool& out) {
  if (!PyBool_Check(o)) return type_error(where, "bool", o);
  out = o == Py_True;
  return true;
}

}  // namespace vb
