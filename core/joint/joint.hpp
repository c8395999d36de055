// Joint models (static description: kind, axis, limits, sizes, transform) and joint
// data (the per-joint workspace of a Data). One-degree-of-freedom kinds: revolute,
// continuous, prismatic; the fixed joint; and the kinds with several degrees of freedom:
// free flyer (any rigid motion), planar (motion in the parent's x-y plane) and spherical
// (any rotation).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/spatial/configuration.hpp"
#include "core/spatial/lie.hpp"
#include "core/spatial/motion.hpp"
#include "core/spatial/random.hpp"
#include "core/spatial/se3.hpp"

namespace velmora {

// Values are stable (callers may store them): new kinds are numbered after the old ones.
// Every kind after Revolute has several degrees of freedom.
enum class JointType : std::uint8_t {
  Continuous = 0,
  Fixed = 1,
  Prismatic = 2,
  Revolute = 3,
  FreeFlyer = 4,
  Planar = 5,
  Spherical = 6,
};

// Configuration layouts of the multi-degree-of-freedom kinds (velocities in the child frame):
//   FreeFlyer  q = (x, y, z, qw, qx, qy, qz), v = (wx, wy, wz, vx, vy, vz)
//   Planar     q = (x, y, cos th, sin th),    v = (wz, vx, vy)
//   Spherical  q = (qw, qx, qy, qz),          v = (wx, wy, wz)
// Where its quaternion starts in the joint's configuration, or -1 for kinds without one.
constexpr int quaternion_offset(JointType kind) {
  return kind == JointType::FreeFlyer ? 3 : kind == JointType::Spherical ? 0 : -1;
}

struct JointLimits {
  Configuration effort, velocity, lower, upper;
  static JointLimits new_unbounded(std::size_t n);
};

struct JointError {
  std::string missing_attribute;  // MissingAttributeError
  std::string debug() const { return "MissingAttributeError(\"" + missing_attribute + "\")"; }
};

// How one joint moves, in the form the hot loops read without virtual calls: its kind,
// its axis (the unit vector a revolute or continuous joint rotates about; for a
// prismatic joint the vector as stored, since it slides by axis * q) and, when a
// rotational joint's unit axis is a coordinate axis or its opposite, which one, so that
// its rotations are elementary ones. The multi-degree-of-freedom kinds have no axis:
// their motion subspace is made of coordinate axes of the child frame.
struct JointMotion {
  JointType kind = JointType::Fixed;
  // 0, 1 or 2 when the unit axis of a rotational joint is +-x, +-y or +-z; -1 otherwise.
  std::int8_t coordinate_axis = -1;
  // -1 when that unit axis is the negative coordinate axis, +1 otherwise.
  double axis_sign = 1;
  Vector3D axis;

  // The motion of a joint of `kind` whose axis is given as `stored_axis` (any length).
  static JointMotion of(JointType kind, const Vector3D& stored_axis);

  bool rotates() const { return kind == JointType::Revolute || kind == JointType::Continuous; }
  // More than one degree of freedom: a free flyer, planar or spherical joint. The hot
  // loops test this once per joint and keep the one-axis code as it is.
  bool multi() const { return kind > JointType::Revolute; }
  std::size_t nq() const {
    if (!multi()) return kind == JointType::Continuous ? 2 : kind == JointType::Fixed ? 0 : 1;
    return kind == JointType::FreeFlyer ? 7 : 4;
  }
  std::size_t nv() const {
    if (!multi()) return kind == JointType::Fixed ? 0 : 1;
    return kind == JointType::FreeFlyer ? 6 : 3;
  }

