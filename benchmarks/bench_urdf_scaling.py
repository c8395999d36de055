"""Loading cost per link as robots grow: generated chains and binary trees of revolute
joints (one link with an inertia and a collision sphere per joint) of 100, 1,000 and
10,000 links, loaded by build_models_from_urdf and by build_model_from_urdf. Loading is
linear when a 10,000-link file costs at most 1.3 times per link what a 1,000-link file
does; exits with status 1 when it does not, for either loader and shape.

Every file is written and loaded once before timing (it is then in the page cache, and
the loader's code and the allocator are warm). All sizes then run in alternating rounds
within one process; each round loads every file about the same total number of links'
worth, and the figure per file is the median over the rounds. Each load is timed alone,
in CPU time of the calling thread (user and system: the system time is mostly the
kernel handing out fresh memory pages, counted as page faults), so that neither other
threads of the process (NumPy's BLAS workers) nor the destruction of the returned
models, which happens after the clock stops, count as loading. The destruction is
shown as a figure of its own.

With glibc, the allocator's thresholds are fixed first (in this process only): by
default glibc raises its trim and mmap thresholds to the largest block freed so far, so
whether the memory one load frees stays with the process or goes back to the kernel (to
be faulted in, page by page, at the next load) depends on what the process happened to
free before, not on the loader; a 1,000-link load would reuse its memory where a
10,000-link one might not, or not, depending on the order of the files. Fixed high
thresholds keep the memory of every size with the process alike; the page faults per
link are printed to show it. --glibc-defaults leaves the allocator as it is.

    PYTHONPATH=build/python python benchmarks/bench_urdf_scaling.py [rounds] [--glibc-defaults]
"""

import ctypes
import resource
import statistics
import sys
import tempfile
import time
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


# Page faults of the calling thread; the whole process's where the system cannot tell
# threads apart.
WHO = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)


def timed_loads(load, path, loads):
    """For `loads` loads of the file: the CPU time of the loads and of destroying what
    they returned, in seconds, and the page faults of the loads."""
    load_time = teardown = 0
    faults = 0
    for _ in range(loads):
        faults0 = resource.getrusage(WHO).ru_minflt
        start = time.thread_time_ns()
        models = load(path)
        loaded = time.thread_time_ns()
        del models
        teardown += time.thread_time_ns() - loaded
        load_time += loaded - start
        faults += resource.getrusage(WHO).ru_minflt - faults0
    return load_time * 1e-9, teardown * 1e-9, faults


def keep_freed_memory():
    """Fixes glibc's trim and mmap thresholds (see above); False when not on glibc."""
    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    m_trim_threshold, m_mmap_threshold = -1, -3
    return bool(mallopt(m_trim_threshold, 1 << 30) and mallopt(m_mmap_threshold, 32 << 20))


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    rounds = int(args[0]) if args else 9
    pinned = "--glibc-defaults" not in sys.argv and keep_freed_memory()
    loaders = {"build_models_from_urdf": velmora.build_models_from_urdf,
               "build_model_from_urdf": velmora.build_model_from_urdf}
    with tempfile.TemporaryDirectory() as scratch:
        files = {}
        for shape in ("chain", "tree"):
            for links in SIZES:
                path = Path(scratch) / f"{shape}{links}.urdf"
                path.write_text(robot(links, shape))
                files[shape, links] = str(path)
                for load in loaders.values():
                    models = load(str(path))
                    model = models[0] if isinstance(models, tuple) else models
                    assert model.njoints == links and model.nframes == 1 + 2 * links - 1
        figures = {}  # (loader, shape, links) -> [(load, teardown, page faults) per link, one per round]
        for _ in range(rounds):
            for (shape, links), path in files.items():
                for name, load in loaders.items():
                    loads = max(1, LINKS_PER_ROUND // links)
                    times = timed_loads(load, path, loads)
                    figures.setdefault((name, shape, links), []).append([t / loads / links for t in times])
    median = {key: [statistics.median(r[k] for r in rows) for k in range(3)] for key, rows in figures.items()}
    failed = False
    print(f"{'loader':24} {'shape':6} {'':9}" + "".join(f"{n:>13} links" for n in SIZES) + "   10,000 / 1,000")
    for name in loaders:
        for shape in ("chain", "tree"):
            for k, (what, unit, scale) in enumerate((("load", "us/l", 1e6), ("teardown", "us/l", 1e6),
                                                     ("faults", "/link", 1.0))):
                costs = [median[name, shape, n][k] for n in SIZES]
                ratio = f"{costs[2] / costs[1]:6.2f}" if costs[1] > 0 else "     -"
                if what == "load":
                    failed |= costs[2] > REQUIRED_RATIO * costs[1]
                print(f"{name:24} {shape:6} {what:9}" + "".join(f"{c * scale:13.2f} {unit:5}" for c in costs)
                      + f"   {ratio}")
    print("allocator thresholds fixed: freed memory stays with the process" if pinned else
          "allocator left as it is")
    print(f"medians of {rounds} rounds; load: CPU time of the loading thread (user and system) per link; "
          f"10,000 links required within {REQUIRED_RATIO} times the load cost per link of 1,000 links")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
