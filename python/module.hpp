// Registration entry points of each area of the module, called by PyInit_velmora in
// the module's fixed order. Each returns false with a Python exception set on failure.
#pragma once

#include "binding/ref.hpp"

namespace velmora::py {

bool add_configuration(PyObject* m);             // Configuration                 configuration.cpp
bool add_model(PyObject* m);                     // Model                         model.cpp
bool add_data(PyObject* m);                      // Data                          model.cpp
bool add_frame(PyObject* m);                     // Frame                         model.cpp
bool add_frame_type(PyObject* m);                // FrameType                     model.cpp
bool add_joint_model(PyObject* m);               // JointModel                    joint.cpp
bool add_geometry_classes(PyObject* m);          // GeometryModel, GeometryData, GeometryObject  geometry.cpp
bool add_configuration_functions(PyObject* m);   // neutral, random_configuration model.cpp
bool add_urdf_functions(PyObject* m);            // build_models_from_urdf, build_model_from_urdf  urdf.cpp
bool add_inertia(PyObject* m);                   // Inertia                       inertia.cpp
bool add_joint_functions(PyObject* m);           // JointType, JointModelRX/RY/RZ, PX/PY/PZ, Revolute, Prismatic,
                                                 // Continuous, Spherical, FreeFlyer, Planar  joint.cpp
bool add_spatial(PyObject* m);                   // SE3 (module and class), Vector3D, Vector6D, Symmetric3  spatial.cpp
bool add_forward_kinematics(PyObject* m);        // forward_kinematics            model.cpp
bool add_dynamics_functions(PyObject* m);        // forward_dynamics, aba, inverse_dynamics, rnea  dynamics.cpp
bool add_kinematics(PyObject* m);               // Representation, frame_jacobian, center_of_mass, ...  algorithms_kinematics.cpp
bool add_dynamics_quantities(PyObject* m);        // mass_matrix .. mass_matrix_factor, MassMatrixFactor  algorithms_dynamics.cpp
bool add_collision_functions(PyObject* m);       // compute_collisions, compute_distances, compute_distance, update_geometry_placements  collision.cpp
bool add_configuration_space_functions(PyObject* m);  // integrate, difference, interpolate, normalize  configuration_space.cpp
bool add_pickle_support(PyObject* m);            // _restore (not in __all__)     pickle.cpp
bool add_batch_functions(PyObject* m);           // forward_kinematics_batch .. frame_jacobian_batch  batch.cpp
bool add_derivatives_functions(PyObject* m);     // rnea_derivatives, aba_derivatives  algorithms_derivatives.cpp
bool add_derivatives_batch_functions(PyObject* m);  // rnea_derivatives_batch, aba_derivatives_batch  batch.cpp
bool add_tessary(PyObject* tessary);             // Capsule .. ShapeType           shapes.cpp

// Stores `module` in sys.modules under `key`.
bool add_to_sys_modules(const char* key, PyObject* module);

}  // namespace velmora::py
