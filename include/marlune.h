/*
 * marlune.h -- copy and normalise KVRB audio containers.
 *
 * Marlune copies a KVRB container (an 82-byte header, an opaque preamble and a
 * run of framed audio chunks) from one file to another, checking its framing on
 * the way and giving every chunk a 330-byte payload when the header asks for
 * fixed-length chunks. The library is Marlune.dll on Windows and libmarlune.so
 * elsewhere.
 *
 * It has two sets of functions:
 *
 *   - marlune_copy, marlune_convert, marlune_examine (and on Windows their
 *     wide-character forms), marlune_status_text and marlune_version: the
 *     interface for programs. Paths are UTF-8; every call says exactly what
 *     happened through its status and an optional report; nothing is shown to
 *     the user; any number of calls may run at once, from any threads, on
 *     different files.
 *
 *   - KVRBinfo and IKVRBinfo: the original two functions, kept exactly as
 *     they always were for the hosts that call them. Paths are in the system's
 *     ANSI code page; failures may be shown to the user in a message box; one
 *     call runs at a time.
 */
#ifndef MARLUNE_H
#define MARLUNE_H

#include <stdint.h>
#ifdef _WIN32
#include <wchar.h>
#endif

/* Calling convention of the exported functions: __stdcall on 32-bit Windows,
   the platform's default everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#  define MARLUNE_CALL __stdcall
#else
#  define MARLUNE_CALL
#endif

#if defined(MARLUNE_BUILDING) && defined(__GNUC__) && !defined(_WIN32)
#  define MARLUNE_API __attribute__((visibility("default")))
#else
#  define MARLUNE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* The original functions                                                   */
/*                                                                          */
/* Paths are null-terminated byte strings in the system's ANSI code page (on */
/* POSIX: the bytes given to open()); a null pointer counts as an empty     */
/* path. Calls are serialised inside the library: several threads may call, */
/* one call runs at a time. A call made from inside a running call on the   */
/* same thread (a window procedure while an error message box is open)      */
/* returns 0 at once and does nothing.                                      */
/* ------------------------------------------------------------------------ */

/*
 * KVRBinfo -- copy the KVRB container `source` to `destination`.
 *
 * The destination is created, or truncated when it exists; it must not be the
 * source file itself. In a container whose header selects fixed-length chunks
 * every chunk is written with a 330-byte payload and its length field set to
 * 330; otherwise the container is copied byte for byte.
 *
 * When `showErrors` is non-zero a failure is shown to the user (a message box
 * captioned "Marlune" on Windows, a line "Marlune: <message>" on standard
 * error elsewhere) with one of these messages:
 *   "Error in source or destination filename."  a path is null or empty
 *   "Unable to open the source file."
 *   "Unable to create the destination file."    also: it is the source itself
 *   "Unable to copy KVRB header."               not a container, or cut short
 *   "Unable to copy KVRB audio data."           a chunk cut short, or an I/O error
 *
 * Returns 1 when the whole container reached the destination, 0 on any failure.
 * A destination that was created stays on failure, holding the header,
 * preamble and complete chunks copied before the failure. After a failed write
 * the destination is cut back to the last whole part that reached it; should
 * the system refuse that too (a disk that has stopped answering), the call
 * fails all the same, and the destination may then end inside a part.
 */
MARLUNE_API int32_t MARLUNE_CALL KVRBinfo(const char *source, const char *destination,
                                          int32_t showErrors);

/*
 * IKVRBinfo -- convert the file `path` to a ".kv" file beside it.
 *
 * A path whose last three bytes are ".kv" needs nothing and returns -1 at
 * once. Otherwise the destination is `path` with the extension of its last
 * component replaced by ".kv" (or ".kv" appended when it has none), and the
 * container is copied as by KVRBinfo, but beside the destination: into a new
 * file "<destination>.<16 hex digits>.marlune-partial" in the same folder (the
 * destination's part of that name shortened when the whole would pass the
 * system's 255-character limit), held against removal while it is written
 * and (on POSIX) readable by its owner alone. After its last write it takes
 * the source's modification time and permission bits (owner and group where
 * the caller may set them; on Windows the times alone, so that a later
 * conversion may still replace it), which go to stable storage with its data.
 * Once the copy is complete its data and then its folder are put on stable
 * storage, it is moved over the destination name (replacing an earlier file
 * there), the folder is put on stable storage again, and only then is the
 * source deleted, and only while the destination name still leads to the new
 * file, and only while the source is unchanged since the copy read it (the
 * same file, size, modification and change times). Through a symbolic link
 * at the destination name, the file it leads to is replaced and the link kept.
 *
 * A failed conversion never deletes the source, removes its partial file and
 * leaves a file that already had the destination name as it was: the
 * destination name never holds part of a copy. A destination name that is the
 * source itself, a folder, anything but a regular file, or a file the caller
 * may not write (read-only) fails with "Unable to create the destination
 * file." before anything is written; so does a conversion whose new file was
 * replaced by another at the destination name before the source was deleted
 * (the source is then kept). A conversion whose source changed after its copy
 * read it fails with "Unable to copy KVRB audio data.", its ".kv" file standing
 * (a whole conversion of what was read) and the source kept; a program that
 * writes to the source in the moment of its removal is not seen (see
 * marlune_convert). A partial file left by a machine that stopped
 * mid-conversion can be deleted (marlune_remove_partial): the source is then
 * still whole (or the conversion already complete).
 *
 * `ignored` is not used. `showErrorsIn` points to the show-errors value passed
 * on to KVRBinfo; a null pointer counts as 0.
 *
 * Returns -1 when the file was converted (even if deleting the source then
 * failed) or needed no conversion, 0 when the conversion failed.
 */
MARLUNE_API int32_t MARLUNE_CALL IKVRBinfo(int32_t ignored, const int32_t *showErrorsIn,
                                           const char *path);


/* ------------------------------------------------------------------------ */
/* The interface for programs                                               */
/* ------------------------------------------------------------------------ */

/*
 * Every call of the functions below answers one of these statuses. Each maps to
 * one of the original functions' messages, which KVRBinfo and IKVRBinfo show:
 *
 *   status                                  message
 *   MARLUNE_OK .. MARLUNE_FINISHED        (none: success)
 *   MARLUNE_NO_SOURCE_NAME ..
 *     MARLUNE_BAD_NAME                      "Error in source or destination filename."
 *   MARLUNE_SOURCE_MISSING ..
 *     MARLUNE_SOURCE_NOT_A_FILE             "Unable to open the source file."
 *   MARLUNE_DESTINATION_UNCREATABLE ..
 *     MARLUNE_PARTIAL_IN_USE                "Unable to create the destination file."
 *   MARLUNE_NOT_A_CONTAINER ..
 *     MARLUNE_PREAMBLE_CUT                  "Unable to copy KVRB header."
 *   MARLUNE_CHUNK_HEADER_CUT and above      "Unable to copy KVRB audio data.", or
 *                                           "Unable to copy KVRB header." when the
 *                                           failure came before the chunks (while
 *                                           the header and preamble were copied,
 *                                           or before: no memory to copy in)
 */
enum {
    MARLUNE_OK = 0,                       /* done */
    MARLUNE_ALREADY_CONVERTED = 1,        /* marlune_convert: the path ends in ".kv"; nothing to do */
    MARLUNE_SALVAGED = 2,                 /* marlune_copy with `salvage`: the source's chunks are cut short;
                                             the destination holds every whole one (the report says what
                                             was lost) */
    MARLUNE_FINISHED = 3,                 /* marlune_convert with `replace` 0: the ".kv" file held exactly this
                                             file's conversion already (one stopped before it removed its
                                             source); it was put on stable storage and the source removed */

    MARLUNE_NO_SOURCE_NAME = 10,          /* the source path is null or empty */
    MARLUNE_NO_DESTINATION_NAME = 11,     /* the destination path is null or empty */
    MARLUNE_BAD_NAME = 12,                /* a path is no valid UTF-8, or cannot name a file */

    MARLUNE_SOURCE_MISSING = 20,          /* no file, or no folder, at the source path */
    MARLUNE_SOURCE_UNREADABLE = 21,       /* the source may not be read (permissions, locked) */
    MARLUNE_SOURCE_NOT_A_FILE = 22,       /* a folder, device, pipe: only regular files are copied */

    MARLUNE_DESTINATION_UNCREATABLE = 30, /* the destination cannot be created or written */
    MARLUNE_DESTINATION_IS_SOURCE = 31,   /* the destination is the source file itself */
    MARLUNE_DESTINATION_EXISTS = 32,      /* it exists, and the options say not to replace it; also when
                                             another file took the name while the copy was written */
    MARLUNE_DESTINATION_REPLACED = 33,    /* marlune_convert: once moved into place, the ".kv" name led to
                                             another file (something replaced it meanwhile): the source is
                                             kept. IKVRBinfo answers 0 then, the source kept */
    MARLUNE_PARTIAL_IN_USE = 34,          /* marlune_remove_partial: a copy is still writing the file */
    MARLUNE_NAMED_TWICE = 35,             /* a batch, a converting run: an earlier file of the batch or run
                                             is this file (another path to it, a hard link, a symbolic
                                             link); nothing was done for this one, the earlier one's status
                                             tells what became of the file (a run's result: `other` is that
                                             earlier name) */

    MARLUNE_NOT_A_CONTAINER = 40,         /* the magic is neither "KVRB" nor "fx30" */
    MARLUNE_HEADER_CUT = 41,              /* the source ends inside the 82-byte header */
    MARLUNE_DATA_OFFSET_BELOW_HEADER = 42, /* dataOffset is below 82, inside the header */
    MARLUNE_PREAMBLE_CUT = 43,            /* the source ends before dataOffset */

