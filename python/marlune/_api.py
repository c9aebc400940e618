"""examine, copy and convert: one file, from a path, bytes or a file object."""
from __future__ import annotations

import ctypes
import os
import stat
import sys
from typing import Any, Optional, Tuple, Union

from . import _library as lib
from ._core import (JUDGEMENTS, SUCCESSES, MarluneError, PathType, Report, Status, error_class, failed_report,
                    make_report)
from ._streams import Memory, MemoryReader, ProgressAdapter, ProgressFunction, ReaderAdapter, TooMuchRead, WriterAdapter

_WINDOWS = sys.platform == "win32"
_DURABILITY = {"none": 0, "data": 1, "data-and-name": 2}
# A bytes path longer than this, or holding a NUL, cannot be a path: it is taken for content
# handed over by mistake, and the error says how to hand content over.
_PATH_MAX = 4096


def is_path(value: Any) -> bool:
    return isinstance(value, (str, bytes, os.PathLike))


def is_reader(value: Any) -> bool:
    return hasattr(value, "readinto") or hasattr(value, "read")


def is_writer(value: Any) -> bool:
    return hasattr(value, "write")


def encode(path: Union[str, bytes]) -> bytes:
    """A path as the library's functions take it: the file system's bytes on POSIX
    (any bytes at all), UTF-8 on Windows."""
    if _WINDOWS:
        return os.fsdecode(path).encode("utf-8")
    return os.fsencode(path)


def _looks_like_content(path: Union[str, bytes]) -> bool:
    return isinstance(path, bytes) and (b"\0" in path or len(path) > _PATH_MAX or path[:4] in (b"KVRB", b"fx30"))


def _raise(report: Report, cause: Optional[BaseException] = None) -> None:
    message = None
    if report.status == Status.SOURCE_MISSING and report.source is not None and _looks_like_content(report.source):
        message = ("marlune: a bytes object is taken as a path, and no file has that name; to hand over the "
                   "container's bytes themselves, pass memoryview(data) or a bytearray")
    error = error_class(report.status, report.system_error)(report, message)
    if cause is not None:
        raise error from cause
    raise error


def _path_argument(path: PathType, what: str) -> Union[str, bytes]:
    value = os.fspath(path)
    if isinstance(value, bytes) and b"\0" in value:
        raise ValueError(f"marlune: the {what} path holds a NUL byte; to hand over the container's bytes, "
                         "pass memoryview(data) or a bytearray")
    if isinstance(value, str) and "\0" in value:
        raise ValueError(f"marlune: the {what} path holds a NUL character")
    return value


def _flag(value: Any, name: str) -> int:
    """A yes or no: True or False only, so that "no" or 2 is not taken for yes."""
    if not isinstance(value, bool):
        raise TypeError(f"marlune: {name} is True or False, not {value!r}")
    return 1 if value else 0


def _options(replace: bool = True, in_place: bool = False, durability: str = "none", salvage: bool = False,
             progress: Optional[ProgressAdapter] = None) -> lib.Options:
    if not isinstance(durability, str):
        raise TypeError(f"marlune: durability is one of {', '.join(map(repr, _DURABILITY))}, not {durability!r}")
    try:
        level = _DURABILITY[durability]
    except KeyError:
        raise ValueError(f"marlune: durability is one of {', '.join(map(repr, _DURABILITY))}, "
                         f"not {durability!r}") from None
    options = lib.Options(replace=_flag(replace, "replace"), placement=_flag(in_place, "in_place"),
                          durability=level, salvage=_flag(salvage, "salvage"))
    if progress is not None and progress.function is not None:
        options.progress = progress.callback
    return options


def _after(report: Report, progress: Optional[ProgressAdapter], source: Any = None, destination: Any = None,
           accepted: frozenset = SUCCESSES) -> Report:
    """Raise what a callback raised, or the error the status stands for."""
    if progress is not None and progress.error is not None:
        # The caller's own exception, as it was raised (KeyboardInterrupt stays one).
        raise progress.error
    if report.status in accepted:
        return report
    cause = None
    for adapter in (source, destination):
        if adapter is not None and adapter.error is not None:
            cause = adapter.error
            break
    if cause is not None:
        code = getattr(cause, "errno", 0) or 0
        # A read that gave too much is told as it is: the object and the counts.
        message = str(cause) if isinstance(cause, TooMuchRead) else None
        error = error_class(report.status, code if isinstance(code, int) else 0)(report, message)
        raise error from cause
    _raise(report)
    return report


