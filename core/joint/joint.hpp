// Joint models (static description: kind, axis, limits, sizes, transform) and joint
// data (the per-joint workspace of a Data), with the four kinds: revolute, continuous,
// prismatic and fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/spatial/configuration.hpp"
#include "core/spatial/motion.hpp"
#include "core/spatial/random.hpp"
#include "core/spatial/se3.hpp"

namespace velmora {

enum class JointType : std::uint8_t { Continuous = 0, Fixed = 1, Prismatic = 2, Revolute = 3 };

struct JointLimits {
  Configuration effort, velocity, lower, upper;
  static JointLimits new_unbounded(std::size_t n);
};

struct JointError {
  std::string missing_attribute;  // MissingAttributeError
  std::string debug() const { return "MissingAttributeError(\"" + missing_attribute + "\")"; }
};

class JointData;

class JointModel {
 public:
  virtual ~JointModel() = default;
  virtual JointType get_joint_type() const = 0;
  virtual std::unique_ptr<JointModel> clone_box() const = 0;
  virtual std::size_t nq() const = 0;
  virtual std::size_t nv() const = 0;
  virtual Configuration neutral() const = 0;
  virtual std::unique_ptr<JointData> create_joint_data() const = 0;
  // One motion axis per velocity coordinate; empty for the fixed joint.
  virtual std::vector<SpatialMotion> get_axis() const { return {}; }
  // The only entry of get_axis() when it has exactly one, without building the list:
  // what the joint data updates read on the hot path.
  virtual std::optional<SpatialMotion> single_axis() const { return std::nullopt; }
  // Random configuration within the limits; an error names the coordinate whose limits
  // cannot be sampled.
  virtual std::expected<Configuration, RandomLimitsError> random_configuration(Rng& rng) const = 0;
  // The placement of the child side relative to the parent side for q (nq values).
  virtual SE3 transform(std::span<const double> q) const = 0;

  // Limits of the kinds that have them; null for the fixed joint.
  virtual const JointLimits* limits() const { return nullptr; }
  virtual JointLimits* limits_mut() { return nullptr; }

  // The motion subspace column of a one-degree-of-freedom joint, as used by the
  // dynamics: the unit axis for revolute and continuous joints (their transform
  // rotates about it), the stored axis for prismatic ones (they translate by axis * q).
  // Zero for the fixed joint.
  virtual SpatialMotion motion_subspace() const { return SpatialMotion::zero(); }
};

class JointData {
 public:
  virtual ~JointData() = default;
  const SE3& get_joint_placement() const { return placement_; }
  // Requires q to hold the model's nq values; fails when the model is of another kind.
  virtual std::expected<void, JointError> update(const JointModel& model, std::span<const double> q) = 0;
  // The kind of joint model that made this data (stored, since every algorithm call
  // checks it against the model).
  JointType kind() const { return kind_; }
  virtual std::unique_ptr<JointData> clone_box() const = 0;

 protected:
  explicit JointData(JointType kind) : kind_(kind) {}
  JointData(const JointData&) = default;
  JointData& operator=(const JointData&) = default;
  SE3 placement_;

 private:
  JointType kind_;
};

// The four kinds. Axes are stored as given (not normalised).
std::unique_ptr<JointModel> make_revolute(const Vector3D& axis);
std::unique_ptr<JointModel> make_continuous(const Vector3D& axis);
std::unique_ptr<JointModel> make_prismatic(const Vector3D& axis);
std::unique_ptr<JointModel> make_fixed();

}  // namespace velmora
