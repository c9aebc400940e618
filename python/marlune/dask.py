"""convert_tree, copy_tree and salvage_tree spread over the workers of a Dask cluster.

    from distributed import Client
    import marlune.dask
    client = Client("tcp://scheduler:8786")
    for report in marlune.dask.convert_tree("/archive", client):
        ...

The library plans the run where this is called (marlune_run_plan_next): the
same walk, order, groups and settled files as marlune.convert_tree and the
marlune command, as steps of bytes. Each step is one task, which the worker
that takes it runs with the same C code (marlune_run_step); a few steps per
worker thread are in flight at a time, and the reports come back in the run's
order, yielded as they come, none held once yielded; the iterator is a
marlune.TreeRun whose ``summary`` counts them once the run has ended. So every worker needs
the package and the C library (installed, or MARLUNE_LIBRARY set in its
environment), and the files must be at the same paths on every machine
(shared storage). dask and distributed are imported only when a function here
is called.
"""
from __future__ import annotations

import ctypes
from collections import deque
from typing import Any, Callable, Deque, Iterator, List, Optional, Tuple

from . import _library as lib
from ._api import _path_argument
from ._core import PathType, Report, Status
from ._records import RecordFiles, Records
from ._tree import (Progress, Run, TreeRun, _decoder, check_manifest, check_stopped, open_records,
                    refusal_at_start, report_of, run_options, summary_of)

__all__ = ["convert_tree", "copy_tree", "salvage_tree", "verify"]

# Steps in flight per worker thread: enough that none waits for the next, few enough to stay small.
STEPS_PER_THREAD = 4

# One file's result as a task sends it back: status, path, destination, other, the report's bytes,
# outcome, reason, the copy's SHA-256 (for the manifest written here).
Row = Tuple[int, bytes, Optional[bytes], Optional[bytes], bytes, int, bytes, Optional[bytes]]


def run_step(step: bytes) -> List[Row]:
    """Runs one step here (on a worker): the C library's marlune_run_step."""
    count = lib.step_files(step, len(step))
    results = (lib.RunResult * count)()
    reports = (lib.Report * count)()
    for i in range(count):
        results[i].size = ctypes.sizeof(lib.RunResult)
        reports[i].size = ctypes.sizeof(lib.Report)
        results[i].report = ctypes.pointer(reports[i])
    texts = ctypes.c_void_p()
    if lib.run_step(step, len(step), results, count, ctypes.byref(texts)) == Status.RUN_BAD_STATE:
        raise ValueError("marlune: the bytes are no step this library may run")
    try:
        return [(r.status, r.path, r.destination, r.other, bytes(reports[i]), r.outcome, r.reason or b"", r.sha256)
                for i, r in enumerate(results)]
    finally:
        lib.step_texts_free(texts)


def _steps(run: Run, options: lib.RunOptions) -> Iterator[Optional[bytes]]:
    """The run's steps as the library plans them, on this thread; None where the
    steps after it wait until every step before it has come back (a mirror's deletions).
    A run the library refuses raises at the first, before any work."""
    buffer = ctypes.create_string_buffer(1 << 16)
    length = ctypes.c_uint32()
    first = True
    while True:
        got = lib.run_plan_next(run.handle, buffer, len(buffer), ctypes.byref(length))
        if first and got not in (lib.RUN_DELIVERED, lib.RUN_TOO_SMALL, lib.RUN_WAITING, lib.RUN_ENDED):
            raise refusal_at_start(run, options, got)
        first = False
        if got == lib.RUN_TOO_SMALL:
            buffer = ctypes.create_string_buffer(length.value)
            continue
        if got == lib.RUN_WAITING:
            yield None
            continue
        if got != lib.RUN_DELIVERED:
            return
        yield buffer.raw[:length.value]


def _threads(client: Any) -> int:
    return max(1, sum(client.nthreads().values()))


