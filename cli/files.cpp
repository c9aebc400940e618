#include "files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

#include "console.h"
#include "marlune.h"
#include "system.h"

namespace marlune::cli {
namespace {

bool folderId(const std::string& path, FileId& id) {
    Kind kind = Kind::missing;
    return identity(path, id, kind) && kind == Kind::folder;
}

class Walk {
public:
    Walk(FileList& list, const Gathering& gathering) : list_(list), gathering_(gathering) {}

    void add(const std::string& path, Kind kind, std::uint64_t size) {
        if (kind == Kind::folder) {
            walk(path);
        } else {
            list_.files.push_back(path);
            if (gathering_.sizes) list_.sizes.push_back(size);
        }
    }

private:
    void walk(const std::string& folder) {
        // Each folder once: a link that leads back up the tree, or to a folder
        // already walked, adds nothing.
        FileId id{};
        if (folderId(folder, id) && !walked_.insert(id).second) return;
        std::vector<Entry> entries;
        std::string why;
        if (!listFolder(folder, entries, why)) {
            list_.unreadable.push_back({folder, why});
            return;
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        for (const Entry& entry : entries) {
            const std::string path = joinPath(folder, entry.name);
            if (entry.kind == Kind::file || entry.kind == Kind::folder) {
                add(path, entry.kind, entry.size);
            } else if (entry.kind == Kind::link) {
                std::uint64_t size = 0;
                const Kind target = kindOf(path, size);
                if (target == Kind::folder && gathering_.followLinks) {
                    walk(path);
                } else if (target == Kind::file && gathering_.followLinks) {
                    add(path, target, size);
                } else {
                    ++list_.linksNotFollowed;
                }
            }
            // Devices, pipes and sockets in a folder are nobody's recordings.
        }
    }

    FileList& list_;
    const Gathering& gathering_;
    std::set<FileId> walked_;
};

}  // namespace

std::string joinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && isSeparator(folder.back())) return folder + name;
    return folder + separator + name;
}

std::string kvName(const std::string& path) {
    std::string name(marlune_kv_name(path.c_str(), nullptr, 0), '\0');
    if (name.empty()) return name;
    marlune_kv_name(path.c_str(), name.data(), static_cast<std::uint32_t>(name.size()));
    name.pop_back();
    return name;
}

bool isFolder(const std::string& path) {
    std::uint64_t size = 0;
    return kindOf(path, size) == Kind::folder;
}

bool staysInside(const std::string& relative) {
    if (relative.empty() || isSeparator(relative[0]) || (relative.size() >= 2 && relative[1] == ':')) return false;
    for (std::size_t start = 0; start <= relative.size();) {
        std::size_t end = start;
        while (end < relative.size() && !isSeparator(relative[end])) ++end;
        if (relative.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

bool isWithin(const std::string& path, const std::string& folder) {
    std::error_code error;
    const std::filesystem::path inner = std::filesystem::weakly_canonical(fsPath(path), error);
    if (error) return false;
    const std::filesystem::path outer = std::filesystem::weakly_canonical(fsPath(folder), error);
    if (error) return false;
    const auto [end, _] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return end == outer.end() || (std::next(end) == outer.end() && end->empty());
}

bool makeFolders(const std::string& folder, bool durable, std::string& why) {
    std::uint64_t size = 0;
    const Kind kind = kindOf(folder, size);
    if (kind == Kind::folder) return true;
    if (kind != Kind::missing) {
        why = folder + " is there and is not a folder";
        return false;
    }
    const std::string parent = folderOf(folder);
    if (parent != folder && !makeFolders(parent, durable, why)) return false;
    std::string error;
    // Another worker may have made it meanwhile; its name is then flushed once more.
    if (!createFolder(folder, error) && !isFolder(folder)) {
        why = "cannot create the folder " + folder + ": " + error;
        return false;
    }
    if (durable && !syncFolder(parent, error)) {
        why = "cannot flush the folder " + parent + ": " + error;
        return false;
    }
    return true;
}

void addOperand(FileList& list, const std::string& path, const Gathering& gathering) {
    std::uint64_t size = 0;
    const Kind kind = gathering.recursive || gathering.sizes ? kindOf(path, size) : Kind::file;
    Walk walk(list, gathering);
    walk.add(path, gathering.recursive ? kind : Kind::file, size);
}

ListRead addFromList(FileList& list, const std::string& listPath, bool nulSeparated, const Gathering& gathering,
                     std::string& why) {
    std::FILE* const file = openForReading(listPath);
    if (file == nullptr) {
        why = "cannot open the list " + listPath;
        return ListRead::unreadable;
    }
    const char end = nulSeparated ? '\0' : '\n';
    std::vector<std::string> names;
    std::string name;
    bool holdsNul = false;
    const auto take = [&] {
        // A list written on Windows ends its lines with CR LF.
        if (!nulSeparated && !name.empty() && name.back() == '\r') name.pop_back();
        if (!name.empty()) names.push_back(name);
        name.clear();
    };
    int c = 0;
    while ((c = std::getc(file)) != EOF) {
        if (static_cast<char>(c) == end) {
            take();
        } else {
            holdsNul = holdsNul || c == 0;
            name += static_cast<char>(c);
        }
    }
    take();
    const bool failed = std::ferror(file) != 0;
    if (file != stdin) std::fclose(file);
    if (failed) {
        why = "reading the list " + listPath + " failed";
        return ListRead::unreadable;
    }
    if (holdsNul) {
        why = "the list " + listPath + " holds NUL bytes: a list of NUL-ended names needs -0";
        return ListRead::holdsNul;
    }
    for (const std::string& each : names) addOperand(list, each, gathering);
    return ListRead::done;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool regularFileId(const std::string& path, FileId& id) {
    Kind kind = Kind::missing;
    return identity(path, id, kind) && kind == Kind::file;
}

namespace {

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

std::string folderOf(const std::string& path) {
    std::string folder = path.substr(0, nameStart(path));
    // The separator ends the folder's name, except at a root: / or C:\ (a drive's).
    if (folder.size() > 1 && isSeparator(folder.back()) && !(folder.size() == 3 && folder[1] == ':')) {
        folder.pop_back();
    }
    return folder.empty() ? "." : folder;
}

bool placeOf(const std::string& path, Place& place) {
    place.name = foldedName(path.substr(nameStart(path)));
    return folderId(folderOf(path), place.folder);
}

}  // namespace marlune::cli
