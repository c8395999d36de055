"""Time to load the largest robot of tests/robots (by file size, among those that ship
their meshes or load with placeholders) with build_models_from_urdf, as a ratio against
yourdfpy, a pure-Python URDF parser, loading the same file into its own model (no scene
graph, no mesh files read).

Both loaders run in alternating rounds within one process; each round times a few
loads of each, and the figures are the medians over the rounds. Exits with status 1
when velmora is less than ten times faster.

    PYTHONPATH=build/python python benchmarks/bench_urdf_load.py [rounds] [loads_per_round]
"""

import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import velmora

try:
    import yourdfpy
except ImportError:  # pragma: no cover - the peer is in requirements-dev.txt
    sys.exit("yourdfpy is not installed: pip install -r requirements-dev.txt")

ROBOTS = Path(__file__).resolve().parents[1] / "tests" / "robots"
REQUIRED_RATIO = 10.0


def prepare(folder, scratch):
    """The robot folder, copied with empty placeholder files where meshes are missing,
    and ROS_PACKAGE_PATH naming its package folders."""
    missing = folder / "MISSING_MESHES.txt"
    if missing.exists():
        copy = Path(scratch) / folder.name
        shutil.copytree(folder, copy)
        for line in missing.read_text().split():
            (copy / line).parent.mkdir(parents=True, exist_ok=True)
            (copy / line).write_bytes(b"")
        folder = copy
    os.environ["ROS_PACKAGE_PATH"] = ":".join(str(p) for p in folder.iterdir() if p.is_dir())
    return folder


def largest_robot():
    candidates = [p for p in ROBOTS.iterdir() if (p / "reference.npz").exists()]
    return max(candidates, key=lambda p: (p / "robot.urdf").stat().st_size)


def load_velmora(urdf, package_dir):
    velmora.build_models_from_urdf(urdf, package_dir)


def load_yourdfpy(urdf, package_dir):
    yourdfpy.URDF.load(urdf, build_scene_graph=False, load_meshes=False, load_collision_meshes=False,
                       mesh_dir=package_dir)


def per_load_seconds(fn, args, loads):
    start = time.perf_counter()
    for _ in range(loads):
        fn(*args)
    return (time.perf_counter() - start) / loads


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    loads = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    source = largest_robot()
    with tempfile.TemporaryDirectory() as scratch:
        folder = prepare(source, scratch)
        urdf, package_dir = str(folder / "robot.urdf"), str(folder)
        args = (urdf, package_dir)
        model, _, _ = velmora.build_models_from_urdf(*args)
        peer = yourdfpy.URDF.load(urdf, build_scene_graph=False, load_meshes=False, load_collision_meshes=False)
        assert len(peer.robot.joints) == model.nframes - 1 - len(peer.robot.links)
        for fn in (load_velmora, load_yourdfpy):  # warm up
            per_load_seconds(fn, args, 2)
        ours, theirs = [], []
        for _ in range(rounds):
            ours.append(per_load_seconds(load_velmora, args, loads))
            theirs.append(per_load_seconds(load_yourdfpy, args, loads))
    ours_ms, theirs_ms = statistics.median(ours) * 1e3, statistics.median(theirs) * 1e3
    ratio = theirs_ms / ours_ms
    size_kb = (source / "robot.urdf").stat().st_size / 1024
    print(f"robot: {source.name} ({size_kb:.0f} KiB, {model.njoints - 1} moving joints, {model.nframes} frames)")
    print(f"velmora build_models_from_urdf: {ours_ms:8.3f} ms per load (median of {rounds} rounds)")
    print(f"yourdfpy URDF.load:             {theirs_ms:8.3f} ms per load")
    print(f"ratio: velmora is {ratio:.1f} times faster (required: {REQUIRED_RATIO:.0f})")
    return 0 if ratio >= REQUIRED_RATIO else 1


if __name__ == "__main__":
    sys.exit(main())
