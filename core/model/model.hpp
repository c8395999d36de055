// The robot model: a tree of joints in topological order (parents before children),
// each with a name, parent, placement, joint model and body inertia; frames; gravity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/inertia/inertia.hpp"
#include "core/joint/joint.hpp"
#include "core/model/frame.hpp"
#include "core/model/frame_index.hpp"
#include "core/model/joint_index.hpp"
#include "core/spatial/configuration.hpp"
#include "core/spatial/motion.hpp"
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

// A number that names one state of a model's joint records: a new one for every model,
// for every copy and after every add_joint (a moved-from model gets a new one too), never
// given twice in a process. Code that derives data from the records alone can keep it
// under this number.
class RecordsStamp {
 public:
  RecordsStamp() : value_(next()) {}
  RecordsStamp(const RecordsStamp&) : value_(next()) {}
  RecordsStamp(RecordsStamp&& o) noexcept : value_(o.value_) { o.value_ = next(); }
  RecordsStamp& operator=(const RecordsStamp& o) {
    if (this != &o) value_ = next();
    return *this;
  }
  RecordsStamp& operator=(RecordsStamp&& o) noexcept {
    if (this != &o) value_ = o.value_, o.value_ = next();
    return *this;
  }
  void renew() { value_ = next(); }
  std::uint64_t value() const { return value_; }

 private:
  static std::uint64_t next();
  std::uint64_t value_;
};

// Joint i as the algorithms read it, gathered by Model::add_joint into one flat record:
// no virtual call and no pointer to follow in their loops.
struct JointStep {
  JointMotion motion;  // its nq() and nv() are the joint's sizes
  std::size_t parent = 0;
  std::size_t idx_q = 0, idx_v = 0;
  // Joints on the path from the world, this one included (0 for the world itself).
  std::size_t depth = 0;
  SE3 placement;
  // The placement only translates (its rotation is exactly the identity), so composing
  // with it needs no rotation product.
  bool placement_translates_only = true;
  // The coordinate axis the placement's rotation turns about (SpatialRotation::turn_axis),
  // or -1.
  std::int8_t placement_turn_axis = 0;

