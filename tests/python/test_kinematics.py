"""forward_kinematics, neutral and random_configuration."""
import math

import numpy as np
import pytest

import velmora
from velmora import SE3, Model

TWO_PI = 6.283185307179586
fk = velmora.forward_kinematics


def rot(axis, angle):
    """Rodrigues' formula, independent of the module."""
    k = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(angle) * kx + (1 - np.cos(angle)) * kx @ kx


def planar_arm():
    """Two revolute joints about z, the second one unit along x of the first."""
    m = Model()
    m.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "shoulder")
    m.add_joint(1, velmora.JointModelRZ(), SE3(np.eye(3), np.array([1.0, 0.0, 0.0])), "elbow")
    return m


FIXED = Model().joint_models[0]  # the universe joint's model: a fixed joint


def placements(data):
    return np.array([p.homogeneous for p in data.oMi])


def test_planar_arm():
    m = planar_arm()
    d = m.create_data()
    for a, b in [(1.3, 0.4), (math.pi / 2, 0.0)]:  # the second call replaces the first
        assert fk(m, d, np.array([a, b])) is None
    assert len(d.oMi) == 3
    np.testing.assert_allclose(d.oMi[1].rotation, rot([0, 0, 1], math.pi / 2), atol=1e-15)
    np.testing.assert_allclose(d.oMi[2].rotation, d.oMi[1].rotation, atol=1e-15)
    np.testing.assert_allclose(d.oMi[2].translation, [0, 1, 0], atol=1e-15)
    empty = Model()
    fk(model=empty, data=empty.create_data(), q=np.zeros(0))


def test_random_tree_against_matrix_products():
    # Random parents, axes, fixed joints and placements, against plain 4x4 products
    # oMi[i] = oMi[parent] * placement * motion.
    rng = np.random.default_rng(7)
    makers = [velmora.JointModelRX, velmora.JointModelRY, velmora.JointModelRZ]
    m, kinds = Model(), [3]
    for i in range(1, 13):
        kinds.append(int(rng.integers(0, 4)))
        m.add_joint(int(rng.integers(0, i)), FIXED if kinds[i] == 3 else makers[kinds[i]](), SE3.Random(), f"j{i}")
    q = rng.uniform(-4, 4, m.nq)
    d = m.create_data()
    fk(m, d, q)
    expected, k = [np.eye(4)], 0
    for i in range(1, m.njoints):
        motion = np.eye(4)
        if kinds[i] != 3:
            motion[:3, :3] = rot(np.eye(3)[kinds[i]], q[k])
            k += 1
        expected.append(expected[m.joint_parents[i]] @ m.joint_placements[i].homogeneous @ motion)
    np.testing.assert_allclose(placements(d), expected, atol=1e-13)


@pytest.mark.parametrize("q, error, message", [
    (np.zeros(2, dtype=np.float32), TypeError, None), ([0.0, 0.0], TypeError, None),
    (np.zeros((3, 3)), TypeError, None),  # the number of dimensions is checked before the size
    (np.zeros(3), ValueError, "Invalid input size. Expected a configuration of size 2, got 3"),
    (np.zeros(6)[::2], ValueError, "Invalid input size. Expected a configuration of size 2, got 3"),
    (np.zeros(4)[::2], ValueError, "Failed to convert q to slice"),
    (np.zeros(2)[::-1], ValueError, "Failed to convert q to slice"),
])
def test_q_refused_without_change(q, error, message):
    m = planar_arm()
    d = m.create_data()
    fk(m, d, np.array([0.5, 0.5]))
    before = placements(d)
    with pytest.raises(error) as e:
        fk(m, d, q)
    assert message is None or str(e.value) == message
    np.testing.assert_array_equal(placements(d), before)


def test_q_layouts_read_in_place():
    m = planar_arm()
    values = np.array([0.3, -0.8])
    reference = m.create_data()
    fk(m, reference, values)
    unaligned = np.frombuffer(bytearray(1) + bytearray(values.tobytes()), dtype=np.float64, offset=1, count=2)
    d = m.create_data()
    fk(m, d, unaligned)
    np.testing.assert_array_equal(placements(d), placements(reference))
    # Length one is read whatever its stride.
    one = Model()
    one.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j")
    d = one.create_data()
    fk(one, d, np.array([9.0, 0.7])[::-1][1:])
    np.testing.assert_allclose(d.oMi[1].rotation, rot([0, 0, 1], 9.0))


