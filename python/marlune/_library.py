"""Loading the C library and declaring its functions for ctypes.

Nothing here is public: the rest of the package calls these declarations.
"""
from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path
from typing import Any, Callable, List, Optional

__all__ = ["LibraryNotFound", "library", "library_path"]


class LibraryNotFound(ImportError):
    """The C library could be loaded from none of the places looked at."""


if sys.platform == "win32":
    _SYSTEM_NAME = "Marlune.dll"
    _BUNDLED_NAMES = ("Marlune.dll",)
else:
    _SYSTEM_NAME = "libmarlune.so.1"
    _BUNDLED_NAMES = ("libmarlune.so.1",)

# 32-bit Windows exports __stdcall functions; everywhere else the C default.
_USE_STDCALL = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4
if _USE_STDCALL:
    _Loader: Any = ctypes.WinDLL  # type: ignore[attr-defined]
    CALLBACK: Callable[..., Any] = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
else:
    _Loader = ctypes.CDLL
    CALLBACK = ctypes.CFUNCTYPE


def _candidates() -> List[str]:
    """Where the library is looked for, in order: MARLUNE_LIBRARY when it is set
    (and then nowhere else, so that a wrong setting is not hidden by another
    copy), the copy a wheel bundled beside this file, the system's."""
    given = os.environ.get("MARLUNE_LIBRARY")
    if given:
        return [given]
    here = Path(__file__).resolve().parent
    found = [str(here / name) for name in _BUNDLED_NAMES if (here / name).is_file()]
    return found + [_SYSTEM_NAME]


def _load() -> "tuple[Any, str]":
    failures = []
    for candidate in _candidates():
        try:
            return _Loader(candidate), candidate
        except OSError as error:
            failures.append(f"  {candidate}: {error}")
    raise LibraryNotFound(
        "marlune: the C library could not be loaded. Looked at:\n"
        + "\n".join(failures)
        + "\nSet MARLUNE_LIBRARY to the full path of libmarlune.so.1 (Marlune.dll on "
        "Windows), install the library where the system finds it, or install a "
        "wheel that bundles it."
    )


library, library_path = _load()


class Report(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("status", ctypes.c_int32),
        ("system_error", ctypes.c_int32),
        ("reserved", ctypes.c_uint32),
        ("cut_offset", ctypes.c_uint64),
        ("cut_size", ctypes.c_uint64),
        ("cut_missing", ctypes.c_uint64),
        ("chunk_number", ctypes.c_uint64),
        ("magic", ctypes.c_uint8 * 4),
        ("length_mode", ctypes.c_int32),
        ("data_offset", ctypes.c_uint32),
        ("header_bytes", ctypes.c_uint32),
        ("source_bytes", ctypes.c_uint64),
        ("chunks", ctypes.c_uint64),
        ("payload_bytes", ctypes.c_uint64),
        ("length_fields_set", ctypes.c_uint64),
        ("bytes_written", ctypes.c_uint64),
    ]

    def __init__(self) -> None:
        super().__init__(size=ctypes.sizeof(Report))


Progress = CALLBACK(ctypes.c_int32, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_void_p)
ReadFunction = CALLBACK(ctypes.c_int64, ctypes.c_void_p, ctypes.c_uint64, ctypes.POINTER(ctypes.c_int32),
                        ctypes.c_void_p)
WriteFunction = CALLBACK(ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p)


class Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("replace", ctypes.c_int32),
        ("placement", ctypes.c_int32),
        ("durability", ctypes.c_int32),
        ("progress", Progress),
        ("progress_context", ctypes.c_void_p),
        ("salvage", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
    ]

    def __init__(self, **fields: Any) -> None:
        super().__init__(**{"size": ctypes.sizeof(Options), "replace": 1, **fields})


class Reader(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("length_known", ctypes.c_int32),
        ("length", ctypes.c_uint64),
        ("read", ReadFunction),
        ("context", ctypes.c_void_p),
    ]


class Writer(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("reserved", ctypes.c_int32),
        ("write", WriteFunction),
        ("context", ctypes.c_void_p),
    ]


