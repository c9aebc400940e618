"""What a careless or hostile caller hands over is refused, never truncated,
crashed on or read without end; the package's partial files are the library's."""
import io
import os
import subprocess
import sys
from pathlib import Path

import pytest

import marlune
from conftest import FIXED, normalised, write


class Overreader(io.RawIOBase):
    """read(n) gives n + 8 MiB; no readinto."""

    readinto = None  # type: ignore[assignment]

    def readable(self) -> bool:
        return True

    def read(self, count: int = -1) -> bytes:
        return bytes(count + (8 << 20))


class LyingReadinto(io.RawIOBase):
    """readinto says it put more than the buffer holds."""

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:
        buffer[:4] = b"KVRB"[: len(buffer)]
        return len(buffer) + 1000


def test_a_read_that_gives_more_than_asked_is_a_source_error_naming_the_object(tmp_path: Path) -> None:
    # In a child process: the fault this guards against killed the process.
    code = ("import marlune, sys\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "from test_hostile_callers import Overreader, LyingReadinto\n"
            "for kind in (Overreader, LyingReadinto):\n"
            "    try:\n"
            "        marlune.copy(kind(), sys.argv[2])\n"
            "    except marlune.SourceError as error:\n"
            "        print(type(error.__cause__).__name__, 'gave' in str(error), kind.__name__ in str(error))\n")
    done = subprocess.run([sys.executable, "-c", code, str(Path(__file__).parent), str(tmp_path / "out.kv")],
                          capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
                          check=False, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["TooMuchRead True True"] * 2
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("function", [marlune.status_name, marlune.status_text])
def test_a_status_is_an_integer_that_fits(function) -> None:  # type: ignore[no-untyped-def]
    with pytest.raises(TypeError):
        function(3.5)
    with pytest.raises(TypeError):
        function("51")
    for too_large in (2**32, 2**32 + 51, 2**31, -2**31 - 1):
        with pytest.raises(OverflowError):
            function(too_large)
    assert marlune.status_name(marlune.Status.PAYLOAD_CUT) == "MARLUNE_PAYLOAD_CUT"
    assert marlune.status_name(-2**31) == "MARLUNE_UNKNOWN"


def test_options_of_the_wrong_type_are_refused(tmp_path: Path) -> None:
    source = write(tmp_path / "in.snd", FIXED)
    for wrong in ({"replace": "no"}, {"replace": 0}, {"in_place": None}, {"salvage": 1}, {"durability": 2},
                  {"progress": 5}):
        with pytest.raises(TypeError):
            marlune.copy(source, tmp_path / "out.kv", **wrong)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        marlune.convert(source, replace="yes")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        marlune.examine(3.5)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.snd"]


def test_a_file_object_copied_to_a_path_writes_the_librarys_partial_file(tmp_path: Path) -> None:
    big = FIXED[:128] + FIXED[128:466] * 10000
    seen = []

    def progress(done: int, total: int) -> None:
        for partial in (tmp_path / "t").iterdir():
            with pytest.raises(marlune.DestinationError) as raised:
                marlune.remove_partial(partial)
            seen.append((partial.name.endswith(".marlune-partial"), raised.value.status))

    (tmp_path / "t").mkdir()
    report = marlune.copy(io.BytesIO(big), tmp_path / "t" / "a.kv", progress=progress)
    assert report.status is marlune.Status.OK and report.source_bytes == len(big)
    assert seen and set(seen) == {(True, marlune.Status.PARTIAL_IN_USE)}
    assert [p.name for p in (tmp_path / "t").iterdir()] == ["a.kv"]
    assert (tmp_path / "t" / "a.kv").read_bytes() == normalised(big)


def test_a_stream_longer_than_it_said_is_answered_at_once(tmp_path: Path) -> None:
    class Growing(io.RawIOBase):
        """Seekable, so its length is stated; it grows while it is read."""

        def __init__(self) -> None:
            self.inner = io.BytesIO(FIXED)
            self.reads = 0

        def readable(self) -> bool:
            return True

        def seekable(self) -> bool:
            return True

        def seek(self, offset: int, whence: int = 0) -> int:
            return self.inner.seek(offset, whence)

        def tell(self) -> int:
            return self.inner.tell()

        def readinto(self, buffer: memoryview) -> int:
            self.reads += 1
            got = self.inner.readinto(buffer)
            if got == 0:
                buffer[:1] = b"\0"
                return 1
            return got

    growing = Growing()
    with pytest.raises(marlune.SourceError) as raised:
        marlune.copy(growing, tmp_path / "out.kv")
    assert raised.value.status is marlune.Status.SOURCE_CHANGED
    assert growing.reads <= 3 and list(tmp_path.iterdir()) == []
