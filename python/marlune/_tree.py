"""convert_tree and copy_tree: every file under a folder, in batches that put
many files on stable storage together (marlune_convert_batch, marlune_copy_batch).

The walk is the command's (``marlune convert -r``): each folder's entries in
name order, a subfolder walked where its name falls, symbolic links not
followed, files ending ".marlune-partial" left alone. Consecutive files of one
folder form a batch of at most `batch_files` files and about `batch_bytes`
bytes, so a batch has one folder to sync.
"""
from __future__ import annotations

import ctypes
import dataclasses
import os
import stat
import threading
from collections import deque
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Deque, Iterator, List, Optional, Sequence, Tuple, Union

from . import _library as lib
from ._api import _DURABILITY, _path_argument, encode, kv_name
from ._core import PathType, Report, Status, failed_report, make_report

PARTIAL_SUFFIX = ".marlune-partial"
BATCH_FILES = 256
BATCH_BYTES = 256 * 1024 * 1024

Name = Union[str, bytes]


@dataclass
class Batch:
    """Files of one folder, run by one call of the library."""

    kind: str  # "convert" or "copy"
    sources: List[Name] = field(default_factory=list)
    destinations: List[Optional[Name]] = field(default_factory=list)
    sizes: List[int] = field(default_factory=list)


# A plan is the run in file order: batches, and reports already known (a folder that cannot be read).
Step = Union[Batch, Report]


def _ends_with(name: Name, suffix: str) -> bool:
    return name.endswith(suffix.encode() if isinstance(name, bytes) else suffix)  # type: ignore[arg-type]


def _walk(root: Name, on_file: Callable[[Name, Name, int], None], on_unreadable: Callable[[Name, OSError], None],
          skip: Optional[Tuple[int, int]] = None) -> None:
    """Calls on_file(path, path relative to root, size) for each regular file in the order of the command."""
    try:
        info = os.stat(root)
    except OSError as error:
        on_unreadable(root, error)
        return
    if not stat.S_ISDIR(info.st_mode):
        on_file(root, os.path.basename(root), info.st_size)
        return

    def walk(folder: Name, relative: Optional[Name]) -> None:
        try:
            with os.scandir(folder) as listing:
                entries = list(listing)
        except OSError as error:
            on_unreadable(folder, error)
            return
        # The command sorts by the names' bytes.
        entries.sort(key=lambda entry: os.fsencode(entry.name))
        for entry in entries:
            inner = entry.name if relative is None else os.path.join(relative, entry.name)
            try:
                if entry.is_dir(follow_symlinks=False):
                    if skip is not None:
                        entry_info = entry.stat(follow_symlinks=False)
                        if (entry_info.st_dev, entry_info.st_ino) == skip:
                            continue
                    walk(entry.path, inner)
                elif entry.is_file(follow_symlinks=False):
                    on_file(entry.path, inner, entry.stat(follow_symlinks=False).st_size)
            except OSError:
                continue  # gone meanwhile
            # Links, devices, pipes and sockets in a folder are nobody's recordings.

    walk(root, None)


def _unreadable(folder: Name, error: OSError) -> Report:
    status = Status.SOURCE_MISSING if isinstance(error, FileNotFoundError) else Status.SOURCE_UNREADABLE
    report = failed_report(status, error.errno or 0, source=folder)
    reason = f"cannot read the folder: {error.strerror or error}"
    return dataclasses.replace(report, reason=reason)


def plan(kind: str, root: PathType, destination_root: Optional[PathType] = None, batch_files: int = BATCH_FILES,
         batch_bytes: int = BATCH_BYTES) -> List[Step]:
    """The run over `root`, in file order: batches of consecutive files of one folder."""
    if batch_files < 1:
        raise ValueError("marlune: batch_files is at least 1")
    source_root = _path_argument(root, "source")
    target_root = None if destination_root is None else _path_argument(destination_root, "destination")
    skip = None
    if target_root is not None:
        try:
            info = os.stat(target_root)
            skip = (info.st_dev, info.st_ino)  # a destination inside the source is not copied into itself
        except OSError:
            pass
    steps: List[Step] = []
    current: Optional[Batch] = None
    current_folder: Optional[Name] = None
    current_bytes = 0

    def on_file(path: Name, relative: Name, size: int) -> None:
        nonlocal current, current_folder, current_bytes
        if _ends_with(path, PARTIAL_SUFFIX):
            return
        folder = os.path.dirname(path)
        if (current is None or folder != current_folder or len(current.sources) >= batch_files
                or (current.sources and current_bytes + size > batch_bytes)):
            current = Batch(kind)
            current_folder = folder
            current_bytes = 0
            steps.append(current)
        current.sources.append(path)
        current.sizes.append(size)
        current_bytes += size
        if target_root is None:
            current.destinations.append(None)
        elif os.path.isdir(source_root):
            current.destinations.append(os.path.join(target_root, relative))  # type: ignore[arg-type]
        else:
            current.destinations.append(target_root)

    def on_unreadable(folder: Name, error: OSError) -> None:
        nonlocal current
        current = None
        steps.append(_unreadable(folder, error))

    _walk(source_root, on_file, on_unreadable, skip)
    return steps