def run(client: Any, options: lib.RunOptions, paths: List[Tuple[Any, Optional[str]]], given: Any,
        task: Callable[[bytes], List[Row]] = run_step, window: Optional[int] = None) -> TreeRun:
    """The reports of a run whose steps run as tasks on `client`'s workers, in the run's order."""
    return TreeRun(lambda owner: _reports(client, options, paths, given, task, window, owner))


def _reports(client: Any, options: lib.RunOptions, paths: List[Tuple[Any, Optional[str]]], given: Any,
             task: Callable[[bytes], List[Row]], window: Optional[int], owner: TreeRun,
             workers: Optional[int] = None, progress: Progress = None,
             records: Optional[RecordFiles] = None) -> Iterator[Report]:
    import distributed  # noqa: F401 -- a clear ImportError when it is missing, before any work
    del distributed

    threads = workers if workers is not None else _threads(client)
    options.workers = threads  # the plan spreads its groups over them
    most = window if window is not None else STEPS_PER_THREAD * threads
    decode = _decoder(given)
    kept = [] if records is None else [name for name in (records.log, records.failed_list, records.suspect_list,
                                                         records.csv, records.html) if name is not None]
    planned = Run(options, paths, kept)
    recorded: Optional[Records] = None
    pending: Deque[Any] = deque()
    read = 0
    ended = False
    steps = _steps(planned, options)
    waiting = False  # for every step out to come back before the next

    def submit() -> None:
        nonlocal waiting
        while not waiting and len(pending) < most:
            step = next(steps, b"")
            if step is None:
                waiting = True
            elif not step:
                return
            else:
                # pure=False: two steps with equal bytes are still two pieces of work.
                pending.append(client.submit(task, step, pure=False))

    try:
        if records is not None:
            recorded = open_records(records, options, paths)
        submit()  # a run the library refuses raises here, before any step is sent
        while pending or waiting:
            if not pending:  # every step before the wait has come back
                waiting = False
                submit()
                continue
            rows = pending.popleft().result()
            submit()
            for status, path, destination, other, raw, outcome, reason, sha256 in rows:
                result = lib.RunResult(status=status, path=path, destination=destination, other=other,
                                       outcome=outcome, reason=reason, sha256=sha256)
                copied = lib.Report.from_buffer_copy(raw)
                result.report = ctypes.pointer(copied)
                # Counted by the run as its own, and an error in the source holds back the deletions.
                lib.run_note_result(planned.handle, ctypes.byref(result))
                report = report_of(result, copied, decode)
                if recorded is not None:
                    recorded.add(result)
                read += report.source_bytes
                yield report
            if progress is not None and progress(read, int(planned.counts().bytes_planned)):
                return  # as a close: the steps not started are dropped
        ended = True
        # Every step has run: a mirror's folders get their times and modes, as a local run's do.
        lib.run_finish_folders(planned.handle)  # and its manifest is put in place
        tally = planned.counts()
        check_stopped(summary_of(tally, False), bool(tally.plan_complete))
        check_manifest(planned, options)
    finally:
        # Tasks under way finish their steps on their workers; those not started are dropped.
        if pending:
            client.cancel(list(pending))
        tally = None
        if planned.open:
            if not ended:
                planned.cancel()  # what was not handed back counts as not started
            tally = planned.counts()
            owner.summary = summary_of(tally, not ended)
        planned.close()
        if recorded is not None:
            recorded.close(tally)


def _count(workers: Optional[int]) -> Optional[int]:
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError("marlune: workers is a whole number, at least 1")
    return workers


