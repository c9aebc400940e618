#include <dirent.h>
#ifdef __linux__
#include <sched.h>
#endif
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

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

bool Os::listFolder(const std::string& path, std::vector<FolderEntry>& entries, int& error) {
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

bool Os::namesEndingWith(const std::string& folder, const std::string& ending, std::vector<std::string>& names,
                         int& error) {
    const std::unique_ptr<DIR, int (*)(DIR*)> listed(opendir(folder.c_str()), closedir);
    if (!listed) {
        error = errno;
        return false;
    }
    errno = 0;
    while (const dirent* entry = readdir(listed.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() > ending.size() && name.substr(name.size() - ending.size()) == ending) {
            names.emplace_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        error = errno;
        return false;
    }
    return true;
}

Kind Os::kindOf(const std::string& path, std::uint64_t& size, FileKey& key) {
    struct stat information {};
    if (stat(path.c_str(), &information) != 0) return Kind::missing;
    size = static_cast<std::uint64_t>(information.st_size);
    key = keyOf(information);
    return kindOfMode(information.st_mode);
}

Kind Os::kindOfName(const std::string& path) {
    struct stat information {};
    if (lstat(path.c_str(), &information) != 0) return Kind::missing;
    return kindOfMode(information.st_mode);
}

bool Os::letOwnerWrite(const std::string& path, int& error) {
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat information {};
    const bool writable =
        folder >= 0 && fstat(folder, &information) == 0 &&
        ((information.st_mode & S_IWUSR) != 0 || fchmod(folder, (information.st_mode & 07777) | S_IWUSR) == 0);
    if (!writable) error = errno;
    if (folder >= 0) close(folder);
    return writable;
}

bool Os::mayWriteInFolder(const std::string& path, int& error) {
    // The effective user's rights, as the copies will meet them.
    if (faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return true;
    error = errno;
    return false;
}

bool Os::createFolder(const std::string& path, int& error) {
    if (mkdir(path.c_str(), 0777) == 0) return true;
    error = errno;
    return error == EEXIST && Os::kindOfName(path) == Kind::folder;
}

bool Os::syncFolder(const std::string& path, int& error) {
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = folder >= 0 && fsync(folder) == 0;
    if (!synced) error = errno;
    if (folder >= 0) close(folder);
    return synced;
}

std::string Os::resolvedPath(const std::string& path) {
    const std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string Os::linkTarget(const std::string& path) {
    std::string text(PATH_MAX, '\0');
    const ssize_t length = readlink(path.c_str(), text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) return {};
    text.resize(static_cast<std::size_t>(length));
    if (text[0] != '/') {
        const std::size_t slash = path.rfind('/');
        text = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + text;
    }
    std::string resolved = Os::resolvedPath(text);
    if (!resolved.empty()) return resolved;
    // Gone: its folder tells where it was.
    const std::size_t slash = text.rfind('/');
    const std::string folder = Os::resolvedPath(slash == 0 ? std::string("/") : text.substr(0, slash));
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

unsigned processorsAllowed() {
#ifdef __linux__
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

std::string workingFolder() {
    std::unique_ptr<char, decltype(&std::free)> folder(getcwd(nullptr, 0), &std::free);
    return folder ? folder.get() : "";
}

}  // namespace marlune::platform

namespace marlune::platform {

namespace {

struct timespec timeOf(std::int64_t nanoseconds) {
    struct timespec time {};
    std::int64_t seconds = nanoseconds / 1000000000;
    std::int64_t rest = nanoseconds % 1000000000;
    if (rest < 0) {  // before 1970: the nanoseconds still count forward
        rest += 1000000000;
        --seconds;
    }
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = static_cast<long>(rest);
    return time;
}

}  // namespace

bool Os::keepTimesAndMode(Handle from, Handle to, int& error) {
    struct stat information {};
    if (fstat(static_cast<int>(from), &information) != 0) {
        error = errno;
        return false;
    }
    FileState source;
    source.mode = information.st_mode;
    source.owner = information.st_uid;
    source.group = information.st_gid;
    source.accessed = static_cast<std::int64_t>(information.st_atim.tv_sec) * 1000000000 + information.st_atim.tv_nsec;
    source.modified = static_cast<std::int64_t>(information.st_mtim.tv_sec) * 1000000000 + information.st_mtim.tv_nsec;
    return keepTimesAndModeOf(source, to, error);
}

bool keepTimesAndModeOf(const FileState& from, Handle to, int& error) {
    struct stat own {};
    const int target = static_cast<int>(to);
    if (fstat(target, &own) != 0) {
        error = errno;
        return false;
    }
    struct stat information {};
    information.st_mode = static_cast<mode_t>(from.mode);
    information.st_uid = static_cast<uid_t>(from.owner);
    information.st_gid = static_cast<gid_t>(from.group);
    information.st_atim = timeOf(from.accessed);
    information.st_mtim = timeOf(from.modified);
    // Owner and group first: a change of owner clears the set-id bits that fchmod then sets.
    const bool ownerDiffers = information.st_uid != own.st_uid || information.st_gid != own.st_gid;
    if (ownerDiffers && fchown(target, information.st_uid, information.st_gid) != 0) {
        // Not allowed to give the file away: the group alone, if the caller is in it.
        if (errno != EPERM || (information.st_gid != own.st_gid &&
                               fchown(target, static_cast<uid_t>(-1), information.st_gid) != 0 && errno != EPERM)) {
            error = errno;
            return false;
        }
    }
    const bool modeDiffers = (information.st_mode & 07777) != (own.st_mode & 07777);
    if ((ownerDiffers || modeDiffers) && fchmod(target, information.st_mode & 07777) != 0) {
        error = errno;
        return false;
    }
    const bool timeDiffers =
        information.st_mtim.tv_sec != own.st_mtim.tv_sec || information.st_mtim.tv_nsec != own.st_mtim.tv_nsec;
    const struct timespec times[2] = {information.st_atim, information.st_mtim};
    if (timeDiffers && futimens(target, times) != 0) {
        error = errno;
        return false;
    }
    return true;
}

bool Os::keepFileTimesAndMode(const std::string& from, const std::string& to, int& error) {
    const int source = open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const int target = source < 0 ? -1 : open(to.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (target < 0) error = errno;
    struct stat information {};
    const bool regular = target >= 0 && fstat(target, &information) == 0 && S_ISREG(information.st_mode);
    if (target >= 0 && !regular) error = EINVAL;
    const bool kept = regular && Os::keepTimesAndMode(source, target, error);
    if (source >= 0) close(source);
    if (target >= 0) close(target);
    return kept;
}

bool Os::regularFileAttributes(const std::string& path, FileAttributes& attributes) {
    struct stat information {};
    if (lstat(path.c_str(), &information) != 0 || !S_ISREG(information.st_mode)) return false;
    attributes.size = static_cast<std::uint64_t>(information.st_size);
    attributes.modified =
        static_cast<std::int64_t>(information.st_mtim.tv_sec) * 1000000000 + information.st_mtim.tv_nsec;
    attributes.changed =
        static_cast<std::int64_t>(information.st_ctim.tv_sec) * 1000000000 + information.st_ctim.tv_nsec;
    attributes.mode = information.st_mode & 07777;
    attributes.owner = information.st_uid;
    attributes.group = information.st_gid;
    return true;
}

bool attributesDiffer(const FileAttributes& from, const FileAttributes& to) {
    if (from.modified != to.modified || from.mode != to.mode) return true;
    if (from.owner == to.owner && from.group == to.group) return false;
    if (geteuid() == 0) return true;
    if (from.group == to.group || to.owner != geteuid()) return false;
    if (from.group == getegid()) return true;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    const int listed = groups.empty() ? 0 : getgroups(count, groups.data());
    for (int i = 0; i < listed; ++i) {
        if (groups[static_cast<std::size_t>(i)] == from.group) return true;
    }
    return false;
}

bool Os::keepFolderTimesAndMode(const std::string& from, const std::string& to, int& error) {
    const int source = open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int target = source < 0 ? -1 : open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool kept = target >= 0 && Os::keepTimesAndMode(source, target, error);
    if (target < 0) error = errno;
    if (source >= 0) close(source);
    if (target >= 0) close(target);
    return kept;
}

bool Os::readLink(const std::string& path, std::string& target, int& error) {
    std::string text(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
        if (length < 0) {
            error = errno;
            return false;
        }
        if (static_cast<std::size_t>(length) < text.size()) {
            text.resize(static_cast<std::size_t>(length));
            target = std::move(text);
            return true;
        }
        text.resize(text.size() * 2);
    }
}

bool Os::makeLink(const std::string& target, const std::string& path, bool, int& error) {
    if (::symlink(target.c_str(), path.c_str()) == 0) return true;
    error = errno;
    return false;
}

bool Os::renameOver(const std::string& from, const std::string& to, int& error) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    error = errno;
    return false;
}

bool Os::createScratch(Handle& file) {
    const char* given = std::getenv("TMPDIR");
    const std::string folder = given && *given == '/' ? given : "/tmp";
    int handle = -1;
#ifdef O_TMPFILE
    handle = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (handle < 0) {  // a file system without unnamed files: a name removed at once
        std::string name = folder + "/marlune-XXXXXX";
        handle = ::mkostemp(name.data(), O_CLOEXEC);
        if (handle >= 0) ::unlink(name.c_str());
    }
    if (handle < 0) return false;
    file = handle;
    return true;
}

bool Os::rewind(Handle file) {
    return ::lseek(static_cast<int>(file), 0, SEEK_SET) == 0;
}

}  // namespace marlune::platform
