"""State derivatives of inverse dynamics (rnea_derivatives) and forward dynamics (aba_derivatives)."""

import functools
import json
import math
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

ROOT = Path(__file__).resolve().parents[2]
ROBOTS = ROOT / "tests" / "robots"
ROBOT_NAMES = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())
G = 9.81


@pytest.fixture(scope="module")
def load(tmp_path_factory):
    """A robot of tests/robots (empty stand-ins for the meshes it lists as missing), or the sample arm."""

    @functools.cache
    def loader(name, floating=False):
        if name == "sample_arm":
            sys.path.insert(0, str(ROOT / "tools"))
            from velmora_tools import sample_urdf
            return vm.build_models_from_urdf(sample_urdf())[0]
        folder, packages = ROBOTS / name, []
        missing = folder / "MISSING_MESHES.txt"
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
            if floating:
                return vm.build_models_from_urdf(str(folder / "robot.urdf"), str(folder),
                                                 root_joint=vm.JointModelFreeFlyer())[0]
            return vm.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))[0]
        finally:
            os.environ.pop("ROS_PACKAGE_PATH") if saved is None else os.environ.update(ROS_PACKAGE_PATH=saved)

    return loader


def displace(model, q, dv):
    """q moved by the tangent vector dv: a continuous joint turns its (cos, sin) pair by the angle."""
    if hasattr(vm, "integrate"):
        return vm.integrate(model, q, dv)
    q, iq, iv = q.copy(), 0, 0
    for joint in model.joint_models:
        if joint.nv:
            if int(joint.joint_type) == int(vm.JointType.Continuous):
                angle = math.atan2(q[iq + 1], q[iq]) + dv[iv]
                q[iq:iq + 2] = math.cos(angle), math.sin(angle)
            else:
                q[iq:iq + joint.nq] += dv[iv:iv + joint.nv]
        iq, iv = iq + joint.nq, iv + joint.nv
    return q


def jacobian(f, n, h):
    """Central differences with one Richardson step: column j is the derivative of f(t e_j) at t = 0."""
    def central(j, step):
        e = np.zeros(n)
        e[j] = step
        return (f(e) - f(-e)) / (2 * step)
    return np.column_stack([(4 * central(j, h / 2) - central(j, h)) / 3 for j in range(n)])


def deviation(got, want):
    return np.max(np.abs(got - want), initial=0.0) / max(1.0, np.max(np.abs(want), initial=0.0))


def state(model, rng):
    q = vm.random_configuration(model).to_numpy()
    return q, rng.uniform(-2, 2, model.nv), rng.uniform(-2, 2, model.nv)


def forward_defined(name):
    if name == "sample_arm":
        return True
    return json.loads((ROBOTS / name / "reference.json").read_text())["forward_dynamics_defined"]


# ------------------------------------------------------------------ finite differences

@pytest.mark.parametrize("name", ROBOT_NAMES + ["sample_arm"])
def test_inverse_dynamics_derivatives_match_finite_differences(load, name):
    model, rng = load(name), np.random.default_rng(11)
    data, nv = model.create_data(), model.nv
    for _ in range(2):
        q, v, a = state(model, rng)
        dq, dv, M = vm.rnea_derivatives(model, data, q, v, a)
        tau = lambda x, y, z: vm.rnea(model, data, x, y, z).to_numpy()  # noqa: E731
        assert deviation(dq, jacobian(lambda e: tau(displace(model, q, e), v, a), nv, 1e-3)) < 1e-6
        assert deviation(dv, jacobian(lambda e: tau(q, v + e, a), nv, 1e-3)) < 1e-6
        # tau is affine in a, so its differences give M to rounding.
        assert deviation(M, jacobian(lambda e: tau(q, v, a + e), nv, 1.0)) < 1e-9


