"""check.c's calls through the page's ctypes declarations (marlune_ctypes.py)."""
import ctypes
import sys

from marlune_ctypes import *

FIELDS = ["size", "status", "system_error", "reserved", "cut_offset", "cut_size", "cut_missing", "chunk_number",
          "magic", "length_mode", "data_offset", "header_bytes", "source_bytes", "chunks", "payload_bytes",
          "length_fields_set", "bytes_written"]


def layout(name, struct):
    print(f"{name} {ctypes.sizeof(struct)}")
    for field, _ in struct._fields_:
        print(f"{name}.{field} {getattr(struct, field).offset} {getattr(struct, field).size}")


def show(report):
    values = []
    for field in FIELDS:
        value = bytes(report.magic).hex() if field == "magic" else getattr(report, field)
        values.append(f"{field}={value}")
    print("report: " + " ".join(values))


def fresh():
    report = Report()
    ctypes.memset(ctypes.byref(report), 0x5A, ctypes.sizeof(report))
    report.size = ctypes.sizeof(report)
    return report


layout("marlune_report", Report)
layout("marlune_options", Options)
print("version", marlune_version().decode())
print("text 51", status_text(51))
print("text 12345", status_text(12345))

r = fresh()
print("examine good:", marlune_examine(b"good.snd", ctypes.byref(r)))
show(r)
r = fresh()
print("examine cut:", marlune_examine(b"cut.snd", ctypes.byref(r)))
show(r)

seen = {"calls": 0}
marker = ctypes.c_int(0)


def count(done, total, context):
    seen.update(calls=seen["calls"] + 1, done=done, total=total, same=context == ctypes.addressof(marker))
    return 0


counting = Progress(count)
o = Options(placement=1, durability=1, progress=counting, progress_context=ctypes.addressof(marker))
r = fresh()
print("copy good out.kv:", marlune_copy(b"good.snd", b"out.kv", ctypes.byref(o), ctypes.byref(r)))
show(r)
print(f"progress: calls={'some' if seen['calls'] else 'none'} last={seen['done']}/{seen['total']} "
      f"context={'same' if seen['same'] else 'other'}")

o = Options(replace=0)
r = fresh()
print("copy good out.kv kept:", marlune_copy(b"good.snd", b"out.kv", ctypes.byref(o), ctypes.byref(r)))
show(r)

cancelled = {"calls": 0}


def cancel(done, total, context):
    cancelled["calls"] += 1
    return 1


cancelling = Progress(cancel)
o = Options(progress=cancelling)
r = fresh()
status = marlune_copy(b"good.snd", b"cancel.kv", ctypes.byref(o), ctypes.byref(r))
print(f"copy good cancel.kv: {status} calls={cancelled['calls']}")
show(r)

name = "n\u00e4me-\u20ac"
print("copy utf-8:", marlune_copy((name + ".snd").encode(), (name + ".kv").encode(), None, None))
r = fresh()
print("convert take:", marlune_convert(b"take.snd", None, ctypes.byref(r)))
show(r)
print("convert take.kv:", marlune_convert(b"take.kv", None, None))

show_errors = ctypes.c_int32(0)
print("KVRBinfo good old.kv:", KVRBinfo(b"good.snd", b"old.kv", 0))
print("KVRBinfo cut old-cut.kv:", KVRBinfo(b"cut.snd", b"old-cut.kv", 0))
print("IKVRBinfo null old.snd:", IKVRBinfo(0, None, b"old.snd"))
print("IKVRBinfo 0 cut.snd:", IKVRBinfo(0, ctypes.byref(show_errors), b"cut.snd"))
if sys.platform == "win32":
    raise SystemExit("check.py covers the _w functions only where it can run: not here")
