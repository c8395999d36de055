// Joint and frame Jacobians and the frame Jacobian's time derivative.
//
// Column c of the world (spatial) Jacobian is the motion subspace column of coordinate c
// carried into world coordinates by its joint's placement, oMj S; coordinates outside the
// frame's support give zero columns. The other representations follow column by column:
// Body through the inverse of the frame's placement, Mixed by moving the reference point
// of the linear part from the world origin to the frame's origin p (v0 + w x p).
// The Jacobians compute the placements of the joints on the frame's path to the world
// and nothing else, so they leave data as it was.
#include <algorithm>

#include "core/algorithms/batch_simd.hpp"
#include "core/algorithms/kinematics_passes.hpp"

namespace velmora {

using namespace kin;

namespace {

struct SupportRow {
  std::size_t joint;
  SE3 oMj;  // the joint's world placement at q
  double c, s;  // a revolute joint's cosine and sine, when made beforehand
  bool turned;
};

// The cosines and sines of the revolute joints among the rows, from the vector lanes (within
// about an ulp of the C library's): on an arm they are a fifth of the Jacobian's cost one at
// a time.
void turn_revolute_joints(const JointStep* steps, std::span<const double> q, SupportRow* rows, std::size_t depth) {
  for (std::size_t r = 0; r < depth; ++r) rows[r].turned = false;
  lanes::sin_cos_in_fours(
      depth,
      [&](std::size_t r) {
        const JointStep& step = steps[rows[r].joint];
        return step.motion.kind == JointType::Revolute ? q.data() + step.idx_q : nullptr;
      },
      [&](std::size_t r, double c, double s) {
        rows[r].c = c;
        rows[r].s = s;
        rows[r].turned = true;
      });
}

// The Jacobian at q of a frame fixed on joint `joint_id` at placement *jMf in the joint's
// frame (the joint's own frame when jMf is null). Only the joints between the frame and
// the world move it, so only their placements are computed, in scratch rows.
inline void support_jacobian_body(const Model& model, std::span<const double> q, std::size_t joint_id,
                                  const SE3* jMf, Representation rep, double* out) {
  const std::size_t nv = model.nv;
  std::fill(out, out + 6 * nv, 0.0);
  const JointStep* steps = model.steps().data();
  std::size_t depth = 0;
  for (std::size_t j = joint_id; j > 0; j = steps[j].parent) ++depth;
  if (depth == 0) return;
  SupportRow* rows = passes::scratch_rows<SupportRow>(depth);
  std::size_t k = depth;
  std::size_t revolute = 0;
  for (std::size_t j = joint_id; j > 0; j = steps[j].parent) {
    rows[--k].joint = j;
    revolute += steps[j].motion.kind == JointType::Revolute;
  }
  // From the world down the path, each joint's parent being the row before it, composed
  // as forward kinematics does: the parent's placement, the joint's placement in it
  // (often a pure translation), the joint's motion for q. The running placement stays in
  // a local: reading it back from the row just written would stall on the store.
  SE3 oMj = SE3::identity();
  // One revolute joint gains nothing from the lanes.
  const bool turned = revolute > 1 && lanes::available();
  if (turned) turn_revolute_joints(steps, q, rows, depth);
  for (std::size_t r = 0; r < depth; ++r) {
    const JointStep& step = steps[rows[r].joint];
    // The first row hangs from the world, whose placement is the identity.
    const SE3 placed = r == 0                          ? step.placement
                       : step.placement_translates_only ? oMj.translated(step.placement.translation)
                                                        : oMj * step.placement;
    if (turned && rows[r].turned)
      oMj = step.motion.after(placed, JointMotion::AxisPosition{rows[r].c, rows[r].s, {}});
    else
      oMj = step.motion.after(placed, step.motion.position(q.data() + step.idx_q));
    rows[r].oMj = oMj;
  }
  // The frame's origin is all WORLD and MIXED need of its placement; BODY needs its axes too.
  const Vector3D p = jMf ? oMj.act(jMf->translation) : oMj.translation;
  const SE3 oMf = rep != Representation::Body ? SE3{} : jMf ? oMj * *jMf : oMj;
  for (std::size_t r = 0; r < depth; ++r) {
    const JointStep& step = steps[rows[r].joint];
    const SE3& oMr = rows[r].oMj;
    for (std::size_t c = 0; c < step.motion.nv(); ++c) {
      // The column (a; b) in world axes is (w; u) = (R a; R b), about the world origin
      // (w; u + t x w), about the frame's origin (w; u + w x (p - t)).
      Vector3D w, u;
      const JointMotion& motion = step.motion;
      if (motion.nv() == 1 && motion.rotates() && motion.coordinate_axis >= 0) {
        // A rotation about a coordinate axis: its column turned into world axes is that
        // column of the joint's rotation.
        w = oMr.rotation.column(motion.coordinate_axis) * motion.axis_sign;
      } else {
        const SpatialMotion s = motion.column(c);
        w = oMr.rotation * s.rotation;
        u = oMr.rotation * s.translation;
      }
      SpatialMotion column;
      switch (rep) {
        case Representation::Mixed: column = {w, u + cross(w, p - oMr.translation)}; break;
        case Representation::World: column = {w, u + cross(oMr.translation, w)}; break;
        case Representation::Body: column = oMf.act_inv_motion({w, u + cross(oMr.translation, w)}); break;
      }
      store_column(out, nv, step.idx_v + c, column);
    }
  }
}

// The pass compiled whole, for any x86-64 and for processors with AVX2 and FMA (see
// passes::wide_vectors).
[[gnu::noinline, gnu::flatten]] void support_jacobian_narrow(const Model& model, std::span<const double> q,
                                                             std::size_t joint_id, const SE3* jMf,
                                                             Representation rep, double* out) {
  support_jacobian_body(model, q, joint_id, jMf, rep, out);
}
[[VELMORA_WIDE_BUILD]] void support_jacobian_wide(const Model& model, std::span<const double> q, std::size_t joint_id,
                                                  const SE3* jMf, Representation rep, double* out) {
  support_jacobian_body(model, q, joint_id, jMf, rep, out);
}

void support_jacobian(const Model& model, std::span<const double> q, std::size_t joint_id, const SE3* jMf,
                      Representation rep, double* out) {
  passes::build_of(&support_jacobian_narrow, &support_jacobian_wide)(model, q, joint_id, jMf, rep, out);
}

}  // namespace

std::expected<void, KinematicsError> joint_jacobian(const Model& model, Data& data, std::span<const double> q,
                                                    std::size_t joint_id, Representation rep, double* out) {
  if (auto ok = check_joint(model, joint_id); !ok) return ok;
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return ok;
  (void)data;
  support_jacobian(model, q, joint_id, nullptr, rep, out);
  return {};
}

std::expected<void, KinematicsError> frame_jacobian(const Model& model, Data& data, std::span<const double> q,
                                                    std::size_t frame_id, Representation rep, double* out) {
  auto frame = check_frame(model, frame_id);
  if (!frame) return std::unexpected(frame.error());
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return ok;
  (void)data;
  support_jacobian(model, q, (*frame)->parent_joint, &(*frame)->placement, rep, out);
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
