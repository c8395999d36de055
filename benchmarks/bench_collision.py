"""Self-collision and all-pairs distances per call from Python: velmora against pybullet,
MuJoCo and python-fcl called from a Python loop, on the sample arm (primitive shapes) and
kuka_iiwa (its STL meshes).

Every engine is timed on the same 25 random configurations (uniform within the joint
limits, from --seed, so that runs of different builds time the same states: the cost of a
distance query depends on how near the links are), one call covering what a planner's
check costs: set the joint positions, place the shapes, answer the query.
Meshes are triangle sets for velmora and python-fcl, convex hulls for pybullet and MuJoCo
(their reading of an STL collision mesh); "velmora hulls" reads them as hulls too.
  collisions  velmora: compute_collisions(model, data, geometry_model, geometry_data, q), which runs
                       forward kinematics, places the shapes and answers in one call; "velmora,
                       3 calls": forward_kinematics + update_geometry_data + compute_collisions
                       (the same work and answers); the faster of the two is the ratios' base
              pybullet: resetJointState per joint + performCollisionDetection + getContactPoints
              MuJoCo:   qpos + mj_kinematics + mj_collision (its own broad phase and pair filter)
              fcl loop: velmora's placements + one fcl.collide per pair
  distances   velmora: compute_distances, in the same two forms; pybullet: getClosestPoints per pair;
              MuJoCo: mj_geomDistance per pair; fcl loop: one fcl.distance per pair
Before timing, the number of colliding pairs is compared between velmora and python-fcl
(same shapes, same placements). Every round times one batch of each engine, in an order
rotated from round to round; figures are medians over the rounds of the process's CPU
time, as times per call and as ratios to velmora's in the same run.

    PYTHONPATH=build/python python benchmarks/bench_collision.py [--rounds 15] [--batch-ms 5] [--seed 1]
(peers: pip install -r benchmarks/requirements-peers.txt python-fcl)
"""
import argparse
import gc
import os
import statistics
import sys
import time
import xml.etree.ElementTree as ET

# One BLAS thread: NumPy's idle worker threads would otherwise spin on the second core
# while the engines are timed.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velmora  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
sys.path.insert(0, HERE)
from velmora_tools import sample_urdf  # noqa: E402

ROBOTS = {"sample_arm": (sample_urdf(), None),
          "kuka_iiwa": (os.path.join(HERE, "..", "tests", "robots", "kuka_iiwa", "robot.urdf"),
                        os.path.join(HERE, "..", "tests", "robots", "kuka_iiwa"))}
SAMPLES = 25


# The clock: the process's CPU time, as benchmarks/peers.py times, so that time the process
# waits while others run is charged to no engine (every engine runs in this process,
# pybullet in DIRECT mode); --clock wall times elapsed.
CLOCKS = {"cpu": time.process_time, "wall": time.perf_counter}
clock = CLOCKS["cpu"]


def batch_seconds(call, configurations, calls):
    """Seconds per call over `calls` calls cycling the configurations."""
    n = len(configurations)
    work = [configurations[k % n] for k in range(calls)]
    start = clock()
    for q in work:
        call(q)
    return (clock() - start) / calls


def timed(calls, configurations, rounds, batch_seconds_target):
    """Median seconds per call of each of `calls`, over `rounds` rounds in which every call
    runs one batch of about `batch_seconds_target`, in an order rotated from round to round:
    a disturbance then hits every engine alike, not whichever was running."""
    sizes = []
    for call in calls:
        batch_seconds(call, configurations, min(50, len(configurations)))  # warm up, lazy set-up
        per_call = batch_seconds(call, configurations, 20)
        sizes.append(max(5, int(batch_seconds_target / max(per_call, 1e-9))))
    samples = [[] for _ in calls]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            order = list(range(len(calls)))
            order = order[r % len(order):] + order[:r % len(order)]
            for k in order:
                samples[k].append(batch_seconds(calls[k], configurations, sizes[k]))
    finally:
        if gc_was_enabled:
            gc.enable()
    return [statistics.median(x) for x in samples]


class Velmora:
    name = "velmora"

    def __init__(self, path, package):
        self.model, self.collision, _ = velmora.build_models_from_urdf(path, package)
        self.collision.add_all_collision_pairs()
        self.collision.load_meshes()
        self.data = self.model.create_data()
        self.geometry = self.collision.create_data(self.data)
        self.names = self.model.joint_names[1:]

    def place(self, q):
        velmora.forward_kinematics(self.model, self.data, q)
        self.geometry.update_geometry_data(self.data, self.collision)

    def calls(self):
        collide, distances = velmora.compute_collisions, velmora.compute_distances
        m, d, g, c = self.model, self.data, self.geometry, self.collision

        def collisions(q):
            return collide(m, d, c, g, q)

        def all_distances(q):
            return distances(m, d, c, g, q)
        return collisions, all_distances


