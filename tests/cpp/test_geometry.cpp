#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "core/geometry/geometry.hpp"
#include "core/geometry/shape.hpp"

using namespace velmora;

namespace {

SE3 translation(double x, double y, double z) {
  SE3 m;
  m.translation = {x, y, z};
  return m;
}

SE3 rotation_z(double angle) {
  SE3 m;
  m.rotation = SpatialRotation::from_axis_angle({0, 0, 1}, angle);
  return m;
}

void expect_near(const SE3& a, const SE3& b, double tol = 1e-14) {
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(a.rotation.m[k], b.rotation.m[k], tol) << "rotation entry " << k;
  EXPECT_NEAR(a.translation.x, b.translation.x, tol);
  EXPECT_NEAR(a.translation.y, b.translation.y, tol);
  EXPECT_NEAR(a.translation.z, b.translation.z, tol);
}

GeometryObject object(std::string name, std::size_t joint, const SE3& placement) {
  return GeometryObject(std::move(name), joint, 0, make_sphere(0.1f), placement);
}

}  // namespace

// ----------------------------------------------------------------------------- shapes

TEST(GeometryShapes, EachShapeReportsOnlyItsOwnDimensions) {
  const auto sphere = make_sphere(0.25f);
  const auto cuboid = make_cuboid({2.0f, 4.0f, 6.0f});
  const auto mesh = make_mesh("no/such/file.stl");

  EXPECT_EQ(sphere->get_shape_type(), ShapeType::Sphere);
  EXPECT_EQ(sphere->get_radius(), 0.25f);
  EXPECT_FALSE(sphere->get_half_extents() || sphere->get_half_length() || sphere->get_mesh_path());

  EXPECT_EQ(cuboid->get_shape_type(), ShapeType::Cuboid);
  EXPECT_EQ(cuboid->get_half_extents(), (std::array<float, 3>{1.0f, 2.0f, 3.0f}));
  EXPECT_FALSE(cuboid->get_radius() || cuboid->get_half_length() || cuboid->get_mesh_path());

  EXPECT_EQ(mesh->get_shape_type(), ShapeType::Mesh);
  EXPECT_EQ(mesh->get_mesh_path(), "no/such/file.stl");
  EXPECT_FALSE(mesh->get_radius() || mesh->get_half_extents() || mesh->get_half_length());
  EXPECT_FALSE(mesh->is_convex());
  EXPECT_TRUE(sphere->is_convex() && cuboid->is_convex());
}

TEST(GeometryShapes, CloneIsAnIndependentCopyOfTheSameKind) {
  Cuboid original({2.0f, 2.0f, 2.0f});
  const auto copy = original.clone_box();
  original.half_extents[0] = 7.0f;
  ASSERT_EQ(copy->get_shape_type(), ShapeType::Cuboid);
  EXPECT_EQ((*copy->get_half_extents())[0], 1.0f);
  EXPECT_EQ(make_capsule(1, 2)->clone_box()->get_shape_type(), ShapeType::Capsule);
  EXPECT_EQ(make_mesh("m.obj")->clone_box()->get_mesh_path(), "m.obj");
}

