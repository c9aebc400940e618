#!/usr/bin/env python3
"""The marlune command, run as a user runs it: exit codes, output, files.

Usage: cli_test.py MARLUNE SAMPLE MAN_PAGE BASH_COMPLETION
"""
import base64
import csv
import errno
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

MARLUNE = ""
SAMPLE = b""
MAN_PAGE = ""
COMPLETION = ""
SOURCE_DIR = ""  # the source tree, whose cli/main.cpp holds the command's table of options

# The shipped sample: fixed-length mode, a 46-byte preamble, 12 chunks of 330.
SAMPLE_DATA_OFFSET = 128
CHUNK = 8 + 330

JSON_KEYS = {"file", "complete", "size", "magic", "magicHex", "lengthMode", "chunkLengths", "dataOffset",
             "preambleBytes", "chunks", "payloadBytes", "lengthFieldsToRewrite", "problem"}
PROBLEM_KEYS = {"kind", "message", "offset", "expectedBytes", "missingBytes", "chunk"}
# What every command's --json gives for each file, and in its closing summary.
RECORD_KEYS = {"record", "command", "file", "destination", "outcome", "status", "statusCode", "reason",
               "systemError", "cutPiece", "cutOffset", "cutExpectedBytes", "cutMissingBytes", "chunk", "bytesIn",
               "bytesOut"}
SUMMARY_KEYS = {"record", "command", "dryRun", "files", "converted", "copied", "salvaged", "complete",
                "wouldConvert", "alreadyKv", "skipped", "kept", "failed", "finished", "partialsRemoved", "collisions",
                "cancelled", "suspects", "notStarted", "interrupted", "unchanged", "copiedAsIs", "damaged", "linked",
                "deleted", "matched", "different", "restored", "safe", "verdict",
                "linksNotFollowed", "bytesIn", "bytesOut", "seconds", "bytesPerSecond"}
TIMING_KEYS = {"seconds", "bytesPerSecond"}


def run(*args, cwd=None, input=None):
    return subprocess.run([MARLUNE, *args], capture_output=True, cwd=cwd, timeout=120, input=input)


def json_lines(output):
    """A --json run's output: the file records and the summary, checked for their keys."""
    records = [json.loads(line) for line in output.decode().splitlines()]
    assert records and records[-1]["record"] == "summary", output
    assert set(records[-1]) == SUMMARY_KEYS, records[-1]
    for record in records[:-1]:
        assert record["record"] == "file" and RECORD_KEYS <= set(record), record
    return records[:-1], records[-1]


def container(length_mode, preamble, chunks, magic=b"KVRB"):
    """A container whose chunks are (stored length, payload bytes) pairs."""
    header = bytearray(range(0x30, 0x30 + 82))
    header[0:4] = magic
    struct.pack_into("<h", header, 8, length_mode)
    struct.pack_into("<I", header, 20, 82 + len(preamble))
    out = bytes(header) + preamble
    for serial, (stored, payload) in enumerate(chunks, 1):
        out += struct.pack("<BBHI", serial % 256, 0x5A, stored, 0xC0C1C2C3) + bytes((serial + i) % 256 for i in range(payload))
    return out


def flattened(record):
    """A JSON record as a CSV row has it: "problem.kind" for a member of "problem", null as ""."""
    def text(value):
        return "" if value is None else ("true" if value else "false") if isinstance(value, bool) else str(value)
    out = {}
    for key, value in record.items():
        if isinstance(value, dict):
            out.update({f"{key}.{k}": text(v) for k, v in value.items()})
        elif not (key == "problem" and value is None):
            out[key] = text(value)
    return out


def sample_as_copied():
    """The sample as a copy writes it: every chunk's length field set to 330."""
    copied = bytearray(SAMPLE)
    for n in range(12):
        struct.pack_into("<H", copied, SAMPLE_DATA_OFFSET + n * CHUNK + 2, 330)
    return bytes(copied)


def with_data_offset(data, offset):
    patched = bytearray(data)
    struct.pack_into("<I", patched, 20, offset)
    return bytes(patched)


class Folder(unittest.TestCase):
    def setUp(self):
        self._folder = tempfile.TemporaryDirectory()
        self.dir = self._folder.name

    def tearDown(self):
        self._folder.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def as_a_user(self):
        """The command and how to run it as a user whom permissions hold: nobody when the
        test runs as root, with the command and its library copied where nobody may read
        them (the build folder may lie in root's home)."""
        os.chmod(self.dir, 0o755)
        if os.geteuid() != 0:
            return MARLUNE, {}
        copies = self.path(".command")
        os.makedirs(copies, mode=0o755, exist_ok=True)
        linked = subprocess.run(["ldd", MARLUNE], capture_output=True, text=True).stdout
        library = next(line.split("=>")[1].split()[0] for line in linked.splitlines() if "libmarlune" in line)
        shutil.copy(library, copies)
        command = shutil.copy(MARLUNE, copies)
        environment = dict(os.environ, LD_LIBRARY_PATH=copies)
        return command, {"user": 65534, "group": 65534, "extra_groups": [], "env": environment}

    def info_json(self, *names):
        """info --json: the old keys of each file, beside the common ones, one line each."""
        result = run("info", "--json", *[self.path(n) for n in names])
        self.assertEqual(result.stderr, b"")
        records, summary = json_lines(result.stdout)
        self.assertEqual(summary["files"], len(names))
        reports = [{k: v for k, v in r.items() if k in JSON_KEYS} for r in records]
        return result.returncode, reports[0] if len(names) == 1 else reports


class Usage(Folder):
    def test_version_is_the_libraries(self):
        result = run("--version")
        self.assertEqual((result.returncode, result.stdout), (0, b"marlune 1.0.0\n"))

    def test_help_is_general_or_per_command(self):
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith(b"Usage: marlune COMMAND"))
        for command in ("copy", "convert", "info", "salvage"):
            for args in ((command, "--help"), ("-h", command)):
                result = run(*args)
                self.assertEqual(result.returncode, 0, args)
                self.assertTrue(result.stdout.startswith(b"Usage: marlune " + command.encode()), args)

    def test_usage_errors_exit_2_and_say_so_on_standard_error(self):
        source = self.write("a.snd", SAMPLE)
        for args in ((), ("frob",), ("info",), ("convert",), ("copy", source), ("copy", source, "b", "c"),
                     ("info", "--bogus", source), ("copy", "-r", source, "b.kv"), ("info", "-q", source),
                     ("-x",), ("salvage", source), ("info", "--dry-run", source), ("copy", "--force", source, "b.kv"),
                     ("convert", "--in-place", source), ("convert", "-j", "0", source), ("convert", "-j"),
                     ("convert", "-jx", source), ("convert", "-0", source), ("convert", "-L", source),
                     ("convert", "--files-from")):
            result = run(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertEqual(result.stdout, b"", args)
            self.assertIn(b"Try 'marlune --help'.", result.stderr, args)
        self.assertFalse(os.path.exists(self.path("b.kv")))

    def test_double_dash_ends_the_options(self):
        self.write("-q", SAMPLE)
        result = run("info", "--", "-q", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stdout)


class InfoText(Folder):
    def test_complete_fixed_length_sample(self):
        result = run("info", self.write("take1.snd", SAMPLE))
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(lines[0], self.path("take1.snd") + ": complete container")
        fields = {line[:17].strip(): line[17:] for line in lines[1:]}
        self.assertEqual(fields["size"], "4184 bytes")
        self.assertEqual(fields["magic"], "KVRB")
        self.assertEqual(fields["lengthMode"], "0: fixed 330-byte payloads")
        self.assertEqual(fields["dataOffset"], "128 (preamble: 46 bytes)")
        self.assertEqual(fields["chunks"], "12")
        self.assertEqual(fields["payload"], "3960 bytes")
        self.assertEqual(fields["length fields"], "9 of 12 not 330; a copy sets them to 330")
        # One file's verdict is all: no summary after it, as the README shows.
        self.assertEqual(len(lines), 8)

    def test_says_where_a_payload_is_cut_short(self):
        cut = SAMPLE[:SAMPLE_DATA_OFFSET + 2 * CHUNK + 8 + 100]
        result = run("info", self.write("cut.snd", cut))
        self.assertEqual(result.returncode, 1)
        first = result.stdout.decode().splitlines()[0]
        self.assertTrue(first.endswith(": incomplete: the payload of chunk 3 at offset 812 is cut short, "
                                       "230 of its 330 bytes are missing"), first)
        self.assertIn(b"  chunks         2 complete\n", result.stdout)

    def test_several_files_each_get_their_verdict_and_one_bad_file_fails_the_run(self):
        good = self.write("good.snd", SAMPLE)
        bad = self.write("bad.txt", b"hello, world, this is text")
        result = run("info", good, bad, self.path("missing.snd"))
        self.assertEqual(result.returncode, 1)
        text = result.stdout.decode()
        self.assertIn(good + ": complete container\n", text)
        self.assertIn(bad + ': not a container: its magic is "hell", not "KVRB" or "fx30"\n', text)
        self.assertIn(self.path("missing.snd") + ": no such file\n", text)
        self.assertIn("1 complete, 1 skipped (not a container), 1 failed\n", text)


class InfoJson(Folder):
    def check_problem(self, name, data, kind, offset=None, expected=None, missing=None, chunk=None):
        self.write(name, data)
        code, report = self.info_json(name)
        # A file that is no container is skipped, not failed: folders hold other files.
        self.assertEqual(code, 0 if kind == "wrong-magic" else 1)
        self.assertFalse(report["complete"])
        self.assertEqual(set(report), JSON_KEYS)
        problem = report["problem"]
        self.assertEqual(set(problem), PROBLEM_KEYS)
        self.assertEqual((problem["kind"], problem["offset"], problem["expectedBytes"], problem["missingBytes"],
                          problem["chunk"]), (kind, offset, expected, missing, chunk))
        self.assertTrue(problem["message"])
        return report

    def test_complete_sample(self):
        self.write("take1.snd", SAMPLE)
        code, report = self.info_json("take1.snd")
        self.assertEqual(code, 0)
        self.assertEqual(report, {
            "file": self.path("take1.snd"), "complete": True, "size": 4184, "magic": "KVRB",
            "magicHex": "4b565242", "lengthMode": 0, "chunkLengths": "fixed", "dataOffset": 128,
            "preambleBytes": 46, "chunks": 12, "payloadBytes": 3960, "lengthFieldsToRewrite": 9,
            "problem": None})
        # An examination reads and writes nothing: its bytes are the ones read.
        self.write("cut.snd", SAMPLE[:1000])
        result = run("info", "--json", self.path("take1.snd"), self.path("cut.snd"))
        records, summary = json_lines(result.stdout)
        self.assertEqual([(r["bytesIn"], r["bytesOut"]) for r in records], [(4184, 0), (1000, 0)])
        self.assertEqual((summary["bytesIn"], summary["bytesOut"]), (5184, 0))

    def test_per_chunk_lengths_including_an_empty_payload(self):
        self.write("var.snd", container(7, b"", [(5, 5), (0, 0), (700, 700)], magic=b"fx30"))
        code, report = self.info_json("var.snd")
        self.assertEqual(code, 0)
        self.assertEqual((report["magic"], report["lengthMode"], report["chunkLengths"], report["preambleBytes"],
                          report["chunks"], report["payloadBytes"], report["lengthFieldsToRewrite"]),
                         ("fx30", 7, "per-chunk", 0, 3, 705, 0))

    def test_negative_length_mode_is_fixed(self):
        data = bytearray(SAMPLE)
        struct.pack_into("<h", data, 8, -32768)
        self.write("neg.snd", bytes(data))
        code, report = self.info_json("neg.snd")
        self.assertEqual((code, report["lengthMode"], report["chunkLengths"]), (0, -32768, "fixed"))

    def test_an_empty_chunk_area_is_complete(self):
        self.write("empty.snd", SAMPLE[:SAMPLE_DATA_OFFSET])
        code, report = self.info_json("empty.snd")
        self.assertEqual((code, report["complete"], report["chunks"], report["payloadBytes"]), (0, True, 0, 0))

    def test_cut_in_a_chunk_header(self):
        at = SAMPLE_DATA_OFFSET + 2 * CHUNK
        report = self.check_problem("cut.snd", SAMPLE[:at + 3], "chunk-header-cut", at, 8, 5, 3)
        self.assertEqual((report["chunks"], report["payloadBytes"]), (2, 660))

    def test_cut_in_a_payload(self):
        at = SAMPLE_DATA_OFFSET + 11 * CHUNK + 8
        self.check_problem("cut.snd", SAMPLE[:-1], "payload-cut", at, 330, 1, 12)

    def test_cut_in_the_header(self):
        report = self.check_problem("short.snd", SAMPLE[:50], "header-cut", 0, 82, 32)
        self.assertEqual((report["magic"], report["lengthMode"], report["chunks"]), ("KVRB", None, None))

    def test_data_offset_past_the_end(self):
        report = self.check_problem("far.snd", with_data_offset(SAMPLE, 5000), "data-offset-past-end",
                                    82, 5000 - 82, 5000 - 4184)
        self.assertEqual((report["dataOffset"], report["chunks"]), (5000, None))

    def test_data_offset_below_82(self):
        report = self.check_problem("low.snd", with_data_offset(SAMPLE, 81), "data-offset-below-82")
        self.assertEqual((report["dataOffset"], report["preambleBytes"]), (81, None))

    def test_wrong_magic_is_shown_as_read(self):
        report = self.check_problem("a.png", b"\x89PNG\r\n\x1a\n" + bytes(100), "wrong-magic")
        self.assertEqual((report["magic"], report["magicHex"], report["lengthMode"]), ("\\x89PNG", "89504e47", None))
        for magic in (b"kvrb", b"FX30", b"KVRA"):
            report = self.check_problem("other.snd", magic + SAMPLE[4:], "wrong-magic")
            self.assertEqual(report["magic"], magic.decode())

    def test_tiny_files_that_rule_out_both_magics_are_skipped_and_a_magics_start_is_cut_short(self):
        os.makedirs(self.path("tiny"))
        for name, data in (("hi.snd", b"hi\n"), ("empty.snd", b""), ("ab.snd", b"ab")):
            self.write("tiny/" + name, data)
        for command in ("info", "convert"):
            result = run(command, "-r", "--json", "tiny", cwd=self.dir)
            records, summary = json_lines(result.stdout)
            # Named as containers, they are suspects, but fail no run.
            self.assertEqual((result.returncode, summary["suspects"], summary["skipped"], summary["failed"]),
                             (0, 3, 0, 0), command)
            self.assertEqual({r["status"] for r in records}, {"MARLUNE_NOT_A_CONTAINER"}, command)
        self.assertEqual(sorted(os.listdir(self.path("tiny"))), ["ab.snd", "empty.snd", "hi.snd"])
        text = run("info", "-r", "tiny", cwd=self.dir).stdout.decode()
        self.assertIn("tiny/empty.snd: not a container: the file is empty\n", text)
        self.assertIn('tiny/hi.snd: not a container: its 3 bytes "hi\\x0a" begin neither "KVRB" nor "fx30"\n', text)
        self.assertIn("0 complete, 0 skipped (not a container), 0 failed, 3 suspect (named as containers, but not)\n",
                      text)
        report = self.check_problem("kv.snd", b"KV", "header-cut", 0, 82, 80)
        self.assertEqual(report["magic"], None)
        result = run("convert", "--json", self.path("kv.snd"))
        records, _ = json_lines(result.stdout)
        self.assertEqual((result.returncode, records[0]["outcome"], records[0]["status"]),
                         (1, "failed", "MARLUNE_HEADER_CUT"))

    def test_a_missing_file(self):
        code, report = self.info_json("missing.snd")
        self.assertEqual((code, report["size"], report["magic"], report["problem"]["kind"]),
                         (1, None, None, "cannot-open"))

    def test_a_folder_is_no_file_and_the_message_points_to_r(self):
        os.mkdir(self.path("folder"))
        result = run("info", self.path("folder"), "/dev/null")
        self.assertEqual(result.returncode, 1)
        text = result.stdout.decode()
        self.assertIn(self.path("folder") + ": is a folder, not a file (-r looks inside it)\n", text)
        self.assertIn("/dev/null: is not a regular file\n", text)

    def test_several_files_make_an_array_in_order_and_names_stay_valid_json(self):
        names = ["b.snd", "a.snd", "caf\u00e9.snd", "bad\udcff.snd"]
        self.write(names[0], SAMPLE)
        self.write(names[1], SAMPLE[:100])
        self.write(names[2], SAMPLE)
        self.write(names[3], SAMPLE)
        code, reports = self.info_json(*names)
        self.assertEqual(code, 1)
        self.assertEqual([r["complete"] for r in reports], [True, False, True, True])
        self.assertEqual([r["file"] for r in reports[:3]], [self.path(n) for n in names[:3]])
        self.assertEqual(reports[3]["file"], self.path("bad\ufffd.snd"))


class NamesThatAreNotUtf8(Folder):
    # Lead bytes 0xF8-0xFF, overlong forms, UTF-16 surrogates written as UTF-8, sequences cut short.
    NAMES = [b"\xf8\x88\x80\x80\x80", b"\xf9\x80\x80\x80", b"\xfc\x80\x80\x80", b"\xfd\xbf\xbf\xbf\xbf\xbf",
             b"\xfe", b"\xff\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xf0\x80\x80\xaf", b"\xed\xa0\x80",
             b"\xed\xbf\xbf", b"\xe2\x82", b"\xf0\x9f\x8e", b"\xf4\x90\x80\x80"]

    def test_every_json_line_is_utf8_with_u_fffd_for_what_is_not(self):
        paths = []
        for n, name in enumerate(self.NAMES):
            path = os.path.join(self.dir.encode(), b"%02d" % n + name + b".snd")
            with open(path, "wb") as f:
                f.write(SAMPLE if n % 2 else b"text")
            paths.append(path)
        for args in (("info", "--json"), ("convert", "-n", "--json"), ("convert", "--json")):
            result = subprocess.run([MARLUNE, *args, *paths], capture_output=True, timeout=60)
            lines = result.stdout.splitlines()
            self.assertEqual(len(lines), len(paths) + 1, args)
            for line, path in zip(lines, paths):
                record = json.loads(line.decode())  # strict: raises on any byte that is not UTF-8
                self.assertEqual(record["file"].encode("utf-8", "surrogatepass")[:len(self.dir) + 3],
                                 path[:len(self.dir) + 3], args)
                self.assertIn("\ufffd", record["file"], args)
                if record["destination"] is not None:
                    self.assertIn("\ufffd", record["destination"], args)


class AgreesWithTheCopy(Folder):
    """info calls a file complete exactly when the library copies it."""

    def check_prefixes(self, data, lengths):
        for length in lengths:
            source = self.write("in.snd", data[:length])
            copied = run("copy", "-q", source, self.path("out.kv")).returncode
            inspected = run("info", source).returncode
            self.assertEqual(inspected, copied, f"first {length} bytes")

    # An empty file is no container (skipped by info), not one cut short.
    def test_every_prefix_of_a_per_chunk_container(self):
        data = container(1, b"pre", [(5, 5), (0, 0), (12, 12)])
        self.check_prefixes(data, range(1, len(data) + 1))

    def test_prefixes_of_the_fixed_length_sample(self):
        ends = [SAMPLE_DATA_OFFSET + n * CHUNK for n in range(3)]
        self.check_prefixes(SAMPLE, sorted({1, 3, 4, 81, 82, 100} | {e + d for e in ends for d in (-1, 0, 1, 7, 8, 9)}))


class Copy(Folder):
    def test_fixed_length_copy_rewrites_only_the_length_fields(self):
        result = run("copy", self.write("take1.snd", SAMPLE), self.path("take1.kv"))
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual(self.read("take1.kv"), sample_as_copied())

    def test_per_chunk_copy_is_byte_for_byte(self):
        data = container(3, b"preamble", [(1, 1), (0, 0), (400, 400)])
        self.assertEqual(run("copy", self.write("v.snd", data), self.path("v.kv")).returncode, 0)
        self.assertEqual(self.read("v.kv"), data)

    def test_failure_says_why_unless_quiet(self):
        bad = self.write("bad.snd", b"RIFF" + bytes(200))
        result = run("copy", bad, self.path("out.kv"))
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, b"", f"marlune: {bad}: the source is not a KVRB container\n".encode()))
        missing = self.path("missing.snd")
        result = run("copy", missing, self.path("out.kv"))
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"marlune: {missing}: the source file does not exist\n".encode()))
        # -q means the same everywhere: the failure's line names the file, not why.
        result = run("copy", "-q", bad, self.path("out.kv"))
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, b"", f"marlune: {bad}: not copied\n".encode()))
        result = run("salvage", "--quiet", bad, self.path("out.kv"))
        self.assertEqual((result.returncode, result.stderr), (1, f"marlune: {bad}: not salvaged\n".encode()))
        cut = self.write("cut.snd", SAMPLE[:-3])
        result = run("copy", cut, self.path("out.kv"), "--quiet", "--show-errors")
        self.assertEqual((result.returncode, result.stderr), (1, (
            f"marlune: {cut}: the source ends inside a chunk's payload "
            "(at offset 3854, 3 of 330 bytes missing)\n").encode()))


