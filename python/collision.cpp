// Collision and distance queries: compute_collisions, compute_distances, compute_distance,
// the DistanceResult class they return, and update_geometry_placements.
#include <cmath>
#include <optional>

#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "core/algorithms/algorithms.hpp"
#include "core/collision/collision.hpp"
#include "geometry.hpp"
#include "model.hpp"
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

PyObject* collision_list(const std::vector<CollisionPair>& hits) {
  return vb::new_list(hits, [](const auto& pair) { return new_pair(pair); });
}

PyObject* distance_list(const std::vector<DistanceResult>& results) {
  return vb::new_list(results, [](const DistanceResult& r) { return vb::wrap<PyDistanceResult>(r); });
}

// ------------------------------------------------ the (model, data, geometry_model, ...) form

// The arguments of the form that places the shapes itself: the kinematic model and its
// data, the geometry model and its data, and the joint positions (null when not given).
struct Placing {
  vb::Object<PyModel>* model = nullptr;
  vb::Object<PyData>* data = nullptr;
  ModelObj* geometry_model = nullptr;
  DataObj* geometry_data = nullptr;
  std::optional<vb::ArrayView> q;
};

// Whether a call is of the placing form: its first argument (by position, or the keyword
// `model`) is a kinematic model. Any other call is of the (geometry_model, geometry_data)
// form, whose errors name its arguments.
bool is_placing_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargs) > 0) return vb::cast<PyModel>(args[0]) != nullptr;
  if (!kwnames) return false;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "model") == 0) return true;
  return false;
}

// Matches the arguments against `names` (the first `required` required, the rest optional),
// without the keyword matching for the usual all-positional call.
template <std::size_t N>
bool parse_placing(vb::Args<N>& in, const char* function, const char* const (&names)[N], std::size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (!kwnames && given >= required && given <= N) {
    for (std::size_t k = 0; k < given; ++k) in.v[k] = k >= required && args[k] == Py_None ? nullptr : args[k];
    return true;
  }
  return vb::parse(in, function, names, args, nargs, kwnames, required);
}

// The four objects and q, converted by type (TypeError naming the argument otherwise).
bool to_placing(PyObject* const* in, const char* function, Placing& out) {
  if (!vb::to_object<PyModel>(in[0], {function, "model"}, out.model) ||
      !vb::to_object<PyData>(in[1], {function, "data"}, out.data) ||
      !vb::to_object<PyGeometryModel>(in[2], {function, "geometry_model"}, out.geometry_model) ||
      !vb::to_object<PyGeometryData>(in[3], {function, "geometry_data"}, out.geometry_data))
    return false;
  if (!in[4]) return true;
  return vb::to_array(in[4], {function, "q"}, 1, out.q.emplace());
}

// Borrows the four objects (the data and the geometry data exclusively), refuses what the
// placing or the query would refuse, then runs forward kinematics for q (when given), places
// the objects and returns query(geometry_model, geometry_data). Every refusal comes before
// data or geometry_data changes: the sizes, q's values (a NaN or an infinity would only make
// the query fail once data held it), the data made for another model, the geometry
// attached to joints the data does not have, and (when `queries`) a shape or mesh file the
// queries cannot use.
// What is left to fail afterwards is the collision library itself.
template <class Query>
PyObject* place_and_query(const char* function, const Placing& a, Query&& query, bool queries = true) {
  vb::Shared<PyModel> model(a.model);
  if (!model.ok()) return nullptr;
  vb::Exclusive<PyData> data(a.data);
  if (!data.ok()) return nullptr;
  vb::Shared<PyGeometryModel> geometry_model(a.geometry_model);
  if (!geometry_model.ok()) return nullptr;
  vb::Exclusive<PyGeometryData> geometry_data(a.geometry_data);
  if (!geometry_data.ok()) return nullptr;
  if (!check_data_fits(*model, *data)) return nullptr;
  return vb::guard([&]() -> PyObject* {
    const auto fail = [function](const std::string& message) {
      return vb::value_error(std::string(function) + "(): " + message);
    };
    std::vector<double> storage;
    std::span<const double> q;
    if (a.q) {
      if (static_cast<std::size_t>(a.q->shape[0]) != model->nq)
        return fail("q has " + std::to_string(a.q->shape[0]) + " values, the model's configurations have " +
                    std::to_string(model->nq));
      q = vb::read_1d(*a.q, storage);
      for (std::size_t k = 0; k < q.size(); ++k)
        if (!std::isfinite(q[k])) return fail("q[" + std::to_string(k) + "] is not finite");
    }
    if (auto ok = GeometryData::check(*data, *geometry_model); !ok) return fail(ok.error().message);
    if (queries)
      if (auto ok = prepare_queries(*geometry_model); !ok) return fail(ok.error().message);
    if (a.q)
      if (auto done = forward_kinematics(*model, *data, q); !done) return fail(done.error().display());
    geometry_data->update_checked(*data, *geometry_model);
    return query(*geometry_model, *geometry_data);
  });
}

