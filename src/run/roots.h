// The folders a run starts from, looked at before any file is done: a run whose
// source or destination cannot be used is refused whole, with the system's code,
// rather than failing each of its files.
#pragma once

#include <cstdint>
#include <string>

#include "marlune.h"
#include "platform/os.h"
#include "run/job_policy.h"

namespace marlune::run {

struct RootCheck {
    std::int32_t status = MARLUNE_OK;
    int systemError = 0;  // errno, GetLastError(): why
};

// Whether a path added to a run of `policy` with `place` (null: the path itself)
// needs to be a folder: the one source folder of a copy into the destination, and verify's.
bool needsFolder(const JobPolicy& policy, const char* place);

// A source the run starts from: it exists (MARLUNE_SOURCE_MISSING; MARLUNE_SOURCE_UNREADABLE
// when a folder on the way may not be searched), and is a folder where the job needs one
// (MARLUNE_RUN_NO_FOLDER).
RootCheck checkSource(platform::Os& os, const JobPolicy& policy, const std::string& path, const char* place);

// The destination folder of a copy or verify: a folder, or for a copy one that can be
// made (MARLUNE_RUN_NO_FOLDER); for a run that writes, one it may write in, or the
// nearest folder above it where it is to be made (MARLUNE_DESTINATION_UNCREATABLE).
RootCheck checkDestination(platform::Os& os, const JobPolicy& policy, const std::string& destination);

}  // namespace marlune::run
