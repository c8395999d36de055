// Forward kinematics and the whole-model neutral and random configurations.
#include <cmath>

#include "core/algorithms/branch_lanes.hpp"
#include "core/algorithms/passes.hpp"
#include "core/spatial/format.hpp"

namespace velmora {

namespace {

// oMi[i] = (oMi[parent] * placement) * joint placement for q, in joint order (parents
// before their children). Each joint data keeps its own placement; a fixed joint's is the
// identity from creation on. Multi: the model may have joints with several degrees of
// freedom (tested per joint only then).
template <bool Multi>
inline void place_all_body(const JointStep* steps, std::size_t n, const double* values, Data& data) {
  const passes::Turns turns = passes::turn_revolute_joints(steps, n, values);
  SE3* oMi = data.oMi.data();
  oMi[0] = SE3::identity();
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    const SE3& parent = oMi[step.parent];
    const SE3 placed =
        step.placement_translates_only ? parent.translated(step.placement.translation) : parent * step.placement;
    if (step.motion.kind == JointType::Fixed) {
      oMi[i] = placed;
      continue;
    }
    if constexpr (Multi) {
      if (step.motion.multi()) {
        const SE3 joint = step.motion.placement(step.motion.multi_position(values + step.idx_q));
        oMi[i] = placed * joint;
        data.joint_data[i]->set_joint_placement(joint);
        continue;
      }
    }
    // A copy, so that the stores below cannot make the compiler read the kind and axis again.
    const JointMotion motion = step.motion;
    const JointMotion::AxisPosition position = passes::axis_position(step, turns, i, values);
    oMi[i] = motion.after(placed, position);
    data.joint_data[i]->set_joint_placement(motion.placement(position));
  }
}

// The pass compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors).
template <bool Multi>
[[gnu::noinline, gnu::flatten]] void place_all_narrow(const JointStep* steps, std::size_t n, const double* values,
                                                      Data& data) {
  place_all_body<Multi>(steps, n, values, data);
}
template <bool Multi>
[[VELMORA_WIDE_BUILD]] void place_all_wide(const JointStep* steps, std::size_t n, const double* values, Data& data) {
  place_all_body<Multi>(steps, n, values, data);
}

template <bool Multi>
void place_all(const JointStep* steps, std::size_t n, const double* values, Data& data) {
  passes::build_of(&place_all_narrow<Multi>, &place_all_wide<Multi>)(steps, n, values, data);
}

}  // namespace

std::expected<void, ConfigurationError> forward_kinematics(const Model& model, Data& data,
                                                           std::span<const double> q) {
  if (q.size() != model.nq) return std::unexpected(ConfigurationError::parameter_size("q", model.nq, q.size()));
  // Only code that edited the model's public counts directly gets here: the size q must
  // have is then the one the joints' own records give.
  if (!model.steps_agree()) return std::unexpected(ConfigurationError::parameter_size("q", model.steps_nq(), q.size()));
  if (auto ok = passes::check_configuration(model, q.data()); !ok)
    return std::unexpected(ConfigurationError::invalid_value(std::move(ok.error())));

  const std::size_t n = model.steps().size();
  if (n == 0) return {};
  // Trees with branches enough place four joints at a time (branch_lanes.hpp).
  if (!model.multi_joint_count())
    if (const lanes::BranchSchedule* schedule = lanes::schedule_to_run(model)) {
      lanes::forward_kinematics_branches(model, *schedule, q.data(), data);
      return {};
    }
  if (model.multi_joint_count()) place_all<true>(model.steps().data(), n, q.data(), data);
  else place_all<false>(model.steps().data(), n, q.data(), data);
  return {};
}

std::expected<Configuration, ConfigurationError> neutral(const Model& model) {
  Configuration q = Configuration::zeros(model.nq);
  std::size_t offset = 0;
  for (const auto& joint : model.joint_models) {
    const Configuration part = joint->neutral();
    if (auto written = q.update_rows(offset, part.span()); !written) return std::unexpected(written.error());
    offset += joint->nq();
  }
  return q;
}

namespace {

std::string limits_message(const std::string& joint, const RandomLimitsError& e) {
  const char* reason = std::isnan(e.lower) || std::isnan(e.upper) ? "a limit is NaN"
                       : e.lower > e.upper                         ? "the lower limit is above the upper limit"
                                                                   : "the range between the limits is too wide";
  return "Cannot draw a random configuration for joint '" + joint + "': " + reason + " (coordinate " +
         std::to_string(e.index) + ", lower " + fmt::plain(e.lower) + ", upper " + fmt::plain(e.upper) + ").";
}

}  // namespace

std::expected<Configuration, std::string> random_configuration(const Model& model, Rng& rng) {
  // Joint by joint in joint order, so the generator is drawn from in that order.
  std::vector<double> values;
  values.reserve(model.nq);
  for (std::size_t i = 0; i < model.njoints(); ++i) {
    auto part = model.joint_models[i]->random_configuration(rng);
    if (!part) return std::unexpected(limits_message(model.joint_names[i], part.error()));
    values.insert(values.end(), part->values().begin(), part->values().end());
  }
  return Configuration(std::move(values));
}

}  // namespace velmora
