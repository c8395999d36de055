// Links: the body inertia, the body frame, the folding of the inertia into the joint
// that moves the link, and the collision and visual geometry objects.
#include "core/urdf/internal.hpp"

namespace velmora::urdf {

namespace {

using Kind = ParseError::Kind;

constexpr Color default_color{{0.9, 0.9, 0.9, 1.0}};

// The inertia of the first <inertial> child, in the link frame; zero without one.
Result<Inertia> parse_inertial(pugi::xml_node link, std::string_view link_name) {
  const pugi::xml_node inertial = first_child(link, "inertial");
  if (!inertial) return Inertia::zeros();
  const pugi::xml_node mass_element = first_child(inertial, "mass");
  if (!mass_element) return fail(Kind::MissingMass, std::string(link_name));
  const auto mass = read_f64(mass_element, "value");
  if (!mass) return std::unexpected(mass.error());
  const pugi::xml_node tensor = first_child(inertial, "inertia");
  if (!tensor) return fail(Kind::MissingInertia, std::string(link_name));
  // Read in this order so that the first missing or invalid one is the one reported.
  static constexpr const char* names[6] = {"ixx", "ixy", "ixz", "iyy", "iyz", "izz"};
  double v[6];
  for (int k = 0; k < 6; ++k) {
    const auto x = read_f64(tensor, names[k]);
    if (!x) return std::unexpected(x.error());
    v[k] = *x;
  }
  // The centre of mass and the orientation of the principal frame; a list that is
  // absent or unreadable counts as zero.
  SpatialRotation rotation;
  Vector3D com;
  if (const pugi::xml_node origin = first_child(inertial, "origin")) {
    if (const auto rpy = read_f64_list<3>(origin, "rpy"))
      rotation = SpatialRotation::from_euler_angles((*rpy)[0], (*rpy)[1], (*rpy)[2]);
    if (const auto xyz = read_f64_list<3>(origin, "xyz")) com = {(*xyz)[0], (*xyz)[1], (*xyz)[2]};
  }
  // Storage order m11, m22, m33, m12, m13, m23.
  const Symmetric3 about_com{{v[0], v[3], v[5], v[1], v[2], v[4]}};
  return Inertia{*mass, com, about_com.rotate(rotation)};
}

Color visual_color(pugi::xml_node visual, std::unordered_map<std::string, Color>& materials) {
  const pugi::xml_node material = first_child(visual, "material");
  if (!material) return default_color;
  const auto name = attribute(material, "name");
  if (name) {
    if (const auto it = materials.find(std::string(*name)); it != materials.end()) return it->second;
  }
  const pugi::xml_node color_element = first_child(material, "color");
  if (!color_element) return default_color;
  const auto rgba = read_f64_list<4>(color_element, "rgba");
  if (!rgba) return default_color;
  const Color color{*rgba};
  // Later visuals may name this material without repeating the colour.
  if (name && !name->empty()) materials[std::string(*name)] = color;
  return color;
}

Result<std::unique_ptr<Shape>> parse_shape(Context& ctx, pugi::xml_node geometry, const std::string& object_name) {
  // Fixed priority, whatever the document order.
  if (const pugi::xml_node box = first_child(geometry, "box")) {
    const auto size = read_f32_list<3>(box, "size");
    if (!size) return std::unexpected(size.error());
    return make_cuboid(*size);
  }
  if (const pugi::xml_node cylinder = first_child(geometry, "cylinder")) {
    const auto radius = read_f32(cylinder, "radius");
    if (!radius) return std::unexpected(radius.error());
    const auto length = read_f32(cylinder, "length");
    if (!length) return std::unexpected(length.error());
    return make_cylinder(*radius, *length);
  }
  if (const pugi::xml_node sphere = first_child(geometry, "sphere")) {
    const auto radius = read_f32(sphere, "radius");
    if (!radius) return std::unexpected(radius.error());
    return make_sphere(*radius);
  }
  if (const pugi::xml_node mesh = first_child(geometry, "mesh")) {
    const auto filename = read_string(mesh, "filename");
    if (!filename) return std::unexpected(filename.error());
    auto path = resolve_mesh_path(*filename, ctx.package_dir);
    if (!path) return std::unexpected(path.error());
    return make_mesh(std::move(*path));
  }
  return fail(Kind::GeometryWithoutShape, object_name);
}

Result<GeometryObject> parse_geometry(Context& ctx, pugi::xml_node element, std::string object_name,
                                      std::size_t parent_joint, std::size_t body_frame, bool is_visual) {
  const pugi::xml_node geometry = first_child(element, "geometry");
  if (!geometry) return fail(Kind::VisualWithoutGeometry, std::move(object_name));
  auto shape = parse_shape(ctx, geometry, object_name);
  if (!shape) return std::unexpected(shape.error());
  const auto origin = parse_origin(element);
  if (!origin) return std::unexpected(origin.error());
  const SE3 placement = ctx.model.frames[body_frame].placement * *origin;
  GeometryObject object(std::move(object_name), parent_joint, body_frame, std::move(*shape), placement);
  object.mesh_color = is_visual ? visual_color(element, ctx.materials) : default_color;
  object.disable_collision = false;
  return object;
}

}  // namespace

Result<void> parse_link(Context& ctx, pugi::xml_node link, pugi::xml_node parent, std::size_t parent_joint,
                        bool is_root) {
  const std::string name(name_or_empty(link));
  const auto parent_frame = get_parent_frame(ctx, parent);
  if (!parent_frame) return std::unexpected(parent_frame.error());
  const std::size_t pf = *parent_frame;

  const auto inertia = parse_inertial(link, name);
  if (!inertia) return std::unexpected(inertia.error());

  // The body's inertia joins the body of the joint that moves the link; below a fixed
  // joint the fixed frame also keeps it in its own coordinates.
  if (!is_root) {
    const auto type = attribute(parent, "type");
    if (type && *type == "fixed") ctx.model.frames[pf].inertia += *inertia;
    ctx.model.inertias[parent_joint] += inertia->act(ctx.model.frames[pf].placement);
  }

  const auto origin = parse_origin(link);
  if (!origin) return std::unexpected(origin.error());
  Frame body{name, parent_joint, pf, ctx.model.frames[pf].placement * *origin, FrameType::Body,
             is_root ? *inertia : Inertia::zeros()};
  // A root link's inertia goes into the universe joint here, moved by its placement.
  const auto frame_id = ctx.model.add_frame(std::move(body), true);
  if (!frame_id) return fail(Kind::InvalidModel, frame_id.error().display());
  ctx.element_frames[link.internal_object()] = *frame_id;

  std::size_t k = 0;
  for (pugi::xml_node c = link.child("collision"); c; c = c.next_sibling("collision")) {
    auto object = parse_geometry(ctx, c, name + "_" + std::to_string(k++), parent_joint, *frame_id, false);
    if (!object) return std::unexpected(object.error());
    ctx.collision_model.add_geometry_object(std::move(*object));
  }
  k = 0;
  for (pugi::xml_node c = link.child("visual"); c; c = c.next_sibling("visual")) {
    auto object = parse_geometry(ctx, c, name + "_" + std::to_string(k++), parent_joint, *frame_id, true);
    if (!object) return std::unexpected(object.error());
    ctx.visual_model.add_geometry_object(std::move(*object));
  }
  return {};
}

}  // namespace velmora::urdf
