"""examine_tree, convert_tree, copy_tree, salvage_tree and verify: whole trees, run by
the library's run engine (marlune_run_*), as the marlune command runs them.

The library walks, orders, groups, settles collisions, runs the work on its
own threads and counts what became of each file; this module opens a run,
pulls its results on the calling thread and makes each a Report. Nothing is
kept per file.
"""
from __future__ import annotations

import ctypes
import os
import sys
import warnings
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import _library as lib
from ._api import _DURABILITY, _path_argument, encode
from ._core import (Cancelled, DestinationError, PathType, Report, Status, _with_system_error, error_class,
                    library_reason, make_report, root_error)
from ._records import RecordFiles, Records

Name = Union[str, bytes]
Progress = Optional[Callable[[int, int], Any]]

# How long one pull waits: a Ctrl-C on the calling thread is seen within it.
_TICK_MS = 100


def _decoder(given: Name) -> Callable[[bytes], Name]:
    """Paths back as the caller gave them: bytes for bytes, else str (undecodable bytes as os.fsdecode has them)."""
    if isinstance(given, bytes):
        return lambda raw: raw  # the library's bytes: the file system's on POSIX, UTF-8 (as os.fsencode) on Windows
    if sys.platform == "win32":
        return lambda raw: raw.decode("utf-8", "surrogateescape")
    return os.fsdecode


def _count(value: Optional[int], what: str) -> int:
    if value is None:
        return 0  # the library's default
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"marlune: {what} is a whole number, at least 1")
    return value


def run_options(job: int, *, destination: Optional[Name] = None, recursive: bool = True, follow_links: bool = False,
                kv_names: bool = False, dry_run: bool = False, replace: bool = False, durability: str = "none",
                workers: Optional[int] = None, batch_files: Optional[int] = None,
                batch_bytes: Optional[int] = None, mirror: bool = False, checksum: bool = False,
                delete: bool = False, manifest: Optional[PathType] = None, max_delete: Optional[int] = None,
                delete_from_empty: bool = False) -> lib.RunOptions:
    if durability not in _DURABILITY:
        raise ValueError(f"marlune: durability is one of {', '.join(map(repr, _DURABILITY))}, not {durability!r}")
    flags = ((lib.RUN_RECURSIVE if recursive else 0) | (lib.RUN_FOLLOW_LINKS if follow_links else 0)
             | (lib.RUN_KV_NAMES if kv_names else 0) | (lib.RUN_JUDGE_ONLY if dry_run else 0)
             | (lib.RUN_REPLACE if replace else 0) | (lib.RUN_MIRROR if mirror else 0)
             | (lib.RUN_CHECKSUM if checksum else 0) | (lib.RUN_DELETE if delete else 0)
             | (lib.RUN_DELETE_FROM_EMPTY if delete_from_empty else 0))
    return lib.RunOptions(job=job, flags=flags, durability=_DURABILITY[durability],
                          destination=None if destination is None else encode(destination),
                          workers=_count(workers, "workers"), group_files=_count(batch_files, "batch_files"),
                          group_bytes=_count(batch_bytes, "batch_bytes"),
                          manifest=None if manifest is None else encode(_path_argument(manifest, "manifest")),
                          max_delete=_count(max_delete, "max_delete"))


def _refused(status: int, reason: Optional[str] = None, **where: Optional[Name]) -> BaseException:
    """The error for a run the library refused to open or to add a path to."""
    r = lib.Report()
    r.status = status
    told = reason or library_reason(status, r)
    return error_class(status)(make_report(r, reason=told, **where))  # type: ignore[arg-type]


def _refusal(options: lib.RunOptions) -> str:
    """The library's sentence for options it refuses."""
    text = ctypes.create_string_buffer(256)
    lib.run_check(ctypes.byref(options), text, len(text))
    return text.value.decode("utf-8", "replace")


def _check_roots(options: lib.RunOptions, paths: Sequence[Tuple[Name, Optional[str]]]) -> None:
    """A tree's run whose folders cannot be used raises before any work, as the library judges them."""
    error = ctypes.c_int32()
    for path, place in paths:
        status = lib.run_check_root(ctypes.byref(options), encode(path), None if place is None else place.encode(),
                                    ctypes.byref(error))
        if status != Status.OK:  # verify's against a manifest starts from the destination itself
            raise root_error(status, error.value, path, destination=encode(path) == options.destination)
    status = lib.run_check_root(ctypes.byref(options), None, None, ctypes.byref(error))
    if status != Status.OK and options.destination is not None:
        raise root_error(status, error.value, os.fsdecode(options.destination), destination=True)


