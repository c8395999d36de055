#include "model.hpp"

#include <cmath>
#include <cstdint>

#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "configuration.hpp"
#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/kinematics_quantities.hpp"
#include "inertia.hpp"
#include "joint.hpp"
#include "module.hpp"
#include "spatial.hpp"
#include "pickle.hpp"

namespace velmora::py {

using vb::Ref;

bool check_data_fits(const Model& model, const Data& data) {
  if (data_fits_model(model, data)) return true;
  vb::guard([&] { return vb::value_error(data_mismatch(model, data).value_or("The data does not fit the model.")); });
  return false;
}

namespace {

using ModelObj = vb::Object<PyModel>;
using DataObj = vb::Object<PyData>;
using FrameObj = vb::Object<PyFrame>;

PyObject* new_string(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A new list with one new object per element, made by `make` (null on failure).
template <class Items, class Make>
PyObject* new_list(const Items& items, Make&& make) {
  return vb::guard([&]() -> PyObject* {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
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

PyObject* placements_list(const std::vector<SE3>& placements) {
  return new_list(placements, [](const SE3& p) { return vb::wrap<PySE3>(p); });
}

int refuse_delete(const char* attribute, const char* type) {
  PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s' of '%s' objects", attribute, type);
  return -1;
}

// --------------------------------------------------------------------------------- Model

PyObject* model_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Model() takes no arguments");
    return nullptr;
  }
  return vb::guard([] { return vb::wrap<PyModel>(Model()); });
}

PyObject* model_get_name(PyObject* self, void*) {
  vb::Shared<PyModel> m(reinterpret_cast<ModelObj*>(self));
  return m.ok() ? new_string(m->name) : nullptr;
}

int model_set_name(PyObject* self, PyObject* value, void*) {
  if (!value) return refuse_delete("name", "Model");
  std::string name;
  if (!vb::to_string(value, {"Model.name", "name"}, name)) return -1;
  vb::Exclusive<PyModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return -1;
  m->name = std::move(name);
  return 0;
}

template <class F>
PyObject* with_model(PyObject* self, F&& f) {
  vb::Shared<PyModel> m(reinterpret_cast<ModelObj*>(self));
  return m.ok() ? f(*m) : nullptr;
}

PyObject* model_get_nq(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return PyLong_FromSize_t(m.nq); });
}
PyObject* model_get_nv(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return PyLong_FromSize_t(m.nv); });
}
PyObject* model_get_njoints(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return PyLong_FromSize_t(m.njoints()); });
}
PyObject* model_get_nframes(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return PyLong_FromSize_t(m.nframes()); });
}
PyObject* model_get_gravity(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return vector3d_to_array(m.gravity); });
}
// Gravity from a Vector3D or a float64 array of shape (3,); anything else, or a non-finite
// component, raises and leaves the model as it was.
int model_set_gravity(PyObject* self, PyObject* value, void*) {
  if (!value) return refuse_delete("gravity", "Model");
  Vector3D g;
  if (auto* v = vb::cast<PyVector3D>(value)) {
    vb::Shared<PyVector3D> given(v);
    if (!given.ok()) return -1;
    g = *given;
  } else if (!vector3d_from_array(value, {"Model.gravity", "gravity"}, g)) {
    return -1;
  }
  if (!std::isfinite(g.x) || !std::isfinite(g.y) || !std::isfinite(g.z)) {
    vb::value_error("Gravity must have three finite components.");
    return -1;
  }
  vb::Exclusive<PyModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return -1;
  m->gravity = g;
  return 0;
}
PyObject* model_get_joint_names(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return new_list(m.joint_names, new_string); });
}
PyObject* model_get_joint_parents(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return new_list(m.joint_parents, PyLong_FromSize_t); });
}
PyObject* model_get_joint_placements(PyObject* self, void*) {
  return with_model(self, [](const Model& m) { return placements_list(m.joint_placements); });
}
PyObject* model_get_joint_models(PyObject* self, void*) {
  return with_model(self, [](const Model& m) {
    return new_list(m.joint_models, [](const auto& j) { return vb::wrap<PyJointWrapper>(j->clone_box()); });
  });
}
PyObject* model_get_inertias(PyObject* self, void*) {
  return with_model(self, [](const Model& m) {
    return new_list(m.inertias, [](const Inertia& i) { return vb::wrap<PyInertia>(i); });
  });
}
PyObject* model_get_frames(PyObject* self, void*) {
  return with_model(self, [](const Model& m) {
    return new_list(m.frames, [](const Frame& f) { return vb::wrap<PyFrame>(f); });
  });
}

