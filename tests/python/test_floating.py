"""Multi-degree-of-freedom joints (free flyer, planar, spherical), the joint makers with any axis,
the configuration space (integrate, difference, interpolate, normalize) and floating-base robots."""
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
FLOATING = ["unitree_a1", "unitree_g1", "nao"]
CORPUS = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())
GRAVITY = np.array([0.0, 0.0, -9.81])


def rodrigues(axis, angle):
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    K = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + math.sin(angle) * K + (1 - math.cos(angle)) * K @ K


def quat_of(axis, angle):
    k = np.asarray(axis, float) / np.linalg.norm(axis)
    return np.concatenate([[math.cos(angle / 2)], math.sin(angle / 2) * k])


def rotation_of(quat):
    """The rotation of a (w, x, y, z) quaternion, through its axis and angle."""
    w, v = quat[0], np.asarray(quat[1:])
    n = np.linalg.norm(quat)
    return np.eye(3) if np.linalg.norm(v) == 0 else rodrigues(v, 2 * math.atan2(np.linalg.norm(v), w / n * n))


def one_joint(joint, mass=2.0):
    model = vm.Model()
    model.add_joint(0, joint, vm.SE3.Identity(), "j")
    inertia = vm.Inertia(mass, np.array([0.1, -0.2, 0.3]), np.diag([0.3, 0.4, 0.5]) + 0.05)
    model.add_frame(vm.Frame("b", 1, 0, vm.SE3.Identity(), vm.FrameType.Body, inertia), True)
    return model


def placement(model, q, joint=1):
    data = model.create_data()
    vm.forward_kinematics(model, data, q)
    return data.oMi[joint].homogeneous


# ----------------------------------------------------------------------------- joint kinds

@pytest.mark.parametrize("make, kind, value, nq, nv", [
    (vm.JointModelFreeFlyer, "FreeFlyer", 4, 7, 6), (vm.JointModelPlanar, "Planar", 5, 4, 3),
    (vm.JointModelSpherical, "Spherical", 6, 4, 3), (vm.JointModelPX, "Prismatic", 2, 1, 1),
    (lambda: vm.JointModelRevolute(np.array([1.0, 2.0, 2.0])), "Revolute", 3, 1, 1),
    (lambda: vm.JointModelContinuous(vm.Vector3D(0.0, 0.0, -2.0)), "Continuous", 0, 2, 1),
    (lambda: vm.JointModelPrismatic(axis=np.array([0.0, 3.0, 0.0])), "Prismatic", 2, 1, 1),
])
def test_kinds_sizes_and_types(make, kind, value, nq, nv):
    joint = make()
    assert (joint.nq, joint.nv) == (nq, nv)
    assert repr(joint.joint_type) == f"JointType.{kind}" and int(joint.joint_type) == value
    assert int(getattr(vm.JointType, kind)) == value
    model = one_joint(joint)
    assert (model.nq, model.nv) == (nq, nv)
    assert vm.neutral(model).to_numpy() == pytest.approx(
        {7: [0, 0, 0, 1, 0, 0, 0], 4: [1, 0, 0, 0] if kind == "Spherical" else [0, 0, 1, 0], 2: [1, 0], 1: [0]}[nq])
    np.testing.assert_allclose(placement(model, vm.neutral(model).to_numpy()), np.eye(4), atol=1e-15)


@pytest.mark.parametrize("make", [vm.JointModelRevolute, vm.JointModelPrismatic, vm.JointModelContinuous])
def test_axis_is_checked(make):
    # An axis whose squared length underflows has no computable direction either.
    for bad in ([0.0, 0.0, 0.0], [np.inf, 0.0, 0.0], [np.nan, 1.0, 0.0], [1e-170, 0.0, 0.0]):
        with pytest.raises(ValueError, match="axis"):
            make(np.array(bad))
        with pytest.raises(ValueError, match="axis"):
            make(vm.Vector3D(*bad))
    assert make(np.array([0.0, 1e-150, 0.0])).nv == 1
    with pytest.raises(ValueError):
        make(np.ones(4))
    with pytest.raises(TypeError):
        make([1.0, 0.0, 0.0])
    with pytest.raises(TypeError):
        make()


