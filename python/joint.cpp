#include "joint.hpp"

#include "module.hpp"

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

PyGetSetDef joint_getset[] = {{"joint_type", joint_get_type, nullptr, "", nullptr},
                              {"nq", joint_get_nq, nullptr, "", nullptr},
                              {"nv", joint_get_nv, nullptr, "", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* revolute(const Vector3D& axis) {
  return vb::guard([&] { return vb::wrap<PyJointWrapper>(make_revolute(axis)); });
}
PyObject* revolute_x(PyObject*, PyObject*) { return revolute(Vector3D::unit_x()); }
PyObject* revolute_y(PyObject*, PyObject*) { return revolute(Vector3D::unit_y()); }
PyObject* revolute_z(PyObject*, PyObject*) { return revolute(Vector3D::unit_z()); }

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
         vb::add_function(m, &rz_def);
}

}  // namespace velmora::py
