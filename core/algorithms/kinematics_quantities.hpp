// What users derive from the kinematics every day: frame placements, joint velocities
// and accelerations, Jacobians and their time derivatives, the centre of mass and the
// energies.
//
// Every 6-vector and every Jacobian row is ordered angular (0..2), linear (3..5). A
// Jacobian is written row-major into a caller's 6 x nv buffer (element (r, c) at
// out[r * nv + c]); columns of joints that do not move the frame are zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "core/model/model.hpp"
#include "core/spatial/motion.hpp"

namespace velmora {

// The coordinates a frame's velocity, acceleration or Jacobian is given in.
//   World: the spatial velocity: the velocity of the body point that passes through the
//          world origin, in world coordinates.
//   Body:  the frame's own coordinates: angular velocity and the velocity of the frame's
//          origin, both expressed in the frame.
//   Mixed: the frame origin's velocity and the angular velocity in world-aligned axes.
// An acceleration in a representation is the time derivative of the velocity in that
// same representation.
enum class Representation : std::uint8_t { World = 0, Body = 1, Mixed = 2 };

struct KinematicsError {
  enum class Kind {
    Size,          // an array of the wrong size; the message names it
    JointId,       // a joint id out of range
    FrameId,       // a frame id out of range
    Model,         // a model whose records contradict each other (a frame on a missing joint)
    Value,         // a configuration no joint can take (a quaternion without direction)
  };
  Kind kind;
  std::string message;
};

// Forward kinematics that also carries velocities, and accelerations when `a` is given
// : data.v[i] and data.a[i] are joint i's spatial velocity and acceleration
// in its own frame. q, v, a must have exactly nq, nv, nv values; nothing in data changes
// when they do not. Precondition: data_fits_model(model, data).
std::expected<void, KinematicsError> forward_kinematics(const Model& model, Data& data, std::span<const double> q,
                                                        std::span<const double> v,
                                                        std::optional<std::span<const double>> a = {});

// data.oMf[f] = data.oMi[parent joint] * frame placement, for every frame.
std::expected<void, KinematicsError> update_frame_placements(const Model& model, Data& data);
// The world placement of one frame from data.oMi (also stored in data.oMf when it has
// an entry for the frame).
std::expected<SE3, KinematicsError> frame_placement(const Model& model, Data& data, std::size_t frame_id);

// Jacobians at q: 6 x nv into `out`, every element written. They place only the joints
// between the frame and the world, in scratch storage: data is not changed.
std::expected<void, KinematicsError> joint_jacobian(const Model& model, Data& data, std::span<const double> q,
                                                    std::size_t joint_id, Representation rep, double* out);
std::expected<void, KinematicsError> frame_jacobian(const Model& model, Data& data, std::span<const double> q,
                                                    std::size_t frame_id, Representation rep, double* out);
// The time derivative of frame_jacobian along v: d/dt (J v) = J a + Jdot v.
std::expected<void, KinematicsError> frame_jacobian_time_derivative(const Model& model, Data& data,
                                                                    std::span<const double> q,
                                                                    std::span<const double> v, std::size_t frame_id,
                                                                    Representation rep, double* out);

// The frame's velocity J v, and its acceleration: the time derivative of that velocity
// in the same representation (for Mixed, the linear part is the classical acceleration
// of the frame's origin).
std::expected<SpatialMotion, KinematicsError> frame_velocity(const Model& model, Data& data,
                                                             std::span<const double> q, std::span<const double> v,
                                                             std::size_t frame_id, Representation rep);
std::expected<SpatialMotion, KinematicsError> frame_acceleration(const Model& model, Data& data,
                                                                 std::span<const double> q, std::span<const double> v,
                                                                 std::span<const double> a, std::size_t frame_id,
                                                                 Representation rep);

// The sum of the bodies' masses (the universe's included: a body welded to the world
// has weight too).
double total_mass(const Model& model);
// The centre of mass in world coordinates at q (the origin when the model has no mass).
std::expected<Vector3D, KinematicsError> center_of_mass(const Model& model, Data& data, std::span<const double> q);
// The 3 x nv Jacobian of the centre of mass, row-major into `out`.
std::expected<void, KinematicsError> center_of_mass_jacobian(const Model& model, Data& data,
                                                             std::span<const double> q, double* out);

// 1/2 v^T M(q) v, as the sum of the bodies' kinetic energies.
std::expected<double, KinematicsError> kinetic_energy(const Model& model, Data& data, std::span<const double> q,
                                                      std::span<const double> v);
// -sum_i m_i gravity . c_i: zero when the centre of mass is at the world origin.
std::expected<double, KinematicsError> potential_energy(const Model& model, Data& data, std::span<const double> q);

}  // namespace velmora
