// The loader's entry points and the walk over the document: reading and checking the
// text, finding the robot, its materials and root links, and visiting links and joints
// depth-first (children in name order) with an explicit stack, so that neither a deep
// chain nor a malformed joint graph can exhaust the call stack or loop forever.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>

#include "core/urdf/internal.hpp"

namespace velmora {

using urdf::fail;
using urdf::Result;
using Kind = ParseError::Kind;

namespace urdf {

Result<std::size_t> get_parent_frame(const Context& ctx, ParentRef parent) {
  // The parent's name is required, then the robot's.
  switch (parent.kind) {
    case ParentRef::Kind::Robot:
      break;
    case ParentRef::Kind::Link:
      if (!ctx.links[parent.index].has_name)
        return fail(Kind::MissingName, ctx.renderings[ctx.links[parent.index].rendering - 1]);
      break;
    case ParentRef::Kind::Joint:
      if (!ctx.joints[parent.index].name)
        return fail(Kind::MissingName, ctx.renderings[ctx.joints[parent.index].rendering - 1]);
      break;
  }
  if (!ctx.robot_has_name) return fail(Kind::MissingName, ctx.robot_rendering);
  // The robot element itself (root links) is the world frame. This is decided by
  // identity, not by name: a link or joint that shares the robot's name still hangs
  // from its own frame, the one it added when it was built (the walk builds every
  // parent before its children).
  switch (parent.kind) {
    case ParentRef::Kind::Robot:
      return ctx.root_frame;
    case ParentRef::Kind::Link:
      return ctx.links[parent.index].frame;
    case ParentRef::Kind::Joint:
      return ctx.joints[parent.index].frame;
  }
  return std::size_t{0};
}

}  // namespace urdf

namespace {

using namespace urdf;

std::unexpected<ParseError> io_error(int err, const std::string& path) {
  return fail(Kind::IoError, std::generic_category().message(err) + " (os error " + std::to_string(err) + ")", path);
}

// Closes a file descriptor when it goes out of scope.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() { ::close(fd); }
};

Result<std::string> read_file(const std::string& path) {
  // A NUL byte would cut the path short and open another file.
  if (path.find('\0') != std::string::npos)
    return fail(Kind::IoError, "file name contained an unexpected NUL byte", path);
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error(errno, path);
  const FileDescriptor file{fd};
  // Read to the end into room that grows as needed; robot files mostly fit the first
  // block, so no size query is made and nothing is moved. A larger file gets room for
  // its size (plus one byte, to see the end) at once rather than by doubling, which
  // would copy it several times and touch twice its size in fresh memory. The room is
  // not cleared first: only what was read is kept.
  std::string text;
  std::size_t length = 0;
  int error = 0;
  const auto next_room = [&] {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::size_t>(st.st_size) >= length)
      return static_cast<std::size_t>(st.st_size) + 1;
    return 2 * (length + 1);  // growing, or not a regular file
  };
  for (std::size_t room = 1 << 16;; room = next_room()) {
    text.resize_and_overwrite(room, [&](char* buffer, std::size_t size) {
      while (length < size) {
        const ::ssize_t n = ::read(fd, buffer + length, size - length);
        if (n < 0) {
          if (errno == EINTR) continue;
          error = errno ? errno : EIO;
          break;
        }
        if (n == 0) break;
        length += static_cast<std::size_t>(n);
      }
      return length;
    });
    if (error) return io_error(error, path);
    if (length < room) break;  // the end was reached before the room was full
  }
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

// A robot-level <material>: its colour goes into the table under its name.
Result<void> read_material(Context& ctx, pugi::xml_node material) {
  const char* name = find_attributes<1>(material, {"name"})[0];
  if (!name) return fail(Kind::MissingName, render(material));
  const pugi::xml_node color = first_child(material, "color");
  if (!color) return fail(Kind::MaterialWithoutColor, name);
  const auto rgba = read_list<double, 4>(find_attributes<1>(color, {"rgba"})[0], "rgba");
  if (!rgba) return std::unexpected(rgba.error());
  ctx.materials.insert_or_assign(std::string(name), Color{*rgba});
  return {};
}

// Records the robot's links and joints (see read_link_entry and read_joint_entry) and
// reads the materials, in one pass over the element children of `parent`: the robot, or
// a piece of its content parsed alone. The first <child> without "link" is kept in
// `child_without_link`, to be reported once every material is read.
Result<void> scan_children(Context& ctx, pugi::xml_node parent, std::optional<ParseError>& child_without_link) {
  for (pugi::xml_node n = parent.first_child();; n = n.next_sibling()) {
    // Only elements have names (see first_children); past the last child is the null node.
    const char* tag = n.name();
    if (!*tag) {
      if (n.type() == pugi::node_null) break;
      continue;
    }
    if (same_name(tag, "link")) {
      const char* name = find_attributes<1>(n, {"name"})[0];
      LinkEntry& link = ctx.links.emplace_back();
      link.has_name = name != nullptr;
      if (name) {
        link.name = name;
        link.name_hash = Model::name_hash(link.name);
        ctx.link_name_chars += link.name;
      } else {
        link.name_hash = Model::name_hash({});
        ctx.renderings.push_back(render(n));
        link.rendering = ctx.renderings.size();
      }
      read_link_entry(ctx, n, link);
    } else if (same_name(tag, "joint")) {
      JointEntry& joint = ctx.joints.emplace_back();
      read_joint_entry(n, joint);
      joint.name_size = joint.name ? std::strlen(joint.name) : 0;
      joint.name_hash = Model::name_hash({joint.name ? joint.name : "", joint.name_size});
      joint.parent_hash = Model::name_hash(joint.parent_link);
      joint.child_hash = Model::name_hash(joint.child_link);
      if (!joint.name) {
        ctx.renderings.push_back(render(n));
        joint.rendering = ctx.renderings.size();
      }
      // A <child> without "link" leaves the view without any text.
      if (joint.has_child && !joint.child_link.data() && !child_without_link)
        child_without_link = ParseError{Kind::MissingParameter, "link", {}};
    } else if (ctx.with_geometry && same_name(tag, "material")) {
      if (auto r = read_material(ctx, n); !r) return r;
    }
  }
  return {};
}

// Prepares the lists scan_children fills, and keeps the robot element's rendering for
// the error when it has no name.
void begin_scan(Context& ctx) {
  // Room for the links and joints of most robots at once; larger ones grow by doubling,
  // which copies less than a count of the elements over the text would cost to read.
  ctx.links.reserve(64);
  ctx.joints.reserve(64);
  if (!ctx.robot_has_name) ctx.robot_rendering = render(ctx.robot);
}

// The whole robot element in one pass (see scan_children).
Result<void> scan_robot(Context& ctx) {
  begin_scan(ctx);
  std::optional<ParseError> child_without_link;
  if (auto r = scan_children(ctx, ctx.robot, child_without_link); !r) return r;
  ctx.robot = {};
  if (child_without_link) return std::unexpected(std::move(*child_without_link));
  return {};
}

// The first of a list of entries that carries a given name, found in constant average
// time: an open-addressing table of eight-byte slots (half the name's hash and the
// entry's index), the names compared through the caller's list of them. The names are
// views of text that outlives the table (the document's).
//
// A large robot's table is larger than the fast caches, and every insert and search
// would wait for memory in turn; the loops that fill and search it know the names to
// come, and ask for their slots a few steps ahead (prefetch).
class FirstByName {
 public:
  // `names`: the entries' names, by index; it must outlive the table.
  explicit FirstByName(const std::vector<std::string_view>& names) : names_(names) {
    std::size_t size = 16;
    while (size < 2 * names.size()) size *= 2;
    slots_.resize(size);
  }

