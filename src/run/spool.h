// Names held in their order until a run is ready for them: in memory up to a bound,
// past it in a scratch file, so that memory stays flat however many there are.
// A mirror's walk decides its deletions here while its copies are still written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace marlune::run {

class NameSpool {
public:
    explicit NameSpool(platform::Os& os, std::size_t memoryBound = std::size_t{1} << 20)
        : os_(os), memoryBound_(memoryBound) {}

    // False once the scratch file failed (its system code in error()): names are lost then.
    bool add(const std::string& name);
    // The names added, in their order, once adding is over; false after the last.
    bool next(std::string& name);
    std::uint64_t count() const { return count_; }
    int error() const { return error_; }

private:
    bool spill();
    bool fill();

    platform::Os& os_;
    std::size_t memoryBound_;
    std::string buffer_;  // names ended by a NUL, which no name holds
    std::size_t at_ = 0;
    platform::File scratch_;
    bool reading_ = false;
    bool ended_ = false;
    std::uint64_t count_ = 0;
    int error_ = 0;
};

}  // namespace marlune::run