class Run:
    """One run of the library: opened with its paths added, closed (cancelled
    and waited for) by close(), when it is collected, or at the interpreter's exit."""

    def __init__(self, options: lib.RunOptions, paths: Sequence[Tuple[Name, Optional[str]]],
                 kept: Sequence[Name] = ()) -> None:
        handle = ctypes.c_void_p()
        status = lib.run_open(ctypes.byref(options), ctypes.byref(handle))
        if status != Status.OK:
            raise _refused(status, _refusal(options))
        self.handle = handle.value
        # Threads of the library still working at exit would be stopped in the middle of a group.
        self._close = weakref.finalize(self, lib.run_close, self.handle)
        destination = options.destination
        try:
            _check_roots(options, paths)
        except BaseException:
            self.close()
            raise
        for name in kept:  # the run's own records: no mirror deletes them
            lib.run_keep(self.handle, encode(name))
        for path, place in paths:
            status = lib.run_add(self.handle, encode(path), None if place is None else place.encode())
            if status != Status.OK:
                self.close()
                raise _refused(status, source=path, destination=None if destination is None else
                               os.fsdecode(destination))

    @property
    def open(self) -> bool:
        return self._close.alive

    def cancel(self) -> None:
        lib.run_cancel(self.handle)

    def close(self) -> None:
        self._close()

    def counts(self) -> lib.RunTally:
        tally = lib.RunTally()
        lib.run_counts(self.handle, ctypes.byref(tally))
        return tally


def outcome_name(outcome: int) -> str:
    """The library's name of an outcome ("would-convert")."""
    name = lib.outcome_name(outcome)
    return name.decode() if name is not None else str(outcome)


def report_of(result: lib.RunResult, report: lib.Report, decode: Callable[[bytes], Name]) -> Report:
    """The package's Report of one of the library's run results, with its outcome and sentence."""
    status = result.status
    report.status = status  # a status the plan settled comes with an empty report
    destination = decode(result.destination) if result.destination is not None else None
    other = decode(result.other) if result.other is not None else None
    reason = (result.reason or b"").decode("utf-8", "replace")
    sha256 = result.sha256.decode("ascii") if result.sha256 else None
    return make_report(report, source=decode(result.path), destination=destination, other=other,
                       reason=reason, outcome=outcome_name(result.outcome), sha256=sha256)


@dataclass(frozen=True)
class RunSummary:
    """What a tree's run did, as the command's summary counts it.

    ``counts`` has the files by outcome name ("converted", "failed",
    "cancelled", "suspect" ...), only the outcomes met: every file the run
    finished, also those that groups under way finished after an early close
    (which are not yielded); ``files`` their number; ``not_started`` the
    files planned that a cancel left untouched; ``bytes_read`` and
    ``bytes_written`` the bytes truly read and written, of every file (failed
    ones too; nothing written by examinations and dry runs); ``interrupted``
    whether the run was cancelled (closed early, by ``progress``, or by
    Ctrl-C); ``links_not_followed`` the symbolic links the walk left;
    ``destination_full`` whether a full destination stopped the run (the
    files not started are then those it left), and ``bytes_not_written`` the
    planned bytes it did not write then (0 where unknown).
    """

    counts: Dict[str, int]
    files: int
    not_started: int
    bytes_read: int
    bytes_written: int
    interrupted: bool
    links_not_followed: int = 0
    destination_full: bool = False
    bytes_not_written: int = 0


def summary_of(tally: lib.RunTally, interrupted: bool) -> RunSummary:
    counts = {outcome_name(i): int(n) for i, n in enumerate(tally.outcomes) if n}
    return RunSummary(counts, sum(counts.values()), int(tally.not_started), int(tally.bytes_read),
                      int(tally.bytes_written), interrupted, int(tally.links_not_followed),
                      tally.stopped_by == Status.DISK_FULL, int(tally.bytes_not_written))


