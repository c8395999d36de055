"""build_model_from_urdf: the model alone, equal to the full loader's, from files whose
geometry is missing or malformed; the command-line tools falling back to it."""

import json
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora

ROOT = Path(__file__).resolve().parents[2]
ROBOTS = ROOT / "tests" / "robots"
LOADABLE = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())

sys.path.insert(0, str(ROOT / "tools"))  # test the tree's tools, installed or not
from velmora_tools import cli  # noqa: E402


def with_placeholders(name, tmp_path, monkeypatch):
    """The robot's folder with an empty file for each mesh it does not ship, and
    ROS_PACKAGE_PATH naming its package folders: what the full loader needs."""
    folder = ROBOTS / name
    missing = folder / "MISSING_MESHES.txt"
    if missing.exists():
        folder = tmp_path / "full" / name
        shutil.copytree(ROBOTS / name, folder)
        for line in missing.read_text().split():
            (folder / line).parent.mkdir(parents=True, exist_ok=True)
            (folder / line).write_bytes(b"")
    monkeypatch.setenv("ROS_PACKAGE_PATH", ":".join(str(p) for p in sorted(folder.iterdir()) if p.is_dir()))
    return folder


def urdf_alone(name, tmp_path):
    """The robot's URDF file copied into an empty folder: no mesh file anywhere."""
    folder = tmp_path / "alone" / name
    folder.mkdir(parents=True)
    shutil.copy(ROBOTS / name / "robot.urdf", folder / "robot.urdf")
    return str(folder / "robot.urdf")


def assert_same_inertia(a, b, what):
    assert a.mass == b.mass, what
    assert a.lever.tolist() == b.lever.tolist(), what
    assert a.inertia.tolist() == b.inertia.tolist(), what


def assert_same_model(a, b):
    """Field by field, exactly."""
    assert (a.name, a.nq, a.nv, a.njoints, a.nframes) == (b.name, b.nq, b.nv, b.njoints, b.nframes)
    assert a.joint_names == b.joint_names
    assert a.joint_parents == b.joint_parents
    assert a.gravity.tolist() == b.gravity.tolist()
    for i, (pa, pb) in enumerate(zip(a.joint_placements, b.joint_placements)):
        assert pa.homogeneous.tolist() == pb.homogeneous.tolist(), a.joint_names[i]
    for ja, jb in zip(a.joint_models, b.joint_models):
        assert (int(ja.joint_type), ja.nq, ja.nv) == (int(jb.joint_type), jb.nq, jb.nv)
    for i, (ia, ib) in enumerate(zip(a.inertias, b.inertias)):
        assert_same_inertia(ia, ib, a.joint_names[i])
    for fa, fb in zip(a.frames, b.frames):
        assert (fa.name, fa.parent_joint, fa.parent_frame, int(fa.frame_type)) == \
            (fb.name, fb.parent_joint, fb.parent_frame, int(fb.frame_type))
        assert fa.placement.homogeneous.tolist() == fb.placement.homogeneous.tolist(), fa.name
        assert_same_inertia(fa.inertia, fb.inertia, fa.name)
    for name in a.joint_names:
        assert a.get_joint_id(name) == b.get_joint_id(name)


# ---------------------------------------------------------------------------- the robots

@pytest.mark.parametrize("name", LOADABLE)
def test_robot_without_meshes_gives_the_full_loaders_model(name, tmp_path, monkeypatch):
    folder = with_placeholders(name, tmp_path, monkeypatch)
    full, _, _ = velmora.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))
    # Nothing to find meshes with: no package folder, no placeholder, no package_dir.
    monkeypatch.delenv("ROS_PACKAGE_PATH")
    alone = urdf_alone(name, tmp_path)
    with pytest.raises(ValueError):
        velmora.build_models_from_urdf(alone)
    model = velmora.build_model_from_urdf(alone)
    assert_same_model(model, full)

    # The same numbers from forward kinematics and inverse dynamics at the reference
    # states, and those numbers are the independent engine's.
    ref = np.load(ROBOTS / name / "reference.npz")
    tol = json.loads((ROBOTS / name / "reference.json").read_text())["suggested_tolerance"]["tau"]
    data, full_data = model.create_data(), full.create_data()
    for q, v, a, tau in zip(ref["q"], ref["v"], ref["a"], ref["tau"]):
        velmora.forward_kinematics(model, data, q)
        velmora.forward_kinematics(full, full_data, q)
        assert [m.homogeneous.tolist() for m in data.oMi] == [m.homogeneous.tolist() for m in full_data.oMi]
        got = velmora.rnea(model, data, q, v, a).to_numpy()
        assert got.tolist() == velmora.rnea(full, full_data, q, v, a).to_numpy().tolist()
        np.testing.assert_allclose(got, tau, rtol=0, atol=tol * max(1.0, np.abs(tau).max()))