@pytest.mark.parametrize("name", ROBOT_NAMES + ["sample_arm"])
def test_forward_dynamics_derivatives_match_finite_differences(load, name):
    if not forward_defined(name):
        pytest.skip("singular mass matrix: forward dynamics undefined")
    model, rng = load(name), np.random.default_rng(12)
    data, nv = model.create_data(), model.nv
    for _ in range(2):
        q, v, tau = state(model, rng)
        dq, dv, Minv = vm.aba_derivatives(model, data, q, v, tau)
        M = vm.rnea_derivatives(model, data, q, v, tau)[2]
        cond = np.linalg.cond(M)
        # aba itself is good to cond(M) * eps, and its differences divide that by the step:
        # the tolerance grows with the condition number, the step with its square root.
        h = min(1e-2, 1e-3 * max(1.0, cond * 1e-6) ** 0.25)
        tolerance = max(1e-6, cond * 1e-14 / h)
        ddq = lambda x, y, z: vm.aba(model, data, x, y, z).to_numpy()  # noqa: E731
        assert deviation(dq, jacobian(lambda e: ddq(displace(model, q, e), v, tau), nv, h)) < tolerance
        assert deviation(dv, jacobian(lambda e: ddq(q, v + e, tau), nv, h)) < tolerance
        assert deviation(Minv, jacobian(lambda e: ddq(q, v, tau + e), nv, 1.0)) < tolerance
        # Where the differences of aba are loose (NAO's cond(M) is near 1e8), the solve with
        # the inverse-dynamics derivatives at a = ddq pins the result to rounding.
        dtau_dq, dtau_dv = vm.rnea_derivatives(model, data, q, v, ddq(q, v, tau))[:2]
        assert deviation(dq, -np.linalg.solve(M, dtau_dq)) < max(1e-12, cond * 1e-15)
        assert deviation(dv, -np.linalg.solve(M, dtau_dv)) < max(1e-12, cond * 1e-15)


# ------------------------------------------------------------------ exact identities

@pytest.mark.parametrize("name", ROBOT_NAMES)
def test_mass_matrix_and_inverse_match_reference(load, name):
    model, ref = load(name), np.load(ROBOTS / name / "reference.npz")
    data, defined = model.create_data(), forward_defined(name)
    for k in range(0, len(ref["q"]), 4):
        q, v, a = ref["q"][k], ref["v"][k], ref["a"][k]
        M = vm.rnea_derivatives(model, data, q, v, a)[2]
        assert deviation(M, ref["M"][k]) < 1e-9
        assert deviation(M, vm.mass_matrix(model, data, q)) < 1e-12
        assert np.abs(M - M.T).max() <= 1e-12 * np.abs(M).max()
        if defined:
            np.linalg.cholesky(M)
            Minv = vm.aba_derivatives(model, data, q, v, ref["tau_fd"][k])[2]
            assert deviation(Minv, ref["Minv"][k]) < max(1e-9, 1e-15 * np.linalg.cond(M))
            assert deviation(Minv, vm.inverse_mass_matrix(model, data, q)) < max(1e-12, 1e-15 * np.linalg.cond(M))
            assert np.abs(Minv - Minv.T).max() <= 1e-9 * np.abs(Minv).max()


@pytest.mark.parametrize("name", ROBOT_NAMES + ["sample_arm"])
def test_no_velocity_derivative_at_rest(load, name):
    model, rng = load(name), np.random.default_rng(13)
    q, _, a = state(model, rng)
    zero = np.zeros(model.nv)
    assert np.abs(vm.rnea_derivatives(model, model.create_data(), q, zero, a)[1]).max(initial=0) <= 1e-12
    if forward_defined(name):
        assert np.abs(vm.aba_derivatives(model, model.create_data(), q, zero, a)[1]).max(initial=0) <= 1e-12


