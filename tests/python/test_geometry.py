"""Collision shapes (velmora.tessary), geometry objects, geometry models and geometry data."""
import math
import os
import textwrap

import numpy as np
import pytest

import velmora
from velmora import GeometryData, GeometryModel, GeometryObject, SE3
from velmora.tessary import Capsule, Cone, Cuboid, Cylinder, PyMesh, Shape, ShapeType, Sphere

ROBOTS = os.path.join(os.path.dirname(__file__), "..", "robots")
F32_TENTH = 0.10000000149011612  # 0.1 rounded to single precision, widened back


def se3(translation=(0.0, 0.0, 0.0), rotation=None):
    rot = np.eye(3) if rotation is None else np.asarray(rotation, dtype=np.float64)
    return SE3(rot, np.array(translation, dtype=np.float64))


def obj(name="a", joint=0, frame=0, shape=None, placement=None):
    return GeometryObject(name, joint, frame, shape if shape is not None else Sphere(0.1),
                          placement if placement is not None else SE3.Identity())


def view(shape):
    return obj(shape=shape).geometry


def revolute_z_model():
    """A model with one revolute joint about z at the world origin."""
    model = velmora.Model()
    model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j1")
    return model


def placed(model, q):
    data = model.create_data()
    velmora.forward_kinematics(model, data, np.array(q, dtype=np.float64))
    return data


# ----------------------------------------------------------------------------- shapes

