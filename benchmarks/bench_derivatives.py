"""Per-call cost of the dynamics derivatives from Python, as ratios measured side by side.

For every robot of tests/robots with reference values and the sample arm (the same
dynamics-only files and states as benchmarks/peers.py), six calls run interleaved in
rounds, each timed in batches by the process's CPU time and summarised by the median:

  rnea, aba                     one call of inverse / forward dynamics
  rnea_derivatives              dtau/dq, dtau/dv and M
  aba_derivatives               dddq/dq, dddq/dv and M^-1
  rnea differences, aba diff.   central differences of dtau/dq (ddq/dq) alone with our own
                                rnea (aba): 2 nv calls, q moved along the tangent space

The table gives each derivative call as a multiple of one dynamics call, and how many
times longer the differences take. Before timing, the derivatives are checked against the
differences (relative 1e-4: the step here is chosen for speed, not accuracy).

    PYTHONPATH=build/python .venv/bin/python benchmarks/bench_derivatives.py [--rounds 15] [--batch-ms 4]
        [--robots kuka_iiwa,nao]
"""
import argparse
import gc
import math
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers  # noqa: E402  (same directory: the robots, files and states the peers table uses)

import velmora as vm  # noqa: E402

STEP = 1e-6


def tangent_moves(model, q, h):
    """For each velocity coordinate, how q moves by +h and -h along it: (index, values+, values-)."""
    moves, iq = [], 0
    for joint in model.joint_models:
        if joint.nv == 1:
            if int(joint.joint_type) == int(vm.JointType.Continuous):
                moves.append((slice(iq, iq + 2), True))
            else:
                moves.append((slice(iq, iq + 1), False))
        iq += joint.nq
    ch, sh = math.cos(h), math.sin(h)

    def displaced(q, index, continuous, sign):
        x = q.copy()
        if continuous:
            c, s = q[index]
            x[index] = c * ch - sign * s * sh, s * ch + sign * c * sh
        else:
            x[index] += sign * h
        return x
    return moves, displaced


def differences(fn, model, data, q, v, x, moves, displaced):
    """Central differences of fn(model, data, q, v, x) by q: 2 nv calls."""
    columns = []
    for index, continuous in moves:
        plus = fn(model, data, displaced(q, index, continuous, 1.0), v, x).to_numpy()
        minus = fn(model, data, displaced(q, index, continuous, -1.0), v, x).to_numpy()
        columns.append((plus - minus) / (2 * STEP))
    return np.column_stack(columns)


def batch_ns(call, args, calls):
    start = time.process_time_ns()
    for _ in range(calls):
        call(*args)
    return (time.process_time_ns() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--batch-ms", type=float, default=4.0)
    parser.add_argument("--robots", default="")
    args = parser.parse_args()
    wanted = set(filter(None, args.robots.split(",")))
    sources = [(d.name, d / "robot.urdf", d) for d in sorted(peers.ROBOTS_DIR.iterdir())
               if (d / "reference.npz").exists()] + [("sample_arm", peers.SAMPLE_ROBOT, None)]
    sources = [s for s in sources if not wanted or s[0] in wanted]

    print(f"{'robot':<14}{'nv':>4}{'rnea':>10}{'rnea_d':>10}{'/rnea':>7}{'diff/d':>8}"
          f"{'aba':>10}{'aba_d':>10}{'/aba':>7}{'diff/d':>8}")
    with tempfile.TemporaryDirectory(prefix="velmora-derivatives-") as tmp:
        for name, source, reference in sources:
            robot = peers.Robot(name, source, Path(tmp), reference)
            m, d, k = robot.model, robot.data, 0
            q, v, a, tau = robot.q[k], robot.v[k], robot.a[k], robot.tau[k]
            moves, displaced = tangent_moves(m, q, STEP)
            forward = robot.ddq[k] is not None
            cases = {
                "rnea": (vm.rnea, (m, d, q, v, a)),
                "rnea_d": (vm.rnea_derivatives, (m, d, q, v, a)),
                "rnea_fd": (differences, (vm.rnea, m, d, q, v, a, moves, displaced)),
            }
            if forward:
                cases.update({"aba": (vm.aba, (m, d, q, v, tau)),
                              "aba_d": (vm.aba_derivatives, (m, d, q, v, tau)),
                              "aba_fd": (differences, (vm.aba, m, d, q, v, tau, moves, displaced))})
            for exact, approximate in (("rnea_d", "rnea_fd"), ("aba_d", "aba_fd")):
                if exact in cases:
                    got = cases[exact][0](*cases[exact][1])[0]
                    want = cases[approximate][0](*cases[approximate][1])
                    error = np.abs(got - want).max() / max(1.0, np.abs(want).max())
                    cond = np.linalg.cond(vm.rnea_derivatives(m, d, q, v, a)[2])
                    if error > 1e-4 * max(1.0, cond * 1e-6):
                        sys.exit(f"{name}: {exact} differs from the differences by {error:.1e}")
            calls = {}
            for label, (call, call_args) in cases.items():
                per_call = batch_ns(call, call_args, 3)
                calls[label] = max(1, int(args.batch_ms * 1e6 / max(per_call, 1.0)))
            samples = {label: [] for label in cases}
            labels = list(cases)
            gc.disable()
            try:
                for r in range(args.rounds):
                    for label in labels[r % len(labels):] + labels[:r % len(labels)]:
                        call, call_args = cases[label]
                        samples[label].append(batch_ns(call, call_args, calls[label]))
            finally:
                gc.enable()
            t = {label: statistics.median(s) for label, s in samples.items()}
            row = (f"{name:<14}{m.nv:>4}{peers.format_time(t['rnea']):>10}{peers.format_time(t['rnea_d']):>10}"
                   f"{t['rnea_d'] / t['rnea']:>6.1f}x{t['rnea_fd'] / t['rnea_d']:>7.1f}x")
            if forward:
                row += (f"{peers.format_time(t['aba']):>10}{peers.format_time(t['aba_d']):>10}"
                        f"{t['aba_d'] / t['aba']:>6.1f}x{t['aba_fd'] / t['aba_d']:>7.1f}x")
            print(row, flush=True)


if __name__ == "__main__":
    main()
