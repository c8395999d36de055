// Test helper: a joint model of any kind about an axis (the fixed and multi-degree-of-
// freedom kinds ignore it).
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
    case JointType::FreeFlyer: return make_free_flyer();
    case JointType::Planar: return make_planar();
    case JointType::Spherical: return make_spherical();
  }
  return nullptr;
}

}  // namespace velmora::test_support
