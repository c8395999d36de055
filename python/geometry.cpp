// Python classes GeometryObject, GeometryModel and GeometryData.
#include "geometry.hpp"

#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "core/collision/collision.hpp"
#include "model.hpp"
#include "module.hpp"
#include "spatial.hpp"
#include "pickle.hpp"

namespace velmora::py {

namespace {

using ObjectObj = vb::Object<PyGeometryObject>;
using ModelObj = vb::Object<PyGeometryModel>;
using DataObj = vb::Object<PyGeometryData>;

PyObject* new_string(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* new_index(std::size_t i) { return PyLong_FromSize_t(i); }

// -------------------------------------------------------------------- GeometryObject

PyObject* object_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyErr_SetString(PyExc_TypeError, "GeometryObject() takes no keyword arguments");
    return nullptr;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n != 5) {
    PyErr_Format(PyExc_ValueError,
                 "incorrect number of arguments, expected 5, but got %zd. Signature: GeometryObject(name, "
                 "parent_joint, parent_frame, geometry, placement)",
                 n);
    return nullptr;
  }
  return vb::guard([&]() -> PyObject* {
    std::string name;
    std::size_t parent_joint = 0, parent_frame = 0;
    if (!vb::to_string(PyTuple_GET_ITEM(args, 0), {"GeometryObject", "name"}, name) ||
        !vb::to_index(PyTuple_GET_ITEM(args, 1), {"GeometryObject", "parent_joint"}, parent_joint) ||
        !vb::to_index(PyTuple_GET_ITEM(args, 2), {"GeometryObject", "parent_frame"}, parent_frame))
      return nullptr;
    PyObject* geometry = PyTuple_GET_ITEM(args, 3);
    bool failed = false;
    std::unique_ptr<Shape> shape = clone_primitive_shape(geometry, failed);
    if (failed) return nullptr;
    if (!shape) {
      vb::Ref text = vb::Ref::steal(PyObject_Repr(geometry));
      if (!text) return nullptr;
      PyErr_Format(PyExc_ValueError, "expected a shape for 'geometry', but got %U.", text.get());
      return nullptr;
    }
    vb::Object<PySE3>* placement_obj = nullptr;
    if (!vb::to_object<PySE3>(PyTuple_GET_ITEM(args, 4), {"GeometryObject", "placement"}, placement_obj))
      return nullptr;
    vb::Shared<PySE3> placement(placement_obj);
    if (!placement.ok()) return nullptr;
    return vb::wrap<PyGeometryObject>(
        GeometryObject(std::move(name), parent_joint, parent_frame, std::move(shape), *placement));
  });
}

// Reads a field of the object through a shared borrow; `read` returns a new reference.
template <class F>
PyObject* read_object(PyObject* self, F&& read) {
  vb::Shared<PyGeometryObject> o(reinterpret_cast<ObjectObj*>(self));
  if (!o.ok()) return nullptr;
  return vb::guard([&] { return read(*o); });
}

PyObject* object_get_name(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) { return new_string(o.name); });
}

PyObject* object_get_geometry(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) -> PyObject* {
    if (!o.geometry) return vb::value_error("The geometry object has no shape");
    return vb::wrap<PyShapeWrapper>(o.geometry->clone_box());
  });
}

PyObject* object_get_placement(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) { return vb::wrap<PySE3>(o.placement); });
}

PyObject* object_get_parent_joint(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) { return new_index(o.parent_joint); });
}

PyObject* object_get_parent_frame(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) { return new_index(o.parent_frame); });
}

PyObject* object_get_disable_collision(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) { return PyBool_FromLong(o.disable_collision); });
}

PyObject* object_get_mesh_color(PyObject* self, void*) {
  return read_object(self, [](const GeometryObject& o) { return vb::new_array_1d(o.mesh_color.as_slice(), 4); });
}

// The whole value is checked before the colour changes: a refused value leaves it as it was.
int object_set_mesh_color(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  vb::ArrayView v;
  if (!vb::to_array(value, {"GeometryObject.mesh_color", "color"}, -1, v)) return -1;
  if (v.size() != 4) {
    PyErr_Format(PyExc_ValueError, "expected a NumPy array of length 4 for 'color', but got %zd.", v.size());
    return -1;
  }
  // Four elements in several dimensions (shape (2, 2), (1, 4)) have no one obvious
  // order as r, g, b, a: refused rather than guessed.
  if (v.ndim != 1) {
    vb::guard([&] {
      return vb::value_error("expected a one-dimensional NumPy array for 'color', but got shape " + v.shape_text() +
                             ".");
    });
    return -1;
  }
  vb::Exclusive<PyGeometryObject> o(reinterpret_cast<ObjectObj*>(self));
  if (!o.ok()) return -1;
  o->mesh_color.rgba = {v.at(0), v.at(1), v.at(2), v.at(3)};
  return 0;
}

