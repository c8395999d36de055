// Python classes GeometryObject, GeometryModel, GeometryData and the shapes of the
// submodule velmora.tessary.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "binding/enums.hpp"
#include "core/geometry/geometry.hpp"
#include "core/geometry/shape.hpp"

namespace velmora::py {

struct PyGeometryObject {
  using Native = GeometryObject;
  static constexpr const char* name = "GeometryObject";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyGeometryModel {
  using Native = GeometryModel;
  static constexpr const char* name = "GeometryModel";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyGeometryData {
  using Native = GeometryData;
  static constexpr const char* name = "GeometryData";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

// ------------------------------------------------------------- classes of velmora.tessary

struct PyCapsule {
  using Native = Capsule;
  static constexpr const char* name = "Capsule";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyCone {
  using Native = Cone;
  static constexpr const char* name = "Cone";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyCuboid {
  using Native = Cuboid;
  static constexpr const char* name = "Cuboid";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyCylinder {
  using Native = Cylinder;
  static constexpr const char* name = "Cylinder";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PySphere {
  using Native = Sphere;
  static constexpr const char* name = "Sphere";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyMesh {
  using Native = Mesh;
  static constexpr const char* name = "PyMesh";
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

// The read-only view of a geometry object's shape (its own copy).
struct PyShapeWrapper {
  using Native = std::unique_ptr<Shape>;
  static constexpr const char* name = "Shape";
  static constexpr bool constructible = false;
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

struct PyShapeType : vb::Enum<PyShapeType> {
  using Native = ShapeType;
  static constexpr const char* name = "ShapeType";
  static constexpr bool constructible = false;
  static constexpr const char* doc = nullptr;
  static constexpr std::array<const char*, 6> members = {"Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "Mesh"};
};

// A copy of the shape held by one of the five primitive shape classes (Capsule, Cone,
// Cuboid, Cylinder, Sphere, tried in this order), or null when `o` is none of them.
// A borrow conflict also gives null, with the binding layer's error set.
std::unique_ptr<Shape> clone_primitive_shape(PyObject* o, bool& failed);

}  // namespace velmora::py
