"""Frame placements, velocities, accelerations, Jacobians, centre of mass and energies:
closed forms, finite differences on every robot, the independent engine's reference
values, and refused input."""

import functools
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

ROOT = Path(__file__).resolve().parents[2]
ROBOTS = ROOT / "tests" / "robots"
ROBOT_NAMES = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())
sys.path.insert(0, str(ROOT / "tools"))
from velmora_tools import sample_urdf  # noqa: E402

W, B, M = vm.Representation.WORLD, vm.Representation.BODY, vm.Representation.MIXED
REPS = [W, B, M]


@pytest.fixture(scope="module")
def load(tmp_path_factory):
    """Loads a robot of tests/robots (or "sample", the bundled arm), with empty stand-ins for missing meshes."""

    @functools.cache
    def loader(name):
        if name == "sample":
            return vm.build_models_from_urdf(sample_urdf())[0]
        folder = ROBOTS / name
        missing = folder / "MISSING_MESHES.txt"
        packages = []
        if missing.exists():
            copy = tmp_path_factory.mktemp("robots") / name
            shutil.copytree(folder, copy)
            for line in filter(None, map(str.strip, missing.read_text().split("\n"))):
                (copy / line).parent.mkdir(parents=True, exist_ok=True)
                (copy / line).touch()
                packages.append(str(copy / line.split("/")[0]))
            folder = copy
        saved = os.environ.get("ROS_PACKAGE_PATH")
        os.environ["ROS_PACKAGE_PATH"] = ":".join(packages)
        try:
            return vm.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))[0]
        finally:
            os.environ.pop("ROS_PACKAGE_PATH") if saved is None else os.environ.update(ROS_PACKAGE_PATH=saved)

    return loader


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


def log3(R):
    """The rotation vector of a rotation matrix near the identity."""
    angle = math.acos(max(-1.0, min(1.0, (np.trace(R) - 1) / 2)))
    axis = np.array([R[2, 1] - R[1, 2], R[0, 2] - R[2, 0], R[1, 0] - R[0, 1]]) / 2
    return axis if angle < 1e-12 else axis * angle / math.sin(angle)


def skew_cross(w, p):
    return np.cross(w, p)


def placement(model, data, q, frame_id):
    vm.forward_kinematics(model, data, q)
    oMf = vm.frame_placement(model, data, frame_id)
    return oMf.rotation, oMf.translation


def velocity_by_differences(model, q, v, frame_id, h):
    """The frame's velocity in each representation from placements at q -+ h v, through the rotation logarithm."""
    data = model.create_data()
    R0, p0 = placement(model, data, q, frame_id)
    Rp, pp = placement(model, data, advance(model, q, v, 0 * v, h)[0], frame_id)
    Rm, pm = placement(model, data, advance(model, q, v, 0 * v, -h)[0], frame_id)
    w_body = (log3(R0.T @ Rp) - log3(R0.T @ Rm)) / (2 * h)
    p_dot = (pp - pm) / (2 * h)
    w_world = R0 @ w_body
    return {M: np.concatenate([w_world, p_dot]),
            B: np.concatenate([w_body, R0.T @ p_dot]),
            W: np.concatenate([w_world, p_dot - np.cross(w_world, p0)])}


def link_frames(model):
    """Ids of the body frames, the frames the references' links are."""
    return [i for i, f in enumerate(model.frames) if int(f.frame_type) == int(vm.FrameType.Body)]


def close(got, want, tol):
    scale = max(1.0, float(np.max(np.abs(want), initial=0.0)))
    return float(np.max(np.abs(np.asarray(got) - np.asarray(want)), initial=0.0)) <= tol * scale


# --------------------------------------------------------------------------- closed forms

