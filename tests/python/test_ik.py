"""Inverse kinematics (velmora_tools.ik and `velmora ik`): reachable targets from random
starts, unreachable ones reported, the rotation logarithm it steers by."""

import math
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

from velmora_tools import cli, ik, sample_urdf  # noqa: E402
from velmora_tools.robot import read_urdf_limits  # noqa: E402

PANDA = ROOT / "tests" / "robots" / "franka_panda"


@pytest.fixture(scope="module")
def panda_path(tmp_path_factory):
    """The Panda with empty stand-ins for its missing meshes, found through ROS_PACKAGE_PATH."""
    copy = tmp_path_factory.mktemp("robots") / "franka_panda"
    shutil.copytree(PANDA, copy)
    packages = []
    for line in filter(None, map(str.strip, (copy / "MISSING_MESHES.txt").read_text().split("\n"))):
        (copy / line).parent.mkdir(parents=True, exist_ok=True)
        (copy / line).touch()
        packages.append(str(copy / line.split("/")[0]))
    saved = os.environ.get("ROS_PACKAGE_PATH")
    os.environ["ROS_PACKAGE_PATH"] = ":".join(packages)
    yield copy / "robot.urdf"
    os.environ.pop("ROS_PACKAGE_PATH") if saved is None else os.environ.update(ROS_PACKAGE_PATH=saved)


def within_limits(model, lower, upper, rng):
    """A configuration drawn uniformly within the limits (continuous joints: any angle)."""
    bounded = np.isfinite(lower) & np.isfinite(upper)
    low, high = np.where(bounded, lower, -math.pi), np.where(bounded, upper, math.pi)
    draw = low + (high - low) * rng.uniform(size=model.nv)
    return ik.integrate(model, vm.neutral(model).to_numpy(), draw)


@pytest.mark.parametrize("robot, frame", [("sample", "tcp_link"), ("panda", "panda_hand")])
def test_reaches_random_targets_from_random_starts(robot, frame, panda_path):
    path = sample_urdf() if robot == "sample" else str(panda_path)
    model = vm.build_models_from_urdf(path, None if robot == "sample" else str(panda_path.parent))[0]
    limits = read_urdf_limits(path)
    lower, upper = ik.velocity_limits(model, limits)
    frame_id = max(i for i, f in enumerate(model.frames) if f.name == frame)
    data, rng = model.create_data(), np.random.default_rng(2024)
    for trial in range(100):
        goal = within_limits(model, lower, upper, rng)
        vm.forward_kinematics(model, data, goal)
        target = vm.frame_placement(model, data, frame_id)
        start = within_limits(model, lower, upper, rng)
        result = ik.solve(model, frame_id, target.translation, target.rotation, start, limits, seed=trial)
        assert result.converged, (trial, result)
        # The residual is measured again here, independently of the solver's own bookkeeping.
        vm.forward_kinematics(model, data, result.q)
        reached = vm.frame_placement(model, data, frame_id)
        assert np.linalg.norm(reached.translation - target.translation) < 1e-9
        assert np.linalg.norm(ik.rotation_log(reached.rotation.T @ target.rotation)) < 1e-9
        v_q = ik.clamp(model, result.q, lower, upper)
        assert np.array_equal(v_q, result.q), "the solution leaves the joint limits"


def test_unreachable_target_is_reported(capsys):
    model = vm.build_models_from_urdf(sample_urdf())[0]
    result = ik.solve(model, model.nframes - 1, [3.0, 0.0, 0.0], max_iterations=400, max_restarts=3)
    assert not result.converged and result.position_error > 1.0
    status = cli.main(["ik", "--target", "3,0,0", "--max-iterations", "300"])
    out, err = capsys.readouterr()
    assert status == 1 and out == ""
    assert "velmora ik: error:" in err and "out of reach" in err and "Traceback" not in err


def test_cli_prints_solution_residual_iterations(capsys):
    status = cli.main(["ik", "--frame", "tcp_link", "--target", "-0.3,0.2,0.5", "--rpy", "3.0,0.1,-0.2"])
    out, err = capsys.readouterr()
    assert status == 0, err
    lines = dict(line.split(": ", 1) for line in out.splitlines()[1:])
    q = np.array([float(x) for x in lines["solution q"].split(",")])
    model = vm.build_models_from_urdf(sample_urdf())[0]
    data = model.create_data()
    vm.forward_kinematics(model, data, q)
    placement = vm.frame_placement(model, data, model.nframes - 1)
    assert np.allclose(placement.translation, [-0.3, 0.2, 0.5], atol=1e-9)
    assert np.allclose(placement.rotation, ik.rpy_matrix(3.0, 0.1, -0.2), atol=1e-9)
    assert lines["residual"].endswith("rad") and int(lines["iterations"].split()[0]) > 0
    for argv, text in [(["ik", "--frame", "nope", "--target", "0,0,1"], "no frame named 'nope'"),
                       (["ik", "--target", "1,2"], "three numbers")]:
        assert cli.main(argv) == 2
        assert text in capsys.readouterr().err


@pytest.mark.parametrize("angle", [0.0, 1e-9, 0.3, 2.0, math.pi - 1e-7, math.pi])
def test_rotation_log_inverts_the_exponential(angle):
    axis = np.array([0.2, -0.6, 0.75])
    axis /= np.linalg.norm(axis)
    K = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    R = np.eye(3) + math.sin(angle) * K + (1 - math.cos(angle)) * K @ K
    w = ik.rotation_log(R)
    if angle > math.pi - 1e-6:  # at pi, w and -w are the same rotation
        w = w if w @ axis >= 0 else -w
    assert np.allclose(w, axis * angle, atol=1e-7 if angle > 3 else 1e-15)
