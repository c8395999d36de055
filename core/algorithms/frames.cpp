// Frame placements, joint velocities and accelerations, and a frame's velocity and
// acceleration in each representation.
#include "core/algorithms/kinematics_passes.hpp"

namespace velmora {

namespace kin {

namespace {

struct MotionRow {
  SE3 liMi;  // joint frame in the parent joint's frame, for the current q
};

}  // namespace

void propagate(const Model& model, Data& data, std::span<const double> q, std::span<const double> v, bool with_v,
               std::span<const double> a, bool with_a) {
  // The sizes were checked, so the placements cannot fail.
  (void)forward_kinematics(model, data, q);
  if (!with_v) return;
  const std::size_t n = model.njoints();
  data.v.resize(n);
  if (with_a) data.a.resize(n);
  if (n == 0) return;
  const JointStep* steps = model.steps().data();
  MotionRow* rows = passes::scratch_rows<MotionRow>(n);
  passes::place_joints(steps, n, q.data(), rows);
  SpatialMotion* vel = data.v.data();
  SpatialMotion* acc = with_a ? data.a.data() : nullptr;
  vel[0] = SpatialMotion::zero();
  if (acc) acc[0] = SpatialMotion::zero();
  // v_i = X v_parent + S qd, a_i = X a_parent + S qdd + v_i x S qd, with X the motion
  // transform from the parent's frame into joint i's and S constant in joint i's frame.
  for (std::size_t i = 1; i < n; ++i) {
    const JointStep& step = steps[i];
    const SE3& liMi = rows[i].liMi;
    SpatialMotion joint_velocity = SpatialMotion::zero();
    SpatialMotion joint_acceleration = SpatialMotion::zero();
    const std::size_t nv = step.motion.nv();
    for (std::size_t k = 0; k < nv; ++k) {
      const SpatialMotion s = step.motion.column(k);
      joint_velocity += s * v[step.idx_v + k];
      if (acc) joint_acceleration += s * a[step.idx_v + k];
    }
    vel[i] = liMi.act_inv_motion(vel[step.parent]) + joint_velocity;
    if (acc)
      acc[i] = liMi.act_inv_motion(acc[step.parent]) + joint_acceleration + cross_motion(vel[i], joint_velocity);
  }
}

}  // namespace kin

using namespace kin;

std::expected<void, KinematicsError> forward_kinematics(const Model& model, Data& data, std::span<const double> q,
                                                        std::span<const double> v,
                                                        std::optional<std::span<const double>> a) {
  const std::span<const double> acc = a.value_or(std::span<const double>{});
  if (auto ok = check_state(model, q, v, true, acc, a.has_value()); !ok) return ok;
  propagate(model, data, q, v, true, acc, a.has_value());
  return {};
}

std::expected<void, KinematicsError> update_frame_placements(const Model& model, Data& data) {
  const std::size_t nf = model.nframes();
  for (std::size_t f = 0; f < nf; ++f)
    if (auto frame = check_frame(model, f); !frame) return std::unexpected(frame.error());
  // A frame added to the model after the data was made gets its entry here.
  data.oMf.resize(nf);
  for (std::size_t f = 0; f < nf; ++f) {
    const Frame& frame = model.frames[f];
    data.oMf[f] = data.oMi[frame.parent_joint] * frame.placement;
  }
  return {};
}

std::expected<SE3, KinematicsError> frame_placement(const Model& model, Data& data, std::size_t frame_id) {
  auto frame = check_frame(model, frame_id);
  if (!frame) return std::unexpected(frame.error());
  const SE3 oMf = data.oMi[(*frame)->parent_joint] * (*frame)->placement;
  if (frame_id < data.oMf.size()) data.oMf[frame_id] = oMf;
  return oMf;
}

std::expected<SpatialMotion, KinematicsError> frame_velocity(const Model& model, Data& data,
                                                             std::span<const double> q, std::span<const double> v,
                                                             std::size_t frame_id, Representation rep) {
  auto frame = check_frame(model, frame_id);
  if (!frame) return std::unexpected(frame.error());
  if (auto ok = check_state(model, q, v, true, {}, false); !ok) return std::unexpected(ok.error());
  propagate(model, data, q, v, true, {}, false);
  const std::size_t i = (*frame)->parent_joint;
  const SE3& jMf = (*frame)->placement;
  const SpatialMotion body = jMf.act_inv_motion(data.v[i]);
  if (rep == Representation::Body) return body;
  const SE3 oMf = data.oMi[i] * jMf;
  if (rep == Representation::World) return oMf.act_motion(body);
  return SpatialMotion{oMf.rotation * body.rotation, oMf.rotation * body.translation};
}

std::expected<SpatialMotion, KinematicsError> frame_acceleration(const Model& model, Data& data,
                                                                 std::span<const double> q, std::span<const double> v,
                                                                 std::span<const double> a, std::size_t frame_id,
                                                                 Representation rep) {
  auto frame = check_frame(model, frame_id);
  if (!frame) return std::unexpected(frame.error());
  if (auto ok = check_state(model, q, v, true, a, true); !ok) return std::unexpected(ok.error());
  propagate(model, data, q, v, true, a, true);
  const std::size_t i = (*frame)->parent_joint;
  const SE3& jMf = (*frame)->placement;
  // The frame is fixed in joint i's body, so in its own coordinates its acceleration is
  // the derivative of its body velocity; the world velocity is the body one carried by
  // oMf, whose derivative adds V x V = 0.
  const SpatialMotion body = jMf.act_inv_motion(data.a[i]);
  if (rep == Representation::Body) return body;
  const SE3 oMf = data.oMi[i] * jMf;
  if (rep == Representation::World) return oMf.act_motion(body);
  // Mixed: (R w, R u) differentiates to (R alpha, R (b + w x u)) for body velocity (w, u)
  // and body acceleration (alpha, b): the classical acceleration of the origin.
  const SpatialMotion vel = jMf.act_inv_motion(data.v[i]);
  return SpatialMotion{oMf.rotation * body.rotation,
                       oMf.rotation * (body.translation + cross(vel.rotation, vel.translation))};
}

}  // namespace velmora