PyObject* model_add_joint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"parent_id", "joint_model", "placement", "name"};
  vb::Args<4> in;
  std::size_t parent_id = 0;
  vb::Object<PyJointWrapper>* joint = nullptr;
  vb::Object<PySE3>* placement = nullptr;
  std::string name;
  if (!vb::parse(in, "add_joint", names, args, nargs, kwnames) ||
      !vb::to_index(in[0], {"add_joint", "parent_id"}, parent_id) ||
      !vb::to_object(in[1], {"add_joint", "joint_model"}, joint) ||
      !vb::to_object(in[2], {"add_joint", "placement"}, placement) || !vb::to_string(in[3], {"add_joint", "name"}, name))
    return nullptr;
  vb::Exclusive<PyModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return nullptr;
  vb::Shared<PyJointWrapper> j(joint);
  vb::Shared<PySE3> p(placement);
  if (!j.ok() || !p.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto id = m->add_joint(parent_id, (*j)->clone_box(), *p, std::move(name));
    if (!id) return vb::value_error(id.error().debug());
    return PyLong_FromSize_t(*id);
  });
}

PyObject* model_get_joint_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  vb::Args<1> in;
  std::string name;
  if (!vb::parse(in, "get_joint_id", names, args, nargs, kwnames) || !vb::to_string(in[0], {"get_joint_id", "name"}, name))
    return nullptr;
  return with_model(self, [&](const Model& m) -> PyObject* {
    const auto id = m.get_joint_id(name);
    if (!id) Py_RETURN_NONE;
    return PyLong_FromSize_t(*id);
  });
}

PyObject* model_create_data(PyObject* self, PyObject*) {
  return with_model(self, [](const Model& m) { return vb::guard([&] { return vb::wrap<PyData>(m.create_data()); }); });
}

PyObject* model_add_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"frame", "append_inertia"};
  vb::Args<2> in;
  FrameObj* frame = nullptr;
  bool append_inertia = false;
  if (!vb::parse(in, "add_frame", names, args, nargs, kwnames) || !vb::to_object(in[0], {"add_frame", "frame"}, frame) ||
      !vb::to_bool(in[1], {"add_frame", "append_inertia"}, append_inertia))
    return nullptr;
  vb::Exclusive<PyModel> m(reinterpret_cast<ModelObj*>(self));
  if (!m.ok()) return nullptr;
  vb::Shared<PyFrame> f(frame);
  if (!f.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto id = m->add_frame(*f, append_inertia);
    if (!id) return vb::value_error(id.error().debug());
    return PyLong_FromSize_t(*id);
  });
}

PyObject* model_repr(PyObject* self) {
  return with_model(self, [](const Model& m) { return vb::guard([&] { return new_string(m.repr()); }); });
}

