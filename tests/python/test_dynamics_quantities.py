"""The terms of M(q) a + C(q, v) v + g(q): mass matrix, bias and gravity efforts, Coriolis
matrix, inverse mass matrix, centroidal momentum, the tree factorisation of M, and the
model's gravity, against closed forms, the robots' reference values and the identities
that tie the terms together."""

import functools
import json
import math
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

ROBOTS = Path(__file__).resolve().parent.parent / "robots"
ROBOT_NAMES = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())


def chain(*links):
    """A serial chain; each link is (joint factory, offset from the previous joint, mass, com, rotational inertia)."""
    model = vm.Model()
    for i, (joint, offset, mass, com, rot) in enumerate(links, start=1):
        model.add_joint(i - 1, joint(), vm.SE3(np.eye(3), np.array(offset, float)), f"j{i}")
        body = vm.Inertia(mass, np.array(com, float), np.array(rot, float))
        model.add_frame(vm.Frame(f"b{i}", i, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    return model


# A planar arm swinging about x: link k has its centre of mass at lc_k along y from its
# joint, mass m_k and inertia J_k about x through the centre; joint 2 sits at l1 on y.
M1, M2, L1, LC1, LC2, J1, J2 = 1.3, 0.8, 0.9, 0.4, 0.35, 0.07, 0.03


def planar_arm():
    return chain((vm.JointModelRX, (0, 0, 0), M1, (0, LC1, 0), np.diag([J1, 0.01, 0.02])),
                 (vm.JointModelRX, (0, L1, 0), M2, (0, LC2, 0), np.diag([J2, 0.01, 0.02])))


def planar_arm_terms(q, v, g=9.81):
    """The textbook M, C (the Christoffel form) and gravity torques of the planar arm."""
    c2, s2 = math.cos(q[1]), math.sin(q[1])
    m22 = J2 + M2 * LC2 ** 2
    m12 = m22 + M2 * L1 * LC2 * c2
    m11 = J1 + M1 * LC1 ** 2 + J2 + M2 * (L1 ** 2 + LC2 ** 2 + 2 * L1 * LC2 * c2)
    h = -M2 * L1 * LC2 * s2
    C = np.array([[h * v[1], h * (v[0] + v[1])], [-h * v[0], 0.0]])
    # Joint angles turn y towards z; the weight pulls along -z.
    grav = np.array([(M1 * LC1 + M2 * L1) * g * math.cos(q[0]) + M2 * LC2 * g * math.cos(q[0] + q[1]),
                     M2 * LC2 * g * math.cos(q[0] + q[1])])
    return np.array([[m11, m12], [m12, m22]]), C, grav


STATES = [(np.array([0.0, 0.0]), np.array([0.0, 0.0])), (np.array([0.4, -1.1]), np.array([1.3, -0.6])),
          (np.array([-2.0, 2.5]), np.array([-0.2, 2.0]))]


@pytest.mark.parametrize("q, v", STATES)
def test_planar_arm_closed_forms(q, v):
    model = planar_arm()
    data = model.create_data()
    M, C, g = planar_arm_terms(q, v)
    np.testing.assert_allclose(vm.mass_matrix(model, data, q), M, rtol=0, atol=1e-14)
    np.testing.assert_allclose(vm.coriolis_matrix(model, data, q, v), C, rtol=0, atol=1e-14)
    np.testing.assert_allclose(vm.gravity_torques(model, data, q), g, rtol=0, atol=1e-13)
    np.testing.assert_allclose(vm.bias_forces(model, data, q, v), C @ v + g, rtol=0, atol=1e-13)
    np.testing.assert_allclose(vm.inverse_mass_matrix(model, data, q), np.linalg.inv(M), rtol=1e-13, atol=0)
    factor = vm.mass_matrix_factor(model, data, q)
    assert factor.logdet == pytest.approx(math.log(np.linalg.det(M)), rel=1e-13)
    b = np.array([0.7, -1.9])
    np.testing.assert_allclose(factor.solve(b), np.linalg.solve(M, b), rtol=1e-13)


def test_robot_far_from_the_origin():
    """The terms do not depend on where the robot stands: the arm placed kilometres away
    keeps its closed forms to the last digits (the world-coordinate passes must not
    lose them to inertias about a far origin)."""
    far = chain((vm.JointModelRX, (3e3, -2e3, 5e2), M1, (0, LC1, 0), np.diag([J1, 0.01, 0.02])),
                (vm.JointModelRX, (0, L1, 0), M2, (0, LC2, 0), np.diag([J2, 0.01, 0.02])))
    near = planar_arm()
    q, v = STATES[1]
    M, C, _ = planar_arm_terms(q, v)
    np.testing.assert_allclose(vm.mass_matrix(far, far.create_data(), q), M, rtol=0, atol=1e-14)
    np.testing.assert_allclose(vm.coriolis_matrix(far, far.create_data(), q, v), C, rtol=0, atol=1e-14)
    for fn in (vm.centroidal_momentum_matrix, vm.inverse_mass_matrix):
        np.testing.assert_allclose(fn(far, far.create_data(), q), fn(near, near.create_data(), q), rtol=0, atol=1e-13)
    np.testing.assert_allclose(vm.centroidal_momentum(far, far.create_data(), q, v),
                               vm.centroidal_momentum(near, near.create_data(), q, v), rtol=0, atol=1e-13)


def test_pendulum_momentum():
    """A rod of mass m about x with its centre at distance l: linear momentum m l w along
    the centre's velocity, angular momentum about the centre J w about x."""
    m, l, J = 1.7, 0.6, 0.25
    model = chain((vm.JointModelRX, (0, 0, 0), m, (0, l, 0), np.eye(3) * J))
    data = model.create_data()
    for q, w in [(0.0, 2.0), (0.7, -1.3)]:
        h = vm.centroidal_momentum(model, data, np.array([q]), np.array([w]))
        velocity = l * w * np.array([0, -math.sin(q), math.cos(q)])
        np.testing.assert_allclose(h, np.r_[J * w, 0, 0, m * velocity], atol=1e-14)
        A = vm.centroidal_momentum_matrix(model, data, np.array([q]))
        np.testing.assert_allclose(A[:, 0] * w, h, atol=1e-14)


# ------------------------------------------------------------------------------ gravity

def test_gravity_is_settable_and_every_algorithm_reads_it():
    model = planar_arm()
    data = model.create_data()
    q, v, a = np.array([0.4, -1.1]), np.array([1.3, -0.6]), np.array([0.2, 0.5])
    M, C, _ = planar_arm_terms(q, v)
    model.gravity = vm.Vector3D(0, 0, -1.62)
    assert model.gravity.tolist() == [0, 0, -1.62]
    moon = planar_arm_terms(q, v, g=1.62)[2]
    np.testing.assert_allclose(vm.gravity_torques(model, data, q), moon, atol=1e-14)
    tau = vm.rnea(model, data, q, v, a).to_numpy()
    np.testing.assert_allclose(tau, M @ a + C @ v + moon, atol=1e-13)
    np.testing.assert_allclose(vm.aba(model, data, q, v, tau).to_numpy(), a, atol=1e-12)
    model.gravity = np.array([0.0, 0.0, 0.0])
    assert not vm.gravity_torques(model, data, q).any()
    np.testing.assert_allclose(vm.bias_forces(model, data, q, v), C @ v, atol=1e-14)
    # Gravity along the joints' axis does no work on them.
    model.gravity = np.array([3.0, 0.0, 0.0])
    np.testing.assert_allclose(vm.gravity_torques(model, data, q), 0, atol=1e-15)


@pytest.mark.parametrize("value, error", [
    (np.zeros(4), ValueError), (np.zeros((1, 3)), ValueError), (np.zeros(3, dtype=np.float32), TypeError),
    ([0.0, 0.0, -9.81], TypeError), (None, TypeError), (np.array([0.0, np.nan, 0.0]), ValueError),
    (np.array([0.0, 0.0, np.inf]), ValueError)])
def test_wrong_gravity_raises_and_leaves_the_model(value, error):
    model = planar_arm()
    before = model.gravity.tolist()
    with pytest.raises(error):
        model.gravity = value
    assert model.gravity.tolist() == before
    with pytest.raises(AttributeError):
        del model.gravity


# ------------------------------------------------------------------------------ errors

FUNCTIONS = [(vm.mass_matrix, 1), (vm.gravity_torques, 1), (vm.bias_forces, 2), (vm.coriolis_matrix, 2),
             (vm.inverse_mass_matrix, 1), (vm.centroidal_momentum, 2), (vm.centroidal_momentum_matrix, 1),
             (vm.mass_matrix_factor, 1)]


@pytest.mark.parametrize("fn, arrays", FUNCTIONS)
def test_arguments_are_checked(fn, arrays):
    model = planar_arm()
    data = model.create_data()
    good = [np.zeros(2)] * arrays
    fn(model, data, *good)
    for k in range(arrays):
        for bad in (np.zeros(1), np.zeros(3)):
            with pytest.raises(ValueError, match="expected configuration size 2, but got"):
                fn(model, data, *good[:k], bad, *good[k + 1:])
        with pytest.raises(TypeError):
            fn(model, data, *good[:k], [0.0, 0.0], *good[k + 1:])
        with pytest.raises(TypeError):
            fn(model, data, *good[:k], np.zeros((1, 2)), *good[k + 1:])
    with pytest.raises(ValueError):
        fn(model, vm.Model().create_data(), *good)
    with pytest.raises(TypeError):
        fn(data, model, *good)


def test_singular_inertia_raises_like_forward_dynamics():
    """A massless body carrying nothing on the second joint: M is singular."""
    model = chain((vm.JointModelRX, (0, 0, 0), 1.0, (0, 0.5, 0), np.eye(3) * 0.1),
                  (vm.JointModelRZ, (0, 0.5, 0), 0.0, (0, 0, 0), np.zeros((3, 3))))
    data, q = model.create_data(), np.array([0.1, 0.2])
    with pytest.raises(ValueError, match="Singular articulated inertia at joint 'j2'"):
        vm.inverse_mass_matrix(model, data, q)
    with pytest.raises(ValueError, match="Singular mass matrix at joint 'j2'"):
        vm.mass_matrix_factor(model, data, q)
    M = vm.mass_matrix(model, data, q)
    assert M[1].tolist() == [0, 0] and M[:, 1].tolist() == [0, 0]


def test_mass_matrix_into_a_given_array():
    model = planar_arm()
    data = model.create_data()
    q = np.array([0.4, -1.1])
    want = planar_arm_terms(q, q)[0]
    out = np.full((2, 2), 7.0)
    assert vm.mass_matrix(model, data, q, out) is out
    np.testing.assert_allclose(out, want, rtol=1e-13)
    assert vm.mass_matrix(model, data, q, out=None).shape == (2, 2)
    # A q inside the output is read before the output is written.
    shared = np.zeros((2, 2))
    shared[0] = q
    assert np.array_equal(vm.mass_matrix(model, data, shared[0], out=shared), out)
    # Refused outputs and failed calls leave the array as it was.
    out[:] = 7.0
    readonly = np.zeros((2, 2))
    readonly.flags.writeable = False
    for bad, error in ((np.zeros((2, 3)), ValueError), (np.zeros((4, 2))[::2], ValueError), (readonly, ValueError),
                       (np.zeros((2, 2), np.float32), TypeError), ([[0.0] * 2] * 2, TypeError)):
        with pytest.raises(error, match="out"):
            vm.mass_matrix(model, data, q, out=bad)
    with pytest.raises(ValueError, match="'q'"):
        vm.mass_matrix(model, data, q[:1], out=out)
    assert np.all(out == 7.0)


def test_factor_solve_shapes():
    model = planar_arm()
    data = model.create_data()
    factor = vm.mass_matrix_factor(model, data, np.array([0.3, 0.9]))
    M = vm.mass_matrix(model, data, np.array([0.3, 0.9]))
    B = np.arange(6.0).reshape(2, 3)
    np.testing.assert_allclose(factor.solve(B), np.linalg.solve(M, B), rtol=1e-13)
    np.testing.assert_allclose(factor.solve(np.asfortranarray(B)[:, ::2]), np.linalg.solve(M, B[:, ::2]), rtol=1e-13)
    assert factor.solve(np.zeros((2, 0))).shape == (2, 0)
    for bad in (np.zeros(3), np.zeros((3, 2)), np.zeros((2, 2, 2)), np.array(1.0)):
        with pytest.raises(ValueError, match="expected shape"):
            factor.solve(bad)
    with pytest.raises(TypeError):
        factor.solve([1.0, 2.0])
    with pytest.raises(TypeError):
        vm.MassMatrixFactor()


def test_empty_model():
    model = vm.Model()
    data, e = model.create_data(), np.zeros(0)
    assert vm.mass_matrix(model, data, e).shape == (0, 0)
    assert vm.inverse_mass_matrix(model, data, e).shape == (0, 0)
    assert vm.coriolis_matrix(model, data, e, e).shape == (0, 0)
    assert vm.centroidal_momentum(model, data, e, e).tolist() == [0.0] * 6
    assert vm.centroidal_momentum_matrix(model, data, e).shape == (6, 0)
    assert vm.mass_matrix_factor(model, data, e).logdet == 0.0


# ------------------------------------------------------------------------------ robots

@pytest.fixture(scope="module")
def load(tmp_path_factory):
    """Loads a robot of tests/robots, with empty stand-ins for the meshes it lists as missing."""

    @functools.cache
    def loader(name):
        folder = ROBOTS / name
        missing = folder / "MISSING_MESHES.txt"
        packages = []
        if missing.exists():
            copy = tmp_path_factory.mktemp("robots") / name
            shutil.copytree(folder, copy)
            for line in missing.read_text().split("\n"):
                if line.strip():
                    (copy / line.strip()).parent.mkdir(parents=True, exist_ok=True)
                    (copy / line.strip()).touch()
                    packages.append(str(copy / line.strip().split("/")[0]))
            folder = copy
        saved = os.environ.get("ROS_PACKAGE_PATH")
        os.environ["ROS_PACKAGE_PATH"] = ":".join(packages)
        try:
            model, _, _ = vm.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))
        finally:
            os.environ.pop("ROS_PACKAGE_PATH") if saved is None else os.environ.update(ROS_PACKAGE_PATH=saved)
        return model

    return loader