class VelmoraThreeCalls:
    """The same queries as three calls: forward kinematics, placing the shapes, the query."""
    name = "velmora, 3 calls"

    def __init__(self, vm):
        self.vm = vm

    def calls(self):
        vm = self.vm
        fk, update, collide, distances = (velmora.forward_kinematics, vm.geometry.update_geometry_data,
                                          velmora.compute_collisions, velmora.compute_distances)
        m, d, g, c = vm.model, vm.data, vm.geometry, vm.collision

        def collisions(q):
            fk(m, d, q)
            update(d, c)
            return collide(c, g)

        def all_distances(q):
            fk(m, d, q)
            update(d, c)
            return distances(c, g)
        return collisions, all_distances


def same_distances(a, b):
    return [(r.pair, r.distance, r.point_i.tolist(), r.point_j.tolist()) for r in a] == \
        [(r.pair, r.distance, r.point_i.tolist(), r.point_j.tolist()) for r in b]


class VelmoraHulls(Velmora):
    """Meshes as their convex hulls, as pybullet and MuJoCo read them."""
    name = "velmora hulls"

    def __init__(self, path, package):
        super().__init__(path, package)
        self.collision.load_meshes(convex=True)


class FclLoop:
    name = "python-fcl loop"

    def __init__(self, vm):
        import fcl
        sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
        from test_collision_robots import FclScene
        self.fcl, self.vm = fcl, vm
        self.objects = FclScene(vm.collision).objects(vm.geometry)
        self.pairs = vm.collision.collision_pairs

    def calls(self):
        fcl, vm, objects, pairs = self.fcl, self.vm, self.objects, self.pairs
        get = vm.geometry.get_object_placement
        request, drequest = fcl.CollisionRequest(), fcl.DistanceRequest()

        def place(q):
            vm.place(q)
            for k, o in enumerate(objects):
                m = get(k)
                o.setTransform(fcl.Transform(m.rotation, m.translation))

        def collisions(q):
            place(q)
            return [p for p in pairs if fcl.collide(objects[p[0]], objects[p[1]], request, fcl.CollisionResult())]

        def all_distances(q):
            place(q)
            return [fcl.distance(objects[i], objects[j], drequest, fcl.DistanceResult()) for i, j in pairs]
        return collisions, all_distances


class PyBullet:
    name = "pybullet"

    def __init__(self, vm, path):
        from peers import quiet
        with quiet():
            import pybullet
            self.pb = pb = pybullet
            self.client = pb.connect(pb.DIRECT)
            self.body = pb.loadURDF(path, useFixedBase=True, flags=pb.URDF_USE_SELF_COLLISION,
                                    physicsClientId=self.client)
        infos = [pb.getJointInfo(self.body, i, physicsClientId=self.client)
                 for i in range(pb.getNumJoints(self.body, physicsClientId=self.client))]
        index = {info[1].decode(): i for i, info in enumerate(infos)}
        link_index = {info[12].decode(): i for i, info in enumerate(infos)}
        self.joints = [index[name] for name in vm.names]
        # The same pairs as velmora's, by link (pybullet's base link is -1).
        link_of = []
        for obj in vm.collision.geometry_objects:
            frame = vm.model.frames[obj.parent_frame].name
            link_of.append(link_index.get(frame, -1))
        self.pairs = [(link_of[i], link_of[j]) for i, j in vm.collision.collision_pairs]

    def calls(self):
        pb, body, client, joints, pairs = self.pb, self.body, self.client, self.joints, self.pairs
        reset, detect, contacts, closest = (pb.resetJointState, pb.performCollisionDetection, pb.getContactPoints,
                                            pb.getClosestPoints)

        def place(q):
            for j, x in zip(joints, q):
                reset(body, j, x, physicsClientId=client)

        def collisions(q):
            place(q)
            detect(physicsClientId=client)
            return contacts(body, body, physicsClientId=client)

        def all_distances(q):
            place(q)
            return [closest(body, body, 10.0, a, b, physicsClientId=client) for a, b in pairs]
        return collisions, all_distances