PyMethodDef model_methods[] = {
    reduce_method<PyModel>(),
    {"add_joint", vb::fn(model_add_joint), METH_FASTCALL | METH_KEYWORDS,
     "add_joint($self, parent_id, joint_model, placement, name)\n--\n\nAdds a joint to the model.\n\n# Arguments\n\n"
     "* `parent_id` - The identifier of the parent joint.\n* `joint_model` - The joint model to add.\n"
     "* `placement` - The placement of the joint in the parent frame.\n* `name` - The name of the joint."},
    {"get_joint_id", vb::fn(model_get_joint_id), METH_FASTCALL | METH_KEYWORDS, "get_joint_id($self, name)\n--\n\n"},
    {"create_data", model_create_data, METH_NOARGS, "create_data($self)\n--\n\n"},
    {"add_frame", vb::fn(model_add_frame), METH_FASTCALL | METH_KEYWORDS,
     "add_frame($self, frame, append_inertia)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef model_getset[] = {
    {"name", model_get_name, model_set_name, "", nullptr},
    {"nq", model_get_nq, nullptr, "", nullptr},
    {"nv", model_get_nv, nullptr, "", nullptr},
    {"njoints", model_get_njoints, nullptr, "", nullptr},
    {"nframes", model_get_nframes, nullptr, "", nullptr},
    {"gravity", model_get_gravity, model_set_gravity, "", nullptr},
    {"joint_names", model_get_joint_names, nullptr, "", nullptr},
    {"joint_parents", model_get_joint_parents, nullptr, "", nullptr},
    {"joint_placements", model_get_joint_placements, nullptr, "", nullptr},
    {"joint_models", model_get_joint_models, nullptr, "", nullptr},
    {"inertias", model_get_inertias, nullptr, "", nullptr},
    {"frames", model_get_frames, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---------------------------------------------------------------------------------- Data

PyObject* data_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"model"};
  vb::Args<1> in;
  ModelObj* model = nullptr;
  if (!vb::parse(in, "Data", names, args, kwargs) || !vb::to_object(in[0], {"Data", "model"}, model)) return nullptr;
  return model_create_data(reinterpret_cast<PyObject*>(model), nullptr);
}

PyObject* data_get_placements(PyObject* self, void*) {
  vb::Shared<PyData> d(reinterpret_cast<DataObj*>(self));
  return d.ok() ? placements_list(d->oMi) : nullptr;
}

PyObject* data_get_frame_placements(PyObject* self, void*) {
  vb::Shared<PyData> d(reinterpret_cast<DataObj*>(self));
  return d.ok() ? placements_list(d->oMf) : nullptr;
}

// A new (n, 6) array of spatial motions, angular part first.
PyObject* motions_array(const std::vector<SpatialMotion>& motions) {
  double* out = nullptr;
  PyObject* array = vb::new_array_to_fill(motions.size(), 6, out);
  if (!array) return nullptr;
  for (const SpatialMotion& m : motions)
    for (int k = 0; k < 6; ++k) *out++ = m[k];
  return array;
}

PyObject* data_get_velocities(PyObject* self, void*) {
  vb::Shared<PyData> d(reinterpret_cast<DataObj*>(self));
  return d.ok() ? vb::guard([&] { return motions_array(d->v); }) : nullptr;
}
PyObject* data_get_accelerations(PyObject* self, void*) {
  vb::Shared<PyData> d(reinterpret_cast<DataObj*>(self));
  return d.ok() ? vb::guard([&] { return motions_array(d->a); }) : nullptr;
}

PyGetSetDef data_getset[] = {
    {"joint_placements", data_get_placements, nullptr, "Returns the placements of the joints in the world frame.",
     nullptr},
    {"oMi", data_get_placements, nullptr,
     "Returns the placements of the joints in the world frame.\n\nThis is an alias for `joint_placements`.", nullptr},
    {"oMf", data_get_frame_placements, nullptr, "World placements of the frames, from update_frame_placements.",
     nullptr},
    {"v", data_get_velocities, nullptr, "(njoints, 6): each joint's spatial velocity in its own frame.", nullptr},
    {"a", data_get_accelerations, nullptr, "(njoints, 6): each joint's spatial acceleration in its own frame.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --------------------------------------------------------------------------------- Frame

PyObject* frame_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"name", "parent_joint", "parent_frame", "placement", "frame_type", "inertia"};
  vb::Args<6> in;
  std::string name;
  std::size_t parent_joint = 0, parent_frame = 0;
  vb::Object<PySE3>* placement = nullptr;
  vb::Object<PyFrameType>* frame_type = nullptr;
  vb::Object<PyInertia>* inertia = nullptr;
  if (!vb::parse(in, "Frame", names, args, kwargs) || !vb::to_string(in[0], {"Frame", "name"}, name) ||
      !vb::to_index(in[1], {"Frame", "parent_joint"}, parent_joint) ||
      !vb::to_index(in[2], {"Frame", "parent_frame"}, parent_frame) ||
      !vb::to_object(in[3], {"Frame", "placement"}, placement) ||
      !vb::to_object(in[4], {"Frame", "frame_type"}, frame_type) ||
      !vb::to_object(in[5], {"Frame", "inertia"}, inertia))
    return nullptr;
  vb::Shared<PySE3> p(placement);
  vb::Shared<PyFrameType> t(frame_type);
  vb::Shared<PyInertia> i(inertia);
  if (!p.ok() || !t.ok() || !i.ok()) return nullptr;
  return vb::guard([&] { return vb::wrap<PyFrame>(Frame{std::move(name), parent_joint, parent_frame, *p, *t, *i}); });
}

template <class F>
PyObject* with_frame(PyObject* self, F&& f) {
  vb::Shared<PyFrame> fr(reinterpret_cast<FrameObj*>(self));
  return fr.ok() ? f(*fr) : nullptr;
}

PyObject* frame_get_name(PyObject* self, void*) {
  return with_frame(self, [](const Frame& f) { return new_string(f.name); });
}
PyObject* frame_get_parent_joint(PyObject* self, void*) {
  return with_frame(self, [](const Frame& f) { return PyLong_FromSize_t(f.parent_joint); });
}
PyObject* frame_get_parent_frame(PyObject* self, void*) {
  return with_frame(self, [](const Frame& f) { return PyLong_FromSize_t(f.parent_frame); });
}
PyObject* frame_get_type(PyObject* self, void*) {
  return with_frame(self, [](const Frame& f) { return vb::wrap<PyFrameType>(f.frame_type); });
}
PyObject* frame_get_placement(PyObject* self, void*) {
  return with_frame(self, [](const Frame& f) { return vb::wrap<PySE3>(f.placement); });
}
PyObject* frame_get_inertia(PyObject* self, void*) {
  return with_frame(self, [](const Frame& f) { return vb::wrap<PyInertia>(f.inertia); });
}
PyObject* frame_repr(PyObject* self) {
  return with_frame(self, [](const Frame& f) { return vb::guard([&] { return new_string(f.repr()); }); });
}

PyGetSetDef frame_getset[] = {{"name", frame_get_name, nullptr, "", nullptr},
                              {"parent_joint", frame_get_parent_joint, nullptr, "", nullptr},
                              {"parent_frame", frame_get_parent_frame, nullptr, "", nullptr},
                              {"frame_type", frame_get_type, nullptr, "", nullptr},
                              {"placement", frame_get_placement, nullptr, "", nullptr},
                              {"inertia", frame_get_inertia, nullptr, "", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ---------------------------------------------------------------- module-level functions

PyObject* py_neutral(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model"};
  vb::Args<1> in;
  ModelObj* model = nullptr;
  if (!vb::parse(in, "neutral", names, args, nargs, kwnames) || !vb::to_object(in[0], {"neutral", "model"}, model))
    return nullptr;
  vb::Exclusive<PyModel> m(model);
  if (!m.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto q = neutral(*m);
    if (!q) return vb::value_error(q.error().display());
    return vb::wrap<PyConfiguration>(std::move(*q));
  });
}

PyObject* py_random_configuration(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model"};
  vb::Args<1> in;
  ModelObj* model = nullptr;
  if (!vb::parse(in, "random_configuration", names, args, nargs, kwnames) ||
      !vb::to_object(in[0], {"random_configuration", "model"}, model))
    return nullptr;
  vb::Exclusive<PyModel> m(model);
  if (!m.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto q = random_configuration(*m, thread_rng());
    if (!q) return vb::value_error(q.error());
    return vb::wrap<PyConfiguration>(std::move(*q));
  });
}

// The hot path: q is read in place (no copy) whenever it is contiguous and aligned.
PyObject* py_forward_kinematics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "v", "a"};
  vb::Args<5> in;
  ModelObj* model = nullptr;
  DataObj* data = nullptr;
  vb::ArrayView q, v, a;
  // The three-argument call skips the keyword matching of the optional v and a.
  const bool positional = !kwnames && PyVectorcall_NARGS(nargs) == 3;
  if (positional) {
    for (int k = 0; k < 3; ++k) in.v[k] = args[k];
  } else if (!vb::parse(in, "forward_kinematics", names, args, nargs, kwnames, 3)) {
    return nullptr;
  }
  if (!vb::to_object(in[0], {"forward_kinematics", "model"}, model) ||
      !vb::to_object(in[1], {"forward_kinematics", "data"}, data) ||
      !vb::to_array(in[2], {"forward_kinematics", "q"}, 1, q) ||
      (in[3] && !vb::to_array(in[3], {"forward_kinematics", "v"}, 1, v)) ||
      (in[4] && !vb::to_array(in[4], {"forward_kinematics", "a"}, 1, a)))
    return nullptr;
  if (in[4] && !in[3]) return vb::value_error("forward_kinematics(): accelerations 'a' need velocities 'v'");
  vb::Shared<PyModel> m(model);
  if (!m.ok()) return nullptr;
  vb::Exclusive<PyData> d(data);
  if (!d.ok()) return nullptr;

  const auto n = static_cast<std::size_t>(q.shape[0]);
  if (n != m->nq) {
    return vb::guard([&] {
      return vb::value_error("Invalid input size. Expected a configuration of size " + std::to_string(m->nq) +
                             ", got " + std::to_string(n));
    });
  }
  if (!q.contiguous_1d()) return vb::value_error("Failed to convert q to slice");
  if (!check_data_fits(*m, *d)) return nullptr;

  return vb::guard([&]() -> PyObject* {
    std::span<const double> values;
    std::vector<double> aligned;  // only for arrays whose data is not aligned for double
    if (n > 0) {
      if (reinterpret_cast<std::uintptr_t>(q.data) % alignof(double) == 0) {
        values = {reinterpret_cast<const double*>(q.data), n};
      } else {
        aligned.resize(n);
        for (std::size_t i = 0; i < n; ++i) aligned[i] = q.at(static_cast<Py_ssize_t>(i));
        values = aligned;
      }
    }
    if (in[3]) {
      // With velocities (and accelerations): every size is checked before data changes.
      std::vector<double> storage[2];
      const auto velocities = vb::read_1d(v, storage[0]);
      std::optional<std::span<const double>> accelerations;
      if (in[4]) accelerations = vb::read_1d(a, storage[1]);
      if (auto done = forward_kinematics(*m, *d, values, velocities, accelerations); !done)
        return vb::value_error("Forward kinematics failed: " + done.error().message);
      Py_RETURN_NONE;
    }
    if (auto done = forward_kinematics(*m, *d, values); !done)
      return vb::value_error("Forward kinematics failed: " + done.error().display());
    Py_RETURN_NONE;
  });
}