    MARLUNE_CHUNK_HEADER_CUT = 50,        /* the source ends 1 to 7 bytes into a chunk header */
    MARLUNE_PAYLOAD_CUT = 51,             /* the source ends inside a chunk's payload */
    MARLUNE_SOURCE_CHANGED = 52,          /* the source was cut or extended while it was copied, a stream gave
                                             more than its stated length, or (marlune_convert) the source
                                             changed after its copy read it: then the ".kv" file stands, a
                                             whole conversion of what was read, and the source is kept */

    MARLUNE_READ_ERROR = 60,              /* the system failed a read of the source */
    MARLUNE_WRITE_ERROR = 61,             /* the system failed a write, close or move of the destination */
    MARLUNE_DISK_FULL = 62,               /* the destination's disk (or quota) is full */
    MARLUNE_SYNC_ERROR = 63,              /* putting the destination on stable storage failed */
    MARLUNE_CANCELLED = 64,               /* the progress callback asked to stop */
    MARLUNE_OUT_OF_MEMORY = 65,           /* no memory to copy in */
    MARLUNE_TOO_MANY_FILES = 66,          /* a batch: the system gave no file handle for a source, a copy or a
                                             folder (its open-file limit; system_error has the code): every
                                             file of the batch not failed for a reason of its own answers it,
                                             before anything is moved, its source kept */

    /* Settled by a run's plan: each is a file's result, given before any work (nothing was written
       for the file), or, where said, a call's. 71 is unused (a run's file named twice answers
       MARLUNE_NAMED_TWICE). */
    MARLUNE_RUN_COLLISION = 70,           /* an earlier file of the run takes this file's name (a.snd and
                                             a.wav both to a.kv); the result's `other` names it */
    MARLUNE_RUN_LANDS_ON_RUN_FILE = 72,   /* its copy would replace a file of this run (`other`): a tree
                                             copied into a folder above it, listed names that meet */
    MARLUNE_RUN_OUTSIDE_DESTINATION = 73, /* a listed name with no place under the destination folder: it
                                             is absolute, or holds ".." */
    MARLUNE_RUN_DESTINATION_LINK = 74,    /* a folder on the way to the copy's name, or the name itself, is
                                             a symbolic link (junction): nothing is written through it.
                                             Folders under the destination are looked at and made one
                                             component at a time right before a group's copies; a link
                                             another program puts there after that look is not seen */
    MARLUNE_RUN_PARTIAL_REMOVED = 75,     /* convert: a partial file that a stopped conversion left, removed
                                             (a success: its recording is whole at its own name); a
                                             mirror: one that a stopped mirror left in the destination,
                                             removed before the folder's copies (the result's path) */
    MARLUNE_RUN_PARTIAL_LEFT = 76,        /* a partial file, left as it is: a copy's source, or a dry run */
    MARLUNE_RUN_FOLDER_UNREADABLE = 77,   /* a folder of the walk cannot be read (system_error says why);
                                             the result's path is the folder */
    MARLUNE_RUN_INSIDE_SOURCE = 78,       /* marlune_run_add: the destination folder is, or lies within,
                                             the folder added: the copy would copy itself */
    MARLUNE_RUN_BAD_STATE = 79,           /* a call made out of turn (marlune_run_add after the start, a
                                             step that cannot be read) */
    MARLUNE_RUN_LINK_REFUSED = 80,        /* a mirror: the system would not make the symbolic link (on
                                             Windows without the right to, outside developer mode);
                                             system_error says why */
    MARLUNE_VERIFY_MISSING = 81,          /* verify: the destination lacks the file */
    MARLUNE_VERIFY_EXTRA = 82,            /* verify: the destination holds a file its source lacks */
    MARLUNE_VERIFY_DIFFERENT = 83,        /* verify: the copy differs from what copying its source gives
                                             now, or is another kind of file (a link for a file) */
    MARLUNE_VERIFY_BAD_LINE = 84,         /* verify: a manifest line that cannot be read, names no place
                                             under the destination, or breaks the walk's order (which the
                                             merge needs: a manifest marlune writes keeps it) */

    /* A mirror's deletions held back: each is one result, told once for the run, whose path is the
       source folder (86: the first file kept), and nothing more is removed. */
    MARLUNE_RUN_DELETION_OFF = 85,        /* the run met an error in the source (a folder or the source
                                             folder itself that cannot be read or has gone, a read that
                                             failed), so no file is removed: the source's listing may
                                             lack what it holds */
    MARLUNE_RUN_DELETE_LIMIT = 86,        /* marlune_run_options.max_delete files were removed: this file
                                             and every later one the source lacks are kept */
    MARLUNE_RUN_SOURCE_EMPTY = 87,        /* the source folder holds no file while the destination does
                                             (a disk that did not mount?): nothing is removed unless
                                             MARLUNE_RUN_DELETE_FROM_EMPTY says so */
    MARLUNE_RUN_SOURCE_INSIDE_DESTINATION = 88, /* marlune_run_add with MARLUNE_RUN_DELETE: the folder added
                                             is, or lies within, the destination folder, whose deletions
                                             would remove the sources */
    MARLUNE_RUN_NO_WORKERS = 89,          /* marlune_run_start: the system would start no worker thread
                                             (a limit on the user's processes); the run is not started */
    MARLUNE_RUN_JOB_REFUSED = 90          /* marlune_run_open, marlune_run_check, marlune_run_add: the
                                             options do not go together (marlune_run_check says why), or a
                                             path added where the job takes no more; marlune_run_step: a
                                             step of such a job, nothing done */,
    MARLUNE_RUN_NO_FOLDER = 91            /* marlune_run_add, marlune_run_start, marlune_run_check_root: no
                                             folder where the run needs one (the destination folder, the
                                             one source folder of a copy into it or of verify): nothing
                                             there, or something else; system_error says which */,
    MARLUNE_RUN_COPY_ROTTED = 93,         /* a mirror with MARLUNE_RUN_CHECKSUM: the copy no longer held
                                             the digest its manifest recorded when it was written (it
                                             changed on the destination); copied again from its source.
                                             Its outcome is MARLUNE_OUTCOME_RESTORED */

    /* Verify against a manifest (the source of the others is a folder). */
    MARLUNE_VERIFY_NO_MANIFEST = 94,      /* the manifest cannot be read (system_error says why) or lists
                                             no file: nothing was checked */
    MARLUNE_VERIFY_NOT_IN_MANIFEST = 95,  /* the destination holds a file the manifest does not list */
    MARLUNE_VERIFY_NOT_AS_LISTED = 96     /* the file's digest is not the manifest's, or it is no file */
};

/*
 * marlune_report -- what a call did, filled in when a pointer to one is given.
 *
 * Set `size` to sizeof(marlune_report) before the call: a later version that
 * adds fields at the end fills in only as much as `size` says, so programs built
 * against this header keep working. A report whose size is below 8 is left alone.
 * Every field is written on every call (0 where it does not apply).
 */
typedef struct marlune_report {
    uint32_t size;              /* set by the caller */
    int32_t status;             /* the call's result, as returned */
    int32_t system_error;       /* errno or GetLastError() of the system call that failed; 0 when none */
    uint32_t reserved;          /* 0 */
    /* The piece that is cut short (header, preamble, chunk header or payload), for
       the statuses MARLUNE_HEADER_CUT .. MARLUNE_PAYLOAD_CUT. */
    uint64_t cut_offset;        /* where in the source the piece starts */
    uint64_t cut_size;          /* its size when whole */
    uint64_t cut_missing;       /* how many of its bytes the source lacks */
    uint64_t chunk_number;      /* the chunk cut short or being copied at a failure, from 1; 0 when none */
    /* The container, as far as the source holds it. */
    char magic[4];              /* its first four bytes (fewer when shorter; the rest 0) */
    int32_t length_mode;        /* lengthMode; 0 or negative: fixed 330-byte payloads */
    uint32_t data_offset;       /* dataOffset */
    uint32_t header_bytes;      /* how much of the 82-byte header the source holds */
    uint64_t source_bytes;      /* the source's size */
    uint64_t chunks;            /* the whole chunks copied (examined) */
    uint64_t payload_bytes;     /* their payload bytes */
    uint64_t length_fields_set; /* of them, fixed-length chunks whose chunkLength was not 330 */
    uint64_t bytes_written;     /* what reached the destination */
} marlune_report;

/* Where a copy writes (marlune_options.placement). */
enum {
    MARLUNE_BESIDE = 0,   /* into a new file beside the destination, moved over its name once complete */
    MARLUNE_IN_PLACE = 1  /* into the destination itself, created or truncated, as KVRBinfo does */
};

/* What is on stable storage when a copy returns (marlune_options.durability). */
enum {
    MARLUNE_DURABLE_NONE = 0,         /* whatever the system wrote by itself */
    MARLUNE_DURABLE_DATA = 1,         /* the destination's data */
    MARLUNE_DURABLE_DATA_AND_NAME = 2 /* its data and the name that leads to it */
};

/*
 * The progress callback: `done` bytes of `total` (the source's size) are
 * copied. It is called about every MiB and once at the end, on the thread that
 * made the call. A non-zero answer cancels the call, which then ends as a
 * failure does (MARLUNE_CANCELLED).
 */
typedef int32_t(MARLUNE_CALL *marlune_progress)(uint64_t done, uint64_t total, void *context);

/*
 * marlune_options -- how to copy. A null pointer means the defaults, given
 * after each field: an existing destination is replaced, but only once the new
 * file is complete, so that a failed copy leaves it as it was and never leaves
 * part of a copy at its name; nothing is synced (a copy keeps its source, so
 * durability is the caller's to ask for, and costs time).
 *
 * Set `size` to sizeof(marlune_options); a field that does not lie wholly within
 * `size` bytes takes its default.
 */
