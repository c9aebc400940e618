"""convert_tree and copy_tree spread over the workers of a Dask cluster.

    from distributed import Client
    import marlune.dask
    client = Client("tcp://scheduler:8786")
    reports = marlune.dask.convert_tree("/archive", client)

The tree is walked where this is called, and each batch (consecutive files of
one folder, so that the folder's files are still synced together) becomes one
task, which the worker that takes it runs with this package. So every worker
needs the package and the C library (installed, or MARLUNE_LIBRARY set in its
environment), and the files must be at the same paths on every machine
(shared storage). dask and distributed are imported only when a function here
is called.
"""
from __future__ import annotations

from typing import Any, List

from ._core import PathType, Report
from ._tree import BATCH_BYTES, BATCH_FILES, Batch, plan, run_batch

__all__ = ["convert_tree", "copy_tree"]


def _run_convert(batch: Batch, replace: bool) -> List[Report]:
    # Runs on a worker.
    return run_batch(batch, replace)


def _run_copy(batch: Batch, replace: bool, durability: str) -> List[Report]:
    # Runs on a worker.
    from ._tree import _make_folders
    failed = _make_folders(batch)
    return failed if failed is not None else run_batch(batch, replace, durability)


def _gather(client: Any, steps: List[Any], function: Any, *arguments: Any) -> List[Report]:
    import distributed  # noqa: F401 -- a clear ImportError when it is missing, before any work
    del distributed

    batches = [step for step in steps if isinstance(step, Batch)]
    # pure=False: two batches with equal content are still two pieces of work.
    futures = client.map(function, batches, *[[a] * len(batches) for a in arguments], pure=False)
    results = iter(client.gather(futures))
    reports: List[Report] = []
    for step in steps:
        if isinstance(step, Batch):
            reports.extend(next(results))
        else:
            reports.append(step)
    return reports


def convert_tree(root: PathType, client: Any, *, replace: bool = True, batch_files: int = BATCH_FILES,
                 batch_bytes: int = BATCH_BYTES) -> List[Report]:
    """:func:`marlune.convert_tree` over ``client``'s workers (a
    ``distributed.Client``): the list of every file's :class:`marlune.Report`,
    in the walk's order, once all are done. Failures are reports, as there;
    an exception of a task (a worker without the library) is raised."""
    steps = plan("convert", root, batch_files=batch_files, batch_bytes=batch_bytes)
    return _gather(client, steps, _run_convert, replace)


def copy_tree(source_dir: PathType, destination_dir: PathType, client: Any, *, replace: bool = True,
              durability: str = "none", batch_files: int = BATCH_FILES,
              batch_bytes: int = BATCH_BYTES) -> List[Report]:
    """:func:`marlune.copy_tree` over ``client``'s workers; as :func:`convert_tree`."""
    steps = plan("copy", source_dir, destination_dir, batch_files=batch_files, batch_bytes=batch_bytes)
    return _gather(client, steps, _run_copy, replace, durability)