  // Records entry `index` (names[index], whose Model::name_hash is `hash`) unless an
  // earlier entry holds that name; returns the index that does.
  std::size_t insert(std::uint64_t hash, std::size_t index) {
    const std::string_view name = names_[index];
    HashSlot& slot = slots_[probe(name, slot_hash(hash))];
    if (!slot.id_plus_one) slot = make_hash_slot(slot_hash(hash), index);
    return slot.id_plus_one - 1;
  }

  // `hash` is Model::name_hash(name).
  std::optional<std::size_t> find(std::string_view name, std::uint64_t hash) const {
    const HashSlot& slot = slots_[probe(name, slot_hash(hash))];
    if (!slot.id_plus_one) return std::nullopt;
    return slot.id_plus_one - 1;
  }

  void prefetch(std::uint64_t hash) const { prefetch_hash_slot(slots_, hash); }

 private:
  // The position of the slot holding `name`, or of the empty slot where it would go.
  std::size_t probe(std::string_view name, std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const HashSlot& s = slots_[i];
      if (!s.id_plus_one || (s.hash == hash && names_[s.id_plus_one - 1] == name)) return i;
    }
  }

  const std::vector<std::string_view>& names_;
  std::vector<HashSlot> slots_;  // a power of two long, at most half full
};

// How many entries ahead the loops over the links and joints ask for the table slots
// they will read.
constexpr std::size_t slots_ahead = 16;