typedef struct marlune_options {
    uint32_t size;               /* set by the caller */
    int32_t replace;             /* non-zero: an existing destination may be replaced. Default 1 */
    int32_t placement;           /* MARLUNE_BESIDE or MARLUNE_IN_PLACE. Default MARLUNE_BESIDE */
    int32_t durability;          /* MARLUNE_DURABLE_*. Default MARLUNE_DURABLE_NONE */
    marlune_progress progress;   /* null: none. Default null */
    void *progress_context;      /* passed to `progress` */
    int32_t salvage;             /* non-zero (copy only): a source whose chunks are cut short is copied up
                                    to its last whole chunk, a complete container, and the call answers
                                    MARLUNE_SALVAGED. Default 0 */
    int32_t reserved;            /* 0; keeps the struct free of padding on every machine */
} marlune_options;

/*
 * marlune_copy -- copy the container `source` to `destination` (UTF-8 paths).
 *
 * Checks the container's framing as it copies and gives every chunk a 330-byte
 * payload (length field 330) when the header selects fixed-length chunks. The
 * destination must not be the source file itself. On failure, a destination
 * written beside (the default) is left as it was; one written in place holds the
 * header, preamble and whole chunks copied before the failure, as KVRBinfo's.
 * Written beside, the new file takes the permissions, owner and group of the file
 * it replaces (where the caller may set them); a destination the caller may not
 * write is not replaced (MARLUNE_DESTINATION_UNCREATABLE). With `replace` 0 the
 * copy takes the name only while it is free, at the moment of the move.
 *
 * Returns MARLUNE_OK or the status of what failed; `report` may be null.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy(const char *source, const char *destination,
                                              const marlune_options *options, marlune_report *report);

/*
 * marlune_convert -- convert the file `path` to a ".kv" file beside it (UTF-8).
 *
 * The destination name, the copy, and the removal of the source follow IKVRBinfo
 * exactly: a path ending in ".kv" answers MARLUNE_ALREADY_CONVERTED at once; the
 * copy is written beside the ".kv" name and moved over it once its data and name
 * are on stable storage, and only then is the source removed (whatever the
 * options' placement and durability). With `replace` 0 an existing ".kv" file is
 * kept and the call answers MARLUNE_DESTINATION_EXISTS, also when another file
 * takes the name while the copy is written (the move never replaces it); unless
 * the ".kv" file holds exactly this file's conversion already (a conversion
 * stopped between its move and the source's removal), when that file is put on
 * stable storage, the source removed, and the call answers MARLUNE_FINISHED.
 * The source is removed only while the ".kv" name still leads to the file this
 * call wrote; when something replaced it meanwhile the source is kept and the
 * call answers MARLUNE_DESTINATION_REPLACED. The source's identity, size,
 * modification and change times are taken when its copy has read it, and
 * compared through the open source just before it is removed, and once more at
 * its name as it is removed: when anything changed (a chunk appended, a
 * rewrite, a hard link added or removed) the source is kept, the ".kv" file
 * stands (a whole conversion of what was read) and the call answers
 * MARLUNE_SOURCE_CHANGED. A file put at the source's name meanwhile is another
 * recording: it stays, and the call answers MARLUNE_OK. A program that holds the source open and writes to
 * it after that last check, within the moment of the removal, is not seen:
 * the system removes by name and has no "remove if unchanged". A failed
 * conversion keeps the source and leaves an existing ".kv" file as it was.
 *
 * Returns MARLUNE_OK (converted, even if removing the source then failed; the
 * report's system_error says so), MARLUNE_ALREADY_CONVERTED, MARLUNE_FINISHED,
 * or the status of what failed; `report` may be null.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_convert(const char *path, const marlune_options *options,
                                                 marlune_report *report);

/*
 * marlune_examine -- judge the file `path` as a copy would, writing nothing.
 *
 * Returns MARLUNE_OK for a complete container, or the status a copy of it would
 * fail with; the report (which may be null) tells what the file holds.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_examine(const char *path, marlune_report *report);

/*
 * marlune_judge_convert -- what marlune_convert(path, options, report) would
 * answer now, found without writing, moving or removing anything: the same checks
 * of the name, of what stands at the ".kv" name (a ".kv" file kept with `replace`
 * 0 is compared, so MARLUNE_FINISHED is foreseen too) and of the container, read
 * in full. A conversion run afterwards can still meet what changes meanwhile.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_judge_convert(const char *path, const marlune_options *options,
                                                       marlune_report *report);

/*
 * marlune_kv_name -- the ".kv" name marlune_convert gives `path` (its last
 * component's extension replaced by ".kv", or ".kv" appended), into `name` when
 * its `size` bytes hold it with its terminating null. Returns the bytes the name
 * takes with that null, whatever `size` (so that a first call with size 0 tells
 * how much to give); 0 for a null path.
 */
MARLUNE_API uint32_t MARLUNE_CALL marlune_kv_name(const char *path, char *name, uint32_t size);

/*
 * marlune_remove_partial -- remove `path`, a partial file that a copy or
 * conversion stopped by a crash or a kill left behind (its name ends in
 * ".marlune-partial"), unless a call in this or another process is still
 * writing it. Nothing is lost by it: the copy's source, or its finished
 * result, stands elsewhere.
 *
 * Returns MARLUNE_OK when it was removed, MARLUNE_PARTIAL_IN_USE when it is
 * being written, MARLUNE_BAD_NAME when the name is no partial file's, or the
 * status of what failed (MARLUNE_SOURCE_MISSING: no such file); `report` may
 * be null.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_remove_partial(const char *path, marlune_report *report);

/* marlune_status_text -- a status in English words ("the source ends inside a
   chunk's payload"); never null, also for values no status has. */
MARLUNE_API const char *MARLUNE_CALL marlune_status_text(int32_t status);

/* marlune_status_name -- a status's name as this header spells it
   ("MARLUNE_PAYLOAD_CUT"); "MARLUNE_UNKNOWN" for values no status has. */
MARLUNE_API const char *MARLUNE_CALL marlune_status_name(int32_t status);

/* Classes of statuses, bits that marlune_status_class combines: what a file
   that ended with a status is, whatever the call or the job. */
enum {
    MARLUNE_CLASS_DONE = 1,           /* no failure: MARLUNE_OK, ALREADY_CONVERTED, SALVAGED, FINISHED,
                                         RUN_PARTIAL_REMOVED, RUN_PARTIAL_LEFT */
    MARLUNE_CLASS_CANCELLED = 2,      /* the work was stopped by a cancel: neither done nor failed */
    MARLUNE_CLASS_FINDING = 4,        /* what the source's bytes are (a whole container, none, one cut
                                         short): an examination's answer rather than a failure to read */
    MARLUNE_CLASS_NOT_A_CONTAINER = 8, /* the source holds no container: a suspect where its name promises
                                          one (marlune_run_options.suspect_extensions) */
    MARLUNE_CLASS_DAMAGED = 16,       /* a container cut short (or salvaged from one) */
    MARLUNE_CLASS_BEFORE_CHUNKS = 32, /* the source falls short before its chunks: nothing can be salvaged */
    MARLUNE_CLASS_NOT_OPENED = 64,    /* nothing could be read from the source */
    MARLUNE_CLASS_SOURCE_ERROR = 128, /* the source could not be read whole: a mirror deletes nothing
                                         after it (its listing may lack what it holds) */
    MARLUNE_CLASS_COLLISION = 256,    /* named twice, or its name taken by an earlier file of the run */
    MARLUNE_CLASS_DIFFERENT = 512     /* verify: the copy is missing, extra or unequal, or the manifest's
                                         line cannot be used */
};

/* marlune_status_class -- the MARLUNE_CLASS_* bits of a status; 0 for a
   failure of no other class, and for values no status has. */
MARLUNE_API uint32_t MARLUNE_CALL marlune_status_class(int32_t status);

/* marlune_version -- the library's version, "1.0.0". */
MARLUNE_API const char *MARLUNE_CALL marlune_version(void);

/* ------------------------------------------------------------------------ */
/* Batches: many files put on stable storage together                        */
/* ------------------------------------------------------------------------ */

/*
 * marlune_batch_file -- one file of a batch.
 *
 * Set `size` to sizeof(marlune_batch_file); a field not wholly within `size`
 * bytes counts as null. The call sets `status` (when `size` holds it) and fills
 * in `report` when one is given, exactly as marlune_convert or marlune_copy
 * would for this file alone.
 */
typedef struct marlune_batch_file {
    uint32_t size;           /* set by the caller */
    int32_t status;          /* set by the call: this file's status */
    const char *source;      /* UTF-8 path */
    const char *destination; /* marlune_copy_batch: where it goes; not read by marlune_convert_batch */
    marlune_report *report;  /* null, or this file's report (with its own size set) */
} marlune_batch_file;