def examine(source: Any) -> Report:
    """Judge a container as a copy would, writing nothing.

    ``source`` is a path (``str``, ``bytes``, ``os.PathLike``), a bytes-like
    object other than ``bytes`` (``memoryview(data)``, ``bytearray``, ``mmap``:
    read in place, not copied), or a readable binary file object (read from its
    position to its end).

    Returns a :class:`Report` for whatever the bytes turn out to be: complete
    (``report.complete``), cut short (``Status.PAYLOAD_CUT`` ...), or no
    container (``Status.NOT_A_CONTAINER``); ``report.check()`` raises for the
    last two. Raises :class:`SourceError` (or :class:`BadName`) when the source
    cannot be opened or read.
    """
    report = lib.Report()
    if is_path(source):
        path = _path_argument(source, "source")
        if _WINDOWS:
            status = lib.wide_examine(os.fsdecode(path), ctypes.byref(report))  # type: ignore[misc]
        else:
            status = lib.examine(os.fsencode(path), ctypes.byref(report))
        result = make_report(report, source=path, kind="examine")
        if status not in JUDGEMENTS:
            _raise(result)
        return result
    if is_reader(source):
        reader = ReaderAdapter(source)
        lib.examine_stream(ctypes.byref(reader.reader), ctypes.byref(report))
        return _after(make_report(report, kind="examine"), None, reader, accepted=JUDGEMENTS)
    with Memory(source) as memory:
        lib.examine_memory(memory.address, memory.length, ctypes.byref(report))
    return _after(make_report(report, kind="examine"), None, accepted=JUDGEMENTS)


def copy(source: Any, destination: Any, *, replace: bool = True, in_place: bool = False,
         durability: str = "none", salvage: bool = False, progress: Optional[ProgressFunction] = None) -> Report:
    """Copy a container, checking its framing and giving every chunk a 330-byte
    payload when its header asks for fixed-length chunks.

    ``source`` is a path, a bytes-like object other than ``bytes`` (see
    :func:`examine`) or a readable binary file object; ``destination`` a path
    or a writable binary file object.

    To a path the copy is written beside it and moved over its name once
    complete, so that a failure leaves an existing file as it was;
    ``in_place=True`` writes into the destination itself (a failure leaves what
    was copied before it). ``replace=False`` keeps an existing destination
    (:class:`DestinationError`, ``Status.DESTINATION_EXISTS``).
    ``durability`` is ``"none"``, ``"data"`` (the data synced) or
    ``"data-and-name"`` (its folder too). ``salvage=True`` copies a source whose
    chunks are cut short up to its last whole chunk (``Status.SALVAGED``).
    ``progress(done, total)`` is called about every MiB; a true answer cancels
    (:class:`Cancelled`), an exception it raises is raised again once the copy
    has stopped. To a file object only ``salvage`` and ``progress`` apply.

    Returns the :class:`Report`; raises a :class:`MarluneError` subclass on
    failure. An exception of a file object's read or write is the
    ``__cause__`` of the :class:`SourceError` or :class:`DestinationError`.
    """
    adapter = ProgressAdapter(progress)
    options = _options(replace, in_place, durability, salvage, adapter)
    report = lib.Report()
    if is_path(source) and is_path(destination):
        src = _path_argument(source, "source")
        dst = _path_argument(destination, "destination")
        if _WINDOWS:
            lib.wide_copy(os.fsdecode(src), os.fsdecode(dst), ctypes.byref(options),  # type: ignore[misc]
                          ctypes.byref(report))
        else:
            lib.copy(os.fsencode(src), os.fsencode(dst), ctypes.byref(options), ctypes.byref(report))
        return _after(make_report(report, source=src, destination=dst), adapter)
    if is_path(destination):
        dst = _path_argument(destination, "destination")
        return _copy_to_path(source, dst, options, adapter)
    if not is_writer(destination):
        raise TypeError("marlune: the destination is a path or a writable binary file object, "
                        f"not {type(destination).__name__}")
    return _copy_to_writer(source, destination, options, adapter)


def _copy_to_writer(source: Any, destination: Any, options: lib.Options, adapter: ProgressAdapter,
                    dst_name: Optional[Union[str, bytes]] = None) -> Report:
    writer = WriterAdapter(destination)
    report = lib.Report()
    if is_path(source):
        src = _path_argument(source, "source")
        opened, failure = _open_source(src)
        if opened is None:
            return _after(failure, adapter)  # type: ignore[arg-type]
        with opened:
            reader = ReaderAdapter(opened)
            lib.copy_stream(ctypes.byref(reader.reader), ctypes.byref(writer.writer), ctypes.byref(options),
                            ctypes.byref(report))
        return _after(make_report(report, source=src, destination=dst_name), adapter, reader, writer)
    if is_reader(source):
        reader = ReaderAdapter(source)
        lib.copy_stream(ctypes.byref(reader.reader), ctypes.byref(writer.writer), ctypes.byref(options),
                        ctypes.byref(report))
        return _after(make_report(report, destination=dst_name), adapter, reader, writer)
    with Memory(source) as memory:
        lib.copy_memory(memory.address, memory.length, ctypes.byref(writer.writer), ctypes.byref(options),
                        ctypes.byref(report))
    return _after(make_report(report, destination=dst_name), adapter, None, writer)


