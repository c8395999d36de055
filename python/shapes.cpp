// The submodule velmora.tessary: the shape classes users make (Capsule, Cone, Cuboid,
// Cylinder, Sphere, PyMesh), the read-only Shape view of a geometry object's shape, and
// the ShapeType enumeration.
#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "core/collision/collision.hpp"
#include "geometry.hpp"
#include "module.hpp"
#include "pickle.hpp"

namespace velmora::py {

namespace {

PyObject* new_string(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A Python number rounded to single precision.
bool to_float32(PyObject* o, vb::ArgName where, float& out) {
  double x = 0;
  if (!vb::to_double(o, where, x)) return false;
  out = to_f32(x);
  return true;
}

// ------------------------------------------------------------------------------ Sphere

PyObject* sphere_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"radius"};
  vb::Args<1> in;
  float radius = 0;
  if (!vb::parse(in, "Sphere", names, args, kwargs) || !to_float32(in[0], {"Sphere", "radius"}, radius))
    return nullptr;
  return vb::wrap<PySphere>(Sphere(radius));
}

// ------------------------------------------------------------------------------ Cuboid

// The first three entries of any sequence of numbers except a str (a str is a sequence
// of characters, never meant as edge lengths). Later entries are not looked at.
bool sides_from_sequence(PyObject* o, std::array<float, 3>& out) {
  const vb::ArgName where{"Cuboid", "sides"};
  if (PyUnicode_Check(o) || !PySequence_Check(o)) return vb::type_error(where, "a sequence of numbers", o);
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  if (n < 3) {
    PyErr_Format(PyExc_ValueError,
                 "Cuboid() argument 'sides' must hold three edge lengths (x, y, z), but got %zd value%s.", n,
                 n == 1 ? "" : "s");
    return false;
  }
  for (Py_ssize_t i = 0; i < 3; ++i) {
    vb::Ref item = vb::Ref::steal(PySequence_GetItem(o, i));
    if (!item) return false;
    double x = 0;
    if (!vb::to_double(item.get(), where, x)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "Cuboid() argument 'sides' must hold numbers, not %s (entry %zd)",
                   Py_TYPE(item.get())->tp_name, i);
      return false;
    }
    out[static_cast<std::size_t>(i)] = to_f32(x);
  }
  return true;
}

PyObject* cuboid_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"sides"};
  vb::Args<1> in;
  std::array<float, 3> sides{};
  if (!vb::parse(in, "Cuboid", names, args, kwargs) || !sides_from_sequence(in[0], sides)) return nullptr;
  return vb::wrap<PyCuboid>(Cuboid(sides));
}

// ------------------------------------------------------------ Cylinder, Cone, Capsule

template <class Cls>
PyObject* axial_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"radius", "length"};
  vb::Args<2> in;
  float radius = 0, length = 0;
  if (!vb::parse(in, Cls::name, names, args, kwargs) || !to_float32(in[0], {Cls::name, "radius"}, radius) ||
      !to_float32(in[1], {Cls::name, "length"}, length))
    return nullptr;
  return vb::wrap<Cls>(typename Cls::Native(radius, length));
}

template <class Cls>
PyObject* axial_radius(PyObject* self, PyObject*) {
  vb::Shared<Cls> s(reinterpret_cast<vb::Object<Cls>*>(self));
  return s.ok() ? PyFloat_FromDouble(static_cast<double>(s->radius)) : nullptr;
}

template <class Cls>
PyObject* axial_half_length(PyObject* self, PyObject*) {
  vb::Shared<Cls> s(reinterpret_cast<vb::Object<Cls>*>(self));
  return s.ok() ? PyFloat_FromDouble(static_cast<double>(s->half_length)) : nullptr;
}

