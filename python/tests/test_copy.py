import errno
import io
import os
import threading
import time
from pathlib import Path

import pytest

import marlune
from conftest import BROKEN, FIXED, PER_CHUNK, command_records, needs_command, normalised, write


def leftovers(folder: Path) -> list:
    return sorted(p.name for p in folder.iterdir() if "marlune-" in p.name)


def test_path_to_path_normalises(tmp_path: Path) -> None:
    source = write(tmp_path / "in.snd", FIXED)
    report = marlune.copy(source, tmp_path / "out.kv")
    assert report.status is marlune.Status.OK and report.reason == "done"
    assert report.bytes_written == len(FIXED) and report.length_fields_set == 2
    assert (tmp_path / "out.kv").read_bytes() == normalised(FIXED)
    assert report.destination == os.fspath(tmp_path / "out.kv")


@pytest.mark.parametrize("kind", ["bytearray", "memoryview", "file", "path"])
def test_to_a_file_object(tmp_path: Path, kind: str) -> None:
    path = write(tmp_path / "in.snd", FIXED)
    source = {"bytearray": bytearray(FIXED), "memoryview": memoryview(FIXED), "file": io.BytesIO(FIXED),
              "path": path}[kind]
    out = io.BytesIO()
    report = marlune.copy(source, out)
    assert out.getvalue() == normalised(FIXED)
    assert report.bytes_written == len(FIXED) and report.chunks == 4


@pytest.mark.parametrize("kind", ["memoryview", "file"])
def test_from_memory_or_a_file_object_to_a_path(tmp_path: Path, kind: str) -> None:
    source = memoryview(PER_CHUNK) if kind == "memoryview" else io.BytesIO(PER_CHUNK)
    report = marlune.copy(source, tmp_path / "out.kv", durability="data-and-name")
    assert report.status is marlune.Status.OK
    assert (tmp_path / "out.kv").read_bytes() == PER_CHUNK
    assert leftovers(tmp_path) == []


def test_a_failure_leaves_the_destination_as_it_was(tmp_path: Path) -> None:
    old = write(tmp_path / "out.kv", b"the earlier file")
    with pytest.raises(marlune.Truncated) as raised:
        marlune.copy(memoryview(BROKEN["payload-cut"][0]), old)
    assert raised.value.status is marlune.Status.PAYLOAD_CUT
    assert old.read_bytes() == b"the earlier file" and leftovers(tmp_path) == []
    with pytest.raises(marlune.Truncated):
        marlune.copy(write(tmp_path / "cut.snd", BROKEN["payload-cut"][0]), old)
    assert old.read_bytes() == b"the earlier file"


@pytest.mark.parametrize("from_memory", [False, True])
def test_replace_false_keeps_an_existing_file(tmp_path: Path, from_memory: bool) -> None:
    old = write(tmp_path / "out.kv", b"keep me")
    source = memoryview(FIXED) if from_memory else write(tmp_path / "in.snd", FIXED)
    with pytest.raises(marlune.DestinationError) as raised:
        marlune.copy(source, old, replace=False)
    assert raised.value.status_name == "MARLUNE_DESTINATION_EXISTS"
    assert old.read_bytes() == b"keep me" and leftovers(tmp_path) == []
    marlune.copy(source, tmp_path / "new.kv", replace=False)
    assert (tmp_path / "new.kv").read_bytes() == normalised(FIXED)


@pytest.mark.parametrize("from_memory", [False, True])
def test_in_place_keeps_what_was_copied_before_a_failure(tmp_path: Path, from_memory: bool) -> None:
    cut = BROKEN["payload-cut"][0]
    source = memoryview(cut) if from_memory else write(tmp_path / "cut.snd", cut)
    with pytest.raises(marlune.Truncated):
        marlune.copy(source, tmp_path / "out.kv", in_place=True)
    # The header, the preamble and the one whole chunk.
    assert (tmp_path / "out.kv").read_bytes() == normalised(FIXED)[: 82 + 46 + 338]


def test_salvage(tmp_path: Path) -> None:
    report = marlune.copy(write(tmp_path / "cut.snd", BROKEN["payload-cut"][0]), tmp_path / "out.kv", salvage=True)
    assert report.status is marlune.Status.SALVAGED and report.ok
    assert report.reason == ("the source's chunks are cut short; every whole one was copied "
                             "(at offset 474, 238 of 330 bytes missing)")
    assert marlune.examine(tmp_path / "out.kv").complete