class _Progress:
    """The progress of a whole run: bytes done of all, from the library's per-file
    callbacks on every worker thread, passed to the caller one call at a time."""

    def __init__(self, function: Optional[Callable[[int, int], Any]], total: int) -> None:
        self.function = function
        self.total = total
        self.done = 0
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.error: Optional[BaseException] = None

    def add(self, count: int) -> bool:
        """Counts `count` more bytes; answers whether to stop."""
        if self.stop.is_set():
            return True
        if self.function is None or count == 0:
            return False
        with self.lock:
            self.done += count
            try:
                if self.function(self.done, self.total):
                    self.stop.set()
            except BaseException as error:  # noqa: B902 -- raised by the iterator, not into C
                self.error = error
                self.stop.set()
        return self.stop.is_set()


def run_batch(batch: Batch, replace: bool = True, durability: str = "none",
              progress: Optional[_Progress] = None) -> List[Report]:
    """One call of marlune_convert_batch or marlune_copy_batch; the reports in the batch's order."""
    count = len(batch.sources)
    files = (lib.BatchFile * count)()
    reports = (lib.Report * count)()
    keep = []
    for i in range(count):
        reports[i].size = ctypes.sizeof(lib.Report)
        source = encode(batch.sources[i])
        destination = batch.destinations[i]
        target = None if destination is None else encode(destination)
        keep.append((source, target))
        files[i].size = ctypes.sizeof(lib.BatchFile)
        files[i].source = source
        files[i].destination = target
        files[i].report = ctypes.pointer(reports[i])
    options = lib.Options(replace=1 if replace else 0, durability=_DURABILITY[durability])
    counted = [0, 0]  # bytes told so far; done of the file being copied

    if progress is not None:
        def on_progress(done: int, _total: int, _context: Any) -> int:
            # Each file's count starts again from 0.
            step = done - counted[1] if done >= counted[1] else done
            counted[1] = done
            counted[0] += step
            return 1 if progress.add(step) else 0

        callback = lib.Progress(on_progress)
        options.progress = callback
        if progress.stop.is_set():
            return [_cancelled(batch, i) for i in range(count)]
    function = lib.convert_batch if batch.kind == "convert" else lib.copy_batch
    function(files, count, ctypes.byref(options))
    if progress is not None:
        progress.add(max(0, sum(r.source_bytes for r in reports) - counted[0]))
    converting = batch.kind == "convert"
    results = []
    for i in range(count):
        destination = batch.destinations[i]
        if converting and reports[i].status != Status.ALREADY_CONVERTED:
            destination = kv_name(batch.sources[i])
        results.append(make_report(reports[i], source=batch.sources[i], destination=destination,
                                   kind=batch.kind))
    return results


def _cancelled(batch: Batch, index: int) -> Report:
    return failed_report(Status.CANCELLED, source=batch.sources[index], destination=batch.destinations[index])


def _make_folders(batch: Batch) -> Optional[List[Report]]:
    """The destination's folders of a copy batch; reports of failure when one cannot be made."""
    folders = {os.path.dirname(d) for d in batch.destinations if d is not None}
    for folder in folders:
        if not folder:
            continue
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as error:
            return [failed_report(Status.DESTINATION_UNCREATABLE, error.errno or 0, source=s, destination=d)
                    for s, d in zip(batch.sources, batch.destinations)]
    return None


