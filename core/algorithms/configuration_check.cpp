// The quaternion check every algorithm runs on q before reading it (see passes.hpp).
#include "core/algorithms/passes.hpp"

namespace velmora::passes {

std::expected<void, std::string> check_quaternions(const Model& model, const double* q) {
  for (const std::size_t joint : model.quaternion_joints()) {
    const JointStep& step = model.steps()[joint];
    const std::size_t at = step.idx_q + static_cast<std::size_t>(quaternion_offset(step.motion.kind));
    if (Quaternion::from(q + at).normalisable()) continue;
    return std::unexpected("The quaternion of joint '" + model.joint_names[joint] + "' (q[" + std::to_string(at) +
                           ":" + std::to_string(at + 4) +
                           "]) cannot be normalised: it is zero or has an infinite or NaN entry");
  }
  return {};
}

}  // namespace velmora::passes
