#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "core/joint/joint.hpp"
#include "core/model/algorithms.hpp"
#include "core/model/model.hpp"

using namespace velmora;

namespace {

constexpr double pi = std::numbers::pi;

void expect_near(const Vector3D& a, const Vector3D& b, double tol = 1e-12) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

void expect_near(const SE3& a, const SE3& b, double tol = 1e-12) {
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(a.rotation.m[k], b.rotation.m[k], tol) << "rotation element " << k;
  expect_near(a.translation, b.translation, tol);
}

SE3 translation(double x, double y, double z) { return {SpatialRotation::identity(), {x, y, z}}; }
SE3 rotation_z(double angle) { return {SpatialRotation::from_axis_angle(Vector3D::unit_z(), angle), {}}; }

std::unique_ptr<JointModel> make_kind(JointType t, const Vector3D& axis) {
  switch (t) {
    case JointType::Revolute: return make_revolute(axis);
    case JointType::Continuous: return make_continuous(axis);
    case JointType::Prismatic: return make_prismatic(axis);
    case JointType::Fixed: return make_fixed();
  }
  return nullptr;
}

const JointType all_kinds[] = {JointType::Revolute, JointType::Continuous, JointType::Prismatic, JointType::Fixed};

}  // namespace

// ------------------------------------------------------------------------------ joints

TEST(Joint, SizesAxesAndNeutral) {
  struct Expect {
    JointType kind;
    std::size_t nq, nv, axes;
  };
  for (const Expect e : {Expect{JointType::Revolute, 1, 1, 1}, Expect{JointType::Continuous, 2, 1, 1},
                         Expect{JointType::Prismatic, 1, 1, 1}, Expect{JointType::Fixed, 0, 0, 0}}) {
    const auto j = make_kind(e.kind, {0, 0, 1});
    EXPECT_EQ(j->get_joint_type(), e.kind);
    EXPECT_EQ(j->nq(), e.nq);
    EXPECT_EQ(j->nv(), e.nv);
    EXPECT_EQ(j->get_axis().size(), e.axes);
    EXPECT_EQ(j->neutral().len(), e.nq);
    EXPECT_EQ(j->transform(j->neutral().span()), SE3::identity());
    const auto data = j->create_joint_data();
    EXPECT_EQ(data->kind(), e.kind);
    EXPECT_EQ(data->get_joint_placement(), SE3::identity());
  }
  EXPECT_EQ(make_continuous({0, 0, 1})->neutral().values(), (std::vector<double>{1.0, 0.0}));
}

TEST(Joint, LimitsDefaults) {
  const JointLimits l = JointLimits::new_unbounded(2);
  EXPECT_EQ(l.lower.values(), (std::vector<double>{-INFINITY, -INFINITY}));
  EXPECT_EQ(l.upper.values(), (std::vector<double>{INFINITY, INFINITY}));
  EXPECT_EQ(l.effort.values(), (std::vector<double>{INFINITY, INFINITY}));
  EXPECT_EQ(l.velocity.values(), (std::vector<double>{INFINITY, INFINITY}));
  const auto c = make_continuous({1, 0, 0});
  EXPECT_EQ(c->limits()->lower.values(), (std::vector<double>{-1.01, -1.01}));
  EXPECT_EQ(c->limits()->upper.values(), (std::vector<double>{1.01, 1.01}));
  EXPECT_EQ(make_fixed()->limits(), nullptr);
}

TEST(Joint, RevoluteAboutZMapsXToY) {
  const double q[] = {pi / 2};
  const SE3 m = make_revolute({0, 0, 1})->transform(q);
  expect_near(m.rotation * Vector3D::unit_x(), Vector3D::unit_y());
  EXPECT_EQ(m.translation, Vector3D::zeros());
}