def _declare(name: str, result: Any, *arguments: Any) -> Any:
    function = getattr(library, name)
    function.restype = result
    function.argtypes = arguments
    return function


_i32 = ctypes.c_int32
_u32 = ctypes.c_uint32
_u64 = ctypes.c_uint64
_text = ctypes.c_char_p
_report_p = ctypes.POINTER(Report)
_options_p = ctypes.POINTER(Options)
_reader_p = ctypes.POINTER(Reader)
_writer_p = ctypes.POINTER(Writer)

copy = _declare("marlune_copy", _i32, _text, _text, _options_p, _report_p)
convert = _declare("marlune_convert", _i32, _text, _options_p, _report_p)
examine = _declare("marlune_examine", _i32, _text, _report_p)
judge_convert = _declare("marlune_judge_convert", _i32, _text, _options_p, _report_p)
kv_name = _declare("marlune_kv_name", _u32, _text, ctypes.c_char_p, _u32)
remove_partial = _declare("marlune_remove_partial", _i32, _text, _report_p)
status_text = _declare("marlune_status_text", ctypes.c_char_p, _i32)
status_name = _declare("marlune_status_name", ctypes.c_char_p, _i32)
status_class = _declare("marlune_status_class", _u32, _i32)
version = _declare("marlune_version", ctypes.c_char_p)
copy_stream = _declare("marlune_copy_stream", _i32, _reader_p, _writer_p, _options_p, _report_p)
copy_from_stream = _declare("marlune_copy_from_stream", _i32, _reader_p, _text, _options_p, _report_p)
examine_stream = _declare("marlune_examine_stream", _i32, _reader_p, _report_p)
copy_memory = _declare("marlune_copy_memory", _i32, ctypes.c_void_p, _u64, _writer_p, _options_p, _report_p)
examine_memory = _declare("marlune_examine_memory", _i32, ctypes.c_void_p, _u64, _report_p)

wide_copy: Optional[Any] = None
wide_convert: Optional[Any] = None
wide_examine: Optional[Any] = None
if sys.platform == "win32":
    _wide = ctypes.c_wchar_p
    wide_copy = _declare("marlune_copy_w", _i32, _wide, _wide, _options_p, _report_p)
    wide_convert = _declare("marlune_convert_w", _i32, _wide, _options_p, _report_p)
    wide_examine = _declare("marlune_examine_w", _i32, _wide, _report_p)


# Runs (marlune_run_*): the library walks, plans, groups and orders; the package only pulls results.
class RunOptions(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("job", ctypes.c_int32),
        ("flags", ctypes.c_uint32),
        ("durability", ctypes.c_int32),
        ("destination", ctypes.c_char_p),
        ("workers", ctypes.c_uint32),
        ("window", ctypes.c_uint32),
        ("group_files", ctypes.c_uint32),
        ("open_files", ctypes.c_uint32),
        ("group_bytes", ctypes.c_uint64),
        ("suspect_extensions", ctypes.c_char_p),
        ("manifest", ctypes.c_char_p),
        ("max_delete", ctypes.c_uint64),
    ]

    def __init__(self, **fields: Any) -> None:
        super().__init__(**{"size": ctypes.sizeof(RunOptions), **fields})


class RunResult(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("status", ctypes.c_int32),
        ("index", ctypes.c_uint64),
        ("path", ctypes.c_char_p),
        ("destination", ctypes.c_char_p),
        ("other", ctypes.c_char_p),
        ("report", ctypes.POINTER(Report)),
        ("outcome", ctypes.c_int32),
        ("reason", ctypes.c_char_p),
        ("sha256", ctypes.c_char_p),
    ]

    def __init__(self, **fields: Any) -> None:
        super().__init__(**{"size": ctypes.sizeof(RunResult), "outcome": -1, **fields})


