// The sentence the command and the packages give for a file's status: one
// wording for every front end.
#pragma once

#include <cstdint>
#include <string>

#include "marlune.h"
#include "run/step.h"

namespace marlune::run {

// What `job` says of a file that ended with `status`; `report` may be null.
std::string reasonFor(std::int32_t job, std::int32_t status, const marlune_report* report);

// The whole sentence for `file` of `step`, naming the other file, the
// destination or the destination folder where they matter.
std::string sentenceFor(const Step& step, const StepFile& file, std::int32_t status, const marlune_report& report);

}  // namespace marlune::run