def check_stopped(summary: RunSummary, plan_complete: bool) -> None:
    """A run that a full destination stopped raises DiskFull, once every report is out."""
    if not summary.destination_full:
        return
    files = "1 file" if summary.not_started == 1 else f"{summary.not_started} files"
    written = f", {summary.bytes_not_written} bytes of the plan not written" if summary.bytes_not_written else ""
    rest = "" if plan_complete else ", the rest of the source not looked at"
    raise _refused(Status.DISK_FULL,
                   f"the destination is full: the run stopped with {files} not started{written}{rest}")


class TreeRun(Iterator[Report]):
    """A tree's run: an iterator of its reports, in the run's order, as a
    generator is (``close()`` cancels it), with the run's
    :class:`RunSummary` in ``summary`` once it has ended (also when it was
    closed early or interrupted; None before)."""

    def __init__(self, reports: Callable[["TreeRun"], Iterator[Report]]) -> None:
        self.summary: Optional[RunSummary] = None
        self._reports = reports(self)

    def __iter__(self) -> "TreeRun":
        return self

    def __next__(self) -> Report:
        return next(self._reports)

    def close(self) -> None:
        self._reports.close()  # type: ignore[attr-defined]


class _Told:
    """progress(done_bytes, total_bytes), called on the caller's thread as the counts move."""

    def __init__(self, function: Progress) -> None:
        self.function = function
        self.last = (-1, -1)
        self.cancelled = False

    def __call__(self, run: Run) -> bool:
        if self.function is None:
            return False
        tally = run.counts()
        now = (tally.bytes_done, tally.bytes_planned)
        if now == self.last:
            return False
        self.last = now
        return bool(self.function(*now))


def open_records(records: RecordFiles, options: lib.RunOptions,
                 paths: Sequence[Tuple[Name, Optional[str]]]) -> Records:
    """The run's records, opened before any work. A run into a folder lists each file by its
    place there, as --files-from takes it back; the page names the one folder the files come
    from, and the manifest; the library refuses a record's name that is a file of those trees."""
    source = os.fsencode(paths[0][0]) if len(paths) == 1 else None
    return Records(records, options.job, options.flags, options.destination, options.manifest, source)


def results(options: lib.RunOptions, paths: Sequence[Tuple[Name, Optional[str]]], given: Name,
            progress: Progress = None, owner: Optional[TreeRun] = None,
            records: Optional[RecordFiles] = None) -> Iterator[Report]:
    """The reports of one run, in its order, pulled a tick at a time. Closing the
    iterator, an exception of progress or a KeyboardInterrupt cancels the run and
    waits for the groups under way (their files are done or untouched); the
    run's summary goes to `owner` then. With `records`, the library records
    every result (those of groups ended after an early close too) and ends the
    records with the run."""
    decode = _decoder(given)
    kept = [] if records is None else [name for name in (records.log, records.failed_list, records.suspect_list,
                                                         records.csv, records.html) if name is not None]
    run = Run(options, paths, kept)
    told = _Told(progress)
    result = lib.RunResult()
    report = lib.Report()
    result.report = ctypes.pointer(report)
    cancelled = True  # until the run ends by itself
    started = False
    recorded: Optional[Records] = None
    try:
        if records is not None:
            recorded = open_records(records, options, paths)
        status = lib.run_start(run.handle)
        if status != Status.OK:
            raise refusal_at_start(run, options, status)
        started = True
        _tell_workers(run.counts())
        while True:
            got = lib.run_next(run.handle, ctypes.byref(result), _TICK_MS)
            if told(run):
                run.cancel()  # what is under way is still told
                told.cancelled = True
            if got == lib.RUN_ENDED:
                cancelled = told.cancelled
                tally = run.counts()
                check_stopped(summary_of(tally, cancelled), bool(tally.plan_complete))
                check_manifest(run, options)
                break
            if got == lib.RUN_DELIVERED:
                if recorded is not None:
                    recorded.add(result)
                yield report_of(result, report, decode)
    finally:
        # At the interpreter's exit the run may be closed already, before this generator.
        if cancelled and run.open:
            run.cancel()
            while lib.run_next(run.handle, ctypes.byref(result), -1) == lib.RUN_DELIVERED:
                if recorded is not None:  # the groups under way end; their files are counted, not yielded
                    recorded.add(result)
        tally = run.counts() if run.open else None
        if owner is not None and tally is not None:
            owner.summary = summary_of(tally, cancelled)
        if tally is not None and started and options.manifest:  # what became of the manifest, for the page
            tally.manifest_told = 1
            tally.manifest_status = lib.run_manifest_status(run.handle, None)
        run.close()
        if recorded is not None:
            recorded.close(tally)


