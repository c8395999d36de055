"""Model, Frame, FrameType and Data as Python sees them."""
import inspect

import numpy as np
import pytest

import velmora
from velmora import SE3, Data, Frame, FrameType, Inertia, Model

IDENTITY_REPR = ("SE3(Isometry { rotation: [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], "
                 "translation: [0.0, 0.0, 0.0] })")
ZERO_INERTIA_REPR = ("Inertia { mass: 0.0, com: Vector3D([[0.0, 0.0, 0.0]]), "
                     "inertia: Symmetric3 { data: [0.0, 0.0, 0.0, 0.0, 0.0, 0.0] } }")


def translation(x, y, z):
    return SE3(np.eye(3), np.array([x, y, z], dtype=float))


def arm(n=2):
    m = Model()
    for i in range(n):
        m.add_joint(i, velmora.JointModelRZ(), translation(1, 0, 0) if i else SE3.Identity(), f"j{i + 1}")
    return m


def pretty_se3(p, indent):
    """The multi-line rendering of a placement, built here from its arrays."""
    pad = " " * indent
    lines = ["SE3(", "    Isometry {", "        rotation: ["]
    for column in p.rotation.T:
        lines += ["            ["] + [f"                {float(x)!r}," for x in column] + ["            ],"]
    lines += ["        ],", "        translation: ["]
    lines += [f"            {float(x)!r}," for x in p.translation] + ["        ],", "    },", ")"]
    return ("\n" + pad).join(lines)


# ------------------------------------------------------------------------------- Model

def test_new_model():
    m = Model()
    assert (m.njoints, m.nframes, m.nq, m.nv, m.name) == (1, 1, 0, 0, "")
    assert m.joint_names == ["__WORLD__"] and m.joint_parents == [0]
    assert m.gravity.dtype == np.float64 and m.gravity.tolist() == [0.0, 0.0, -9.81]
    assert repr(m.joint_placements[0]) == IDENTITY_REPR
    assert [int(j.joint_type) for j in m.joint_models] == [int(velmora.JointType.Fixed)]
    assert repr(m.inertias[0]) == ZERO_INERTIA_REPR
    world = m.frames[0]
    assert (world.name, world.parent_joint, world.parent_frame) == ("__WORLD_FRAME__", 0, 0)
    assert int(world.frame_type) == int(FrameType.Fixed)
    assert m.get_joint_id("__WORLD__") == velmora.WORLD_ID == 0
    assert m.get_joint_id("missing") is None
    with pytest.raises(TypeError):
        Model(1)
    with pytest.raises(TypeError):
        Model(name="x")


def test_class_surface():
    assert Model.__doc__ == ("A [`Model`] is a data structure that contains the information about the robot "
                             "model,\nincluding the joints models, placements, the link inertias, and the frames.")
    assert Model.add_joint.__doc__.startswith("Adds a joint to the model.\n\n# Arguments\n\n* `parent_id` - ")
    assert str(inspect.signature(Model.add_joint)) == "(self, /, parent_id, joint_model, placement, name)"
    assert str(inspect.signature(Model.add_frame)) == "(self, /, frame, append_inertia)"
    assert str(inspect.signature(Model.get_joint_id)) == "(self, /, name)"
    assert str(inspect.signature(Model.create_data)) == "(self, /)"
    for prop in ("nq", "nv", "njoints", "nframes", "gravity", "joint_names", "joint_parents",
                 "joint_placements", "joint_models", "inertias", "frames"):
        with pytest.raises(AttributeError):
            setattr(Model(), prop, 1)


def test_name_property():
    m = Model()
    m.name = "robot ü"
    assert m.name == "robot ü"
    for bad in (1, None, b"bytes"):
        with pytest.raises(TypeError):
            m.name = bad
    with pytest.raises(AttributeError):
        del m.name
    assert m.name == "robot ü"


def test_add_joint_ids_and_sizes():
    m = Model()
    assert m.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j1") == 1
    assert (m.nq, m.nv, m.njoints) == (1, 1, 2)
    assert m.add_joint(parent_id=1, joint_model=velmora.JointModelRX(), placement=translation(0, 0, 1),
                       name="j2") == 2
    assert m.add_joint(1, velmora.JointModelRY(), SE3.Identity(), "j3") == 3
    assert (m.nq, m.nv, m.njoints, m.nframes) == (3, 3, 4, 1)
    assert m.joint_names == ["__WORLD__", "j1", "j2", "j3"]
    assert m.joint_parents == [0, 0, 1, 1]
    assert m.joint_placements[2].translation.tolist() == [0.0, 0.0, 1.0]
    assert m.get_joint_id("j3") == 3
    assert len(m.inertias) == 4 and all(i.mass == 0.0 for i in m.inertias)


