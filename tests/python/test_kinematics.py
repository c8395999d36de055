"""forward_kinematics, neutral and random_configuration."""
import inspect
import math

import numpy as np
import pytest

import velmora
from velmora import SE3, Model

TWO_PI = 6.283185307179586


def translation(x, y, z):
    return SE3(np.eye(3), np.array([x, y, z], dtype=float))


def rot(axis, angle):
    """Rodrigues' formula, independent of the module."""
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(angle) * kx + (1 - np.cos(angle)) * kx @ kx


def homogeneous(r, t):
    h = np.eye(4)
    h[:3, :3], h[:3, 3] = r, t
    return h


def planar_arm():
    """Two revolute joints about z, the second one unit along x of the first."""
    m = Model()
    m.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "shoulder")
    m.add_joint(1, velmora.JointModelRZ(), translation(1, 0, 0), "elbow")
    return m


def fixed_joint():
    """A fixed joint model, as the universe joint of every model has one."""
    return Model().joint_models[0]


def placements(data):
    return [p.homogeneous for p in data.oMi]


# ------------------------------------------------------------------- closed forms

def test_universe_only():
    m = Model()
    d = m.create_data()
    assert velmora.forward_kinematics(m, d, np.zeros(0)) is None
    assert len(d.oMi) == 1
    np.testing.assert_array_equal(d.oMi[0].homogeneous, np.eye(4))


def test_planar_arm():
    m = planar_arm()
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([math.pi / 2, 0.0]))
    np.testing.assert_allclose(d.oMi[1].rotation, rot([0, 0, 1], math.pi / 2), atol=1e-15)
    np.testing.assert_allclose(d.oMi[1].translation, [0, 0, 0], atol=1e-15)
    np.testing.assert_allclose(d.oMi[2].translation, [0, 1, 0], atol=1e-15)
    np.testing.assert_allclose(d.oMi[2].rotation, d.oMi[1].rotation, atol=1e-15)

    a, b = 0.4, -1.3
    velmora.forward_kinematics(m, d, np.array([a, b]))
    np.testing.assert_allclose(d.oMi[2].rotation, rot([0, 0, 1], a + b), atol=1e-15)
    np.testing.assert_allclose(d.oMi[2].translation, [math.cos(a), math.sin(a), 0], atol=1e-15)


def test_fixed_joints_take_no_configuration():
    m = Model()
    m.add_joint(0, fixed_joint(), translation(0, 0, 1), "mount")
    m.add_joint(1, velmora.JointModelRX(), SE3.Identity(), "tilt")
    m.add_joint(2, fixed_joint(), translation(0, 1, 0), "tool")
    assert (m.nq, m.nv) == (1, 1)
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([math.pi / 2]))
    np.testing.assert_allclose(d.oMi[1].translation, [0, 0, 1])
    np.testing.assert_allclose(d.oMi[3].translation, [0, 0, 2], atol=1e-15)  # (0, 1, 0) turned up about x


def test_random_tree_against_matrix_products():
    # Twelve joints with random parents, axes and placements, checked against plain 4x4
    # products oMi[i] = oMi[parent] * placement * joint motion.
    rng = np.random.default_rng(7)
    makers = [velmora.JointModelRX, velmora.JointModelRY, velmora.JointModelRZ]
    axes = [np.eye(3)[k] for k in range(3)]
    m = Model()
    kinds, parents, fixed = [None], [0], []
    for i in range(1, 13):
        parent = int(rng.integers(0, i))
        kind = int(rng.integers(0, 4))
        joint = fixed_joint() if kind == 3 else makers[kind]()
        m.add_joint(parent, joint, SE3.Random(), f"j{i}")
        kinds.append(kind)
        parents.append(parent)
    q = rng.uniform(-4, 4, m.nq)
    d = m.create_data()
    velmora.forward_kinematics(m, d, q)

    expected, k = [np.eye(4)], 0
    for i in range(1, m.njoints):
        motion = np.eye(4)
        if kinds[i] != 3:
            motion = homogeneous(rot(axes[kinds[i]], q[k]), np.zeros(3))
            k += 1
        expected.append(expected[parents[i]] @ m.joint_placements[i].homogeneous @ motion)
    assert k == m.nq
    np.testing.assert_allclose(np.array(placements(d)), np.array(expected), atol=1e-13)


