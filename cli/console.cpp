#include "console.h"

#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
// windows.h first: shellapi.h builds on it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>
#else
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

bool outputLost() {
    return outputGone.load();
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

std::string systemWords(int code) {
    return "system error " + std::to_string(code);
}

std::FILE* openForReading(const std::string& path) {
    if (path == "-") {
        _setmode(_fileno(stdin), _O_BINARY);
        return stdin;
    }
    return _wfopen(wideOf(path).c_str(), L"rb");
}

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

std::string systemWords(int code) {
    return std::strerror(code);
}

std::FILE* openForReading(const std::string& path) {
    return path == "-" ? stdin : std::fopen(path.c_str(), "rb");
}

#endif

}  // namespace marlune::cli