PyObject* object_repr(PyObject* self) {
  return read_object(self, [](const GeometryObject& o) { return new_string(o.debug(true)); });
}

PyGetSetDef object_getset[] = {
    {"name", object_get_name, nullptr, nullptr, nullptr},
    {"geometry", object_get_geometry, nullptr, nullptr, nullptr},
    {"placement", object_get_placement, nullptr, nullptr, nullptr},
    {"parent_joint", object_get_parent_joint, nullptr, nullptr, nullptr},
    {"parent_frame", object_get_parent_frame, nullptr, nullptr, nullptr},
    {"disable_collision", object_get_disable_collision, nullptr, nullptr, nullptr},
    {"mesh_color", object_get_mesh_color, object_set_mesh_color, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --------------------------------------------------------------------- GeometryModel

PyObject* model_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t n = PyTuple_GET_SIZE(args) + (kwargs ? PyDict_GET_SIZE(kwargs) : 0);
  if (n > 0) {
    PyErr_Format(PyExc_TypeError, "GeometryModel() takes no arguments (%zd given)", n);
    return nullptr;
  }
  return vb::wrap<PyGeometryModel>(GeometryModel{});
}

template <class F>
PyObject* read_model(PyObject* self, F&& read) {
  vb::Shared<PyGeometryModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return nullptr;
  return vb::guard([&] { return read(*m); });
}

PyObject* model_add_geometry_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"object"};
  vb::Args<1> in;
  ObjectObj* object_obj = nullptr;
  if (!vb::parse(in, "add_geometry_object", names, args, nargs, kwnames) ||
      !vb::to_object<PyGeometryObject>(in[0], {"add_geometry_object", "object"}, object_obj))
    return nullptr;
  vb::Exclusive<PyGeometryModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return nullptr;
  vb::Shared<PyGeometryObject> object(object_obj);
  if (!object.ok()) return nullptr;
  return vb::guard([&] {
    // The model keeps its own copy: later changes to the Python object do not reach it.
    GeometryObject copy = *object;
    return new_index(m->add_geometry_object(std::move(copy)));
  });
}

PyObject* model_get_geometry_objects(PyObject* self, void*) {
  return read_model(self, [](const GeometryModel& m) -> PyObject* {
    vb::Ref list = vb::Ref::steal(PyList_New(static_cast<Py_ssize_t>(m.objects.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < m.objects.size(); ++k) {
      GeometryObject copy = m.objects[k];
      PyObject* item = vb::wrap<PyGeometryObject>(std::move(copy));
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyObject* model_get_ngeoms(PyObject* self, void*) {
  return read_model(self, [](const GeometryModel& m) { return new_index(m.objects.size()); });
}

PyObject* model_get_geometry_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  vb::Args<1> in;
  std::string name;
  if (!vb::parse(in, "get_geometry_id", names, args, nargs, kwnames) ||
      !vb::to_string(in[0], {"get_geometry_id", "name"}, name))
    return nullptr;
  return read_model(self, [&](const GeometryModel& m) -> PyObject* {
    const auto id = m.get_geometry_id(name);
    if (!id) Py_RETURN_NONE;
    return new_index(*id);
  });
}

// A new GeometryData wrapper, or ValueError naming the object whose joint has no placement.
PyObject* new_geometry_data(const Data& data, const GeometryModel& model) {
  auto created = GeometryData::create(data, model);
  if (!created) return vb::value_error(created.error().message);
  return vb::wrap<PyGeometryData>(std::move(*created));
}

PyObject* model_create_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  vb::Args<1> in;
  vb::Object<PyData>* data_obj = nullptr;
  if (!vb::parse(in, "create_data", names, args, nargs, kwnames) ||
      !vb::to_object<PyData>(in[0], {"create_data", "data"}, data_obj))
    return nullptr;
  vb::Shared<PyData> data(data_obj);
  if (!data.ok()) return nullptr;
  return read_model(self, [&](const GeometryModel& m) { return new_geometry_data(*data, m); });
}

// ------------------------------------------------- meshes and collision pairs

PyObject* model_load_meshes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"convex"};
  vb::Args<1> in;
  bool convex = false;
  if (!vb::parse(in, "load_meshes", names, args, nargs, kwnames, 0) ||
      (in[0] && !vb::to_bool(in[0], {"load_meshes", "convex"}, convex)))
    return nullptr;
  return read_model(self, [&](const GeometryModel& m) -> PyObject* {
    if (auto ok = velmora::load_meshes(m, convex); !ok) return vb::value_error(ok.error().message);
    Py_RETURN_NONE;
  });
}

// Reads the (i, j) arguments of add_collision_pair and remove_collision_pair.
bool to_pair(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::size_t& i,
             std::size_t& j) {
  static const char* const names[] = {"i", "j"};
  vb::Args<2> in;
  return vb::parse(in, function, names, args, nargs, kwnames) && vb::to_index(in[0], {function, "i"}, i) &&
         vb::to_index(in[1], {function, "j"}, j);
}

template <class F>
PyObject* change_model(PyObject* self, F&& change) {
  vb::Exclusive<PyGeometryModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    if (auto ok = change(*m); !ok) return vb::value_error(ok.error().message);
    Py_RETURN_NONE;
  });
}