def deviation(got, want):
    return np.max(np.abs(got - want), initial=0.0) / max(1.0, np.max(np.abs(want), initial=0.0))


@pytest.mark.parametrize("name", ROBOT_NAMES)
def test_robot_matches_reference(load, name):
    model, ref = load(name), np.load(ROBOTS / name / "reference.npz")
    info = json.loads((ROBOTS / name / "reference.json").read_text())
    data = model.create_data()
    worst = {}
    for k in range(len(ref["q"])):
        q, v = ref["q"][k], ref["v"][k]
        M = vm.mass_matrix(model, data, q)
        g = vm.gravity_torques(model, data, q)
        got = {"M": M, "g": g, "c": vm.coriolis_matrix(model, data, q, v) @ v,
               "bias": vm.bias_forces(model, data, q, v)}
        want = {"M": ref["M"][k], "g": ref["g"][k], "c": ref["c"][k], "bias": ref["g"][k] + ref["c"][k]}
        if info["forward_dynamics_defined"]:
            factor = vm.mass_matrix_factor(model, data, q)
            got["Minv"] = vm.inverse_mass_matrix(model, data, q)
            got["ddq"] = factor.solve(ref["tau_fd"][k] - got["bias"])
            got["logdet"] = factor.logdet
            want["Minv"], want["ddq"] = ref["Minv"][k], ref["ddq"][k]
            want["logdet"] = np.linalg.slogdet(ref["M"][k])[1]
        for key in got:
            worst[key] = max(worst.get(key, 0.0), deviation(got[key], want[key]))
        assert np.array_equal(M, M.T)
    tolerance = info["suggested_tolerance"]
    for key, value in worst.items():
        assert value < tolerance.get(key, 1e-12) if key in ("Minv", "ddq") else value < 1e-12, (key, value)


