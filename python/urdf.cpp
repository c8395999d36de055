// build_models_from_urdf: loads a URDF file into a Model and the collision and visual
// GeometryModels; build_model_from_urdf: the Model alone, without geometry.
#include <optional>
#include <string>
#include <tuple>

#include "binding/args.hpp"
#include "core/urdf/urdf.hpp"
#include "geometry.hpp"
#include "joint.hpp"
#include "model.hpp"
#include "module.hpp"

namespace velmora::py {

using vb::Ref;

namespace {

// ValueError with the error's text. Mesh paths from the caller's package_dir may carry
// bytes that are not UTF-8; they are shown escaped rather than lost.
PyObject* raise_parse_error(const ParseError& error) {
  const std::string text = error.display();
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// The root joint argument, a JointModel or None; the loader copies it, and the borrow
// keeps it unchanged meanwhile.
bool root_joint_arg(PyObject* o, const char* function, std::optional<vb::Shared<PyJointWrapper>>& out) {
  if (!o) return true;
  vb::Object<PyJointWrapper>* joint = nullptr;
  if (!vb::to_object(o, {function, "root_joint"}, joint)) return false;
  out.emplace(joint);
  return out->ok();
}

PyObject* build_models_from_urdf_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return vb::guard([&]() -> PyObject* {
    static const char* const names[] = {"filepath", "package_dir", "root_joint"};
    vb::Args<3> in;
    if (!vb::parse(in, "build_models_from_urdf", names, args, nargs, kwnames, 1)) return nullptr;
    std::string filepath;
    if (!vb::to_string(in[0], {"build_models_from_urdf", "filepath"}, filepath)) return nullptr;
    std::optional<std::string> package_dir;
    if (in[1]) {
      package_dir.emplace();
      if (!vb::to_string(in[1], {"build_models_from_urdf", "package_dir"}, *package_dir)) return nullptr;
    }
    std::optional<vb::Shared<PyJointWrapper>> root;
    if (!root_joint_arg(in[2], "build_models_from_urdf", root)) return nullptr;
    auto built = build_models_from_urdf(filepath, package_dir, root ? (**root).get() : nullptr);
    if (!built) return raise_parse_error(built.error());
    Ref model = Ref::steal(vb::wrap<PyModel>(std::move(built->model)));
    if (!model) return nullptr;
    Ref collision = Ref::steal(vb::wrap<PyGeometryModel>(std::move(built->collision_model)));
    if (!collision) return nullptr;
    Ref visual = Ref::steal(vb::wrap<PyGeometryModel>(std::move(built->visual_model)));
    if (!visual) return nullptr;
    return PyTuple_Pack(3, model.get(), collision.get(), visual.get());
  });
}

PyObject* build_model_from_urdf_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return vb::guard([&]() -> PyObject* {
    static const char* const names[] = {"filepath", "root_joint"};
    vb::Args<2> in;
    if (!vb::parse(in, "build_model_from_urdf", names, args, nargs, kwnames, 1)) return nullptr;
    std::string filepath;
    if (!vb::to_string(in[0], {"build_model_from_urdf", "filepath"}, filepath)) return nullptr;
    std::optional<vb::Shared<PyJointWrapper>> root;
    if (!root_joint_arg(in[1], "build_model_from_urdf", root)) return nullptr;
    auto built = build_model_from_urdf(filepath, root ? (**root).get() : nullptr);
    if (!built) return raise_parse_error(built.error());
    return vb::wrap<PyModel>(std::move(*built));
  });
}

PyMethodDef build_models_from_urdf_def = {
    "build_models_from_urdf", vb::fn(build_models_from_urdf_py), METH_FASTCALL | METH_KEYWORDS,
    "build_models_from_urdf(filepath, package_dir=None, root_joint=None)\n--\n\n"
    "A Python wrapper for the `build_models_from_urdf` function."};

PyMethodDef build_model_from_urdf_def = {
    "build_model_from_urdf", vb::fn(build_model_from_urdf_py), METH_FASTCALL | METH_KEYWORDS,
    "build_model_from_urdf(filepath, root_joint=None)\n--\n\n"
    "The model of a URDF file alone, equal to the one build_models_from_urdf returns, built\n"
    "without reading the visual and collision elements or looking up mesh files. With\n"
    "root_joint (a JointModel, e.g. JointModelFreeFlyer()), the root link hangs from a copy of\n"
    "that joint named \"root_joint\" attached to the world; without it, the root link is welded\n"
    "to the world."};

}  // namespace

bool add_urdf_functions(PyObject* m) {
  return vb::add_function(m, &build_models_from_urdf_def) && vb::add_function(m, &build_model_from_urdf_def);
}

}  // namespace velmora::py
