// The loader's entry points and the walk over the document: reading and checking the
// text, finding the robot, its materials and root links, and visiting links and joints
// depth-first (children in name order) with an explicit stack, so that neither a deep
// chain nor a malformed joint graph can exhaust the call stack or loop forever.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <unordered_set>

#include "core/urdf/internal.hpp"

namespace velmora {

using urdf::fail;
using urdf::Result;
using Kind = ParseError::Kind;

namespace urdf {

Result<std::size_t> get_parent_frame(Context& ctx, pugi::xml_node parent) {
  const auto parent_name = attribute(parent, "name");
  if (!parent_name) return fail(Kind::MissingName, render(parent));
  if (!attribute(ctx.robot, "name")) return fail(Kind::MissingName, render(ctx.robot));
  // The robot element itself (root links) is the world frame. This is decided by
  // identity, not by name: a link or joint that shares the robot's name still hangs
  // from its own frame.
  if (parent == ctx.robot) return std::size_t{0};
  if (const auto it = ctx.element_frames.find(parent.internal_object()); it != ctx.element_frames.end())
    return it->second;
  FrameType type = FrameType::Body;
  if (const auto t = attribute(parent, "type")) {
    if (*t == "fixed")
      type = FrameType::Fixed;
    else if (*t == "revolute" || *t == "continuous" || *t == "prismatic")
      type = FrameType::Joint;
  }
  const auto id = ctx.model.get_frame_id(*parent_name, type);
  if (!id) return fail(Kind::UnknownParentFrame, std::string(*parent_name));
  return *id;
}

}  // namespace urdf

namespace {

using namespace urdf;

std::unexpected<ParseError> io_error(int err, const std::string& path) {
  return fail(Kind::IoError, std::generic_category().message(err) + " (os error " + std::to_string(err) + ")", path);
}

Result<std::string> read_file(const std::string& path) {
  // A NUL byte would cut the path short and open another file.
  if (path.find('\0') != std::string::npos)
    return fail(Kind::IoError, "file name contained an unexpected NUL byte", path);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return io_error(errno, path);
  // Sized from the file's length when it has one, then read to the end whatever it is.
  struct stat info;
  std::size_t capacity = 1 << 16;
  if (::fstat(::fileno(file.get()), &info) == 0 && info.st_size > 0) capacity = static_cast<std::size_t>(info.st_size) + 1;
  std::string text;
  std::size_t length = 0;
  for (;;) {
    text.resize(length + capacity);
    const std::size_t n = std::fread(text.data() + length, 1, capacity, file.get());
    length += n;
    if (n < capacity) break;
    capacity = std::max<std::size_t>(capacity, 1 << 16);
  }
  text.resize(length);
  if (std::ferror(file.get())) return io_error(errno ? errno : EIO, path);
  return text;
}

std::unexpected<ParseError> xml_error(std::string_view text, std::ptrdiff_t offset, const std::string& what) {
  std::size_t line = 1, column = 1;
  const std::size_t end = std::min<std::size_t>(offset < 0 ? 0 : static_cast<std::size_t>(offset), text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n')
      ++line, column = 1;
    else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      ++column;
  }
  return fail(Kind::XmlError, what + " at line " + std::to_string(line) + ", column " + std::to_string(column));
}

// True when some tag in the text may carry a namespace prefix ("<x:link"). Colons are
// rare in URDF text, so each one is traced back over name characters to a "<" (or
// "</"). Text in comments or values may give a false alarm, which only costs a walk
// over the document.
bool may_have_prefixed_tags(std::string_view text) {
  for (std::size_t i = text.find(':'); i != std::string_view::npos; i = text.find(':', i + 1)) {
    std::size_t k = i;
    while (k > 0) {
      const char c = text[k - 1];
      if (c == '<' || c == '/') return true;
      if (c == '>' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '"' || c == '\'' || c == '=')
        break;
      --k;
    }
  }
  return false;
}

// Replaces every prefixed element name by its local name (the part after the last ":"),
// since tags are matched without their namespace.
void strip_prefixes(pugi::xml_node root) {
  pugi::xml_node n = root;
  while (n) {
    if (n.type() == pugi::node_element) {
      const char* colon = std::strrchr(n.name(), ':');
      if (colon) n.set_name(std::string(colon + 1).c_str());
    }
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && n != root && !n.next_sibling()) n = n.parent();
    if (n == root) break;
    if (n) n = n.next_sibling();
  }
}

// Checks what the XML parser lets through but a well-formed document may not hold (a
// document type declaration, several root elements, text outside the root element,
// values that character references made invalid UTF-8) and finds the first <robot>
// element in document order. Iterative, so any nesting depth is fine.
Result<pugi::xml_node> check_document(const pugi::xml_document& doc, bool has_character_references) {
  // The parser accepts a document type declaration only before the root element, so
  // the document's own children are the only place to look for one.
  std::size_t roots = 0;
  pugi::xml_node root;
  for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
    switch (n.type()) {
      case pugi::node_element:
        ++roots, root = n;
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        return fail(Kind::XmlError, "text outside the root element");
      case pugi::node_doctype:
        return fail(Kind::XmlError, "a document type declaration is not allowed");
      default:
        break;
    }
  }
  if (roots == 0) return fail(Kind::XmlError, "no root element");
  if (roots > 1) return fail(Kind::XmlError, "more than one root element");
  const bool root_is_robot = is_tag(root, "robot");
  if (root_is_robot && !has_character_references) return root;

