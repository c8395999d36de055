// Registration functions of areas not yet built; each area's file replaces its stub.
#include "module.hpp"

namespace velmora::py {
bool add_model(PyObject*) { return true; }
bool add_data(PyObject*) { return true; }
bool add_frame(PyObject*) { return true; }
bool add_frame_type(PyObject*) { return true; }
bool add_joint_model(PyObject*) { return true; }
bool add_configuration_functions(PyObject*) { return true; }
bool add_joint_functions(PyObject*) { return true; }
bool add_forward_kinematics(PyObject*) { return true; }
bool add_dynamics_functions(PyObject*) { return true; }
}  // namespace velmora::py
