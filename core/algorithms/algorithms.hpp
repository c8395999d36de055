// Whole-model algorithms, one file per family in core/algorithms: forward kinematics,
// neutral and random configurations, configuration-space operations, inverse and forward
// dynamics.
#pragma once

#include <expected>
#include <span>
#include <string>

#include "core/model/model.hpp"
#include "core/spatial/configuration.hpp"

namespace velmora {

// Updates every joint data from its slice of q and rebuilds data.oMi.
// Precondition: data_fits_model(model, data).
std::expected<void, ConfigurationError> forward_kinematics(const Model& model, Data& data,
                                                           std::span<const double> q);

std::expected<Configuration, ConfigurationError> neutral(const Model& model);

// Error text names the joint whose limits cannot be sampled.
std::expected<Configuration, std::string> random_configuration(const Model& model, Rng& rng);

// The configuration space (configuration_space.cpp). Every q is exactly nq long, every v
// nv; quaternions are read normalised and refused without a direction.
// q exp(v): each joint moved for unit time at its velocity v (child-frame velocities).
std::expected<Configuration, ConfigurationError> integrate(const Model& model, std::span<const double> q,
                                                           std::span<const double> v);
// The v with integrate(q0, v) == q1, rotations taken the shorter way round.
std::expected<Configuration, ConfigurationError> difference(const Model& model, std::span<const double> q0,
                                                            std::span<const double> q1);
// integrate(q0, t difference(q0, q1)).
std::expected<Configuration, ConfigurationError> interpolate(const Model& model, std::span<const double> q0,
                                                             std::span<const double> q1, double t);
// q with every quaternion and (cos, sin) pair scaled to unit length.
std::expected<Configuration, ConfigurationError> normalize(const Model& model, std::span<const double> q);

// Errors of the dynamics: wrong sizes (with the configuration error's text), or a
// singular articulated inertia in forward dynamics.
struct DynamicsError {
  std::string message;
};

// tau = M(q) a + C(q, v) v + g(q) by recursive Newton-Euler. q, v, a at least nq, nv, nv long.
std::expected<Configuration, DynamicsError> rnea(const Model& model, std::span<const double> q,
                                                 std::span<const double> v, std::span<const double> a);
// Joint accelerations for efforts tau by the articulated-body algorithm.
std::expected<Configuration, DynamicsError> aba(const Model& model, std::span<const double> q,
                                                std::span<const double> v, std::span<const double> tau);
// The same two into the nv values at out, which may share memory with the inputs (every
// input is read before out is written) and is left as it was when the call fails.
std::expected<void, DynamicsError> rnea(const Model& model, std::span<const double> q, std::span<const double> v,
                                        std::span<const double> a, double* out);
std::expected<void, DynamicsError> aba(const Model& model, std::span<const double> q, std::span<const double> v,
                                       std::span<const double> tau, double* out);

}  // namespace velmora