def test_one_axis_makers_move_as_their_closed_forms():
    axis = np.array([1.0, -2.0, 0.5])
    for make, q in [(vm.JointModelRevolute, [0.7]), (vm.JointModelContinuous, [3 * math.cos(0.7), 3 * math.sin(0.7)])]:
        M = placement(one_joint(make(axis)), np.array(q))
        np.testing.assert_allclose(M[:3, :3], rodrigues(axis, 0.7), atol=1e-15)
    M = placement(one_joint(vm.JointModelPrismatic(axis)), np.array([0.3]))
    np.testing.assert_allclose(M[:3, 3], 0.3 * axis, atol=1e-15)  # slides by axis * q, the axis as given
    for k, make in enumerate([vm.JointModelPX, vm.JointModelPY, vm.JointModelPZ]):
        M = placement(one_joint(make()), np.array([-0.4]))
        np.testing.assert_allclose(M, np.block([[np.eye(3), -0.4 * np.eye(3)[:, [k]]], [np.zeros((1, 3)), 1]]))


def test_multi_dof_placements_and_normalised_copies():
    R = rodrigues([1, 2, 3], 2.1)
    quat = quat_of([1, 2, 3], 2.1)
    free = one_joint(vm.JointModelFreeFlyer())
    q = np.concatenate([[0.5, -1.5, 2.0], 7.0 * quat])  # not of unit length
    kept = q.copy()
    M = placement(free, q)
    np.testing.assert_allclose(M[:3, :3], R, atol=1e-14)
    np.testing.assert_allclose(M[:3, 3], [0.5, -1.5, 2.0], atol=0)
    assert (q == kept).all()  # read, not normalised in place
    M = placement(one_joint(vm.JointModelSpherical()), 1e-150 * quat)
    np.testing.assert_allclose(M[:3, :3], R, atol=1e-14)
    M = placement(one_joint(vm.JointModelPlanar()), np.array([0.3, -0.2, 2 * math.cos(1.2), 2 * math.sin(1.2)]))
    np.testing.assert_allclose(M[:3, :3], rodrigues([0, 0, 1], 1.2), atol=1e-15)
    np.testing.assert_allclose(M[:3, 3], [0.3, -0.2, 0.0], atol=0)


BAD_QUATERNIONS = [np.zeros(4), np.array([np.nan, 1, 0, 0]), np.array([1, np.inf, 0, 0]), np.array([-np.inf, 0, 0, 0])]


@pytest.mark.parametrize("bad", BAD_QUATERNIONS)
def test_quaternions_without_direction_are_refused_everywhere(bad):
    model = vm.Model()
    model.add_joint(0, vm.JointModelRX(), vm.SE3.Identity(), "arm")
    model.add_joint(1, vm.JointModelSpherical(), vm.SE3.Identity(), "ball")
    model.add_frame(vm.Frame("b", 2, 0, vm.SE3.Identity(), vm.FrameType.Body, vm.Inertia.FromSphere(1.0, 0.1)), True)
    q, z = np.concatenate([[0.2], bad]), np.zeros(model.nv)
    good = np.array([0.2, 1.0, 0, 0, 0])
    data = model.create_data()
    calls = [lambda: vm.forward_kinematics(model, data, q), lambda: vm.rnea(model, data, q, z, z),
             lambda: vm.inverse_dynamics(model, data, q, z, z), lambda: vm.aba(model, data, q, z, z),
             lambda: vm.forward_dynamics(model, data, q, z, z), lambda: vm.integrate(model, q, z),
             lambda: vm.difference(model, good, q), lambda: vm.difference(model, q, good),
             lambda: vm.interpolate(model, q, good, 0.5), lambda: vm.normalize(model, q),
             lambda: vm.mass_matrix(model, data, q), lambda: vm.gravity_torques(model, data, q),
             lambda: vm.bias_forces(model, data, q, z), lambda: vm.coriolis_matrix(model, data, q, z),
             lambda: vm.inverse_mass_matrix(model, data, q), lambda: vm.centroidal_momentum(model, data, q, z),
             lambda: vm.centroidal_momentum_matrix(model, data, q), lambda: vm.mass_matrix_factor(model, data, q),
             lambda: vm.forward_kinematics(model, data, q, z), lambda: vm.joint_jacobian(model, data, q, 2),
             lambda: vm.frame_jacobian(model, data, q, 1), lambda: vm.frame_velocity(model, data, q, z, 1),
             lambda: vm.frame_acceleration(model, data, q, z, z, 1),
             lambda: vm.frame_jacobian_time_derivative(model, data, q, z, 1), lambda: vm.center_of_mass(model, data, q),
             lambda: vm.center_of_mass_jacobian(model, data, q), lambda: vm.kinetic_energy(model, data, q, z),
             lambda: vm.potential_energy(model, data, q)]
    for call in calls:
        with pytest.raises(ValueError, match=r"quaternion of joint 'ball' \(q\[1:5\]\)"):
            call()