PyMethodDef neutral_def = {"neutral", vb::fn(py_neutral), METH_FASTCALL | METH_KEYWORDS,
                           "neutral(model)\n--\n\nPython wrapper for the `neutral` function."};
PyMethodDef random_configuration_def = {"random_configuration", vb::fn(py_random_configuration),
                                        METH_FASTCALL | METH_KEYWORDS, "random_configuration(model)\n--\n\n"};
PyMethodDef forward_kinematics_def = {"forward_kinematics", vb::fn(py_forward_kinematics),
                                      METH_FASTCALL | METH_KEYWORDS, "forward_kinematics(model, data, q, v=None, a=None)\n--\n\n"};

}  // namespace

// ------------------------------------------------------------------------------ classes

const char* const PyModel::doc =
    "Model()\n--\n\nA [`Model`] is a data structure that contains the information about the robot model,\n"
    "including the joints models, placements, the link inertias, and the frames.";

std::vector<PyType_Slot> PyModel::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&model_new)},
          {Py_tp_methods, model_methods},
          {Py_tp_getset, model_getset},
          {Py_tp_repr, reinterpret_cast<void*>(&model_repr)}};
}

const char* const PyData::doc = "Data(model)\n--\n\nA Python wrapper for the `Data` struct.";

std::vector<PyType_Slot> PyData::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&data_new)}, {Py_tp_getset, data_getset},
          {Py_tp_methods, refuse_reduce_methods<PyData>()}};
}

const char* const PyFrame::doc = "Frame(name, parent_joint, parent_frame, placement, frame_type, inertia)\n--\n\n";

std::vector<PyType_Slot> PyFrame::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&frame_new)},
          {Py_tp_getset, frame_getset},
          {Py_tp_methods, reduce_methods<PyFrame>()},
          {Py_tp_repr, reinterpret_cast<void*>(&frame_repr)}};
}

bool add_model(PyObject* m) { return vb::add_class<PyModel>(m); }
bool add_data(PyObject* m) { return vb::add_class<PyData>(m); }
bool add_frame(PyObject* m) { return vb::add_class<PyFrame>(m); }
bool add_frame_type(PyObject* m) { return vb::add_class<PyFrameType>(m); }

bool add_configuration_functions(PyObject* m) {
  return vb::add_function(m, &neutral_def) && vb::add_function(m, &random_configuration_def);
}

bool add_forward_kinematics(PyObject* m) { return vb::add_function(m, &forward_kinematics_def); }

}  // namespace velmora::py
