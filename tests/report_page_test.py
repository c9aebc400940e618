#!/usr/bin/env python3
"""The report page of a run, opened in headless Chromium: it loads with no
console error and asks for nothing beyond itself, its numbers as rendered are
the JSON summary's, its table sorts, it reads without scripts, and Python's
marlune.report writes the same page. Three more runs show the verdict at the
top as a reader sees it: a clean mirror with its manifest, a mirror onto a
destination that fills up (a small tmpfs mounted in a user namespace), and a
verify that finds a copy rotted since the mirror wrote it. A screenshot of
each page is kept in ARTIFACT_FOLDER.

Usage: report_page_test.py MARLUNE LIBRARY PYTHON_PACKAGE_FOLDER|none ARTIFACT_FOLDER
Exits 77 (skipped) where no Chromium is installed; "none" leaves Python's page out.
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "browser"))
import devtools  # noqa: E402

# The summary's key for each outcome the page names.
SUMMARY_KEYS = {"converted": "converted", "copied": "copied", "salvaged": "salvaged", "complete": "complete",
                "would-convert": "wouldConvert", "already-kv": "alreadyKv", "skipped": "skipped", "kept": "kept",
                "failed": "failed", "finished": "finished", "partial-removed": "partialsRemoved",
                "collision": "collisions", "cancelled": "cancelled", "suspect": "suspects"}

RENDERED = """JSON.stringify({
  values: Object.fromEntries([...document.querySelectorAll('#summary [data-key]')]
                             .map(cell => [cell.dataset.key, cell.dataset.value])),
  shown: Object.fromEntries([...document.querySelectorAll('#summary [data-key]')]
                            .map(cell => [cell.dataset.key, cell.innerText])),
  rows: [...document.querySelectorAll('#files tbody tr')].map(row => row.cells[6].dataset.sort || ''),
  more: (document.getElementById('more') || {dataset: {}}).dataset.count || '0',
  charts: document.querySelectorAll('svg').length,
  scripts: [...document.scripts].filter(script => script.src).length,
})"""


def container(chunks, magic=b"KVRB"):
    header = bytearray(range(0x30, 0x30 + 82))
    header[0:4] = magic
    struct.pack_into("<h", header, 8, 0)
    struct.pack_into("<I", header, 20, 82)
    out = bytes(header)
    for serial in range(1, chunks + 1):
        out += struct.pack("<BBHI", serial % 256, 0x5A, 330, 0xC0C1C2C3) + bytes((serial + i) % 256 for i in range(330))
    return out


def archive(root):
    """Whole files, cuts at every tenth of a file, suspects, other files, and names
    that try to be markup."""
    whole = container(20)
    for n in range(300):
        folder = root / f"tape{n // 50:02}"
        folder.mkdir(exist_ok=True)
        data = whole if n % 3 else whole[: len(whole) * (n % 10 + 1) // 11]
        (folder / f"take{n:03}.snd").write_bytes(data)
    (root / "empty.snd").write_bytes(b"")
    (root / "riff.snd").write_bytes(b"RIFF" + whole[4:])
    (root / "notes.txt").write_bytes(b"not a recording")
    (root / "<img src=x onerror=alert(1)>.snd").write_bytes(whole[:900])
    with open(os.path.join(os.fsencode(root), b"caf\xe9 <b>.snd"), "wb") as f:
        f.write(whole[:400])


def check_page(browser, page, summary, shot):
    """The page's numbers against a JSON summary; returns what is wrong."""
    url = page.resolve().as_uri()
    browser.open(url)
    problems = browser.problems(url)
    shown = json.loads(browser.evaluate(RENDERED))
    values = shown["values"]
    # An examination writes nothing: its page has no line of bytes written.
    expected = {"files": summary["files"], "bytesRead": summary["bytesIn"]}
    for outcome, key in SUMMARY_KEYS.items():
        if summary[key]:
            expected[f"outcome:{outcome}"] = summary[key]
    got = {key: int(value) for key, value in values.items() if key != "seconds"}
    if got != expected:
        problems.append(f"numbers: the page shows {got}, the summary says {expected}")
    if not re.fullmatch(r"\d+\.\d (KiB|MiB)", shown["shown"]["bytesRead"]):
        problems.append(f"bytes read not as people read them: {shown['shown']['bytesRead']!r}")
    listed = len(shown["rows"]) + int(shown["more"])
    damaged = summary["failed"] + summary["suspects"] + summary["salvaged"]
    if listed != damaged:
        problems.append(f"the table lists {listed} files, {damaged} are failed, damaged or suspect")
    if shown["charts"] != 4 or shown["scripts"] != 0:
        problems.append(f"{shown['charts']} charts, {shown['scripts']} scripts from elsewhere")
    # A click on "missing bytes" sorts by it, as numbers.
    browser.evaluate("document.querySelectorAll('#files th')[6].click()")
    missing = json.loads(browser.evaluate(RENDERED))["rows"]
    numbers = [int(m) for m in missing if m]
    if numbers != sorted(numbers) or len(numbers) < 2:
        problems.append(f"not sorted by missing bytes: {missing[:10]}")
    browser.screenshot(shot)
    print(f"report_page_test: screenshot {shot}")
    return problems