  // The joint's position for its nq() values at `q` (the caller checks the length). The
  // one-axis kinds' AxisPosition: the cosine and sine of a rotation about the axis, or the
  // displacement of a slide; a continuous joint reads the direction of its (cos, sin)
  // pair. Position adds the whole rotation the multi-degree-of-freedom kinds need (with
  // `displacement` their translation; a quaternion is read normalised, and algorithms
  // refuse one without direction beforehand, see passes::check_configuration). The hot
  // loops branch on multi() once and keep the small AxisPosition for the one-axis kinds.
  struct AxisPosition {
    double c = 1, s = 0;
    Vector3D displacement;
  };
  struct Position : AxisPosition {
    SpatialRotation rotation;
  };
  Position position(const double* q) const;
  // position() of the one-axis kinds and of the multi-degree-of-freedom kinds.
  AxisPosition axis_position(const double* q) const;
  Position multi_position(const double* q) const;
  // The placement of the child side in the parent side at a position (the AxisPosition
  // forms for the one-axis kinds only).
  SE3 placement(const Position& p) const;
  SE3 placement(const AxisPosition& p) const;
  SE3 transform(const double* q) const { return placement(position(q)); }
  // m * placement(p), with only the operations the joint's shape needs (a rotation about
  // a coordinate axis mixes two columns, a slide moves only the translation).
  SE3 after(const SE3& m, const Position& p) const;
  SE3 after(const SE3& m, const AxisPosition& p) const;
  // The motion subspace column of the dynamics: (axis; 0) for rotations, (0; axis) for
  // slides, zero for the fixed joint (column(0) for the multi-degree-of-freedom kinds).
  SpatialMotion subspace() const;
  // Column k < nv() of the joint's motion subspace S, in the joint's own frame, where it
  // is constant for every kind: the joint's velocity is S qd, and its motion adds no
  // velocity-product term of its own (the joint's acceleration is S qdd + v x S qd).
  // The multi-degree-of-freedom kinds' columns are coordinate axes of the child frame:
  // free flyer (e_k; 0) for k < 3, (0; e_k-3) after; spherical (e_k; 0); planar (e_z; 0),
  // (0; e_x), (0; e_y).
  SpatialMotion column(std::size_t k) const {
    if (!multi()) return subspace();
    double x[6] = {0, 0, 0, 0, 0, 0};
    x[row_of_column(k)] = 1;
    return {{x[0], x[1], x[2]}, {x[3], x[4], x[5]}};
  }
  // The element (0..5, angular first) that column k of a multi-degree-of-freedom kind has
  // set to 1: its S is a selection of the identity's columns.
  int row_of_column(std::size_t k) const {
    const int i = static_cast<int>(k);
    if (kind == JointType::Planar) return i == 0 ? 2 : i + 2;
    return i;
  }
  // S x for the nv() values at x, and S^T f into nv() values at out (any kind).
  SpatialMotion subspace_apply(const double* x) const {
    if (!multi()) return subspace() * x[0];
    double m[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t k = 0; k < nv(); ++k) m[row_of_column(k)] = x[k];
    return {{m[0], m[1], m[2]}, {m[3], m[4], m[5]}};
  }
  void subspace_transpose_apply(const SpatialForce& f, double* out) const {
    if (!multi()) {
      out[0] = inner(subspace(), f);
      return;
    }
    const double g[6] = {f.angular.x, f.angular.y, f.angular.z, f.linear.x, f.linear.y, f.linear.z};
    for (std::size_t k = 0; k < nv(); ++k) out[k] = g[row_of_column(k)];
  }