  // Otherwise walk the whole tree in document order.
  pugi::xml_node robot = root_is_robot ? root : pugi::xml_node();
  pugi::xml_node n = root;
  while (n) {
    if (n.type() == pugi::node_element) {
      // The text is valid UTF-8, so only a character reference can have made a value
      // that is not (a surrogate, or a code point above U+10FFFF).
      if (has_character_references) {
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
          if (!is_utf8(a.value()))
            return fail(Kind::XmlError, "an attribute of <" + std::string(n.name()) + "> is not valid UTF-8");
      }
      if (!robot && is_tag(n, "robot")) robot = n;
    }
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && !n.next_sibling()) n = n.parent();
    if (n) n = n.next_sibling();
  }
  if (!robot) return fail(Kind::NoRobotTag);
  return robot;
}

Result<void> read_materials(Context& ctx) {
  for (pugi::xml_node m = ctx.robot.child("material"); m; m = m.next_sibling("material")) {
    const auto name = attribute(m, "name");
    if (!name) return fail(Kind::MissingName, render(m));
    const pugi::xml_node color = first_child(m, "color");
    if (!color) return fail(Kind::MaterialWithoutColor, std::string(*name));
    const auto rgba = read_f64_list<4>(color, "rgba");
    if (!rgba) return std::unexpected(rgba.error());
    ctx.materials[std::string(*name)] = Color{*rgba};
  }
  return {};
}

void sort_by_name(std::vector<pugi::xml_node>& nodes) {
  std::stable_sort(nodes.begin(), nodes.end(),
                   [](pugi::xml_node x, pugi::xml_node y) { return name_or_empty(x) < name_or_empty(y); });
}

struct Step {
  pugi::xml_node element;
  pugi::xml_node parent;
  std::size_t parent_joint;
  bool is_root;
};

