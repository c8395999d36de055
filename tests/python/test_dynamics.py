"""Inverse dynamics (rnea, inverse_dynamics) and forward dynamics (aba, forward_dynamics)."""

import functools
import json
import math
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

G = 9.81
ROBOTS = Path(__file__).resolve().parent.parent / "robots"
ROBOT_NAMES = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())
INVERSE = [vm.rnea, vm.inverse_dynamics]
FORWARD = [vm.aba, vm.forward_dynamics]


def chain(*links):
    """A serial chain; each link is (joint factory, offset from the previous joint, mass, com, rotational inertia)."""
    model = vm.Model()
    for i, (joint, offset, mass, com, rot) in enumerate(links, start=1):
        model.add_joint(i - 1, joint(), vm.SE3(np.eye(3), np.array(offset, float)), f"j{i}")
        body = vm.Inertia(mass, np.array(com, float), np.array(rot, float))
        model.add_frame(vm.Frame(f"b{i}", i, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    return model


def call(fn, model, *arrays):
    return fn(model, model.create_data(), *(np.asarray(x, dtype=float) for x in arrays)).to_numpy()


def two_link():
    return chain((vm.JointModelRX, (0, 0, 0), 1.3, (0, 0.4, 0), np.diag([0.07, 0.01, 0.02])),
                 (vm.JointModelRX, (0, 0.9, 0), 0.8, (0, 0.35, 0.1), np.diag([0.03, 0.01, 0.02])))


# A rod swinging about x (com on y) lifts its mass towards +z for q > 0; about y (com on x)
# it lowers it. tau = (m l^2 + J) a + sign m g l cos q.
@pytest.mark.parametrize("inverse, forward", list(zip(INVERSE, FORWARD)))
@pytest.mark.parametrize("joint, com, sign", [(vm.JointModelRX, (0, 0.6, 0), 1), (vm.JointModelRY, (0.6, 0, 0), -1)])
@pytest.mark.parametrize("J", [0.0, 0.25])
def test_pendulum(inverse, forward, joint, com, sign, J):
    m, l = 1.7, 0.6
    model = chain((joint, (0, 0, 0), m, com, np.eye(3) * J))
    for q, v, a in [(0.0, 0.0, 0.0), (0.4, 1.3, -0.7), (-2.0, 0.0, 2.0)]:
        tau = call(inverse, model, [q], [v], [a])
        assert tau == pytest.approx([(m * l * l + J) * a + sign * m * G * l * math.cos(q)], abs=1e-12)
        assert call(forward, model, [q], [v], tau) == pytest.approx([a], abs=1e-12)


def test_arrays_of_any_layout_are_read_flat():
    model = two_link()
    q, v, a = np.array([0.3, -1.1]), np.array([0.5, 2.0]), np.array([-0.4, 0.9])
    expected = call(vm.rnea, model, q, v, a)
    block = np.stack([q, v], axis=1)  # columns q and v: strided views
    unaligned = np.frombuffer(b"\0" + a.tobytes(), dtype=float, offset=1)
    fortran = np.asfortranarray([a, [7.0, 8.0]])  # read row-major: a first, then the ignored tail
    variants = [(q.reshape(1, 2), v.reshape(2, 1), fortran), (block[:, 0], block[:, 1], unaligned),
                (q[::-1].copy()[::-1], np.append(v, 7.0), np.append(a, [8.0, 9.0]))]
    for qq, vv, aa in variants:
        assert vm.rnea(model, model.create_data(), qq, vv, aa).to_numpy() == pytest.approx(expected, abs=0)
    ddq = vm.aba(model, model.create_data(), q.reshape(2, 1), block[:, 1], expected.reshape(1, 2)).to_numpy()
    assert ddq == pytest.approx(a, rel=1e-12)


@pytest.mark.parametrize("fn", INVERSE)
@pytest.mark.parametrize("short", ["q", "v", "a"])
def test_short_arrays_are_refused(fn, short):
    model = two_link()
    args = {name: np.zeros(1 if name == short else 2) for name in "qva"}
    with pytest.raises(ValueError, match=f"^Error in inverse dynamics: Parameter '{short}' expected .* 2, but got 1$"):
        fn(model, model.create_data(), **args)


@pytest.mark.parametrize("fn", FORWARD)
@pytest.mark.parametrize("sizes, name, expected, got", [((3, 3, 3), "q", 2, 3), ((2, 1, 5), "v", 2, 1),
                                                        ((2, 2, 3), "tau", 2, 3), ((2, 2, 0), "tau", 2, 0)])
def test_forward_dynamics_size_checks(fn, sizes, name, expected, got):
    model = two_link()
    with pytest.raises(ValueError) as e:
        fn(model, model.create_data(), *(np.zeros(n) for n in sizes))
    assert str(e.value) == f"Forward dynamics failed: Parameter '{name}' expected configuration size {expected}, but got {got}"


@pytest.mark.parametrize("fn", INVERSE + FORWARD)
def test_arguments_and_data(fn):
    model, z = two_link(), np.zeros(2)
    data = model.create_data()
    vm.forward_kinematics(model, data, np.array([0.5, 0.5]))
    before = [p.translation.tolist() + p.rotation.ravel().tolist() for p in data.oMi]
    last = "tau" if fn in FORWARD else "a"
    result = fn(model=model, data=data, q=z, v=z, **{last: z})
    assert isinstance(result, vm.Configuration) and len(result.to_numpy()) == 2
    assert [p.translation.tolist() + p.rotation.ravel().tolist() for p in data.oMi] == before
    for bad in ([0.0, 0.0], np.zeros(2, dtype=np.int64), np.zeros(2, dtype=np.float32)):
        with pytest.raises(TypeError):
            fn(model, data, z, bad, z)
    with pytest.raises(TypeError):
        fn(data, model, z, z, z)
    with pytest.raises(ValueError):  # a Data made for another model
        fn(model, vm.Model().create_data(), z, z, z)


def test_model_without_moving_joints():
    model, empty = vm.Model(), np.zeros(0)
    for fn in INVERSE + FORWARD:
        assert call(fn, model, empty, empty, empty).shape == (0,)


def test_massless_joint_has_no_acceleration():
    model = chain((vm.JointModelRX, (0, 0, 0), 1.0, (0, 0.5, 0), np.eye(3) * 0.1),
                  (vm.JointModelRZ, (0, 0.5, 0), 0.0, (0, 0, 0), np.zeros((3, 3))))
    assert call(vm.rnea, model, [0.1, 0.2], [0, 0], [0, 0]) == pytest.approx([G * 0.5 * math.cos(0.1), 0])
    with pytest.raises(ValueError, match="^Forward dynamics failed: Singular articulated inertia at joint 'j2'"):
        call(vm.aba, model, [0.1, 0.2], [0, 0], [0, 0])


def test_results_are_new_values_whatever_was_released_before():
    # Released result objects are kept and written again: a result still held is never
    # touched by later calls, a failed call leaves nothing behind, and a kept object of
    # another length gives way to one of the right length.
    model, data = two_link(), two_link().create_data()
    small = chain((vm.JointModelRX, (0, 0, 0), 1.0, (0, 0.5, 0), np.eye(3) * 0.1))
    states = [np.array(x, float) for x in ([0.3, -1.1], [0.5, 2.0], [-0.4, 0.9])]
    held = vm.rnea(model, data, *states)
    first = held.to_numpy().copy()
    for k in range(20):
        q = np.array([0.1 * k, -0.2])
        got = vm.rnea(model, data, q, states[1], states[2]).to_numpy()  # released at once
        assert got == pytest.approx(call(vm.inverse_dynamics, model, q, states[1], states[2]), abs=0)
        assert vm.aba(model, data, q, states[1], got).to_numpy() == pytest.approx(states[2], abs=1e-12)
        assert vm.rnea(small, small.create_data(), q[:1], q[:1], q[:1]).to_numpy().shape == (1,)
        with pytest.raises(ValueError):
            vm.aba(model, data, q, states[1], np.zeros(3))
    assert np.array_equal(held.to_numpy(), first)
    results = [vm.rnea(model, data, np.array([0.1 * k, 0.0]), states[1], states[2]) for k in range(12)]
    assert len({id(r) for r in results}) == 12
    assert [r.to_numpy()[1] for r in results] == [call(vm.rnea, model, [0.1 * k, 0.0], states[1], states[2])[1]
                                                  for k in range(12)]


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


def mass_matrix(model, q):
    data, zero = model.create_data(), np.zeros(model.nv)
    g = vm.rnea(model, data, q, zero, zero).to_numpy()
    return np.column_stack([vm.rnea(model, data, q, zero, e).to_numpy() - g for e in np.eye(model.nv)]), g


def deviation(got, want):
    return np.max(np.abs(got - want), initial=0.0) / max(1.0, np.max(np.abs(want), initial=0.0))


@pytest.mark.parametrize("name", ROBOT_NAMES)
def test_robot_matches_reference(load, name):
    model, ref = load(name), np.load(ROBOTS / name / "reference.npz")
    info = json.loads((ROBOTS / name / "reference.json").read_text())
    assert (model.nq, model.nv) == (info["nq"], info["nv"])
    data, zero = model.create_data(), np.zeros(model.nv)
    for k in range(len(ref["q"])):
        q, v, a = ref["q"][k], ref["v"][k], ref["a"][k]
        M, g = mass_matrix(model, q)
        tau = vm.rnea(model, data, q, v, a).to_numpy()
        c = vm.rnea(model, data, q, v, zero).to_numpy() - g
        for got, key in [(tau, "tau"), (M, "M"), (g, "g"), (c, "c")]:
            assert deviation(got, ref[key][k]) < 1e-9, (key, k)
        if info["forward_dynamics_defined"]:
            ddq = vm.aba(model, data, q, v, ref["tau_fd"][k]).to_numpy()
            assert deviation(ddq, ref["ddq"][k]) < info["suggested_tolerance"]["ddq"], k


def advance(model, q, v, a, t):
    """Configuration and velocity after time t at constant acceleration a."""
    q, j_q, j_v = q.copy(), 0, 0
    for joint in model.joint_models:
        if joint.nv:
            step = v[j_v] * t + 0.5 * a[j_v] * t * t
            if int(joint.joint_type) == int(vm.JointType.Continuous):
                angle = math.atan2(q[j_q + 1], q[j_q]) + step
                q[j_q:j_q + 2] = math.cos(angle), math.sin(angle)
            else:
                q[j_q] += step
        j_q, j_v = j_q + joint.nq, j_v + joint.nv
    return q, v + a * t


@pytest.mark.parametrize("name", ROBOT_NAMES)
def test_robot_invariants(load, name):
    model, rng = load(name), np.random.default_rng(1)
    data, zero = model.create_data(), np.zeros(model.nv)
    for _ in range(3):
        q = vm.random_configuration(model).to_numpy()
        v, a = rng.uniform(-1, 1, model.nv), rng.uniform(-1, 1, model.nv)
        M, g = mass_matrix(model, q)
        assert np.abs(M - M.T).max() <= 1e-12 * np.abs(M).max()
        np.linalg.cholesky(M)  # positive definite
        tau = vm.rnea(model, data, q, v, a).to_numpy()
        ddq = vm.aba(model, data, q, v, tau).to_numpy()
        assert deviation(ddq, a) < max(1e-9, 1e-15 * np.linalg.cond(M))

        def kinetic(t):
            qt, vt = advance(model, q, v, a, t)
            return 0.5 * vt @ (vm.rnea(model, data, qt, zero, vt).to_numpy() - vm.rnea(model, data, qt, zero, zero).to_numpy())

        h, power = 1e-5, v @ (tau - g)
        assert (kinetic(h) - kinetic(-h)) / (2 * h) == pytest.approx(power, rel=1e-6, abs=1e-6 * (1 + abs(v @ tau)))
