"""Loading URDF files: errors and their texts, the walk order, frames, inertias,
geometry objects, materials, mesh paths, and every robot of tests/robots."""

import json
import math
import os
import shutil
from pathlib import Path

import numpy as np
import pytest

import velmora
from velmora import FrameType

ROOT = Path(__file__).resolve().parents[2]
ROBOTS = ROOT / "tests" / "robots"
LOADABLE = sorted(p.name for p in ROBOTS.iterdir() if (p / "reference.npz").exists())


def load(tmp_path, text, package_dir=None, name="robot.urdf"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return velmora.build_models_from_urdf(str(path), package_dir)


def error_of(tmp_path, text, package_dir=None):
    with pytest.raises(ValueError) as info:
        load(tmp_path, text, package_dir)
    return str(info.value)


def robot(body, name="r"):
    return f'<robot name="{name}">{body}</robot>'


def rev(name, parent, child, extra=""):
    return (f'<joint name="{name}" type="revolute"><parent link="{parent}"/><child link="{child}"/>'
            f'<limit effort="1" velocity="1"/>{extra}</joint>')


def fixed(name, parent, child, extra=""):
    return f'<joint name="{name}" type="fixed"><parent link="{parent}"/><child link="{child}"/>{extra}</joint>'


INERTIAL = ('<inertial><origin xyz="{xyz}" rpy="{rpy}"/><mass value="{m}"/>'
            '<inertia ixx="{i[0]}" ixy="{i[1]}" ixz="{i[2]}" iyy="{i[3]}" iyz="{i[4]}" izz="{i[5]}"/></inertial>')


def inertial(m=1.0, xyz="0 0 0", rpy="0 0 0", i=(1, 0, 0, 1, 0, 1)):
    return INERTIAL.format(m=m, xyz=xyz, rpy=rpy, i=i)


def frame_id(model, name, frame_type):
    found = [i for i, f in enumerate(model.frames) if f.name == name and int(f.frame_type) == int(frame_type)]
    assert len(found) == 1, (name, frame_type)
    return found[0]


def frame_by(model, name, frame_type):
    return model.frames[frame_id(model, name, frame_type)]


def rot_z(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1.0]])


def rot_y(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])


def rot_x(a):
    c, s = math.cos(a), math.sin(a)
    return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


# ---------------------------------------------------------------------------- errors

TWO_LINKS = '<link name="base"/><link name="arm"/>'