def test_branching_tree():
    m = Model()
    m.add_joint(0, velmora.JointModelRZ(), translation(0, 0, 1), "torso")
    m.add_joint(1, velmora.JointModelRX(), translation(0, 1, 0), "left")
    m.add_joint(1, velmora.JointModelRX(), translation(0, -1, 0), "right")
    m.add_joint(2, fixed_joint(), translation(0, 0, -1), "left_hand")
    m.add_joint(3, fixed_joint(), translation(0, 0, -1), "right_hand")
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([math.pi / 2, math.pi / 2, 0.0]))
    hands = [d.oMi[i].translation for i in (2, 3, 4, 5)]
    np.testing.assert_allclose(hands, [[-1, 0, 1], [1, 0, 1], [-2, 0, 1], [1, 0, 0]], atol=1e-15)


def test_second_call_replaces_the_first():
    m = planar_arm()
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([0.3, 0.3]))
    velmora.forward_kinematics(m, d, np.array([0.0, 0.0]))
    assert len(d.oMi) == 3
    np.testing.assert_allclose(d.oMi[2].homogeneous, translation(1, 0, 0).homogeneous)


# --------------------------------------------------------------------- arguments

def test_signature_and_keywords():
    assert velmora.forward_kinematics.__text_signature__ == "(model, data, q)"
    assert velmora.forward_kinematics.__doc__ is None
    m = planar_arm()
    d = m.create_data()
    assert velmora.forward_kinematics(q=np.array([0.0, 1.0]), data=d, model=m) is None
    np.testing.assert_allclose(d.oMi[2].rotation, rot([0, 0, 1], 1.0))


@pytest.mark.parametrize("q", [
    np.zeros(3, dtype=np.float32), [0.0, 0.0], np.zeros((1, 2)), np.zeros(2, dtype=np.int64),
    np.zeros((3, 3)),  # wrong dimensions and wrong size: the type error comes first
    (0.0, 0.0), None,
])
def test_q_type_errors(q):
    m = planar_arm()
    with pytest.raises(TypeError, match="q"):
        velmora.forward_kinematics(m, m.create_data(), q)


def test_model_and_data_type_errors():
    m = planar_arm()
    d = m.create_data()
    q = np.zeros(2)
    for args in [(d, d, q), (m, m, q), (d, m, q), (None, d, q), (m, None, q)]:
        with pytest.raises(TypeError):
            velmora.forward_kinematics(*args)
    with pytest.raises(TypeError):
        velmora.forward_kinematics(m, d)


@pytest.mark.parametrize("n", [0, 1, 3])
def test_wrong_size_changes_nothing(n):
    m = planar_arm()
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([0.5, 0.5]))
    before = placements(d)
    with pytest.raises(ValueError) as e:
        velmora.forward_kinematics(m, d, np.zeros(n))
    assert str(e.value) == f"Invalid input size. Expected a configuration of size 2, got {n}"
    np.testing.assert_array_equal(placements(d), before)


def test_strided_q():
    m = planar_arm()
    d = m.create_data()
    for view in (np.zeros(4)[::2], np.zeros(2)[::-1], np.zeros((2, 2))[:, 0]):
        with pytest.raises(ValueError) as e:
            velmora.forward_kinematics(m, d, view)
        assert str(e.value) == "Failed to convert q to slice"
    # The size is checked before the layout.
    with pytest.raises(ValueError, match="Invalid input size"):
        velmora.forward_kinematics(m, d, np.zeros(6)[::2])

    # Length one: any stride is accepted and read correctly.
    one = Model()
    one.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j")
    d1 = one.create_data()
    velmora.forward_kinematics(one, d1, np.array([0.7, 99.0])[::2])
    np.testing.assert_allclose(d1.oMi[1].rotation, rot([0, 0, 1], 0.7))
    velmora.forward_kinematics(one, d1, np.array([99.0, 0.2])[::-1][1:])
    np.testing.assert_allclose(d1.oMi[1].rotation, rot([0, 0, 1], 99.0))
    velmora.forward_kinematics(Model(), Model().create_data(), np.zeros(4)[::2][:0])


