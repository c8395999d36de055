// pickle and copy for Model, GeometryModel, GeometryObject, Inertia, SE3, Frame,
// Configuration and the shapes: __reduce__ returns (velmora._restore, (bytes,)), and
// _restore makes the object again from the bytes. The bytes carry a format version; a
// version this build does not know is refused with ValueError.
#include "pickle.hpp"

#include <string>
#include <type_traits>
#include <variant>

#include "configuration.hpp"
#include "core/serialization/serialization.hpp"
#include "geometry.hpp"
#include "inertia.hpp"
#include "model.hpp"
#include "spatial.hpp"

namespace velmora::py {

namespace {

// velmora._restore, kept for __reduce__ (the module keeps it alive as well).
PyObject* restore_function = nullptr;

// Wraps a shape read from bytes in its Python class.
PyObject* wrap_shape(const Shape& shape) {
  switch (shape.get_shape_type()) {
    case ShapeType::Sphere: return vb::wrap<PySphere>(static_cast<const Sphere&>(shape));
    case ShapeType::Cuboid: return vb::wrap<PyCuboid>(static_cast<const Cuboid&>(shape));
    case ShapeType::Cylinder: return vb::wrap<PyCylinder>(static_cast<const Cylinder&>(shape));
    case ShapeType::Cone: return vb::wrap<PyCone>(static_cast<const Cone&>(shape));
    case ShapeType::Capsule: return vb::wrap<PyCapsule>(static_cast<const Capsule&>(shape));
    case ShapeType::Mesh: return vb::wrap<PyMesh>(static_cast<const Mesh&>(shape));
  }
  PyErr_SetString(PyExc_ValueError, "The bytes describe a shape of an unknown kind");
  return nullptr;
}

PyObject* restore(PyObject*, PyObject* arg) {
  if (!PyBytes_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "_restore() argument must be bytes, not %.200s", Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  const std::string_view bytes(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
  return vb::guard([&]() -> PyObject* {
    auto value = serial::decode(bytes);
    if (!value) return vb::value_error("Cannot restore a velmora object: " + value.error());
    return std::visit(
        [](auto&& v) -> PyObject* {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, Model>) return vb::wrap<PyModel>(std::move(v));
          else if constexpr (std::is_same_v<V, GeometryModel>) return vb::wrap<PyGeometryModel>(std::move(v));
          else if constexpr (std::is_same_v<V, GeometryObject>) return vb::wrap<PyGeometryObject>(std::move(v));
          else if constexpr (std::is_same_v<V, Inertia>) return vb::wrap<PyInertia>(v);
          else if constexpr (std::is_same_v<V, SE3>) return vb::wrap<PySE3>(v);
          else if constexpr (std::is_same_v<V, Frame>) return vb::wrap<PyFrame>(std::move(v));
          else if constexpr (std::is_same_v<V, Configuration>) return vb::wrap<PyConfiguration>(std::move(v));
          else return v ? wrap_shape(*v) : vb::value_error("Cannot restore a velmora object: no shape");
        },
        std::move(*value));
  });
}

PyMethodDef restore_def = {"_restore", restore, METH_O,
                           "_restore(data, /)\n--\n\nMakes a velmora object again from its pickled bytes."};

}  // namespace

template <class Cls>
PyObject* reduce(PyObject* self, PyObject*) {
  vb::Shared<Cls> value(reinterpret_cast<vb::Object<Cls>*>(self));
  if (!value.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto bytes = serial::encode(*value);
    if (!bytes) {
      PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object: %s", Cls::name, bytes.error().c_str());
      return nullptr;
    }
    return Py_BuildValue("(O(y#))", restore_function, bytes->data(), static_cast<Py_ssize_t>(bytes->size()));
  });
}

template <class Cls>
PyObject* refuse_reduce(PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError,
               "cannot pickle or copy '%s' object: it is a workspace tied to one model object; make a new one "
               "where it is needed (model.create_data(), geometry_model.create_data(data))",
               Cls::name);
  return nullptr;
}

template PyObject* reduce<PyModel>(PyObject*, PyObject*);
template PyObject* reduce<PyGeometryModel>(PyObject*, PyObject*);
template PyObject* reduce<PyGeometryObject>(PyObject*, PyObject*);
template PyObject* reduce<PyInertia>(PyObject*, PyObject*);
template PyObject* reduce<PySE3>(PyObject*, PyObject*);
template PyObject* reduce<PyFrame>(PyObject*, PyObject*);
template PyObject* reduce<PyConfiguration>(PyObject*, PyObject*);
template PyObject* reduce<PySphere>(PyObject*, PyObject*);
template PyObject* reduce<PyCuboid>(PyObject*, PyObject*);
template PyObject* reduce<PyCylinder>(PyObject*, PyObject*);
template PyObject* reduce<PyCone>(PyObject*, PyObject*);
template PyObject* reduce<PyCapsule>(PyObject*, PyObject*);
template PyObject* reduce<PyMesh>(PyObject*, PyObject*);
template PyObject* refuse_reduce<PyData>(PyObject*, PyObject*);
template PyObject* refuse_reduce<PyGeometryData>(PyObject*, PyObject*);

bool add_pickle_support(PyObject* m) {
  vb::Ref name = vb::Ref::steal(PyUnicode_FromString("velmora"));
  if (!name) return false;
  vb::Ref fn = vb::Ref::steal(PyCFunction_NewEx(&restore_def, nullptr, name.get()));
  if (!fn || PyModule_AddObjectRef(m, "_restore", fn.get()) < 0) return false;
  restore_function = fn.release();  // one reference kept here for the process's lifetime
  return true;
}

}  // namespace velmora::py