def run_steps(steps: Sequence[Step], *, workers: Optional[int] = None,
              progress: Optional[Callable[[int, int], Any]] = None, replace: bool = True,
              durability: str = "none") -> Iterator[Report]:
    """The reports of a plan, in file order, its batches run on `workers` threads."""
    if durability not in _DURABILITY:
        raise ValueError(f"marlune: durability is one of {', '.join(map(repr, _DURABILITY))}, not {durability!r}")
    count = workers if workers is not None else min(32, os.cpu_count() or 1)
    if count < 1:
        raise ValueError("marlune: workers is at least 1")
    total = sum(sum(s.sizes) for s in steps if isinstance(s, Batch))
    tracker = _Progress(progress, total)

    def run(batch: Batch) -> List[Report]:
        if batch.kind == "copy":
            failed = _make_folders(batch)
            if failed is not None:
                return failed
        return run_batch(batch, replace, durability, tracker)

    def reports_of(result: Union[Report, List[Report]]) -> Iterator[Report]:
        if isinstance(result, Report):
            yield result
        else:
            yield from result
        if tracker.error is not None:
            error, tracker.error = tracker.error, None
            raise error

    if count == 1:
        for step in steps:
            yield from reports_of(step if isinstance(step, Report) else run(step))
        return
    # A window of batches ahead of the one whose reports are due keeps every thread busy
    # while the reports still come in file order.
    with ThreadPoolExecutor(max_workers=count, thread_name_prefix="marlune") as pool:
        pending: Deque[Union[Report, "Future[List[Report]]"]] = deque()
        upcoming = iter(steps)
        try:
            for step in upcoming:
                pending.append(step if isinstance(step, Report) else pool.submit(run, step))
                if len(pending) >= 2 * count:
                    break
            while pending:
                head = pending.popleft()
                for step in upcoming:
                    pending.append(step if isinstance(step, Report) else pool.submit(run, step))
                    break
                yield from reports_of(head if isinstance(head, Report) else head.result())
        finally:
            # An iterator closed early (or an error) stops what has not started.
            tracker.stop.set()
            for item in pending:
                if not isinstance(item, Report):
                    item.cancel()


def convert_tree(root: PathType, *, workers: Optional[int] = None,
                 progress: Optional[Callable[[int, int], Any]] = None, replace: bool = True,
                 batch_files: int = BATCH_FILES, batch_bytes: int = BATCH_BYTES) -> Iterator[Report]:
    """Convert every file under ``root`` (or ``root`` itself, a file) to ".kv",
    as ``marlune convert -r`` does, yielding one :class:`Report` per file in
    the walk's order.

    Files whose names end in ".kv" are reported as ``Status.ALREADY_CONVERTED``;
    files that are no container as ``Status.NOT_A_CONTAINER`` (their reason
    "not a container"), and every other failure as its report too: nothing is
    raised for a file (check ``report.ok``). Files ending ".marlune-partial" are
    left alone (see :func:`remove_partial`). The files of one folder are
    converted in batches (``batch_files`` files, about ``batch_bytes`` bytes)
    whose data, names and sources are synced together, and ``workers`` threads
    (default: the number of processors, at most 32) run batches side by side;
    the library releases the GIL while it works.

    ``progress(done_bytes, total_bytes)`` is called for the whole run, from
    the worker threads but one call at a time; a true answer cancels: files
    in progress and not started are reported as ``Status.CANCELLED``. An
    exception it raises is raised by the iterator, after the batches under
    way have stopped. Walking starts when iteration starts.
    """
    steps = plan("convert", root, batch_files=batch_files, batch_bytes=batch_bytes)
    yield from run_steps(steps, workers=workers, progress=progress, replace=replace, durability="none")


def copy_tree(source_dir: PathType, destination_dir: PathType, *, workers: Optional[int] = None,
              progress: Optional[Callable[[int, int], Any]] = None, replace: bool = True,
              durability: str = "none", batch_files: int = BATCH_FILES,
              batch_bytes: int = BATCH_BYTES) -> Iterator[Report]:
    """Copy every file under ``source_dir`` to the same relative path under
    ``destination_dir`` (folders made as needed), each as :func:`copy` does it,
    yielding one :class:`Report` per file in the walk's order; failures
    (``Status.NOT_A_CONTAINER`` for files that are no container) are reported,
    not raised. ``durability`` ("none", "data", "data-and-name") is applied per
    batch: one flush for all of a batch's files. ``workers``, ``progress``,
    ``batch_files`` and ``batch_bytes`` are as for :func:`convert_tree`.
    """
    steps = plan("copy", source_dir, destination_dir, batch_files=batch_files, batch_bytes=batch_bytes)
    yield from run_steps(steps, workers=workers, progress=progress, replace=replace, durability=durability)
