// Reading the <disable_collisions> entries of an SRDF file.
#include <algorithm>
#include <unordered_map>

#include <pugixml.hpp>

#include "core/collision/collision.hpp"
#include "core/spatial/format.hpp"

namespace velmora {

std::expected<SrdfOutcome, CollisionError> remove_collision_pairs_from_srdf(GeometryModel& model,
                                                                            const std::string& path,
                                                                            const std::vector<std::string>* names) {
  // A NUL byte would cut the path short and read another file.
  if (path.find('\0') != std::string::npos)
    return std::unexpected(CollisionError{"The SRDF path " + fmt::quoted(path) + " holds a NUL character"});
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_file(path.c_str());
  if (!parsed)
    return std::unexpected(CollisionError{"Cannot read the SRDF file " + fmt::quoted(path) + ": " +
                                          parsed.description()});
  const pugi::xml_node robot = doc.child("robot");
  if (!robot)
    return std::unexpected(CollisionError{"The SRDF file " + fmt::quoted(path) + " has no <robot> element"});
  const std::vector<std::string>& frame_names = names ? *names : model.frame_names;
  std::unordered_map<std::string_view, std::size_t> frame_of;
  for (std::size_t f = 0; f < frame_names.size(); ++f)
    if (!frame_names[f].empty()) frame_of.emplace(frame_names[f], f);

  SrdfOutcome outcome;
  auto unknown = [&](const std::string& link) {
    if (std::find(outcome.unknown_links.begin(), outcome.unknown_links.end(), link) == outcome.unknown_links.end())
      outcome.unknown_links.push_back(link);
  };
  // The whole file is read before the list changes.
  std::vector<std::pair<std::size_t, std::size_t>> frame_pairs;
  for (pugi::xml_node entry : robot.children("disable_collisions")) {
    const std::string a = entry.attribute("link1").as_string();
    const std::string b = entry.attribute("link2").as_string();
    const auto fa = frame_of.find(a), fb = frame_of.find(b);
    if (fa == frame_of.end()) unknown(a);
    if (fb == frame_of.end()) unknown(b);
    if (fa != frame_of.end() && fb != frame_of.end()) frame_pairs.emplace_back(fa->second, fb->second);
  }
  for (const auto& [fa, fb] : frame_pairs) outcome.removed += model.remove_collision_pairs_between_frames(fa, fb);
  return outcome;
}

}  // namespace velmora
