// A mirror's step: every regular file arrives, a container copied as a copy
// normalises it, a damaged one and any other file byte for byte, a link made
// anew; times and modes kept, a copy that matches its source left alone.
#pragma once

#include <vector>

#include "run/step.h"

namespace marlune::run {

std::vector<FileAnswer> runMirrorStep(const Step& step, const StepProgress& progress);

}  // namespace marlune::run
