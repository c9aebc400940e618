// Judges a file as a copy would, without writing anything: whether it is a
// complete container and, when not, where and why it falls short. The command's
// `info` uses it, so that it judges a file exactly as the copy does.
#pragma once

#include <cstdint>

#include "container/copy.h"
#include "platform/os.h"

namespace marlune::container {

struct Examination : CopyReport {
    std::uint64_t fileSize = 0;
    // The header as read; only its first `headerBytes` bytes come from the file.
    Header header{};
};

// True when the header was read in full and carries a container magic, so that
// its fields mean something.
inline bool hasContainerHeader(const Examination& examination) {
    return examination.headerBytes == headerSize && hasContainerMagic(examination.header);
}

Examination examine(platform::Os& os, const char* path);

}  // namespace marlune::container
