// Making the collision geometry: FCL shapes from the primitive dimensions, meshes read
// with Assimp into FCL bounding-volume hierarchies or convex hulls.
#include "core/collision/cache.hpp"

#include <cmath>
#include <exception>

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include "core/spatial/format.hpp"

namespace velmora {
namespace collision {

namespace {

using Geometry = CollisionCache::Geometry;

std::unexpected<CollisionError> fail(std::string message) { return std::unexpected(CollisionError{std::move(message)}); }

std::string describe(const GeometryObject& o, std::size_t index) {
  return "geometry object " + fmt::quoted(o.name) + " (index " + std::to_string(index) + ")";
}

void collect(const aiScene* scene, const aiNode* node, const aiMatrix4x4& parent, const std::array<double, 3>& scale,
             Triangles& out) {
  const aiMatrix4x4 transform = parent * node->mTransformation;
  for (unsigned k = 0; k < node->mNumMeshes; ++k) {
    const aiMesh* mesh = scene->mMeshes[node->mMeshes[k]];
    const std::size_t first = out.vertices.size();
    for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
      const aiVector3D p = transform * mesh->mVertices[v];
      out.vertices.emplace_back(scale[0] * static_cast<double>(p.x), scale[1] * static_cast<double>(p.y),
                                scale[2] * static_cast<double>(p.z));
    }
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const aiFace& face = mesh->mFaces[f];
      if (face.mNumIndices != 3) continue;  // points and lines bound no volume
      out.triangles.emplace_back(first + face.mIndices[0], first + face.mIndices[1], first + face.mIndices[2]);
    }
  }
  for (unsigned c = 0; c < node->mNumChildren; ++c) collect(scene, node->mChildren[c], transform, scale, out);
}

}  // namespace

std::expected<Triangles, std::string> read_triangles(const std::string& path, const std::array<double, 3>& scale) {
  Assimp::Importer importer;
  // Robot description files take a mesh's coordinates as written: COLLADA's "up" axis
  // is not turned into +y (its unit of length is still applied).
  importer.SetPropertyBool(AI_CONFIG_IMPORT_COLLADA_IGNORE_UP_DIRECTION, true);
  importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
  const aiScene* scene =
      importer.ReadFile(path, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices | aiProcess_SortByPType);
  if (!scene || !scene->mRootNode || (scene->mFlags & AI_SCENE_FLAGS_INCOMPLETE)) {
    std::string reason = importer.GetErrorString();
    return std::unexpected(reason.empty() ? std::string("the file could not be read") : reason);
  }
  Triangles out;
  collect(scene, scene->mRootNode, aiMatrix4x4(), scale, out);
  if (out.triangles.empty()) return std::unexpected(std::string("the file holds no triangle"));
  for (const fcl::Vector3d& v : out.vertices)
    if (!v.allFinite()) return std::unexpected(std::string("the file holds a vertex that is not finite"));
  return out;
}

