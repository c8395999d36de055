"""Joint models and joint types as Python sees them."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velmora
from velmora import JointModel, JointType

MAKERS = {
    "JointModelRX": (velmora.JointModelRX, "x", np.array([1.0, 0.0, 0.0])),
    "JointModelRY": (velmora.JointModelRY, "y", np.array([0.0, 1.0, 0.0])),
    "JointModelRZ": (velmora.JointModelRZ, "z", np.array([0.0, 0.0, 1.0])),
}


def rotation(axis, angle):
    """Rodrigues' formula, independent of the module."""
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(angle) * kx + (1 - np.cos(angle)) * kx @ kx


@pytest.mark.parametrize("name", MAKERS)
def test_revolute_makers(name):
    make, letter, axis = MAKERS[name]
    j = make()
    assert type(j) is JointModel
    assert (j.nq, j.nv) == (1, 1)
    assert repr(j.joint_type) == "JointType.Revolute" and int(j.joint_type) == 3
    assert make.__text_signature__ == "()"
    assert make.__doc__ == f"Creates a new revolute joint model with `{letter}` as axis of rotation."
    with pytest.raises(TypeError):
        make(1)

    # The joint turns about its own axis, by the angle given.
    m = velmora.Model()
    m.add_joint(0, j, velmora.SE3.Identity(), "j")
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([0.7]))
    np.testing.assert_allclose(d.oMi[1].rotation, rotation(axis, 0.7), atol=1e-15)
    np.testing.assert_array_equal(d.oMi[1].translation, np.zeros(3))


@pytest.mark.parametrize("name, value", [("Continuous", 0), ("Fixed", 1), ("Prismatic", 2), ("Revolute", 3)])
def test_joint_type_values(name, value):
    member = getattr(JointType, name)
    assert type(member) is JointType
    assert int(member) == value
    assert repr(member) == str(member) == f"JointType.{name}"
    assert getattr(JointType, name) is member  # made once with the class


def test_joint_type_property_is_a_new_object():
    j = velmora.JointModelRZ()
    assert j.joint_type is not JointType.Revolute
    assert j.joint_type is not j.joint_type
    assert JointType.__doc__ == "Enum representing the type of joint."


def test_joint_model_class_surface():
    with pytest.raises(TypeError):
        JointModel()
    with pytest.raises(TypeError):
        JointType()
    assert JointModel.__doc__ == "A Python wrapper for the `JointWrapper` type."
    j = velmora.JointModelRX()
    for prop in ("joint_type", "nq", "nv"):
        with pytest.raises(AttributeError):
            setattr(j, prop, 2)
        assert getattr(JointModel, prop).__doc__ == ""


def test_joint_models_of_a_model_are_clones():
    m = velmora.Model()
    j = velmora.JointModelRY()
    m.add_joint(0, j, velmora.SE3.Identity(), "a")
    m.add_joint(1, j, velmora.SE3.Identity(), "b")  # the same object twice: each add stores a clone
    first, second = m.joint_models, m.joint_models
    assert [int(x.joint_type) for x in first] == [1, 3, 3]
    assert first[1] is not second[1] and first[1] is not j
    assert [x.nq for x in first] == [0, 1, 1]


# Every route by which Python could hand a joint a slice of the wrong length. Each must
# end in an ordinary exception; none may reach the joints' fatal length checks.
WRONG_SLICE_ATTEMPTS = textwrap.dedent("""
    import numpy as np
    import velmora

    def model(*makers):
        m = velmora.Model()
        for i, make in enumerate(makers):
            m.add_joint(i, make(), velmora.SE3.Identity(), f"j{i}")
        return m

    one = model(velmora.JointModelRZ)
    two = model(velmora.JointModelRZ, velmora.JointModelRX)
    attempts = [
        lambda: velmora.forward_kinematics(one, one.create_data(), np.zeros(0)),
        lambda: velmora.forward_kinematics(one, one.create_data(), np.zeros(2)),
        lambda: velmora.forward_kinematics(two, two.create_data(), np.zeros(1)),
        lambda: velmora.forward_kinematics(two, two.create_data(), np.zeros(4)[::2]),
        lambda: velmora.forward_kinematics(two, velmora.Model().create_data(), np.zeros(2)),
        lambda: velmora.forward_kinematics(two, one.create_data(), np.zeros(2)),
        lambda: velmora.forward_kinematics(one, two.create_data(), np.zeros(1)),
        lambda: velmora.forward_kinematics(velmora.Model(), one.create_data(), np.zeros(0)),
        lambda: velmora.forward_kinematics(one, one.create_data(), np.zeros((1, 1))),
        lambda: velmora.forward_kinematics(one, one.create_data(), [0.0]),
    ]
    for attempt in attempts:
        try:
            attempt()
        except (ValueError, TypeError):
            pass
        else:
            raise SystemExit("an attempt was accepted")
    print("all refused")
""")


def test_wrong_slices_never_reach_the_joints():
    # In a child process, so that a fatal stop would show as a failed run, not a lost suite.
    run = subprocess.run([sys.executable, "-c", WRONG_SLICE_ATTEMPTS], capture_output=True, text=True,
                         env=os.environ.copy(), timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "all refused"
    assert "expects" not in run.stderr

