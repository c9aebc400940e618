// The run's text summary.
#pragma once

#include <string>

#include "run.h"

namespace marlune::cli {

std::string summaryText(const Command& command, const Tally& tally);

}  // namespace marlune::cli