def planar_arm(l1=0.7, l2=0.4):
    """Two links along x turning about z, with a point mass at each link's end."""
    model = vm.Model()
    j1 = model.add_joint(0, vm.JointModelRZ(), vm.SE3.Identity(), "shoulder")
    j2 = model.add_joint(j1, vm.JointModelRZ(), vm.SE3(np.eye(3), np.array([l1, 0.0, 0.0])), "elbow")
    tip = vm.SE3(np.eye(3), np.array([l2, 0.0, 0.0]))
    point = np.zeros((3, 3))
    model.add_frame(vm.Frame("upper", j1, 0, vm.SE3.Identity(), vm.FrameType.Body,
                             vm.Inertia(2.0, np.array([l1, 0.0, 0.0]), point)), True)
    model.add_frame(vm.Frame("fore", j2, 0, vm.SE3.Identity(), vm.FrameType.Body,
                             vm.Inertia(3.0, np.array([l2, 0.0, 0.0]), point)), True)
    tip_id = model.add_frame(vm.Frame("tip", j2, 0, tip, vm.FrameType.Operational, vm.Inertia(0.0, np.zeros(3), point)),
                             False)
    return model, tip_id


def test_planar_two_link_arm_closed_forms():
    l1, l2, m1, m2 = 0.7, 0.4, 2.0, 3.0
    model, tip = planar_arm(l1, l2)
    data = model.create_data()
    q, v, a = np.array([0.3, -1.1]), np.array([0.8, -0.5]), np.array([0.2, 0.7])
    s1, c1, s12, c12 = math.sin(q[0]), math.cos(q[0]), math.sin(q.sum()), math.cos(q.sum())
    J = np.zeros((6, 2))
    J[2] = 1.0
    J[3] = [-l1 * s1 - l2 * s12, -l2 * s12]
    J[4] = [l1 * c1 + l2 * c12, l2 * c12]
    assert np.allclose(vm.frame_jacobian(model, data, q, tip, M), J, atol=1e-15)
    # In the tip's own axes the elbow's column is (0, l2, 0) along y, the shoulder's adds l1 turned by -q2.
    Jb = np.zeros((6, 2))
    Jb[2] = 1.0
    Jb[3] = [l1 * math.sin(q[1]), 0.0]
    Jb[4] = [l1 * math.cos(q[1]) + l2, l2]
    assert np.allclose(vm.frame_jacobian(model, data, q, tip, B), Jb, atol=1e-15)
    # World: the body point at the origin; the shoulder's column is pure rotation about the origin.
    Jw = J.copy()
    Jw[3:, 1] = [l1 * s1, -l1 * c1, 0.0]
    Jw[3:, 0] = 0.0
    assert np.allclose(vm.frame_jacobian(model, data, q, tip, W), Jw, atol=1e-15)
    # Classical acceleration of the tip: J a + dJ/dt v.
    w1, w12 = v[0], v.sum()
    acc = J @ a + np.array([0, 0, 0, -l1 * c1 * w1 ** 2 - l2 * c12 * w12 ** 2, -l1 * s1 * w1 ** 2 - l2 * s12 * w12 ** 2, 0])
    assert np.allclose(vm.frame_acceleration(model, data, q, v, a, tip, M), acc, atol=1e-14)
    # Centre of mass, its Jacobian, energies of two point masses (gravity along -z: no potential change).
    p1, p2 = l1 * np.array([c1, s1, 0]), l1 * np.array([c1, s1, 0]) + l2 * np.array([c12, s12, 0])
    assert vm.total_mass(model) == m1 + m2
    assert np.allclose(vm.center_of_mass(model, data, q), (m1 * p1 + m2 * p2) / (m1 + m2), atol=1e-15)
    Jcom = (m1 * np.array([[-l1 * s1, 0], [l1 * c1, 0], [0, 0]]) + m2 * J[3:]) / (m1 + m2)
    assert np.allclose(vm.center_of_mass_jacobian(model, data, q), Jcom, atol=1e-15)
    v1, v2 = np.array([-l1 * s1, l1 * c1, 0]) * w1, J[3:] @ v
    assert vm.kinetic_energy(model, data, q, v) == pytest.approx(0.5 * (m1 * v1 @ v1 + m2 * v2 @ v2), rel=1e-14)
    assert vm.potential_energy(model, data, q) == pytest.approx(0.0, abs=1e-15)