TEST(Joint, ContinuousMatchesRevoluteAndIgnoresScale) {
  const Vector3D axis{1, 2, 3};
  const double angle[] = {pi / 2};
  const SE3 revolute = make_revolute(axis)->transform(angle);
  const auto continuous = make_continuous(axis);
  for (double scale : {1.0, 2.0, 0.25}) {
    const double pair[] = {0.0, scale};
    expect_near(continuous->transform(pair), revolute);
  }
  const double zero[] = {0.0, 0.0};
  EXPECT_EQ(continuous->transform(zero), SE3::identity());
  // An arbitrary angle, through its cosine and sine.
  const double theta = -2.3;
  const double t[] = {theta}, cs[] = {std::cos(theta), std::sin(theta)};
  expect_near(continuous->transform(cs), make_revolute(axis)->transform(t));
}

TEST(Joint, PrismaticTranslatesByStoredAxis) {
  const double q[] = {1.5};
  const SE3 m = make_prismatic({0, 0, 2})->transform(q);
  EXPECT_EQ(m.rotation, SpatialRotation::identity());
  EXPECT_EQ(m.translation, (Vector3D{0, 0, 3}));
}

TEST(Joint, UpdateEqualsTransformAndCloneKeepsAxis) {
  Rng rng;
  for (const JointType kind : all_kinds) {
    const auto model = make_kind(kind, {0.3, -0.4, 1.2});
    const auto clone = model->clone_box();
    auto data = model->create_joint_data();
    for (int k = 0; k < 5; ++k) {
      const Configuration q = *model->random_configuration(rng);
      ASSERT_TRUE(data->update(*model, q.span()).has_value());
      EXPECT_EQ(data->get_joint_placement(), model->transform(q.span()));
      EXPECT_EQ(clone->transform(q.span()), model->transform(q.span()));
      const auto copied = data->clone_box();
      EXPECT_EQ(copied->get_joint_placement(), data->get_joint_placement());
    }
  }
}

TEST(Joint, MotionSubspaceIsUnitForRotationsAndStoredForTranslation) {
  const Vector3D axis{0, 3, 4};
  EXPECT_EQ(make_revolute(axis)->motion_subspace(), SpatialMotion::from_rotational_axis({0, 0.6, 0.8}));
  EXPECT_EQ(make_continuous(axis)->motion_subspace(), SpatialMotion::from_rotational_axis({0, 0.6, 0.8}));
  EXPECT_EQ(make_prismatic(axis)->motion_subspace(), SpatialMotion::from_translational_axis(axis));
  EXPECT_EQ(make_fixed()->motion_subspace(), SpatialMotion::zero());
}

TEST(Joint, UpdateWithAModelWithoutSingleAxisFails) {
  const auto fixed = make_fixed();
  for (const JointType kind : {JointType::Revolute, JointType::Continuous, JointType::Prismatic}) {
    const auto model = make_kind(kind, {0, 0, 1});
    auto data = model->create_joint_data();
    const auto r = data->update(*fixed, model->neutral().span());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().debug(), "MissingAttributeError(\"axis\")");
    EXPECT_EQ(data->get_joint_placement(), SE3::identity());
  }
  auto fixed_data = fixed->create_joint_data();
  EXPECT_TRUE(fixed_data->update(*make_revolute({0, 0, 1}), {}).has_value());
}

TEST(Joint, RandomWithinLimits) {
  Rng rng;
  const auto revolute = make_revolute({1, 0, 0});
  const auto continuous = make_continuous({1, 0, 0});
  auto bounded = make_prismatic({1, 0, 0});
  bounded->limits_mut()->lower = Configuration::from_element(1, -1.0);
  bounded->limits_mut()->upper = Configuration::from_element(1, 1.0);
  for (int k = 0; k < 1000; ++k) {
    const double r = (*revolute->random_configuration(rng))[0];
    EXPECT_TRUE(r >= -2 * pi && r < 2 * pi) << r;
    const double b = (*bounded->random_configuration(rng))[0];
    EXPECT_TRUE(b >= -1 && b < 1) << b;
    const Configuration c = *continuous->random_configuration(rng);
    EXPECT_NEAR(c[0] * c[0] + c[1] * c[1], 1.0, 1e-15);
  }
  EXPECT_EQ(make_fixed()->random_configuration(rng)->len(), 0u);
}

