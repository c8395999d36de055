#include "joint.hpp"

#include <cmath>

#include "binding/args.hpp"
#include "binding/arrays.hpp"
#include "module.hpp"
#include "spatial.hpp"

namespace velmora::py {

namespace {

using Obj = vb::Object<PyJointWrapper>;

PyObject* joint_get_type(PyObject* self, void*) {
  vb::Shared<PyJointWrapper> j(reinterpret_cast<Obj*>(self));
  return j.ok() ? vb::wrap<PyJointType>((*j)->get_joint_type()) : nullptr;
}

PyObject* joint_get_nq(PyObject* self, void*) {
  vb::Shared<PyJointWrapper> j(reinterpret_cast<Obj*>(self));
  return j.ok() ? PyLong_FromSize_t((*j)->nq()) : nullptr;
}

PyObject* joint_get_nv(PyObject* self, void*) {
  vb::Shared<PyJointWrapper> j(reinterpret_cast<Obj*>(self));
  return j.ok() ? PyLong_FromSize_t((*j)->nv()) : nullptr;
}

// The lower or upper position limits, one per configuration value (nq); empty for the
// fixed joint.
PyObject* limits_array(PyObject* self, bool upper) {
  vb::Shared<PyJointWrapper> j(reinterpret_cast<Obj*>(self));
  if (!j.ok()) return nullptr;
  const JointLimits* limits = (*j)->limits();
  if (!limits) return vb::new_array_1d(nullptr, 0);
  const Configuration& c = upper ? limits->upper : limits->lower;
  return vb::new_array_1d(c.data(), c.len());
}

// Replaces the lower or upper limits by a float64 array of nq values.
int set_limits(PyObject* self, PyObject* value, bool upper) {
  const char* attribute = upper ? "upper_limit" : "lower_limit";
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s' of 'JointModel' objects", attribute);
    return -1;
  }
  vb::ArrayView a;
  if (!vb::to_array(value, {"JointModel", attribute}, 1, a)) return -1;
  vb::Exclusive<PyJointWrapper> j(reinterpret_cast<Obj*>(self));
  if (!j.ok()) return -1;
  const std::size_t nq = (*j)->nq();
  JointLimits* limits = (*j)->limits_mut();
  if (static_cast<std::size_t>(a.shape[0]) != nq || (!limits && nq > 0)) {
    vb::guard([&] {
      return vb::value_error(std::string(attribute) + " must hold the joint's " + std::to_string(nq) +
                             " configuration values, got " + std::to_string(a.shape[0]));
    });
    return -1;
  }
  if (!limits) return 0;
  Configuration& c = upper ? limits->upper : limits->lower;
  for (std::size_t i = 0; i < nq; ++i) c[i] = a.at(static_cast<Py_ssize_t>(i));
  return 0;
}

PyObject* joint_get_lower(PyObject* self, void*) { return limits_array(self, false); }
PyObject* joint_get_upper(PyObject* self, void*) { return limits_array(self, true); }
int joint_set_lower(PyObject* self, PyObject* value, void*) { return set_limits(self, value, false); }
int joint_set_upper(PyObject* self, PyObject* value, void*) { return set_limits(self, value, true); }

PyGetSetDef joint_getset[] = {
    {"joint_type", joint_get_type, nullptr, "", nullptr},
    {"nq", joint_get_nq, nullptr, "", nullptr},
    {"nv", joint_get_nv, nullptr, "", nullptr},
    {"lower_limit", joint_get_lower, joint_set_lower,
     "Lower position limits, one per configuration value (float64 array of length nq). For the free flyer and "
     "planar joints the first 3 or 2 bound the translation of random configurations (default -1 m).",
     nullptr},
    {"upper_limit", joint_get_upper, joint_set_upper,
     "Upper position limits, one per configuration value (float64 array of length nq). For the free flyer and "
     "planar joints the first 3 or 2 bound the translation of random configurations (default 1 m).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* revolute(const Vector3D& axis) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_revolute(axis)); });
}
PyObject* revolute_x(PyObject*, PyObject*) { return revolute(Vector3D::unit_x()); }
PyObject* revolute_y(PyObject*, PyObject*) { return revolute(Vector3D::unit_y()); }
PyObject* revolute_z(PyObject*, PyObject*) { return revolute(Vector3D::unit_z()); }

PyObject* prismatic_x(PyObject*, PyObject*) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_prismatic(Vector3D::unit_x())); });
}
PyObject* prismatic_y(PyObject*, PyObject*) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_prismatic(Vector3D::unit_y())); });
}
PyObject* prismatic_z(PyObject*, PyObject*) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_prismatic(Vector3D::unit_z())); });
}