def test_pendulum_potential_energy_and_joint_jacobian():
    model = vm.Model()
    j = model.add_joint(0, vm.JointModelRY(), vm.SE3(np.eye(3), np.array([0.0, 0.0, 1.5])), "pivot")
    model.add_frame(vm.Frame("bob", j, 0, vm.SE3.Identity(), vm.FrameType.Body,
                             vm.Inertia(2.0, np.array([0.0, 0.0, -0.5]), np.eye(3) * 0.01)), True)
    data = model.create_data()
    for angle in (0.0, 0.4, 2.0):
        q = np.array([angle])
        height = 1.5 - 0.5 * math.cos(angle)
        assert vm.potential_energy(model, data, q) == pytest.approx(2.0 * 9.81 * height, rel=1e-14)
        assert vm.kinetic_energy(model, data, q, np.array([3.0])) == pytest.approx(
            0.5 * (2.0 * 0.25 + 0.01) * 9.0, rel=1e-14)
        # A revolute joint's own Jacobian: its axis, in its frame and in the world.
        assert np.allclose(vm.joint_jacobian(model, data, q, j, B)[:, 0], [0, 1, 0, 0, 0, 0])
        assert np.allclose(vm.joint_jacobian(model, data, q, j, W)[:, 0], [0, 1, 0, -1.5, 0, 0])
    assert np.array_equal(vm.joint_jacobian(model, data, q, 0), np.zeros((6, 1)))


PRISMATIC_URDF = """<robot name="slide">
  <link name="base"/><link name="arm"><inertial><mass value="1.5"/><origin xyz="0.1 0 0"/>
    <inertia ixx="0.01" iyy="0.02" izz="0.03" ixy="0" ixz="0" iyz="0"/></inertial></link>
  <link name="carriage"><inertial><mass value="0.5"/><inertia ixx="0.01" iyy="0.01" izz="0.01" ixy="0" ixz="0" iyz="0"/>
    </inertial></link>
  <joint name="turn" type="continuous"><parent link="base"/><child link="arm"/><axis xyz="0 0 1"/></joint>
  <joint name="slide" type="prismatic"><parent link="arm"/><child link="carriage"/>
    <origin xyz="0.2 0 0.1" rpy="0.3 0 0"/><axis xyz="0 0.6 0.8"/><limit lower="-1" upper="1" effort="1" velocity="1"/>
  </joint>
</robot>"""


def test_prismatic_column_is_its_axis(tmp_path):
    path = tmp_path / "slide.urdf"
    path.write_text(PRISMATIC_URDF)
    model = vm.build_models_from_urdf(str(path))[0]
    data = model.create_data()
    carriage = next(i for i, f in enumerate(model.frames) if f.name == "carriage")
    q = np.array([math.cos(0.9), math.sin(0.9), 0.35])
    J = vm.frame_jacobian(model, data, q, carriage, B)
    assert np.allclose(J[:, 1], [0, 0, 0, 0, 0.6, 0.8], atol=1e-15)
    vm.forward_kinematics(model, data, q)
    R = vm.frame_placement(model, data, carriage).rotation
    assert np.allclose(vm.frame_jacobian(model, data, q, carriage, M)[3:, 1], R @ [0, 0.6, 0.8], atol=1e-15)
    assert np.allclose(vm.frame_jacobian(model, data, q, carriage, W)[:3, 1], 0.0)


# ----------------------------------------------------------------------- finite differences

FD_ROBOTS = ROBOT_NAMES + ["sample"]
H = 1e-5
# Central differences are exact up to O(h^2) times the third derivative, and rounding adds
# O(eps / h): with h = 1e-5 both stay below 1e-8 of the quantities' scale on these robots.
FD_TOL = 1e4 * H * H


def states(model, count, seed):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        q = vm.random_configuration(model).to_numpy()
        yield q, rng.uniform(-1, 1, model.nv), rng.uniform(-1, 1, model.nv)


