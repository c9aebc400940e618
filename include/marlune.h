/*
 * marlune.h -- copy and normalise KVRB audio containers.
 *
 * Marlune copies a KVRB container (an 82-byte header, an opaque preamble and a
 * run of framed audio chunks) from one file to another, checking its framing on
 * the way and giving every chunk a 330-byte payload when the header asks for
 * fixed-length chunks. The library is Marlune.dll on Windows and libmarlune.so
 * elsewhere; both export exactly the two functions below.
 *
 * Paths are null-terminated byte strings in the system's ANSI code page (on
 * POSIX: the bytes given to open()). A null pointer counts as an empty path.
 *
 * Calls are serialised inside the library: it is safe to call it from several
 * threads, one call runs at a time. A call made from inside a running call on
 * the same thread (for example from a window procedure while an error message
 * box is open) returns 0 at once and does nothing.
 */
#ifndef MARLUNE_H
#define MARLUNE_H

#include <stdint.h>

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
 * file "<destination>.<16 hex digits>.marlune-partial" in the same folder. Once
 * the copy is complete its data and then its folder are put on stable storage,
 * it is moved over the destination name (replacing an earlier file there), the
 * folder is put on stable storage again, and only then is the source deleted.
 * Through a symbolic link at the destination name, the file it leads to is
 * replaced and the link kept.
 *
 * A failed conversion never deletes the source, removes its partial file and
 * leaves a file that already had the destination name as it was: the
 * destination name never holds part of a copy. A destination name that is the
 * source itself, a folder or anything but a regular file fails with "Unable to
 * create the destination file." before anything is written. A partial file
 * left by a machine that stopped mid-conversion can be deleted: the source is
 * then still whole (or the conversion already complete).
 *
 * `ignored` is not used. `showErrorsIn` points to the show-errors value passed
 * on to KVRBinfo; a null pointer counts as 0.
 *
 * Returns -1 when the file was converted (even if deleting the source then
 * failed) or needed no conversion, 0 when the conversion failed.
 */
MARLUNE_API int32_t MARLUNE_CALL IKVRBinfo(int32_t ignored, const int32_t *showErrorsIn,
                                           const char *path);

#ifdef __cplusplus
}
#endif

#endif /* MARLUNE_H */
