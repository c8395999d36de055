"""The module as a whole: registration order, submodules, constants, import behaviour."""
import importlib
import inspect
import sys

import numpy as np
import pytest

import velmora

EXPECTED_ALL = [
    "Configuration", "Model", "Data", "Frame", "FrameType", "JointModel", "GeometryModel",
    "GeometryData", "GeometryObject", "neutral", "random_configuration", "build_models_from_urdf",
    "build_model_from_urdf", "WORLD_ID", "STANDARD_GRAVITY", "Inertia", "JointType", "JointModelRX", "JointModelRY",
    "JointModelRZ", "JointModelPX", "JointModelPY", "JointModelPZ", "JointModelRevolute", "JointModelPrismatic",
    "JointModelContinuous", "JointModelSpherical", "JointModelFreeFlyer", "JointModelPlanar",
    "SE3", "SE3", "Vector3D", "Vector6D", "Symmetric3", "forward_kinematics",
    "forward_dynamics", "aba", "inverse_dynamics", "rnea", "Representation", "update_frame_placements",
    "frame_placement", "joint_jacobian", "frame_jacobian", "frame_velocity", "frame_acceleration",
    "frame_jacobian_time_derivative", "total_mass", "center_of_mass", "center_of_mass_jacobian",
    "kinetic_energy", "potential_energy", "mass_matrix", "bias_forces", "gravity_torques",
    "coriolis_matrix", "inverse_mass_matrix", "centroidal_momentum", "centroidal_momentum_matrix",
    "mass_matrix_factor", "MassMatrixFactor", "compute_collisions", "compute_distances", "compute_distance",
    "DistanceResult", "update_geometry_placements", "integrate", "difference", "interpolate", "normalize", "tessary",
    "forward_kinematics_batch", "rnea_batch", "aba_batch", "mass_matrix_batch", "frame_jacobian_batch",
    "rnea_derivatives", "aba_derivatives", "rnea_derivatives_batch", "aba_derivatives_batch",
]


def test_registration_order():
    assert velmora.__all__ == EXPECTED_ALL
    assert velmora.tessary.__all__ == [
        "Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "PyMesh", "Shape", "ShapeType"]


def test_se3_module_object_and_class():
    assert isinstance(velmora.SE3, type)
    se3_module = sys.modules["velmora.SE3"]
    assert type(se3_module).__name__ == "module" and se3_module.__name__ == "SE3"
    assert [k for k in vars(se3_module) if not k.startswith("__")] == []
    importlib.import_module("velmora.SE3")
    with pytest.raises(ImportError):
        exec("from velmora.SE3 import SE3", {})


def test_tessary_submodule():
    assert sys.modules["velmora.tessary"] is velmora.tessary
    assert velmora.tessary.__name__ == "tessary"
    assert hasattr(velmora.tessary, "Sphere") and not hasattr(velmora, "Sphere")


def test_constants():
    assert velmora.WORLD_ID == 0 and type(velmora.WORLD_ID) is int
    g = velmora.STANDARD_GRAVITY
    assert g.dtype == np.float64 and g.shape == (3,) and g.tolist() == [0.0, 0.0, -9.81]
    g[2] = 0.0
    try:
        assert velmora.Model().gravity.tolist() == [0.0, 0.0, -9.81]
    finally:
        g[2] = -9.81


def test_second_import_is_the_same_module():
    assert importlib.import_module("velmora") is velmora
    # Calling the entry point again hands back the module made the first time.
    import ctypes
    entry = ctypes.PyDLL(velmora.__file__).PyInit_velmora
    entry.restype = ctypes.py_object
    assert entry() is velmora


@pytest.mark.parametrize("name, signature", [
    ("neutral", "(model)"), ("random_configuration", "(model)"),
    ("build_models_from_urdf", "(filepath, package_dir=None, root_joint=None)"),
    ("build_model_from_urdf", "(filepath, root_joint=None)"),
    ("JointModelRX", "()"), ("JointModelRY", "()"), ("JointModelRZ", "()"),
    ("forward_kinematics", "(model, data, q, v=None, a=None)"),
    ("frame_jacobian", "(model, data, q, frame_id, rep=None, out=None)"),
    ("frame_acceleration", "(model, data, q, v, a, frame_id, rep=None)"),
    ("center_of_mass_jacobian", "(model, data, q)"), ("total_mass", "(model)"),
    ("forward_dynamics", "(model, data, q, v, tau)"), ("aba", "(model, data, q, v, tau)"),
    ("inverse_dynamics", "(model, data, q, v, a)"), ("rnea", "(model, data, q, v, a)"),
    ("rnea_derivatives", "(model, data, q, v, a)"), ("aba_derivatives", "(model, data, q, v, tau)"),
])
def test_function_text_signatures(name, signature):
    assert getattr(velmora, name).__text_signature__ == signature


def test_function_docstrings():
    assert velmora.neutral.__doc__ == "Python wrapper for the `neutral` function."
    assert velmora.build_models_from_urdf.__doc__ == \
        "A Python wrapper for the `build_models_from_urdf` function."
    assert velmora.JointModelRX.__doc__ == "Creates a new revolute joint model with `x` as axis of rotation."
    for name in ("random_configuration", "forward_kinematics", "aba", "rnea"):
        assert not getattr(velmora, name).__doc__


def test_aliases_are_distinct_objects():
    assert velmora.aba is not velmora.forward_dynamics
    assert velmora.rnea is not velmora.inverse_dynamics


def test_no_arg_functions_refuse_arguments():
    with pytest.raises(TypeError):
        velmora.JointModelRX(1)


def test_keyword_arguments_accepted():
    model = velmora.Model()
    data = model.create_data()
    assert velmora.forward_kinematics(model=model, data=data, q=np.zeros(0)) is None


def test_classes_are_not_subclassable():
    for cls in (velmora.SE3, velmora.Model, velmora.Vector3D):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_type_names_are_bare():
    assert velmora.SE3.__name__ == "SE3" and velmora.SE3.__module__ == "builtins"
    assert inspect.isclass(velmora.Configuration)
