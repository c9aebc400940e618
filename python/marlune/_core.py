"""Statuses, reports and errors: what every call of the package answers."""
from __future__ import annotations

import ctypes
import enum
import operator
import os
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Optional, Tuple, Type, Union

from . import _library as lib

__all__ = [
    "Status", "Report", "MarluneError", "BadName", "SourceError", "DestinationError", "DiskFull",
    "NotAContainer", "Truncated", "Cancelled", "JobRefused", "status_name", "status_text",
]

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_UNKNOWN = "MARLUNE_UNKNOWN"


def _library_statuses() -> Dict[str, int]:
    # The library holds the one table of statuses; its values are below 100.
    names: Dict[str, int] = {}
    for value in range(100):
        name = lib.status_name(value).decode("ascii")
        if name != _UNKNOWN:
            names[name[len("MARLUNE_"):]] = value
    return names


# Status.PAYLOAD_CUT == 51; str(Status.PAYLOAD_CUT.name) == "PAYLOAD_CUT". Built from the library
# at import, so that a status the library adds is here without a change to this package.
Status = enum.IntEnum(  # type: ignore[misc]
    "Status", _library_statuses(), module=__name__, qualname="Status")
Status.__doc__ = ("The statuses of marlune.h, named without their MARLUNE_ prefix "
                  "(Status.PAYLOAD_CUT is MARLUNE_PAYLOAD_CUT, 51).")


def _status_value(status: int) -> int:
    """A status as the library takes it: an integer (3.5 is none) that fits 32 bits."""
    try:
        value = operator.index(status)
    except TypeError:
        raise TypeError(f"marlune: a status is an integer, not {status!r}") from None
    if not -2**31 <= value < 2**31:
        raise OverflowError(f"marlune: {value} is no status: statuses fit 32 bits")
    return value


def status_name(status: int) -> str:
    """The status's name as marlune.h spells it ("MARLUNE_PAYLOAD_CUT")."""
    return str(lib.status_name(_status_value(status)).decode("ascii"))


def status_text(status: int) -> str:
    """The status in English words ("the source ends inside a chunk's payload")."""
    return str(lib.status_text(_status_value(status)).decode("utf-8"))


_S = Status


def _statuses_of(classes: int) -> frozenset:
    """The statuses of any of the library's MARLUNE_CLASS_* bits: the library's one table says."""
    return frozenset(status for status in Status if lib.status_class(status) & classes)


# A container cut short, or salvaged from one.
_DAMAGED = _statuses_of(lib.CLASS_DAMAGED)
# What the caller may take as done; every other status is a failure.
SUCCESSES = _statuses_of(lib.CLASS_DONE)
# What examine answers about the bytes themselves (rather than about reaching them).
JUDGEMENTS = _statuses_of(lib.CLASS_FINDING)
# Statuses that say nothing could be read from the source.
_NOT_OPENED = _statuses_of(lib.CLASS_NOT_OPENED)
# Statuses found before the chunks were reached: no count of chunks means anything.
_BEFORE_CHUNKS = _statuses_of(lib.CLASS_NOT_OPENED | lib.CLASS_BEFORE_CHUNKS)


