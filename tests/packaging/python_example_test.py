"""Runs the Python example of docs/hosts.md against the built library, so that
the documented results and the pointer argument stay right.

Usage: python_example_test.py HOSTS_MD LIBRARY_DIR
"""
import os
import re
import subprocess
import sys
import tempfile


def container():
    header = bytearray(b"\x11" * 82)
    header[0:4] = b"KVRB"
    header[8:10] = (1).to_bytes(2, "little")  # chunks carry their own lengths
    header[20:24] = (82).to_bytes(4, "little")
    chunk = bytes([0, 0]) + (3).to_bytes(2, "little") + bytes(4) + b"abc"
    return bytes(header) + chunk


def main():
    hosts_md, library_dir = sys.argv[1], sys.argv[2]
    with open(hosts_md, encoding="utf-8") as f:
        example = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    with tempfile.TemporaryDirectory() as work:
        for name in ("in.snd", "take.snd"):
            with open(os.path.join(work, name), "wb") as f:
                f.write(container())
        env = dict(os.environ, LD_LIBRARY_PATH=library_dir)
        run = subprocess.run([sys.executable, "-c", example], cwd=work, env=env, capture_output=True, text=True)
        print(run.stdout, run.stderr)
        assert run.returncode == 0, "the example failed to run"
        assert "failed" not in run.stdout, "the example reported a failure"
        assert sorted(os.listdir(work)) == ["in.snd", "out.kv", "take.kv"], sorted(os.listdir(work))
        with open(os.path.join(work, "out.kv"), "rb") as f:
            assert f.read() == container()

        # A failing copy must be reported by the example's own checks.
        os.remove(os.path.join(work, "in.snd"))
        with open(os.path.join(work, "take.snd"), "wb") as f:
            f.write(container()[:-1])
        run = subprocess.run([sys.executable, "-c", example], cwd=work, env=env, capture_output=True, text=True)
        assert run.stdout.split("\n")[:2] == ["copy failed", "conversion failed"], run.stdout
        assert os.path.exists(os.path.join(work, "take.snd")), "a failed conversion removed its source"
    print("python example: ok")


main()