class Convert(Folder):
    def test_a_mix_of_good_bad_and_converted_files(self):
        self.write("a.snd", SAMPLE)
        self.write("b.wav", SAMPLE)
        self.write("c.kv", b"not even a container")
        self.write("bad.snd", b"junk")
        self.write("cut.snd", SAMPLE[:1000])
        names = ["a.snd", "b.wav", "c.kv", "bad.snd", "cut.snd", "missing.snd"]
        result = run("convert", *names, cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode().splitlines()[0],
                         "2 converted, 1 already .kv, 0 skipped (not a container), 0 kept (.kv exists), 2 failed, "
                         "1 suspect (named as containers, but not)")
        self.assertEqual(result.stderr.decode().splitlines(), [
            "marlune: cut.snd: the source ends inside a chunk's payload (at offset 812, 142 of 330 bytes missing)",
            "marlune: missing.snd: the source file does not exist",
        ])
        # A failed conversion leaves nothing at the ".kv" name, nor beside it.
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.kv", "b.kv", "bad.snd", "c.kv", "cut.snd"])
        self.assertEqual(self.read("a.kv"), sample_as_copied())
        self.assertEqual(self.read("c.kv"), b"not even a container")

    def test_all_good_exits_0_and_quiet_failures_still_name_the_file(self):
        for name in ("a.snd", "b.snd"):
            self.write(name, SAMPLE)
        result = run("convert", "a.snd", "b.snd", "b.kv", cwd=self.dir)
        self.assertEqual((result.returncode, result.stdout.splitlines()[0], result.stderr),
                         (0, b"2 converted, 1 already .kv, 0 skipped (not a container), 0 kept (.kv exists), 0 failed",
                          b""))
        self.assertRegex(result.stdout.splitlines()[1].decode(), r"^0\.0 MiB in, 0\.0 MiB out, [0-9.]+ s, [0-9.]+ MiB/s$")
        self.write("bad.snd", SAMPLE[:100])
        result = run("convert", "-q", "bad.snd", cwd=self.dir)
        self.assertEqual((result.returncode, result.stderr), (1, b"marlune: bad.snd: not converted\n"))

    def test_convert_r_keeps_each_sources_time_and_mode(self):
        """As a user whom permissions hold: a read-only or private source's .kv is as it was."""
        command, as_user = self.as_a_user()
        os.makedirs(self.path("rec"))
        modes = {"ro.snd": 0o444, "private.snd": 0o600, "group.snd": 0o640}
        for name, mode in modes.items():
            self.write("rec/" + name, SAMPLE)
            os.utime(self.path("rec/" + name), (978307200, 978307200))  # 2001-01-01
            os.chmod(self.path("rec/" + name), mode)
        if as_user:
            for name in ["rec", *("rec/" + n for n in modes)]:
                os.chown(self.path(name), 65534, 65534)
        result = subprocess.run([command, "convert", "-r", "rec"], capture_output=True, cwd=self.dir, timeout=120,
                                **as_user)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(sorted(os.listdir(self.path("rec"))), ["group.kv", "private.kv", "ro.kv"])
        for name, mode in modes.items():
            kv = os.stat(self.path("rec/" + name[:-len(".snd")] + ".kv"))
            self.assertEqual((name, kv.st_mtime, kv.st_mode & 0o7777), (name, 978307200, mode))

    def many_files(self, count):
        names = []
        for n in range(count):
            names.append(self.write(f"f{n}.snd", SAMPLE if n % 3 else SAMPLE[:200]))
        return names

    def test_no_progress_line_when_not_on_a_terminal(self):
        result = run("convert", *self.many_files(9))
        self.assertEqual(result.returncode, 1)
        self.assertNotIn(b"\r", result.stderr)
        self.assertNotIn(b"converting", result.stderr)
        self.assertEqual(len(result.stderr.splitlines()), 3)
        self.assertTrue(result.stdout.startswith(b"6 converted, 0 already .kv, 0 skipped (not a container), "
                                                 b"0 kept (.kv exists), 3 failed\n"))

    def test_progress_line_on_a_terminal(self):
        text = convert_on_terminal(self.many_files(9))
        self.assertIn("9/9 files, 0.0 MiB of 0.0 MiB", text)
        self.assertIn("\r", text)
        self.assertIn("the source ends inside a chunk's payload", text)
        self.assertIn("6 converted, 0 already .kv", text)


def listing(top):
    """Every file under `top`, relative, with its bytes."""
    out = {}
    for folder, _, files in os.walk(top):
        for name in files:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                with open(path, "rb") as f:
                    out[os.path.relpath(path, top)] = f.read()
    return out


