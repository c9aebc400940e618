#include "run/paths.h"

#include <cstdint>

#include "marlune.h"

namespace marlune::run {
namespace {

// The next component of `path` from `at`: its end.
std::size_t componentEnd(const std::string& path, std::size_t at) {
    while (at < path.size() && !isSeparator(path[at])) ++at;
    return at;
}

// Where the last component of a path starts.
std::size_t nameStart(const std::string& path) {
    std::size_t cut = path.size();
    while (cut > 0 && !isSeparator(path[cut - 1])) --cut;
#ifdef _WIN32
    if (cut == 0 && path.size() >= 2 && path[1] == ':') cut = 2;  // "C:name": in the current folder of drive C
#endif
    return cut;
}

}  // namespace

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (isSeparator(folder.back())) return folder + name;
    return folder + platform::pathSeparator + name;
}

std::string folderOf(const std::string& path) {
    std::string folder = path.substr(0, nameStart(path));
    // The separator ends the folder's name, except at a root: / or C:\ (a drive's).
    if (folder.size() > 1 && isSeparator(folder.back()) && !(folder.size() == 3 && folder[1] == ':')) {
        folder.pop_back();
    }
    return folder.empty() ? "." : folder;
}

std::string nameOf(const std::string& path) {
    return path.substr(nameStart(path));
}

bool endsWith(const std::string& text, const char* end) {
    const std::string tail(end);
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string kvName(const std::string& path) {
    std::string name(marlune_kv_name(path.c_str(), nullptr, 0), '\0');
    if (name.empty()) return name;
    marlune_kv_name(path.c_str(), name.data(), static_cast<std::uint32_t>(name.size()));
    name.pop_back();
    return name;
}

std::string placeOf(const std::string& path, const std::string& destination, const std::string& root) {
    if (root.empty() || destination.compare(0, root.size(), root) != 0) return path;
    std::size_t from = root.size();
    if (!isSeparator(root.back())) {
        if (from >= destination.size() || !isSeparator(destination[from])) return path;
        ++from;
    }
    std::size_t parts = 0;
    for (std::size_t i = from; i < destination.size(); ++i) {
        if (!isSeparator(destination[i]) && (i == from || isSeparator(destination[i - 1]))) ++parts;
    }
    if (parts == 0) return path;
    // Back from the end of `path` over as many components.
    std::size_t start = path.size();
    for (std::size_t found = 0; found < parts; ++found) {
        while (start > 0 && isSeparator(path[start - 1])) --start;
        if (start == 0) return path;
        while (start > 0 && !isSeparator(path[start - 1])) --start;
    }
    return path.substr(start);
}

std::string insideName(const std::string& relative) {
    if (relative.empty() || isSeparator(relative[0])) return {};
#ifdef _WIN32
    if (relative.size() >= 2 && relative[1] == ':') return {};
#endif
    std::string out;
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = start;
        while (end < relative.size() && !isSeparator(relative[end])) ++end;
        const std::string part = relative.substr(start, end - start);
        if (part == "..") return {};
        if (!part.empty() && part != ".") out = out.empty() ? part : joinPath(out, part);
        start = end + 1;
    }
    return out;
}

bool liesWithin(const std::string& inner, const std::string& outer) {
    if (outer.empty() || inner.compare(0, outer.size(), outer) != 0) return false;
    return inner.size() == outer.size() || isSeparator(outer.back()) || isSeparator(inner[outer.size()]);
}

int walkOrder(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        if (i >= a.size() || j >= b.size()) return (i < a.size()) - (j < b.size());
        const std::size_t endA = componentEnd(a, i);
        const std::size_t endB = componentEnd(b, j);
        const int compared = a.compare(i, endA - i, b, j, endB - j);
        if (compared != 0) return compared;
        i = endA + 1;
        j = endB + 1;
    }
}

std::string resolvedOrPlanned(platform::Os& os, const std::string& path) {
    std::string resolved = os.resolvedPath(path);
    if (!resolved.empty()) return resolved;
    const std::string parent = folderOf(path);
    if (parent == path) return path;
    const std::string above = resolvedOrPlanned(os, parent);
    return above.empty() ? std::string() : joinPath(above, platform::foldedName(nameOf(path)));
}

}  // namespace marlune::run