// The order of the walk, worked out from the index lists alone a few visits ahead of
// the build: depth first from the roots in the order given, a link's joints in their
// group's order (see walk), a joint's child link right after it. Knowing the visits to
// come, the build asks for what each reads (its record, its text, the model's index
// slots for its name) several visits before it runs: in a large robot the name order
// jumps around the records and the text, and each visit would otherwise wait for main
// memory several times in turn. The order ends after a link that it has given before
// (the build stops there with an error), so that a cycle among the joints cannot make
// it run on.
class WalkOrder {
 public:
  struct Visit {
    bool is_link;
    std::size_t index;  // into ctx.links or ctx.joints
    ParentRef parent;
  };

  // Where each link's joints lie in `hanging`.
  struct Group {
    std::size_t begin, end;
  };

  // `child_of`: a joint's child link (`none` when it has none or the name is not a
  // link's).
  WalkOrder(const std::vector<std::size_t>& roots, const std::vector<Group>& groups,
            const std::vector<std::size_t>& hanging, const std::vector<std::size_t>& child_of, std::size_t none)
      : groups_(groups), hanging_(hanging), child_of_(child_of), none_(none), given_(groups.size(), 0) {
    for (auto it = roots.rbegin(); it != roots.rend(); ++it) pending_.push_back({true, *it, {ParentRef::Kind::Robot}});
  }

  // Works the order out up to visit `count` (fewer when it ends first); returns how many
  // visits are known.
  std::size_t extend(std::size_t count) {
    while (known_ < count && !pending_.empty() && !ended_) {
      const Visit visit = pending_.back();
      pending_.pop_back();
      ring_[known_++ % ring_size] = visit;
      if (visit.is_link) {
        if (given_[visit.index]) {
          ended_ = true;
          break;
        }
        given_[visit.index] = 1;
        // What the visits pushed here will read when they are given, asked for now.
        const Group group = groups_[visit.index];
        for (std::size_t k = group.end; k != group.begin;) {
          const std::size_t joint = hanging_[--k];
          prefetch_line(&child_of_[joint]);
          pending_.push_back({false, joint, {ParentRef::Kind::Link, visit.index}});
        }
      } else if (const std::size_t link = child_of_[visit.index]; link != none_) {
        prefetch_line(&groups_[link]);
        prefetch_line(&given_[link]);
        pending_.push_back({true, link, {ParentRef::Kind::Joint, visit.index}});
      }
    }
    return known_;
  }

  // Visit `position`, which must be known and at most `reach` visits behind the last
  // known one.
  const Visit& at(std::size_t position) const { return ring_[position % ring_size]; }
  static constexpr std::size_t reach = 31;

 private:
  static constexpr std::size_t ring_size = reach + 1;
  const std::vector<Group>& groups_;
  const std::vector<std::size_t>& hanging_;
  const std::vector<std::size_t>& child_of_;
  std::size_t none_;
  std::vector<char> given_;  // per link: given already
  std::vector<Visit> pending_;
  std::array<Visit, ring_size> ring_{};
  std::size_t known_ = 0;
  bool ended_ = false;
};