def python_report(root, page, env, summary):
    """marlune.report writes its page; its counts are the command's."""
    script = ("import dataclasses, json, sys, marlune; "
              "print(json.dumps(dataclasses.asdict(marlune.report(sys.argv[1], sys.argv[2], rows=40))))")
    python = subprocess.run(["/usr/bin/python3", "-c", script, str(root), str(page)], capture_output=True, env=env,
                            timeout=300)
    if python.returncode != 0:
        return [f"marlune.report: {python.stderr.decode()}"]
    if json.loads(python.stdout)["files"] != summary["files"]:
        return [f"marlune.report counts {python.stdout.decode()}, the command {summary}"]
    return []


VERDICT = """(() => {
  const verdict = document.getElementById('verdict');
  const text = id => (document.getElementById(id) || {}).innerText || '';
  return JSON.stringify({
    verdict: verdict ? verdict.innerText : '',
    tone: verdict ? verdict.className : '',
    top: verdict ? verdict.getBoundingClientRect().top : -1,
    background: verdict ? getComputedStyle(verdict).backgroundColor : '',
    manifest: text('manifest'),
    checked: text('checked'),
    statuses: [...document.querySelectorAll('#files tbody tr')].map(row => row.cells[2].innerText),
    keys: [...document.querySelectorAll('#summary [data-key]')].map(cell => cell.dataset.key),
    charts: [...document.querySelectorAll('svg')].map(svg => svg.getAttribute('aria-label')),
    statusLabels: [...document.querySelectorAll('svg[aria-label="files by status"] text:not(.count)')]
                  .map(label => label.textContent),
  });
})()"""

# The verdict's background as the browser paints it, by its tone.
BACKGROUNDS = {"safe": "rgb(227, 244, 225)", "warning": "rgb(255, 243, 214)", "unsafe": "rgb(253, 226, 224)"}
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"


def whole_archive(root):
    """Whole recordings (about 20 KiB each, 490 KiB in all) and a text file."""
    whole = container(60)
    for n in range(24):
        folder = root / f"reel{n // 8}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"take{n:02}.snd").write_bytes(whole)
    (root / "notes.txt").write_bytes(b"the session's notes\n")


def mounted_run(size, destination, command, env):
    """COMMAND with a tmpfs of SIZE bytes mounted at DESTINATION, in a user namespace of its own;
    None where this system has no such namespace."""
    if shutil.which("unshare") is None:
        return None
    script = 'mount -t tmpfs -o size="$1" marlune-page "$2" || exit 99; shift 2; exec "$@"'
    result = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, "sh", str(size),
                             str(destination), *command], capture_output=True, env=env, timeout=300)
    # No namespace (a chroot may make none: unshare says why) or no mount in it.
    return None if result.returncode == 99 or result.stderr.startswith(b"unshare:") else result


def check_verdict(browser, page, shot, case):
    """The verdict as the reader sees it: words, colour, at the top; returns what is wrong."""
    name, tone, words = case["name"], case["tone"], case["words"]
    if not page.exists():
        return [f"{name}: no page written"]
    url = page.resolve().as_uri()
    browser.open(url)
    problems = [f"{name}: {p}" for p in browser.problems(url)]
    shown = json.loads(browser.evaluate(VERDICT))
    browser.screenshot(shot)
    print(f"report_page_test: {name}: \"{shown['verdict']}\" ({shown['tone']}), screenshot {shot}")
    if not re.fullmatch(words, shown["verdict"]):
        problems.append(f"{name}: the verdict reads {shown['verdict']!r}, not /{words}/")
    if shown["tone"] != tone or shown["background"] != BACKGROUNDS[tone]:
        problems.append(f"{name}: the verdict is {shown['tone']} on {shown['background']}, not {tone}")
    if not 0 <= shown["top"] < 80:
        problems.append(f"{name}: the verdict is not at the top ({shown['top']} px down)")
    for label in shown["statusLabels"]:
        if not re.fullmatch(r"[a-z].* \(MARLUNE_[A-Z_0-9]+\)", label):
            problems.append(f"{name}: a status named without words: {label!r}")
    for key, pattern in case.get("texts", {}).items():
        if not re.search(pattern, shown[key]):
            problems.append(f"{name}: {key} reads {shown[key]!r}, not /{pattern}/")
    for status in case.get("statuses", []):
        if not any(status in cell for cell in shown["statuses"]):
            problems.append(f"{name}: no listed file has {status}: {shown['statuses']}")
    if case.get("writes", True) != ("bytesWritten" in shown["keys"]):
        problems.append(f"{name}: bytes written {'missing' if case.get('writes', True) else 'shown'}: {shown['keys']}")
    if "offsets of the cuts" in shown["charts"]:
        problems.append(f"{name}: a histogram of cuts with no file cut short")
    return problems