def _tell_workers(tally: lib.RunTally) -> None:
    """A run the system gave fewer threads than it asked for goes on with them, and says so."""
    if tally.workers_started < tally.workers_wanted:
        warnings.warn(f"marlune: the system started {tally.workers_started} of {tally.workers_wanted} worker "
                      "threads; the run goes on with them", RuntimeWarning)


def manifest_error(run: Run, options: lib.RunOptions, why: str) -> Optional[BaseException]:
    """The error for a manifest the library did not write (its name refused before any work,
    or a run that did not finish every file), with the system's code; None when it did."""
    error = ctypes.c_int32()
    status = lib.run_manifest_status(run.handle, ctypes.byref(error))
    if status == Status.OK or options.manifest is None:
        return None
    r = lib.Report()
    r.status = status
    r.system_error = error.value
    words = os.strerror(error.value) if error.value else library_reason(status, r)
    family = error_class(status, error.value)
    if not issubclass(family, (DestinationError, Cancelled)):  # the manifest is a destination
        family = _with_system_error(DestinationError, error.value) if error.value else DestinationError
    return family(make_report(r, reason=f"the manifest {why}: {words}", destination=os.fsdecode(options.manifest)))


def refusal_at_start(run: Run, options: lib.RunOptions, status: int) -> BaseException:
    """What a run refused at its start (or at its first step planned) raises."""
    return manifest_error(run, options, "cannot be written there") or _refused(status)


def check_manifest(run: Run, options: lib.RunOptions) -> None:
    """A mirror's manifest that was not put in place raises, once every report is out (the
    one at its name left as it was); a cancelled run's only says so in its reports."""
    if lib.run_manifest_status(run.handle, None) == Status.CANCELLED:
        return
    error = manifest_error(run, options, "was not written, the one there is left as it was")
    if error is not None:
        raise error


def examine_tree(root: PathType, *, workers: Optional[int] = None, follow_links: bool = False,
                 progress: Progress = None, records: Optional[RecordFiles] = None) -> TreeRun:
    """Examine every file under ``root`` (or ``root`` itself, a file) as
    ``marlune info -r`` does, yielding one :class:`Report` per file in the
    run's order: each folder's entries by the bytes of their names, a
    subfolder where its name falls, links to folders left unless
    ``follow_links``. ``workers`` threads (default one per processor) examine
    side by side; ``progress``, ``records`` and the run's ``summary`` are as
    for :func:`convert_tree`."""
    def reports(owner: TreeRun) -> Iterator[Report]:
        start = _path_argument(root, "root")
        options = run_options(lib.JOB_EXAMINE, follow_links=follow_links, workers=workers)
        yield from results(options, [(start, None)], start, progress, owner, records)
    return TreeRun(reports)


def report(root: PathType, html: PathType, *, workers: Optional[int] = None, follow_links: bool = False,
           csv: Optional[PathType] = None, log: Optional[PathType] = None, failed_list: Optional[PathType] = None,
           suspect_list: Optional[PathType] = None, rows: int = 0) -> RunSummary:
    """Examine every file under ``root`` as :func:`examine_tree` does and write
    the run's report page to ``html``: the page ``marlune info -r --report
    FILE`` writes (counts by outcome and by status, the sizes of the files and
    the offsets of the cuts, a table of the damaged and suspect files, at most
    ``rows`` of them, default 1000). ``csv``, ``log``, ``failed_list`` and
    ``suspect_list`` are written as :class:`RecordFiles` says. Returns the
    run's :class:`RunSummary`."""
    files = RecordFiles(html=html, csv=csv, log=log, failed_list=failed_list, suspect_list=suspect_list,
                        html_rows=rows)
    run = examine_tree(root, workers=workers, follow_links=follow_links, records=files)
    for _ in run:
        pass
    assert run.summary is not None
    return run.summary


