"""The URDF loader takes only finite numbers: NaN, infinities and decimals beyond the
double range are refused in every attribute, as a text that is not a number is, while
the largest finite values load; placements and inertias that overflow when composed are
refused too. Both loaders (with and without geometry) are checked."""

import numpy as np
import pytest

import velmora

MAX = "1.7976931348623157e308"  # the largest finite double
MAX_F32 = "3.4028234663852886e38"  # the largest finite float: shape sizes are single precision
NON_FINITE = ["nan", "-inf", "1e999", "-NaN", "Infinity"]

# One robot that carries every attribute family the loader reads. Each field is one
# attribute; a test replaces one of them (in a list, only its middle entry).
DOC = """<robot name="r">
 <material name="red"><color rgba="{rgba}"/></material>
 <link name="base">
  <inertial><origin xyz="{com_xyz}" rpy="{com_rpy}"/><mass value="{mass}"/>
   <inertia ixx="{ixx}" ixy="{ixy}" ixz="{ixz}" iyy="{iyy}" iyz="{iyz}" izz="{izz}"/></inertial>
  <collision><origin xyz="{collision_xyz}" rpy="{collision_rpy}"/><geometry><box size="{box}"/></geometry></collision>
  <visual><origin xyz="{visual_xyz}" rpy="{visual_rpy}"/>
   <geometry><cylinder radius="{cylinder_radius}" length="{cylinder_length}"/></geometry>
   <material name="own"><color rgba="{visual_rgba}"/></material></visual>
 </link>
 <link name="arm"><visual><geometry><sphere radius="{sphere_radius}"/></geometry></visual></link>
 <link name="hand"><origin xyz="{link_xyz}" rpy="{link_rpy}"/></link>
 <joint name="j" type="revolute"><parent link="base"/><child link="arm"/>
  <origin xyz="{joint_xyz}" rpy="{joint_rpy}"/><axis xyz="{axis}"/>
  <limit lower="{lower}" upper="{upper}" effort="{effort}" velocity="{velocity}"/></joint>
 <joint name="c" type="continuous"><parent link="arm"/><child link="hand"/>
  <limit effort="{continuous_effort}" velocity="{continuous_velocity}"/></joint>
</robot>"""

DEFAULTS = {
    "rgba": "1 0 0 1", "visual_rgba": "0 1 0 1",
    "com_xyz": "0 0 0", "com_rpy": "0 0 0", "mass": "2",
    "ixx": "1", "ixy": "0", "ixz": "0", "iyy": "1", "iyz": "0", "izz": "1",
    "collision_xyz": "0 0 0", "collision_rpy": "0 0 0", "box": "1 1 1",
    "visual_xyz": "0 0 0", "visual_rpy": "0 0 0", "cylinder_radius": "0.5", "cylinder_length": "1",
    "sphere_radius": "0.25", "link_xyz": "0 0 0", "link_rpy": "0 0 0",
    "joint_xyz": "0 0 1", "joint_rpy": "0 0 0", "axis": "0 0 1",
    "lower": "-1", "upper": "1", "effort": "10", "velocity": "2",
    "continuous_effort": "1", "continuous_velocity": "1",
}
ATTRIBUTE = {field: field.rsplit("_", 1)[-1] for field in DEFAULTS}  # the name the error gives
ATTRIBUTE.update({"mass": "value", "box": "size", "visual_rgba": "rgba", "axis": "xyz"})

# The attributes only the geometry is made of: the model-only loader never reads them.
GEOMETRY = {"rgba", "visual_rgba", "collision_xyz", "collision_rpy", "box", "visual_xyz", "visual_rpy",
            "cylinder_radius", "cylinder_length", "sphere_radius"}
SINGLE_PRECISION = {"box", "cylinder_radius", "cylinder_length", "sphere_radius"}