class TestShapes:
    @pytest.mark.parametrize("cls", [Cylinder, Cone])
    def test_axial_methods_report_radius_and_half_length(self, cls):
        s = cls(0.5, 2.0)
        assert s.radius() == 0.5 and s.half_length() == 1.0
        assert cls(radius=0.1, length=0.2).radius() == F32_TENTH  # keywords, f32 rounding

    @pytest.mark.parametrize("cls,expected", [
        (Sphere, {"radius": F32_TENTH}),
        (Cylinder, {"radius": F32_TENTH, "half_length": 1.5}),
        (Cone, {"radius": F32_TENTH, "half_length": 1.5}),
        (Capsule, {"radius": F32_TENTH, "half_length": 1.5}),
    ])
    def test_view_reports_only_the_shape_dimensions(self, cls, expected):
        v = view(cls(0.1) if cls is Sphere else cls(0.1, 3.0))
        assert int(v.shape_type) == int(getattr(ShapeType, cls.__name__))
        messages = {"radius": "Shape does not have a radius",
                    "half_length": "Shape does not have a half length",
                    "half_extents": "Shape does not have half extents",
                    "mesh_path": "Shape is not a mesh and does not have a path"}
        for prop, message in messages.items():
            if prop in expected:
                value = getattr(v, prop)
                assert type(value) is float and value == expected[prop]
            else:
                with pytest.raises(ValueError, match=f"^{message}$"):
                    getattr(v, prop)

    def test_cuboid_view(self):
        v = view(Cuboid([2.0, 4.0, 6.0]))
        h = v.half_extents
        assert h.dtype == np.float32 and h.shape == (3,) and h.tolist() == [1.0, 2.0, 3.0]
        h[0] = 9.0
        assert v.half_extents.tolist() == [1.0, 2.0, 3.0]  # a fresh copy each time
        assert int(v.shape_type) == 2
        for prop, message in [("radius", "Shape does not have a radius"),
                              ("half_length", "Shape does not have a half length"),
                              ("mesh_path", "Shape is not a mesh and does not have a path")]:
            with pytest.raises(ValueError, match=f"^{message}$"):
                getattr(v, prop)

    @pytest.mark.parametrize("sides", [
        [2.0, 4.0, 6.0], (2, 4, 6), np.array([2.0, 4.0, 6.0]), [2.0, 4.0, 6.0, 8.0], range(2, 7, 2)])
    def test_cuboid_takes_the_first_three_of_any_sequence(self, sides):
        assert view(Cuboid(sides)).half_extents.tolist() == [1.0, 2.0, 3.0]

    @pytest.mark.parametrize("sides", [[], [1.0], (1.0, 2.0), np.zeros(2)])
    def test_cuboid_with_fewer_than_three_sides_is_refused(self, sides):
        with pytest.raises(ValueError, match=r"must hold three edge lengths \(x, y, z\), but got \d values?\."):
            Cuboid(sides)

    @pytest.mark.parametrize("sides", ["abc", "1234", 3.0, None, {1: 1, 2: 2, 3: 3}, [1.0, "x", 2.0]])
    def test_cuboid_with_non_numeric_sides_is_refused(self, sides):
        with pytest.raises(TypeError, match="Cuboid"):
            Cuboid(sides)

    def test_dimensions_are_stored_unvalidated_in_single_precision(self):
        assert view(Sphere(-1.0)).radius == -1.0
        assert view(Cylinder(0.0, -3.0)).half_length == -1.5
        assert math.isnan(view(Sphere(float("nan"))).radius)
        assert view(Sphere(1e300)).radius == math.inf  # beyond float range: infinity
        assert view(Cuboid([-1e300, 0.0, 1e-50])).half_extents.tolist() == [-math.inf, 0.0, 0.0]
        assert view(Sphere(3)).radius == 3.0  # ints are numbers

    @pytest.mark.parametrize("make", [lambda: Sphere("1"), lambda: Sphere(None), lambda: Cylinder(1.0),
                                      lambda: Cone(1.0, "2"), lambda: Capsule(radius=1.0, size=2.0),
                                      lambda: PyMesh(b"path"), lambda: PyMesh(None)])
    def test_constructor_conversion_errors(self, make):
        with pytest.raises(TypeError):
            make()

    def test_mesh_keeps_its_path_unchecked(self):
        path = "/no/such/dir/../mesh file.stl"
        m = PyMesh(path)
        assert m.mesh_path == path and PyMesh(path="").mesh_path == ""
        with pytest.raises(AttributeError):
            m.mesh_path = "other"

    def test_mesh_view_from_a_loaded_robot(self):
        robot = os.path.join(ROBOTS, "kuka_iiwa")
        _, collision, _ = velmora.build_models_from_urdf(os.path.join(robot, "robot.urdf"), robot)
        v = collision.geometry_objects[0].geometry
        assert int(v.shape_type) == 5
        assert os.path.isfile(v.mesh_path) and "kuka_iiwa" in v.mesh_path
        for prop, message in [("radius", "Shape does not have a radius"),
                              ("half_extents", "Shape does not have half extents"),
                              ("half_length", "Shape does not have a half length")]:
            with pytest.raises(ValueError, match=f"^{message}$"):
                getattr(v, prop)

    def test_shape_type_values(self):
        names = ["Capsule", "Cone", "Cuboid", "Cylinder", "Sphere", "Mesh"]
        assert [k for k in vars(ShapeType) if k in names] == names
        for value, name in enumerate(names):
            member = getattr(ShapeType, name)
            assert type(member) is ShapeType and int(member) == value
            assert repr(member) == str(member) == f"ShapeType.{name}"
        assert getattr(ShapeType, "Sphere") is ShapeType.Sphere  # made once
        v = view(Sphere(1.0))
        # Each read gives a new object; identity is the only equality.
        assert int(v.shape_type) == 4 and v.shape_type is not v.shape_type
        assert v.shape_type != ShapeType.Sphere

    @pytest.mark.parametrize("cls", [Shape, ShapeType])
    def test_view_classes_cannot_be_made(self, cls):
        with pytest.raises(TypeError):
            cls()

    def test_signatures_and_docs(self):
        assert Sphere.__text_signature__ == "(radius)"
        assert Cuboid.__text_signature__ == "(sides)"
        for cls in (Cylinder, Cone, Capsule):
            assert cls.__text_signature__ == "(radius, length)"
        assert PyMesh.__text_signature__ == "(path)"
        assert PyMesh.__doc__ == "A Python wrapper for the Mesh type."
        assert Shape.__doc__ == "A Python wrapper for the ShapeWrapper type."
        assert ShapeType.__doc__ is None
        assert Cylinder.radius.__doc__ == "Returns the radius of the cylinder."
        assert Cylinder.half_length.__doc__ == "Returns the half length of the cylinder."
        assert Cone.radius.__doc__ == "Returns the radius of the cone."
        assert Cone.half_length.__doc__ == "Returns the half length of the cone."
        assert Cone.half_length.__text_signature__ == "($self)"