def test_limits_bound_random_translations():
    free = vm.JointModelFreeFlyer()
    np.testing.assert_array_equal(free.lower_limit[:3], -1.0)
    np.testing.assert_array_equal(free.upper_limit[:3], 1.0)
    free.lower_limit = np.array([2.0, -0.5, 0.0, -1, -1, -1, -1])
    free.upper_limit = np.array([3.0, -0.5, 0.1, 1, 1, 1, 1])
    planar = vm.JointModelPlanar()
    assert planar.lower_limit.shape == (4,) and planar.upper_limit[:2].tolist() == [1.0, 1.0]
    model = vm.Model()
    model.add_joint(0, free, vm.SE3.Identity(), "free")
    model.add_joint(1, planar, vm.SE3.Identity(), "planar")
    model.add_joint(2, vm.JointModelSpherical(), vm.SE3.Identity(), "ball")
    samples = np.array([vm.random_configuration(model).to_numpy() for _ in range(2000)])
    assert (samples[:, 0] >= 2).all() and (samples[:, 0] < 3).all() and (samples[:, 1] == -0.5).all()
    assert (samples[:, 2] >= 0).all() and (samples[:, 2] < 0.1).all()
    assert (np.abs(samples[:, 7:9]) <= 1).all()
    for quat in (samples[:, 3:7], samples[:, 11:15]):
        np.testing.assert_allclose(np.linalg.norm(quat, axis=1), 1, atol=1e-15)
        # Uniform rotations: the mean rotation matrix vanishes (its entries have spread 1/3).
        mean = np.mean([rotation_of(x) for x in quat], axis=0)
        assert np.abs(mean).max() < 0.06
    np.testing.assert_allclose(np.hypot(samples[:, 9], samples[:, 10]), 1, atol=1e-15)
    with pytest.raises(ValueError, match="7"):
        free.lower_limit = np.zeros(3)
    with pytest.raises(TypeError):
        free.lower_limit = [0.0] * 7
    planar.lower_limit = np.array([1.0, 0, -1, -1])  # lower above upper: refused when sampling
    bad = vm.Model()
    bad.add_joint(0, planar, vm.SE3.Identity(), "planar")
    vm.random_configuration(bad)  # 1.0 == 1.0: the locked value
    planar.lower_limit = np.array([1.5, 0, -1, -1])
    bad = vm.Model()
    bad.add_joint(0, planar, vm.SE3.Identity(), "planar")
    with pytest.raises(ValueError, match="'planar'"):
        vm.random_configuration(bad)


# ------------------------------------------------------------------------ configuration space

