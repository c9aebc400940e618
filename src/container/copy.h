// The two stages of a copy. Both take the open source and destination files and
// the caller's header buffer, return true when they did their work, and never
// open, close or report anything themselves.
#pragma once

#include "container/layout.h"
#include "platform/file.h"

namespace marlune::container {

// Reads and checks the header, then copies it and the preamble up to dataOffset.
// On failure the destination holds nothing (not a container) or the header alone.
bool copyHeader(platform::File& source, platform::File& destination, Header& header);

// Copies the chunks from dataOffset to the end of the source, applying the
// fixed-length rule. On failure the destination holds every complete chunk
// copied before it. Call only after copyHeader succeeded with the same header.
bool copyAudioData(platform::File& source, platform::File& destination, const Header& header);

}  // namespace marlune::container