def convert_tree(root: PathType, *, workers: Optional[int] = None, progress: Progress = None,
                 replace: bool = False, follow_links: bool = False, dry_run: bool = False,
                 batch_files: Optional[int] = None, batch_bytes: Optional[int] = None,
                 records: Optional[RecordFiles] = None) -> TreeRun:
    """Convert every file under ``root`` (or ``root`` itself, a file) to ".kv",
    as ``marlune convert -r`` does, yielding one :class:`Report` per file in
    the run's order (that of :func:`examine_tree`).

    An existing ".kv" is kept (``Status.DESTINATION_EXISTS``) unless
    ``replace``. Before any work the run settles what would lose a
    recording: a file whose ".kv" name an earlier file of the run takes
    (``Status.RUN_COLLISION``, ``report.other`` names that file), a file
    reached twice (``Status.NAMED_TWICE``), and a partial file a stopped
    conversion left, removed (``Status.RUN_PARTIAL_REMOVED``). Names ending
    ".kv" are ``Status.ALREADY_CONVERTED``; every failure is a report, nothing
    is raised for a file (check ``report.ok``). ``dry_run`` judges each file
    and writes nothing.

    The library converts consecutive files of a folder together (at most
    ``batch_files`` files, ``batch_bytes`` bytes, and as many as the
    process may hold open), on ``workers`` threads of its own (default one per
    processor), a bounded window ahead of the report due.

    ``progress(done_bytes, total_bytes)`` is called on the iterating thread as
    the run moves (``total_bytes`` counts what the walk found so far until it
    ends); a true answer cancels: the groups under way finish or stop with
    their sources kept, and nothing more is yielded. Closing the iterator, an
    exception of ``progress`` and a KeyboardInterrupt (Ctrl-C) cancel the run
    the same way and wait for it: no file is left half done, no partial file
    is left. Walking starts when iteration starts.

    Each report's ``outcome`` is what the run made of the file, as the
    command counts it. The iterator is a :class:`TreeRun`: once it has ended
    (or was closed), its ``summary`` is the run's :class:`RunSummary`: the
    files by outcome, the bytes read and written, the files a cancel left
    not started.

    ``records`` (a :class:`RecordFiles`) has the library write the run's log,
    lists of names, CSV table and report page as the command does.
    """
    def reports(owner: TreeRun) -> Iterator[Report]:
        start = _path_argument(root, "root")
        options = run_options(lib.JOB_CONVERT, follow_links=follow_links, dry_run=dry_run, replace=replace,
                              workers=workers, batch_files=batch_files, batch_bytes=batch_bytes)
        yield from results(options, [(start, None)], start, progress, owner, records)
    return TreeRun(reports)


def _copies(job: int, source_dir: PathType, destination_dir: PathType, progress: Progress,
            records: Optional[RecordFiles], **settings: Any) -> TreeRun:
    def reports(owner: TreeRun) -> Iterator[Report]:
        source = _path_argument(source_dir, "source")
        destination = _path_argument(destination_dir, "destination")
        options = run_options(job, destination=destination, **settings)
        yield from results(options, [(source, "")], source, progress, owner, records)
    return TreeRun(reports)


