// The byte form of models, geometry and spatial values (layout in serialization.hpp).
// Models are rebuilt joint by joint through Model::add_joint, so that every record the
// algorithms read is derived again exactly as when the model was first made; the
// numbers that add_joint does not derive (inertias, frames, gravity) are restored as
// stored.
#include "core/serialization/serialization.hpp"

#include <bit>
#include <cstring>

namespace velmora::serial {

namespace {

constexpr char kMagic[8] = {'V', 'E', 'L', 'M', 'O', 'R', 'A', '\0'};

class Writer {
 public:
  explicit Writer(Kind kind) {
    out_.append(kMagic, sizeof kMagic);
    u32(kFormatVersion);
    u8(static_cast<std::uint8_t>(kind));
  }
  void u8(std::uint8_t x) { out_.push_back(static_cast<char>(x)); }
  void u32(std::uint32_t x) {
    for (int k = 0; k < 4; ++k) u8(static_cast<std::uint8_t>(x >> (8 * k)));
  }
  void u64(std::uint64_t x) {
    for (int k = 0; k < 8; ++k) u8(static_cast<std::uint8_t>(x >> (8 * k)));
  }
  void f64(double x) { u64(std::bit_cast<std::uint64_t>(x)); }
  void f32(float x) { u32(std::bit_cast<std::uint32_t>(x)); }
  void str(const std::string& s) {
    u64(s.size());
    out_ += s;
  }
  void vec3(const Vector3D& v) { f64(v.x), f64(v.y), f64(v.z); }
  void se3(const SE3& x) {
    for (int k = 0; k < 9; ++k) f64(x.rotation.m[k]);
    vec3(x.translation);
  }
  void inertia(const Inertia& i) {
    f64(i.mass);
    vec3(i.com);
    for (double d : i.inertia.data) f64(d);
  }
  void doubles(const Configuration& c) {
    u64(c.len());
    for (double d : c.values()) f64(d);
  }
  void frame(const Frame& f) {
    str(f.name);
    u64(f.parent_joint);
    u64(f.parent_frame);
    se3(f.placement);
    u8(static_cast<std::uint8_t>(f.frame_type));
    inertia(f.inertia);
  }
  std::expected<void, std::string> shape(const Shape& s) {
    const ShapeType type = s.get_shape_type();
    u8(static_cast<std::uint8_t>(type));
    switch (type) {
      case ShapeType::Sphere: f32(static_cast<const Sphere&>(s).radius); return {};
      case ShapeType::Cuboid:
        for (float h : static_cast<const Cuboid&>(s).half_extents) f32(h);
        return {};
      case ShapeType::Cylinder: return axial(static_cast<const Cylinder&>(s));
      case ShapeType::Cone: return axial(static_cast<const Cone&>(s));
      case ShapeType::Capsule: return axial(static_cast<const Capsule&>(s));
      case ShapeType::Mesh: {
        const Mesh& mesh = static_cast<const Mesh&>(s);
        str(mesh.path);
        for (double x : mesh.scale) f64(x);
        return {};
      }
    }
    return std::unexpected("a shape of kind " + std::to_string(static_cast<int>(type)) + " has no byte form");
  }
  std::expected<void, std::string> object(const GeometryObject& o) {
    str(o.name);
    u64(o.parent_joint);
    u64(o.parent_frame);
    for (double c : o.mesh_color.rgba) f64(c);
    se3(o.placement);
    u8(o.disable_collision ? 1 : 0);
    u8(o.geometry ? 1 : 0);
    if (o.geometry) return shape(*o.geometry);
    return {};
  }
  std::expected<void, std::string> joint(const JointModel& j) {
    const JointType kind = j.get_joint_type();
    u8(static_cast<std::uint8_t>(kind));
    switch (kind) {
      case JointType::Fixed: return {};
      case JointType::FreeFlyer:
      case JointType::Planar:
      case JointType::Spherical: limits(j.limits()); return {};
      case JointType::Revolute:
      case JointType::Continuous:
      case JointType::Prismatic: {
        const auto axes = j.get_axis();
        if (axes.size() != 1) break;
        vec3(kind == JointType::Prismatic ? axes[0].translation : axes[0].rotation);
        limits(j.limits());
        return {};
      }
    }
    return std::unexpected("a joint of kind " + std::to_string(static_cast<int>(kind)) + " has no byte form");
  }
  void limits(const JointLimits* l) {
    u8(l ? 1 : 0);
    if (!l) return;
    doubles(l->effort);
    doubles(l->velocity);
    doubles(l->lower);
    doubles(l->upper);
  }
  Bytes done() { return std::move(out_); }

