"""Memory stays flat over many calls of every function and method, on success and on
failure paths: every reference the binding layer takes, it gives back."""
import copy
import os
import pathlib
import pickle

import numpy as np
import pytest

import velmora
from velmora import tessary

CALLS = int(os.environ.get("VELMORA_LEAK_CALLS", "200000"))
ROBOTS = pathlib.Path(__file__).resolve().parents[1] / "robots"

pytestmark = pytest.mark.skipif(
    os.environ.get("VELMORA_UNDER_ASAN") == "1", reason="resident size is not meaningful under ASan")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _arm():
    model = velmora.Model()
    parent = 0
    for i in range(7):
        joint = (velmora.JointModelRX, velmora.JointModelRY, velmora.JointModelRZ)[i % 3]()
        parent = model.add_joint(parent, joint, velmora.SE3(np.eye(3), np.array([0.0, 0.0, 0.3])), f"j{i}")
        frame = velmora.Frame(f"b{i}", parent, 0, velmora.SE3.Identity(), velmora.FrameType.Body,
                              velmora.Inertia.FromSphere(1.0 + i, 0.1))
        model.add_frame(frame, True)
    return model


def _raises(call, exc):
    def run():
        try:
            call()
        except exc:
            return
        raise AssertionError("expected an exception")
    return run