def test_unaligned_and_read_only_q():
    m = planar_arm()
    values = np.array([0.3, -0.8])
    raw = bytearray(1) + bytearray(values.tobytes())
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1, count=2)
    assert not unaligned.flags.aligned
    read_only = values.copy()
    read_only.setflags(write=False)
    reference = m.create_data()
    velmora.forward_kinematics(m, reference, values)
    for q in (unaligned, read_only):
        d = m.create_data()
        velmora.forward_kinematics(m, d, q)
        np.testing.assert_array_equal(placements(d), placements(reference))
    assert values.tolist() == [0.3, -0.8]


# ------------------------------------------------------------ data of another model

def test_data_of_another_model_is_refused():
    m = planar_arm()
    grown = m.create_data()
    m.add_joint(2, velmora.JointModelRZ(), translation(1, 0, 0), "wrist")
    cases = [
        (grown, "The data was made for a model with 3 joints, but this model has 4 joints."),
        (Model().create_data(), "The data was made for a model with 1 joints, but this model has 4 joints."),
    ]
    for data, message in cases:
        before = placements(data)
        with pytest.raises(ValueError) as e:
            velmora.forward_kinematics(m, data, np.zeros(3))
        assert str(e.value) == message + " Create it with model.create_data()."
        np.testing.assert_array_equal(placements(data), before)

    # A larger data for a smaller model.
    with pytest.raises(ValueError, match="made for a model with 4 joints, but this model has 1 joints"):
        velmora.forward_kinematics(Model(), m.create_data(), np.zeros(0))


def test_data_with_other_joint_kinds_is_refused():
    moving, still = Model(), Model()
    moving.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j")
    still.add_joint(0, fixed_joint(), SE3.Identity(), "j")
    with pytest.raises(ValueError) as e:
        velmora.forward_kinematics(moving, still.create_data(), np.zeros(1))
    assert str(e.value) == ("The data was made for another model: joint 1 is Revolute in this model but Fixed "
                            "in the data. Create it with model.create_data().")
    with pytest.raises(ValueError, match="joint 1 is Fixed in this model but Revolute in the data"):
        velmora.forward_kinematics(still, moving.create_data(), np.zeros(0))


# -------------------------------------------------------- neutral and random

def revolute_chain(n):
    m = Model()
    for i in range(n):
        m.add_joint(i, velmora.JointModelRX(), SE3.Identity(), f"j{i}")
    return m


def test_configuration_functions_surface():
    assert velmora.neutral.__text_signature__ == "(model)"
    assert velmora.neutral.__doc__ == "Python wrapper for the `neutral` function."
    assert velmora.random_configuration.__text_signature__ == "(model)"
    assert velmora.random_configuration.__doc__ is None
    for f in (velmora.neutral, velmora.random_configuration):
        assert str(inspect.signature(f)) == "(model)"
        assert type(f(model=Model())) is velmora.Configuration
        with pytest.raises(TypeError):
            f(Model().create_data())
        with pytest.raises(TypeError):
            f()


def test_universe_only_configurations_are_empty():
    for f in (velmora.neutral, velmora.random_configuration):
        q = f(Model()).to_numpy()
        assert q.dtype == np.float64 and q.shape == (0,)


def test_neutral_and_random_of_revolute_chain():
    m = revolute_chain(3)
    m.add_joint(3, fixed_joint(), SE3.Identity(), "tool")
    assert velmora.neutral(m).to_numpy().tolist() == [0.0, 0.0, 0.0]
    draws = np.array([velmora.random_configuration(m).to_numpy() for _ in range(300)])
    assert draws.shape == (300, 3)
    assert draws.min() >= -TWO_PI and draws.max() < TWO_PI
    assert draws.min() < -5 and draws.max() > 5  # the whole span is used
    assert len({tuple(row) for row in draws}) == 300
    # A neutral configuration places every joint at its fixed placement.
    d = m.create_data()
    velmora.forward_kinematics(m, d, velmora.neutral(m).to_numpy())
    np.testing.assert_array_equal(placements(d), [np.eye(4)] * 5)


# ------------------------------------------------- continuous and prismatic joints

needs_urdf = pytest.mark.skipif(not hasattr(velmora, "build_models_from_urdf"),
                                reason="the URDF loader is not part of this build")


