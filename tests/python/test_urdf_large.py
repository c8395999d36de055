"""The loaders on generated robots of a few thousand links, with elements out of document
order, and on documents whose values the parser decodes: the models follow the walk
order and the numbers written, both loaders agree, and everything the build reads stays
valid after the parsed document is released (the ASan run checks the latter)."""

import pickle
import random

import numpy as np
import pytest

import velmora
from velmora import FrameType

LINKS = 3000


def link(i):
    # Mass, sphere radius and body offset all grow with i, so that any record read for the
    # wrong link shows.
    return (f'<link name="l{i}"><inertial><origin xyz="0 0 {i * 1e-3}"/><mass value="{1 + i}"/>'
            f'<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/></inertial>'
            f'<collision><origin xyz="{i} 0 0"/><geometry><sphere radius="{1 + i}"/></geometry></collision></link>')


def joint(i, parent):
    kind = ("revolute", "continuous", "prismatic", "fixed")[i % 4]
    return (f'<joint name="j{i}" type="{kind}"><parent link="l{parent}"/><child link="l{i}"/>'
            f'<origin xyz="{i} 0 0"/><axis xyz="0 0 1"/>'
            f'<limit lower="{-i}" upper="{i}" effort="{i}" velocity="1"/></joint>')


def tree_parent(i):
    return (i - 1) // 2


@pytest.fixture(scope="module")
def shuffled_tree(tmp_path_factory):
    """A binary tree of revolute, continuous, prismatic and fixed joints whose links and
    joints come in random document order."""
    elements = [link(0)] + [e for i in range(1, LINKS) for e in (link(i), joint(i, tree_parent(i)))]
    random.Random(7).shuffle(elements)
    path = tmp_path_factory.mktemp("large") / "tree.urdf"
    path.write_text('<robot name="tree">' + "\n".join(elements) + "</robot>", encoding="utf-8")
    return str(path)


def walk_order():
    """The link and joint names in the order of the depth-first walk: children by joint
    name (as text), from the one root."""
    children = {}
    for i in range(1, LINKS):
        children.setdefault(tree_parent(i), []).append(i)
    order, stack = [], [("link", 0)]
    while stack:
        kind, i = stack.pop()
        order.append(f"l{i}" if kind == "link" else f"j{i}")
        if kind == "link":
            for c in sorted(children.get(i, []), key=lambda c: f"j{c}", reverse=True):
                stack.append(("joint", c))
        else:
            stack.append(("link", i))
    return order


def test_large_tree_follows_the_walk_and_the_numbers_written(shuffled_tree):
    model, collision, visual = velmora.build_models_from_urdf(shuffled_tree)
    assert [f.name for f in model.frames[1:]] == walk_order()
    moving = [n for n in walk_order() if n.startswith("j") and int(n[1:]) % 4 != 3]
    continuous = sum(1 for n in moving if int(n[1:]) % 4 == 1)  # two configuration entries each
    assert model.joint_names[1:] == moving
    assert (model.nq, model.nv, model.nframes) == (len(moving) + continuous, len(moving), 2 * LINKS)

    # Each joint hangs from the moving joint above its parent link (fixed joints pass
    # their parent's on) and keeps its own limits.
    index = {name: k for k, name in enumerate(model.joint_names)}

    def moving_joint_of_link(i):
        while i and i % 4 == 3:
            i = tree_parent(i)
        return index[f"j{i}"] if i else 0

    for k, name in enumerate(model.joint_names[1:], start=1):
        i = int(name[1:])
        assert model.joint_parents[k] == moving_joint_of_link(tree_parent(i)), name
        if i % 4 != 1:  # continuous joints have no position limits
            joint_model = model.joint_models[k]
            assert (joint_model.lower_limit[0], joint_model.upper_limit[0]) == (-i, i)

    # The total mass is that of every link, whatever joint carries it.
    total = sum(inertia.mass for inertia in model.inertias)
    assert total == pytest.approx(sum(1 + i for i in range(LINKS)))

    # One sphere per link, in walk order, with its own radius and offset.
    links_in_order = [int(n[1:]) for n in walk_order() if n.startswith("l")]
    assert [o.name for o in collision.geometry_objects] == [f"l{i}_0" for i in links_in_order]
    radii = [o.geometry.radius for o in collision.geometry_objects]
    assert radii == [1.0 + i for i in links_in_order]
    assert visual.ngeoms == 0


