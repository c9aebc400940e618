// Path syntax as a run composes names: joined, split, and judged by their text.
#pragma once

#include <string>

#include "platform/folders.h"
#include "platform/os.h"

namespace marlune::run {

#ifdef _WIN32
inline bool isSeparator(char c) {
    return c == '/' || c == '\\';
}
#else
inline bool isSeparator(char c) {
    return c == '/';
}
#endif

std::string joinPath(const std::string& folder, const std::string& name);
// The folder part of a path: "." for a bare name, the root itself for a root.
std::string folderOf(const std::string& path);
// The last component.
std::string nameOf(const std::string& path);
bool endsWith(const std::string& text, const char* end);
// What the library writes a copy to before it moves it into place.
inline constexpr const char* partialSuffix = ".marlune-partial";
// The .kv name the library gives a path (empty when it gives none).
std::string kvName(const std::string& path);
// A relative name without "..", with "." components and doubled separators
// dropped; empty for one that would leave the folder it is put in.
std::string insideName(const std::string& relative);
// Which of two relative names a walk meets first: <0, 0 or >0. A walk's order is
// that of a run: a folder's entries by the bytes of their names, a subfolder's
// entries where its name falls.
int walkOrder(const std::string& a, const std::string& b);
// The name --files-from takes to put `path` where a run into the folder `root` put it
// (`destination`): its last components, as many as the destination has under `root`;
// `path` itself for a file with no place under `root`.
std::string placeOf(const std::string& path, const std::string& destination, const std::string& root);
// Whether the resolved path `inner` is `outer` or lies under it.
bool liesWithin(const std::string& inner, const std::string& outer);
// The full path of `path` with links resolved, for a name that may not exist yet:
// its nearest existing folder resolved, the rest appended.
std::string resolvedOrPlanned(platform::Os& os, const std::string& path);

}  // namespace marlune::run
