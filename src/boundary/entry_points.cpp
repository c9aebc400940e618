// The two exported functions: one call at a time, and nothing thrown past them.
#include "marlune.h"

#include "boundary/module_state.h"
#include "boundary/operations.h"

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
        closeModuleFiles();
        return 0;
    }
}

}  // namespace
}  // namespace marlune

extern "C" MARLUNE_API int32_t MARLUNE_CALL KVRBinfo(const char* source, const char* destination,
                                                     int32_t showErrors) {
    return marlune::runCall([&] {
        return marlune::copyContainer(source, destination, showErrors, marlune::Placement::inPlace,
                                      marlune::Durability::asWritten);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL IKVRBinfo(int32_t /*ignored*/, const int32_t* showErrorsIn,
                                                      const char* path) {
    return marlune::runCall([&] { return marlune::convertFile(showErrorsIn, path); });
}
