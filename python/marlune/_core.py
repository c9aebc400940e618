"""Statuses, reports and errors: what every call of the package answers."""
from __future__ import annotations

import ctypes
import enum
import os
from dataclasses import dataclass
from typing import Dict, Optional, Type, Union

from . import _library as lib

__all__ = [
    "Status", "Report", "MarluneError", "BadName", "SourceError", "DestinationError", "DiskFull",
    "NotAContainer", "Truncated", "Cancelled", "status_name", "status_text",
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


def status_name(status: int) -> str:
    """The status's name as marlune.h spells it ("MARLUNE_PAYLOAD_CUT")."""
    return str(lib.status_name(int(status)).decode("ascii"))


def status_text(status: int) -> str:
    """The status in English words ("the source ends inside a chunk's payload")."""
    return str(lib.status_text(int(status)).decode("utf-8"))


_S = Status
_CUT_STATUSES = frozenset({_S.HEADER_CUT, _S.PREAMBLE_CUT, _S.CHUNK_HEADER_CUT, _S.PAYLOAD_CUT})
# What the caller may take as done; every other status is a failure.
SUCCESSES = frozenset({_S.OK, _S.ALREADY_CONVERTED, _S.SALVAGED, _S.FINISHED, _S.RUN_PARTIAL_REMOVED,
                       _S.RUN_PARTIAL_LEFT})
# What examine answers about the bytes themselves (rather than about reaching them).
JUDGEMENTS = frozenset({_S.OK, _S.NOT_A_CONTAINER, _S.DATA_OFFSET_BELOW_HEADER}) | _CUT_STATUSES


@dataclass(frozen=True)
class Report:
    """What one call did: the C library's marlune_report, in Python.

    ``source`` and ``destination`` are the paths as given (None for bytes and
    file objects); ``status`` the call's status (a :class:`Status`), with its
    name ("MARLUNE_PAYLOAD_CUT") in ``status_name`` and in ``reason`` the
    sentence the ``marlune`` command prints for it, offsets included. The other
    fields are the C report's: the piece cut short (``cut_offset``,
    ``cut_size``, ``cut_missing``, ``chunk_number``), the container as far as
    the source holds it (``magic``, ``length_mode``, ``data_offset``,
    ``header_bytes``, ``source_bytes``, ``chunks``, ``payload_bytes``,
    ``length_fields_set``) and ``bytes_written``. ``other``, in a tree's
    reports, names the other file of a collision, of a file named twice, or
    of a copy that would land on a file of the run; None elsewhere.
    """

    source: Optional[Union[str, bytes]]
    destination: Optional[Union[str, bytes]]
    status: Status
    status_name: str
    reason: str
    system_error: int
    cut_offset: int
    cut_size: int
    cut_missing: int
    chunk_number: int
    magic: bytes
    length_mode: int
    data_offset: int
    header_bytes: int
    source_bytes: int
    chunks: int
    payload_bytes: int
    length_fields_set: int
    bytes_written: int
    other: Optional[Union[str, bytes]] = None

    @property
    def ok(self) -> bool:
        """True for a status that is no failure (OK, ALREADY_CONVERTED, SALVAGED, FINISHED)."""
        return self.status in SUCCESSES

    @property
    def complete(self) -> bool:
        """True when the source is a whole container (status OK)."""
        return self.status == _S.OK

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


def _cannot_open(path: Optional[Union[str, bytes]]) -> str:
    if path is None:
        return "cannot be opened for reading"
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "no such file"
    except (OSError, ValueError):
        return "cannot be opened for reading"
    import stat
    if stat.S_ISDIR(mode):
        return "is a folder, not a file"
    if not stat.S_ISREG(mode):
        return "is not a regular file"
    return "cannot be opened for reading"


def examine_reason(status: int, r: "lib.Report", magic: bytes, path: Optional[Union[str, bytes]]) -> str:
    """What ``marlune info`` says of a file after its name."""
    missing = f"{r.cut_missing} of its {r.cut_size} bytes are missing"
    chunk = f"chunk {r.chunk_number}"
    if status == _S.OK:
        return "complete container"
    if status in (_S.NO_SOURCE_NAME, _S.BAD_NAME, _S.SOURCE_MISSING, _S.SOURCE_UNREADABLE, _S.SOURCE_NOT_A_FILE):
        return _cannot_open(path)
    if status == _S.SOURCE_CHANGED:
        return "it changed while it was read"
    if status == _S.NOT_A_CONTAINER:
        if r.header_bytes == 0:
            return "not a container: the file is empty"
        if r.header_bytes < 4:
            return (f"not a container: its {r.header_bytes} bytes \"{_magic_text(magic)}\" "
                    "begin neither \"KVRB\" nor \"fx30\"")
        return f"not a container: its magic is \"{_magic_text(magic)}\", not \"KVRB\" or \"fx30\""
    if status == _S.HEADER_CUT:
        return "incomplete: the file ends inside the 82-byte header, " + missing
    if status == _S.DATA_OFFSET_BELOW_HEADER:
        return f"not a valid container: dataOffset {r.data_offset} is below 82, inside the header"
    if status == _S.PREAMBLE_CUT:
        return (f"incomplete: dataOffset {r.data_offset} is past the end of the file; "
                "the preamble at offset 82 is cut short, " + missing)
    if status == _S.CHUNK_HEADER_CUT:
        return f"incomplete: the header of {chunk} at offset {r.cut_offset} is cut short, " + missing
    if status == _S.PAYLOAD_CUT:
        return f"incomplete: the payload of {chunk} at offset {r.cut_offset} is cut short, " + missing
    return "reading it failed"


def copy_reason(status: int, r: "lib.Report", converting: bool) -> str:
    """What ``marlune copy`` and ``marlune convert`` say of a file."""
    if converting and status == _S.NOT_A_CONTAINER:
        return "not a container"
    text = status_text(status)
    if status in _CUT_STATUSES or status == _S.SALVAGED:
        text += f" (at offset {r.cut_offset}, {r.cut_missing} of {r.cut_size} bytes missing)"
    if converting and status in (_S.OK, _S.FINISHED) and r.system_error != 0:
        text += f"; removing the source failed (system error {r.system_error})"
    return text


def _status_of(value: int) -> Status:
    try:
        return Status(value)
    except ValueError:
        return value  # type: ignore[return-value]  # a status newer than this package


def library_reason(status: int, r: "lib.Report") -> str:
    """The library's sentence for the status and its report (marlune_report_reason)."""
    needed = lib.report_reason(int(status), ctypes.byref(r), None, 0)
    text = ctypes.create_string_buffer(needed)
    lib.report_reason(int(status), ctypes.byref(r), text, needed)
    return text.value.decode("utf-8", "replace")


def make_report(r: "lib.Report", *, source: Optional[Union[str, bytes]] = None,
                destination: Optional[Union[str, bytes]] = None, kind: str = "copy",
                reason: Optional[str] = None, other: Optional[Union[str, bytes]] = None) -> Report:
    """A Report from the C report; `kind` ("examine", "copy", "convert") picks the
    command whose sentence the reason is."""
    status = r.status
    magic = bytes(r.magic)[: min(r.header_bytes, 4)]
    if reason is None:
        if kind == "examine":
            reason = examine_reason(status, r, magic, source)
        else:
            reason = copy_reason(status, r, kind == "convert")
    return Report(source, destination, _status_of(status), status_name(status), reason, r.system_error,
                  r.cut_offset, r.cut_size, r.cut_missing, r.chunk_number, magic, r.length_mode, r.data_offset,
                  r.header_bytes, r.source_bytes, r.chunks, r.payload_bytes, r.length_fields_set, r.bytes_written,
                  other)


def failed_report(status: int, system_error: int = 0, **where: Optional[Union[str, bytes]]) -> Report:
    """A report for a failure found in Python, before the library was called."""
    r = lib.Report()
    r.status = status
    r.system_error = system_error
    return make_report(r, kind="copy", **where)  # type: ignore[arg-type]


class MarluneError(Exception):
    """A call failed. ``status`` is its :class:`Status`, ``status_name`` its name
    ("MARLUNE_PAYLOAD_CUT"), ``report`` the whole :class:`Report`; the message is
    the report's reason, after the source's name when there is one."""

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


_FAMILIES: Dict[int, Type[MarluneError]] = {}
for _value, _family in (
    ((_S.NO_SOURCE_NAME, _S.NO_DESTINATION_NAME, _S.BAD_NAME), BadName),
    ((_S.SOURCE_MISSING, _S.SOURCE_UNREADABLE, _S.SOURCE_NOT_A_FILE, _S.SOURCE_CHANGED, _S.READ_ERROR),
     SourceError),
    ((_S.RUN_FOLDER_UNREADABLE,), SourceError),
    ((_S.DESTINATION_UNCREATABLE, _S.DESTINATION_IS_SOURCE, _S.DESTINATION_EXISTS, _S.DESTINATION_REPLACED,
      _S.PARTIAL_IN_USE, _S.WRITE_ERROR, _S.SYNC_ERROR, _S.RUN_COLLISION, _S.RUN_LANDS_ON_RUN_FILE,
      _S.RUN_OUTSIDE_DESTINATION, _S.RUN_DESTINATION_LINK, _S.RUN_INSIDE_SOURCE), DestinationError),
    ((_S.DISK_FULL,), DiskFull),
    ((_S.NOT_A_CONTAINER, _S.DATA_OFFSET_BELOW_HEADER), NotAContainer),
    (tuple(_CUT_STATUSES), Truncated),
    ((_S.CANCELLED,), Cancelled),
):
    for _v in _value:
        _FAMILIES[_v] = _family


def error_class(status: int, system_error: int = 0) -> Type[MarluneError]:
    import errno
    if status == _S.WRITE_ERROR and system_error in (errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC)):
        return DiskFull
    return _FAMILIES.get(int(status), MarluneError)


def error_for(report: Report) -> MarluneError:
    return error_class(report.status, report.system_error)(report)