  // Products with the subspace column S, for a joint whose S is known to lie along
  // coordinate axis A (a rotational joint whose coordinate_axis is A), or any joint
  // (A = -1). The values are those of the general products, without their
  // multiplications by 0.
  template <int A>
  SpatialMotion subspace_times(double x) const;  // S x
  template <int A>
  double subspace_dot(const SpatialForce& f) const;  // S^T f
  template <int A>
  double subspace_dot(const SpatialMotion& m) const;  // the sum of the products of S and m
  template <int A>
  SpatialMotion cross_subspace(const SpatialMotion& m, double x) const;  // m x (S x), the motion cross product
};

// Defined here so that the loops of the algorithms inline them.
inline JointMotion::Position JointMotion::position(const double* q) const {
  if (multi()) return multi_position(q);
  Position p;
  static_cast<AxisPosition&>(p) = axis_position(q);
  return p;
}

inline JointMotion::AxisPosition JointMotion::axis_position(const double* q) const {
  switch (kind) {
    case JointType::Fixed: return {};
    case JointType::Prismatic: return {1, 0, axis * q[0]};
    case JointType::Revolute: return {std::cos(q[0]), std::sin(q[0]), {}};
    default: break;
  }
  // The direction of the pair, whatever its length. The plain square root serves every
  // length whose square is a normal number; hypot the tiny and huge ones. A pair of
  // length zero, infinite or NaN goes through its angle instead, which gives the
  // identity for (0, 0).
  const double n2 = q[0] * q[0] + q[1] * q[1];
  const double n = n2 > 0x1p-1000 && n2 < 0x1p1000 ? std::sqrt(n2) : std::hypot(q[0], q[1]);
  if (n > 0 && n < INFINITY) return {q[0] / n, q[1] / n, {}};
  const double angle = std::atan2(q[1], q[0]);
  return {std::cos(angle), std::sin(angle), {}};
}

inline SE3 JointMotion::placement(const Position& p) const {
  if (multi()) return {p.rotation, p.displacement};
  return placement(static_cast<const AxisPosition&>(p));
}

inline SE3 JointMotion::placement(const AxisPosition& p) const {
  switch (kind) {
    case JointType::Fixed: return SE3::identity();
    case JointType::Prismatic: return {SpatialRotation::identity(), p.displacement};
    default: break;
  }
  const double c = p.c, s = axis_sign * p.s;
  switch (coordinate_axis) {
    case 0: return {SpatialRotation::about<0>(c, s), {}};
    case 1: return {SpatialRotation::about<1>(c, s), {}};
    case 2: return {SpatialRotation::about<2>(c, s), {}};
    default: break;
  }
  // The angle 0 is exactly the identity whatever the axis (also one that normalises to NaN).
  if (p.c == 1 && p.s == 0) return SE3::identity();
  return {SpatialRotation::from_unit_axis(axis, p.c, p.s), {}};
}

inline SE3 JointMotion::after(const SE3& m, const Position& p) const {
  if (multi()) return m * SE3{p.rotation, p.displacement};
  return after(m, static_cast<const AxisPosition&>(p));
}

inline SE3 JointMotion::after(const SE3& m, const AxisPosition& p) const {
  switch (kind) {
    case JointType::Fixed: return m;
    case JointType::Prismatic: return m.translated(p.displacement);
    default: break;
  }
  const double c = p.c, s = axis_sign * p.s;
  switch (coordinate_axis) {
    case 0: return {m.rotation.times_about<0>(c, s), m.translation};
    case 1: return {m.rotation.times_about<1>(c, s), m.translation};
    case 2: return {m.rotation.times_about<2>(c, s), m.translation};
    default: break;
  }
  return {m.rotation * placement(p).rotation, m.translation};
}

inline SpatialMotion JointMotion::subspace() const {
  switch (kind) {
    case JointType::Fixed: return SpatialMotion::zero();
    case JointType::Prismatic: return SpatialMotion::from_translational_axis(axis);
    case JointType::Revolute:
    case JointType::Continuous: return SpatialMotion::from_rotational_axis(axis);
    default: return column(0);
  }
}

template <int A>
inline SpatialMotion JointMotion::subspace_times(double x) const {
  if constexpr (A < 0) {
    return subspace() * x;
  } else {
    SpatialMotion out;
    double w[3] = {0, 0, 0};
    w[A] = axis_sign * x;
    out.rotation = {w[0], w[1], w[2]};
    return out;
  }
}

template <int A>
inline double JointMotion::subspace_dot(const SpatialForce& f) const {
  if constexpr (A < 0) return inner(subspace(), f);
  else return axis_sign * f.angular[A];
}

template <int A>
inline double JointMotion::subspace_dot(const SpatialMotion& m) const {
  if constexpr (A < 0) return inner(subspace(), m);
  else return axis_sign * m.rotation[A];
}

template <int A>
inline SpatialMotion JointMotion::cross_subspace(const SpatialMotion& m, double x) const {
  if constexpr (A < 0) {
    return cross_motion(m, subspace() * x);
  } else {
    // u x (y e_A) has y u[j] at i and -y u[i] at j, for i, j the other two axes in turn.
    constexpr int i = (A + 1) % 3, j = (A + 2) % 3;
    const double y = axis_sign * x;
    double w[3] = {0, 0, 0}, v[3] = {0, 0, 0};
    w[i] = y * m.rotation[j], w[j] = -(y * m.rotation[i]);
    v[i] = y * m.translation[j], v[j] = -(y * m.translation[i]);
    return {{w[0], w[1], w[2]}, {v[0], v[1], v[2]}};
  }
}

class JointData;

class JointModel {
 public:
  virtual ~JointModel() = default;
  virtual JointType get_joint_type() const = 0;
  virtual std::unique_ptr<JointModel> clone_box() const = 0;
  virtual std::size_t nq() const = 0;
  virtual std::size_t nv() const = 0;
  virtual Configuration neutral() const = 0;
  virtual std::unique_ptr<JointData> create_joint_data() const = 0;
  // One motion axis per velocity coordinate; empty for the fixed joint.
  virtual std::vector<SpatialMotion> get_axis() const { return {}; }
  // The only entry of get_axis() when it has exactly one, without building the list:
  // what the joint data updates read on the hot path.
  virtual std::optional<SpatialMotion> single_axis() const { return std::nullopt; }
  // Random configuration within the limits; an error names the coordinate whose limits
  // cannot be sampled.
  virtual std::expected<Configuration, RandomLimitsError> random_configuration(Rng& rng) const = 0;
  // The placement of the child side relative to the parent side for q (nq values).
  virtual SE3 transform(std::span<const double> q) const = 0;