/*
 * marlune_convert_batch -- convert `count` files, each as marlune_convert does,
 * and put them on stable storage together.
 *
 * Every file is copied beside its ".kv" name first. Then the data of all of them
 * go to stable storage in as few flushes as the system has (on Linux one syncfs
 * per file system; on Windows each file's own flush), they are moved into place,
 * each folder that holds them is put on stable storage once, and only then are
 * the sources removed, each only while its ".kv" name still leads to its copy.
 * Per file this gives exactly what marlune_convert gives: its data is on stable
 * storage before a name leads to it, the name before its source goes, `replace`
 * holds at the move. A file that fails affects no other, but for a flush that
 * fails: then every file whose folder's flush failed fails with
 * MARLUNE_SYNC_ERROR, its source kept. A cancel through the progress callback
 * stops the batch before any move: every file not yet in place answers
 * MARLUNE_CANCELLED, its source kept.
 *
 * Before any copy, every source is opened, and every folder that holds a
 * source or a copy once; the names in a folder are then made, moved, checked
 * and removed inside the folder held open (on Windows, which gives names by
 * path only, the folder held keeps it from being renamed or removed), so that
 * a folder renamed meanwhile changes nothing. A file the batch names twice
 * (another path to it, a hard link, a symbolic link) is found then: the first
 * entry goes ahead, every later one answers MARLUNE_NAMED_TWICE without work.
 * Files, their reports and their order are the caller's; the call keeps two
 * files open per file of the batch, and one per folder, until the end, so
 * batches of a few hundred files suit most systems' limits. A batch that finds
 * no handle left fails as a whole before anything moves: every file that did
 * not fail for a reason of its own answers MARLUNE_TOO_MANY_FILES (the
 * system's code, EMFILE, in its report's system_error), its source kept and
 * nothing new at its ".kv" name.
 *
 * Returns MARLUNE_OK when every file succeeded (or needed nothing), else the
 * status of the first file that failed. With a null `files` and a non-zero
 * `count`, MARLUNE_NO_SOURCE_NAME.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_convert_batch(marlune_batch_file *files, uint32_t count,
                                                       const marlune_options *options);

/*
 * marlune_copy_batch -- copy `count` files, each as marlune_copy does beside its
 * destination (whatever the options' placement), and put them on stable storage
 * together as far as the options' durability asks: MARLUNE_DURABLE_DATA flushes
 * the data of all of them together before the moves, MARLUNE_DURABLE_DATA_AND_NAME
 * also each folder once after them. Returns as marlune_convert_batch.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy_batch(marlune_batch_file *files, uint32_t count,
                                                    const marlune_options *options);

/* ------------------------------------------------------------------------ */
/* Streams: containers read and written through the caller's callbacks, or  */
/* read from memory                                                         */
/*                                                                          */
/* The same validation, normalisation, statuses and report as marlune_copy   */
/* and marlune_examine, in the same constant memory, for sources and        */
/* destinations that are no local files: pipes, sockets, object stores,     */
/* archive members, a program's own buffers.                                */
/* ------------------------------------------------------------------------ */

/*
 * marlune_reader -- a source that the library reads from start to end, once.
 *
 * `read` puts up to `count` bytes into `buffer` and returns how many it put there
 * (any number from 1 to `count`; 0 only at the source's end), or -1 on failure
 * with `*error` set to a non-zero code of the caller's own (errno, GetLastError(),
 * a protocol's): the call then answers MARLUNE_READ_ERROR with that code in the
 * report's system_error. With `length_known` non-zero the source holds exactly
 * `length` bytes, and one that ends sooner or goes on is MARLUNE_SOURCE_CHANGED,
 * as a file that changed while it was read: `read` is asked for at most one
 * byte past `length`, and once that byte came it is not called again. Without
 * it the source ends where `read` says it ends (and the progress callback is
 * told a total of 0).
 *
 * Set `size` to sizeof(marlune_reader).
 */
typedef struct marlune_reader {
    uint32_t size;        /* set by the caller */
    int32_t length_known; /* non-zero: `length` is the source's size */
    uint64_t length;
    int64_t(MARLUNE_CALL *read)(void *buffer, uint64_t count, int32_t *error, void *context);
    void *context;        /* passed to `read` */
} marlune_reader;

/*
 * marlune_writer -- a destination that the library writes from start to end.
 *
 * `write` takes all `count` bytes and returns 0, or a non-zero code of the
 * caller's own on failure: the call then answers MARLUNE_WRITE_ERROR with that
 * code in the report's system_error. Nothing written can be taken back, so the
 * library gives a writer only whole parts of the container (the header, the
 * preamble, whole chunks), except a preamble longer than its buffer (512 KiB),
 * which goes in pieces as it is read. What the writer took on a failure is the
 * report's bytes_written.
 *
 * Set `size` to sizeof(marlune_writer).
 */
typedef struct marlune_writer {
    uint32_t size;    /* set by the caller */
    int32_t reserved; /* 0 */
    int32_t(MARLUNE_CALL *write)(const void *buffer, uint64_t count, void *context);
    void *context;    /* passed to `write` */
} marlune_writer;

/*
 * marlune_copy_stream -- copy the container that `source` reads to `destination`.
 *
 * As marlune_copy, of the options only `progress`, `progress_context` and
 * `salvage` apply. A null source or destination answers MARLUNE_NO_SOURCE_NAME
 * or MARLUNE_NO_DESTINATION_NAME.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy_stream(const marlune_reader *source, const marlune_writer *destination,
                                                     const marlune_options *options, marlune_report *report);

/*
 * marlune_copy_from_stream -- copy the container that `source` reads to the file
 * `destination` (a UTF-8 path), written as marlune_copy writes it, with every
 * option: beside (the default), a failed copy, the reader's failure too, leaves an
 * existing destination as it was and no partial file. A null source answers
 * MARLUNE_NO_SOURCE_NAME.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy_from_stream(const marlune_reader *source, const char *destination,
                                                          const marlune_options *options, marlune_report *report);

/* marlune_examine_stream -- judge the container that `source` reads, as
   marlune_examine judges a file. */
MARLUNE_API int32_t MARLUNE_CALL marlune_examine_stream(const marlune_reader *source, marlune_report *report);

/* marlune_copy_memory, marlune_examine_memory -- the same for the `length` bytes
   at `bytes`, which are only read. */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy_memory(const void *bytes, uint64_t length,
                                                     const marlune_writer *destination,
                                                     const marlune_options *options, marlune_report *report);
MARLUNE_API int32_t MARLUNE_CALL marlune_examine_memory(const void *bytes, uint64_t length, marlune_report *report);

/*
 * marlune_copy_to_stream -- copy the file `source` (a UTF-8 path) to `destination`.
 *
 * The source is opened and judged as marlune_copy opens it (a regular file, read
 * once; one that changes while it is read is MARLUNE_SOURCE_CHANGED); of the
 * options only `progress`, `progress_context` and `salvage` apply, as for
 * marlune_copy_stream. Returns the statuses of marlune_copy_stream: a source
 * that cannot be opened as marlune_copy answers it (MARLUNE_SOURCE_MISSING,
 * MARLUNE_SOURCE_NOT_A_FILE, ... with the system's code in the report), a null
 * or empty name MARLUNE_NO_SOURCE_NAME, a writer's failure MARLUNE_WRITE_ERROR
 * with the writer's code. `report` may be null.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy_to_stream(const char *source, const marlune_writer *destination,
                                                        const marlune_options *options, marlune_report *report);

/*
 * marlune_standard_input -- fill in `reader` (its `size` set) to read the
 * process's standard input from its position to its end, as bytes, whatever the
 * C runtime's text mode or buffers. Where standard input is a regular file its
 * length is stated, so that one that changes while it is read is
 * MARLUNE_SOURCE_CHANGED; a pipe on Linux is widened to 1 MiB, so that the
 * programs on either side wait on each other less. A failed read's code is the
 * system's (errno, GetLastError()). Nothing else of the process may read
 * standard input while the reader is in use.
 *
 * marlune_standard_output -- the same for a writer to the process's standard
 * output, unbuffered: flush the C runtime's own output first, and write nothing
 * else there while the writer is in use. On POSIX a write to a pipe whose
 * reader is gone raises SIGPIPE unless the process ignores it (the write then
 * fails with EPIPE).
 *
 * Both return MARLUNE_OK, or MARLUNE_NO_SOURCE_NAME (MARLUNE_NO_DESTINATION_NAME)
 * for a null reader (writer) or one whose `size` is too small.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_standard_input(marlune_reader *reader);
MARLUNE_API int32_t MARLUNE_CALL marlune_standard_output(marlune_writer *writer);

/* ------------------------------------------------------------------------ */
/* Runs: many files and folders, in one order, on library threads            */
/*                                                                          */
/* A run examines, copies, salvages or converts every file it is given and  */
/* every file of the folders it walks, with the guarantees about the run as */
/* a whole that no single call can give: one order, files that would write  */
/* one name found before any work, no copy over a file of the same run or   */
/* outside its destination folder, partial files that a crash left removed, */
/* groups put on stable storage together and bounded by the open files the  */
/* process may hold, and results handed back in the run's order.            */
/*                                                                          */
/* The order: the paths in the order they were added; a folder's entries    */
/* by the bytes of their UTF-8 names (on Windows as the names are spelled,  */
/* whatever their case), a subfolder walked where its name falls. The same  */
/* tree gives the same order on every machine and in every front end.       */
/*                                                                          */
/* The walk streams: it holds one sorted listing per folder level it is in, */
/* so that memory grows with the depth and the widest folder, never with    */
/* the number of files, and the first results come before the walk ends.    */
/* ------------------------------------------------------------------------ */

/* What a run does to each file (marlune_run_options.job). */
enum {
    MARLUNE_JOB_EXAMINE = 0, /* marlune_examine */
    MARLUNE_JOB_COPY = 1,    /* marlune_copy into the destination folder, in groups (marlune_copy_batch) */
    MARLUNE_JOB_SALVAGE = 2, /* the same with `salvage` */
    MARLUNE_JOB_CONVERT = 3, /* marlune_convert, in groups (marlune_convert_batch) */
    MARLUNE_JOB_VERIFY = 4   /* the destination folder against the one source folder added (place ""):
                                every file of either tree is a result, in the run's order, the two
                                trees' listings merged (memory grows with the depth, never with the
                                files). A file of both matches (MARLUNE_OK, outcome matched) when the
                                destination's bytes are those a copy of the source gives now (a
                                container's normalised copy, any other file byte for byte), a link
                                when it holds the same text; else MARLUNE_VERIFY_MISSING,
                                MARLUNE_VERIFY_EXTRA or MARLUNE_VERIFY_DIFFERENT (outcome different).
                                With marlune_run_options.manifest and no folder added: the destination
                                against that manifest, every line's file hashed and compared */
};

