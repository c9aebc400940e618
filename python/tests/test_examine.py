import errno
import io
import os
from pathlib import Path

import pytest

import marlune
from conftest import BROKEN, FIXED, PER_CHUNK, command_records, needs_command, write


def test_a_complete_file_by_every_kind_of_path(tmp_path: Path) -> None:
    path = write(tmp_path / "take.snd", FIXED)
    for given in (str(path), os.fsencode(path), path):
        report = marlune.examine(given)
        assert report.status is marlune.Status.OK
        assert report.status_name == "MARLUNE_OK"
        assert report.reason == "complete container"
        assert report.complete and report.ok
        assert (report.magic, report.length_mode, report.data_offset) == (b"KVRB", 0, 128)
        assert (report.chunks, report.payload_bytes, report.length_fields_set) == (4, 1320, 2)
        assert report.source_bytes == len(FIXED)
        assert report.source == os.fspath(given)


@pytest.mark.parametrize("name", sorted(BROKEN))
def test_what_is_wrong_is_a_report_not_an_error(tmp_path: Path, name: str) -> None:
    data, status = BROKEN[name]
    report = marlune.examine(write(tmp_path / f"{name}.snd", data))
    assert report.status_name == "MARLUNE_" + status
    assert report.status == marlune.Status[status]
    assert not report.ok
    with pytest.raises(marlune.MarluneError) as raised:
        report.check()
    assert raised.value.report is report
    family = marlune.NotAContainer if status in ("NOT_A_CONTAINER", "DATA_OFFSET_BELOW_HEADER") else marlune.Truncated
    assert type(raised.value) is family


@needs_command
@pytest.mark.parametrize("name", sorted(BROKEN) + ["complete"])
def test_the_reason_is_the_commands(tmp_path: Path, name: str) -> None:
    data = FIXED if name == "complete" else BROKEN[name][0]
    path = write(tmp_path / f"{name}.snd", data)
    [record] = command_records("info", "--json", str(path))
    report = marlune.examine(path)
    assert report.reason == record["reason"]
    assert report.status_name == record["status"]


def test_the_reason_says_where_the_cut_is(tmp_path: Path) -> None:
    report = marlune.examine(write(tmp_path / "cut.snd", BROKEN["payload-cut"][0]))
    assert report.reason == "incomplete: the payload of chunk 2 at offset 474 is cut short, 238 of its 330 bytes are missing"
    assert (report.cut_offset, report.cut_size, report.cut_missing, report.chunk_number) == (474, 330, 238, 2)


def test_memory_without_copying(tmp_path: Path) -> None:
    expected = marlune.examine(write(tmp_path / "f.snd", PER_CHUNK))
    padded = bytearray(b"xx" + PER_CHUNK + b"yy")
    for given in (bytearray(PER_CHUNK), memoryview(PER_CHUNK), memoryview(padded)[2:-2]):
        report = marlune.examine(given)
        assert report.status is marlune.Status.OK
        assert (report.chunks, report.payload_bytes, report.length_mode) == (expected.chunks, 600, 1)
        assert report.source is None
    del given
    # A buffer shared with a bytearray cannot be resized while it is read.
    report = marlune.examine(memoryview(padded)[2:-2])
    padded.extend(b"z")
    assert report.source_bytes == len(PER_CHUNK)


def test_memory_that_is_not_contiguous() -> None:
    spread = bytes(b for byte in PER_CHUNK for b in (byte, 0))
    report = marlune.examine(memoryview(spread)[::2])
    assert report.status is marlune.Status.OK and report.chunks == 3


def test_bytes_are_a_path_and_the_error_says_how_to_give_content() -> None:
    with pytest.raises(ValueError, match="memoryview"):
        marlune.examine(FIXED)  # holds NUL bytes: no path
    with pytest.raises(marlune.SourceError, match="memoryview"):
        marlune.examine(b"KVRB-not-a-file-here")


def test_file_objects(tmp_path: Path) -> None:
    assert marlune.examine(io.BytesIO(FIXED)).chunks == 4
    # From the object's position on.
    with open(write(tmp_path / "f", b"0123" + FIXED), "rb") as file:
        file.seek(4)
        assert marlune.examine(file).status is marlune.Status.OK
    cut = marlune.examine(io.BytesIO(BROKEN["chunk-header-cut"][0]))
    assert cut.status is marlune.Status.CHUNK_HEADER_CUT and cut.cut_missing == 5


class OnlyRead:
    """A stream with read alone, that cannot seek, handing out a few bytes at a time."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def read(self, count: int) -> bytes:
        piece, self.data = self.data[: min(count, 7)], self.data[min(count, 7):]
        return piece


def test_a_stream_of_unknown_length() -> None:
    report = marlune.examine(OnlyRead(FIXED))
    assert report.status is marlune.Status.OK and report.chunks == 4


class FailingReader(io.RawIOBase):
    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:
        raise OSError(errno.ECONNRESET, "the peer went away")


def test_an_exception_of_the_reader_is_the_cause() -> None:
    with pytest.raises(marlune.SourceError) as raised:
        marlune.examine(FailingReader())
    assert raised.value.status is marlune.Status.READ_ERROR
    assert raised.value.report.system_error == errno.ECONNRESET
    assert isinstance(raised.value.__cause__, OSError) and raised.value.__cause__.errno == errno.ECONNRESET


def test_a_text_file_object_is_refused(tmp_path: Path) -> None:
    with open(write(tmp_path / "t", b"x"), "r", encoding="utf-8") as text, pytest.raises(TypeError, match="binary"):
        marlune.examine(text)


def test_what_cannot_be_read_raises(tmp_path: Path) -> None:
    with pytest.raises(marlune.SourceError) as raised:
        marlune.examine(tmp_path / "missing.snd")
    assert raised.value.status_name == "MARLUNE_SOURCE_MISSING"
    assert str(raised.value) == f"{tmp_path / 'missing.snd'}: no such file"
    with pytest.raises(marlune.SourceError, match="is a folder, not a file"):
        marlune.examine(tmp_path)
    with pytest.raises(marlune.BadName):
        marlune.examine("")
