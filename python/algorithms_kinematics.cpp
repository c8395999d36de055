// Python enumeration Representation and the kinematics functions: frame placements,
// Jacobians, frame velocities and accelerations, centre of mass, energies.
#include <span>
#include <string>
#include <vector>

#include "binding/arrays.hpp"
#include "core/algorithms/kinematics_quantities.hpp"
#include "model.hpp"
#include "module.hpp"
#include "spatial.hpp"

namespace velmora::py {

struct PyRepresentation : vb::Enum<PyRepresentation> {
  using Native = Representation;
  static constexpr const char* name = "Representation";
  static constexpr bool constructible = false;
  static constexpr const char* doc =
      "The coordinates of a frame's velocity, acceleration or Jacobian (rows: angular 0..2, linear 3..5).\n\n"
      "WORLD: the velocity of the body point passing through the world origin, in world coordinates.\n"
      "BODY: angular velocity and origin velocity in the frame's own coordinates.\n"
      "MIXED: angular velocity and origin velocity in world-aligned axes.";
  static constexpr std::array<const char*, 3> members = {"WORLD", "BODY", "MIXED"};
};

namespace {

// What one argument of a kinematics function is, and so how it is converted.
enum class Arg { Model, Data, Q, V, A, Joint, Frame, Rep, Out };

// The converted arguments of one call; the arrays' elements are read in place when they
// are contiguous, else copied into the storage.
struct Call {
  const Model* model = nullptr;
  Data* data = nullptr;
  std::span<const double> q, v, a;
  std::size_t id = 0;
  Representation rep = Representation::Body;
  PyObject* out = nullptr;  // borrowed: the caller's array to write the result into
};

PyObject* raise(const KinematicsError& e, const char* function) {
  const std::string text = std::string(function) + "(): " + e.message;
  const bool index = e.kind == KinematicsError::Kind::JointId || e.kind == KinematicsError::Kind::FrameId;
  PyErr_SetString(index ? PyExc_IndexError : PyExc_ValueError, text.c_str());
  return nullptr;
}

// Parses and converts the declared arguments (the first `required` are required, the
// rest is the representation, BODY when not given), borrows the model (shared) and the
// data (exclusive, checked against the model), then returns body(call).
// Inlined into each function with its fixed argument kinds, the loop over the arguments
// unrolls and the conversion for each is chosen at compile time.
template <std::size_t N, class Body>
[[gnu::always_inline]] inline PyObject* run(const char* function, const char* const (&names)[N], const Arg (&kinds)[N],
                                            std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, Body&& body) {
  vb::Args<N> in;
  const auto given_positionally = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  if (!kwnames && given_positionally >= required && given_positionally <= N) {
    // The common call, without keyword matching: the arguments not given stay null, and
    // an optional one given as None counts as not given.
    for (std::size_t k = 0; k < given_positionally; ++k) in.v[k] = k >= required && args[k] == Py_None ? nullptr : args[k];
  } else if (!vb::parse(in, function, names, args, nargs, kwnames, required)) {
    return nullptr;
  }
  vb::Object<PyModel>* model_obj = nullptr;
  vb::Object<PyData>* data_obj = nullptr;
  vb::ArrayView arrays[3];
  bool given[3] = {false, false, false};
  Call call;
#pragma GCC unroll 8
  for (std::size_t k = 0; k < N; ++k) {
    const vb::ArgName where{function, names[k]};
    PyObject* o = in[k];
    if (!o) continue;
    switch (kinds[k]) {
      case Arg::Model:
        if (!vb::to_object(o, where, model_obj)) return nullptr;
        break;
      case Arg::Data:
        if (!vb::to_object(o, where, data_obj)) return nullptr;
        break;
      case Arg::Q:
      case Arg::V:
      case Arg::A: {
        const int slot = static_cast<int>(kinds[k]) - static_cast<int>(Arg::Q);
        if (!vb::to_array(o, where, 1, arrays[slot])) return nullptr;
        given[slot] = true;
        break;
      }
      case Arg::Joint:
      case Arg::Frame:
        if (!vb::to_index(o, where, call.id)) return nullptr;
        break;
      case Arg::Rep: {
        vb::Object<PyRepresentation>* rep = nullptr;
        if (!vb::to_object(o, where, rep)) return nullptr;
        call.rep = rep->value;
        break;
      }
      case Arg::Out:
        call.out = o;  // its shape depends on the model: checked by the function
        break;
    }
  }
  return vb::guard([&]() -> PyObject* {
    vb::Shared<PyModel> model(model_obj);
    if (!model.ok()) return nullptr;
    call.model = &*model;
    std::optional<vb::Exclusive<PyData>> data;
    if (data_obj) {
      data.emplace(data_obj);
      if (!data->ok() || !check_data_fits(*model, **data)) return nullptr;
      call.data = &**data;
    }
    std::vector<double> storage[3];
    std::span<const double>* spans[3] = {&call.q, &call.v, &call.a};
    for (int k = 0; k < 3; ++k)
      if (given[k]) *spans[k] = vb::read_1d(arrays[k], storage[k]);
    return body(call);
  });
}

// A new array of rows (x cols) whose every element `fill` writes; on failure the error is
// raised and the array released.
template <class Fill>
PyObject* matrix_result(const char* function, std::size_t rows, std::size_t cols, Fill&& fill) {
  double* out = nullptr;
  vb::Ref result = vb::Ref::steal(vb::new_array_to_fill(rows, cols, out));
  if (!result) return nullptr;
  if (auto done = fill(out); !done) return raise(done.error(), function);
  return result.release();
}

// The same result written into the caller's array c.out when one is given (float64, exactly
// rows x cols, C-contiguous and writeable, else an error before anything is written), which
// is then returned: a control loop then allocates nothing per call. The functions clear the
// output before they read q, so a q that shares memory with it is read from a copy.
template <class Fill>
PyObject* matrix_result_into(const char* function, Call& c, std::size_t rows, std::size_t cols, Fill&& fill) {
  if (!c.out) return matrix_result(function, rows, cols, fill);
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
  double* out = nullptr;
  if (!vb::to_output_array(c.out, {function, "out"}, 2, shape, out)) return nullptr;
  std::vector<double> copy;
  const double* q = c.q.data();
  if (q < out + rows * cols && out < q + c.q.size()) {
    copy.assign(c.q.begin(), c.q.end());
    c.q = copy;
  }
  if (auto done = fill(out); !done) return raise(done.error(), function);
  return Py_NewRef(c.out);
}

PyObject* motion_result(const char* function, const std::expected<SpatialMotion, KinematicsError>& m) {
  if (!m) return raise(m.error(), function);
  const double values[6] = {(*m)[0], (*m)[1], (*m)[2], (*m)[3], (*m)[4], (*m)[5]};
  return vb::new_array_1d(values, 6);
}

PyObject* float_result(const char* function, const std::expected<double, KinematicsError>& x) {
  return x ? PyFloat_FromDouble(*x) : raise(x.error(), function);
}

using enum Arg;

PyObject* py_update_frame_placements(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data"};
  static const Arg kinds[] = {Model, Data};
  const char* f = "update_frame_placements";
  return run(f, names, kinds, 2, args, nargs, kwnames, [&](Call& c) -> PyObject* {
    if (auto done = update_frame_placements(*c.model, *c.data); !done) return raise(done.error(), f);
    Py_RETURN_NONE;
  });
}

PyObject* py_frame_placement(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "frame_id"};
  static const Arg kinds[] = {Model, Data, Frame};
  const char* f = "frame_placement";
  return run(f, names, kinds, 3, args, nargs, kwnames, [&](Call& c) -> PyObject* {
    auto placement = frame_placement(*c.model, *c.data, c.id);
    return placement ? vb::wrap<PySE3>(*placement) : raise(placement.error(), f);
  });
}

PyObject* py_joint_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "joint_id", "rep", "out"};
  static const Arg kinds[] = {Model, Data, Q, Joint, Rep, Out};
  const char* f = "joint_jacobian";
  return run(f, names, kinds, 4, args, nargs, kwnames, [&](Call& c) {
    return matrix_result_into(f, c, 6, c.model->nv,
                         [&](double* out) { return joint_jacobian(*c.model, *c.data, c.q, c.id, c.rep, out); });
  });
}