@pytest.mark.parametrize("parent, name, message", [
    (5, "j1", "ParentJointDoesNotExist(5)"),  # the parent is checked before the name
    (5, "new", "ParentJointDoesNotExist(5)"),
    (1, "j1", 'JointNameAlreadyUsed("j1", 1)'),
    (0, "__WORLD__", 'JointNameAlreadyUsed("__WORLD__", 0)'),
    (0, 'q"\\', 'JointNameAlreadyUsed("q\\"\\\\", 2)'),
])
def test_add_joint_errors_change_nothing(parent, name, message):
    m = arm(1)
    m.add_joint(0, velmora.JointModelRX(), SE3.Identity(), 'q"\\')
    before = (repr(m), m.nq, m.nv, len(m.inertias), len(m.joint_models))
    with pytest.raises(ValueError) as e:
        m.add_joint(parent, velmora.JointModelRX(), SE3.Identity(), name)
    assert str(e.value) == message
    assert (repr(m), m.nq, m.nv, len(m.inertias), len(m.joint_models)) == before


@pytest.mark.parametrize("index, bad, error", [
    (0, -1, OverflowError), (0, 0.0, TypeError), (1, "joint", TypeError), (2, np.eye(4), TypeError),
    (3, 5, TypeError),
])
def test_add_joint_argument_types(index, bad, error):
    args = [0, velmora.JointModelRZ(), SE3.Identity(), "x"]
    args[index] = bad
    m = Model()
    with pytest.raises(error):
        m.add_joint(*args)
    assert m.njoints == 1


def test_getters_return_copies():
    m = arm(2)
    m.add_frame(Frame("body", 1, 0, SE3.Identity(), FrameType.Body, Inertia.FromSphere(1.0, 0.1)), True)
    for prop in ("joint_names", "joint_parents", "joint_placements", "joint_models", "inertias", "frames"):
        first = getattr(m, prop)
        first.clear()
        assert len(getattr(m, prop)) > 0
    p = m.joint_placements[2]
    p.translation = np.array([7.0, 7.0, 7.0])
    assert m.joint_placements[2].translation.tolist() == [1.0, 0.0, 0.0]
    f = m.frames[1]
    fp = f.placement
    fp.translation = np.array([7.0, 7.0, 7.0])
    assert f.placement.translation.tolist() == [0.0, 0.0, 0.0]
    assert m.frames[1].placement.translation.tolist() == [0.0, 0.0, 0.0]
    g = m.gravity
    g[2] = 0.0
    assert m.gravity[2] == -9.81
    assert m.inertias[1] is not m.inertias[1]


def test_add_frame_folds_inertia_and_skips_duplicates():
    m = arm(1)
    body = Inertia(2.0, np.zeros(3), np.diag([1.0, 2.0, 3.0]))
    turned = SE3(np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]), np.array([1.0, 0.0, 0.0]))
    f = Frame("link", 1, 0, turned, FrameType.Body, body)
    assert m.add_frame(f, True) == 1
    i = m.inertias[1]
    assert i.mass == 2.0
    np.testing.assert_allclose(i.com, [1.0, 0.0, 0.0])
    # The body's inertia turned by 90 degrees about z: x and y swap.
    np.testing.assert_allclose(i.inertia, np.diag([2.0, 1.0, 3.0]), atol=1e-15)

    # Same name and type: the first id, nothing appended, nothing folded.
    assert m.add_frame(f, True) == 1
    assert m.nframes == 2 and m.inertias[1].mass == 2.0
    # Same name, another type: a new frame.
    assert m.add_frame(Frame("link", 1, 0, turned, FrameType.Joint, body), False) == 2
    assert m.nframes == 3 and m.inertias[1].mass == 2.0
    # A frame without a body folds nothing; one on the world folds into joint 0.
    assert m.add_frame(Frame("tool", 1, 0, turned, FrameType.Operational, Inertia.zeros()), True) == 3
    assert m.add_frame(Frame("base", 0, 0, translation(0, 0, 1), FrameType.Fixed, body), True) == 4
    assert m.inertias[0].mass == 2.0 and m.inertias[0].com.tolist() == [0.0, 0.0, 1.0]
    assert m.inertias[1].mass == 2.0


def test_add_frame_mass_at_offset():
    m = arm(1)
    m.add_frame(Frame("b", 1, 0, translation(1, 0, 0), FrameType.Body, Inertia(2.0, np.zeros(3), np.eye(3))), True)
    assert m.inertias[1].mass == 2.0 and m.inertias[1].com.tolist() == [1.0, 0.0, 0.0]


def test_add_frame_errors():
    m = arm(1)
    orphan = Frame("far", 99, 0, SE3.Identity(), FrameType.Body, Inertia.zeros())
    with pytest.raises(ValueError, match=r"^ParentJointDoesNotExist\(99\)$"):
        m.add_frame(orphan, True)
    assert m.nframes == 1
    with pytest.raises(TypeError):
        m.add_frame("frame", True)
    with pytest.raises(TypeError):
        m.add_frame(Frame("a", 0, 0, SE3.Identity(), FrameType.Body, Inertia.zeros()), 1)
    assert m.nframes == 1


