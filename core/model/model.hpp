// The robot model: a tree of joints in topological order (parents before children),
// each with a name, parent, placement, joint model and body inertia; frames; gravity.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/inertia/inertia.hpp"
#include "core/joint/joint.hpp"
#include "core/model/frame.hpp"
#include "core/spatial/configuration.hpp"
#include "core/spatial/se3.hpp"

namespace velmora {

struct ModelError {
  enum class Kind { ParentJointDoesNotExist, JointNameAlreadyUsed };
  Kind kind;
  std::size_t id;    // the parent id, or the id of the joint holding the name
  std::string name;  // JointNameAlreadyUsed only
  std::string display() const;
  std::string debug() const;  // ParentJointDoesNotExist(5), JointNameAlreadyUsed("j1", 1)
};

class Data;

class Model {
 public:
  // Joint 0 ("__WORLD__", fixed, parent 0) and frame 0 ("__WORLD_FRAME__", Fixed).
  Model() : Model(std::string{}) {}
  explicit Model(std::string name);
  Model(const Model& o);  // deep copy (joint models are cloned)
  Model& operator=(const Model& o);
  Model(Model&&) noexcept = default;
  Model& operator=(Model&&) noexcept = default;

  std::expected<std::size_t, ModelError> add_joint(std::size_t parent_id, std::unique_ptr<JointModel> joint_model,
                                                   const SE3& placement, std::string name);
  std::expected<std::size_t, ModelError> add_frame(Frame frame, bool append_inertia);
  std::optional<std::size_t> get_joint_id(std::string_view name) const;
  std::optional<std::size_t> get_frame_id(std::string_view name, std::optional<FrameType> type = {}) const;
  Data create_data() const;

  std::size_t njoints() const { return joint_names.size(); }
  std::size_t nframes() const { return frames.size(); }

  // The multi-line debug text of the Python repr.
  std::string repr() const;

  std::string name;
  std::vector<std::string> joint_names;
  std::vector<std::size_t> joint_parents;
  std::vector<SE3> joint_placements;
  std::vector<std::unique_ptr<JointModel>> joint_models;
  std::vector<Inertia> inertias;
  std::vector<Frame> frames;
  // Offsets of each joint's slice in the configuration and velocity vectors.
  std::vector<std::size_t> idx_q, idx_v;
  std::size_t nq = 0, nv = 0;
  Vector3D gravity = standard_gravity();
};

// The workspace of one model: one joint data per joint and the world placements.
class Data {
 public:
  Data() = default;
  Data(const Data& o);  // deep copy
  Data& operator=(const Data& o);
  Data(Data&&) noexcept = default;
  Data& operator=(Data&&) noexcept = default;

  std::vector<std::unique_ptr<JointData>> joint_data;
  std::vector<SE3> oMi;
};

// True when `data` was made for a model of this shape (one joint data per joint, each of
// the joint's kind): the precondition of every algorithm that takes both.
bool data_fits_model(const Model& model, const Data& data);
// Why `data` does not fit `model` (a sentence for the user), or nothing when it fits.
std::optional<std::string> data_mismatch(const Model& model, const Data& data);

}  // namespace velmora
