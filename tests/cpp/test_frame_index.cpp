// Frame lookup by name and type: the model's index must answer exactly as a scan from
// the lowest id would, through growth, copies and direct edits of the frame list.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/model/model.hpp"

using namespace velmora;

namespace {

Frame frame(std::string name, FrameType type, std::size_t parent_joint = 0) {
  return Frame{std::move(name), parent_joint, 0, SE3::identity(), type, Inertia::zeros()};
}

// The answer of a plain scan, lowest id first.
std::optional<std::size_t> scan(const Model& m, std::string_view name, std::optional<FrameType> type) {
  for (std::size_t i = 0; i < m.frames.size(); ++i)
    if (m.frames[i].name == name && (!type || m.frames[i].frame_type == *type)) return i;
  return std::nullopt;
}

constexpr FrameType kTypes[] = {FrameType::Operational, FrameType::Joint, FrameType::Fixed, FrameType::Body,
                                FrameType::Sensor};

void expect_lookups_agree(const Model& m, std::initializer_list<std::string_view> names) {
  for (const std::string_view name : names) {
    EXPECT_EQ(m.get_frame_id(name), scan(m, name, std::nullopt)) << name;
    for (const FrameType t : kTypes) EXPECT_EQ(m.get_frame_id(name, t), scan(m, name, t)) << name;
  }
}

}  // namespace

TEST(FrameIndex, SameNameAndTypeReturnsTheFirstFrame) {
  Model m;
  const auto a_body = m.add_frame(frame("a", FrameType::Body), false);
  const auto a_joint = m.add_frame(frame("a", FrameType::Joint), false);
  ASSERT_TRUE(a_body && a_joint);
  EXPECT_NE(*a_body, *a_joint);
  EXPECT_EQ(*m.add_frame(frame("a", FrameType::Body), false), *a_body);
  EXPECT_EQ(m.nframes(), 3u);
  // Without a type the lowest id of any type; the world frame is found like any other.
  EXPECT_EQ(m.get_frame_id("a"), *a_body);
  EXPECT_EQ(m.get_frame_id("a", FrameType::Joint), *a_joint);
  EXPECT_EQ(m.get_frame_id("a", FrameType::Fixed), std::nullopt);
  EXPECT_EQ(m.get_frame_id("__WORLD_FRAME__", FrameType::Fixed), 0u);
  EXPECT_EQ(m.get_frame_id(""), std::nullopt);
  // A refused frame leaves the list and the index as they were.
  EXPECT_FALSE(m.add_frame(frame("b", FrameType::Body, 7), false));
  EXPECT_EQ(m.get_frame_id("b"), std::nullopt);
  EXPECT_EQ(*m.add_frame(frame("b", FrameType::Body), false), 3u);
}

TEST(FrameIndex, ManyFramesThroughGrowthAndCopies) {
  Model m;
  // Names that share prefixes and lengths, each under two types, added in an order that
  // makes later types come first for some names.
  for (int i = 0; i < 600; ++i) {
    const std::string name = "link_" + std::to_string(i % 300);
    ASSERT_TRUE(m.add_frame(frame(name, (i / 300 + i) % 2 ? FrameType::Joint : FrameType::Body), false));
  }
  EXPECT_EQ(m.nframes(), 601u);
  expect_lookups_agree(m, {"link_0", "link_1", "link_150", "link_299", "link_300", "link_", "__WORLD_FRAME__"});

  const Model copy = m;
  Model assigned;
  assigned = m;
  for (const Model* c : {&copy, static_cast<const Model*>(&assigned)}) {
    EXPECT_EQ(c->get_frame_id("link_7", FrameType::Joint), m.get_frame_id("link_7", FrameType::Joint));
    EXPECT_EQ(c->get_frame_id("link_8"), m.get_frame_id("link_8"));
  }
  // Each copy goes on independently.
  Model grown = copy;
  const auto extra = grown.add_frame(frame("extra", FrameType::Sensor), false);
  ASSERT_TRUE(extra);
  EXPECT_EQ(grown.get_frame_id("extra"), *extra);
  EXPECT_EQ(copy.get_frame_id("extra"), std::nullopt);
}

TEST(FrameIndex, DirectEditsOfTheListAreSeen) {
  Model m;
  ASSERT_TRUE(m.add_frame(frame("a", FrameType::Body), false));
  // Appended without add_frame: found at once, and add_frame then returns it instead
  // of adding a duplicate.
  m.frames.push_back(frame("b", FrameType::Body));
  EXPECT_EQ(m.get_frame_id("b"), 2u);
  EXPECT_EQ(*m.add_frame(frame("b", FrameType::Body), false), 2u);
  EXPECT_EQ(m.nframes(), 3u);
  // A duplicate appended directly stays behind the first one.
  m.frames.push_back(frame("a", FrameType::Body));
  EXPECT_EQ(m.get_frame_id("a", FrameType::Body), 1u);
  EXPECT_EQ(*m.add_frame(frame("c", FrameType::Body), false), 4u);
  EXPECT_EQ(m.get_frame_id("a", FrameType::Body), 1u);
  // Removed directly: no longer found, and added again under a new id.
  m.frames.erase(m.frames.begin() + 1);
  EXPECT_EQ(m.get_frame_id("b"), 1u);
  EXPECT_EQ(m.get_frame_id("a", FrameType::Body), 2u);
  expect_lookups_agree(m, {"a", "b", "c"});
  EXPECT_EQ(*m.add_frame(frame("d", FrameType::Body), false), 4u);
  expect_lookups_agree(m, {"a", "b", "c", "d"});
}
