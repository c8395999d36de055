// pickle and copy support: __reduce__ gives (velmora._restore, (bytes,)), the bytes being
// the value's versioned byte form (core/serialization), so every number travels exactly.
// A class joins by listing reduce_method<Cls>() in its method table (or, without a table
// of its own, reduce_methods<Cls>() as its Py_tp_methods).
#pragma once

#include "binding/ref.hpp"

namespace velmora::py {

// Defined in pickle.cpp for the classes that have a byte form.
template <class Cls>
PyObject* reduce(PyObject* self, PyObject*);

// For workspaces (Data, GeometryData): raises TypeError saying how to get one instead.
template <class Cls>
PyObject* refuse_reduce(PyObject* self, PyObject*);

inline constexpr const char* kReduceDoc = "__reduce__($self)\n--\n\nThe object in the byte form pickle and copy use.";

template <class Cls>
constexpr PyMethodDef reduce_method() {
  return {"__reduce__", &reduce<Cls>, METH_NOARGS, kReduceDoc};
}

template <class Cls>
PyMethodDef* reduce_methods() {
  static PyMethodDef defs[] = {reduce_method<Cls>(), {nullptr, nullptr, 0, nullptr}};
  return defs;
}

template <class Cls>
PyMethodDef* refuse_reduce_methods() {
  static PyMethodDef defs[] = {{"__reduce__", &refuse_reduce<Cls>, METH_NOARGS, kReduceDoc},
                               {nullptr, nullptr, 0, nullptr}};
  return defs;
}

// Adds velmora._restore (not listed in __all__), the function pickled objects name.
bool add_pickle_support(PyObject* m);

}  // namespace velmora::py
