"""The cluster example: examples/dask_dataset.py on a local cluster of two worker processes
writes one row per state, and every row's torques are those of a single rnea call (up to
rounding)."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import velmora as vm

pytest.importorskip("dask.distributed")
# The workers would load the sanitizer build of the module too: slow, and the batch code
# they run is covered by test_batch.py there.
pytestmark = pytest.mark.skipif(os.environ.get("VELMORA_UNDER_ASAN") == "1", reason="cluster workers under ASan")
pq = pytest.importorskip("pyarrow.parquet")

ROOT = Path(__file__).resolve().parents[2]
ROBOT = ROOT / "tests" / "robots" / "nao"  # continuous joints: nq > nv


def test_dataset_rows_match_single_calls(tmp_path):
    out = tmp_path / "states.parquet"
    # The example and its workers import this very build of velmora, wherever it was found.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "dask_dataset.py"), "--urdf", str(ROBOT / "robot.urdf"),
         "--states", "10000", "--chunk", "3000", "--workers", "2", "--output", str(out)],
        env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    parts = sorted(out.glob("part-*.parquet"))
    assert [p.name for p in parts] == [f"part-{k:05d}.parquet" for k in range(4)]  # 3000, 3000, 3000, 1000
    table = pq.read_table(out).to_pydict()
    model, _, _ = vm.build_models_from_urdf(str(ROBOT / "robot.urdf"), str(ROBOT))
    Q, V, A, tau = (np.column_stack([table[f"{p}{j}"] for j in range(n)])
                    for p, n in (("q", model.nq), ("v", model.nv), ("a", model.nv), ("tau", model.nv)))
    assert len(Q) == 10000
    assert len({row.tobytes() for row in Q}) == 10000  # every chunk drew states of its own
    data = model.create_data()
    # Equal up to rounding: the batch may run four states side by side in vector lanes.
    for k in range(len(Q)):
        single = vm.rnea(model, data, Q[k], V[k], A[k]).to_numpy()
        assert np.abs(single - tau[k]).max() <= 1e-13 * np.abs(single).max(), k
