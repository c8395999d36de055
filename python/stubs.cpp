// Registration functions of areas not yet built; each area's file replaces its stub.
#include "module.hpp"

namespace velmora::py {
}  // namespace velmora::py
