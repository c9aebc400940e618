"""Runs the Python blocks of docs/hosts/ (marlune_ctypes.py, example.py and the
check program on their declarations) against the built library, through the
host tests' own runner.

Usage: python_example_test.py HOSTS_DOCS LIBRARY_DIR
"""
import os
import subprocess
import sys
import tempfile

HOSTS_TEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hosts", "hosts_test.py")


def main():
    hosts_md, library_dir = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as work:
        run = subprocess.run([sys.executable, HOSTS_TEST, "--doc", hosts_md, "--build", work,
                              "--native-lib", library_dir, "python"])
    sys.exit(run.returncode)


main()