def _open_source(path: Union[str, bytes]) -> Tuple[Optional[Any], Optional[Report]]:
    """A source path opened in Python, judged as the library judges one."""
    if not path:
        return None, failed_report(Status.NO_SOURCE_NAME, source=path)
    try:
        opened = open(path, "rb", buffering=0)
    except FileNotFoundError as error:
        return None, failed_report(Status.SOURCE_MISSING, error.errno, source=path)
    except IsADirectoryError as error:
        return None, failed_report(Status.SOURCE_NOT_A_FILE, error.errno, source=path)
    except PermissionError as error:
        return None, failed_report(Status.SOURCE_UNREADABLE, error.errno, source=path)
    except OSError as error:
        return None, failed_report(Status.SOURCE_UNREADABLE, error.errno or 0, source=path)
    if not stat.S_ISREG(os.fstat(opened.fileno()).st_mode):
        opened.close()
        return None, failed_report(Status.SOURCE_NOT_A_FILE, source=path)
    return opened, None


def _copy_to_path(source: Any, destination: Union[str, bytes], options: lib.Options,
                  adapter: ProgressAdapter) -> Report:
    """A copy from bytes or a file object to a path, written by the library as it
    writes any stream to a named file (marlune_copy_from_stream): beside, with its
    own partial file (locked, removable, known to tree runs), or in place."""
    report = lib.Report()
    name = encode(destination)
    if is_reader(source):
        reader: Any = ReaderAdapter(source)
        lib.copy_from_stream(ctypes.byref(reader.reader), name, ctypes.byref(options), ctypes.byref(report))
        return _after(make_report(report, destination=destination), adapter, reader)
    with Memory(source) as memory:
        reader = MemoryReader(memory.integer_address(), memory.length)
        lib.copy_from_stream(ctypes.byref(reader.reader), name, ctypes.byref(options), ctypes.byref(report))
    return _after(make_report(report, destination=destination), adapter)


def convert(path: PathType, *, replace: bool = True, progress: Optional[ProgressFunction] = None) -> Report:
    """Convert the file ``path`` to a ".kv" file beside it, then remove it.

    The copy is written beside the ".kv" name, its data and name put on stable
    storage, moved into place, and only then is the source removed. A path
    ending in ".kv" needs nothing (``Status.ALREADY_CONVERTED``). With
    ``replace=False`` an existing ".kv" file is kept (:class:`DestinationError`),
    unless it holds exactly this file's conversion already, when the source is
    removed (``Status.FINISHED``). A failed conversion keeps the source.
    ``progress`` is as for :func:`copy`. Returns the :class:`Report` (its
    ``destination`` the ".kv" name); raises a :class:`MarluneError` subclass on
    failure.
    """
    adapter = ProgressAdapter(progress)
    options = _options(replace, progress=adapter)
    src = _path_argument(path, "source")
    report = lib.Report()
    if _WINDOWS:
        lib.wide_convert(os.fsdecode(src), ctypes.byref(options), ctypes.byref(report))  # type: ignore[misc]
    else:
        lib.convert(os.fsencode(src), ctypes.byref(options), ctypes.byref(report))
    destination = None if report.status == Status.ALREADY_CONVERTED else kv_name(src)
    return _after(make_report(report, source=src, destination=destination, kind="convert"), adapter)


def kv_name(path: PathType) -> Union[str, bytes]:
    """The ".kv" name :func:`convert` gives ``path`` (of the type given: ``str`` or ``bytes``)."""
    value = os.fspath(path)
    raw = encode(value)
    size = lib.kv_name(raw, None, 0)
    buffer = ctypes.create_string_buffer(size)
    lib.kv_name(raw, buffer, size)
    name = buffer.raw[: size - 1]
    if isinstance(value, bytes):
        return name
    return name.decode("utf-8") if _WINDOWS else os.fsdecode(name)


def remove_partial(path: PathType) -> Report:
    """Remove a partial file (its name ends in ".marlune-partial") that a copy or
    conversion stopped by a crash left behind, unless one is still writing it
    (:class:`DestinationError`, ``Status.PARTIAL_IN_USE``)."""
    value = _path_argument(path, "partial file")
    report = lib.Report()
    lib.remove_partial(encode(value), ctypes.byref(report))
    return _after(make_report(report, source=value), None)


def version() -> str:
    """The C library's version ("1.0.0")."""
    return str(lib.version().decode("ascii"))


__all__ = ["examine", "copy", "convert", "kv_name", "remove_partial", "version", "MarluneError"]