// ----------------------------------------------------------------------- the queries

PyObject* compute_collisions_placing(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "geometry_model", "geometry_data", "q", "stop_at_first"};
  vb::Args<6> in;
  Placing a;
  bool stop_at_first = false;
  if (!parse_placing(in, "compute_collisions", names, 5, args, nargs, kwnames) ||
      !to_placing(in.v, "compute_collisions", a) ||
      (in[5] && !vb::to_bool(in[5], {"compute_collisions", "stop_at_first"}, stop_at_first)))
    return nullptr;
  return place_and_query("compute_collisions", a, [&](const GeometryModel& model, const GeometryData& data) {
    auto hits = velmora::compute_collisions(model, data, stop_at_first);
    return hits ? collision_list(*hits) : vb::value_error(hits.error().message);
  });
}

PyObject* compute_collisions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (is_placing_call(args, nargs, kwnames)) return compute_collisions_placing(args, nargs, kwnames);
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
    return collision_list(*hits);
  });
}

PyObject* compute_distances_placing(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "geometry_model", "geometry_data", "q"};
  vb::Args<5> in;
  Placing a;
  if (!vb::parse(in, "compute_distances", names, args, nargs, kwnames) || !to_placing(in.v, "compute_distances", a))
    return nullptr;
  return place_and_query("compute_distances", a, [&](const GeometryModel& model, const GeometryData& data) {
    auto results = velmora::compute_distances(model, data);
    return results ? distance_list(*results) : vb::value_error(results.error().message);
  });
}

PyObject* compute_distances(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (is_placing_call(args, nargs, kwnames)) return compute_distances_placing(args, nargs, kwnames);
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
    return distance_list(*results);
  });
}

PyObject* update_geometry_placements(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "geometry_model", "geometry_data", "q"};
  vb::Args<5> in;
  Placing a;
  if (!parse_placing(in, "update_geometry_placements", names, 4, args, nargs, kwnames) ||
      !to_placing(in.v, "update_geometry_placements", a))
    return nullptr;
  // Placing reads no mesh file: one that cannot be read fails only the queries.
  return place_and_query(
      "update_geometry_placements", a, [](const GeometryModel&, const GeometryData&) -> PyObject* { Py_RETURN_NONE; },
      false);
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
    "on first use; ValueError when one cannot be read.\n\n"
    "compute_collisions(model, data, geometry_model, geometry_data, q, stop_at_first=False) places the shapes "
    "for the joint positions q first, as forward_kinematics(model, data, q) and "
    "geometry_data.update_geometry_data(data, geometry_model) do, in one call; refused with nothing changed when "
    "q has the wrong size or a value that is not finite."};
PyMethodDef compute_distances_def = {
    "compute_distances", vb::fn(compute_distances), kFlags,
    "compute_distances(geometry_model, geometry_data)\n--\n\n"
    "A DistanceResult (distance, point_i, point_j, normal) for every collision pair, in list order; the distance "
    "is negative (minus the penetration depth) where the objects overlap.\n\n"
    "compute_distances(model, data, geometry_model, geometry_data, q) places the shapes for the joint positions q "
    "first, as compute_collisions does in that form."};
PyMethodDef update_geometry_placements_def = {
    "update_geometry_placements", vb::fn(update_geometry_placements), kFlags,
    "update_geometry_placements(model, data, geometry_model, geometry_data, q=None)\n--\n\n"
    "Places the geometry objects: forward_kinematics(model, data, q) when q is given, then the world placement of "
    "every object into geometry_data from data's joint placements. Refused with nothing changed when q has the "
    "wrong size or a value that is not finite, or when a data does not fit its model."};
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
         vb::add_function(m, &compute_distance_def) && vb::add_class<PyDistanceResult>(m) &&
         vb::add_function(m, &update_geometry_placements_def);
}

}  // namespace velmora::py