def _cases():
    model = _arm()
    data = model.create_data()
    q = np.linspace(-1, 1, model.nq)
    v = np.linspace(0.5, -0.5, model.nv)
    se3 = velmora.SE3.Random()
    vec = velmora.Vector3D(1, 2, 3)
    sym = velmora.Symmetric3(1, 2, 3, 4, 5, 6)
    inertia = velmora.Inertia.FromSphere(2.0, 0.5)
    config = velmora.neutral(model)
    geom_model = velmora.GeometryModel()
    obj = velmora.GeometryObject("ball", 1, 0, tessary.Sphere(0.1), se3)
    geom_model.add_geometry_object(obj)
    geom_data = geom_model.create_data(data)
    frame = model.frames[1]
    factor = velmora.mass_matrix_factor(model, data, q)
    singular = velmora.Model()
    singular.add_joint(0, velmora.JointModelRX(), velmora.SE3.Identity(), "massless")
    singular_data = singular.create_data()
    W, M = velmora.Representation.WORLD, velmora.Representation.MIXED
    Q, V = np.tile(q, (16, 1)), np.tile(v, (16, 1))
    out = np.empty((16, model.nv))
    derivative_out = [np.empty((16, model.nv, model.nv)) for _ in range(3)]
    jac_out = np.empty((6, model.nv))
    mass_out = np.empty((model.nv, model.nv))
    pairs_model = velmora.GeometryModel()
    for k, shape in enumerate([tessary.Sphere(0.2), tessary.Cuboid([0.3, 0.2, 0.1]), tessary.Capsule(0.1, 0.4),
                               tessary.Cylinder(0.1, 0.3)]):
        pairs_model.add_geometry_object(
            velmora.GeometryObject(f"s{k}", k + 1, 0, shape, velmora.SE3(np.eye(3), np.array([0.0, 0.1 * k, 0.05]))))
    pairs_model.add_all_collision_pairs(model)
    for i in range(4):
        for j in range(i + 1, 4):
            pairs_model.add_collision_pair(i, j)
    pairs_data = pairs_model.create_data(data)
    free = velmora.Model()
    free.add_joint(0, velmora.JointModelFreeFlyer(), se3, "root")
    free.add_joint(1, velmora.JointModelSpherical(), se3, "ball")
    free.add_joint(2, velmora.JointModelPlanar(), se3, "planar")
    for j in (1, 2, 3):
        free.add_frame(velmora.Frame(f"f{j}", j, 0, se3, velmora.FrameType.Body, inertia), True)
    free_data = free.create_data()
    fq = velmora.neutral(free).to_numpy()
    fv = np.linspace(-1, 1, free.nv)
    bad_q = fq.copy()
    bad_q[3:7] = 0.0
    flyer = velmora.JointModelFreeFlyer()
    return {
        "joint makers": lambda: (velmora.JointModelPX(), velmora.JointModelPY(), velmora.JointModelPZ(),
                                 velmora.JointModelSpherical(), velmora.JointModelFreeFlyer(),
                                 velmora.JointModelPlanar(), velmora.JointModelRevolute(np.ones(3)),
                                 velmora.JointModelPrismatic(vec), velmora.JointModelContinuous(axis=np.ones(3))),
        "joint maker bad axis": _raises(lambda: velmora.JointModelRevolute(np.zeros(3)), ValueError),
        "joint limits": lambda: (flyer.lower_limit, flyer.upper_limit, setattr(flyer, "lower_limit", -np.ones(7))),
        "joint limits bad": _raises(lambda: setattr(flyer, "upper_limit", np.ones(3)), ValueError),
        "configuration space": lambda: (velmora.integrate(free, fq, fv), velmora.difference(free, fq, fq),
                                        velmora.interpolate(free, fq, fq, 0.3), velmora.normalize(free, fq)),
        "configuration space bad": _raises(lambda: velmora.integrate(free, bad_q, fv), ValueError),
        "floating dynamics": lambda: (velmora.forward_kinematics(free, free_data, fq),
                                      velmora.rnea(free, free_data, fq, fv, fv), velmora.aba(free, free_data, fq, fv, fv),
                                      velmora.random_configuration(free)),
        "floating dynamics bad": _raises(lambda: velmora.aba(free, free_data, bad_q, fv, fv), ValueError),
        "Vector3D": lambda: velmora.Vector3D(1.0, 2.0, 3.0),
        "Vector3D ops": lambda: (vec + vec, vec - vec, vec * vec, vec.norm(), vec.to_numpy(), repr(vec)),
        "Vector3D bad": _raises(lambda: velmora.Vector3D(1.0, "x", 3.0), TypeError),
        "Vector3D + float": _raises(lambda: vec + 1.0, TypeError),
        "SE3": lambda: velmora.SE3(np.eye(3), np.zeros(3)),
        "SE3 ops": lambda: (se3 * se3, se3.inverse(), se3.copy(), se3.rotation, se3.homogeneous,
                            se3.translation, repr(se3), velmora.SE3.Random()),
        "SE3 bad rotation": _raises(lambda: velmora.SE3(np.eye(4), np.zeros(3)), ValueError),
        "SE3 not orthogonal": _raises(lambda: velmora.SE3(2 * np.eye(3), np.zeros(3)), ValueError),
        "SE3 set translation": lambda: setattr(se3.copy(), "translation", np.ones(3)),
        "SE3 set bad translation": _raises(lambda: setattr(se3, "translation", np.ones(4)), ValueError),
        "Symmetric3 ops": lambda: (sym + sym, sym - sym, sym * 2.0, 2.0 * sym, sym * vec, sym[1, 2],
                                   sym.matrix(), repr(sym)),
        "Symmetric3 index": _raises(lambda: sym[3, 0], Exception),
        "Inertia": lambda: (inertia + inertia, inertia.mass, inertia.com, inertia.inertia, repr(inertia),
                            velmora.Inertia(1.0, np.zeros(3), np.eye(3))),
        "Inertia bad": _raises(lambda: velmora.Inertia.FromSphere(0.0, 1.0), ValueError),
        "Configuration": lambda: (config + config, config * 2.0, config.to_numpy(), repr(config)),
        "Model getters": lambda: (model.joint_names, model.joint_parents, model.joint_placements,
                                  model.joint_models, model.inertias, model.frames, model.gravity,
                                  model.get_joint_id("j3"), repr(model)),
        "Model errors": _raises(lambda: model.add_joint(99, velmora.JointModelRX(), se3, "x"), ValueError),
        "Frame": lambda: (repr(frame), frame.placement, frame.inertia, frame.frame_type, frame.name),
        "Data": lambda: (velmora.Data(model), data.oMi),
        "forward_kinematics": lambda: velmora.forward_kinematics(model, data, q),
        "forward_kinematics bad": _raises(lambda: velmora.forward_kinematics(model, data, q[:3]), ValueError),
        "neutral/random": lambda: (velmora.neutral(model), velmora.random_configuration(model)),
        "rnea": lambda: velmora.rnea(model, data, q, v, v),
        "rnea bad": _raises(lambda: velmora.rnea(model, data, q[:2], v, v), ValueError),
        "aba": lambda: velmora.aba(model, data, q, v, v),
        "aba bad": _raises(lambda: velmora.aba(model, data, q, v[:2], v), ValueError),
        "rnea_derivatives": lambda: velmora.rnea_derivatives(model, data, q, v, v),
        "rnea_derivatives bad": _raises(lambda: velmora.rnea_derivatives(model, data, q, v, v[:2]), ValueError),
        "aba_derivatives": lambda: velmora.aba_derivatives(model, data, q, v, v),
        "aba_derivatives bad": _raises(lambda: velmora.aba_derivatives(model, data, q[:2], v, v), ValueError),
        "mass matrix, bias, gravity": lambda: (velmora.mass_matrix(model, data, q),
                                               velmora.mass_matrix(model, data, q, out=mass_out),
                                               velmora.bias_forces(model, data, q, v),
                                               velmora.gravity_torques(model, data, q)),
        "coriolis, inverse mass matrix": lambda: (velmora.coriolis_matrix(model, data, q, v),
                                                  velmora.inverse_mass_matrix(model, data, q)),
        "centroidal momentum": lambda: (velmora.centroidal_momentum(model, data, q, v),
                                        velmora.centroidal_momentum_matrix(model, data, q)),
        "mass matrix factor": lambda: (lambda f: (f.solve(v), f.solve(np.ones((model.nv, 2))), f.logdet))(
            velmora.mass_matrix_factor(model, data, q)),
        "dynamics terms bad": _raises(lambda: velmora.mass_matrix(model, data, q[:2]), ValueError),
        "mass matrix bad out": _raises(lambda: velmora.mass_matrix(model, data, q, out=mass_out[1:]), ValueError),
        "dynamics terms bad type": _raises(lambda: velmora.coriolis_matrix(model, data, q, [1.0]), TypeError),
        "factor solve bad": _raises(lambda: factor.solve(np.ones(3)), ValueError),
        "singular inverse mass matrix": _raises(
            lambda: velmora.inverse_mass_matrix(singular, singular_data, np.zeros(1)), ValueError),
        "gravity setter": lambda: (setattr(model, "gravity", np.array([0.0, 0.0, -9.81])),
                                   setattr(model, "gravity", vec)),
        "gravity setter bad": _raises(lambda: setattr(model, "gravity", np.ones(4)), ValueError),
        "forward_kinematics v a": lambda: (velmora.forward_kinematics(model, data, q, v, v), data.v, data.a),
        "frame placements": lambda: (velmora.update_frame_placements(model, data), data.oMf,
                                     velmora.frame_placement(model, data, 3)),
        "jacobians": lambda: (velmora.frame_jacobian(model, data, q, 3), velmora.joint_jacobian(model, data, q, 2, W),
                              velmora.frame_jacobian(model, data, q, 3, W, jac_out),
                              velmora.frame_jacobian_time_derivative(model, data, q, v, 5, M)),
        "frame motion": lambda: (velmora.frame_velocity(model, data, q, v, 4, M),
                                 velmora.frame_acceleration(model, data, q, v, v, 4, W)),
        "mass and energy": lambda: (velmora.total_mass(model), velmora.center_of_mass(model, data, q),
                                    velmora.center_of_mass_jacobian(model, data, q),
                                    velmora.kinetic_energy(model, data, q, v), velmora.potential_energy(model, data, q)),
        "jacobian bad id": _raises(lambda: velmora.frame_jacobian(model, data, q, 99), IndexError),
        "jacobian bad size": _raises(lambda: velmora.frame_acceleration(model, data, q, v, v[:2], 1), ValueError),
        "jacobian bad rep": _raises(lambda: velmora.frame_jacobian(model, data, q, 1, 0), TypeError),
        "geometry": lambda: (velmora.GeometryObject("ball", 1, 0, tessary.Cuboid([1.0, 2.0, 3.0]), se3),
                             obj.geometry.radius, obj.mesh_color, obj.placement, repr(obj),
                             geom_model.geometry_objects, geom_model.get_geometry_id("ball"),
                             geom_data.get_object_placement(0),
                             geom_data.update_geometry_data(data, geom_model)),
        "geometry errors": _raises(lambda: geom_data.get_object_placement(5), KeyError),
        "shape view errors": _raises(lambda: obj.geometry.half_extents, ValueError),
        "forward_kinematics_batch": lambda: (velmora.forward_kinematics_batch(model, Q),
                                             velmora.forward_kinematics_batch(model, Q, [1, 2], threads=2)),
        "rnea_batch": lambda: (velmora.rnea_batch(model, Q, V, V), velmora.rnea_batch(model, Q, V, V, 2, out)),
        "aba_batch": lambda: velmora.aba_batch(model, Q[::2], V[::2], V[::2], threads=2),
        "mass_matrix/frame_jacobian batch": lambda: (velmora.mass_matrix_batch(model, Q, threads=2),
                                                     velmora.frame_jacobian_batch(model, Q, 2, W)),
        "derivative batches": lambda: (velmora.rnea_derivatives_batch(model, Q, V, V, threads=2),
                                       velmora.aba_derivatives_batch(model, Q, V, V, 1, derivative_out)),
        "derivative batch errors": _raises(lambda: velmora.aba_derivatives_batch(model, Q, V, V, out=out), ValueError),
        "batch errors": _raises(lambda: velmora.rnea_batch(model, Q, V[:3], V), ValueError),
        "batch frame errors": _raises(lambda: velmora.forward_kinematics_batch(model, Q, [0, 99]), ValueError),
        "pickle": lambda: (pickle.loads(pickle.dumps(model)), copy.deepcopy(geom_model), pickle.dumps(se3),
                           copy.deepcopy(frame), pickle.loads(pickle.dumps(config)), copy.deepcopy(obj)),
        "pickle errors": _raises(lambda: pickle.dumps(data), TypeError),
        "restore errors": _raises(lambda: velmora._restore(b"VELMORA\0\1\0\0\0\1"), ValueError),
        "collision queries": lambda: (velmora.compute_collisions(pairs_model, pairs_data),
                                      velmora.compute_collisions(pairs_model, pairs_data, stop_at_first=True),
                                      [(r.distance, r.point_i, r.point_j, r.normal, r.pair, repr(r))
                                       for r in velmora.compute_distances(pairs_model, pairs_data)],
                                      velmora.compute_distance(pairs_model, pairs_data, 0, 3),
                                      pairs_model.collision_pairs, pairs_model.load_meshes()),
        "collision pair edits": lambda: (pairs_model.remove_collision_pair(0, 1), pairs_model.add_collision_pair(1, 0),
                                         pairs_model.add_all_collision_pairs(model)),
        "collision queries placing the shapes": lambda: (
            velmora.compute_collisions(model, data, pairs_model, pairs_data, q),
            velmora.compute_collisions(model, data, pairs_model, pairs_data, q, stop_at_first=True),
            velmora.compute_distances(model, data, pairs_model, pairs_data, q[::-1]),
            velmora.update_geometry_placements(model, data, pairs_model, pairs_data),
            velmora.update_geometry_placements(model, data, pairs_model, pairs_data, q)),
        "collision placing errors": _raises(lambda: velmora.compute_distances(model, data, pairs_model, pairs_data,
                                                                              q[:2]), ValueError),
        "collision placing type errors": _raises(lambda: velmora.compute_collisions(model, data, pairs_model, data, q),
                                                 TypeError),
        "collision errors": _raises(lambda: velmora.compute_distance(pairs_model, pairs_data, 0, 9), ValueError),
        "collision pair errors": _raises(lambda: pairs_model.remove_collision_pair(2, 2), ValueError),
    }


