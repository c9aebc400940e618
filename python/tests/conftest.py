"""Shared by the tests: containers built byte by byte, and the marlune command
(MARLUNE_COMMAND) when the test run names it."""
from __future__ import annotations

import json
import os
import struct
import subprocess
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import pytest


def container(chunks: Sequence[Tuple[int, int]] = ((330, 330),) * 3, *, magic: bytes = b"KVRB",
              length_mode: int = 0, preamble: int = 0, data_offset: Optional[int] = None) -> bytes:
    """A container: each chunk is (the length its header stores, the payload bytes it holds).
    Deterministic, so that a failing case can be rebuilt and looked at."""
    header = bytearray((0xA0 + i) & 0xFF for i in range(82))
    header[0:4] = magic.ljust(4, b"\0")[:4]
    struct.pack_into("<h", header, 8, length_mode)
    struct.pack_into("<I", header, 20, 82 + preamble if data_offset is None else data_offset)
    out = bytearray(header)
    out += bytes((i * 7 + 3) & 0xFF for i in range(preamble))
    for serial, (stored, payload) in enumerate(chunks, start=1):
        chunk_header = bytearray([serial & 0xFF, (serial ^ 0x5A) & 0xFF, 0, 0, 0xC4, 0xC5, 0xC6, serial & 0xFF])
        struct.pack_into("<H", chunk_header, 2, stored)
        out += chunk_header + bytes((serial * 31 + i) & 0xFF for i in range(payload))
    return bytes(out)


# A fixed-length container whose headers store other lengths than 330, and a per-chunk one.
FIXED = container([(330, 330), (12, 330), (0, 330), (330, 330)], preamble=46)
PER_CHUNK = container([(100, 100), (0, 0), (500, 500)], length_mode=1)

# One source per way a container can be wrong, with the status the library gives it.
BROKEN = {
    "empty": (b"", "NOT_A_CONTAINER"),
    "short-magic": (b"RI", "NOT_A_CONTAINER"),
    "short-header": (b"KV", "HEADER_CUT"),
    "wrong-magic": (b"RIFF" + FIXED[4:], "NOT_A_CONTAINER"),
    "header-cut": (FIXED[:50], "HEADER_CUT"),
    "offset-below-header": (container(data_offset=40), "DATA_OFFSET_BELOW_HEADER"),
    "preamble-cut": (FIXED[:100], "PREAMBLE_CUT"),
    "chunk-header-cut": (FIXED[: 82 + 46 + 338 + 3], "CHUNK_HEADER_CUT"),
    "payload-cut": (FIXED[: 82 + 46 + 338 + 100], "PAYLOAD_CUT"),
}


def normalised(data: bytes) -> bytes:
    """What a copy of a fixed-length container holds: every chunk 330 bytes, stored as 330."""
    data_offset = struct.unpack_from("<I", data, 20)[0]
    out = bytearray(data[:data_offset])
    at = data_offset
    while at < len(data):
        out += data[at:at + 2] + struct.pack("<H", 330) + data[at + 4:at + 8] + data[at + 8:at + 338]
        at += 338
    return bytes(out)


@pytest.fixture(autouse=True)
def _plain_environment(monkeypatch: pytest.MonkeyPatch) -> None:
    # The command's words and Python's file names, whatever the machine's locale.
    monkeypatch.setenv("LC_ALL", "C.UTF-8")
    monkeypatch.setenv("LANG", "C.UTF-8")


def command() -> Optional[str]:
    return os.environ.get("MARLUNE_COMMAND") or None


needs_command = pytest.mark.skipif(command() is None, reason="MARLUNE_COMMAND names no marlune command")


def command_records(*arguments: str) -> List[dict]:
    """The command's --json file records for the arguments."""
    done = subprocess.run([command(), *arguments], capture_output=True, text=True,  # type: ignore[list-item]
                          env={**os.environ, "LC_ALL": "C.UTF-8"}, check=False)
    records = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    return [r for r in records if r.get("record") == "file"]


def write(path: Path, data: bytes) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path
