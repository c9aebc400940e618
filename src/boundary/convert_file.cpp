#include <optional>

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

bool isConverted(const char* path) {
    const std::string_view source = path ? path : "";
    constexpr std::string_view converted = ".kv";
    return source.size() >= converted.size() && source.substr(source.size() - converted.size()) == converted;
}

// The copy is written beside the ".kv" name and takes it once complete, so an
// earlier conversion there stays whole until then. The source goes only once the
// new file and its name are on stable storage, only when its name still means
// the file that was copied (a file renamed over it meanwhile is another
// recording), and only while it is unchanged since its copy read it. The copy
// keeps the source's time and mode, which would otherwise go with it.
void makeConversion(CopyRequest& request, unsigned codePage, const std::string& destination) {
    request.destination = destination.c_str();
    request.placement = Placement::beside;
    request.durability = Durability::dataAndName;
    request.salvage = false;  // a source is removed only once its copy is whole
    request.removesSource = true;
    request.keepsTimesAndMode = true;  // the source goes: its date and mode live on in the copy
    request.codePage = codePage;
}

Outcome convertFile(CopyRequest request, unsigned codePage, CopyFiles& files, marlune_report& report) {
    if (isConverted(request.source)) {
        report = marlune_report{};
        report.size = sizeof report;
        report.status = MARLUNE_ALREADY_CONVERTED;
        return Outcome{MARLUNE_ALREADY_CONVERTED};
    }
    const std::string destination = destinationFor(request.source ? request.source : "", codePage);
    makeConversion(request, codePage, destination);
    return copyContainer(request, files, report);
}

}  // namespace marlune
