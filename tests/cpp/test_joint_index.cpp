// Joint lookup by name: the model's index must answer as a scan from the lowest id
// would, through growth, copies, refused joints and direct edits of the name list.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/model/model.hpp"

using namespace velmora;

namespace {

std::optional<std::size_t> scan(const Model& m, std::string_view name) {
  for (std::size_t i = 0; i < m.joint_names.size(); ++i)
    if (m.joint_names[i] == name) return i;
  return std::nullopt;
}

std::expected<std::size_t, ModelError> add(Model& m, std::size_t parent, std::string name) {
  return m.add_joint(parent, make_revolute(Vector3D::unit_x()), SE3::identity(), std::move(name));
}

}  // namespace

TEST(JointIndex, ManyJointsThroughGrowthAndCopies) {
  Model m;
  // Names that share prefixes and lengths (and the empty name), added as a tree.
  for (std::size_t i = 1; i <= 3000; ++i) ASSERT_TRUE(add(m, i / 2, i == 77 ? "" : "joint_" + std::to_string(i)));
  for (const std::string_view name : {"joint_1", "joint_2999", "joint_3000", "joint_3001", "joint_", "", "__WORLD__",
                                      "joint_77", "Joint_5"})
    EXPECT_EQ(m.get_joint_id(name), scan(m, name)) << name;

  const Model copy = m;
  Model assigned;
  assigned = m;
  Model moved = Model(m);
  for (const Model* c : {&copy, static_cast<const Model*>(&assigned), static_cast<const Model*>(&moved)}) {
    EXPECT_EQ(c->get_joint_id("joint_1234"), 1234u);
    EXPECT_EQ(c->get_joint_id("joint_9999"), std::nullopt);
  }
  // Each copy goes on independently.
  Model grown = copy;
  ASSERT_EQ(add(grown, 0, "extra").value(), 3001u);
  EXPECT_EQ(grown.get_joint_id("extra"), 3001u);
  EXPECT_EQ(copy.get_joint_id("extra"), std::nullopt);
}

TEST(JointIndex, DuplicatesRefusedAndDirectEditsOfTheNameList) {
  Model m;
  ASSERT_EQ(add(m, 0, "a").value(), 1u);
  for (const auto& [name, holder] : {std::pair{"a", 1u}, {"__WORLD__", 0u}}) {
    const auto r = add(m, 0, name);
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.error().kind, ModelError::Kind::JointNameAlreadyUsed);
    EXPECT_EQ(r.error().id, holder);
  }
  // A bad parent is reported before the name; nothing of a refused joint remains.
  EXPECT_EQ(add(m, 9, "a").error().kind, ModelError::Kind::ParentJointDoesNotExist);
  EXPECT_EQ(m.njoints(), 2u);
  // A name appended behind the index's back is found by a scan, and the next add_joint
  // covers the list again before its check; a name made twice by an edit is found at
  // its lowest id.
  m.joint_names.push_back("late");
  EXPECT_EQ(m.get_joint_id("late"), 2u);
  m.joint_names.back() = "a";
  EXPECT_EQ(m.get_joint_id("a"), 1u);
  m.joint_names.pop_back();
  ASSERT_EQ(add(m, 1, "b").value(), 2u);
  EXPECT_EQ(add(m, 0, "b").error().id, 2u);
  EXPECT_EQ(m.get_joint_id("b"), 2u);
}

namespace {

// Two different names whose hashes agree in the half the index keeps, found by search
// (about 2^16 tries by the birthday bound): the index must tell them apart by the names.
std::pair<std::string, std::string> names_with_equal_slot_hash() {
  std::unordered_map<std::uint32_t, std::string> seen;
  for (std::size_t i = 0;; ++i) {
    std::string name = "n" + std::to_string(i);
    const auto [it, fresh] = seen.emplace(slot_hash(name), name);
    if (!fresh) return {it->second, std::move(name)};
  }
}

}  // namespace

TEST(JointIndex, NamesWithEqualStoredHashStayApart) {
  const auto [a, b] = names_with_equal_slot_hash();
  ASSERT_NE(a, b);
  ASSERT_EQ(slot_hash(a), slot_hash(b));
  Model m;
  ASSERT_EQ(add(m, 0, a).value(), 1u);
  // Not a duplicate of `a`, and each found under its own id.
  ASSERT_EQ(add(m, 1, b).value(), 2u);
  EXPECT_EQ(m.get_joint_id(a), 1u);
  EXPECT_EQ(m.get_joint_id(b), 2u);
  EXPECT_EQ(add(m, 0, b).error().id, 2u);
  EXPECT_EQ(add(m, 0, a).error().id, 1u);
  // The same for frames, under one type and under two.
  for (const std::string& name : {a, b})
    ASSERT_TRUE(m.add_frame(Frame{name, 0, 0, SE3::identity(), FrameType::Body, Inertia::zeros()}, false));
  ASSERT_EQ(m.nframes(), 3u);
  EXPECT_EQ(m.get_frame_id(a, FrameType::Body), 1u);
  EXPECT_EQ(m.get_frame_id(b), 2u);
  EXPECT_EQ(m.get_frame_id(b, FrameType::Joint), std::nullopt);
  EXPECT_EQ(*m.add_frame(Frame{b, 0, 0, SE3::identity(), FrameType::Body, Inertia::zeros()}, false), 2u);
}

TEST(JointIndex, ReservedTablesAnswerAsGrownOnes) {
  // A model reserved up front, one reserved midway (its entries are moved to the larger
  // tables) and one grown name by name must agree on every id and refusal.
  Model up_front, midway, grown;
  up_front.reserve(2001, 4001);
  for (std::size_t i = 1; i <= 2000; ++i) {
    if (i == 700) midway.reserve(2001, 4001);
    const std::string name = "j" + std::to_string(i);
    for (Model* m : {&up_front, &midway, &grown}) {
      m->prefetch_name(Model::name_hash(name), true);
      ASSERT_EQ(add(*m, i / 2, name).value(), i);
      ASSERT_EQ(m->add_frame(Frame{name, i, 0, SE3::identity(), FrameType::Joint, Inertia::zeros()}, false).value(),
                i);
    }
  }
  for (const Model* m : {&up_front, &midway, &grown}) {
    EXPECT_EQ(m->get_joint_id("j1"), 1u);
    EXPECT_EQ(m->get_joint_id("j1999"), 1999u);
    EXPECT_EQ(m->get_joint_id("j2001"), std::nullopt);
    EXPECT_EQ(m->get_frame_id("j1234", FrameType::Joint), 1234u);
    EXPECT_EQ(m->get_frame_id("j1234", FrameType::Body), std::nullopt);
    EXPECT_EQ(m->get_frame_id("__WORLD_FRAME__"), 0u);
  }
  EXPECT_EQ(add(up_front, 0, "j42").error().id, 42u);
  EXPECT_EQ(add(midway, 0, "j699").error().id, 699u);
  // Reserving a model whose name list was edited directly: the next add_joint still
  // sees the edit.
  grown.joint_names.push_back("edited");
  grown.reserve(5000, 5000);
  EXPECT_EQ(add(grown, 0, "edited").error().id, 2001u);
}
