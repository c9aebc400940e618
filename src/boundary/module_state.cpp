#include "boundary/module_state.h"

namespace marlune {
namespace {

// Built when the library is loaded, destroyed (closing any open file) when it is unloaded.
ModuleState state;

}  // namespace

ModuleState::ModuleState() : os(&platform::nativeOs()) {
    platform::extendErrorMode();
}

ModuleState& moduleState() {
    return state;
}

void reportError(const char* message) {
    if (state.showErrors != 0) state.os->showMessage(message);
}

}  // namespace marlune
