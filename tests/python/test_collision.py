"""Collision and distance queries against closed forms, mesh files of known solids, the
collision pair list and SRDF files, and the errors of each."""
import os
import struct
import sys
import textwrap
import warnings

import numpy as np
import pytest

import velmora
from velmora import GeometryModel, GeometryObject, SE3
from velmora.tessary import Capsule, Cone, Cuboid, Cylinder, Sphere

ROBOTS = os.path.join(os.path.dirname(__file__), "..", "robots")
TOL = 1e-9
# Witness points on a curved surface come from an iteration that stops when the distance
# no longer improves; the distance is then exact to ~1e-10 but the point only to the
# square root of that.
CURVED_POINT_TOL = 1e-4


def rotation(axis, angle):
    a = np.asarray(axis, dtype=np.float64)
    a = a / np.linalg.norm(a)
    k = np.array([[0.0, -a[2], a[1]], [a[2], 0.0, -a[0]], [-a[1], a[0], 0.0]])
    return np.eye(3) + np.sin(angle) * k + (1.0 - np.cos(angle)) * k @ k


def se3(translation=(0.0, 0.0, 0.0), rot=None):
    return SE3(np.eye(3) if rot is None else np.asarray(rot, dtype=np.float64),
               np.asarray(translation, dtype=np.float64))


def scene(*objects):
    """A geometry model of objects on the universe joint (placements are world placements),
    every pair listed, and its data."""
    gm = GeometryModel()
    for k, (shape, placement) in enumerate(objects):
        gm.add_geometry_object(GeometryObject(f"o{k}", 0, 0, shape, placement))
    for i in range(len(objects)):
        for j in range(i + 1, len(objects)):
            gm.add_collision_pair(i, j)
    return gm, gm.create_data(velmora.Model().create_data())


def spheres_on_two_joints(radius):
    """Two spheres of `radius`, one on each of two revolute joints about z, 1 m and 3 m out
    along x, and their pair: the model and the geometry model."""
    model = velmora.Model()
    a = model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "a")
    b = model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "b")
    gm = GeometryModel()
    gm.add_geometry_object(GeometryObject("s", a, 0, Sphere(radius), se3((1.0, 0.0, 0.0))))
    gm.add_geometry_object(GeometryObject("t", b, 0, Sphere(radius), se3((3.0, 0.0, 0.0))))
    gm.add_all_collision_pairs(model)
    return model, gm


def distance(shape_i, place_i, shape_j, place_j):
    gm, gd = scene((shape_i, place_i), (shape_j, place_j))
    result = velmora.compute_distance(gm, gd, 0, 1)
    colliding = velmora.compute_collisions(gm, gd) == [(0, 1)]
    assert colliding == (result.distance < 0.0)
    assert velmora.compute_distances(gm, gd)[0].distance == result.distance
    return result


def check(result, expected, point_i=None, point_j=None, normal=None, point_tol=TOL):
    assert result.distance == pytest.approx(expected, abs=TOL)
    if point_i is not None:
        np.testing.assert_allclose(result.point_i, point_i, atol=point_tol, rtol=0)
    if point_j is not None:
        np.testing.assert_allclose(result.point_j, point_j, atol=point_tol, rtol=0)
    if normal is not None:
        np.testing.assert_allclose(result.normal, normal, atol=max(point_tol, TOL), rtol=0)
    # The points and the normal agree with the distance, apart or overlapping.
    np.testing.assert_allclose(result.point_j - result.point_i, result.distance * result.normal, atol=point_tol)
    for v in (result.point_i, result.point_j, result.normal):
        assert v.dtype == np.float64 and v.shape == (3,) and v.flags.c_contiguous


# ------------------------------------------------------------------------ closed forms

