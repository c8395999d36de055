// Shared pieces of the URDF loader: the build context, element lookups, attribute
// readers, and the link, joint and mesh-path builders.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "core/geometry/geometry.hpp"
#include "core/model/model.hpp"
#include "core/spatial/color.hpp"
#include "core/spatial/se3.hpp"
#include "core/urdf/urdf.hpp"

namespace velmora::urdf {

template <class T>
using Result = std::expected<T, ParseError>;

inline std::unexpected<ParseError> fail(ParseError::Kind kind, std::string a = {}, std::string b = {}) {
  return std::unexpected(ParseError{kind, std::move(a), std::move(b)});
}

// ------------------------------------------------------------------ text and numbers

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_utf8(std::string_view s);

// A whole piece of text as a number: optional sign (+ or -), digits with an optional
// fraction and exponent, or the words inf, infinity and nan in any letter case. Never
// depends on the process locale. Magnitudes beyond the type's range give infinity,
// below it zero, as decimal rounding would.
std::optional<double> parse_f64(std::string_view s);
// The same for a NUL-terminated text (an attribute's).
std::optional<double> parse_f64(const char* text);
std::optional<float> parse_f32(std::string_view s);

// Splits on runs of Unicode white space; leading and trailing white space is ignored.
std::vector<std::string_view> split_whitespace(std::string_view s);
// The piece that starts at or after `pos` (moved past it); none when only white space
// is left.
std::optional<std::string_view> next_piece(std::string_view s, std::size_t& pos);

// ------------------------------------------------------------------ elements

// Tag and attribute names compared as exact byte strings. The builder strips namespace
// prefixes from the parsed document once (strip_prefixes), so that lookups can compare
// names directly.
inline bool same_name(const char* s, const char* word) {
  while (*word && *s == *word) ++s, ++word;
  return *s == *word;
}
inline bool is_tag(pugi::xml_node node, const char* tag) { return same_name(node.name(), tag); }
// The first element child whose tag name is `tag` (null node when there is none).
inline pugi::xml_node first_child(pugi::xml_node node, const char* tag) { return node.child(tag); }

// Each accessor of a node or attribute is a call into the XML library, and its lookups
// by name compare with a call to strcmp per node or attribute passed. The helpers below
// keep both counts low.

// The first element child of each of the given tags; a null node for a tag that has
// none. One pass over the children, two calls per child: only elements carry names in
// the parsed tree (text and CDATA nodes have none; comments, processing instructions
// and declarations are not kept), and the null node past the last child has none
// either, so the type is asked only of nameless nodes.
template <std::size_t N>
std::array<pugi::xml_node, N> first_children(pugi::xml_node node, const std::array<const char*, N>& tags) {
  std::array<pugi::xml_node, N> found;
  std::size_t missing = N;
  for (pugi::xml_node c = node.first_child();; c = c.next_sibling()) {
    const char* name = c.name();
    if (!*name) {
      if (c.type() == pugi::node_null) break;
      continue;
    }
    for (std::size_t k = 0; k < N; ++k)
      if (name[0] == tags[k][0] && !found[k] && same_name(name, tags[k])) {
        found[k] = c;
        --missing;
        break;
      }
    if (!missing) break;
  }
  return found;
}

// The text of the first attribute of each of the given names; null for a name the
// element does not carry (a present attribute always has a text, if only an empty one).
// One or two names are looked up inside the library; more are found in one pass over
// the attributes (a parsed attribute always has a name; the null one past the last has
// none).
template <std::size_t N>
std::array<const char*, N> find_attributes(pugi::xml_node node, const std::array<const char*, N>& names) {
  std::array<const char*, N> found{};
  if constexpr (N <= 2) {
    for (std::size_t k = 0; k < N; ++k) found[k] = node.attribute(names[k]).as_string(nullptr);
  } else {
    std::size_t missing = N;
    for (pugi::xml_attribute a = node.first_attribute();; a = a.next_attribute()) {
      const char* name = a.name();
      if (!*name) break;
      for (std::size_t k = 0; k < N; ++k)
        if (name[0] == names[k][0] && !found[k] && same_name(name, names[k])) {
          found[k] = a.value();
          --missing;
          break;
        }
      if (!missing) break;
    }
  }
  return found;
}

// The tag name and attributes of an element, for error messages: <joint type="fixed">.
std::string render(pugi::xml_node node);

// ------------------------------------------------------------------ attribute readers

// Each reader takes the attribute's text (null when the attribute is absent, which is
// MissingParameter) and its name for the error. Every reader refuses a number that is
// NaN or infinite (a decimal beyond the type's range included) with InvalidParameter,
// as it refuses a text that is not a number.
Result<double> read_f64(const char* text, const char* name);
Result<float> read_f32(const char* text, const char* name);
Result<std::string_view> read_string(const char* text, const char* name);
// Exactly N numbers separated by white space.
template <class T, std::size_t N>
Result<std::array<T, N>> read_list(const char* text, const char* name);
// For the attributes the loader treats as optional: an absent attribute, or a text that
// is not a number (not exactly N numbers), gives nothing, so that the caller keeps its
// default; numbers of which one is NaN or infinite are still refused.
Result<std::optional<double>> read_optional_f64(const char* text, const char* name);
template <class T, std::size_t N>
Result<std::optional<std::array<T, N>>> read_optional_list(const char* text, const char* name);

// SpatialRotation::from_euler_angles of (roll, pitch, yaw).
SpatialRotation rotation_from_rpy(const std::array<double, 3>& rpy);
// The placement given by an <origin> element (identity for a null node).
Result<SE3> parse_origin_element(pugi::xml_node origin);

// ------------------------------------------------------------------ mesh paths

// Resolves a <mesh> file name (absolute, relative to `package_dir`, or "package://"
// through `ros_package_path`, which is empty when the variable is unset or not UTF-8)
// and checks that the result exists.
Result<std::string> resolve_mesh_path(std::string_view filename, const std::optional<std::string>& package_dir,
                                      std::optional<std::string_view> ros_package_path);
// The same with the current value of ROS_PACKAGE_PATH.
Result<std::string> resolve_mesh_path(std::string_view filename, const std::optional<std::string>& package_dir);
// Joins a directory and a path: a "/" is inserted unless the directory is empty or
// already ends with one; an absolute second part replaces the first.
std::string join_path(std::string_view dir, std::string_view path);

// ------------------------------------------------------------------ the build
//
// The document is read in one pass over the robot's children, in document order (the
// order the XML library laid the tree out in memory), which records for every link,
// joint and geometry element the texts of the attributes the build reads: views into the
// parsed text, which the parse left in place and which outlives the build. The tree is
// then released, and the depth-first walk builds the models from these records alone.
// A large document is thus read once, front to back, and the model's lists take the
// memory the tree held; the walk reaching links in name order does not jump around a
// tree that no longer fits any cache (a large document is even parsed and scanned piece
// by piece, see builder.cpp). Every text is only read as a number or checked when the
// walk gets there, so errors come in the order of the walk.

// The attribute texts of an <origin> element; null for an attribute that is absent.
struct OriginTexts {
  bool present = false;  // the element exists
  const char* xyz = nullptr;
  const char* rpy = nullptr;
};
OriginTexts origin_texts(pugi::xml_node origin);
// The placement an origin gives (identity when there is no such element).
Result<SE3> parse_origin(const OriginTexts& origin);

// What a link's <inertial> element holds.
struct InertialTexts {
  bool present = false;
  bool has_mass = false;        // a <mass> child
  const char* mass = nullptr;   // its "value"
  bool has_tensor = false;      // an <inertia> child
  std::array<const char*, 6> tensor{};  // its ixx, ixy, ixz, iyy, iyz, izz
  OriginTexts origin;
};

// One <collision> or <visual> element of a link.
struct GeometryEntry {
  enum class Shape { None, Box, Cylinder, Sphere, Mesh };
  bool visual = false;        // a <visual>, else a <collision>
  bool has_geometry = false;  // a <geometry> child
  Shape shape = Shape::None;  // the first of box, cylinder, sphere, mesh it holds, in that priority
  const char* first = nullptr;   // box "size", cylinder "radius", sphere "radius", mesh "filename"
  const char* second = nullptr;  // cylinder "length", mesh "scale"
  OriginTexts origin;
  bool has_material = false;        // a <material> child (visuals only)
  const char* material_name = nullptr;
  const char* rgba = nullptr;       // "rgba" of the material's first <color>
};

// One <link> child of the robot.
struct LinkEntry {
  std::string_view name;  // the "name" attribute, empty when absent
  std::uint64_t name_hash = 0;  // Model::name_hash(name), taken while the text is in the cache
  bool has_name = false;
  bool built = false;
  std::size_t frame = 0;  // its body frame, once built
  std::size_t rendering = 0;  // without a name: 1 + its index in Context::renderings, for the error
  InertialTexts inertial;
  OriginTexts origin;
  // Its collision and visual elements in document order: ctx.geometries[first, first +
  // count) (none when the geometry is not built).
  std::size_t geometries_first = 0, geometries_count = 0;
};

// One <joint> child of the robot.
struct JointEntry {
  const char* name = nullptr;  // attribute texts, null when absent
  std::size_t name_size = 0;    // the name's length (0 when absent)
  std::uint64_t name_hash = 0;  // Model::name_hash of the name ("" when absent), as for LinkEntry
  const char* type = nullptr;
  std::size_t rendering = 0;  // without a name: as for LinkEntry
  OriginTexts origin;
  bool has_axis = false;
  const char* axis_xyz = nullptr;
  bool has_limit = false;
  const char* lower = nullptr;
  const char* upper = nullptr;
  const char* effort = nullptr;
  const char* velocity = nullptr;
  std::string_view parent_link;  // "link" of the first <parent>, when it has one
  bool has_parent_link = false;
  bool has_child = false;        // a <child> element
  std::string_view child_link;   // its "link" (the build refuses a <child> without one)
  // Model::name_hash of parent_link and child_link (of "" where there is none), taken
  // while scanning as for the name: the walk finds both links by name.
  std::uint64_t parent_hash = 0, child_hash = 0;
  std::size_t frame = 0;         // the frame it added, once built
};

// The element another one hangs from: the robot, or a link or joint by its index in the
// context's lists.
struct ParentRef {
  enum class Kind { Robot, Link, Joint };
  Kind kind;
  std::size_t index = 0;
};

// Finds std::string keys by any string_view, without building a string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct Context {
  pugi::xml_node robot;  // only while the document is read
  bool robot_has_name;
  Model model;
  GeometryModel collision_model;
  GeometryModel visual_model;
  std::unordered_map<std::string, Color, TextHash, std::equal_to<>> materials;
  const std::optional<std::string>& package_dir;
  // The robot's <link> and <joint> children in document order.
  std::vector<LinkEntry> links;
  std::vector<JointEntry> joints;
  std::vector<GeometryEntry> geometries;
  // The renderings (tag and attributes) of the elements without a name, taken while the
  // document is read, for the error that reports one; the robot's when it has no name.
  std::vector<std::string> renderings;
  std::string robot_rendering;
  // False when only the model is built: the walk then reads neither materials nor the
  // links' <collision> and <visual> elements, and the geometry models stay empty.
  bool with_geometry = true;
  // The joint the root link hangs from, added as "root_joint" below the world; null to
  // weld the root links to the world. root_frame: that joint's frame (0: the world's).
  const JointModel* root_joint = nullptr;
  std::size_t root_frame = 0;
  // How many of the geometries are <visual> elements.
  std::size_t visual_count = 0;
  // The links' names one after the other, in document order (copied while scanning):
  // the walk compares names with these, which lie together, rather than with the text.
  std::string link_name_chars{};
};

// The frame an element's own frame hangs from: frame 0 below the robot element, else the
// frame the parent element (a link or a joint) added.
Result<std::size_t> get_parent_frame(const Context& ctx, ParentRef parent);

// Record what the build reads of a <link> (with the geometry, of its <collision> and
// <visual> elements too, appended to ctx.geometries) and of a <joint>. The name and,
// for a <child> without "link", the error are left to the caller.
void read_link_entry(Context& ctx, pugi::xml_node link, LinkEntry& entry);
void read_joint_entry(pugi::xml_node joint, JointEntry& entry);

// Builds ctx.links[link]; a link whose parent is the robot is a root link.
Result<void> parse_link(Context& ctx, std::size_t link, ParentRef parent, std::size_t parent_joint);
// Builds ctx.joints[joint], which hangs from a link. Returns the joint the child link
// hangs from: the new joint, or for a fixed joint the unchanged parent joint.
Result<std::size_t> parse_joint(Context& ctx, std::size_t joint, ParentRef parent, std::size_t parent_joint);

}  // namespace velmora::urdf