@dataclass(frozen=True)
class Report:
    """What one call did: the C library's marlune_report, in Python.

    ``source`` and ``destination`` are the paths as given (None for bytes and
    file objects); ``status`` the call's status (a :class:`Status`), with its
    name ("MARLUNE_PAYLOAD_CUT") in ``status_name`` and in ``reason`` the
    sentence the ``marlune`` command prints for it, offsets included; ``ok``
    and ``complete`` say whether it succeeded and whether the source is a
    whole container. The other fields are the C report's, None where the
    command's JSON has null: the piece cut short (``cut_offset``,
    ``cut_size``, ``cut_missing``: None unless the source is cut short;
    ``chunk_number``: None unless a chunk is), the container as far as the
    source holds it (``magic``: None when the source could not be opened;
    ``length_mode``, ``data_offset``: None without a whole header of a
    container; ``header_bytes``, ``source_bytes``; ``chunks``,
    ``payload_bytes``, ``length_fields_set``: None when the chunks were not
    reached) and ``bytes_written``. ``other``, in a tree's
    reports, names the other file of a collision, of a file named twice, or of
    a copy that would land on a file of the run; None elsewhere. ``outcome``,
    in a tree's reports, is what the run made of the file, as the command's
    JSON names it ("converted", "kept", "collision", "cancelled", "suspect": a
    file whose name promises a container its bytes do not hold ...); None
    elsewhere.
    """

    source: Optional[Union[str, bytes]]
    destination: Optional[Union[str, bytes]]
    status: Status
    status_name: str
    reason: str
    system_error: int
    cut_offset: Optional[int]
    cut_size: Optional[int]
    cut_missing: Optional[int]
    chunk_number: Optional[int]
    magic: Optional[bytes]
    length_mode: Optional[int]
    data_offset: Optional[int]
    header_bytes: int
    source_bytes: int
    chunks: Optional[int]
    payload_bytes: Optional[int]
    length_fields_set: Optional[int]
    bytes_written: int
    other: Optional[Union[str, bytes]] = None
    outcome: Optional[str] = None
    sha256: Optional[str] = None
    """A mirror with a manifest: the copy's SHA-256 in hex, of its bytes as written."""
    # Fields rather than properties, so that pd.DataFrame(reports) and asdict() have them.
    ok: bool = field(init=False)
    """True for a status that is no failure (OK, ALREADY_CONVERTED, SALVAGED, FINISHED)."""
    complete: bool = field(init=False)
    """True when the source is a whole container (status OK)."""

    def __post_init__(self) -> None:
        object.__setattr__(self, "ok", self.status in SUCCESSES)
        object.__setattr__(self, "complete", self.status == _S.OK)

    def as_dict(self) -> Dict[str, Any]:
        """Every field by name, ``ok`` and ``complete`` too (a row of a DataFrame)."""
        return asdict(self)

    to_dict = as_dict

    @property
    def text(self) -> str:
        """The status alone in words, as marlune_status_text gives it."""
        return status_text(self.status)

    def check(self) -> "Report":
        """Raise the :class:`MarluneError` that fits the status unless it is a success;
        return the report itself otherwise (``marlune.examine(p).check()``)."""
        if not self.ok:
            raise error_for(self)
        return self


def _number(value: int) -> str:
    return str(value)


def _magic_text(magic: bytes) -> str:
    # As the command shows it: printable ASCII as it is, anything else (and the quote
    # and backslash) as \xNN.
    return "".join(chr(b) if 0x20 <= b < 0x7F and b not in (0x5C, 0x22) else f"\\x{b:02x}" for b in magic)


def copy_reason(status: int, r: "lib.Report", converting: bool) -> str:
    """What ``marlune copy`` and ``marlune convert`` say of a file."""
    if converting and status == _S.NOT_A_CONTAINER:
        return "not a container"
    return library_reason(status, r, lib.JOB_CONVERT if converting else lib.JOB_COPY)


def _status_of(value: int) -> Status:
    try:
        return Status(value)
    except ValueError:
        return value  # type: ignore[return-value]  # a status newer than this package


def library_reason(status: int, r: "lib.Report", job: int = lib.JOB_COPY) -> str:
    """The library's sentence for a file of `job` with the status and its report (marlune_report_reason)."""
    needed = lib.report_reason(int(job), int(status), ctypes.byref(r), None, 0)
    text = ctypes.create_string_buffer(needed)
    lib.report_reason(int(job), int(status), ctypes.byref(r), text, needed)
    return text.value.decode("utf-8", "replace")