CASES = _cases()


@pytest.mark.parametrize("name", list(CASES))
def test_memory_stays_flat(name):
    call = CASES[name]
    for _ in range(2000):  # warm up allocator pools and caches
        call()
    before = resident_bytes()
    for _ in range(CALLS):
        call()
    grown = resident_bytes() - before
    # A leak of even one small object per call would grow by several megabytes.
    assert grown < 1_000_000, f"{name}: resident size grew by {grown} bytes over {CALLS} calls"


def test_loader_memory_stays_flat():
    path = str(ROBOTS / "r2d2" / "robot.urdf")
    package = str(ROBOTS / "r2d2")
    bad = _raises(lambda: velmora.build_models_from_urdf(path + ".missing"), ValueError)
    model_only_bad = _raises(lambda: velmora.build_model_from_urdf(path, root_joint=1), TypeError)
    model_only_missing = _raises(lambda: velmora.build_model_from_urdf(path + ".missing"), ValueError)
    root = velmora.JointModelFreeFlyer()

    def calls():
        velmora.build_models_from_urdf(path, package)
        velmora.build_models_from_urdf(path, package, root)
        bad()
        velmora.build_model_from_urdf(path)
        velmora.build_model_from_urdf(path, root_joint=root)
        model_only_bad()
        model_only_missing()

    for _ in range(50):
        calls()
    before = resident_bytes()
    for _ in range(max(CALLS // 100, 500)):
        calls()
    grown = resident_bytes() - before
    assert grown < 1_000_000, f"loader: resident size grew by {grown} bytes"


def test_mesh_queries_memory_stays_flat(tmp_path):
    path = str(ROBOTS / "r2d2" / "robot.urdf")
    package = str(ROBOTS / "r2d2")
    srdf = tmp_path / "r2d2.srdf"
    srdf.write_text('<robot name="r2d2"><disable_collisions link1="base_link" link2="nowhere"/></robot>')
    model, collision, _ = velmora.build_models_from_urdf(path, package)
    data = model.create_data()
    velmora.forward_kinematics(model, data, velmora.neutral(model).to_numpy())
    geometry = collision.create_data(data)
    mesh = next(o.geometry for o in collision.geometry_objects if int(o.geometry.shape_type) == 5)

    def call():
        fresh = velmora.build_models_from_urdf(path, package)[1]
        fresh.add_all_collision_pairs()
        with pytest.warns(UserWarning):
            fresh.remove_collision_pairs_from_srdf(str(srdf))
        fresh.load_meshes(convex=True)
        mesh.mesh_triangles()
        velmora.compute_collisions(fresh, geometry)
        velmora.compute_distances(fresh, geometry)
    for _ in range(20):
        call()
    before = resident_bytes()
    for _ in range(max(CALLS // 1000, 100)):
        call()
    grown = resident_bytes() - before
    assert grown < 1_000_000, f"mesh queries: resident size grew by {grown} bytes"


def test_large_document_loader_memory_stays_flat(tmp_path):
    # Documents large enough to be parsed piece by piece, one of them refused late (its
    # pieces parsed, then the whole document parsed again for the error).
    link = ('<link name="l{i}"><inertial><mass value="1"/><inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/>'
            '</inertial><collision><geometry><sphere radius="0.1"/></geometry></collision></link>')
    joint = ('<joint name="j{i}" type="revolute"><parent link="l{p}"/><child link="l{i}"/><origin xyz="0 0 1"/>'
             '<limit lower="-1" upper="1" effort="1" velocity="1"/></joint>')
    body = "\n".join([link.format(i=0)] + [link.format(i=i) + joint.format(i=i, p=i - 1) for i in range(1, 500)])
    good = tmp_path / "good.urdf"
    good.write_text(f'<robot name="r">{body}</robot>')
    late_error = tmp_path / "late_error.urdf"
    late_error.write_text(f'<robot name="r">{body}<link name="x"></robot>')
    bad = _raises(lambda: velmora.build_model_from_urdf(str(late_error)), ValueError)

    def calls():
        velmora.build_models_from_urdf(str(good))
        velmora.build_model_from_urdf(str(good))
        bad()

    for _ in range(20):
        calls()
    before = resident_bytes()
    for _ in range(max(CALLS // 400, 200)):
        calls()
    grown = resident_bytes() - before
    assert grown < 1_000_000, f"loader: resident size grew by {grown} bytes"
