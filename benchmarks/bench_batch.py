"""Many states per call: what forward_kinematics_batch, rnea_batch and aba_batch cost per
state, as ratios measured side by side in one run.

  core     one thread, N = 4096 states, against the core's own cost per call
           (build/bench_dynamics_core, run here on kuka_iiwa and nao): the Python call
           amortised away, the ratio should be at most 1.2.
  threads  two threads against one, N = 1024 .. 16384 (elapsed time): at least 1.8x on
           two free cores.
  simd     one thread, N = 4096: four states side by side in AVX2 lanes against the
           single-state code (VELMORA_SIMD=0), per operation, on every corpus robot: child
           processes with the lanes on and off take turns, medians over the turns.
  peers    per state against the fastest of MuJoCo, pybullet and DART called once per
           state from a Python loop (their calls as benchmarks/peers.py times them, after
           the same agreement check), and against MuJoCo's own batch (mujoco.batch.Batch,
           same thread count) where the installed MuJoCo has it: forward kinematics
           (its position stage) and forward dynamics (mj_forward). Needs the peers
           (make bench-peers installs them); skipped without them.

Forward kinematics in the batch returns the world placement of every body frame (what the
peers are checked on), as (N, F, 4, 4); in the core section it is also timed with no
frames asked for, which is the work the core benchmark times (joint placements only).

    PYTHONPATH=build/python .venv/bin/python benchmarks/bench_batch.py [--rounds 7] [--robots kuka_iiwa,nao]
        [--sections core,threads,simd,peers]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velmora as vm  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
ROBOTS = ROOT / "tests" / "robots"
CORE_ROBOTS = ("kuka_iiwa", "nao")


def elapsed_ns(call, rounds):
    """Median elapsed time of call() over rounds, after one call to warm up."""
    call()
    samples = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        call()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples)


def load(name):
    model, _, _ = vm.build_models_from_urdf(str(ROBOTS / name / "robot.urdf"), str(ROBOTS / name))
    return model


def random_states(model, n, seed=3):
    rng = np.random.default_rng(seed)
    base = np.array([vm.random_configuration(model).to_numpy() for _ in range(64)]).reshape(64, model.nq)
    Q = np.ascontiguousarray(base[np.arange(n) % 64])
    return Q, rng.uniform(-2, 2, (n, model.nv)), rng.uniform(-2, 2, (n, model.nv))


def batch_calls(model, Q, V, A, frames, threads, tau=None):
    """The three batch calls (aba at tau, or at the efforts rnea gives for A), each writing
    into a result array made once, as a pipeline that repeats them does and as MuJoCo's batch
    writes into the arrays bound to it: what is timed is the computation, not the first
    touch of a new array's pages (for NAO's body frames, 40 MB at N = 4096)."""
    if tau is None:
        tau = vm.rnea_batch(model, Q, V, A)
    placements = vm.forward_kinematics_batch(model, Q, frames, threads=threads)
    efforts, accelerations = np.empty_like(tau), np.empty_like(tau)
    return {
        "fk": lambda: vm.forward_kinematics_batch(model, Q, frames, threads=threads, out=placements),
        "rnea": lambda: vm.rnea_batch(model, Q, V, A, threads=threads, out=efforts),
        "aba": lambda: vm.aba_batch(model, Q, V, tau, threads=threads, out=accelerations),
    }


def core_figures():
    """ns per call of fk, rnea and aba for the robots of the core benchmark, one run."""
    exe = ROOT / "build" / "bench_dynamics_core"
    text = subprocess.run([str(exe), "3"], capture_output=True, text=True, check=True).stdout
    figures = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 5 and parts[0] in CORE_ROBOTS:
            figures[(parts[0], parts[2])] = float(parts[3])
    return figures


def section_core(rounds, out):
    if not (ROOT / "build" / "bench_dynamics_core").exists():
        out.write("core: build/bench_dynamics_core not built (make build): skipped\n")
        return
    n = 4096
    calls = {}
    for name in CORE_ROBOTS:
        model = load(name)
        Q, V, A = random_states(model, n)
        every = list(range(model.nframes))
        for op, call in batch_calls(model, Q, V, A, [], 1).items():
            calls[(name, op)] = call
        calls[(name, "fk, every frame")] = \
            lambda model=model, Q=Q, every=every: vm.forward_kinematics_batch(model, Q, every, threads=1)
    # Rounds interleave the core's run and the batch calls, so that load from other
    # processes falls on both alike; medians over the rounds.
    core, ours = {}, {key: [] for key in calls}
    for _ in range(rounds):
        for key, value in core_figures().items():
            core.setdefault(key, []).append(value)
        for key, call in calls.items():
            ours[key].append(elapsed_ns(call, 3) / n)
    out.write(f"\nOne thread, N = {n}: batch ns per state against the core's ns per call (elapsed time)\n")
    out.write(f"{'robot':<12} {'operation':<22} {'batch':>10} {'core':>10} {'ratio':>7}\n")
    for (name, op), samples in ours.items():
        per_state = statistics.median(samples)
        reference = statistics.median(core[(name, op)]) if (name, op) in core else None
        ratio = f"{per_state / reference:6.2f}x" if reference else "      -"
        title = {"fk": "fk (no frames out)"}.get(op, op)
        core_text = f"{reference:8.0f}ns" if reference else f"{'-':>10}"
        out.write(f"{name:<12} {title:<22} {per_state:8.0f}ns {core_text} {ratio}\n")


def section_threads(rounds, out):
    out.write(f"\nTwo threads against one (elapsed time; this process may use {len(os.sched_getaffinity(0))} cores)\n")
    out.write(f"{'robot':<12} {'operation':<10} {'N':>6} {'1 thread':>12} {'2 threads':>12} {'speed-up':>9}\n")
    for name in CORE_ROBOTS:
        model = load(name)
        frames = [i for i, f in enumerate(model.frames) if str(f.frame_type).endswith("Body")]
        for n in (1024, 4096, 16384):
            Q, V, A = random_states(model, n)
            one, two = batch_calls(model, Q, V, A, frames, 1), batch_calls(model, Q, V, A, frames, 2)
            for op in one:
                t1, t2 = [], []
                # Interleaved, so that load from other processes hits both alike; three times the
                # rounds of the other sections, as one call of a small batch lasts under 0.1 ms.
                for _ in range(3 * rounds):
                    t1.append(elapsed_ns(one[op], 1))
                    t2.append(elapsed_ns(two[op], 1))
                m1, m2 = statistics.median(t1), statistics.median(t2)
                out.write(f"{name:<12} {op:<10} {n:>6} {m1 / n:10.0f}ns {m2 / n:10.0f}ns {m1 / m2:8.2f}x\n")


# ------------------------------------------------------------------------------- simd

SIMD_OPS = ("fk, body frames", "fk, no frames", "rnea", "aba")


def simd_child(names, rounds):
    """Times the batch operations of SIMD_OPS in this process (lanes as the environment
    says) and prints {robot: {op: ns per state}} as JSON."""
    import json
    n = 4096
    result = {}
    for name in names:
        model = vm.build_model_from_urdf(str(ROBOTS / name / "robot.urdf"))  # no meshes needed
        Q, V, A = random_states(model, n)
        frames = [i for i, f in enumerate(model.frames) if str(f.frame_type).endswith("Body")]
        tau = vm.rnea_batch(model, Q, V, A)
        calls = {
            "fk, body frames": lambda: vm.forward_kinematics_batch(model, Q, frames, threads=1),
            "fk, no frames": lambda: vm.forward_kinematics_batch(model, Q, [], threads=1),
            "rnea": lambda: vm.rnea_batch(model, Q, V, A, threads=1),
            "aba": lambda: vm.aba_batch(model, Q, V, tau, threads=1),
        }
        result[name] = {op: elapsed_ns(call, rounds) / n for op, call in calls.items()}
    print(json.dumps(result))


def section_simd(rounds, names, out):
    import json
    flags = Path("/proc/cpuinfo").read_text().split() if Path("/proc/cpuinfo").exists() else []
    if not ("avx2" in flags and "fma" in flags):
        out.write("\nsimd: this processor has no AVX2 and FMA: skipped\n")
        return
    samples = {}
    for turn in range(3):  # lanes off and on in turn, so that load from other processes falls on both alike
        for lanes in ("0", "1"):
            env = dict(os.environ, VELMORA_SIMD=lanes)
            text = subprocess.run([sys.executable, __file__, "--simd-child", ",".join(names), "--rounds", str(rounds)],
                                  env=env, capture_output=True, text=True, check=True).stdout
            for name, ops in json.loads(text).items():
                for op, ns in ops.items():
                    samples.setdefault((name, op, lanes), []).append(ns)
    out.write("\nOne thread, N = 4096: ns per state with the single-state code and with four states in AVX2 lanes "
              "(elapsed time, medians of 3 turns)\n")
    out.write(f"{'robot':<14}" + "".join(f"{op:>30}" for op in SIMD_OPS) + "\n")
    for name in names:
        line = f"{name:<14}"
        for op in SIMD_OPS:
            off = statistics.median(samples[(name, op, "0")])
            on = statistics.median(samples[(name, op, "1")])
            line += f"{off:9.0f} /{on:7.0f} ns {off / on:6.2f}x"
        out.write(line + "\n")
    out.flush()


# ------------------------------------------------------------------------------ peers

def mujoco_batch_calls(mj_engine, robot, variant, n, threads):
    """MuJoCo's own batch over n states (the robot's states repeated): its position stage
    and mj_forward, each with the states written into the batch's rows first."""
    mj = mj_engine.mj
    from mujoco import batch as mj_batch
    m = mj.MjModel.from_xml_path(mj_engine._file(robot, variant))
    m.opt.gravity[:] = (0.0, 0.0, -9.81)
    m.opt.disableflags |= int(mj.mjtDisableBit.mjDSBL_CONSTRAINT)
    qadr = np.array([m.jnt_qposadr[m.joint(j).id] for j in robot.layout.names], dtype=int)
    dadr = np.array([m.jnt_dofadr[m.joint(j).id] for j in robot.layout.names], dtype=int)
    rows = np.arange(n) % robot.samples
    Q = np.zeros((n, m.nq))
    Q[:, qadr] = np.asarray(robot.theta)[rows]
    V = np.zeros((n, m.nv))
    V[:, dadr] = np.asarray(robot.v)[rows]
    T = np.zeros((n, m.nv))
    T[:, dadr] = np.asarray(robot.tau)[rows]
    b = mj_batch.Batch(m, nsim=n, nthread=threads)
    qpos, qvel, force = b.bind("qpos"), b.bind("qvel"), b.bind("qfrc_applied")
    b.bind("xpos"), b.bind("xmat"), b.bind("qacc")

    def fk():
        qpos[:] = Q
        b.forward(stage=int(mj.mjtStage.mjSTAGE_POS))

    def fd():
        qpos[:] = Q
        qvel[:] = V
        force[:] = T
        b.forward()

    return {"fk": fk, "fd": fd}