TEST(JointDeathTest, WrongSliceLengthsAreFatal) {
  const double two[] = {0.0, 0.0};
  const std::span<const double> one(two, 1), none;
  const auto revolute = make_revolute({0, 0, 1});
  const auto continuous = make_continuous({0, 0, 1});
  const auto prismatic = make_prismatic({0, 0, 1});
  EXPECT_DEATH(revolute->transform(two), "Revolute joint model expects a single angle.");
  EXPECT_DEATH(revolute->create_joint_data()->update(*revolute, none),
               "Revolute joint model expects a single angle.");
  EXPECT_DEATH(continuous->transform(one), "Continuous joint model expects two values \\(cosine and sine\\).");
  EXPECT_DEATH(continuous->create_joint_data()->update(*continuous, one),
               "Continuous joint model expects two values \\(cosine and sine\\).");
  EXPECT_DEATH(prismatic->create_joint_data()->update(*prismatic, two),
               "Prismatic joint data update expects a single position value.");
  EXPECT_DEATH(prismatic->transform(none), "Prismatic joint model expects a single position value.");
  EXPECT_DEATH(make_fixed()->transform(one), "Fixed joint model expects no configuration.");
}

// ------------------------------------------------------------------------------- model

TEST(Model, NewModelHoldsUniverseAndWorldFrame) {
  const Model m;
  EXPECT_EQ(m.njoints(), 1u);
  EXPECT_EQ(m.nframes(), 1u);
  EXPECT_EQ(m.nq, 0u);
  EXPECT_EQ(m.nv, 0u);
  EXPECT_EQ(m.name, "");
  EXPECT_EQ(m.joint_names, std::vector<std::string>{"__WORLD__"});
  EXPECT_EQ(m.joint_parents, std::vector<std::size_t>{0});
  EXPECT_EQ(m.joint_models[0]->get_joint_type(), JointType::Fixed);
  EXPECT_EQ(m.gravity, (Vector3D{0, 0, -9.81}));
  EXPECT_EQ(m.frames[0].name, "__WORLD_FRAME__");
  EXPECT_EQ(m.frames[0].frame_type, FrameType::Fixed);
  EXPECT_EQ(Model("arm").name, "arm");
}

TEST(Model, AddJointAssignsIdsAndOffsets) {
  Model m;
  EXPECT_EQ(*m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j1"), 1u);
  EXPECT_EQ(*m.add_joint(1, make_continuous({0, 0, 1}), SE3::identity(), "j2"), 2u);
  EXPECT_EQ(*m.add_joint(2, make_fixed(), SE3::identity(), "j3"), 3u);
  EXPECT_EQ(*m.add_joint(1, make_prismatic({0, 0, 1}), translation(1, 2, 3), "j4"), 4u);
  EXPECT_EQ(m.nq, 4u);
  EXPECT_EQ(m.nv, 3u);
  EXPECT_EQ(m.idx_q, (std::vector<std::size_t>{0, 0, 1, 3, 3}));
  EXPECT_EQ(m.idx_v, (std::vector<std::size_t>{0, 0, 1, 2, 2}));
  EXPECT_EQ(m.joint_parents, (std::vector<std::size_t>{0, 0, 1, 2, 1}));
  EXPECT_EQ(m.joint_placements[4], translation(1, 2, 3));
  EXPECT_EQ(m.inertias.size(), 5u);
  EXPECT_EQ(m.get_joint_id("j4"), 4u);
  EXPECT_EQ(m.get_joint_id("__WORLD__"), 0u);
  EXPECT_EQ(m.get_joint_id("nope"), std::nullopt);
  EXPECT_EQ(m.nframes(), 1u);  // joints bring no frames
}

TEST(Model, AddJointErrorsChangeNothing) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j1"));
  const std::string before = m.repr();

  // A missing parent is reported before a duplicate name.
  auto e = m.add_joint(5, make_revolute({0, 0, 1}), SE3::identity(), "j1");
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().debug(), "ParentJointDoesNotExist(5)");
  EXPECT_EQ(e.error().display(), "Parent joint with id 5 does not exist.");

  e = m.add_joint(1, make_revolute({0, 0, 1}), SE3::identity(), "j1");
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().debug(), "JointNameAlreadyUsed(\"j1\", 1)");
  EXPECT_EQ(e.error().display(), "Joint name 'j1' is already used by joint with id 1.");

  e = m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "__WORLD__");
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().debug(), "JointNameAlreadyUsed(\"__WORLD__\", 0)");

  EXPECT_EQ(m.repr(), before);
  EXPECT_EQ(m.njoints(), 2u);
  EXPECT_EQ(m.nq, 1u);
  EXPECT_EQ(m.idx_q.size(), 2u);
  EXPECT_EQ(m.inertias.size(), 2u);
  EXPECT_EQ(m.joint_models.size(), 2u);
}