PyObject* model_add_collision_pair(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::size_t i = 0, j = 0;
  if (!to_pair("add_collision_pair", args, nargs, kwnames, i, j)) return nullptr;
  return change_model(self, [&](GeometryModel& m) { return m.add_collision_pair(i, j); });
}

PyObject* model_remove_collision_pair(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::size_t i = 0, j = 0;
  if (!to_pair("remove_collision_pair", args, nargs, kwnames, i, j)) return nullptr;
  return change_model(self, [&](GeometryModel& m) { return m.remove_collision_pair(i, j); });
}

// The optional kinematic model argument of add_all_collision_pairs and
// remove_collision_pairs_from_srdf: null when not given.
bool to_optional_model(PyObject* o, const char* function, vb::Object<PyModel>*& out) {
  out = nullptr;
  return !o || vb::to_object<PyModel>(o, {function, "model"}, out);
}

PyObject* model_add_all_collision_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const char* const names[] = {"model"};
  vb::Args<1> in;
  vb::Object<PyModel>* model_obj = nullptr;
  if (!vb::parse(in, "add_all_collision_pairs", names, args, nargs, kwnames, 0) ||
      !to_optional_model(in[0], "add_all_collision_pairs", model_obj))
    return nullptr;
  if (!model_obj)
    return change_model(self, [&](GeometryModel& m) { return m.add_all_collision_pairs(); });
  vb::Shared<PyModel> model(model_obj);
  if (!model.ok()) return nullptr;
  return change_model(self, [&](GeometryModel& m) { return m.add_all_collision_pairs(&model->joint_parents); });
}

PyObject* model_remove_collision_pairs_from_srdf(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
  static const char* const names[] = {"path", "model"};
  vb::Args<2> in;
  std::string path;
  vb::Object<PyModel>* model_obj = nullptr;
  if (!vb::parse(in, "remove_collision_pairs_from_srdf", names, args, nargs, kwnames, 1) ||
      !vb::to_string(in[0], {"remove_collision_pairs_from_srdf", "path"}, path) ||
      !to_optional_model(in[1], "remove_collision_pairs_from_srdf", model_obj))
    return nullptr;
  std::optional<vb::Shared<PyModel>> model;
  if (model_obj && !model.emplace(model_obj).ok()) return nullptr;
  vb::Exclusive<PyGeometryModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    // Links are body frames; a joint may carry the same name as a link.
    std::vector<std::string> frame_names;
    if (model)
      for (const Frame& f : (*model)->frames) frame_names.push_back(f.frame_type == FrameType::Body ? f.name : "");
    auto outcome = velmora::remove_collision_pairs_from_srdf(*m, path, model ? &frame_names : nullptr);
    if (!outcome) return vb::value_error(outcome.error().message);
    if (!outcome->unknown_links.empty()) {
      std::string text = "SRDF file " + fmt::quoted(path) + " names links the model does not have: ";
      for (std::size_t k = 0; k < outcome->unknown_links.size(); ++k)
        text += (k ? ", " : "") + fmt::quoted(outcome->unknown_links[k]);
      if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0) return nullptr;
    }
    return PyLong_FromSize_t(outcome->removed);
  });
}

