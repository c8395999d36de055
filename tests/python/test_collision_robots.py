"""Self-collision of real robots with their mesh files, at the neutral and at random
configurations: velmora's answers against python-fcl called directly on the same shapes,
the same triangles (read here from the STL files, independently of the module's reader)
and the same placements."""
import os
import struct
import sys

import numpy as np
import pytest

import velmora

fcl = pytest.importorskip("fcl")

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
ROBOTS = os.path.join(ROOT, "tests", "robots")
sys.path.insert(0, os.path.join(ROOT, "tools"))
from velmora_tools import sample_urdf  # noqa: E402

CASES = {name: (os.path.join(ROBOTS, name, "robot.urdf"), os.path.join(ROBOTS, name))
         for name in ("kuka_iiwa", "r2d2", "pr2", "nao")}
CASES["sample_arm"] = (sample_urdf(), None)
CONFIGURATIONS = 3  # random ones, besides the neutral


def read_stl(path):
    """Vertices (3 per triangle) and faces of a binary or ASCII STL file."""
    data = open(path, "rb").read()
    count = struct.unpack_from("<I", data, 80)[0] if len(data) >= 84 else -1
    if len(data) == 84 + 50 * count:
        rows = np.frombuffer(data, dtype=np.dtype([("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")]),
                             count=count, offset=84)
        vertices = rows["v"].reshape(-1, 3).astype(np.float64)
    else:
        vertices = np.array([[float(x) for x in line.split()[1:4]] for line in data.decode().splitlines()
                             if line.strip().startswith("vertex")])
    return vertices, np.arange(len(vertices)).reshape(-1, 3)


class FclScene:
    """python-fcl objects for every collision object of a geometry model."""

    def __init__(self, collision):
        meshes = {}
        self.geometries, self.kinds = [], []
        for obj in collision.geometry_objects:
            shape = obj.geometry
            kind = int(shape.shape_type)  # Capsule, Cone, Cuboid, Cylinder, Sphere, Mesh
            if kind == 5:
                key = (shape.mesh_path, tuple(shape.mesh_scale))
                if key not in meshes:
                    vertices, faces = read_stl(shape.mesh_path)
                    bvh = fcl.BVHModel()
                    bvh.beginModel(len(vertices), len(faces))
                    bvh.addSubModel(vertices * shape.mesh_scale, faces)
                    bvh.endModel()
                    meshes[key] = bvh
                geometry = meshes[key]
            elif kind == 4:
                geometry = fcl.Sphere(shape.radius)
            elif kind == 2:
                geometry = fcl.Box(*(2.0 * shape.half_extents.astype(np.float64)))
            else:
                cls = {0: fcl.Capsule, 1: fcl.Cone, 3: fcl.Cylinder}[kind]
                geometry = cls(shape.radius, 2.0 * shape.half_length)
            self.geometries.append(geometry)
            self.kinds.append(kind)

    def objects(self, geometry_data):
        out = []
        for k, g in enumerate(self.geometries):
            m = geometry_data.get_object_placement(k)
            out.append(fcl.CollisionObject(g, fcl.Transform(np.asarray(m.rotation), np.asarray(m.translation))))
        return out


def fcl_answers(objects, i, j):
    """(colliding, distance) from python-fcl: the unsigned distance when apart, minus the
    deepest contact's depth when overlapping."""
    result = fcl.CollisionResult()
    request = fcl.CollisionRequest(enable_contact=True, num_max_contacts=100000)
    if fcl.collide(objects[i], objects[j], request, result):
        return True, -max(abs(c.penetration_depth) for c in result.contacts)
    distance = fcl.distance(objects[i], objects[j], fcl.DistanceRequest(enable_nearest_points=True),
                            fcl.DistanceResult())
    return False, distance


@pytest.mark.parametrize("robot", list(CASES))
def test_self_collision_agrees_with_fcl(robot):
    path, package = CASES[robot]
    model, collision, _ = velmora.build_models_from_urdf(path, package)
    collision.add_all_collision_pairs()
    pairs = collision.collision_pairs
    assert pairs
    reference = FclScene(collision)
    data = model.create_data()
    geometry_data = collision.create_data(data)
    configurations = [velmora.neutral(model).to_numpy()]
    configurations += [velmora.random_configuration(model).to_numpy() for _ in range(CONFIGURATIONS)]
    for q in configurations:
        velmora.forward_kinematics(model, data, q)
        geometry_data.update_geometry_data(data, collision)
        colliding = set(velmora.compute_collisions(collision, geometry_data))
        results = velmora.compute_distances(collision, geometry_data)
        assert [r.pair for r in results] == pairs
        objects = reference.objects(geometry_data)
        for r in results:
            i, j = r.pair
            where = f"{robot} pair {r.pair} at q = {q.tolist()}"
            # Both of velmora's answers agree with each other...
            if r.distance != 0.0:  # 0: touching, either answer
                assert ((i, j) in colliding) == (r.distance < 0.0), where
            # ...and with FCL's, asked directly.
            fcl_colliding, fcl_distance = fcl_answers(objects, i, j)
            assert ((i, j) in colliding) == fcl_colliding, where
            if fcl_colliding or reference.kinds[i] == reference.kinds[j] == 5:
                # Depths come from the same contacts; triangle sets give the same value to rounding.
                assert r.distance == pytest.approx(fcl_distance, abs=1e-9), where
            elif r.distance != pytest.approx(fcl_distance, abs=1e-9):
                # The iterative solver stops at a change of 1e-6 in python-fcl and of 1e-13 here,
                # and approaches the distance from above: velmora's value may only be smaller,
                # and is then the distance of two points that lie on the objects.
                assert r.distance < fcl_distance, where
                for k, point in ((i, r.point_i), (j, r.point_j)):
                    probe = fcl.CollisionObject(fcl.Sphere(1e-7), fcl.Transform(np.eye(3), point))
                    assert fcl.collide(probe, objects[k], fcl.CollisionRequest(), fcl.CollisionResult()), where
            if r.distance > 0:
                # Apart: the points are the distance apart, along the normal.
                assert np.linalg.norm(r.point_j - r.point_i) == pytest.approx(r.distance, abs=1e-9), where
                np.testing.assert_allclose(r.point_j - r.point_i, r.distance * r.normal, atol=1e-9)
        # The first collision alone, when there is one.
        first = velmora.compute_collisions(collision, geometry_data, stop_at_first=True)
        assert first == sorted(colliding)[:1]


def test_loaded_meshes_carry_their_scale():
    path, package = CASES["nao"]
    _, collision, _ = velmora.build_models_from_urdf(path, package)
    scales = {tuple(o.geometry.mesh_scale) for o in collision.geometry_objects if int(o.geometry.shape_type) == 5}
    assert scales == {(0.1, 0.1, 0.1)}
