// What the command needs to know of each of the library's statuses beyond its
// name and words, which the library gives (marlune_status_name, marlune_status_text).
#pragma once

#include <cstdint>
#include <string>

#include "marlune.h"

namespace marlune::cli {

struct StatusFacts {
    const char* problem;  // info's kind of problem ("payload-cut"); null for a complete container
    const char* cut;      // the piece a container cut short lacks part of ("payload"); null for none
    bool beforeChunks;    // the container falls short before its chunks: nothing can be salvaged
};

StatusFacts factsOf(std::int32_t status);

// The piece cut short, also for a salvage: what it kept ends where the cut chunk
// starts, at its header or 8 bytes before its payload.
const char* cutPiece(std::int32_t status, const marlune_report& report);

// The library's sentence for a file of the job that ended with the status.
std::string reasonOf(std::int32_t job, std::int32_t status, const marlune_report& report);

// A source the library could not open: nothing of its contents is known.
bool notOpened(std::int32_t status);

marlune_report emptyReport();

}  // namespace marlune::cli