class Mirror(Folder):
    """copy -r --mirror, its reruns, --delete and --manifest, and verify, as an archivist runs them."""

    def make_tree(self):
        os.makedirs(self.path("arch/sub"))
        self.write("arch/a.snd", SAMPLE)
        self.write("arch/cut.snd", SAMPLE[:1000])
        self.write("arch/notes with spaces.txt", b"notes")
        self.write("arch/sub/empty", b"")
        self.write("arch/line\nbreak", b"n")
        self.write(os.fsdecode(b"arch/bad\xff.snd"), SAMPLE)
        self.write("arch/sub/read-only", b"kept")
        os.chmod(self.path("arch/sub/read-only"), 0o440)
        os.utime(self.path("arch/a.snd"), (978307200, 978307200))  # 2001-01-01
        os.symlink("a.snd", self.path("arch/link.snd"))
        os.makedirs(self.path("outside"))
        self.write("outside/precious", b"p")

    def test_every_file_arrives_and_verify_and_sha256sum_agree(self):
        self.make_tree()
        result = run("copy", "-r", "--mirror", "--sync", "--manifest", "manifest", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("2 copied, 4 copied as is, 1 damaged (copied as is), 1 linked, 0 unchanged, 0 failed\n",
                      result.stdout.decode(errors="surrogateescape"))
        self.assertIn("arch/cut.snd: damaged, copied as it is: the source ends inside a chunk's payload",
                      result.stdout.decode(errors="surrogateescape"))
        self.assertEqual(os.stat(self.path("mirror/a.snd")).st_mtime, 978307200)
        self.assertEqual(os.stat(self.path("mirror/sub/read-only")).st_mode & 0o777, 0o440)
        self.assertEqual(os.readlink(self.path("mirror/link.snd")), "a.snd")
        check = subprocess.run(["sha256sum", "--strict", "-c", self.path("manifest")], cwd=self.path("mirror"),
                               capture_output=True, env={"LC_ALL": "C.UTF-8"})
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout.count(b": OK"), 7)
        self.assertEqual(run("verify", "arch", "mirror", cwd=self.dir).returncode, 0)
        self.assertEqual(run("verify", "--manifest", "manifest", "mirror", cwd=self.dir).returncode, 0)

        # A rerun writes nothing; one source touched is copied again, alone.
        again = run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        self.assertIn(b" 8 unchanged, ", again.stdout)
        os.utime(self.path("arch/notes with spaces.txt"), (1, 1))
        again = run("copy", "-r", "--mirror", "-v", "arch", "mirror", cwd=self.dir)
        self.assertIn("arch/notes with spaces.txt: copied as it is\n", again.stdout.decode(errors="surrogateescape"))
        self.assertIn(b" 7 unchanged, ", again.stdout)

    def test_names_with_a_cr_lf_or_backslash_pass_sha256sum_and_verify(self):
        """Such names go into the manifest escaped as coreutils escapes them; both readers pass the copies."""
        names = ["ends in cr\r", "line\nbreak", "back\\slash", "\r\n\\ all three"]
        os.makedirs(self.path("arch"))
        for name in names:
            self.write("arch/" + name, name.encode())
        result = run("copy", "-r", "--mirror", "--manifest", "manifest", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path("manifest"), "rb") as manifest:
            lines = manifest.read().split(b"\n")
        self.assertEqual(lines.pop(), b"")
        self.assertEqual(len(lines), len(names))
        for line in lines:
            self.assertTrue(line.startswith(b"\\") and b"\r" not in line, line)
        check = subprocess.run(["sha256sum", "--strict", "-c", self.path("manifest")], cwd=self.path("mirror"),
                               capture_output=True, env={"LC_ALL": "C.UTF-8"})
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout.count(b": OK"), len(names))
        verify = run("verify", "--manifest", "manifest", "mirror", cwd=self.dir)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    def test_a_mirror_a_rot_a_rerun_and_a_verify_end_with_a_manifest_that_still_finds_the_rot(self):
        """An unchanged copy's line is carried over, never read from the copy: a rotted copy keeps
        its recorded digest; --checksum tells it apart and copies it again."""
        self.make_tree()
        mirror = ("copy", "-r", "--mirror", "--manifest", "manifest", "arch", "mirror")
        self.assertEqual(run(*mirror, cwd=self.dir).returncode, 0)
        written = self.read("manifest")
        rotted = self.path("mirror/notes with spaces.txt")
        stat = os.stat(rotted)
        with open(rotted, "r+b") as f:
            f.write(b"N")
        os.utime(rotted, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        again = run(*mirror, cwd=self.dir)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn(b" 8 unchanged, ", again.stdout)
        self.assertEqual(self.read("manifest"), written)
        self.assertEqual(run("verify", "--manifest", "manifest", "mirror", cwd=self.dir).returncode, 1)
        check = subprocess.run(["sha256sum", "-c", self.path("manifest")], cwd=self.path("mirror"),
                               capture_output=True, env={"LC_ALL": "C.UTF-8"})
        self.assertIn(b"notes with spaces.txt: FAILED\n", check.stdout)
        # A manifest named anew takes the sources' digests.
        self.assertEqual(run(*mirror[:4], "fresh", "arch", "mirror", cwd=self.dir).returncode, 0)
        self.assertEqual(self.read("fresh"), written)

        checked = run("copy", "-r", "--mirror", "--checksum", "--manifest", "manifest", "arch", "mirror",
                      cwd=self.dir)
        self.assertEqual(checked.returncode, 0, checked.stderr)
        self.assertIn(b"arch/notes with spaces.txt: the copy had changed since it was written", checked.stdout)
        self.assertIn(b"\n1 copy had changed since written, copied again from the source\n", checked.stdout)
        self.assertEqual(self.read("mirror/notes with spaces.txt"), b"notes")
        self.assertEqual(self.read("manifest"), written)
        self.assertEqual(run("verify", "--manifest", "manifest", "mirror", cwd=self.dir).returncode, 0)

    def test_a_manifest_is_put_in_place_only_when_every_file_arrived(self):
        self.make_tree()
        self.assertEqual(run("copy", "-r", "--mirror", "--manifest", "manifest", "arch", "mirror",
                             cwd=self.dir).returncode, 0)
        written = self.read("manifest")
        self.write("arch/new.txt", b"new")
        os.makedirs(self.path("mirror/new.txt/in the way"))
        for name in ("manifest", "other"):
            with self.subTest(name=name):
                result = run("copy", "-r", "--mirror", "--manifest", name, "arch", "mirror", cwd=self.dir)
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"marlune: no manifest was written, {name} is left as it was: ".encode(),
                              result.stderr)
                self.assertIn(b", 1 failed\n", result.stdout)
        self.assertEqual(self.read("manifest"), written)
        self.assertEqual(sorted(os.listdir(self.dir)), ["arch", "manifest", "mirror", "outside"])

    def test_a_manifest_name_that_cannot_be_used_stops_the_run_before_any_work(self):
        self.make_tree()
        self.write("mirror-stray.snd", SAMPLE)
        for name, words in (("arch/a.snd", "would be a file of the source or of its copy"),
                            ("mirror/a.snd", "would be a file of the source or of its copy"),
                            ("mirror-stray.snd", "holds something other than a manifest, and is left as it is"),
                            ("no/such/folder/m", "cannot be written: No such file or directory"),
                            ("arch/a.snd/m", "cannot be written: Not a directory")):
            with self.subTest(name=name):
                shutil.rmtree(self.path("mirror"), ignore_errors=True)
                os.makedirs(self.path("mirror"))
                self.write("mirror/a.snd", b"old")
                result = run("copy", "-r", "--mirror", "--manifest", name, "arch", "mirror", cwd=self.dir)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr, f"marlune: copy -r: --manifest {name} {words}\n".encode())
                self.assertEqual(self.read("arch/a.snd"), SAMPLE)
                self.assertEqual(os.listdir(self.path("mirror")), ["a.snd"])
                self.assertEqual(self.read("mirror/a.snd"), b"old")
        self.assertEqual(self.read("mirror-stray.snd"), SAMPLE)
        command, as_user = self.as_a_user()
        os.makedirs(self.path("locked"), mode=0o555)
        os.chmod(self.path("locked"), 0o555)
        shutil.rmtree(self.path("mirror"))
        os.makedirs(self.path("mirror"), mode=0o777)
        os.chmod(self.path("mirror"), 0o777)
        os.chmod(self.path("arch"), 0o755)
        result = subprocess.run([command, "copy", "-r", "--mirror", "--manifest", "locked/m", "arch", "mirror"],
                                capture_output=True, cwd=self.dir, timeout=120, **as_user)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"marlune: copy -r: --manifest locked/m cannot be written: Permission denied\n")
        self.assertEqual(os.listdir(self.path("mirror")), [])

    def test_a_record_never_takes_the_name_of_a_file_of_the_trees(self):
        self.make_tree()
        os.makedirs(self.path("mirror"))
        self.write("mirror/notes with spaces.txt", b"old copy")
        self.write("arch/sub/old.log", b"# marlune 1.0.0 copy started before\n")
        refused = [(option, name) for option in ("--csv", "--failed-list", "--suspect-list", "--report", "--log")
                   for name in ("arch/notes with spaces.txt", "mirror/notes with spaces.txt")]
        refused.append(("--log", "arch/sub/empty"))  # a file of the source, though it holds nothing
        for option, name in refused:
            with self.subTest(option=option, name=name):
                result = run("copy", "-r", "--mirror", option, name, "arch", "mirror", cwd=self.dir)
                self.assertEqual((result.returncode, result.stdout), (1, b""))
                self.assertEqual(result.stderr, b"marlune: cannot write the run's records: a record's name is a "
                                                b"file of the source, or of its copy\n")
                self.assertEqual(self.read("arch/notes with spaces.txt"), b"notes")
                self.assertEqual(self.read("arch/sub/empty"), b"")
                self.assertEqual(sorted(os.listdir(self.path("mirror"))), ["notes with spaces.txt"])
                self.assertEqual(self.read("mirror/notes with spaces.txt"), b"old copy")
        # Beside the copies, and a log of its own in the source, a record is the run's to write.
        for option, name in (("--csv", "mirror/run.csv"), ("--log", "arch/sub/old.log")):
            with self.subTest(option=option, name=name):
                result = run("copy", "-r", "--mirror", option, name, "arch", "mirror", cwd=self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(os.path.exists(self.path(name)))
        self.assertTrue(self.read("arch/sub/old.log").startswith(b"# marlune 1.0.0 copy started before\n# marlune"))

    def test_partial_files_a_stopped_mirror_left_go_at_the_next_run_with_or_without_delete(self):
        self.make_tree()
        for delete in ([], ["--delete"]):
            with self.subTest(delete=delete):
                run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
                stale = "mirror/sub/read-only.00000000000000aa.marlune-partial"
                self.write(stale, b"ke")
                self.assertEqual(run("verify", "arch", "mirror", cwd=self.dir).returncode, 1)
                result = run("copy", "-r", "--mirror", "-v", *delete, "arch", "mirror", cwd=self.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"{stale}: removed: a partial file left by a copy or conversion that stopped; removed\n"
                              .encode(), result.stdout)
                self.assertIn(b" 0 failed\n1 partial file of a mirror that stopped removed\n", result.stdout)
                self.assertFalse(os.path.exists(self.path(stale)))
                self.assertEqual(run("verify", "arch", "mirror", cwd=self.dir).returncode, 0)

    def test_a_rerun_gives_an_unchanged_copy_its_sources_mode_and_owner(self):
        self.make_tree()
        run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        os.chmod(self.path("arch/a.snd"), 0o600)
        root = os.geteuid() == 0
        if root:
            os.chown(self.path("arch/a.snd"), 65534, 65534)
        result = run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b" 8 unchanged, 0 failed\n", result.stdout)
        copy = os.stat(self.path("mirror/a.snd"))
        self.assertEqual(copy.st_mode & 0o7777, 0o600)
        if root:
            self.assertEqual((copy.st_uid, copy.st_gid), (65534, 65534))

    def test_a_link_at_a_copys_name_is_replaced_and_one_on_the_way_refused(self):
        self.make_tree()
        os.makedirs(self.path("mirror"))
        os.symlink(self.path("outside/precious"), self.path("mirror/a.snd"))
        os.symlink(self.path("outside"), self.path("mirror/sub"))
        result = run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"arch/sub/read-only: a symbolic link on the way to ", result.stderr)
        self.assertFalse(os.path.islink(self.path("mirror/a.snd")))
        self.assertEqual(self.read("mirror/a.snd"), sample_as_copied())
        self.assertEqual(os.listdir(self.path("outside")), ["precious"])
        self.assertEqual(self.read("outside/precious"), b"p")
        os.remove(self.path("mirror/sub"))
        self.assertEqual(run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir).returncode, 0)
        self.assertEqual(run("verify", "arch", "mirror", cwd=self.dir).returncode, 0)

    def test_what_is_added_to_a_read_only_folder_reaches_its_copy(self):
        # As a user, whom permissions hold: nobody, when the test runs as root.
        root = os.geteuid() == 0
        command, as_user = self.as_a_user()

        def mirror():
            return subprocess.run([command, "copy", "-r", "--mirror", "arch", "mirror"], capture_output=True,
                                  cwd=self.dir, timeout=120, **as_user)

        def owned(*names):
            for name in names:
                if root:
                    os.chown(self.path(name), 65534, 65534)

        os.chmod(self.dir, 0o755)
        os.makedirs(self.path("arch/ro"))
        os.makedirs(self.path("mirror"))
        self.write("arch/ro/a.txt", b"a")
        owned("arch", "arch/ro", "arch/ro/a.txt", "mirror")
        os.chmod(self.path("arch/ro"), 0o555)
        try:
            self.assertEqual(mirror().returncode, 0)
            self.assertEqual(os.stat(self.path("mirror/ro")).st_mode & 0o777, 0o555)
            os.chmod(self.path("arch/ro"), 0o755)
            self.write("arch/ro/b.txt", b"b")
            owned("arch/ro/b.txt")
            os.chmod(self.path("arch/ro"), 0o555)
            result = mirror()
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(self.read("mirror/ro/b.txt"), b"b")
            self.assertEqual(os.stat(self.path("mirror/ro")).st_mode & 0o777, 0o555)
        finally:
            for name in ("arch/ro", "mirror/ro"):
                if os.path.isdir(self.path(name)):
                    os.chmod(self.path(name), 0o755)

    def test_verify_tells_each_difference_and_fails(self):
        self.make_tree()
        run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        with open(self.path("mirror/a.snd"), "r+b") as f:
            f.seek(500)
            byte = f.read(1)
            f.seek(500)
            f.write(bytes([byte[0] ^ 1]))
        os.truncate(self.path("mirror/cut.snd"), 999)
        os.remove(self.path("mirror/sub/empty"))
        self.write("mirror/sub/extra", b"x")
        result = run("verify", "--json", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        records, summary = json_lines(result.stdout)
        different = {r["destination"]: r["status"] for r in records if r["outcome"] == "different"}
        self.assertEqual(different, {"mirror/a.snd": "MARLUNE_VERIFY_DIFFERENT",
                                     "mirror/cut.snd": "MARLUNE_VERIFY_DIFFERENT",
                                     "mirror/sub/empty": "MARLUNE_VERIFY_MISSING",
                                     "mirror/sub/extra": "MARLUNE_VERIFY_EXTRA"})
        self.assertEqual((summary["matched"], summary["different"]), (5, 4))
        self.assertEqual((summary["safe"], summary["verdict"]), (False, "4 files differ from arch"))
        self.assertEqual(len(result.stderr.decode(errors="surrogateescape").splitlines()), 4)

    def test_delete_removes_only_what_the_source_lacks_under_the_destination(self):
        self.make_tree()
        run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        os.symlink(self.path("outside"), self.path("mirror/to-outside"))
        self.write("mirror/stale", b"s")
        dry = run("copy", "-r", "--mirror", "--delete", "-n", "arch", "mirror", cwd=self.dir)
        self.assertIn("mirror/stale: would be: removed (not in the source)", dry.stdout.decode(errors="surrogateescape"))
        self.assertTrue(os.path.exists(self.path("mirror/stale")))
        result = run("copy", "-r", "--mirror", "--delete", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b" 2 removed, ", result.stdout)
        self.assertFalse(os.path.lexists(self.path("mirror/to-outside")))
        self.assertFalse(os.path.exists(self.path("mirror/stale")))
        self.assertEqual(os.listdir(self.path("outside")), ["precious"])
        self.assertEqual(run("verify", "arch", "mirror", cwd=self.dir).returncode, 0)

    def test_delete_never_empties_the_mirror_nor_removes_the_sources_or_the_records(self):
        self.make_tree()
        os.rename(self.path("arch"), self.path("disk"))
        os.symlink("disk", self.path("arch"))  # the archive named through a link
        run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        self.write("mirror/mirror.log", b"# earlier runs\n")
        result = run("copy", "-r", "--mirror", "--delete", "--log", "mirror/mirror.log", "arch", "mirror",
                     cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b" 8 unchanged, 0 removed, ", result.stdout)
        self.assertTrue(self.read("mirror/mirror.log").startswith(b"# earlier runs\n"))
        os.symlink("mirror", self.path("mirror-link"))  # verify through links on both sides
        self.assertIn(b"8 matched, 1 different", run("verify", "arch", "mirror-link", cwd=self.dir).stdout)

        # A source that cannot be read, or holds nothing, removes nothing, and says so once.
        os.makedirs(self.path("empty"))
        os.chmod(self.path("disk"), 0)
        command, as_user = self.as_a_user()
        before = listing(self.path("mirror"))
        # The user may write in the mirror (a mirror it may not write in is refused before any work).
        folders = {folder: os.stat(folder).st_mode & 0o7777 for folder, _, _ in os.walk(self.path("mirror"))}
        for folder in folders:
            os.chmod(folder, 0o777)
        for source, said in (("arch", b"nothing was removed: the run met an error in the source"),
                             ("empty", b"nothing was removed: the source folder holds no file")):
            result = subprocess.run([command, "copy", "-r", "--mirror", "--delete", source, "mirror"],
                                    capture_output=True, cwd=self.dir, timeout=120, **as_user)
            self.assertEqual(result.returncode, 1, result.stderr)
            self.assertEqual(result.stderr.count(said), 1, result.stderr)
            self.assertEqual(listing(self.path("mirror")), before)
        for folder, mode in folders.items():
            os.chmod(folder, mode)
        os.chmod(self.path("disk"), 0o755)

        # Deletions that would remove the sources are refused before any work.
        result = run("copy", "-r", "--mirror", "--delete", "mirror/sub", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 2)
        self.assertTrue(os.path.exists(self.path("mirror/sub/read-only")))

        for name in ("x1", "x2", "x3"):
            self.write("mirror/" + name, b"x")
        result = run("copy", "-r", "--mirror", "--delete", "--max-delete", "2", "arch", "mirror", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b" 2 removed, ", result.stdout)
        # mirror.log (no record of this run) and x1 go; x2 is the first kept.
        self.assertIn(b"mirror/x2: kept, with every later file the source lacks", result.stderr)
        self.assertTrue(os.path.exists(self.path("mirror/x3")))

    def test_what_writes_nothing_counts_no_byte_written_in_its_records_and_summary(self):
        self.make_tree()
        dry = run("copy", "-r", "--mirror", "-n", "--json", "arch", "mirror", cwd=self.dir)
        self.assertEqual(dry.returncode, 0, dry.stderr)
        self.assertFalse(os.path.exists(self.path("mirror")))
        run("copy", "-r", "--mirror", "arch", "mirror", cwd=self.dir)
        checked = run("verify", "--json", "arch", "mirror", cwd=self.dir)
        self.assertEqual(checked.returncode, 0, checked.stderr)
        for result in (dry, checked):
            records, summary = json_lines(result.stdout)
            self.assertEqual([r["bytesOut"] for r in records], [0] * len(records))
            self.assertEqual(summary["bytesOut"], 0)
            self.assertGreater(summary["bytesIn"], len(SAMPLE))

    def test_options_that_do_not_go_together_are_refused_in_the_librarys_words(self):
        self.make_tree()
        for args, words in ((("copy", "-r", "-n", "--checksum", "arch", "out"), "checksum and delete need a mirror"),
                            (("copy", "-r", "-n", "arch", "out"), "a dry run is of convert and of a mirror"),
                            (("verify", "-n", "arch", "out"), "a dry run is of convert and of a mirror"),
                            (("copy", "-r", "--mirror", "-n", "--manifest", "m", "arch", "out"),
                             "a dry run writes no manifest"),
                            (("convert", "--sync", "arch"), "durability is of copies")):
            result = run(*args, cwd=self.dir)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(f"marlune: {words}".encode(), result.stderr, args)
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertFalse(os.path.exists(self.path("m")))

    def test_without_mirror_one_line_says_how_many_files_were_not_copied(self):
        self.make_tree()
        result = run("copy", "-r", "arch", "plain", cwd=self.dir)
        self.assertEqual(result.stdout.decode(errors="surrogateescape").splitlines()[-2],
                         "5 files not copied: --mirror copies every file")
        self.assertEqual(run("copy", "-r", "--delete", "arch", "plain", cwd=self.dir).returncode, 2)


    def test_a_mirror_tells_its_suspects_on_every_run(self):
        os.makedirs(self.path("arch"))
        self.write("arch/empty.snd", b"")
        self.write("arch/riff.snd", b"RIFF" + SAMPLE[4:])
        self.write("arch/a.snd", SAMPLE)
        for rerun in (False, True):
            result = run("copy", "-r", "--mirror", "--strict", "--suspect-list", "suspects.lst", "arch", "mirror",
                         cwd=self.dir)
            self.assertEqual(result.returncode, 1, rerun)
            self.assertIn(b"2 suspect (named as containers, but not)", result.stdout, rerun)
            self.assertIn(b"arch/empty.snd: suspect, its copy holds it as it is: ", result.stdout, rerun)
            self.assertEqual(self.read("suspects.lst"), b"empty.snd\0riff.snd\0", rerun)
            self.assertEqual(self.read("mirror/riff.snd"), b"RIFF" + SAMPLE[4:])

    def test_ctrl_c_during_a_mirror_cancels_and_fails_nothing(self):
        os.makedirs(self.path("arch"))
        for n in range(16):
            self.write(f"arch/n{n:02}.txt", b"n" * (16 << 20))  # copied piece by piece: Ctrl-C finds some under way
        process = subprocess.Popen([MARLUNE, "copy", "-r", "--mirror", "-j", "2", "--json", "--failed-list",
                                    "failed.lst", "arch", "mirror"], cwd=self.dir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, bufsize=0)
        first = process.stdout.readline()
        process.send_signal(signal.SIGINT)
        rest, _ = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 130)
        records, summary = json_lines(first + rest)
        self.assertEqual(summary["failed"], 0)
        self.assertGreater(summary["cancelled"] + summary["notStarted"], 0)
        self.assertFalse(summary["safe"])
        self.assertTrue(summary["verdict"].startswith("The run was interrupted: "), summary["verdict"])
        for record in records:
            self.assertEqual(record["outcome"] == "cancelled", record["status"] == "MARLUNE_CANCELLED", record)
            self.assertNotEqual(record["outcome"], "failed", record)
        self.assertEqual(self.read("failed.lst"), b"")


