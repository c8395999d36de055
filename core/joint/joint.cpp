#include "core/joint/joint.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace velmora {

JointLimits JointLimits::new_unbounded(std::size_t n) {
  return {Configuration::from_element(n, INFINITY), Configuration::from_element(n, INFINITY),
          Configuration::from_element(n, -INFINITY), Configuration::from_element(n, INFINITY)};
}

namespace {

// A broken caller contract (a configuration slice of the wrong length). The algorithms
// slice by nq() after checking the total length, so this is never reached from input.
[[noreturn]] void fatal(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  std::abort();
}

// The axis normalised as SpatialRotation::from_axis_angle normalises it, so that the
// motion subspace is the very vector the transform rotates about.
Vector3D unit(const Vector3D& a) {
  const double n = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
  return {a.x / n, a.y / n, a.z / n};
}

// ------------------------------------------------------------------------- joint data

template <JointType Kind>
class JointDataOf final : public JointData {
 public:
  JointDataOf() : JointData(Kind) {}
  std::unique_ptr<JointData> clone_box() const override { return std::make_unique<JointDataOf>(*this); }

  std::expected<void, JointError> update(const JointModel& model, std::span<const double> q) override {
    if constexpr (Kind == JointType::Fixed) {
      (void)model;
      (void)q;
      return {};
    } else if constexpr (Kind > JointType::Revolute) {
      const JointMotion motion = JointMotion::of(Kind, {});
      if (q.size() != motion.nq()) fatal("Joint data update expects the joint's configuration size.");
      if (model.get_joint_type() != Kind) return std::unexpected(JointError{"joint kind"});
      // A quaternion without direction gives no placement; the algorithms refuse it first.
      if (const int k = quaternion_offset(Kind); k >= 0 && !Quaternion::from(q.data() + k).normalisable())
        return std::unexpected(JointError{"quaternion"});
      placement_ = motion.transform(q.data());
      return {};
    } else {
      if constexpr (Kind == JointType::Revolute) {
        if (q.size() != 1) fatal("Revolute joint model expects a single angle.");
      } else if constexpr (Kind == JointType::Continuous) {
        if (q.size() != 2) fatal("Continuous joint model expects two values (cosine and sine).");
      } else {
        if (q.size() != 1) fatal("Prismatic joint data update expects a single position value.");
      }
      const std::optional<SpatialMotion> axis = model.single_axis();
      if (!axis) return std::unexpected(JointError{"axis"});
      // The formula of this data's kind with the model's axis.
      const Vector3D& stored = Kind == JointType::Prismatic ? axis->translation : axis->rotation;
      placement_ = JointMotion::of(Kind, stored).transform(q.data());
      return {};
    }
  }
};

// ------------------------------------------------------------------------ joint models

// What the three one-axis kinds share: an axis stored as given and position limits.
class AxisJoint : public JointModel {
 public:
  AxisJoint(JointType kind, const Vector3D& axis, JointLimits limits)
      : axis_(axis), motion_(JointMotion::of(kind, axis)), limits_(std::move(limits)) {}
  std::size_t nv() const override { return 1; }
  std::vector<SpatialMotion> get_axis() const override { return {*single_axis()}; }
  const JointLimits* limits() const override { return &limits_; }
  JointLimits* limits_mut() override { return &limits_; }
  SpatialMotion motion_subspace() const override { return motion_.subspace(); }
  JointMotion motion() const override { return motion_; }

 protected:
  Vector3D axis_;
  JointMotion motion_;
  JointLimits limits_;
};

class Revolute final : public AxisJoint {
 public:
  explicit Revolute(const Vector3D& axis) : AxisJoint(JointType::Revolute, axis, JointLimits::new_unbounded(1)) {}
  JointType get_joint_type() const override { return JointType::Revolute; }
  std::unique_ptr<JointModel> clone_box() const override { return std::make_unique<Revolute>(*this); }
  std::size_t nq() const override { return 1; }
  Configuration neutral() const override { return Configuration::zeros(1); }
  std::unique_ptr<JointData> create_joint_data() const override {
    return std::make_unique<JointDataOf<JointType::Revolute>>();
  }
  std::optional<SpatialMotion> single_axis() const override { return SpatialMotion::from_rotational_axis(axis_); }
  std::expected<Configuration, RandomLimitsError> random_configuration(Rng& rng) const override {
    return Configuration::random(1, rng, limits_.lower, limits_.upper);
  }
  SE3 transform(std::span<const double> q) const override {
    if (q.size() != 1) fatal("Revolute joint model expects a single angle.");
    return motion_.transform(q.data());
  }
};

class Continuous final : public AxisJoint {
 public:
  explicit Continuous(const Vector3D& axis) : AxisJoint(JointType::Continuous, axis, bounded()) {}
  JointType get_joint_type() const override { return JointType::Continuous; }
  std::unique_ptr<JointModel> clone_box() const override { return std::make_unique<Continuous>(*this); }
  std::size_t nq() const override { return 2; }
  Configuration neutral() const override { return Configuration(std::vector<double>{1.0, 0.0}); }
  std::unique_ptr<JointData> create_joint_data() const override {
    return std::make_unique<JointDataOf<JointType::Continuous>>();
  }
  std::optional<SpatialMotion> single_axis() const override { return SpatialMotion::from_rotational_axis(axis_); }
  // A uniform angle in [0, 2 pi); the limits play no part.
  std::expected<Configuration, RandomLimitsError> random_configuration(Rng& rng) const override {
    const double theta = rng.uniform() * (2 * std::numbers::pi) + 0.0;
    return Configuration(std::vector<double>{std::cos(theta), std::sin(theta)});
  }
  SE3 transform(std::span<const double> q) const override {
    if (q.size() != 2) fatal("Continuous joint model expects two values (cosine and sine).");
    return motion_.transform(q.data());
  }

