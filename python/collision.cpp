// Collision and distance queries: compute_collisions, compute_distances, compute_distance,
// and the DistanceResult class they return.
#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "core/collision/collision.hpp"
#include "geometry.hpp"
#include "module.hpp"

namespace velmora::py {

// One pair's distance, witness points and normal (read-only copies).
struct PyDistanceResult {
  using Native = DistanceResult;
  static constexpr const char* name = "DistanceResult";
  static constexpr bool constructible = false;
  static const char* const doc;
  static std::vector<PyType_Slot> slots();
};

namespace {

using ResultObj = vb::Object<PyDistanceResult>;
using ModelObj = vb::Object<PyGeometryModel>;
using DataObj = vb::Object<PyGeometryData>;

const DistanceResult& result_of(PyObject* self) { return reinterpret_cast<ResultObj*>(self)->value; }

PyObject* vector_array(const Vector3D& v) {
  const double values[3] = {v.x, v.y, v.z};
  return vb::new_array_1d(values, 3);
}

PyObject* result_distance(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).distance); }
PyObject* result_point_i(PyObject* self, void*) { return vector_array(result_of(self).point_i); }
PyObject* result_point_j(PyObject* self, void*) { return vector_array(result_of(self).point_j); }
PyObject* result_normal(PyObject* self, void*) { return vector_array(result_of(self).normal); }
PyObject* result_pair(PyObject* self, void*) {
  const DistanceResult& r = result_of(self);
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(r.i), static_cast<Py_ssize_t>(r.j));
}

PyObject* result_repr(PyObject* self) {
  const DistanceResult& r = result_of(self);
  return vb::guard([&] {
    const std::string text = "DistanceResult(pair=(" + std::to_string(r.i) + ", " + std::to_string(r.j) +
                             "), distance=" + fmt::plain(r.distance) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef result_getset[] = {
    {"pair", result_pair, nullptr, "The two object indices (i, j).", nullptr},
    {"distance", result_distance, nullptr, "Distance; minus the penetration depth when the objects overlap.",
     nullptr},
    {"point_i", result_point_i, nullptr, "World point on object i.", nullptr},
    {"point_j", result_point_j, nullptr, "World point on object j.", nullptr},
    {"normal", result_normal, nullptr, "Unit vector from object i towards object j.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// The (geometry_model, geometry_data) arguments every query starts with.
struct Query {
  ModelObj* model = nullptr;
  DataObj* data = nullptr;
};

bool to_query(PyObject* model, PyObject* data, const char* function, Query& out) {
  return vb::to_object<PyGeometryModel>(model, {function, "geometry_model"}, out.model) &&
         vb::to_object<PyGeometryData>(data, {function, "geometry_data"}, out.data);
}

PyObject* new_pair(const CollisionPair& p) {
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(p.first), static_cast<Py_ssize_t>(p.second));
}

PyObject* compute_collisions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"geometry_model", "geometry_data", "stop_at_first"};
  vb::Args<3> in;
  Query q;
  bool stop_at_first = false;
  if (!vb::parse(in, "compute_collisions", names, args, nargs, kwnames, 2) ||
      !to_query(in[0], in[1], "compute_collisions", q) ||
      (in[2] && !vb::to_bool(in[2], {"compute_collisions", "stop_at_first"}, stop_at_first)))
    return nullptr;
  vb::Shared<PyGeometryModel> model(q.model);
  if (!model.ok()) return nullptr;
  vb::Shared<PyGeometryData> data(q.data);
  if (!data.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto hits = velmora::compute_collisions(*model, *data, stop_at_first);
    if (!hits) return vb::value_error(hits.error().message);
    vb::Ref list = vb::Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits->size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < hits->size(); ++k) {
      PyObject* item = new_pair((*hits)[k]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyObject* compute_distances(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"geometry_model", "geometry_data"};
  vb::Args<2> in;
  Query q;
  if (!vb::parse(in, "compute_distances", names, args, nargs, kwnames) ||
      !to_query(in[0], in[1], "compute_distances", q))
    return nullptr;
  vb::Shared<PyGeometryModel> model(q.model);
  if (!model.ok()) return nullptr;
  vb::Shared<PyGeometryData> data(q.data);
  if (!data.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto results = velmora::compute_distances(*model, *data);
    if (!results) return vb::value_error(results.error().message);
    vb::Ref list = vb::Ref::steal(PyList_New(static_cast<Py_ssize_t>(results->size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < results->size(); ++k) {
      PyObject* item = vb::wrap<PyDistanceResult>((*results)[k]);
      if (!item) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyObject* compute_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"geometry_model", "geometry_data", "i", "j"};
  vb::Args<4> in;
  Query q;
  std::size_t i = 0, j = 0;
  if (!vb::parse(in, "compute_distance", names, args, nargs, kwnames) ||
      !to_query(in[0], in[1], "compute_distance", q) || !vb::to_index(in[2], {"compute_distance", "i"}, i) ||
      !vb::to_index(in[3], {"compute_distance", "j"}, j))
    return nullptr;
  vb::Shared<PyGeometryModel> model(q.model);
  if (!model.ok()) return nullptr;
  vb::Shared<PyGeometryData> data(q.data);
  if (!data.ok()) return nullptr;
  return vb::guard([&]() -> PyObject* {
    auto result = velmora::compute_distance(*model, *data, i, j);
    if (!result) return vb::value_error(result.error().message);
    return vb::wrap<PyDistanceResult>(*result);
  });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef compute_collisions_def = {
    "compute_collisions", vb::fn(compute_collisions), kFlags,
    "compute_collisions(geometry_model, geometry_data, stop_at_first=False)\n--\n\n"
    "The collision pairs (i, j) of `geometry_model.collision_pairs` whose objects touch or overlap at the "
    "placements `geometry_data` holds, in list order (only the first when `stop_at_first`). Mesh files are read "
    "on first use; ValueError when one cannot be read."};
PyMethodDef compute_distances_def = {
    "compute_distances", vb::fn(compute_distances), kFlags,
    "compute_distances(geometry_model, geometry_data)\n--\n\n"
    "A DistanceResult (distance, point_i, point_j, normal) for every collision pair, in list order; the distance "
    "is negative (minus the penetration depth) where the objects overlap."};
PyMethodDef compute_distance_def = {
    "compute_distance", vb::fn(compute_distance), kFlags,
    "compute_distance(geometry_model, geometry_data, i, j)\n--\n\n"
    "The DistanceResult of objects i and j, whether or not they form a collision pair."};

}  // namespace

const char* const PyDistanceResult::doc =
    "The distance between two geometry objects: `distance` (negative: minus the penetration depth), `point_i` and "
    "`point_j` (world points on each object), `normal` (unit vector from i towards j) and `pair` (i, j).";

std::vector<PyType_Slot> PyDistanceResult::slots() {
  return {{Py_tp_getset, result_getset}, {Py_tp_repr, reinterpret_cast<void*>(&result_repr)}};
}

bool add_collision_functions(PyObject* m) {
  return vb::add_function(m, &compute_collisions_def) && vb::add_function(m, &compute_distances_def) &&
         vb::add_function(m, &compute_distance_def) && vb::add_class<PyDistanceResult>(m);
}

}  // namespace velmora::py
