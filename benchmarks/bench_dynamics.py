"""Per-call cost of rnea and aba from Python on a 7-joint arm, against the bare call overhead.

The overhead is the same call on a model without moving joints (argument parsing, borrows,
array reading, result object). All four cases run interleaved in one process, in batches,
and each is summarised by the median over batches.

    PYTHONPATH=build/python python benchmarks/bench_dynamics.py [rounds] [calls_per_batch]
"""

import statistics
import sys
import time

import numpy as np

import velmora as vm


def seven_joint_arm():
    model = vm.Model()
    joints = [vm.JointModelRZ, vm.JointModelRY, vm.JointModelRZ, vm.JointModelRY, vm.JointModelRZ, vm.JointModelRY,
              vm.JointModelRZ]
    for i, joint in enumerate(joints, start=1):
        offset = np.array([0.0, 0.0, 0.3 if i > 1 else 0.0])
        model.add_joint(i - 1, joint(), vm.SE3(np.eye(3), offset), f"joint{i}")
        body = vm.Inertia(4.0 - 0.4 * i, np.array([0.0, 0.02, 0.12]), np.diag([0.03, 0.03, 0.01]))
        model.add_frame(vm.Frame(f"link{i}", i, 0, vm.SE3.Identity(), vm.FrameType.Body, body), True)
    return model


def batch_ns(fn, args, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn(*args)
    return (time.perf_counter_ns() - start) / calls


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    calls = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    arm, empty = seven_joint_arm(), vm.Model()
    rng = np.random.default_rng(0)
    q, v, a = (rng.uniform(-1, 1, arm.nv) for _ in range(3))
    tau = vm.rnea(arm, arm.create_data(), q, v, a).to_numpy()
    none = np.zeros(0)
    cases = {
        "rnea 7 joints": (vm.rnea, (arm, arm.create_data(), q, v, a)),
        "rnea no joints": (vm.rnea, (empty, empty.create_data(), none, none, none)),
        "aba 7 joints": (vm.aba, (arm, arm.create_data(), q, v, tau)),
        "aba no joints": (vm.aba, (empty, empty.create_data(), none, none, none)),
    }
    samples = {name: [] for name in cases}
    names = list(cases)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:  # rotate the order every round
            fn, args = cases[name]
            samples[name].append(batch_ns(fn, args, calls))
    median = {name: statistics.median(s) for name, s in samples.items()}
    print(f"{'case':<16}{'ns/call':>10}")
    for name in names:
        print(f"{name:<16}{median[name]:>10.0f}")
    for algo in ("rnea", "aba"):
        full, bare = median[f"{algo} 7 joints"], median[f"{algo} no joints"]
        print(f"{algo}: 7-joint call / bare call = {full / bare:.2f} "
              f"(dynamics {full - bare:.0f} ns, {(full - bare) / 7:.0f} ns per joint)")


if __name__ == "__main__":
    main()
