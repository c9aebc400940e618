"""marlune: copy and normalise KVRB audio containers, over the C library libmarlune.

    import marlune
    report = marlune.examine("take1.snd")          # a path, memoryview(data), or a binary file object
    marlune.copy("take1.snd", "take1.kv")          # raises marlune.MarluneError subclasses on failure
    for report in marlune.convert_tree("archive"):  # every file, in the order of marlune convert -r
        print(report.source, report.status_name, report.reason)

The C library is loaded at import: from MARLUNE_LIBRARY (a path) when it is
set, else the copy a wheel bundled inside this package, else the system's
(libmarlune.so.1, Marlune.dll). marlune.dask spreads convert_tree and copy_tree
over a Dask cluster.
"""
from ._api import convert, copy, examine, kv_name, remove_partial, version
from ._core import (BadName, Cancelled, DestinationError, DiskFull, JobRefused, MarluneError, NotAContainer, Report,
                    SourceError, Status, Truncated, status_name, status_text)
from ._library import LibraryNotFound, library_path
from ._records import RecordFiles
from ._tree import RunSummary, TreeRun, convert_tree, copy_tree, examine_tree, report, salvage_tree, verify

__version__ = "1.0.0"

__all__ = [
    "examine", "copy", "convert", "examine_tree", "convert_tree", "copy_tree", "salvage_tree", "verify", "report", "RecordFiles", "kv_name", "remove_partial", "version",
    "Report", "RunSummary", "TreeRun", "Status", "status_name", "status_text", "library_path",
    "MarluneError", "BadName", "SourceError", "DestinationError", "DiskFull", "NotAContainer", "Truncated",
    "Cancelled", "JobRefused", "LibraryNotFound",
]
