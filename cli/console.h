// The little the command needs from the console it runs in (terminals, Ctrl-C,
// closed pipes, Unicode arguments), and the one place where Windows and POSIX
// differ for it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "marlune.h"

namespace marlune::cli {

bool isTerminal(std::FILE* stream);

// While it lives, Ctrl-C asks the run to stop; a second one ends the process.
class InterruptHandler {
public:
    InterruptHandler();
    ~InterruptHandler();
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    void (*previous_)(int);
};

// The run that Ctrl-C cancels (null: none), from the signal handler itself.
void cancelOnInterrupt(marlune_run* run);

// Ctrl-C, or an output that can take no more: the work in progress is
// abandoned and no file is started.
bool interrupted();
void outputClosed();
bool outputLost();
bool stopping();

// The command line as UTF-8, as the library takes paths. On POSIX the bytes
// stay as they are; on Windows it is read as UTF-16, whatever the code page.
std::vector<std::string> commandLine(int argc, char** argv);

// While it lives, a Windows console shows the UTF-8 the command writes.
class Utf8Console {
public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    unsigned previous_ = 0;
};

// A reader that closes standard output early (| head) makes writes fail
// instead of ending the process, so that the command stops cleanly.
void ignoreClosedPipes();

// The system's words for its error code (errno; on Windows GetLastError()'s).
std::string systemWords(int code);

// Opens a UTF-8 named file for reading in binary mode; "-" is standard input.
std::FILE* openForReading(const std::string& path);

}  // namespace marlune::cli
