// Python class Inertia.
#pragma once

#include <vector>

#include "binding/object.hpp"
#include "core/inertia/inertia.hpp"

namespace velmora::py {

struct PyInertia {
  using Native = Inertia;
  static constexpr const char* name = "Inertia";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

}  // namespace velmora::py
