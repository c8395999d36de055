// Python class Configuration.
#pragma once

#include <vector>

#include "binding/args.hpp"
#include "binding/object.hpp"
#include "core/spatial/configuration.hpp"

namespace velmora::py {

struct PyConfiguration {
  using Native = Configuration;
  static constexpr const char* name = "Configuration";
  static constexpr bool constructible = false;
  static constexpr int kept = 8;  // results of a loop of calls reuse the released ones
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

// A Configuration holding every element of a float64 array of any number of
// dimensions, in logical order (last index fastest) whatever its memory layout;
// TypeError for anything but a float64 ndarray.
bool configuration_from_array(PyObject* o, vb::ArgName where, Configuration& out);

// A Configuration object of n elements for a result to be written into its values (a kept
// one when Python has released one, its old values still there); null with an exception
// set on failure.
vb::Object<PyConfiguration>* configuration_result(std::size_t n);

}  // namespace velmora::py