PyObject* py_frame_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "frame_id", "rep", "out"};
  static const Arg kinds[] = {Model, Data, Q, Frame, Rep, Out};
  const char* f = "frame_jacobian";
  return run(f, names, kinds, 4, args, nargs, kwnames, [&](Call& c) {
    return matrix_result_into(f, c, 6, c.model->nv,
                         [&](double* out) { return frame_jacobian(*c.model, *c.data, c.q, c.id, c.rep, out); });
  });
}

PyObject* py_frame_jacobian_time_derivative(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "v", "frame_id", "rep"};
  static const Arg kinds[] = {Model, Data, Q, V, Frame, Rep};
  const char* f = "frame_jacobian_time_derivative";
  return run(f, names, kinds, 5, args, nargs, kwnames, [&](Call& c) {
    return matrix_result(f, 6, c.model->nv, [&](double* out) {
      return frame_jacobian_time_derivative(*c.model, *c.data, c.q, c.v, c.id, c.rep, out);
    });
  });
}

PyObject* py_frame_velocity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "v", "frame_id", "rep"};
  static const Arg kinds[] = {Model, Data, Q, V, Frame, Rep};
  const char* f = "frame_velocity";
  return run(f, names, kinds, 5, args, nargs, kwnames, [&](Call& c) {
    return motion_result(f, frame_velocity(*c.model, *c.data, c.q, c.v, c.id, c.rep));
  });
}

PyObject* py_frame_acceleration(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "v", "a", "frame_id", "rep"};
  static const Arg kinds[] = {Model, Data, Q, V, A, Frame, Rep};
  const char* f = "frame_acceleration";
  return run(f, names, kinds, 6, args, nargs, kwnames, [&](Call& c) {
    return motion_result(f, frame_acceleration(*c.model, *c.data, c.q, c.v, c.a, c.id, c.rep));
  });
}

