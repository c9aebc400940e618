"""marlune.dask on a LocalCluster of two worker processes on this machine."""
import os
import shutil
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed", reason="Debian's python3-distributed is not installed")
import marlune  # noqa: E402
import marlune.dask  # noqa: E402
from conftest import BROKEN, FIXED, PER_CHUNK, normalised, write  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Processes, as on a real cluster: each worker loads the package and the library itself
    # (MARLUNE_LIBRARY and the path to the package come from this process's environment).
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=40)
    with cluster, distributed.Client(cluster) as connected:
        connected.wait_for_workers(2, timeout=60)
        yield connected


def tree(root: Path) -> None:
    for folder in range(4):
        for i in range(3):
            write(root / f"f{folder}" / f"{i}.snd", FIXED if i != 1 else PER_CHUNK)
    write(root / "f2" / "cut.snd", BROKEN["payload-cut"][0])
    write(root / "f3" / "readme.txt", b"no audio")


def test_convert_tree_on_two_workers(tmp_path: Path, client) -> None:
    tree(tmp_path / "dask")
    tree(tmp_path / "local")
    with distributed.get_task_stream(client) as stream:
        reports = marlune.dask.convert_tree(tmp_path / "dask", client, batch_files=2)
    expected = list(marlune.convert_tree(tmp_path / "local", workers=1, batch_files=2))
    relative = [os.path.relpath(r.source, tmp_path / "dask") for r in reports]
    assert relative == [os.path.relpath(r.source, tmp_path / "local") for r in expected]
    assert [r.status for r in reports] == [r.status for r in expected]
    assert [r.reason for r in reports] == [r.reason for r in expected]
    assert sum(r.status is marlune.Status.OK for r in reports) == 12
    assert (tmp_path / "dask/f0/0.kv").read_bytes() == normalised(FIXED)
    assert not (tmp_path / "dask/f0/0.snd").exists() and (tmp_path / "dask/f2/cut.snd").exists()
    # Every task ran on a worker process, and both workers had some.
    workers = {task["worker"] for task in stream.data}
    assert len(workers) == 2 and len(stream.data) == 8  # f0, f1, f2, f3: two batches each


def test_copy_tree_on_two_workers(tmp_path: Path, client) -> None:
    tree(tmp_path / "in")
    reports = marlune.dask.copy_tree(tmp_path / "in", tmp_path / "out", client, durability="data")
    assert [r.status.name for r in reports].count("OK") == 12
    assert (tmp_path / "out/f1/1.snd").read_bytes() == PER_CHUNK
    assert (tmp_path / "in/f1/1.snd").exists()
    shutil.rmtree(tmp_path / "out")