def document(field=None, value=None):
    values = dict(DEFAULTS)
    if field is not None:
        pieces = values[field].split()
        pieces[len(pieces) // 2] = value
        values[field] = " ".join(pieces)
    return DOC.format(**values)


def write(tmp_path, text):
    path = tmp_path / "robot.urdf"
    path.write_text(text, encoding="utf-8")
    return str(path)


def full_error(path):
    with pytest.raises(ValueError) as info:
        velmora.build_models_from_urdf(path)
    return str(info.value)


def model_error(path):
    with pytest.raises(ValueError) as info:
        velmora.build_model_from_urdf(path)
    return str(info.value)


@pytest.mark.parametrize("field", sorted(DEFAULTS))
def test_non_finite_numbers_refused_in_every_attribute(tmp_path, field):
    message = f"Invalid value for parameter: {ATTRIBUTE[field]}"
    for value in NON_FINITE:
        path = write(tmp_path, document(field, value))
        assert full_error(path) == message, value
        if field in GEOMETRY:
            velmora.build_model_from_urdf(path)  # never read without geometry
        else:
            assert model_error(path) == message, value


def attribute_value(model, collision, visual, field):
    """Where the loaded robot keeps the number the field's middle entry gave, when it
    keeps it as read."""
    base = next(f for f in model.frames if f.name == "base")
    arm_joint_placement = model.joint_placements[1]
    lookup = {
        "mass": lambda: base.inertia.mass,
        "ixx": lambda: base.inertia.inertia[0, 0], "iyy": lambda: base.inertia.inertia[1, 1],
        "izz": lambda: base.inertia.inertia[2, 2], "ixy": lambda: base.inertia.inertia[0, 1],
        "ixz": lambda: base.inertia.inertia[0, 2], "iyz": lambda: base.inertia.inertia[1, 2],
        "joint_xyz": lambda: arm_joint_placement.translation[1],
        "collision_xyz": lambda: collision.geometry_objects[0].placement.translation[1],
        "visual_xyz": lambda: visual.geometry_objects[0].placement.translation[1],
        "box": lambda: 2 * float(collision.geometry_objects[0].geometry.half_extents[1]),
        "cylinder_radius": lambda: visual.geometry_objects[0].geometry.radius,
        "cylinder_length": lambda: 2 * visual.geometry_objects[0].geometry.half_length,
        "sphere_radius": lambda: visual.geometry_objects[1].geometry.radius,
        "rgba": lambda: None,
        "visual_rgba": lambda: visual.geometry_objects[0].mesh_color[2],
    }
    return lookup[field]() if field in lookup else None


# The centre of mass, a link's own origin and the axis are checked separately below: a
# value that large cannot be composed into a finite inertia or unit axis.
CONTROLLED = sorted(set(DEFAULTS) - {"com_xyz", "link_xyz", "axis"})


@pytest.mark.parametrize("field", CONTROLLED)
def test_largest_finite_values_load(tmp_path, field):
    largest = MAX_F32 if field in SINGLE_PRECISION else MAX
    for sign in ("", "-"):
        if field in SINGLE_PRECISION and sign:
            continue  # a negative size loads too, but is not what this checks
        value = sign + largest
        path = write(tmp_path, document(field, value))
        model, collision, visual = velmora.build_models_from_urdf(path)
        got = attribute_value(model, collision, visual, field)
        if got is not None:
            assert got == float(value), (field, value)
        for m in (model, velmora.build_model_from_urdf(path)):
            assert all(np.isfinite(p.homogeneous).all() for p in m.joint_placements)
            assert all(np.isfinite(i.inertia).all() and np.isfinite(i.lever).all() for i in m.inertias)
    if field in SINGLE_PRECISION:
        # The largest double is beyond single precision: infinite once read, so refused.
        for beyond in (MAX, "3.5e38"):
            assert full_error(write(tmp_path, document(field, beyond))) == \
                f"Invalid value for parameter: {ATTRIBUTE[field]}"


def test_optional_numbers_that_do_not_parse_keep_their_default(tmp_path):
    # Limits and the inertial origin are optional: text that is not a number keeps the
    # default as before (the same attributes holding NaN are refused, above).
    for field, text in [("lower", "abc"), ("upper", ""), ("com_xyz", "a b c"), ("com_rpy", "0 1"),
                        ("visual_rgba", "red")]:
        values = dict(DEFAULTS, **{field: text})
        velmora.build_models_from_urdf(write(tmp_path, DOC.format(**values)))


def test_real_file_quirks_stay_accepted(tmp_path):
    # A zero mass, an inertia that breaks the triangle inequality, negative limits and a
    # joint whose lower limit equals its upper one are in real files.
    values = dict(DEFAULTS, mass="0", ixx="1", iyy="1", izz="5", lower="-2", upper="-2", effort="-1",
                  velocity="-3")
    path = write(tmp_path, DOC.format(**values))
    model, _, _ = velmora.build_models_from_urdf(path)
    assert velmora.random_configuration(model).to_numpy()[0] == -2.0
    assert next(f for f in model.frames if f.name == "base").inertia.mass == 0.0


def test_overflowing_compositions_refused(tmp_path):
    # Numbers that are finite as read but whose products overflow: a body's inertia about
    # its joint grows with the square of its centre's distance, and placements add up
    # along fixed joints.
    for field in ("com_xyz", "link_xyz"):  # a massless body far away too: 0 times infinity
        path = write(tmp_path, document(field, MAX))
        assert full_error(path).startswith("Numbers too large: the inertia of "), field
        assert model_error(path) == full_error(path)

    body = ('<link name="a"/><link name="b"/><link name="c"/>'
            '<joint name="f1" type="fixed"><parent link="a"/><child link="b"/><origin xyz="1e308 0 0"/></joint>'
            '<joint name="f2" type="fixed"><parent link="b"/><child link="c"/><origin xyz="1e308 0 0"/></joint>')
    path = write(tmp_path, f'<robot name="r">{body}</robot>')
    assert full_error(path).startswith("Numbers too large: ")
    assert model_error(path) == full_error(path)
    # The same placements one below the other on moving joints stay relative: they load.
    body = body.replace('type="fixed"', 'type="revolute"').replace("</joint>", '<limit effort="1" velocity="1"/></joint>')
    model = velmora.build_model_from_urdf(write(tmp_path, f'<robot name="r">{body}</robot>'))
    assert [p.translation[0] for p in model.joint_placements[1:]] == [1e308, 1e308]


def test_large_finite_numbers_that_cannot_be_composed(tmp_path):
    # An axis whose length overflows has no direction; the reader took its numbers.
    path = write(tmp_path, document("axis", MAX))
    assert full_error(path) == model_error(path) == "Invalid value for parameter: xyz"
    assert velmora.build_model_from_urdf(write(tmp_path, document("axis", "1e150"))).nv == 2
    # A centre of mass whose square stays finite loads as written.
    model = velmora.build_model_from_urdf(write(tmp_path, document("com_xyz", "1e150")))
    assert next(f for f in model.frames if f.name == "base").inertia.lever.tolist() == [0.0, 1e150, 0.0]