def verdict_runs(executable, marlune, env, folder, artifacts):
    """A clean mirror, a mirror onto a destination that fills up, and verifies that find rot."""
    folder = Path(folder)
    source, copy, full = folder / "reels", folder / "mirror", folder / "small"
    whole_archive(source)
    copy.mkdir()
    full.mkdir()
    manifest = folder / "reels.sha256"
    pages = {name: folder / f"{name}.html" for name in ("mirror", "full", "rot", "rot-source")}
    failures = []
    cases = []

    run = subprocess.run([marlune, "copy", "-r", "--mirror", "--manifest", str(manifest), "--report",
                          str(pages["mirror"]), str(source), str(copy)], capture_output=True, env=env, timeout=300)
    if run.returncode != 0:
        failures.append(f"the clean mirror exited {run.returncode}: {run.stderr.decode()}")
    cases.append({"name": "mirror", "tone": "safe", "words": r"Every file arrived and its manifest is written\.",
                  "texts": {"manifest": r"^The manifest is written: " + re.escape(str(manifest))}})

    stopped = mounted_run(256 << 10, full, [marlune, "copy", "-r", "--mirror", "-j", "1", "--manifest",
                                            str(folder / "small.sha256"), "--report", str(pages["full"]),
                                            str(source), str(full)], env)
    if stopped is None:
        print("report_page_test: the disk-full page left out: no user namespace here to mount a small file system in")
    else:
        if stopped.returncode != 1:
            failures.append(f"the full mirror exited {stopped.returncode}: {stopped.stderr.decode()}")
        cases.append({"name": "full", "tone": "unsafe",
                      "words": r"1 file failed because the destination filled up; \d+ files were not started"
                               r" \([\d.]+ (KiB|MiB) more was needed\)\.",
                      "statuses": ["the destination's disk is full (MARLUNE_DISK_FULL)"],
                      "texts": {"manifest": r"^No manifest was written at .*: the destination's disk is full"}})

    # One byte of a copy rots; its size and time stay, so that only its bytes tell.
    rotten = copy / "reel1" / "take09.snd"
    before = rotten.stat()
    data = bytearray(rotten.read_bytes())
    data[len(data) // 2] ^= 0x01
    rotten.write_bytes(bytes(data))
    os.utime(rotten, ns=(before.st_atime_ns, before.st_mtime_ns))
    for name, command in (("rot", ["--manifest", str(manifest)]), ("rot-source", [str(source)])):
        run = subprocess.run([marlune, "verify", "--report", str(pages[name]), *command, str(copy)],
                             capture_output=True, env=env, timeout=300)
        if run.returncode != 1:
            failures.append(f"{name}: verify exited {run.returncode}: {run.stderr.decode()}")
    cases.append({"name": "rot", "tone": "unsafe", "writes": False,
                  "words": rf"1 file differs from the manifest of {STAMP}\.",
                  "texts": {"checked": r"^Checked .* against the manifest " + re.escape(str(manifest)) +
                                       rf", written {STAMP} \(UTC\)"},
                  "statuses": ["(MARLUNE_VERIFY_NOT_AS_LISTED)"]})
    cases.append({"name": "rot-source", "tone": "unsafe", "writes": False,
                  "words": r"1 file differs from " + re.escape(str(source)) + r"\.",
                  "texts": {"checked": r"^Checked .* against " + re.escape(str(source))},
                  "statuses": ["(MARLUNE_VERIFY_DIFFERENT)"]})

    with devtools.Browser(executable) as browser:
        for case in cases:
            failures += check_verdict(browser, pages[case["name"]], artifacts / f"verdict-{case['name']}.png", case)
    return failures


def readable_without_scripts(executable, page):
    with devtools.Browser(executable) as browser:
        browser.open(page.resolve().as_uri(), scripts=False)
        return browser.evaluate("document.querySelector('#summary [data-key=files]').textContent")


def main():
    marlune, library, package, artifacts = sys.argv[1:5]
    executable = devtools.browser()
    if executable is None:
        print("report_page_test: skipped: no chromium here (scripts/install-deps.sh installs it)")
        return 77
    artifacts = Path(artifacts)
    artifacts.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, LC_ALL="C.UTF-8", MARLUNE_LIBRARY=library, PYTHONPATH=package)
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "archive"
        root.mkdir()
        archive(root)
        page = Path(folder) / "report.html"
        result = subprocess.run([marlune, "info", "-r", "--json", "--report", str(page), str(root)],
                                capture_output=True, env=env, timeout=300)
        summary = json.loads(result.stdout.decode().splitlines()[-1])
        python_page = None
        if package == "none":
            print("report_page_test: Python's page left out (this library cannot be loaded into Python)")
        else:
            python_page = Path(folder) / "python.html"
            failures += python_report(root, python_page, env, summary)
        with devtools.Browser(executable) as browser:
            failures += check_page(browser, page, summary, artifacts / "report-page.png")
            if python_page is not None and python_page.exists():
                failures += [f"python: {p}" for p in check_page(browser, python_page, summary,
                                                                artifacts / "report-page-python.png")]
        if readable_without_scripts(executable, page) != str(summary["files"]):
            failures.append("without scripts the page shows no summary")
        failures += verdict_runs(executable, marlune, env, folder, artifacts)
    for failure in failures:
        print(f"report_page_test: FAIL: {failure}")
    print(f"report_page_test: {summary['files']} files, {'failed' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
