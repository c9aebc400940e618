// The library's one rule for Windows paths: UTF-8 to UTF-16, with the \\?\ prefix
// (and the full path it needs) for a path too long for the plain form.
#pragma once

#include <string>

namespace marlune::platform {

// False when the path is no valid UTF-8.
bool toWide(const char* path, std::wstring& wide);

}  // namespace marlune::platform
