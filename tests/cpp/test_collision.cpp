#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/collision/cache.hpp"
#include "core/collision/collision.hpp"

using namespace velmora;

namespace {

// A tetrahedron as an ASCII OBJ file in the temporary folder.
std::string write_tetrahedron(const std::string& name) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n";
  return path;
}

GeometryObject mesh_object(const std::string& name, const std::string& path, std::array<double, 3> scale) {
  return GeometryObject(name, 0, 0, make_mesh(path, scale), SE3{});
}

TEST(CollisionCache, MeshesAreSharedByFileAndScaleAndCopiesStartEmpty) {
  const std::string path = write_tetrahedron("velmora_shared.obj");
  GeometryModel model;
  model.add_geometry_object(mesh_object("a", path, {1, 1, 1}));
  model.add_geometry_object(mesh_object("b", path, {1, 1, 1}));
  model.add_geometry_object(mesh_object("c", path, {2, 2, 2}));
  ASSERT_TRUE(load_meshes(model, false));
  const auto& g = model.collision_cache.ptr->geometries;
  ASSERT_EQ(g.size(), 3u);
  EXPECT_EQ(g[0].get(), g[1].get());
  EXPECT_NE(g[0].get(), g[2].get());
  // The scale is applied to the vertices: the doubled copy's box is twice as large.
  EXPECT_DOUBLE_EQ(g[0]->aabb_local.max_[0], 1.0);
  EXPECT_DOUBLE_EQ(g[2]->aabb_local.max_[0], 2.0);
  const GeometryModel copy = model;
  EXPECT_EQ(copy.collision_cache.ptr, nullptr);
  // The convex reading makes hulls, which are not triangle hierarchies.
  ASSERT_TRUE(load_meshes(model, true));
  EXPECT_EQ(model.collision_cache.ptr->geometries[0]->getObjectType(), fcl::OT_GEOM);
  std::remove(path.c_str());
}

TEST(CollisionCache, AFailedLoadKeepsTheMeshesAlreadyRead) {
  const std::string path = write_tetrahedron("velmora_kept.obj");
  GeometryModel model;
  model.add_geometry_object(mesh_object("good", path, {1, 1, 1}));
  ASSERT_TRUE(load_meshes(model, false));
  const auto* before = model.collision_cache.ptr.get();
  model.add_geometry_object(mesh_object("bad", path + ".missing", {1, 1, 1}));
  const auto failed = load_meshes(model, false);
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().message.find("\"bad\""), std::string::npos);
  EXPECT_NE(failed.error().message.find(".missing"), std::string::npos);
  EXPECT_EQ(model.collision_cache.ptr.get(), before);
  std::remove(path.c_str());
}

}  // namespace