def copy_tree(source_dir: PathType, destination_dir: PathType, *, workers: Optional[int] = None,
              progress: Progress = None, durability: str = "none", follow_links: bool = False,
              kv_names: bool = False, batch_files: Optional[int] = None,
              batch_bytes: Optional[int] = None, mirror: bool = False, checksum: bool = False,
              delete: bool = False, manifest: Optional[PathType] = None, dry_run: bool = False,
              records: Optional[RecordFiles] = None, max_delete: Optional[int] = None,
              delete_from_empty: bool = False) -> TreeRun:
    """Copy every file under ``source_dir`` to the same relative path under
    ``destination_dir`` (a file ``source_dir``: into it), as ``marlune copy -r``
    does, yielding one :class:`Report` per file in the run's order.

    A copy replaces what is at its name, but never a file of the run
    (``Status.RUN_LANDS_ON_RUN_FILE``: a tree copied into a folder above it),
    and never through a symbolic link in the destination
    (``Status.RUN_DESTINATION_LINK``); a destination inside ``source_dir``
    is refused (:class:`DestinationError`, ``Status.RUN_INSIDE_SOURCE``).
    Partial files are left (``Status.RUN_PARTIAL_LEFT``). ``kv_names`` gives
    the copies ".kv" names. ``durability`` ("none", "data",
    "data-and-name") is applied per group: one flush for all its files.
    ``workers``, ``progress``, ``batch_files``, ``batch_bytes``, ``records``
    and the run's ``summary`` are as for :func:`convert_tree`.

    ``mirror``, as ``marlune copy -r --mirror``: every regular file arrives
    (``report.outcome``: "copied" for a container normalised, "damaged" for
    a damaged one copied byte for byte, its status the damage's,
    "copied-as-is" for any other file, "linked" for a symbolic link made
    anew), with its modification time and mode; a copy whose size and time
    match its source is left ("unchanged"; with ``checksum``, only when its
    content does). ``delete`` then removes what the source lacks
    ("deleted"), never through a link, and nothing after an error in the
    source (``Status.RUN_DELETION_OFF``), from a source with no file unless
    ``delete_from_empty`` (``Status.RUN_SOURCE_EMPTY``), beyond
    ``max_delete`` files (``Status.RUN_DELETE_LIMIT``), nor the run's own
    ``records`` or ``manifest``; a ``source_dir`` inside ``destination_dir``
    is refused then (``Status.RUN_SOURCE_INSIDE_DESTINATION``). ``dry_run`` writes nothing and says
    what would happen; ``manifest`` writes every copy's SHA-256 to that file
    (each report's ``sha256``), as ``sha256sum -c`` reads it in
    ``destination_dir``. Options that do not go together (``checksum``,
    ``delete``, ``manifest`` or ``dry_run`` without ``mirror``, ``kv_names``
    with it) raise :class:`JobRefused` when iteration starts, before any work.
    """
    return _copies(lib.JOB_COPY, source_dir, destination_dir, progress, records, durability=durability,
                       follow_links=follow_links, kv_names=kv_names, workers=workers, batch_files=batch_files,
                       batch_bytes=batch_bytes, mirror=mirror, checksum=checksum, delete=delete,
                       manifest=manifest, dry_run=dry_run, max_delete=max_delete,
                       delete_from_empty=delete_from_empty)


def verify(source_dir: Optional[PathType], destination_dir: PathType, *, manifest: Optional[PathType] = None,
           workers: Optional[int] = None, progress: Progress = None) -> TreeRun:
    """Check a mirror, as ``marlune verify`` does: one :class:`Report` per
    file of either tree, in the run's order, ``outcome`` "matched" (status
    OK) or "different" (``Status.VERIFY_MISSING``, ``VERIFY_EXTRA``,
    ``VERIFY_DIFFERENT``): a container's copy must equal what copying it
    gives now, any other file and link be identical. With ``manifest`` (and
    ``source_dir`` None) ``destination_dir`` is checked against that
    manifest instead (``VERIFY_NOT_IN_MANIFEST``, ``VERIFY_NOT_AS_LISTED``,
    or one failed report ``VERIFY_NO_MANIFEST``). Memory stays flat in the number of files. The
    iterator is a :class:`TreeRun`, with the run's ``summary``."""
    if (source_dir is None) == (manifest is None):
        raise ValueError("marlune: verify takes a source_dir or a manifest")

    def reports(owner: TreeRun) -> Iterator[Report]:
        destination = _path_argument(destination_dir, "destination")
        start = destination if source_dir is None else _path_argument(source_dir, "source")
        options = run_options(lib.JOB_VERIFY, destination=destination, workers=workers, manifest=manifest)
        yield from results(options, [(start, "")], start, progress, owner)
    return TreeRun(reports)


def salvage_tree(source_dir: PathType, destination_dir: PathType, *, workers: Optional[int] = None,
                 progress: Progress = None, durability: str = "none", follow_links: bool = False,
                 kv_names: bool = False, batch_files: Optional[int] = None,
                 batch_bytes: Optional[int] = None, records: Optional[RecordFiles] = None) -> TreeRun:
    """:func:`copy_tree` with salvage, as ``marlune salvage -r`` does: of a
    container cut short, the whole chunks are copied (``Status.SALVAGED``)."""
    return _copies(lib.JOB_SALVAGE, source_dir, destination_dir, progress, records, durability=durability,
                       follow_links=follow_links, kv_names=kv_names, workers=workers, batch_files=batch_files,
                       batch_bytes=batch_bytes)


__all__: List[str] = ["examine_tree", "convert_tree", "copy_tree", "salvage_tree", "verify", "report", "RunSummary",
                      "TreeRun"]