  // The joint's frame in its parent joint's frame at a position of the joint:
  // placement * motion.placement(p), for a Position of any kind or the AxisPosition of a
  // one-axis kind.
  template <class P>
  SE3 frame_in_parent(const P& p) const {
    if (!placement_translates_only) return motion.after(placement, p);
    SE3 x = motion.placement(p);
    x.translation += placement.translation;
    return x;
  }
};

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
                                                   const SE3& placement, std::string joint_name) {
    const std::uint64_t hash = name_hash(joint_name);
    return add_joint(parent_id, std::move(joint_model), placement, std::move(joint_name), hash);
  }
  std::expected<std::size_t, ModelError> add_frame(Frame frame, bool append_inertia) {
    const std::uint64_t hash = name_hash(frame.name);
    return add_frame(std::move(frame), append_inertia, hash);
  }
  // The same, for a caller that has the name's hash already (`hash` must be
  // name_hash(joint_name), or name_hash(frame.name)): a loader hashes each name once.
  std::expected<std::size_t, ModelError> add_joint(std::size_t parent_id, std::unique_ptr<JointModel> joint_model,
                                                   const SE3& placement, std::string joint_name, std::uint64_t hash);
  std::expected<std::size_t, ModelError> add_frame(Frame frame, bool append_inertia, std::uint64_t hash);
  std::optional<std::size_t> get_joint_id(std::string_view name) const;
  std::optional<std::size_t> get_frame_id(std::string_view name, std::optional<FrameType> type = {}) const;
  Data create_data() const;
  // Room for `joints` joints and `frames` frames in every list, so that adding up to
  // that many allocates nothing more (add_joint alone grows the lists one by one).
  // The name indexes get room for as many, so that they are not rebuilt larger midway.
  void reserve(std::size_t joints, std::size_t frames);
  // A loader that knows the name of a joint or frame it will add soon can have the
  // memory the duplicate-name check reads fetched meanwhile: in a large model that check
  // otherwise waits for main memory once per name. `hash` is name_hash of the name; `joint`
  // says whether the name will also be a joint's (add_joint), not only a frame's.
  static std::uint64_t name_hash(std::string_view text) { return hash_text(text); }
  void prefetch_name(std::uint64_t hash, bool joint) const {
    if (joint) joint_index_.prefetch(hash);
    frame_index_.prefetch(hash);
  }

  std::size_t njoints() const { return joint_names.size(); }
  std::size_t nframes() const { return frames.size(); }

  // The multi-line debug text of the Python repr.
  std::string repr() const;

  // One record per joint, in joint order, and the joint kinds as one contiguous list;
  // both are kept by add_joint alongside the lists below.
  const std::vector<JointStep>& steps() const { return steps_; }
  const std::vector<JointType>& joint_kinds() const { return kinds_; }
  // Whether the records agree with the public counts (njoints, nq, nv), which code could
  // have changed directly: what the algorithms check before slicing by the records.
  bool steps_agree() const { return steps_.size() == njoints() && steps_nq() == nq && steps_nv() == nv; }
  // The joints whose configuration holds a quaternion (spherical and free-flyer joints),
  // in joint order: what the configuration check reads, nothing for most arms.
  const std::vector<std::size_t>& quaternion_joints() const { return quaternion_joints_; }
  // How many joints have more than one degree of freedom (see JointMotion::multi).
  std::size_t multi_joint_count() const { return multi_joint_count_; }
  // The largest depth of a joint (JointStep::depth): the longest path from the world.
  std::size_t depth() const { return depth_; }
  // The stamp of the records as they are now (see RecordsStamp).
  std::uint64_t records_stamp() const { return stamp_.value(); }
  // The configuration and velocity sizes by the records.
  std::size_t steps_nq() const { return steps_.empty() ? 0 : steps_.back().idx_q + steps_.back().motion.nq(); }
  std::size_t steps_nv() const { return steps_.empty() ? 0 : steps_.back().idx_v + steps_.back().motion.nv(); }

  std::string name;
  std::vector<std::string> joint_names;
  std::vector<std::size_t> joint_parents;
  std::vector<SE3> joint_placements;
  std::vector<std::unique_ptr<JointModel>> joint_models;
  std::vector<Inertia> inertias;
  // Appended to by add_frame, which keeps an index of the frames' names and types (built
  // again when the list's length changed behind its back). Code that edits the list
  // directly keeps the name and type of every frame at its position.
  std::vector<Frame> frames;
  // Offsets of each joint's slice in the configuration and velocity vectors.
  std::vector<std::size_t> idx_q, idx_v;
  std::size_t nq = 0, nv = 0;
  Vector3D gravity = standard_gravity();

 private:
  std::vector<JointStep> steps_;
  std::vector<JointType> kinds_;
  std::vector<std::size_t> quaternion_joints_;
  std::size_t multi_joint_count_ = 0;
  std::size_t depth_ = 0;
  RecordsStamp stamp_;
  // The frames by name and type; add_frame keeps it, get_frame_id uses it while it
  // covers exactly the list.
  FrameIndex frame_index_;
  // The joints by name; add_joint keeps it, get_joint_id uses it while it covers exactly
  // the list (code that edits joint_names directly keeps the names at their positions).
  JointNameIndex joint_index_;
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
  // World placement of every frame, from the last update_frame_placements.
  std::vector<SE3> oMf;
  // Each joint's spatial velocity and acceleration in its own frame, from the last
  // forward kinematics given velocities (and accelerations).
  std::vector<SpatialMotion> v, a;
  // The kind of each joint data, as one list: what the fit check compares.
  std::vector<JointType> joint_kinds;
};

// True when `data` was made for a model of this shape (one joint data per joint, each of
// the joint's kind): the precondition of every algorithm that takes both. Cheap: the
// kinds are compared as one block of bytes.
bool data_fits_model(const Model& model, const Data& data);
// Why `data` does not fit `model` (a sentence for the user), or nothing when it fits.
std::optional<std::string> data_mismatch(const Model& model, const Data& data);

}  // namespace velmora