PyMethodDef cylinder_methods[] = {
    {"radius", axial_radius<PyCylinder>, METH_NOARGS, "radius($self)\n--\n\nReturns the radius of the cylinder."},
    {"half_length", axial_half_length<PyCylinder>, METH_NOARGS,
     "half_length($self)\n--\n\nReturns the half length of the cylinder."},
    reduce_method<PyCylinder>(),
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef cone_methods[] = {
    {"radius", axial_radius<PyCone>, METH_NOARGS, "radius($self)\n--\n\nReturns the radius of the cone."},
    {"half_length", axial_half_length<PyCone>, METH_NOARGS,
     "half_length($self)\n--\n\nReturns the half length of the cone."},
    reduce_method<PyCone>(),
    {nullptr, nullptr, 0, nullptr}};

// ------------------------------------------------------------------------------ PyMesh

PyObject* mesh_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"path"};
  vb::Args<1> in;
  std::string path;
  if (!vb::parse(in, "PyMesh", names, args, kwargs) || !vb::to_string(in[0], {"PyMesh", "path"}, path))
    return nullptr;
  return vb::guard([&] { return vb::wrap<PyMesh>(Mesh(std::move(path))); });
}

PyObject* mesh_get_path(PyObject* self, void*) {
  vb::Shared<PyMesh> m(reinterpret_cast<vb::Object<PyMesh>*>(self));
  return m.ok() ? new_string(m->path) : nullptr;
}