def chain(*links):
    """A serial chain; each link is (joint factory, offset from the previous joint, mass, com, rotational inertia)."""
    model = vm.Model()
    for i, (joint, offset, mass, com, rot) in enumerate(links, start=1):
        model.add_joint(i - 1, joint(), vm.SE3(np.eye(3), np.array(offset, float)), f"j{i}")
        body = vm.Inertia(mass, np.array(com, float), np.array(rot, float))
        model.add_frame(vm.Frame(f"b{i}", i, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    return model


@pytest.mark.parametrize("q, v, a", [(0.0, 0.0, 0.0), (0.7, 1.3, -0.4), (-2.5, -0.8, 2.0)])
def test_pendulum_closed_form(q, v, a):
    # A rod about x with its centre at l on y: tau = (m l^2 + J) a + m g l cos q.
    m, l, J = 1.7, 0.6, 0.05
    model = chain((vm.JointModelRX, (0, 0, 0), m, (0, l, 0), np.eye(3) * J))
    data, inertia = model.create_data(), m * l * l + J
    dq, dv, M = vm.rnea_derivatives(model, data, np.array([q]), np.array([v]), np.array([a]))
    assert dq[0, 0] == pytest.approx(-m * G * l * math.sin(q), abs=1e-12)
    assert dv[0, 0] == pytest.approx(0.0, abs=1e-12)
    assert M[0, 0] == pytest.approx(inertia, abs=1e-12)
    tau = inertia * a + m * G * l * math.cos(q)
    dq, dv, Minv = vm.aba_derivatives(model, data, np.array([q]), np.array([v]), np.array([tau]))
    assert dq[0, 0] == pytest.approx(m * G * l * math.sin(q) / inertia, abs=1e-12)
    assert dv[0, 0] == pytest.approx(0.0, abs=1e-12)
    assert Minv[0, 0] == pytest.approx(1 / inertia, abs=1e-12)


def test_two_link_arm_closed_form():
    # Two rods turning about x in the y-z plane, centres on their y axes, gravity along -z.
    m1, m2, l1, c1, c2, J1, J2 = 1.3, 0.8, 0.9, 0.4, 0.35, 0.07, 0.03
    model = chain((vm.JointModelRX, (0, 0, 0), m1, (0, c1, 0), np.diag([J1, 0.01, 0.02])),
                  (vm.JointModelRX, (0, l1, 0), m2, (0, c2, 0), np.diag([J2, 0.01, 0.02])))
    data = model.create_data()
    for (q1, q2), (w1, w2), (a1, a2) in [((0.3, -1.1), (0.5, 2.0), (-0.4, 0.9)), ((2.0, 0.7), (-1.5, 0.3), (1.0, 0.0))]:
        s2, c12s = math.sin(q2), math.sin(q1 + q2)
        h = -m2 * l1 * c2 * s2             # the Coriolis coefficient
        dh = -m2 * l1 * c2 * math.cos(q2)  # its derivative by q2
        dtau_dq = np.array([
            [-(m1 * c1 + m2 * l1) * G * math.sin(q1) - m2 * c2 * G * c12s,
             -2 * m2 * l1 * c2 * s2 * a1 - m2 * l1 * c2 * s2 * a2 + dh * (2 * w1 * w2 + w2 * w2) - m2 * c2 * G * c12s],
            [-m2 * c2 * G * c12s, -m2 * l1 * c2 * s2 * a1 - dh * w1 * w1 - m2 * c2 * G * c12s]])
        dtau_dv = np.array([[2 * h * w2, 2 * h * (w1 + w2)], [-2 * h * w1, 0.0]])
        M12 = m2 * (c2 * c2 + l1 * c2 * math.cos(q2)) + J2
        M = np.array([[m1 * c1 * c1 + J1 + m2 * (l1 * l1 + c2 * c2 + 2 * l1 * c2 * math.cos(q2)) + J2, M12],
                      [M12, m2 * c2 * c2 + J2]])
        got = vm.rnea_derivatives(model, data, np.array([q1, q2]), np.array([w1, w2]), np.array([a1, a2]))
        for g, want in zip(got, (dtau_dq, dtau_dv, M)):
            np.testing.assert_allclose(g, want, rtol=0, atol=1e-12)


VERTICAL_SLIDE = """<robot name="lift">
  <link name="base"/>
  <link name="carriage"><inertial><mass value="2.0"/><origin xyz="0.1 0 0.2"/>
    <inertia ixx="0.02" ixy="0" ixz="0" iyy="0.03" iyz="0" izz="0.04"/></inertial></link>
  <link name="upper"><inertial><mass value="1.2"/><origin xyz="0.3 0.05 0"/>
    <inertia ixx="0.01" ixy="0.001" ixz="0" iyy="0.02" iyz="0" izz="0.02"/></inertial></link>
  <link name="lower"><inertial><mass value="0.7"/><origin xyz="0.25 0 -0.02"/>
    <inertia ixx="0.005" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/></inertial></link>
  <joint name="a_lift" type="prismatic"><parent link="base"/><child link="carriage"/>
    <axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="b_shoulder" type="revolute"><parent link="carriage"/><child link="upper"/>
    <origin xyz="0 0 0.3" rpy="0.3 0 0"/><axis xyz="0 1 0"/>
    <limit lower="-3" upper="3" effort="1" velocity="1"/></joint>
  <joint name="c_elbow" type="continuous"><parent link="upper"/><child link="lower"/>
    <origin xyz="0.5 0 0"/><axis xyz="0.6 0 0.8"/></joint>
</robot>
"""


def test_vertical_slide_has_no_configuration_dependence(tmp_path):
    # Sliding the whole arm along gravity changes no effort and no acceleration: the slide's
    # column of the q derivatives is zero, at any velocity and acceleration.
    (tmp_path / "lift.urdf").write_text(VERTICAL_SLIDE)
    model = vm.build_models_from_urdf(str(tmp_path / "lift.urdf"))[0]
    rng, data = np.random.default_rng(3), model.create_data()
    for _ in range(3):
        q, v, a = state(model, rng)
        dq = vm.rnea_derivatives(model, data, q, v, a)[0]
        assert np.abs(dq[:, 0]).max() <= 1e-12 * np.abs(dq).max()
        dq = vm.aba_derivatives(model, data, q, v, a)[0]
        assert np.abs(dq[:, 0]).max() <= 1e-12 * np.abs(dq).max()


def test_robot_far_from_the_world_origin():
    # Moving the whole robot changes no effort and no derivative, and should cost no digits.
    def arm(base):
        rng = np.random.default_rng(1)
        links = [(joint, base if i == 0 else rng.uniform(-0.3, 0.3, 3), 1.0 + 0.1 * i, rng.uniform(-0.1, 0.1, 3),
                  np.diag([0.02, 0.03, 0.04])) for i, joint in enumerate([vm.JointModelRX, vm.JointModelRY,
                                                                          vm.JointModelRZ] * 2)]
        return chain(*links)
    near, far = arm((0.0, 0.0, 0.0)), arm((1e5, -2e5, 3e4))
    rng = np.random.default_rng(2)
    q, v, a = (rng.uniform(-1, 1, near.nv) for _ in range(3))
    for f in (vm.rnea_derivatives, vm.aba_derivatives):
        for got, want in zip(f(far, far.create_data(), q, v, a), f(near, near.create_data(), q, v, a)):
            assert deviation(got, want) < 1e-12


def test_continuous_pair_length_does_not_matter(load):
    # A continuous joint reads the direction of its (cos, sin) pair; the derivative is by its angle.
    model, rng = load("r2d2"), np.random.default_rng(5)
    data = model.create_data()
    q, v, a = state(model, rng)
    scaled = q.copy()
    iq = 0
    for joint in model.joint_models:
        if int(joint.joint_type) == int(vm.JointType.Continuous):
            scaled[iq:iq + 2] *= 3.0
        iq += joint.nq
    assert not np.array_equal(scaled, q)
    for f in (vm.rnea_derivatives, vm.aba_derivatives):
        for got, want in zip(f(model, data, scaled, v, a), f(model, data, q, v, a)):
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)


# ------------------------------------------------------------------ arguments and results

@pytest.mark.parametrize("fn", [vm.rnea_derivatives, vm.aba_derivatives])
def test_results_are_new_square_arrays(fn, load):
    model = load("kuka_iiwa")
    data, nv = model.create_data(), model.nv
    q, v, x = vm.neutral(model).to_numpy(), np.full(nv, 0.3), np.full(nv, -0.2)
    first, second = fn(model, data, q, v, x), fn(model, data, q, v, x)
    assert isinstance(first, tuple) and len(first) == 3
    for a, b in zip(first, second):
        assert a.shape == (nv, nv) and a.dtype == np.float64 and a.flags.c_contiguous and a.flags.owndata
        assert a is not b and np.array_equal(a, b)
    # Strided and unaligned inputs are read by stride.
    block = np.stack([q, q], axis=1)[:, 0]
    unaligned = np.frombuffer(b"\0" + v.tobytes(), dtype=float, offset=1)
    for a, b in zip(fn(model, data, block, unaligned, x[::-1][::-1]), first):
        assert np.array_equal(a, b)


@pytest.mark.parametrize("fn, last", [(vm.rnea_derivatives, "a"), (vm.aba_derivatives, "tau")])
def test_arguments_are_checked(fn, last):
    model = chain((vm.JointModelRX, (0, 0, 0), 1.0, (0, 0.5, 0), np.eye(3) * 0.1),
                  (vm.JointModelRY, (0, 1, 0), 1.0, (0, 0.5, 0), np.eye(3) * 0.1))
    data, two, three = model.create_data(), np.zeros(2), np.zeros(3)
    for args, name in [((three, two, two), "q"), ((two, three, two), "v"), ((two, two, np.zeros(1)), last)]:
        with pytest.raises(ValueError, match=f"'{name}'"):
            fn(model, data, *args)
    with pytest.raises(TypeError):
        fn(model, data, two.astype(np.float32), two, two)
    with pytest.raises(TypeError):
        fn(model, data, two.reshape(1, 2), two, two)
    with pytest.raises(TypeError):
        fn(model, data, [0.0, 0.0], two, two)
    with pytest.raises(TypeError):
        fn(data, model, two, two, two)
    other = vm.Model().create_data()
    with pytest.raises(ValueError):
        fn(model, other, two, two, two)
    assert len(fn(model=model, data=data, q=two, v=two, **{last: two})) == 3


def test_model_without_moving_joints():
    model = vm.Model()
    empty = np.zeros(0)
    for fn in (vm.rnea_derivatives, vm.aba_derivatives):
        assert [r.shape for r in fn(model, model.create_data(), empty, empty, empty)] == [(0, 0)] * 3


def test_massless_end_body_refused_by_forward_dynamics_only():
    model = chain((vm.JointModelRX, (0, 0, 0), 1.0, (0, 0.5, 0), np.eye(3) * 0.1),
                  (vm.JointModelRY, (0, 1, 0), 0.0, (0, 0, 0), np.zeros((3, 3))))
    data, two = model.create_data(), np.array([0.3, -0.2])
    M = vm.rnea_derivatives(model, data, two, two, two)[2]
    assert M[1, 1] == 0.0
    with pytest.raises(ValueError, match="Singular mass matrix at joint 'j2'"):
        vm.aba_derivatives(model, data, two, two, two)
    with pytest.raises(ValueError, match="not finite"):
        vm.aba_derivatives(model, data, np.array([np.nan, 0.0]), two, two)


# ------------------------------------------------------------------ floating base and other joint kinds

FLOATING = [name for name in ROBOT_NAMES if (ROBOTS / name / "reference_floating.npz").exists()]
needs_floating = pytest.mark.skipif(not (hasattr(vm, "JointModelFreeFlyer") and hasattr(vm, "integrate")),
                                    reason="no free-flyer joint in this build")


@needs_floating
@pytest.mark.parametrize("name", FLOATING)
def test_floating_base_derivatives(load, name):
    """Finite differences along integrate, and the reference mass matrices, with a free root."""
    model, ref = load(name, True), np.load(ROBOTS / name / "reference_floating.npz")
    data, nv, rng = model.create_data(), model.nv, np.random.default_rng(17)
    for k in (0, 9):
        q, v, a = ref["q"][k], ref["v"][k], ref["a"][k]
        dq, dv, M = vm.rnea_derivatives(model, data, q, v, a)
        assert deviation(M, ref["M"][k]) < 1e-9
        tau = lambda x, y, z: vm.rnea(model, data, x, y, z).to_numpy()  # noqa: E731
        assert deviation(dq, jacobian(lambda e: tau(vm.integrate(model, q, e), v, a), nv, 1e-3)) < 1e-6
        assert deviation(dv, jacobian(lambda e: tau(q, v + e, a), nv, 1e-3)) < 1e-6
        # Moving the root (its linear columns): the efforts do not depend on where the robot is.
        free = vm.rnea_derivatives(model, data, q, rng.uniform(-1, 1, nv), a)[0]
        assert np.abs(free[:, 3:6]).max() <= 1e-12 * np.abs(free).max()
        dq, dv, Minv = vm.aba_derivatives(model, data, q, v, ref["tau_fd"][k])
        assert deviation(Minv, np.linalg.inv(ref["M"][k])) < max(1e-9, 1e-15 * np.linalg.cond(M))
        dtau_dq, dtau_dv = vm.rnea_derivatives(model, data, q, v, vm.aba(model, data, q, v, ref["tau_fd"][k])
                                               .to_numpy())[:2]
        cond = np.linalg.cond(M)
        assert deviation(dq, -np.linalg.solve(M, dtau_dq)) < max(1e-12, cond * 1e-15)
        assert deviation(dv, -np.linalg.solve(M, dtau_dv)) < max(1e-12, cond * 1e-15)


@pytest.mark.skipif(not all(hasattr(vm, k) for k in ("JointModelSpherical", "JointModelPlanar", "JointModelFreeFlyer",
                                                       "integrate")), reason="no multi-axis joints in this build")
def test_every_joint_kind_against_differences():
    # A free body carrying a planar joint, a spherical joint and a revolute one, on two branches.
    model = vm.Model()
    rng = np.random.default_rng(21)

    def attach(parent, joint, name):
        placement = vm.SE3(np.linalg.qr(rng.standard_normal((3, 3)))[0] * [1, 1, 1], rng.uniform(-0.3, 0.3, 3))
        if np.linalg.det(placement.rotation) < 0:
            placement = vm.SE3(-placement.rotation, placement.translation)
        joint_id = model.add_joint(parent, joint, placement, name)
        rot = np.diag(rng.uniform(0.02, 0.1, 3))
        model.add_frame(vm.Frame(name + "_body", joint_id, 0, vm.SE3.Identity(), vm.FrameType.Body,
                                 vm.Inertia(rng.uniform(0.5, 2), rng.uniform(-0.2, 0.2, 3), rot)), True)
        return joint_id

    root = attach(0, vm.JointModelFreeFlyer(), "root")
    planar = attach(root, vm.JointModelPlanar(), "planar")
    attach(planar, vm.JointModelRY(), "hinge")
    attach(root, vm.JointModelSpherical(), "ball")
    data, nv = model.create_data(), model.nv
    for _ in range(3):
        q = vm.random_configuration(model).to_numpy()
        v, a = rng.uniform(-1, 1, nv), rng.uniform(-1, 1, nv)
        dq, dv, M = vm.rnea_derivatives(model, data, q, v, a)
        tau = lambda x, y, z: vm.rnea(model, data, x, y, z).to_numpy()  # noqa: E731
        assert deviation(dq, jacobian(lambda e: tau(vm.integrate(model, q, e), v, a), nv, 1e-3)) < 1e-6
        assert deviation(dv, jacobian(lambda e: tau(q, v + e, a), nv, 1e-3)) < 1e-6
        assert deviation(M, jacobian(lambda e: tau(q, v, a + e), nv, 1.0)) < 1e-9
        dq, dv, Minv = vm.aba_derivatives(model, data, q, v, a)
        ddq = lambda x, y, z: vm.aba(model, data, x, y, z).to_numpy()  # noqa: E731
        assert deviation(dq, jacobian(lambda e: ddq(vm.integrate(model, q, e), v, a), nv, 1e-3)) < 1e-6
        assert deviation(dv, jacobian(lambda e: ddq(q, v + e, a), nv, 1e-3)) < 1e-6
        assert deviation(Minv @ M, np.eye(nv)) < 1e-10
    q[3:7] = 0.0  # the free flyer's quaternion: no orientation
    for f in (vm.rnea_derivatives, vm.aba_derivatives):
        with pytest.raises(ValueError, match="quaternion"):
            f(model, data, q, v, a)
