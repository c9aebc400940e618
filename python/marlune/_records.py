"""The records of a tree run (marlune_records_*): the log, the lists of names to
feed back, the CSV table and the HTML report page, written by the library as
the command writes them."""
from __future__ import annotations

import ctypes
import os
import sys
from dataclasses import dataclass
from typing import Any, Optional, Union

from . import _library as lib
from ._core import Status, error_class, library_reason, make_report

Name = Union[str, bytes, "os.PathLike[Any]"]


class _Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("job", ctypes.c_int32),
        ("flags", ctypes.c_uint32),
        ("command", ctypes.c_char_p),
        ("command_line", ctypes.c_char_p),
        ("folder", ctypes.c_char_p),
        ("log", ctypes.c_char_p),
        ("log_all", ctypes.c_int32),
        ("failed_list", ctypes.c_char_p),
        ("suspect_list", ctypes.c_char_p),
        ("csv", ctypes.c_char_p),
        ("html", ctypes.c_char_p),
        ("html_rows", ctypes.c_uint32),
        ("destination_folder", ctypes.c_char_p),
        ("manifest", ctypes.c_char_p),
        ("source_folder", ctypes.c_char_p),
    ]


_records_p = ctypes.c_void_p
_open = lib._declare("marlune_records_open", ctypes.c_int32, ctypes.POINTER(_Options), ctypes.POINTER(_records_p))
_add = lib._declare("marlune_records_add", ctypes.c_int32, _records_p, ctypes.POINTER(lib.RunResult))
_close = lib._declare("marlune_records_close", ctypes.c_int32, _records_p, ctypes.POINTER(lib.RunTally))

_COMMANDS = {lib.JOB_EXAMINE: "info", lib.JOB_COPY: "copy", lib.JOB_SALVAGE: "salvage", lib.JOB_CONVERT: "convert",
             lib.JOB_VERIFY: "verify"}


def _path(value: Optional[Name]) -> Optional[bytes]:
    return None if value is None else os.fsencode(value)


@dataclass
class RecordFiles:
    """Which records a tree run writes, each a path or None: ``log`` (appended
    to: a header line, the failed, kept, collided, cancelled and suspect files
    (every file with ``log_all``), the summary), ``failed_list`` and
    ``suspect_list`` (the names, each ended by a NUL byte, for
    ``marlune ... --files-from FILE -0``), ``csv`` (one row per file) and
    ``html`` (the report page). All but the log are written beside their
    names and moved into place when the run ends."""

    log: Optional[Name] = None
    log_all: bool = False
    failed_list: Optional[Name] = None
    suspect_list: Optional[Name] = None
    csv: Optional[Name] = None
    html: Optional[Name] = None
    html_rows: int = 0


class Records:
    """The library's records of one run, open until close()."""

    def __init__(self, files: RecordFiles, job: int, flags: int, destination: Optional[bytes] = None,
                 manifest: Optional[bytes] = None, source: Optional[bytes] = None) -> None:
        line = " ".join([os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "python"] + sys.argv[1:])
        self._keep = [_path(files.log), _path(files.failed_list), _path(files.suspect_list), _path(files.csv),
                      _path(files.html), _COMMANDS[job].encode(), os.fsencode(line), destination,
                      manifest, source]
        options = _Options(size=ctypes.sizeof(_Options), job=job, flags=flags, command=self._keep[5],
                           command_line=self._keep[6], log=self._keep[0],
                           log_all=1 if files.log_all else 0, failed_list=self._keep[1], suspect_list=self._keep[2],
                           csv=self._keep[3], html=self._keep[4], html_rows=max(0, int(files.html_rows)),
                           destination_folder=self._keep[7], manifest=self._keep[8], source_folder=self._keep[9])
        handle = ctypes.c_void_p()
        status = _open(ctypes.byref(options), ctypes.byref(handle))
        if status != Status.OK:
            self._raise(status)
        self.handle: Optional[int] = handle.value

    @staticmethod
    def _raise(status: int) -> None:
        r = lib.Report()
        r.status = status
        raise error_class(status)(make_report(r, reason="the run's records: " + library_reason(status, r)))

    def add(self, result: lib.RunResult) -> None:
        if self.handle is not None:
            _add(self.handle, ctypes.byref(result))

    def close(self, tally: Optional[lib.RunTally]) -> None:
        """Ends the records: the summary written, the files moved into place."""
        if self.handle is None:
            return
        handle, self.handle = self.handle, None
        status = _close(handle, None if tally is None else ctypes.byref(tally))
        if status != Status.OK:
            self._raise(status)