def advance(model, q, dq, t):
    """The configuration reached from q moving at joint velocity dq for time t."""
    q, j_q, j_v = q.copy(), 0, 0
    for joint in model.joint_models:
        if joint.nv:
            if int(joint.joint_type) == int(vm.JointType.Continuous):
                angle = math.atan2(q[j_q + 1], q[j_q]) + dq[j_v] * t
                q[j_q:j_q + 2] = math.cos(angle), math.sin(angle)
            else:
                q[j_q] += dq[j_v] * t
        j_q, j_v = j_q + joint.nq, j_v + joint.nv
    return q


def body_momenta_about(model, data, q, v, point, h=1e-6):
    """The sum of the bodies' momenta about `point` in world axes, from world placements
    alone: each body's angular velocity and centre velocity by central differences."""
    def placements(t):
        vm.forward_kinematics(model, data, advance(model, q, v, t))
        return [(o.rotation, o.translation) for o in data.oMi]

    before, after = placements(-h), placements(h)
    vm.forward_kinematics(model, data, q)
    total = np.zeros(6)
    for i, inertia in enumerate(model.inertias):
        if i == 0 or inertia.mass == 0 and not inertia.inertia.any():
            continue
        R, p = data.oMi[i].rotation, data.oMi[i].translation
        (R0, p0), (R1, p1) = before[i], after[i]
        W = (R1 - R0) / (2 * h) @ R.T
        w = np.array([W[2, 1], W[0, 2], W[1, 0]])
        centre = R @ inertia.com + p
        velocity = ((R1 @ inertia.com + p1) - (R0 @ inertia.com + p0)) / (2 * h)
        linear = inertia.mass * velocity
        total[:3] += R @ inertia.inertia @ R.T @ w + np.cross(centre - point, linear)
        total[3:] += linear
    return total