class Archive(Folder):
    """convert and info over folders and lists, with workers."""

    def make_tree(self):
        os.makedirs(self.path("rec/2019/may"))
        os.makedirs(self.path("rec/2020"))
        self.write("rec/2019/may/a.snd", SAMPLE)
        self.write("rec/2019/b.snd", SAMPLE)
        self.write("rec/2020/c.wav", SAMPLE)
        self.write("rec/2020/cut.snd", SAMPLE[:1000])
        self.write("rec/2020/notes.txt", b"not a recording at all")
        self.write("rec/2020/done.kv", sample_as_copied())
        self.write("rec/2020/d.snd", SAMPLE)
        self.write("rec/2020/d.kv", b"an earlier conversion")
        self.write("rec/2020/e.kv.0123456789abcdef.marlune-partial", SAMPLE[:500])

    def test_a_walk_converts_skips_keeps_and_fails_each_file_for_what_it_is(self):
        self.make_tree()
        result = run("convert", "-r", "rec", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode().splitlines()[:2], [
            "3 converted, 2 already .kv, 1 skipped (not a container), 1 kept (.kv exists), 1 failed",
            "1 partial file of conversions stopped by a crash removed"])
        self.assertEqual(result.stderr.decode().splitlines(), [
            "marlune: rec/2020/cut.snd: the source ends inside a chunk's payload "
            "(at offset 812, 142 of 330 bytes missing)",
            "marlune: rec/2020/d.snd: kept rec/2020/d.kv: it exists (--force replaces it)"])
        files = listing(self.path("rec"))
        self.assertEqual(sorted(files), sorted([
            "2019/may/a.kv", "2019/b.kv", "2020/c.kv", "2020/cut.snd", "2020/notes.txt", "2020/done.kv",
            "2020/d.snd", "2020/d.kv"]))
        self.assertEqual(files["2019/may/a.kv"], sample_as_copied())
        self.assertEqual(files["2020/d.kv"], b"an earlier conversion")
        # --force replaces the kept one, once its copy is complete.
        result = run("convert", "--force", "rec/2020/d.snd", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.read("rec/2020/d.kv"), sample_as_copied())
        self.assertFalse(os.path.exists(self.path("rec/2020/d.snd")))

    def test_the_json_and_the_summary_are_the_same_for_any_number_of_workers(self):
        outputs = []
        for jobs in ("1", "2", "7"):
            shutil.rmtree(self.path("rec"), ignore_errors=True)
            self.make_tree()
            for n in range(20):
                self.write(f"rec/2019/many{n:02}.snd", SAMPLE if n % 4 else SAMPLE[:300])
            result = run("convert", "-r", "-j", jobs, "--json", "rec", cwd=self.dir)
            self.assertEqual(result.returncode, 1)
            records, summary = json_lines(result.stdout)
            outputs.append(([r for r in records], {k: v for k, v in summary.items() if k not in TIMING_KEYS}))
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0], outputs[2])
        records, summary = outputs[0]
        self.assertEqual([r["file"] for r in records], sorted(r["file"] for r in records))
        self.assertEqual((summary["files"], summary["converted"], summary["failed"], summary["skipped"],
                          summary["kept"], summary["alreadyKv"], summary["bytesOut"]),
                         (29, 18, 6, 1, 1, 2, 18 * 4184))
        # The bytes read are every file's, the failed ones' too.
        self.assertEqual((summary["bytesIn"], summary["bytesOut"]),
                         (sum(r["bytesIn"] for r in records), sum(r["bytesOut"] for r in records)))
        self.assertGreaterEqual(summary["bytesIn"] - 18 * 4184,
                                sum(r["bytesIn"] for r in records if r["outcome"] == "failed"))
        self.assertEqual((summary["partialsRemoved"], summary["finished"]), (1, 0))
        cut = next(r for r in records if r["file"] == "rec/2020/cut.snd")
        self.assertEqual((cut["outcome"], cut["status"], cut["statusCode"], cut["cutPiece"], cut["cutOffset"],
                          cut["cutExpectedBytes"], cut["cutMissingBytes"], cut["chunk"], cut["bytesIn"],
                          cut["bytesOut"], cut["destination"]),
                         ("failed", "MARLUNE_PAYLOAD_CUT", 51, "payload", 812, 330, 142, 3, 1000, 0, "rec/2020/cut.kv"))

    def test_links_to_folders_are_followed_only_when_asked_and_each_folder_once(self):
        os.makedirs(self.path("outside"))
        os.makedirs(self.path("tree/inner"))
        self.write("outside/far.snd", SAMPLE)
        self.write("tree/inner/near.snd", SAMPLE)
        os.symlink(self.path("outside"), self.path("tree/out"))
        os.symlink(self.path("tree"), self.path("tree/inner/loop"))
        result = run("info", "-r", "--json", "tree", cwd=self.dir)
        records, summary = json_lines(result.stdout)
        self.assertEqual(([r["file"] for r in records], summary["linksNotFollowed"]),
                         (["tree/inner/near.snd"], 2))
        result = run("info", "-r", "-L", "--json", "tree", cwd=self.dir)
        records, summary = json_lines(result.stdout)
        self.assertEqual(([r["file"] for r in records], summary["linksNotFollowed"], result.returncode),
                         (["tree/inner/near.snd", "tree/out/far.snd"], 0, 0))

    def test_file_lists_by_line_and_by_nul_from_a_file_or_standard_input(self):
        self.make_tree()
        self.write("rec/new\nline.snd", SAMPLE)
        names = ["rec/2019/b.snd", "rec/2020/notes.txt", "rec/new\nline.snd"]
        result = run("info", "--json", "--files-from", "-", "-0", cwd=self.dir,
                     input="\0".join(names).encode() + b"\0")
        records, summary = json_lines(result.stdout)
        self.assertEqual([r["file"] for r in records], names)
        self.assertEqual((summary["complete"], summary["skipped"], result.returncode), (2, 1, 0))
        self.write("list.txt", b"rec/2019/b.snd\n\nrec/2020/c.wav\n")
        result = run("convert", "--files-from", "list.txt", "rec/2019/may/a.snd", "--json", cwd=self.dir)
        records, summary = json_lines(result.stdout)
        self.assertEqual([r["file"] for r in records], ["rec/2019/may/a.snd", "rec/2019/b.snd", "rec/2020/c.wav"])
        self.assertEqual((summary["converted"], result.returncode), (3, 0))
        result = run("convert", "--files-from", "nothing.txt", cwd=self.dir)
        self.assertEqual((result.returncode, result.stderr), (1, b"marlune: cannot open the list nothing.txt\n"))

    def test_a_list_of_lines_holding_nul_is_refused_whole_and_crlf_lines_lose_their_cr(self):
        self.make_tree()
        before = listing(self.path("rec"))
        for source in ("file", "stdin"):
            data = b"rec/2019/b.snd\0rec/2020/c.wav\0"
            if source == "file":
                self.write("list0.txt", data)
                result = run("convert", "--files-from", "list0.txt", cwd=self.dir)
            else:
                result = run("convert", "--files-from", "-", cwd=self.dir, input=data)
            self.assertEqual((result.returncode, result.stdout), (2, b""), source)
            self.assertIn(b"needs -0", result.stderr)
            self.assertEqual(listing(self.path("rec")), before)
        self.write("crlf.txt", b"rec/2019/b.snd\r\nrec/2020/c.wav\r\n")
        result = run("convert", "--json", "--files-from", "crlf.txt", cwd=self.dir)
        records, summary = json_lines(result.stdout)
        self.assertEqual([r["file"] for r in records], ["rec/2019/b.snd", "rec/2020/c.wav"])
        self.assertEqual((summary["converted"], result.returncode), (2, 0))

    def test_a_dry_run_says_what_would_happen_and_writes_nothing(self):
        self.make_tree()
        before = listing(self.path("rec"))
        result = run("convert", "-n", "-r", "rec", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(listing(self.path("rec")), before)
        lines = result.stdout.decode().splitlines()
        self.assertIn("rec/2019/b.snd: would convert to rec/2019/b.kv", lines)
        self.assertIn("rec/2020/d.snd: would keep rec/2020/d.kv: it exists", lines)
        self.assertIn("rec/2020/notes.txt: would skip: not a container", lines)
        self.assertIn("rec/2020/done.kv: already .kv", lines)
        self.assertIn("rec/2020/e.kv.0123456789abcdef.marlune-partial: would skip: a partial file left by a "
                      "conversion that stopped; the recording is whole at its own name", lines)
        self.assertIn("rec/2020/cut.snd: would fail: the source ends inside a chunk's payload "
                      "(at offset 812, 142 of 330 bytes missing)", lines)
        self.assertIn("3 to convert, 2 already .kv, 2 to skip (not a container), 1 to keep (.kv exists), 1 refused",
                      lines)
        # The dry run's verdicts are the run's.
        dry = json_lines(run("convert", "-n", "--json", "-r", "rec", cwd=self.dir).stdout)[0]
        real = json_lines(run("convert", "--json", "-r", "rec", cwd=self.dir).stdout)[0]
        self.assertEqual([r["outcome"] for r in dry],
                         [r["outcome"].replace("converted", "would-convert").replace("partial-removed", "skipped")
                          for r in real])
        self.assertEqual(run("convert", "-n", "-f", "rec/2020/d.snd", cwd=self.dir).stdout.splitlines()[0],
                         b"rec/2020/d.snd: would convert to rec/2020/d.kv")

    def test_after_a_crash_stale_partial_files_go_and_finished_conversions_are_told(self):
        os.makedirs(self.path("rec"))
        stale = "rec/x.kv.00000000000000aa.marlune-partial"
        held = "rec/y.kv.00000000000000bb.marlune-partial"
        self.write(stale, SAMPLE[:500])
        self.write(held, SAMPLE[:700])
        self.write("rec/done.snd", SAMPLE)
        self.write("rec/done.kv", sample_as_copied())  # moved into place; the crash came before the removal
        self.write("rec/other.snd", SAMPLE)
        self.write("rec/other.kv", sample_as_copied()[:-1] + b"\0")
        # The other writer's lock, in a process of its own, as a conversion elsewhere holds it.
        holder = subprocess.Popen([sys.executable, "-c", "import fcntl, sys\n"
                                   "f = open(sys.argv[1], 'rb+')\nfcntl.flock(f, fcntl.LOCK_EX)\n"
                                   "print('locked', flush=True)\nsys.stdin.read()", self.path(held)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline(), b"locked\n")
            result = run("convert", "-r", "--json", "rec", cwd=self.dir)
            text = run("convert", "-r", "-v", "rec", cwd=self.dir)
        finally:
            holder.communicate(b"", timeout=30)
        records, summary = json_lines(result.stdout)
        outcomes = {r["file"]: (r["outcome"], r["status"]) for r in records}
        self.assertEqual(outcomes, {
            "rec/done.snd": ("finished", "MARLUNE_FINISHED"), "rec/done.kv": ("already-kv", "MARLUNE_ALREADY_CONVERTED"),
            "rec/other.kv": ("already-kv", "MARLUNE_ALREADY_CONVERTED"),
            "rec/other.snd": ("kept", "MARLUNE_DESTINATION_EXISTS"),
            stale: ("partial-removed", "MARLUNE_RUN_PARTIAL_REMOVED"), held: ("skipped", "MARLUNE_PARTIAL_IN_USE")})
        self.assertEqual((summary["finished"], summary["partialsRemoved"], summary["skipped"], summary["converted"],
                          result.returncode), (1, 1, 1, 0, 0))
        self.assertEqual(sorted(os.listdir(self.path("rec"))),
                         sorted(["done.kv", "other.snd", "other.kv", os.path.basename(held)]))
        self.assertEqual((self.read("rec/done.kv"), self.read(held)), (sample_as_copied(), SAMPLE[:700]))
        self.assertEqual(self.read("rec/other.kv"), sample_as_copied()[:-1] + b"\0")
        # The second run found the held file still held, and nothing else to do.
        self.assertIn(f"{held}: skipped: a partial file a conversion is still writing\n", text.stdout.decode())
        self.assertNotIn(b"partial files of", text.stdout)
        result = run("convert", "-r", "rec", cwd=self.dir)
        self.assertIn(b"\n1 partial file of conversions stopped by a crash removed\n", result.stdout)
        self.assertEqual(sorted(os.listdir(self.path("rec"))), ["done.kv", "other.kv", "other.snd"])
        done = run("convert", "-v", self.write("again.snd", SAMPLE), "--", self.write("again.kv", sample_as_copied()))
        self.assertIn(b"again.snd: finished: ", done.stdout)
        self.assertIn(b"0 converted, 1 finished, 1 already .kv", done.stdout)

    def test_files_that_share_a_kv_name_or_are_one_file_are_found_before_any_work(self):
        os.makedirs(self.path("rec"))
        self.write("rec/a.snd", SAMPLE)
        self.write("rec/a.wav", container(3, b"other", [(9, 9)]))
        self.write("rec/b.snd", SAMPLE)
        self.write("old.snd", SAMPLE)
        self.write("old.kv", b"an earlier file")
        before = listing(self.path("rec"))
        # a.wav after a.snd in the walk; b.snd by a second name and through the folder; old.snd twice.
        names = ["rec", "rec/./b.snd", "old.snd", "old.snd"]
        dry = run("convert", "-n", "-r", "-j", "2", *names, cwd=self.dir)
        self.assertEqual(dry.returncode, 1)
        self.assertIn(b"rec/a.wav: would not convert: rec/a.snd, named earlier in this run, takes the name rec/a.kv\n",
                      dry.stdout)
        self.assertEqual(listing(self.path("rec")), before)
        for force in ((), ("--force",)):
            shutil.rmtree(self.path("rec"))
            os.makedirs(self.path("rec"))
            for name, data in before.items():
                self.write("rec/" + name, data)
            self.write("old.snd", SAMPLE)
            result = run("convert", "-r", "-j", "2", "--json", *force, *names, cwd=self.dir)
            records, summary = json_lines(result.stdout)
            self.assertEqual(result.returncode, 1, force)
            self.assertEqual([(r["file"], r["outcome"], r["takenBy"], r["statusCode"]) for r in records], [
                ("rec/a.snd", "converted", None, 0), ("rec/a.wav", "collision", "rec/a.snd", 70),
                ("rec/b.snd", "converted", None, 0), ("rec/./b.snd", "collision", "rec/b.snd", 35),
                ("old.snd", "converted" if force else "kept", None, 0 if force else 32),
                ("old.snd", "collision", "old.snd", 35)], force)
            self.assertEqual((summary["collisions"], summary["converted"]), (3, 3 if force else 2), force)
            # The first takes the name, the others are as they were.
            self.assertEqual(listing(self.path("rec")), {"a.kv": sample_as_copied(), "a.wav": before["a.wav"],
                                                         "b.kv": sample_as_copied()}, force)
            self.assertEqual(self.read("old.kv"), sample_as_copied() if force else b"an earlier file")
        text = run("convert", "-r", "rec", cwd=self.dir)
        self.assertEqual(text.returncode, 0)
        self.write("rec/c.snd", SAMPLE)
        self.write("rec/c.wav", SAMPLE)
        text = run("convert", "rec/c.snd", "rec/c.wav", "rec/c.snd", cwd=self.dir)
        self.assertEqual((text.returncode, text.stderr.decode().splitlines()), (1, [
            "marlune: rec/c.wav: not converted: rec/c.snd, named earlier in this run, takes the name rec/c.kv",
            "marlune: rec/c.snd: not converted: the same file as rec/c.snd, named earlier in this run"]))
        self.assertTrue(text.stdout.startswith(b"1 converted, 0 already .kv, 0 skipped (not a container), 0 kept "
                                               b"(.kv exists), 0 failed, 2 colliding"), text.stdout)
        self.assertEqual(self.read("rec/c.wav"), SAMPLE)

    def test_ctrl_c_abandons_files_in_progress_and_starts_no_more(self):
        big = container(1, b"", [(60000, 60000)] * 140)  # about 8 MiB
        names = [self.write(f"big{n:02}.snd", big) for n in range(24)]
        # Unbuffered: the first line is read alone, and communicate() gets the rest whole.
        process = subprocess.Popen([MARLUNE, "convert", "-j", "2", "--json", *names], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, bufsize=0)
        first = process.stdout.readline()  # one file is done: the others are under way
        process.send_signal(signal.SIGINT)
        rest, _ = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 130)
        records, summary = json_lines(first + rest)
        self.assertTrue(summary["interrupted"])
        self.assertGreater(summary["notStarted"], 0)
        # A file stopped midway is cancelled, not failed: it is whole at its own name.
        self.assertEqual((summary["converted"] + summary["cancelled"] + summary["notStarted"], summary["failed"]),
                         (24, 0))
        for record in records:
            self.assertIn((record["status"], record["outcome"]),
                          (("MARLUNE_OK", "converted"), ("MARLUNE_CANCELLED", "cancelled")))
        left = sorted(os.listdir(self.dir))
        self.assertFalse([n for n in left if "partial" in n], left)
        for n in range(24):
            kv, snd = f"big{n:02}.kv" in left, f"big{n:02}.snd" in left
            self.assertTrue(kv != snd, (n, left))  # converted, or untouched
            if kv:
                self.assertEqual(self.read(f"big{n:02}.kv"), big)

    def test_a_reader_that_goes_away_stops_the_run_as_ctrl_c_does(self):
        big = container(1, b"", [(60000, 60000)] * 140)  # about 8 MiB: copies are under way when the reader goes
        # Enough work that the run outlasts a reader that a busy machine is slow to schedule.
        files = 36
        os.makedirs(self.path("rec"))
        for n in range(files):
            self.write(f"rec/big{n:02}.snd", big)
        # As `marlune convert -r --json rec | head -1` runs it: a real pipe, closed after one line.
        process = subprocess.Popen([MARLUNE, "convert", "-r", "-j", "2", "--json", "rec"], cwd=self.dir,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = json.loads(process.stdout.readline())
        process.stdout.close()
        errors = process.stderr.read()
        process.stderr.close()
        self.assertEqual(process.wait(timeout=120), 141, errors)
        self.assertIn(b"marlune: cannot write the output\n", errors)
        self.assertEqual((first["file"], first["outcome"]), ("rec/big00.snd", "converted"))
        left = sorted(os.listdir(self.path("rec")))
        self.assertFalse([n for n in left if "partial" in n], left)
        converted = [n for n in range(files) if f"big{n:02}.kv" in left]
        for n in range(files):
            self.assertTrue((f"big{n:02}.kv" in left) != (f"big{n:02}.snd" in left), (n, left))  # converted or untouched
            name = f"rec/big{n:02}." + ("kv" if n in converted else "snd")
            self.assertEqual(self.read(name), big, name)
        self.assertLess(len(converted), files, "the run went on after its output was closed")

    @unittest.skipUnless(os.path.exists("/proc/self/status"), "reads the peak memory of a process from /proc")
    def test_results_waiting_for_a_stalled_reader_stay_within_a_window(self):
        self.write("one.snd", SAMPLE)
        for folder, count in (("few", 200), ("many", 20000)):
            os.makedirs(self.path(folder))
            for n in range(count):
                os.link(self.path("one.snd"), self.path(f"{folder}/{n:05}.snd"))

        def peak_kib(folder, count):
            process = subprocess.Popen([MARLUNE, "info", "-r", "-j", "2", "--json", folder], cwd=self.dir,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            # The reader looks away while the workers could run through every file. Its peak is read while
            # the process waits on the full pipe (ru_maxrss would count the Python it was forked from).
            time.sleep(1.5)
            with open(f"/proc/{process.pid}/status") as status:
                peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
            lines = process.stdout.read().count(b"\n")
            process.stdout.close()
            self.assertEqual((process.wait(timeout=60), lines), (0, count + 1))
            return peak

        # 20000 results held for the output take over 20 MiB; their names, listed before the run, 2 or 3.
        self.assertLess(peak_kib("many", 20000), peak_kib("few", 200) + 12 * 1024)

class SafeCopy(Folder):
    def test_copy_is_beside_a_failure_leaves_the_destination_and_in_place_is_kvrbinfos(self):
        self.write("old.kv", b"the earlier copy")
        cut = self.write("cut.snd", SAMPLE[:1000])
        self.assertEqual(run("copy", "-q", cut, self.path("old.kv")).returncode, 1)
        self.assertEqual((self.read("old.kv"), sorted(os.listdir(self.dir))), (b"the earlier copy", ["cut.snd", "old.kv"]))
        self.assertEqual(run("copy", "-q", "--in-place", cut, self.path("old.kv")).returncode, 1)
        self.assertEqual(self.read("old.kv"), sample_as_copied()[:SAMPLE_DATA_OFFSET + 2 * CHUNK])
        result = run("copy", "--json", self.write("a.snd", SAMPLE), self.path("old.kv"))
        records, summary = json_lines(result.stdout)
        self.assertEqual((result.returncode, records[0]["outcome"], records[0]["bytesOut"], summary["copied"]),
                         (0, "copied", 4184, 1))
        self.assertEqual(self.read("old.kv"), sample_as_copied())


class Salvage(Folder):
    def salvage(self, data):
        source = self.write("in.snd", data)
        text = run("salvage", source, self.path("out.kv"))
        result = run("salvage", "--json", source, self.path("out.kv"))
        self.assertEqual(result.returncode, text.returncode)
        records, summary = json_lines(result.stdout)
        return text, records[0]

    def test_a_cut_container_keeps_every_whole_chunk_and_says_what_was_lost(self):
        kept = SAMPLE_DATA_OFFSET + 2 * CHUNK
        for cut, piece, offset, expected, missing in ((kept + 108, "payload", kept + 8, 330, 230),
                                                      (kept + 3, "chunk-header", kept, 8, 5)):
            text, record = self.salvage(SAMPLE[:cut])
            self.assertEqual(text.returncode, 0)
            self.assertEqual(self.read("out.kv"), sample_as_copied()[:kept])
            self.assertIn(f"2 whole chunks kept, {kept} bytes\n  lost: the {piece.split('-')[-1]} of chunk 3 at "
                          f"offset {offset} is cut short, {missing} of its {expected} bytes missing; the "
                          f"{cut - kept} bytes from offset {kept} on are not in", text.stdout.decode())
            self.assertEqual((record["outcome"], record["status"], record["cutPiece"], record["cutOffset"],
                              record["cutExpectedBytes"], record["cutMissingBytes"], record["chunk"],
                              record["chunksKept"], record["lostFromOffset"], record["lostBytes"]),
                             ("salvaged", "MARLUNE_SALVAGED", piece, offset, expected, missing, 3, 2, kept, cut - kept))

    def test_a_complete_container_is_copied_as_it_is(self):
        text, record = self.salvage(SAMPLE)
        self.assertEqual((text.returncode, record["outcome"], record["lostBytes"]), (0, "copied", 0))
        self.assertIn(b"complete container, copied as it is", text.stdout)
        self.assertEqual(self.read("out.kv"), sample_as_copied())

    def test_no_container_or_a_cut_header_or_preamble_cannot_be_salvaged(self):
        for data, status in ((b"RIFF" + bytes(300), "MARLUNE_NOT_A_CONTAINER"), (SAMPLE[:50], "MARLUNE_HEADER_CUT"),
                             (SAMPLE[:100], "MARLUNE_PREAMBLE_CUT")):
            text, record = self.salvage(data)
            self.assertEqual((text.returncode, record["outcome"], record["status"]), (1, "failed", status))
            self.assertIn(b": cannot be salvaged: ", text.stderr)
            self.assertFalse(os.path.exists(self.path("out.kv")))


class IntoAFolder(Folder):
    """copy and salvage of a tree, or of a list, into another folder."""

    def make_tree(self):
        os.makedirs(self.path("rec/2019/may"))
        os.makedirs(self.path("rec/2020"))
        self.write("rec/2019/may/a.snd", SAMPLE)
        self.write("rec/2019/b.wav", SAMPLE)
        self.write("rec/2019/b.snd", SAMPLE)
        self.write("rec/2020/cut.snd", SAMPLE[:1000])
        self.write("rec/2020/notes.txt", b"not a recording at all")
        self.write("rec/2020/e.kv.0123456789abcdef.marlune-partial", SAMPLE[:500])
        os.symlink("2019", self.path("rec/link"))

    def test_copy_r_mirrors_the_tree_and_leaves_every_source_as_it_was(self):
        self.make_tree()
        before = listing(self.path("rec"))
        for sync in ((), ("--sync",)):
            shutil.rmtree(self.path("new"), ignore_errors=True)
            result = run("copy", "-r", *sync, "rec", "new", cwd=self.dir)
            self.assertEqual(result.returncode, 1, sync)
            self.assertEqual(result.stderr.decode().splitlines(), [
                "marlune: rec/2020/cut.snd: the source ends inside a chunk's payload "
                "(at offset 812, 142 of 330 bytes missing)"], sync)
            self.assertTrue(result.stdout.startswith(b"1 symbolic link not followed (-L follows them)\n"
                                                     b"3 copied, 2 skipped (not a container), 1 failed\n"), result.stdout)
            self.assertEqual(listing(self.path("rec")), before)
            self.assertEqual(listing(self.path("new")), {"2019/may/a.snd": sample_as_copied(),
                                                         "2019/b.wav": sample_as_copied(),
                                                         "2019/b.snd": sample_as_copied()}, sync)
        # Into a folder that exists: what is there is replaced, as copy does with one file.
        self.write("new/2019/may/a.snd", b"an older copy")
        self.assertEqual(run("copy", "-r", "rec/2019", "new/2019", cwd=self.dir).returncode, 0)
        self.assertEqual(self.read("new/2019/may/a.snd"), sample_as_copied())

    def test_kv_names_are_given_to_the_first_file_that_takes_each(self):
        self.make_tree()
        result = run("copy", "-r", "--kv-names", "--json", "rec/2019", "kv", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        records, summary = json_lines(result.stdout)
        self.assertEqual([(r["file"], r["destination"], r["outcome"]) for r in records], [
            ("rec/2019/b.snd", "kv/b.kv", "copied"), ("rec/2019/b.wav", "kv/b.kv", "collision"),
            ("rec/2019/may/a.snd", "kv/may/a.kv", "copied")])
        self.assertEqual((summary["copied"], summary["collisions"]), (2, 1))
        self.assertEqual(sorted(listing(self.path("kv"))), ["b.kv", "may/a.kv"])

    def test_salvage_r_keeps_the_whole_chunks_of_each_cut_file_whatever_the_workers(self):
        os.makedirs(self.path("rec/b"))
        cuts = {f"rec/b/cut{n}.snd": SAMPLE[:SAMPLE_DATA_OFFSET + n * CHUNK + 100] for n in range(1, 6)}
        for name, data in cuts.items():
            self.write(name, data)
        self.write("rec/whole.snd", SAMPLE)
        self.write("rec/empty.snd", b"")
        outputs = []
        for jobs in ("1", "2"):
            shutil.rmtree(self.path("saved"), ignore_errors=True)
            result = run("salvage", "-r", "-j", jobs, "rec", "saved", cwd=self.dir)
            self.assertEqual(result.returncode, 0, result.stderr)
            outputs.append(result.stdout.decode().splitlines()[:-1])  # all but the timing line
            self.assertEqual(listing(self.path("saved")), {
                "whole.snd": sample_as_copied(),
                **{name[4:]: sample_as_copied()[:SAMPLE_DATA_OFFSET + n * CHUNK] for n, name in
                   enumerate(cuts, 1)}})
        self.assertEqual(outputs[0], outputs[1])
        self.assertEqual(outputs[0][0], "rec/b/cut1.snd: salvaged to saved/b/cut1.snd: 1 whole chunks kept, 466 bytes")
        self.assertEqual(outputs[0][-1], "5 salvaged, 1 copied, 0 skipped (not a container), 0 failed, "
                                         "1 suspect (named as containers, but not)")

    def test_a_list_puts_each_name_at_its_place_under_the_folder(self):
        os.makedirs(self.path("rec/a"))
        self.write("rec/a/x.snd", SAMPLE)
        self.write("rec/y.snd", SAMPLE)
        self.write("z.snd", SAMPLE)
        names = ["rec/a/x.snd", "./rec/y.snd", "../z.snd", self.path("z.snd")]
        self.write("list", "\0".join(names).encode())
        result = run("copy", "--files-from", "list", "-0", "out", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(sorted(listing(self.path("out"))), ["rec/a/x.snd", "rec/y.snd"])
        refused = result.stderr.decode().splitlines()
        self.assertEqual(len(refused), 2, refused)
        for line, name in zip(refused, names[2:]):
            self.assertEqual(line, f"marlune: {name}: a listed name needs to be relative, without \"..\", "
                                   "to have a place under out")

    def test_no_copy_replaces_a_file_of_the_same_run(self):
        os.makedirs(self.path("a/b/b"))
        self.write("a/b/x.snd", SAMPLE)
        self.write("a/b/b/x.snd", SAMPLE[:SAMPLE_DATA_OFFSET + CHUNK])
        # Into the folder above: a/b/b/x.snd would go to a/b/x.snd.
        result = run("copy", "-r", "a/b", "a", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().splitlines(), [
            "marlune: a/b/b/x.snd: its copy would replace a/b/x.snd, a file of this run"])
        self.assertEqual(self.read("a/b/x.snd"), SAMPLE)
        self.assertEqual(self.read("a/x.snd"), sample_as_copied())
        # Names of a list that meet under the destination.
        self.write("a/b/list", b"x.snd\nb/x.snd\n")
        result = run("salvage", "--files-from", "list", "b", cwd=self.path("a/b"))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"marlune: x.snd: its copy would replace b/x.snd, a file of this run", result.stderr)
        self.assertEqual(self.read("a/b/b/x.snd"), SAMPLE[:SAMPLE_DATA_OFFSET + CHUNK])

    def test_copies_stay_inside_the_destination_folder(self):
        os.makedirs(self.path("src/sub"))
        self.write("src/sub/a.snd", SAMPLE)
        self.write("src/b.snd", SAMPLE)
        os.makedirs(self.path("outside"))
        self.write("outside/b.snd", b"not a recording of this run")
        os.makedirs(self.path("dst"))
        os.symlink(self.path("outside"), self.path("dst/sub"))
        os.symlink(self.path("outside/b.snd"), self.path("dst/b.snd"))
        result = run("copy", "-r", "src", "dst", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().splitlines(), [
            "marlune: src/b.snd: a symbolic link on the way to dst/b.snd: nothing is written through it",
            "marlune: src/sub/a.snd: a symbolic link on the way to dst/sub/a.snd: nothing is written through it"])
        records, _ = json_lines(run("copy", "-r", "--json", "src", "dst", cwd=self.dir).stdout)
        self.assertEqual([(r["file"], r["outcome"], r["status"]) for r in records],
                         [("src/b.snd", "failed", "MARLUNE_RUN_DESTINATION_LINK"),
                          ("src/sub/a.snd", "failed", "MARLUNE_RUN_DESTINATION_LINK")])
        self.assertEqual(sorted(os.listdir(self.path("outside"))), ["b.snd"])
        self.assertEqual(self.read("outside/b.snd"), b"not a recording of this run")
        # A followed link that leads into the destination is not walked: each run copies the same.
        shutil.rmtree(self.path("dst"))
        os.symlink(self.path("dst"), self.path("src/back"))
        for _ in range(3):
            self.assertEqual(run("copy", "-r", "-L", "src", "dst", cwd=self.dir).returncode, 0)
        self.assertEqual(sorted(listing(self.path("dst"))), ["b.snd", "sub/a.snd"])

    def test_what_cannot_mirror_a_tree_is_refused_before_any_work(self):
        self.make_tree()
        for args in (("copy", "-r", "rec", "rec/2019/copies"), ("copy", "-r", "rec", "rec"),
                     ("salvage", "-r", "rec/2019/b.snd", "out"), ("copy", "-r", "rec"),
                     ("copy", "--files-from", "list", "a", "b"), ("copy", "-r", "--in-place", "rec", "out"),
                     ("copy", "--kv-names", "rec/2019/b.snd", "out.kv"), ("info", "--sync", "rec"),
                     ("copy", "-j", "2", "rec/2019/b.snd", "out.kv"), ("copy", "-r", "-", "out"),
                     ("salvage", "--files-from", "list", "-")):
            result = run(*args, cwd=self.dir)
            self.assertEqual(result.returncode, 2, (args, result.stderr))
            self.assertIn(b"Try 'marlune --help'.", result.stderr, args)
        self.assertFalse(os.path.exists(self.path("out")))
        self.assertFalse(os.path.exists(self.path("rec/2019/copies")))


    def test_a_folder_the_run_cannot_use_is_told_once_before_any_work(self):
        self.make_tree()
        self.write("file", b"x")
        os.makedirs(self.path("read-only"))
        os.chmod(self.path("read-only"), 0o555)
        os.makedirs(self.path("locked/rec"))
        os.chmod(self.path("locked"), 0)
        command, as_user = self.as_a_user()
        for args, code, said in (
                (("copy", "-r", "none", "out"), 2, "copy -r: none: no such folder"),
                (("copy", "-r", "file", "out"), 2, "copy -r: file is not a folder"),
                (("copy", "-r", "locked/rec", "out"), 2, "copy -r: locked/rec may not be read"),
                (("copy", "-r", "--mirror", "rec", "file"), 2, "copy -r: file: " + os.strerror(errno.ENOTDIR)),
                (("salvage", "-r", "rec", "file/out"), 2, "salvage -r: file/out: " + os.strerror(errno.ENOTDIR)),
                (("verify", "rec", "none"), 2, "verify -r: none: " + os.strerror(errno.ENOENT)),
                (("copy", "-r", "rec", "read-only/out"), 1,
                 "copy -r: cannot write in read-only/out: " + os.strerror(errno.EACCES))):
            result = subprocess.run([command, *args], capture_output=True, cwd=self.dir, timeout=120, **as_user)
            self.assertEqual((result.returncode, result.stdout), (code, b""), (args, result.stderr))
            self.assertEqual(result.stderr.decode().splitlines()[0], "marlune: " + said)
        self.assertFalse(os.path.exists(self.path("out")) or os.path.exists(self.path("read-only/out")))
        os.chmod(self.path("read-only"), 0o755)
        os.chmod(self.path("locked"), 0o755)


@unittest.skipUnless(shutil.which("strace"), "traces the system calls with strace")
class OrderOnDisk(Folder):
    """What a crash may stop: each step of a group reaches the disk before the next starts."""

    def test_data_then_moves_then_folders_then_sources_removed(self):
        for folder in ("one", "two"):
            os.makedirs(self.path(f"rec/{folder}"))
            for n in range(50):
                self.write(f"rec/{folder}/t{n:02}.snd", SAMPLE)
        trace = self.path("trace")
        # The leak checker of a sanitizer build stops a traced process: the order is what this test looks at.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e",
                        "trace=openat,close,syncfs,fsync,fdatasync,rename,renameat,renameat2,link,linkat,unlink,unlinkat",
                        MARLUNE, "convert", "-r", "-j", "1", "rec"], cwd=self.dir, check=True, capture_output=True,
                       env=env)
        fds, events = {}, []  # (what, path)
        with open(trace) as f:
            for line in f:
                call = re.match(r"\d+\s+(\w+)\((.*)\)\s+= (-?\d+)", line)
                if not call or int(call.group(3)) < 0:
                    continue
                name, args, result = call.group(1), call.group(2), int(call.group(3))
                # A name inside an open folder is that folder's path and the name.
                paths = [name_ if folder_ in ("", "AT_FDCWD") else os.path.join(fds.get(int(folder_), "?"), name_)
                         for folder_, name_ in re.findall(r'(?:(AT_FDCWD|\d+), )?"([^"]*)"', args)]
                if name == "openat":
                    fds[result] = paths[0]
                elif name in ("fsync", "fdatasync", "syncfs"):
                    events.append(("flush", fds.get(int(args.split(",")[0]), "?") if name != "syncfs" else "*"))
                elif name.startswith("rename") or name.startswith("link"):
                    events.append(("move", paths[-1]))
                elif name.startswith("unlink"):
                    events.append(("remove", paths[-1]))
        removed = [i for i, (what, path) in enumerate(events) if what == "remove" and path.endswith(".snd")]
        self.assertEqual(len(removed), 100)
        # Four groups of 25 (a quarter of the list each): one data flush and one per folder each.
        flushes = [e for e in events if e[0] == "flush"]
        self.assertLessEqual(len(flushes), 4 * 3, flushes[:10])
        for i in removed:
            source = events[i][1]
            kv = source[:-len(".snd")] + ".kv"
            moved = max(k for k, e in enumerate(events[:i]) if e == ("move", kv))
            folder = os.path.dirname(source)
            self.assertTrue(any(e in (("flush", folder),) for e in events[moved:i]), (source, events[moved:i]))
            data = [k for k, e in enumerate(events[:moved]) if e[0] == "flush"]
            self.assertTrue(data, source)
            # The data flush comes after this file's partial file was written (and closed).
            self.assertTrue(all(e[0] != "move" or e[1] != kv for e in events[data[-1]:moved]), source)
        self.assertEqual(sorted(listing(self.path("rec"))), sorted(f"{f}/t{n:02}.kv" for f in ("one", "two")
                                                                  for n in range(50)))


class FullDestination(Folder):
    """A destination that fills up: a small file system of its own, mounted in a user namespace."""

    SIZE = 256 << 10

    def mounted_run(self, destination, *args):
        """marlune ARGS with a tmpfs of SIZE bytes at `destination`; the partial files it left are listed."""
        script = ('mount -t tmpfs -o size="$1" marlune-test "$2" || exit 99; left="$3"; at="$2"; shift 3; '
                  '"$@"; status=$?; find "$at" -name "*.tmp-*" >"$left"; exit $status')
        return subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, "sh",
                               str(self.SIZE), destination, self.path("left"), MARLUNE, *args],
                              capture_output=True, timeout=120)

    def setUp(self):
        super().setUp()
        os.makedirs(self.path("dst"))
        probe = shutil.which("unshare") and self.mounted_run(self.path("dst"), "--version")
        if not probe or probe.returncode != 0:
            self.skipTest("no user namespace here to mount a small file system in")

    def test_a_full_destination_stops_the_run_with_one_sentence_and_the_rest_not_started(self):
        os.makedirs(self.path("src/a"))
        recording = container(1, b"", [(4000, 4000)] * 10)  # 40 kB: 6 fit
        for n in range(30):
            self.write(f"src/{'a/' if n % 2 else ''}r{n:02}.snd", recording)
        cases = [("a mirror", ["copy", "-r", "--mirror", "-j", "1", "--manifest", self.path("M")]),
                 ("a copy", ["copy", "-r", "--json", "-j", "1"])]
        for what, args in cases:
            with self.subTest(what):
                result = self.mounted_run(self.path("dst"), *args, self.path("src"), self.path("dst"))
                err = result.stderr.decode(errors="surrogateescape").splitlines()
                self.assertEqual(result.returncode, 1, err)
                stopped = [line for line in err if line.startswith("marlune: the destination is full: the run stopped, ")]
                self.assertEqual(len(stopped), 1, err)
                self.assertRegex(stopped[0], r" \d+ files not started and [\d.]+ MiB \(\d+ bytes\) not written")
                # Only the file under way when the disk filled (one worker) tells of it.
                told = [line for line in err if line not in stopped]
                self.assertEqual(len(told), 1, err)
                self.assertTrue(told[0].endswith(": the destination's disk is full"), err)
                not_started = int(re.search(r" (\d+) files not started", stopped[0]).group(1))
                self.assertGreater(not_started, 0)
                if "--json" in args:
                    _, summary = json_lines(result.stdout)
                    self.assertEqual((summary["notStarted"], summary["failed"], summary["cancelled"]),
                                     (not_started, len(told), 0))
                else:
                    self.assertIn(f"stopped: {not_started} of ", result.stdout.decode())
                    self.assertFalse(os.path.exists(self.path("M")))
                self.assertEqual(self.read("left"), b"")