// Builds the models from the records scan_robot made.
Result<void> walk(Context& ctx) {
  const auto& links = ctx.links;
  const auto& joints = ctx.joints;
  const auto joint_name = [&](std::size_t j) {
    return std::string_view(joints[j].name ? joints[j].name : "", joints[j].name_size);
  };

  // The first link of each name is the one a joint's <child> finds; it also stands for
  // the other links of its name, which share its hanging joints. The names and their
  // hashes are gathered into lists of their own: the table compares names through the
  // one, and its inserts read ahead in the other.
  std::vector<std::string_view> link_names(links.size());
  std::vector<std::uint64_t> link_hash(links.size());
  for (std::size_t i = 0, offset = 0; i < links.size(); ++i) {
    link_names[i] = std::string_view(ctx.link_name_chars).substr(offset, links[i].name.size());
    offset += links[i].name.size();
    link_hash[i] = links[i].name_hash;
  }
  FirstByName links_by_name(link_names);
  std::vector<std::size_t> first_of_name(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) {
    if (i + slots_ahead < links.size()) links_by_name.prefetch(link_hash[i + slots_ahead]);
    first_of_name[i] = links_by_name.insert(link_hash[i], i);
  }

  // The joints that hang from a link (their <parent> names it), grouped by the first
  // link of that name (group g is hanging[start[g]] up to hanging[start[g + 1]]) and,
  // within a group, in the order the walk builds them: by their own name, equal names
  // in document order.
  // A link named as some joint's child is not a root; the link each joint's <child>
  // names is found here for the walk too (links.size(): none).
  std::size_t hanging_count = 0;
  std::vector<std::size_t> start(links.size() + 2, 0);
  std::vector<std::size_t> group_of(joints.size(), links.size());  // links.size(): none
  std::vector<char> is_child(links.size(), 0);
  std::vector<std::size_t> child_of(joints.size(), links.size());
  for (std::size_t j = 0; j < joints.size(); ++j) {
    if (j + slots_ahead < joints.size()) {
      const JointEntry& later = joints[j + slots_ahead];
      if (later.has_parent_link) links_by_name.prefetch(later.parent_hash);
      if (later.has_child) links_by_name.prefetch(later.child_hash);
    }
    const JointEntry& joint = joints[j];
    if (joint.has_child)
      if (const auto head = links_by_name.find(joint.child_link, joint.child_hash)) {
        is_child[*head] = 1;
        child_of[j] = *head;
      }
    if (!joint.has_parent_link) continue;
    ++hanging_count;
    if (const auto head = links_by_name.find(joint.parent_link, joint.parent_hash)) {
      group_of[j] = *head;
      ++start[*head + 2];
    }
  }
  for (std::size_t g = 2; g < start.size(); ++g) start[g] += start[g - 1];
  std::vector<std::size_t> hanging(start.back());
  for (std::size_t j = 0; j < joints.size(); ++j)
    if (group_of[j] < links.size()) hanging[start[group_of[j] + 1]++] = j;
  // The sort compares the joints' names, which are in the text: those of the groups a
  // few steps on are asked for meanwhile.
  for (std::size_t g = 0; g < links.size(); ++g) {
    if (const std::size_t later = g + slots_ahead; later < links.size() && start[later + 1] - start[later] > 1)
      for (std::size_t k = start[later]; k != start[later + 1]; ++k)
        if (const char* name = joints[hanging[k]].name) prefetch_line(name);
    if (start[g + 1] - start[g] > 1)
      std::sort(hanging.begin() + static_cast<std::ptrdiff_t>(start[g]),
                hanging.begin() + static_cast<std::ptrdiff_t>(start[g + 1]), [&](std::size_t x, std::size_t y) {
                  const std::string_view nx = joint_name(x), ny = joint_name(y);
                  return nx < ny || (nx == ny && x < y);
                });
  }

  // The roots are built in name order, equal names in document order.
  std::vector<std::size_t> roots;
  for (std::size_t i = 0; i < links.size(); ++i)
    if (!is_child[first_of_name[i]]) roots.push_back(i);
  std::sort(roots.begin(), roots.end(), [&](std::size_t x, std::size_t y) {
    return links[x].name < links[y].name || (links[x].name == links[y].name && x < y);
  });

  // Room for every frame, joint and geometry object the walk can add, so that the lists
  // grow once (a large robot's would otherwise be copied several times over as they
  // double, through memory that no longer fits the caches).
  const std::size_t most_joints = 1 + (ctx.root_joint ? 1 : 0) + hanging_count;
  const std::size_t most_frames = most_joints + links.size();
  ctx.model.reserve(most_joints, most_frames);
  if (ctx.with_geometry && !ctx.geometries.empty()) {
    ctx.collision_model.objects.reserve(ctx.geometries.size() - ctx.visual_count);
    ctx.visual_model.objects.reserve(ctx.visual_count);
    for (GeometryModel* geometry : {&ctx.collision_model, &ctx.visual_model}) {
      geometry->joint_parents.reserve(most_joints);
      geometry->frame_names.reserve(most_frames);
    }
  }

  // A root joint carries the one root link (several could only be welded together).
  std::size_t root_parent_joint = 0;
  if (ctx.root_joint) {
    if (roots.size() != 1)
      return fail(Kind::InvalidModel, "a root joint needs exactly one root link, but the robot has " +
                                          std::to_string(roots.size()));
    const auto id = ctx.model.add_joint(0, ctx.root_joint->clone_box(), SE3::identity(), "root_joint");
    if (!id) return fail(Kind::InvalidModel, id.error().display());
    const auto frame =
        ctx.model.add_frame(Frame{"root_joint", *id, 0, SE3::identity(), FrameType::Joint, Inertia::zeros()}, true);
    if (!frame) return fail(Kind::InvalidModel, frame.error().display());
    ctx.root_frame = *frame;
    root_parent_joint = *id;
  }

  // Each link's joints, by the group of its name (see above).
  std::vector<WalkOrder::Group> groups(links.size());
  for (std::size_t i = 0; i < links.size(); ++i) groups[i] = {start[first_of_name[i]], start[first_of_name[i] + 1]};
  WalkOrder order(roots, groups, hanging, child_of, links.size());
  // What a visit reads is asked for ahead of it: its record `record_ahead` visits before,
  // then, from the record, its text (from its name on, which comes first in the usual
  // files) and the model's index slots for its name `text_ahead` visits before.
  constexpr std::size_t record_ahead = 8, text_ahead = 4;
  static_assert(record_ahead < WalkOrder::reach);
  const auto fetch = [](const void* p, std::size_t bytes) {
    const char* c = static_cast<const char*>(p);
    for (std::size_t k = 0; k < bytes; k += 64) prefetch_line(c + k);
  };
  // The joint each built link hangs from, and the joint each built joint's child hangs
  // from (the new joint, or the parent's for a fixed joint).
  std::vector<std::size_t> link_joint(links.size()), joint_after(joints.size());
  for (std::size_t position = 0;; ++position) {
    const std::size_t known = order.extend(position + record_ahead + 1);
    if (position >= known) break;
    if (position + record_ahead < known) {
      const WalkOrder::Visit& later = order.at(position + record_ahead);
      if (later.is_link)
        fetch(&links[later.index], sizeof(LinkEntry));
      else
        fetch(&joints[later.index], sizeof(JointEntry));
    }
    if (position + text_ahead < known) {
      const WalkOrder::Visit& later = order.at(position + text_ahead);
      if (later.is_link) {
        const LinkEntry& link = links[later.index];
        if (link.name.data()) fetch(link.name.data(), 320);
        ctx.model.prefetch_name(link.name_hash, false);
      } else {
        const JointEntry& joint = joints[later.index];
        if (joint.name) fetch(joint.name, 256);
        ctx.model.prefetch_name(joint.name_hash, true);
      }
    }
    const WalkOrder::Visit visit = order.at(position);
    if (visit.is_link) {
      LinkEntry& link = ctx.links[visit.index];
      if (link.built) return fail(Kind::LinkReachedTwice, std::string(link.name));
      link.built = true;
      const std::size_t parent_joint =
          visit.parent.kind == ParentRef::Kind::Robot ? root_parent_joint : joint_after[visit.parent.index];
      link_joint[visit.index] = parent_joint;
      if (auto r = parse_link(ctx, visit.index, visit.parent, parent_joint); !r) return r;
    } else {
      const JointEntry& joint = joints[visit.index];
      const auto joint_id = parse_joint(ctx, visit.index, visit.parent, link_joint[visit.parent.index]);
      if (!joint_id) return std::unexpected(joint_id.error());
      joint_after[visit.index] = *joint_id;
      if (joint.has_child && child_of[visit.index] == links.size())
        return fail(Kind::UnknownLinkName, std::string(joint.child_link));
    }
  }
  return {};
}