PyObject* py_total_mass(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model"};
  static const Arg kinds[] = {Model};
  return run("total_mass", names, kinds, 1, args, nargs, kwnames,
             [&](Call& c) { return PyFloat_FromDouble(total_mass(*c.model)); });
}

PyObject* py_center_of_mass(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q"};
  static const Arg kinds[] = {Model, Data, Q};
  const char* f = "center_of_mass";
  return run(f, names, kinds, 3, args, nargs, kwnames, [&](Call& c) -> PyObject* {
    auto com = center_of_mass(*c.model, *c.data, c.q);
    if (!com) return raise(com.error(), f);
    const double values[3] = {com->x, com->y, com->z};
    return vb::new_array_1d(values, 3);
  });
}

PyObject* py_center_of_mass_jacobian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q"};
  static const Arg kinds[] = {Model, Data, Q};
  const char* f = "center_of_mass_jacobian";
  return run(f, names, kinds, 3, args, nargs, kwnames, [&](Call& c) {
    return matrix_result(f, 3, c.model->nv,
                         [&](double* out) { return center_of_mass_jacobian(*c.model, *c.data, c.q, out); });
  });
}

PyObject* py_kinetic_energy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q", "v"};
  static const Arg kinds[] = {Model, Data, Q, V};
  const char* f = "kinetic_energy";
  return run(f, names, kinds, 4, args, nargs, kwnames,
             [&](Call& c) { return float_result(f, kinetic_energy(*c.model, *c.data, c.q, c.v)); });
}

PyObject* py_potential_energy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"model", "data", "q"};
  static const Arg kinds[] = {Model, Data, Q};
  const char* f = "potential_energy";
  return run(f, names, kinds, 3, args, nargs, kwnames,
             [&](Call& c) { return float_result(f, potential_energy(*c.model, *c.data, c.q)); });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"update_frame_placements", vb::fn(py_update_frame_placements), kFlags,
     "update_frame_placements(model, data)\n--\n\nFills data.oMf with the world placement of every frame, from the "
     "joint placements of the last forward kinematics."},
    {"frame_placement", vb::fn(py_frame_placement), kFlags,
     "frame_placement(model, data, frame_id)\n--\n\nThe world placement of one frame, from the joint placements of "
     "the last forward kinematics."},
    {"joint_jacobian", vb::fn(py_joint_jacobian), kFlags,
     "joint_jacobian(model, data, q, joint_id, rep=None, out=None)\n--\n\nThe (6, nv) Jacobian of a joint's "
     "frame at q, in representation rep (None: Representation.BODY); written into out when given."},
    {"frame_jacobian", vb::fn(py_frame_jacobian), kFlags,
     "frame_jacobian(model, data, q, frame_id, rep=None, out=None)\n--\n\nThe (6, nv) Jacobian of a frame at "
     "q, in representation rep (None: Representation.BODY); written into out when given."},
    {"frame_velocity", vb::fn(py_frame_velocity), kFlags,
     "frame_velocity(model, data, q, v, frame_id, rep=None)\n--\n\nThe frame's velocity J v, (6,), in "
     "representation rep (None: Representation.BODY)."},
    {"frame_acceleration", vb::fn(py_frame_acceleration), kFlags,
     "frame_acceleration(model, data, q, v, a, frame_id, rep=None)\n--\n\nThe time derivative of "
     "frame_velocity in the same representation rep (None: Representation.BODY), (6,)."},
    {"frame_jacobian_time_derivative", vb::fn(py_frame_jacobian_time_derivative), kFlags,
     "frame_jacobian_time_derivative(model, data, q, v, frame_id, rep=None)\n--\n\nThe (6, nv) "
     "time derivative of the frame Jacobian along v: d/dt (J v) = J a + Jdot v (rep None: "
     "Representation.BODY)."},
    {"total_mass", vb::fn(py_total_mass), kFlags, "total_mass(model)\n--\n\nThe sum of the bodies' masses."},
    {"center_of_mass", vb::fn(py_center_of_mass), kFlags,
     "center_of_mass(model, data, q)\n--\n\nThe centre of mass at q in world coordinates, (3,)."},
    {"center_of_mass_jacobian", vb::fn(py_center_of_mass_jacobian), kFlags,
     "center_of_mass_jacobian(model, data, q)\n--\n\nThe (3, nv) Jacobian of the centre of mass at q."},
    {"kinetic_energy", vb::fn(py_kinetic_energy), kFlags,
     "kinetic_energy(model, data, q, v)\n--\n\n1/2 v^T M(q) v."},
    {"potential_energy", vb::fn(py_potential_energy), kFlags,
     "potential_energy(model, data, q)\n--\n\n-sum_i m_i gravity . c_i: zero when the centre of mass is at the "
     "world origin."},
};

}  // namespace

bool add_kinematics(PyObject* m) {
  if (!vb::add_class<PyRepresentation>(m)) return false;
  for (PyMethodDef& def : functions)
    if (!vb::add_function(m, &def)) return false;
  return true;
}

}  // namespace velmora::py