class TestClosedForms:
    # Dimensions are exact in single precision, so the shapes are exactly the ones written.

    @pytest.mark.parametrize("centre", [(0.6, 0.5, 0.25), (0.0, 0.0, 2.0), (-1.0, 3.0, -0.5)])
    def test_sphere_sphere_apart(self, centre):
        c = np.array(centre)
        u = c / np.linalg.norm(c)
        r = distance(Sphere(0.25), se3(), Sphere(0.5), se3(c))
        check(r, np.linalg.norm(c) - 0.75, 0.25 * u, c - 0.5 * u, u)

    def test_sphere_sphere_overlap(self):
        c = np.array([0.3, 0.2, 0.1])
        u = c / np.linalg.norm(c)
        r = distance(Sphere(0.25), se3(), Sphere(0.5), se3(c))
        # The deepest points: each sphere's surface point inside the other, along the centre line.
        check(r, np.linalg.norm(c) - 0.75, 0.25 * u, c - 0.5 * u, u)

    @pytest.mark.parametrize("centre,closest", [
        ((1.0, 0.125, 0.25), (0.5, 0.125, 0.25)),       # face region
        ((1.0, 1.5, 0.25), (0.5, 0.5, 0.25)),           # edge region
        ((1.0, -1.0, 2.0), (0.5, -0.5, 0.5)),           # corner region
    ])
    def test_sphere_cuboid_apart(self, centre, closest):
        c, p = np.array(centre), np.array(closest)
        u = (p - c) / np.linalg.norm(p - c)  # from the sphere towards the box
        r = distance(Sphere(0.25), se3(c), Cuboid([1.0, 1.0, 1.0]), se3())
        check(r, np.linalg.norm(c - p) - 0.25, c + 0.25 * u, p, u)

    def test_sphere_cuboid_overlap_and_rotated_box(self):
        # Centre inside the box, 0.125 below its +x face: depth 0.125 + radius.
        r = distance(Sphere(0.25), se3((0.375, 0.125, 0.0)), Cuboid([1.0, 1.0, 1.0]), se3())
        # Normal: the way the box must move to clear the sphere (out through its +x face).
        check(r, -0.375, (0.125, 0.125, 0.0), (0.5, 0.125, 0.0), (-1.0, 0.0, 0.0))
        # The same box turned about z by 90 degrees (sides 1 x 2 become 2 x 1).
        r = distance(Sphere(0.25), se3((2.0, 0.0, 0.0)), Cuboid([1.0, 2.0, 0.5]), se3(rot=rotation((0, 0, 1), np.pi / 2)))
        check(r, 2.0 - 1.0 - 0.25, (1.75, 0.0, 0.0), (1.0, 0.0, 0.0), (-1.0, 0.0, 0.0))

    def test_capsule_capsule(self):
        crossed = rotation((1, 0, 0), np.pi / 2)  # the second capsule's axis along y
        # Skew axes 1 apart, closest points inside both segments.
        r = distance(Capsule(0.125, 1.0), se3(), Capsule(0.25, 1.0), se3((1.0, 0.0, 0.25), crossed))
        check(r, 1.0 - 0.375, (0.125, 0.0, 0.25), (0.75, 0.0, 0.25), (1.0, 0.0, 0.0))
        # Parallel, end caps facing each other along the axis.
        r = distance(Capsule(0.125, 1.0), se3(), Capsule(0.25, 0.5), se3((0.0, 0.0, 1.5)))
        check(r, 1.5 - 0.5 - 0.25 - 0.125 - 0.25, (0.0, 0.0, 0.625), (0.0, 0.0, 1.0), (0.0, 0.0, 1.0))
        # Skew axes 0.25 apart: they overlap by 0.125.
        r = distance(Capsule(0.125, 1.0), se3(), Capsule(0.25, 1.0), se3((0.25, 0.0, 0.25), crossed))
        check(r, 0.25 - 0.375, (0.125, 0.0, 0.25), (0.0, 0.0, 0.25), (1.0, 0.0, 0.0))

    def test_cuboid_cuboid_face_edge_corner(self):
        unit = Cuboid([1.0, 1.0, 1.0])
        # Face to face, offset sideways: gap 0.25 along x.
        r = distance(unit, se3(), unit, se3((1.25, 0.25, 0.125)))
        assert r.distance == pytest.approx(0.25, abs=TOL)
        np.testing.assert_allclose(r.normal, (1.0, 0.0, 0.0), atol=TOL)
        assert r.point_i[0] == pytest.approx(0.5, abs=TOL) and r.point_j[0] == pytest.approx(0.75, abs=TOL)
        np.testing.assert_allclose(r.point_i[1:], r.point_j[1:], atol=TOL)
        # Edge of the second (turned 45 degrees about z) against the face of the first.
        r = distance(unit, se3(), unit, se3((1.5, 0.0, 0.0), rotation((0, 0, 1), np.pi / 4)))
        gap = 1.5 - 0.5 - 0.5 * np.sqrt(2.0)
        assert r.distance == pytest.approx(gap, abs=TOL)
        assert r.point_j[:2] == pytest.approx([0.5 + gap, 0.0], abs=TOL)
        # Corner of the second (its (1, 1, 1) diagonal turned onto -x) against the face.
        u, v = np.array([1.0, 1.0, 1.0]) / np.sqrt(3.0), np.array([-1.0, 0.0, 0.0])
        turn = rotation(np.cross(u, v), np.arccos(u @ v))
        r = distance(unit, se3(), unit, se3((2.0, 0.0, 0.0), turn))
        gap = 2.0 - 0.5 - 0.5 * np.sqrt(3.0)
        check(r, gap, None, (0.5 + gap, 0.0, 0.0), (1.0, 0.0, 0.0))
        # Corner to corner and edge to edge of axis-aligned boxes.
        r = distance(unit, se3(), Cuboid([0.5, 0.5, 0.5]), se3((1.0, -1.25, 1.5)))
        check(r, np.linalg.norm([0.25, 0.5, 0.75]), (0.5, -0.5, 0.5), (0.75, -1.0, 1.25))
        r = distance(unit, se3(), Cuboid([0.5, 0.5, 0.5]), se3((1.0, -1.25, 0.0)))
        assert r.distance == pytest.approx(np.hypot(0.25, 0.5), abs=TOL)
        # Overlapping by 0.25 along x: polytopes give exact depths.
        r = distance(unit, se3(), unit, se3((0.75, 0.25, 0.125)))
        check(r, -0.25, None, None, (1.0, 0.0, 0.0))
        # The points straddle the contact position, which lies in both boxes.
        middle = (r.point_i + r.point_j) / 2
        assert 0.25 - TOL <= middle[0] <= 0.5 + TOL and np.all(np.abs(middle) <= 0.5 + TOL)

    @pytest.mark.parametrize("tilt", [0.0, 0.375, 1.0])
    def test_cylinder_above_a_plate(self, tilt):
        turn = rotation((1, 0, 0), tilt)
        r = distance(Cylinder(0.125, 1.0), se3(rot=turn), Cuboid([4.0, 4.0, 0.25]), se3((0.0, 0.0, -1.0)))
        lowest = 0.5 * np.cos(tilt) + 0.125 * np.sin(tilt)  # the rim point furthest down
        check(r, 1.0 - 0.125 - lowest, normal=(0.0, 0.0, -1.0))
        assert r.point_i[2] == pytest.approx(-lowest, abs=TOL) and r.point_j[2] == pytest.approx(-0.875, abs=TOL)
        if tilt > 0:  # a single lowest point
            np.testing.assert_allclose(r.point_i, turn @ [0.0, -0.125, -0.5], atol=CURVED_POINT_TOL)
        # Sunk 0.0625 into the plate: the depth of the lowest rim point.
        r = distance(Cylinder(0.125, 1.0), se3((0.0, 0.0, -0.9375 + lowest), turn), Cuboid([4.0, 4.0, 0.25]),
                     se3((0.0, 0.0, -1.0)))
        assert r.distance == pytest.approx(-0.0625, abs=1e-6)
        np.testing.assert_allclose(r.normal, (0.0, 0.0, -1.0), atol=1e-6)

    def test_sphere_against_each_region_of_a_cylinder(self):
        # A cylinder of radius 0.25 and length 1, turned and moved; sphere centres (in its
        # frame) beside the side, above the end face, beyond the rim, and grazing the end
        # plane, where the closest point passes from the side to the rim.
        turn = rotation((1.0, 2.0, 0.5), 0.7)
        place = se3((0.3, -0.2, 0.1), turn)
        radius, half, probe = 0.25, 0.5, 0.125
        for local in [(1.0, 0.0, 0.0), (0.6, 0.8, 0.49), (0.0, -0.7, -0.5), (0.1, 0.0, 1.5), (-0.05, 0.1, -0.9),
                      (1.0, 1.0, 1.0), (0.7, 0.0, -0.75), (0.5, 0.0, 0.500001)]:
            local = np.array(local)
            rho, z = np.hypot(local[0], local[1]), abs(local[2])
            expected = (np.hypot(max(rho - radius, 0.0), max(z - half, 0.0)) - probe)
            centre = turn @ local + place.translation
            r = distance(Cylinder(radius, 2 * half), place, Sphere(probe), se3(centre))
            # The closest point of the cylinder: the centre clamped to its radius and length.
            near = local.copy()
            if rho > radius:
                near[:2] *= radius / rho
            near[2] = np.clip(local[2], -half, half)
            check(r, expected, point_i=turn @ near + place.translation, point_tol=CURVED_POINT_TOL)
            r = distance(Sphere(probe), se3(centre), Cylinder(radius, 2 * half), place)
            check(r, expected, point_j=turn @ near + place.translation, point_tol=CURVED_POINT_TOL)

    def test_cuboid_corner_nearest_each_region_of_a_cylinder(self):
        # A cuboid turned at random with one corner q at a probe point and the rest of it
        # beyond the plane through q orthogonal to n, the direction from the cylinder's
        # point p nearest q: then q and p are the only closest pair, |q - p| apart. Curved
        # side, rim and end face against a corner take the iteration through many steps,
        # in both orders of the pair.
        rng = np.random.default_rng(11)
        radius, half = 0.25, 0.5
        sides = np.array([0.5, 0.375, 0.125])
        for trial in range(36):
            turn = rotation(rng.normal(size=3), rng.uniform(0, np.pi))
            place = se3(rng.uniform(-0.5, 0.5, 3), turn)
            local = rng.uniform(-1.0, 1.0, 3) * [0.75, 0.75, 1.25]
            rho = np.hypot(local[0], local[1])
            if rho <= radius + 0.01 and abs(local[2]) <= half + 0.01:
                continue
            near = np.array([*(local[:2] * min(1.0, radius / rho)), np.clip(local[2], -half, half)])
            n = turn @ (local - near) / np.linalg.norm(local - near)
            q = turn @ local + place.translation
            axes = rotation(rng.normal(size=3), rng.uniform(0, np.pi))
            centre = q + axes @ (np.sign(axes.T @ n) * sides / 2)
            expected = np.linalg.norm(local - near)
            box, cylinder, box_place = Cuboid(list(sides)), Cylinder(radius, 2 * half), se3(centre, axes)
            r = distance(cylinder, place, box, box_place)
            check(r, expected, point_i=turn @ near + place.translation, point_j=q, point_tol=CURVED_POINT_TOL)
            r = distance(box, box_place, cylinder, place)
            check(r, expected, point_i=q, point_j=turn @ near + place.translation, point_tol=CURVED_POINT_TOL)

    def test_parallel_cylinders_side_by_side(self):
        # Parallel axes with overlapping lengths: the sides are the axes' distance less
        # both radii apart, whatever the common direction and the offset along it.
        rng = np.random.default_rng(12)
        for _ in range(24):
            turn = rotation(rng.normal(size=3), rng.uniform(0, np.pi))
            side = turn @ [np.cos(angle := rng.uniform(0, 2 * np.pi)), np.sin(angle), 0.0]
            gap = rng.choice([1e-3, 0.05, 0.5])
            centre = (0.25 + 0.125 + gap) * side + turn @ [0.0, 0.0, rng.uniform(-0.6, 0.6)]
            r = distance(Cylinder(0.25, 1.0), se3(rot=turn), Cylinder(0.125, 0.5), se3(centre, turn))
            check(r, gap, normal=side)

    def test_cone_and_touching_shapes(self):
        # A cone's apex (at +z, half length 0.5) 0.25 below a sphere of radius 0.25.
        r = distance(Cone(0.25, 1.0), se3(), Sphere(0.25), se3((0.0, 0.0, 1.0)))
        check(r, 0.25, (0.0, 0.0, 0.5), (0.0, 0.0, 0.75), (0.0, 0.0, 1.0), point_tol=CURVED_POINT_TOL)
        # Overlap by 1e-3 is a collision; a gap of 1e-3 is not.
        gm, gd = scene((Cuboid([1.0, 1.0, 1.0]), se3()), (Sphere(0.5), se3((0.999, 0.0, 0.0))))
        assert velmora.compute_collisions(gm, gd) == [(0, 1)]
        gm, gd = scene((Cuboid([1.0, 1.0, 1.0]), se3()), (Sphere(0.5), se3((1.001, 0.0, 0.0))))
        assert velmora.compute_collisions(gm, gd) == []

    def test_queries_follow_the_joints(self):
        # Two unit spheres one on each of two revolute joints about z, 1 m and 3 m out along x.
        model, gm = spheres_on_two_joints(0.5)
        assert gm.collision_pairs == [(0, 1)]
        data = model.create_data()
        gd = gm.create_data(data)
        for angle in np.linspace(0.0, np.pi, 7):
            velmora.forward_kinematics(model, data, np.array([angle, 0.0]))
            gd.update_geometry_data(data, gm)
            # Law of cosines between the centres, minus both radii.
            expected = np.sqrt(1.0 + 9.0 - 6.0 * np.cos(angle)) - 1.0
            assert velmora.compute_distances(gm, gd)[0].distance == pytest.approx(expected, abs=TOL)
            assert (velmora.compute_collisions(gm, gd) == [(0, 1)]) == (expected <= 0)

    def test_flat_contacts_between_parallel_faces(self):
        # Parallel faces tie many closest points: the distance is still exact. Coaxial
        # cylinders end to end, a cuboid resting its face on a cylinder's end, and two
        # cuboids whose nearest features are parallel edges (0.01 apart sideways, 0.07 up).
        r = distance(Cylinder(0.125, 0.25), se3((0.0, 0.0, 0.125)), Cylinder(0.0625, 0.5), se3((0.0, 0.0, 1.0)))
        check(r, 0.5, normal=(0.0, 0.0, 1.0))
        assert r.point_i[2] == pytest.approx(0.25, abs=TOL) and np.hypot(*r.point_i[:2]) <= 0.0625 + TOL
        r = distance(Cylinder(0.125, 0.5), se3(), Cuboid([0.5, 0.5, 0.5]), se3((0.25, -0.125, 0.75)))
        check(r, 0.25, normal=(0.0, 0.0, 1.0))
        r = distance(Cuboid([0.0625, 0.0625, 0.0625]), se3(), Cuboid([0.015625, 0.015625, 0.0625]),
                     se3((0.0, 0.0546875, 0.125)))
        check(r, np.hypot(0.015625, 0.0625))
        np.testing.assert_allclose(r.point_i[1:], (0.03125, 0.03125), atol=TOL)
        np.testing.assert_allclose(r.point_j[1:], (0.046875, 0.09375), atol=TOL)