// True when every number of the list is finite.
template <std::size_t N>
bool finite(const std::array<double, N>& values) {
  for (const double x : values)
    if (!std::isfinite(x)) return false;
  return true;
}
bool finite(const Vector3D& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
bool finite(const SE3& m) { return finite(m.rotation.m) && finite(m.translation); }
bool finite(const Inertia& i) { return std::isfinite(i.mass) && finite(i.com) && finite(i.inertia.data); }

// The numbers read are all finite, but placements and inertias composed from very large
// ones can still overflow; such a model is refused rather than handed out with
// infinities or NaN in it.
Result<void> check_finite(const Context& ctx) {
  const Model& model = ctx.model;
  const auto quoted = [](const std::string& name) { return "'" + name + "'"; };
  for (std::size_t i = 0; i < model.njoints(); ++i) {
    if (!finite(model.joint_placements[i]))
      return fail(Kind::NotFinite, "the placement of joint " + quoted(model.joint_names[i]));
    if (!finite(model.inertias[i]))
      return fail(Kind::NotFinite, "the inertia of the body moved by joint " + quoted(model.joint_names[i]));
  }
  for (const Frame& frame : model.frames) {
    if (!finite(frame.placement)) return fail(Kind::NotFinite, "the placement of frame " + quoted(frame.name));
    if (!finite(frame.inertia)) return fail(Kind::NotFinite, "the inertia of frame " + quoted(frame.name));
  }
  for (const GeometryModel* geometry : {&ctx.collision_model, &ctx.visual_model})
    for (const GeometryObject& object : geometry->objects)
      if (!finite(object.placement))
        return fail(Kind::NotFinite, "the placement of geometry object " + quoted(object.name));
  return {};
}

// ------------------------------------------------------------------ large documents
//
// The parsed tree of a document takes about four times the memory of its text. For a
// large robot that is far more than any cache holds: written by the parser, it is read
// back from main memory by the scan. A large document in the usual form (a <robot> root
// element, with only white space, comments and processing instructions around it) is
// therefore parsed piece by piece, each piece a run of the robot's content, scanned and
// released before the next one is parsed into the same memory, which stays in the cache.
//
// A piece ends after a "</link>" or "</joint>" that the next link or joint follows: in a
// URDF document, nearly always the end of one of the robot's own children. The parse of
// each piece checks that: parsed alone, a piece that does not end between two of the
// robot's children ends inside an element, a value, a comment or the like, which the
// parser refuses. A piece the parser accepts therefore gives the very nodes the whole
// document gives for that stretch of text. Whatever the pieces cannot vouch for goes
// through the whole-document parse instead: a text in another form, a piece the parser
// refuses, a document type declaration, and every error found while scanning, so that
// errors are reported exactly as for the whole document.

// Pieces of at least this many bytes of text. Documents of less than four times as many
// are parsed whole: their tree still fits the caches, and splitting has a small cost.
constexpr std::size_t piece_bytes = 32 * 1024;
constexpr std::size_t pieces_from = 4 * piece_bytes;

struct Split {
  std::size_t robot_begin = 0, robot_end = 0;  // the robot's start tag
  std::vector<std::size_t> ends;               // where each piece of the content ends; the first begins at robot_end
};

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr std::size_t npos = std::string_view::npos;

// One past the ">" that ends the tag starting at text[i] ("<"); quoted attribute values
// may hold ">". npos when the text ends first.
std::size_t tag_end(std::string_view text, std::size_t i) {
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '>') return i + 1;
    if (c == '"' || c == '\'') {
      i = text.find(c, i + 1);
      if (i == npos) return npos;
    }
  }
  return npos;
}

