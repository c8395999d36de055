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
Result<Vector3D> parse_axis(pugi::xml_node joint) {
  const pugi::xml_node axis = first_child(joint, "axis");
  if (!axis) return Vector3D::unit_x();
  const auto xyz = read_f64_list<3>(axis, "xyz");
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

Result<void> read_effort_and_velocity(pugi::xml_node limit, JointLimits& limits) {
  const auto effort = read_f64(limit, "effort");
  if (!effort) return std::unexpected(effort.error());
  set_first(limits.effort, *effort);
  const auto velocity = read_f64(limit, "velocity");
  if (!velocity) return std::unexpected(velocity.error());
  set_first(limits.velocity, *velocity);
  return {};
}

}  // namespace

Result<std::size_t> parse_joint(Context& ctx, pugi::xml_node joint, pugi::xml_node parent,
                                std::size_t parent_joint) {
  const auto name_attr = attribute(joint, "name");
  if (!name_attr) return fail(Kind::MissingName, render(joint));
  std::string name(*name_attr);
  const auto type_attr = attribute(joint, "type");
  if (!type_attr) return fail(Kind::MissingParameter, "type");
  const std::string_view type = *type_attr;

  const auto parent_frame = get_parent_frame(ctx, parent);
  if (!parent_frame) return std::unexpected(parent_frame.error());
  const std::size_t pf = *parent_frame;
  const auto origin = parse_origin(joint);
  if (!origin) return std::unexpected(origin.error());
  // The parent link's body frame is placed relative to the parent joint, so this is the
  // joint's placement relative to the parent joint.
  const SE3 placement = ctx.model.frames[pf].placement * *origin;

  if (type == "fixed") {
    const std::size_t before = ctx.model.nframes();
    const auto id = ctx.model.add_frame(
        Frame{name, parent_joint, pf, placement, FrameType::Fixed, Inertia::zeros()}, false);
    if (!id) return fail(Kind::InvalidModel, id.error().display());
    // An existing fixed frame of that name would be returned instead of a new one, and
    // the child link would then hang from the wrong place.
    if (*id < before) return fail(Kind::DuplicateFixedJoint, name, std::to_string(*id));
    ctx.element_frames[joint.internal_object()] = *id;
    return parent_joint;
  }

  std::unique_ptr<JointModel> joint_model;
  if (type == "revolute" || type == "prismatic") {
    const auto axis = parse_axis(joint);
    if (!axis) return std::unexpected(axis.error());
    const pugi::xml_node limit = first_child(joint, "limit");
    if (!limit) return fail(Kind::MissingParameter, "limit");
    joint_model = type == "revolute" ? make_revolute(*axis) : make_prismatic(*axis);
    JointLimits dummy;
    JointLimits& limits = joint_model->limits_mut() ? *joint_model->limits_mut() : dummy;
    // Optional: an absent or unreadable bound keeps the default.
    if (const auto lower = attribute(limit, "lower"))
      if (const auto v = parse_f64(*lower)) set_first(limits.lower, *v);
    if (const auto upper = attribute(limit, "upper"))
      if (const auto v = parse_f64(*upper)) set_first(limits.upper, *v);
    if (auto r = read_effort_and_velocity(limit, limits); !r) return std::unexpected(r.error());
  } else if (type == "continuous") {
    const auto axis = parse_axis(joint);
    if (!axis) return std::unexpected(axis.error());
    joint_model = make_continuous(*axis);
    JointLimits dummy;
    JointLimits& limits = joint_model->limits_mut() ? *joint_model->limits_mut() : dummy;
    if (const pugi::xml_node limit = first_child(joint, "limit"))
      if (auto r = read_effort_and_velocity(limit, limits); !r) return std::unexpected(r.error());
  } else {
    return fail(Kind::UnknownJointType, std::string(type));
  }

  const auto joint_id = ctx.model.add_joint(parent_joint, std::move(joint_model), placement, name);
  if (!joint_id) return fail(Kind::InvalidModel, joint_id.error().display());
  const auto frame_id = ctx.model.add_frame(
      Frame{std::move(name), *joint_id, pf, SE3::identity(), FrameType::Joint, Inertia::zeros()}, true);
  if (!frame_id) return fail(Kind::InvalidModel, frame_id.error().display());
  ctx.element_frames[joint.internal_object()] = *frame_id;
  return *joint_id;
}

}  // namespace velmora::urdf