ERRORS = {
    "no robot": ('<?xml version="1.0"?><urdf><link name="a"/></urdf>', "No <robot> tag found in URDF."),
    "robot without name": ('<robot><link name="a"/></robot>', "Missing name attribute for <robot>."),
    "material without color": (robot('<material name="red"/>'),
                               "the <material> tag named 'red' does not have a corresponding <color> tag."),
    "material without name": (robot('<material><color rgba="1 0 0 1"/></material>'),
                               "Missing name attribute for <material>."),
    "material rgba of 3": (robot('<material name="m"><color rgba="1 0 0"/></material>'),
                           "Invalid value for parameter: rgba"),
    "child names unknown link": (robot('<link name="base"/>' + rev("j", "base", "ghost")), "Unknown link name: ghost"),
    "child without link": (robot(TWO_LINKS + '<joint name="j" type="fixed"><parent link="base"/><child/></joint>'),
                           "Missing required parameter: link"),
    "inertial without mass": (robot('<link name="base"><inertial><inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" '
                                    'izz="1"/></inertial></link>'),
                              "<inertial> tag in link 'base' missing mass data."),
    "inertial without inertia": (robot('<link name="base"><inertial><mass value="1"/></inertial></link>'),
                                 "<inertial> tag in link 'base' missing inertia data."),
    "mass abc": (robot('<link name="base">' + inertial(m="abc") + '</link>'), "Invalid value for parameter: value"),
    "inertia without iyz": (robot('<link name="base"><inertial><mass value="1"/><inertia ixx="1" ixy="0" ixz="0" '
                                  'iyy="1" izz="1"/></inertial></link>'), "Missing required parameter: iyz"),
    "padded number": (robot('<link name="base">' + inertial(m=" 1") + '</link>'), "Invalid value for parameter: value"),
    "box of two": (robot('<link name="arm"><collision><geometry><box size="1 2"/></geometry></collision></link>'),
                   "Invalid value for parameter: size"),
    "cylinder without length": (robot('<link name="arm"><visual><geometry><cylinder radius="1"/></geometry>'
                                      '</visual></link>'), "Missing required parameter: length"),
    "visual without geometry": (robot('<link name="arm"><visual/></link>'),
                                "the <visual> tag named 'arm_0' does not have a corresponding <geometry> tag."),
    "collision without geometry": (robot('<link name="arm"><collision><origin xyz="0 0 0"/></collision></link>'),
                                   "the <visual> tag named 'arm_0' does not have a corresponding <geometry> tag."),
    "geometry without shape": (robot('<link name="arm"><collision><geometry><capsule radius="1" length="1"/>'
                                     '</geometry></collision></link>'),
                               "the <geometry> tag named 'arm_0' does not have a corresponding shape tag."),
    "origin without xyz": (robot('<link name="arm"><visual><origin rpy="0 0 1"/><geometry><sphere radius="1"/>'
                                 '</geometry></visual></link>'), "Missing required parameter: xyz"),
    "origin rpy of two": (robot(TWO_LINKS + rev("j", "base", "arm", '<origin xyz="0 0 0" rpy="0 1"/>')),
                          "Invalid value for parameter: rpy"),
    "revolute without limit": (robot(TWO_LINKS + '<joint name="j" type="revolute"><parent link="base"/>'
                                     '<child link="arm"/></joint>'), "Missing required parameter: limit"),
    "limit without velocity": (robot(TWO_LINKS + '<joint name="j" type="prismatic"><parent link="base"/>'
                                     '<child link="arm"/><limit effort="1"/></joint>'),
                               "Missing required parameter: velocity"),
    "continuous limit without effort": (robot(TWO_LINKS + '<joint name="j" type="continuous"><parent link="base"/>'
                                              '<child link="arm"/><limit velocity="1"/></joint>'),
                                        "Missing required parameter: effort"),
    "floating": (robot(TWO_LINKS + '<joint name="j" type="floating"><parent link="base"/><child link="arm"/>'
                       '</joint>'), "unknown joint type (floating)."),
    "type in other case": (robot(TWO_LINKS + '<joint name="j" type="Fixed"><parent link="base"/><child link="arm"/>'
                                 '</joint>'), "unknown joint type (Fixed)."),
    "joint without type": (robot(TWO_LINKS + '<joint name="j"><parent link="base"/><child link="arm"/></joint>'),
                           "Missing required parameter: type"),
    "joint without name": (robot(TWO_LINKS + '<joint type="fixed"><parent link="base"/><child link="arm"/></joint>'),
                           'Missing name attribute for <joint type="fixed">.'),
    "duplicate moving joint": (robot('<link name="a"/><link name="b"/><link name="c"/>' + rev("j1", "a", "b")
                                     + rev("j1", "b", "c")),
                               "Model error: Joint name 'j1' is already used by joint with id 1."),
    "bad axis": (robot(TWO_LINKS + rev("j", "base", "arm", '<axis xyz="0 0"/>')), "Invalid value for parameter: xyz"),
}


@pytest.mark.parametrize("text, message", ERRORS.values(), ids=ERRORS.keys())
def test_error_texts(tmp_path, text, message):
    assert error_of(tmp_path, text) == message


@pytest.mark.parametrize("text", [
    '<robot name="r"><link name="a"></robot>',
    "plain text",
    "",
    '<robot name="r"/><robot name="s"/>',
    '<robot name="r"/>trailing text',
    '<?xml version="1.0"?>\n<!DOCTYPE robot [<!ENTITY e "x">]>\n<robot name="&e;"/>',
    '<!DOCTYPE robot SYSTEM "/etc/passwd"><robot name="r"/>',
    '<robot name="r&#xD800;"/>',
    '<robot name="r">\x00</robot>',
])
def test_malformed_xml_and_doctype_refused(tmp_path, text):
    assert error_of(tmp_path, text).startswith("XML parsing error: ")


def test_io_errors(tmp_path):
    missing = tmp_path / "none.urdf"
    with pytest.raises(ValueError) as info:
        velmora.build_models_from_urdf(str(missing))
    text = str(info.value)
    assert text.startswith("IO error: ") and text.endswith(f" (file: {missing})")
    assert "No such file or directory" in text

    latin1 = tmp_path / "latin1.urdf"
    latin1.write_bytes('<robot name="caf\xe9"/>'.encode("latin-1"))
    with pytest.raises(ValueError, match=r"^IO error: .*UTF-8.* \(file: "):
        velmora.build_models_from_urdf(str(latin1))

    with pytest.raises(ValueError, match="^IO error: "):
        velmora.build_models_from_urdf(str(tmp_path))
    with pytest.raises(ValueError, match="^IO error: "):
        velmora.build_models_from_urdf(str(latin1) + "\0.urdf")


def test_arguments(tmp_path):
    path = tmp_path / "r.urdf"
    path.write_text(robot('<link name="a"/>'))
    model, _, _ = velmora.build_models_from_urdf(filepath=str(path), package_dir=None)
    assert model.name == "r"
    with pytest.raises(TypeError):
        velmora.build_models_from_urdf(path)  # a Path, not a str
    with pytest.raises(TypeError):
        velmora.build_models_from_urdf(str(path), 3)
    with pytest.raises(TypeError):
        velmora.build_models_from_urdf()
    assert velmora.build_models_from_urdf.__text_signature__ == "(filepath, package_dir=None, root_joint=None)"
    assert velmora.build_models_from_urdf.__doc__ == "A Python wrapper for the `build_models_from_urdf` function."