 private:
  template <class S>
  std::expected<void, std::string> axial(const S& s) {
    f32(s.radius);
    f32(s.half_length);
    return {};
  }
  std::string out_;
};

// Reads what Writer wrote; every read checks that the bytes are there.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool ok() const { return ok_; }
  bool at_end() const { return p_ == end_; }
  std::uint8_t u8() {
    if (!need(1)) return 0;
    return static_cast<std::uint8_t>(*p_++);
  }
  std::uint32_t u32() {
    std::uint32_t x = 0;
    for (int k = 0; k < 4; ++k) x |= static_cast<std::uint32_t>(u8()) << (8 * k);
    return x;
  }
  std::uint64_t u64() {
    std::uint64_t x = 0;
    for (int k = 0; k < 8; ++k) x |= static_cast<std::uint64_t>(u8()) << (8 * k);
    return x;
  }
  double f64() { return std::bit_cast<double>(u64()); }
  float f32() { return std::bit_cast<float>(u32()); }
  // A count of items of at least `item_bytes` each: never more than the bytes left could
  // hold, so that a corrupted count cannot make a reader allocate without bound.
  std::size_t count(std::size_t item_bytes) {
    const std::uint64_t n = u64();
    if (ok_ && n > static_cast<std::uint64_t>(end_ - p_) / std::max<std::size_t>(item_bytes, 1)) ok_ = false;
    return ok_ ? static_cast<std::size_t>(n) : 0;
  }
  std::string str() {
    const std::size_t n = count(1);
    std::string s(p_, p_ + n);
    p_ += n;
    return s;
  }
  Vector3D vec3() {
    const double x = f64(), y = f64(), z = f64();
    return {x, y, z};
  }
  SE3 se3() {
    SE3 x;
    for (int k = 0; k < 9; ++k) x.rotation.m[k] = f64();
    x.translation = vec3();
    return x;
  }
  Inertia inertia() {
    Inertia i;
    i.mass = f64();
    i.com = vec3();
    for (double& d : i.inertia.data) d = f64();
    return i;
  }
  Configuration doubles() {
    std::vector<double> values(count(8));
    for (double& d : values) d = f64();
    return Configuration(std::move(values));
  }
  Frame frame() {
    Frame f;
    f.name = str();
    f.parent_joint = u64();
    f.parent_frame = u64();
    f.placement = se3();
    const std::uint8_t type = u8();
    if (type > static_cast<std::uint8_t>(FrameType::Sensor)) ok_ = false;
    f.frame_type = static_cast<FrameType>(type);
    f.inertia = inertia();
    return f;
  }
  std::unique_ptr<Shape> shape() {
    switch (static_cast<ShapeType>(u8())) {
      case ShapeType::Sphere: return std::make_unique<Sphere>(f32());
      case ShapeType::Cuboid: {
        auto c = std::make_unique<Cuboid>(std::array<float, 3>{});
        for (float& h : c->half_extents) h = f32();
        return c;
      }
      case ShapeType::Cylinder: return axial<Cylinder>();
      case ShapeType::Cone: return axial<Cone>();
      case ShapeType::Capsule: return axial<Capsule>();
      case ShapeType::Mesh: {
        auto mesh = std::make_unique<Mesh>(str());
        for (double& x : mesh->scale) x = f64();
        return mesh;
      }
    }
    ok_ = false;
    return nullptr;
  }
  GeometryObject object() {
    GeometryObject o;
    o.name = str();
    o.parent_joint = u64();
    o.parent_frame = u64();
    for (double& c : o.mesh_color.rgba) c = f64();
    o.placement = se3();
    o.disable_collision = flag();
    if (flag()) o.geometry = shape();
    return o;
  }
  std::unique_ptr<JointModel> joint() {
    const auto kind = static_cast<JointType>(u8());
    std::unique_ptr<JointModel> j;
    switch (kind) {
      case JointType::Fixed: return make_fixed();
      case JointType::FreeFlyer: j = make_free_flyer(); break;
      case JointType::Planar: j = make_planar(); break;
      case JointType::Spherical: j = make_spherical(); break;
      case JointType::Revolute: j = make_revolute(vec3()); break;
      case JointType::Continuous: j = make_continuous(vec3()); break;
      case JointType::Prismatic: j = make_prismatic(vec3()); break;
      default: ok_ = false; return nullptr;
    }
    if (flag()) {
      JointLimits limits;
      limits.effort = doubles();
      limits.velocity = doubles();
      limits.lower = doubles();
      limits.upper = doubles();
      if (JointLimits* target = j->limits_mut())
        *target = std::move(limits);
      else
        ok_ = false;
    }
    return j;
  }