def section_peers(rounds, names, out):
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import peers

    engines = {}
    for cls in (peers.MuJoCo, peers.PyBullet, peers.Dart):
        try:
            engines[cls.name] = cls()
        except ImportError:
            pass
    if not engines:
        out.write("\npeers: none installed (make bench-peers installs them): skipped\n")
        return
    has_batch = False
    try:
        from mujoco import batch as _  # noqa: F401
        has_batch = "MuJoCo" in engines
    except ImportError:
        pass
    threads = len(os.sched_getaffinity(0))
    n = 4096
    from importlib.metadata import version
    versions = ", ".join(f"{e} {version(m)}" for e, m in (("MuJoCo", "mujoco"), ("pybullet", "pybullet"),
                                                          ("DART", "dartpy")) if e in engines)
    out.write(f"\nPer state against the peers, N = {n} ({versions}); batch with 1 and {threads} threads (elapsed"
              f" time), peers once per state from a Python loop (CPU time, as benchmarks/peers.py)\n")
    many = f"{threads}t"
    header = f"{'robot':<12} {'op':<4} {'fastest peer':>22} {'batch 1t':>10} {'ratio':>8} {'batch ' + many:>10}"
    header += f" {'ratio':>8}"
    if has_batch:
        header += f" {'MuJoCo batch 1t':>16} {'ratio':>7} {'MuJoCo ' + many:>12} {'ratio':>7}"
    out.write(header + "\n")
    ops = {"fk": "fk", "rnea": "id", "aba": "fd"}
    with tempfile.TemporaryDirectory(prefix="velmora-batch-") as tmp:
        for name in names:
            robot = peers.Robot(name, ROBOTS / name / "robot.urdf", Path(tmp), ROBOTS / name)
            cells = {e: peers.check_engine(engine, robot, list(ops.values())) for e, engine in engines.items()}
            with peers.quiet():
                peers.time_robot(robot, cells, list(ops.values()), rounds, 4e6)
            model = robot.model
            rows = np.arange(n) % robot.samples
            Q = np.ascontiguousarray(np.asarray(robot.q)[rows])
            V = np.ascontiguousarray(np.asarray(robot.v)[rows])
            A = np.ascontiguousarray(np.asarray(robot.a)[rows])
            T = np.ascontiguousarray(np.asarray(robot.tau)[rows])
            frames = [i for i, f in enumerate(model.frames) if f.name in robot.body_frames]
            ours = {}
            for t in (1, threads):
                ours[t] = {op: elapsed_ns(call, rounds) / n
                           for op, call in batch_calls(model, Q, V, A, frames, t, tau=T).items()}
            mj_batch = {}
            if has_batch and cells["MuJoCo"]["fk"].status == "ok":
                variant = cells["MuJoCo"]["fk"].variant
                for t in (1, threads):
                    calls = mujoco_batch_calls(engines["MuJoCo"], robot, variant, n, t)
                    mj_batch[t] = {op: elapsed_ns(call, rounds) / n for op, call in calls.items()}
            for op, peer_op in ops.items():
                timed = [(statistics.median(c[peer_op].samples), e) for e, c in cells.items() if c[peer_op].samples]
                line = f"{name:<12} {op:<4} "
                if timed:
                    best, who = min(timed)
                    line += f"{best:8.0f}ns {who:<12} {ours[1][op]:8.0f}ns {best / ours[1][op]:7.1f}x " \
                            f"{ours[threads][op]:8.0f}ns {best / ours[threads][op]:7.1f}x"
                else:
                    line += f"{'no agreeing peer':>22} {ours[1][op]:8.0f}ns {'':>8} {ours[threads][op]:8.0f}ns {'':>8}"
                mj_op = {"fk": "fk", "aba": "fd"}.get(op)
                if mj_batch and mj_op:
                    a1, at = mj_batch[1][mj_op], mj_batch[threads][mj_op]
                    line += f" {a1:14.0f}ns {a1 / ours[1][op]:6.1f}x {at:10.0f}ns {at / ours[threads][op]:6.1f}x"
                out.write(line + "\n")
            out.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--robots", default="franka_panda,kuka_iiwa,nao,pr2,r2d2,unitree_a1,unitree_g1,ur5e",
                        help="robots of tests/robots for the simd and peer comparisons")
    parser.add_argument("--sections", default="core,threads,simd,peers")
    parser.add_argument("--simd-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.simd_child:
        simd_child(args.simd_child.split(","), args.rounds)
        return 0
    sections = args.sections.split(",")
    out = sys.stdout
    out.write(f"velmora batch benchmark; Python {sys.version.split()[0]}, median of {args.rounds} rounds; "
              f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors at the start\n")
    if "core" in sections:
        section_core(args.rounds, out)
    if "threads" in sections:
        section_threads(args.rounds, out)
    if "simd" in sections:
        section_simd(args.rounds, [r for r in args.robots.split(",") if r], out)
    if "peers" in sections:
        section_peers(args.rounds, [r for r in args.robots.split(",") if r], out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
