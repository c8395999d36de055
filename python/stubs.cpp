// Registration functions of areas not yet built; each area's file replaces its stub.
#include "module.hpp"

namespace velmora::py {
bool add_dynamics_functions(PyObject*) { return true; }
}  // namespace velmora::py
