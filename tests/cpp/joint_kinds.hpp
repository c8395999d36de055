// Test helper: a joint model of any kind about an axis (the fixed joint ignores it).
#pragma once

#include <memory>

#include "core/joint/joint.hpp"

namespace velmora::test_support {

inline std::unique_ptr<JointModel> make_joint(JointType kind, const Vector3D& axis) {
  switch (kind) {
    case JointType::Revolute: return make_revolute(axis);
    case JointType::Continuous: return make_continuous(axis);
    case JointType::Prismatic: return make_prismatic(axis);
    case JointType::Fixed: return make_fixed();
  }
  return nullptr;
}

}  // namespace velmora::test_support
