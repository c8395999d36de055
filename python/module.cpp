// The extension module's entry point: creates `velmora`, registers every class,
// function and constant in a fixed order (visible through __all__), and builds the
// submodule `velmora.tessary`.
#include "module.hpp"

#include "binding/arrays.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora::py {

using vb::Ref;

bool add_to_sys_modules(const char* key, PyObject* module) {
  Ref sys = Ref::steal(PyImport_ImportModule("sys"));
  if (!sys) return false;
  Ref modules = Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
  return modules && PyObject_SetItem(modules.get(), Ref::steal(PyUnicode_FromString(key)).get(), module) == 0;
}

namespace {

PyModuleDef velmora_def = {PyModuleDef_HEAD_INIT, "velmora", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyModuleDef tessary_def = {PyModuleDef_HEAD_INIT, "tessary", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION must be defined by the build (from pyproject.toml)"
#endif

bool add_constants(PyObject* m) {
  if (!vb::add_to_module(m, "WORLD_ID", PyLong_FromLong(0))) return false;
  const Vector3D& g = standard_gravity();
  const double values[3] = {g.x, g.y, g.z};
  return vb::add_to_module(m, "STANDARD_GRAVITY", vb::new_array_1d(values, 3));
}

bool add_tessary_module(PyObject* m) {
  Ref tessary = Ref::steal(PyModule_Create(&tessary_def));
  if (!tessary || !add_tessary(tessary.get())) return false;
  if (!vb::add_to_module(m, "tessary", Ref::borrow(tessary.get()).release())) return false;
  return add_to_sys_modules("velmora.tessary", tessary.get());
}

PyObject* create_module() {
  if (!vb::init_numpy()) return nullptr;
  Ref m = Ref::steal(PyModule_Create(&velmora_def));
  if (!m) return nullptr;
  PyObject* mod = m.get();
  // The package version, not part of __all__.
  if (PyModule_AddStringConstant(mod, "__version__", VELMORA_VERSION) != 0) return nullptr;
  const bool ok = add_configuration(mod) && add_model(mod) && add_data(mod) && add_frame(mod) &&
                  add_frame_type(mod) && add_joint_model(mod) && add_geometry_classes(mod) &&
                  add_configuration_functions(mod) && add_urdf_functions(mod) && add_constants(mod) &&
                  add_inertia(mod) && add_joint_functions(mod) && add_spatial(mod) &&
                  add_forward_kinematics(mod) && add_dynamics_functions(mod) && add_kinematics(mod) &&
                  add_dynamics_quantities(mod) && add_collision_functions(mod) &&
                  add_configuration_space_functions(mod) && add_tessary_module(mod) && add_batch_functions(mod) &&
                  add_pickle_support(mod) && add_derivatives_functions(mod) &&
                  add_derivatives_batch_functions(mod);
  return ok ? m.release() : nullptr;
}

}  // namespace
}  // namespace velmora::py

// A second initialisation in the same process returns the module made by the first.
PyMODINIT_FUNC PyInit_velmora() {
  static PyObject* module = nullptr;
  if (!module) module = vb::guard([] { return velmora::py::create_module(); });
  Py_XINCREF(module);
  return module;
}
