"""The velmora command-line tools and their sample robot."""

import math
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))  # test the tree's tools, installed or not

from velmora_tools import cli, sample_urdf  # noqa: E402
from velmora_tools.plot import scene  # noqa: E402
from velmora_tools.robot import frame_placements, gravity_and_mass_matrix, load, rpy  # noqa: E402

ROBOTS = ROOT / "tests" / "robots"
KUKA = ROBOTS / "kuka_iiwa"
G = 9.81
Q_ARM = [-0.3, 0.5, 1.0, 0.0, 0.8, 0.0, 0.03]


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def rows(text, first_cell):
    """Cells of the table rows of `text` whose second cell is `first_cell`."""
    return [line.split() for line in text.splitlines() if len(line.split()) > 1 and line.split()[1] == first_cell]


# The sample robot: its data, then its physics.

def solid_inertia(geometry, mass):
    shape = geometry[0]
    if shape.tag == "cylinder":
        r, length = float(shape.get("radius")), float(shape.get("length"))
        side = mass * (3 * r * r + length * length) / 12
        return np.array([side, side, mass * r * r / 2])
    if shape.tag == "box":
        x, y, z = (float(s) for s in shape.get("size").split())
        return mass / 12 * np.array([y * y + z * z, x * x + z * z, x * x + y * y])
    assert shape.tag == "sphere"
    return np.full(3, 0.4 * mass * float(shape.get("radius")) ** 2)


def test_sample_arm_is_built_as_described():
    model, collision, visual = vm.build_models_from_urdf(sample_urdf())
    assert (model.nq, model.nv) == (7, 7)
    kinds = [repr(jm.joint_type) for jm in model.joint_models[1:]]
    assert kinds == ["JointType.Revolute"] * 6 + ["JointType.Prismatic"]
    assert sorted(f.name for f in model.frames if repr(f.frame_type) == "FrameType.Fixed") == \
        ["__WORLD_FRAME__", "fixed_jaw_mount", "tcp", "tool_flange"]
    assert sum(i.mass for i in model.inertias) == pytest.approx(17.2, abs=1e-12)
    assert collision.ngeoms == visual.ngeoms == 10
    assert all(int(o.geometry.shape_type) in (2, 3, 4) for o in collision.geometry_objects)  # no meshes

    # Each link is the uniform solid of its collision primitive, centred on it.
    for link in ET.parse(sample_urdf()).getroot().iter("link"):
        inertial = link.find("inertial")
        if inertial is None:
            assert link.find("collision") is None, link.get("name")
            continue
        mass = float(inertial.find("mass").get("value"))
        tensor = inertial.find("inertia")
        diagonal = np.array([float(tensor.get(k)) for k in ("ixx", "iyy", "izz")])
        assert [float(tensor.get(k)) for k in ("ixy", "ixz", "iyz")] == [0, 0, 0]
        ixx, iyy, izz = diagonal
        assert min(diagonal) > 0 and ixx + iyy >= izz and iyy + izz >= ixx and ixx + izz >= iyy
        collision_el = link.find("collision")
        assert inertial.find("origin").get("xyz") == collision_el.find("origin").get("xyz")
        np.testing.assert_allclose(diagonal, solid_inertia(collision_el.find("geometry"), mass), rtol=1e-6,
                                   err_msg=link.get("name"))


def test_sample_arm_dynamics_invariants_and_gravity_closed_form():
    robot = load()
    model, data = robot.model, robot.model.create_data()
    rng = np.random.default_rng(7)
    for _ in range(10):
        q = vm.random_configuration(model).to_numpy()
        _, mass = gravity_and_mass_matrix(robot, data, q)
        np.testing.assert_allclose(mass, mass.T, atol=1e-12)
        assert np.linalg.eigvalsh(mass)[0] > 1e-5
        v, a = rng.uniform(-1, 1, 7), rng.uniform(-1, 1, 7)
        tau = vm.rnea(model, data, q, v, a).to_numpy()
        np.testing.assert_allclose(vm.aba(model, data, q, v, tau).to_numpy(), a, atol=1e-10)

    # Straight up, nothing needs holding; with the shoulder at 90 degrees the arm lies along +x and
    # each pitch joint holds the moment of the masses beyond it (distances from the shoulder).
    g_up, _ = gravity_and_mass_matrix(robot, data, np.zeros(7))
    np.testing.assert_allclose(g_up, 0, atol=1e-12)
    bodies = [(4.0, 0.2), (2.5, 0.56), (0.6, 0.76), (0.7, 0.84), (0.3, 0.895), (0.5, 0.93), (0.05, 0.98), (0.05, 0.98)]

    def moment(pivot):
        return -G * sum(m * (d - pivot) for m, d in bodies if d > pivot)

    g_flat, _ = gravity_and_mass_matrix(robot, data, np.array([0, math.pi / 2, 0, 0, 0, 0, 0]))
    np.testing.assert_allclose(g_flat, [0, moment(0), moment(0.4), 0, moment(0.8), 0, 0], atol=1e-9)


