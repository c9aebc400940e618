#include "console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#ifdef _WIN32
// windows.h first: shellapi.h builds on it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace marlune::cli {
namespace {

std::atomic<bool> interruptSeen{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");
std::atomic<bool> outputGone{false};
std::atomic<marlune_run*> interruptedRun{nullptr};
static_assert(std::atomic<marlune_run*>::is_always_lock_free, "the signal handler reads it");

extern "C" void onInterrupt(int) {
    interruptSeen.store(true);
    // One atomic store in the run: no group starts, the ones under way stop before their moves.
    if (marlune_run* run = interruptedRun.load()) marlune_run_cancel(run);
    // The library leaves no partial file at a name even when the process ends at once.
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

InterruptHandler::InterruptHandler() : previous_(std::signal(SIGINT, onInterrupt)) {}

InterruptHandler::~InterruptHandler() {
    std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
}

void cancelOnInterrupt(marlune_run* run) {
    interruptedRun.store(run);
    if (run && interruptSeen.load()) marlune_run_cancel(run);
}

bool interrupted() {
    return interruptSeen.load();
}

void outputClosed() {
    outputGone.store(true);
}

bool stopping() {
    return interruptSeen.load() || outputGone.load();
}

#ifdef _WIN32

namespace {

// UTF-8 and UTF-16, as the library and the wide system calls take them.
std::wstring wideOf(const std::string& text) {
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (count <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), count);
    wide.pop_back();
    return wide;
}

std::string utf8Of(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), bytes, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

}  // namespace

bool isTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

std::vector<std::string> commandLine(int, char**) {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; words && i < count; ++i) arguments.push_back(utf8Of(words[i]));
    LocalFree(words);
    return arguments;
}

Utf8Console::Utf8Console() : previous_(GetConsoleOutputCP()) {
    if (previous_ != 0) SetConsoleOutputCP(CP_UTF8);
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) SetConsoleOutputCP(previous_);
}

// Windows has no SIGPIPE: a write to a closed pipe fails by itself.
void ignoreClosedPipes() {}

std::FILE* openForReading(const std::string& path) {
    if (path == "-") {
        _setmode(_fileno(stdin), _O_BINARY);
        return stdin;
    }
    return _wfopen(wideOf(path).c_str(), L"rb");
}

std::FILE* openDataOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return stdout;
}

namespace {

// A regular file's bytes from its position to its end.
bool measure(std::FILE* file, std::uint64_t& bytes) {
    struct _stat64 info {};
    const int descriptor = _fileno(file);
    if (_fstat64(descriptor, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
    const __int64 at = _lseeki64(descriptor, 0, SEEK_CUR);
    if (at < 0 || at > info.st_size) return false;
    bytes = static_cast<std::uint64_t>(info.st_size - at);
    return true;
}

}  // namespace

#else

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

std::vector<std::string> commandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

void ignoreClosedPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

std::FILE* openForReading(const std::string& path) {
    return path == "-" ? stdin : std::fopen(path.c_str(), "rb");
}

namespace {

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

// A regular file's bytes from its position to its end; a pipe, whose end only its
// reads tell, is widened for them.
bool measure(std::FILE* file, std::uint64_t& bytes) {
    struct stat info {};
    const int descriptor = fileno(file);
    widenPipe(descriptor);
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const off_t at = lseek(descriptor, 0, SEEK_CUR);
    if (at < 0 || at > info.st_size) return false;
    bytes = static_cast<std::uint64_t>(info.st_size - at);
    return true;
}

}  // namespace

std::FILE* openDataOutput() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    widenPipe(fileno(stdout));
    return stdout;
}

#endif

namespace {

// fread waits for all it is asked (a pipe gives less a read) and stops short only
// at the end or a failure; a failure after some bytes is told at the next call.
std::int64_t MARLUNE_CALL readStream(void* buffer, std::uint64_t count, std::int32_t* error, void* context) {
    auto& stream = *static_cast<StreamFile*>(context);
    if (stream.error == 0) {
        const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(count), stream.file);
        if (!std::ferror(stream.file)) return static_cast<std::int64_t>(got);
        stream.error = errno != 0 ? errno : EIO;
        if (got != 0) return static_cast<std::int64_t>(got);
    }
    *error = stream.error;
    return -1;
}

std::int32_t MARLUNE_CALL writeStream(const void* buffer, std::uint64_t count, void* context) {
    auto& stream = *static_cast<StreamFile*>(context);
    if (std::fwrite(buffer, 1, static_cast<std::size_t>(count), stream.file) == count) return 0;
    return errno != 0 ? errno : EIO;
}

}  // namespace

marlune_reader readerOf(StreamFile& stream) {
    marlune_reader reader{};
    reader.size = sizeof reader;
    reader.length_known = measure(stream.file, reader.length) ? 1 : 0;
    reader.read = readStream;
    reader.context = &stream;
    return reader;
}

marlune_writer writerOf(StreamFile& stream) {
    marlune_writer writer{};
    writer.size = sizeof writer;
    writer.write = writeStream;
    writer.context = &stream;
    return writer;
}

}  // namespace marlune::cli