@pytest.mark.parametrize("name", FD_ROBOTS)
def test_velocities_and_jacobians_by_differences(load, name):
    model = load(name)
    data = model.create_data()
    frames = link_frames(model)
    picked = frames[-1:] + frames[len(frames) // 2:len(frames) // 2 + 1] + [model.nframes - 1]
    for q, v, a in states(model, 2, 7):
        qp, vp = advance(model, q, v, a, H)
        qm, vm_ = advance(model, q, v, a, -H)
        for f in picked:
            by_placements = velocity_by_differences(model, q, v, f, H)
            for rep in REPS:
                J = vm.frame_jacobian(model, data, q, f, rep)
                vel = vm.frame_velocity(model, data, q, v, f, rep)
                assert close(J @ v, by_placements[rep], FD_TOL), (f, rep)
                assert close(vel, J @ v, 1e-13), (f, rep)
                # The acceleration is the derivative of the velocity in the same representation.
                acc = vm.frame_acceleration(model, data, q, v, a, f, rep)
                d_vel = (vm.frame_velocity(model, data, qp, vp, f, rep) -
                         vm.frame_velocity(model, data, qm, vm_, f, rep)) / (2 * H)
                assert close(acc, d_vel, FD_TOL), (f, rep)
                # Jdot is the derivative of J along v, and J a + Jdot v is that acceleration.
                Jdot = vm.frame_jacobian_time_derivative(model, data, q, v, f, rep)
                qvp, qvm = advance(model, q, v, 0 * a, H)[0], advance(model, q, v, 0 * a, -H)[0]
                d_J = (vm.frame_jacobian(model, data, qvp, f, rep) - vm.frame_jacobian(model, data, qvm, f, rep)) / (2 * H)
                assert close(Jdot, d_J, FD_TOL), (f, rep)
                assert close(J @ a + Jdot @ v, acc, 1e-12), (f, rep)
        # The centre of mass moves with its Jacobian.
        qvp, qvm = advance(model, q, v, 0 * a, H)[0], advance(model, q, v, 0 * a, -H)[0]
        d_com = (vm.center_of_mass(model, data, qvp) - vm.center_of_mass(model, data, qvm)) / (2 * H)
        assert close(vm.center_of_mass_jacobian(model, data, q) @ v, d_com, FD_TOL)


@pytest.mark.parametrize("name", FD_ROBOTS)
def test_energies_by_differences(load, name):
    model = load(name)
    data, zero = model.create_data(), np.zeros(model.nv)
    for q, v, a in states(model, 2, 11):
        # d/dt of kinetic energy is the power of the efforts that are not gravity's.
        tau = vm.rnea(model, data, q, v, a).to_numpy()
        g = vm.rnea(model, data, q, zero, zero).to_numpy()
        kinetic = [vm.kinetic_energy(model, data, *advance(model, q, v, a, t)) for t in (H, -H)]
        assert close((kinetic[0] - kinetic[1]) / (2 * H), v @ (tau - g), FD_TOL)
        # 1/2 v^T M v with M from inverse dynamics.
        mass = np.column_stack([vm.rnea(model, data, q, zero, e).to_numpy() - g for e in np.eye(model.nv)])
        assert close(vm.kinetic_energy(model, data, q, v), 0.5 * v @ mass @ v, 1e-12)
        # The gradient of potential energy is the gravity torque.
        unit = np.eye(model.nv)
        grad = [(vm.potential_energy(model, data, advance(model, q, e, zero, H)[0]) -
                 vm.potential_energy(model, data, advance(model, q, e, zero, -H)[0])) / (2 * H) for e in unit]
        assert close(grad, g, FD_TOL)


@pytest.mark.parametrize("name", FD_ROBOTS)
def test_representations_and_stored_motions_agree(load, name):
    """BODY = Ad(oMf^-1) WORLD; every joint's Jacobian gives the velocities forward kinematics stores."""
    model = load(name)
    data = model.create_data()
    q, v, a = next(states(model, 1, 3))
    vm.forward_kinematics(model, data, q, v, a)
    velocities, accelerations = data.v, data.a
    assert velocities.shape == accelerations.shape == (model.njoints, 6)
    for j in range(model.njoints):
        Jb = vm.joint_jacobian(model, data, q, j, B)
        Jw = vm.joint_jacobian(model, data, q, j, W)
        R, p = data.oMi[j].rotation, data.oMi[j].translation
        assert np.allclose(Jb[:3], R.T @ Jw[:3], atol=1e-12)
        assert np.allclose(Jb[3:], R.T @ (Jw[3:] + np.cross(Jw[:3].T, p).T), atol=1e-12)
        assert np.allclose(velocities[j], Jb @ v, atol=1e-12)
    # Accelerations of each joint frame: the derivative of its body velocity.
    qp, vp = advance(model, q, v, a, H)
    qm, vm_ = advance(model, q, v, a, -H)
    vm.forward_kinematics(model, data, qp, vp)
    later = data.v
    vm.forward_kinematics(model, data, qm, vm_)
    assert close(accelerations, (later - data.v) / (2 * H), FD_TOL)


# ------------------------------------------------------------------------------- references

@pytest.mark.parametrize("name", ROBOT_NAMES)
def test_robot_matches_reference(load, name):
    model, ref = load(name), dict(np.load(ROBOTS / name / "reference.npz"))  # read each array once
    info = json.loads((ROBOTS / name / "reference.json").read_text())
    tol = info["suggested_tolerance"]
    data = model.create_data()
    body = int(vm.FrameType.Body)
    # Names alone are not enough: NAO gives a joint frame and a link frame the same name.
    by_name = {f.name: i for i, f in enumerate(model.frames) if int(f.frame_type) == body}
    frames = [by_name[n] for n in info["link_names"]]
    assert close(vm.total_mass(model), ref["mass"], tol["mass"])
    for k in range(len(ref["q"])):
        q, v, a = ref["q"][k], ref["v"][k], ref["a"][k]
        for link, f in enumerate(frames):
            assert close(vm.frame_jacobian(model, data, q, f, M), ref["J"][k, link], tol["J"]), (k, link)
            assert close(vm.frame_jacobian(model, data, q, f, B), ref["Jb"][k, link], tol["Jb"]), (k, link)
            assert close(vm.frame_acceleration(model, data, q, v, a, f, M), ref["acc"][k, link], tol["acc"]), (k, link)
        vm.update_frame_placements(model, data)
        placements = data.oMf
        assert close(np.array([placements[f].homogeneous for f in frames]), ref["oMl"][k], tol["oMl"])
        Jcom = vm.center_of_mass_jacobian(model, data, q)
        assert close(vm.center_of_mass(model, data, q), ref["com"][k], tol["com"])
        assert close(Jcom, ref["Jcom"][k], tol["Jcom"])
        assert close(Jcom @ v, ref["vcom"][k], tol["vcom"])
        assert close(vm.kinetic_energy(model, data, q, v), ref["Ekin"][k], tol["Ekin"])
        assert close(vm.potential_energy(model, data, q), ref["Epot"][k], tol["Epot"])


# ------------------------------------------------------------------------------ bad input

def snapshot(data):
    return [m.homogeneous for m in data.oMi], data.v, data.a, [m.homogeneous for m in data.oMf]


def unchanged(before, data):
    after = snapshot(data)
    return all(np.array_equal(np.asarray(x), np.asarray(y)) for x, y in zip(before, after))


def test_bad_ids_and_sizes_leave_data_unchanged():
    model, tip = planar_arm()
    data = model.create_data()
    q, v = np.array([0.1, 0.2]), np.array([0.3, 0.4])
    vm.forward_kinematics(model, data, q, v, v)
    vm.update_frame_placements(model, data)
    before = snapshot(data)
    other = np.array([1.0, 2.0])
    cases = [
        (lambda: vm.frame_jacobian(model, data, other, 99), IndexError, "frame id 99"),
        (lambda: vm.frame_velocity(model, data, other, v, 7, W), IndexError, "frame id 7"),
        (lambda: vm.frame_placement(model, data, 12), IndexError, "frame id 12"),
        (lambda: vm.joint_jacobian(model, data, other, 3), IndexError, "joint id 3"),
        (lambda: vm.frame_jacobian(model, data, other[:1], tip), ValueError, "'q'"),
        (lambda: vm.frame_velocity(model, data, other, v[:1], tip), ValueError, "'v'"),
        (lambda: vm.frame_acceleration(model, data, other, v, np.zeros(3), tip), ValueError, "'a'"),
        (lambda: vm.frame_jacobian_time_derivative(model, data, other, v[:0], tip), ValueError, "'v'"),
        (lambda: vm.center_of_mass(model, data, np.zeros(5)), ValueError, "'q'"),
        (lambda: vm.center_of_mass_jacobian(model, data, np.zeros(1)), ValueError, "'q'"),
        (lambda: vm.kinetic_energy(model, data, other, np.zeros(1)), ValueError, "'v'"),
        (lambda: vm.potential_energy(model, data, other[:1]), ValueError, "'q'"),
        (lambda: vm.forward_kinematics(model, data, other, v[:1]), ValueError, "'v'"),
        (lambda: vm.forward_kinematics(model, data, other, v, v[:1]), ValueError, "'a'"),
        (lambda: vm.forward_kinematics(model, data, other, a=v), ValueError, "'a'"),
        (lambda: vm.frame_jacobian(model, data, other, -1), OverflowError, "frame_id"),
        (lambda: vm.frame_jacobian(model, data, other, tip, 1), TypeError, "Representation"),
        (lambda: vm.frame_jacobian(model, data, other.astype(np.float32), tip), TypeError, "float64"),
        (lambda: vm.frame_jacobian(model, vm.Model().create_data(), other, tip), ValueError, "joints"),
    ]
    for call, error, text in cases:
        with pytest.raises(error, match=text):
            call()
        assert unchanged(before, data), text


def test_jacobians_leave_data_unchanged():
    model, tip = planar_arm()
    data = model.create_data()
    vm.forward_kinematics(model, data, np.array([0.4, 0.3]), np.array([1.0, -1.0]), np.array([0.5, 0.5]))
    vm.update_frame_placements(model, data)
    before = snapshot(data)
    vm.frame_jacobian(model, data, np.array([-1.0, 2.0]), tip, M)
    vm.joint_jacobian(model, data, np.array([-1.0, 2.0]), 2, W)
    assert unchanged(before, data)


def test_arguments_by_keyword_and_any_layout():
    model, tip = planar_arm()
    data = model.create_data()
    q = np.array([[0.1, 9.0], [0.2, 9.0]])[:, 0]  # strided
    J = vm.frame_jacobian(model=model, data=data, q=q, frame_id=tip, rep=M)
    assert J.flags.c_contiguous and J.dtype == np.float64 and J.shape == (6, 2)
    assert np.array_equal(J, vm.frame_jacobian(model, data, np.ascontiguousarray(q), tip, M))
    assert np.array_equal(vm.frame_jacobian(model, data, q, tip), vm.frame_jacobian(model, data, q, tip, B))
    assert np.array_equal(vm.frame_jacobian(model, data, q, tip, None), vm.frame_jacobian(model, data, q, tip, B))
    assert [repr(r) for r in REPS] == ["Representation.WORLD", "Representation.BODY", "Representation.MIXED"]
    assert [int(r) for r in REPS] == [0, 1, 2]
    with pytest.raises(TypeError):
        vm.Representation()


def test_jacobians_into_a_given_array():
    model, tip = planar_arm()
    data = model.create_data()
    q = np.array([0.3, -1.1])
    for call, index in ((vm.frame_jacobian, tip), (vm.joint_jacobian, 2)):
        want = call(model, data, q, index, M)
        out = np.full((6, 2), 7.0)
        assert call(model, data, q, index, M, out) is out and np.array_equal(out, want)
        assert call(model, data, q, index, rep=M, out=out) is out and np.array_equal(out, want)
    # A q that lives inside the output is read before the output is written.
    shared = np.zeros((6, 2))
    shared[0] = q
    J = vm.frame_jacobian(model, data, shared[0], tip, W, out=shared)
    assert J is shared and np.array_equal(J, vm.frame_jacobian(model, data, q, tip, W))
    # Refused outputs and failed calls leave the array as it was.
    out = np.full((6, 2), 7.0)
    bad = [
        (lambda: vm.frame_jacobian(model, data, q, tip, M, np.zeros((6, 3))), ValueError, r"out.*shape \[6, 2\]"),
        (lambda: vm.frame_jacobian(model, data, q, tip, M, np.zeros((2, 6)).T), ValueError, "C-contiguous"),
        (lambda: vm.frame_jacobian(model, data, q, tip, M, np.zeros((6, 2), np.float32)), TypeError, "float64"),
        (lambda: vm.frame_jacobian(model, data, q, tip, M, [[0.0] * 2] * 6), TypeError, "out"),
        (lambda: vm.frame_jacobian(model, data, q, 99, M, out), IndexError, "frame id 99"),
        (lambda: vm.joint_jacobian(model, data, q[:1], 1, M, out), ValueError, "'q'"),
    ]
    for call, error, text in bad:
        with pytest.raises(error, match=text):
            call()
        assert np.all(out == 7.0), text
    readonly = np.zeros((6, 2))
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        vm.frame_jacobian(model, data, q, tip, M, readonly)


def test_jacobian_and_placement_sines_from_lanes_or_the_c_library_agree():
    """The Jacobian's and forward kinematics' joint sines and cosines come from vector lanes
    where the processor has them: switched off, columns and placements change by rounding only."""
    model = vm.build_model_from_urdf(str(ROBOTS / "franka_panda" / "robot.urdf"))
    q = np.random.default_rng(5).uniform(-3, 3, (8, model.nq))
    frame = model.nframes - 1
    script = ("import sys, numpy as np, velmora as vm; m = vm.build_model_from_urdf(sys.argv[1]); "
              "d = m.create_data(); Q = np.load(sys.argv[2]); "
              "J = lambda x: vm.frame_jacobian(m, d, x, int(sys.argv[4]), vm.Representation.WORLD); "
              "P = lambda x: (vm.forward_kinematics(m, d, x), [p.homogeneous[:3] for p in d.oMi])[1]; "
              "np.save(sys.argv[3], np.array([np.concatenate([J(x).ravel(), np.ravel(P(x))]) for x in Q]))")
    results = []
    for switch in ("1", "0"):
        with tempfile.TemporaryDirectory() as scratch:
            qs, out = os.path.join(scratch, "q.npy"), os.path.join(scratch, "J.npy")
            np.save(qs, q)
            env = dict(os.environ, VELMORA_SIMD=switch)
            subprocess.run([sys.executable, "-c", script, str(ROBOTS / "franka_panda" / "robot.urdf"), qs, out,
                            str(frame)], check=True, env=env)
            results.append(np.load(out))
    lanes, library = results
    assert np.abs(lanes - library).max() <= 1e-14 * max(1.0, np.abs(library).max())
    data = model.create_data()
    here = np.array([np.concatenate([vm.frame_jacobian(model, data, x, frame, W).ravel(),
                                     np.ravel((vm.forward_kinematics(model, data, x),
                                               [p.homogeneous[:3] for p in data.oMi])[1])]) for x in q])
    assert any(np.array_equal(here, r) for r in results)


def test_frame_placements_follow_forward_kinematics_and_new_frames():
    model, tip = planar_arm()
    data = model.create_data()
    q = np.array([0.5, -0.25])
    vm.forward_kinematics(model, data, q)
    # A frame added after the data was made still gets a placement.
    extra = model.add_frame(vm.Frame("extra", 1, 0, vm.SE3.Random(), vm.FrameType.Operational,
                                     vm.Inertia(0.0, np.zeros(3), np.zeros((3, 3)))), False)
    vm.update_frame_placements(model, data)
    assert len(data.oMf) == model.nframes
    for i, frame in enumerate(model.frames):
        want = (data.oMi[frame.parent_joint] * frame.placement).homogeneous
        assert np.allclose(data.oMf[i].homogeneous, want, atol=1e-15)
        assert np.allclose(vm.frame_placement(model, data, i).homogeneous, want, atol=1e-15)
    assert np.allclose(data.oMf[tip].translation, [0.7 * math.cos(0.5) + 0.4 * math.cos(0.25),
                                                   0.7 * math.sin(0.5) + 0.4 * math.sin(0.25), 0], atol=1e-15)
    assert extra == model.nframes - 1
    # forward_kinematics without velocities leaves the stored velocities as they were.
    vm.forward_kinematics(model, data, q, np.array([1.0, 2.0]))
    stored = data.v
    vm.forward_kinematics(model, data, np.zeros(2))
    assert np.array_equal(data.v, stored)