# --------------------------------------------------------------------- GeometryObject

COUNT_MESSAGE = ("incorrect number of arguments, expected 5, but got {}. Signature: "
                 "GeometryObject(name, parent_joint, parent_frame, geometry, placement)")


class TestGeometryObject:
    def test_defaults_and_fields(self):
        o = GeometryObject("a", 1, 2, Sphere(0.1), SE3.Identity())
        assert o.name == "a" and o.parent_joint == 1 and o.parent_frame == 2
        assert o.disable_collision is False
        c = o.mesh_color
        assert c.dtype == np.float64 and c.shape == (4,) and c.tolist() == [0.0, 0.0, 0.0, 1.0]
        assert o.geometry.radius == F32_TENTH
        assert np.array_equal(o.placement.homogeneous, np.eye(4))
        assert GeometryObject.__text_signature__ == "(*py_args)"
        assert GeometryObject.__doc__ == "A Python wrapper for the `GeometryObject` struct."

    @pytest.mark.parametrize("args", [(), ("a", 1, 2, Sphere(0.1)), ("a", 1, 2, Sphere(0.1), SE3.Identity(), 0)])
    def test_wrong_number_of_arguments(self, args):
        with pytest.raises(ValueError) as e:
            GeometryObject(*args)
        assert str(e.value) == COUNT_MESSAGE.format(len(args))

    def test_keywords_are_refused(self):
        with pytest.raises(TypeError):
            GeometryObject(1, 2, Sphere(0.1), SE3.Identity(), name="a")
        with pytest.raises(TypeError):
            GeometryObject(name="a", parent_joint=1, parent_frame=2, geometry=Sphere(0.1), placement=SE3.Identity())

    def test_geometry_must_be_a_primitive_shape(self):
        mesh = PyMesh("m.stl")
        shape_view = view(Sphere(1.0))
        for geometry in (mesh, shape_view, None, 1.0, "sphere"):
            with pytest.raises(ValueError) as e:
                GeometryObject("a", 0, 0, geometry, SE3.Identity())
            assert str(e.value) == f"expected a shape for 'geometry', but got {geometry!r}."

    @pytest.mark.parametrize("args,error", [
        ((1, 0, 0, Sphere(1.0), SE3.Identity()), TypeError),
        (("a", 0.5, 0, Sphere(1.0), SE3.Identity()), TypeError),
        (("a", -1, 0, Sphere(1.0), SE3.Identity()), OverflowError),
        (("a", 0, -1, Sphere(1.0), SE3.Identity()), OverflowError),
        (("a", 0, 0, Sphere(1.0), np.eye(4)), TypeError),
        (("a", 0, 0, Sphere(1.0), None), TypeError),
    ])
    def test_conversion_errors(self, args, error):
        with pytest.raises(error):
            GeometryObject(*args)

    def test_indices_are_not_checked_against_a_model(self):
        o = GeometryObject("a", 2**64 - 1, 10**6, Cuboid([1, 1, 1]), SE3.Identity())
        assert o.parent_joint == 2**64 - 1 and o.parent_frame == 10**6

    def test_mesh_color_set_and_refused_values(self):
        o = obj()
        o.mesh_color = np.array([1.0, 0.0, 0.0, 0.5])
        assert o.mesh_color.tolist() == [1.0, 0.0, 0.0, 0.5]
        o.mesh_color = np.arange(8.0)[::2]  # read by stride
        assert o.mesh_color.tolist() == [0.0, 2.0, 4.0, 6.0]
        for bad, count in [(np.zeros(3), 3), (np.zeros(5), 5), (np.zeros((2, 3)), 6), (np.float64(1.0), None),
                           (np.array(1.0), 1)]:
            if count is None:
                with pytest.raises(TypeError):  # a NumPy scalar is not an array
                    o.mesh_color = bad
            else:
                with pytest.raises(ValueError) as e:
                    o.mesh_color = bad
                assert str(e.value) == f"expected a NumPy array of length 4 for 'color', but got {count}."
        # Four elements in two dimensions: no obvious r, g, b, a order, so refused.
        for shape in [(2, 2), (1, 4), (4, 1)]:
            with pytest.raises(ValueError, match=r"one-dimensional .*'color'.*\[\d, \d\]"):
                o.mesh_color = np.ones(shape)
        for bad in [np.ones(4, dtype=np.int64), np.ones(4, dtype=np.float32), [1.0, 0.0, 0.0, 1.0], None]:
            with pytest.raises(TypeError, match="color"):
                o.mesh_color = bad
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del o.mesh_color
        assert o.mesh_color.tolist() == [0.0, 2.0, 4.0, 6.0]  # failed sets changed nothing

    @pytest.mark.parametrize("prop", ["name", "geometry", "placement", "parent_joint", "parent_frame",
                                      "disable_collision"])
    def test_other_properties_are_read_only(self, prop):
        o = obj()
        with pytest.raises(AttributeError):
            setattr(o, prop, getattr(o, prop))
        with pytest.raises(AttributeError):
            delattr(o, prop)

    def test_reads_are_copies(self):
        cuboid = Cuboid([2.0, 2.0, 2.0])
        placement = se3((1.0, 2.0, 3.0))
        o = GeometryObject("a", 0, 0, cuboid, placement)
        placement.translation = np.zeros(3)  # the object kept its own copy
        assert o.placement.translation.tolist() == [1.0, 2.0, 3.0]
        p = o.placement
        p.translation = np.array([9.0, 9.0, 9.0])
        assert o.placement.translation.tolist() == [1.0, 2.0, 3.0]
        c = o.mesh_color
        c[:] = 7.0
        assert o.mesh_color.tolist() == [0.0, 0.0, 0.0, 1.0]
        assert o.geometry is not o.geometry

    def test_pretty_repr(self):
        rz = [[0.0, -1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 1.0]]
        o = GeometryObject('link "1"', 3, 7, Cuboid([1, 2, 3]), se3((1.0, -2.0, 1e-5), rz))
        o.mesh_color = np.array([1.0, 0.5, 0.25, 0.0])
        expected = textwrap.dedent("""\
            GeometryObject {
                name: "link \\"1\\"",
                parent_joint: 3,
                parent_frame: 7,
                disable_collision: false,
                mesh_color: Color(
                    [
                        [
                            1.0,
                            0.5,
                            0.25,
                            0.0,
                        ],
                    ],
                ),
                placement: SE3(
                    Isometry {
                        rotation: [
                            [
                                0.0,
                                1.0,
                                0.0,
                            ],
                            [
                                -1.0,
                                0.0,
                                0.0,
                            ],
                            [
                                0.0,
                                0.0,
                                1.0,
                            ],
                        ],
                        translation: [
                            1.0,
                            -2.0,
                            1e-5,
                        ],
                    },
                ),
            }""")
        assert repr(o) == str(o) == expected

        model = GeometryModel()
        assert repr(model) == str(model) == "GeometryModel {\n    objects: [],\n}"
        model.add_geometry_object(o)
        model.add_geometry_object(o)
        nested = textwrap.indent(expected, " " * 8) + ","
        assert repr(model) == "GeometryModel {\n    objects: [\n" + nested + "\n" + nested + "\n    ],\n}"


