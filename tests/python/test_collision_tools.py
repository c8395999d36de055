"""The collision side of the command-line tools: `velmora collide` and the plot's meshes."""
import os
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

from velmora_tools import cli  # noqa: E402
from velmora_tools.plot import collision_state  # noqa: E402
from velmora_tools.robot import load  # noqa: E402

KUKA = ROOT / "tests" / "robots" / "kuka_iiwa"
FOLDED = "0,0,2.7,0,2.0,0,0"  # elbow folded back: the hand reaches into the upper arm


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def test_collide_lists_colliding_pairs_and_the_closest_one(capsys):
    status, out, _ = run(capsys, "collide", "--q", FOLDED)
    assert status == 0 and "10 collision objects, 31 pairs checked" in out
    assert "Colliding pairs (3)" in out
    depths = [float(line.split()[-1]) for line in out.splitlines() if line.startswith("  upper_arm_link_0")]
    assert len(depths) == 3 and all(d >= 0 for d in depths)
    # The closest pair that does not collide, with its distance, agrees with the module.
    robot = load()
    robot.collision.add_all_collision_pairs()
    data = robot.model.create_data()
    velmora.forward_kinematics(robot.model, data, np.array([float(x) for x in FOLDED.split(",")]))
    results = velmora.compute_distances(robot.collision, robot.collision.create_data(data))
    closest = min((r for r in results if r.distance > 0), key=lambda r: r.distance)
    assert f"at {closest.distance:.6f} m" in out
    status, out, _ = run(capsys, "collide", "--q", "neutral")
    # Closest at the neutral configuration: the top edge of the wrist block and the bottom
    # edge of the sliding jaw, 0.01 apart sideways and 0.07 apart in height.
    assert "No colliding pairs." in out and "wrist_pitch_link_0 - sliding_jaw_link_0 at 0.070711 m" in out


def test_collide_with_srdf_meshes_and_errors(capsys, tmp_path):
    srdf = tmp_path / "arm.srdf"
    srdf.write_text('<robot name="arm"><disable_collisions link1="upper_arm_link" link2="gripper_palm_link"/>'
                    '<disable_collisions link1="upper_arm_link" link2="nowhere"/></robot>')
    status, out, err = run(capsys, "collide", "--q", FOLDED, "--srdf", srdf)
    assert status == 0 and "30 pairs checked" in out and "Colliding pairs (2)" in out
    assert "nowhere" in err
    status, out, _ = run(capsys, "collide", KUKA / "robot.urdf", "--package-dir", KUKA, "--q", "neutral", "--convex")
    assert status == 0 and "8 collision objects, 21 pairs checked" in out
    status, _, err = run(capsys, "collide", "--q", FOLDED, "--srdf", tmp_path / "missing.srdf")
    assert status == 1 and "missing.srdf" in err


def test_plot_state_has_world_mesh_triangles_and_colliding_objects():
    robot = load(str(KUKA / "robot.urdf"), str(KUKA))
    q = np.zeros(7)
    surfaces, colliding = collision_state(robot, q)
    assert len(surfaces) == 8 and not any(colliding)
    # At the neutral configuration the arm stands straight up: every mesh lies around the z axis, the
    # last one highest; the triangles are the file's, moved to the object's world placement.
    data = robot.model.create_data()
    velmora.forward_kinematics(robot.model, data, q)
    placed = robot.collision.create_data(data)
    for k, (triangles, obj) in enumerate(zip(surfaces, robot.collision.geometry_objects)):
        m = placed.get_object_placement(k)
        own = obj.geometry.mesh_triangles().reshape(-1, 3, 3)
        if len(own) == len(triangles):
            np.testing.assert_allclose(triangles, own @ np.asarray(m.rotation).T + m.translation, atol=1e-12)
    assert max(t[..., 2].max() for t in surfaces) == surfaces[-1][..., 2].max()
    sample = load()
    _, colliding = collision_state(sample, np.array([float(x) for x in FOLDED.split(",")]))
    assert [o.name for o, hit in zip(sample.collision.geometry_objects, colliding) if hit] == [
        "upper_arm_link_0", "gripper_palm_link_0", "fixed_jaw_link_0", "sliding_jaw_link_0"]


def test_plot_draws_meshes(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "kuka.png"
    status, out, _ = run(capsys, "plot", KUKA / "robot.urdf", "--package-dir", KUKA, "--q", "neutral", "-o", target)
    assert status == 0 and "8 collision objects (8 meshes)" in out
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
