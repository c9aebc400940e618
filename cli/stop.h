// Ctrl-C, or an output that can take no more: the work in progress is
// abandoned and no file is started.
#pragma once

namespace marlune::cli {

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

bool interrupted();
void outputClosed();
bool stopping();

}  // namespace marlune::cli