def make_report(r: "lib.Report", *, source: Optional[Union[str, bytes]] = None,
                destination: Optional[Union[str, bytes]] = None, kind: str = "copy",
                reason: Optional[str] = None, other: Optional[Union[str, bytes]] = None,
                outcome: Optional[str] = None, sha256: Optional[str] = None) -> Report:
    """A Report from the C report; `kind` ("examine", "copy", "convert") picks the
    command whose sentence the reason is."""
    status = r.status
    magic = bytes(r.magic)[: min(r.header_bytes, 4)]
    if reason is None:
        if kind == "examine":
            reason = library_reason(status, r, lib.JOB_EXAMINE)
        else:
            reason = copy_reason(status, r, kind == "convert")
    # None where the command's JSON has null: a value that does not apply is no 0.
    cut = status in _DAMAGED
    opened = status not in _NOT_OPENED
    header = r.header_bytes == 82 and status != _S.NOT_A_CONTAINER
    walked = status not in _BEFORE_CHUNKS

    def known(value: int, applies: bool) -> Optional[int]:
        return value if applies else None

    return Report(source, destination, _status_of(status), status_name(status), reason, r.system_error,
                  known(r.cut_offset, cut), known(r.cut_size, cut), known(r.cut_missing, cut),
                  known(r.chunk_number, cut and r.chunk_number != 0), magic if opened else None,
                  known(r.length_mode, header), known(r.data_offset, header), r.header_bytes,
                  r.source_bytes, known(r.chunks, walked), known(r.payload_bytes, walked),
                  known(r.length_fields_set, walked), r.bytes_written, other, outcome, sha256)


def failed_report(status: int, system_error: int = 0, **where: Optional[Union[str, bytes]]) -> Report:
    """A report for a failure found in Python, before the library was called."""
    r = lib.Report()
    r.status = status
    r.system_error = system_error
    return make_report(r, kind="copy", **where)  # type: ignore[arg-type]


class MarluneError(Exception):
    """A call failed. ``status`` is its :class:`Status`, ``status_name`` its name
    ("MARLUNE_PAYLOAD_CUT"), ``report`` the whole :class:`Report`; the message is
    the report's reason, after the source's name when there is one.

    A failure the system reported (``report.system_error`` not 0) is also the
    matching :class:`OSError` (``FileNotFoundError``, ``PermissionError``,
    ``IsADirectoryError``, ... or ``OSError`` itself), with ``errno``,
    ``strerror`` and ``filename`` (the path the failure is about)."""

    # The system's error code of the classes error_class makes for one; 0 here.
    _system_error = 0

    def __init__(self, report: Report, message: Optional[str] = None) -> None:
        if message is None:
            where = report.source if report.source is not None else report.destination
            if isinstance(where, bytes):
                where = os.fsdecode(where)
            message = f"{where}: {report.reason}" if where is not None else report.reason
        super().__init__(message)
        self.report = report
        self.status = report.status
        self.status_name = report.status_name
        code = type(self)._system_error
        if isinstance(self, OSError) and code:
            system = _system_error(code)
            self.errno, self.strerror = system.errno, system.strerror
            if os.name == "nt":
                self.winerror = code  # type: ignore[misc]
            about = report.destination if isinstance(self, DestinationError) else report.source
            self.filename = about if about is not None else (report.destination or report.source)

    def __str__(self) -> str:
        # The report's words, not OSError's "[Errno 2] ...".
        return str(self.args[0]) if self.args else ""

    def __reduce__(self) -> Tuple[Any, ...]:
        # Classes made for a system error have no name to be found by: pickled (for Dask's
        # workers) as what makes them again.
        family = type(self).__dict__.get("_family", type(self))
        return (_remade, (family, type(self)._system_error, self.report, str(self)))


class BadName(MarluneError, ValueError):
    """A path is empty, or cannot name a file (statuses 10 to 12)."""


class SourceError(MarluneError):
    """The source cannot be opened, read, or changed while it was read (20 to 22, 52, 60)."""


class DestinationError(MarluneError):
    """The destination cannot be created, written, moved into place or synced (30 to 34, 61, 63)."""


class DiskFull(DestinationError):
    """The destination's disk or quota is full (62; also a file object's write that failed with ENOSPC)."""


class NotAContainer(MarluneError):
    """The source is no KVRB container: wrong magic, or a dataOffset inside the header (40, 42)."""


class Truncated(MarluneError):
    """The source ends inside the header, the preamble, a chunk header or a payload (41, 43, 50, 51)."""


class Cancelled(MarluneError):
    """The progress callback asked to stop (64)."""