def test_material_errors_come_before_a_child_without_link(tmp_path):
    # Materials are read before the joints' <child> elements, whatever the document order.
    body = (TWO_LINKS + '<joint name="j" type="fixed"><parent link="base"/><child/></joint>'
            + '<material name="m"/>')
    assert error_of(tmp_path, robot(body)) == (
        "the <material> tag named 'm' does not have a corresponding <color> tag.")


# ---------------------------------------------------------------------------- numbers and reading

# Lists as written and the values they denote (Python's float rounds correctly, as the
# loader must): short decimals, exponents, signs, a bare point, more digits than a
# quick parse takes, the edges of the double range, Unicode white space between pieces.
INERTIA_TAG = '<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/>'
NUMBER_LISTS = [
    "0 0 0.333",
    "1e-3 -2.5E+1 .5",
    "+1. -0 5e0",
    "0.33333333333333333333333 1234567890123456789012 -0.0000000000000000000000012",
    "9007199254740993 4.9406564584124654e-324 1e23",
    "1.2345678901234567e154 2.2250738585072014e-308 -1e-400",
    "1.60324e-05 2e22 3e-22",
    " 1\u00a02\u30003\t",
]


@pytest.mark.parametrize("text", NUMBER_LISTS)
def test_numbers_read_exactly(tmp_path, text):
    values = [float(x) for x in text.split()]
    # The list as a centre of mass (kept as read), and each piece alone as a mass, which
    # takes the reader of single numbers. One robot each: bodies at the edge of the range
    # joined into one would overflow.
    link = f'<link name="c"><inertial><origin xyz="{text}"/><mass value="1"/>{INERTIA_TAG}</inertial></link>'
    model, _, _ = load(tmp_path, robot(link))
    assert frame_by(model, "c", FrameType.Body).inertia.lever.tolist() == values
    for piece, value in zip(text.split(), values):
        link = f'<link name="m"><inertial><mass value="{piece}"/>{INERTIA_TAG}</inertial></link>'
        model, _, _ = load(tmp_path, robot(link))
        assert frame_by(model, "m", FrameType.Body).inertia.mass == value


@pytest.mark.parametrize("text", ["1 2 3x", "1 2", "1 2 3 4", "1e 2 3", "1.2.3 0 0", "+-1 0 0", "0x1 0 0",
                                  "1,5 0 0", "1 2 .", "1 2 -", "nan(1) 0 0", "1\u200b 2 3"])
def test_lists_that_are_not_three_numbers(tmp_path, text):
    body = TWO_LINKS + rev("j", "base", "arm", f'<origin xyz="{text}"/>')
    assert error_of(tmp_path, robot(body)) == "Invalid value for parameter: xyz"


def test_files_larger_than_one_read(tmp_path):
    # A long comment makes the file several times the first block the reader takes.
    padding = "<!--" + "x" * 300_000 + "-->"
    body = TWO_LINKS + padding + rev("j", "base", "arm", '<origin xyz="0 0 1"/>') + padding
    model, _, _ = load(tmp_path, robot(body))
    assert model.joint_names == ["__WORLD__", "j"]
    assert model.joint_placements[1].translation.tolist() == [0, 0, 1]


# ---------------------------------------------------------------------------- graph soundness

@pytest.mark.parametrize("body, link", [
    # base -> a -> b -> a: a cycle below a root link.
    (rev("j0", "base", "a") + fixed("j1", "a", "b") + rev("j2", "b", "a"), "a"),
    # b is the child of two joints.
    (fixed("ja", "base", "a") + fixed("jb", "base", "b") + fixed("jc", "a", "c") + fixed("jd", "b", "c"), "c"),
    # A link that is its own child below a reachable one.
    (rev("j0", "base", "a") + rev("j1", "a", "a"), "a"),
])
def test_cycles_and_links_with_two_parents_refused(tmp_path, body, link):
    links = "".join(f'<link name="{n}"/>' for n in ("base", "a", "b", "c"))
    text = error_of(tmp_path, robot(links + body))
    assert text.startswith(f"Link '{link}' is reached twice")


def test_unreachable_cycle_adds_nothing(tmp_path):
    model, _, _ = load(tmp_path, robot('<link name="base"/><link name="a"/><link name="b"/>'
                                       + rev("j1", "a", "b") + rev("j2", "b", "a")))
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "base"]
    assert model.njoints == 1