// Past white space, comments and processing instructions from text[i] on.
std::size_t skip_misc(std::string_view text, std::size_t i) {
  for (;;) {
    while (i < text.size() && is_xml_space(text[i])) ++i;
    std::string_view close;
    if (text.substr(i, 4) == "<!--")
      close = "-->";
    else if (text.substr(i, 2) == "<?")
      close = "?>";
    else
      return i;
    const std::size_t e = text.find(close, i + 2);
    if (e == npos) return i;
    i = e + close.size();
  }
}

// Where the next piece that starts at `begin` ends: past the first "</link>" or
// "</joint>" at least piece_bytes on that "<link" or "<joint" follows (after white
// space), and that is not inside a comment or CDATA section (files often hold links
// commented out); `content_end` when there is none before it.
std::size_t piece_end(std::string_view text, std::size_t begin, std::size_t content_end) {
  if (content_end - begin < 2 * piece_bytes) return content_end;
  // Comments and CDATA sections are passed over in order up to the candidate end, from
  // the start of the piece (which is between elements, so outside any).
  std::size_t outside = begin;  // no comment or section starting before here reaches past it
  const auto inside_markup = [&](std::size_t end) {
    for (;;) {
      // Both start with "<!", and "!" is rare elsewhere in robot files.
      const void* found = std::memchr(text.data() + outside, '!', end - outside);
      if (!found) {
        outside = end;
        return false;
      }
      const std::size_t bang = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
      std::string_view close;
      if (text.substr(bang - 1, 4) == "<!--")
        close = "-->";
      else if (text.substr(bang - 1, 9) == "<![CDATA[")
        close = "]]>";
      else {
        outside = bang + 1;
        continue;
      }
      const std::size_t open = bang - 1;
      const std::size_t e = text.find(close, open + 2);
      if (e == npos || e + close.size() > end) return true;
      outside = e + close.size();
    }
  };
  for (std::size_t k = text.find("</", begin + piece_bytes); k < content_end; k = text.find("</", k + 2)) {
    std::size_t end;
    if (text.substr(k + 2, 5) == "link>")
      end = k + 7;
    else if (text.substr(k + 2, 6) == "joint>")
      end = k + 8;
    else
      continue;
    std::size_t next = end;
    while (next < content_end && is_xml_space(text[next])) ++next;
    const std::string_view after = text.substr(next, 6);
    if ((after.starts_with("<link") || after.starts_with("<joint")) && !inside_markup(end)) return end;
  }
  return content_end;
}