/* marlune_run_options.flags */
enum {
    MARLUNE_RUN_RECURSIVE = 1,    /* a folder added is walked; else it is handed to the job as a file
                                     (which answers MARLUNE_SOURCE_NOT_A_FILE) */
    MARLUNE_RUN_FOLLOW_LINKS = 2, /* symbolic links (junctions) met in a walk are followed; else they are
                                     counted (marlune_run_tally.links_not_followed) and left. A folder is
                                     walked once however many links lead to it, and a link that leads
                                     into a copy's destination folder is not walked. Converting, a
                                     file reached through a link is converted under the link's name,
                                     and reached again later in the walk (by its own name or another
                                     link) answers MARLUNE_NAMED_TWICE; a link met after the file it
                                     leads to answers MARLUNE_NAMED_TWICE too (`other`: that file),
                                     also when that file's conversion has removed it already (on
                                     Windows only while it is there) */
    MARLUNE_RUN_KV_NAMES = 4,     /* copy, salvage: the copies take ".kv" names (marlune_kv_name) */
    MARLUNE_RUN_JUDGE_ONLY = 8,   /* convert, mirror: a dry run, whatever else is set: each file judged
                                     (convert: by marlune_judge_convert), nothing written, moved or
                                     removed; every report, count and record says 0 bytes written.
                                     Refused for other jobs and with a manifest to write */
    MARLUNE_RUN_REPLACE = 16,     /* convert: an existing ".kv" file may be replaced. Copies into the
                                     destination folder always replace what is at their names, but for
                                     a link, a folder, or a file of the run */
    MARLUNE_RUN_MIRROR = 32,      /* copy, salvage: every regular file arrives. A container is copied
                                     as the job copies it (outcome copied or salvaged); a damaged one
                                     byte for byte, its cut in the report and its status the
                                     container's (outcome damaged); any other file byte for byte
                                     (status MARLUNE_OK, outcome copied-as-is); a symbolic link met in
                                     the walk is made anew with the text it holds (outcome linked),
                                     never followed; folders are made as in the source (empty ones
                                     too) and take their sources' times and modes once the run has
                                     ended. Each copy is written beside its name, takes its source's
                                     modification time, permission bits and (where the caller may set
                                     them) owner and group, and is moved into place with its group,
                                     durable as `durability` says. A copy whose size and
                                     modification time equal its source's is left (outcome
                                     unchanged). With MARLUNE_RUN_JUDGE_ONLY nothing is written: each
                                     result says what would become of its file */
    MARLUNE_RUN_CHECKSUM = 64,    /* mirror: a copy is left as unchanged only when its bytes are those
                                     the copy would write now (compared byte for byte; a size that
                                     differs differs without a read), whatever its time */
    MARLUNE_RUN_DELETE = 256,     /* mirror of one folder added with place "": once every copy of the run
                                     is in place, each file and link under the destination that the
                                     source lacks is removed (outcome deleted; with
                                     MARLUNE_RUN_JUDGE_ONLY only told). Never through a link: the
                                     destination is walked without following any, and folders are
                                     left. Source and destination are the folders their names lead
                                     to when the run starts (a link named is followed); a link met in
                                     the source is a name the source has, and with
                                     MARLUNE_RUN_FOLLOW_LINKS is followed as the copies follow it.
                                     Nothing is removed after any error in the source
                                     (MARLUNE_RUN_DELETION_OFF), from an empty source
                                     (MARLUNE_RUN_SOURCE_EMPTY), beyond max_delete
                                     (MARLUNE_RUN_DELETE_LIMIT), nor a file of the run's own
                                     (marlune_run_keep, the manifest); partial files are left to their
                                     writers */
    MARLUNE_RUN_SHA256 = 128,     /* mirror: each copy's SHA-256 in its result (marlune_run_result.
                                     sha256), of its bytes as they were written; an unchanged copy's
                                     read from it. Set by marlune_run_options.manifest */
    MARLUNE_RUN_DELETE_FROM_EMPTY = 512 /* mirror with MARLUNE_RUN_DELETE: a source folder with no file may
                                           empty the destination (else MARLUNE_RUN_SOURCE_EMPTY) */
};


/*
 * marlune_run_options -- what a run does, for marlune_run_open. Set `size` to
 * sizeof(marlune_run_options); a field not wholly within `size` takes its
 * default, given after it. The library copies what it needs: the struct and
 * the destination string may go once marlune_run_open returns.
 */
typedef struct marlune_run_options {
    uint32_t size;           /* set by the caller */
    int32_t job;             /* MARLUNE_JOB_*. Default MARLUNE_JOB_EXAMINE */
    uint32_t flags;          /* MARLUNE_RUN_*. Default 0 */
    int32_t durability;      /* copy, salvage: MARLUNE_DURABLE_*, and with MARLUNE_DURABLE_DATA_AND_NAME the
                                folders made are put on stable storage in their parents. Default none */
    const char *destination; /* copy, salvage: the destination folder (UTF-8), made when missing. Required */
    uint32_t workers;        /* threads; 0: one per processor. Default 0 */
    uint32_t window;         /* groups started ahead of the group of the oldest result not yet taken
                                by marlune_run_next, at most; 0: 4 per worker. Default 0 */
    uint32_t group_files;    /* files in one group (one batch call, one flush), at most; 0: 256 for copies
                                and conversions, 16 for examinations, verifications and dry runs.
                                Default 0 */
    uint32_t open_files;     /* files the run's groups may hold open together; 0: as the process's limit
                                allows (its soft limit raised to its hard one first), less 64. Default 0 */
    uint64_t group_bytes;    /* source bytes in one group, at most (a larger file is a group alone);
                                0: 256 MiB. Default 0 */
    const char *suspect_extensions; /* extensions (without dots, comma-separated, any letter case) whose
                                       files should be containers: one that is not (an empty file too) is
                                       a suspect (MARLUNE_OUTCOME_SUSPECT); null: "snd,kv"; "": none.
                                       Default null */
    const char *manifest;    /* mirror: null, or a file (UTF-8) that gets a line for every copy of the
                                run that marlune_run_next delivered with a SHA-256, as `sha256sum -c`
                                run in the destination folder reads it: "<64 hex digits>  <name under
                                the destination, / between folders>", a name holding a backslash or
                                a line break escaped as coreutils does (the line starts with "\",
                                the name has "\\" and "\n"); in the run's order. Written beside
                                and moved over the name once the run has ended, not after a cancel.
                                Sets MARLUNE_RUN_SHA256. Default null */
    uint64_t max_delete;     /* mirror with MARLUNE_RUN_DELETE: at most this many files are removed
                                (MARLUNE_RUN_DELETE_LIMIT for the first one kept); 0: no limit (to remove
                                none, MARLUNE_RUN_JUDGE_ONLY tells what would go). Default 0 */
} marlune_run_options;

/* What became of a file, counted once (marlune_run_result.outcome, and
   marlune_run_tally.outcomes[outcome]). The engine decides it from the job,
   the flags, the status and the file's name, so that every front end counts
   alike. */
enum {
    MARLUNE_OUTCOME_CONVERTED = 0,        /* "converted" */
    MARLUNE_OUTCOME_COPIED = 1,           /* "copied": a container copied (normalised) */
    MARLUNE_OUTCOME_SALVAGED = 2,         /* "salvaged": the whole chunks of a container cut short */
    MARLUNE_OUTCOME_COMPLETE = 3,         /* "complete": examined, a whole container */
    MARLUNE_OUTCOME_WOULD_CONVERT = 4,    /* "would-convert": a dry run */
    MARLUNE_OUTCOME_ALREADY_KV = 5,       /* "already-kv" */
    MARLUNE_OUTCOME_SKIPPED = 6,          /* "skipped": not a container (and not a suspect), or a partial
                                             file left */
    MARLUNE_OUTCOME_KEPT = 7,             /* "kept": its ".kv" exists and is not replaced */
    MARLUNE_OUTCOME_FAILED = 8,           /* "failed" */
    MARLUNE_OUTCOME_FINISHED = 9,         /* "finished": the ".kv" held its conversion already */
    MARLUNE_OUTCOME_PARTIAL_REMOVED = 10, /* "partial-removed" */
    MARLUNE_OUTCOME_COLLISION = 11,       /* "collision": named twice, or its name taken by an earlier file */
    MARLUNE_OUTCOME_CANCELLED = 12,       /* "cancelled": its work began and was stopped; nothing changed */
    MARLUNE_OUTCOME_SUSPECT = 13,         /* "suspect": its name promises a container (marlune_run_options.
                                             suspect_extensions) that its bytes do not hold */
    MARLUNE_OUTCOME_UNCHANGED = 14,       /* "unchanged": a mirror's copy matches its source already */
    MARLUNE_OUTCOME_COPIED_AS_IS = 15,    /* "copied-as-is": a mirror copied it byte for byte (not a
                                             container) */
    MARLUNE_OUTCOME_DAMAGED = 16,         /* "damaged": a mirror copied a damaged container byte for byte */
    MARLUNE_OUTCOME_LINKED = 17,          /* "linked": a mirror made the symbolic link anew */
    MARLUNE_OUTCOME_DELETED = 18,         /* "deleted": a mirror's --delete removed a file the source lacks */
    MARLUNE_OUTCOME_MATCHED = 19,         /* "matched": verify found it equal */
    MARLUNE_OUTCOME_DIFFERENT = 20,       /* "different": verify found it missing, extra or unequal */
    MARLUNE_OUTCOME_RESTORED = 21,        /* "restored": a mirror's copy had changed since it was written
                                             (MARLUNE_RUN_COPY_ROTTED) and was copied again from its source */
    MARLUNE_OUTCOME_COUNT = 32            /* room in marlune_run_tally.outcomes */
};

/* marlune_outcome_name -- the outcome's name as records give it ("would-convert");
   null for a value that names none. */
MARLUNE_API const char *MARLUNE_CALL marlune_outcome_name(int32_t outcome);