TEST(GeometryShapes, DoubleToFloatRoundsAndOverflowsToInfinity) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float max = std::numeric_limits<float>::max();
  EXPECT_EQ(static_cast<double>(to_f32(0.1)), 0.10000000149011612);
  EXPECT_EQ(to_f32(1e300), inf);
  EXPECT_EQ(to_f32(-1e300), -inf);
  EXPECT_EQ(to_f32(static_cast<double>(max)), max);
  // Just below the halfway point to the next power of two still rounds down to max.
  EXPECT_EQ(to_f32(std::nextafter(0x1.ffffffp+127, 0.0)), max);
  EXPECT_EQ(to_f32(0x1.ffffffp+127), inf);
  EXPECT_TRUE(std::isnan(to_f32(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_TRUE(std::signbit(to_f32(-0.0)));
}

// ---------------------------------------------------------------------- GeometryObject

TEST(GeometryObjects, CopiesAreDeep) {
  GeometryObject a("a", 1, 2, make_cuboid({2, 2, 2}), translation(1, 2, 3));
  a.mesh_color.rgba = {0.5, 0.25, 0.125, 1.0};
  a.disable_collision = true;
  GeometryObject b = a;
  ASSERT_NE(b.geometry.get(), a.geometry.get());
  EXPECT_EQ(b.geometry->get_half_extents(), a.geometry->get_half_extents());
  EXPECT_EQ(b.name, "a");
  EXPECT_EQ(b.parent_joint, 1u);
  EXPECT_EQ(b.parent_frame, 2u);
  EXPECT_EQ(b.mesh_color, a.mesh_color);
  EXPECT_EQ(b.placement, a.placement);
  EXPECT_TRUE(b.disable_collision);

  GeometryObject c;
  c = a;
  EXPECT_NE(c.geometry.get(), a.geometry.get());
  c = c;  // self-assignment keeps the shape
  ASSERT_TRUE(c.geometry);
  EXPECT_EQ(c.geometry->get_shape_type(), ShapeType::Cuboid);
  GeometryObject empty;  // no shape: copying must not dereference it
  GeometryObject empty_copy = empty;
  EXPECT_FALSE(empty_copy.geometry);
}

TEST(GeometryObjects, DebugTextListsFieldsWithoutTheShape) {
  GeometryObject o("a\"b", 1, 2, make_sphere(0.1f), translation(0.5, 0, 1e-5));
  EXPECT_EQ(o.debug(false),
            "GeometryObject { name: \"a\\\"b\", parent_joint: 1, parent_frame: 2, disable_collision: false, "
            "mesh_color: Color([[0.0, 0.0, 0.0, 1.0]]), placement: SE3(Isometry { rotation: [[1.0, 0.0, 0.0], "
            "[0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], translation: [0.5, 0.0, 1e-5] }) }");
}

// ------------------------------------------------------------------------ GeometryData

TEST(GeometryDatas, PlacementIsJointPlacementThenObjectPlacement) {
  Data data;
  data.oMi = {SE3::identity(), rotation_z(std::numbers::pi / 2) * translation(0, 0, 2)};
  GeometryModel model;
  model.add_geometry_object(object("fixed", 0, translation(0, 0, 1)));
  model.add_geometry_object(object("moving", 1, translation(1, 0, 0) * rotation_z(0.3)));

  const auto geometry_data = GeometryData::create(data, model);
  ASSERT_TRUE(geometry_data);
  ASSERT_EQ(geometry_data->object_placements.size(), 2u);
  expect_near(*geometry_data->get_object_placement(0), translation(0, 0, 1));
  // Joint on the left: the object's offset (1, 0, 0) is turned by the joint to (0, 1, 0),
  // then raised by 2, and its orientation is the two rotations composed.
  expect_near(*geometry_data->get_object_placement(1), translation(0, 1, 2) * rotation_z(std::numbers::pi / 2 + 0.3));
  EXPECT_FALSE(geometry_data->get_object_placement(2));
}

TEST(GeometryDatas, ParentJointWithoutPlacementIsAnErrorNamingObjectAndJoint) {
  Data data;
  data.oMi = {SE3::identity(), translation(1, 0, 0)};
  GeometryModel good;
  good.add_geometry_object(object("ok", 1, SE3::identity()));
  GeometryModel bad = good;
  bad.add_geometry_object(object("wheel", 2, SE3::identity()));

  const auto created = GeometryData::create(data, bad);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().message,
            "Geometry object \"wheel\" (index 1) is attached to joint 2, but the data holds placements for 2 joints");

  auto geometry_data = GeometryData::create(data, good);
  ASSERT_TRUE(geometry_data);
  data.oMi[1] = translation(9, 9, 9);
  // The first object could be placed, but a failed update changes nothing at all.
  ASSERT_FALSE(geometry_data->update(data, bad));
  ASSERT_EQ(geometry_data->object_placements.size(), 1u);
  expect_near(geometry_data->object_placements[0], translation(1, 0, 0));

  Data no_joints;  // a Data with no placements at all, even for joint 0
  EXPECT_FALSE(GeometryData::create(no_joints, good));
}
