#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/folders.h"

namespace marlune::platform {
namespace {

Kind kindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return Kind::file;
    if (S_ISDIR(mode)) return Kind::folder;
    if (S_ISLNK(mode)) return Kind::link;
    return Kind::other;
}

FileKey keyOf(const struct stat& information) {
    return {static_cast<std::uint64_t>(information.st_dev), static_cast<std::uint64_t>(information.st_ino), 0};
}

}  // namespace

bool listFolder(const std::string& path, std::vector<FolderEntry>& entries, int& error) {
    const int handle = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) {
        error = errno;
        return false;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(fdopendir(handle), closedir);
    if (!folder) {
        error = errno;
        close(handle);
        return false;
    }
    errno = 0;
    while (const dirent* entry = readdir(folder.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct stat information {};
        // Relative to the open folder: the name cannot lead elsewhere meanwhile.
        if (fstatat(handle, name, &information, AT_SYMLINK_NOFOLLOW) != 0) {
            errno = 0;
            continue;  // gone meanwhile
        }
        entries.push_back({name, kindOfMode(information.st_mode), static_cast<std::uint64_t>(information.st_size),
                           keyOf(information)});
        errno = 0;
    }
    if (errno != 0) {
        error = errno;
        return false;
    }
    return true;
}

Kind kindOf(const std::string& path, std::uint64_t& size, FileKey& key) {
    struct stat information {};
    if (stat(path.c_str(), &information) != 0) return Kind::missing;
    size = static_cast<std::uint64_t>(information.st_size);
    key = keyOf(information);
    return kindOfMode(information.st_mode);
}

Kind kindOfName(const std::string& path) {
    struct stat information {};
    if (lstat(path.c_str(), &information) != 0) return Kind::missing;
    return kindOfMode(information.st_mode);
}

bool createFolder(const std::string& path, int& error) {
    if (mkdir(path.c_str(), 0777) == 0) return true;
    error = errno;
    return error == EEXIST && kindOfName(path) == Kind::folder;
}

bool syncFolder(const std::string& path, int& error) {
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && fsync(folder) == 0;
    if (!synced) error = errno;
    if (folder >= 0) close(folder);
    return synced;
}

std::string resolvedPath(const std::string& path) {
    const std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string linkTarget(const std::string& path) {
    std::string text(PATH_MAX, '\0');
    const ssize_t length = readlink(path.c_str(), text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) return {};
    text.resize(static_cast<std::size_t>(length));
    if (text[0] != '/') {
        const std::size_t slash = path.rfind('/');
        text = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + text;
    }
    std::string resolved = resolvedPath(text);
    if (!resolved.empty()) return resolved;
    // Gone: its folder tells where it was.
    const std::size_t slash = text.rfind('/');
    const std::string folder = resolvedPath(slash == 0 ? std::string("/") : text.substr(0, slash));
    if (folder.empty()) return {};
    return (folder == "/" ? folder : folder + "/") + text.substr(slash + 1);
}

std::string foldedName(const std::string& name) {
    return name;
}

std::size_t openFilesAllowed() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? 1u << 20 : static_cast<std::size_t>(limit.rlim_cur);
}

std::string workingFolder() {
    std::unique_ptr<char, decltype(&std::free)> folder(getcwd(nullptr, 0), &std::free);
    return folder ? folder.get() : "";
}

}  // namespace marlune::platform