  // Limits of the kinds that have them; null for the fixed joint.
  virtual const JointLimits* limits() const { return nullptr; }
  virtual JointLimits* limits_mut() { return nullptr; }

  // The motion subspace column of a one-degree-of-freedom joint, as used by the
  // dynamics: the unit axis for revolute and continuous joints (their transform
  // rotates about it), the stored axis for prismatic ones (they translate by axis * q).
  // Zero for the fixed joint.
  virtual SpatialMotion motion_subspace() const { return SpatialMotion::zero(); }

  // The kind and axis in the form the algorithms read; its nq() and nv() are the
  // joint's own.
  virtual JointMotion motion() const = 0;
};

class JointData {
 public:
  virtual ~JointData() = default;
  const SE3& get_joint_placement() const { return placement_; }
  // What forward kinematics stores after computing the joint's placement for q itself.
  void set_joint_placement(const SE3& placement) { placement_ = placement; }
  // Requires q to hold the model's nq values; fails when the model is of another kind.
  virtual std::expected<void, JointError> update(const JointModel& model, std::span<const double> q) = 0;
  // The kind of joint model that made this data (stored, since every algorithm call
  // checks it against the model).
  JointType kind() const { return kind_; }
  virtual std::unique_ptr<JointData> clone_box() const = 0;

 protected:
  explicit JointData(JointType kind) : kind_(kind) {}
  JointData(const JointData&) = default;
  JointData& operator=(const JointData&) = default;
  SE3 placement_;

 private:
  JointType kind_;
};

// The kinds. Axes are stored as given (not normalised).
std::unique_ptr<JointModel> make_revolute(const Vector3D& axis);
std::unique_ptr<JointModel> make_continuous(const Vector3D& axis);
std::unique_ptr<JointModel> make_prismatic(const Vector3D& axis);
std::unique_ptr<JointModel> make_fixed();
// The multi-degree-of-freedom kinds. Their position limits cover the whole configuration
// (nq entries); the translation entries of the free flyer and planar joints default to
// [-1, 1] m and bound their random configurations, the rotation entries (quaternion,
// cos and sin) are [-1.01, 1.01] and play no part in sampling.
std::unique_ptr<JointModel> make_free_flyer();
std::unique_ptr<JointModel> make_planar();
std::unique_ptr<JointModel> make_spherical();

}  // namespace velmora
