#include "run/roots.h"

#include "run/paths.h"

namespace marlune::run {
namespace {

RootCheck refusal(std::int32_t status, int error) {
    return {status, error};
}

platform::Kind kindAt(platform::Os& os, const std::string& path) {
    std::uint64_t size = 0;
    platform::FileKey key;
    return os.kindOf(path, size, key);  // a folder named through a link is the folder it leads to
}

RootCheck mayWriteIn(platform::Os& os, const JobPolicy& policy, const std::string& folder) {
    int error = 0;
    if (policy.writes && !os.mayWriteInFolder(folder, error)) return refusal(MARLUNE_DESTINATION_UNCREATABLE, error);
    return {};
}

}  // namespace

bool needsFolder(const JobPolicy& policy, const char* place) {
    return policy.verifies || (policy.copies && place && !*place);
}

RootCheck checkSource(platform::Os& os, const JobPolicy& policy, const std::string& path, const char* place) {
    const platform::Kind kind = kindAt(os, path);
    if (kind == platform::Kind::missing) {
        // A folder on the way that may not be searched hides what is there.
        const int error = platform::lastSystemError();
        const bool denied = platform::kindOf(error) == platform::ErrorKind::denied;
        return refusal(denied ? MARLUNE_SOURCE_UNREADABLE : MARLUNE_SOURCE_MISSING, error);
    }
    if (needsFolder(policy, place) && kind != platform::Kind::folder) {
        return refusal(MARLUNE_RUN_NO_FOLDER, platform::notAFolderError());
    }
    return {};
}

RootCheck checkDestination(platform::Os& os, const JobPolicy& policy, const std::string& destination) {
    if (!policy.copies && !policy.verifies) return {};
    platform::Kind kind = kindAt(os, destination);
    if (kind == platform::Kind::folder) return mayWriteIn(os, policy, destination);
    if (kind != platform::Kind::missing) return refusal(MARLUNE_RUN_NO_FOLDER, platform::notAFolderError());
    const int missing = platform::lastSystemError();
    // Verify reads the destination; a copy makes it, and the folders on the way, from the nearest that exists.
    if (policy.verifies) return refusal(MARLUNE_RUN_NO_FOLDER, missing);
    std::string nearest = destination;
    for (std::string above = folderOf(nearest); above != nearest; above = folderOf(nearest)) {
        nearest = above;
        kind = kindAt(os, nearest);
        if (kind != platform::Kind::missing) break;
    }
    if (kind != platform::Kind::folder) {
        return refusal(MARLUNE_RUN_NO_FOLDER, kind == platform::Kind::missing ? missing : platform::notAFolderError());
    }
    return mayWriteIn(os, policy, nearest);
}

}  // namespace marlune::run
