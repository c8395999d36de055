// Joint lookup by name: the model's index must answer as a scan from the lowest id
// would, through growth, copies, refused joints and direct edits of the name list.
#include <gtest/gtest.h>

#include <optional>
#include <string>

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