PyGetSetDef mesh_getset[] = {{"mesh_path", mesh_get_path, nullptr, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

// ------------------------------------------------------------------------ Shape (view)

using ViewObj = vb::Object<PyShapeWrapper>;

// Calls `read` on the viewed shape; `read` returns a new reference, or null after
// setting ValueError with the property's message when the shape has no such value.
template <class F>
PyObject* with_shape(PyObject* self, F&& read) {
  vb::Shared<PyShapeWrapper> s(reinterpret_cast<ViewObj*>(self));
  if (!s.ok()) return nullptr;
  return vb::guard([&] { return read(**s); });
}

PyObject* view_shape_type(PyObject* self, void*) {
  return with_shape(self, [](const Shape& s) { return vb::wrap<PyShapeType>(s.get_shape_type()); });
}

PyObject* view_radius(PyObject* self, void*) {
  return with_shape(self, [](const Shape& s) -> PyObject* {
    const auto r = s.get_radius();
    return r ? PyFloat_FromDouble(static_cast<double>(*r)) : vb::value_error("Shape does not have a radius");
  });
}

PyObject* view_half_extents(PyObject* self, void*) {
  return with_shape(self, [](const Shape& s) -> PyObject* {
    const auto h = s.get_half_extents();
    return h ? vb::new_array_1d_f32(h->data(), 3) : vb::value_error("Shape does not have half extents");
  });
}

PyObject* view_half_length(PyObject* self, void*) {
  return with_shape(self, [](const Shape& s) -> PyObject* {
    const auto h = s.get_half_length();
    return h ? PyFloat_FromDouble(static_cast<double>(*h)) : vb::value_error("Shape does not have a half length");
  });
}

PyObject* view_mesh_path(PyObject* self, void*) {
  return with_shape(self, [](const Shape& s) -> PyObject* {
    const auto p = s.get_mesh_path();
    return p ? new_string(*p) : vb::value_error("Shape is not a mesh and does not have a path");
  });
}

PyObject* view_mesh_scale(PyObject* self, void*) {
  return with_shape(self, [](const Shape& s) -> PyObject* {
    const auto scale = s.get_mesh_scale();
    return scale ? vb::new_array_1d(scale->data(), 3) : vb::value_error("Shape is not a mesh and does not have a scale");
  });
}

PyObject* view_mesh_triangles(PyObject* self, PyObject*) {
  return with_shape(self, [](const Shape& s) -> PyObject* {
    const auto path = s.get_mesh_path();
    const auto scale = s.get_mesh_scale();
    if (!path || !scale) return vb::value_error("Shape is not a mesh and does not have triangles");
    auto corners = read_mesh_triangles(*path, *scale);
    if (!corners) return vb::value_error(corners.error().message);
    // Row r of the result is corner r % 3 of triangle r / 3: the column-major layout the
    // array helper takes is then x, y, z as three blocks.
    const std::size_t rows = corners->size() / 3;
    std::vector<double> column_major(corners->size());
    for (std::size_t r = 0; r < rows; ++r)
      for (std::size_t k = 0; k < 3; ++k) column_major[r + rows * k] = (*corners)[3 * r + k];
    return vb::new_array_2d(column_major.data(), rows, 3, false);
  });
}

PyMethodDef view_methods[] = {
    {"mesh_triangles", view_mesh_triangles, METH_NOARGS,
     "mesh_triangles($self)\n--\n\nThe mesh's triangles read from its file, scaled, in the mesh's own frame: an "
     "array of shape (3 n, 3) holding the corners of triangle k in rows 3 k to 3 k + 2. ValueError when the shape "
     "is not a mesh or the file cannot be read."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef view_getset[] = {{"shape_type", view_shape_type, nullptr, nullptr, nullptr},
                             {"radius", view_radius, nullptr, nullptr, nullptr},
                             {"half_extents", view_half_extents, nullptr, nullptr, nullptr},
                             {"half_length", view_half_length, nullptr, nullptr, nullptr},
                             {"mesh_path", view_mesh_path, nullptr, nullptr, nullptr},
                             {"mesh_scale", view_mesh_scale, nullptr,
                              "The factors a mesh file's coordinates are multiplied by (x, y, z).", nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

template <class Cls>
std::unique_ptr<Shape> try_clone(PyObject* o, bool& matched, bool& failed) {
  vb::Object<Cls>* obj = vb::cast<Cls>(o);
  if (!obj) return nullptr;
  matched = true;
  vb::Shared<Cls> s(obj);
  if (!s.ok()) {
    failed = true;
    return nullptr;
  }
  return s->clone_box();
}

}  // namespace

std::unique_ptr<Shape> clone_primitive_shape(PyObject* o, bool& failed) {
  bool matched = false;
  failed = false;
  std::unique_ptr<Shape> shape = try_clone<PyCapsule>(o, matched, failed);
  if (!matched) shape = try_clone<PyCone>(o, matched, failed);
  if (!matched) shape = try_clone<PyCuboid>(o, matched, failed);
  if (!matched) shape = try_clone<PyCylinder>(o, matched, failed);
  if (!matched) shape = try_clone<PySphere>(o, matched, failed);
  return shape;
}

const char* const PySphere::doc = "Sphere(radius)\n--\n\n";
const char* const PyCuboid::doc = "Cuboid(sides)\n--\n\n";
const char* const PyCylinder::doc = "Cylinder(radius, length)\n--\n\n";
const char* const PyCone::doc = "Cone(radius, length)\n--\n\n";
const char* const PyCapsule::doc = "Capsule(radius, length)\n--\n\n";
const char* const PyMesh::doc = "PyMesh(path)\n--\n\nA Python wrapper for the Mesh type.";
const char* const PyShapeWrapper::doc = "A Python wrapper for the ShapeWrapper type.";

std::vector<PyType_Slot> PySphere::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&sphere_new)}, {Py_tp_methods, reduce_methods<PySphere>()}};
}
std::vector<PyType_Slot> PyCuboid::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&cuboid_new)}, {Py_tp_methods, reduce_methods<PyCuboid>()}};
}
std::vector<PyType_Slot> PyCapsule::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&axial_new<PyCapsule>)}, {Py_tp_methods, reduce_methods<PyCapsule>()}};
}
std::vector<PyType_Slot> PyCylinder::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&axial_new<PyCylinder>)}, {Py_tp_methods, cylinder_methods}};
}
std::vector<PyType_Slot> PyCone::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&axial_new<PyCone>)}, {Py_tp_methods, cone_methods}};
}
std::vector<PyType_Slot> PyMesh::slots() {
  return {{Py_tp_new, reinterpret_cast<void*>(&mesh_new)}, {Py_tp_getset, mesh_getset},
          {Py_tp_methods, reduce_methods<PyMesh>()}};
}
std::vector<PyType_Slot> PyShapeWrapper::slots() {
  return {{Py_tp_getset, view_getset}, {Py_tp_methods, view_methods}};
}

bool add_tessary(PyObject* tessary) {
  return vb::add_class<PyCapsule>(tessary) && vb::add_class<PyCone>(tessary) && vb::add_class<PyCuboid>(tessary) &&
         vb::add_class<PyCylinder>(tessary) && vb::add_class<PySphere>(tessary) && vb::add_class<PyMesh>(tessary) &&
         vb::add_class<PyShapeWrapper>(tessary) && vb::add_class<PyShapeType>(tessary);
}

}  // namespace velmora::py