def test_large_tree_same_model_from_both_loaders(shuffled_tree):
    full, _, _ = velmora.build_models_from_urdf(shuffled_tree)
    alone = velmora.build_model_from_urdf(shuffled_tree)
    assert alone.joint_names == full.joint_names and alone.joint_parents == full.joint_parents
    assert [(f.name, f.parent_joint, f.parent_frame) for f in alone.frames] == \
        [(f.name, f.parent_joint, f.parent_frame) for f in full.frames]
    for a, b in zip(alone.inertias, full.inertias):
        assert a.mass == b.mass and np.array_equal(a.lever, b.lever) and np.array_equal(a.inertia, b.inertia)
    for a, b in zip(alone.joint_placements, full.joint_placements):
        assert np.array_equal(a.homogeneous, b.homogeneous)


def test_decoded_values_survive_the_parsed_document(tmp_path):
    # Entities, character references, white space the parser turns into spaces and tag
    # prefixes it strips: every value the build reads is the decoded one.
    text = ('<?xml version="1.0"?>\n<!-- prologue -->\n<x:robot xmlns:x="urn:x" name="r&amp;d">'
            '<x:link name="base&lt;0&gt;"><inertial><mass value="&#x32;.5"/>'
            '<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/></inertial></x:link>'
            '<!-- between --><x:link name="arm"><visual><geometry><cylinder radius="0.5" length="&#50;"/></geometry>'
            '<material name="m&amp;m"/></visual></x:link>'
            '<x:joint name="j&#x31;" type="revolute"><parent link="base&lt;0&gt;"/><child link="arm"/>'
            '<origin xyz="1\t0\n0" rpy="0 0 0"/><axis xyz="0&#10;0&#9;1"/>'
            '<limit lower="&#45;1" upper="1" effort="3" velocity="4"/></x:joint>'
            '<x:material name="m&amp;m"><color rgba="0.25 0.5 0.75 1"/></x:material></x:robot>')
    path = tmp_path / "decoded.urdf"
    path.write_text(text, encoding="utf-8")
    model, _, visual = velmora.build_models_from_urdf(str(path))
    assert model.name == "r&d"
    assert [f.name for f in model.frames] == ["__WORLD_FRAME__", "base<0>", "j1", "arm"]
    assert model.inertias[0].mass == 2.5
    assert np.array_equal(model.joint_placements[1].translation, [1.0, 0.0, 0.0])
    assert (model.joint_models[1].lower_limit[0], model.joint_models[1].upper_limit[0]) == (-1.0, 1.0)
    data = model.create_data()
    velmora.forward_kinematics(model, data, np.array([np.pi / 2]))
    assert np.allclose(data.oMi[1].rotation, [[0, -1, 0], [1, 0, 0], [0, 0, 1]])  # about z
    (obj,) = visual.geometry_objects
    assert obj.geometry.half_length == 1.0
    assert np.array_equal(obj.mesh_color, [0.25, 0.5, 0.75, 1.0])
    alone = velmora.build_model_from_urdf(str(path))
    assert alone.joint_names == model.joint_names and alone.name == "r&d"


def test_colours_and_objects_follow_the_walk_not_the_document(tmp_path):
    # Link b comes first in the document but is built after its parent a: the colour a's
    # visual gives material "m" reaches b's visual, which names "m" alone. Collisions and
    # visuals are numbered apart, each in document order, however they interleave.
    text = ('<robot name="r">'
            '<link name="b"><visual><geometry><sphere radius="1"/></geometry><material name="m"/></visual></link>'
            '<link name="a">'
            '<visual><geometry><sphere radius="1"/></geometry><material name="m"><color rgba="0.1 0.2 0.3 1"/>'
            '</material></visual>'
            '<collision><geometry><sphere radius="2"/></geometry></collision>'
            '<visual><geometry><sphere radius="3"/></geometry></visual>'
            '<collision><geometry><sphere radius="4"/></geometry></collision></link>'
            '<joint name="j" type="fixed"><parent link="a"/><child link="b"/></joint></robot>')
    path = tmp_path / "walk.urdf"
    path.write_text(text, encoding="utf-8")
    _, collision, visual = velmora.build_models_from_urdf(str(path))
    assert [(o.name, o.geometry.radius) for o in collision.geometry_objects] == [("a_0", 2.0), ("a_1", 4.0)]
    assert [(o.name, o.geometry.radius) for o in visual.geometry_objects] == [("a_0", 1.0), ("a_1", 3.0),
                                                                              ("b_0", 1.0)]
    colours = [list(o.mesh_color) for o in visual.geometry_objects]
    assert colours == [[0.1, 0.2, 0.3, 1.0], [0.9, 0.9, 0.9, 1.0], [0.1, 0.2, 0.3, 1.0]]


