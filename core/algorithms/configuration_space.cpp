// The configuration space as a product of each joint's group: integrate moves q along a
// velocity v for unit time by the exact exponential of each group (vector addition for
// revolute and prismatic joints, a turn for continuous joints, SO(3) for spherical,
// SE(2) for planar and SE(3) for free-flyer joints, always with the velocity in the
// child frame, so that q' = q exp(v)); difference is its inverse (the logarithm of
// q0^-1 q1, the shorter way round for rotations); interpolate walks that path; normalize
// gives every quaternion and (cos, sin) pair unit length.
#include <cmath>

#include "core/algorithms/passes.hpp"

namespace velmora {

namespace {

using Error = std::unexpected<ConfigurationError>;

// The direction of a (cos, sin) pair as the joints read it.
void unit_pair(const double* q, double& c, double& s) {
  const JointMotion::AxisPosition p = JointMotion::of(JointType::Continuous, Vector3D::unit_z()).axis_position(q);
  c = p.c, s = p.s;
}

// (c, s) turned by the angle t.
void turn(double c, double s, double t, double* out) {
  const double ct = std::cos(t), st = std::sin(t);
  out[0] = c * ct - s * st;
  out[1] = s * ct + c * st;
}

// The angle from the direction (c0, s0) to (c1, s1), in [-pi, pi].
double angle_between(const double* q0, const double* q1) {
  double c0, s0, c1, s1;
  unit_pair(q0, c0, s0);
  unit_pair(q1, c1, s1);
  return std::atan2(c0 * s1 - s0 * c1, c0 * c1 + s0 * s1);
}

// One joint's part: q' = q exp(v) into out (nq values).
void integrate_joint(const JointMotion& m, const double* q, const double* v, double* out) {
  switch (m.kind) {
    case JointType::Fixed: return;
    case JointType::Revolute:
    case JointType::Prismatic: out[0] = q[0] + v[0]; return;
    case JointType::Continuous: {
      double c, s;
      unit_pair(q, c, s);
      turn(c, s, v[0], out);
      return;
    }
    case JointType::Spherical:
      (Quaternion::from(q).normalised() * quaternion_exp({v[0], v[1], v[2]})).normalised().store(out);
      return;
    case JointType::FreeFlyer: {
      const Quaternion r = Quaternion::from(q + 3).normalised();
      const Vector3D w{v[0], v[1], v[2]};
      const Vector3D p = Vector3D{q[0], q[1], q[2]} + r.rotation() * so3_left_jacobian_times(w, {v[3], v[4], v[5]});
      out[0] = p.x, out[1] = p.y, out[2] = p.z;
      (r * quaternion_exp(w)).normalised().store(out + 3);
      return;
    }
    case JointType::Planar: {
      double c, s, A, B;
      unit_pair(q + 2, c, s);
      se2_coefficients(v[0], A, B);
      const double dx = A * v[1] - B * v[2], dy = B * v[1] + A * v[2];  // in the starting frame
      out[0] = q[0] + c * dx - s * dy;
      out[1] = q[1] + s * dx + c * dy;
      turn(c, s, v[0], out + 2);
      return;
    }
  }
}

// One joint's part of the velocity that takes q0 to q1 in unit time (nv values).
void difference_joint(const JointMotion& m, const double* q0, const double* q1, double* out) {
  switch (m.kind) {
    case JointType::Fixed: return;
    case JointType::Revolute:
    case JointType::Prismatic: out[0] = q1[0] - q0[0]; return;
    case JointType::Continuous: out[0] = angle_between(q0, q1); return;
    case JointType::Spherical: {
      const Vector3D w =
          quaternion_log(Quaternion::from(q0).normalised().conjugate() * Quaternion::from(q1).normalised());
      out[0] = w.x, out[1] = w.y, out[2] = w.z;
      return;
    }
    case JointType::FreeFlyer: {
      const Quaternion r0 = Quaternion::from(q0 + 3).normalised();
      const Vector3D w = quaternion_log(r0.conjugate() * Quaternion::from(q1 + 3).normalised());
      const Vector3D p = r0.rotation().transpose_mul(Vector3D{q1[0] - q0[0], q1[1] - q0[1], q1[2] - q0[2]});
      const Vector3D u = so3_left_jacobian_inverse_times(w, p);
      out[0] = w.x, out[1] = w.y, out[2] = w.z, out[3] = u.x, out[4] = u.y, out[5] = u.z;
      return;
    }
    case JointType::Planar: {
      double c, s, A, B;
      unit_pair(q0 + 2, c, s);
      const double t = angle_between(q0 + 2, q1 + 2);
      const double gx = q1[0] - q0[0], gy = q1[1] - q0[1];
      const double px = c * gx + s * gy, py = c * gy - s * gx;  // in the starting frame
      se2_coefficients(t, A, B);
      const double d = A * A + B * B;  // the determinant of [[A, -B], [B, A]], positive for |t| < 2 pi
      out[0] = t;
      out[1] = (A * px + B * py) / d;
      out[2] = (A * py - B * px) / d;
      return;
    }
  }
}

std::expected<void, ConfigurationError> check_size(const char* name, std::size_t expected, std::size_t got) {
  if (expected != got) return Error(ConfigurationError::parameter_size(name, expected, got));
  return {};
}

std::expected<void, ConfigurationError> check_model_and_q(const Model& model, const char* name,
                                                          std::span<const double> q) {
  if (auto ok = check_size(name, model.nq, q.size()); !ok) return ok;
  if (!model.steps_agree()) return Error(ConfigurationError::parameter_size(name, model.steps_nq(), q.size()));
  if (auto ok = passes::check_configuration(model, q.data()); !ok)
    return Error(ConfigurationError::invalid_value(std::move(ok.error())));
  return {};
}

}  // namespace

std::expected<Configuration, ConfigurationError> integrate(const Model& model, std::span<const double> q,
                                                           std::span<const double> v) {
  if (auto ok = check_model_and_q(model, "q", q); !ok) return Error(ok.error());
  if (auto ok = check_size("v", model.nv, v.size()); !ok) return Error(ok.error());
  Configuration out = Configuration::zeros(model.nq);
  for (const JointStep& step : model.steps())
    integrate_joint(step.motion, q.data() + step.idx_q, v.data() + step.idx_v, out.data() + step.idx_q);
  return out;
}

std::expected<Configuration, ConfigurationError> difference(const Model& model, std::span<const double> q0,
                                                            std::span<const double> q1) {
  if (auto ok = check_model_and_q(model, "q0", q0); !ok) return Error(ok.error());
  if (auto ok = check_model_and_q(model, "q1", q1); !ok) return Error(ok.error());
  Configuration out = Configuration::zeros(model.nv);
  for (const JointStep& step : model.steps())
    difference_joint(step.motion, q0.data() + step.idx_q, q1.data() + step.idx_q, out.data() + step.idx_v);
  return out;
}

std::expected<Configuration, ConfigurationError> interpolate(const Model& model, std::span<const double> q0,
                                                             std::span<const double> q1, double t) {
  auto v = difference(model, q0, q1);
  if (!v) return v;
  // Revolute and prismatic coordinates directly, so that t = 0 and t = 1 give q0 and q1
  // exactly there; the other kinds along the exponential.
  Configuration out = Configuration::zeros(model.nq);
  for (const JointStep& step : model.steps()) {
    const double* a = q0.data() + step.idx_q;
    double* o = out.data() + step.idx_q;
    if (step.motion.kind == JointType::Revolute || step.motion.kind == JointType::Prismatic) {
      o[0] = t == 1 ? q1[step.idx_q] : a[0] + t * (*v)[step.idx_v];
      continue;
    }
    double scaled[6];
    for (std::size_t k = 0; k < step.motion.nv(); ++k) scaled[k] = t * (*v)[step.idx_v + k];
    integrate_joint(step.motion, a, scaled, o);
  }
  return out;
}

std::expected<Configuration, ConfigurationError> normalize(const Model& model, std::span<const double> q) {
  if (auto ok = check_model_and_q(model, "q", q); !ok) return Error(ok.error());
  Configuration out = Configuration::from_row_slice(q.first(model.nq));
  for (const JointStep& step : model.steps()) {
    double* o = out.data() + step.idx_q;
    if (const int k = quaternion_offset(step.motion.kind); k >= 0) {
      Quaternion::from(o + k).normalised().store(o + k);
    } else if (step.motion.kind == JointType::Continuous || step.motion.kind == JointType::Planar) {
      double* pair = step.motion.kind == JointType::Planar ? o + 2 : o;
      unit_pair(pair, pair[0], pair[1]);
    }
  }
  return out;
}

}  // namespace velmora
