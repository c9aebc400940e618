#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/standard_streams.h"

namespace marlune::platform {
namespace {

constexpr std::size_t maxTransfer = 1u << 30;

// A pipe holds 64 KiB, so that the programs on either side wait on each other
// every 64 KiB; one that holds two of the copy's reads or writes (512 KiB) lets
// them run on meanwhile. 1 MiB is the most Linux gives an unprivileged process;
// a refusal changes nothing.
constexpr int pipeBytes = 1 << 20;

void widenPipe(int descriptor) {
#ifdef F_SETPIPE_SZ
    struct stat info {};
    if (fstat(descriptor, &info) == 0 && S_ISFIFO(info.st_mode) && fcntl(descriptor, F_GETPIPE_SZ) < pipeBytes) {
        fcntl(descriptor, F_SETPIPE_SZ, pipeBytes);
    }
#else
    static_cast<void>(descriptor);
#endif
}

// A descriptor its owner made non-blocking is waited on rather than failed.
bool waited(int descriptor, short event) {
    if (errno == EINTR) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd ready{descriptor, event, 0};
    return poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

}  // namespace

bool standardInputLength(std::uint64_t& bytes) {
    widenPipe(STDIN_FILENO);
    struct stat info {};
    if (fstat(STDIN_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (at < 0 || at > info.st_size) return false;
    bytes = static_cast<std::uint64_t>(info.st_size - at);
    return true;
}

std::int64_t readStandardInput(void* buffer, std::size_t size, int& error) {
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, std::min(size, maxTransfer));
        if (got >= 0) return got;
        if (!waited(STDIN_FILENO, POLLIN)) break;
    }
    error = errno;
    return -1;
}

int writeStandardOutput(const void* buffer, std::size_t size) {
    const auto* bytes = static_cast<const char*>(buffer);
    while (size != 0) {
        const ssize_t put = ::write(STDOUT_FILENO, bytes, std::min(size, maxTransfer));
        if (put < 0 && waited(STDOUT_FILENO, POLLOUT)) continue;
        if (put < 0) return errno;
        if (put == 0) return EIO;  // an output that takes nothing would be asked for ever
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

void prepareStandardOutput() {
    widenPipe(STDOUT_FILENO);
}

}  // namespace marlune::platform