@pytest.mark.parametrize("text, message", [
    ('<robot name="r"><link kind="nameless"/><joint name="j" type="fixed"><parent link=""/>'
     '<child link="c"/></joint><link name="c"/></robot>', 'Missing name attribute for <link kind="nameless">.'),
    ('<robot name="r"><link name="a"/><link name="c"/><joint type="fixed" note="&lt;x&gt;"><parent link="a"/>'
     '<child link="c"/></joint></robot>', "Missing name attribute for <joint type=\"fixed\" note=\"<x>\">."),
    ('<robot kind="k&amp;k"><link name="a"/></robot>', 'Missing name attribute for <robot kind="k&k">.'),
])
def test_elements_without_name_are_shown_in_the_error(tmp_path, text, message):
    # The element is shown from what was recorded before the parsed document went away.
    path = tmp_path / "nameless.urdf"
    path.write_text(text, encoding="utf-8")
    for load in (velmora.build_models_from_urdf, velmora.build_model_from_urdf):
        with pytest.raises(ValueError) as info:
            load(str(path))
        assert str(info.value) == message


# A chain of about 250 KiB, with `insert(k)` after every 40th joint: what large documents
# hold around and between the robot's links and joints, placed so that some of it falls
# where the loader looks for places to cut the text.
def chain_document(insert=lambda k: "", links=500):
    parts = ['<?xml version="1.0"?>\n<robot name="chain">', link(0)]
    for i in range(1, links):
        parts += [link(i), joint(i, i - 1)]
        if i % 40 == 0:
            parts.append(insert(i))
    return "\n".join(parts) + "\n</robot>\n<!-- end -->\n"


def outcome(path, load):
    try:
        result = load(path)
    except ValueError as error:
        return "error", str(error)
    return "ok", pickle.dumps(result)


STRUCTURES = {
    "plain": lambda k: "",
    "comments and instructions": lambda k: f"<!-- </link>\n<link name='c{k}'/> --><?pi </joint>\n<joint?>",
    "text in the robot": lambda k: f"text {k} &amp; &lt;/link&gt; more",
    "CDATA": lambda k: f"<![CDATA[</link>\n<link name='d{k}'/>]]>",
    "transmissions": lambda k: (f'<transmission name="t{k}"><joint name="j{k}"></joint>\n<joint name="x{k}">'
                                f'</joint><actuator name="a{k}"/></transmission>'),
    "end tags in values": lambda k: f'<gazebo reference="l{k}" note="</link>\n<link">x</gazebo>',
    "declaration": lambda k: '<?xml version="1.0"?>' if k == 200 else "",
    "document type": lambda k: "<!DOCTYPE r>" if k == 360 else "",
    "unclosed tag": lambda k: "<link name='u'>" if k == 440 else "",
    "material error, then a syntax error": lambda k: ('<material name="m"/>' if k == 40 else
                                                      "<a></b>" if k == 400 else ""),
    "unknown parent late": lambda k: (f'<joint name="bad" type="fixed"><parent link="nowhere"/>'
                                      f'<child link="extra"/></joint><link name="extra"/>' if k == 480 else ""),
}


@pytest.mark.parametrize("structure", STRUCTURES)
def test_large_document_loads_as_when_parsed_whole(tmp_path, structure):
    # A character reference anywhere makes the loader parse the document in one piece:
    # the same text with one in its first comment must give the same models or the same
    # error (the reference stays on the first line, so positions of errors agree).
    text = chain_document(STRUCTURES[structure])
    cut = tmp_path / "cut.urdf"
    whole = tmp_path / "whole.urdf"
    cut.write_text(text, encoding="utf-8")
    whole.write_text(text.replace("<?xml version=\"1.0\"?>\n", "<?xml version=\"1.0\"?><!--&#32;-->\n", 1),
                     encoding="utf-8")
    assert len(text) > 200_000
    for load in (velmora.build_models_from_urdf, velmora.build_model_from_urdf):
        assert outcome(str(cut), load) == outcome(str(whole), load)
    if structure in ("plain", "comments and instructions", "text in the robot", "CDATA", "transmissions",
                     "end tags in values"):
        model = velmora.build_model_from_urdf(str(cut))
        assert model.nframes == 2 * 500