@pytest.mark.parametrize("name", ROBOT_NAMES)
def test_robot_identities(load, name):
    model, ref = load(name), np.load(ROBOTS / name / "reference.npz")
    info = json.loads((ROBOTS / name / "reference.json").read_text())
    data = model.create_data()
    for k in range(3):
        q, v = ref["q"][k], ref["v"][k]
        M = vm.mass_matrix(model, data, q)
        C = vm.coriolis_matrix(model, data, q, v)
        scale = np.abs(M).max()
        # dM/dt along v equals C + C^T (central difference, error O(h^2)).
        h = 1e-5
        dM = (vm.mass_matrix(model, data, advance(model, q, v, h)) -
              vm.mass_matrix(model, data, advance(model, q, v, -h))) / (2 * h)
        assert np.abs(dM - C - C.T).max() < 1e-7 * scale * (1 + np.abs(v).max())
        # Mdot - 2C is skew-symmetric: the passivity property.
        assert abs(v @ (dM - 2 * C) @ v) < 1e-7 * scale * (1 + v @ v)
        if info["forward_dynamics_defined"]:
            np.linalg.cholesky(M)
            Minv = vm.inverse_mass_matrix(model, data, q)
            assert np.abs(Minv - Minv.T).max() == 0
            assert np.abs(M @ Minv - np.eye(model.nv)).max() < max(1e-12, np.linalg.cond(M) * 1e-15)
        # Momentum: h = A v, its linear part the mass times the centre's velocity, and the
        # sum of the bodies' own momenta about the centre of mass.
        hG = vm.centroidal_momentum(model, data, q, v)
        A = vm.centroidal_momentum_matrix(model, data, q)
        assert deviation(A @ v, hG) < 1e-13
        np.testing.assert_allclose(hG[3:], ref["mass"] * ref["vcom"][k], rtol=0, atol=1e-12 * (1 + ref["mass"]))
        expected = body_momenta_about(model, data, q, v, ref["com"][k])
        assert deviation(hG, expected) < 1e-7