# ------------------------------------------------------------- distances, certified

def support(shape, placement, n):
    """max of n . x over the placed shape (its support function), in closed form."""
    kind, t = int(shape.shape_type), np.asarray(placement.translation)
    d = np.asarray(placement.rotation).T @ n
    if kind == 4:    # sphere
        return n @ t + shape.radius * np.linalg.norm(n)
    if kind == 2:    # cuboid
        return n @ t + np.abs(d) @ shape.half_extents.astype(np.float64)
    r, h = shape.radius, shape.half_length
    if kind == 3:    # cylinder
        return n @ t + r * np.hypot(d[0], d[1]) + h * abs(d[2])
    if kind == 1:    # cone, apex at +h
        return n @ t + max(h * d[2], r * np.hypot(d[0], d[1]) - h * d[2])
    return n @ t + h * abs(d[2]) + r * np.linalg.norm(n)  # capsule


def contains(shape, placement, x, tol):
    """Whether world point x lies in the placed shape (to tol)."""
    kind = int(shape.shape_type)
    p = np.asarray(placement.rotation).T @ (x - np.asarray(placement.translation))
    if kind == 4:
        return np.linalg.norm(p) <= shape.radius + tol
    if kind == 2:
        return bool(np.all(np.abs(p) <= shape.half_extents.astype(np.float64) + tol))
    r, h = shape.radius, shape.half_length
    if kind == 3:
        return np.hypot(p[0], p[1]) <= r + tol and abs(p[2]) <= h + tol
    if kind == 1:
        return abs(p[2]) <= h + tol and np.hypot(p[0], p[1]) <= r * (h - p[2]) / (2 * h) + tol
    return np.linalg.norm(p - (0.0, 0.0, np.clip(p[2], -h, h))) <= r + tol


