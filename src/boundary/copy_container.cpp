#include <chrono>
#include <cstdio>
#include <random>

#include "boundary/module_state.h"
#include "boundary/operations.h"
#include "container/copy.h"

namespace marlune {
namespace {

// Where the destination is written: `target`, or `partial` beside it until it is
// complete. A partial file that never took the target's name goes however the call
// ends; a destination written in place stays.
struct Destination {
    Destination(ModuleState& owner, Placement where) : state(owner), placement(where) {}
    ~Destination() {
        if (partial.empty()) return;
        state.destinationFile.close();
        state.os->deleteFile(partial.c_str());
    }
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    ModuleState& state;
    Placement placement;
    std::string target;
    std::string partial;
};

// A failure after both files are open: the user sees it while they still are.
std::int32_t failWithFilesOpen(ModuleState& state, const char* message) {
    reportError(message);
    state.sourceFile.close();
    state.destinationFile.close();
    return 0;
}

std::uint64_t randomTag() {
    try {
        std::random_device device;
        return std::uint64_t{device()} << 32 ^ device();
    } catch (...) {  // no source of randomness: the clock still tells calls apart
        return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
}

bool createDestination(ModuleState& state, Destination& destination) {
    if (destination.placement == Placement::inPlace) {
        return state.destinationFile.createForWriting(*state.os, destination.target.c_str(), state.sourceFile);
    }
    // Through a symbolic link, the file it leads to is replaced and the link kept.
    destination.target = state.os->followLinks(destination.target.c_str());
    if (!state.os->canReplace(destination.target.c_str(), state.sourceFile.handle())) return false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        destination.partial = partialNameFor(destination.target);
        if (state.destinationFile.createNew(*state.os, destination.partial.c_str())) return true;
    }
    destination.partial.clear();
    return false;
}

// Data first, then (beside) the move into place: the complete file takes the name
// only once its data is on disk, and the name is on disk before the call returns.
bool finishDestination(ModuleState& state, Durability durability, Destination& destination) {
    if (durability != Durability::asWritten && !state.destinationFile.sync()) return false;
    const bool nameToSync = durability == Durability::dataAndName;
    if (destination.placement == Placement::inPlace) {
        return !nameToSync || state.os->syncFolderOf(destination.target.c_str());
    }
    if (!state.destinationFile.close()) return false;
    if (nameToSync && !state.os->syncFolderOf(destination.partial.c_str())) return false;
    if (!state.os->rename(destination.partial.c_str(), destination.target.c_str())) return false;
    destination.partial.clear();
    return !nameToSync || state.os->syncFolderOf(destination.target.c_str());
}

}  // namespace

std::string partialNameFor(const std::string& target) {
    char tag[17];
    std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(randomTag()));
    return target + "." + tag + ".marlune-partial";
}

std::int32_t copyContainer(const char* source, const char* destination, std::int32_t showErrors, Placement placement,
                           Durability durability, bool* sourceStillNamed) {
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
    Destination written(state, placement);
    written.target = state.destinationName;
    if (!createDestination(state, written)) {
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
    if (!copy.copyAudioData() || !finishDestination(state, durability, written)) {
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