class Reports(Folder):
    """What a run tells besides its output: the log, standard error beside --json, the links left out."""

    def make_mix(self):
        self.write("a.snd", SAMPLE)
        self.write("cut.snd", SAMPLE[:1000])
        self.write("d.snd", SAMPLE)
        self.write("d.kv", b"an earlier conversion")
        return ["a.snd", "cut.snd", "d.snd", "missing.snd"]

    def test_failure_lines_go_to_standard_error_with_json_too(self):
        result = run("convert", "--json", *self.make_mix(), cwd=self.dir)
        records, summary = json_lines(result.stdout)
        self.assertEqual((result.returncode, summary["failed"], summary["kept"]), (1, 2, 1))
        self.assertEqual(result.stderr.decode().splitlines(), [
            "marlune: cut.snd: the source ends inside a chunk's payload (at offset 812, 142 of 330 bytes missing)",
            "marlune: d.snd: kept d.kv: it exists (--force replaces it)",
            "marlune: missing.snd: the source file does not exist"])

    def test_the_log_grows_by_a_section_a_run_with_a_header_and_a_summary(self):
        names = self.make_mix()
        self.write("run.log", b"kept from before\n")
        result = run("convert", "--json", "--log", "run.log", *names, cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        json_lines(result.stdout)  # the output is the records alone
        # Resumed: what the first run did is not lost.
        result = run("convert", "--log-all", "--log", "run.log", *names, cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        log = self.read("run.log").decode().splitlines()
        self.assertEqual(log[0], "kept from before")
        header = r"^# marlune \d+\.\d+\.\d+ convert started \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ in (.+): (.+)$"
        folder, line = re.match(header, log[1]).groups()
        self.assertEqual((os.path.realpath(folder), line.split(" ", 1)[1]),
                         (os.path.realpath(self.dir), "convert --json --log run.log a.snd cut.snd d.snd missing.snd"))
        self.assertEqual(log[2:5], [
            "cut.snd: failed: the source ends inside a chunk's payload (at offset 812, 142 of 330 bytes missing)",
            "d.snd: kept: the destination file exists already",
            "missing.snd: failed: the source file does not exist"])
        self.assertRegex(log[5], r"^# summary: 4 files: 1 converted, 1 kept, 2 failed; \d+ bytes read, \d+ bytes "
                                 r"written, [0-9.]+ s$")
        # --log-all: every file, also those done already.
        self.assertRegex(log[6], header.replace("--json", ""))
        self.assertEqual([entry.split(": ")[:2] for entry in log[7:11]], [
            ["a.snd", "failed"], ["cut.snd", "failed"], ["d.snd", "kept"], ["missing.snd", "failed"]])  # a.snd: converted
        self.assertTrue(log[11].startswith("# summary: 4 files: "))
        self.assertEqual(len(log), 12)
        result = run("convert", "--log", os.path.join("no", "such", "folder", "x.log"), "a.kv", cwd=self.dir)
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertIn(b"cannot write the run's records", result.stderr)

    def test_the_failed_list_feeds_a_salvage_of_exactly_the_damaged_files(self):
        os.makedirs(self.path("tree/sub"))
        names = [b"tree/whole.snd", b"tree/cut\n1.snd", b"tree/sub/caf\xe9 cut.snd", b"tree/notes.txt"]
        for name, data in zip(names, [SAMPLE, SAMPLE[:1000], SAMPLE[:500], b"not a recording"]):
            with open(os.path.join(os.fsencode(self.dir), name), "wb") as f:
                f.write(data)
        result = run("info", "-r", "--failed-list", "failed.lst", "tree", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.read("failed.lst"), b"tree/cut\n1.snd\0tree/sub/caf\xe9 cut.snd\0")
        self.assertEqual(sorted(os.listdir(self.dir)), ["failed.lst", "tree"])  # nothing left beside it
        result = run("salvage", "--json", "--files-from", "failed.lst", "-0", "saved", cwd=self.dir)
        records, summary = json_lines(result.stdout)
        self.assertEqual((result.returncode, summary["salvaged"], summary["files"]), (0, 2, 2), result.stderr)
        self.assertEqual(sorted(listing(os.path.join(os.fsencode(self.dir), b"saved"))),
                         [b"tree/cut\n1.snd", b"tree/sub/caf\xe9 cut.snd"])

    def test_every_list_is_taken_back_by_files_from(self):
        os.makedirs(self.path("tree/sub"))
        self.write("tree/whole.snd", SAMPLE)
        self.write("tree/sub/cut.snd", SAMPLE[:1000])
        self.write("tree/sub/empty.snd", b"")
        tree = self.path("tree")
        # (the run that makes the list, the folder the list is taken back from, what it holds, what a
        # salvage of the list makes of it)
        cases = [
            (["copy", "-r", "--failed-list", "LIST", tree, "copied"], tree, b"sub/cut.snd\0", "salvaged"),
            (["copy", "-r", "--mirror", "--suspect-list", "LIST", tree + "/", "mirror"], tree, b"sub/empty.snd\0",
             "suspect"),
            (["info", "-r", "--failed-list", "LIST", "tree"], self.dir, b"tree/sub/cut.snd\0", "salvaged"),
        ]
        for number, (args, where, listed, outcome) in enumerate(cases):
            made = self.path(f"{number}.lst")
            run(*[made if arg == "LIST" else arg for arg in args], cwd=self.dir)
            self.assertEqual(self.read(f"{number}.lst"), listed, args)
            # As docs/cli.md says: from the folder the run walked, each file goes where the run put it.
            result = run("salvage", "--json", "--files-from", made, "-0", self.path(f"saved{number}"), cwd=where)
            records, _ = json_lines(result.stdout)
            place = listed[:-1].decode()
            self.assertEqual([(r["file"], r["outcome"]) for r in records], [(place, outcome)], (args, result.stderr))
            self.assertEqual(os.path.exists(self.path(f"saved{number}/{place}")), outcome == "salvaged", args)

    def test_a_name_that_is_no_utf8_keeps_its_bytes_in_json(self):
        with open(os.path.join(os.fsencode(self.dir), b"caf\xe9.snd"), "wb") as f:
            f.write(SAMPLE[:1000])
        self.write("plain.snd", SAMPLE)
        result = run("info", "--json", "-r", ".", cwd=self.dir)
        records, _ = json_lines(result.stdout)
        latin, plain = records
        self.assertEqual(latin["file"], "./caf\ufffd.snd")
        self.assertEqual(base64.b64decode(latin["fileBytes"]), b"./caf\xe9.snd")
        self.assertTrue(os.path.exists(os.path.join(os.fsencode(self.dir), base64.b64decode(latin["fileBytes"]))))
        self.assertNotIn("fileBytes", plain)

    def test_a_newline_in_a_name_is_escaped_in_text_and_in_the_log(self):
        self.write("a\nb.snd", SAMPLE[:1000])
        self.write("c d.snd", SAMPLE)
        result = run("convert", "--log", "run.log", "a\nb.snd", "c d.snd", cwd=self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().splitlines(), [
            "marlune: 'a'$'\\n''b.snd': the source ends inside a chunk's payload (at offset 812, 142 of 330 "
            "bytes missing)"])
        result = run("info", "a\nb.snd", cwd=self.dir)
        self.assertTrue(result.stdout.startswith(b"'a'$'\\n''b.snd'"), result.stdout)
        log = self.read("run.log").decode().splitlines()
        self.assertTrue(log[1].startswith("'a'$'\\n''b.snd': failed: "), log)
        self.assertEqual(len(log), 3)
        # What bash reads back is the name.
        said = log[1].split(": ")[0]
        back = subprocess.run(["bash", "-c", "printf %s " + said], capture_output=True).stdout
        self.assertEqual(back, b"a\nb.snd")

    def test_an_empty_snd_is_a_suspect_and_fails_a_strict_run(self):
        os.makedirs(self.path("tree"))
        self.write("tree/empty.snd", b"")
        self.write("tree/riff.snd", b"RIFF" + SAMPLE[4:])
        self.write("tree/notes.txt", b"not a recording")
        self.write("tree/a.snd", SAMPLE)
        result = run("info", "--json", "--log", "../run.log", "--suspect-list", "../suspects.lst", "-r", ".",
                     cwd=self.path("tree"))
        records, summary = json_lines(result.stdout)
        self.assertEqual((result.returncode, summary["suspects"], summary["skipped"]), (0, 2, 1))
        self.assertEqual({r["file"]: r["outcome"] for r in records},
                         {"./a.snd": "complete", "./empty.snd": "suspect", "./notes.txt": "skipped",
                          "./riff.snd": "suspect"})
        self.assertEqual(self.read("suspects.lst"), b"./empty.snd\0./riff.snd\0")
        self.assertIn("./empty.snd: suspect: ", self.read("run.log").decode())
        self.assertEqual(run("info", "--strict", "-r", ".", cwd=self.path("tree")).returncode, 1)
        self.assertEqual(run("info", "--strict", "--suspect-ext", "", "-r", ".", cwd=self.path("tree")).returncode, 0)
        result = run("info", "--json", "--suspect-ext", "TXT", "-r", ".", cwd=self.path("tree"))
        self.assertEqual(json_lines(result.stdout)[1]["suspects"], 1)

    def test_the_csv_table_holds_the_json_records(self):
        os.makedirs(self.path("tree"))
        for name, data in [("a.snd", SAMPLE), ("cut, \"quoted\".snd", SAMPLE[:1000]), ("empty.snd", b""),
                           ("x.txt", b"text\nwith lines")]:
            self.write(os.path.join("tree", name), data)
        with open(os.path.join(os.fsencode(self.path("tree")), b"caf\xe9.snd"), "wb") as f:
            f.write(SAMPLE[:100])
        for command in (["info"], ["salvage", "saved"], ["convert", "-n"]):
            argv = [command[0], "--json", "--csv", "t.csv", "-r", "tree", *command[1:]]
            records, _ = json_lines(run(*argv, cwd=self.dir).stdout)
            with open(self.path("t.csv"), newline="", encoding="utf-8") as f:
                rows = list(csv.DictReader(f))
            self.assertEqual(len(rows), 5)
            for record, row in zip(records, rows):
                self.assertEqual(flattened(record), {k: v for k, v in row.items() if v != "" or k in flattened(record)},
                                 command)


    def test_the_log_leaves_the_progress_line_on_the_terminal(self):
        for n in range(3):
            self.write(f"f{n}.snd", SAMPLE if n else SAMPLE[:200])
        text = convert_on_terminal([self.path(f"f{n}.snd") for n in range(3)], "--log", self.path("t.log"))
        self.assertIn("3/3 files", text)
        self.assertIn("\r", text)
        log = self.read("t.log").decode()
        self.assertIn("f0.snd: failed: the source ends inside", log)
        self.assertIn("# summary: 3 files: 2 converted, 1 failed", log)

    def test_one_link_left_out_is_one_link(self):
        os.makedirs(self.path("tree"))
        os.makedirs(self.path("other"))
        os.symlink(self.path("other"), self.path("tree/out"))
        self.write("tree/a.snd", SAMPLE)
        self.write("tree/b.snd", SAMPLE)
        result = run("info", "-r", "tree", cwd=self.dir)
        self.assertIn(b"\n1 symbolic link not followed (-L follows them)\n", b"\n" + result.stdout)
        os.symlink(self.path("other"), self.path("tree/out2"))
        result = run("info", "-r", "tree", cwd=self.dir)
        self.assertIn(b"2 symbolic links not followed", result.stdout)

    def test_a_dry_run_foresees_a_finished_conversion_with_the_librarys_own_checks(self):
        self.write("again.snd", SAMPLE)
        self.write("again.kv", sample_as_copied())
        self.write("other.snd", SAMPLE)
        self.write("other.kv", b"something else")
        result = run("convert", "-n", "again.snd", "other.snd", cwd=self.dir)
        self.assertEqual(result.stdout.decode().splitlines()[:2], [
            "again.snd: would finish: again.kv holds its conversion already",
            "other.snd: would keep other.kv: it exists"])
        self.assertIn(b"0 to convert, 1 to finish, 0 already .kv", result.stdout)
        self.assertEqual(sorted(os.listdir(self.dir)), ["again.kv", "again.snd", "other.kv", "other.snd"])


def through_pipe(args, data, pieces=(1 << 16,), pause=0.0, cwd=None):
    """marlune ARGS with DATA written to its standard input through a real pipe, in pieces of
    the sizes given (in turn), pausing between them; the writer closes the pipe after DATA."""
    process = subprocess.Popen([MARLUNE, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, cwd=cwd)

    def feed():
        at = n = 0
        try:
            while at < len(data):
                piece = pieces[n % len(pieces)]
                process.stdin.write(data[at:at + piece])
                process.stdin.flush()
                at, n = at + piece, n + 1
                time.sleep(pause)
        except BrokenPipeError:
            pass
        finally:
            process.stdin.close()

    writer = threading.Thread(target=feed)
    writer.start()
    out = process.stdout.read()
    errors = process.stderr.read()
    writer.join()
    process.stdout.close()
    process.stderr.close()
    return subprocess.CompletedProcess(args, process.wait(timeout=120), out, errors)


def stream_containers():
    """Both length modes, each over two 512 KiB reads of the copy, so that chunks straddle them."""
    rng = random.Random(21)
    fixed = container(0, bytes(100), [(rng.randrange(65536), 330) for _ in range(3000)])
    lengths = [rng.randrange(4097) for _ in range(500)]
    variable = container(1, bytes(range(256)) * 3, [(n, n) for n in lengths])
    return {"fixed": fixed, "variable": variable}


class Pipes(Folder):
    """`-` as SOURCE (standard input) and DESTINATION (standard output): the bytes, statuses and
    files are those of the same container copied from and to files."""

    def file_copy(self, command, data, name="file.kv"):
        source = self.write("source.snd", data)
        result = run(command, source, self.path(name))
        return result.returncode, self.read(name) if os.path.exists(self.path(name)) else None

    def test_a_pipe_in_pieces_copies_as_the_file_does_in_both_length_modes(self):
        for mode, data in stream_containers().items():
            expected = self.file_copy("copy", data)
            self.assertEqual(expected[0], 0, mode)
            # Pieces that end anywhere in a chunk, with pauses between them; then the pipe's own pieces.
            paused = through_pipe(("copy", "-", "-"), data, pieces=(4093, 1, 70001, 338), pause=0.002)
            self.assertEqual((paused.returncode, paused.stderr), (0, b""), mode)
            self.assertEqual(paused.stdout, expected[1], mode)
            named = through_pipe(("copy", "-", self.path("named.kv")), data)
            self.assertEqual((named.returncode, named.stdout, named.stderr), (0, b"", b""), mode)
            self.assertEqual(self.read("named.kv"), expected[1], mode)
            to_output = subprocess.run([MARLUNE, "copy", self.path("source.snd"), "-"], capture_output=True, timeout=120)
            self.assertEqual((to_output.returncode, to_output.stdout), (0, expected[1]), mode)

    def test_a_writer_that_stops_mid_chunk_fails_the_copy_and_salvages_as_the_file_does(self):
        for mode, data in stream_containers().items():
            cut = data[:len(data) * 2 // 3]
            self.assertEqual(self.file_copy("copy", cut, "none.kv"), (1, None), mode)
            # What went to standard output stays there: the whole parts, as a copy in place leaves them.
            in_place = run("copy", "--in-place", self.path("source.snd"), self.path("in-place.kv"))
            self.write("old.kv", b"the earlier copy")
            for destination in ("-", self.path("old.kv")):
                result = through_pipe(("copy", "-", destination), cut, pieces=(65536, 5), pause=0.001)
                self.assertEqual(result.returncode, 1, (mode, destination))
                self.assertEqual(result.stdout, self.read("in-place.kv") if destination == "-" else b"", mode)
                self.assertRegex(result.stderr, rb"^marlune: -: the source ends inside a chunk", mode)
            self.assertEqual(in_place.returncode, 1)
            self.assertFalse([n for n in os.listdir(self.dir) if "partial" in n], mode)
            self.assertEqual(self.read("old.kv"), b"the earlier copy", mode)
            salvaged = self.file_copy("salvage", cut, "salvaged.kv")
            result = through_pipe(("salvage", "-", "-"), cut, pieces=(3000, 7))
            self.assertEqual((result.returncode, result.stdout), salvaged, mode)

    def test_salvage_to_standard_output_reports_on_standard_error(self):
        kept = SAMPLE_DATA_OFFSET + 2 * CHUNK
        result = through_pipe(("salvage", "-", "-"), SAMPLE[:kept + 108])
        self.assertEqual((result.returncode, result.stdout), (0, sample_as_copied()[:kept]))
        self.assertEqual(result.stderr.decode(), f"marlune: -: salvaged to -: 2 whole chunks kept, {kept} bytes\n"
                         f"  lost: the payload of chunk 3 at offset {kept + 8} is cut short, 230 of its 330 bytes "
                         f"missing; the 108 bytes from offset {kept} on are not in -\n")
        whole = through_pipe(("salvage", "-", "-"), SAMPLE)
        self.assertEqual((whole.returncode, whole.stdout), (0, sample_as_copied()))
        self.assertEqual(whole.stderr, b"marlune: -: complete container, copied as it is to -\n")

    def test_standard_input_from_a_file_is_read_from_where_it_stands(self):
        data = stream_containers()["variable"]
        self.write("junk-then-container", b"junk" * 25 + data)
        with open(self.path("junk-then-container"), "rb") as source:
            source.seek(100)
            result = subprocess.run([MARLUNE, "copy", "-", "-"], stdin=source, capture_output=True, timeout=120)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertEqual(result.stdout, data)

    def test_info_of_standard_input_judges_as_info_of_the_file(self):
        at = SAMPLE_DATA_OFFSET + 2 * CHUNK
        for data in (SAMPLE, SAMPLE[:at + 3], SAMPLE[:at + 100], SAMPLE[:50], SAMPLE[:100], b"RIFF" + bytes(90), b"",
                     stream_containers()["fixed"]):
            named = run("info", self.write("file.snd", data))
            piped = through_pipe(("info", "-"), data, pieces=(33, 4096))
            self.assertEqual(piped.returncode, named.returncode, data[:8])
            self.assertEqual(piped.stdout.split(b":", 1)[1], named.stdout.split(b":", 1)[1], data[:8])
            file_json = run("info", "--json", self.path("file.snd"))
            pipe_json = through_pipe(("info", "--json", "-"), data)
            (file_record,), _ = json_lines(file_json.stdout)
            (pipe_record,), _ = json_lines(pipe_json.stdout)
            self.assertEqual(pipe_record.pop("file"), "-")
            file_record.pop("file")
            # Standard input has no name that promises a container.
            if file_record["outcome"] == "suspect":
                file_record["outcome"] = "skipped"
            self.assertEqual(pipe_record, file_record, data[:8])
        # Among other files, in its place.
        result = through_pipe(("info", self.path("file.snd"), "-", self.path("file.snd")), SAMPLE[:50])
        self.assertEqual(re.findall(rb"^(\S+): ", result.stdout, re.M),
                         [self.path("file.snd").encode(), b"-", self.path("file.snd").encode()])

    def test_a_reader_that_goes_away_ends_the_copy_with_141_and_one_line(self):
        big = self.write("big.snd", container(1, b"", [(60000, 60000)] * 140))
        for args, stdin in ((("copy", "-", "-"), big), (("copy", big, "-"), None), (("salvage", "-", "-"), big)):
            with open(stdin or os.devnull, "rb") as source:
                # As `marlune copy - - < big.snd | head -c 100` runs it.
                process = subprocess.Popen([MARLUNE, *args], stdin=source, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                first = process.stdout.read(100)
                process.stdout.close()
                errors = process.stderr.read()
                process.stderr.close()
                self.assertEqual(process.wait(timeout=120), 141, (args, errors))
            self.assertEqual(first, self.read("big.snd")[:100], args)
            self.assertEqual(errors, b"marlune: cannot write the output\n", args)

    def test_a_named_source_copied_to_standard_output_is_opened_as_a_copy_opens_it(self):
        os.mkdir(self.path("folder"))
        for name, said in (("missing.snd", "the source file does not exist"),
                           ("folder", "the source is not a regular file")):
            result = run("copy", self.path(name), "-")
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (1, b"", f"marlune: {self.path(name)}: {said}\n".encode()), name)

    def test_a_failed_or_closed_standard_input_is_a_read_error_with_the_systems_code(self):
        self.write("old.kv", b"the earlier copy")
        folder = os.open(self.dir, os.O_RDONLY)
        try:
            result = subprocess.run([MARLUNE, "copy", "--json", "-", self.path("old.kv")], stdin=folder,
                                    capture_output=True, timeout=120)
        finally:
            os.close(folder)
        (record,), _ = json_lines(result.stdout)
        self.assertEqual((result.returncode, record["status"], record["systemError"]),
                         (1, "MARLUNE_READ_ERROR", errno.EISDIR))
        self.assertEqual(result.stderr, f"marlune: -: reading the source failed: {os.strerror(errno.EISDIR)}\n"
                         .encode())
        self.assertEqual((sorted(os.listdir(self.dir)), self.read("old.kv")), (["old.kv"], b"the earlier copy"))
        closed = subprocess.run(["bash", "-c", 'exec "$0" info --json - <&-', MARLUNE], capture_output=True,
                                timeout=120)
        (record,), _ = json_lines(closed.stdout)
        self.assertEqual((closed.returncode, record["status"], record["systemError"], record["problem"]["kind"]),
                         (1, "MARLUNE_READ_ERROR", errno.EBADF, "read-failed"))

    def test_what_cannot_share_a_stream_is_a_usage_error(self):
        source = self.write("a.snd", SAMPLE)
        for args in (("convert", "-"), ("convert", source, "-"), ("info", "-", "-"), ("info", "--files-from", "-", "-"),
                     ("copy", "--json", source, "-"), ("salvage", "--json", "-", "-"), ("copy", "--in-place", "-", "-"),
                     ("verify", "-", self.dir), ("verify", self.dir, "-")):
            result = run(*args, cwd=self.dir, input=SAMPLE)
            self.assertEqual((result.returncode, result.stdout), (2, b""), args)
            self.assertIn(b"Try 'marlune --help'.", result.stderr, args)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.snd"])
        # --json with a named destination stays on standard output.
        result = run("copy", "--json", "-", self.path("b.kv"), input=SAMPLE)
        records, _ = json_lines(result.stdout)
        self.assertEqual((result.returncode, records[0]["outcome"], self.read("b.kv")), (0, "copied", sample_as_copied()))


def help_text(*args):
    result = run(*args, "--help")
    assert result.returncode == 0, args
    return result.stdout.decode()


def listed_options(text):
    """The options a help text lists in its column of options ("  -r, --recursive", "      --sync")."""
    listed = set()
    for short, long in re.findall(r"^(?:  (-\w), |      )(--[\w-]+)", text, re.M):
        listed |= {long, short} - {""}
    return listed


def parser_options():
    """(short, long, takes a value) for each row of the command's own table of options, read from its source."""
    with open(os.path.join(SOURCE_DIR, "cli", "main.cpp"), encoding="utf-8") as f:
        table = re.search(r"optionTable\[\] = \{\n(.*?)\n\};", f.read(), re.S).group(1)
    rows = re.findall(r'^\s*\{"(-?\w?)", "(--[\w-]+)"((?:, [^,}]+)*)', table, re.M)
    assert len(rows) > 20, table
    return [(short, long, len(rest.split(", ")) > 3 and rest.split(", ")[3].startswith("&Arguments::"))
            for short, long, rest in rows]


class ManPageAndCompletion(unittest.TestCase):
    COMMANDS = ("copy", "convert", "salvage", "info", "verify")

    @unittest.skipUnless(shutil.which("groff"), "renders the man page with groff")
    def test_the_man_page_holds_every_help_text_and_renders_without_warnings(self):
        env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="100")
        result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-P-cbou", MAN_PAGE], capture_output=True,
                                env=env, timeout=60)
        self.assertEqual(result.stderr, b"")
        shown = {line.strip() for line in result.stdout.decode().replace("\u2010", "-").replace("\u2212", "-")
                 .splitlines()}
        for args in ((),) + tuple((c,) for c in self.COMMANDS):
            lines = help_text(*args).splitlines()
            usage = lines[0][len("Usage: "):]
            self.assertIn(usage, shown, args)
            for line in lines[1:]:
                if line.strip():
                    self.assertIn(line.strip(), shown, (args, line))

    def complete(self, *words):
        """What bash offers for the last of `words`, with the completion as installed."""
        script = f'source "$1"; COMP_WORDS=(marlune {" ".join(words)}); COMP_CWORD={len(words)}; _marlune; ' \
                 'printf "%s\\n" "${COMPREPLY[@]}"'
        result = subprocess.run(["bash", "--norc", "-c", script, "bash", COMPLETION], capture_output=True,
                                timeout=30, cwd=tempfile.gettempdir())
        self.assertEqual(result.stderr, b"")
        return [w for w in result.stdout.decode().splitlines() if w]

    @unittest.skipUnless(shutil.which("bash"), "runs the bash completion")
    def test_bash_completes_the_commands_and_each_commands_own_options(self):
        self.assertEqual(self.complete("con"), ["convert"])
        self.assertEqual(sorted(self.complete("''")), sorted(["copy", "convert", "salvage", "info", "verify", "--help",
                                                                "--version"]))
        self.assertEqual(self.complete("convert", "--dr"), ["--dry-run"])
        for command in self.COMMANDS:
            offered = set(self.complete(command, "-"))
            # Every option the command's help names, and no other.
            self.assertEqual(offered, listed_options(help_text(command)) | {"--help"}, command)


class EveryOptionInTheHelp(Folder):
    """Each option the parser knows is in the general help, and each command's help lists exactly
    the options that command takes: what a command takes is asked of the command itself."""
    VALUES = {"--jobs": "2", "--max-delete": "3", "--suspect-ext": "x", "--files-from": "list"}
    # What an option needs beside it to be taken: none, a mirror, a deleting mirror, a list.
    NEEDS = ((), ("--mirror",), ("--mirror", "--delete"), ("--files-from", "list"))
    OPERANDS = {"copy": ("-r", "s", "d"), "salvage": ("-r", "s", "d"), "convert": ("-r", "s"), "info": ("-r", "s"),
                "verify": ("s", "d")}

    def taken(self, command, long):
        value = (self.VALUES.get(long, "out.x"),) if long in self.values else ()
        tries = [(*needs, *self.OPERANDS[command]) for needs in self.NEEDS]
        tries.append(("--files-from", "list", "d"))  # copy --files-from LIST DESTINATION_FOLDER
        tries.append(("list", "one.out"))  # copy of one file (an empty one: it fails, exit 1)
        if long == "--manifest":
            tries.append(("d",))  # verify --manifest FILE DESTINATION_FOLDER
        for args in tries:
            result = run(command, long, *value, *args, cwd=self.dir)
            for name in os.listdir(self.dir):
                if name not in ("s", "d", "list"):
                    os.remove(self.path(name))
            if result.returncode != 2:
                return True
        return False

    def test_the_help_lists_every_option_the_parser_takes(self):
        os.makedirs(self.path("s"))
        os.makedirs(self.path("d"))
        self.write("list", b"")
        options = parser_options()
        self.values = {long for _, long, takes_value in options if takes_value}
        general = listed_options(help_text())
        for short, long, _ in options:
            self.assertIn(long, general)
            if short:
                self.assertIn(short, general)
        for command in ManPageAndCompletion.COMMANDS:
            listed = listed_options(help_text(command))
            for short, long, _ in options:
                if long in ("--help", "--version"):
                    continue
                self.assertEqual(long in listed, self.taken(command, long), (command, long))
                if short and long in listed:
                    self.assertIn(short, listed, (command, long))


def convert_on_terminal(files, *options):
    """What `marlune convert` shows when standard output and error are a terminal."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen([MARLUNE, "convert", *options, *files], stdout=terminal, stderr=terminal)
    os.close(terminal)
    shown = b""
    while True:
        ready, _, _ = select.select([controller], [], [], 30)
        if not ready:
            break
        try:
            piece = os.read(controller, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not piece:
            break
        shown += piece
    process.wait(timeout=30)
    os.close(controller)
    return shown.decode(errors="replace")


if __name__ == "__main__":
    MARLUNE = os.path.abspath(sys.argv[1])
    SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(sys.argv[2])))  # SAMPLE is samples/take1.snd
    with open(sys.argv[2], "rb") as sample:
        SAMPLE = sample.read()
    MAN_PAGE, COMPLETION = sys.argv[3], sys.argv[4]
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[5:])
