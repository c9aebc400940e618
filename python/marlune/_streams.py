"""Python objects behind the library's callbacks: file objects as readers and
writers, bytes-like objects as memory, Python functions as progress callbacks.

An exception raised inside a callback never crosses into C: the callback keeps
it, answers the failure code, and the caller raises it once the library returns.
"""
from __future__ import annotations

import ctypes
import errno
import io
import os
from typing import Any, Callable, Optional

from . import _library as lib

ProgressFunction = Callable[[int, int], Any]


def _code_of(error: BaseException) -> int:
    code = getattr(error, "errno", None)
    return code if isinstance(code, int) and code > 0 else errno.EIO


class ProgressAdapter:
    """A Python progress function as the library's callback: a true answer cancels."""

    def __init__(self, function: Optional[ProgressFunction]) -> None:
        if function is not None and not callable(function):
            raise TypeError(f"marlune: progress is a function of (done, total), or None, not {function!r}")
        self.function = function
        self.error: Optional[BaseException] = None
        self.callback = lib.Progress(self._call) if function is not None else lib.Progress()

    def _call(self, done: int, total: int, _context: Any) -> int:
        if self.error is not None:
            return 1
        try:
            return 1 if self.function(done, total) else 0  # type: ignore[misc]
        except BaseException as error:  # noqa: B902 -- must not reach C; raised after the call
            self.error = error
            return 1


class TooMuchRead(ValueError):
    """A file object's read gave more bytes than it was asked for."""


class ReaderAdapter:
    """A readable binary file object as a marlune_reader.

    Its readinto (or read) is called for up to the library's buffer size at a
    time. When the object can seek, the bytes from its position to its end are
    the source's length, so a file that changes while it is read is noticed;
    otherwise the source ends where read says it ends. A read that gives more
    than it was asked for fails the copy (TooMuchRead): nothing of it reaches
    the library's buffer.
    """

    def __init__(self, stream: Any) -> None:
        if isinstance(stream, io.TextIOBase):
            raise TypeError("marlune: a text file object was given; open the file in binary mode ('rb')")
        self.stream = stream
        self.error: Optional[BaseException] = None
        self._readinto = getattr(stream, "readinto", None)
        self.callback = lib.ReadFunction(self._read)
        self.reader = lib.Reader(size=ctypes.sizeof(lib.Reader), read=self.callback)
        length = self._length()
        if length is not None:
            self.reader.length_known = 1
            self.reader.length = length

    def _length(self) -> Optional[int]:
        try:
            if not self.stream.seekable():
                return None
            here = self.stream.tell()
            end = self.stream.seek(0, os.SEEK_END)
            self.stream.seek(here)
            return max(0, end - here)
        except (AttributeError, OSError, ValueError):
            return None

    def _read(self, buffer: int, count: int, error: Any, _context: Any) -> int:
        try:
            if self._readinto is not None:
                view = memoryview((ctypes.c_char * count).from_address(buffer)).cast("B")
                try:
                    got = self._readinto(view)
                finally:
                    view.release()
                if got is not None:
                    got = self._counted(got, count, "readinto")
            else:
                data = self.stream.read(count)
                got = None if data is None else self._counted(len(memoryview(data)), count, "read")
                if got:
                    ctypes.memmove(buffer, bytes(data) if not isinstance(data, bytes) else data, got)
            if got is None:
                raise BlockingIOError(errno.EAGAIN, "the file object has no data now (non-blocking)")
            return got
        except BaseException as caught:  # noqa: B902
            self.error = caught
            error[0] = _code_of(caught)
            return -1

    def _counted(self, got: Any, count: int, how: str) -> int:
        if not isinstance(got, int) or isinstance(got, bool) or got < 0:
            raise TypeError(f"marlune: {self.stream!r}.{how}() answered {got!r}, not a count of bytes")
        if got > count:
            raise TooMuchRead(f"marlune: {self.stream!r}.{how}() gave {got} bytes when asked for at most {count}")
        return got


class MemoryReader:
    """The `length` bytes at `address` as a marlune_reader, for the library to
    write to a named file as it writes any stream."""

    def __init__(self, address: int, length: int) -> None:
        self.error: Optional[BaseException] = None
        self._address = address
        self._length = length
        self._at = 0
        self.callback = lib.ReadFunction(self._read)
        self.reader = lib.Reader(size=ctypes.sizeof(lib.Reader), length_known=1, length=length, read=self.callback)

    def _read(self, buffer: int, count: int, _error: Any, _context: Any) -> int:
        size = min(count, self._length - self._at)
        if size > 0:
            ctypes.memmove(buffer, self._address + self._at, size)
        self._at += size
        return size


class WriterAdapter:
    """A writable binary file object as a marlune_writer: every piece goes to its
    write, called again for what a raw file did not take at once."""

    def __init__(self, stream: Any) -> None:
        if isinstance(stream, io.TextIOBase):
            raise TypeError("marlune: a text file object was given; open the file in binary mode ('wb')")
        self.stream = stream
        self.error: Optional[BaseException] = None
        self.callback = lib.WriteFunction(self._write)
        self.writer = lib.Writer(size=ctypes.sizeof(lib.Writer), write=self.callback)

    def _write(self, buffer: int, count: int, _context: Any) -> int:
        try:
            # A copy: the object may keep what it is given, and the library's buffer is reused.
            data = memoryview(ctypes.string_at(buffer, count))
            while data:
                taken = self.stream.write(data)
                if taken is None:
                    raise BlockingIOError(errno.EAGAIN, "the file object takes no data now (non-blocking)")
                data = data[taken:]
            return 0
        except BaseException as caught:  # noqa: B902
            self.error = caught
            return _code_of(caught)


class Py_buffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.c_void_p),
        ("strides", ctypes.c_void_p),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(Py_buffer), ctypes.c_int]
_get_buffer.restype = ctypes.c_int
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(Py_buffer)]
_release_buffer.restype = None
_PyBUF_SIMPLE = 0


class Memory:
    """The bytes of a bytes-like object, in place: no copy for a contiguous buffer
    (bytes, bytearray, memoryview, mmap, array), which stays exported (so that it
    cannot be resized) until the block ends."""

    def __init__(self, data: Any) -> None:
        self._data = data
        self._view: Optional[Py_buffer] = None
        self.address: Any = None
        self.length = 0

    def __enter__(self) -> "Memory":
        data = self._data
        if isinstance(data, bytes):
            self.address, self.length = data, len(data)
            return self
        view = Py_buffer()
        try:
            _get_buffer(data, ctypes.byref(view), _PyBUF_SIMPLE)
        except BufferError:
            # Not contiguous: one copy is the only way to give C one run of bytes.
            self._data = memoryview(data).tobytes()
            self.address, self.length = self._data, len(self._data)
            return self
        self._view = view
        self.address, self.length = view.buf, view.len
        return self

    def integer_address(self) -> int:
        """Where the bytes are, as a number (also for bytes, which ctypes passes by themselves)."""
        if isinstance(self.address, bytes):
            return ctypes.cast(ctypes.c_char_p(self.address), ctypes.c_void_p).value or 0
        return int(self.address or 0)

    def __exit__(self, *_exc: Any) -> None:
        if self._view is not None:
            _release_buffer(ctypes.byref(self._view))
            self._view = None