namespace {

std::expected<Geometry, std::string> make_mesh_geometry(const std::string& path, const std::array<double, 3>& scale,
                                                        bool convex) {
  auto read = read_triangles(path, scale);
  if (!read) return std::unexpected(read.error());
  if (convex) {
    // The hull is given by its support function over every vertex: no faces, so that FCL
    // never walks the (possibly non-convex) surface to find an extreme vertex.
    auto vertices = std::make_shared<const std::vector<fcl::Vector3d>>(std::move(read->vertices));
    auto faces = std::make_shared<const std::vector<int>>();
    auto hull = std::make_shared<fcl::Convexd>(vertices, 0, faces);
    hull->computeLocalAABB();
    return hull;
  }
  auto bvh = std::make_shared<fcl::BVHModel<fcl::OBBRSSd>>();
  if (bvh->beginModel(static_cast<int>(read->triangles.size()), static_cast<int>(read->vertices.size())) !=
          fcl::BVH_OK ||
      bvh->addSubModel(read->vertices, read->triangles) != fcl::BVH_OK || bvh->endModel() != fcl::BVH_OK)
    return std::unexpected(std::string("the collision library refused its triangles"));
  bvh->computeLocalAABB();
  return bvh;
}

// Shapes of zero size are refused: a point or a segment sends FCL's solvers into cases
// they stop on with a failed internal check (which ends the process). A capsule of zero
// length is a sphere and stays.
bool usable(float x) { return std::isfinite(x) && x > 0.0f; }

std::expected<Geometry, CollisionError> make_geometry(CollisionCache& cache, const GeometryObject& o,
                                                      std::size_t index) {
  if (!o.geometry) return fail("The " + describe(o, index) + " has no shape");
  const Shape& shape = *o.geometry;
  const ShapeType type = shape.get_shape_type();
  if (type == ShapeType::Mesh) {
    const auto* mesh = static_cast<const Mesh*>(&shape);
    CollisionCache::MeshKey key{mesh->path, mesh->scale, cache.convex};
    if (const auto it = cache.meshes.find(key); it != cache.meshes.end()) return it->second;
    for (double s : mesh->scale)
      if (!std::isfinite(s))
        return fail("Mesh file " + fmt::quoted(mesh->path) + " of the " + describe(o, index) +
                    " has a scale that is not finite");
    auto made = make_mesh_geometry(mesh->path, mesh->scale, cache.convex);
    if (!made) return fail("Mesh file " + fmt::quoted(mesh->path) + " of the " + describe(o, index) +
                           " cannot be used: " + made.error());
    cache.meshes.emplace(std::move(key), *made);
    return *made;
  }
  // Primitive dimensions are stored in single precision and converted exactly.
  const float r = shape.get_radius().value_or(1.0f);
  const float h = shape.get_half_length().value_or(1.0f);
  const auto e = shape.get_half_extents().value_or(std::array<float, 3>{1.0f, 1.0f, 1.0f});
  const bool length_ok = usable(h) || (type == ShapeType::Capsule && h == 0.0f);
  if (!usable(r) || !length_ok || !usable(e[0]) || !usable(e[1]) || !usable(e[2]))
    return fail("The " + describe(o, index) + " has a zero, negative or non-finite dimension");
  const double rd = r, ld = 2.0 * static_cast<double>(h);
  Geometry g;
  switch (type) {
    case ShapeType::Sphere: g = std::make_shared<fcl::Sphered>(rd); break;
    case ShapeType::Cuboid:
      g = std::make_shared<fcl::Boxd>(2.0 * static_cast<double>(e[0]), 2.0 * static_cast<double>(e[1]),
                                      2.0 * static_cast<double>(e[2]));
      break;
    case ShapeType::Cylinder: g = std::make_shared<fcl::Cylinderd>(rd, ld); break;
    case ShapeType::Cone: g = std::make_shared<fcl::Coned>(rd, ld); break;
    case ShapeType::Capsule: g = std::make_shared<fcl::Capsuled>(rd, ld); break;
    case ShapeType::Mesh: break;
  }
  g->computeLocalAABB();
  return g;
}

// The primitive of an FCL shape for the distance iteration, in the same dimensions.
std::optional<ConvexPrimitive> primitive_of(const fcl::CollisionGeometryd& g) {
  using Core = ConvexPrimitive::Core;
  switch (g.getNodeType()) {
    case fcl::GEOM_SPHERE: return ConvexPrimitive{Core::Point, {}, static_cast<const fcl::Sphered&>(g).radius};
    case fcl::GEOM_BOX: {
      const fcl::Vector3d& side = static_cast<const fcl::Boxd&>(g).side;
      return ConvexPrimitive{Core::Cuboid, {0.5 * side[0], 0.5 * side[1], 0.5 * side[2]}, 0.0};
    }
    case fcl::GEOM_CYLINDER: {
      const auto& c = static_cast<const fcl::Cylinderd&>(g);
      return ConvexPrimitive{Core::Cylinder, {c.radius, c.radius, 0.5 * c.lz}, 0.0};
    }
    case fcl::GEOM_CONE: {
      const auto& c = static_cast<const fcl::Coned&>(g);
      return ConvexPrimitive{Core::Cone, {c.radius, c.radius, 0.5 * c.lz}, 0.0};
    }
    case fcl::GEOM_CAPSULE: {
      const auto& c = static_cast<const fcl::Capsuled&>(g);
      return ConvexPrimitive{Core::Segment, {0.0, 0.0, 0.5 * c.lz}, c.radius};
    }
    case fcl::GEOM_CONVEX: {
      // A mesh read as its hull: its vertices, kept alive by the geometry in the cache.
      const std::vector<fcl::Vector3d>& v = static_cast<const fcl::Convexd&>(g).getVertices();
      static_assert(sizeof(fcl::Vector3d) == 3 * sizeof(double));
      if (v.empty()) return std::nullopt;
      ConvexPrimitive hull{Core::Hull, {}, 0.0};
      hull.points = v.front().data();
      hull.count = v.size();
      return hull;
    }
    default: return std::nullopt;
  }
}

}  // namespace