// The robot's start tag and its content cut into pieces, or nothing when the text is
// not in the usual form.
std::optional<Split> split_document(std::string_view text) {
  Split split;
  const std::size_t i = skip_misc(text, 0);
  if (text.substr(i, 6) != "<robot" || i + 6 >= text.size() || !(is_xml_space(text[i + 6]) || text[i + 6] == '>'))
    return std::nullopt;
  split.robot_begin = i;
  split.robot_end = tag_end(text, i);
  if (split.robot_end == npos || text[split.robot_end - 2] == '/') return std::nullopt;
  // The robot's end tag, with nothing but white space, comments and processing
  // instructions after it.
  const std::size_t close = text.rfind("</robot");
  if (close == npos || close < split.robot_end) return std::nullopt;
  std::size_t k = close + 7;
  while (k < text.size() && is_xml_space(text[k])) ++k;
  if (k == text.size() || text[k] != '>' || skip_misc(text, k + 1) != text.size()) return std::nullopt;
  for (std::size_t begin = split.robot_end; begin < close;) {
    begin = piece_end(text, begin, close);
    split.ends.push_back(begin);
  }
  return split;
}

// Once the first piece of `content` bytes is scanned (`sampled` of them): room in the
// record lists for the whole content at that piece's density and an eighth more, so
// that a large robot's lists are not copied over and over as they double. Each list is
// given at most as many bytes as the content has (a first piece of tiny links before
// large ones would otherwise ask for far too much); a list that still runs out of room
// grows as before.
void reserve_from_sample(Context& ctx, std::size_t sampled, std::size_t content) {
  if (sampled >= content || sampled == 0) return;
  const auto reserve = [&](auto& list) {
    using Entry = typename std::remove_reference_t<decltype(list)>::value_type;
    const double scale = static_cast<double>(content) / static_cast<double>(sampled);
    const double estimate = static_cast<double>(list.size()) * scale * 1.125;
    const double most = static_cast<double>(content) / sizeof(Entry);
    list.reserve(static_cast<std::size_t>(std::min(estimate, most)));
  };
  reserve(ctx.links);
  reserve(ctx.joints);
  reserve(ctx.geometries);
}

constexpr unsigned parse_options = pugi::parse_default | pugi::parse_doctype | pugi::parse_fragment;

// Builds the models from a document split into pieces, parsing each in place. Nothing
// when the whole-document parse must decide (see above): the text may then have been
// written to.
std::optional<Result<UrdfModels>> build_in_pieces(std::string& text, const Split& split,
                                                  const std::optional<std::string>& package_dir, bool with_geometry,
                                                  const JointModel* root_joint) {
  // The robot's start tag, closed on itself, gives its name and attributes.
  std::string start(text, split.robot_begin, split.robot_end - split.robot_begin);
  start.insert(start.size() - 1, "/");
  pugi::xml_document robot_document;
  if (!robot_document.load_buffer_inplace(start.data(), start.size(), parse_options, pugi::encoding_utf8))
    return std::nullopt;
  const pugi::xml_node robot = robot_document.first_child();
  if (robot.type() != pugi::node_element || !is_tag(robot, "robot") || robot.next_sibling()) return std::nullopt;

  const char* robot_name = find_attributes<1>(robot, {"name"})[0];
  Context ctx{robot, robot_name != nullptr, Model(robot_name ? robot_name : ""), {}, {}, {}, package_dir, {}, {}, {},
              {}, {}, with_geometry};
  ctx.root_joint = root_joint;
  begin_scan(ctx);
  std::optional<ParseError> child_without_link;
  pugi::xml_document doc;
  std::size_t begin = split.robot_end;
  for (const std::size_t end : split.ends) {
    if (!doc.load_buffer_inplace(text.data() + begin, end - begin, parse_options, pugi::encoding_utf8))
      return std::nullopt;
    begin = end;
    // Inside the robot the whole document refuses a document type declaration.
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling())
      if (n.type() == pugi::node_doctype) return std::nullopt;
    if (!scan_children(ctx, doc, child_without_link)) return std::nullopt;
    if (end == split.ends.front()) reserve_from_sample(ctx, end - split.robot_end, split.ends.back() - split.robot_end);
  }
  if (child_without_link) return std::nullopt;
  doc.reset();
  ctx.robot = {};
  if (auto r = walk(ctx); !r) return std::unexpected(r.error());
  if (auto r = check_finite(ctx); !r) return std::unexpected(r.error());
  return UrdfModels{std::move(ctx.model), std::move(ctx.collision_model), std::move(ctx.visual_model)};
}