 private:
  // The (cos, sin) pair stays within the unit square, with a little slack for rounding.
  static JointLimits bounded() {
    JointLimits l = JointLimits::new_unbounded(2);
    l.lower = Configuration::from_element(2, -1.01);
    l.upper = Configuration::from_element(2, 1.01);
    return l;
  }
};

class Prismatic final : public AxisJoint {
 public:
  explicit Prismatic(const Vector3D& axis) : AxisJoint(JointType::Prismatic, axis, JointLimits::new_unbounded(1)) {}
  JointType get_joint_type() const override { return JointType::Prismatic; }
  std::unique_ptr<JointModel> clone_box() const override { return std::make_unique<Prismatic>(*this); }
  std::size_t nq() const override { return 1; }
  Configuration neutral() const override { return Configuration::zeros(1); }
  std::unique_ptr<JointData> create_joint_data() const override {
    return std::make_unique<JointDataOf<JointType::Prismatic>>();
  }
  std::optional<SpatialMotion> single_axis() const override {
    return SpatialMotion::from_translational_axis(axis_);
  }
  std::expected<Configuration, RandomLimitsError> random_configuration(Rng& rng) const override {
    return Configuration::random(1, rng, limits_.lower, limits_.upper);
  }
  // The slice length is checked here as in the data update: reading q[0] of an empty
  // slice would read outside the caller's vector.
  SE3 transform(std::span<const double> q) const override {
    if (q.size() != 1) fatal("Prismatic joint model expects a single position value.");
    return motion_.transform(q.data());
  }
};

class Fixed final : public JointModel {
 public:
  JointType get_joint_type() const override { return JointType::Fixed; }
  std::unique_ptr<JointModel> clone_box() const override { return std::make_unique<Fixed>(); }
  std::size_t nq() const override { return 0; }
  std::size_t nv() const override { return 0; }
  Configuration neutral() const override { return {}; }
  std::unique_ptr<JointData> create_joint_data() const override {
    return std::make_unique<JointDataOf<JointType::Fixed>>();
  }
  std::expected<Configuration, RandomLimitsError> random_configuration(Rng&) const override { return {}; }
  JointMotion motion() const override { return {}; }
  SE3 transform(std::span<const double> q) const override {
    if (!q.empty()) fatal("Fixed joint model expects no configuration.");
    return SE3::identity();
  }
};

// What the multi-degree-of-freedom kinds share: sizes from their motion, position limits
// over the whole configuration, and the columns of their motion subspace as axes.
template <JointType Kind>
class MultiJoint final : public JointModel {
 public:
  MultiJoint() : limits_(default_limits()) {}
  JointType get_joint_type() const override { return Kind; }
  std::unique_ptr<JointModel> clone_box() const override { return std::make_unique<MultiJoint>(*this); }
  std::size_t nq() const override { return motion_.nq(); }
  std::size_t nv() const override { return motion_.nv(); }
  Configuration neutral() const override {
    Configuration q = Configuration::zeros(nq());
    if (const int k = quaternion_offset(Kind); k >= 0) q[static_cast<std::size_t>(k)] = 1;  // qw
    if (Kind == JointType::Planar) q[2] = 1;                                                 // cos
    return q;
  }
  std::unique_ptr<JointData> create_joint_data() const override { return std::make_unique<JointDataOf<Kind>>(); }
  std::vector<SpatialMotion> get_axis() const override {
    std::vector<SpatialMotion> axes;
    for (std::size_t k = 0; k < nv(); ++k) axes.push_back(motion_.column(k));
    return axes;
  }
  // Translations uniform within the limits, rotations uniform over all rotations.
  std::expected<Configuration, RandomLimitsError> random_configuration(Rng& rng) const override {
    const std::size_t translations = Kind == JointType::FreeFlyer ? 3 : Kind == JointType::Planar ? 2 : 0;
    Configuration q = Configuration::zeros(nq());
    for (std::size_t i = 0; i < translations; ++i) {
      const double lo = limits_.lower[i], hi = limits_.upper[i];
      if (lo == hi) {
        q[i] = lo;
        continue;
      }
      if (!(lo < hi) || !std::isfinite(hi - lo)) return std::unexpected(RandomLimitsError{i, lo, hi});
      q[i] = lo + (hi - lo) * rng.uniform();
    }
    if (Kind == JointType::Planar) {
      const double theta = rng.uniform() * (2 * std::numbers::pi);
      q[2] = std::cos(theta), q[3] = std::sin(theta);
    } else {
      // Shoemake's construction: a unit quaternion uniformly distributed on the sphere.
      const double u1 = rng.uniform(), a = 2 * std::numbers::pi * rng.uniform(), b = 2 * std::numbers::pi * rng.uniform();
      const double r1 = std::sqrt(1 - u1), r2 = std::sqrt(u1);
      const Quaternion r{r2 * std::cos(b), r1 * std::sin(a), r1 * std::cos(a), r2 * std::sin(b)};
      r.store(q.data() + quaternion_offset(Kind));
    }
    return q;
  }
  SE3 transform(std::span<const double> q) const override {
    if (q.size() != nq()) fatal("Joint model given a configuration of another size.");
    return motion_.transform(q.data());
  }
  const JointLimits* limits() const override { return &limits_; }
  JointLimits* limits_mut() override { return &limits_; }
  JointMotion motion() const override { return motion_; }

