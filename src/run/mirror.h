// A mirror's step: every regular file arrives, a container copied as a copy
// normalises it, a damaged one and any other file byte for byte, a link made
// anew; times and modes kept, a copy that matches its source left alone.
#pragma once

#include <vector>

#include "run/step.h"

namespace marlune::run {

std::vector<FileAnswer> runMirrorStep(const Step& step, const StepProgress& progress);

// After a mirror, for each folder its walk left (deepest first): the copy of the folder
// `source` made where missing (an empty one too, with any above it up to `root`), never
// through a link, and given its source's time and mode.
void keepFolder(platform::Os& os, const std::string& source, const std::string& copy, const std::string& root);

// A verify's step: each file compared with what copying its source gives now
// (or with its manifest's digest); links by what they hold.
std::vector<FileAnswer> runVerifyStep(const Step& step, const StepProgress& progress);

}  // namespace marlune::run