TEST(Model, ErrorDebugTextEscapesTheName) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_fixed(), SE3::identity(), "a\"b\\c\n"));
  const auto e = m.add_joint(0, make_fixed(), SE3::identity(), "a\"b\\c\n");
  EXPECT_EQ(e.error().debug(), "JointNameAlreadyUsed(\"a\\\"b\\\\c\\n\", 1)");
}

TEST(Model, AddFrameFoldsInertiaAndSkipsDuplicates) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j1"));
  Inertia body;
  body.mass = 2;
  body.inertia = Symmetric3{{1, 2, 3, 0, 0, 0}};
  const SE3 at = {SpatialRotation::from_axis_angle(Vector3D::unit_z(), pi / 2), {1, 0, 0}};
  const Frame f{"body", 1, 0, at, FrameType::Body, body};

  EXPECT_EQ(*m.add_frame(f, true), 1u);
  EXPECT_DOUBLE_EQ(m.inertias[1].mass, 2.0);
  expect_near(m.inertias[1].com, {1, 0, 0});
  // The rotational inertia turns with the frame: about z by 90 degrees swaps x and y.
  EXPECT_NEAR(m.inertias[1].inertia(0, 0), 2.0, 1e-12);
  EXPECT_NEAR(m.inertias[1].inertia(1, 1), 1.0, 1e-12);
  EXPECT_NEAR(m.inertias[1].inertia(2, 2), 3.0, 1e-12);

  // Same name and type: the first frame's id, nothing appended or added.
  EXPECT_EQ(*m.add_frame(f, true), 1u);
  EXPECT_EQ(m.nframes(), 2u);
  EXPECT_DOUBLE_EQ(m.inertias[1].mass, 2.0);

  // Same name, other type: a new frame; without append_inertia the joint is unchanged.
  Frame joint_frame = f;
  joint_frame.frame_type = FrameType::Joint;
  EXPECT_EQ(*m.add_frame(joint_frame, false), 2u);
  EXPECT_DOUBLE_EQ(m.inertias[1].mass, 2.0);
  EXPECT_EQ(m.get_frame_id("body"), 1u);
  EXPECT_EQ(m.get_frame_id("body", FrameType::Joint), 2u);
  EXPECT_EQ(m.get_frame_id("body", FrameType::Sensor), std::nullopt);

  // A second body on the same joint: masses add, the centre of mass is their mean.
  Frame other{"other", 1, 0, translation(-1, 0, 0), FrameType::Body, body};
  ASSERT_TRUE(m.add_frame(other, true));
  EXPECT_DOUBLE_EQ(m.inertias[1].mass, 4.0);
  expect_near(m.inertias[1].com, {0, 0, 0});

  Frame orphan = f;
  orphan.parent_joint = 99;
  const auto e = m.add_frame(orphan, true);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().debug(), "ParentJointDoesNotExist(99)");
  EXPECT_EQ(m.nframes(), 4u);
}

