// Python enumerations (JointType, FrameType, ShapeType): a class whose values are class
// attributes made once with the class, with int() and a "Class.Value" repr. No
// comparison beyond identity.
#pragma once

#include <array>
#include <string>

#include "binding/object.hpp"

namespace vb {

// `Cls::Native` is an enum with values 0..N-1; `Cls::members` names them in order.
template <class Cls>
struct Enum {
  static PyObject* repr(PyObject* self) {
    const auto v = static_cast<std::size_t>(reinterpret_cast<Object<Cls>*>(self)->value);
    return PyUnicode_FromFormat("%s.%s", Cls::name, Cls::members[v]);
  }
  static PyObject* to_int(PyObject* self) {
    return PyLong_FromLong(static_cast<long>(reinterpret_cast<Object<Cls>*>(self)->value));
  }
  static std::vector<PyType_Slot> slots() {
    return {{Py_tp_repr, reinterpret_cast<void*>(&repr)}, {Py_nb_int, reinterpret_cast<void*>(&to_int)}};
  }
  static bool init_type(PyTypeObject* t) {
    for (std::size_t i = 0; i < Cls::members.size(); ++i) {
      Ref value = Ref::steal(wrap<Cls>(static_cast<typename Cls::Native>(i)));
      if (!value || PyObject_SetAttrString(reinterpret_cast<PyObject*>(t), Cls::members[i], value.get()) < 0)
        return false;
    }
    return true;
  }
};

}  // namespace vb