 private:
  bool need(std::size_t n) {
    if (!ok_ || static_cast<std::size_t>(end_ - p_) < n) ok_ = false;
    return ok_;
  }
  bool flag() {
    const std::uint8_t f = u8();
    if (f > 1) ok_ = false;
    return f == 1;
  }
  template <class S>
  std::unique_ptr<Shape> axial() {
    auto s = std::make_unique<S>(0.0f, 0.0f);
    s->radius = f32();
    s->half_length = f32();
    return s;
  }

  const char* p_;
  const char* end_;
  bool ok_ = true;
};

std::unexpected<std::string> corrupt(const char* what) {
  return std::unexpected(std::string("The bytes are not a complete ") + what + " of this format");
}

std::expected<Model, std::string> read_model(Reader& r) {
  Model m(r.str());
  const std::size_t njoints = r.count(8);
  if (!r.ok() || njoints == 0) return corrupt("model");
  m.inertias[0] = r.inertia();
  for (std::size_t i = 1; i < njoints && r.ok(); ++i) {
    std::string name = r.str();
    const std::size_t parent = r.u64();
    const SE3 placement = r.se3();
    auto joint = r.joint();
    const Inertia inertia = r.inertia();
    if (!r.ok()) break;
    auto id = m.add_joint(parent, std::move(joint), placement, std::move(name));
    if (!id) return std::unexpected("The bytes describe an inconsistent model: " + id.error().display());
    if (*id != i) return corrupt("model");
    m.inertias[i] = inertia;
  }
  // Every model starts with the world frame; the frames after it are appended directly,
  // exactly as stored (the model's frame index follows the list).
  const std::size_t nframes = r.count(8);
  if (!r.ok() || nframes == 0) return corrupt("model");
  Frame world = r.frame();
  if (world.name != m.frames[0].name || world.frame_type != m.frames[0].frame_type) return corrupt("model");
  m.frames[0] = std::move(world);
  m.frames.reserve(nframes);
  for (std::size_t k = 1; k < nframes && r.ok(); ++k) {
    m.frames.push_back(r.frame());
    if (m.frames.back().parent_joint >= m.njoints()) return corrupt("model");
  }
  m.gravity = r.vec3();
  if (!r.ok()) return corrupt("model");
  return m;
}

// Collision pairs are kept only as the model keeps them: sorted, without repeats, first
// below second, both indices within the objects.
std::expected<GeometryModel, std::string> read_geometry_model(Reader& r) {
  GeometryModel g;
  const std::size_t n = r.count(8);
  for (std::size_t k = 0; k < n && r.ok(); ++k) g.objects.push_back(r.object());
  const std::size_t pairs = r.count(16);
  for (std::size_t k = 0; k < pairs && r.ok(); ++k) {
    const std::size_t first = r.u64(), second = r.u64();
    const CollisionPair pair{first, second};
    if (!(first < second && second < g.objects.size()) ||
        (!g.collision_pairs.empty() && !(g.collision_pairs.back() < pair)))
      return corrupt("geometry model");
    g.collision_pairs.push_back(pair);
  }
  const std::size_t parents = r.count(8);
  for (std::size_t k = 0; k < parents && r.ok(); ++k) g.joint_parents.push_back(r.u64());
  const std::size_t names = r.count(8);
  for (std::size_t k = 0; k < names && r.ok(); ++k) g.frame_names.push_back(r.str());
  if (!r.ok()) return corrupt("geometry model");
  return g;
}

}  // namespace