def test_repr_of_new_model():
    assert repr(Model()) == str(Model()) == "\n".join([
        "Model {",
        '    name: "",',
        "    joint_names: [",
        '        "__WORLD__",',
        "    ],",
        "    joint_parents: [",
        "        0,",
        "    ],",
        "    joint_placements: [",
        "        " + pretty_se3(SE3.Identity(), 8) + ",",
        "    ],",
        "}",
    ])


def test_repr_with_joints():
    m = Model()
    m.name = 'my "arm"'
    p = SE3(np.array([[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]), np.array([0.25, 2.5, -3.0]))
    m.add_joint(0, velmora.JointModelRZ(), p, "shoulder")
    m.add_joint(1, velmora.JointModelRZ(), SE3.Identity(), "elbow")
    placements = [pretty_se3(x, 8) for x in (SE3.Identity(), p, SE3.Identity())]
    assert repr(m) == "\n".join(
        ["Model {", '    name: "my \\"arm\\"",', "    joint_names: ["]
        + [f'        "{n}",' for n in ("__WORLD__", "shoulder", "elbow")]
        + ["    ],", "    joint_parents: ["] + [f"        {i}," for i in (0, 0, 1)]
        + ["    ],", "    joint_placements: ["] + [f"        {x}," for x in placements]
        + ["    ],", "}"])


# ---------------------------------------------------------------- Frame and FrameType

@pytest.mark.parametrize("name, value", [("Operational", 0), ("Joint", 1), ("Fixed", 2), ("Body", 3),
                                         ("Sensor", 4)])
def test_frame_type_values(name, value):
    member = getattr(FrameType, name)
    assert int(member) == value and repr(member) == f"FrameType.{name}"
    assert FrameType.__doc__ in (None, "")


def test_frame_construction_and_properties():
    placement = translation(1, 2, 3)
    inertia = Inertia.FromSphere(3.0, 0.5)
    f = Frame(name="f", parent_joint=99, parent_frame=7, placement=placement, frame_type=FrameType.Sensor,
              inertia=inertia)
    assert (f.name, f.parent_joint, f.parent_frame, int(f.frame_type)) == ("f", 99, 7, 4)
    placement.translation = np.zeros(3)
    assert f.placement.translation.tolist() == [1.0, 2.0, 3.0]
    assert f.placement is not f.placement and f.frame_type is not f.frame_type
    assert f.inertia.mass == 3.0
    assert str(inspect.signature(Frame)) == "(name, parent_joint, parent_frame, placement, frame_type, inertia)"
    assert Frame.__doc__ in (None, "")
    with pytest.raises(AttributeError):
        f.name = "g"


@pytest.mark.parametrize("index, bad, error", [
    (0, 1, TypeError), (1, -1, OverflowError), (2, "0", TypeError), (3, np.eye(3), TypeError),
    (4, 3, TypeError), (5, None, TypeError),
])
def test_frame_argument_types(index, bad, error):
    args = ["f", 0, 0, SE3.Identity(), FrameType.Body, Inertia.zeros()]
    args[index] = bad
    with pytest.raises(error):
        Frame(*args)


def test_frame_repr():
    assert repr(Model().frames[0]) == (
        "Frame (name='__WORLD_FRAME__', parent joint=0, parent frame=0, frame_type=Fixed)\n"
        f" Placement={IDENTITY_REPR}\n\n Inertia={ZERO_INERTIA_REPR}")
    f = Frame("tip", 3, 2, translation(0.5, 0, 0), FrameType.Operational, Inertia.zeros())
    assert repr(f).splitlines()[:2] == [
        "Frame (name='tip', parent joint=3, parent frame=2, frame_type=Operational)",
        " Placement=" + repr(translation(0.5, 0, 0))]


# -------------------------------------------------------------------------------- Data

def test_data_of_new_model():
    d = Data(Model())
    assert len(d.oMi) == 1 and repr(d.oMi[0]) == IDENTITY_REPR
    assert Data.__doc__ == "A Python wrapper for the `Data` struct."
    assert str(inspect.signature(Data)) == "(model)"
    assert type(Data(model=Model())) is Data
    with pytest.raises(TypeError, match="model"):
        Data("model")
    assert Data.joint_placements.__doc__ == "Returns the placements of the joints in the world frame."
    assert Data.oMi.__doc__.startswith("Returns the placements of the joints in the world frame.\n\n")
    assert "alias" in Data.oMi.__doc__


def test_data_placements_are_copies():
    m = arm(3)
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([0.1, 0.2, 0.3]))
    a, b = d.oMi, d.joint_placements
    assert len(a) == m.njoints == 4
    assert [x.homogeneous.tolist() for x in a] == [x.homogeneous.tolist() for x in b]
    assert all(x is not y for x, y in zip(a, b))
    a[3].translation = np.array([9.0, 9.0, 9.0])
    assert d.oMi[3].translation.tolist() == b[3].translation.tolist()


def test_data_keeps_its_size_when_model_grows():
    m = arm(1)
    d1, d2 = m.create_data(), Data(m)
    m.add_joint(1, velmora.JointModelRZ(), SE3.Identity(), "later")
    assert len(d1.oMi) == len(d2.oMi) == 2
    assert len(m.create_data().oMi) == 3