def test_duplicate_fixed_joint_names_refused(tmp_path):
    # The second fixed frame would otherwise be the first one, and its child would hang
    # from the first joint's place.
    body = ('<link name="a"/><link name="b"/><link name="c"/>'
            + fixed("f", "a", "b", '<origin xyz="1 0 0"/>') + fixed("f", "a", "c", '<origin xyz="0 5 0"/>'))
    assert error_of(tmp_path, robot(body)) == "Fixed joint name 'f' is already used by the fixed frame with id 2."
    world = robot('<link name="a"/><link name="b"/>' + fixed("__WORLD_FRAME__", "a", "b"))
    assert error_of(tmp_path, world) == (
        "Fixed joint name '__WORLD_FRAME__' is already used by the fixed frame with id 0.")


def test_zero_and_non_finite_axes_refused(tmp_path):
    for kind in ("revolute", "prismatic", "continuous"):
        for axis in ("0 0 0", "0 -0 0", "inf 0 0", "nan 0 1"):
            body = (TWO_LINKS + f'<joint name="j" type="{kind}"><parent link="base"/><child link="arm"/>'
                    f'<axis xyz="{axis}"/><limit effort="1" velocity="1"/></joint>')
            assert error_of(tmp_path, robot(body)) == "Invalid value for parameter: xyz", (kind, axis)


def test_fuzz_inputs_end_in_a_model_or_a_value_error(tmp_path):
    files = sorted((ROOT / "fuzz" / "corpus").iterdir())
    regressions = ROOT / "fuzz" / "regressions"
    if regressions.exists():
        files += sorted(regressions.iterdir())
    assert files
    for f in files:
        try:
            velmora.build_models_from_urdf(str(f), str(tmp_path))
        except ValueError:
            pass


# ---------------------------------------------------------------------------- document and walk

def test_structure_of_two_links_and_a_revolute_joint(tmp_path):
    model, collision, visual = load(tmp_path, robot(TWO_LINKS + rev("j", "base", "arm")))
    assert model.joint_names == ["__WORLD__", "j"]
    assert model.joint_parents == [0, 0]
    expected = [("__WORLD_FRAME__", FrameType.Fixed, 0, 0), ("base", FrameType.Body, 0, 0),
                ("j", FrameType.Joint, 1, 1), ("arm", FrameType.Body, 1, 2)]
    got = [(f.name, f.frame_type, f.parent_joint, f.parent_frame) for f in model.frames]
    assert [(n, int(t), pj, pf) for n, t, pj, pf in got] == [(n, int(t), pj, pf) for n, t, pj, pf in expected]
    assert (model.nq, model.nv) == (1, 1)
    assert collision.ngeoms == 0 and visual.ngeoms == 0


def test_robot_found_anywhere_and_other_elements_ignored(tmp_path):
    text = ('<?xml version="1.0"?><!-- c --><world><x:include xmlns:x="urn:x"/><robot name="inner">'
            '<link name="base"/><gazebo reference="base"><joint name="g" type="floating"/></gazebo>'
            '<transmission name="t"><joint name="base_j"><hardwareInterface>E</hardwareInterface></joint>'
            '</transmission><sensor name="s"/><link name="unused_but_root"/>'
            '<x:link xmlns:x="urn:x" name="prefixed"/></robot></world>')
    model, _, _ = load(tmp_path, text)
    assert model.name == "inner"
    # Tags are matched by their local name.
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "base", "prefixed", "unused_but_root"]


def test_empty_robot(tmp_path):
    model, collision, visual = load(tmp_path, robot(""))
    assert (model.njoints, model.nframes, collision.ngeoms, visual.ngeoms) == (1, 1, 0, 0)
    model, _, _ = load(tmp_path, "<robot/>")  # no link is built, so no name is needed
    assert model.name == ""


def test_walk_is_depth_first_in_name_order(tmp_path):
    body = ('<link name="b"/><link name="a"/><link name="a2"/><link name="a1"/><link name="a1x"/>'
            + rev("j2", "a", "a2") + rev("j1", "a", "a1") + rev("jx", "a1", "a1x"))
    model, _, _ = load(tmp_path, robot(body))
    # Roots a then b; below a: j1 (with its whole subtree) before j2.
    assert model.joint_names == ["__WORLD__", "j1", "jx", "j2"]
    assert model.joint_parents == [0, 0, 1, 0]
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "a", "j1", "a1", "jx", "a1x", "j2", "a2", "b"]
    assert frame_by(model, "b", FrameType.Body).parent_joint == 0


def test_links_sharing_a_name(tmp_path):
    # A joint's child is the first link of that name; the other one is not a root either.
    body = ('<link name="base"/><link name="a">' + inertial(m=1) + '</link><link name="a">' + inertial(m=2)
            + '</link>' + rev("j", "base", "a"))
    model, _, _ = load(tmp_path, robot(body))
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "base", "j", "a"]
    assert model.inertias[1].mass == 1
    # Two root links of one name share the body frame, and the joints hanging from that
    # name are reached from both.
    body = '<link name="a"/><link name="a"/><link name="b"/>' + rev("j", "a", "b")
    assert error_of(tmp_path, robot(body)) == "Model error: Joint name 'j' is already used by joint with id 1."
    model, _, _ = load(tmp_path, robot('<link name="a"/><link name="a"/>'))
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "a"]


