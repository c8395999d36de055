"""Many states per call: forward_kinematics_batch, rnea_batch, aba_batch, mass_matrix_batch,
frame_jacobian_batch and the derivative batches against the single-state calls, for every
thread count, with the argument checks, the result array given by the caller, and the
interpreter lock released while they run."""
import inspect
import os
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

ROBOTS = Path(__file__).resolve().parent.parent / "robots"
# Robots that load without mesh stand-ins: revolute, continuous (two q entries) and prismatic joints.
ROBOT_NAMES = ["kuka_iiwa", "nao", "pr2"]
THREADS = [1, 2, 3, 8]
G = 9.81


def load(name):
    model, _, _ = vm.build_models_from_urdf(str(ROBOTS / name / "robot.urdf"), str(ROBOTS / name))
    return model


def states(model, n, seed=0):
    rng = np.random.default_rng(seed)
    Q = np.array([vm.random_configuration(model).to_numpy() for _ in range(n)]).reshape(n, model.nq)
    V = rng.uniform(-2, 2, (n, model.nv))
    A = rng.uniform(-3, 3, (n, model.nv))
    return Q, V, A


def single_fk(model, q, frame_ids):
    data = model.create_data()
    vm.forward_kinematics(model, data, q)
    frames = model.frames
    return np.array([(data.oMi[frames[f].parent_joint] * frames[f].placement).homogeneous for f in frame_ids])


def single(fn, model, *rows):
    return fn(model, model.create_data(), *rows).to_numpy()


def assert_rounding_close(got, want, rel=1e-13):
    """Row by row within rel of the row's largest magnitude: what running states side by
    side in vector lanes (fused multiply-adds, our own sine and cosine) may change."""
    g, w = got.reshape(len(got), -1), want.reshape(len(want), -1)
    scale = np.maximum(np.abs(w).max(axis=1, initial=0.0), 1e-300)
    assert (np.abs(g - w).max(axis=1, initial=0.0) <= rel * scale).all()


