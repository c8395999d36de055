"""Inverse dynamics for many random states of a robot, computed on a Dask cluster and
written to a Parquet dataset: one row per state with its q, v, a and the torques tau.

The model is loaded once, pickled and sent to every worker; each task draws one chunk of
states and computes all of them with one call of velmora.rnea_batch, then writes its own
Parquet file (part-00000.parquet, ...) into the output directory.

    pip install 'velmora[cluster]'
    python examples/dask_dataset.py                                # 10^6 states, local cluster
    python examples/dask_dataset.py --scheduler tcp://host:8786    # an existing cluster
    python examples/dask_dataset.py --states 10000 --output /tmp/states.parquet

Columns: q0..q{nq-1}, v0.., a0.., tau0.. (float64). Configurations come from
velmora.random_configuration (within the joints' limits); velocities and accelerations
are uniform in [-2, 2], drawn from a generator seeded with (--seed, chunk index).
"""
import argparse
import sys
import time
from pathlib import Path

import numpy as np

import velmora

ROOT = Path(__file__).resolve().parent.parent


def compute_chunk(model, index, size, seed, output, threads):
    """States of chunk `index`: draw, compute in one batch call, write. Returns the row count."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.default_rng([seed, index])
    Q = np.array([velmora.random_configuration(model).to_numpy() for _ in range(size)]).reshape(size, model.nq)
    V = rng.uniform(-2.0, 2.0, (size, model.nv))
    A = rng.uniform(-2.0, 2.0, (size, model.nv))
    tau = velmora.rnea_batch(model, Q, V, A, threads=threads)
    columns = {}
    for prefix, block in (("q", Q), ("v", V), ("a", A), ("tau", tau)):
        for j in range(block.shape[1]):
            columns[f"{prefix}{j}"] = block[:, j]
    pq.write_table(pa.table(columns), str(Path(output) / f"part-{index:05d}.parquet"))
    return size


def run(args):
    from dask.distributed import Client, LocalCluster

    model, _, _ = velmora.build_models_from_urdf(args.urdf, args.package_dir or str(Path(args.urdf).parent))
    output = Path(args.output)
    output.mkdir(parents=True, exist_ok=True)
    for old in output.glob("part-*.parquet"):
        old.unlink()

    cluster = None
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        started = time.perf_counter()
        remote_model = client.scatter(model, broadcast=True)
        sizes = [min(args.chunk, args.states - start) for start in range(0, args.states, args.chunk)]
        futures = [client.submit(compute_chunk, remote_model, k, size, args.seed, str(output), args.threads,
                                 pure=False) for k, size in enumerate(sizes)]
        rows = sum(client.gather(futures))
        seconds = time.perf_counter() - started
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{rows} states of {model.name} ({model.nv} joints) in {len(sizes)} chunks: {seconds:.1f} s, "
          f"written to {output}")
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--urdf", default=str(ROOT / "tests" / "robots" / "kuka_iiwa" / "robot.urdf"))
    parser.add_argument("--package-dir", default="", help="directory for relative mesh paths (default: the URDF's)")
    parser.add_argument("--states", type=int, default=1_000_000)
    parser.add_argument("--chunk", type=int, default=50_000, help="states per task (one batch call each)")
    parser.add_argument("--scheduler", default="", help="address of a running scheduler; default: a local cluster")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--threads", type=int, default=1, help="threads of each batch call")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--output", default="inverse_dynamics.parquet", help="directory of the Parquet dataset")
    args = parser.parse_args(argv)
    if args.states < 1 or args.chunk < 1:
        parser.error("--states and --chunk must be positive")
    run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
