// Wrapper objects: one Python heap type per class, each instance holding its native
// value by value together with a borrow flag.
#pragma once

#include <cstdint>
#include <exception>
#include <iterator>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "binding/ref.hpp"

namespace vb {

// Layout of every wrapper instance. `borrow` is 0 when free, the number of readers when
// shared, -1 when exclusively borrowed.
template <class Cls>
struct Object {
  PyObject_HEAD
  std::int32_t borrow;
  typename Cls::Native value;
};

// The Python type of a class; made once per process by `type<Cls>()` from the slots and
// members that the class lists in `Cls::slots()` (a vector of PyType_Slot, without the
// terminating zero slot), its name `Cls::name` and its doc `Cls::doc` (may be null).
template <class Cls>
PyTypeObject*& type_slot() {
  static PyTypeObject* t = nullptr;
  return t;
}

// Classes that set `static constexpr int kept = N` keep up to N of the instances Python
// releases, value and all, for `reuse` to hand out again (as CPython keeps its floats):
// a result then skips the allocation of the object and, written in place, of its value's
// own memory. Only under the interpreter lock, which every caller holds.
template <class Cls>
constexpr int kept() {
  if constexpr (requires { Cls::kept; })
    return Cls::kept;
  else
    return 0;
}
template <class Cls>
struct Kept {
  PyObject* objects[kept<Cls>() > 0 ? kept<Cls>() : 1];
  int count = 0;
};
template <class Cls>
Kept<Cls>& kept_objects() {
  static Kept<Cls> k;
  return k;
}

template <class Cls>
void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if constexpr (kept<Cls>() > 0) {
    Kept<Cls>& k = kept_objects<Cls>();
    if (k.count < kept<Cls>()) {
      k.objects[k.count++] = self;
      Py_DECREF(tp);  // reuse takes a new reference
      return;
    }
  }
  using Native = typename Cls::Native;
  reinterpret_cast<Object<Cls>*>(self)->value.~Native();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyTypeObject* make_type(const char* name, const char* doc, int basicsize, unsigned flags,
                        std::vector<PyType_Slot> slots);

// Classes without a Python constructor set `static constexpr bool constructible = false`.
template <class Cls>
constexpr bool constructible() {
  if constexpr (requires { Cls::constructible; })
    return Cls::constructible;
  else
    return true;
}

// Returns the class's type, creating it on first use; null with an exception set when
// creation fails (it is tried again on the next use).
template <class Cls>
PyTypeObject* type() {
  PyTypeObject*& t = type_slot<Cls>();
  if (!t) {
    auto slots = Cls::slots();
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Cls>)});
    unsigned flags = Py_TPFLAGS_DEFAULT;
    if (!constructible<Cls>()) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t = make_type(Cls::name, Cls::doc, static_cast<int>(sizeof(Object<Cls>)), flags, std::move(slots));
    if constexpr (requires { Cls::init_type(t); }) {
      // Class attributes (enumeration values) are added once the type exists.
      if (t && !Cls::init_type(t)) t = nullptr;  // the half-made type stays alive
    }
  }
  return t;
}

// A kept instance of the class (see kept), alive again with one reference and its old
// value, which the caller overwrites; null when none is kept.
template <class Cls>
Object<Cls>* reuse() {
  if constexpr (kept<Cls>() > 0) {
    Kept<Cls>& k = kept_objects<Cls>();
    if (k.count == 0) return nullptr;
    PyTypeObject* tp = type_slot<Cls>();
    PyObject* self = PyObject_Init(k.objects[--k.count], tp);  // a reference to the type too
    auto* obj = reinterpret_cast<Object<Cls>*>(self);
    obj->borrow = 0;
    return obj;
  } else {
    return nullptr;
  }
}

