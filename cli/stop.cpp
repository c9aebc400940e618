#include "stop.h"

#include <atomic>
#include <csignal>

namespace marlune::cli {
namespace {

std::atomic<bool> interruptSeen{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");
std::atomic<bool> outputGone{false};

extern "C" void onInterrupt(int) {
    interruptSeen.store(true);
    // The library leaves no partial file at a name even when the process ends at once.
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

InterruptHandler::InterruptHandler() : previous_(std::signal(SIGINT, onInterrupt)) {}

InterruptHandler::~InterruptHandler() {
    std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_);
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

}  // namespace marlune::cli