# Additions to the shuffled tree that change what the depth-first walk meets deep inside
# a large robot: the walk must stop at the same place with the same error as it would
# reach it visit by visit, and an element it never visits must change nothing.
TREE_CHANGES = {
    "leaf hangs a link of the middle": (
        f'<joint name="extra" type="fixed"><parent link="l{LINKS - 1}"/><child link="l{LINKS // 2}"/></joint>',
        f"Link 'l{LINKS // 2}' is reached twice"),
    "deep joint names no link": (
        '<joint name="extra" type="revolute"><parent link="l1234"/><child link="nowhere"/><axis xyz="0 0 1"/>'
        '<limit lower="-1" upper="1" effort="1" velocity="1"/></joint>',
        "Unknown link name: nowhere"),
    "a second link of a taken name": (
        '<link name="l77"><inertial><mass value="1000"/>'
        '<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/></inertial></link>', None),
    "a joint without child": ('<joint name="extra" type="fixed"><parent link="l2999"/></joint>', None),
}


@pytest.mark.parametrize("change", TREE_CHANGES)
def test_large_tree_walk_stops_where_the_tree_breaks(shuffled_tree, tmp_path, change):
    added, message = TREE_CHANGES[change]
    with open(shuffled_tree, encoding="utf-8") as f:
        text = f.read()
    path = tmp_path / "changed.urdf"
    path.write_text(text.replace("</robot>", added + "</robot>"), encoding="utf-8")
    for load in (velmora.build_models_from_urdf, velmora.build_model_from_urdf):
        if message is None:
            changed, original = load(str(path)), load(shuffled_tree)
            changed_model = changed[0] if isinstance(changed, tuple) else changed
            original_model = original[0] if isinstance(original, tuple) else original
            names = [f.name for f in original_model.frames]
            if change == "a joint without child":
                # A fixed joint without child adds its frame, right after its parent link's.
                at = names.index("l2999") + 1
                names = names[:at] + ["extra"] + names[at:]
                assert [f.parent_frame for f in changed_model.frames][at] == at - 1
            assert [f.name for f in changed_model.frames] == names
            assert changed_model.joint_names == original_model.joint_names
            assert [i.mass for i in changed_model.inertias] == [i.mass for i in original_model.inertias]
        else:
            with pytest.raises(ValueError) as info:
                load(str(path))
            assert str(info.value).startswith(message)


def test_dense_first_piece_then_large_links(tmp_path):
    # The loader sizes its lists from the first stretch of a large document; a first
    # stretch of tiny links followed by large ones must load as the document parsed whole.
    tiny = "\n".join(f'<link name="t{k}"/>' for k in range(3000))
    padding = ('<visual><geometry><box size="1 2 3"/></geometry>'
               '<material name="m"><color rgba="1 0 0 1"/></material></visual>')
    big = "\n".join(f'<link name="b{k}">{padding * 12}</link>' +
                    (f'<joint name="jb{k}" type="fixed"><parent link="b{k - 1}"/><child link="b{k}"/></joint>'
                     if k else "")
                    for k in range(150))
    text = f'<robot name="dense">{tiny}\n{big}\n</robot>'
    assert len(text) > 200_000
    cut, whole = tmp_path / "cut.urdf", tmp_path / "whole.urdf"
    cut.write_text(text, encoding="utf-8")
    whole.write_text(text.replace("<robot", "<!--&#32;--><robot", 1), encoding="utf-8")
    for load in (velmora.build_models_from_urdf, velmora.build_model_from_urdf):
        assert outcome(str(cut), load) == outcome(str(whole), load)
    model, _, visual = velmora.build_models_from_urdf(str(cut))
    assert model.nframes == 1 + 3000 + 150 + 149 and len(visual.geometry_objects) == 150 * 12