# ---------------------------------------------------------------------- GeometryModel

class TestGeometryModel:
    def test_empty(self):
        m = GeometryModel()
        assert m.ngeoms == 0 and m.geometry_objects == []
        assert m.get_geometry_id("a") is None and m.get_geometry_id("") is None
        with pytest.raises(TypeError):
            GeometryModel(1)

    def test_ids_are_positions_and_lookup_finds_the_lowest(self):
        m = GeometryModel()
        a = obj("a")
        assert m.add_geometry_object(a) == 0
        assert m.add_geometry_object(object=a) == 1
        assert m.add_geometry_object(obj("b")) == 2
        assert m.ngeoms == 3
        assert m.get_geometry_id("a") == 0 and m.get_geometry_id(name="b") == 2
        assert m.get_geometry_id("A") is None and m.get_geometry_id("a ") is None
        assert [o.name for o in m.geometry_objects] == ["a", "a", "b"]

    def test_stored_objects_are_copies(self):
        m = GeometryModel()
        o = obj("a", shape=Cylinder(1.0, 4.0), placement=se3((1.0, 0.0, 0.0)))
        m.add_geometry_object(o)
        o.mesh_color = np.array([1.0, 1.0, 1.0, 1.0])
        stored = m.geometry_objects[0]
        assert stored.mesh_color.tolist() == [0.0, 0.0, 0.0, 1.0]
        stored.mesh_color = np.array([0.5, 0.5, 0.5, 0.5])
        fresh = m.geometry_objects
        assert fresh[0].mesh_color.tolist() == [0.0, 0.0, 0.0, 1.0]
        assert fresh[0] is not m.geometry_objects[0]
        # Every field survives the copies.
        assert fresh[0].geometry.half_length == 2.0 and fresh[0].placement.translation.tolist() == [1.0, 0.0, 0.0]

    @pytest.mark.parametrize("call", [
        lambda m: m.add_geometry_object(Sphere(1.0)),
        lambda m: m.add_geometry_object(None),
        lambda m: m.add_geometry_object(),
        lambda m: m.get_geometry_id(0),
        lambda m: m.get_geometry_id(b"a"),
        lambda m: m.create_data(velmora.Model()),
        lambda m: m.create_data(data=None),
    ])
    def test_argument_errors_change_nothing(self, call):
        m = GeometryModel()
        m.add_geometry_object(obj())
        with pytest.raises(TypeError):
            call(m)
        assert m.ngeoms == 1

    def test_read_only_properties(self):
        m = GeometryModel()
        for prop in ("ngeoms", "geometry_objects"):
            with pytest.raises(AttributeError):
                setattr(m, prop, 0)

    def test_signatures_and_docs(self):
        assert GeometryModel.__text_signature__ == "()"
        assert GeometryModel.__doc__ == "A Python wrapper for the [`GeometryModel`] struct."
        assert GeometryModel.geometry_objects.__doc__ == "Returns the list of geometry objects in the model."
        assert GeometryModel.ngeoms.__doc__ is None
        assert GeometryModel.add_geometry_object.__text_signature__ == "($self, object)"
        assert GeometryModel.create_data.__text_signature__ == "($self, data)"
        assert GeometryModel.get_geometry_id.__text_signature__ == "($self, name)"


