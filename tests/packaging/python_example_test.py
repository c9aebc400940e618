"""Runs the Python package's example (the quick start of python/README.md) against
a built library: the package imported from the source tree, the library named by
MARLUNE_LIBRARY, its output compared with the README's.

Usage: python_example_test.py SOURCE_DIR LIBRARY_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def main():
    source, library_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    with open(os.path.join(source, "python", "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("<!-- python-quick-start: begin -->")[1].split("<!-- python-quick-start: end -->")[0]
    [code] = re.findall(r"^```python\n(.*?)^```$", section, re.S | re.M)
    [printed] = re.findall(r"^```text\n(.*?)^```$", section, re.S | re.M)
    with tempfile.TemporaryDirectory() as work:
        shutil.copytree(os.path.join(source, "samples"), os.path.join(work, "samples"))
        with open(os.path.join(work, "example.py"), "w", encoding="utf-8") as f:
            f.write(code)
        env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") and k != "VIRTUAL_ENV"}
        env.update(PYTHONPATH=os.path.join(source, "python"), LC_ALL="C.UTF-8", TMPDIR=work,
                   MARLUNE_LIBRARY=os.path.join(library_dir, "libmarlune.so.1"))
        # -B: no bytecode written into the source tree.
        run = subprocess.run([sys.executable, "-B", "example.py"], cwd=work, env=env, capture_output=True,
                             text=True)
        # The README's folder is one of tempfile's names; here it is under TMPDIR.
        expected = re.escape(printed).replace(re.escape("/tmp/tmpk2v9x1qe"), re.escape(work) + "/tmp[^/]+")
        if run.returncode != 0 or not re.fullmatch(expected, run.stdout):
            sys.exit(f"FAIL: the example (exit status {run.returncode}) printed:\n{run.stdout}{run.stderr}"
                     f"--- python/README.md shows:\n{printed}")
    print("ok: the Python package's example, as python/README.md shows it")


main()
