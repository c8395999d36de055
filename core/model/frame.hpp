// Named placements attached to joints: the world frame, body, joint and fixed frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/inertia/inertia.hpp"
#include "core/spatial/se3.hpp"

namespace velmora {

enum class FrameType : std::uint8_t { Operational = 0, Joint = 1, Fixed = 2, Body = 3, Sensor = 4 };
const char* frame_type_name(FrameType t);  // "Operational", "Joint", ...

struct Frame {
  std::string name;
  std::size_t parent_joint = 0;
  std::size_t parent_frame = 0;
  SE3 placement;
  FrameType frame_type = FrameType::Operational;
  Inertia inertia;  // in the frame's own coordinates

  // "Frame (name='..', parent joint=.., parent frame=.., frame_type=..)\n Placement=..\n\n Inertia=.."
  std::string repr() const;
};

}  // namespace velmora