def load(tmp_path, joints, name="robot"):
    """A chain base -> l1 -> l2 ... with one joint per entry (type, extra elements)."""
    links = ['<link name="base"/>']
    body = []
    for i, (kind, extra) in enumerate(joints, start=1):
        parent = "base" if i == 1 else f"l{i - 1}"
        links.append(f'<link name="l{i}"/>')
        body.append(f'<joint name="j{i}" type="{kind}"><parent link="{parent}"/><child link="l{i}"/>'
                    f"{extra}</joint>")
    path = tmp_path / f"{name}.urdf"
    path.write_text(f'<robot name="{name}">' + "".join(links + body) + "</robot>")
    return velmora.build_models_from_urdf(str(path))[0]


LIMITS = '<limit effort="1" velocity="1"{}/>'


@needs_urdf
def test_continuous_matches_revolute(tmp_path):
    m = load(tmp_path, [("continuous", '<axis xyz="0 0 1"/>'),
                        ("revolute", '<origin xyz="1 0 0"/><axis xyz="0 0 1"/>' + LIMITS.format(""))])
    assert (m.nq, m.nv) == (3, 2)
    reference = planar_arm()
    for theta, scale, elbow in [(math.pi / 2, 1.0, 0.3), (2.1, 2.0, -0.4), (-0.7, 0.25, 1.0)]:
        d, r = m.create_data(), reference.create_data()
        velmora.forward_kinematics(m, d, np.array([scale * math.cos(theta), scale * math.sin(theta), elbow]))
        velmora.forward_kinematics(reference, r, np.array([theta, elbow]))
        np.testing.assert_allclose(placements(d)[1:], placements(r)[1:], atol=1e-14)
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([0.0, 0.0, 0.0]))  # (0, 0) is the angle 0
    np.testing.assert_array_equal(placements(d)[1], np.eye(4))


@needs_urdf
def test_prismatic_chain(tmp_path):
    m = load(tmp_path, [("prismatic", '<axis xyz="0 0 2"/>' + LIMITS.format("")),
                        ("prismatic", '<origin xyz="0 0 0" rpy="0 0 1.5707963267948966"/><axis xyz="1 0 0"/>'
                         + LIMITS.format(""))])
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([1.5, 0.5]))
    np.testing.assert_array_equal(d.oMi[1].rotation, np.eye(3))
    np.testing.assert_allclose(d.oMi[1].translation, [0, 0, 3])
    np.testing.assert_allclose(d.oMi[2].translation, [0, 0.5, 3], atol=1e-15)


@needs_urdf
def test_mixed_layout(tmp_path):
    m = load(tmp_path, [("revolute", '<axis xyz="0 0 1"/>' + LIMITS.format(' lower="-1" upper="1"')),
                        ("continuous", '<axis xyz="0 0 1"/>'),
                        ("prismatic", '<axis xyz="1 0 0"/>' + LIMITS.format(""))])
    assert (m.nq, m.nv) == (4, 3)
    assert velmora.neutral(m).to_numpy().tolist() == [0.0, 1.0, 0.0, 0.0]
    for _ in range(200):
        q = velmora.random_configuration(m).to_numpy()
        assert -1 <= q[0] < 1
        assert q[1] ** 2 + q[2] ** 2 == pytest.approx(1.0, abs=1e-15)
        assert -TWO_PI <= q[3] < TWO_PI
    # The prismatic joint's slice starts after the continuous joint's two values.
    d = m.create_data()
    velmora.forward_kinematics(m, d, np.array([0.0, 0.0, 1.0, 2.5]))
    np.testing.assert_allclose(d.oMi[3].translation, [0, 2.5, 0], atol=1e-15)


@needs_urdf
def test_random_with_locked_or_inverted_limits(tmp_path):
    locked = load(tmp_path, [("revolute", LIMITS.format(' lower="0.5" upper="0.5"'))], "locked")
    assert velmora.random_configuration(locked).to_numpy().tolist() == [0.5]
    inverted = load(tmp_path, [("revolute", LIMITS.format("")),
                               ("prismatic", LIMITS.format(' lower="2" upper="1"'))], "inverted")
    with pytest.raises(ValueError) as e:
        velmora.random_configuration(inverted)
    assert str(e.value) == ("Cannot draw a random configuration for joint 'j2': the lower limit is above the "
                            "upper limit (coordinate 0, lower 2, upper 1).")