@needs_command
@pytest.mark.parametrize("name", ["payload-cut", "header-cut", "wrong-magic", "preamble-cut"])
def test_the_reason_is_the_commands(tmp_path: Path, name: str) -> None:
    source = write(tmp_path / "in.snd", BROKEN[name][0])
    [record] = command_records("copy", "--json", str(source), str(tmp_path / "a.kv"))
    with pytest.raises(marlune.MarluneError) as raised:
        marlune.copy(source, tmp_path / "b.kv")
    assert raised.value.report.reason == record["reason"]
    assert raised.value.status_name == record["status"]
    assert str(raised.value) == f"{source}: {record['reason']}"


def test_progress_and_cancelling(tmp_path: Path) -> None:
    big = write(tmp_path / "big.snd", FIXED[:128] + FIXED[128:466] * 10000)
    calls = []
    marlune.copy(big, tmp_path / "a.kv", progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (big.stat().st_size, big.stat().st_size) and len(calls) >= 3
    with pytest.raises(marlune.Cancelled) as raised:
        marlune.copy(big, tmp_path / "b.kv", progress=lambda done, total: done > 0)
    assert raised.value.status is marlune.Status.CANCELLED
    assert not (tmp_path / "b.kv").exists() and leftovers(tmp_path) == []


def test_an_exception_of_the_progress_function_is_raised_as_it_is(tmp_path: Path) -> None:
    problem = KeyError("mine")

    def progress(done: int, total: int) -> None:
        raise problem

    with pytest.raises(KeyError) as raised:
        marlune.copy(memoryview(FIXED), io.BytesIO(), progress=progress)
    assert raised.value is problem


class FullDisk(io.RawIOBase):
    def writable(self) -> bool:
        return True

    def write(self, data: memoryview) -> int:
        raise OSError(errno.ENOSPC, "No space left on device")


class Trickle(io.RawIOBase):
    """Takes a few bytes per write, as a raw pipe may."""

    def __init__(self) -> None:
        self.taken = bytearray()

    def writable(self) -> bool:
        return True

    def write(self, data: memoryview) -> int:
        self.taken += bytes(data[:5])
        return min(5, len(data))


def test_file_object_destinations() -> None:
    with pytest.raises(marlune.DiskFull) as raised:
        marlune.copy(memoryview(FIXED), FullDisk())
    assert raised.value.report.system_error == errno.ENOSPC
    assert isinstance(raised.value.__cause__, OSError)
    trickle = Trickle()
    marlune.copy(memoryview(FIXED), trickle)
    assert bytes(trickle.taken) == normalised(FIXED)


def test_arguments_checked(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="durability"):
        marlune.copy(memoryview(FIXED), tmp_path / "x", durability="all")
    with pytest.raises(TypeError):
        marlune.copy(memoryview(FIXED), 42)
    with pytest.raises(marlune.DestinationError) as raised:
        marlune.copy(write(tmp_path / "s", FIXED), tmp_path / "s")
    assert raised.value.status is marlune.Status.DESTINATION_IS_SOURCE


def test_two_threads_copy_at_once(tmp_path: Path) -> None:
    # With a switch interval this long, a thread running Python is never made to let
    # another run: the two copies can overlap only because the library's calls run
    # without the GIL. A busy machine may still run one thread's copy before the
    # other's has begun, so a few tries are allowed; with the GIL held, none overlaps.
    sources = [write(tmp_path / f"{i}.snd", FIXED[:128] + FIXED[128:466] * 60000) for i in range(2)]

    def overlapped() -> bool:
        start = threading.Barrier(2)
        spans = [[], []]

        def run(i: int) -> None:
            start.wait()
            marlune.copy(sources[i], tmp_path / f"{i}.kv", progress=lambda d, t: spans[i].append(time.monotonic()))

        interval = __import__("sys").getswitchinterval()
        __import__("sys").setswitchinterval(100)
        try:
            threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            __import__("sys").setswitchinterval(interval)
        (a0, a1), (b0, b1) = (spans[0][0], spans[0][-1]), (spans[1][0], spans[1][-1])
        return a0 < b1 and b0 < a1

    assert any(overlapped() for _ in range(5)), "the copies ran one after the other"