TEST(Model, CopyIsDeep) {
  Model a;
  ASSERT_TRUE(a.add_joint(0, make_prismatic({0, 0, 2}), SE3::identity(), "slide"));
  Model b = a;
  ASSERT_TRUE(b.add_joint(1, make_revolute({0, 0, 1}), SE3::identity(), "turn"));
  EXPECT_EQ(a.njoints(), 2u);
  EXPECT_EQ(b.njoints(), 3u);
  EXPECT_NE(a.joint_models[1].get(), b.joint_models[1].get());
  const double q[] = {1.5};
  EXPECT_EQ(b.joint_models[1]->transform(q), a.joint_models[1]->transform(q));
  a = b;
  EXPECT_EQ(a.njoints(), 3u);
  EXPECT_NE(a.joint_models[2].get(), b.joint_models[2].get());
}

TEST(Model, ReprOfNewModel) {
  const std::string expected =
      "Model {\n"
      "    name: \"\",\n"
      "    joint_names: [\n"
      "        \"__WORLD__\",\n"
      "    ],\n"
      "    joint_parents: [\n"
      "        0,\n"
      "    ],\n"
      "    joint_placements: [\n"
      "        SE3(\n"
      "            Isometry {\n"
      "                rotation: [\n"
      "                    [\n"
      "                        1.0,\n"
      "                        0.0,\n"
      "                        0.0,\n"
      "                    ],\n"
      "                    [\n"
      "                        0.0,\n"
      "                        1.0,\n"
      "                        0.0,\n"
      "                    ],\n"
      "                    [\n"
      "                        0.0,\n"
      "                        0.0,\n"
      "                        1.0,\n"
      "                    ],\n"
      "                ],\n"
      "                translation: [\n"
      "                    0.0,\n"
      "                    0.0,\n"
      "                    0.0,\n"
      "                ],\n"
      "            },\n"
      "        ),\n"
      "    ],\n"
      "}";
  EXPECT_EQ(Model().repr(), expected);
}

TEST(Model, ReprPlacementsMatchTheirOwnPrettyForm) {
  Model m("a \"b\"");
  const SE3 p = {SpatialRotation::from_axis_angle({1, 1, 0}, 0.3), {1e-5, 2.5, -3}};
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), p, "j1"));
  const std::string r = m.repr();
  EXPECT_EQ(r.substr(0, 29), "Model {\n    name: \"a \\\"b\\\"\",\n");
  // The nested placement is the placement's own multi-line text, indented two levels.
  std::string nested;
  const std::string own = p.debug(true);
  for (std::size_t i = 0; i < own.size(); ++i) {
    nested += own[i];
    if (own[i] == '\n') nested += "        ";
  }
  EXPECT_NE(r.find("        " + nested + ",\n    ],\n}"), std::string::npos) << r;
}

TEST(Frame, Repr) {
  const Frame f{"__WORLD_FRAME__", 0, 0, SE3::identity(), FrameType::Fixed, Inertia::zeros()};
  EXPECT_EQ(f.repr(),
            "Frame (name='__WORLD_FRAME__', parent joint=0, parent frame=0, frame_type=Fixed)\n"
            " Placement=SE3(Isometry { rotation: [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], "
            "translation: [0.0, 0.0, 0.0] })\n\n"
            " Inertia=Inertia { mass: 0.0, com: Vector3D([[0.0, 0.0, 0.0]]), inertia: Symmetric3 { data: [0.0, "
            "0.0, 0.0, 0.0, 0.0, 0.0] } }");
  EXPECT_STREQ(frame_type_name(FrameType::Operational), "Operational");
  EXPECT_STREQ(frame_type_name(FrameType::Sensor), "Sensor");
}

// -------------------------------------------------------------------------------- data