/* marlune_file_outcome -- the outcome of one file worked on by a single call
   (marlune_copy, marlune_salvage, marlune_convert, marlune_examine and their
   stream forms), not in a run: done as the job does it (MARLUNE_OUTCOME_COPIED,
   _SALVAGED, _CONVERTED, _COMPLETE), _SKIPPED for an examination that found
   no container, _CANCELLED for a stop, else _FAILED (a copy of a file that
   is no container included: named on its own, it was meant to be one).
   `job` is a MARLUNE_JOB_*; -1 for a value that names none. */
MARLUNE_API int32_t MARLUNE_CALL marlune_file_outcome(int32_t job, int32_t status);

/* A run, made by marlune_run_open and ended by marlune_run_close. */
typedef struct marlune_run marlune_run;

/*
 * marlune_run_result -- one file's result, filled in by marlune_run_next or
 * marlune_run_step. Set `size` to sizeof(marlune_run_result), and `report` to
 * null or to a report of the caller's (its own `size` set), which is filled in
 * as the single call would fill it (all 0 for a status the plan settled).
 * The strings are the library's, null where they do not apply, and stay valid
 * until the next marlune_run_next or marlune_run_close on the same run (for
 * marlune_run_step: path, destination and other as long as the step's bytes,
 * reason and sha256 until marlune_step_texts_free).
 */
typedef struct marlune_run_result {
    uint32_t size;           /* set by the caller */
    int32_t status;          /* the file's status: a job's (MARLUNE_OK, MARLUNE_PAYLOAD_CUT ...) or a run's */
    uint64_t index;          /* the file's place in the run's order, from 0 */
    const char *path;        /* the file, as added or as the walk named it (the folder itself for
                                MARLUNE_RUN_FOLDER_UNREADABLE) */
    const char *destination; /* copy, salvage: its copy's name; convert: its ".kv" name; else null */
    const char *other;       /* MARLUNE_NAMED_TWICE, MARLUNE_RUN_COLLISION, MARLUNE_RUN_LANDS_ON_RUN_FILE:
                                the other file */
    marlune_report *report;  /* set by the caller: null, or where the file's report goes */
    int32_t outcome;         /* MARLUNE_OUTCOME_*: what became of the file */
    const char *reason;      /* the library's sentence for the file, after its name (as
                                marlune_report_reason, with the other file and the destination named
                                where they matter) */
    const char *sha256;      /* MARLUNE_RUN_SHA256: the copy's SHA-256 in 64 lower-case hex digits;
                                else null */
} marlune_run_result;

/*
 * marlune_run_tally -- how far a run is, read by marlune_run_counts at any
 * time from any thread. Set `size` to sizeof(marlune_run_tally).
 */
typedef struct marlune_run_tally {
    uint32_t size;               /* set by the caller */
    int32_t plan_complete;       /* non-zero once every path is walked: files_planned and bytes_planned are
                                    then the run's totals; until then they count "so far" */
    uint64_t files_planned;      /* results the run has planned (files, and folders it could not read) */
    uint64_t bytes_planned;      /* their sources' bytes, as far as known (examinations of files added by
                                    name do not look at their sizes) */
    uint64_t files_done;         /* results finished by the workers */
    uint64_t bytes_done;         /* source bytes worked through, also inside files in progress */
    uint64_t links_not_followed; /* symbolic links a walk met and left (without MARLUNE_RUN_FOLLOW_LINKS) */
    uint64_t not_started;        /* after a cancel, or a stop (stopped_by), once the run has ended: results
                                    planned that no worker started (they are never delivered) */
    uint64_t outcomes[MARLUNE_OUTCOME_COUNT]; /* results delivered so far, by outcome */
    uint64_t bytes_read;         /* of the results delivered so far, every file's bytes read (a failed
                                    file's too): the reports' source_bytes */
    uint64_t bytes_written;      /* their bytes written (the reports' bytes_written; 0 for examinations and
                                    dry runs) */
    uint32_t workers_wanted;     /* the worker threads the run asks for (marlune_run_options.workers, or
                                    its default) */
    uint32_t workers_started;    /* those marlune_run_start started: fewer than workers_wanted when the
                                    system would give no more (a limit on the user's processes), and the
                                    run goes on with them; 0 before the start */
    uint64_t bytes_not_written;  /* with stopped_by: the planned sources' bytes of the files not started or
                                    stopped for want of room: the room the run still needed, as far as it
                                    had planned (plan_complete 0: at least this); 0 for a run whose steps
                                    ran elsewhere (marlune_run_plan_next), known only by their statuses */
    int32_t stopped_by;          /* MARLUNE_OK; MARLUNE_DISK_FULL once a file found the destination (or its
                                    quota) full (or marlune_run_note was given that status): from then on no
                                    file begins and nothing more is planned, the files under way end with
                                    their own results, the rest count as not_started, and no manifest is
                                    written */
    int32_t manifest_told;       /* for marlune_records_close, set by the caller (marlune_run_counts sets
                                    0): non-zero when manifest_status is the run's */
    int32_t manifest_status;     /* with manifest_told: what marlune_run_manifest_status answered once the
                                    run had ended (MARLUNE_OK: the manifest is in place) */
} marlune_run_tally;

/*
 * marlune_run_open -- make a run as `options` say, into `*run`. Nothing is read
 * or written yet. Returns MARLUNE_OK; MARLUNE_NO_DESTINATION_NAME for a copy
 * or verify without a destination folder; MARLUNE_RUN_JOB_REFUSED for options
 * that do not go together, as marlune_run_check finds; MARLUNE_OUT_OF_MEMORY.
 * `*run` is null on failure.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_open(const marlune_run_options *options, marlune_run **run);

/*
 * marlune_run_check -- whether marlune_run_open would take `options` (read as it
 * reads them), without opening anything: MARLUNE_OK, or the refusal it would
 * answer, and into `text` (when its `size` bytes hold it with its null; 256
 * always do) a sentence in English saying why ("" for MARLUNE_OK). Refused with
 * MARLUNE_RUN_JOB_REFUSED: a job no value names; MARLUNE_RUN_MIRROR but for copy
 * and salvage; MARLUNE_RUN_CHECKSUM or MARLUNE_RUN_DELETE without a mirror; a
 * manifest but for a mirror or verify; MARLUNE_RUN_JUDGE_ONLY but for convert
 * and a mirror, or with a manifest to write; MARLUNE_RUN_KV_NAMES but for copy
 * and salvage, or with a mirror; MARLUNE_RUN_REPLACE but for convert; a
 * durability but for copy and salvage; MARLUNE_RUN_DELETE_FROM_EMPTY without
 * MARLUNE_RUN_DELETE. A null `options` is the defaults (an examination).
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_check(const marlune_run_options *options, char *text, uint32_t size);

/*
 * marlune_run_add -- add the file or folder `path` (UTF-8) to the run, after
 * those added before it. Call it before marlune_run_start (or the first
 * marlune_run_plan_next); the name is copied.
 *
 * `place` says where a copy goes under the destination folder: null for the
 * path itself (a relative name without "..", as in a list of names: an
 * absolute one is answered MARLUNE_RUN_OUTSIDE_DESTINATION when its turn
 * comes), "" for a folder whose entries go straight into the destination
 * (copy -r SOURCE DESTINATION), or any relative name. Other jobs ignore it.
 *
 * Returns MARLUNE_OK; MARLUNE_NO_SOURCE_NAME for a null or empty path;
 * MARLUNE_SOURCE_MISSING for a copy's `place` "" when no folder is at `path`;
 * MARLUNE_RUN_INSIDE_SOURCE for a copy whose destination folder is, or lies
 * within, the folder `path` (through links too);
 * MARLUNE_RUN_SOURCE_INSIDE_DESTINATION for a deleting mirror whose folder
 * `path` is, or lies within, the destination folder; MARLUNE_RUN_JOB_REFUSED for
 * a second path, or a place other than "", of a run that verifies or deletes
 * (one source folder against the destination); MARLUNE_RUN_BAD_STATE after
 * the start. A folder that must be one (`place` "" of a copy, verify's) is
 * looked at as marlune_run_check_root does: MARLUNE_SOURCE_MISSING when
 * nothing is there, MARLUNE_RUN_NO_FOLDER when something else is. Nothing else
 * is judged here: a missing file is its result's.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_add(marlune_run *run, const char *path, const char *place);

/*
 * marlune_run_check_root -- whether a run of `options` can start from `path`
 * (UTF-8), as marlune_run_add takes it with `place`, or, for a null `path`, from
 * the destination folder the options name; nothing is changed. A front end
 * calls it for each root before adding it, to refuse the whole run with the
 * system's reason in `*system_error` (when given; errno, GetLastError(), 0 for
 * MARLUNE_OK) rather than fail each of its files. Returns MARLUNE_OK;
 * MARLUNE_SOURCE_MISSING when nothing is at `path` (a root of a tree must be
 * there, where a missing file among others is its result's);
 * MARLUNE_SOURCE_UNREADABLE when a folder on the way to it may not be searched;
 * MARLUNE_RUN_NO_FOLDER when `path` is no folder where the job needs one
 * (`place` "" of a copy, verify), or the destination is missing for verify, or
 * is, or lies under, something other than a folder;
 * MARLUNE_DESTINATION_UNCREATABLE when a run that writes (a copy, no dry run)
 * may not make names in the destination folder, or in the nearest folder above
 * it that exists where it is to be made (on Windows the copies meet its
 * permissions); MARLUNE_NO_SOURCE_NAME for an empty `path`;
 * MARLUNE_NO_DESTINATION_NAME for a null `path` of a copy or verify without a
 * destination; the refusals of marlune_run_check for options that do not go
 * together. marlune_run_start looks at the destination the same way.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_check_root(const marlune_run_options *options, const char *path,
                                                        const char *place, int32_t *system_error);

/*
 * marlune_run_keep -- name a file of the run's own (its log, a list, a CSV, a
 * page: UTF-8) that a mirror's deletions never remove, nor its partial files
 * (the name followed by ".tmp-" and 8 hex digits), wherever it lies. The
 * manifest is kept without it. Call it before marlune_run_start; the name is
 * copied. Returns MARLUNE_OK; MARLUNE_NO_SOURCE_NAME for a null or empty
 * path; MARLUNE_RUN_BAD_STATE after the start.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_keep(marlune_run *run, const char *path);

/*
 * marlune_run_note -- hand back the status of a result of a step that ran
 * elsewhere (marlune_run_plan_next, marlune_run_step), so that an error in
 * the source holds back a mirror's deletions (MARLUNE_RUN_DELETION_OFF).
 * Before a mirror's deletions marlune_run_plan_next answers
 * MARLUNE_RUN_WAITING once: wait for every step given so far, note each of
 * their results, then call it again. Safe from any thread.
 */