def test_joint_from_unknown_parent_is_never_reached(tmp_path):
    model, _, _ = load(tmp_path, robot(TWO_LINKS + rev("j", "ghost", "arm")))
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "base"]


def test_link_sharing_the_robot_name_keeps_its_own_frame(tmp_path):
    # A link named like the robot, below a fixed joint: its joint must still be placed
    # after the fixed offset, not at the world frame.
    body = ('<link name="base"/><link name="bot"/><link name="tip"/>'
            + fixed("f", "base", "bot", '<origin xyz="1 0 0"/>') + rev("j", "bot", "tip", '<origin xyz="0 0 1"/>'))
    model, _, _ = load(tmp_path, robot(body, name="bot"))
    np.testing.assert_array_equal(model.joint_placements[1].translation, [1, 0, 1])
    assert frame_by(model, "j", FrameType.Joint).parent_frame == frame_id(model, "bot", FrameType.Body)


# ---------------------------------------------------------------------------- joints

def test_fixed_joint_merges_the_child_body(tmp_path):
    body = (TWO_LINKS + '<link name="tool"><visual><geometry><sphere radius="1"/></geometry></visual></link>'
            + rev("j", "base", "arm") + fixed("f", "arm", "tool", '<origin xyz="1 0 0"/>'))
    model, _, visual = load(tmp_path, robot(body))
    assert model.njoints == 2
    f = frame_by(model, "f", FrameType.Fixed)
    assert (f.parent_joint, f.parent_frame) == (1, frame_id(model, "arm", FrameType.Body))
    np.testing.assert_array_equal(f.placement.translation, [1, 0, 0])
    tool = frame_by(model, "tool", FrameType.Body)
    assert tool.parent_joint == 1
    np.testing.assert_array_equal(tool.placement.translation, [1, 0, 0])
    (obj,) = visual.geometry_objects
    assert (obj.parent_joint, obj.parent_frame) == (1, model.nframes - 1)
    np.testing.assert_array_equal(obj.placement.translation, [1, 0, 0])


def test_joint_placement_rpy_and_axes(tmp_path):
    r, p, y = 0.3, -0.4, 1.1
    body = ('<link name="base"/><link name="a"/><link name="b"/><link name="c"/>'
            + rev("j1", "base", "a", f'<origin xyz="0 0 1" rpy="{r} {p} {y}"/>')
            + rev("j2", "a", "b", '<axis xyz="0 0 2"/>')
            + '<joint name="j3" type="continuous"><parent link="b"/><child link="c"/></joint>')
    model, _, _ = load(tmp_path, robot(body))
    placement = model.joint_placements[1]
    np.testing.assert_array_equal(placement.translation, [0, 0, 1])
    np.testing.assert_allclose(placement.rotation, rot_z(y) @ rot_y(p) @ rot_x(r), atol=1e-15)
    assert frame_by(model, "j1", FrameType.Joint).placement.translation.tolist() == [0, 0, 0]
    assert [int(j.joint_type) for j in model.joint_models[1:]] == [int(velmora.JointType.Revolute)] * 2 + [
        int(velmora.JointType.Continuous)]
    assert (model.nq, model.nv) == (4, 3)

    data = model.create_data()
    q = np.array([0.0, 0.7, math.cos(0.5), math.sin(0.5)])
    velmora.forward_kinematics(model, data, q)
    # j2 turns about its axis (0, 0, 2) by 0.7; j3 has no <axis> and turns about x.
    rel2 = data.oMi[1].inverse() * data.oMi[2]
    np.testing.assert_allclose(rel2.rotation, rot_z(0.7), atol=1e-14)
    rel3 = data.oMi[2].inverse() * data.oMi[3]
    np.testing.assert_allclose(rel3.rotation, rot_x(0.5), atol=1e-14)


def test_prismatic_joint_and_limits(tmp_path):
    body = (TWO_LINKS + '<joint name="p" type="prismatic"><parent link="base"/><child link="arm"/>'
            '<axis xyz="0 1 0"/><limit lower="0.25" upper="0.5" effort="3" velocity="4"/></joint>'
            + '<link name="c"/><link name="d"/>' + rev("r", "c", "d").replace('effort', 'lower="abc" effort'))
    model, _, _ = load(tmp_path, robot(body))
    assert model.joint_names == ["__WORLD__", "p", "r"]
    for _ in range(50):
        q = velmora.random_configuration(model).to_numpy()
        assert 0.25 <= q[0] <= 0.5
    data = model.create_data()
    velmora.forward_kinematics(model, data, np.array([0.3, 0.0]))
    np.testing.assert_allclose(data.oMi[1].translation, [0, 0.3, 0], atol=1e-15)


