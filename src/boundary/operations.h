// What the two entry points do, once the caller holds the call lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marlune {

// Where a copy writes: into the destination itself, created or truncated, or into a
// new file beside it that takes the destination's name only once it is complete.
enum class Placement { inPlace, beside };

// What is on stable storage when a copy returns: as the system left it, the data,
// or the data and the name that leads to it.
enum class Durability { asWritten, data, dataAndName };

// The copy behind KVRBinfo: 1 when the whole container reached the destination, else 0.
// `sourceStillNamed`, when given, tells after a successful copy whether the source
// path still named the file that was copied when the copy ended.
std::int32_t copyContainer(const char* source, const char* destination, std::int32_t showErrors, Placement placement,
                           Durability durability, bool* sourceStillNamed = nullptr);

// The conversion behind IKVRBinfo: -1 when converted or nothing to do, else 0.
std::int32_t convertFile(const std::int32_t* showErrorsIn, const char* path);

// The ".kv" name for `path`: the extension of its last component replaced, or
// ".kv" appended. Double-byte characters of `codePage` are stepped over.
std::string destinationFor(std::string_view path, unsigned codePage);

// The name a copy placed beside `target` writes under until it is complete: in the
// same folder, unique to the call, never ending in ".kv".
std::string partialNameFor(const std::string& target);

// Closes whatever a call that was cut short left open.
void closeModuleFiles();

}  // namespace marlune
