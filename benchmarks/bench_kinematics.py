"""Cost of one forward_kinematics call from Python on a 7-joint arm, as a ratio to the
same call on a model without moving joints (what the call costs before any joint is
touched: argument parsing, borrows, checks).

The two are measured in alternating batches within one run, so that both see the same
machine state; the figures are the medians over the batches.

    PYTHONPATH=build/python python benchmarks/bench_kinematics.py [--rounds 41] [--calls 20000]
"""
import argparse
import statistics
import time

import numpy as np

import velmora


def seven_joint_arm():
    """A serial arm shaped like common 7-axis manipulators: alternating z and y axes."""
    m = velmora.Model()
    makers = [velmora.JointModelRZ, velmora.JointModelRY, velmora.JointModelRZ, velmora.JointModelRY,
              velmora.JointModelRZ, velmora.JointModelRY, velmora.JointModelRZ]
    offsets = [0.34, 0.0, 0.4, 0.0, 0.4, 0.0, 0.126]
    for i, (make, dz) in enumerate(zip(makers, offsets)):
        placement = velmora.SE3(np.eye(3), np.array([0.0, 0.0, dz]))
        m.add_joint(i, make(), placement, f"joint{i + 1}")
    return m


def per_call_ns(fk, model, data, q, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        fk(model, data, q)
    return (time.perf_counter_ns() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--calls", type=int, default=20000)
    args = parser.parse_args()

    fk = velmora.forward_kinematics
    arm = seven_joint_arm()
    arm_data = arm.create_data()
    arm_q = velmora.random_configuration(arm).to_numpy()
    empty = velmora.Model()
    empty_data = empty.create_data()
    empty_q = np.zeros(0)
    assert arm.nq == 7 and empty.nq == 0

    # Warm up both paths, then alternate which one goes first in each round.
    per_call_ns(fk, arm, arm_data, arm_q, args.calls)
    per_call_ns(fk, empty, empty_data, empty_q, args.calls)
    arm_ns, empty_ns = [], []
    for r in range(args.rounds):
        order = [(arm_ns, arm, arm_data, arm_q), (empty_ns, empty, empty_data, empty_q)]
        if r % 2:
            order.reverse()
        for out, model, data, q in order:
            out.append(per_call_ns(fk, model, data, q, args.calls))

    arm_median = statistics.median(arm_ns)
    empty_median = statistics.median(empty_ns)
    print(f"forward_kinematics, {args.rounds} alternating rounds of {args.calls} calls, medians:")
    print(f"  7-joint arm            {arm_median:8.1f} ns per call")
    print(f"  no moving joints       {empty_median:8.1f} ns per call (call overhead)")
    print(f"  ratio arm / overhead   {arm_median / empty_median:8.2f}")
    print(f"  per moving joint       {(arm_median - empty_median) / 7:8.1f} ns "
          f"({(arm_median - empty_median) / 7 / empty_median:.2f} x overhead)")


if __name__ == "__main__":
    main()
