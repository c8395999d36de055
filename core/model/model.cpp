#include "core/model/model.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/spatial/format.hpp"

namespace velmora {

namespace {

const char* joint_type_name(JointType t) {
  switch (t) {
    case JointType::Continuous: return "Continuous";
    case JointType::Fixed: return "Fixed";
    case JointType::Prismatic: return "Prismatic";
    case JointType::Revolute: return "Revolute";
    case JointType::FreeFlyer: return "FreeFlyer";
    case JointType::Planar: return "Planar";
    case JointType::Spherical: return "Spherical";
  }
  return "?";
}

}  // namespace

// ------------------------------------------------------------------------- ModelError

std::string ModelError::display() const {
  switch (kind) {
    case Kind::ParentJointDoesNotExist:
      return "Parent joint with id " + std::to_string(id) + " does not exist.";
    case Kind::JointNameAlreadyUsed:
      return "Joint name '" + name + "' is already used by joint with id " + std::to_string(id) + ".";
  }
  return {};
}

std::string ModelError::debug() const {
  switch (kind) {
    case Kind::ParentJointDoesNotExist:
      return "ParentJointDoesNotExist(" + std::to_string(id) + ")";
    case Kind::JointNameAlreadyUsed:
      return "JointNameAlreadyUsed(" + fmt::quoted(name) + ", " + std::to_string(id) + ")";
  }
  return {};
}

// ------------------------------------------------------------------------------ Model

Model::Model(std::string model_name) : name(std::move(model_name)) {
  joint_names.emplace_back("__WORLD__");
  joint_parents.push_back(0);
  joint_placements.push_back(SE3::identity());
  joint_models.push_back(make_fixed());
  inertias.push_back(Inertia::zeros());
  idx_q.push_back(0);
  idx_v.push_back(0);
  frames.push_back(Frame{"__WORLD_FRAME__", 0, 0, SE3::identity(), FrameType::Fixed, Inertia::zeros()});
  steps_.push_back(JointStep{});
  kinds_.push_back(JointType::Fixed);
}

std::uint64_t RecordsStamp::next() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

Model::Model(const Model& o)
    : name(o.name),
      joint_names(o.joint_names),
      joint_parents(o.joint_parents),
      joint_placements(o.joint_placements),
      inertias(o.inertias),
      frames(o.frames),
      idx_q(o.idx_q),
      idx_v(o.idx_v),
      nq(o.nq),
      nv(o.nv),
      gravity(o.gravity),
      steps_(o.steps_),
      kinds_(o.kinds_),
      quaternion_joints_(o.quaternion_joints_),
      multi_joint_count_(o.multi_joint_count_),
      depth_(o.depth_),
      frame_index_(o.frame_index_),
      joint_index_(o.joint_index_) {
  joint_models.reserve(o.joint_models.size());
  for (const auto& jm : o.joint_models) joint_models.push_back(jm->clone_box());
}

Model& Model::operator=(const Model& o) {
  if (this != &o) {
    Model copy(o);
    *this = std::move(copy);
  }
  return *this;
}

std::expected<std::size_t, ModelError> Model::add_joint(std::size_t parent_id, std::unique_ptr<JointModel> joint_model,
                                                        const SE3& placement, std::string joint_name,
                                                        std::uint64_t hash) {
  if (parent_id >= njoints()) return std::unexpected(ModelError{ModelError::Kind::ParentJointDoesNotExist, parent_id, {}});

  // Grow every list first, so that an allocation failure leaves the model as it was;
  // the appends below cannot fail. Capacity doubles, so adding joints one by one stays
  // linear overall.
  const std::size_t id = njoints();
  const auto grow = [id](auto& list) {
    if (list.capacity() <= id) list.reserve(2 * id + 1);
  };
  grow(joint_names);
  // The duplicate-name check is one search of the name index (brought up to date first
  // when the list was edited directly), which also makes room for the new entry.
  if (joint_index_.covered() != joint_names.size()) joint_index_.rebuild(joint_names);
  const auto probe = joint_index_.probe(joint_names, joint_name, slot_hash(hash), joint_names.capacity());
  if (probe.found)
    return std::unexpected(ModelError{ModelError::Kind::JointNameAlreadyUsed, *probe.found, std::move(joint_name)});
  grow(joint_parents);
  grow(joint_placements);
  grow(joint_models);
  grow(inertias);
  grow(idx_q);
  grow(idx_v);
  grow(steps_);
  grow(kinds_);
  const bool has_quaternion = quaternion_offset(joint_model->get_joint_type()) >= 0;
  if (has_quaternion) quaternion_joints_.reserve(quaternion_joints_.size() + 1);

  JointStep step;
  step.motion = joint_model->motion();
  // The algorithms slice q and v by the sizes the motion states: a joint model whose
  // motion disagrees with its own sizes is a broken implementation, not an input.
  if (step.motion.nq() != joint_model->nq() || step.motion.nv() != joint_model->nv()) {
    std::fprintf(stderr, "Joint model '%s': its motion disagrees with its sizes.\n", joint_name.c_str());
    std::abort();
  }
  step.parent = parent_id;
  step.depth = steps_[parent_id].depth + 1;
  step.idx_q = nq;
  step.idx_v = nv;
  step.placement = placement;
  step.placement_translates_only = placement.rotation == SpatialRotation::identity();
  step.placement_turn_axis = static_cast<std::int8_t>(placement.rotation.turn_axis());
  steps_.push_back(step);
  kinds_.push_back(step.motion.kind);
  stamp_.renew();
  if (has_quaternion) quaternion_joints_.push_back(id);
  if (step.motion.multi()) ++multi_joint_count_;
  depth_ = std::max(depth_, step.depth);
  joint_names.push_back(std::move(joint_name));
  joint_index_.record(probe);
  joint_placements.push_back(placement);
  idx_q.push_back(nq);
  idx_v.push_back(nv);
  nq += joint_model->nq();
  nv += joint_model->nv();
  joint_models.push_back(std::move(joint_model));
  inertias.push_back(Inertia::zeros());
  joint_parents.push_back(parent_id);
  return id;
}

std::expected<std::size_t, ModelError> Model::add_frame(Frame frame, bool append_inertia, std::uint64_t hash) {
  if (frame.parent_joint >= njoints())
    return std::unexpected(ModelError{ModelError::Kind::ParentJointDoesNotExist, frame.parent_joint, {}});
  // The index is brought up to date first (after direct edits of the list it is built
  // again) and given room for the new entry, so that once the frame is appended nothing
  // can fail.
  if (frame_index_.covered() != frames.size()) frame_index_.rebuild(frames);
  const auto probe = frame_index_.probe(frames, frame.name, slot_hash(hash), frame.frame_type, frames.size() + 1);
  if (probe.found) return *probe.found;
  const std::size_t id = frames.size();
  // The frame's body, expressed in the parent joint's frame (only when it is added there).
  const Inertia moved = append_inertia ? frame.inertia.act(frame.placement) : Inertia{};
  const std::size_t parent = frame.parent_joint;
  frames.push_back(std::move(frame));
  frame_index_.record(probe);
  if (append_inertia) inertias[parent] += moved;
  return id;
}

std::optional<std::size_t> Model::get_joint_id(std::string_view joint_name) const {
  if (joint_index_.covered() == joint_names.size()) return joint_index_.find(joint_names, joint_name);
  // The list was edited directly since the last add_joint.
  for (std::size_t i = 0; i < joint_names.size(); ++i)
    if (joint_names[i] == joint_name) return i;
  return std::nullopt;
}

std::optional<std::size_t> Model::get_frame_id(std::string_view frame_name, std::optional<FrameType> type) const {
  if (frame_index_.covered() == frames.size()) return frame_index_.find(frames, frame_name, type);
  // The list was edited directly since the last add_frame.
  for (std::size_t i = 0; i < frames.size(); ++i)
    if (frames[i].name == frame_name && (!type || frames[i].frame_type == *type)) return i;
  return std::nullopt;
}

void Model::reserve(std::size_t joints, std::size_t frame_count) {
  joint_names.reserve(joints);
  joint_parents.reserve(joints);
  joint_placements.reserve(joints);
  joint_models.reserve(joints);
  inertias.reserve(joints);
  idx_q.reserve(joints);
  idx_v.reserve(joints);
  steps_.reserve(joints);
  kinds_.reserve(joints);
  frames.reserve(frame_count);
  // An index that does not cover its list yet (a new model's world joint and frame are
  // not in it) is built now, at the size just reserved, rather than at the next add,
  // which would throw the reserved table away and allocate it again.
  if (joint_index_.covered() != joint_names.size())
    joint_index_.rebuild(joint_names);
  else
    joint_index_.reserve(joints);
  if (frame_index_.covered() != frames.size())
    frame_index_.rebuild(frames);
  else
    frame_index_.reserve(frame_count);
}

Data Model::create_data() const {
  Data data;
  data.joint_data.reserve(joint_models.size());
  for (const auto& jm : joint_models) data.joint_data.push_back(jm->create_joint_data());
  data.oMi.assign(njoints(), SE3::identity());
  data.oMf.assign(nframes(), SE3::identity());
  data.v.assign(njoints(), SpatialMotion::zero());
  data.a.assign(njoints(), SpatialMotion::zero());
  data.joint_kinds.reserve(joint_models.size());
  for (const auto& jd : data.joint_data) data.joint_kinds.push_back(jd->kind());
  return data;
}

std::string Model::repr() const {
  fmt::DebugWriter w(true);
  w.record("Model", [&] {
    w.field("name", [&] { w.text(fmt::quoted(name)); });
    w.field("joint_names", [&] {
      w.list([&] {
        for (const auto& n : joint_names) w.item([&] { w.text(fmt::quoted(n)); });
      });
    });
    w.field("joint_parents", [&] {
      w.list([&] {
        for (const std::size_t p : joint_parents) w.item([&] { w.text(std::to_string(p)); });
      });
    });
    w.field("joint_placements", [&] {
      w.list([&] {
        for (const auto& p : joint_placements) w.item([&] { p.write_debug(w); });
      });
    });
  });
  return std::move(w.out());
}

// ------------------------------------------------------------------------------- Data

Data::Data(const Data& o) : oMi(o.oMi), oMf(o.oMf), v(o.v), a(o.a), joint_kinds(o.joint_kinds) {
  joint_data.reserve(o.joint_data.size());
  for (const auto& jd : o.joint_data) joint_data.push_back(jd->clone_box());
}

Data& Data::operator=(const Data& o) {
  if (this != &o) {
    Data copy(o);
    *this = std::move(copy);
  }
  return *this;
}

bool data_fits_model(const Model& model, const Data& data) {
  const std::size_t n = model.steps().size();
  // Every call with a Data checks this: the kinds are one byte each, compared as bytes.
  static_assert(sizeof(JointType) == 1 && std::is_trivially_copyable_v<JointType>);
  const std::vector<JointType>& kinds = model.joint_kinds();
  return data.joint_data.size() == n && data.oMi.size() == n && data.joint_kinds.size() == kinds.size() &&
         std::memcmp(data.joint_kinds.data(), kinds.data(), kinds.size()) == 0;
}

std::optional<std::string> data_mismatch(const Model& model, const Data& data) {
  const std::size_t n = model.njoints();
  if (data.joint_data.size() != n || data.oMi.size() != n)
    return "The data was made for a model with " + std::to_string(data.joint_data.size()) +
           " joints, but this model has " + std::to_string(n) + " joints. Create it with model.create_data().";
  for (std::size_t i = 0; i < n; ++i) {
    const JointType expected = model.joint_models[i]->get_joint_type();
    const JointType held = data.joint_data[i]->kind();
    if (held != expected)
      return "The data was made for another model: joint " + std::to_string(i) + " is " + joint_type_name(expected) +
             " in this model but " + joint_type_name(held) + " in the data. Create it with model.create_data().";
  }
  return std::nullopt;
}

}  // namespace velmora