# ---------------------------------------------------------------------------- inertias

def test_root_link_inertia_goes_to_the_universe(tmp_path):
    model, _, _ = load(tmp_path, robot('<link name="base">' + inertial(m=2, xyz="0 0 1") + '</link>'))
    assert model.inertias[0].mass == 2
    np.testing.assert_array_equal(model.inertias[0].lever, [0, 0, 1])
    body = frame_by(model, "base", FrameType.Body)
    assert body.inertia.mass == 2
    np.testing.assert_array_equal(body.inertia.lever, [0, 0, 1])


def test_inertia_below_moving_and_fixed_joints(tmp_path):
    body = ('<link name="base"/><link name="arm">' + inertial(m=3, xyz="0 0.5 0", i=(1, 0.1, 0.2, 2, 0.3, 3))
            + '</link><link name="tool">' + inertial(m=2) + '</link>'
            + rev("j", "base", "arm", '<origin xyz="0 0 1"/>') + fixed("f", "arm", "tool", '<origin xyz="1 0 0"/>'))
    model, _, _ = load(tmp_path, robot(body))
    assert model.inertias[0].mass == 0
    joint = model.inertias[1]
    # arm at (0, 0.5, 0) and tool at (1, 0, 0) in the joint frame.
    assert joint.mass == 5
    np.testing.assert_allclose(joint.lever, [2 / 5, 1.5 / 5, 0], atol=1e-15)
    assert frame_by(model, "arm", FrameType.Body).inertia.mass == 0
    assert frame_by(model, "tool", FrameType.Body).inertia.mass == 0
    fixed_frame = frame_by(model, "f", FrameType.Fixed).inertia
    assert fixed_frame.mass == 2
    np.testing.assert_array_equal(fixed_frame.lever, [0, 0, 0])  # in the fixed frame's own coordinates


def test_inertial_origin_rotates_the_tensor(tmp_path):
    text = robot('<link name="base">' + inertial(m=1, rpy="0 0 1.5707963267948966", i=(1, 0, 0, 2, 0, 3))
                 + '</link>')
    model, _, _ = load(tmp_path, text)
    np.testing.assert_allclose(model.inertias[0].inertia, np.diag([2.0, 1.0, 3.0]), atol=1e-15)
    # An unreadable rpy (two numbers) is no rotation; an unreadable xyz no offset.
    text = robot('<link name="base">' + inertial(m=1, rpy="0 1", xyz="a b c", i=(1, 0, 0, 2, 0, 3)) + '</link>')
    model, _, _ = load(tmp_path, text)
    np.testing.assert_array_equal(model.inertias[0].inertia, np.diag([1.0, 2.0, 3.0]))
    np.testing.assert_array_equal(model.inertias[0].lever, [0, 0, 0])


def test_link_without_inertial_and_off_diagonal_order(tmp_path):
    body = ('<link name="base"/><link name="arm">' + inertial(m=1, i=(10, 1, 2, 20, 3, 30)) + '</link>'
            '<link name="empty"/>' + rev("j", "base", "arm") + rev("k", "arm", "empty"))
    model, _, _ = load(tmp_path, robot(body))
    np.testing.assert_array_equal(model.inertias[1].inertia, [[10, 1, 2], [1, 20, 3], [2, 3, 30]])
    assert model.inertias[2].mass == 0 and not model.inertias[2].inertia.any()


# ---------------------------------------------------------------------------- geometry and materials

def test_geometry_objects_names_shapes_and_placements(tmp_path):
    body = ('<link name="base"/><link name="arm">'
            '<visual><geometry><cylinder radius="0.5" length="2"/></geometry></visual>'
            '<collision><origin xyz="0 0 1"/><geometry><box size="1 2 3"/></geometry></collision>'
            '<collision><geometry><sphere radius="0.1"/><box size="2 2 2"/></geometry></collision>'
            '</link>' + fixed("f", "base", "arm", '<origin xyz="0 1 0"/>'))
    model, collision, visual = load(tmp_path, robot(body))
    assert [o.name for o in collision.geometry_objects] == ["arm_0", "arm_1"]
    assert [o.name for o in visual.geometry_objects] == ["arm_0"]
    box, box2 = (o.geometry for o in collision.geometry_objects)
    np.testing.assert_array_equal(box.half_extents, np.array([0.5, 1.0, 1.5], dtype=np.float32))
    np.testing.assert_array_equal(box2.half_extents, [1, 1, 1])  # the box wins over the sphere
    cyl = visual.geometry_objects[0].geometry
    assert (cyl.radius, cyl.half_length) == (0.5, 1.0)
    np.testing.assert_array_equal(collision.geometry_objects[0].placement.translation, [0, 1, 1])
    arm = model.nframes - 1
    assert all((o.parent_joint, o.parent_frame, o.disable_collision) == (0, arm, False)
               for o in collision.geometry_objects + visual.geometry_objects)
    assert collision.geometry_objects[0].mesh_color.tolist() == [0.9, 0.9, 0.9, 1.0]
    # Shape sizes are single precision.
    text = robot('<link name="a"><visual><geometry><sphere radius="0.1"/></geometry></visual></link>')
    assert load(tmp_path, text)[2].geometry_objects[0].geometry.radius == 0.10000000149011612


