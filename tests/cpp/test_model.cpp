// What Python cannot observe: the joints' own contracts, offsets, the fit check and the
// placement storage of the kinematics.
#include <gtest/gtest.h>

#include <cmath>

#include "core/algorithms/algorithms.hpp"
#include "joint_kinds.hpp"

using namespace velmora;

TEST(Joint, KindsAgreeWithThemselves) {
  Rng rng;
  const Vector3D axis{0, 3, 4};
  for (const JointType kind : {JointType::Revolute, JointType::Continuous, JointType::Prismatic, JointType::Fixed}) {
    const auto model = test_support::make_joint(kind, axis);
    const bool moves = kind != JointType::Fixed;
    EXPECT_EQ(model->nq(), kind == JointType::Continuous ? 2u : moves ? 1u : 0u);
    EXPECT_EQ(model->get_axis().size(), moves ? 1u : 0u);
    EXPECT_EQ(model->transform(model->neutral().span()), SE3::identity());
    auto data = model->create_joint_data();
    EXPECT_EQ(data->kind(), kind);
    const auto clone = model->clone_box();
    for (int k = 0; k < 5; ++k) {
      const Configuration q = *model->random_configuration(rng);
      ASSERT_TRUE(data->update(*model, q.span()));
      EXPECT_EQ(data->get_joint_placement(), model->transform(q.span()));
      EXPECT_EQ(clone->transform(q.span()), model->transform(q.span()));
      EXPECT_EQ(data->clone_box()->get_joint_placement(), data->get_joint_placement());
    }
  }
  // The dynamics' motion subspace: the unit axis for rotations, the stored one for slides.
  EXPECT_EQ(make_revolute(axis)->motion_subspace(), SpatialMotion::from_rotational_axis({0, 0.6, 0.8}));
  EXPECT_EQ(make_continuous(axis)->motion_subspace(), SpatialMotion::from_rotational_axis({0, 0.6, 0.8}));
  EXPECT_EQ(make_prismatic(axis)->motion_subspace(), SpatialMotion::from_translational_axis(axis));
  EXPECT_EQ(make_continuous(axis)->limits()->upper.values(), (std::vector<double>{1.01, 1.01}));
}

TEST(Joint, UpdateWithAModelOfAnotherShapeFails) {
  const auto fixed = make_fixed();
  for (const JointType kind : {JointType::Revolute, JointType::Continuous, JointType::Prismatic}) {
    const auto model = test_support::make_joint(kind, {0, 0, 1});
    auto data = model->create_joint_data();
    const auto r = data->update(*fixed, model->neutral().span());
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().debug(), "MissingAttributeError(\"axis\")");
  }
}

TEST(JointDeathTest, WrongSliceLengthsAreFatal) {
  const double two[] = {0.0, 0.0};
  const std::span<const double> one(two, 1), none;
  const auto revolute = make_revolute({0, 0, 1});
  const auto continuous = make_continuous({0, 0, 1});
  const auto prismatic = make_prismatic({0, 0, 1});
  EXPECT_DEATH(revolute->transform(two), "Revolute joint model expects a single angle.");
  EXPECT_DEATH(revolute->create_joint_data()->update(*revolute, none), "Revolute joint model expects a single angle.");
  EXPECT_DEATH(continuous->transform(one), "Continuous joint model expects two values \\(cosine and sine\\).");
  EXPECT_DEATH(continuous->create_joint_data()->update(*continuous, one), "Continuous joint model expects two");
  EXPECT_DEATH(prismatic->create_joint_data()->update(*prismatic, two),
               "Prismatic joint data update expects a single position value.");
  EXPECT_DEATH(prismatic->transform(none), "Prismatic joint model expects a single position value.");
  EXPECT_DEATH(make_fixed()->transform(one), "Fixed joint model expects no configuration.");
}

TEST(Model, OffsetsAndErrorTexts) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "r"));
  ASSERT_TRUE(m.add_joint(1, make_continuous({0, 0, 1}), SE3::identity(), "c"));
  ASSERT_TRUE(m.add_joint(2, make_fixed(), SE3::identity(), "f"));
  ASSERT_TRUE(m.add_joint(1, make_prismatic({0, 0, 1}), SE3::identity(), "p"));
  EXPECT_EQ(m.idx_q, (std::vector<std::size_t>{0, 0, 1, 3, 3}));
  EXPECT_EQ(m.idx_v, (std::vector<std::size_t>{0, 0, 1, 2, 2}));
  // The display texts, which the URDF loader embeds in its own errors.
  EXPECT_EQ(m.add_joint(9, make_fixed(), SE3::identity(), "x").error().display(),
            "Parent joint with id 9 does not exist.");
  EXPECT_EQ(m.add_joint(0, make_fixed(), SE3::identity(), "r").error().display(),
            "Joint name 'r' is already used by joint with id 1.");
  EXPECT_EQ(m.idx_q.size(), 5u);
}

TEST(Data, FitCheckAndPlacementStorage) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "j1"));
  Data d = m.create_data();
  EXPECT_TRUE(data_fits_model(m, d));
  EXPECT_TRUE(data_fits_model(m, Data(d)));
  Data cut = d;
  cut.oMi.pop_back();  // other algorithms read oMi by joint id
  EXPECT_FALSE(data_fits_model(m, cut));
  EXPECT_TRUE(data_mismatch(m, cut).has_value());

  const double q1[] = {0.3}, q2[] = {-1.0};
  ASSERT_TRUE(forward_kinematics(m, d, q1));
  const SE3* storage = d.oMi.data();
  ASSERT_TRUE(forward_kinematics(m, d, q2));
  EXPECT_EQ(d.oMi.data(), storage);
  EXPECT_EQ(d.oMi.size(), 2u);
}

TEST(Configurations, RandomLimitsThatCannotBeSampled) {
  Model m;
  ASSERT_TRUE(m.add_joint(0, make_revolute({0, 0, 1}), SE3::identity(), "thumb"));
  JointLimits& limits = *m.joint_models[1]->limits_mut();
  Rng rng;
  limits.lower = Configuration::from_element(1, 0.5);
  limits.upper = Configuration::from_element(1, NAN);
  EXPECT_EQ(random_configuration(m, rng).error(),
            "Cannot draw a random configuration for joint 'thumb': a limit is NaN (coordinate 0, lower 0.5, upper NaN).");
  limits.lower = Configuration::from_element(1, -1e308);
  limits.upper = Configuration::from_element(1, 1e308);
  EXPECT_NE(random_configuration(m, rng).error().find("the range between the limits is too wide"), std::string::npos);
}
