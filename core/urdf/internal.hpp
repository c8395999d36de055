// Shared pieces of the URDF loader: the build context, element lookups, attribute
// readers, and the link, joint and mesh-path builders.
#pragma once

#include <array>
#include <cstring>
#include <cstddef>
#include <expected>
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
std::optional<float> parse_f32(std::string_view s);

// Splits on runs of Unicode white space; leading and trailing white space is ignored.
std::vector<std::string_view> split_whitespace(std::string_view s);
// The piece that starts at or after `pos` (moved past it); none when only white space
// is left.
std::optional<std::string_view> next_piece(std::string_view s, std::size_t& pos);

// ------------------------------------------------------------------ elements

// Tag names are compared without their namespace prefix: the builder strips prefixes
// from the parsed document once (strip_prefixes), so that lookups can compare names
// directly.
inline bool is_tag(pugi::xml_node node, const char* tag) { return std::strcmp(node.name(), tag) == 0; }
// The first element child whose tag name is `tag` (null node when there is none).
inline pugi::xml_node first_child(pugi::xml_node node, const char* tag) { return node.child(tag); }
// The attribute's text; empty optional when the attribute is absent.
std::optional<std::string_view> attribute(pugi::xml_node node, const char* name);
// The "name" attribute, or the empty string when absent.
std::string_view name_or_empty(pugi::xml_node node);
// The tag name and attributes of an element, for error messages: <joint type="fixed">.
std::string render(pugi::xml_node node);

// ------------------------------------------------------------------ attribute readers

Result<double> read_f64(pugi::xml_node node, const char* name);
Result<float> read_f32(pugi::xml_node node, const char* name);
Result<std::string_view> read_string(pugi::xml_node node, const char* name);
// Exactly N numbers separated by white space.
template <std::size_t N>
Result<std::array<double, N>> read_f64_list(pugi::xml_node node, const char* name);
template <std::size_t N>
Result<std::array<float, N>> read_f32_list(pugi::xml_node node, const char* name);

// The placement given by the first <origin> child (identity when there is none).
Result<SE3> parse_origin(pugi::xml_node node);

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

struct Context {
  pugi::xml_node robot;
  Model model;
  GeometryModel collision_model;
  GeometryModel visual_model;
  std::unordered_map<std::string, Color> materials;
  const std::optional<std::string>& package_dir;
  // The frame each built element added (a link's body frame, a joint's frame), so that
  // children find their parent frame without scanning the model's frames.
  std::unordered_map<const void*, std::size_t> element_frames;
};

// The frame an element's own frame hangs from: frame 0 below the robot element, else the
// frame the parent element (a link or a joint) added.
Result<std::size_t> get_parent_frame(Context& ctx, pugi::xml_node parent);

Result<void> parse_link(Context& ctx, pugi::xml_node link, pugi::xml_node parent, std::size_t parent_joint,
                        bool is_root);
// Returns the joint the child link hangs from: the new joint, or for a fixed joint the
// unchanged parent joint.
Result<std::size_t> parse_joint(Context& ctx, pugi::xml_node joint, pugi::xml_node parent,
                                std::size_t parent_joint);

}  // namespace velmora::urdf
