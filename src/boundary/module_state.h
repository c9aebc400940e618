// The library's only lasting state: what one call works on. Every call overwrites
// it; nothing in it carries over from one call to the next.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "container/layout.h"
#include "platform/file.h"
#include "platform/os.h"

namespace marlune {

struct ModuleState {
    ModuleState();

    // What the files and reports go through: the native system, or a test's stand-in.
    // First, so that it outlives the files that close through it at unload.
    platform::Os* os;
    std::string sourceName;
    std::string destinationName;
    platform::File sourceFile;
    platform::File destinationFile;
    std::int32_t showErrors = 0;
    container::Header header{};
    // Serialises the calls that share all of the above.
    std::mutex callLock;
};

ModuleState& moduleState();

// Shows `message` to the user when the current call asked for errors to be shown.
void reportError(const char* message);

namespace messages {
inline constexpr const char* badName = "Error in source or destination filename.";
inline constexpr const char* cannotOpenSource = "Unable to open the source file.";
inline constexpr const char* cannotCreateDestination = "Unable to create the destination file.";
inline constexpr const char* cannotCopyHeader = "Unable to copy KVRB header.";
inline constexpr const char* cannotCopyAudioData = "Unable to copy KVRB audio data.";
}  // namespace messages

}  // namespace marlune