def test_materials(tmp_path):
    def visual(material):
        return f'<visual><geometry><sphere radius="1"/></geometry>{material}</visual>'

    body = ('<material name="red"><color rgba="1 0 0 1"/></material>'
            '<material name="green"><color rgba="0 0.5 0 1"/></material>'
            '<material name="green"><color rgba="0 1 0 1"/></material>'
            '<link name="a">'
            + visual('<material name="red"><color rgba="0 0 0 0.5"/></material>')   # table wins
            + visual('<material name="green"/>')                                   # later definition
            + visual('<material name="blue"/>')                                    # not yet defined
            + visual('<material name="blue"><color rgba="0 0 1 1"/></material>')   # defines blue
            + visual('<material name="blue"/>')
            + visual('<material name="bad"><color rgba="1 1"/></material>')        # unreadable: default
            + visual('<material><color rgba="0.1 0.2 0.3 0.4"/></material>')       # anonymous inline
            + visual('')
            + '<collision><geometry><sphere radius="1"/></geometry><material name="red"/></collision>'
            + '</link>')
    _, collision, visual_model = load(tmp_path, robot(body))
    default = [0.9, 0.9, 0.9, 1.0]
    colors = [o.mesh_color.tolist() for o in visual_model.geometry_objects]
    assert colors == [[1, 0, 0, 1], [0, 1, 0, 1], default, [0, 0, 1, 1], [0, 0, 1, 1], default,
                      [0.1, 0.2, 0.3, 0.4], default]
    assert collision.geometry_objects[0].mesh_color.tolist() == default


def test_materials_follow_the_walk_order(tmp_path):
    # Link z is written first but built last, so it sees the colour that a defines.
    shape = '<geometry><sphere radius="1"/></geometry>'
    body = (f'<link name="z"><visual>{shape}<material name="m"/></visual></link>'
            f'<link name="a"><visual>{shape}<material name="m"><color rgba="0 0 1 1"/></material></visual></link>')
    _, _, visual = load(tmp_path, robot(body))
    assert [o.mesh_color.tolist() for o in visual.geometry_objects] == [[0, 0, 1, 1], [0, 0, 1, 1]]


# ---------------------------------------------------------------------------- mesh paths

def mesh_robot(filename):
    return robot(f'<link name="a"><collision><geometry><mesh filename="{filename}" scale="2 2 2"/></geometry>'
                 '</collision></link>')


@pytest.fixture
def package(tmp_path):
    pkg = tmp_path / "ws" / "src" / "robot"
    (pkg / "meshes").mkdir(parents=True)
    (pkg / "meshes" / "base.stl").write_bytes(b"")
    return pkg


def mesh_path(tmp_path, filename, package_dir=None):
    _, collision, _ = load(tmp_path, mesh_robot(filename), package_dir)
    return collision.geometry_objects[0].geometry.mesh_path


def test_mesh_relative_and_absolute(tmp_path, package):
    assert mesh_path(tmp_path, "meshes/base.stl", str(package)) == f"{package}/meshes/base.stl"
    assert mesh_path(tmp_path, str(package / "meshes/base.stl"), "/elsewhere") == f"{package}/meshes/base.stl"
    assert error_of(tmp_path, mesh_robot("meshes/base.stl")) == (
        "Invalid file path: 'package_dir' must be provided to resolve mesh file paths")
    # Relative names never resolve against the URDF file's own directory.
    (tmp_path / "here.stl").write_bytes(b"")
    assert error_of(tmp_path, mesh_robot("here.stl"), str(package)) == (
        f"Invalid file path: Mesh file does not exist: {package}/here.stl")
    assert error_of(tmp_path, mesh_robot("/abs/base.stl"), str(package)) == (
        "Invalid file path: Mesh file does not exist: /abs/base.stl")
    assert error_of(tmp_path, mesh_robot("Package://robot/meshes/base.stl"), str(package)) == (
        f"Invalid file path: Mesh file does not exist: {package}/Package://robot/meshes/base.stl")