def mixed_model():
    """Every kind once, in a chain, with bodies."""
    model = vm.Model()
    joints = [vm.JointModelFreeFlyer(), vm.JointModelRY(), vm.JointModelSpherical(), vm.JointModelPlanar(),
              vm.JointModelContinuous(np.array([1.0, 1.0, 0.0])), vm.JointModelPrismatic(np.array([0.0, 0.5, 1.0]))]
    for i, joint in enumerate(joints, start=1):
        offset = vm.SE3(rodrigues([1, 0.3 * i, -0.2], 0.4 * i), np.array([0.1 * i, 0.0, 0.2]))
        model.add_joint(i - 1, joint, offset, f"j{i}")
        body = vm.Inertia(1.0 + 0.2 * i, np.array([0.05, 0.1 * i, -0.03]), np.diag([0.04, 0.05, 0.03]) + 0.01 * i)
        model.add_frame(vm.Frame(f"b{i}", i, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    return model


def test_integrate_and_difference_are_inverses():
    model, rng = mixed_model(), np.random.default_rng(3)
    for _ in range(20):
        q0, q1 = vm.random_configuration(model).to_numpy(), vm.random_configuration(model).to_numpy()
        v = vm.difference(model, q0, q1)
        assert v.shape == (model.nv,) and v.dtype == np.float64
        back = vm.integrate(model, q0, v)
        np.testing.assert_allclose(placements(model, back), placements(model, q1), atol=1e-12)
        w = rng.uniform(-1, 1, model.nv) * [1, 1, 1, 3, 3, 3, 3, 1, 1, 1, 3, 1, 1, 3, 3]  # rotations below pi
        np.testing.assert_allclose(vm.difference(model, q0, vm.integrate(model, q0, w)), w, atol=1e-12)
        np.testing.assert_allclose(vm.difference(model, q0, q0), 0, atol=1e-15)
        # Interpolation walks the geodesic: equal steps from q0 to the middle and on to q1.
        mid = vm.interpolate(model, q0, q1, 0.5)
        np.testing.assert_allclose(vm.difference(model, q0, mid), vm.difference(model, mid, q1), atol=1e-12)
        np.testing.assert_allclose(vm.interpolate(model, q0, q1, 0.0), vm.normalize(model, q0), atol=1e-15)
        np.testing.assert_allclose(placements(model, vm.interpolate(model, q0, q1, 1.0)), placements(model, q1),
                                   atol=1e-12)


def placements(model, q):
    data = model.create_data()
    vm.forward_kinematics(model, data, q)
    return np.array([p.homogeneous for p in data.oMi])


def test_integrate_follows_constant_child_frame_velocities():
    # A body turning at rate w about its own z while moving forward at u along its own x runs
    # on a circle of radius u / w: after time 1 its origin is at R0 (sin w, 1 - cos w, 0) u / w.
    w, u = 1.3, 0.7
    R0 = rodrigues([0.2, 1, -0.4], 0.9)
    free = one_joint(vm.JointModelFreeFlyer())
    q = np.concatenate([[1.0, 2.0, 3.0], quat_of([0.2, 1, -0.4], 0.9)])
    M = placement(free, vm.integrate(free, q, np.array([0, 0, w, u, 0, 0])))
    np.testing.assert_allclose(M[:3, 3], [1, 2, 3] + R0 @ np.array([math.sin(w), 1 - math.cos(w), 0]) * u / w,
                               atol=1e-14)
    np.testing.assert_allclose(M[:3, :3], R0 @ rodrigues([0, 0, 1], w), atol=1e-14)
    planar = one_joint(vm.JointModelPlanar())
    qp = np.array([1.0, 2.0, math.cos(0.9), math.sin(0.9)])
    M = placement(planar, vm.integrate(planar, qp, np.array([w, u, 0.0])))
    np.testing.assert_allclose(M[:2, 3], [1, 2] + rodrigues([0, 0, 1], 0.9)[:2, :2] @ [math.sin(w), 1 - math.cos(w)]
                               * u / w, atol=1e-14)
    ball = one_joint(vm.JointModelSpherical())
    M = placement(ball, vm.integrate(ball, quat_of([0.2, 1, -0.4], 0.9), np.array([0.0, -2.0, 0.0])))
    np.testing.assert_allclose(M[:3, :3], R0 @ rodrigues([0, 1, 0], -2.0), atol=1e-14)


def test_velocity_of_integrate_is_v():
    # d/dt integrate(q, t v) at t = 0, read from each joint's placement relative to its parent
    # (central differences of X(t), then X^-1 dX/dt = [S v] in the child frame).
    model, rng = mixed_model(), np.random.default_rng(5)
    q, v = vm.random_configuration(model).to_numpy(), rng.uniform(-1, 1, model.nv)
    h = 1e-6
    ahead, behind, now = (placements(model, vm.integrate(model, q, s * v)) for s in (h, -h, 0))
    k = 0
    for i, joint in enumerate(model.joint_models[1:], start=1):
        parent = model.joint_parents[i]
        def relative(P):
            return np.linalg.inv(P[parent] @ model.joint_placements[i].homogeneous) @ P[i]
        twist = np.linalg.inv(relative(now)) @ (relative(ahead) - relative(behind)) / (2 * h)
        measured = np.array([twist[2, 1], twist[0, 2], twist[1, 0], *twist[:3, 3]])
        expected = np.zeros(6)
        qd = v[k:k + joint.nv]
        kind = repr(joint.joint_type).split(".")[1]
        if kind == "FreeFlyer":
            expected = qd
        elif kind == "Spherical":
            expected[:3] = qd
        elif kind == "Planar":
            expected[[2, 3, 4]] = qd
        elif kind == "Prismatic":
            expected[3:] = qd[0] * np.array([0.0, 0.5, 1.0])
        else:
            expected[:3] = qd[0] * (np.array([1.0, 1, 0]) / math.sqrt(2) if kind == "Continuous" else np.eye(3)[1])
        np.testing.assert_allclose(measured, expected, atol=1e-8)
        k += joint.nv


def test_normalize_and_sizes():
    model = mixed_model()
    q = vm.random_configuration(model).to_numpy()
    scaled = q.copy()
    scaled[3:7] *= 3
    scaled[14:16] *= 1e-200  # the planar pair
    scaled[16:18] = 0.0  # a continuous pair without direction reads as angle 0
    n = vm.normalize(model, scaled)
    assert np.linalg.norm(n[3:7]) == pytest.approx(1, abs=1e-15)
    np.testing.assert_allclose(n[3:7], q[3:7], atol=1e-15)
    np.testing.assert_allclose(n[14:16], q[14:16], atol=1e-15)
    assert n[16:18].tolist() == [1.0, 0.0]
    np.testing.assert_allclose(placements(model, n), placements(model, scaled), atol=1e-14)
    with pytest.raises(ValueError, match="Parameter 'v' expected configuration size 15, but got 14"):
        vm.integrate(model, q, np.zeros(14))
    with pytest.raises(ValueError, match="Parameter 'q1'"):
        vm.difference(model, q, q[:-1])
    with pytest.raises(TypeError):
        vm.integrate(model, q.tolist(), np.zeros(15))
    with pytest.raises(TypeError):
        vm.interpolate(model, q, q, "half")
    np.testing.assert_allclose(vm.integrate(model, q[::-1][::-1], np.zeros(30)[::2]), vm.normalize(model, q), atol=1e-15)


# ----------------------------------------------------------------- spherical against revolutes

def test_spherical_equals_three_revolutes():
    body = vm.Inertia(1.7, np.array([0.2, -0.1, 0.4]), np.array([[0.3, 0.02, 0.01], [0.02, 0.2, 0.03], [0.01, 0.03, 0.25]]))
    offset = vm.SE3(rodrigues([0, 1, 1], 0.3), np.array([0.0, 0.1, 0.5]))
    ball, chain = vm.Model(), vm.Model()
    ball.add_joint(0, vm.JointModelRZ(), vm.SE3.Identity(), "base")
    ball.add_joint(1, vm.JointModelSpherical(), offset, "ball")
    ball.add_frame(vm.Frame("b", 2, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    chain.add_joint(0, vm.JointModelRZ(), vm.SE3.Identity(), "base")
    for k, make in enumerate([vm.JointModelRX, vm.JointModelRY, vm.JointModelRZ]):
        chain.add_joint(k + 1, make(), offset if k == 0 else vm.SE3.Identity(), f"r{k}")
    chain.add_frame(vm.Frame("b", 4, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)

    def jacobian(angles):  # body angular velocity of Rx(a) Ry(b) Rz(c) per unit angle rate
        Ry, Rz = rodrigues([0, 1, 0], angles[1]), rodrigues([0, 0, 1], angles[2])
        return np.column_stack([Rz.T @ Ry.T @ [1, 0, 0], Rz.T @ [0, 1, 0], [0, 0, 1]])

    rng = np.random.default_rng(11)
    for _ in range(5):
        th, thd, thdd = rng.uniform(-1, 1, 4), rng.uniform(-2, 2, 4), rng.uniform(-2, 2, 4)
        ang = th[1:]
        R = rodrigues([1, 0, 0], ang[0]) @ rodrigues([0, 1, 0], ang[1]) @ rodrigues([0, 0, 1], ang[2])
        J, h = jacobian(ang), 1e-6
        Jdot = (jacobian(ang + h * thd[1:]) - jacobian(ang - h * thd[1:])) / (2 * h)
        quat = np.array(quat_of([1, 0, 0], ang[0]))
        for axis, a in (([0, 1, 0], ang[1]), ([0, 0, 1], ang[2])):  # compose q = qx qy qz
            w1, v1, (w2, *v2) = quat[0], quat[1:], quat_of(axis, a)
            quat = np.concatenate([[w1 * w2 - v1 @ v2], w1 * np.array(v2) + w2 * v1 + np.cross(v1, v2)])
        np.testing.assert_allclose(rotation_of(quat), R, atol=1e-14)
        qb = np.concatenate([[th[0]], quat])
        vb = np.concatenate([[thd[0]], J @ thd[1:]])
        ab = np.concatenate([[thdd[0]], J @ thdd[1:] + Jdot @ thd[1:]])
        np.testing.assert_allclose(placements(ball, qb)[2], placements(chain, th)[4], atol=1e-14)
        tau_chain = vm.rnea(chain, chain.create_data(), th, thd, thdd).to_numpy()
        tau_ball = vm.rnea(ball, ball.create_data(), qb, vb, ab).to_numpy()
        np.testing.assert_allclose(tau_chain, np.concatenate([[tau_ball[0]], J.T @ tau_ball[1:]]), atol=1e-8)
        ddq = vm.aba(ball, ball.create_data(), qb, vb, tau_ball).to_numpy()
        np.testing.assert_allclose(ddq, ab, atol=1e-10)


# ----------------------------------------------------------------------------- robots

@functools.cache
def robot_path(name):
    """The robot's folder, with empty stand-ins for the meshes it lists as missing."""
    import tempfile
    folder = ROBOTS / name
    missing = folder / "MISSING_MESHES.txt"
    packages = []
    if missing.exists():
        copy = Path(tempfile.mkdtemp()) / name
        shutil.copytree(folder, copy)
        for line in filter(None, map(str.strip, missing.read_text().split("\n"))):
            (copy / line).parent.mkdir(parents=True, exist_ok=True)
            (copy / line).touch()
            packages.append(str(copy / line.split("/")[0]))
        folder = copy
    return folder, ":".join(packages)


def load(name, root_joint=None):
    folder, packages = robot_path(name)
    saved = os.environ.get("ROS_PACKAGE_PATH")
    os.environ["ROS_PACKAGE_PATH"] = packages
    try:
        return vm.build_models_from_urdf(str(folder / "robot.urdf"), str(folder), root_joint=root_joint)[0]
    finally:
        os.environ.pop("ROS_PACKAGE_PATH") if saved is None else os.environ.update(ROS_PACKAGE_PATH=saved)


def com(model, q):
    P = placements(model, q)
    total = sum(i.mass * (P[j][:3, :3] @ i.com + P[j][:3, 3]) for j, i in enumerate(model.inertias))
    return total / sum(i.mass for i in model.inertias)


def mass_matrix(model, q):
    data, zero = model.create_data(), np.zeros(model.nv)
    g = vm.rnea(model, data, q, zero, zero).to_numpy()
    return np.column_stack([vm.rnea(model, data, q, zero, e).to_numpy() - g for e in np.eye(model.nv)]), g


def deviation(got, want):
    return np.max(np.abs(got - want)) / max(1.0, np.max(np.abs(want)))


def test_root_joint_from_urdf():
    fixed = load("unitree_a1")
    free = load("unitree_a1", vm.JointModelFreeFlyer())
    assert (free.nq, free.nv, free.njoints) == (fixed.nq + 7, fixed.nv + 6, fixed.njoints + 1)
    assert free.joint_names[1] == "root_joint" and free.joint_parents[1] == 0
    assert repr(free.joint_models[1].joint_type) == "JointType.FreeFlyer"
    assert free.joint_names[2:] == fixed.joint_names[1:]
    root = next(f for f in free.frames if f.name == "root_joint")
    assert repr(root.frame_type) == "FrameType.Joint" and root.parent_joint == 1
    base = next(f for f in free.frames if f.name == "base")
    assert base.parent_joint == 1
    assert sum(i.mass for i in free.inertias) == pytest.approx(13.741)
    planar = load("unitree_a1", vm.JointModelPlanar())
    assert (planar.nq, planar.nv) == (fixed.nq + 4, fixed.nv + 3)
    with pytest.raises(TypeError):
        load("unitree_a1", "free")


def test_root_joint_needs_one_root_link(tmp_path):
    two = tmp_path / "two.urdf"
    two.write_text('<robot name="r"><link name="a"/><link name="b"/></robot>')
    assert vm.build_models_from_urdf(str(two))[0].njoints == 1
    with pytest.raises(ValueError, match="exactly one root link, but the robot has 2"):
        vm.build_models_from_urdf(str(two), root_joint=vm.JointModelFreeFlyer())
    clash = tmp_path / "clash.urdf"
    clash.write_text('<robot name="r"><link name="a"/><link name="b"/><joint name="root_joint" type="continuous">'
                     '<parent link="a"/><child link="b"/></joint></robot>')
    with pytest.raises(ValueError, match="'root_joint' is already used"):
        vm.build_models_from_urdf(str(clash), root_joint=vm.JointModelFreeFlyer())
    floating = tmp_path / "floating.urdf"
    floating.write_text('<robot name="r"><link name="a"/><link name="b"/><joint name="f" type="floating">'
                        '<parent link="a"/><child link="b"/></joint></robot>')
    with pytest.raises(ValueError, match="unknown joint type"):
        vm.build_models_from_urdf(str(floating), root_joint=vm.JointModelFreeFlyer())


@pytest.mark.parametrize("name", FLOATING)
def test_floating_robot_matches_reference(name):
    model = load(name, vm.JointModelFreeFlyer())
    ref = np.load(ROBOTS / name / "reference_floating.npz")
    info = json.loads((ROBOTS / name / "reference_floating.json").read_text())
    tol = info["suggested_tolerance"]
    data, zero = model.create_data(), np.zeros(model.nv)
    links = [next(f for f in model.frames if f.name == n and repr(f.frame_type) == "FrameType.Body")
             for n in info["link_names"]]
    mass = sum(i.mass for i in model.inertias)
    assert mass == pytest.approx(info["mass"], rel=1e-14)
    for k in range(len(ref["q"])):
        q, v, a = ref["q"][k], ref["v"][k], ref["a"][k]
        M, g = mass_matrix(model, q)
        c = vm.rnea(model, data, q, v, zero).to_numpy() - g
        tau = vm.rnea(model, data, q, v, a).to_numpy()
        ddq = vm.aba(model, data, q, v, ref["tau_fd"][k]).to_numpy()
        vm.forward_kinematics(model, data, q)
        oMl = np.array([(data.oMi[f.parent_joint] * f.placement).homogeneous for f in links])
        centre = com(model, q)
        for got, key in [(tau, "tau"), (M, "M"), (g, "g"), (c, "c"), (ddq, "ddq"), (oMl, "oMl"), (centre, "com"),
                         (0.5 * v @ M @ v, "Ekin"), (-mass * GRAVITY @ centre, "Epot")]:
            assert deviation(got, ref[key][k]) < tol[key], (key, k)
        # The dynamics terms computed on their own, with the free flyer's velocity in its frame.
        for got, key in [(vm.mass_matrix(model, data, q), "M"), (vm.gravity_torques(model, data, q), "g"),
                         (vm.bias_forces(model, data, q, v) - ref["g"][k], "c"),
                         (vm.coriolis_matrix(model, data, q, v) @ v, "c"),
                         (vm.mass_matrix_factor(model, data, q).solve(ref["tau_fd"][k] - ref["c"][k] - ref["g"][k]),
                          "ddq")]:
            assert deviation(got, ref[key][k]) < tol[key], (key, k)
        for got, key in [(vm.center_of_mass(model, data, q), "com"), (vm.kinetic_energy(model, data, q, v), "Ekin"),
                         (vm.potential_energy(model, data, q), "Epot")]:
            assert deviation(got, ref[key][k]) < tol[key], (key, k)
        inverse = vm.inverse_mass_matrix(model, data, q)
        assert deviation(inverse @ ref["M"][k], np.eye(model.nv)) < max(1e-9, 1e-15 * info["mass_matrix_condition_max"])


def seeded_configuration(model, rng):
    """A configuration drawn from `rng` (random_configuration draws from the operating system's entropy): the
    neutral one moved by a random velocity, every rotation by up to about 2 rad."""
    return vm.integrate(model, vm.neutral(model).to_numpy(), rng.uniform(-2, 2, model.nv))


def rk4_step(model, q, v, h, acceleration):
    """One step of the fourth-order commutator-free Lie group method (classical RK4 in a vector space),
    moving q with integrate along the frozen velocities of the stages."""
    F1v, F1a = v, acceleration(q, v)
    q2, v2 = vm.integrate(model, q, h / 2 * F1v), v + h / 2 * F1a
    F2v, F2a = v2, acceleration(q2, v2)
    q3, v3 = vm.integrate(model, q, h / 2 * F2v), v + h / 2 * F2a
    F3v, F3a = v3, acceleration(q3, v3)
    q4, v4 = vm.integrate(model, q2, h * (F3v - F1v / 2)), v + h * F3a
    F4v, F4a = v4, acceleration(q4, v4)
    half = vm.integrate(model, q, h / 12 * (3 * F1v + 2 * F2v + 2 * F3v - F4v))
    return (vm.integrate(model, half, h / 12 * (-F1v + 2 * F2v + 2 * F3v + 3 * F4v)),
            v + h / 6 * (F1a + 2 * F2a + 2 * F3a + F4a))


@pytest.mark.parametrize("name", CORPUS)
def test_free_floating_invariants(name):
    model, rng = load(name, vm.JointModelFreeFlyer()), np.random.default_rng(2)
    data = model.create_data()
    for _ in range(2):
        q = seeded_configuration(model, rng)
        v, a = rng.uniform(-1, 1, model.nv), rng.uniform(-1, 1, model.nv)
        M, g = mass_matrix(model, q)
        tau = vm.rnea(model, data, q, v, a).to_numpy()
        assert deviation(vm.aba(model, data, q, v, tau).to_numpy(), a) < max(1e-9, 1e-15 * np.linalg.cond(M))
        # At rest without efforts only gravity acts on the whole: the centre of mass falls at g.
        ddq = vm.aba(model, data, q, np.zeros(model.nv), np.zeros(model.nv)).to_numpy()
        h = 1e-5
        rate = (com(model, vm.integrate(model, q, h * ddq)) - com(model, vm.integrate(model, q, -h * ddq))) / (2 * h)
        np.testing.assert_allclose(rate, GRAVITY, atol=1e-7)
        # Exactly, through the momentum: at rest the rate of m v_com is A(q) ddq.
        mass = sum(i.mass for i in model.inertias)
        np.testing.assert_allclose(vm.centroidal_momentum_matrix(model, data, q)[3:] @ ddq / mass, GRAVITY, atol=1e-11)


@pytest.mark.parametrize("name", CORPUS)
def test_momentum_and_energy_conserved_without_gravity(name):
    model, rng = load(name, vm.JointModelFreeFlyer()), np.random.default_rng(4)
    model.gravity = np.zeros(3)
    data, zero = model.create_data(), np.zeros(model.nv)

    def acceleration(q, v):
        return vm.aba(model, data, q, v, zero).to_numpy()

    def momentum_and_energy(q, v):
        # About the world origin in world axes, from the momentum about the centre of mass;
        # the first six rows of M v (the whole robot's momentum in the root frame, moment
        # first) must give the same.
        k = vm.centroidal_momentum(model, data, q, v)
        centre = com(model, q)
        world = np.concatenate([k[:3] + np.cross(centre, k[3:]), k[3:]])
        Mv = vm.rnea(model, data, q, zero, v).to_numpy()
        vm.forward_kinematics(model, data, q)
        R, p = data.oMi[1].rotation, data.oMi[1].translation
        force = R @ Mv[3:6]
        np.testing.assert_allclose(world, np.concatenate([R @ Mv[:3] + np.cross(p, force), force]), atol=1e-10)
        return world, 0.5 * v @ Mv

    q, v = seeded_configuration(model, rng), rng.uniform(-1, 1, model.nv)
    h0, e0 = momentum_and_energy(q, v)
    for _ in range(STEPS):
        q, v = rk4_step(model, q, v, 1.0 / STEPS, acceleration)
    h1, e1 = momentum_and_energy(q, v)
    assert np.abs(h1 - h0).max() < 1e-10 * max(1.0, np.abs(h0).max()) and abs(e1 - e0) < 1e-10 * max(1.0, e0)


@pytest.mark.parametrize("name", FLOATING)
def test_mass_matrix_rate_along_integrate(name):
    # dM/dt = C + C^T along q(t) = integrate(q, t v): the derivative is taken in the tangent
    # space, so the free flyer's velocity is its body velocity.
    model, rng = load(name, vm.JointModelFreeFlyer()), np.random.default_rng(6)
    data = model.create_data()
    q, v = seeded_configuration(model, rng), rng.uniform(-1, 1, model.nv)
    h = 1e-6
    rate = (vm.mass_matrix(model, data, vm.integrate(model, q, h * v)) -
            vm.mass_matrix(model, data, vm.integrate(model, q, -h * v))) / (2 * h)
    C = vm.coriolis_matrix(model, data, q, v)
    np.testing.assert_allclose(rate, C + C.T, atol=1e-7 * max(1.0, np.abs(C).max()))


# The method's error falls 16-fold per halving of the step (fourth order); at 1000 steps
# over 1 s it is near 1e-12 on these robots.
STEPS = 1000


# ------------------------------------------------- kinematics quantities of free-floating robots

def body_twist(before, after, now, h):
    """The body velocity (angular; linear) of a placement from central differences."""
    rate = np.linalg.inv(now) @ (after - before) / (2 * h)
    return np.array([rate[2, 1], rate[0, 2], rate[1, 0], *rate[:3, 3]])


@pytest.mark.parametrize("name", FLOATING)
def test_jacobians_along_integrate(name):
    # Column k of a frame's body Jacobian is the body velocity of the frame along
    # integrate(q, t e_k); the centre of mass Jacobian likewise, and J v is the frame velocity.
    model, rng = load(name, vm.JointModelFreeFlyer()), np.random.default_rng(8)
    data = model.create_data()
    q, v = seeded_configuration(model, rng), rng.uniform(-1, 1, model.nv)
    frame = max(range(model.nframes), key=lambda f: model.frames[f].parent_joint)  # a frame at the end of a chain
    h = 1e-6

    def frame_placement(qq):
        vm.forward_kinematics(model, data, qq)
        f = model.frames[frame]
        return (data.oMi[f.parent_joint] * f.placement).homogeneous

    now = frame_placement(q)
    J = vm.frame_jacobian(model, data, q, frame, vm.Representation.BODY)
    Jcom = vm.center_of_mass_jacobian(model, data, q)
    for k in range(model.nv):
        e = np.eye(model.nv)[k]
        ahead, behind = vm.integrate(model, q, h * e), vm.integrate(model, q, -h * e)
        np.testing.assert_allclose(J[:, k], body_twist(frame_placement(behind), frame_placement(ahead), now, h),
                                   atol=1e-7)
        np.testing.assert_allclose(Jcom[:, k], (com(model, ahead) - com(model, behind)) / (2 * h), atol=1e-7)
    np.testing.assert_allclose(vm.frame_velocity(model, data, q, v, frame, vm.Representation.BODY), J @ v, atol=1e-12)
    np.testing.assert_allclose(vm.center_of_mass(model, data, q), com(model, q), atol=1e-12)
