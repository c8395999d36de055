// Python classes GeometryObject, GeometryModel, GeometryData and the shapes of the
// submodule velmora.tessary.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "binding/enums.hpp"
#include "core/geometry/geometry.hpp"
#include "core/geometry/shape.hpp"

namespace velmora::py {

struct PyGeometryObject {
  using Native = GeometryObject;
  static constexpr const char* name = "GeometryObject";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyGeometryModel {
  using Native = GeometryModel;
  static constexpr const char* name = "GeometryModel";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyGeometryData {
  using Native = GeometryData;
  static constexpr const char* name = "GeometryData";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

}  // namespace velmora::py
