// What the kinematics quantities share: the checks every call makes before it writes
// anything, the forward pass that carries velocities and accelerations, and the columns
// of the world Jacobian of a joint's support.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "core/algorithms/algorithms.hpp"
#include "core/algorithms/kinematics_quantities.hpp"
#include "core/algorithms/passes.hpp"

namespace velmora::kin {

[[gnu::cold]] inline std::unexpected<KinematicsError> fail(KinematicsError::Kind kind, std::string message) {
  return std::unexpected(KinematicsError{kind, std::move(message)});
}

[[gnu::cold]] inline std::unexpected<KinematicsError> wrong_size(const char* name, std::size_t expected,
                                                                std::size_t got) {
  return fail(KinematicsError::Kind::Size, "Parameter '" + std::string(name) + "' expected size " +
                                               std::to_string(expected) + ", but got " + std::to_string(got));
}

// q has nq values, v (when `with_v`) and a (when `with_a`) nv each, the model's records
// agree with its counts, and every quaternion in q has a direction.
inline std::expected<void, KinematicsError> check_state(const Model& model, std::span<const double> q,
                                                        std::span<const double> v, bool with_v,
                                                        std::span<const double> a, bool with_a) {
  if (q.size() != model.nq) return wrong_size("q", model.nq, q.size());
  if (with_v && v.size() != model.nv) return wrong_size("v", model.nv, v.size());
  if (with_a && a.size() != model.nv) return wrong_size("a", model.nv, a.size());
  if (!passes::model_consistent(model))
    return fail(KinematicsError::Kind::Model,
                "The model's joint sizes or parents are inconsistent with its configuration sizes");
  if (auto ok = passes::check_configuration(model, q.data()); !ok)
    return fail(KinematicsError::Kind::Value, std::move(ok.error()));
  return {};
}

inline std::expected<void, KinematicsError> check_joint(const Model& model, std::size_t joint_id) {
  if (joint_id >= model.njoints())
    return fail(KinematicsError::Kind::JointId, "joint id " + std::to_string(joint_id) +
                                                    " is out of range: the model has " +
                                                    std::to_string(model.njoints()) + " joints");
  return {};
}

// The frame, once its id and its parent joint are known to exist.
inline std::expected<const Frame*, KinematicsError> check_frame(const Model& model, std::size_t frame_id) {
  if (frame_id >= model.nframes())
    return fail(KinematicsError::Kind::FrameId, "frame id " + std::to_string(frame_id) +
                                                    " is out of range: the model has " +
                                                    std::to_string(model.nframes()) + " frames");
  const Frame& frame = model.frames[frame_id];
  if (frame.parent_joint >= model.njoints())
    return fail(KinematicsError::Kind::Model, "frame " + std::to_string(frame_id) + " ('" + frame.name +
                                                  "') is attached to joint " + std::to_string(frame.parent_joint) +
                                                  ", which the model does not have");
  return &frame;
}

// Forward kinematics after the checks: data.oMi (and the joint data) at q; with `v`
// also data.v, with `a` also data.a (joint frames, angular first, gravity not included).
void propagate(const Model& model, Data& data, std::span<const double> q, std::span<const double> v, bool with_v,
               std::span<const double> a, bool with_a);

// Calls column(c, S) for every velocity coordinate c that moves joint `joint_id`, with
// S that coordinate's motion subspace column in world coordinates (the spatial
// velocity per unit of it) from data.oMi, and the joint j it belongs to.
template <class Column>
void for_support_columns(const Model& model, const Data& data, std::size_t joint_id, Column&& column) {
  const JointStep* steps = model.steps().data();
  for (std::size_t j = joint_id; j > 0; j = steps[j].parent) {
    const JointStep& step = steps[j];
    const std::size_t nv = step.motion.nv();
    for (std::size_t k = 0; k < nv; ++k) column(step.idx_v + k, j, data.oMi[j].act_motion(step.motion.column(k)));
  }
}

// A world motion (spatial velocity and the like) in representation `rep` for a frame at
// world placement oMf.
inline SpatialMotion from_world(const SpatialMotion& m, const SE3& oMf, Representation rep) {
  switch (rep) {
    case Representation::World: return m;
    case Representation::Body: return oMf.act_inv_motion(m);
    case Representation::Mixed: break;
  }
  return {m.rotation, m.translation + cross(m.rotation, oMf.translation)};
}

// Column c of a row-major 6 x nv matrix.
inline void store_column(double* out, std::size_t nv, std::size_t c, const SpatialMotion& m) {
  for (int r = 0; r < 6; ++r) out[r * nv + c] = m[r];
}

}  // namespace velmora::kin
