// The original two functions: one call at a time through the module state, the
// user told of a failure in the original words, and nothing thrown past them.
#include "boundary/module_state.h"
#include "boundary/operations.h"
#include "marlune.h"

namespace marlune {
namespace {

thread_local bool insideCall = false;

// Holds the call lock for one call. A call made from inside a running call on the
// same thread (a window procedure while a message box is open) is turned away:
// waiting for the lock would deadlock, and going on would overwrite the module state.
class CallGuard {
public:
    CallGuard() : admitted_(!insideCall) {
        if (!admitted_) return;
        insideCall = true;
        moduleState().callLock.lock();
    }
    ~CallGuard() {
        if (!admitted_) return;
        moduleState().callLock.unlock();
        insideCall = false;
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
    bool admitted() const { return admitted_; }

private:
    bool admitted_;
};

template <typename Operation>
std::int32_t runCall(Operation operation) {
    CallGuard guard;
    if (!guard.admitted()) return 0;
    try {
        return operation();
    } catch (...) {  // out of memory for a path copy: a failure like any other
        ModuleState& state = moduleState();
        state.sourceFile.close();
        state.destinationFile.close();
        return 0;
    }
}

// Shown while the files are still open, as the original functions always did.
void announce(const Outcome& outcome) {
    if (const char* message = legacyMessage(outcome)) reportError(message);
}

CopyRequest legacyRequest(ModuleState& state, std::int32_t showErrors) {
    state.showErrors = showErrors;
    CopyRequest request{*state.os, state.sourceName.c_str(), state.destinationName.c_str()};
    request.announce = announce;
    return request;
}

}  // namespace
}  // namespace marlune

extern "C" MARLUNE_API int32_t MARLUNE_CALL KVRBinfo(const char* source, const char* destination, int32_t showErrors) {
    return marlune::runCall([&] {
        marlune::ModuleState& state = marlune::moduleState();
        state.sourceName = source ? source : "";
        state.destinationName = destination ? destination : "";
        marlune::CopyRequest request = marlune::legacyRequest(state, showErrors);
        request.placement = marlune::Placement::inPlace;
        marlune::CopyFiles files{state.sourceFile, state.destinationFile, state.header};
        marlune_report report;
        return marlune::copyContainer(request, files, report).status == MARLUNE_OK ? 1 : 0;
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL IKVRBinfo(int32_t /*ignored*/, const int32_t* showErrorsIn,
                                                      const char* path) {
    return marlune::runCall([&] {
        marlune::ModuleState& state = marlune::moduleState();
        state.sourceName = path ? path : "";
        const marlune::CopyRequest request = marlune::legacyRequest(state, showErrorsIn ? *showErrorsIn : 0);
        marlune::CopyFiles files{state.sourceFile, state.destinationFile, state.header};
        marlune_report report;
        const std::int32_t status =
            marlune::convertFile(request, marlune::platform::ansiCodePage(), files, report).status;
        return status == MARLUNE_OK || status == MARLUNE_ALREADY_CONVERTED ? -1 : 0;
    });
}