TEST(Data, CreatedForTheModelAndCheckedAgainstOthers) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j1"));
  const Data d = m.create_data();
  ASSERT_EQ(d.joint_data.size(), 2u);
  EXPECT_EQ(d.oMi, std::vector<SE3>(2, SE3::identity()));
  EXPECT_TRUE(data_fits_model(m, d));
  EXPECT_EQ(data_mismatch(m, d), std::nullopt);

  const Data copy = d;
  EXPECT_TRUE(data_fits_model(m, copy));
  EXPECT_NE(copy.joint_data[1].get(), d.joint_data[1].get());

  // Fewer joints.
  EXPECT_FALSE(data_fits_model(m, Model().create_data()));
  EXPECT_EQ(*data_mismatch(m, Model().create_data()),
            "The data was made for a model with 1 joints, but this model has 2 joints. "
            "Create it with model.create_data().");
  // Same count, other kind.
  Model other;
  ASSERT_TRUE(other.add_joint(0, make_prismatic({0, 0, 1}), SE3::identity(), "j1"));
  EXPECT_FALSE(data_fits_model(m, other.create_data()));
  EXPECT_EQ(*data_mismatch(m, other.create_data()),
            "The data was made for another model: joint 1 is Revolute in this model but Prismatic in the data. "
            "Create it with model.create_data().");
  // A placements list of the wrong length.
  Data cut = m.create_data();
  cut.oMi.pop_back();
  EXPECT_FALSE(data_fits_model(m, cut));
}

// ----------------------------------------------------------------- forward kinematics

TEST(ForwardKinematics, TwoLinkPlanarArm) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "shoulder"));
  ASSERT_TRUE(m.add_joint(1, make_revolute({0, 0, 1}), translation(1, 0, 0), "elbow"));
  ASSERT_TRUE(m.add_joint(2, make_fixed(), translation(0.5, 0, 0), "tip"));
  Data d = m.create_data();
  const double a = 0.7, b = -1.1;
  const double q[] = {a, b};
  ASSERT_TRUE(forward_kinematics(m, d, q));
  ASSERT_EQ(d.oMi.size(), 4u);
  EXPECT_EQ(d.oMi[0], SE3::identity());
  expect_near(d.oMi[1], rotation_z(a));
  expect_near(d.oMi[2], {rotation_z(a + b).rotation, {std::cos(a), std::sin(a), 0}});
  expect_near(d.oMi[3],
              {rotation_z(a + b).rotation, {std::cos(a) + 0.5 * std::cos(a + b), std::sin(a) + 0.5 * std::sin(a + b), 0}});
  expect_near(d.joint_data[2]->get_joint_placement(), rotation_z(b));
}

TEST(ForwardKinematics, PrismaticChainAndContinuousSlices) {
  // x-slide, then a continuous joint about z (two slots), then a y-slide.
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_prismatic({2, 0, 0}), SE3::identity(), "slide_x"));
  ASSERT_TRUE(m.add_joint(1, make_continuous({0, 0, 1}), translation(0, 0, 1), "spin"));
  ASSERT_TRUE(m.add_joint(2, make_prismatic({0, 1, 0}), SE3::identity(), "slide_y"));
  ASSERT_EQ(m.nq, 4u);
  Data d = m.create_data();
  const double q[] = {0.25, 0.0, 3.0, 2.0};  // 0.5 along x; 90 degrees; 2 along the turned y
  ASSERT_TRUE(forward_kinematics(m, d, q));
  expect_near(d.oMi[1], translation(0.5, 0, 0));
  expect_near(d.oMi[2], {rotation_z(pi / 2).rotation, {0.5, 0, 1}});
  expect_near(d.oMi[3], {rotation_z(pi / 2).rotation, {0.5 - 2.0, 0, 1}});
}

TEST(ForwardKinematics, BranchingTree) {
  // Two arms on one torso: each branch only sees its own ancestors.
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), translation(0, 0, 1), "torso"));
  ASSERT_TRUE(m.add_joint(1, make_revolute({1, 0, 0}), translation(0, 1, 0), "left"));
  ASSERT_TRUE(m.add_joint(1, make_revolute({1, 0, 0}), translation(0, -1, 0), "right"));
  ASSERT_TRUE(m.add_joint(2, make_fixed(), translation(0, 0, -1), "left_hand"));
  ASSERT_TRUE(m.add_joint(3, make_fixed(), translation(0, 0, -1), "right_hand"));
  Data d = m.create_data();
  const double q[] = {pi / 2, pi / 2, 0.0};
  ASSERT_TRUE(forward_kinematics(m, d, q));
  // The torso turns the shoulders to (-1, 0, 1) and (1, 0, 1).
  expect_near(d.oMi[2].translation, {-1, 0, 1});
  expect_near(d.oMi[3].translation, {1, 0, 1});
  // The left arm is raised about its x axis: R_z(90) R_x(90) (0, 0, -1) = (-1, 0, 0).
  expect_near(d.oMi[4].translation, {-2, 0, 1});
  expect_near(d.oMi[5].translation, {1, 0, 0});
}