std::expected<CollisionCache*, CollisionError> prepare(const GeometryModel& model) {
  std::shared_ptr<CollisionCache>& slot = model.collision_cache.ptr;
  if (!slot) slot = std::make_shared<CollisionCache>();
  CollisionCache& cache = *slot;
  const std::size_t n = model.objects.size();
  if (cache.geometries.size() >= n) return &cache;
  try {
    std::vector<CollisionCache::Geometry> made(cache.geometries);
    made.resize(n);
    for (std::size_t k = cache.geometries.size(); k < n; ++k) {
      auto g = make_geometry(cache, model.objects[k], k);
      if (!g) return std::unexpected(g.error());
      made[k] = std::move(*g);
    }
    std::vector<CollisionCache::LocalBox> boxes;
    std::vector<std::optional<ConvexPrimitive>> primitives;
    boxes.reserve(n);
    primitives.reserve(n);
    for (const Geometry& g : made) {
      boxes.push_back({g->aabb_local.center(), (g->aabb_local.max_ - g->aabb_local.min_) * 0.5});
      primitives.push_back(primitive_of(*g));
    }
    cache.local_boxes = std::move(boxes);
    cache.primitives = std::move(primitives);
    cache.geometries = std::move(made);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return fail(std::string("The collision library failed while making the collision geometry: ") + e.what());
  }
  return &cache;
}

}  // namespace collision

std::expected<std::vector<double>, CollisionError> read_mesh_triangles(const std::string& path,
                                                                       const std::array<double, 3>& scale) {
  auto read = collision::read_triangles(path, scale);
  if (!read) return std::unexpected(CollisionError{"Mesh file " + fmt::quoted(path) + " cannot be used: " + read.error()});
  std::vector<double> out;
  out.reserve(read->triangles.size() * 9);
  for (const fcl::Triangle& t : read->triangles)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out.push_back(read->vertices[t[c]][k]);
  return out;
}

std::expected<void, CollisionError> prepare_queries(const GeometryModel& model) {
  auto made = collision::prepare(model);
  if (!made) return std::unexpected(made.error());
  return {};
}

std::expected<void, CollisionError> load_meshes(const GeometryModel& model, bool convex) {
  std::shared_ptr<CollisionCache>& slot = model.collision_cache.ptr;
  // Everything is made into a new cache first, so that a failure leaves the old one.
  auto fresh = std::make_shared<CollisionCache>();
  fresh->convex = convex;
  if (slot && slot->convex == convex) fresh->meshes = slot->meshes;
  std::swap(slot, fresh);
  auto made = collision::prepare(model);
  if (!made) {
    std::swap(slot, fresh);
    return std::unexpected(made.error());
  }
  return {};
}

}  // namespace velmora