class RunTally(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("plan_complete", ctypes.c_int32),
        ("files_planned", ctypes.c_uint64),
        ("bytes_planned", ctypes.c_uint64),
        ("files_done", ctypes.c_uint64),
        ("bytes_done", ctypes.c_uint64),
        ("links_not_followed", ctypes.c_uint64),
        ("not_started", ctypes.c_uint64),
        ("outcomes", ctypes.c_uint64 * 32),
        ("bytes_read", ctypes.c_uint64),
        ("bytes_written", ctypes.c_uint64),
        ("workers_wanted", ctypes.c_uint32),
        ("workers_started", ctypes.c_uint32),
        ("bytes_not_written", ctypes.c_uint64),
        ("stopped_by", ctypes.c_int32),
        ("manifest_told", ctypes.c_int32),
        ("manifest_status", ctypes.c_int32),
    ]

    def __init__(self) -> None:
        super().__init__(size=ctypes.sizeof(RunTally))


JOB_EXAMINE, JOB_COPY, JOB_SALVAGE, JOB_CONVERT, JOB_VERIFY = 0, 1, 2, 3, 4
# MARLUNE_CLASS_*: the bits of marlune_status_class.
CLASS_DONE, CLASS_CANCELLED, CLASS_FINDING, CLASS_NOT_A_CONTAINER = 1, 2, 4, 8
CLASS_DAMAGED, CLASS_BEFORE_CHUNKS, CLASS_NOT_OPENED, CLASS_SOURCE_ERROR = 16, 32, 64, 128
CLASS_COLLISION, CLASS_DIFFERENT = 256, 512
RUN_RECURSIVE, RUN_FOLLOW_LINKS, RUN_KV_NAMES, RUN_JUDGE_ONLY, RUN_REPLACE = 1, 2, 4, 8, 16
RUN_MIRROR, RUN_CHECKSUM, RUN_SHA256, RUN_DELETE, RUN_DELETE_FROM_EMPTY = 32, 64, 128, 256, 512
RUN_WAITING, RUN_DELIVERED, RUN_ENDED, RUN_TOO_SMALL = 0, 1, 2, 3

_run_p = ctypes.c_void_p
_run_options_p = ctypes.POINTER(RunOptions)
_run_result_p = ctypes.POINTER(RunResult)

run_open = _declare("marlune_run_open", _i32, _run_options_p, ctypes.POINTER(_run_p))
run_check = _declare("marlune_run_check", _i32, _run_options_p, ctypes.c_char_p, _u32)
run_check_root = _declare("marlune_run_check_root", _i32, _run_options_p, _text, _text, ctypes.POINTER(_i32))
run_add = _declare("marlune_run_add", _i32, _run_p, _text, _text)
run_start = _declare("marlune_run_start", _i32, _run_p)
run_next = _declare("marlune_run_next", _i32, _run_p, _run_result_p, _i32)
run_counts = _declare("marlune_run_counts", None, _run_p, ctypes.POINTER(RunTally))
run_cancel = _declare("marlune_run_cancel", None, _run_p)
run_keep = _declare("marlune_run_keep", _i32, _run_p, _text)
run_note = _declare("marlune_run_note", None, _run_p, _i32)
run_note_result = _declare("marlune_run_note_result", None, _run_p, ctypes.POINTER(RunResult))
run_close = _declare("marlune_run_close", None, _run_p)
run_plan_next = _declare("marlune_run_plan_next", _i32, _run_p, ctypes.c_char_p, _u32, ctypes.POINTER(_u32))
step_files = _declare("marlune_step_files", _u32, ctypes.c_char_p, _u32)
run_finish_folders = _declare("marlune_run_finish_folders", _i32, _run_p)
run_step = _declare("marlune_run_step", _i32, ctypes.c_char_p, _u32, _run_result_p, _u32,
                    ctypes.POINTER(ctypes.c_void_p))
step_texts_free = _declare("marlune_step_texts_free", None, ctypes.c_void_p)
run_manifest_status = _declare("marlune_run_manifest_status", _i32, _run_p, ctypes.POINTER(_i32))
report_reason = _declare("marlune_report_reason", _u32, _i32, _i32, _report_p, ctypes.c_char_p, _u32)
outcome_name = _declare("marlune_outcome_name", ctypes.c_char_p, _i32)
OUTCOME_COUNT = 32
