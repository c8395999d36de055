"""Model, Frame, FrameType and Data."""
import numpy as np
import pytest

import velmora
from velmora import SE3, Data, Frame, FrameType, Inertia, Model

TURN_Z = np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]])


def placed(x, y, z, rotation=np.eye(3)):
    return SE3(rotation, np.array([x, y, z], dtype=float))


def arm(n):
    m = Model()
    for i in range(n):
        m.add_joint(i, velmora.JointModelRZ(), placed(1, 0, 0), f"j{i + 1}")
    return m


def test_new_model():
    m = Model()
    assert (m.njoints, m.nframes, m.nq, m.nv, m.name) == (1, 1, 0, 0, "")
    assert (m.joint_names, m.joint_parents, m.gravity.tolist()) == (["__WORLD__"], [0], [0.0, 0.0, -9.81])
    world = m.frames[0]
    assert (world.name, world.parent_joint, world.parent_frame, repr(world.frame_type)) == \
        ("__WORLD_FRAME__", 0, 0, "FrameType.Fixed")
    assert (m.get_joint_id("__WORLD__"), m.get_joint_id("nobody")) == (0, None)
    with pytest.raises(TypeError):
        Model(1)
    m.name = "arm ü"
    for bad in (1, None):
        with pytest.raises(TypeError):
            m.name = bad
    with pytest.raises(AttributeError):
        del m.name
    assert m.name == "arm ü"


def test_add_joint():
    m = arm(1)
    assert m.add_joint(parent_id=1, joint_model=velmora.JointModelRX(), placement=placed(0, 0, 1), name="j2") == 2
    assert (m.nq, m.nv, m.joint_parents, m.get_joint_id("j2")) == (2, 2, [0, 0, 1], 2)
    assert m.joint_placements[2].translation.tolist() == [0.0, 0.0, 1.0]


@pytest.mark.parametrize("args, error, message", [
    ((5, "j1"), ValueError, "ParentJointDoesNotExist(5)"),  # the parent is checked first
    ((1, "j1"), ValueError, 'JointNameAlreadyUsed("j1", 1)'),
    ((0, "__WORLD__"), ValueError, 'JointNameAlreadyUsed("__WORLD__", 0)'),
    ((-1, "x"), OverflowError, None),
    ((0, 5), TypeError, None),
])
def test_add_joint_refused(args, error, message):
    m = arm(1)
    before = repr(m), m.nq, len(m.inertias), len(m.joint_models)
    with pytest.raises(error) as e:
        m.add_joint(args[0], velmora.JointModelRX(), SE3.Identity(), args[1])
    assert message is None or str(e.value) == message
    assert (repr(m), m.nq, len(m.inertias), len(m.joint_models)) == before


def test_getters_return_copies():
    m = arm(2)
    m.joint_names.clear()
    assert len(m.joint_names) == 3
    m.joint_placements[2].translation = np.zeros(3)
    m.frames[0].placement.translation = np.ones(3)
    m.gravity[2] = 0.0
    assert m.joint_placements[2].translation.tolist() == [1.0, 0.0, 0.0]
    assert m.frames[0].placement.translation.tolist() == [0.0, 0.0, 0.0]
    assert m.gravity[2] == -9.81
    assert m.joint_models[1] is not m.joint_models[1]


def test_add_frame():
    m = arm(1)
    body = Inertia(2.0, np.zeros(3), np.diag([1.0, 2.0, 3.0]))
    frame = Frame("link", 1, 0, placed(1, 0, 0, TURN_Z), FrameType.Body, body)
    assert m.add_frame(frame, True) == 1
    folded = m.inertias[1]
    assert folded.mass == 2.0 and folded.com.tolist() == [1.0, 0.0, 0.0]
    np.testing.assert_allclose(folded.inertia, np.diag([2.0, 1.0, 3.0]), atol=1e-15)  # turned about z
    assert m.add_frame(frame, True) == 1  # same name and type: nothing added
    assert m.add_frame(Frame("link", 1, 0, SE3.Identity(), FrameType.Joint, body), False) == 2
    assert (m.nframes, m.inertias[1].mass) == (3, 2.0)
    with pytest.raises(ValueError, match=r"^ParentJointDoesNotExist\(99\)$"):
        m.add_frame(Frame("far", 99, 0, SE3.Identity(), FrameType.Body, body), True)
    with pytest.raises(TypeError):
        m.add_frame(frame, 1)
    assert m.nframes == 3


def pretty_se3(p):
    lines = ["SE3(", "    Isometry {", "        rotation: ["]
    for column in p.rotation.T:
        lines += ["            ["] + [f"                {float(x)!r}," for x in column] + ["            ],"]
    lines += ["        ],", "        translation: ["] + [f"            {float(x)!r}," for x in p.translation]
    return "\n        ".join(lines + ["        ],", "    },", ")"])


@pytest.mark.parametrize("joints", [0, 2])
def test_model_repr(joints):
    m = arm(joints)
    m.name = 'my "arm"' if joints else ""
    quoted = '"my \\"arm\\""' if joints else '""'
    assert repr(m) == str(m) == "\n".join(
        ["Model {", f"    name: {quoted},", "    joint_names: ["] + [f'        "{n}",' for n in m.joint_names]
        + ["    ],", "    joint_parents: ["] + [f"        {i}," for i in m.joint_parents]
        + ["    ],", "    joint_placements: ["] + [f"        {pretty_se3(p)}," for p in m.joint_placements]
        + ["    ],", "}"])


def test_frame():
    placement = placed(1, 2, 3)
    f = Frame(name="tip", parent_joint=99, parent_frame=7, placement=placement, frame_type=FrameType.Sensor,
              inertia=Inertia.zeros())
    placement.translation = np.zeros(3)
    assert (f.name, f.parent_joint, f.parent_frame, int(f.frame_type)) == ("tip", 99, 7, 4)
    assert f.placement.translation.tolist() == [1.0, 2.0, 3.0] and f.placement is not f.placement
    assert repr(f) == ("Frame (name='tip', parent joint=99, parent frame=7, frame_type=Sensor)\n"
                       f" Placement={placed(1, 2, 3)!r}\n\n Inertia={Inertia.zeros()!r}")
    names = ["Operational", "Joint", "Fixed", "Body", "Sensor"]
    assert [int(getattr(FrameType, n)) for n in names] == [0, 1, 2, 3, 4]
    assert [repr(getattr(FrameType, n)) for n in names] == [f"FrameType.{n}" for n in names]


def test_data():
    m = arm(2)
    d = Data(model=m)
    assert [p.homogeneous.tolist() for p in d.oMi] == [np.eye(4).tolist()] * 3
    velmora.forward_kinematics(m, d, np.array([0.1, 0.2]))
    a, b = d.oMi, d.joint_placements
    assert [x.homogeneous.tolist() for x in a] == [x.homogeneous.tolist() for x in b]
    a[2].translation = np.zeros(3)
    assert d.oMi[2].translation.tolist() == b[2].translation.tolist() != [0.0, 0.0, 0.0]
    m.add_joint(2, velmora.JointModelRZ(), SE3.Identity(), "later")
    assert (len(d.oMi), len(m.create_data().oMi)) == (3, 4)
    with pytest.raises(TypeError, match="model"):
        Data("model")