def test_data_of_another_model_is_refused():
    m = planar_arm()
    old = m.create_data()
    m.add_joint(2, velmora.JointModelRZ(), SE3.Identity(), "wrist")
    with pytest.raises(ValueError) as e:
        fk(m, old, np.zeros(3))
    assert str(e.value) == ("The data was made for a model with 3 joints, but this model has 4 joints. "
                            "Create it with model.create_data().")
    assert len(old.oMi) == 3
    with pytest.raises(ValueError, match="with 4 joints, but this model has 1 joints"):
        fk(Model(), m.create_data(), np.zeros(0))
    still = Model()
    still.add_joint(0, FIXED, SE3.Identity(), "j")
    still.add_joint(1, velmora.JointModelRZ(), SE3.Identity(), "k")
    with pytest.raises(ValueError) as e:
        fk(planar_arm(), still.create_data(), np.zeros(2))
    assert "joint 1 is Revolute in this model but Fixed in the data" in str(e.value)


def test_configuration_functions():
    assert velmora.neutral.__doc__ == "Python wrapper for the `neutral` function."
    assert velmora.random_configuration.__doc__ is None
    for f in (velmora.neutral, velmora.random_configuration):
        assert f.__text_signature__ == "(model)"
        assert f(model=Model()).to_numpy().shape == (0,)
        with pytest.raises(TypeError):
            f(Model().create_data())
    m = Model()
    for i in range(3):
        m.add_joint(i, velmora.JointModelRX(), SE3.Identity(), f"j{i}")
    assert velmora.neutral(m).to_numpy().tolist() == [0.0, 0.0, 0.0]
    draws = np.array([velmora.random_configuration(m).to_numpy() for _ in range(300)])
    assert draws.min() >= -TWO_PI and draws.max() < TWO_PI and draws.max() - draws.min() > 10
    assert len({tuple(row) for row in draws}) == 300


# Continuous and prismatic joints come only from URDF files.

def load(tmp_path, joints, name="robot"):
    """A chain base -> l1 -> l2 ... with one joint per (type, inner elements)."""
    links = "".join(f'<link name="l{i}"/>' for i in range(len(joints) + 1))
    body = "".join(f'<joint name="j{i}" type="{kind}"><parent link="l{i - 1}"/><child link="l{i}"/>{inner}</joint>'
                   for i, (kind, inner) in enumerate(joints, start=1))
    path = tmp_path / f"{name}.urdf"
    path.write_text(f'<robot name="{name}">{links}{body}</robot>')
    return velmora.build_models_from_urdf(str(path))[0]


def limits(extra=""):
    return f'<limit effort="1" velocity="1"{extra}/>'


def test_continuous_matches_revolute(tmp_path):
    m = load(tmp_path, [("continuous", '<axis xyz="0 0 1"/>'),
                        ("revolute", f'<origin xyz="1 0 0"/><axis xyz="0 0 1"/>{limits()}')])
    reference = planar_arm()
    for theta, scale in [(math.pi / 2, 1.0), (2.1, 2.0), (-0.7, 0.25), (0.0, 0.0)]:
        d, r = m.create_data(), reference.create_data()
        fk(m, d, np.array([scale * math.cos(theta), scale * math.sin(theta), 0.3]))
        fk(reference, r, np.array([theta, 0.3]))
        np.testing.assert_allclose(placements(d), placements(r), atol=1e-15)


def test_prismatic_and_continuous_slices(tmp_path):
    m = load(tmp_path, [("prismatic", f'<axis xyz="0 0 2"/>{limits()}'),
                        ("continuous", '<axis xyz="0 0 1"/>'),
                        ("revolute", '<axis xyz="0 0 1"/>' + limits(' lower="-1" upper="1"')),
                        ("prismatic", f'<axis xyz="1 0 0"/>{limits()}')])
    assert (m.nq, m.nv) == (5, 4)
    assert velmora.neutral(m).to_numpy().tolist() == [0.0, 1.0, 0.0, 0.0, 0.0]
    for _ in range(100):
        q = velmora.random_configuration(m).to_numpy()
        assert q[1] ** 2 + q[2] ** 2 == pytest.approx(1.0, abs=1e-15) and -1 <= q[3] < 1
    d = m.create_data()
    fk(m, d, np.array([1.5, 0.0, 1.0, 0.0, 2.5]))
    np.testing.assert_allclose(d.oMi[1].translation, [0, 0, 3])
    np.testing.assert_allclose(d.oMi[4].translation, [0, 2.5, 3], atol=1e-15)


def test_random_with_locked_or_inverted_limits(tmp_path):
    locked = load(tmp_path, [("revolute", limits(' lower="0.5" upper="0.5"'))], "locked")
    assert velmora.random_configuration(locked).to_numpy().tolist() == [0.5]
    inverted = load(tmp_path, [("revolute", limits()), ("prismatic", limits(' lower="2" upper="1"'))], "inverted")
    with pytest.raises(ValueError) as e:
        velmora.random_configuration(inverted)
    assert str(e.value) == ("Cannot draw a random configuration for joint 'j2': the lower limit is above the "
                            "upper limit (coordinate 0, lower 2, upper 1).")