class TestCertifiedDistances:
    """Every distance between separated primitives carries its own proof: both points lie on
    their shapes, they are `distance` apart along the normal, and the planes through them
    orthogonal to the normal have each shape entirely on its own side. Then no two points of
    the shapes are closer, whatever solver found them."""

    SHAPES = [lambda a, b: Sphere(a), lambda a, b: Cuboid([a, b, 0.5 * (a + b)]), lambda a, b: Capsule(a, b),
              lambda a, b: Cylinder(a, b), lambda a, b: Cone(a, b)]

    def test_random_pairs_of_every_kind(self):
        rng = np.random.default_rng(23)
        proved = 0
        for trial in range(600):
            a, b = (make(*rng.choice([0.01, 0.045, 0.07, 0.16, 0.4], 2)) for make in
                    (self.SHAPES[trial % 5], self.SHAPES[(trial // 5) % 5]))
            place_a = se3(rng.uniform(-0.05, 0.05, 3), rotation(rng.normal(size=3), rng.uniform(0, np.pi)))
            turn = rotation(rng.normal(size=3), rng.uniform(0, np.pi)) if trial % 3 else np.eye(3)
            place_b = se3(rng.normal(size=3) * rng.choice([0.1, 0.3, 1.0]), turn)
            r = distance(a, place_a, b, place_b)
            if r.distance <= 0.0:
                continue
            a, b = (o.geometry for o in scene((a, place_a), (b, place_b))[0].geometry_objects)
            proved += 1
            n = r.normal
            assert np.linalg.norm(n) == pytest.approx(1.0, abs=1e-12)
            np.testing.assert_allclose(r.point_j - r.point_i, r.distance * n, atol=1e-12)
            assert contains(a, place_a, r.point_i, 1e-12) and contains(b, place_b, r.point_j, 1e-12), trial
            # Separating planes: a lies below point_i along n, b above point_j.
            assert support(a, place_a, n) <= n @ r.point_i + TOL, trial
            assert -support(b, place_b, -n) >= n @ r.point_j - TOL, trial
        assert proved > 400

    def test_mesh_hulls_of_a_robot(self):
        # kuka_iiwa's links as convex hulls: the separating planes through the points bound
        # the hulls' vertices, so the distance is not below the true one.
        path = os.path.join(ROBOTS, "kuka_iiwa", "robot.urdf")
        model, collision, _ = velmora.build_models_from_urdf(path, os.path.join(ROBOTS, "kuka_iiwa"))
        collision.add_all_collision_pairs()
        collision.load_meshes(convex=True)
        corners = [o.geometry.mesh_triangles().reshape(-1, 3) for o in collision.geometry_objects]
        data = model.create_data()
        gd = collision.create_data(data)
        apart = 0
        for _ in range(3):
            velmora.forward_kinematics(model, data, velmora.random_configuration(model).to_numpy())
            gd.update_geometry_data(data, collision)
            colliding = velmora.compute_collisions(collision, gd)
            for r in velmora.compute_distances(collision, gd):
                assert (r.pair in colliding) == (r.distance < 0.0) or r.distance == 0.0
                if r.distance <= 0.0:
                    continue
                apart += 1
                (i, j), n = r.pair, r.normal
                world = [np.asarray(gd.get_object_placement(k).rotation) @ corners[k].T for k in (i, j)]
                world = [w.T + np.asarray(gd.get_object_placement(k).translation) for w, k in zip(world, (i, j))]
                assert np.max(world[0] @ n) <= n @ r.point_i + TOL
                assert np.min(world[1] @ n) >= n @ r.point_j - TOL
                np.testing.assert_allclose(r.point_j - r.point_i, r.distance * n, atol=1e-12)
        assert apart > 30

    def test_sample_arm_pairs_at_random_configurations(self):
        sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
        from velmora_tools import sample_urdf
        model, collision, _ = velmora.build_models_from_urdf(sample_urdf())
        collision.add_all_collision_pairs()
        data = model.create_data()
        gd = collision.create_data(data)
        shapes = [o.geometry for o in collision.geometry_objects]
        rng = np.random.default_rng(4)
        for _ in range(20):
            q = velmora.random_configuration(model).to_numpy() + rng.normal(scale=1e-3, size=model.nq)
            velmora.forward_kinematics(model, data, q)
            gd.update_geometry_data(data, collision)
            for r in velmora.compute_distances(collision, gd):
                if r.distance <= 0.0:
                    continue
                (i, j), n = r.pair, r.normal
                pi, pj = gd.get_object_placement(i), gd.get_object_placement(j)
                assert contains(shapes[i], pi, r.point_i, 1e-12) and contains(shapes[j], pj, r.point_j, 1e-12)
                assert support(shapes[i], pi, n) <= n @ r.point_i + TOL
                assert -support(shapes[j], pj, -n) >= n @ r.point_j - TOL


# -------------------------------------------------------------------------- mesh files

CUBE_VERTICES = np.array([[x, y, z] for x in (-1.0, 1.0) for y in (-1.0, 1.0) for z in (-1.0, 1.0)])
# Two triangles per face, outward winding (corner index = 4 x + 2 y + z).
CUBE_FACES = np.array([[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
                       [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]])


def write_stl(path, vertices, faces):
    with open(path, "wb") as f:
        f.write(b"binary cube".ljust(80, b" ") + struct.pack("<I", len(faces)))
        for tri in faces:
            f.write(struct.pack("<3f", 0.0, 0.0, 0.0))
            for v in vertices[tri]:
                f.write(struct.pack("<3f", *v))
            f.write(b"\0\0")


def write_obj(path, vertices, faces):
    with open(path, "w") as f:
        f.writelines(f"v {x} {y} {z}\n" for x, y, z in vertices)
        f.writelines(f"f {a + 1} {b + 1} {c + 1}\n" for a, b, c in faces)


def write_dae(path, vertices, faces):
    positions = " ".join(f"{x} {y} {z}" for x, y, z in vertices)
    indices = " ".join(str(i) for i in faces.ravel())
    with open(path, "w") as f:
        f.write(textwrap.dedent(f"""\
            <?xml version="1.0" encoding="utf-8"?>
            <COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
              <asset><unit name="meter" meter="1"/><up_axis>Z_UP</up_axis></asset>
              <library_geometries><geometry id="cube" name="cube"><mesh>
                <source id="cube-pos"><float_array id="cube-arr" count="{vertices.size}">{positions}</float_array>
                  <technique_common><accessor source="#cube-arr" count="{len(vertices)}" stride="3">
                    <param name="X" type="float"/><param name="Y" type="float"/><param name="Z" type="float"/>
                  </accessor></technique_common></source>
                <vertices id="cube-vtx"><input semantic="POSITION" source="#cube-pos"/></vertices>
                <triangles count="{len(faces)}"><input semantic="VERTEX" source="#cube-vtx" offset="0"/>
                  <p>{indices}</p></triangles>
              </mesh></geometry></library_geometries>
              <library_visual_scenes><visual_scene id="scene"><node id="n" name="n">
                <instance_geometry url="#cube"/></node></visual_scene></library_visual_scenes>
              <scene><instance_visual_scene url="#scene"/></scene>
            </COLLADA>
            """))


def mesh_robot(tmp_path, meshes):
    """Loads a URDF whose one link carries the given (file name, scale text or None) meshes;
    returns its collision model (objects on joint 0, at the origin)."""
    collisions = "".join(
        f'<collision><geometry><mesh filename="{name}"{"" if scale is None else f" scale={scale!r}"}/>'
        f"</geometry></collision>" for name, scale in meshes)
    urdf = tmp_path / "robot.urdf"
    urdf.write_text(f'<robot name="m"><link name="base">{collisions}</link></robot>')
    _, collision, _ = velmora.build_models_from_urdf(str(urdf), str(tmp_path))
    return collision


def with_probes(collision, *probes):
    """A copy of the loaded objects plus probe spheres (radius, centre); every pair listed."""
    gm = GeometryModel()
    for o in collision.geometry_objects:
        gm.add_geometry_object(o)
    for k, (radius, centre) in enumerate(probes):
        gm.add_geometry_object(GeometryObject(f"probe{k}", 0, 0, Sphere(radius), se3(centre)))
    n = gm.ngeoms
    for i in range(n):
        for j in range(i + 1, n):
            gm.add_collision_pair(i, j)
    return gm, gm.create_data(velmora.Model().create_data())


class TestMeshes:
    @pytest.mark.parametrize("writer,suffix", [(write_stl, "stl"), (write_obj, "obj"), (write_dae, "dae")])
    def test_cube_files_with_a_scale_against_probes(self, tmp_path, writer, suffix):
        writer(tmp_path / f"cube.{suffix}", CUBE_VERTICES, CUBE_FACES)
        # Half extents 0.5, 1 and 2 after scaling the 2 m cube.
        collision = mesh_robot(tmp_path, [(f"cube.{suffix}", "0.5 1 2")])
        assert collision.geometry_objects[0].geometry.mesh_scale.tolist() == [0.5, 1.0, 2.0]
        probes = [(0.25, (1.5, 0.0, 0.0)), (0.25, (0.0, 2.0, 0.0)), (0.25, (0.0, 0.0, -3.0)), (0.25, (1.0, 1.5, 2.5))]
        gm, gd = with_probes(collision, *probes)
        results = velmora.compute_distances(gm, gd)
        mesh_to_probe = {r.pair[1]: r for r in results if r.pair[0] == 0}
        for k, expected in enumerate([0.75, 0.75, 0.75, np.linalg.norm([0.5, 0.5, 0.5]) - 0.25]):
            r = mesh_to_probe[k + 1]
            assert r.distance == pytest.approx(expected, abs=1e-6)  # single-precision vertices
        np.testing.assert_allclose(mesh_to_probe[1].point_i, (0.5, 0.0, 0.0), atol=1e-6)
        np.testing.assert_allclose(mesh_to_probe[1].normal, (1.0, 0.0, 0.0), atol=1e-6)
        # Asked the other way round: the probe's point first, in world coordinates.
        r = velmora.compute_distance(gm, gd, 1, 0)
        assert r.pair == (1, 0) and r.distance == pytest.approx(0.75, abs=1e-6)
        np.testing.assert_allclose([r.point_i, r.point_j, r.normal], [(1.25, 0, 0), (0.5, 0, 0), (-1, 0, 0)], atol=1e-6)

    @pytest.mark.parametrize("convex", [False, True])
    def test_turned_and_moved_mesh_against_each_kind_of_shape(self, tmp_path, convex):
        # The 2 m cube at (5, 0, 0), turned 0.5 rad about z; probes 3 m out along its local +x.
        # As triangles and as its hull (the same solid), against every kind of shape.
        write_stl(tmp_path / "cube.stl", CUBE_VERTICES, CUBE_FACES)
        urdf = tmp_path / "robot.urdf"
        urdf.write_text('<robot name="m"><link name="base"><collision><origin xyz="5 0 0" rpy="0 0 0.5"/>'
                        '<geometry><mesh filename="cube.stl"/></geometry></collision></link></robot>')
        _, collision, _ = velmora.build_models_from_urdf(str(urdf), str(tmp_path))
        u = np.array([np.cos(0.5), np.sin(0.5), 0.0])
        centre = np.array([5.0, 0.0, 0.0]) + 3.0 * u
        turn = rotation((0, 0, 1), 0.5)
        probes = [(Cuboid([1.0, 1.0, 1.0]), 0.5), (Capsule(0.25, 1.0), 0.25), (Cylinder(0.25, 1.0), 0.25),
                  (Cone(0.25, 0.5), 0.25), (Sphere(0.25), 0.25)]
        gm = GeometryModel()
        gm.add_geometry_object(collision.geometry_objects[0])
        for k, (shape, _) in enumerate(probes):
            gm.add_geometry_object(GeometryObject(f"p{k}", 0, 0, shape, se3(centre, turn)))
        gd = gm.create_data(velmora.Model().create_data())
        gm.load_meshes(convex=convex)
        for k, (shape, reach) in enumerate(probes):
            for i, j in ((0, k + 1), (k + 1, 0)):
                r = velmora.compute_distance(gm, gd, i, j)
                assert r.distance == pytest.approx(2.0 - reach, abs=1e-6), (type(shape), i, j)
                on_mesh, on_probe = (r.point_i, r.point_j) if i == 0 else (r.point_j, r.point_i)
                assert (on_mesh - (5.0, 0.0, 0.0)) @ u == pytest.approx(1.0, abs=1e-6), (type(shape), i, j)
                assert (on_probe - (5.0, 0.0, 0.0)) @ u == pytest.approx(3.0 - reach, abs=1e-6), (type(shape), i, j)
                np.testing.assert_allclose(r.normal, u if i == 0 else -u, atol=1e-6)

    def test_a_probe_inside_the_surface_and_the_convex_hull(self, tmp_path):
        write_stl(tmp_path / "cube.stl", CUBE_VERTICES, CUBE_FACES)
        collision = mesh_robot(tmp_path, [("cube.stl", None)])
        # A probe cutting the +x face by 0.125: colliding, negative distance.
        gm, gd = with_probes(collision, (0.25, (1.125, 0.0, 0.0)), (0.5, (0.25, 0.0, 0.0)))
        assert (0, 1) in velmora.compute_collisions(gm, gd)
        r = velmora.compute_distance(gm, gd, 0, 1)
        assert r.distance == pytest.approx(-0.125, abs=1e-6)  # the depth past the face
        np.testing.assert_allclose(r.normal, (1.0, 0.0, 0.0), atol=1e-6)
        r = velmora.compute_distance(gm, gd, 1, 0)  # the same pair the other way round
        assert r.distance == pytest.approx(-0.125, abs=1e-6) and r.normal == pytest.approx((-1.0, 0.0, 0.0), abs=1e-6)
        # A probe deep inside touches no triangle of the surface mesh...
        assert (0, 2) not in velmora.compute_collisions(gm, gd)
        assert velmora.compute_distance(gm, gd, 0, 2).distance == pytest.approx(0.25, abs=1e-6)
        # ...but lies inside the convex hull: depth 0.75 + 0.5 to the nearest face.
        gm.load_meshes(convex=True)
        assert (0, 2) in velmora.compute_collisions(gm, gd)
        assert velmora.compute_distance(gm, gd, 0, 2).distance == pytest.approx(-1.25, abs=1e-6)
        gm.load_meshes()
        assert (0, 2) not in velmora.compute_collisions(gm, gd)

    def test_hull_of_a_non_convex_mesh(self, tmp_path):
        # Two unit cubes 4 m apart in one file: the hull spans the gap between them.
        vertices = np.vstack([CUBE_VERTICES + (-2.0, 0.0, 0.0), CUBE_VERTICES + (2.0, 0.0, 0.0)])
        write_obj(tmp_path / "pair.obj", vertices, np.vstack([CUBE_FACES, CUBE_FACES + 8]))
        collision = mesh_robot(tmp_path, [("pair.obj", None)])
        gm, gd = with_probes(collision, (0.25, (0.0, 0.0, 1.5)))
        assert velmora.compute_distance(gm, gd, 0, 1).distance == pytest.approx(np.hypot(1.0, 0.5) - 0.25, abs=1e-6)
        gm.load_meshes(convex=True)
        assert velmora.compute_distance(gm, gd, 0, 1).distance == pytest.approx(0.25, abs=1e-6)

    def test_unreadable_and_empty_files_name_file_and_object(self, tmp_path):
        (tmp_path / "junk.stl").write_bytes(b"\x00\x01 not a mesh at all")
        (tmp_path / "empty.obj").write_text("# nothing\nv 0 0 0\nv 1 0 0\n")
        for name in ("junk.stl", "empty.obj"):
            collision = mesh_robot(tmp_path, [(name, None)])
            gm, gd = with_probes(collision, (0.25, (3.0, 0.0, 0.0)))
            for call in (lambda: gm.load_meshes(), lambda: velmora.compute_collisions(gm, gd),
                         lambda: velmora.compute_distances(gm, gd), lambda: velmora.compute_distance(gm, gd, 0, 1)):
                with pytest.raises(ValueError) as e:
                    call()
                assert name in str(e.value) and "base_0" in str(e.value)

    def test_a_file_read_once_is_kept(self, tmp_path):
        write_stl(tmp_path / "cube.stl", CUBE_VERTICES, CUBE_FACES)
        collision = mesh_robot(tmp_path, [("cube.stl", None), ("cube.stl", "1 1 1"), ("cube.stl", "2 2 2")])
        gm, gd = with_probes(collision, (0.25, (3.0, 0.0, 0.0)))
        gm.load_meshes()
        (tmp_path / "cube.stl").write_bytes(b"broken now")
        # Already read: the queries no longer touch the file. The third object's scale doubles it.
        assert [velmora.compute_distance(gm, gd, k, 3).distance for k in range(3)] == pytest.approx(
            [1.75, 1.75, 0.75], abs=1e-6)

    def test_scale_must_be_three_numbers(self, tmp_path):
        write_stl(tmp_path / "cube.stl", CUBE_VERTICES, CUBE_FACES)
        for bad in ("1 1", "1 x 1", "1 1 1 1"):
            with pytest.raises(ValueError):
                mesh_robot(tmp_path, [("cube.stl", bad)])


# ------------------------------------------------------------------------ collision pairs

def chain_models():
    """Four joints: 1 and 2 below the universe... as a chain 0 <- 1 <- 2 <- 3, and 4 on 1."""
    model = velmora.Model()
    j1 = model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j1")
    j2 = model.add_joint(j1, velmora.JointModelRZ(), se3((0.0, 0.0, 1.0)), "j2")
    j3 = model.add_joint(j2, velmora.JointModelRZ(), se3((0.0, 0.0, 1.0)), "j3")
    j4 = model.add_joint(j1, velmora.JointModelRZ(), se3((1.0, 0.0, 0.0)), "j4")
    gm = GeometryModel()
    for name, joint in [("base", 0), ("a", j1), ("a2", j1), ("b", j2), ("c", j3), ("d", j4)]:
        gm.add_geometry_object(GeometryObject(name, joint, 0, Sphere(0.1), SE3.Identity()))
    return model, gm


class TestCollisionPairs:
    def test_add_all_leaves_out_same_joint_parent_child_and_disabled(self):
        model, gm = chain_models()
        gm.add_all_collision_pairs(model)
        # Objects: 0 base(j0) 1 a(j1) 2 a2(j1) 3 b(j2) 4 c(j3) 5 d(j4).
        assert gm.collision_pairs == [(0, 3), (0, 4), (0, 5), (1, 4), (2, 4), (3, 5), (4, 5)]
        with pytest.raises(ValueError, match="pass the kinematic model"):
            chain_models()[1].add_all_collision_pairs()

    def test_add_remove_single_pairs(self):
        _, gm = chain_models()
        gm.add_collision_pair(4, 1)
        gm.add_collision_pair(1, 4)
        gm.add_collision_pair(0, 5)
        assert gm.collision_pairs == [(0, 5), (1, 4)]
        gm.remove_collision_pair(4, 1)
        assert gm.collision_pairs == [(0, 5)]
        for bad in [(0, 6), (6, 0), (2, 2)]:
            with pytest.raises(ValueError):
                gm.add_collision_pair(*bad)
        with pytest.raises(ValueError):
            gm.remove_collision_pair(1, 4)
        with pytest.raises(OverflowError):
            gm.add_collision_pair(-1, 2)
        with pytest.raises(TypeError):
            gm.add_collision_pair(0.0, 2)
        assert gm.collision_pairs == [(0, 5)]

    def test_loaded_robot_pairs_and_srdf(self, tmp_path):
        path = os.path.join(ROBOTS, "kuka_iiwa", "robot.urdf")
        model, collision, _ = velmora.build_models_from_urdf(path, os.path.join(ROBOTS, "kuka_iiwa"))
        collision.add_all_collision_pairs()
        pairs = collision.collision_pairs
        # A chain of 8 links, one object each, one per joint: every pair two or more links apart.
        assert pairs == [(i, j) for i in range(8) for j in range(i + 2, 8)]
        srdf = tmp_path / "robot.srdf"
        srdf.write_text('<robot name="iiwa"><disable_collisions link1="lbr_iiwa_link_0" link2="lbr_iiwa_link_2" reason="x"/>'
                        '<disable_collisions link1="lbr_iiwa_link_7" link2="nowhere"/>'
                        '<disable_collisions link1="lbr_iiwa_link_5" link2="lbr_iiwa_link_7"/>'
                        '<group name="arm"/></robot>')
        with pytest.warns(UserWarning, match="nowhere"):
            removed = collision.remove_collision_pairs_from_srdf(str(srdf))
        assert removed == 2
        assert collision.collision_pairs == [p for p in pairs if p not in [(0, 2), (5, 7)]]
        # The same through the kinematic model's frame names, with nothing unknown.
        collision.add_all_collision_pairs()
        srdf.write_text('<robot name="iiwa"><disable_collisions link1="lbr_iiwa_link_3" link2="lbr_iiwa_link_1"/></robot>')
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert collision.remove_collision_pairs_from_srdf(str(srdf), model) == 1
        for bad in ("<robot", "<other/>"):
            srdf.write_text(bad)
            before = collision.collision_pairs
            with pytest.raises(ValueError, match="SRDF"):
                collision.remove_collision_pairs_from_srdf(str(srdf))
            assert collision.collision_pairs == before
        for missing in (tmp_path / "missing.srdf", f"{srdf}\0.other"):
            with pytest.raises(ValueError):
                collision.remove_collision_pairs_from_srdf(str(missing))


def test_srdf_link_names_are_links_not_joints(tmp_path):
    """A joint named like a link: SRDF entries name links, through the model's frames too."""
    ball = '<collision><geometry><sphere radius="0.1"/></geometry></collision>'
    limit = '<axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/>'
    urdf = tmp_path / "chain.urdf"
    urdf.write_text(
        f'<robot name="chain"><link name="base">{ball}</link>'
        f'<joint name="arm" type="revolute"><parent link="base"/><child link="arm"/>{limit}</joint>'
        f'<link name="arm">{ball}</link>'
        f'<joint name="wrist_joint" type="revolute"><parent link="arm"/><child link="wrist"/>{limit}</joint>'
        f'<link name="wrist">{ball}</link>'
        f'<joint name="tool_joint" type="revolute"><parent link="wrist"/><child link="tool"/>{limit}</joint>'
        f'<link name="tool">{ball}</link></robot>')
    srdf = tmp_path / "chain.srdf"
    srdf.write_text('<robot name="chain"><disable_collisions link1="arm" link2="tool"/></robot>')
    for with_model in (False, True):
        model, collision, _ = velmora.build_models_from_urdf(str(urdf))
        collision.add_all_collision_pairs()
        assert collision.collision_pairs == [(0, 2), (0, 3), (1, 3)]
        args = (str(srdf), model) if with_model else (str(srdf),)
        assert collision.remove_collision_pairs_from_srdf(*args) == 1
        assert collision.collision_pairs == [(0, 2), (0, 3)]


# -------------------------------------------------------------------------------- errors

class TestQueryErrors:
    def test_bad_arguments_and_mismatched_data(self):
        gm, gd = scene((Sphere(0.5), se3()), (Sphere(0.5), se3((2.0, 0.0, 0.0))))
        with pytest.raises(TypeError):
            velmora.compute_collisions(gd, gm)
        with pytest.raises(TypeError):
            velmora.compute_collisions(gm, gd, stop_at_first=1)
        with pytest.raises(ValueError):
            velmora.compute_distance(gm, gd, 0, 2)
        with pytest.raises(ValueError):
            velmora.compute_distance(gm, gd, 1, 1)
        with pytest.raises(OverflowError):
            velmora.compute_distance(gm, gd, -1, 0)
        # Data made before a third object was added.
        gm.add_geometry_object(GeometryObject("late", 0, 0, Sphere(0.1), se3()))
        for call in (velmora.compute_collisions, velmora.compute_distances):
            with pytest.raises(ValueError, match="make the data from this model"):
                call(gm, gd)

    def test_bad_shapes_and_placements_are_refused(self):
        # Zero sizes too: points, segments and discs are cases FCL's solvers stop on.
        for shape in (Sphere(-1.0), Cuboid([1.0, float("nan"), 1.0]), Capsule(0.1, float("inf")), Sphere(0.0),
                      Cylinder(0.1, 0.0), Cone(0.0, 0.3), Cuboid([1.0, 0.0, 1.0])):
            gm, gd = scene((shape, se3()), (Sphere(0.5), se3((2.0, 0.0, 0.0))))
            with pytest.raises(ValueError, match="dimension"):
                velmora.compute_distances(gm, gd)
        # A capsule of length zero is a sphere.
        assert distance(Capsule(0.25, 0.0), se3(), Sphere(0.25), se3((1.0, 0.0, 0.0))).distance == pytest.approx(0.5)
        model = velmora.Model()
        j = model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j")
        gm = GeometryModel()
        gm.add_geometry_object(GeometryObject("moving", j, 0, Sphere(0.5), se3((1.0, 0.0, 0.0))))
        gm.add_geometry_object(GeometryObject("still", 0, 0, Sphere(0.5), se3()))
        gm.add_collision_pair(0, 1)
        data = model.create_data()
        velmora.forward_kinematics(model, data, np.array([np.nan]))
        gd = gm.create_data(data)
        for call in (velmora.compute_collisions, velmora.compute_distances):
            with pytest.raises(ValueError, match="not finite"):
                call(gm, gd)

    def test_stop_at_first_and_results(self):
        gm, gd = scene((Sphere(0.5), se3()), (Sphere(0.5), se3((0.5, 0.0, 0.0))), (Sphere(0.5), se3((0.0, 0.5, 0.0))))
        assert velmora.compute_collisions(gm, gd) == [(0, 1), (0, 2), (1, 2)]
        assert velmora.compute_collisions(gm, gd, True) == [(0, 1)]
        results = velmora.compute_distances(gm, gd)
        assert [r.pair for r in results] == gm.collision_pairs
        assert repr(results[0]).startswith("DistanceResult(pair=(0, 1), distance=-0.5")
        assert velmora.compute_distances.__text_signature__ == "(geometry_model, geometry_data)"
        assert velmora.compute_collisions.__text_signature__ == "(geometry_model, geometry_data, stop_at_first=False)"
        with pytest.raises(TypeError):
            type(results[0])()
        # No pairs, no answers.
        gm2, gd2 = scene((Sphere(0.5), se3()))
        assert velmora.compute_collisions(gm2, gd2) == [] and velmora.compute_distances(gm2, gd2) == []


def test_both_queries_agree_on_random_pairs_near_contact():
    """Random shapes and placements, many of them within a hair of contact: the collision list
    and the distance signs never contradict each other, and nothing stops the process."""
    rng = np.random.default_rng(11)
    sizes = [1e-3, 0.01, 0.1, 0.5, 1.0]
    for _ in range(400):
        gm = GeometryModel()
        for k in range(2):
            a, b, c = rng.choice(sizes, 3)
            shape = [Sphere(a), Cuboid([a, b, c]), Capsule(a, rng.choice([0.0, b])), Cylinder(a, b), Cone(a, b)][
                rng.integers(5)]
            offset = rng.choice([0.0, 1e-9, 0.05, 0.3], 3) * rng.choice([-1.0, 1.0], 3)
            turn = rotation(rng.normal(size=3), rng.uniform(0, np.pi)) if rng.random() < 0.7 else np.eye(3)
            gm.add_geometry_object(GeometryObject(f"o{k}", 0, 0, shape, se3(offset, turn)))
        gm.add_collision_pair(0, 1)
        gd = gm.create_data(velmora.Model().create_data())
        colliding = velmora.compute_collisions(gm, gd) == [(0, 1)]
        d = velmora.compute_distances(gm, gd)[0].distance
        assert np.isfinite(d) and not (colliding and d > 0) and not (not colliding and d < 0)


# ------------------------------------------------------------------------ broad phase
def fcl_colliding_pairs(fcl, gm, gd, mesh_triangles=None):
    """The listed pairs python-fcl's narrow phase finds touching, every pair asked directly
    (no bounding-volume test in front): the answer the broad phase must not change."""
    objects = []
    for k, o in enumerate(gm.geometry_objects):
        shape, kind = o.geometry, int(o.geometry.shape_type)
        if kind == 5:
            vertices, faces = mesh_triangles
            g = fcl.BVHModel()
            g.beginModel(len(vertices), len(faces))
            g.addSubModel(vertices, faces)
            g.endModel()
        elif kind == 4:
            g = fcl.Sphere(shape.radius)
        elif kind == 2:
            g = fcl.Box(*(2.0 * shape.half_extents.astype(np.float64)))
        else:
            g = {0: fcl.Capsule, 1: fcl.Cone, 3: fcl.Cylinder}[kind](shape.radius, 2.0 * shape.half_length)
        m = gd.get_object_placement(k)
        objects.append(fcl.CollisionObject(g, fcl.Transform(np.asarray(m.rotation), np.asarray(m.translation))))
    return [(i, j) for i, j in gm.collision_pairs
            if fcl.collide(objects[i], objects[j], fcl.CollisionRequest(), fcl.CollisionResult())]


def random_scene(rng, count, mesh_dir=None):
    """`count` primitives (and the mesh object, when given, moved off the origin) at random
    turned placements, many of them exactly or nearly touching: boxes on a grid of their own
    size, sizes that are powers of two, offsets of 0 or a hair."""
    gm = GeometryModel()
    if mesh_dir is not None:
        xyz, rpy = " ".join(map(str, rng.uniform(-0.5, 0.5, 3))), " ".join(map(str, rng.uniform(-3, 3, 3)))
        urdf = mesh_dir / "offset.urdf"
        urdf.write_text(f'<robot name="m"><link name="base"><collision><origin xyz="{xyz}" rpy="{rpy}"/>'
                        f'<geometry><mesh filename="offset.stl"/></geometry></collision></link></robot>')
        gm.add_geometry_object(velmora.build_models_from_urdf(str(urdf), str(mesh_dir))[1].geometry_objects[0])
    for k in range(count):
        a, b, c = rng.choice([0.125, 0.25, 0.5], 3)
        shape = [Sphere(a), Cuboid([a, b, c]), Capsule(a, b), Cylinder(a, b), Cone(a, b)][rng.integers(5)]
        centre = rng.integers(-2, 3, 3) * 0.5 + rng.choice([0.0, 0.0, 1e-12, 0.01], 3) * rng.choice([-1, 1], 3)
        turn = rotation(rng.normal(size=3), rng.uniform(0, np.pi)) if rng.random() < 0.6 else np.eye(3)
        gm.add_geometry_object(GeometryObject(f"o{k}", 0, 0, shape, se3(centre, turn)))
    n = gm.ngeoms
    for i in range(n):
        for j in range(i + 1, n):
            if rng.random() < 0.8:
                gm.add_collision_pair(i, j)
    return gm, gm.create_data(velmora.Model().create_data())


class TestBroadPhase:
    """The pairs the broad phase rejects before the narrow phase must be exactly those the
    narrow phase would find apart: the collision list equals python-fcl's narrow phase
    asked about every listed pair."""

    def test_random_scenes_agree_with_fcl_on_every_pair(self, tmp_path):
        fcl = pytest.importorskip("fcl")
        # A mesh whose own box is off its origin: its world box centre is turned and moved.
        # (in single precision, as the STL file stores it)
        vertices = (CUBE_VERTICES * [0.2, 0.1, 0.3] + [0.3, -0.2, 0.1]).astype(np.float32).astype(np.float64)
        write_stl(tmp_path / "offset.stl", vertices, CUBE_FACES)
        rng = np.random.default_rng(5)
        hits = 0
        for trial in range(60):
            with_mesh = trial % 3 == 0
            gm, gd = random_scene(rng, 8, tmp_path if with_mesh else None)
            expected = fcl_colliding_pairs(fcl, gm, gd, (vertices, CUBE_FACES) if with_mesh else None)
            assert velmora.compute_collisions(gm, gd) == expected, trial
            hits += len(expected)
            if expected:
                assert velmora.compute_collisions(gm, gd, True) == expected[:1]
        assert hits > 50  # the scenes do touch

    def test_queries_on_models_of_other_sizes_in_turn(self):
        # The per-call working space is reused between models: answers must not depend on
        # what was asked before (a model with more objects, fewer, or moved since).
        fcl = pytest.importorskip("fcl")
        rng = np.random.default_rng(9)
        scenes = [random_scene(rng, n) for n in (12, 3, 7)]
        expected = [fcl_colliding_pairs(fcl, gm, gd) for gm, gd in scenes]
        for _ in range(3):
            for (gm, gd), want in zip(scenes, expected):
                assert velmora.compute_collisions(gm, gd) == want
        big = scenes[0]
        assert expected[0]
        # A two-object model moved between calls, the big one asked in between: its answer
        # follows its own placements only (centres 2 sin(angle / 2) apart, radii 0.5).
        model = velmora.Model()
        j = model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "z")
        gm = GeometryModel()
        gm.add_geometry_object(GeometryObject("a", j, 0, Sphere(0.5), se3((1.0, 0.0, 0.0))))
        gm.add_geometry_object(GeometryObject("b", 0, 0, Sphere(0.5), se3((1.0, 0.0, 0.0))))
        gm.add_collision_pair(0, 1)
        data = model.create_data()
        gd = gm.create_data(data)
        for angle, touching in ((0.0, True), (np.pi, False), (np.radians(59), True), (np.radians(61), False)):
            velmora.forward_kinematics(model, data, np.array([angle]))
            gd.update_geometry_data(data, gm)
            assert velmora.compute_collisions(gm, gd) == ([(0, 1)] if touching else [])
            assert velmora.compute_collisions(*big) == expected[0]

    def test_objects_outside_every_pair_are_not_looked_at(self):
        # A non-finite placement matters only for an object some pair names, and only once
        # the pairs, in list order, reach it.
        model = velmora.Model()
        j = model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j")
        gm = GeometryModel()
        gm.add_geometry_object(GeometryObject("a", 0, 0, Sphere(0.5), se3()))
        gm.add_geometry_object(GeometryObject("b", 0, 0, Sphere(0.5), se3((0.9, 0.0, 0.0))))
        gm.add_geometry_object(GeometryObject("moving", j, 0, Sphere(0.5), se3((1.0, 0.0, 0.0))))
        gm.add_collision_pair(0, 1)
        data = model.create_data()
        velmora.forward_kinematics(model, data, np.array([np.nan]))
        gd = gm.create_data(data)
        assert velmora.compute_collisions(gm, gd) == [(0, 1)]
        gm.add_collision_pair(1, 2)
        with pytest.raises(ValueError, match='"moving" \\(index 2\\) is not finite'):
            velmora.compute_collisions(gm, gd)
        assert velmora.compute_collisions(gm, gd, True) == [(0, 1)]
        # Once the placement is finite again, every pair is answered.
        velmora.forward_kinematics(model, data, np.array([np.pi]))
        gd.update_geometry_data(data, gm)
        assert velmora.compute_collisions(gm, gd) == [(0, 1)]
        velmora.forward_kinematics(model, data, np.array([0.0]))
        gd.update_geometry_data(data, gm)
        assert velmora.compute_collisions(gm, gd) == [(0, 1), (1, 2)]


# --------------------------------------------------- placing the shapes in the same call

def arm():
    """The sample arm with every pair listed: model, its data, collision model and its data."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
    from velmora_tools import sample_urdf
    model, collision, _ = velmora.build_models_from_urdf(sample_urdf())
    collision.add_all_collision_pairs()
    data = model.create_data()
    return model, data, collision, collision.create_data(data)


def placements(data, gd, n):
    return np.array([np.concatenate([p.rotation.ravel(), p.translation]) for p in data.oMi] +
                    [np.concatenate([gd.get_object_placement(k).rotation.ravel(),
                                     gd.get_object_placement(k).translation]) for k in range(n)])


class TestPlacingForm:
    def test_one_call_answers_as_the_three_calls(self):
        model, data, gm, gd = arm()
        data3, gd3 = model.create_data(), gm.create_data(model.create_data())
        lower = np.concatenate([j.lower_limit for j in model.joint_models])
        upper = np.concatenate([j.upper_limit for j in model.joint_models])
        rng = np.random.default_rng(3)
        for k in range(12):
            q = rng.uniform(lower, upper)
            if k % 3 == 1:
                q = np.repeat(q, 2)[::2]  # strided: read by stride, not refused
            velmora.forward_kinematics(model, data3, np.ascontiguousarray(q))
            gd3.update_geometry_data(data3, gm)
            hits = velmora.compute_collisions(model, data, gm, gd, q)
            assert hits == velmora.compute_collisions(gm, gd3)
            assert velmora.compute_collisions(model, data, gm, gd, q, stop_at_first=True) == hits[:1]
            ours = velmora.compute_distances(model=model, data=data, geometry_model=gm, geometry_data=gd, q=q)
            for a, b in zip(ours, velmora.compute_distances(gm, gd3), strict=True):
                assert a.pair == b.pair and a.distance == b.distance
                np.testing.assert_array_equal(np.concatenate([a.point_i, a.point_j, a.normal]),
                                              np.concatenate([b.point_i, b.point_j, b.normal]))
            # data and geometry_data hold what the three calls leave.
            np.testing.assert_array_equal(placements(data, gd, gm.ngeoms), placements(data3, gd3, gm.ngeoms))
        # Without q: the placements from data's last forward kinematics.
        velmora.forward_kinematics(model, data, np.zeros(model.nq))
        assert velmora.update_geometry_placements(model, data, gm, gd) is None
        gd3.update_geometry_data(data, gm)
        np.testing.assert_array_equal(placements(data, gd, gm.ngeoms), placements(data, gd3, gm.ngeoms))
        velmora.update_geometry_placements(model, data, gm, gd, q)
        gd3.update_geometry_data(data3, gm)
        np.testing.assert_array_equal(placements(data, gd, gm.ngeoms), placements(data3, gd3, gm.ngeoms))

    def test_spheres_on_two_joints_follow_q(self):
        # Unit spheres 1 m and 3 m out along x on two joints about z: the centres are the law
        # of cosines apart.
        model, gm = spheres_on_two_joints(1.0)
        data = model.create_data()
        gd = gm.create_data(data)
        for angle in np.linspace(-np.pi, np.pi, 9):
            q = np.array([angle, 0.0])
            expected = np.sqrt(10.0 - 6.0 * np.cos(angle)) - 2.0
            assert velmora.compute_distances(model, data, gm, gd, q)[0].distance == pytest.approx(expected, abs=TOL)
            assert (velmora.compute_collisions(model, data, gm, gd, q) == [(0, 1)]) == (expected <= 0.0)

    def test_refusals_leave_data_and_placements_unchanged(self, tmp_path):
        model, data, gm, gd = arm()
        q = np.full(model.nq, 0.3)
        velmora.update_geometry_placements(model, data, gm, gd, q)
        before = placements(data, gd, gm.ngeoms)
        other_model, other_data, other_gm, other_gd = arm()
        other_model.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "extra")
        bad = [
            (ValueError, "q has 3 values", (model, data, gm, gd, np.zeros(3))),
            (ValueError, r"q\[2\] is not finite", (model, data, gm, gd, np.where(np.arange(model.nq) == 2, np.nan, q))),
            (ValueError, "not finite", (model, data, gm, gd, np.full(model.nq, np.inf))),
            (TypeError, "'q'", (model, data, gm, gd, q.astype(np.float32))),
            (TypeError, "'q'", (model, data, gm, gd, q.reshape(1, -1))),
            (TypeError, "'q'", (model, data, gm, gd, list(q))),
            (TypeError, "'data'", (model, gm, gm, gd, q)),
            (TypeError, "'geometry_model'", (model, data, gd, gd, q)),
            (TypeError, "'geometry_data'", (model, data, gm, data, q)),
            (ValueError, "joints", (model, other_model.create_data(), gm, gd, q)),  # data of another model
        ]
        for function, extra in ((velmora.compute_collisions, ()), (velmora.compute_distances, ()),
                                (velmora.update_geometry_placements, ())):
            for error, match, args in bad:
                with pytest.raises(error, match=match):
                    function(*args, *extra)
                np.testing.assert_array_equal(placements(data, gd, gm.ngeoms), before)
        with pytest.raises(TypeError, match="stop_at_first"):
            velmora.compute_collisions(model, data, gm, gd, q, stop_at_first=1)
        with pytest.raises(TypeError):
            velmora.compute_distances(model, data, gm, gd, q, True)
        with pytest.raises(TypeError):
            velmora.compute_collisions(model, data, gm, gd)  # q is needed here
        # Geometry on a joint the data does not have: a robot of one joint, the arm's objects.
        small = velmora.Model()
        small.add_joint(0, velmora.JointModelRZ(), SE3.Identity(), "j")
        small_data = small.create_data()
        with pytest.raises(ValueError, match="attached to joint"):
            velmora.compute_collisions(small, small_data, gm, gd, np.array([0.5]))
        assert small_data.oMi[1].translation.tolist() == [0.0, 0.0, 0.0]
        np.testing.assert_array_equal(placements(data, gd, gm.ngeoms), before)
        # A mesh file that cannot be read is found before forward kinematics runs.
        (tmp_path / "junk.stl").write_bytes(b"\x00\x01 not a mesh at all")
        urdf = tmp_path / "robot.urdf"
        urdf.write_text('<robot name="m"><link name="base"/><joint name="j" type="continuous"><parent link="base"/>'
                        '<child link="tip"/><axis xyz="0 0 1"/></joint><link name="tip"><collision><geometry>'
                        '<mesh filename="junk.stl"/></geometry></collision></link></robot>')
        mm, mc, _ = velmora.build_models_from_urdf(str(urdf), str(tmp_path))
        md = mm.create_data()
        mg = mc.create_data(md)
        with pytest.raises(ValueError, match="junk.stl"):
            velmora.compute_distances(mm, md, mc, mg, np.array([0.0, 1.0]))  # (cos, sin): a quarter turn
        assert md.oMi[1].rotation.tolist() == np.eye(3).tolist()
        # Placing alone reads no mesh, so the unreadable one does not stop it.
        velmora.update_geometry_placements(mm, md, mc, mg, np.array([0.0, 1.0]))
        assert np.allclose(mg.get_object_placement(0).rotation, [[0, -1, 0], [1, 0, 0], [0, 0, 1]])
