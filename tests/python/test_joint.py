"""Joint models and joint types."""
import os
import subprocess
import sys

import numpy as np
import pytest

import velmora
from velmora import JointModel, JointType


@pytest.mark.parametrize("letter, axis", [("X", 0), ("Y", 1), ("Z", 2)])
def test_revolute_makers(letter, axis):
    make = getattr(velmora, f"JointModelR{letter}")
    assert make.__text_signature__ == "()"
    assert make.__doc__ == f"Creates a new revolute joint model with `{letter.lower()}` as axis of rotation."
    with pytest.raises(TypeError):
        make(1)
    j = make()
    assert type(j) is JointModel and (j.nq, j.nv) == (1, 1)
    assert repr(j.joint_type) == "JointType.Revolute" and int(j.joint_type) == 3

    m = velmora.Model()
    m.add_joint(0, j, velmora.SE3.Identity(), "j")
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([np.pi / 2]))
    turned = d.oMi[1].rotation
    # The axis stays put, the next axis takes the place of the one after it.
    np.testing.assert_allclose(turned[:, axis], np.eye(3)[axis], atol=1e-15)
    np.testing.assert_allclose(turned[:, (axis + 1) % 3], np.eye(3)[(axis + 2) % 3], atol=1e-15)


@pytest.mark.parametrize("name, value", [("Continuous", 0), ("Fixed", 1), ("Prismatic", 2), ("Revolute", 3)])
def test_joint_type_values(name, value):
    member = getattr(JointType, name)
    assert int(member) == value and repr(member) == f"JointType.{name}"


def test_class_surface():
    for cls in (JointModel, JointType):
        with pytest.raises(TypeError):
            cls()
    j = velmora.JointModelRZ()
    assert j.joint_type is not JointType.Revolute and j.joint_type is not j.joint_type
    with pytest.raises(AttributeError):
        j.nq = 2


# Every route by which Python could hand a joint a slice of the wrong length, or a joint
# data a model of another kind. Each must end in an ordinary exception.
ATTEMPTS = """
import numpy as np, velmora
fk = velmora.forward_kinematics
def model(*joints):
    m = velmora.Model()
    for i, j in enumerate(joints):
        m.add_joint(i, j, velmora.SE3.Identity(), f"j{i}")
    return m
fixed = velmora.Model().joint_models[0]
one, two = model(velmora.JointModelRZ()), model(velmora.JointModelRZ(), velmora.JointModelRX())
still = model(fixed)
for attempt in [
    lambda: fk(one, one.create_data(), np.zeros(0)), lambda: fk(one, one.create_data(), np.zeros(2)),
    lambda: fk(two, two.create_data(), np.zeros(1)), lambda: fk(two, two.create_data(), np.zeros(4)[::2]),
    lambda: fk(two, one.create_data(), np.zeros(2)), lambda: fk(one, two.create_data(), np.zeros(1)),
    lambda: fk(one, still.create_data(), np.zeros(1)), lambda: fk(still, one.create_data(), np.zeros(0)),
    lambda: fk(one, one.create_data(), np.zeros((1, 1))), lambda: fk(one, one.create_data(), [0.0]),
]:
    try:
        attempt()
    except (ValueError, TypeError):
        continue
    raise SystemExit("accepted")
print("all refused")
"""


def test_wrong_slices_never_reach_the_joints():
    # In a child process, so that a fatal stop shows as a failed run, not a lost suite.
    run = subprocess.run([sys.executable, "-c", ATTEMPTS], capture_output=True, text=True, env=os.environ.copy(),
                         timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "all refused"), run.stderr