# Helpers against an independent engine's values: mass matrix and gravity assembled from rnea
# (r2d2 has continuous joints, so nq != nv), and frame placements composed from joint placements.

@pytest.mark.parametrize("name", ["kuka_iiwa", "r2d2"])
def test_dynamics_and_placements_match_reference(name):
    import json
    folder = ROBOTS / name
    ref = np.load(folder / "reference.npz")
    links = json.loads((folder / "reference.json").read_text())["link_names"]
    robot = load(str(folder / "robot.urdf"), str(folder))
    data = robot.model.create_data()
    for k in (0, 11):
        q = ref["q"][k]
        g, mass = gravity_and_mass_matrix(robot, data, q)
        np.testing.assert_allclose(g, ref["g"][k], atol=1e-9)
        np.testing.assert_allclose(mass, ref["M"][k], atol=1e-9)
        vm.forward_kinematics(robot.model, data, q)
        bodies = {f.name: p for f, p in frame_placements(robot, data) if repr(f.frame_type) == "FrameType.Body"}
        for i, link in enumerate(links):
            np.testing.assert_allclose(bodies[link].homogeneous, ref["oMl"][k][i], atol=1e-9)


def rotation(roll, pitch, yaw):
    c, s = np.cos, np.sin
    rx = np.array([[1, 0, 0], [0, c(roll), -s(roll)], [0, s(roll), c(roll)]])
    ry = np.array([[c(pitch), 0, s(pitch)], [0, 1, 0], [-s(pitch), 0, c(pitch)]])
    rz = np.array([[c(yaw), -s(yaw), 0], [s(yaw), c(yaw), 0], [0, 0, 1]])
    return rz @ ry @ rx


@pytest.mark.parametrize("angles", [(0.3, -0.7, 2.5), (-3.0, 1.2, -0.4), (0.4, math.pi / 2, 0.9),
                                    (0.4, -math.pi / 2, -0.9), (math.pi, 0, 0)])
def test_rpy_gives_back_the_rotation(angles):
    r = rotation(*angles)
    np.testing.assert_allclose(rotation(*rpy(r)), r, atol=1e-12)


# The commands.

def test_info_on_sample(capsys):
    status, out, _ = run(capsys, "info")
    assert status == 0
    assert rows(out, "jaw_slide")[0][2:6] == ["prismatic", "wrist_yaw", "1", "1"]
    assert "[0, 0.085] m, 0.1 m/s, 40 N" in out
    assert "total mass: 17.2 kg" in out
    assert "collision objects: 10 (cuboid 4, cylinder 5, sphere 1)" in out
    assert rows(out, "tcp") == [["20", "tcp", "fixed", "6", "wrist_yaw"]]


@pytest.mark.parametrize("q, tcp", [
    ("neutral", [0, 0, 1.26, 0, 0, 0]),
    # Pan by -pi, shoulder at +90 degrees: the arm lies along -x (pitch pi/2, where only roll - yaw
    # is defined). The negative first value is passed as a separate word after --q.
    ("-3.141592653589793,1.5707963267948966,0,0,0,0,0", [-1.0, 0, 0.26, None, math.pi / 2, None]),
])
def test_fk_prints_every_frame(capsys, q, tcp):
    status, out, _ = run(capsys, "fk", "--q", q)
    assert status == 0
    assert len(rows(out, "tool_flange")) == 1 and len(out.splitlines()) == 7 + 22
    values = [float(x) for x in rows(out, "tcp")[0][4:]]
    for got, want in zip(values, tcp):
        if want is not None:
            assert got == pytest.approx(want, abs=1e-4)


def test_dynamics_on_sample(capsys):
    status, out, _ = run(capsys, "dynamics", "--q", "0,1.5707963267948966,0,0,0,0,0")
    assert status == 0
    assert float(rows(out, "shoulder_lift")[0][2]) == pytest.approx(-G * 4.0755, rel=1e-5)
    matrix = [r for r in rows(out, "shoulder_pan") if len(r) == 9]
    assert len(matrix) == 1 and float(matrix[0][2]) > 0
    assert "largest asymmetry" in out and "gives back a random a" in out


def test_bench_reports_each_algorithm_with_progress(capsys):
    status, out, err = run(capsys, "bench", "--calls", "60", "--rounds", "2")
    assert status == 0
    for name in ("forward_kinematics", "rnea", "aba", "rnea_derivatives", "aba_derivatives", "rnea_batch, per state",
                 "aba_batch, per state", "rnea_derivatives_batch, per state", "aba_derivatives_batch, per state"):
        assert f"  {name} " in out
        assert f"bench: timing {name}" in err
    assert "2 rounds of 30 calls" in out