@pytest.mark.parametrize("name", ["kuka_iiwa", "pr2"])
def test_robot_gravity_scaling(load, name):
    model = load(name)
    data, rng = model.create_data(), np.random.default_rng(3)
    q, v = vm.random_configuration(model).to_numpy(), rng.uniform(-1, 1, model.nv)
    try:
        g_earth = vm.gravity_torques(model, data, q)
        C = vm.coriolis_matrix(model, data, q, v)
        model.gravity = np.zeros(3)
        assert not vm.gravity_torques(model, data, q).any()
        assert deviation(vm.bias_forces(model, data, q, v), C @ v) < 1e-13
        model.gravity = vm.Vector3D(0, 0, -1.62)
        assert deviation(vm.gravity_torques(model, data, q), g_earth * 1.62 / 9.81) < 1e-14
        # Coriolis and momentum do not depend on gravity.
        assert np.array_equal(vm.coriolis_matrix(model, data, q, v), C)
    finally:
        model.gravity = vm.STANDARD_GRAVITY


def test_body_folded_in_after_a_call_is_used():
    """A large tree's forward dynamics and mass matrix (four joints at a time where the
    processor can) see a body that add_frame folds into a finger after they ran: the same
    results as a model that had it from the start."""
    path = str(ROBOTS / "nao" / "robot.urdf")
    used, fresh = vm.build_model_from_urdf(path), vm.build_model_from_urdf(path)
    q = vm.random_configuration(used).to_numpy()
    v, tau = np.linspace(-1, 1, used.nv), np.linspace(2, -2, used.nv)
    before = vm.aba(used, used.create_data(), q, v, tau).to_numpy()
    vm.mass_matrix(used, used.create_data(), q)
    load = vm.Inertia(0.5, np.array([0.0, 0.02, 0.05]), np.eye(3) * 1e-4)
    for model in (used, fresh):
        model.add_frame(vm.Frame("load", 20, 0, vm.SE3.Identity(), vm.FrameType.Body, load), True)
    after = vm.aba(used, used.create_data(), q, v, tau).to_numpy()
    assert not np.allclose(after, before)
    assert np.array_equal(after, vm.aba(fresh, fresh.create_data(), q, v, tau).to_numpy())
    assert np.array_equal(vm.mass_matrix(used, used.create_data(), q), vm.mass_matrix(fresh, fresh.create_data(), q))
