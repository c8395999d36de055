"""Loading cost per link as robots grow: generated chains and binary trees of revolute
joints (one link with an inertia and a collision sphere per joint) of 100, 1,000 and
10,000 links, loaded by build_models_from_urdf and by build_model_from_urdf. Loading is
linear when a 10,000-link file costs at most 1.3 times per link what a 1,000-link file
does; exits with status 1 when it does not, for either loader and shape.

All sizes run in alternating rounds within one process; each round loads every file
about the same total number of links' worth, and the figure per file is the process CPU
time (user and system) of its best round, the least disturbed by other work on the
machine. The user time alone is shown too: the system time is the kernel handing out
fresh memory pages, which the allocator returns after a large load and asks for again
at the next, where the memory of a small load stays with the process.

    PYTHONPATH=build/python python benchmarks/bench_urdf_scaling.py [rounds]
"""

import resource
import sys
import tempfile
from pathlib import Path

import velmora

SIZES = (100, 1_000, 10_000)
LINKS_PER_ROUND = 20_000
REQUIRED_RATIO = 1.3
LINK = ('<link name="l{i}"><inertial><origin xyz="0 0 0.05"/><mass value="1"/>'
        '<inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.01"/></inertial>'
        '<collision><origin xyz="0 0 0.05"/><geometry><sphere radius="0.05"/></geometry></collision></link>')
JOINT = ('<joint name="j{i}" type="revolute"><parent link="l{parent}"/><child link="l{i}"/>'
         '<origin xyz="0 0 0.1" rpy="0 0 0.3"/><axis xyz="0 1 0"/>'
         '<limit lower="-1.5" upper="1.5" effort="10" velocity="2"/></joint>')


def robot(links, shape):
    """A chain (link i hangs from link i - 1) or a binary tree (from link (i - 1) // 2)."""
    parts = [f'<robot name="{shape}{links}">', LINK.format(i=0)]
    for i in range(1, links):
        parent = i - 1 if shape == "chain" else (i - 1) // 2
        parts.append(LINK.format(i=i))
        parts.append(JOINT.format(i=i, parent=parent))
    parts.append("</robot>")
    return "\n".join(parts)


def load_full(path):
    velmora.build_models_from_urdf(path)


def load_model(path):
    velmora.build_model_from_urdf(path)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    loaders = {"build_models_from_urdf": load_full, "build_model_from_urdf": load_model}
    with tempfile.TemporaryDirectory() as scratch:
        files = {}
        for shape in ("chain", "tree"):
            for links in SIZES:
                path = Path(scratch) / f"{shape}{links}.urdf"
                path.write_text(robot(links, shape))
                files[shape, links] = str(path)
                model = velmora.build_model_from_urdf(str(path))
                assert model.njoints == links and model.nframes == 1 + 2 * links - 1
        best, best_user = {}, {}
        for _ in range(rounds):
            for (shape, links), path in files.items():
                for name, load in loaders.items():
                    loads = max(1, LINKS_PER_ROUND // links)
                    before = resource.getrusage(resource.RUSAGE_SELF)
                    for _ in range(loads):
                        load(path)
                    after = resource.getrusage(resource.RUSAGE_SELF)
                    user = (after.ru_utime - before.ru_utime) / loads / links
                    total = user + (after.ru_stime - before.ru_stime) / loads / links
                    key = (name, shape, links)
                    best[key] = min(best.get(key, total), total)
                    best_user[key] = min(best_user.get(key, user), user)
    failed = False
    print(f"{'loader':24} {'shape':6} {'time':5} " + " ".join(f"{n:>9} links" for n in SIZES) + "   10,000 / 1,000")
    for name in loaders:
        for shape in ("chain", "tree"):
            for what, figures in (("cpu", best), ("user", best_user)):
                costs = [figures[name, shape, n] for n in SIZES]
                ratio = costs[2] / costs[1]
                if what == "cpu":
                    failed |= ratio > REQUIRED_RATIO
                print(f"{name:24} {shape:6} {what:5} " + " ".join(f"{c * 1e6:9.2f} us/l" for c in costs)
                      + f"   {ratio:6.2f}")
    print(f"per-link cost (cpu: user and system time) of 10,000 links required within {REQUIRED_RATIO} times "
          f"that of 1,000 links")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