def pendulum(mass=1.7, length=0.6):
    """A rod about x with its mass on y: tau = m l^2 a + m g l cos q, tip at (0, l cos q, l sin q)."""
    model = vm.Model()
    model.add_joint(0, vm.JointModelRX(), vm.SE3.Identity(), "hinge")
    body = vm.Inertia(mass, np.array([0.0, length, 0.0]), np.zeros((3, 3)))
    model.add_frame(vm.Frame("rod", 1, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    tip = vm.SE3(np.eye(3), np.array([0.0, length, 0.0]))
    massless = vm.Inertia(0.0, np.zeros(3), np.zeros((3, 3)))
    model.add_frame(vm.Frame("tip", 1, 0, tip, vm.FrameType.Operational, massless), False)
    return model


@pytest.fixture(scope="module", params=ROBOT_NAMES)
def robot(request):
    model = load(request.param)
    return model, states(model, 37)


# ------------------------------------------------------------------- agreement

def test_rows_equal_single_calls_for_every_thread_count(robot):
    model, (Q, V, A) = robot
    ids = list(range(model.nframes))
    fk_single = np.array([single_fk(model, q, ids) for q in Q])
    tau_single = np.array([single(vm.rnea, model, q, v, a) for q, v, a in zip(Q, V, A)])
    acc_single = np.array([single(vm.aba, model, q, v, t) for q, v, t in zip(Q, V, tau_single)])
    first = {}
    for threads in THREADS:
        fk = vm.forward_kinematics_batch(model, Q, threads=threads)
        tau = vm.rnea_batch(model, Q, V, A, threads=threads)
        acc = vm.aba_batch(model, Q, V, tau_single, threads=threads)
        assert fk.shape == (37, model.nframes, 4, 4) and tau.shape == acc.shape == (37, model.nv)
        for got in (fk, tau, acc):
            assert got.dtype == np.float64 and got.flags.c_contiguous
        # Bit for bit for every thread count: the same code computes each state, whichever
        # thread takes it. Against the single calls: the same up to rounding where four
        # states run side by side in vector lanes, bit for bit for the rows after the
        # last group of four (and everywhere on the single-state path).
        first.setdefault("fk", fk), first.setdefault("tau", tau), first.setdefault("acc", acc)
        assert np.array_equal(fk, first["fk"]) and np.array_equal(tau, first["tau"]), threads
        assert np.array_equal(acc, first["acc"]), threads
        # Forward dynamics solves with the mass matrix: a change of rounding moves its result
        # by up to the condition number times as much (nao's reaches 1e8).
        for got, want, rel in ((fk, fk_single, 1e-13), (tau, tau_single, 1e-13), (acc, acc_single, 1e-12)):
            assert_rounding_close(got, want, rel)
            assert np.array_equal(got[36:], want[36:]), threads
    # The round trip holds to the conditioning of the mass matrix (nao's is poor).
    assert np.allclose(acc, A, rtol=1e-6, atol=1e-6)


def test_mass_matrices_and_jacobians_equal_single_calls(robot):
    model, (Q, _, _) = robot
    data = model.create_data()
    frame = model.nframes - 1
    reps = [vm.Representation.WORLD, vm.Representation.BODY, vm.Representation.MIXED]
    mass = np.array([vm.mass_matrix(model, data, q) for q in Q])
    jacobians = {rep: np.array([vm.frame_jacobian(model, data, q, frame, rep) for q in Q]) for rep in reps}
    for threads in THREADS:
        got = vm.mass_matrix_batch(model, Q, threads=threads)
        assert got.shape == (37, model.nv, model.nv) and np.array_equal(got, mass), threads
        for rep in reps:
            got = vm.frame_jacobian_batch(model, Q, frame, rep, threads=threads)
            assert got.shape == (37, 6, model.nv) and np.array_equal(got, jacobians[rep]), (threads, rep)
    assert np.array_equal(vm.frame_jacobian_batch(model, Q, frame), jacobians[vm.Representation.BODY])


def test_floating_base_rows_equal_single_calls():
    model = vm.build_model_from_urdf(str(ROBOTS / "unitree_a1" / "robot.urdf"), root_joint=vm.JointModelFreeFlyer())
    Q, V, A = states(model, 23)
    data = model.create_data()
    tau = np.array([vm.rnea(model, data, q, v, a).to_numpy() for q, v, a in zip(Q, V, A)])
    acc = np.array([vm.aba(model, data, q, v, t).to_numpy() for q, v, t in zip(Q, V, tau)])
    mass = np.array([vm.mass_matrix(model, data, q) for q in Q])
    for threads in (1, 3):
        assert np.array_equal(vm.rnea_batch(model, Q, V, A, threads=threads), tau)
        assert np.array_equal(vm.aba_batch(model, Q, V, tau, threads=threads), acc)
        assert np.array_equal(vm.mass_matrix_batch(model, Q, threads=threads), mass)
        fk = vm.forward_kinematics_batch(model, Q, [model.nframes - 1], threads=threads)
        assert np.array_equal(fk[:, 0], np.array([single_fk(model, q, [model.nframes - 1])[0] for q in Q]))


def test_pendulum_closed_form_row_by_row():
    m, l = 1.7, 0.6
    model = pendulum(m, l)
    q = np.linspace(-3.0, 3.0, 101)
    a = np.cos(3 * q)
    Q, V, A = q[:, None], np.zeros((101, 1)), a[:, None]
    tau = vm.rnea_batch(model, Q, V, A, threads=2)[:, 0]
    assert tau == pytest.approx(m * l * l * a + m * G * l * np.cos(q), abs=1e-12)
    assert vm.aba_batch(model, Q, V, tau[:, None], threads=2)[:, 0] == pytest.approx(a, abs=1e-12)
    tip = model.frames[-1]
    assert tip.name == "tip"
    placements = vm.forward_kinematics_batch(model, Q, [len(model.frames) - 1, 0], threads=3)
    assert placements.shape == (101, 2, 4, 4)
    assert placements[:, 0, :3, 3] == pytest.approx(np.stack([0 * q, l * np.cos(q), l * np.sin(q)], axis=1),
                                                     abs=1e-15)
    assert np.array_equal(placements[:, 1], np.broadcast_to(np.eye(4), (101, 4, 4)))
    assert vm.mass_matrix_batch(model, Q, threads=2)[:, 0, 0] == pytest.approx(np.full(101, m * l * l), rel=1e-14)
    # The tip's velocity per unit hinge rate: angular (1, 0, 0); in world-aligned axes at the
    # tip, linear (1, 0, 0) x (0, l cos q, l sin q).
    mixed = vm.frame_jacobian_batch(model, Q, len(model.frames) - 1, vm.Representation.MIXED, threads=2)[:, :, 0]
    expected = np.stack([np.ones_like(q), 0 * q, 0 * q, 0 * q, -l * np.sin(q), l * np.cos(q)], axis=1)
    assert mixed == pytest.approx(expected, abs=1e-15)


def test_frame_ids_choose_and_order_frames():
    model = load("kuka_iiwa")
    Q, _, _ = states(model, 5)
    every = vm.forward_kinematics_batch(model, Q)
    ids = [3, 0, model.nframes - 1, 3]
    for chosen in (ids, tuple(ids), np.array(ids, dtype=np.int64)):
        assert np.array_equal(vm.forward_kinematics_batch(model, Q, chosen), every[:, ids])
    assert vm.forward_kinematics_batch(model, Q, []).shape == (5, 0, 4, 4)


def test_no_states():
    model = load("kuka_iiwa")
    Q, V, A = (np.zeros((0, n)) for n in (model.nq, model.nv, model.nv))
    assert vm.forward_kinematics_batch(model, Q).shape == (0, model.nframes, 4, 4)
    assert vm.rnea_batch(model, Q, V, A).shape == (0, model.nv)
    assert vm.aba_batch(model, Q, V, A, threads=4).shape == (0, model.nv)
    empty = vm.Model()  # only the universe: no coordinates at all
    assert vm.rnea_batch(empty, np.zeros((3, 0)), np.zeros((3, 0)), np.zeros((3, 0))).shape == (3, 0)
    identity = np.broadcast_to(np.eye(4), (2, 1, 4, 4))
    assert np.array_equal(vm.forward_kinematics_batch(empty, np.zeros((2, 0))), identity)


# ------------------------------------------------------------------- layouts and out

def test_inputs_of_any_layout():
    model = load("nao")
    Q, V, A = states(model, 12)
    expected = vm.rnea_batch(model, Q, V, A)
    wide = np.zeros((24, model.nq))
    wide[::2] = Q
    fortran = np.asfortranarray(V)
    unaligned = np.frombuffer(b"\0" + A.tobytes(), dtype=float, offset=1).reshape(A.shape)
    assert not fortran.flags.c_contiguous and not unaligned.flags.aligned
    assert np.array_equal(vm.rnea_batch(model, wide[::2], fortran, unaligned, threads=2), expected)
    assert np.array_equal(vm.forward_kinematics_batch(model, wide[::2]), vm.forward_kinematics_batch(model, Q))


def test_out_is_written_and_returned():
    model = load("kuka_iiwa")
    Q, V, A = states(model, 9)
    out = np.full((9, model.nv), np.nan)
    assert vm.rnea_batch(model, Q, V, A, out=out, threads=2) is out
    assert np.array_equal(out, vm.rnea_batch(model, Q, V, A))
    fk_out = np.empty((9, 2, 4, 4))
    assert vm.forward_kinematics_batch(model, Q, [1, 2], out=fk_out) is fk_out
    assert np.array_equal(fk_out, vm.forward_kinematics_batch(model, Q, [1, 2]))
    acc = np.empty((9, model.nv))
    assert vm.aba_batch(model, Q, V, out, None, acc) is acc
    assert np.allclose(acc, A, atol=1e-8)


def test_out_sharing_memory_with_an_input():
    model = load("kuka_iiwa")  # nq == nv: Q, V and A all have the result's shape
    Q, V, A = states(model, 40)
    expected = vm.rnea_batch(model, Q, V, A)
    A_in = A.copy()
    assert np.array_equal(vm.rnea_batch(model, Q, V, A_in, out=A_in, threads=3), expected)
    # Shifted by one row: each result would overwrite the next state before it is read.
    block = np.zeros((41, model.nv))
    block[1:] = V
    got = vm.rnea_batch(model, Q, block[1:], A, out=block[:40], threads=3)
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("out, error", [
    (np.empty((9, 6)), ValueError),
    (np.empty((8, 7)), ValueError),
    (np.empty((9, 7, 1)), ValueError),
    (np.empty((7, 9)).T, ValueError),
    (np.empty((9, 7), dtype=np.float32), TypeError),
    ([[0.0] * 7] * 9, TypeError),
])
def test_bad_out(out, error):
    model = load("kuka_iiwa")
    Q, V, A = states(model, 9)
    with pytest.raises(error, match="'out'"):
        vm.rnea_batch(model, Q, V, A, out=out)


def test_read_only_out_is_refused():
    model = load("kuka_iiwa")
    Q, V, A = states(model, 3)
    out = np.zeros((3, 7))
    out.flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        vm.aba_batch(model, Q, V, A, out=out)


# ------------------------------------------------------------------- argument checks

@pytest.mark.parametrize("fn", [vm.rnea_batch, vm.aba_batch])
def test_wrong_shapes_name_the_argument_before_any_work(fn):
    model = load("kuka_iiwa")
    Q, V, A = states(model, 6)
    third = "A" if fn is vm.rnea_batch else "TAU"
    out = np.full((6, 7), 42.0)
    cases = [
        ((Q[:, :6], V, A), "'Q'"), ((Q[0], V, A), "'Q'"), ((Q, V[:5], A), "'V'"),
        ((Q, V, A[:, :6]), f"'{third}'"), ((Q, V, A[None]), f"'{third}'"),
    ]
    for args, name in cases:
        with pytest.raises(ValueError, match=name):
            fn(model, *args, out=out)
        assert np.all(out == 42.0)
    with pytest.raises(TypeError, match="'V'"):
        fn(model, Q, V.astype(np.float32), A)
    with pytest.raises(TypeError):
        fn(model.create_data(), Q, V, A)


def test_mass_matrix_and_jacobian_argument_checks():
    model = load("kuka_iiwa")
    Q, _, _ = states(model, 4)
    assert vm.mass_matrix_batch(model, Q[:0]).shape == (0, 7, 7)
    assert vm.frame_jacobian_batch(model, Q[:0], 1).shape == (0, 6, 7)
    out = np.full((4, 6, 7), 3.0)
    assert vm.frame_jacobian_batch(model, Q, 2, out=out) is out
    with pytest.raises(ValueError, match="'Q'"):
        vm.mass_matrix_batch(model, Q[:, 1:])
    with pytest.raises(ValueError, match="'out'"):
        vm.mass_matrix_batch(model, Q, out=np.empty((4, 7, 6)))
    with pytest.raises(ValueError, match="'frame_id'.*out of range"):
        vm.frame_jacobian_batch(model, Q, model.nframes)
    with pytest.raises(TypeError, match="'rep'"):
        vm.frame_jacobian_batch(model, Q, 1, 0)
    with pytest.raises(TypeError):
        vm.frame_jacobian_batch(model, Q)


def test_forward_kinematics_argument_checks():
    model = load("kuka_iiwa")
    Q, _, _ = states(model, 4)
    with pytest.raises(ValueError, match="'Q'"):
        vm.forward_kinematics_batch(model, Q[:, :3])
    with pytest.raises(ValueError, match="'frame_ids'.*out of range"):
        vm.forward_kinematics_batch(model, Q, [0, model.nframes])
    with pytest.raises(OverflowError):
        vm.forward_kinematics_batch(model, Q, [-1])
    with pytest.raises(TypeError, match="frame_ids"):
        vm.forward_kinematics_batch(model, Q, 3)
    with pytest.raises(ValueError, match="'out'"):
        vm.forward_kinematics_batch(model, Q, [1], out=np.empty((4, 2, 4, 4)))


def test_threads_argument():
    model = load("kuka_iiwa")
    Q, V, A = states(model, 5)
    expected = vm.rnea_batch(model, Q, V, A, threads=1)
    assert np.array_equal(vm.rnea_batch(model, Q, V, A, threads=None), expected)
    assert np.array_equal(vm.rnea_batch(model, Q, V, A, threads=300), expected)
    with pytest.raises(ValueError, match="'threads'"):
        vm.rnea_batch(model, Q, V, A, threads=0)
    with pytest.raises(OverflowError):
        vm.rnea_batch(model, Q, V, A, threads=-2)
    with pytest.raises(TypeError):
        vm.rnea_batch(model, Q, V, A, threads=1.5)


# ------------------------------------------------------------------- failing states

def hanging_mass():
    """Joint 1 about z carries joint 2 about y carrying a point mass at (0, 0, 1): when joint 2
    is at 0 the mass lies on joint 1's axis and joint 1 has no inertia to accelerate."""
    model = vm.Model()
    model.add_joint(0, vm.JointModelRZ(), vm.SE3.Identity(), "turn")
    model.add_joint(1, vm.JointModelRY(), vm.SE3.Identity(), "tilt")
    point = vm.Inertia(2.0, np.array([0.0, 0.0, 1.0]), np.zeros((3, 3)))
    model.add_frame(vm.Frame("mass", 2, 0, vm.SE3.Identity(), vm.FrameType.Body, point), True)
    return model


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_first_singular_row_is_named(threads):
    model = hanging_mass()
    n = 64
    Q = np.column_stack([np.linspace(-1, 1, n), np.linspace(0.3, 1.2, n)])
    Q[[23, 50, 51], 1] = 0.0
    V, TAU = np.zeros((n, 2)), np.ones((n, 2))
    with pytest.raises(ValueError, match="Singular"):
        single(vm.aba, model, Q[23], V[23], TAU[23])
    out = np.full((n, 2), 7.0)
    with pytest.raises(ValueError, match=r"row 23\b.*'turn'"):
        vm.aba_batch(model, Q, V, TAU, threads=threads, out=out)
    assert np.all(out == 7.0)  # the caller's array is left as it was
    fine = np.delete(np.arange(n), [23, 50, 51])
    assert np.isfinite(vm.aba_batch(model, Q[fine], V[fine], TAU[fine], threads=threads)).all()


# ------------------------------------------------------------------- derivatives

def floating_a1():
    return vm.build_model_from_urdf(str(ROBOTS / "unitree_a1" / "robot.urdf"), root_joint=vm.JointModelFreeFlyer())


def test_derivative_rows_equal_single_calls():
    # A tree with continuous joints and a free-flying base: bit for bit, every thread count.
    for model in (load("pr2"), floating_a1()):
        Q, V, A = states(model, 11, seed=4)
        data = model.create_data()
        tau = np.array([single(vm.rnea, model, q, v, a) for q, v, a in zip(Q, V, A)])
        inverse = [np.array(m) for m in zip(*(vm.rnea_derivatives(model, data, *row) for row in zip(Q, V, A)))]
        forward = [np.array(m) for m in zip(*(vm.aba_derivatives(model, data, *row) for row in zip(Q, V, tau)))]
        for threads in (1, 3):
            for got, want in ((vm.rnea_derivatives_batch(model, Q, V, A, threads=threads), inverse),
                              (vm.aba_derivatives_batch(model, Q, V, tau, threads=threads), forward)):
                assert isinstance(got, tuple) and len(got) == 3
                assert all(np.array_equal(g, w) for g, w in zip(got, want)), threads
        assert [m.shape for m in vm.aba_derivatives_batch(model, Q[:0], V[:0], tau[:0])] == [(0, model.nv, model.nv)] * 3


def test_derivative_batches_out_and_argument_checks():
    model = load("kuka_iiwa")
    n, nv = 5, model.nv
    Q, V, A = states(model, n)
    out = tuple(np.full((n, nv, nv), 7.0) for _ in range(3))
    got = vm.rnea_derivatives_batch(model, Q, V, A, out=out)
    assert all(g is o for g, o in zip(got, out))
    assert all(np.array_equal(o, f) for o, f in zip(out, vm.rnea_derivatives_batch(model, Q, V, A)))
    with pytest.raises(ValueError, match="'out' must hold three arrays, not 2"):
        vm.aba_derivatives_batch(model, Q, V, A, out=out[:2])
    with pytest.raises(ValueError, match=r"'out' must have shape \[5, 7, 7\]"):
        vm.aba_derivatives_batch(model, Q, V, A, out=(out[0], out[1], np.empty((n, nv, nv + 1))))
    with pytest.raises(TypeError, match="'out' must be a sequence of three arrays"):
        vm.rnea_derivatives_batch(model, Q, V, A, out=3)
    with pytest.raises(ValueError, match="'A'"):
        vm.rnea_derivatives_batch(model, Q, V, A[:, :3])
    with pytest.raises(ValueError, match="'TAU'"):
        vm.aba_derivatives_batch(model, Q, V, A[:4])


@pytest.mark.parametrize("threads", [1, 3])
def test_derivative_batches_name_the_first_failing_row_and_leave_out(threads):
    model = hanging_mass()
    n = 40
    Q = np.column_stack([np.linspace(-1, 1, n), np.linspace(0.3, 1.2, n)])
    Q[[9, 30], 1] = 0.0  # the mass on the first joint's axis: the mass matrix is singular
    V, TAU = np.zeros((n, 2)), np.ones((n, 2))
    out = tuple(np.full((n, 2, 2), 7.0) for _ in range(3))
    with pytest.raises(ValueError, match=r"aba_derivatives_batch\(\) failed at the state in row 9\b.*Singular"):
        vm.aba_derivatives_batch(model, Q, V, TAU, threads=threads, out=out)
    assert all(np.all(o == 7.0) for o in out)
    # A quaternion with no direction: refused before any state is computed.
    floating = floating_a1()
    Q, V, A = states(floating, 24)
    Q[17, 3:7] = 0.0
    out = tuple(np.full((24, floating.nv, floating.nv), 7.0) for _ in range(3))
    with pytest.raises(ValueError, match=r"rnea_derivatives_batch\(\) failed at the state in row 17\b"):
        vm.rnea_derivatives_batch(floating, Q, V, A, threads=threads, out=out)
    assert all(np.all(o == 7.0) for o in out)


# ------------------------------------------------------------------- threads

def test_interpreter_lock_is_released_while_computing():
    model = load("kuka_iiwa")
    Q, V, A = states(model, 64)
    reps = 2000  # about 0.1 s of work on one core
    Q, V, A = (np.tile(x, (reps, 1)) for x in (Q, V, A))
    window = {}

    def work():
        window["start"] = time.perf_counter()
        vm.rnea_batch(model, Q, V, A, threads=1)
        window["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    start, end = window["start"], window["end"]
    margin = (end - start) * 0.1
    inside = [t for t in ticks if start + margin < t < end - margin]
    # With the lock held for the whole call, this thread could not run inside the window.
    assert len(inside) > 100, (end - start, len(inside))


def test_concurrent_callers_share_the_pool():
    model = load("nao")
    inputs = [states(model, 50, seed) for seed in range(6)]
    expected = [vm.rnea_batch(model, *x, threads=1) for x in inputs]
    results = [None] * len(inputs)

    def run(k):
        for _ in range(20):
            results[k] = vm.rnea_batch(model, *inputs[k], threads=2 + k % 3)

    callers = [threading.Thread(target=run, args=(k,)) for k in range(len(inputs))]
    for c in callers:
        c.start()
    for c in callers:
        c.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_pool_works_in_a_forked_child():
    model = load("kuka_iiwa")
    Q, V, A = states(model, 64)
    expected = vm.rnea_batch(model, Q, V, A, threads=2)  # the parent's pool threads exist now
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a process with threads
        pid = os.fork()
    if pid == 0:
        try:
            ok = np.array_equal(vm.rnea_batch(model, Q, V, A, threads=2), expected)
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            assert os.waitstatus_to_exitcode(status) == 0
            return
        time.sleep(0.01)
    os.kill(pid, 9)
    pytest.fail("the batch call in the forked child did not finish")


def test_text_signatures():
    assert str(inspect.signature(vm.rnea_batch)) == "(model, Q, V, A, threads=None, out=None)"
    assert str(inspect.signature(vm.aba_batch)) == "(model, Q, V, TAU, threads=None, out=None)"
    assert str(inspect.signature(vm.forward_kinematics_batch)) == "(model, Q, frame_ids=None, threads=None, out=None)"
    assert str(inspect.signature(vm.mass_matrix_batch)) == "(model, Q, threads=None, out=None)"
    assert str(inspect.signature(vm.frame_jacobian_batch)) == "(model, Q, frame_id, rep=None, threads=None, out=None)"
    assert str(inspect.signature(vm.rnea_derivatives_batch)) == "(model, Q, V, A, threads=None, out=None)"
    assert str(inspect.signature(vm.aba_derivatives_batch)) == "(model, Q, V, TAU, threads=None, out=None)"
