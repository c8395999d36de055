#include "core/model/frame.hpp"

#include <string>

namespace velmora {

const char* frame_type_name(FrameType t) {
  switch (t) {
    case FrameType::Operational: return "Operational";
    case FrameType::Joint: return "Joint";
    case FrameType::Fixed: return "Fixed";
    case FrameType::Body: return "Body";
    case FrameType::Sensor: return "Sensor";
  }
  return "?";
}

std::string Frame::repr() const {
  return "Frame (name='" + name + "', parent joint=" + std::to_string(parent_joint) +
         ", parent frame=" + std::to_string(parent_frame) + ", frame_type=" + frame_type_name(frame_type) +
         ")\n Placement=" + placement.debug() + "\n\n Inertia=" + inertia.debug();
}

}  // namespace velmora