# ---------------------------------------------------------------------------- geometry not looked at

LINKS = ('<link name="base"><inertial><origin xyz="0 0 0.1"/><mass value="2"/>'
         '<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/></inertial>{base}</link>'
         '<link name="arm"><inertial><mass value="1"/>'
         '<inertia ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.1"/></inertial>{arm}</link>'
         '<joint name="j" type="revolute"><parent link="base"/><child link="arm"/><origin xyz="0 0 1"/>'
         '<axis xyz="0 1 0"/><limit effort="1" velocity="1"/></joint>')

BAD_GEOMETRY = {
    "missing mesh": '<visual><geometry><mesh filename="meshes/arm.stl"/></geometry></visual>',
    "package mesh": '<collision><geometry><mesh filename="package://nowhere/arm.dae"/></geometry></collision>',
    "mesh without filename": '<visual><geometry><mesh/></geometry></visual>',
    "visual without geometry": "<visual/>",
    "geometry without shape": "<collision><geometry><capsule radius='1' length='1'/></geometry></collision>",
    "box of two": '<collision><geometry><box size="1 2"/></geometry></collision>',
    "sphere of nan": '<visual><geometry><sphere radius="nan"/></geometry></visual>',
    "origin without xyz": '<visual><origin rpy="0 0 1"/><geometry><sphere radius="1"/></geometry></visual>',
    "colour with inf": ('<visual><geometry><sphere radius="1"/></geometry>'
                        '<material name="m"><color rgba="inf 0 0 1"/></material></visual>'),
}