Bytes encode(const Model& model) {
  Writer w(Kind::Model);
  w.str(model.name);
  w.u64(model.njoints());
  w.inertia(model.inertias[0]);
  for (std::size_t i = 1; i < model.njoints(); ++i) {
    w.str(model.joint_names[i]);
    w.u64(model.joint_parents[i]);
    w.se3(model.joint_placements[i]);
    if (auto ok = w.joint(*model.joint_models[i]); !ok)
      return std::unexpected("Joint '" + model.joint_names[i] + "': " + ok.error());
    w.inertia(model.inertias[i]);
  }
  w.u64(model.nframes());
  for (const Frame& f : model.frames) w.frame(f);
  w.vec3(model.gravity);
  return w.done();
}

// The objects, the collision pairs and the kinematic tree the loader recorded; not the
// collision geometry made from the shapes, which the receiving side makes on first use.
Bytes encode(const GeometryModel& model) {
  Writer w(Kind::GeometryModel);
  w.u64(model.objects.size());
  for (const GeometryObject& o : model.objects)
    if (auto ok = w.object(o); !ok) return std::unexpected("Geometry object '" + o.name + "': " + ok.error());
  w.u64(model.collision_pairs.size());
  for (const CollisionPair& p : model.collision_pairs) w.u64(p.first), w.u64(p.second);
  w.u64(model.joint_parents.size());
  for (std::size_t parent : model.joint_parents) w.u64(parent);
  w.u64(model.frame_names.size());
  for (const std::string& name : model.frame_names) w.str(name);
  return w.done();
}

Bytes encode(const GeometryObject& object) {
  Writer w(Kind::GeometryObject);
  if (auto ok = w.object(object); !ok) return std::unexpected(ok.error());
  return w.done();
}

Bytes encode(const Inertia& inertia) {
  Writer w(Kind::Inertia);
  w.inertia(inertia);
  return w.done();
}

Bytes encode(const SE3& placement) {
  Writer w(Kind::SE3);
  w.se3(placement);
  return w.done();
}

Bytes encode(const Frame& frame) {
  Writer w(Kind::Frame);
  w.frame(frame);
  return w.done();
}

Bytes encode(const Configuration& configuration) {
  Writer w(Kind::Configuration);
  w.doubles(configuration);
  return w.done();
}

Bytes encode(const Shape& shape) {
  Writer w(Kind::Shape);
  if (auto ok = w.shape(shape); !ok) return std::unexpected(ok.error());
  return w.done();
}

std::expected<Value, std::string> decode(std::string_view bytes) {
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return std::unexpected(std::string("The bytes are not a serialised velmora value (no header)"));
  Reader r(bytes.substr(sizeof kMagic));
  const std::uint32_t version = r.u32();
  if (!r.ok()) return corrupt("header");
  if (version != kFormatVersion)
    return std::unexpected("Unknown format version " + std::to_string(version) + ": this velmora reads version " +
                           std::to_string(kFormatVersion) + " only");
  const auto kind = static_cast<Kind>(r.u8());
  std::expected<Value, std::string> value = corrupt("value");
  switch (kind) {
    case Kind::Model: {
      auto m = read_model(r);
      if (!m) return std::unexpected(m.error());
      value = Value(std::move(*m));
      break;
    }
    case Kind::GeometryModel: {
      auto g = read_geometry_model(r);
      if (!g) return std::unexpected(g.error());
      value = Value(std::move(*g));
      break;
    }
    case Kind::GeometryObject: value = Value(r.object()); break;
    case Kind::Inertia: value = Value(r.inertia()); break;
    case Kind::SE3: value = Value(r.se3()); break;
    case Kind::Frame: value = Value(r.frame()); break;
    case Kind::Configuration: value = Value(r.doubles()); break;
    case Kind::Shape: value = Value(r.shape()); break;
    default: return std::unexpected("Unknown kind of value " + std::to_string(static_cast<int>(kind)));
  }
  if (!r.ok() || !r.at_end()) return corrupt("value");
  return value;
}

}  // namespace velmora::serial
