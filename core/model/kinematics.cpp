// Forward kinematics and the whole-model neutral and random configurations.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/model/algorithms.hpp"
#include "core/spatial/format.hpp"

namespace velmora {

std::expected<void, ConfigurationError> forward_kinematics(const Model& model, Data& data,
                                                           std::span<const double> q) {
  if (q.size() != model.nq) return std::unexpected(ConfigurationError::parameter_size("q", model.nq, q.size()));
  const std::size_t n = model.njoints();

  // Every joint data first, each from its own slice of q (the slices are laid out by
  // the model's offsets, which add_joint keeps equal to the running sum of nq()).
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t offset = model.idx_q[i];
    const std::size_t nqi = (i + 1 < n ? model.idx_q[i + 1] : model.nq) - offset;
    if (auto updated = data.joint_data[i]->update(*model.joint_models[i], q.subspan(offset, nqi)); !updated) {
      // Only a Data made for another model gets here; callers check data_fits_model.
      std::fprintf(stderr, "not implemented: handle joint data update error: %s\n", updated.error().debug().c_str());
      std::abort();
    }
  }

  // Then the world placements in index order (parents come before their children).
  // The list keeps its capacity from call to call.
  std::vector<SE3>& oMi = data.oMi;
  oMi.clear();
  oMi.reserve(n);
  oMi.push_back(SE3::identity());
  for (std::size_t i = 1; i < n; ++i) {
    const SE3 placed = (oMi[model.joint_parents[i]] * model.joint_placements[i]) *
                       data.joint_data[i]->get_joint_placement();
    oMi.push_back(placed);
  }
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
