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

// The inertia given by an <inertial> element, in the link frame; zero for a null node.
Result<Inertia> parse_inertial(pugi::xml_node inertial, std::string_view link_name) {
  if (!inertial) return Inertia::zeros();
  const auto [mass_element, tensor, origin] = first_children<3>(inertial, {"mass", "inertia", "origin"});
  if (!mass_element) return fail(Kind::MissingMass, std::string(link_name));
  const auto mass = read_f64(find_attributes<1>(mass_element, {"value"})[0], "value");
  if (!mass) return std::unexpected(mass.error());
  if (!tensor) return fail(Kind::MissingInertia, std::string(link_name));
  // Read in this order so that the first missing or invalid one is the one reported.
  static constexpr std::array<const char*, 6> names = {"ixx", "ixy", "ixz", "iyy", "iyz", "izz"};
  const auto texts = find_attributes<6>(tensor, names);
  double v[6];
  for (int k = 0; k < 6; ++k) {
    const auto x = read_f64(texts[k], names[k]);
    if (!x) return std::unexpected(x.error());
    v[k] = *x;
  }
  // The centre of mass and the orientation of the principal frame; a list that is
  // absent or not three numbers counts as zero.
  SpatialRotation rotation;
  Vector3D com;
  if (origin) {
    const auto [rpy_text, xyz_text] = find_attributes<2>(origin, {"rpy", "xyz"});
    const auto rpy = read_optional_list<double, 3>(rpy_text, "rpy");
    if (!rpy) return std::unexpected(rpy.error());
    if (*rpy) rotation = rotation_from_rpy(**rpy);
    const auto xyz = read_optional_list<double, 3>(xyz_text, "xyz");
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
Result<Color> visual_color(pugi::xml_node material, Materials& materials) {
  if (!material) return default_color;
  const char* name = find_attributes<1>(material, {"name"})[0];
  if (name) {
    if (const auto it = materials.find(std::string_view(name)); it != materials.end()) return it->second;
  }
  const char* rgba_text = find_attributes<1>(first_child(material, "color"), {"rgba"})[0];
  const auto rgba = read_optional_list<double, 4>(rgba_text, "rgba");
  if (!rgba) return std::unexpected(rgba.error());
  if (!*rgba) return default_color;
  const Color color{**rgba};
  // Later visuals may name this material without repeating the colour.
  if (name && *name) materials.insert_or_assign(std::string(name), color);
  return color;
}

Result<std::unique_ptr<Shape>> parse_shape(Context& ctx, pugi::xml_node geometry, const std::string& object_name) {
  const auto [box, cylinder, sphere, mesh] = first_children<4>(geometry, {"box", "cylinder", "sphere", "mesh"});
  // Fixed priority, whatever the document order.
  if (box) {
    const auto size = read_list<float, 3>(find_attributes<1>(box, {"size"})[0], "size");
    if (!size) return std::unexpected(size.error());
    return make_cuboid(*size);
  }
  if (cylinder) {
    const auto [radius_text, length_text] = find_attributes<2>(cylinder, {"radius", "length"});
    const auto radius = read_f32(radius_text, "radius");
    if (!radius) return std::unexpected(radius.error());
    const auto length = read_f32(length_text, "length");
    if (!length) return std::unexpected(length.error());
    return make_cylinder(*radius, *length);
  }
  if (sphere) {
    const auto radius = read_f32(find_attributes<1>(sphere, {"radius"})[0], "radius");
    if (!radius) return std::unexpected(radius.error());
    return make_sphere(*radius);
  }
  if (mesh) {
    const auto [filename_text, scale_text] = find_attributes<2>(mesh, {"filename", "scale"});
    const auto filename = read_string(filename_text, "filename");
    if (!filename) return std::unexpected(filename.error());
    // The scale multiplies the file's coordinates axis by axis; absent means 1 1 1.
    std::array<double, 3> scale{1.0, 1.0, 1.0};
    if (scale_text) {
      const auto read = read_list<double, 3>(scale_text, "scale");
      if (!read) return std::unexpected(read.error());
      scale = *read;
    }
    auto path = resolve_mesh_path(*filename, ctx.package_dir);
    if (!path) return std::unexpected(path.error());
    return make_mesh(std::move(*path), scale);
  }
  return fail(Kind::GeometryWithoutShape, object_name);
}

Result<GeometryObject> parse_geometry(Context& ctx, pugi::xml_node element, std::string object_name,
                                      std::size_t parent_joint, std::size_t body_frame, bool is_visual) {
  const auto [geometry, origin_element, material] =
      first_children<3>(element, {"geometry", "origin", "material"});
  if (!geometry) return fail(Kind::VisualWithoutGeometry, std::move(object_name));
  auto shape = parse_shape(ctx, geometry, object_name);
  if (!shape) return std::unexpected(shape.error());
  const auto origin = parse_origin_element(origin_element);
  if (!origin) return std::unexpected(origin.error());
  const SE3 placement = ctx.model.frames[body_frame].placement * *origin;
  GeometryObject object(std::move(object_name), parent_joint, body_frame, std::move(*shape), placement);
  object.mesh_color = default_color;
  if (is_visual) {
    const auto color = visual_color(material, ctx.materials);
    if (!color) return std::unexpected(color.error());
    object.mesh_color = *color;
  }
  object.disable_collision = false;
  return object;
}

}  // namespace

Result<void> parse_link(Context& ctx, std::size_t index, ParentRef parent, std::size_t parent_joint) {
  const bool is_root = parent.kind == ParentRef::Kind::Robot;
  const pugi::xml_node link = ctx.links[index].node;
  const std::string_view name = ctx.links[index].name;
  const auto parent_frame = get_parent_frame(ctx, parent);
  if (!parent_frame) return std::unexpected(parent_frame.error());
  const std::size_t pf = *parent_frame;

  // Without geometry only the two children the model is made of are looked for.
  const auto children = [&]() -> std::array<pugi::xml_node, 4> {
    if (ctx.with_geometry) return first_children<4>(link, {"inertial", "origin", "collision", "visual"});
    const auto [inertial, origin] = first_children<2>(link, {"inertial", "origin"});
    return {inertial, origin, {}, {}};
  };
  const auto [inertial, origin_element, first_collision, first_visual] = children();
  const auto inertia = parse_inertial(inertial, name);
  if (!inertia) return std::unexpected(inertia.error());

  // The body's inertia joins the body of the joint that moves the link; below a fixed
  // joint the fixed frame also keeps it in its own coordinates.
  if (!is_root) {
    const char* type = parent.kind == ParentRef::Kind::Joint ? ctx.joints[parent.index].type : nullptr;
    if (type && same_name(type, "fixed")) ctx.model.frames[pf].inertia += *inertia;
    ctx.model.inertias[parent_joint] += inertia->act(ctx.model.frames[pf].placement);
  }

  const auto origin = parse_origin_element(origin_element);
  if (!origin) return std::unexpected(origin.error());
  Frame body{std::string(name), parent_joint, pf, ctx.model.frames[pf].placement * *origin, FrameType::Body,
             is_root ? *inertia : Inertia::zeros()};
  // A root link's inertia goes into the universe joint here, moved by its placement.
  const auto frame_id = ctx.model.add_frame(std::move(body), true);
  if (!frame_id) return fail(Kind::InvalidModel, frame_id.error().display());
  ctx.links[index].frame = *frame_id;

  if (!ctx.with_geometry) return {};
  // The geometry models remember the link's joint, its parent and the link's name, for
  // collision pairs chosen by the tree and by link names.
  if (first_collision || first_visual) {
    const std::size_t grandparent = ctx.model.joint_parents[parent_joint];
    ctx.collision_model.record_tree(parent_joint, grandparent, *frame_id, name);
    ctx.visual_model.record_tree(parent_joint, grandparent, *frame_id, name);
  }
  std::size_t k = 0;
  for (pugi::xml_node c = first_collision; c; c = c.next_sibling("collision")) {
    auto object = parse_geometry(ctx, c, object_name(name, k++), parent_joint, *frame_id, false);
    if (!object) return std::unexpected(object.error());
    ctx.collision_model.add_geometry_object(std::move(*object));
  }
  k = 0;
  for (pugi::xml_node c = first_visual; c; c = c.next_sibling("visual")) {
    auto object = parse_geometry(ctx, c, object_name(name, k++), parent_joint, *frame_id, true);
    if (!object) return std::unexpected(object.error());
    ctx.visual_model.add_geometry_object(std::move(*object));
  }
  return {};
}

}  // namespace velmora::urdf