MARLUNE_API void MARLUNE_CALL marlune_run_note(marlune_run *run, int32_t status);

/*
 * marlune_run_note_result -- marlune_run_note with the whole result (its
 * status, outcome and, where `report` is set, its bytes), which the run then
 * counts in its tally as one it delivered itself: marlune_run_counts of a run
 * whose steps ran elsewhere gives the same outcomes, bytes and not_started
 * (after marlune_run_cancel, or a full destination) as a run on this machine.
 * Safe from any thread.
 */
MARLUNE_API void MARLUNE_CALL marlune_run_note_result(marlune_run *run, const marlune_run_result *result);

/*
 * marlune_run_start -- start the run's planner and workers. Before the first
 * work every name added is looked at once (to find the files named twice, and
 * the names two of them would write): a few dozen bytes per name added are
 * held for the whole run. Returns MARLUNE_OK, or MARLUNE_RUN_BAD_STATE when
 * started already (or planned by marlune_run_plan_next); a destination folder
 * marlune_run_check_root refuses gives its status (MARLUNE_RUN_NO_FOLDER,
 * MARLUNE_DESTINATION_UNCREATABLE) before any work, the run unstarted; so does
 * the first marlune_run_plan_next. A mirror's manifest name is looked at
 * too, before any work, the run unstarted, marlune_run_manifest_status then
 * giving the same status and the system's code: its folder must exist
 * (MARLUNE_RUN_NO_FOLDER) and be writable, the name no folder
 * (MARLUNE_DESTINATION_UNCREATABLE), nor within a source added, nor the place
 * of a copy (MARLUNE_RUN_LANDS_ON_RUN_FILE), nor a file that holds other
 * than a manifest (MARLUNE_DESTINATION_EXISTS). A system that gives
 * fewer threads than the run asks for leaves it with those it gave
 * (marlune_run_tally.workers_started tells how many); when it gives none,
 * MARLUNE_RUN_NO_WORKERS, and the run stays unstarted (to close, or to start
 * again). MARLUNE_OUT_OF_MEMORY: nothing started either.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_start(marlune_run *run);

/* What marlune_run_next and marlune_run_plan_next answer. */
enum {
    MARLUNE_RUN_WAITING = 0,  /* nothing yet within the timeout: call again */
    MARLUNE_RUN_DELIVERED = 1, /* `result` (or `step`) holds the next one */
    MARLUNE_RUN_ENDED = 2,    /* every result was delivered (or the run was cancelled and those started
                                 are delivered): nothing more comes */
    MARLUNE_RUN_TOO_SMALL = 3 /* marlune_run_plan_next: the step needs `*length` bytes; call again with them */
};

/*
 * marlune_run_next -- the next result in the run's order, waiting at most
 * `timeout_ms` milliseconds for it (0: not at all; a negative value: as long
 * as it takes). Results are made on the library's threads and handed over only
 * here, on the caller's thread: no callback of the caller's runs on another
 * thread. No worker runs more than the options' window ahead of the oldest
 * result not yet taken, so a slow caller holds the run back instead of filling
 * memory. Returns MARLUNE_RUN_DELIVERED, MARLUNE_RUN_WAITING or
 * MARLUNE_RUN_ENDED (also for a run not started, or a null argument).
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_next(marlune_run *run, marlune_run_result *result,
                                                  int32_t timeout_ms);

/* marlune_run_counts -- fills in `counts` (as far as its size says); safe from
   any thread while the run is open. */
MARLUNE_API void MARLUNE_CALL marlune_run_counts(marlune_run *run, marlune_run_tally *counts);

/*
 * marlune_run_cancel -- ask the run to stop: no group starts any more, groups
 * in progress stop before any of their files is moved into place (their files
 * answer MARLUNE_CANCELLED, every source kept, no partial file left), and the
 * walk stops. Safe from any thread and from a signal handler: it is one
 * atomic store. marlune_run_next then delivers what was started, and ends.
 */
MARLUNE_API void MARLUNE_CALL marlune_run_cancel(marlune_run *run);

/*
 * marlune_run_manifest_status -- once marlune_run_next answered MARLUNE_RUN_ENDED:
 * MARLUNE_OK when the run's manifest (marlune_run_options.manifest) is in place
 * or none was asked for. A manifest is put in place only when the run finished
 * every file of its plan; otherwise none is written, an earlier one at the name
 * is left as it was, and the answer is MARLUNE_CANCELLED for a run cancelled
 * (files not started), else the status of the run's first file that failed or
 * collided. MARLUNE_WRITE_ERROR or MARLUNE_DISK_FULL when the manifest itself
 * could not be written, `*system_error` (when given) saying why; MARLUNE_DISK_FULL
 * also for a run that a full destination stopped (marlune_run_tally.stopped_by).
 * Before the end: MARLUNE_OK, or the failure met so far.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_manifest_status(marlune_run *run, int32_t *system_error);

/*
 * marlune_run_close -- end the run: cancels it when it is still going, waits
 * for its threads, and frees it. A null run is left alone.
 */
MARLUNE_API void MARLUNE_CALL marlune_run_close(marlune_run *run);

/*
 * Steps: the plan and the work apart, for hosts that run the work elsewhere
 * (a cluster's workers that see the files at the same paths).
 *
 * marlune_run_plan_next -- instead of marlune_run_start: the run's next step,
 * made on the caller's thread, as `*length` bytes into `step` (when `size`
 * holds them). A step is a group of consecutive files of the run with all a
 * worker needs (the job, the options, each file's source and destination,
 * and each file the plan settled itself, with its status): bytes to send
 * anywhere as they are and to run there with marlune_run_step. Returns
 * MARLUNE_RUN_DELIVERED, MARLUNE_RUN_TOO_SMALL (nothing taken: call again
 * with `*length` bytes), MARLUNE_RUN_WAITING once before a mirror's
 * deletions (marlune_run_note), or MARLUNE_RUN_ENDED; on the first call, the
 * status of a destination folder or manifest name marlune_run_start would
 * refuse, nothing planned (call again only to have it again);
 * marlune_run_counts tells the plan's counts. A mirror's manifest is written
 * from the digests handed back with marlune_run_note_result, in the run's
 * order, and put in place by marlune_run_finish_folders. A step run twice (a worker that died and a task retried)
 * ends as one run once would, but for what a first run had finished: a copy
 * made again, a conversion found finished, a deletion found done (a file to
 * remove that is gone answers MARLUNE_OK, outcome deleted).
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_plan_next(marlune_run *run, char *step, uint32_t size,
                                                       uint32_t *length);

/* marlune_step_files -- how many files (results) the step holds; 0 for bytes
   that are no step (or a step marlune_run_step refuses). */
MARLUNE_API uint32_t MARLUNE_CALL marlune_step_files(const char *step, uint32_t length);

/* The sentences and digests of one marlune_run_step's results. */
typedef struct marlune_step_texts marlune_step_texts;

/*
 * marlune_run_step -- run the step's `length` bytes here, as a run's worker
 * does: make the copies' folders, then one batch call, and the files the plan
 * settled answered as it said. `results` holds `count` results (each with its
 * size and report set), one per file of the step in its order. `*texts` gets
 * what holds the results' reason and sha256 strings, the caller's to free with
 * marlune_step_texts_free once it has read them (null on failure); with
 * `texts` null those strings are null. Returns MARLUNE_OK,
 * MARLUNE_RUN_BAD_STATE for bytes that are no step, a step no worker may run
 * (a copy, verify or deletion without a destination folder, a copy or
 * deletion of a name outside it, a deletion in a step that is no mirror's),
 * or too few results, before any file is touched; else the status of the
 * first file that failed. The memory a step takes is bounded by its length,
 * whatever it claims. The batch calls hold open no
 * more files than this process's own open-file limit allows, shared by the
 * steps it runs side by side (a step planned with a higher limit is worked
 * through in parts).
 *
 * A convert step run again: a file whose source is gone while its ".kv" name
 * holds a whole container (marlune_examine answers MARLUNE_OK) of the size the
 * plan saw the source at answers MARLUNE_FINISHED, taken as the earlier run's
 * conversion; nothing is removed, replaced or put on stable storage for it.
 * Any other ".kv" leaves the answer MARLUNE_SOURCE_MISSING.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_step(const char *step, uint32_t length,
                                                  marlune_run_result *results, uint32_t count,
                                                  marlune_step_texts **texts);

/* marlune_step_texts_free -- free what marlune_run_step gave in `*texts`; the
   results' reason and sha256 strings go with it. Null is nothing to free. */
MARLUNE_API void MARLUNE_CALL marlune_step_texts_free(marlune_step_texts *texts);

