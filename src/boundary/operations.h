// What the two entry points do, once the caller holds the call lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marlune {

enum class Durability { asWritten, onStableStorage };

// The copy behind KVRBinfo: 1 when the whole container reached the destination, else 0.
// `sourceStillNamed`, when given, tells after a successful copy whether the source
// path still named the file that was copied when the copy ended.
std::int32_t copyContainer(const char* source, const char* destination, std::int32_t showErrors,
                           Durability durability, bool* sourceStillNamed = nullptr);

// The conversion behind IKVRBinfo: -1 when converted or nothing to do, else 0.
std::int32_t convertFile(const std::int32_t* showErrorsIn, const char* path);

// The ".kv" name for `path`: the extension of its last component replaced, or
// ".kv" appended. Double-byte characters of `codePage` are stepped over.
std::string destinationFor(std::string_view path, unsigned codePage);

// Closes whatever a call that was cut short left open.
void closeModuleFiles();

}  // namespace marlune
