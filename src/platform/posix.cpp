// The operating-system layer on POSIX systems.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/os.h"

namespace marlune::platform {
namespace {

// Non-blocking open keeps a FIFO from stalling the call; only regular files are accepted.
constexpr int openFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Largest transfer per call, so that the count always fits the return type everywhere.
constexpr std::size_t maxTransfer = 1u << 30;

int fd(Handle file) {
    return static_cast<int>(file);
}

bool isRegularFile(int descriptor, struct stat& info) {
    return fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
}

// Makes later reads and writes block as usual.
bool clearNonBlocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    return flags != -1 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

class PosixOs final : public Os {
public:
    bool openForReading(const char* path, Handle& file) override {
        const int descriptor = ::open(path, O_RDONLY | openFlags);
        if (descriptor == -1) return false;
        struct stat info {};
        if (!isRegularFile(descriptor, info) || !clearNonBlocking(descriptor)) {
            ::close(descriptor);
            return false;
        }
        // Read from start to end: the system may read further ahead. Only a hint.
        posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
        file = descriptor;
        return true;
    }

    // POSIX has no share modes: the file is opened without truncation, compared
    // with the source by device and inode, and only then truncated.
    bool createForWriting(const char* path, Handle source, Handle& file) override {
        const int descriptor = ::open(path, O_WRONLY | O_CREAT | openFlags, 0666);
        if (descriptor == -1) return false;
        struct stat info {};
        bool usable = isRegularFile(descriptor, info) && clearNonBlocking(descriptor);
        if (usable && source != noHandle) {
            struct stat sourceInfo {};
            usable = fstat(fd(source), &sourceInfo) == 0 &&
                     !(sourceInfo.st_dev == info.st_dev && sourceInfo.st_ino == info.st_ino);
        }
        // Truncating an empty file changes nothing, but ext4 then writes the file out
        // at close (its guard for files replaced by truncation): leave it alone.
        if (!usable || (info.st_size != 0 && ftruncate(descriptor, 0) != 0)) {
            ::close(descriptor);
            return false;
        }
        file = descriptor;
        return true;
    }

    std::int64_t read(Handle file, void* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t got = ::read(fd(file), buffer, size < maxTransfer ? size : maxTransfer);
            if (got >= 0 || errno != EINTR) return got;
        }
    }

    std::int64_t write(Handle file, const void* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t put = ::write(fd(file), buffer, size < maxTransfer ? size : maxTransfer);
            if (put >= 0 || errno != EINTR) return put;
        }
    }

    bool seek(Handle file, std::uint64_t offset) override {
        if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return false;
        return lseek(fd(file), static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
    }

    bool size(Handle file, std::uint64_t& bytes) override {
        struct stat info {};
        if (fstat(fd(file), &info) != 0) return false;
        bytes = static_cast<std::uint64_t>(info.st_size);
        return true;
    }

    bool truncate(Handle file, std::uint64_t bytes) override {
        if (bytes > static_cast<std::uint64_t>(LLONG_MAX)) return false;
        return ftruncate(fd(file), static_cast<off_t>(bytes)) == 0;
    }

    bool sync(Handle file) override {
        return fsync(fd(file)) == 0;
    }

    std::int64_t copyRange(Handle source, Handle destination, std::size_t size) override {
#ifdef __linux__
        for (;;) {
            const ssize_t copied = copy_file_range(fd(source), nullptr, fd(destination), nullptr,
                                                   size < maxTransfer ? size : maxTransfer, 0);
            if (copied >= 0) return copied;
            switch (errno) {
            case EINTR: continue;
            // Older kernels, other file systems, or files these cannot copy between.
            case ENOSYS:
            case EXDEV:
            case EOPNOTSUPP:
            case EINVAL:
            case EBADF:
            case ETXTBSY: return copyNotSupported;
            default: return -1;
            }
        }
#else
        return Os::copyRange(source, destination, size);
#endif
    }

    // The descriptor is gone after close() whatever it returns, so EINTR is not retried.
    bool close(Handle file) override {
        return ::close(fd(file)) == 0;
    }

    bool isSameFile(const char* path, Handle file) override {
        struct stat named {};
        struct stat opened {};
        if (fstat(fd(file), &opened) != 0) return true;  // cannot tell
        return ::stat(path, &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
    }

    bool deleteFile(const char* path) override {
        return unlink(path) == 0;
    }

    // One write, so that the line is not interleaved with other output.
    void showMessage(const char* text) override {
        std::string line;
        try {
            line = std::string("Marlune: ") + text + "\n";
        } catch (...) {
            return;  // no memory for the line: the result still tells the caller
        }
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t put = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return;
            done += static_cast<std::size_t>(put);
        }
    }
};

pthread_mutex_t callMutex = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

Os& nativeOs() {
    static PosixOs os;
    return os;
}

void extendErrorMode() {}

void lockCalls() {
    pthread_mutex_lock(&callMutex);
}

void unlockCalls() {
    pthread_mutex_unlock(&callMutex);
}

bool isPathSeparator(char c) {
    return c == '/';
}

unsigned ansiCodePage() {
    return 0;
}

bool isLeadByte(unsigned /*codePage*/, unsigned char /*byte*/) {
    return false;
}

}  // namespace marlune::platform