class JobRefused(MarluneError, ValueError):
    """A tree's run whose options do not go together, refused before any work (90); the message says why."""


_FAMILIES: Dict[int, Type[MarluneError]] = {}
for _value, _family in (
    ((_S.NO_SOURCE_NAME, _S.NO_DESTINATION_NAME, _S.BAD_NAME), BadName),
    ((_S.SOURCE_MISSING, _S.SOURCE_UNREADABLE, _S.SOURCE_NOT_A_FILE, _S.SOURCE_CHANGED, _S.READ_ERROR),
     SourceError),
    ((_S.RUN_FOLDER_UNREADABLE,), SourceError),
    ((_S.DESTINATION_UNCREATABLE, _S.DESTINATION_IS_SOURCE, _S.DESTINATION_EXISTS, _S.DESTINATION_REPLACED,
      _S.PARTIAL_IN_USE, _S.WRITE_ERROR, _S.SYNC_ERROR, _S.RUN_COLLISION, _S.RUN_LANDS_ON_RUN_FILE,
      _S.RUN_OUTSIDE_DESTINATION, _S.RUN_DESTINATION_LINK, _S.RUN_INSIDE_SOURCE,
      _S.RUN_SOURCE_INSIDE_DESTINATION), DestinationError),
    ((_S.DISK_FULL,), DiskFull),
    ((_S.NOT_A_CONTAINER, _S.DATA_OFFSET_BELOW_HEADER), NotAContainer),
    (tuple(_DAMAGED - SUCCESSES), Truncated),
    (tuple(_statuses_of(lib.CLASS_CANCELLED)), Cancelled),
    ((_S.RUN_JOB_REFUSED,), JobRefused),
):
    for _v in _value:
        _FAMILIES[_v] = _family


def _system_error(code: int) -> OSError:
    # OSError picks the subclass for the code itself; on Windows the code is GetLastError()'s,
    # which OSError turns into an errno.
    if os.name == "nt":
        import ctypes
        return OSError(0, ctypes.FormatError(code), None, code)  # type: ignore[attr-defined]
    return OSError(code, os.strerror(code))


_WITH_SYSTEM_ERROR: Dict[Tuple[type, int], Type[MarluneError]] = {}


def _with_system_error(family: Type[MarluneError], code: int) -> Type[MarluneError]:
    """``family`` that is also the OSError subclass of the system's error ``code``."""
    made = _WITH_SYSTEM_ERROR.get((family, code))
    if made is None:
        made = type(family.__name__, (family, type(_system_error(code))),
                    {"__module__": family.__module__, "__qualname__": family.__qualname__,
                     "__doc__": family.__doc__, "_family": family, "_system_error": code})
        _WITH_SYSTEM_ERROR[(family, code)] = made
    return made


def _remade(family: Type[MarluneError], code: int, report: Report, message: str) -> MarluneError:
    return (_with_system_error(family, code) if code else family)(report, message)


def root_error(status: int, system_error: int, path: Union[str, bytes], destination: bool) -> MarluneError:
    """The error for a folder a tree's run cannot start from (marlune_run_check_root): the
    source's or the destination's error class, and the OSError of the system's code
    (FileNotFoundError, NotADirectoryError, PermissionError)."""
    family: Type[MarluneError] = DestinationError if destination else SourceError
    r = lib.Report()
    r.status = status
    r.system_error = system_error
    words = _system_error(system_error).strerror if system_error else status_text(status)
    role = "destination folder" if destination else "source"
    report = make_report(r, reason=f"cannot be the {role}: {words}",
                         **({"destination": path} if destination else {"source": path}))
    return (_with_system_error(family, system_error) if system_error else family)(report)


def error_class(status: int, system_error: int = 0) -> Type[MarluneError]:
    import errno
    if status == _S.WRITE_ERROR and system_error in (errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC)):
        family: Type[MarluneError] = DiskFull
    else:
        family = _FAMILIES.get(int(status), MarluneError)
    return _with_system_error(family, system_error) if system_error else family


def error_for(report: Report) -> MarluneError:
    return error_class(report.status, report.system_error)(report)

