#include "boundary/module_state.h"
#include "boundary/operations.h"
#include "container/copy.h"

namespace marlune {
namespace {

// A failure after both files are open: the user sees it while they still are.
std::int32_t failWithFilesOpen(ModuleState& state, const char* message) {
    reportError(message);
    state.sourceFile.close();
    state.destinationFile.close();
    return 0;
}

}  // namespace

std::int32_t copyContainer(const char* source, const char* destination, std::int32_t showErrors, Durability durability,
                           bool* sourceStillNamed) {
    ModuleState& state = moduleState();
    state.sourceName = source ? source : "";
    state.destinationName = destination ? destination : "";
    state.showErrors = showErrors;

    if (state.sourceName.empty() || state.destinationName.empty()) {
        reportError(messages::badName);
        return 0;
    }
    if (!state.sourceFile.openForReading(*state.os, state.sourceName.c_str())) {
        reportError(messages::cannotOpenSource);
        return 0;
    }
    if (!state.destinationFile.createForWriting(*state.os, state.destinationName.c_str(), state.sourceFile)) {
        reportError(messages::cannotCreateDestination);
        state.sourceFile.close();
        return 0;
    }
    // Without memory to copy in, nothing can be copied: the header is the first
    // part that cannot be.
    container::CopyBuffer buffer;
    if (!buffer.allocateFor(state.sourceFile.sizeAtOpen())) {
        return failWithFilesOpen(state, messages::cannotCopyHeader);
    }
    container::ContainerCopy copy(state.sourceFile, &state.destinationFile, buffer, state.header);
    if (!copy.copyHeader()) return failWithFilesOpen(state, messages::cannotCopyHeader);
    if (!copy.copyAudioData()) return failWithFilesOpen(state, messages::cannotCopyAudioData);
    if (durability == Durability::onStableStorage && !state.destinationFile.sync()) {
        return failWithFilesOpen(state, messages::cannotCopyAudioData);
    }
    if (sourceStillNamed) *sourceStillNamed = state.sourceFile.isNamedBy(state.sourceName.c_str());
    // A close can be where a write finally fails (network file systems): the copy
    // is only a success when both closed cleanly.
    const bool destinationClosed = state.destinationFile.close();
    const bool sourceClosed = state.sourceFile.close();
    if (!destinationClosed || !sourceClosed) {
        reportError(messages::cannotCopyAudioData);
        return 0;
    }
    return 1;
}

void closeModuleFiles() {
    ModuleState& state = moduleState();
    state.sourceFile.close();
    state.destinationFile.close();
}

}  // namespace marlune
