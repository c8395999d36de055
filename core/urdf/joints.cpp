// Joints: placement relative to the parent joint, joint model with axis and limits,
// and the joint's frame. A fixed joint adds only a frame, so that its child link's body
// merges into the parent joint's body.
#include <cmath>

#include "core/urdf/internal.hpp"

namespace velmora::urdf {

namespace {

using Kind = ParseError::Kind;

// The axis as written, (1, 0, 0) without an <axis> child. An axis without length (or
// with a non-finite one) has no direction to rotate about or slide along.
Result<Vector3D> parse_axis(bool has_axis, const char* xyz_text) {
  if (!has_axis) return Vector3D::unit_x();
  const auto xyz = read_list<double, 3>(xyz_text, "xyz");
  if (!xyz) return std::unexpected(xyz.error());
  const Vector3D v{(*xyz)[0], (*xyz)[1], (*xyz)[2]};
  const double norm = v.norm();
  if (!(norm > 0.0) || !std::isfinite(norm)) return fail(Kind::InvalidParameter, "xyz");
  return v;
}

// Writes entry 0 of a limit vector (the joint kinds all have at least one entry).
void set_first(Configuration& c, double value) {
  if (c.len() > 0) c[0] = value;
}

Result<void> read_effort_and_velocity(const char* effort_text, const char* velocity_text, JointLimits& limits) {
  const auto effort = read_f64(effort_text, "effort");
  if (!effort) return std::unexpected(effort.error());
  set_first(limits.effort, *effort);
  const auto velocity = read_f64(velocity_text, "velocity");
  if (!velocity) return std::unexpected(velocity.error());
  set_first(limits.velocity, *velocity);
  return {};
}

}  // namespace

void read_joint_entry(pugi::xml_node joint, JointEntry& entry) {
  const auto [name, type] = find_attributes<2>(joint, {"name", "type"});
  entry.name = name;
  entry.type = type;
  const auto [origin, axis, limit, parent, child] =
      first_children<5>(joint, {"origin", "axis", "limit", "parent", "child"});
  entry.origin = origin_texts(origin);
  entry.has_axis = static_cast<bool>(axis);
  if (axis) entry.axis_xyz = find_attributes<1>(axis, {"xyz"})[0];
  entry.has_limit = static_cast<bool>(limit);
  if (limit) {
    const auto [lower, upper, effort, velocity] = find_attributes<4>(limit, {"lower", "upper", "effort", "velocity"});
    entry.lower = lower;
    entry.upper = upper;
    entry.effort = effort;
    entry.velocity = velocity;
  }
  if (parent)
    if (const char* link = find_attributes<1>(parent, {"link"})[0]) {
      entry.parent_link = link;
      entry.has_parent_link = true;
    }
  entry.has_child = static_cast<bool>(child);
  if (child)
    if (const char* link = find_attributes<1>(child, {"link"})[0]) entry.child_link = link;
}

Result<std::size_t> parse_joint(Context& ctx, std::size_t index, ParentRef parent, std::size_t parent_joint) {
  const JointEntry& entry = ctx.joints[index];
  if (!entry.name) return fail(Kind::MissingName, ctx.renderings[entry.rendering - 1]);
  const std::string_view name(entry.name, entry.name_size);
  if (!entry.type) return fail(Kind::MissingParameter, "type");
  const std::string_view type = entry.type;

  const auto parent_frame = get_parent_frame(ctx, parent);
  if (!parent_frame) return std::unexpected(parent_frame.error());
  const std::size_t pf = *parent_frame;
  const auto origin = parse_origin(entry.origin);
  if (!origin) return std::unexpected(origin.error());
  // The parent link's body frame is placed relative to the parent joint, so this is the
  // joint's placement relative to the parent joint.
  const SE3 placement = ctx.model.frames[pf].placement * *origin;

  if (type == "fixed") {
    const std::size_t before = ctx.model.nframes();
    const auto id = ctx.model.add_frame(
        Frame{std::string(name), parent_joint, pf, placement, FrameType::Fixed, Inertia::zeros()}, false,
        entry.name_hash);
    if (!id) return fail(Kind::InvalidModel, id.error().display());
    // An existing fixed frame of that name would be returned instead of a new one, and
    // the child link would then hang from the wrong place.
    if (*id < before) return fail(Kind::DuplicateFixedJoint, std::string(name), std::to_string(*id));
    ctx.joints[index].frame = *id;
    return parent_joint;
  }

  std::unique_ptr<JointModel> joint_model;
  if (type == "revolute" || type == "prismatic") {
    const auto axis = parse_axis(entry.has_axis, entry.axis_xyz);
    if (!axis) return std::unexpected(axis.error());
    if (!entry.has_limit) return fail(Kind::MissingParameter, "limit");
    joint_model = type == "revolute" ? make_revolute(*axis) : make_prismatic(*axis);
    JointLimits dummy;
    JointLimits& limits = joint_model->limits_mut() ? *joint_model->limits_mut() : dummy;
    // Optional: an absent bound, or one that is not a number, keeps the default.
    const auto lower_value = read_optional_f64(entry.lower, "lower");
    if (!lower_value) return std::unexpected(lower_value.error());
    if (*lower_value) set_first(limits.lower, **lower_value);
    const auto upper_value = read_optional_f64(entry.upper, "upper");
    if (!upper_value) return std::unexpected(upper_value.error());
    if (*upper_value) set_first(limits.upper, **upper_value);
    if (auto r = read_effort_and_velocity(entry.effort, entry.velocity, limits); !r)
      return std::unexpected(r.error());
  } else if (type == "continuous") {
    const auto axis = parse_axis(entry.has_axis, entry.axis_xyz);
    if (!axis) return std::unexpected(axis.error());
    joint_model = make_continuous(*axis);
    JointLimits dummy;
    JointLimits& limits = joint_model->limits_mut() ? *joint_model->limits_mut() : dummy;
    if (entry.has_limit)
      if (auto r = read_effort_and_velocity(entry.effort, entry.velocity, limits); !r)
        return std::unexpected(r.error());
  } else {
    return fail(Kind::UnknownJointType, std::string(type));
  }

  const auto joint_id = ctx.model.add_joint(parent_joint, std::move(joint_model), placement, std::string(name),
                                            entry.name_hash);
  if (!joint_id) return fail(Kind::InvalidModel, joint_id.error().display());
  const auto frame_id = ctx.model.add_frame(
      Frame{std::string(name), *joint_id, pf, SE3::identity(), FrameType::Joint, Inertia::zeros()}, true,
      entry.name_hash);
  if (!frame_id) return fail(Kind::InvalidModel, frame_id.error().display());
  ctx.joints[index].frame = *frame_id;
  return *joint_id;
}

}  // namespace velmora::urdf
