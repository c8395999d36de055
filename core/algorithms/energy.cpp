// Kinetic and potential energy of the whole robot.
#include "core/algorithms/kinematics_passes.hpp"

namespace velmora {

using namespace kin;

std::expected<double, KinematicsError> kinetic_energy(const Model& model, Data& data, std::span<const double> q,
                                                      std::span<const double> v) {
  if (auto ok = check_state(model, q, v, true, {}, false); !ok) return std::unexpected(ok.error());
  propagate(model, data, q, v, true, {}, false);
  // Each body: 1/2 m |u + w x c|^2 + 1/2 w . Ic w, for its velocity (w; u) in its own
  // frame, centre of mass c and rotational inertia Ic about that centre.
  double energy = 0;
  for (std::size_t i = 1; i < model.njoints(); ++i) {
    const Inertia& body = model.inertias[i];
    const SpatialMotion& vi = data.v[i];
    const Vector3D centre_velocity = vi.translation + cross(vi.rotation, body.com);
    energy += body.mass * centre_velocity.dot(centre_velocity) + vi.rotation.dot(body.inertia * vi.rotation);
  }
  return 0.5 * energy;
}

std::expected<double, KinematicsError> potential_energy(const Model& model, Data& data, std::span<const double> q) {
  if (auto ok = check_state(model, q, {}, false, {}, false); !ok) return std::unexpected(ok.error());
  propagate(model, data, q, {}, false, {}, false);
  double energy = 0;
  for (std::size_t i = 0; i < model.njoints(); ++i) {
    const Inertia& body = model.inertias[i];
    energy -= body.mass * model.gravity.dot(data.oMi[i].act(body.com));
  }
  return energy;
}

}  // namespace velmora
