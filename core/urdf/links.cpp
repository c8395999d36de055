// Links: the body inertia, the body frame, the folding of the inertia into the joint
// that moves the link, and the collision and visual geometry objects (when the geometry
// is built).
#include "core/urdf/internal.hpp"

namespace velmora::urdf {

namespace {

using Kind = ParseError::Kind;

constexpr Color default_color{{0.9, 0.9, 0.9, 1.0}};

// "{link}_{k}": the name of a link's k-th collision or visual object.
std::string object_name(std::string_view link, std::size_t k) {
  std::string s;
  s.reserve(link.size() + 4);
  s += link;
  s += '_';
  s += std::to_string(k);
  return s;
}

// The inertia given by an <inertial> element, in the link frame; zero without one.
Result<Inertia> parse_inertial(const InertialTexts& inertial, std::string_view link_name) {
  if (!inertial.present) return Inertia::zeros();
  if (!inertial.has_mass) return fail(Kind::MissingMass, std::string(link_name));
  const auto mass = read_f64(inertial.mass, "value");
  if (!mass) return std::unexpected(mass.error());
  if (!inertial.has_tensor) return fail(Kind::MissingInertia, std::string(link_name));
  // Read in this order so that the first missing or invalid one is the one reported.
  static constexpr std::array<const char*, 6> names = {"ixx", "ixy", "ixz", "iyy", "iyz", "izz"};
  double v[6];
  for (int k = 0; k < 6; ++k) {
    const auto x = read_f64(inertial.tensor[k], names[k]);
    if (!x) return std::unexpected(x.error());
    v[k] = *x;
  }
  // The centre of mass and the orientation of the principal frame; a list that is
  // absent or not three numbers counts as zero.
  SpatialRotation rotation;
  Vector3D com;
  if (inertial.origin.present) {
    const auto rpy = read_optional_list<double, 3>(inertial.origin.rpy, "rpy");
    if (!rpy) return std::unexpected(rpy.error());
    if (*rpy) rotation = rotation_from_rpy(**rpy);
    const auto xyz = read_optional_list<double, 3>(inertial.origin.xyz, "xyz");
    if (!xyz) return std::unexpected(xyz.error());
    if (*xyz) com = {(**xyz)[0], (**xyz)[1], (**xyz)[2]};
  }
  // Storage order m11, m22, m33, m12, m13, m23.
  const Symmetric3 about_com{{v[0], v[3], v[5], v[1], v[2], v[4]}};
  return Inertia{*mass, com, about_com.rotate(rotation)};
}

using Materials = decltype(Context::materials);

// A visual's colour: the named material's, else its own <color>; the default when it has
// neither or its rgba is not four numbers.
Result<Color> visual_color(const GeometryEntry& entry, Materials& materials) {
  if (!entry.has_material) return default_color;
  const char* name = entry.material_name;
  if (name) {
    if (const auto it = materials.find(std::string_view(name)); it != materials.end()) return it->second;
  }
  const auto rgba = read_optional_list<double, 4>(entry.rgba, "rgba");
  if (!rgba) return std::unexpected(rgba.error());
  if (!*rgba) return default_color;
  const Color color{**rgba};
  // Later visuals may name this material without repeating the colour.
  if (name && *name) materials.insert_or_assign(std::string(name), color);
  return color;
}

Result<std::unique_ptr<Shape>> parse_shape(Context& ctx, const GeometryEntry& entry, const std::string& object_name) {
  using ShapeKind = GeometryEntry::Shape;
  switch (entry.shape) {
    case ShapeKind::Box: {
      const auto size = read_list<float, 3>(entry.first, "size");
      if (!size) return std::unexpected(size.error());
      return make_cuboid(*size);
    }
    case ShapeKind::Cylinder: {
      const auto radius = read_f32(entry.first, "radius");
      if (!radius) return std::unexpected(radius.error());
      const auto length = read_f32(entry.second, "length");
      if (!length) return std::unexpected(length.error());
      return make_cylinder(*radius, *length);
    }
    case ShapeKind::Sphere: {
      const auto radius = read_f32(entry.first, "radius");
      if (!radius) return std::unexpected(radius.error());
      return make_sphere(*radius);
    }
    case ShapeKind::Mesh: {
      const auto filename = read_string(entry.first, "filename");
      if (!filename) return std::unexpected(filename.error());
      // The scale multiplies the file's coordinates axis by axis; absent means 1 1 1.
      std::array<double, 3> scale{1.0, 1.0, 1.0};
      if (entry.second) {
        const auto read = read_list<double, 3>(entry.second, "scale");
        if (!read) return std::unexpected(read.error());
        scale = *read;
      }
      auto path = resolve_mesh_path(*filename, ctx.package_dir);
      if (!path) return std::unexpected(path.error());
      return make_mesh(std::move(*path), scale);
    }
    case ShapeKind::None:
      break;
  }
  return fail(Kind::GeometryWithoutShape, object_name);
}

Result<GeometryObject> parse_geometry(Context& ctx, const GeometryEntry& entry, std::string object_name,
                                      std::size_t parent_joint, std::size_t body_frame) {
  if (!entry.has_geometry) return fail(Kind::VisualWithoutGeometry, std::move(object_name));
  auto shape = parse_shape(ctx, entry, object_name);
  if (!shape) return std::unexpected(shape.error());
  const auto origin = parse_origin(entry.origin);
  if (!origin) return std::unexpected(origin.error());
  const SE3 placement = ctx.model.frames[body_frame].placement * *origin;
  GeometryObject object(std::move(object_name), parent_joint, body_frame, std::move(*shape), placement);
  object.mesh_color = default_color;
  if (entry.visual) {
    const auto color = visual_color(entry, ctx.materials);
    if (!color) return std::unexpected(color.error());
    object.mesh_color = *color;
  }
  object.disable_collision = false;
  return object;
}

// What parse_geometry reads of a <collision> or <visual> element.
GeometryEntry geometry_entry(pugi::xml_node element, bool visual) {
  GeometryEntry entry;
  entry.visual = visual;
  const auto [geometry, origin, material] = first_children<3>(element, {"geometry", "origin", "material"});
  entry.origin = origin_texts(origin);
  if (geometry) {
    entry.has_geometry = true;
    using ShapeKind = GeometryEntry::Shape;
    const auto [box, cylinder, sphere, mesh] = first_children<4>(geometry, {"box", "cylinder", "sphere", "mesh"});
    // Fixed priority, whatever the document order.
    if (box) {
      entry.shape = ShapeKind::Box;
      entry.first = find_attributes<1>(box, {"size"})[0];
    } else if (cylinder) {
      entry.shape = ShapeKind::Cylinder;
      const auto [radius, length] = find_attributes<2>(cylinder, {"radius", "length"});
      entry.first = radius;
      entry.second = length;
    } else if (sphere) {
      entry.shape = ShapeKind::Sphere;
      entry.first = find_attributes<1>(sphere, {"radius"})[0];
    } else if (mesh) {
      entry.shape = ShapeKind::Mesh;
      const auto [filename, scale] = find_attributes<2>(mesh, {"filename", "scale"});
      entry.first = filename;
      entry.second = scale;
    }
  }
  if (visual && material) {
    entry.has_material = true;
    entry.material_name = find_attributes<1>(material, {"name"})[0];
    entry.rgba = find_attributes<1>(first_child(material, "color"), {"rgba"})[0];
  }
  return entry;
}

}  // namespace

void read_link_entry(Context& ctx, pugi::xml_node link, LinkEntry& entry) {
  // One pass over the children: the first <inertial> and <origin>, and with the geometry
  // every <collision> and <visual> in document order. Without geometry only the two the
  // model is made of are looked for.
  pugi::xml_node inertial, origin;
  entry.geometries_first = ctx.geometries.size();
  for (pugi::xml_node c = link.first_child();; c = c.next_sibling()) {
    // Only elements have names (see first_children); past the last child is the null node.
    const char* tag = c.name();
    if (!*tag) {
      if (c.type() == pugi::node_null) break;
      continue;
    }
    if (!inertial && same_name(tag, "inertial")) {
      inertial = c;
    } else if (!origin && same_name(tag, "origin")) {
      origin = c;
    } else if (ctx.with_geometry) {
      if (same_name(tag, "collision"))
        ctx.geometries.push_back(geometry_entry(c, false));
      else if (same_name(tag, "visual")) {
        ctx.geometries.push_back(geometry_entry(c, true));
        ++ctx.visual_count;
      }
    }
  }
  entry.geometries_count = ctx.geometries.size() - entry.geometries_first;
  entry.origin = origin_texts(origin);
  if (inertial) {
    InertialTexts& texts = entry.inertial;
    texts.present = true;
    const auto [mass, tensor, inertial_origin] = first_children<3>(inertial, {"mass", "inertia", "origin"});
    texts.has_mass = static_cast<bool>(mass);
    if (mass) texts.mass = find_attributes<1>(mass, {"value"})[0];
    texts.has_tensor = static_cast<bool>(tensor);
    if (tensor) texts.tensor = find_attributes<6>(tensor, {"ixx", "ixy", "ixz", "iyy", "iyz", "izz"});
    texts.origin = origin_texts(inertial_origin);
  }
}

Result<void> parse_link(Context& ctx, std::size_t index, ParentRef parent, std::size_t parent_joint) {
  const bool is_root = parent.kind == ParentRef::Kind::Robot;
  const LinkEntry& entry = ctx.links[index];
  const std::string_view name = entry.name;
  const auto parent_frame = get_parent_frame(ctx, parent);
  if (!parent_frame) return std::unexpected(parent_frame.error());
  const std::size_t pf = *parent_frame;

  const auto inertia = parse_inertial(entry.inertial, name);
  if (!inertia) return std::unexpected(inertia.error());

  // The body's inertia joins the body of the joint that moves the link; below a fixed
  // joint the fixed frame also keeps it in its own coordinates.
  if (!is_root) {
    const char* type = parent.kind == ParentRef::Kind::Joint ? ctx.joints[parent.index].type : nullptr;
    if (type && same_name(type, "fixed")) ctx.model.frames[pf].inertia += *inertia;
    ctx.model.inertias[parent_joint] += inertia->act(ctx.model.frames[pf].placement);
  }

  const auto origin = parse_origin(entry.origin);
  if (!origin) return std::unexpected(origin.error());
  Frame body{std::string(name), parent_joint, pf, ctx.model.frames[pf].placement * *origin, FrameType::Body,
             is_root ? *inertia : Inertia::zeros()};
  // A root link's inertia goes into the universe joint here, moved by its placement.
  const auto frame_id = ctx.model.add_frame(std::move(body), true, entry.name_hash);
  if (!frame_id) return fail(Kind::InvalidModel, frame_id.error().display());
  ctx.links[index].frame = *frame_id;

  if (!ctx.with_geometry || !entry.geometries_count) return {};
  // The geometry models remember the link's joint, its parent and the link's name, for
  // collision pairs chosen by the tree and by link names.
  const std::size_t grandparent = ctx.model.joint_parents[parent_joint];
  ctx.collision_model.record_tree(parent_joint, grandparent, *frame_id, name);
  ctx.visual_model.record_tree(parent_joint, grandparent, *frame_id, name);
  // Collisions first, then visuals, each numbered in document order.
  for (const bool visual : {false, true}) {
    std::size_t k = 0;
    for (std::size_t g = entry.geometries_first; g < entry.geometries_first + entry.geometries_count; ++g) {
      const GeometryEntry& geometry = ctx.geometries[g];
      if (geometry.visual != visual) continue;
      auto object = parse_geometry(ctx, geometry, object_name(name, k++), parent_joint, *frame_id);
      if (!object) return std::unexpected(object.error());
      (visual ? ctx.visual_model : ctx.collision_model).add_geometry_object(std::move(*object));
    }
  }
  return {};
}

}  // namespace velmora::urdf
