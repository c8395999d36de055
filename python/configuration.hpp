// Python class Configuration.
#pragma once

#include <vector>

#include "binding/object.hpp"
#include "core/spatial/configuration.hpp"

namespace velmora::py {

struct PyConfiguration {
  using Native = Configuration;
  static constexpr const char* name = "Configuration";
  static constexpr bool constructible = false;
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

}  // namespace velmora::py