PyObject* model_get_collision_pairs(PyObject* self, void*) {
  return read_model(self, [](const GeometryModel& m) -> PyObject* {
    vb::Ref list = vb::Ref::steal(PyList_New(static_cast<Py_ssize_t>(m.collision_pairs.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < m.collision_pairs.size(); ++k) {
      const CollisionPair& p = m.collision_pairs[k];
      PyObject* item = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(p.first), static_cast<Py_ssize_t>(p.second));
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyObject* model_repr(PyObject* self) {
  return read_model(self, [](const GeometryModel& m) { return new_string(m.debug(true)); });
}

PyMethodDef model_methods[] = {
    reduce_method<PyGeometryModel>(),
    {"add_geometry_object", vb::fn(model_add_geometry_object), METH_FASTCALL | METH_KEYWORDS,
     "add_geometry_object($self, object)\n--\n\nAdds a new geometry model to the list of models.\n\n# Arguments\n\n"
     "* `object` - The geometry object to be added to the model.\n\n# Returns\n\nThe index of the added geometry "
     "object."},
    {"get_geometry_id", vb::fn(model_get_geometry_id), METH_FASTCALL | METH_KEYWORDS,
     "get_geometry_id($self, name)\n--\n\nReturns the ID of the geometry object with the given name, if it exists."},
    {"create_data", vb::fn(model_create_data), METH_FASTCALL | METH_KEYWORDS,
     "create_data($self, data)\n--\n\nCreates a new `GeometryData` object based on the provided model and data.\n\n"
     "# Arguments\n\n* `data` - The data to be used for creating the geometry data.\n# Returns\n\nA `GeometryData` "
     "object containing the geometry data for the model."},
    {"load_meshes", vb::fn(model_load_meshes), METH_FASTCALL | METH_KEYWORDS,
     "load_meshes($self, convex=False)\n--\n\nReads every mesh file now (otherwise the first collision or distance "
     "query does), as triangle sets or, with `convex`, as their convex hulls. Objects naming the same file and "
     "scale share one mesh. ValueError naming the file and the object when a file cannot be read or holds no "
     "triangle."},
    {"add_collision_pair", vb::fn(model_add_collision_pair), METH_FASTCALL | METH_KEYWORDS,
     "add_collision_pair($self, i, j)\n--\n\nAdds the pair of objects i and j (in either order) to the collision "
     "pairs; a pair already there stays once."},
    {"remove_collision_pair", vb::fn(model_remove_collision_pair), METH_FASTCALL | METH_KEYWORDS,
     "remove_collision_pair($self, i, j)\n--\n\nRemoves the pair of objects i and j; ValueError when it is not "
     "listed."},
    {"add_all_collision_pairs", vb::fn(model_add_all_collision_pairs), METH_FASTCALL | METH_KEYWORDS,
     "add_all_collision_pairs($self, model=None)\n--\n\nAdds every pair of objects on different joints, except "
     "pairs whose joints are parent and child and objects with `disable_collision`. The joints' parents come from "
     "`model` or, for a geometry model loaded from a URDF, from the loader."},
    {"remove_collision_pairs_from_srdf", vb::fn(model_remove_collision_pairs_from_srdf),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_collision_pairs_from_srdf($self, path, model=None)\n--\n\nRemoves the pairs between the links of "
     "each <disable_collisions link1 link2> entry of an SRDF file; returns how many were removed. Link names the "
     "model does not have are reported in one UserWarning."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef model_getset[] = {
    {"collision_pairs", model_get_collision_pairs, nullptr, "The collision pairs, a list of (i, j) with i < j.",
     nullptr},
    {"geometry_objects", model_get_geometry_objects, nullptr, "Returns the list of geometry objects in the model.",
     nullptr},
    {"ngeoms", model_get_ngeoms, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---------------------------------------------------------------------- GeometryData

// Converts the (data, geom_model) arguments of the constructor and of update_geometry_data.
struct DataAndModel {
  vb::Object<PyData>* data = nullptr;
  ModelObj* model = nullptr;
};

bool to_data_and_model(PyObject* data, PyObject* model, const char* function, DataAndModel& out) {
  return vb::to_object<PyData>(data, {function, "data"}, out.data) &&
         vb::to_object<PyGeometryModel>(model, {function, "geom_model"}, out.model);
}

PyObject* data_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"data", "geom_model"};
  vb::Args<2> in;
  DataAndModel a;
  if (!vb::parse(in, "GeometryData", names, args, kwargs) || !to_data_and_model(in[0], in[1], "GeometryData", a))
    return nullptr;
  vb::Shared<PyData> data(a.data);
  vb::Shared<PyGeometryModel> model(a.model);
  if (!data.ok() || !model.ok()) return nullptr;
  return vb::guard([&] { return new_geometry_data(*data, *model); });
}

PyObject* data_get_object_placement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"object_index"};
  vb::Args<1> in;
  std::size_t index = 0;
  if (!vb::parse(in, "get_object_placement", names, args, nargs, kwnames) ||
      !vb::to_index(in[0], {"get_object_placement", "object_index"}, index))
    return nullptr;
  vb::Shared<PyGeometryData> d(reinterpret_cast<DataObj*>(self));
  if (!d.ok()) return nullptr;
  const auto placement = d->get_object_placement(index);
  if (!placement) {
    PyErr_Format(PyExc_KeyError, "Object with index %zu not found", index);
    return nullptr;
  }
  return vb::wrap<PySE3>(*placement);
}

PyObject* data_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data", "geom_model"};
  vb::Args<2> in;
  DataAndModel a;
  if (!vb::parse(in, "update_geometry_data", names, args, nargs, kwnames) ||
      !to_data_and_model(in[0], in[1], "update_geometry_data", a))
    return nullptr;
  vb::Exclusive<PyGeometryData> d(reinterpret_cast<DataObj*>(self));
  if (!d.ok()) return nullptr;
  vb::Shared<PyData> data(a.data);
  vb::Shared<PyGeometryModel> model(a.model);
  if (!data.ok() || !model.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    if (auto ok = d->update(*data, *model); !ok) return vb::value_error(ok.error().message);
    Py_RETURN_NONE;
  });
}

PyMethodDef data_methods[] = {
    {"__reduce__", &refuse_reduce<PyGeometryData>, METH_NOARGS, kReduceDoc},
    {"get_object_placement", vb::fn(data_get_object_placement), METH_FASTCALL | METH_KEYWORDS,
     "get_object_placement($self, object_index)\n--\n\nReturns the placement of the object of given index in the "
     "world frame.\n\n# Arguments\n\n* `object_index` - The index of the object.\n\n# Returns\nThe object placement "
     "if it exists, otherwise `None`."},
    {"update_geometry_data", vb::fn(data_update), METH_FASTCALL | METH_KEYWORDS,
     "update_geometry_data($self, data, geom_model)\n--\n\nUpdates the geometry data using the updated model data and "
     "geometry model.\n\n# Arguments\n\n* `data` - The model data object.\n* `geom_model` - The geometry model "
     "object."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const char* const PyGeometryObject::doc =
    "GeometryObject(*py_args)\n--\n\nA Python wrapper for the `GeometryObject` struct.";
const char* const PyGeometryModel::doc = "GeometryModel()\n--\n\nA Python wrapper for the [`GeometryModel`] struct.";
const char* const PyGeometryData::doc =
    "GeometryData(data, geom_model)\n--\n\nA Python wrapper for the `GeometryData` struct.";

std::vector<PyType_Slot> PyGeometryObject::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&object_new)},
          {Py_tp_getset, object_getset},
          {Py_tp_methods, reduce_methods<PyGeometryObject>()},
          {Py_tp_repr, reinterpret_cast<void*>(&object_repr)}};
}

std::vector<PyType_Slot> PyGeometryModel::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&model_new)},
          {Py_tp_methods, model_methods},
          {Py_tp_getset, model_getset},
          {Py_tp_repr, reinterpret_cast<void*>(&model_repr)}};
}

std::vector<PyType_Slot> PyGeometryData::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&data_new)}, {Py_tp_methods, data_methods}};
}

bool add_geometry_classes(PyObject* m) {
  return vb::add_class<PyGeometryModel>(m) && vb::add_class<PyGeometryData>(m) && vb::add_class<PyGeometryObject>(m);
}

}  // namespace velmora::py