// Builds the models from the document's text; with `with_geometry` false, the model
// alone (the geometry models stay empty and package_dir is not used). The text is parsed
// in place (the document's names and values point into it), so a large file is not
// copied once more; `original` gives the text as it was, for the position of a parse
// error.
Result<UrdfModels> build_from_text(std::string& text, const std::function<std::string()>& original,
                                   const std::optional<std::string>& package_dir, const std::string& filepath,
                                   bool with_geometry, const JointModel* root_joint, bool in_pieces = true) {
  if (!is_utf8(text)) return fail(Kind::IoError, "stream did not contain valid UTF-8", filepath);
  // XML allows no NUL character; the parser would take one as the end of the text.
  if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
    return xml_error(text, static_cast<std::ptrdiff_t>(nul), "a NUL character is not allowed");
  // What the checks after parsing need to know of the text, before the parse changes it.
  const bool prefixed_tags = may_have_prefixed_tags(text);
  const bool character_references = text.find("&#") != std::string::npos;

  // Prefixed tags and character references need the checks of the whole document.
  if (in_pieces && text.size() >= pieces_from && !prefixed_tags && !character_references)
    if (const auto split = split_document(text)) {
      if (auto built = build_in_pieces(text, *split, package_dir, with_geometry, root_joint))
        return std::move(*built);
      // The whole document decides, from the text as it was.
      std::string again = original();
      return build_from_text(again, original, package_dir, filepath, with_geometry, root_joint, false);
    }

  pugi::xml_document doc;
  // Document type declarations, and text outside the root element, become nodes so that
  // they can be refused; the fragment mode keeps such text instead of dropping it.
  const pugi::xml_parse_result parsed =
      doc.load_buffer_inplace(text.data(), text.size(), parse_options, pugi::encoding_utf8);
  if (!parsed) {
    // The parser has written into the text before the error (ends of names, white space
    // in values), so lines and columns are counted in the text as it was.
    std::string before = original();
    return xml_error(before.size() == text.size() ? std::string_view(before) : std::string_view(text), parsed.offset,
                     parsed.description());
  }
  if (prefixed_tags) strip_prefixes(doc);
  const auto robot = check_document(doc, character_references);
  if (!robot) return std::unexpected(robot.error());

  const char* robot_name = find_attributes<1>(*robot, {"name"})[0];
  Context ctx{*robot, robot_name != nullptr, Model(robot_name ? robot_name : ""), {}, {}, {}, package_dir, {}, {}, {},
              {}, {}, with_geometry};
  ctx.root_joint = root_joint;
  if (auto r = scan_robot(ctx); !r) return std::unexpected(r.error());
  // Everything the walk reads is recorded, pointing into the text: the tree's memory is
  // given back before the models take theirs.
  doc.reset();
  if (auto r = walk(ctx); !r) return std::unexpected(r.error());
  if (auto r = check_finite(ctx); !r) return std::unexpected(r.error());
  return UrdfModels{std::move(ctx.model), std::move(ctx.collision_model), std::move(ctx.visual_model)};
}

// The models from a file or from text in memory.
Result<UrdfModels> build_from_file(const std::string& filepath, const std::optional<std::string>& package_dir,
                                   bool with_geometry, const JointModel* root_joint) {
  auto text = read_file(filepath);
  if (!text) return std::unexpected(text.error());
  // After a parse error the file is read again for the error's position; should that
  // fail or give another length, the position is counted in the parsed text.
  const auto original = [&] {
    auto again = read_file(filepath);
    return again ? std::move(*again) : std::string();
  };
  return build_from_text(*text, original, package_dir, filepath, with_geometry, root_joint);
}

Result<UrdfModels> build_from_string(std::string_view text, const std::optional<std::string>& package_dir,
                                     bool with_geometry, const JointModel* root_joint) {
  std::string copy(text);
  return build_from_text(copy, [&] { return std::string(text); }, package_dir, "<string>", with_geometry, root_joint);
}

}  // namespace

std::expected<UrdfModels, ParseError> build_models_from_urdf(const std::string& filepath,
                                                             const std::optional<std::string>& package_dir,
                                                             const JointModel* root_joint) {
  return build_from_file(filepath, package_dir, true, root_joint);
}

std::expected<UrdfModels, ParseError> build_models_from_urdf_string(std::string_view text,
                                                                    const std::optional<std::string>& package_dir,
                                                                    const JointModel* root_joint) {
  return build_from_string(text, package_dir, true, root_joint);
}

namespace {

const std::optional<std::string> no_package_dir;

}  // namespace

std::expected<Model, ParseError> build_model_from_urdf(const std::string& filepath, const JointModel* root_joint) {
  auto built = build_from_file(filepath, no_package_dir, false, root_joint);
  if (!built) return std::unexpected(std::move(built.error()));
  return std::move(built->model);
}

std::expected<Model, ParseError> build_model_from_urdf_string(std::string_view text, const JointModel* root_joint) {
  auto built = build_from_string(text, no_package_dir, false, root_joint);
  if (!built) return std::unexpected(std::move(built.error()));
  return std::move(built->model);
}

}  // namespace velmora
