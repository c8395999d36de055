// Python classes JointModel and JointType.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "binding/enums.hpp"
#include "core/joint/joint.hpp"

namespace velmora::py {

struct PyJointWrapper {
  using Native = std::unique_ptr<JointModel>;
  static constexpr const char* name = "JointModel";
  static constexpr bool constructible = false;
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyJointType : vb::Enum<PyJointType> {
  using Native = JointType;
  static constexpr const char* name = "JointType";
  static constexpr bool constructible = false;
  static constexpr const char* doc = "Enum representing the type of joint.";
  static constexpr std::array<const char*, 7> members = {"Continuous", "Fixed",  "Prismatic", "Revolute",
                                                         "FreeFlyer",  "Planar", "Spherical"};
};

}  // namespace velmora::py