// A new wrapper object holding `value` (moved in). Null with MemoryError on failure.
template <class Cls, class V>
PyObject* wrap(V&& value) {
  if (Object<Cls>* obj = reuse<Cls>()) {
    try {
      obj->value = std::forward<V>(value);
    } catch (...) {
      Py_DECREF(obj);
      throw;
    }
    return reinterpret_cast<PyObject*>(obj);
  }
  PyTypeObject* tp = type<Cls>();
  if (!tp) return nullptr;
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<Object<Cls>*>(self);
  obj->borrow = 0;
  try {
    new (&obj->value) typename Cls::Native(std::forward<V>(value));
  } catch (...) {
    // The value never existed: release the bare object, then let the caller's guard
    // turn the exception into a Python one.
    tp->tp_free(self);
    Py_DECREF(tp);
    throw;
  }
  return self;
}

// The wrapper object if `o` is exactly of the class's type, else null (no exception).
template <class Cls>
Object<Cls>* cast(PyObject* o) {
  PyTypeObject* tp = type_slot<Cls>();
  return (tp && Py_IS_TYPE(o, tp)) ? reinterpret_cast<Object<Cls>*>(o) : nullptr;
}

void raise_borrowed(PyObject* o, bool exclusive);

// Shared (read) borrow for the guard's lifetime; check `ok()` after construction.
template <class Cls>
class Shared {
 public:
  explicit Shared(Object<Cls>* o) : o_(o) {
    if (o_->borrow < 0) {
      raise_borrowed(reinterpret_cast<PyObject*>(o_), false);
      o_ = nullptr;
    } else {
      ++o_->borrow;
    }
  }
  ~Shared() {
    if (o_) --o_->borrow;
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  bool ok() const { return o_ != nullptr; }
  const typename Cls::Native& operator*() const { return o_->value; }
  const typename Cls::Native* operator->() const { return &o_->value; }

 private:
  Object<Cls>* o_;
};

// Exclusive (write) borrow for the guard's lifetime; check `ok()` after construction.
template <class Cls>
class Exclusive {
 public:
  explicit Exclusive(Object<Cls>* o) : o_(o) {
    if (o_->borrow != 0) {
      raise_borrowed(reinterpret_cast<PyObject*>(o_), true);
      o_ = nullptr;
    } else {
      o_->borrow = -1;
    }
  }
  ~Exclusive() {
    if (o_) o_->borrow = 0;
  }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
  bool ok() const { return o_ != nullptr; }
  typename Cls::Native& operator*() const { return o_->value; }
  typename Cls::Native* operator->() const { return &o_->value; }

 private:
  Object<Cls>* o_;
};

// The exception boundary: runs `body` (which returns a new reference or null with an
// exception set) and turns any C++ exception into a Python one.
template <class F>
auto guard(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
  }
  if constexpr (std::is_same_v<decltype(body()), int>)
    return -1;
  else
    return nullptr;
}

// Raises ValueError with `message` and returns null.
PyObject* value_error(const std::string& message);

// A new list with one new object per element of `items`, made by `make` (a new reference,
// or null with an exception set, which makes the whole call fail); inside the exception
// boundary, since making an element may allocate.
template <class Items, class Make>
PyObject* new_list(const Items& items, Make&& make) {
  return guard([&]() -> PyObject* {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
      PyObject* o = make(item);
      if (!o) return nullptr;
      PyList_SET_ITEM(list.get(), i++, o);
    }
    return list.release();
  });
}

// Binds `value` (stolen) as attribute `name` of `module` and appends the name to the
// module's __all__. Returns false with an exception set on failure.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

template <class Cls>
bool add_class(PyObject* module) {
  PyTypeObject* tp = type<Cls>();
  if (!tp) return false;
  Py_INCREF(tp);
  return add_to_module(module, Cls::name, reinterpret_cast<PyObject*>(tp));
}

// Module functions registered one by one (each keeps its own PyMethodDef alive).
bool add_function(PyObject* module, PyMethodDef* def);

// Casts a fastcall-with-keywords function to the PyCFunction slot type.
template <class F>
PyCFunction fn(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace vb
