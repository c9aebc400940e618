#include <optional>

#include "boundary/module_state.h"
#include "boundary/operations.h"

namespace marlune {

std::string destinationFor(std::string_view path, unsigned codePage) {
    // Only the last component's "." counts: a "." in a folder name must not send
    // the copy into another folder.
    std::optional<std::size_t> lastDot;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto byte = static_cast<unsigned char>(path[i]);
        if (platform::isLeadByte(codePage, byte) && i + 1 < path.size()) {
            ++i;  // the trail byte may look like "." or "\" but is part of a character
        } else if (platform::isPathSeparator(path[i])) {
            lastDot.reset();
        } else if (byte == '.') {
            lastDot = i;
        }
    }
    std::string destination(path.substr(0, lastDot.value_or(path.size())));
    destination += ".kv";
    return destination;
}

std::int32_t convertFile(const std::int32_t* showErrorsIn, const char* path) {
    const std::string_view source = path ? path : "";
    constexpr std::string_view converted = ".kv";
    if (source.size() >= converted.size() && source.substr(source.size() - converted.size()) == converted) {
        return -1;
    }
    const std::string destination = destinationFor(source, platform::ansiCodePage());
    const std::int32_t showErrors = showErrorsIn ? *showErrorsIn : 0;
    // The copy is written beside the ".kv" name and takes it once complete, so an
    // earlier conversion there stays whole until then. The source goes only once
    // the new file and its name are on stable storage, and only when its name still
    // means the file that was copied: a file renamed over it meanwhile is another
    // recording.
    bool sourceStillNamed = true;
    if (copyContainer(path, destination.c_str(), showErrors, Placement::beside, Durability::dataAndName,
                      &sourceStillNamed) == 0) {
        return 0;
    }
    if (sourceStillNamed) moduleState().os->deleteFile(path);
    return -1;
}

}  // namespace marlune
