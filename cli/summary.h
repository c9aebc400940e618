// What a run's output says of a file and of the run: the JSON records and the summary.
#pragma once

#include <string>

#include "json.h"
#include "run.h"

namespace marlune::cli {

std::string summaryText(const Command& command, const Tally& tally);
Json summaryJson(const Command& command, const Tally& tally);

}  // namespace marlune::cli