def test_plot_writes_png(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "arm.png"
    status, out, _ = run(capsys, "plot", "--q", ",".join(map(str, Q_ARM)), "-o", target)
    assert status == 0 and str(target) in out
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_plot_without_matplotlib_says_how_to_get_it(capsys, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    status, _, err = run(capsys, "plot", "-o", tmp_path / "arm.png")
    assert status == 1 and "pip install 'velmora[plot]'" in err
    assert not (tmp_path / "arm.png").exists()


@pytest.mark.parametrize("pose, low, high", [
    (np.zeros(7), [-0.09, -0.09, 0.0], [0.09, 0.09, 1.27]),
    # Shoulder at +90 degrees: the arm lies along +x, 0.26 m up (upper arm radius 0.055); jaw tips at 1.01 m.
    (np.array([0, math.pi / 2, 0, 0, 0, 0, 0]), [-0.09, -0.09, 0.0], [1.01, 0.09, 0.315]),
])
def test_plot_outlines_follow_the_robot(pose, low, high):
    segments, joints, outlines, meshes = scene(load(), pose)
    points = np.vstack(outlines)
    np.testing.assert_allclose(points.min(axis=0), low, atol=1e-6)
    np.testing.assert_allclose(points.max(axis=0), high, atol=1e-6)
    assert len(joints) == 7 and len(meshes) == 0 and len(segments) == 7 + 3


@pytest.mark.parametrize("argv", [["info"], ["fk", "--q", "random"], ["dynamics"], ["bench", "--calls", "30"], ["plot"]])
def test_commands_on_kuka_with_package_dir(capsys, tmp_path, argv):
    if argv[0] == "plot":
        pytest.importorskip("matplotlib")
        argv = argv + ["-o", tmp_path / "kuka.png"]
    status, out, _ = run(capsys, argv[0], KUKA / "robot.urdf", "--package-dir", KUKA, *argv[1:])
    assert status == 0 and "lbr_iiwa" in out


# Failures: the message, a non-zero status, no traceback.

BAD_URDF = {
    "not_xml.urdf": ("<robot name='x'><link name='a'>", "XML parsing error: "),
    "no_robot.urdf": ("<model/>", "No <robot> tag found in URDF."),
    "bad_joint.urdf": ("<robot name='r'><link name='a'/><link name='b'/><joint name='j' type='floating'>"
                       "<parent link='a'/><child link='b'/></joint></robot>", "unknown joint type (floating)."),
}


@pytest.mark.parametrize("argv, status, message", [
    (["info", "/no/such/robot.urdf"], 1, "IO error: "),
    (["plot", KUKA / "robot.urdf"], 1, "'package_dir' must be provided to resolve mesh file paths (pass --package-dir"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    ([], 2, "usage: velmora"),
    (["fk", "--q", "1,2,3"], 2, "--q has 3 values, but robot 'sample_arm' has nq = 7"),
    (["dynamics", "--q", "1,x"], 2, "expected 'neutral', 'random' or numbers separated by commas"),
    (["plot", "--q", "0,0,0,0,0,0,nan"], 2, "expected finite numbers, got nan"),
    (["bench", "--calls", "0"], 2, "expected a positive whole number"),
] + [(["fk", name], 1, message) for name, (_, message) in BAD_URDF.items()])
def test_errors_are_reported_without_traceback(capsys, tmp_path, monkeypatch, argv, status, message):
    monkeypatch.chdir(tmp_path)
    for name, (text, _) in BAD_URDF.items():
        (tmp_path / name).write_text(text)
    got, out, err = run(capsys, *argv)
    assert got == status and message in err and out == ""


def test_module_entry_point_in_a_fresh_interpreter(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(ROOT / "tools")] + [p for p in sys.path if p])
    ok = subprocess.run([sys.executable, "-m", "velmora_tools", "fk", "--q", "neutral"],
                        capture_output=True, text=True, env=env, timeout=120)
    assert ok.returncode == 0 and "tcp_link" in ok.stdout
    bad = subprocess.run([sys.executable, "-m", "velmora_tools", "info", str(tmp_path / "missing.urdf")],
                         capture_output=True, text=True, env=env, timeout=120)
    assert bad.returncode == 1 and "IO error" in bad.stderr and "Traceback" not in bad.stderr


def test_root_joint_option(capsys):
    # The quadruped on a free flyer: its weight is carried by the root's vertical force alone
    # when it stands upright, and the root's coordinates are named by what they move.
    a1 = ROBOTS / "unitree_a1" / "robot.urdf"
    status, out, _ = run(capsys, "dynamics", a1, "--root-joint", "free-flyer", "--q", "neutral")
    assert status == 0
    weight = rows(out, "root_joint.vz")[0]
    assert float(weight[2]) == pytest.approx(13.741 * G, rel=1e-5) and weight[3:] == ["N"]
    assert rows(out, "root_joint.wx")[0][3:] == ["N", "m"]
    assert [float(rows(out, f"root_joint.{name}")[0][2]) for name in ("vx", "vy")] == [0.0, 0.0]
    status, out, _ = run(capsys, "info", a1, "--root-joint", "planar")
    assert status == 0 and rows(out, "root_joint")[0][2:6] == ["planar", "__WORLD__", "4", "3"]
    status, out, err = run(capsys, "fk", KUKA / "robot.urdf", "--package-dir", KUKA, "--root-joint", "free-flyer",
                           "--q", "neutral")
    assert status == 0 and "root_joint" in out, err
    assert run(capsys, "info", a1, "--root-joint", "floating")[0] == 2