def test_mesh_package_names(tmp_path, package, monkeypatch):
    expected = f"{package}/meshes/base.stl"
    monkeypatch.setenv("ROS_PACKAGE_PATH", f"/opt/a:{package}")
    assert mesh_path(tmp_path, "package://robot/meshes/base.stl") == expected
    assert mesh_path(tmp_path, "package:///robot/meshes/base.stl") == expected
    monkeypatch.setenv("ROS_PACKAGE_PATH", f"/opt/a:{package}/")
    assert mesh_path(tmp_path, "package://robot/meshes/base.stl") == f"{package}/meshes/base.stl"
    assert error_of(tmp_path, mesh_robot("package://robot")) == "Invalid file path: Invalid package path: robot"
    assert error_of(tmp_path, mesh_robot("package://other/x.stl")) == (
        "Invalid file path: Package 'other' not found in ROS_PACKAGE_PATH")
    assert error_of(tmp_path, mesh_robot("package://robot/none.stl")) == (
        f"Invalid file path: Mesh file does not exist: {package}/none.stl")
    monkeypatch.delenv("ROS_PACKAGE_PATH")
    assert error_of(tmp_path, mesh_robot("package://robot/meshes/base.stl"), str(package)) == (
        "Invalid file path: 'package://' was used but the ROS_PACKAGE_PATH environment variable is not set")


# ---------------------------------------------------------------------------- real robots

def prepared_robot(name, tmp_path, monkeypatch):
    """The robot's folder, with placeholder files for the meshes it does not ship, and
    ROS_PACKAGE_PATH naming its package folders."""
    folder = ROBOTS / name
    missing = folder / "MISSING_MESHES.txt"
    if missing.exists():
        folder = tmp_path / "robots" / name
        shutil.copytree(ROBOTS / name, folder)
        for line in missing.read_text().split():
            target = folder / line
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(b"")
    packages = [str(p) for p in sorted(folder.iterdir()) if p.is_dir()]
    monkeypatch.setenv("ROS_PACKAGE_PATH", ":".join(packages) or "/nonexistent")
    return folder


ROBOT_TABLE = {  # links, joints by type (revolute, continuous, prismatic, fixed)
    "kuka_iiwa": (8, 7, 0, 0, 0),
    "franka_panda": (13, 7, 0, 2, 3),
    "ur5e": (11, 6, 0, 0, 4),
    "r2d2": (16, 2, 5, 1, 7),
    "pr2": (50, 21, 16, 1, 11),
    "unitree_a1": (23, 12, 0, 0, 10),
    "unitree_g1": (53, 43, 0, 0, 9),
    "nao": (79, 26, 16, 0, 36),
}


@pytest.mark.parametrize("name", sorted(ROBOT_TABLE))
def test_every_robot_loads(name, tmp_path, monkeypatch):
    folder = prepared_robot(name, tmp_path, monkeypatch)
    model, collision, visual = velmora.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))
    links, revolute, continuous, prismatic, fixed_count = ROBOT_TABLE[name]
    kinds = [int(f.frame_type) for f in model.frames]
    assert kinds.count(int(FrameType.Body)) == links
    assert kinds.count(int(FrameType.Fixed)) == fixed_count + 1  # and the world frame
    types = [int(j.joint_type) for j in model.joint_models[1:]]
    JT = velmora.JointType
    assert (types.count(int(JT.Revolute)), types.count(int(JT.Continuous)), types.count(int(JT.Prismatic))) == (
        revolute, continuous, prismatic)
    assert model.nv == revolute + continuous + prismatic
    assert model.nq == model.nv + continuous
    assert all(p < i for i, p in enumerate(model.joint_parents) if i)
    for obj in collision.geometry_objects + visual.geometry_objects:
        assert obj.parent_joint == model.frames[obj.parent_frame].parent_joint
        if int(obj.geometry.shape_type) == int(velmora.tessary.ShapeType.Mesh):
            assert os.path.exists(obj.geometry.mesh_path)


def test_refused_robot(tmp_path, monkeypatch):
    folder = prepared_robot("unitree_as2_refused", tmp_path, monkeypatch)
    with pytest.raises(ValueError) as info:
        velmora.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))
    assert str(info.value) == "unknown joint type (floating)."


@pytest.mark.parametrize("name", LOADABLE)
def test_forward_kinematics_matches_reference(name, tmp_path, monkeypatch):
    folder = prepared_robot(name, tmp_path, monkeypatch)
    model, _, _ = velmora.build_models_from_urdf(str(folder / "robot.urdf"), str(folder))
    ref = np.load(ROBOTS / name / "reference.npz")
    info = json.loads((ROBOTS / name / "reference.json").read_text())
    assert model.joint_names[1:] == info["velocity_order"]
    assert model.nq == info["nq"] and model.nv == info["nv"]
    tol = info["suggested_tolerance"]["oMl"]
    links = [frame_by(model, n, FrameType.Body) for n in info["link_names"]]
    data = model.create_data()
    for q, oMl in zip(ref["q"], ref["oMl"]):
        velmora.forward_kinematics(model, data, q)
        oMi = data.oMi
        for frame, expected in zip(links, oMl):
            got = (oMi[frame.parent_joint] * frame.placement).homogeneous
            np.testing.assert_allclose(got, expected, rtol=0, atol=tol, err_msg=f"{name}: {frame.name}")