 private:
  static JointLimits default_limits() {
    const JointMotion m = JointMotion::of(Kind, {});
    JointLimits l = JointLimits::new_unbounded(m.nq());
    l.effort = Configuration::from_element(m.nv(), INFINITY);
    l.velocity = Configuration::from_element(m.nv(), INFINITY);
    const std::size_t translations = Kind == JointType::FreeFlyer ? 3 : Kind == JointType::Planar ? 2 : 0;
    for (std::size_t i = 0; i < m.nq(); ++i) {
      l.lower[i] = i < translations ? -1.0 : -1.01;
      l.upper[i] = i < translations ? 1.0 : 1.01;
    }
    return l;
  }
  JointMotion motion_ = JointMotion::of(Kind, {});
  JointLimits limits_;
};

}  // namespace

JointMotion::Position JointMotion::multi_position(const double* q) const {
  Position p;
  switch (kind) {
    case JointType::FreeFlyer:
      p.displacement = {q[0], q[1], q[2]};
      p.rotation = Quaternion::from(q + 3).normalised().rotation();
      break;
    case JointType::Spherical:
      p.rotation = Quaternion::from(q).normalised().rotation();
      break;
    case JointType::Planar: {
      // The turn reads its (cos, sin) pair as a continuous joint does.
      const JointMotion turn = JointMotion::of(JointType::Continuous, Vector3D::unit_z());
      const AxisPosition t = turn.axis_position(q + 2);
      p.c = t.c, p.s = t.s;
      p.displacement = {q[0], q[1], 0};
      p.rotation = SpatialRotation::about<2>(t.c, t.s);
      break;
    }
    default: break;
  }
  return p;
}

// ----------------------------------------------------------------------- joint motion

JointMotion JointMotion::of(JointType kind, const Vector3D& stored_axis) {
  JointMotion m;
  m.kind = kind;
  if (kind == JointType::Prismatic) {
    m.axis = stored_axis;
  } else if (kind != JointType::Fixed && !m.multi()) {
    m.axis = unit(stored_axis);
    for (int k = 0; k < 3; ++k) {
      const Vector3D e = k == 0 ? Vector3D::unit_x() : k == 1 ? Vector3D::unit_y() : Vector3D::unit_z();
      if (m.axis == e || m.axis == -e) {
        m.coordinate_axis = static_cast<std::int8_t>(k);
        m.axis_sign = m.axis == e ? 1.0 : -1.0;
      }
    }
  }
  return m;
}

std::unique_ptr<JointModel> make_revolute(const Vector3D& axis) { return std::make_unique<Revolute>(axis); }
std::unique_ptr<JointModel> make_continuous(const Vector3D& axis) { return std::make_unique<Continuous>(axis); }
std::unique_ptr<JointModel> make_prismatic(const Vector3D& axis) { return std::make_unique<Prismatic>(axis); }
std::unique_ptr<JointModel> make_fixed() { return std::make_unique<Fixed>(); }
std::unique_ptr<JointModel> make_free_flyer() { return std::make_unique<MultiJoint<JointType::FreeFlyer>>(); }
std::unique_ptr<JointModel> make_planar() { return std::make_unique<MultiJoint<JointType::Planar>>(); }
std::unique_ptr<JointModel> make_spherical() { return std::make_unique<MultiJoint<JointType::Spherical>>(); }

}  // namespace velmora