// A joint about or along `axis`: a Vector3D or a float64 array of length 3, with a
// finite, non-zero length (an axis without direction has nothing to turn about).
template <std::unique_ptr<JointModel> (*Make)(const Vector3D&)>
PyObject* with_axis(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"axis"};
  vb::Args<1> in;
  if (!vb::parse(in, function, names, args, nargs, kwnames)) return nullptr;
  Vector3D axis;
  if (auto* v = vb::cast<PyVector3D>(in[0])) {
    vb::Shared<PyVector3D> held(v);
    if (!held.ok()) return nullptr;
    axis = *held;
  } else if (!vector3d_from_array(in[0], {function, "axis"}, axis)) {
    return nullptr;
  }
  const double norm = axis.norm();
  if (!(norm > 0) || !std::isfinite(norm) || !std::isfinite(axis.x) || !std::isfinite(axis.y) ||
      !std::isfinite(axis.z))
    return vb::value_error(std::string(function) + ": the axis must be finite and non-zero");
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(Make(axis)); });
}
PyObject* revolute_axis(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_axis<make_revolute>("JointModelRevolute", args, nargs, kwnames);
}
PyObject* prismatic_axis(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_axis<make_prismatic>("JointModelPrismatic", args, nargs, kwnames);
}
PyObject* continuous_axis(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_axis<make_continuous>("JointModelContinuous", args, nargs, kwnames);
}

PyObject* spherical(PyObject*, PyObject*) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_spherical()); });
}
PyObject* free_flyer(PyObject*, PyObject*) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_free_flyer()); });
}
PyObject* planar(PyObject*, PyObject*) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_planar()); });
}

constexpr int kAxisFlags = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef revolute_def = {
    "JointModelRevolute", vb::fn(revolute_axis), kAxisFlags,
    "JointModelRevolute(axis)\n--\n\nCreates a revolute joint model turning about `axis` (a Vector3D or a float64 "
    "array of length 3, finite and non-zero; its direction is used). nq 1, nv 1."};
PyMethodDef prismatic_def = {
    "JointModelPrismatic", vb::fn(prismatic_axis), kAxisFlags,
    "JointModelPrismatic(axis)\n--\n\nCreates a prismatic joint model sliding by `axis` * q (a Vector3D or a float64 "
    "array of length 3, finite and non-zero). nq 1, nv 1."};
PyMethodDef continuous_def = {
    "JointModelContinuous", vb::fn(continuous_axis), kAxisFlags,
    "JointModelContinuous(axis)\n--\n\nCreates a continuous (unbounded revolute) joint model turning about `axis`. "
    "nq 2 (cos, sin), nv 1."};
PyMethodDef px_def = {"JointModelPX", prismatic_x, METH_NOARGS,
                      "JointModelPX()\n--\n\nCreates a new prismatic joint model with `x` as axis of translation."};
PyMethodDef py_def = {"JointModelPY", prismatic_y, METH_NOARGS,
                      "JointModelPY()\n--\n\nCreates a new prismatic joint model with `y` as axis of translation."};
PyMethodDef pz_def = {"JointModelPZ", prismatic_z, METH_NOARGS,
                      "JointModelPZ()\n--\n\nCreates a new prismatic joint model with `z` as axis of translation."};
PyMethodDef spherical_def = {
    "JointModelSpherical", spherical, METH_NOARGS,
    "JointModelSpherical()\n--\n\nCreates a spherical (ball) joint model: q is a quaternion (qw, qx, qy, qz), "
    "nv 3 the child's angular velocity in the child frame."};
PyMethodDef free_flyer_def = {
    "JointModelFreeFlyer", free_flyer, METH_NOARGS,
    "JointModelFreeFlyer()\n--\n\nCreates a free-flyer joint model (any rigid motion): q is (x, y, z, qw, qx, qy, "
    "qz), v (wx, wy, wz, vx, vy, vz) the child's angular velocity and the velocity of its origin, both in the child "
    "frame."};
PyMethodDef planar_def = {
    "JointModelPlanar", planar, METH_NOARGS,
    "JointModelPlanar()\n--\n\nCreates a planar joint model (motion in the parent's x-y plane): q is (x, y, cos th, "
    "sin th), v (wz, vx, vy) in the child frame."};

PyMethodDef rx_def = {"JointModelRX", revolute_x, METH_NOARGS,
                      "JointModelRX()\n--\n\nCreates a new revolute joint model with `x` as axis of rotation."};
PyMethodDef ry_def = {"JointModelRY", revolute_y, METH_NOARGS,
                      "JointModelRY()\n--\n\nCreates a new revolute joint model with `y` as axis of rotation."};
PyMethodDef rz_def = {"JointModelRZ", revolute_z, METH_NOARGS,
                      "JointModelRZ()\n--\n\nCreates a new revolute joint model with `z` as axis of rotation."};

}  // namespace

const char* const PyJointWrapper::doc = "A Python wrapper for the `JointWrapper` type.";

std::vector<PyType_Slot> PyJointWrapper::slots() { return {{Py_tp_getset, joint_getset}}; }

bool add_joint_model(PyObject* m) { return vb::add_class<PyJointWrapper>(m); }

bool add_joint_functions(PyObject* m) {
  return vb::add_class<PyJointType>(m) && vb::add_function(m, &rx_def) && vb::add_function(m, &ry_def) &&
         vb::add_function(m, &rz_def) && vb::add_function(m, &px_def) && vb::add_function(m, &py_def) &&
         vb::add_function(m, &pz_def) && vb::add_function(m, &revolute_def) && vb::add_function(m, &prismatic_def) &&
         vb::add_function(m, &continuous_def) && vb::add_function(m, &spherical_def) &&
         vb::add_function(m, &free_flyer_def) && vb::add_function(m, &planar_def);
}

}  // namespace velmora::py