def convert_tree(root: PathType, client: Any, *, workers: Optional[int] = None, progress: Progress = None,
                 replace: bool = False, follow_links: bool = False, dry_run: bool = False,
                 batch_files: Optional[int] = None, batch_bytes: Optional[int] = None,
                 records: Optional[RecordFiles] = None) -> TreeRun:
    """:func:`marlune.convert_tree` over ``client``'s workers (a
    ``distributed.Client``), with its keywords: an iterator of every file's
    :class:`marlune.Report`, in the run's order, as the steps come back,
    with the run's :class:`marlune.RunSummary` in ``summary`` once it has
    ended (the files a close left behind count as not started). Failures are
    reports, as there; an exception of a task (a worker without the library)
    is raised. Closing the iterator cancels the steps not started; those
    under way finish on their workers. ``workers`` is how many steps run side
    by side (default: the cluster's threads); ``progress(done_bytes,
    total_bytes)`` is called as each step comes back, a true answer closing
    the run; ``records`` are written here, from what comes back."""
    _count(workers)

    def reports(owner: TreeRun) -> Iterator[Report]:
        start = _path_argument(root, "root")
        options = run_options(lib.JOB_CONVERT, follow_links=follow_links, dry_run=dry_run, replace=replace,
                              batch_files=batch_files, batch_bytes=batch_bytes)
        yield from _reports(client, options, [(start, None)], start, run_step, None, owner, workers, progress,
                            records)
    return TreeRun(reports)


def _copies(job: int, source_dir: PathType, destination_dir: PathType, client: Any, workers: Optional[int],
            progress: Progress, records: Optional[RecordFiles], **settings: Any) -> TreeRun:
    _count(workers)

    def reports(owner: TreeRun) -> Iterator[Report]:
        source = _path_argument(source_dir, "source")
        options = run_options(job, destination=_path_argument(destination_dir, "destination"), **settings)
        yield from _reports(client, options, [(source, "")], source, run_step, None, owner, workers, progress,
                            records)
    return TreeRun(reports)


def copy_tree(source_dir: PathType, destination_dir: PathType, client: Any, *, workers: Optional[int] = None,
              progress: Progress = None, durability: str = "none", follow_links: bool = False,
              kv_names: bool = False, batch_files: Optional[int] = None, batch_bytes: Optional[int] = None,
              mirror: bool = False, checksum: bool = False, delete: bool = False,
              manifest: Optional[PathType] = None, dry_run: bool = False, records: Optional[RecordFiles] = None,
              max_delete: Optional[int] = None, delete_from_empty: bool = False) -> TreeRun:
    """:func:`marlune.copy_tree` over ``client``'s workers, with its keywords; as
    :func:`convert_tree`. ``workers`` is how many steps run side by side (default: the
    cluster's threads); ``progress(done_bytes, total_bytes)`` is called as each step comes
    back, a true answer closing the run; ``records`` are written here, from what comes
    back, and so is the ``manifest``, from the digests the steps send back with their results.
    Its deletions start once every copy has come back, and are held back as there; its
    folders (empty ones too) get their sources' times and modes here, once every step has
    come back, as a local mirror's do at its end."""
    return _copies(lib.JOB_COPY, source_dir, destination_dir, client, workers, progress, records,
                   durability=durability, follow_links=follow_links, kv_names=kv_names, batch_files=batch_files,
                   batch_bytes=batch_bytes, mirror=mirror, checksum=checksum, delete=delete, manifest=manifest,
                   dry_run=dry_run, max_delete=max_delete, delete_from_empty=delete_from_empty)


def verify(source_dir: PathType, destination_dir: PathType, client: Any) -> TreeRun:
    """:func:`marlune.verify` of a destination against its source, over ``client``'s workers."""
    source = _path_argument(source_dir, "source")
    options = run_options(lib.JOB_VERIFY, destination=_path_argument(destination_dir, "destination"))
    return run(client, options, [(source, "")], source)


def salvage_tree(source_dir: PathType, destination_dir: PathType, client: Any, *, workers: Optional[int] = None,
                 progress: Progress = None, durability: str = "none", follow_links: bool = False,
                 kv_names: bool = False, batch_files: Optional[int] = None, batch_bytes: Optional[int] = None,
                 records: Optional[RecordFiles] = None) -> TreeRun:
    """:func:`marlune.salvage_tree` over ``client``'s workers, with its keywords; as :func:`copy_tree`."""
    return _copies(lib.JOB_SALVAGE, source_dir, destination_dir, client, workers, progress, records,
                   durability=durability, follow_links=follow_links, kv_names=kv_names, batch_files=batch_files,
                   batch_bytes=batch_bytes)
