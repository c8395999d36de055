// Joint and frame Jacobians and the frame Jacobian's time derivative.
//
// Column c of the world (spatial) Jacobian is the motion subspace column of coordinate c
// carried into world coordinates by its joint's placement, oMj S; coordinates outside the
// frame's support give zero columns. The other representations follow column by column:
// Body through the inverse of the frame's placement, Mixed by moving the reference point
// of the linear part from the world origin to the frame's origin p (v0 + w x p).
#include <algorithm>

#include "core/algorithms/kinematics_passes.hpp"

namespace velmora {

using namespace kin;

namespace {

// The Jacobian of a frame at world placement oMf fixed on joint `joint_id`, from data.oMi.
void jacobian_columns(const Model& model, const Data& data, std::size_t joint_id, const SE3& oMf,
                      Representation rep, double* out) {
  const std::size_t nv = model.nv;
  std::fill(out, out + 6 * nv, 0.0);
  for_support_columns(model, data, joint_id, [&](std::size_t c, std::size_t, const SpatialMotion& s) {
    store_column(out, nv, c, from_world(s, oMf, rep));
  });
}

}  // namespace

std::expected<void, KinematicsError> joint_jacobian(const Model& model, Data& data, std::span<const double> q,
                                                    std::size_t joint_id, Representation rep, double* out) {
  if (auto ok = check_joint(model, joint_id); !ok) return ok;
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return ok;
  propagate(model, data, q, {}, false, {}, false);
  jacobian_columns(model, data, joint_id, data.oMi[joint_id], rep, out);
  return {};
}

std::expected<void, KinematicsError> frame_jacobian(const Model& model, Data& data, std::span<const double> q,
                                                    std::size_t frame_id, Representation rep, double* out) {
  auto frame = check_frame(model, frame_id);
  if (!frame) return std::unexpected(frame.error());
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return ok;
  propagate(model, data, q, {}, false, {}, false);
  const std::size_t i = (*frame)->parent_joint;
  jacobian_columns(model, data, i, data.oMi[i] * (*frame)->placement, rep, out);
  return {};
}

// With S_j = oMj S the world column of a coordinate of joint j and V_j joint j's world
// (spatial) velocity, d/dt S_j = V_j x S_j, since S is constant in joint j's frame.
// Body: Ad(oMf^-1) S_j changes by Ad(oMf^-1) ((V_j - V_f) x S_j), V_f the frame's world
// velocity. Mixed: (w, v0 + w x p) changes by (dw, dv0 + dw x p + w x pdot), with pdot
// the velocity of the frame's origin.
std::expected<void, KinematicsError> frame_jacobian_time_derivative(const Model& model, Data& data,
                                                                    std::span<const double> q,
                                                                    std::span<const double> v, std::size_t frame_id,
                                                                    Representation rep, double* out) {
  auto frame = check_frame(model, frame_id);
  if (!frame) return std::unexpected(frame.error());
  if (auto ok = check_state(model, q, v, true, {}, false); !ok) return ok;
  propagate(model, data, q, v, true, {}, false);
  const std::size_t i = (*frame)->parent_joint;
  const SE3 oMf = data.oMi[i] * (*frame)->placement;
  const SpatialMotion frame_velocity = data.oMi[i].act_motion(data.v[i]);
  const Vector3D& p = oMf.translation;
  const Vector3D origin_velocity = frame_velocity.translation + cross(frame_velocity.rotation, p);
  const std::size_t nv = model.nv;
  std::fill(out, out + 6 * nv, 0.0);
  for_support_columns(model, data, i, [&](std::size_t c, std::size_t j, const SpatialMotion& s) {
    const SpatialMotion joint_velocity = data.oMi[j].act_motion(data.v[j]);
    SpatialMotion d;
    switch (rep) {
      case Representation::World: d = cross_motion(joint_velocity, s); break;
      case Representation::Body: d = oMf.act_inv_motion(cross_motion(joint_velocity - frame_velocity, s)); break;
      case Representation::Mixed: {
        const SpatialMotion ds = cross_motion(joint_velocity, s);
        d = {ds.rotation, ds.translation + cross(ds.rotation, p) + cross(s.rotation, origin_velocity)};
        break;
      }
    }
    store_column(out, nv, c, d);
  });
  return {};
}

}  // namespace velmora