def write(tmp_path, text, name="robot.urdf"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("element", BAD_GEOMETRY.values(), ids=BAD_GEOMETRY.keys())
def test_malformed_or_missing_geometry_loads_model_only(tmp_path, monkeypatch, element):
    monkeypatch.delenv("ROS_PACKAGE_PATH", raising=False)
    clean = write(tmp_path, '<robot name="r">' + LINKS.format(base="", arm="") + "</robot>", "clean.urdf")
    expected, _, _ = velmora.build_models_from_urdf(clean)
    # Robot materials are geometry too: one without a colour is not looked at either.
    material = '<material name="no colour"/>'
    for base, arm, extra in [(element, "", ""), ("", element, material), (element, element, "")]:
        path = write(tmp_path, f'<robot name="r">{extra}' + LINKS.format(base=base, arm=arm) + "</robot>")
        with pytest.raises(ValueError):
            velmora.build_models_from_urdf(path, str(tmp_path))
        assert_same_model(velmora.build_model_from_urdf(path), expected)


MODEL_ERRORS = [
    '<robot><link name="a"/></robot>',
    '<robot name="r"><link name="a"><inertial><mass value="1"/></inertial></link></robot>',
    '<robot name="r"><link name="a"/><link name="b"/><joint name="j" type="ball"><parent link="a"/>'
    '<child link="b"/></joint></robot>',
    '<robot name="r"><link name="a"/><link name="b"/><joint name="j" type="revolute"><parent link="a"/>'
    '<child link="b"/><limit effort="inf" velocity="1"/></joint></robot>',
    '<robot name="r"><link name="a"/><link name="b"/><joint name="j" type="fixed"><parent link="a"/>'
    '<child link="b"/></joint><joint name="k" type="fixed"><parent link="a"/><child link="b"/></joint></robot>',
    '<robot name="r"><link name="a"><visual><geometry><mesh filename="x.stl"/></geometry></visual></link>'
    '<link name="b"/><joint name="j" type="fixed"><parent link="a"/><child link="b"/>'
    '<origin xyz="0 0" /></joint></robot>',
    "<robot name='r'><link name='a'></robot>",
]


@pytest.mark.parametrize("text", MODEL_ERRORS)
def test_errors_of_the_model_are_reported_alike(tmp_path, text):
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as full:
        velmora.build_models_from_urdf(path)
    with pytest.raises(ValueError) as alone:
        velmora.build_model_from_urdf(path)
    if "mesh" not in text:
        assert str(alone.value) == str(full.value)
    else:  # the mesh comes first for the full loader, the model's own error for the other
        assert str(alone.value) == "Invalid value for parameter: xyz"


def test_fuzz_corpus_agrees_between_the_loaders(tmp_path):
    files = sorted((ROOT / "fuzz" / "corpus").iterdir())
    assert files
    for f in files:
        try:
            full, _, _ = velmora.build_models_from_urdf(str(f), str(tmp_path))
        except ValueError:
            continue
        assert_same_model(velmora.build_model_from_urdf(str(f)), full)


def test_arguments(tmp_path):
    path = write(tmp_path, '<robot name="r">' + LINKS.format(base="", arm="") + "</robot>")
    assert velmora.build_model_from_urdf(path, None).nv == 1
    assert velmora.build_model_from_urdf(filepath=path, root_joint=None).nv == 1
    with pytest.raises(TypeError, match="root_joint"):
        velmora.build_model_from_urdf(path, root_joint="free")
    # A root joint carries the root link as in the full loader.
    free = velmora.build_model_from_urdf(path, root_joint=velmora.JointModelFreeFlyer())
    full, _, _ = velmora.build_models_from_urdf(path, root_joint=velmora.JointModelFreeFlyer())
    assert (free.nq, free.nv, free.joint_names) == (full.nq, full.nv, full.joint_names) == (8, 7, full.joint_names)
    assert free.joint_names[1] == "root_joint"
    with pytest.raises(TypeError):
        velmora.build_model_from_urdf(Path(path))
    with pytest.raises(TypeError):
        velmora.build_model_from_urdf()
    with pytest.raises(ValueError) as alone:
        velmora.build_model_from_urdf(path + ".missing")
    with pytest.raises(ValueError) as full:
        velmora.build_models_from_urdf(path + ".missing")
    assert str(alone.value) == str(full.value)
    assert velmora.build_model_from_urdf.__text_signature__ == "(filepath, root_joint=None)"


# ---------------------------------------------------------------------------- command-line tools

def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return status, out, err


def test_commands_go_on_without_geometry(tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("ROS_PACKAGE_PATH", raising=False)
    path = urdf_alone("kuka_iiwa", tmp_path)  # its meshes are relative names, not there
    for argv in (["info"], ["fk", "--q", "neutral"], ["dynamics", "--q", "neutral"],
                 ["bench", "--calls", "20", "--rounds", "1"]):
        status, out, err = run(capsys, *argv, path, "--package-dir", tmp_path)
        assert status == 0, (argv, err)
        notes = [line for line in err.splitlines() if "geometry" in line]
        assert len(notes) == 1 and "Mesh file does not exist" in notes[0], err
        assert out
    status, out, err = run(capsys, "info", path, "--package-dir", tmp_path)
    assert "collision objects: 0" in out and "lbr_iiwa_joint_7" in out
    # Drawing needs the geometry: refused with the loader's message.
    status, _, err = run(capsys, "plot", path, "--package-dir", tmp_path, "-o", tmp_path / "x.png")
    assert status != 0 and "Mesh file does not exist" in err


def test_commands_report_model_errors_once(tmp_path, capsys):
    path = write(tmp_path, '<robot name="r"><link name="a"><inertial><mass value="nan"/><inertia ixx="1" ixy="0" '
                           'ixz="0" iyy="1" iyz="0" izz="1"/></inertial></link></robot>')
    status, out, err = run(capsys, "info", path)
    assert status == 1 and not out
    assert err.strip() == "velmora info: error: Invalid value for parameter: value"
    # A loadable robot with its geometry prints no note.
    status, out, err = run(capsys, "info")
    assert status == 0 and err == ""
