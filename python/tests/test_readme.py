"""The quick start of python/README.md, run exactly as printed, in a copy of the repository.

It builds the library, so it runs only when MARLUNE_README_TEST is set (as
scripts/test.d/70-python.sh does). The README's Python section is this text.
"""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
README = REPOSITORY / "python" / "README.md"


def quick_start() -> str:
    text = README.read_text(encoding="utf-8")
    return text.split("<!-- python-quick-start: begin -->")[1].split("<!-- python-quick-start: end -->")[0]


def blocks(section: str, language: str) -> list:
    return re.findall(rf"^```{language}\n(.*?)^```$", section, flags=re.S | re.M)


def repository_files() -> list:
    """The checkout as it is, changes not yet committed too; outside git (a copy of the tree
    without its history), every file but builds and caches."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                                cwd=REPOSITORY, capture_output=True, check=True).stdout.split(b"\0")
        names = [os.fsdecode(name) for name in listed if name]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for folder, subfolders, files in os.walk(REPOSITORY):
            subfolders[:] = [d for d in subfolders if not (d.startswith(("build", ".git", "venv")) or
                                                             d in ("__pycache__", "out") or d.endswith(".egg-info"))]
            names += [os.path.relpath(os.path.join(folder, f), REPOSITORY) for f in files]
    return [name for name in names if (REPOSITORY / name).is_file()]


def test_the_quick_start_has_three_commands_and_ten_lines() -> None:
    section = quick_start()
    [commands] = blocks(section, "sh")
    [code] = blocks(section, "python")
    assert len(commands.splitlines()) == 3
    assert len(code.splitlines()) == 10


@pytest.mark.skipif(not os.environ.get("MARLUNE_README_TEST"), reason="MARLUNE_README_TEST is not set")
def test_the_quick_start_works_as_printed(tmp_path: Path) -> None:
    section = quick_start()
    [commands] = blocks(section, "sh")
    [code] = blocks(section, "python")
    [printed] = blocks(section, "text")
    copy = tmp_path / "marlune"
    for name in repository_files():
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPOSITORY / name, copy / name)
    (copy / "example.py").write_text(code, encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("MARLUNE_LIBRARY", "PYTHONPATH", "VIRTUAL_ENV")}
    # A brand-new Debian's python3 is /usr/bin/python3.
    env["PATH"] = "/usr/bin:/bin:" + env.get("PATH", "")
    env["LC_ALL"] = "C.UTF-8"
    env["TMPDIR"] = str(tmp_path)
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", commands], cwd=copy, env=env, capture_output=True,
                          text=True, check=False)
    assert done.returncode == 0, done.stderr
    expected = re.escape(printed).replace(re.escape("/tmp/tmpk2v9x1qe"), re.escape(str(tmp_path)) + "/tmp[^/]+")
    assert re.fullmatch(expected, done.stdout), done.stdout


def test_the_top_readme_carries_the_same_quick_start() -> None:
    # The repository's README.md may show the quick start too, between the same markers:
    # then it is this one, word for word, so that the copy tested here is the copy read there.
    top = (REPOSITORY / "README.md").read_text(encoding="utf-8")
    if "<!-- python-quick-start: begin -->" not in top:
        pytest.skip("README.md has no Python quick start")
    shown = top.split("<!-- python-quick-start: begin -->")[1].split("<!-- python-quick-start: end -->")[0]
    assert shown == quick_start()