# ----------------------------------------------------------------------- GeometryData

class TestGeometryData:
    def test_empty_model(self):
        model = revolute_z_model()
        gd = GeometryModel().create_data(model.create_data())
        with pytest.raises(KeyError) as e:
            gd.get_object_placement(0)
        assert e.value.args == ("Object with index 0 not found",)
        with pytest.raises(OverflowError):
            gd.get_object_placement(-1)
        with pytest.raises(TypeError):
            gd.get_object_placement(0.0)

    def test_object_on_the_world_joint_ignores_q(self):
        model = revolute_z_model()
        gm = GeometryModel()
        gm.add_geometry_object(obj(joint=0, placement=se3((0.0, 0.0, 1.0))))
        for q in (0.0, 1.0, -2.5):
            gd = gm.create_data(placed(model, [q]))
            assert np.allclose(gd.get_object_placement(0).homogeneous, se3((0.0, 0.0, 1.0)).homogeneous)

    def test_placement_follows_forward_kinematics_and_stays_until_updated(self):
        model = revolute_z_model()
        gm = GeometryModel()
        gm.add_geometry_object(obj("arm", joint=1, placement=se3((1.0, 0.0, 0.0))))
        data = placed(model, [math.pi / 2])
        gd = gm.create_data(data)
        assert np.allclose(gd.get_object_placement(0).translation, [0.0, 1.0, 0.0], atol=1e-15)
        assert np.allclose(gd.get_object_placement(0).rotation, [[0, -1, 0], [1, 0, 0], [0, 0, 1]], atol=1e-15)

        velmora.forward_kinematics(model, data, np.array([math.pi]))
        assert np.allclose(gd.get_object_placement(0).translation, [0.0, 1.0, 0.0], atol=1e-15)  # stale
        assert gd.update_geometry_data(data, gm) is None
        assert np.allclose(gd.get_object_placement(0).translation, [-1.0, 0.0, 0.0], atol=1e-15)

    def test_joint_placement_is_applied_on_the_left(self):
        model = revolute_z_model()
        gm = GeometryModel()
        rx = [[1.0, 0.0, 0.0], [0.0, 0.0, -1.0], [0.0, 1.0, 0.0]]  # 90 degrees about x
        local = se3((1.0, 0.0, 0.0), rx)
        gm.add_geometry_object(obj(joint=1, placement=local))
        data = placed(model, [0.7])
        joint = data.oMi[1]
        got = GeometryData(data, gm).get_object_placement(0).homogeneous
        assert np.allclose(got, joint.homogeneous @ local.homogeneous, atol=1e-15)
        assert not np.allclose(got, local.homogeneous @ joint.homogeneous)

    def test_constructor_update_and_keywords(self):
        model = revolute_z_model()
        data = placed(model, [0.3])
        one, three = GeometryModel(), GeometryModel()
        one.add_geometry_object(obj(joint=1))
        for j in (0, 1, 1):
            three.add_geometry_object(obj(joint=j, placement=se3((0.0, 0.0, 2.0))))
        gd = GeometryData(geom_model=one, data=data)
        gd.get_object_placement(0)
        with pytest.raises(KeyError, match="Object with index 1 not found"):
            gd.get_object_placement(1)
        gd.update_geometry_data(geom_model=three, data=data)
        assert np.allclose(gd.get_object_placement(2).translation, [0.0, 0.0, 2.0])
        gd.update_geometry_data(data, GeometryModel())
        with pytest.raises(KeyError):
            gd.get_object_placement(0)

    def test_reads_are_copies(self):
        model = revolute_z_model()
        gm = GeometryModel()
        gm.add_geometry_object(obj(joint=0, placement=se3((1.0, 2.0, 3.0))))
        gd = gm.create_data(model.create_data())
        p = gd.get_object_placement(0)
        p.translation = np.zeros(3)
        assert gd.get_object_placement(0).translation.tolist() == [1.0, 2.0, 3.0]

    def test_parent_joint_without_placement_is_refused(self):
        model = revolute_z_model()  # two joints: 0 and 1
        data = placed(model, [math.pi / 2])
        good, bad = GeometryModel(), GeometryModel()
        good.add_geometry_object(obj("ok", joint=1, placement=se3((1.0, 0.0, 0.0))))
        bad.add_geometry_object(obj("ok", joint=1))
        bad.add_geometry_object(obj("wheel", joint=5))
        message = r'Geometry object "wheel" \(index 1\) is attached to joint 5, but the data holds placements for 2'
        with pytest.raises(ValueError, match=message):
            bad.create_data(data)
        with pytest.raises(ValueError, match=message):
            GeometryData(data, bad)

        gd = good.create_data(data)
        velmora.forward_kinematics(model, data, np.array([0.0]))
        with pytest.raises(ValueError, match=message):
            gd.update_geometry_data(data, bad)
        # Nothing was replaced, not even the object that could have been placed.
        assert np.allclose(gd.get_object_placement(0).translation, [0.0, 1.0, 0.0], atol=1e-15)
        with pytest.raises(KeyError):
            gd.get_object_placement(1)

    @pytest.mark.parametrize("call", [
        lambda d, gm, gd: GeometryData(gm, d),
        lambda d, gm, gd: GeometryData(d),
        lambda d, gm, gd: gd.update_geometry_data(d, None),
        lambda d, gm, gd: gd.update_geometry_data(gm, d),
        lambda d, gm, gd: gd.update_geometry_data(data=d),
    ])
    def test_argument_errors(self, call):
        model = revolute_z_model()
        data = model.create_data()
        gm = GeometryModel()
        gm.add_geometry_object(obj(joint=1))
        gd = gm.create_data(data)
        with pytest.raises(TypeError):
            call(data, gm, gd)
        gd.get_object_placement(0)

    def test_signatures_and_docs(self):
        assert GeometryData.__text_signature__ == "(data, geom_model)"
        assert GeometryData.__doc__ == "A Python wrapper for the `GeometryData` struct."
        assert GeometryData.update_geometry_data.__text_signature__ == "($self, data, geom_model)"
        assert GeometryData.get_object_placement.__text_signature__ == "($self, object_index)"
        assert repr(GeometryData(velmora.Model().create_data(), GeometryModel())).startswith("<GeometryData object")