Result<void> walk(Context& ctx) {
  std::vector<pugi::xml_node> links;
  std::unordered_map<std::string_view, pugi::xml_node> link_by_name;
  std::unordered_map<std::string_view, std::vector<pugi::xml_node>> joints_by_parent;
  std::unordered_set<std::string_view> child_names;
  for (pugi::xml_node n = ctx.robot.first_child(); n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element) continue;
    if (is_tag(n, "link")) {
      links.push_back(n);
      link_by_name.try_emplace(name_or_empty(n), n);
    } else if (is_tag(n, "joint")) {
      if (const pugi::xml_node child = first_child(n, "child")) {
        const auto link = read_string(child, "link");
        if (!link) return std::unexpected(link.error());
        child_names.insert(*link);
      }
      if (const pugi::xml_node parent = first_child(n, "parent"))
        if (const auto link = attribute(parent, "link")) joints_by_parent[*link].push_back(n);
    }
  }

  // Room for every frame and joint the walk can add, so that the model's lists grow once.
  std::size_t joint_count = 0;
  for (const auto& [_, hanging] : joints_by_parent) joint_count += hanging.size();
  ctx.model.frames.reserve(1 + links.size() + joint_count);
  ctx.element_frames.reserve(links.size() + joint_count);
  ctx.model.joint_placements.reserve(1 + joint_count);
  ctx.model.joint_names.reserve(1 + joint_count);
  ctx.model.joint_parents.reserve(1 + joint_count);
  ctx.model.joint_models.reserve(1 + joint_count);
  ctx.model.inertias.reserve(1 + joint_count);

  std::vector<pugi::xml_node> roots;
  for (pugi::xml_node link : links)
    if (!child_names.contains(name_or_empty(link))) roots.push_back(link);
  sort_by_name(roots);

  std::vector<Step> stack;
  for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.push_back({*it, ctx.robot, 0, true});
  std::unordered_set<const void*> built;
  std::vector<pugi::xml_node> next;
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    if (is_tag(step.element, "link")) {
      const std::string_view name = name_or_empty(step.element);
      if (!built.insert(step.element.internal_object()).second) return fail(Kind::LinkReachedTwice, std::string(name));
      if (auto r = parse_link(ctx, step.element, step.parent, step.parent_joint, step.is_root); !r) return r;
      const auto hanging = joints_by_parent.find(name);
      if (hanging == joints_by_parent.end()) continue;
      next = hanging->second;
      sort_by_name(next);
      for (auto it = next.rbegin(); it != next.rend(); ++it) stack.push_back({*it, step.element, step.parent_joint, false});
    } else {
      const auto joint_id = parse_joint(ctx, step.element, step.parent, step.parent_joint);
      if (!joint_id) return std::unexpected(joint_id.error());
      const pugi::xml_node child = first_child(step.element, "child");
      if (!child) continue;
      const auto link_name = read_string(child, "link");
      if (!link_name) return std::unexpected(link_name.error());
      const auto link = link_by_name.find(*link_name);
      if (link == link_by_name.end()) return fail(Kind::UnknownLinkName, std::string(*link_name));
      stack.push_back({link->second, step.element, *joint_id, false});
    }
  }
  return {};
}

Result<UrdfModels> build_from_text(std::string text, const std::optional<std::string>& package_dir,
                                   const std::string& filepath) {
  if (!is_utf8(text)) return fail(Kind::IoError, "stream did not contain valid UTF-8", filepath);
  // XML allows no NUL character; the parser would take one as the end of the text.
  if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
    return xml_error(text, static_cast<std::ptrdiff_t>(nul), "a NUL character is not allowed");

  pugi::xml_document doc;
  // Document type declarations, and text outside the root element, become nodes so that
  // they can be refused; the fragment mode keeps such text instead of dropping it.
  constexpr unsigned options = pugi::parse_default | pugi::parse_doctype | pugi::parse_fragment;
  const pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
  if (!parsed) return xml_error(text, parsed.offset, parsed.description());
  if (may_have_prefixed_tags(text)) strip_prefixes(doc);
  const auto robot = check_document(doc, text.find("&#") != std::string::npos);
  if (!robot) return std::unexpected(robot.error());
  text = std::string();  // the document holds its own copy

  Context ctx{*robot, Model(std::string(name_or_empty(*robot))), {}, {}, {}, package_dir, {}};
  if (auto r = read_materials(ctx); !r) return std::unexpected(r.error());
  if (auto r = walk(ctx); !r) return std::unexpected(r.error());
  return UrdfModels{std::move(ctx.model), std::move(ctx.collision_model), std::move(ctx.visual_model)};
}

}  // namespace

std::expected<UrdfModels, ParseError> build_models_from_urdf(const std::string& filepath,
                                                             const std::optional<std::string>& package_dir) {
  auto text = read_file(filepath);
  if (!text) return std::unexpected(text.error());
  return build_from_text(std::move(*text), package_dir, filepath);
}

std::expected<UrdfModels, ParseError> build_models_from_urdf_string(std::string_view text,
                                                                    const std::optional<std::string>& package_dir) {
  return build_from_text(std::string(text), package_dir, "<string>");
}

}  // namespace velmora