class MuJoCo:
    name = "MuJoCo"

    def __init__(self, vm, path, workdir):
        import mujoco
        self.mj = mj = mujoco
        tree = ET.parse(path)
        root = tree.getroot()
        extra = ET.SubElement(root, "mujoco")
        ET.SubElement(extra, "compiler", discardvisual="true", fusestatic="false", strippath="false",
                      meshdir=os.path.abspath(workdir) if workdir else os.path.dirname(path))
        copy = os.path.join(os.path.dirname(os.path.abspath(path)), ".bench_collision_mujoco.urdf")
        tree.write(copy)
        try:
            self.m = mj.MjModel.from_xml_path(copy)
        finally:
            os.remove(copy)
        self.d = mj.MjData(self.m)
        self.qadr = np.array([self.m.jnt_qposadr[self.m.joint(n).id] for n in vm.names], dtype=int)
        m = self.m
        # MuJoCo's own rule for self-collision: geoms on different bodies, not parent and child.
        geoms = [g for g in range(m.ngeom) if m.geom_contype[g] or m.geom_conaffinity[g]]
        self.pairs = [(a, b) for ia, a in enumerate(geoms) for b in geoms[ia + 1:]
                      if m.geom_bodyid[a] != m.geom_bodyid[b]
                      and m.body_parentid[m.geom_bodyid[a]] != m.geom_bodyid[b]
                      and m.body_parentid[m.geom_bodyid[b]] != m.geom_bodyid[a]]

    def calls(self):
        mj, m, d, qadr, pairs = self.mj, self.m, self.d, self.qadr, self.pairs
        kinematics, collision, distance = mj.mj_kinematics, mj.mj_collision, mj.mj_geomDistance
        fromto = np.zeros(6)

        def collisions(q):
            d.qpos[qadr] = q
            kinematics(m, d)
            collision(m, d)
            return d.ncon

        def all_distances(q):
            d.qpos[qadr] = q
            kinematics(m, d)
            return [distance(m, d, a, b, 10.0, fromto) for a, b in pairs]
        return collisions, all_distances


def configurations(model, rng):
    """SAMPLES configurations, each joint's entries uniform between its limits."""
    lower = np.concatenate([j.lower_limit for j in model.joint_models])
    upper = np.concatenate([j.upper_limit for j in model.joint_models])
    return [rng.uniform(lower, upper) for _ in range(SAMPLES)]


def text(seconds):
    return f"{seconds * 1e6:9.2f} us"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds")
    parser.add_argument("--batch-ms", type=float, default=5.0, help="length of one timed batch")
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                        help="cpu: CPU time of the process (default); wall: elapsed time")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]
    for robot, (path, package) in ROBOTS.items():
        vm = Velmora(path, package)
        states = configurations(vm.model, np.random.default_rng(args.seed))
        engines = [vm, VelmoraThreeCalls(vm)]
        # Both forms of velmora's call give the same answers.
        for q in states:
            (one, one_d), (three, three_d) = ((collide(q), distances(q)) for collide, distances in
                                              (vm.calls(), engines[1].calls()))
            assert one == three and same_distances(one_d, three_d), f"{robot}: the two forms disagree at {q.tolist()}"
        for make in (lambda: VelmoraHulls(path, package), lambda: FclLoop(vm), lambda: PyBullet(vm, path), lambda: MuJoCo(vm, path, package)):
            try:
                engines.append(make())
            except Exception as e:  # an engine that is not installed or refuses the robot
                print(f"  ({robot}: a peer is left out: {type(e).__name__}: {str(e).splitlines()[0][:100]})")
        # Agreement first: the same colliding pairs as python-fcl on every configuration.
        fcl_loop = next((e for e in engines if isinstance(e, FclLoop)), None)
        if fcl_loop:
            ours, theirs = vm.calls()[0], fcl_loop.calls()[0]
            for q in states:
                assert ours(q) == theirs(q), f"{robot}: velmora and python-fcl disagree at q = {q.tolist()}"
        print(f"\n{robot}: {vm.collision.ngeoms} objects, {len(vm.collision.collision_pairs)} pairs "
              f"(median per call over {args.rounds} interleaved rounds of {args.batch_ms:g} ms batches, "
              f"{args.clock} clock)")
        print(f"  {'engine':<16} {'collisions':>12} {'ratio':>8} {'distances':>12} {'ratio':>8}   pairs")
        calls = [engine.calls() for engine in engines]
        target = args.batch_ms / 1000
        collide_times = timed([c[0] for c in calls], states, args.rounds, target)
        distance_times = timed([c[1] for c in calls], states, args.rounds, target)
        times = list(zip(collide_times, distance_times))
        # The ratios' base: velmora's faster form for each query.
        base = (min(times[0][0], times[1][0]), min(times[0][1], times[1][1]))
        for engine, (tc, td) in zip(engines, times):
            pairs = len(getattr(engine, "pairs", vm.collision.collision_pairs))
            print(f"  {engine.name:<16} {text(tc)} {tc / base[0]:7.1f}x {text(td)} {td / base[1]:7.1f}x   {pairs}")


if __name__ == "__main__":
    main()
