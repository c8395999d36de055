// build_models_from_urdf: loads a URDF file into a Model and the collision and visual
// GeometryModels; build_model_from_urdf: the Model alone, without geometry.
#include <optional>
#include <string>
#include <tuple>

#include "binding/args.hpp"
#include "core/urdf/urdf.hpp"
#include "geometry.hpp"
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

PyObject* build_models_from_urdf_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return vb::guard([&]() -> PyObject* {
    static const char* const names[] = {"filepath", "package_dir"};
    vb::Args<2> in;
    if (!vb::parse(in, "build_models_from_urdf", names, args, nargs, kwnames, 1)) return nullptr;
    std::string filepath;
    if (!vb::to_string(in[0], {"build_models_from_urdf", "filepath"}, filepath)) return nullptr;
    std::optional<std::string> package_dir;
    if (in[1]) {
      package_dir.emplace();
      if (!vb::to_string(in[1], {"build_models_from_urdf", "package_dir"}, *package_dir)) return nullptr;
    }
    auto built = build_models_from_urdf(filepath, package_dir);
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
    // No joint kind can carry the root link yet: the root link is welded to the world.
    if (in[1]) {
      vb::type_error({"build_model_from_urdf", "root_joint"}, "None", in[1]);
      return nullptr;
    }
    auto built = build_model_from_urdf(filepath);
    if (!built) return raise_parse_error(built.error());
    return vb::wrap<PyModel>(std::move(*built));
  });
}

PyMethodDef build_models_from_urdf_def = {
    "build_models_from_urdf", vb::fn(build_models_from_urdf_py), METH_FASTCALL | METH_KEYWORDS,
    "build_models_from_urdf(filepath, package_dir=None)\n--\n\n"
    "A Python wrapper for the `build_models_from_urdf` function."};

PyMethodDef build_model_from_urdf_def = {
    "build_model_from_urdf", vb::fn(build_model_from_urdf_py), METH_FASTCALL | METH_KEYWORDS,
    "build_model_from_urdf(filepath, root_joint=None)\n--\n\n"
    "The model of a URDF file alone, equal to the one build_models_from_urdf returns, built\n"
    "without reading the visual and collision elements or looking up mesh files. root_joint\n"
    "takes None only: the root link is welded to the world."};

}  // namespace

bool add_urdf_functions(PyObject* m) {
  return vb::add_function(m, &build_models_from_urdf_def) && vb::add_function(m, &build_model_from_urdf_def);
}

}  // namespace velmora::py
