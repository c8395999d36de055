// Partial derivatives of inverse and forward dynamics with respect to the state, by
// recursions over the joint tree (no finite differences).
//
// Derivatives with respect to q are taken along the tangent space: coordinate j of the
// derivative moves the child frame of its joint along column j of the joint's motion
// subspace (a continuous joint by its angle, so its (cos, sin) pair moves along the circle).
// Matrices are written row-major, nv x nv, into the caller's storage: element (k, j) at
// [k * nv + j] is the derivative of entry k of the result by coordinate j.
#pragma once

#include <expected>
#include <span>

#include "core/algorithms/algorithms.hpp"
#include "core/model/model.hpp"

namespace velmora {

// The derivatives of tau = rnea(q, v, a) by q and by v, and the mass matrix (its
// derivative by a). q, v, a exactly nq, nv, nv long; each output nv * nv long.
std::expected<void, DynamicsError> rnea_derivatives(const Model& model, std::span<const double> q,
                                                    std::span<const double> v, std::span<const double> a,
                                                    std::span<double> dtau_dq, std::span<double> dtau_dv,
                                                    std::span<double> mass_matrix);

// The derivatives of ddq = aba(q, v, tau) by q and by v, and the inverse of the mass
// matrix (its derivative by tau): -M^-1 times the inverse-dynamics derivatives at a = ddq.
// Refuses a mass matrix that is singular or not positive definite, as aba refuses a
// singular articulated inertia.
std::expected<void, DynamicsError> aba_derivatives(const Model& model, std::span<const double> q,
                                                   std::span<const double> v, std::span<const double> tau,
                                                   std::span<double> dddq_dq, std::span<double> dddq_dv,
                                                   std::span<double> inverse_mass_matrix);

}  // namespace velmora