/*
 * marlune_run_finish_folders -- once marlune_run_plan_next has answered
 * MARLUNE_RUN_ENDED and every step it gave has run: what a run started with
 * marlune_run_start does itself at its end. A mirror (MARLUNE_RUN_MIRROR,
 * not a dry run): the source's folders made under the destination where
 * missing, empty ones too, and each given its source's times and mode
 * (owner and group where the caller may set them), deepest first, never
 * through a link; any other run: nothing. Call it on the planning machine
 * (the folders at the same paths as on the workers), once the steps' copies
 * are in place: a copy written into a folder afterwards changes its time.
 * Then a mirror's manifest, made of the digests noted, is put in place when
 * every file was accounted for (marlune_run_manifest_status tells). Returns
 * MARLUNE_OK, or MARLUNE_RUN_BAD_STATE for a run not planned to its end.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_run_finish_folders(marlune_run *run);

/*
 * marlune_report_reason -- the sentence for a status and its report, as the
 * command and the packages say it after the file's name, for the file's `job`
 * (MARLUNE_JOB_*). MARLUNE_JOB_EXAMINE: what an examination found ("complete
 * container", "incomplete: the payload of chunk 3 at offset 812 is cut short,
 * 142 of its 330 bytes are missing", "no such file"). Other jobs: the
 * status's words (marlune_status_text) and, for a container cut short, where
 * ("the source ends inside a chunk's payload (at offset 812, 142 of 330 bytes
 * missing)"); MARLUNE_JOB_CONVERT adds "; removing the source failed (system
 * error N)" to a conversion done whose report holds a system error;
 * MARLUNE_JOB_SALVAGE puts "cannot be salvaged: " (a container that falls short
 * before its chunks) or "salvage failed: " before a failure's words. Into
 * `text` when its `size` bytes hold it with its null; returns the bytes it
 * takes with that null, whatever `size`. `report` may be null (only the
 * status's words are told then).
 */
MARLUNE_API uint32_t MARLUNE_CALL marlune_report_reason(int32_t job, int32_t status, const marlune_report *report,
                                                        char *text, uint32_t size);

/* ------------------------------------------------------------------------ */
/* Records: what a run leaves for people and for the next run                */
/*                                                                          */
/* Every front end hands each result of a run (marlune_run_result, with its */
/* outcome and reason) to one records object, which writes the same files   */
/* whatever the front end: a log that grows by one section a run, the lists */
/* of failed and suspect names to feed back (--files-from FILE -0), a CSV   */
/* table and a self-contained HTML report. The log is appended to; every    */
/* other file is written under a new name beside it and moved over its name */
/* when the records close, so that a run cut short leaves the last whole    */
/* one in place. Memory stays flat in the number of files.                  */
/* ------------------------------------------------------------------------ */

/*
 * marlune_records_options -- what to record, for marlune_records_open. Set
 * `size` to sizeof(marlune_records_options); a field not wholly within `size`
 * takes its default (null, 0). Every path is UTF-8; a null or empty one writes
 * nothing. The strings are copied.
 */
typedef struct marlune_records_options {
    uint32_t size;             /* set by the caller */
    int32_t job;               /* the run's MARLUNE_JOB_* (which fields a record has) */
    uint32_t flags;            /* the run's MARLUNE_RUN_* flags */
    const char *command;       /* the command's name for records and headers ("convert") */
    const char *command_line;  /* for the headers: the command line as typed, or as the host puts it */
    const char *folder;        /* for the headers: the working folder; null: the process's */
    const char *log;           /* appended: a header line, the lines of files, the summary line */
    int32_t log_all;           /* non-zero: every file in the log; 0: the failed, collisions, kept,
                                  suspects and cancelled only */
    const char *failed_list;   /* the names of files that failed or collided (never those cancelled),
                                  each ended by a NUL byte */
    const char *suspect_list;  /* the names of the suspects, each ended by a NUL byte */
    const char *csv;           /* one row per file, with a header row (RFC 4180) */
    const char *html;          /* the run's report page */
    uint32_t html_rows;        /* damaged and suspect files listed in the page's table, at most;
                                  0: 1000 */
    const char *destination_folder; /* a run into a folder (marlune_run_options.destination): the lists
                                  name each file by its place under it, which is its name relative
                                  to the folder the run took it from (a listed name as listed), so
                                  that `--files-from LIST -0` from that folder takes them back to
                                  the same places; null: every name as the run named it */
    const char *manifest;      /* the run's manifest (marlune_run_options.manifest): the one a mirror
                                  writes, or the one verify checks against; for the page; null: none */
    const char *source_folder; /* the folder the run took its files from, where it is one: for the
                                  page (verify: what the destination is checked against); null: none */
} marlune_records_options;

/* The records of one run, made by marlune_records_open and ended by marlune_records_close. */
typedef struct marlune_records marlune_records;

/*
 * marlune_records_open -- open the files `options` name, into `*records`: the
 * log is opened for appending (made when missing) and its header line written
 * ("# marlune 1.0.0 convert 2026-12-09T04:25:14Z in /data: marlune convert -r
 * ."); the others are made under new names beside theirs. Returns MARLUNE_OK;
 * MARLUNE_DESTINATION_UNCREATABLE (with nothing left behind) when a file cannot
 * be made, MARLUNE_DESTINATION_EXISTS (nothing made) when a name holds a
 * container: no record replaces or extends a recording;
 * MARLUNE_RUN_LANDS_ON_RUN_FILE (nothing made) when, with `source_folder`, a
 * name is a file of that tree (a log of marlune's there may grow), or one a
 * copy from it writes under `destination_folder`; MARLUNE_WRITE_ERROR
 * (MARLUNE_DISK_FULL when its disk is full) when the header cannot be
 * written; MARLUNE_OUT_OF_MEMORY. `*records` is null
 * on failure.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_records_open(const marlune_records_options *options,
                                                      marlune_records **records);

/*
 * marlune_records_add -- record one file's result (as marlune_run_next or
 * marlune_run_step filled it, with its report). Returns MARLUNE_OK, or
 * MARLUNE_WRITE_ERROR once a file could not be written (MARLUNE_DISK_FULL
 * when the first that failed found its disk full; the others go on being
 * written).
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_records_add(marlune_records *records, const marlune_run_result *result);

/*
 * marlune_records_close -- end the records: the summary (of the results added,
 * and of `tally`, when not null: files not started, links not followed, bytes
 * read and written, a stop for want of room, what became of the manifest)
 * goes to the log and the page, whose first line says in a sentence whether
 * the run's files are safe where it put them; every file is put on stable
 * storage, and the lists, the CSV file and the page are moved over their names
 * (not over a container that took a name meanwhile: that file fails).
 * `tally` may be the sum of several runs' tallies. Returns MARLUNE_OK, or
 * MARLUNE_WRITE_ERROR (MARLUNE_DISK_FULL, as for marlune_records_add) when
 * any file failed (those are left
 * unmoved); the records are freed either way. A null `records` is left alone.
 */
MARLUNE_API int32_t MARLUNE_CALL marlune_records_close(marlune_records *records, const marlune_run_tally *tally);

/*
 * marlune_records_json -- the file's record as one JSON object (no newline),
 * the same fields as the records' CSV rows: into `text` when its `size` bytes
 * hold it with its null; returns the bytes it takes with that null, whatever
 * `size`. A name that is no valid UTF-8 keeps a readable "file" (each stray
 * byte as U+FFFD) and adds "fileBytes": its exact bytes in base64.
 */
MARLUNE_API uint32_t MARLUNE_CALL marlune_records_json(const marlune_records *records,
                                                       const marlune_run_result *result, char *text, uint32_t size);

/*
 * marlune_records_field -- one field of the file's record, as marlune_records_json
 * gives it ("size", "magic", "cutPiece", "problem.kind"): text as it is,
 * numbers in decimal, booleans as "true" or "false". Into `text` when its
 * `size` bytes hold it with its null; returns the bytes it takes with that
 * null, or 0 when the field is null or the record has no such field.
 */
MARLUNE_API uint32_t MARLUNE_CALL marlune_records_field(const marlune_records *records,
                                                        const marlune_run_result *result, const char *key,
                                                        char *text, uint32_t size);

/*
 * marlune_records_summary_json -- the run's summary as one JSON object (no
 * newline): the results added so far by outcome, and what `tally` (null:
 * none) adds of files not started, links not followed and the bytes read and
 * written; `cancelled` non-zero when the run was stopped. Into `text` when its
 * `size` bytes hold it with its null; returns the bytes it takes with that null.
 */
MARLUNE_API uint32_t MARLUNE_CALL marlune_records_summary_json(const marlune_records *records,
                                                               const marlune_run_tally *tally, int32_t cancelled,
                                                               char *text, uint32_t size);

/*
 * marlune_name_escaped -- a file's name for a line of text: as it is when it
 * holds no control character, no byte that is no UTF-8 and no single quote;
 * else as the shell reads it back (the style of "ls --quoting-style=
 * shell-escape"): printable runs in single quotes, a quote as \', a control
 * character or a stray byte as $'\n' or $'\351' ("a\nb" gives 'a'$'\n''b').
 * A name shown as it is thus never holds a quote, and one escaped always
 * does. Into `text` when its `size` bytes hold it with its null; returns the
 * bytes it takes with that null.
 */
MARLUNE_API uint32_t MARLUNE_CALL marlune_name_escaped(const char *name, char *text, uint32_t size);

#ifdef _WIN32
/* The same three with UTF-16 paths, for hosts whose strings are UTF-16 (VB6,
   VBA, C#, Delphi). Long paths need no \\?\ prefix: the library adds it. */
MARLUNE_API int32_t MARLUNE_CALL marlune_copy_w(const wchar_t *source, const wchar_t *destination,
                                                const marlune_options *options, marlune_report *report);
MARLUNE_API int32_t MARLUNE_CALL marlune_convert_w(const wchar_t *path, const marlune_options *options,
                                                   marlune_report *report);
MARLUNE_API int32_t MARLUNE_CALL marlune_examine_w(const wchar_t *path, marlune_report *report);
#endif

#ifdef __cplusplus
}
#endif

#endif /* MARLUNE_H */