TEST(ForwardKinematics, WrongSizeChangesNothingAndListIsRebuilt) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j1"));
  ASSERT_TRUE(m.add_joint(1, make_revolute({0, 0, 1}), translation(1, 0, 0), "j2"));
  Data d = m.create_data();
  const double three[] = {1, 2, 3};
  const auto e = forward_kinematics(m, d, three);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().display(), "Parameter 'q' expected configuration size 2, but got 3");
  EXPECT_EQ(d.oMi, std::vector<SE3>(3, SE3::identity()));

  const double q1[] = {0.3, 0.4}, q2[] = {-1.0, 0.5};
  ASSERT_TRUE(forward_kinematics(m, d, q1));
  const SE3* storage = d.oMi.data();
  ASSERT_TRUE(forward_kinematics(m, d, q2));
  EXPECT_EQ(d.oMi.size(), 3u);
  EXPECT_EQ(d.oMi.data(), storage);  // the placements reuse their storage
  expect_near(d.oMi[2], {rotation_z(-0.5).rotation, {std::cos(-1.0), std::sin(-1.0), 0}});

  Model empty;
  Data ed = empty.create_data();
  ASSERT_TRUE(forward_kinematics(empty, ed, {}));
  EXPECT_EQ(ed.oMi, std::vector<SE3>{SE3::identity()});
}

// ------------------------------------------------------------- neutral and random

TEST(Configurations, NeutralAndRandomFollowTheLayout) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "r"));
  ASSERT_TRUE(m.add_joint(1, make_continuous({0, 0, 1}), SE3::identity(), "c"));
  ASSERT_TRUE(m.add_joint(2, make_prismatic({0, 0, 1}), SE3::identity(), "p"));
  EXPECT_EQ(neutral(m)->values(), (std::vector<double>{0, 1, 0, 0}));
  Rng rng;
  const Configuration a = *random_configuration(m, rng);
  const Configuration b = *random_configuration(m, rng);
  ASSERT_EQ(a.len(), 4u);
  EXPECT_NEAR(a[1] * a[1] + a[2] * a[2], 1.0, 1e-15);
  EXPECT_NE(a.values(), b.values());
  EXPECT_EQ(neutral(Model())->len(), 0u);
  EXPECT_EQ(random_configuration(Model(), rng)->len(), 0u);
}

TEST(Configurations, RandomLimitsLockedOrInvalid) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "thumb"));
  auto& limits = *m.joint_models[1]->limits_mut();
  Rng rng;

  limits.lower = Configuration::from_element(1, 0.5);
  limits.upper = Configuration::from_element(1, 0.5);
  EXPECT_EQ(random_configuration(m, rng)->values(), std::vector<double>{0.5});

  limits.upper = Configuration::from_element(1, 0.25);
  auto e = random_configuration(m, rng);
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error(),
            "Cannot draw a random configuration for joint 'thumb': the lower limit is above the upper limit "
            "(coordinate 0, lower 0.5, upper 0.25).");

  limits.upper = Configuration::from_element(1, NAN);
  e = random_configuration(m, rng);
  ASSERT_FALSE(e);
  EXPECT_NE(e.error().find("joint 'thumb': a limit is NaN"), std::string::npos);

  limits.lower = Configuration::from_element(1, -1e308);
  limits.upper = Configuration::from_element(1, 1e308);
  e = random_configuration(m, rng);
  ASSERT_FALSE(e);
  EXPECT_NE(e.error().find("the range between the limits is too wide"), std::string::npos);
}
